"""The workspace's run index: the query language over real SQLite, keeping the
index current with the run files, and several processes at once."""

from __future__ import annotations

import json
import logging
import math
import os
import shutil
import sqlite3
import subprocess
import sys
from datetime import UTC, datetime, timedelta
from pathlib import Path

import pytest
import yaml
from pxr import Sdf

from orvane_platform.core import run_records
from orvane_platform.runs import index
from tests.support import make_product, orvane, parsed

INDEX_RECORD_RUN = index.record_run  # as another process would call it

START = datetime(2026, 4, 19, 5, 0, 0, tzinfo=UTC)


@pytest.fixture
def products(tmp_path, sample_registry, monkeypatch) -> Path:
    folder = tmp_path / "products"
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", str(folder))
    for name in ("car", "van"):
        make_product(folder / name, name=name, layers={"prototype": {}}, prim=name.capitalize())
    return folder


def record(
    products: Path,
    product: str,
    minute: int,
    domain: str = "aero",
    solver: str = "sample_aero",
    parameters: dict | None = None,
    fingerprint: str | None = None,
    **result,
) -> dict:
    written = run_records.write_run_record(
        products / product / f"{product}.usda",
        {"status": "success", **result},
        domain,
        solver,
        provenance={
            "fingerprint": fingerprint or f"sha256:{minute:064x}",
            "solver_image": f"img-{solver}",
            "case_yaml": f"minute: {minute}\n",
        },
        parameters={
            name: {"value": value, "default": value, "path": name, "override": False}
            for name, value in (parameters or {}).items()
        },
        timestamp=START + timedelta(minutes=minute),
    )
    assert written["status"] == "written"
    return written


def ids(runs: list[dict]) -> list[str]:
    return [f"{run['product']}:{run['timestamp'][14:16]}" for run in runs]


@pytest.fixture
def runs(products) -> Path:
    """Five runs: car at minutes 1, 2, 3 and van at 4, 5."""
    record(products, "car", 1, cd=0.24, cl=0.01, parameters={"speed": 120.0, "mode": "eco"})
    record(products, "car", 2, cd=0.30, cl=-0.02, status="error", parameters={"speed": 100.0, "mode": "sport"})
    record(
        products,
        "car",
        3,
        domain="dynamics",
        solver="sample_dynamics",
        lateral_g=0.9,
        parameters={"mode": 'it\'s "quoted"'},
    )
    record(products, "van", 4, cd=0.20, parameters={"speed": 90.0}, fingerprint="sha256:" + "f" * 64)
    record(products, "van", 5, cd=0.25, cl=0.0, parameters={"speed": 130.0, "mode": "eco"})
    return products


# --- the query language --------------------------------------------------------------


@pytest.mark.parametrize(
    "query, expected",
    [
        ("", ["car:01", "car:02", "car:03", "van:04", "van:05"]),
        ("kpi.cd < 0.25", ["car:01", "van:04"]),
        ("kpi.cd <= 0.25", ["car:01", "van:04", "van:05"]),
        ("kpi.cd > 0.25", ["car:02"]),
        ("kpi.cd >= 0.25", ["car:02", "van:05"]),
        ("kpi.cd = 0.2", ["van:04"]),
        ("kpi.cd != 0.2", ["car:01", "car:02", "van:05"]),
        ("kpi.cl < 0", ["car:02"]),
        ("kpi.cd in (0.2, 0.3)", ["car:02", "van:04"]),
        ("kpi.cd not in (0.2, 0.3)", ["car:01", "van:05"]),
        ("kpi.lateral_g > .5", ["car:03"]),
        ("kpi.cd < 2.5e-1", ["car:01", "van:04"]),
        ("product = 'van'", ["van:04", "van:05"]),
        ('product = "van"', ["van:04", "van:05"]),
        ("solver != 'sample_aero'", ["car:03"]),
        ("domain in ('dynamics', 'nothing')", ["car:03"]),
        ("status = 'error'", ["car:02"]),
        ("fingerprint like 'sha256:fff%'", ["van:04"]),
        ("image = 'img-sample_dynamics'", ["car:03"]),
        ("run_id like 'run_dynamics_%'", ["car:03"]),
        ("run_id not like 'run_aero%'", ["car:03"]),
        ("timestamp >= '2026-04-19T05:04'", ["van:04", "van:05"]),
        ("timestamp < '2026-04-19T05:02:00+00:00'", ["car:01"]),
        ("param.speed > 110", ["car:01", "van:05"]),
        ("param.speed <= 100", ["car:02", "van:04"]),
        ("param.mode = 'eco'", ["car:01", "van:05"]),
        ("param.mode > 'm'", ["car:02"]),  # texts against texts only: numbers never match
        ("param.mode = 'it''s \"quoted\"'", ["car:03"]),
        ('param.mode = "it\'s \\"quoted\\""', ["car:03"]),
        # `and` binds tighter than `or`; `not` tighter than both
        ("product = 'van' or product = 'car' and kpi.cd > 0.25", ["car:02", "van:04", "van:05"]),
        ("(product = 'van' or product = 'car') and kpi.cd > 0.25", ["car:02"]),
        ("not product = 'car' and kpi.cd < 0.25", ["van:04"]),
        ("not (product = 'car' and kpi.cd < 0.25)", ["car:02", "car:03", "van:04", "van:05"]),
        ("NOT solver = 'sample_aero' OR kpi.cd = 0.3", ["car:02", "car:03"]),
        ("((kpi.cd < 0.21))", ["van:04"]),
    ],
)
def test_every_operator_and_precedence(runs, query, expected):
    assert ids(index.search(query)) == expected


@pytest.mark.parametrize(
    "query, column, reason",
    [
        ("kpi.cd <", 9, "expected a value after '<'"),
        ("speed = 1", 1, "unknown field 'speed'"),
        ("kpi. = 1", 1, "'kpi.' needs a name"),
        ("(product = 'car'", 17, "expected ')' to close the '(' at column 1"),
        ("product = 'car') ", 16, "unmatched ')'"),
        ("product = 'car", 11, "unterminated string"),
        ("product = car", 11, "text goes in quotes: 'car'"),
        ("product = 3", 11, "product holds text: put 3 in quotes"),
        ("kpi.cd < 'low'", 10, "kpi.cd holds numbers"),
        ("kpi.cd like 'x%'", 8, "'like' matches text"),
        ("product = 'a' and", 18, "expected a field"),
        ("product == 'a'", 10, "expected a value after '='"),
        ("product = 'a' kpi.cd = 1", 15, "expected 'and', 'or' or the end of the query"),
        ("solver in 'a'", 11, "expected '(' after 'in'"),
        ("solver = 'é' and # ", 18, "unexpected character '#'"),
        ("kpi.cd < 1.2.3", 10, "malformed number"),
        ("product = 'a\\q'", 13, "unknown escape"),
    ],
)
def test_errors_name_their_column(runs, query, column, reason):
    with pytest.raises(index.QueryError) as raised:
        index.search(query)
    error = raised.value
    assert isinstance(error, ValueError)
    assert (error.column, error.query) == (column, query)
    assert error.reason.startswith(reason)
    assert str(error).endswith(f"{query}\n  " + " " * (column - 1) + "^")


@pytest.mark.parametrize(
    "query",
    [
        "product = 'car'' or 1=1 --'",
        'product = "x\\"; DROP TABLE runs; --"',
        "kpi.cd < 1 and param.speed = 'x'' union select * from run_files --'",
    ],
)
def test_injection_attempts_stay_data(runs, query):
    assert index.search(query) == []
    assert index.search(products=["car' or '1'='1"]) == []
    with pytest.raises(ValueError, match="unknown field"):
        index.search(order_by="timestamp; DROP TABLE runs")
    assert len(index.search()) == 5


def test_search_options_and_arguments(runs):
    assert ids(index.search(products=["van"])) == ["van:04", "van:05"]
    assert ids(index.search(order_by="kpi.cd")) == ["van:04", "car:01", "van:05", "car:02", "car:03"]
    assert ids(index.search(order_by="kpi.cd", descending=True, limit=2)) == ["car:02", "van:05"]
    assert ids(index.search(order_by="param.mode", limit=1)) == ["car:01"]
    assert index.search(limit=0) == []
    with pytest.raises(TypeError, match="query"):
        index.search(3)
    with pytest.raises(TypeError, match="products"):
        index.search(products="car")
    with pytest.raises(TypeError, match="limit"):
        index.search(limit=True)
    with pytest.raises(ValueError, match="limit must be 0 or more"):
        index.search(limit=-1)


def test_a_run_as_search_returns_it(runs):
    [run] = index.search("product = 'car' and param.mode = 'eco'")
    assert run == {
        "product": "car",
        "run_id": "run_aero_20260419T050100000000",
        "solver": "sample_aero",
        "domain": "aero",
        "timestamp": "2026-04-19T05:01:00+00:00",
        "status": "success",
        "fingerprint": f"sha256:{1:064x}",
        "image": "img-sample_aero",
        "layer": str(runs / "car/simulation_runs/sample_aero/20260419T050100000000/result.usda"),
        "kpis": {"cd": 0.24, "cl": 0.01},
        "parameters": {"speed": 120.0, "mode": "eco"},
    }


def test_cached_runs_by_fingerprint(runs):
    # How a sweep finds a run it need not repeat.
    query = f"fingerprint = 'sha256:{'f' * 64}' and status = 'success'"
    [cached] = index.search(query, products=["van"])
    assert cached["kpis"]["cd"] == 0.2
    assert index.search(query, products=["car"]) == []
    failed = f"fingerprint = 'sha256:{2:064x}' and status = 'success'"
    assert index.search(failed) == []


# --- keeping the index current ------------------------------------------------------------


@pytest.fixture
def unindexed(monkeypatch):
    """Run files written without telling the index, as another tool would."""
    monkeypatch.setattr(index, "record_run", lambda path: False)


def test_new_changed_and_removed_files_are_found_by_their_stamps(runs, unindexed, monkeypatch):
    assert index.update() == {"added": 0, "changed": 0, "removed": 0}
    read = []
    reader = run_records.read_run_records
    monkeypatch.setattr(
        run_records, "read_run_records", lambda path: read.append(Path(path).parent.name) or reader(path)
    )

    record(runs, "van", 6, cd=0.1)
    assert ids(index.search("kpi.cd < 0.15")) == ["van:06"]
    assert read == ["20260419T050600000000"]  # only the new file was read

    record(runs, "van", 6, cd=0.5)  # the same run written again
    assert ids(index.search("kpi.cd > 0.4")) == ["van:06"]
    assert index.search("kpi.cd < 0.15") == []

    shutil.rmtree(runs / "van/simulation_runs/sample_aero/20260419T050600000000")
    assert index.update() == {"added": 0, "changed": 0, "removed": 1}
    assert len(index.search()) == 5
    assert read == ["20260419T050600000000"] * 2

    shutil.rmtree(runs / "car")
    assert ids(index.search()) == ["van:04", "van:05"]


def walk_row() -> tuple:
    with sqlite3.connect(index.database_path()) as db:
        return db.execute("select signature, generation from walk").fetchone()


@pytest.mark.parametrize("mtime_step", [1, 0], ids=["time moved", "time set back"])
def test_a_file_edited_in_place_is_read_again(runs, unindexed, mtime_step):
    assert index.search("kpi.cd > 0.7") == [] and walk_row()[0] is not None
    path = runs / index.search("product = 'van' and kpi.cd = 0.2")[0]["layer"]
    before = path.stat()
    with path.open("r+b") as file:  # same inode, same size, new value
        text = file.read()
        file.seek(0)
        file.write(text.replace(b"0.2\n", b"0.8\n", 1))
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + mtime_step))
    after = path.stat()
    assert (after.st_ino, after.st_size) == (before.st_ino, before.st_size)
    assert (after.st_mtime_ns == before.st_mtime_ns) is (mtime_step == 0)
    assert ids(index.search("kpi.cd > 0.7")) == ["van:04"]


def test_the_walk_is_trusted_only_while_nothing_else_wrote(runs, unindexed, monkeypatch):
    index.search()
    signature, generation = walk_row()
    assert signature is not None
    # Another process records a run while this one brings the index up to date.
    reader = run_records.read_run_records

    def read_while_another_records(path):
        monkeypatch.setattr(run_records, "read_run_records", reader)
        INDEX_RECORD_RUN(record(runs, "car", 8, cd=0.18)["layer"])
        return reader(path)

    monkeypatch.setattr(run_records, "read_run_records", read_while_another_records)
    record(runs, "van", 7, cd=0.17)
    assert ids(index.search("kpi.cd < 0.19")) == ["van:07", "car:08"]
    assert walk_row() == (None, generation + 2)  # not marked: the next search compares stamps
    assert ids(index.search("kpi.cd < 0.19")) == ["van:07", "car:08"]
    assert walk_row()[0] is not None
    INDEX_RECORD_RUN(record(runs, "car", 9, cd=0.1)["layer"])  # any write unmarks it
    assert walk_row()[0] is None


def test_many_products_are_walked(products, unindexed):
    for number in range(9):
        make_product(products / f"p{number}", name=f"p{number}", layers={"prototype": {}}, prim=f"P{number}")
        record(products, f"p{number}", number, cd=0.1 + number / 100)
    found = index.search("kpi.cd < 1")
    assert sorted(run["product"] for run in found) == [f"p{number}" for number in range(9)]
    assert index.update() == {"added": 0, "changed": 0, "removed": 0}


def test_recording_indexes_the_run_at_once(runs, monkeypatch):
    record(runs, "car", 7, cd=0.11)
    monkeypatch.setattr(index, "update", None)  # nothing left for a search to catch up
    assert index.update is None and len(index.search("kpi.cd = 0.11")) == 1
    with sqlite3.connect(index.database_path()) as db:
        assert db.execute("select count(*) from runs").fetchone() == (6,)


def test_a_file_openusd_cannot_read_is_left_out_with_a_log_line(runs, unindexed, caplog):
    broken = runs / "car/simulation_runs/sample_aero/20260419T060000000000/result.usda"
    broken.parent.mkdir(parents=True)
    broken.write_text("not usd at all")
    with caplog.at_level(logging.WARNING, logger="orvane_platform.runs.index"):
        assert len(index.search()) == 5
    assert "left out of the run index" in caplog.text


@pytest.mark.parametrize("damage", ["delete", "garbage", "truncate", "other schema"])
def test_a_missing_or_damaged_database_is_rebuilt_quietly(runs, damage, caplog):
    database = index.database_path()
    assert database == runs.parent / ".orvane-index.sqlite" and database.is_file()
    if damage == "delete":
        for suffix in ("", "-wal", "-shm"):
            Path(f"{database}{suffix}").unlink(missing_ok=True)
    elif damage == "other schema":
        with sqlite3.connect(database) as db:
            db.execute("pragma user_version = 99")
    else:
        data = database.read_bytes()
        database.write_bytes(b"\x07" * len(data) if damage == "garbage" else data[:1500])
        Path(f"{database}-wal").unlink(missing_ok=True)
    with caplog.at_level(logging.WARNING, logger="orvane_platform.runs.index"):
        assert len(index.search("kpi.cd < 1")) == 4
    if damage != "delete":
        assert "recreated from the run files" in caplog.text
    with sqlite3.connect(database) as db:
        assert db.execute("pragma integrity_check").fetchone() == ("ok",)


def test_rebuild_reads_every_file_again(runs, monkeypatch):
    with sqlite3.connect(index.database_path()) as db:
        db.execute("update runs set solver = 'stale'")
    assert index.search("solver = 'stale'") != []  # stamps unchanged: not read again
    assert index.rebuild() == 5
    assert index.search("solver = 'stale'") == []


def test_no_products_folder_means_no_runs_and_no_database(tmp_path, monkeypatch):
    monkeypatch.setenv("ORVANE_PRODUCTS_DIR", str(tmp_path / "none"))
    assert index.search() == [] and index.rebuild() == 0
    assert not index.database_path().exists()


def test_record_run_refuses_files_outside_the_products(runs, tmp_path):
    outside = make_product(tmp_path / "elsewhere" / "bus", name="bus", layers={"prototype": {}}, prim="Bus")
    written = run_records.write_run_record(outside, {"status": "success", "cd": 0.1}, "aero", "sample_aero")
    assert index.record_run(written["layer"]) is False
    assert index.record_run(runs / "car/car.usda") is False
    # ... yet a product outside the folder still lists its own runs
    assert [run["kpis"]["cd"] for run in index.product_runs(outside)] == [0.1]


def test_product_runs_filters(runs):
    car = runs / "car/car.usda"
    assert ids(index.product_runs(car)) == ["car:01", "car:02", "car:03"]
    assert ids(index.product_runs(car, domain="aero", last=1)) == ["car:02"]
    assert ids(index.product_runs(car, solver="sample_dynamics")) == ["car:03"]
    assert ids(index.product_runs(car, since="2026-04-19T05:02:00+00:00")) == ["car:02", "car:03"]
    assert ids(index.product_runs(car, last=2)) == ["car:02", "car:03"]
    assert ids(index.product_runs(car, domain="it's", last=5)) == []


# --- run files the index cannot take -------------------------------------------------------


def edit_run(path: Path, attribute: str, edit) -> None:
    """Edit one attribute of a recorded run with pxr, as a hand edit would."""
    layer = Sdf.Layer.FindOrOpen(str(path))
    run = next(run for root in layer.rootPrims for run in root.nameChildren["SimulationRuns"].nameChildren)
    run.attributes[attribute].default = edit(run.attributes[attribute].default)
    layer.Save()


def with_speed(parameters: str, speed: float) -> str:
    snapshot = json.loads(parameters)
    snapshot["speed_kmh"]["value"] = speed
    return json.dumps(snapshot)


def spoil(first: Path, how: str) -> Path:
    """Damage the workspace's first run file, or add a broken one beside it;
    returns the file damaged."""
    if how in ("nan KPI", "inf KPI"):
        edit_run(first, "orvane:kpi:cd", lambda _: math.nan if how == "nan KPI" else -math.inf)
        return first
    if how == "inf parameter":
        edit_run(first, "orvane:run:parameters", lambda text: with_speed(text, math.inf))
        return first
    spare = first.parents[1] / "20200101T000000000000" / "result.usda"
    spare.parent.mkdir(parents=True)
    if how == "folder named result.usda":
        spare.mkdir()
    else:
        spare.write_bytes(first.read_bytes()[:300] if how == "truncated" else b"\x00\x01 not usd")
    return spare


@pytest.mark.parametrize(
    "how, warning, with_cd",
    [
        ("nan KPI", "values left out of the run index (not finite numbers): kpi.cd", 1),
        ("inf KPI", "values left out of the run index (not finite numbers): kpi.cd", 1),
        ("inf parameter", "values left out of the run index (not finite numbers): param.speed_kmh", 2),
        ("truncated", "left out of the run index", 2),
        ("not USD", "left out of the run index", 2),
        ("folder named result.usda", None, 2),
    ],
)
def test_the_workspace_keeps_working_beside_a_file_it_cannot_take(demo, tmp_path, how, warning, with_cd):
    first_run = parsed(orvane("runs", "search", "", "--json", cwd=demo))[0]
    first = Path(first_run["layer"])
    damaged = spoil(first, how)

    found = orvane("runs", "search", "", "--json", cwd=demo)
    assert found.returncode == 0 and len(parsed(found)) == 2
    if warning:  # one line naming the file, when the file is first read
        assert found.stderr.count(warning) == 1 and f"run file {damaged}" in found.stderr
    else:
        assert found.stderr == ""
    runs = {run["layer"]: run for run in parsed(found)}
    assert all(math.isfinite(value) for run in runs.values() for value in run["kpis"].values())
    assert ("speed_kmh" in runs[str(first)]["parameters"]) is (how != "inf parameter")
    with_cd_found = orvane("runs", "search", "kpi.cd < 1", "--json", cwd=demo)
    assert with_cd_found.stderr == "" and len(parsed(with_cd_found)) == with_cd
    for arguments in (
        ("runs", "list", "sedan"),
        ("runs", "show", first_run["run_id"]),
        ("report", "sedan", "-o", str(tmp_path / "report.html")),
        ("plot", "sedan", "--kpi", "cd", "--against", "roofline_slope_deg", "-o", str(tmp_path / "cd.svg")),
    ):
        done = orvane(*arguments, cwd=demo)
        assert (done.returncode, done.stderr) == (0, ""), arguments
    if warning:  # logged again once the file changes
        os.utime(damaged)
        assert orvane("runs", "search", "", cwd=demo).stderr.count(warning) == 1
    rebuilt = orvane("index", "rebuild", cwd=demo)
    assert rebuilt.returncode == 0 and "Indexed 2 runs" in rebuilt.stdout
    swept = orvane("sweep", "sedan", "--domain", "aero", "--vary", "ride_height=0.12,0.16", "--json", cwd=demo)
    assert swept.returncode in (0, 1) and [case["status"] for case in parsed(swept)["cases"]] == ["success"] * 2


def test_a_solver_reporting_a_kpi_it_does_not_declare_as_nan_makes_an_error_run(demo):
    solver = demo / "solvers" / "sample_aero"
    script = solver / "nan.sh"
    script.write_text(
        '#!/bin/bash\ncat > /dev/null\necho \'{"status": "success", "cd": 0.3, "cl": NaN, "extra": NaN}\'\n'
    )
    script.chmod(0o755)
    config = yaml.safe_load((solver / "solver.yaml").read_text())
    config["run"]["command"] = [str(script)]
    config["kpi_spec"]["kpis"] = ["cd"]
    (solver / "solver.yaml").write_text(yaml.safe_dump(config))

    ran = orvane("run", "sedan", "--domain", "aero", cwd=demo)
    assert ran.returncode == 1 and "failed: solver sample_aero returned cl = nan: not a finite number" in ran.stdout
    found = orvane("runs", "search", "status = 'error'", "--json", cwd=demo)
    assert (found.returncode, found.stderr) == (0, "") and [run["kpis"] for run in parsed(found)] == [{}]


# --- show and diff ------------------------------------------------------------------------


def test_describe_and_diff_runs(runs):
    first, second = index.search("product = 'car' and domain = 'aero'")
    shown = index.describe_run(first["run_id"])
    assert shown["case"] == "minute: 1\n"
    assert shown["parameters"]["speed"] == {"value": 120, "default": 120, "path": "speed", "override": False}
    assert shown["results"] == {"cd": 0.24, "cl": 0.01}
    assert shown["verification"]["status"] == "mismatch"  # made-up fingerprints do not verify
    assert index.describe_run(first["run_id"], usda_path=runs / "van/van.usda") is None
    assert index.describe_run("run_none") is None

    diff = index.diff_runs(first["run_id"], second["run_id"])
    assert diff["kpis"]["cd"] == pytest.approx((0.24, 0.30, -0.06))
    assert diff["parameters"]["mode"] == ("eco", "sport")
    assert diff["fields"]["status"] == ("success", "error")
    assert diff["fields"]["product"] == ("car", "car")
    assert "-minute: 1\n+minute: 2" in diff["case_diff"]
    changed = index.diff_runs(first["run_id"], second["run_id"], changed_only=True)
    assert "product" not in changed["fields"] and "cm_pitch" not in changed["kpis"]
    with pytest.raises(ValueError, match="run_b: no run 'run_x'"):
        index.diff_runs(first["run_id"], "run_x")


# --- several processes at once ------------------------------------------------------------

WRITER = """
import sys
from datetime import UTC, datetime, timedelta
from orvane_platform.core import run_records
product, offset, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    when = datetime(2026, 5, 1, tzinfo=UTC) + timedelta(seconds=offset + i)
    written = run_records.write_run_record(product, {"status": "success", "cd": 0.2 + i / 1000}, "aero",
                                           "sample_aero", timestamp=when)
    assert written["status"] == "written", written
"""

READER = """
import sys
from orvane_platform.runs import index
seen = 0
while True:
    found = index.search("kpi.cd >= 0.2 and solver = 'sample_aero'")
    assert len(found) >= seen, (len(found), seen)
    seen = len(found)
    if seen >= int(sys.argv[1]):
        break
print(seen)
"""


def test_two_processes_record_while_a_third_searches(products, caplog):
    count = 25
    writers = [
        subprocess.Popen(
            [sys.executable, "-c", WRITER, str(products / name / f"{name}.usda"), str(offset), str(count)],
            stderr=subprocess.PIPE,
            text=True,
        )
        for name, offset in (("car", 0), ("van", 1000))
    ]
    reader = subprocess.Popen(
        [sys.executable, "-c", READER, str(2 * count)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    for writer in writers:
        assert writer.wait(timeout=240) == 0, writer.stderr.read()
        assert "not indexed" not in writer.stderr.read()
    out, err = reader.communicate(timeout=240)
    assert reader.returncode == 0 and out.strip() == str(2 * count), err
    assert index.update() == {"added": 0, "changed": 0, "removed": 0}
    assert len(index.search("solver = 'sample_aero'")) == 2 * count
    with sqlite3.connect(index.database_path()) as db:
        assert db.execute("pragma integrity_check").fetchone() == ("ok",)
        assert db.execute("pragma journal_mode").fetchone() == ("wal",)
