"""Reading a file out of a container image through the Docker client."""

from __future__ import annotations

import time
from decimal import Decimal

import pytest

from orvane_platform.core.image_tools import docker_cat
from tests.support import install_double, logged_calls


@pytest.mark.parametrize(
    ("body", "text"),
    [
        pytest.param("printf 'name: aero \\xe2\\x80\\x94 solver\\n'", "name: aero \u2014 solver\n", id="utf8"),
        pytest.param("printf 'a\\xffb\\r\\n'", "a\ufffdb\r\n", id="invalid-utf8-and-crlf-kept"),
        pytest.param("exit 0", "", id="empty-file"),
        pytest.param("echo 'cat: /x: No such file' >&2; exit 1", None, id="missing-file"),
        pytest.param("exit 125", None, id="no-daemon"),
    ],
)
def test_docker_cat(tmp_path, monkeypatch, body, text):
    log = install_double(tmp_path, monkeypatch, "docker", body)
    assert docker_cat("solvers/aero:1.0", "/opt/solver/solver.yaml") == text
    assert logged_calls(log) == [["run", "--rm", "--entrypoint", "cat", "solvers/aero:1.0", "/opt/solver/solver.yaml"]]


def test_docker_cat_without_docker(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert docker_cat("img", "/x") is None


@pytest.mark.parametrize("timeout", [1, 1.9, Decimal("1.5"), True])
def test_docker_cat_time_out(tmp_path, monkeypatch, timeout):
    install_double(tmp_path, monkeypatch, "docker", "sleep 10")
    start = time.monotonic()
    assert docker_cat("img", "/x", timeout) is None
    assert time.monotonic() - start < 3


@pytest.mark.parametrize("timeout", ["15", None, 1j])
def test_docker_cat_timeout_type(tmp_path, monkeypatch, timeout):
    log = install_double(tmp_path, monkeypatch, "docker", "exit 0")
    with pytest.raises(TypeError, match="argument 'timeout' must be int"):
        docker_cat("img", "/x", timeout)
    with pytest.raises(TypeError, match="argument 'path' must be str"):
        docker_cat("img", None)
    assert logged_calls(log) == []
