"""What a conversion reports: ``Failure``, ``Summary`` and their texts.

Every failed record becomes a ``Failure`` through ``failure_of``, and every
errors.jsonl row and error line is made from a ``Failure``: a field added to
it reaches the report, the summary and the Dask recipe at once.
"""

from __future__ import annotations

import dataclasses
import gzip
import json

CONVERTED, SKIPPED, FAILED = "converted", "skipped", "failed"


@dataclasses.dataclass(frozen=True)
class Failure:
    """One record that could not be converted.

    ``path`` is the record as it was found (``"-"`` for standard input),
    ``error`` the name of the exception its conversion raised (for example
    ``"TenhouToMjaiError"``, ``"OSError"``, ``"FileExistsError"`` when another
    record already makes the same output) and ``message`` that exception's text.
    ``reason`` says in one sentence why (``diagnose``'s reason for a record the
    converter refused, else the message); ``kyoku`` and ``seat`` (0-based)
    and ``offset`` (a byte of the record's text) say where, when known.
    """

    path: str
    error: str
    message: str
    reason: str = ""
    kyoku: int | None = None
    seat: int | None = None
    offset: int | None = None


@dataclasses.dataclass(frozen=True)
class Summary:
    """What a run did: ``converted``, ``skipped`` (output already up to date)
    and ``failed`` records, the wall time in ``seconds``, and every ``Failure``
    in the order they happened."""

    converted: int
    skipped: int
    failed: int
    seconds: float
    failures: list[Failure] = dataclasses.field(default_factory=list)


# What converting one record gave: CONVERTED, SKIPPED or its Failure.
Result = str | Failure


# Refusals that diagnose can explain; the rest explain themselves.
_DIAGNOSED = frozenset(("JsonParsingError", "TenhouLogParsingError", "TenhouToMjaiError", "JsonSerializationError", "MjlogError"))


def failure_of(path: str, exc: BaseException, data: bytes | None = None) -> Failure:
    """The Failure of the record at path (its bytes, when at hand) whose
    conversion raised exc, with diagnose's reason and location for a
    refused record."""
    error, message = type(exc).__name__, str(exc)
    if error in _DIAGNOSED:
        why = _diagnosis(path, data)
        if why is not None and why.error == error:
            return Failure(path, error, message, why.reason, why.kyoku, why.seat, why.offset)
    return Failure(path, error, message, message)


def _diagnosis(path: str, data: bytes | None):  # -> Diagnosis | None
    from kifuzan.diagnosis import diagnose

    try:
        if data is None:
            with open(path, "rb") as f:
                data = f.read()
        if data[:2] == b"\x1f\x8b":
            data = gzip.decompress(data)
        return diagnose(data.decode("utf-8"))
    except (OSError, EOFError, ValueError):
        return None


def report_row(failure: Failure) -> str:
    """One line of errors.jsonl: the Failure's fields as a JSON object."""
    return json.dumps(dataclasses.asdict(failure)) + "\n"


def failure_line(failure: Failure) -> str:
    """The error line for standard error, ``kifuzan: PATH: ERROR: REASON``."""
    return f"kifuzan: {failure.path}: {failure.error}: {failure.reason or failure.message}"


class Tally:
    """Counts results as they come in."""

    def __init__(self) -> None:
        self.counts = {CONVERTED: 0, SKIPPED: 0}
        self.failures: list[Failure] = []

    def add(self, result: Result) -> None:
        if isinstance(result, Failure):
            self.failures.append(result)
        else:
            self.counts[result] += 1

    def summary(self, seconds: float) -> Summary:
        return Summary(self.counts[CONVERTED], self.counts[SKIPPED], len(self.failures), seconds, list(self.failures))


def summary_line(s: Summary) -> str:
    return f"kifuzan: {s.converted} converted, {s.skipped} skipped, {s.failed} failed in {s.seconds:.1f} s"
