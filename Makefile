# make demo  - set up .venv with CPython 3.13, build, walk a sample hive (or HIVE=path)
# make test  - set up, build, replay the fuzz regression inputs (ASan+UBSan), run the whole test suite
# make test-sanitize - the test suite against an ASan+UBSan build, the thread tests against a TSan one
# make fuzz  - fuzz each target for FUZZ_SECONDS (default 60) with libFuzzer, ASan and UBSan (Clang)
# make fuzz-coverage - replay every target's corpus with source-based coverage; coverage per core file
# make fuzz-campaign HOURS=N - every target in turn for its share of N hours, corpora merged beside the repository
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

.PHONY: demo test build venv tools clean format fuzz fuzz-build fuzz-regressions fuzz-coverage fuzz-campaign test-sanitize test-peers

# The venv of make demo holds what the build and the command line need; the test and fleet tools
# (pytest, DuckDB, Polars, Dask) come with make test and the targets that run the tests.
venv: $(VENV)/.ready
tools: $(VENV)/.tools

$(VENV)/.ready: pyproject.toml
	@py="$(find_python)"; \
	if [ -z "$$py" ]; then echo "CPython 3.13 not found: install python3.13 (or set PYTHON=/path/to/python3.13)"; exit 1; fi; \
	if [ ! -x $(VPY) ]; then "$$py" -m venv $(VENV); fi
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "tqdm>=4.66" "PyYAML>=6" "pyarrow>=15"
	touch $@

$(VENV)/.tools: $(VENV)/.ready
	$(VPY) -m pip install --quiet "pytest>=8" "hypothesis>=6.100" "duckdb>=1.0" "polars>=1.0" \
	  "dask[dataframe]>=2025.1,<2026" "distributed>=2025.1,<2026"
	touch $@

build: venv
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .

demo: build
	$(VPY) examples/walk_hive.py $(HIVE) $(if $(LOG1),--log1 $(LOG1)) $(if $(LOG2),--log2 $(LOG2))
	@# The same hive (or the sample, written to build/demo) through the kelpa command.
	@hive="$(HIVE)"; [ -n "$$hive" ] || { mkdir -p build/demo && hive=build/demo/SYSTEM && \
	  $(VPY) examples/sample_hive.py $$hive; }; \
	for args in "info $$hive" "ls $$hive" "timeline $$hive"; do \
	  echo; echo "\$$ kelpa $$args | head -12"; $(VENV)/bin/kelpa $$args | head -12; \
	done

# hivexregedit (Debian's libwin-hivex-perl), the peer the .reg export is compared with, where it can be installed.
TEST_DEBIAN_PACKAGES := libwin-hivex-perl
test-peers:
	@command -v hivexregedit >/dev/null || { [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null && \
	  { apt-get install -y -qq $(TEST_DEBIAN_PACKAGES) >/dev/null 2>&1 || \
	    { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq $(TEST_DEBIAN_PACKAGES) >/dev/null 2>&1; }; }; } \
	  || echo "hivexregedit not installed: the .reg export is not compared with it"

test: build tools fuzz-regressions test-peers
	$(VPY) -m pytest

clean:
	rm -rf build $(VENV)

# --- hardening: fuzzing, regression replay, sanitized test runs ---------------------------
FUZZ_TARGETS := fuzz_hive_strict fuzz_hive_tolerant fuzz_hive_walk fuzz_tables fuzz_deleted fuzz_log fuzz_names fuzz_carve
# Targets whose input is a hive file: they share the hive seeds and regression inputs
# (fuzz/corpus/fuzz_hive, fuzz/regressions/fuzz_hive), the custom mutator and fuzz/hive.dict.
FUZZ_HIVE_TARGETS := fuzz_hive_strict fuzz_hive_tolerant fuzz_hive_walk fuzz_tables fuzz_deleted
FUZZ_SECONDS ?= 60
FUZZ_MAX_LEN ?= 65536
FUZZ_BUILD := fuzz/build
REPLAY_BUILD := build/fuzz-replay
COVERAGE_BUILD := build/fuzz-coverage
SANITIZE_BUILD := build/sanitize
# Where make fuzz-campaign keeps its corpora: beside the repository, not in it.
FUZZ_CORPUS ?= ../kelpa-fuzz-corpus
HOURS ?= 1
# The fuzzer needs a Clang whose C++23 library support includes std::expected (16 or later);
# the coverage report needs the LLVM tools of the same version.
FUZZ_CLANG_PACKAGES := clang-19 libclang-rt-19-dev llvm-19
find_clang = $(shell for c in clang++-19 clang++-22 clang++-18 clang++-17 clang++-16; do \
  command -v $$c >/dev/null 2>&1 && { echo $$c; break; }; done)
# Shell: sets $$cxx to the Clang to use, installing FUZZ_CLANG_PACKAGES where it can.
ensure_clang = cxx="$${FUZZ_CXX:-$(find_clang)}"; \
  if [ -z "$$cxx" ] && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
    echo "installing $(FUZZ_CLANG_PACKAGES)"; \
    apt-get install -y -qq $(FUZZ_CLANG_PACKAGES) >/dev/null || { apt-get update -qq && apt-get install -y -qq $(FUZZ_CLANG_PACKAGES) >/dev/null; }; \
    cxx=clang++-19; \
  fi; \
  if ! command -v "$$cxx" >/dev/null 2>&1; then \
    echo "$@ needs Clang 16 or later with libFuzzer: apt-get install $(FUZZ_CLANG_PACKAGES) (or set FUZZ_CXX)"; exit 1; \
  fi
# Shell: the input folders of target $$t under folder $(1) that exist: its own, and the hive
# inputs for a hive target.
fuzz_inputs = $$(for d in $(1)/$$t $$(case " $(FUZZ_HIVE_TARGETS) " in *" $$t "*) echo $(1)/fuzz_hive;; esac); \
  do [ -d $$d ] && echo $$d; done)
# Shell: libFuzzer's dictionary option for target $$t.
fuzz_dict = $$(case " $(FUZZ_HIVE_TARGETS) " in *" $$t "*) echo -dict=fuzz/hive.dict;; esac) \
  $$([ $$t = fuzz_log ] && echo -dict=fuzz/log.dict)
UBSAN_ENV := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The interpreter's own allocations go through malloc, so that LeakSanitizer sees (and can
# trace) every object; what the interpreter itself never frees is listed in lsan.supp.
ASAN_ENV := PYTHONMALLOC=malloc LD_PRELOAD=$$(gcc -print-file-name=libasan.so) \
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0 $(UBSAN_ENV)
TSAN_ENV := LD_PRELOAD=$$(gcc -print-file-name=libtsan.so) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The fuzz targets' replay drivers, built by g++ with ASan and UBSan, over the regression inputs
# written by fuzz/make_regressions.py and any failing input the fuzzer left in fuzz/regressions/.
fuzz-regressions: venv
	@cmake -S . -B $(REPLAY_BUILD) -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKELPA_BUILD_MODULE=OFF -DKELPA_BUILD_FUZZ=ON -DKELPA_SANITIZE=address,undefined >/dev/null
	@cmake --build $(REPLAY_BUILD) -j2 --target $(addsuffix _replay,$(FUZZ_TARGETS)) marvin32_vectors >$(REPLAY_BUILD)/build.log 2>&1 \
	  || { cat $(REPLAY_BUILD)/build.log; exit 1; }
	@$(REPLAY_BUILD)/fuzz/marvin32_vectors
	@$(VPY) fuzz/make_regressions.py $(REPLAY_BUILD)/regressions
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/regressions/$$t; \
	  $(UBSAN_ENV) ASAN_OPTIONS=detect_leaks=1 $(REPLAY_BUILD)/fuzz/$${t}_replay \
	    $(call fuzz_inputs,$(REPLAY_BUILD)/regressions) $(call fuzz_inputs,fuzz/regressions) 2>$(REPLAY_BUILD)/$$t.log \
	    || { cat $(REPLAY_BUILD)/$$t.log; echo "fuzz regression replay failed: $$t"; exit 1; }; \
	done

# The libFuzzer binaries (ASan and UBSan) and the seed corpora.
fuzz-build: venv
	@$(ensure_clang); \
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER="$$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKELPA_BUILD_MODULE=OFF -DKELPA_BUILD_FUZZ=ON -DKELPA_SANITIZE=address,undefined >/dev/null && \
	cmake --build $(FUZZ_BUILD) -j2 --target $(FUZZ_TARGETS) >$(FUZZ_BUILD)/build.log 2>&1 \
	  || { cat $(FUZZ_BUILD)/build.log; exit 1; }
	@$(VPY) fuzz/make_seeds.py --max-len $(FUZZ_MAX_LEN)

fuzz: fuzz-build
	@# One target at a time (the machine's cores are shared). A failing input is written to
	@# fuzz/regressions/<target>/, where make test replays it; every target runs even after a failure.
	@failed=""; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/regressions/$$t fuzz/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=64 $(UBSAN_ENV) $(FUZZ_BUILD)/fuzz/$$t $(call fuzz_inputs,fuzz/corpus) \
	    $(fuzz_dict) -max_total_time=$(FUZZ_SECONDS) -timeout=1 -rss_limit_mb=512 -max_len=$(FUZZ_MAX_LEN) \
	    -print_final_stats=1 -artifact_prefix=fuzz/regressions/$$t/ >$(FUZZ_BUILD)/$$t.log 2>&1; \
	  status=$$?; \
	  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' $(FUZZ_BUILD)/$$t.log; \
	  if [ $$status -ne 0 ]; then \
	    grep -E -A30 'ERROR: |SUMMARY: |broken promise|runtime error' $(FUZZ_BUILD)/$$t.log | head -60; \
	    failed="$$failed $$t"; \
	  fi; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzzing failed:$$failed (inputs in fuzz/regressions/, logs in $(FUZZ_BUILD)/)"; exit 1; fi

# Clang's source-based coverage of the core, from replaying every target's seeds, campaign
# corpus and regression inputs; the unreached lines go to $(COVERAGE_BUILD)/unreached.txt too.
fuzz-coverage: venv
	@$(ensure_clang); \
	cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_CXX_COMPILER="$$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKELPA_BUILD_MODULE=OFF -DKELPA_BUILD_FUZZ=ON -DKELPA_FUZZ_COVERAGE=ON >/dev/null && \
	cmake --build $(COVERAGE_BUILD) -j2 --target $(addsuffix _replay,$(FUZZ_TARGETS)) >$(COVERAGE_BUILD)/build.log 2>&1 \
	  || { cat $(COVERAGE_BUILD)/build.log; exit 1; }; \
	$(VPY) fuzz/make_seeds.py --max-len $(FUZZ_MAX_LEN) >/dev/null && \
	$(VPY) fuzz/make_regressions.py $(COVERAGE_BUILD)/regressions >/dev/null && \
	$(VPY) fuzz/coverage.py $(COVERAGE_BUILD) "-$${cxx##*-}" --unreached $(COVERAGE_BUILD)/unreached.txt \
	  $$(for t in $(FUZZ_TARGETS); do for d in $(call fuzz_inputs,fuzz/corpus) $(call fuzz_inputs,$(FUZZ_CORPUS)) \
	    $(call fuzz_inputs,$(COVERAGE_BUILD)/regressions) $(call fuzz_inputs,fuzz/regressions); do echo --inputs $$t=$$d; done; done)

# Every target for HOURS / (targets + 1) hours, then the decoders' property tests for the same
# share. Each target's corpus lives in $(FUZZ_CORPUS)/<target> and is merged (minimised) after its
# run; failing inputs go to fuzz/regressions/<target>/ as for make fuzz.
fuzz-campaign: fuzz-build build tools
	@mkdir -p $(FUZZ_CORPUS); \
	share=$$(awk 'BEGIN { s = int($(HOURS) * 3600 / ($(words $(FUZZ_TARGETS)) + 1)); print (s > 0 ? s : 1) }'); \
	failed=""; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/regressions/$$t $(FUZZ_CORPUS)/$$t; \
	  echo "$$(date +%T) fuzzing $$t for $$share s"; \
	  ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=64 $(UBSAN_ENV) $(FUZZ_BUILD)/fuzz/$$t $(FUZZ_CORPUS)/$$t $(call fuzz_inputs,fuzz/corpus) \
	    $(fuzz_dict) -max_total_time=$$share -timeout=1 -rss_limit_mb=512 -max_len=$(FUZZ_MAX_LEN) \
	    -print_final_stats=1 -artifact_prefix=fuzz/regressions/$$t/ >$(FUZZ_BUILD)/$$t.campaign.log 2>&1 \
	    || { grep -E -A30 'ERROR: |SUMMARY: |broken promise|runtime error' $(FUZZ_BUILD)/$$t.campaign.log | head -60; failed="$$failed $$t"; }; \
	  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' $(FUZZ_BUILD)/$$t.campaign.log; \
	  rm -rf $(FUZZ_CORPUS)/$$t.merged && mkdir $(FUZZ_CORPUS)/$$t.merged && \
	  $(FUZZ_BUILD)/fuzz/$$t -merge=1 -timeout=1 -rss_limit_mb=512 -max_len=$(FUZZ_MAX_LEN) $(FUZZ_CORPUS)/$$t.merged \
	    $(FUZZ_CORPUS)/$$t >$(FUZZ_BUILD)/$$t.merge.log 2>&1 && \
	  rm -rf $(FUZZ_CORPUS)/$$t && mv $(FUZZ_CORPUS)/$$t.merged $(FUZZ_CORPUS)/$$t && \
	  echo "  corpus: $$(ls $(FUZZ_CORPUS)/$$t | wc -l) inputs in $(FUZZ_CORPUS)/$$t"; \
	done; \
	echo "$$(date +%T) the artifact decoders' property tests for $$share s"; \
	KELPA_HYPOTHESIS_PROFILE=campaign timeout $$share $(VPY) -m pytest -q -p no:cacheprovider tests/test_fuzz_artifacts.py; \
	status=$$?; [ $$status -eq 0 ] || [ $$status -eq 124 ] || failed="$$failed test_fuzz_artifacts"; \
	if [ -n "$$failed" ]; then echo "campaign failed:$$failed (inputs in fuzz/regressions/, logs in $(FUZZ_BUILD)/)"; exit 1; fi

# Separate builds installed into their own folders, put first on PYTHONPATH: the .venv install
# stays the plain one. The sanitizer runtime must be loaded before the interpreter starts.
test-sanitize: tools
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --upgrade --target $(SANITIZE_BUILD)/asan/site \
	  -C build-dir=$(SANITIZE_BUILD)/asan/build -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.KELPA_SANITIZE=address,undefined .
	PYTHONPATH=$(SANITIZE_BUILD)/asan/site $(ASAN_ENV) \
	  $(VPY) -c 'import kelpa, sys; sys.exit(0 if "/sanitize/asan/" in kelpa.__file__ else "not the ASan build: " + kelpa.__file__)'
	PYTHONPATH=$(SANITIZE_BUILD)/asan/site $(ASAN_ENV) $(VPY) -m pytest -p no:cacheprovider
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --upgrade --target $(SANITIZE_BUILD)/tsan/site \
	  -C build-dir=$(SANITIZE_BUILD)/tsan/build -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.KELPA_SANITIZE=thread .
	PYTHONPATH=$(SANITIZE_BUILD)/tsan/site $(TSAN_ENV) \
	  $(VPY) -c 'import kelpa, sys; sys.exit(0 if "/sanitize/tsan/" in kelpa.__file__ else "not the TSan build: " + kelpa.__file__)'
	PYTHONPATH=$(SANITIZE_BUILD)/tsan/site $(TSAN_ENV) $(VPY) -m pytest -p no:cacheprovider tests/test_threads.py

# --- benchmarks -----------------------------------------------------------------------------
# make bench - full walk of BENCH_HIVES and of the synthetic large hive with kelpa, its C++ core
#              alone and every peer parser (python-registry, regipy, hivex, libregf), then the
#              open cost of a 1 GiB file; results in bench/out/results.json. Takes 20 to 40 minutes,
#              most of it in the slowest peers (BENCH_ARGS="--timeout 60" cuts them short).
BENCH_HIVES ?= ../shared/hives/regipy__SYSTEM_WIN_10_1709
BENCH_ARGS ?=
BENCH_DEBIAN_PACKAGES := python3-hivex python3-libregf
.PHONY: bench bench-logs bench-tolerant

# make bench-logs - open_with_logs on the largest dirty shared hive against reading its three files
#              and against regipy's pure-Python recovery (installed into .venv); bench/out/log_replay.json
bench-logs: build tools
	$(VPY) -m pip install --quiet "regipy==6.5.0"
	$(VPY) bench/log_replay.py

# make bench-tolerant - the per-call walk read strictly and tolerantly, and strictly by the build of
#              BENCH_BASELINE (the commit before tolerant reading), side by side; bench/out/tolerant.json
BENCH_BASELINE ?= cf727e9
bench-tolerant: build tools
	rm -rf build/bench-baseline && mkdir -p build/bench-baseline/src
	git archive $(BENCH_BASELINE) | tar -x -C build/bench-baseline/src
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --target build/bench-baseline/site \
	  -C build-dir=build/bench-baseline/build build/bench-baseline/src
	$(VPY) bench/tolerant.py --baseline build/bench-baseline/site --json bench/out/tolerant.json

bench: build tools
	@if ! /usr/bin/python3 -c 'import hivex, pyregf' >/dev/null 2>&1 && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	  echo "installing $(BENCH_DEBIAN_PACKAGES)"; \
	  apt-get install -y -qq $(BENCH_DEBIAN_PACKAGES) >/dev/null || { apt-get update -qq && apt-get install -y -qq $(BENCH_DEBIAN_PACKAGES) >/dev/null; } \
	    || echo "could not install $(BENCH_DEBIAN_PACKAGES): hivex and Debian's libregf are left out"; \
	fi
	$(VPY) bench/compare.py $(wildcard $(BENCH_HIVES)) --large --json bench/out/results.json $(BENCH_ARGS)
	$(VPY) bench/open_cost.py

# make bench-tables - Hive.table against hivex, regipy-rs and the core walk, the Parquet export,
#              streaming memory and a Dask fleet of 1 and 2 workers, side by side; about 3 minutes,
#              plus the instruction counts under callgrind (bench/tables.py --no-instructions skips them);
#              bench/out/tables.json (hivex needs Debian's python3-hivex, as for make bench)
.PHONY: bench-tables
bench-tables: build tools
	$(VPY) bench/tables.py --json bench/out/tables.json
