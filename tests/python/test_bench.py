"""The benchmark command runs (once, tiny); its figures are not judged here."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_benchmark_command_prints_its_tables():
    out = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--quick",
                          "--records", str(ROOT / "examples")], capture_output=True, text=True, check=True).stdout
    for title in ("tenhou_to_mjai(text) against", "tenhou_file_to_mjai(path, out) against", "scaling:", "memory:"):
        assert title in out
    assert "sample_game.json" in out


def test_lines_ratio_runs_against_its_reference():
    out = subprocess.run([sys.executable, str(ROOT / "bench" / "lines_ratio.py"), "--rounds", "1", "--calls", "1",
                          "--records", str(ROOT / "examples")], capture_output=True, text=True, check=True).stdout
    assert "tenhou_to_mjai " in out and "tenhou_file_to_mjai " in out


def test_refusal_cost_refuses_what_it_times():
    out = subprocess.run([sys.executable, str(ROOT / "bench" / "refusal_cost.py"), "--repeat", "1"],
                         capture_output=True, text=True, check=True).stdout
    # Each route either finds refusals of the converter to time or says it has no records.
    assert out.count("refused / converted") + out.count("no shared records") == 2
