"""The containers measured side by side.

A peer is a name, a factory for an empty container, the key kinds it accepts
and an API family. The family picks the timed function of each operation
where the APIs differ (see operations.py); everything else uses the plain
mapping protocol, which all of them share.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Callable

REFERENCE = "SortedDict"


@dataclass(frozen=True)
class Peer:
    name: str            # column label
    family: str          # "sylvan", "dict", "sortedcontainers" or "btrees"
    module: str          # module to import
    attr: str            # factory attribute in that module
    key_kinds: tuple     # key kinds it accepts
    description: str

    def factory(self) -> Callable[[], object]:
        return getattr(importlib.import_module(self.module), self.attr)

    def available(self) -> bool:
        try:
            self.factory()
        except ImportError:
            return False
        return True


PEERS = (
    Peer("SortedDict", "sylvan", "sylvanmap", "SortedDict", ("int", "str", "path"),
         "sylvanmap.SortedDict() with default arguments"),
    Peer("dict", "dict", "builtins", "dict", ("int", "str", "path"),
         "built-in dict (hash table, insertion order)"),
    Peer("sortedcontainers", "sortedcontainers", "sortedcontainers", "SortedDict",
         ("int", "str", "path"), "sortedcontainers.SortedDict (pure Python)"),
    Peer("OOBTree", "btrees", "BTrees.OOBTree", "OOBTree", ("int", "str", "path"),
         "BTrees.OOBTree.OOBTree (object keys and values)"),
    Peer("LOBTree", "btrees", "BTrees.LOBTree", "LOBTree", ("int",),
         "BTrees.LOBTree.LOBTree (int64 keys, object values)"),
)


def by_name(names=None) -> list[Peer]:
    if names is None:
        return list(PEERS)
    wanted = {n.strip().lower() for n in names}
    unknown = wanted - {p.name.lower() for p in PEERS}
    if unknown:
        raise SystemExit(f"unknown peer(s): {', '.join(sorted(unknown))}; "
                         f"choose from {', '.join(p.name for p in PEERS)}")
    return [p for p in PEERS if p.name.lower() in wanted]


def versions() -> dict[str, str]:
    """Installed versions of the peer distributions, for the report header."""
    from importlib import metadata
    out = {}
    for dist in ("sylvanmap", "sortedcontainers", "BTrees"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = "not installed"
    return out
