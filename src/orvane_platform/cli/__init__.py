# PYTHON_ARGCOMPLETE_OK
"""The `orvane` command: argument parsing and printing over the native modules.

Exit status, the same for every command: 0 success; 1 the command worked and
its verdict is negative (a gate FAIL, a failed run, a verify mismatch, a
doctor check that fails); 2 a usage or input error, reported as one line
`orvane: error: ...` (`--debug` shows the traceback).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import traceback
from collections.abc import Callable, Iterable, Sequence
from datetime import UTC, datetime
from importlib import metadata
from pathlib import Path
from typing import Any, NoReturn

import argcomplete
from argcomplete.completers import FilesCompleter
from rich.console import Console
from rich.markup import escape
from rich.table import Table

from orvane_platform.core import workspace

OK, NEGATIVE, INPUT_ERROR = 0, 1, 2


def _console(stderr: bool = False) -> Console:
    stream = sys.stderr if stderr else sys.stdout
    if stream.isatty():
        return Console(file=stream, highlight=False)
    # Output read by programs: nothing folds, wraps or is cut short.
    return Console(file=stream, highlight=False, width=1_000_000, soft_wrap=True)


console = _console()


class InputError(Exception):
    """Bad input: reported as one line `orvane: error: ...`, exit status 2."""


def _fail(message: str) -> NoReturn:
    raise InputError(message)


def _report_error(message: str) -> None:
    """One line on standard error, whatever characters the message quotes."""
    line = "".join(c if c.isprintable() else repr(c)[1:-1] for c in message)
    print(f"orvane: error: {line}", file=sys.stderr)


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, like every other error."""

    def error(self, message: str) -> NoReturn:
        _report_error(f"{message} (see '{self.prog} --help')")
        sys.exit(INPUT_ERROR)


# --- printing ---------------------------------------------------------------------


def _plain(value: Any) -> Any:
    """`value` as JSON holds it: paths and times as text, NaN and infinities as null."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, dict):
        return {str(key): _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, (set, frozenset)):
        return sorted(_plain(item) for item in value)
    if hasattr(value, "isoformat"):
        return value.isoformat()
    return str(value)


def _print_json(document: Any) -> None:
    print(json.dumps(_plain(document), indent=2, ensure_ascii=False, allow_nan=False))


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def _table(columns: Iterable[str], rows: Iterable[Iterable[Any]], title: str | None = None) -> Table:
    table = Table(title=title)
    for column in columns:
        table.add_column(column)
    for row in rows:
        table.add_row(*(cell if isinstance(cell, str) else _text(cell) for cell in row))
    return table


def _heading(text: str) -> None:
    if console.is_terminal:
        console.rule(f"[bold]{text}[/]")
    else:
        console.print(f"== {text}")


STATUS_STYLES = {"PASS": "green", "WARN": "yellow", "FAIL": "red", "NOT RUN": "dim", "INCONCLUSIVE": "magenta"}
CERT_STYLES = {"verified": "green", "unverified": "red", "missing": "yellow"}


def _styled(text: str, styles: dict[str, str]) -> str:
    style = styles.get(text)
    return f"[{style}]{text}[/]" if style else text


def _show_gates(evaluation: dict[str, Any], title: str) -> None:
    rows = (
        (f"{gate['kpi']} ({gate['description']})", _styled(gate["status"], STATUS_STYLES),
         *("" if gate[key] is None else f"{gate[key]:.4f}"
           for key in ("value", "target_min", "target_nominal", "target_max")),
         gate["domain"])
        for gate in evaluation["gates"]
    )
    console.print(_table(("KPI", "status", "value", "min", "nominal", "max", "domain"), rows, title))
    console.print(evaluation["summary"])


def _show_diff(title: str, first: str, second: str, diff: dict[str, tuple[Any, Any, Any]]) -> None:
    console.print(_table(("attribute", first, second, "difference"),
                         ((key, *values) for key, values in diff.items()), title))


# --- arguments --------------------------------------------------------------------


def _product_path(argument: str) -> Path:
    try:
        return workspace.resolve_product(argument)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _quietly(complete: Callable[..., Iterable[str]]) -> Callable[..., list[str]]:
    """A completer that offers nothing rather than fail: the shell shows no traceback."""

    def completer(prefix: str, parsed_args: argparse.Namespace, **_: Any) -> list[str]:
        try:
            return [word for word in complete(parsed_args) if word.startswith(prefix)]
        except Exception:
            return []

    return completer


def _product_names(_: argparse.Namespace) -> list[str]:
    folder = workspace.products_dir()
    return sorted(entry.name for entry in folder.iterdir() if entry.is_dir()) if folder.is_dir() else []


def _complete_products(prefix: str, parsed_args: argparse.Namespace, **kwargs: Any) -> list[str]:
    files = FilesCompleter(allowednames=("usda",))(prefix, **kwargs)
    return _quietly(_product_names)(prefix, parsed_args) + list(files)


def _solver_aliases(_: argparse.Namespace) -> list[str]:
    from orvane_platform.core import solver

    return solver.all_solver_aliases()


def _release_versions(parsed: argparse.Namespace) -> list[str]:
    from orvane_platform.core import releases

    return [release["version"] for release in releases.list_releases(parsed.product)]


def _run_ids(_: argparse.Namespace) -> list[str]:
    from orvane_platform.runs import index as run_index

    return [run["run_id"] for run in run_index.search()]


def _add_product(parser: argparse.ArgumentParser, name: str = "product", help: str = "the product") -> None:
    parser.add_argument(
        name, type=_product_path, metavar=name.upper(),
        help=f"{help}: its root .usda, its folder, or its name in the products folder",
    ).completer = _complete_products  # type: ignore[attr-defined]


def _add_json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print one JSON document instead of tables")


def _count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"not a count (0 or more): {text!r}")
    return count


def _since(text: str) -> str:
    """A date or time as records write theirs: ISO text in UTC (a time without a zone is UTC)."""
    try:
        when = datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not an ISO date or time: {text!r} (for example 2026-04-19 or 2026-04-19T08:30)") from None
    return (when if when.tzinfo else when.replace(tzinfo=UTC)).astimezone(UTC).isoformat()


def _add_run_filters(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--domain", help=f"only {what} of this domain")
    parser.add_argument("--solver", metavar="ALIAS", help=f"only {what} of this solver").completer = (  # type: ignore[attr-defined]
        _quietly(_solver_aliases))
    parser.add_argument("--since", type=_since, metavar="DATE",
                        help=f"only {what} at or after this ISO date or time (UTC unless it names a zone)")
    parser.add_argument("--last", type=_count, metavar="N", help=f"only the last N {what}")


def _columns(keys: Iterable[Iterable[str]]) -> list[str]:
    """Every key of the rows, once each, in the order they first appear."""
    return list(dict.fromkeys(key for row in keys for key in sorted(row)))


def _assignments(texts: list[str], argument: str) -> dict[str, float]:
    from orvane_platform.runs import solver_run as runner

    try:
        return runner.parse_assignments(texts)
    except ValueError as error:
        _fail(f"argument {argument}: {error}")


def _confirm(question: str, refusal: str) -> None:
    """Asks on a terminal; elsewhere the command needs its flag."""
    if not sys.stdin.isatty():
        _fail(refusal)
    try:
        answer = console.input(f"{question} [y/N] ").strip().lower()
    except EOFError:
        answer = ""
    if answer not in ("y", "yes"):
        _fail("cancelled")


# --- run --------------------------------------------------------------------------


class _RunProgress:
    """The live line of a running solver (elapsed time), its standard error shown above as it comes."""

    def __init__(self, label: str) -> None:
        self._label = label
        self._status = console.status(label)

    def __enter__(self) -> _RunProgress:
        self._status.start()
        return self

    def __exit__(self, *_: object) -> None:
        self._status.stop()

    def __call__(self, elapsed: float, new_output: str) -> None:
        for line in new_output.splitlines():
            console.print(f"[dim]{escape(line)}[/]")
        self._status.update(f"{self._label}  {elapsed:.1f} s")


def _show_run(summary: dict[str, Any]) -> None:
    from orvane_platform.core import provenance

    name = Path(summary["product"]).parent.name
    status = "[green]success[/]" if summary["status"] == "success" else f"[red]failed[/]: {escape(summary['error'])}"
    console.print(f"Run {summary['run_id'] or '(not recorded)'} of {name} with {summary['solver']} "
                  f"({summary['domain']}): {status}")
    for parameter, (old, new) in summary["parameters_set"].items():
        console.print(f"  design parameter {parameter}: {_text(old)} → {_text(new)}")
    resources = summary["resources"]
    console.print(f"  resources: {resources['severity']}")
    for message in resources["messages"]:
        console.print(f"    {escape(message)}")
    record = summary["result"].get("provenance")
    if summary["fingerprint"]:
        check = provenance.verify_provenance_record(record)["status"] if isinstance(record, dict) else "unknown"
        console.print(f"  fingerprint {summary['fingerprint']} ({check})")
    if summary["run_record"]:
        console.print(f"  run record {summary['run_record']}")
    if summary["kpis"]:
        console.print("  " + "  ".join(f"{kpi}={value:.4f}" for kpi, value in summary["kpis"].items()))
    if summary["saved"]:
        console.print(f"  saved to the {summary['saved']} layer" + ("; tagged as the baseline" if summary["baseline"] else ""))
    if summary["gates"]:
        _show_gates(summary["gates"], f"Gates of {name}")


def _run(args: argparse.Namespace) -> int:
    from orvane_platform.runs import solver_run as runner

    parameters = _assignments(args.assignments, "--set")
    options = dict(domain=args.domain, solver=args.solver, test=args.test, parameters=parameters,
                   save=args.save, baseline=args.baseline)
    if args.json or not console.is_terminal:
        summary = runner.run_product(args.product, **options)
    else:
        with _RunProgress(f"Running {args.solver or args.domain} on {args.product.parent.name}") as progress:
            summary = runner.run_product(args.product, **options, progress=progress)
    if args.json:
        _print_json({key: value for key, value in summary.items() if key != "result"})
    else:
        _show_run(summary)
    return OK if summary["passed"] else NEGATIVE


def _add_solver_choice(parser: argparse.ArgumentParser) -> None:
    which = parser.add_mutually_exclusive_group(required=True)
    which.add_argument("--domain", help="run the first solver registered for this domain")
    which.add_argument("--solver", metavar="ALIAS", help="run this solver").completer = (  # type: ignore[attr-defined]
        _quietly(_solver_aliases))


def _register_run(commands: argparse._SubParsersAction) -> None:
    run = commands.add_parser(
        "run", help="run a solver on a product: record the run, save and gate its results",
        description="Check the host's resources, run the solver, write its run record, save its "
        "results with their history entry, and gate them against the targets.")
    _add_product(run)
    _add_solver_choice(run)
    run.add_argument("--test", help="a test preset of the solver")
    run.add_argument("--set", dest="assignments", action="append", default=[], metavar="KEY=VALUE",
                     help="set a design parameter before the run (repeat for more)")
    run.add_argument("--save", choices=("prototype", "design_intent", "none"), default="prototype",
                     help="the layer the results are saved to (default: prototype)")
    run.add_argument("--baseline", action="store_true", help="tag the saved results as the baseline")
    _add_json(run)
    run.set_defaults(func=_run)


# --- sweep ------------------------------------------------------------------------


def _variables(texts: list[str]) -> dict[str, str]:
    variables: dict[str, str] = {}
    for text in texts:
        name, equals, spec = text.partition("=")
        if not equals or not name:
            _fail(f"argument --vary: {text!r} is not KEY=SPEC")
        variables[name] = spec
    return variables


class _SweepProgress:
    """A live bar of a sweep's cases: done of total, cached, failed, running, and the time left."""

    def __init__(self) -> None:
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

        self._progress = Progress(TextColumn("Sweep"), BarColumn(), MofNCompleteColumn(),
                                  TextColumn("{task.fields[detail]}"), TimeRemainingColumn(), console=console)
        self._task = self._progress.add_task("sweep", total=None, detail="")

    def __enter__(self) -> _SweepProgress:
        self._progress.start()
        return self

    def __exit__(self, *_: object) -> None:
        self._progress.stop()

    def __call__(self, counts: dict[str, Any]) -> None:
        detail = f"cached {counts['cached']}, failed {counts['failed']}, running {counts['running']}"
        self._progress.update(self._task, total=counts["total"], completed=counts["done"], detail=detail)


def _show_sweep(summary: dict[str, Any], sort: str | None) -> None:
    cases = summary["cases"]
    if sort:
        cases = sorted(cases, key=lambda case: (sort not in case["kpis"], case["kpis"].get(sort, 0.0)))
    varied = list(cases[0]["values"]) if cases else []
    kpis = sorted({kpi for case in cases for kpi in case["kpis"]})
    errors = any(case["error"] for case in cases)
    rows = []
    for case in cases:
        gates = case["gates"] or {}
        status = _styled(case["status"], {"success": "green", "cached": "cyan", "error": "red",
                                          "interrupted": "yellow", "not run": "dim"})
        rows.append((str(case["index"]), *(f"{case['values'][name]:g}" for name in varied), status,
                     *("" if kpi not in case["kpis"] else
                       f"{case['kpis'][kpi]:.4f} " + _styled(gates.get(kpi, ""), STATUS_STYLES) for kpi in kpis),
                     *([escape(case["error"] or "")] if errors else [])))
    name = Path(summary["product"]).parent.name
    console.print(_table(("case", *varied, "status", *kpis, *(["error"] if errors else [])), rows,
                         f"Sweep of {name} with {summary['solver']} ({summary['engine']}, {summary['workers']} workers)"))
    counts = summary["counts"]
    console.print(f"{counts['total']} cases: {counts['ran']} ran, {counts['cached']} cached, {counts['failed']} failed"
                  + (f", {counts['not_run']} not run" if counts["not_run"] else "")
                  + f" in {summary['elapsed']:.1f} s" + ("; interrupted" if summary["interrupted"] else ""))


def _sweep(args: argparse.Namespace) -> int:
    from orvane_platform.runs import sweep

    try:
        cases = sweep.make_cases(_variables(args.vary), method=args.method, samples=args.samples, seed=args.seed)
    except ValueError as error:
        _fail(f"argument --vary: {error}")
    options = dict(domain=args.domain, solver=args.solver, cases=cases, engine=args.engine, workers=args.workers,
                   scheduler=args.scheduler, save=args.save, rerun=args.rerun)
    if args.json or not console.is_terminal:
        summary = sweep.run_sweep(args.product, **options)
    else:
        with _SweepProgress() as progress:
            summary = sweep.run_sweep(args.product, **options, progress=progress)
    if args.json:
        _print_json(summary)
    else:
        _show_sweep(summary, args.sort)
    return OK if summary["passed"] else NEGATIVE


def _register_sweep(commands: argparse._SubParsersAction) -> None:
    sweep = commands.add_parser(
        "sweep", help="run a solver over many variants of a product's design",
        description="Run the solver once per case, each case an ordinary recorded run with its design values "
        "for that run only; a case whose inputs already have a successful run is reported as cached.")
    _add_product(sweep)
    _add_solver_choice(sweep)
    sweep.add_argument("--vary", action="append", required=True, metavar="KEY=SPEC",
                       help="a design parameter and its values: start:stop:count or a comma list (repeat for more)")
    sweep.add_argument("--method", choices=("grid", "lhs"), default="grid",
                       help="the full factorial (default) or a Latin hypercube of --samples points")
    sweep.add_argument("--samples", type=int, metavar="N", help="how many points a Latin hypercube draws")
    sweep.add_argument("--seed", type=int, default=0, metavar="S", help="the Latin hypercube's seed (default 0)")
    sweep.add_argument("--engine", choices=("local", "dask"), default="local",
                       help="this machine's cores (default) or a Dask cluster")
    sweep.add_argument("--workers", type=int, metavar="N", help="parallel cases (default: the cores)")
    sweep.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler, e.g. tcp://host:8786")
    sweep.add_argument("--save", choices=("prototype", "none"), default="prototype",
                       help="save each case's results with its history entry (default: prototype)")
    sweep.add_argument("--rerun", action="store_true", help="run cases again even when their inputs have run")
    sweep.add_argument("--sort", metavar="KPI", help="order the summary by this KPI")
    _add_json(sweep)
    sweep.set_defaults(func=_sweep)


# --- product ----------------------------------------------------------------------


def _product_show(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    product = product_twin.load_product(args.product)
    if args.json:
        _print_json(product)
        return OK
    if not product:
        console.print(f"[yellow]{args.product} has no default prim: nothing to show.[/]")
        return OK
    design_keys = product.pop("_design_keys")
    usd_file = product.pop("usd_file")
    rows = ((key, value, "yes" if key in design_keys else "") for key, value in product.items())
    console.print(_table(("attribute", "value", "design input"), rows,
                         f"{product_twin.product_name_from_path(usd_file)} ({usd_file})"))
    return OK


def _product_history(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    records = product_twin.load_product_history(args.product, domain=args.domain, solver=args.solver,
                                                since=args.since, last=args.last)
    if args.json:
        _print_json(records)
        return OK
    console.print(f"Results history of {args.product}: {len(records)} entries, oldest first")
    shown_apart = {"raw", "timestamp", "domain", "type", "solver", "run"}
    values = _columns(({key for key in record if key not in shown_apart} for record in records))
    rows = []
    for record in records:
        # Records hold an all-digit run id as a number: show it as written.
        written = dict(field.split("=", 1) for field in record["raw"].split("|")[1:] if "=" in field)
        rows.append((record["timestamp"], record["domain"], record.get("solver"),
                     *(record.get(key) for key in values), written.get("run", "")))
    console.print(_table(("time", "domain", "solver", *values, "run"), rows))
    return OK


def _product_clean(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    preview = product_twin.clean_history(args.product, args.keep_days, dry_run=True)
    if preview["status"] != "ok":
        _fail(preview["error"])
    if args.dry_run:
        if args.json:
            _print_json(preview)
        elif not preview["removed"] and not preview["prototype_cleared"]:
            console.print(f"Nothing to remove: all {preview['before']} entries would be kept.")
        else:
            console.print(f"Would remove {len(preview['removed'])} of {preview['before']} entries"
                          + (" and clear the current results" if preview["prototype_cleared"] else "") + ":")
            for entry in preview["removed"]:
                console.print(f"  {escape(entry)}")
        return OK
    if preview["before"] and not preview["after"] and not args.yes:
        _confirm(f"Remove all {preview['before']} history entries of {args.product}?",
                 f"this would remove all {preview['before']} history entries of {args.product}; "
                 "pass --yes to do so (--dry-run shows them)")
    summary = product_twin.clean_history(args.product, args.keep_days)
    if args.json:
        _print_json(summary)
        return OK
    console.print(
        f"History of {args.product}: {summary['before']} entries before, {summary['after']} after "
        f"({summary['duplicates_removed']} duplicates, {summary['old_removed']} old removed)"
        + ("; current results cleared." if summary["prototype_cleared"] else ".")
    )
    return OK


def _product_set(args: argparse.Namespace) -> int:
    from orvane_platform.runs import solver_run as runner

    changed = runner.set_design_parameters(args.product, _assignments(args.assignments, "KEY=VALUE"))
    if args.json:
        _print_json({name: {"old": old, "new": new} for name, (old, new) in changed.items()})
        return OK
    for name, (old, new) in changed.items():
        console.print(f"{name}: {_text(old)} → {_text(new)}")
    return OK


def _product_diff(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    diff = product_twin.diff_products(args.first, args.second, args.attrs)
    if args.json:
        _print_json(diff)
    else:
        _show_diff("Product diff (first - second)", str(args.first), str(args.second), diff)
    return OK


def _product_benchmark(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    diff = product_twin.diff_against_benchmark(args.product, args.competitor)
    if args.json:
        _print_json(diff)
    else:
        _show_diff(f"{args.product} against {args.competitor}", "own", args.competitor, diff)
    return OK


def _register_product(commands: argparse._SubParsersAction) -> None:
    actions = commands.add_parser("product", help="inspect and change a product").add_subparsers(
        dest="action", required=True, metavar="ACTION")
    show = actions.add_parser("show", help="print the product dictionary")
    _add_product(show)
    _add_json(show)
    show.set_defaults(func=_product_show)

    history = actions.add_parser("history", help="print the results history, oldest first")
    _add_product(history)
    _add_run_filters(history, "entries")
    _add_json(history)
    history.set_defaults(func=_product_history)

    clean = actions.add_parser("clean", help="deduplicate and trim the results history")
    _add_product(clean)
    clean.add_argument("--keep-days", type=int, default=90,
                       help="keep this many days (0 wipes the history and the current results)")
    clean.add_argument("--dry-run", action="store_true", help="show what would be removed, remove nothing")
    clean.add_argument("--yes", action="store_true", help="remove every entry without asking, if it comes to that")
    _add_json(clean)
    clean.set_defaults(func=_product_clean)

    set_ = actions.add_parser("set", help="set design parameters")
    _add_product(set_)
    set_.add_argument("assignments", nargs="+", metavar="KEY=VALUE", help="a design parameter and its value")
    _add_json(set_)
    set_.set_defaults(func=_product_set)

    diff = actions.add_parser("diff", help="compare two products")
    _add_product(diff, "first", "the first product")
    _add_product(diff, "second", "the second product")
    diff.add_argument("--attrs", nargs="+", help="keys to compare (default: every key numeric in both)")
    _add_json(diff)
    diff.set_defaults(func=_product_diff)

    benchmark = actions.add_parser("benchmark", help="compare a product with one of its competitors")
    _add_product(benchmark)
    benchmark.add_argument("competitor", metavar="COMPETITOR", help="a child prim of the product's Competitors prim")
    _add_json(benchmark)
    benchmark.set_defaults(func=_product_benchmark)


# --- runs and the run index -------------------------------------------------------


def _show_runs(runs: list[dict[str, Any]], columns: Sequence[str]) -> None:
    """Runs as a table: the `columns` of each, then one column per KPI."""
    kpis = _columns(run["kpis"] for run in runs)
    headings = {"run_id": "run", "timestamp": "time"}
    console.print(_table((*(headings.get(column, column) for column in columns), *kpis),
                         ((*(run[column] for column in columns), *(run["kpis"].get(kpi) for kpi in kpis))
                          for run in runs)))


def _runs_list(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    runs = run_index.product_runs(args.product, domain=args.domain, solver=args.solver, since=args.since,
                                  last=args.last)
    if args.json:
        _print_json(runs)
        return OK
    console.print(f"Runs of {args.product}: {len(runs)}, oldest first")
    _show_runs(runs, ("run_id", "solver", "domain", "timestamp", "status", "fingerprint"))
    return OK


def _runs_search(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    try:
        runs = run_index.search(args.query, products=args.products, order_by=args.order_by, descending=args.desc,
                                limit=args.limit)
    except run_index.QueryError as error:
        _fail(f"query error at column {error.column}: {error.reason}")
    if args.json:
        _print_json(runs)
        return OK
    console.print(f"{len(runs)} runs match {args.query!r}" if args.query else f"{len(runs)} runs")
    _show_runs(runs, ("run_id", "product", "solver", "domain", "timestamp", "status"))
    return OK


def _runs_show(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    run = run_index.describe_run(args.run, usda_path=args.product)
    if run is None:
        where = args.product or "this workspace"
        _fail(f"no run {args.run!r} of {where} (orvane runs search lists them)")
    if args.json:
        _print_json(run)
        return OK
    verification = run["verification"]
    console.print(f"Run {run['run_id']} of {run['product']} with {run['solver']} ({run['domain']}): "
                  f"{_text(run['status']) or 'no status'}")
    console.print(f"  time {_text(run['timestamp'])}")
    console.print(f"  layer {run['layer']}")
    console.print(f"  image {_text(run['image'])}")
    if verification:
        colour = {"verified": "green", "mismatch": "red"}.get(verification["status"], "yellow")
        console.print(f"  fingerprint {run['fingerprint']} ([{colour}]{verification['status']}[/])")
    else:
        console.print("  no fingerprint")
    if run["kpis"]:
        console.print(_table(("KPI", "value"), run["kpis"].items(), "KPIs"))
    if run["parameters"]:
        fields = ("value", "default", "override", "path")
        console.print(_table(("parameter", *fields),
                             ((name, *([entry.get(key) for key in fields] if isinstance(entry, dict) else [entry]))
                              for name, entry in run["parameters"].items()), "Parameters"))
    if run["results"]:
        console.print(_table(("result", "value"), run["results"].items(), "Results"))
    provenance = {key: value for key, value in run["provenance"].items() if key not in ("case_yaml", "parameters")}
    if provenance:
        console.print(_table(("provenance", "value"), provenance.items(), "Provenance"))
    if run["assumptions"]:
        console.print(_table(("assumption", "value", "unit"),
                             ((name, entry.get("value"), entry.get("unit")) for name, entry in run["assumptions"].items()),
                             "Assumptions"))
    if run["case"] is not None:
        _heading("Case")
        console.print(run["case"], markup=False, highlight=False, end="")
    return NEGATIVE if verification and verification["status"] == "mismatch" else OK


def _runs_diff(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    diff = run_index.diff_runs(args.run_a, args.run_b, changed_only=args.changed_only)
    if args.json:
        _print_json(diff)
        return OK
    first, second = diff["a"]["run_id"], diff["b"]["run_id"]
    for title, name, section in (("Runs", "field", diff["fields"]), ("Parameters", "parameter", diff["parameters"])):
        if section:
            console.print(_table((name, first, second), ((key, *values) for key, values in section.items()), title))
    if diff["kpis"]:
        console.print(_table(("KPI", first, second, "difference"),
                             ((key, *values) for key, values in diff["kpis"].items()), "KPIs (first - second)"))
    if not diff["case_diff"]:
        console.print("The case texts are the same.")
        return OK
    _heading("Case")
    styles = {"+": "green", "-": "red", "@": "cyan"}
    for line in diff["case_diff"].splitlines():
        style = styles.get(line[:1]) if not line.startswith(("+++", "---")) else "bold"
        console.print(f"[{style}]{escape(line)}[/]" if style else escape(line), highlight=False)
    return OK


def _index_rebuild(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    count = run_index.rebuild()
    database = run_index.database_path()
    if args.json:
        _print_json({"runs": count, "database": database})
    else:
        console.print(f"Indexed {count} runs in {database}")
    return OK


def _add_run_id(parser: argparse.ArgumentParser, name: str, help: str) -> None:
    parser.add_argument(name, metavar=name.upper(), help=help).completer = (  # type: ignore[attr-defined]
        _quietly(_run_ids))


def _register_index(commands: argparse._SubParsersAction) -> None:
    runs = commands.add_parser("runs", help="recorded solver runs").add_subparsers(
        dest="action", required=True, metavar="ACTION")
    runs_list = runs.add_parser("list", help="list a product's runs, oldest first")
    _add_product(runs_list)
    _add_run_filters(runs_list, "runs")
    _add_json(runs_list)
    runs_list.set_defaults(func=_runs_list)

    search = runs.add_parser(
        "search", help="search the runs of the workspace",
        description="Search every recorded run of the workspace. QUERY compares fields with = != < <= > >= "
        "in (...) like, joined by and, or, not and parentheses; the fields are product, solver, domain, "
        "status, timestamp, fingerprint, image, run_id, kpi.<name> and param.<name>. Text goes in quotes. "
        "Example: \"kpi.cd < 0.25 and solver = 'sample_aero'\".")
    search.add_argument("query", metavar="QUERY", nargs="?", default="", help="the query (default: every run)")
    search.add_argument("--product", dest="products", action="extend", nargs="+", metavar="P",
                        help="only runs of these products").completer = _quietly(_product_names)  # type: ignore[attr-defined]
    search.add_argument("--order-by", metavar="FIELD", help="order by this field (default: timestamp)")
    search.add_argument("--desc", action="store_true", help="in descending order")
    search.add_argument("--limit", type=_count, metavar="N", help="at most N runs")
    _add_json(search)
    search.set_defaults(func=_runs_search)

    show = runs.add_parser("show", help="print everything recorded of one run, and whether its fingerprint verifies")
    show.add_argument("product", nargs="?", type=_product_path, metavar="PRODUCT",
                      help="look only among this product's runs (default: every product of the workspace)"
                      ).completer = _complete_products  # type: ignore[attr-defined]
    _add_run_id(show, "run", "the run id")
    _add_json(show)
    show.set_defaults(func=_runs_show)

    diff = runs.add_parser("diff", help="compare two runs: KPIs, parameters and case text")
    _add_run_id(diff, "run_a", "the first run")
    _add_run_id(diff, "run_b", "the second run")
    diff.add_argument("--changed-only", action="store_true", help="show only what differs")
    _add_json(diff)
    diff.set_defaults(func=_runs_diff)

    index = commands.add_parser("index", help="the workspace's run index").add_subparsers(
        dest="action", required=True, metavar="ACTION")
    rebuild = index.add_parser("rebuild", help="read every run file again into the run index")
    _add_json(rebuild)
    rebuild.set_defaults(func=_index_rebuild)


# --- provenance -------------------------------------------------------------------


def _readable_file(path: str, what: str) -> str:
    file = Path(path)
    if not file.exists():
        _fail(f"{what}: no such file: {path}")
    if not file.is_file():
        _fail(f"{what}: not a file: {path}")
    try:
        with file.open("rb"):
            pass
    except OSError as error:
        _fail(f"{what}: cannot read {path}: {error.strerror}")
    return path


def _text_file(path: str, what: str) -> str:
    try:
        return Path(_readable_file(path, what)).read_text(encoding="utf-8")
    except UnicodeDecodeError:
        _fail(f"{what} is not UTF-8 text: {path}")


def _json_file(path: str, what: str) -> Any:
    try:
        return json.loads(_text_file(path, what))
    except json.JSONDecodeError as error:
        _fail(f"{what} is not JSON: {path}: {error}")


def _fingerprint(args: argparse.Namespace) -> int:
    import yaml

    from orvane_platform.core import provenance

    case_yaml = _text_file(args.case, "--case")
    if not args.allow_raw_case:
        try:
            yaml.safe_load(case_yaml)
        except yaml.YAMLError as error:
            _fail(f"--case is not valid YAML: {args.case}: {' '.join(str(error).split())} "
                  "(--allow-raw-case fingerprints it as it is)")
    geometry = [_readable_file(path, "--geometry") for path in args.geometry or ()]
    mesh_cache = "none"
    if args.mesh_cache:
        mesh_cache = "sha256:" + provenance._sha256_file(_readable_file(args.mesh_cache, "--mesh-cache"))
    parameters = None
    if args.params:
        parameters = _json_file(args.params, "--params")
        if not isinstance(parameters, dict):
            _fail(f"--params must hold a JSON object, not {type(parameters).__name__}: {args.params}")
    record = provenance.build_provenance_record(
        args.image, case_yaml, geometry or None, parameters=parameters,
        solver_version=args.solver_version, solver_cert=args.solver_cert, mesh_cache=mesh_cache,
    )
    _print_json(record)
    return OK


def _verify(args: argparse.Namespace) -> int:
    from orvane_platform.core import provenance

    verdict = provenance.verify_provenance_record(_json_file(args.record, "the record"))
    if args.json:
        _print_json(verdict)
    else:
        colour = {"verified": "green", "mismatch": "red"}.get(verdict["status"], "yellow")
        console.print(f"[{colour}]{verdict['status']}[/]")
        console.print(f"  recorded:   {verdict['recorded']}")
        console.print(f"  recomputed: {verdict['recomputed']}")
        if "error" in verdict:
            console.print(f"  error: {escape(verdict['error'])}")
    return OK if verdict["status"] == "verified" else NEGATIVE


def _register_provenance(commands: argparse._SubParsersAction) -> None:
    fingerprint = commands.add_parser("fingerprint", help="build the provenance record of a run's inputs (JSON)")
    fingerprint.add_argument("--image", required=True, help="the solver's container image")
    fingerprint.add_argument("--case", required=True, help="the case file (YAML) sent to the solver")
    fingerprint.add_argument("--allow-raw-case", action="store_true", help="accept a case that is not valid YAML")
    fingerprint.add_argument("--geometry", nargs="+", help="geometry files used by the run")
    fingerprint.add_argument("--mesh-cache", help="the mesh-cache file the run reused")
    fingerprint.add_argument("--params", help="the parameter snapshot (JSON)")
    fingerprint.add_argument("--solver-version", default="", help="the solver's version")
    fingerprint.add_argument("--solver-cert", default="missing", help="the solver's certificate status")
    fingerprint.add_argument("--json", action="store_true", help="accepted for uniformity: the record is JSON")
    fingerprint.set_defaults(func=_fingerprint)

    verify = commands.add_parser("verify", help="recompute a provenance record's fingerprint")
    verify.add_argument("record", metavar="RECORD", help="a provenance record (JSON)")
    _add_json(verify)
    verify.set_defaults(func=_verify)


# --- gates, releases --------------------------------------------------------------


def _gates(args: argparse.Namespace) -> int:
    from orvane_platform.core.product import Product

    product = Product(args.product)
    evaluation = product.evaluate_gates(results=product.latest_results())
    if args.json:
        _print_json(evaluation)
    else:
        _show_gates(evaluation, f"Gates of {product.name}")
    return OK if evaluation["all_passed"] else NEGATIVE


def _release_freeze(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    frozen = releases.freeze_release(args.product, args.version, args.notes, force=args.force)
    if frozen["status"] != "frozen":
        if "already exists" in frozen["error"]:
            _fail(f"release {args.version!r} of {args.product} already exists; --force replaces it")
        _fail(frozen["error"])
    if args.json:
        _print_json(frozen)
    else:
        console.print(f"Release {frozen['version']} frozen at {frozen['path']} "
                      f"({frozen['attributes_captured']} attributes, commit {frozen['git_commit'] or 'none'})")
    return OK


def _release_list(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    found = releases.list_releases(args.product)
    if args.json:
        _print_json(found)
        return OK
    console.print(_table(("version", "time", "commit", "validation", "notes"),
                         ((release["version"], release["timestamp"], release["git_commit"],
                           release["validation_summary"], release["notes"]) for release in found),
                         f"Releases of {args.product}"))
    return OK


def _release_show(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    release = releases.read_release(args.product, args.version)
    if not release:
        _fail(f"no release {args.version!r} of {args.product}")
    if args.json:
        _print_json(release)
        return OK
    for key, value in release["metadata"].items():
        console.print(f"{key}: {_text(value)}")
    console.print(_table(("attribute", "value"), release["attributes"].items()))
    return OK


def _release_diff(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    diff = releases.diff_releases(args.product, args.first, args.second)
    if args.json:
        _print_json(diff)
    else:
        _show_diff(f"Release {args.first} against {args.second}", args.first, args.second, diff)
    return OK


def _add_version(parser: argparse.ArgumentParser, name: str, help: str) -> None:
    parser.add_argument(name, metavar=name.upper(), help=help).completer = _quietly(_release_versions)  # type: ignore[attr-defined]


def _register_records(commands: argparse._SubParsersAction) -> None:
    gates = commands.add_parser("gates", help="gate the latest result of each domain against the targets")
    _add_product(gates)
    _add_json(gates)
    gates.set_defaults(func=_gates)

    release = commands.add_parser("release", help="frozen releases of a product").add_subparsers(
        dest="action", required=True, metavar="ACTION")
    freeze = release.add_parser("freeze", help="freeze the product's current state")
    _add_product(freeze)
    freeze.add_argument("version", metavar="VERSION", help="the release name, for example v0.1")
    freeze.add_argument("--notes", default="", help="release notes")
    freeze.add_argument("--force", action="store_true", help="replace an existing release")
    _add_json(freeze)
    freeze.set_defaults(func=_release_freeze)
    release_list = release.add_parser("list", help="list the releases, oldest first")
    _add_product(release_list)
    _add_json(release_list)
    release_list.set_defaults(func=_release_list)
    release_show = release.add_parser("show", help="print one release")
    _add_product(release_show)
    _add_version(release_show, "version", "the release name")
    _add_json(release_show)
    release_show.set_defaults(func=_release_show)
    release_diff = release.add_parser("diff", help="compare two releases (first minus second)")
    _add_product(release_diff)
    _add_version(release_diff, "first", "the first release")
    _add_version(release_diff, "second", "the second release")
    _add_json(release_diff)
    release_diff.set_defaults(func=_release_diff)


# --- solvers and the host ---------------------------------------------------------


def _shown_record(record: dict[str, Any]) -> dict[str, Any]:
    """A registry record as shown: its certificate status, an unknown digest as missing."""
    from orvane_platform.core import solver_certs

    return record | {"image_digest": record.get("image_digest") or None,
                     "certificate": solver_certs.verify_solver_cert(record)}


def _solver_list(args: argparse.Namespace) -> int:
    from orvane_platform.core import solver

    rows = [_shown_record(row) for row in solver.list_solvers()]
    if args.json:
        _print_json(rows)
        return OK
    registry = solver.registry_dir()
    console.print(_table(
        ("alias", "name", "domain", "kind", "version", "image", "added", "certificate"),
        ((row["alias"], row["name"], row["domain"], row["kind"], row["version"], row["image"],
          row["added_at"] or "by hand", _styled(row["certificate"], CERT_STYLES)) for row in rows),
        f"Solver registry ({registry})"))
    if not rows:
        console.print(f"No solvers in {registry}. Register one with 'orvane solver add ALIAS --from FOLDER', "
                      "or name the registry folder ('solvers' in orvane.yaml, or ORVANE_SOLVERS_DIR).")
    return OK


def _solver_add(args: argparse.Namespace) -> int:
    from orvane_platform.core import provenance, solver, solver_certs

    if solver.get_solver_record(args.alias) and not args.force:
        _confirm(f"Solver {args.alias!r} is registered already. Register it again?",
                 f"solver {args.alias!r} is registered already; --force registers it again")
    image = args.image or solver.source_image(args.source)
    digest = provenance.get_image_digest(image) or ""
    cert = solver_certs.sign_solver_cert(args.alias, image, digest)
    record = _shown_record(solver.register_solver(args.alias, args.source, image, image_digest=digest, cert=cert))
    if args.json:
        _print_json(record)
    else:
        console.print(f"Registered {record['alias']} ({record['image']}, digest "
                      f"{record['image_digest'] or 'unknown'}): certificate "
                      f"{_styled(record['certificate'], CERT_STYLES)}")
    return OK


def _llm_hint(error: Exception) -> str:
    """What to change when the LLM is unavailable, in the settings' own names."""
    from orvane_platform.llm.config import LLMConfig

    model = LLMConfig().model
    if str(error).startswith("Model "):
        return (f"Pull the model with 'ollama pull {model}', or name another with ORVANE_LLM_MODEL "
                "(llm_model in orvane.yaml).")
    return "Point ORVANE_OLLAMA_URL (ollama_url in orvane.yaml) at a running Ollama server."


def _doctor(args: argparse.Namespace) -> int:
    from orvane_platform.core import capacity_gate, solver, solver_certs
    from orvane_platform.llm import local_llm
    from orvane_platform.llm.config import LLMConfig

    settings = workspace.settings()
    hardware = capacity_gate.HardwareProbe.probe()
    host = {"ram_mb": hardware.ram_mb, "vram_mb": hardware.vram_mb, "cpu_cores": hardware.cpu_cores,
            "arch": hardware.arch, "disk_mb": hardware.disk_mb}
    solvers = []
    for alias in solver.all_solver_aliases():
        verdict = capacity_gate.gate_solver_resources(alias, hw=hardware)
        certificate = solver_certs.verify_solver_cert(solver.get_solver_record(alias) or {})
        solvers.append({"alias": alias, "resources": verdict.severity, "messages": list(verdict.messages),
                        "certificate": certificate})
    config = LLMConfig()
    llm = {"model": config.model, "url": config.base_url, "ready": True, "error": None, "hint": None}
    try:
        local_llm.OllamaClient(config).health_check()
    except local_llm.LLMUnavailableError as error:
        llm |= {"ready": False, "error": str(error), "hint": _llm_hint(error)}
    failed = not llm["ready"] or any(entry["certificate"] == "unverified" for entry in solvers)
    if args.json:
        _print_json({"settings": settings, "host": host, "solvers": solvers, "llm": llm, "ok": not failed})
        return NEGATIVE if failed else OK

    console.print(_table(("setting", "value", "from", "variable"),
                         ((key, entry["value"], entry["source"], entry["variable"]) for key, entry in settings.items()),
                         "Settings"))
    console.print(_table(("resource", "available"), (
        ("RAM", f"{hardware.ram_mb} MB"),
        ("GPU memory", "none detected" if hardware.vram_mb is None else f"{hardware.vram_mb} MB"),
        ("CPU cores", str(hardware.cpu_cores)),
        ("architecture", hardware.arch),
        ("free disk", f"{hardware.disk_mb} MB")), "This host"))
    for entry in solvers:
        colour = "green" if entry["resources"] == "pass" else "yellow"
        console.print(f"{entry['alias']}: [{colour}]{entry['resources']}[/], certificate "
                      f"{_styled(entry['certificate'], CERT_STYLES)}")
        for line in entry["messages"]:
            console.print(escape(line))
    if not solvers:
        console.print(f"No solvers registered in {solver.registry_dir()}.")
    console.print(f"LLM: model {config.model} on {config.base_url}")
    if llm["ready"]:
        console.print("[green]LLM ready[/]")
    else:
        console.print(f"[yellow]{escape(llm['error'])}[/]")
        console.print(llm["hint"])
    return NEGATIVE if failed else OK


def _register_host(commands: argparse._SubParsersAction) -> None:
    solvers = commands.add_parser("solver", help="the solver registry").add_subparsers(
        dest="action", required=True, metavar="ACTION")
    listing = solvers.add_parser("list", help="list the registered solvers with their certificate status")
    _add_json(listing)
    listing.set_defaults(func=_solver_list)
    add = solvers.add_parser("add", help="register a solver from a folder holding its solver.yaml")
    add.add_argument("alias", metavar="ALIAS", help="the name to register the solver under")
    add.add_argument("--from", dest="source", required=True, help="the folder with solver.yaml and kpi_spec.yaml")
    add.add_argument("--image", help="the solver's container image (default: the one solver.yaml names)")
    add.add_argument("--force", action="store_true", help="register again over an existing alias")
    _add_json(add)
    add.set_defaults(func=_solver_add)

    doctor = commands.add_parser(
        "doctor", help="the settings in effect, this host's resources, every solver's verdict, the LLM")
    _add_json(doctor)
    doctor.set_defaults(func=_doctor)


# --- charts and reports -----------------------------------------------------------


def _plot_against(args: argparse.Namespace) -> int:
    from orvane_platform.views import charts

    if not args.kpis or len(args.kpis) != 1:
        _fail("argument --against: name one KPI with --kpi")
    if not args.output:
        _fail("argument --against: give the chart's file with -o FILE.png or FILE.svg")
    written = charts.design_chart(args.product, args.kpis[0], args.against, args.output)
    if args.json:
        _print_json(written)
    else:
        console.print(f"Chart of {escape(args.kpis[0])} against {escape(args.against)} over {written['points']} "
                      f"runs written to {escape(str(written['path']))}")
    return OK


def _plot(args: argparse.Namespace) -> int:
    from orvane_platform.views import charts

    if args.against:
        return _plot_against(args)
    kpis = args.kpis or charts.charted_kpis(args.product)
    if not kpis:
        _fail(f"{args.product} has no results in its history to plot (orvane run adds some)")
    if args.output and len(kpis) > charts.MAX_KPIS:
        _fail(f"a chart file shows at most {charts.MAX_KPIS} KPIs, not {len(kpis)}: choose them with --kpi")
    if args.output:
        written = charts.kpi_chart(args.product, kpis, args.output)
        if args.json:
            _print_json(written)
        else:
            console.print(f"Chart of {', '.join(written['points'])} written to {escape(str(written['path']))}")
    elif args.json:
        _print_json(charts.kpi_series(args.product, kpis))
    else:
        print(charts.kpi_terminal(args.product, kpis, color=sys.stdout.isatty()))
    return OK


def _report(args: argparse.Namespace) -> int:
    from orvane_platform.views import report

    output = args.output or f"{args.product.parent.name}-report.html"
    written = report.write_report(args.product, output)
    if args.json:
        _print_json(written)
    else:
        console.print(f"Report of {escape(written['product'])} written to {escape(str(written['path']))}: "
                      f"{len(written['kpis'])} KPI charts, {len(written['releases'])} releases, "
                      f"latest run {written['provenance'] or 'none'}")
    return OK


def _register_pictures(commands: argparse._SubParsersAction) -> None:
    plot = commands.add_parser(
        "plot", help="draw KPIs over time with their target band and the releases",
        description="Draw each KPI's results over time with its target band (min to max), its "
        "nominal and a line at every release: in the terminal, or to a PNG or SVG file.")
    _add_product(plot)
    plot.add_argument("--kpi", dest="kpis", action="append", metavar="NAME",
                      help="a KPI to draw; repeat for more (default: every KPI with results)")
    plot.add_argument("--against", metavar="PARAM",
                      help="draw the --kpi against this design value over the product's runs (a sweep's cases)")
    plot.add_argument("-o", "--output", metavar="FILE", help="write FILE.png or FILE.svg instead")
    _add_json(plot)
    plot.set_defaults(func=_plot)

    report = commands.add_parser(
        "report", help="write a self-contained HTML report of a product",
        description="One HTML file that opens offline in any browser: design parameters, gates, "
        "KPI trends, releases and their differences, the latest run's provenance, competitors.")
    _add_product(report)
    report.add_argument("-o", "--output", metavar="FILE.html",
                        help="where to write it (default: <product>-report.html here)")
    _add_json(report)
    report.set_defaults(func=_report)


# --- the LLM and the agent --------------------------------------------------------


def _llm_unavailable(error: Exception, as_json: bool = False) -> int:
    if as_json:
        _print_json({"error": str(error), "hint": _llm_hint(error)})
    else:
        console.print(f"[red]{escape(str(error))}[/]")
        console.print(_llm_hint(error))
    return NEGATIVE


def _chat(args: argparse.Namespace) -> int:
    from orvane_platform.llm import local_llm
    from orvane_platform.llm.config import LLMConfig

    client = local_llm.OllamaClient(LLMConfig())
    try:
        reply = client.chat([{"role": "user", "content": args.prompt}])
    except local_llm.LLMUnavailableError as error:
        return _llm_unavailable(error, as_json=args.json)
    if args.json:
        _print_json({"model": client.model, "content": reply.content})
    else:
        print(reply.content)
    return OK


def _agent(args: argparse.Namespace) -> int:
    from orvane_platform.agent_tools import aero, dynamics
    from orvane_platform.assistant import session as agent_loop
    from orvane_platform.core import solver
    from orvane_platform.core.agent import AgentContext
    from orvane_platform.core.product import Product
    from orvane_platform.llm import local_llm
    from orvane_platform.llm.config import LLMConfig

    client = local_llm.OllamaClient(LLMConfig())
    try:
        client.health_check()
    except local_llm.LLMUnavailableError as error:
        return _llm_unavailable(error)
    product = Product(args.product)
    context = AgentContext(platform=product, vname=product.name)
    aero_solvers = [{"alias": row["alias"], "name": row["name"], "kind": row["kind"], "gpu": row["gpu"]}
                    for row in solver.list_solvers() if row["domain"] == "aero"]
    tools = aero.register(context, aero_solvers) | dynamics.register(context)
    system_prompt = (f"You assist the engineers of the product {product.name}. Use the tools to run "
                     "simulations and assess them against the design targets; answer briefly.")

    def show(kind: str, text: str) -> None:
        if kind == "assistant":
            console.print(escape(text))
        else:
            console.print(f"[dim]{kind}: {escape(text)}[/]")

    console.print(f"Agent on {product.name} with {client.model}; an empty line, Ctrl-D or Ctrl-C ends the session.")
    try:
        agent_loop.converse(client, tools, system_prompt, lambda: console.input("you> "), show)
    except local_llm.LLMUnavailableError as error:
        _llm_unavailable(error)
    if agent_loop.session_results(context):
        try:
            _confirm("Save this session's results to the product?", "not saved: no terminal to confirm on")
        except InputError as reason:
            console.print(f"Results {reason}.")
            return OK
        agent_loop.save_session(context)
    return OK


def _register_llm(commands: argparse._SubParsersAction) -> None:
    agent = commands.add_parser("agent", help="talk to the LLM agent about a product, with its tools")
    _add_product(agent)
    agent.set_defaults(func=_agent)

    llm = commands.add_parser("llm", help="the local LLM").add_subparsers(dest="action", required=True,
                                                                          metavar="ACTION")
    chat = llm.add_parser("chat", help="send one chat turn and print the reply")
    chat.add_argument("prompt", metavar="PROMPT", help="what to ask")
    _add_json(chat)
    chat.set_defaults(func=_chat)


# --- the demo ---------------------------------------------------------------------

DEMO_STEPS = 10


def _step(number: int, title: str, total: int) -> None:
    _heading(f"Step {number}/{total}  {title}")


def _demo_cfd(path: Path, total: int) -> None:
    from orvane_platform.runs import solver_run as runner

    _step(total, "One real CFD run: the Ahmed body in OpenFOAM (coarse mesh; minutes on a small machine)", total)
    with _RunProgress(f"Running openfoam_ahmed on {path.parent.name}") as progress:
        summary = runner.run_product(path, solver="openfoam_ahmed", progress=progress)
    _show_run(summary)
    if summary["status"] != "success":
        raise RuntimeError(f"the CFD run failed: {summary['error']}")
    _product_benchmark(argparse.Namespace(product=path, competitor="ahmed1984_slant25", json=False))


def _demo(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin, releases, save_flow
    from orvane_platform.runs import solver_run as runner
    from orvane_platform.setup import demo
    from orvane_platform.core.product import Product

    prepared = demo.prepare_workspace(args.dir)
    total = DEMO_STEPS + 1 if args.cfd else DEMO_STEPS
    # The rest of this process works in the demo's workspace, whatever was set before.
    workspace.activate(prepared["workspace"], override_environment=True)
    path = prepared["product"]
    shown = argparse.Namespace(product=path, json=False, domain=None, solver=None, since=None, last=None)

    _step(1, f"A fresh copy of the sample product in {prepared['workspace']}", total)
    console.print(f"Settings in {prepared['workspace_file']}: commands run in this folder use its registry and products.")
    _product_show(shown)
    _solver_list(shown)

    _step(2, "Run the sample aero solver: resources checked, run recorded, results gated", total)
    first = runner.run_product(path, domain="aero", save="none")
    _show_run(first)
    if first["status"] != "success":
        raise RuntimeError(f"the sample solver failed: {first['error']}")

    _step(3, "Save through the save flow: results, then design-intent targets from the run", total)
    save_flow.prompt_save_usd(Product(path), {"aero": first["result"]}, all_gates_passed=first["gates"]["all_passed"])
    _step(4, "Tag the first run as the baseline", total)
    product_twin.tag_baseline(path, "aero", first["kpis"])
    console.print("Baseline tagged.")
    _step(5, "Freeze release v0.1", total)
    frozen = releases.freeze_release(path, "v0.1", "Demo: first sample aero run", force=True)
    console.print(f"{frozen['path']} ({frozen['attributes_captured']} attributes)")
    _step(6, "History and runs", total)
    _product_history(shown)
    _runs_list(shown)

    _step(7, "A design change, run and saved as the baseline: roofline slope 14.5° → 18°", total)
    second = runner.run_product(path, domain="aero", parameters={"roofline_slope_deg": 18.0}, baseline=True)
    _show_run(second)
    _step(8, "Gates of the product's latest results", total)
    _gates(shown)
    _step(9, "Freeze release v0.2", total)
    releases.freeze_release(path, "v0.2", "Demo: steeper roofline", force=True)
    _step(10, "What changed between the releases", total)
    _release_diff(argparse.Namespace(product=path, first="v0.2", second="v0.1", json=False))
    if args.cfd:
        _demo_cfd(prepared["ahmed"], total)
    console.print(f"\nNext: cd {prepared['workspace']} and try 'orvane run sedan --domain aero' or 'orvane doctor'.")
    return OK


def _completion(args: argparse.Namespace) -> int:
    print(argcomplete.shellcode(["orvane"], shell=args.shell))
    return OK


def _register_setup(commands: argparse._SubParsersAction) -> None:
    walk_through = commands.add_parser("demo", help="walk through the sample product in a demo workspace")
    walk_through.add_argument("--dir", default="orvane-demo",
                              help="workspace folder for the demo (default: ./orvane-demo)")
    walk_through.add_argument("--cfd", action="store_true",
                              help="end with one real CFD run of the Ahmed body in OpenFOAM (minutes)")
    walk_through.set_defaults(func=_demo)

    completion = commands.add_parser(
        "completion", help="print the shell completion script",
        description="Print the completion script for a shell, for example: "
        "eval \"$(orvane completion bash)\" in ~/.bashrc.")
    completion.add_argument("shell", metavar="SHELL", choices=("bash", "zsh"), help="bash or zsh")
    completion.set_defaults(func=_completion)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="orvane", description="Engineering digital twins of vehicle programmes.",
                     epilog="Exit status: 0 success; 1 a negative verdict (gate FAIL, failed run, verify "
                     "mismatch, failing doctor check); 2 a usage or input error.")
    parser.add_argument("--version", action="version", version=f"orvane {metadata.version('orvane_platform')}")
    parser.add_argument("--debug", action="store_true", help="show the full traceback of an error")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for register in (_register_setup, _register_run, _register_sweep, _register_product, _register_index,
                     _register_records, _register_pictures, _register_provenance, _register_host, _register_llm):
        register(commands)
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
        _report_error(_error_text(error))
        return INPUT_ERROR
