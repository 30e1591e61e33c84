"""The installed stubs: mypy --strict accepts correct use and rejects misuse."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import UNDER_ASAN

pytest.importorskip("mypy")
pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="types do not depend on the build")

# assert_type fails on Any as well, so an untyped re-export is caught here.
GOOD = '''\
from pathlib import Path
from typing import assert_type

import _kifuzan
import kifuzan


def lines(text: str) -> list[str]:
    return kifuzan.tenhou_to_mjai(text)


def from_file(path: Path, out: str | None) -> list[str]:
    return _kifuzan.tenhou_file_to_mjai(path, out) + kifuzan.tenhou_file_to_mjai(str(path), mjai_out=path)


def first(text: str) -> str:
    try:
        events = _kifuzan.tenhou_to_mjai(data=text)
    except (kifuzan.JsonParsingError, _kifuzan.TenhouLogParsingError) as e:
        assert_type(e, kifuzan.JsonParsingError | _kifuzan.TenhouLogParsingError)
        error: ValueError = e
        return str(error)
    except (kifuzan.TenhouToMjaiError, kifuzan.JsonSerializationError):
        return ""
    return events[0]


assert_type(kifuzan.tenhou_to_mjai("{}"), list[str])
assert_type(kifuzan.tenhou_file_to_mjai("a.json"), list[str])
assert_type(_kifuzan.tenhou_to_mjai("{}"), list[str])
assert_type(kifuzan.JsonParsingError, type[_kifuzan.JsonParsingError])
version: str = kifuzan.__version__ + _kifuzan.VERSION + _kifuzan.__version__ + kifuzan.VERSION
names: list[str] = _kifuzan.__all__
summary: kifuzan.Summary = kifuzan.convert_many(["logs"], "out", workers=1)
failures: list[kifuzan.Failure] = summary.failures
assert_type(kifuzan.is_mjai_record("{}"), bool)
assert_type(kifuzan.diagnose("{}"), kifuzan.Diagnosis | None)
assert_type(kifuzan.mjlog_to_mjai("<mjloggm/>"), list[str])
assert_type(kifuzan.mjlog_to_tenhou6("<mjloggm/>", ref=None), str)
mjlog_error: ValueError = kifuzan.MjlogError("x")
'''

# Each line marked "# E: code" must be reported with that code, and nothing else.
BAD = '''\
import _kifuzan
import kifuzan
import kifuzan.dask

kifuzan.tenhou_to_mjai(b"{}")  # E: arg-type
_kifuzan.tenhou_to_mjai(None)  # E: arg-type
kifuzan.tenhou_file_to_mjai(3)  # E: arg-type
_kifuzan.tenhou_file_to_mjai("a.json", b"b.mjson")  # E: arg-type
count: int = kifuzan.tenhou_to_mjai("{}")  # E: assignment
text: str = _kifuzan.tenhou_file_to_mjai("a.json")  # E: assignment
number: int = kifuzan.__version__  # E: assignment
kifuzan.tenhou_to_mjai()  # E: call-arg
_kifuzan.tenhou_file_to_mjai()  # E: call-arg
kifuzan.tenhou_to_mjai("{}", "{}")  # E: call-arg
kifuzan.tenhou_to_mjai(text="{}")  # E: call-arg
error: kifuzan.TenhouToMjaiError = kifuzan.JsonParsingError()  # E: assignment
kifuzan.convert_many("logs", "out", workers="2")  # E: arg-type
kifuzan.mjlog_to_tenhou6("<mjloggm/>", 5)  # E: arg-type
kifuzan.dask.convert_bag(["logs"], "out", compress="zip")  # E: arg-type


def parsed(why: kifuzan.Diagnosis) -> bool:
    return why.stage == "parsing"  # E: comparison-overlap
'''


def expected_errors(source: str) -> set[tuple[int, str]]:
    return {
        (n, m.group(1)) for n, line in enumerate(source.splitlines(), 1) if (m := re.search(r"# E: ([\w-]+)$", line))
    }


def test_mypy_strict_accepts_good_use_and_reports_each_misuse(tmp_path: Path) -> None:
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    # Run outside the project, so that only the installed package and stubs are seen.
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), "good.py", "bad.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    reported: dict[str, set[tuple[int, str]]] = {"good.py": set(), "bad.py": set()}
    for line in r.stdout.splitlines():
        if ": note: " in line:
            continue
        m = re.match(r"(good\.py|bad\.py):(\d+): error: .*\[([\w-]+)\]$", line)
        assert m, f"unexpected mypy output: {line!r}\n{r.stdout}{r.stderr}"
        reported[m.group(1)].add((int(m.group(2)), m.group(3)))
    assert reported["good.py"] == set(), r.stdout
    assert reported["bad.py"] == expected_errors(BAD), r.stdout
    assert r.returncode == 1, r.stderr
