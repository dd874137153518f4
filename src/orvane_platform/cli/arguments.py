"""What the commands share about their input: exit statuses, input errors, argument types and completers."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Iterable, Sequence
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, NoReturn

from argcomplete.completers import FilesCompleter

from orvane_platform.cli.printing import console, report_error
from orvane_platform.core import workspace

OK, NEGATIVE, INPUT_ERROR = 0, 1, 2


class InputError(Exception):
    """Bad input: reported as one line `orvane: error: ...`, exit status 2."""


def fail(message: str) -> NoReturn:
    raise InputError(message)


def verdict(passed: bool) -> int:
    """The exit status of a command that worked: 0, or 1 for a negative verdict."""
    return OK if passed else NEGATIVE


class Parser(argparse.ArgumentParser):
    """Usage errors as one line, like every other error. A group of commands may
    name a `default_command`, run when its first word is none of them."""

    default_command: str | None = None

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        if self.default_command is not None:
            args = list(sys.argv[1:] if args is None else args)
            commands = next(action.choices for action in self._actions if action.nargs == argparse.PARSER)
            if not args or (args[0] not in commands and args[0] not in ("-h", "--help")):
                args.insert(0, self.default_command)
        return super().parse_known_args(args, namespace)

    def error(self, message: str) -> NoReturn:
        report_error(f"{message} (see '{self.prog} --help')")
        sys.exit(INPUT_ERROR)


def confirm(question: str, refusal: str) -> None:
    """Asks on a terminal; elsewhere the command needs its flag."""
    if not sys.stdin.isatty():
        fail(refusal)
    try:
        answer = console.input(f"{question} [y/N] ").strip().lower()
    except EOFError:
        answer = ""
    if answer not in ("y", "yes"):
        fail("cancelled")


# --- argument types ---------------------------------------------------------------


def product_path(argument: str) -> Path:
    try:
        return workspace.resolve_product(argument)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = -1
    if number < 0:
        raise argparse.ArgumentTypeError(f"not a count (0 or more): {text!r}")
    return number


def since(text: str) -> str:
    """A date or time as records write theirs: ISO text in UTC (a time without a zone is UTC)."""
    try:
        when = datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not an ISO date or time: {text!r} (for example 2026-04-19 or 2026-04-19T08:30)"
        ) from None
    return (when if when.tzinfo else when.replace(tzinfo=UTC)).astimezone(UTC).isoformat()


def assignments(texts: list[str], argument: str) -> dict[str, float]:
    """KEY=VALUE design parameters; a bad one names `argument`."""
    from orvane_platform.runs import solver_run

    try:
        return solver_run.parse_assignments(texts)
    except ValueError as error:
        fail(f"argument {argument}: {error}")


# --- completers ---------------------------------------------------------------------


def quietly(complete: Callable[[argparse.Namespace], Iterable[str]]) -> Callable[..., list[str]]:
    """A completer that offers nothing rather than fail: the shell shows no traceback."""

    def completer(prefix: str, parsed_args: argparse.Namespace, **_: Any) -> list[str]:
        try:
            return [word for word in complete(parsed_args) if word.startswith(prefix)]
        except Exception:
            return []

    return completer


def product_names(_: argparse.Namespace) -> list[str]:
    folder = workspace.products_dir()
    return sorted(entry.name for entry in folder.iterdir() if entry.is_dir()) if folder.is_dir() else []


def complete_products(prefix: str, parsed_args: argparse.Namespace, **kwargs: Any) -> list[str]:
    files = FilesCompleter(allowednames=("usda",))(prefix, **kwargs)
    return quietly(product_names)(prefix, parsed_args) + list(files)


def _solver_aliases(_: argparse.Namespace) -> list[str]:
    from orvane_platform.core import solver

    return solver.all_solver_aliases()


def _release_versions(parsed: argparse.Namespace) -> list[str]:
    from orvane_platform.core import releases

    return [release["version"] for release in releases.list_releases(parsed.product)]


def _run_ids(_: argparse.Namespace) -> list[str]:
    from orvane_platform.runs import index as run_index

    return [run["run_id"] for run in run_index.search()]


# --- arguments several commands take ----------------------------------------------------


def add_product(parser: argparse.ArgumentParser, name: str = "product", help: str = "the product") -> None:
    parser.add_argument(
        name,
        type=product_path,
        metavar=name.upper(),
        help=f"{help}: its root .usda, its folder, or its name in the products folder",
    ).completer = complete_products  # type: ignore[attr-defined]


def add_json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print one JSON document instead of tables")


def add_solver_choice(parser: argparse.ArgumentParser) -> None:
    which = parser.add_mutually_exclusive_group(required=True)
    which.add_argument("--domain", help="run the first solver registered for this domain")
    add_solver(which, "run this solver")


def add_solver(parser: argparse._ActionsContainer, help: str) -> None:
    parser.add_argument("--solver", metavar="ALIAS", help=help).completer = quietly(  # type: ignore[attr-defined]
        _solver_aliases
    )


def add_run_filters(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--domain", help=f"only {what} of this domain")
    add_solver(parser, f"only {what} of this solver")
    parser.add_argument(
        "--since",
        type=since,
        metavar="DATE",
        help=f"only {what} at or after this ISO date or time (UTC unless it names a zone)",
    )
    parser.add_argument("--last", type=count, metavar="N", help=f"only the last N {what}")


def add_run_id(parser: argparse.ArgumentParser, name: str, help: str) -> None:
    parser.add_argument(name, metavar=name.upper(), help=help).completer = quietly(_run_ids)  # type: ignore[attr-defined]


def add_version(parser: argparse.ArgumentParser, name: str, help: str) -> None:
    parser.add_argument(name, metavar=name.upper(), help=help).completer = quietly(_release_versions)  # type: ignore[attr-defined]
