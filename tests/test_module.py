import collections
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestravel
from kestravel import _palvine

DOCS = {
    "replace_constants": "Replace the tuple bearing the code constants.",
    "get_stack": "Get the stack of a frame.",
    "replace_in_tuple": "Replace an item in a tuple.",
    "propagate_trace": "Propagate the current trace function to all threads.",
}
STANDARD_MODULE_ATTRIBUTES = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def test_module_has_no_doc_and_exactly_the_functions():
    assert _palvine.__doc__ is None
    assert set(vars(_palvine)) - STANDARD_MODULE_ATTRIBUTES == set(DOCS)


@pytest.mark.parametrize("name", DOCS)
def test_function_doc(name):
    assert getattr(_palvine, name).__doc__ == DOCS[name]


def _doc_and_parameters(function):
    return function.__doc__, [(p.name, p.kind) for p in inspect.signature(function).parameters.values()]


def test_the_stub_carries_the_modules_own_docstrings_and_signatures():
    # Beside the package's sources: an editable install loads the module from its build tree.
    path = Path(kestravel.__file__).with_name("_palvine.pyi")
    stub = {}
    exec(compile(path.read_text(), str(path), "exec"), stub)
    documented = {name: _doc_and_parameters(value) for name, value in stub.items() if inspect.isfunction(value)}
    assert documented == {name: _doc_and_parameters(getattr(_palvine, name)) for name in DOCS}


@pytest.mark.parametrize(
    "call",
    [
        lambda: _palvine.get_stack(),
        lambda: _palvine.replace_constants(compile("1", "<s>", "eval")),
        lambda: _palvine.replace_in_tuple((1,), 1),
        lambda: _palvine.propagate_trace(None),
        lambda: _palvine.get_stack(frame=sys._getframe()),
        lambda: _palvine.replace_in_tuple((1,), item=1, replacement=2),
    ],
    ids=["get_stack-none", "replace_constants-one", "replace_in_tuple-two", "propagate_trace-arg", "kw", "kw3"],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "minor, abiflags, shown",
    [(10, "", "3.10.0"), (14, "", "3.14.0"), (13, "t", r"3.13.0 \(free-threaded\)")],
    ids=["3.10", "3.14", "3.13t"],
)
def test_other_interpreters_get_a_clear_import_error(monkeypatch, minor, abiflags, shown):
    monkeypatch.delitem(sys.modules, "kestravel", raising=False)
    version = collections.namedtuple("version_info", "major minor micro releaselevel serial")
    monkeypatch.setattr(sys, "version_info", version(3, minor, 0, "final", 0))
    monkeypatch.setattr(sys, "abiflags", abiflags, raising=False)
    with pytest.raises(ImportError, match=rf"CPython 3\.11, 3\.12 and 3\.13 with the GIL.*cpython {shown}$"):
        import kestravel  # noqa: F401


def _elf_tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


def _elf(tool, *args, path=None):
    return subprocess.run(
        [_elf_tool(tool), *args, path or _palvine.__file__], capture_output=True, text=True, check=True
    ).stdout


def _symbols(*args, path=None):
    return {line.split()[-1].split("@")[0] for line in _elf("nm", "-D", *args, path=path).splitlines() if line.strip()}


# The sanitizer rig's build also needs the sanitizer runtimes, which it preloads.
SANITIZER_RUNTIMES = ("libasan.so.", "libubsan.so.") if os.environ.get("KESTRAVEL_SANITIZED") else ()


def test_shared_object_needs_only_libc():
    needed = [line.split("[")[1].rstrip("]") for line in _elf("readelf", "-d").splitlines() if "(NEEDED)" in line]
    assert [lib for lib in needed if not lib.startswith(SANITIZER_RUNTIMES or ("\0",))] == ["libc.so.6"]


def test_shared_object_exports_only_init():
    assert _symbols("--defined-only") == {"PyInit__palvine"}


def test_every_symbol_it_needs_is_exported_by_the_interpreter_or_libc():
    # The interpreter is built with hidden visibility: a symbol of its that it does
    # not export would fail only at import. What this process has loaded is read
    # from its own map, whatever launcher started it.
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps if line.split()[-1].startswith("/")}
    providers = [os.path.realpath("/proc/self/exe")] + sorted(
        path
        for path in loaded
        if os.path.basename(path).startswith(
            (f"libpython{sys.version_info.major}.{sys.version_info.minor}", "libc.so.6", "libc-") + SANITIZER_RUNTIMES
        )
    )
    provided = set().union(*(_symbols("--defined-only", path=path) for path in providers))
    undefined = {
        line.split()[-1].split("@")[0]
        for line in _elf("nm", "-D", "--undefined-only").splitlines()
        if line.split()[0] == "U"
    }
    assert undefined - provided == set(), f"provided by none of {providers}"
