"""The stand-in services: paths, workspace, configuration and run folders."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from orvane_platform.core import config, run_store, workspace


@pytest.mark.parametrize(
    ("environment", "expected"),
    [({"ORVANE_HOME": "/srv/orvane"}, "/srv/orvane"), ({"ORVANE_HOME": ""}, "HOME/.orvane"), ({}, "HOME/.orvane")],
)
def test_orvane_home_is_fixed_at_import(tmp_path, environment, expected):
    env = {k: v for k, v in os.environ.items() if k != "ORVANE_HOME"} | environment | {"HOME": str(tmp_path)}
    printed = subprocess.run(
        [sys.executable, "-c", "from orvane_platform.core.paths import ORVANE_HOME as h; print(type(h).__name__, h)"],
        env=env, capture_output=True, text=True, check=True,
    ).stdout.split()
    assert printed == ["PosixPath", expected.replace("HOME", str(tmp_path))]


def test_workspace_root(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert workspace.workspace_root() == tmp_path
    monkeypatch.setenv("ORVANE_WORKSPACE", "relative/ws")
    assert workspace.workspace_root() == Path("relative/ws")


def test_config_values(isolated_home):
    assert config.get_config_value("target_refresh", "") == ""
    assert config.get_config_value("target_refresh") is None
    isolated_home.mkdir()
    path = isolated_home / "config.yaml"
    path.write_text("target_refresh: keep\nllm: {model: m}\n")
    assert config.get_config_value("target_refresh", "") == "keep"
    assert config.get_config_value("missing", 7) == 7
    config.get_config_value("llm")["model"] = "changed"
    assert config.get_config_value("llm") == {"model": "m"}
    path.write_text("target_refresh: ask\n")
    assert config.get_config_value("target_refresh") == "ask"
    path.write_text("")
    assert config.get_config_value("target_refresh", "d") == "d"


@pytest.mark.parametrize(
    ("text", "message"),
    [("a: [b\n", "malformed YAML in .*config.yaml"), ("[1, 2]\n", "config.yaml: expected a mapping")],
)
def test_config_malformed_file_names_it(isolated_home, text, message):
    isolated_home.mkdir()
    (isolated_home / "config.yaml").write_text(text)
    with pytest.raises(ValueError, match=message):
        config.get_config_value("x")


def test_config_key_must_be_text():
    with pytest.raises(TypeError, match="argument 'key' must be str"):
        config.get_config_value(1)


def test_run_dir_creates_the_folder(tmp_path):
    made = run_store.run_dir(tmp_path, "sample_aero", timestamp="20260419T051010123456")
    assert made == tmp_path / "simulation_runs" / "sample_aero" / "20260419T051010123456"
    assert made.is_dir()
    assert run_store.run_dir(str(tmp_path), "sample_aero", timestamp="20260419T051010123456") == made


@pytest.mark.parametrize("name", ["", ".", "..", "a/b", "/etc", "..\\x", "a\0b"])
@pytest.mark.parametrize("argument", ["solver", "timestamp"])
def test_run_dir_refuses_escaping_names(tmp_path, name, argument):
    names = {"solver": "s", "timestamp": "t"} | {argument: name}
    with pytest.raises(ValueError, match=f"{argument} must be a single folder name"):
        run_store.run_dir(tmp_path, names["solver"], timestamp=names["timestamp"])
    assert not (tmp_path / "simulation_runs").exists()


def test_run_dir_argument_types(tmp_path):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        run_store.run_dir(tmp_path, "s", "t")
    with pytest.raises(TypeError, match="argument 'timestamp' must be str, not int"):
        run_store.run_dir(tmp_path, "s", timestamp=1)
