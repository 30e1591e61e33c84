"""Shared fixtures: a tiny hand-checked four-player game and helpers."""

from __future__ import annotations

import copy
import json
import os
import subprocess
import sys
import tomllib
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
CORPUS = ROOT.parent / "shared" / "corpus" / "four_player"

# The package's version is written only in pyproject.toml.
PROJECT_VERSION: str = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]

# One kyoku: each seat draws once and discards once, then the wall "runs out"
# (no seat has a take left) and the kyoku ends in a draw with no score change.
_TINY_LOG: dict[str, Any] = {
    "title": ["", ""],
    "name": ["Alice", "ボブ", 'C"q', "D"],
    "rule": {"disp": "般南喰赤", "aka": 1},
    "log": [
        [
            [0, 0, 0],
            [25000, 25000, 25000, 25000],
            [23],
            [],
            [11, 12, 13, 14, 15, 16, 17, 18, 19, 21, 22, 23, 24],
            [41],
            [60],
            [25, 26, 27, 28, 29, 31, 32, 33, 34, 35, 36, 37, 38],
            [42],
            [25],
            [39, 41, 42, 43, 44, 45, 46, 47, 51, 52, 53, 11, 11],
            [43],
            [60],
            [12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18],
            [44],
            [12],
            ["流局", [0, 0, 0, 0]],
        ]
    ],
}

# Derived by hand from the log above.
TINY_LINES = [
    '{"type":"start_game","names":["Alice","ボブ","C\\"q","D"],"kyoku_first":0,"aka_flag":true}',
    '{"type":"start_kyoku","bakaze":"E","dora_marker":"3p","kyoku":1,"honba":0,"kyotaku":0,"oya":0,'
    '"scores":[25000,25000,25000,25000],"tehais":['
    '["1m","2m","3m","4m","5m","6m","7m","8m","9m","1p","2p","3p","4p"],'
    '["5p","6p","7p","8p","9p","1s","2s","3s","4s","5s","6s","7s","8s"],'
    '["9s","E","S","W","N","P","F","C","5mr","5pr","5sr","1m","1m"],'
    '["2m","2m","3m","3m","4m","4m","5m","5m","6m","6m","7m","7m","8m"]]}',
    '{"type":"tsumo","actor":0,"pai":"E"}',
    '{"type":"dahai","actor":0,"pai":"E","tsumogiri":true}',
    '{"type":"tsumo","actor":1,"pai":"S"}',
    '{"type":"dahai","actor":1,"pai":"5p","tsumogiri":false}',
    '{"type":"tsumo","actor":2,"pai":"W"}',
    '{"type":"dahai","actor":2,"pai":"W","tsumogiri":true}',
    '{"type":"tsumo","actor":3,"pai":"N"}',
    '{"type":"dahai","actor":3,"pai":"2m","tsumogiri":false}',
    '{"type":"ryukyoku","deltas":[0,0,0,0]}',
    '{"type":"end_kyoku"}',
    '{"type":"end_game"}',
]


def tiny_log() -> dict[str, Any]:
    """A fresh copy of the tiny game, free to modify."""
    return copy.deepcopy(_TINY_LOG)


def dump(log: dict[str, Any]) -> str:
    return json.dumps(log, ensure_ascii=False)


def three_player_text() -> str:
    log = tiny_log()
    log["rule"]["disp"] = "三麻"
    return dump(log)


def call_first_text() -> str:
    # A chi as the oya's first take: there is no discard it could be taken from.
    log = tiny_log()
    log["log"][0][5] = ["c111213"]
    return dump(log)


PARSE_MESSAGE = "failed to parse tenhou.net/6 log"

# (text, exception type name, message) for a failure of each stage that can
# fail; JsonSerializationError has no input that triggers it.
STAGE_TEXTS = [
    ("not json", "JsonParsingError", PARSE_MESSAGE),
    ("", "JsonParsingError", PARSE_MESSAGE),
    ("\ufeff" + dump(tiny_log()), "JsonParsingError", PARSE_MESSAGE),
    (three_player_text(), "TenhouLogParsingError", "invalid log"),
    (call_first_text(), "TenhouToMjaiError", "failed to convert tenhou.net/6 log to mjai"),
]
STAGE_IDS = ["not-json", "empty", "bom", "three-player", "call-first"]


def big_text(kyokus: int = 200, name_len: int = 100_000) -> str:
    """A game whose output exceeds 64 KiB and has one line longer than that."""
    log = tiny_log()
    log["name"][0] = "x" * name_len
    log["log"] = log["log"] * kyokus
    return dump(log)


@pytest.fixture
def tiny_text() -> str:
    return dump(tiny_log())


@pytest.fixture
def tiny_file(tmp_path: Path, tiny_text: str) -> Path:
    path = tmp_path / "game.json"
    path.write_text(tiny_text, encoding="utf-8")
    return path


def run_python(code: str, *args: str, **kwargs: Any) -> subprocess.CompletedProcess[bytes]:
    """Runs code in a fresh interpreter, so a crash cannot take pytest down."""
    return subprocess.run(
        [sys.executable, "-c", code, *args],
        capture_output=True,
        timeout=120,
        env={**os.environ, "PYTHONUTF8": "1"},
        **kwargs,
    )


# Set by scripts/asan_pytest.sh: memory figures mean nothing under ASan, whose
# quarantine holds freed memory and whose allocator aborts on huge requests.
UNDER_ASAN = os.environ.get("KIFUZAN_ASAN") == "1"
no_asan = pytest.mark.skipif(UNDER_ASAN, reason="memory use is not measurable under ASan")
