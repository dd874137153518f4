// Stands in for the surrounding package's agent context: what the agent's
// tools share (the product they work on and the last results). The real one
// belongs to the package's agent.
#include <nanobind/nanobind.h>

#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {
py::CachedModule dataclasses_module{"dataclasses"};
py::CachedModule typing_module{"typing"};
}  // namespace

NB_MODULE(agent, m) {
    m.doc() = "The agent context shared by the tool tables.";
    nb::object field = dataclasses_module.attr("field");
    nb::object any = typing_module.attr("Any");
    nb::list fields;
    fields.append(nb::make_tuple("platform", any));
    fields.append(nb::make_tuple("vname", py::str_type(), field("default"_a = "")));
    fields.append(nb::make_tuple("last_aero_result", any, field("default"_a = nb::none())));
    fields.append(nb::make_tuple("last_dyn_result", any, field("default"_a = nb::none())));
    py::make_dataclass(m, "AgentContext",
                       "The product object the agent works on, the vehicle's display name, and "
                       "the last aero and dynamics results.",
                       fields);
}
