"""Hive.hbins(): the walk over the bin headers and the HbinHeader objects it returns."""

import gc
import struct

import pytest

import hivegen
import kelpa
from conftest import raises

THREE = [(0x0, 0x1000), (0x1000, 0x2000), (0x3000, 0x1000)]
UPPER_HBIN = int.from_bytes(b"HBIN", "little")


def three_bins(**base_block_overrides) -> bytearray:
    """A hive whose bins are 0x1000, 0x2000 and 0x1000 bytes long and cover it exactly."""
    builder = hivegen.HiveBuilder()
    for _, size in THREE:
        builder.start_bin(size)
    return bytearray(builder.build(root=0x20, **base_block_overrides))


def with_header_u32(image: bytearray, bin_offset: int, field: int, value: int) -> bytearray:
    struct.pack_into("<I", image, 4096 + bin_offset + field, value)
    return image


def walk(tmp_path, image) -> list[tuple[int, int]]:
    path = tmp_path / "hive"
    path.write_bytes(bytes(image))
    return [(h.offset, h.size) for h in kelpa.Hive.open(str(path)).hbins()]


def test_header_objects(tmp_path):
    path = tmp_path / "hive"
    path.write_bytes(bytes(three_bins()))
    hive = kelpa.Hive.open(str(path))
    headers = hive.hbins()
    del hive
    gc.collect()  # the headers are detached copies
    assert [(h.signature, h.offset, h.size) for h in headers] == [("hbin", o, s) for o, s in THREE]
    assert [str(h) for h in headers] == [repr(h) for h in headers] == [
        "HbinHeader(offset=0x0, size=0x1000)", "HbinHeader(offset=0x1000, size=0x2000)",
        "HbinHeader(offset=0x3000, size=0x1000)"]
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
    (with_header_u32(three_bins(), 0x1000, 8, 8), [(0x0, 0x1000), (0x1000, 8)]),  # no "hbin" 8 bytes on
    (with_header_u32(three_bins(), 0x1000, 8, 0x3000), [(0x0, 0x1000), (0x1000, 0x3000)]),  # to the image end
    (with_header_u32(three_bins(), 0x1000, 8, 0x3001), [(0x0, 0x1000), (0x1000, 0x3001)]),  # past it
    # 0x1000 + 0xFFFFF000 wraps to 0 in 32 bits: a walk that wrapped would loop for ever
    (with_header_u32(three_bins(), 0x1000, 8, 0xFFFFF000), [(0x0, 0x1000), (0x1000, 0xFFFFF000)]),
    # without "hbin" the walk ends before the offset field is looked at
    (with_header_u32(with_header_u32(three_bins(), 0x1000, 0, UPPER_HBIN), 0x1000, 4, 0x1234), [(0x0, 0x1000)]),
])
def test_walk(tmp_path, image, expected):
    assert walk(tmp_path, image) == expected


@pytest.mark.parametrize("image, message", [
    (three_bins() + b"h", "Truncated data at offset 0x4000: expected 32 bytes, got 1 bytes"),
    (three_bins() + b"h" * 31, "Truncated data at offset 0x4000: expected 32 bytes, got 31 bytes"),
    (with_header_u32(three_bins(), 0x1000, 4, 0x2000),
     "Invalid format: Hbin offset mismatch: expected 0x1000, found 0x2000"),
    (with_header_u32(three_bins(), 0x0, 4, 0xFFFFFFFF),
     "Invalid format: Hbin offset mismatch: expected 0x0, found 0xffffffff"),
    # a size of 0 would name the bin as its own successor
    (with_header_u32(three_bins(), 0x1000, 8, 0), "Invalid format: Hbin at offset 0x1000 has size 0"),
    (with_header_u32(three_bins(), 0x0, 8, 0), "Invalid format: Hbin at offset 0x0 has size 0"),
])
def test_walk_errors(tmp_path, image, message):
    path = tmp_path / "hive"
    path.write_bytes(bytes(image))
    hive = kelpa.Hive.open(str(path))
    for _ in range(2):
        with raises(ValueError, message):
            hive.hbins()
    assert hive.base_block().signature == "regf"  # the hive stays usable


def test_replayed_hive_walks_its_own_image(tmp_path):
    # A log page that appends a fourth bin: the walk sees the image after replay.
    image = three_bins()
    log = hivegen.transaction_log(1, [[(len(image), struct.pack("<4sII", b"hbin", 0x4000, 0x1000) + bytes(4084))]])
    (tmp_path / "hive").write_bytes(bytes(image))
    (tmp_path / "log").write_bytes(log)
    hive = kelpa.Hive.open_with_logs(str(tmp_path / "hive"), str(tmp_path / "log"))
    assert [(h.offset, h.size) for h in hive.hbins()] == THREE + [(0x4000, 0x1000)]
