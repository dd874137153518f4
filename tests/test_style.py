"""The Python sources follow the project's ruff settings (pyproject.toml): formatted, and clean of lint."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[1]
CHECKED = ["src", "tests", "bench", "examples"]


@pytest.mark.parametrize("command", [["format", "--check"], ["check"]], ids=["format", "lint"])
def test_python_sources_pass_ruff(command):
    done = subprocess.run(
        [sys.executable, "-m", "ruff", *command, *CHECKED], cwd=REPOSITORY, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stdout + done.stderr
