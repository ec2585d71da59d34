"""The native side: the headers compile as C99 and C++, the example programs build and run against
the installed module, the extension-module example builds with get_include() and does what the C API
page says, and that page shows the programs that are built and what they print."""

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


def page_section(title):
    section = (ROOT / "docs" / "capi.md").read_text().split(f"\n## {title}\n")[1]
    return re.split(r"^#{1,2} ", section, flags=re.MULTILINE)[0]


def fenced(section, kind):
    return re.findall(rf"^```{kind}\n(.*?)^```$", section, re.M | re.S)[0]


def test_capi_page_shows_the_snippet_that_is_built_and_what_it_prints(build):
    section = page_section("Embedding the interpreter")
    assert fenced(section, "cpp") == (ROOT / "examples" / "native" / "snippet.cpp").read_text()
    assert run(str(build / "snippet"), env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))) == \
        fenced(section, "text")


# Each line of the page's Python block, "expression   # shown result", checked in a fresh interpreter.
CHECK_LINES = """import sys
for line in sys.stdin.read().splitlines():
    code, _, shown = (part.strip() for part in line.partition("#"))
    try:
        said = repr(eval(code)) if shown else exec(code)
    except Exception as e:
        said = f"{type(e).__name__}: {str(e).split(': ', 1)[-1]}"
    assert not shown or said == shown, (code, said, shown)
    print("ok", code)
"""


def test_extension_example_builds_with_get_include_and_does_what_the_page_shows(tmp_path):
    section = page_section("An extension module that receives trees")
    assert fenced(section, "c") == (ROOT / "examples" / "extension" / "spans.c").read_text()
    out = tmp_path / ("spans" + sysconfig.get_config_var("EXT_SUFFIX"))
    run("cc", "-shared", "-fPIC", "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
        f"-I{sysconfig.get_path('include')}", f"-I{sylvanmap.get_include()}",
        str(ROOT / "examples" / "extension" / "spans.c"), "-o", str(out))
    usage = fenced(section, "python").strip()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), *sys.path]))
    said = run(sys.executable, "-c", CHECK_LINES, env=env, source=usage).splitlines()
    assert len(said) == len(usage.splitlines())


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
