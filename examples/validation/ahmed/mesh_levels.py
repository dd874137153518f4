"""Cells and time per case of each mesh level of openfoam_ahmed on this machine.

Runs the driver directly on the Ahmed body at 25 degrees for each level with a
short solve (`--iterations`, default 20), and writes mesh_levels.json and
mesh_levels.md beside this script: cells, meshing time, time per iteration,
and the time of a full case (meshing + 200 iterations, the default limit)
estimated from them.

    .venv/bin/python examples/validation/ahmed/mesh_levels.py [--levels coarse medium fine]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sysconfig
import tempfile
from pathlib import Path

import yaml

HERE = Path(__file__).resolve().parent
DRIVER = str(Path(sysconfig.get_path("scripts")) / "orvane-openfoam-ahmed")
DESIGN = {
    "length": 1.044,
    "width": 0.389,
    "height": 0.288,
    "front_radius": 0.1,
    "slant_angle_deg": 25.0,
    "slant_length": 0.222,
    "ground_clearance": 0.05,
    "flow_speed": 40.0,
}
FULL_ITERATIONS = 200


def measure(level: str, iterations: int, cache: Path) -> dict:
    case = yaml.safe_dump({"design": DESIGN, "inputs": {"mesh_level": level, "iterations": iterations}})
    done = subprocess.run(
        [DRIVER],
        input=case,
        capture_output=True,
        text=True,
        check=True,
        env=os.environ | {"ORVANE_CACHE_DIR": str(cache)},
    )
    result = json.loads(done.stdout)
    if result["status"] != "success":
        raise SystemExit(f"{level}: {result['error']}")
    per_iteration = result["solve_seconds"] / result["iterations"]
    row = {
        "level": level,
        "cells": result["cells"],
        "cores": result["cores"],
        "mesh_seconds": round(result["mesh_seconds"], 1),
        "iterations": result["iterations"],
        "seconds_per_iteration": round(per_iteration, 2),
        "full_case_seconds": round(result["mesh_seconds"] + FULL_ITERATIONS * per_iteration),
    }
    print(json.dumps(row), flush=True)
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--levels", nargs="+", default=["coarse", "medium", "fine"])
    parser.add_argument("--iterations", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as cache:
        rows = [measure(level, args.iterations, Path(cache)) for level in args.levels]
    (HERE / "mesh_levels.json").write_text(json.dumps(rows, indent=2) + "\n")
    lines = [
        "| level | cells | cores | meshing (s) | s per iteration | full case, estimated (s) |",
        "|---|---|---|---|---|---|",
    ]
    lines += [
        f"| {r['level']} | {r['cells']} | {r['cores']} | {r['mesh_seconds']} | {r['seconds_per_iteration']} | "
        f"{r['full_case_seconds']} |"
        for r in rows
    ]
    (HERE / "mesh_levels.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
