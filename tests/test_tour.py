import subprocess
import sys
from pathlib import Path

import pytest

import kestravel
import kestravel.__main__ as tour


def test_tour_runs_every_operation():
    proc = subprocess.run([sys.executable, "-m", "kestravel"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    for name in ("replace_constants", "get_stack", "replace_in_tuple", "propagate_trace"):
        assert f"{name}:" in proc.stdout
    assert "FAILED" not in proc.stdout
    # The README shows the tour's output once, the same on every version.
    assert proc.stdout in (Path(__file__).resolve().parent.parent / "README.md").read_text()


def test_tour_reports_an_operation_that_did_not_work(monkeypatch, capsys):
    monkeypatch.setattr(tour, "replace_in_tuple", lambda *args: None)
    assert tour.main([]) == 1
    out = capsys.readouterr().out
    assert "FAILED: the tuple was not changed in place" in out and "1 operation(s) failed" in out


@pytest.mark.parametrize(
    "argument, returncode, stdout, stderr",
    [
        ("--help", 0, "usage: python -m kestravel", ""),
        ("--version", 0, f"kestravel {kestravel.__version__}\n", ""),
        ("--frobnicate", 2, "", "unrecognized arguments: --frobnicate"),
    ],
    ids=["help", "version", "unknown"],
)
def test_tour_takes_help_and_version_and_refuses_unknown_arguments(argument, returncode, stdout, stderr):
    proc = subprocess.run([sys.executable, "-m", "kestravel", argument], capture_output=True, text=True, timeout=60)
    assert proc.returncode == returncode and stdout in proc.stdout and stderr in proc.stderr
    assert "replace_constants:" not in proc.stdout  # the tour did not run
