"""The demo's walk-through: its steps, and what each hands over to be shown."""

from __future__ import annotations

import os

import pytest

from orvane_platform.core import gateway_config
from orvane_platform.setup import demo
from tests.support import FAKE_CFD, install_double


@pytest.fixture
def walked_environment():
    """The walk-through makes its workspace this process's: the environment is put back afterwards."""
    saved = dict(os.environ)
    yield
    os.environ.clear()
    os.environ.update(saved)
    gateway_config.gateway_config.cache_clear()


def run_step(step):
    """What one step shows: [(kind, data, context)]."""
    shown = []
    step["run"](lambda kind, data, **context: shown.append((kind, data, context)))
    return shown


def test_the_steps_and_what_each_shows(tmp_path, walked_environment):
    folder = tmp_path / "demo"
    walked = demo.walk_through(folder)
    product = folder / "products" / "sedan" / "sedan.usda"
    assert os.environ["ORVANE_WORKSPACE"] == str(folder)
    assert walked["closing"] == f"Next: cd {folder} and try 'orvane run sedan --domain aero' or 'orvane doctor'."
    steps = walked["steps"]
    assert steps[0]["title"] == f"A fresh copy of the sample product in {folder}"
    assert len(steps) == 10 and all(step["live"] is None for step in steps)
    shown = [run_step(step) for step in steps]
    assert [[kind for kind, _, _ in outputs] for outputs in shown] == [
        ["text", "product", "solvers"],
        ["run"],
        [],
        ["text"],
        ["text"],
        ["history", "runs"],
        ["run"],
        ["gates"],
        [],
        ["diff"],
    ]

    (_, settings, _), (_, loaded, where), (_, solvers, registry) = shown[0]
    assert settings.startswith(f"Settings in {folder / 'orvane.yaml'}: ")
    assert loaded["mass"] == 2050 and where == {"path": product}
    assert registry == {"registry": folder / "solvers"} and {row["certificate"] for row in solvers} == {"missing"}
    [(_, first, checked)] = shown[1]
    assert first["status"] == "success" and first["kpis"]["cd"] == pytest.approx(0.26775)
    assert checked == {"check": "verified"}
    assert shown[4][0][1] == f"{folder / 'products/sedan/releases/v0.1.usda'} (47 attributes)"
    [(_, history, _), (_, runs, _)] = shown[5]
    assert len(history) == 1 and [run["run_id"] for run in runs] == [first["run_id"]]
    [(_, second, _)] = shown[6]
    assert second["parameters_set"] == {"roofline_slope_deg": (14.5, 18.0)} and second["baseline"] is True
    [(_, gates, titled)] = shown[7]
    assert gates["summary"] == "3 passed, 0 failed, 2 not run (5 total)" and titled == {"title": "Gates of sedan"}
    [(_, diff, sides)] = shown[9]
    assert diff["orvane:product:roofline_slope_deg"] == (18.0, 14.5, 3.5)
    assert sides == {"title": "Release v0.2 against v0.1", "first": "v0.2", "second": "v0.1"}


@pytest.mark.parametrize("outcome", ["success", "failure"])
def test_the_cfd_step_runs_the_ahmed_body_with_a_live_line(tmp_path, monkeypatch, walked_environment, outcome):
    # A stand-in for the OpenFOAM driver that writes to standard error while it runs.
    body = FAKE_CFD.replace(">&2\n", ">&2\nsleep 0.3\n")
    if outcome == "failure":
        body = body.replace('echo \'{"status"', "exit 3 #")
    install_double(tmp_path, monkeypatch, "orvane-openfoam-ahmed", body)
    steps = demo.walk_through(tmp_path / "demo", cfd=True)["steps"]
    step = steps[-1]
    assert len(steps) == 11 and step["live"] == "Running openfoam_ahmed on ahmed"
    shown, told = [], []
    show = lambda kind, data, **context: shown.append((kind, data, context))  # noqa: E731
    if outcome == "failure":
        with pytest.raises(RuntimeError, match="the CFD run failed: "):
            step["run"](show, lambda elapsed, text: told.append(text))
        assert [kind for kind, _, _ in shown] == ["run"]  # shown before the walk-through stops
        return
    step["run"](show, lambda elapsed, text: told.append(text))
    [(_, summary, _), (kind, benchmark, sides)] = shown
    assert summary["solver"] == "openfoam_ahmed" and summary["kpis"]["cd"] == pytest.approx(0.3)
    assert "simpleFoam: iteration 10" in "".join(told)
    assert kind == "diff" and "orvane:current:cd" in benchmark
    assert sides == {
        "title": f"{tmp_path / 'demo/products/ahmed/ahmed.usda'} against ahmed1984_slant25",
        "first": "own",
        "second": "ahmed1984_slant25",
    }
