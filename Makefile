# The README's commands: `make demo` and `make test`.
VENV   := .venv
PY     := $(VENV)/bin/python
SOURCES := $(shell find ext src -type f) CMakeLists.txt pyproject.toml

.PHONY: test install clean

test: install
	$(PY) -m pytest -q

install: $(VENV)/.installed

# A virtual environment of Python 3.13 with the build and test tools.
$(VENV)/.tools: requirements-dev.txt
	@python=$$(sh tools/find-python313) || exit 1; \
	  [ -x $(PY) ] || $$python -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	@touch $@

# The project, built as the wheel users get and installed into the environment.
$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .
	@touch $@

clean:
	rm -rf build $(VENV)
