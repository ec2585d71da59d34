"""The manual's figures and tables, made from committed results (no benchmark runs). Figures: for each key kind
of a results JSON, each peer's time divided by SortedDict's against the size, one panel per operation; above 1.0
SortedDict is faster; a point the run could not measure is drawn as a hollow marker on the panel's floor. Tables
(Markdown, included by docs/performance.md): SortedDict's time and each peer's ratio at one size. Every figure and
table carries its run's date, commit, CPU and interpreter.

    python bench/plots.py OUTDIR          (what make docs runs)
"""

import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)
import matplotlib.ticker  # noqa: E402

from operations import OPS  # noqa: E402
from report import fmt_num, fmt_ratio  # noqa: E402

RESULTS = Path(__file__).parent / "results"
TITLES = {op.name: op.title for op in OPS}
# Colour-blind-safe colours (Okabe-Ito), each peer with its own marker and dash too.
STYLE = {"dict": ("#0072B2", "o", "-"), "sortedcontainers": ("#E69F00", "s", "--"),
         "OOBTree": ("#009E73", "^", "-."), "LOBTree": ("#CC79A7", "D", ":")}
FIGURES = [  # (results file, ops, key kinds, output stem)
    ("results.json", ["build_random", "getitem_hit", "get_miss", "getitem_hit_fresh", "delete_random",
                      "iter_forward", "irange_10", "floor_key", "delete_range_10pct", "copy", "pickle_loads",
                      "update_dict"], ["int", "str", "path"], "results"),
    ("positions.json", ["key_at", "item_at", "index", "bisect_left", "islice_10", "getitem_hit"],
     ["int", "str"], "positions"),
]


def provenance(meta):
    python = meta["Python"].split(" (")[0]
    return (f"{meta['date']}, commit {meta['commit']}, {meta['CPU']}, CPython {python}, "
            f"load average at start {meta['load average at start']}")


def draw(results, ops, kind, out):
    rows = [r for r in results["timings_ns_per_unit"] if r["keys"] == kind]
    peers = [p for p in STYLE if any(r.get(p) is not None for r in rows)]
    sizes = sorted({r["n"] for r in rows})
    ops = [op for op in ops if any(r["op"] == op for r in rows)]
    cols = 3
    fig, axes = plt.subplots((len(ops) + cols - 1) // cols, cols, figsize=(11, 2.9 * ((len(ops) + 2) // 3)),
                             squeeze=False, sharex=True)
    for ax, op in zip(axes.flat, ops):
        by_n = {r["n"]: r for r in rows if r["op"] == op}
        ratios = [by_n[n][p] / by_n[n]["SortedDict"] for n in sizes for p in peers
                  if n in by_n and by_n[n].get(p) and by_n[n].get("SortedDict")]
        floor = min(ratios + [1.0]) / 1.6
        for peer in peers:
            color, marker, dash = STYLE[peer]
            xs, ys, gaps = [], [], []
            for n in sizes:
                row = by_n.get(n, {})
                if row.get(peer) and row.get("SortedDict"):
                    xs.append(n)
                    ys.append(row[peer] / row["SortedDict"])
                elif peer in row or n in by_n:
                    gaps.append(n)
            ax.plot(xs, ys, color=color, marker=marker, linestyle=dash, markersize=6, linewidth=1.6, label=peer)
            ax.plot(gaps, [floor] * len(gaps), color=color, marker=marker, linestyle="none", markersize=8,
                    markerfacecolor="white", markeredgewidth=1.5)
        ax.axhline(1.0, color="black", linewidth=1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(sizes, [f"$10^{len(str(n)) - 1}$" for n in sizes])
        ax.set_title(TITLES.get(op, op), fontsize=11)
        plain = matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}")
        ax.yaxis.set_major_formatter(plain)
        ax.yaxis.set_minor_formatter(plain)
        ax.tick_params(labelsize=10)
        ax.tick_params(which="minor", labelsize=8)
        ax.grid(True, which="major", alpha=0.3)
    for ax in axes.flat[len(ops):]:
        ax.set_visible(False)
    for ax in axes[:, 0]:
        ax.set_ylabel("peer time / SortedDict", fontsize=10)
    for ax in axes[-1, :]:
        ax.set_xlabel("items in the container", fontsize=10)
    handles = [plt.Line2D([], [], color=STYLE[p][0], marker=STYLE[p][1], linestyle=STYLE[p][2], markersize=7,
                          label=p) for p in peers]
    handles.append(plt.Line2D([], [], color="black", linewidth=1.2, label="1.0: as fast as SortedDict"))
    handles.append(plt.Line2D([], [], color="grey", marker="o", linestyle="none", markerfacecolor="white",
                              markersize=8, label="hollow, at the floor: not measured"))
    fig.suptitle(f"{kind} keys: above 1.0 SortedDict is faster", fontsize=13, y=1.0)
    fig.legend(handles=handles, loc="lower center", ncol=3, fontsize=10, frameon=False,
               bbox_to_anchor=(0.5, -0.06))
    fig.text(0.5, -0.1, provenance(results["meta"]), ha="center", fontsize=9)
    fig.tight_layout()
    fig.savefig(out, bbox_inches="tight")
    plt.close(fig)


FAMILY = {"dict": "dict", "sortedcontainers": "sortedcontainers", "OOBTree": "btrees", "LOBTree": "btrees"}
TABLES = [  # (results file, key kinds, size, ops or None for all, output name)
    ("results.json", ["int"], 10**6, None, "headline"),
    ("results.json", ["str", "path"], 10**6, ["build_random", "getitem_hit", "get_miss", "contains",
                                              "getitem_hit_fresh", "get_miss_fresh", "contains_fresh",
                                              "delete_random", "irange_10", "floor_key", "update_dict"], "strs"),
    ("positions.json", ["int", "str"], 10**3, None, "positions_small"),
    ("positions.json", ["int", "str"], 10**6, None, "positions_large"),
    ("queries.json", ["int", "str"], 10**6, None, "queries"),
    ("protocols.json", ["int", "str"], 10**6, None, "protocols"),
]


def table(results, kinds, n, ops, out):
    rows = [r for r in results["timings_ns_per_unit"] if r["n"] == n and r["keys"] in kinds]
    peers = [p for p in STYLE if any(r.get(p) is not None for r in rows)]
    order = ops or [op.name for op in OPS]
    notes = {op.name: op for op in OPS}
    meta = results["meta"]
    lines = [f"*Run of {provenance(meta)}: `{meta['command']}`. At {n:,} keys; SortedDict's time, then each "
             f"peer's time divided by it (above 1: SortedDict is faster); † an emulation (see "
             f"`bench/operations.py`); n/a: not measured.*", "",
             "| operation | keys | SortedDict | " + " | ".join(peers) + " |",
             "|:---|:---|---:|" + "---:|" * len(peers)]
    for name in order:
        for kind in kinds:
            row = next((r for r in rows if r["op"] == name and r["keys"] == kind), None)
            if row is None:
                continue
            ref = row.get("SortedDict")
            cells = []
            for p in peers:
                dagger = " †" if name in notes and notes[name].note(FAMILY[p]) else ""
                if p not in row and kind != "int" and p == "LOBTree":
                    cells.append("")
                elif row.get(p) is not None and ref and row[p] / ref < 0.01:
                    cells.append("‡")  # BTrees' copy.copy shares the persistent state: not a copy
                else:
                    cells.append((fmt_ratio(row.get(p), ref) or "n/a") + dagger)
            lines.append(f"| {TITLES.get(name, name)} | {kind} | {fmt_num(ref)} ns/{row['unit']} | "
                         + " | ".join(cells) + " |")
    memory = [m for m in results.get("memory_bytes", []) if m["n"] == n and m["keys"] in kinds]
    for kind in kinds if ops is None else []:
        by_peer = {m["peer"]: m["heap"] / n for m in memory if m["keys"] == kind}
        if by_peer.get("SortedDict"):
            ref = by_peer["SortedDict"]
            lines.append(f"| memory per item | {kind} | {ref:.1f} B | "
                         + " | ".join(fmt_ratio(by_peer.get(p), ref) or "n/a" for p in peers) + " |")
    out.write_text("\n".join(lines) + "\n")


def main(outdir):
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    for name, ops, kinds, stem in FIGURES:
        results = json.loads((RESULTS / name).read_text())
        for kind in kinds:
            draw(results, ops, kind, outdir / f"{stem}_{kind}.svg")
    for name, kinds, n, ops, stem in TABLES:
        table(json.loads((RESULTS / name).read_text()), kinds, n, ops, outdir / f"{stem}.md")
    print(f"plots: {len(list(outdir.glob('*.svg')))} figures and {len(TABLES)} tables in {outdir}")


if __name__ == "__main__":
    main(sys.argv[1])
