// orvane_platform.views.charts: KPIs over time with their target range and the
// product's releases, drawn with matplotlib (files, the report) or plotext
// (the terminal).
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace orvane::charts {

namespace nb = nanobind;

// A point of the time axis: an aware datetime and its POSIX time.
struct Moment {
    nb::object time;
    double seconds = 0;
};

struct Release {
    nb::str version;
    Moment moment;
};

// One KPI's results, oldest first, with its target range.
struct KpiSeries {
    nb::str kpi;
    nb::str title;                 // the KPI with its display name
    std::vector<Moment> moments;   // parallel to values
    nb::list times;                // the moments' datetimes, for the plotting libraries
    nb::list values;               // floats
    double low = 0, high = 0;      // the smallest and largest value or target
    nb::object min, nominal, max;  // floats, or None where the product sets none
};

struct ChartData {
    std::vector<KpiSeries> series;  // in the order asked for
    std::vector<Release> releases;  // oldest first
};

// The series of `kpis` (a list or tuple of KPI names) from the product's
// results history, targets and releases. ValueError names a KPI without
// results, listing those with, and refuses more than `max_kpis` names.
ChartData gather(nb::handle usda_path, nb::handle kpis, const char* function,
                 std::size_t max_kpis = SIZE_MAX);

// The time axis's limits as datetimes: the span a little wider, so no point
// sits on the frame, and a minute either side of a span of one moment.
std::pair<nb::object, nb::object> time_limits(const ChartData& data);

// The KPIs with results in `history` (load_product_history's records) whose
// time can be read, in the order they first appear: numeric fields under a
// canonical name that are neither the record's own nor their domain's extra
// metadata.
nb::list charted_kpis_of(nb::handle history);

// targets[<kpi><suffix>] ("_min", "_nominal", "_max") as a float, or None.
nb::object target(nb::handle targets, nb::handle kpi, const char* suffix);

void bind_series(nb::module_& m);
void bind_figures(nb::module_& m);
void bind_terminal(nb::module_& m);

}  // namespace orvane::charts
