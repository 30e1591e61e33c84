"""Games per second of mjai_to_tenhou6 on one core.

The mjai of each shared tenhou.net/6 record is made first with the installed
converter (tenhou_to_mjai); then, in one process and one run, each of these is
timed over all games, in CPU and in wall time (best of --repeat interleaved passes):
  parse      json.loads of all event lines as one array (a floor: reading them);
  parse/line json.loads of each line, as a plain reader would;
  no score   mjai_to_tenhou6(lines, score=False): the log without scoring;
  full       mjai_to_tenhou6(lines): with every win scored;
  per call   the same, but scoring each win with a new HandConfig, as a plain
             use of the scoring library would (the cost that sharing one saves).
Then the shared engine logs (../shared/corpus/engines, when there), converted
as their engines wrote them: each dialect read, every stated result checked.
--profile prints where the full conversion spends its time (cProfile).

    .venv/bin/python bench/reverse_bench.py [--repeat 5] [--profile] [--records DIR]...
"""

from __future__ import annotations

import argparse
import cProfile
import io
import json
import pstats
import sys
import time
from pathlib import Path

from mahjong.hand_calculating.hand_config import HandConfig

import kifuzan
from kifuzan import scoring

SHARED = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def load(folders: list[Path]) -> list[list[str]]:
    games = []
    for folder in folders:
        for path in sorted(folder.glob("*.json")):
            games.append(kifuzan.tenhou_to_mjai(path.read_text(encoding="utf-8")))
    if not games:
        sys.exit(f"no *.json records in {', '.join(map(str, folders))}")
    return games


def one_pass(fn, games: list[list[str]]) -> tuple[float, float]:
    """Wall and CPU seconds of one pass. On a shared machine the CPU time of
    this process leaves out the time spent waiting for a core."""
    wall, cpu = time.perf_counter(), time.process_time()
    for lines in games:
        fn(lines)
    return time.perf_counter() - wall, time.process_time() - cpu


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--records", type=Path, action="append",
                    help="folder of tenhou.net/6 *.json records (default: the shared four-player records)")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--profile", action="store_true", help="print a cProfile summary of the full conversion")
    args = ap.parse_args()
    games = load(args.records or [SHARED / "four_player"])
    wins = sum(line.startswith('{"type":"hora"') for lines in games for line in lines)
    print(f"{len(games)} games, {sum(map(len, games))} events, {wins} wins; best of {args.repeat}")

    class FreshConfig(scoring.Scorer):
        def score(self, *a, **k):
            self._config = HandConfig(options=self._config.options)
            return super().score(*a, **k)

    def per_call(lines: list[str]) -> str:
        plain = scoring.Scorer
        scoring.Scorer = FreshConfig
        kifuzan.reverse.Scorer = FreshConfig
        try:
            return kifuzan.mjai_to_tenhou6(lines)
        finally:
            scoring.Scorer = plain
            kifuzan.reverse.Scorer = plain

    rows = [
        ("parse", lambda lines: json.loads("[" + ",".join(lines) + "]")),
        ("parse/line", lambda lines: [json.loads(x) for x in lines]),
        ("no score", lambda lines: kifuzan.mjai_to_tenhou6(lines, score=False)),
        ("full", kifuzan.mjai_to_tenhou6),
        ("per call", per_call),
    ]
    wall = {name: float("inf") for name, _ in rows}
    cpu = dict(wall)
    for _ in range(args.repeat):  # interleaved, so that drift hits every row alike
        for name, fn in rows:
            w, c = one_pass(fn, games)
            wall[name], cpu[name] = min(wall[name], w), min(cpu[name], c)
    print(f"{'':10} {'games/s':>9} {'CPU ms/game':>12} {'x full':>7}   {'wall games/s':>12} {'x full':>7}")
    for name, _ in rows:
        c, w = cpu[name], wall[name]
        print(f"{name:10} {len(games) / c:9.1f} {1000 * c / len(games):12.2f} {c / cpu['full']:7.2f}"
              f"   {len(games) / w:12.1f} {w / wall['full']:7.2f}")

    engines = [p.read_text(encoding="utf-8") for p in sorted((SHARED / "engines").glob("*.mjson"))]
    if engines and not args.records:
        best_cpu = best_wall = float("inf")
        for _ in range(args.repeat):
            w, c = one_pass(kifuzan.mjai_to_tenhou6, engines)
            best_cpu, best_wall = min(best_cpu, c), min(best_wall, w)
        events = sum(t.count("\n") for t in engines)
        print(f"engine logs: {len(engines)} games, {events} events: {len(engines) / best_cpu:.1f} games/s, "
              f"{1e6 * best_cpu / events:.2f} CPU µs/event (wall {len(engines) / best_wall:.1f} games/s)")

    if args.profile:
        prof = cProfile.Profile()
        prof.enable()
        for _ in range(args.repeat):
            for lines in games:
                kifuzan.mjai_to_tenhou6(lines)
        prof.disable()
        out = io.StringIO()
        pstats.Stats(prof, stream=out).sort_stats("tottime").print_stats(15)
        print(out.getvalue())


if __name__ == "__main__":
    main()
