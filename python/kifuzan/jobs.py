"""Finding the records of a run and naming their outputs."""

from __future__ import annotations

import os
from collections.abc import Iterable

from kifuzan.records import MJAI, TARGETS, TENHOU6, Target, is_record, record_stem
from kifuzan.results import Failure, failure_of

StrPath = str | os.PathLike[str]
# (source path, output path)
Job = tuple[str, str]

COMPRESSIONS = (None, "gzip")
# The ending of outputs, by what records become.
DEFAULT_SUFFIXES = {MJAI: ".mjson", TENHOU6: ".json"}


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


def find_jobs(sources: Iterable[str], out_dir: str, suffix: str, to: str = MJAI) -> tuple[list[Job], list[Failure]]:
    """Pairs every record under sources with its output path.

    Returns the jobs in a stable order and, as failures, the records whose
    output path another record already claimed.
    """
    out_real = os.path.realpath(out_dir)
    claimed: dict[str, str] = {}  # output -> source
    jobs: list[Job] = []
    clashes: list[Failure] = []

    def add(src: str, out: str) -> None:
        first = claimed.get(out)
        if first is None:
            claimed[out] = src
            jobs.append((src, out))
        # A record named twice (a file and its folder, or two spellings) is one
        # job. Resolved only on a clash: realpath costs a system call per part.
        elif os.path.realpath(first) != os.path.realpath(src):
            clashes.append(failure_of(src, FileExistsError(f"output {out!r} is already made from {first!r}")))

    for source in sources:
        if os.path.isdir(source):
            for folder, dirs, files in os.walk(source):
                # An output folder inside a source folder is not searched: with
                # --suffix .json.gz the outputs would look like records.
                dirs[:] = sorted(d for d in dirs if os.path.realpath(os.path.join(folder, d)) != out_real)
                rel = os.path.relpath(folder, source)
                for name in sorted(files):
                    if is_record(name, to):
                        out = os.path.normpath(os.path.join(out_dir, rel, record_stem(name) + suffix))
                        add(os.path.join(folder, name), out)
        elif os.path.exists(source):
            name = os.path.basename(source)
            add(source, os.path.join(out_dir, record_stem(name) + suffix))
        else:
            raise FileNotFoundError(f"no such file or folder: {source!r}")
    return jobs, clashes
