"""The module surface: attributes, classes, docstrings and text signatures, and the errors of the one
argument parser. Then a leak loop: every method of every class, the failing calls included, run thousands of
times after a warm-up; allocated blocks, objects tracked by the collector and (outside a sanitizer, whose
quarantine keeps freed memory) resident memory must not grow with the loop."""

import ast
import gc
import importlib
import os
import pathlib
import struct
import subprocess
import sys

import pytest

import hivegen
import kelpa
import walk_hive
from conftest import error, outcome, under_sanitizer, write_hive

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
        assert again is first and again.Hive is first.Hive and again.__all__ == STUB_ALL  # the body ran once
    finally:
        sys.modules["kelpa"] = first


SUBINTERPRETER = """import _interpreters, kelpa
_interpreters.run_string(sub := _interpreters.create("legacy"), "try: import kelpa\\nexcept ImportError as e: print(e.args)")
_interpreters.destroy(sub)
print(kelpa.Hive.__name__)"""


def test_second_interpreter_is_refused():
    # A legacy subinterpreter calls the module's init again; run in a child to keep this process clean.
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    if "No module named '_interpreters'" in run.stderr:
        pytest.skip("this interpreter has no _interpreters module")
    assert (run.returncode, run.stdout) == (0, "('PyO3 modules do not yet support subinterpreters',)\nHive\n"), run.stderr


def text_signature(function: ast.FunctionDef) -> str:
    """The text signature the stub's parameters call for: "($self, name)", "(path, log=None, *, strict=True)"."""
    args, kwonly = function.args.args, function.args.kwonlyargs
    defaults = [None] * (len(args) - len(function.args.defaults)) + function.args.defaults
    params = [("$self" if a.arg == "self" else a.arg) + ("" if d is None else "=" + ast.unparse(d))
              for a, d in zip(args + kwonly, defaults + function.args.kw_defaults)]
    return "(" + ", ".join(params[:len(args)] + ["*"] * bool(kwonly) + params[len(args):]) + ")"


@pytest.mark.parametrize("name", CLASSES)
def test_class_matches_its_stub(name):
    """Name, docstring, no constructor, and each public member with the stub's docstring and text
    signature (a property: a getset descriptor, without one); no member the stub lacks."""
    cls, stub = getattr(kelpa, name), STUB_CLASSES[name]
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (name, name, "builtins",
                                                                             ast.get_docstring(stub))
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert [outcome(cls), outcome(lambda: cls(1, key="x"))] == [error("No constructor defined", TypeError)] * 2
    members = [f for f in stub.body if isinstance(f, ast.FunctionDef) and not f.name.startswith("_")]
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
FROM_PATH, FROM_BYTES = "from_path", "from_bytes"

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
    # keyword-only parameters count as no positional ones; paths and buffers of any kind, nothing else
    (FROM_PATH, ("a", "b", "c", True), {}, "Hive.from_path() takes from 1 to 3 positional arguments but 4 were given"),
    (FROM_PATH, (1,), {}, "argument 'path': expected str, bytes or os.PathLike object, not int"),
    (FROM_PATH, (HIVE, None, 2.5), {}, "argument 'log2': expected str, bytes or os.PathLike object, not float"),
    (FROM_BYTES, ("data",), {}, "argument 'data': a bytes-like object is required, not 'str'"),
    (FROM_BYTES, (b"",), {"log1": [1]}, "argument 'log1': a bytes-like object is required, not 'list'"),
    (FROM_BYTES, (b"",), {"strict": False, "mode": 1}, "Hive.from_bytes() got an unexpected keyword argument 'mode'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(hive, tmp_path, monkeypatch, method, args, kwargs, message):
    monkeypatch.chdir(tmp_path)  # relative paths of the calls land here
    key = hive.root_key()
    call = getattr({OPEN: kelpa.Hive, LOGS: kelpa.Hive, SAVE: hive, VALUE: key, PATH: hive, SUB_KEY: key,
                    FROM_PATH: kelpa.Hive, FROM_BYTES: kelpa.Hive}[method],
                   method.removeprefix("key."))
    got = outcome(lambda: call(*args, **kwargs))
    assert (got if message else got[0]) == (error(message, TypeError) if message else UnicodeEncodeError)
    assert list(tmp_path.iterdir()) == []  # nothing was opened or written


WARMUP, ITERATIONS = 300, 2000
ALLOWANCE = ITERATIONS // 10  # a leak of one object per call shows as ITERATIONS
RSS_ALLOWANCE = 4 << 20  # a lost copy of the 40000-byte value per call would be 80 MB


def hostile_hive(path):
    """Every read fails: an unknown subkey list type, odd string data, big data without "db", a bin of size 0."""
    b = hivegen.HiveBuilder()
    bad_list = b.alloc(b"zz\x01\x00\x20\x00\x00\x00")
    values = b.value_list([b.vk("odd", hivegen.REG_SZ, b"abc"),
                           b.vk("bigbad", hivegen.REG_BINARY, b"", data_size=20000, data_offset=bad_list)])
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=bad_list, value_count=2, value_list=values)
    b.poke(b.start_bin() + 8, struct.pack("<I", 0))
    return write_hive(path.parent, b.build(root=root), path.name)


def touch(obj):
    """Its repr and every public member: properties read, methods called without arguments (those
    that need some raise TypeError; accessors of another variant and damaged records ValueError)."""
    out = [repr(obj)]
    for name in (n for n in dir(obj) if not n.startswith("_")):
        try:
            member = getattr(obj, name)
            out.append(list(member()) if name == "walk" else member() if callable(member) else member)
        except (TypeError, ValueError):
            pass
    return out


def steps(tmp):
    sample, log = map(str, walk_hive.sample_with_log(tmp))
    hostile, deleted, missing = hostile_hive(tmp / "hostile"), str(tmp / "deleted"), str(tmp / "missing")
    (tmp / "deleted").write_bytes(hivegen.deleted_scene()[0])
    hive = kelpa.Hive.open(sample)
    yield lambda: [touch(h) for h in (hive, kelpa.Hive.open(hostile), kelpa.Hive.open(deleted),
                                      kelpa.Hive.open_with_logs(hive_path=sample, log1_path=log, log2_path=missing))]
    with open(hostile, "rb") as f:
        hostile_bytes = f.read()
    yield lambda: [(touch(h), list(h.root_key().walk(onerror=str)), [k.values() for k in h.deleted_keys()]) for h in (
        kelpa.Hive.from_bytes(hostile_bytes, strict=False), kelpa.Hive.from_bytes(bytearray(hostile_bytes)),
        kelpa.Hive.from_path(pathlib.Path(sample), log, missing, strict=False))]
    yield lambda: [touch(x) for x in (hive.base_block(), *hive.hbins(), *kelpa.Hive.open_with_logs(
        sample, log, missing).log_replay())]
    yield lambda: hive.save(str(tmp / "saved"))
    yield lambda: [(hive.table(kind).__arrow_c_stream__(), hive.table(kind, deleted=True).__arrow_c_schema__())
                   for kind in ("keys", "values")]

    def keys_and_values():  # the keys keep the hive alive on their own
        keys = list(kelpa.Hive.open(sample).root_key().walk())
        values = [v for k in keys for v in k.values()] + kelpa.Hive.open(deleted).deleted_values()
        [(touch(k), k.open_key("")) for k in keys + [kelpa.Hive.open(hostile).root_key(),
                                                     *kelpa.Hive.open(deleted).deleted_keys()]]
        [(touch(v), touch(v.data()), str(v.data()), touch(v.value_type())) for v in values]
        keys[0].open_key(walk_hive.PARAMETERS).value(name="hostname")
    yield keys_and_values

    def hostile_root():
        return kelpa.Hive.open(hostile).root_key()
    for raised, call in [  # each call makes its objects afresh, so that one leaked per call shows
            (OSError, lambda: kelpa.Hive.open(missing)), (ValueError, lambda: kelpa.Hive.open(log)),
            (ValueError, lambda: kelpa.Hive.from_bytes(memoryview(hostile_bytes)[:4000])),
            (TypeError, lambda: kelpa.Hive.from_path(1)), (TypeError, lambda: kelpa.Hive.from_bytes("x")),
            (OSError, lambda: kelpa.Hive.open_with_logs(missing, log)),
            (OSError, lambda: hive.save(str(tmp / "no-such" / "saved"))), (TypeError, lambda: kelpa.Hive.open(1)),
            (TypeError, lambda: kelpa.Hive.open_with_logs("x", 2)), (TypeError, kelpa.Hive),
            (ValueError, lambda: hive.root_key().value("no such value")), (TypeError, lambda: hive.root_key().value(1)),
            (ValueError, lambda: hive.open_key("no\\such\\key")), (ValueError, lambda: hostile_root().subkeys()),
            (ValueError, lambda: hostile_root().value("bigbad")), (ValueError, lambda: hostile_root().value("odd").data())]:
        yield lambda raised=raised, call=call: pytest.raises(raised, call)


def measure():
    gc.collect()
    resident = int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return sys.getallocatedblocks(), len(gc.get_objects()), resident


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_memory_stops_growing(tmp_path):
    loop = list(steps(tmp_path))
    for _ in range(WARMUP):
        for step in loop:
            step()
    before = measure()
    for _ in range(ITERATIONS):
        for step in loop:
            step()
    after = measure()
    assert after[0] - before[0] < ALLOWANCE and after[1] - before[1] < ALLOWANCE
    if not under_sanitizer():
        assert after[2] - before[2] < RSS_ALLOWANCE
