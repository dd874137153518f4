"""Calls every public function and method of the package with hostile values.

Run by tests/test_crash_fuzz.py in a process of its own: any call may raise,
but none may crash the interpreter or hang. Everything it writes stays in a
temporary folder; docker, nvidia-smi and sysctl are doubles that fail fast.
"""

from __future__ import annotations

import contextlib
import faulthandler
import inspect
import io
import math
import os
import shutil
import socket
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

REPOSITORY = Path(__file__).resolve().parents[1]
SECONDS_PER_CALL = 30


class Hostile:
    """An object whose every comparison, hash and text conversion raises."""

    def _raise(self, *args: Any) -> Any:
        raise RuntimeError("hostile")

    __str__ = __repr__ = __eq__ = __ne__ = __lt__ = __gt__ = __le__ = __ge__ = __hash__ = _raise
    __bool__ = __len__ = __iter__ = __float__ = __int__ = __index__ = __fspath__ = _raise


def self_referencing_dict() -> dict:
    loop: dict = {"a": 1}
    loop["self"] = loop
    return loop


def self_referencing_list() -> list:
    loop: list = [1]
    loop.append(loop)
    return loop


def deep_list(depth: int = 100_000) -> list:
    deep: list = []
    for _ in range(depth):
        deep = [deep]
    return deep


def setup_workspace() -> dict[str, Path]:
    root = Path(tempfile.mkdtemp(prefix="orvane-fuzz-"))
    os.chdir(root)
    product = root / "products" / "sedan"
    shutil.copytree(REPOSITORY / "examples" / "products" / "sedan", product)
    shutil.copytree(REPOSITORY / "examples" / "solvers", root / "solvers")
    bin_dir = root / "bin"
    bin_dir.mkdir()
    for name in ("docker", "nvidia-smi", "sysctl"):
        double = bin_dir / name
        double.write_text("#!/bin/sh\nexit 1\n")
        double.chmod(0o755)
    fifo = root / "fifo.usda"
    os.mkfifo(fifo)
    (root / "folder.usda").mkdir()
    os.environ.update(
        {
            "PATH": f"{bin_dir}:{os.environ['PATH']}",
            "ORVANE_HOME": str(root / "home"),
            "ORVANE_SOLVERS_DIR": str(root / "solvers"),
            "ORVANE_WORKSPACE": str(root),
            "ORVANE_PRODUCTS_DIR": str(root / "products"),
            "ORVANE_OLLAMA_URL": "http://127.0.0.1:9",
        }
    )
    return {"root": root, "product": product / "sedan.usda", "fifo": fifo, "folder": root / "folder.usda"}


def patch_waits() -> None:
    """No sleeping, and no name lookups beyond this host."""
    time.sleep = lambda seconds: None
    real_getaddrinfo = socket.getaddrinfo

    def local_only(host, *args, **kwargs):
        if host not in ("127.0.0.1", "localhost", "::1"):
            raise socket.gaierror("no network in the fuzz")
        return real_getaddrinfo(host, *args, **kwargs)

    socket.getaddrinfo = local_only


def values(places: dict[str, Path]) -> st.SearchStrategy[Any]:
    texts = st.one_of(
        st.text(max_size=20),
        st.sampled_from(
            [
                "",
                "aero",
                "sample_aero",
                "v1",
                "\x00",
                "a\nb",
                "../..",
                "/",
                ".",
                "é" * 3,
                "x" * 10_000,
                "\udcff",
                "cd_max",
                "prototype",
                "design_intent",
            ]
        ),
    )
    paths = st.sampled_from(
        [
            str(places["product"]),
            places["product"],
            str(places["fifo"]),
            "/dev/zero",
            str(places["folder"]),
            os.fsdecode(b"/tmp/\xff\xfe.usda"),
            b"/tmp/bytes.usda",
            "/nonexistent/x.usda",
            "",
        ]
    )
    scalars = st.one_of(
        st.none(),
        st.booleans(),
        st.integers(),
        st.sampled_from([2**200, -(2**64), 0, -1]),
        st.floats(allow_nan=True, allow_infinity=True),
        st.just(math.nan),
        texts,
        st.binary(max_size=20),
        paths,
        st.builds(Hostile),
    )
    containers = st.recursive(
        scalars,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4), st.dictionaries(texts, inner, max_size=4), st.tuples(inner, inner)
        ),
        max_leaves=8,
    )
    return st.one_of(
        containers,
        st.builds(self_referencing_dict),
        st.builds(self_referencing_list),
        st.builds(deep_list),
    )


def public_callables(places: dict[str, Path]) -> list[tuple[str, Any]]:
    import importlib

    modules = [
        line.split()[0]
        for line in (REPOSITORY / "modules.txt").read_text().splitlines()
        if line and not line.startswith("#")
    ]
    found: list[tuple[str, Any]] = []
    for name in modules:
        module = importlib.import_module(name)
        for attribute, value in sorted(vars(module).items()):
            if attribute.startswith("__") or getattr(value, "__module__", name) != name:
                continue
            if inspect.isclass(value):
                continue
            if callable(value):
                found.append((f"{name}.{attribute}", value))

    from orvane_platform.core.product import Product
    from orvane_platform.core.target_gates import GatesMixin
    from orvane_platform.llm.config import LLMConfig
    from orvane_platform.llm.local_llm import OllamaClient
    from orvane_platform.mcp.mcp_client import SolverMCPClient

    class Gated(GatesMixin):
        targets = {"cd_max": 0.3, "cd_min": 0.1}
        name = "gated"

    product = Product(places["product"])
    for owner, instance in (
        ("Product", product),
        ("GatesMixin", Gated()),
        ("OllamaClient", OllamaClient(LLMConfig())),
        ("SolverMCPClient", SolverMCPClient()),
    ):
        for attribute in sorted(dir(type(instance))):
            if attribute.startswith("__"):
                continue
            value = getattr(instance, attribute, None)
            if callable(value):
                found.append((f"{owner}.{attribute}", value))
    return found


def arity(function: Any) -> int:
    try:
        return len(inspect.signature(function).parameters)
    except (TypeError, ValueError):
        return 3


def main() -> int:
    places = setup_workspace()
    patch_waits()
    strategy = values(places)
    callables = public_callables(places)
    quiet = io.StringIO()
    for qualified, function in callables:
        count = arity(function)

        @settings(
            max_examples=int(os.environ.get("ORVANE_FUZZ_EXAMPLES", "15")),
            deadline=None,
            database=None,
            derandomize=True,
            suppress_health_check=list(HealthCheck),
        )
        @given(arguments=st.lists(strategy, min_size=0, max_size=max(count, 1)))
        def call(arguments: list[Any]) -> None:
            faulthandler.dump_traceback_later(SECONDS_PER_CALL, exit=True)
            try:
                with contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
                    function(*arguments)
            except Exception:
                pass  # any exception is an answer; a crash or a hang is not
            finally:
                faulthandler.cancel_dump_traceback_later()
                quiet.seek(0)
                quiet.truncate()

        call()
        print(f"ok {qualified}", flush=True)
    shutil.rmtree(places["root"], ignore_errors=True)
    return 0


if __name__ == "__main__":
    faulthandler.enable()
    sys.exit(main())
