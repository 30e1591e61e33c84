"""One record to mjai bytes: the bytes every output path of kifuzan writes.

A record's output is each event line followed by a line feed, exactly what
``tenhou_file_to_mjai(record, out)`` writes; the command line, ``convert`` and
the Dask recipe all make their bytes here.
"""

from __future__ import annotations

import gzip

from _kifuzan import tenhou_file_to_mjai

from kifuzan._native import tenhou_bytes_to_mjai

RECORD_ENDINGS = (".json.gz", ".json")
# zlib's default: close to level 9 in size at a fraction of its time.
GZIP_LEVEL = 6
GZIP_MAGIC = b"\x1f\x8b"
# The module's own wording for a file that is not UTF-8.
UTF8_MESSAGE = "stream did not contain valid UTF-8"


def is_record(name: str) -> bool:
    return name.endswith(RECORD_ENDINGS)


def record_stem(name: str) -> str:
    """The name without its record ending: ``a.json.gz`` -> ``a``."""
    for ending in RECORD_ENDINGS:
        if name.endswith(ending) and len(name) > len(ending):
            return name[: -len(ending)]
    return name


def mjai_bytes(lines: list[str]) -> bytes:
    """The bytes tenhou_file_to_mjai writes for these events: each line and a line feed."""
    return ("\n".join(lines) + "\n").encode() if lines else b""


def convert_bytes(raw: bytes) -> bytes:
    """Converts one record given as bytes, gzip-compressed (by its magic bytes) or not."""
    if raw[:2] == GZIP_MAGIC:
        raw = gzip.decompress(raw)
    return tenhou_bytes_to_mjai(raw)


def convert_path(path: str) -> bytes:
    """Converts the record file at path; a name ending in ``.gz`` is read as gzip."""
    if path.endswith(".gz"):
        with open(path, "rb") as f:
            return convert_bytes(f.read())
    return mjai_bytes(tenhou_file_to_mjai(path))


def encode_output(data: bytes, compress: str | None) -> bytes:
    if compress == "gzip":
        # mtime=0 and no file name in the header: equal input gives equal bytes.
        return gzip.compress(data, compresslevel=GZIP_LEVEL, mtime=0)
    return data
