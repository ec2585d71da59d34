"""The stubs checked three ways against the installed module (run by `make test-stubs`):

1. mypy's stubtest compares them with the built module;
2. mypy --strict accepts example.py (which also runs) and reports misuse.py on exactly the lines
   marked `# error`;
3. basedpyright (strict) does the same.

Prints one line per check and closes with "N passed, N failed"; exits non-zero on any failure.
"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PY = sys.executable
BASEDPYRIGHT = os.path.join(os.path.dirname(PY), "basedpyright")


def marked(path):
    with open(path) as f:
        return {i for i, line in enumerate(f, 1) if line.rstrip().endswith("# error")}


def run(*cmd):
    p = subprocess.run(cmd, capture_output=True, text=True, cwd=ROOT)
    return p.returncode, p.stdout + p.stderr


def mypy_lines(out):
    return {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error", out)}


def pyright_lines(out):
    return {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+):\d+ - error", out)}


def main():
    example, misuse = os.path.join(HERE, "example.py"), os.path.join(HERE, "misuse.py")
    pyright = (BASEDPYRIGHT, "--pythonpath", PY, "-p", HERE)
    want = marked(misuse)
    checks = {
        "stubtest": lambda: run(PY, "-m", "mypy.stubtest", "sylvanmap",
                                "--allowlist", os.path.join(ROOT, "src", "stubtest-allowlist.txt")),
        "example runs": lambda: run(PY, example),
        "mypy --strict example": lambda: run(PY, "-m", "mypy", "--strict", example),
        "mypy --strict misuse": lambda: (lambda rc, out: (0 if rc and mypy_lines(out) == want else 1, out))(
            *run(PY, "-m", "mypy", "--strict", misuse)),
        "basedpyright example": lambda: (lambda rc, out: (rc or " 0 warnings" not in out, out))(
            *run(*pyright, example)),
        "basedpyright misuse": lambda: (lambda rc, out: (0 if rc and pyright_lines(out) == want else 1, out))(
            *run(*pyright, misuse)),
    }
    failed = 0
    for name, check in checks.items():
        rc, out = check()
        print(f"{'ok  ' if not rc else 'FAIL'} {name}")
        if rc:
            failed += 1
            print(out)
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
