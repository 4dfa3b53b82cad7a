"""kestravel: reach into CPython 3.11 internals from Python.

The native operations live in :mod:`kestravel._palvine`.
"""

import sys

if sys.implementation.name != "cpython" or sys.version_info[:2] != (3, 11):
    raise ImportError(
        "kestravel works only on CPython 3.11, whose internal structures its native "
        f"module reads; this is {sys.implementation.name} "
        f"{sys.version_info.major}.{sys.version_info.minor}.{sys.version_info.micro}"
    )
