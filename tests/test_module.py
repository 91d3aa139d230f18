"""The module surface: attributes, classes, docstrings and text signatures, and the
argument errors of every method that takes parameters."""

import importlib
import pathlib
import re
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import write_hive

CLASSES = ["Hive", "RegistryKey", "RegistryValue", "ValueData", "ValueType", "BaseBlock", "HbinHeader"]


def test_all_and_version():
    assert kelpa.__all__ == [*CLASSES, "__version__"]
    assert kelpa.__version__ == "0.1.0"
    assert kelpa.__doc__ == "Python module definition"
    for name in CLASSES:
        assert isinstance(getattr(kelpa, name), type)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("kelpa")
    try:
        again = importlib.import_module("kelpa")
        assert again is first
        assert again.__all__ == [*CLASSES, "__version__"]  # the body did not run twice
        assert again.Hive is first.Hive
    finally:
        sys.modules["kelpa"] = first


SUBINTERPRETER = """
import _interpreters
import kelpa
sub = _interpreters.create("legacy")
_interpreters.run_string(sub, "try:\\n    import kelpa\\nexcept ImportError as e:\\n    print(repr(e.args))")
_interpreters.destroy(sub)
print(kelpa.Hive.__name__)
"""


def test_second_interpreter_is_refused():
    # A legacy subinterpreter shares the process and calls the module's init again; the
    # first interpreter keeps working. Run in a child so this process stays clean.
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    if "No module named '_interpreters'" in run.stderr:
        pytest.skip("this interpreter has no _interpreters module")
    assert run.returncode == 0, run.stderr
    assert run.stdout == "('PyO3 modules do not yet support subinterpreters',)\nHive\n"


@pytest.mark.parametrize("name, doc", [
    ("Hive", "Python wrapper for Hive"),
    ("RegistryKey", "Python wrapper for RegistryKey\n\n"
                    "Stores Arc<Hive> and offset to avoid lifetime issues with PyO3."),
    ("RegistryValue", "Python wrapper for RegistryValue\n\n"
                      "Stores owned data to avoid lifetime issues with PyO3."),
    ("ValueData", "Python wrapper for ValueData"),
    ("ValueType", "Python wrapper for ValueType"),
    ("BaseBlock", "Python wrapper for BaseBlock"),
    ("HbinHeader", "Python wrapper for HbinHeader"),
])
def test_class(name, doc):
    cls = getattr(kelpa, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == doc
    with pytest.raises(TypeError) as exc:
        cls()
    assert exc.value.args == ("No constructor defined",)
    with pytest.raises(TypeError, match=r"^No constructor defined$"):
        cls(1, key="x")


METHODS = [
    ("Hive", "open", "(path)", "Open a registry hive file"),
    ("Hive", "open_with_logs", "(hive_path, log1_path=None, log2_path=None)",
     "Open a registry hive with transaction logs applied"),
    ("Hive", "base_block", "($self)", "Get the base block (header) information"),
    ("Hive", "root_key", "($self)", "Get the root key of the hive"),
    ("Hive", "hbins", "($self)", "Get all hbin headers"),
    ("Hive", "save", "($self, path)", "Save the hive to a file"),
    ("RegistryKey", "name", "($self)", "Get the key name"),
    ("RegistryKey", "subkey_count", "($self)", "Get the number of subkeys"),
    ("RegistryKey", "value_count", "($self)", "Get the number of values"),
    ("RegistryKey", "subkeys", "($self)", "Get all subkeys"),
    ("RegistryKey", "last_written_timestamp", "($self)",
     "Get the last write timestamp as Unix timestamp (seconds since epoch)"),
    ("RegistryKey", "value", "($self, name)", "Get a specific value by name"),
    ("RegistryKey", "values", "($self)", "Get all values"),
    ("RegistryValue", "name", "($self)", "Get the value name"),
    ("RegistryValue", "value_type", "($self)", "Get the value type"),
    ("RegistryValue", "data", "($self)", "Get the parsed value data"),
    ("RegistryValue", "raw_data", "($self)", "Get the raw value data as bytes"),
    ("RegistryValue", "data_size", "($self)", "Get the data size in bytes"),
    ("ValueData", "is_none", "($self)", "Check if this is a None value"),
    ("ValueData", "is_string", "($self)", "Check if this is a String value"),
    ("ValueData", "is_binary", "($self)", "Check if this is a Binary value"),
    ("ValueData", "is_dword", "($self)", "Check if this is a DWORD value"),
    ("ValueData", "is_qword", "($self)", "Check if this is a QWORD value"),
    ("ValueData", "is_multi_string", "($self)", "Check if this is a MultiString value"),
    ("ValueData", "as_string", "($self)", "Get as string (if applicable)"),
    ("ValueData", "as_binary", "($self)", "Get as binary data (if applicable)"),
    ("ValueData", "as_dword", "($self)", "Get as DWORD (if applicable)"),
    ("ValueData", "as_qword", "($self)", "Get as QWORD (if applicable)"),
    ("ValueData", "as_multi_string", "($self)", "Get as multi-string (if applicable)"),
    ("ValueType", "type_name", "($self)", 'Get the type name as string (e.g., "REG_SZ", "REG_DWORD")'),
    ("ValueType", "type_id", "($self)", "Get the numeric type ID"),
]


@pytest.mark.parametrize("cls, method, signature, doc", METHODS, ids=[f"{c}.{m}" for c, m, _, _ in METHODS])
def test_method_signature_and_doc(cls, method, signature, doc):
    function = getattr(getattr(kelpa, cls), method)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


PROPERTIES = [
    ("BaseBlock", "signature", 'Get the signature (should be "regf")'),
    ("BaseBlock", "primary_sequence", "Get the primary sequence number"),
    ("BaseBlock", "secondary_sequence", "Get the secondary sequence number"),
    ("BaseBlock", "root_cell_offset", "Get the root cell offset"),
    ("BaseBlock", "hive_length", "Get the hive length (size of hive data in bytes)"),
    ("BaseBlock", "file_name", "Get the file name"),
    ("BaseBlock", "hive_bins_data_size", "Get the hive bins data size (same as hive_length)"),
    ("HbinHeader", "signature", 'Get the signature (should be "hbin")'),
    ("HbinHeader", "offset", "Get the offset from the start of the hive bins data"),
    ("HbinHeader", "size", "Get the size of this hbin"),
]


@pytest.mark.parametrize("cls, prop, doc", PROPERTIES, ids=[f"{c}.{p}" for c, p, _ in PROPERTIES])
def test_property_doc(cls, prop, doc):
    descriptor = getattr(kelpa, cls).__dict__[prop]
    assert type(descriptor).__name__ == "getset_descriptor"
    assert descriptor.__doc__ == doc


def test_every_public_member_is_listed():
    listed = {(c, m) for c, m, _, _ in METHODS} | {(c, p) for c, p, _ in PROPERTIES}
    for cls in CLASSES:
        public = {name for name in vars(getattr(kelpa, cls)) if not name.startswith("_")}
        assert {(cls, name) for name in public} <= listed, cls


# --- argument errors ------------------------------------------------------------------


@pytest.fixture(scope="module")
def hive_and_key(tmp_path_factory):
    builder = hivegen.HiveBuilder()
    root = builder.nk("ROOT", root=True)
    path = write_hive(tmp_path_factory.mktemp("args"), builder.build(root=root))
    hive = kelpa.Hive.open(path)
    return hive, hive.root_key()


def _open(*a, **kw):
    return kelpa.Hive.open(*a, **kw)


def _open_with_logs(*a, **kw):
    return kelpa.Hive.open_with_logs(*a, **kw)


def _save(hive_and_key, *a, **kw):
    return hive_and_key[0].save(*a, **kw)


def _value(hive_and_key, *a, **kw):
    return hive_and_key[1].value(*a, **kw)


HIVE = "/nonexistent/kelpa-hive"  # every call below must fail before the path is used

ARGUMENT_ERRORS = [
    # Hive.open(path)
    (_open, (), {}, TypeError, "Hive.open() missing 1 required positional argument: 'path'"),
    (_open, ("a", "b"), {}, TypeError, "Hive.open() takes 1 positional arguments but 2 were given"),
    (_open, ("a", "b", "c"), {"mode": 1}, TypeError,
     "Hive.open() takes 1 positional arguments but 3 were given"),
    (_open, (), {"path": HIVE, "mode": 1}, TypeError, "Hive.open() got an unexpected keyword argument 'mode'"),
    (_open, (), {"mode": 1}, TypeError, "Hive.open() got an unexpected keyword argument 'mode'"),
    (_open, (HIVE,), {"path": HIVE}, TypeError, "Hive.open() got multiple values for argument 'path'"),
    (_open, (1,), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (_open, (), {"path": None}, TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (_open, (b"x",), {}, TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (_open, (pathlib.PurePosixPath("x"),), {}, TypeError,
     "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
    (_open, ("\udc80",), {}, UnicodeEncodeError, None),
    # Hive.open_with_logs(hive_path, log1_path=None, log2_path=None)
    (_open_with_logs, (), {}, TypeError,
     "Hive.open_with_logs() missing 1 required positional argument: 'hive_path'"),
    (_open_with_logs, (), {"log1_path": "a"}, TypeError,
     "Hive.open_with_logs() missing 1 required positional argument: 'hive_path'"),
    (_open_with_logs, ("a", "b", "c", "d"), {}, TypeError,
     "Hive.open_with_logs() takes from 1 to 3 positional arguments but 4 were given"),
    (_open_with_logs, (HIVE,), {"log3_path": "x"}, TypeError,
     "Hive.open_with_logs() got an unexpected keyword argument 'log3_path'"),
    (_open_with_logs, (HIVE, "a"), {"log1_path": "b"}, TypeError,
     "Hive.open_with_logs() got multiple values for argument 'log1_path'"),
    (_open_with_logs, (None,), {}, TypeError,
     "argument 'hive_path': 'NoneType' object cannot be converted to 'PyString'"),
    (_open_with_logs, (HIVE, 1), {}, TypeError,
     "argument 'log1_path': 'int' object cannot be converted to 'PyString'"),
    (_open_with_logs, (HIVE,), {"log2_path": b"x"}, TypeError,
     "argument 'log2_path': 'bytes' object cannot be converted to 'PyString'"),
    (_open_with_logs, ("\ud800",), {}, UnicodeEncodeError, None),
    (_open_with_logs, (HIVE, None, "\ud800"), {}, UnicodeEncodeError, None),
    # Hive.save(self, path)
    (_save, (), {}, TypeError, "Hive.save() missing 1 required positional argument: 'path'"),
    (_save, ("a", "b"), {}, TypeError, "Hive.save() takes 1 positional arguments but 2 were given"),
    (_save, (), {"file": "a"}, TypeError, "Hive.save() got an unexpected keyword argument 'file'"),
    (_save, ("a",), {"path": "b"}, TypeError, "Hive.save() got multiple values for argument 'path'"),
    (_save, (3.5,), {}, TypeError, "argument 'path': 'float' object cannot be converted to 'PyString'"),
    (_save, ("\udfff",), {}, UnicodeEncodeError, None),
    # RegistryKey.value(self, name)
    (_value, (), {}, TypeError, "RegistryKey.value() missing 1 required positional argument: 'name'"),
    (_value, ("a", "b"), {}, TypeError, "RegistryKey.value() takes 1 positional arguments but 2 were given"),
    (_value, (), {"nam": "a"}, TypeError, "RegistryKey.value() got an unexpected keyword argument 'nam'"),
    (_value, ("a",), {"name": "b"}, TypeError, "RegistryKey.value() got multiple values for argument 'name'"),
    (_value, (None,), {}, TypeError, "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
    (_value, (["a"],), {}, TypeError, "argument 'name': 'list' object cannot be converted to 'PyString'"),
    (_value, ("a\udc00",), {}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, args, kwargs, error, message", ARGUMENT_ERRORS)
def test_argument_errors(hive_and_key, tmp_path, monkeypatch, call, args, kwargs, error, message):
    monkeypatch.chdir(tmp_path)  # relative paths of the calls land here
    if call in (_save, _value):
        args = (hive_and_key, *args)
    with pytest.raises(error) as exc:
        call(*args, **kwargs)
    assert type(exc.value) is error
    if message is not None:
        assert exc.value.args == (message,)
    assert list(tmp_path.iterdir()) == []  # nothing was opened or written


@pytest.mark.parametrize("method", ["base_block", "root_key", "hbins"])
def test_no_argument_methods_refuse_arguments(hive_and_key, method):
    with pytest.raises(TypeError, match=re.escape(f"Hive.{method}() takes no arguments (1 given)")):
        getattr(hive_and_key[0], method)(1)


def test_key_methods_refuse_arguments(hive_and_key):
    key = hive_and_key[1]
    for method in ("name", "subkey_count", "value_count", "subkeys", "last_written_timestamp", "values"):
        with pytest.raises(TypeError, match=re.escape(f"RegistryKey.{method}() takes no arguments (1 given)")):
            getattr(key, method)(None)
