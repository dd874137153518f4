"""The `orvane` command: argument parsing and printing over the native modules."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from rich.console import Console
from rich.table import Table

from orvane_platform import demo
from orvane_platform.agent_tools import aero, dynamics
from orvane_platform.core import (
    capacity_gate,
    product_twin,
    provenance,
    releases,
    run_records,
    save_flow,
    solver,
    solver_certs,
)
from orvane_platform.core.agent import AgentContext
from orvane_platform.core.product import Product
from orvane_platform.llm import local_llm
from orvane_platform.llm.config import LLMConfig

console = Console(highlight=False)


class InputError(Exception):
    """Bad input: reported as one line `orvane: error: ...`, exit status 2."""


def _fail(message: str) -> NoReturn:
    raise InputError(message)


def _product_file(path: str) -> str:
    """The product's root file, or an input error naming what is wrong with it."""
    file = Path(path)
    if not file.exists():
        _fail(f"no such product file: {path}")
    if not file.is_file():
        _fail(f"not a product file (the product's root .usda): {path}")
    return path


def _error_text(error: BaseException) -> str:
    """One line for an error: its message (OpenUSD's without its C++ locations)."""
    try:
        text = str(error)
    except UnicodeDecodeError:  # OpenUSD quotes the bytes of a file that is not UTF-8
        return f"{type(error).__name__}: the input is not valid UTF-8 text"
    messages = []
    for line in (line.strip() for line in text.splitlines()):
        if line.startswith("Error in ") and " : '" in line:
            line = line.split(" : '", 1)[1].rstrip("'")
        if line:
            messages.append(line)
    return "; ".join(messages) or type(error).__name__


def _show_product(usda_path: str) -> None:
    product = product_twin.load_product(_product_file(usda_path))
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


def _show_history(usda_path: str) -> None:
    records = product_twin.load_product_history(_product_file(usda_path))
    console.print(f"Results history of {usda_path}: {len(records)} entries, oldest first")
    table = Table()
    for column in ("time", "domain", "solver", "values", "run"):
        table.add_column(column, overflow="fold")
    shown_apart = {"raw", "timestamp", "domain", "type", "solver", "run"}
    for record in records:
        values = ", ".join(f"{k}={_text(v)}" for k, v in record.items() if k not in shown_apart)
        # Records hold an all-digit run id as a number; show it as written.
        written = dict(field.split("=", 1) for field in record["raw"].split("|")[1:] if "=" in field)
        table.add_row(
            record["timestamp"],
            record["domain"],
            _text(record.get("solver", "")),
            values,
            written.get("run", ""),
        )
    console.print(table)


def _clean_history(usda_path: str, keep_days: int) -> int:
    summary = product_twin.clean_history(_product_file(usda_path), keep_days)
    if summary["status"] != "ok":
        _fail(summary["error"])
    console.print(
        f"History of {usda_path}: {summary['before']} entries before, {summary['after']} after "
        f"({summary['duplicates_removed']} duplicates, {summary['old_removed']} old removed)"
        + ("; current results cleared." if summary["prototype_cleared"] else ".")
    )
    return 0


def _show_diff(title: str, first: str, second: str, diff: dict[str, tuple[Any, Any, Any]]) -> None:
    table = Table(title=title)
    for column in ("attribute", first, second, "difference"):
        table.add_column(column, overflow="fold")
    for key, (a, b, difference) in diff.items():
        table.add_row(key, _text(a), _text(b), "" if difference is None else _text(difference))
    console.print(table)


def _show_runs(usda_path: str, solver_alias: str | None, domain: str | None) -> None:
    runs = run_records.list_runs(_product_file(usda_path), solver=solver_alias, domain=domain)
    console.print(f"Runs of {usda_path}: {len(runs)}, oldest first")
    table = Table()
    for column in ("run", "solver", "domain", "time", "fingerprint"):
        table.add_column(column, overflow="fold")
    for run in runs:
        table.add_row(run["run_id"], run["solver"] or "", run["domain"] or "", run["timestamp"] or "",
                      run["fingerprint"] or "")
    console.print(table)


def _fingerprint(args: argparse.Namespace) -> None:
    with open(args.case, encoding="utf-8") as case_file:
        case_yaml = case_file.read()
    parameters = None
    if args.params:
        parameters = _json_file(args.params, "--params")
        if not isinstance(parameters, dict):
            _fail(f"--params must hold a JSON object, not {type(parameters).__name__}: {args.params}")
    record = provenance.build_provenance_record(
        args.image, case_yaml, args.geometry, parameters=parameters,
        solver_version=args.solver_version, solver_cert=args.solver_cert,
    )
    print(json.dumps(record, indent=2))


def _json_file(path: str, what: str) -> Any:
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        _fail(f"{what} is not JSON: {path}: {error}")


def _verify(record_path: str) -> int:
    verdict = provenance.verify_provenance_record(_json_file(record_path, "the record"))
    colour = {"verified": "green", "mismatch": "red"}.get(verdict["status"], "yellow")
    console.print(f"[{colour}]{verdict['status']}[/]")
    console.print(f"  recorded:   {verdict['recorded']}")
    console.print(f"  recomputed: {verdict['recomputed']}")
    if "error" in verdict:
        console.print(f"  error: {verdict['error']}")
    return 0 if verdict["status"] == "verified" else 1


STATUS_STYLES = {"PASS": "green", "WARN": "yellow", "FAIL": "red", "NOT RUN": "dim", "INCONCLUSIVE": "magenta"}


def _show_gates(usda_path: str) -> int:
    product = Product(_product_file(usda_path))
    evaluation = product.evaluate_gates(results=product.latest_results())
    table = Table(title=f"Gates of {product.name}")
    for column in ("KPI", "status", "value", "min", "nominal", "max", "domain"):
        table.add_column(column)
    for gate in evaluation["gates"]:
        style = STATUS_STYLES.get(gate["status"], "")
        table.add_row(
            f"{gate['kpi']} ({gate['description']})",
            f"[{style}]{gate['status']}[/]" if style else gate["status"],
            *("" if gate[key] is None else f"{gate[key]:.4f}"
              for key in ("value", "target_min", "target_nominal", "target_max")),
            gate["domain"],
        )
    console.print(table)
    console.print(evaluation["summary"])
    return 0 if evaluation["all_passed"] else 1


def _release(args: argparse.Namespace) -> int:
    _product_file(args.path)
    if args.action == "freeze":
        frozen = releases.freeze_release(args.path, args.version, args.notes, force=args.force)
        if frozen["status"] != "frozen":
            _fail(frozen["error"])
        console.print(f"Release {frozen['version']} frozen at {frozen['path']} "
                      f"({frozen['attributes_captured']} attributes, commit {frozen['git_commit'] or 'none'})")
    elif args.action == "list":
        table = Table(title=f"Releases of {args.path}")
        for column in ("version", "time", "commit", "validation", "notes"):
            table.add_column(column, overflow="fold")
        for release in releases.list_releases(args.path):
            table.add_row(release["version"], release["timestamp"], release["git_commit"] or "",
                          release["validation_summary"] or "", release["notes"])
        console.print(table)
    elif args.action == "show":
        release = releases.read_release(args.path, args.version)
        if not release:
            _fail(f"no release {args.version!r} of {args.path}")
        for key, value in release["metadata"].items():
            console.print(f"{key}: {value}")
        table = Table()
        table.add_column("attribute")
        table.add_column("value", overflow="fold")
        for name, value in release["attributes"].items():
            table.add_row(name, _text(value))
        console.print(table)
    elif args.action == "diff":
        diff = releases.diff_releases(args.path, args.first, args.second)
        _show_diff(f"Release {args.first} against {args.second}", args.first, args.second, diff)
    return 0


CERT_STYLES = {"verified": "green", "unverified": "red", "missing": "yellow"}


def _cert_status(record: dict[str, Any]) -> str:
    status = solver_certs.verify_solver_cert(record)
    return f"[{CERT_STYLES[status]}]{status}[/]"


def _show_solvers() -> None:
    table = Table(title=f"Solver registry ({solver.registry_dir()})")
    for column in ("alias", "name", "domain", "kind", "version", "image", "added", "certificate"):
        table.add_column(column, overflow="fold")
    for row in solver.list_solvers():
        table.add_row(
            row["alias"],
            row["name"],
            row["domain"] or "",
            row["kind"],
            str(row["version"]),
            row["image"] or "",
            row["added_at"] or "by hand",
            _cert_status(row),
        )
    console.print(table)


def _add_solver(alias: str, source: str, image: str | None) -> None:
    image = image or solver.source_image(source)
    digest = provenance.get_image_digest(image) or ""
    cert = solver_certs.sign_solver_cert(alias, image, digest)
    record = solver.register_solver(alias, source, image, image_digest=digest, cert=cert)
    console.print(f"Registered {record['alias']} ({record['image']}, digest {record['image_digest'] or 'unknown'}): "
                  f"certificate {_cert_status(record)}")


def _doctor() -> int:
    hardware = capacity_gate.HardwareProbe.probe()
    table = Table(title="This host")
    table.add_column("resource")
    table.add_column("available")
    table.add_row("RAM", f"{hardware.ram_mb} MB")
    table.add_row("GPU memory", "none detected" if hardware.vram_mb is None else f"{hardware.vram_mb} MB")
    table.add_row("CPU cores", str(hardware.cpu_cores))
    table.add_row("architecture", hardware.arch)
    table.add_row("free disk", f"{hardware.disk_mb} MB")
    console.print(table)
    for alias in solver.all_solver_aliases():
        verdict = capacity_gate.gate_solver_resources(alias, hw=hardware)
        colour = "green" if verdict.severity == "pass" else "yellow"
        console.print(f"{alias}: [{colour}]{verdict.severity}[/], certificate "
                      f"{_cert_status(solver.get_solver_record(alias) or {})}")
        for line in verdict.messages:
            console.print(line)
    config = LLMConfig()
    console.print(f"LLM: model {config.model} on {config.base_url}")
    try:
        local_llm.OllamaClient(config).health_check()
    except local_llm.LLMUnavailableError as error:
        console.print(f"[yellow]{error}[/]")
    else:
        console.print("[green]LLM ready[/]")
    return 0


def _chat(prompt: str) -> int:
    try:
        reply = local_llm.OllamaClient(LLMConfig()).chat([{"role": "user", "content": prompt}])
    except local_llm.LLMUnavailableError as error:
        console.print(f"[red]{error}[/]")
        return 1
    print(reply.content)
    return 0


DEMO_STEPS = 13


def _step(number: int, title: str) -> None:
    console.rule(f"[bold]Step {number}/{DEMO_STEPS}[/]  {title}")


def _demo_run(product: Product, number: int) -> dict[str, Any]:
    _step(number, "Simulate: the sample aero solver runs on the product's design")
    result = product.simulate(domain="aero", solver="sample_aero")
    if result["status"] != "success":
        raise RuntimeError(f"the sample solver failed: {result['error']}")
    console.print(f"cd={result['cd']:.4f}  cl={result['cl']:.4f}  cm_pitch={result['cm_pitch']:.4f}")
    console.print(f"Provenance {result['provenance']['fingerprint']} "
                  f"({provenance.verify_provenance_record(result['provenance'])['status']})")
    written = run_records.write_run_record(product.usd_path, result, "aero", "sample_aero",
                                           provenance=result["provenance"], parameters=result["parameters"])
    console.print(f"Run record {written['run_id']}: {written['attributes_written']} attributes in {written['layer']}")
    return result


def _demo(directory: str) -> None:
    prepared = demo.prepare_workspace(directory)
    # The rest of this process works in the demo's workspace, registry and products.
    os.environ["ORVANE_WORKSPACE"] = str(prepared["workspace"])
    os.environ["ORVANE_SOLVERS_DIR"] = str(prepared["solvers_dir"])
    os.environ["ORVANE_PRODUCTS_DIR"] = str(Path(prepared["product"]).parent.parent)
    from orvane_platform.core import gateway_config

    gateway_config.gateway_config.cache_clear()
    path = str(prepared["product"])
    product = Product(path)

    _step(1, f"A fresh copy of the sample product in {prepared['workspace']}")
    _show_product(path)
    _show_solvers()
    _step(2, "Resource gate for the aero solver")
    verdict = capacity_gate.gate_solver_resources("sample_aero")
    console.print(f"sample_aero: {verdict.severity}")
    for line in verdict.messages:
        console.print(line)
    first = _demo_run(product, 3)
    _step(4, "Gates of the first run")
    evaluation = product.evaluate_gates({"aero": first})
    console.print(evaluation["summary"])
    _step(5, "Save through the save flow: results, then design-intent targets from the run")
    save_flow.prompt_save_usd(product, {"aero": first}, all_gates_passed=evaluation["all_passed"])
    _step(6, "Tag the first run as the baseline")
    product_twin.tag_baseline(path, "aero", {k: first[k] for k in ("cd", "cl", "cm_pitch")})
    console.print("Baseline tagged.")
    _step(7, "Freeze release v0.1")
    frozen = releases.freeze_release(path, "v0.1", "Demo: first sample aero run", force=True)
    console.print(f"{frozen['path']} ({frozen['attributes_captured']} attributes)")
    _step(8, "History and runs")
    _show_history(path)
    _show_runs(path, None, None)
    _step(9, "A design change: roofline slope 14.5° → 18°")
    product.set_design_parameter("roofline_slope_deg", 18.0)
    second = _demo_run(product, 10)
    _step(11, "Gates of the second run; saved and tagged as the baseline when all pass")
    evaluation = product.evaluate_gates({"aero": second})
    console.print(evaluation["summary"])
    save_flow.prompt_save_usd(product, {"aero": second}, all_gates_passed=evaluation["all_passed"])
    _show_gates(path)
    _step(12, "Freeze release v0.2")
    releases.freeze_release(path, "v0.2", "Demo: steeper roofline", force=True)
    _step(13, "What changed between the releases")
    _show_diff("Release v0.2 against v0.1", "v0.2", "v0.1", releases.diff_releases(path, "v0.2", "v0.1"))


def _agent(usda_path: str) -> int:
    client = local_llm.OllamaClient(LLMConfig())
    try:
        client.health_check()
    except local_llm.LLMUnavailableError as error:
        console.print(f"[red]{error}[/]")
        return 1
    product = Product(_product_file(usda_path))
    context = AgentContext(platform=product, vname=product.name)
    aero_solvers = [{"alias": row["alias"], "name": row["name"], "kind": row["kind"], "gpu": row["gpu"]}
                    for row in solver.list_solvers() if row["domain"] == "aero"]
    tools = aero.register(context, aero_solvers) | dynamics.register(context)
    schemas = [entry["schema"] for entry in tools.values()]
    messages: list[dict[str, Any]] = [{"role": "system", "content": (
        f"You assist the engineers of the product {product.name}. Use the tools to run simulations and "
        "assess them against the design targets; answer briefly.")}]
    console.print(f"Agent on {product.name} with {client.model}; an empty line ends the session.")
    while True:
        try:
            prompt = input("you> ").strip()
        except EOFError:
            return 0
        if not prompt:
            return 0
        messages.append({"role": "user", "content": prompt})
        try:
            reply = client.chat(messages, tools=schemas)
            while reply.tool_calls:
                messages.append({"role": "assistant", "content": reply.content,
                                 "tool_calls": [{"function": {"name": c.name, "arguments": c.arguments}}
                                                for c in reply.tool_calls]})
                for call in reply.tool_calls:
                    console.print(f"[dim]tool {call.name}({call.arguments})[/]")
                    entry = tools.get(call.name)
                    output = entry["fn"](**call.arguments) if entry else f"Unknown tool {call.name}"
                    messages.append({"role": "tool", "content": output})
                reply = client.chat(messages, tools=schemas)
        except local_llm.LLMUnavailableError as error:
            console.print(f"[red]{error}[/]")
            return 1
        messages.append({"role": "assistant", "content": reply.content})
        console.print(reply.content)


def _product(args: argparse.Namespace) -> int:
    for path in (args.first, args.second) if args.action == "diff" else (args.path,):
        _product_file(path)
    if args.action == "show":
        _show_product(args.path)
    elif args.action == "history":
        _show_history(args.path)
    elif args.action == "clean":
        return _clean_history(args.path, args.keep_days)
    elif args.action == "diff":
        diff = product_twin.diff_products(args.first, args.second, args.attrs)
        _show_diff("Product diff (first - second)", args.first, args.second, diff)
    elif args.action == "benchmark":
        diff = product_twin.diff_against_benchmark(args.path, args.competitor)
        _show_diff(f"{args.path} against {args.competitor}", "own", args.competitor, diff)
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvane", description="Engineering digital twins of vehicle programmes."
    )
    parser.add_argument("--debug", action="store_true", help="show the full traceback of an error")
    commands = parser.add_subparsers(dest="command", required=True)

    product = commands.add_parser("product", help="inspect a product").add_subparsers(
        dest="action", required=True
    )
    show = product.add_parser("show", help="print the product dictionary")
    show.add_argument("path", help="the product's root .usda file")
    history = product.add_parser("history", help="print the results history, oldest first")
    history.add_argument("path", help="the product's root .usda file")
    clean = product.add_parser("clean", help="deduplicate and trim the results history")
    clean.add_argument("path", help="the product's root .usda file")
    clean.add_argument(
        "--keep-days", type=int, default=90, help="keep this many days (0 wipes the history and current results)"
    )
    diff = product.add_parser("diff", help="compare two products")
    diff.add_argument("first", help="the first product's root .usda file")
    diff.add_argument("second", help="the second product's root .usda file")
    diff.add_argument("--attrs", nargs="+", help="keys to compare (default: every key numeric in both)")
    benchmark = product.add_parser("benchmark", help="compare a product with one of its competitors")
    benchmark.add_argument("path", help="the product's root .usda file")
    benchmark.add_argument("competitor", help="a child prim of the product's Competitors prim")

    fingerprint = commands.add_parser("fingerprint", help="build the provenance record of a run's inputs")
    fingerprint.add_argument("--image", required=True, help="the solver's container image")
    fingerprint.add_argument("--case", required=True, help="the case file (YAML) sent to the solver")
    fingerprint.add_argument("--geometry", nargs="+", help="geometry files used by the run")
    fingerprint.add_argument("--params", help="the parameter snapshot (JSON)")
    fingerprint.add_argument("--solver-version", default="", help="the solver's version")
    fingerprint.add_argument("--solver-cert", default="missing", help="the solver's certificate status")
    verify = commands.add_parser("verify", help="recompute a provenance record's fingerprint")
    verify.add_argument("record", help="a provenance record (JSON)")

    runs = commands.add_parser("runs", help="recorded solver runs").add_subparsers(dest="action", required=True)
    runs_list = runs.add_parser("list", help="list a product's runs, oldest first")
    runs_list.add_argument("path", help="the product's root .usda file")
    runs_list.add_argument("--solver", help="only runs of this solver")
    runs_list.add_argument("--domain", help="only runs of this domain")

    gates = commands.add_parser("gates", help="gate the latest result of each domain against the targets")
    gates.add_argument("path", help="the product's root .usda file")

    release = commands.add_parser("release", help="frozen releases of a product").add_subparsers(
        dest="action", required=True
    )
    freeze = release.add_parser("freeze", help="freeze the product's current state")
    freeze.add_argument("path", help="the product's root .usda file")
    freeze.add_argument("version", help="the release name, for example v0.1")
    freeze.add_argument("--notes", default="", help="release notes")
    freeze.add_argument("--force", action="store_true", help="overwrite an existing release")
    release_list = release.add_parser("list", help="list the releases, oldest first")
    release_list.add_argument("path", help="the product's root .usda file")
    release_show = release.add_parser("show", help="print one release")
    release_show.add_argument("path", help="the product's root .usda file")
    release_show.add_argument("version", help="the release name")
    release_diff = release.add_parser("diff", help="compare two releases (first minus second)")
    release_diff.add_argument("path", help="the product's root .usda file")
    release_diff.add_argument("first", help="the first release")
    release_diff.add_argument("second", help="the second release")

    solvers = commands.add_parser("solver", help="the solver registry").add_subparsers(
        dest="action", required=True
    )
    solvers.add_parser("list", help="list the registered solvers with their certificate status")
    add = solvers.add_parser("add", help="register a solver from a folder holding its solver.yaml")
    add.add_argument("alias", help="the name to register the solver under")
    add.add_argument("--from", dest="source", required=True, help="the folder with solver.yaml and kpi_spec.yaml")
    add.add_argument("--image", help="the solver's container image (default: the one solver.yaml names)")

    commands.add_parser("doctor", help="this host's resources, every solver's verdict and certificate, the LLM")

    agent = commands.add_parser("agent", help="talk to the LLM agent about a product, with its tools")
    agent.add_argument("path", help="the product's root .usda file")

    llm = commands.add_parser("llm", help="the local LLM").add_subparsers(dest="action", required=True)
    chat = llm.add_parser("chat", help="send one chat turn and print the reply")
    chat.add_argument("prompt", help="what to ask")

    walk_through = commands.add_parser("demo", help="walk through the sample product")
    walk_through.add_argument(
        "--dir", default="orvane-demo", help="workspace folder for the demo (default: ./orvane-demo)"
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "product":
            return _product(args)
        elif args.command == "solver":
            if args.action == "add":
                _add_solver(args.alias, args.source, args.image)
            else:
                _show_solvers()
        elif args.command == "doctor":
            return _doctor()
        elif args.command == "llm":
            return _chat(args.prompt)
        elif args.command == "agent":
            return _agent(args.path)
        elif args.command == "fingerprint":
            _fingerprint(args)
        elif args.command == "verify":
            return _verify(args.record)
        elif args.command == "runs":
            _show_runs(args.path, args.solver, args.domain)
        elif args.command == "gates":
            return _show_gates(args.path)
        elif args.command == "release":
            return _release(args)
        elif args.command == "demo":
            _demo(args.dir)
    except KeyboardInterrupt:
        print("orvane: interrupted", file=sys.stderr)
        return 130
    except Exception as error:
        if args.debug:
            raise
        print(f"orvane: error: {_error_text(error)}", file=sys.stderr)
        return 2
    return 0

