"""The native side of the C interface: the headers compile as C and C++, the
example programs build against them and run against the installed module, and
the README section shows the snippet that is actually built and run."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
INCLUDE = ROOT / "include"
NATIVE = ROOT / "examples" / "native"
BUILD = ROOT / "build" / "native"
SNIPPET = NATIVE / "snippet.cpp"

# The section lives in the first of these files that has its heading.
SECTION_HEADING = "## Using sylvanmap from C and C++"
SECTION_DOCS = (ROOT / "README.md",)

FAMILY = ["New", "Size", "Insert", "Search", "Delete", "Contains", "Keys", "Values", "Items", "GetMin", "GetMax", "Clear"]


def _build_env():
    # Under the sanitizer run the ASan runtime is preloaded into everything;
    # compilers and cmake are better off without it.
    env = os.environ.copy()
    env.pop("LD_PRELOAD", None)
    return env


def _run(cmd, *, env=None, timeout=300):
    return subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout)


def _require(tool):
    path = shutil.which(tool)
    if path is None:
        pytest.skip(f"{tool} is not installed")
    return path


@pytest.fixture(scope="module")
def programs():
    """Configures (once per build dir) and builds examples/native; returns the build dir."""
    cmake = _require("cmake")
    _require("c++")
    configure = [cmake, "-S", str(NATIVE), "-B", str(BUILD), f"-DPython_EXECUTABLE={sys.executable}"]
    for step in (configure, [cmake, "--build", str(BUILD), "-j", "2"]):
        done = _run(step, env=_build_env())
        assert done.returncode == 0, f"{' '.join(step)} failed:\n{done.stdout}\n{done.stderr}"
    return BUILD


def _section():
    for doc in SECTION_DOCS:
        if doc.exists():
            text = doc.read_text()
            start = text.find(SECTION_HEADING + "\n")
            if start >= 0:
                body = text[start + len(SECTION_HEADING) + 1 :]
                end = re.search(r"^#{1,2} ", body, re.MULTILINE)
                return doc, body[: end.start()] if end else body
    pytest.fail(f"no {SECTION_HEADING!r} section in {[str(d) for d in SECTION_DOCS]}")


def _fenced_blocks(text, language):
    return re.findall(rf"^```{language}\n(.*?)^```$", text, re.MULTILINE | re.DOTALL)


def test_consumer_runs_every_check_and_passes(programs):
    env = os.environ.copy()  # keeps LD_PRELOAD: an instrumented module needs its runtime
    if sys.flags.dev_mode:
        env["PYTHONDEVMODE"] = "1"
    done = _run([str(programs / "consumer"), sys.executable], env=env, timeout=120)
    log = done.stdout
    assert done.returncode == 0, f"consumer exited {done.returncode}:\n{log}\n{done.stderr}"
    lines = log.splitlines()
    assert not [line for line in lines if line.lstrip().startswith("FAIL")]
    summary = re.fullmatch(r"(\d+) passed, 0 failed", lines[-1])
    assert summary, lines[-1]
    assert int(summary[1]) == sum(1 for line in lines if line.startswith("  ok ")) > 40
    # It used the module this interpreter imports, not some other copy.
    import sylvanmap

    assert f"module: {sylvanmap.__file__}" in lines


def test_readme_snippet_is_the_file_that_is_built():
    doc, section = _section()
    blocks = _fenced_blocks(section, "cpp")
    assert blocks, f"no cpp block in the section of {doc}"
    assert blocks[0] == SNIPPET.read_text(), f"{doc}: the snippet differs from {SNIPPET.relative_to(ROOT)}"


def test_snippet_prints_what_the_readme_shows(programs):
    doc, section = _section()
    shown = _fenced_blocks(section, "text")
    assert shown, f"no text block with the snippet's output in {doc}"
    env = os.environ.copy()
    paths = dict.fromkeys([sysconfig.get_path("platlib"), sysconfig.get_path("purelib")])
    env["PYTHONPATH"] = os.pathsep.join([*paths, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    done = _run([str(programs / "snippet")], env=env, timeout=120)
    assert done.returncode == 0, f"snippet exited {done.returncode}:\n{done.stdout}\n{done.stderr}"
    assert done.stdout == shown[0]


# Initialising the struct from the declarations type-checks every prototype
# against the loader's pointer of the same name.
HEADER_CHECK = (
    '#include "sylvanmap.h"\n'
    '#include "sylvanmap_loader.h"\n'
    "\n"
    "static const SylvanMapAPI direct = {" + ", ".join("PyBTree_" + name for name in FAMILY) + "};\n"
    "\n"
    "int sylvanmap_header_check(void);\n"
    "int sylvanmap_header_check(void)\n"
    "{\n"
    "    SylvanMapAPI loaded;\n"
    "    if (SylvanMap_Load(&loaded) < 0) {\n"
    "        return -1;\n"
    "    }\n"
    "    return loaded.New == direct.New ? 0 : 1;\n"
    "}\n"
)


@pytest.mark.parametrize(
    "compiler, suffix, flags",
    [
        ("cc", ".c", ["-std=c99", "-pedantic"]),
        ("c++", ".cpp", ["-std=c++11", "-pedantic"]),
        ("c++", ".cpp", ["-std=c++20"]),
    ],
    ids=["c99", "c++11", "c++20"],
)
def test_headers_compile_cleanly(compiler, suffix, flags, tmp_path):
    tool = _require(compiler)
    source = tmp_path / f"check{suffix}"
    source.write_text(HEADER_CHECK)
    cmd = [tool, *flags, "-Wall", "-Wextra", "-Werror", "-fsyntax-only"]
    cmd += [f"-I{INCLUDE}", f"-I{sysconfig.get_paths()['include']}", str(source)]
    done = _run(cmd, env=_build_env())
    assert done.returncode == 0, done.stderr
