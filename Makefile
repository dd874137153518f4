# `make run` and `make test` set up everything on a fresh Debian machine,
# then run the demo or the test suite. Both are idempotent: the package is
# rebuilt only when a source file changed.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# Debian packages the native build needs, the browser the report tests open
# reports in, and OpenFOAM (with Open MPI) for the CFD sample solver.
SYSTEM_PACKAGES := g++ make git libssl-dev libgtest-dev libsqlite3-dev chromium openfoam openmpi-bin
# The build runs without isolation, so that its CMake folder stays valid
# between installs: pyproject.toml's build requirements, and the runtime ones
# the stub generator imports, are installed into the venv first.
REQUIREMENTS = $(PY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb")); \
	print(*p["build-system"]["requires"], *p["project"]["dependencies"], "cmake>=3.26", "ninja", sep="\n")'

SOURCES := pyproject.toml CMakeLists.txt modules.txt $(shell find native src samples drivers examples -type f 2>/dev/null)

.PHONY: run test test-asan bench install

run: install
	$(VENV)/bin/orvane demo

# The plain C++ pieces have a GoogleTest program of their own.
NATIVE_TESTS := build/native-tests

test: install
	$(VENV)/bin/cmake -S tests/native -B $(NATIVE_TESTS) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja > /dev/null
	$(VENV)/bin/cmake --build $(NATIVE_TESTS)
	$(NATIVE_TESTS)/native_tests --gtest_brief=1
	$(PY) -m pytest

# The whole suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed into a folder of their own that the
# tests import first. The interpreter is not instrumented, so the sanitizer
# runtime is preloaded; deep-nesting tests need a larger stack. SIGFPE is
# left to the programs themselves: OpenFOAM traps floating-point errors on
# purpose when a case diverges (UBSan still reports a division by zero).
ASAN_BUILD := build/asan
SANITIZE := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
ASAN_REPORTS := $(abspath $(ASAN_BUILD))/reports
ASAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:handle_sigfpe=0:log_path=$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan PYTHONMALLOC=malloc

test-asan: install
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dnanobind_DIR="$$($(PY) -m nanobind --cmake_dir)" -DCMAKE_CXX_FLAGS="$(SANITIZE)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(SANITIZE)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE)" \
	  -DCMAKE_INSTALL_PREFIX=$(abspath $(ASAN_BUILD))/site > /dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	$(ASAN_ENV) $(VENV)/bin/cmake --install $(ASAN_BUILD) > /dev/null
	ulimit -s 262144 && $(ASAN_ENV) PYTHONPATH=$(abspath $(ASAN_BUILD))/site \
	  $(PY) -m pytest -p no:cacheprovider || { cat $(ASAN_REPORTS)/* 2>/dev/null; exit 1; }
	@if [ -n "$$(ls $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; exit 1; fi

# Every benchmark: each case's time beside its floor's (bench/floors.py).
bench: install
	cd bench && for script in bench_*.py; do echo "== $$script"; ../$(PY) $$script || exit 1; done

install: $(VENV)/.installed

# Checked again when this file changes: a package added to the list is installed.
$(VENV)/.system-packages: Makefile
	@missing=$$(for p in $(SYSTEM_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing system packages:" $$missing; \
	  $(SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing; \
	fi
	@mkdir -p $(VENV) && touch $@

$(VENV)/.build-tools: pyproject.toml | $(VENV)/.system-packages
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(REQUIREMENTS) > $(VENV)/build-requirements.txt
	$(PIP) install -r $(VENV)/build-requirements.txt
	@touch $@

$(VENV)/.installed: $(SOURCES) | $(VENV)/.build-tools
	$(PIP) install -v --no-build-isolation '.[test]'
	@touch $@
