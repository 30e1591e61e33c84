"""Random and mutated inputs: only the documented outcomes, always the same one."""

from __future__ import annotations

import copy
import json
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _kifuzan import (
    JsonParsingError,
    JsonSerializationError,
    TenhouLogParsingError,
    TenhouToMjaiError,
    tenhou_file_to_mjai,
    tenhou_to_mjai,
)
from conftest import CORPUS, dump, tiny_log

MESSAGES = {
    JsonParsingError: "failed to parse tenhou.net/6 log",
    TenhouLogParsingError: "invalid log",
    TenhouToMjaiError: "failed to convert tenhou.net/6 log to mjai",
    JsonSerializationError: "failed to serialize",
}
MODULE_ERRORS = tuple(MESSAGES)

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample_game.json"
RECORD_PATHS = [SAMPLE] + (sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else [])

KYOKU_TYPES = {
    "tsumo", "dahai", "chi", "pon", "daiminkan", "kakan", "ankan", "dora",
    "reach", "reach_accepted", "hora", "ryukyoku",
}  # fmt: skip


def check_lines(lines):
    """The shape every successful result has, whatever the input was."""
    assert type(lines) is list and lines
    assert all(type(line) is str and "\n" not in line for line in lines)
    joined = "[" + ",".join(lines) + "]"
    events = json.loads(joined)
    assert len(events) == len(lines)
    # Compact, keys unique, and escaped the standard way.
    assert json.dumps(events, ensure_ascii=False, separators=(",", ":")) == joined
    in_kyoku = False
    for i, event in enumerate(events):
        assert type(event) is dict and next(iter(event)) == "type", lines[i]
        kind = event["type"]
        if i == 0:
            assert kind == "start_game", lines[i]
        elif i == len(lines) - 1:
            assert kind == "end_game" and not in_kyoku, lines[i]
        elif kind == "start_kyoku":
            assert not in_kyoku, lines[i]
            in_kyoku = True
        elif kind == "end_kyoku":
            assert in_kyoku, lines[i]
            in_kyoku = False
        else:
            assert in_kyoku and kind in KYOKU_TYPES, lines[i]


def outcome(text: str, known=None):
    """The lines, or the name of the module exception; anything else escapes.
    Lines equal to `known` have been checked already."""
    try:
        lines = tenhou_to_mjai(text)
    except MODULE_ERRORS as e:
        assert e.args == (MESSAGES[type(e)],)
        assert e.__cause__ is None and e.__context__ is None
        return type(e).__name__
    if lines != known:
        check_lines(lines)
    return lines


def check_stable(text: str, scratch: Path | None = None):
    first = outcome(text)
    assert outcome(text) == first
    if scratch is not None:
        scratch.unlink(missing_ok=True)  # truncating in place makes ext4 flush
        scratch.write_text(text, encoding="utf-8")
        try:
            from_file = tenhou_file_to_mjai(scratch)
        except MODULE_ERRORS as e:
            from_file = type(e).__name__
        assert from_file == first
    return first


PROPERTY = settings(max_examples=200, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("properties") / "input.json"


# ---------------------------------------------------------------------------
# Random text and random JSON

TOKENS = st.sampled_from(list('[]{}",:0123456789.-+eE \n\ttrufalsn\\') + ['"log":', '"name":', "60", "\ufeff"])
ANY_CHAR = st.characters(blacklist_categories=())  # surrogates included


@PROPERTY
@given(st.lists(TOKENS | ANY_CHAR, max_size=200).map("".join))
def test_random_text(text):
    try:
        check_stable(text)
    except UnicodeEncodeError:
        assert any("\ud800" <= c <= "\udfff" for c in text)


KEYS = ["log", "name", "rule", "disp", "aka", "aka51", "ratingc", "lobby", "dan", "rate", "sx", "title"]
SCALARS = (
    st.none()
    | st.booleans()
    | st.integers(-(2**64), 2**64)
    | st.sampled_from([0, 11, 47, 53, 60, 255, 256, -1, 2**31])
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=8)
)
JSON_VALUES = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=4), inner),
    max_leaves=30,
)


@PROPERTY
@given(JSON_VALUES, st.booleans())
def test_random_json_values(value, ascii_only):
    check_stable(json.dumps(value, ensure_ascii=ascii_only))


@PROPERTY
@given(st.fixed_dictionaries({k: JSON_VALUES for k in ("log", "name", "rule")}, optional={"lobby": JSON_VALUES}))
def test_random_values_under_the_log_keys(doc):
    check_stable(json.dumps(doc))


# ---------------------------------------------------------------------------
# Mutations of real records

RECORD_TEXTS = [p.read_text(encoding="utf-8") for p in RECORD_PATHS] + [dump(tiny_log())]

TILE_CODES = [0, *range(11, 20), *range(21, 30), *range(31, 40), *range(41, 48), 51, 52, 53]
# Mostly codes the reader accepts, so that most changes reach the converter.
NUMBERS = st.sampled_from(TILE_CODES + [60] * 4) | st.sampled_from([10, 48, 54, 99, 255, 256, -1, 2**31, 1.5])
CALL_TEXTS = [
    "c111213", "c242352", "p454545", "13p1313", "3636p36", "m47474747", "2727k2727", "3636k3636",
    "464646a46", "r47", "r60", "r", "c", "p", "k", "a", "m", "", "60", "和了", "流局", "全員聴牌",
]  # fmt: skip
CALL_CHARS = "cpkmar0123456789"


def all_slots(doc):
    """(container, key) for every value below the root."""
    slots, stack = [], [doc]
    while stack:
        c = stack.pop()
        for k, v in c.items() if isinstance(c, dict) else enumerate(c):
            slots.append((c, k))
            if isinstance(v, (list, dict)):
                stack.append(v)
    return slots


def mutate_text(s, draw):
    op = draw(st.sampled_from(["set", "delete", "insert", "replace"]))
    i = draw(st.integers(0, len(s))) if s else 0
    if op == "replace" or not s:
        return draw(st.sampled_from(CALL_TEXTS))
    i = min(i, len(s) - 1)
    if op == "set":
        return s[:i] + draw(st.sampled_from(CALL_CHARS)) + s[i + 1 :]
    if op == "delete":
        return s[:i] + s[i + 1 :]
    return s[:i] + draw(st.sampled_from(CALL_CHARS)) + s[i:]


def mutate_list(v, draw):
    if not v:
        v.append(draw(NUMBERS | st.sampled_from(CALL_TEXTS)))
        return
    i, j = draw(st.integers(0, len(v) - 1)), draw(st.integers(0, len(v) - 1))
    op = draw(st.sampled_from(["swap", "drop", "repeat", "truncate", "clear"]))
    if op == "swap":
        v[i], v[j] = v[j], v[i]
    elif op == "drop":
        del v[i]
    elif op == "repeat":
        v.insert(j, copy.deepcopy(v[i]))
    elif op == "truncate":
        del v[i:]
    else:
        v.clear()


def action_slots(doc):
    """(list, index) for every take and discard list and every entry in one,
    as far as earlier changes left the record's shape intact."""
    kyokus = doc.get("log") if isinstance(doc, dict) else doc[0]
    slots = []
    for kyoku in kyokus if isinstance(kyokus, list) else []:
        for i in (5, 6, 8, 9, 11, 12, 14, 15):
            if isinstance(kyoku, list) and i < len(kyoku) and isinstance(kyoku[i], list):
                slots.append((kyoku, i))
                slots.extend((kyoku[i], j) for j in range(len(kyoku[i])))
    return slots


def mutate(doc, draw):
    slots = (draw(st.booleans()) and action_slots(doc)) or all_slots(doc)
    if not slots:
        return
    container, key = slots[draw(st.integers(0, len(slots) - 1))]
    value = container[key]
    if draw(st.integers(0, 19)) == 0:
        container[key] = draw(JSON_VALUES)  # a value of the wrong shape
    elif isinstance(value, bool) or value is None:
        container[key] = draw(SCALARS)
    elif isinstance(value, (int, float)):
        container[key] = draw(NUMBERS)
    elif isinstance(value, str):
        container[key] = mutate_text(value, draw)
    elif isinstance(value, list):
        mutate_list(value, draw)
    elif value:
        del value[draw(st.sampled_from(sorted(value)))]


@PROPERTY
@given(st.data())
def test_mutated_records(scratch, data):
    doc = json.loads(data.draw(st.sampled_from(RECORD_TEXTS)))
    for _ in range(data.draw(st.integers(1, 4))):
        mutate(doc, data.draw)
    check_stable(dump(doc), scratch)


def test_unmutated_records_convert(scratch):
    # The mutation tests start from records that convert, so that a change
    # is what makes a failure.
    for text in RECORD_TEXTS:
        assert isinstance(check_stable(text, scratch), list)
