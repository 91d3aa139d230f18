"""Value data: raw bytes (inline, one cell, big data), parsing by type, ValueData and ValueType.
Raw data is read through RegistryKey.value(name), which raises where values() lists empty data."""

import pytest

from conftest import BAD, error, outcome as outcome_of, pattern, root_with_values
from hivegen import (
    REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_EXPAND_SZ, REG_LINK, REG_MULTI_SZ, REG_NONE, REG_QWORD, REG_SZ,
    db_record, dword, multi_sz, qword, sz,
)

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
        before = b.vk(*NEIGHBOURS[0])
        built = build(b)
        return [before, built[0] if isinstance(built, tuple) else built, b.vk(*NEIGHBOURS[1])], (
            built[1] if isinstance(built, tuple) else {})
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
    (fields(1, 0x12345678), 5, b"\x78"),
    (fields(4, 0x12345678), 5, b"\x78\x56\x34\x12"),
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


@pytest.mark.parametrize("build, minor, outcome", RAW_DATA)
def test_raw_data(tmp_path, build, minor, outcome):
    key, size, extra = one_value(tmp_path, build, minor=minor)
    failed = not isinstance(outcome, bytes)
    # By name the error is raised (the name matched in any case); values() lists the value with empty data, and
    # the values after it as they are.
    assert outcome_of(lambda: key.value("V").raw_data()) == (error(outcome.format(size=size, **extra)) if failed
                                                              else outcome)
    listed = [(v.name(), v.value_type().type_id(), v.raw_data()) for v in key.values()]
    assert listed == [NEIGHBOURS[0], ("v", REG_BINARY, b"" if failed else outcome), NEIGHBOURS[1]]
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
        assert outcome_of(value.data) == error(text)
        return
    parsed, typed = value.data(), lambda r: (type(r), r)
    answering = {accessor if accessor == "is_none" else "is_" + accessor[3:]} if accessor else set()
    assert [typed(getattr(parsed, m)()) for m in IS_METHODS] == [(bool, m in answering) for m in IS_METHODS]
    assert {m: typed(outcome_of(getattr(parsed, m))) for m in AS_MESSAGES} == {
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
