"""mjai_to_tenhou6 on three-player games: tenhou's own records back from their
mjai, the engine logs, the three forms of one game, and the refusals."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest
from test_reverse import SHARED

from kifuzan import MjaiError, mjai_to_tenhou6

THREE = SHARED / "three_player"
RECORDS = sorted((THREE / "json").glob("*.json"))
ENGINE = THREE / "mjai" / "riichienv_3p_seed1_san_hanchan.jsonl"
MJLEGAL = THREE / "mjai" / "mjlegal_test_mjson_0.mjson"
needs_records = pytest.mark.skipif(not RECORDS, reason="../shared/corpus is absent")
needs_engine = pytest.mark.skipif(not ENGINE.exists(), reason="../shared/corpus is absent")

NAME = {11 + 10 * s + n: f"{n + 1}{suit}" for s, suit in enumerate("mps") for n in range(9)}
NAME |= {41 + i: h for i, h in enumerate("ESWNPFC")} | {51: "5mr", 52: "5pr", 53: "5sr"}


def _codes(text: str) -> list[int]:
    return [int(text[i:i + 2]) for i in range(0, len(text), 2)]


def _call(text: str) -> tuple[str, int, list[str], int]:
    """A take's call text: (mjai type, called tile, own tiles, where the marker stands)."""
    at = next(i for i, ch in enumerate(text) if ch.isalpha())
    kind = {"p": "pon", "m": "daiminkan"}[text[at]]
    own = _codes(text[:at] + text[at + 3:])
    return kind, int(text[at + 1:at + 3]), [NAME[c] for c in own], at // 2


def tenhou3_events(doc: dict) -> list[dict]:
    """The mjai (nukidora form) of a three-player tenhou.net/6 document, read
    by hand: seats in turn from the dealer over 0-2, a call where the next
    take of a seat is the call text of the discard just made, f44 a kita
    followed by that seat's replacement draw."""
    evs: list[dict] = [{"type": "start_game", "names": doc["name"][:3], "kyoku_first": 0, "aka_flag": True}]
    for k in doc["log"]:
        (index, honba, kyotaku), scores, dora, ura = k[0], k[1], k[2], k[3]
        oya = index % 4
        takes = [list(k[5 + 3 * s]) for s in range(3)]
        discards = [list(k[6 + 3 * s]) for s in range(3)]
        result = k[-1]
        evs.append({"type": "start_kyoku", "bakaze": "ESWN"[index // 4], "kyoku": oya + 1, "honba": honba,
                    "kyotaku": kyotaku, "oya": oya, "dora_marker": NAME[dora[0]], "scores": scores[:3],
                    "tehais": [[NAME[c] for c in k[4 + 3 * s]] for s in range(3)]})
        kan_dora = [NAME[c] for c in dora[1:]]
        ron_on_last = result[0] == "和了" and result[2][0] != result[2][1]
        seat, drawn = oya, ""
        while takes[seat]:
            t = takes[seat].pop(0)
            drawn = NAME[t]
            evs.append({"type": "tsumo", "actor": seat, "pai": drawn})
            while discards[seat]:
                d = discards[seat].pop(0)
                if d == "f44":
                    evs.append({"type": "nukidora", "actor": seat, "pai": "N"})
                elif isinstance(d, str) and ("a" in d or "k" in d):
                    marker = "a" if "a" in d else "k"
                    at = d.index(marker)
                    added = int(d[at + 1:at + 3])
                    own = [NAME[c] for c in _codes(d[:at] + d[at + 3:])]
                    if marker == "a":
                        evs.append({"type": "ankan", "actor": seat, "consumed": [*own[:3], NAME[added]]})
                    else:
                        evs.append({"type": "kakan", "actor": seat, "pai": NAME[added], "consumed": own})
                    if kan_dora:
                        evs.append({"type": "dora", "dora_marker": kan_dora.pop(0)})
                else:
                    seat = _discard(evs, seat, d, drawn, takes, discards, ron_on_last)
                    if evs[-1]["type"] == "daiminkan" and kan_dora:
                        evs.append({"type": "dora", "dora_marker": kan_dora.pop(0)})
                    break
                if not takes[seat]:
                    break
                evs.append({"type": "tsumo", "actor": seat, "pai": (drawn := NAME[takes[seat].pop(0)])})
            else:
                break
        if result[0] == "和了":
            for deltas, detail in zip(result[1::2], result[2::2]):
                evs.append({"type": "hora", "actor": detail[0], "target": detail[1], "deltas": deltas[:3],
                            "ura_markers": [NAME[c] for c in ura]})
        else:
            deltas = result[1][:3] if len(result) > 1 else [0, 0, 0]
            evs.append({"type": "ryukyoku", "deltas": deltas})
        evs.append({"type": "end_kyoku"})
    evs.append({"type": "end_game"})
    return evs


def _calls(takes: list, pai: str, rel: int) -> bool:
    """Whether the seat's next take is a call of ``pai`` from the seat ``rel`` places before it."""
    if not takes or not isinstance(takes[0], str):
        return False
    _, called, own, at = _call(takes[0])
    return NAME[called] == pai and at == {3: 0, 2: 1, 1: len(own)}[rel]


def _discard(evs, seat, d, drawn, takes, discards, ron_on_last) -> int:
    """A discard, its riichi, and the calls it leads to; the seat to draw next."""
    while True:
        riichi = isinstance(d, str) and d.startswith("r")
        code = int(d[1:]) if riichi else d
        pai = drawn if code == 60 else NAME[code]
        if riichi:
            evs.append({"type": "reach", "actor": seat})
        evs.append({"type": "dahai", "actor": seat, "pai": pai, "tsumogiri": code == 60})
        last = not any(takes)
        if riichi and not (last and ron_on_last):
            evs.append({"type": "reach_accepted", "actor": seat})
        caller = next((o for o in range(3) if o != seat and _calls(takes[o], pai, (seat - o) % 4)), None)
        if caller is None:
            return (seat + 1) % 3
        kind, called, own, _ = _call(takes[caller].pop(0))
        evs.append({"type": kind, "actor": caller, "target": seat, "pai": NAME[called], "consumed": own})
        seat, drawn = caller, ""
        d = discards[seat].pop(0)
        if kind == "daiminkan":
            return seat


def lines(evs: list[dict]) -> list[str]:
    return [json.dumps(e, ensure_ascii=False, separators=(",", ":")) for e in evs]


@needs_records
@pytest.mark.parametrize("path", RECORDS, ids=lambda p: p.name)
def test_tenhous_own_records_come_back(path: Path) -> None:
    want = json.loads(path.read_text(encoding="utf-8"))
    doc = json.loads(mjai_to_tenhou6(lines(tenhou3_events(want)), level="鳳", lobby=0, ref=want["ref"],
                                     dan=want["dan"], rate=want["rate"], sx=want["sx"]))
    for got_kyoku, want_kyoku in zip(doc["log"], want["log"], strict=True):
        assert got_kyoku == want_kyoku
    assert doc == want
