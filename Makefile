# Every target works on a fresh machine: it installs the Debian packages it
# needs (as root), creates .venv, installs the package into it and runs.
VENV   := .venv
PYTHON := $(VENV)/bin/python
PIP    := $(PYTHON) -m pip
STAMP  := $(VENV)/.installed
# The venv first, so that the build finds its own numpy-config and tools.
export PATH := $(abspath $(VENV))/bin:$(PATH)
SOURCES := $(wildcard distribution/*.cpp distribution/*.hpp distribution/*.py) meson.build pyproject.toml

.PHONY: demo test build system-deps clean sanitize

demo: $(STAMP)
	$(PYTHON) examples/demo.py

test: $(STAMP)
	$(VENV)/bin/pytest tests

build: $(STAMP)

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
	rm -rf build .mesonpy-* $(VENV) $(SAN_VENV)

# The whole suite against a build with AddressSanitizer (leak checking
# included) and UBSan, in a venv of its own; any report fails the run.  The
# interpreter is not instrumented: the ASan runtime is preloaded into it, and
# PYTHONMALLOC=malloc hands Python's allocations to ASan as well.  libstdc++
# is preloaded too, or ASan's __cxa_throw interceptor finds no real one (the
# interpreter does not link it) and aborts on the first C++ exception.  Leaks
# of the interpreter's own are suppressed by the allocating caller
# (tests/lsan.supp); a leak from the module's code is not.
SAN_VENV := .venv-sanitize
SAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:strict_init_order=1:check_initialization_order=1 \
  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
sanitize: | system-deps
	test -x $(SAN_VENV)/bin/python || python3 -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install -q -r requirements-dev.txt
	PATH=$(abspath $(SAN_VENV))/bin:$$PATH $(SAN_VENV)/bin/python -m pip install -q \
	  --no-build-isolation --no-deps -Cbuild-dir=build/sanitize \
	  -Csetup-args=-Db_sanitize=address,undefined \
	  "-Csetup-args=-Dcpp_args=-fno-sanitize-recover=all -fno-omit-frame-pointer -g" .
	$(SAN_ENV) $(SAN_VENV)/bin/pytest tests
