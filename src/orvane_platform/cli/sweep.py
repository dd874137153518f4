"""`orvane sweep`: one solver over many variants of a product's design, and a case applied to it."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import (
    OK,
    add_json,
    add_product,
    add_solver_choice,
    count,
    fail,
    quietly,
    verdict,
)
from orvane_platform.cli.printing import STATUS_STYLES, console, emit, styled, table, text
from orvane_platform.core import workspace

CASE_STYLES = {"success": "green", "cached": "cyan", "error": "red", "interrupted": "yellow", "not run": "dim"}


def _variables(texts: list[str]) -> dict[str, str]:
    variables: dict[str, str] = {}
    for assignment in texts:
        name, equals, values = assignment.partition("=")
        if not equals or not name:
            fail(f"argument --vary: {assignment!r} is not KEY=SPEC")
        variables[name] = values
    return variables


class _SweepProgress:
    """A live bar of a sweep's cases: done of total, cached, failed, running, and the time left."""

    def __init__(self) -> None:
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

        self._progress = Progress(
            TextColumn("Sweep"),
            BarColumn(),
            MofNCompleteColumn(),
            TextColumn("{task.fields[detail]}"),
            TimeRemainingColumn(),
            console=console,
        )
        self._task = self._progress.add_task("sweep", total=None, detail="")

    def __enter__(self) -> _SweepProgress:
        self._progress.start()
        return self

    def __exit__(self, *_: object) -> None:
        self._progress.stop()

    def __call__(self, counts: dict[str, Any]) -> None:
        detail = f"cached {counts['cached']}, failed {counts['failed']}, running {counts['running']}"
        self._progress.update(self._task, total=counts["total"], completed=counts["done"], detail=detail)


def _show_sweep(summary: dict[str, Any], *, sort: str | None) -> None:
    cases = summary["cases"]
    if sort:
        cases = sorted(cases, key=lambda case: (sort not in case["kpis"], case["kpis"].get(sort, 0.0)))
    varied = list(cases[0]["values"]) if cases else []
    kpis = sorted({kpi for case in cases for kpi in case["kpis"]})
    errors = any(case["error"] for case in cases)
    rows = []
    for case in cases:
        gates = case["gates"] or {}
        rows.append(
            (
                str(case["index"]),
                *(f"{case['values'][name]:g}" for name in varied),
                styled(case["status"], CASE_STYLES),
                *(
                    f"{case['kpis'][kpi]:.4f} " + styled(gates.get(kpi, ""), STATUS_STYLES)
                    if kpi in case["kpis"]
                    else ""
                    for kpi in kpis
                ),
                *([escape(case["error"] or "")] if errors else []),
            )
        )
    name = Path(summary["product"]).parent.name
    title = f"Sweep of {name} with {summary['solver']} ({summary['engine']}, {summary['workers']} workers)"
    console.print(table(("case", *varied, "status", *kpis, *(["error"] if errors else [])), rows, title))
    counts = summary["counts"]
    console.print(
        f"{counts['total']} cases: {counts['ran']} ran, {counts['cached']} cached, {counts['failed']} failed"
        + (f", {counts['not_run']} not run" if counts["not_run"] else "")
        + f" in {summary['elapsed']:.1f} s"
        + ("; interrupted" if summary["interrupted"] else "")
    )
    console.print(
        f"Sweep {summary['sweep']}: the product is unchanged. Save a case into it with "
        f"'orvane sweep apply {summary['sweep']} --case N' or '--best KPI'.",
        markup=False,
    )


def _sweep(args: argparse.Namespace) -> int:
    from orvane_platform.runs import sweep

    study = dict(variables=_variables(args.vary), method=args.method, samples=args.samples, seed=args.seed)
    try:
        cases = sweep.make_cases(**study)
    except ValueError as error:
        fail(f"argument --vary: {error}")
    options = dict(
        domain=args.domain,
        solver=args.solver,
        cases=cases,
        engine=args.engine,
        workers=args.workers,
        scheduler=args.scheduler,
        study=study,
        rerun=args.rerun,
    )
    if args.json or not console.is_terminal:
        summary = sweep.run_sweep(args.product, **options)
    else:
        with _SweepProgress() as progress:
            summary = sweep.run_sweep(args.product, **options, progress=progress)
    emit(args, summary, _show_sweep, sort=args.sort)
    return verdict(summary["passed"])


def _show_applied(applied: dict[str, Any]) -> None:
    name = Path(applied["product"]).parent.name
    console.print(
        f"Case {applied['case']} of sweep {applied['sweep']} saved into {name}: run {applied['run_id']}", markup=False
    )
    changes = applied["design"]
    if changes:
        rows = ((key, values["old"], values["new"]) for key, values in changes.items())
        console.print(table(("design parameter", "was", "now"), rows))
    else:
        console.print("The design was the case's already.")
    console.print(", ".join(f"{kpi} {text(value)}" for kpi, value in applied["kpis"].items()), markup=False)


def _apply(args: argparse.Namespace) -> int:
    from orvane_platform.runs import sweep

    applied = sweep.apply_case(args.sweep, case=args.case, best=args.best, lowest=args.lowest)
    changes = {key: {"old": old, "new": new} for key, (old, new) in applied["design"].items()}
    emit(args, applied | {"design": changes}, _show_applied)
    return OK


def _sweep_ids(_: argparse.Namespace) -> list[str]:
    return sorted(record.stem for record in workspace.products_dir().glob("*/sweeps/*.json"))


def register(commands: argparse._SubParsersAction) -> None:
    group = commands.add_parser(
        "sweep",
        help="run a solver over many variants of a product's design, and apply a case",
        description="Sweeps explore: their cases are recorded runs and the product is never changed. "
        "'orvane sweep PRODUCT ...' is short for 'orvane sweep run PRODUCT ...'.",
    )
    group.default_command = "run"
    actions = group.add_subparsers(dest="action", required=True, metavar="ACTION")
    sweep = actions.add_parser(
        "run",
        help="run the solver once per case (the default)",
        description="Run the solver once per case, each case an ordinary recorded run with its design values "
        "for that run only; a case whose inputs already have a successful run is reported as cached. "
        "The product is not changed; the sweep's record keeps every case for 'orvane sweep apply'.",
    )
    add_product(sweep)
    add_solver_choice(sweep)
    sweep.add_argument(
        "--vary",
        action="append",
        required=True,
        metavar="KEY=SPEC",
        help="a design parameter and its values: start:stop:count or a comma list (repeat for more)",
    )
    sweep.add_argument(
        "--method",
        choices=("grid", "lhs"),
        default="grid",
        help="the full factorial (default) or a Latin hypercube of --samples points",
    )
    sweep.add_argument("--samples", type=int, metavar="N", help="how many points a Latin hypercube draws")
    sweep.add_argument("--seed", type=int, default=0, metavar="S", help="the Latin hypercube's seed (default 0)")
    sweep.add_argument(
        "--engine", choices=("local", "dask"), default="local", help="this machine's cores (default) or a Dask cluster"
    )
    sweep.add_argument("--workers", type=int, metavar="N", help="parallel cases (default: the cores)")
    sweep.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler, e.g. tcp://host:8786")
    sweep.add_argument("--rerun", action="store_true", help="run cases again even when their inputs have run")
    sweep.add_argument("--sort", metavar="KPI", help="order the summary by this KPI")
    add_json(sweep)
    sweep.set_defaults(func=_sweep)

    apply = actions.add_parser(
        "apply",
        help="save a case of a sweep into its product",
        description="Save one case of a recorded sweep into its product: the case's design values become the "
        "product's and its results the current ones, with their history entry. The case's run must still be "
        "on record with a fingerprint that verifies.",
    )
    apply.add_argument("sweep", metavar="SWEEP", help="the sweep's id, as the sweep printed it").completer = quietly(  # type: ignore[attr-defined]
        _sweep_ids
    )
    which = apply.add_mutually_exclusive_group(required=True)
    which.add_argument("--case", type=count, metavar="N", help="the case of this index")
    which.add_argument("--best", metavar="KPI", help="the successful case with the best value of this KPI")
    direction = apply.add_mutually_exclusive_group()
    direction.add_argument(
        "--min", dest="lowest", action="store_const", const=True, help="with --best: the lowest value is best"
    )
    direction.add_argument(
        "--max", dest="lowest", action="store_const", const=False, help="with --best: the highest value is best"
    )
    add_json(apply)
    apply.set_defaults(func=_apply)
