# make demo  - set up .venv with CPython 3.13, build, walk a sample hive (or HIVE=path)
# make test  - set up, build, run the whole test suite
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
HIVE ?=
LOG1 ?=
LOG2 ?=

# CPython 3.13: $PYTHON if set; else python3.13 if it actually runs; else pyenv's 3.13 install.
find_python = $(shell \
  if [ -n "$$PYTHON" ]; then echo "$$PYTHON"; \
  elif python3.13 -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then echo python3.13; \
  else for p in $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.13*/bin/python3.13; do \
    [ -x "$$p" ] && "$$p" -c 'import sys' >/dev/null 2>&1 && { echo "$$p"; break; }; done; fi)

.PHONY: demo test build venv clean format

venv: $(VENV)/.ready

$(VENV)/.ready: pyproject.toml
	@py="$(find_python)"; \
	if [ -z "$$py" ]; then echo "CPython 3.13 not found: install python3.13 (or set PYTHON=/path/to/python3.13)"; exit 1; fi; \
	if [ ! -x $(VPY) ]; then "$$py" -m venv $(VENV); fi
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "pytest>=8" "mypy>=1.10"
	touch $@

build: venv
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .

demo: build
	$(VPY) examples/walk_hive.py $(HIVE) $(if $(LOG1),--log1 $(LOG1)) $(if $(LOG2),--log2 $(LOG2))

test: build
	$(VPY) -m pytest

clean:
	rm -rf build $(VENV)
