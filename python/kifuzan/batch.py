"""Converts many tenhou.net/6 records at once: ``kifuzan convert`` and ``convert_many``.

Each record becomes one mjai line file under an output folder that mirrors the
layout of the sources. Work is spread over worker processes: the extension
holds the interpreter lock for a whole call, so threads would not run in
parallel. Every output is written to a temporary file beside it and renamed
into place, so an interrupted run leaves only whole files; a rerun skips
records whose output is newer than their input.
"""

from __future__ import annotations

import dataclasses
import gzip
import json
import os
import re
import secrets
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any

from _kifuzan import tenhou_file_to_mjai, tenhou_to_mjai

StrPath = str | os.PathLike[str]

DEFAULT_SUFFIX = ".mjson"
GZIP_SUFFIX = ".mjson.gz"
ERRORS_NAME = "errors.jsonl"
COMPRESSIONS = (None, "gzip")
# zlib's default: close to level 9 in size at a fraction of its time.
GZIP_LEVEL = 6
UTF8_MESSAGE = "stream did not contain valid UTF-8"

# Our temporary files: ".<output name>.<pid>.<8 hex>.tmp". The pid lets a later
# run tell the leftovers of a killed run from the files of a live one.
_TMP_RE = re.compile(r"^\..+\.(\d+)\.[0-9a-f]{8}\.tmp$")

CONVERTED, SKIPPED, FAILED = "converted", "skipped", "failed"

# (source path, output path)
Job = tuple[str, str]
# (status, source path, exception name, message); the last two are "" unless failed.
Result = tuple[str, str, str, str]


@dataclasses.dataclass(frozen=True)
class Failure:
    """One record that could not be converted."""

    path: str
    error: str
    message: str


@dataclasses.dataclass(frozen=True)
class Summary:
    """What a run did: counts of records, the wall time and every failure."""

    converted: int
    skipped: int
    failed: int
    seconds: float
    failures: list[Failure] = dataclasses.field(default_factory=list)


class UsageError(ValueError):
    """The arguments do not describe a run (the command line exits with 2)."""


# --- one record ---------------------------------------------------------------


def record_stem(name: str) -> str:
    for ending in (".json.gz", ".json"):
        if name.endswith(ending) and len(name) > len(ending):
            return name[: -len(ending)]
    return name


def mjai_bytes(lines: list[str]) -> bytes:
    """The bytes tenhou_file_to_mjai writes for these events: each line and a line feed."""
    return ("\n".join(lines) + "\n").encode() if lines else b""


def convert_text(raw: bytes) -> bytes:
    """Converts one record given as bytes (gzip-compressed or not) into mjai lines."""
    if raw[:2] == b"\x1f\x8b":
        raw = gzip.decompress(raw)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise OSError(UTF8_MESSAGE) from None
    return mjai_bytes(tenhou_to_mjai(text))


def _record_bytes(src: str) -> bytes:
    if src.endswith(".gz"):
        with open(src, "rb") as f:
            return convert_text(f.read())
    return mjai_bytes(tenhou_file_to_mjai(src))


def encode_output(data: bytes, compress: str | None) -> bytes:
    if compress == "gzip":
        # mtime=0 and no file name in the header: equal input gives equal bytes.
        return gzip.compress(data, compresslevel=GZIP_LEVEL, mtime=0)
    return data


_made_dirs: set[str] = set()


def _temporary_beside(path: str) -> str:
    folder, name = os.path.split(path)
    folder = folder or "."
    if folder not in _made_dirs:
        os.makedirs(folder, exist_ok=True)
        _made_dirs.add(folder)
    return os.path.join(folder, f".{name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")


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
        try:
            # 0o666 lets the umask decide, as for any file the user creates.
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue

    def write(_: str) -> None:
        with open(fd, "wb") as f:
            f.write(data)

    _replace_or_remove(tmp, path, write)


def convert_file_atomic(src: str, path: str) -> None:
    """A plain record to a plain output: the module writes the temporary file
    itself, and opens it only once the record has converted."""
    _replace_or_remove(_temporary_beside(path), path, lambda tmp: tenhou_file_to_mjai(src, tmp))


def is_up_to_date(src: str, out: str) -> bool:
    try:
        return os.stat(out).st_mtime_ns >= os.stat(src).st_mtime_ns
    except OSError:
        return False


def convert_one(src: str, out: str, compress: str | None, force: bool) -> Result:
    if not force and is_up_to_date(src, out):
        return (SKIPPED, src, "", "")
    try:
        if compress is None and not src.endswith(".gz"):
            convert_file_atomic(src, out)
        else:
            write_atomic(out, encode_output(_record_bytes(src), compress))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        # The module reports an unexpected internal failure as a direct
        # BaseException subclass; it is still one bad record, not a reason to stop.
        return (FAILED, src, type(e).__name__, str(e))
    return (CONVERTED, src, "", "")


def convert_chunk(jobs: Sequence[Job], compress: str | None, force: bool) -> list[Result]:
    """The unit of work of a worker: many records per task keeps overhead small."""
    return [convert_one(src, out, compress, force) for src, out in jobs]


# --- finding the records ------------------------------------------------------


def _is_record(name: str) -> bool:
    return name.endswith(".json") or name.endswith(".json.gz")


def _check_suffix(suffix: str) -> None:
    if not suffix or "/" in suffix or os.sep in suffix or suffix in (".", ".."):
        raise UsageError(f"invalid suffix {suffix!r}")


def find_jobs(sources: Iterable[StrPath], out_dir: StrPath, suffix: str) -> tuple[list[Job], list[Failure]]:
    """Pairs every record under sources with its output path.

    Returns the jobs in a stable order and, as failures, the records whose
    output path another record already claimed.
    """
    out_dir = os.fspath(out_dir)
    out_real = os.path.realpath(out_dir)
    claimed: dict[str, tuple[str, str]] = {}  # output -> (real source, source)
    jobs: list[Job] = []
    clashes: list[Failure] = []

    def add(src: str, out: str) -> None:
        # A record named twice (a file and its folder, or two spellings) is one job.
        real = os.path.realpath(src)
        first = claimed.get(out)
        if first is None:
            claimed[out] = (real, src)
            jobs.append((src, out))
        elif first[0] != real:
            clashes.append(Failure(src, "FileExistsError", f"output {out!r} is already made from {first[1]!r}"))

    for source in sources:
        source = os.fspath(source)
        if os.path.isdir(source):
            for folder, dirs, files in os.walk(source):
                # An output folder inside a source folder is not searched: with
                # --suffix .json.gz the outputs would look like records.
                dirs[:] = sorted(d for d in dirs if os.path.realpath(os.path.join(folder, d)) != out_real)
                rel = os.path.relpath(folder, source)
                for name in sorted(files):
                    if _is_record(name):
                        out = os.path.normpath(os.path.join(out_dir, rel, record_stem(name) + suffix))
                        add(os.path.join(folder, name), out)
        elif os.path.exists(source):
            name = os.path.basename(source)
            add(source, os.path.join(out_dir, record_stem(name) + suffix))
        else:
            raise FileNotFoundError(f"no such file or folder: {source!r}")
    return jobs, clashes


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


def remove_stale_temporaries(out_dir: StrPath) -> int:
    """Removes temporary files that killed runs left in out_dir; returns how many.

    Only names of our own pattern whose writing process is gone are removed,
    so a run going on at the same time keeps its files.
    """
    removed = 0
    for folder, _dirs, files in os.walk(out_dir):
        for name in files:
            m = _TMP_RE.match(name)
            if m and int(m.group(1)) != os.getpid() and not _pid_alive(int(m.group(1))):
                try:
                    os.unlink(os.path.join(folder, name))
                    removed += 1
                except FileNotFoundError:
                    pass
    return removed


# --- running ------------------------------------------------------------------


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _chunks(jobs: Sequence[Job], size: int) -> Iterator[list[Job]]:
    for i in range(0, len(jobs), size):
        yield list(jobs[i : i + size])


def _chunk_size(total: int, workers: int) -> int:
    # About 16 tasks a worker balances the load at the end; 64 records a task
    # makes the cost of shipping a task negligible next to converting it.
    return max(1, min(64, total // (workers * 16)))


def _worker_init() -> None:
    import signal

    # Ctrl-C reaches the whole process group; the parent decides how to stop.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


ChunkFn = Callable[[Sequence[Job], "str | None", bool], list[Result]]


def _run_pool(
    jobs: list[Job], workers: int, compress: str | None, force: bool, emit: Callable[[list[Result]], None], fn: ChunkFn
) -> None:
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    # spawn: no fork of a parent that may run threads (tqdm's monitor, the
    # executor's own), and workers start with a clean interpreter.
    ctx = multiprocessing.get_context("spawn")
    todo = list(_chunks(jobs, _chunk_size(len(jobs), workers)))
    todo.reverse()  # popped from the end, so in order
    window = workers * 4  # bounded, so memory stays flat and Ctrl-C is quick

    while todo:
        suspects: list[Job] = []
        with ProcessPoolExecutor(workers, mp_context=ctx, initializer=_worker_init) as pool:
            running: dict[Any, list[Job]] = {}
            try:
                _drain(pool, todo, running, suspects, window, compress, force, emit, fn)
            except BaseException:
                # Ctrl-C: finish the tasks in flight (their outputs are whole), drop the rest.
                pool.shutdown(wait=True, cancel_futures=True)
                raise
        if suspects:
            _isolate(suspects, compress, force, emit, fn, ctx)


def _drain(
    pool: Any,
    todo: list[list[Job]],
    running: dict[Any, list[Job]],
    suspects: list[Job],
    window: int,
    compress: str | None,
    force: bool,
    emit: Callable[[list[Result]], None],
    fn: ChunkFn,
) -> None:
    """Feeds chunks to the pool until all are done or the pool breaks."""
    from concurrent.futures import FIRST_COMPLETED, wait
    from concurrent.futures.process import BrokenProcessPool

    while todo or running:
        while todo and len(running) < window:
            chunk = todo.pop()
            try:
                running[pool.submit(fn, chunk, compress, force)] = chunk
            except BrokenProcessPool:
                # A worker died since the last wait: this chunk never ran;
                # tasks that finished before it keep their results.
                suspects.extend(chunk)
                for fut, chunk in running.items():
                    if fut.done() and fut.exception() is None:
                        emit(fut.result())
                    else:
                        suspects.extend(chunk)
                return
        done, _ = wait(running, return_when=FIRST_COMPLETED)
        broken = False
        for fut in done:
            chunk = running.pop(fut)
            try:
                emit(fut.result())
            except BrokenProcessPool:
                suspects.extend(chunk)
                broken = True
        if broken:
            # Every task in flight fails with the pool; outputs those
            # tasks already wrote are whole, the rest is retried alone.
            for chunk in running.values():
                suspects.extend(chunk)
            return


def _isolate(jobs: list[Job], compress: str | None, force: bool, emit: Callable[[list[Result]], None], fn: ChunkFn, ctx: Any) -> None:
    """Retries records one at a time in one worker, to find the one that kills it."""
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    pool = ProcessPoolExecutor(1, mp_context=ctx, initializer=_worker_init)
    try:
        for job in jobs:
            try:
                emit(pool.submit(fn, [job], compress, force).result())
            except BrokenProcessPool as e:
                emit([(FAILED, job[0], type(e).__name__, "the worker process converting this record died")])
                pool.shutdown(wait=True)
                pool = ProcessPoolExecutor(1, mp_context=ctx, initializer=_worker_init)
    finally:
        pool.shutdown(wait=True)


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

    def write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _open_report(path: str) -> IO[str]:
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    return open(path, "w", encoding="utf-8")


def run(
    sources: Iterable[StrPath],
    out_dir: StrPath,
    *,
    workers: int | None = None,
    compress: str | None = None,
    force: bool = False,
    progress: bool | None = None,
    suffix: str | None = None,
    errors: StrPath | None = None,
    on_failure: Callable[[Failure, _Progress], None] | None = None,
    chunk_fn: ChunkFn = convert_chunk,
) -> Summary:
    start = time.perf_counter()
    if compress not in COMPRESSIONS:
        raise UsageError(f"unknown compression {compress!r} (choose gzip or None)")
    if workers is None:
        workers = default_workers()
    if workers < 1:
        raise UsageError(f"workers must be at least 1, not {workers}")
    if suffix is None:
        suffix = GZIP_SUFFIX if compress == "gzip" else DEFAULT_SUFFIX
    _check_suffix(suffix)
    out_dir = os.fspath(out_dir)
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    jobs, clashes = find_jobs(sources, out_dir, suffix)

    os.makedirs(out_dir, exist_ok=True)
    remove_stale_temporaries(out_dir)
    report = _open_report(os.fspath(errors) if errors is not None else os.path.join(out_dir, ERRORS_NAME))

    counts = {CONVERTED: 0, SKIPPED: 0, FAILED: 0}
    failures: list[Failure] = []
    bar = _Progress(len(jobs) + len(clashes), sys.stderr.isatty() if progress is None else progress)

    def fail(failure: Failure) -> None:
        counts[FAILED] += 1
        failures.append(failure)
        report.write(json.dumps({"path": failure.path, "error": failure.error, "message": failure.message}) + "\n")
        report.flush()  # an interrupted run still reports what failed so far
        if on_failure is not None:
            on_failure(failure, bar)

    def emit(results: list[Result]) -> None:
        for status, src, error, message in results:
            if status == FAILED:
                fail(Failure(src, error, message))
            else:
                counts[status] += 1
        bar.update(len(results), counts[FAILED])

    try:
        for clash in clashes:
            fail(clash)
        bar.update(len(clashes), counts[FAILED])
        n = min(workers, -(-len(jobs) // _chunk_size(len(jobs), workers))) if jobs else 0
        if n <= 1:
            # One worker gains nothing from a process of its own.
            for chunk in _chunks(jobs, 16):
                emit(chunk_fn(chunk, compress, force))
        else:
            _run_pool(jobs, n, compress, force, emit, chunk_fn)
    finally:
        bar.close()
        report.close()
    return Summary(counts[CONVERTED], counts[SKIPPED], counts[FAILED], time.perf_counter() - start, failures)


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
) -> Summary:
    """Converts every record under sources into an mjai line file under out_dir.

    sources are record files and folders (searched recursively for ``*.json``
    and ``*.json.gz``). A record ``SRC/a/b.json`` becomes ``out_dir/a/b.mjson``
    (``.mjson.gz`` with ``compress="gzip"``, or ``suffix``); a file named
    directly goes to ``out_dir/<stem><suffix>``. Outputs newer than their
    input are kept unless ``force``. Failed records are listed, one JSON
    object a line, in ``errors`` (default ``out_dir/errors.jsonl``) and in the
    summary. ``workers`` processes share the work (default: one per CPU);
    ``progress`` shows a bar on standard error (default: when it is a terminal).

    Raises FileNotFoundError for a source that does not exist and ValueError
    for invalid options, before anything is written.
    """
    return run(
        sources,  # type: ignore[arg-type]
        out_dir,
        workers=workers,
        compress=compress,
        force=force,
        progress=progress,
        suffix=suffix,
        errors=errors,
    )


def summary_line(s: Summary) -> str:
    return f"kifuzan: {s.converted} converted, {s.skipped} skipped, {s.failed} failed in {s.seconds:.1f} s"
