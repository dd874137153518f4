#include "case_input.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "native/text.h"

namespace orvane::foam {

namespace {

// A plain or quoted YAML scalar as its text; nothing for null.
std::optional<std::string> scalar(std::string_view raw) {
    std::string_view value = text::strip(raw);
    if (value.empty() || value == "null" || value == "~") return std::nullopt;
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
        std::string text;
        const std::string_view inner = value.substr(1, value.size() - 2);
        for (std::size_t i = 0; i < inner.size(); ++i) {
            text += inner[i];
            if (inner[i] == '\'' && i + 1 < inner.size() && inner[i + 1] == '\'') ++i;
        }
        return text;
    }
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return std::string(value.substr(1, value.size() - 2));
    return std::string(value);
}

std::string shown(std::string_view line) {
    return std::string(line.substr(0, 80)) + (line.size() > 80 ? "..." : "");
}

}  // namespace

CaseInput CaseInput::parse(std::string_view yaml) {
    CaseInput parsed;
    std::string section;
    std::size_t start = 0;
    while (start < yaml.size()) {
        std::size_t end = yaml.find('\n', start);
        if (end == std::string_view::npos) end = yaml.size();
        const std::string_view line = yaml.substr(start, end - start);
        start = end + 1;
        const std::string_view content = text::strip(line);
        if (content.empty() || content.front() == '#' || content == "---") continue;
        const std::size_t indent = line.find_first_not_of(' ');
        const std::size_t colon = content.find(':');
        if (colon == std::string_view::npos || colon == 0 ||
            (colon + 1 < content.size() && content[colon + 1] != ' ') || content.front() == '-' ||
            content.front() == '{' || content.front() == '[')
            throw std::invalid_argument("the case is not the platform's YAML at '" +
                                        shown(content) + "'");
        const std::string key(text::strip(content.substr(0, colon)));
        const std::string_view rest = text::strip(content.substr(colon + 1));
        if (indent == 0) {
            section.clear();
            if (rest.empty()) {
                section = key;  // a mapping follows
            } else if (auto value = scalar(rest)) {
                parsed.values_[key] = *value;
            }
        } else {
            if (section.empty() || rest.empty())
                throw std::invalid_argument("the case nests deeper than its sections at '" +
                                            shown(content) + "'");
            if (auto value = scalar(rest)) parsed.values_[section + "." + key] = *value;
        }
    }
    return parsed;
}

std::optional<std::string> CaseInput::text(const std::string& name) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::optional<double> CaseInput::number(const std::string& name) const {
    const auto value = text(name);
    if (!value) return std::nullopt;
    char* end = nullptr;
    const double parsed = std::strtod(value->c_str(), &end);
    if (value->empty() || end != value->c_str() + value->size() || !std::isfinite(parsed))
        throw std::invalid_argument(name + " must be a finite number, not '" + *value + "'");
    return parsed;
}

double CaseInput::number(const std::string& name, double fallback) const {
    return number(name).value_or(fallback);
}

int CaseInput::whole(const std::string& name, int fallback, int low, int high) const {
    const auto value = number(name);
    if (!value) return fallback;
    if (*value != std::floor(*value) || *value < low || *value > high)
        throw std::invalid_argument(name + " must be a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not " + *text(name));
    return static_cast<int>(*value);
}

bool CaseInput::flag(const std::string& name, bool fallback) const {
    const auto value = text(name);
    if (!value) return fallback;
    if (*value == "true" || *value == "True" || *value == "yes") return true;
    if (*value == "false" || *value == "False" || *value == "no") return false;
    throw std::invalid_argument(name + " must be true or false, not '" + *value + "'");
}

RunSettings run_settings(const CaseInput& input) {
    RunSettings settings;
    AhmedBody& body = settings.body;
    const std::pair<const char*, double*> design[] = {
        {"length", &body.length},
        {"width", &body.width},
        {"height", &body.height},
        {"front_radius", &body.front_radius},
        {"slant_angle_deg", &body.slant_angle_deg},
        {"slant_length", &body.slant_length},
        {"ground_clearance", &body.ground_clearance},
        {"flow_speed", &settings.flow.speed},
    };
    for (const auto& [name, value] : design) {
        const auto given = input.number(std::string("design.") + name);
        if (!given)
            throw std::invalid_argument(std::string("the case has no design parameter '") + name +
                                        "' (orvane:product:" + name + ")");
        *value = *given;
    }
    body.validate();
    if (!(settings.flow.speed > 0))
        throw std::invalid_argument("flow_speed must be positive, not " +
                                    *input.text("design.flow_speed"));
    const std::string level = input.text("inputs.mesh_level").value_or("coarse");
    const auto found = mesh_level(level);
    if (!found) {
        std::string known;
        for (const std::string& name : mesh_level_names())
            known += (known.empty() ? "" : ", ") + name;
        throw std::invalid_argument("mesh_level must be one of " + known + ", not '" + level + "'");
    }
    settings.level = *found;
    settings.flow.iterations =
        input.whole("inputs.iterations", settings.flow.iterations, 1, 100000);
    // 0: every core this process may run on.
    settings.cores = input.whole("inputs.cores", 0, 0, 256);
    if (settings.cores == 0) settings.cores = std::max(1u, std::thread::hardware_concurrency());
    settings.keep_work_dir = input.flag("inputs.keep_work_dir", false);
    settings.flow.relaxation = input.number("inputs.relaxation", 0.9);
    if (!(settings.flow.relaxation > 0 && settings.flow.relaxation < 2))
        throw std::invalid_argument("relaxation must be above 0 and below 2, not " +
                                    *input.text("inputs.relaxation"));
    settings.solver = input.text("solver").value_or(settings.solver);
    return settings;
}

}  // namespace orvane::foam
