"""The Ollama client against a real HTTP server on 127.0.0.1 that answers
Ollama's API."""

from __future__ import annotations

import time

import httpx
import ollama
import pytest

from orvane_platform.llm import local_llm
from orvane_platform.llm.config import LLMConfig
from orvane_platform.llm.local_llm import LLMResponse, LLMUnavailableError, OllamaClient, ToolCall, _unavailable_from

DOWNLOAD = "https://ollama.com/download"


@pytest.fixture
def server(ollama):
    """The Ollama double, by the name these tests give the server they talk to."""
    return ollama


@pytest.fixture
def client(server, monkeypatch):
    monkeypatch.delenv("ORVANE_OLLAMA_KEEP_ALIVE", raising=False)
    return OllamaClient(LLMConfig(model="llama3.1:8b", base_url=f"http://{server.host}"))


@pytest.fixture
def sleeps(monkeypatch):
    """The health check's waits; the HTTP stack's own zero-second yields are
    left out."""
    waits: list[float] = []
    monkeypatch.setattr(time, "sleep", lambda seconds: waits.append(seconds) if seconds else None)
    return waits


def test_construction(monkeypatch):
    monkeypatch.setenv("ORVANE_OLLAMA_KEEP_ALIVE", "5m")
    client = OllamaClient(LLMConfig(model="m:1", base_url="https://gpu-box:11434"))
    assert (client.model, client.base_url, client.host, client._keep_alive) == (
        "m:1",
        "https://gpu-box:11434",
        "gpu-box:11434",
        "5m",
    )
    assert isinstance(client._client, ollama.Client)
    client._client = "replaced"  # instances take new attributes
    assert client._client == "replaced"


def test_config_defaults_and_environment(monkeypatch):
    monkeypatch.delenv("ORVANE_LLM_MODEL", raising=False)
    monkeypatch.delenv("ORVANE_OLLAMA_URL", raising=False)
    assert LLMConfig() == LLMConfig(model="llama3.1:8b", base_url="http://localhost:11434")
    monkeypatch.setenv("ORVANE_LLM_MODEL", "qwen2.5:7b")
    assert LLMConfig().model == "qwen2.5:7b"


class Spy:
    """Records the keyword arguments of each call, then makes the real one."""

    def __init__(self, client):
        self.client, self.calls = client, []

    def __getattr__(self, name):
        def call(**kwargs):
            self.calls.append((name, kwargs))
            return getattr(self.client, name)(**kwargs)

        return call


def test_chat_sends_and_normalises(client, server):
    client._client = spy = Spy(client._client)
    reply = client.chat([{"role": "user", "content": "hi"}], tools=[])
    assert reply == LLMResponse(content="Hello.", tool_calls=[])
    assert spy.calls == [
        (
            "chat",
            {"model": "llama3.1:8b", "messages": [{"role": "user", "content": "hi"}], "tools": None, "keep_alive": "0"},
        )
    ]
    [sent] = server.posts("/api/chat")
    assert sent["model"] == "llama3.1:8b" and sent["keep_alive"] == "0" and sent["stream"] is False
    assert sent["messages"] == [{"role": "user", "content": "hi"}]


def test_chat_with_tool_calls(client, server):
    server.chat_message = {
        "role": "assistant",
        "content": None,
        "tool_calls": [
            {"function": {"name": "run_simulation", "arguments": {"solver": "sample_aero", "steps": 100}}},
            {"function": {"name": "assess_aerodynamic_targets", "arguments": {}}},
        ],
    }
    tool = {
        "type": "function",
        "function": {"name": "run_simulation", "description": "d", "parameters": {"type": "object", "properties": {}}},
    }
    reply = client.chat([{"role": "user", "content": "go"}], tools=[tool])
    assert reply.content == ""
    assert reply.tool_calls == [
        ToolCall("run_simulation", {"solver": "sample_aero", "steps": 100}),
        ToolCall("assess_aerodynamic_targets", {}),
    ]
    assert type(reply.tool_calls[0].arguments) is dict
    assert server.posts("/api/chat")[0]["tools"][0]["function"]["name"] == "run_simulation"


def test_generate(client, server):
    client._client = spy = Spy(client._client)
    reply = client.generate("hello")
    assert reply["response"] == "hi" and reply["done"] is True and type(reply) is dict
    assert spy.calls == [("generate", {"model": "llama3.1:8b", "prompt": "hello", "options": {}, "keep_alive": "0"})]
    client.generate("again", options={"num_predict": 1})
    assert server.posts("/api/generate")[1]["options"] == {"num_predict": 1}


def test_list_models(client, server):
    server.models = ["a:1", "", "b:2"]
    assert client.list_models() == ["a:1", "b:2"]


@pytest.mark.parametrize(
    ("status", "body", "message"),
    [
        (500, {"error": "model crashed"}, "Ollama error 500: model crashed"),
        (404, {"error": "model 'x' not found"}, "Ollama error 404: model 'x' not found"),
    ],
)
def test_error_statuses(client, server, status, body, message):
    server.status, server.error_body = status, body
    with pytest.raises(LLMUnavailableError) as raised:
        client.chat([{"role": "user", "content": "hi"}])
    assert str(raised.value) == message
    assert isinstance(raised.value.__cause__, ollama.ResponseError)


def test_a_slow_reply_times_out(client, server):
    server.delay = 1.0
    client._client = ollama.Client(host=client.base_url, timeout=0.2)
    with pytest.raises(LLMUnavailableError) as raised:
        client.generate("hi")
    assert str(raised.value) == (
        f"Ollama request timed out at {server.host}\n   The model may still be loading, "
        "or the host is busy. Wait a moment and retry."
    )
    assert isinstance(raised.value.__cause__, httpx.TimeoutException)


def test_nothing_listening():
    client = OllamaClient(LLMConfig(model="m", base_url="http://127.0.0.1:9"))
    with pytest.raises(
        LLMUnavailableError,
        match=f"^Could not reach Ollama at 127.0.0.1:9\n   Make sure Ollama is running: {DOWNLOAD}$",
    ):
        client.chat([{"role": "user", "content": "hi"}])


@pytest.mark.parametrize(
    ("error", "message"),
    [
        (
            httpx.ReadTimeout("slow"),
            "Ollama request timed out at h:1\n"
            "   The model may still be loading, or the host is busy. Wait a moment and retry.",
        ),
        (httpx.ConnectError("refused"), f"Could not reach Ollama at h:1\n   Make sure Ollama is running: {DOWNLOAD}"),
        (ConnectionResetError("reset"), f"Could not reach Ollama at h:1\n   Make sure Ollama is running: {DOWNLOAD}"),
        (ollama.ResponseError("", 502), "Ollama error 502: "),
        (ollama.RequestError("no model"), "Ollama request failed at h:1: no model"),
        (ValueError("odd"), "LLM request failed: odd"),
    ],
)
def test_error_translation(error, message):
    translated = _unavailable_from(error, "h:1")
    assert isinstance(translated, LLMUnavailableError) and isinstance(translated, RuntimeError)
    if isinstance(error, ollama.ResponseError):
        assert str(translated) == f"Ollama error 502: {error}"
    else:
        assert str(translated) == message


def test_other_errors_pass_through(client):
    class Broken:
        def chat(self, **kwargs):
            raise KeyError("malformed reply")

    client._client = Broken()
    with pytest.raises(KeyError):
        client.chat([])


@pytest.mark.parametrize(
    ("call", "argument"),
    [
        (lambda c: c.chat("hi"), "messages"),
        (lambda c: c.chat([], tools={}), "tools"),
        (lambda c: c.generate(b"hi"), "prompt"),
        (lambda c: c.generate("hi", options=[]), "options"),
        (lambda c: OllamaClient._ping_ollama(1), "host"),
        (lambda c: OllamaClient._ping_ollama("h", True), "timeout"),
        (lambda c: c.chat(type("L", (list,), {})()), "messages"),
    ],
)
def test_argument_types(client, call, argument):
    with pytest.raises(TypeError, match=f"argument '{argument}'"):
        call(client)


def test_ping(server):
    assert OllamaClient._ping_ollama(server.host) is True
    assert server.requests[-1][:2] == ("GET", "/api/tags")
    assert OllamaClient._ping_ollama("127.0.0.1:9", 1) is False


# --- the health check ---------------------------------------------------------------


def test_healthy(client, server, sleeps):
    assert client.health_check() is None
    assert server.posts("/api/generate")[0]["prompt"] == "hi"
    assert server.posts("/api/generate")[0]["options"] == {"num_predict": 1}
    assert sleeps == []


@pytest.mark.parametrize(
    ("base_url", "hint"),
    [
        ("http://127.0.0.1:9", f"   Make sure Ollama is running: {DOWNLOAD}"),
        ("http://localhost:9", f"   Make sure Ollama is running: {DOWNLOAD}"),
        (
            "https://10.255.255.1.invalid:9",
            "   Check the remote machine is running Ollama\n   and is accessible from this network.",
        ),
    ],
)
def test_not_reachable(monkeypatch, base_url, hint, sleeps):
    monkeypatch.setattr(OllamaClient, "_ping_ollama", staticmethod(lambda host, timeout=5: False))
    client = OllamaClient(LLMConfig(model="m", base_url=base_url))
    with pytest.raises(LLMUnavailableError) as raised:
        client.health_check()
    assert str(raised.value) == f"Ollama not reachable at {client.host}\n{hint}"


def test_cannot_list(client, server):
    server.status, server.error_body = 500, {"error": "disk full"}
    client._ping_ollama = lambda host: True
    with pytest.raises(LLMUnavailableError, match=f"^Could not list models on {server.host}: disk full"):
        client.health_check()


@pytest.mark.parametrize(
    ("models", "configured", "message"),
    [([], "llama3.1:8b", "Available: none"), (["qwen2.5:7b"], "llama3.1:8b", "Available: qwen2.5:7b")],
)
def test_model_missing(client, server, models, configured, message):
    server.models = models
    client.model = configured
    with pytest.raises(LLMUnavailableError) as raised:
        client.health_check()
    assert str(raised.value) == (
        f"Model '{configured}' not found on {server.host}\n   {message}\n   Pull it with: ollama pull {configured}"
    )


@pytest.mark.parametrize("listed", ["llama3.1:70b", "llama3.1-instruct:8b"])
def test_model_found_by_base_name_prefix(client, server, listed, sleeps):
    server.models = [listed]
    assert client.health_check() is None


def test_local_warm_up_retries(client, server, sleeps):
    server.generate_replies = [{"response": "", "done": False}] * 5
    with pytest.raises(LLMUnavailableError) as raised:
        client.health_check()
    assert str(raised.value) == (
        f"Ollama at {server.host} is reachable but not generating\n"
        "   Model may still be loading. Wait a moment and retry."
    )
    assert raised.value.__cause__ is None and raised.value.__suppress_context__ is True
    assert sleeps == [1, 2]
    assert len(server.posts("/api/generate")) == 3


def test_remote_warm_up_retries(client, server, sleeps, monkeypatch):
    monkeypatch.setattr(OllamaClient, "host", property(lambda self: "gpu-box:11434"))
    monkeypatch.setattr(OllamaClient, "_ping_ollama", staticmethod(lambda host, timeout=5: True))
    client.list_models = lambda: ["llama3.1:8b"]
    attempts = []
    client.generate = lambda prompt, options=None: attempts.append(prompt) or {"done": False}
    with pytest.raises(LLMUnavailableError, match="^Ollama at gpu-box:11434 is reachable but not generating"):
        client.health_check()
    assert sleeps == [3, 3, 3] and len(attempts) == 4


def test_warm_up_recovers(client, server, sleeps):
    server.generate_replies = [{"response": "", "done": False}, {"response": "hi", "done": True}]
    assert client.health_check() is None
    assert sleeps == [1]


def test_error_class():
    assert issubclass(LLMUnavailableError, RuntimeError)
    assert LLMUnavailableError.__module__ == "orvane_platform.llm.local_llm"
    assert str(LLMUnavailableError("x")) == "x"
    assert local_llm._unavailable_from.__doc__
