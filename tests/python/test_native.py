"""kifuzan._native's record kernel: bytes in, bytes out, told by content, and
Ctrl-C during a blocked read of the file entry."""

from __future__ import annotations

import ctypes
import os
import signal
import subprocess
import sys
import time

import pytest

from _kifuzan import tenhou_file_to_mjai
from conftest import CORPUS, STAGE_IDS, STAGE_TEXTS, TINY_LINES
from kifuzan import _native

GAMES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []
MJLOGS = sorted(p for p in (CORPUS.parent / "mjlog").glob("[0-9]*.xml")) if CORPUS.is_dir() else []


def test_outputs_equal_the_file_entry(tmp_path, tiny_file):
    for src in [tiny_file, *GAMES]:
        tenhou_file_to_mjai(src, tmp_path / "ref")
        assert _native.convert_record(src.read_bytes()) == (tmp_path / "ref").read_bytes()
    assert _native.convert_record(bytearray(tiny_file.read_bytes())) == "".join(l + "\n" for l in TINY_LINES).encode()
    for xml in MJLOGS:
        text = xml.read_text(encoding="utf-8")
        assert _native.convert_record(xml.read_bytes()).decode().splitlines() == _native.mjlog_to_mjai(text)
        assert _native.convert_record(xml.read_bytes(), "tenhou6", "r").decode() == _native.mjlog_to_tenhou6(text, "r")


@pytest.mark.parametrize("text, exc_name, message", STAGE_TEXTS, ids=STAGE_IDS)
def test_refusals_name_the_exception_and_why(text, exc_name, message):
    for to in ("mjai", "tenhou6"):
        # Why, as diagnose says it of the same text.
        assert _native.convert_record(text.encode(), to) == (exc_name, message, _native.diagnose(text))


def test_documents_stay_as_they_are_and_mjai_is_left_to_the_caller(tiny_text):
    assert _native.convert_record(tiny_text.encode(), to="tenhou6") == tiny_text.encode()
    assert _native.convert_record(b'{"type":"start_game","names":["a","b","c","d"]}\n', "tenhou6") is None
    assert _native.convert_record(b"\xff") == ("OSError", "stream did not contain valid UTF-8", None)
    assert _native.convert_record(b"<mjloggm ver", "tenhou6")[0] == "MjlogError"


def test_one_internal_error_class_for_both_modules():
    # _kifuzan makes it without exporting it; _native raises that very class.
    made = [c for c in BaseException.__subclasses__() if c.__name__ == "InternalError"]
    assert [c.__module__ for c in made] == ["_kifuzan"]
    assert not hasattr(_native, "InternalError")
    # Where _native finds it: the interpreter's state for extension modules.
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
    api.PyInterpreterState_GetDict.restype = ctypes.py_object
    assert api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())["_kifuzan.InternalError"] is made[0]


def test_arguments_and_buffers(tiny_text):
    data = bytearray(tiny_text.encode())
    _native.convert_record(data)
    data.extend(b" ")  # not left locked by the call
    with pytest.raises(ValueError, match="argument 'to'"):
        _native.convert_record(b"{}", "json")
    with pytest.raises(TypeError):
        _native.convert_record("text")
    with pytest.raises(TypeError, match="'ref'"):
        _native.convert_record(b"{}", "mjai", 5)


@pytest.mark.parametrize(
    "head, expected",
    [
        (b"<mjloggm ver='2.3'>", "mjlog"),
        (b"\xef\xbb\xbf  <?xml version='1.0'?><!-- c --><mjloggm>", "mjlog"),
        (b'<!DOCTYPE x [<!ENTITY a "b">]><mjloggm/>', "mjlog"),  # its reader refuses it, with the reason
        (b'{"type":"start_game","names":[]}\n{"type":"end_game"}', "mjai"),
        (b' [ {"type": "start_game"}, {"type": "end_game"} ]', "mjai"),  # an array of events
        (b'{"id": 0, "meta": {"log": []}, "type": "start_game"}', "mjai"),
        (b'{"title": ["", ""], "type": 1, "log": []}', "tenhou6"),  # a document's key tells first
        (b'{"log": [], "name": ["a"]}', "tenhou6"),
        (b'[[[0, 0, 0], [25000]], ["a", "b", "c", "d"], {"disp": "x"}]', "tenhou6"),
        (b'\xef\xbb\xbf{"log": []}', "tenhou6"),
        (b"", "tenhou6"),
        (b"null", "tenhou6"),
        (b'{"a": "}\\"{", "type": "dahai"}', "mjai"),  # strings with brackets and quotes skipped
        (b'{"a": [1, {"type": 2}], "b": 3}', "tenhou6"),  # a nested "type" is not the event's
    ],
)
def test_record_format_is_told_by_content(head, expected):
    assert _native.record_format(head) == expected


# A writer that never writes: the read end opens at once and then blocks.
_BLOCKED_READ = r"""
import os, sys, _kifuzan
fifo = sys.argv[1]
os.open(fifo, os.O_RDWR)
try:
    print("ready", flush=True)
    _kifuzan.tenhou_file_to_mjai(fifo)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_ctrl_c_interrupts_a_read_blocked_on_a_fifo(tmp_path):
    fifo = tmp_path / "log.json"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", _BLOCKED_READ, str(fifo)], stdout=subprocess.PIPE, text=True)
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
