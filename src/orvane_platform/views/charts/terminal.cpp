// Charts as text for a terminal, drawn by plotext: one plot per KPI, one
// under the other, each as wide and tall as asked (or as the terminal).
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "charts.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace orvane::charts {

namespace {

py::CachedModule plotext_module{"plotext"};

constexpr long kMinSize = 10;
// The part of the value span added above the highest value, for the labels.
constexpr double kLabelStrip = 0.12;
constexpr long kMaxSize = 1000;

// plotext draws on one figure per process: it is cleared before each chart
// and after the last, so nothing drawn here stays for plotext's other users.
class PlotextFigure {
  public:
    PlotextFigure() : figure_(plotext_module.attr("figure")) { figure_.attr("clear")(); }
    ~PlotextFigure() {
        try {
            figure_.attr("clear")();
        } catch (nb::python_error& error) {
            error.discard_as_unraisable("clearing plotext's figure");
        }
    }
    PlotextFigure(const PlotextFigure&) = delete;
    PlotextFigure& operator=(const PlotextFigure&) = delete;

    nb::handle get() const { return figure_; }

  private:
    nb::object figure_;
};

py::CachedModule datetime_module{"datetime"};

constexpr int kTimeTicks = 5;
constexpr int kValueTicks = 5;

// Time ticks evenly across the axis, labelled in UTC as coarsely as keeps
// every label distinct, without the date when all fall on one day: days for
// a programme, down to milliseconds for runs made within one second.
std::pair<nb::list, nb::list> time_ticks(nb::handle left, nb::handle right) {
    nb::object utc = datetime_module.attr("timezone").attr("utc");
    nb::list positions;
    nb::object step = (right - left) / nb::int_(kTimeTicks - 1);
    for (int i = 0; i < kTimeTicks; ++i)
        positions.append((left + step * nb::int_(i)).attr("astimezone")(utc));
    struct Form {
        const char* strftime;
        std::size_t trim;  // characters dropped from the end
        bool dated;        // names the day
    };
    constexpr Form kForms[] = {{"%Y-%m-%d", 0, true},     {"%m-%d %H:%M", 0, true},
                               {"%H:%M", 0, false},       {"%H:%M:%S", 0, false},
                               {"%H:%M:%S.%f", 3, false}, {"%H:%M:%S.%f", 0, false}};
    nb::list labels;
    bool one_day = false;
    for (const Form& form : kForms) {
        if (form.dated && one_day) continue;
        labels = nb::list();
        std::set<std::string> distinct;
        for (nb::handle position : positions) {
            std::string label(py::utf8(position.attr("strftime")(form.strftime)));
            label.resize(label.size() - form.trim);
            distinct.insert(label);
            labels.append(py::make_str(label));
        }
        if (distinct.size() == static_cast<std::size_t>(kTimeTicks)) break;
        one_day = one_day || (form.dated && distinct.size() == 1);
    }
    return {positions, labels};
}

// The value span of one plot, never empty: plotext needs a height to draw in.
std::pair<double, double> value_span(const KpiSeries& series) {
    if (series.high > series.low) return {series.low, series.high};
    const double pad = series.low == 0 ? 1.0 : std::fabs(series.low) * 0.05;
    return {series.low - pad, series.high + pad};
}

nb::str caption(const KpiSeries& series) {
    std::string text;
    auto add = [&](const char* name, nb::handle bound) {
        if (bound.is_none()) return;
        text += text.empty() ? "  (" : ", ";
        text.append(name).append(" ").append(py::format(bound, "g"));
    };
    add("min", series.min);
    add("nominal", series.nominal);
    add("max", series.max);
    if (!text.empty()) text += ")";
    return py::concat(series.title, py::make_str(text));
}

// Value ticks evenly from `low` to `top`, labelled with the values they
// stand for: plotext's own labels would show the scaled numbers.
void label_values(nb::handle plot, const AxisScale& scale, double low, double top) {
    if (scale.exponent == 0) return;
    nb::list positions;
    nb::list labels;
    for (int i = 0; i < kValueTicks; ++i) {
        const double at = low + (top - low) * i / (kValueTicks - 1);
        positions.append(nb::float_(at));
        labels.append(py::make_str(scale.label(at)));
    }
    plot.attr("ruler")("y").attr("ticks")(positions, labels);
}

void draw_plot(nb::handle plot, const KpiSeries& kpi, const ChartData& data) {
    const AxisScale scale = axis_scale(kpi.low, kpi.high);
    const KpiSeries series = as_drawn(kpi, scale);
    const auto [low, high] = value_span(series);
    // A strip above the highest value for the release labels.
    const double top = high + (high - low) * kLabelStrip;
    const auto [left, right] = time_limits(data);
    nb::tuple across = nb::make_tuple(left, right);
    plot.attr("legend")(false);
    plot.attr("date")().attr("activate")();
    // plotext's own limits of a short span leave the points in a narrow strip.
    plot.attr("ruler")("x").attr("lim")(left, right);
    plot.attr("ruler")("y").attr("lim")(low, top);
    label_values(plot, scale, low, top);
    const auto [positions, labels] = time_ticks(left, right);
    plot.attr("ruler")("x").attr("ticks")(positions, labels);
    if (!series.min.is_none() && !series.max.is_none()) {
        plot.attr("draw")(plot.attr("rectangle")("x"_a = across,
                                                 "y"_a = nb::make_tuple(series.min, series.max),
                                                 "fill"_a = true, "marker"_a = "\u00b7"));
    } else {
        for (nb::handle bound : {series.min, series.max}) {
            if (bound.is_none()) continue;
            plot.attr("draw")(plot.attr("segment")(
                "x"_a = across, "y"_a = nb::make_tuple(bound, bound), "marker"_a = "\u2508"));
        }
    }
    if (!series.nominal.is_none()) {
        plot.attr("draw")(plot.attr("segment")(
            "x"_a = across, "y"_a = nb::make_tuple(series.nominal, series.nominal),
            "marker"_a = "\u2500"));
    }
    for (const Release& release : data.releases) {
        nb::object at = release.moment.time;
        plot.attr("draw")(plot.attr("segment")("x"_a = nb::make_tuple(at, at),
                                               "y"_a = nb::make_tuple(low, top),
                                               "marker"_a = "\u2502"));
    }
    nb::object line = plot.attr("signal")(series.times, series.values, "marker"_a = "braille");
    line.attr("lines")();
    plot.attr("draw")(line);
    plot.attr("draw")(plot.attr("signal")(series.times, series.values, "marker"_a = "\u25cf"));
    // Last, so that nothing drawn covers them.
    for (const Release& release : data.releases)
        plot.attr("draw")(plot.attr("text")(release.moment.time, top, release.version));
    plot.attr("title")(caption(kpi));
}

nb::object size_argument(nb::handle value, const char* argument) {
    if (value.is_none()) return nb::none();
    if (!nb::isinstance<nb::int_>(value) || nb::isinstance<nb::bool_>(value))
        py::raise_argument_type("kpi_terminal", argument, "int or None", value);
    const std::optional<long long> size = py::small_int(value);
    if (!size || *size < kMinSize || *size > kMaxSize) {
        py::raise(py::exc::value_error(),
                  std::string(argument) + " must be between " + std::to_string(kMinSize) + " and " +
                      std::to_string(kMaxSize) + ", not " + py::repr(value));
    }
    return nb::borrow(value);
}

nb::object kpi_terminal(nb::handle usda_path, nb::handle kpis, nb::handle width, nb::handle height,
                        nb::handle color) {
    nb::object columns = size_argument(width, "width");
    nb::object rows = size_argument(height, "height");
    if (!nb::isinstance<nb::bool_>(color))
        py::raise_argument_type("kpi_terminal", "color", "bool", color);
    const ChartData data = gather(usda_path, kpis, "kpi_terminal");

    PlotextFigure figure;
    std::string text;
    for (const KpiSeries& series : data.series) {
        figure.get().attr("clear")();
        figure.get().attr("plot_size")(columns, rows);
        draw_plot(figure.get(), series, data);
        nb::object matrix = figure.get().attr("build")();
        if (!text.empty()) text += "\n";
        text += py::utf8(matrix.attr("string")("colorless"_a = !py::truthy(color)));
    }
    return py::make_str(text);
}

}  // namespace

void bind_terminal(nb::module_& m) {
    m.def("kpi_terminal", &kpi_terminal, nb::arg("usda_path").none(), nb::arg("kpis").none(),
          nb::kw_only(), nb::arg("width").none() = nb::none(),
          nb::arg("height").none() = nb::none(), nb::arg("color").none() = false,
          nb::sig("def kpi_terminal(usda_path: str | os.PathLike[str], kpis: list[str], *, "
                  "width: int | None = None, height: int | None = None, color: bool = False) "
                  "-> str"),
          R"(The chart of `kpis` as text for a terminal, one plot per KPI: its results, its
          target band (dotted) or lone bound, its nominal (a line) and the releases
          (labelled vertical lines). Each plot is `width` columns by `height` rows (10 to
          1000; None: the terminal's size), in ANSI colours when `color`.)");
}

}  // namespace orvane::charts
