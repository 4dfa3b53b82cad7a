"""A live tour: the four operations of the native module kestravel._palvine at work on real
objects of this interpreter.

Run:  python -m kestravel            (python -m kestravel --version prints the version)
Exits 0 when every operation did what the tour shows, 1 otherwise.
"""

import argparse
import sys
import threading

from kestravel import __version__, get_stack, propagate_trace, replace_constants, replace_in_tuple


class TourFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise TourFailure(message)


def tour_replace_constants():
    def greet():
        return "hello"

    code = greet.__code__
    print(f"  greet() -> {greet()!r}, co_consts {code.co_consts!r}")
    replace_constants(code, tuple("bonjour" if c == "hello" else c for c in code.co_consts))
    print(f"  after replace_constants: greet() -> {greet()!r}, same code object: {greet.__code__ is code}")
    check(greet() == "bonjour" and greet.__code__ is code, "greet() did not pick up its new constants")


def tour_get_stack():
    def adder(a, b):
        return a + (yield b)  # paused at the yield with `a` on its value stack

    paused = adder(20, 22)
    next(paused)
    stack = get_stack(paused.gi_frame)
    print(f"  the stack of adder(20, 22), paused in the middle of `a + (yield b)`: {stack}")
    check(stack == {-1: 1, 0: 20}, f"unexpected stack snapshot {stack}")
    paused.close()


def tour_replace_in_tuple():
    point = (1, "old", 3)
    alias = point
    print(f"  point = {point!r}, alias is point: {alias is point}")
    replace_in_tuple(point, point[1], "new")
    print(f"  after replace_in_tuple(point, 'old', 'new'): alias = {alias!r}")
    check(alias == (1, "new", 3) and alias is point, "the tuple was not changed in place")


def tour_propagate_trace():
    def tracer(frame, event, arg):
        return None

    ready, go, seen = threading.Barrier(4), threading.Event(), []

    def worker():
        ready.wait()
        go.wait()
        seen.append(sys.gettrace())

    workers = [threading.Thread(target=worker) for _ in range(3)]
    for t in workers:
        t.start()
    ready.wait()
    old = sys.gettrace()
    sys.settrace(tracer)
    try:
        propagate_trace()
    finally:
        go.set()
        for t in workers:
            t.join()
        # Restored once the workers are gone: from 3.12 on, the interpreter keeps
        # tracing instrumentation in place until an installation finds no thread traced.
        sys.settrace(old)
    print(
        f"  trace set in the main thread only, then propagated: {sum(s is tracer for s in seen)} of 3 "
        "workers now trace with it"
    )
    check(seen == [tracer] * 3, "the workers did not receive the trace function")


STEPS = [
    ("replace_constants: swap a code object's constants in place", tour_replace_constants),
    ("get_stack: snapshot a frame's live value stack", tour_get_stack),
    ("replace_in_tuple: change an existing tuple by identity", tour_replace_in_tuple),
    ("propagate_trace: carry this thread's trace function to every thread", tour_propagate_trace),
]


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m kestravel",
        description="A live tour of the four operations of kestravel's native module: swaps a function's "
        "constants, snapshots a frame's value stack, changes a tuple in place and carries a trace function to "
        "other threads, printing what each did.",
        epilog="Exits 0 when every operation did what the tour shows, 1 otherwise.",
    )
    parser.add_argument("--version", action="version", version=f"kestravel {__version__}")
    parser.parse_args(argv)
    failures = 0
    for title, step in STEPS:
        print(title)
        try:
            step()
        except TourFailure as failure:
            failures += 1
            print(f"  FAILED: {failure}")
    print(
        "all four operations of the native module did what they showed"
        if not failures
        else f"{failures} operation(s) failed"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
