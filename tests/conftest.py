import os
import subprocess
import sys
import textwrap

import pytest


def run_python(source, *, env=None, timeout=120):
    """Run source in a fresh interpreter like this one; return the finished process."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
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
