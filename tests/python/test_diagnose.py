"""kifuzan.diagnose agrees with the converter on every shared record and
changed copy, and says why in words."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

import _kifuzan
import kifuzan
from conftest import CORPUS, STAGE_IDS, STAGE_TEXTS

SHARED = CORPUS.parent
FIXED = {"failed to parse tenhou.net/6 log", "invalid log", "failed to convert tenhou.net/6 log to mjai", "failed to serialize"}
STAGES = {"parse", "normalise", "convert", "serialize"}
# Words of the implementation, not of records: a reason names what is wrong
# in the record's terms (a take entry, a kyoku's 17 entries, a score's range).
IMPLEMENTATION_WORDS = re.compile(
    r"\b(?:[uif](?:8|16|32|64)|usize|struct|tuple|enum|variant|Inner|RawLog|Rule|ActionItem|ResultItem|"
    r"PyString|sequence|map|untagged|expected|invalid (?:type|value|length)|trailing elements)\b|os error"
)


def raised(text: str) -> str | None:
    try:
        _kifuzan.tenhou_to_mjai(text)
    except ValueError as e:
        return type(e).__name__
    return None


def check(text: str) -> kifuzan.Diagnosis | None:
    why = kifuzan.diagnose(text)
    error = raised(text)
    if error is None:
        assert why is None
        return None
    assert why is not None and why.error == error and why.stage in STAGES
    assert why.reason and why.reason not in FIXED
    if why.offset is not None:
        assert 0 <= why.offset <= len(text.encode())
    if why.seat is not None:
        assert 0 <= why.seat < 4
    return why


@pytest.mark.skipif(not (SHARED / "variants.jsonl").exists(), reason="../shared/corpus is absent")
def test_agrees_with_the_converter_on_the_shared_records():
    for path in sorted(CORPUS.glob("*.json")):
        assert kifuzan.diagnose(path.read_text(encoding="utf-8")) is None, path.name
    outcomes = set()
    for line in (SHARED / "variants.jsonl").read_text(encoding="utf-8").splitlines():
        v = json.loads(line)
        why = check(v["input"])
        assert (why.error if why else "ok") == v["outcome"], (v["from"], v["change"])
        outcomes.add(v["outcome"])
        # to_mjai's message is the reason, worded once: a byte-order mark too.
        why = kifuzan.diagnose(v["input"], three_player="nukidora")
        if why is not None:
            with pytest.raises(getattr(kifuzan, why.error)) as caught:
                kifuzan.to_mjai(v["input"])
            assert str(caught.value) == why.reason
    assert len(outcomes) >= 3  # the copies reach several stages
    for path in sorted((SHARED / "three_player").glob("*.json")):
        why = check(path.read_text(encoding="utf-8"))
        assert why.reason.startswith("three-player records are not supported")


@pytest.mark.skipif(not (SHARED / "variants.jsonl").exists(), reason="../shared/corpus is absent")
def test_reasons_speak_of_records_not_of_the_implementation():
    texts = [json.loads(line)["input"] for line in (SHARED / "variants.jsonl").read_text(encoding="utf-8").splitlines()]
    suite = SHARED / "jsontestsuite" / "test_parsing"
    for path in sorted(suite.glob("*.json")) if suite.is_dir() else []:
        try:
            texts.append(path.read_bytes().decode("utf-8"))
        except UnicodeDecodeError:
            continue  # the reader is never reached
    reasons = [why.reason for why in map(kifuzan.diagnose, texts) if why is not None]
    assert len(reasons) > 100
    assert [r for r in reasons if IMPLEMENTATION_WORDS.search(r)] == []


def test_a_byte_order_mark_is_named():
    why = kifuzan.diagnose("\ufeff" + json.dumps({"log": [], "name": ["a", "b", "c", "d"], "rule": {}}))
    assert (why.error, why.offset) == ("JsonParsingError", 0)
    assert "byte-order mark" in why.reason


@pytest.mark.parametrize("text, exc_name, message", STAGE_TEXTS, ids=STAGE_IDS)
def test_each_stage_is_explained(text, exc_name, message):
    why = check(text)
    assert why.error == exc_name


def test_a_call_names_its_kyoku_and_seat():
    from conftest import call_first_text

    why = kifuzan.diagnose(call_first_text())
    assert (why.stage, why.kyoku, why.seat) == ("convert", 0, 0)
    assert why.reason.startswith("kyoku 0 (East 1, 0 honba), seat 0")


def test_diagnosis_is_a_frozen_value():
    why = kifuzan.diagnose("[")
    with pytest.raises(AttributeError):
        why.reason = "x"  # type: ignore[misc]
    with pytest.raises(TypeError, match=r"^diagnose\(\) takes the record's text as a str, not bytes$"):
        kifuzan.diagnose(b"[")  # type: ignore[arg-type]
