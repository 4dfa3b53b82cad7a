"""Constants swapped under suspended greenlets, with the real greenlet and gevent.

Each case runs in a child interpreter under the debug allocator, which poisons
freed memory: a suspended frame reading a released tuple loads garbage. Once
greenlet is loaded, every replacement retires its tuple until a sweep, which
also visits suspended greenlets, finds no frame that may read it; the main test
process never imports greenlet, so the rest of the suite sees exact releases.
"""

import importlib.util
import json

import pytest
from support import VERSION, loaded_after_self_swap

# Looked up, not imported: the suite's own process must stay without greenlet.
pytestmark = pytest.mark.skipif(
    not all(importlib.util.find_spec(name) for name in ("greenlet", "gevent")),
    reason="greenlet and gevent are test dependencies: pip install '.[test]'",
)

SHAPES = r"""
import functools, gc, json, sys, threading, weakref
import greenlet
from support import Marker, fresh_copy, with_x_as
from kestravel import replace_constants

SHAPE = sys.argv[1]
SWAPS = 3000  # enough retirements to start several sweeps, whatever the process's size

def pauses_then_loads(pause, out):
    try:
        pause()  # a C call (a switch, a wait): the frame holds its constants tuple
    finally:
        out.append("x")
    return "x"

f = fresh_copy(pauses_then_loads)
original = Marker("original")
replace_constants(f.__code__, with_x_as(f, original))
retired = []

def swap_many():
    for i in range(SWAPS):
        marker = Marker(f"swap{i}")
        retired.append(weakref.ref(marker))
        replace_constants(f.__code__, with_x_as(f, marker))
    gc.collect()
    # Tuples of that size, where a released one's memory would go.
    return [tuple(range(len(f.__code__.co_consts))) for _ in range(100)]

out = []
main = greenlet.getcurrent()
if SHAPE == "child-paused-in-switch":
    g = greenlet.greenlet(lambda: f(main.switch, out))
    g.switch()
    swap_many()
    g.switch()
elif SHAPE == "resumed-before-a-sweep":
    def switch_then_swap():
        main.switch()
        swap_many()  # f's frame, running again in this thread, still reads its first tuple
    g = greenlet.greenlet(lambda: f(functools.partial(switch_then_swap), out))
    g.switch()
    replace_constants(f.__code__, with_x_as(f, Marker("while suspended")))
    g.switch()
elif SHAPE == "main-paused-in-switch":
    f(greenlet.greenlet(swap_many).switch, out)
elif SHAPE == "gevent-task-in-event-wait":
    import gevent, gevent.event
    event = gevent.event.Event()
    task = gevent.spawn(f, event.wait, out)
    gevent.sleep(0)
    swap_many()
    event.set()
    task.join()
elif SHAPE == "released-while-suspended":
    class SwapsWhenCollected:
        def __init__(self):
            self.cycle = self
        def __del__(self):
            swap_many()  # inside a collection, whose lists a sweep cannot walk
    g = greenlet.greenlet(lambda: f(main.switch, out))
    g.switch()
    SwapsWhenCollected()
    gc.collect()
    del g  # greenlet kills it as it goes: its frame runs its finally clause
elif SHAPE == "greenlet-of-another-thread":
    suspended, finish = threading.Event(), threading.Event()
    def run():
        hub = greenlet.getcurrent()
        g = greenlet.greenlet(lambda: f(hub.switch, out))
        g.switch()
        suspended.set()
        finish.wait()
        g.switch()
    t = threading.Thread(target=run)
    t.start()
    suspended.wait()
    swap_many()
    finish.set()
    t.join()
first = retired[:]
swap_many()  # no frame runs f now: sweeps release what the first swaps kept
gc.collect()
# What the frame loaded stays alive in `out`, where loads read the current tuple.
print(json.dumps({"loaded": [getattr(o, "name", o) for o in out],
                  "kept": sum(ref() is not None and ref() not in out for ref in first)}))
"""


@pytest.mark.parametrize(
    "shape",
    [
        "child-paused-in-switch",
        "resumed-before-a-sweep",
        "main-paused-in-switch",
        "gevent-task-in-event-wait",
        "released-while-suspended",
        "greenlet-of-another-thread",
    ],
)
def test_suspended_greenlet_keeps_reading_its_constants(python, shape):
    result = json.loads(python(SHAPES, argv=[shape], env={"PYTHONMALLOC": "debug"}))
    # The frame loads its first tuple's constant, or (3.12+) the current one: the first swaps' last.
    assert result == {"loaded": [loaded_after_self_swap("original", "swap2999")], "kept": 0}


OLD_GREENLET = """
import json, sys
import greenlet
from kestravel import replace_constants

greenlet.__version__ = sys.argv[1]  # as the package says, before the module first finds it
main = greenlet.getcurrent()
g = greenlet.greenlet(lambda: main.switch())
g.switch()

def f():
    return "x"

old = f.__code__.co_consts
try:
    replace_constants(f.__code__, tuple(list(old)))
    outcome = "replaced"
except RuntimeError as e:
    outcome = str(e)
print(json.dumps([outcome, f.__code__.co_consts is old]))
"""


@pytest.mark.parametrize("version", ["3.0.2", "3.0.3"])
def test_greenlet_that_hides_suspended_frames_is_refused(python, version):
    # greenlet before 3.0.3 cuts a suspended greenlet's frame chain on 3.12+.
    refused = VERSION >= (3, 12) and version == "3.0.2"
    message = (
        "this greenlet hides the frames of suspended greenlets, which may hold the constants: "
        "upgrade greenlet to 3.0.3 or later"
    )
    assert json.loads(python(OLD_GREENLET, argv=[version])) == ([message, True] if refused else ["replaced", False])
