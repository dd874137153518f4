#include "native/domain/targets.h"

namespace orvane::targets {

bool has_range_suffix(std::string_view name) {
    for (std::string_view suffix : kRangeSuffixes) {
        if (name.ends_with(suffix)) return true;
    }
    return false;
}

bool is_range_target_of(std::string_view name, std::string_view prefix, std::string_view kpi) {
    if (!name.starts_with(prefix)) return false;
    name.remove_prefix(prefix.size());
    if (!name.starts_with(kpi)) return false;
    name.remove_prefix(kpi.size());
    return name.starts_with('_') && name != "_tol";
}

}  // namespace orvane::targets
