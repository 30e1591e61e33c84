"""Two builds' stage_bench side by side: each benchmark's MB/s in each, and
their ratio, from rounds that alternate between the builds so that both see
the same machine. Also the median over the records of the whole pipeline's
MB/s per record (one_game).

Usage: python bench/compare_stages.py BEFORE_BUILD AFTER_BUILD [--rounds N]
(BUILD is a build folder made with -DKIFUZAN_BUILD_BENCH=ON; the records come
from KIFUZAN_CORPUS or the shared corpus, as for stage_bench itself.)
"""
import argparse
import json
import pathlib
import statistics
import subprocess


def run(build: pathlib.Path, min_time: float) -> dict[str, float]:
    out = subprocess.run([str(build / "bench" / "stage_bench"), "--benchmark_format=json",
                          f"--benchmark_min_time={min_time}"],
                         capture_output=True, text=True, check=True).stdout
    return {b["name"]: b["bytes_per_second"] / 1e6 for b in json.loads(out)["benchmarks"]
            if "bytes_per_second" in b}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("before", type=pathlib.Path)
    ap.add_argument("after", type=pathlib.Path)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--min-time", type=float, default=0.2)
    args = ap.parse_args()
    runs: dict[str, list[dict[str, float]]] = {"before": [], "after": []}
    for _ in range(args.rounds):
        runs["before"].append(run(args.before, args.min_time))
        runs["after"].append(run(args.after, args.min_time))

    def median(side: str, name: str) -> float | None:
        values = [r[name] for r in runs[side] if name in r]
        return statistics.median(values) if values else None

    names = list(dict.fromkeys(n for r in runs["before"] + runs["after"] for n in r))
    print(f"{'benchmark':28} {'before MB/s':>12} {'after MB/s':>12} {'after/before':>13}")
    for name in names:
        b, a = median("before", name), median("after", name)
        ratio = f"{a / b:13.2f}" if a and b else f"{'':13}"
        print(f"{name:28} {b or 0:12.0f} {a or 0:12.0f} {ratio}")
    games = [n for n in names if n.startswith("one_game/")]
    if games:
        b = statistics.median(median("before", n) for n in games)
        a = statistics.median(median("after", n) for n in games)
        print(f"{'median over the records':28} {b:12.0f} {a:12.0f} {a / b:13.2f}")
    print(f"({args.rounds} alternating rounds; each figure is the median of its rounds)")


if __name__ == "__main__":
    main()
