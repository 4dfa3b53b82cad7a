"""Runs greenlet's test suite and part of gevent's with kestravel in the loop, and without it.

    compare.py PYTHON PYTHONPATH

Each suite runs under the default and the debug allocator, once with the
sitecustomize beside this file in "baseline" mode and once in "module" mode.
It fails on a crash, or on a test that fails with the module and passes in the
baseline (a test failing only with the module is run again in both modes, as
some tests are flaky under tracing). Prints one summary line.
"""

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# greenlet's leak tests measure the process's memory, which retiring swapped
# tuples changes by design; its leak checks rerun each test several times.
GREENLET = ("greenlet", "greenlet.tests", [""], {"GREENLET_SKIP_LEAKCHECKS": "1"}, ["-k", "not test_leaks"])
# The modules of gevent's primitives that greenlets wait in, each in a process of its own
# (test__local is left out: it patches threading as it loads, which breaks against the
# harness's thread, already running, with or without the module).
GEVENT = (
    "gevent",
    "gevent.tests",
    [f"test__{name}.py" for name in ("event", "queue", "lock", "semaphore", "greenlet", "timeout", "hub")],
    {},
    [],
)
FAILURE = re.compile(r"^(?:FAILED|ERROR|SUBFAILED\([^)]*\)) (\S+)", re.M)
SUMMARY = re.compile(
    r"^=*\s*(?:\d+ (?:passed|failed|skipped|deselected|errors?|warnings?|subtests passed)[, ]*)+", re.M
)


def run(python, pythonpath, mode, allocator, paths, env_extra, args):
    """(crashed or broke, failing test ids, output) of one pytest run."""
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join([HERE, pythonpath]),
        KESTRAVEL_CLIENT=mode,
        PYTHONMALLOC=allocator,
        **env_extra,
    )
    with tempfile.TemporaryDirectory() as cwd:
        proc = subprocess.run(
            [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfE", *args, *paths],
            cwd=cwd,
            env=env,
            capture_output=True,
            text=True,
            timeout=900,
        )
    out = proc.stdout + proc.stderr
    broke = proc.returncode not in (0, 1) or not SUMMARY.search(proc.stdout) or "Fatal Python error" in out
    return broke, set(FAILURE.findall(out)), out


def main(python, pythonpath):
    report, problems = [], []
    for label, package, files, env_extra, args in (GREENLET, GEVENT):
        directory = subprocess.run(
            [python, "-c", f"import os, {package} as p; print(os.path.dirname(p.__file__))"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        for allocator in ("pymalloc", "debug"):
            new, failed = set(), {"baseline": 0, "module": 0}
            for name in files:
                paths = [os.path.join(directory, name)]
                results = {
                    mode: run(python, pythonpath, mode, allocator, paths, env_extra, args)
                    for mode in ("baseline", "module")
                }
                for mode, (broke, failures, out) in results.items():
                    failed[mode] += len(failures)
                    if broke:
                        problems.append(
                            f"{label} {name or 'suite'} {mode} {allocator} crashed or broke:\n{out[-3000:]}"
                        )
                only_module = results["module"][1] - results["baseline"][1]
                if only_module:  # once more, each mode, just those tests
                    again = [os.path.join(directory, test) for test in sorted(only_module)]
                    _, module_again, out = run(python, pythonpath, "module", allocator, again, env_extra, [])
                    _, baseline_again, _ = run(python, pythonpath, "baseline", allocator, again, env_extra, [])
                    new |= module_again - baseline_again
                    if module_again - baseline_again:
                        problems.append(
                            f"{label} {allocator}: new failures {sorted(module_again - baseline_again)}\n{out[-3000:]}"
                        )
            report.append(f"{label}/{allocator} failing {failed['baseline']}->{failed['module']}, new {len(new)}")
    for problem in problems:
        print(problem, file=sys.stderr)
    print("; ".join(report))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
