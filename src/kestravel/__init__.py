"""kestravel: reach into CPython internals (3.11, 3.12, 3.13) from Python.

replace_constants, get_stack, replace_in_tuple and propagate_trace come from the
native module kestravel._palvine; settrace_all_threads builds on propagate_trace.
"""

import sys

__version__ = "0.1.0"

# The native module reads the interpreter's internal structures, which change
# with every minor version, and relies on the GIL.
if (
    sys.implementation.name != "cpython"
    or not (3, 11) <= sys.version_info[:2] <= (3, 13)
    or "t" in getattr(sys, "abiflags", "")
):
    raise ImportError(
        "kestravel works only on CPython 3.11, 3.12 and 3.13 with the GIL, whose internal "
        f"structures its native module reads; this is {sys.implementation.name} "
        f"{sys.version_info.major}.{sys.version_info.minor}.{sys.version_info.micro}"
        f"{' (free-threaded)' if 't' in getattr(sys, 'abiflags', '') else ''}"
    )

from collections.abc import Callable
from types import FrameType
from typing import Any

from kestravel._palvine import get_stack, propagate_trace, replace_constants, replace_in_tuple

__all__ = ["get_stack", "propagate_trace", "replace_constants", "replace_in_tuple", "settrace_all_threads"]


def settrace_all_threads(func: Callable[[FrameType, str, Any], Any] | None, /) -> None:
    """Make func (or None) the trace function of every thread of this interpreter.

    func becomes the trace function of the calling thread, of every other thread
    now, and of every thread that the threading module starts afterwards. Unlike
    threading.settrace_all_threads (CPython 3.12+), it is safe against threads
    that end while it runs.

    Each step raises a "sys.settrace" audit event for each thread it changes. If
    a hook refuses the calling thread's, nothing changes and the hook's exception
    is raised. If it refuses the k-th other thread's, the calling thread and the
    k - 1 most recently started other threads have func, the rest keep theirs,
    threads started later do not get it, and RuntimeError is raised. Anything
    but a callable or None is refused with TypeError, and nothing changes.
    """
    if func is not None and not callable(func):
        # Refused before any thread changes: a thread would otherwise die calling it.
        raise TypeError(f"the trace function must be callable or None, not {type(func).__name__}")
    import sys
    import threading

    sys.settrace(func)
    propagate_trace()
    threading.settrace(func)  # type: ignore[arg-type]  # None clears it, as in CPython


# The package's namespace holds its public names alone: what the module needed
# only to load goes, and settrace_all_threads imports what it calls.
del sys, Callable, FrameType, Any
