"""`orvane agent` and `orvane llm chat`: the local model, on its own and with the platform's tools."""

from __future__ import annotations

import argparse

from rich.markup import escape

from orvane_platform.cli.arguments import NEGATIVE, OK, InputError, add_json, add_product, confirm
from orvane_platform.cli.printing import console, emit


def _show_unavailable(unavailable: dict[str, str]) -> None:
    console.print(f"[red]{escape(unavailable['error'])}[/]")
    console.print(unavailable["hint"])


def _llm_unavailable(args: argparse.Namespace, error: Exception) -> int:
    """The error and what to change."""
    from orvane_platform.assistant import session

    emit(args, session.llm_unavailable(error), _show_unavailable)
    return NEGATIVE


def _chat(args: argparse.Namespace) -> int:
    from orvane_platform.llm import local_llm
    from orvane_platform.llm.config import LLMConfig

    client = local_llm.OllamaClient(LLMConfig())
    try:
        reply = client.chat([{"role": "user", "content": args.prompt}])
    except local_llm.LLMUnavailableError as error:
        return _llm_unavailable(args, error)
    emit(args, {"model": client.model, "content": reply.content}, lambda answer: print(answer["content"]))
    return OK


def _show_turn(kind: str, text: str) -> None:
    if kind == "assistant":
        console.print(escape(text))
    elif kind == "notice":
        console.print(f"[yellow]{escape(text)}[/]")
    else:
        console.print(f"[dim]{kind}: {escape(text)}[/]")


def _agent(args: argparse.Namespace) -> int:
    from orvane_platform.assistant import session
    from orvane_platform.llm.local_llm import LLMUnavailableError

    try:
        agent = session.open_agent(args.product)
    except LLMUnavailableError as error:
        return _llm_unavailable(args, error)
    console.print(
        f"Agent on {agent['product'].name} with {agent['client'].model}; "
        "an empty line, Ctrl-D or Ctrl-C ends the session."
    )
    status = OK
    try:
        session.converse(
            agent["client"], agent["tools"], agent["system_prompt"], lambda: console.input("you> "), _show_turn
        )
    except LLMUnavailableError as error:
        status = _llm_unavailable(args, error)  # the results made before it may still be saved
    if session.session_results(agent["context"]):
        try:
            confirm("Save this session's results to the product?", "not saved: no terminal to confirm on")
        except InputError as reason:
            console.print(f"Results {reason}.")
            return status
        session.save_session(agent["context"])
    return status


def register(commands: argparse._SubParsersAction) -> None:
    agent = commands.add_parser("agent", help="talk to the LLM agent about a product, with its tools")
    add_product(agent)
    agent.set_defaults(func=_agent)

    llm = commands.add_parser("llm", help="the local LLM").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    chat = llm.add_parser("chat", help="send one chat turn and print the reply")
    chat.add_argument("prompt", metavar="PROMPT", help="what to ask")
    add_json(chat)
    chat.set_defaults(func=_chat)
