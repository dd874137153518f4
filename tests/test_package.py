"""The installed package: compiled modules, their stubs and docstrings."""

from __future__ import annotations

import importlib
import inspect
import re
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[1]


def _module_list() -> list[tuple[str, str]]:
    """(dotted name, role) of every extension module, as modules.txt lists them."""
    rows = []
    for line in (REPOSITORY / "modules.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            name, role = line.split()
            rows.append((name, role))
    return rows


MODULES = [name for name, _ in _module_list()]


def _service_list() -> list[tuple[str, str]]:
    """(module, name) of every entry of native/domain/services.h, through
    which one module reaches another."""
    constants: dict[str, str] = {}
    rows = []
    text = (REPOSITORY / "native" / "domain" / "services.h").read_text()
    pattern = r'const char\* (\w+) = "([^"]+)";|constexpr Import \w+\{\s*(\w+|"[^"]+"),\s*"([^"]+)"\}'
    for match in re.finditer(pattern, text):
        if match.group(1):
            constants[match.group(1)] = match.group(2)
        else:
            module = match.group(3)
            rows.append((module.strip('"') if module.startswith('"') else constants[module], match.group(4)))
    return rows


SERVICES = _service_list()


def test_every_module_has_a_known_role():
    roles = dict(_module_list())
    assert set(roles.values()) == {"own", "stand-in"}
    # The platform's own modules are the ones the surrounding package calls.
    assert roles["orvane_platform.core.product_twin"] == "own"
    assert roles["orvane_platform.core.solver"] == "stand-in"


def _source_of(name: str) -> Path:
    """The file that opens a module's source: its .cpp, or module.cpp of its folder."""
    base = REPOSITORY / "src" / Path(*name.split("."))
    return base / "module.cpp" if base.is_dir() else base.with_suffix(".cpp")


@pytest.mark.parametrize("name", [name for name, role in _module_list() if role == "stand-in"])
def test_every_stand_in_says_so_at_its_top(name):
    opening = _source_of(name).read_text().split("#include", 1)[0]
    assert "stands in for the surrounding package" in " ".join(opening.lower().split())


@pytest.mark.parametrize("name", MODULES)
def test_module_is_compiled_with_stub_and_docs(name):
    module = importlib.import_module(name)
    path = Path(module.__file__)
    assert path.suffix == ".so"
    stub = path.parent / (name.rsplit(".", 1)[1] + ".pyi")
    assert stub.is_file()
    assert module.__doc__
    for attribute, value in vars(module).items():
        defined_here = getattr(value, "__module__", name) == name  # not what it imported
        if callable(value) and defined_here and not inspect.isclass(value) and not attribute.startswith("__"):
            assert value.__doc__, f"{name}.{attribute} has no docstring"
            assert f"def {attribute}(" in stub.read_text() or f"\n{attribute}: " in stub.read_text()


def test_the_service_list_is_read_whole():
    assert ("orvane_platform.core.paths", "ORVANE_HOME") in SERVICES
    assert ("orvane_platform.core.solver_certs", "verify_solver_cert") in SERVICES
    assert len(SERVICES) == len(set(SERVICES))


@pytest.mark.parametrize(("module", "name"), SERVICES)
def test_every_service_names_an_attribute_of_its_module(module, name):
    assert hasattr(importlib.import_module(module), name)


def test_typing_marker_is_installed():
    import orvane_platform

    assert (Path(orvane_platform.__file__).parent / "py.typed").is_file()


def test_mypy_sees_the_stub_signatures(tmp_path):
    api = pytest.importorskip("mypy.api")
    program = tmp_path / "use.py"
    program.write_text(
        "from orvane_platform.core.product_twin import load_product\nreveal_type(load_product)\nload_product(42)\n"
    )
    stdout, _, _ = api.run([str(program), "--no-incremental", "--cache-dir", str(tmp_path / "cache")])
    assert 'Revealed type is "def (usda_path: str | os.PathLike[str]) -> dict[str, Any]"' in stdout
    assert 'Argument 1 to "load_product" has incompatible type "int"' in stdout
    assert stdout.count("error:") == 1
