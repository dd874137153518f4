"""Only native/py.h and the files under native/py/ speak the CPython C API:
module code uses their checked operations, so no error return can be
dropped."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[1]
BOUNDARY_HEADER = REPOSITORY / "native" / "py.h"
BOUNDARY_FOLDER = REPOSITORY / "native" / "py"

# Calls whose error return is the classic dropped -1: never allowed outside
# the boundary, comment or not.
UNCHECKED = re.compile(
    r"\b(PyObject_RichCompare\w*|Py\w*_Contains|PyMapping_HasKey\w*|PyNumber_\w+|"
    r"PyObject_IsTrue|PyObject_Not|PyLong_As\w+|PyFloat_AsDouble)\b"
)
# Any other C API name: allowed only with a comment saying why, on the line
# or the line before.
RAW = re.compile(r"\b(Py[A-Z]\w*|Py_\w+|_Py\w+)\b")
NOT_API = {"PyYAML"}


def raw_calls(text: str) -> list[tuple[int, str, str]]:
    """(line number, name, problem) for each raw C API use in C++ source."""
    found = []
    lines = text.splitlines()
    for number, line in enumerate(lines, start=1):
        code = line.split("//", 1)[0]
        for match in UNCHECKED.finditer(code):
            found.append((number, match.group(1), "unchecked operation: use native/py"))
        for match in RAW.finditer(code):
            name = match.group(1)
            if name in NOT_API or UNCHECKED.fullmatch(name):
                continue
            previous = lines[number - 2].strip() if number > 1 else ""
            if "//" not in line and not previous.startswith("//"):
                found.append((number, name, "raw C API call without a comment saying why"))
    return found


def in_boundary(path: Path) -> bool:
    return path == BOUNDARY_HEADER or path.is_relative_to(BOUNDARY_FOLDER)


def sources() -> list[Path]:
    return sorted(
        path
        for folder in ("src", "native", "samples")
        for path in (REPOSITORY / folder).rglob("*")
        if path.suffix in {".cpp", ".h"} and not in_boundary(path)
    )


def test_the_boundary_is_native_py_h_and_its_folder():
    inside = sorted(BOUNDARY_FOLDER.glob("*.cpp"))
    assert inside and all(in_boundary(path) for path in inside)
    assert in_boundary(BOUNDARY_HEADER)
    assert not in_boundary(REPOSITORY / "native" / "text.cpp")
    assert not in_boundary(REPOSITORY / "native" / "domain" / "usd.cpp")


def test_only_native_py_calls_the_c_api():
    problems = [
        f"{path.relative_to(REPOSITORY)}:{line}: {name}: {problem}"
        for path in sources()
        for line, name, problem in raw_calls(path.read_text())
    ]
    assert problems == []


@pytest.mark.parametrize(
    "snippet",
    [
        "    if (PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT) == 1) return true;",
        "    // compared raw for speed\n    return PyDict_Contains(d.ptr(), k.ptr()) == 1;",
        "    nb::object d = nb::steal(PyNumber_Subtract(a.ptr(), b.ptr()));",
        "    const double x = PyFloat_AsDouble(value.ptr());",
    ],
)
def test_unchecked_operations_are_refused_even_with_a_comment(snippet):
    assert any("unchecked" in problem for _, _, problem in raw_calls(snippet))


def test_other_raw_calls_need_a_comment():
    bare = "    PyErr_Clear();"
    explained = "    // a failed lookup here is expected and carries no information\n    PyErr_Clear();"
    assert raw_calls(bare) == [(1, "PyErr_Clear", "raw C API call without a comment saying why")]
    assert raw_calls(explained) == []
