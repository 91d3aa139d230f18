"""Shell items: the reader over a table of items built here (each kind and extension block, whole
and cut short), the decoders over synthetic hives, and ShellBags of the shared hives against
regipy's shellbag plugins."""

import datetime
import logging
import struct
import uuid

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES
from hivegen import REG_BINARY, REG_DWORD, REG_SZ, Key, Value
from kelpa_tools import artifacts, hive_types
from kelpa_tools.artifacts import shell_items as si

UTC = datetime.UTC
WHEN = datetime.datetime(2021, 8, 16, 9, 3, 12, tzinfo=UTC)
LATER = datetime.datetime(2021, 8, 17, 10, 0, 40, tzinfo=UTC)


# --- item builders: the bytes that matter, named ---------------------------------------------------

def item(class_type: int, body: bytes) -> bytes:
    return struct.pack("<HB", 3 + len(body), class_type) + body


def guid(text: str) -> bytes:
    return uuid.UUID(text).bytes_le


def dos(when: datetime.datetime) -> bytes:
    return struct.pack("<HH", (when.year - 1980) << 9 | when.month << 5 | when.day,
                       when.hour << 11 | when.minute << 5 | when.second // 2)


def utf16z(text: str) -> bytes:
    return text.encode("utf-16-le") + b"\0\0"


def beef0004(version: int, long_name: str, *, mft=(0, 0), created=WHEN, accessed=LATER) -> bytes:
    """Block 0xbeef0004 without its trailing first-block offset (file_entry adds it)."""
    body = dos(created) + dos(accessed) + struct.pack("<H", 0x2A)
    if version >= 7:
        body += b"\0\0" + struct.pack("<Q", mft[0] | mft[1] << 48) + bytes(8)
    body += b"\0\0" + (bytes(4) if version >= 9 else b"") + (bytes(4) if version >= 8 else b"") + utf16z(long_name)
    return struct.pack("<HHI", 8 + len(body) + 2, version, 0xBEEF0004) + body


def cut(data: bytes, size: int) -> bytes:
    """An item's first `size` bytes, its size field saying so."""
    return struct.pack("<H", size) + data[2:size]


def file_entry(class_type: int, name: str, *, size=0, modified=WHEN, block: bytes | None = None,
               short_name: bytes = b"") -> bytes:
    raw_name = utf16z(name) if class_type & 0x04 else name.encode("cp1252") + b"\0"
    raw_name += b"\0" * (len(raw_name) & 1)
    fixed = b"\0" + struct.pack("<I", size) + dos(modified) + struct.pack("<H", 0x10) + raw_name
    if block is None:
        return item(class_type, fixed + short_name)
    first = 3 + len(fixed)
    return item(class_type, fixed + block + struct.pack("<H", first))


def property_store(*props: tuple[str, int, str]) -> bytes:
    """A serialized property store of string properties (format id, property id, text)."""
    storages = b""
    for fmtid, pid, text in props:
        value = struct.pack("<IB", pid, 0) + struct.pack("<HHI", 0x1F, 0, len(text) + 1) + utf16z(text)
        value = struct.pack("<I", 4 + len(value)) + value
        body = b"1SPS" + guid(fmtid) + value + bytes(4)
        storages += struct.pack("<I", 4 + len(body)) + body
    return storages + bytes(4)


def property_view(class_type: int, signature: int, identifier: bytes, store: bytes) -> bytes:
    data = struct.pack("<IHH", signature, len(store), len(identifier)) + identifier + store + b"\0\0"
    return item(class_type, b"\0" + struct.pack("<H", len(data)) + data)


SUMMARY, SHELL_DETAILS = "b725f130-47ef-101a-a5f1-02608c9eebac", "28636aa6-953d-11d2-b5d6-00c04fd918d0"
DELEGATE = guid("5e591a74-df96-48d3-8d67-1733bcee28ba")
VOLUME_C = item(0x2F, b"C:\\".ljust(20, b"\0") + bytes(2))


def delegate(class_type: int, inner: bytes, folder: str) -> bytes:
    return item(class_type, b"\0" + struct.pack("<H", len(inner)) + inner + DELEGATE + guid(folder))


def zip_xp(name: str) -> bytes:
    """Windows XP's layout: the modification time as text at 24, the name's length at 60."""
    body = bytes(20) + "04/05/17  12:37".encode("utf-16-le").ljust(32, b"\0") + bytes(4)
    body += struct.pack("<II", len(name), 0) + utf16z(name) + b"\0\0"
    return struct.pack("<HH", 4 + len(body), 0x09) + body


def mtp_file(name: str, object_id: str) -> bytes:
    body = bytes(3) + struct.pack("<I", 0x07192006) + bytes(16) + struct.pack("<QQ", hivegen.filetime(LATER),
                                                                              hivegen.filetime(WHEN))
    body += bytes(16) + struct.pack("<IIII", 0, len(name) + 1, len(name) + 1, len(object_id) + 1)
    body += utf16z(name) + utf16z(name) + utf16z(object_id) + bytes(6)
    return struct.pack("<HB", 3 + len(body), 0) + body


def mtp_volume(name: str, device: str) -> bytes:
    body = bytes(3) + struct.pack("<I", 0x10312005) + bytes(28) + struct.pack("<IIII", len(name) + 1,
                                                                             len(device) + 1, 1, 0)
    body += utf16z(name) + utf16z(device) + b"\0\0" + bytes(6)
    return struct.pack("<HB", 3 + len(body), 0) + body


def acronis_tib(*strings: str) -> bytes:
    body = struct.pack("<I", 0xACB16752) + bytes(40)
    for text in strings:
        body += struct.pack("<I", len(text) + 1) + utf16z(text)
    return struct.pack("<H", 2 + len(body)) + body


def zip_10(name: str) -> bytes:
    """Windows 10's layout: the name's length at 84."""
    body = struct.pack("<H", 0x12) + bytes(80) + struct.pack("<II", len(name), 0) + utf16z(name) + bytes(4)
    return struct.pack("<H", 2 + len(body)) + body


DOCS = "d3162b92-9365-467a-956b-92703aca08af"
_VIEW = property_view(0x00, 0x3B93AFBB, bytes(4), property_store((SUMMARY, 10, "wsl$")))
STORE_PAST = _VIEW[:10] + struct.pack("<H", 200) + _VIEW[12:]  # the property store's size at 10
W7 = file_entry(0x31, "PROGRA~1", block=beef0004(8, "Program Files", mft=(66013, 3)))
CASES = [
    # id, item bytes, parent, expected fields (a subset), problem (a start)
    ("root folder", item(0x1F, b"\x50" + guid("20d04fe0-3aea-1069-a2d8-08002b30309d")), None,
     {"type": "root_folder", "name": "My Computer", "guid": "20d04fe0-3aea-1069-a2d8-08002b30309d"}, None),
    ("root folder unknown GUID", item(0x1F, b"\x50" + guid("00000000-0000-0000-0000-0000000000aa")), None,
     {"name": "{00000000-0000-0000-0000-0000000000aa}"}, None),
    ("root folder cut short", item(0x1F, b"\x50" + guid(DOCS)[:9]), None, {"type": "root_folder", "guid": None},
     "root folder item holds 13 bytes"),
    ("drive", VOLUME_C, None, {"type": "volume", "name": "C:\\"}, None),
    ("volume by GUID", item(0x2E, b"\x80" + guid("374de290-123f-4565-9164-39c4925e467b")), None,
     {"type": "volume", "name": "Downloads"}, None),
    ("file entry XP", file_entry(0x31, "DOCUME~1", block=beef0004(3, "Documents and Settings")), None,
     {"type": "directory", "name": "Documents and Settings", "short_name": "DOCUME~1", "created": WHEN,
      "accessed": LATER, "modified": WHEN, "mft_entry": None, "extension_version": 3}, None),
    ("file entry 7", W7, None, {"name": "Program Files", "mft_entry": 66013, "mft_sequence": 3,
                                "extension_version": 8}, None),
    ("file entry 10", file_entry(0x32, "REPORT~1.DOC", size=70000, block=beef0004(9, "report 2021.docx",
                                                                                  mft=(5, 0xFFFF))), None,
     {"type": "file", "name": "report 2021.docx", "file_size": 70000, "mft_entry": 5, "mft_sequence": 0xFFFF}, None),
    ("file entry unicode name", file_entry(0x35, "Ünïcødé"), None, {"type": "directory", "name": "Ünïcødé"},
     None),
    ("file entry XP, blocks 0xbeef0004 and 0xbeef0006", file_entry(0x31, "MYDOCU~1", block=beef0004(
        3, "My Documents") + struct.pack("<HHI", 14, 0, 0xBEEF0006) + utf16z("a") + bytes(2)), None,
     {"name": "My Documents", "created": WHEN}, None),
    ("file entry before XP", file_entry(0x31, "Program Files", short_name=b"PROGRA~1\0"), None,
     {"name": "Program Files", "short_name": "PROGRA~1", "created": None}, None),
    ("file entry block cut short", file_entry(0x31, "PROGRA~1", block=beef0004(8, "Program Files")[:-20]), None,
     {"name": "PROGRA~1", "created": None}, "extension block 0xbeef0004 at offset 24 claims 72 bytes, 52 remain"),
    ("file entry fixed part cut short", item(0x31, bytes(8)), None, {"type": "directory", "file_size": None},
     "file entry item holds 11 bytes"),
    ("network share", item(0xC3, b"\x01\x85\\\\wsl$\\Ubuntu\0Plan 9 Network Provider\0" + bytes(4)), None,
     {"type": "network_location", "name": "\\\\wsl$\\Ubuntu", "description": "Plan 9 Network Provider"}, None),
    ("URI", item(0x61, b"\x80" + b"\0\0" + utf16z("ftp://example.org/pub")), None,
     {"type": "uri", "name": "ftp://example.org/pub"}, None),
    ("URI data cut short", item(0x61, b"\x80" + b"\x40\0" + bytes(10)), None, {"type": "uri", "name": None},
     "URI item's data claims 64 bytes"),
    ("control panel category", item(0x01, b"\0" + struct.pack("<II", 0x39DE2184, 9)), None,
     {"type": "control_panel_category", "name": "User Accounts"}, None),
    ("control panel item", item(0x71, b"\x80" + bytes(10) + guid("60632754-c523-4b62-b45c-4172da012619")), None,
     {"type": "control_panel_item", "name": "User Accounts"}, None),
    ("property view: display name", property_view(0x00, 0x3B93AFBB, bytes(4), property_store(
        (SUMMARY, 10, "wsl$"), (SHELL_DETAILS, 30, "\\\\wsl$"))), None,
     {"type": "users_property_view", "name": "wsl$", "parsing_path": "\\\\wsl$"}, None),
    ("property view: known folder", property_view(0x00, 0x23FEBBEE, guid(DOCS), b""), None,
     {"type": "users_property_view", "name": "Documents", "guid": DOCS}, None),
    ("property view: store size past the item", STORE_PAST, None, {"type": "users_property_view", "name": "wsl$"},
     "users property view's property store claims"),
    ("property view in a root folder item", property_view(0x1F, 0x23FEBBEE, guid(DOCS), b""), None,
     {"type": "users_property_view", "name": "Documents"}, None),
    ("control panel CPL file", item(0x00, b"\0" + struct.pack("<I", 0xFFFFFF38) + bytes(16) + utf16z(
        "C:\\Windows\\system32\\main.cpl") + utf16z("Mouse")), None,
     {"type": "control_panel_cpl", "name": "Mouse", "location": "C:\\Windows\\system32\\main.cpl"}, None),
    ("game folder", item(0x00, b"\0GFSI" + guid("d1a7f7e0-d4e9-49e8-bf2c-ceaa01d2e670") + bytes(8)), None,
     {"type": "game_folder", "guid": "d1a7f7e0-d4e9-49e8-bf2c-ceaa01d2e670"}, None),
    ("Acronis TIB folder", acronis_tib("Users", "", "C:\\Users"), None,
     {"type": "acronis_tib", "name": "Users", "location": "C:\\Users"}, None),
    ("Acronis TIB strings cut short", cut(acronis_tib("Users", "", "C:\\Users"), 70), None,
     {"type": "acronis_tib", "name": "Users", "location": None},
     "Acronis TIB item's string at offset 68 runs past its 70 bytes"),
    ("delegate: search folder", delegate(0x1F, struct.pack("<IHH", 0x23A3DFD5, 0, 0) + b"\0\0",
                                         "04731b67-d933-450a-90e6-4acd2e9408fe"), None,
     {"type": "delegate", "name": "Search Folder", "guid": "04731b67-d933-450a-90e6-4acd2e9408fe"}, None),
    ("delegate: removable drive", delegate(0x1F, struct.pack("<IH", 0xF5A6B710, len(VOLUME_C) - 2) + VOLUME_C[2:],
                                           "f5fb2c77-0e2f-4a16-a381-3e560c68bc83"), None,
     {"type": "delegate", "name": "C:\\"}, None),
    ("delegate: users file", delegate(0x74, b"CFSF" + struct.pack("<H", len(W7) - 2) + W7[2:-2],
                                      "dffacdc5-679f-4156-8947-c5c76bc0b67f"), None,
     {"type": "delegate", "name": "PROGRA~1"}, None),
    ("ZIP content (XP)", zip_xp("Ransomware"), file_entry(0x32, "Ransomware.zip"),
     {"type": "zip_content", "name": "Ransomware"}, None),
    ("ZIP content (10)", zip_10("docs"), file_entry(0x32, "docs.ZIP"), {"type": "zip_content", "name": "docs"}, None),
    ("not ZIP content without a ZIP parent", zip_xp("Ransomware"), None, {"type": "unknown"}, None),
    ("MTP volume", mtp_volume("Internal storage", "SID-{10001,,31}"), None,
     {"type": "mtp_volume", "name": "Internal storage", "location": "SID-{10001,,31}"}, None),
    ("MTP file entry", mtp_file("DCIM", "o1"), None,
     {"type": "mtp_file_entry", "name": "DCIM", "created": WHEN, "modified": LATER, "location": "o1"}, None),
    ("MTP strings cut short", cut(mtp_file("DCIM", "o1"), 80), None, {"type": "mtp_file_entry"},
     "MTP item's strings run past"),
    ("unknown", item(0x76, b"\0\x6f\0\x05\0"), None, {"type": "unknown", "class_type": 0x76, "name": None}, None),
]


@pytest.mark.parametrize("data, parent, expected, problem", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_item_kinds(data, parent, expected, problem):
    """Each item, and the same item cut at every length (its size saying so): still one item, of
    whatever kind its bytes then tell, and nothing raises."""
    parent_item = si.read(parent).items[0] if parent else None
    listed = si.read(data + b"\0\0", parent=parent_item)
    assert listed.problem is None and len(listed.items) == 1
    got = listed.items[0]
    assert {f: getattr(got, f) for f in expected} == expected
    assert got.data == data
    assert got.problem == problem or (problem and got.problem.startswith(problem))
    for size in range(3, len(data)):
        listed = si.read(cut(data, size), parent=parent_item)
        assert listed.problem is None and listed.items[0].data == cut(data, size)


@pytest.mark.parametrize("data, names, problem", [
    (VOLUME_C + W7 + b"\0\0", ["C:\\", "Program Files"], None),
    (VOLUME_C + W7, ["C:\\", "Program Files"], None),  # no terminator: the data's end ends it
    (VOLUME_C + W7[:30], ["C:\\"], "shell item at offset 25 claims 96 bytes, 30 remain"),
    (VOLUME_C + b"\x02\0" + W7, ["C:\\"], "shell item at offset 25 claims 2 bytes, 98 remain"),
    (VOLUME_C + b"\x07", ["C:\\"], "item ID list ends inside an item size at offset 25"),
    (b"", [], None),
])
def test_item_lists(data, names, problem):
    listed = si.read(data)
    assert ([i.name for i in listed.items], listed.problem) == (names, problem)


@pytest.mark.parametrize("items, path", [
    ([item(0x1F, b"\x58" + guid("f02c1a0d-be21-4350-88b0-7367fc96ef3c")),
      property_view(0, 0x3B93AFBB, bytes(4), property_store((SUMMARY, 10, "wsl$"))),
      item(0xC3, b"\x01\x05\\\\wsl$\\Ubuntu\0"), file_entry(0x31, "root")], "\\\\wsl$\\Ubuntu\\root"),
    ([item(0x1F, b"\x50" + guid("20d04fe0-3aea-1069-a2d8-08002b30309d")), item(0x76, b"\0")],
     "My Computer\\<unknown 0x76>"),
])
def test_paths_as_explorer_shows_them(items, path):
    assert si.join_path(si.read(b"".join(items)).items) == path


# --- decoders on synthetic hives ---------------------------------------------------------------------

def mru_ex(*entries: int) -> tuple[int, bytes]:
    return REG_BINARY, b"".join(struct.pack("<I", e) for e in entries) + b"\xff\xff\xff\xff"


def decoded(root: Key, names):
    hive = kelpa.Hive.from_bytes(hivegen.build_tree(root), strict=False)
    decoding = artifacts.decode(hive, names, hive_type="NTUSER")
    rows = [(name, row) for name, row in decoding]
    return rows, [tuple(p) for p in decoding.problems()]


def tree(path: str, leaf: Key, written: int = 0) -> Key:
    """The root key with `leaf` at `path` (its last name is leaf's)."""
    key = leaf
    for name in reversed(path.split("\\")[:-1]):
        key = Key(name, subkeys=[key], last_written=written)
    return Key("ROOT", subkeys=[key])


def day(d: int) -> datetime.datetime:
    return datetime.datetime(2024, 5, d, tzinfo=UTC)


BAGS = r"Software\Microsoft\Windows\ShellNoRoam\BagMRU"


def bag_tree() -> Key:
    """My Computer (slot 0) > C: > Program Files; Users Files (1); an unknown item (2); a list cut
    short (3); a subkey whose value is gone (5) with a folder below it."""
    t1, t2, t3 = (hivegen.filetime(day(d)) for d in (1, 2, 3))
    drive = Key("0", last_written=t2, values=[Value("0", REG_BINARY, W7 + b"\0\0"), Value("MRUListEx", *mru_ex(0))],
                subkeys=[Key("0", last_written=t3)])
    computer = Key("0", last_written=t2, subkeys=[drive], values=[
        Value("0", REG_BINARY, VOLUME_C + b"\0\0"), Value("MRUListEx", *mru_ex(0)),
        Value("NodeSlot", REG_DWORD, hivegen.dword(2))])
    users = Key("1", last_written=t3, values=[Value("NodeSlot", REG_DWORD, hivegen.dword(7))])
    orphan = Key("5", last_written=t3, values=[Value("0", REG_BINARY, W7 + b"\0\0")])
    bag = Key("BagMRU", last_written=t1, subkeys=[computer, users, orphan], values=[
        Value("1", REG_BINARY, item(0x1F, b"\x44" + guid("59031a47-3f72-44a7-89c5-5595fe6b30ee")) + b"\0\0"),
        Value("0", REG_BINARY, item(0x1F, b"\x50" + guid("20d04fe0-3aea-1069-a2d8-08002b30309d")) + b"\0\0"),
        Value("2", REG_BINARY, item(0x77, b"\x01\x02") + b"\0\0"),
        Value("3", REG_BINARY, VOLUME_C[:10]), Value("MRUListEx", *mru_ex(1, 0, 2))])
    return tree(BAGS, bag)


SHELLBAG_FIELDS = ("path", "item_type", "bag_key", "slot", "node_slot", "mru_position", "first_interacted",
                   "last_interacted", "created", "mft_entry", "item_hex")
SHELLBAG_ROWS = [
    ("My Computer", "root_folder", BAGS, 0, 2, 1, None, None, None, None, None),
    ("Users Files", "root_folder", BAGS, 1, 7, 0, day(3), day(1), None, None, None),
    ("<unknown 0x77>", "unknown", BAGS, 2, None, 2, None, None, None, None, "0500770102"),
    (None, None, BAGS, 3, None, None, None, None, None, None, None),
    ("C:\\", "volume", BAGS + "\\0", 0, None, 0, None, day(2), None, None, None),
    ("C:\\Program Files", "directory", BAGS + "\\0\\0", 0, None, 0, day(3), day(2), WHEN, 66013, None),
    ("<slot 5>\\Program Files", "directory", BAGS + "\\5", 0, None, None, None, None, WHEN, 66013, None),
]
SHELLBAG_PROBLEMS = [("shellbag", BAGS, "value 3: shell item at offset 0 claims 25 bytes, 10 remain"),
                     ("shellbag", BAGS, "subkey 5 has no value 5")]


@pytest.mark.parametrize("depth, rows, problems", [
    (256, SHELLBAG_ROWS, SHELLBAG_PROBLEMS),
    (0, SHELLBAG_ROWS[:4], SHELLBAG_PROBLEMS + [
        ("shellbag", BAGS + "\\" + slot, "BagMRU deeper than 0 keys is not read") for slot in "015"]),
])
def test_shellbag_rows_and_problems(monkeypatch, depth, rows, problems):
    """Slot order, MRU positions, interaction times, paths below a drive, unknown items, a list cut
    short, a slot without its item, and the depth limit, in one BagMRU tree."""
    monkeypatch.setattr(artifacts.shell, "MAX_BAG_DEPTH", depth)
    got, met = decoded(bag_tree(), ["shellbag"])
    assert [tuple(r[f] for f in SHELLBAG_FIELDS) for _, r in got] == rows
    assert met == problems


COMDLG = r"Software\Microsoft\Windows\CurrentVersion\Explorer\ComDlg32"
PIDL = item(0x1F, b"\x50" + guid("20d04fe0-3aea-1069-a2d8-08002b30309d")) + VOLUME_C + W7 + b"\0\0"
NOTEPAD = utf16z("notepad.exe")


@pytest.mark.parametrize("keys, name, rows, problems", [
    ({COMDLG + r"\OpenSavePidlMRU\txt": {"0": (REG_BINARY, PIDL), "1": (REG_BINARY, PIDL[:30]),
                                          "MRUListEx": mru_ex(1, 0)}},
     "open_save_mru", [("txt", 0, "1", "My Computer"), ("txt", 1, "0", "C:\\Program Files")],
     [(COMDLG + r"\OpenSavePidlMRU\txt", "value 1: shell item at offset 20 claims 25 bytes, 10 remain")]),
    ({COMDLG + r"\OpenSaveMRU\txt": {"a": (REG_SZ, hivegen.sz("C:\\a.txt")), "b": (REG_SZ, hivegen.sz("C:\\b.txt")),
                                      "MRUList": (REG_SZ, hivegen.sz("ba"))}},
     "open_save_mru", [("txt", 0, "b", "C:\\b.txt"), ("txt", 1, "a", "C:\\a.txt")], []),
    ({COMDLG + r"\LastVisitedPidlMRU": {"0": (REG_BINARY, NOTEPAD + PIDL), "MRUListEx": mru_ex(0)}},
     "last_visited_mru", [(0, "0", "notepad.exe", "C:\\Program Files")], []),
    ({COMDLG + r"\LastVisitedMRU": {"a": (REG_BINARY, NOTEPAD + utf16z("C:\\tmp")),
                                     "MRUList": (REG_SZ, hivegen.sz("a"))}},
     "last_visited_mru", [(0, "a", "notepad.exe", "C:\\tmp")], []),
    ({COMDLG + r"\CIDSizeMRU": {"3": (REG_BINARY, NOTEPAD + bytes(40)), "4": (REG_BINARY, utf16z("x.exe")),
                                 "MRUListEx": mru_ex(3)}},
     "cid_size_mru", [(0, "3", "notepad.exe"), (None, "4", "x.exe")], []),
    ({COMDLG + r"\FirstFolder": {"0": (REG_BINARY, NOTEPAD + utf16z("C:\\Users\\a") + b"\0\0"),
                                  "MRUListEx": mru_ex(0)}},
     "first_folder", [(0, "0", "notepad.exe", "C:\\Users\\a")], []),
])
def test_dialog_mru_lists(keys, name, rows, problems):
    root = Key("ROOT")
    for path, values in keys.items():
        root = tree(path, Key(path.rsplit("\\", 1)[-1], values=[Value(n, *v) for n, v in values.items()]))
    got, met = decoded(root, [name])
    fields = [f.name for f in artifacts.base.registered()[name].fields]
    assert [tuple(r[f] for f in fields) for _, r in got] == rows
    assert [(p[1], p[2]) for p in met] == problems


def test_recent_docs():
    lnk = file_entry(0x32, "REPORT~1.LNK", block=beef0004(9, "report.docx.lnk"))
    recent = r"Software\Microsoft\Windows\CurrentVersion\Explorer\RecentDocs"
    docs = Key(".docx", values=[Value("0", REG_BINARY, utf16z("report.docx") + lnk + b"\0\0"),
                                Value("MRUListEx", *mru_ex(0))])
    top = Key("RecentDocs", subkeys=[docs], values=[Value("0", REG_BINARY, utf16z("report.docx") + lnk[:9]),
                                                     Value("1", REG_BINARY, utf16z("old.txt")),
                                                     Value("MRUListEx", *mru_ex(1, 0))])
    rows, problems = decoded(tree(recent, top), ["recent_docs"])
    assert [(r["extension"], r["order"], r["entry"], r["name"], r["target"]) for _, r in rows] == [
        (None, 0, "1", "old.txt", None), (None, 1, "0", "report.docx", None),
        (".docx", 0, "0", "report.docx", "report.docx.lnk")]
    assert problems == [("recent_docs", recent, "value 0: shell item at offset 24 claims 108 bytes, 9 remain")]


# --- the shared hives against regipy -----------------------------------------------------------------

# Names regipy gives GUIDs that Explorer shows otherwise: f02c1a0d-... is the Network folder,
# 679f85cb-... is shown as "Quick access" (Windows 10) or "Home" (Windows 11), 59031a47-... as the
# user's files folder.
REGIPY_NAMES = {"Computers and Devices": "Network", "Home Folder": "Quick access",
                "Shared Documents Folder (Users Files)": "Users Files"}


def shellbag_hives():
    if not SHARED_HIVES.is_dir():
        return [pytest.param(None, None, marks=pytest.mark.skip(reason=f"no shared hives at {SHARED_HIVES}"))]
    found = []
    for path in sorted(SHARED_HIVES.iterdir()):
        if path.suffix in (".json", ".md") or ".LOG" in path.name:
            continue
        try:
            kind = hive_types.hive_type(kelpa.Hive.from_path(str(path), strict=False), path)
        except ValueError:
            continue
        if kind in ("NTUSER", "USRCLASS"):
            found.append(pytest.param(path, kind, id=path.name))
    return found


@pytest.mark.parametrize("path, kind", shellbag_hives())
def test_shellbags_against_regipy(path, kind):
    """regipy reads only Shell\\BagMRU (not ShellNoRoam), and stops at the first item its shell item
    library cannot read (the Acronis TIB items of one hive), so where it raised only the rows it gave
    are compared; everything it gives must be ours, at the same bag key and slot, with the same name
    and times."""
    pytest.importorskip("pyfwsi")
    pytest.importorskip("pyfwps")
    registry = pytest.importorskip("regipy.registry")
    from regipy.plugins.ntuser.shellbags_ntuser import ShellBagNtuserPlugin
    from regipy.plugins.usrclass.shellbags_usrclass import ShellBagUsrclassPlugin
    logging.getLogger("regipy").setLevel(logging.CRITICAL)
    plugin = (ShellBagNtuserPlugin if kind == "NTUSER" else ShellBagUsrclassPlugin)(
        registry.RegistryHive(str(path)), as_json=False)
    raised = False
    try:
        plugin.run()
    except OSError:
        raised = True
    theirs = {}
    for e in plugin.entries:
        if e["shell_type"] != "Childless":
            theirs[(e["reg_path"].lstrip("\\").lower(), int(e["value_name"]))] = (
                REGIPY_NAMES.get(e["value"], e["value"]), e["creation_time"], e["modification_time"],
                e["access_time"])
    hive = kelpa.Hive.from_path(str(path), strict=False)
    ours = {}
    for _, r in artifacts.decode(hive, ["shellbag"], hive_type=kind):
        if "\\shellnoroam\\" not in r["bag_key"].lower() and not r["bag_key"].lower().startswith("wow6432node"):
            ours[(r["bag_key"].lower(), r["slot"])] = (r["name"], *(t and t.replace(tzinfo=None) for t in (
                r["created"], r["modified"], r["accessed"])))
    if raised:
        assert theirs.items() <= ours.items() and len(ours) > len(theirs)
    else:
        assert ours == theirs
