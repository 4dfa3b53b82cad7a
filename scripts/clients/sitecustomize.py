"""kestravel in the loop of whatever this interpreter runs, as tools use it.

Loaded through PYTHONPATH by `scripts/check clients`, in every process of the
suites it runs. KESTRAVEL_CLIENT chooses:
    module    a tracer that calls get_stack at every trace event, installed with
              settrace_all_threads, and a hot-reloader thread that swaps every code
              object's constants for an equal copy, over and over;
    baseline  the same tracer and thread doing the same walks, without the module.
"""

import os

MODE = os.environ.get("KESTRAVEL_CLIENT")

if MODE in ("module", "baseline"):
    import gc
    import sys
    import threading
    import time
    import types

    if MODE == "module":
        from kestravel import get_stack, replace_constants, settrace_all_threads
    else:

        def get_stack(frame):
            return None

        def replace_constants(code, consts):
            return None

        def settrace_all_threads(func):
            sys.settrace(func)
            threading.settrace(func)

    def tracer(frame, event, arg):
        get_stack(frame)
        return tracer

    def code_objects():
        # The oldest generation only: a younger tuple may be one that C code
        # is still building, whose resize fails while this list holds it.
        seen, todo = set(), [f.__code__ for f in gc.get_objects(generation=2) if isinstance(f, types.FunctionType)]
        while todo:
            code = todo.pop()
            if id(code) not in seen:
                seen.add(id(code))
                yield code
                todo.extend(c for c in code.co_consts if isinstance(c, types.CodeType))

    def reload_forever():
        sys.settrace(None)
        while True:
            time.sleep(0.05)
            for code in code_objects():
                replace_constants(code, tuple(list(code.co_consts)))

    settrace_all_threads(tracer)
    threading.Thread(target=reload_forever, name="kestravel-reloader", daemon=True).start()
