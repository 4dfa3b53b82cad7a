"""Every function under failing allocations and under collections that call back into the module.

Each outcome must be success with the whole effect, or MemoryError with nothing
changed; a collection that calls any function mid-call must leave a state that
some serial order of the calls gives.
"""

import contextvars
import gc
import json
import os
import sys
import threading
import types
import weakref

import pytest
from support import (
    COLLECTS_INSIDE_ALLOCATIONS,
    KEEPS_TRACE_MARKS,
    VERSION,
    Marker,
    collect_at_each_allocation,
    fail_each_allocation,
    loaded_after_self_swap,
    parked_threads,
    self_swapper,
    with_x_as,
    x_slot,
)

from kestravel._palvine import get_stack, propagate_trace, replace_constants, replace_in_tuple


def deep_generator(depth):
    """A generator suspended with depth values on its stack (so that keys and depth need new ints)."""
    namespace = {}
    # Right-associative, so every operand waits on the stack; no parentheses to nest.
    exec("def gen(a):\n    return " + "a ** " * depth + "(yield)\n", namespace)
    gen = namespace["gen"](Marker("on the stack"))
    next(gen)
    return gen


# --- failing allocations --------------------------------------------------------------


@pytest.mark.parametrize(
    "earlier_swaps, running",
    [(0, False), (0, True), (2, True), (3, True)],
    ids=["idle", "running-first-retirement", "running-record-full", "running-record-has-room"],
)
def test_replace_constants_under_failing_allocations(earlier_swaps, running):
    f = self_swapper()
    code = f.__code__
    for i in range(earlier_swaps):
        f(code, with_x_as(f, Marker(f"earlier{i}")))
    old, new = code.co_consts, with_x_as(f, Marker("new"))
    refs = sys.getrefcount(old), sys.getrefcount(new)

    def unchanged():
        assert code.co_consts is old
        assert (sys.getrefcount(old), sys.getrefcount(new)) == refs

    result = fail_each_allocation(
        (lambda: f(code, new)) if running else (lambda: replace_constants(code, new)), unchanged
    )
    assert code.co_consts is new
    if running:
        assert result is loaded_after_self_swap(old[x_slot(f)], new[x_slot(f)])


@pytest.mark.parametrize("depth", [3, 300], ids=["shallow", "keys-beyond-the-small-ints"])
def test_get_stack_of_a_generator_under_failing_allocations(depth):
    gen = deep_generator(depth)
    expected = get_stack(gen.gi_frame)
    assert expected[-1] == depth
    assert fail_each_allocation(lambda: get_stack(gen.gi_frame), lambda: None) == expected


def test_get_stack_of_the_running_frame_under_failing_allocations():
    def snapshot_of_itself():
        return get_stack(sys._getframe())

    # A running frame reports -1 less its local slots, and has none here.
    assert fail_each_allocation(snapshot_of_itself, lambda: None) == {-1: -1}


def test_replace_in_tuple_under_failing_allocations():
    item, replacement = Marker("item"), Marker("replacement")
    t = (item, 1, item)

    def unchanged():
        assert t == (item, 1, item)

    fail_each_allocation(lambda: replace_in_tuple(t, item, replacement), unchanged)
    assert t == (replacement, 1, replacement)


@pytest.mark.parametrize("caller_has_trace", [True, False], ids=["trace", "no-trace"])
def test_propagate_trace_under_failing_allocations(caller_has_trace):
    def tracer(frame, event, arg):
        return None

    own = [types.FunctionType(tracer.__code__, globals()) for _ in range(3)]
    mine = tracer if caller_has_trace else None
    with parked_threads(3, own) as seen:
        refs = [sys.getrefcount(t) for t in own]
        old = sys.gettrace()
        sys.settrace(mine)
        try:
            mine_refs = sys.getrefcount(mine)

            def unchanged():
                # Each installation takes a reference to mine and drops one to a thread's own.
                assert [sys.getrefcount(t) for t in own] == refs
                assert mine is None or sys.getrefcount(mine) == mine_refs

            fail_each_allocation(propagate_trace, unchanged)
        finally:
            sys.settrace(old)
    assert seen == {i: mine for i in range(3)}


AUDITED_FAILURES = """
import sys, threading, _testcapi
from support import fail_each_allocation, parked_threads
from kestravel._palvine import propagate_trace

events = []
armed = False
def hook(event, args):
    if armed and event == "sys.settrace":
        events.append(event)  # allocates, so it can fail too
sys.addaudithook(hook)

def named(name):
    def tracer(frame, event, arg):
        return None
    tracer.__qualname__ = name
    return tracer

own = [named(f"own{i}") for i in range(3)]
mine = named("mine")
with parked_threads(3, own) as seen:
    refs = [sys.getrefcount(t) for t in own]
    sys.settrace(mine)
    mine_refs = sys.getrefcount(mine)
    def unchanged():
        assert sys.getrefcount(mine) == mine_refs
        assert [sys.getrefcount(t) for t in own] == refs
    armed = True
    fail_each_allocation(propagate_trace, unchanged)
    armed = False
    sys.settrace(None)
assert [seen[i] for i in range(3)] == [mine] * 3, seen
print(len(events) >= 3)
"""


def test_propagate_trace_with_an_audit_hook_under_failing_allocations(python):
    assert python(AUDITED_FAILURES).strip() == "True"


# --- collections that call back into the module -----------------------------------------


def make_world(outer, nested):
    """Fresh objects for one run: the outer call, the nested one, and the check of their outcome."""
    f = self_swapper()
    code, x = f.__code__, x_slot(f)
    before = code.co_consts
    first, second = with_x_as(f, Marker("outer")), with_x_as(f, Marker("nested"))
    outer_x = first[x]  # first's own constant, which a nested replace_in_tuple may change
    item, replacement, other = Marker("item"), Marker("replacement"), Marker("other")
    t = (item, 0, item)
    gen = deep_generator(3)
    gen_stack = get_stack(gen.gi_frame)
    world = types.SimpleNamespace(loaded=[], results=[])

    calls = {
        "replace_constants-idle": lambda: replace_constants(code, first),
        "replace_constants-running": lambda: world.loaded.append(f(code, first)),
        "get_stack": lambda: world.results.append(get_stack(gen.gi_frame)),
        "replace_in_tuple": lambda: replace_in_tuple(t, item, replacement),
        "propagate_trace": propagate_trace,
    }
    nested_calls = {
        "replace_constants": lambda: replace_constants(code, second),
        "get_stack": lambda: world.results.append(get_stack(gen.gi_frame)),
        # The outer call's own objects: the tuple it installs, or the tuple it changes.
        "replace_in_tuple": lambda: replace_in_tuple(
            first if outer.startswith("replace_constants") else t,
            first[x] if outer.startswith("replace_constants") else item,
            other,
        ),
        "propagate_trace": propagate_trace,
    }

    tuples = before, first, second
    base_refs = [sys.getrefcount(c) for c in tuples]

    def check():
        if outer.startswith("replace_constants"):
            installed = {id(first)} | ({id(second)} if nested == "replace_constants" else set())
            assert id(code.co_consts) in installed
            if outer.endswith("running"):
                # What the frame cached as it started (the constants before either
                # swap) or, where each load reads the current tuple, its own swap's
                # as it was or as the nested call changed it; or the nested call's,
                # if that ran before the frame's load.
                own = [[loaded_after_self_swap(before[x], swapped)] for swapped in (outer_x, first[x])]
                assert world.loaded in [*own, [second[x]]]
        # Swapped for a last tuple with no frame running, the code object keeps
        # none of the others: each was released exactly once.
        replace_constants(code, with_x_as(f, "last"))
        assert [sys.getrefcount(c) for c in tuples] == [base_refs[0] - 1] + base_refs[1:]
        if outer == "replace_in_tuple":
            outcomes = [(replacement, 0, replacement)] + ([(other, 0, other)] if nested == "replace_in_tuple" else [])
            assert t in outcomes  # all of one call's or all of the other's, never a mix
        assert all(result == gen_stack for result in world.results)

    world.call, world.nested, world.check = calls[outer], nested_calls[nested], check
    return world


OUTERS = ["replace_constants-idle", "replace_constants-running", "get_stack", "replace_in_tuple", "propagate_trace"]
NESTED = ["replace_constants", "get_stack", "replace_in_tuple", "propagate_trace"]


@pytest.mark.parametrize("nested", NESTED)
@pytest.mark.parametrize("outer", OUTERS)
def test_collection_inside_a_call_runs_any_function(outer, nested):
    def tracer(frame, event, arg):
        return None

    old = sys.gettrace()
    with parked_threads(2) as seen:
        sys.settrace(tracer if outer == "propagate_trace" or nested == "propagate_trace" else None)
        try:
            collect_at_each_allocation(lambda: make_world(outer, nested))
        finally:
            propagated = sys.gettrace()
            sys.settrace(old)
    if "propagate_trace" in (outer, nested):
        assert all(trace is propagated for trace in seen.values())


def test_retired_tuples_of_nested_swaps_all_die():
    f = self_swapper()
    code = f.__code__
    markers = []

    def nested():
        marker = Marker("nested")
        markers.append(weakref.ref(marker))
        replace_constants(code, with_x_as(f, marker))

    def make():
        marker = Marker("outer")
        markers.append(weakref.ref(marker))
        return types.SimpleNamespace(call=lambda: f(code, with_x_as(f, marker)), nested=nested, check=lambda: None)

    collect_at_each_allocation(make)
    replace_constants(code, with_x_as(f, "idle"))  # finds no running frame: releases what it kept
    del make
    gc.collect()
    assert [ref() for ref in markers if ref() is not None] == []


# --- the same under the debug allocator, in a child ------------------------------------------


@pytest.mark.skipif(
    bool(os.environ.get("KESTRAVEL_MEMORY_CHECKED")),
    reason="the rig's memory checker already watches every read of the sweeps themselves",
)
def test_replace_constants_sweeps_under_the_debug_allocator(python):
    # Freed memory is overwritten there, so a frame reading a released tuple shows it.
    out = python(
        """
        import sys, pytest
        sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "-k", "replace_constants and not debug", sys.argv[1]]))
        """,
        argv=[__file__],
        env={"PYTHONMALLOC": "debug"},
    )
    assert " passed" in out and "failed" not in out


# --- shared code objects, a locked thread list, a tuple that is its own argument tuple ----------

SUBINTERPRETER_SWAP = """
import genericpath
from support import SUBINTERPRETERS, new_subinterpreter, run_in_subinterpreter
from kestravel import _palvine
from kestravel._palvine import replace_constants

code = genericpath.exists.__code__  # deep-frozen: the same object in every interpreter
original = code.co_consts
# A heap copy of the constants, so that releasing it while a frame reads it frees it.
replace_constants(code, tuple(list(original)))
sub = new_subinterpreter()

class SwapsInTheSubinterpreter:
    def __fspath__(self):
        # genericpath.exists is paused in os.stat: its frame holds the tuple.
        run_in_subinterpreter(sub, '''if True:
            import genericpath, importlib.util
            # The module from the file this process loaded, past any import hook: an
            # editable install's rebuilds run a subprocess, which a subinterpreter refuses.
            spec = importlib.util.spec_from_file_location("kestravel._palvine", palvine_file)
            replace_constants = importlib.util.module_from_spec(spec).replace_constants
            code = genericpath.exists.__code__
            replace_constants(code, tuple(list(code.co_consts)))
            # Tuples of that size with other contents, where a released one would go.
            junk = [tuple(range(1000, 1000 + len(code.co_consts))) for _ in range(100)]
        ''', {"palvine_file": _palvine.__file__})
        return "/"

results = [genericpath.exists(SwapsInTheSubinterpreter()) for _ in range(50)]
replace_constants(code, original)  # no frame runs it now: what was kept is released
__import__(SUBINTERPRETERS).destroy(sub)
print(results == [True] * 50)
"""


def test_subinterpreter_swaps_code_that_the_main_interpreter_runs(python):
    assert python(SUBINTERPRETER_SWAP, env={"PYTHONMALLOC": "debug"}).strip() == "True"


SHARED_CODE_EXTRA = """
import ctypes, genericpath
from support import new_subinterpreter, run_in_subinterpreter
from kestravel import replace_constants

code = genericpath.exists.__code__  # static, shared by every interpreter
original = code.co_consts
sub = new_subinterpreter()
# In the subinterpreter another extension takes the first co_extra index and
# stores its own data there, in the shared code object.
run_in_subinterpreter(sub, '''if True:
    import ctypes, genericpath
    api = ctypes.pythonapi
    # Exported under these names from 3.12 on.
    request = getattr(api, "PyUnstable_Eval_RequestCodeExtraIndex", None) or api._PyEval_RequestCodeExtraIndex
    set_extra = getattr(api, "PyUnstable_Code_SetExtra", None) or api._PyCode_SetExtra
    request.restype = ctypes.c_ssize_t
    request.argtypes = [ctypes.c_void_p]
    set_extra.argtypes = [ctypes.py_object, ctypes.c_ssize_t, ctypes.c_void_p]
    index = request(None)
    assert index == 0, index
    data = ctypes.create_string_buffer(b"another extension's data" * 4)
    assert set_extra(genericpath.exists.__code__, index, ctypes.addressof(data)) == 0
''')

def f():
    return "x"

class SwapsWhileRunning:
    def __fspath__(self):
        # exists() is paused in os.stat: this retires the tuple it runs with.
        replace_constants(code, tuple(list(code.co_consts)))
        replace_constants(f.__code__, tuple(list(f.__code__.co_consts)))
        return "/"

results = [genericpath.exists(SwapsWhileRunning()) for _ in range(20)]
replace_constants(code, original)
print(results == [True] * 20)
"""


def test_shared_code_keeps_other_interpreters_extra_data_apart(python):
    # co_extra indices are per interpreter: the main interpreter's index of this
    # module may be another extension's slot in another interpreter.
    assert python(SHARED_CODE_EXTRA).strip() == "True"


OWN_GIL_BESIDE = """
import genericpath, json, os
from support import SUBINTERPRETERS, new_subinterpreter, run_in_subinterpreter
from kestravel import replace_constants

# An interpreter with a GIL of its own, running its own genericpath.exists in
# a thread meanwhile: its frames are never read, and its code is its own.
sub = new_subinterpreter(own_gil=True)
ready, stop, report = os.pipe(), os.pipe(), os.pipe()
run_in_subinterpreter(sub, '''if True:
    import genericpath, os, select, threading
    def spin():
        right = genericpath.exists("/")
        os.write(ready, b"1")
        while not select.select([stop], [], [], 0)[0]:
            right = right and genericpath.exists("/")
        os.write(report, str(right).encode())
    worker = threading.Thread(target=spin)
    worker.start()
''', {"ready": ready[1], "stop": stop[0], "report": report[1]})
os.read(ready[0], 1)
code = genericpath.exists.__code__  # static on 3.12, and this interpreter's alone
original = code.co_consts
for _ in range(2000):
    replace_constants(code, tuple(list(code.co_consts)))
replace_constants(code, original)
os.write(stop[1], b"1")
spun = os.read(report[0], 10).decode()
run_in_subinterpreter(sub, "worker.join()")  # an interpreter ends only without threads
__import__(SUBINTERPRETERS).destroy(sub)
print(json.dumps([spun, genericpath.exists("/")]))
"""


@pytest.mark.skipif(VERSION < (3, 12), reason="an interpreter has a GIL of its own from 3.12")
def test_interpreter_with_its_own_gil_runs_on_while_this_one_swaps(python):
    assert json.loads(python(OWN_GIL_BESIDE, timeout=120)) == ["True", True]


COUNTED_LIKE_STATIC_CODE = """
import ctypes, gc, threading, weakref
from support import Marker, loaded_after_self_swap, self_swapper, with_x_as
from kestravel import replace_constants

# More frames than a swap searches: every swap is then retired, and sweeps run often.
go = threading.Event()
def deep(n):
    return deep(n - 1) if n else go.wait()
parked = threading.Thread(target=deep, args=(300,))
parked.start()

f = self_swapper()
code = f.__code__
markers = []
def swap_while_running(name):
    marker = Marker(name)
    markers.append(weakref.ref(marker))
    return f(code, with_x_as(f, marker))

swap_while_running("first")  # the code object keeps a record of retired tuples from here on
# A heap code object with as many references as a static one has (a profiler
# keeping 600 million samples of it), for a while.
refcount = ctypes.c_ssize_t.from_address(id(code))
refcount.value += 600_000_000
loaded = [swap_while_running(f"counted{i}") for i in range(500)]
refcount.value -= 600_000_000
loaded += [swap_while_running(f"after{i}") for i in range(500)]
go.set()
parked.join()
replace_constants(code, with_x_as(f, "idle"))
# Each call loaded the constant of the tuple its frame started with, or its own.
right = loaded == [loaded_after_self_swap(a(), b()) for a, b in zip(markers[:-1], markers[1:])]
del f, code, loaded
gc.collect()
print(sum(ref() is not None for ref in markers), right)
"""


def test_heap_code_counted_like_static_code_keeps_its_record(python):
    # Whether code is static must not depend on a count that changes.
    assert python(COUNTED_LIKE_STATIC_CODE, env={"PYTHONMALLOC": "debug"}).split() == ["0", "True"]


LOCKED_THREAD_LIST = """
import ctypes, gc, json, sys, threading
from kestravel._palvine import propagate_trace, replace_constants

def f():
    return "x"

outcomes = []

class CallsInWhileCollected:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        try:
            propagate_trace()
            outcomes.append("propagated")
        except RuntimeError as e:
            outcomes.append(str(e))
        replace_constants(f.__code__, tuple(list(f.__code__.co_consts)))
        outcomes.append("replaced")

def hold_the_thread_list():
    # Takes the runtime's thread-list lock from this thread; returns its release.
    api = ctypes.pythonapi
    runtime = ctypes.addressof(ctypes.c_char.in_dll(api, "_PyRuntime"))
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    main = api.PyInterpreterState_Get()
    # _PyRuntime.interpreters is {lock, head, main, next_id}: alone, this
    # interpreter is both head and main.
    words = (ctypes.c_void_p * 4096).from_address(runtime)
    slot = next(i for i in range(1, 4095) if words[i] == main and words[i + 1] == main)
    lock = runtime + (slot - 1) * ctypes.sizeof(ctypes.c_void_p)
    if sys.version_info >= (3, 13):  # a PyMutex
        api.PyMutex_Lock(ctypes.c_void_p(lock))
        return lambda: api.PyMutex_Unlock(ctypes.c_void_p(lock))
    handle = ctypes.c_void_p.from_address(lock).value  # a PyThread_type_lock
    assert api.PyThread_acquire_lock(ctypes.c_void_p(handle), 1) == 1
    return lambda: api.PyThread_release_lock(ctypes.c_void_p(handle))

if sys.argv[1] == "held":
    release = hold_the_thread_list()
    try:
        CallsInWhileCollected.__del__(None)
    finally:
        release()
else:
    go = threading.Event()
    parked = []
    for allocation in range(1, 6):
        parked.append(threading.Thread(target=go.wait))  # its frames have no frame objects yet
        parked[-1].start()
        drained = [{} for _ in range(100)]  # so that the result dict counts as an allocation
        gc.collect()
        gc.disable()
        CallsInWhileCollected()
        gc.set_threshold(gc.get_count()[0] + allocation - 1)
        gc.enable()
        sys._current_frames()  # holds the thread-list lock while it makes frame objects
        gc.set_threshold(700)
        gc.collect()
    go.set()
    for t in parked:
        t.join()
print(json.dumps(sorted(set(outcomes))))
"""


@pytest.mark.parametrize(
    "holder",
    [
        "held",
        pytest.param(
            "finalizer",
            marks=pytest.mark.skipif(
                not COLLECTS_INSIDE_ALLOCATIONS, reason="from 3.12 no collection starts inside sys._current_frames()"
            ),
        ),
    ],
    ids=["held-by-this-thread", "finalizer-under-the-lock"],
)
def test_call_made_while_this_thread_holds_the_thread_list_lock_does_not_hang(python, holder):
    # The call finds the lock taken by its own thread: the wait is bounded.
    outcomes = json.loads(python(LOCKED_THREAD_LIST, argv=[holder], timeout=60))
    assert "Failed to set trace function: the thread list stayed locked" in outcomes
    assert "replaced" in outcomes


def test_tuple_that_is_its_own_argument_tuple():
    # replace_in_tuple(*t) passes t itself as the argument tuple, so replacing
    # item drops the argument tuple's references as well: t alone holds item
    # and the replacement here.
    class Finalizes:
        def __del__(self):
            # Resurrects itself over the replacement, whose last references go:
            # a scan still running would then store the freed replacement.
            replace_in_tuple(t, t[2], self)

    t = (None, Finalizes(), Marker("replacement"))
    t_refs = sys.getrefcount(t)
    replace_in_tuple(t, None, t)
    replace_in_tuple(*t)
    # The scan, then the finalizer, as if called one after the other.
    assert t[0] is t and type(t[1]) is Finalizes and t[2] is t[1]
    replace_in_tuple(t, t, None)  # no cycle left behind
    assert sys.getrefcount(t) == t_refs


class BlocksWhileReleased:
    """Lets the GIL go while it is released, until told to finish."""

    def __init__(self, releasing, finish):
        self.releasing, self.finish = releasing, finish

    def __call__(self, frame, event, arg):
        return None

    def __del__(self):
        self.releasing.set()
        self.finish.wait(timeout=60)


def propagate_while_a_thread_releases(worker_body):
    """Runs worker_body(releasing, finish) in a thread and propagates a trace while it releases an object.

    Returns how many references to the propagated trace object are left once the thread is gone.
    """

    def mine(frame, event, arg):
        return None

    releasing, finish = threading.Event(), threading.Event()
    old = sys.gettrace()
    sys.settrace(mine)  # first: the worker's own installation refuses others while under way
    refs = sys.getrefcount(mine)
    worker = threading.Thread(target=worker_body, args=(releasing, finish))
    try:
        worker.start()
        assert releasing.wait(timeout=60)
        propagate_trace()
    finally:
        finish.set()
        worker.join(timeout=60)
        sys.settrace(old)
    return sys.getrefcount(mine) - (refs - 1)


LIMIT = "3.11 keeps no mark on a thread state that is inside its own settrace or past its teardown's trace release"


@pytest.mark.xfail(not KEEPS_TRACE_MARKS, strict=True, reason=LIMIT)
def test_thread_inside_its_own_settrace_keeps_no_propagated_reference():
    def worker(releasing, finish):
        sys.settrace(BlocksWhileReleased(releasing, finish))
        sys.settrace(None)  # releases the old trace object between clearing the fields and storing these

    assert propagate_while_a_thread_releases(worker) == 0


@pytest.mark.xfail(not KEEPS_TRACE_MARKS, strict=True, reason=LIMIT)
def test_ending_thread_keeps_no_propagated_reference():
    def worker(releasing, finish):
        # Released from the thread's context as its state is cleared, after its trace.
        contextvars.ContextVar("held").set(BlocksWhileReleased(releasing, finish))

    assert propagate_while_a_thread_releases(worker) == 0
