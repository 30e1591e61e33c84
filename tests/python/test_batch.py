"""Archive conversion: `kifuzan convert` and kifuzan.convert_many."""

from __future__ import annotations

import gzip
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import kifuzan
from _kifuzan import tenhou_file_to_mjai
from conftest import CORPUS, call_first_text, dump, three_player_text, tiny_log
from kifuzan import batch, jobs, records

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample_game.json"
KIFUZAN = [sys.executable, "-m", "kifuzan"]


def _other_tiny() -> str:
    log = tiny_log()
    log["name"] = ["E", "F", "G", "H"]
    return dump(log)


# relative source path -> content; good ones get an output, bad ones an error.
GOOD = {
    "top.json": dump(tiny_log()).encode(),
    "a/sample.json": SAMPLE.read_bytes(),
    "a/b/zipped.json.gz": gzip.compress(_other_tiny().encode()),
}
BAD = {
    "broken.json": (b"not json", "JsonParsingError"),
    "a/three.json": (three_player_text().encode(), "TenhouLogParsingError"),
    "a/b/call.json": (call_first_text().encode(), "TenhouToMjaiError"),
    "a/b/latin1.json.gz": (gzip.compress(b'{"name":"\xe9"}'), "OSError"),
    "a/b/torn.json.gz": (gzip.compress(dump(tiny_log()).encode())[:-9], "EOFError"),
}
IGNORED = {"a/notes.txt": b"x", "a/b/data.jsonl": b"{}"}


def out_name(rel: str, suffix: str = ".mjson") -> str:
    return jobs.record_stem(rel) + suffix


def expected_bytes(src: Path, tmp: Path) -> bytes:
    """What tenhou_file_to_mjai writes for the record (decompressed first if gzip)."""
    if src.name.endswith(".gz"):
        plain = tmp / (src.name + ".plain.json")
        plain.write_bytes(gzip.decompress(src.read_bytes()))
        src = plain
    out = tmp / "expected.mjson"
    tenhou_file_to_mjai(src, out)
    return out.read_bytes()


def make_tree(root: Path) -> tuple[Path, dict[str, bytes]]:
    """Writes the record tree; returns it and the expected output per relative name."""
    src = root / "src"
    for rel, data in {**GOOD, **{k: v[0] for k, v in BAD.items()}, **IGNORED}.items():
        (src / rel).parent.mkdir(parents=True, exist_ok=True)
        (src / rel).write_bytes(data)
    scratch = root / "scratch"
    scratch.mkdir()
    return src, {out_name(rel): expected_bytes(src / rel, scratch) for rel in GOOD}


def outputs(out: Path) -> dict[str, bytes]:
    """Every file under out except the report, by relative name."""
    return {str(p.relative_to(out)): p.read_bytes() for p in out.rglob("*") if p.is_file() and p.name != "errors.jsonl"}


def rows(path: Path) -> dict[str, dict]:
    return {d["path"]: d for d in map(json.loads, path.read_text().splitlines())}


def report(path: Path) -> dict[str, tuple[str, str]]:
    return {p: (d["error"], d["message"]) for p, d in rows(path).items()}


def cli(*args: str, **kwargs) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([*KIFUZAN, *args], capture_output=True, timeout=120, **kwargs)


@pytest.fixture
def tree(tmp_path):
    return make_tree(tmp_path)


def test_converts_tree(tree, tmp_path):
    src, expected = tree
    out = tmp_path / "out"
    r = cli("convert", str(src), "-o", str(out), "-j", "2")
    assert r.returncode == 1, r.stderr.decode()
    assert outputs(out) == expected
    got = report(out / "errors.jsonl")
    assert {path: error for path, (error, _) in got.items()} == {str(src / rel): e for rel, (_, e) in BAD.items()}
    assert got[str(src / "broken.json")][1] == "failed to parse tenhou.net/6 log"
    assert got[str(src / "a/three.json")][1] == "invalid log"
    assert got[str(src / "a/b/call.json")][1] == "failed to convert tenhou.net/6 log to mjai"
    assert got[str(src / "a/b/latin1.json.gz")][1] == "stream did not contain valid UTF-8"
    # Each row says why and where, and so does its line on standard error.
    why = rows(out / "errors.jsonl")
    assert why[str(src / "broken.json")]["reason"].startswith("JSON syntax error at byte 0: ")
    assert why[str(src / "broken.json")]["offset"] == 0
    # Read as a three-player game (the package's default), its fourth hand is refused.
    assert why[str(src / "a/three.json")]["reason"].endswith("a hand for seat 3, which a three-player record leaves empty")
    assert (why[str(src / "a/b/call.json")]["kyoku"], why[str(src / "a/b/call.json")]["seat"]) == (0, 0)
    assert why[str(src / "a/b/latin1.json.gz")]["reason"] == "stream did not contain valid UTF-8"
    stderr = r.stderr.decode()
    for path, row in why.items():
        assert f"kifuzan: {path}: {row['error']}: {row['reason']}\n" in stderr
    assert stderr.splitlines()[-1].startswith("kifuzan: 3 converted, 0 skipped, 5 failed in ")
    assert "\r" not in stderr  # no progress bar when stderr is not a terminal


def test_file_sources_go_to_top_of_outdir(tree, tmp_path):
    src, expected = tree
    out = tmp_path / "out"
    report_path = tmp_path / "report" / "bad.jsonl"
    r = cli("convert", str(src / "a/b/zipped.json.gz"), str(src / "a/three.json"), "-o", str(out), "--errors", str(report_path))
    assert r.returncode == 1
    assert outputs(out) == {"zipped.mjson": expected["a/b/zipped.mjson"]}
    assert list(report(report_path).values()) == [("TenhouLogParsingError", "invalid log")]
    assert not (out / "errors.jsonl").exists()


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: -o/--output"),
        (["-o", "{out}", "-j", "0"], "workers must be at least 1"),
        (["-o", "{out}", "--compress", "zip"], "invalid choice: 'zip'"),
        (["-o", "{out}", "--suffix", "a/b"], "invalid suffix"),
        (["-o", "{out}", "--suffix", "mjson"], "must start with '.'"),
        (["-o", "{out}", "--suffix", ".json.gz"], "needs gzip compression (--compress gzip)"),
        (["{src}/missing", "-o", "{out}"], "no such file or folder"),
        (["-", "-o", "{out}"], "'-' must be the only SRC"),
        (["-o", "{out}", "--quiet", "--progress"], "not allowed with argument"),
    ],
    ids=["no-outdir", "j0", "compress", "suffix", "suffix-no-dot", "plain-gz-suffix", "missing-src", "stdin-and-files", "quiet-progress"],
)
def test_usage_errors_exit_2_and_write_nothing(tree, tmp_path, args, message):
    src, _ = tree
    out = tmp_path / "out"
    r = cli("convert", str(src), *[a.format(src=src, out=out) for a in args])
    assert r.returncode == 2
    assert message in r.stderr.decode()
    assert not out.exists()


def test_all_good_exits_0(tree, tmp_path):
    src, expected = tree
    out = tmp_path / "out"
    r = cli("convert", str(src / "a/sample.json"), str(src / "top.json"), "-o", str(out), "-j", "2")
    assert r.returncode == 0, r.stderr.decode()
    assert outputs(out) == {"sample.mjson": expected["a/sample.mjson"], "top.mjson": expected["top.mjson"]}
    assert (out / "errors.jsonl").read_text() == ""


def test_rerun_skips_up_to_date_and_force_redoes(tree, tmp_path):
    src, expected = tree
    out = tmp_path / "out"
    first = kifuzan.convert_many([src], out, workers=2)
    assert (first.converted, first.skipped, first.failed) == (3, 0, 5)
    stamps = {p: p.stat().st_mtime_ns for p in out.rglob("*.mjson")}

    again = cli("convert", str(src), "-o", str(out), "-j", "2")
    assert again.returncode == 1  # the bad ones are tried, and fail, again
    assert again.stderr.decode().splitlines()[-1].startswith("kifuzan: 0 converted, 3 skipped, 5 failed")
    assert {p: p.stat().st_mtime_ns for p in out.rglob("*.mjson")} == stamps
    assert len(report(out / "errors.jsonl")) == 5  # rewritten, not appended

    # An input changed after its output was made is converted again.
    newer = stamps[out / "top.mjson"] + 1_000_000_000
    os.utime(src / "top.json", ns=(newer, newer))
    third = kifuzan.convert_many([src], out, workers=1)
    assert (third.converted, third.skipped) == (1, 2)
    assert (out / "top.mjson").stat().st_mtime_ns != stamps[out / "top.mjson"]

    (out / "a/sample.mjson").write_bytes(b"stale")
    os.utime(out / "a/sample.mjson", ns=(newer, newer))
    forced = kifuzan.convert_many([src], out, workers=2, force=True)
    assert (forced.converted, forced.skipped) == (3, 0)
    assert outputs(out) == expected


@pytest.mark.parametrize(
    "args, suffix, decode",
    [
        ([], ".mjson", None),
        (["--suffix", ".jsonl"], ".jsonl", None),
        (["--compress", "gzip"], ".mjson.gz", gzip.decompress),
        (["--compress", "gzip", "--suffix", ".json.gz"], ".json.gz", gzip.decompress),
        (["--compress", "none", "--suffix", ".mjai.txt"], ".mjai.txt", None),
    ],
    ids=["default", "suffix", "gzip", "gzip-json-gz", "two-dots"],
)
def test_suffix_and_compression(tree, tmp_path, args, suffix, decode):
    src, expected = tree
    out = tmp_path / "out"
    r = cli("convert", str(src), "-o", str(out), "-j", "2", *args)
    assert r.returncode == 1, r.stderr.decode()
    got = outputs(out)
    want = {name.removesuffix(".mjson") + suffix: data for name, data in expected.items()}
    assert set(got) == set(want)
    for name, data in got.items():
        assert (decode(data) if decode else data) == want[name], name
        if decode:
            assert data[4:8] == b"\0\0\0\0"  # no time stamp in the gzip header
    if decode:
        # Reproducible: converting again gives the same bytes.
        cli("convert", str(src), "-o", str(out), "-j", "1", "--force", *args)
        assert outputs(out) == got


def test_outdir_inside_source_is_not_searched(tree):
    src, expected = tree
    out = src / "converted"
    for _ in range(2):
        summary = kifuzan.convert_many(src, out, workers=1, compress="gzip", suffix=".json.gz", force=True)
        assert (summary.converted, summary.failed) == (3, 5)
    assert {k: gzip.decompress(v) for k, v in outputs(out).items()} == {
        k.removesuffix(".mjson") + ".json.gz": v for k, v in expected.items()
    }


def test_two_records_for_one_output_name(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "g.json").write_text(dump(tiny_log()))
    (src / "g.json.gz").write_bytes(gzip.compress(_other_tiny().encode()))
    summary = kifuzan.convert_many([src, src / "g.json"], tmp_path / "out", workers=1)
    # The file named twice is one record; the other one that maps onto g.mjson is refused.
    assert (summary.converted, summary.failed) == (1, 1)
    assert summary.failures[0].path == str(src / "g.json.gz")
    assert summary.failures[0].error == "FileExistsError"
    assert (tmp_path / "out/g.mjson").read_bytes() == expected_bytes(src / "g.json", tmp_path)


@pytest.mark.parametrize("compress", [None, "gzip"])
@pytest.mark.parametrize("record", ["top.json", "a/b/zipped.json.gz"])
def test_stdin_to_stdout(tree, record, compress):
    src, expected = tree
    args = ["--compress", compress] if compress else []
    r = cli("convert", "-", *args, input=(src / record).read_bytes())
    assert r.returncode == 0, r.stderr.decode()
    assert (gzip.decompress(r.stdout) if compress else r.stdout) == expected[out_name(record)]
    assert r.stderr == b""


@pytest.mark.parametrize("record", sorted(BAD))
def test_stdin_failure(tree, tmp_path, record):
    src, _ = tree
    data, error = BAD[record]
    report_path = tmp_path / "errors.jsonl"
    r = cli("convert", "-", "--errors", str(report_path), input=data)
    assert r.returncode == 1
    assert r.stdout == b""
    assert r.stderr.decode().startswith(f"kifuzan: -: {error}: ")
    assert report(report_path)["-"][0] == error


def test_convert_many_summary(tree, tmp_path):
    src, expected = tree
    out = tmp_path / "out"
    summary = kifuzan.convert_many([str(src)], out, workers=2, progress=False)
    assert isinstance(summary, kifuzan.Summary)
    assert (summary.converted, summary.skipped, summary.failed) == (3, 0, 5)
    assert summary.seconds > 0
    assert {f.path: f.error for f in summary.failures} == {str(src / rel): e for rel, (_, e) in BAD.items()}
    assert all(isinstance(f, kifuzan.Failure) for f in summary.failures)
    assert outputs(out) == expected
    assert report(out / "errors.jsonl") == {f.path: (f.error, f.message) for f in summary.failures}
    assert kifuzan.__all__[:8] == [
        "TenhouLogParsingError", "TenhouToMjaiError", "JsonSerializationError", "JsonParsingError",
        "tenhou_file_to_mjai", "tenhou_to_mjai", "__version__", "VERSION",
    ]  # fmt: skip


def test_second_run_after_output_tree_deleted(tree, tmp_path):
    # Output folders are made by each run, not remembered by the process.
    src, expected = tree
    out = tmp_path / "out"
    for _ in range(2):
        summary = kifuzan.convert_many(src, out, workers=1)
        assert (summary.converted, summary.failed) == (3, 5)
        assert outputs(out) == expected
        shutil.rmtree(out)


def test_no_records_found_says_so(tmp_path):
    src = tmp_path / "src"
    (src / "sub").mkdir(parents=True)
    (src / "notes.txt").write_text("x")
    r = cli("convert", str(src), "-o", str(tmp_path / "out"))
    assert r.returncode == 0
    assert r.stderr.decode() == f"kifuzan: no records (*.json, *.mjlog, *.xml, each also .gz or .bz2, zip files, databases) found in {src}\n"


def test_convert_many_checks_before_writing(tmp_path):
    with pytest.raises(FileNotFoundError):
        kifuzan.convert_many([tmp_path / "missing"], tmp_path / "out")
    with pytest.raises(ValueError, match="compression"):
        kifuzan.convert_many([tmp_path], tmp_path / "out", compress="bz2")
    assert not (tmp_path / "out").exists()


def test_progress_bar_on_request(tree, tmp_path):
    src, _ = tree
    r = cli("convert", str(src), "-o", str(tmp_path / "out"), "-j", "1", "--progress")
    assert r.returncode == 1
    assert "8/8" in r.stderr.decode() and "failed=5" in r.stderr.decode()
    quiet = cli("convert", str(src), "-o", str(tmp_path / "out"), "--quiet")
    # Nothing but the errors: one line per failed record.
    lines = {f"kifuzan: {path}: {d['error']}: {d['reason']}" for path, d in rows(tmp_path / "out/errors.jsonl").items()}
    assert len(lines) == len(BAD)
    assert set(quiet.stderr.decode().splitlines()) == lines


def test_file_named_convert_is_reached_as_dot_slash(tmp_path):
    (tmp_path / "convert").write_text(dump(tiny_log()))
    r = cli("./convert", cwd=tmp_path)
    assert r.returncode == 0
    assert r.stdout == expected_bytes(tmp_path / "convert", tmp_path)


def test_stale_temporaries_of_dead_runs_are_removed(tree, tmp_path):
    src, _ = tree
    out = tmp_path / "out"
    (out / "a").mkdir(parents=True)
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True).stdout.strip()
    stale = out / "a" / f".sample.mjson.{dead}.0123abcd.tmp"
    own = out / "a" / f".sample.mjson.{os.getpid()}.89abcdef.tmp"  # of an earlier run in this process
    foreign = out / f".notes.{dead}.tmp"  # not our pattern
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        live = out / "a" / f".sample.mjson.{other.pid}.01234567.tmp"  # a run going on beside
        for p in (stale, own, live, foreign):
            p.write_bytes(b"part")
        kifuzan.convert_many(src, out, workers=1)
    finally:
        other.kill()
        other.wait()
    assert not stale.exists() and not own.exists()
    assert live.exists() and foreign.exists()


def test_a_failure_of_any_kind_costs_its_record_only(tmp_path, monkeypatch):
    src = tmp_path / "src"
    src.mkdir()
    names = [f"{i:02d}.json" for i in range(40)] + ["07crash.json", "08nomem.json"]
    for name in names:
        (src / name).write_text(dump(tiny_log()))
    convert_files = batch.convert_files

    def failing(items, to, force, three_player=None):
        # What the native module raises for a C++ exception: a bare BaseException
        # subclass (bad_alloc: MemoryError). It takes the whole call down.
        for _, _, stem in items:
            if "crash" in stem:
                raise type("InternalError", (BaseException,), {})("broken")
            if "nomem" in stem:
                raise MemoryError
        return convert_files(items, to, force, three_player)

    monkeypatch.setattr(batch, "convert_files", failing)
    summary = kifuzan.convert_many([src], tmp_path / "out", workers=2)
    assert (summary.converted, summary.failed) == (40, 2)
    assert sorted((f.path, f.error) for f in summary.failures) == [
        (str(src / "07crash.json"), "InternalError"),
        (str(src / "08nomem.json"), "MemoryError"),
    ]
    assert sorted(p.name for p in (tmp_path / "out").glob("*")) == sorted(
        [n.replace(".json", ".mjson") for n in names[:40]] + ["errors.jsonl"]
    )


def test_killed_run_leaves_only_whole_files(tmp_path):
    originals = sorted(CORPUS.glob("*.json"))
    if not originals:
        pytest.skip("corpus not available")
    src, out = tmp_path / "src", tmp_path / "out"
    lines = [expected_bytes(p, tmp_path) for p in originals]
    expected = {}
    for i in range(1200):
        rel = f"d{i // 100:02d}/{i:04d}.json"
        (src / rel).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(originals[i % len(originals)], src / rel)
        expected[rel.replace(".json", ".mjson")] = lines[i % len(originals)]

    proc = subprocess.Popen([*KIFUZAN, "convert", str(src), "-o", str(out), "-j", "2", "--quiet"], start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while len(list(out.rglob("*.mjson"))) < 100 and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        os.killpg(proc.pid, signal.SIGKILL)
    finally:
        proc.wait(timeout=30)
    assert proc.returncode == -signal.SIGKILL, "finished before it could be killed"

    done = {str(p.relative_to(out)): p for p in out.rglob("*.mjson")}
    assert 100 <= len(done) < len(expected)
    for rel, path in done.items():
        assert path.read_bytes() == expected[rel], rel

    r = cli("convert", str(src), "-o", str(out), "-j", "2")
    assert r.returncode == 0, r.stderr.decode()
    assert f"{len(expected) - len(done)} converted, {len(done)} skipped, 0 failed" in r.stderr.decode()
    assert outputs(out) == expected  # and the killed run's temporary files are gone


def test_a_file_where_an_output_folder_goes_is_named(tmp_path):
    src = tmp_path / "in"
    (src / "a").mkdir(parents=True)
    (src / "a" / "g.json").write_text(dump(tiny_log()))
    out = tmp_path / "out"
    out.mkdir()
    (out / "a").write_bytes(b"in the way")
    summary = kifuzan.convert_many([src], out, workers=1)
    (failure,) = summary.failures
    assert (failure.error, failure.path) == ("FileExistsError", str(src / "a" / "g.json"))
    assert "cannot make the folder" in failure.reason and str(out / "a") in failure.reason
    # Python's outputs go through the same folder rule.
    with pytest.raises(FileExistsError) as info:
        kifuzan.outputs.write_atomic(str(out / "a" / "b" / "x.mjson"), b"x")
    assert info.value.filename == str(out / "a" / "b")
    assert (out / "a").read_bytes() == b"in the way"
