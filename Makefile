# The README's commands: `make demo` and `make test`.
VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find ext scripts $(wildcard src) -type f) CMakeLists.txt pyproject.toml
# Extra settings for the wheel build (the sanitizer build passes its own).
BUILD_SETTINGS :=

.PHONY: test demo bench install test-asan test-hosts bench-hosts clean

# The tests install nothing on the machine: what they need beyond the checkout's environments,
# they make inside their own temporary folders or skip.
test: install
	TOVRIN_WHEEL="$$(echo $(DEV_WHEELS)/*.whl)" $(PY) -m pytest -q

# Runs the installed hook on a handful of sample events in a throwaway home folder.
demo: install
	$(PY) demo/run_demo.py

# Start-up, per-call and memory figures of the hook against their floors (not a test).
bench: install
	TOVRIN_WHEEL="$$(echo $(DEV_WHEELS)/*.whl)" $(PY) bench/bench.py

install: $(VENV)/.installed

# A virtual environment of Python 3.13 with the build and test tools.
$(VENV)/.tools: requirements-dev.txt
	@python=$$(sh tools/find-python313) || exit 1; \
	  [ -x $(PY) ] || $$python -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	@touch $@

# The project, built as the wheel users get and installed into the environment, with the
# stand-in product CLI beside it (a development tool, not part of the wheel).
# The wheel is kept, so that the suite can install it again beside a stand-in product. The
# stand-in goes in after the hook, so that an older hook package that is being replaced cannot
# take the stand-in's command with it.
DEV_WHEELS = build/wheels$(subst .venv,,$(VENV))
$(VENV)/.installed: $(VENV)/.tools $(SOURCES) $(shell find standin -type f)
	rm -rf $(DEV_WHEELS)
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  $(BUILD_SETTINGS) -w $(DEV_WHEELS) .
	$(PY) -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps $(DEV_WHEELS)/*.whl
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps ./standin
	@touch $@

# zig from PyPI, pinned, in an environment of its own: cross-compilers for macOS, Windows and old glibc.
ZIG_VENV := .venv-zig
# zig's caches stay inside the checkout's ignored build folder.
export ZIG_GLOBAL_CACHE_DIR := $(CURDIR)/build/zig-cache
export ZIG_LOCAL_CACHE_DIR  := $(CURDIR)/build/zig-cache

$(ZIG_VENV)/.installed:
	@python=$$(sh tools/find-python313) || exit 1; \
	  [ -x $(ZIG_VENV)/bin/python ] || $$python -m venv $(ZIG_VENV)
	$(ZIG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check ziglang==0.17.1
	@touch $@

# The real agent hosts run the installed hook as docs/registration.md registers it
# (tests/hosts/; their Windows builds are make test-hosts-windows's). Only the hosts' binaries
# are used, so their packages' own dependencies are left out.
HOSTS_VENV := .venv-hosts
test-hosts: install $(HOSTS_VENV)/.installed
	TOVRIN_HOSTS_REQUIRED=1 $(PY) -m pytest -q -p no:cacheprovider --ignore=tests/hosts/test_windows.py tests/hosts

# What the hook costs each host per tool call (not a test).
bench-hosts: install $(HOSTS_VENV)/.installed
	$(PY) bench/hosts.py

$(HOSTS_VENV)/.installed: requirements-hosts.txt
	@python=$$(sh tools/find-python313) || exit 1; \
	  [ -x $(HOSTS_VENV)/bin/python ] || $$python -m venv $(HOSTS_VENV)
	$(HOSTS_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-deps -r requirements-hosts.txt
	@touch $@

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in
# an environment of its own. The uninstrumented interpreter needs the ASan runtime (the one
# the instrumented module loads) first in line, and the plain allocator; leaks are left to the
# suite's own leak test, since the interpreter keeps much of its memory to the end on purpose.
# The host tests are left out: a host starts the hook with an environment of its own, without
# the runtime.
ASAN_VENV := .venv-asan
test-asan:
	$(MAKE) VENV=$(ASAN_VENV) install \
	  BUILD_SETTINGS="-C build-dir=build/asan -C cmake.build-type=RelWithDebInfo -C cmake.define.HOOK_SANITIZE=ON"
	LD_PRELOAD="$$(ldd $(ASAN_VENV)/lib/python3.13/site-packages/tovrin/skills/hooks/*.so | awk '/libasan/ { print $$3 }')" \
	  PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider --ignore=tests/hosts

# The wheels for a package index, left alone in dist/: Linux's and Windows'.
# Linux: zig builds the module against glibc 2.17's symbols; auditwheel then tags it
# manylinux2014 (glibc 2.17 or later, x86_64). It refuses a module that needs a newer symbol,
# or a library it would have to bundle: its patcher "none" bundles nothing. The wheel is then
# installed into a fresh environment and run.
# Windows: the wheel below, checked (its files, its import tables, and its module loaded by
# CPython for Windows under wine).
WHEEL_PLATFORM := manylinux_2_17_x86_64
# CPython 3.13 for Windows, and the Windows wheel built for it (both further down).
WIN_EMBED := build/windows/python
WIN_WHEEL := build/windows/wheel
.PHONY: wheel
wheel: $(VENV)/.auditwheel $(ZIG_VENV)/.installed $(WIN_WHEEL)/checked
	rm -rf dist build/wheel
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -w build/wheel -C build-dir=build/manylinux \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/tools/zig-manylinux.cmake .
	$(VENV)/bin/auditwheel repair --plat $(WHEEL_PLATFORM) --patcher none -w dist build/wheel/*.whl
	$(VENV)/bin/auditwheel show dist/*.whl
	TOVRIN_WHEEL="$$(echo dist/*.whl)" $(PY) -m pytest -q -p no:cacheprovider tests/test_wheel.py
	cp $(WIN_WHEEL)/*.whl dist/

$(VENV)/.auditwheel: $(VENV)/.tools
	$(PY) -m pip install --quiet --disable-pip-version-check auditwheel==6.8.2
	@touch $@

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(ZIG_VENV) $(HOSTS_VENV)

# macOS and Windows, as far as this machine takes them (no Mac or Windows machine here): the
# module and the launcher built by CMake for both macOS CPUs and checked, the Windows wheel
# built and its module loaded under wine, and the marker layer's contract test run natively
# and, on the Windows layer, under wine.
PORTS       := build/ports
HOOK_DIR    := ext/report_skill_usage
# Every C and C++ program is built by CMake (CMakeLists.txt), with a toolchain file per target
# (tools/zig-*.cmake): $(call cmake,FOLDER,SETTINGS) configures a Release build in FOLDER, the
# first time, and brings it up to date.
CMAKE       := $(VENV)/bin/cmake
cmake        = $(CMAKE) -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
               -DCMAKE_BUILD_TYPE=Release $(2) >$(1).log || { cat $(1).log; exit 1; }; \
               $(CMAKE) --build $(1)
# The sources of the test programs beside those of the hook.
TEST_PROGRAMS := $(SOURCES) $(wildcard tests/marker_contract/* tests/launcher_port/* standin/windows/*) \
                 tests/nfs_flock.c tools/wine-process-prng.c
# The interpreter's own headers, this machine's (see docs/platforms.md).
HOST_PYTHON_INCLUDE = $(shell $(ZIG_VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_path("include"))')
# wine keeps to the checkout: its menu builder off (it would add menus and desktop entries to
# the home folder), and a home folder and a temporary folder of its own (its server leaves a
# wine-* folder in the latter).
WINE_DIRS   := $(PORTS)/wine-home $(PORTS)/wine-tmp
WINE_ENV    := WINEPREFIX=$(CURDIR)/$(PORTS)/wine WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d \
               HOME=$(CURDIR)/$(PORTS)/wine-home TMPDIR=$(CURDIR)/$(PORTS)/wine-tmp
# One wine server held from before a recipe's first wine program to after its last (tools/wine-server).
WINE_HOLD    := $(WINE_ENV) tools/wine-server hold
WINE_RELEASE := $(WINE_ENV) tools/wine-server release

.PHONY: check-ports ports-tools

check-ports: ports-tools $(PORTS)/macos-arm64/checked $(PORTS)/macos-x86_64/checked $(WIN_WHEEL)/checked \
             $(PORTS)/native/.built $(PORTS)/windows/.built $(PORTS)/wine/.ready
	rm -rf $(PORTS)/run-posix $(PORTS)/run-nfs $(PORTS)/run-windows
	@mkdir -p $(WINE_DIRS)
	$(PORTS)/native/marker_contract $(PORTS)/run-posix
	LD_PRELOAD=$(CURDIR)/$(PORTS)/native/nfs_flock.so $(PORTS)/native/marker_contract $(PORTS)/run-nfs
	$(WINE_HOLD)
	$(WINE_ENV) wine $(PORTS)/windows/marker_contract.exe 'build\ports\run-windows'
	$(WINE_ENV) $(ZIG_VENV)/bin/python tools/port-checks wine-launcher $(WIN_WHEEL)/unpacked/site/*.data/scripts/tovrin-report-skill-usage.exe \
	  $(PORTS)/windows/stand_in_interpreter.exe $(PORTS)/run-launcher
	$(WINE_RELEASE)

# Debian's wine, LLVM's tools and linker for Mach-O and PE files, and osslsigncode (which
# checks the Windows interpreter's signature), when missing.
ports-tools:
	@missing=; \
	  command -v wine >/dev/null || missing="$$missing wine wine64"; \
	  command -v llvm-readobj >/dev/null || missing="$$missing llvm"; \
	  command -v lld >/dev/null || missing="$$missing lld"; \
	  command -v osslsigncode >/dev/null || missing="$$missing osslsigncode"; \
	  if [ -n "$$missing" ]; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	  fi

# wine's own folder for this checkout, made once; its chatter (no 32-bit part, no display)
# goes to a log.
$(PORTS)/wine/.ready: | ports-tools
	@mkdir -p $(@D) $(WINE_DIRS)
	$(WINE_ENV) wineboot --init >$(PORTS)/wine-init.log 2>&1 || { cat $(PORTS)/wine-init.log; exit 1; }
	@touch $@

# macOS, for the oldest macOS of each CPU that CPython 3.13's installers support
# (tools/zig-macos-*.cmake): the module, compiled against this machine's interpreter headers,
# linked twice with -undefined dynamic_lookup, by zig and by LLVM's ld64 as CMake links it on a
# Mac (a bundle, with the exported-symbols list, which zig's linker ignores); and the launcher.
$(PORTS)/macos-%/checked: $(SOURCES) tools/zig-macos.cmake tools/zig-macos-%.cmake tools/macos-%-c++ tools/zig-c++ \
                          tools/port-checks $(VENV)/.tools $(ZIG_VENV)/.installed | ports-tools
	@mkdir -p $(PORTS)
	$(call cmake,$(@D),-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/tools/zig-macos-$*.cmake \
	  -DPython_INCLUDE_DIR=$(HOST_PYTHON_INCLUDE) -DPython_SOABI=cpython-313-darwin)
	$(ZIG_VENV)/bin/python tools/port-checks macho $(@D)/report_skill_usage.cpython-313-darwin.so $* \
	  $(HOOK_DIR)/exported_symbols.txt --zig
	$(ZIG_VENV)/bin/python tools/port-checks macho $(@D)/ld64/report_skill_usage.so $* $(HOOK_DIR)/exported_symbols.txt
	$(ZIG_VENV)/bin/python tools/port-checks macho-exe $(@D)/tovrin-report-skill-usage $*
	@touch $@

# The test programs, natively (the marker layer's contract test, and flock() as NFS gives it)
# and for Windows (that test, the stand-in interpreter the launcher hands over to under wine,
# the stand-in product CLI and PowerShell, and the ProcessPrng DLL for the hosts).
$(PORTS)/native/.built: $(TEST_PROGRAMS) $(VENV)/.tools
	@mkdir -p $(PORTS)
	$(call cmake,$(@D),-DHOOK_BUILD=test-programs)
	@touch $@
$(PORTS)/windows/.built: $(TEST_PROGRAMS) tools/zig-windows.cmake tools/windows-c++ tools/windows-cc tools/zig-c++ \
                         $(VENV)/.tools $(ZIG_VENV)/.installed | ports-tools
	@mkdir -p $(PORTS)
	$(call cmake,$(@D),-DHOOK_BUILD=test-programs -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/tools/zig-windows.cmake)
	@touch $@

# Windows: the wheel, built by scikit-build-core from CMakeLists.txt like Linux's, cross-compiled
# by zig (tools/zig-windows.cmake) for CPython 3.13 for Windows. No Windows interpreter runs
# here to tell FindPython about itself, so the build names its parts: CPython's own headers
# with the pyconfig.h of its Windows build (see tools/cpython-windows-headers), the real
# python313.dll's export table (the build makes the import library), that DLL's folder, and the
# extension suffix; the wheel's tag is set likewise.
WIN_PYTHON := $(PORTS)/cpython-windows
WIN_DEF    := build/windows/python313.def

$(WIN_PYTHON)/include/VERSION: tools/cpython-windows-headers
	sh tools/cpython-windows-headers $(WIN_PYTHON)

$(WIN_DEF): $(WIN_EMBED)/python.exe tools/port-checks $(ZIG_VENV)/.installed | ports-tools
	$(ZIG_VENV)/bin/python tools/port-checks def $(WIN_EMBED)/python313.dll $@

$(WIN_WHEEL)/built: $(SOURCES) tools/zig-windows.cmake tools/windows-c++ tools/zig-c++ \
                    $(WIN_PYTHON)/include/VERSION $(WIN_DEF) $(VENV)/.tools $(ZIG_VENV)/.installed \
                    | ports-tools
	rm -rf $(WIN_WHEEL)
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -w $(WIN_WHEEL) -C build-dir=build/windows/cmake \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/tools/zig-windows.cmake \
	  -C cmake.define.Python_INCLUDE_DIR=$(CURDIR)/$(WIN_PYTHON)/include \
	  -C cmake.define.HOOK_PYTHON_DEF=$(CURDIR)/$(WIN_DEF) \
	  -C cmake.define.Python_ROOT_DIR=$(CURDIR)/$(WIN_EMBED) \
	  -C cmake.define.Python_SOABI=cp313-win_amd64 \
	  -C wheel.tags=cp313-cp313-win_amd64 .
	@touch $@

# Its tag and files, the import tables of its module and launcher (Windows' own DLLs and names
# that python313.dll exports, nothing else), and its module loaded under wine by the real
# interpreter, which keeps a marker through it.
$(WIN_WHEEL)/checked: $(WIN_WHEEL)/built $(PORTS)/wine/.ready tools/port-checks | ports-tools
	@mkdir -p $(WINE_DIRS)
	$(WINE_HOLD)
	$(WINE_ENV) $(ZIG_VENV)/bin/python tools/port-checks windows-wheel $(WIN_WHEEL)/*.whl $(WIN_EMBED) \
	  $(WIN_WHEEL)/unpacked
	$(WINE_RELEASE)
	@touch $@

# CPython 3.13 for Windows, the PSF's signed embeddable build (tools/windows-python): the
# interpreter that the Windows wheel is linked for and tested under wine with.
$(WIN_EMBED)/python.exe: tools/windows-python tools/windows-python.txt | $(VENV)/.tools ports-tools
	$(PY) tools/windows-python build/windows

# The Windows interpreter that the tests run: a copy of the pristine one with a site-packages
# folder on its path (its ._pth file decides sys.path), into which pip, run from its own wheel,
# installs the test tools, fetched here as PyPI's Windows wheels pinned by sha256 (pip itself
# stays in its wheel: run so, it refuses to install itself on Windows). _wmi.pyd is
# set aside: pip asks platform for the Windows version, which reaches WMI through
# propsys.VariantToString, and wine 8 lacks that function.
WIN_ENV      := build/windows/env
WIN_WHEELS   := build/windows/wheels
WIN_RUN      := $(WINE_ENV) tools/wine-pipe wine
WIN_PIP      := $(WIN_RUN) $(WIN_ENV)/python.exe "$$(echo $(WIN_WHEELS)/pip-*.whl)/pip" install --quiet \
                --disable-pip-version-check --no-warn-script-location
$(WIN_ENV)/.tools: $(WIN_EMBED)/python.exe tools/windows-test-requirements.txt tools/wine-pipe $(PORTS)/wine/.ready
	rm -rf $(WIN_ENV) $(WIN_WHEELS)
	cp -R $(WIN_EMBED) $(WIN_ENV)
	mv $(WIN_ENV)/_wmi.pyd $(WIN_ENV)/_wmi.pyd.set-aside
	printf 'python313.zip\r\n.\r\nLib\\site-packages\r\nimport site\r\n' >$(WIN_ENV)/python313._pth
	$(PY) -m pip download --quiet --disable-pip-version-check --no-deps --only-binary :all: --platform win_amd64 \
	  --python-version 3.13 --implementation cp --abi cp313 --require-hashes \
	  -r tools/windows-test-requirements.txt -d $(WIN_WHEELS)
	grep -v '^pip==' tools/windows-test-requirements.txt >$(WIN_WHEELS)/tools.txt
	$(WINE_HOLD)
	$(WIN_PIP) --no-index --find-links $(WIN_WHEELS) --require-hashes -r $(WIN_WHEELS)/tools.txt
	$(WINE_RELEASE)
	@touch $@

# The stand-in product CLI for Windows, beside python.exe as the product's own CLI is there.
$(WIN_ENV)/tovrin.exe: $(PORTS)/windows/.built $(WIN_ENV)/.tools
	cp $(PORTS)/windows/tovrin.exe $@

# The Windows wheel of `make wheel`, from dist/, installed into that interpreter, with a wine
# server held for the recipe's wine programs from here on.
WIN_DIST_WHEEL_INSTALL = ls dist/*-cp313-cp313-win_amd64.whl >/dev/null 2>&1 || \
                           { echo "no Windows wheel in dist/: run make wheel" >&2; exit 1; }; \
                         $(WINE_HOLD) && \
                         $(WIN_PIP) --no-index --force-reinstall --no-deps dist/*-cp313-cp313-win_amd64.whl

# The Windows wheel of `make wheel`, installed by pip into CPython 3.13 for Windows and run
# under wine: the module's tests (those of what only POSIX has are skipped, each saying why),
# tovrin-skill-hooks on both hosts, and the native launcher on the sample events, round after
# round, every use counted.
WIN_MODULE_TESTS := tests/test_module.py tests/test_resolution.py tests/test_event_parsing.py tests/test_properties.py \
                    tests/test_leaks.py tests/test_dedup.py tests/test_report.py tests/test_main.py \
                    tests/test_end_to_end.py
WIN_ROUNDS       := 20
# Starts that wine fails are tried again by the test interpreter (tests/windows/sitecustomize.py),
# and counted in this file.
WIN_RETRIES      := $(CURDIR)/build/windows/wine-retries.log
WIN_TEST         := TOVRIN_WINE_RETRIES=$(WIN_RETRIES) $(WIN_RUN) $(WIN_ENV)/python.exe
.PHONY: test-windows
test-windows: $(WIN_ENV)/.tools $(WIN_ENV)/tovrin.exe
	$(WIN_DIST_WHEEL_INSTALL)
	cp tests/windows/sitecustomize.py $(WIN_ENV)/Lib/site-packages/
	rm -f $(WIN_ENV)/calls.log $(WIN_RETRIES)
	@echo "The module's tests, run by CPython 3.13 for Windows under wine:"
	$(WIN_TEST) -m pytest -q -p no:cacheprovider $(WIN_MODULE_TESTS)
	$(WIN_TEST) -m pytest -q -p no:cacheprovider -rx tests/windows
	$(WIN_TEST) tests/windows/rounds.py $(WIN_ROUNDS)
	$(WINE_RELEASE)
	@echo "process starts that wine failed and the test interpreter tried again:" \
	  "$$(cat $(WIN_RETRIES) 2>/dev/null | wc -l)"

# The real hosts' Windows builds under wine, running the Windows wheel of `make wheel` as
# test-windows installs it (tests/hosts/test_windows.py, with the harness of make test-hosts).
# Their programs come from PyPI's win_amd64 wheels, pinned by sha256 and kept in build/. Wine 8
# lacks ProcessPrng, without which neither host starts: a DLL of that name beside them gives it
# (tools/wine-process-prng.c). wine's powershell.exe runs nothing: the stand-in
# (standin/windows/powershell.cpp) comes first on the hosts' PATH, as powershell.exe for Codex
# and as pwsh.exe (PowerShell 7), which Claude Code looks for on PATH before its fixed places.
WIN_HOSTS := build/windows/hosts
$(WIN_HOSTS)/bin/.unpacked: tools/windows-hosts-requirements.txt | $(VENV)/.tools
	rm -rf $(WIN_HOSTS)/bin
	$(PY) -m pip download --quiet --disable-pip-version-check --no-deps --only-binary :all: --platform win_amd64 \
	  --require-hashes -r tools/windows-hosts-requirements.txt -d $(WIN_HOSTS)/wheels
	unzip -q -o -j $(WIN_HOSTS)/wheels/claude_agent_sdk-0.2.190-py3-none-win_amd64.whl \
	  claude_agent_sdk/_bundled/claude.exe -d $(WIN_HOSTS)/bin
	unzip -q -o -j $(WIN_HOSTS)/wheels/openai_codex_cli_bin-0.169.0-py3-none-win_amd64.whl \
	  codex_cli_bin/bin/codex.exe -d $(WIN_HOSTS)/bin
	@touch $@

$(WIN_HOSTS)/bin/bcryptprimitives.dll: $(PORTS)/windows/.built $(WIN_HOSTS)/bin/.unpacked
	cp $(PORTS)/windows/bcryptprimitives.dll $@

$(WIN_HOSTS)/pwsh/powershell.exe: $(PORTS)/windows/.built
	@mkdir -p $(@D)
	cp $(PORTS)/windows/powershell.exe $@
	cp $@ $(@D)/pwsh.exe

.PHONY: test-hosts-windows
test-hosts-windows: install $(WIN_ENV)/.tools $(WIN_ENV)/tovrin.exe $(WIN_HOSTS)/bin/bcryptprimitives.dll \
                    $(WIN_HOSTS)/pwsh/powershell.exe
	@mkdir -p $(WINE_DIRS)
	$(WIN_DIST_WHEEL_INSTALL)
	TOVRIN_HOSTS_REQUIRED=1 $(PY) -m pytest -q -p no:cacheprovider tests/hosts/test_windows.py
	$(WINE_RELEASE)
