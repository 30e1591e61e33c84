"""Finding the records of a run and naming their outputs.

A source is a record file, a folder (searched recursively), a zip file of
records (searched like a folder) or a downloader's SQLite database (one
record a row). Given directly, a file is told by its content; in a folder,
by its name (records, ``*.zip``, and ``*.db``, ``*.sqlite``, ``*.sqlite3``
that are SQLite files).
"""

from __future__ import annotations

import functools
import os
import posixpath
import re
import zipfile
from collections.abc import Iterable, Iterator
from typing import NamedTuple

from kifuzan import databases
from kifuzan.records import MJAI, TARGETS, TENHOU6, Target, container_kind
from kifuzan.results import Failure, failure_of

StrPath = str | os.PathLike[str]

FILE, ZIP, DATABASE = "file", "zip", "database"
COMPRESSIONS = (None, "gzip")
# The ending of outputs, by what records become.
DEFAULT_SUFFIXES = {MJAI: ".mjson", TENHOU6: ".json"}
_RECORD_ENDINGS = (".json", ".mjlog", ".xml")
_MJAI_ENDING = ".mjson"
_COMPRESSED = (".gz", ".bz2")
_CONTAINER_ENDINGS = (".zip", ".db", ".sqlite", ".sqlite3")


class Job(NamedTuple):
    """One record to convert: ``src`` the file that holds it, ``out`` its
    output; ``member`` the zip member or the database row's log id."""

    src: str
    out: str
    member: str | None = None
    kind: str = FILE


class Found(NamedTuple):
    jobs: list[Job]
    failures: list[Failure]  # sources that cannot be read, names that clash
    without_record: int  # database rows with no record (not downloaded)


class UsageError(ValueError):
    """The arguments do not describe a run (the command line exits with 2)."""


def output_suffix(target: Target, suffix: str | None) -> str:
    """Checks the options that name outputs; returns the suffix to use."""
    compress = target.compress
    if compress not in COMPRESSIONS:
        raise UsageError(f"unknown compression {compress!r} (choose gzip or None)")
    if target.to not in TARGETS:
        raise UsageError(f"unknown output format {target.to!r} (choose {' or '.join(TARGETS)})")
    if suffix is None:
        return DEFAULT_SUFFIXES[target.to] + (".gz" if compress == "gzip" else "")
    if not suffix.startswith(".") or "/" in suffix or os.sep in suffix or suffix in (".", ".."):
        raise UsageError(f"invalid suffix {suffix!r}: it must start with '.' and name no folder")
    if suffix.endswith(".gz") and compress != "gzip":
        # Plain text under a .gz name would fool every reader that trusts it.
        raise UsageError(f"suffix {suffix!r} ends in .gz: it needs gzip compression (--compress gzip)")
    return suffix


def as_list(sources: Iterable[StrPath] | StrPath) -> list[str]:
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    return [os.fspath(s) for s in sources]


@functools.cache
def record_endings(to: str) -> tuple[str, ...]:
    """The record names searched in folders: mjai records only when they can
    be converted to something else."""
    endings = _RECORD_ENDINGS + ((_MJAI_ENDING,) if to == TENHOU6 else ())
    return tuple(e + c for c in _COMPRESSED for e in endings) + endings


def is_record(name: str, to: str = MJAI) -> bool:
    return name.endswith(record_endings(to))


# The shortest stem before a record ending (a compression after it or alone).
_STEM = re.compile(r"(.+?)(?:\.(?:json|mjlog|xml|mjson)(?:\.(?:gz|bz2))?|\.(?:gz|bz2))", re.S)


def record_stem(name: str) -> str:
    """The name without its record ending: ``a.json.gz`` -> ``a``."""
    m = _STEM.fullmatch(name)
    return m.group(1) if m else name


def _head(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(16)
    except OSError:
        return b""


def _safe_member(name: str) -> bool:
    """A member name that stays inside its folder once written out."""
    parts = name.split("/")
    return not (name.startswith("/") or "\\" in name or ":" in parts[0] or any(p in ("", ".", "..") for p in parts))


class _Finder:
    def __init__(self, out_dir: str, suffix: str, to: str, filters: databases.Filters) -> None:
        self.out_dir, self.suffix, self.to, self.filters = out_dir, suffix, to, filters
        self.out_real = os.path.realpath(out_dir)
        self.claimed: dict[str, Job] = {}
        self.found: list[Job | Failure] = []  # since the stream last took them
        self.without_record = 0

    def add(self, job: Job) -> None:
        first = self.claimed.get(job.out)
        if first is None:
            self.claimed[job.out] = job
            self.found.append(job)
        # A record named twice (a file and its folder, or two spellings) is one
        # job. Resolved only on a clash: realpath costs a system call per part.
        elif (os.path.realpath(first.src), first.member) != (os.path.realpath(job.src), job.member):
            named = first.src if first.member is None else f"{first.src}:{first.member}"
            self.fail(job.src, FileExistsError(f"output {job.out!r} is already made from {named!r}"), job.member)

    def fail(self, src: str, e: BaseException, member: str | None = None) -> None:
        self.found.append(failure_of(src, e, member=member))

    def output(self, folder: str, stem: str) -> str:
        return os.path.normpath(os.path.join(self.out_dir, folder, stem + self.suffix))

    def source(self, path: str, folder: str, direct: bool, name: str = "", out: str = "") -> None:
        """One file: a record, a zip or a database, found in ``folder`` (the
        output folder it maps to, ``out`` once made) or named directly."""
        name = name or os.path.basename(path)
        head = _head(path) if direct or name.endswith(_CONTAINER_ENDINGS) else b""
        container = container_kind(head)
        if container == "zip":
            self.zip(path, folder if direct else os.path.join(folder, name[: -len(".zip")] or name))
        elif container == "database":
            self.database(path, folder)
        elif direct:
            self.add(Job(path, self.output(folder, record_stem(name))))
        elif is_record(name, self.to):
            self.add(Job(path, f"{out}/{record_stem(name)}{self.suffix}"))

    def zip(self, path: str, folder: str) -> None:
        try:
            with zipfile.ZipFile(path) as z:
                members = [i.filename for i in z.infolist() if not i.is_dir() and is_record(i.filename, self.to)]
        except (OSError, zipfile.BadZipFile) as e:
            self.fail(path, e)
            return
        if not members:
            self.fail(path, ValueError("the zip file holds no records"))
        for member in sorted(members):
            if not _safe_member(member):
                self.fail(path, ValueError(f"the member name {member!r} leaves the zip file's folder"), member)
                continue
            where, name = posixpath.split(member)
            self.add(Job(path, self.output(os.path.join(folder, where), record_stem(name)), member, ZIP))

    def database(self, path: str, folder: str) -> None:
        try:
            ids, without = databases.list_rows(path, self.filters)
        except databases.DatabaseError as e:
            self.fail(path, e)
            return
        self.without_record += without
        for log_id in ids:
            where = databases.output_folder(log_id)
            if where is None:
                self.fail(path, ValueError(f"the row's id {log_id!r} is not a tenhou log id"), log_id)
            else:
                self.add(Job(path, self.output(os.path.join(folder, where), log_id), log_id, DATABASE))

    def walk(self, root: str) -> Iterator[None]:
        """Searches root, pausing after each folder."""
        for folder, dirs, files in os.walk(root):
            # An output folder inside a source folder is not searched: with
            # --suffix .json.gz the outputs would look like records.
            dirs[:] = sorted(d for d in dirs if os.path.realpath(os.path.join(folder, d)) != self.out_real)
            rel = os.path.relpath(folder, root)
            out = os.path.normpath(os.path.join(self.out_dir, rel))
            for name in sorted(files):
                self.source(os.path.join(folder, name), rel, False, name, out)
            yield


class JobStream:
    """The records under sources with their outputs, found as they are taken.

    Iterating yields, in a stable order, a ``Job`` per record and a
    ``Failure`` per source that cannot be read or record whose output path
    another record already claimed; ``without_record`` counts the database
    rows with no record found so far. A run can start converting before the
    search has ended. Raises FileNotFoundError at once for a source that
    does not exist.
    """

    def __init__(
        self, sources: Iterable[str], out_dir: str, suffix: str, to: str = MJAI, filters: databases.Filters = databases.Filters()
    ) -> None:
        self.sources = list(sources)
        for source in self.sources:
            if not os.path.exists(source):
                raise FileNotFoundError(f"no such file or folder: {source!r}")
        self._finder = _Finder(out_dir, suffix, to, filters)
        self.count = 0  # records and failures yielded so far
        self.finished = False  # the search has ended: count is the total

    @property
    def without_record(self) -> int:
        return self._finder.without_record

    def __iter__(self) -> Iterator[Job | Failure]:
        finder = self._finder
        for source in self.sources:
            if os.path.isdir(source):
                steps: Iterable[None] = finder.walk(source)
            else:
                finder.source(source, "", direct=True)
                steps = (None,)
            for _ in steps:
                found, finder.found = finder.found, []
                self.count += len(found)
                yield from found
        self.finished = True


def find_jobs(
    sources: Iterable[str], out_dir: str, suffix: str, to: str = MJAI, filters: databases.Filters = databases.Filters()
) -> Found:
    """Pairs every record under sources with its output path, in a stable order.

    Sources that cannot be read and records whose output path another record
    already claimed come back as failures; raises FileNotFoundError for a
    source that does not exist.
    """
    return collect(JobStream(sources, out_dir, suffix, to, filters))


def collect(stream: JobStream) -> Found:
    """The whole search of a stream at once."""
    jobs: list[Job] = []
    failures: list[Failure] = []
    for item in stream:
        (jobs if isinstance(item, Job) else failures).append(item)  # type: ignore[arg-type]
    return Found(jobs, failures, stream.without_record)
