# Quick start:  make demo   (tour + quick benchmark)
#               make test   (every test: the -X dev suite, the native consumer,
#                            and the suite again under ASan + UBSan)
SHELL := /bin/bash
PYTHON313 := $(shell bash tools/find-python.sh)
VENV := .venv
ASAN_VENV := .venv-asan
PY := $(VENV)/bin/python
ASAN_PY := $(ASAN_VENV)/bin/python
PIP_BUILD := --no-build-isolation --no-deps --quiet
ASAN_RT := $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)

.PHONY: build demo test test-main test-asan bench bench-quick clean

$(VENV)/.ready: requirements/dev.txt requirements/bench.txt
	test -x $(PY) || $(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install --quiet -r requirements/dev.txt -r requirements/bench.txt
	touch $@

$(ASAN_VENV)/.ready: requirements/dev.txt
	test -x $(ASAN_PY) || $(PYTHON313) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet -r requirements/dev.txt
	touch $@

build: $(VENV)/.ready
	$(PY) -m pip install $(PIP_BUILD) -C build-dir=build/release \
	    -C cmake.define.SYLVANMAP_TESTING=ON .

demo: build
	$(PY) examples/tour.py
	$(PY) bench/run.py --quick

test: test-main test-asan

test-main: build
	$(PY) -X dev -m pytest -q tests

# The interpreter is not instrumented, so the ASan runtime is preloaded and the
# system allocator used (so node blocks are ASan allocations); leaks are left to
# the reference-count tests.
test-asan: $(ASAN_VENV)/.ready
	$(ASAN_PY) -m pip install $(PIP_BUILD) -C build-dir=build/asan \
	    -C cmake.build-type=Debug \
	    -C cmake.define.SYLVANMAP_TESTING=ON -C cmake.define.SYLVANMAP_SANITIZE=ON .
	LD_PRELOAD="$(ASAN_RT)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	SYLVANMAP_HYPOTHESIS_PROFILE=asan \
	    $(ASAN_PY) -m pytest -q -p no:cacheprovider tests

bench: build
	$(PY) bench/run.py

bench-quick: build
	$(PY) bench/run.py --quick

clean:
	rm -rf build $(VENV) $(ASAN_VENV) .pytest_cache .hypothesis
