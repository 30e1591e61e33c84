"""Converts archives on a Dask cluster (``pip install kifuzan[dask]``).

``convert_bag`` runs the per-record conversion of ``kifuzan.convert_many``
over a Dask bag, on whatever scheduler is current (a ``distributed.Client``
if one was made). Workers read the sources and write the outputs themselves,
so every worker must see both under the same paths (a shared file system).
A database's rows are split into partitions of consecutive log ids: the
client lists the ids only, and each worker reads its own range of rows.
Dask is imported only when called: ``kifuzan`` itself does not need it.
"""

from __future__ import annotations

import importlib
import time
from collections.abc import Iterable
from typing import Any

from kifuzan.batch import convert_chunk, prepare
from kifuzan.databases import Filters
from kifuzan.jobs import Job, StrPath, output_suffix
from kifuzan.records import Compression, Target, ThreePlayerForm
from kifuzan.results import Result, Summary, Tally

__all__ = ["convert_bag"]

# Records a partition: big enough that scheduling costs little per record.
PARTITION_SIZE = 64
MIN_PARTITIONS = 16


def _bag_module() -> Any:
    try:
        return importlib.import_module("dask.bag")
    except ImportError as e:
        raise ImportError("kifuzan.dask needs Dask: pip install 'kifuzan[dask]'") from e


def _convert_partition(jobs: Iterable[Job], target: Target, force: bool) -> list[Result]:
    return convert_chunk([Job(*job) for job in jobs], target, force)


def convert_bag(
    paths: Iterable[StrPath] | StrPath,
    out_dir: StrPath,
    *,
    compress: Compression = None,
    force: bool = False,
    to: str = "mjai",
    players: int | None = None,
    east_only: bool | None = None,
    three_player: ThreePlayerForm | None = "nukidora",
) -> Summary:
    """Converts every record under paths (files, folders, zip files, the
    downloaders' databases) into out_dir on Dask.

    The records are found on the client (for a database: its log ids, not
    its records) and converted in partitions of a Dask bag on the current
    scheduler. Outputs and their names are those of ``convert_many`` with
    the same arguments (``to`` "mjai" or "tenhou6", ``players``,
    ``east_only``, ``three_player``); failures are returned in the ``Summary`` (no report file
    is written). Raises ImportError without Dask, and FileNotFoundError or
    ValueError as ``convert_many`` does.
    """
    start = time.perf_counter()
    target = Target(to, compress, three_player=three_player)
    output_suffix(target, None)  # the options are checked before Dask is needed
    bag = _bag_module()
    _, found = prepare(paths, out_dir, target, None, Filters(players, east_only))
    jobs = found.jobs
    tally = Tally(found.without_record)
    for failure in found.failures:
        tally.add(failure)
    if jobs:
        # A few partitions at least, so a small archive still spreads over workers.
        npartitions = max(-(-len(jobs) // PARTITION_SIZE), min(len(jobs), MIN_PARTITIONS))
        b = bag.from_sequence(jobs, npartitions=npartitions)
        for result in b.map_partitions(_convert_partition, target, force).compute():
            tally.add(result)
    return tally.summary(time.perf_counter() - start)
