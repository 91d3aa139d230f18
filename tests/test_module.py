"""The module surface: attributes, classes, docstrings and text signatures, and the errors of the one
argument parser."""

import ast
import importlib
import pathlib
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import error, outcome, write_hive

CLASSES = ["Hive", "RegistryKey", "RegistryValue", "ValueData", "ValueType", "BaseBlock", "HbinHeader"]
STUBS = ast.parse((pathlib.Path(__file__).parents[1] / "stubs" / "kelpa-stubs" / "__init__.pyi").read_text())
STUB_CLASSES = {c.name: c for c in STUBS.body if isinstance(c, ast.ClassDef)}
STUB_ALL = next(ast.literal_eval(n.value) for n in STUBS.body
                if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__")


def test_all_version_and_reimport():
    assert (kelpa.__all__, kelpa.__version__, kelpa.__doc__) == (STUB_ALL, "0.1.0", "Python module definition")
    first = sys.modules.pop("kelpa")
    try:
        again = importlib.import_module("kelpa")
        assert again is first and again.Hive is first.Hive
        assert again.__all__ == STUB_ALL  # the body did not run twice
    finally:
        sys.modules["kelpa"] = first


SUBINTERPRETER = """import _interpreters, kelpa
sub = _interpreters.create("legacy")
_interpreters.run_string(sub, "try:\\n    import kelpa\\nexcept ImportError as e:\\n    print(repr(e.args))")
_interpreters.destroy(sub)
print(kelpa.Hive.__name__)"""


def test_second_interpreter_is_refused():
    # A legacy subinterpreter calls the module's init again; run in a child to keep this process clean.
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    if "No module named '_interpreters'" in run.stderr:
        pytest.skip("this interpreter has no _interpreters module")
    assert (run.returncode, run.stdout) == (0, "('PyO3 modules do not yet support subinterpreters',)\nHive\n"), run.stderr


def text_signature(function: ast.FunctionDef) -> str:
    """The text signature the stub's parameters call for: "($self, name)", "(path, log=None)"."""
    args = function.args.args
    defaults = [None] * (len(args) - len(function.args.defaults)) + function.args.defaults
    return "(" + ", ".join(("$self" if a.arg == "self" else a.arg) + ("" if d is None else "=" + ast.unparse(d))
                           for a, d in zip(args, defaults)) + ")"


@pytest.mark.parametrize("name", CLASSES)
def test_class_matches_its_stub(name):
    """Name, docstring, no constructor, and each public member with the stub's docstring and text
    signature (a property: a getset descriptor, without one); no member the stub lacks."""
    cls, stub = getattr(kelpa, name), STUB_CLASSES[name]
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (name, name, "builtins",
                                                                             ast.get_docstring(stub))
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert [outcome(cls), outcome(lambda: cls(1, key="x"))] == [error("No constructor defined", TypeError)] * 2
    members = [f for f in stub.body if isinstance(f, ast.FunctionDef)]
    assert sorted(m for m in vars(cls) if not m.startswith("_")) == sorted(f.name for f in members)
    for f in members:
        doc = ast.get_docstring(f)
        if any(ast.unparse(d) == "property" for d in f.decorator_list):
            member = cls.__dict__[f.name]
            assert (type(member).__name__, member.__doc__) == ("getset_descriptor", doc)
        else:
            function = getattr(cls, f.name)
            assert (function.__text_signature__, function.__doc__) == (text_signature(f), doc)


@pytest.fixture(scope="module")
def hive(tmp_path_factory):
    return kelpa.Hive.open(write_hive(tmp_path_factory.mktemp("args"), hivegen.build_tree(hivegen.Key("ROOT"))))


HIVE = "/nonexistent/kelpa-hive"  # every call below must fail before the path is used
OPEN, LOGS, SAVE, VALUE, PATH, SUB_KEY = "open", "open_with_logs", "save", "value", "open_key", "key.open_key"

ARGUMENT_ERRORS = [  # the one parser: each of its errors once, then each method's parameter names
    (OPEN, (), {}, "Hive.open() missing 1 required positional argument: 'path'"),
    # the positional count is checked before the keywords, unknown keywords before missing ones
    (OPEN, ("a", "b", "c"), {"mode": 1}, "Hive.open() takes 1 positional arguments but 3 were given"),
    (OPEN, (), {"mode": 1}, "Hive.open() got an unexpected keyword argument 'mode'"),
    (OPEN, (1,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (OPEN, ("\udc80",), {}, None),  # None: a UnicodeEncodeError
    (LOGS, ("a", "b", "c", "d"), {}, "Hive.open_with_logs() takes from 1 to 3 positional arguments but 4 were given"),
    (LOGS, (None,), {}, "argument 'hive_path': 'NoneType' object cannot be converted to 'PyString'"),
    (LOGS, (HIVE, 1), {}, "argument 'log1_path': 'int' object cannot be converted to 'PyString'"),
    (LOGS, (HIVE,), {"log2_path": b"x"}, "argument 'log2_path': 'bytes' object cannot be converted to 'PyString'"),
    (SAVE, ("a",), {"path": "b"}, "Hive.save() got multiple values for argument 'path'"),
    (VALUE, (), {}, "RegistryKey.value() missing 1 required positional argument: 'name'"),
    (VALUE, ("a\udc00",), {}, None),
    (PATH, (), {}, "Hive.open_key() missing 1 required positional argument: 'path'"),
    (PATH, (b"x",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (SUB_KEY, (1,), {}, "argument 'sub_key': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(hive, tmp_path, monkeypatch, method, args, kwargs, message):
    monkeypatch.chdir(tmp_path)  # relative paths of the calls land here
    key = hive.root_key()
    call = getattr({OPEN: kelpa.Hive, LOGS: kelpa.Hive, SAVE: hive, VALUE: key, PATH: hive, SUB_KEY: key}[method],
                   method.removeprefix("key."))
    got = outcome(lambda: call(*args, **kwargs))
    assert (got if message else got[0]) == (error(message, TypeError) if message else UnicodeEncodeError)
    assert list(tmp_path.iterdir()) == []  # nothing was opened or written
