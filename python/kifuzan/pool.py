"""Spreading chunks of jobs over worker processes.

The extension holds the interpreter lock for a whole call, so threads would
not run in parallel. A worker that dies costs only the record that killed it:
the chunks it took down are retried one record at a time in a fresh worker.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from kifuzan.jobs import Job
from kifuzan.records import Target
from kifuzan.results import Result, failure_of

ChunkFn = Callable[[Sequence[Job], Target, bool], list[Result]]
Emit = Callable[[list[Result]], None]


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def chunks(jobs: Sequence[Job], size: int) -> Iterator[list[Job]]:
    for i in range(0, len(jobs), size):
        yield list(jobs[i : i + size])


def chunk_size(total: int, workers: int) -> int:
    # About 16 tasks a worker balances the load at the end; 64 records a task
    # makes the cost of shipping a task negligible next to converting it.
    return max(1, min(64, total // (workers * 16)))


def workers_for(total: int, workers: int) -> int:
    """How many processes a run of total jobs can keep busy."""
    return min(workers, -(-total // chunk_size(total, workers))) if total else 0


@contextlib.contextmanager
def _sigint_held() -> Iterator[None]:
    """Ctrl-C waits while workers may be starting.

    Ctrl-C reaches the whole process group. A worker spawned meanwhile
    inherits the blocked signal, so it cannot die half-started with a
    traceback; the parent gets its KeyboardInterrupt when the block ends.
    """
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _worker_init() -> None:
    # The parent decides how to stop; a worker finishes its task.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _new_pool(workers: int) -> ProcessPoolExecutor:
    # spawn: no fork of a parent that may run threads (tqdm's monitor, the
    # executor's own), and workers start with a clean interpreter.
    ctx = multiprocessing.get_context("spawn")
    return ProcessPoolExecutor(workers, mp_context=ctx, initializer=_worker_init)


def _submit(pool: ProcessPoolExecutor, fn: ChunkFn, chunk: list[Job], target: Target, force: bool) -> Future:
    # The executor starts workers inside submit.
    with _sigint_held():
        return pool.submit(fn, chunk, target, force)


def run_pool(jobs: list[Job], workers: int, target: Target, force: bool, emit: Emit, fn: ChunkFn) -> None:
    """Converts jobs in chunks on workers processes, passing each chunk's results to emit."""
    todo = list(chunks(jobs, chunk_size(len(jobs), workers)))
    todo.reverse()  # popped from the end, so in order
    window = workers * 4  # bounded, so memory stays flat and Ctrl-C is quick

    while todo:
        suspects: list[Job] = []
        with _new_pool(workers) as pool:
            running: dict[Future, list[Job]] = {}
            try:
                _drain(pool, todo, running, suspects, window, target, force, emit, fn)
            except BaseException:
                # Ctrl-C: finish the tasks in flight (their outputs are whole), drop the rest.
                pool.shutdown(wait=True, cancel_futures=True)
                raise
        if suspects:
            _isolate(suspects, target, force, emit, fn)


def _drain(
    pool: ProcessPoolExecutor,
    todo: list[list[Job]],
    running: dict[Future, list[Job]],
    suspects: list[Job],
    window: int,
    target: Target,
    force: bool,
    emit: Emit,
    fn: ChunkFn,
) -> None:
    """Feeds chunks to the pool until all are done or the pool breaks."""
    while todo or running:
        while todo and len(running) < window:
            chunk = todo.pop()
            try:
                running[_submit(pool, fn, chunk, target, force)] = chunk
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


def _isolate(jobs: list[Job], target: Target, force: bool, emit: Emit, fn: ChunkFn) -> None:
    """Retries records one at a time in one worker, to find the one that kills it."""
    pool: Any = _new_pool(1)
    try:
        for job in jobs:
            try:
                emit(_submit(pool, fn, [job], target, force).result())
            except BrokenProcessPool:
                emit([failure_of(job[0], BrokenProcessPool("the worker process converting this record died"))])
                pool.shutdown(wait=True)
                pool = _new_pool(1)
    finally:
        pool.shutdown(wait=True)
