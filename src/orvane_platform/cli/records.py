"""`orvane gates` and `orvane release`: the gates of the latest results, and frozen releases."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from orvane_platform.cli.arguments import OK, add_json, add_product, add_version, fail, verdict
from orvane_platform.cli.printing import STATUS_STYLES, console, emit, show_diff, styled, table, text


def show_gates(evaluation: dict[str, Any], *, title: str) -> None:
    rows = (
        (
            f"{gate['kpi']} ({gate['description']})",
            styled(gate["status"], STATUS_STYLES),
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


def _gates(args: argparse.Namespace) -> int:
    from orvane_platform.core.product import Product

    product = Product(args.product)
    evaluation = product.evaluate_gates(results=product.latest_results())
    emit(args, evaluation, show_gates, title=f"Gates of {product.name}")
    return verdict(evaluation["all_passed"])


def _show_frozen(frozen: dict[str, Any]) -> None:
    console.print(
        f"Release {frozen['version']} frozen at {frozen['path']} "
        f"({frozen['attributes_captured']} attributes, commit {frozen['git_commit'] or 'none'})"
    )


def _release_freeze(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    frozen = releases.freeze_release(args.product, args.version, args.notes, force=args.force)
    if frozen["status"] != "frozen":
        if "already exists" in frozen["error"]:
            fail(f"release {args.version!r} of {args.product} already exists; --force replaces it")
        fail(frozen["error"])
    emit(args, frozen, _show_frozen)
    return OK


def _show_releases(found: list[dict[str, Any]], *, product: Path) -> None:
    rows = (
        (
            release["version"],
            release["timestamp"],
            release["git_commit"],
            release["validation_summary"],
            release["notes"],
        )
        for release in found
    )
    console.print(table(("version", "time", "commit", "validation", "notes"), rows, f"Releases of {product}"))


def _release_list(args: argparse.Namespace) -> int:
    from orvane_platform.core import releases

    emit(args, releases.list_releases(args.product), _show_releases, product=args.product)
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
    freeze.add_argument("--force", action="store_true", help="replace an existing release")
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
