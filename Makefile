# make demo | make test | make bench
# Each target creates or reuses a virtual environment with a CPython >= 3.13,
# installs the build and test/bench dependencies once (again only when
# pyproject.toml changes) and rebuilds the extension only when a source changed.

VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR := $(abspath $(VENV))/cmake-build
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
PIP := $(PY) -m pip --disable-pip-version-check -q

.PHONY: demo test bench build clean

$(PY):
	@set -e; python=$$(tools/find_python.sh); \
	echo "creating $(VENV) with $$python"; \
	"$$python" -m venv $(VENV)

$(VENV)/.deps-%: pyproject.toml tools/requirements.py | $(PY)
	$(PY) tools/requirements.py $(subst +, ,$*) > $(VENV)/requirements-$*.txt
	$(PIP) install -r $(VENV)/requirements-$*.txt
	@touch $@

$(VENV)/.built: $(SOURCES) $(VENV)/.deps-test
	$(PIP) install --no-build-isolation --no-deps \
	    -C build-dir=$(BUILD_DIR) -C cmake.define.VELKORA_WERROR=ON .
	@touch $@

build: $(VENV)/.built

test: $(VENV)/.built $(VENV)/.deps-test
	$(PY) -m pytest tests/python -q

demo: $(VENV)/.built
	$(PY) examples/demo.py $(ARGS)

bench: $(VENV)/.built $(VENV)/.deps-bench
	$(PY) bench/run_bench.py

clean:
	rm -rf $(VENV) build
