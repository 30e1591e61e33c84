"""mjlog XML records: to tenhou.net/6 and to mjai from Python, the command
line and convert_many, and what is refused."""

from __future__ import annotations

import gzip
import json
import subprocess
import sys
from pathlib import Path

import pytest

import _kifuzan
import kifuzan

MJLOG = Path(__file__).resolve().parents[3] / "shared" / "corpus" / "mjlog"
RECORDS = sorted(MJLOG.glob("*.xml")) if MJLOG.is_dir() else []
FOUR = [p for p in RECORDS if p.stem != "three_player"]
needs_corpus = pytest.mark.skipif(not FOUR, reason="mjlog corpus not present")


def expected_document(xml: Path) -> tuple[str, str | None]:
    """The expected document's path and the ref the record is read with."""
    paired = xml.with_suffix(".json")
    return (paired, xml.stem) if paired.exists() else (xml.with_suffix(".tenhou6.json"), None)


def pairs(value):
    """A JSON value with objects as lists of pairs: key order counts."""
    if isinstance(value, dict):
        return [(k, pairs(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [pairs(v) for v in value]
    return value


@needs_corpus
@pytest.mark.parametrize("xml", FOUR, ids=lambda p: p.stem)
def test_records_give_their_document_and_lines(xml):
    text = xml.read_text(encoding="utf-8")
    doc_path, ref = expected_document(xml)
    doc = kifuzan.mjlog_to_tenhou6(text, ref)
    assert pairs(json.loads(doc)) == pairs(json.loads(doc_path.read_text(encoding="utf-8")))
    lines = kifuzan.mjlog_to_mjai(text)
    assert lines == xml.with_suffix(".mjson").read_text(encoding="utf-8").splitlines()
    assert lines == _kifuzan.tenhou_to_mjai(doc)


@needs_corpus
def test_three_player_refused():
    with pytest.raises(kifuzan.MjlogError) as info:
        kifuzan.mjlog_to_mjai((MJLOG / "three_player.xml").read_text(encoding="utf-8"))
    assert info.value.args == ("three-player records are not supported",)
    assert isinstance(info.value, ValueError)


@pytest.mark.parametrize(
    "text, where",
    [
        ("", None),
        ("<mjloggm", None),
        ("<html/>", "html"),
        ('<!DOCTYPE mjloggm [<!ENTITY a "b">]><mjloggm ver="2.3"/>', "DOCTYPE"),
        ('<mjloggm ver="2.3"><N who="0" m="0"/></mjloggm>', "N"),
    ],
    ids=["empty", "unclosed", "root", "doctype", "call-before-init"],
)
def test_not_a_record(text, where):
    with pytest.raises(kifuzan.MjlogError) as info:
        kifuzan.mjlog_to_tenhou6(text)
    if where is not None:
        assert where in str(info.value)


def test_converter_refusals_raise_the_module_exceptions():
    # Read fine, but a kyoku with no draws is refused by the converter as
    # the document's JSON text would be.
    text = '<mjloggm ver="2.3"><GO type="169" lobby="0"/><UN n0="a" n1="b" n2="c" n3="d" dan="0,0,0,0" rate="1500,1500,1500,1500" sx="M,M,M,M"/><TAIKYOKU oya="0"/></mjloggm>'
    try:
        doc = kifuzan.mjlog_to_tenhou6(text)
    except kifuzan.MjlogError:
        pytest.skip("refused by the reader already")
    try:
        expected = _kifuzan.tenhou_to_mjai(doc)
    except ValueError as e:
        with pytest.raises(type(e)) as info:
            kifuzan.mjlog_to_mjai(text)
        assert info.value.args == e.args
    else:
        assert kifuzan.mjlog_to_mjai(text) == expected


def test_arguments_are_checked():
    with pytest.raises(TypeError):
        kifuzan.mjlog_to_mjai(b"<mjloggm/>")
    with pytest.raises(TypeError):
        kifuzan.mjlog_to_tenhou6("<mjloggm/>", 5)


@needs_corpus
def test_cli_and_batch_read_mjlog_by_content(tmp_path):
    xml = MJLOG / "050.xml"
    src = tmp_path / "src"
    src.mkdir()
    # Names the batch searches, gzipped or not, and a comment before the root.
    (src / "a.mjlog").write_bytes(gzip.compress(xml.read_bytes()))
    (src / "b.xml").write_bytes(b"\xef\xbb\xbf<!-- saved -->\n" + xml.read_bytes())
    expected = xml.with_suffix(".mjson").read_bytes()
    r = subprocess.run([sys.executable, "-m", "kifuzan", str(src / "a.mjlog")], capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout == expected
    summary = kifuzan.convert_many(src, tmp_path / "out", workers=1)
    assert (summary.converted, summary.failed) == (2, 0)
    assert (tmp_path / "out" / "a.mjson").read_bytes() == expected
    assert (tmp_path / "out" / "b.mjson").read_bytes() == expected
    summary = kifuzan.convert_many(src, tmp_path / "docs", workers=1, to="tenhou6")
    assert summary.converted == 2
    doc = json.loads((tmp_path / "docs" / "a.json").read_text(encoding="utf-8"))
    assert doc["ref"] == "a"
    assert pairs({**doc, "ref": ""}) == pairs(json.loads(xml.with_suffix(".tenhou6.json").read_text(encoding="utf-8")))


@needs_corpus
def test_diagnose_reads_mjlog():
    assert kifuzan.diagnose((MJLOG / "050.xml").read_text(encoding="utf-8")) is None
    why = kifuzan.diagnose((MJLOG / "three_player.xml").read_text(encoding="utf-8"))
    assert (why.error, why.stage, why.reason) == ("MjlogError", "parse", "three-player records are not supported")
    why = kifuzan.diagnose('<mjloggm ver="2.3"><INIT seed="0,0,0,0,0,0"/></mjloggm>')
    assert why.error == "MjlogError" and "INIT" in why.reason
