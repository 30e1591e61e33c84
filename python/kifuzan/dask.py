"""Converts archives on a Dask cluster (``pip install kifuzan[dask]``).

``convert_bag`` runs the per-record conversion of ``kifuzan.convert_many``
over a Dask bag, on whatever scheduler is current (a ``distributed.Client``
if one was made). Workers read the sources and write the outputs themselves,
so every worker must see both under the same paths (a shared file system).
Dask is imported only when called: ``kifuzan`` itself does not need it.
"""

from __future__ import annotations

import importlib
import os
import time
from collections.abc import Iterable
from typing import Any

from kifuzan.batch import (
    FAILED,
    GZIP_SUFFIX,
    DEFAULT_SUFFIX,
    COMPRESSIONS,
    Failure,
    Result,
    StrPath,
    Summary,
    UsageError,
    convert_chunk,
    find_jobs,
    remove_stale_temporaries,
)

# Records a partition: big enough that scheduling costs little per record.
PARTITION_SIZE = 64
MIN_PARTITIONS = 16


def _bag_module() -> Any:
    try:
        return importlib.import_module("dask.bag")
    except ImportError as e:
        raise ImportError("kifuzan.dask needs Dask: pip install 'kifuzan[dask]'") from e


def _convert_partition(jobs: Iterable[tuple[str, str]], compress: str | None, force: bool) -> list[Result]:
    return convert_chunk([tuple(job) for job in jobs], compress, force)  # type: ignore[misc]


def convert_bag(
    paths: Iterable[StrPath] | StrPath,
    out_dir: StrPath,
    *,
    compress: str | None = None,
    force: bool = False,
) -> Summary:
    """Converts every record under paths (files or folders) into out_dir on Dask.

    Outputs and their names are those of ``convert_many`` with the same
    arguments; failures are returned in the summary (no report file is written).
    """
    start = time.perf_counter()
    if compress not in COMPRESSIONS:
        raise UsageError(f"unknown compression {compress!r} (choose gzip or None)")
    bag = _bag_module()
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    out_dir = os.fspath(out_dir)
    jobs, clashes = find_jobs(paths, out_dir, GZIP_SUFFIX if compress == "gzip" else DEFAULT_SUFFIX)
    os.makedirs(out_dir, exist_ok=True)
    remove_stale_temporaries(out_dir)

    results: list[Result] = []
    if jobs:
        # A few partitions at least, so a small archive still spreads over workers.
        npartitions = max(-(-len(jobs) // PARTITION_SIZE), min(len(jobs), MIN_PARTITIONS))
        b = bag.from_sequence(jobs, npartitions=npartitions)
        results = list(b.map_partitions(_convert_partition, compress, force).compute())

    counts = {"converted": 0, "skipped": 0}
    failures = list(clashes)
    for status, src, error, message in results:
        if status == FAILED:
            failures.append(Failure(src, error, message))
        else:
            counts[status] += 1
    return Summary(counts["converted"], counts["skipped"], len(failures), time.perf_counter() - start, failures)
