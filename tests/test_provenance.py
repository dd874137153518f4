"""Canonical JSON, hashing, image digests, fingerprints and provenance records."""

from __future__ import annotations

import enum
import hashlib
import json
import os
from collections import OrderedDict
from decimal import Decimal
from fractions import Fraction
from pathlib import Path, PurePosixPath

import pytest
from hypothesis import given
from hypothesis import strategies as st

from orvane_platform.core import provenance
from orvane_platform.runs import fingerprint
from tests.support import install_double, logged_calls

canonical = provenance._canonical_json

# --- canonical JSON ---------------------------------------------------------------

float_free = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=5), children, max_size=4),
    max_leaves=20,
)


@given(float_free)
def test_equal_to_the_host_serialiser_without_floats(value):
    expected = json.dumps(value, sort_keys=True, separators=(",", ":"))
    assert canonical(value) == expected
    assert provenance._emit(provenance._canonicalise(value)) == expected


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_are_fixed_point_at_six_places(value):
    text = format(value, ".6f")
    expected = "0" if value == 0 else text.rstrip("0").rstrip(".")
    assert canonical(value) == expected


@pytest.mark.parametrize(
    ("value", "text"),
    [
        ({"b": 1, "a": [1.0, 2.50, None, True]}, '{"a":[1,2.5,null,true],"b":1}'),
        (1.5e-05, "0.000015"),
        (0.000015, "0.000015"),
        (30.0, "30"),
        (30, "30"),
        (0.30000000000000004, "0.3"),
        (100.125, "100.125"),
        (-0.0, "0"),
        (1e-7, "0"),
        (-1e-7, "-0"),
        (1e20, "1" + "0" * 20),
        (0.0000005, "0"),
        (0.0000015, "0.000002"),
        (0.0000004999, "0"),
        (2.5e-7, "0"),
        (-2.675, "-2.675"),
        (1.0000005, "1.000001"),
        (5e-324, "0"),
        (1.7976931348623157e308, format(1.7976931348623157e308, ".0f")),
        (float("nan"), "nan"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        ((1, 2), "[1,2]"),
        ({}, "{}"),
        ([], "[]"),
        (10**30, "1" + "0" * 30),
        (-5, "-5"),
        ({10: "x", 9: "y"}, '{"9":"y","10":"x"}'),
        ({"a": 1, "B": 2}, '{"B":2,"a":1}'),
        ({"ü": "é"}, '{"\\u00fc":"\\u00e9"}'),
        ("\U0001f600", '"\\ud83d\\ude00"'),
        ('\x00\x1f\x7f\b\f\n\r\t"\\/', '"\\u0000\\u001f\\u007f\\b\\f\\n\\r\\t\\"\\\\/"'),
        (PurePosixPath("/a/b"), '"/a/b"'),
        ({1.5: "a", 0.5: "b"}, '{"0.5":"b","1.5":"a"}'),
        (Decimal("1.10"), '"1.10"'),
        (Fraction(1, 3), '"1/3"'),
        ({True: 1, 0: 2}, '{"0":2,"True":1}'),
    ],
)
def test_canonical_texts(value, text):
    assert canonical(value) == text


class Colour(enum.Enum):
    RED = 1


class Count(int):
    def __str__(self) -> str:
        return "many"


def test_other_values_become_their_text():
    assert provenance._canonicalise([Colour.RED, {1, 2}, (1, {"k": Path("x")})]) == [
        "Colour.RED",
        str({1, 2}),
        [1, {"k": "x"}],
    ]
    assert canonical(Colour.RED) == '"Colour.RED"'
    assert canonical(Count(3)) == "many"  # an int subclass prints as its str()
    ordered = OrderedDict([("b", 1), ("a", 2)])
    assert list(provenance._canonicalise(ordered)) == ["b", "a"]
    assert type(provenance._canonicalise(ordered)) is dict


def test_keys_that_cannot_be_ordered_raise_the_host_error():
    with pytest.raises(TypeError, match="'<' not supported between instances of 'str' and 'int'"):
        canonical({1: "a", "b": 2})


def test_deep_nesting_raises_recursion_error_not_a_crash():
    deep: list = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        canonical(deep)
    with pytest.raises(RecursionError):
        provenance._canonicalise(deep)


@pytest.mark.parametrize("function", ["_canonical_json", "_canonicalise", "_emit", "_sha256", "_sha256_file"])
def test_one_argument_each(function):
    with pytest.raises(TypeError):
        getattr(provenance, function)()
    with pytest.raises(TypeError):
        getattr(provenance, function)(b"", b"")


# --- hashing ----------------------------------------------------------------------


@pytest.mark.parametrize("data", [b"", b"abc", bytes(range(256)) * 5000])
def test_sha256_matches_hashlib(data, tmp_path):
    assert provenance._sha256(data) == hashlib.sha256(data).hexdigest()
    path = tmp_path / "file.bin"
    path.write_bytes(data)
    assert provenance._sha256_file(path) == hashlib.sha256(data).hexdigest()


def test_sha256_file_in_many_chunks(tmp_path):
    path = tmp_path / "big.bin"
    with open(path, "wb") as file:
        for index in range(5):
            file.write(os.urandom(1 << 20) + bytes([index]))
    assert provenance._sha256_file(str(path)) == hashlib.sha256(path.read_bytes()).hexdigest()


def test_sha256_file_of_what_cannot_be_read(tmp_path):
    assert provenance._sha256_file(tmp_path / "missing") is None
    assert provenance._sha256_file(tmp_path) is None  # a directory


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_sha256_file_without_permission(tmp_path):
    path = tmp_path / "secret"
    path.write_bytes(b"x")
    path.chmod(0)
    assert provenance._sha256_file(path) is None


@pytest.mark.parametrize("data", [bytearray(b"x"), "text", memoryview(b"x"), None])
def test_sha256_takes_only_bytes(data):
    with pytest.raises(TypeError, match="argument 'data' must be bytes"):
        provenance._sha256(data)


# --- image digests ----------------------------------------------------------------

REPO_DIGEST = "registry.example/solvers/aero@sha256:" + "1" * 64
LOCAL_ID = "sha256:" + "2" * 64


@pytest.mark.parametrize(
    ("body", "digest", "calls"),
    [
        pytest.param(f'[[ "$5" == *RepoDigests* ]] && echo "  {REPO_DIGEST}  "', REPO_DIGEST, 1, id="repository"),
        pytest.param(
            f'[[ "$5" == *RepoDigests* ]] && {{ echo; exit 0; }}; echo {LOCAL_ID}', LOCAL_ID, 2, id="local-id"
        ),
        pytest.param(f'[[ "$5" == *RepoDigests* ]] && exit 1; echo {LOCAL_ID}', LOCAL_ID, 2, id="no-repo-digest"),
        pytest.param("echo 'Error: No such image' >&2; exit 1", None, 2, id="unknown-image"),
        pytest.param("exit 0", None, 2, id="empty-output"),
    ],
)
def test_get_image_digest(tmp_path, monkeypatch, body, digest, calls):
    log = install_double(tmp_path, monkeypatch, "docker", body)
    assert provenance.get_image_digest("solvers/aero:1.0") == digest
    recorded = logged_calls(log)
    assert len(recorded) == calls
    assert recorded[0] == ["image", "inspect", "solvers/aero:1.0", "--format", "{{index .RepoDigests 0}}"]
    if calls == 2:
        assert recorded[1] == ["image", "inspect", "solvers/aero:1.0", "--format", "{{.Id}}"]


def test_get_image_digest_without_docker(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert provenance.get_image_digest("img") is None


def test_get_image_digest_time_out_stops_the_client(tmp_path, monkeypatch):
    marker = tmp_path / "still-running"
    install_double(tmp_path, monkeypatch, "docker", f"sleep 5; touch {marker}")
    monkeypatch.setattr(provenance, "_DOCKER_TIMEOUT_SECONDS", 0.3)
    assert provenance.get_image_digest("img") is None
    assert len(logged_calls(tmp_path / "docker.log")) == 1
    assert not marker.exists()


def test_get_image_digest_output_that_is_not_utf8(tmp_path, monkeypatch):
    install_double(tmp_path, monkeypatch, "docker", r"printf 'sha256:\xff\xfe'")
    with pytest.raises(UnicodeDecodeError):
        provenance.get_image_digest("img")


def test_a_known_image_digest_is_not_looked_up_again(tmp_path, monkeypatch):
    log = install_double(tmp_path, monkeypatch, "docker", f"echo {REPO_DIGEST}")
    looked_up = provenance.build_provenance_record("solvers/aero:1.0", "a: 1\n")
    assert looked_up["solver_image"] == REPO_DIGEST and len(logged_calls(log)) == 1
    given = provenance.build_provenance_record("solvers/aero:1.0", "a: 1\n", image_digest=REPO_DIGEST)
    assert given["fingerprint"] == looked_up["fingerprint"] and len(logged_calls(log)) == 1
    none = provenance.build_provenance_record("solvers/aero:1.0", "a: 1\n", image_digest=None)
    assert none["solver_image"] == "unknown" and none["fingerprint"] != looked_up["fingerprint"]
    with pytest.raises(TypeError, match="argument 'image_digest' must be str or None, not int"):
        provenance.build_provenance_record("img", "a: 1\n", image_digest=1)


def test_get_image_digest_argument_checks(tmp_path, monkeypatch):
    log = install_double(tmp_path, monkeypatch, "docker", "exit 0")
    with pytest.raises(TypeError, match="argument 'image' must be str, not bytes"):
        provenance.get_image_digest(b"img")
    with pytest.raises(ValueError, match="embedded null byte"):
        provenance.get_image_digest("img\0x")
    assert logged_calls(log) == []


# --- fingerprints -----------------------------------------------------------------


def reference_fingerprint(case, *, image="", version="", cert="", parameters=None, geometry="", mesh="none"):
    payload = {
        "image": image,
        "solver_version": version,
        "solver_cert": cert,
        "case": case,
        "parameters": parameters or {},
        "geometry": geometry,
        "mesh_cache": mesh,
    }
    return hashlib.sha256(json.dumps(payload, sort_keys=True, separators=(",", ":")).encode()).hexdigest()


@pytest.mark.parametrize(
    ("case_yaml", "case"),
    [
        ("", {}),
        ("solver: xlb\nsteps: 200\n", {"solver": "xlb", "steps": 200}),
        ("42\n", {"case": 42}),
        ("- a\n- b\n", {"case": ["a", "b"]}),
        ("~\n", {"case": None}),
        ("a: [unclosed\n", {"raw_case_yaml": "a: [unclosed\n"}),
        ("a: !!python/object:os.system x\n", {"raw_case_yaml": "a: !!python/object:os.system x\n"}),
    ],
)
def test_fingerprint_payload(case_yaml, case):
    assert provenance.compute_run_fingerprint(case_yaml=case_yaml) == reference_fingerprint(case)


def test_fingerprint_members():
    fingerprint = provenance.compute_run_fingerprint(
        image_digest="img@sha256:1",
        solver_version="2.1",
        solver_cert="verified",
        case_yaml="a: 1",
        parameters={"steps": {"value": 3, "override": True}},
        geometry_hash="ab",
        mesh_cache="cache-7",
    )
    assert fingerprint == reference_fingerprint(
        {"a": 1},
        image="img@sha256:1",
        version="2.1",
        cert="verified",
        parameters={"steps": {"value": 3, "override": True}},
        geometry="ab",
        mesh="cache-7",
    )
    assert len(fingerprint) == 64 and int(fingerprint, 16) >= 0


def test_fingerprint_ignores_layout_order_comments_and_float_notation():
    first = "solver: xlb\nspeed: 30.0\nmesh:\n  cells: 1000\n  ratio: 1.5e-05\n"
    second = "# the same case\nmesh: {ratio: 0.000015, cells: 1000}\nspeed: 30\nsolver: 'xlb'\n"
    assert provenance.compute_run_fingerprint(case_yaml=first) == provenance.compute_run_fingerprint(case_yaml=second)
    assert provenance.compute_run_fingerprint(case_yaml=first) != provenance.compute_run_fingerprint(
        case_yaml="speed: 31\n"
    )


@pytest.mark.parametrize(
    ("first", "second"),
    [
        ({"parameters": None}, {"parameters": {}}),
        ({"mesh_cache": ""}, {"mesh_cache": "none"}),
        ({"image_digest": None}, {"image_digest": ""}),
        ({"geometry_hash": None}, {"geometry_hash": ""}),
    ],
)
def test_fingerprint_empty_forms_hash_alike(first, second):
    assert provenance.compute_run_fingerprint(**first) == provenance.compute_run_fingerprint(**second)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"case_yaml": None}, "argument 'case_yaml' must be str, not None"),
        ({"parameters": []}, "argument 'parameters' must be dict or None"),
        ({"image_digest": 1}, "argument 'image_digest' must be str or None"),
        ({"mesh_cache": None}, "argument 'mesh_cache' must be str"),
    ],
)
def test_fingerprint_argument_types(arguments, message):
    with pytest.raises(TypeError, match=message):
        provenance.compute_run_fingerprint(**arguments)
    with pytest.raises(TypeError):
        provenance.compute_run_fingerprint("a: 1")  # keyword-only


# --- provenance records -----------------------------------------------------------


@pytest.fixture
def docker(tmp_path, monkeypatch):
    return install_double(tmp_path, monkeypatch, "docker", f'[[ "$5" == *RepoDigests* ]] && echo {REPO_DIGEST}')


def test_record_members_and_order(docker, tmp_path):
    geometry = tmp_path / "body.stl"
    geometry.write_bytes(b"solid body\n")
    parameters = {"speed": {"value": 30, "default": 25, "path": "inputs.speed", "override": True}}
    record = provenance.build_provenance_record(
        "solvers/aero:1.0",
        "speed: 30\n",
        [geometry],
        parameters=parameters,
        solver_version="1.2",
        solver_cert="verified",
        mesh_cache="",
    )
    assert list(record) == [
        "fingerprint",
        "solver_image",
        "case_yaml",
        "mesh_cache",
        "timestamp",
        "solver_cert",
        "solver_version",
        "geometry",
        "parameters",
    ]
    geometry_hash = hashlib.sha256(hashlib.sha256(b"solid body\n").hexdigest().encode()).hexdigest()
    assert record["geometry"] == "sha256:" + geometry_hash
    assert record["parameters"] == '{"speed":{"default":25,"override":true,"path":"inputs.speed","value":30}}'
    assert record["solver_image"] == REPO_DIGEST and record["mesh_cache"] == "none"
    assert record["timestamp"].endswith("+00:00")
    assert record["fingerprint"] == "sha256:" + reference_fingerprint(
        {"speed": 30}, image=REPO_DIGEST, version="1.2", cert="verified", parameters=parameters, geometry=geometry_hash
    )


def test_minimal_record_without_docker(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    record = provenance.build_provenance_record("img", "a: 1")
    assert list(record) == ["fingerprint", "solver_image", "case_yaml", "mesh_cache", "timestamp", "solver_cert"]
    assert record["solver_image"] == "unknown" and record["solver_cert"] == "missing"
    assert record["fingerprint"] == "sha256:" + reference_fingerprint({"a": 1}, cert="missing")


def test_geometry_hash_ignores_order_and_unreadable_files(docker, tmp_path):
    files = []
    for name in ("b.stl", "a.step", "c/d.stl"):
        path = tmp_path / name
        path.parent.mkdir(exist_ok=True)
        path.write_text(name)
        files.append(path)
    first = provenance.build_provenance_record("img", "", files)
    second = provenance.build_provenance_record("img", "", [str(f) for f in reversed(files)] + [tmp_path / "gone.stl"])
    assert first["geometry"] == second["geometry"]
    assert first["fingerprint"] == second["fingerprint"]
    assert "geometry" not in provenance.build_provenance_record("img", "", [tmp_path / "gone.stl"])


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ((1, "a"), "argument 'image' must be str"),
        (("img", None), "argument 'case_yaml' must be str"),
        (("img", "a", ("x.stl",)), "argument 'geometry_files' must be list or None"),
        (("img", "a", [1]), "argument 'geometry_files' must be str or os.PathLike"),
    ],
)
def test_record_argument_types_checked_before_docker_runs(docker, arguments, message):
    with pytest.raises(TypeError, match=message):
        provenance.build_provenance_record(*arguments)
    assert logged_calls(docker) == []


def test_verify_fresh_record(docker, tmp_path):
    geometry = tmp_path / "g.stl"
    geometry.write_text("g")
    record = provenance.build_provenance_record(
        "img",
        "speed: 30\n",
        [geometry],
        parameters={"p": {"value": -1e-7}, "q": float("nan")},
        solver_version="1",
        solver_cert="verified",
    )
    verdict = provenance.verify_provenance_record(record)
    assert verdict == {"status": "verified", "recorded": record["fingerprint"], "recomputed": record["fingerprint"]}
    # The record alone suffices: through JSON and back, without docker.
    assert provenance.verify_provenance_record(json.loads(json.dumps(record)))["status"] == "verified"


@pytest.mark.parametrize(
    "change",
    [
        {"case_yaml": "speed: 31\n"},
        {"solver_image": "other@sha256:9"},
        {"parameters": '{"p":{"value":2}}'},
        {"solver_version": "2"},
        {"solver_cert": "unverified"},
        {"mesh_cache": "cache-1"},
        {"geometry": "sha256:" + "0" * 64},
        {"fingerprint": "sha256:" + "f" * 64},
    ],
)
def test_verify_catches_a_changed_member(docker, change):
    record = provenance.build_provenance_record(
        "img", "speed: 30\n", parameters={"p": {"value": 1}}, solver_version="1"
    )
    verdict = provenance.verify_provenance_record(record | change)
    assert verdict["status"] == "mismatch"
    assert verdict["recorded"] == (record | change)["fingerprint"]


def test_verify_unknown_image_hashes_the_empty_digest(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    record = provenance.build_provenance_record("img", "a: 1")
    assert provenance.verify_provenance_record(record)["status"] == "verified"


@pytest.mark.parametrize(
    ("record", "error"),
    [
        ([], "record must be a dict, not list"),
        ({}, "no sha256: fingerprint"),
        ({"fingerprint": "md5:1", "case_yaml": ""}, "no sha256: fingerprint"),
        ({"fingerprint": "sha256:1"}, "case_yaml must be text"),
        ({"fingerprint": "sha256:1", "case_yaml": "", "geometry": "abc"}, "geometry must be a sha256: hash"),
        (
            {"fingerprint": "sha256:1", "case_yaml": "", "parameters": {"p": 1}},
            "parameters must be canonical JSON text",
        ),
    ],
)
def test_verify_unreadable_records(record, error):
    verdict = provenance.verify_provenance_record(record)
    assert verdict["status"] == "error" and error in verdict["error"] and verdict["recomputed"] is None


# --- records built from files ------------------------------------------------------


@pytest.fixture
def input_files(tmp_path, monkeypatch):
    """A run's input files, good and bad, in the current folder; no docker on PATH."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", str(tmp_path))
    (tmp_path / "case.yaml").write_bytes(b"speed: 30\r\nyaw: 0\r\n")
    (tmp_path / "broken.yaml").write_text("speed: [30\n")
    (tmp_path / "latin1.yaml").write_bytes(b"name: caf\xe9\n")
    (tmp_path / "params.json").write_text('{"speed": {"value": 30}}')
    (tmp_path / "list.json").write_text("[1]")
    (tmp_path / "body.stl").write_text("solid")
    (tmp_path / "folder").mkdir()
    return tmp_path


def test_record_from_files_is_the_record_of_their_contents(input_files):
    record = fingerprint.build_record(
        "img:1", "case.yaml", geometry=["body.stl"], mesh_cache="body.stl", params="params.json", solver_version="1"
    )
    assert record["case_yaml"] == "speed: 30\nyaw: 0\n"  # read as text mode reads it
    assert record["mesh_cache"] == "sha256:" + hashlib.sha256(b"solid").hexdigest()
    expected = provenance.build_provenance_record(
        "img:1",
        "speed: 30\nyaw: 0\n",
        ["body.stl"],
        parameters={"speed": {"value": 30}},
        solver_version="1",
        solver_cert="missing",
        mesh_cache=record["mesh_cache"],
    )
    assert record["fingerprint"] == expected["fingerprint"]
    (input_files / "record.json").write_text(json.dumps(record))
    assert fingerprint.verify_file("record.json")["status"] == "verified"
    raw = fingerprint.build_record("img:1", Path("broken.yaml"), allow_raw_case=True)
    assert raw["case_yaml"] == "speed: [30\n" and "geometry" not in raw and raw["mesh_cache"] == "none"


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"case": "missing.yaml"}, "--case: no such file: missing.yaml"),
        ({"case": "folder"}, "--case: not a file: folder"),
        ({"case": "/proc/self/mem"}, "--case: cannot read /proc/self/mem: Input/output error"),
        ({"case": "latin1.yaml"}, "--case is not UTF-8 text: latin1.yaml"),
        ({"case": "broken.yaml"}, "--case is not valid YAML: broken.yaml: while parsing a flow sequence in"),
        ({"geometry": ["body.stl", "gone.stl"]}, "--geometry: no such file: gone.stl"),
        ({"mesh_cache": "/proc/self/mem"}, "--mesh-cache: cannot read /proc/self/mem: Input/output error"),
        ({"params": "case.yaml"}, "--params is not JSON: case.yaml: Expecting value: line 1 column 1"),
        ({"params": "list.json"}, "--params must hold a JSON object, not list: list.json"),
    ],
)
def test_record_from_files_refuses_what_it_cannot_vouch_for(input_files, options, message):
    arguments = {"case": "case.yaml"} | options
    with pytest.raises(ValueError) as refused:
        fingerprint.build_record("img:1", arguments.pop("case"), **arguments)
    assert str(refused.value).startswith(message) and "\n" not in str(refused.value)


@pytest.mark.parametrize(
    ("record_file", "message"),
    [("missing.json", "the record: no such file: missing.json"), ("case.yaml", "the record is not JSON: case.yaml")],
)
def test_verify_file_refuses_what_is_not_a_record(input_files, record_file, message):
    with pytest.raises(ValueError, match=message):
        fingerprint.verify_file(record_file)
