"""Time each kestravel operation against what a CPython user would do without it.

Run:  python benchmarks/compare.py [--repeat N]

Every figure is the best of several repeats, in nanoseconds per call (or per
thread, for propagate_trace). Ratios are kestravel's time over the other's:
below 1 means kestravel is faster.
"""

import argparse
import ctypes
import importlib.util
import json
import platform
import subprocess
import sys
import threading
import time
import timeit
import weakref
from contextlib import contextmanager

from kestravel._palvine import get_stack, propagate_trace, replace_constants, replace_in_tuple

# --- a ctypes reader of the same frame fields get_stack reads -------------------


class _FrameObject(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("f_back", ctypes.c_void_p),
        ("f_frame", ctypes.c_void_p),
    ]


# 3.12 moved the code object to the frame's first field (f_executable in 3.13)
# and dropped is_entry; 3.12 dropped the code object's co_warmup and
# _co_linearray_entry_size.
_OLD_LAYOUT = sys.version_info < (3, 12)


class _InterpreterFrame(ctypes.Structure):
    _fields_ = (
        [
            ("f_func", ctypes.c_void_p),
            ("f_globals", ctypes.c_void_p),
            ("f_builtins", ctypes.c_void_p),
            ("f_locals", ctypes.c_void_p),
            ("f_code", ctypes.c_void_p),
            ("frame_obj", ctypes.c_void_p),
            ("previous", ctypes.c_void_p),
            ("prev_instr", ctypes.c_void_p),
            ("stacktop", ctypes.c_int),
            ("is_entry", ctypes.c_bool),
            ("owner", ctypes.c_char),
        ]
        if _OLD_LAYOUT
        else [
            ("f_code", ctypes.c_void_p),
            ("previous", ctypes.c_void_p),
            ("f_funcobj", ctypes.c_void_p),
            ("f_globals", ctypes.c_void_p),
            ("f_builtins", ctypes.c_void_p),
            ("f_locals", ctypes.c_void_p),
            ("frame_obj", ctypes.c_void_p),
            ("prev_instr", ctypes.c_void_p),
            ("stacktop", ctypes.c_int),
            ("return_offset", ctypes.c_uint16),
            ("owner", ctypes.c_char),
        ]
    ) + [("localsplus", ctypes.c_void_p * 1)]


class _CodeObject(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("ob_size", ctypes.c_ssize_t),
        ("co_consts", ctypes.c_void_p),
        ("co_names", ctypes.c_void_p),
        ("co_exceptiontable", ctypes.c_void_p),
        ("co_flags", ctypes.c_int),
        *([("co_warmup", ctypes.c_short), ("_co_linearray_entry_size", ctypes.c_short)] if _OLD_LAYOUT else []),
        ("co_argcount", ctypes.c_int),
        ("co_posonlyargcount", ctypes.c_int),
        ("co_kwonlyargcount", ctypes.c_int),
        ("co_stacksize", ctypes.c_int),
        ("co_firstlineno", ctypes.c_int),
        ("co_nlocalsplus", ctypes.c_int),
    ]


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
    return side_by_side(repeat, (stmt, number, names))[0]


def side_by_side(repeat, *subjects):
    """The best ns per run of each (stmt, number, names), timed in turn in every round so that
    the machine's drift reaches them all alike."""
    timers = [(timeit.Timer(stmt, globals=names), number) for stmt, number, names in subjects]
    bests = [float("inf")] * len(timers)
    for _ in range(repeat):
        for k, (timer, number) in enumerate(timers):
            bests[k] = min(bests[k], timer.timeit(number) / number * 1e9)
    return bests


@contextmanager
def parked_threads(count, depth=0):
    """count threads parked depth frames deep (as a server's workers sit in their call stacks)
    until the block ends."""
    go, ready = threading.Event(), threading.Barrier(count + 1)

    def park(n):
        if n:
            return park(n - 1)
        ready.wait()
        go.wait()

    old_size = threading.stack_size(256 * 1024)
    threads = [threading.Thread(target=park, args=(depth,)) for _ in range(count)]
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


def measure_replace_constants(repeat, shapes=((0, 0), (10, 10), (100, 50), (1000, 20))):
    rows = []
    for count, depth in shapes:

        def f():
            return "x"

        code = f.__code__
        # Two equal tuples, alternated, so that every call really swaps.
        a, b = code.co_consts, tuple(list(code.co_consts))
        swap_pair = "replace_constants(code, b); replace_constants(code, a)"
        with parked_threads(count, depth):
            replace_constants(code, b)
            replace_constants(code, a)
            assert code.co_consts is a, "the swap did not take"
            pair, theirs = side_by_side(
                repeat,
                (swap_pair, 20_000, dict(replace_constants=replace_constants, code=code, a=a, b=b)),
                ("f.__code__ = f.__code__.replace(co_consts=b)", 20_000, dict(f=f, b=b)),
            )
            ours = pair / 2
        shape = f"{count} threads x {depth} deep" if count else "no other thread"
        rows.append((f"replace_constants, {shape}", "code.replace + assignment", ours, theirs))
    return rows


def measure_get_stack(repeat):
    rows = []
    for depth in (3, 64):
        gen, values = suspended_generator(depth)
        frame = gen.gi_frame
        expected = {-1: depth, **dict(enumerate(values))}
        assert get_stack(frame) == ctypes_get_stack(frame) == expected, "readers disagree"
        ours, via_ctypes, plain = side_by_side(
            repeat,
            ("get_stack(frame)", 50_000, dict(get_stack=get_stack, frame=frame)),
            ("read(frame)", 2_000, dict(read=ctypes_get_stack, frame=frame)),
            ("dict(enumerate(values))", 50_000, dict(values=values)),
        )
        rows.append((f"get_stack, depth {depth}", "ctypes frame reader", ours, via_ctypes))
        rows.append((f"get_stack, depth {depth}", "dict(enumerate(values))", ours, plain))
    return rows


def measure_floor(repeat):
    """Each function on its smallest input: the per-call cost the per-item figures sit on."""
    frame = suspended_generator(0)[0].gi_frame
    code = compile("pass", "<floor>", "exec").replace(co_consts=())
    names = dict(
        replace_constants=replace_constants,
        get_stack=get_stack,
        replace_in_tuple=replace_in_tuple,
        propagate_trace=propagate_trace,
        code=code,
        frame=frame,
        item=object(),
    )
    return [
        (f"floor: {stmt}", "", best(stmt, 200_000, repeat, **names), None)
        for stmt in (
            "replace_constants(code, ())",
            "get_stack(frame)",
            "replace_in_tuple((), item, item)",
            "propagate_trace()",
        )
    ]


def measure_replace_in_tuple(repeat, size=1024):
    rows = []
    a, b = object(), object()
    names = dict(replace_in_tuple=replace_in_tuple, a=a, b=b)
    t = tuple(range(size))
    # Every slot holds a, then b: each call of the pair replaces all of them.
    every = tuple([a] * size)
    swap_back = "replace_in_tuple(every, a, b); replace_in_tuple(every, b, a)"
    call, miss, pair = side_by_side(
        repeat,
        ("replace_in_tuple((), a, b)", 200_000, names),
        ("replace_in_tuple(t, a, b)", 5_000, dict(names, t=t)),
        (swap_back, 1_000, dict(names, every=every)),
    )
    all_match = pair / 2
    assert all(v is a for v in every), "the replacements did not take"
    rebuild = best("tuple(b if v is a else v for v in t)", 200, repeat, t=t, **names)
    rows.append((f"replace_in_tuple, {size} items, no match", "rebuilding the tuple", miss, rebuild))
    rows.append(("  per slot above the call, no match", "", (miss - call) / size, None))
    rows.append(("  per slot above the call, every slot", "", (all_match - call) / size, None))
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


def fresh_constants(code):
    return tuple(list(code.co_consts))


def measure_retention(swaps=20_000):
    """Allocated blocks still kept per swap made while a frame runs the code (not a time)."""

    def traced(n):
        total = 0
        for i in range(n):
            total += i
        return total

    code = traced.__code__
    traced_swaps = []

    def repatching_tracer(frame, event, arg):
        if frame.f_code is code and event == "line":
            replace_constants(code, fresh_constants(code))
            traced_swaps.append(None)
        return repatching_tracer

    old = sys.gettrace()
    before = sys.getallocatedblocks()
    sys.settrace(repatching_tracer)
    try:
        traced(swaps // 2)  # about two line events per iteration
    finally:
        sys.settrace(old)
    tracer_kept = (sys.getallocatedblocks() - before - 1) / len(traced_swaps)  # less the counting list
    replace_constants(code, fresh_constants(code))  # no frame runs it now: all is released

    stop = threading.Event()

    def step():
        return None

    def worker_loop():
        while not stop.is_set():
            step()

    loop_code = worker_loop.__code__
    worker = threading.Thread(target=worker_loop)
    worker.start()
    before = sys.getallocatedblocks()
    for _ in range(swaps):
        replace_constants(loop_code, fresh_constants(loop_code))
        time.sleep(0)  # lets the worker run between swaps
    worker_kept = sys.getallocatedblocks() - before
    stop.set()
    worker.join()
    replace_constants(loop_code, fresh_constants(loop_code))
    return [
        ("kept blocks per swap: line tracer re-patching its frame", "", tracer_kept, None),
        ("kept blocks per swap: code of a looping worker thread", "", worker_kept / swaps, None),
    ]


def measure_greenlets_here(repeat, count=10_000, swaps=20_000):
    """Swaps in a process with `count` suspended greenlets, and the swapped tuples kept alive."""
    import greenlet  # only in the child that measure_greenlets starts: it changes how swaps retire

    main_greenlet = greenlet.getcurrent()

    def suspended():
        main_greenlet.switch()  # paused in a C call, as a waiting task is
        return "x"

    parked = [greenlet.greenlet(suspended) for _ in range(count)]
    for g in parked:
        g.switch()

    def f():
        return "x"

    code = f.__code__
    a, b = code.co_consts, tuple(list(code.co_consts))
    pair, theirs = side_by_side(
        repeat,
        (
            "replace_constants(code, b); replace_constants(code, a)",
            20_000,
            dict(replace_constants=replace_constants, code=code, a=a, b=b),
        ),
        ("f.__code__ = f.__code__.replace(co_consts=b)", 20_000, dict(f=f, b=b)),
    )

    assert code.co_consts is a, "the swaps did not take"

    class Marker:
        pass

    alive, most = [], 0
    for _ in range(swaps):
        marker = Marker()
        alive.append(weakref.ref(marker))
        replace_constants(code, a[:-1] + (marker,))
        del marker
        if len(alive) % 100 == 0:
            alive = [ref for ref in alive if ref() is not None]
            most = max(most, len(alive))
    for g in parked:
        g.switch()
    return [
        (f"replace_constants, {count} greenlets", "code.replace + assignment", pair / 2, theirs),
        (f"most swapped tuples kept, {count} greenlets", "", most, None),
    ]


def measure_greenlets(repeat):
    """measure_greenlets_here in a child interpreter, so that the other rows run without greenlet."""
    if importlib.util.find_spec("greenlet") is None:
        return []
    proc = subprocess.run(
        [sys.executable, __file__, "--greenlets", "--repeat", str(repeat)], capture_output=True, text=True, check=True
    )
    return [tuple(row) for row in json.loads(proc.stdout)]


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
    parser.add_argument("--greenlets", action="store_true", help=argparse.SUPPRESS)  # the child's rows, as JSON
    args = parser.parse_args()
    if args.greenlets:
        print(json.dumps(measure_greenlets_here(args.repeat)))
        return
    print(
        f"# {platform.python_implementation()} {platform.python_version()} on {platform.machine()}, "
        f"{platform.processor() or platform.platform()}"
    )
    rows = (
        measure_floor(args.repeat)
        + measure_replace_constants(args.repeat)
        + measure_get_stack(args.repeat)
        + measure_replace_in_tuple(args.repeat)
        + measure_propagate_trace(args.repeat)
        + measure_retention()
        + measure_greenlets(args.repeat)
    )
    print(format_rows(rows))


if __name__ == "__main__":
    main()
