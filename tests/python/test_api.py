"""kifuzan.to_mjai and to_tenhou6 take any record, and the three-player forms
reach every entry point of the package."""

from __future__ import annotations

import bz2
import gzip
import subprocess
import sys

import pytest

import kifuzan
from conftest import CORPUS, dump, tiny_log

SHARED = CORPUS.parent
MJLOG = SHARED / "mjlog" / "050.xml"
SANMA = sorted((SHARED / "three_player" / "json").glob("*.json")) if SHARED.is_dir() else []
FORMS = ["nukidora", "kita", "nukidora-4"]


def test_to_mjai_gives_what_the_specific_functions_give():
    doc = dump(tiny_log())
    want = kifuzan.tenhou_to_mjai(doc)
    for record in (doc, doc.encode(), gzip.compress(doc.encode()), bz2.compress(doc.encode())):
        assert kifuzan.to_mjai(record) == want
    if MJLOG.exists():
        xml = MJLOG.read_text(encoding="utf-8")
        assert kifuzan.to_mjai(xml) == kifuzan.to_mjai(gzip.compress(xml.encode())) == kifuzan.mjlog_to_mjai(xml)
        assert kifuzan.to_tenhou6(bz2.compress(xml.encode()), ref="r") == kifuzan.mjlog_to_tenhou6(xml, "r")
    lines = kifuzan.tenhou_to_mjai(doc)
    assert kifuzan.to_tenhou6(lines) == kifuzan.to_tenhou6("\n".join(lines)) == kifuzan.mjai_to_tenhou6(lines)
    assert kifuzan.to_tenhou6(doc) == doc


@pytest.mark.parametrize(
    "call, exc, words",
    [
        (lambda: kifuzan.to_mjai("{}"), kifuzan.JsonParsingError, '"log"'),
        (lambda: kifuzan.to_mjai("<mjloggm ver"), kifuzan.MjlogError, "byte"),
        (lambda: kifuzan.to_mjai('{"type":"start_game","names":["a","b","c","d"]}'), ValueError, "--to tenhou6"),
        (lambda: kifuzan.to_mjai(b"\xff\xfe"), OSError, "UTF-8"),
        (lambda: kifuzan.to_mjai(5), TypeError, "str or bytes"),
        (lambda: kifuzan.to_mjai(dump(tiny_log()), three_player="four"), ValueError, "three_player"),
        (lambda: kifuzan.to_tenhou6("<mjloggm ver='2.3'/>", level="上"), TypeError, "level"),
    ],
)
def test_refusals_keep_the_specified_classes_and_say_why(call, exc, words):
    with pytest.raises(exc, match=words):
        call()


@pytest.mark.skipif(not SANMA, reason="shared three-player records not available")
def test_three_player_forms_reach_every_entry_point(tmp_path):
    from kifuzan import _native

    record = SANMA[0]
    text = record.read_text(encoding="utf-8")
    for form in FORMS:
        lines = kifuzan.to_mjai(text, three_player=form)
        assert lines == _native.tenhou6_to_mjai(text, form)
        want = "".join(line + "\n" for line in lines).encode()
        out = tmp_path / form
        s = kifuzan.convert_many(record, out, workers=1, three_player=form)
        assert s.converted == 1 and (out / (record.stem + ".mjson")).read_bytes() == want
        r = subprocess.run([sys.executable, "-m", "kifuzan", str(record), "--three-player", form], capture_output=True)
        assert r.returncode == 0 and r.stdout == want
    refused = kifuzan.convert_many(record, tmp_path / "none", workers=1, three_player=None)
    assert refused.failed == 1 and "three-player" in refused.failures[0].reason
