"""Test helpers: functions with constants of their own, failing allocations, collections that run
Python code mid-call, parked threads."""

import gc
import importlib
import inspect
import sys
import threading
import time
from contextlib import contextmanager

from kestravel import replace_constants

# No pytest here: child interpreters import this module too, and pytest would
# cost them most of their start (seconds under valgrind). A failed check
# raises AssertionError, as an assert does.

# What differs between the CPython versions the module supports, named once here.
VERSION = sys.version_info[:2]
# 3.11's evaluation loop keeps a running frame's constants tuple in a C local,
# so a frame that swaps its own constants goes on loading the old ones; from
# 3.12 each load reads the code object's current tuple.
CACHES_CONSTANTS = VERSION < (3, 12)
# From 3.12 the collector runs only where the evaluation loop checks for
# pending work, never inside an allocation made by C code.
COLLECTS_INSIDE_ALLOCATIONS = VERSION < (3, 12)
# 3.12 marks a thread state whose thread has begun to end, and stores a
# thread's new trace before it releases the old one.
KEEPS_TRACE_MARKS = VERSION >= (3, 12)
# From 3.12 the "return" event fires before the frame's stack is saved.
RETURN_EVENT_SEES_A_RUNNING_FRAME = VERSION >= (3, 12)
# 3.13 pushes the NULL of a call above the callable, not below it.
NULL_ABOVE_CALLABLE = VERSION >= (3, 13)
# The private module that makes subinterpreters from Python.
SUBINTERPRETERS = "_xxsubinterpreters" if VERSION < (3, 13) else "_interpreters"


def new_subinterpreter(own_gil=False):
    """A new subinterpreter, which shares this one's GIL (as all do in 3.11) unless own_gil."""
    interpreters = importlib.import_module(SUBINTERPRETERS)
    if VERSION < (3, 13):
        assert VERSION >= (3, 12) or not own_gil, "3.11's interpreters all share one GIL"
        return interpreters.create(isolated=own_gil)
    return interpreters.create("isolated" if own_gil else "legacy")


def run_in_subinterpreter(sub, script, shared=None):
    """Runs script in sub; its error is raised here, where 3.13 would return it."""
    error = importlib.import_module(SUBINTERPRETERS).run_string(sub, script, shared)
    if error is not None:
        raise RuntimeError(f"in the subinterpreter: {error.formatted}")


def loaded_after_self_swap(cached, current):
    """What a frame that swapped its own constants loads next: the cached or the current constant."""
    return cached if CACHES_CONSTANTS else current


class Marker:
    """A constant that can be weakly referenced, to see when its tuple dies."""

    def __init__(self, name=""):
        self.name = name

    def __repr__(self):
        return f"Marker({self.name!r})"


def fresh_copy(function):
    """function with a code object and constants tuple of its own, so tests share neither."""
    code = function.__code__
    copy = type(function)(code.replace(co_consts=tuple(list(code.co_consts))), function.__globals__)
    copy.__wrapped__ = function
    return copy


def x_slot(function):
    """The index of the constant "x" in the constants of the function that function copies."""
    return function.__wrapped__.__code__.co_consts.index("x")


def with_x_as(function, value):
    """function's current constants with the slot that held "x" originally set to value."""
    consts = list(function.__code__.co_consts)
    consts[x_slot(function)] = value
    return tuple(consts)


def swap_own_constants(code, new):
    replace_constants(code, new)
    return "x"  # see loaded_after_self_swap


def self_swapper():
    """A fresh copy of a function that swaps its own constants while it runs, then loads one."""
    return fresh_copy(swap_own_constants)


# Far more allocations than any single call here makes; reaching it means the
# sweep never found the end of the call.
ALLOCATION_LIMIT = 400


def fail_each_allocation(call, unchanged, limit=ALLOCATION_LIMIT):
    """Runs call() with its k-th allocation failing, for k = 0, 1, ..., until a run meets no failure.

    Every run that raises MemoryError must have changed nothing (unchanged() checks
    that); any other exception fails the test. Returns the successful run's result.
    """
    try:
        import _testcapi
    except ImportError:  # a build without CPython's test C API
        import pytest

        pytest.skip("needs _testcapi")
    for k in range(limit):
        _testcapi.set_nomemory(k, k + 1)
        try:
            result = call()
        except MemoryError:
            failed = True
        else:
            failed = False
        finally:
            _testcapi.remove_mem_hooks()
        if not failed:
            return result
        unchanged()
    raise AssertionError(f"still failing after {limit} allocations")


class RunsAtCollection:
    """Unreachable once made: its finalizer runs `action` at the next collection."""

    def __init__(self, action):
        self.action = action
        self.cycle = self

    def __del__(self):
        self.action()


@contextmanager
def collection_at(allocation, action):
    """Makes the allocation-th tracked object allocated in the block start a collection that runs action.

    Yields a list that holds True once action ran inside the block, False if it
    only ran at the collection made as the block ends.
    """
    threshold, enabled = gc.get_threshold(), gc.isenabled()
    ran = []
    inside = [True]

    def run():
        ran.append(inside[0])
        action()

    # Lists and dicts come from free lists first, which count as no allocation;
    # holding more of them than the lists keep makes every new one count.
    drained = [[] for _ in range(100)], [{} for _ in range(100)]
    gc.collect()
    gc.disable()
    RunsAtCollection(run)
    # A collection starts when the count of new tracked objects exceeds the threshold.
    gc.set_threshold(gc.get_count()[0] + allocation - 1)
    gc.enable()
    try:
        yield ran
    finally:
        gc.disable()
        inside[0] = False
        gc.set_threshold(*threshold)
        del drained
        gc.collect()
        (gc.enable if enabled else gc.disable)()


def collect_at_each_allocation(make, limit=64):
    """For n = 1, 2, ...: world = make(); a collection armed at the n-th allocation runs world.nested
    while world.call() runs; then world.check() checks the outcome.

    Stops at the first n whose collection came only after the call (a call that
    allocates nothing tracked stops at n = 1).
    """
    for n in range(1, limit):
        world = make()
        with collection_at(n, world.nested) as ran:
            world.call()
        assert ran, "the armed collection never ran"
        world.check()
        if not ran[0]:
            return
    raise AssertionError(f"a collection still ran inside the call at allocation {limit}")


# The line of Condition.wait (under Event.wait) where a waiter without a timeout
# blocks; from there on a parked thread allocates nothing.
_BLOCKING_LINE = next(
    start + i + 1
    for lines, start in [inspect.getsourcelines(threading.Condition.wait)]
    for i, line in enumerate(lines)
    if "if timeout is None:" in line
)


def wait_until_blocked(threads, timeout=60):
    """Waits until each thread sits in Condition.wait's blocking acquire, so that a sweep of
    failing allocations meets none of theirs."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        frames = sys._current_frames()
        if all(
            (frame := frames.get(t.ident)) is not None
            and frame.f_code is threading.Condition.wait.__code__
            and frame.f_lineno == _BLOCKING_LINE
            for t in threads
        ):
            return
        time.sleep(0.001)
    raise AssertionError("parked threads did not block")


@contextmanager
def parked_threads(count, traces=None):
    """count threads, each with its trace from traces (or none), parked until the block ends.

    Yields a dict filled, as the block ends, with sys.gettrace() of each thread.
    """
    ready, go, seen = threading.Barrier(count + 1), threading.Event(), {}

    def park(i):
        sys.settrace(traces[i] if traces else None)
        ready.wait()
        go.wait()
        seen[i] = sys.gettrace()
        sys.settrace(None)

    threads = [threading.Thread(target=park, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    ready.wait(timeout=60)
    wait_until_blocked(threads)
    try:
        yield seen
    finally:
        go.set()
        for t in threads:
            t.join(timeout=60)
