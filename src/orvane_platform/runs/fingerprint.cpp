// Provenance records made from a run's input files, and the checks of
// recorded fingerprints: what `orvane fingerprint` and `orvane verify` do.
#include <nanobind/nanobind.h>

#include <cstring>
#include <string>

#include "native/digest.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"
#include "native/yaml.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::CachedModule json_module{"json"};
py::CachedModule yaml_module{"yaml"};

constexpr std::size_t kChunkBytes = 1 << 16;

// One input file: its path for the file system, and as the user wrote it
// for messages.
struct InputFile {
    std::string path;
    std::string shown;
    const char* what;  // the option that named it
};

InputFile input_file(nb::handle value, const char* function, const char* argument,
                     const char* what) {
    nb::object path = py::require_path(value, function, argument);
    return {py::fs_path(path), py::display_text(nb::isinstance<nb::str>(value) ? value : path),
            what};
}

[[noreturn]] void refuse(const std::string& message) { py::raise(py::exc::value_error(), message); }

// Opens the file for reading, refusing a missing one, a folder or a device,
// and one this process may not read.
void open_checked(const InputFile& file, fs::ChunkReader& reader) {
    if (!fs::exists(file.path)) refuse(std::string(file.what) + ": no such file: " + file.shown);
    if (!fs::is_regular_file(file.path))
        refuse(std::string(file.what) + ": not a file: " + file.shown);
    if (!reader.open(file.path)) {
        refuse(std::string(file.what) + ": cannot read " + file.shown + ": " +
               std::strerror(reader.error()));
    }
}

void require_readable(const InputFile& file) {
    fs::ChunkReader reader;
    open_checked(file, reader);
}

// The file's text as Python's text mode reads it: UTF-8, with \r\n and a
// lone \r as \n.
nb::str read_text(const InputFile& file) {
    fs::ChunkReader reader;
    open_checked(file, reader);
    std::string bytes;
    long count;
    while ((count = reader.read(bytes, kChunkBytes)) > 0) {
    }
    if (count < 0) {
        refuse(std::string(file.what) + ": cannot read " + file.shown + ": " +
               std::strerror(reader.error()));
    }
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r') {
            text += bytes[i];
            continue;
        }
        text += '\n';
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    }
    try {
        return py::decode_utf8(text, py::Undecodable::raise);
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::value_error())) throw;  // UnicodeDecodeError
        refuse(std::string(file.what) + " is not UTF-8 text: " + file.shown);
    }
}

nb::object read_json(const InputFile& file) {
    nb::str text = read_text(file);
    try {
        return json_module.attr("loads")(text);
    } catch (nb::python_error& error) {
        if (!error.matches(json_module.attr("JSONDecodeError"))) throw;
        refuse(std::string(file.what) + " is not JSON: " + file.shown + ": " +
               py::text(error.value()));
    }
}

// Refuses a case that is not valid YAML, naming the flag that accepts it.
void require_yaml(const InputFile& file, nb::handle case_yaml) {
    try {
        yaml::load(case_yaml, std::string(file.what) + " " + file.shown);
    } catch (nb::python_error& error) {
        if (!error.matches(yaml_module.attr("YAMLError"))) throw;
        // PyYAML's message spans lines with a snippet of the file: one line here.
        nb::object words = nb::str(error.value()).attr("split")();
        refuse(std::string(file.what) + " is not valid YAML: " + file.shown + ": " +
               py::text(nb::str(" ").attr("join")(words)) +
               " (--allow-raw-case fingerprints it as it is)");
    }
}

nb::object build_record(nb::handle image, nb::handle case_file, nb::handle geometry,
                        nb::handle mesh_cache, nb::handle params, nb::handle solver_version,
                        nb::handle solver_cert, bool allow_raw_case) {
    constexpr const char* kFunction = "build_record";
    py::require_str(image, kFunction, "image");
    py::require_str(solver_version, kFunction, "solver_version");
    py::require_str(solver_cert, kFunction, "solver_cert");
    if (!geometry.is_none() && !nb::isinstance<nb::list>(geometry))
        py::raise_argument_type(kFunction, "geometry", "a list of paths or None", geometry);

    const InputFile case_input = input_file(case_file, kFunction, "case", "--case");
    nb::str case_yaml = read_text(case_input);
    if (!allow_raw_case) require_yaml(case_input, case_yaml);

    nb::list geometry_files;
    if (!geometry.is_none()) {
        for (nb::handle file : geometry) {
            require_readable(input_file(file, kFunction, "geometry", "--geometry"));
            geometry_files.append(file);
        }
    }

    nb::object mesh_digest = nb::str("none");
    if (!mesh_cache.is_none()) {
        const InputFile mesh = input_file(mesh_cache, kFunction, "mesh_cache", "--mesh-cache");
        require_readable(mesh);
        int error = 0;
        const auto hex = digest::sha256_file_hex(mesh.path, error);
        if (!hex) {
            refuse(std::string(mesh.what) + ": cannot read " + mesh.shown + ": " +
                   std::strerror(error));
        }
        mesh_digest = py::make_str("sha256:" + *hex);
    }

    nb::object parameters = nb::none();
    if (!params.is_none()) {
        const InputFile snapshot = input_file(params, kFunction, "params", "--params");
        parameters = read_json(snapshot);
        if (!nb::isinstance<nb::dict>(parameters)) {
            refuse(std::string(snapshot.what) + " must hold a JSON object, not " +
                   py::type_name_of(parameters) + ": " + snapshot.shown);
        }
    }
    return services::provenance::build_provenance_record(
        image, case_yaml, nb::len(geometry_files) > 0 ? nb::object(geometry_files) : nb::none(),
        "parameters"_a = parameters, "solver_version"_a = solver_version,
        "solver_cert"_a = solver_cert, "mesh_cache"_a = mesh_digest);
}

nb::object verify_file(nb::handle record_file) {
    const InputFile record = input_file(record_file, "verify_file", "record_file", "the record");
    return services::provenance::verify_provenance_record(read_json(record));
}

nb::object verify_run(nb::handle summary) {
    py::require_dict(summary, "verify_run", "summary");
    nb::object result = py::dict_get(summary, "result");
    nb::object record = result.is_valid() && nb::isinstance<nb::dict>(result)
                            ? py::dict_get(result, "provenance")
                            : nb::object();
    if (!record.is_valid() || !nb::isinstance<nb::dict>(record)) return nb::str("unknown");
    return services::provenance::verify_provenance_record(record)["status"];
}

}  // namespace

NB_MODULE(fingerprint, m) {
    m.doc() = R"(Provenance records built from a run's input files, and checks of recorded
fingerprints.)";
    m.def("build_record", &build_record, nb::arg("image").none(), nb::arg("case").none(),
          nb::kw_only(), nb::arg("geometry").none() = nb::none(),
          nb::arg("mesh_cache").none() = nb::none(), nb::arg("params").none() = nb::none(),
          nb::arg("solver_version").none() = "", nb::arg("solver_cert").none() = "missing",
          nb::arg("allow_raw_case") = false,
          nb::sig("def build_record(image: str, case: str | os.PathLike[str], *, geometry: "
                  "list[str | os.PathLike[str]] | None = None, mesh_cache: str | "
                  "os.PathLike[str] | None = None, params: str | os.PathLike[str] | None = None, "
                  "solver_version: str = '', solver_cert: str = 'missing', allow_raw_case: bool "
                  "= False) -> dict[str, typing.Any]"),
          R"(The provenance record of a run's inputs read from files: the case (UTF-8 YAML,
          refused when it does not parse unless `allow_raw_case`), the geometry files, the
          mesh-cache file (its SHA-256 as the mesh cache) and the parameter snapshot (a JSON
          object). A missing, unreadable or malformed file raises ValueError naming it by its
          option of `orvane fingerprint` (--case, --geometry, --mesh-cache, --params).)");
    m.def("verify_file", &verify_file, nb::arg("record_file").none(),
          nb::sig("def verify_file(record_file: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          R"(Recompute the fingerprint of the provenance record in a JSON file: the verdict of
          verify_provenance_record. A missing, unreadable or non-JSON file raises ValueError.)");
    m.def("verify_run", &verify_run, nb::arg("summary").none(),
          nb::sig("def verify_run(summary: dict[str, typing.Any]) -> str"),
          R"(Whether the provenance record of a run_product summary's result verifies:
          'verified', 'mismatch', ..., or 'unknown' when the result holds no record.)");
}
