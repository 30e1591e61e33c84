"""Time per game of _kifuzan's two ways of making the list of lines (block by
block from text, whole from a file), against the same functions of another
build of _kifuzan loaded in the same process, as a ratio.

    python bench/lines_ratio.py --baseline OTHER/_kifuzan.cpython-312-*.so [--records DIR]

Without --baseline it prints each function's time per game against
json.loads of the same record (a reference that no change here moves).
Rounds alternate the two sides, so load on a shared machine falls on both.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import pathlib
import statistics
import sys
import time

import _kifuzan

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_RECORDS = ROOT.parent / "shared" / "corpus" / "four_player"


def load_other(path: pathlib.Path):
    # Another file is another module (its own statics), even under one name.
    # Loading it registers it as _kifuzan (and, for builds that share their
    # InternalError, that class too): this process then runs only benchmarks.
    spec = importlib.util.spec_from_file_location("_kifuzan", path)
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    finally:
        sys.modules["_kifuzan"] = _kifuzan
    assert module is not _kifuzan
    return module


def seconds(fn, calls: int) -> float:
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t0) / calls


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--baseline", type=pathlib.Path)
    ap.add_argument("--records", type=pathlib.Path, default=DEFAULT_RECORDS)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--calls", type=int, default=20)
    args = ap.parse_args()

    paths = sorted(args.records.glob("*.json"))
    texts = [p.read_text(encoding="utf-8") for p in paths]
    other = load_other(args.baseline) if args.baseline else None
    for m in (_kifuzan, other):
        if m is not None:  # both give the same lines before anything is timed
            assert [m.tenhou_to_mjai(t) for t in texts] == [_kifuzan.tenhou_file_to_mjai(str(p)) for p in paths]

    def games(m, name):
        if name == "json.loads":
            return lambda: [json.loads(t) for t in texts]
        if name == "tenhou_to_mjai":
            return lambda: [m.tenhou_to_mjai(t) for t in texts]
        return lambda: [m.tenhou_file_to_mjai(str(p)) for p in paths]

    reference = "baseline" if other else "json.loads"
    print(f"{len(paths)} records from {args.records}; median over {args.rounds} rounds of "
          f"{args.calls} calls; this build / {reference}")
    for name in ("tenhou_to_mjai", "tenhou_file_to_mjai"):
        ours = games(_kifuzan, name)
        theirs = games(other, name) if other else games(None, "json.loads")
        ratios, per_game = [], []
        for _ in range(args.rounds):
            a = seconds(ours, args.calls)
            b = seconds(theirs, args.calls)
            ratios.append(a / b)
            per_game.append(a / len(paths))
        print(f"  {name:<20} {statistics.median(ratios):.3f}   "
              f"({statistics.median(per_game) * 1e6:.0f} us per game)")


if __name__ == "__main__":
    main()
