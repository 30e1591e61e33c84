"""Converts many records at once: ``convert_many``, the engine of ``kifuzan convert``.

Each record becomes one mjai line file under an output folder that mirrors the
layout of the sources (``jobs``), written whole or not at all (``outputs``),
by worker processes (``pool``); a rerun skips records whose output is newer
than their input.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import IO, TYPE_CHECKING

from kifuzan.jobs import Job, StrPath, UsageError, as_list, find_jobs, output_suffix
from kifuzan.outputs import is_up_to_date, make_folders, remove_stale_temporaries, write_atomic
from kifuzan.records import MJAI, Target, convert_path, encode_output
from kifuzan._native import convert_files
from kifuzan.results import CONVERTED, FAILED, SKIPPED, Failure, Result, Summary, Tally, failure_of, report_row

if TYPE_CHECKING:
    from kifuzan.reverse import Tenhou6Options

ERRORS_NAME = "errors.jsonl"
DEFERRED = "deferred"
# Records a task when converting in the calling process: results reach the
# report and the progress bar often enough.
LOCAL_CHUNK = 16


def _native_ready(src: str, target: Target) -> bool:
    """A plain tenhou.net/6 or mjlog record to plain mjai: the native converter's case."""
    return target.to == MJAI and target.compress is None and src.endswith((".json", ".mjlog", ".xml"))


def _convert_in_python(src: str, out: str, target: Target, force: bool) -> Result:
    if not force and is_up_to_date(src, out):
        return SKIPPED
    try:
        write_atomic(out, encode_output(convert_path(src, target), target.compress))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        # The module reports an unexpected internal failure as a direct
        # BaseException subclass; it is still one bad record, not a reason to stop.
        return failure_of(src, e)
    return CONVERTED


def _native_result(src: str, status: str, error: str, message: str, why: tuple | None) -> Result:
    if status != FAILED:
        return status
    if why is None:
        return Failure(src, error, message, message)
    _, _, reason, kyoku, seat, offset = why
    return Failure(src, error, message, reason, kyoku, seat, offset)


def convert_chunk(jobs: Sequence[Job], target: Target, force: bool) -> list[Result]:
    """The unit of work of a worker: many records per task keeps overhead small.

    Plain records to plain mjai go file to file in native code, with no
    Python object per event and the GIL released; the rest through Python
    (gzip, documents, mjai records).
    """
    results: list[Result | None] = [None] * len(jobs)
    native = [i for i, (src, _) in enumerate(jobs) if _native_ready(src, target)]
    if native:
        for i, done in zip(native, convert_files([jobs[i] for i in native], force=force)):
            if done[0] != DEFERRED:  # gzip under a plain name: Python's zlib below
                results[i] = _native_result(jobs[i][0], *done)
    for i, (src, out) in enumerate(jobs):
        if results[i] is None:
            results[i] = _convert_in_python(src, out, target, force)
    return results  # type: ignore[return-value]  # every slot is filled


def convert_one(src: str, out: str, target: Target, force: bool) -> Result:
    """One record, as a chunk of its own."""
    return convert_chunk([(src, out)], target, force)[0]


def prepare(sources: Iterable[StrPath] | StrPath, out_dir: StrPath, target: Target, suffix: str | None) -> tuple[str, list[Job], list[Failure]]:
    """Checks the options, finds the jobs, then makes the output folders.

    Returns the output folder, the jobs and the records refused for an
    output name already taken. Nothing is written before the checks pass.
    """
    suffix = output_suffix(target, suffix)
    out_dir = os.fspath(out_dir)
    jobs, clashes = find_jobs(as_list(sources), out_dir, suffix, target.to)
    os.makedirs(out_dir, exist_ok=True)
    # Made again by every run: the tree may have been deleted since the last.
    make_folders(out for _, out in jobs)
    remove_stale_temporaries(out_dir)
    return out_dir, jobs, clashes


class _Progress:
    """A tqdm bar with the failures so far, or nothing."""

    def __init__(self, total: int, show: bool) -> None:
        self.bar = None
        if show:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="rec", file=sys.stderr, dynamic_ncols=True, smoothing=0.1)
            self.bar.set_postfix(failed=0)

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
    compress: str | None = None,
    force: bool = False,
    progress: bool | None = None,
    suffix: str | None = None,
    errors: StrPath | None = None,
    on_failure: Callable[[Failure], None] | None = None,
    to: str = "mjai",
    options: Tenhou6Options | None = None,
) -> Summary:
    """Converts every record under sources into an mjai line file (or, with
    ``to="tenhou6"``, a tenhou.net/6 document) under out_dir.

    sources are record files and folders, searched recursively for
    tenhou.net/6 (``*.json``) and mjlog (``*.mjlog``, ``*.xml``) records, and
    with ``to="tenhou6"`` mjai records (``*.mjson``), each also gzipped
    (``.gz``); the format is told by the content. A record ``SRC/a/b.json``
    becomes ``out_dir/a/b.mjson`` (``b.json`` for tenhou6; ``.gz`` added with
    ``compress="gzip"``; or ``suffix``, which starts with ``"."`` and ends in
    ``.gz`` only with gzip); a file named directly goes to
    ``out_dir/<stem><suffix>``. ``options`` (a ``Tenhou6Options``) gives the
    header of documents made from mjai; their ``ref`` is the record's stem
    unless it sets one, as for mjlog records. Outputs newer than their input are kept unless
    ``force``. Failed records are listed, one JSON object a line, in ``errors``
    (default ``out_dir/errors.jsonl``) and in the summary, and passed to
    ``on_failure`` as they happen. ``workers`` processes share the work
    (default: one per CPU); ``progress`` shows a bar on standard error
    (default: when it is a terminal).

    Returns a ``Summary``. Raises FileNotFoundError for a source that does not
    exist and ValueError for invalid options, before anything is written.
    KeyboardInterrupt stops the run after the records being converted: every
    output written is whole.
    """
    from kifuzan import pool  # concurrent.futures and multiprocessing: only for a run

    start = time.perf_counter()
    if workers is None:
        workers = pool.default_workers()
    if workers < 1:
        raise UsageError(f"workers must be at least 1, not {workers}")
    target = Target(to, compress, options)
    out_dir, jobs, clashes = prepare(sources, out_dir, target, suffix)
    report = _open_report(os.fspath(errors) if errors is not None else os.path.join(out_dir, ERRORS_NAME))

    tally = Tally()
    bar = _Progress(len(jobs) + len(clashes), sys.stderr.isatty() if progress is None else progress)

    def emit(results: list[Result]) -> None:
        for result in results:
            tally.add(result)
            if isinstance(result, Failure):
                report.write(report_row(result))
                report.flush()  # an interrupted run still reports what failed so far
                if on_failure is not None:
                    on_failure(result)
        bar.update(len(results), len(tally.failures))

    try:
        emit(list(clashes))
        n = pool.workers_for(len(jobs), workers)
        if n <= 1:
            # One worker gains nothing from a process of its own.
            for chunk in pool.chunks(jobs, LOCAL_CHUNK):
                emit(convert_chunk(chunk, target, force))
        else:
            pool.run_pool(jobs, n, target, force, emit, convert_chunk)
    finally:
        bar.close()
        report.close()
    return tally.summary(time.perf_counter() - start)
