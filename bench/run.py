"""Benchmark sylvanmap.SortedDict against dict, sortedcontainers and BTrees.

    python bench/run.py            # full run: 10^3 .. 10^6, int and str keys
    python bench/run.py --quick    # under a minute: 10^3 and 10^4

Writes bench/results/<name>.md (and .json, and one PNG per key kind) and prints
the Markdown to stdout. See --help for the filters.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import platform
import subprocess
import sys
import time

from tqdm import tqdm

import checks
import measure
import operations
import peers as peer_registry
import report
from workloads import KEY_KINDS, make_workload

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS_DIR = os.path.join(HERE, "results")

FULL_SIZES = (10**3, 10**4, 10**5, 10**6)
QUICK_SIZES = (10**3, 10**4)
LARGE = 10**6  # from this size on, fewer repeats (each round takes seconds)


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="small sizes and short budgets (finishes in under a minute)")
    ap.add_argument("--sizes", help="comma-separated sizes, e.g. 1e3,1e4,100000")
    ap.add_argument("--ops", help="comma-separated name fragments to select operations "
                                  f"({', '.join(operations.OP_NAMES)})")
    ap.add_argument("--keys", default=",".join(KEY_KINDS),
                    help=f"key kinds: {','.join(KEY_KINDS)} (default all)")
    ap.add_argument("--peers", help="comma-separated containers "
                                    f"({', '.join(p.name for p in peer_registry.PEERS)})")
    ap.add_argument("--repeat", type=int,
                    help="minimum timed runs per container and operation "
                         "(default 5, or 3 from 10^6 on; quick: 3)")
    ap.add_argument("--name", help="output base name in bench/results "
                                   "(default: results, or quick with --quick)")
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--no-plot", action="store_true", help="skip the PNG plots")
    ap.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = ap.parse_args(argv)

    if args.sizes:
        args.sizes = sorted({int(float(s)) for s in args.sizes.split(",") if s.strip()})
        if any(n < 20 for n in args.sizes):
            ap.error("sizes must be at least 20")
    else:
        args.sizes = list(QUICK_SIZES if args.quick else FULL_SIZES)
    args.keys = [k.strip() for k in args.keys.split(",") if k.strip()]
    if bad := set(args.keys) - set(KEY_KINDS):
        ap.error(f"unknown key kind(s) {sorted(bad)}; choose from {KEY_KINDS}")
    args.ops, args.memory = operations.select(args.ops.split(",") if args.ops else None)
    args.peers = peer_registry.by_name(args.peers.split(",") if args.peers else None)
    args.name = args.name or ("quick" if args.quick else "results")
    return args


def settings_for(args, n: int) -> measure.Settings:
    if args.quick:
        return measure.Settings(repeat=args.repeat or 3, budget=0.05, max_rounds=30,
                                op_cap=0.5)
    if n >= LARGE:
        return measure.Settings(repeat=args.repeat or 3, budget=0.0, max_rounds=0,
                                op_cap=0.0)
    return measure.Settings(repeat=args.repeat or 5, budget=0.25, max_rounds=100,
                            op_cap=4.0)


def workload_for(args, kind: str, n: int):
    return make_workload(kind, n, seed=seed_for(args, kind, n),
                         queries=200 if args.quick else 1000,
                         wide_queries=10 if args.quick else 20,
                         minmax_calls=1000)


def seed_for(args, kind: str, n: int) -> int:
    return args.seed + n + KEY_KINDS.index(kind)


# --- metadata -----------------------------------------------------------------

def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def git_commit() -> str:
    try:
        rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE,
                             capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src", "include"],
                               cwd=HERE, capture_output=True, text=True).stdout.strip()
        return rev + (" (uncommitted changes in src/include)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def module_built() -> str:
    """When the installed sylvanmap extension was built (its file's mtime)."""
    try:
        import sylvanmap
    except ImportError:
        return "not importable"
    stamp = datetime.datetime.fromtimestamp(os.path.getmtime(sylvanmap.__file__))
    return stamp.astimezone().strftime("%Y-%m-%d %H:%M %Z")


def machine_meta(args) -> dict:
    versions = peer_registry.versions()
    return {
        "mode": "quick" if args.quick else "full",
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "CPU": f"{cpu_model()} ({os.cpu_count()} logical CPUs)",
        "load average at start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "Python": f"{platform.python_version()} ({platform.python_implementation()}, "
                  f"{platform.platform()})",
        "packages": ", ".join(f"{k} {v}" for k, v in versions.items()),
        "commit": git_commit(),
        "sylvanmap module built": module_built(),
        "command": "python bench/run.py " + " ".join(sys.argv[1:]),
    }


# --- the run ------------------------------------------------------------------

def pick_reference(available) -> tuple[str, list[str]]:
    names = [p.name for p in available]
    if peer_registry.REFERENCE in names:
        return peer_registry.REFERENCE, []
    fallback = next((n for n in ("sortedcontainers", "OOBTree") if n in names), names[0])
    return fallback, [f"{peer_registry.REFERENCE} was not measured (sylvanmap not importable "
                      f"or not selected); ratios are relative to {fallback} instead"]


def run(args) -> report.Results:
    available = [p for p in args.peers if p.available()]
    missing = [p.name for p in args.peers if p not in available]
    if not available:
        raise SystemExit("none of the selected containers can be imported")
    reference, warnings = pick_reference(available)
    if missing:
        print(f"not importable, skipped: {', '.join(missing)}", file=sys.stderr)

    columns = [reference] + [p.name for p in available if p.name != reference]
    res = report.Results(peers=columns, reference=reference,
                         family={p.name: p.family for p in available},
                         sizes=args.sizes, kinds=args.keys, ops=args.ops,
                         meta=machine_meta(args), warnings=warnings)
    res.meta["empty loop (ns/iteration)"] = f"{measure.loop_overhead_ns():.1f}"

    for kind in args.keys:  # harness check on a small workload
        w = workload_for(args, kind, 600)
        for p in available:
            if kind in p.key_kinds:
                res.warnings += [f"{p.name}, {kind} keys: {msg}"
                                 for msg in checks.check(p.family, p.factory(), w)]
    for msg in res.warnings:
        print(f"warning: {msg}", file=sys.stderr)

    tasks = sum(len(args.ops) * sum(kind in p.key_kinds for p in available) * len(args.sizes)
                for kind in args.keys)
    if args.memory:
        tasks += sum(kind in p.key_kinds for p in available
                     for kind in args.keys) * len(args.sizes)
    bar = tqdm(total=tasks, file=sys.stderr, unit="task", dynamic_ncols=True,
               disable=args.no_progress, mininterval=0.5)

    for kind in args.keys:
        field = [p for p in available if kind in p.key_kinds]
        for n in args.sizes:
            bar.set_description(f"{kind} n={n:,}: data")
            w = workload_for(args, kind, n)
            contestants = [measure.Contestant(p.name, p.family, p.factory()) for p in field]
            if any(op.setup in (operations.SHARED, operations.PICKLED) for op in args.ops):
                bar.set_description(f"{kind} n={n:,}: build")
                for c in contestants:
                    c.shared = operations.fill(c.factory(), w.keys, w.values)
            gc.collect()
            gc.freeze()  # keep the long-lived data out of later collections
            for op in args.ops:
                bar.set_description(f"{kind} n={n:,}: {op.name}")
                res.timings[(kind, op.name, n)], failures = measure.time_op(
                    op, contestants, w, settings_for(args, n))
                for msg in failures:
                    bar.write(f"warning: {msg}", file=sys.stderr)
                res.warnings += failures
                bar.update(len(contestants))
            gc.unfreeze()
            del contestants, w
            gc.collect()
            if args.memory:
                for p in field:
                    bar.set_description(f"{kind} n={n:,}: memory {p.name}")
                    try:
                        res.memory.setdefault((kind, n), {})[p.name] = measure.measure_memory(
                            p.name, kind, n, seed_for(args, kind, n))
                    except subprocess.CalledProcessError as e:
                        msg = f"{p.name}, memory, {kind} keys, n={n}: " + (
                            e.stderr.strip().splitlines() or ["probe failed"])[-1]
                        bar.write(f"warning: {msg}", file=sys.stderr)
                        res.warnings.append(msg)
                    bar.update(1)
    bar.close()
    return res


def main(argv=None) -> None:
    args = parse_args(argv)
    started = time.perf_counter()
    res = run(args)
    os.makedirs(RESULTS_DIR, exist_ok=True)

    images = []
    if not args.no_plot:
        for kind in args.keys:
            image = f"{args.name}_{kind}.png"
            if report.plot(res, kind, os.path.join(RESULTS_DIR, image)):
                images.append(image)
    res.meta["wall time"] = f"{time.perf_counter() - started:.0f} s"

    md = report.markdown(res, images)
    with open(os.path.join(RESULTS_DIR, f"{args.name}.md"), "w") as f:
        f.write(md)
    with open(os.path.join(RESULTS_DIR, f"{args.name}.json"), "w") as f:
        json.dump(res.to_json(), f, indent=1)
    print(md)
    print(f"wrote {os.path.relpath(RESULTS_DIR)}/{args.name}.md, .json"
          + "".join(f", {i}" for i in images), file=sys.stderr)


if __name__ == "__main__":
    main()
