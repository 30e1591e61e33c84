"""What a conversion reports: ``Failure``, ``Summary`` and their texts.

Every failed record becomes a ``Failure`` through ``failure_of``, and every
errors.jsonl row and error line is made from a ``Failure``: a field added to
it reaches the report, the summary and the Dask recipe at once.
"""

from __future__ import annotations

import dataclasses
import json

from kifuzan._native import CONVERTED, DEFERRED, FAILED, SKIPPED


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
    ``record`` names the record inside ``path`` when that is a zip file (the
    member) or a database (the row's log id), else None.
    """

    path: str
    error: str
    message: str
    reason: str = ""
    kyoku: int | None = None
    seat: int | None = None
    offset: int | None = None
    record: str | None = None


@dataclasses.dataclass(frozen=True)
class Summary:
    """What a run did: ``converted``, ``skipped`` (output already up to date)
    and ``failed`` records, the wall time in ``seconds``, every ``Failure``
    in the order they happened, and ``without_record``: database rows that
    hold no record (not downloaded yet, or a failed download), neither
    converted nor failed."""

    converted: int
    skipped: int
    failed: int
    seconds: float
    failures: list[Failure] = dataclasses.field(default_factory=list)
    without_record: int = 0


# What converting one record gave: CONVERTED, SKIPPED or its Failure.
Result = str | Failure


def failure_of(path: str, exc: BaseException, member: str | None = None) -> Failure:
    """The Failure of the record at path (``member`` inside it) whose
    conversion raised exc: for a refused record (``Refused``), the reason and
    location its conversion already found; otherwise the exception's text."""
    from kifuzan.records import Refused

    if isinstance(exc, Refused):
        if exc.why is None:
            return Failure(path, exc.error, exc.message, exc.message, record=member)
        _, _, reason, kyoku, seat, offset = exc.why
        return Failure(path, exc.error, exc.message, reason, kyoku, seat, offset, member)
    message = str(exc)
    return Failure(path, type(exc).__name__, message, message, record=member)


def report_row(failure: Failure) -> str:
    """One line of errors.jsonl: the Failure's fields as a JSON object."""
    return json.dumps(dataclasses.asdict(failure)) + "\n"


def failure_line(failure: Failure) -> str:
    """The error line for standard error, ``kifuzan: PATH: ERROR: REASON``
    (``PATH:RECORD`` for a zip member or a database row)."""
    where = failure.path if failure.record is None else f"{failure.path}:{failure.record}"
    return f"kifuzan: {where}: {failure.error}: {failure.reason or failure.message}"


class Tally:
    """Counts results as they come in."""

    def __init__(self, without_record: int = 0) -> None:
        self.counts = {CONVERTED: 0, SKIPPED: 0}
        self.failures: list[Failure] = []
        self.without_record = without_record

    def add(self, result: Result) -> None:
        if isinstance(result, Failure):
            self.failures.append(result)
        else:
            self.counts[result] += 1

    def summary(self, seconds: float) -> Summary:
        return Summary(
            self.counts[CONVERTED], self.counts[SKIPPED], len(self.failures), seconds, list(self.failures), self.without_record
        )


def summary_line(s: Summary) -> str:
    rows = f", {s.without_record} database rows without a record" if s.without_record else ""
    return f"kifuzan: {s.converted} converted, {s.skipped} skipped, {s.failed} failed{rows} in {s.seconds:.1f} s"
