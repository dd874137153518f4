"""`orvane fingerprint` and `orvane verify`: provenance records of a run's inputs, and their check."""

from __future__ import annotations

import argparse
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import OK, add_json, verdict
from orvane_platform.cli.printing import VERIFICATION_STYLES, console, emit, print_json


def _fingerprint(args: argparse.Namespace) -> int:
    from orvane_platform.runs import fingerprint

    record = fingerprint.build_record(
        args.image,
        args.case,
        geometry=args.geometry,
        mesh_cache=args.mesh_cache,
        params=args.params,
        solver_version=args.solver_version,
        solver_cert=args.solver_cert,
        allow_raw_case=args.allow_raw_case,
    )
    print_json(record)  # the record is JSON, --json or not
    return OK


def _show_verdict(checked: dict[str, Any]) -> None:
    colour = VERIFICATION_STYLES.get(checked["status"], "yellow")
    console.print(f"[{colour}]{checked['status']}[/]")
    console.print(f"  recorded:   {checked['recorded']}")
    console.print(f"  recomputed: {checked['recomputed']}")
    if "error" in checked:
        console.print(f"  error: {escape(checked['error'])}")


def _verify(args: argparse.Namespace) -> int:
    from orvane_platform.runs import fingerprint

    checked = fingerprint.verify_file(args.record)
    emit(args, checked, _show_verdict)
    return verdict(checked["status"] == "verified")


def register(commands: argparse._SubParsersAction) -> None:
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
    add_json(verify)
    verify.set_defaults(func=_verify)
