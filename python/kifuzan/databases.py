"""The SQLite databases of the two public Houou downloaders.

phoenix-logs keeps ``logs(log_id, date, is_tonpusen, is_sanma, is_processed,
was_error, log_content, log_hash)`` with the bz2-compressed mjlog XML in
``log_content`` ("" until downloaded); houou-logs keeps ``logs(id, date,
num_players, is_tonpu, is_processed, was_error, log)`` with the
gzip-compressed XML in ``log`` (NULL until downloaded). Both are opened
read-only, through SQLite itself, so a downloader may go on writing.
"""

from __future__ import annotations

import dataclasses
import re
import sqlite3
import urllib.parse
from collections.abc import Iterator, Sequence

# A tenhou log id: the hour it was played, "gm", the lobby and rule, a hash.
LOG_ID = re.compile(r"(\d{4})(\d{2})\d{4}gm-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{8}")
# Waiting this long for a writer's lock before a read fails.
BUSY_SECONDS = 10.0


@dataclasses.dataclass(frozen=True)
class Schema:
    name: str
    id: str
    content: str
    three_player: str  # an expression true for a three-player game
    east_only: str
    columns: frozenset[str]


SCHEMAS = (
    Schema("phoenix-logs", "log_id", "log_content", "is_sanma <> 0", "is_tonpusen <> 0",
           frozenset(("log_id", "log_content", "is_sanma", "is_tonpusen", "was_error"))),
    Schema("houou-logs", "id", "log", "num_players = 3", "is_tonpu <> 0",
           frozenset(("id", "log", "num_players", "is_tonpu", "was_error"))),
)


class DatabaseError(ValueError):
    """A file that is not a database of either downloader, or one SQLite cannot read."""


@dataclasses.dataclass(frozen=True)
class Filters:
    """Which games to take: ``players`` 3 or 4 (None: both), ``east_only``
    True for east-only games, False for east-south ones (None: both)."""

    players: int | None = None
    east_only: bool | None = None


def connect(path: str) -> sqlite3.Connection:
    """A read-only connection: SQLite never writes the file, and a database
    that another process is writing stays readable."""
    uri = "file:" + urllib.parse.quote(path) + "?mode=ro"
    try:
        return sqlite3.connect(uri, uri=True, timeout=BUSY_SECONDS, check_same_thread=False)
    except sqlite3.Error as e:
        raise DatabaseError(f"cannot open the database: {e}") from None


def schema_of(db: sqlite3.Connection) -> Schema:
    """Which downloader's database this is, or DatabaseError saying what it lacks."""
    try:
        columns = {row[1] for row in db.execute("PRAGMA table_info(logs)")}
    except sqlite3.Error as e:
        raise DatabaseError(f"cannot read the database: {e}") from None
    if not columns:
        raise DatabaseError("not a phoenix-logs or houou-logs database: it has no table 'logs'")
    for schema in SCHEMAS:
        if schema.columns <= columns:
            return schema
    lacks = "; ".join(f"{s.name} has {', '.join(sorted(s.columns - columns))}" for s in SCHEMAS)
    raise DatabaseError(f"not a phoenix-logs or houou-logs database: its table 'logs' lacks columns ({lacks})")


def _where(schema: Schema, filters: Filters) -> str:
    terms = []
    if filters.players is not None:
        terms.append(schema.three_player if filters.players == 3 else f"NOT ({schema.three_player})")
    if filters.east_only is not None:
        terms.append(schema.east_only if filters.east_only else f"NOT ({schema.east_only})")
    return " AND ".join(terms) or "1"


def list_rows(path: str, filters: Filters) -> tuple[list[str], int]:
    """The log ids of the games in the database that have a record, in order,
    and how many rows have none (not downloaded yet, or a failed download).
    Reads no record: only ids, flags and sizes."""
    db = connect(path)
    try:
        schema = schema_of(db)
        # length() of a BLOB comes from the row's header: the record is not read.
        query = (
            f"SELECT {schema.id}, coalesce(length({schema.content}), 0) > 0 AND NOT coalesce(was_error, 0) "
            f"FROM logs WHERE {_where(schema, filters)} ORDER BY {schema.id}"
        )
        ids, without = [], 0
        for log_id, has_record in db.execute(query):
            if has_record:
                ids.append(str(log_id))
            else:
                without += 1
        return ids, without
    except sqlite3.Error as e:
        raise DatabaseError(f"cannot read the database: {e}") from None
    finally:
        db.close()


def read_rows(db: sqlite3.Connection, ids: Sequence[str]) -> Iterator[tuple[str, bytes]]:
    """(log id, stored record) of the rows with these ids (sorted): one range
    of the primary key, so a chunk costs one query."""
    schema = schema_of(db)
    wanted = set(ids)
    query = f"SELECT {schema.id}, {schema.content} FROM logs WHERE {schema.id} BETWEEN ? AND ?"
    for log_id, content in db.execute(query, (ids[0], ids[-1])):
        if log_id in wanted:
            yield log_id, content if isinstance(content, bytes) else str(content or "").encode()


def output_folder(log_id: str) -> str | None:
    """``YYYY/MM`` of a tenhou log id, so a year's archive makes folders of a
    few tens of thousands of files; None for an id that is not a log id."""
    m = LOG_ID.fullmatch(log_id)
    return f"{m.group(1)}/{m.group(2)}" if m else None
