"""tenhou_file_to_mjai: paths, reading, writing, and the failure messages."""

from __future__ import annotations

import errno
import os
import pathlib
import stat
import subprocess

import pytest

import _kifuzan
from _kifuzan import JsonParsingError, tenhou_file_to_mjai, tenhou_to_mjai
from conftest import CORPUS, STAGE_IDS, STAGE_TEXTS, TINY_LINES, big_text, no_asan, run_python


def as_file_text(lines):
    return "".join(line + "\n" for line in lines)


def check_plain_os_error(error, exc_type, message):
    assert type(error) is exc_type
    assert error.args == (message,)
    assert error.errno is None and error.strerror is None and error.filename is None
    assert error.__cause__ is None and error.__context__ is None


# ---------------------------------------------------------------------------
# Arguments


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize("convert", [str, pathlib.Path, pathlib.PurePosixPath, lambda p: FsPath(str(p))])
def test_path_forms_accepted(tiny_file, convert):
    before = sorted(tiny_file.parent.iterdir())
    assert tenhou_file_to_mjai(convert(tiny_file)) == TINY_LINES
    assert tenhou_file_to_mjai(convert(tiny_file), None) == TINY_LINES
    assert sorted(tiny_file.parent.iterdir()) == before


def test_same_result_as_the_string_entry(tiny_file):
    assert tenhou_file_to_mjai(tiny_file) == tenhou_to_mjai(tiny_file.read_text(encoding="utf-8"))


def fspath_message(obj):
    try:
        os.fspath(obj)
    except TypeError as e:
        return str(e)
    raise AssertionError("os.fspath accepted it")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"filename": b"game.json"}, "argument 'filename': 'bytes' object cannot be converted to 'PyString'"),
        ({"filename": FsPath(b"x")}, "argument 'filename': 'bytes' object cannot be converted to 'PyString'"),
        ({"filename": 3}, "argument 'filename': " + fspath_message(3)),
        ({"filename": FsPath(3)}, "argument 'filename': " + fspath_message(FsPath(3))),
        ({"filename": "missing", "mjai_out": b"x"}, "argument 'mjai_out': 'bytes' object cannot be converted to 'PyString'"),
        ({"filename": "missing", "mjai_out": 1.5}, "argument 'mjai_out': " + fspath_message(1.5)),
    ],
)
def test_path_conversion_errors(kwargs, message):
    # The paths are converted before any file is opened: "missing" is never tried.
    with pytest.raises(TypeError) as info:
        tenhou_file_to_mjai(**kwargs)
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_other_path_errors_pass_through():
    with pytest.raises(KeyError, match="boom"):
        tenhou_file_to_mjai(FsPath(KeyError("boom")))
    # Not encodable in the file-system encoding, even with surrogateescape.
    with pytest.raises(UnicodeEncodeError):
        tenhou_file_to_mjai("\ud800.json")


# ---------------------------------------------------------------------------
# Input


@pytest.mark.parametrize(
    "name, shown",
    [
        ("missing.json", "missing.json"),
        ('a"b\tc\nd\'e\\f\r.json', 'a\\"b\\tc\\nd\\\'e\\\\f\\r.json'),
        ("x\x01y\x7f\x9b.json", "x\\u{1}y\\u{7f}\\u{9b}.json"),
        ("ボブ é.json", "ボブ é.json"),
        ("bad\udcff.json", "bad\\xFF.json"),
    ],
)
def test_missing_file_message_quotes_the_name(tmp_path, name, shown):
    with pytest.raises(FileNotFoundError) as info:
        tenhou_file_to_mjai(str(tmp_path / name))
    expected = f'failed to open tenhou.net/6 log file "{tmp_path}/{shown}"'
    check_plain_os_error(info.value, FileNotFoundError, expected)


@pytest.mark.parametrize("name", ["", "nul\0byte"])
def test_unusable_names_fail_to_open(name):
    with pytest.raises(FileNotFoundError, match="^failed to open tenhou.net/6 log file "):
        tenhou_file_to_mjai(name)


def test_directory_fails_to_open(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        tenhou_file_to_mjai(tmp_path)
    check_plain_os_error(info.value, FileNotFoundError, f'failed to open tenhou.net/6 log file "{tmp_path}"')


def test_invalid_utf8(tmp_path, tiny_file):
    bad = tmp_path / "bad.json"
    bad.write_bytes(tiny_file.read_bytes().replace("ボブ".encode(), b"\xff\xfe"))
    with pytest.raises(OSError) as info:
        tenhou_file_to_mjai(bad)
    check_plain_os_error(info.value, OSError, "stream did not contain valid UTF-8")


def test_byte_order_mark_reaches_the_parser(tmp_path, tiny_file):
    bom = tmp_path / "bom.json"
    bom.write_bytes(b"\xef\xbb\xbf" + tiny_file.read_bytes())
    with pytest.raises(JsonParsingError):
        tenhou_file_to_mjai(bom)


@pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs Linux /proc")
def test_read_error_is_mapped_from_errno():
    # Reading /proc/self/mem at offset 0 (never mapped) fails with EIO.
    with pytest.raises(OSError) as info:
        tenhou_file_to_mjai("/proc/self/mem")
    check_plain_os_error(info.value, OSError, f"{os.strerror(errno.EIO)} (os error {errno.EIO})")


def test_stream_without_size_is_read_to_the_end():
    # A pipe reports no size; the text is far larger than any first buffer.
    text = big_text(kyokus=3, name_len=300_000)
    code = "import _kifuzan, sys; sys.stdout.write('\\n'.join(_kifuzan.tenhou_file_to_mjai('/dev/stdin')))"
    r = run_python(code, input=text.encode())
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().split("\n") == tenhou_to_mjai(text)


@no_asan
@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs a tmpfs for a huge sparse file")
def test_file_too_large_for_memory_raises_memory_error(tiny_text):
    # 256 TiB claimed size: more than the address space, so the buffer cannot
    # be allocated whatever the overcommit policy.
    path = f"/dev/shm/kifuzan-test-{os.getpid()}.json"
    with open(path, "wb") as f:
        try:
            f.truncate(1 << 48)
        except OSError:
            pytest.skip("file system refuses the sparse size")
    try:
        with pytest.raises(MemoryError):
            tenhou_file_to_mjai(path)
    finally:
        os.unlink(path)
    assert tenhou_to_mjai(tiny_text) == TINY_LINES


# ---------------------------------------------------------------------------
# Output


def test_output_file_holds_one_line_per_event(tmp_path, tiny_file):
    out = tmp_path / "out.mjson"
    out.write_text("stale content that is longer than nothing\n" * 100)
    lines = tenhou_file_to_mjai(tiny_file, out)
    assert lines == TINY_LINES
    data = out.read_bytes()
    assert data.decode("utf-8") == as_file_text(lines)
    assert data.splitlines(keepends=True) == [(line + "\n").encode() for line in lines]


def test_output_file_mode_follows_umask(tmp_path, tiny_file):
    out = tmp_path / "out.mjson"
    old = os.umask(0o027)
    try:
        tenhou_file_to_mjai(tiny_file, str(out))
    finally:
        os.umask(old)
    assert out.stat().st_mode & 0o777 == 0o640


def test_output_larger_than_one_chunk(tmp_path):
    src = tmp_path / "big.json"
    src.write_text(big_text(), encoding="utf-8")
    out = tmp_path / "big.mjson"
    lines = tenhou_file_to_mjai(src, out)
    assert max(len(line) for line in lines) > 64 * 1024
    assert len(as_file_text(lines)) - max(len(line) for line in lines) > 2 * 64 * 1024
    assert out.read_text(encoding="utf-8") == as_file_text(lines)


def test_output_may_replace_the_input(tmp_path, tiny_file):
    assert tenhou_file_to_mjai(tiny_file, tiny_file) == TINY_LINES
    assert tiny_file.read_text(encoding="utf-8") == as_file_text(TINY_LINES)


@pytest.mark.parametrize(
    "text, exc_name", [(t, e) for t, e, _ in STAGE_TEXTS] + [(b"\xff", "OSError")], ids=STAGE_IDS + ["utf8"]
)
def test_failed_conversion_leaves_output_untouched(tmp_path, text, exc_name):
    exc_type = getattr(_kifuzan, exc_name, OSError)
    src = tmp_path / "in.json"
    if isinstance(text, bytes):
        src.write_bytes(text)
    else:
        src.write_text(text, encoding="utf-8")
    out = tmp_path / "out.mjson"
    out.write_text("keep\n")
    with pytest.raises(exc_type):
        tenhou_file_to_mjai(src, out)
    assert out.read_text() == "keep\n"
    missing = tmp_path / "never.mjson"
    with pytest.raises(exc_type):
        tenhou_file_to_mjai(src, missing)
    assert not missing.exists()


@pytest.mark.parametrize("text, exc_name, message", STAGE_TEXTS, ids=STAGE_IDS)
def test_stage_failures_from_a_file(tmp_path, text, exc_name, message):
    exc_type = getattr(_kifuzan, exc_name)
    src = tmp_path / "in.json"
    src.write_text(text, encoding="utf-8")
    with pytest.raises(exc_type) as info:
        tenhou_file_to_mjai(src)
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize(
    "name, shown",
    [
        ("missing/out.mjson", "missing/out.mjson"),
        ("missing/b\udcffd\t.mjson", "missing/b\ufffdd\t.mjson"),
    ],
)
def test_output_cannot_be_created(tmp_path, tiny_file, name, shown):
    with pytest.raises(OSError) as info:
        tenhou_file_to_mjai(tiny_file, str(tmp_path / name))
    check_plain_os_error(info.value, OSError, f"failed to create mjai out file {tmp_path}/{shown}")


def test_output_is_a_directory(tmp_path, tiny_file):
    with pytest.raises(OSError) as info:
        tenhou_file_to_mjai(tiny_file, tmp_path)
    check_plain_os_error(info.value, OSError, f"failed to create mjai out file {tmp_path}")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failure(tiny_file):
    with pytest.raises(OSError) as info:
        tenhou_file_to_mjai(tiny_file, "/dev/full")
    check_plain_os_error(info.value, OSError, "failed to write to mjai out file")


FILE_SIZE_LIMITED = """
import resource, signal, sys, _kifuzan
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
try:
    _kifuzan.tenhou_file_to_mjai(sys.argv[1], sys.argv[2])
except OSError as e:
    sys.stderr.write(type(e).__name__ + ": " + str(e))
"""


@pytest.mark.parametrize("old", [b"the old lines\n", None], ids=["replaced", "new"])
def test_a_failed_write_leaves_the_old_file_or_none(tmp_path, tiny_file, old):
    out = tmp_path / "out.mjson"
    if old is not None:
        out.write_bytes(old)
    r = run_python(FILE_SIZE_LIMITED, str(tiny_file), str(out))
    assert r.stderr.decode() == "OSError: failed to write to mjai out file"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["game.json"] + (["out.mjson"] if old else [])
    if old is not None:
        assert out.read_bytes() == old


def test_a_replaced_file_keeps_its_links_and_permissions(tmp_path, tiny_file):
    out = tmp_path / "out.mjson"
    out.write_text("old")
    out.chmod(0o640)
    link = tmp_path / "link.mjson"
    link.symlink_to(out.name)
    tenhou_file_to_mjai(tiny_file, link)
    assert link.is_symlink() and out.read_text(encoding="utf-8") == as_file_text(TINY_LINES)
    assert out.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["game.json", "link.mjson", "out.mjson"]


def test_a_fifo_is_written_in_place(tmp_path, tiny_file):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    try:
        tenhou_file_to_mjai(tiny_file, fifo)
        got, _ = reader.communicate(timeout=60)
    finally:
        reader.kill()
    assert got.decode("utf-8") == as_file_text(TINY_LINES)
    assert stat.S_ISFIFO(fifo.stat().st_mode)


TO_STDOUT = """
import io, sys, _kifuzan
sys.stdout = io.StringIO()  # the OS stream is used, not this object
lines = _kifuzan.tenhou_file_to_mjai(sys.argv[1], sys.argv[2])
sys.stderr.write(str(len(lines)))
"""


@pytest.mark.parametrize(
    "out, created",
    [
        ("-", None),
        ("-/", None),
        ("-//", None),
        ("-/.", None),
        ("-/./", None),
        ("./-", "-"),
        ("-.", "-."),
        ("-/..", "failed to create mjai out file -/.."),
    ],
)
def test_dash_means_standard_output(tmp_path, tiny_file, out, created):
    r = run_python(TO_STDOUT, str(tiny_file), out, cwd=tmp_path)
    if created is None:
        assert r.returncode == 0, r.stderr.decode()
        assert r.stdout.decode("utf-8") == as_file_text(TINY_LINES)
        assert r.stderr == str(len(TINY_LINES)).encode()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["game.json"]
    elif created.startswith("failed"):
        assert r.stdout == b""
        assert r.stderr.decode().rstrip().endswith("OSError: " + created)
    else:
        assert r.returncode == 0, r.stderr.decode()
        assert r.stdout == b""
        assert (tmp_path / created).read_text(encoding="utf-8") == as_file_text(TINY_LINES)


def test_standard_output_through_a_pipe_in_chunks(tmp_path):
    src = tmp_path / "big.json"
    text = big_text()
    src.write_text(text, encoding="utf-8")
    r = run_python(TO_STDOUT, str(src), "-")
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode("utf-8") == as_file_text(tenhou_to_mjai(text))


CLOSED_PIPE = """
import os, sys, _kifuzan
r, w = os.pipe()
os.close(r)
os.dup2(w, 1)
try:
    _kifuzan.tenhou_file_to_mjai(sys.argv[1], "-")
except OSError as e:
    sys.stderr.write(type(e).__name__ + ": " + str(e))
"""


def test_closed_standard_output_raises_instead_of_killing(tiny_file):
    r = run_python(CLOSED_PIPE, str(tiny_file))
    assert r.returncode == 0
    assert r.stderr.decode() == "OSError: failed to write to mjai out file"


# ---------------------------------------------------------------------------
# Whole games


CORPUS_GAMES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []


@pytest.mark.skipif(not CORPUS_GAMES, reason="game corpus not present")
@pytest.mark.parametrize("game", CORPUS_GAMES, ids=lambda p: p.stem)
def test_corpus_game(tmp_path, game):
    expected = game.with_suffix(".mjson").read_bytes()
    out = tmp_path / "out.mjson"
    lines = tenhou_file_to_mjai(game, out)
    assert lines == expected.decode("utf-8").splitlines()
    assert out.read_bytes() == expected
