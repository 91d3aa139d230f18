"""Values: what RegistryKey.values() lists and what value(name) finds; value data, raw (inline, one cell, big
data: read by name it raises where values() lists empty data), parsed by type, ValueData and ValueType; and the
bound on what one call may read out of a hive, four times the image length: a hostile hive that lists one record
again and again gets an error (or, for listed values, empty data), quickly and in memory proportional to the file."""

import struct
import subprocess
import sys
import time

import pytest

import hivegen
from conftest import error, open_hive, outcome, under_sanitizer, write_hive
from hivegen import (
    REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_EXPAND_SZ, REG_LINK, REG_MULTI_SZ, REG_NONE, REG_QWORD, REG_SZ,
    VALUE_COMP_NAME, db_record, dword, multi_sz, qword, sz,
)

BAD = 0x7FFFFFF0  # a cell offset far past the end of every hive written here


def pattern(n: int, seed: int = 0) -> bytes:
    """n bytes in which a dropped, doubled or shifted byte shows."""
    return bytes((i * 7 + i // 251 + seed) & 0xFF for i in range(n))


def root_of(tmp_path, b, **fields):
    data = b.build(root=b.nk("ROOT", root=True, **fields))
    return open_hive(tmp_path, data).root_key(), len(data)


def root_with_values(tmp_path, build, *, minor=5, value_count=None):
    """``build(builder)`` returns value key offsets (written as a list; their number is the count unless given) or
    a list offset, or (either, extra); writes them under a root key. Returns (root key, image length, extra)."""
    b = hivegen.HiveBuilder(minor=minor)
    vks, extra = built if isinstance(built := build(b), tuple) else (built, built)
    root, size = root_of(tmp_path, b, value_count=len(vks) if value_count is None else value_count,
                         value_list=b.value_list(vks) if isinstance(vks, list) else vks)
    return root, size, extra


def summary(values):
    return [(v.name(), v.value_type().type_id(), v.raw_data()) for v in values]


@pytest.mark.parametrize("value_count, entries, expected", [
    (0, BAD, []),  # the count is tested first: the offset is never followed
    (3, 0xFFFFFFFF, []),
    (3, 0, []),  # 0 would be the first bin header if it were read
    (3, ["Second", "First", "Second"], ["Second", "First", "Second"]),  # a 12-byte list holds exactly 3
    (1, ["First", BAD], ["First"]),  # entries past the count are never read
    (4, ["First"] * 3, "Truncated data at offset {list:#x}: expected 16 bytes, got 12 bytes"),
    # 4 x count in 64 bits: in 32 bits it would wrap to 4 and pass
    (0x40000001, ["First"] * 3, "Truncated data at offset {list:#x}: expected 4294967300 bytes, got 12 bytes"),
    (1, BAD, "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (1, 0xFFFFF000, "Invalid offset 0xfffff000 (hive size: {size:#x})"),
])
def test_value_list(tmp_path, value_count, entries, expected):
    def build(b):
        named = {"First": b.vk("First", REG_DWORD, dword(1)), "Second": b.vk("Second", REG_DWORD, dword(2))}
        return b.value_list([named.get(e, e) for e in entries]) if isinstance(entries, list) else entries
    key, size, value_list = root_with_values(tmp_path, build, value_count=value_count)
    if isinstance(expected, list):
        assert summary(key.values()) == [(n, REG_DWORD, dword(1 if n == "First" else 2)) for n in expected]
        assert outcome(lambda: key.value("x")) == error("Not found: Value 'x'")
        return
    for call in (key.values, lambda: key.value("First")):
        assert outcome(call) == error(expected.format(list=value_list, size=size))


@pytest.mark.parametrize("make, message", [
    # the length is checked before the signature
    (lambda b: b.alloc(hivegen.vk_record("", 4, data_size=0, data_offset=0, signature=b"nk")[:12]),
     "Truncated data at offset {off:#x}: expected 20 bytes, got 12 bytes"),
    (lambda b: b.alloc(b"", size=-4), "Truncated data at offset {off:#x}: expected 20 bytes, got 0 bytes"),
    (lambda b: b.alloc(b"", size=2), "Invalid cell size 2 at offset {off:#x}"),
    (lambda b: b.vk("A", REG_DWORD, dword(1), signature=b"nk"), "Invalid format: Expected 'vk' signature at offset {off:#x}"),
    # exactly 20 bytes of payload: a one-byte name runs past it; a huge one is not cut to 16 bits
    (lambda b: b.vk(b"", REG_DWORD, dword(1), name_length=1), "Truncated data at offset {off:#x}: expected 21 bytes, got 20 bytes"),
    (lambda b: b.vk(b"", REG_DWORD, dword(1), name_length=0xFFFF),
     "Truncated data at offset {off:#x}: expected 65555 bytes, got 20 bytes"),
    (lambda b: b.vk(b"A\x00B", REG_DWORD, dword(1), flags=0), "Invalid UTF-16 string at offset {off:#x}"),
])
def test_value_key_errors(tmp_path, make, message):
    key, _, bad = root_with_values(tmp_path, lambda b: ([b.vk("Good", REG_DWORD, dword(1)), bad := make(b)], bad))
    for call in (key.values, lambda: key.value("Good"), key.values):  # the whole call fails, and again
        assert outcome(lambda: call()) == error(message.format(off=bad))


@pytest.mark.parametrize("stored, flags, name_length, name", [
    (b"", 0, None, "(default)"),
    (b"ab", VALUE_COMP_NAME, 0, "(default)"),  # length 0 wins over bytes and flags
    (b"(default)", VALUE_COMP_NAME, None, "(default)"),  # a name, not the unnamed value
    (b"\x00\x00\x00\x00", 0, None, ""),  # empty, not "(default)"
    ("Größe".encode("utf-16-le"), 0, None, "Größe"),
    (b"Ab", 0xFFFF, None, "Ab"),  # only bit 0 chooses the form
    ("Ab".encode("utf-16-le"), 0xFFFE, None, "Ab"),
    (b"C\xe9\x00b\x00\x00", VALUE_COMP_NAME, None, "C\xe9\x00b"),  # trailing NULs dropped, inner ones kept
    (b"it's", VALUE_COMP_NAME, None, "it's"),  # the repr does not escape quotes
])
def test_value_names(tmp_path, stored, flags, name_length, name):
    key, _, _ = root_with_values(tmp_path, lambda b: [b.vk(stored, REG_DWORD, dword(1), flags=flags,
                                                           name_length=name_length)])
    unnamed = name_length == 0 or stored == b""
    assert [(v.name(), repr(v), v.is_unnamed()) for v in key.values()] == [(name, f"RegistryValue(name='{name}')", unnamed)]
    assert key.value(name).is_unnamed() is unnamed


LOOKUP_VALUES = [("Path", 1), ("", 2), ("path", 3), ("Ärger", 4), ("a[", 5), ("@x", 6), ("Größe", 7), ("Zz", 8)]


@pytest.fixture(scope="module")
def lookup_key(tmp_path_factory):
    key, _, _ = root_with_values(tmp_path_factory.mktemp("lookup"), lambda b: [
        b.vk(name, REG_DWORD, dword(data)) for name, data in LOOKUP_VALUES])
    return key


@pytest.mark.parametrize("query, name, data", [
    # the stored name comes back, not the argument; the first match wins over a later exact one
    ("PATH", "Path", 1), ("path", "Path", 1), ("(DEFAULT)", "(default)", 2), ("A[", "a[", 5), ("zZ", "Zz", 8),
    ("ÄRGER", "Ärger", 4), ("GRößE", "Größe", 7),  # the ASCII letters fold, the Ä matches as it is
    # not found: U+00E4 against U+00C4 (non-ASCII letters do not fold); 0x7B is 0x5B | 0x20 and 0x60 is 0x40 | 0x20,
    # but neither pair is a letter
    *[(query, None, None) for query in ("ärger", "a{", "`x", "Path\x00", "Pat", "", "default")],
])
def test_value_lookup(lookup_key, query, name, data):
    assert outcome(lambda: (lambda v: (v.name(), v.raw_data()))(lookup_key.value(name=query))) == (
        error(f"Not found: Value '{query}'") if name is None else (name, dword(data)))


THRESHOLD = 16344
TWELVE = bytes(range(0x41, 0x41 + 12))
VK_CELL = b"vk" + pattern(THRESHOLD + 2)  # one cell of 16348 payload bytes
P20004 = pattern(20000, 7)  # stored in a 20008-byte cell: 20004 payload bytes, 4 zeros last


def fields(size, offset):
    return lambda b: b.vk("v", REG_BINARY, data_size=size, data_offset=offset)


def cell(size, payload, cell_size=None):
    """A value of ``size`` bytes whose data offset names one cell holding ``payload``."""
    def build(b):
        off = b.alloc(payload, size=cell_size)
        return fields(size, off)(b), {"off": off}
    return build


def big(size, entries, *, count=None, segment_list=None):
    """A value read through a "db" record whose segment list (no spare bytes) holds ``entries``: raw offsets,
    (payload length, pattern seed[, bits or'ed into the entry]) for a segment cell of exactly that payload, or
    builder -> offset. ``segment_list`` points the record elsewhere."""
    def build(b):
        resolved = []
        for e in entries:
            if isinstance(e, tuple):
                length, seed, *bits = e
                e = b.alloc(pattern(length, seed), size=-(length + 4)) | (bits[0] if bits else 0)
            resolved.append(e(b) if callable(e) else e)
        seg_list = b.value_list(resolved, cell_size=-(4 * len(resolved) + 4)) if segment_list is None else segment_list
        db = b.alloc(db_record(len(resolved) if count is None else count, seg_list))
        return fields(size, db)(b), {"off": db, "list": seg_list, "e": resolved}
    return build


NEIGHBOURS = [("Before", REG_DWORD, dword(1)), ("After", REG_SZ, sz("still here"))]


def one_value(tmp_path, build, minor=5):
    """The key holding value "v" (by ``build``) between two sound values, the image length, and build's extras."""
    def vks(b):
        before, (vk, extra) = b.vk(*NEIGHBOURS[0]), built if isinstance(built := build(b), tuple) else (built, {})
        return [before, vk, b.vk(*NEIGHBOURS[1])], extra
    return root_with_values(tmp_path, vks, minor=minor)


def full_segment(first_payload, contributed):
    """A row: a 30000-byte value from two segments, the first of ``first_payload`` bytes, ``contributed`` of them data."""
    return (big(30000, [(first_payload, 1), (20000, 9)]), 5,
            (pattern(first_payload, 1)[:contributed] + pattern(20000, 9))[:30000])


def db_in_a_long_cell(b):
    seg_list = b.value_list([b.alloc(pattern(17000, 8), size=-17004)])
    return fields(16400, b.alloc(db_record(1, seg_list) + bytes(16400)))(b)


def db_found(data):
    return "Invalid format: Expected 'db' signature at offset {off:#x}, found " + f"[{data[0]}, {data[1]}]"


RAW_DATA = [
    # build, minor version, the data or the error message
    (fields(4, 0), 5, bytes(4)),  # inline comes before the test of the offset
    # the top bit of the size is dropped, and does not make data inline: the size alone decides
    (fields(0x80000004, 0x12345678), 5, b"\x78\x56\x34\x12"), (fields(0x80000000, 0x12345678), 5, b""),
    (fields(0x80000002, 0x12345678), 5, b"\x78\x56"), (cell(0x80000008, TWELVE), 5, TWELVE[:8]),
    (fields(5, 0xFFFFFFFF), 5, b""),
    (fields(0, BAD), 5, b""),  # size 0 reads nothing
    # one data cell: a payload shorter than the size is not an error
    (cell(5, TWELVE), 5, TWELVE[:5]),
    (cell(100, TWELVE), 5, TWELVE),
    (cell(8, b"", -4), 5, b""),
    (cell(THRESHOLD, VK_CELL), 5, VK_CELL[:THRESHOLD]),
    (cell(THRESHOLD + 1, VK_CELL), 5, db_found(VK_CELL)),
    (fields(5, BAD), 5, "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (cell(THRESHOLD, b"", -3), 5, "Invalid cell size -3 at offset {off:#x}"),
    # big data: segments joined until the size is reached; running out is not an error
    (lambda b: b.vk("v", REG_BINARY, pattern(40_000)), 5, pattern(40_000)),  # as Windows writes it
    (big(16345, [(16000, 1), (1000, 2)]), 5, (pattern(16000, 1) + pattern(1000, 2))[:16345]),
    (big(16345, [(20000, 1), BAD]), 5, pattern(20000, 1)[:16345]),  # the second is never read
    (big(30000, [(100, 1), (200, 2)]), 5, pattern(100, 1) + pattern(200, 2)),
    (big(16345, []), 5, b""),
    (big(20000, [(1000, 5), BAD], count=1), 5, pattern(1000, 5)),  # list entries past the count
    (big(16400, [(17000, 4, 0x80000000)]), 5, pattern(17000, 4)[:16400]),  # the top bit is cleared
    # A full segment is a 16352-byte cell whose last 4 payload bytes are padding: a payload
    # of 16345 to 16348 bytes contributes 16344, the last segment's too.
    full_segment(16344, 16344),
    full_segment(16345, 16344),
    full_segment(16348, 16344),
    full_segment(16349, 16349),
    (big(16345, [(16348, 3)]), 5, pattern(16348, 3)[:16344]),
    # big-data errors
    (fields(20000, BAD), 5, "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (cell(20000, b"vk\x01\x00"), 5, "Truncated data at offset {off:#x}: expected 8 bytes, got 4 bytes"),  # length first
    (cell(20000, b"", -4), 5, "Truncated data at offset {off:#x}: expected 8 bytes, got 0 bytes"),
    (cell(20000, b"db\x01\x00\x20\x00\x00", -11), 5, "Truncated data at offset {off:#x}: expected 8 bytes, got 7 bytes"),
    (cell(20000, b"\xff\xfe" + bytes(30)), 5, db_found(b"\xff\xfe")),
    # the segment list is read even when the record lists no segment
    (big(20000, [], segment_list=BAD), 5, "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (big(20000, [], segment_list=0xFFFFFFFF), 5, "Invalid offset 0xffffffff (hive size: {size:#x})"),
    (big(20000, [0, 0], count=3), 5, "Truncated data at offset {list:#x}: expected 12 bytes, got 8 bytes"),
    (big(20000, [0, 0], count=0xFFFF), 5, "Truncated data at offset {list:#x}: expected 262140 bytes, got 8 bytes"),
    (big(20000, [(100, 1), BAD | 0x80000000]), 5, "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (big(20000, [(100, 1), lambda b: b.alloc(b"", size=0)]), 5, "Invalid cell size 0 at offset {e[1]:#x}"),
    # Hives before minor version 4 keep big values in one cell, unless it starts with "db".
    (cell(16345, P20004), 3, P20004[:16345]),
    (cell(20004, P20004), 3, P20004 + bytes(4)),  # the payload holds exactly size bytes
    (cell(20005, P20004), 3, db_found(P20004)),
    (cell(20000, b"v\x00\x00\x00"), 3, "Truncated data at offset {off:#x}: expected 8 bytes, got 4 bytes"),
    (cell(20000, P20004), 4, db_found(P20004)),
    (big(16400, [(17000, 8)]), 3, pattern(17000, 8)[:16400]),
    # long enough to hold the whole value, but a "db" record all the same
    (db_in_a_long_cell, 3, pattern(17000, 8)[:16400]),
]


@pytest.mark.parametrize("build, minor, expected", RAW_DATA)
def test_raw_data(tmp_path, build, minor, expected):
    key, size, extra = one_value(tmp_path, build, minor=minor)
    failed = not isinstance(expected, bytes)
    # By name the error is raised (the name matched in any case); values() lists the value with empty data, and
    # the values after it as they are.
    assert outcome(lambda: key.value("V").raw_data()) == (error(expected.format(size=size, **extra)) if failed
                                                           else expected)
    assert summary(key.values()) == [NEIGHBOURS[0], ("v", REG_BINARY, b"" if failed else expected), NEIGHBOURS[1]]
    assert not failed or (key.values()[1].data_size(), key.values()[1].data().is_none()) == (0, True)


IS_METHODS = ["is_none", "is_string", "is_binary", "is_dword", "is_qword", "is_multi_string"]
AS_MESSAGES = {"as_string": "Not a string value", "as_binary": "Not a binary value", "as_dword": "Not a DWORD value",
               "as_qword": "Not a QWORD value", "as_multi_string": "Not a multi-string value"}


@pytest.mark.parametrize("type_id, data, accessor, result, text", [
    # accessor: the as_ method that answers (its is_ twin the only test answering yes), or is_none;
    # "raises": data() raises this message (an offset of 0 even in a cell) and raw_data() still reads
    (REG_NONE, b"\x01\x02\x03\x04", "is_none", True, "(none)"),
    (REG_DWORD, b"", "is_none", True, "(none)"),  # empty data is None whatever the type
    (REG_SZ, sz("Größe – 監視") + bytes(6), "as_string", "Größe – 監視", "Größe – 監視"),
    (REG_SZ, b"a\x00\x00\x00b\x00", "as_string", "a\x00b", "a\x00b"),
    (REG_EXPAND_SZ, sz("%SystemRoot%\\x"), "as_string", "%SystemRoot%\\x", "%SystemRoot%\\x"),
    (REG_BINARY, b"\x0a\xff\x00", "as_binary", b"\x0a\xff\x00", "[0A, FF, 00]"),
    (REG_DWORD, b"\xef\xbe\xad\xde\x99\x99", "as_dword", 0xDEADBEEF, "3735928559 (0xDEADBEEF)"),
    (REG_DWORD_BIG_ENDIAN, b"\x00\x00\x01\x00", "as_dword", 256, "256 (0x00000100)"),
    (REG_MULTI_SZ, multi_sz(["one", "", "two words"]), "as_multi_string", ["one", "two words"], "one, two words"),
    (REG_MULTI_SZ, "x\0y".encode("utf-16-le"), "as_multi_string", ["x", "y"], "x, y"),
    (REG_MULTI_SZ, bytes(6), "as_multi_string", [], ""),
    (REG_QWORD, qword(1) + b"\xff" * 4, "as_qword", 1, "1 (0x0000000000000001)"),
    (REG_QWORD, b"\xff" * 8, "as_qword", 2**64 - 1, "18446744073709551615 (0xFFFFFFFFFFFFFFFF)"),
    (REG_LINK, b"\x05\x10\xab", None, None, "[05, 10, AB]"),  # unparsed: no test answers yes
    (12, sz("A"), None, None, "[41, 00, 00, 00]"),
    (REG_DWORD, b"\x01\x02", "raises", None, "Truncated data at offset 0x0: expected 4 bytes, got 2 bytes"),
    (REG_QWORD, bytes(7), "raises", None, "Truncated data at offset 0x0: expected 8 bytes, got 7 bytes"),
    (REG_SZ, b"A\x00B\x00C", "raises", None, "Invalid UTF-16 string at offset 0x0"),
    (REG_EXPAND_SZ, b"\x00\xd8A\x00", "raises", None, "Invalid UTF-16 string at offset 0x0"),
    (REG_MULTI_SZ, b"a\x00\x00\x00\x00\xdc\x00\x00", "raises", None, "Invalid UTF-16 string at offset 0x0"),
])
def test_parse_by_type(tmp_path, type_id, data, accessor, result, text):
    value = one_value(tmp_path, lambda b: b.vk("v", type_id, data))[0].values()[1]
    assert value.raw_data() == data  # REG_NONE keeps its bytes too
    if accessor == "raises":
        assert outcome(value.data) == error(text)
        return
    parsed, typed = value.data(), lambda r: (type(r), r)
    answering = {accessor if accessor == "is_none" else "is_" + accessor[3:]} if accessor else set()
    assert [typed(getattr(parsed, m)()) for m in IS_METHODS] == [(bool, m in answering) for m in IS_METHODS]
    assert {m: typed(outcome(getattr(parsed, m))) for m in AS_MESSAGES} == {
        m: typed(result if m == accessor else error(message)) for m, message in AS_MESSAGES.items()}
    assert str(parsed) == text


TYPE_NAMES = ["REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
              "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
              "REG_QWORD"]
UNKNOWN_TYPES = [(12, "REG_UNKNOWN_0x0000000c"), (0xABCD, "REG_UNKNOWN_0x0000abcd"), (0xFFFFFFFF, "REG_UNKNOWN_0xffffffff")]


def test_value_types(tmp_path):
    expected = [*enumerate(TYPE_NAMES), *UNKNOWN_TYPES]
    key, _, _ = root_with_values(tmp_path, lambda b: [b.vk(f"t{t}", t, b"\x01") for t, _ in expected])
    assert [(t.type_id(), t.type_name(), str(t), repr(t)) for t in (v.value_type() for v in key.values())] == [
        (type_id, name, name, f"ValueType({name})") for type_id, name in expected]


def test_repeated_records(tmp_path):
    b = hivegen.HiveBuilder()
    values = b.value_list([b.vk(b"\xff" * 60000, REG_DWORD, dword(1), flags=1)] * 16000)
    subkeys = b.subkey_list("li", [b.nk(b"\xff" * 60000, flags=0x20)] * 5000)
    big = b.vk("big", REG_BINARY, data_size=0x7FFFFFF0, data_offset=(db := b.db([b.alloc(b"\x07" * 16344)] * 60000)))
    root, _ = root_of(tmp_path, b, value_count=16000, value_list=values, subkey_count=5000, subkey_list=subkeys)
    started = time.monotonic()
    too_much = error(f"Invalid format: Value list at offset {values:#x} names more value key data than the hive holds")
    assert [outcome(root.values), outcome(lambda: root.value("x")), outcome(root.subkeys)] == [too_much, too_much, error(
        f"Invalid format: Subkey list at offset {subkeys:#x} names more key data than the hive holds")]
    assert time.monotonic() - started < 2
    root, _ = root_of(tmp_path, b, value_count=1, value_list=b.value_list([big]))
    assert outcome(lambda: root.value("big")) == error(
        f"Invalid format: Big data at offset {db:#x} joins more segment data than the hive holds")
    assert [v.data_size() for v in root.values()] == [0]
    # one record again and again, up to the limit and no further
    data = bytes(range(256)) * 60  # 15360 bytes in one data cell
    vk = b.vk("v", REG_BINARY, data)
    big = b.vk("big", REG_BINARY, data_size=20000, data_offset=b.db([b.alloc(b"ab" * 102)] * 100))
    root, length = root_of(tmp_path, b, value_count=2001, value_list=b.value_list([big] + [vk] * 2000))
    assert root.value("big").raw_data() == b"ab" * 10000  # 20000 bytes from one 208-byte cell
    sizes = [v.data_size() for v in root.values()]
    # whole values up to the limit, then listed with empty data
    full = sizes.index(0)
    assert sizes[0] == 20000 and set(sizes[1:full]) == {len(data)} and set(sizes[full:]) == {0}
    assert 20000 + (full - 1) * len(data) <= 4 * length < 20000 + full * len(data)
    assert root.value("v").raw_data() == data


# Run apart under a limit on the address space that leaves half a GiB: big data declaring 0x7FFFFFF0 bytes in a few
# KiB (reserving the declared size would fail), then key nodes nested in one another's names, each a readable key
# whose name runs to the end of a 65000-byte cell, so that 1.4 MB hold some 400 MB of names: a walk must not cache
# them all. VmHWM, not ru_maxrss, which Linux carries over from the process that forked this one.
MEMORY_BOUNDS = """
import resource, sys, kelpa
status = lambda field: next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith(field))
resource.setrlimit(resource.RLIMIT_AS, ((status("VmSize:") + 512 * 1024) * 1024,) * 2)
key = kelpa.Hive.open(sys.argv[1]).root_key()
print(len(key.value("big").raw_data()), len(key.values()[0].raw_data()))
print(sum(len(k.name()) for p in kelpa.Hive.open(sys.argv[2]).root_key().subkeys() for k in p.subkeys()))
print(status("VmHWM:") // 1024)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or under_sanitizer(),
                    reason="reads /proc and sets RLIMIT_AS, which a sanitizer's reservations exceed")
def test_memory_stays_proportional_to_the_file(tmp_path):
    b = hivegen.HiveBuilder()
    db = b.db([b.alloc(bytes(3000), size=-3004), b.alloc(bytes(500), size=-504)])
    big = b.build(root=b.nk("ROOT", root=True, value_count=1, value_list=b.value_list([
        b.vk("big", REG_DWORD, data_size=0x7FFFFFF0, data_offset=db)])))
    b, nested = hivegen.HiveBuilder(), []
    for _ in range(20):
        region = b.alloc(b"A" * 65000)
        for k in range(0, 64000, 104):
            b.patch(region, k, struct.pack("<i", k - 65000) + hivegen.nk_record(b"", flags=0x20, name_length=64920 - k))
            nested.append(region + 4 + k)
    parents = [b.nk(f"p{i}", subkey_count=50, subkey_list=b.subkey_list("li", nested[i * 50:i * 50 + 50]))
               for i in range(len(nested) // 50)]
    data = b.build(root=b.nk("ROOT", subkey_count=len(parents), subkey_list=b.subkey_list("li", parents)))
    hives = [write_hive(tmp_path, big, "big"), write_hive(tmp_path, data, "nested")]
    run = subprocess.run([sys.executable, "-c", MEMORY_BOUNDS, *hives], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    (lengths, chars, peak_mib) = run.stdout.splitlines()
    assert lengths == "3500 3500" and int(chars) > 250 * len(data)  # every key read, with its whole name
    assert int(peak_mib) < 150  # holding every name would take over 300 MiB
