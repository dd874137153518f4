// Charts as PNG or SVG, drawn by matplotlib. The figure is made and printed
// through its own Agg canvas, never through pyplot, so the caller's backend
// and open figures stay as they are.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "charts.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace orvane::charts {

namespace {

py::CachedModule matplotlib_module{"matplotlib"};
py::CachedModule figure_module{"matplotlib.figure"};
py::CachedModule agg_module{"matplotlib.backends.backend_agg"};
py::CachedModule dates_module{"matplotlib.dates"};
py::CachedModule ticker_module{"matplotlib.ticker"};
py::CachedModule io_module{"io"};

// More rows than this make a figure nobody can read.
constexpr std::size_t kMaxKpis = 12;
// One row per KPI: 800 pixels wide and 280 high at 100 dots per inch.
constexpr double kWidthInches = 8.0;
constexpr double kRowInches = 2.8;
constexpr int kDpi = 100;
// Beyond this many points a marker per point is noise (and SVG weight).
constexpr std::size_t kMaxMarkedPoints = 500;

constexpr const char* kSeriesColour = "#1f5fa8";
constexpr const char* kBandColour = "#2e9e4f";
constexpr const char* kLimitColour = "#c0392b";
constexpr const char* kReleaseColour = "#5b5b5b";

// Artist ids, "<kpi>:<part>", so an SVG's parts can be found by name.
nb::str gid(const KpiSeries& series, std::string_view part) {
    std::string suffix(1, ':');
    suffix.append(part);
    return py::concat(series.kpi, py::make_str(suffix));
}

void draw_targets(nb::handle axes, const KpiSeries& series) {
    const bool band = !series.min.is_none() && !series.max.is_none();
    if (band) {
        axes.attr("axhspan")(series.min, series.max, "color"_a = kBandColour, "alpha"_a = 0.16,
                             "linewidth"_a = 0, "label"_a = "target band",
                             "gid"_a = gid(series, "band"));
    }
    for (auto [bound, name] : {std::pair{series.min, "min"}, std::pair{series.max, "max"}}) {
        if (band || bound.is_none()) continue;
        axes.attr("axhline")(bound, "color"_a = kLimitColour, "linestyle"_a = ":",
                             "linewidth"_a = 1.2, "label"_a = name, "gid"_a = gid(series, name));
    }
    if (!series.nominal.is_none()) {
        axes.attr("axhline")(series.nominal, "color"_a = kBandColour, "linestyle"_a = "--",
                             "linewidth"_a = 1.2, "label"_a = "nominal",
                             "gid"_a = gid(series, "nominal"));
    }
}

void draw_releases(nb::handle axes, const KpiSeries& series, const ChartData& data) {
    nb::object at_top = axes.attr("get_xaxis_transform")();
    for (const Release& release : data.releases) {
        const std::string version = py::display_text(release.version);
        axes.attr("axvline")(release.moment.time, "color"_a = kReleaseColour, "linestyle"_a = "-.",
                             "linewidth"_a = 0.8,
                             "gid"_a = gid(series, std::string("release:").append(version)));
        // Versions are text from files: never read as mathtext.
        axes.attr("text")(release.moment.time, 0.97, release.version, "transform"_a = at_top,
                          "rotation"_a = 90, "ha"_a = "right", "va"_a = "top", "fontsize"_a = 8,
                          "color"_a = kReleaseColour, "parse_math"_a = false,
                          "gid"_a = gid(series, std::string("release-label:").append(version)));
    }
}

// An axis drawn to a scale has its ticks labelled with the values they stand for.
void label_ticks(nb::handle axis, const AxisScale& scale) {
    if (scale.exponent == 0) return;
    nb::object label =
        nb::cpp_function([scale](double at, nb::handle) { return py::make_str(scale.label(at)); });
    axis.attr("set_major_formatter")(ticker_module.attr("FuncFormatter")(label));
}

void draw_axes(nb::handle axes, const KpiSeries& kpi, const ChartData& data) {
    const AxisScale scale = axis_scale(kpi.low, kpi.high);
    const KpiSeries series = as_drawn(kpi, scale);
    draw_targets(axes, series);
    label_ticks(axes.attr("yaxis"), scale);
    const bool marked = series.moments.size() <= kMaxMarkedPoints;
    axes.attr("plot")(series.times, series.values, "color"_a = kSeriesColour, "linewidth"_a = 1.5,
                      "marker"_a = marked ? "o" : "None", "markersize"_a = 4, "label"_a = "results",
                      "gid"_a = gid(series, "series"));
    draw_releases(axes, series, data);
    axes.attr("set_title")(series.title, "loc"_a = "left", "fontsize"_a = 10,
                           "parse_math"_a = false);
    axes.attr("grid")(true, "alpha"_a = 0.3);
    axes.attr("legend")("loc"_a = "upper left", "bbox_to_anchor"_a = nb::make_tuple(1.01, 1.0),
                        "fontsize"_a = 8, "frameon"_a = false);
}

// One row of axes per KPI, sharing the time axis.
nb::object draw(const ChartData& data) {
    const std::size_t rows = data.series.size();
    nb::object figure = figure_module.attr("Figure")(
        "figsize"_a = nb::make_tuple(kWidthInches, kRowInches * static_cast<double>(rows)),
        "dpi"_a = kDpi, "layout"_a = "constrained");
    agg_module.attr("FigureCanvasAgg")(figure);
    nb::object grid = figure.attr("subplots")(rows, 1, "squeeze"_a = false, "sharex"_a = true);
    nb::object all_axes = grid.attr("ravel")().attr("tolist")();
    for (std::size_t row = 0; row < rows; ++row) draw_axes(all_axes[row], data.series[row], data);
    // One result alone would otherwise get years of axis.
    const auto [left, right] = time_limits(data);
    nb::object bottom = all_axes[rows - 1];
    bottom.attr("set_xlim")(left, right);
    nb::object locator = dates_module.attr("AutoDateLocator")();
    bottom.attr("xaxis").attr("set_major_locator")(locator);
    bottom.attr("xaxis").attr("set_major_formatter")(
        dates_module.attr("ConciseDateFormatter")(locator));
    return figure;
}

enum class Format { png, svg };

// The figure printed as a file's bytes. SVG keeps its text as text (not
// glyph outlines): searchable, and small enough to inline in a report.
nb::bytes render(nb::handle figure, Format format) {
    nb::object buffer = io_module.attr("BytesIO")();
    if (format == Format::png) {
        figure.attr("savefig")(buffer, "format"_a = "png");
    } else {
        nb::dict rc;
        rc["svg.fonttype"] = "none";
        // No metadata block: no time stamp (one product, one file) and no
        // URLs of vocabularies in a page that must fetch nothing.
        nb::dict metadata;
        for (const char* key : {"Date", "Creator", "Format", "Type"}) metadata[key] = nb::none();
        py::with_context(matplotlib_module.attr("rc_context")(rc), [&] {
            return figure.attr("savefig")(buffer, "format"_a = "svg", "metadata"_a = metadata);
        });
    }
    return nb::borrow<nb::bytes>(buffer.attr("getvalue")());
}

Format format_of(nb::handle path) {
    nb::object suffix = path.attr("suffix").attr("lower")();
    if (suffix.equal(nb::str(".png"))) return Format::png;
    if (suffix.equal(nb::str(".svg"))) return Format::svg;
    py::raise(py::exc::value_error(), "path must end in .png or .svg, not " +
                                          py::repr(path.attr("suffix")) + " (" +
                                          py::display_text(path) + ")");
}

// A chart's file, checked before anything is drawn: its format by its suffix.
struct ChartFile {
    nb::object path;
    Format format;
};

ChartFile chart_file(nb::handle path, const char* function) {
    nb::object target = py::require_path(path, function, "path");
    const Format format = format_of(target);
    fs::require_regular_if_present(py::fs_path(target), "path");
    return {target, format};
}

void write_chart(const ChartFile& file, nb::handle figure) {
    nb::bytes image = render(figure, file.format);
    fs::write_file_atomic(py::fs_path(file.path), std::string_view(image.c_str(), image.size()));
}

nb::object kpi_chart(nb::handle usda_path, nb::handle kpis, nb::handle path) {
    constexpr const char* kFunction = "kpi_chart";
    const ChartFile file = chart_file(path, kFunction);
    const ChartData data = gather(usda_path, kpis, kFunction, kMaxKpis);
    write_chart(file, draw(data));

    nb::dict points;
    for (const KpiSeries& series : data.series) points[series.kpi] = series.moments.size();
    nb::list releases;
    for (const Release& release : data.releases) releases.append(release.version);
    nb::dict written;
    written["path"] = file.path;
    written["format"] = file.format == Format::png ? "png" : "svg";
    written["points"] = points;
    written["releases"] = releases;
    return written;
}

// --- design studies: a KPI against a design value, over the product's runs ---------

// The successful runs that have both the KPI and the parameter (a design
// value or a solver input), from the run index: x the parameter, values the KPI.
struct DesignPoints {
    KpiSeries series;
    nb::str parameter;
    nb::list x;
    double x_low = INFINITY, x_high = -INFINITY;
};

// More runs than this draw as a cloud without markers' edges.
constexpr std::size_t kCloud = 2000;

// What the product's design studies are drawn from: its runs (from the run
// index) and its targets, read once for any number of charts.
struct DesignSource {
    nb::object path;
    nb::object runs;
    nb::object targets;
};

DesignSource design_source(nb::handle usda_path, const char* function) {
    nb::object path = py::require_path(usda_path, function, "usda_path");
    nb::object targets = services::product::product_class(path).attr("targets");
    if (!nb::isinstance<nb::dict>(targets)) targets = nb::dict();
    return {path, services::run_index::product_runs(path), targets};
}

DesignPoints design_points(const DesignSource& source, nb::handle kpi, nb::handle parameter,
                           const char* function) {
    py::require_str(kpi, function, "kpi");
    py::require_str(parameter, function, "parameter");
    DesignPoints points;
    points.series.kpi = nb::borrow<nb::str>(kpi);
    points.series.title = nb::borrow<nb::str>(kpi);
    points.parameter = nb::borrow<nb::str>(parameter);
    for (nb::handle run : source.runs) {
        if (!run["status"].equal(nb::str("success"))) continue;
        const std::optional<double> x = finite_number(py::dict_get(run["parameters"], parameter));
        const std::optional<double> y = finite_number(py::dict_get(run["kpis"], kpi));
        if (!x || !y) continue;
        points.x.append(nb::float_(*x));
        points.x_low = std::min(points.x_low, *x);
        points.x_high = std::max(points.x_high, *x);
        points.series.values.append(nb::float_(*y));
        points.series.low = std::min(points.series.low, *y);
        points.series.high = std::max(points.series.high, *y);
    }
    if (nb::len(points.x) == 0) {
        py::raise(py::exc::value_error(), "no successful run of " + py::display_text(source.path) +
                                              " has both the KPI " + py::repr(kpi) +
                                              " and the parameter " + py::repr(parameter));
    }
    set_targets(points.series, source.targets);
    return points;
}

nb::object draw_design(const DesignPoints& points) {
    nb::object figure =
        figure_module.attr("Figure")("figsize"_a = nb::make_tuple(kWidthInches, kRowInches * 1.4),
                                     "dpi"_a = kDpi, "layout"_a = "constrained");
    agg_module.attr("FigureCanvasAgg")(figure);
    nb::object axes = figure.attr("subplots")();
    const AxisScale x_scale = axis_scale(points.x_low, points.x_high);
    const AxisScale y_scale = axis_scale(points.series.low, points.series.high);
    const KpiSeries series = as_drawn(points.series, y_scale);
    draw_targets(axes, series);
    label_ticks(axes.attr("xaxis"), x_scale);
    label_ticks(axes.attr("yaxis"), y_scale);
    axes.attr("scatter")(x_scale.drawn_values(points.x), series.values, "color"_a = kSeriesColour,
                         "s"_a = nb::len(points.x) > kCloud ? 6 : 18, "label"_a = "runs",
                         "gid"_a = gid(points.series, "runs"));
    axes.attr("set_xlabel")(points.parameter, "parse_math"_a = false);
    axes.attr("set_title")(
        py::concat(points.series.title, py::concat(nb::str(" against "), points.parameter)),
        "loc"_a = "left", "fontsize"_a = 10, "parse_math"_a = false);
    axes.attr("grid")(true, "alpha"_a = 0.3);
    axes.attr("legend")("loc"_a = "upper left", "bbox_to_anchor"_a = nb::make_tuple(1.01, 1.0),
                        "fontsize"_a = 8, "frameon"_a = false);
    return figure;
}

// An SVG document's <svg> element alone: the XML declaration and doctype
// have no place inside an HTML page.
nb::str svg_element(const nb::bytes& image) {
    const std::string_view document(image.c_str(), image.size());
    const std::size_t start = document.find("<svg");
    return py::make_str(document.substr(start == std::string_view::npos ? 0 : start));
}

nb::object design_chart(nb::handle usda_path, nb::handle kpi, nb::handle parameter,
                        nb::handle path) {
    constexpr const char* kFunction = "design_chart";
    const ChartFile file = chart_file(path, kFunction);
    const DesignPoints points =
        design_points(design_source(usda_path, kFunction), kpi, parameter, kFunction);
    write_chart(file, draw_design(points));
    nb::dict written;
    written["path"] = file.path;
    written["format"] = file.format == Format::png ? "png" : "svg";
    written["points"] = nb::len(points.x);
    return written;
}

nb::object design_svgs(nb::handle usda_path, nb::handle pairs) {
    constexpr const char* kFunction = "design_svgs";
    py::require<nb::list>(pairs, kFunction, "pairs");
    const DesignSource source = design_source(usda_path, kFunction);
    nb::list charts;
    for (nb::handle pair : pairs) {
        if (!nb::isinstance<nb::tuple>(pair) || nb::len(pair) != 2)
            py::raise_argument_type(kFunction, "pairs", "a list of (kpi, parameter)", pair);
        const DesignPoints points = design_points(source, pair[0], pair[1], kFunction);
        charts.append(svg_element(render(draw_design(points), Format::svg)));
    }
    return charts;
}

nb::object kpi_svgs(nb::handle usda_path, nb::handle kpis) {
    const ChartData data = gather(usda_path, kpis, "kpi_svgs");
    nb::list charts;
    for (const KpiSeries& series : data.series) {
        ChartData one{{series}, data.releases};
        charts.append(svg_element(render(draw(one), Format::svg)));
    }
    return charts;
}

}  // namespace

void bind_figures(nb::module_& m) {
    m.attr("MAX_KPIS") = kMaxKpis;
    m.def("kpi_chart", &kpi_chart, nb::arg("usda_path").none(), nb::arg("kpis").none(),
          nb::arg("path").none(),
          nb::sig("def kpi_chart(usda_path: str | os.PathLike[str], kpis: list[str], path: str "
                  "| os.PathLike[str]) -> dict[str, typing.Any]"),
          R"(Draw each KPI of `kpis` over time, one row each: its results, the band between its
          min and max targets (a line for a lone bound), its nominal, and a labelled line at
          every release. Writes a PNG or SVG by the suffix of `path`, atomically. Returns
          path, format, the points drawn per KPI and the releases marked. ValueError names
          an unknown suffix or a KPI without results.)");
    m.def("kpi_svgs", &kpi_svgs, nb::arg("usda_path").none(), nb::arg("kpis").none(),
          nb::sig("def kpi_svgs(usda_path: str | os.PathLike[str], kpis: list[str]) -> "
                  "list[str]"),
          R"(The chart of each KPI of `kpis` as an <svg> element, ready to inline in an HTML
          page: no XML declaration, text as text. ValueError names a KPI without results.)");
    m.def("design_chart", &design_chart, nb::arg("usda_path").none(), nb::arg("kpi").none(),
          nb::arg("parameter").none(), nb::arg("path").none(),
          nb::sig("def design_chart(usda_path: str | os.PathLike[str], kpi: str, parameter: str, "
                  "path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          R"(Draw `kpi` against `parameter` (a design value or solver input) over the
          product's successful runs, as the run index holds them (a sweep's cases), with the
          KPI's target band and nominal. Writes a PNG or SVG by the suffix of `path`,
          atomically. Returns path, format and the number of runs drawn. ValueError when no
          run has both.)");
    m.def("design_svgs", &design_svgs, nb::arg("usda_path").none(), nb::arg("pairs").none(),
          nb::sig("def design_svgs(usda_path: str | os.PathLike[str], pairs: list[tuple[str, "
                  "str]]) -> list[str]"),
          R"(design_chart's drawing of each (kpi, parameter) of `pairs` as an <svg> element,
          ready to inline in an HTML page; the runs and targets are read once.)");
}

}  // namespace orvane::charts
