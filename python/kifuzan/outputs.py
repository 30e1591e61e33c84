"""Outputs that appear whole or not at all, and the other file rules of a run.

The rules live in the native module, which follows them with the GIL released
while it converts: each output is written to ``.<name>.<pid>.<8 hex>.tmp``
beside its final name and renamed into place (the pid lets a later run tell
the leftovers of a killed run from the files of a live one); missing folders
are made; an output at least as new as its record is up to date. This module
gives Python's callers the same rules.
"""

from __future__ import annotations

import os

from kifuzan._native import remove_stale_temporaries, up_to_date, write_file

__all__ = ["exists", "is_up_to_date", "remove_stale_temporaries", "write_atomic"]


def write_atomic(path: str, data: bytes, folders: bool = True) -> None:
    """Writes data to path through a temporary file in the same folder
    (through a link, the file it names, keeping its permissions; a FIFO or a
    device in place), making missing folders unless told not to. Raises the
    errno's OSError naming the file."""
    write_file(path, data, folders)


def is_up_to_date(src: str, out: str) -> bool:
    """Whether out is at least as new as src (a record, or the zip holding it)."""
    return up_to_date(src, out)


def exists(out: str) -> bool:
    """A database row's output is up to date once made: a row's record does not change."""
    return os.path.exists(out)
