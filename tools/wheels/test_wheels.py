"""The distributions in dist/ (make wheels): each supported interpreter's wheel carries a manylinux tag that
auditwheel confirms, installs into a fresh virtualenv outside the source tree and passes smoke.py there (for the
interpreters the Makefile runs in the Debian unstable root, in a virtualenv in the root's own /tmp; 3.13t is the
free-threaded build, tools/free-threaded-python.sh); the sdist holds exactly the tracked files."""

import re
import shutil
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DIST = ROOT / "dist"
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
VERSIONS = [c.split(" :: ")[-1] for c in PROJECT["classifiers"]
            if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
DEBIAN_ROOT = ROOT / "tools" / "debian-root.sh"
IN_ROOT = re.search(r"^ROOT_VERSIONS := (.*)$", (ROOT / "Makefile").read_text(), re.M)[1].split()
# In the root: a fresh virtualenv in a new directory of its /tmp, the wheel installed there, the smoke script run.
SMOKE_IN_ROOT = """set -e
here=$(mktemp -d)
cp "$3/smoke.py" "$3/roundtrip.c" "$here"
"$1" -m venv "$here/venv"
"$here/venv/bin/python" -m pip install --quiet --no-index "$2"
cd "$here" && exec venv/bin/python -I smoke.py
"""


def run(*command, cwd=None):
    done = subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"{command} exited {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.mark.parametrize("version", VERSIONS + ["3.13t"])
def test_wheel_is_manylinux_installs_and_passes_the_smoke_script(version, tmp_path):
    if version in IN_ROOT:  # ensure prints why it cannot make the root
        found = subprocess.run(["bash", DEBIAN_ROOT, "ensure"], stdout=subprocess.PIPE, text=True)
        if found.returncode != 0:
            pytest.skip(f"no Debian unstable root ({found.stdout.strip()}): the Python {version} wheel was not built")
    else:
        finder = ["free-threaded-python.sh"] if version.endswith("t") else ["find-python.sh", version]
        found = subprocess.run(["bash", ROOT / "tools" / finder[0], *finder[1:]], capture_output=True, text=True)
        if found.returncode != 0:
            pytest.skip(f"no Python {version} on this machine: its wheel was not built")
    tag = "cp" + version.replace(".", "")
    wheels = list(DIST.glob(f"sylvanmap-{PROJECT['version']}-{tag.rstrip('t')}-{tag}-*.whl"))
    assert len(wheels) == 1, f"want one {tag} wheel in {DIST}, found {wheels}"
    with zipfile.ZipFile(wheels[0]) as wheel:  # MIT asks for the licence text in every copy
        licence = [n for n in wheel.namelist() if re.fullmatch(r"[^/]+\.dist-info/(licenses/)?LICENSE", n)]
        assert licence and wheel.read(licence[0]) == (ROOT / "LICENSE").read_bytes(), wheel.namelist()
    platforms = wheels[0].stem.split("-")[-1].split(".")
    shown = run(sys.executable, "-m", "auditwheel", "show", wheels[0])
    shown = re.findall(r'consistent with the following platform tag:\s+"([^"]+)"', shown)
    assert shown and shown[0].startswith("manylinux") and shown[0] in platforms, (shown, platforms)

    if version in IN_ROOT:
        said = run("bash", DEBIAN_ROOT, "run", "--", "sh", "-c", SMOKE_IN_ROOT, "smoke", f"python{version}",
                   wheels[0], Path(__file__).parent)
    else:
        for name in ("smoke.py", "roundtrip.c"):
            shutil.copy(Path(__file__).with_name(name), tmp_path)
        venv = tmp_path / "venv"
        run(found.stdout.strip(), "-m", "venv", venv)
        run(venv / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-index", wheels[0])
        said = run(venv / "bin" / "python", "-I", "smoke.py", cwd=tmp_path)
    assert said.startswith(f"smoke: sylvanmap {PROJECT['version']} on Python {version.rstrip('t')}."), said


def test_sdist_holds_exactly_the_tracked_files():
    sdists = list(DIST.glob("*.tar.gz"))
    assert [p.name for p in sdists] == [f"sylvanmap-{PROJECT['version']}.tar.gz"]
    with tarfile.open(sdists[0]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames()}
    tracked = set(run("git", "-C", ROOT, "ls-files").split("\n")) - {""}
    assert names == {name for name in tracked if not name.startswith("bench/results/")} | {"PKG-INFO"}
