"""Value data: raw bytes (inline, one cell, big data), parsing by type, ValueData and ValueType.

Raw data is read through RegistryKey.value(name), which raises a data error where
values() would list the value with empty data.
"""

import re
import subprocess
import sys
import textwrap

import pytest

import hivegen
import kelpa
from hivegen import (
    REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_EXPAND_SZ, REG_FULL_RESOURCE_DESCRIPTOR, REG_LINK,
    REG_MULTI_SZ, REG_NONE, REG_QWORD, REG_RESOURCE_LIST, REG_RESOURCE_REQUIREMENTS_LIST, REG_SZ,
    db_record, dword, multi_sz, qword, sz,
)

BAD = 0x7FFFFFF0  # a cell offset far past the end of every hive written here
THRESHOLD = 16344


def pattern(n, seed=0):
    """n bytes in which a dropped, doubled or shifted byte shows."""
    return bytes((i * 7 + i // 251 + seed) & 0xFF for i in range(n))


def one_value(tmp_path, build, *, minor=5):
    """``build(builder)`` returns a vk offset, or (vk offset, extra); the root key lists it.

    Returns (root key, image length, extra)."""
    b = hivegen.HiveBuilder(minor=minor)
    built = build(b)
    vk, extra = built if isinstance(built, tuple) else (built, None)
    root = b.nk("ROOT", root=True, value_count=1, value_list=b.value_list([vk]))
    path = b.write(tmp_path / "data.hiv", root=root)
    return kelpa.Hive.open(str(path)).root_key(), path.stat().st_size, extra


def raw(tmp_path, build, **kw):
    key, _, _ = one_value(tmp_path, build, **kw)
    return key.value("v").raw_data()


def fields(size, offset):
    return lambda b: b.vk("v", REG_BINARY, data_size=size, data_offset=offset)


def plain_cell(size, payload, cell_size=None):
    """A value of ``size`` bytes whose data offset names one cell holding ``payload``."""
    def build(b):
        cell = b.alloc(payload, size=cell_size)
        return fields(size, cell)(b), {"off": cell}
    return build


def raises_value_error(message):
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


def segment(b, payload_length, seed):
    """A cell whose payload is exactly ``payload_length`` bytes of pattern."""
    return b.alloc(pattern(payload_length, seed), size=-(payload_length + 4))


def big(size, segments, *, count=None):
    """A value of ``size`` bytes read through a "db" naming ``segments`` (builder -> offset each)."""
    def build(b):
        offsets = [make(b) if callable(make) else make for make in segments]
        return b.vk("v", REG_BINARY, data_size=size, data_offset=b.db(offsets, count=count))
    return build


# --- raw data without the image ----------------------------------------------------------


@pytest.mark.parametrize("size, offset, data", [
    (1, 0x12345678, b"\x78"),
    (2, 0x12345678, b"\x78\x56"),
    (3, 0x12345678, b"\x78\x56\x34"),
    (4, 0x12345678, b"\x78\x56\x34\x12"),
    (0x80000003, 0x12345678, b"\x78\x56\x34"),
    (4, 0, b"\x00\x00\x00\x00"),           # inline comes before the test of the offset
    (1, 0xFFFFFFFF, b"\xff"),
    (5, 0xFFFFFFFF, b""),
    (5, 0, b""),
    (20000, 0, b""),
    (0x7FFFFFFF, 0xFFFFFFFF, b""),
    (0, BAD, b""),                          # size 0 reads nothing
    (0x80000000, BAD, b""),
])
def test_data_without_a_cell(tmp_path, size, offset, data):
    assert raw(tmp_path, fields(size, offset)) == data


# --- one data cell -----------------------------------------------------------------------

TWELVE = bytes(range(0x41, 0x41 + 12))


@pytest.mark.parametrize("size, data", [
    (5, TWELVE[:5]),
    (6, TWELVE[:6]),
    (12, TWELVE),
    (13, TWELVE),           # a cell shorter than the size is not an error
    (100, TWELVE),
    (THRESHOLD, TWELVE),
    (0x80000008, TWELVE[:8]),
])
@pytest.mark.parametrize("free", [False, True])
def test_single_cell(tmp_path, size, data, free):
    def build(b):
        return b.vk("v", REG_BINARY, data_size=size, data_offset=b.alloc(TWELVE, free=free))
    assert raw(tmp_path, build) == data


def test_single_cell_with_empty_payload(tmp_path):
    assert raw(tmp_path, plain_cell(8, b"", -4)) == b""


@pytest.mark.parametrize("size", [THRESHOLD, THRESHOLD + 1])
def test_threshold_boundary(tmp_path, size):
    data = b"vk" + pattern(THRESHOLD + 2)  # one cell of 16348 payload bytes
    key, _, where = one_value(tmp_path, plain_cell(size, data))
    if size == THRESHOLD:
        assert key.value("v").raw_data() == data[:THRESHOLD]
    else:
        with raises_value_error(f"Invalid format: Expected 'db' signature at offset {where['off']:#x}, found [118, 107]"):
            key.value("v")


@pytest.mark.parametrize("size", [5, THRESHOLD, THRESHOLD + 1])
def test_data_cell_errors(tmp_path, size):
    key, image, _ = one_value(tmp_path, fields(size, BAD))
    with raises_value_error(f"Invalid offset 0x7ffffff0 (hive size: {image:#x})"):
        key.value("v")
    key, _, where = one_value(tmp_path, plain_cell(size, b"", -3))
    with raises_value_error(f"Invalid cell size -3 at offset {where['off']:#x}"):
        key.value("v")


# --- big data ----------------------------------------------------------------------------


def test_big_data_as_windows_writes_it(tmp_path):
    # Segments of 16344 data bytes in 16352-byte cells (4 bytes of slack each), then the rest.
    data = pattern(40_000)
    assert raw(tmp_path, lambda b: b.vk("v", REG_BINARY, data)) == data


@pytest.mark.parametrize("size, segments, length_of_result", [
    # 16000 + the first 345 bytes of the second
    (16345, [(16000, 1), (1000, 2)], 16345),
    # the first segment alone covers the size: the second is never read
    (16345, [(20000, 1), BAD], 16345),
    (16345, [(20000, 1), 0xFFFFFFFF], 16345),
    # running out of segments is not an error
    (30000, [(100, 1), (200, 2)], 300),
    (16345, [], 0),
])
def test_segments_joined(tmp_path, size, segments, length_of_result):
    makers = [s if isinstance(s, int) else (lambda b, s=s: segment(b, *s)) for s in segments]
    expected = b"".join(pattern(n, seed) for n, seed in (s for s in segments if not isinstance(s, int)))
    got = raw(tmp_path, big(size, makers))
    assert len(got) == length_of_result
    assert got == expected[:size]


@pytest.mark.parametrize("first_payload, contributed", [
    (16000, 16000),
    (16343, 16343),
    (16344, 16344),
    (16345, 16344),  # a full segment's cell carries 4 bytes of slack after its 16344 data bytes
    (16346, 16344),
    (16348, 16344),
    (16349, 16349),
    (16352, 16352),
])
def test_full_segment_carries_16344_bytes(tmp_path, first_payload, contributed):
    second = pattern(20000, 9)
    got = raw(tmp_path, big(30000, [lambda b: segment(b, first_payload, 1), lambda b: segment(b, 20000, 9)]))
    assert got == (pattern(first_payload, 1)[:contributed] + second)[:30000]


@pytest.mark.parametrize("size, payload, length", [
    (16345, 16348, 16344),  # the last segment too: the slack never counts as data
    (16345, 16345, 16344),
    (16346, 16349, 16346),
])
def test_single_segment_payload_trim(tmp_path, size, payload, length):
    assert raw(tmp_path, big(size, [lambda b: segment(b, payload, 3)])) == pattern(payload, 3)[:length]


def test_segment_list_entry_top_bit_is_cleared(tmp_path):
    def build(b):
        seg = segment(b, 17000, 4)
        return big(16400, [seg | 0x80000000])(b)
    assert raw(tmp_path, build) == pattern(17000, 4)[:16400]


def test_segment_list_bytes_past_the_count_are_ignored(tmp_path):
    def build(b):
        return big(20000, [lambda b: segment(b, 1000, 5), BAD], count=1)(b)
    assert raw(tmp_path, build) == pattern(1000, 5)


def db_pointing_at(segment_list, count):
    def build(b):
        db = b.db([], count=count, segment_list=segment_list)
        return fields(20000, db)(b), {"off": db}
    return build


def db_with_list(list_entries, count, segments=()):
    def build(b):
        segs = [segment(b, n, 6) for n in segments]
        entries = [segs[e] if isinstance(e, int) and e < len(segs) else e for e in list_entries]
        seg_list = b.value_list(entries, cell_size=-(4 * len(entries) + 4))  # no padding entry
        db = b.db([], count=count, segment_list=seg_list)
        return fields(20000, db)(b), {"off": db, "list": seg_list}
    return build


@pytest.mark.parametrize("build, message", [
    (lambda b: (fields(20000, BAD)(b), {}), "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (plain_cell(20000, b"db\x01\x00"), "Truncated data at offset {off:#x}: expected 8 bytes, got 4 bytes"),
    # the length is checked before the signature
    (plain_cell(20000, b"vk\x01\x00"), "Truncated data at offset {off:#x}: expected 8 bytes, got 4 bytes"),
    (plain_cell(20000, b"", -4), "Truncated data at offset {off:#x}: expected 8 bytes, got 0 bytes"),
    (plain_cell(20000, b"db\x01\x00\x20\x00\x00", -11), "Truncated data at offset {off:#x}: expected 8 bytes, got 7 bytes"),
    (plain_cell(20000, b"vk" + bytes(6)), "Invalid format: Expected 'db' signature at offset {off:#x}, found [118, 107]"),
    (plain_cell(20000, b"\xff\xfe" + bytes(30)), "Invalid format: Expected 'db' signature at offset {off:#x}, found [255, 254]"),
    (plain_cell(20000, b"DB" + bytes(6)), "Invalid format: Expected 'db' signature at offset {off:#x}, found [68, 66]"),
    (db_pointing_at(BAD, 1), "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    # the segment list is read even when the record lists no segment
    (db_pointing_at(BAD, 0), "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (db_pointing_at(0xFFFFFFFF, 0), "Invalid offset 0xffffffff (hive size: {size:#x})"),
    (db_with_list([0, 0], 3, [100]), "Truncated data at offset {list:#x}: expected 12 bytes, got 8 bytes"),
    (db_with_list([0, 0], 0xFFFF, [100]), "Truncated data at offset {list:#x}: expected 262140 bytes, got 8 bytes"),
    (db_with_list([0, BAD], 2, [100]), "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (db_with_list([0, BAD | 0x80000000], 2, [100]), "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
])
def test_big_data_errors(tmp_path, build, message):
    key, size, offsets = one_value(tmp_path, build)
    message = message.format(size=size, **offsets)
    with raises_value_error(message):
        key.value("v")
    [listed] = key.values()
    assert (listed.name(), listed.raw_data()) == ("v", b"")


def test_segment_with_bad_cell_size(tmp_path):
    def build(b):
        bad = b.alloc(b"", size=0)
        return big(20000, [lambda b: segment(b, 100, 1), bad])(b), bad
    key, _, bad = one_value(tmp_path, build)
    with raises_value_error(f"Invalid cell size 0 at offset {bad:#x}"):
        key.value("v")


# --- hives of version 1.3 keep big values in one cell -------------------------------------


PAYLOAD_20004 = pattern(20000, 7)  # stored in a 20008-byte cell: 20004 payload bytes, 4 zeros last


@pytest.mark.parametrize("size, expected", [
    (16345, PAYLOAD_20004[:16345]),
    (20000, PAYLOAD_20004),
    (20004, PAYLOAD_20004 + bytes(4)),  # the payload holds exactly size bytes
])
def test_minor_3_large_value_in_one_cell(tmp_path, size, expected):
    key, _, _ = one_value(tmp_path, plain_cell(size, PAYLOAD_20004), minor=3)
    assert key.value("v").raw_data() == expected


def test_minor_3_with_db_record_reads_big_data(tmp_path):
    assert raw(tmp_path, big(16400, [lambda b: segment(b, 17000, 8)]), minor=3) == pattern(17000, 8)[:16400]


def test_minor_3_cell_beginning_with_db_is_a_db_record(tmp_path):
    # Long enough to hold the whole value, but a "db" record all the same.
    def build(b):
        seg = segment(b, 17000, 8)
        seg_list = b.value_list([seg])
        cell = b.alloc(db_record(1, seg_list) + bytes(16400))
        return fields(16400, cell)(b)
    assert raw(tmp_path, build, minor=3) == pattern(17000, 8)[:16400]


@pytest.mark.parametrize("minor, size, payload, message", [
    (3, 20005, PAYLOAD_20004, "Invalid format: Expected 'db' signature at offset {off:#x}, found [{b0}, {b1}]"),
    (3, 20000, b"v\x00\x00\x00", "Truncated data at offset {off:#x}: expected 8 bytes, got 4 bytes"),
    (4, 20000, PAYLOAD_20004, "Invalid format: Expected 'db' signature at offset {off:#x}, found [{b0}, {b1}]"),
    (5, 16345, PAYLOAD_20004, "Invalid format: Expected 'db' signature at offset {off:#x}, found [{b0}, {b1}]"),
    (6, 16345, PAYLOAD_20004, "Invalid format: Expected 'db' signature at offset {off:#x}, found [{b0}, {b1}]"),
])
def test_one_cell_big_value_refused(tmp_path, minor, size, payload, message):
    key, _, where = one_value(tmp_path, plain_cell(size, payload), minor=minor)
    with raises_value_error(message.format(b0=payload[0], b1=payload[1], **where)):
        key.value("v")


# --- the declared size does not decide the allocation ------------------------------------

_BOUNDED_RESERVATION = textwrap.dedent("""
    import resource, sys
    import kelpa
    if "asan" in open("/proc/self/maps").read() or "tsan" in open("/proc/self/maps").read():
        print("sanitizer"); sys.exit(0)
    vm_kib = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
    limit = (vm_kib + 512 * 1024) * 1024  # half a GiB of address space left over
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    key = kelpa.Hive.open(sys.argv[1]).root_key()
    print(len(key.value("v").raw_data()), len(key.values()[0].raw_data()))
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and sets RLIMIT_AS")
def test_huge_declared_size_reserves_no_more_than_the_image(tmp_path):
    # A "db" value declaring 0x7FFFFFF0 bytes in a hive of a few KiB: a reservation of the
    # declared size would fail under the address-space limit of the child process.
    b = hivegen.HiveBuilder()
    vk = big(0x7FFFFFF0, [lambda b: segment(b, 3000, 1), lambda b: segment(b, 500, 2)])(b)
    root = b.nk("ROOT", root=True, value_count=1, value_list=b.value_list([vk]))
    path = b.write(tmp_path / "huge.hiv", root=root)
    result = subprocess.run([sys.executable, "-c", _BOUNDED_RESERVATION, str(path)],
                            capture_output=True, text=True, timeout=60)
    if result.stdout.strip() == "sanitizer":
        pytest.skip("address-space limits do not work under a sanitizer")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["3500", "3500"]
    key = kelpa.Hive.open(str(path)).root_key()
    assert key.value("v").raw_data() == pattern(3000, 1) + pattern(500, 2)


# --- parsing by type ---------------------------------------------------------------------


def stored(tmp_path, type_id, data):
    key, _, _ = one_value(tmp_path, lambda b: b.vk("v", type_id, data))
    return key.values()[0]


IS_METHODS = ["is_none", "is_string", "is_binary", "is_dword", "is_qword", "is_multi_string"]


@pytest.mark.parametrize("type_id, data, accessor, result, text", [
    (REG_NONE, b"\x01\x02\x03\x04", "is_none", True, "(none)"),
    (REG_SZ, b"", "is_none", True, "(none)"),  # empty data is None whatever the type
    (REG_DWORD, b"", "is_none", True, "(none)"),
    (REG_QWORD, b"", "is_none", True, "(none)"),
    (REG_SZ, b"A\x00B\x00\x00\x00", "as_string", "AB", "AB"),
    (REG_SZ, sz("Größe – 監視") + bytes(6), "as_string", "Größe – 監視", "Größe – 監視"),
    (REG_SZ, b"a\x00\x00\x00b\x00", "as_string", "a\x00b", "a\x00b"),
    (REG_EXPAND_SZ, sz("%SystemRoot%\\x"), "as_string", "%SystemRoot%\\x", "%SystemRoot%\\x"),
    (REG_BINARY, b"\x0a\xff\x00", "as_binary", b"\x0a\xff\x00", "[0A, FF, 00]"),
    (REG_BINARY, b"\x05", "as_binary", b"\x05", "[05]"),
    (REG_DWORD, b"\x01\x00\x00\x00", "as_dword", 1, "1 (0x00000001)"),
    (REG_DWORD, b"\xef\xbe\xad\xde\x99\x99", "as_dword", 0xDEADBEEF, "3735928559 (0xDEADBEEF)"),
    (REG_DWORD, b"\xff\xff\xff\xff", "as_dword", 4294967295, "4294967295 (0xFFFFFFFF)"),
    (REG_DWORD_BIG_ENDIAN, b"\x01\x00\x00\x00", "as_dword", 16777216, "16777216 (0x01000000)"),
    (REG_DWORD_BIG_ENDIAN, b"\x00\x00\x01\x00", "as_dword", 256, "256 (0x00000100)"),
    (REG_MULTI_SZ, "a\0\0b\0\0".encode("utf-16-le"), "as_multi_string", ["a", "b"], "a, b"),
    (REG_MULTI_SZ, multi_sz(["one", "", "two words"]), "as_multi_string", ["one", "two words"], "one, two words"),
    (REG_MULTI_SZ, "x\0y".encode("utf-16-le"), "as_multi_string", ["x", "y"], "x, y"),
    (REG_MULTI_SZ, bytes(6), "as_multi_string", [], ""),
    (REG_QWORD, qword(1) + b"\xff" * 4, "as_qword", 1, "1 (0x0000000000000001)"),
    (REG_QWORD, qword(0x0123456789ABCDEF), "as_qword", 0x0123456789ABCDEF,
     "81985529216486895 (0x0123456789ABCDEF)"),
    (REG_QWORD, b"\xff" * 8, "as_qword", 18446744073709551615, "18446744073709551615 (0xFFFFFFFFFFFFFFFF)"),
    (REG_LINK, b"\x05\x10\xab", None, None, "[05, 10, AB]"),
    (REG_RESOURCE_LIST, b"\x01", None, None, "[01]"),
    (REG_FULL_RESOURCE_DESCRIPTOR, b"\x00\x01", None, None, "[00, 01]"),
    (REG_RESOURCE_REQUIREMENTS_LIST, b"\xfe", None, None, "[FE]"),
    (12, sz("A"), None, None, "[41, 00, 00, 00]"),
    (0xFFFFFFFF, dword(1), None, None, "[01, 00, 00, 00]"),
])
def test_parse_by_type(tmp_path, type_id, data, accessor, result, text):
    value = stored(tmp_path, type_id, data)
    parsed = value.data()
    if accessor is None:  # Unparsed: no test answers yes and the bytes stay in raw_data()
        assert [getattr(parsed, m)() for m in IS_METHODS] == [False] * len(IS_METHODS)
        assert value.raw_data() == data
    else:
        assert getattr(parsed, accessor)() == result
    assert str(parsed) == text
    assert value.raw_data() == data  # REG_NONE keeps its bytes too


@pytest.mark.parametrize("type_id, data, message", [
    (REG_DWORD, b"\x01\x02", "Truncated data at offset 0x0: expected 4 bytes, got 2 bytes"),
    (REG_DWORD_BIG_ENDIAN, b"\x01\x02\x03", "Truncated data at offset 0x0: expected 4 bytes, got 3 bytes"),
    (REG_QWORD, b"\x01\x02\x03\x04", "Truncated data at offset 0x0: expected 8 bytes, got 4 bytes"),
    (REG_QWORD, bytes(7), "Truncated data at offset 0x0: expected 8 bytes, got 7 bytes"),
    (REG_SZ, b"A\x00B", "Invalid UTF-16 string at offset 0x0"),
    (REG_SZ, b"A\x00B\x00C", "Invalid UTF-16 string at offset 0x0"),  # in a cell, still offset 0
    (REG_EXPAND_SZ, b"\x00\xd8A\x00", "Invalid UTF-16 string at offset 0x0"),
    (REG_MULTI_SZ, b"a\x00\x00\x00\x00\xdc\x00\x00", "Invalid UTF-16 string at offset 0x0"),
])
def test_parse_errors(tmp_path, type_id, data, message):
    value = stored(tmp_path, type_id, data)
    with raises_value_error(message):
        value.data()
    assert value.raw_data() == data


# --- ValueData tests and accessors -------------------------------------------------------

VARIANTS = {  # variant: (type id, data, the is_ methods answering True, accessor, its result)
    "None": (REG_NONE, b"\x01", {"is_none"}, None, None),
    "String": (REG_SZ, sz("AB"), {"is_string"}, "as_string", "AB"),
    "ExpandString": (REG_EXPAND_SZ, sz("%X%"), {"is_string"}, "as_string", "%X%"),
    "Binary": (REG_BINARY, b"\x0a\xff", {"is_binary"}, "as_binary", b"\x0a\xff"),
    "Dword": (REG_DWORD, dword(0xFFFFFFFF), {"is_dword"}, "as_dword", 0xFFFFFFFF),
    "DwordBigEndian": (REG_DWORD_BIG_ENDIAN, b"\x00\x00\x01\x00", {"is_dword"}, "as_dword", 256),
    "MultiString": (REG_MULTI_SZ, multi_sz(["a", "b"]), {"is_multi_string"}, "as_multi_string", ["a", "b"]),
    "Qword": (REG_QWORD, qword(2**64 - 1), {"is_qword"}, "as_qword", 2**64 - 1),
    "Unparsed": (REG_LINK, b"\x0a\xff", set(), None, None),
}
AS_MESSAGES = {
    "as_string": "Not a string value",
    "as_binary": "Not a binary value",
    "as_dword": "Not a DWORD value",
    "as_qword": "Not a QWORD value",
    "as_multi_string": "Not a multi-string value",
}


@pytest.fixture(scope="module")
def parsed(tmp_path_factory):
    b = hivegen.HiveBuilder()
    vks = [b.vk(name, type_id, data) for name, (type_id, data, *_) in VARIANTS.items()]
    root = b.nk("ROOT", root=True, value_count=len(vks), value_list=b.value_list(vks))
    path = b.write(tmp_path_factory.mktemp("variants") / "variants.hiv", root=root)
    return {v.name(): v.data() for v in kelpa.Hive.open(str(path)).root_key().values()}


@pytest.mark.parametrize("method", IS_METHODS)
@pytest.mark.parametrize("variant", VARIANTS)
def test_is_methods(parsed, variant, method):
    assert getattr(parsed[variant], method)() is (method in VARIANTS[variant][2])


@pytest.mark.parametrize("method", AS_MESSAGES)
@pytest.mark.parametrize("variant", VARIANTS)
def test_as_methods(parsed, variant, method):
    _, _, _, accessor, result = VARIANTS[variant]
    if method == accessor:
        got = getattr(parsed[variant], method)()
        assert (type(got), got) == (type(result), result)
    else:
        with pytest.raises(ValueError) as caught:
            getattr(parsed[variant], method)()
        assert type(caught.value) is ValueError
        assert caught.value.args == (AS_MESSAGES[method],)


def test_as_multi_string_returns_a_new_list(parsed):
    first = parsed["MultiString"].as_multi_string()
    first.append("c")
    assert parsed["MultiString"].as_multi_string() == ["a", "b"]


# --- ValueType ---------------------------------------------------------------------------

TYPE_NAMES = [
    (0, "REG_NONE"), (1, "REG_SZ"), (2, "REG_EXPAND_SZ"), (3, "REG_BINARY"), (4, "REG_DWORD"),
    (5, "REG_DWORD_BIG_ENDIAN"), (6, "REG_LINK"), (7, "REG_MULTI_SZ"), (8, "REG_RESOURCE_LIST"),
    (9, "REG_FULL_RESOURCE_DESCRIPTOR"), (10, "REG_RESOURCE_REQUIREMENTS_LIST"), (11, "REG_QWORD"),
    (12, "REG_UNKNOWN_0x0000000c"), (0x20, "REG_UNKNOWN_0x00000020"), (0x100, "REG_UNKNOWN_0x00000100"),
    (0xABCD, "REG_UNKNOWN_0x0000abcd"), (0x80000000, "REG_UNKNOWN_0x80000000"),
    (0xFFFFFFFF, "REG_UNKNOWN_0xffffffff"),
]


@pytest.fixture(scope="module")
def value_types(tmp_path_factory):
    b = hivegen.HiveBuilder()
    vks = [b.vk(f"t{type_id}", type_id, b"\x01") for type_id, _ in TYPE_NAMES]
    root = b.nk("ROOT", root=True, value_count=len(vks), value_list=b.value_list(vks))
    path = b.write(tmp_path_factory.mktemp("types") / "types.hiv", root=root)
    return {v.name(): v.value_type() for v in kelpa.Hive.open(str(path)).root_key().values()}


@pytest.mark.parametrize("type_id, name", TYPE_NAMES)
def test_value_type(value_types, type_id, name):
    value_type = value_types[f"t{type_id}"]
    assert value_type.type_name() == name
    assert str(value_type) == name
    assert repr(value_type) == f"ValueType({name})"
    assert value_type.type_id() == type_id
