"""The kifuzan command line, run as the installed script and with -m."""

from __future__ import annotations

import gzip
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from _kifuzan import tenhou_to_mjai
from conftest import PROJECT_VERSION, TINY_LINES, big_text, dump, tiny_log

SCRIPT = Path(sys.executable).with_name("kifuzan")
COMMANDS = [
    pytest.param([str(SCRIPT)], id="script"),
    pytest.param([sys.executable, "-m", "kifuzan"], id="module"),
]


def run(command, *args, **kwargs):
    return subprocess.run([*command, *args], capture_output=True, timeout=120, **kwargs)


@pytest.fixture(params=COMMANDS)
def kifuzan(request):
    if request.param[0] == str(SCRIPT) and not SCRIPT.exists():
        pytest.skip("console script not installed next to the interpreter")
    return request.param


def test_version(kifuzan):
    r = run(kifuzan, "--version")
    assert r.returncode == 0
    assert r.stdout == f"kifuzan {PROJECT_VERSION}\n".encode()


def test_converts_to_standard_output(kifuzan, tiny_file):
    r = run(kifuzan, str(tiny_file))
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode("utf-8") == "".join(line + "\n" for line in TINY_LINES)
    assert r.stderr == b""


@pytest.mark.parametrize("flag", ["-o", "--output"])
def test_writes_to_output_file(kifuzan, tiny_file, tmp_path, flag):
    out = tmp_path / "out.mjson"
    r = run(kifuzan, str(tiny_file), flag, str(out))
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout == b""
    assert out.read_text(encoding="utf-8") == "".join(line + "\n" for line in TINY_LINES)


@pytest.mark.parametrize(
    "content, error",
    [
        ("not json", "JsonParsingError: JSON syntax error at byte 0: problem while parsing an atom starting with the letter 'n'"),
        (None, "FileNotFoundError: [Errno 2] No such file or directory: '{path}'"),
    ],
)
def test_failure_is_one_line_and_exit_1(kifuzan, tmp_path, content, error):
    path = tmp_path / "game.json"
    if content is not None:
        path.write_text(content)
    r = run(kifuzan, str(path))
    assert r.returncode == 1
    assert r.stdout == b""
    assert r.stderr.decode() == f"kifuzan: {path}: " + error.format(path=path) + "\n"


def mjai(log) -> bytes:
    return "".join(line + "\n" for line in tenhou_to_mjai(dump(log))).encode()


def test_several_files_stdin_and_gzip(kifuzan, tmp_path):
    """Each FILE in turn: stdout has the lines of those that converted, in order."""
    other = tiny_log()
    other["name"] = ["E", "F", "G", "H"]
    third = tiny_log()
    third["name"] = ["I", "J", "K", "L"]
    (tmp_path / "a.json").write_text(dump(tiny_log()))
    (tmp_path / "b.json.gz").write_bytes(gzip.compress(dump(other).encode()))
    (tmp_path / "bad.json").write_text("not json")
    names = ["a.json", "bad.json", "-", "missing.json", "b.json.gz"]
    r = run(kifuzan, *names, cwd=tmp_path, input=gzip.compress(dump(third).encode()))
    assert r.returncode == 1
    assert r.stdout == mjai(tiny_log()) + mjai(third) + mjai(other)
    assert r.stderr.decode().splitlines() == [
        "kifuzan: bad.json: JsonParsingError: JSON syntax error at byte 0: problem while parsing an atom starting with the letter 'n'",
        "kifuzan: missing.json: FileNotFoundError: [Errno 2] No such file or directory: 'missing.json'",
    ]


def test_gzip_to_output_file(kifuzan, tmp_path):
    (tmp_path / "b.json.gz").write_bytes(gzip.compress(dump(tiny_log()).encode()))
    r = run(kifuzan, "b.json.gz", "-o", "out.mjson", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, b""), r.stderr.decode()
    assert (tmp_path / "out.mjson").read_bytes() == mjai(tiny_log())


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "usage: kifuzan"),
        (["sub"], "sub is a folder; to convert a folder: kifuzan convert sub -o OUTDIR"),
        (["a.json", "a.json", "-o", "x"], "-o takes one FILE; to convert many: kifuzan convert"),
    ],
    ids=["no-file", "folder", "output-of-two"],
)
def test_usage_error(kifuzan, tmp_path, args, message):
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.json").write_text(dump(tiny_log()))
    r = run(kifuzan, *args, cwd=tmp_path)
    assert r.returncode == 2
    assert message in r.stderr.decode()
    assert r.stdout == b"" and not (tmp_path / "x").exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (["a.json", "-o", "a.json"], "the output a.json is the input FILE"),
        (["a.json", "-o", "link.json"], "the output link.json is the input FILE"),
        (["a.json", "-o", "hard.json"], "the output hard.json is the input FILE"),
        (["a.json", "--level", "鳳", "--no-score"], "--level, --no-score: only with --to tenhou6, for the header"),
        (["a.json", "--ref", ""], "--ref: only with --to tenhou6"),
        (["convert", "a.json", "-o", "x", "--lobby", "0"], "--lobby: only with --to tenhou6"),
    ],
    ids=["output-is-input", "through-a-link", "through-a-hard-link", "header-with-mjai", "ref-with-mjai", "convert-header-with-mjai"],
)
def test_refused_before_anything_is_written(kifuzan, tmp_path, args, message):
    record = dump(tiny_log())
    (tmp_path / "a.json").write_text(record)
    (tmp_path / "link.json").symlink_to("a.json")
    os.link(tmp_path / "a.json", tmp_path / "hard.json")
    r = run(kifuzan, *args, cwd=tmp_path)
    assert (r.returncode, r.stdout) == (2, b"")
    assert message in r.stderr.decode()
    assert (tmp_path / "a.json").read_text() == record and not (tmp_path / "x").exists()


def test_ref_given_empty_is_kept(kifuzan, tmp_path):
    (tmp_path / "game.mjson").write_bytes(mjai(tiny_log()))
    refs = [json.loads(run(kifuzan, "game.mjson", "--to", "tenhou6", *ref, cwd=tmp_path).stdout)["ref"] for ref in ([], ["--ref", ""], ["--ref", "r"])]
    assert refs == ["game", "", "r"]


def test_convert_version(kifuzan):
    r = run(kifuzan, "convert", "--version")
    assert (r.returncode, r.stdout) == (0, f"kifuzan {PROJECT_VERSION}\n".encode())


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["{file}"], ["-"], ["convert", "-"]], ids=["file", "stdin", "convert-stdin"])
def test_full_standard_output_is_one_line_and_exit_1(kifuzan, tiny_file, args):
    with open("/dev/full", "wb") as full:
        r = subprocess.run([*kifuzan, *[a.format(file=tiny_file) for a in args]], input=tiny_file.read_bytes(),
                           stdout=full, stderr=subprocess.PIPE, timeout=120)
    assert (r.returncode, r.stderr.decode()) == (1, "kifuzan: cannot write to standard output: No space left on device\n")


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))


@pytest.mark.parametrize("old", [b"the old lines\n", None], ids=["replaced", "new"])
def test_output_over_the_size_limit_leaves_the_old_file_or_none(kifuzan, tiny_file, old):
    out = tiny_file.with_name("out.mjson")
    if old is not None:
        out.write_bytes(old)
    r = subprocess.run([*kifuzan, str(tiny_file), "-o", str(out)], capture_output=True, timeout=120, preexec_fn=limit_file_size)
    assert (r.returncode, r.stderr.decode()) == (1, f"kifuzan: {out}: cannot write: File too large\n")
    assert sorted(p.name for p in tiny_file.parent.iterdir()) == ["game.json"] + (["out.mjson"] if old else [])
    if old is not None:
        assert out.read_bytes() == old


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_report_that_cannot_be_written_still_ends_with_the_summary(kifuzan, tmp_path):
    (tmp_path / "a.json").write_text(dump(tiny_log()))
    (tmp_path / "bad.json").write_text("not json")
    r = run(kifuzan, "convert", "a.json", "bad.json", "-o", "out", "-j", "1", "--errors", "/dev/full", cwd=tmp_path)
    lines = r.stderr.decode().splitlines()
    assert r.returncode == 1
    assert lines[:2] == [
        "kifuzan: bad.json: JsonParsingError: JSON syntax error at byte 0: problem while parsing an atom starting with the letter 'n'",
        "kifuzan: cannot write the report /dev/full: No space left on device",
    ]
    assert lines[2].startswith("kifuzan: 1 converted, 0 skipped, 1 failed in ") and len(lines) == 3
    assert (tmp_path / "out" / "a.mjson").read_bytes() == mjai(tiny_log())


def test_closed_pipe_is_quiet(kifuzan, tmp_path):
    src = tmp_path / "big.json"
    src.write_text(big_text(), encoding="utf-8")
    read_end, write_end = os.pipe()
    os.close(read_end)  # every write by the child fails with EPIPE
    try:
        r = subprocess.run([*kifuzan, str(src)], stdout=write_end, stderr=subprocess.PIPE, timeout=120)
    finally:
        os.close(write_end)
    assert r.returncode == 141
    assert r.stderr == b""


def test_large_output_is_complete(kifuzan, tmp_path):
    src = tmp_path / "big.json"
    text = big_text()
    src.write_text(text, encoding="utf-8")
    r = run(kifuzan, str(src))
    assert r.returncode == 0
    assert r.stdout.decode("utf-8").splitlines() == tenhou_to_mjai(text)


# ---------------------------------------------------------------------------
# Ctrl-C: the terminal sends SIGINT to the whole process group, workers included.

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample_game.json"
CONVERT_INTERRUPTED = "kifuzan: interrupted; outputs written so far are whole, a rerun converts the rest\n"


def proc_text(pid, name, default):
    try:
        return Path(f"/proc/{pid}/{name}").read_text()
    except OSError:
        return default  # cannot tell: go on at once


@pytest.fixture(scope="module")
def many_records(tmp_path_factory):
    """1500 copies of the sample as tenhou.net/6 documents, and 300 as mjai
    records (which become documents in worker processes)."""
    src = tmp_path_factory.mktemp("many")
    for i in range(1500):
        (src / f"d{i // 100}").mkdir(exist_ok=True)
        shutil.copyfile(SAMPLE, src / f"d{i // 100}" / f"{i:04d}.json")
    mjai = tmp_path_factory.mktemp("many-mjai")
    for i in range(300):
        shutil.copyfile(SAMPLE.with_suffix(".mjson"), mjai / f"{i:04d}.mjson")
    return src, mjai


def has_children(out, pid):
    return proc_text(pid, f"task/{pid}/children", "?").split() or any(
        proc_text(pid, f"task/{t}/children", "").split() for t in os.listdir(f"/proc/{pid}/task")
    )


# (arguments, the moment to press Ctrl-C, what the command prints)
MOMENTS = [
    (["convert", "{src}", "-o", "{out}", "-j", "2"], lambda out, pid: out.is_dir(), CONVERT_INTERRUPTED),
    (["convert", "{mjai}", "-o", "{out}", "-j", "2", "--to", "tenhou6"], has_children, CONVERT_INTERRUPTED),
    (["convert", "{src}", "-o", "{out}", "-j", "2"], lambda out, pid: len(list(out.rglob("*.mjson"))) >= 20, CONVERT_INTERRUPTED),
    (["-"], lambda out, pid: "pipe" in proc_text(pid, "wchan", "pipe"), "kifuzan: interrupted\n"),
]


@pytest.mark.parametrize("args, ready, printed", MOMENTS, ids=["run-start", "workers-start", "mid-run", "reading-stdin"])
def test_ctrl_c_prints_one_line_and_exits_130(many_records, tmp_path, args, ready, printed):
    out = tmp_path / "out"
    src, mjai = many_records
    command = [sys.executable, "-m", "kifuzan", *[a.format(src=src, mjai=mjai, out=out) for a in args]]
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not ready(out, proc.pid):
            assert proc.poll() is None and time.monotonic() < deadline, "finished or stuck before the moment"
            time.sleep(0.002)
        os.killpg(proc.pid, signal.SIGINT)
        assert proc.wait(timeout=120) == 130
    finally:
        proc.kill()
    assert proc.stderr.read().decode() == printed  # no traceback, from the command or a worker
    while time.monotonic() < deadline:  # the workers leave with the command
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        pytest.fail("a worker outlived the command")
    assert not list(out.rglob("*.tmp"))  # the records in flight were finished, none cut off
    assert {p.read_bytes() for p in out.rglob("*.mjson")} <= {SAMPLE.with_suffix(".mjson").read_bytes()}


MJLOG_XML = Path(__file__).resolve().parents[3] / "shared" / "corpus" / "mjlog" / "050.xml"


@pytest.mark.parametrize(
    "make, expect",
    [
        pytest.param(lambda: gzip.compress(dump(tiny_log()).encode()), "tiny", id="gzip-as-json"),
        pytest.param(lambda: MJLOG_XML.read_bytes(), "mjlog", id="mjlog-as-json"),
        # The root after 64 KiB of comments: told by content all the same.
        pytest.param(lambda: b"<!--" + b"x" * (70 << 10) + b"-->" + MJLOG_XML.read_bytes(), "mjlog", id="late-root"),
        pytest.param(lambda: b'<!DOCTYPE mjloggm [<!ENTITY a "b">]><mjloggm ver="2.3"/>', "DOCTYPE", id="doctype"),
        pytest.param(lambda: "\n".join(tenhou_to_mjai(dump(tiny_log()))).encode(), "--to tenhou6", id="mjai"),
    ],
)
def test_records_are_told_by_content_under_any_name(tmp_path, make, expect):
    if expect == "mjlog" and not MJLOG_XML.exists():
        pytest.skip("shared mjlog records not available")
    data = make()
    src = tmp_path / "x.json"
    src.write_bytes(data)
    single = run([sys.executable, "-m", "kifuzan"], str(src))
    piped = run([sys.executable, "-m", "kifuzan", "convert", "-"], input=data)
    many = run([sys.executable, "-m", "kifuzan", "convert", str(src), "-o", str(tmp_path / "out")])
    if expect in ("tiny", "mjlog"):
        lines = TINY_LINES if expect == "tiny" else [l for l in tenhou_to_mjai(kifuzan_doc(MJLOG_XML))]
        wanted = "".join(l + "\n" for l in lines).encode()
        assert single.stdout == piped.stdout == (tmp_path / "out" / "x.mjson").read_bytes() == wanted
        assert single.returncode == piped.returncode == many.returncode == 0
    else:
        for r in (single, piped, many):
            assert r.returncode == 1 and expect in r.stderr.decode(), r.stderr.decode()
        assert not (tmp_path / "out" / "x.mjson").exists()


def kifuzan_doc(xml: Path) -> str:
    from kifuzan import mjlog_to_tenhou6

    return mjlog_to_tenhou6(xml.read_text(encoding="utf-8"))
