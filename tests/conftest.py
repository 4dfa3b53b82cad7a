import gc
import os
import subprocess
import sys
import textwrap

import pytest
from _pytest.runner import runtestprotocol

# Runs of each test under --refleaks: the first WARMUP settle caches, and a
# leak is a growth in every one of the RUNS after them, as CPython's -R has it.
WARMUP, RUNS = 3, 3


def pytest_addoption(parser):
    parser.addoption(
        "--refleaks",
        action="store_true",
        help="run each test repeatedly and fail it when the interpreter's allocated blocks, or (on a "
        "debug build) its total reference count, keep growing",
    )


def pytest_configure(config):
    if config.getoption("--refleaks") and sys.getallocatedblocks() == 0:
        raise pytest.UsageError("--refleaks counts the blocks of CPython's own allocator: unset PYTHONMALLOC=malloc")


def pytest_sessionstart(session):
    # The check rigs name the build they mean to test; make sure it is the one loaded.
    expected = os.environ.get("KESTRAVEL_EXPECT_MODULE")
    if expected:
        from kestravel import _palvine

        loaded = os.path.realpath(_palvine.__file__)
        if loaded != os.path.realpath(expected):
            raise pytest.UsageError(f"loaded {loaded}, but this run is for {expected}")


def pytest_sessionfinish(session):
    # Once greenlet is loaded every swap retires its tuple until a sweep, so the
    # exact releases that the suite checks hold only in a process without it.
    assert "greenlet" not in sys.modules, "a test imported greenlet into the suite's own process"


def _interpreter_totals():
    gc.collect()
    sys._clear_type_cache()
    # A release build keeps no total of references: a leaked reference shows
    # as the blocks of the objects it keeps.
    return getattr(sys, "gettotalrefcount", lambda: 0)(), sys.getallocatedblocks()


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    """Under --refleaks, each test's whole protocol (set-up, call, tear-down) runs WARMUP + RUNS
    times, so that its fixtures' own allocations are made and released alike in every round."""
    if not item.config.getoption("--refleaks"):
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    growth = []
    for _ in range(WARMUP + RUNS):
        refs, blocks = _interpreter_totals()
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        after_refs, after_blocks = _interpreter_totals()
        growth.append((after_refs - refs, after_blocks - blocks))
        if not all(report.passed for report in reports):
            break  # failed, skipped or an expected failure: reported as it is
    else:
        measured = growth[WARMUP:]
        if all(refs > 0 for refs, _ in measured) or all(blocks > 0 for _, blocks in measured):
            call = next(report for report in reports if report.when == "call")
            call.outcome = "failed"
            call.longrepr = f"leaks: (references, blocks) grew by {measured} in the runs after the warm-up"
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def run_python(source, *, argv=(), env=None, timeout=120):
    """Run source (with argv as sys.argv[1:]) in a fresh interpreter like this one; return the finished process."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source), *argv],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def python():
    """Runs a script in a child interpreter and fails the test if it does not exit cleanly."""

    def run(source, **kwargs):
        proc = run_python(source, **kwargs)
        assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        return proc.stdout

    return run
