"""Records of every format through the command line and convert_many: mjai
back to tenhou.net/6 with --to tenhou6, formats told by content."""

from __future__ import annotations

import gzip
import json
import subprocess
import sys
from pathlib import Path

import pytest

import kifuzan
from conftest import dump, tiny_log

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SAMPLE_MJAI = (EXAMPLES / "sample_game.mjson").read_text(encoding="utf-8")


def cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "kifuzan", *args], capture_output=True, timeout=120, **kwargs)


def test_file_to_tenhou6_from_mjai_and_back(tmp_path):
    src = tmp_path / "game7.mjson"
    src.write_text(SAMPLE_MJAI, encoding="utf-8")
    r = cli(str(src), "--to", "tenhou6", "--level", "鳳", "--lobby", "7")
    assert r.returncode == 0, r.stderr.decode()
    expected = kifuzan.mjai_to_tenhou6(SAMPLE_MJAI, ref="game7", level="鳳", lobby=7)
    assert r.stdout.decode() == expected
    assert kifuzan.tenhou_to_mjai(r.stdout.decode()) == SAMPLE_MJAI.splitlines()
    r = cli(str(src), "--to", "tenhou6", "--ref", "other", "--no-score")
    assert json.loads(r.stdout)["ref"] == "other"
    wins = [entry[-1][2] for entry in json.loads(r.stdout)["log"] if entry[-1][0] == "和了"]
    assert wins and all(len(detail) == 4 and detail[3] == "" for detail in wins)


def test_file_refusals_name_the_error(tmp_path):
    bad = tmp_path / "bad.mjson"
    bad.write_text('{"type":"start_game","names":["a","b","c","d"]}\n{"type":"bogus"}\n', encoding="utf-8")
    r = cli(str(bad), "--to", "tenhou6")
    assert r.returncode == 1
    assert r.stderr.decode().startswith(f"kifuzan: {bad}: MjaiError: ")
    # Without --to tenhou6 an mjai record is what it would become.
    r = cli(str(tmp_path / "x.mjson"), "a", "--ref", "r")
    assert r.returncode == 2 and b"--ref names the document of one FILE" in r.stderr


def test_convert_to_tenhou6_reads_every_format(tmp_path):
    src = tmp_path / "src"
    (src / "a").mkdir(parents=True)
    (src / "a" / "m.mjson").write_text(SAMPLE_MJAI, encoding="utf-8")
    (src / "a" / "z.mjson.gz").write_bytes(gzip.compress(SAMPLE_MJAI.encode()))
    (src / "t.json").write_text(dump(tiny_log()), encoding="utf-8")
    (src / "broken.mjson").write_text('{"type":"start_game"}\n', encoding="utf-8")
    summary = kifuzan.convert_many(src, tmp_path / "out", to="tenhou6", workers=1)
    assert (summary.converted, summary.failed) == (3, 1)
    assert [(f.path, f.error) for f in summary.failures] == [(str(src / "broken.mjson"), "MjaiError")]
    out = tmp_path / "out"
    assert (out / "a" / "m.json").read_text(encoding="utf-8") == kifuzan.mjai_to_tenhou6(SAMPLE_MJAI, ref="m")
    assert (out / "a" / "z.json").read_text(encoding="utf-8") == kifuzan.mjai_to_tenhou6(SAMPLE_MJAI, ref="z")
    # A document stays as it is.
    assert (out / "t.json").read_bytes() == (src / "t.json").read_bytes()
    # To mjai, mjai records are not searched: they would only be copied.
    summary = kifuzan.convert_many(src, tmp_path / "mjai", workers=1)
    assert (summary.converted, summary.failed) == (1, 0)


def test_convert_cli_options_reach_the_documents(tmp_path):
    src = tmp_path / "g.mjson"
    src.write_text(SAMPLE_MJAI, encoding="utf-8")
    r = cli("convert", str(src), "-o", str(tmp_path / "out"), "--to", "tenhou6", "--fast", "--level", "特",
            "--compress", "gzip", "--quiet")
    assert r.returncode == 0, r.stderr.decode()
    doc = gzip.decompress((tmp_path / "out" / "g.json.gz").read_bytes()).decode()
    assert doc == kifuzan.mjai_to_tenhou6(SAMPLE_MJAI, ref="g", fast=True, level="特")


@pytest.mark.parametrize("to", ["mjai", "tenhou6"])
def test_stdin_in_every_direction(to):
    r = cli("-", "--to", to, input=SAMPLE_MJAI.encode() if to == "tenhou6" else (EXAMPLES / "sample_game.json").read_bytes())
    assert r.returncode == 0, r.stderr.decode()
    if to == "tenhou6":
        assert r.stdout.decode() == kifuzan.mjai_to_tenhou6(SAMPLE_MJAI)
    else:
        assert r.stdout.decode() == SAMPLE_MJAI
