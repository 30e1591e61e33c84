"""mjlog_to_mjai(xml) against tenhou_to_mjai on the same game's tenhou.net/6
text, per shared mjlog record, from Python: the ratio of the two times
(best of --repeat rounds of --number calls each, the two interleaved).

    .venv/bin/python bench/mjlog_ratio.py [--repeat 7] [--number 50]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import timeit
from pathlib import Path

import kifuzan

MJLOG = Path(__file__).resolve().parents[2] / "shared" / "corpus" / "mjlog"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--number", type=int, default=50)
    args = ap.parse_args()
    records = sorted(p for p in MJLOG.glob("*.xml") if p.stem != "three_player")
    if not records:
        sys.exit(f"no records in {MJLOG}")
    ratios = []
    print(f"{'record':40s} {'KiB xml':>8s} {'us mjlog':>9s} {'us json':>8s} {'ratio':>6s}")
    for path in records:
        xml = path.read_text(encoding="utf-8")
        doc = kifuzan.mjlog_to_tenhou6(xml)
        best = [float("inf"), float("inf")]
        for _ in range(args.repeat):
            best[0] = min(best[0], timeit.timeit(lambda: kifuzan.mjlog_to_mjai(xml), number=args.number))
            best[1] = min(best[1], timeit.timeit(lambda: kifuzan.tenhou_to_mjai(doc), number=args.number))
        a, b = (1e6 * t / args.number for t in best)
        ratios.append(a / b)
        print(f"{path.name:40s} {len(xml.encode()) / 1024:8.1f} {a:9.1f} {b:8.1f} {a / b:6.2f}")
    print(f"median ratio mjlog_to_mjai / tenhou_to_mjai: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
