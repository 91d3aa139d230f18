"""kelpa_tools.search and kelpa_tools.diff, from Python and through `kelpa search` / `kelpa diff`: what each
pattern matches in each form of the data, the probe that skips values never losing a match, the changes between
two hives and how keys and values are matched, exit statuses and refused outputs; on the shared hives, a hive
against itself and each dirty hive against its recovered image."""

import collections
import csv
import datetime
import json
import pathlib
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES, corpus_params
from hivegen import REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_MULTI_SZ, REG_SZ, Key, Value, dword, multi_sz, sz
from kelpa_tools import diff, search

KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))
T0 = datetime.datetime(2024, 1, 1, tzinfo=datetime.UTC)
T1 = datetime.datetime(2024, 3, 1, 12, 30, tzinfo=datetime.UTC)


def run(*args: str, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([KELPA, *args], capture_output=True, cwd=cwd, timeout=300)


WHERE = {"Run": "Software\\Run", "Blobs": "Software\\Blobs"}
SEARCHED = Key("ROOT", subkeys=[Key("Software", subkeys=[
    Key("Run", last_written=hivegen.filetime(T1), values=[
        Value("Updater", REG_SZ, sz("C:\\Temp\\EVIL.exe")), Value("", REG_SZ, sz("unnamed text")),
        Value("(default)", REG_SZ, sz("f(x) = 1"))]),
    Key("Blobs", values=[
        Value("Wide", REG_BINARY, b"\x07" + "odd payload".encode("utf-16-le")),  # UTF-16 from an odd offset
        Value("Ascii", REG_BINARY, b"\x00\x01MZ\x90hello world\x00"),
        Value("Port", REG_DWORD, dword(3389)), Value("List", REG_MULTI_SZ, multi_sz(["alpha", "beta"])),
        Value("Big", REG_BINARY, bytes(5000) + b"needle"),
        # the characters re.IGNORECASE also takes for i, k and s: dotted I, Kelvin sign, dotless i, long s
        Value("Cases", REG_SZ, sz("EV\u0130L.EXE \u212a\u0131\u017f\u017f")),
        Value("Bytes", REG_BINARY, b"\x00ki*!\x00")])])])  # "*!" are the bytes of U+212A's UTF-16
CASES = ("Blobs", "Cases", "REG_SZ", "data", "EV\u0130L.EXE \u212a\u0131\u017f\u017f")


@pytest.fixture(scope="module")
def searched() -> kelpa.Hive:
    return kelpa.Hive.from_bytes(hivegen.build_tree(SEARCHED))


@pytest.mark.parametrize("query, hits", [
    (dict(key="^RUN$"), [("Run", None, None, "key", "")]),
    (dict(key="^RUN$", case_sensitive=True), []),
    (dict(value="updater"), [("Run", "Updater", "REG_SZ", "value", "C:\\Temp\\EVIL.exe")]),
    (dict(value="^$"), [("Run", "", "REG_SZ", "value", "unnamed text")]),  # the unnamed value's name is empty
    (dict(value="default"), [("Run", "(default)", "REG_SZ", "value", "f(x) = 1")]),
    (dict(data=r"evil\.exe"), [("Run", "Updater", "REG_SZ", "data", "C:\\Temp\\EVIL.exe"), CASES]),
    (dict(data="kiss"), [CASES]),
    (dict(data="(x)", literal=True), [("Run", "(default)", "REG_SZ", "data", "f(x) = 1")]),
    (dict(data="4D5A90"), [("Blobs", "Ascii", "REG_BINARY", "data", "00014d5a9068656c6c6f20776f726c6400")]),
    (dict(data="d5a9"), []),  # in the hex, but not from the start of a byte
    (dict(data="odd payload"), [("Blobs", "Wide", "REG_BINARY", "data", "odd payload")]),
    (dict(data="hello world"), [("Blobs", "Ascii", "REG_BINARY", "data", "\n\nMZ\nhello world\n")]),
    (dict(data="ki*!", literal=True), [("Blobs", "Bytes", "REG_BINARY", "data", "\nki*!\n")]),
    (dict(data="^3389$"), [("Blobs", "Port", "REG_DWORD", "data", "3389")]),
    (dict(data="beta"), [("Blobs", "List", "REG_MULTI_SZ", "data", "alpha\nbeta")]),
    (dict(min_size=5000), [("Blobs", "Big", "REG_BINARY", "size", "00" * 40)]),
    (dict(data="needle", min_size=5006), [("Blobs", "Big", "REG_BINARY", "data", "\n" * 74 + "needle")]),
    (dict(data="needle", min_size=5007), []),
    (dict(key="^blobs$", value="^port$"), [("Blobs", None, None, "key", ""), ("Blobs", "Port", "REG_DWORD", "value", "3389")]),
], ids=["key-any-case", "key-case-sensitive", "value", "unnamed-value", "value-named-default", "string-any-case",
        "other-cases", "literal", "hex", "hex-from-a-byte", "utf16-odd-offset", "ascii", "ascii-bytes-of-utf16-cases",
        "dword-decimal", "multi-string-lines", "min-size", "min-size-and-data", "min-size-leaves-out", "key-and-value"])
def test_search(searched, query, hits):
    found = list(search.search(searched, **query))
    assert [(m.key_path, m.value_name, m.value_type, m.matched, m.excerpt) for m in found] == [
        (WHERE[key], *rest) for key, *rest in hits]
    assert [m.last_written for m in found] == [T1 if key == "Run" else None for key, *_ in hits]
    if "data" in query:  # the probe only skips values that cannot match
        query_without_probe = search.Query(**query)
        query_without_probe.probe = None
        assert list(query_without_probe.matches(searched)) == found


@pytest.mark.parametrize("pattern", [
    "abc?def", "xyz{0}abc", r"\x41bcd", "(?:abc)?def", "zzz|a.cde", r"[|]abc", r"\bIKS", r"qqq\.?rrr", "(?x) a b c",
])
def test_probe_never_loses_a_match(pattern):
    """Patterns whose plain characters are not all required, and texts they match, in each form of the data."""
    texts = ["abdef", "xyabc", "Abcd", "def", "abcde", "|abc", "\u0130K\u017f", "qqqrrr"]
    forms = (sz, lambda t: b"\x01" + t.encode("utf-16-le"), lambda t: t.encode("ascii", "replace"))
    hive = kelpa.Hive.from_bytes(hivegen.build_tree(Key("ROOT", values=[
        Value(f"v{i}", (REG_SZ, REG_BINARY, REG_BINARY)[i % 3], forms[i % 3](text))
        for i, text in enumerate(t for t in texts for _ in forms)])))
    query = search.Query(data=pattern)
    found = list(query.matches(hive))
    query.probe = None
    assert found and found == list(query.matches(hive))


@pytest.mark.parametrize("query, message", [
    ({}, "nothing to search for: give a key, value or data pattern or a minimum size"),
    ({"data": "("}, "data pattern '(' is not a regular expression: missing ), unterminated subpattern at position 0"),
    ({"key": "a", "min_size": -1}, "a minimum size is a number of bytes, not -1"),
])
def test_search_refuses(searched, query, message):
    with pytest.raises(ValueError) as caught:
        search.search(searched, **query)  # at once, before the first hit is asked for
    assert str(caught.value) == message


# OLD and NEW: a key removed, one added with a subkey, one written again, a value changed in a key whose path and
# value name differ in letter case, a value of another type, the unnamed value left alone beside a new value really
# named "(default)", and a string whose bytes change but not its text.
FT0, FT1 = hivegen.filetime(T0), hivegen.filetime(T1)
OLD = Key("ROOT", last_written=FT0, subkeys=[
    Key("Gone", last_written=FT0, values=[Value("v", REG_DWORD, dword(1))]),
    Key("MixedCase", last_written=FT0, values=[Value("Name", REG_SZ, sz("1")), Value("", REG_SZ, sz("u"))]),
    Key("Same", last_written=FT0, values=[Value("a", REG_SZ, sz("x"))]),
    Key("Touched", last_written=FT0),
    Key("Types", last_written=FT0, values=[Value("v", REG_SZ, sz("%x%")), Value("t", REG_SZ, b"t\0")])])
NEW = Key("ROOT", last_written=FT0, subkeys=[
    Key("MIXEDCASE", last_written=FT0, values=[Value("", REG_SZ, sz("u")), Value("NAME", REG_SZ, sz("2")),
                                               Value("(default)", REG_SZ, sz("u"))]),
    Key("New", last_written=FT1, values=[Value("w", REG_BINARY, b"\x01")], subkeys=[Key("Sub", last_written=FT1)]),
    Key("Same", last_written=FT0, values=[Value("a", REG_SZ, sz("x"))]),
    Key("Touched", last_written=FT1),
    Key("Types", last_written=FT0, values=[Value("v", REG_EXPAND_SZ, sz("%x%")), Value("t", REG_SZ, sz("t"))])])
T0_ISO, T1_ISO = T0.isoformat(timespec="microseconds"), T1.isoformat(timespec="microseconds")
DIFF_HEAD = "change,kind,key_path,value_name,old_type,new_type,old_data,new_data,old_last_written,new_last_written\n"
DIFF_CSV = DIFF_HEAD + f"""\
removed,key,Gone,,,,,,{T0_ISO},
removed,value,Gone,v,REG_DWORD,,1,,,
added,value,MIXEDCASE,(default),,REG_SZ,,u,,
changed,value,MIXEDCASE,NAME,REG_SZ,REG_SZ,1,2,,
added,key,New,,,,,,,{T1_ISO}
added,value,New,w,,REG_BINARY,,01,,
added,key,New\\Sub,,,,,,,{T1_ISO}
changed,key,Touched,,,,,,{T0_ISO},{T1_ISO}
changed,value,Types,t,REG_SZ,REG_SZ,7400,74000000,,
changed,value,Types,v,REG_SZ,REG_EXPAND_SZ,%x%,%x%,,
"""


@pytest.fixture(scope="module")
def folder(tmp_path_factory) -> pathlib.Path:
    top = tmp_path_factory.mktemp("answers")
    (top / "OLD").write_bytes(hivegen.build_tree(OLD))
    (top / "NEW").write_bytes(image := hivegen.build_tree(NEW))
    (top / "CUT").write_bytes(image[:4096 + 0x100])
    (top / "SEARCHED").write_bytes(hivegen.build_tree(SEARCHED))
    (top / "DELETED").write_bytes(hivegen.deleted_scene()[0])
    (top / "OUT").write_text("an earlier output")
    (top / "empty").mkdir()
    return top


CUT = "kelpa: CUT: 2 problems reading the hive, the first at offset 0x100: Invalid format: Hive bins data size 0x1000 " \
      "runs past the end of the file: 0x100 bytes of bins (--problems lists them all)"
SEARCH_HEAD = "hive,key_path,value_name,value_type,matched,excerpt,last_written\n"


@pytest.mark.parametrize("args, status, out, err", [
    (["diff", "OLD", "NEW"], 1, DIFF_CSV, ""),
    (["diff", "OLD", "OLD"], 0, DIFF_CSV.split("\n")[0] + "\n", ""),
    (["diff", "OLD", "NEW", "-o", "NEW"], 2, "", "kelpa: NEW: is the input NEW; refusing to write over evidence"),
    (["diff", "OLD", "NEW", "-o", "OUT"], 2, "", "kelpa: OUT: exists; use --force to replace it"),
    (["diff", "OLD", "missing"], 2, "", "kelpa: missing: No such file or directory (os error 2)"),
    (["diff", "OLD", "NEW", "-o", "nowhere/d.csv"], 2, "", "kelpa: nowhere/d.csv: its folder does not exist"),
    (["diff", "empty", "NEW"], 2, "", "kelpa: no hive files found in empty"),
    (["search", "--key", "^run$", "--value", "updater", "SEARCHED"], 0, SEARCH_HEAD +
     f"SEARCHED,Software\\Run,,,key,,{T1_ISO}\nSEARCHED,Software\\Run,Updater,REG_SZ,value,C:\\Temp\\EVIL.exe,{T1_ISO}\n", ""),
    (["search", "--data", "not there", "SEARCHED"], 0, SEARCH_HEAD, ""),  # read whole, nothing found
    (["search", "--key", "^first$", "--data", "old data", "DELETED"], 0, SEARCH_HEAD, ""),
    (["search", "--deleted", "--key", "^first$", "--data", "old data", "DELETED"], 0, SEARCH_HEAD +
     "DELETED,First,,,deleted key,,2017-07-18T19:56:52.387635+00:00\nDELETED,,Gone,REG_SZ,deleted data,old data,\n", ""),
    (["search", "--key", "x", "CUT"], 1, SEARCH_HEAD, CUT),
    (["search", "SEARCHED"], 2, "", "kelpa: nothing to search for: give --key, --value, --data or --min-size"),
    (["search", "--data", "(", "SEARCHED"], 2, "",
     "kelpa: data pattern '(' is not a regular expression: missing ), unterminated subpattern at position 0"),
    (["search", "--min-size", "-1", "SEARCHED"], 2, "", "kelpa search: error: argument --min-size: not a number of "
                                                         "bytes: '-1'"),
    (["search", "--key", "x", "SEARCHED", "-o", "SEARCHED"], 2, "",
     "kelpa: SEARCHED: is the input SEARCHED; refusing to write over evidence"),
    (["search", "--key", "x", "SEARCHED", "-o", "nowhere/s.csv"], 2, "", "kelpa: nowhere/s.csv: its folder does not exist"),
], ids=["diff-differ", "diff-equal", "diff-output-is-input", "diff-output-exists", "diff-missing", "diff-no-folder",
        "diff-no-hive",
        "search", "search-nothing-found", "search-live-only", "search-deleted", "search-damaged", "search-nothing-asked",
        "search-bad-pattern", "search-bad-size", "search-output-is-input", "search-no-folder"])
def test_command(folder, args, status, out, err):
    done = run(*args, cwd=folder)
    assert (done.returncode, done.stdout.decode(), done.stderr.decode().splitlines()[-1:]) == (
        status, out, [err] if err else [])


def with_logs():
    from test_log_replay import CLEAN, DIRTY, E, N
    return {"dirty": {"H": DIRTY, "H.LOG1": N(1, E(1))}, "clean": {"H": CLEAN, "H.LOG1": N(1, E(1))}, "no-logs": {"H": DIRTY}}


@pytest.mark.parametrize("files, args, status, out, err", [
    ("dirty", [], 1, DIFF_HEAD + "changed,value,,Data,REG_BINARY,REG_BINARY,6f726967696e616c,6530303030303031,,\n", ""),
    ("clean", [], 0, DIFF_HEAD, ""),  # the log does not apply
    ("no-logs", [], 2, "", "kelpa: H: no transaction logs beside it (HIVE.LOG1, HIVE.LOG2, HIVE.LOG) to compare it with"),
    ("dirty", ["--logs", "none"], 2, "", "kelpa: diff of one hive compares it with its logs: --logs none leaves nothing "
                                         "to compare"),
], ids=["dirty", "clean", "no-logs", "logs-none"])
def test_diff_of_a_hive_with_its_logs(tmp_path, files, args, status, out, err):
    for name, data in with_logs()[files].items():
        (tmp_path / name).write_bytes(data)
    done = run("diff", "H", *args, cwd=tmp_path)
    assert (done.returncode, done.stdout.decode(), done.stderr.decode().splitlines()) == (status, out, [err] if err else [])


def test_diff_as_json_lines(folder):
    done = run("diff", "-f", "jsonl", "OLD", "NEW", cwd=folder)
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert (done.returncode, len(rows), rows[1], rows[2]["value_name"]) == (1, len(DIFF_CSV.splitlines()) - 1, {
        "change": "removed", "kind": "value", "key_path": "Gone", "value_name": "v", "old_type": "REG_DWORD",
        "new_type": None, "old_data": 1, "new_data": None, "old_last_written": None, "new_last_written": None},
        "(default)")


# --- the shared hives ---------------------------------------------------------------------------------------------

def replayed(changes: list[diff.Change], old: dict, new: dict) -> None:
    """Applies the changes to the old snapshot, each checked against what it says was there, and compares the result
    with the new one: a change missed, wrong or listed twice fails."""
    def values(snapshot):
        return {(path, name): (value.value_type().type_name(), value.raw_data())
                for path, key in snapshot.items() for name, value in key.values.items()}
    keys = {path: key.filetime for path, key in old.items()}
    got, want = values(old), values(new)
    for c in changes:
        path = diff.fold(c.key_path)
        if c.kind == "key":
            assert (c.change == "added") == (path not in keys)
            keys[path] = None if c.change == "removed" else new[path].filetime
            continue
        slot = (path, diff.fold(c.value_name))
        assert got.get(slot) == (None if c.old_type is None else (c.old_type, c.old_data))
        got[slot] = None if c.new_type is None else (c.new_type, c.new_data)
    assert {k: v for k, v in keys.items() if v is not None} == {path: key.filetime for path, key in new.items()}
    assert {k: v for k, v in got.items() if v is not None} == want


@pytest.mark.parametrize("record", corpus_params())
def test_diff_of_a_hive_with_itself_is_empty(record):
    path = SHARED_HIVES / record["file"]
    try:
        hives = [kelpa.Hive.from_path(path, strict=False) for _ in range(2)]
    except ValueError:
        pytest.skip("the hive does not open")
    assert diff.diff(*hives) == []


@pytest.mark.parametrize("record", corpus_params("recovered.json", lambda r: r.get("recovered")))
def test_diff_of_a_dirty_hive_and_its_recovered_image(tmp_path, record):
    """What the logs changed: consistent with both hives, as many keys and values more as the other parser's
    walks before and after recovery counted, and the same through the command."""
    path = str(SHARED_HIVES / record["file"])
    logs = [str(SHARED_HIVES / record["logs"][name]) for name in ("LOG1", "LOG2") if name in record["logs"]]
    old, new = kelpa.Hive.from_path(path, strict=False), kelpa.Hive.from_path(path, *logs, strict=False)
    snapshots = diff.snapshot(old), diff.snapshot(new)
    changes = diff.compare(*snapshots)
    assert changes
    replayed(changes, *snapshots)
    if "keys" in (before := record["walk_before"]):
        count, after = collections.Counter((c.kind, c.change) for c in changes), record["walk_after"]
        assert (count["key", "added"] - count["key", "removed"], count["value", "added"] - count["value", "removed"]) == (
            after["keys"] - before["keys"], after["values"] - before["values"])
    new.save(str(tmp_path / "recovered"))
    done = run("diff", "--logs", "none", path, str(tmp_path / "recovered"))
    assert (done.returncode, len(list(csv.reader(done.stdout.decode().splitlines(keepends=True)))) - 1) == (
        2, len(changes))  # 2: the dirty hive was read as it lies, without its logs
    assert f"kelpa: {path}: the hive is dirty and its logs were not read (--logs none): recent changes may be " \
           "missing" in done.stderr.decode().splitlines()
    alone = run("diff", path)  # the same, from the hive and the logs beside it; 2 only for a damaged file
    assert (alone.returncode, alone.stdout) == (2 if alone.stderr else 1, done.stdout)


@pytest.mark.parametrize("name", ["regipy__SYSTEM_WIN_10_1709", "regipy__amcache.hve", "plaso__NTUSER.DAT"])
def test_probe_never_loses_a_match_on_real_hives(name):
    if not (path := SHARED_HIVES / name).is_file():
        pytest.skip(f"no shared hive {path}")
    hive = kelpa.Hive.from_path(path, strict=False)
    for query in (search.Query(data=p) for p in ("microsoft", "3389", "4d5a", r"system32\\|\.dll")):
        found, query.probe = list(query.matches(hive)), None
        assert found == list(query.matches(hive)), query.data
