"""The native side: the headers compile as C99 and C++, the example programs build and run against
the installed module, and the README section shows the snippet that is built and what it prints."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import sylvanmap

ROOT = Path(__file__).resolve().parents[1]
# Compilers and cmake run without the sanitizer runtime the asan run preloads; the programs keep it.
TOOLS_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
FAMILY = "New Size Insert Search Delete Contains Keys Values Items GetMin GetMax Clear".split()


def run(*command, env=TOOLS_ENV, source=None):
    done = subprocess.run(command, input=source, capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, f"{command} exited {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    build, source = tmp_path_factory.mktemp("native"), ROOT / "examples" / "native"
    # The virtualenv's own cmake (requirements/dev.txt) first, then the system's.
    cmake = shutil.which("cmake", path=os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]]))
    run(cmake, "-S", str(source), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}")
    run(cmake, "--build", str(build), "-j", "2")
    return build


def test_consumer_passes_its_checks_of_every_function(build):
    env = dict(os.environ, PYTHONDEVMODE="1" if sys.flags.dev_mode else "")
    lines = run(str(build / "consumer"), sys.executable, env=env).splitlines()
    passed = [line for line in lines if line.startswith("  ok ")]
    assert lines[-1] == f"{len(passed)} passed, 0 failed" and f"module: {sylvanmap.__file__}" in lines
    assert all(any(name in line for line in passed) for name in FAMILY)


def test_readme_shows_the_snippet_that_is_built_and_what_it_prints(build):
    section = (ROOT / "README.md").read_text().split("\n## Using sylvanmap from C and C++\n")[1]
    section = re.split(r"^#{1,2} ", section, flags=re.MULTILINE)[0]
    cpp, text = (re.findall(rf"^```{kind}\n(.*?)^```$", section, re.M | re.S)[0] for kind in ["cpp", "text"])
    assert cpp == (ROOT / "examples" / "native" / "snippet.cpp").read_text()
    assert run(str(build / "snippet"), env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))) == text


# Initialising the struct from the declarations type-checks every prototype against its pointer.
HEADER_CHECK = f"""#include "sylvanmap.h"
#include "sylvanmap_loader.h"
static const SylvanMapAPI direct = {{{", ".join("PyBTree_" + name for name in FAMILY)}}};
int loads_the_same(void) {{ SylvanMapAPI api; return SylvanMap_Load(&api) == 0 && api.New == direct.New; }}
"""


@pytest.mark.parametrize("command", ["cc -x c -std=c99", "c++ -x c++ -std=c++11", "c++ -x c++ -std=c++20"])
def test_headers_compile_cleanly(command):
    flags = ["-pedantic", "-Wall", "-Wextra", "-Werror", "-fsyntax-only", f"-I{ROOT / 'include'}"]
    run(*command.split(), *flags, f"-I{sysconfig.get_path('include')}", "-", source=HEADER_CHECK)
