"""Outputs that appear whole or not at all.

Each output is written to ``.<name>.<pid>.<8 hex>.tmp`` beside its final name
and renamed into place. The pid lets a later run tell the leftovers of a
killed run from the files of a live one.
"""

from __future__ import annotations

import os
import re
import threading
from collections.abc import Callable, Iterable

# Names of the temporary files this process is writing now (unique by their
# random part): a run that starts in another thread must not take them for a
# dead run's leftovers.
_in_flight: set[str] = set()
_in_flight_lock = threading.Lock()

_TMP_RE = re.compile(r"^\..+\.(\d+)\.[0-9a-f]{8}\.tmp$")


def make_folders(paths: Iterable[str]) -> None:
    """Makes the folder of every output path, once per run.

    A folder that cannot be made is left to fail each of its records with
    the error of creating its file.
    """
    for folder in sorted({os.path.dirname(p) for p in paths}):
        try:
            os.makedirs(folder or ".", exist_ok=True)
        except OSError:
            pass


def _temporary_beside(path: str) -> str:
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}.{os.getpid()}.{os.urandom(4).hex()}.tmp")


def _replace_or_remove(tmp: str, path: str, write: Callable[[str], None]) -> None:
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_atomic(path: str, data: bytes) -> None:
    """Writes data to path through a temporary file in the same folder."""
    while True:
        tmp = _temporary_beside(path)
        with _in_flight_lock:
            _in_flight.add(os.path.basename(tmp))
        try:
            try:
                # 0o666 lets the umask decide, as for any file the user creates.
                fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            except FileExistsError:
                continue

            def write(_: str) -> None:
                with open(fd, "wb") as f:
                    f.write(data)

            # From here on the file exists: whatever stops the write removes it.
            _replace_or_remove(tmp, path, write)
            return
        finally:
            with _in_flight_lock:
                _in_flight.discard(os.path.basename(tmp))


def is_up_to_date(src: str, out: str) -> bool:
    """Whether out is at least as new as src (a record, or the zip holding it)."""
    try:
        return os.stat(out).st_mtime_ns >= os.stat(src).st_mtime_ns
    except OSError:
        return False


def exists(out: str) -> bool:
    """A database row's output is up to date once made: a row's record does not change."""
    return os.path.exists(out)


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass  # exists, but belongs to someone else
    try:
        # A killed worker whose new parent does not reap it stays a zombie.
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rpartition(b")")[2].split()[0] != b"Z"
    except (OSError, IndexError):
        return True


def remove_stale_temporaries(out_dir: str) -> int:
    """Removes temporary files that killed runs left in out_dir; returns how many.

    Only names of our own pattern whose writing process is gone are removed,
    or this process's own that it is not writing now, so a run going on at
    the same time keeps its files.
    """
    removed = 0
    me = os.getpid()
    for folder, _dirs, files in os.walk(out_dir):
        for name in files:
            m = _TMP_RE.match(name)
            if not m:
                continue
            pid, path = int(m.group(1)), os.path.join(folder, name)
            with _in_flight_lock:
                stale = name not in _in_flight if pid == me else not _pid_alive(pid)
            if stale:
                try:
                    os.unlink(path)
                    removed += 1
                except FileNotFoundError:
                    pass
    return removed
