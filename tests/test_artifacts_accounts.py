"""Accounts and user activity decoders: SAM F, V and C layouts and the activity keys as tables of
synthetic hives, damaged data, regipy's plugins on the shared hives, and the artifacts command with
the timeline and batch that use the same decoding."""

import csv
import datetime
import io
import json
import os
import pathlib
import random
import shutil
import struct
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES
from hivegen import REG_BINARY, REG_DWORD, REG_SZ
from kelpa_tools import artifacts, rules

UTC = datetime.UTC
KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))
WRITTEN = datetime.datetime(2024, 5, 1, tzinfo=UTC)
T1, T2, T3 = (datetime.datetime(2023, 1, d, 8, 30, 15, 123456, tzinfo=UTC) for d in (2, 3, 4))
USERS = r"SAM\Domains\Account\Users"
ALIASES = r"SAM\Domains\Builtin\Aliases"
EXPLORER = r"Software\Microsoft\Windows\CurrentVersion\Explorer"
NAMES = ("sam_user", "sam_group", "typed_url", "typed_path", "word_wheel_query", "rdp_server", "office_mru")


def decoded(keys: dict, hive_type: str, names=NAMES):
    hive = kelpa.Hive.from_bytes(hivegen.hive_of(keys, last_written=hivegen.filetime(WRITTEN)), strict=False)
    decoding = artifacts.decode(hive, names, hive_type=hive_type)
    return list(decoding), [tuple(p) for p in decoding.problems()]


# SAM layouts, built as Windows writes them
def user_f(rid=1001, size=80) -> bytes:
    """An F value: logged on at T1, password set at T2, never expires, a failed logon at T3, flags, counts."""
    head = struct.pack("<HHI5QII HH HH HH", 3, 1, 0, hivegen.filetime(T1), 0, hivegen.filetime(T2),
                       0x7FFFFFFFFFFFFFFF, hivegen.filetime(T3), rid, 0, 0x214, 0, 1, 1252, 2, 7)
    return (head + bytes(12))[:size]


def user_v(texts: dict[int, str], *, lm: bytes | None = b"\x03\x00\x01\x00", nt: bytes | None = None,
           bend: dict[int, tuple[int, int]] | None = None) -> bytes:
    """A V value: entry -> text, the LM and NT hash records (entries 13, 14); `bend`: (offset, length) as stored."""
    entries, data = [(0, 0)] * 17, b""
    for entry, blob in [*((e, t.encode("utf-16-le")) for e, t in texts.items()), (13, lm or b""), (14, nt or b"")]:
        entries[entry] = (len(data), len(blob))
        data += blob + bytes(-len(blob) % 4)
    for entry, stored in (bend or {}).items():
        entries[entry] = stored
    return b"".join(struct.pack("<III", o, n, 1) for o, n in entries) + data


RC4_NT = b"\x03\x00\x01\x00" + bytes(range(16))
AES_NT = b"\x03\x00\x02\x00\x10\x00\x00\x00" + bytes(16) + bytes(range(32))
AES_NONE = b"\x03\x00\x02\x00" + bytes(20)


def alias_c(rid: int, name: str, comment: str, sids: list[bytes], *, count: int | None = None) -> bytes:
    descriptor = b"\x01\x00\x04\x80" + bytes(16)
    body = descriptor + name.encode("utf-16-le") + comment.encode("utf-16-le")
    body += bytes(-len(body) % 4)
    members = b"".join(sids)
    head = struct.pack("<13I", rid, 0, len(descriptor), 0x00010002, len(descriptor), 2 * len(name), 0,
                       len(descriptor) + 2 * len(name), 2 * len(comment), 0, len(body), len(members),
                       len(sids) if count is None else count)
    return head + body + members


def sid(authority: int, *subs: int) -> bytes:
    return bytes([1, len(subs)]) + authority.to_bytes(6, "big") + struct.pack(f"<{len(subs)}I", *subs)


def user_keys(f: bytes | None, v: bytes | None) -> dict:
    """User 1001 (its F and V values as given) and its Names key, whose unnamed value's type is the RID."""
    values = {k: (REG_BINARY, d) for k, d in (("F", f), ("V", v), ("UserPasswordHint", "rabbit\0".encode("utf-16-le")))
              if d is not None}
    return {rf"{USERS}\000003E9": values, rf"{USERS}\Names\alice": {"": (1001, b"")}}


USER = ("rid", "username", "full_name", "comment", "home_dir", "created", "last_login", "password_last_set",
        "account_expires", "last_failed_login", "login_count", "failed_login_count", "flags", "flag_names",
        "has_lm_hash", "has_nt_hash", "password_hint")
ALICE = {1: "alice", 2: "Alice Liddell", 3: "down the hole", 6: r"\\srv\alice"}
FLAG_NAMES = ["password_not_required", "normal_account", "password_never_expires"]
GOOD_USER = (1001, "alice", "Alice Liddell", "down the hole", r"\\srv\alice", WRITTEN, T1, T2, None, T3, 7, 2,
             0x214, FLAG_NAMES)
KEY = rf"{USERS}\000003E9"


@pytest.mark.parametrize("keys, rows, problems", [
    # RC4 records: an NT hash (4 + 16 bytes), no LM hash (its header alone)
    (user_keys(user_f(), user_v(ALICE, nt=RC4_NT)), [GOOD_USER + (False, True)], []),
    # AES records (Windows 10 1607 on): a header of 24 bytes, then the encrypted hash
    (user_keys(user_f(), user_v(ALICE, lm=AES_NONE, nt=AES_NT)), [GOOD_USER + (False, True)], []),
    # V without a user name: the Names key's
    (user_keys(user_f(), user_v({}, nt=RC4_NT)),
     [(1001, "alice", None, None, None, *GOOD_USER[5:], False, True)], []),
    # damaged: each reads what it can, and says what it cannot
    (user_keys(user_f(size=40), user_v(ALICE, nt=RC4_NT)),
     [GOOD_USER[:6] + (None,) * 8 + (False, True)], [(KEY, "F holds 40 bytes, fewer than the 68 of a user record")]),
    (user_keys(user_f(rid=500), None), [GOOD_USER[:1] + ("alice", None, None, None) + GOOD_USER[5:] + (None, None)],
     [(KEY, "F names RID 500, the key RID 1001")]),
    (user_keys(None, user_v(ALICE)[:100]), [(1001, "alice", None, None, None, WRITTEN) + (None,) * 10],
     [(KEY, "V holds 100 bytes, fewer than the 204 of its entries")]),
    (user_keys(None, user_v(ALICE, nt=b"\x03\x00\x07\x00" + bytes(16), bend={2: (0x10, 0x7FFFFFF0)})),
     [(1001, "alice", None, "down the hole", r"\\srv\alice", WRITTEN) + (None,) * 8 + (False, None)],
     [(KEY, "V's full_name (2147483632 bytes at 0x10) runs past its 320 bytes"),
      (KEY, "V's NT hash has an unknown revision 7")]),
    (user_keys(None, user_v(ALICE, bend={14: (0x1000, 20)})),
     [(1001, "alice", "Alice Liddell", "down the hole", r"\\srv\alice", WRITTEN) + (None,) * 8 + (False, None)],
     [(KEY, "V's NT hash (20 bytes at 0x1000) is not a hash record within its 300 bytes")]),
])
def test_sam_user(keys, rows, problems):
    got, met = decoded(keys, "SAM", ["sam_user"])
    assert [tuple(r[f] for f in USER) for _, r in got] == [row + ("rabbit",) for row in rows]  # the hint in each
    assert met == [("sam_user", *p) for p in problems]


ADMINS = rf"{ALIASES}\00000220"


@pytest.mark.parametrize("c, row, problems", [
    (alias_c(544, "Administrators", "all powers", [sid(5, 21, 1, 2, 3, 500), sid(5, 4)]),
     (544, "Administrators", "all powers", ["S-1-5-21-1-2-3-500", "S-1-5-4"]), []),
    # a count past the SIDs held; a SID claiming 200 sub-authorities
    (alias_c(544, "A", "c", [sid(5, 18)], count=3), (544, "A", "c", ["S-1-5-18"]),
     ["C lists 3 members, of which 1 read as SIDs within its data"]),
    (alias_c(544, "A", "c", [bytes([1, 200]) + bytes(6)]), (544, "A", "c", []),
     ["C lists 1 members, of which 0 read as SIDs within its data"]),
    (alias_c(544, "A", "c", [])[:30], None, ["C holds 30 bytes, fewer than the 52 of its header"]),
])
def test_sam_group(c, row, problems):
    got, met = decoded({ADMINS: {"C": (REG_BINARY, c)}, rf"{ALIASES}\Members": {}}, "SAM", ["sam_group"])
    assert [tuple(r[f] for f in ("rid", "name", "comment", "members")) for _, r in got] == ([row] if row else [])
    assert met == [("sam_group", ADMINS, p) for p in problems]


# Activity
IE = r"Software\Microsoft\Internet Explorer"
TSC = r"Software\Microsoft\Terminal Server Client"
WORD = r"Software\Microsoft\Office\16.0\Word"


def item(when: datetime.datetime | None, path: str) -> tuple[int, bytes]:
    stamp = "" if when is None else f"[T{hivegen.filetime(when):016X}]"
    return REG_SZ, hivegen.sz(f"[F00000000]{stamp}[O00000000]*{path}")


@pytest.mark.parametrize("keys, expected, problems", [
    ({rf"{IE}\TypedURLs": {"url10": (REG_SZ, hivegen.sz("http://ten/")), "url1": (REG_SZ, hivegen.sz("http://one/")),
                           "url2": (REG_SZ, hivegen.sz("http://two/")), "other": (REG_SZ, hivegen.sz("x"))},
      rf"{IE}\TypedURLsTime": {"url1": (REG_BINARY, hivegen.qword(hivegen.filetime(T1))),
                               "url2": (REG_BINARY, b"\x01\x02")}},
     [("typed_url", 0, "url1", "http://one/", T1), ("typed_url", 1, "url2", "http://two/", None),
      ("typed_url", 9, "url10", "http://ten/", None)],
     [("typed_url", rf"{IE}\TypedURLsTime", "url2 holds 2 bytes, not a FILETIME's 8")]),
    ({rf"{EXPLORER}\TypedPaths": {"url2": (REG_SZ, hivegen.sz(r"C:\b")), "url1": (REG_SZ, hivegen.sz("\\\\srv\\a"))}},
     [("typed_path", 0, "url1", "\\\\srv\\a"), ("typed_path", 1, "url2", r"C:\b")], []),
    # MRUListEx orders the entries; one it does not name comes last without an order; a named one missing is left out
    ({rf"{EXPLORER}\WordWheelQuery": {"MRUListEx": (REG_BINARY, struct.pack("<4I", 2, 9, 0, 0xFFFFFFFF)),
                                      **{str(n): (REG_BINARY, t.encode("utf-16-le")) for n, t in enumerate(
                                          ("first\0", "loose\0", "latest\0junk"))}}},
     [("word_wheel_query", *row) for row in ((0, 2, "latest"), (1, 0, "first"), (None, 1, "loose"))], []),
    ({rf"{TSC}\Default": {"MRU0": (REG_SZ, hivegen.sz("10.0.0.5")), "MRU1": (REG_SZ, hivegen.sz("jump:3390"))},
      rf"{TSC}\Servers\JUMP:3390": {"UsernameHint": (REG_SZ, hivegen.sz(r"CORP\admin"))},
      rf"{TSC}\Servers\old": {}},
     [("rdp_server", "JUMP:3390", r"CORP\admin", 1), ("rdp_server", "old", None, None),
      ("rdp_server", "10.0.0.5", None, 0)], []),
    ({rf"{WORD}\File MRU": {"Max Display": (REG_DWORD, hivegen.dword(25)), "Item 2": item(T2, r"C:\old.docx"),
                            "Item 1": item(T3, r"C:\new.docx"), "Item 3": item(None, r"C:\when.docx")},
      rf"{WORD}\User MRU\ADAL_1\Place MRU": {"Item 1": item(T1, "D:\\")},
      rf"{WORD}\Place MRU": {"Item 1": (REG_SZ, hivegen.sz(r"E:\bare"))}},
     [("office_mru", "Word", "16.0", *row) for row in (
         ("File MRU", None, 0, r"C:\new.docx", T3), ("File MRU", None, 1, r"C:\old.docx", T2),
         ("File MRU", None, 2, r"C:\when.docx", None), ("Place MRU", None, 0, r"E:\bare", None),
         ("Place MRU", "ADAL_1", 0, "D:\\", T1))],
     [("office_mru", rf"{WORD}\File MRU", r"Item 3 has no [T...] time field: '[F00000000][O00000000]*C:\\when.docx'")]),
])
def test_activity(keys, expected, problems):
    got, met = decoded(keys, "NTUSER")
    fields = {d.name: [f.name for f in d.fields if f.name != "entry" or d.name != "office_mru"]
              for d in artifacts.decoders()}
    assert [(name, *(r[f] for f in fields[name])) for name, r in got] == expected
    assert met == problems


# Damaged data: nothing escapes, nothing made up
def _damaged(data: bytes) -> list[bytes]:
    return [b"", data[: len(data) // 2], bytes(len(data)), data + bytes(7), random.Random(1).randbytes(4096)]


SOUND = {**user_keys(user_f(), user_v(ALICE, nt=AES_NT)),
         ADMINS: {"C": (REG_BINARY, alias_c(544, "Administrators", "x", [sid(5, 18)]))},
         rf"{IE}\TypedURLs": {"url1": (REG_SZ, hivegen.sz("http://one/"))},
         rf"{IE}\TypedURLsTime": {"url1": (REG_BINARY, hivegen.qword(hivegen.filetime(T1)))},
         rf"{EXPLORER}\WordWheelQuery": {"MRUListEx": (REG_BINARY, struct.pack("<2I", 0, 0xFFFFFFFF)),
                                         "0": (REG_BINARY, "a\0".encode("utf-16-le"))},
         rf"{TSC}\Default": {"MRU0": (REG_SZ, hivegen.sz("srv"))},
         rf"{WORD}\File MRU": {"Item 1": item(T1, r"C:\a.docx")}}


@pytest.mark.parametrize("path, value", [(k, v) for k, values in SOUND.items() for v in values if v])
def test_damaged_values(path, value):
    for data in _damaged(SOUND[path][value][1]):
        for kind in ("SAM", "NTUSER"):
            keys = {**SOUND, path: {**SOUND[path], value: (REG_BINARY, data)}}
            got, met = decoded(keys, kind)
            assert all(p[1] for p in met), met  # a problem names its key: no decoder stopped on an exception
            # a blob that is not the alias's C value gives no member made up from it
            assert all(row["members"] in ([], ["S-1-5-18"]) for name, row in got if name == "sam_group")


# Regipy's plugins on the shared hives
def _regipy(name: str, *plugins) -> list:
    """Each plugin's entries over the shared hive `name`, opened once."""
    from regipy.registry import RegistryHive
    hive = RegistryHive(str(SHARED_HIVES / name))
    return [(plugin := cls(hive, as_json=False)).run() or plugin.entries for cls in plugins]


def _close(a, b: str | None) -> bool:
    """regipy turns FILETIMEs into datetimes through a float: a microsecond off either way."""
    return a is b is None or abs(a - datetime.datetime.fromisoformat(b)) <= datetime.timedelta(microseconds=1)


@pytest.mark.skipif(not SHARED_HIVES.is_dir(), reason="no shared hives")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # regipy's own use of utcfromtimestamp
def test_sam_against_regipy():
    """regipy's samparse agrees on RIDs, times, counts and flags; it gives no user name at all (it
    looks for the Names key's RID in attributes its values do not have) and nothing from V."""
    pytest.importorskip("regipy")
    from regipy.plugins.sam.samparse import SAMParsePlugin
    name = "ezregistry__SAM_DUPENAME"  # 15 users of Windows XP: logons, failures, LM hashes
    [theirs] = _regipy(name, SAMParsePlugin)
    ours = [row for _, row in artifacts.decode(kelpa.Hive.from_path(SHARED_HIVES / name, strict=False), ["sam_user"])]
    assert [r["rid"] for r in ours] == [e["rid"] for e in theirs] and len(ours) == 15
    for row, entry in zip(ours, theirs):
        assert (row["flags"], row["login_count"], row["failed_login_count"]) == (
            entry["account_flags"], entry["login_count"], entry["failed_login_count"])
        for field in ("last_login", "password_last_set", "account_expires", "last_failed_login"):
            assert _close(row[field], entry[field]), field
        assert row["username"] and "username" not in entry


@pytest.mark.skipif(not SHARED_HIVES.is_dir(), reason="no shared hives")
def test_activity_against_regipy():
    pytest.importorskip("regipy")
    name = "regipy__NTUSER_with_winscp.DAT"  # 23 searches, 7 typed paths
    from regipy.plugins.ntuser import typed_paths, typed_urls, word_wheel_query
    searches, urls, paths = _regipy(name, word_wheel_query.WordWheelQueryPlugin, typed_urls.TypedUrlsPlugin,
                                    typed_paths.TypedPathsPlugin)
    ours: dict[str, list] = {}
    for artifact, row in artifacts.decode(kelpa.Hive.from_path(SHARED_HIVES / name, strict=False),
                                          ["typed_url", "typed_path", "word_wheel_query"]):
        ours.setdefault(artifact, []).append(row)
    assert [(r["order"], r["entry"], r["term"]) for r in ours["word_wheel_query"]] == [
        (e["order"], e["mru_id"], e["name"]) for e in searches]
    for artifact, field, theirs in (("typed_url", "url", urls), ("typed_path", "path", paths)):
        assert [(r["entry"], r[field]) for r in ours[artifact]] == [next(iter(e.items())) for e in theirs["entries"]]


# The command, the timeline and batch
def run(*args, cwd=None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([KELPA, *map(str, args)], capture_output=True, cwd=cwd, timeout=300)


@pytest.fixture(scope="module")
def hives(tmp_path_factory) -> pathlib.Path:
    """SAM (a user, a group), NTUSER.DAT (some activity), and bad/SAM, whose user's F value is cut short."""
    top = tmp_path_factory.mktemp("artifacts")
    sam = {**user_keys(user_f(), user_v(ALICE, nt=RC4_NT)), ADMINS: SOUND[ADMINS], r"SAM\RXACT": {}}
    (top / "SAM").write_bytes(hivegen.hive_of(sam, last_written=hivegen.filetime(WRITTEN)))
    ntuser = {k: v for k, v in SOUND.items() if k.startswith("Software")} | {"Control Panel": {}, "Environment": {}}
    (top / "NTUSER.DAT").write_bytes(hivegen.hive_of(ntuser, last_written=hivegen.filetime(WRITTEN)))
    (top / "bad").mkdir()
    damaged = {**sam, **user_keys(user_f(size=20), user_v(ALICE))}
    (top / "bad" / "SAM").write_bytes(hivegen.hive_of(damaged))
    return top


def test_command_formats(hives, tmp_path):
    assert [["sam_user", "SAM"], ["sam_group", "SAM"]] == [line.split()[:2] for line in run(
        "artifacts", "--list").stdout.decode().splitlines() if "SAM" in line]
    shutil.copy(hives / "SAM", odd := tmp_path / os.fsdecode(b"S\xffAM"))  # a file name that is not UTF-8
    jsonl = run("artifacts", odd, hives / "NTUSER.DAT", "-j", "2")
    assert (jsonl.returncode, jsonl.stderr) == (0, b"")
    lines = [json.loads(line) for line in jsonl.stdout.splitlines()]
    assert {(r["artifact"], r["hive"].rsplit(os.sep, 1)[1]) for r in lines} == {
        ("sam_user", "S\ufffdAM"), ("sam_group", "S\ufffdAM"), ("typed_url", "NTUSER.DAT"),
        ("word_wheel_query", "NTUSER.DAT"), ("rdp_server", "NTUSER.DAT"), ("office_mru", "NTUSER.DAT")}
    assert {bytes.fromhex(r["hive_bytes"]) for r in lines if "hive_bytes" in r} == {os.fsencode(odd)}
    alice = next(r for r in lines if r["artifact"] == "sam_user")
    assert (alice["username"], alice["last_login"], alice["created"], alice["flag_names"]) == (
        "alice", "2023-01-02 08:30:15.1234560", "2024-05-01 00:00:00.0000000", FLAG_NAMES)
    duckdb = pytest.importorskip("duckdb")
    (tmp_path / "rows.jsonl").write_bytes(jsonl.stdout)
    rows = duckdb.sql(f"select count(*) from read_json('{tmp_path / 'rows.jsonl'}', union_by_name=true)")
    assert rows.fetchall() == [(len(lines),)]
    for form in ("csv", "parquet"):
        done = run("artifacts", hives, "-f", form, "-o", tmp_path / form, "-a", "sam_user,typed_url,typed_path")
        assert (done.returncode, sorted(os.listdir(tmp_path / form))) == (  # 1: bad/SAM's F is cut short
            1, [f"{n}.{form}" for n in ("sam_user", "typed_path", "typed_url")])
    with open(tmp_path / "csv" / "sam_user.csv", newline="") as f:
        users = list(csv.DictReader(f))
    assert [(u["hive"].rsplit(os.sep, 2)[-2:], u["username"], u["last_login"], u["has_nt_hash"]) for u in users] == [
        ([hives.name, "SAM"], "alice", "2023-01-02 08:30:15.1234560", "True"), (["bad", "SAM"], "alice", "", "False")]
    pq = pytest.importorskip("pyarrow.parquet")
    table = pq.read_table(tmp_path / "parquet" / "typed_url.parquet")
    assert table.column("time").to_pylist() == [T1] and table.schema.field("time").type.tz == "UTC"
    assert (tmp_path / "csv" / "typed_path.csv").read_text() == "hive,order,entry,path,key_path,key_last_written\n"


@pytest.mark.parametrize("args, status, err", [
    (["bad/SAM", "-a", "sam_user"], 1, ["kelpa: bad/SAM: 1 problem decoding artifacts, the first in sam_user at "
                                       r"SAM\Domains\Account\Users\000003E9: F holds 20 bytes, fewer than the 68 of a "
                                       "user record (--problems lists them all)"]),
    (["SAM", "-o", "SAM"], 2, ["kelpa: SAM: is the input SAM; refusing to write over evidence"]),
    (["SAM", "-f", "csv", "-o", ".", "-a", "sam_group,sam_user"], 2,
     ["kelpa: ./sam_user.csv: exists; use --force to replace it"]),
    (["SAM", "-f", "csv"], 2, ["kelpa: --format csv writes a file per decoder: name their folder with -o OUT"]),
    (["SAM", "-f", "parquet", "-o", "SAM"], 2, ["kelpa: SAM: is not a folder"]),
    (["SAM", "-a", "nope"], 2, ["kelpa: no artifact decoder named 'nope' (--list names them)"]),
    ([], 2, ["kelpa: artifacts: name at least one HIVE (or --list)"]),
], ids=["damaged", "input", "exists", "no-folder", "a-file", "unknown", "no-hive"])
def test_command_refusals(hives, tmp_path, args, status, err):
    shutil.copytree(hives, tmp_path, dirs_exist_ok=True)
    (tmp_path / "sam_user.csv").write_text("mine")
    done = run("artifacts", *args, cwd=tmp_path)
    assert (done.returncode, done.stderr.decode().splitlines()) == (status, err)
    assert [(tmp_path / n).read_bytes() for n in ("SAM", "sam_user.csv")] == [(hives / "SAM").read_bytes(), b"mine"]
    assert sorted(os.listdir(tmp_path)) == ["NTUSER.DAT", "SAM", "bad", "sam_user.csv"]


def test_timeline_artifacts(hives):
    plain = run("timeline", hives / "SAM")
    with_events = run("timeline", "--artifacts", hives / "SAM", "--since", "2023-01-03")
    rows = list(csv.reader(io.StringIO(with_events.stdout.decode())))
    assert rows[0] == ["time", "hive", "key_path", "artifact", "event"]
    events = [(r[0], r[3], r[4]) for r in rows[1:] if r[3]]
    assert events == [("2024-05-01T00:00:00.000000+00:00", "sam_user", "account created: alice"),
                      ("2023-01-04T08:30:15.123456+00:00", "sam_user", "logon failed: alice"),
                      ("2023-01-03T08:30:15.123456+00:00", "sam_user", "password set: alice")]
    assert [r[0] for r in rows[1:]] == sorted((r[0] for r in rows[1:]), reverse=True)
    assert len(rows) - 1 - len(events) == len(plain.stdout.splitlines()) - 1  # every key row kept


RULES = r"""{Description: t, Author: t, Version: 1, Id: x, Keys: [
  {Description: Users, HiveType: SAM, Category: Accounts, KeyPath: 'SAM\Domains\Account\Users'},
  {Description: RXACT, HiveType: SAM, Category: Other, KeyPath: 'SAM\RXACT'}]}"""


@pytest.mark.parametrize("key_path, recursive, pattern, covered", [
    (r"SAM\Domains\Account\Users", False, r"SAM\Domains\Account\Users\*", False),
    (r"SAM\Domains\Account", True, r"SAM\Domains\Account\Users\*", True),
    (r"sam\domains\account\users\000001F4", False, r"SAM\Domains\Account\Users\*", True),
    (r"ControlSet002\Services\bam", True, r"CurrentControlSet\Services\bam\State\*", True),
    (r"CurrentControlSet\Services", False, r"ControlSet001\Services", True),
    (r"Software\Microsoft\Office\*\*\File MRU", False, r"Software\Microsoft\Office\*\*\File MRU", True),
    (r"Software\Microsoft\*\*\Recent", False, r"Software\Microsoft\Terminal Server Client\Servers\*", False),
    ("*", False, "Software", False),
    ("*", True, "Software", True),
])
def test_rule_covers_decoder_keys(key_path, recursive, pattern, covered):
    rule = rules.Rule(1, "d", "SAM", "c", key_path, recursive=recursive)
    assert rules.covers(rule, pattern) is covered


def test_batch_artifacts(hives, tmp_path):
    (tmp_path / "r.reb").write_text(RULES)
    plain = run("batch", "-r", tmp_path / "r.reb", hives / "SAM")
    detailed = run("batch", "-r", tmp_path / "r.reb", hives / "SAM", "--artifacts", tmp_path / "out")
    assert (detailed.returncode, os.listdir(tmp_path / "out")) == (0, ["sam_user.csv"])
    rows = list(csv.DictReader(io.StringIO(detailed.stdout.decode())))
    assert [(r["KeyPath"], r["PluginDetailFile"]) for r in rows] == [
        (USERS, str(tmp_path / "out" / "sam_user.csv")), (r"SAM\RXACT", "")]
    # without the option, the detail column stays empty: the rows are otherwise the same
    assert plain.stdout == detailed.stdout.replace(str(tmp_path / "out" / "sam_user.csv").encode(), b"")
    with open(tmp_path / "out" / "sam_user.csv", newline="") as f:
        assert [r["username"] for r in csv.DictReader(f)] == ["alice"]
