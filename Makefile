# Set-up, demo and tests. Everything is installed into .venv by these targets.
VENV := .venv
PY := $(VENV)/bin/python
CPP_TEST_DIR := build/cpp-tests
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: demo test lint test-python test-cpp test-sanitize fuzz-long bench bench-streaming bench-workers prove-math install venv clean

demo: install
	$(VENV)/bin/kavri demo

test: install lint test-cpp test-python test-sanitize

# Static checks of the package: the linter, strict type checking, and the check that the
# extension's stub matches the built module. Their settings live in pyproject.toml.
lint: install
	$(PY) -m ruff check python
	$(PY) -m mypy
	$(PY) -m mypy.stubtest --allowlist scripts/stubtest-allowlist.txt kavri._kavri_core kavri._kavri_stream

venv:
	@test -x $(PY) || "$$(./scripts/find-python312.sh)" -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip
	@$(PY) scripts/build_requirements.py | xargs $(PY) -m pip install -q

install: venv
	$(PY) -m pip install -q --no-build-isolation '.[test]'

test-cpp: venv
	cmake -S . -B $(CPP_TEST_DIR) -G Ninja -DKAVRI_BUILD_MODULE=OFF -DKAVRI_BUILD_TESTS=ON >/dev/null
	cmake --build $(CPP_TEST_DIR)
	ctest --test-dir $(CPP_TEST_DIR) --output-on-failure

test-python: install
	$(PY) -m pytest

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer in its own venv,
# and the suite run against it. Any undefined behaviour aborts the run. The tests that cap
# the address space or read resident memory mean nothing under the sanitizer's shadow memory
# and are left to the plain run.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZE_IGNORE := --ignore=tests/test_resources.py --ignore=tests/test_leaks.py --ignore=tests/test_interface.py
test-sanitize: venv
	@test -x $(ASAN_PY) || "$$(./scripts/find-python312.sh)" -m venv $(ASAN_VENV)
	@$(PY) scripts/build_requirements.py | xargs $(ASAN_PY) -m pip install -q
	$(ASAN_PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.define.KAVRI_SANITIZE=ON '.[test]'
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
	KAVRI_SANITIZED=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider $(SANITIZE_IGNORE)

# A longer property-based run than the bounded one in the test suite.
fuzz-long: install
	KAVRI_FUZZ_EXAMPLES=20000 $(PY) -m pytest -q tests/test_fuzz.py

bench: install
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) bench/run_bench.py

# Peak memory by file length, streamed against whole-buffer speed, time from a signal to exit.
bench-streaming: install
	$(PY) bench/bench_streaming.py

# workers=1 against workers=2 through process_pipeline (with the worker rule) and streams of
# 256-frame blocks, and the break-even table behind the rule; bench/results/workers.md.
bench-workers: install
	$(PY) bench/bench_workers.py --calibrate

# Proves the vector math functions equal to the C library's scalar calls over every input
# (minutes, both cores). The output is kept in bench/results/prove_math.txt.
PROVE_FLAGS := -std=c++17 -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra -Isrc
prove-math:
	@mkdir -p build bench/results
	$${CXX:-g++} $(PROVE_FLAGS) bench/prove_math.cpp src/engine/vecmath/*.cpp -o build/prove_math -pthread
	./build/prove_math > bench/results/prove_math.txt; status=$$?; cat bench/results/prove_math.txt; exit $$status

clean:
	rm -rf build $(VENV)
