// What the agent's tool tables share: function-calling schemas and the gate
// report the model reads.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace orvane::agent_report {

namespace nb = nanobind;

// {"type": "function", "function": {"name", "description", "parameters":
// {"type": "object", "properties", ["required"]}}}; no "required" key when
// `required` is None.
nb::dict function_schema(const char* name, nb::handle description, nb::handle properties,
                         nb::handle required);

// One parameter of a function schema: {"type", "enum", "description"}, the
// enum only when `choices` is given and not empty.
nb::dict parameter(const char* type, nb::handle description, nb::handle choices = nb::handle());

// One tool-table entry: {"fn": fn, "schema": schema}.
nb::dict tool_entry(nb::handle fn, nb::handle schema);

// The report of a gate list: `heading`, one line per PASS, FAIL, NO_TOL and
// NOT RUN gate, and the overall verdict, joined with line feeds.
std::string gate_report(const std::string& heading, nb::handle gates);

}  // namespace orvane::agent_report
