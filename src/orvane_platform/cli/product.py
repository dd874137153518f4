"""`orvane product`: show, history, clean, set, diff and benchmark."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import OK, add_json, add_product, add_run_filters, assignments, confirm, fail
from orvane_platform.cli.printing import columns, console, emit, show_diff, table, text


def show_product(product: dict[str, Any], *, path: Path) -> None:
    if not product:
        console.print(f"[yellow]{path} has no default prim: nothing to show.[/]")
        return
    attributes = dict(product)
    design_keys = attributes.pop("_design_keys")
    usd_file = attributes.pop("usd_file")
    stale = attributes.pop("_stale", {})
    headings = ("attribute", "value", "design input", *(("stale since its run",) if stale else ()))
    rows = (
        (key, value, "yes" if key in design_keys else "", *((escape(stale.get(key, "")),) if stale else ()))
        for key, value in attributes.items()
    )
    console.print(table(headings, rows, f"{Path(usd_file).parent.name} ({usd_file})"))


def _product_show(args: argparse.Namespace) -> int:
    from orvane_platform.runs import twin_state

    emit(args, twin_state.describe_product(args.product), show_product, path=args.product)
    return OK


def show_history(records: list[dict[str, Any]], *, path: Path) -> None:
    console.print(f"Results history of {path}: {len(records)} entries, oldest first")
    shown_apart = {"raw", "timestamp", "domain", "type", "solver", "run", "run_id"}
    values = columns({key for key in record if key not in shown_apart} for record in records)
    rows = []
    for record in records:
        # Records hold an all-digit run id as a number: show it as written.
        written = dict(field.split("=", 1) for field in record["raw"].split("|")[1:] if "=" in field)
        rows.append(
            (
                record["timestamp"],
                record["domain"],
                record.get("solver"),
                *(record.get(key) for key in values),
                written.get("run_id") or written.get("run", ""),
            )
        )
    console.print(table(("time", "domain", "solver", *values, "run"), rows))


def _product_history(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    records = product_twin.load_product_history(
        args.product, domain=args.domain, solver=args.solver, since=args.since, last=args.last
    )
    emit(args, records, show_history, path=args.product)
    return OK


def _show_preview(preview: dict[str, Any]) -> None:
    if not preview["removed"] and not preview["prototype_cleared"]:
        console.print(f"Nothing to remove: all {preview['before']} entries would be kept.")
        return
    cleared = " and clear the current results" if preview["prototype_cleared"] else ""
    console.print(f"Would remove {len(preview['removed'])} of {preview['before']} entries{cleared}:")
    for entry in preview["removed"]:
        console.print(f"  {escape(entry)}")


def _show_cleaned(summary: dict[str, Any], *, path: Path) -> None:
    console.print(
        f"History of {path}: {summary['before']} entries before, {summary['after']} after "
        f"({summary['duplicates_removed']} duplicates, {summary['old_removed']} old removed)"
        + ("; current results cleared." if summary["prototype_cleared"] else ".")
    )


def _product_clean(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    preview = product_twin.clean_history(args.product, args.keep_days, dry_run=True)
    if preview["status"] != "ok":
        fail(preview["error"])
    if args.dry_run:
        emit(args, preview, _show_preview)
        return OK
    if preview["before"] and not preview["after"] and not args.yes:
        confirm(
            f"Remove all {preview['before']} history entries of {args.product}?",
            f"this would remove all {preview['before']} history entries of {args.product}; "
            "pass --yes to do so (--dry-run shows them)",
        )
    emit(args, product_twin.clean_history(args.product, args.keep_days), _show_cleaned, path=args.product)
    return OK


def _show_changed(changed: dict[str, dict[str, Any]]) -> None:
    for name, values in changed.items():
        console.print(f"{name}: {text(values['old'])} → {text(values['new'])}")


def _product_set(args: argparse.Namespace) -> int:
    from orvane_platform.runs import solver_run

    changed = solver_run.set_design_parameters(args.product, assignments(args.assignments, "KEY=VALUE"))
    emit(args, {name: {"old": old, "new": new} for name, (old, new) in changed.items()}, _show_changed)
    return OK


def _product_diff(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    diff = product_twin.diff_products(args.first, args.second, args.attrs)
    emit(args, diff, show_diff, title="Product diff (first - second)", first=str(args.first), second=str(args.second))
    return OK


def _product_benchmark(args: argparse.Namespace) -> int:
    from orvane_platform.core import product_twin

    diff = product_twin.diff_against_benchmark(args.product, args.competitor)
    emit(args, diff, show_diff, title=f"{args.product} against {args.competitor}", first="own", second=args.competitor)
    return OK


def register(commands: argparse._SubParsersAction) -> None:
    actions = commands.add_parser("product", help="inspect and change a product").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    show = actions.add_parser("show", help="print the product dictionary")
    add_product(show)
    add_json(show)
    show.set_defaults(func=_product_show)

    history = actions.add_parser("history", help="print the results history, oldest first")
    add_product(history)
    add_run_filters(history, "entries")
    add_json(history)
    history.set_defaults(func=_product_history)

    clean = actions.add_parser("clean", help="deduplicate and trim the results history")
    add_product(clean)
    clean.add_argument(
        "--keep-days", type=int, default=90, help="keep this many days (0 wipes the history and the current results)"
    )
    clean.add_argument("--dry-run", action="store_true", help="show what would be removed, remove nothing")
    clean.add_argument("--yes", action="store_true", help="remove every entry without asking, if it comes to that")
    add_json(clean)
    clean.set_defaults(func=_product_clean)

    set_ = actions.add_parser("set", help="set design parameters")
    add_product(set_)
    set_.add_argument("assignments", nargs="+", metavar="KEY=VALUE", help="a design parameter and its value")
    add_json(set_)
    set_.set_defaults(func=_product_set)

    diff = actions.add_parser("diff", help="compare two products")
    add_product(diff, "first", "the first product")
    add_product(diff, "second", "the second product")
    diff.add_argument("--attrs", nargs="+", help="keys to compare (default: every key numeric in both)")
    add_json(diff)
    diff.set_defaults(func=_product_diff)

    benchmark = actions.add_parser("benchmark", help="compare a product with one of its competitors")
    add_product(benchmark)
    benchmark.add_argument("competitor", metavar="COMPETITOR", help="a child prim of the product's Competitors prim")
    add_json(benchmark)
    benchmark.set_defaults(func=_product_benchmark)
