"""A solver never outlives the process that started it: every child runs under the supervisor, which
ends as its program ends and stops the whole tree when its parent dies, even by SIGKILL."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

from orvane_platform.core.product import Product
from orvane_platform.runs import solver_run
from tests.support import (
    SUPERVISOR,
    environment_entry,
    kill_at_random,
    parent_of,
    recorded_trees,
    start_orvane,
    survivors,
    write_solver,
    write_tree_solver,
)

ENDINGS = [
    ("exit 0", 0),
    ("exit 3", 3),
    ("exit 255", 255),
    ("kill -TERM $$", -signal.SIGTERM),
    ("kill -KILL $$", -signal.SIGKILL),
    ("kill -USR1 $$", -signal.SIGUSR1),
    ("ulimit -c 0; kill -ABRT $$", -signal.SIGABRT),
]


@pytest.mark.parametrize(("body", "status"), ENDINGS)
def test_the_supervisor_ends_as_its_program_ends(body, status):
    done = subprocess.run([SUPERVISOR, str(os.getpid()), "bash", "-c", body], capture_output=True, timeout=30)
    assert done.returncode == status


@pytest.mark.parametrize(("body", "status"), ENDINGS)
def test_a_solver_s_exit_status_reaches_the_run(sample_product, sample_registry, body, status):
    write_solver(sample_registry, "ending", f"cat > /dev/null; {body}")
    plan = solver_run.plan_run(Product(sample_product), solver="ending", domain="thermal")
    outcome = solver_run.execute_plan(plan)
    assert (outcome["ending"], outcome["exit_code"]) == ("finished", status)


def test_the_supervisor_passes_input_output_and_arguments_through():
    done = subprocess.run(
        [SUPERVISOR, str(os.getpid()), "bash", "-c", 'cat; echo "$1" >&2', "-", "an argument"],
        input=b"the input",
        capture_output=True,
        timeout=30,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"the input", b"an argument\n")


def test_a_supervisor_whose_parent_is_already_gone_starts_nothing(tmp_path):
    started = tmp_path / "started"
    done = subprocess.run([SUPERVISOR, "1", "touch", str(started)], timeout=30)
    assert done.returncode == 1 and not started.exists()


def test_the_supervisor_waits_for_what_its_program_left_running(tmp_path):
    done = tmp_path / "done"
    started = time.monotonic()
    ended = subprocess.run(
        [SUPERVISOR, str(os.getpid()), "bash", "-c", f"(sleep 0.5; touch {done}) & setsid true & exit 4"],
        timeout=30,
    )
    assert ended.returncode == 4 and done.exists() and time.monotonic() - started >= 0.5


def marked(name: str = "TREE_MARK") -> tuple[dict[str, str], str]:
    """A variable that marks every process started with it, and the entry to find them by."""
    value = str(uuid.uuid4())
    return {name: value}, f"{name}={value}"


def pids_of(trees) -> list[int]:
    return [pid for tree in recorded_trees(trees) for pid in tree]


def test_sigterm_to_the_supervisor_stops_its_whole_tree(tmp_path):
    trees = tmp_path / "trees"
    write_tree_solver(tmp_path, "tree", trees)
    env, mark = marked("ORVANE_PROCESS_TREE")  # the run's marker, as the platform sets it
    supervisor = subprocess.Popen(
        [SUPERVISOR, str(os.getpid()), str(tmp_path / "tree" / "run.sh")],
        stdin=subprocess.DEVNULL,
        env=os.environ | env,
    )
    while not recorded_trees(trees):
        assert supervisor.poll() is None
        time.sleep(0.02)
    supervisor.send_signal(signal.SIGTERM)
    assert supervisor.wait(timeout=30) == -signal.SIGTERM
    assert survivors(pids_of(trees), mark) == []


def test_what_an_exited_solver_left_running_is_killed_after_the_grace(sample_product, sample_registry, tmp_path):
    left = tmp_path / "left"
    write_solver(
        sample_registry,
        "leaver",
        f"cat > /dev/null; setsid sleep 300 < /dev/null > /dev/null 2>&1 & echo $! > {left}\n"
        'echo \'{"status": "success", "t_max": 1}\'',
    )
    started = time.monotonic()
    result = Product(sample_product).simulate(domain="thermal")
    assert result["status"] == "success" and time.monotonic() - started < 10
    assert survivors([int(left.read_text())]) == []


# --- the platform's process killed with SIGKILL ----------------------------------------------

SWEEP = ["sweep", "{product}", "--solver", "tree", "--vary", "roofline_slope_deg=10:20:4", "--workers", "2"]

# Each command with the solvers it runs at once and about how long it takes to start them.
KILLED_COMMANDS = [
    pytest.param(["run", "{product}", "--solver", "tree"], 1, 0.8, 20, id="run"),
    pytest.param([*SWEEP, "--engine", "local"], 2, 0.8, 20, id="sweep on threads"),
    pytest.param([*SWEEP, "--engine", "dask"], 2, 2.5, 10, id="sweep on dask"),
]


def wait_for_trees(command: subprocess.Popen, trees, count: int) -> None:
    deadline = time.monotonic() + 60
    while len(recorded_trees(trees)) < count:
        assert command.poll() is None and time.monotonic() < deadline, "the solvers did not start"
        time.sleep(0.02)


@pytest.mark.parametrize(("arguments", "solvers", "starting", "tries"), KILLED_COMMANDS)
def test_a_command_killed_at_random_instants_leaves_no_process(
    sample_product, sample_registry, tmp_path, arguments, solvers, starting, tries
):
    """Half the tries strike while the command starts (its solvers may be starting too), half once its
    solvers' trees run."""
    trees = tmp_path / "trees"
    write_tree_solver(sample_registry, "tree", trees)
    command = [argument.format(product=sample_product) for argument in arguments]
    marks, failures, while_solving = [], [], []

    def start(ready: bool) -> subprocess.Popen:
        trees.unlink(missing_ok=True)
        env, mark = marked()
        marks.append(mark)
        started = start_orvane(*command, cwd=sample_product.parent, env=env)
        if ready:
            wait_for_trees(started, trees, solvers)
        return started

    def after() -> None:
        recorded = pids_of(trees)
        while_solving.append(bool(recorded))
        if left := survivors(recorded, marks[-1]):
            failures.append((len(marks), left))

    kill_at_random(lambda: start(False), tries // 2, seed=1, longest=starting, after=after)
    kill_at_random(lambda: start(True), tries - tries // 2, seed=2, longest=0.3, after=after)
    assert failures == [], f"{len(failures)} of {tries} tries left processes running"
    assert sum(while_solving) >= tries // 2


def test_a_dask_worker_killed_takes_its_solver_with_it(sample_product, sample_registry, tmp_path):
    trees = tmp_path / "trees"
    write_tree_solver(sample_registry, "tree", trees)
    env, mark = marked()
    arguments = [argument.format(product=sample_product) for argument in SWEEP]
    command = start_orvane(*arguments, "--engine", "dask", cwd=sample_product.parent, env=env)
    try:
        wait_for_trees(command, trees, 2)
        tree = recorded_trees(trees)[0]
        entry = environment_entry(tree[0], "ORVANE_PROCESS_TREE")
        os.kill(parent_of(tree[1]), signal.SIGKILL)  # the worker that started the solver's supervisor
        assert survivors(tree, entry) == []
        assert command.poll() is None
    finally:
        command.kill()
        command.wait()
    assert survivors(pids_of(trees), mark) == []


@pytest.fixture
def dask_cluster(tmp_path):
    """A Dask scheduler and a worker of two threads, in processes of their own as on other hosts; the
    scheduler's address."""
    dask = str(Path(sys.executable).parent / "dask")
    address_file = tmp_path / "scheduler.json"
    options = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    scheduler = subprocess.Popen(
        [dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--scheduler-file", str(address_file)], **options
    )
    worker = subprocess.Popen(
        [dask, "worker", "--scheduler-file", str(address_file), "--nthreads", "2", "--no-dashboard"], **options
    )
    try:
        deadline = time.monotonic() + 60
        while not address_file.exists() or not address_file.read_text():
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.05)
        yield json.loads(address_file.read_text())["address"]
    finally:
        for process in (worker, scheduler):
            process.terminate()
            process.wait(timeout=30)


def test_a_sweep_s_client_killed_stops_its_solvers_on_another_host_s_workers(
    sample_product, sample_registry, tmp_path, dask_cluster
):
    trees = tmp_path / "trees"
    write_tree_solver(sample_registry, "tree", trees)
    arguments = [argument.format(product=sample_product) for argument in SWEEP]
    failures = []

    def start() -> subprocess.Popen:
        trees.unlink(missing_ok=True)
        command = start_orvane(*arguments, "--engine", "dask", "--scheduler", dask_cluster, cwd=sample_product.parent)
        wait_for_trees(command, trees, 2)
        return command

    def after() -> None:
        for tree in recorded_trees(trees):
            if left := survivors(tree):
                failures.append(left)

    kill_at_random(start, 5, seed=4, longest=0.3, after=after)
    assert failures == []
