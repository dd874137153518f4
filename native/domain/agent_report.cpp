#include "native/domain/agent_report.h"

#include <string_view>

#include "native/py.h"

namespace orvane::agent_report {

nb::dict function_schema(const char* name, nb::handle description, nb::handle properties,
                         nb::handle required) {
    nb::dict parameters;
    parameters["type"] = "object";
    parameters["properties"] = properties;
    if (!required.is_none()) parameters["required"] = required;
    nb::dict function;
    function["name"] = name;
    function["description"] = description;
    function["parameters"] = parameters;
    nb::dict schema;
    schema["type"] = "function";
    schema["function"] = function;
    return schema;
}

nb::dict parameter(const char* type, nb::handle description, nb::handle choices) {
    nb::dict schema;
    schema["type"] = type;
    if (choices.is_valid() && py::truthy(choices)) schema["enum"] = choices;
    schema["description"] = description;
    return schema;
}

nb::dict tool_entry(nb::handle fn, nb::handle schema) {
    nb::dict entry;
    entry["fn"] = fn;
    entry["schema"] = schema;
    return entry;
}

std::string gate_report(const std::string& heading, nb::handle gates) {
    std::string report = heading;
    bool failed = false;
    for (nb::handle gate : gates) {
        const std::string status = py::text(gate.attr("get")("status", "UNKNOWN"));
        const std::string kpi = py::text(gate.attr("get")("kpi", "?"));
        nb::object message = gate.attr("get")("message", "");
        if (status == "PASS") {
            report.append("\n  PASS: ").append(kpi);
        } else if (status == "FAIL" || status == "NO_TOL") {
            report.append("\n  ").append(status).append(": ").append(kpi);
            if (py::truthy(message)) report.append(" — ").append(py::text(message));
            failed = true;
        } else if (status == "NOT RUN") {
            report.append("\n  SKIP: ").append(kpi).append(" (not run)");
        }
    }
    // "\nOverall: ..." is one more line of its own, after an empty one.
    report.append("\n\nOverall: ").append(failed ? "GATES FAILED" : "ALL PASS");
    return report;
}

}  // namespace orvane::agent_report
