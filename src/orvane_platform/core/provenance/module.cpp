// Canonical JSON, SHA-256 hashing, image digests, run fingerprints and
// provenance records.
#include <nanobind/nanobind.h>

#include <string>

#include "fingerprint.h"
#include "native/canonical_json.h"
#include "native/clock.h"
#include "native/digest.h"
#include "native/process.h"
#include "native/py.h"
#include "native/text.h"
#include "native/yaml.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

py::ModuleGlobals globals;

// Seconds each `docker image inspect` may take; a module attribute, read at
// every call.
constexpr double kDockerTimeoutSeconds = 10;

nb::str to_str(const std::string& text) { return py::make_str(text); }

nb::object to_canonical_json(nb::handle obj) { return to_str(canonical_json::text(obj, "obj")); }

nb::object canonicalise(nb::handle obj) { return canonical_json::canonicalise(obj, "obj"); }

nb::object sha256(nb::handle data) {
    py::require<nb::bytes>(data, "_sha256", "data");
    const nb::bytes held = nb::borrow<nb::bytes>(data);
    const std::string_view bytes(held.c_str(), held.size());
    std::string hex;
    {
        nb::gil_scoped_release release;  // the bytes object is immutable and held
        hex = digest::sha256_hex(bytes);
    }
    return to_str(hex);
}

nb::object sha256_file(nb::handle path) {
    const std::string file = py::fs_path(py::require_path(path, "_sha256_file", "path"));
    int error = 0;
    const auto hex = digest::sha256_file_hex(file, error);
    return hex ? nb::object(to_str(*hex)) : nb::none();
}

nb::object get_image_digest(nb::handle image) {
    py::require_str(image, "get_image_digest", "image");
    const std::string reference = process::argument(image);
    // The repository digest when the image has one, else its local ID.
    for (const char* format : {"{{index .RepoDigests 0}}", "{{.Id}}"}) {
        const process::Completed inspected =
            process::run({"docker", "image", "inspect", reference, "--format", format},
                         globals.number("_DOCKER_TIMEOUT_SECONDS"));
        if (!inspected.available()) return nb::none();
        if (inspected.exit_code != 0) continue;
        nb::str output = process::text_output(inspected.out);
        const std::string_view digest = text::strip(py::utf8(output));
        if (!digest.empty()) return py::make_str(digest);
    }
    return nb::none();
}

// The case as the fingerprint hashes it: the parsed mapping, a scalar or list
// wrapped as {"case": ...}, or the raw text when it is not YAML that
// native/yaml.h reads.
nb::object case_mapping(nb::handle case_yaml) {
    nb::dict mapping;
    if (nb::len(case_yaml) == 0) return mapping;
    nb::object parsed;
    try {
        parsed = yaml::load(case_yaml, "the case");
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        mapping["raw_case_yaml"] = case_yaml;
        return mapping;
    }
    if (nb::isinstance<nb::dict>(parsed)) return parsed;
    mapping["case"] = parsed;
    return mapping;
}

// The canonical JSON of one fingerprint input, named in errors as `what`.
std::string json_of(nb::handle value, const char* what = "a fingerprint input") {
    return canonical_json::text(value, what);
}

std::string fingerprint_hex(const provenance::FingerprintInputs& inputs) {
    return digest::sha256_hex(provenance::fingerprint_payload(inputs));
}

nb::object text_or(nb::handle value, const char* fallback) {
    return (value.is_none() || nb::len(value) == 0) ? nb::object(nb::str(fallback))
                                                    : nb::borrow(value);
}

// The parameters as the fingerprint and the record hold them.
std::string parameters_json(nb::handle parameters) {
    return (parameters.is_none() || nb::len(parameters) == 0) ? "{}"
                                                              : json_of(parameters, "parameters");
}

std::string compute_hex(nb::handle image_digest, nb::handle solver_version, nb::handle solver_cert,
                        nb::handle case_yaml, nb::handle parameters, nb::handle geometry_hash,
                        nb::handle mesh_cache) {
    return fingerprint_hex({json_of(case_mapping(case_yaml), "case_yaml"),
                            json_of(text_or(geometry_hash, "")), json_of(text_or(image_digest, "")),
                            json_of(text_or(mesh_cache, "none")), parameters_json(parameters),
                            json_of(text_or(solver_cert, "")),
                            json_of(text_or(solver_version, ""))});
}

nb::object compute_run_fingerprint(nb::handle image_digest, nb::handle solver_version,
                                   nb::handle solver_cert, nb::handle case_yaml,
                                   nb::handle parameters, nb::handle geometry_hash,
                                   nb::handle mesh_cache) {
    constexpr const char* kFunction = "compute_run_fingerprint";
    py::require_str_or_none(image_digest, kFunction, "image_digest");
    py::require_str(solver_version, kFunction, "solver_version");
    py::require_str(solver_cert, kFunction, "solver_cert");
    py::require_str(case_yaml, kFunction, "case_yaml");
    py::require_dict_or_none(parameters, kFunction, "parameters");
    py::require_str_or_none(geometry_hash, kFunction, "geometry_hash");
    py::require_str(mesh_cache, kFunction, "mesh_cache");
    return to_str(compute_hex(image_digest, solver_version, solver_cert, case_yaml, parameters,
                              geometry_hash, mesh_cache));
}

// The hash of the geometry files' hashes, in path order; unreadable files are
// skipped. Nothing when no file could be read.
std::optional<std::string> geometry_hash(nb::handle geometry_files) {
    if (geometry_files.is_none() || nb::len(geometry_files) == 0) return std::nullopt;
    nb::list paths;
    for (nb::handle file : geometry_files) {
        paths.append(py::require_path(file, "build_provenance_record", "geometry_files"));
    }
    paths.sort();
    std::string digests;
    for (nb::handle path : paths) {
        int error = 0;
        if (auto hex = digest::sha256_file_hex(py::fs_path(path), error)) digests += *hex;
    }
    if (digests.empty()) return std::nullopt;
    return digest::sha256_hex(digests);
}

nb::object build_provenance_record(nb::handle image, nb::handle case_yaml,
                                   nb::handle geometry_files, nb::handle parameters,
                                   nb::handle solver_version, nb::handle solver_cert,
                                   nb::handle mesh_cache, nb::handle image_digest) {
    constexpr const char* kFunction = "build_provenance_record";
    py::require_str(image, kFunction, "image");
    py::require_str(case_yaml, kFunction, "case_yaml");
    py::require<nb::list>(geometry_files, kFunction, "geometry_files", py::NoneAllowed::yes);
    py::require_dict_or_none(parameters, kFunction, "parameters");
    py::require_str(solver_version, kFunction, "solver_version");
    py::require_str(solver_cert, kFunction, "solver_cert");
    py::require_str(mesh_cache, kFunction, "mesh_cache");
    const bool look_up = image_digest.is(nb::ellipsis());
    if (!look_up) py::require_str_or_none(image_digest, kFunction, "image_digest");
    const std::optional<std::string> geometry = geometry_hash(geometry_files);

    nb::object digest = look_up ? get_image_digest(image) : nb::borrow(image_digest);
    nb::object timestamp = clock::utc_now_iso();
    nb::object geometry_text = geometry ? nb::object(to_str(*geometry)) : nb::none();
    const std::string fingerprint = compute_hex(digest, solver_version, solver_cert, case_yaml,
                                                parameters, geometry_text, mesh_cache);
    nb::dict record;
    record["fingerprint"] = to_str("sha256:" + fingerprint);
    record["solver_image"] = digest.is_none() ? nb::object(nb::str("unknown")) : digest;
    record["case_yaml"] = case_yaml;
    record["mesh_cache"] = text_or(mesh_cache, "none");
    record["timestamp"] = timestamp;
    record["solver_cert"] = solver_cert;
    if (nb::len(solver_version) > 0) record["solver_version"] = solver_version;
    if (geometry) record["geometry"] = to_str("sha256:" + *geometry);
    if (!parameters.is_none() && nb::len(parameters) > 0) {
        record["parameters"] = to_str(json_of(parameters, "parameters"));
    }
    return record;
}

nb::dict verdict(const char* status, nb::handle recorded, nb::handle recomputed) {
    nb::dict result;
    result["status"] = status;
    result["recorded"] = recorded;
    result["recomputed"] = recomputed;
    return result;
}

nb::object verify_provenance_record(nb::handle record) {
    auto unreadable = [&](nb::handle recorded, const std::string& reason) {
        nb::dict result = verdict("error", recorded, nb::none());
        result["error"] = to_str(reason);
        return result;
    };
    if (!nb::isinstance<nb::dict>(record)) {
        return unreadable(nb::none(), "record must be a dict, not " + py::type_name_of(record));
    }
    auto member = [&](const char* key, nb::handle fallback) {
        return py::dict_get_or(record, key, fallback);
    };
    nb::object recorded = member("fingerprint", nb::none());
    if (!nb::isinstance<nb::str>(recorded) || !py::utf8(recorded).starts_with("sha256:")) {
        return unreadable(recorded, "the record has no sha256: fingerprint");
    }
    nb::object case_yaml = member("case_yaml", nb::none());
    nb::object image = member("solver_image", nb::str("unknown"));
    nb::object version = member("solver_version", nb::str(""));
    nb::object cert = member("solver_cert", nb::str(""));
    nb::object mesh_cache = member("mesh_cache", nb::str("none"));
    for (auto [key, value] : {std::pair{"case_yaml", case_yaml}, std::pair{"solver_image", image},
                              std::pair{"solver_version", version}, std::pair{"solver_cert", cert},
                              std::pair{"mesh_cache", mesh_cache}}) {
        if (!nb::isinstance<nb::str>(value))
            return unreadable(recorded, std::string(key) + " must be text");
    }
    nb::object geometry = member("geometry", nb::none());
    nb::object geometry_hex = nb::str("");
    if (!geometry.is_none()) {
        if (!nb::isinstance<nb::str>(geometry) || !py::utf8(geometry).starts_with("sha256:")) {
            return unreadable(recorded, "geometry must be a sha256: hash");
        }
        geometry_hex = py::make_str(py::utf8(geometry).substr(7));
    }
    nb::object parameters = member("parameters", nb::none());
    if (!parameters.is_none() && !nb::isinstance<nb::str>(parameters)) {
        return unreadable(recorded, "parameters must be canonical JSON text");
    }
    const std::string recorded_parameters =
        parameters.is_none() ? "{}" : std::string(py::utf8(parameters));
    if (py::utf8(image) == "unknown") image = nb::str("");
    const std::string recomputed =
        "sha256:" +
        fingerprint_hex({json_of(case_mapping(case_yaml), "case_yaml"), json_of(geometry_hex),
                         json_of(image), json_of(text_or(mesh_cache, "none")), recorded_parameters,
                         json_of(cert), json_of(version)});
    const bool same = py::utf8(recorded) == recomputed;
    return verdict(same ? "verified" : "mismatch", recorded, to_str(recomputed));
}

}  // namespace

NB_MODULE(provenance, m) {
    m.doc() = "Canonical JSON and hashing, image digests, run fingerprints and provenance records.";
    globals.bind(m);
    m.attr("_DOCKER_TIMEOUT_SECONDS") = kDockerTimeoutSeconds;

    m.def("_canonical_json", &to_canonical_json, nb::arg("obj").none(),
          nb::sig("def _canonical_json(obj: object, /) -> str"),
          "The canonical JSON text of any payload: _emit(_canonicalise(obj)).");
    m.def("_canonicalise", &canonicalise, nb::arg("obj").none(),
          nb::sig("def _canonicalise(obj: object, /) -> object"),
          R"(The payload reduced to None, bools, ints, floats, strings, dicts (keys unchanged) and
          lists; any other value becomes its str().)");
    m.def("_emit", &to_canonical_json, nb::arg("obj").none(),
          nb::sig("def _emit(obj: object, /) -> str"),
          R"(The JSON text of a normalised value, without whitespace; floats fixed-point at six
          places with trailing zeros dropped, mapping members sorted by key.)");
    m.def("_sha256", &sha256, nb::arg("data").none(), nb::sig("def _sha256(data: bytes, /) -> str"),
          "The SHA-256 hex digest of `data`.");
    m.def("_sha256_file", &sha256_file, nb::arg("path").none(),
          nb::sig("def _sha256_file(path: str | os.PathLike[str], /) -> str | None"),
          R"(The SHA-256 hex digest of a file's contents, read in chunks; None when it cannot be
          read.)");
    m.def("get_image_digest", &get_image_digest, nb::arg("image").none(),
          nb::sig("def get_image_digest(image: str) -> str | None"),
          R"(The image's repository digest from `docker image inspect`, else its local ID; None
          when Docker is unavailable, slow or does not know the image.)");
    m.def("compute_run_fingerprint", &compute_run_fingerprint, nb::kw_only(),
          nb::arg("image_digest").none() = nb::none(), nb::arg("solver_version").none() = "",
          nb::arg("solver_cert").none() = "", nb::arg("case_yaml").none() = "",
          nb::arg("parameters").none() = nb::none(), nb::arg("geometry_hash").none() = nb::none(),
          nb::arg("mesh_cache").none() = "none",
          nb::sig("def compute_run_fingerprint(*, image_digest: str | None = None, solver_version: "
                  "str = '', solver_cert: str = '', case_yaml: str = '', parameters: "
                  "dict[str, typing.Any] | None = None, geometry_hash: str | None = None, "
                  "mesh_cache: str = 'none') -> str"),
          R"(The run fingerprint: SHA-256 over the canonical JSON of the run's inputs (the case
          parsed from YAML, so layout and key order do not matter), as 64 hex digits.)");
    m.def(
        "build_provenance_record", &build_provenance_record, nb::arg("image").none(),
        nb::arg("case_yaml").none(), nb::arg("geometry_files").none() = nb::none(), nb::kw_only(),
        nb::arg("parameters").none() = nb::none(), nb::arg("solver_version").none() = "",
        nb::arg("solver_cert").none() = "missing", nb::arg("mesh_cache").none() = "none",
        nb::arg("image_digest").none() = nb::ellipsis(),
        nb::sig("def build_provenance_record(image: str, case_yaml: str, geometry_files: "
                "list[str | os.PathLike[str]] | None = None, *, parameters: dict[str, typing.Any] "
                "| None = None, solver_version: str = '', solver_cert: str = 'missing', "
                "mesh_cache: str = 'none', image_digest: str | None | types.EllipsisType = ...) "
                "-> dict[str, str]"),
        R"(The provenance record of a run: its fingerprint and every input it hashes (image digest,
        case text, mesh cache, certificate status, version, geometry hash, canonical
        parameters), with the time it was made. `image_digest` is the image's digest when the
        caller knows it (None: the image has none); by default it is looked up.)");
    m.def("verify_provenance_record", &verify_provenance_record, nb::arg("record").none(),
          nb::sig("def verify_provenance_record(record: dict[str, typing.Any]) -> "
                  "dict[str, typing.Any]"),
          R"(Recompute a record's fingerprint from its own fields: status 'verified' or 'mismatch'
          with the recorded and recomputed fingerprints, or 'error' with an `error` text when
          the record cannot be read.)");
}
