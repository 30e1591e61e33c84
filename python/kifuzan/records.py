"""One record to the bytes written for it, whatever its format.

Records are recognised by their content: an mjlog XML record (tenhou's own
download: an optional byte order mark and XML comments, then ``<mjloggm``),
an mjai record (a first line that is a ``start_game`` event), or else a
tenhou.net/6 JSON document; gzip by its magic bytes. A record becomes mjai
lines (each followed by a line feed, exactly what ``tenhou_file_to_mjai``
writes) or a tenhou.net/6 document. The command line, ``convert`` and the
Dask recipe all make their bytes here.
"""

from __future__ import annotations

import dataclasses
import gzip
import re
from typing import TYPE_CHECKING

from _kifuzan import tenhou_file_to_mjai

from kifuzan._native import mjlog_to_tenhou6, record_bytes_to_mjai

if TYPE_CHECKING:
    from kifuzan.reverse import Tenhou6Options

TENHOU6, MJLOG, MJAI = "tenhou6", "mjlog", "mjai"
# What a record can become.
TARGETS = (MJAI, TENHOU6)
# zlib's default: close to level 9 in size at a fraction of its time.
GZIP_LEVEL = 6
GZIP_MAGIC = b"\x1f\x8b"
# The module's own wording for a file that is not UTF-8.
UTF8_MESSAGE = "stream did not contain valid UTF-8"

_SOURCE_ENDINGS = (".json", ".mjlog", ".xml")
_MJAI_ENDING = ".mjson"
_MJLOG_START = re.compile(rb"(?:\xef\xbb\xbf)?(?:\s|<\?xml[^>]*\?>|<!--(?:[^-]|-(?!->))*-->)*<mjloggm\b")


@dataclasses.dataclass(frozen=True)
class Target:
    """What each record becomes: ``to`` is "mjai" or "tenhou6"; ``compress``
    None or "gzip"; ``options`` the header of documents made from mjai."""

    to: str = MJAI
    compress: str | None = None
    options: Tenhou6Options | None = None


def record_endings(to: str) -> tuple[str, ...]:
    """The names searched in folders: mjai records only when they can be
    converted to something else."""
    endings = _SOURCE_ENDINGS + ((_MJAI_ENDING,) if to == TENHOU6 else ())
    return tuple(e + ".gz" for e in endings) + endings


def is_record(name: str, to: str = MJAI) -> bool:
    return name.endswith(record_endings(to))


def record_stem(name: str) -> str:
    """The name without its record ending: ``a.json.gz`` -> ``a``."""
    for ending in record_endings(TENHOU6):
        if name.endswith(ending) and len(name) > len(ending):
            return name[: -len(ending)]
    return name


def record_format(raw: bytes) -> str:
    """TENHOU6, MJLOG or MJAI, from the first bytes of an uncompressed record."""
    if _MJLOG_START.match(raw, 0, 1 << 16):
        return MJLOG
    from kifuzan.reverse import is_mjai_record

    head = raw[: raw.find(b"\n", 0, 1 << 16) + 1 or 1 << 16]
    if b'"start_game"' in head and is_mjai_record(head.decode("utf-8", "replace")):
        return MJAI
    return TENHOU6


def _text(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise OSError(UTF8_MESSAGE) from None


def convert_bytes(raw: bytes, target: Target = Target(), stem: str = "") -> bytes:
    """Converts one record given as bytes (gzip-compressed or not; not yet
    compressed for the output). ``stem`` is the record's name without its
    ending: the ``ref`` of documents made from mjlog and mjai."""
    if raw[:2] == GZIP_MAGIC:
        raw = gzip.decompress(raw)
    kind = record_format(raw)
    if kind == TENHOU6:
        # A document to a document: as it is, once it is known to convert.
        mjai = record_bytes_to_mjai(raw)
        return mjai if target.to == MJAI else raw
    if kind == MJLOG:
        if target.to == MJAI:
            return record_bytes_to_mjai(raw)
        return mjlog_to_tenhou6(_text(raw), stem).encode()
    if target.to == MJAI:
        return raw
    from kifuzan.reverse import Tenhou6Options, mjai_to_tenhou6

    options = target.options or Tenhou6Options()
    if not options.ref:
        options = dataclasses.replace(options, ref=stem)
    return mjai_to_tenhou6(_text(raw), **{f.name: getattr(options, f.name) for f in dataclasses.fields(options)}).encode()


def convert_path(path: str, target: Target = Target()) -> bytes:
    """Converts the record file at path."""
    name = path.rsplit("/", 1)[-1]
    if target.to == MJAI and name.endswith(".json"):
        return "".join(line + "\n" for line in tenhou_file_to_mjai(path)).encode()
    with open(path, "rb") as f:
        return convert_bytes(f.read(), target, record_stem(name))


def encode_output(data: bytes, compress: str | None) -> bytes:
    if compress == "gzip":
        # mtime=0 and no file name in the header: equal input gives equal bytes.
        return gzip.compress(data, compresslevel=GZIP_LEVEL, mtime=0)
    return data
