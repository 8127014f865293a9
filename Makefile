# Every target works on a fresh machine: it installs the Debian packages it
# needs (as root), creates .venv, installs the package into it and runs.
VENV   := .venv
PYTHON := $(VENV)/bin/python
PIP    := $(PYTHON) -m pip
STAMP  := $(VENV)/.installed
# The venv first, so that the build finds its own numpy-config and tools.
export PATH := $(abspath $(VENV))/bin:$(PATH)
SOURCES := $(wildcard distribution/*.cpp distribution/*.hpp distribution/*.py) meson.build pyproject.toml

.PHONY: demo test build bench system-deps clean

demo: $(STAMP)
	$(PYTHON) examples/demo.py

test: $(STAMP)
	$(VENV)/bin/pytest tests

build: $(STAMP)

# Speed and memory against the NumPy closed form, SciPy and the arithmetic
# floor; SciPy is installed for the benchmark only.
bench: $(STAMP) $(VENV)/.bench-deps
	cd benchmarks && ../$(PYTHON) bench.py

$(VENV)/.bench-deps: benchmarks/requirements.txt $(VENV)/.deps
	$(PIP) install -q -r benchmarks/requirements.txt
	touch $@

# Eigen and GSL come from Debian's packages and are found with pkg-config.
system-deps:
	@if ! pkg-config --exists eigen3 gsl 2>/dev/null; then \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends \
	    pkg-config g++ libeigen3-dev libgsl-dev; \
	fi

$(VENV)/.deps: requirements-dev.txt | system-deps
	test -x $(PYTHON) || python3 -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	touch $@

$(STAMP): $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf build .mesonpy-* $(VENV)
