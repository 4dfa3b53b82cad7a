"""A seeded random walk over the five functions on live objects, checked against a model.

Each step does one thing to objects that are running, suspended or blocked,
and checks at once what the model says it must have done; readers that were
started earlier check, as they finish, that they loaded the constant their
frame started with. It runs in a child interpreter (it loads greenlet, where it
is installed: the debug and i386 rigs have none) for
KESTRAVEL_STRESS_SECONDS, under the debug allocator unless a memory checker
already watches the process.
"""

import os

import pytest

STRESS = r"""
import functools, gc, genericpath, os, random, sys, threading, time, weakref
from support import SUBINTERPRETERS, new_subinterpreter, run_in_subinterpreter
try:
    import greenlet
except ImportError:
    greenlet = None
from support import Marker, fresh_copy, loaded_after_self_swap, with_x_as
from kestravel import _palvine, get_stack, propagate_trace, replace_constants, replace_in_tuple, settrace_all_threads

rng = random.Random(int(sys.argv[1]))
deadline = time.monotonic() + float(os.environ.get("KESTRAVEL_STRESS_SECONDS", "2"))
main = greenlet.getcurrent() if greenlet else None
all_markers = []

def marker(name):
    m = Marker(name)
    all_markers.append(weakref.ref(m))
    return m

def pauses_then_loads(pause):
    pause()  # a C call: the frame keeps the constants it started with (3.11)
    return "x"

class Subject:
    # A function whose "x" constant the model knows.
    def __init__(self, i):
        self.f = fresh_copy(pauses_then_loads)
        self.code = self.f.__code__
        self.swap(f"s{i}-start")
    def swap(self, name):
        self.value = marker(name)
        new = with_x_as(self.f, self.value)
        replace_constants(self.code, new)
        assert self.code.co_consts is new

subjects = [Subject(i) for i in range(3)]
pending = []  # readers that started: (kind, finish, the constant when they started, subject)

def wait_until_in(thread, code):
    while (frame := sys._current_frames().get(thread.ident)) is None or frame.f_code is not code:
        time.sleep(0.0005)

def stack_is_sane(frame):
    stack = get_stack(frame)
    depth = stack[-1]
    assert isinstance(depth, int) and list(stack)[0] == -1, stack
    assert all(0 <= k < depth for k in list(stack)[1:]), stack

def tracer(frame, event, arg):
    stack_is_sane(frame)
    return tracer

class CallsBackWhenCollected:
    def __init__(self, subject):
        self.subject, self.cycle = subject, self
    def __del__(self):
        self.subject.swap("from-del")
        stack_is_sane(sys._getframe())

def gen(values):
    a, b = values
    yield a + (yield b)  # suspended with `a` on its stack

IDLE_SWAPS = int(sys.argv[2])
sub = new_subinterpreter()
tuple_model = [marker("t0"), marker("t1"), None, 1]
shared = tuple(tuple_model)
steps = 0
while time.monotonic() < deadline or steps < 50:
    steps += 1
    s = rng.choice(subjects)
    op = rng.choice(["swap", "self-swap", "greenlet", "thread", "finish", "finish", "generator", "tuple",
                     "collect", "del", "trace", "propagate", "subinterpreter"])
    if op == "swap":
        s.swap(f"swap{steps}")
    elif op == "self-swap":
        expected, new = s.value, marker(f"self{steps}")
        loaded = s.f(functools.partial(replace_constants, s.code, with_x_as(s.f, new)))
        assert loaded is loaded_after_self_swap(expected, new), (loaded, expected, new)
        s.value = new
    elif op == "greenlet" and greenlet:
        g = greenlet.greenlet(functools.partial(s.f, main.switch))
        g.switch()
        pending.append(("greenlet", g.switch, s.value, s))
    elif op == "thread":
        lock, out = threading.Lock(), []
        lock.acquire()
        t = threading.Thread(target=lambda f=s.f: out.append(f(lock.acquire)))
        t.start()
        wait_until_in(t, s.code)
        pending.append(("thread", lambda t=t, lock=lock, out=out: (lock.release(), t.join(), out[0])[2], s.value, s))
    elif op == "finish" and pending:
        kind, finish, expected, s = pending.pop(rng.randrange(len(pending)))
        expected = loaded_after_self_swap(expected, s.value)
        loaded = finish()
        assert loaded is expected, (kind, loaded, expected)
    elif op == "generator":
        a, b = marker("a"), marker("b")
        g = gen((a, b))
        assert next(g) is b
        stack = get_stack(g.gi_frame)
        assert stack[-1] == 1 and stack[0] is a, stack
        g.close()
    elif op == "tuple":
        item = rng.choice(tuple_model + [marker("absent")])
        replacement = rng.choice(tuple_model + [marker(f"r{steps}")])
        replace_in_tuple(shared, item, replacement)
        tuple_model = [replacement if v is item else v for v in tuple_model]
        assert all(a is b for a, b in zip(shared, tuple_model, strict=True))
    elif op == "collect":
        gc.collect()
    elif op == "del":
        CallsBackWhenCollected(s)
        gc.collect()
        assert s.code.co_consts[s.code.co_consts.index(s.value)] is s.value
    elif op == "trace":
        func = rng.choice([tracer, None])
        settrace_all_threads(func)
        assert sys.gettrace() is func and threading.gettrace() is func
    elif op == "propagate":
        propagate_trace()
    elif op == "subinterpreter":
        run_in_subinterpreter(sub, '''if True:
            import genericpath, importlib.util
            # The module from the file this process loaded: an editable install's
            # import hook runs a subprocess, which a subinterpreter refuses.
            spec = importlib.util.spec_from_file_location("kestravel._palvine", palvine_file)
            replace_constants = importlib.util.module_from_spec(spec).replace_constants
            code = genericpath.exists.__code__  # static, shared with the main interpreter
            replace_constants(code, tuple(list(code.co_consts)))
            assert genericpath.exists("/")
        ''', {"palvine_file": _palvine.__file__})
        assert genericpath.exists("/")
settrace_all_threads(None)
while pending:
    kind, finish, expected, s = pending.pop()
    expected = loaded_after_self_swap(expected, s.value)
    assert finish() is expected, kind
__import__(SUBINTERPRETERS).destroy(sub)
for name in ("s", "g", "shared", "tuple_model", "item", "replacement", "a", "b", "stack", "expected", "new",
             "loaded", "out", "finish", "kind", "t", "lock", "func"):
    globals().pop(name, None)
# Nothing reads the retired tuples now: swaps enough to start sweeps release
# them, and all but the last sweep's worth of their own.
before_idle = len(all_markers)
for subject in subjects:
    for i in range(IDLE_SWAPS):
        subject.swap("idle")
gc.collect()
live = {id(subject.value) for subject in subjects}
kept = [i for i, ref in enumerate(all_markers) if ref() is not None and id(ref()) not in live]
print(steps, sum(i < before_idle for i in kept), sum(i >= before_idle for i in kept))
"""

IDLE_SWAPS = 3000


@pytest.mark.parametrize("seed", [1013, 2026])
def test_random_calls_match_the_model(python, seed):
    env = {} if os.environ.get("KESTRAVEL_MEMORY_CHECKED") else {"PYTHONMALLOC": "debug"}
    steps, kept, kept_idle = map(int, python(STRESS, argv=[str(seed), str(IDLE_SWAPS)], env=env, timeout=600).split())
    assert steps >= 50 and kept == 0 and kept_idle < 3 * IDLE_SWAPS / 2
