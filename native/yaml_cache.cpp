#include "native/yaml_cache.h"

#include "native/fs.h"
#include "native/py.h"
#include "native/yaml.h"

namespace orvane::yaml_cache {

namespace {
// Entries are (stamp, document) pairs; anything else is stale.
nb::object cached_document(nb::handle entry, nb::handle stamp) {
    if (!entry.is_valid() || !nb::isinstance<nb::tuple>(entry) || nb::len(entry) != 2)
        return nb::object();
    nb::tuple pair = nb::borrow<nb::tuple>(entry);
    if (!pair[0].equal(stamp)) return nb::object();
    return pair[1];
}
}  // namespace

void FileCache::attach(nb::module_& module, const char* attribute) {
    nb::dict entries;
    module.attr(attribute) = entries;
    entries_ = entries;
}

nb::object FileCache::load(const std::string& path) {
    nb::object stamp = fs::stat_stamp(path);
    nb::bytes key(path.data(), path.size());
    if (!stamp.is_valid()) {
        py::discard_key(entries_, key);
        return nb::object();
    }
    nb::object cached = cached_document(py::dict_get(entries_, key), stamp);
    if (cached.is_valid()) return cached;
    if (!fs::is_regular_file(path)) {
        py::raise(py::exc::value_error(), "not a regular file: " + path);
    }
    nb::object document = yaml::load_file(path);
    entries_[key] = nb::make_tuple(stamp, document);
    return document;
}

nb::object FileCache::load_mapping(const std::string& path) {
    nb::object document = load(path);
    if (!document.is_valid() || nb::isinstance<nb::dict>(document)) return document;
    if (document.is_none()) return nb::dict();
    py::raise(py::exc::value_error(), "malformed YAML in " + path +
                                          ": expected a mapping at the top level, got " +
                                          py::type_name_of(document));
}

}  // namespace orvane::yaml_cache
