"""kifuzan._native.tenhou6_to_mjai: three-player tenhou.net/6 records in each
mjai form, and four-player ones exactly as tenhou_to_mjai gives them; three-
player mjlog records through the same forms and to tenhou's own document."""

from __future__ import annotations

import json
import pathlib

import subprocess
import sys

import pytest

import _kifuzan
import kifuzan
from conftest import dump, tiny_log
from kifuzan._native import tenhou6_to_mjai
from test_examples import assert_complete, replay_wins

SHARED = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"
THREE = SHARED / "three_player"
FORMS = ("nukidora", "kita", "nukidora-4")


def json_records() -> list[pathlib.Path]:
    if not THREE.is_dir():
        return []
    return sorted(THREE.glob("*.json")) + sorted((THREE / "json").glob("*.json"))


def xml_records() -> list[pathlib.Path]:
    if not THREE.is_dir():
        return []
    return sorted((THREE / "xml").glob("*.xml")) + sorted((SHARED / "mjlog").glob("three_player.xml"))


def three_player_records() -> list[pathlib.Path]:
    return json_records() + xml_records()


def document_of(path: pathlib.Path) -> str:
    """The tenhou.net/6 text of a record: an mjlog record's made from it."""
    text = path.read_text(encoding="utf-8")
    return kifuzan.mjlog_to_tenhou6(text) if path.suffix == ".xml" else text


needs_records = pytest.mark.skipif(not three_player_records(), reason="../shared/corpus is absent")


@needs_records
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("path", three_player_records(), ids=lambda p: p.name)
def test_every_record_converts_and_every_win_is_complete(path, form):
    mahjong_agari = pytest.importorskip("mahjong.agari")
    text = document_of(path)
    lines = tenhou6_to_mjai(text, three_player=form)
    if path.suffix == ".xml":  # the XML route gives the document route's lines
        assert kifuzan.to_mjai(path.read_bytes(), three_player=form) == lines
    record = path.read_text(encoding="utf-8")
    assert kifuzan.diagnose(record, three_player=form) is None
    assert "three-player" in kifuzan.diagnose(record).reason
    events = [json.loads(line) for line in lines]
    seats = 4 if form == "nukidora-4" else 3
    kita_type = "kita" if form == "kita" else "nukidora"
    assert len(events[0]["names"]) == seats
    for e in events:
        for key in ("scores", "tehais", "deltas"):
            if key in e:
                assert len(e[key]) == seats, e
        assert e.get("actor", 0) < 3 and e.get("target", 0) < 3, e
        assert e["type"] != ("nukidora" if form == "kita" else "kita"), e
    assert sum(e["type"] == kita_type for e in events) == text.count('"f44"')
    # A kita leaves the hand as the tile of an added kan does (and a ron on
    # it takes that tile), so the four-player replay reads it as one.
    replayed = [dict(e, type="kakan", consumed=[]) if e["type"] == kita_type else e for e in events]
    wins = replay_wins(replayed)
    assert wins, "every shared record has wins"
    assert_complete(wins, mahjong_agari)


@needs_records
@pytest.mark.parametrize("path", three_player_records(), ids=lambda p: p.name)
def test_forms_differ_in_the_kita_name_and_the_padded_seat_only(path):
    text = document_of(path)
    nukidora, kita, padded = (tenhou6_to_mjai(text, three_player=form) for form in FORMS)
    assert [line.replace('{"type":"kita"', '{"type":"nukidora"', 1) for line in kita] == nukidora
    unpadded = [json.loads(line) for line in padded]
    for e in unpadded:
        for key in ("names", "scores", "tehais", "deltas"):
            if key in e:
                e[key] = e[key][:3]
    assert unpadded == [json.loads(line) for line in nukidora]


@needs_records
@pytest.mark.parametrize("path", json_records(), ids=lambda p: p.name)
def test_kifuzan_still_refuses_them_as_before(path):
    text = path.read_text(encoding="utf-8")
    for call in (lambda: _kifuzan.tenhou_to_mjai(text), lambda: _kifuzan.tenhou_file_to_mjai(path)):
        with pytest.raises(_kifuzan.JsonParsingError) as caught:  # seat 3's hand is []
            call()
        assert caught.value.args == ("failed to parse tenhou.net/6 log",)


def test_default_form_and_arguments():
    log = tiny_log()
    log["rule"]["disp"] = "三般南喰赤"
    log["name"][3] = ""
    log["rate"] = [1500, 1500, 1500, ""]  # Mahjong Soul rates the absent seat ""
    kyoku = log["log"][0]
    kyoku[1][3] = 0
    kyoku[4] = [11, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 44, 44]
    kyoku[7] = kyoku[10] = [11, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 31, 32]
    kyoku[13:16] = [[], [], []]
    kyoku[5], kyoku[6] = [41, 42], ["f44", 60]
    kyoku[8], kyoku[9] = [43], [60]
    kyoku[11], kyoku[12] = [45], [60]
    text = dump(log)
    lines = tenhou6_to_mjai(text)
    assert lines == tenhou6_to_mjai(text, "nukidora") == tenhou6_to_mjai(data=text, three_player="nukidora")
    assert lines[3] == '{"type":"nukidora","actor":0,"pai":"N"}'
    assert [json.loads(l)["type"] for l in lines[2:6]] == ["tsumo", "nukidora", "tsumo", "dahai"]
    with pytest.raises(ValueError, match="'nukidora-3'"):
        tenhou6_to_mjai(text, three_player="nukidora-3")
    with pytest.raises(TypeError):
        tenhou6_to_mjai(text, three_player=3)
    with pytest.raises(TypeError):
        tenhou6_to_mjai(text.encode())


@pytest.mark.parametrize(
    "change, error, words",
    [
        (lambda k: k[13].extend([11] * 13), _kifuzan.TenhouLogParsingError, "kyoku 0 (East 1, 0 honba), seat 3"),
        (lambda k: k[6].__setitem__(0, "f41"), _kifuzan.TenhouToMjaiError, 'seat 0, discard 0 at byte'),
        (lambda k: k[8].__setitem__(0, 12), _kifuzan.TenhouToMjaiError, "seat 1, take 0 at byte"),
    ],
    ids=["four hands", "kita of East", "2m"],
)
def test_refusals_raise_the_stage_exception_with_the_reason(change, error, words):
    log = tiny_log()
    log["rule"]["disp"] = "三般南喰赤"
    kyoku = log["log"][0]
    kyoku[4] = kyoku[7] = kyoku[10] = [11, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 44, 44]
    kyoku[13:16] = [[], [], []]
    kyoku[6] = ["f44"]
    change(kyoku)
    with pytest.raises(error, match="^kyoku 0 ") as caught:
        tenhou6_to_mjai(dump(log))
    assert words in str(caught.value)
    why = kifuzan.diagnose(dump(log), three_player="kita")
    assert (why.error, why.reason, why.kyoku) == (error.__name__, str(caught.value), 0)


def test_a_named_fourth_player_without_a_hand_is_refused_as_tenhou_to_mjai_refuses_it():
    log = tiny_log()
    log["log"][0][13] = []
    with pytest.raises(_kifuzan.JsonParsingError, match="seat 3, starting hand"):
        tenhou6_to_mjai(dump(log))


@pytest.mark.skipif(not (SHARED / "variants.jsonl").exists(), reason="../shared/corpus is absent")
def test_four_player_records_give_what_tenhou_to_mjai_gives():
    inputs = [p.read_text(encoding="utf-8") for p in sorted((SHARED / "four_player").glob("*.json"))]
    inputs += [json.loads(l)["input"] for l in (SHARED / "variants.jsonl").read_text(encoding="utf-8").splitlines()]
    for text in inputs:
        try:
            want: object = _kifuzan.tenhou_to_mjai(text)
        except ValueError as e:
            want = type(e)
        try:
            got: object = tenhou6_to_mjai(text, three_player="kita")
        except ValueError as e:
            got = type(e)
        assert got == want, text[:200]


@needs_records
@pytest.mark.parametrize("path", xml_records(), ids=lambda p: p.name)
def test_mjlog_records_give_tenhous_own_document_and_convert_only_when_asked(path, tmp_path):
    xml = path.read_text(encoding="utf-8")
    doc = json.loads(kifuzan.mjlog_to_tenhou6(xml))
    assert doc["name"][3] == "" and doc["ratingc"] == "PF3" and doc["rule"]["disp"].startswith("三")
    assert len(doc["sc"]) == 8 and doc["sc"][6:] == [0, 0]
    for kyoku in doc["log"]:
        assert kyoku[1][3] == 0 and kyoku[13:16] == [[], [], []]
        assert kyoku[0][0] % 4 != 3
    assert kifuzan.to_tenhou6(xml) == kifuzan.mjlog_to_tenhou6(xml)
    with pytest.raises(kifuzan.MjlogError, match="^three-player records are not supported$"):
        kifuzan.mjlog_to_mjai(xml)
    want = "".join(line + "\n" for line in kifuzan.to_mjai(xml, three_player="kita"))
    s = kifuzan.convert_many(path, tmp_path / "kita", workers=1, three_player="kita")
    assert s.converted == 1 and (tmp_path / "kita" / (path.stem + ".mjson")).read_text() == want
    r = subprocess.run([sys.executable, "-m", "kifuzan", str(path), "--three-player", "kita"], capture_output=True)
    assert r.returncode == 0 and r.stdout.decode() == want
    refused = kifuzan.convert_many(path, tmp_path / "none", workers=1, three_player=None)
    assert refused.failed == 1 and "three-player" in refused.failures[0].reason


def sanma_xml(play: str) -> str:
    """Seat 0 holds a North; seats 1 and 2 hold none."""
    return (
        '<mjloggm ver="2.3"><GO type="185"/><UN n0="a" n1="b" n2="c" n3="" dan="0,0,0,0" rate="1500,1500,1500,1500" sx="M,M,M,C"/>'
        '<INIT seed="0,0,0,1,2,132" ten="350,350,350,0" oya="0" hai0="36,37,38,40,41,42,44,45,46,48,49,50,120" '
        'hai1="72,73,74,76,77,78,80,81,82,84,85,86,0" hai2="108,109,110,112,113,114,116,117,118,124,125,126,32" '
        f'hai3=""/>{play}<RYUUKYOKU ba="0,0" sc="350,0,350,0,350,0,0,0"/></mjloggm>'
    )


@pytest.mark.parametrize(
    "xml, error, words",
    [
        (sanma_xml('<T56/><N who="0" m="14368"/><T60/><D60/>'), kifuzan.MjlogError, "seat 0, discard entry 0: a kita of 26"),
        (sanma_xml('<T56/><D56/><U57/><N who="1" m="31008"/><U60/><E60/>'), kifuzan.TenhouToMjaiError, "seat 1, discard 0"),
    ],
    ids=["kita of 6p", "kita without North"],
)
def test_mjlog_refusals_name_the_kyoku_and_the_entry(xml, error, words):
    with pytest.raises(error, match="kyoku 0") as caught:
        kifuzan.to_mjai(xml, three_player="nukidora")
    assert words in str(caught.value)
    why = kifuzan.diagnose(xml, three_player="nukidora")
    assert (why.error, why.reason) == (error.__name__, str(caught.value))


@needs_records
@pytest.mark.parametrize("form", FORMS)
# 001.json is Mahjong Soul's export: its texts are not tenhou's.
@pytest.mark.parametrize("path", [p for p in three_player_records() if p.name != "001.json"], ids=lambda p: p.name)
def test_tenhous_records_come_back_from_their_mjai(path, form):
    """tenhou's own document (its JSON, or what the XML gives) equals the one
    rebuilt from the mjai made of it: the forward direction, and the way back
    with its three-player scoring, agree on every entry and text."""
    document = json.loads(document_of(path))
    lines = kifuzan.to_mjai(path.read_bytes(), three_player=form)
    back = json.loads(kifuzan.to_tenhou6(lines))
    assert back["log"] == document["log"]
    assert back["name"] == document["name"]
