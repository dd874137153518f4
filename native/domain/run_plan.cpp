#include "native/domain/run_plan.h"

#include <string_view>
#include <utility>

#include "native/fs.h"
#include "native/py.h"

namespace orvane::run_plan {

namespace {

struct EndingName {
    process::Ending ending;
    const char* name;
};

constexpr EndingName kEndings[] = {
    {process::Ending::finished, "finished"},
    {process::Ending::missing, "missing"},
    {process::Ending::timed_out, "timed_out"},
    {process::Ending::too_much_output, "too_much_output"},
    {process::Ending::too_much_error_output, "too_much_error_output"},
    {process::Ending::cancelled, "cancelled"},
};

std::optional<std::string> prepared_path(nb::handle plan) {
    nb::object folder = py::dict_get(plan, "prepared_dir");
    if (!folder.is_valid() || !nb::isinstance<nb::str>(folder)) return std::nullopt;
    // Only a folder the planning made: a plan is data, and data must not
    // name a folder to delete.
    const std::string path = py::fs_path(folder);
    if (!path.substr(path.rfind('/') + 1).starts_with(kPreparedPrefix)) return std::nullopt;
    return path;
}

}  // namespace

bool is_plan(nb::handle plan) {
    return nb::isinstance<nb::dict>(plan) && py::dict_get(plan, "argv").is_valid();
}

Command command_of(nb::handle plan) {
    Command command;
    for (nb::handle part : py::required_item(plan, "argv", "a run plan"))
        command.argv.emplace_back(process::argument(part));
    command.timeout = py::to_double(py::required_item(plan, "timeout", "a run plan"));
    command.max_output_bytes = nb::cast<std::size_t>(
        py::to_int(py::required_item(plan, "max_output_bytes", "a run plan")));
    command.input = py::utf8(py::required_item(plan, "case_yaml", "a run plan"));
    nb::object environment = py::required_item(plan, "environment", "a run plan");
    py::require_dict(environment, "a run plan", "environment");
    for (auto [name, value] : nb::borrow<nb::dict>(environment))
        command.environment.emplace(process::argument(name), process::argument(value));
    return command;
}

process::Options options_for(const Command& command) {
    process::Options options;
    options.input = command.input;
    options.max_output_bytes = command.max_output_bytes;
    options.environment = command.environment;
    return options;
}

void discard_prepared(nb::handle plan) {
    if (auto path = prepared_path(plan)) fs::discard_tree(*path);
}

PreparedFolder::PreparedFolder(nb::handle plan) : path_(prepared_path(plan)) {}

PreparedFolder::~PreparedFolder() {
    if (path_) fs::discard_tree(*path_);
}

nb::dict outcome_of(const process::Completed& completed) {
    nb::dict outcome;
    for (const EndingName& known : kEndings) {
        if (known.ending == completed.ending) outcome["ending"] = known.name;
    }
    outcome["exit_code"] = completed.exit_code;
    outcome["out"] = nb::bytes(completed.out.data(), completed.out.size());
    outcome["err"] = nb::bytes(completed.err.data(), completed.err.size());
    return outcome;
}

process::Completed completed_from(nb::handle outcome) {
    process::Completed completed;
    nb::object ending = py::required_item(outcome, "ending", "a run outcome");
    const std::string_view ending_name = py::utf8(ending);
    bool known_ending = false;
    for (const EndingName& known : kEndings) {
        if (ending_name == known.name) {
            completed.ending = known.ending;
            known_ending = true;
        }
    }
    if (!known_ending)
        py::raise(py::exc::value_error(),
                  "unknown ending " + py::repr(ending) + " of a run outcome");
    completed.exit_code =
        nb::cast<int>(py::to_int(py::required_item(outcome, "exit_code", "a run outcome")));
    for (auto [key, sink] : {std::pair{"out", &completed.out}, std::pair{"err", &completed.err}}) {
        nb::object data = py::required_item(outcome, key, "a run outcome");
        if (!nb::isinstance<nb::bytes>(data))
            py::raise_argument_type("completed_from", key, "bytes", data);
        nb::bytes bytes = nb::borrow<nb::bytes>(data);
        sink->assign(bytes.c_str(), bytes.size());
    }
    return completed;
}

}  // namespace orvane::run_plan
