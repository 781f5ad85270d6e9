# Set-up, demo and tests. Everything is installed into .venv by these targets.
VENV := .venv
PY := $(VENV)/bin/python
CPP_TEST_DIR := build/cpp-tests
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: demo test test-python test-cpp install venv clean

demo: install
	$(VENV)/bin/kavri demo

test: install test-cpp test-python

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

clean:
	rm -rf build $(VENV)
