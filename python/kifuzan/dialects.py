"""mjai as its producers write it, read into one form before it is played.

Servers and engines spell the same facts differently: gimite's server leaves
``scores`` out of ``start_kyoku`` and writes ``uradora_markers``; akochan
writes ``uradora_marker`` and a ``hora`` with the ``scores`` after the win
instead of ``deltas``; some leave out ``names``, ``tsumogiri``, ``end_kyoku``
or ``end_game``, or add fields of their own. ``read_events`` takes JSON lines
or a JSON array; ``NORMALISE`` maps an event type to the function that reads
that event's spellings into the one form ``reverse`` plays:

- ``start_game``: ``names`` four texts (blank when ``[]`` or absent),
  ``kyoku_first`` (0 when absent), ``aka_flag`` (None when absent), ``scores``
  (the starting points, None when absent);
- ``start_kyoku``, ``reach_accepted``, ``ryukyoku``, ``end_game``: ``scores``
  None when absent (a start's are before the kyoku, the others' after the event);
- ``hora``: ``deltas``, ``scores``, ``ura_markers`` (whichever spelling),
  ``fan``, ``fu`` and ``points`` (``hora_points``), each None when absent;
  ``ryukyoku``: ``deltas`` None when absent.

Three-player games come in three forms (``FORMS``): ``nukidora`` and
``kita`` write three seats, ``nukidora-4`` four with the fourth padded. All
are read into four seats, the fourth empty: ``start_game`` and
``start_kyoku`` gain ``seats`` (3 or 4, the seats that play; None when
``start_game`` does not tell) and ``written`` (the seats the log writes),
and three values of scores or deltas gain a fourth, 0. Which form a log
uses is told by these and by the kita event's name; ``reverse`` holds the
log to one form.

A ``dahai`` without ``tsumogiri`` is left as it is: whether it was the drawn
tile is decided in play, from the draw before it.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable

__all__ = ["FORMS", "NORMALISE", "Refused", "read_events"]


class Refused(Exception):
    """An event that cannot be read; the message says why (the caller adds where)."""


def read_events(events: str | bytes | Iterable[str | bytes]) -> list:
    """The events of one text of JSON lines or one JSON array, or of an
    iterable of lines. Raises Refused naming the first line that is not JSON;
    an item that is JSON but no object is left to the caller, which reads
    each event as it plays it."""
    if isinstance(events, (str, bytes)):
        text = events.decode() if isinstance(events, bytes) else events
        if text.lstrip()[:1] == "[":
            return _array(text)
        texts = text.splitlines()
    else:
        texts = [t.decode() if isinstance(t, bytes) else t for t in events]
        if texts and texts[0].lstrip()[:1] == "[":
            return _array("\n".join(texts))
    # One parse of all lines as an array; a blank or broken line sends us the slow way.
    if "" not in texts:
        evs = _objects("[" + ",".join(texts) + "]", len(texts))
        if evs is not None:
            return evs
    texts = [t for t in texts if t and not t.isspace()]
    evs = _objects("[" + ",".join(texts) + "]", len(texts))
    if evs is not None:
        return evs
    # Find the first line that is not one JSON object, for the message.
    for i, t in enumerate(texts):
        try:
            ev = json.loads(t)
        except ValueError as e:
            raise Refused(f"event {i + 1}: not JSON ({e})") from None
        if type(ev) is not dict:
            raise Refused(f"event {i + 1}: not a JSON object")
    raise Refused("not one JSON object a line")


def _objects(text: str, count: int) -> list | None:
    try:
        evs = json.loads(text)
    except (ValueError, TypeError):
        return None
    return evs if len(evs) == count else None


def _array(text: str) -> list:
    try:
        evs = json.loads(text)
    except ValueError as e:
        raise Refused(f"not a JSON array of events ({e})") from None
    if not isinstance(evs, list):
        raise Refused("not a JSON array of events")
    return evs


_BLANK_NAMES = ["", "", "", ""]
FORMS = ("nukidora", "kita", "nukidora-4")


def _pad(values):
    """Three seats' values as four, the absent seat's 0; anything else as given."""
    return [*values, 0] if type(values) is list and len(values) == 3 else values


def _start_game(ev: dict) -> dict:
    names = ev.get("names")
    scores = ev.get("scores")
    seats = None
    if names is None or names == []:
        names = _BLANK_NAMES
    elif not isinstance(names, list) or not all(isinstance(n, str) for n in names):
        raise Refused("start_game names are not a list of texts")
    elif len(names) == 3:
        seats = 3
        names = [*names, ""]
    elif len(names) != 4:
        raise Refused(f"start_game names {len(names)} players, not three or four")
    if type(scores) is list and len(scores) == 3:
        seats = 3
        scores = _pad(scores)
    return {"type": "start_game", "names": list(names), "kyoku_first": ev.get("kyoku_first", 0),
            "aka_flag": ev.get("aka_flag"), "scores": scores, "seats": seats, "written": seats}


def _padded_seat(tehais: list, scores) -> bool:
    """The fourth seat of ``nukidora-4``: no points and a hand of hidden tiles."""
    hand = tehais[3]
    return (type(scores) is list and len(scores) == 4 and scores[3] == 0 and isinstance(hand, list)
            and bool(hand) and all(t == "?" for t in hand))


def _start_kyoku(ev: dict) -> dict:
    tehais, scores = ev.get("tehais"), ev.get("scores")
    if type(tehais) is not list:
        return ev if "scores" in ev else dict(ev, scores=None)
    if len(tehais) == 3:
        return dict(ev, tehais=[*tehais, []], scores=_pad(scores), seats=3, written=3)
    if len(tehais) == 4 and _padded_seat(tehais, scores):
        return dict(ev, tehais=[*tehais[:3], []], scores=scores, seats=3, written=4)
    return dict(ev, scores=scores, seats=4, written=4)


def _ura(ev: dict) -> list | None:
    for key in ("ura_markers", "uradora_markers", "uradora_marker"):
        markers = ev.get(key)
        if markers is not None:
            # One indicator may come as a lone tile name.
            return [markers] if isinstance(markers, str) else markers
    return None


def _hora(ev: dict) -> dict:
    return {"type": "hora", "actor": ev.get("actor"), "target": ev.get("target"), "deltas": _pad(ev.get("deltas")),
            "scores": _pad(ev.get("scores")), "ura_markers": _ura(ev), "fan": ev.get("fan"), "fu": ev.get("fu"),
            "points": ev.get("hora_points")}


def _ryukyoku(ev: dict) -> dict:
    return {"type": "ryukyoku", "deltas": _pad(ev.get("deltas")), "scores": _pad(ev.get("scores")),
            "tenpais": _pad(ev.get("tenpais"))}


def _with_scores(ev: dict) -> dict:
    scores = ev.get("scores")
    if scores is None:
        return ev if "scores" in ev else dict(ev, scores=None)
    return ev if len(scores) != 3 else dict(ev, scores=_pad(scores))


NORMALISE: dict[str, Callable[[dict], dict]] = {
    "start_game": _start_game,
    "start_kyoku": _start_kyoku,
    "hora": _hora,
    "ryukyoku": _ryukyoku,
    "reach_accepted": _with_scores,
    "end_game": _with_scores,
}
