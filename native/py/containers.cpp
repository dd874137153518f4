#include "native/py/containers.h"

#include <string>
#include <unordered_map>
#include <utility>

#include "native/py/detail.h"
#include "native/py/errors.h"
#include "native/py/text.h"
#include "native/py/types.h"
#include "native/py/walk.h"

namespace orvane::py {

using detail::checked;
using detail::raise_pending;

ListFiller::ListFiller(std::size_t size)
    : list_(nb::borrow<nb::list>(checked(PyList_New(static_cast<Py_ssize_t>(size))))) {}

void ListFiller::push(nb::handle item) {
    if (filled_ >= list_.size()) raise(exc::runtime_error(), "more items than places");
    PyList_SET_ITEM(list_.ptr(), static_cast<Py_ssize_t>(filled_++),
                    nb::borrow(item).release().ptr());
}

nb::list ListFiller::finish() {
    if (filled_ != list_.size()) raise(exc::runtime_error(), "fewer items than places");
    return std::move(list_);
}

nb::object get(nb::handle mapping, const char* key, nb::handle fallback) {
    return mapping.attr("get")(key, fallback);
}

nb::object dict_get(nb::handle dict, const char* key) { return dict_get(dict, nb::str(key)); }

nb::object dict_get_or(nb::handle dict, const char* key, nb::handle fallback) {
    nb::object value = dict_get(dict, key);
    return value.is_valid() ? value : nb::borrow(fallback);
}

nb::object dict_get_or(nb::handle dict, nb::handle key, nb::handle fallback) {
    nb::object value = dict_get(dict, key);
    return value.is_valid() ? value : nb::borrow(fallback);
}

nb::object dict_value_or(nb::handle dict, const char* key, nb::handle fallback) {
    nb::object value = dict_get(dict, key);
    return (value.is_valid() && !value.is_none()) ? value : nb::borrow(fallback);
}

nb::dict dict_member(nb::handle dict, const char* key) {
    if (PyDict_Check(dict.ptr())) {
        nb::object member = dict_get(dict, key);
        if (member.is_valid() && PyDict_Check(member.ptr())) return nb::borrow<nb::dict>(member);
    }
    return nb::dict();
}

nb::object required_item(nb::handle dict, const char* key, const char* what) {
    if (!PyDict_Check(dict.ptr())) {
        raise(exc::type_error(),
              std::string(what) + " must be a dict, not " + Py_TYPE(dict.ptr())->tp_name);
    }
    nb::object item = dict_get(dict, key);
    if (!item.is_valid()) raise(exc::value_error(), std::string(what) + " has no '" + key + "'");
    return item;
}

nb::dict dict_with_capacity(std::size_t size) {
    return nb::borrow<nb::dict>(checked(_PyDict_NewPresized(static_cast<Py_ssize_t>(size))));
}

nb::dict shallow_copy(const nb::dict& dict) {
    return nb::borrow<nb::dict>(checked(PyDict_Copy(dict.ptr())));
}

nb::dict dict_copy(nb::handle mapping) { return nb::borrow<nb::dict>(dict_type()(mapping)); }

void set_default(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetDefault(dict.ptr(), key.ptr(), value.ptr()) == nullptr) raise_pending();
}

void discard_key(nb::handle dict, nb::handle key) {
    if (PyDict_DelItem(dict.ptr(), key.ptr()) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_pending();
    PyErr_Clear();
}

nb::list sorted_keys(nb::handle dict) {
    nb::list keys = nb::borrow<nb::list>(checked(PyDict_Keys(dict.ptr())));
    keys.sort();
    return keys;
}

namespace {
// A container shared in the source is copied once and shared in the copy,
// so data built of shared parts costs what its parts do.
class DocumentCopy {
  public:
    nb::object of(nb::handle value) {
        const bool mapping = nb::isinstance<nb::dict>(value);
        if (!mapping && !nb::isinstance<nb::list>(value)) {
            if (nb::isinstance<nb::set>(value)) return checked(PySet_New(value.ptr()));
            return nb::borrow(value);
        }
        const auto known = copies_.find(value.ptr());
        if (known != copies_.end()) return known->second;
        nb::object copy;
        {
            Walk::Level level(walk_, value);
            if (mapping) {
                nb::dict entries;
                for (auto [key, item] : nb::borrow<nb::dict>(value)) entries[key] = of(item);
                copy = entries;
            } else {
                nb::list items;
                for (nb::handle item : nb::borrow<nb::list>(value)) items.append(of(item));
                copy = items;
            }
        }
        copies_.emplace(value.ptr(), copy);
        return copy;
    }

  private:
    Walk walk_{"the document"};
    std::unordered_map<PyObject*, nb::object> copies_;
};
}  // namespace

nb::object deep_copy(nb::handle value) { return DocumentCopy().of(value); }

nb::dict error_status(nb::handle message) {
    nb::dict status;
    status["status"] = "error";
    status["error"] = message;
    return status;
}

nb::dict error_status(std::string_view message) { return error_status(make_str(message)); }

}  // namespace orvane::py
