"""What the product's write lock costs an uncontended write_domain_results.

    .venv/bin/python bench/bench_lock.py

The lock's own cost is measured by taking and releasing it alone (what each
write does once: open the lock file, lock it, close it), and set against the
time of one write at a small and a large history.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

from bench_product_model import KPIS, PROVENANCE, make_product
from timing import median_seconds

from orvane_platform.core import product_twin

LOCKS_PER_SAMPLE = 1000


def main() -> None:
    os.environ.setdefault("ORVANE_SOLVERS_DIR", str(Path(__file__).resolve().parents[1] / "examples" / "solvers"))
    with tempfile.TemporaryDirectory() as temporary:
        for entries in (100, 10_000):
            product = make_product(Path(temporary) / f"p{entries}", entries)

            def lock_and_release() -> None:
                for _ in range(LOCKS_PER_SAMPLE):
                    with product_twin.write_lock(product):
                        pass

            def write() -> None:
                product_twin.write_domain_results(product, "aero", KPIS, solver="sample_aero", provenance=PROVENANCE)

            lock = median_seconds(lock_and_release, 9) / LOCKS_PER_SAMPLE
            call = median_seconds(write, 15)
            print(
                f"write_domain_results, {entries:>6} history entries: {call * 1e3:8.3f} ms; "
                f"the lock {lock * 1e6:6.1f} us = {lock / call:.2%} of the call"
            )


if __name__ == "__main__":
    main()
