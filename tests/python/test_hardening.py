"""Damaged, huge and deep inputs, hostile files, long runs and ended threads."""

from __future__ import annotations

import contextlib
import gc
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

import test_leaks
from _kifuzan import JsonParsingError, tenhou_file_to_mjai, tenhou_to_mjai
from conftest import STAGE_IDS, STAGE_TEXTS, TINY_LINES, UNDER_ASAN, big_text, dump, no_asan, tiny_log
from test_properties import MODULE_ERRORS, RECORD_PATHS, outcome

HERE = Path(__file__).resolve().parent
# Shadow memory, quarantine and redzones make RSS meaningless under ASan.
MiB = 1 << 20
UTF8_MESSAGE = "stream did not contain valid UTF-8"
WRITE_MESSAGE = "failed to write to mjai out file"


def run_child(code: str, *args: str, timeout: float = 300) -> subprocess.CompletedProcess[bytes]:
    r = subprocess.run(
        [sys.executable, "-c", code, *args],
        capture_output=True, timeout=timeout, cwd=HERE, env={**os.environ, "PYTHONUTF8": "1"},
    )  # fmt: skip
    # A negative code is a signal: a crash, not an exception.
    assert r.returncode >= 0, f"child killed by signal {-r.returncode}: {r.stderr.decode()[-2000:]}"
    return r


def child_json(code: str, *args: str, timeout: float = 300):
    r = run_child(code, *args, timeout=timeout)
    assert r.returncode == 0, r.stderr.decode()[-2000:]
    return json.loads(r.stdout.decode().splitlines()[-1])


# ---------------------------------------------------------------------------
# Truncated and corrupted records, swept in a child process


def bytes_outcome(data: bytes | str, scratch: Path, known=None):
    """outcome() for raw bytes: text that is not UTF-8 can only come from a file."""
    if isinstance(data, str):
        return outcome(data, known)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        scratch.unlink(missing_ok=True)  # truncating in place makes ext4 flush
        scratch.write_bytes(data)
        try:
            tenhou_file_to_mjai(scratch)
        except OSError as e:
            if type(e) is OSError and e.args == (UTF8_MESSAGE,):
                return "utf8"
            raise
        raise AssertionError("invalid UTF-8 was accepted")
    return outcome(text, known)


FLIPS = {"xor1": lambda b: b ^ 0x01, "xor16": lambda b: b ^ 0x10, "bracket": lambda b: 0x5D, "lead": lambda b: 0xC3}


def prefixes(data: bytes):
    """(k, the first k bytes), as str where they end on a character boundary."""
    text = data.decode("utf-8")
    chars = 0
    for k in range(len(data)):
        on_boundary = data[k] & 0xC0 != 0x80
        yield k, text[:chars] if on_boundary else data[:k]
        chars += on_boundary


def sweep(kind: str, scratch: Path) -> list[str]:
    """Runs every variant of every record; returns the problems found."""
    problems = []
    smallest = min(RECORD_PATHS, key=lambda p: p.stat().st_size)
    for path in RECORD_PATHS:
        data = path.read_bytes()
        full = outcome(data.decode("utf-8"))
        end = len(data.rstrip())
        if kind == "truncate":
            variants = ((f"cut {k}", cut, full if k >= end else None) for k, cut in prefixes(data))
        else:
            # Every offset of the sample and of the smallest record, a stride elsewhere.
            stride = 1 if path in (RECORD_PATHS[0], smallest) else max(1, len(data) // 400)
            variants = (
                (f"flip {name} at {k}", data[:k] + bytes([flip(data[k])]) + data[k + 1 :], "any")
                for n, (name, flip) in enumerate(FLIPS.items())
                for k in range(n % stride, len(data), stride)
            )
        for label, variant, expected in variants:
            try:
                got = bytes_outcome(variant, scratch, full)
            except BaseException as e:  # noqa: BLE001 - everything else is a finding
                problems.append(f"{path.name} {label}: {type(e).__name__}: {e}")
                continue
            if expected is None and got not in ("JsonParsingError", "utf8"):
                problems.append(f"{path.name} {label}: a cut record gave {str(got)[:80]}")
            elif expected not in (None, "any") and got != expected:
                problems.append(f"{path.name} {label}: differs from the whole record")
    return problems[:20] + [f"... {len(problems) - 20} more"] * (len(problems) > 20)


SWEEP = """
import json, sys
from pathlib import Path
from test_hardening import sweep
print(json.dumps(sweep(sys.argv[1], Path(sys.argv[2]))))
"""


@pytest.mark.parametrize("kind", ["truncate", "flip"])
def test_damaged_records(tmp_path, kind):
    # Every prefix short of the closing bracket is not JSON; flips may give
    # anything the module documents, but nothing else.
    assert child_json(SWEEP, kind, str(tmp_path / "variant.json"), timeout=600) == []


# ---------------------------------------------------------------------------
# Depth and size

RSS_CHILD = """
import ctypes, gc, json, resource, sys, _kifuzan
exec(sys.argv[1])  # defines make(): the input text, or a path to read
libc = ctypes.CDLL(None)
def rss():
    gc.collect()
    libc.malloc_trim(0)  # give back what malloc merely caches
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()
before = rss()
data = make()
try:
    result = (_kifuzan.tenhou_file_to_mjai if sys.argv[2] == "file" else _kifuzan.tenhou_to_mjai)(data)
    outcome = "ok" if result[-1] == '{"type":"end_game"}' else "bad"
except ValueError as e:
    outcome = type(e).__name__
# The caller's str keeps the UTF-8 copy the interpreter caches in it, so
# the input goes too before measuring.
result = data = None
after = rss()
# Not ru_maxrss: execve hands the parent's high-water mark on to the child.
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
print(json.dumps({"outcome": outcome, "retained": after - before, "peak": peak}))
"""

DEEP = 1_000_000
DEEP_CASES = {
    "top-level": f"'[' * {DEEP} + ']' * {DEEP}",
    "unclosed": f"'[' * {DEEP}",
    "objects": f"'{{\"a\":' * {DEEP} + '1' + '}}' * {DEEP}",
    "unknown-key": f"TINY[:-1] + ', \"x\": ' + '[' * {DEEP} + ']' * {DEEP} + '}}'",
    "take-entry": f"TINY.replace('[41]', '[' + '[' * {DEEP} + ']' * {DEEP} + ']', 1)",
    "result-entry": f"TINY.replace('[0, 0, 0, 0]]', '[0, 0, 0, 0], ' + '[' * {DEEP} + ']' * {DEEP} + ']', 1)",
}


@pytest.mark.parametrize("case", DEEP_CASES)
def test_deep_nesting_is_refused_without_recursion(case):
    make = f"TINY = {dump(tiny_log())!r}\ndef make(): return {DEEP_CASES[case]}"
    got = child_json(RSS_CHILD, make, "text")
    assert got["outcome"] == "JsonParsingError"
    if not UNDER_ASAN:
        assert got["peak"] < 12 * 2 * DEEP + 100 * MiB


def nested(levels: int) -> str:
    return dump(tiny_log())[:-1] + ', "x": ' + "[" * levels + "]" * levels + "}"


@pytest.mark.parametrize("levels, accepted", [(127, True), (128, False)])
def test_nesting_limit(levels, accepted):
    # The document's own object is the first of the 128 allowed levels.
    if accepted:
        assert tenhou_to_mjai(nested(levels)) == TINY_LINES
    else:
        with pytest.raises(JsonParsingError):
            tenhou_to_mjai(nested(levels))


def kyoku_text(broken: bool = False) -> str:
    kyoku = tiny_log()["log"][0]
    if broken:
        kyoku[5] = ["c111213"]
    return json.dumps(kyoku, separators=(",", ":"))


def many_kyoku(size: int) -> str:
    one = kyoku_text()
    body = ",".join([one] * (size // (len(one) + 1)) + [kyoku_text(broken=True)])
    return dump(tiny_log()).replace('"log": [', '"log": [' + body + ",", 1)


def with_key(value: str) -> str:
    return dump(tiny_log())[:-1] + ', "x": ' + value + "}"


# (input, entry point, outcome). A refused input must give its memory back
# as fully as an accepted one.
HUGE_CASES = {
    "string-accepted-text": (lambda: with_key('"' + "a" * (100 * MiB) + '"'), "text", "ok"),
    "string-accepted-file": (lambda: with_key('"' + "a" * (100 * MiB) + '"'), "file", "ok"),
    "many-kyoku-refused": (lambda: many_kyoku(100 * MiB), "file", "TenhouToMjaiError"),
    "string-then-too-deep": (lambda: with_key('"' + "a" * (100 * MiB) + '", "y": ' + "[" * 200 + "]" * 200), "file", "JsonParsingError"),
    "dense-15MB-accepted": (lambda: with_key("[" + "0," * (15 * MiB // 2) + "0]"), "file", "ok"),
}  # fmt: skip


@no_asan
@pytest.mark.parametrize("case", HUGE_CASES)
def test_huge_input_memory(tmp_path, case):
    build, entry, expected = HUGE_CASES[case]
    path = tmp_path / "huge.json"
    path.write_text(build(), encoding="utf-8")
    size = path.stat().st_size
    make = f"def make(): return {str(path)!r}" if entry == "file" else f"def make(): return open({str(path)!r}).read()"
    got = child_json(RSS_CHILD, make, entry)
    assert got["outcome"] == expected
    assert got["peak"] < 12 * size + 100 * MiB, f"peak RSS {got['peak'] / MiB:.0f} MiB for {size / MiB:.0f} MiB"
    assert got["retained"] < 32 * MiB, f"{got['retained'] / MiB:.0f} MiB still held after the call"


# ---------------------------------------------------------------------------
# Files


def snapshot(path: Path):
    st = path.stat()
    return path.read_bytes(), st.st_mtime_ns


def write_input(path: Path, content: str | bytes) -> Path:
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    # Old enough that a rewrite within the same clock tick would still show.
    os.utime(path, ns=(1_000_000_000, 1_000_000_000))
    return path


FAILING_INPUTS = {name: (text, exc) for (text, exc, _), name in zip(STAGE_TEXTS, STAGE_IDS)}
FAILING_INPUTS["blank"] = (" \n\t\r\n", "JsonParsingError")
FAILING_INPUTS["bad-utf8"] = (b'{"log":[],"name":["\xc0\x80"]}', "OSError")


@pytest.mark.parametrize("name", FAILING_INPUTS)
@pytest.mark.parametrize("out", ["other", "same", "none"])
def test_failed_input_is_left_untouched(tmp_path, name, out):
    content, exc_name = FAILING_INPUTS[name]
    src = write_input(tmp_path / "in.json", content)
    before = snapshot(src)
    target = {"other": tmp_path / "out.mjson", "same": src, "none": None}[out]
    with pytest.raises(OSError if exc_name == "OSError" else MODULE_ERRORS) as info:
        tenhou_file_to_mjai(src, target)
    assert type(info.value).__name__ == exc_name
    assert snapshot(src) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.json"]


def output_failures(tmp_path: Path):
    return {
        "missing-input": (tmp_path / "nope.json", tmp_path / "out.mjson", FileNotFoundError),
        "directory-input": (tmp_path / "dir", tmp_path / "out.mjson", FileNotFoundError),
        "missing-out-dir": (tmp_path / "in.json", tmp_path / "no" / "out.mjson", OSError),
        "out-is-directory": (tmp_path / "in.json", tmp_path / "dir", OSError),
        "out-full-device": (tmp_path / "in.json", Path("/dev/full"), OSError),
    }


@pytest.mark.parametrize("case", list(output_failures(Path("."))))
def test_file_failures_leave_the_input_untouched(tmp_path, tiny_text, case):
    src, out, exc_type = output_failures(tmp_path)[case]
    if case == "out-full-device" and not out.exists():
        pytest.skip("needs /dev/full")
    (tmp_path / "dir").mkdir()
    given = write_input(tmp_path / "in.json", tiny_text)
    before = snapshot(given)
    with pytest.raises(exc_type):
        tenhou_file_to_mjai(src, out)
    assert snapshot(given) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir", "in.json"]
    assert not any((tmp_path / "dir").iterdir())


# Each inserted into a player's name.
UTF8_FORMS = [
    (b"\xc0\xaf", False),  # overlong "/"
    (b"\xe0\x80\xaf", False),  # overlong, three bytes
    (b"\xed\xa0\x80", False),  # a surrogate
    (b"\xf4\x90\x80\x80", False),  # above U+10FFFF
    (b"\xf8\x88\x80\x80\x80", False),  # five-byte form
    (b"\x80", False),  # lone continuation byte
    (b"\xe3\x81", False),  # cut short by the closing quote
    (b"\xef\xbf\xbf", True),  # U+FFFF
    (b"\xf4\x8f\xbf\xbf", True),  # U+10FFFF
    (b"\xed\x9f\xbf\xee\x80\x80", True),  # U+D7FF U+E000, around the surrogates
]


@pytest.mark.parametrize("form, valid", UTF8_FORMS, ids=lambda v: v.hex() if isinstance(v, bytes) else None)
def test_utf8_validation(tmp_path, form, valid):
    data = dump(tiny_log()).encode().replace(b"Alice", b"A" + form + b"e")
    src = write_input(tmp_path / "in.json", data)
    if valid:
        assert tenhou_file_to_mjai(src) == tenhou_to_mjai(data.decode())
    else:
        with pytest.raises(OSError) as info:
            tenhou_file_to_mjai(src)
        assert type(info.value) is OSError and info.value.args == (UTF8_MESSAGE,)


NO_STDOUT = """
import os, sys, _kifuzan
os.close(1)
try:
    _kifuzan.tenhou_file_to_mjai(sys.argv[1], "-")
except OSError as e:
    sys.stderr.write(type(e).__name__ + ": " + str(e) + "\\n")
print(len(_kifuzan.tenhou_to_mjai(open(sys.argv[1]).read())), file=sys.stderr)
"""


def test_closed_standard_output(tiny_file):
    r = run_child(NO_STDOUT, str(tiny_file))
    assert r.returncode == 0, r.stderr.decode()
    assert r.stderr.decode().splitlines() == [f"OSError: {WRITE_MESSAGE}", str(len(TINY_LINES))]


PIPE_WRITER = """
import sys, _kifuzan
sys.stdin.read(1)
_kifuzan.tenhou_file_to_mjai(sys.argv[1], "-")
"""


def test_reader_goes_away_mid_stream(tmp_path):
    # The reader takes a little, then closes: a later chunk meets a broken
    # pipe, which must surface as an exception, not as death by SIGPIPE.
    src = tmp_path / "big.json"
    src.write_text(big_text(), encoding="utf-8")
    child = subprocess.Popen(
        [sys.executable, "-c", PIPE_WRITER, str(src)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=HERE,
    )  # fmt: skip
    child.stdin.write(b"go")
    child.stdin.close()
    assert len(child.stdout.read(4096)) == 4096
    child.stdout.close()
    err = child.stderr.read().decode()
    assert child.wait(timeout=120) == 1, err
    assert err.rstrip().endswith(f"OSError: {WRITE_MESSAGE}"), err


AS_NOBODY = """
import json, os, sys, _kifuzan
if os.geteuid() == 0:
    try:
        os.setgid(65534)
        os.setuid(65534)
    except PermissionError as e:
        print(json.dumps({"skip": str(e)}))
        sys.exit()
got = []
for src, out in json.loads(sys.argv[1]):
    try:
        _kifuzan.tenhou_file_to_mjai(src, out)
        got.append("ok")
    except OSError as e:
        got.append(type(e).__name__ + ": " + str(e))
print(json.dumps(got))
"""


def test_permission_denied(tiny_text):
    # Root passes every permission check, so the child drops to nobody first.
    # Under /tmp itself: pytest's own tmp_path is closed to other users.
    root = Path(tempfile.mkdtemp(prefix="kifuzan-perm-"))
    try:
        root.chmod(0o755)
        ok = write_input(root / "ok.json", tiny_text)
        ok.chmod(0o644)
        locked = write_input(root / "locked.json", tiny_text)
        locked.chmod(0o000)
        shut = root / "shut"
        shut.mkdir(mode=0o555)
        kept = write_input(root / "kept.mjson", "keep\n")
        kept.chmod(0o444)
        before = {p: snapshot(p) for p in (ok, locked, kept)}
        cases = [
            (locked, root / "out.mjson", f'FileNotFoundError: failed to open tenhou.net/6 log file "{locked}"'),
            (ok, shut / "out.mjson", f"OSError: failed to create mjai out file {shut}/out.mjson"),
            (ok, kept, f"OSError: failed to create mjai out file {kept}"),
        ]
        got = child_json(AS_NOBODY, json.dumps([[str(s), str(o)] for s, o, _ in cases]))
        if isinstance(got, dict):
            pytest.skip(f"cannot drop root privileges: {got['skip']}")
        assert got == [want for _, _, want in cases]
        assert {p: snapshot(p) for p in before} == before
        assert sorted(p.name for p in root.iterdir()) == ["kept.mjson", "locked.json", "ok.json", "shut"]
        assert not any(shut.iterdir())
    finally:
        shutil.rmtree(root)


# ---------------------------------------------------------------------------
# Long runs and threads

CALLS = 100_000


@contextlib.contextmanager
def stdout_to(open_target):
    """Points fd 1 elsewhere for a while (pytest may be capturing it)."""
    sys.stdout.flush()
    saved, fd = os.dup(1), open_target()
    os.dup2(fd, 1)
    os.close(fd)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def broken_pipe() -> int:
    r, w = os.pipe()
    os.close(r)
    return w


def long_run_cases(tmp_path):
    cases = {name: (call, None) for name, call in test_leaks.make_cases(tmp_path).items()}
    # Two kyoku of the sample: riichi, pon, kakan, ankan, dora, wins with ura.
    calls = json.loads(RECORD_PATHS[0].read_text(encoding="utf-8"))
    calls["log"] = [calls["log"][1], calls["log"][3]]
    calls = dump(calls)
    too_deep = nested(200)
    tiny = tmp_path / "game.json"
    cases["text-calls"] = (lambda: tenhou_to_mjai(calls), None)
    cases["text-too-deep"] = (lambda: tenhou_to_mjai(too_deep), None)
    cases["file-stdout"] = (lambda: tenhou_file_to_mjai(tiny, "-"), lambda: os.open(os.devnull, os.O_WRONLY))
    cases["file-stdout-broken"] = (lambda: tenhou_file_to_mjai(tiny, "-"), broken_pipe)
    return cases


def long_run_names():
    with tempfile.TemporaryDirectory() as d:
        return sorted(long_run_cases(Path(d)))


@pytest.fixture
def fast_dir(tmp_path):
    # Creating and truncating 100,000 files on ext4 costs a flush each time.
    if not os.path.isdir("/dev/shm"):
        return tmp_path
    d = Path(tempfile.mkdtemp(dir="/dev/shm", prefix="kifuzan-"))
    yield d
    shutil.rmtree(d)


@no_asan
@pytest.mark.parametrize("case", long_run_names())
def test_memory_flat_over_long_runs(fast_dir, case):
    call, stdout = long_run_cases(fast_dir)[case]
    old = signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    try:
        with stdout_to(stdout) if stdout else contextlib.nullcontext():
            traced_growth, rss_growth = test_leaks.memory_growth(call, CALLS)
    finally:
        signal.signal(signal.SIGPIPE, old)
    assert traced_growth < test_leaks.TRACED_LIMIT, f"traced memory grew by {traced_growth} bytes"
    assert rss_growth < test_leaks.RSS_LIMIT, f"RSS grew by {rss_growth} bytes"


@no_asan
def test_ended_threads_give_back_their_parser():
    # The module holds the interpreter lock for a whole call, so threads never
    # convert at once; what a thread has of its own is the parser it keeps
    # between calls, and that must go when the thread ends. Held, each takes
    # about 9x this record: 300 live threads hold over 100 MiB.
    text = big_text(kyokus=120, name_len=1000)
    assert 30_000 < len(text) < 100_000  # under the size whose parser is given back at once

    def in_new_thread():
        t = threading.Thread(target=tenhou_to_mjai, args=(text,))
        t.start()
        t.join()

    for _ in range(20):  # the allocator's arenas settle
        in_new_thread()
    gc.collect()
    before = test_leaks.rss()
    for _ in range(300):
        in_new_thread()
    gc.collect()
    growth = test_leaks.rss() - before
    assert growth < 16 * MiB, f"RSS grew by {growth / MiB:.1f} MiB over 300 ended threads"
