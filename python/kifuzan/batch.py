"""Converts many records at once: ``convert_many``, the engine of ``kifuzan convert``.

Each record becomes one output file under an output folder that mirrors the
layout of the sources (``jobs``), written whole or not at all (``outputs``),
on threads (``pool``); a rerun skips records whose output is up to date.
Every record goes the same way: its bytes are read (a file, a zip member, a
database row), unpacked, converted (``records``) and written.
"""

from __future__ import annotations

import os
import posixpath
import sqlite3
import sys
import threading
import time
import zipfile
from collections.abc import Callable, Iterable, Sequence
from typing import IO, TYPE_CHECKING, TypeVar

from kifuzan import databases
from kifuzan._native import convert_files
from kifuzan.jobs import (
    DATABASE,
    FILE,
    ZIP,
    Found,
    Job,
    JobStream,
    StrPath,
    UsageError,
    as_list,
    collect,
    output_suffix,
    record_stem,
)
from kifuzan.outputs import exists, is_up_to_date, remove_stale_temporaries, write_atomic
from kifuzan.records import (
    MAX_RECORD_BYTES,
    TENHOU6,
    Compression,
    Refused,
    ThreePlayerForm,
    Target,
    TooLarge,
    convert,
    decompress,
    encode_output,
    mjai_to_document,
)
from kifuzan.results import CONVERTED, DEFERRED, FAILED, SKIPPED, Failure, Result, Summary, Tally, failure_of, report_row

if TYPE_CHECKING:
    from kifuzan.pool import Processes
    from kifuzan.reverse import Tenhou6Options

ERRORS_NAME = "errors.jsonl"
T = TypeVar("T")


class _Reader:
    """The stored bytes of a chunk's records; zip files and databases are
    opened once a chunk, and a chunk's rows come in one query."""

    def __init__(self) -> None:
        self.zips: dict[str, zipfile.ZipFile] = {}
        self.dbs: dict[str, sqlite3.Connection] = {}
        self.rows: dict[tuple[str, str], bytes] = {}
        self.unreadable: dict[str, databases.DatabaseError] = {}

    def prefetch(self, jobs: Sequence[Job]) -> None:
        """Reads the rows of the chunk's database jobs, one query a database;
        a database that cannot be read fails each of its jobs with the reason."""
        ids: dict[str, list[str]] = {}
        for job in jobs:
            if job.kind == DATABASE and job.member is not None:
                ids.setdefault(job.src, []).append(job.member)
        for src, wanted in ids.items():
            try:
                db = self.dbs[src] = databases.connect(src)
                for log_id, content in databases.read_rows(db, sorted(wanted)):
                    self.rows[src, log_id] = content
            except databases.DatabaseError as e:
                self.unreadable[src] = e
            except sqlite3.Error as e:
                self.unreadable[src] = databases.DatabaseError(f"cannot read the database: {e}")

    def read(self, job: Job) -> bytes:
        """A prefetched job's stored bytes."""
        if job.kind == DATABASE and job.member is not None:
            if job.src in self.unreadable:
                raise self.unreadable[job.src]
            data = self.rows.pop((job.src, job.member), None)
            if data is None:
                raise LookupError("the row is gone from the database")
            return data
        if job.kind == ZIP and job.member is not None:
            z = self.zips.get(job.src)
            if z is None:
                z = self.zips[job.src] = zipfile.ZipFile(job.src)
            info = z.getinfo(job.member)
            # A bomb is refused by its stated size, and cut off if it lies.
            if info.file_size > MAX_RECORD_BYTES:
                raise TooLarge("the member")
            with z.open(info) as f:
                data = f.read(MAX_RECORD_BYTES + 1)
            if len(data) > MAX_RECORD_BYTES:
                raise TooLarge("the member")
            return data
        with open(job.src, "rb") as f:
            return f.read()

    def close(self) -> None:
        for z in self.zips.values():
            z.close()
        for db in self.dbs.values():
            db.close()


def _up_to_date(job: Job) -> bool:
    return exists(job.out) if job.kind == DATABASE else is_up_to_date(job.src, job.out)


def _stem(job: Job) -> str:
    """The record's name without its ending (a row's log id): the ref of
    documents made from it."""
    if job.kind == DATABASE and job.member is not None:
        return job.member
    return record_stem(posixpath.basename(job.member) if job.member is not None else os.path.basename(job.src))


def _finish(job: Job, data: bytes, target: Target, processes: Processes | None) -> Result:
    """The rest of a record that the native side left: unpacking, scoring
    in Python, compressing the output."""
    data = decompress(data)
    stem = _stem(job)
    out = convert(data, target, stem)
    if out is None:  # an mjai record to a document: scored in Python, holding the GIL
        options = target.options
        out = mjai_to_document(data, options, stem) if processes is None else processes.call(mjai_to_document, data, options, stem)
    write_atomic(job.out, encode_output(out, target.compress))
    return CONVERTED


def _contained(job: Job, work: Callable[[], T]) -> T | Failure:
    """What work() gives, or the failure of job: any exception costs only its record."""
    try:
        return work()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        # The module reports an unexpected internal failure (bad_alloc
        # included) as a direct BaseException subclass: still one bad record.
        return failure_of(job.src, e, member=job.member)


def _convert_items(items: list[tuple[str | bytes, str, str]], slots: list[int], jobs: Sequence[Job], target: Target, force: bool) -> list[tuple]:
    """convert_files over items; should it fail as a whole (memory, a fault
    of ours), each item again alone, so a failure costs only its record."""
    if not items:
        return []
    try:
        return convert_files(items, target.to, force, target.three_player)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:
        done = []
        for item, i in zip(items, slots):
            one = _contained(jobs[i], lambda item=item: convert_files([item], target.to, force, target.three_player)[0])  # type: ignore[misc]
            done.append((FAILED, one) if isinstance(one, Failure) else one)
        return done


def convert_chunk(
    jobs: Sequence[Job | Failure],
    target: Target,
    force: bool,
    stop: threading.Event | None = None,
    processes: Processes | None = None,
) -> list[Result]:
    """The unit of work of a thread, a Dask partition or a worker: the
    results of the jobs converted before ``stop`` was set. A ``Failure``
    among the jobs (found while searching) is passed through as its result.

    Record files go to the native side by path, zip members and database rows
    as bytes read here; it converts and writes them with the GIL released and
    hands back only what needs Python (compressed records, mjai records to
    score, and everything when the outputs are compressed).
    """
    results: list[Result | None] = [job if isinstance(job, Failure) else None for job in jobs]
    # A failure found while searching holds its place with a job that is never run.
    todo = [Job("", "") if isinstance(job, Failure) else job for job in jobs]
    reader = _Reader()
    try:
        # Record files going natively are checked there, the rest here.
        native = target.compress is None
        due = [
            r is None and (force or (native and job.kind == FILE) or not _up_to_date(job)) for job, r in zip(todo, results)
        ]
        reader.prefetch([job for job, d in zip(todo, due) if d])
        items: list[tuple[str | bytes, str, str]] = []
        slots: list[int] = []
        for i, (job, d) in enumerate(zip(todo, due)):
            if results[i] is not None:
                continue
            if not d:
                results[i] = SKIPPED
            elif not native:
                continue  # all in Python, below
            elif job.kind == FILE:
                items.append((job.src, job.out, _stem(job)))
                slots.append(i)
            else:
                data = _contained(job, lambda job=job: decompress(reader.read(job)))  # type: ignore[misc]
                if isinstance(data, bytes):
                    items.append((data, job.out, _stem(job)))
                    slots.append(i)
                else:
                    results[i] = data
        for i, (status, detail) in zip(slots, _convert_items(items, slots, todo, target, force)):
            job = todo[i]
            if status == FAILED:
                if isinstance(detail, Failure):
                    results[i] = detail
                else:
                    error, message, why = detail
                    results[i] = failure_of(job.src, Refused(error, message, why), member=job.member)
            elif status == DEFERRED:
                results[i] = _contained(job, lambda job=job, data=detail: _finish(job, data, target, processes))  # type: ignore[misc]
            else:
                results[i] = status
        for i, job in enumerate(todo):
            if stop is not None and stop.is_set():
                break
            if results[i] is None:
                results[i] = _contained(job, lambda job=job: _finish(job, reader.read(job), target, processes))  # type: ignore[misc]
    finally:
        reader.close()
    return [r for r in results if r is not None]


def _checked(target: Target, suffix: str | None, filters: databases.Filters) -> str:
    """Checks the options; returns the suffix of outputs."""
    if filters.players not in (None, 3, 4):
        raise UsageError(f"players must be 3 or 4, not {filters.players!r}")
    return output_suffix(target, suffix)


def _start(
    sources: Iterable[StrPath] | StrPath, out_dir: StrPath, target: Target, suffix: str | None, filters: databases.Filters
) -> tuple[str, JobStream]:
    """Checks the options and the sources, then makes the output folder and
    clears what killed runs left there: nothing is written before the checks
    pass. Returns the output folder and the stream of what is to convert."""
    suffix = _checked(target, suffix, filters)
    out_dir = os.fspath(out_dir)
    stream = JobStream(as_list(sources), out_dir, suffix, target.to, filters)
    os.makedirs(out_dir, exist_ok=True)
    remove_stale_temporaries(out_dir)
    return out_dir, stream


def prepare(
    sources: Iterable[StrPath] | StrPath,
    out_dir: StrPath,
    target: Target,
    suffix: str | None,
    filters: databases.Filters = databases.Filters(),
) -> tuple[str, Found]:
    """_start, with the whole search done: the output folder and what was found."""
    out_dir, stream = _start(sources, out_dir, target, suffix, filters)
    return out_dir, collect(stream)


class _Progress:
    """A tqdm bar with the failures so far, or nothing."""

    def __init__(self, total: int | None, show: bool) -> None:
        self.bar = None
        if show:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="rec", file=sys.stderr, dynamic_ncols=True, smoothing=0.1)
            self.bar.set_postfix(failed=0)

    def know_total(self, total: int) -> None:
        if self.bar is not None and self.bar.total is None:
            self.bar.total = total
            self.bar.refresh()

    def update(self, n: int, failed: int) -> None:
        if self.bar is not None:
            self.bar.set_postfix(failed=failed, refresh=False)
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def print_line(line: str) -> None:
    """Prints a line on standard error without breaking a progress bar there."""
    if "tqdm" in sys.modules:
        sys.modules["tqdm"].tqdm.write(line, file=sys.stderr)
    else:
        print(line, file=sys.stderr, flush=True)


def _open_report(path: str) -> IO[str]:
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    return open(path, "w", encoding="utf-8")


def convert_many(
    sources: Iterable[StrPath] | StrPath,
    out_dir: StrPath,
    *,
    workers: int | None = None,
    compress: Compression = None,
    force: bool = False,
    progress: bool | None = None,
    suffix: str | None = None,
    errors: StrPath | None = None,
    on_failure: Callable[[Failure], None] | None = None,
    to: str = "mjai",
    options: Tenhou6Options | None = None,
    players: int | None = None,
    east_only: bool | None = None,
    three_player: ThreePlayerForm | None = "nukidora",
) -> Summary:
    """Converts every record under sources into an mjai line file (or, with
    ``to="tenhou6"``, a tenhou.net/6 document) under out_dir.

    sources are record files, folders, zip files and the SQLite databases of
    the Houou downloaders (phoenix-logs, houou-logs). Folders are searched
    recursively for tenhou.net/6 (``*.json``) and mjlog (``*.mjlog``,
    ``*.xml``) records, with ``to="tenhou6"`` also mjai records
    (``*.mjson``), each also compressed (``.gz``, ``.bz2``), and for zip
    files (``*.zip``, searched like a folder of that name) and databases
    (``*.db``, ``*.sqlite``, ``*.sqlite3``); a file named directly is told
    by its content, and every record's compression and format by its
    content. A record ``SRC/a/b.json`` becomes ``out_dir/a/b.mjson``
    (``b.json`` for tenhou6; ``.gz`` added with ``compress="gzip"``; or
    ``suffix``, which starts with ``"."`` and ends in ``.gz`` only with
    gzip); a file named directly goes to ``out_dir/<stem><suffix>``, a
    member ``m/c.xml`` of a zip ``SRC/a.zip`` to ``out_dir/a/m/c.mjson``,
    and a database row to ``out_dir/YYYY/MM/<log id>.mjson`` (the year and
    month of its log id; below the database's folder when found in one).
    ``players`` (3 or 4) and ``east_only`` (True: east-only games; False:
    east-south games) select database rows; rows without a record are
    counted in the summary's ``without_record``. ``options`` (a
    ``Tenhou6Options``) gives the header of documents made from mjai; their
    ``ref`` is the record's stem (a row's log id) unless it sets one.
    Three-player tenhou.net/6 records become mjai in the form ``three_player``
    names (``"nukidora"``, ``"kita"``, ``"nukidora-4"``; None refuses them).
    Outputs newer than their input (for a database row: any output) are kept
    unless ``force``. Failed records are listed, one JSON object a line, in
    ``errors`` (default ``out_dir/errors.jsonl``) and in the summary, and
    passed to ``on_failure`` as they happen. ``workers`` threads share the
    work (default: one per CPU; mjai records becoming documents go to as many
    processes); ``progress`` shows a bar on standard error (default: when it
    is a terminal).

    Returns a ``Summary``. Raises FileNotFoundError for a source that does not
    exist and ValueError for invalid options, before anything is written.
    KeyboardInterrupt (or any exception raised by a signal handler) stops the
    run after the records being converted: every output written is whole.
    """
    from kifuzan import pool

    start = time.perf_counter()
    if workers is None:
        workers = pool.default_workers()
    if workers < 1:
        raise UsageError(f"workers must be at least 1, not {workers}")
    target = Target(to, compress, options, three_player)
    out_dir, stream = _start(sources, out_dir, target, suffix, databases.Filters(players, east_only))
    report = _open_report(os.fspath(errors) if errors is not None else os.path.join(out_dir, ERRORS_NAME))

    tally = Tally()
    # The search goes on while the first records convert: no total yet.
    bar = _Progress(None, sys.stderr.isatty() if progress is None else progress)

    def emit(results: list[Result]) -> None:
        for result in results:
            tally.add(result)
            if isinstance(result, Failure):
                report.write(report_row(result))
                report.flush()  # an interrupted run still reports what failed so far
                if on_failure is not None:
                    on_failure(result)
        if stream.finished:
            bar.know_total(stream.count)
        bar.update(len(results), len(tally.failures))

    processes = pool.Processes(workers) if to == TENHOU6 and workers > 1 else None
    try:
        pool.run_threads(stream, workers, lambda chunk, stop: convert_chunk(chunk, target, force, stop, processes), emit)
    finally:
        if processes is not None:
            processes.close()
        bar.close()
        report.close()
    tally.without_record = stream.without_record
    return tally.summary(time.perf_counter() - start)
