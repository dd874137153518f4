"""Every example of README.md, run as written in a demo workspace.

How the examples run:

- A fresh workspace is made with the installed command, `orvane demo --dir
  <tmp>/orvane-demo`, as `make run` makes `./orvane-demo`.
- The fenced blocks of README.md run in the order they appear, all in that
  one workspace, so each sees what the blocks before it left behind. A
  ```sh block runs in a fresh `bash -euo pipefail` whose current directory is
  the workspace; every ```python block runs in one Python interpreter that
  lives for the whole walk-through (also started in the workspace), so names
  defined by one block are there for the next, as in an interactive session.
  A ```text block is an output sample or a usage text and does not run.
- Every block gets a private HOME, so nothing reaches the real ~/.orvane, the
  package's own bin folder first on PATH, and no ORVANE_* variable from the
  caller. ORVANE_OLLAMA_URL points at a closed port, except for a block
  preceded by `<!-- needs: ollama -->`: it talks to a FakeOllama server on
  127.0.0.1 with ORVANE_LLM_MODEL=llama3.1:8b.
- A block preceded by `<!-- not run: REASON -->` does not run; only the
  set-up commands (`make ...`) may be marked so.

The walk-through runs once per module; each block then has a test of its own
that reports its outcome, naming the block by its line and first line.
"""

from __future__ import annotations

import json
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import uuid
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import pytest

from tests.support import FakeOllama

README = Path(__file__).resolve().parents[1] / "README.md"
BIN = Path(sys.executable).parent
ORVANE = str(BIN / "orvane")
NO_SERVER = "http://127.0.0.1:9"  # nothing listens there
BLOCK_TIMEOUT = 120

FENCE = re.compile(r"^```(\S*)\s*$")
MARKER = re.compile(r"^<!--\s*(needs|not run):\s*(.*?)\s*-->\s*$")


@dataclass(frozen=True)
class Block:
    language: str
    line: int  # the line of README.md that holds the block's first line of code
    code: str
    marker: tuple[str, str] | None  # ("needs", "ollama") or ("not run", reason)

    @property
    def first_line(self) -> str:
        return next((line.strip() for line in self.code.splitlines() if line.strip()), "")

    @property
    def runs(self) -> bool:
        return self.language in ("sh", "python") and (self.marker is None or self.marker[0] != "not run")

    @property
    def needs_ollama(self) -> bool:
        return self.marker == ("needs", "ollama")

    def describe(self) -> str:
        return f"README.md line {self.line}, the {self.language} block starting `{self.first_line}`"


def read_blocks(text: str) -> list[Block]:
    blocks: list[Block] = []
    lines = text.splitlines()
    index = 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        previous = MARKER.match(lines[index - 1]) if index else None
        end = index + 1
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        assert end < len(lines), f"README.md line {index + 1}: a fence that is never closed"
        marker = (previous.group(1), previous.group(2)) if previous else None
        blocks.append(Block(opening.group(1), index + 2, "\n".join(lines[index + 1 : end]) + "\n", marker))
        index = end + 1
    return blocks


BLOCKS = read_blocks(README.read_text(encoding="utf-8"))
RUNNABLE = [block for block in BLOCKS if block.runs]


def block_id(block: Block) -> str:
    command = re.sub(r"\s+#.*$", "", block.first_line)  # without its comment
    return f"L{block.line}-{block.language}-{command[:50]}"


# --- the walk-through -------------------------------------------------------------------


class PythonSession:
    """One interpreter in the workspace that runs the Python blocks one after another.

    Each block goes over standard input as one JSON line; the interpreter runs
    it in the namespace it keeps, with the block's environment changes for its
    duration, then prints the block's token and outcome on a line of its own.
    Code is compiled as README.md with the block's own line numbers, so a
    traceback shows the README's lines.
    """

    DRIVER = r"""
import json, os, sys, traceback
namespace = {"__name__": "__main__"}
for message in sys.stdin:
    block = json.loads(message)
    saved = {name: os.environ.get(name) for name in block["env"]}
    os.environ.update(block["env"])
    try:
        exec(compile("\n" * (block["line"] - 1) + block["code"], block["file"], "exec"), namespace)
        outcome = "ok"
    except BaseException:
        traceback.print_exc(file=sys.stdout)
        outcome = "failed"
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    sys.stdout.flush()
    sys.stderr.flush()
    print("\n" + block["token"], outcome, flush=True)
"""

    def __init__(self, cwd: Path, env: dict[str, str]) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-u", "-c", self.DRIVER],
            cwd=cwd,
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            encoding="utf-8",
            errors="replace",
        )
        self.lines: queue.Queue[str | None] = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def run(self, block: Block, env: dict[str, str]) -> tuple[bool, str]:
        assert self.process.stdin is not None
        if self.process.poll() is not None:
            return False, f"(the interpreter had ended, status {self.process.returncode}, before this block)"
        token = f"--- block done {uuid.uuid4().hex}"
        message = {"code": block.code, "line": block.line, "file": str(README), "env": env, "token": token}
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()
        output: list[str] = []
        while True:
            try:
                line = self.lines.get(timeout=BLOCK_TIMEOUT)
            except queue.Empty:
                self.close()
                return False, "".join(output) + f"\n(no end after {BLOCK_TIMEOUT} s)"
            if line is None:
                return False, "".join(output) + f"\n(the interpreter ended, status {self.process.wait()})"
            if line.startswith(token):
                return line.split()[-1] == "ok", "".join(output)
            output.append(line)

    def close(self) -> None:
        if self.process.poll() is None:
            if self.process.stdin is not None:
                self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def base_environment(home: Path) -> dict[str, str]:
    environment = {name: value for name, value in os.environ.items() if not name.startswith("ORVANE_")}
    return environment | {
        "HOME": str(home),
        "PATH": f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}",
        "ORVANE_OLLAMA_URL": NO_SERVER,
    }


def run_shell(block: Block, workspace: Path, env: dict[str, str]) -> tuple[bool, str]:
    """One sh block in `bash -euo pipefail`; on a time-out, everything it started is killed."""
    shell = subprocess.Popen(
        ["bash", "-euo", "pipefail", "-c", block.code],
        cwd=workspace,
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        encoding="utf-8",
        errors="replace",
        start_new_session=True,
    )
    try:
        output, _ = shell.communicate(timeout=BLOCK_TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(shell.pid, signal.SIGKILL)
        output, _ = shell.communicate()
        return False, f"{output}\n(no end after {BLOCK_TIMEOUT} s)"
    return shell.returncode == 0, f"{output}\n(exit status {shell.returncode})"


@pytest.fixture(scope="module")
def walkthrough(tmp_path_factory: pytest.TempPathFactory) -> Iterator[dict[int, tuple[bool, str]]]:
    """Every runnable block run in order in one demo workspace: {line: (succeeded, output)}."""
    folder = tmp_path_factory.mktemp("readme")
    home = folder / "home"
    home.mkdir()
    workspace = folder / "orvane-demo"
    env = base_environment(home)
    made = subprocess.run(
        [ORVANE, "demo", "--dir", str(workspace)],
        cwd=folder,
        env=env,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=BLOCK_TIMEOUT,
    )
    assert made.returncode == 0, made.stdout + made.stderr
    assert (workspace / "orvane.yaml").is_file()

    ollama = FakeOllama()
    ollama.chat_message = {"role": "assistant", "content": "The drag coefficient is inside its range target."}
    with_ollama = {"ORVANE_OLLAMA_URL": f"http://{ollama.host}", "ORVANE_LLM_MODEL": "llama3.1:8b"}
    python: PythonSession | None = None
    outcomes: dict[int, tuple[bool, str]] = {}
    try:
        for block in RUNNABLE:
            extra = with_ollama if block.needs_ollama else {}
            if block.language == "sh":
                outcomes[block.line] = run_shell(block, workspace, env | extra)
            else:
                if python is None:
                    python = PythonSession(workspace, env)
                outcomes[block.line] = python.run(block, extra)
        yield outcomes
    finally:
        if python is not None:
            python.close()
        ollama.server.shutdown()
        ollama.server.server_close()


@pytest.mark.parametrize("block", RUNNABLE, ids=block_id)
def test_example_runs(walkthrough: dict[int, tuple[bool, str]], block: Block) -> None:
    succeeded, output = walkthrough[block.line]
    assert succeeded, f"{block.describe()} failed:\n{block.code}\n--- output\n{output}"


# --- the README's form ------------------------------------------------------------------


def test_blocks_are_marked_as_the_walk_through_expects() -> None:
    assert {block.language for block in BLOCKS} <= {"sh", "python", "text"}, [
        block.describe() for block in BLOCKS if block.language not in ("sh", "python", "text")
    ]
    assert [block for block in BLOCKS if block.language == "sh" and block.runs]
    assert [block for block in BLOCKS if block.language == "python" and block.runs]
    for block in BLOCKS:
        if block.marker is None:
            continue
        assert block.language in ("sh", "python"), f"{block.describe()}: only code blocks are marked"
        kind, value = block.marker
        assert (kind, value) == ("needs", "ollama") or (kind == "not run" and value), block.describe()
    # A marker anywhere else (not right above a fence) would be ignored: none is.
    lines = README.read_text(encoding="utf-8").splitlines()
    for number, line in enumerate(lines[:-1], start=1):
        if MARKER.match(line):
            assert FENCE.match(lines[number]), f"README.md line {number}: a marker not right above a fence"


def test_only_the_set_up_commands_are_left_out() -> None:
    left_out = [block for block in BLOCKS if block.marker and block.marker[0] == "not run"]
    assert left_out, "the set-up commands are marked as not run"
    for block in left_out:
        commands = [line.split("#")[0].strip() for line in block.code.splitlines() if line.split("#")[0].strip()]
        assert commands == ["make run", "make test"], f"{block.describe()}: {commands}"


# --- the quoted command line ------------------------------------------------------------


def orvane_help(home: Path, *words: str) -> str:
    environment = base_environment(home) | {"COLUMNS": "80"}
    done = subprocess.run(
        [ORVANE, *words, "--help"],
        env=environment,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, f"orvane {' '.join(words)} --help: {done.stderr}"
    return done.stdout


def test_quoted_help_is_the_commands_own(tmp_path: Path) -> None:
    quoted = [block for block in BLOCKS if block.language == "text" and block.code.startswith("usage: orvane")]
    assert quoted, "README.md quotes `orvane --help`"
    for block in quoted:
        words = []
        for word in block.code.split()[2:]:
            if not re.fullmatch(r"[a-z][a-z-]*", word):
                break
            words.append(word)
        shown = orvane_help(tmp_path, *words)
        assert block.code.rstrip() == shown.rstrip(), f"{block.describe()} is not `orvane {' '.join(words)} --help`"


def synopsis() -> dict[tuple[str, ...], str]:
    """The command lines of the README's synopses: {(command words): the line with its continuations}."""
    commands: dict[tuple[str, ...], str] = {}
    last: tuple[str, ...] | None = None
    for block in BLOCKS:
        if block.language != "text":
            continue
        for line in block.code.splitlines():
            if line.startswith("orvane ") and not line.startswith("orvane ["):
                words = []
                for word in line.split()[1:]:
                    # A command word that may be left out, `[run]`, counts as the word.
                    if not re.fullmatch(r"[a-z][a-z-]*|\[[a-z][a-z-]*\]", word):
                        break
                    words.append(word.strip("[]"))
                last = tuple(words)
                commands[last] = line
            elif last is not None and line.startswith(" ") and line.strip().startswith("["):
                commands[last] += " " + line.strip()
            else:
                last = None
    return commands


def listed_commands(help_text: str) -> list[str]:
    """The sub-commands that a help text lists under its positional arguments."""
    names = []
    inside = False
    for line in help_text.splitlines():
        if line.startswith("positional arguments:"):
            inside = True
        elif inside and line and not line.startswith(" "):
            break
        elif inside:
            match = re.match(r"^    ([a-z][a-z-]*)(\s|$)", line)
            if match:
                names.append(match.group(1))
    return names


def test_synopsis_names_every_command_and_option(tmp_path: Path) -> None:
    documented = synopsis()
    assert documented, "README.md has the synopsis of the command line"
    commands: list[tuple[str, ...]] = []
    for name in listed_commands(orvane_help(tmp_path)):
        actions = listed_commands(orvane_help(tmp_path, name))
        commands += [(name, action) for action in actions] if actions else [(name,)]
    assert sorted(documented) == sorted(commands)

    def options(words: tuple[str, ...]) -> set[str]:
        usage = orvane_help(tmp_path, *words).split("\n\n")[0]
        return set(re.findall(r"--[a-z][a-z-]*", usage)) - {"--help"}

    with ThreadPoolExecutor(max_workers=4) as pool:
        actual = dict(zip(commands, pool.map(options, commands)))
    for words, line in documented.items():
        assert set(re.findall(r"--[a-z][a-z-]*", line)) == actual[words], f"the synopsis of orvane {' '.join(words)}"
