// Reading a text file out of a container image.
#include <nanobind/nanobind.h>

#include "native/process.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

py::CachedModule numbers_module{"numbers"};

// Seconds to wait: an int as it is, another real number (a float, a
// Decimal, a Fraction) truncated.
double timeout_seconds(nb::handle timeout) {
    const bool real = nb::isinstance<nb::int_>(timeout) || py::is_real(timeout) ||
                      (nb::isinstance(timeout, numbers_module.attr("Number")) &&
                       !nb::isinstance(timeout, numbers_module.attr("Complex")));
    if (!real) py::raise_argument_type("docker_cat", "timeout", "int", timeout);
    return py::to_double(py::to_int(timeout));
}

nb::object docker_cat(nb::handle image, nb::handle path, nb::handle timeout) {
    py::require_str(image, "docker_cat", "image");
    py::require_str(path, "docker_cat", "path");
    const double seconds = timeout_seconds(timeout);
    const process::Completed cat = process::run({"docker", "run", "--rm", "--entrypoint", "cat",
                                                 process::argument(image), process::argument(path)},
                                                seconds);
    if (!cat.available() || cat.exit_code != 0) return nb::none();
    // Decoded explicitly, whatever the platform's code page: a byte that is
    // not UTF-8 becomes U+FFFD.
    return py::decode_utf8(cat.out, py::Undecodable::replace);
}

}  // namespace

NB_MODULE(image_tools, m) {
    m.doc() = "Reading files out of container images with the Docker client.";
    m.def("docker_cat", &docker_cat, nb::arg("image").none(), nb::arg("path").none(),
          nb::arg("timeout").none() = 15,
          nb::sig("def docker_cat(image: str, path: str, timeout: int = 15) -> str | None"),
          R"(The text of the file at `path` inside `image` (a throw-away container running
          cat), decoded as UTF-8 with undecodable bytes replaced; None when the file is
          missing, the image cannot run, Docker is unavailable or `timeout` seconds pass.)");
}
