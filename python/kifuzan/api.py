"""One call for any record: ``to_mjai`` and ``to_tenhou6``.

A record is told by its content, never by a name: tenhou.net/6 JSON or mjlog
XML (and for ``to_tenhou6`` mjai lines), as ``str`` or ``bytes``, the bytes
also gzip- or bz2-compressed.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable
from typing import Any, NoReturn

import _kifuzan

from kifuzan import _native
from kifuzan.records import MJAI, MJLOG, TENHOU6, Refused, Target, ThreePlayerForm, convert, decompress, utf8_text

__all__ = ["to_mjai", "to_tenhou6"]


def _raw(record: str | bytes | bytearray | memoryview) -> bytes:
    if isinstance(record, str):
        return record.encode("utf-8")
    if isinstance(record, (bytes, bytearray, memoryview)):
        return decompress(bytes(record))
    raise TypeError(f"a record is str or bytes, not {type(record).__name__}")


def _raise(e: Refused) -> NoReturn:
    """The exception the specified functions raise for the record, its message
    the reason (what ``diagnose`` says) where one is known."""
    reason = e.why[2] if e.why else e.message
    cls = _native.MjlogError if e.error == "MjlogError" else getattr(_kifuzan, e.error, None)
    if cls is None:
        raise OSError(reason) from None
    raise cls(reason) from None


def to_mjai(record: str | bytes, *, three_player: ThreePlayerForm = "nukidora") -> list[str]:
    """The mjai events of a tenhou.net/6 or mjlog record, one JSON text each.

    A four-player record gives exactly what ``tenhou_to_mjai`` (or
    ``mjlog_to_mjai``) gives; a three-player record (tenhou.net/6 or mjlog,
    the two giving the same lines for one game) gives its events in the form
    ``three_player`` names: ``"nukidora"`` (the default, three seats, the
    kita as a ``nukidora`` event), ``"kita"`` or ``"nukidora-4"`` (four
    seats, the fourth empty). Raises the exception the
    specified functions raise for the record (``JsonParsingError``,
    ``TenhouLogParsingError``, ``TenhouToMjaiError``, ``MjlogError``) with the
    reason as its message, ``ValueError`` for an mjai record, ``OSError`` for
    bytes that are not UTF-8, ``TypeError`` for anything but str or bytes.
    """
    raw = _raw(record)
    if _native.record_format(raw) == TENHOU6:
        # The list made natively, line by line, as tenhou_to_mjai makes it.
        return _native.tenhou6_to_mjai(record if isinstance(record, str) else utf8_text(raw), three_player)
    try:
        out = convert(raw, Target(MJAI, three_player=three_player))
    except Refused as e:
        _raise(e)
    assert out is not None  # an mjai record is refused above
    return out.decode("utf-8").splitlines()


def to_tenhou6(record: str | bytes | Iterable[str], **options: Any) -> str:
    """The tenhou.net/6 document (compact JSON text) of an mjlog record or of
    mjai lines (one text, bytes, or an iterable of lines); a tenhou.net/6
    record comes back as it is once it is known to convert.

    ``options`` are those of ``mjai_to_tenhou6`` (``ref``, ``level``, ...);
    for an mjlog record only ``ref`` applies. Raises what ``to_mjai`` raises,
    and ``MjaiError`` for mjai lines that are not one playable game.
    """
    if not isinstance(record, (str, bytes, bytearray, memoryview)):
        from kifuzan.reverse import mjai_to_tenhou6

        return mjai_to_tenhou6(record, **options)
    raw = _raw(record)
    kind = _native.record_format(raw)
    if kind == MJLOG:
        unknown = set(options) - {"ref"}
        if unknown:
            raise TypeError(f"an mjlog record takes only ref, not {', '.join(sorted(unknown))}")
        return _native.mjlog_to_tenhou6(utf8_text(raw), options.get("ref"))
    if kind == TENHOU6:
        try:
            out = convert(raw, Target(TENHOU6))
        except Refused as e:
            _raise(e)
        assert out is not None
        return out.decode("utf-8")
    from kifuzan.reverse import Tenhou6Options, mjai_to_tenhou6

    dataclasses.replace(Tenhou6Options(), **options)  # unknown options fail as TypeError here
    return mjai_to_tenhou6(utf8_text(raw), **options)
