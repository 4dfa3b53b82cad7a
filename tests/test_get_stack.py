import dis
import gc
import sys
import threading

import pytest
from support import COLLECTS_INSIDE_ALLOCATIONS, NULL_ABOVE_CALLABLE, RETURN_EVENT_SEES_A_RUNNING_FRAME, collection_at

from kestravel._palvine import get_stack, replace_in_tuple


def nlocalsplus(code):
    return len(code.co_varnames) + len(code.co_cellvars) + len(code.co_freevars)


def test_executing_frame_reports_the_running_marker():
    def running(a, b):
        return get_stack(sys._getframe())

    # An executing frame's stacktop is -1.
    assert running(1, 2) == {-1: -1 - nlocalsplus(running.__code__)}


def caller_stack():
    return get_stack(sys._getframe(1))


def test_caller_paused_in_a_python_call_shows_its_saved_stack():
    def caller():
        pending = object()
        return [pending, caller_stack()], pending

    (_, stack), pending = caller()
    assert list(stack) == [-1, 0]
    assert stack[-1] == 1 and stack[0] is pending


def identity(value):
    return value


def test_null_slot_leaves_its_key_out():
    # Calling a global pushes NULL under the callable (above it from 3.13).
    def caller():
        return identity(caller_stack())

    assert caller() == ({-1: 2, 0: identity} if NULL_ABOVE_CALLABLE else {-1: 2, 1: identity})


def test_suspended_generator():
    def gen(it):
        for v in it:
            yield v

    it = iter([1, 2])
    g = gen(it)
    assert get_stack(g.gi_frame) == {-1: 0}
    next(g)
    stack = get_stack(g.gi_frame)
    assert list(stack) == [-1, 0] and stack[-1] == 1 and stack[0] is it


def test_three_deep_stack_is_ordered_bottom_to_top():
    a, b, c = object(), object(), object()

    def caller(a, b, c):
        return (a, b, c, caller_stack())

    stack = caller(a, b, c)[3]
    # Key order is insertion order: the depth, then the bottom upward.
    assert list(stack) == [-1, 0, 1, 2] and stack[-1] == 3
    assert stack[0] is a and stack[1] is b and stack[2] is c


# On two lines, so that a line event comes between the two pushes; formatters must leave it so.
def traced_pair(a, b):
    return (a,
            b)  # fmt: skip


def trace_events(function, *args):
    """(event, line offset, opcode name, stack) for every trace event in function's frame."""
    code = function.__code__
    ops = {ins.offset: ins.opname for ins in dis.get_instructions(code)}
    events = []

    def tracer(frame, event, arg):
        if frame.f_code is code:
            frame.f_trace_opcodes = True
            events.append((event, frame.f_lineno - code.co_firstlineno, ops.get(frame.f_lasti), get_stack(frame)))
        return tracer

    old = sys.gettrace()
    sys.settrace(tracer)
    try:
        function(*args)
    finally:
        sys.settrace(old)
    return events


def test_trace_events_see_the_saved_stack():
    a, b = "left", "right"
    events = trace_events(traced_pair, a, b)
    assert events[0] == ("call", 0, "RESUME", {-1: 0})
    assert ("line", 2, "LOAD_FAST", {-1: 1, 0: a}) in events
    opcode_stacks = [stack for event, _, op, stack in events if event == "opcode" and op == "BUILD_TUPLE"]
    assert events[-1][:3] == ("return", 1, "RETURN_VALUE")
    if RETURN_EVENT_SEES_A_RUNNING_FRAME:
        # The frame is running at these events: its depth is negative, and no slot is read.
        running = [events[-1][3], *opcode_stacks]
        assert all(list(stack) == [-1] and stack[-1] < 0 for stack in running)
        assert all(stack[-1] >= 0 for event, _, _, stack in events if event in ("call", "line"))
    else:
        assert events[-1][3] == {-1: 0}
        (pushed_b,) = opcode_stacks
        assert pushed_b[0] is a and pushed_b[1] is b and pushed_b[-1] == 2
        assert all(stack[-1] >= 0 for _, _, _, stack in events)


def test_finished_and_cleared_frames():
    def finished(x, y):
        return sys._getframe()

    frame = finished(1, 2)
    assert get_stack(frame) == {-1: 0}
    frame.clear()
    assert get_stack(frame) == {-1: -nlocalsplus(finished.__code__)}


def test_each_call_returns_a_fresh_dict():
    frame = sys._getframe()
    assert get_stack(frame) is not get_stack(frame)


@pytest.mark.parametrize(
    "bad",
    [test_each_call_returns_a_fresh_dict.__code__, None, (sys._getframe(),)],
    ids=["code", "none", "tuple-of-frame"],
)
def test_non_frame_is_a_type_error(bad):
    with pytest.raises(TypeError):
        get_stack(bad)


class ClosesOnCollection:
    def __init__(self, generator):
        self.generator = generator
        self.cycle = self

    def __del__(self):
        self.generator.close()


def test_frame_dropped_from_its_argument_tuple_by_a_collection_the_snapshot_triggers():
    # get_stack(*t) passes t itself as the argument tuple, and t holds the
    # finished frame's only reference; a finalizer run by the dict's allocation
    # empties t. Under the debug allocator a freed frame reads as garbage.
    def finished(x, y):
        return sys._getframe()

    t = (finished(1, 2),)
    with collection_at(1, lambda: replace_in_tuple(t, t[0], None)) as ran:
        stack = get_stack(*t)
    assert ran == [True] and t == (None,)
    assert stack == {-1: 0}


@pytest.mark.skipif(not COLLECTS_INSIDE_ALLOCATIONS, reason="from 3.12 no collection starts inside an allocation")
def test_frame_finished_by_a_collection_the_snapshot_triggers():
    # get_stack's own dict allocation runs a collection whose finalizer
    # finishes the generator: the stack must be measured after it.
    def gen(it):
        for v in it:
            yield v

    g = gen(iter([object(), object()]))
    next(g)
    frame = g.gi_frame
    assert get_stack(frame)[-1] == 1
    was_enabled, threshold = gc.isenabled(), gc.get_threshold()
    gc.collect()
    gc.disable()
    ClosesOnCollection(g)
    del g
    keep_fresh = [{} for _ in range(200)]  # empties the dict free list
    gc.set_threshold(1)
    try:
        gc.enable()
        stack = get_stack(frame)
    finally:
        gc.set_threshold(*threshold)
        (gc.enable if was_enabled else gc.disable)()
    del keep_fresh
    assert stack == {-1: 0}


def spins(done):
    n = 0
    while not done:  # pure bytecode: the GIL passes at the loop's eval-breaker checks
        n += 1


def step():
    return None


def spins_calling_python(done):
    while not done:
        step()  # the loop frame is paused in a Python call while step runs


@pytest.mark.parametrize(
    "loop, depths",
    [(spins, {"running"}), (spins_calling_python, {"running", 0})],
    ids=["pure-bytecode", "calling-a-python-function"],
)
def test_another_threads_busy_frame_never_shows_a_stale_stack(loop, depths):
    # Another thread's frame, seen between GIL hand-offs, either runs (the
    # running marker) or is paused in a Python call with its stack saved:
    # that saved stack, empty here, is the {-1: 0} a sampler may meet.
    done = []
    running = -1 - nlocalsplus(loop.__code__)
    worker = threading.Thread(target=loop, args=(done,))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    worker.start()
    seen = set()
    try:
        for sample in range(2000):
            frame = sys._current_frames().get(worker.ident)
            while frame is not None and frame.f_code is not loop.__code__:
                frame = frame.f_back
            if frame is not None:
                depth = get_stack(frame)[-1]
                seen.add("running" if depth == running else depth)
            del frame
            if sample >= 300 and seen >= depths:
                break
    finally:
        done.append(True)
        worker.join()
        sys.setswitchinterval(interval)
    # Which of the states a sample meets depends on the scheduling (valgrind's
    # meets one); none may be anything else.
    assert seen and seen <= depths
