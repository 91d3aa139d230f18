"""Checks hivegen's output by parsing it back with struct, without the extension.

The readers below are deliberately small and independent of hivegen's own code: they
follow the file layout (base block, bins, cells, records, log blocks) from their own
offsets, so a wrong field position or a cell that strays out of its bin shows up here
before it can mislead the extension's tests.
"""

import functools
import operator
import pathlib
import struct
import subprocess
import sys

import pytest

import hivegen

BIN_START = 4096


# --- independent readers --------------------------------------------------------------


def u16(buf, at):
    return struct.unpack_from("<H", buf, at)[0]


def u32(buf, at):
    return struct.unpack_from("<I", buf, at)[0]


def walk_cells(image):
    """Checks the bin chain and the cell tiling; returns {cell offset: (size, payload)}.

    Bins must follow one another from offset 0 to exactly hive_bins_data_size, each
    naming its own offset; cells must be 8-aligned and fill every bin exactly.
    """
    bins_size = u32(image, 40)
    assert len(image) == BIN_START + bins_size
    cells = {}
    offset = 0
    while offset < bins_size:
        sig, own_offset, size = struct.unpack_from("<4sII", image, BIN_START + offset)
        assert (sig, own_offset) == (b"hbin", offset)
        assert size >= 4096 and size % 4096 == 0
        cell = offset + 32
        while cell < offset + size:
            (cell_size,) = struct.unpack_from("<i", image, BIN_START + cell)
            length = abs(cell_size)
            assert cell % 8 == 0 and length % 8 == 0 and length >= 8, hex(cell)
            assert cell + length <= offset + size, f"cell 0x{cell:x} leaves its bin"
            cells[cell] = (cell_size, image[BIN_START + cell + 4 : BIN_START + cell + length])
            cell += length
        offset += size
    assert offset == bins_size
    return cells


class Reader:
    """Reads a tree back through allocated cells only."""

    def __init__(self, image):
        self.image = image
        self.cells = walk_cells(image)

    def payload(self, offset):
        size, payload = self.cells[offset]
        assert size < 0, f"cell 0x{offset:x} is referenced but free"
        return payload

    def name(self, raw, compressed):
        return raw.decode("ascii") if compressed else raw.decode("utf-16-le")

    def key(self, offset, parent):
        p = self.payload(offset)
        assert p[:2] == b"nk"
        flags = u16(p, 2)
        assert u32(p, 16) == parent
        name = self.name(p[76 : 76 + u16(p, 72)], flags & 0x20)
        subkey_count, subkey_list = u32(p, 20), u32(p, 28)
        value_count, value_list = u32(p, 36), u32(p, 40)
        subkeys = []
        if subkey_count:
            subkeys = [self.key(o, offset) for o in self.subkey_offsets(subkey_list)]
        else:
            assert subkey_list == 0xFFFFFFFF
        assert len(subkeys) == subkey_count
        values = []
        if value_count:
            entries = self.payload(value_list)
            values = [self.value(u32(entries, 4 * i)) for i in range(value_count)]
        else:
            assert value_list == 0xFFFFFFFF
        return hivegen.Key(name, subkeys, values, last_written=struct.unpack_from("<Q", p, 4)[0])

    def subkey_offsets(self, offset):
        p = self.payload(offset)
        sig, count = p[:2], u16(p, 2)
        if sig == b"ri":
            return [o for i in range(count) for o in self.subkey_offsets(u32(p, 4 + 4 * i))]
        width = {b"li": 4, b"lf": 8, b"lh": 8}[sig]
        return [u32(p, 4 + width * i) for i in range(count)]

    def value(self, offset):
        p = self.payload(offset)
        assert p[:2] == b"vk"
        name = self.name(p[20 : 20 + u16(p, 2)], u16(p, 16) & 1)
        return hivegen.Value(name, u32(p, 12), self.data(u32(p, 4), u32(p, 8)))

    def data(self, size, offset):
        if size & 0x80000000:
            return struct.pack("<I", offset)[: size & 0x7FFFFFFF]
        p = self.payload(offset)
        if size <= 16344 or p[:2] != b"db":
            assert len(p) >= size
            return p[:size]
        count, seg_list = u16(p, 2), u32(p, 4)
        segments = self.payload(seg_list)
        # Every segment but the last carries 16344 bytes of data.
        data = b"".join(self.payload(u32(segments, 4 * i))[:16344] for i in range(count))
        assert len(data) >= size
        return data[:size]


def assert_same_tree(actual, expected):
    assert actual.name == expected.name
    assert actual.last_written == expected.last_written
    assert actual.values == expected.values, actual.name
    assert [k.name for k in actual.subkeys] == [k.name for k in expected.subkeys]
    for a, e in zip(actual.subkeys, expected.subkeys):
        assert_same_tree(a, e)


def read_tree(image):
    return Reader(image).key(u32(image, 36), parent=0)


def wide_tree(n, list_kind):
    return hivegen.Key("Wide", list_kind=list_kind, subkeys=[
        hivegen.Key(f"k{i}", values=[hivegen.Value("i", hivegen.REG_DWORD, hivegen.dword(i))])
        for i in range(n)
    ])


# --- base block -----------------------------------------------------------------------


@pytest.mark.parametrize("field, offset, fmt, value", [
    ("signature", 0, "4s", b"rege"),
    ("primary_sequence", 4, "<I", 7),
    ("secondary_sequence", 8, "<I", 9),
    ("last_written", 12, "<Q", 0x01D9_0000_1234_5678),
    ("major", 20, "<I", 2),
    ("minor", 24, "<I", 6),
    ("file_type", 28, "<I", 1),
    ("file_format", 32, "<I", 2),
    ("root_cell_offset", 36, "<I", 0x7FF8),
    ("hive_bins_data_size", 40, "<I", 0x123000),
    ("clustering_factor", 44, "<I", 4),
    ("file_name", 48, "64s", "SYSTEM".encode("utf-16-le").ljust(64, b"\0")),
])
def test_base_block_field_positions(field, offset, fmt, value):
    block = hivegen.base_block(**{field: value})
    assert len(block) == 4096
    assert struct.unpack_from(fmt, block, offset)[0] == value
    assert u32(block, 508) == functools.reduce(operator.xor, struct.unpack_from("<127I", block))
    assert not any(block[512:])


@pytest.mark.parametrize("stored", [0, 0x1234, 0xFFFFFFFF])
def test_base_block_stores_a_given_checksum_raw(stored):
    block = hivegen.base_block(checksum=stored)
    assert u32(block, 508) == stored
    assert hivegen.checksum(block) == hivegen.checksum(hivegen.base_block())


def test_checksum_is_the_plain_xor_of_words_before_508():
    words = [0] * 128
    words[0], words[1], words[126], words[127] = 0xFFFFFFFF, 0x0F0F0F0F, 0x10, 0xAAAA
    # Word 127 is the checksum slot itself and must not count; a result of 0xF0F0F0E0
    # is returned as it is.
    assert hivegen.checksum(struct.pack("<128I", *words)) == 0xF0F0F0E0
    words = [0x5A5A5A5A, 0x5A5A5A5A] + [0] * 126
    assert hivegen.checksum(struct.pack("<128I", *words)) == 0  # no 0 -> 1 remapping


# --- cells and bins -------------------------------------------------------------------


def test_cells_fill_bins_and_a_big_cell_gets_a_bin_of_its_own():
    b = hivegen.HiveBuilder()
    first = b.alloc(b"x" * 5)  # 9 bytes -> a 16-byte cell
    second = b.alloc(b"", size=-3)  # a broken size is stored as given
    big = b.alloc(bytes(5000))  # does not fit in what is left of bin 0
    after = b.alloc(b"y" * 12, free=True)
    assert (first, second, big, after) == (0x20, 0x30, 0x1020, 0x1020 + 5008)
    assert b.bins == [(0, 4096), (4096, 8192)]
    image = b.build(root=first)
    bins = BIN_START
    assert struct.unpack_from("<i", image, bins + second)[0] == -3
    # Bin 0: 0x38..0x1000 is one free cell; bin 1 ends with one after the free 16-byte cell.
    assert struct.unpack_from("<i", image, bins + 0x38)[0] == 0x1000 - 0x38
    assert struct.unpack_from("<i", image, bins + after)[0] == 16
    assert struct.unpack_from("<i", image, bins + after + 16)[0] == 0x3000 - (after + 16)
    # With the broken cell repaired the tiling holds.
    image = bytearray(image)
    struct.pack_into("<i", image, bins + second, -8)
    assert walk_cells(bytes(image))[big] == (-5008, bytes(5004))


def test_empty_builder_gives_a_bare_base_block():
    image = hivegen.HiveBuilder().build(root=0x20)
    assert len(image) == 4096 and u32(image, 40) == 0


def test_patch_writes_inside_the_payload():
    b = hivegen.HiveBuilder()
    b.alloc(b"a" * 8)
    cell = b.reserve(8)
    b.patch(cell, 4, b"\x01\x02")
    assert walk_cells(b.build(root=0x20))[cell] == (-16, b"\0" * 4 + b"\x01\x02" + b"\0" * 6)
    with pytest.raises(ValueError):
        b.patch(cell, 4096, b"x")


# --- records --------------------------------------------------------------------------


@pytest.mark.parametrize("name, kwargs, flags, stored", [
    ("Software", {}, 0x20, b"Software"),
    ("ROOT", {"root": True}, 0x2C, b"ROOT"),
    ("Café", {}, 0, "Café".encode("utf-16-le")),
    ("Café", {"flags": 0x20}, 0x20, b"Caf\xe9"),
    ("A", {"flags": 0}, 0, b"A\0"),
    (b"R\0O\0", {"flags": 0}, 0, b"R\0O\0"),
    (b"\xe9", {}, 0x20, b"\xe9"),
])
def test_key_node_name_forms(name, kwargs, flags, stored):
    b = hivegen.HiveBuilder()
    offset = b.nk(name, **kwargs)
    p = walk_cells(b.build(root=offset))[offset][1]
    assert p[:2] == b"nk" and u16(p, 2) == flags
    assert u16(p, 72) == len(stored) and p[76 : 76 + len(stored)] == stored


def test_key_node_fixed_fields():
    p = hivegen.nk_record(
        "k", last_written=0x1122334455667788, parent=0x20, subkey_count=3, subkey_list=0x100,
        value_count=4, value_list=0x200, name_length=9, signature=b"nK", work_var=5)
    assert len(p) == 77 and p[:2] == b"nK"
    assert struct.unpack_from("<Q", p, 4)[0] == 0x1122334455667788
    assert [u32(p, at) for at in (16, 20, 28, 32, 36, 40, 44, 48, 68)] == [
        0x20, 3, 0x100, 0xFFFFFFFF, 4, 0x200, 0xFFFFFFFF, 0xFFFFFFFF, 5]
    assert u16(p, 72) == 9


@pytest.mark.parametrize("name, expected_lf, expected_lh", [
    ("Software", int.from_bytes(b"Soft", "little"), None),
    ("ab", int.from_bytes(b"ab\0\0", "little"), 65 * 37 + 66),
    ("", 0, 0),
])
def test_list_hashes(name, expected_lf, expected_lh):
    assert hivegen.lf_hash(name) == expected_lf
    if expected_lh is not None:
        assert hivegen.lh_hash(name) == expected_lh


@pytest.mark.parametrize("kind, count, hashes, expected", [
    ("li", None, None, b"li\x02\x00" + struct.pack("<2I", 0x20, 0x80)),
    ("ri", 5, None, b"ri\x05\x00" + struct.pack("<2I", 0x20, 0x80)),
    ("lf", None, [7], b"lf\x02\x00" + struct.pack("<4I", 0x20, 7, 0x80, 0)),
    (b"lx", None, None, b"lx\x02\x00" + struct.pack("<2I", 0x20, 0x80)),
])
def test_subkey_list_records(kind, count, hashes, expected):
    assert hivegen.subkey_list_record(kind, [0x20, 0x80], count=count, hashes=hashes) == expected


@pytest.mark.parametrize("data, size_field, offset_field", [
    (b"", 0x80000000, 0),
    (b"\x78", 0x80000001, 0x78),
    (b"\x78\x56\x34\x12", 0x80000004, 0x12345678),
])
def test_small_data_is_held_in_the_value_key(data, size_field, offset_field):
    b = hivegen.HiveBuilder()
    vk = b.vk("v", hivegen.REG_BINARY, data)
    cells = walk_cells(b.build(root=0x20))
    assert list(cells) == [vk, vk + 32]  # the value key and the bin's free tail
    p = cells[vk][1]
    assert (u32(p, 4), u32(p, 8), u32(p, 12), u16(p, 16)) == (size_field, offset_field, 3, 1)


@pytest.mark.parametrize("size, minor, segments", [
    (5, 5, None),
    (16344, 5, None),
    (16345, 5, [16344, 1]),
    (16344 * 2, 5, [16344, 16344]),
    (40000, 4, [16344, 16344, 7312]),
    (40000, 3, None),  # before big-data records: one ordinary cell
])
def test_value_data_layout(size, minor, segments):
    data = bytes((i * 31 + i // 256) & 0xFF for i in range(size))
    b = hivegen.HiveBuilder(minor=minor)
    vk = b.vk("big", hivegen.REG_BINARY, data)
    image = b.build(root=0x20)
    assert u32(image, 24) == minor
    reader = Reader(image)
    p = reader.payload(vk)
    assert u32(p, 4) == size
    cell = reader.payload(u32(p, 8))
    if segments is None:
        assert cell[:size] == data and len(cell) == (size + 4 + 7) // 8 * 8 - 4
        return
    assert cell[:2] == b"db" and u16(cell, 2) == len(segments) and len(cell) == 12
    seg_list = reader.payload(u32(cell, 4))
    joined = b""
    for i, length in enumerate(segments):
        seg = u32(seg_list, 4 * i)
        cell_size, payload = reader.cells[seg]
        if length == 16344:
            assert cell_size == -16352 and payload[16344:] == bytes(4)
        else:
            assert cell_size == -((length + 4 + 7) // 8 * 8)
        joined += payload[:length]
    assert joined == data


def test_value_key_raw_overrides_skip_the_data():
    b = hivegen.HiveBuilder()
    vk = b.vk("v", 0x20, b"123456", data_size=100, data_offset=0x7FF8, name_length=0,
              signature=b"nk")
    cells = walk_cells(b.build(root=0x20))
    p = cells[vk][1]
    assert p[:2] == b"nk" and (u16(p, 2), u32(p, 4), u32(p, 8), u32(p, 12)) == (0, 100, 0x7FF8, 0x20)
    assert len(cells) == 2  # no data cell was written


# --- whole trees ----------------------------------------------------------------------


@pytest.mark.parametrize("minor, bin_size", [(3, 4096), (5, 4096), (6, 16384)])
def test_sample_tree_reads_back(minor, bin_size):
    tree = hivegen.sample_tree()
    image = hivegen.build_tree(tree, minor=minor, bin_size=bin_size)
    assert_same_tree(read_tree(image), tree)
    types = set()
    stack = [tree]
    while stack:
        key = stack.pop()
        stack += key.subkeys
        types |= {v.type_id for v in key.values}
    assert set(range(12)) < types and max(types) > 11


@pytest.mark.parametrize("n, list_kind, ri_threshold, top, leaves", [
    (3, "lf", 1000, b"lf", None),
    (3, "li", 1000, b"li", None),
    (3, "ri", 1000, b"ri", [b"lh"]),
    (2, "lf", 2, b"lf", None),
    (3, "lf", 2, b"ri", [b"lf", b"lf"]),
    (5, "lh", 2, b"ri", [b"lh", b"lh", b"lh"]),
    (4, "li", 2, b"ri", [b"li", b"li"]),
])
def test_subkey_list_shapes(n, list_kind, ri_threshold, top, leaves):
    tree = wide_tree(n, list_kind)
    image = hivegen.build_tree(tree, ri_threshold=ri_threshold)
    assert_same_tree(read_tree(image), tree)
    reader = Reader(image)
    top_list = reader.payload(u32(reader.payload(u32(image, 36)), 28))
    assert top_list[:2] == top
    if leaves is not None:
        assert [reader.payload(u32(top_list, 4 + 4 * i))[:2] for i in range(u16(top_list, 2))] == leaves


def test_a_key_object_used_twice_is_written_twice():
    shared = hivegen.Key("Twice", values=[hivegen.Value("", hivegen.REG_SZ, hivegen.sz("d"))])
    tree = hivegen.Key("ROOT", subkeys=[shared, hivegen.Key("Other"), shared], values=[
        hivegen.Value("Ключ", hivegen.REG_MULTI_SZ, hivegen.multi_sz(["a", "б"])),
    ])
    image = hivegen.build_tree(tree)
    assert_same_tree(read_tree(image), tree)  # also checks every parent offset
    reader = Reader(image)
    root = reader.payload(u32(image, 36))
    assert u16(root, 2) == 0x2C  # hive entry, no delete, 8-bit name
    first, _, third = reader.subkey_offsets(u32(root, 28))
    assert first != third


def test_deep_tree_is_written_without_recursion():
    depth = 3 * sys.getrecursionlimit()
    tree = hivegen.Key("d0")
    for i in range(1, depth):
        tree = hivegen.Key(f"d{i}", subkeys=[tree])
    image = hivegen.build_tree(tree)
    reader = Reader(image)
    names, parent, offset = [], 0, u32(image, 36)
    while True:
        p = reader.payload(offset)
        assert u32(p, 16) == parent
        names.append(p[76 : 76 + u16(p, 72)].decode())
        if not u32(p, 20):
            break
        [child] = reader.subkey_offsets(u32(p, 28))
        parent, offset = offset, child
    assert names == [f"d{i}" for i in reversed(range(depth))]


def test_build_is_deterministic():
    assert hivegen.build_tree(hivegen.sample_tree()) == hivegen.build_tree(hivegen.sample_tree())


def test_command_line_writes_the_sample(tmp_path):
    out = tmp_path / "SYSTEM"
    script = pathlib.Path(hivegen.__file__)
    subprocess.run([sys.executable, str(script), "sample", str(out)], check=True,
                   capture_output=True)
    image = out.read_bytes()
    assert_same_tree(read_tree(image), hivegen.sample_tree())


# --- transaction logs -----------------------------------------------------------------


def read_log(log):
    """The dirty pages of a log, following the block scan rules of the log layout."""
    assert log[:4] == b"HvLE" and not any(log[8:4096])
    pages = []
    for block in range(4096, len(log) - 511, 4096):
        if log[block : block + 4] != b"DIRT":
            continue
        p = block + 16
        for _ in range(u32(log, block + 8)):
            target, size = u32(log, p), u32(log, p + 4)
            pages.append((target, log[p + 8 : p + 8 + size]))
            p += 8 + size
    return u32(log, 4), pages


def test_log_blocks_sit_on_4096_boundaries():
    long_page = b"\xab" * 5000  # runs the first block past 8192
    log = hivegen.transaction_log(7, [
        [(0, b"regf"), (0x1000, long_page)],
        [(0x2000, b"\x01" * 16)],
        [],
    ])
    assert len(log) % 4096 == 0
    # Block 1 at 4096: header, then records packed with no alignment.
    assert log[4096:4112] == b"DIRT" + struct.pack("<III", 0, 2, 0)
    assert log[4112:4124] == struct.pack("<II", 0, 4) + b"regf"
    assert log[4124:4132] == struct.pack("<II", 0x1000, 5000)
    # Its records end at 4132 + 5000 = 9132, so block 2 starts at 12288, block 3 at 16384.
    assert log[8192:12288].strip(b"\xab\0") == b""
    assert log[12288:12292] == b"DIRT" and log[16384:16400] == b"DIRT" + bytes(12)
    assert read_log(log) == (7, [(0, b"regf"), (0x1000, long_page), (0x2000, b"\x01" * 16)])


def test_hand_made_dirt_blocks():
    raw = hivegen.dirt_block(struct.pack("<II", 0x1000, 0), count=3)
    assert raw == b"DIRT" + struct.pack("<III", 0, 3, 0) + struct.pack("<II", 0x1000, 0)
    lying = hivegen.dirt_block([(0x1000, 0x10001, b"ab")], count=1001)
    assert lying[8:12] == struct.pack("<I", 1001) and lying[16:26] == struct.pack("<II", 0x1000, 0x10001) + b"ab"
    log = hivegen.transaction_log(1, [raw], signature=b"regf")
    assert log[:8] == b"regf\x01\0\0\0" and log[4096 : 4096 + len(raw)] == raw
    assert len(hivegen.transaction_log(1, [])) == 4096
    with pytest.raises(TypeError):
        hivegen.dirt_block(b"")
