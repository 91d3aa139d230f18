"""The module surface: attributes, classes, docstrings and text signatures, and the
argument errors of every method that takes parameters."""

import importlib
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import raises, write_hive

CLASSES = ["Hive", "RegistryKey", "RegistryValue", "ValueData", "ValueType", "BaseBlock", "HbinHeader"]


def test_all_version_and_reimport():
    assert (kelpa.__all__, kelpa.__version__, kelpa.__doc__) == ([*CLASSES, "__version__"], "0.1.0",
                                                                 "Python module definition")
    first = sys.modules.pop("kelpa")
    try:
        again = importlib.import_module("kelpa")
        assert again is first and again.Hive is first.Hive
        assert again.__all__ == [*CLASSES, "__version__"]  # the body did not run twice
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
    # A legacy subinterpreter calls the module's init again; run in a child to keep this process clean.
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    if "No module named '_interpreters'" in run.stderr:
        pytest.skip("this interpreter has no _interpreters module")
    assert run.returncode == 0, run.stderr
    assert run.stdout == "('PyO3 modules do not yet support subinterpreters',)\nHive\n"


@pytest.mark.parametrize("name, doc", [
    ("Hive", "Python wrapper for Hive"),
    ("RegistryKey", "Python wrapper for RegistryKey\n\nStores Arc<Hive> and offset to avoid lifetime issues with PyO3."),
    ("RegistryValue", "Python wrapper for RegistryValue\n\nStores owned data to avoid lifetime issues with PyO3."),
    *[(name, f"Python wrapper for {name}") for name in CLASSES[3:]],
])
def test_class(name, doc):
    cls = getattr(kelpa, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (name, name, "builtins", doc)
    assert repr(cls) == f"<class 'builtins.{name}'>"
    for args, kwargs in [((), {}), ((1,), {"key": "x"})]:
        with raises(TypeError, "No constructor defined"):
            cls(*args, **kwargs)


MEMBERS = [
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
    ("Hive", "open_key", "($self, path)", "Open a key by its path from the root key"),
    ("RegistryKey", "open_key", "($self, sub_key)", "Open a subkey by its path relative to this key"),
    ("RegistryKey", "parent", "($self)", "Get the parent key, or None for the root key"),
    ("RegistryKey", "path", "($self)", "Get the path of the key from the root key"),
    ("RegistryKey", "walk", "($self, onerror=None)", "Iterate over this key and all keys below it, depth first"),
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
    # properties, without a text signature
    ("BaseBlock", "signature", None, 'Get the signature (should be "regf")'),
    ("BaseBlock", "primary_sequence", None, "Get the primary sequence number"),
    ("BaseBlock", "secondary_sequence", None, "Get the secondary sequence number"),
    ("BaseBlock", "root_cell_offset", None, "Get the root cell offset"),
    ("BaseBlock", "hive_length", None, "Get the hive length (size of hive data in bytes)"),
    ("BaseBlock", "file_name", None, "Get the file name"),
    ("BaseBlock", "hive_bins_data_size", None, "Get the hive bins data size (same as hive_length)"),
    ("HbinHeader", "signature", None, 'Get the signature (should be "hbin")'),
    ("HbinHeader", "offset", None, "Get the offset from the start of the hive bins data"),
    ("HbinHeader", "size", None, "Get the size of this hbin"),
]
MEMBERS += __import__("test_deleted").MEMBERS  # the deleted-record scan and the forensic fields


@pytest.mark.parametrize("cls, member, signature, doc", MEMBERS, ids=[f"{c}.{m}" for c, m, _, _ in MEMBERS])
def test_member_signature_and_doc(cls, member, signature, doc):
    function = getattr(getattr(kelpa, cls), member)
    if signature is None:  # a property
        function = getattr(kelpa, cls).__dict__[member]
        assert type(function).__name__ == "getset_descriptor"
    else:
        assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert {(c, n) for c in CLASSES for n in vars(getattr(kelpa, c)) if not n.startswith("_")} == {
        (c, m) for c, m, _, _ in MEMBERS}


# --- argument errors ------------------------------------------------------------------


@pytest.fixture(scope="module")
def hive_and_key(tmp_path_factory):
    builder = hivegen.HiveBuilder()
    root = builder.nk("ROOT", root=True)
    hive = kelpa.Hive.open(write_hive(tmp_path_factory.mktemp("args"), builder.build(root=root)))
    return hive, hive.root_key()


HIVE = "/nonexistent/kelpa-hive"  # every call below must fail before the path is used
OPEN, LOGS, SAVE, VALUE = "open", "open_with_logs", "save", "value"

ARGUMENT_ERRORS = [
    (OPEN, (), {}, TypeError, "Hive.open() missing 1 required positional argument: 'path'"),
    # the positional count is checked before the keywords, unknown keywords before missing ones
    (OPEN, ("a", "b", "c"), {"mode": 1}, TypeError, "Hive.open() takes 1 positional arguments but 3 were given"),
    (OPEN, (), {"mode": 1}, TypeError, "Hive.open() got an unexpected keyword argument 'mode'"),
    (OPEN, (HIVE,), {"path": HIVE}, TypeError, "Hive.open() got multiple values for argument 'path'"),
    (OPEN, (1,), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (OPEN, ("\udc80",), {}, UnicodeEncodeError, None),
    (LOGS, (), {"log1_path": "a"}, TypeError,
     "Hive.open_with_logs() missing 1 required positional argument: 'hive_path'"),
    (LOGS, ("a", "b", "c", "d"), {}, TypeError,
     "Hive.open_with_logs() takes from 1 to 3 positional arguments but 4 were given"),
    (LOGS, (HIVE,), {"log3_path": "x"}, TypeError, "Hive.open_with_logs() got an unexpected keyword argument 'log3_path'"),
    (LOGS, (HIVE, "a"), {"log1_path": "b"}, TypeError,
     "Hive.open_with_logs() got multiple values for argument 'log1_path'"),
    (LOGS, (None,), {}, TypeError, "argument 'hive_path': 'NoneType' object cannot be converted to 'PyString'"),
    (LOGS, (HIVE, 1), {}, TypeError, "argument 'log1_path': 'int' object cannot be converted to 'PyString'"),
    (LOGS, (HIVE,), {"log2_path": b"x"}, TypeError,
     "argument 'log2_path': 'bytes' object cannot be converted to 'PyString'"),
    (SAVE, ("a",), {"path": "b"}, TypeError, "Hive.save() got multiple values for argument 'path'"),
    (SAVE, (3.5,), {}, TypeError, "argument 'path': 'float' object cannot be converted to 'PyString'"),
    (VALUE, (), {}, TypeError, "RegistryKey.value() missing 1 required positional argument: 'name'"),
    (VALUE, ("a",), {"name": "b"}, TypeError, "RegistryKey.value() got multiple values for argument 'name'"),
    (VALUE, (["a"],), {}, TypeError, "argument 'name': 'list' object cannot be converted to 'PyString'"),
    (VALUE, ("a\udc00",), {}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("method, args, kwargs, error, message", ARGUMENT_ERRORS)
def test_argument_errors(hive_and_key, tmp_path, monkeypatch, method, args, kwargs, error, message):
    monkeypatch.chdir(tmp_path)  # relative paths of the calls land here
    hive, key = hive_and_key
    target = {OPEN: kelpa.Hive, LOGS: kelpa.Hive, SAVE: hive, VALUE: key}[method]
    with pytest.raises(error) as exc:
        getattr(target, method)(*args, **kwargs)
    assert type(exc.value) is error
    if message is not None:
        assert exc.value.args == (message,)
    assert list(tmp_path.iterdir()) == []  # nothing was opened or written


@pytest.mark.parametrize("cls, method", [
    ("Hive", "base_block"), ("Hive", "root_key"), ("Hive", "hbins"),
    *[("RegistryKey", m) for m in ("name", "subkey_count", "value_count", "subkeys", "last_written_timestamp", "values")],
])
def test_no_argument_methods_refuse_arguments(hive_and_key, cls, method):
    target = hive_and_key[0] if cls == "Hive" else hive_and_key[1]
    with raises(TypeError, f"{cls}.{method}() takes no arguments (1 given)"):
        getattr(target, method)(None)
