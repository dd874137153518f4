"""Gateway settings from the environment."""

from __future__ import annotations

from pathlib import Path

import pydantic
import pytest

from orvane_platform.core import gateway_config
from orvane_platform.core.gateway_config import GatewayConfig, _resolve_products_dir, _resolve_target_refresh

VARIABLES = [
    "ORVANE_GATEWAY_PORT",
    "ORVANE_GATEWAY_HOST",
    "ORVANE_LOG_DIR",
    "ORVANE_WORK_ROOT",
    "ORVANE_PRODUCTS_DIR",
    "ORVANE_ROOT",
    "ORVANE_STALL_TIMEOUT",
    "ORVANE_CPU_IDLE_THRESHOLD",
    "ORVANE_CIRCUIT_BREAKER_FAILURES",
    "ORVANE_CIRCUIT_BREAKER_RESET_S",
    "ORVANE_TARGET_REFRESH",
    "ORVANE_DOMINO_NIM_PORT",
    "ORVANE_DOMINO_NIM_IMAGE",
    "ORVANE_DOMINO_NIM_URL",
]


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch, tmp_path):
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(gateway_config, "ORVANE_HOME", tmp_path / "home")
    monkeypatch.chdir(tmp_path)
    gateway_config.gateway_config.cache_clear()
    yield
    gateway_config.gateway_config.cache_clear()


def test_defaults(tmp_path):
    settings = GatewayConfig()
    assert settings.model_dump() == {
        "port": 8100,
        "host": "0.0.0.0",
        "log_dir": tmp_path / "home" / "logs",
        "work_root": tmp_path / "home" / "work",
        "products_dir": tmp_path.resolve() / "products",
        "stall_timeout": 600,
        "cpu_idle_threshold": 1.0,
        "circuit_breaker_failure_threshold": 3,
        "circuit_breaker_reset_seconds": 300,
        "target_refresh": "auto",
        "nim_port": 8040,
        "nim_image": "nvcr.io/nim/nvidia/domino-automotive-aero:2.0.0",
        "nim_url": "http://localhost:8040",
    }
    assert settings.dispatch_log == tmp_path / "home" / "logs" / "dispatch.jsonl"
    assert settings.gateway_log == tmp_path / "home" / "logs" / "gateway.log"
    assert isinstance(settings, pydantic.BaseModel) and GatewayConfig.__doc__.startswith("Gateway configuration")


def test_environment_is_read_when_a_model_is_built(monkeypatch):
    monkeypatch.setenv("ORVANE_GATEWAY_PORT", " 9000 ")
    monkeypatch.setenv("ORVANE_CPU_IDLE_THRESHOLD", "2.5")
    monkeypatch.setenv("ORVANE_LOG_DIR", "relative/logs")
    monkeypatch.setenv("ORVANE_DOMINO_NIM_PORT", "9123")
    settings = GatewayConfig()
    assert (settings.port, settings.cpu_idle_threshold, settings.log_dir) == (9000, 2.5, Path("relative/logs"))
    assert settings.nim_port == 9123 and settings.nim_url == "http://localhost:9123"
    monkeypatch.setenv("ORVANE_DOMINO_NIM_URL", "http://nim:1")
    assert GatewayConfig().nim_url == "http://nim:1"


@pytest.mark.parametrize(
    ("variable", "value"),
    [
        ("ORVANE_GATEWAY_PORT", "eighty"),
        ("ORVANE_GATEWAY_PORT", "8100.0"),
        ("ORVANE_GATEWAY_PORT", ""),
        ("ORVANE_CPU_IDLE_THRESHOLD", "low"),
        ("ORVANE_DOMINO_NIM_PORT", "x"),
    ],
)
def test_bad_numbers_fail_and_nothing_is_cached(monkeypatch, variable, value):
    monkeypatch.setenv(variable, value)
    with pytest.raises(ValueError):
        gateway_config.gateway_config()
    monkeypatch.delenv(variable)
    assert gateway_config.gateway_config().port == 8100


def test_the_cache(monkeypatch):
    first = gateway_config.gateway_config()
    monkeypatch.setenv("ORVANE_GATEWAY_PORT", "9999")
    assert gateway_config.gateway_config() is first
    gateway_config.gateway_config.cache_clear()
    assert gateway_config.gateway_config().port == 9999
    assert GatewayConfig() is not gateway_config.gateway_config()


@pytest.mark.parametrize(
    ("fields", "valid"),
    [
        ({"stall_timeout": 0}, False),
        ({"stall_timeout": 1}, True),
        ({"cpu_idle_threshold": 100.5}, False),
        ({"cpu_idle_threshold": -0.1}, False),
        ({"nim_port": 65536}, False),
        ({"nim_port": 65535}, True),
        ({"circuit_breaker_failure_threshold": 0}, False),
        ({"circuit_breaker_reset_seconds": 0}, False),
        ({"port": "not a port"}, False),
        ({"log_dir": "/var/log/orvane"}, True),
    ],
)
def test_explicit_values_are_validated(fields, valid):
    if valid:
        settings = GatewayConfig(**fields)
        assert getattr(settings, next(iter(fields))) == GatewayConfig.model_fields[next(iter(fields))].annotation(
            next(iter(fields.values()))
        )
    else:
        with pytest.raises(pydantic.ValidationError):
            GatewayConfig(**fields)


def test_log_paths_follow_an_explicit_log_dir():
    settings = GatewayConfig(log_dir="/srv/logs")
    assert settings.dispatch_log == Path("/srv/logs/dispatch.jsonl")


def test_schema():
    schema = GatewayConfig.model_json_schema()
    assert (
        list(schema["properties"])
        == list(GatewayConfig.model_fields)
        == [
            "port",
            "host",
            "log_dir",
            "work_root",
            "products_dir",
            "stall_timeout",
            "cpu_idle_threshold",
            "circuit_breaker_failure_threshold",
            "circuit_breaker_reset_seconds",
            "target_refresh",
            "nim_port",
            "nim_image",
            "nim_url",
        ]
    )
    assert schema["properties"]["nim_port"]["minimum"] == 1 and schema["properties"]["nim_port"]["maximum"] == 65535
    assert schema["properties"]["cpu_idle_threshold"]["maximum"] == 100.0
    assert schema["properties"]["port"]["description"] == "MCP Gateway HTTP port"
    assert "required" not in schema


def test_products_dir_order(monkeypatch, tmp_path):
    assert _resolve_products_dir() == tmp_path.resolve() / "products"
    monkeypatch.setenv("ORVANE_ROOT", "/srv/orvane")
    assert _resolve_products_dir() == Path("/srv/orvane/products")
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", "rel/products")
    assert _resolve_products_dir() == Path("rel/products")
    assert GatewayConfig().products_dir == Path("rel/products")


@pytest.mark.parametrize(
    ("variable", "configured", "mode"),
    [
        (None, None, "auto"),
        (None, " Keep ", "keep"),
        (None, "", "auto"),
        (None, 0, "auto"),
        (" KEEP ", "ask", "keep"),
        ("   ", "ask", ""),
        (None, "sideways", "sideways"),
    ],
)
def test_target_refresh_order(monkeypatch, variable, configured, mode):
    import orvane_platform.core.config as config

    calls = []
    monkeypatch.setattr(config, "get_config_value", lambda key, default: calls.append((key, default)) or configured)
    if variable is not None:
        monkeypatch.setenv("ORVANE_TARGET_REFRESH", variable)
    assert _resolve_target_refresh() == mode
    assert calls == ([] if variable is not None else [("target_refresh", "")])


def test_target_refresh_from_the_configuration_file(isolated_home):
    isolated_home.mkdir()
    (isolated_home / "config.yaml").write_text("target_refresh: ASK\n")
    assert GatewayConfig().target_refresh == "ask"
