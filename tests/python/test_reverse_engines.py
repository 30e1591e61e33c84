"""mjai_to_tenhou6 on mjai as engines and servers write it: the shared engine
logs, the same games in every spelling, results that disagree with the
scoring, and games cut off by an error."""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from pathlib import Path

import pytest
from test_reverse import FAR, HORA, RIICHI_ROUND, SHARED, WAIT_1S, T, fill, kyoku

from kifuzan import MjaiError, mjai_to_tenhou6, tenhou_to_mjai
from kifuzan.__main__ import main as cli
from kifuzan.reverse import is_mjai_record

ENGINES = sorted((SHARED / "engines").glob("*.mjson"))
RECORDS = sorted((SHARED / "four_player").glob("*.json"))
needs_engines = pytest.mark.skipif(not ENGINES, reason="../shared/corpus is absent")
needs_records = pytest.mark.skipif(not RECORDS, reason="../shared/corpus is absent")
URA_KEYS = ("ura_markers", "uradora_markers", "uradora_marker")
# Left out of the comparison of a round trip: the closing events a log may
# lack, and the kan dora, which engines reveal at another moment.
_UNALIGNED = ("end_kyoku", "end_game", "dora")


def dump(ev: dict) -> str:
    return json.dumps(ev, ensure_ascii=False, separators=(",", ":"))


def doc_of(events, **options) -> dict:
    return json.loads(mjai_to_tenhou6(events, **options))


def _points_after(evs: list[dict]) -> Iterator[tuple[dict, list[int]]]:
    """Each event with the scores standing after it (kifuzan's deltas)."""
    points: list[int] = []
    for ev in evs:
        t = ev["type"]
        if t == "start_kyoku":
            points = list(ev["scores"])
        elif t == "reach_accepted":
            points[ev["actor"]] -= 1000
        elif t in ("hora", "ryukyoku"):
            points = [p + d for p, d in zip(points, ev["deltas"], strict=True)]
        yield ev, points


def assert_same_events(orig: list[dict], back: list[dict]) -> None:
    """``back`` (the round trip) says what ``orig`` says, in kifuzan's words:
    every field both carry is equal, ura markers in any spelling, scores
    wherever the log gives them, and the dora markers in order."""
    o = [e for e in orig if e["type"] not in _UNALIGNED]
    b = [e for e in back if e["type"] not in _UNALIGNED]
    assert [e["type"] for e in o] == [e["type"] for e in b]
    assert [e["dora_marker"] for e in orig if e["type"] == "dora"] == [e["dora_marker"] for e in back if e["type"] == "dora"]
    for eo, (eb, points) in zip(o, _points_after(b), strict=True):
        t = eb["type"]
        if "scores" in eo and t != "start_game":
            assert eo["scores"] == points, (eo, eb)
        ura = next((eo[k] for k in URA_KEYS if eo.get(k)), None)
        if ura:
            assert eb["ura_markers"] == ura
        if t == "start_game":
            assert eb["names"] == (eo.get("names") or ["", "", "", ""])
        for key, value in eb.items():
            if key in eo and key not in ("names", "ura_markers"):
                assert eo[key] == value, (key, eo, eb)


@needs_engines
@pytest.mark.parametrize("path", ENGINES, ids=lambda p: p.name)
def test_engine_logs_convert_and_come_back(path: Path) -> None:
    text = path.read_text(encoding="utf-8")
    doc = mjai_to_tenhou6(text)
    orig = [json.loads(x) for x in text.splitlines() if x.strip()]
    assert_same_events(orig, [json.loads(x) for x in tenhou_to_mjai(doc)])
    # The final points are the game's own where it states them.
    end = orig[-1]
    if end["type"] == "end_game" and "scores" in end:
        assert json.loads(doc)["sc"][0::2] == end["scores"]


@needs_engines
def test_ura_of_gimites_server_is_scored() -> None:
    # The win that was written as 30符3飜5800点 beside deltas paying 11,600.
    doc = doc_of((SHARED / "engines" / "manue-go_2025-08-23-085608.mjson").read_text(encoding="utf-8"))
    entry = next(k for k in doc["log"] if k[0] == [6, 1, 0])
    assert entry[3] == [22]
    assert entry[-1] == ["和了", [-11900, 0, 12900, 0],
                         [2, 0, 2, "30符4飜11600点", "立直(1飜)", "平和(1飜)", "ドラ(1飜)", "裏ドラ(1飜)"]]


# ---- one game in every spelling ----------------------------------------------


def _points_facts(detail: list) -> dict:
    """fan, fu and hora_points as engines state them, read from a result's detail."""
    text = detail[3]
    m = re.match(r"(?:(\d+)符(\d+)飜|\D*)(?:(\d+)-)?(\d+)点(∀?)", text)
    assert m, text
    fu, _, other, main, each = m.groups()
    points = 3 * int(main) if each else int(main) + 2 * int(other) if other else int(main)
    han = sum(int(h) for h in re.findall(r"\((\d+)飜\)", "".join(detail[4:])))
    facts = {"hora_points": points, "yakus": [[y, 1] for y in detail[4:]]}
    if "役満" not in "".join(detail[4:]):
        facts["fan"] = han
        if fu:
            facts["fu"] = int(fu)
    return facts


def _with_scores(evs: list[dict], hora: str, ryukyoku: str) -> list[dict]:
    """hora and ryukyoku rewritten to state the scores after them ('scores'),
    both ('both') or, for hora, nothing ('neither'); 'deltas' keeps them."""
    out = []
    for ev, points in _points_after(evs):
        ev = dict(ev)
        t = ev["type"]
        if t in ("hora", "ryukyoku"):
            how = hora if t == "hora" else ryukyoku
            if how in ("scores", "both"):
                ev["scores"] = list(points)
            if how in ("scores", "neither"):
                del ev["deltas"]
        out.append(ev)
    return out


def _rename(evs: list[dict], key: str) -> list[dict]:
    return [{(key if k == "ura_markers" else k): v for k, v in ev.items()} for ev in evs]


def _no_start_scores(evs: list[dict]) -> list[dict]:
    return [{k: v for k, v in ev.items() if k != "scores" or ev["type"] != "start_kyoku"} for ev in evs]


def _extra_fields(evs: list[dict], doc: dict) -> list[dict]:
    """Fields engines add, those that state facts with the facts of the game."""
    details = [k[-1][i] for k in doc["log"] if k[-1][0] == "和了" for i in range(2, len(k[-1]), 2)]
    out = []
    for n, (ev, points) in enumerate(_points_after(evs)):
        ev = dict(ev, id=n, logs=[None] * 4, meta={"engine": "x"})
        t = ev["type"]
        if t == "start_kyoku":
            ev["haiyama"] = ["1m"] * 136
        elif t == "hora":
            ev.update(_points_facts(details.pop(0)), hora_tehais=[])
        elif t in ("reach_accepted", "tsumo", "dahai", "chi", "pon", "kakan", "ankan", "daiminkan", "reach", "dora"):
            ev["scores"] = list(points)
        out.append(ev)
    return out


SPELLINGS = {
    "start_kyoku without scores": lambda evs, doc: _no_start_scores(evs),
    "uradora_markers": lambda evs, doc: _rename(evs, "uradora_markers"),
    "uradora_marker": lambda evs, doc: _rename(evs, "uradora_marker"),
    "results as scores": lambda evs, doc: _with_scores(evs, "scores", "scores"),
    "results as deltas and scores": lambda evs, doc: _with_scores(evs, "both", "both"),
    "hora with neither": lambda evs, doc: _with_scores(evs, "neither", "deltas"),
    "no end_kyoku, no end_game": lambda evs, doc: [e for e in evs if e["type"] not in ("end_kyoku", "end_game")],
    "extra fields": _extra_fields,
    "all at once": lambda evs, doc: _rename(_no_start_scores(_with_scores(_extra_fields(evs, doc), "scores", "both")),
                                            "uradora_markers"),
}


def _games() -> list[Path]:
    games = RECORDS[:6]
    riichienv = SHARED / "engines" / "riichienv_2_1.mjson"
    return games + ([riichienv] if riichienv.exists() else [])


def _events(path: Path) -> list[dict]:
    text = path.read_text(encoding="utf-8")
    lines = tenhou_to_mjai(text) if path.suffix == ".json" else text.splitlines()
    return [json.loads(x) for x in lines]


@needs_records
@pytest.mark.parametrize("path", _games(), ids=lambda p: p.name)
def test_every_spelling_gives_the_same_document(path: Path) -> None:
    evs = _events(path)
    want = doc_of(list(map(dump, evs)))
    for name, rewrite in SPELLINGS.items():
        assert doc_of(list(map(dump, rewrite(evs, want)))) == want, name
    text = "\n".join(map(dump, evs))
    assert doc_of("[" + text.replace("\n", ",") + "]") == want
    assert doc_of(["[", *(x + "," for x in text.splitlines()[:-1]), text.splitlines()[-1], "]"]) == want
    assert is_mjai_record("[" + text.replace("\n", ",\n") + "]")
    # names [] or none: blank names, nothing else changed
    blank = dict(want, name=["", "", "", ""])
    for names in ({"names": []}, {}):
        start = {k: v for k, v in evs[0].items() if k != "names"} | names
        assert doc_of([dump(start), *map(dump, evs[1:])]) == blank


@needs_records
@pytest.mark.parametrize("path", _games(), ids=lambda p: p.name)
def test_dahai_without_tsumogiri_is_the_drawn_tile(path: Path) -> None:
    # A discard from the hand of the tile just drawn reads as that tile discarded at once.
    evs, drawn = _events(path), {}
    as_read, unstated = [], []
    for ev in evs:
        if ev["type"] == "tsumo":
            drawn[ev["actor"]] = ev["pai"]
        elif ev["type"] in ("chi", "pon"):
            drawn[ev["actor"]] = None
        if ev["type"] == "dahai":
            as_read.append(dict(ev, tsumogiri=drawn.get(ev["actor"]) == ev["pai"]))
            unstated.append({k: v for k, v in ev.items() if k != "tsumogiri"})
            drawn[ev["actor"]] = None
        else:
            as_read.append(ev)
            unstated.append(ev)
    assert doc_of(list(map(dump, unstated))) == doc_of(list(map(dump, as_read)))


# ---- results that disagree -----------------------------------------------------


def _last_ron(paths: list[Path]) -> tuple[list[dict], int]:
    """A shared game whose last kyoku ends in one ron, and that hora's index."""
    for path in paths:
        evs = _events(path)
        horas = [i for i, e in enumerate(evs) if e["type"] == "hora"]
        last_start = max(i for i, e in enumerate(evs) if e["type"] == "start_kyoku")
        if horas and horas[-1] > last_start and len([i for i in horas if i > last_start]) == 1:
            if evs[horas[-1]]["actor"] != evs[horas[-1]]["target"]:
                return evs, horas[-1]
    pytest.skip("no shared game ends in one ron")


@needs_records
def test_a_changed_delta_is_refused_or_trusted() -> None:
    evs, at = _last_ron(RECORDS)
    hora = evs[at]
    want = doc_of(list(map(dump, evs)))
    changed = list(hora["deltas"])
    changed[hora["actor"]] += 1000
    changed[hora["target"]] -= 1000
    lines = list(map(dump, evs))
    lines[at] = dump(dict(hora, deltas=changed))
    entry = want["log"][-1]
    name = f"kyoku {len(want['log']) - 1} \\("
    with pytest.raises(MjaiError) as e:
        mjai_to_tenhou6(lines)
    assert re.match(name, str(e.value))
    assert (f"event {at + 1}: the win of seat {hora['actor']} (ron on seat {hora['target']}) has the deltas "
            f"{changed} in the log, but its hand scores {entry[-1][2][3]}: {hora['deltas']}") in str(e.value)

    trusted = doc_of(lines, trust_deltas=True)
    result = trusted["log"][-1][-1]
    honba, kyotaku = entry[0][1], entry[0][2]
    sticks = kyotaku + sum(e["type"] == "reach_accepted" for e in evs[max(
        i for i, e in enumerate(evs) if e["type"] == "start_kyoku"):at])
    own = changed[hora["actor"]] - 300 * honba - 1000 * sticks
    # the text says the changed payment and nothing the deltas do not; no yaku that give another
    assert result[1] == changed and result[2][:3] == entry[-1][2][:3]
    assert re.fullmatch(rf"(満貫|跳満|倍満|三倍満|役満)?{own}点", result[2][3]) and result[2][4:] == []
    assert trusted["sc"][0::2] == [p + c - d for p, c, d in zip(want["sc"][0::2], changed, hora["deltas"], strict=True)]
    assert trusted["log"][:-1] == want["log"][:-1]


STATED = {
    # the riichi tsumo scores 30符3飜2000点∀: deltas 7000, -2000 each
    "fan": ({"fan": 4}, "has 4 han in the log, but its hand scores 30符3飜2000点∀"),
    "fu": ({"fu": 40}, "has 40 fu in the log, but its hand scores 30符3飜2000点∀"),
    "points": ({"hora_points": 7800}, "has 7800 points in the log, but its hand scores 30符3飜2000点∀"),
    "scores": ({"scores": [33000, 23000, 23000, 23000]}, "has the deltas [9000, -2000, -2000, -2000] in the log"),
    "deltas and scores": ({"deltas": [7000, -2000, -2000, -2000], "scores": [33000, 23000, 23000, 23000]},
                          "gives the deltas [7000, -2000, -2000, -2000] but the scores [33000, 23000, 23000, 23000], "
                          "which are [9000, -2000, -2000, -2000] from [24000, 25000, 25000, 25000]"),
}


@pytest.mark.parametrize("name", STATED)
def test_stated_facts_are_checked(name: str) -> None:
    fields, message = STATED[name]
    hora = dict(HORA(0, 0), **fields)
    lines = kyoku([WAIT_1S, FAR, FAR, FAR], [RIICHI_ROUND, fill(1, 3), T(0, "1s"), hora])
    with pytest.raises(MjaiError, match=re.escape(f"kyoku 0 (East 1, 0 honba), event 22: ") + ".*" + re.escape(message)):
        mjai_to_tenhou6(lines)


def test_facts_the_log_lacks_are_named() -> None:
    base = [RIICHI_ROUND, fill(1, 3), T(0, "1s")]
    no_ura = {"type": "hora", "actor": 0, "target": 0}
    with pytest.raises(MjaiError, match=r"event 22: the win of seat 0 after riichi gives no ura indicators"):
        mjai_to_tenhou6(kyoku([WAIT_1S, FAR, FAR, FAR], [base, no_ura]))
    # stated deltas that agree need no ura
    assert doc_of(kyoku([WAIT_1S, FAR, FAR, FAR], [base, dict(no_ura, deltas=[7000, -2000, -2000, -2000])]))
    with pytest.raises(MjaiError, match=r"event 22: the win of seat 0 has neither deltas nor scores, and is not scored"):
        mjai_to_tenhou6(kyoku([WAIT_1S, FAR, FAR, FAR], [base, HORA(0, 0)]), score=False)


@needs_engines
def test_start_scores_must_follow_the_results() -> None:
    evs = _events(SHARED / "engines" / "riichienv_2_1.mjson")
    second = [i for i, e in enumerate(evs) if e["type"] == "start_kyoku"][1]
    evs[second] = dict(evs[second], scores=[22000, 26000, 26000, 27000])
    with pytest.raises(MjaiError, match=re.escape(
            f"kyoku 1 (East 2, 1 honba), event {second + 1}: start_kyoku gives the scores [22000, 26000, 26000, 27000], "
            "but the results before it give [22000, 26000, 26000, 26000]")):
        mjai_to_tenhou6(list(map(dump, evs)))


# ---- a game cut off by an error --------------------------------------------------


@needs_engines
@pytest.mark.parametrize("inside", [False, True], ids=["between kyoku", "inside a kyoku"])
def test_error_event_refuses_or_ends_the_game(inside: bool) -> None:
    evs = _events(SHARED / "engines" / "riichienv_2_1.mjson")
    starts = [i for i, e in enumerate(evs) if e["type"] == "start_kyoku"]
    at = starts[3] + 5 if inside else starts[3]
    cut = evs[:at] + [{"type": "error", "message": "bot 2 timed out"}]
    lines = list(map(dump, cut))
    where = "kyoku 3 (East 4, 0 honba), " if inside else ""
    with pytest.raises(MjaiError, match=re.escape(f"{where}event {at + 1}: the game is cut off by an error event "
                                                  "(bot 2 timed out)")):
        mjai_to_tenhou6(lines)
    doc = doc_of(lines, partial=True)
    assert doc["log"] == doc_of(list(map(dump, evs)))["log"][:3]
    assert doc["sc"][0::2] == evs[starts[3]]["scores"]
    with pytest.raises(MjaiError, match="event 2: no kyoku is finished before the error event"):
        mjai_to_tenhou6(lines[:1] + [dump({"type": "error"})], partial=True)


@needs_records
def test_command_line_trusts_deltas(tmp_path: Path, capsysbinary) -> None:
    evs, at = _last_ron(RECORDS)
    actor, target = evs[at]["actor"], evs[at]["target"]
    evs[at] = dict(evs[at], deltas=[d + (1000 if s == actor else -1000 if s == target else 0)
                                    for s, d in enumerate(evs[at]["deltas"])])
    record = tmp_path / "game.mjson"
    record.write_text("\n".join(map(dump, evs)), encoding="utf-8")
    assert cli(["--to", "tenhou6", str(record)]) == 1
    assert cli(["--to", "tenhou6", "--trust-deltas", str(record)]) == 0
    out = capsysbinary.readouterr().out
    assert json.loads(out)["log"][-1][-1][1] == evs[at]["deltas"]
