// The platform's one connection to a large language model: a small
// synchronous client for an Ollama server, local or remote.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;
py::CachedModule ollama_module{"ollama"};
py::CachedModule httpx_module{"httpx"};
py::CachedModule os_module{"os"};
py::CachedModule time_module{"time"};
py::CachedModule urllib_request{"urllib.request"};
py::CachedModule urllib_error{"urllib.error"};

constexpr const char* kDownloadPage = "https://ollama.com/download";
constexpr const char* kKeepAliveDefault = "0";
constexpr int kClientTimeoutSeconds = 600;
constexpr int kProbeTimeoutSeconds = 5;
constexpr const char* kReachabilityPath = "/api/tags";
constexpr const char* kIndent = "\n   ";

nb::object llm_error(const std::string& message) {
    return globals.get("LLMUnavailableError")(py::make_str(message));
}

nb::object unavailable_from(nb::handle error, nb::handle host) {
    if (!nb::isinstance(error, py::exc::base_exception()))
        py::raise_argument_type("_unavailable_from", "e", "Exception", error);
    py::require_exact_type(host, py::str_type(), py::NoneAllowed::no, "_unavailable_from", "host",
                           "str");
    const std::string where = py::text(host);
    // A time-out is a transport error too: it is tested first.
    if (nb::isinstance(error, httpx_module.attr("TimeoutException"))) {
        return llm_error(
            "Ollama request timed out at " + where + kIndent +
            "The model may still be loading, or the host is busy. Wait a moment and retry.");
    }
    if (nb::isinstance(error, httpx_module.attr("TransportError")) ||
        nb::isinstance(error, py::exc::connection_error())) {
        return llm_error("Could not reach Ollama at " + where + kIndent +
                         "Make sure Ollama is running: " + kDownloadPage);
    }
    if (nb::isinstance(error, ollama_module.attr("ResponseError"))) {
        nb::object detail = error.attr("error");
        return llm_error("Ollama error " + py::text(error.attr("status_code")) + ": " +
                         (py::truthy(detail) ? py::text(detail) : py::text(error)));
    }
    if (nb::isinstance(error, ollama_module.attr("RequestError"))) {
        return llm_error("Ollama request failed at " + where + ": " + py::text(error));
    }
    return llm_error("LLM request failed: " + py::text(error));
}

// Runs a request, turning the four transport and server error families into
// LLMUnavailableError with the original as its cause.
template <typename Request>
nb::object translated(nb::handle self, Request&& request) {
    try {
        return request();
    } catch (nb::python_error& error) {
        nb::object families =
            nb::make_tuple(httpx_module.attr("TransportError"), py::exc::connection_error(),
                           ollama_module.attr("RequestError"), ollama_module.attr("ResponseError"));
        if (!error.matches(families)) throw;
        nb::object original = nb::borrow(error.value());
        py::raise_from(globals.get("_unavailable_from")(original, self.attr("host")), original);
    }
}

void init(nb::handle self, nb::handle config) {
    nb::setattr(self, "model", config.attr("model"));
    nb::setattr(self, "base_url", config.attr("base_url"));
    nb::setattr(self, "_client",
                ollama_module.attr("Client")("host"_a = self.attr("base_url"),
                                             "timeout"_a = kClientTimeoutSeconds));
    nb::setattr(
        self, "_keep_alive",
        os_module.attr("environ").attr("get")("ORVANE_OLLAMA_KEEP_ALIVE", kKeepAliveDefault));
}

nb::object host(nb::handle self) {
    return self.attr("base_url").attr("replace")("http://", "").attr("replace")("https://", "");
}

nb::object chat(nb::handle self, nb::handle messages, nb::handle tools) {
    py::require_exact_type(messages, py::list_type(), py::NoneAllowed::no, "chat", "messages",
                           "list");
    py::require_exact_type(tools, py::list_type(), py::NoneAllowed::yes, "chat", "tools",
                           "list or None");
    nb::object reply = translated(self, [&] {
        return self.attr("_client").attr("chat")(
            "model"_a = self.attr("model"), "messages"_a = messages,
            "tools"_a = py::truthy(tools) ? nb::borrow(tools) : nb::none(),
            "keep_alive"_a = self.attr("_keep_alive"));
    });
    nb::object message = reply.attr("message");
    nb::list calls;
    nb::object tool_calls = message.attr("tool_calls");
    if (py::truthy(tool_calls)) {
        nb::object tool_call_type = globals.get("ToolCall");
        for (nb::handle call : tool_calls) {
            nb::object function = call.attr("function");
            calls.append(tool_call_type("name"_a = function.attr("name"),
                                        "arguments"_a = py::dict_copy(function.attr("arguments"))));
        }
    }
    nb::object content = message.attr("content");
    return globals.get("LLMResponse")(
        "content"_a = py::truthy(content) ? content : nb::object(nb::str("")),
        "tool_calls"_a = calls);
}

nb::object generate(nb::handle self, nb::handle prompt, nb::handle options) {
    py::require_exact_type(prompt, py::str_type(), py::NoneAllowed::no, "generate", "prompt",
                           "str");
    py::require_exact_type(options, py::dict_type(), py::NoneAllowed::yes, "generate", "options",
                           "dict or None");
    nb::object reply = translated(self, [&] {
        return self.attr("_client").attr("generate")(
            "model"_a = self.attr("model"), "prompt"_a = prompt,
            "options"_a = py::truthy(options) ? nb::borrow(options) : nb::object(nb::dict()),
            "keep_alive"_a = self.attr("_keep_alive"));
    });
    return py::dict_copy(reply);
}

nb::object list_models(nb::handle self) {
    nb::list names;
    nb::object listing = self.attr("_client").attr("list")();
    nb::object models = listing.attr("models");
    for (nb::handle model : models) {
        nb::object name = model.attr("model");
        if (py::truthy(name)) names.append(name);
    }
    return names;
}

bool ping_ollama(nb::handle host_name, nb::handle timeout) {
    py::require_exact_type(host_name, py::str_type(), py::NoneAllowed::no, "_ping_ollama", "host",
                           "str");
    py::require_exact_type(timeout, py::int_type(), py::NoneAllowed::no, "_ping_ollama", "timeout",
                           "int");
    // Always plain HTTP on the host, whatever scheme the configured URL had.
    nb::object request = urllib_request.attr("Request")(
        py::concat(py::concat("http://", host_name), nb::str(kReachabilityPath)));
    try {
        urllib_request.attr("urlopen")(request, "timeout"_a = timeout).attr("close")();
        return true;
    } catch (nb::python_error& error) {
        nb::object reachable_failures = nb::make_tuple(
            urllib_error.attr("URLError"), py::exc::os_error(), py::exc::timeout_error());
        if (error.matches(reachable_failures)) return false;
        throw;
    }
}

nb::object health_check(nb::handle self) {
    nb::object where = self.attr("host");
    const std::string host_text = py::text(where);
    const bool remote = host_text.find("localhost") == std::string::npos &&
                        host_text.find("127.0.0.1") == std::string::npos;
    nb::object error_type = globals.get("LLMUnavailableError");
    if (!py::truthy(self.attr("_ping_ollama")(where))) {
        const std::string hint =
            remote ? "   Check the remote machine is running Ollama\n   and is accessible from "
                     "this network."
                   : std::string("   Make sure Ollama is running: ") + kDownloadPage;
        py::raise_instance(llm_error("Ollama not reachable at " + host_text + "\n" + hint));
    }
    nb::object available;
    try {
        available = self.attr("list_models")();
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        nb::object original = nb::borrow(error.value());
        py::raise_from(
            llm_error("Could not list models on " + host_text + ": " + py::text(original)),
            original);
    }
    const std::string model = py::text(self.attr("model"));
    const std::string base = model.substr(0, model.find(':'));
    bool present = false;
    for (nb::handle name : available)
        present = present || py::utf8(nb::str(name)).starts_with(base);
    if (!present) {
        std::string names(py::utf8(nb::str(", ").attr("join")(available)));
        if (names.empty()) names = "none";
        py::raise_instance(llm_error("Model '" + model + "' not found on " + host_text + kIndent +
                                     "Available: " + names + kIndent +
                                     "Pull it with: ollama pull " + model));
    }
    // Warm-up: a one-token generation, retried while the model loads.
    const int attempts = remote ? 4 : 3;
    nb::dict options;
    options["num_predict"] = 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // An attempt fails on any error, or on a reply that is not done.
        try {
            nb::object reply = self.attr("generate")("hi", "options"_a = options);
            if (py::truthy(reply.attr("get")("done"))) return nb::none();
        } catch (nb::python_error& error) {
            if (!py::is_exception(error)) throw;
        }
        // The host's sleep, looked up now, so tests need not wait.
        if (attempt < attempts - 1) time_module.attr("sleep")(remote ? 3 : (1 << attempt));
    }
    py::raise_from(llm_error("Ollama at " + host_text + " is reachable but not generating" +
                             kIndent + "Model may still be loading. Wait a moment and retry."),
                   nb::handle());
}

}  // namespace

NB_MODULE(local_llm, m) {
    m.doc() = "Client for a local (or remote) Ollama server.";
    globals.bind(m);

    py::make_exception_class(
        m, "LLMUnavailableError", py::exc::runtime_error(),
        R"(The LLM backend is unreachable or misconfigured; the message is ready for a terminal.)");

    nb::handle str_type = py::str_type();
    nb::handle dict_type = py::dict_type();
    nb::list tool_call_fields;
    tool_call_fields.append(nb::make_tuple("name", str_type));
    tool_call_fields.append(nb::make_tuple("arguments", dict_type));
    nb::object tool_call = py::make_dataclass(
        m, "ToolCall", "One tool call normalised from a model reply.", tool_call_fields);
    nb::list response_fields;
    response_fields.append(nb::make_tuple("content", str_type));
    response_fields.append(nb::make_tuple("tool_calls", nb::borrow(py::list_type())[tool_call]));
    py::make_dataclass(m, "LLMResponse", "One normalised chat reply.", response_fields);

    m.def("_unavailable_from", &unavailable_from, nb::arg("e").none(), nb::arg("host").none(),
          nb::sig("def _unavailable_from(e: Exception, host: str) -> LLMUnavailableError"),
          R"(The LLMUnavailableError for a failed request, with a message for the terminal (not
          raised).)");

    py::ClassBuilder(m, "OllamaClient", "Synchronous client for an Ollama server.")
        .method("__init__", &init, nb::arg("config"),
                nb::sig("def __init__(self, config: typing.Any) -> None"),
                R"(A client for the model and server of an LLMConfig; no request is made.)")
        .property("host", &host, "The server as host:port, without its scheme.")
        .method("chat", &chat, nb::arg("messages").none(), nb::arg("tools").none() = nb::none(),
                nb::sig("def chat(self, messages: list[dict[str, typing.Any]], tools: "
                        "list[dict[str, typing.Any]] | None "
                        "= None) -> LLMResponse"),
                "One chat request; the reply's text and tool calls.")
        .method(
            "generate", &generate, nb::arg("prompt").none(), nb::arg("options").none() = nb::none(),
            nb::sig(
                "def generate(self, prompt: str, options: dict[str, typing.Any] | None = None) -> "
                "dict[str, typing.Any]"),
            "Plain text generation; the server's response fields as a dict.")
        .method("list_models", &list_models, nb::sig("def list_models(self) -> list[str]"),
                "The names of the models the server has, in its order.")
        .method("health_check", &health_check, nb::sig("def health_check(self) -> None"),
                R"(None when the server answers, has the model and generates; else
                LLMUnavailableError naming the failing stage.)")
        .static_method("_ping_ollama", &ping_ollama, nb::arg("host").none(),
                       nb::arg("timeout").none() = kProbeTimeoutSeconds,
                       nb::sig("def _ping_ollama(host: str, timeout: int = 5) -> bool"),
                       "Whether an HTTP GET of /api/tags on `host` answers.")
        .finish();
}
