"""`orvane demo` and `orvane completion`: the walk-through of the platform, and the shell's completion."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

import argcomplete

from orvane_platform.cli.arguments import OK
from orvane_platform.cli.printing import heading, show_diff, show_text
from orvane_platform.cli.product import show_history, show_product
from orvane_platform.cli.records import show_gates
from orvane_platform.cli.run import RunProgress, show_run
from orvane_platform.cli.runs import show_product_runs
from orvane_platform.cli.solvers import show_solvers

# Each kind of output a demo step shows, drawn as the command of that kind draws it.
RENDERERS: dict[str, Callable[..., None]] = {
    "text": show_text,
    "product": show_product,
    "solvers": show_solvers,
    "run": show_run,
    "history": show_history,
    "runs": show_product_runs,
    "gates": show_gates,
    "diff": show_diff,
}


def _show(kind: str, data: Any, **context: Any) -> None:
    RENDERERS[kind](data, **context)


def _demo(args: argparse.Namespace) -> int:
    from orvane_platform.setup import demo

    walk = demo.walk_through(args.dir, cfd=args.cfd)
    steps = walk["steps"]
    for number, step in enumerate(steps, start=1):
        heading(f"Step {number}/{len(steps)}  {step['title']}")
        if step["live"] is None:
            step["run"](_show)
        else:
            with RunProgress(step["live"]) as progress:
                step["run"](_show, progress)
    show_text(f"\n{walk['closing']}")
    return OK


def _completion(args: argparse.Namespace) -> int:
    print(argcomplete.shellcode(["orvane"], shell=args.shell))
    return OK


def register(commands: argparse._SubParsersAction) -> None:
    walk_through = commands.add_parser("demo", help="walk through the sample product in a demo workspace")
    walk_through.add_argument(
        "--dir", default="orvane-demo", help="workspace folder for the demo (default: ./orvane-demo)"
    )
    walk_through.add_argument(
        "--cfd", action="store_true", help="end with one real CFD run of the Ahmed body in OpenFOAM (minutes)"
    )
    walk_through.set_defaults(func=_demo)

    completion = commands.add_parser(
        "completion",
        help="print the shell completion script",
        description="Print the completion script for a shell, for example: "
        'eval "$(orvane completion bash)" in ~/.bashrc.',
    )
    completion.add_argument("shell", metavar="SHELL", choices=("bash", "zsh"), help="bash or zsh")
    completion.set_defaults(func=_completion)
