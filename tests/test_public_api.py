import importlib.metadata
import json
import sys
import threading
from pathlib import Path

import pytest
from support import parked_threads

import kestravel
from kestravel import _palvine

NATIVE = ["get_stack", "propagate_trace", "replace_constants", "replace_in_tuple"]
# Besides __all__: what every package has, its version, and the attribute that importing its
# native submodule sets.
PACKAGE_ATTRIBUTES = {
    "__all__",
    "__builtins__",
    "__cached__",
    "__doc__",
    "__file__",
    "__loader__",
    "__name__",
    "__package__",
    "__path__",
    "__spec__",
    "__version__",
    "_palvine",
}


def test_the_package_exports_the_native_functions_and_settrace_all_threads_and_nothing_else(python):
    assert sorted(kestravel.__all__) == sorted(NATIVE + ["settrace_all_threads"])
    assert all(getattr(kestravel, name) is getattr(_palvine, name) for name in NATIVE)
    # In a fresh interpreter: importing a submodule such as the tour's adds an attribute.
    namespace = json.loads(python("import json, kestravel; print(json.dumps(dir(kestravel)))"))
    assert set(namespace) == set(kestravel.__all__) | PACKAGE_ATTRIBUTES


def test_version_is_the_installed_distributions():
    try:
        dist = importlib.metadata.distribution("kestravel")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("kestravel is not installed, only importable")
    if Path(dist.locate_file("kestravel/__init__.py")).resolve() != Path(kestravel.__file__).resolve():
        pytest.skip("the installed kestravel is another copy than the one imported")
    assert dist.version == kestravel.__version__


def tracer(frame, event, arg):
    return None


@pytest.mark.parametrize("func", [tracer, None], ids=["function", "none"])
def test_settrace_all_threads_reaches_threads_before_and_after_it(func):
    def own(frame, event, arg):
        return None

    old_sys, old_threading = sys.gettrace(), threading.gettrace()
    seen_later = []
    with parked_threads(3, [own] * 3) as seen_before:
        try:
            kestravel.settrace_all_threads(func)
            assert sys.gettrace() is func
            later = threading.Thread(target=lambda: seen_later.append(sys.gettrace()))
            later.start()
            later.join()
        finally:
            threading.settrace(old_threading)
            sys.settrace(old_sys)
    assert seen_before == {i: func for i in range(3)} and seen_later == [func]


REFUSED = """
import json, sys, threading
from support import parked_threads
import kestravel

def named(name):
    def tracer(frame, event, arg):
        return None
    tracer.__qualname__ = name
    return tracer

REFUSE_AT = int(sys.argv[1])
events = []
def hook(event, args):
    if event == "sys.settrace" and armed:
        events.append(event)
        if len(events) == REFUSE_AT:
            raise PermissionError("refused")
armed = False
sys.addaudithook(hook)
mine = named("mine")
with parked_threads(3, [named(f"own{i}") for i in range(3)]) as seen:
    armed = True
    try:
        kestravel.settrace_all_threads(mine)
        error = None
    except Exception as e:
        error = type(e).__name__
    armed = False
    caller = getattr(sys.gettrace(), "__qualname__", None)
    sys.settrace(None)
later = []
t = threading.Thread(target=lambda: later.append(getattr(sys.gettrace(), "__qualname__", None)))
t.start(); t.join()
print(json.dumps({"error": error, "caller": caller, "seen": [getattr(seen[i], "__qualname__", None) for i in range(3)],
                  "later": later[0]}))
"""


@pytest.mark.parametrize(
    "refuse_at, expected",
    [
        (1, {"error": "PermissionError", "caller": None, "seen": ["own0", "own1", "own2"], "later": None}),
        # The caller's event, then one per other thread, newest first.
        (3, {"error": "RuntimeError", "caller": "mine", "seen": ["own0", "own1", "mine"], "later": None}),
    ],
    ids=["caller-refused", "second-other-thread-refused"],
)
def test_settrace_all_threads_when_an_audit_hook_refuses(python, refuse_at, expected):
    assert json.loads(python(REFUSED, argv=[str(refuse_at)])) == expected


@pytest.mark.parametrize("func", [42, "tracer"], ids=["int", "str"])
def test_settrace_all_threads_refuses_a_non_callable_before_any_thread_changes(func):
    def own(frame, event, arg):
        return None

    old_sys, old_threading = sys.gettrace(), threading.gettrace()
    with parked_threads(2, [own] * 2) as seen:
        with pytest.raises(TypeError, match="callable or None"):
            kestravel.settrace_all_threads(func)
        assert (sys.gettrace(), threading.gettrace()) == (old_sys, old_threading)
    assert seen == {0: own, 1: own}
