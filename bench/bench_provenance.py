"""Canonical JSON and file hashing against their yardsticks.

    .venv/bin/python bench/bench_provenance.py [--hash-mb 1024]

- Canonical JSON of a ~5 MB parameter tree beside the host's C encoder,
  json.dumps(..., sort_keys=True), on the same tree.
- SHA-256 of a 1 GB file beside `sha256sum`: throughput and the peak memory
  of the process that hashes (each measured in a fresh process).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from timing import median_seconds

from orvane_platform.core import provenance


def parameter_tree(target_bytes: int) -> dict:
    """Parameter snapshots as solvers write them: names to value, default,
    path and override, with floats, ints, strings and nested settings."""
    generator = random.Random(7)
    tree: dict = {}
    while len(json.dumps(tree)) < target_bytes:
        for _ in range(2000):
            index = len(tree)
            tree[f"param_{index:07d}"] = {
                "value": generator.uniform(-1e4, 1e4),
                "default": generator.randint(0, 10**6),
                "path": f"inputs.section_{index % 97}.param_{index}",
                "override": index % 3 == 0,
                "limits": [generator.random(), generator.random() * 100, None],
            }
    return tree


CHILD = """
import json, resource, sys, time
from orvane_platform.core import provenance
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
provenance._sha256_file(sys.argv[1])
seconds = time.perf_counter() - start
print(json.dumps([seconds, before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss]))
"""


def hash_in_child(path: Path) -> tuple[float, int, int]:
    """Seconds, and peak resident kilobytes before and after, of hashing in a
    fresh process."""
    output = subprocess.run([sys.executable, "-c", CHILD, str(path)], check=True, capture_output=True, text=True)
    seconds, before, after = json.loads(output.stdout)
    return seconds, before, after


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--hash-mb", type=int, default=1024)
    megabytes = parser.parse_args().hash_mb

    tree = parameter_tree(5 * 1024 * 1024)
    size = len(provenance._canonical_json(tree)) / 2**20
    ours = median_seconds(lambda: provenance._canonical_json(tree), 5)
    host = median_seconds(lambda: json.dumps(tree, sort_keys=True, separators=(",", ":")), 5)
    print(
        f"canonical JSON of {size:.1f} MB: {ours * 1e3:8.1f} ms   json.dumps(sort_keys): {host * 1e3:8.1f} ms"
        f"   ratio {ours / host:4.2f}"
    )

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "geometry.bin"
        block = os.urandom(1 << 20)
        with open(path, "wb") as file:
            for _ in range(megabytes):
                file.write(block)
        seconds, before, after = hash_in_child(path)
        print(
            f"_sha256_file of {megabytes} MB: {seconds:6.2f} s ({megabytes / seconds:7.1f} MB/s); "
            f"peak RSS {after / 1024:.0f} MB, {before / 1024:.0f} MB before hashing"
        )
        if shutil.which("sha256sum"):
            theirs = median_seconds(
                lambda: subprocess.run(["sha256sum", str(path)], check=True, stdout=subprocess.DEVNULL), 2
            )
            print(f"sha256sum of {megabytes} MB:    {theirs:6.2f} s ({megabytes / theirs:7.1f} MB/s)")


if __name__ == "__main__":
    main()
