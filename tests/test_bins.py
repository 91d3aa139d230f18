"""Hive.hbins(): the walk over the bin headers and the HbinHeader objects it returns (of a replayed image: in
test_log_replay.py)."""

import struct

import pytest

import hivegen
from conftest import error, open_hive, outcome

THREE = [(0x0, 0x1000), (0x1000, 0x2000), (0x3000, 0x1000)]


def three_bins(*fields, **base_block_overrides) -> bytes:
    """Bins of 0x1000, 0x2000 and 0x1000 bytes covering the hive; ``fields``: (bin, field, u32) to set."""
    builder = hivegen.HiveBuilder()
    for _, size in THREE:
        builder.start_bin(size)
    for bin_offset, at, value in fields:
        builder.poke(bin_offset + at, struct.pack("<I", value))
    return builder.build(root=0x20, **base_block_overrides)


def test_header_objects(tmp_path):
    headers = open_hive(tmp_path, three_bins()).hbins()  # detached copies: the hive is gone
    assert [(h.signature, h.offset, h.size, str(h), repr(h)) for h in headers] == [
        ("hbin", o, s, f"HbinHeader(offset={o:#x}, size={s:#x})", f"HbinHeader(offset={o:#x}, size={s:#x})")
        for o, s in THREE]
    for name in ("signature", "offset", "size"):
        with pytest.raises(AttributeError):
            setattr(headers[0], name, 1)


@pytest.mark.parametrize("image, expected", [
    (three_bins(), THREE),
    (three_bins() + bytes(4096), THREE),  # slack after the last bin ends the walk
    (three_bins() + b"hbix" + bytes(28), THREE),  # a whole header's room without "hbin"
    (three_bins(hive_bins_data_size=0x1000), THREE),  # the walk runs to the end of the image
    (hivegen.base_block(), []),
    # a header's size is only the step to the next one
    (three_bins((0x1000, 8, 8)), [(0x0, 0x1000), (0x1000, 8)]),
    (three_bins((0x1000, 8, 0x3000)), [(0x0, 0x1000), (0x1000, 0x3000)]),  # to the image end
    (three_bins((0x1000, 8, 0x3001)), [(0x0, 0x1000), (0x1000, 0x3001)]),  # past it
    (three_bins((0x1000, 8, 0xFFFFF000)), [(0x0, 0x1000), (0x1000, 0xFFFFF000)]),  # no wrap to 0 in 32 bits
    # without "hbin" the walk ends before the offset field is looked at
    (three_bins((0x1000, 0, int.from_bytes(b"HBIN", "little")), (0x1000, 4, 0x1234)), [(0x0, 0x1000)]),
    (three_bins() + b"h", "Truncated data at offset 0x4000: expected 32 bytes, got 1 bytes"),
    (three_bins() + b"h" * 31, "Truncated data at offset 0x4000: expected 32 bytes, got 31 bytes"),
    (three_bins((0x1000, 4, 0x2000)), "Invalid format: Hbin offset mismatch: expected 0x1000, found 0x2000"),
    (three_bins((0, 4, 0xFFFFFFFF)), "Invalid format: Hbin offset mismatch: expected 0x0, found 0xffffffff"),
    (three_bins((0x1000, 8, 0)), "Invalid format: Hbin at offset 0x1000 has size 0"),  # its own successor
    (three_bins((0, 8, 0)), "Invalid format: Hbin at offset 0x0 has size 0"),
])
def test_walk(tmp_path, image, expected):
    hive = open_hive(tmp_path, image)
    for _ in range(2):
        assert outcome(lambda: [(h.offset, h.size) for h in hive.hbins()]) == (
            expected if isinstance(expected, list) else error(expected))
    assert hive.base_block().signature == "regf"  # the hive stays usable

