"""Batch rule files: each refusal with its message, each rule form and conversion on a test-side SYSTEM hive,
hive types from content, the command's output and order; on the shared hives, DFIRBatch.reb's rows for
rules without wildcards against open_key and value."""

import csv
import io
import json
import pathlib
import struct
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES
from hivegen import REG_BINARY, REG_DWORD, REG_LINK, REG_MULTI_SZ, REG_QWORD, REG_SZ, Key, Value
from kelpa_tools import hive_types, rules

KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))
SHARED_RULES = SHARED_HIVES.parent / "rules"
HEAD = "Description: t\nAuthor: a\nVersion: 1\nId: x\nKeys:\n"
RULE = "  - Description: r\n    HiveType: SYSTEM\n    Category: c\n    KeyPath: Select\n"


@pytest.mark.parametrize("text, message", [
    ("Keys: [", "t.reb: not a YAML batch file at line 1: expected the node content, but found '<stream end>'"),
    (HEAD.replace("Id: x", "Id:\tx") + RULE,  # libyaml would take this tab
     "t.reb: not a YAML batch file at line 4: found character '\\t' that cannot start any token"),
    ("- 1", "t.reb: not a batch file: expected the fields Description, Author, Version, Id, Keys"),
    (HEAD.replace("Id: x\n", "") + RULE, "t.reb: missing field 'Id'"),
    (HEAD + RULE + "Extra: 1\n", "t.reb: unknown field 'Extra'"),
    (HEAD + "  []\n", "t.reb: Keys must list at least one rule"),
    (HEAD + RULE + "  - Description: second\n    HiveType: SYSTEM\n    Category: c\n",
     "t.reb: rule 2 ('second'): missing field 'KeyPath'"),
    (HEAD + RULE + "    Recurse: true\n", "t.reb: rule 1 ('r'): unknown field 'Recurse'"),
    (HEAD + RULE.replace("SYSTEM", "SYSTEM32"), "t.reb: rule 1 ('r'): unknown hive type 'SYSTEM32'"),
    (HEAD + RULE + "    BinaryConvert: HEX\n", "t.reb: rule 1 ('r'): unknown conversion 'HEX'"),
    (HEAD + RULE + "    Recursive: yes please\n", "t.reb: rule 1 ('r'): Recursive must be true or false, not 'yes please'"),
    (HEAD + "  - 7\n", "t.reb: rule 1: not a rule: expected the fields Description, HiveType, Category, KeyPath"),
], ids=["not-yaml", "tab", "not-a-mapping", "missing-field", "unknown-field", "no-rules", "rule-missing-field",
        "rule-unknown-field", "hive-type", "conversion", "flag", "rule-not-a-mapping"])
def test_refused_files(tmp_path, text, message):
    (path := tmp_path / "t.reb").write_text(text)
    with pytest.raises(rules.RuleFileError) as refused:
        rules.load_batch(path)
    assert str(refused.value) == message
    done = subprocess.run([KELPA, "batch", "-r", str(path), str(path)], capture_output=True)
    assert (done.returncode, done.stderr.decode()) == (2, f"kelpa: {message}\n")


def sid_bytes() -> bytes:
    return bytes([1, 5]) + (5).to_bytes(6, "big") + struct.pack("<5I", 21, 1, 2, 3, 1001)


CONVERTED = {  # value name: (type, data)
    "ft": (REG_BINARY, struct.pack("<Q", 132000000001234567)), "ep": (REG_DWORD, hivegen.dword(1_600_000_000)),
    "ip": (REG_BINARY, bytes([192, 168, 1, 20])), "sid": (REG_BINARY, sid_bytes()),
    "st": (REG_BINARY, struct.pack("<8H", 2024, 3, 2, 5, 12, 30, 15, 250)),  # day of week 2, day 5
    "ticks": (REG_BINARY, struct.pack("<Q", 638450000000000001)), "ole": (REG_BINARY, struct.pack("<d", 45000.5)),
    "short": (REG_BINARY, b"\x01\x02"), "badst": (REG_BINARY, struct.pack("<8H", 2024, 13, 0, 1, 0, 0, 0, 0)),
}


def system_hive() -> bytes:
    services = Key("Services", subkeys=[Key("Alpha", values=[Value("ImagePath", REG_SZ, hivegen.sz("a.sys"))]),
                                        Key("Beta", subkeys=[Key("Params")])])
    return hivegen.build_tree(Key("ROOT", subkeys=[
        Key("ControlSet001", subkeys=[services]), Key("ControlSet002", subkeys=[Key("Services")]),
        Key("Select", last_written=116444736000000001, values=[Value("Current", REG_DWORD, hivegen.dword(1))]),
        Key("Setup", values=[Value(n, t, d) for n, (t, d) in CONVERTED.items()] + [
            Value("", REG_SZ, hivegen.sz("unnamed")), Value("multi", REG_MULTI_SZ, hivegen.multi_sz(["a", "b"])),
            Value("q", REG_QWORD, hivegen.qword(2**40)), Value("odd", REG_SZ, b"abc"),
            # data after the terminating NUL (a way of hiding data), and mere zero padding after it
            Value("hidden", REG_SZ, hivegen.sz("www.hotmail,com\0LS\\Software")), Value("pad", REG_SZ, hivegen.sz("a") + bytes(4)),
            Value("link", REG_LINK, "\\Registry\0x".encode("utf-16-le"))])]))


def rows(hive, **fields):
    """(KeyPath, ValueName, ValueType, ValueData, ValueData2, ValueData3) of one rule's rows."""
    rule = rules.Rule(1, "d", "SYSTEM", "c", **fields)
    batch = rules.Batch("t", "a", "1", "x", (rule,))
    return [r.fields()[4:10] for r in rules.apply(batch, hive, "h")]


SETUP = "Setup"
ALPHA = ("ControlSet001\\Services\\Alpha", "ImagePath", "REG_SZ", "a.sys", "", "")


@pytest.mark.parametrize("fields, expected", [
    ({"key_path": "*", "value_name": "nope"}, []),
    ({"key_path": "Select"}, [("Select", "Current", "REG_DWORD", "1", "", "")]),
    ({"key_path": "select", "value_name": "CURRENT"}, [("Select", "Current", "REG_DWORD", "1", "", "")]),
    ({"key_path": "CurrentControlSet\\Services\\Alpha"}, [ALPHA]),
    ({"key_path": "ControlSet00*\\Services\\*"}, [ALPHA, ("ControlSet001\\Services\\Beta", "", "", "", "", "")]),
    ({"key_path": "ControlSet*\\Services", "recursive": True}, [
        ("ControlSet001\\Services", "", "", "", "", ""), ALPHA, ("ControlSet001\\Services\\Beta", "", "", "", "", ""),
        ("ControlSet001\\Services\\Beta\\Params", "", "", "", "", ""), ("ControlSet002\\Services", "", "", "", "", "")]),
    ({"key_path": "*Set00*\\Nope"}, []),
    ({"key_path": "Setup", "value_name": ""}, []),
    ({"key_path": SETUP, "value_name": "(default)"}, [(SETUP, "", "REG_SZ", "unnamed", "", "")]),
    ({"key_path": SETUP, "value_name": "multi"}, [(SETUP, "multi", "REG_MULTI_SZ", "a, b", "", "")]),
    ({"key_path": SETUP, "value_name": "q"}, [(SETUP, "q", "REG_QWORD", "1099511627776", "", "")]),
    ({"key_path": SETUP, "value_name": "odd"}, [(SETUP, "odd", "REG_SZ", "61-62-63", "", "Invalid UTF-16 string at offset 0x0")]),
    ({"key_path": SETUP, "value_name": "hidden"}, [(SETUP, "hidden", "REG_SZ", "www.hotmail,com", "",
                                                    "24 bytes after the terminating NUL")]),
    ({"key_path": SETUP, "value_name": "pad"}, [(SETUP, "pad", "REG_SZ", "a", "", "")]),
    ({"key_path": SETUP, "value_name": "link"}, [(SETUP, "link", "REG_LINK", "\\Registry", "", "2 bytes after the terminating NUL")]),
    ({"key_path": SETUP, "value_name": "ip"}, [(SETUP, "ip", "REG_BINARY", "(Binary data)", "", "")]),
    ({"key_path": SETUP, "value_name": "ip", "include_binary": True}, [(SETUP, "ip", "REG_BINARY", "C0-A8-01-14", "", "")]),
    *[({"key_path": SETUP, "value_name": name, "include_binary": True, "binary_convert": convert},
       [(SETUP, name, "REG_DWORD" if name == "ep" else "REG_BINARY", text,
         str(1_600_000_000) if name == "ep" else CONVERTED[name][1].hex("-").upper(), "")])
      for name, convert, text in [
          ("ft", "FILETIME", "2019-04-17 18:40:00.1234567"), ("ep", "EPOCH", "2020-09-13 12:26:40.0000000"),
          ("ip", "IP", "192.168.1.20"), ("sid", "SID", "S-1-5-21-1-2-3-1001"),
          ("st", "SYSTEMTIME", "2024-03-05 12:30:15.2500000"), ("ticks", "DATETIMETICKS", "2024-03-02 18:13:20.0000001"),
          ("ole", "OLE", "2023-03-15 12:00:00.0000000")]],
    *[({"key_path": SETUP, "value_name": name, "include_binary": True, "binary_convert": convert},
       [(SETUP, name, "REG_BINARY", CONVERTED[name][1].hex("-").upper(), "", reason)])
      for name, convert, reason in [
          ("short", "FILETIME", "FILETIME needs 8 bytes, got 2"), ("short", "EPOCH", "EPOCH needs 4 bytes, got 2"),
          ("short", "IP", "IP needs 4 bytes, got 2"), ("short", "SID", "SID needs 8 bytes, got 2"),
          ("badst", "SYSTEMTIME", "SYSTEMTIME is not a date: month must be in 1..12"),
          ("short", "DATETIMETICKS", "DateTimeTicks needs 8 bytes, got 2"), ("short", "OLE", "OLE needs 8 bytes, got 2")]],
], ids=["root-no-such-value", "exact", "any-case", "current-control-set", "wildcards", "recursive", "wildcard-nowhere",
        "empty-value-name", "unnamed-value", "multi-string", "qword", "bad-string", "after-nul", "padding", "link", "binary", "include-binary",
        *[f"convert-{c}" for c in ("filetime", "epoch", "ip", "sid", "systemtime", "ticks", "ole")],
        *[f"fail-{c}" for c in ("filetime", "epoch", "ip", "sid", "systemtime", "ticks", "ole")]])
def test_rule_forms(fields, expected):
    assert rows(kelpa.Hive.from_bytes(system_hive()), **fields) == expected


def test_key_rows_carry_the_time_and_deleted_keys(tmp_path):
    hive = kelpa.Hive.from_bytes(system_hive())
    batch = rules.Batch("t", "a", "1", "x", (rules.Rule(1, "d", "SYSTEM", "c", "Select", comment="why"),))
    assert [r.fields() for r in rules.apply(batch, hive, "h")] == [
        ("h", "SYSTEM", "d", "c", "Select", "Current", "REG_DWORD", "1", "", "", "why", "False", "False",
         "1970-01-01 00:00:00.0000001", "")]
    image, deleted_keys, _ = hivegen.deleted_scene()
    scene = kelpa.Hive.from_bytes(image)
    found = rules.Batch("t", "a", "1", "x", (rules.Rule(1, "d", "OTHER", "c", "*", recursive=True),))
    assert [(r.key_path.rsplit("\\", 1)[-1], r.deleted) for r in rules.apply(found, scene, "h", deleted=True)
            if r.deleted] == [(name, True) for name in deleted_keys]


@pytest.mark.parametrize("root, name, expected", [
    (["Select", "ControlSet001"], None, "SYSTEM"), (["SAM"], None, "OTHER"), (["Policy", "RXACT"], None, "SECURITY"),
    (["Description", "Objects"], None, "BCD"), (["DriverDatabase"], None, "DRIVERS"), ([".txt", "CLSID"], None, "USRCLASS"),
    ([".txt"], "UserClasses.dat", "USERCLASSES"), (["Software", "Environment"], None, "NTUSER"),
    (["Software", "Environment"], "DEFAULT", "DEFAULT"), (["Software", "Environment"], "User.dat", "USER"),
    (["Microsoft", "Classes"], None, "SOFTWARE"), (["CanonicalData"], None, "COMPONENTS"),
    (["DefaultObjectStore"], None, "SYSCACHE"), (["LocalState"], None, "SETTINGS"), ([], "ELAM", "ELAM"),
    (["Anything"], "SYSTEM", "SYSTEM"),  # the name only where the keys say nothing
], ids=["system", "sam-without-domains", "security", "bcd", "drivers", "usrclass", "userclasses", "ntuser", "default",
        "user", "software", "components", "syscache", "settings", "elam", "name-as-hint"])
def test_hive_types(tmp_path, root, name, expected):
    path = tmp_path / (name or "hive")
    path.write_bytes(hivegen.build_tree(Key("ROOT", subkeys=[Key(n) for n in root])))
    assert hive_types.hive_type(kelpa.Hive.from_path(path), path) == expected


def test_command_orders_rows_by_rule_then_hive(tmp_path):
    (tmp_path / "b.reb").write_text(HEAD + RULE + RULE.replace("Select", "Setup\n    ValueName: ip"))
    for name in ("one", "two"):
        (tmp_path / name).write_bytes(system_hive())
    outs = [subprocess.run([KELPA, "batch", "-r", "b.reb", "two", "one", "-j", jobs], capture_output=True, cwd=tmp_path)
            for jobs in ("1", "2")]
    assert outs[0].stdout == outs[1].stdout and outs[0].returncode == 0
    got = [(r["HivePath"], r["KeyPath"], r["ValueName"]) for r in csv.DictReader(io.StringIO(outs[0].stdout.decode()))]
    assert got == [("two", "Select", "Current"), ("one", "Select", "Current"), ("two", "Setup", "ip"), ("one", "Setup", "ip")]


@pytest.mark.skipif(not (SHARED_RULES / "DFIRBatch.reb").is_file() or not SHARED_HIVES.is_dir(),
                    reason="no shared rules or hives")
def test_dfir_batch_rows_are_what_open_key_gives():
    batch = rules.load_batch(SHARED_RULES / "DFIRBatch.reb")
    assert len(batch.rules) == 504
    checked = 0
    for record in json.loads((SHARED_HIVES / "inventory.json").read_text()):
        path = SHARED_HIVES / record["file"]
        hive = kelpa.Hive.from_path(path, strict=False)
        for row in rules.apply(batch, hive, str(path)):
            if "*" in row.rule.key_path or row.rule.recursive or row.deleted:
                continue
            key = hive.open_key(rules.key_path_in(hive, row.rule.key_path))
            assert row.key_path == key.path()
            if row.value_name or row.value_type:
                value = next(v for v in key.values() if v.name() == (row.value_name or "(default)"))
                assert (value.value_type().type_name(), row.value_data) == (
                    row.value_type, rules.value_text(row.rule, value)[0])
            checked += 1
    assert checked > 100
