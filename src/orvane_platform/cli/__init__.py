# PYTHON_ARGCOMPLETE_OK
"""The `orvane` command: argument parsing and printing over the native modules.

Exit status, the same for every command: 0 success; 1 the command worked and
its verdict is negative (a gate FAIL, a failed run, a verify mismatch, a
doctor check that fails); 2 a usage or input error, reported as one line
`orvane: error: ...` (`--debug` shows the traceback).
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from collections.abc import Sequence
from importlib import metadata

import argcomplete

from orvane_platform.cli import llm, product, provenance, records, run, runs, setup, solvers, sweep, views
from orvane_platform.cli.arguments import INPUT_ERROR, OK, Parser
from orvane_platform.cli.printing import report_error
from orvane_platform.core import workspace

# The command groups, in the order `orvane --help` lists them.
GROUPS = (setup, run, sweep, product, runs, records, views, provenance, solvers, llm)


def _parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="orvane",
        description="Engineering digital twins of vehicle programmes.",
        epilog="Exit status: 0 success; 1 a negative verdict (gate FAIL, failed run, verify "
        "mismatch, failing doctor check); 2 a usage or input error.",
    )
    parser.add_argument("--version", action="version", version=f"orvane {metadata.version('orvane_platform')}")
    parser.add_argument("--debug", action="store_true", help="show the full traceback of an error")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for group in GROUPS:
        group.register(commands)
    return parser


def _error_text(error: BaseException) -> str:
    """One line for an error: its message (OpenUSD's without its C++ locations)."""
    try:
        text = str(error)
    except UnicodeDecodeError:  # OpenUSD quotes the bytes of a file that is not UTF-8
        return "the input is not valid UTF-8 text"
    messages = []
    for line in (line.strip() for line in text.splitlines()):
        if line.startswith("Error in ") and " : '" in line:
            line = line.split(" : '", 1)[1].rstrip("'")
        if line:
            messages.append(line)
    return "; ".join(messages) or type(error).__name__


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    # --debug is honoured wherever it stands, even before the parser could read it.
    debug = "--debug" in arguments
    arguments = [argument for argument in arguments if argument != "--debug"]
    try:
        workspace.activate()
        parser = _parser()
        argcomplete.autocomplete(parser)
        args = parser.parse_args(arguments)
        return args.func(args)
    except KeyboardInterrupt:
        print("orvane: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader stopped listening (`| head`): what it read is all it wanted.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return OK
    except Exception as error:
        if debug:
            traceback.print_exc()
        report_error(_error_text(error))
        return INPUT_ERROR
