#include "records.h"

#include <algorithm>
#include <string>
#include <vector>

#include "native/clock.h"
#include "native/digest.h"
#include "native/domain/product_lock.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"

namespace orvane::sweep {

namespace {

using namespace nb::literals;

py::CachedModule json_module{"json"};

constexpr const char* kFolder = "sweeps";
constexpr const char* kSuffix = ".json";
constexpr std::size_t kRandomBytes = 3;

nb::dict read_record(const std::string& file) {
    const std::string shown = py::display_text(py::decode_fs(file));
    nb::object record;
    try {
        record = json_module.attr("loads")(
            py::decode_utf8(fs::read_small_file(file), py::Undecodable::raise));
    } catch (nb::python_error& error) {
        // JSONDecodeError and UnicodeDecodeError are both ValueErrors.
        if (!error.matches(py::exc::value_error())) throw;
        py::raise(py::exc::value_error(),
                  "the sweep record " + shown + " is not JSON: " + py::display_text(error.value()));
    }
    const bool usable = nb::isinstance<nb::dict>(record) &&
                        nb::isinstance<nb::str>(py::get(record, "product", nb::none())) &&
                        nb::isinstance<nb::str>(py::get(record, "domain", nb::none())) &&
                        nb::isinstance<nb::list>(py::get(record, "cases", nb::none()));
    if (!usable)
        py::raise(py::exc::value_error(),
                  "the sweep record " + shown + " lacks its product, domain or cases");
    return nb::borrow<nb::dict>(record);
}

}  // namespace

nb::str new_sweep_id() {
    const std::string bytes = digest::random_bytes(kRandomBytes);
    std::string id(py::utf8(clock::utc_now().attr("strftime")("%Y%m%dT%H%M%SZ-")));
    constexpr char kDigits[] = "0123456789abcdef";
    for (const unsigned char byte : bytes) {
        id += kDigits[byte >> 4];
        id += kDigits[byte & 0xf];
    }
    return py::make_str(id);
}

nb::object write_record(nb::handle usda_path, nb::handle sweep_id, nb::handle record) {
    nb::object folder = usda_path.attr("parent");
    nb::object text = json_module.attr("dumps")(record, "indent"_a = 2, "ensure_ascii"_a = false,
                                                "allow_nan"_a = false);
    const product_lock::ProductLock lock(usda_path);
    fs::make_directories_within(py::fs_path(folder), kFolder);
    nb::object file = folder / nb::str(kFolder) / py::concat(nb::str(sweep_id), nb::str(kSuffix));
    if (!fs::write_file_atomic(py::fs_path(file), std::string(py::utf8(text)) + "\n", 0644,
                               fs::Existing::keep)) {
        py::raise(py::exc::value_error(), "a sweep record is already at " + py::display_text(file));
    }
    return file;
}

FoundRecord find_record(nb::handle sweep_id) {
    nb::object products = services::workspace::products_dir();
    const std::string id(py::utf8(sweep_id));
    if (fs::is_single_component(id)) {
        const std::string root = py::fs_path(products);
        std::vector<std::string> names = fs::list_directory(root);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string sweeps = root + "/" + name + "/" + kFolder;
            const std::string file = sweeps + "/" + id + kSuffix;
            if (!fs::is_regular_file(file)) continue;
            fs::require_real_directory(sweeps);
            nb::dict record = read_record(file);
            // The product is the one the record lies in, wherever it was when the sweep ran.
            nb::object root_name =
                py::require_path(record["product"], "find_record", "product").attr("name");
            nb::object product = products / py::decode_fs(name) / root_name;
            if (!fs::is_single_component(py::utf8(root_name)) ||
                !fs::is_regular_file(py::fs_path(product)))
                py::raise(py::exc::value_error(), "the product of sweep " + py::repr(sweep_id) +
                                                      " is gone: " + py::display_text(product));
            return {product, record};
        }
    }
    py::raise(py::exc::value_error(),
              "no sweep " + py::repr(sweep_id) + " in " + py::display_text(products));
}

}  // namespace orvane::sweep
