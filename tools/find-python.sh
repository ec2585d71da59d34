#!/usr/bin/env bash
# Print the path of a Python 3.13 interpreter that actually runs.
# Search order: python3.13 on PATH, pyenv's 3.13, then Debian's packages.
set -euo pipefail

works() { [ -n "$1" ] && "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

cand=$(command -v python3.13 2>/dev/null || true)
if works "$cand"; then echo "$cand"; exit 0; fi

if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null || true)
  for cand in "$root"/versions/3.13*/bin/python3.13; do
    if works "$cand"; then echo "$cand"; exit 0; fi
  done
fi
for cand in "$HOME"/.pyenv/versions/3.13*/bin/python3.13; do
  if works "$cand"; then echo "$cand"; exit 0; fi
done

echo "find-python: no working python3.13; installing Debian's python3.13-dev python3.13-venv" >&2
apt-get update >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y python3.13-dev python3.13-venv >&2
cand=/usr/bin/python3.13
if works "$cand"; then echo "$cand"; exit 0; fi
echo "find-python: could not find or install Python 3.13" >&2
exit 1
