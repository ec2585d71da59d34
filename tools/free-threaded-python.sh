#!/usr/bin/env bash
# Usage: free-threaded-python.sh [--tsan | --asan]
#
# Prints the path of a free-threaded CPython 3.13 (configured --disable-gil):
#   $SYLVANMAP_CACHE/python3.13t/bin/python3.13t
# or, with --tsan, of one also built --with-thread-sanitizer:
#   $SYLVANMAP_CACHE/python3.13t-tsan/bin/python3.13t
# or, with --asan, of one also built --with-address-sanitizer:
#   $SYLVANMAP_CACHE/python3.13t-asan/bin/python3.13t
# (SYLVANMAP_CACHE defaults to ~/.cache/sylvanmap). Point TSAN_OPTIONS at
# suppressions=$SYLVANMAP_CACHE/python3.13t-tsan/suppressions_free_threading.txt
# (the interpreter's own known races, shipped with its source) when running it.
#
# No distribution packages these builds, so the first run builds one from the
# upstream tarball inside Debian trixie's python3.13 source package (fetched
# with a private apt state, so the machine's own package lists are untouched),
# installing the build packages it lacks; later runs reuse the installed tree.
# An installation counts only once it has passed the checks below and its
# marker file is written; anything less is removed and built again.
#
# Exit status: 0 with the path on stdout; 77 with "SKIPPED: reason" on stderr
# when it cannot be had here (no apt, not root with build packages missing,
# no network, no such source package); 1 when a build or a check fails.
set -euo pipefail

SKIP=77
tsan=0
asan=0
case "${1:-}" in
  "") ;;
  --tsan) tsan=1 ;;
  --asan) asan=1 ;;
  *) echo "usage: $0 [--tsan | --asan]" >&2; exit 2 ;;
esac

cache=${SYLVANMAP_CACHE:-$HOME/.cache/sylvanmap}
name=python3.13t
configure_args=(--disable-gil)
if [ "$tsan" = 1 ]; then
  # Only the threads suite runs on it, with its packages on PYTHONPATH: no
  # pip, no test modules, and no precompiled library (written as imported),
  # which under TSan would cost most of the build's time.
  name=python3.13t-tsan
  configure_args+=(--with-thread-sanitizer --with-ensurepip=no --disable-test-modules)
elif [ "$asan" = 1 ]; then
  # The same economies; pymalloc off, so that every object is an ASan block.
  name=python3.13t-asan
  configure_args+=(--with-address-sanitizer --without-pymalloc --with-ensurepip=no --disable-test-modules)
fi
prefix=$cache/$name
python=$prefix/bin/python3.13t
marker=$prefix/.sylvanmap-complete
suppressions=$prefix/suppressions_free_threading.txt
# What the marker must say for the tree to be reused: a change of recipe
# (configure flags, or this number) rebuilds it.
stamp="recipe 2: ${configure_args[*]}"

log() { echo "free-threaded-python: $*" >&2; }
skip() { echo "SKIPPED: $*" >&2; exit "$SKIP"; }
fail() { log "$*"; exit 1; }

# The interpreter's own known races would otherwise be reported by every run.
run_env() {
  if [ "$tsan" = 1 ]; then
    TSAN_OPTIONS="suppressions=$suppressions${TSAN_OPTIONS:+ $TSAN_OPTIONS}" "$@"
  elif [ "$asan" = 1 ]; then
    ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" "$@"  # the interpreter keeps much at exit
  else
    "$@"
  fi
}

cached() {
  [ -f "$marker" ] && [ "$(head -n 1 "$marker")" = "$stamp" ] && [ -x "$python" ] &&
    run_env "$python" -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null
}

if cached; then echo "$python"; exit 0; fi

# The source, the private apt state and the build trees, shared by both variants.
work=$cache/free-threaded
mkdir -p "$work"
# One build at a time per cache (concurrent make runs, or both variants at once
# sharing the source download); whoever waited finds the other's result.
exec 9>"$work/lock"
flock 9
if cached; then echo "$python"; exit 0; fi

start=$SECONDS

# ------------------------------------------------------------ build packages
command -v apt-get >/dev/null 2>&1 && command -v dpkg-query >/dev/null 2>&1 ||
  skip "no apt-get/dpkg here to fetch the CPython source and its build packages"

# Enough for pip, venv, ssl, hashlib, ctypes, sqlite3 and the usual archive
# formats; no readline, curses or tk (nothing here runs it interactively).
packages=(gcc g++ make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev
          libbz2-dev liblzma-dev libsqlite3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  [ "$(id -u)" = 0 ] || skip "not root, and the build needs ${missing[*]}"
  apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 \
      "${missing[@]}" >&2
  }
  log "installing ${missing[*]}"
  if ! apt_install; then
    apt-get update -q -o DPkg::Lock::Timeout=600 >&2 || true
    apt_install || skip "could not install ${missing[*]}"
  fi
fi

# ----------------------------------------------------------------- the source
# trixie carries upstream 3.13.5; its orig tarball is that release unchanged.
src_dir=$work/src
tarball=$(compgen -G "$src_dir/python3.13_3.13.*.orig.tar.xz" | sort -V | tail -n 1 || true)
if [ -z "$tarball" ]; then
  # The machine's own Debian mirror, as its apt configuration names it.
  codename=$( (. /etc/os-release && echo "${VERSION_CODENAME:-}") 2>/dev/null || true)
  targets=$(apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' 2>/dev/null || true)
  mirror=$(awk -v c="$codename" '$1 == c { print $2; exit }' <<<"$targets")
  [ -n "$mirror" ] || mirror=$(awk '$2 !~ /security/ { print $2; exit }' <<<"$targets")
  [ -n "$mirror" ] || skip "no Debian mirror in the apt configuration"
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [ -r "$keyring" ] || skip "no $keyring to check the trixie archive against"

  # A private apt state: its own sources list, lists and cache, so neither the
  # machine's package lists nor its locks are involved. The machine's apt.conf.d
  # still applies (proxies and the like).
  apt_dir=$work/apt
  mkdir -p "$apt_dir"/lists/partial "$apt_dir"/cache/archives/partial "$apt_dir"/sources.list.d \
           "$apt_dir"/preferences.d
  echo "deb-src [signed-by=$keyring] ${mirror%/} trixie main" >"$apt_dir/sources.list"
  apt_private=(
    -o "Dir::Etc::sourcelist=$apt_dir/sources.list"
    -o "Dir::Etc::sourceparts=$apt_dir/sources.list.d"
    -o "Dir::Etc::preferences=$apt_dir/preferences"
    -o "Dir::Etc::preferencesparts=$apt_dir/preferences.d"
    -o "Dir::State=$apt_dir"
    -o "Dir::State::lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    # The download lands under this user's home, which apt's own unprivileged
    # user cannot write to.
    -o "APT::Sandbox::User=$(id -un)"
  )
  log "fetching the python3.13 source package from trixie (${mirror%/})"
  if ! out=$(apt-get "${apt_private[@]}" update 2>&1) ||
     ! compgen -G "$apt_dir/lists/*trixie_main_source_Sources*" >/dev/null; then
    if grep -q NO_PUBKEY <<<"$out"; then
      # An older keyring predates trixie; bookworm's updated one carries its keys.
      if [ "$(id -u)" = 0 ] &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 \
           --only-upgrade debian-archive-keyring >&2 &&
         out=$(apt-get "${apt_private[@]}" update 2>&1); then
        :
      else
        skip "the archive keyring does not cover trixie (upgrade debian-archive-keyring)"
      fi
    fi
    compgen -G "$apt_dir/lists/*trixie_main_source_Sources*" >/dev/null ||
      skip "could not read trixie's source index: $(grep -E '^(E|W):' <<<"$out" | head -n 2 | tr '\n' ' ')"
  fi
  # apt checks the tarball against the signed index as it downloads it.
  rm -rf "$src_dir.part" && mkdir -p "$src_dir.part"
  (cd "$src_dir.part" && apt-get "${apt_private[@]}" source --download-only --tar-only python3.13) >&2 ||
    skip "trixie has no python3.13 source package to download"
  part=$(compgen -G "$src_dir.part/python3.13_3.13.*.orig.tar.xz" | head -n 1 || true)
  [ -n "$part" ] || skip "the python3.13 source package has no upstream tarball"
  mkdir -p "$src_dir"
  mv "$part" "$src_dir/"
  rm -rf "$src_dir.part"
  tarball=$src_dir/$(basename "$part")
fi
version=$(basename "$tarball" .orig.tar.xz); version=${version#python3.13_}

# ------------------------------------------------------------------ the build
build=$work/build/$name
build_log=$work/build/$name.log
rm -rf "$prefix" "$build"
mkdir -p "$build"
log "building CPython $version (${configure_args[*]}) into $prefix; log: $build_log"
tar -xJf "$tarball" -C "$build" --strip-components=1
# Install byte-compiles the library for -O0 only, not also for -O and -OO,
# which nothing here runs: under TSan the three passes take about 25 minutes. (Precompiled files matter: with PYTHONDONTWRITEBYTECODE set, every run
# would otherwise compile each module it imports.)
sed -i 's/-o 0 -o 1 -o 2 \$(COMPILEALL_OPTS)/-o 0 $(COMPILEALL_OPTS)/' "$build/Makefile.pre.in"
if [ "$tsan" = 1 ] || [ "$asan" = 1 ]; then
  sed -i 's|$(PYTHON_FOR_BUILD) -Wi $(DESTDIR)$(LIBDEST)/compileall.py|true|' "$build/Makefile.pre.in"
fi
# SYLVANMAP_BUILD_JOBS: fewer jobs, for a build in the background of other work.
jobs=${SYLVANMAP_BUILD_JOBS:-$(nproc 2>/dev/null || echo 2)}
# No PGO or LTO: they triple the build time, and these interpreters run tests,
# not benchmarks. The build and install run the new interpreter, which under
# TSan would report the interpreter's own known races.
if ! (
  cd "$build" &&
  ./configure --prefix="$prefix" "${configure_args[@]}" &&
  export TSAN_OPTIONS="suppressions=$build/Tools/tsan/suppressions_free_threading.txt" ASAN_OPTIONS=detect_leaks=0 &&
  make -j"$jobs" && make install
) >"$build_log" 2>&1; then
  tail -n 30 "$build_log" >&2
  fail "the build failed; see $build_log"
fi
if [ "$tsan" = 1 ]; then
  cp "$build/Tools/tsan/suppressions_free_threading.txt" "$suppressions"
fi

# ----------------------------------------------------------------- the checks
log "checking $python"
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
if [ "$asan" = 1 ]; then
  run_env "$python" -c 'import sys; assert not sys._is_gil_enabled()' >&2 ||
    fail "the new interpreter does not start; see $build_log"
elif [ "$tsan" = 0 ]; then
run_env "$python" - <<'EOF' >&2 || fail "the new interpreter fails its checks; see $build_log"
import ctypes, hashlib, sqlite3, ssl, sys, sysconfig, venv, zlib
assert not sys._is_gil_enabled(), "the GIL is enabled"
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
hashlib.sha256(b"x").hexdigest()
ssl.create_default_context()
sqlite3.connect(":memory:").execute("select 1")
ctypes.CDLL(None)
print("free-threaded", sys.version.split()[0], "ok")
EOF
run_env "$python" -m venv "$check/venv" >&2 && run_env "$check/venv/bin/python" -m pip --version >&2 ||
  fail "venv or pip do not work in the new interpreter"
else
  # An extension built with -fsanitize=thread must load into it (the runtime
  # comes with the interpreter, so nothing is preloaded).
  cat >"$check/tsancheck.cpp" <<'EOF'
#include <Python.h>
#include <atomic>
static std::atomic<long> counter;
static PyObject *bump(PyObject *, PyObject *) { return PyLong_FromLong(++counter); }
static PyMethodDef methods[] = {{"bump", bump, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
static PyModuleDef_Slot slots[] = {{Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "tsancheck", nullptr, 0, methods, slots,
                          nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_tsancheck() { return PyModuleDef_Init(&def); }
EOF
  include=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
  suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  g++ -std=c++20 -shared -fPIC -O1 -g -fsanitize=thread -I"$include" \
      "$check/tsancheck.cpp" -o "$check/tsancheck$suffix" >&2 ||
    fail "could not build a -fsanitize=thread extension against $python"
  (cd "$check" && run_env "$python" -c '
import sys, threading, tsancheck
ts = [threading.Thread(target=lambda: [tsancheck.bump() for _ in range(1000)]) for _ in range(4)]
for t in ts: t.start()
for t in ts: t.join()
assert tsancheck.bump() == 4001 and not sys._is_gil_enabled()') >&2 ||
    fail "a -fsanitize=thread extension does not load or run in $python"
fi

rm -rf "$build"
printf '%s\nCPython %s\n' "$stamp" "$version" >"$marker.part"
mv "$marker.part" "$marker"
log "$python ready in $((SECONDS - start)) s"
echo "$python"
