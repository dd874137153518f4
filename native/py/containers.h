// Lists and dicts: filling, checked lookups that tell a missing key from a
// raising one, copies, and the error status dict expected failures answer.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string_view>

namespace orvane::py {

namespace nb = nanobind;

// A list of a known length, filled front to back: no appends, no regrowth.
class ListFiller {
  public:
    explicit ListFiller(std::size_t size);
    // Puts `item` in the next place.
    void push(nb::handle item);
    // The list; every place must be filled.
    nb::list finish();

  private:
    nb::list list_;
    std::size_t filled_ = 0;
};

// mapping.get(key, fallback), for any mapping a caller or service hands in.
nb::object get(nb::handle mapping, const char* key, nb::handle fallback);
// dict[key] when present (None included), else an invalid object; never
// raises KeyError, but raises what the key's __hash__ or __eq__ raises.
inline nb::object dict_get(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);
}
nb::object dict_get(nb::handle dict, const char* key);
// dict[key] when present (None included), else `fallback`.
nb::object dict_get_or(nb::handle dict, const char* key, nb::handle fallback);
nb::object dict_get_or(nb::handle dict, nb::handle key, nb::handle fallback);
// dict[key] when present and not None, else `fallback`.
nb::object dict_value_or(nb::handle dict, const char* key, nb::handle fallback);
// dict.get(key) when it is a dict, else an empty dict; a fresh reference.
nb::dict dict_member(nb::handle dict, const char* key);
// dict[key] of a dict that must hold it: ValueError naming `what` otherwise.
nb::object required_item(nb::handle dict, const char* key, const char* what);
// dict(mapping): a new dict of the same items.
nb::dict dict_copy(nb::handle mapping);
// An empty dict with room for `size` items without growing.
nb::dict dict_with_capacity(std::size_t size);
// A new dict of an exact dict's items, its table copied whole (no rehashing).
nb::dict shallow_copy(const nb::dict& dict);
// dict[key] = value for an exact dict, the fast way.
inline void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}
// dict.setdefault(key, value).
void set_default(nb::handle dict, nb::handle key, nb::handle value);
// del dict[key] when present.
void discard_key(nb::handle dict, nb::handle key);
// The keys of a dict, sorted by the host's comparison.
nb::list sorted_keys(nb::handle dict);
// A copy of a parsed document: dicts, lists and sets are copied all the way
// down, other values are shared (they are immutable); a dict or list the
// document shares is shared in the copy too, as copy.deepcopy does. A
// document that refers to itself raises ValueError.
nb::object deep_copy(nb::handle value);

// {"status": "error", "error": message}: how expected failures are answered.
nb::dict error_status(nb::handle message);
nb::dict error_status(std::string_view message);

}  // namespace orvane::py
