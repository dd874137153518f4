"""`orvane solver` and `orvane doctor`: the solver registry, and the checks of the set-up."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import OK, add_json, confirm, verdict
from orvane_platform.cli.printing import CERT_STYLES, console, emit, styled, table


def show_solvers(rows: list[dict[str, Any]], *, registry: Path) -> None:
    console.print(
        table(
            ("alias", "name", "domain", "kind", "version", "image", "added", "certificate"),
            (
                (
                    row["alias"],
                    row["name"],
                    row["domain"],
                    row["kind"],
                    row["version"],
                    row["image"],
                    row["added_at"] or "by hand",
                    styled(row["certificate"], CERT_STYLES),
                )
                for row in rows
            ),
            f"Solver registry ({registry})",
        )
    )
    if not rows:
        console.print(
            f"No solvers in {registry}. Register one with 'orvane solver add ALIAS --from FOLDER', "
            "or name the registry folder ('solvers' in orvane.yaml, or ORVANE_SOLVERS_DIR)."
        )


def _solver_list(args: argparse.Namespace) -> int:
    from orvane_platform.core import solver, solver_certs

    rows = [solver_certs.with_certificate(row) for row in solver.list_solvers()]
    emit(args, rows, show_solvers, registry=solver.registry_dir())
    return OK


def _show_registered(record: dict[str, Any]) -> None:
    console.print(
        f"Registered {record['alias']} ({record['image']}, digest {record['image_digest'] or 'unknown'}): "
        f"certificate {styled(record['certificate'], CERT_STYLES)}"
    )


def _solver_add(args: argparse.Namespace) -> int:
    from orvane_platform.core import provenance, solver, solver_certs

    if solver.get_solver_record(args.alias) and not args.force:
        confirm(
            f"Solver {args.alias!r} is registered already. Register it again?",
            f"solver {args.alias!r} is registered already; --force registers it again",
        )
    image = args.image or solver.source_image(args.source)
    digest = provenance.get_image_digest(image) or ""
    cert = solver_certs.sign_solver_cert(args.alias, image, digest)
    record = solver.register_solver(args.alias, args.source, image, image_digest=digest, cert=cert)
    emit(args, solver_certs.with_certificate(record), _show_registered)
    return OK


def _show_doctor(document: dict[str, Any], *, registry: Path) -> None:
    rows = ((key, entry["value"], entry["source"], entry["variable"]) for key, entry in document["settings"].items())
    console.print(table(("setting", "value", "from", "variable"), rows, "Settings"))
    host = document["host"]
    resources = (
        ("RAM", f"{host['ram_mb']} MB"),
        ("GPU memory", "none detected" if host["vram_mb"] is None else f"{host['vram_mb']} MB"),
        ("CPU cores", str(host["cpu_cores"])),
        ("architecture", host["arch"]),
        ("free disk", f"{host['disk_mb']} MB"),
    )
    console.print(table(("resource", "available"), resources, "This host"))
    for entry in document["solvers"]:
        colour = "green" if entry["resources"] == "pass" else "yellow"
        console.print(
            f"{entry['alias']}: [{colour}]{entry['resources']}[/], certificate "
            f"{styled(entry['certificate'], CERT_STYLES)}"
        )
        for line in entry["messages"]:
            console.print(escape(line))
    if not document["solvers"]:
        console.print(f"No solvers registered in {registry}.")
    llm = document["llm"]
    console.print(f"LLM: model {llm['model']} on {llm['url']}")
    if llm["ready"]:
        console.print("[green]LLM ready[/]")
    else:
        console.print(f"[yellow]{escape(llm['error'])}[/]")
        console.print(llm["hint"])


def _doctor(args: argparse.Namespace) -> int:
    from orvane_platform.core import solver
    from orvane_platform.setup import doctor

    document = doctor.diagnose()
    emit(args, document, _show_doctor, registry=solver.registry_dir())
    return verdict(document["ok"])


def register(commands: argparse._SubParsersAction) -> None:
    solvers = commands.add_parser("solver", help="the solver registry").add_subparsers(
        dest="action", required=True, metavar="ACTION"
    )
    listing = solvers.add_parser("list", help="list the registered solvers with their certificate status")
    add_json(listing)
    listing.set_defaults(func=_solver_list)
    add = solvers.add_parser("add", help="register a solver from a folder holding its solver.yaml")
    add.add_argument("alias", metavar="ALIAS", help="the name to register the solver under")
    add.add_argument("--from", dest="source", required=True, help="the folder with solver.yaml and kpi_spec.yaml")
    add.add_argument("--image", help="the solver's container image (default: the one solver.yaml names)")
    add.add_argument("--force", action="store_true", help="register again over an existing alias")
    add_json(add)
    add.set_defaults(func=_solver_add)

    doctor = commands.add_parser(
        "doctor", help="the settings in effect, this host's resources, every solver's verdict, the LLM"
    )
    add_json(doctor)
    doctor.set_defaults(func=_doctor)
