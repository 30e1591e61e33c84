"""Side-by-side speed, scaling and memory of the conversion, as ratios measured
in one run against references that run in the same process on the same input.

    python bench/run.py [--records DIR] [--quick]

Prints one table per measurement. Every figure is a median over repeated
timings; machines here are shared and noisy, so the ratios are what to read.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import _kifuzan

try:
    import orjson
except ImportError:  # a benchmark-only dependency
    orjson = None

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_RECORDS = ROOT.parent / "shared" / "corpus" / "four_player"


def timed(fn, *, min_time: float) -> float:
    """Median seconds per call of fn, over batches that each run min_time."""
    fn()
    n = 1
    while True:  # size a batch to about min_time / 5
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        if dt > min_time / 5 or n > 1 << 20:
            break
        n *= 2
    samples = []
    gc.disable()
    try:
        for _ in range(5):
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            samples.append((time.perf_counter() - t0) / n)
    finally:
        gc.enable()
    return statistics.median(samples)


def table(title: str, header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    print(f"\n{title}")
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))


def speed(records: list[pathlib.Path], min_time: float) -> None:
    rows, ratios = [], {"floor": [], "split": [], "json": [], "orjson": []}
    for path in records:
        text = path.read_text(encoding="utf-8")
        lines = _kifuzan.tenhou_to_mjai(text)
        encoded = [line.encode() for line in lines]
        blob = "\n".join(lines).encode()
        t_conv = timed(lambda: _kifuzan.tenhou_to_mjai(text), min_time=min_time)
        # The floor: a str per event line from UTF-8 bytes already in memory.
        t_floor = timed(lambda: [b.decode() for b in encoded], min_time=min_time)
        # The same strs made by one C-level decode and split, a lower floor.
        t_split = timed(lambda: blob.decode().split("\n"), min_time=min_time)
        t_json = timed(lambda: json.loads(text), min_time=min_time)
        t_orjson = timed(lambda: orjson.loads(text), min_time=min_time) if orjson else float("nan")
        r = {"floor": t_conv / t_floor, "split": t_conv / t_split, "json": t_conv / t_json,
             "orjson": t_conv / t_orjson}
        for k, v in r.items():
            ratios[k].append(v)
        rows.append([path.name, f"{len(text.encode()) / 1024:.1f}", str(len(lines)), f"{t_conv * 1e6:.1f}",
                     f"{r['floor']:.2f}", f"{r['split']:.2f}", f"{r['json']:.2f}", f"{r['orjson']:.2f}",
                     f"{len(text.encode()) / t_conv / 1e6:.0f}"])
    rows.append(["median", "", "", "", *(f"{statistics.median(ratios[k]):.2f}" for k in ratios), ""])
    table("tenhou_to_mjai(text) against references on the same text (ratios: time of tenhou_to_mjai / time of the reference)",
          ["record", "KiB", "events", "us/call", "/floor", "/split-floor", "/json.loads", "/orjson.loads", "MB/s"],
          rows)
    print("floor: [b.decode() for b in lines] over the output lines as bytes; split-floor: "
          "blob.decode().split('\\n') over the same bytes joined")


def files(records: list[pathlib.Path], min_time: float) -> None:
    rows, ratios = [], []
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "out.mjson"
        for path in records:
            data = "".join(line + "\n" for line in _kifuzan.tenhou_file_to_mjai(path)).encode()

            def plain():
                with open(path, "rb") as f:
                    f.read()
                with open(out, "wb") as f:
                    f.write(data)

            t_conv = timed(lambda: _kifuzan.tenhou_file_to_mjai(path, out), min_time=min_time)
            t_plain = timed(plain, min_time=min_time)
            ratios.append(t_conv / t_plain)
            rows.append([path.name, f"{t_conv * 1e6:.1f}", f"{t_plain * 1e6:.1f}", f"{t_conv / t_plain:.2f}"])
    rows.append(["median", "", "", f"{statistics.median(ratios):.2f}"])
    table("tenhou_file_to_mjai(path, out) against reading the file and writing the same bytes with Python file calls",
          ["record", "us/call", "plain us", "ratio"], rows)


def synthetic(path: pathlib.Path, kyoku: int) -> str:
    doc = json.loads(path.read_text(encoding="utf-8"))
    log = doc["log"]
    doc["log"] = [log[i % len(log)] for i in range(kyoku)]
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":"))


def scaling(path: pathlib.Path, min_time: float, sizes: list[int]) -> None:
    rows, per, floor = [], {}, {}
    for n in sizes:
        text = synthetic(path, n)
        encoded = [line.encode() for line in _kifuzan.tenhou_to_mjai(text)]
        t = timed(lambda: _kifuzan.tenhou_to_mjai(text), min_time=min_time)
        t_floor = timed(lambda: [b.decode() for b in encoded], min_time=min_time)
        per[n], floor[n] = t / n, t_floor / n
        rows.append([str(n), f"{len(text.encode()) / 1024:.0f}", f"{t * 1e3:.2f}", f"{t / n * 1e6:.2f}",
                     f"{t_floor / n * 1e6:.2f}"])
    table(f"scaling: kyoku of {path.name} repeated", ["kyoku", "KiB", "ms/call", "us/kyoku", "floor us/kyoku"], rows)
    if 10 in per and sizes[-1] in per:
        print(f"cost per kyoku at {sizes[-1]} / at 10: {per[sizes[-1]] / per[10]:.2f} "
              f"(the floor's: {floor[sizes[-1]] / floor[10]:.2f})")


MEMORY_CHILD = r"""
import resource, sys, _kifuzan
text = open(sys.argv[1], encoding="utf-8").read()
def rss():
    with open("/proc/self/status") as f:
        return {k: int(v.split()[0]) * 1024 for k, v in (l.split(":", 1) for l in f) if k in ("VmRSS", "VmHWM")}
before = rss()["VmRSS"]
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset the peak to the current RSS
lines = _kifuzan.tenhou_to_mjai(text)
peak = rss()["VmHWM"]
result = sys.getsizeof(lines) + sum(sys.getsizeof(l) for l in lines)
print(len(text.encode()), sum(len(l) + 1 for l in lines), peak - before, result)
"""


def memory(path: pathlib.Path, kyoku: int) -> None:
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8", delete=False) as f:
        f.write(synthetic(path, kyoku))
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, f.name], capture_output=True, text=True,
                             check=True).stdout.split()
    finally:
        os.unlink(f.name)
    n_in, n_out, growth, result = map(int, out)
    table(f"memory: converting the {kyoku}-kyoku game once (peak RSS growth during the call; the result "
          "list with its str objects)",
          ["input MiB", "output MiB", "result MiB", "peak growth MiB", "/input", "beyond result / result"],
          [[f"{n_in / 2**20:.1f}", f"{n_out / 2**20:.1f}", f"{result / 2**20:.1f}", f"{growth / 2**20:.1f}",
            f"{growth / n_in:.2f}", f"{(growth - result) / result:.2f}"]])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--records", type=pathlib.Path, default=DEFAULT_RECORDS,
                    help="folder of tenhou.net/6 *.json records (default: the shared corpus)")
    ap.add_argument("--quick", action="store_true", help="tiny run, to show the command works")
    args = ap.parse_args()
    records = sorted(args.records.glob("*.json")) if args.records.is_dir() else []
    if not records:
        records = [ROOT / "examples" / "sample_game.json"]
    min_time = 0.01 if args.quick else 0.5
    print(f"python {sys.version.split()[0]}, _kifuzan {_kifuzan.__version__}, orjson "
          f"{orjson.__version__ if orjson else 'not installed'}, {len(records)} records from {records[0].parent}")
    if args.quick:
        records = records[:1]
    speed(records, min_time)
    files(records, min_time)
    biggest = max(records, key=lambda p: p.stat().st_size)
    scaling(biggest, min_time, [1, 10] if args.quick else [1, 10, 100, 1000])
    memory(biggest, 10 if args.quick else 1000)


if __name__ == "__main__":
    main()
