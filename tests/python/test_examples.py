"""The sample game, and the order of play checked by replaying hands."""

from __future__ import annotations

import json
import pathlib
import re
import shutil
import subprocess
import sys
from collections import Counter

import pytest

import _kifuzan

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
CORPUS = ROOT.parent / "shared" / "corpus" / "four_player"

TILES_34 = {n: i for i, n in enumerate(
    [f"{r}{s}" for s in "mps" for r in range(1, 10)] + ["E", "S", "W", "N", "P", "F", "C"])}
TILES_34.update({"5mr": 4, "5pr": 13, "5sr": 22})


def records() -> list[pathlib.Path]:
    found = [EXAMPLES / "sample_game.json"]
    if CORPUS.is_dir():
        found += sorted(CORPUS.glob("*.json"))
    return found


def test_sample_game_converts_to_its_expected_lines():
    want = (EXAMPLES / "sample_game.mjson").read_text(encoding="utf-8").splitlines()
    assert _kifuzan.tenhou_file_to_mjai(EXAMPLES / "sample_game.json") == want


def test_command_line_prints_the_sample_game():
    out = subprocess.run([sys.executable, "-m", "kifuzan", str(EXAMPLES / "sample_game.json")],
                         capture_output=True, check=True)
    assert out.stdout == (EXAMPLES / "sample_game.mjson").read_bytes()


def replay_wins(events: list[dict]) -> list[tuple[int, Counter]]:
    """Replays every hand through the stream; returns (winner, concealed tiles
    plus winning tile) at each hora. A wrong order of play leaves some hand
    holding tiles it never drew, or missing tiles it discarded."""
    wins = []
    hands: list[Counter] = []
    last_given: str | None = None  # the last tile discarded or added to a kan
    for e in events:
        t = e["type"]
        if t == "start_kyoku":
            hands = [Counter(h) for h in e["tehais"]]
            last_given = None
        elif t == "tsumo":
            hands[e["actor"]][e["pai"]] += 1
        elif t == "dahai":
            hand = hands[e["actor"]]
            assert hand[e["pai"]] > 0, f"seat {e['actor']} discards {e['pai']} it does not hold"
            hand[e["pai"]] -= 1
            last_given = e["pai"]
        elif t in ("chi", "pon", "daiminkan", "ankan", "kakan"):
            hand = hands[e["actor"]]
            taken = e["consumed"] if t != "kakan" else [e["pai"]]
            for tile in taken:
                assert hand[tile] > 0, f"seat {e['actor']} melds {tile} it does not hold: {e}"
                hand[tile] -= 1
            if t == "kakan":
                last_given = e["pai"]  # a chankan wins on it
        elif t == "hora":
            hand = hands[e["actor"]].copy()
            if e["target"] != e["actor"]:
                hand[last_given] += 1
            wins.append((e["actor"], hand))
    return wins


@pytest.mark.parametrize("path", records(), ids=lambda p: p.name)
def test_every_winning_hand_is_complete(path):
    mahjong_agari = pytest.importorskip("mahjong.agari")
    events = [json.loads(line) for line in _kifuzan.tenhou_file_to_mjai(path)]
    wins = replay_wins(events)
    if not wins:
        pytest.skip("no wins in this record")
    assert_complete(wins, mahjong_agari)


def assert_complete(wins: list[tuple[int, Counter]], mahjong_agari) -> None:
    """Each winner's concealed tiles plus the winning tile make a complete hand."""
    for winner, hand in wins:
        tiles = [0] * 34
        for tile, n in hand.items():
            tiles[TILES_34[tile]] += n
        assert sum(tiles) % 3 == 2, f"seat {winner} ends with {sum(tiles)} concealed tiles"
        assert mahjong_agari.Agari.is_agari(tiles), f"seat {winner}'s winning hand is not complete: {hand}"


# ---------------------------------------------------------------------------
# The README's Python blocks, each run as a script as written, in a folder
# holding the files they open.

README_BLOCKS = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(encoding="utf-8"), re.M | re.S)
MJLOG = CORPUS.parent / "mjlog" / "007.xml"


def test_the_readme_has_its_python_blocks():
    assert len(README_BLOCKS) >= 6


@pytest.mark.parametrize("block", README_BLOCKS, ids=lambda b: b.splitlines()[0][:40])
def test_readme_block_runs(tmp_path, block):
    if "distributed" in block:
        pytest.importorskip("distributed")
    if ".mjlog" in block:
        if not MJLOG.exists():
            pytest.skip("../shared/corpus is absent")
        shutil.copyfile(MJLOG, tmp_path / "2019021004gm-00a9-0000-e2f6516d.mjlog")
    shutil.copyfile(EXAMPLES / "sample_game.json", tmp_path / "game.json")
    shutil.copyfile(EXAMPLES / "sample_game.mjson", tmp_path / "game.mjson")
    (tmp_path / "logs").mkdir()
    shutil.copyfile(EXAMPLES / "sample_game.json", tmp_path / "logs" / "game.json")
    broken = json.loads((EXAMPLES / "sample_game.json").read_text(encoding="utf-8"))
    broken["log"][0][5][0] = "p999999"  # the oya's first take: no such call
    (tmp_path / "broken.json").write_text(json.dumps(broken), encoding="utf-8")
    (tmp_path / "block.py").write_text(block, encoding="utf-8")
    r = subprocess.run([sys.executable, "block.py"], cwd=tmp_path, capture_output=True, timeout=600)
    assert r.returncode == 0, r.stderr.decode()
