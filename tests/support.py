"""Helpers the tests share: sample paths, products made with pxr, doubles of
programs on PATH, the installed command, processes killed at random instants
and those still running, solvers that are shell scripts, an HTTP server that
answers Ollama's API, and a product object that records calls."""

from __future__ import annotations

import contextlib
import json
import os
import random
import signal
import stat
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import pytest
import yaml
from pxr import Sdf, Usd

import orvane_platform

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
SAMPLE_PRODUCT = EXAMPLES / "products" / "sedan"
SAMPLE_SOLVERS = EXAMPLES / "solvers"


def author(layer: Sdf.Layer, prim: str, attributes: dict[str, Any]) -> None:
    """Author attributes on `prim` of `layer` (an `over` unless it exists); None
    declares an attribute without a value."""
    spec = layer.GetPrimAtPath(prim) or Sdf.CreatePrimInLayer(layer, prim)
    for name, value in attributes.items():
        type_name = {
            bool: Sdf.ValueTypeNames.Bool,
            int: Sdf.ValueTypeNames.Int,
            float: Sdf.ValueTypeNames.Double,
            str: Sdf.ValueTypeNames.String,
            type(None): Sdf.ValueTypeNames.Double,
        }[type(value)]
        attribute = Sdf.AttributeSpec(spec, name, type_name)
        if value is not None:
            attribute.default = value


def make_product(
    folder: Path,
    *,
    name: str = "car",
    root: dict[str, Any] | None = None,
    layers: dict[str, dict[str, Any]] | None = None,
    prim: str = "Car",
) -> Path:
    """A product folder with a root layer sublayering `layers/<name>.usda` for
    each entry of `layers` (in that order, strongest first); no layers makes a
    flat product."""
    folder.mkdir(parents=True, exist_ok=True)
    root_path = folder / f"{name}.usda"
    stage = Usd.Stage.CreateNew(str(root_path))
    stage.SetDefaultPrim(stage.DefinePrim(f"/{prim}", "Xform"))
    root_layer = stage.GetRootLayer()
    author(root_layer, f"/{prim}", root or {})
    for layer_name, attributes in (layers or {}).items():
        layer_path = folder / "layers" / f"{layer_name}.usda"
        layer_path.parent.mkdir(exist_ok=True)
        layer = Sdf.Layer.CreateNew(str(layer_path))
        author(layer, f"/{prim}", attributes)
        layer.Save()
        root_layer.subLayerPaths.append(f"layers/{layer_name}.usda")
    root_layer.Save()
    return root_path


def product_with_history(
    folder: Path, values: list[float], *, kpi: str = "cd", targets: dict[str, float] | None = None
) -> Path:
    """A product whose prototype layer holds one aero results-history entry
    per value (written as Python writes it: nan, inf too), an hour apart, and
    whose root sets `targets` ({"min": ..., "nominal": ..., "max": ...})."""
    root = {f"target_{kpi}_{name}": value for name, value in (targets or {}).items()}
    product = make_product(folder, root=root, layers={"prototype": {}})
    layer = Sdf.Layer.FindOrOpen(str(folder / "layers" / "prototype.usda"))
    history = Sdf.AttributeSpec(layer.GetPrimAtPath("/Car"), "resultsHistory", Sdf.ValueTypeNames.StringArray)
    history.default = [
        f"2026-05-01T{hour:02d}:00:00+00:00|domain=aero|{kpi}={value!r}" for hour, value in enumerate(values)
    ]
    layer.Save()
    return product


EXTREME_HISTORIES = {
    "huge": [-1e308, 1e308],
    "largest": [1.7976931348623157e308, -1.7976931348623157e308, 0.0],
    "tiny": [1e-308],
    "smallest": [5e-324, -5e-324],
    "mixed": [-1e308, 1e-308, 1.0, -2.5],
    "far-apart": [1e-300, 1e300],
    "single": [0.27],
    "equal": [1e308, 1e308, 1e308],
    "non-finite": [1.0, float("nan"), float("inf"), float("-inf"), 2.0],
}


def install_double(folder: Path, monkeypatch: pytest.MonkeyPatch, name: str, body: str) -> Path:
    """An executable script `name` first on PATH that logs its arguments, one
    per line, to <folder>/<name>.log and then runs the bash `body`."""
    bin_dir = folder / "bin"
    bin_dir.mkdir(exist_ok=True)
    log = folder / f"{name}.log"
    script = bin_dir / name
    script.write_text(f'#!/bin/bash\nprintf "%s\\n" "$@" >> "{log}"\necho --- >> "{log}"\n{body}\n')
    script.chmod(script.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    return log


def logged_calls(log: Path) -> list[list[str]]:
    """The argument vectors a double was called with."""
    if not log.exists():
        return []
    calls, current = [], []
    for line in log.read_text().splitlines():
        if line == "---":
            calls.append(current)
            current = []
        else:
            current.append(line)
    return calls


HOSTILE_TEXT = "<script>alert(1)</script>"
HOSTILE_NOTES = "<img src=x onerror=alert(2)>"


def write_solver(registry, alias, body, timeout=5):
    folder = registry / alias
    folder.mkdir()
    script = folder / "run.sh"
    script.write_text(f"#!/bin/bash\n{body}\n")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    (folder / "solver.yaml").write_text(
        yaml.safe_dump({"image": "img", "run": {"command": [str(script)], "timeout_seconds": timeout}})
    )
    (folder / "kpi_spec.yaml").write_text("domain: thermal\nkpis: {t_max: {}}\n")


ORVANE = str(Path(sys.executable).parent / "orvane")
SUPERVISOR = str(Path(orvane_platform.__file__).parent / "libexec" / "orvane-supervise")


def orvane_environment(cwd: Path, env: dict[str, str] | None) -> dict[str, str]:
    return os.environ | {"COLUMNS": "400", "HOME": str(cwd)} | (env or {})


def orvane(
    *arguments: str, cwd: Path, env: dict[str, str] | None = None, input: str | None = None
) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [ORVANE, *arguments],
        cwd=cwd,
        env=orvane_environment(cwd, env),
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
        input=input,
    )


def start_orvane(*arguments: str, cwd: Path, env: dict[str, str] | None = None) -> subprocess.Popen[bytes]:
    """The installed command started, not waited for; its output is discarded."""
    return subprocess.Popen(
        [ORVANE, *arguments],
        cwd=cwd,
        env=orvane_environment(cwd, env),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )


def kill_at_random(
    start: Callable[[], subprocess.Popen],
    tries: int,
    seed: int,
    longest: float = 0.25,
    after: Callable[[], None] = lambda: None,
) -> None:
    """`tries` times: starts a process with `start` (which returns once it is ready), kills it with SIGKILL at a
    random instant of the `longest` seconds that follow, then calls `after`."""
    chance = random.Random(seed)
    for _ in range(tries):
        process = start()
        time.sleep(chance.uniform(0, longest))
        process.send_signal(signal.SIGKILL)
        process.wait()
        after()


# --- the processes of a solver ----------------------------------------------------------------


def write_tree_solver(registry: Path, alias: str, trees: Path) -> None:
    """A solver that starts a grandchild in its process group and one in a session of its own, then adds to
    `trees` a line with its pid, its parent's and theirs, and waits for ever."""
    write_solver(
        registry,
        alias,
        "cat > /dev/null\nsleep 300 &\ngrandchild=$!\n"
        "setsid sleep 300 < /dev/null > /dev/null 2>&1 &\n"
        f"echo $$ $PPID $grandchild $! >> {trees}\nwait",
        timeout=600,
    )


def recorded_trees(trees: Path) -> list[list[int]]:
    """The lines of a tree solver's file: its pid, its parent's, its grandchild's and its session child's."""
    if not trees.exists():
        return []
    return [[int(word) for word in line.split()] for line in trees.read_text().splitlines()]


def alive(pid: int) -> bool:
    """Whether `pid` runs: a zombie waiting for its reaper does not."""
    try:
        stat_line = Path(f"/proc/{pid}/stat").read_bytes()
    except OSError:
        return False
    return stat_line.rsplit(b")", 1)[1].split()[0] != b"Z"


def parent_of(pid: int) -> int:
    return int(Path(f"/proc/{pid}/stat").read_bytes().rsplit(b")", 1)[1].split()[1])


def environment_entry(pid: int, name: str) -> str:
    """The entry NAME=value of `name` in the environment of `pid`."""
    entries = Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
    return next(entry.decode() for entry in entries if entry.startswith(name.encode() + b"="))


def carrying(entry: str) -> list[int]:
    """The running processes whose environment holds `entry` (NAME=value)."""
    needle = b"\0" + entry.encode() + b"\0"
    found = []
    for folder in Path("/proc").iterdir():
        if not folder.name.isdigit():
            continue
        try:
            environment = b"\0" + (folder / "environ").read_bytes()
        except OSError:
            continue
        if needle in environment and alive(int(folder.name)):
            found.append(int(folder.name))
    return found


def survivors(pids: list[int], entry: str | None = None, seconds: float = 5) -> list[int]:
    """Waits up to `seconds` until none of `pids`, nor any process holding `entry` (NAME=value) in its
    environment, runs; returns those still running then, killed so that no test leaves them behind."""
    deadline = time.monotonic() + seconds
    while True:
        left = sorted({pid for pid in pids if alive(pid)} | set(carrying(entry) if entry else []))
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    for pid in left:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    return left


def parsed(result: subprocess.CompletedProcess[str]) -> object:
    assert result.stderr == "" or "Traceback" not in result.stderr, result.stderr
    return json.loads(result.stdout)


# A stand-in for the CFD driver: its prepare step and a short, successful run.
FAKE_CFD = """#!/bin/bash
cat > /dev/null
if [ "$1" = "--prepare" ]; then
  echo "solid ahmed" > "$2/ahmed.stl"
  echo "{\\"geometry\\": [\\"$2/ahmed.stl\\"], \\"mesh_cache\\": \\"sha256:00\\", \\"solver_version\\": \\"test\\"}"
  exit 0
fi
echo "simpleFoam: iteration 10, Cd 0.3000" >&2
echo '{"status": "success", "cd": 0.3, "cl": 0.2, "converged": true, "iterations": 10}'
"""


class FakeOllama:
    """Answers /api/tags, /api/chat and /api/generate as scripted; records
    every request. A chat's scripted message may be a function of the request
    body, or an HTTP status that fails that chat alone."""

    def __init__(self):
        self.requests: list[tuple[str, str, dict]] = []
        self.models = ["llama3.1:8b", "qwen2.5:7b"]
        self.chat_message: dict | int | Callable[[dict], dict] = {"role": "assistant", "content": "Hello."}
        self.chat_messages: list[dict | int] = []  # answered first, in order, before chat_message
        self.generate_replies: list[dict] = []
        self.status = 200
        self.error_body: dict | None = None
        self.delay = 0.0
        fake = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *arguments):
                pass

            def _answer(self, body: dict, status: int | None = None) -> None:
                time.sleep(fake.delay)
                status = status or fake.status
                payload = json.dumps(body if status == 200 else fake.error_body or {"error": "failed"}).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            def do_GET(self):
                fake.requests.append(("GET", self.path, {}))
                self._answer({"models": [{"model": name, "name": name} for name in fake.models]})

            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                body = json.loads(self.rfile.read(length) or b"{}")
                fake.requests.append(("POST", self.path, body))
                if self.path == "/api/chat":
                    message = fake.chat_messages.pop(0) if fake.chat_messages else fake.chat_message
                    if callable(message):
                        message = message(body)
                    self._answer(
                        {
                            "model": body["model"],
                            "created_at": "2026-01-01T00:00:00Z",
                            "message": message,
                            "done": True,
                        },
                        message if isinstance(message, int) else None,
                    )
                else:
                    reply = fake.generate_replies.pop(0) if fake.generate_replies else {"response": "hi", "done": True}
                    self._answer({"model": body["model"], "created_at": "2026-01-01T00:00:00Z", **reply})

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.host = f"127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True).start()

    def posts(self, path: str) -> list[dict]:
        return [body for method, p, body in self.requests if method == "POST" and p == path]


def tool_call(name: str, arguments: object) -> dict:
    """A chat message of the model asking for one tool call."""
    return {"role": "assistant", "content": "", "tool_calls": [{"function": {"name": name, "arguments": arguments}}]}


class Platform:
    """A product object that records what the tools ask of it."""

    name = "sedan"

    def __init__(self, result=None, gates=None, analysis=None):
        self.result = result if result is not None else {"status": "success", "cd": 0.2471, "cl": -0.03}
        self.gates = gates if gates is not None else []
        self.analysis = analysis
        self.calls: list[tuple[str, dict]] = []

    def set_solver(self, **kwargs):
        self.calls.append(("set_solver", kwargs))

    def simulate(self, **kwargs):
        self.calls.append(("simulate", kwargs))
        return self.result

    def evaluate_gates(self, results=None):
        self.calls.append(("evaluate_gates", results))
        return {"gates": self.gates}

    def range_competitiveness(self, cd):
        self.calls.append(("range_competitiveness", {"cd": cd}))
        return self.analysis


class Context:
    def __init__(self, platform):
        self.platform = platform
        self.vname = "Sedan"
        self.last_aero_result = None
        self.last_dyn_result = None
