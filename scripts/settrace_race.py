"""Installs a trace function in every thread, again and again, while threads start and end.

Run:  python scripts/settrace_race.py {threading|kestravel} [SECONDS]

With "threading" it calls CPython's own threading.settrace_all_threads (3.12+),
which walks the thread list while audit hooks and the release of old trace
objects let the GIL go, so that threads end under it; with "kestravel" it calls
kestravel.settrace_all_threads. Prints how many installations it made, if the
process survives.
"""

import sys
import threading
import time


class SlowToDie:
    """A trace object whose release lets the GIL go."""

    def __call__(self, frame, event, arg):
        return None

    def __del__(self):
        time.sleep(0.0002)


def main():
    if sys.argv[1] == "kestravel":
        from kestravel import settrace_all_threads
    else:
        settrace_all_threads = threading.settrace_all_threads
    deadline = time.monotonic() + float(sys.argv[2] if len(sys.argv) > 2 else 10)
    stop = threading.Event()

    def short_lived():
        while True:
            try:
                sys.settrace(SlowToDie())  # an old trace object of its own, released as it ends
                break
            except RuntimeError:  # another thread's installation is under way
                time.sleep(0)
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
    while time.monotonic() < deadline:
        try:
            settrace_all_threads(SlowToDie())
        except RuntimeError:
            pass
        calls += 1
    stop.set()
    for t in spawners:
        t.join()
    settrace_all_threads(None)
    print(f"survived {calls} installations")


if __name__ == "__main__":
    main()
