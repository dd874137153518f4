"""YAML alias bombs in the workspace's settings and in the solver registry.

    .venv/bin/python bench/bench_yaml_bombs.py [LEVELS ...]

A bomb of N levels is a few hundred bytes whose aliases expand to 9**N
values. Each case times the installed `orvane` command on a copy of the
sample workspace with one bomb in it (`orvane.yaml`, or the sample aero
solver's `solver.yaml`) beside its floor: PyYAML's own `safe_load` of the
same file. A command that runs over the time-out (60 s) is shown as such.
Levels default to 9, 10 and 16.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import yaml
from timing import median_seconds

ROOT = Path(__file__).resolve().parents[1]
ORVANE = str(Path(sys.executable).parent / "orvane")
TIMEOUT_SECONDS = 60


def bomb(levels: int) -> str:
    """Level 0 holds nine texts; every later level holds nine aliases of the one before."""
    lines = ["l0: &l0 [" + ", ".join(["lol"] * 9) + "]"]
    lines += [f"l{level}: &l{level} [" + ", ".join([f"*l{level - 1}"] * 9) + "]" for level in range(1, levels + 1)]
    return "\n".join(lines) + "\n"


def workspace(folder: Path) -> Path:
    shutil.copytree(ROOT / "examples" / "products" / "sedan", folder / "products" / "sedan")
    shutil.copytree(ROOT / "examples" / "solvers", folder / "solvers")
    (folder / "orvane.yaml").write_text("products: products\nsolvers: solvers\nhome: .orvane\n")
    return folder


def command_seconds(arguments: list[str], cwd: Path) -> tuple[float, int | None]:
    """Wall time and exit status of one command; no status when it timed out."""
    start = time.perf_counter()
    try:
        done = subprocess.run(
            [ORVANE, *arguments], cwd=cwd, capture_output=True, timeout=TIMEOUT_SECONDS, env={"HOME": str(cwd)}
        )
    except subprocess.TimeoutExpired:
        return TIMEOUT_SECONDS, None
    return time.perf_counter() - start, done.returncode


def show(case: str, seconds: float, status: int | None, floor: float) -> None:
    took = f">{TIMEOUT_SECONDS} s (timed out)" if status is None else f"{seconds * 1e3:9.1f} ms, exit {status}"
    print(f"{case:<52} {took:<26} PyYAML safe_load {floor * 1e3:7.2f} ms")


def main() -> None:
    levels = [int(argument) for argument in sys.argv[1:]] or [9, 10, 16]
    with tempfile.TemporaryDirectory() as temporary:
        baseline = workspace(Path(temporary) / "baseline")
        seconds, status = command_seconds(["solver", "list"], baseline)
        show("no bomb: orvane solver list", seconds, status, 0.0)
        for level in levels:
            text = bomb(level)
            floor = median_seconds(lambda text=text: yaml.safe_load(text), 5)
            folder = workspace(Path(temporary) / f"settings{level}")
            settings = folder / "orvane.yaml"
            settings.write_text(settings.read_text() + text)
            seconds, status = command_seconds(["gates", "sedan"], folder)
            show(f"orvane.yaml, {level} levels ({len(text)} B): orvane gates", seconds, status, floor)
            folder = workspace(Path(temporary) / f"registry{level}")
            config = folder / "solvers" / "sample_aero" / "solver.yaml"
            config.write_text(config.read_text() + text)
            for arguments in (["solver", "list"], ["gates", "sedan"], ["run", "sedan", "--domain", "aero"]):
                seconds, status = command_seconds(arguments, folder)
                show(f"solver.yaml, {level} levels: orvane {' '.join(arguments[:2])}", seconds, status, floor)


if __name__ == "__main__":
    main()
