"""kifuzan._native: file-to-file conversion with the GIL released, bytes in and
out, and Ctrl-C during blocked reads in either module."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time

import pytest

from _kifuzan import tenhou_file_to_mjai, tenhou_to_mjai
from conftest import CORPUS, STAGE_IDS, STAGE_TEXTS, TINY_LINES
from kifuzan import _native

GAMES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []


def raised_by_file_entry(src, tmp_path):
    """(class name, message) that tenhou_file_to_mjai raises for src, or None."""
    try:
        tenhou_file_to_mjai(src, tmp_path / "reference.out")
    except BaseException as e:  # noqa: BLE001 - the module's internal error is one too
        return type(e).__name__, str(e)
    return None


def test_outputs_equal_the_file_entry(tmp_path, tiny_file):
    srcs = [tiny_file, *GAMES]
    jobs = [(str(src), str(tmp_path / "out" / f"{i}" / "x.mjson")) for i, src in enumerate(srcs)]
    assert _native.convert_files(jobs) == [("converted", "", "", None)] * len(jobs)
    for src, (_, out) in zip(srcs, jobs):
        tenhou_file_to_mjai(src, tmp_path / "ref")
        assert open(out, "rb").read() == (tmp_path / "ref").read_bytes()
    assert not [n for n in os.listdir(tmp_path / "out" / "0") if n.endswith(".tmp")]


@pytest.mark.parametrize("text, exc_name, message", STAGE_TEXTS, ids=STAGE_IDS)
def test_stage_failures_are_reported_like_the_file_entry(tmp_path, text, exc_name, message):
    src = tmp_path / "bad.json"
    src.write_text(text, encoding="utf-8")
    out = tmp_path / "bad.mjson"
    [(status, error, got, why)] = _native.convert_files([(src, out)])
    assert (status, error, got) == ("failed", exc_name, message)
    # Why, as diagnose says it of the same text.
    assert why == _native.diagnose(text) and why[0] == exc_name and why[2] != message
    assert os.listdir(tmp_path) == ["bad.json"]


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda d: d / "missing.json", id="missing"),
        pytest.param(lambda d: (d / "dir.json").mkdir() or d / "dir.json", id="directory"),
        pytest.param(lambda d: (d / "latin1.json").write_bytes(b'{"name": "\xe9"}') and d / "latin1.json", id="not-utf8"),
    ],
)
def test_input_failures_match_the_file_entry(tmp_path, make):
    src = make(tmp_path)
    expected = raised_by_file_entry(src, tmp_path)
    assert _native.convert_files([(src, tmp_path / "o.mjson")]) == [("failed", *expected, None)]
    assert not (tmp_path / "o.mjson").exists()


def test_output_folder_blocked_by_a_file(tmp_path, tiny_file):
    (tmp_path / "taken").write_text("")
    [(status, error, message, _)] = _native.convert_files([(tiny_file, tmp_path / "taken" / "x.mjson")])
    assert (status, error) == ("failed", "OSError")
    assert message.startswith("failed to create mjai out file " + str(tmp_path / "taken" / ".x.mjson."))


def test_reruns_skip_up_to_date_outputs_unless_forced(tmp_path, tiny_file):
    out = tmp_path / "x.mjson"
    assert _native.convert_files([(tiny_file, out)]) == [("converted", "", "", None)]
    assert _native.convert_files([(tiny_file, out)]) == [("skipped", "", "", None)]
    assert _native.convert_files([(tiny_file, out)], force=True) == [("converted", "", "", None)]
    os.utime(tiny_file, ns=(time.time_ns() + 10**9,) * 2)
    assert _native.convert_files([(tiny_file, out)]) == [("converted", "", "", None)]


def test_folders_are_made_again_after_the_tree_is_deleted(tmp_path, tiny_file):
    out = tmp_path / "tree" / "a" / "b.mjson"
    for _ in range(2):
        assert _native.convert_files([(tiny_file, out)]) == [("converted", "", "", None)]
        (out).unlink()
        os.removedirs(out.parent)


def test_bad_jobs_argument():
    with pytest.raises(TypeError, match="jobs"):
        _native.convert_files([("only-one",)])
    with pytest.raises(TypeError, match="jobs"):
        _native.convert_files(5)


def test_bytes_entry(tiny_text):
    assert _native.record_bytes_to_mjai(tiny_text.encode()) == "".join(l + "\n" for l in TINY_LINES).encode()
    for game in GAMES:
        data = game.read_bytes()
        assert _native.record_bytes_to_mjai(data).decode().splitlines() == tenhou_to_mjai(data.decode())
    with pytest.raises(OSError, match="valid UTF-8"):
        _native.record_bytes_to_mjai(b"\xff")


@pytest.mark.parametrize("text, exc_name, message", STAGE_TEXTS, ids=STAGE_IDS)
def test_bytes_entry_raises_the_module_exceptions(text, exc_name, message):
    import _kifuzan

    with pytest.raises(getattr(_kifuzan, exc_name)) as info:
        _native.record_bytes_to_mjai(text.encode())
    assert info.value.args == (message,)


# A writer that never writes: the read end opens at once and then blocks.
_BLOCKED_READ = r"""
import os, sys, _kifuzan
from kifuzan import _native
fifo, entry = sys.argv[1:]
os.open(fifo, os.O_RDWR)
try:
    print("ready", flush=True)
    if entry == "file":
        _kifuzan.tenhou_file_to_mjai(fifo)
    else:
        _native.convert_files([(fifo, fifo + ".mjson")])
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
@pytest.mark.parametrize("entry", ["file", "native"])
def test_ctrl_c_interrupts_a_read_blocked_on_a_fifo(tmp_path, entry):
    fifo = tmp_path / "log.json"
    os.mkfifo(fifo)
    child = subprocess.Popen(
        [sys.executable, "-c", _BLOCKED_READ, str(fifo), entry], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)  # into the read
        # Repeated, since a signal that lands before the read starts is only
        # seen at the next interruption.
        deadline = time.monotonic() + 20
        while child.poll() is None and time.monotonic() < deadline:
            child.send_signal(signal.SIGINT)
            time.sleep(0.2)
        if child.poll() is None:
            child.kill()
        out = child.stdout.read()
    finally:
        child.kill()
        child.wait()
    assert out == "KeyboardInterrupt\n"


def test_gzip_content_is_left_to_the_caller(tmp_path, tiny_text):
    import gzip

    src = tmp_path / "zipped.json"
    src.write_bytes(gzip.compress(tiny_text.encode()))
    assert _native.convert_files([(src, tmp_path / "z.mjson")]) == [("deferred", "", "", None)]
    assert not (tmp_path / "z.mjson").exists()
