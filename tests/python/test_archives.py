"""Archives as users hold them: the downloaders' SQLite databases (real ones,
made here from the shared mjlog records), zip files and bz2."""

from __future__ import annotations

import bz2
import gzip
import hashlib
import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import pytest

import kifuzan
from conftest import CORPUS, dump, tiny_log
from kifuzan import batch

MJLOG = CORPUS.parent / "mjlog"
XMLS = sorted(MJLOG.glob("[0-9]*.xml")) if MJLOG.is_dir() else []
SANMA = MJLOG / "three_player.xml"
pytestmark = pytest.mark.skipif(not XMLS, reason="shared mjlog records not available")
KIFUZAN = [sys.executable, "-m", "kifuzan"]


def ids_for(xmls):
    """A log id for each record: three real ones, the rest made up in other months."""
    out = []
    for i, x in enumerate(xmls):
        if x.stem.endswith(tuple("0123456789abcdef")) and "gm-" in x.stem:
            out.append(x.stem)
        else:
            out.append(f"2020{i % 12 + 1:02d}0100gm-00a9-0000-{i:08x}")
    return out


def expected(xml: Path) -> bytes:
    return "".join(line + "\n" for line in kifuzan.mjlog_to_mjai(xml.read_text(encoding="utf-8"))).encode()


# Rows beside the good ones: (log id, stored bytes, flags, what becomes of it).
def extra_rows(pack):
    good = XMLS[0].read_bytes()
    return [
        ("2021010100gm-00a9-0000-0000aaaa", None, {}, "without"),  # not downloaded
        ("2021010100gm-00a9-0000-0000bbbb", pack(good), {"was_error": 1}, "without"),
        ("2021010100gm-00a9-0000-0000cccc", b"\x42\x5a\x68\x39garbage", {}, "failed"),  # bz2 magic, bad data
        ("2021010100gm-00a9-0000-0000dddd", pack(b"<html><body>Error</body></html>"), {}, "failed"),
        ("2021010100gm-00a9-0000-0000eeee", pack(good[: len(good) // 2]), {}, "failed"),  # truncated
        ("2021010100gm-00a9-0000-0000ffff", pack(SANMA.read_bytes()), {"three": True}, "converted"),
        ("../../escape", pack(good), {}, "failed"),  # not a log id: never a path
    ]


def make_phoenix(path: Path, east_only_id: str | None = None) -> dict[str, str]:
    db = sqlite3.connect(path)
    db.execute(
        "CREATE TABLE logs(log_id text primary key, date text, is_tonpusen int, is_sanma int, "
        "is_processed int, was_error int, log_content text, log_hash text)"
    )
    fate = {}
    for log_id, xml in zip(ids_for(XMLS), XMLS):
        db.execute("INSERT INTO logs VALUES (?, '', ?, 0, 1, 0, ?, '')", (log_id, int(log_id == east_only_id), bz2.compress(xml.read_bytes())))
        fate[log_id] = "converted"
    for log_id, content, flags, what in extra_rows(bz2.compress):
        db.execute(
            "INSERT INTO logs VALUES (?, '', 0, ?, 1, ?, ?, '')",
            (log_id, int(flags.get("three", False)), flags.get("was_error", 0), b"" if content is None else content),
        )
        fate[log_id] = what
    db.commit()
    db.close()
    return fate


def make_houou(path: Path) -> dict[str, str]:
    db = sqlite3.connect(path)
    db.execute(
        "CREATE TABLE logs(id TEXT PRIMARY KEY, date TEXT, num_players INTEGER, is_tonpu INTEGER, "
        "is_processed INTEGER, was_error INTEGER, log BLOB) WITHOUT ROWID"
    )
    fate = {}
    for log_id, xml in zip(ids_for(XMLS), XMLS):
        db.execute("INSERT INTO logs VALUES (?, '', 4, 0, 1, 0, ?)", (log_id, gzip.compress(xml.read_bytes())))
        fate[log_id] = "converted"
    for log_id, content, flags, what in extra_rows(gzip.compress):
        db.execute(
            "INSERT INTO logs VALUES (?, '', ?, 0, 1, ?, ?)",
            (log_id, 3 if flags.get("three") else 4, flags.get("was_error", 0), content),
        )
        fate[log_id] = what
    db.commit()
    db.close()
    return fate


def out_path(out: Path, log_id: str) -> Path:
    return out / log_id[:4] / log_id[4:6] / f"{log_id}.mjson"


@pytest.mark.parametrize("make", [make_phoenix, make_houou], ids=["phoenix-logs", "houou-logs"])
def test_database_rows_convert_like_their_xml(tmp_path, make):
    path = tmp_path / "2020.db"
    fate = make(path)
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    out = tmp_path / "out"
    r = subprocess.run([*KIFUZAN, "convert", str(path), "-o", str(out), "-j", "2"], capture_output=True)
    assert r.returncode == 1
    by_id = dict(zip(ids_for(XMLS), XMLS))
    made = sorted(p for p in out.rglob("*.mjson"))
    assert made == sorted(out_path(out, i) for i, f in fate.items() if f == "converted")
    for log_id, xml in by_id.items():
        assert out_path(out, log_id).read_bytes() == expected(xml)
    # The three-player row in the default form, as to_mjai gives it.
    sanma = kifuzan.to_mjai(SANMA.read_bytes(), three_player="nukidora")
    assert out_path(out, "2021010100gm-00a9-0000-0000ffff").read_text() == "".join(line + "\n" for line in sanma)
    rows = [json.loads(line) for line in (out / "errors.jsonl").read_text().splitlines()]
    assert sorted(r["record"] for r in rows) == sorted(i for i, f in fate.items() if f == "failed")
    assert {r["path"] for r in rows} == {str(path)}
    assert all(r["reason"] for r in rows)
    failed = sum(f == "failed" for f in fate.values())
    without = sum(f == "without" for f in fate.values())
    converted = sum(f == "converted" for f in fate.values())
    summary = r.stderr.decode().splitlines()[-1]
    assert f"{converted} converted, 0 skipped, {failed} failed, {without} database rows without a record" in summary
    assert not list(tmp_path.rglob("*escape*")) and not list(tmp_path.rglob("*.tmp"))
    assert hashlib.sha256(path.read_bytes()).hexdigest() == digest  # never written
    again = kifuzan.convert_many(path, out, workers=1)
    assert (again.converted, again.skipped, again.failed) == (0, converted, failed)


def test_two_databases_with_the_same_games_clash_row_by_row(tmp_path):
    make_houou(tmp_path / "a.db")
    (tmp_path / "b.db").write_bytes((tmp_path / "a.db").read_bytes())
    s = kifuzan.convert_many([tmp_path / "a.db", tmp_path / "b.db"], tmp_path / "out", workers=2)
    clashes = [f for f in s.failures if f.error == "FileExistsError"]
    assert s.converted == len(XMLS) + 1  # the three-player row too
    assert len(clashes) == len(XMLS) + 4  # every row with a record and a log id: none tried twice
    assert {f.path for f in clashes} == {str(tmp_path / "b.db")} and all(f.record for f in clashes)


def test_filters_select_rows(tmp_path):
    path = tmp_path / "p.sqlite3"
    make_phoenix(path, east_only_id=ids_for(XMLS)[1])
    n, bad_four = len(XMLS), 4  # the failing four-player rows beside the (converting) three-player one
    cases = [
        ({"players": 3}, 1),
        ({"players": 4}, n + bad_four),
        ({"east_only": True}, 1),
        ({"east_only": False}, n - 1 + bad_four + 1),
        ({"players": 4, "east_only": True}, 1),
    ]
    for i, (filters, rows) in enumerate(cases):
        s = kifuzan.convert_many(path, tmp_path / f"o{i}", workers=1, **filters)
        assert s.converted + s.failed == rows, filters
    with pytest.raises(ValueError, match="players"):
        kifuzan.convert_many(path, tmp_path / "x", players=2)


def test_a_database_being_written_stays_readable(tmp_path):
    path = tmp_path / "live.db"
    make_houou(path)
    writer = sqlite3.connect(path, isolation_level=None)
    writer.execute("PRAGMA journal_mode=WAL")
    writer.execute("BEGIN IMMEDIATE")
    writer.execute("INSERT INTO logs VALUES ('2022010100gm-00a9-0000-12345678', '', 4, 0, 0, 0, NULL)")
    try:
        s = kifuzan.convert_many(path, tmp_path / "out", workers=2)
    finally:
        writer.execute("ROLLBACK")
        writer.close()
    assert s.converted == len(XMLS) + 1  # the three-player row too


@pytest.mark.parametrize(
    "setup, reason",
    [
        (lambda db: db.execute("CREATE TABLE other(x)"), "it has no table 'logs'"),
        (lambda db: db.execute("CREATE TABLE logs(id TEXT, log BLOB)"), "lacks columns"),
    ],
    ids=["no-logs-table", "other-columns"],
)
def test_other_sqlite_files_say_what_they_lack(tmp_path, setup, reason):
    path = tmp_path / "other.db"
    db = sqlite3.connect(path)
    setup(db)
    db.commit()
    db.close()
    s = kifuzan.convert_many(path, tmp_path / "out", workers=1)
    assert s.failed == 1 and reason in s.failures[0].reason and s.failures[0].path == str(path)


def test_corrupt_database_is_one_failure(tmp_path):
    path = tmp_path / "broken.db"
    make_houou(path)
    data = bytearray(path.read_bytes())
    data[100:4096] = b"\xff" * (4096 - 100)
    path.write_bytes(bytes(data))
    s = kifuzan.convert_many(path, tmp_path / "out", workers=1)
    assert s.failed >= 1 and s.converted == 0 and "database" in s.failures[0].reason


def test_zip_files_are_searched_like_folders(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    with zipfile.ZipFile(src / "pack.zip", "w", zipfile.ZIP_DEFLATED) as z:
        z.write(XMLS[0], "games/a.xml")
        z.writestr("games/b.json.gz", gzip.compress(dump(tiny_log()).encode()))
        z.writestr("c.mjlog.bz2", bz2.compress(XMLS[1].read_bytes()))
        z.writestr("notes.txt", "not a record")
        z.writestr("../evil.json", dump(tiny_log()))
    with zipfile.ZipFile(src / "empty.zip", "w") as z:
        z.writestr("readme.txt", "nothing")
    s = kifuzan.convert_many(src, tmp_path / "out", workers=2)
    out = tmp_path / "out"
    assert (out / "pack" / "games" / "a.mjson").read_bytes() == expected(XMLS[0])
    assert (out / "pack" / "c.mjson").read_bytes() == expected(XMLS[1])
    assert (out / "pack" / "games" / "b.mjson").read_text().splitlines() == kifuzan.tenhou_to_mjai(dump(tiny_log()))
    assert sorted((f.path.rsplit("/", 1)[1], f.record) for f in s.failures) == [("empty.zip", None), ("pack.zip", "../evil.json")]
    assert not (tmp_path / "evil.mjson").exists() and not list(tmp_path.rglob("evil*"))
    # Named directly, its members go straight under the output folder.
    direct = kifuzan.convert_many(src / "pack.zip", tmp_path / "direct", workers=1)
    assert direct.converted == 3 and (tmp_path / "direct" / "games" / "a.mjson").exists()
    assert kifuzan.convert_many(src / "pack.zip", tmp_path / "direct", workers=1).skipped == 3


def test_documents_take_the_record_name_as_ref(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "2019.08.03 final.xml").write_bytes(XMLS[0].read_bytes())
    with zipfile.ZipFile(src / "pack.zip", "w") as z:
        z.write(XMLS[1], "a/v1.2 game.mjlog")
    kifuzan.convert_many(src, tmp_path / "out", workers=1, to="tenhou6")
    refs = {p.name: json.loads(p.read_bytes())["ref"] for p in (tmp_path / "out").rglob("*.json")}
    assert refs == {"2019.08.03 final.json": "2019.08.03 final", "v1.2 game.json": "v1.2 game"}


def test_zip_bomb_is_refused_before_it_is_inflated(tmp_path, monkeypatch):
    monkeypatch.setattr(batch, "MAX_RECORD_BYTES", 1 << 20)
    with zipfile.ZipFile(tmp_path / "bomb.zip", "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("big.json", b" " * (2 << 20))
    s = kifuzan.convert_many(tmp_path / "bomb.zip", tmp_path / "out", workers=1)
    assert s.failed == 1 and "larger than" in s.failures[0].reason


def test_bz2_records_convert_like_their_plain_twins(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "a.json.bz2").write_bytes(bz2.compress(dump(tiny_log()).encode()))
    (src / "b.xml.bz2").write_bytes(bz2.compress(XMLS[0].read_bytes()))
    (src / "c.json").write_bytes(bz2.compress(XMLS[1].read_bytes()))  # bz2 and mjlog under a plain name
    xml = XMLS[2].read_bytes()  # in two streams, as parallel compressors write
    (src / "d.xml.bz2").write_bytes(bz2.compress(xml[:999]) + bz2.compress(xml[999:]))
    (src / "e.xml.gz").write_bytes(gzip.compress(xml[:999]) + gzip.compress(xml[999:]))
    s = kifuzan.convert_many(src, tmp_path / "out", workers=1)
    assert s.converted == 5
    assert (tmp_path / "out" / "d.mjson").read_bytes() == (tmp_path / "out" / "e.mjson").read_bytes() == expected(XMLS[2])
    assert (tmp_path / "out" / "b.mjson").read_bytes() == expected(XMLS[0])
    assert (tmp_path / "out" / "c.mjson").read_bytes() == expected(XMLS[1])
    r = subprocess.run([*KIFUZAN, str(src / "a.json.bz2")], capture_output=True)
    assert r.stdout.decode().splitlines() == kifuzan.tenhou_to_mjai(dump(tiny_log()))


def test_mjai_to_mjai_is_refused_with_the_way_out(tmp_path):
    lines = kifuzan.tenhou_to_mjai(dump(tiny_log()))
    (tmp_path / "a.mjson").write_text("\n".join(lines) + "\n")
    s = kifuzan.convert_many(tmp_path / "a.mjson", tmp_path / "out", workers=1)
    assert s.failed == 1 and "--to tenhou6" in s.failures[0].reason


def _tree(pid: int) -> set[int]:
    kids: set[int] = set()
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            kids |= {int(k) for k in Path(f"/proc/{pid}/task/{task}/children").read_text().split()}
        except OSError:
            pass
    return kids


def _alive(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


@pytest.fixture(scope="module")
def mjai_folder(tmp_path_factory):
    src = tmp_path_factory.mktemp("mjai")
    sample = Path(__file__).resolve().parents[2] / "examples" / "sample_game.mjson"
    for i in range(400):
        (src / f"{i:04d}.mjson").write_bytes(sample.read_bytes())
    return src


@pytest.mark.parametrize("how", ["sigterm", "parent-killed"])
def test_stopping_leaves_no_process_and_no_partial_file(tmp_path, mjai_folder, how):
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [*KIFUZAN, "convert", str(mjai_folder), "-o", str(out), "-j", "2", "--to", "tenhou6"],
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    try:
        deadline = time.monotonic() + 60
        while len(list(out.glob("*.json"))) < 5:
            assert proc.poll() is None and time.monotonic() < deadline, "finished before the moment"
            time.sleep(0.01)
        workers = _tree(proc.pid)
        assert workers, "no worker process started"
        start = time.monotonic()
        proc.send_signal(signal.SIGTERM if how == "sigterm" else signal.SIGKILL)
        code = proc.wait(timeout=10)
        while any(_alive(w) for w in workers) and time.monotonic() < start + 10:
            time.sleep(0.05)
    finally:
        proc.kill()
    assert not [w for w in workers if _alive(w)], "a worker outlived the command"
    if how == "sigterm":
        assert code == 143
        assert proc.stderr.read().decode() == "kifuzan: terminated; outputs written so far are whole, a rerun converts the rest\n"
        assert not list(out.rglob("*.tmp"))
    for p in out.glob("*.json"):
        json.loads(p.read_bytes())  # every output whole
