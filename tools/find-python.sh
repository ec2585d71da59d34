#!/usr/bin/env bash
# Usage: find-python.sh X.Y
# Prints the path of a CPython X.Y that runs and can build the module (venv,
# ensurepip and the C headers present); exits 1 with a reason on stderr when
# there is none. Search order: pythonX.Y on PATH, pyenv's X.Y, then the
# distribution's packages (pythonX.Y-dev and pythonX.Y-venv, when it has them).
set -euo pipefail

version=${1:?usage: find-python.sh X.Y}

# Prints the interpreter's own path (not a pyenv shim's) when it will do.
works() {
  [ -n "$1" ] && "$1" - "$version" 2>/dev/null <<'EOF'
import ensurepip, os, sys, sysconfig, venv
ok = sys.implementation.name == "cpython" and "%d.%d" % sys.version_info[:2] == sys.argv[1]
if not (ok and os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h"))):
    sys.exit(1)
print(sys.executable)
EOF
}

if works "$(command -v "python$version" 2>/dev/null || true)"; then exit 0; fi

roots=("$HOME/.pyenv")
if command -v pyenv >/dev/null 2>&1; then roots=("$(pyenv root 2>/dev/null || true)" "${roots[@]}"); fi
for root in "${roots[@]}"; do
  # Newest patch release first.
  for cand in $(printf '%s\n' "$root"/versions/"$version".*/bin/python"$version" | sort -rV); do
    if works "$cand"; then exit 0; fi
  done
done

if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  packages=("python$version-dev" "python$version-venv")
  if ! apt-cache show "${packages[@]}" >/dev/null 2>&1; then
    echo "find-python: updating the package lists to look for ${packages[*]}" >&2
    apt-get update >&2 || true
  fi
  if apt-cache show "${packages[@]}" >/dev/null 2>&1; then
    echo "find-python: no working python$version; installing ${packages[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${packages[@]}" >&2
    if works "/usr/bin/python$version"; then exit 0; fi
  fi
fi
echo "find-python: no Python $version on PATH, under pyenv or in the distribution's packages" >&2
exit 1
