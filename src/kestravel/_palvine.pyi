from types import CodeType, FrameType

def replace_constants(code: CodeType, consts: tuple[object, ...], /) -> None:
    """Replace the tuple bearing the code constants."""

def get_stack(frame: FrameType, /) -> dict[int, object]:
    """Get the stack of a frame."""

def replace_in_tuple(tuple: tuple[object, ...], item: object, replacement: object, /) -> None:
    """Replace an item in a tuple."""

def propagate_trace() -> None:
    """Propagate the current trace function to all threads."""
