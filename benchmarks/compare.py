"""Time each kestravel operation against what a CPython 3.11 user would do without it.

Run:  python benchmarks/compare.py [--repeat N]

Every figure is the best of several repeats, in nanoseconds per call (or per
thread, for propagate_trace). Ratios are kestravel's time over the other's:
below 1 means kestravel is faster.
"""

import argparse
import ctypes
import platform
import sys
import threading
import timeit
from contextlib import contextmanager

from kestravel._palvine import get_stack, propagate_trace, replace_constants, replace_in_tuple

# --- a ctypes reader of the same frame fields get_stack reads -------------------


class _FrameObject(ctypes.Structure):
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
                ("f_back", ctypes.c_void_p), ("f_frame", ctypes.c_void_p)]


class _InterpreterFrame(ctypes.Structure):
    _fields_ = [("f_func", ctypes.c_void_p), ("f_globals", ctypes.c_void_p), ("f_builtins", ctypes.c_void_p),
                ("f_locals", ctypes.c_void_p), ("f_code", ctypes.c_void_p), ("frame_obj", ctypes.c_void_p),
                ("previous", ctypes.c_void_p), ("prev_instr", ctypes.c_void_p), ("stacktop", ctypes.c_int),
                ("is_entry", ctypes.c_bool), ("owner", ctypes.c_char), ("localsplus", ctypes.c_void_p * 1)]


class _CodeObject(ctypes.Structure):
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p), ("ob_size", ctypes.c_ssize_t),
                ("co_consts", ctypes.c_void_p), ("co_names", ctypes.c_void_p),
                ("co_exceptiontable", ctypes.c_void_p), ("co_flags", ctypes.c_int), ("co_warmup", ctypes.c_short),
                ("_co_linearray_entry_size", ctypes.c_short), ("co_argcount", ctypes.c_int),
                ("co_posonlyargcount", ctypes.c_int), ("co_kwonlyargcount", ctypes.c_int),
                ("co_stacksize", ctypes.c_int), ("co_firstlineno", ctypes.c_int), ("co_nlocalsplus", ctypes.c_int)]


_LOCALSPLUS = _InterpreterFrame.localsplus.offset
_POINTER = ctypes.sizeof(ctypes.c_void_p)


def ctypes_get_stack(frame):
    iframe_address = _FrameObject.from_address(id(frame)).f_frame
    iframe = _InterpreterFrame.from_address(iframe_address)
    nlocalsplus = _CodeObject.from_address(iframe.f_code).co_nlocalsplus
    depth = iframe.stacktop - nlocalsplus
    stack = {-1: depth}
    if depth > 0:
        slots = (ctypes.c_void_p * depth).from_address(iframe_address + _LOCALSPLUS + nlocalsplus * _POINTER)
        for i, slot in enumerate(slots):
            if slot:
                stack[i] = ctypes.cast(slot, ctypes.py_object).value
    return stack


# --- subjects --------------------------------------------------------------------


def suspended_generator(depth):
    """A generator suspended with `depth` values on its stack, and those values."""
    source = "def gen(a):\n    return " + "a + (" * depth + "(yield)" + ")" * depth + "\n"
    namespace = {}
    exec(source, namespace)
    value = object()
    gen = namespace["gen"](value)
    next(gen)
    return gen, [value] * depth


def best(stmt, number, repeat, **names):
    return min(timeit.Timer(stmt, globals=names).repeat(repeat=repeat, number=number)) / number * 1e9


@contextmanager
def parked_threads(count):
    go, ready = threading.Event(), threading.Barrier(count + 1)

    def park():
        ready.wait()
        go.wait()

    old_size = threading.stack_size(256 * 1024)
    threads = [threading.Thread(target=park) for _ in range(count)]
    threading.stack_size(old_size)
    for t in threads:
        t.start()
    ready.wait()
    try:
        yield
    finally:
        go.set()
        for t in threads:
            t.join()


def tracer(frame, event, arg):
    return None


# --- measurements ----------------------------------------------------------------


def measure_replace_constants(repeat):
    def f():
        return "x"

    code = f.__code__
    consts = tuple("y" if c == "x" else c for c in code.co_consts)
    ours = best("replace_constants(code, consts)", 100_000, repeat,
                replace_constants=replace_constants, code=code, consts=consts)
    theirs = best("f.__code__ = f.__code__.replace(co_consts=consts)", 20_000, repeat, f=f, consts=consts)
    return [("replace_constants", "code.replace(co_consts=...)", ours, theirs)]


def measure_get_stack(repeat):
    rows = []
    for depth in (3, 64):
        gen, values = suspended_generator(depth)
        frame = gen.gi_frame
        expected = {-1: depth, **dict(enumerate(values))}
        assert get_stack(frame) == ctypes_get_stack(frame) == expected, "readers disagree"
        ours = best("get_stack(frame)", 50_000, repeat, get_stack=get_stack, frame=frame)
        via_ctypes = best("read(frame)", 2_000, repeat, read=ctypes_get_stack, frame=frame)
        plain = best("dict(enumerate(values))", 50_000, repeat, values=values)
        rows.append((f"get_stack, depth {depth}", "ctypes frame reader", ours, via_ctypes))
        rows.append((f"get_stack, depth {depth}", "dict(enumerate(values))", ours, plain))
    return rows


def measure_replace_in_tuple(repeat):
    rows = []
    missing, replacement = object(), object()
    call = best("replace_in_tuple(t, missing, replacement)", 200_000, repeat,
                replace_in_tuple=replace_in_tuple, t=(), missing=missing, replacement=replacement)
    for size in (8, 1024):
        t = tuple(range(size))
        ours = best("replace_in_tuple(t, missing, replacement)", max(1_000, 1_600_000 // size), repeat,
                    replace_in_tuple=replace_in_tuple, t=t, missing=missing, replacement=replacement)
        theirs = best("tuple(replacement if v is missing else v for v in t)", max(100, 160_000 // size), repeat,
                      t=t, missing=missing, replacement=replacement)
        rows.append((f"replace_in_tuple, {size} items", "rebuilding the tuple", ours, theirs))
        rows.append((f"  per slot above the call ({size})", "", (ours - call) / size, None))
    return rows


def measure_propagate_trace(repeat, counts=(10, 100, 1000)):
    rows, per_thread = [], {}
    old = sys.gettrace()
    for count in counts:
        with parked_threads(count):
            sys.settrace(tracer)
            try:
                ns = best("propagate_trace()", max(10, 20_000 // count), repeat, propagate_trace=propagate_trace)
            finally:
                sys.settrace(old)
        per_thread[count] = ns / count
        rows.append((f"propagate_trace, per thread at {count}", "", per_thread[count], None))
    if 10 in per_thread and 1000 in per_thread:
        rows.append(("  per-thread cost, 1000 over 10", "", per_thread[1000] / per_thread[10], "ratio"))
    return rows


def format_rows(rows):
    lines = [f"{'operation':40} {'against':28} {'ns':>10} {'theirs ns':>10} {'ratio':>7}"]
    for name, against, ours, theirs in rows:
        if theirs == "ratio":
            lines.append(f"{name:40} {against:28} {'':>10} {'':>10} {ours:7.2f}")
        elif theirs is None:
            lines.append(f"{name:40} {against:28} {ours:10.1f} {'':>10} {'':>7}")
        else:
            lines.append(f"{name:40} {against:28} {ours:10.1f} {theirs:10.1f} {ours / theirs:7.2f}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="repeats per figure; the best is kept")
    args = parser.parse_args()
    print(f"# {platform.python_implementation()} {platform.python_version()} on {platform.machine()}, "
          f"{platform.processor() or platform.platform()}")
    rows = (measure_replace_constants(args.repeat) + measure_get_stack(args.repeat)
            + measure_replace_in_tuple(args.repeat) + measure_propagate_trace(args.repeat))
    print(format_rows(rows))


if __name__ == "__main__":
    main()
