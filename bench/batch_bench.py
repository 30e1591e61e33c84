"""Throughput of `kifuzan convert` with -j 1 and -j 2 against a plain loop.

Builds a folder of copies of the corpus records (at least --records of them)
in a temporary folder, then times, each --repeat times into a new output
folder (best kept; nothing is deleted until the end, since ext4 makes new
files slow for a while after many were deleted):
  loop   tenhou_file_to_mjai(src, out) for every record, in this process;
  -j 1   `kifuzan convert SRC -o OUT -j 1 --quiet` (process start included);
  -j 2   the same with -j 2;
  many   kifuzan.convert_many(SRC, OUT, workers=1) in this process;
  thr 2  two threads of this process, each reading a record, handing it
         to the native converter (which releases the GIL) and writing it.
Prints records/s, the CPU time used per record (user + system, workers
included: on a machine shared with other work the wall-clock ratio can only
be as good as the idle cores allow), and the ratios.

    .venv/bin/python bench/batch_bench.py [--records 2000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import kifuzan

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus" / "four_player"


def build_folder(root: Path, records: int) -> list[Path]:
    originals = sorted(CORPUS.glob("*.json"))
    if not originals:
        sys.exit(f"no records in {CORPUS}")
    paths = []
    for i in range(records):
        src = originals[i % len(originals)]
        # 100 records a folder, like an archive split by day.
        dst = root / f"d{i // 100:03d}" / f"{i:05d}_{src.name}"
        dst.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(src, dst)
        paths.append(dst)
    return paths


def cpu_seconds() -> float:
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def time_loop(paths: list[Path], out: Path) -> tuple[float, float]:
    out.mkdir(parents=True)
    cpu, start = cpu_seconds(), time.perf_counter()
    for p in paths:
        kifuzan.tenhou_file_to_mjai(p, out / (p.stem + ".mjson"))
    return time.perf_counter() - start, cpu_seconds() - cpu


def time_cli(src: Path, out: Path, jobs: int) -> tuple[float, float]:
    command = [sys.executable, "-m", "kifuzan", "convert", str(src), "-o", str(out), "-j", str(jobs), "--quiet"]
    cpu, start = cpu_seconds(), time.perf_counter()
    subprocess.run(command, check=True)
    return time.perf_counter() - start, cpu_seconds() - cpu


def time_many(src: Path, out: Path) -> tuple[float, float]:
    cpu, start = cpu_seconds(), time.perf_counter()
    kifuzan.convert_many(src, out, workers=1, progress=False)
    return time.perf_counter() - start, cpu_seconds() - cpu


def time_threads(paths: list[Path], out: Path) -> tuple[float, float]:
    from concurrent.futures import ThreadPoolExecutor

    from kifuzan._native import convert_record

    jobs = [(p, out / p.parent.name / (p.stem + ".mjson")) for p in paths]
    for folder in {o.parent for _, o in jobs}:
        folder.mkdir(parents=True, exist_ok=True)

    def one(job: tuple[Path, Path]) -> None:
        job[1].write_bytes(convert_record(job[0].read_bytes()))

    cpu, start = cpu_seconds(), time.perf_counter()
    with ThreadPoolExecutor(2) as ex:
        list(ex.map(one, jobs, chunksize=64))
    return time.perf_counter() - start, cpu_seconds() - cpu


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--records", type=int, default=2000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default=None,
                    help="where to put the records and outputs (default: the system's temporary folder); "
                         "a tmpfs such as /dev/shm takes the disk's file creation out of the figures")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="kifuzan-bench-", dir=args.dir) as tmp:
        root = Path(tmp)
        paths = build_folder(root / "src", args.records)
        n = len(paths)
        inf = (float("inf"), float("inf"))
        best = {"loop": inf, "-j 1": inf, "-j 2": inf, "many": inf, "thr 2": inf}
        for i in range(args.repeat):
            # Interleaved, so a burst of load from elsewhere hurts all three alike.
            best["loop"] = min(best["loop"], time_loop(paths, root / f"loop{i}"))
            best["-j 1"] = min(best["-j 1"], time_cli(root / "src", root / f"j1-{i}", 1))
            best["-j 2"] = min(best["-j 2"], time_cli(root / "src", root / f"j2-{i}", 2))
            best["many"] = min(best["many"], time_many(root / "src", root / f"many-{i}"))
            best["thr 2"] = min(best["thr 2"], time_threads(paths, root / f"thr-{i}"))
        print(f"{n} records, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}, best of {args.repeat}")
        for name, (seconds, cpu) in best.items():
            print(f"  {name:5s} {n / seconds:8.0f} records/s  ({seconds:.2f} s, CPU {1e6 * cpu / n:.0f} us/record)")
        best = {name: seconds for name, (seconds, _) in best.items()}
        print(f"  -j 2 / -j 1 = {best['-j 1'] / best['-j 2']:.2f}")
        print(f"  -j 1 / loop = {best['loop'] / best['-j 1']:.2f}")
        print(f"  -j 2 / loop = {best['loop'] / best['-j 2']:.2f}")
        print(f"  many / loop = {best['loop'] / best['many']:.2f}")
        print(f"  thr 2 / many = {best['many'] / best['thr 2']:.2f}")
        print(f"  thr 2 / -j 2 = {best['-j 2'] / best['thr 2']:.2f}")


if __name__ == "__main__":
    main()
