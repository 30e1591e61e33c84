"""Repeated calls on every path leave Python and process memory flat."""

from __future__ import annotations

import gc
import os
import resource
import tempfile
import tracemalloc
from pathlib import Path

import pytest

from _kifuzan import tenhou_file_to_mjai, tenhou_to_mjai
from conftest import STAGE_IDS, STAGE_TEXTS, dump, no_asan, tiny_log

CALLS = 20_000
WARM_UP = 1_000
# A leak of even one small object or buffer per call grows far past these.
TRACED_LIMIT = 64 * 1024
RSS_LIMIT = 2 * 1024 * 1024

PAGE = resource.getpagesize()


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Weird:
    def __fspath__(self):
        return 42


def make_cases(tmp_path):
    tiny = dump(tiny_log())
    game = tmp_path / "game.json"
    game.write_text(tiny, encoding="utf-8")
    bad_utf8 = tmp_path / "bad.json"
    bad_utf8.write_bytes(b'{"log":[],"name":["\xff"]}')
    out = str(tmp_path / "out.mjson")
    missing_dir_out = str(tmp_path / "missing" / "out.mjson")
    cases = {
        "text-ok": lambda: tenhou_to_mjai(tiny),
        "text-keyword": lambda: tenhou_to_mjai(data=tiny),
        "text-binding": lambda: tenhou_to_mjai(tiny, tiny),
        "text-unexpected-keyword": lambda: tenhou_to_mjai(text=tiny),
        "text-bytes": lambda: tenhou_to_mjai(b"{}"),
        "text-surrogate": lambda: tenhou_to_mjai("\ud800"),
        "file-ok": lambda: tenhou_file_to_mjai(game),
        "file-out": lambda: tenhou_file_to_mjai(game, out),
        "file-missing": lambda: tenhou_file_to_mjai(tmp_path / "nope\n.json"),
        "file-directory": lambda: tenhou_file_to_mjai(tmp_path),
        "file-bytes-path": lambda: tenhou_file_to_mjai(b"x"),
        "file-not-path": lambda: tenhou_file_to_mjai(1),
        "file-bad-fspath": lambda: tenhou_file_to_mjai(Weird()),
        "file-bad-utf8": lambda: tenhou_file_to_mjai(bad_utf8),
        "file-create-fails": lambda: tenhou_file_to_mjai(game, missing_dir_out),
        "file-multiple": lambda: tenhou_file_to_mjai(game, filename=game),
    }
    if os.path.exists("/dev/full"):
        cases["file-write-fails"] = lambda: tenhou_file_to_mjai(game, "/dev/full")
    for (text, _, _), name in zip(STAGE_TEXTS, STAGE_IDS):
        src = tmp_path / f"{name}.json"
        src.write_text(text, encoding="utf-8")
        cases[f"text-{name}"] = lambda text=text: tenhou_to_mjai(text)
        cases[f"file-{name}"] = lambda src=src: tenhou_file_to_mjai(src, out)
    return cases


def case_names():
    with tempfile.TemporaryDirectory() as d:
        return sorted(make_cases(Path(d)))


def memory_growth(call, calls: int) -> tuple[int, int]:
    """Traced and RSS growth in bytes over `calls` calls, after a warm-up;
    failures of the call are expected and ignored."""

    def repeat(n):
        for _ in range(n):
            try:
                call()
            except (TypeError, ValueError, OSError):
                pass

    repeat(WARM_UP)
    gc.collect()
    tracemalloc.start()
    try:
        repeat(WARM_UP)
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss()
        repeat(calls)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - traced_before, rss() - rss_before
    finally:
        tracemalloc.stop()


@no_asan
@pytest.mark.parametrize("case", case_names())
def test_memory_stays_flat(tmp_path, case):
    traced_growth, rss_growth = memory_growth(make_cases(tmp_path)[case], CALLS)
    assert traced_growth < TRACED_LIMIT, f"{case}: traced memory grew by {traced_growth} bytes"
    assert rss_growth < RSS_LIMIT, f"{case}: RSS grew by {rss_growth} bytes"
