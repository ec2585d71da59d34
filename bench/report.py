"""Markdown tables and log-log plots of the results."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field

from operations import MEMORY_TITLE, OPS, Op

@dataclass
class Results:
    peers: list                                  # peer names, column order
    reference: str                               # ratios are peer time / reference time
    family: dict                                 # peer name -> family
    sizes: list
    kinds: list
    ops: list                                    # Op objects measured
    timings: dict = field(default_factory=dict)  # (kind, op name, n) -> {peer: ns or None}
    memory: dict = field(default_factory=dict)   # (kind, n) -> {peer: {"traced", "rss"}}
    meta: dict = field(default_factory=dict)
    warnings: list = field(default_factory=list)

    def peers_for(self, kind):
        return [p for p in self.peers
                if any(p in row for (k, _, _), row in self.timings.items() if k == kind)
                or any(p in row for (k, _), row in self.memory.items() if k == kind)]

    def memory_per_item(self, kind, n, peer, figure="heap"):
        m = self.memory.get((kind, n), {}).get(peer)
        return m[figure] / n if m else None

    def to_json(self) -> dict:
        return {
            "meta": self.meta,
            "reference": self.reference,
            "warnings": self.warnings,
            "timings_ns_per_unit": [
                {"keys": k, "op": op, "n": n, "unit": _op(op).unit, **row}
                for (k, op, n), row in self.timings.items()],
            "memory_bytes": [
                {"keys": k, "n": n, "peer": p, **m}
                for (k, n), row in self.memory.items() for p, m in row.items()],
        }


def _op(name) -> Op:
    return next(op for op in OPS if op.name == name)


# --- formatting --------------------------------------------------------------

def fmt_num(x) -> str:
    if x is None:
        return "n/a"
    if x < 10:
        return f"{x:.2f}"
    if x < 100:
        return f"{x:.1f}"
    return f"{x:,.0f}"


def fmt_ratio(peer, ref) -> str:
    if peer is None or ref is None or ref <= 0:
        return ""
    r = peer / ref
    return f"{r:.0f}×" if r >= 10 else f"{r:.2g}×" if r >= 1 else f"{r:.2f}×"


def fmt_n(n: int) -> str:
    e = math.log10(n)
    return f"10^{e:.0f}" if e == int(e) else f"{n:,}"


def cell(value, ref, is_ref, noted=False) -> str:
    mark = " †" if noted else ""
    if value is None:
        return "n/a" + mark
    if is_ref:
        return fmt_num(value) + mark
    return f"{fmt_num(value)} ({fmt_ratio(value, ref)}){mark}"


def table(header, rows, align) -> list[str]:
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join("---:" if a == "r" else ":---" for a in align) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return out


# --- markdown ------------------------------------------------------------------

def markdown(res: Results, images: list[str]) -> str:
    meta, ref = res.meta, res.reference
    lines = [f"# sylvanmap benchmarks ({meta.get('mode', 'full')} run)", ""]
    lines += table(["", ""], [[k, str(v)] for k, v in meta.items() if k != "mode"], "ll")
    lines += ["",
              f"Times are ns per unit: per **item** for whole-container operations "
              f"(n items each), per **query** for `irange` either way (including iterating the keys "
              f"it yields), per **call** for `min()`/`max()`. Each figure is the best "
              f"of the interleaved runs, timed with the cyclic GC disabled. In "
              f"parentheses: peer time / {ref} time, so **>1 means {ref} is faster**. "
              f"Timings include the Python loop that drives the operation "
              f"(an empty `for` loop costs {meta.get('empty loop (ns/iteration)', '?')} ns "
              f"per iteration here). Cells marked † are emulations or differ in meaning; "
              f"see the notes. Nothing here is asserted: these are measurements.", ""]
    for w in res.warnings:
        lines.append(f"> **warning:** {w}")
    if res.warnings:
        lines.append("")

    if "int" in res.kinds and res.sizes:
        lines += headline(res, "int", max(res.sizes))

    for kind in res.kinds:
        peers = res.peers_for(kind)
        if not peers:
            continue
        lines += [f"## {kind} keys", ""]
        rows = []
        for op in res.ops:
            for n in res.sizes:
                row = res.timings.get((kind, op.name, n))
                if row is None:
                    continue
                refv = row.get(ref)
                rows.append([f"{op.title} (ns/{op.unit})", fmt_n(n)] +
                            [cell(row.get(p), refv, p == ref, op.note(res.family[p]) is not None)
                             for p in peers])
        if rows:
            lines += table(["operation", "n"] + peers, rows, "lr" + "r" * len(peers)) + [""]
        lines += memory_table(res, kind, peers)

    for image in images:
        lines += [f"![{os.path.splitext(image)[0]}]({image})", ""]
    lines += notes(res)
    return "\n".join(lines).rstrip() + "\n"


def headline(res: Results, kind: str, n: int) -> list[str]:
    ref = res.reference
    peers = [p for p in res.peers_for(kind) if p != ref]
    rows = []
    for op in res.ops:
        row = res.timings.get((kind, op.name, n))
        if row is None:
            continue
        refv = row.get(ref)
        rows.append([op.title, f"{fmt_num(refv)} ns/{op.unit}"] +
                    [(fmt_ratio(row.get(p), refv) or "n/a") +
                     (" †" if op.note(res.family[p]) else "") for p in peers])
    mem = res.memory.get((kind, n))
    if mem and ref in mem:
        refm = res.memory_per_item(kind, n, ref)
        rows.append(["memory per item", f"{fmt_num(refm)} B/item"] +
                    [fmt_ratio(res.memory_per_item(kind, n, p), refm) or "n/a" for p in peers])
    if not rows:
        return []
    return ([f"## Headline: {fmt_n(n)} {kind} keys, peer / {ref}", "",
             f"Ratio of each peer's time (or bytes) to {ref}'s; >1 means {ref} is "
             f"faster (or smaller).", ""] +
            table(["operation", ref] + peers, rows, "lr" + "r" * len(peers)) + [""])


def memory_table(res: Results, kind: str, peers: list[str]) -> list[str]:
    ref = res.reference
    sizes = [n for n in res.sizes if (kind, n) in res.memory]
    if not sizes:
        return []
    rows = [[fmt_n(n)] + [cell(res.memory_per_item(kind, n, p),
                               res.memory_per_item(kind, n, ref), p == ref) for p in peers]
            for n in sizes]
    other = [[fmt_n(n)] + ["n/a" if res.memory_per_item(kind, n, p) is None else
                           f"{fmt_num(res.memory_per_item(kind, n, p, 'traced'))} / "
                           f"{fmt_num(res.memory_per_item(kind, n, p, 'rss'))}" for p in peers]
             for n in sizes]
    return ([f"### {MEMORY_TITLE}, {kind} keys (bytes/item)", "",
             "Keys and values are created before the container and are not counted. "
             "Each container is built by random inserts in a fresh interpreter running "
             "with `PYTHONMALLOC=malloc`; the figure is the growth of malloc's in-use "
             "bytes (`mallinfo2`), which sees Python objects and a C extension's own "
             "allocations alike, chunk overheads included.", ""] +
            table(["n"] + peers, rows, "r" * (len(peers) + 1)) +
            ["", "Cross-check, bytes/item: tracemalloc (only allocations made through "
                 "Python's allocator API) / resident-set growth (page-granular, noisy at "
                 "small n):", ""] +
            table(["n"] + peers, other, "r" * (len(peers) + 1)) + [""])


def notes(res: Results) -> list[str]:
    out = []
    for op in res.ops:
        for peer in res.peers:
            note = op.note(res.family[peer])
            if note:
                out.append(f"- **{op.title}**, {peer}: {note}")
    if not out:
        return []
    return ["## Notes (†)", ""] + out + [""]


# --- plots -----------------------------------------------------------------------

def plot(res: Results, kind: str, path: str) -> bool:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    peers = res.peers_for(kind)
    panels = [op for op in res.ops if any((kind, op.name, n) in res.timings for n in res.sizes)]
    has_memory = any((kind, n) in res.memory for n in res.sizes)
    count = len(panels) + has_memory
    if count == 0:
        return False
    cols = min(4, count)
    rows = math.ceil(count / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(3.4 * cols, 2.8 * rows), squeeze=False)
    colors = {p: f"C{i}" for i, p in enumerate(res.peers)}

    def draw(ax, title, ylabel, series):
        for peer in peers:
            pts = [(n, v) for n, v in series(peer) if v is not None and v > 0]
            if pts:
                xs, ys = zip(*pts)
                ax.plot(xs, ys, marker="o", markersize=3, color=colors[peer], label=peer,
                        linewidth=2.2 if peer == res.reference else 1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        lo, hi = ax.get_ylim()
        # enough labels even when a panel spans less than a decade
        subs = (1.0,) if hi / lo > 100 else (1.0, 2.0, 5.0) if hi / lo > 4 else range(1, 10)
        ax.yaxis.set_major_locator(LogLocator(base=10, subs=subs))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.10g}"))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.set_title(title, fontsize=9)
        ax.set_ylabel(ylabel, fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(True, which="major", alpha=0.3)

    flat = list(axes.flat)
    for ax, op in zip(flat, panels):
        draw(ax, op.title, f"ns/{op.unit}",
             lambda p, op=op: [(n, res.timings.get((kind, op.name, n), {}).get(p))
                               for n in res.sizes])
    if has_memory:
        draw(flat[len(panels)], "memory per item", "bytes/item",
             lambda p: [(n, res.memory_per_item(kind, n, p)) for n in res.sizes])
    for ax in flat[count:]:
        ax.axis("off")
    for ax in flat[max(0, count - cols):count]:
        ax.set_xlabel("n (items)", fontsize=8)
    handles, labels = flat[0].get_legend_handles_labels()
    fig.suptitle(f"{kind} keys: time (or bytes) per unit vs size, log-log, lower is better",
                 fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.7 / (2.8 * rows)))
    fig.legend(handles, labels, loc="upper center", ncol=len(labels), fontsize=9,
               bbox_to_anchor=(0.5, 1 - 0.3 / (2.8 * rows)), frameon=False)
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return True
