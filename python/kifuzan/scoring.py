"""Scores one win with the ``mahjong`` package under tenhou's rules and writes
tenhou's texts for it: the yaku list and the points text of a result entry.

One calculator configuration is made per game and changed in place for each
win: building a ``HandConfig`` builds every yaku object again, which costs
about as much as scoring a simple hand. The scoring library is imported on
first use, so that ``import kifuzan`` stays quick for the other direction.
"""

from __future__ import annotations

from typing import Any

# mjai tile name -> kind 0..33 (1m..9m, 1p..9p, 1s..9s, E S W N P F C).
KIND: dict[str, int] = {}
for _s, _suit in enumerate("mps"):
    for _n in range(9):
        KIND[f"{_n + 1}{_suit}"] = 9 * _s + _n
for _i, _h in enumerate("ESWNPFC"):
    KIND[_h] = 27 + _i
RED = {"5mr": 4, "5pr": 13, "5sr": 22}
KIND.update(RED)

# yaku id of the scoring library -> (tenhou's name, rank in tenhou's order).
# The value honours share one rank; their order follows the hand (see _honour_order).
_HONOUR_RANK = 17
HAN_YAKU: dict[int, tuple[str, int]] = {
    1: ("立直", 0), 8: ("両立直", 0), 3: ("一発", 1), 4: ("槍槓", 2), 5: ("嶺上開花", 3),
    6: ("海底摸月", 4), 7: ("河底撈魚", 5), 0: ("門前清自摸和", 6), 12: ("平和", 7),
    14: ("一盃口", 8), 34: ("七対子", 9), 27: ("一気通貫", 10), 26: ("三色同順", 11),
    35: ("小三元", 12), 32: ("三槓子", 13), 31: ("三暗刻", 14), 30: ("対々和", 15),
    13: ("断幺九", 16),
    15: ("役牌 白", _HONOUR_RANK), 16: ("役牌 發", _HONOUR_RANK), 17: ("役牌 中", _HONOUR_RANK),
    18: ("自風 東", _HONOUR_RANK), 19: ("自風 南", _HONOUR_RANK),
    20: ("自風 西", _HONOUR_RANK), 21: ("自風 北", _HONOUR_RANK),
    22: ("場風 東", _HONOUR_RANK), 23: ("場風 南", _HONOUR_RANK),
    24: ("場風 西", _HONOUR_RANK), 25: ("場風 北", _HONOUR_RANK),
    28: ("混全帯幺九", 18), 33: ("三色同刻", 19), 29: ("混老頭", 20), 38: ("二盃口", 21),
    37: ("純全帯幺九", 22), 36: ("混一色", 23), 39: ("清一色", 24),
    120: ("ドラ", 25), 121: ("赤ドラ", 26), 122: ("裏ドラ", 27),
}
# honour yaku id -> (tile kind, 0 for the round wind, 1 otherwise): a double
# wind lists 場風 before 自風.
_HONOUR_TILE = {15: (31, 1), 16: (32, 1), 17: (33, 1)}
for _i in range(4):
    _HONOUR_TILE[18 + _i] = (27 + _i, 1)
    _HONOUR_TILE[22 + _i] = (27 + _i, 0)
YAKUMAN: dict[int, tuple[str, int]] = {
    y: (name, rank)
    for rank, (y, name) in enumerate(
        [
            (115, "天和"), (116, "地和"), (103, "大三元"), (104, "小四喜"), (111, "大四喜"),
            (102, "四暗刻"), (113, "四暗刻単騎"), (107, "字一色"), (105, "緑一色"),
            (106, "四槓子"), (108, "清老頭"), (100, "国士無双"), (112, "国士無双１３面"),
            (101, "九蓮宝燈"), (114, "純正九蓮宝燈"),
        ]
    )
}
_LIMIT = ("", "満貫", "跳満", "倍満", "三倍満", "役満")


class NoScore(Exception):
    """The hand does not score; the message says why."""


class Situation:
    """What the events say about a win besides its tiles."""

    __slots__ = (
        "tsumo", "riichi", "double_riichi", "ippatsu", "rinshan", "chankan",
        "haitei", "houtei", "tenhou", "chiihou", "seat_wind", "round_wind", "dealer",
    )

    def __init__(self) -> None:
        self.tsumo = self.riichi = self.double_riichi = self.ippatsu = False
        self.rinshan = self.chankan = self.haitei = self.houtei = False
        self.tenhou = self.chiihou = self.dealer = False
        self.seat_wind = self.round_wind = 27


class Scored:
    """One scored win: tenhou's points text and yaku texts, the han (the sum of
    the listed han) and fu, the names of its yakuman, and what is paid for the
    win itself, without honba or sticks: ``main`` and ``additional`` as in
    ``cost_of``, and the seats that pay a tsumo (``payers``)."""

    __slots__ = ("text", "yaku", "han", "fu", "yakuman", "main", "additional", "tsumo", "dealer", "payers")

    def __init__(self, text, yaku, han, fu, yakuman, main, additional, tsumo, dealer, payers=3) -> None:
        self.text, self.yaku, self.han, self.fu, self.yakuman = text, yaku, han, fu, yakuman
        self.main, self.additional, self.tsumo, self.dealer = main, additional, tsumo, dealer
        self.payers = payers

    @property
    def points(self) -> int:
        """The win's own points, as paid: a tsumo of three players is paid by two."""
        return win_points(self.tsumo, self.dealer, self.main, self.additional, self.payers)


def win_points(tsumo: bool, dealer: bool, main: int, additional: int, payers: int = 3) -> int:
    if not tsumo:
        return main
    return payers * main if dealer else main + (payers - 1) * additional


def pay_text(tsumo: bool, dealer: bool, main: int, additional: int) -> str:
    """The points part of a points text: ron ``5800点``, a dealer's tsumo
    ``2000点∀`` (each pays), another's ``1000-2000点`` (others, dealer)."""
    if not tsumo:
        return f"{main}点"
    return f"{main}点∀" if dealer else f"{additional}-{main}点"


def limit_of(han: int, fu: int) -> int:
    """0 below mangan, then mangan 1 .. yakuman 5 (kazoe included)."""
    if han >= 13:
        return 5
    if han >= 11:
        return 4
    if han >= 8:
        return 3
    if han >= 6:
        return 2
    if han >= 5 or fu << (han + 2) > 2000:
        return 1
    return 0


_LIMIT_BASE = (0, 2000, 3000, 4000, 6000, 8000)


def cost_of(han: int, fu: int, dealer: bool, tsumo: bool) -> tuple[int, int]:
    """(main, additional) of a han-fu hand under tenhou's tables: a ron's
    payment and 0; a dealer's tsumo: each payment twice; another's tsumo: the
    dealer's payment and each other's."""
    limit = limit_of(han, fu)
    base = _LIMIT_BASE[limit] if limit else fu << (han + 2)

    def up(x: int) -> int:
        return -(-x // 100) * 100

    if not tsumo:
        return up(base * (6 if dealer else 4)), 0
    if dealer:
        return up(2 * base), up(2 * base)
    return up(2 * base), up(base)


def head_text(han: int, fu: int) -> str:
    """The part of a points text before the points: ``満貫`` or ``30符3飜``."""
    limit = limit_of(han, fu)
    return _LIMIT[limit] if limit else f"{fu}符{han}飜"


class Scorer:
    """Scores wins of one game (one rule set)."""

    def __init__(self, *, kuitan: bool, aka: bool, three: bool = False) -> None:
        from mahjong.hand_calculating.hand import HandCalculator
        from mahjong.hand_calculating.hand_config import HandConfig, HandConstants, OptionalRules
        from mahjong.meld import Meld
        from mahjong.shanten import Shanten

        self._estimate = HandCalculator.estimate_hand_value
        self._meld = Meld
        self._meld_type: dict[str, Any] = {
            "chi": Meld.CHI, "pon": Meld.PON, "daiminkan": Meld.KAN, "kakan": Meld.SHOUMINKAN, "ankan": Meld.KAN,
        }
        self._shanten = Shanten.calculate_shanten
        rules = OptionalRules(
            has_open_tanyao=kuitan,
            has_aka_dora=aka,
            has_double_yakuman=False,
            kazoe_limit=HandConstants.KAZOE_LIMITED,
            kiriage=False,
            fu_for_open_pinfu=True,
            fu_for_pinfu_tsumo=False,
            renhou_as_yakuman=False,
            # Three players: 1m and 9m follow each other as dora.
            is_three_player=three,
        )
        self._config = HandConfig(options=rules)
        self._aka = aka
        self._payers = 2 if three else 3

    def score(
        self,
        concealed: list[str],
        win: str,
        melds: list[tuple[str, list[str]]],
        dora: list[str],
        ura: list[str],
        s: Situation,
        kitas: int = 0,
    ) -> Scored:
        """Scores a win. ``concealed`` holds the hand without the winning tile,
        ``melds`` the calls in the order made as (mjai type, all its tiles),
        ``kitas`` the Norths set aside, counted in ドラ as tenhou counts them.
        Raises NoScore for a hand that does not win."""
        aka = self._aka
        used: dict[int, int] = {}
        meld_objs = []
        tiles: list[int] = []
        for kind, names in melds:
            # The calculator wants a chi's ids sorted; unsorted, open hands come back as not winning.
            t = sorted(_tile_ids(names, used, aka))
            tiles += t
            meld_objs.append(self._meld(self._meld_type[kind], t, opened=kind != "ankan"))
        tiles += _tile_ids(concealed, used, aka)
        win_id = _tile_ids((win,), used, aka)[0]
        tiles.append(win_id)

        c = self._config
        c.is_tsumo = s.tsumo
        c.is_riichi = s.riichi and not s.double_riichi
        c.is_daburu_riichi = s.double_riichi
        c.is_ippatsu = s.ippatsu
        c.is_rinshan = s.rinshan
        c.is_chankan = s.chankan
        c.is_haitei = s.haitei
        c.is_houtei = s.houtei
        c.is_tenhou = s.tenhou
        c.is_chiihou = s.chiihou
        c.player_wind = s.seat_wind
        c.round_wind = s.round_wind
        c.is_dealer = s.dealer
        c.num_nuki_dora = kitas
        r = self._estimate(
            tiles,
            win_id,
            melds=meld_objs,
            dora_indicators=[KIND[n] * 4 for n in dora],
            config=c,
            ura_dora_indicators=[KIND[n] * 4 for n in ura],
        )
        if r.error:
            raise NoScore(r.error.replace("_", " "))
        return self._texts(r, concealed, win, melds, s, self._payers)

    @staticmethod
    def _texts(r, concealed, win, melds, s: Situation, payers: int) -> Scored:
        yakuman = [y for y in r.yaku if y.is_yakuman]
        han, fu, cost = r.han, r.fu, r.cost
        names: list[str] = []
        if yakuman:
            limit = 5
            yaku = [YAKUMAN[y.yaku_id] for y in yakuman]
            yaku.sort(key=lambda p: p[1])
            names = [name for name, _ in yaku]
            texts = [f"{name}(役満)" for name in names]
        else:
            ranked = []
            order = None
            for y in r.yaku:
                n = y.han_open if r.is_open_hand and y.han_open else y.han_closed
                if not n:
                    continue
                name, rank = HAN_YAKU[y.yaku_id]
                if rank == _HONOUR_RANK:
                    if order is None:
                        order = _honour_order(concealed, win, melds)
                    tile, sub = _HONOUR_TILE[y.yaku_id]
                    key = (rank, order.get(tile, 99), sub)
                else:
                    key = (rank, 0, 0)
                ranked.append((key, f"{name}({n}飜)"))
            ranked.sort(key=lambda p: p[0])
            texts = [t for _, t in ranked]
            limit = limit_of(han, fu)
        # The win's own points (the calculator was given no honba and no sticks).
        main, additional = cost["main"], cost["additional"]
        text = (_LIMIT[limit] if limit else f"{fu}符{han}飜") + pay_text(s.tsumo, s.dealer, main, additional)
        return Scored(text, texts, han, fu, names, main, additional, s.tsumo, s.dealer, payers)

    def tenpai(self, concealed: list[str]) -> bool:
        counts = [0] * 34
        for n in concealed:
            counts[KIND[n]] += 1
        return self._shanten(counts) == 0


def _honour_order(concealed: list[str], win: str, melds) -> dict[int, int]:
    """Position of each honour triplet in tenhou's listing: concealed ones by
    tile, then the melds in the order they were made."""
    counts: dict[int, int] = {}
    for n in concealed:
        k = KIND[n]
        if k >= 27:
            counts[k] = counts.get(k, 0) + 1
    k = KIND[win]
    if k >= 27:
        counts[k] = counts.get(k, 0) + 1
    order: dict[int, int] = {}
    for k in sorted(counts):
        if counts[k] >= 3:
            order[k] = len(order)
    for _, names in melds:
        k = KIND[names[0]]
        if k >= 27 and k not in order:
            order[k] = len(order)
    return order


_FIVES = frozenset((4, 13, 22))


def _tile_ids(names, used: dict[int, int], aka: bool) -> list[int]:
    """Each physical tile its own id 0..135, ``used`` counting the copies of
    each kind given so far; with red fives, they are the first copy of their
    kind (16, 52, 88). One call per meld, not per tile: this runs for every win."""
    ids = []
    for name in names:
        k = KIND[name]
        if aka and name in RED:
            ids.append(4 * k)
            continue
        copy = used.get(k)
        if copy is None:
            copy = 1 if aka and k in _FIVES else 0
        if copy > 3:
            raise NoScore(f"more than four {name}")
        used[k] = copy + 1
        ids.append(4 * k + copy)
    return ids
