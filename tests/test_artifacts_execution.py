"""Program execution decoders: every layout as a table of synthetic hives, damaged data of each kind,
and the rows compared with regipy's plugins on the shared hives."""

import codecs
import datetime
import logging
import random
import struct

import pytest

import hivegen
from conftest import SHARED_HIVES, corpus_params
from hivegen import REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD, REG_SZ
from kelpa_tools import artifacts
from test_artifacts import decoded

UTC = datetime.UTC
T1 = datetime.datetime(2021, 3, 4, 5, 6, 7, 123456, tzinfo=UTC)
T2 = datetime.datetime(2009, 8, 4, 15, 11, 22, 811067, tzinfo=UTC)
FT1, FT2 = hivegen.filetime(T1), hivegen.filetime(T2)
NAMES = {d.name: [f.name for f in d.fields] for d in artifacts.decoders()}
RANDOM_4K = random.Random(31).randbytes(4096)


def sz(text):
    return REG_SZ, hivegen.sz(text)


def projected(rows, name, fields):
    return [tuple(r[f] for f in fields) for r in rows.get(name, [])]


def rot13(text):
    return codecs.encode(text, "rot13")


# --- UserAssist ----------------------------------------------------------------------------------

UA = r"Software\Microsoft\Windows\CurrentVersion\Explorer\UserAssist"
WIN7_GUID, XP_GUID = "{CEBFF5CD-ACE2-4F4F-9178-9926F41749EA}", "{75048700-EF1F-11D0-9888-006097DEACF9}"


def ua_win7(runs, focus, focus_ms, last_run):
    return struct.pack("<IIII", 0, runs, focus, focus_ms) + b"\x00\x00\x80\xbf" * 10 + \
        struct.pack("<iQI", -1, last_run, 0)


@pytest.mark.parametrize("guid, values, rows, problems", [
    (WIN7_GUID, {"{0139D44E-6AFE-49F2-8690-3DAFCAE6FFB8}\\Accessories\\Paint.lnk": ua_win7(9, 4, 6000, FT1),
                 "{1ac14e77-02e7-4e5d-b744-2eb1ae5198b7}\\cmd.exe": ua_win7(1, 0, 0, 0),
                 "{00000000-0000-0000-0000-000000000000}\\x.exe": ua_win7(2, 1, 5, FT2),
                 "UEME_CTLSESSION": bytes(1612)},
     [("{0139D44E-6AFE-49F2-8690-3DAFCAE6FFB8}\\Accessories\\Paint.lnk",
       "%ProgramData%\\Microsoft\\Windows\\Start Menu\\Programs\\Accessories\\Paint.lnk", 9, 4, 6000, T1, "win7"),
      ("{1ac14e77-02e7-4e5d-b744-2eb1ae5198b7}\\cmd.exe", "%windir%\\System32\\cmd.exe", 1, 0, 0, None, "win7"),
      ("{00000000-0000-0000-0000-000000000000}\\x.exe", "{00000000-0000-0000-0000-000000000000}\\x.exe",
       2, 1, 5, T2, "win7")], []),
    # XP's stored count starts at 5: 7 is two runs, and below 5 is no count at all.
    (XP_GUID, {"UEME_RUNPATH:C:\\Tools\\nc.exe": struct.pack("<IIQ", 3, 7, FT2),
               "UEME_CTLCUACount:ctor": struct.pack("<IIQ", 1, 2, 0),
               "UEME_RUNPIDL": b"\x01\x02\x03"},
     [("UEME_RUNPATH:C:\\Tools\\nc.exe", "UEME_RUNPATH:C:\\Tools\\nc.exe", 2, None, None, T2, "xp"),
      ("UEME_CTLCUACount:ctor", "UEME_CTLCUACount:ctor", None, None, None, None, "xp")],
     [f"{UA}\\{XP_GUID}\\Count: UserAssist value 'UEME_RUNPIDL' holds 3 bytes, not the 16 or 72 of an entry"]),
])
def test_userassist(guid, values, rows, problems):
    got, met = decoded({f"{UA}\\{guid}\\Count": {rot13(n): (REG_BINARY, d) for n, d in values.items()}},
                       ["userassist"], "NTUSER")
    assert projected(got, "userassist", ["name", "resolved", "run_count", "focus_count", "focus_time_ms",
                                         "last_run", "layout"]) == rows
    assert {r["guid"] for r in got.get("userassist", [])} <= {guid}
    assert [f"{p.key_path}: {p.message}" for p in met] == problems


# --- AppCompatCache ------------------------------------------------------------------------------
# Each layout built here from its own struct, entries (path, last modified FILETIME, insertion flags).

ENTRIES = [("C:\\Windows\\System32\\cmd.exe", FT1, 2), ("\\??\\C:\\Tools\\psexec.exe", FT2, 0),
           ("SYSVOL\\Temp\\x.exe", 0, 0x42)]


# 2003, Vista and 7 keep an array of fixed entries, then the paths they point at: signature,
# header size, entry struct, and the fields after the path's size, maximum size and offset.
ARRAYS = {
    "2003_32": (0xBADC0FFE, 8, "<HHIQQ", lambda t, f: (t, 4096 + f)),
    "2003_64": (0xBADC0FFE, 8, "<HH4xQQQ", lambda t, f: (t, 4096 + f)),
    "vista_32": (0xBADC0FFE, 8, "<HHIQII", lambda t, f: (t, f & 3, 0)),
    "vista_64": (0xBADC0FFE, 8, "<HH4xQQII", lambda t, f: (t, f & 3, 0)),
    "7_32": (0xBADC0FEE, 128, "<HHIQIIII", lambda t, f: (t, f, 0, 0, 0)),
    "7_64": (0xBADC0FEE, 128, "<HH4xQQIIQQ", lambda t, f: (t, f, 0, 0, 0)),
}
TAGGED = {"8.0": 128, "8.1": 128, "10": 0x30, "10_creators": 0x34}  # header sizes
EXECUTED = {"vista_32", "vista_64", "7_32", "7_64", "8.0", "8.1"}  # the layouts that keep the flag


def shim(layout, entries, lru=None):
    """An AppCompatCache value of `layout` holding `entries`."""
    strings = [p.encode("utf-16-le") for p, _, _ in entries]
    if layout == "xp_32":
        lru = list(range(len(entries))) if lru is None else lru
        head = struct.pack(f"<IIII{len(lru)}I", 0xDEADBEEF, len(entries), len(lru), 0, *lru).ljust(400, b"\0")
        return head + b"".join(s.ljust(528, b"\0") + struct.pack("<QQQ", t, 1000 + i, FT2)
                               for i, (s, (_, t, _)) in enumerate(zip(strings, entries)))
    if layout in ARRAYS:
        signature, header, fmt, tail = ARRAYS[layout]
        entry, out = struct.Struct(fmt), []
        at = header + len(entries) * entry.size
        for s, (_, t, f) in zip(strings, entries):
            out.append(entry.pack(len(s), len(s) + 2, at, *tail(t, f)))
            at += len(s) + 2
        head = struct.pack("<II", signature, len(entries)).ljust(header, b"\0")
        return head + b"".join(out) + b"".join(s + b"\0\0" for s in strings)
    out = []
    for s, (_, t, flags) in zip(strings, entries):
        body = struct.pack("<H", len(s)) + s
        body += struct.pack("<H", 4) + "pk".encode("utf-16-le") if layout == "8.1" else b""  # a package name
        body += struct.pack("<IIQI", flags, 0, t, 2) + b"\xaa\xbb" if layout in ("8.0", "8.1") else \
            struct.pack("<QI", t, 3) + b"dat"
        out.append(struct.pack("<4sII", b"00ts" if layout == "8.0" else b"10ts", 0x1234, len(body)) + body)
    header = TAGGED[layout]
    return struct.pack("<I", 0x80 if header == 128 else header).ljust(header, b"\0") + b"".join(out)


SESSION = r"ControlSet001\Control\Session Manager"
SHIM_FIELDS = ["position", "path", "last_modified", "executed", "layout"]


def shim_decoded(data, key="AppCompatCache"):
    got, met = decoded({f"{SESSION}\\{key}": {"AppCompatCache": (REG_BINARY, data)}}, ["appcompatcache"], "SYSTEM")
    return projected(got, "appcompatcache", SHIM_FIELDS), [(p.key_path, p.message) for p in met]


@pytest.mark.parametrize("layout", ["xp_32", *ARRAYS, *TAGGED])
def test_appcompatcache_layouts(layout):
    data = shim(layout, ENTRIES)
    t = {FT1: T1, FT2: T2, 0: None}
    full = [(i, p, t[ft], bool(f & 2) if layout in EXECUTED else None, layout) for i, (p, ft, f) in enumerate(ENTRIES)]
    # XP keeps the cache under AppCompatibility; every other layout under AppCompatCache.
    assert shim_decoded(data, "AppCompatibility" if layout == "xp_32" else "AppCompatCache") == (full, [])
    # Cut anywhere: the rows are a leading part of the full rows, and fewer rows come with a problem
    # (except where the tagged layouts, which count no entries, are cut between two).
    for cut in range(0, len(data), 7):
        rows, problems = shim_decoded(data[:cut])
        assert rows == full[: len(rows)]
        assert problems or len(rows) == len(full) or layout in TAGGED
    assert shim_decoded(shim(layout, [])) == ([], [])


def test_appcompatcache_extras():
    got, _ = decoded({f"{SESSION}\\AppCompatibility": {"AppCompatCache": (REG_BINARY, shim("xp_32", ENTRIES, [2, 0]))},
                      rf"ControlSet002\Control\Session Manager\AppCompatCache": {
                          "AppCompatCache": (REG_BINARY, shim("2003_64", ENTRIES[:1]))}}, ["appcompatcache"], "SYSTEM")
    rows = got["appcompatcache"]
    # XP lists its entries most recent first in the LRU array; those it leaves out follow.
    assert [(r["control_set"], r["position"], r["path"]) for r in rows] == [
        ("ControlSet001", 0, ENTRIES[2][0]), ("ControlSet001", 1, ENTRIES[0][0]), ("ControlSet001", 2, ENTRIES[1][0]),
        ("ControlSet002", 0, ENTRIES[0][0])]
    assert [(r["file_size"], r["last_updated"]) for r in rows] == [(1002, T2), (1000, T2), (1001, T2), (4098, None)]


AC = f"{SESSION}\\AppCompatCache"


def retagged(data, index):
    """`data` with the signature of its entry `index` spoiled."""
    at = -1
    for _ in range(index + 1):
        at = data.index(b"10ts", at + 1)
    return data[:at] + b"10tx" + data[at + 4 :]


@pytest.mark.parametrize("data, rows, problems", [
    (b"\xee\x0f", 0, "AppCompatCache: the data holds 2 bytes, too few for a header"),
    (bytes(4096), 0, "AppCompatCache: unknown signature 0x00000000"),
    (RANDOM_4K, 0, f"AppCompatCache: unknown signature 0x{RANDOM_4K[3]:02x}{RANDOM_4K[2]:02x}"
                   f"{RANDOM_4K[1]:02x}{RANDOM_4K[0]:02x}"),
    (struct.pack("<II", 0xBADC0FEE, 1 << 31) + bytes(120), 0,
     "AppCompatCache: entry 0 of 2147483648 runs past the data (128 bytes)"),
    (shim("7_64", ENTRIES)[:128 + 2 * 48], 0, "AppCompatCache: the path of entry 0 runs past the data (224 bytes)"),
    # A count past the entries: the array would cover the paths.
    (struct.pack("<II", 0xBADC0FFE, 4) + shim("vista_32", ENTRIES)[8:], 0,
     "AppCompatCache: the path of entry 0 lies inside the header or the entry array"),
    (shim("10", ENTRIES)[:-1], 2, "AppCompatCache: entry 2 runs past the data (268 bytes)"),
    (retagged(shim("10", ENTRIES), 2), 2, "AppCompatCache: entry 2 has the signature b'10tx', not b'10ts'"),
    (shim("8.1", []) + struct.pack("<4sII", b"10ts", 0, 1000) + bytes(10), 0,
     "AppCompatCache: entry 0 runs past the data (150 bytes)"),
    (shim("8.0", []) + struct.pack("<4sIIH", b"00ts", 0, 4, 40) + b"ab", 0,
     "AppCompatCache: entry 0: its fields run past its size (4 bytes)"),
    (shim("xp_32", ENTRIES)[:1000], 1, "AppCompatCache: entry 1 runs past the data (1000 bytes)"),
])
def test_appcompatcache_damaged(data, rows, problems):
    got, met = shim_decoded(data)
    assert (len(got), met) == (rows, [(AC, problems)])


# --- BAM -----------------------------------------------------------------------------------------

SID = "S-1-5-21-1-2-3-1001"
BAM_VALUE = struct.pack("<QQII", FT1, 0, 0, 2)


@pytest.mark.parametrize("keys, rows, problems", [
    ({rf"ControlSet001\Services\bam\UserSettings\{SID}": {
        "Version": (REG_DWORD, hivegen.dword(1)), "SequenceNumber": (REG_DWORD, hivegen.dword(9)),
        "\\Device\\HarddiskVolume2\\Windows\\System32\\cmd.exe": (REG_BINARY, BAM_VALUE)},
      rf"ControlSet002\Services\bam\State\UserSettings\{SID}": {
        "Microsoft.Windows.Photos_8wekyb3d8bbwe": (REG_BINARY, struct.pack("<QQII", 0, 0, 1, 2))},
      rf"ControlSet002\Services\dam\State\UserSettings\S-1-5-18": {
        "\\Device\\HarddiskVolume2\\x.exe": (REG_BINARY, BAM_VALUE[:8])}},
     [("ControlSet001", "bam", SID, "\\Device\\HarddiskVolume2\\Windows\\System32\\cmd.exe", T1),
      ("ControlSet002", "bam", SID, "Microsoft.Windows.Photos_8wekyb3d8bbwe", None),
      ("ControlSet002", "dam", "S-1-5-18", "\\Device\\HarddiskVolume2\\x.exe", T1)], []),
    ({rf"ControlSet001\Services\bam\State\UserSettings\{SID}": {"a.exe": (REG_BINARY, b"\x01\x02\x03"),
                                                                "b.exe": (REG_BINARY, RANDOM_4K)}},
     [], [f"ControlSet001\\Services\\bam\\State\\UserSettings\\{SID}: BAM value 'a.exe' holds 3 bytes, not an "
          "entry's 24", f"ControlSet001\\Services\\bam\\State\\UserSettings\\{SID}: BAM value 'b.exe' holds "
          "4096 bytes, not an entry's 24"]),
])
def test_bam(keys, rows, problems):
    got, met = decoded({"Select": {}, **keys}, ["bam"], "SYSTEM")
    assert projected(got, "bam", NAMES["bam"]) == rows
    assert [f"{p.key_path}: {p.message}" for p in met] == problems


# --- Amcache -------------------------------------------------------------------------------------

SHA1 = "a94a8fe5ccb19ba61c4c0873d391e987982fbbd3"
IAF = r"Root\InventoryApplicationFile\0000abcd"
OLD_FILE = r"Root\File\ccbe4c57-0000-0000-0000-100000000000\100000169dd"


NO_TIMES = (None, None, None)


@pytest.mark.parametrize("name, keys, rows", [
    ("amcache_file", {IAF: {"ProgramId": sz("0000ef10"), "FileId": sz("0000" + SHA1.upper()), "Name": sz("nc.exe"),
                            "LowerCaseLongPath": sz("c:\\tools\\nc.exe"), "Size": (REG_QWORD, hivegen.qword(59392)),
                            "LinkDate": sz("03/04/2021 05:06:07"), "Version": sz("1.12"), "ProductName": sz("netcat"),
                            "Publisher": sz(""), "BinaryType": sz("pe32_i386")}},
     [("c:\\tools\\nc.exe", "nc.exe", SHA1, 59392, T1.replace(microsecond=0), "1.12", "netcat", "", "0000ef10",
       "pe32_i386", "InventoryApplicationFile", *NO_TIMES)]),
    # Early Windows 10: the size as hex text, no Name; a FileId that is no SHA-1 and a LinkDate that is no date.
    ("amcache_file", {IAF: {"LowerCaseLongPath": sz("c:\\a\\b.dll"), "Size": sz("0x7fac0"), "FileId": sz("0000xyz"),
                            "LinkDate": sz("13/45/2021 99:00:00")}},
     [("c:\\a\\b.dll", "b.dll", None, 0x7FAC0, *[None] * 6, "InventoryApplicationFile", *NO_TIMES)]),
    ("amcache_file", {OLD_FILE: {"15": sz("c:\\users\\u\\setup64.exe"), "101": sz("0000" + SHA1),
                                 "6": (REG_DWORD, hivegen.dword(57353160)), "f": (REG_DWORD, hivegen.dword(1489761316)),
                                 "0": sz("VMware Tools"), "1": sz("VMware, Inc."), "5": sz("10.1.6"),
                                 "100": sz("000675a0"), "11": (REG_QWORD, hivegen.qword(FT1)),
                                 "12": (REG_QWORD, hivegen.qword(FT2)), "17": (REG_QWORD, hivegen.qword(FT2))}},
     [("c:\\users\\u\\setup64.exe", "setup64.exe", SHA1, 57353160,
       datetime.datetime(2017, 3, 17, 14, 35, 16, tzinfo=UTC),
       "10.1.6", "VMware Tools", "VMware, Inc.", "000675a0", None, "File", T1, T2, T2)]),
    # Garbage of the wrong types is no field.
    ("amcache_file", {OLD_FILE: {"15": (REG_BINARY, RANDOM_4K), "101": (REG_BINARY, RANDOM_4K[:90]), "6": sz("x"),
                                 "11": (REG_BINARY, RANDOM_4K[:8])}},
     [(*[None] * 10, "File", *NO_TIMES)]),
    ("amcache_program", {r"Root\InventoryApplication\0000e2ce": {
        "ProgramId": sz("0000e2ce"), "Name": sz("VMware Tools"), "Version": sz("11.0.6"), "Publisher": sz("VMware"),
        "InstallDate": sz("07/16/2016 22:55:48"), "Source": sz("Msi"), "RootDirPath": sz("C:\\VMware\\"),
        "UninstallString": sz("MsiExec.exe /X{D533}")}},
     [("0000e2ce", "VMware Tools", "11.0.6", "VMware", datetime.datetime(2016, 7, 16, 22, 55, 48, tzinfo=UTC),
       "C:\\VMware\\", "MsiExec.exe /X{D533}", "InventoryApplication", "Msi", None)]),
    # The older layout: the install date in the low half of a QWORD, the folders and uninstall key as lists.
    ("amcache_program", {r"Root\Programs\0000a636": {
        "0": sz("Visual C++"), "1": sz("14.20"), "2": sz("Microsoft"), "6": sz("AddRemoveProgram"),
        "a": (REG_QWORD, bytes.fromhex("aa36655f 01000000")), "7": (REG_MULTI_SZ, hivegen.multi_sz(["HKLM\\U\\{X}"])),
        "d": (REG_MULTI_SZ, hivegen.multi_sz(["c:\\programdata\\cache", "c:\\other"]))}},
     [("0000a636", "Visual C++", "14.20", "Microsoft", datetime.datetime(2020, 9, 18, 22, 37, 30, tzinfo=UTC),
       "c:\\programdata\\cache", None, "Programs", "AddRemoveProgram", "HKLM\\U\\{X}")]),
])
def test_amcache(name, keys, rows):
    got, met = decoded(keys, [name], "AMCACHE")
    assert (projected(got, name, NAMES[name]), met) == (rows, [])


# --- RunMRU --------------------------------------------------------------------------------------

RUN_MRU = r"Software\Microsoft\Windows\CurrentVersion\Explorer\RunMRU"


@pytest.mark.parametrize("values, rows", [
    ({"a": "cmd\\1", "MRUList": "cab", "b": "\\\\10.1.1.1\\c$\\1", "c": "regedit\\1"},
     [(0, "c", "regedit"), (1, "a", "cmd"), (2, "b", "\\\\10.1.1.1\\c$")]),
    # A letter MRUList names without a value is skipped; a value it does not name has no order; only
    # the last "\1" goes.
    ({"MRUList": "dba", "a": "x\\1\\1", "b": "notepad", "e": "calc\\1"},
     [(1, "b", "notepad"), (2, "a", "x\\1"), (None, "e", "calc")]),
])
def test_run_mru(values, rows):
    got, met = decoded({RUN_MRU: {n: (REG_SZ, hivegen.sz(v)) for n, v in values.items()}}, ["run_mru"], "NTUSER")
    assert projected(got, "run_mru", NAMES["run_mru"]) == rows
    assert met == []


# --- Damaged value data of every kind each decoder reads -----------------------------------------

@pytest.mark.parametrize("kind", ["truncated", "zeroed", "wrong_length", "random", "empty"])
@pytest.mark.parametrize("path, value, good, hive_type, field", [
    (f"{UA}\\{WIN7_GUID}\\Count", rot13("C:\\x.exe"), ua_win7(1, 1, 1, FT1), "NTUSER", None),
    (f"{SESSION}\\AppCompatCache", "AppCompatCache", shim("10_creators", ENTRIES), "SYSTEM", None),
    (f"{SESSION}\\AppCompatCache", "AppCompatCache", shim("7_32", ENTRIES), "SYSTEM", None),
    (f"{SESSION}\\AppCompatibility", "AppCompatCache", shim("xp_32", ENTRIES), "SYSTEM", None),
    (rf"ControlSet001\Services\bam\State\UserSettings\{SID}", "c:\\x.exe", BAM_VALUE, "SYSTEM", None),
    (RUN_MRU, "MRUList", hivegen.sz("a"), "NTUSER", None),
    (IAF, "FileId", hivegen.sz("0000" + SHA1), "AMCACHE", "sha1"),
    (OLD_FILE, "11", hivegen.qword(FT1), "AMCACHE", "last_modified"),
    (r"Root\Programs\0000a636", "a", hivegen.qword(1600468650), "AMCACHE", "install_date"),
])
def test_damaged_data(kind, path, value, good, hive_type, field):
    """Damaged data gives no exception and no row made up from it: a random blob gives no row, or
    (where the key itself is the row) no value in the field it was read for."""
    names = ["userassist", "appcompatcache", "bam", "amcache_file", "amcache_program", "run_mru"]
    bad = {"truncated": good[: len(good) // 2], "zeroed": bytes(len(good)), "wrong_length": good + b"\x01",
           "random": RANDOM_4K, "empty": b""}[kind]
    for type_id in (REG_BINARY, REG_SZ):
        got, met = decoded({path: {value: (type_id, bad)}}, names, hive_type)
        # Only the decoders' own problems: an exception would show as its class name and message.
        assert all(p.message.startswith(("UserAssist value", "AppCompatCache: ", "BAM value")) for p in met), met
        assert sum(map(len, got.values())) <= 3  # never more rows than the good data has
        if kind == "random":
            assert [r[field] for rows in got.values() for r in rows] == ([None] if field else [])


# --- regipy on the shared hives ------------------------------------------------------------------

def _regipy_entries(hive, plugin_name):
    from regipy.plugins.utils import PLUGINS
    plugin = next(p for p in PLUGINS if p.NAME == plugin_name)(hive, as_json=False)
    logging.disable(logging.CRITICAL)
    try:
        plugin.run()
    finally:
        logging.disable(logging.NOTSET)
    return plugin.entries


def _close(ours, theirs):
    """regipy turns a FILETIME into a datetime through a float, which may round up where the
    FILETIME's last digit (below a microsecond) is 5 or more; and a zero FILETIME into 1601-01-01."""
    if theirs is not None and theirs.year == 1601:
        theirs = None
    if ours is None or theirs is None:
        return ours == theirs
    return abs(ours - theirs) <= datetime.timedelta(microseconds=1)


def _compare_userassist(rows, entries):
    from regipy.plugins.ntuser.user_assist import GUID_TO_PATH_MAPPINGS

    def ours(r):
        name = r["name"]
        for guid, folder in GUID_TO_PATH_MAPPINGS.items():
            if guid in name:
                name = name.replace(guid, folder)
                break
        return name, "no count" if r["run_count"] is None else r["run_count"], r["focus_count"], r["focus_time_ms"]

    def theirs(e):
        # regipy subtracts XP's 5 from any stored count: below 5 it goes negative, where we give none.
        count = "no count" if e["run_counter"] < 0 else e["run_counter"]
        return e["name"], count, e.get("focus_count"), e.get("total_focus_time_ms")

    # regipy names some UserAssist GUIDs twice, so every entry of those keys comes twice: compare sets.
    mine, its = {ours(r): r["last_run"] for r in rows}, {theirs(e): e["timestamp"] for e in entries}
    assert mine.keys() == its.keys()
    assert all(_close(mine[k], its[k]) for k in mine)


def _compare_shimcache(rows, entries):
    # regipy leaves out entries without a last-modified time (packaged apps on Windows 10).
    kept = [r for r in rows if r["last_modified"] is not None or r["layout"] not in ("10", "10_creators")]
    # regipy names an empty path "None".
    assert [r["path"] or "None" for r in kept] == [e["path"] for e in entries]
    assert all(_close(r["last_modified"], e["last_mod_date"]) for r, e in zip(kept, entries))
    assert [None if r["executed"] is None else str(r["executed"]) for r in kept] == [e.get("exec_flag")
                                                                                     for e in entries]


def _compare_bam(rows, entries):
    assert sorted((r["sid"], r["path"]) for r in rows) == sorted((e["sid"], e["executable"]) for e in entries)
    times = {(e["sid"], e["executable"], e["key_path"].lstrip("\\").lower()): e["timestamp"] for e in entries}
    assert all(_close(r["last_run"], times[(r["sid"], r["path"], r["key_path"].lower())]) for r in rows)


def _compare_run_mru(rows, entries):
    # regipy strips a trailing "\x01", where Windows stores the two characters "\1": its commands keep them.
    theirs = [(c["letter"], c["command"]) for e in entries for c in e["commands"]]
    assert [(r["entry"], r["command"] + "\\1") for r in rows if r["order"] is not None] == theirs


def _compare_amcache(rows, entries):
    # regipy takes 4 characters off every program id (ours are as stored, so files and programs join),
    # and leaves out values that are 0.
    theirs = sorted(((e.get("full_path") or e.get("lower_case_long_path"), e.get("sha1") or None,
                      e.get("program_id"), e.get("size") or e.get("file_size")) for e in entries), key=str)
    ours = sorted(((r["path"], r["sha1"], r["program_id"] and r["program_id"][4:], r["size"] or None)
                   for r in rows), key=str)
    assert ours == theirs


COMPARED = {"NTUSER": [("userassist", "user_assist", _compare_userassist), ("run_mru", "runmru", _compare_run_mru)],
            "SYSTEM": [("appcompatcache", "shimcache", _compare_shimcache),
                       ("bam", "background_activity_moderator", _compare_bam)],
            "AMCACHE": [("amcache_file", "amcache", _compare_amcache)]}


def _shared_hive(record):
    name = record["file"].lower()
    return ".log" not in name and any(kind in name for kind in ("ntuser", "system", "amcache"))


@pytest.mark.parametrize("record", corpus_params(keep=_shared_hive))
def test_against_regipy(record):
    pytest.importorskip("regipy")
    import kelpa
    from kelpa_tools import hive_types
    path = SHARED_HIVES / record["file"]
    try:
        hive = kelpa.Hive.from_path(str(path), strict=False)
        hive_type = hive_types.hive_type(hive, str(path))
    except ValueError:
        pytest.skip("not a hive kelpa opens")
    if hive_type not in COMPARED:
        pytest.skip(f"a {hive_type} hive")
    decoding = artifacts.decode(hive, [name for name, _, _ in COMPARED[hive_type]], path=str(path))
    rows = {}
    for name, row in decoding:
        rows.setdefault(name, []).append(row)
    assert decoding.problems() == []
    from regipy.registry import RegistryHive
    theirs = RegistryHive(str(path))
    for name, plugin, compare in COMPARED[hive_type]:
        try:
            entries = _regipy_entries(theirs, plugin)
        except Exception as e:  # noqa: BLE001 - regipy stops where a key it expects is missing
            assert rows.get(name, []) == [], f"regipy failed ({e}) where we found rows"
            continue
        compare(rows.get(name, []), entries or [])
