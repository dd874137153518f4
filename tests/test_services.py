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
        env=env,
        capture_output=True,
        text=True,
        check=True,
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


# --- the workspace file -------------------------------------------------------------


@pytest.fixture
def clean_environment(monkeypatch):
    """No workspace variable set, and whatever activate() sets removed afterwards."""
    for variable in (
        "ORVANE_HOME",
        "ORVANE_SOLVERS_DIR",
        "ORVANE_PRODUCTS_DIR",
        "ORVANE_WORKSPACE",
        "ORVANE_LLM_MODEL",
        "ORVANE_OLLAMA_URL",
        "ORVANE_TARGET_REFRESH",
    ):
        monkeypatch.setenv(variable, "")
        monkeypatch.delenv(variable)
    return monkeypatch


def test_the_workspace_is_found_by_walking_up(tmp_path, clean_environment):
    root = tmp_path / "ws"
    deep = root / "a" / "b"
    deep.mkdir(parents=True)
    assert workspace.find_workspace(deep) is None
    written = workspace.write_workspace_file(root, {"solvers": "reg", "products": "../shared", "llm_model": "m:1"})
    assert written == root / "orvane.yaml" and "ORVANE_* environment variables override" in written.read_text()
    assert workspace.find_workspace(deep) == root
    clean_environment.chdir(deep)
    assert workspace.find_workspace() == root

    settings = workspace.settings()
    assert settings["solvers"] == {"variable": "ORVANE_SOLVERS_DIR", "value": str(root / "reg"), "source": "file"}
    assert settings["llm_model"]["value"] == "m:1" and settings["ollama_url"]["source"] == "default"
    clean_environment.setenv("ORVANE_LLM_MODEL", "other:2")
    assert workspace.settings()["llm_model"] == {
        "variable": "ORVANE_LLM_MODEL",
        "value": "other:2",
        "source": "environment",
    }

    assert workspace.activate() == root
    assert os.environ["ORVANE_SOLVERS_DIR"] == str(root / "reg")
    assert os.environ["ORVANE_LLM_MODEL"] == "other:2"  # the environment keeps precedence
    assert workspace.settings()["solvers"]["source"] == "file"  # still reported where it came from
    workspace.activate(override_environment=True)
    assert os.environ["ORVANE_LLM_MODEL"] == "m:1"


def test_activating_a_home_tells_the_paths_module_and_rereads_the_gateway_settings(tmp_path, clean_environment):
    from orvane_platform.core import gateway_config, paths

    clean_environment.setattr(paths, "ORVANE_HOME", paths.ORVANE_HOME)  # put back afterwards
    workspace.write_workspace_file(tmp_path, {"home": "home"})
    before = gateway_config.gateway_config()
    try:
        assert workspace.activate(tmp_path) == tmp_path
        assert paths.ORVANE_HOME == tmp_path / "home"
        assert gateway_config.gateway_config() is not before
    finally:
        gateway_config.gateway_config.cache_clear()


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("solvers: [a, b]\n", "'solvers' must be text, not list"),
        ("- a\n", "expected a mapping"),
        ("solvers: [a\n", "malformed YAML"),
    ],
)
def test_a_malformed_workspace_file_is_named(tmp_path, clean_environment, text, message):
    (tmp_path / "orvane.yaml").write_text(text)
    with pytest.raises(ValueError, match=message):
        workspace.activate(tmp_path)
    with pytest.raises(ValueError, match="unknown workspace setting 'colour'"):
        workspace.write_workspace_file(tmp_path, {"colour": "red"})


def test_a_product_is_resolved_from_file_folder_or_name(tmp_path, clean_environment, sample_product):
    clean_environment.chdir(tmp_path)
    folder = sample_product.parent
    for given in (sample_product, folder, "sedan", "products/sedan"):
        assert workspace.resolve_product(given) == sample_product
    lone = tmp_path / "products" / "lone"
    lone.mkdir()
    (lone / "body.usda").write_text("#usda 1.0\n")
    assert workspace.resolve_product("lone") == lone / "body.usda"  # the only .usda of its folder
    (lone / "other.usda").write_text("#usda 1.0\n")
    with pytest.raises(ValueError, match="no product 'lone'"):
        workspace.resolve_product("lone")
    with pytest.raises(ValueError, match="is a folder without a product's root file"):
        workspace.resolve_product(lone)
