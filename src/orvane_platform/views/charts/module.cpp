// orvane_platform.views.charts: KPI trend charts.
#include <nanobind/nanobind.h>

#include "charts.h"

namespace nb = nanobind;

NB_MODULE(charts, m) {
    m.doc() =
        "KPI trend charts: each KPI's results over time with its target band and the product's "
        "releases, as PNG or SVG (matplotlib, Agg) or as text for a terminal (plotext).";
    orvane::charts::bind_series(m);
    orvane::charts::bind_figures(m);
    orvane::charts::bind_terminal(m);
}
