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
                                     dan=want["dan"][:3], rate=want["rate"][:3], sx=want["sx"][:3]))
    for got_kyoku, want_kyoku in zip(doc["log"], want["log"], strict=True):
        assert got_kyoku == want_kyoku
    assert doc == want


@pytest.mark.skipif(not (THREE / "001.json").exists(), reason="../shared/corpus is absent")
def test_mahjong_soul_export_pays_the_same() -> None:
    # Mahjong Soul writes its own texts and Kita as a yaku of its own; tenhou counts kitas in ドラ.
    want = json.loads((THREE / "001.json").read_text(encoding="utf-8"))
    doc = json.loads(mjai_to_tenhou6(lines(tenhou3_events(want))))
    for got, kyoku in zip(doc["log"], want["log"], strict=True):
        assert got[:-1] == kyoku[:-1] and got[-1][:2] == kyoku[-1][:2] and got[-1][2][:3] == kyoku[-1][2][:3]
        han = [sum(int(h) for h in re.findall(r"\((\d+)飜\)", "".join(r[-1][2][4:]))) for r in (got, kyoku)]
        assert han[0] == han[1]


def as_form(evs: list[dict], form: str) -> list[dict]:
    """The nukidora form rewritten mechanically into another: kita renames the
    event, nukidora-4 pads a fourth seat (name "", hidden hand, 0 points)."""
    if form == "kita":
        return [dict(e, type="kita") if e["type"] == "nukidora" else e for e in evs]
    if form == "nukidora":
        return evs
    out = []
    for e in evs:
        e = dict(e)
        if e["type"] == "start_game" and "names" in e:
            e["names"] = [*e["names"], ""]
        if e["type"] == "start_kyoku":
            e["tehais"] = [*e["tehais"], ["?"] * 13]
        for key in ("scores", "deltas"):
            if isinstance(e.get(key), list) and len(e[key]) == 3:
                e[key] = [*e[key], 0]
        out.append(e)
    return out


def _engine_events() -> list[dict]:
    evs = [json.loads(x) for x in ENGINE.read_text(encoding="utf-8").splitlines() if x.strip()]
    # the engine writes the kita form: read it as nukidora, the form the rewrites start from
    return [dict(e, type="nukidora") if e["type"] == "kita" else e for e in evs]


def _games() -> list[tuple[str, list[dict]]]:
    games = [(p.name, tenhou3_events(json.loads(p.read_text(encoding="utf-8")))) for p in RECORDS]
    return games + ([(ENGINE.name, _engine_events())] if ENGINE.exists() else [])


@needs_records
@pytest.mark.parametrize("name, evs", _games(), ids=[n for n, _ in _games()])
def test_every_form_gives_the_same_document(name: str, evs: list[dict]) -> None:
    want = mjai_to_tenhou6(lines(evs))
    for form in ("kita", "nukidora-4"):
        assert mjai_to_tenhou6(lines(as_form(evs, form))) == want, form


def _comes_back(orig: list[dict], doc: dict, form: str) -> None:
    """The document read back (in the log's form) says what the log says: every field both carry."""
    back = as_form(tenhou3_events(doc), form)
    o = [e for e in orig if e["type"] not in ("end_kyoku", "end_game")]
    b = [e for e in back if e["type"] not in ("end_kyoku", "end_game")]
    assert [e["type"] for e in o] == [e["type"] for e in b]
    for eo, eb in zip(o, b, strict=True):
        for key in eo.keys() & eb.keys() - {"names"}:
            assert eo[key] == eb[key], (key, eo, eb)


@pytest.mark.skipif(not MJLEGAL.exists(), reason="../shared/corpus is absent")
def test_a_server_paying_by_other_rules_converts_as_paid() -> None:
    # It starts at 30,000 (told only by its first riichi's scores), pays a dealer's
    # mangan tsumo 4,000 from each of two seats yet gives the winner 12,000, a
    # 300 honba and a 3,000 no-ten pool: refused as scored, written as paid.
    text = MJLEGAL.read_text(encoding="utf-8")
    with pytest.raises(MjaiError, match=re.escape(
            "kyoku 0 (East 1, 0 honba), event 116: the win of seat 0 (tsumo) has the deltas [14000, -4000, -4000, 0] "
            "in the log, but its hand scores 満貫4000点∀: [10000, -4000, -4000, 0]")):
        mjai_to_tenhou6(text)
    doc = json.loads(mjai_to_tenhou6(text, trust_deltas=True))
    orig = [json.loads(x) for x in text.splitlines() if x.strip()]
    _comes_back(orig, doc, "nukidora")
    assert doc["log"][0][1] == [30000, 30000, 30000, 0]
    assert doc["sc"][0::2] == [*orig[-1]["scores"], 0]
    # a win paid as scored keeps its yaku
    assert doc["log"][2][-1][2][3:5] == ["跳満12000点", "立直(1飜)"]


@needs_engine
def test_engine_log_converts_and_comes_back() -> None:
    orig = [json.loads(x) for x in ENGINE.read_text(encoding="utf-8").splitlines() if x.strip()]
    doc = json.loads(mjai_to_tenhou6(lines(orig)))
    _comes_back(orig, doc, "kita")
    # three seats' lists as tenhou writes them, the fourth empty
    assert all(k[1][3] == 0 and k[13:16] == [[], [], []] for k in doc["log"])
    assert doc["name"] == ["", "", "", ""] and doc["rule"]["disp"] == "三般南喰赤" and doc["ratingc"] == "PF3"
    assert sum(d.count("f44") for k in doc["log"] for d in k[6:16:3]) == sum(e["type"] == "kita" for e in orig)
    # over 40,000 with uma +20 0 -20: 31,400 second -8.6, 31,000 third -9 - 20, the top the rest
    assert doc["sc"] == [31400, -8.6, 31000, -29, 42600, 37.6, 0, 0]
    with pytest.raises(ValueError, match="uma needs 3 values for this game, got 4"):
        mjai_to_tenhou6(lines(orig), uma=(20, 10, -10, -20))


def _changed(evs: list[dict], at: int, ev: dict | None = None, *, insert: bool = False) -> list[str]:
    out = list(evs)
    if insert:
        out.insert(at, ev)
    elif ev is None:
        del out[at]
    else:
        out[at] = ev
    return lines(out)


def _refusals() -> dict[str, tuple[list[str], str]]:
    evs = _engine_events()
    kita = next(i for i, e in enumerate(evs) if e["type"] == "nukidora")  # seat 2's, after its draw of N
    second = [i for i, e in enumerate(evs) if e["type"] == "start_kyoku"][1]
    last_kita = max(i for i, e in enumerate(evs) if e["type"] == "nukidora")
    four = as_form(evs, "nukidora-4")
    draw = evs[kita - 1]
    first_kyoku = "kyoku 0 (East 1, 0 honba), "
    return {
        "kita after nukidora": (_changed(evs, last_kita, dict(evs[last_kita], type="kita")),
                                f"event {last_kita + 1}: a kita event after nukidora events: one log, one form"),
        "four seats after three": (_changed(evs, second, four[second]),
                                   f"event {second + 1}: start_kyoku deals three players and a padded fourth seat "
                                   "(nukidora-4), but the game so far deals three players (three seats)"),
        "kita in nukidora-4": (_changed(four, kita, dict(four[kita], type="kita")),
                               f"{first_kyoku}event {kita + 1}: a kita event in a log of four seats"),
        "the fourth seat acts": (_changed(four, kita - 1, dict(draw, actor=3)),
                                 f"{first_kyoku}event {kita}: seat 3 acts in a three-player game"),
        "kita of another tile": (_changed(evs, kita, dict(evs[kita], pai="E")),
                                 f"{first_kyoku}event {kita + 1}: nukidora of 'E': only North is set aside"),
        "kita without a North": (_changed(evs, kita - 1, dict(draw, pai="E")),
                                 f"{first_kyoku}event {kita + 1}: seat 2 sets North aside but holds none"),
        "kita out of turn": (_changed(evs, kita, dict(evs[kita], actor=1)),
                             f"{first_kyoku}event {kita + 1}: seat 1 sets North aside out of turn"),
        "2m-8m": (_changed(evs, kita - 1, dict(draw, pai="5m")),
                  f"{first_kyoku}event {kita}: seat 2 draws 5m, which a three-player game does not have"),
        "chi": (_changed(evs, kita + 3, {"type": "chi", "actor": 0, "target": 2, "pai": "1p", "consumed": ["2p", "3p"]},
                         insert=True), f"{first_kyoku}event {kita + 4}: a chi in a three-player game"),
        "kita in four players": (lines([evs[0], dict(evs[1], tehais=[*evs[1]["tehais"], evs[1]["tehais"][0]],
                                                     scores=[35000] * 4),
                                        {"type": "tsumo", "actor": 0, "pai": "N"},
                                        {"type": "nukidora", "actor": 0, "pai": "N"}]),
                                 "event 4: a nukidora event in a four-player game"),
    }


@needs_engine
@pytest.mark.parametrize("name", list(_refusals()) if ENGINE.exists() else [])
def test_refusals(name: str) -> None:
    given, message = _refusals()[name]
    with pytest.raises(MjaiError) as e:
        mjai_to_tenhou6(given)
    assert message in str(e.value)


@needs_engine
def test_command_line_and_batch_write_three_player_documents(tmp_path: Path, capsysbinary) -> None:
    from kifuzan import convert_many
    from kifuzan.__main__ import main as cli

    want = json.loads(mjai_to_tenhou6(ENGINE.read_text(encoding="utf-8")))["log"]
    assert cli(["--to", "tenhou6", str(ENGINE)]) == 0
    assert json.loads(capsysbinary.readouterr().out)["log"] == want
    summary = convert_many([ENGINE], tmp_path, to="tenhou6", workers=1, progress=False)
    assert summary.converted == 1
    written = [p for p in tmp_path.iterdir() if p.name.startswith(ENGINE.stem)]
    assert [json.loads(p.read_text(encoding="utf-8"))["log"] for p in written] == [want]


# A closed tsumo waiting on 9m (tanki, 30 fu), by a non-dealer: the dora and kita rules as tenhou counts them.
WRAP_CASES = {
    "1m shows 9m": (True, ["1m"], 0, "30符3飜1000-2000点", 3000, ["門前清自摸和(1飜)", "ドラ(2飜)"]),
    "1m shows 2m with four players": (False, ["1m"], 0, "30符1飜300-500点", 1100, ["門前清自摸和(1飜)"]),
    "each kita a dora": (True, ["2p"], 2, "30符4飜2000-3900点", 5900, ["門前清自摸和(1飜)", "ドラ(3飜)"]),
    "kita twice when North is dora": (True, ["W"], 2, "満貫2000-4000点", 6000, ["門前清自摸和(1飜)", "ドラ(4飜)"]),
}


@pytest.mark.parametrize("name", WRAP_CASES)
def test_dora_wrap_and_kita_in_dora(name: str) -> None:
    from kifuzan.scoring import Scorer, Situation

    three, dora, kitas, text, points, yaku = WRAP_CASES[name]
    s = Situation()
    s.tsumo, s.seat_wind = True, 28
    concealed = ["2p", "3p", "4p", "5p", "6p", "7p", "2s", "3s", "4s", "6s", "7s", "8s", "9m"]
    scored = Scorer(kuitan=True, aka=True, three=three).score(concealed, "9m", [], dora, [], s, kitas)
    assert (scored.text, scored.points, scored.yaku) == (text, points, yaku)


@needs_engine
def test_changed_three_player_logs_convert_or_are_refused() -> None:
    # Any event of the engine log, in any form, dropped, repeated or given another
    # field value (seat, tile, type): converted, or refused as MjaiError, never another error.
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    forms = {form: as_form(_engine_events(), form) for form in ("nukidora", "kita", "nukidora-4")}
    values = st.sampled_from([0, 1, 2, 3, -1, None, "N", "E", "5m", "9m", "?", "kita", "nukidora", "dahai", [], [1, 2]])

    @settings(max_examples=300, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.sampled_from(list(forms)), st.integers(0, len(forms["kita"]) - 1),
           st.sampled_from(["drop", "repeat", "change"]),
           st.sampled_from(["actor", "target", "pai", "type", "tehais", "scores", "deltas"]), values)
    def changed(form: str, at: int, how: str, key: str, value) -> None:
        out = list(forms[form])
        if how == "drop":
            del out[at]
        elif how == "repeat":
            out.insert(at, out[at])
        else:
            out[at] = dict(out[at], **{key: value})
        try:
            mjai_to_tenhou6(lines(out))
        except MjaiError:
            pass

    changed()
