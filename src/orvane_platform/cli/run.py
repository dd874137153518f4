"""`orvane run`: one solver run of a product, recorded, saved and gated."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import add_json, add_product, add_solver_choice, assignments, verdict
from orvane_platform.cli.printing import console, emit, text
from orvane_platform.cli.records import show_gates


class RunProgress:
    """The live line of a running solver (elapsed time), its standard error shown above as it comes."""

    def __init__(self, label: str) -> None:
        self._label = label
        self._status = console.status(label)

    def __enter__(self) -> RunProgress:
        self._status.start()
        return self

    def __exit__(self, *_: object) -> None:
        self._status.stop()

    def __call__(self, elapsed: float, new_output: str) -> None:
        for line in new_output.splitlines():
            console.print(f"[dim]{escape(line)}[/]")
        self._status.update(f"{self._label}  {elapsed:.1f} s")


def show_run(summary: dict[str, Any], *, check: str) -> None:
    """A run's summary; `check` is whether its fingerprint verifies."""
    name = Path(summary["product"]).parent.name
    status = "[green]success[/]" if summary["status"] == "success" else f"[red]failed[/]: {escape(summary['error'])}"
    console.print(
        f"Run {summary['run_id'] or '(not recorded)'} of {name} with {summary['solver']} "
        f"({summary['domain']}): {status}"
    )
    for parameter, (old, new) in summary["parameters_set"].items():
        kept = "" if summary["design_saved"] else " (for this run only)"
        console.print(f"  design parameter {parameter}: {text(old)} → {text(new)}{kept}")
    resources = summary["resources"]
    console.print(f"  resources: {resources['severity']}")
    for message in resources["messages"]:
        console.print(f"    {escape(message)}")
    if summary["fingerprint"]:
        console.print(f"  fingerprint {summary['fingerprint']} ({check})")
    if summary["run_record"]:
        console.print(f"  run record {summary['run_record']}")
    if summary["kpis"]:
        console.print("  " + "  ".join(f"{kpi}={value:.4f}" for kpi, value in summary["kpis"].items()))
    if summary["saved"]:
        baseline = "; tagged as the baseline" if summary["baseline"] else ""
        console.print(f"  saved to the {summary['saved']} layer{baseline}")
    if summary["run_gates"] and not summary["saved"]:
        show_gates(summary["run_gates"], title="This run against the targets (not saved: a what-if)")
    show_gates(summary["gates"], title=f"Gates of {name}")


def _run(args: argparse.Namespace) -> int:
    from orvane_platform.runs import fingerprint, solver_run

    options = dict(
        domain=args.domain,
        solver=args.solver,
        test=args.test,
        parameters=assignments(args.assignments, "--set"),
        save=args.save,
        baseline=args.baseline,
    )
    if args.json or not console.is_terminal:
        summary = solver_run.run_product(args.product, **options)
    else:
        with RunProgress(f"Running {args.solver or args.domain} on {args.product.parent.name}") as progress:
            summary = solver_run.run_product(args.product, **options, progress=progress)
    shown = {key: value for key, value in summary.items() if key != "result"}
    emit(args, shown, show_run, check=fingerprint.verify_run(summary))
    return verdict(summary["passed"])


def register(commands: argparse._SubParsersAction) -> None:
    run = commands.add_parser(
        "run",
        help="run a solver on a product: record the run, save and gate its results",
        description="Check the host's resources, run the solver, write its run record, save its "
        "results with their history entry, and gate them against the targets.",
    )
    add_product(run)
    add_solver_choice(run)
    run.add_argument("--test", help="a test preset of the solver")
    run.add_argument(
        "--set",
        dest="assignments",
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="set a design parameter before the run (repeat for more)",
    )
    run.add_argument(
        "--save",
        choices=("prototype", "design_intent", "none"),
        default="prototype",
        help="the layer the results are saved to (default: prototype)",
    )
    run.add_argument("--baseline", action="store_true", help="tag the saved results as the baseline")
    add_json(run)
    run.set_defaults(func=_run)
