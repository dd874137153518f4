"""The agent's conversation loop: whatever the model asks for, the session goes on."""

from __future__ import annotations

import itertools
import json
import shutil
from collections.abc import Callable
from types import SimpleNamespace

import pytest

from orvane_platform.agent_tools import aero
from orvane_platform.assistant import session
from orvane_platform.core import gateway_config, product_twin, run_records
from orvane_platform.core.agent import AgentContext
from orvane_platform.core.product import Product
from orvane_platform.llm.local_llm import LLMUnavailableError
from orvane_platform.runs import solver_run
from tests.support import SAMPLE_PRODUCT, orvane, tool_call


class ScriptedModel:
    """Answers each chat with the next scripted reply: a text, or a list of (tool, arguments) calls."""

    def __init__(self, *replies):
        self.replies = list(replies)
        self.seen: list[list[dict]] = []

    def chat(self, messages, tools=None):
        self.seen.append([dict(message) for message in messages])
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        if isinstance(reply, str):
            return SimpleNamespace(content=reply, tool_calls=[])
        return SimpleNamespace(
            content="", tool_calls=[SimpleNamespace(name=name, arguments=arguments) for name, arguments in reply]
        )


@pytest.fixture
def context(tmp_path, sample_registry, monkeypatch):
    shutil.copytree(SAMPLE_PRODUCT, tmp_path / "products" / "sedan")
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", str(tmp_path / "products"))  # where the save tool looks
    gateway_config.gateway_config.cache_clear()
    product = Product(tmp_path / "products" / "sedan" / "sedan.usda")
    yield AgentContext(platform=product, vname="Sedan")
    gateway_config.gateway_config.cache_clear()


def talk(context, model, *prompts, tools=None):
    asked = list(prompts)
    shown: list[tuple[str, str]] = []

    def ask():
        answer = asked.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    solvers = [{"alias": "sample_aero", "name": "Sample aero estimate", "kind": "surrogate", "gpu": False}]
    tools = tools if tools is not None else aero.register(context, solvers)
    messages = session.converse(model, tools, "Be brief.", ask, lambda kind, text: shown.append((kind, text)))
    return messages, shown


def test_malformed_tool_calls_are_answered_and_the_session_goes_on(context):
    model = ScriptedModel(
        [
            ("run_simulation", {"bogus": 1}),
            ("run_simulation", {"steps": "many"}),
            ("nope", {}),
            ("run_simulation", ["not", "an", "object"]),
        ],
        [("run_simulation", {"solver": "sample_aero"})],
        "Cd is 0.268.",
    )
    messages, shown = talk(context, model, "How is the drag?", "")
    answers = [message["content"] for message in messages if message["role"] == "tool"]
    assert answers[0].startswith("Error: tool run_simulation refused its arguments: ")
    assert answers[1] == (
        "Error: tool run_simulation refused its arguments: run_simulation() argument 'steps' must be int, not str"
    )
    assert answers[2].startswith("Error: there is no tool 'nope'. Tools: run_simulation, ")
    assert answers[3] == "Error: the arguments of a tool call must be an object, not list"
    assert answers[4].startswith("SIMULATION COMPLETE (solver: sample_aero):")
    assert messages[-1] == {"role": "assistant", "content": "Cd is 0.268."}
    assert ("tool", 'run_simulation({"bogus": 1})') in shown and ("assistant", "Cd is 0.268.") in shown
    assert [kind for kind, _ in shown].count("tool output") == 5
    assert len(run_records.list_runs(context.platform.usd_path)) == 1  # the agent's run is on record


@pytest.mark.parametrize("ending", [EOFError(), KeyboardInterrupt(), "", "   "])
def test_the_user_ends_the_session(context, ending):
    messages, _ = talk(context, ScriptedModel("Hi."), "Hello", ending)
    assert [message["role"] for message in messages] == ["system", "user", "assistant"]


def test_ctrl_c_while_the_model_works_ends_the_session(context):
    messages, _ = talk(context, ScriptedModel(KeyboardInterrupt()), "Hello", "never asked")
    assert messages[-1] == {"role": "user", "content": "Hello"}


def test_an_unavailable_model_is_raised_to_the_caller(context):
    with pytest.raises(LLMUnavailableError, match="gone"):
        talk(context, ScriptedModel(LLMUnavailableError("gone")), "Hello")


def test_the_session_results_are_saved_through_the_save_flow(context, capsys):
    assert session.session_results(context) == {} and session.save_session(context) is False
    talk(context, ScriptedModel([("run_simulation", {"solver": "sample_aero"})], "Done."), "Run it", "")
    results = session.session_results(context)
    assert list(results) == ["aero"] and results["aero"]["status"] == "success"
    assert session.save_session(context) is True
    history = product_twin.load_product_history(context.platform.usd_path)
    assert len(history) == 1 and history[0]["run"] == results["aero"]["provenance"]["fingerprint"][7:19]
    assert "Results saved (prototype)." in capsys.readouterr().out


# --- the session's wiring -----------------------------------------------------------


@pytest.fixture
def served(sample_product, sample_registry, ollama, monkeypatch):
    """The sample product and registry, and the FakeOllama server with the configured model."""
    monkeypatch.setenv("ORVANE_OLLAMA_URL", f"http://{ollama.host}")
    monkeypatch.setenv("ORVANE_LLM_MODEL", "llama3.1:8b")
    return sample_product


def test_open_agent_wires_the_product_its_tools_and_the_prompt(served, ollama):
    agent = session.open_agent(served)
    assert agent["client"].model == "llama3.1:8b" and agent["product"].name == "sedan"
    assert agent["context"].platform is agent["product"] and agent["context"].vname == "sedan"
    assert set(agent["tools"]) == {
        "run_simulation",
        "assess_aerodynamic_targets",
        "get_range_competitiveness",
        "run_dynamics_simulation",
        "assess_dynamics_targets",
        "get_product_gates",
    }
    # Only the aero solvers are offered to the aero tools.
    described = agent["tools"]["run_simulation"]["schema"]["function"]["description"]
    assert "sample_aero" in described and "openfoam_ahmed" in described and "sample_dynamics" not in described

    ollama.chat_message = {"role": "assistant", "content": "Ready."}
    prompts = ["Hello", ""]
    session.converse(
        agent["client"], agent["tools"], agent["system_prompt"], lambda: prompts.pop(0), lambda kind, text: None
    )
    [chat] = ollama.posts("/api/chat")
    assert chat["messages"][0] == {"role": "system", "content": agent["system_prompt"]}
    assert "product sedan" in agent["system_prompt"] and len(chat["tools"]) == 6


def test_the_agent_reads_the_product_gates_with_stale_kpis_marked(served):
    gates = session.open_agent(served)["tools"]["get_product_gates"]["fn"]
    assert gates().startswith("Gates of the product's saved results: 0 passed, 0 failed, 3 not run")
    solver_run.run_product(served, domain="aero")
    solver_run.set_design_parameters(served, {"roofline_slope_deg": 16.0})
    [cd_line] = [line for line in gates().splitlines() if line.startswith("- cd:")]
    assert cd_line.startswith("- cd: 0.2677 FAIL (stale: roofline_slope_deg 14.5 → 16 since run run_aero_")


@pytest.mark.parametrize(
    ("setting", "value", "hint"),
    [
        ("ORVANE_OLLAMA_URL", "http://127.0.0.1:9", "Point ORVANE_OLLAMA_URL (ollama_url in orvane.yaml) at a running"),
        ("ORVANE_LLM_MODEL", "mistral:7b", "Pull the model with 'ollama pull mistral:7b', or name another with"),
    ],
)
def test_open_agent_refuses_an_unavailable_model_and_names_the_setting(served, monkeypatch, setting, value, hint):
    monkeypatch.setenv(setting, value)
    with pytest.raises(LLMUnavailableError) as refused:
        session.open_agent(served)
    unavailable = session.llm_unavailable(refused.value)
    assert unavailable["error"] == str(refused.value) and unavailable["hint"].startswith(hint)


# --- the session's bounds, through the installed command ----------------------------


def always_simulating() -> Callable[[dict], dict]:
    """A model that always asks for another simulation, each with arguments of its own."""
    steps = itertools.count(1)
    return lambda body: tool_call("run_simulation", {"solver": "sample_aero", "steps": next(steps)})


def agent(demo, ollama, prompts: str, env: dict[str, str] | None = None):
    served = {"ORVANE_OLLAMA_URL": f"http://{ollama.host}", "ORVANE_LLM_MODEL": "llama3.1:8b"}
    return orvane("agent", "sedan", cwd=demo, env=served | (env or {}), input=prompts)


def run_count(demo) -> int:
    return len(run_records.list_runs(demo / "products/sedan/sedan.usda"))


def tool_outputs(chat: dict) -> list[str]:
    return [message["content"] for message in chat["messages"] if message["role"] == "tool"]


@pytest.mark.parametrize(
    ("settings", "variables", "prompts", "runs", "notices"),
    [
        ({}, {}, "Go\n", 8, ["Stopped after 8 tool calls this turn (agent_max_tool_calls_per_turn); ask again"]),
        (
            {"agent_max_tool_calls_per_turn": 4, "agent_max_tool_calls": 6},
            {},
            "Go\nMore\nAgain\n",
            6,
            [
                "Stopped after 4 tool calls this turn",
                "This session has made its 6 tool calls (agent_max_tool_calls): no more tools run in it.",
                "This session has made its 6 tool calls",
            ],
        ),
        ({"agent_max_tool_calls": 100}, {"ORVANE_AGENT_MAX_TOOL_CALLS": "3"}, "Go\n", 3, ["made its 3 tool calls"]),
    ],
    ids=["defaults", "orvane.yaml", "environment"],
)
def test_a_model_that_always_calls_a_tool_stops_at_the_bounds(
    demo, ollama, settings, variables, prompts, runs, notices
):
    with (demo / "orvane.yaml").open("a") as file:
        file.writelines(f"{key}: {value}\n" for key, value in settings.items())
    ollama.chat_message = always_simulating()
    before = run_count(demo)
    talked = agent(demo, ollama, prompts, variables)
    assert talked.returncode == 0 and "Traceback" not in talked.stdout + talked.stderr, talked.stderr
    assert run_count(demo) == before + runs
    for notice in notices:
        assert notice in talked.stdout
    chats = ollama.posts("/api/chat")
    # Told why, the model answers without tools; each turn starts with them while the session has calls left.
    answered_without = [not chat.get("tools") for chat in chats]
    assert answered_without.count(True) == len(notices)
    assert sum(output.startswith("SIMULATION COMPLETE") for output in tool_outputs(chats[-1])) == runs


def test_a_call_repeated_at_once_is_not_run_again(demo, ollama):
    ollama.chat_message = tool_call("run_simulation", {"solver": "sample_aero"})
    before = run_count(demo)
    talked = agent(demo, ollama, "How is the drag?\n")
    assert talked.returncode == 0, talked.stderr
    assert run_count(demo) == before + 1
    assert "Stopped: the model asked for run_simulation again with the same arguments; it ran once." in talked.stdout
    *_, last = ollama.posts("/api/chat")
    outputs = tool_outputs(last)
    assert len(outputs) == 2 and outputs[0].startswith("SIMULATION COMPLETE")
    assert outputs[1].startswith("Not run again: run_simulation was just called with the same arguments")
    assert not last.get("tools")


def test_requests_stay_within_their_size_bound(demo, ollama):
    ollama.chat_message = always_simulating()
    cap = 6000
    talked = agent(
        demo,
        ollama,
        "Go\n",
        {"ORVANE_AGENT_MAX_REQUEST_CHARS": str(cap), "ORVANE_AGENT_MAX_TOOL_CALLS_PER_TURN": "20"},
    )
    assert talked.returncode == 0, talked.stderr
    chats = ollama.posts("/api/chat")
    sizes = [
        len(json.dumps(chat["messages"], ensure_ascii=False) + json.dumps(chat.get("tools") or [])) for chat in chats
    ]
    assert len(chats) == 22 and max(sizes) <= cap, sizes
    # The question and the latest output always go; old outputs are trimmed, oldest first, then left out.
    assert all(chat["messages"][1] == {"role": "user", "content": "Go"} for chat in chats)
    assert all(tool_outputs(chat)[-1].startswith("SIMULATION COMPLETE") for chat in chats[1:-1])
    outputs = tool_outputs(chats[-1])
    trimmed = [output.startswith("[trimmed: ") for output in outputs]
    assert trimmed[0] and not trimmed[-2] and trimmed[:-1] == sorted(trimmed[:-1], reverse=True), trimmed
    assert len(outputs) < 21  # of 20 calls and the refusal


def test_one_huge_output_is_cut_to_a_quarter_of_a_request(context, monkeypatch):
    monkeypatch.setenv("ORVANE_AGENT_MAX_REQUEST_CHARS", "8000")
    tools = {"dump": {"fn": lambda: "x" * 100_000, "schema": {"type": "function", "function": {"name": "dump"}}}}
    model = ScriptedModel([("dump", {})], "Done.")
    messages, _ = talk(context, model, "Dump it", "", tools=tools)
    [output] = [message["content"] for message in messages if message["role"] == "tool"]
    assert output == "x" * 2000 + "\n[98000 more characters cut]"
    assert all(len(json.dumps(seen)) <= 8000 for seen in model.seen)


def test_the_model_failing_mid_session_ends_it_with_exit_1(demo, ollama):
    ollama.chat_messages = [tool_call("run_simulation", {"solver": "sample_aero"}), 500]
    ollama.error_body = {"error": "model runner has unexpectedly stopped"}
    before = run_count(demo)
    talked = agent(demo, ollama, "How is the drag?\nAnd the lift?\n")
    assert talked.returncode == 1 and "Traceback" not in talked.stdout + talked.stderr, talked.stderr
    assert "Ollama error 500: model runner has unexpectedly stopped" in talked.stdout
    assert "The Ollama server failed the request; its log tells why." in talked.stdout
    assert run_count(demo) == before + 1 and len(ollama.posts("/api/chat")) == 2
    assert "Results not saved: no terminal to confirm on." in talked.stdout


@pytest.mark.parametrize(
    ("setting", "message"),
    [
        (
            {"ORVANE_AGENT_MAX_TOOL_CALLS": "0"},
            "agent_max_tool_calls must be a whole number from 1 to 1000000, not '0' (ORVANE_AGENT_MAX_TOOL_CALLS)",
        ),
        ({"ORVANE_AGENT_MAX_TOOL_CALLS_PER_TURN": "many"}, "agent_max_tool_calls_per_turn must be a whole number"),
        ({"ORVANE_AGENT_MAX_REQUEST_CHARS": "1e9"}, "not '1e9' (ORVANE_AGENT_MAX_REQUEST_CHARS)"),
        ("agent_max_tool_calls_per_turn: 2.5\n", "not '2.5' (orvane.yaml)"),
        ({"ORVANE_AGENT_MAX_REQUEST_CHARS": "1000"}, "agent_max_request_chars is 1000, but the system prompt and the"),
    ],
)
def test_bad_bounds_are_refused_naming_the_setting(demo, ollama, setting, message):
    if isinstance(setting, str):
        with (demo / "orvane.yaml").open("a") as file:
            file.write(setting)
    refused = agent(demo, ollama, "Go\n", setting if isinstance(setting, dict) else {})
    assert refused.returncode == 2 and message in refused.stderr, refused.stderr
    assert refused.stderr.count("\n") == 1 and not ollama.posts("/api/chat")
