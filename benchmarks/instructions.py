"""Count the instructions of get_stack at depth 64 against dict(enumerate(values)) of as many items.

Run:  python benchmarks/instructions.py          (needs valgrind)

Each statement runs in a loop in a child interpreter under callgrind, twice, with
two loop counts; the difference of the two totals over the difference of the
counts is its cost per run, less that of an empty loop. Instruction counts do
not drift with the machine's load, as times do.
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

DEPTH = 64
STATEMENTS = {
    "empty loop": "pass",
    f"get_stack, depth {DEPTH}": "get_stack(frame)",
    f"dict(enumerate(values)), {DEPTH} items": "dict(enumerate(values))",
}
COUNTS = (2_000, 12_000)


def run(statement, count):
    """Runs statement count times, with the subject of compare.py's get_stack rows."""
    from compare import suspended_generator

    from kestravel._palvine import get_stack

    gen, values = suspended_generator(DEPTH)
    frame = gen.gi_frame
    assert get_stack(frame) == {-1: DEPTH, **dict(enumerate(values))}, "get_stack does not read the stack"
    names = {"get_stack": get_stack, "frame": frame, "values": values}
    exec(f"def loop():\n    for _ in range({count}):\n        {statement}\n", names)
    names["loop"]()


def instructions(statement, count):
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__, "--run",
             statement, str(count)],
            check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"},
        )  # fmt: skip
        return int(re.search(r"^summary: (\d+)", Path(out).read_text(), re.M).group(1))


def main():
    if sys.argv[1:2] == ["--run"]:
        run(sys.argv[2], int(sys.argv[3]))
        return
    per_run = {}
    for name, statement in STATEMENTS.items():
        low, high = (instructions(statement, count) for count in COUNTS)
        per_run[name] = (high - low) / (COUNTS[1] - COUNTS[0])
    loop = per_run.pop("empty loop")
    (ours, ours_count), (theirs, theirs_count) = ((k, v - loop) for k, v in per_run.items())
    print(f"# CPython {sys.version.split()[0]}: instructions per run, less an empty loop's {loop:.0f}")
    print(f"{ours:40} {ours_count:10.0f}")
    print(f"{theirs:40} {theirs_count:10.0f}")
    print(f"{'ratio':40} {ours_count / theirs_count:10.2f}")


if __name__ == "__main__":
    main()
