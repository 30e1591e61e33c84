"""Spreading chunks of jobs over threads, and GIL-bound work over processes.

The native converter and Python's decompressors and file calls release the
GIL, so threads convert records in parallel with no copy between processes.
Only mjai records becoming documents hold the GIL throughout (they are
scored in Python): those go to worker processes, started when the first
one comes. A stop (Ctrl-C, SIGTERM) is seen between records: every thread
finishes the record it is writing and stops.
"""

from __future__ import annotations

import itertools
import os
import queue
import signal
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import Any, TypeVar

from kifuzan.jobs import Job
from kifuzan.results import Failure, Result

T = TypeVar("T")
# Converts a chunk until stop is set; returns the results of the jobs it did.
ChunkFn = Callable[[Sequence[Job | Failure], threading.Event], list[Result]]
Emit = Callable[[list[Result]], None]
# How long a stop waits for the threads to finish their records.
STOP_SECONDS = 5.0
# A worker process whose parent is gone ends itself within this.
PARENT_POLL_SECONDS = 0.25


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# Records a chunk: small enough to balance the threads at the end, large
# enough that a database's rows come in one query a chunk.
CHUNK = 32


def _chunked(items: Iterable[T], size: int) -> Iterator[list[T]]:
    it = iter(items)
    while chunk := list(itertools.islice(it, size)):
        yield chunk


_DONE = object()


def run_threads(jobs: Iterable[Job | Failure], workers: int, fn: ChunkFn, emit: Emit) -> None:
    """Converts jobs in chunks on ``workers`` threads, passing each chunk's
    results to emit in this thread. jobs may be a stream still searching:
    the thread that takes the next chunk runs the search that far, while the
    others convert. When this thread is interrupted (Ctrl-C, or a signal
    handler's exception), the threads stop after their current record, what
    they finished is emitted, and the exception goes on."""
    todo = _chunked(jobs, CHUNK)
    lock = threading.Lock()
    stop = threading.Event()
    results: queue.SimpleQueue[Any] = queue.SimpleQueue()
    busy = [0]  # threads inside work(): what a stop waits for

    def work() -> None:
        with lock:
            busy[0] += 1
        try:
            while not stop.is_set():
                with lock:
                    chunk = next(todo, None)
                if chunk is None:
                    break
                results.put(fn(chunk, stop))
        except BaseException as e:  # a fault of ours, not of a record: raised in the caller
            stop.set()
            results.put(e)
        finally:
            with lock:
                busy[0] -= 1
            results.put(_DONE)

    running = 0
    try:
        for i in range(workers):
            # Counted first: the thread may be converting before start() returns.
            running += 1
            threading.Thread(target=work, name=f"kifuzan-{i}", daemon=True).start()
        while running:
            # A timeout keeps this thread's signal handlers running.
            try:
                item = results.get(timeout=0.2)
            except queue.Empty:
                continue
            if item is _DONE:
                running -= 1
            elif isinstance(item, BaseException):
                raise item
            else:
                emit(item)
    except BaseException:
        stop.set()
        _finish(results, lambda: busy[0] > 0, emit)
        raise


def _finish(results: queue.SimpleQueue[Any], working: Callable[[], bool], emit: Emit) -> None:
    """After a stop: emits what the threads still finish, waiting at most
    STOP_SECONDS for those inside a record (a thread not yet started sees
    the stop and does nothing)."""
    deadline = time.monotonic() + STOP_SECONDS
    while time.monotonic() < deadline:
        try:
            item = results.get(timeout=0.05)
        except queue.Empty:
            if working():
                continue
            # The last results may have come since the queue was looked at.
            while not results.empty():
                _emit_results(results.get(), emit)
            return
        _emit_results(item, emit)


def _emit_results(item: Any, emit: Emit) -> None:
    if item is not _DONE and not isinstance(item, BaseException):
        emit(item)


def _watch_parent(parent: int) -> None:
    while os.getppid() == parent:
        time.sleep(PARENT_POLL_SECONDS)
    # The parent died however it died: nothing of ours outlives it.
    os._exit(1)


def _worker_init(parent: int) -> None:
    # The parent decides how to stop: a worker finishes its task, and it
    # writes no file, so stopping it never leaves a partial output.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    threading.Thread(target=_watch_parent, args=(parent,), daemon=True).start()


class Processes:
    """Worker processes for work that holds the GIL, started on first use.

    ``call`` runs one function in a worker and returns its result; a worker
    that dies fails only the call it was running (it is tried once more in a
    fresh pool, since a dying worker takes every call in flight with it).
    """

    def __init__(self, workers: int) -> None:
        self.workers = workers
        self._pool: ProcessPoolExecutor | None = None
        self._lock = threading.Lock()

    def _get(self) -> ProcessPoolExecutor:
        with self._lock:
            if self._pool is None:
                import multiprocessing

                # spawn: no fork of a parent that runs threads.
                ctx = multiprocessing.get_context("spawn")
                self._pool = ProcessPoolExecutor(
                    self.workers, mp_context=ctx, initializer=_worker_init, initargs=(os.getpid(),)
                )
            return self._pool

    def _renew(self, broken: ProcessPoolExecutor) -> None:
        with self._lock:
            if self._pool is broken:
                self._pool = None
                broken.shutdown(wait=False, cancel_futures=True)

    def call(self, fn: Callable[..., T], *args: Any) -> T:
        for attempt in (1, 2):
            pool = self._get()
            try:
                future: Future[T] = pool.submit(fn, *args)
                return future.result()
            except BrokenProcessPool:
                self._renew(pool)
                if attempt == 2:
                    raise BrokenProcessPool("the worker process converting this record died") from None
        raise AssertionError("unreachable")

    def close(self) -> None:
        """Stops the workers within a bounded time: a task in flight may
        finish for STOP_SECONDS, then its worker is killed."""
        with self._lock:
            pool, self._pool = self._pool, None
        if pool is None:
            return
        processes = list(getattr(pool, "_processes", {}).values())
        pool.shutdown(wait=False, cancel_futures=True)
        deadline = time.monotonic() + STOP_SECONDS
        for p in processes:
            p.join(max(0.0, deadline - time.monotonic()))
            if p.is_alive():
                p.kill()
                p.join()
        # Every worker has ended: the executor's own queues and locks can now be
        # released at once, before the interpreter's exit reports them leaked.
        pool.shutdown(wait=True)
