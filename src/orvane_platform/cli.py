"""The `orvane` command: argument parsing and printing over the native modules."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from typing import Any

from rich.console import Console
from rich.table import Table

from orvane_platform import demo
from orvane_platform.core import product_twin, solver

console = Console(highlight=False)


def _show_product(usda_path: str) -> None:
    product = product_twin.load_product(usda_path)
    if not product:
        console.print(f"[yellow]{usda_path} has no default prim: nothing to show.[/]")
        return
    design_keys = product.pop("_design_keys")
    usd_file = product.pop("usd_file")
    table = Table(title=f"{product_twin.product_name_from_path(usd_file)} ({usd_file})")
    table.add_column("attribute")
    table.add_column("value", overflow="fold")
    table.add_column("design input", justify="center")
    for key, value in product.items():
        table.add_row(key, _text(value), "yes" if key in design_keys else "")
    console.print(table)


def _text(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def _show_solvers() -> None:
    table = Table(title=f"Solver registry ({solver.registry_dir()})")
    for column in ("alias", "name", "domain", "kind", "version", "image", "added"):
        table.add_column(column)
    for row in solver.list_solvers():
        table.add_row(
            row["alias"],
            row["name"],
            row["domain"] or "",
            row["kind"],
            str(row["version"]),
            row["image"] or "",
            row["added_at"] or "by hand",
        )
    console.print(table)


def _demo(directory: str) -> None:
    prepared = demo.prepare_workspace(directory)
    # The rest of this process works in the demo's workspace and registry.
    os.environ["ORVANE_WORKSPACE"] = str(prepared["workspace"])
    os.environ["ORVANE_SOLVERS_DIR"] = str(prepared["solvers_dir"])
    console.rule("Orvane demo")
    console.print(f"Workspace: {prepared['workspace']}")
    console.print(f"Product:   {prepared['product']}\n")
    _show_product(str(prepared["product"]))
    _show_solvers()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvane", description="Engineering digital twins of vehicle programmes."
    )
    commands = parser.add_subparsers(dest="command", required=True)

    product = commands.add_parser("product", help="inspect a product").add_subparsers(
        dest="action", required=True
    )
    show = product.add_parser("show", help="print the product dictionary")
    show.add_argument("path", help="the product's root .usda file")

    solvers = commands.add_parser("solver", help="the solver registry").add_subparsers(
        dest="action", required=True
    )
    solvers.add_parser("list", help="list the registered solvers")

    walk_through = commands.add_parser("demo", help="walk through the sample product")
    walk_through.add_argument(
        "--dir", default="orvane-demo", help="workspace folder for the demo (default: ./orvane-demo)"
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "product":
            _show_product(args.path)
        elif args.command == "solver":
            _show_solvers()
        elif args.command == "demo":
            _demo(args.dir)
    except (OSError, ValueError, RuntimeError) as error:
        console.print(f"[red]error:[/] {error}")
        return 1
    return 0

