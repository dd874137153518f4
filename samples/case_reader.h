// The sample solvers' reading of a case: every "name: value" line of the
// YAML case text on standard input, the last one of a name winning (the
// case lists design parameters first, then the solver inputs over them).
// Sample models only: they stand in for containerised solvers.
#pragma once

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

namespace orvane::samples {

class Case {
  public:
    static Case read(std::istream& in) {
        Case parsed;
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t colon = line.find(": ");
            if (colon == std::string::npos) continue;
            std::size_t start = line.find_first_not_of(" -");
            if (start == std::string::npos || start >= colon) continue;
            std::string value = line.substr(colon + 2);
            if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"'))
                value = value.substr(1, value.size() - 2);
            parsed.values_[line.substr(start, colon - start)] = value;
        }
        return parsed;
    }

    double number(const std::string& name, double fallback) const {
        auto found = values_.find(name);
        if (found == values_.end()) return fallback;
        char* end = nullptr;
        const double value = std::strtod(found->second.c_str(), &end);
        return end == found->second.c_str() ? fallback : value;
    }

    std::string text(const std::string& name, const std::string& fallback) const {
        auto found = values_.find(name);
        return found == values_.end() ? fallback : found->second;
    }

  private:
    std::map<std::string, std::string> values_;
};

}  // namespace orvane::samples
