"""The kifuzan command line, run as the installed script and with -m."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from _kifuzan import tenhou_to_mjai
from conftest import TINY_LINES, big_text

SCRIPT = Path(sys.executable).with_name("kifuzan")
COMMANDS = [
    pytest.param([str(SCRIPT)], id="script"),
    pytest.param([sys.executable, "-m", "kifuzan"], id="module"),
]


def run(command, *args, **kwargs):
    return subprocess.run([*command, *args], capture_output=True, timeout=120, **kwargs)


@pytest.fixture(params=COMMANDS)
def kifuzan(request):
    if request.param[0] == str(SCRIPT) and not SCRIPT.exists():
        pytest.skip("console script not installed next to the interpreter")
    return request.param


def test_version(kifuzan):
    r = run(kifuzan, "--version")
    assert r.returncode == 0
    assert r.stdout == b"kifuzan 0.3.0\n"


def test_converts_to_standard_output(kifuzan, tiny_file):
    r = run(kifuzan, str(tiny_file))
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode("utf-8") == "".join(line + "\n" for line in TINY_LINES)
    assert r.stderr == b""


@pytest.mark.parametrize("flag", ["-o", "--output"])
def test_writes_to_output_file(kifuzan, tiny_file, tmp_path, flag):
    out = tmp_path / "out.mjson"
    r = run(kifuzan, str(tiny_file), flag, str(out))
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout == b""
    assert out.read_text(encoding="utf-8") == "".join(line + "\n" for line in TINY_LINES)


@pytest.mark.parametrize(
    "content, error",
    [
        ("not json", "JsonParsingError: failed to parse tenhou.net/6 log"),
        (None, 'FileNotFoundError: failed to open tenhou.net/6 log file "{path}"'),
    ],
)
def test_failure_is_one_line_and_exit_1(kifuzan, tmp_path, content, error):
    path = tmp_path / "game.json"
    if content is not None:
        path.write_text(content)
    r = run(kifuzan, str(path))
    assert r.returncode == 1
    assert r.stdout == b""
    assert r.stderr.decode() == f"kifuzan: {path}: " + error.format(path=path) + "\n"


def test_usage_error(kifuzan):
    r = run(kifuzan)
    assert r.returncode == 2
    assert b"usage: kifuzan" in r.stderr


def test_closed_pipe_is_quiet(kifuzan, tmp_path):
    src = tmp_path / "big.json"
    src.write_text(big_text(), encoding="utf-8")
    read_end, write_end = os.pipe()
    os.close(read_end)  # every write by the child fails with EPIPE
    try:
        r = subprocess.run([*kifuzan, str(src)], stdout=write_end, stderr=subprocess.PIPE, timeout=120)
    finally:
        os.close(write_end)
    assert r.returncode == 141
    assert r.stderr == b""


def test_large_output_is_complete(kifuzan, tmp_path):
    src = tmp_path / "big.json"
    text = big_text()
    src.write_text(text, encoding="utf-8")
    r = run(kifuzan, str(src))
    assert r.returncode == 0
    assert r.stdout.decode("utf-8").splitlines() == tenhou_to_mjai(text)
