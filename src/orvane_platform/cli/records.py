"""`orvane gates` and `orvane release`: the gates of the latest results, and frozen releases."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import OK, add_json, add_product, add_version, fail, verdict
from orvane_platform.cli.printing import STATUS_STYLES, console, emit, show_diff, styled, table, text


def show_gates(evaluation: dict[str, Any], *, title: str) -> None:
    """Gate records as a table; with the product's `stale` KPIs ({kpi: why}) marked and explained."""
    stale = evaluation.get("stale", {})
    rows = (
        (
            f"{gate['kpi']} ({gate['description']})",
            styled(gate["status"], STATUS_STYLES) + (" [yellow]STALE[/]" if gate["kpi"] in stale else ""),
            *(
                "" if gate[key] is None else f"{gate[key]:.4f}"
                for key in ("value", "target_min", "target_nominal", "target_max")
            ),
            gate["domain"],
        )
        for gate in evaluation["gates"]
    )
    console.print(table(("KPI", "status", "value", "min", "nominal", "max", "domain"), rows, title))
    console.print(evaluation["summary"])
    show_stale(stale)


def show_stale(stale: dict[str, str]) -> None:
    """Each reason once, with the KPIs it makes stale."""
    by_reason: dict[str, list[str]] = {}
    for kpi, reason in stale.items():
        by_reason.setdefault(reason, []).append(kpi)
    for reason, kpis in by_reason.items():
        console.print(f"[yellow]stale[/]: {escape(', '.join(kpis))}: {escape(reason)}")


def _gates(args: argparse.Namespace) -> int:
    from orvane_platform.runs import twin_state

    gates = twin_state.product_gates(args.product)
    emit(args, gates, show_gates, title=f"Gates of {args.product.parent.name}")
    return verdict(gates["all_passed"])


def _show_frozen(frozen: dict[str, Any]) -> None:
    if frozen["status"] == "refused":
        console.print(f"[red]Not frozen[/]: {escape(frozen['error'])}")
        for line in frozen["stale"]:
            console.print(f"  stale {escape(line)}")
        return
    console.print(
        f"Release {frozen['version']} frozen at {frozen['path']} "
        f"({frozen['attributes_captured']} attributes, commit {frozen['git_commit'] or 'none'})"
    )
    for line in frozen["stale"]:
        console.print(f"  [yellow]frozen stale[/] {escape(line)}")
    if frozen["not_run"]:
        console.print(f"  [yellow]not run yet[/]: {escape(', '.join(frozen['not_run']))}")


def _release_freeze(args: argparse.Namespace) -> int:
    from orvane_platform.runs import twin_state

    frozen = twin_state.freeze_release(args.product, args.version, args.notes, force=args.force)
    if frozen["status"] == "error":
        if "already exists" in frozen["error"]:
            fail(f"release {args.version!r} of {args.product} already exists; --force replaces it")
        fail(frozen["error"])
    emit(args, frozen, _show_frozen)
    return verdict(frozen["status"] == "frozen")


def _summary(release: dict[str, Any]) -> str:
    """The release's validation summary, with what its freeze found beside it."""
    parts = [release["validation_summary"] or ""]
    if release["not_run"]:
        parts.append("not run: " + ", ".join(release["not_run"]))
    if release["stale"]:
        parts.append("stale: " + ", ".join(line.split(":", 1)[0] for line in release["stale"]))
    return "; ".join(part for part in parts if part)


def _show_releases(found: list[dict[str, Any]], *, product: Path) -> None:
    rows = (
        (release["version"], release["timestamp"], release["git_commit"], _summary(release), release["notes"])
        for release in found
    )
    console.print(table(("version", "time", "commit", "validation", "notes"), rows, f"Releases of {product}"))


def _release_list(args: argparse.Namespace) -> int:
    from orvane_platform.runs import twin_state

    emit(args, twin_state.list_releases(args.product), _show_releases, product=args.product)
    return OK


def _show_release(release: dict[str, Any]) -> None:
    for key, value in release["metadata"].items():
        console.print(f"{key}: {text(value)}")
    console.print(table(("attribute", "value"), release["attributes"].items()))


def _release_show(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    release = releases.read_release(args.product, args.version)
    if not release:
        fail(f"no release {args.version!r} of {args.product}")
    emit(args, release, _show_release)
    return OK


def _release_diff(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    diff = releases.diff_releases(args.product, args.first, args.second)
    emit(
        args, diff, show_diff, title=f"Release {args.first} against {args.second}", first=args.first, second=args.second
    )
    return OK


def register(commands: argparse._SubParsersAction) -> None:
    gates = commands.add_parser("gates", help="gate the latest result of each domain against the targets")
    add_product(gates)
    add_json(gates)
    gates.set_defaults(func=_gates)

    release = commands.add_parser("release", help="frozen releases of a product").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    freeze = release.add_parser("freeze", help="freeze the product's current state")
    add_product(freeze)
    freeze.add_argument("version", metavar="VERSION", help="the release name, for example v0.1")
    freeze.add_argument("--notes", default="", help="release notes")
    freeze.add_argument(
        "--force",
        action="store_true",
        help="freeze even when the current results are stale (recorded in the release), or replace an existing release",
    )
    add_json(freeze)
    freeze.set_defaults(func=_release_freeze)
    release_list = release.add_parser("list", help="list the releases, oldest first")
    add_product(release_list)
    add_json(release_list)
    release_list.set_defaults(func=_release_list)
    release_show = release.add_parser("show", help="print one release")
    add_product(release_show)
    add_version(release_show, "version", "the release name")
    add_json(release_show)
    release_show.set_defaults(func=_release_show)
    release_diff = release.add_parser("diff", help="compare two releases (first minus second)")
    add_product(release_diff)
    add_version(release_diff, "first", "the first release")
    add_version(release_diff, "second", "the second release")
    add_json(release_diff)
    release_diff.set_defaults(func=_release_diff)
