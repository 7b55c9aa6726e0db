# The README's commands: `make demo` and `make test`.
VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find ext src scripts -type f) CMakeLists.txt pyproject.toml
# Extra settings for the wheel build (the sanitizer build passes its own).
BUILD_SETTINGS :=

.PHONY: test demo bench install test-asan clean

test: install
	$(PY) -m pytest -q

# Runs the installed hook on a handful of sample events in a throwaway home folder.
demo: install
	$(PY) demo/run_demo.py

# Start-up, per-call and memory figures of the hook against their floors (not a test).
bench: install
	$(PY) bench/bench.py

install: $(VENV)/.installed

# A virtual environment of Python 3.13 with the build and test tools.
$(VENV)/.tools: requirements-dev.txt
	@python=$$(sh tools/find-python313) || exit 1; \
	  [ -x $(PY) ] || $$python -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	@touch $@

# The project, built as the wheel users get and installed into the environment.
$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
	  $(BUILD_SETTINGS) .
	@touch $@

# zig from PyPI, pinned, in an environment of its own: cross-compilers for macOS, Windows and old glibc.
ZIG_VENV := .venv-zig
ZIG      := $(ZIG_VENV)/bin/python -m ziglang
# zig's caches stay inside the checkout's ignored build folder.
export ZIG_GLOBAL_CACHE_DIR := $(CURDIR)/build/zig-cache
export ZIG_LOCAL_CACHE_DIR  := $(CURDIR)/build/zig-cache

$(ZIG_VENV)/.installed:
	@python=$$(sh tools/find-python313) || exit 1; \
	  [ -x $(ZIG_VENV)/bin/python ] || $$python -m venv $(ZIG_VENV)
	$(ZIG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check ziglang==0.17.1
	@touch $@

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in
# an environment of its own. The uninstrumented interpreter needs the ASan runtime first in
# line and the plain allocator; leaks are left to the suite's own leak test, since the
# interpreter keeps much of its memory to the end on purpose.
ASAN_VENV := .venv-asan
test-asan:
	$(MAKE) VENV=$(ASAN_VENV) install \
	  BUILD_SETTINGS="-C build-dir=build/asan -C cmake.build-type=RelWithDebInfo -C cmake.define.HOOK_SANITIZE=ON"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# The wheel for a package index, left alone in dist/. zig builds the module against glibc
# 2.17's symbols; auditwheel then tags it manylinux2014 (glibc 2.17 or later, x86_64). It
# refuses a module that needs a newer symbol, or a library it would have to bundle: its
# patcher "none" bundles nothing. Last, the wheel is installed into a fresh environment and run.
WHEEL_PLATFORM := manylinux_2_17_x86_64
.PHONY: wheel
wheel: $(VENV)/.auditwheel $(ZIG_VENV)/.installed
	rm -rf dist build/wheel
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -w build/wheel -C build-dir=build/manylinux \
	  -C cmake.define.CMAKE_CXX_COMPILER=$(CURDIR)/tools/manylinux-c++ .
	$(VENV)/bin/auditwheel repair --plat $(WHEEL_PLATFORM) --patcher none -w dist build/wheel/*.whl
	$(VENV)/bin/auditwheel show dist/*.whl
	TOVRIN_WHEEL="$$(echo dist/*.whl)" $(PY) -m pytest -q -p no:cacheprovider tests/test_wheel.py

$(VENV)/.auditwheel: $(VENV)/.tools
	$(PY) -m pip install --quiet --disable-pip-version-check auditwheel==6.8.2
	@touch $@

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)
