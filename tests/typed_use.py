"""Not a test module: .ci/run has mypy --strict check that the public API carries the stub's types."""

import sys
from typing import assert_type

import kestravel


def tracer(frame: object, event: str, arg: object) -> None:
    return None


frame = sys._getframe()
assert_type(kestravel.get_stack(frame), dict[int, object])
assert_type(kestravel.replace_constants(frame.f_code, frame.f_code.co_consts), None)
assert_type(kestravel.replace_in_tuple((1, 2), 1, 3), None)
assert_type(kestravel.propagate_trace(), None)
assert_type(kestravel.settrace_all_threads(None), None)
assert_type(kestravel.__version__, str)
