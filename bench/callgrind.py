"""Instructions per operation under callgrind: counts that repeat exactly for one build, so small
effects of a change show where timings drown them in noise.

    .venv/bin/python bench/callgrind.py                  # every row
    .venv/bin/python bench/callgrind.py getitem_int iter  # rows by name fragment

Each row runs its setup and then a loop twice under valgrind, once doing the operation and once
with an empty body over the same objects; the difference, divided by the number of operations, is
the row's figure. (PYTHONHASHSEED is fixed, so the two runs differ in the loop alone.)
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workloads import make_keys  # noqa: E402

# name: (setup, operation loop, empty loop). The setup defines d and the inputs; both loops run
# inside a function, as user code does.
SETUP_LOOKUP = """
keys = make_keys({kind!r}, {n}, 1)
d = SortedDict()
for k in keys: d[k] = k
probes = (keys * ({ops} // {n} + 1))[:{ops}]
"""
ROWS = {
    **{f"getitem_{kind}": (SETUP_LOOKUP.format(kind=kind, n=1000, ops=200_000),
                           "for k in probes: d[k]", "for k in probes: pass") for kind in ("int", "str", "path")},
    "get_miss_int": ("keys = make_keys('int', 2000, 1)\nd = SortedDict()\nfor k in keys[:1000]: d[k] = k\n"
                     "probes = keys[1000:] * 200", "for k in probes: d.get(k)", "for k in probes: pass"),
    "insert_int": ("keys = make_keys('int', 100_000, 1)", "d = SortedDict()\nfor k in keys: d[k] = k",
                   "d = SortedDict()\nfor k in keys: pass"),
    "insert_int_1e3": ("keys = make_keys('int', 1000, 1)", "for r in range(100):\n d = SortedDict()\n"
                       " for k in keys: d[k] = k", "for r in range(100):\n d = SortedDict()\n for k in keys: pass"),
    "delete_int": ("keys = make_keys('int', 100_000, 1)\nd = SortedDict()\nfor k in keys: d[k] = k\n"
                   "doomed = make_keys('int', 100_000, 1)\nimport random\nrandom.Random(2).shuffle(doomed)",
                   "for k in doomed: del d[k]", "for k in doomed: pass"),
    "delete_int_1e3": ("keys = make_keys('int', 1000, 1)\nimport random\ndoomed = keys[:]\n"
                       "random.Random(2).shuffle(doomed)",
                       "for r in range(100):\n d = SortedDict()\n for k in keys: d[k] = k\n for k in doomed: del d[k]",
                       "for r in range(100):\n d = SortedDict()\n for k in keys: d[k] = k\n for k in doomed: pass"),
    "key_at_int": ("keys = make_keys('int', 100_000, 1)\nd = SortedDict()\nfor k in keys: d[k] = k\n"
                   "import random\nrng = random.Random(3)\nat = [rng.randrange(100_000) for _ in range(100_000)]",
                   "for i in at: d.key_at(i)", "for i in at: pass"),
    "bisect_int": ("keys = make_keys('int', 100_000, 1)\nd = SortedDict()\nfor k in keys: d[k] = k\n"
                   "probes = make_keys('int', 200_000, 1)[::2]", "for k in probes: d.bisect_left(k)",
                   "for k in probes: pass"),
    "bisect_float_on_int": ("keys = make_keys('int', 100_000, 1)\nd = SortedDict()\nfor k in keys: d[k] = k\n"
                            "probes = [k + 0.5 for k in make_keys('int', 200_000, 1)[::2]]",
                            "for k in probes: d.bisect_left(k)", "for k in probes: pass"),
    "getitem_float_on_int": ("keys = make_keys('int', 1000, 1)\nd = SortedDict()\nfor k in keys: d[k] = k\n"
                             "probes = [float(k) for k in keys] * 200", "for k in probes: d[k]",
                             "for k in probes: pass"),
    "getitem_int_1e5": ("keys = make_keys('int', 100_000, 1)\nd = SortedDict()\nfor k in keys: d[k] = k\n"
                        "probes = keys", "for k in probes: d[k]", "for k in probes: pass"),
    "iter_step": ("keys = make_keys('int', 100_000, 1)\nd = SortedDict()\nfor k in keys: d[k] = k\n"
                  "same = sorted(keys)", "for r in range(5):\n for k in d: pass",
                  "for r in range(5):\n for k in same: pass"),
}
OPS = {"getitem_int": 200_000, "getitem_str": 200_000, "getitem_path": 200_000, "get_miss_int": 200_000,
       "insert_int": 100_000, "insert_int_1e3": 100_000, "delete_int": 100_000, "iter_step": 500_000,
       "delete_int_1e3": 100_000, "key_at_int": 100_000, "bisect_int": 100_000,
       "bisect_float_on_int": 100_000, "getitem_float_on_int": 200_000, "getitem_int_1e5": 100_000}

PROGRAM = """
import sys
sys.path.insert(0, {bench!r})
from workloads import make_keys
from sylvanmap import SortedDict
{setup}
def run():
{body}
run()
"""


def instructions(setup: str, loop: str) -> int:
    body = "\n".join("    " + line for line in loop.splitlines())
    source = PROGRAM.format(bench=str(Path(__file__).resolve().parent), setup=setup, body=body)
    with tempfile.TemporaryDirectory() as tmp:
        script, out = Path(tmp) / "row.py", Path(tmp) / "callgrind.out"
        script.write_text(source)
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, str(script)],
                       check=True, env=env, capture_output=True)
        summary = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.M)
        return int(summary.group(1))


def main(argv: list[str]) -> None:
    names = [n for n in ROWS if not argv or any(a in n for a in argv)]
    print("| row | instructions per operation |\n|:---|---:|")
    for name in names:
        setup, loop, empty = ROWS[name]
        per_op = (instructions(setup, loop) - instructions(setup, empty)) / OPS[name]
        print(f"| {name} | {per_op:,.0f} |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
