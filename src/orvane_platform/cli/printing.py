"""Everything the command prints: the console, JSON documents, tables, headings and styles."""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Callable, Iterable
from typing import Any

from rich.console import Console
from rich.table import Table


def _console() -> Console:
    if sys.stdout.isatty():
        return Console(file=sys.stdout, highlight=False)
    # Output read by programs: nothing folds, wraps or is cut short.
    return Console(file=sys.stdout, highlight=False, width=1_000_000, soft_wrap=True)


console = _console()

STATUS_STYLES = {"PASS": "green", "WARN": "yellow", "FAIL": "red", "NOT RUN": "dim", "INCONCLUSIVE": "magenta"}
CERT_STYLES = {"verified": "green", "unverified": "red", "missing": "yellow"}
# A fingerprint check: anything but these two (an error, say) in yellow.
VERIFICATION_STYLES = {"verified": "green", "mismatch": "red"}


def emit(args: argparse.Namespace, data: Any, render: Callable[..., None], **context: Any) -> None:
    """A command's output: `data` as one JSON document with --json, else `render(data, **context)`
    (always, for a command without --json)."""
    if getattr(args, "json", False):
        print_json(data)
    else:
        render(data, **context)


def report_error(message: str) -> None:
    """One line on standard error, whatever characters the message quotes."""
    line = "".join(c if c.isprintable() else repr(c)[1:-1] for c in message)
    print(f"orvane: error: {line}", file=sys.stderr)


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


def print_json(document: Any) -> None:
    print(json.dumps(_plain(document), indent=2, ensure_ascii=False, allow_nan=False))


def text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def show_text(line: str) -> None:
    console.print(line, markup=False)


def table(columns: Iterable[str], rows: Iterable[Iterable[Any]], title: str | None = None) -> Table:
    drawn = Table(title=title)
    for column in columns:
        drawn.add_column(column)
    for row in rows:
        drawn.add_row(*(cell if isinstance(cell, str) else text(cell) for cell in row))
    return drawn


def columns(keys: Iterable[Iterable[str]]) -> list[str]:
    """Every key of the rows, once each, in the order they first appear."""
    return list(dict.fromkeys(key for row in keys for key in sorted(row)))


def heading(title: str) -> None:
    if console.is_terminal:
        console.rule(f"[bold]{title}[/]")
    else:
        console.print(f"== {title}")


def styled(word: str, styles: dict[str, str]) -> str:
    style = styles.get(word)
    return f"[{style}]{word}[/]" if style else word


def show_diff(diff: dict[str, tuple[Any, Any, Any]], *, title: str, first: str, second: str) -> None:
    """A difference of two products, releases or runs: each attribute's two values and their difference."""
    console.print(
        table(("attribute", first, second, "difference"), ((key, *values) for key, values in diff.items()), title)
    )
