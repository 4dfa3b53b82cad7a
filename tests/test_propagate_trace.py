import json
import sys
from contextlib import contextmanager

import pytest
from support import VERSION, parked_threads

from kestravel._palvine import propagate_trace


def make_tracer(name):
    def tracer(frame, event, arg):
        return None

    tracer.__qualname__ = name
    return tracer


@contextmanager
def tracing(tracer):
    old = sys.gettrace()
    sys.settrace(tracer)
    try:
        yield
    finally:
        sys.settrace(old)


@pytest.mark.parametrize("caller_has_trace", [True, False], ids=["trace", "no-trace"])
def test_every_other_thread_gets_the_callers_trace(caller_has_trace):
    own = [make_tracer(f"own{i}") for i in range(4)]
    mine = make_tracer("mine") if caller_has_trace else None
    with parked_threads(4, own) as seen:
        with tracing(mine):
            assert propagate_trace() is None
            assert sys.gettrace() is mine
    assert seen == {i: mine for i in range(4)}


def test_lone_caller_changes_nothing():
    mine = make_tracer("mine")
    with tracing(mine):
        assert propagate_trace() is None
        assert sys.gettrace() is mine


def test_reference_counts_follow_the_installations():
    mine = make_tracer("mine")
    own = [make_tracer(f"own{i}") for i in range(3)]
    with parked_threads(3, own):
        with tracing(mine):
            mine_refs = sys.getrefcount(mine)
            own_refs = [sys.getrefcount(t) for t in own]
            propagate_trace()
            assert sys.getrefcount(mine) == mine_refs + 3
            assert [sys.getrefcount(t) for t in own] == [r - 1 for r in own_refs]


AUDIT_SCRIPT = """
import json, sys, threading
from kestravel._palvine import propagate_trace

COUNT, REFUSE_AT = map(int, sys.argv[1:3])
ready, go, seen = threading.Barrier(COUNT + 1), threading.Event(), {}

def named(name):
    def tracer(frame, event, arg):
        return None
    tracer.__qualname__ = name
    return tracer

def park(i):
    sys.settrace(named(f"own{i}"))
    ready.wait()
    go.wait()
    seen[i] = getattr(sys.gettrace(), "__qualname__", None)

threads = [threading.Thread(target=park, args=(i,)) for i in range(COUNT)]
for t in threads:
    t.start()
ready.wait()

events = []
armed = False
def hook(event, args):
    if armed and event == "sys.settrace":
        events.append(threading.get_ident())
        if len(events) == REFUSE_AT:
            raise PermissionError("refused by hook")
sys.addaudithook(hook)

sys.settrace(named("mine"))
armed = True
try:
    propagate_trace()
    error = None
except Exception as e:
    error = [type(e).__name__, str(e)]
armed = False
mine = sys.gettrace().__qualname__
sys.settrace(None)
go.set()
for t in threads:
    t.join()
main = threading.get_ident()
print(json.dumps({"error": error, "events": len(events), "in_caller": all(e == main for e in events),
                  "seen": [seen[i] for i in range(COUNT)], "mine": mine}))
"""


@pytest.mark.parametrize("count", [0, 3], ids=["caller-alone", "three-others"])
def test_one_audit_event_per_other_thread(python, count):
    result = json.loads(python(AUDIT_SCRIPT, argv=[str(count), "0"]))
    assert result == {"error": None, "events": count, "in_caller": True, "seen": ["mine"] * count, "mine": "mine"}


@pytest.mark.parametrize("refuse_at", [1, 3, 5], ids=lambda k: f"refused-at-{k}")
def test_refusal_keeps_the_threads_before_it_and_raises(python, refuse_at):
    count = 5
    result = json.loads(python(AUDIT_SCRIPT, argv=[str(count), str(refuse_at)]))
    # Visited newest first: the refuse_at - 1 most recently started threads changed.
    changed = refuse_at - 1
    expected_seen = [f"own{i}" for i in range(count - changed)] + ["mine"] * changed
    assert result == {
        "error": ["RuntimeError", "Failed to set trace function"],
        "events": refuse_at,
        "in_caller": True,
        "seen": expected_seen,
        "mine": "mine",
    }


@pytest.mark.parametrize(
    "own_gil", [False, True] if VERSION >= (3, 12) else [False], ids=lambda own: "own-gil" if own else "shared-gil"
)
def test_threads_of_other_interpreters_are_not_visited(python, own_gil):
    out = python(
        """
        import os, sys
        from support import new_subinterpreter, run_in_subinterpreter
        from kestravel._palvine import propagate_trace

        # A thread of the subinterpreter with a trace of its own, which reports
        # it once the main interpreter has propagated its own, then None.
        ready, go, report = os.pipe(), os.pipe(), os.pipe()
        sub = new_subinterpreter(own_gil=sys.argv[1] == "True")
        run_in_subinterpreter(sub, '''if True:
            import os, sys, threading
            def keep():
                sys.settrace(lambda *a: None)
                os.write(ready, b"1")
                os.read(go, 1)
                os.write(report, sys.gettrace().__name__.encode())
            threading.Thread(target=keep).start()
        ''', {"ready": ready[1], "go": go[0], "report": report[1]})
        os.read(ready[0], 1)
        sys.settrace(lambda *a: None)
        propagate_trace()
        sys.settrace(None)
        propagate_trace()
        os.write(go[1], b"1")
        print(os.read(report[0], 100).decode(), flush=True)
        # Out at once: the subinterpreter's thread may still be on its way out,
        # and ending an interpreter with a running thread is a fatal error.
        os._exit(0)
        """,
        argv=[str(own_gil)],
    )
    assert out.strip() == "<lambda>"


STRESS_SCRIPT = """
import os, sys, threading, time
from kestravel._palvine import propagate_trace

SLOW = sys.argv[1]
deadline = time.monotonic() + float(os.environ.get("KESTRAVEL_STRESS_SECONDS", "2"))

class SlowToDie:
    def __call__(self, frame, event, arg):
        return None
    def __del__(self):
        if SLOW == "del":
            time.sleep(0.0002)

def hook(event, args):
    if SLOW == "audit" and event == "sys.settrace":
        time.sleep(0.0002)
sys.addaudithook(hook)

stop = threading.Event()
def settrace(tracer):
    # The interpreter refuses while another thread's installation is under way.
    while True:
        try:
            return sys.settrace(tracer)
        except RuntimeError:
            time.sleep(0)

def short_lived():
    settrace(SlowToDie())  # an old trace object of its own to release
    time.sleep(0.0005)

def spawn():
    while not stop.is_set():
        batch = [threading.Thread(target=short_lived) for _ in range(4)]
        for t in batch:
            t.start()
        for t in batch:
            t.join()

spawners = [threading.Thread(target=spawn, daemon=True) for _ in range(2)]
for t in spawners:
    t.start()
calls = 0
try:
    while calls == 0 or time.monotonic() < deadline:  # at least one, however slow the machine
        # A fresh trace object each time: propagating it releases the last
        # one, whose __del__ then runs.
        settrace(SlowToDie())
        propagate_trace()
        calls += 1
finally:
    settrace(None)
    stop.set()
    for t in spawners:
        t.join()
print(calls)
"""


@pytest.mark.parametrize("allocator", ["pymalloc", "debug"])
@pytest.mark.parametrize("slow", ["audit", "del"], ids=["audit-hook-sleeps", "old-trace-del-sleeps"])
def test_threads_ending_during_propagation(python, slow, allocator):
    out = python(STRESS_SCRIPT, argv=[slow], env={"PYTHONMALLOC": allocator})
    assert int(out) > 0


def test_propagating_none_leaves_no_tracing_instrumentation(python):
    # From 3.12 tracing instruments the code it runs (INSTRUMENTED_* opcodes)
    # while any thread of the interpreter is traced.
    out = python(
        """
        import dis, json, sys
        from support import parked_threads
        from kestravel import propagate_trace, settrace_all_threads

        def work():
            return len("ab")

        def instrumented():
            work()
            return sorted({i.opname for i in dis.get_instructions(work, adaptive=True)
                           if i.opname.startswith("INSTRUMENTED")})

        with parked_threads(2):
            settrace_all_threads(lambda *a: None)
            sys.settrace(None)
            others_traced = instrumented()
            propagate_trace()
            none_traced = instrumented()
        print(json.dumps([others_traced, none_traced]))
        """
    )
    others_traced, none_traced = json.loads(out)
    assert bool(others_traced) == (VERSION >= (3, 12)) and none_traced == []
