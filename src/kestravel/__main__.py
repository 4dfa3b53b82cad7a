"""A live tour: the four operations of the native module kestravel._palvine at work on real
objects of this interpreter.

Run:  python -m kestravel            (python -m kestravel --version prints the version)
Exits 0 when every operation did what the tour shows, 1 otherwise.
"""

import argparse
import dis
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
    def add(a, b):
        return a + b

    seen = []

    def tracer(frame, event, arg):
        if frame.f_code is add.__code__:
            frame.f_trace_opcodes = True
            if event == "opcode" and frame.f_code.co_code[frame.f_lasti] == dis.opmap["BINARY_OP"]:
                seen.append(get_stack(frame))
        return tracer

    old = sys.gettrace()
    sys.settrace(tracer)
    try:
        add(20, 22)
    finally:
        sys.settrace(old)
    print(f"  the stack of add(20, 22) just before it adds, seen from a trace function: {seen[0] if seen else None}")
    check(seen == [{-1: 2, 0: 20, 1: 22}], f"unexpected stack snapshot {seen}")


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
        sys.settrace(old)
        go.set()
        for t in workers:
            t.join()
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
