// The agent's conversation: the user's turns, the model's replies, and the
// tool calls between them, surviving whatever the model asks for; and its
// wiring: the client, the product and the tool tables.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <string>
#include <utility>

#include "native/domain/agent_report.h"
#include "native/domain/services.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::CachedModule json_module{"json"};

nb::dict message(const char* role, nb::handle content) {
    nb::dict made;
    made["role"] = role;
    made["content"] = content;
    return made;
}

// The text a tool answers with. A call the model got wrong (an unknown tool,
// arguments of the wrong names or types) is answered with what was wrong, so
// the model can try again; Ctrl-C still ends the session.
nb::object call_tool(nb::handle tools, nb::handle call) {
    nb::object name = call.attr("name");
    nb::object arguments = call.attr("arguments");
    nb::object entry = nb::isinstance<nb::dict>(tools) ? py::dict_get(tools, name) : nb::object();
    if (!entry.is_valid()) {
        return py::concat(py::concat("Error: there is no tool ", nb::repr(name)),
                          py::concat(". Tools: ", nb::str(", ").attr("join")(
                                                      nb::list(nb::borrow<nb::dict>(tools)))));
    }
    if (!nb::isinstance<nb::dict>(arguments)) {
        return py::concat("Error: the arguments of a tool call must be an object, not ",
                          nb::str(arguments.type().attr("__name__")));
    }
    try {
        nb::object output = nb::object(entry["fn"])(**nb::borrow<nb::dict>(arguments));
        return nb::str(output);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        const char* what =
            error.matches(py::exc::type_error()) ? "refused its arguments" : "failed";
        return py::make_str("Error: tool " + py::text(name) + " " + what + ": " +
                            py::text(error.value()));
    }
}

// The arguments of a call as the user sees them.
nb::object shown_call(nb::handle call) {
    nb::object arguments = json_module.attr("dumps")(
        call.attr("arguments"), "default"_a = py::str_type(), "ensure_ascii"_a = false);
    return py::concat(py::concat(call.attr("name"), nb::str("(")),
                      py::concat(arguments, nb::str(")")));
}

bool ends_session(const nb::python_error& error) {
    return error.matches(py::exc::eof_error()) || error.matches(py::exc::keyboard_interrupt());
}

// How far a session may go, from the workspace's settings: a model that
// always asks for another tool must neither run the solvers without end nor
// send ever larger requests.
struct Bounds {
    long long per_turn;
    long long per_session;
    long long request_chars;
};

long long bound(const char* key) {
    return nb::cast<long long>(services::workspace::count_setting(key));
}

Bounds session_bounds() {
    return {bound("agent_max_tool_calls_per_turn"), bound("agent_max_tool_calls"),
            bound("agent_max_request_chars")};
}

// Characters of `value` as JSON, as a request carries it.
std::size_t json_chars(nb::handle value) {
    return nb::len(
        json_module.attr("dumps")(value, "default"_a = py::str_type(), "ensure_ascii"_a = false));
}

// Why the tools of a turn stopped.
enum class Stop { none, turn, session, repeat };

// A session's conversation and how its tool calls stand against its bounds.
class Session {
  public:
    Session(nb::handle client, nb::handle tools, nb::handle show, nb::list messages)
        : client_(client),
          tools_(tools),
          show_(show),
          messages_(std::move(messages)),
          bounds_(session_bounds()) {
        for (auto [name, entry] : nb::borrow<nb::dict>(tools)) schemas_.append(entry["schema"]);
        schema_chars_ = json_chars(schemas_);
        // Half the request is left to the conversation and the tools' output.
        const std::size_t fixed = json_chars(messages_) + schema_chars_;
        if (fixed > static_cast<std::size_t>(bounds_.request_chars / 2)) {
            py::raise(py::exc::value_error(),
                      "agent_max_request_chars is " + std::to_string(bounds_.request_chars) +
                          ", but the system prompt and the tool descriptions alone take " +
                          std::to_string(fixed) + " characters: it must be at least " +
                          std::to_string(2 * fixed));
        }
    }

    // One user turn: the model's replies and the tool calls they ask for,
    // until a reply asks for none or the tools stop. Told why they stopped,
    // the model answers without them.
    void turn(nb::handle prompt) {
        question_ = nb::len(messages_);
        messages_.append(message("user", prompt));
        turn_calls_ = 0;
        previous_ = {};
        Stop stop = session_calls_ >= bounds_.per_session ? Stop::session : Stop::none;
        nb::object reply = chat(stop);
        while (py::truthy(reply.attr("tool_calls")) && stop == Stop::none) {
            ask_for(reply);
            for (nb::handle call : reply.attr("tool_calls")) {
                show_("tool", shown_call(call));
                if (stop == Stop::none) stop = check(call);
                nb::object output =
                    stop == Stop::none ? cut(call_tool(tools_, call)) : refusal(stop, call);
                show_("tool output", output);
                messages_.append(message("tool", output));
            }
            reply = chat(stop);
        }
        messages_.append(message("assistant", reply.attr("content")));
        if (stop == Stop::none || py::truthy(reply.attr("content")))
            show_("assistant", reply.attr("content"));
        if (stop != Stop::none) show_("notice", py::make_str(notice(stop)));
    }

  private:
    // The tools are offered until they stop.
    nb::object chat(Stop stop) {
        const bool offered = stop == Stop::none;
        return client_.attr("chat")(request(offered ? schema_chars_ : 0),
                                    "tools"_a = offered ? schemas_ : nb::list());
    }

    // The reply's tool calls, as the chat API takes them back.
    void ask_for(nb::handle reply) {
        nb::list calls;
        for (nb::handle call : reply.attr("tool_calls")) {
            nb::dict function;
            function["name"] = call.attr("name");
            function["arguments"] = call.attr("arguments");
            nb::dict wrapped;
            wrapped["function"] = function;
            calls.append(wrapped);
        }
        nb::dict asked = message("assistant", reply.attr("content"));
        asked["tool_calls"] = calls;
        messages_.append(asked);
    }

    // Whether the call may run, counted if it does. A call the same as the one
    // just before (tool and arguments) would only give the answer the model
    // has: a model that asks for it again is stuck.
    Stop check(nb::handle call) {
        if (session_calls_ >= bounds_.per_session) return Stop::session;
        if (turn_calls_ >= bounds_.per_turn) return Stop::turn;
        nb::object name = call.attr("name");
        nb::object arguments = call.attr("arguments");
        if (previous_.first.is_valid() && name.equal(previous_.first) &&
            arguments.equal(previous_.second))
            return Stop::repeat;
        previous_ = {name, arguments};
        ++turn_calls_;
        ++session_calls_;
        return Stop::none;
    }

    // The bound's number and setting.
    std::pair<std::string, const char*> described(Stop stop) const {
        if (stop == Stop::session)
            return {std::to_string(bounds_.per_session), "agent_max_tool_calls"};
        return {std::to_string(bounds_.per_turn), "agent_max_tool_calls_per_turn"};
    }

    nb::object refusal(Stop stop, nb::handle call) const {
        constexpr const char* kGoOn = " Answer the user with what the tools have told you.";
        if (stop == Stop::repeat) {
            return py::make_str("Not run again: " + py::text(call.attr("name")) +
                                " was just called with the same arguments and its answer "
                                "stands." +
                                kGoOn);
        }
        const auto [count, setting] = described(stop);
        return py::make_str("Not run: the limit of " + count + " tool calls per " +
                            (stop == Stop::session ? "session" : "turn") + " (" + setting +
                            ") is reached." + kGoOn);
    }

    std::string notice(Stop stop) const {
        if (stop == Stop::repeat) {
            return "Stopped: the model asked for " + py::text(previous_.first) +
                   " again with the same arguments; it ran once. Ask again to go on.";
        }
        const auto [count, setting] = described(stop);
        if (stop == Stop::session)
            return "This session has made its " + count + " tool calls (" + setting +
                   "): no more tools run in it.";
        return "Stopped after " + count + " tool calls this turn (" + setting +
               "); ask again to go on.";
    }

    // One output takes at most a quarter of a request.
    nb::object cut(nb::handle output) const {
        const std::size_t most = static_cast<std::size_t>(bounds_.request_chars / 4);
        const std::size_t length = nb::len(output);
        if (length <= most) return nb::borrow(output);
        nb::object head = output[nb::slice(nb::int_(0), nb::int_(most), nb::none())];
        return py::concat(
            head, py::make_str("\n[" + std::to_string(length - most) + " more characters cut]"));
    }

    bool is_tool(std::size_t index) const {
        return nb::object(messages_[index]["role"]).equal(nb::str("tool"));
    }

    bool asks_for_tools(std::size_t index) const {
        return nb::borrow<nb::dict>(messages_[index]).contains("tool_calls");
    }

    // The messages sent: the system prompt, then from first_sent_ on, with
    // the turn's question if that is before it.
    nb::list window() const {
        if (first_sent_ == 1) return messages_;
        nb::list sent;
        sent.append(messages_[0]);
        if (first_sent_ > question_) sent.append(messages_[question_]);
        for (std::size_t i = first_sent_; i < nb::len(messages_); ++i) sent.append(messages_[i]);
        return sent;
    }

    // The conversation as the next request sends it, within its bound. The
    // oldest tool outputs give way first, each to a note of what it held; past
    // that the oldest exchanges are left out, oldest first. The system prompt,
    // the turn's question and the latest exchange, whose output the model has
    // yet to read, are always sent.
    nb::list request(std::size_t tool_chars) {
        const std::size_t most = static_cast<std::size_t>(bounds_.request_chars);
        const std::size_t count = nb::len(messages_);
        std::size_t size = json_chars(window()) + tool_chars;
        // The latest exchange: the turn's last call for tools and its outputs.
        std::size_t latest = count;
        while (latest > question_ + 1 && !asks_for_tools(latest - 1)) --latest;
        latest = latest > question_ + 1 ? latest - 1 : count;
        next_to_trim_ = std::max(next_to_trim_, first_sent_);
        for (; size > most && next_to_trim_ < latest; ++next_to_trim_) {
            if (!is_tool(next_to_trim_)) continue;
            nb::object sent = messages_[next_to_trim_];
            const std::size_t length = nb::len(nb::object(sent["content"]));
            nb::str note = py::make_str("[trimmed: " + std::to_string(length) +
                                        " characters of an earlier tool output]");
            if (length <= nb::len(note)) continue;
            size -= length - nb::len(note);
            sent["content"] = note;
        }
        // In whole exchanges: a call for tools goes with its outputs. Each
        // message takes its separator in the list (", ") with it.
        while (size > most && first_sent_ < latest) {
            std::size_t end = first_sent_ + 1;
            if (asks_for_tools(first_sent_)) {
                while (end < count && is_tool(end)) ++end;
            }
            for (std::size_t i = first_sent_; i < end; ++i) {
                if (i != question_) size -= json_chars(messages_[i]) + 2;
            }
            first_sent_ = end;
        }
        return window();
    }

    nb::handle client_;
    nb::handle tools_;
    nb::handle show_;
    nb::list messages_;
    nb::list schemas_;
    std::size_t schema_chars_ = 0;
    Bounds bounds_;
    long long turn_calls_ = 0;
    long long session_calls_ = 0;
    std::pair<nb::object, nb::object> previous_;  // the last call run this turn
    std::size_t question_ = 0;                    // the index of the turn's user message
    std::size_t next_to_trim_ = 0;                // the tool outputs before it are trimmed already
    std::size_t first_sent_ = 1;                  // the messages from the second to it are left out
};

nb::object converse(nb::handle client, nb::handle tools, nb::handle system_prompt, nb::handle ask,
                    nb::handle show) {
    py::require_dict(tools, "converse", "tools");
    py::require_str(system_prompt, "converse", "system_prompt");
    nb::list messages;
    messages.append(message("system", system_prompt));
    Session session(client, tools, show, messages);
    while (true) {
        nb::object prompt;
        try {
            prompt = ask();
        } catch (nb::python_error& error) {
            if (!ends_session(error)) throw;
            break;
        }
        if (!nb::isinstance<nb::str>(prompt) || !py::truthy(prompt.attr("strip")())) break;
        try {
            session.turn(prompt);
        } catch (nb::python_error& error) {
            if (!error.matches(py::exc::keyboard_interrupt())) throw;
            break;  // Ctrl-C while the model or a tool works ends the session
        }
    }
    return messages;
}

// The session's last result of each domain, as the save flow takes them.
nb::dict session_results(nb::handle context) {
    nb::dict results;
    for (auto [domain, field] :
         {std::pair{"aero", "last_aero_result"}, std::pair{"dynamics", "last_dyn_result"}}) {
        nb::object result = nb::getattr(context, field, nb::none());
        if (nb::isinstance<nb::dict>(result)) results[domain] = result;
    }
    return results;
}

// Saves the session's results through the save flow, the baseline tagged when
// every gate passes. Returns False when the session produced none.
bool save_session(nb::handle context) {
    nb::dict results = session_results(context);
    if (nb::len(results) == 0) return false;
    nb::object product = context.attr("platform");
    nb::object evaluation = product.attr("evaluate_gates")("results"_a = results);
    services::save_flow::prompt_save_usd(product, results,
                                         "all_gates_passed"_a = evaluation["all_passed"]);
    return true;
}

// What to change when the LLM is unavailable, in the settings' own names.
nb::dict llm_unavailable(nb::handle error) {
    if (!nb::isinstance(error, py::exc::base_exception()))
        py::raise_argument_type("llm_unavailable", "error", "an exception", error);
    const std::string message = py::text(error);
    nb::dict answer;
    answer["error"] = py::make_str(message);
    if (message.starts_with("Model ")) {
        const std::string model = py::text(services::llm::config().attr("model"));
        answer["hint"] = py::make_str("Pull the model with 'ollama pull " + model +
                                      "', or name another with ORVANE_LLM_MODEL (llm_model in "
                                      "orvane.yaml).");
    } else if (message.starts_with("Ollama error ")) {
        // The server answered, with a failure of its own.
        answer["hint"] =
            "The Ollama server failed the request; its log tells why. Ask again "
            "once it answers, or point ORVANE_OLLAMA_URL (ollama_url in orvane.yaml) "
            "at another server.";
    } else {
        answer["hint"] =
            "Point ORVANE_OLLAMA_URL (ollama_url in orvane.yaml) at a running Ollama server.";
    }
    return answer;
}

// The registered aero solvers as the aero tools describe them to the model.
nb::list aero_solvers() {
    nb::list described;
    for (nb::handle row : services::solver_registry::list_solvers()) {
        if (!nb::object(row["domain"]).equal(nb::str("aero"))) continue;
        nb::dict solver;
        for (const char* field : {"alias", "name", "kind", "gpu"}) solver[field] = row[field];
        described.append(solver);
    }
    return described;
}

// The product's gates as the model reads them: every domain's latest saved
// result, each KPI whose result no longer describes the design marked stale
// with what changed.
std::string product_gates_text(nb::handle path) {
    nb::object gates = services::twin_state::product_gates(path);
    nb::object stale = gates["stale"];
    std::string text = "Gates of the product's saved results: " + py::text(gates["summary"]);
    for (nb::handle gate : gates["gates"]) {
        nb::object kpi = gate["kpi"];
        nb::object value = gate["value"];
        text += "\n- " + py::text(kpi) + ": " +
                (value.is_none() ? std::string("no result") : py::format(value, ".4f")) + " " +
                py::text(gate["status"]);
        nb::object reason = py::dict_get(stale, kpi);
        if (reason.is_valid()) text += " (stale: " + py::text(reason) + ")";
    }
    return text;
}

constexpr const char* kProductGatesDescription =
    "The product's gates over the latest saved result of every domain; a KPI whose result no "
    "longer describes the product's design is marked stale, with what changed. No parameters.";

nb::dict open_agent(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "open_agent", "usda_path");
    nb::object client = services::llm::client(services::llm::config());
    client.attr("health_check")();
    nb::object product = services::product::product_class(path);
    nb::object name = product.attr("name");
    nb::object context = services::agent::context("platform"_a = product, "vname"_a = name);
    nb::dict tools = py::dict_copy(services::agent::aero_tools(context, aero_solvers()));
    tools.update(services::agent::dynamics_tools(context));
    tools["get_product_gates"] = agent_report::tool_entry(
        nb::cpp_function([path] { return py::make_str(product_gates_text(path)); },
                         nb::name("get_product_gates")),
        agent_report::function_schema("get_product_gates", nb::str(kProductGatesDescription),
                                      nb::dict(), nb::none()));
    nb::dict agent;
    agent["client"] = client;
    agent["product"] = product;
    agent["context"] = context;
    agent["tools"] = tools;
    agent["system_prompt"] = py::make_str(
        "You assist the engineers of the product " + py::text(name) +
        ". Use the tools to run simulations and assess them against the design targets; answer "
        "briefly.");
    return agent;
}

}  // namespace

NB_MODULE(session, m) {
    m.doc() = "The agent's conversation loop over a tool table, and its wiring.";
    m.def("converse", &converse, nb::arg("client").none(), nb::arg("tools").none(),
          nb::arg("system_prompt").none(), nb::arg("ask").none(), nb::arg("show").none(),
          nb::sig("def converse(client: typing.Any, tools: dict[str, dict[str, typing.Any]], "
                  "system_prompt: str, ask: typing.Callable[[], str], show: "
                  "typing.Callable[[str, str], object]) -> list[dict[str, typing.Any]]"),
          R"(Talk with the model until the user ends the session (an empty line, end of input
          or Ctrl-C): each user turn from `ask()`, each model reply and tool call and output
          passed to `show(kind, text)` (kind 'assistant', 'tool', 'tool output' or 'notice').
          A tool call the model gets wrong is answered with an error text and the
          conversation goes on. A turn's tools stop, the model answers without them and a
          'notice' tells the user why, at the workspace's agent_max_tool_calls_per_turn, at
          agent_max_tool_calls for the session, or when the model asks for the call it has just
          made (not run again). Old tool output is trimmed, oldest first, to keep each request
          (messages and tool descriptions as JSON) within agent_max_request_chars. ValueError
          when a setting is out of range; LLMUnavailableError ends the session.
          Returns the messages.)");
    m.def("session_results", &session_results, nb::arg("context").none(),
          nb::sig("def session_results(context: orvane_platform.core.agent.AgentContext) -> "
                  "dict[str, dict[str, typing.Any]]"),
          "The last result of each domain the session ran: {domain: result}.");
    m.def("save_session", &save_session, nb::arg("context").none(),
          nb::sig("def save_session(context: orvane_platform.core.agent.AgentContext) -> bool"),
          R"(Save the session's results into its product through the save flow (tagged as the
          baseline when every gate passes); False when there is nothing to save.)");
    m.def("llm_unavailable", &llm_unavailable, nb::arg("error").none(),
          nb::sig("def llm_unavailable(error: BaseException) -> dict[str, str]"),
          R"(An unavailable LLM as the user is told of it: `error`, the error's message, and
          `hint`, what to change (pull the model, look into the server's failure, or point
          ORVANE_OLLAMA_URL at a server).)");
    m.def("open_agent", &open_agent, nb::arg("usda_path").none(),
          nb::sig("def open_agent(usda_path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          R"(Everything an agent session on the product needs: the Ollama `client` of the
          configured model, checked first (LLMUnavailableError when the server or the model is
          missing), the `product`, the agent `context`, the aero and dynamics `tools` over it
          with `get_product_gates` (the product's saved results against its targets, stale
          ones marked) and the `system_prompt`. Pass them to converse.)");
}
