"""mjlog_to_mjai(xml) against tenhou_to_mjai on the same game's tenhou.net/6
text, per shared mjlog record, from Python: the ratio of the two times
(best of --repeat rounds of --number calls each, the two interleaved).
Then the cost per KiB of the package's record kernel reading three-player
records (the nukidora form) against four-player ones, on each route (mjlog
XML as it is, tenhou.net/6 JSON minified, since the shared documents are
laid out differently): a three-player game should cost no more per byte.

    .venv/bin/python bench/mjlog_ratio.py [--repeat 7] [--number 50]
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import timeit
from pathlib import Path

import kifuzan
from kifuzan._native import convert_record

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
    three = MJLOG.parent / "three_player"
    routes = {
        "mjlog": (records, sorted((three / "xml").glob("*.xml"))),
        "tenhou6": (sorted((MJLOG.parent / "four_player").glob("*.json")), sorted((three / "json").glob("*.json"))),
    }
    for route, (fours, threes) in routes.items():
        if fours and threes:
            per_kib = [_us_per_kib(paths, args) for paths in (fours, threes)]
            print(f"{route}: three-player / four-player per KiB: {per_kib[1] / per_kib[0]:.2f} "
                  f"({per_kib[1]:.1f} against {per_kib[0]:.1f} us/KiB)")


def _us_per_kib(paths: list[Path], args: argparse.Namespace) -> float:
    """Microseconds per KiB of the record kernel over all the records."""
    texts = [p.read_bytes() for p in paths]
    texts = [t if p.suffix == ".xml" else json.dumps(json.loads(t), ensure_ascii=False, separators=(",", ":")).encode()
             for p, t in zip(paths, texts)]
    size = sum(len(t) for t in texts) / 1024

    def run() -> None:
        for t in texts:
            convert_record(t, "mjai", "", "nukidora")

    return 1e6 * min(timeit.timeit(run, number=args.number) for _ in range(args.repeat)) / args.number / size


if __name__ == "__main__":
    main()
