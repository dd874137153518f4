// The file beside a product that holds a run's save while it is carried out:
// written before the save's first write to the product, removed after its
// last, so that a save cut short can be told and completed.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace orvane::pending_save {

namespace nb = nanobind;

inline constexpr const char* kFileName = ".orvane-pending-save.json";

// The pending-save file of the product whose root file is `usda_path`.
std::string file_of(nb::handle usda_path);

// What `file` holds: nothing when there is no such file; an invalid object
// when it cannot be read or lacks the shape of a save (a dict with run_id and
// domain, and dicts kpis, design and write).
std::optional<nb::object> read(const std::string& file);

}  // namespace orvane::pending_save
