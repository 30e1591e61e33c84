"""mjai_to_tenhou6: whole games both ways, situational yaku on hand-made kyoku, refusals."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

import kifuzan
from kifuzan import MjaiError, mjai_to_tenhou6, tenhou_to_mjai
from kifuzan.reverse import _final_scores

SHARED = Path(__file__).resolve().parents[3] / "shared" / "corpus"
RECORDS = sorted((SHARED / "four_player").glob("*.json"))
MJLOG = sorted((SHARED / "mjlog").glob("*.mjson"))
needs_shared = pytest.mark.skipif(not RECORDS or not MJLOG, reason="../shared/corpus is absent")


# A chip lobby's game: tenhou pays 4,000 each beside its text 30符4飜3900点∀. Refused, or written as paid.
PAID_AGAINST_TEXT = {"017": r"kyoku 0 \(East 1, 0 honba\), event 86: the win of seat 0 \(tsumo\) has the deltas "
                            r"\[13000, -4000, -4000, -4000\] in the log, but its hand scores 30符4飜3900点∀: "
                            r"\[12700, -3900, -3900, -3900\]"}


def _expected_doc(path: Path) -> dict:
    if path.suffix == ".mjson":
        for name in (path.stem + ".tenhou6.json", path.stem + ".json"):
            if (path.parent / name).exists():
                return json.loads((path.parent / name).read_text(encoding="utf-8"))
    return json.loads(path.read_text(encoding="utf-8"))


def _lines(path: Path) -> list[str]:
    if path.suffix == ".mjson":
        return path.read_text(encoding="utf-8").splitlines()
    return tenhou_to_mjai(path.read_text(encoding="utf-8"))


@needs_shared
@pytest.mark.parametrize("path", RECORDS + MJLOG, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_shared_records_both_ways(path: Path) -> None:
    lines = _lines(path)
    if path.stem in PAID_AGAINST_TEXT:
        with pytest.raises(MjaiError, match=PAID_AGAINST_TEXT[path.stem]):
            mjai_to_tenhou6(lines)
        text = mjai_to_tenhou6(lines, trust_deltas=True)
        assert tenhou_to_mjai(text) == lines
        # written as paid, mangan (kiriage), with the yaku that make it
        got, want = json.loads(text)["log"], _expected_doc(path)["log"]
        want[0][-1][2][3] = "満貫4000点∀"
        assert got == want
        return
    text = mjai_to_tenhou6(lines)
    assert tenhou_to_mjai(text) == lines
    doc, want = json.loads(text), _expected_doc(path)
    # Mahjong Soul exports carry Mahjong Soul's win texts, not tenhou's.
    if not want["rule"]["disp"].startswith(("般", "上", "特", "鳳")):
        return
    for got_kyoku, want_kyoku in zip(doc["log"], want["log"], strict=True):
        assert got_kyoku == want_kyoku
    if "sc" in want:
        assert doc["sc"][0::2] == want["sc"][0::2]


@pytest.mark.skipif(not (SHARED / "variants.jsonl").exists(), reason="../shared/corpus is absent")
def test_changed_records_convert_back_or_are_refused() -> None:
    # Changed copies give streams the forward conversion accepts but that are no
    # consistent game (a seat discarding what it does not hold, a changed result
    # that the next kyoku's scores do not follow): those are refused.
    converted = 0
    for line in (SHARED / "variants.jsonl").read_text(encoding="utf-8").splitlines():
        v = json.loads(line)
        if v["outcome"] == "ok":
            lines = tenhou_to_mjai(v["input"])
            try:
                text = mjai_to_tenhou6(lines, score=False)
            except MjaiError:
                continue
            assert tenhou_to_mjai(text) == lines
            converted += 1
    assert converted >= 90


def test_final_results_round_as_tenhou() -> None:
    # 015 and 010 of the shared records: 11.5 -> 12, the top takes minus the others' sum.
    assert _final_scores([21300, 65300, -4000, 17400], (20, 10, -10, -20))[1::2] == [1, 76, -54, -23]
    assert _final_scores([25800, 34000, 8700, 31500], (20, 10, -10, -20))[1::2] == [-14, 43, -41, 12]
    # ties go to the lower seat
    assert _final_scores([25000] * 4, (20, 10, -10, -20))[1::2] == [35, 5, -15, -25]


# ---- hand-made kyoku ---------------------------------------------------------

HONOURS = "ESWNPFC"


def tiles(text: str) -> list[str]:
    """'234m9s1z' -> ['2m', '3m', '4m', '9s', 'E']"""
    out, digits = [], ""
    for ch in text:
        if ch.isdigit():
            digits += ch
        else:
            out += [HONOURS[int(d) - 1] if ch == "z" else d + ch for d in digits]
            digits = ""
    return out


WAIT_1S = "234m678m345p789s1s"  # tanki on 1s, no yaku of its own
WAIT_4S = "234m678m345p99s35s"  # kanchan on 4s
FAR = "147m147p147s1234z"


def T(s, p):
    return {"type": "tsumo", "actor": s, "pai": p}


def D(s, p, tsumogiri=True):
    return {"type": "dahai", "actor": s, "pai": p, "tsumogiri": tsumogiri}


def R(s, p):  # riichi on a tsumogiri
    return [{"type": "reach", "actor": s}, D(s, p), {"type": "reach_accepted", "actor": s}]


def fill(first: int, count: int, tile: str = "F") -> list[dict]:
    """count draws, each discarded at once, seats in turn from first."""
    return [e for k in range(count) for e in (T((first + k) % 4, tile), D((first + k) % 4, tile))]


def HORA(a, t, deltas=None):
    """Without deltas, the converter computes them from the scored hand."""
    if deltas is None:
        return {"type": "hora", "actor": a, "target": t, "ura_markers": []}
    return {"type": "hora", "actor": a, "target": t, "deltas": list(deltas), "ura_markers": []}


def back_without_deltas(lines: list[str], **options) -> list[str]:
    """The round trip, with hora deltas left out as the hand-made kyoku leave them."""
    back = [json.loads(x) for x in tenhou_to_mjai(mjai_to_tenhou6(lines, **options))]
    for ev in back:
        if ev["type"] == "hora":
            del ev["deltas"]
    return [json.dumps(e, ensure_ascii=False, separators=(",", ":")) for e in back]


def kyoku(hands: list[str], events: list, *, aka=True) -> list[str]:
    flat: list[dict] = []

    def walk(items: list) -> None:
        for e in items:
            walk(e) if isinstance(e, list) else flat.append(e)

    walk(events)
    evs = [
        {"type": "start_game", "names": ["A", "B", "C", "D"], "kyoku_first": 0, "aka_flag": aka},
        {"type": "start_kyoku", "bakaze": "E", "dora_marker": "N", "kyoku": 1, "honba": 0, "kyotaku": 0,
         "oya": 0, "scores": [25000] * 4, "tehais": [tiles(h) for h in hands]},
        *flat,
        {"type": "end_kyoku"},
        {"type": "end_game"},
    ]
    return [json.dumps(e, ensure_ascii=False, separators=(",", ":")) for e in evs]


def result(lines: list[str], **options) -> list:
    return json.loads(mjai_to_tenhou6(lines, **options))["log"][0][-1]


PON_E = [T(1, "E"), D(1, "E"), {"type": "pon", "actor": 2, "target": 1, "pai": "E", "consumed": ["E", "E"]},
         D(2, "S", False)]
# seat 0 waits on 1s; its riichi discard, then one round (with or without a call) to its next draw
RIICHI_ROUND = [fill(0, 4), T(0, "F"), R(0, "F")]
CHANKAN = [T(0, "F"), D(0, "F"), T(1, "F"), D(1, "F"), T(2, "F"), D(2, "F"), T(3, "4s"), D(3, "4s", False),
           {"type": "pon", "actor": 1, "target": 3, "pai": "4s", "consumed": ["4s", "4s"]}, D(1, "1m", False),
           fill(2, 3), T(1, "4s"), {"type": "kakan", "actor": 1, "pai": "4s", "consumed": ["4s", "4s", "4s"]}]
ANKAN_70 = [fill(0, 68), T(0, "7s"), {"type": "ankan", "actor": 0, "consumed": ["7s"] * 4},
            {"type": "dora", "dora_marker": "N"}, T(0, "1s")]

FLAG_CASES = {
    "double riichi, ippatsu": (
        [WAIT_1S, FAR, FAR, FAR], [T(0, "F"), R(0, "F"), fill(1, 3), T(0, "1s"), HORA(0, 0)],
        ["30符4飜3900点∀", "両立直(2飜)", "一発(1飜)", "門前清自摸和(1飜)"]),
    "riichi, ippatsu": (
        [WAIT_1S, FAR, FAR, FAR], [RIICHI_ROUND, fill(1, 3), T(0, "1s"), HORA(0, 0)],
        ["30符3飜2000点∀", "立直(1飜)", "一発(1飜)", "門前清自摸和(1飜)"]),
    "ippatsu broken by a call": (
        [WAIT_1S, FAR, "147m147p147s1123z", FAR], [RIICHI_ROUND, PON_E, fill(3, 1), T(0, "1s"), HORA(0, 0)],
        ["30符2飜1000点∀", "立直(1飜)", "門前清自摸和(1飜)"]),
    "chankan": (
        [WAIT_4S, "147m147p1447s123z", FAR, FAR], [*CHANKAN, HORA(0, 1)],
        ["40符1飜2000点", "槍槓(1飜)"]),
    "rinshan on the last draw, not haitei": (
        ["234m678m345p777s1s", FAR, FAR, FAR], [*ANKAN_70, HORA(0, 0)],
        ["40符2飜1300点∀", "嶺上開花(1飜)", "門前清自摸和(1飜)"]),
    "haitei": (
        [FAR, WAIT_1S, FAR, FAR], [fill(0, 69), T(1, "1s"), HORA(1, 1)],
        ["30符2飜500-1000点", "海底摸月(1飜)", "門前清自摸和(1飜)"]),
    "houtei": (
        [FAR, FAR, WAIT_1S, FAR], [fill(0, 69), T(1, "1s"), D(1, "1s"), HORA(2, 1)],
        ["40符1飜1300点", "河底撈魚(1飜)"]),
    "tenhou": (
        [WAIT_1S, FAR, FAR, FAR], [T(0, "1s"), HORA(0, 0)],
        ["役満16000点∀", "天和(役満)"]),
}


@pytest.mark.parametrize("name", FLAG_CASES)
def test_situation_from_the_order_of_events(name: str) -> None:
    hands, events, want = FLAG_CASES[name]
    lines = kyoku(hands, events)
    res = result(lines)
    assert res[0] == "和了" and res[2][3:] == want
    assert back_without_deltas(lines) == lines


def PON(actor, target, tile):
    return {"type": "pon", "actor": actor, "target": target, "pai": tile, "consumed": [tile, tile]}


# Seat 0 pons P, F and C from seat 1 (liable for 大三元) and rons seat 2's 1p.
DAISANGEN = [T(0, "N"), D(0, "N"), [[T(1, d), D(1, d), PON(0, 1, d), D(0, x, False)]
                                    for d, x in (("P", "9s"), ("F", "9s"), ("C", "1p"))],
             T(1, "N"), D(1, "N"), T(2, "1p"), D(2, "1p")]
PAO_CASES = {
    # the liable seat pays half of a ron
    "scored": (HORA(0, 2), {}, [[48000, -24000, -24000, 0], [0, 2, 1, "役満48000点", "大三元(役満)"]]),
    "unscored: the liable seat pays": (HORA(0, 2, (48000, -24000, -24000, 0)), {"score": False},
                                       [[48000, -24000, -24000, 0], [0, 2, 1, ""]]),
    "unscored: no pao from deltas alone": (HORA(0, 2, (48000, 0, -24000, -24000)), {"score": False},
                                           [[48000, 0, -24000, -24000], [0, 2, 0, ""]]),
}


@pytest.mark.parametrize("name", PAO_CASES)
def test_pao_only_for_the_liable_call(name: str) -> None:
    hora, options, want = PAO_CASES[name]
    lines = kyoku(["123m11p99s556677z", FAR, FAR, FAR], [DAISANGEN, hora])
    assert result(lines, **options)[1:] == want


def test_a_third_seat_paying_a_plain_ron_is_refused_not_pao() -> None:
    # seat 0's riichi tsumo of 1s, but written as a ron on seat 2 that seat 3 shares
    lines = kyoku([WAIT_1S, FAR, FAR, FAR], [RIICHI_ROUND, fill(1, 1), T(2, "1s"), D(2, "1s"),
                                             HORA(0, 2, (6800, 0, -2900, -2900))])
    with pytest.raises(MjaiError, match=r"kyoku 0 \(East 1, 0 honba\), event 19: the win of seat 0 \(ron on seat 2\) "
                                        r"has the deltas \[6800, 0, -2900, -2900\] in the log, but its hand scores "
                                        r"40符2飜3900点: \[4900, 0, -3900, 0\]"):
        mjai_to_tenhou6(lines)
    assert result(lines, trust_deltas=True)[1:] == [[6800, 0, -2900, -2900], [0, 2, 0, "5800点"]]


# Seat 0 discards only F, but its first discard is called; the others discard 5m.
ROBBED = [T(0, "F"), D(0, "F"), {"type": "pon", "actor": 1, "target": 0, "pai": "F", "consumed": ["F", "F"]},
          D(1, "1m", False)] + [e for k in range(69) for s in [(2 + k) % 4]
                                for e in (T(s, "F" if s == 0 else "5m"), D(s, "F" if s == 0 else "5m"))]

DRAW_CASES = {
    "nagashi mangan": ([FAR] * 4, fill(0, 70, "F"), (12000, -4000, -4000, -4000), ["流し満貫", [12000, -4000, -4000, -4000]]),
    "nagashi broken by a call": ([FAR, "147m147p147s1266z", FAR, FAR], ROBBED, (3000, -1000, -1000, -1000),
                                 ["流局", [3000, -1000, -1000, -1000]]),
    "plain draw": ([FAR] * 4, fill(0, 70, "5m"), (3000, -1000, -1000, -1000), ["流局", [3000, -1000, -1000, -1000]]),
    "all tenpai": ([WAIT_1S, WAIT_4S, WAIT_1S, WAIT_4S], fill(0, 70, "5m"), (0, 0, 0, 0), ["全員聴牌"]),
    "none tenpai": ([FAR] * 4, fill(0, 70, "5m"), (0, 0, 0, 0), ["全員不聴"]),
    "three tenpai is no 全員聴牌": ([WAIT_1S, WAIT_4S, WAIT_1S, FAR], fill(0, 70, "5m"), (0, 0, 0, 0), ["全員不聴"]),
    "nine terminals": ([FAR] * 4, [T(0, "5m")], (0, 0, 0, 0), ["九種九牌"]),
    "four winds": ([FAR] * 4, fill(0, 4, "E"), (0, 0, 0, 0), ["四風連打"]),
    "four riichi": ([FAR] * 4, [[T(s, "F"), R(s, "F")] for s in range(3)] + [T(3, "F"), R(3, "F")[:2]],
                    (0, 0, 0, 0), ["四家立直"]),
    "triple ron": ([FAR] * 4, fill(0, 2), (0, 0, 0, 0), ["三家和了"]),
}


@pytest.mark.parametrize("name", DRAW_CASES)
def test_draw_names(name: str) -> None:
    hands, events, deltas, want = DRAW_CASES[name]
    lines = kyoku(hands, [events, {"type": "ryukyoku", "deltas": list(deltas)}])
    assert result(lines) == want
    assert tenhou_to_mjai(mjai_to_tenhou6(lines)) == lines


def _swap(lines: list[str], index: int, event: dict | str) -> list[str]:
    out = list(lines)
    out[index] = event if isinstance(event, str) else json.dumps(event, separators=(",", ":"))
    return out


_BASE = kyoku([WAIT_1S, FAR, FAR, FAR], [RIICHI_ROUND, fill(1, 3), T(0, "1s"), HORA(0, 0, (7000, -2000, -2000, -2000))])
REFUSALS = {
    "no start_game": (_BASE[1:], "event 1: the stream does not begin with start_game"),
    "not JSON": (_swap(_BASE, 3, "{oops"), "event 4: not JSON"),
    "not an object": (_swap(_BASE, 3, "[1, 2]"), "kyoku 0 (East 1, 0 honba), event 4: not a JSON object"),
    "no type": (_swap(_BASE, 3, {"actor": 0}), "kyoku 0 (East 1, 0 honba), event 4: an event without a type"),
    "unknown event": (_swap(_BASE, 3, {"type": "kiss", "actor": 0}), "kyoku 0 (East 1, 0 honba), event 4: unknown event type 'kiss'"),
    "tile not held": (_swap(_BASE, 3, D(0, "9p", False)), "event 4: seat 0 does not hold 9p"),
    "call not fitting": (_swap(_BASE, 4, {"type": "pon", "actor": 2, "target": 1, "pai": "F", "consumed": ["E", "E"]}),
                         "event 5: pon of F from seat 1 does not fit the last discard"),
    "no score": (kyoku([FAR] * 4, [T(0, "1s"), HORA(0, 0)]), "event 4: the win of seat 0 does not score: hand not winning"),
    "no yaku": (kyoku([WAIT_1S, FAR, FAR, FAR], [fill(0, 1), T(1, "1s"), D(1, "1s"), HORA(0, 1)]),
                "event 7: the win of seat 0 does not score: no yaku"),
    "three players dealt 4m": (_swap(_BASE, 1, json.loads(_BASE[1]) | {"tehais": [tiles(FAR)] * 3, "scores": [35000] * 3}),
                               "event 2: a three-player game deals 4m, which it does not have"),
    "kita": (_swap(_BASE, 3, {"type": "kita", "actor": 0, "pai": "N"}), "event 4: a kita event in a four-player game"),
    "kyoku not ended": (_BASE[:-3], "kyoku 0 (East 1, 0 honba), event 21: the kyoku does not end"),
    "draw out of turn": (_swap(_BASE, 4, T(2, "F")), "event 5: seat 2 draws out of turn"),
    "tsumogiri of another tile": (_swap(_BASE, 3, D(0, "2m")), "event 4: seat 0 discards 2m as the tile it drew, F"),
    "play after a win": (_BASE[:-2] + [json.dumps(T(1, "F"))] + _BASE[-2:], "event 23: play goes on after a win"),
    "kan without its dora": (kyoku(["234m678m345p777s1s", FAR, FAR, FAR], [*ANKAN_70[:-2], ANKAN_70[-1], HORA(0, 0)]),
                             "a kan without its dora indicator"),
}
# a seat whose hand is hidden wins: refused when scoring, written unscored otherwise
_hidden = json.loads(_BASE[1])
_hidden["tehais"][0] = ["?"] * 13
REFUSALS["hidden hand"] = (_swap(_BASE, 1, _hidden), "the hand of seat 0 is hidden and cannot be scored")


@pytest.mark.parametrize("name", REFUSALS)
def test_refusals_name_the_kyoku_and_event(name: str) -> None:
    lines, message = REFUSALS[name]
    with pytest.raises(MjaiError) as e:
        mjai_to_tenhou6(lines)
    assert message in str(e.value)
    assert isinstance(e.value, ValueError)


def test_hidden_hand_unscored() -> None:
    lines, _ = REFUSALS["hidden hand"]
    lines = _swap(lines, 2, T(0, "?"))  # a hidden draw, discarded at once: it was that tile
    doc = json.loads(mjai_to_tenhou6(lines, score=False))
    assert doc["log"][0][4] == [0] * 13 and doc["log"][0][-1][2] == [0, 0, 0, ""]
    assert doc["log"][0][5][0] == 46 and doc["log"][0][6][0] == 60


def test_header_options_and_record_detection() -> None:
    lines = _BASE
    doc = json.loads(mjai_to_tenhou6("\n".join(lines), **vars(kifuzan.Tenhou6Options(
        ref="x", level="鳳", kuitan=False, fast=True, lobby=7, rate=[1, 2, 3, 4]))))
    assert list(doc) == ["ver", "ref", "log", "ratingc", "rule", "lobby", "dan", "rate", "sx", "sc", "name"]
    assert doc["rule"] == {"disp": "鳳南赤速", "aka53": 1, "aka52": 1, "aka51": 1}
    assert (doc["ref"], doc["lobby"], doc["rate"], doc["dan"]) == ("x", 7, [1, 2, 3, 4], ["", "", "", ""])
    assert kifuzan.is_mjai_record("\n" + "\n".join(lines))
    assert not kifuzan.is_mjai_record(lines[1]) and not kifuzan.is_mjai_record('{"log": []}')


def test_benchmark_command_runs() -> None:
    # Once, tiny: its figures are not judged here.
    root = Path(__file__).resolve().parents[2]
    out = subprocess.run([sys.executable, str(root / "bench" / "reverse_bench.py"), "--repeat", "1", "--profile",
                          "--records", str(root / "examples")], capture_output=True, text=True, check=True).stdout
    assert "1 games" in out and "per call" in out and "cumtime" in out
