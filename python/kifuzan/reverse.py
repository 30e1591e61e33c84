"""mjai events of one game back to a tenhou.net/6 document.

The log's lists follow from the events one by one; the result entries of wins
(yaku, points texts), which mjai does not carry, are scored again from the
hands the events built (kifuzan.scoring). Each event is first read into one
form (kifuzan.dialects: the spellings of gimite's server, akochan and others),
then played by the handler of its type on the state of its kyoku (``_Kyoku``);
``_Game`` holds what runs across kyoku: the points, the kyoku written so far.

Three-player games are played on the same four seats, the fourth empty: the
dialects read each of the three mjai forms into that, ``_Game`` holds a log to
the one form it began with, and the kyoku passes the turn over three seats,
sets North aside (``kita``) and pays with the two other seats.

Whatever the log states of a result (deltas, the scores after it, fan, fu,
points) is checked against the scoring of the hand, so that the points text,
the yaku, the deltas and the final points of a document always agree.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from itertools import chain

from kifuzan import _native
from kifuzan.dialects import NORMALISE, Refused, read_events
from kifuzan.scoring import KIND, NoScore, Scored, Scorer, Situation, cost_of, head_text, pay_text, win_points

__all__ = ["MjaiError", "Tenhou6Options", "is_mjai_record", "mjai_to_tenhou6"]


class MjaiError(ValueError):
    """The events are not one game (four players, or three in one of the
    forms of ``kifuzan.dialects.FORMS``) that can be written as a tenhou.net/6
    document. The message names the kyoku as the other direction
    does (``kyoku 3 (East 4, 0 honba)``: its 0-based place in the log) and the
    event (its 1-based position in the stream, blank lines not counted)."""


@dataclass(frozen=True)
class Tenhou6Options:
    """What mjai does not carry: the document's header, whether to score, and
    how to treat logs that disagree with the scoring or end in an error.
    ``mjai_to_tenhou6(events, **dataclasses.asdict(options))``."""

    ref: str = ""
    level: str = "般"
    kuitan: bool = True
    fast: bool = False
    lobby: int | None = None
    dan: Sequence[str] | None = None
    rate: Sequence[float] | None = None
    sx: Sequence[str] | None = None
    uma: Sequence[int] | None = None
    score: bool = True
    trust_deltas: bool = False
    partial: bool = False


CODE: dict[str, int] = {"?": 0, "5mr": 51, "5pr": 52, "5sr": 53}
for _name, _kind in KIND.items():
    if len(_name) != 3:
        CODE[_name] = 11 + _kind // 9 * 10 + _kind % 9 if _kind < 27 else 41 + _kind - 27
_YAOCHU = frozenset(n for n, k in KIND.items() if k >= 27 or k % 9 in (0, 8))
_WINDS = ("E", "S", "W", "N")
_SEATS = frozenset((0, 1, 2, 3))
_REDS = frozenset(("5mr", "5pr", "5sr"))
_DRAGONS = frozenset(("P", "F", "C"))
_WIND_TILES = frozenset(_WINDS)
_FIRST_LINE = re.compile(r"\s*([^\r\n]*)")
_ARRAY_START = re.compile(r"\s*\[\s*(\{[^}]*\})")
# What the last event was when the next draw is a replacement draw (after a kan or a kita).
_KANS = frozenset(("kan", "kakan", "ankan"))
_REPLACED = _KANS | {"kita"}
_START = {4: [25000, 25000, 25000, 25000], 3: [35000, 35000, 35000, 0]}
# Draws from the wall in a kyoku (replacement draws included), by players:
# three-player games deal from 108 tiles, 14 in the dead wall.
_WALLS = {4: 70, 3: 55}
_MIDDLE_MAN = frozenset(("2m", "3m", "4m", "5m", "5mr", "6m", "7m", "8m"))
# tenhou's uma and return: four players +20 +10 -10 -20 over 30,000, three +20 0 -20 over 40,000.
_UMA = {4: (20, 10, -10, -20), 3: (20, 0, -20)}
_RETURN = {4: 30000, 3: 40000}
# The absent seat of a three-player document, as tenhou writes it.
_PAD = {"dan": "新人", "rate": 1500, "sx": "C"}
# A limit hand's han, for naming a payment the deltas give: mangan .. yakuman.
_LIMIT_HAN = (5, 6, 8, 11, 13)


def is_mjai_record(text: str) -> bool:
    """True when ``text`` begins with a ``start_game`` event: its first
    non-empty line, or the first object of a JSON array."""
    match = _FIRST_LINE.match(text)
    line = match.group(1) if match else ""
    # A tenhou.net/6 document is one long line: look before parsing it.
    if '"start_game"' not in line:
        array = _ARRAY_START.match(text)
        if array is None or '"start_game"' not in array.group(1):
            return False
        line = array.group(1)
    elif line.startswith("["):
        array = _ARRAY_START.match(line)
        line = array.group(1) if array else ""
    try:
        ev = json.loads(line)
    except ValueError:
        return False
    return isinstance(ev, dict) and ev.get("type") == "start_game"


def mjai_to_tenhou6(
    events: str | Iterable[str],
    *,
    ref: str = "",
    level: str = "般",
    kuitan: bool = True,
    fast: bool = False,
    lobby: int | None = None,
    dan: Sequence[str] | None = None,
    rate: Sequence[float] | None = None,
    sx: Sequence[str] | None = None,
    uma: Sequence[int] | None = None,
    score: bool = True,
    trust_deltas: bool = False,
    partial: bool = False,
) -> str:
    """Rebuilds the tenhou.net/6 document (compact JSON text) of one game's
    mjai events, given as one text (JSON lines or a JSON array) or as an
    iterable of lines.

    The header fields mjai lacks come from the arguments (``Tenhou6Options``).
    A three-player game, in any of the three forms, gives tenhou's own shape
    of three-player document: seat 3 named ``""`` with no points and empty
    lists, ``"f44"`` among the discards for each North set aside, ``三`` in
    the rule text, PF3, uma +20 0 -20 over a 40,000 return (``uma`` by
    default tenhou's for the number of players; ``dan``, ``rate`` and ``sx``
    may give three values).
    ``score=False`` writes each win's detail as ``[who, from, pao, ""]``.

    A result the log states (``deltas``, the ``scores`` after it, ``fan``,
    ``fu``, ``hora_points``) that the scoring of the hand does not give is
    refused; ``trust_deltas=True`` writes the log's deltas instead, with a
    points text made from them (fu and han only where the log's own fan and fu
    give those deltas) and no yaku when the scored hand disagrees.

    A game cut off by an ``error`` event is refused; ``partial=True`` writes
    the kyoku finished before it.

    Raises MjaiError for a stream that is not one playable game.
    """
    if level not in ("般", "上", "特", "鳳"):
        raise ValueError(f"level must be one of 般 上 特 鳳, not {level!r}")
    for name, value in (("dan", dan), ("rate", rate), ("sx", sx), ("uma", uma)):
        if value is not None and len(value) not in (3, 4):
            raise ValueError(f"{name} needs 4 values (or 3 for a three-player game), got {len(value)}")
    try:
        evs = read_events(events)
    except Refused as e:
        raise MjaiError(str(e)) from None
    game = _Game(evs, kuitan=kuitan, score=score, trust=trust_deltas, partial=partial)
    players = game.players
    if uma is None:
        uma = _UMA[players]
    elif len(uma) != players:
        raise ValueError(f"uma needs {players} values for this game, got {len(uma)}")
    header = {"dan": dan, "rate": rate, "sx": sx}
    for name, value in header.items():
        if value is not None and len(value) == 3 and players == 4:
            raise ValueError(f"{name} needs 4 values for a four-player game, got 3")
    doc: dict = {"ver": 2.3, "ref": ref, "log": game.log, "ratingc": f"PF{players}"}
    aka = 1 if game.aka else 0
    disp = ("三" if players == 3 else "") + level + ("東" if game.kyoku_first == 4 else "南")
    disp += ("喰" if kuitan else "") + ("赤" if aka else "") + ("速" if fast else "")
    doc["rule"] = {"disp": disp, "aka53": aka, "aka52": aka, "aka51": aka}
    if lobby is not None:
        doc["lobby"] = lobby
    for name, blank in (("dan", ""), ("rate", 1500), ("sx", "C")):
        value = header[name]
        values = list(value) if value is not None else [blank] * players
        doc[name] = values + [_PAD[name]] if len(values) == 3 else values
    doc["sc"] = _final_scores(game.final, uma, players)
    doc["name"] = game.names
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":"))


def _final_scores(points: list[int], uma: Sequence[int], players: int = 4) -> list:
    """Points and results as tenhou's ranked lobbies give them, ties ranked by
    seat. Four players: a 30,000 return, whole numbers with halves rounded up
    (11.5 -> 12, -17.5 -> -17). Three: a 40,000 return, in tenths as tenhou
    writes them (70.7, -17.5); the absent seat 0 and 0."""
    rank = sorted(range(players), key=lambda s: (-points[s], s))
    back = _RETURN[players]
    sc: list = [0] * 8
    for place, seat in enumerate(rank):
        sc[2 * seat] = points[seat]
        if place:
            total = points[seat] - back + 1000 * uma[place]
            sc[2 * seat + 1] = (total + 500) // 1000 if players == 4 else total // 100
    # The top takes what the others lose, so the results sum to zero (65,300 gives 76, not 75).
    sc[2 * rank[0] + 1] = -sum(sc[1::2])
    if players == 3:
        # Tenths, written as tenhou's JavaScript does: 70.7, 35 rather than 35.0.
        for i in range(1, 6, 2):
            sc[i] = sc[i] // 10 if sc[i] % 10 == 0 else sc[i] / 10
    return sc


def _call_text(kind: str, rel: int, pai: str, consumed: list[str]) -> str:
    """Text of a chi, pon or daiminkan: the marker and the called tile stand
    where the tile came from (previous seat first, next seat last); the own
    tiles keep the order given, as the forward conversion reads them."""
    c = CODE
    own = [f"{c[t]:02d}" for t in consumed]
    called = f"{kind}{c[pai]:02d}"
    if rel == 3:
        return called + "".join(own)
    if rel == 2:
        return own[0] + called + "".join(own[1:])
    return "".join(own) + called


def _seat(ev: dict, key: str = "actor", seats: int = 4) -> int:
    seat = ev.get(key)
    if seat not in _SEATS or type(seat) is not int:
        raise Refused(f"{key} {seat!r} is not a seat")
    if seat >= seats:
        raise Refused(f"seat {seat} acts in a three-player game")
    return seat


def _tile(ev: dict, key: str = "pai") -> str:
    tile = ev.get(key)
    if tile not in CODE:
        raise Refused(f"{key} {tile!r} is not a tile")
    return tile


def _four(value, what: str) -> list[int] | None:
    """Four integers, or None when absent."""
    if value is None:
        return None
    if type(value) is list and len(value) == 4 and type(value[0]) is type(value[1]) is type(value[2]) is type(
            value[3]) is int:
        return value
    raise Refused(f"{what} are not four integers")


def _diff(after: list[int], before: list[int]) -> list[int]:
    return [a - b for a, b in zip(after, before)]


# ---- the game -----------------------------------------------------------------


class _Game:
    """Walks the events once: start_game, then kyoku after kyoku, each played
    by its own ``_Kyoku``; keeps the points from one kyoku to the next."""

    def __init__(self, evs: list[dict], *, kuitan: bool, score: bool, trust: bool, partial: bool) -> None:
        self.log: list = []
        self.final: list[int] = []
        self.names: list[str] = ["", "", "", ""]
        self.kyoku_first = 0
        self.aka = False
        self.score = score
        self.trust = trust
        self._kuitan = kuitan
        self._partial = partial
        # The points at the next kyoku's start, from the game's start and every result.
        self.points: list[int] | None = None
        self._seen_red = False
        # Players (4 or 3) and the seats the log writes (3 or 4 for three players),
        # fixed by start_game or the first start_kyoku; the kita event's name, by the first.
        self.players = 4
        self.dealt: tuple[int, int] | None = None
        self.kita: str | None = None
        self._aka: bool = True
        self.scorer: Scorer | None = None
        # Whether the log has stated any points yet: until it does, the first
        # kyoku's starting points are assumed (tenhou's) and may be corrected.
        self.points_told = False
        self._run(evs)

    def _run(self, evs: list[dict]) -> None:
        i = 0
        k: _Kyoku | None = None
        t = None
        try:
            if not evs or evs[0].get("type") != "start_game":
                raise Refused("the stream does not begin with start_game")
            aka = self._start_game(NORMALISE["start_game"](evs[0]))
            for i in range(1, len(evs)):  # noqa: B007 (the except clause reads i)
                ev = evs[i]
                t = ev["type"]
                if k is not None:
                    play = k.play.get(t)
                    if play is not None:
                        play(k, ev)
                        continue
                    if k.over and t not in _AFTER_RESULT:
                        raise Refused("play goes on after a win" if k.wins else "play goes on after a draw")
                norm = NORMALISE.get(t)
                if norm is not None:
                    ev = norm(ev)
                if t == "end_kyoku":
                    if k is None:
                        raise Refused("end_kyoku outside a kyoku")
                    self._close(k)
                    k = None
                elif t == "start_kyoku":
                    if k is not None:
                        self._close(k, "start_kyoku")
                        k = None
                    self._hold_form(ev)
                    k = _Kyoku(self, ev, len(self.log))
                    k.begin(ev)
                elif t == "end_game":
                    if k is not None:
                        self._close(k, "end_game")
                        k = None
                    if i + 1 != len(evs):
                        i += 1
                        raise Refused("events after end_game")
                    self._end_game(ev)
                    break
                elif t == "error":
                    self._cut_off(k, ev)
                    k = None
                    break
                elif k is not None:
                    if t == "start_game":
                        raise Refused("start_game inside a game")
                    raise Refused(f"unknown event type {t!r}" if isinstance(t, str) else "event without a type")
                else:
                    raise Refused(f"{t!r} outside a kyoku" if isinstance(t, str) else "event without a type")
            else:
                if k is not None:
                    i = len(evs) - 1
                    self._close(k, "the end of the stream")
            if not self.log:
                i = len(evs) - 1
                k = None
                raise Refused("the game has no kyoku")
        except Refused as e:
            where = k.name + ", " if k is not None and k.name else ""
            raise MjaiError(f"{where}event {i + 1}: {e}") from None
        except (KeyError, TypeError, AttributeError, IndexError, ValueError):
            where = k.name + ", " if k is not None and k.name else ""
            ev = evs[i]
            t = ev.get("type") if type(ev) is dict else None
            what = (f"a malformed {t} event" if isinstance(t, str) else
                    "an event without a type" if type(ev) is dict else "not a JSON object")
            raise MjaiError(f"{where}event {i + 1}: {what}") from None
        self.aka = bool(aka) if aka is not None else self._seen_red

    def _start_game(self, ev: dict):
        self.names = ev["names"]
        self.kyoku_first = ev["kyoku_first"]
        aka = ev["aka_flag"]
        self.points = _four(ev["scores"], "start_game scores")
        self.points_told = self.points is not None
        if ev["seats"] is not None:
            self.dealt = (ev["seats"], ev["written"])
        self._aka = True if aka is None else bool(aka)
        return aka

    def _hold_form(self, sk: dict) -> None:
        """Fixes the players and the seats written at the first kyoku (for a
        start_game that does not tell); later kyoku must deal the same way."""
        seats = sk.get("seats"), sk.get("written")
        if seats[0] is None:
            return  # no hands: the kyoku refuses it
        if self.scorer is not None:
            if seats != self.dealt:
                raise Refused(f"start_kyoku {_dealt(*seats)}, but the game so far {_dealt(*self.dealt)}: "
                              "one log, one form")
            return
        if self.dealt is not None and seats != self.dealt:
            raise Refused(f"start_kyoku {_dealt(*seats)}, but start_game {_dealt(*self.dealt)}: one log, one form")
        self.dealt = seats
        self.players = seats[0]
        if self.points is None:
            self.points = _START[self.players]
        elif self.players == 3 and self.points[3] != 0:
            raise Refused(f"start_game gives the fourth seat {self.points[3]} points in a three-player game")
        self.scorer = Scorer(kuitan=self._kuitan, aka=self._aka, three=self.players == 3)

    def _close(self, k: _Kyoku, before: str | None = None) -> None:
        """Writes the kyoku's entry; ``before`` names what came where its
        end_kyoku would stand, if anything did."""
        if not k.over:
            if before is None:
                raise Refused("end_kyoku without hora or ryukyoku")
            if before == "the end of the stream":
                raise Refused("the kyoku does not end")
            raise Refused(f"{before} before the kyoku ends")
        entry, after = k.finish()
        self.log.append(entry)
        self.points = after
        self._seen_red = self._seen_red or k.seen_red
        final = list(after)
        if not k.wins:
            # The sticks left on the table go to the top.
            top = max(range(self.players), key=lambda s: (final[s], -s))
            final[top] += 1000 * (k.kyotaku + k.sticks)
        self.final = final

    def _cut_off(self, k: _Kyoku | None, ev: dict) -> None:
        """An error event: the game stopped there. Refused, or with ``partial``
        ended after the last kyoku that has its result."""
        if not self._partial:
            message = ev.get("message")
            detail = f" ({message})" if isinstance(message, str) and message else ""
            raise Refused(f"the game is cut off by an error event{detail}")
        if k is not None and k.over:
            self._close(k)
        if not self.log:
            raise Refused("no kyoku is finished before the error event")

    def _end_game(self, ev: dict) -> None:
        scores = _four(ev["scores"], "end_game scores")
        if scores is not None and scores != self.final and scores != self.points:
            raise Refused(f"end_game gives the final points {scores}, but the results give {self.final}")


def _dealt(players: int, written: int) -> str:
    if players == 4:
        return "deals four players"
    return "deals three players" + (" and a padded fourth seat (nukidora-4)" if written == 4 else " (three seats)")


# ---- one kyoku ------------------------------------------------------------------


class _Kyoku:
    """The state of one kyoku and a handler per event type (``_PLAY``)."""

    __slots__ = (
        "game", "name", "index", "honba", "kyotaku", "oya", "bakaze", "scores", "points", "hand_codes", "dora",
        "dora_names", "ura", "hands", "takes", "discards", "melds", "pons", "reach_pending", "accepted", "double",
        "ippatsu", "ippatsu_kept", "rinshan_draw", "yaochu_only",
        "robbed", "first_discards", "reaches", "kans", "any_call", "tsumos", "drawer", "prev", "prev_actor",
        "prev_pai", "wins", "result", "sticks", "play", "owed", "kan_owes", "ankan_owes", "seen_red", "liable",
        "over", "seats", "wall", "kitas",
    )

    def __init__(self, game: _Game, sk: dict, place: int) -> None:
        self.game = game
        self.name = ""
        try:
            bakaze = sk["bakaze"]
            kyoku = sk["kyoku"]
            honba = sk["honba"]
            kyotaku = sk["kyotaku"]
            oya = sk["oya"]
            tehais = sk["tehais"]
            dora_marker = sk["dora_marker"]
            index = 4 * _WINDS.index(bakaze) + kyoku - 1
            seats = game.players
            if kyoku not in (1, 2, 3, 4)[:seats]:
                raise ValueError
            if (oya not in _SEATS or oya >= seats or len(tehais) != 4
                    or any(len(h) != (13 if s < seats else 0) for s, h in enumerate(tehais))
                    or not all(type(x) is int and x >= 0 for x in (kyoku, honba, kyotaku, oya))):
                raise ValueError
            self.hand_codes = [[CODE[t] for t in h] for h in tehais]
            self.dora = [CODE[dora_marker]]
        except (KeyError, ValueError, TypeError):
            raise Refused("start_kyoku without a valid bakaze, kyoku, honba, kyotaku, oya, "
                          f"{'four' if game.players == 4 else 'three'} hands of 13 tiles and a dora marker") from None
        if seats == 3:
            for h in tehais:
                middle = _MIDDLE_MAN.intersection(h)
                if middle:
                    raise Refused(f"a three-player game deals {min(middle)}, which it does not have")
        self.seats = seats
        self.wall = _WALLS[seats]
        self.kitas = [0, 0, 0, 0]
        self.name = _native.kyoku_name(place, index, honba)
        self.index, self.honba, self.kyotaku, self.oya, self.bakaze = index, honba, kyotaku, oya, bakaze
        self.dora_names = [dora_marker]
        self.ura: list[int] | None = None
        self.seen_red = not _REDS.isdisjoint(chain.from_iterable(tehais))
        self.hands: list[dict[str, int]] = [{}, {}, {}, {}]
        hands = self.hands
        for h, tiles in zip(hands, tehais):
            for tile in tiles:
                h[tile] = h[tile] + 1 if tile in h else 1
        self.takes: list[list] = [[], [], [], []]
        self.discards: list[list] = [[], [], [], []]
        self.melds: list[list] = [[], [], [], []]
        self.pons: list[dict] = [{}, {}, {}, {}]
        self.reach_pending = [False] * 4
        self.accepted = [False] * 4
        self.double = [False] * 4
        self.ippatsu = [False] * 4
        self.ippatsu_kept = self.ippatsu
        self.rinshan_draw = False
        self.yaochu_only = [True] * 4
        self.robbed = [False] * 4
        self.first_discards: list[str] = []
        self.reaches = self.kans = self.tsumos = self.sticks = 0
        self.any_call = False
        self.drawer = oya  # the seat whose draw comes next, or -1
        self.prev = ""  # type of the last event that changes what a win may follow
        self.prev_actor = -1
        self.prev_pai = ""
        self.wins: list = []
        self.result: list | None = None  # a draw's
        # Kans whose dora indicator is due: a kakan's or daiminkan's once play goes on
        # after its replacement draw, an ankan's at that draw.
        self.owed = self.kan_owes = 0
        self.ankan_owes = False
        # seat -> (yakuman, seat liable for it): the call that completed three dragon or four wind sets.
        self.liable: dict[int, tuple[str, int]] = {}
        # The handlers of what may come next: all of them until the result, then only a further win.
        self.play = _PLAY
        self.over = False

    def begin(self, sk: dict) -> None:
        """The points at the start: given, or those the game's results left."""
        game = self.game
        scores = _four(sk["scores"], "start_kyoku scores")
        if scores is None:
            scores = game.points
        else:
            game.points_told = True
        if game.log and scores != game.points:
            raise Refused(f"start_kyoku gives the scores {scores}, but the results before it give {game.points}")
        self.scores = list(scores)
        # The points as they stand: sticks put down and results taken off or added.
        self.points = list(scores)

    # -- play ---------------------------------------------------------------

    def _take(self, seat: int, tile: str) -> None:
        h = self.hands[seat]
        c = h.get(tile)
        if not c:
            if not h.get("?"):
                raise Refused(f"seat {seat} does not hold {tile}")
            tile = "?"
            c = h[tile]
        if c == 1:
            del h[tile]
        else:
            h[tile] = c - 1

    def tsumo(self, ev: dict) -> None:
        actor = ev["actor"]
        pai = ev["pai"]
        if actor not in _SEATS or pai not in CODE or type(actor) is not int:
            _seat(ev)
            _tile(ev)
        if actor != self.drawer or self.tsumos >= self.wall:
            _seat(ev, seats=self.seats)
            raise Refused(f"seat {actor} draws out of turn")
        if self.seats == 3 and pai in _MIDDLE_MAN:
            raise Refused(f"seat {actor} draws {pai}, which a three-player game does not have")
        # The draw right after a kan or a kita is its replacement draw.
        rinshan = self.rinshan_draw = self.prev in _REPLACED
        if rinshan and self.ankan_owes:
            self.owed += 1
            self.ankan_owes = False
        self.drawer = -1
        self.takes[actor].append(CODE[pai])
        h = self.hands[actor]
        h[pai] = h[pai] + 1 if pai in h else 1
        self.tsumos += 1
        self.prev = "tsumo"
        self.prev_actor = actor
        self.prev_pai = pai
        if pai in _REDS:
            self.seen_red = True

    def dahai(self, ev: dict) -> None:
        actor = ev["actor"]
        pai = ev["pai"]
        if actor not in _SEATS or pai not in CODE or type(actor) is not int:
            _seat(ev)
            _tile(ev)
        if self.prev_actor != actor or self.prev not in ("tsumo", "call"):
            _seat(ev, seats=self.seats)
            raise Refused(f"seat {actor} discards out of turn")
        drawn = self.prev_pai if self.prev == "tsumo" else ""
        tsumogiri = ev.get("tsumogiri")
        if tsumogiri is None:
            # Not stated: the tile just drawn is taken as discarded at once. A
            # discard of the same tile from the hand is written the same way.
            tsumogiri = pai == drawn
        elif tsumogiri is True:
            if drawn != pai:
                if drawn != "?":
                    raise Refused(f"seat {actor} discards {pai} as the tile it drew, {drawn}")
                # A hidden draw discarded at once was this tile.
                self.takes[actor][-1] = CODE[pai]
        elif tsumogiri is not False:
            raise Refused(f"tsumogiri {tsumogiri!r} is not true or false")
        if self.kan_owes:
            self.owed += self.kan_owes
            self.kan_owes = 0
        h = self.hands[actor]
        c = h[pai] if pai in h else 0
        if c > 1:
            h[pai] = c - 1
        elif c:
            del h[pai]
        else:
            self._take(actor, pai)
        code = 60 if tsumogiri else CODE[pai]
        if self.reach_pending[actor]:
            self.reach_pending[actor] = False
            self.discards[actor].append(f"r{code}")
            self.ippatsu[actor] = True
        else:
            self.discards[actor].append(code)
            self.ippatsu[actor] = False
        if pai not in _YAOCHU:
            self.yaochu_only[actor] = False
        if len(self.first_discards) < 4:
            self.first_discards.append(pai if not self.any_call else "")
        self.prev = "dahai"
        self.prev_actor = actor
        self.prev_pai = pai
        self.drawer = (actor + 1) % self.seats

    def reach(self, ev: dict) -> None:
        actor = _seat(ev, seats=self.seats)
        if self.prev != "tsumo" or self.prev_actor != actor or self.accepted[actor] or self.reach_pending[actor]:
            raise Refused(f"seat {actor} declares riichi out of turn")
        self.reach_pending[actor] = True
        # No call of anyone (kans included) and no discard of its own before it; a kita is neither.
        self.double[actor] = not self.any_call and all(d == "f44" for d in self.discards[actor])
        self.reaches += 1

    def reach_accepted(self, ev: dict) -> None:
        actor = _seat(ev, seats=self.seats)
        discards = self.discards[actor]
        if self.accepted[actor] or not discards or not str(discards[-1]).startswith("r"):
            raise Refused(f"riichi of seat {actor} accepted without its discard")
        self.accepted[actor] = True
        self.sticks += 1
        self.points[actor] -= 1000
        scores = _four(ev["scores"], "reach_accepted scores")
        if scores is None:
            return
        game = self.game
        if scores != self.points:
            if game.points_told or game.log:
                raise Refused(f"reach_accepted gives the scores {scores}, but the riichi leaves {self.points}")
            # No points were stated before: these tell the game's starting points (30,000 on some servers).
            self.scores = [a + b for a, b in zip(self.scores, _diff(scores, self.points))]
            self.points = list(scores)
        game.points_told = True

    def call(self, ev: dict) -> None:
        """chi, pon and daiminkan."""
        t = ev["type"]
        actor = _seat(ev, seats=self.seats)
        target = _seat(ev, "target", self.seats)
        pai = _tile(ev)
        if t == "chi" and self.seats == 3:
            raise Refused("a chi in a three-player game")
        if self.prev != "dahai" or target != self.prev_actor or pai != self.prev_pai or target == actor:
            raise Refused(f"{t} of {pai} from seat {target} does not fit the last discard")
        consumed = ev.get("consumed")
        size = 3 if t == "daiminkan" else 2
        if not isinstance(consumed, list) or len(consumed) != size:
            raise Refused(f"{t} needs {size} consumed tiles")
        for tile in consumed:
            if tile not in CODE:
                raise Refused(f"consumed {tile!r} is not a tile")
        kinds = sorted(KIND.get(x, -1) for x in [pai, *consumed])
        rel = (target - actor) % 4
        if t == "chi":
            ok = rel == 3 and kinds[0] < 27 and kinds[0] // 9 == kinds[2] // 9 and kinds == list(
                range(kinds[0], kinds[0] + 3))
        else:
            ok = kinds[0] == kinds[-1]
        if not ok and "?" not in consumed:
            raise Refused(f"{t} of {pai} with {', '.join(consumed)} from seat {target} is not a {t}")
        for tile in consumed:
            self._take(actor, tile)
        self.takes[actor].append(_call_text(t[0] if t != "daiminkan" else "m", rel, pai, consumed))
        self.robbed[target] = True
        self.any_call = True
        self.ippatsu = [False] * 4
        if t == "pon":
            self.pons[actor][KIND.get(pai)] = (rel, pai, consumed, len(self.melds[actor]))
        self.melds[actor].append((t, [pai, *consumed]))
        if t != "chi":
            self._liability(actor, pai, target)
        if t == "daiminkan":
            self.owed += self.kan_owes
            self.kan_owes = 1
            self.discards[actor].append(0)
            self.kans += 1
            self.prev = "kan"
            self.drawer = actor
        else:
            self.prev = "call"
            self.drawer = -1
        self.prev_actor, self.prev_pai = actor, pai

    def _liability(self, actor: int, pai: str, target: int) -> None:
        """The pon or daiminkan that completes three dragon or four wind sets
        makes the seat it came from liable (pao) for 大三元 or 大四喜."""
        for tiles, count, yakuman in ((_DRAGONS, 3, "大三元"), (_WIND_TILES, 4, "大四喜")):
            if pai in tiles and sum(names[0] in tiles for _, names in self.melds[actor]) == count:
                self.liable[actor] = (yakuman, target)

    def dora_event(self, ev: dict) -> None:
        marker = _tile(ev, "dora_marker")
        self.dora.append(CODE[marker])
        self.dora_names.append(marker)

    def kan(self, ev: dict) -> None:
        """kakan and ankan."""
        t = ev["type"]
        actor = _seat(ev, seats=self.seats)
        if self.prev != "tsumo" or self.prev_actor != actor:
            raise Refused(f"seat {actor} makes a kan out of turn")
        consumed = ev.get("consumed")
        size = 3 if t == "kakan" else 4
        self.owed += self.kan_owes
        self.kan_owes = 0
        if not isinstance(consumed, list) or len(consumed) != size or not all(x in CODE for x in consumed):
            raise Refused(f"{t} needs {size} consumed tiles")
        if t == "kakan":
            pai = _tile(ev)
            pon = self.pons[actor].pop(KIND.get(pai), None)
            if pon is None:
                raise Refused(f"kakan of {pai} without a pon of it")
            self._take(actor, pai)
            rel, called, own, index = pon
            at = {3: 0, 2: 1, 1: 2}[rel]
            if consumed[at] != called or sorted(consumed) != sorted([called, *own]):
                consumed = list(own)
                consumed.insert(at, called)
            c = [f"{CODE[x]:02d}" for x in consumed]
            c.insert(at, f"k{CODE[pai]:02d}")
            self.discards[actor].append("".join(c))
            self.melds[actor][index] = ("kakan", [called, *own, pai])
            self.kan_owes = 1
            self.prev_pai = pai
        else:
            kinds = {KIND.get(x) for x in consumed}
            if len(kinds) != 1 and "?" not in consumed:
                raise Refused(f"ankan of {', '.join(consumed)} is not four of one tile")
            for tile in consumed:
                self._take(actor, tile)
            c = [f"{CODE[x]:02d}" for x in consumed]
            self.discards[actor].append(c[0] + c[1] + c[2] + "a" + c[3])
            self.melds[actor].append(("ankan", list(consumed)))
            self.ankan_owes = True
            self.prev_pai = consumed[0]
        self.ippatsu_kept = self.ippatsu
        self.ippatsu = [False] * 4
        self.any_call = True
        self.kans += 1
        self.prev = t
        self.drawer = actor

    def kita(self, ev: dict) -> None:
        """North set aside (kita, nukidora): written as f44 among the discards;
        the same seat draws its replacement next. Not a call: it opens no hand
        and breaks no ippatsu."""
        t = ev["type"]
        actor = _seat(ev, seats=self.seats)
        game = self.game
        if self.seats == 4:
            raise Refused(f"a {t} event in a four-player game")
        if game.kita is None:
            if t == "kita" and game.dealt == (3, 4):
                raise Refused("a kita event in a log of four seats: nukidora-4 writes nukidora")
            game.kita = t
        elif game.kita != t:
            raise Refused(f"a {t} event after {game.kita} events: one log, one form")
        pai = ev.get("pai")
        if pai != "N":
            raise Refused(f"{t} of {pai!r}: only North is set aside")
        if self.prev != "tsumo" or self.prev_actor != actor:
            raise Refused(f"seat {actor} sets North aside out of turn")
        if not self.hands[actor].get("N") and not self.hands[actor].get("?"):
            raise Refused(f"seat {actor} sets North aside but holds none")
        self._take(actor, "N")
        self.discards[actor].append("f44")
        self.kitas[actor] += 1
        self.prev = "kita"
        self.drawer = actor

    # -- results ----------------------------------------------------------------

    def hora(self, ev: dict) -> None:
        actor = _seat(ev, seats=self.seats)
        target = _seat(ev, "target", self.seats)
        tsumo = actor == target
        s = Situation()
        if tsumo:
            if self.prev != "tsumo" or self.prev_actor != actor or self.wins:
                raise Refused(f"tsumo win of seat {actor} without its draw")
            win = self.prev_pai
            s.rinshan = self.rinshan_draw
            s.haitei = self.tsumos >= self.wall and not self.rinshan_draw
            # The seat's first draw, with no call before it.
            if not self.any_call and self.tsumos == (actor - self.oya) % self.seats + 1:
                s.tenhou = actor == self.oya
                s.chiihou = actor != self.oya
            s.ippatsu = self.ippatsu[actor]
        else:
            prev = self.prev
            if prev not in ("dahai", "kakan", "ankan") or self.prev_actor != target:
                raise Refused(f"ron of seat {actor} on seat {target}, which did not just discard or add to a kan")
            win = self.prev_pai
            s.chankan = prev != "dahai"
            s.houtei = prev == "dahai" and self.tsumos >= self.wall
            s.ippatsu = (self.ippatsu_kept if s.chankan else self.ippatsu)[actor]
        s.tsumo = tsumo
        s.riichi = self.accepted[actor]
        s.double_riichi = s.riichi and self.double[actor]
        s.ippatsu = s.ippatsu and s.riichi
        s.dealer = actor == self.oya
        s.seat_wind = 27 + (actor - self.oya) % self.seats
        s.round_wind = KIND[self.bakaze]

        markers = ev["ura_markers"]
        if markers is not None:
            if not isinstance(markers, list):
                raise Refused(f"ura markers {markers!r} are not a list")
            for m in markers:
                if m not in CODE:
                    raise Refused(f"ura marker {m!r} is not a tile")
            if self.ura is None and markers:
                self.ura = [CODE[m] for m in markers]
        stated = self._stated_deltas(ev)
        if self.game.score:
            deltas, detail = self._scored(ev, s, actor, target, win, markers, stated)
        else:
            if stated is None:
                raise Refused(f"the win of seat {actor} has neither deltas nor scores, and is not scored")
            deltas = stated
            # Unscored, the yakuman is unknown: a liable seat is named when it pays.
            liable = self.liable.get(actor)
            pao = liable[1] if liable and stated[liable[1]] < 0 and liable[1] != target else actor
            detail = [actor, target, pao, ""]
        for seat in range(4):
            self.points[seat] += deltas[seat]
        self.wins += [deltas, detail]
        self.play = _AFTER_WIN
        self.over = True

    def _scored(self, ev: dict, s: Situation, actor: int, target: int, win: str, markers: list | None,
                stated: list[int] | None) -> tuple[list[int], list]:
        """The deltas and detail of a win scored from its hand, which must give
        what the log states of it (unless the log's deltas are trusted)."""
        trust = self.game.trust
        if s.riichi and markers is None and stated is None:
            raise Refused(f"the win of seat {actor} after riichi gives no ura indicators, needed to score it")
        first = not self.wins
        scored, why = self._score(actor, win, markers if s.riichi and markers else [], s)
        if scored is None:
            if stated is None or not trust:
                raise Refused(f"the win of seat {actor} does not score: {why}")
            return stated, [actor, target, actor, self._text_of(stated, actor, s, first, ev)]
        liable = self.liable.get(actor)
        pao = liable[1] if liable and liable[0] in scored.yakuman else actor
        expected = self._expected(scored, actor, target, pao, first)
        deltas = expected if stated is None else stated
        wrong = self._disagreement(ev, scored, deltas, expected)
        if not wrong:
            return deltas, [actor, target, pao, scored.text, *scored.yaku]
        if not trust:
            missing = " (the log gives no ura indicators)" if s.riichi and markers is None else ""
            raise Refused(f"the win of seat {actor} ({'tsumo' if s.tsumo else f'ron on seat {target}'}) "
                          f"{wrong}{missing}")
        text = self._text_of(deltas, actor, s, first, ev)
        # Chip lobbies pay 30符4飜 and 60符3飜 as mangan (kiriage): the yaku still hold.
        kiriage = (scored.han, scored.fu) in ((4, 30), (3, 60)) and text.startswith("満貫")
        return deltas, [actor, target, pao, text, *(scored.yaku if kiriage else ())]

    def _stated_deltas(self, ev: dict) -> list[int] | None:
        """The deltas the log gives, directly or as the scores after the result."""
        deltas = _four(ev["deltas"], "its deltas")
        scores = _four(ev["scores"], "its scores")
        if scores is not None:
            from_scores = _diff(scores, self.points)
            if deltas is None:
                return from_scores
            if deltas != from_scores:
                raise Refused(f"{ev['type']} gives the deltas {deltas} but the scores {scores}, "
                              f"which are {from_scores} from {self.points}")
        return deltas

    def _score(self, actor: int, win: str, ura: list[str], s: Situation) -> tuple[Scored | None, str]:
        concealed = [x for x, c in self.hands[actor].items() for _ in range(c)]
        if s.tsumo:
            concealed.remove(win)
        if "?" in concealed or win == "?":
            raise Refused(f"the hand of seat {actor} is hidden and cannot be scored")
        if "?" in self.dora_names or "?" in ura:
            raise Refused("a hidden dora or ura indicator cannot be scored")
        try:
            return self.game.scorer.score(concealed, win, self.melds[actor], self.dora_names, ura, s,
                                          self.kitas[actor]), ""
        except NoScore as e:
            return None, str(e)

    def _expected(self, sc: Scored, actor: int, target: int, pao: int, first: bool) -> list[int]:
        """The deltas of a scored win: the first winner also takes the honba
        and every stick on the table; a liable seat (``pao`` other than the
        winner) pays the whole of a tsumo and half of a ron."""
        d = [0, 0, 0, 0]
        honba = self.honba if first else 0
        if not sc.tsumo:
            pay = sc.main
            if pao not in (actor, target):
                d[pao] -= pay // 2
                pay -= pay // 2
            # A honba is 300 on a ron, 100 from each payer of a tsumo: 200 with three players.
            d[target] -= pay + (self.seats - 1) * 100 * honba
        elif pao != actor:
            d[pao] -= sc.points + 300 * honba
        else:
            for p in range(self.seats):
                if p != actor:
                    d[p] -= (sc.main if sc.dealer or p == self.oya else sc.additional) + 100 * honba
        d[actor] = -sum(d) + (1000 * (self.kyotaku + self.sticks) if first else 0)
        return d

    @staticmethod
    def _disagreement(ev: dict, sc: Scored, stated: list[int], expected: list[int]) -> str:
        """What the log states of the win that its scoring does not give, or ''."""
        if stated != expected:
            return f"has the deltas {stated} in the log, but its hand scores {sc.text}: {expected}"
        fan, fu, points = ev["fan"], ev["fu"], ev["points"]
        if points is not None and points != sc.points:
            return f"has {points} points in the log, but its hand scores {sc.text}"
        if sc.yakuman:
            return ""
        if fan is not None and fan != sc.han:
            return f"has {fan} han in the log, but its hand scores {sc.text}"
        # Some engines give the fu before rounding up (38 for 40); the text shows it only below mangan.
        if fu is not None and sc.han < 5 and type(fu) is int and (fu if fu == 25 else -(-fu // 10) * 10) != sc.fu:
            return f"has {fu} fu in the log, but its hand scores {sc.text}"
        return ""

    def _text_of(self, deltas: list[int], actor: int, s: Situation, first: bool, ev: dict) -> str:
        """A points text that says what the deltas say: the payments, and
        before them the log's own fan and fu, or a limit, where those give
        the same payments; nothing else."""
        tsumo, dealer = s.tsumo, s.dealer
        honba = self.honba if first else 0
        sticks = 1000 * (self.kyotaku + self.sticks) if first else 0
        seats = self.seats
        own = deltas[actor] - (seats - 1) * 100 * honba - sticks
        split: tuple[int, int] | None
        if not tsumo:
            split = (own, 0)
        else:
            pays = [-deltas[p] - 100 * honba for p in range(seats) if p != actor]
            if dealer:
                split = (pays[0], pays[0]) if pays.count(pays[0]) == len(pays) else None
            else:
                main = -deltas[self.oya] - 100 * honba
                others = [-deltas[p] - 100 * honba for p in range(seats) if p not in (actor, self.oya)]
                split = (main, others[0]) if others.count(others[0]) == len(others) else None
            if split is not None and win_points(True, dealer, *split, seats - 1) != own:
                split = None
        if split is None:
            return f"{own}点"
        fan, fu = ev["fan"], ev["fu"]
        head = ""
        if type(fan) is int and type(fu) is int and 0 < fan and 0 < fu:
            fu = fu if fu == 25 else -(-fu // 10) * 10
            if cost_of(fan, fu, dealer, tsumo) == split:
                head = head_text(fan, fu)
        if not head:
            for han in _LIMIT_HAN:
                if cost_of(han, 30, dealer, tsumo) == split:
                    head = head_text(han, 30)
                    break
        return head + pay_text(tsumo, dealer, *split)

    def ryukyoku(self, ev: dict) -> None:
        stated = self._stated_deltas(ev)
        exhausted = self.tsumos >= self.wall
        if stated is None:
            stated = self._draw_deltas(ev) if exhausted else [0, 0, 0, 0]
        self.result = self._draw(ev, stated)
        for seat in range(4):
            self.points[seat] += stated[seat]
        self.play = {}
        self.over = True

    def _tenpai(self, ev: dict) -> list[bool] | None:
        tenpais = ev["tenpais"]
        if isinstance(tenpais, list) and len(tenpais) == 4:
            return [bool(t) for t in tenpais]
        hands = self.hands[:self.seats]
        if any("?" in h for h in hands):
            return None
        scorer = self.game.scorer
        tenpai = [scorer.tenpai([x for x, c in h.items() for _ in range(c)]) for h in hands]
        return tenpai + [False] * (4 - self.seats)

    def _draw_deltas(self, ev: dict) -> list[int]:
        """The deltas of an exhausted draw the log does not give: nagashi
        mangan as a mangan tsumo, else the 3,000 points for tenpai."""
        d = [0, 0, 0, 0]
        seats = self.seats
        nagashi = [s for s in range(seats) if self.yaochu_only[s] and not self.robbed[s]]
        for s in nagashi:
            for p in range(seats):
                if p != s:
                    pay = 4000 if s == self.oya or p == self.oya else 2000
                    d[p] -= pay
                    d[s] += pay
        if nagashi:
            return d
        tenpai = self._tenpai(ev)
        if tenpai is None:
            raise Refused("ryukyoku without deltas or scores, and the hands are hidden")
        n = sum(tenpai)
        # 3,000 for tenpai with four players, 2,000 with three.
        pool = 1000 * (seats - 1)
        if 0 < n < seats:
            for s in range(seats):
                d[s] = pool // n if tenpai[s] else -pool // (seats - n)
        return d

    def _draw(self, ev: dict, deltas: list[int]) -> list:
        """tenhou's name of a draw, from the state of play."""
        if self.tsumos < self.wall:
            if self.prev == "tsumo":
                name = "九種九牌"
            elif self.reaches == 4:
                name = "四家立直"
            elif (self.seats == 4 and len(self.first_discards) == 4 and self.first_discards[0] in _WINDS
                  and self.first_discards.count(self.first_discards[0]) == 4):
                name = "四風連打"
            elif self.kans >= 4:
                name = "四槓散了"
            else:
                name = "三家和了"
            # Deltas on an abortive draw are not tenhou's, but keep them.
            return [name, deltas] if any(deltas) else [name]
        if any(deltas):
            for seat in range(self.seats):
                if self.yaochu_only[seat] and not self.robbed[seat]:
                    return ["流し満貫", deltas]
            return ["流局", deltas]
        tenpai = self._tenpai(ev)
        if tenpai is None:
            # Unknown: a plain draw says nothing false and converts back the same.
            return ["流局", deltas]
        return ["全員聴牌"] if all(tenpai[:self.seats]) else ["全員不聴"]

    def finish(self) -> tuple[list, list[int]]:
        """The kyoku's entry of the log and the points after it."""
        if len(self.dora) - 1 < self.owed:
            raise Refused("a kan without its dora indicator")
        result = ["和了", *self.wins] if self.wins else self.result
        assert result is not None  # the kyoku is over
        entry = [[self.index, self.honba, self.kyotaku], self.scores, self.dora, self.ura or []]
        for seat in range(4):
            entry += [self.hand_codes[seat], self.takes[seat], self.discards[seat]]
        entry.append(result)
        return entry, self.points


def _normalised(play, normalise):
    """The handler of an event type whose spellings differ: normalise, then play."""
    return lambda k, ev: play(k, normalise(ev))


# The handler of each event type within a kyoku.
_PLAY = {
    "tsumo": _Kyoku.tsumo,
    "dahai": _Kyoku.dahai,
    "reach": _Kyoku.reach,
    "reach_accepted": _normalised(_Kyoku.reach_accepted, NORMALISE["reach_accepted"]),
    "chi": _Kyoku.call,
    "pon": _Kyoku.call,
    "daiminkan": _Kyoku.call,
    "kakan": _Kyoku.kan,
    "ankan": _Kyoku.kan,
    "dora": _Kyoku.dora_event,
    "hora": _normalised(_Kyoku.hora, NORMALISE["hora"]),
    "ryukyoku": _normalised(_Kyoku.ryukyoku, NORMALISE["ryukyoku"]),
}
_AFTER_WIN = {"hora": _PLAY["hora"]}
for _name in ("kita", "nukidora"):
    _PLAY[_name] = _Kyoku.kita
# What may follow a kyoku's result besides a further win.
_AFTER_RESULT = frozenset(("end_kyoku", "start_kyoku", "end_game", "error"))
