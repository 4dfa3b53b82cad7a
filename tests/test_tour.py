import subprocess
import sys

import kestravel.__main__ as tour


def test_tour_runs_every_operation():
    proc = subprocess.run([sys.executable, "-m", "kestravel"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    for name in ("replace_constants", "get_stack", "replace_in_tuple", "propagate_trace"):
        assert f"{name}:" in proc.stdout
    assert "FAILED" not in proc.stdout


def test_tour_reports_an_operation_that_did_not_work(monkeypatch, capsys):
    monkeypatch.setattr(tour, "replace_in_tuple", lambda *args: None)
    assert tour.main([]) == 1
    out = capsys.readouterr().out
    assert "FAILED: the tuple was not changed in place" in out and "1 operation(s) failed" in out


def test_tour_takes_help_and_refuses_unknown_arguments():
    helped = subprocess.run([sys.executable, "-m", "kestravel", "--help"], capture_output=True, text=True, timeout=60)
    assert helped.returncode == 0 and "usage: python -m kestravel" in helped.stdout
    assert "replace_constants:" not in helped.stdout  # the tour did not run
    refused = subprocess.run([sys.executable, "-m", "kestravel", "--frobnicate"], capture_output=True, text=True,
                             timeout=60)
    assert refused.returncode == 2 and "unrecognized arguments: --frobnicate" in refused.stderr
