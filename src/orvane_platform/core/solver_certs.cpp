// Local certificates for registered solvers: HMAC-SHA256 over the
// registration payload with a key kept in the platform's home folder.
#include <nanobind/nanobind.h>

#include <string>

#include "native/digest.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;
py::CachedModule json_module{"json"};
py::CachedModule hmac_module{"hmac"};
py::CachedModule time_module{"time"};

constexpr const char* kScheme = "hmac-sha256";
constexpr long kSecretLength = 32;
constexpr unsigned kOwnerOnly = 0600;

nb::bytes load_or_create_secret() {
    nb::object path = globals.get("_SIGNING_SECRET_PATH");
    const std::string file = py::fs_path(path);
    if (!fs::is_regular_file(file)) {
        const long length = nb::cast<long>(globals.get("_SIGNING_SECRET_LENGTH"));
        if (length <= 0)
            py::raise(py::exc::value_error(), "_SIGNING_SECRET_LENGTH must be positive");
        fs::make_directories(py::fs_path(path.attr("parent")));
        // Earlier versions wrote the key through "<key>.tmp": a creation
        // interrupted there leaves it under a name the clean-up of dead
        // writers' temporaries does not know.
        fs::remove_tree(file + ".tmp");
        // The first process to put its key in place wins; every other one
        // uses that key.
        fs::write_file_atomic(file, digest::random_bytes(static_cast<std::size_t>(length)),
                              kOwnerOnly, fs::Existing::keep);
    }
    const std::string key = fs::read_small_file(file);  // used as it is, whatever its length
    return nb::bytes(key.data(), key.size());
}

std::string signature_of(nb::handle payload) {
    nb::bytes key = load_or_create_secret();
    nb::object encoded = payload.attr("encode")("utf-8");
    if (!nb::isinstance<nb::bytes>(encoded))
        py::raise(py::exc::type_error(), "the certificate payload must be text");
    const nb::bytes data = nb::borrow<nb::bytes>(encoded);
    return digest::hmac_sha256_hex({key.c_str(), key.size()}, {data.c_str(), data.size()});
}

nb::object sign_solver_cert(nb::handle alias, nb::handle image, nb::handle image_digest,
                            nb::handle scope) {
    constexpr const char* kFunction = "sign_solver_cert";
    py::require_str(alias, kFunction, "alias");
    py::require_str(image, kFunction, "image");
    py::require_str(image_digest, kFunction, "image_digest");
    py::require_dict_or_none(scope, kFunction, "scope");
    nb::dict payload_fields;
    payload_fields["alias"] = alias;
    payload_fields["image"] = image;
    payload_fields["image_digest"] = image_digest;
    payload_fields["scope"] = py::truthy(scope) ? nb::borrow(scope) : nb::object(nb::dict());
    payload_fields["registered_at"] = py::to_int(time_module.attr("time")());
    nb::object payload = json_module.attr("dumps")(payload_fields, "sort_keys"_a = true,
                                                   "separators"_a = nb::make_tuple(",", ":"));
    const std::string signature = signature_of(payload);
    nb::dict cert;
    cert["payload"] = payload;
    cert["signature"] = py::make_str(signature);
    cert["scheme"] = kScheme;
    return cert;
}

nb::object verify_solver_cert(nb::handle record) {
    py::require_dict(record, "verify_solver_cert", "record");
    nb::object cert = record.attr("get")("cert");
    if (!py::truthy(cert) || !nb::isinstance<nb::dict>(cert)) return nb::str("missing");
    nb::object payload = cert.attr("get")("payload", "");
    nb::object signature = cert.attr("get")("signature", "");
    nb::object scheme = cert.attr("get")("scheme", "");
    if (!scheme.equal(nb::str(kScheme)) || !py::truthy(payload) || !py::truthy(signature)) {
        return nb::str("unverified");
    }
    nb::object expected;
    try {
        expected = py::make_str(signature_of(payload));
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        return nb::str("unverified");  // no usable key, or a payload that is not text
    }
    // The host's constant-time comparison, with its type rules.
    if (!py::truthy(hmac_module.attr("compare_digest")(expected, signature)))
        return nb::str("unverified");
    nb::object signed_fields;
    try {
        signed_fields = json_module.attr("loads")(payload);
    } catch (nb::python_error& error) {
        if (!error.matches(json_module.attr("JSONDecodeError"))) throw;
        return nb::str("unverified");
    }
    if (!signed_fields.attr("get")("alias").equal(record.attr("get")("alias")))
        return nb::str("unverified");
    // A record that names an image must name the one signed: an image edited
    // into the record after registration is not vouched for.
    for (const char* field : {"image", "image_digest"}) {
        nb::object claimed = py::dict_get(record, field);
        if (claimed.is_valid() && !signed_fields.attr("get")(field).equal(claimed))
            return nb::str("unverified");
    }
    return nb::str("verified");
}

nb::dict with_certificate(nb::handle record) {
    py::require_dict(record, "with_certificate", "record");
    nb::dict shown = py::dict_copy(record);
    nb::object digest = py::dict_get(record, "image_digest");
    // An empty digest is one nobody could look up: shown as unknown.
    shown["image_digest"] = digest.is_valid() && py::truthy(digest) ? digest : nb::none();
    shown["certificate"] = globals.get("verify_solver_cert")(record);
    return shown;
}

}  // namespace

NB_MODULE(solver_certs, m) {
    m.doc() =
        "Solver registration certificates: HMAC-SHA256 with a local key, verified as 'verified', "
        "'unverified' or 'missing'.";
    globals.bind(m);
    m.attr("_SIGNING_SECRET_PATH") =
        services::paths::orvane_home.get() / nb::str(".signing-secret");
    m.attr("_SIGNING_SECRET_LENGTH") = kSecretLength;
    m.def("_load_or_create_secret", &load_or_create_secret,
          nb::sig("def _load_or_create_secret() -> bytes"),
          R"(The signing key: the key file's bytes, or a new random key written to it (mode 0600)
          on first use.)");
    m.def(
        "sign_solver_cert", &sign_solver_cert, nb::arg("alias").none(), nb::arg("image").none(),
        nb::arg("image_digest").none(), nb::arg("scope").none() = nb::none(),
        nb::sig("def sign_solver_cert(alias: str, image: str, image_digest: str, scope: dict[str, "
                "typing.Any] | "
                "None = None) -> dict[str, str]"),
        R"(A certificate {payload, signature, scheme} over the alias, image, image digest, scope
        and registration time.)");
    m.def("verify_solver_cert", &verify_solver_cert, nb::arg("record").none(),
          nb::sig("def verify_solver_cert(record: dict[str, typing.Any], /) -> str"),
          R"(The certificate status of a registry record: 'verified', 'unverified' or 'missing'.
          A record whose image or image digest differs from the signed ones is 'unverified'.)");
    m.def(
        "with_certificate", &with_certificate, nb::arg("record").none(),
        nb::sig("def with_certificate(record: dict[str, typing.Any], /) -> dict[str, typing.Any]"),
        R"(A copy of a registry record as the solver list shows it: its certificate status
          under 'certificate' and an empty image digest as None.)");
}
