#include "native/domain/pending_save.h"

#include "native/fs.h"
#include "native/py.h"

namespace orvane::pending_save {

namespace {

py::CachedModule json_module{"json"};

bool well_formed(nb::handle request) {
    if (!nb::isinstance<nb::dict>(request)) return false;
    nb::dict fields = nb::borrow<nb::dict>(request);
    if (!fields.contains("run_id") || !fields.contains("domain")) return false;
    for (const char* key : {"kpis", "design", "write"})
        if (!fields.contains(key) || !nb::isinstance<nb::dict>(fields[key])) return false;
    return true;
}

}  // namespace

std::string file_of(nb::handle usda_path) {
    return py::fs_path(nb::object(usda_path.attr("parent"))) + "/" + kFileName;
}

std::optional<nb::object> read(const std::string& file) {
    if (!fs::is_regular_file(file)) return std::nullopt;
    nb::object request;
    try {
        request = json_module.attr("loads")(py::make_str(fs::read_small_file(file)));
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::value_error())) throw;
        return nb::object();
    }
    return well_formed(request) ? request : nb::object();
}

}  // namespace orvane::pending_save
