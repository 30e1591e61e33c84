"""Records/s of `kifuzan convert` with -j 1 and -j 2 on the archive as users
hold it: a folder of tenhou.net/6 records, and a phoenix-logs database
(bz2-compressed mjlog XML, a record a row).

Builds both from the shared corpus (at least --records of each; each copy of
an mjlog record gets a log id of its own) in a temporary folder, then times
each command --repeat times into a new output folder, interleaved, and keeps
the best. Prints records/s, the CPU time per record (user + system of the
command), the -j 2 / -j 1 ratios, the share of bz2 decompression in a
database record's cost, and what more cores would give by Amdahl's law from
the measured -j 2 ratio (a projection, not a measurement).

    .venv/bin/python bench/archive_bench.py [--records 3000] [--repeat 3] [--dir /dev/shm]
"""

from __future__ import annotations

import argparse
import bz2
import os
import resource
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SHARED = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def build_folder(root: Path, records: int) -> None:
    originals = sorted((SHARED / "four_player").glob("*.json"))
    for i in range(records):
        dst = root / f"d{i // 100:03d}" / f"{i:05d}.json"
        dst.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(originals[i % len(originals)], dst)


def build_database(path: Path, records: int) -> list[bytes]:
    xmls = [p.read_bytes() for p in sorted((SHARED / "mjlog").glob("[0-9]*.xml"))]
    packed = [bz2.compress(x) for x in xmls]
    db = sqlite3.connect(path)
    db.execute(
        "CREATE TABLE logs(log_id text primary key, date text, is_tonpusen int, is_sanma int, "
        "is_processed int, was_error int, log_content text, log_hash text)"
    )
    db.executemany(
        "INSERT INTO logs VALUES (?, '', 0, 0, 1, 0, ?, '')",
        ((f"2020{i % 12 + 1:02d}0100gm-00a9-0000-{i:08x}", packed[i % len(packed)]) for i in range(records)),
    )
    db.commit()
    db.close()
    return packed


def cpu_of_children() -> float:
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def time_cli(src: Path, out: Path, jobs: int) -> tuple[float, float]:
    command = [sys.executable, "-m", "kifuzan", "convert", str(src), "-o", str(out), "-j", str(jobs), "--quiet"]
    cpu, start = cpu_of_children(), time.perf_counter()
    subprocess.run(command, check=True)
    return time.perf_counter() - start, cpu_of_children() - cpu


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--records", type=int, default=3000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default=None, help="where to build (a tmpfs such as /dev/shm leaves the disk out)")
    args = ap.parse_args()
    if not (SHARED / "four_player").is_dir():
        sys.exit(f"no corpus in {SHARED}")

    with tempfile.TemporaryDirectory(prefix="kifuzan-archive-", dir=args.dir) as tmp:
        root = Path(tmp)
        build_folder(root / "folder", args.records)
        packed = build_database(root / "phoenix.db", args.records)
        n = args.records
        inf = (float("inf"), float("inf"))
        best = {(kind, j): inf for kind in ("folder", "database") for j in (1, 2)}
        for i in range(args.repeat):
            for kind, src in (("folder", root / "folder"), ("database", root / "phoenix.db")):
                for j in (1, 2):
                    best[kind, j] = min(best[kind, j], time_cli(src, root / f"out-{kind}-{j}-{i}", j))
        start = time.perf_counter()
        for k in range(n):
            bz2.decompress(packed[k % len(packed)])
        bz2_seconds = time.perf_counter() - start

        print(f"{n} records each, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}, best of {args.repeat}")
        for (kind, j), (seconds, cpu) in best.items():
            print(f"  {kind:8s} -j {j}  {n / seconds:7.0f} records/s  ({seconds:.2f} s, CPU {1e6 * cpu / n:.0f} us/record)")
        for kind in ("folder", "database"):
            (w1, c1), (w2, c2) = best[kind, 1], best[kind, 2]
            ratio = w1 / w2
            serial = max(0.0, 2 / ratio - 1)  # Amdahl: 1 / (s + (1 - s) / 2) = ratio
            more = ", ".join(f"-j {c}: {1 / (serial + (1 - serial) / c):.2f}x" for c in (4, 8, 16))
            print(f"  {kind:8s} -j 2 / -j 1 = {ratio:.2f} records/s, CPU per record {c2 / c1:.2f}x; projected {more}")
        print(f"  bz2 decompression: {1e6 * bz2_seconds / n:.0f} us/record, "
              f"{bz2_seconds / best['database', 1][0]:.0%} of a -j 1 database run's wall time")


if __name__ == "__main__":
    main()
