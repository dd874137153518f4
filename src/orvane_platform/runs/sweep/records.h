// A sweep's identity and its record: the summary of every case, kept as
// <product folder>/sweeps/<sweep id>.json so that a case can be applied later.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::sweep {

namespace nb = nanobind;

// A new sweep's id: its UTC start time and random hex digits, as
// 20260419T051010Z-3fa9c1, safe as a file name.
nb::str new_sweep_id();

// Writes `record` as the record of sweep `sweep_id` of the product whose root
// file is `usda_path`, in one step under the product's lock; never through a
// symbolic link out of the product, never over another record. Returns the
// record's path.
nb::object write_record(nb::handle usda_path, nb::handle sweep_id, nb::handle record);

// A sweep record found in the workspace's products folder.
struct FoundRecord {
    nb::object product;  // the root file of the product it belongs to
    nb::dict record;
};

// The record of sweep `sweep_id`; ValueError for an unknown id or a record
// that is not one.
FoundRecord find_record(nb::handle sweep_id);

}  // namespace orvane::sweep
