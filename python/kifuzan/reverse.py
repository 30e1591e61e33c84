"""mjai events of one game back to a tenhou.net/6 document.

The log's lists follow from the events one by one; the result entries of wins
(yaku, points texts), which mjai does not carry, are scored again from the
hands the events built (kifuzan.scoring).
"""

from __future__ import annotations

import json
import re
from collections import Counter
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from itertools import chain, repeat

from kifuzan.scoring import KIND, NoScore, Scorer, Situation

__all__ = ["MjaiError", "Tenhou6Options", "is_mjai_record", "mjai_to_tenhou6"]


class MjaiError(ValueError):
    """The events are not one four-player game that can be written as a
    tenhou.net/6 document. The message names the kyoku and the event (its
    1-based position in the stream, blank lines not counted)."""


@dataclass(frozen=True)
class Tenhou6Options:
    """What mjai does not carry: the document's header, and whether to score.
    ``mjai_to_tenhou6(events, **dataclasses.asdict(options))``."""

    ref: str = ""
    level: str = "般"
    kuitan: bool = True
    fast: bool = False
    lobby: int | None = None
    dan: Sequence[str] | None = None
    rate: Sequence[float] | None = None
    sx: Sequence[str] | None = None
    uma: Sequence[int] = (20, 10, -10, -20)
    score: bool = True


CODE: dict[str, int] = {"?": 0, "5mr": 51, "5pr": 52, "5sr": 53}
for _name, _kind in KIND.items():
    if len(_name) != 3:
        CODE[_name] = 11 + _kind // 9 * 10 + _kind % 9 if _kind < 27 else 41 + _kind - 27
_YAOCHU = frozenset(n for n, k in KIND.items() if k >= 27 or k % 9 in (0, 8))
_WINDS = ("E", "S", "W", "N")
_SEATS = frozenset((0, 1, 2, 3))
_REDS = frozenset(("5mr", "5pr", "5sr"))
_FIRST_LINE = re.compile(r"\s*([^\r\n]*)")
# Tiles of the wall that can be drawn (rinshan draws included).
_WALL = 70


def is_mjai_record(text: str) -> bool:
    """True when the first non-empty line of ``text`` is a ``start_game`` event."""
    match = _FIRST_LINE.match(text)
    line = match.group(1) if match else ""
    # A tenhou.net/6 document is one long line: look before parsing it.
    if '"start_game"' not in line:
        return False
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
    uma: Sequence[int] = (20, 10, -10, -20),
    score: bool = True,
) -> str:
    """Rebuilds the tenhou.net/6 document (compact JSON text) of one game's
    mjai events, given as one text of lines or as an iterable of lines.

    The header fields mjai lacks come from the arguments (``Tenhou6Options``).
    ``score=False`` writes each win's detail as ``[who, from, pao, ""]``.
    Raises MjaiError for a stream that is not one playable game.
    """
    if level not in ("般", "上", "特", "鳳"):
        raise ValueError(f"level must be one of 般 上 特 鳳, not {level!r}")
    for name, value in (("dan", dan), ("rate", rate), ("sx", sx), ("uma", uma)):
        if value is not None and len(value) != 4:
            raise ValueError(f"{name} needs 4 values, got {len(value)}")
    game = _Game(_parse(events), kuitan, score)
    doc: dict = {"ver": 2.3, "ref": ref, "log": game.log, "ratingc": "PF4"}
    aka = 1 if game.aka else 0
    disp = level + ("東" if game.kyoku_first == 4 else "南") + ("喰" if kuitan else "")
    disp += ("赤" if aka else "") + ("速" if fast else "")
    doc["rule"] = {"disp": disp, "aka53": aka, "aka52": aka, "aka51": aka}
    if lobby is not None:
        doc["lobby"] = lobby
    doc["dan"] = list(dan) if dan is not None else ["", "", "", ""]
    doc["rate"] = list(rate) if rate is not None else [1500, 1500, 1500, 1500]
    doc["sx"] = list(sx) if sx is not None else ["C", "C", "C", "C"]
    doc["sc"] = _final_scores(game.final, uma)
    doc["name"] = game.names
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":"))


def _final_scores(points: list[int], uma: Sequence[int]) -> list:
    """Points and results as tenhou's ranked lobbies give them: a 30,000
    return, ties ranked by seat, whole numbers with halves rounded up (11.5 -> 12,
    -17.5 -> -17)."""
    rank = sorted(range(4), key=lambda s: (-points[s], s))
    sc: list = [0] * 8
    for place, seat in enumerate(rank):
        sc[2 * seat] = points[seat]
        if place:
            total = points[seat] - 30000 + 1000 * uma[place]
            sc[2 * seat + 1] = (total + 500) // 1000
    # The top takes what the others lose, so the results sum to zero (65,300 gives 76, not 75).
    sc[2 * rank[0] + 1] = -sum(sc[1::2])
    return sc


def _parse(events: str | Iterable[str]) -> list[dict]:
    texts = events.splitlines() if isinstance(events, str) else list(events)
    if texts and isinstance(texts[0], bytes):
        texts = [t.decode() for t in texts]
    # One parse of all lines as an array; a blank or broken line sends us the slow way.
    if "" not in texts:
        try:
            evs = json.loads("[" + ",".join(texts) + "]")
            if len(evs) == len(texts) and all(map(isinstance, evs, repeat(dict))):
                return evs
        except (ValueError, TypeError):
            pass
    texts = [t for t in texts if t and not t.isspace()]
    try:
        evs = json.loads("[" + ",".join(texts) + "]")
        if len(evs) == len(texts) and all(map(isinstance, evs, repeat(dict))):
            return evs
    except (ValueError, TypeError):
        pass
    # Find the first line that is not one JSON object, for the message.
    for i, t in enumerate(texts):
        try:
            ev = json.loads(t)
        except ValueError as e:
            raise MjaiError(f"event {i + 1}: not JSON ({e})") from None
        if type(ev) is not dict:
            raise MjaiError(f"event {i + 1}: not a JSON object")
    raise MjaiError("not one JSON object a line")


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


class _Game:
    """Walks the events once, building the log and the final points."""

    def __init__(self, evs: list[dict], kuitan: bool, score: bool) -> None:
        self.evs = evs
        self.log: list = []
        self.final: list[int] = []
        self.names: list[str] = ["", "", "", ""]
        self.kyoku_first = 0
        self.aka = False
        self._kuitan = kuitan
        self._score = score
        self._label = ""
        self._event = 0
        self._run()

    def _fail(self, message: str) -> MjaiError:
        where = f"{self._label}, " if self._label else ""
        return MjaiError(f"{where}event {self._event}: {message}")

    def _run(self) -> None:
        evs = self.evs
        if not evs or evs[0].get("type") != "start_game":
            self._event = 1
            raise self._fail("the stream does not begin with start_game")
        first = evs[0]
        names = first.get("names", ["", "", "", ""])
        if not isinstance(names, list) or len(names) != 4 or not all(isinstance(n, str) for n in names):
            self._event = 1
            raise self._fail("start_game needs four names")
        self.names = names
        self.kyoku_first = first.get("kyoku_first", 0)
        aka = first.get("aka_flag")
        self._scorer = Scorer(kuitan=self._kuitan, aka=True if aka is None else bool(aka))
        seen_red = False
        i = 1
        n = len(evs)
        while i < n:
            t = evs[i].get("type")
            if t == "start_kyoku":
                i, red = self._kyoku(i)
                seen_red = seen_red or red
            elif t == "end_game":
                if i + 1 != n:
                    self._event = i + 2
                    raise self._fail("events after end_game")
                break
            else:
                self._event = i + 1
                raise self._fail(f"{t!r} outside a kyoku" if isinstance(t, str) else "event without a type")
        if not self.log:
            self._event = n
            raise self._fail("the game has no kyoku")
        self.aka = bool(aka) if aka is not None else seen_red

    def _kyoku(self, start: int) -> tuple[int, bool]:
        """Reads one kyoku from its start_kyoku at ``start``; returns the index
        after its end_kyoku and whether a red five was seen. One method over
        local variables, since the per-event work is most of the cost."""
        evs = self.evs
        sk = evs[start]
        self._event = start + 1
        i = start

        def fail(message: str, at: int | None = None) -> MjaiError:
            self._event = (i if at is None else at) + 1
            return self._fail(message)

        try:
            bakaze = sk["bakaze"]
            kyoku = sk["kyoku"]
            honba = sk["honba"]
            kyotaku = sk["kyotaku"]
            oya = sk["oya"]
            scores = list(sk["scores"])
            tehais = sk["tehais"]
            dora_marker = sk["dora_marker"]
            round_index = 4 * _WINDS.index(bakaze) + kyoku - 1
            if kyoku not in (1, 2, 3, 4):
                raise ValueError
            self._label = f"kyoku {bakaze}{kyoku} (honba {honba})"
            if (oya not in _SEATS or len(scores) != 4 or len(tehais) != 4 or any(len(h) != 13 for h in tehais)
                    or not all(type(x) is int for x in (kyoku, honba, kyotaku, oya, *scores))):
                raise ValueError
            hand_codes = [[CODE[t] for t in h] for h in tehais]
            dora = [CODE[dora_marker]]
        except (KeyError, ValueError, TypeError):
            self._label = ""
            raise fail("start_kyoku without a valid bakaze, kyoku, honba, kyotaku, oya, four scores, "
                       "four hands of 13 tiles and a dora marker") from None
        seen_red = not _REDS.isdisjoint(chain.from_iterable(tehais))
        dora_names = [dora_marker]
        hands = [dict(Counter(h)) for h in tehais]
        takes: list[list] = [[], [], [], []]
        discards: list[list] = [[], [], [], []]
        melds: list[list] = [[], [], [], []]
        pons: list[dict] = [{}, {}, {}, {}]
        reach_pending = [False] * 4
        accepted = [False] * 4
        double = [False] * 4
        ippatsu = [False] * 4
        ippatsu_kept = ippatsu
        discarded = [False] * 4
        draws = [0] * 4
        last_draw: list[str | None] = [None] * 4
        rinshan_next = [False] * 4
        rinshan_draw = False
        yaochu_only = [True] * 4
        robbed = [False] * 4
        first_discards: list[str] = []
        reaches = 0
        kans = 0
        any_call = False
        tsumos = 0
        drawer = oya  # the seat whose draw comes next, or -1
        prev = ""  # type of the last event that changes what a win may follow
        prev_actor = -1
        prev_pai = ""
        ura: list | None = None
        wins: list = []
        result = None
        sticks = 0
        # Kans whose dora indicator is due: a kakan's or daiminkan's once play goes on
        # after its replacement draw, an ankan's at that draw.
        owed = kan_owes = 0
        ankan_owes = False

        def take(seat: int, tile: str) -> None:
            h = hands[seat]
            c = h.get(tile)
            if not c:
                if not h.get("?"):
                    raise fail(f"seat {seat} does not hold {tile}")
                tile = "?"
                c = h[tile]
            if c == 1:
                del h[tile]
            else:
                h[tile] = c - 1

        def tile_of(ev: dict, key: str = "pai") -> str:
            tile = ev.get(key)
            if tile not in CODE:
                raise fail(f"{key} {tile!r} is not a tile")
            return tile

        def seat_of(ev: dict, key: str = "actor") -> int:
            seat = ev.get(key)
            if seat not in _SEATS or type(seat) is not int:
                raise fail(f"{key} {seat!r} is not a seat")
            return seat

        def call_check(ev: dict, actor: int) -> tuple[int, str]:
            target = seat_of(ev, "target")
            pai = tile_of(ev)
            if prev != "dahai" or target != prev_actor or pai != prev_pai or target == actor:
                raise fail(f"{ev['type']} of {pai} from seat {target} does not fit the last discard")
            return target, pai

        n = len(evs)
        t = None
        try:
            for i in range(start + 1, n):  # noqa: B007 (fail() reads i)
                ev = evs[i]
                t = ev["type"]
                if t == "tsumo":
                    actor = ev["actor"]
                    pai = ev["pai"]
                    if actor not in _SEATS or pai not in CODE or type(actor) is not int:
                        seat_of(ev)
                        tile_of(ev)
                    if ankan_owes:
                        owed += 1
                        ankan_owes = False
                    if actor != drawer or tsumos >= _WALL:
                        raise fail(f"seat {actor} draws out of turn")
                    drawer = -1
                    takes[actor].append(CODE[pai])
                    h = hands[actor]
                    h[pai] = h[pai] + 1 if pai in h else 1
                    draws[actor] += 1
                    tsumos += 1
                    last_draw[actor] = pai
                    rinshan_draw = rinshan_next[actor]
                    rinshan_next[actor] = False
                    prev = "tsumo"
                    prev_actor = actor
                    prev_pai = pai
                    if pai in _REDS:
                        seen_red = True
                elif t == "dahai":
                    actor = ev["actor"]
                    pai = ev["pai"]
                    if actor not in _SEATS or pai not in CODE or type(actor) is not int:
                        seat_of(ev)
                        tile_of(ev)
                    if prev_actor != actor or prev not in ("tsumo", "call"):
                        raise fail(f"seat {actor} discards out of turn")
                    tsumogiri = ev["tsumogiri"]
                    if tsumogiri is True:
                        drawn = last_draw[actor]
                        if drawn != pai:
                            if drawn != "?":
                                raise fail(f"seat {actor} discards {pai} as the tile it drew, {drawn}")
                            # A hidden draw discarded at once was this tile.
                            takes[actor][-1] = CODE[pai]
                    elif tsumogiri is not False:
                        raise fail(f"tsumogiri {tsumogiri!r} is not true or false")
                    if kan_owes:
                        owed += kan_owes
                        kan_owes = 0
                    h = hands[actor]
                    c = h[pai] if pai in h else 0
                    if c > 1:
                        h[pai] = c - 1
                    elif c:
                        del h[pai]
                    else:
                        take(actor, pai)
                    code = 60 if tsumogiri else CODE[pai]
                    if reach_pending[actor]:
                        reach_pending[actor] = False
                        discards[actor].append(f"r{code}")
                        ippatsu[actor] = True
                    else:
                        discards[actor].append(code)
                        ippatsu[actor] = False
                    discarded[actor] = True
                    last_draw[actor] = None
                    if pai not in _YAOCHU:
                        yaochu_only[actor] = False
                    if len(first_discards) < 4:
                        first_discards.append(pai if not any_call else "")
                    prev = "dahai"
                    prev_actor = actor
                    prev_pai = pai
                    drawer = (actor + 1) % 4
                elif t == "reach":
                    actor = seat_of(ev)
                    if prev != "tsumo" or prev_actor != actor or accepted[actor] or reach_pending[actor]:
                        raise fail(f"seat {actor} declares riichi out of turn")
                    reach_pending[actor] = True
                    double[actor] = not discarded[actor] and not any_call
                    reaches += 1
                elif t == "reach_accepted":
                    actor = seat_of(ev)
                    if accepted[actor] or not discards[actor] or not str(discards[actor][-1]).startswith("r"):
                        raise fail(f"riichi of seat {actor} accepted without its discard")
                    accepted[actor] = True
                    sticks += 1
                elif t in ("chi", "pon", "daiminkan"):
                    actor = seat_of(ev)
                    target, pai = call_check(ev, actor)
                    consumed = ev.get("consumed")
                    size = 3 if t == "daiminkan" else 2
                    if not isinstance(consumed, list) or len(consumed) != size:
                        raise fail(f"{t} needs {size} consumed tiles")
                    for tile in consumed:
                        if tile not in CODE:
                            raise fail(f"consumed {tile!r} is not a tile")
                    kinds = sorted(KIND.get(x, -1) for x in [pai, *consumed])
                    rel = (target - actor) % 4
                    if t == "chi":
                        ok = rel == 3 and kinds[0] < 27 and kinds[0] // 9 == kinds[2] // 9 and kinds == list(
                            range(kinds[0], kinds[0] + 3))
                    else:
                        ok = kinds[0] == kinds[-1]
                    if not ok and "?" not in consumed:
                        raise fail(f"{t} of {pai} with {', '.join(consumed)} from seat {target} is not a {t}")
                    for tile in consumed:
                        take(actor, tile)
                    text = _call_text(t[0] if t != "daiminkan" else "m", rel, pai, consumed)
                    takes[actor].append(text)
                    robbed[target] = True
                    any_call = True
                    ippatsu = [False] * 4
                    tiles = [pai, *consumed]
                    if t == "pon":
                        pons[actor][KIND.get(pai)] = (rel, pai, consumed, len(melds[actor]))
                    melds[actor].append((t, tiles))
                    if t == "daiminkan":
                        owed += kan_owes
                        kan_owes = 1
                        discards[actor].append(0)
                        rinshan_next[actor] = True
                        kans += 1
                        prev = "kan"
                    else:
                        prev = "call"
                    prev_actor, prev_pai = actor, pai
                    drawer = actor if t == "daiminkan" else -1
                    last_draw[actor] = None
                elif t == "dora":
                    marker = tile_of(ev, "dora_marker")
                    dora.append(CODE[marker])
                    dora_names.append(marker)
                elif t in ("kakan", "ankan"):
                    actor = seat_of(ev)
                    if prev != "tsumo" or prev_actor != actor:
                        raise fail(f"seat {actor} makes a kan out of turn")
                    consumed = ev.get("consumed")
                    size = 3 if t == "kakan" else 4
                    owed += kan_owes
                    kan_owes = 0
                    if not isinstance(consumed, list) or len(consumed) != size or not all(x in CODE for x in consumed):
                        raise fail(f"{t} needs {size} consumed tiles")
                    if t == "kakan":
                        pai = tile_of(ev)
                        pon = pons[actor].pop(KIND.get(pai), None)
                        if pon is None:
                            raise fail(f"kakan of {pai} without a pon of it")
                        take(actor, pai)
                        rel, called, own, index = pon
                        at = {3: 0, 2: 1, 1: 2}[rel]
                        if consumed[at] != called or sorted(consumed) != sorted([called, *own]):
                            consumed = list(own)
                            consumed.insert(at, called)
                        c = [f"{CODE[x]:02d}" for x in consumed]
                        added = f"k{CODE[pai]:02d}"
                        c.insert(at, added)
                        discards[actor].append("".join(c))
                        melds[actor][index] = ("kakan", [called, *own, pai])
                        kan_owes = 1
                        ippatsu_kept = ippatsu
                        prev_pai = pai
                    else:
                        kinds = {KIND.get(x) for x in consumed}
                        if len(kinds) != 1 and "?" not in consumed:
                            raise fail(f"ankan of {', '.join(consumed)} is not four of one tile")
                        for tile in consumed:
                            take(actor, tile)
                        c = [f"{CODE[x]:02d}" for x in consumed]
                        discards[actor].append(c[0] + c[1] + c[2] + "a" + c[3])
                        melds[actor].append(("ankan", list(consumed)))
                        ankan_owes = True
                        ippatsu_kept = ippatsu
                        prev_pai = consumed[0]
                    ippatsu = [False] * 4
                    any_call = True
                    kans += 1
                    rinshan_next[actor] = True
                    last_draw[actor] = None
                    prev = t
                    drawer = actor
                elif t == "hora":
                    actor = seat_of(ev)
                    target = seat_of(ev, "target")
                    deltas = ev.get("deltas")
                    if not isinstance(deltas, list) or len(deltas) != 4 or not all(type(d) is int for d in deltas):
                        raise fail("hora needs four deltas")
                    markers = ev.get("ura_markers") or []
                    if ura is None and markers:
                        for m in markers:
                            if m not in CODE:
                                raise fail(f"ura marker {m!r} is not a tile")
                        ura = [CODE[m] for m in markers]
                    tsumo = actor == target
                    s = Situation()
                    if tsumo:
                        if prev != "tsumo" or prev_actor != actor:
                            raise fail(f"tsumo win of seat {actor} without its draw")
                        win = last_draw[actor]
                        s.rinshan = rinshan_draw
                        s.haitei = tsumos >= _WALL and not rinshan_draw
                        if draws[actor] == 1 and not any_call and not rinshan_draw:
                            s.tenhou = actor == oya
                            s.chiihou = actor != oya
                        s.ippatsu = ippatsu[actor]
                    else:
                        if prev not in ("dahai", "kakan", "ankan") or prev_actor != target:
                            raise fail(f"ron of seat {actor} on seat {target}, which did not just discard or add to a kan")
                        win = prev_pai
                        s.chankan = prev != "dahai"
                        s.houtei = prev == "dahai" and tsumos >= _WALL
                        s.ippatsu = (ippatsu_kept if s.chankan else ippatsu)[actor]
                    s.tsumo = tsumo
                    s.riichi = accepted[actor]
                    s.double_riichi = s.riichi and double[actor]
                    s.ippatsu = s.ippatsu and s.riichi
                    s.dealer = actor == oya
                    s.seat_wind = 27 + (actor - oya) % 4
                    s.round_wind = KIND[bakaze]
                    payers = [p for p in range(4) if deltas[p] < 0 and p != actor and p != target]
                    pao = payers[0] if len(payers) == 1 else actor
                    detail: list = [actor, target, pao]
                    if self._score:
                        concealed = [x for x, c in hands[actor].items() for _ in range(c)]
                        if tsumo:
                            concealed.remove(win)
                        if "?" in concealed or win == "?":
                            raise fail(f"the hand of seat {actor} is hidden and cannot be scored")
                        if "?" in dora_names or "?" in markers:
                            raise fail("a hidden dora or ura indicator cannot be scored")
                        try:
                            text, yaku = self._scorer.score(
                                concealed, win, melds[actor], dora_names, markers if s.riichi else [], s)
                        except NoScore as e:
                            raise fail(f"the win of seat {actor} does not score: {e}") from None
                        detail.append(text)
                        detail += yaku
                    else:
                        detail.append("")
                    wins += [deltas, detail]
                    if i + 1 < n and evs[i + 1].get("type") not in ("hora", "end_kyoku"):
                        raise fail("play goes on after a win", i + 1)
                elif t == "ryukyoku":
                    deltas = ev.get("deltas") or [0, 0, 0, 0]
                    if not isinstance(deltas, list) or len(deltas) != 4 or not all(type(d) is int for d in deltas):
                        raise fail("ryukyoku needs four deltas")
                    if wins:
                        raise fail("a kyoku with both hora and ryukyoku")
                    result = self._draw(ev, prev, tsumos, reaches, kans, first_discards, deltas,
                                        yaochu_only, robbed, hands)
                    if i + 1 < n and evs[i + 1].get("type") != "end_kyoku":
                        raise fail("play goes on after a draw", i + 1)
                elif t == "end_kyoku":
                    break
                else:
                    if t in ("start_kyoku", "end_game"):
                        raise fail(f"{t} before the kyoku ends")
                    raise fail(f"unknown event type {t!r}" if isinstance(t, str) else "event without a type")
            else:
                i = n - 1
                raise fail("the kyoku does not end")
        except (KeyError, TypeError, AttributeError):
            raise fail(f"a malformed {t} event" if isinstance(t, str) else "an event without a type") from None
        if len(dora) - 1 < owed:
            raise fail("a kan without its dora indicator")
        if wins:
            result = ["和了", *wins]
        elif result is None:
            raise fail("end_kyoku without hora or ryukyoku")
        entry = [[round_index, honba, kyotaku], scores, dora, ura or []]
        for seat in range(4):
            entry += [hand_codes[seat], takes[seat], discards[seat]]
        entry.append(result)
        self.log.append(entry)
        final = [scores[seat] - (1000 if accepted[seat] else 0) for seat in range(4)]
        if wins:
            for d in wins[::2]:
                for seat in range(4):
                    final[seat] += d[seat]
        else:
            for seat in range(4):
                final[seat] += deltas[seat]
            top = max(range(4), key=lambda s: (final[s], -s))
            final[top] += 1000 * (kyotaku + sticks)
        self.final = final
        self._label = ""
        return i + 1, seen_red

    def _draw(self, ev, prev, tsumos, reaches, kans, first_discards, deltas, yaochu_only, robbed, hands) -> list:
        """tenhou's name of a draw, from the state of play."""
        if tsumos < _WALL:
            if prev == "tsumo":
                name = "九種九牌"
            elif reaches == 4:
                name = "四家立直"
            elif len(first_discards) == 4 and first_discards[0] in _WINDS and first_discards.count(first_discards[0]) == 4:
                name = "四風連打"
            elif kans >= 4:
                name = "四槓散了"
            else:
                name = "三家和了"
            # Deltas on an abortive draw are not tenhou's, but keep them.
            return [name, deltas] if any(deltas) else [name]
        if any(deltas):
            for seat in range(4):
                if yaochu_only[seat] and not robbed[seat]:
                    return ["流し満貫", deltas]
            return ["流局", deltas]
        tenpais = ev.get("tenpais")
        if isinstance(tenpais, list) and len(tenpais) == 4:
            return ["全員聴牌"] if all(tenpais) else ["全員不聴"]
        hands_known = all("?" not in h for h in hands)
        if not hands_known:
            # Unknown: a plain draw says nothing false and converts back the same.
            return ["流局", deltas]
        scorer = self._scorer
        for h in hands:
            if not scorer.tenpai([x for x, c in h.items() for _ in range(c)]):
                return ["全員不聴"]
        return ["全員聴牌"]
