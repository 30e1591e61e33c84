"""Import-time behaviour: attributes, exception types, version, signatures."""

from __future__ import annotations

import importlib
import importlib.metadata
import inspect
import sys

import pytest

import _kifuzan
import kifuzan
from conftest import PROJECT_VERSION, run_python

PUBLIC = [
    "TenhouLogParsingError",
    "TenhouToMjaiError",
    "JsonSerializationError",
    "JsonParsingError",
    "tenhou_file_to_mjai",
    "tenhou_to_mjai",
    "__version__",
    "VERSION",
]
ERRORS = PUBLIC[:4]


def test_all_lists_the_public_names_in_registration_order():
    assert _kifuzan.__all__ == PUBLIC
    assert type(_kifuzan.__all__) is list


def test_no_other_public_attributes():
    # The internal-failure type is deliberately not exported.
    assert {n for n in vars(_kifuzan) if not n.startswith("__")} == set(PUBLIC) - {"__version__"}
    assert not hasattr(_kifuzan, "InternalError")


def test_module_doc_is_empty_str():
    assert _kifuzan.__doc__ == ""


def test_package_reexports_the_same_objects():
    # The package's own additions come after the module's eight names.
    assert kifuzan.__all__[: len(PUBLIC)] == PUBLIC
    for name in PUBLIC:
        assert getattr(kifuzan, name) is getattr(_kifuzan, name), name


@pytest.mark.parametrize("name", ERRORS)
def test_exception_type(name):
    t = getattr(_kifuzan, name)
    assert isinstance(t, type)
    assert t.__bases__ == (ValueError,)
    assert t.__module__ == "_kifuzan"
    assert t.__name__ == name
    assert t.__qualname__ == name
    assert t.__doc__ is None
    e = t("msg")
    assert e.args == ("msg",)
    assert vars(e) == {}


def test_exception_types_are_distinct():
    types = [getattr(_kifuzan, n) for n in ERRORS]
    for a in types:
        for b in types:
            assert (a is b) == issubclass(a, b)


def test_version():
    assert _kifuzan.__version__ == _kifuzan.VERSION == PROJECT_VERSION
    assert type(_kifuzan.__version__) is str and type(_kifuzan.VERSION) is str
    assert _kifuzan.__version__ is not _kifuzan.VERSION
    assert _kifuzan.__version__ == importlib.metadata.version("kifuzan")


@pytest.mark.parametrize(
    "func, signature",
    [
        (_kifuzan.tenhou_to_mjai, "(data)"),
        (_kifuzan.tenhou_file_to_mjai, "(filename, mjai_out=None)"),
    ],
)
def test_function_introspection(func, signature):
    assert str(inspect.signature(func)) == signature
    assert func.__doc__ is None
    assert func.__self__ is _kifuzan
    assert func.__module__ == "_kifuzan"
    assert getattr(_kifuzan, func.__name__) is func


def test_reimport_gives_the_identical_module():
    old = sys.modules.pop("_kifuzan")
    try:
        new = importlib.import_module("_kifuzan")
        assert new is old
        for name in PUBLIC:
            assert getattr(new, name) is getattr(old, name)
        with pytest.raises(old.JsonParsingError):
            new.tenhou_to_mjai("")
    finally:
        sys.modules["_kifuzan"] = old


SUBINTERPRETER_CHECK = r"""
import importlib, os, sys, _kifuzan, _testcapi, _xxsubinterpreters
from conftest import tiny_log, dump, TINY_LINES

importlib.import_module(sys.argv[1])
probe = '''
import os
try:
    import MODULE
except ImportError as e:
    os.write(1, ("ImportError: %s\\n" % e).encode())
else:
    os.write(1, b"imported\\n")
'''
probe = probe.replace("MODULE", sys.argv[1])
# A legacy sub-interpreter may load single-phase modules, so only the
# module's own check stands in the way.
assert _testcapi.run_in_subinterp(probe) == 0
# An isolated one; the interpreter refuses too, but it must stay ImportError.
interp = _xxsubinterpreters.create()
_xxsubinterpreters.run_string(interp, probe)
_xxsubinterpreters.destroy(interp)
assert _kifuzan.tenhou_to_mjai(dump(tiny_log())) == TINY_LINES
print("main ok")
"""


@pytest.mark.parametrize("module", ["_kifuzan", "kifuzan._native"])
def test_sub_interpreter_import_is_refused(module):
    r = run_python(SUBINTERPRETER_CHECK, module, cwd=__import__("os").path.dirname(__file__))
    assert r.returncode == 0, r.stderr.decode()
    out = r.stdout.decode().splitlines()
    assert len(out) == 3, out
    assert out[0] == f"ImportError: {module} does not support sub-interpreters: it is already loaded in another interpreter of this process"
    assert out[1].startswith("ImportError: ")
    assert out[2] == "main ok"


def test_stub_matches_the_module():
    import ast
    from pathlib import Path

    stub = Path(_kifuzan.__file__).with_name("_kifuzan-stubs") / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    classes = {n.name: [ast.unparse(b) for b in n.bases] for n in tree.body if isinstance(n, ast.ClassDef)}
    assert classes == {name: ["ValueError"] for name in ERRORS}
    functions = {n.name: [a.arg for a in n.args.args] for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert functions == {
        name: list(inspect.signature(getattr(_kifuzan, name)).parameters)
        for name in ("tenhou_file_to_mjai", "tenhou_to_mjai")
    }
    typed = Path(kifuzan.__file__).with_name("py.typed")
    assert typed.exists()


def test_the_package_shows_its_public_names_and_no_others():
    r = run_python("import kifuzan; print(' '.join(n for n in dir(kifuzan) if not n.startswith('_')))")
    assert set(r.stdout.decode().split()) == set(kifuzan.__all__) - {"__version__"}


def test_extras_do_not_restate_the_dependencies():
    import re
    import tomllib
    from pathlib import Path

    project = tomllib.loads((Path(__file__).resolve().parents[2] / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    name = lambda requirement: re.match(r"[\w.-]+", requirement).group().lower()  # noqa: E731
    required = {name(r) for r in project["dependencies"]}
    for extra, requirements in project["optional-dependencies"].items():
        assert required.isdisjoint(map(name, requirements)), extra  # a second, stale bound
