// What a chart shows, read once from the product: results history, targets,
// releases.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "charts.h"
#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/py.h"
#include "native/text.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace orvane::charts {

namespace {

py::CachedModule datetime_module{"datetime"};

// The fields every history record has besides its values.
constexpr std::array<std::string_view, 6> kRecordFields = {"raw",  "timestamp", "domain",
                                                           "type", "solver",    "run"};

bool is_record_field(nb::handle key) {
    const std::string_view name = py::utf8(key);
    return std::find(kRecordFields.begin(), kRecordFields.end(), name) != kRecordFields.end();
}

// A time as the history and the releases write it (ISO 8601), in UTC when it
// names no zone; nothing for any other text.
std::optional<Moment> parse_moment(nb::handle text) {
    if (!text.is_valid() || !nb::isinstance<nb::str>(text)) return std::nullopt;
    nb::object time;
    try {
        time = datetime_module.attr("datetime").attr("fromisoformat")(text);
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::value_error())) throw;
        return std::nullopt;
    }
    if (time.attr("tzinfo").is_none())
        time = time.attr("replace")("tzinfo"_a = datetime_module.attr("timezone").attr("utc"));
    return Moment{time, py::to_double(time.attr("timestamp")())};
}

// A KPI name as charts know it: trimmed and in lower case.
nb::object canonical_name(nb::handle name) { return name.attr("strip")().attr("lower")(); }

// A history key that kpi_names() takes back as it is: canonical, no control
// characters.
bool chartable_name(nb::handle key) {
    return nb::isinstance<nb::str>(key) && nb::len(key) > 0 && canonical_name(key).equal(key) &&
           !text::has_control_characters(py::utf8(key));
}

nb::list as_list(nb::handle iterable) { return nb::borrow<nb::list>(py::list_type()(iterable)); }

nb::list kpi_names(nb::handle kpis, const char* function, std::size_t max_kpis) {
    if (!nb::isinstance<nb::list>(kpis) && !nb::isinstance<nb::tuple>(kpis))
        py::raise_argument_type(function, "kpis", "a list of str", kpis);
    nb::dict names;  // in order, each once
    for (nb::handle kpi : kpis) {
        if (!nb::isinstance<nb::str>(kpi))
            py::raise_argument_type(function, "kpis", "a list of str", kpi);
        py::require_no_control_characters(kpi, "kpis");
        nb::object name = canonical_name(kpi);
        if (nb::len(name) == 0)
            py::raise(py::exc::value_error(), "kpis holds an empty name: " + py::repr(kpi));
        py::set_default(names, name, nb::none());
    }
    if (nb::len(names) == 0) py::raise(py::exc::value_error(), "kpis names no KPI");
    if (nb::len(names) > max_kpis) {
        py::raise(py::exc::value_error(), "kpis names " + std::to_string(nb::len(names)) +
                                              " KPIs; a chart shows at most " +
                                              std::to_string(max_kpis));
    }
    return as_list(names);
}

nb::str title_of(nb::handle kpi) {
    nb::object shown = services::solver_registry::get_kpi_display_name(kpi);
    if (!nb::isinstance<nb::str>(shown) || shown.equal(kpi) || nb::len(shown) == 0)
        return nb::borrow<nb::str>(kpi);
    return py::concat(py::concat(kpi, nb::str(" \u00b7 ")), shown);
}

// The records whose time can be read, with that time.
std::vector<std::pair<nb::object, Moment>> timed_records(nb::handle history) {
    std::vector<std::pair<nb::object, Moment>> timed;
    for (nb::handle record : history) {
        if (!nb::isinstance<nb::dict>(record)) continue;
        if (auto moment = parse_moment(py::dict_get(record, "timestamp")))
            timed.emplace_back(nb::borrow(record), std::move(*moment));
    }
    return timed;
}

KpiSeries series_of(nb::handle kpi, const std::vector<std::pair<nb::object, Moment>>& records,
                    nb::handle targets) {
    KpiSeries series;
    series.kpi = nb::borrow<nb::str>(kpi);
    series.title = title_of(kpi);
    for (const auto& [record, moment] : records) {
        const std::optional<double> value = finite_number(py::dict_get(record, kpi));
        if (!value) continue;
        series.moments.push_back(moment);
        series.times.append(moment.time);
        series.values.append(nb::float_(*value));
        series.low = std::min(series.low, *value);
        series.high = std::max(series.high, *value);
    }
    set_targets(series, targets);
    return series;
}

std::vector<Release> releases_of(nb::handle path) {
    std::vector<Release> releases;
    for (nb::handle release : services::releases::list_releases(path)) {
        nb::object version = py::get(release, "version", nb::none());
        std::optional<Moment> moment = parse_moment(py::get(release, "timestamp", nb::none()));
        if (!nb::isinstance<nb::str>(version) || !moment) continue;
        releases.push_back(Release{nb::borrow<nb::str>(version), std::move(*moment)});
    }
    return releases;
}

nb::str joined(nb::handle names) {
    if (nb::len(names) == 0) return nb::str("none");
    return nb::borrow<nb::str>(nb::str(", ").attr("join")(names));
}

}  // namespace

std::optional<double> finite_number(nb::handle value) {
    if (!value.is_valid() || nb::isinstance<nb::bool_>(value) || !py::is_number(value))
        return std::nullopt;
    const double number = py::to_double(value);
    if (!std::isfinite(number)) return std::nullopt;
    return number;
}

nb::list charted_kpis_of(nb::handle history) {
    nb::dict kpis;              // in order of first appearance
    nb::dict extras_by_domain;  // each domain's schema looked up once
    for (nb::handle record : history) {
        // Only what a chart can place on its time axis.
        if (!nb::isinstance<nb::dict>(record) || !parse_moment(py::dict_get(record, "timestamp")))
            continue;
        nb::object domain = py::dict_get(record, "domain");
        nb::object extras = nb::tuple();
        if (domain.is_valid() && nb::isinstance<nb::str>(domain)) {
            extras = py::dict_get(extras_by_domain, domain);
            if (!extras.is_valid()) {
                extras = py::get(results::domain_schema(domain), "extra_metadata", nb::tuple());
                py::set_item(extras_by_domain, domain, extras);
            }
        }
        // An entry holds its KPIs before its solver, and metadata, overrides
        // and run after it; an entry without a solver leaves only the
        // domain's declared metadata to tell them apart.
        for (auto [key, value] : nb::borrow<nb::dict>(record)) {
            if (!nb::isinstance<nb::str>(key)) continue;
            if (py::utf8(key) == "solver") break;
            if (is_record_field(key) || !finite_number(value) || !chartable_name(key) ||
                py::contains(extras, key))
                continue;
            py::set_default(kpis, key, nb::none());
        }
    }
    return as_list(kpis);
}

namespace {

// The first and last moment of the chart: of every result and release.
std::pair<Moment, Moment> time_span(const ChartData& data) {
    const Moment* first = nullptr;
    const Moment* last = nullptr;
    auto widen = [&](const Moment& moment) {
        if (first == nullptr || moment.seconds < first->seconds) first = &moment;
        if (last == nullptr || moment.seconds > last->seconds) last = &moment;
    };
    for (const KpiSeries& series : data.series) {
        for (const Moment& moment : series.moments) widen(moment);
    }
    for (const Release& release : data.releases) widen(release.moment);
    return {*first, *last};  // gather() refuses a chart without results
}

}  // namespace

std::pair<nb::object, nb::object> time_limits(const ChartData& data) {
    const auto [first, last] = time_span(data);
    const double span = last.seconds - first.seconds;
    nb::object padding =
        datetime_module.attr("timedelta")("seconds"_a = span > 0 ? span * 0.04 : 60.0);
    return {first.time - padding, last.time + padding};
}

namespace {

// Values whose power of ten stays within this are drawn as they are.
constexpr int kPlainExponent = 100;

// 10^exponent, in two factors: 10^324 alone is no double.
std::pair<double, double> powers_of_ten(int exponent) {
    const int half = exponent / 2;
    return {std::pow(10.0, half), std::pow(10.0, exponent - half)};
}

}  // namespace

double AxisScale::drawn(double value) const {
    if (exponent == 0) return value;
    const auto [first, second] = powers_of_ten(-exponent);
    return value * first * second;
}

nb::object AxisScale::drawn_value(nb::handle value) const {
    if (value.is_none()) return nb::none();
    return nb::float_(drawn(py::to_double(value)));
}

nb::list AxisScale::drawn_values(const nb::list& values) const {
    if (exponent == 0) return values;
    nb::list scaled;
    for (nb::handle value : values) scaled.append(drawn_value(value));
    return scaled;
}

std::string AxisScale::label(double at) const {
    const auto [first, second] = powers_of_ten(exponent);
    return py::format(nb::float_(at * first * second), ".3g");
}

AxisScale axis_scale(double low, double high) {
    const double largest = std::max(std::fabs(low), std::fabs(high));
    if (largest == 0) return {};
    const int exponent = static_cast<int>(std::floor(std::log10(largest)));
    if (std::abs(exponent) <= kPlainExponent) return {};
    return {exponent};
}

namespace {

// A target as drawn within the axis from `low` to `high`: None beyond it.
nb::object within(nb::handle bound, double low, double high) {
    if (bound.is_none()) return nb::none();
    const double value = py::to_double(bound);
    return value < low || value > high ? nb::none() : nb::borrow(bound);
}

// Targets further from the values than this many spans of them are off the
// axis: reaching them would squeeze the values into a line.
constexpr double kTargetReach = 10;

}  // namespace

KpiSeries as_drawn(const KpiSeries& series, const AxisScale& scale) {
    KpiSeries drawn = series;
    // A band reaching past the axis is cut at its edges; a line beyond it is left out.
    if (!series.min.is_none() && !series.max.is_none()) {
        const double min = py::to_double(series.min);
        const double max = py::to_double(series.max);
        const bool seen = min <= series.high && max >= series.low;
        drawn.min = seen ? nb::object(nb::float_(std::max(min, series.low))) : nb::none();
        drawn.max = seen ? nb::object(nb::float_(std::min(max, series.high))) : nb::none();
    } else {
        drawn.min = within(series.min, series.low, series.high);
        drawn.max = within(series.max, series.low, series.high);
    }
    drawn.nominal = within(series.nominal, series.low, series.high);
    drawn.values = scale.drawn_values(series.values);
    drawn.low = scale.drawn(series.low);
    drawn.high = scale.drawn(series.high);
    drawn.min = scale.drawn_value(drawn.min);
    drawn.nominal = scale.drawn_value(drawn.nominal);
    drawn.max = scale.drawn_value(drawn.max);
    return drawn;
}

void set_targets(KpiSeries& series, nb::handle targets) {
    auto target = [&](const char* suffix) {
        const std::optional<double> value =
            finite_number(py::dict_get(targets, py::concat(series.kpi, nb::str(suffix))));
        return value ? nb::object(nb::float_(*value)) : nb::none();
    };
    series.min = target("_min");
    series.nominal = target("_nominal");
    series.max = target("_max");
    const bool valued = series.low <= series.high;
    // Overflowing to infinity, the reach only leaves the targets whole.
    const double span = series.high > series.low ? series.high - series.low
                        : series.high != 0       ? std::fabs(series.high)
                                                 : 1.0;
    const double lowest = valued ? series.low - kTargetReach * span : -INFINITY;
    const double highest = valued ? series.high + kTargetReach * span : INFINITY;
    auto widen = [&](double value) {
        series.low = std::min(series.low, value);
        series.high = std::max(series.high, value);
    };
    const bool band = !series.min.is_none() && !series.max.is_none();
    if (band) {
        const double min = py::to_double(series.min);
        const double max = py::to_double(series.max);
        if (min <= highest && max >= lowest) {
            widen(std::max(min, lowest));
            widen(std::min(max, highest));
        }
    }
    auto widen_within = [&](nb::handle bound) {
        if (bound.is_none()) return;
        const double value = py::to_double(bound);
        if (value >= lowest && value <= highest) widen(value);
    };
    if (!band) {
        widen_within(series.min);
        widen_within(series.max);
    }
    widen_within(series.nominal);
}

ChartData gather(nb::handle usda_path, nb::handle kpis, const char* function,
                 std::size_t max_kpis) {
    nb::object path = py::require_path(usda_path, function, "usda_path");
    nb::list names = kpi_names(kpis, function, max_kpis);
    nb::object history = services::product_twin::load_product_history(path);
    const std::vector<std::pair<nb::object, Moment>> records = timed_records(history);
    nb::object targets = services::product::product_class(path).attr("targets");
    if (!nb::isinstance<nb::dict>(targets)) targets = nb::dict();

    ChartData data;
    for (nb::handle kpi : names) {
        KpiSeries series = series_of(kpi, records, targets);
        if (series.moments.empty()) {
            py::raise(py::exc::value_error(),
                      "KPI " + py::repr(kpi) + " has no results in the history of " +
                          py::display_text(path) + "; KPIs with results: " +
                          py::display_text(joined(charted_kpis_of(history))));
        }
        data.series.push_back(std::move(series));
    }
    data.releases = releases_of(path);
    return data;
}

namespace {

nb::object charted_kpis(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "charted_kpis", "usda_path");
    return charted_kpis_of(services::product_twin::load_product_history(path));
}

nb::object kpi_series(nb::handle usda_path, nb::handle kpis) {
    const ChartData data = gather(usda_path, kpis, "kpi_series");
    nb::list series;
    for (const KpiSeries& kpi : data.series) {
        nb::list points;
        for (std::size_t i = 0; i < kpi.moments.size(); ++i)
            points.append(nb::make_tuple(kpi.moments[i].time.attr("isoformat")(), kpi.values[i]));
        nb::dict entry;
        entry["kpi"] = kpi.kpi;
        entry["title"] = kpi.title;
        entry["points"] = points;
        entry["min"] = kpi.min;
        entry["nominal"] = kpi.nominal;
        entry["max"] = kpi.max;
        series.append(entry);
    }
    nb::list releases;
    for (const Release& release : data.releases) {
        nb::dict entry;
        entry["version"] = release.version;
        entry["timestamp"] = release.moment.time.attr("isoformat")();
        releases.append(entry);
    }
    nb::dict result;
    result["series"] = series;
    result["releases"] = releases;
    return result;
}

}  // namespace

void bind_series(nb::module_& m) {
    m.def("charted_kpis", &charted_kpis, nb::arg("usda_path").none(),
          nb::sig("def charted_kpis(usda_path: str | os.PathLike[str]) -> list[str]"),
          R"(The KPIs with results in the product's history, in the order they first appear
          (a domain's extra metadata, such as iterations, is not a KPI).)");
    m.def("kpi_series", &kpi_series, nb::arg("usda_path").none(), nb::arg("kpis").none(),
          nb::sig("def kpi_series(usda_path: str | os.PathLike[str], kpis: list[str]) -> "
                  "dict[str, list[dict[str, typing.Any]]]"),
          R"(What a chart of `kpis` shows: {"series": [{kpi, title, points: [(time, value)],
          min, nominal, max}], "releases": [{version, timestamp}]}, times as ISO text.
          ValueError names a KPI without results.)");
}

}  // namespace orvane::charts
