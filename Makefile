# The commands people type. Every target makes its own virtualenv and builds the
# extensions into it; build trees under build/ are kept, so rebuilds are incremental.
#
#   make demo                                    the gated MCP server (ARGS="--port 0")
#   make test                                    Python 3.10 (.venv)
#   make test PYTHON=python3 VENV=.venv-default  any other interpreter
#   make test-twin                               the gate tests against bench/python_gate.py
#   make sanitize                                ASan + UBSan build, Python 3.10 (.venv-asan)
#   make bench                                   bench/gate_overhead.py, gate_wire.py, soak.py,
#                                                secure_gate.py, shared_store.py
#   make bench BENCH_ARGS=--quick                the same in a few minutes
#
# PYTEST_ARGS is passed to pytest, e.g. make test PYTEST_ARGS='-k gate -x'.

# Python 3.10 where it can be found: pyenv's, else python3.10 on PATH (asked for its real
# path, since a pyenv shim on PATH fails unless a version is selected), else python3.
ifeq ($(origin PYTHON),undefined)
PYENV_PREFIX_310 := $(shell pyenv prefix 3.10 2>/dev/null)
PYTHON := $(or $(if $(PYENV_PREFIX_310),$(PYENV_PREFIX_310)/bin/python),$(shell python3.10 -c 'import sys; print(sys.executable)' 2>/dev/null),python3)
endif
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PYTEST_ARGS ?=
ARGS ?=
BENCH_ARGS ?=
BENCH_PROGRAMS := bench/gate_overhead.py bench/gate_wire.py bench/soak.py bench/secure_gate.py bench/shared_store.py

BUILD_TOOLS := scikit-build-core cmake ninja
# Build against the venv's own tools; editable so the tests run the tree's Python files.
INSTALL = bin/python -m pip install -q --no-build-isolation -e '.[test]'
INSTALL_DEMO = bin/python -m pip install -q --no-build-isolation -e '.[demo]'
# What a rebuild of the extensions depends on (the Python files are used in place).
BUILD_INPUTS := pyproject.toml CMakeLists.txt $(wildcard src/native/* src/tervik/*/*.[ch]pp src/tervik/*/*/*.[ch]pp)

# The sanitizer run uses GCC's runtimes, preloaded into the pytest process only
# (tests/conftest.py takes LD_PRELOAD out again for the programs the tests start).
SANITIZER_CXX := g++
SANITIZER_ENV = \
	LD_PRELOAD="$$($(SANITIZER_CXX) -print-file-name=libasan.so) $$($(SANITIZER_CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/.ci/lsan.supp:print_suppressions=0 \
	PYTHONPATH=$(CURDIR)/tests/sanitizer \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc \
	TERVIK_SANITIZER_RUN=1

.PHONY: demo first-build-notice test test-twin sanitize bench clean

# The main job: python -m tervik.mcp.demo, with ARGS passed on. Its first run makes the
# virtualenv and builds the extensions, which takes a while: it says so before it starts.
demo: $(if $(wildcard $(VENV)/.demo-installed),,first-build-notice) $(VENV)/.demo-installed
	$(VENV)/bin/python -m tervik.mcp.demo $(ARGS)

$(VENV)/.demo-installed: $(VENV)/.ready $(BUILD_INPUTS)
	$(VENV)/$(INSTALL_DEMO)
	touch $@

first-build-notice:
	@echo "make demo: the first run makes $(VENV) and builds the extensions into it (about half a minute)"

test: $(VENV)/.ready
	$(VENV)/$(INSTALL)
	$(VENV)/bin/python -m pytest tests -q $(PYTEST_ARGS)

# The gate tests against the plain-Python twin, so the benchmarks compare with a faithful one.
test-twin: $(VENV)/.ready
	$(VENV)/$(INSTALL)
	$(VENV)/bin/python -m pytest tests/gate -q --gate=python $(PYTEST_ARGS)

sanitize: $(ASAN_VENV)/.ready
	CXX=$(SANITIZER_CXX) $(ASAN_VENV)/$(INSTALL) \
		--config-settings=cmake.define.TERVIK_SANITIZE=ON \
		--config-settings=cmake.build-type=RelWithDebInfo \
		--config-settings='build-dir=build/asan-{wheel_tag}'
	$(SANITIZER_ENV) $(ASAN_VENV)/bin/python -m pytest tests -q $(PYTEST_ARGS)

# valgrind (instruction counts) and wrk (the wire) are Debian packages; without them the
# programs say so and measure what they can.
bench: $(VENV)/.ready
	$(VENV)/bin/python -m pip install -q --no-build-isolation -e '.[test,bench]'
	@for program in $(BENCH_PROGRAMS); do echo "== $$program"; $(VENV)/bin/python $$program $(BENCH_ARGS) || exit 1; done

# A fresh virtualenv with an up-to-date pip and the build tools.
%/.ready:
	rm -rf $*
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install -q --upgrade pip $(BUILD_TOOLS)
	touch $@

clean:
	rm -rf build .venv .venv-* .pytest_cache
