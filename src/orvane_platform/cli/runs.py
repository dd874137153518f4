"""`orvane runs` and `orvane index`: recorded runs, searched, shown and compared."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import (
    OK,
    add_json,
    add_product,
    add_run_filters,
    add_run_id,
    complete_products,
    count,
    fail,
    product_names,
    product_path,
    quietly,
    verdict,
)
from orvane_platform.cli.printing import VERIFICATION_STYLES, columns, console, emit, heading, table, text


def _show_runs(runs: list[dict[str, Any]], fields: Sequence[str]) -> None:
    """Runs as a table: the `fields` of each, then one column per KPI."""
    kpis = columns(run["kpis"] for run in runs)
    headings = {"run_id": "run", "timestamp": "time"}
    console.print(
        table(
            (*(headings.get(field, field) for field in fields), *kpis),
            ((*(run[field] for field in fields), *(run["kpis"].get(kpi) for kpi in kpis)) for run in runs),
        )
    )


def show_product_runs(runs: list[dict[str, Any]], *, path: Path) -> None:
    console.print(f"Runs of {path}: {len(runs)}, oldest first")
    shown = [run | {"saved": "yes" if run["saved"] else "no"} for run in runs]
    _show_runs(shown, ("run_id", "solver", "domain", "timestamp", "status", "saved", "fingerprint"))


def _runs_list(args: argparse.Namespace) -> int:
    from orvane_platform.runs import twin_state

    runs = twin_state.recorded_runs(
        args.product, domain=args.domain, solver=args.solver, since=args.since, last=args.last
    )
    emit(args, runs, show_product_runs, path=args.product)
    return OK


def _show_found(runs: list[dict[str, Any]], *, query: str) -> None:
    console.print(f"{len(runs)} runs match {query!r}" if query else f"{len(runs)} runs")
    _show_runs(runs, ("run_id", "product", "solver", "domain", "timestamp", "status"))


def _runs_search(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    try:
        runs = run_index.search(
            args.query, products=args.products, order_by=args.order_by, descending=args.desc, limit=args.limit
        )
    except run_index.QueryError as error:
        fail(f"query error at column {error.column}: {error.reason}")
    emit(args, runs, _show_found, query=args.query)
    return OK


def _show_run(run: dict[str, Any]) -> None:
    verification = run["verification"]
    console.print(
        f"Run {run['run_id']} of {run['product']} with {run['solver']} ({run['domain']}): "
        f"{text(run['status']) or 'no status'}"
    )
    console.print(f"  time {text(run['timestamp'])}")
    console.print(f"  layer {run['layer']}")
    console.print(f"  image {text(run['image'])}")
    if verification:
        colour = VERIFICATION_STYLES.get(verification["status"], "yellow")
        console.print(f"  fingerprint {run['fingerprint']} ([{colour}]{verification['status']}[/])")
    else:
        console.print("  no fingerprint")
    if run["kpis"]:
        console.print(table(("KPI", "value"), run["kpis"].items(), "KPIs"))
    if run["parameters"]:
        fields = ("value", "default", "override", "path")
        rows = (
            (name, *([entry.get(key) for key in fields] if isinstance(entry, dict) else [entry]))
            for name, entry in run["parameters"].items()
        )
        console.print(table(("parameter", *fields), rows, "Parameters"))
    if run["results"]:
        console.print(table(("result", "value"), run["results"].items(), "Results"))
    provenance = {key: value for key, value in run["provenance"].items() if key not in ("case_yaml", "parameters")}
    if provenance:
        console.print(table(("provenance", "value"), provenance.items(), "Provenance"))
    if run["assumptions"]:
        rows = ((name, entry.get("value"), entry.get("unit")) for name, entry in run["assumptions"].items())
        console.print(table(("assumption", "value", "unit"), rows, "Assumptions"))
    if run["case"] is not None:
        heading("Case")
        console.print(run["case"], markup=False, highlight=False, end="")


def _runs_show(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    run = run_index.describe_run(args.run, usda_path=args.product)
    if run is None:
        where = args.product or "this workspace"
        fail(f"no run {args.run!r} of {where} (orvane runs search lists them)")
    emit(args, run, _show_run)
    verification = run["verification"]
    return verdict(not verification or verification["status"] != "mismatch")


def _show_runs_diff(diff: dict[str, Any]) -> None:
    first, second = diff["a"]["run_id"], diff["b"]["run_id"]
    for title, name, section in (("Runs", "field", diff["fields"]), ("Parameters", "parameter", diff["parameters"])):
        if section:
            console.print(table((name, first, second), ((key, *values) for key, values in section.items()), title))
    if diff["kpis"]:
        rows = ((key, *values) for key, values in diff["kpis"].items())
        console.print(table(("KPI", first, second, "difference"), rows, "KPIs (first - second)"))
    if not diff["case_diff"]:
        console.print("The case texts are the same.")
        return
    heading("Case")
    styles = {"+": "green", "-": "red", "@": "cyan"}
    for line in diff["case_diff"].splitlines():
        style = styles.get(line[:1]) if not line.startswith(("+++", "---")) else "bold"
        console.print(f"[{style}]{escape(line)}[/]" if style else escape(line), highlight=False)


def _runs_diff(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    emit(args, run_index.diff_runs(args.run_a, args.run_b, changed_only=args.changed_only), _show_runs_diff)
    return OK


def _show_indexed(indexed: dict[str, Any]) -> None:
    console.print(f"Indexed {indexed['runs']} runs in {indexed['database']}")


def _index_rebuild(args: argparse.Namespace) -> int:
    from orvane_platform.runs import index as run_index

    emit(args, {"runs": run_index.rebuild(), "database": run_index.database_path()}, _show_indexed)
    return OK


def register(commands: argparse._SubParsersAction) -> None:
    runs = commands.add_parser("runs", help="recorded solver runs").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    runs_list = runs.add_parser("list", help="list a product's runs, oldest first")
    add_product(runs_list)
    add_run_filters(runs_list, "runs")
    add_json(runs_list)
    runs_list.set_defaults(func=_runs_list)

    search = runs.add_parser(
        "search",
        help="search the runs of the workspace",
        description="Search every recorded run of the workspace. QUERY compares fields with = != < <= > >= "
        "in (...) like, joined by and, or, not and parentheses; the fields are product, solver, domain, "
        "status, timestamp, fingerprint, image, run_id, kpi.<name> and param.<name>. Text goes in quotes. "
        "Example: \"kpi.cd < 0.25 and solver = 'sample_aero'\".",
    )
    search.add_argument("query", metavar="QUERY", nargs="?", default="", help="the query (default: every run)")
    search.add_argument(
        "--product", dest="products", action="extend", nargs="+", metavar="P", help="only runs of these products"
    ).completer = quietly(product_names)  # type: ignore[attr-defined]
    search.add_argument("--order-by", metavar="FIELD", help="order by this field (default: timestamp)")
    search.add_argument("--desc", action="store_true", help="in descending order")
    search.add_argument("--limit", type=count, metavar="N", help="at most N runs")
    add_json(search)
    search.set_defaults(func=_runs_search)

    show = runs.add_parser("show", help="print everything recorded of one run, and whether its fingerprint verifies")
    show.add_argument(
        "product",
        nargs="?",
        type=product_path,
        metavar="PRODUCT",
        help="look only among this product's runs (default: every product of the workspace)",
    ).completer = complete_products  # type: ignore[attr-defined]
    add_run_id(show, "run", "the run id")
    add_json(show)
    show.set_defaults(func=_runs_show)

    diff = runs.add_parser("diff", help="compare two runs: KPIs, parameters and case text")
    add_run_id(diff, "run_a", "the first run")
    add_run_id(diff, "run_b", "the second run")
    diff.add_argument("--changed-only", action="store_true", help="show only what differs")
    add_json(diff)
    diff.set_defaults(func=_runs_diff)

    index = commands.add_parser("index", help="the workspace's run index").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    rebuild = index.add_parser("rebuild", help="read every run file again into the run index")
    add_json(rebuild)
    rebuild.set_defaults(func=_index_rebuild)
