"""One record's bytes to the bytes written for it, whatever its format.

Everything is told by content, never by name: gzip and bz2 by their magic
bytes, then the record's format by the native detector (an mjlog XML record,
an mjai record, or else a tenhou.net/6 document). A record becomes mjai lines
(each followed by a line feed, exactly what ``tenhou_file_to_mjai`` writes) or
a tenhou.net/6 document. The command line, ``convert_many`` and the Dask
recipe all make their bytes here. The native converter releases the GIL, and
so do Python's gzip and bz2 decompressors, so threads convert in parallel.
"""

from __future__ import annotations

import bz2
import dataclasses
import zlib
from typing import TYPE_CHECKING, Literal, get_args

from kifuzan import _native

if TYPE_CHECKING:
    from kifuzan.reverse import Tenhou6Options

TENHOU6, MJLOG, MJAI = "tenhou6", "mjlog", "mjai"
# What a record can become.
TARGETS = (MJAI, TENHOU6)
Compression = Literal["gzip"] | None
# The mjai forms of three-player games; the package's default is the first.
ThreePlayerForm = Literal["nukidora", "kita", "nukidora-4"]
THREE_PLAYER_FORMS: tuple[ThreePlayerForm, ...] = get_args(ThreePlayerForm)
# zlib's default: close to level 9 in size at a fraction of its time.
GZIP_LEVEL = 6
ZIP_MAGIC = b"PK\x03\x04"
SQLITE_MAGIC = b"SQLite format 3\x00"
# No game record comes near this: a larger one is refused before it is
# inflated whole (a zip or compression bomb).
MAX_RECORD_BYTES = 64 << 20
# The module's own wording for a file that is not UTF-8.
UTF8_MESSAGE = "stream did not contain valid UTF-8"


@dataclasses.dataclass(frozen=True)
class Target:
    """What each record becomes: ``to`` is "mjai" or "tenhou6"; ``compress``
    None or "gzip"; ``options`` the header of documents made from mjai;
    ``three_player`` the mjai form of three-player games (None: refused)."""

    to: str = MJAI
    compress: Compression = None
    options: Tenhou6Options | None = None
    three_player: ThreePlayerForm | None = "nukidora"


class Refused(ValueError):
    """A record the converter refused: ``error`` and ``message`` are the class
    name and text of the exception the public functions raise for it, ``why``
    what ``diagnose`` says (a tuple, or None)."""

    def __init__(self, error: str, message: str, why: tuple | None = None) -> None:
        super().__init__(message)
        self.error, self.message, self.why = error, message, why


class TooLarge(ValueError):
    """A record that inflates beyond ``MAX_RECORD_BYTES``."""

    def __init__(self, what: str = "the record") -> None:
        super().__init__(f"{what} is larger than {MAX_RECORD_BYTES >> 20} MiB unpacked: not a game record")


def decompress(raw: bytes) -> bytes:
    """The bytes inside gzip or bz2 (told by their magic; every stream of a
    multi-stream file), else raw, bounded by ``MAX_RECORD_BYTES``. Raises
    OSError, EOFError or zlib.error for damaged data, TooLarge for a bomb."""
    kind = _native.compression(raw)
    if kind is None:
        return raw
    parts: list[bytes] = []
    size = 0
    while raw:
        d = zlib.decompressobj(wbits=31) if kind == "gzip" else bz2.BZ2Decompressor()
        part = d.decompress(raw, MAX_RECORD_BYTES + 1 - size)
        size += len(part)
        if size > MAX_RECORD_BYTES:
            raise TooLarge
        if not d.eof:
            raise EOFError("Compressed file ended before the end-of-stream marker was reached")
        parts.append(part)
        raw = d.unused_data.lstrip(b"\0") if kind == "gzip" else d.unused_data  # gzip may be padded
    return b"".join(parts)


def container_kind(raw: bytes) -> str | None:
    """"zip" or "database" for a file that holds many records, else None."""
    if raw[:4] == ZIP_MAGIC:
        return "zip"
    if raw[:16] == SQLITE_MAGIC:
        return "database"
    return None


def record_format(raw: bytes) -> str:
    """TENHOU6, MJLOG or MJAI, from the first bytes of an uncompressed record."""
    return _native.record_format(raw)


def utf8_text(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise OSError(UTF8_MESSAGE) from None


def mjai_to_document(raw: bytes, options: Tenhou6Options | None, stem: str) -> bytes:
    """An mjai record's tenhou.net/6 document. Scored in Python, holding the GIL."""
    from kifuzan.reverse import Tenhou6Options, mjai_to_tenhou6

    options = options or Tenhou6Options()
    if not options.ref:
        options = dataclasses.replace(options, ref=stem)
    fields = {f.name: getattr(options, f.name) for f in dataclasses.fields(options)}
    return mjai_to_tenhou6(utf8_text(raw), **fields).encode()


class AlreadyMjai(ValueError):
    """An mjai record asked to become mjai."""

    def __init__(self) -> None:
        super().__init__("the record is mjai already; --to tenhou6 (to='tenhou6') makes a tenhou.net/6 document of it")


def convert(raw: bytes, target: Target = Target(), stem: str = "") -> bytes | None:
    """Converts one uncompressed record. ``stem`` is the record's name
    without its ending: the ``ref`` of documents made from mjlog and mjai.

    Returns the bytes, or None for an mjai record to become a document: that
    is ``mjai_to_document``'s work (it holds the GIL, so a caller with
    threads hands it to a process). Raises Refused for a record the
    converter refuses, AlreadyMjai, and OSError for a text that is not UTF-8.
    """
    out = _native.convert_record(raw, target.to, stem, target.three_player)
    if isinstance(out, tuple):
        error, message, why = out
        if error == "OSError":
            raise OSError(message)
        raise Refused(error, message, why)
    if out is None and target.to == MJAI:
        raise AlreadyMjai
    return out


def convert_bytes(raw: bytes, target: Target = Target(), stem: str = "") -> bytes:
    """Converts one record given as bytes, compressed or not (not yet
    compressed for the output), all in this thread."""
    raw = decompress(raw)
    what = container_kind(raw)
    if what is not None:
        raise ValueError(f"a {what} of records, not one record: kifuzan convert FILE -o OUTDIR converts it")
    out = convert(raw, target, stem)
    return out if out is not None else mjai_to_document(raw, target.options, stem)


def encode_output(data: bytes, compress: str | None) -> bytes:
    if compress == "gzip":
        # mtime=0 and no file name in the header: equal input gives equal bytes.
        import gzip

        return gzip.compress(data, compresslevel=GZIP_LEVEL, mtime=0)
    return data
