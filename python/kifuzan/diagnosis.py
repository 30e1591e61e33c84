"""Why a record does not convert: ``diagnose``.

``_kifuzan`` raises one fixed message per kind of failure; the core also
knows what was refused and where, and ``diagnose`` says it.
"""

from __future__ import annotations

import dataclasses
from typing import Literal, cast

from kifuzan import _native
from kifuzan.records import ThreePlayerForm

Stage = Literal["parse", "normalise", "convert", "serialize"]


@dataclasses.dataclass(frozen=True)
class Diagnosis:
    """Why a record does not convert.

    ``error`` is the class name of the exception converting it raises (one
    of ``_kifuzan``'s four, or ``MjlogError`` for an mjlog text), ``stage``
    the step that refused it (``"parse"``, ``"normalise"``, ``"convert"`` or
    ``"serialize"``), ``reason`` one plain sentence naming what and where;
    ``kyoku`` and ``seat`` (0-based, as in the record) and ``offset`` (a byte
    of the UTF-8 text) locate it where known, else None.
    """

    error: str
    stage: Stage
    reason: str
    kyoku: int | None
    seat: int | None
    offset: int | None


def diagnose(data: str, *, three_player: ThreePlayerForm | None = None) -> Diagnosis | None:
    """None exactly when ``data`` (a tenhou.net/6 or mjlog record) converts;
    otherwise why it does not, as a ``Diagnosis``.

    By default the record is read as ``tenhou_to_mjai`` and ``mjlog_to_mjai``
    read it, which refuse three-player games; with a ``three_player`` form, as
    ``to_mjai(data, three_player=...)`` reads it, which converts them too."""
    if not isinstance(data, str):
        raise TypeError(f"diagnose() takes the record's text as a str, not {type(data).__name__}")
    why = _native.diagnose(data, three_player)
    if why is None:
        return None
    error, stage, reason, kyoku, seat, offset = why
    return Diagnosis(error, cast(Stage, stage), reason, kyoku, seat, offset)
