// orvane_platform.views.charts: KPIs over time with their target range and the
// product's releases, drawn with matplotlib (files, the report) or plotext
// (the terminal).
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
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

// How a value axis draws numbers beyond the sizes that matplotlib's and
// plotext's tick arithmetic copes with (it overflows near 1e308, and a span
// below about 1e-300 collapses): divided by 10^exponent, each tick labelled
// with the value it stands for. Exponent 0 draws values as they are.
struct AxisScale {
    int exponent = 0;

    double drawn(double value) const;
    nb::object drawn_value(nb::handle value) const;  // a float, or None as it is
    nb::list drawn_values(const nb::list& values) const;
    // A tick's label: the value at `at` on the axis.
    std::string label(double at) const;
};

// The scale of an axis over finite values from `low` to `high`.
AxisScale axis_scale(double low, double high);

// One KPI's results, oldest first, with its target range.
struct KpiSeries {
    nb::str kpi;
    nb::str title;                 // the KPI with its display name
    std::vector<Moment> moments;   // parallel to values
    nb::list times;                // the moments' datetimes, for the plotting libraries
    nb::list values;               // floats
    double low = INFINITY;         // the axis: the smallest value or target in reach
    double high = -INFINITY;       // the largest
    nb::object min, nominal, max;  // floats, or None where the product sets none
};

// The series as its axis draws it: values, targets and span by axis_scale,
// targets beyond the axis cut at its edges (a band) or left out (a line).
KpiSeries as_drawn(const KpiSeries& series, const AxisScale& scale);

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

// A finite int or float (not a bool); nothing otherwise: NaN and infinities
// are left out of every chart.
std::optional<double> finite_number(nb::handle value);

// The series' min, nominal and max from targets[<kpi>_min] and so on (a
// float, or None), its low and high widened towards them by at most ten
// spans of the values.
void set_targets(KpiSeries& series, nb::handle targets);

void bind_series(nb::module_& m);
void bind_figures(nb::module_& m);
void bind_terminal(nb::module_& m);

}  // namespace orvane::charts
