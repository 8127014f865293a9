# Every target works on a fresh machine: it installs the Debian packages it
# needs (as root), creates .venv, installs the package into it and runs.
VENV   := .venv
PYTHON := $(VENV)/bin/python
PIP    := $(PYTHON) -m pip
STAMP  := $(VENV)/.installed
# The venv first, so that the build finds its own numpy-config and tools.
export PATH := $(abspath $(VENV))/bin:$(PATH)
SOURCES := $(wildcard distribution/*.cpp distribution/*.hpp distribution/simd/*.hpp distribution/accurate/*.hpp distribution/accurate/*.cpp distribution/*.py distribution/models/*.py) meson.build meson.options tests/meson.build pyproject.toml
SOURCES += $(wildcard distribution/*.pyi distribution/py.typed) LICENSE $(wildcard LICENSES/*)

.PHONY: demo test build bench bench-fits docs sanitize system-deps clean wheel test-pythons

# One build directory serves the demo, the wheel and the test build: a
# build directory remembers its interpreter and NumPy, so one per venv
# (tools/build_wheel.py names it the same way).  What one command compiled
# the next one does not compile again.
BUILD_DIR := build/wheel-$(notdir $(VENV))
# Each stage says what it does before it starts.
SAY := @printf '\n==> %s\n'

# The demo needs the package with NumPy and, for the fit, SciPy: built
# without pip's isolation in $(BUILD_DIR), for the instruction sets of this
# machine (the baseline and the best it runs).
demo: $(STAMP)
	$(SAY) "run: examples/demo.py"
	$(PYTHON) examples/demo.py

# The suite runs against the repaired wheel, installed into .venv: the wheel
# that users get, with its bundled libraries.  tests/test_wheel.py inspects it.
# The lane tests' test build is made beside it, from the same objects.
test: $(VENV)/.wheel-installed
	$(SAY) "check: the model core's types with mypy (pyproject.toml's configuration)"
	$(VENV)/bin/mypy
	$(SAY) "run: the suite (3 to 7 minutes on 2 cores)"
	DISTRIBUTION_WHEEL="$$(ls $(CURDIR)/dist/distribution-*.whl)" \
	  DISTRIBUTION_BUILD_DIR=$(CURDIR)/$(BUILD_DIR) $(VENV)/bin/pytest tests

build: $(STAMP)

# Speed and memory against the NumPy closed form, SciPy and the arithmetic
# floor; then (bench-fits) the compiled likelihood against the functions it
# stands on and its threads, the fits against the finite-difference ordered
# fit, scipy's generic fit and R's clm and survreg, and their standard
# errors against a bootstrap.
bench: $(STAMP) $(VENV)/.bench-deps
	cd benchmarks && ../$(PYTHON) bench.py
	$(PYTHON) benchmarks/fits.py

bench-fits: $(STAMP) $(VENV)/.bench-deps
	$(PYTHON) benchmarks/likelihood.py
	$(PYTHON) benchmarks/fits.py

# The documentation under docs/ with Sphinx (warnings are errors), the API
# reference from the docstrings by numpydoc; the pages in docs/_build/html.
docs: $(STAMP) $(VENV)/.docs-deps
	$(VENV)/bin/sphinx-build -E -W --keep-going -q -b html docs docs/_build/html

$(VENV)/.docs-deps: requirements-docs.txt | $(VENV)/.created
	$(PIP) install -q -r requirements-docs.txt
	touch $@

# R's ordinal and survival from Debian, for the comparisons with clm and
# survreg; where they cannot be installed the benchmark says so and goes on.
$(VENV)/.bench-deps: benchmarks/requirements.txt $(VENV)/.deps
	$(PIP) install -q -r benchmarks/requirements.txt
	-@if ! Rscript -e 'library(ordinal); library(survival)' >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends \
	    r-base-core r-cran-ordinal r-cran-survival >/dev/null || echo "R's ordinal and survival not installed"; \
	fi
	touch $@

# Eigen, GSL and Highway come from Debian's packages and are found with pkg-config.
system-deps:
	$(SAY) "system packages: Eigen, GSL and Highway through pkg-config"
	@if ! pkg-config --exists eigen3 gsl libhwy 2>/dev/null; then \
	  echo "installing them with apt-get (a minute or two)"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends \
	    pkg-config g++ libeigen3-dev libgsl-dev libhwy-dev python3-dev python3-venv; \
	fi

$(VENV)/.created: | system-deps
	$(SAY) "environment: a virtual environment in $(VENV)"
	test -x $(PYTHON) || python3 -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	touch $@

# The build backend and SciPy, what the demo needs.
$(VENV)/.build-deps: requirements-build.txt | $(VENV)/.created
	$(SAY) "environment: NumPy, SciPy and the build tools into $(VENV) (under a minute)"
	$(PIP) install -q -r requirements-build.txt
	touch $@

# Build tools and the test stack.
$(VENV)/.deps: requirements-dev.txt requirements-build.txt | $(VENV)/.created
	$(SAY) "environment: the test tools into $(VENV) (under a minute)"
	$(PIP) install -q -r requirements-dev.txt
	touch $@ $(VENV)/.build-deps

$(STAMP): $(SOURCES) | $(VENV)/.build-deps
	$(SAY) "compile: the package for this machine's instruction sets in $(BUILD_DIR): about 2.5 minutes on 2 cores"
	$(PIP) install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) -Csetup-args=-Dtargets=native .
	touch $@

# One manylinux wheel for .venv's Python in dist/: built, then repaired with
# auditwheel, which copies GSL and Highway into it (tools/build_wheel.py).
wheel: $(VENV)/.deps
	$(PYTHON) tools/build_wheel.py dist

$(VENV)/.wheel-installed: $(VENV)/.deps $(SOURCES)
	$(SAY) "compile: the portable wheel (every instruction set) and the test build in $(BUILD_DIR): about 2.5 minutes on 2 cores after make demo, whose objects it reuses, 4.5 from nothing"
	$(PYTHON) tools/build_wheel.py dist
	PATH=$(abspath $(VENV))/bin:$$PATH ninja -C $(BUILD_DIR) test-build
	$(PIP) install -q --no-deps --force-reinstall dist/distribution-*.whl
	touch $@ $(STAMP)

# The suite under every CPython from 3.10 to 3.13 that the machine has
# (noxfile.py; pyenv's builds are found through `pyenv root`).
# NOXFLAGS picks interpreters, e.g. NOXFLAGS="--python 3.12".
test-pythons: $(VENV)/.deps
	$(VENV)/bin/nox $(NOXFLAGS)

clean:
	rm -rf build .mesonpy-* dist .nox docs/_build $(VENV) $(SAN_VENV) $(WHEEL_VENV)

# Pictures for the README, from examples/: docs/quickstart.png,
# docs/accuracy.png (about a minute of mpmath quadrature), docs/ordinal_fit.png
# and docs/density_fit.png.
.PHONY: pictures wheel-check sdist-check
pictures: $(VENV)/.examples
	$(PYTHON) examples/quickstart.py
	$(PYTHON) examples/accuracy.py
	$(PYTHON) examples/ordinal_fit.py
	$(PYTHON) examples/density_fit.py
	$(PYTHON) examples/survival_fit.py
	$(PYTHON) examples/binary_fit.py

$(VENV)/.examples: requirements-examples.txt $(STAMP)
	$(PIP) install -q -r requirements-examples.txt
	touch $@

# The repaired wheel installed with the test tools into a fresh venv, and the
# whole suite run there from outside the source tree.
WHEEL_VENV := .venv-wheel
wheel-check: wheel
	rm -rf $(WHEEL_VENV)
	python3 -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -q dist/distribution-*.whl -r requirements-dev.txt
	cd $(WHEEL_VENV) && bin/python -c 'import distribution, sys; \
	  sys.exit(0 if "/$(WHEEL_VENV)/" in distribution.__file__ else "not the wheel: " + distribution.__file__)'
	cd $(WHEEL_VENV) && DISTRIBUTION_WHEEL="$$(ls $(CURDIR)/dist/distribution-*.whl)" \
	  bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests

# The sdist (meson-python's, of the committed files) unpacked and built on its own.
SDIST_DIR := build/sdist-check
sdist-check: $(VENV)/.deps
	rm -rf dist/distribution-*.tar.gz $(SDIST_DIR)
	mkdir -p dist $(SDIST_DIR)
	$(PYTHON) -c 'import mesonpy; print(mesonpy.build_sdist("dist"))'
	tar -xzf dist/distribution-*.tar.gz -C $(SDIST_DIR)
	$(PIP) wheel -q --no-deps -w $(SDIST_DIR)/dist $(SDIST_DIR)/distribution-*/
	$(PYTHON) -m zipfile -l $(SDIST_DIR)/dist/distribution-*.whl | tee $(SDIST_DIR)/contents
	for f in __init__.py cdf_ufunc.pyi accurate.pyi py.typed 'cdf_ufunc\.cpython-.*\.so' 'accurate\.cpython-.*\.so'; do \
	  grep -q "distribution/$$f" $(SDIST_DIR)/contents || { echo "missing $$f"; exit 1; }; done

# The whole suite, less the slow global references of the fits, the model
# layer's Python (tests/conftest.py) and the import under an old NumPy (it
# would build a plain wheel of every instruction set, nothing the sanitizers
# see: make test checks it), against a build with AddressSanitizer (leak
# checking included) and UBSan, in a venv of its own; any report fails the
# run.  The
# interpreter is not instrumented: the ASan runtime is preloaded into it, and
# PYTHONMALLOC=malloc hands Python's allocations to ASan as well.  libstdc++
# is preloaded too, or ASan's __cxa_throw interceptor finds no real one (the
# interpreter does not link it) and aborts on the first C++ exception.  Leaks
# of the interpreter's own are suppressed by the allocating caller
# (tests/lsan.supp); a leak from the module's code is not.  At -O1, as
# ASan's own documentation advises: at -O3 the instrumented SIMD kernels of
# the accurate family take many times longer to compile.
SAN_VENV := .venv-sanitize
SAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:strict_init_order=1:check_initialization_order=1 \
  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
sanitize: | system-deps
	$(SAY) "environment: $(SAN_VENV) with the build and test tools (under a minute)"
	test -x $(SAN_VENV)/bin/python || python3 -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install -q -r requirements-dev.txt
	$(SAY) "compile: the sanitized build in build/sanitize (baseline and AVX2, -O1): about 15 minutes on 2 cores"
	PATH=$(abspath $(SAN_VENV))/bin:$$PATH $(SAN_VENV)/bin/python -m pip install -q \
	  --no-build-isolation --no-deps -Cbuild-dir=build/sanitize \
	  -Csetup-args=-Db_sanitize=address,undefined -Csetup-args=-Doptimization=1 \
	  "-Csetup-args=-Ddisabled_targets=HWY_SSSE3|HWY_SSE4|HWY_AVX3" \
	  "-Csetup-args=-Dcpp_args=-fno-sanitize-recover=all -fno-omit-frame-pointer" .
	$(SAY) "run: the suite under AddressSanitizer and UBSan (about 5 minutes on 2 cores)"
	$(SAN_ENV) $(SAN_VENV)/bin/pytest -m "not slow and not models" --ignore=tests/test_old_numpy.py tests
