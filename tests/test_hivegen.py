"""A few sharp checks that hivegen writes what real parsers expect, read back with struct
from the format's own offsets; the reader tests exercise the writer end to end."""

import struct

import pytest

import hivegen


def u32(buf, at):
    return struct.unpack_from("<I", buf, at)[0]


def walk_cells(image):
    """Checks the bin chain (each bin names its own offset, bins end exactly at the bins data
    size) and that 8-aligned cells tile every bin; returns {cell offset: (size, payload)}."""
    bins_size = u32(image, 40)
    assert len(image) == 4096 + bins_size
    cells, offset = {}, 0
    while offset < bins_size:
        sig, own_offset, size = struct.unpack_from("<4sII", image, 4096 + offset)
        assert (sig, own_offset) == (b"hbin", offset) and size % 4096 == 0
        cell = offset + 32
        while cell < offset + size:
            (cell_size,) = struct.unpack_from("<i", image, 4096 + cell)
            length = abs(cell_size)
            assert cell % 8 == 0 and length % 8 == 0 and cell + length <= offset + size, hex(cell)
            cells[cell] = (cell_size, image[4096 + cell + 4 : 4096 + cell + length])
            cell += length
        offset += size
    return cells


def test_base_block_checksum():
    # The plain XOR of the 127 words before offset 508 (the 128th is left out), with no 0 -> 1
    # remapping.
    assert hivegen.checksum(struct.pack("<128I", 0x5A5A5A5A, 0x5A5A5A5A, *[0] * 125, 0xAAAA)) == 0


@pytest.mark.parametrize("bin_size", [4096, 16384])
def test_sample_tree_tiles_its_bins(bin_size):
    assert walk_cells(hivegen.build_tree(hivegen.sample_tree(), bin_size=bin_size))


@pytest.mark.parametrize("size, minor, segments", [
    (16344, 5, None),
    (16345, 5, [16344, 1]),
    (40000, 4, [16344, 16344, 7312]),
    (40000, 3, None),  # before big-data records: one ordinary cell
])
def test_big_data_segment_layout(size, minor, segments):
    b = hivegen.HiveBuilder(minor=minor)
    data = bytes((i * 31 + i // 256) & 0xFF for i in range(size))
    vk = b.vk("big", hivegen.REG_BINARY, data)
    cells = walk_cells(b.build(root=0x20))
    vk_payload = cells[vk][1]
    assert u32(vk_payload, 4) == size
    _, record = cells[u32(vk_payload, 8)]
    if segments is None:
        assert record[:size] == data
        return
    assert record[:4] == b"db" + struct.pack("<H", len(segments))
    seg_list = cells[u32(record, 4)][1]
    joined = b""
    for i, length in enumerate(segments):
        cell_size, payload = cells[u32(seg_list, 4 * i)]
        # A full segment is a 16352-byte cell: 16344 data bytes, then 4 unused ones.
        assert cell_size == (-16352 if length == 16344 else -((length + 4 + 7) // 8 * 8))
        joined += payload[:length]
    assert joined == data


def test_log_record_layout():
    long_page = b"\xab" * 5000  # runs the first block's records past 8192
    log = hivegen.transaction_log(7, [[(0, b"regf"), (0x1000, long_page)], [(0x2000, b"\x01" * 16)]])
    assert log[:8] == b"HvLE" + struct.pack("<I", 7) and len(log) % 4096 == 0
    assert log[4096:4112] == b"DIRT" + struct.pack("<III", 0, 2, 0)
    assert log[4112:4132] == struct.pack("<II", 0, 4) + b"regf" + struct.pack("<II", 0x1000, 5000)
    # The records end at 9132: the next block starts at the following 4096 boundary.
    assert log[8192:12288].strip(b"\xab\0") == b""
    assert log[12288:12320] == b"DIRT" + struct.pack("<IIIII", 0, 1, 0, 0x2000, 16) + b"\x01" * 8
