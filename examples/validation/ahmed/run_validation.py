"""Validation of the openfoam_ahmed solver against the published Ahmed body drag.

Runs the sample Ahmed product through the platform's run path (`orvane run`'s
runner) over slant angles, then over flow speeds at 25 degrees (which reuse
the cached mesh), and writes results.json, results.md and drag_vs_slant.png
beside this script.

    .venv/bin/python examples/validation/ahmed/run_validation.py [--workspace DIR]
    .venv/bin/python examples/validation/ahmed/run_validation.py --rows LOG   # redraw from printed rows
"""

from __future__ import annotations

import argparse
import json
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Ahmed, Ramm and Faltin, "Some Salient Features of the Time-Averaged Ground
# Vehicle Wake", SAE Technical Paper 840300 (1984): total drag coefficient of
# the body at 60 m/s. 30 degrees is the high-drag state just below the
# critical angle; 35 degrees the low-drag state above it.
PUBLISHED_CD = {0.0: 0.250, 12.5: 0.230, 25.0: 0.285, 30.0: 0.378, 35.0: 0.260}
SPEEDS = (30.0,)


def run_case(solver_run, product: Path, parameters: dict[str, float]) -> dict:
    started = time.monotonic()
    summary = solver_run.run_product(product, solver="openfoam_ahmed", parameters=parameters, save="none")
    elapsed = time.monotonic() - started
    result = summary["result"]
    row = {
        "parameters": parameters,
        "status": summary["status"],
        "error": summary["error"],
        "seconds": round(elapsed, 1),
        "run_id": summary["run_id"],
        "fingerprint": summary["fingerprint"],
    }
    for key in (
        "cd",
        "cl",
        "converged",
        "iterations",
        "cells",
        "mesh_cache",
        "mesh_reused",
        "mesh_seconds",
        "solve_seconds",
        "cores",
    ):
        row[key] = result.get(key)
    print(json.dumps(row), flush=True)
    return row


def sweep(product: Path) -> list[dict]:
    # One case after another through the run path: each case already uses
    # every core of this machine.
    from orvane_platform.runs import solver_run

    rows = [run_case(solver_run, product, {"slant_angle_deg": angle, "flow_speed": 40.0}) for angle in PUBLISHED_CD]
    rows += [run_case(solver_run, product, {"slant_angle_deg": 25.0, "flow_speed": speed}) for speed in SPEEDS]
    return rows


def table(rows: list[dict]) -> str:
    lines = [
        "| slant (deg) | speed (m/s) | Cd computed | Cd published | difference | converged | cells | "
        "mesh | time per case (s) |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        angle = row["parameters"]["slant_angle_deg"]
        speed = row["parameters"]["flow_speed"]
        published = PUBLISHED_CD.get(angle)
        if row["status"] != "success":
            lines.append(f"| {angle:g} | {speed:g} | failed: {row['error']} | | | | | | {row['seconds']:.0f} |")
            continue
        difference = f"{(row['cd'] / published - 1) * 100:+.1f} %" if published else ""
        mesh = "reused" if row["mesh_reused"] else "made"
        lines.append(
            f"| {angle:g} | {speed:g} | {row['cd']:.3f} | {published if published else ''} | {difference} | "
            f"{'yes' if row['converged'] else 'no'} | {row['cells']} | {mesh} | {row['seconds']:.0f} |"
        )
    return "\n".join(lines) + "\n"


def plot(rows: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    computed = [
        (r["parameters"]["slant_angle_deg"], r["cd"])
        for r in rows
        if r["status"] == "success" and r["parameters"]["flow_speed"] == 40.0
    ]
    figure, axes = plt.subplots(figsize=(6.4, 4.2), dpi=120)
    axes.plot(list(PUBLISHED_CD), list(PUBLISHED_CD.values()), "ks--", label="Ahmed et al. 1984 (wind tunnel)")
    axes.plot(
        [a for a, _ in computed],
        [c for _, c in computed],
        "o-",
        color="tab:blue",
        label="openfoam_ahmed, coarse mesh (k-omega SST)",
    )
    axes.axvspan(30, 36, color="0.9", zorder=0)
    axes.text(30.3, 0.215, "low-drag regime:\nsteady RANS misses it", fontsize=8)
    axes.set_xlabel("slant angle (deg)")
    axes.set_ylabel("drag coefficient Cd")
    axes.set_ylim(0.2, 0.42)
    axes.grid(alpha=0.3)
    axes.legend(fontsize=8, loc="upper left")
    figure.tight_layout()
    figure.savefig(path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workspace", type=Path, help="demo workspace to run in (default: a temporary one)")
    parser.add_argument("--rows", type=Path, help="write the outputs from the rows an earlier run printed")
    args = parser.parse_args()
    if args.rows:
        write_outputs([json.loads(line) for line in args.rows.read_text().splitlines() if line.startswith("{")])
        return
    from orvane_platform.core import workspace
    from orvane_platform.setup import demo

    folder = args.workspace or Path(tempfile.mkdtemp(prefix="orvane-ahmed-validation-"))
    prepared = demo.prepare_workspace(folder)
    workspace.activate(prepared["workspace"], override_environment=True)
    write_outputs(sweep(prepared["ahmed"]))


def write_outputs(rows: list[dict]) -> None:
    (HERE / "results.json").write_text(json.dumps(rows, indent=2) + "\n")
    (HERE / "results.md").write_text(table(rows))
    plot(rows, HERE / "drag_vs_slant.png")
    print(table(rows))


if __name__ == "__main__":
    main()
