#!/usr/bin/env bash
# Usage: debian-root.sh ensure            make the root if it is missing or incomplete
#        debian-root.sh run [--] COMMAND  run COMMAND in the root, in the same directory
#        debian-root.sh path              print where the root lives
#        debian-root.sh remove            delete the cached root
#
# A minimal Debian unstable root holding the interpreters this machine's own
# distribution lacks (CPython 3.14 and 3.15, and 3.14's debug build
# python3.14d) with a compiler, CMake and Ninja, cached under
# ${SYLVANMAP_CACHE:-$HOME/.cache/sylvanmap}/debian-unstable and reused.
# Commands run there through chroot with the project directory mounted at its
# own path, so paths (venvs, build dirs, dist/) read the same inside and out.
#
# ensure exits 0 when the root is ready; when it cannot be made (not root, no
# debootstrap, no network...) it prints the reason on stdout, one line, and
# exits 1. Progress goes to stderr.
set -euo pipefail

PACKAGES=(
  python3.14 python3.14-dev python3.14-venv python3.14-dbg
  python3.15 python3.15-dev python3.15-venv python3.15-dbg
  g++ gcc make cmake ninja-build binutils patchelf
)
SUITE=unstable
CACHE=${SYLVANMAP_CACHE:-$HOME/.cache/sylvanmap}
ROOT=$CACHE/debian-$SUITE
# Written last, so a root without it (an interrupted debootstrap or install)
# is never used; it records what was installed, so a changed list is caught.
MARKER=$ROOT/.sylvanmap-root-complete
LOCK=$CACHE/debian-$SUITE.lock
PROJECT=$(cd "$(dirname "$0")/.." && pwd -P)
RECIPE="suite=$SUITE packages=${PACKAGES[*]}"

say() { echo "debian-root: $*" >&2; }
cannot() { echo "$*"; exit 1; }

# The Debian archive this machine's apt already uses: the first "deb" URI of a
# suite that is neither -security nor -updates/-backports (deb822 .sources
# first, then one-line lists).
mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && suites ~ /(^|[ \t])[a-z]+([ \t]|$)/ && uris != "") {
          split(uris, u, /[ \t]+/); print u[1]; found = 1; exit
        }
        types = suites = uris = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^Types:/  { sub(/^Types:[ \t]*/, "");  types = $0 }
      /^URIs:/   { sub(/^URIs:[ \t]*/, "");   uris = $0 }
      /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
      END { if (!found) flush() }' "$f"
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    sed -n 's/^[ \t]*deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]\+\)[ \t]\+\([a-z]\+\)[ \t].*/\2/p' || true
}

# Everything the command in the root needs from this machine: name resolution,
# its CA bundle, pip's configuration and the files and local indexes it names.
# Files are copied; directories are bind-mounted read-only (in run's mount
# namespace) at their own paths: the whole of one under /opt, /srv, /mnt or
# /home, as a local index's pages link to files beside them.
# (Paths, and file:// URLs of local indexes.)
USER_PIP=("$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf")
pip_paths() {
  { cat /etc/pip.conf /etc/xdg/pip/pip.conf "${USER_PIP[@]}" 2>/dev/null || true
    env | grep -E '^PIP_' | cut -d= -f2- || true
  } | grep -oE '(^|[=[:space:]]|file://)/[^[:space:]]+' | sed 's,^[=[:space:]]*,,; s,^file://,,' | sort -u
}

copy_in() {  # copy_in FILE [TO]: to the same path in the root, or to TO (renamed into place: runs may overlap)
  local to=$ROOT${2:-$1}
  [ -f "$1" ] || return 0
  mkdir -p "$(dirname "$to")"
  cp -L "$1" "$to.$$" && mv -f "$to.$$" "$to"
}

# This machine's apt settings for fetching (proxies, release-date checks): the
# root's apt talks to the same archive the same way.
apt_settings() {
  apt-config dump 2>/dev/null | grep -E '^Acquire::' || true
}

complete() { [ -f "$MARKER" ] && [ "$(cat "$MARKER")" = "$RECIPE" ]; }

# Variables that reach the command in the root: CI and the test settings,
# pip's, and the terminal.
passed_env() {
  env | grep -E '^(CI|SYLVANMAP_[A-Z_]+|HYPOTHESIS_[A-Z_]+|PIP_[A-Z_]+|TERM|FUZZ_SECONDS)=' || true
}

prepare() {  # refresh what is copied in from this machine
  rm -f "$ROOT/etc/resolv.conf"  # debootstrap may leave a symlink
  local p
  for p in /etc/resolv.conf /etc/hosts /etc/ssl/certs/ca-certificates.crt /etc/pip.conf /etc/xdg/pip/*; do
    copy_in "$p"
  done
  # The root's HOME is /root.
  copy_in "${USER_PIP[0]}" /root/.config/pip/pip.conf
  copy_in "${USER_PIP[1]}" /root/.pip/pip.conf
  while read -r p; do copy_in "$p"; done < <(pip_paths)
  apt_settings >"$ROOT/etc/apt/apt.conf.d/90host-acquire"
}

# run_in_root DIR COMMAND...: COMMAND in the root, in DIR. The mounts are made
# in a private mount namespace, so they vanish with it even when the command is
# killed: no host path is ever left mounted inside the cached root (which a
# rebuild deletes), and nothing needs unmounting on the way out.
run_in_root() {
  local dir=$1 p; shift
  local dirs=() pass=()
  while read -r p; do
    [ -d "$p" ] || continue
    case $p in /opt/* | /srv/* | /mnt/* | /home/*) p=/$(echo "$p" | cut -d/ -f2) ;; esac
    case " ${dirs[*]-} " in *" $p "*) ;; *) dirs+=("$p") ;; esac
  done < <(pip_paths)
  mapfile -t pass < <(passed_env)
  DIRS=$(printf '%s\n' "${dirs[@]+"${dirs[@]}"}") PASS_ENV=$(printf '%s\n' "${pass[@]+"${pass[@]}"}") \
    unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1; project=$2; dir=$3; shift 3
    mapfile -t pass <<<"$PASS_ENV"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    mkdir -p "$root$project"
    mount --bind "$project" "$root$project"
    while read -r d; do
      [ -n "$d" ] || continue
      mkdir -p "$root$d" && mount --bind "$d" "$root$d" && mount -o remount,bind,ro "$root$d"
    done <<<"$DIRS"
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin ${pass[@]+"${pass[@]}"} \
      /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$dir" "$@"
  ' in-root "$ROOT" "$PROJECT" "$dir" "$@"
}

create() {
  [ "$(id -u)" = 0 ] || cannot "making the Debian $SUITE root needs root (debootstrap, chroot, mounts)"
  command -v unshare >/dev/null && command -v chroot >/dev/null || cannot "no unshare or chroot on this machine"
  if ! command -v debootstrap >/dev/null; then
    command -v apt-get >/dev/null || cannot "no debootstrap and no apt-get to install it"
    say "installing debootstrap"
    { DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap >&2 ||
      { apt-get update >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap >&2; }
    } || cannot "debootstrap is not installed and apt-get could not install it"
  fi
  local uri
  uri=$(mirror | head -n 1) || true
  [ -n "$uri" ] || cannot "no Debian archive in this machine's apt sources"

  local new=$ROOT.new
  rm -rf "$new"
  say "debootstrap $SUITE into $new from the machine's archive (a few minutes, about 1.3 GB in all)"
  # In a mount namespace of its own: debootstrap's mounts cannot outlive it.
  unshare --mount --propagation private -- debootstrap --variant=minbase "$SUITE" "$new" "$uri" >&2 ||
    { rm -rf "$new"; cannot "debootstrap of Debian $SUITE failed (no network or no archive?)"; }
  mv -T "$new" "$ROOT.tmp-done" && rm -rf "$ROOT" && mv -T "$ROOT.tmp-done" "$ROOT"
}

install_packages() {  # dpkg --configure first: an earlier install may have been interrupted
  prepare
  say "installing ${PACKAGES[*]}"
  run_in_root / sh -c 'export DEBIAN_FRONTEND=noninteractive
    dpkg --configure -a && apt-get update -q && apt-get install -y -q --no-install-recommends "$@" &&
    apt-get clean' sh "${PACKAGES[@]}" >&2
}

ensure() {
  complete && return 0
  [ "$(id -u)" = 0 ] || cannot "making the Debian $SUITE root needs root (debootstrap, chroot, mounts)"
  mkdir -p "$CACHE"
  exec 9>"$LOCK"
  flock 9
  complete && return 0  # another process made it meanwhile
  rm -f "$MARKER"
  # The root appears only once debootstrap has finished (create works beside
  # it), so one without the marker lacks packages only: it gets them, or is
  # made afresh when that fails.
  if ! { [ -d "$ROOT" ] && install_packages; }; then
    create
    install_packages || cannot "apt-get in the Debian $SUITE root could not install ${PACKAGES[*]}"
  fi
  echo "$RECIPE" >"$MARKER"
  say "ready: $ROOT"
}

case "${1:-}" in
  ensure) ensure ;;
  path) echo "$ROOT" ;;
  run)
    shift
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || { echo "usage: $0 run [--] COMMAND..." >&2; exit 2; }
    why=$(ensure) || { echo "debian-root: $why" >&2; exit 1; }
    here=$(pwd -P)
    case "$here/" in "$PROJECT"/*) ;; *) here=$PROJECT ;; esac
    prepare
    exec 9>"$LOCK"
    flock -s 9  # a rebuild waits for commands in the root to end
    run_in_root "$here" "$@"
    ;;
  remove)
    exec 9>"$LOCK" && flock 9
    rm -rf "$ROOT" "$ROOT.new" "$ROOT.tmp-done"
    ;;
  *) echo "usage: $0 ensure | run [--] COMMAND... | path | remove" >&2; exit 2 ;;
esac
