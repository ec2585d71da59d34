"""Reads ThreadSanitizer's report files (TSAN_OPTIONS=log_path=DIR/report) and fails when any report has
a frame in this module's code; reports wholly inside the interpreter are counted and left alone (the
interpreter is built with GCC, whose ThreadSanitizer does not model some of its fences).

    python tools/tsan-reports.py DIR
"""

import re
import sys
from pathlib import Path

OURS = re.compile(r"sylvanmap|_sylvanmap_probe|/src/(\w+/)?\w+\.(h|cpp)\b")


def main(directory: str) -> int:
    reports = []
    for path in sorted(Path(directory).glob("report*")):
        reports += [r for r in path.read_text(errors="replace").split("==================") if "ThreadSanitizer" in r]
    ours = [r for r in reports if any(OURS.search(line) for line in r.splitlines() if line.strip().startswith("#"))]
    for report in ours:
        print(report.strip(), end="\n\n")
    print(f"tsan-reports: {len(reports)} reports, {len(ours)} in this module's code")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
