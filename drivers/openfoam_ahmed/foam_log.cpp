#include "foam_log.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "native/numbers.h"
#include "native/text.h"

namespace orvane::foam {

namespace {

// A parallel run prefixes each rank's lines with "[n] ".
std::string_view without_rank(std::string_view line) {
    if (line.size() > 2 && line[0] == '[') {
        const auto close = line.find("] ");
        if (close != std::string_view::npos &&
            line.substr(1, close - 1).find_first_not_of("0123456789") == std::string_view::npos)
            return line.substr(close + 2);
    }
    return line;
}

std::optional<double> number_at(std::string_view text) {
    const std::string copy(text::strip(text));
    if (copy.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str()) return std::nullopt;
    return value;
}

// The snappyHexMesh lines that mark its progress.
constexpr std::string_view kMeshingMilestones[] = {
    "Refinement phase",
    "Feature refinement iteration",
    "Surface refinement iteration",
    "Shell refinement iteration",
    "Refined mesh :",
    "Mesh refined in",
    "Morphing phase",
    "Snapped mesh :",
    "Mesh snapped in",
    "Finished meshing",
};

}  // namespace

ToolLog::ToolLog(std::string tool, int report_every)
    : tool_(std::move(tool)), report_every_(std::max(1, report_every)) {}

std::optional<std::string> ToolLog::feed(std::string_view raw) {
    const std::string_view line = text::strip(without_rank(raw));
    // The trap firing: the handler in the stack trace, or mpirun telling
    // that a rank died of SIGFPE. (Every tool's banner names the trap too,
    // "trapFpe: Floating point exception trapping enabled".)
    if (line.find("sigFpe::sigHandler") != std::string_view::npos ||
        line.find("on signal 8 (Floating point exception)") != std::string_view::npos)
        floating_point_exception_ = true;
    if (line.starts_with("--> FOAM FATAL")) {
        in_fatal_ = true;
        fatal_.clear();
        return std::nullopt;
    }
    if (in_fatal_) {
        if (line.starts_with("From ") || line.starts_with("FOAM exiting") ||
            line.starts_with("FOAM aborting")) {
            in_fatal_ = false;
            std::string message;
            for (const std::string& part : fatal_) message += (message.empty() ? "" : " ") + part;
            last_fatal_ = message;
        } else if (!line.empty()) {
            fatal_.emplace_back(line);
        }
        return std::nullopt;
    }
    // Stack traces say where, not why.
    if (!line.empty() && !(line[0] == '#' && line.size() > 1 && std::isdigit(line[1]))) {
        tail_.emplace_back(line);
        if (tail_.size() > 3) tail_.erase(tail_.begin());
    }

    if (line.starts_with("Time = ")) {
        if (auto value = number_at(line.substr(7))) iteration_ = static_cast<int>(*value);
        return std::nullopt;
    }
    if (const auto at = line.find("Solving for "); at != std::string_view::npos) {
        const std::string_view rest = line.substr(at + 12);
        const auto comma = rest.find(',');
        const auto initial = rest.find("Initial residual = ");
        if (comma != std::string_view::npos && initial != std::string_view::npos) {
            const std::string field(rest.substr(0, comma));
            // Only the first solution of a field in an iteration counts.
            if (auto value =
                    number_at(rest.substr(initial + 19, rest.find(',', initial) - initial - 19)))
                residuals_[field] = *value;
        }
        return std::nullopt;
    }
    if (line.starts_with("Cd ") || line.starts_with("Cd\t")) {
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) drag_ = number_at(line.substr(colon + 1));
        return std::nullopt;
    }
    if (line.starts_with("SIMPLE solution converged")) {
        converged_ = true;
        return tool_ + ": " + std::string(line);
    }
    if (line.starts_with("ExecutionTime = ") && iteration_ > 0 &&
        (iteration_ == 1 || iteration_ % report_every_ == 0)) {
        std::string progress = tool_ + ": iteration " + std::to_string(iteration_);
        if (drag_) progress += ", Cd " + numbers::fixed(*drag_, 4);
        if (!residuals_.empty()) progress += ", residuals " + format_residuals(residuals_);
        return progress;
    }
    for (std::string_view milestone : kMeshingMilestones) {
        if (line.starts_with(milestone)) return tool_ + ": " + std::string(line);
    }
    return std::nullopt;
}

std::string ToolLog::last_message() const {
    if (!last_fatal_.empty()) return last_fatal_;
    std::string message;
    for (const std::string& line : tail_) message += (message.empty() ? "" : " / ") + line;
    return message;
}

std::string format_residuals(const std::map<std::string, double>& residuals) {
    static const char* const kOrder[] = {"Ux", "Uy", "Uz", "p", "k", "omega"};
    std::string text;
    auto add = [&](const std::string& name, double value) {
        text += (text.empty() ? "" : " ") + name + " " + numbers::scientific(value, 2);
    };
    for (const char* name : kOrder) {
        if (auto found = residuals.find(name); found != residuals.end()) add(name, found->second);
    }
    for (const auto& [name, value] : residuals) {
        if (std::find_if(std::begin(kOrder), std::end(kOrder),
                         [&](const char* known) { return name == known; }) == std::end(kOrder))
            add(name, value);
    }
    return text;
}

std::vector<Coefficients> parse_coefficients(std::string_view text) {
    std::vector<Coefficients> rows;
    int cd_column = -1;
    int cl_column = -1;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text::strip(text.substr(start, end - start));
        start = end + 1;
        if (line.empty()) continue;
        std::vector<std::string_view> columns;
        std::size_t at = line[0] == '#' ? 1 : 0;
        while (at < line.size()) {
            const auto first = line.find_first_not_of(" \t", at);
            if (first == std::string_view::npos) break;
            auto last = line.find_first_of(" \t", first);
            if (last == std::string_view::npos) last = line.size();
            columns.push_back(line.substr(first, last - first));
            at = last;
        }
        if (line[0] == '#') {
            if (!columns.empty() && columns[0] == "Time") {
                cd_column = cl_column = -1;
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    if (columns[i] == "Cd") cd_column = static_cast<int>(i);
                    if (columns[i] == "Cl") cl_column = static_cast<int>(i);
                }
            }
            continue;
        }
        if (cd_column < 0 || cl_column < 0) continue;
        const auto needed = static_cast<std::size_t>(std::max(cd_column, cl_column));
        if (columns.size() <= needed) continue;
        const auto time = number_at(columns[0]);
        const auto cd = number_at(columns[static_cast<std::size_t>(cd_column)]);
        const auto cl = number_at(columns[static_cast<std::size_t>(cl_column)]);
        if (!time || !cd || !cl) continue;
        rows.push_back({static_cast<int>(std::lround(*time)), *cd, *cl});
    }
    return rows;
}

CoefficientSummary summarise(const std::vector<Coefficients>& rows) {
    CoefficientSummary summary;
    if (rows.empty()) return summary;
    const std::size_t window = std::min(rows.size(), std::max<std::size_t>(20, rows.size() / 5));
    double low = rows.back().cd;
    double high = rows.back().cd;
    summary.finite = true;
    for (std::size_t i = rows.size() - window; i < rows.size(); ++i) {
        summary.cd += rows[i].cd;
        summary.cl += rows[i].cl;
        low = std::min(low, rows[i].cd);
        high = std::max(high, rows[i].cd);
        summary.finite = summary.finite && std::isfinite(rows[i].cd) && std::isfinite(rows[i].cl);
    }
    summary.window = static_cast<int>(window);
    summary.cd /= static_cast<double>(window);
    summary.cl /= static_cast<double>(window);
    summary.cd_spread = summary.cd != 0 ? (high - low) / std::fabs(summary.cd) : 0;
    return summary;
}

std::optional<long> mesh_cells(std::string_view owner_header) {
    const auto at = owner_header.find("nCells:");
    if (at == std::string_view::npos) return std::nullopt;
    const auto value = number_at(owner_header.substr(at + 7, 20));
    if (!value || *value < 0) return std::nullopt;
    return static_cast<long>(*value);
}

}  // namespace orvane::foam
