"""Hive.hbins(): the walk over the bin headers and the HbinHeader objects it returns."""

import gc
import re
import struct

import pytest

import hivegen
import kelpa

BINS_START = hivegen.BASE_BLOCK_SIZE


def three_bins() -> bytearray:
    """A hive whose bins are 0x1000, 0x2000 and 0x1000 bytes long and cover it exactly."""
    builder = hivegen.HiveBuilder()
    for size in (0x1000, 0x2000, 0x1000):
        builder.start_bin(size)
    return bytearray(builder.build(root=0x20))


def set_header_u32(image: bytearray, bin_offset: int, field: int, value: int) -> None:
    struct.pack_into("<I", image, BINS_START + bin_offset + field, value)


def walk(tmp_path, image) -> list[tuple[int, int]]:
    path = tmp_path / "hive"
    path.write_bytes(bytes(image))
    return [(h.offset, h.size) for h in kelpa.Hive.open(str(path)).hbins()]


THREE = [(0x0, 0x1000), (0x1000, 0x2000), (0x3000, 0x1000)]


def test_headers_in_file_order(tmp_path):
    path = tmp_path / "hive"
    path.write_bytes(bytes(three_bins()))
    headers = kelpa.Hive.open(str(path)).hbins()
    assert [repr(h) for h in headers] == [
        "HbinHeader(offset=0x0, size=0x1000)",
        "HbinHeader(offset=0x1000, size=0x2000)",
        "HbinHeader(offset=0x3000, size=0x1000)",
    ]
    assert [h.offset for h in headers] == [0, 4096, 12288]
    assert {h.signature for h in headers} == {"hbin"}


@pytest.mark.parametrize("tail, expected", [
    (b"", THREE),
    (bytes(4096), THREE),  # slack after the last bin ends the walk
    (bytes(32), THREE),  # a whole header's room without "hbin"
    (b"hbix" + bytes(28), THREE),
], ids=["exact", "zero-page", "zero-header", "near-signature"])
def test_walk_ends_at_end_or_first_non_bin(tmp_path, tail, expected):
    assert walk(tmp_path, three_bins() + tail) == expected


@pytest.mark.parametrize("tail_length", [1, 16, 31])
def test_short_tail_is_truncated_header(tmp_path, tail_length):
    image = three_bins() + b"h" * tail_length
    with pytest.raises(ValueError) as caught:
        walk(tmp_path, image)
    assert type(caught.value) is ValueError
    assert str(caught.value) == f"Truncated data at offset 0x4000: expected 32 bytes, got {tail_length} bytes"


def test_base_block_only_has_no_bins(tmp_path):
    assert walk(tmp_path, hivegen.base_block()) == []


def test_bins_data_size_field_is_not_the_limit(tmp_path):
    # The walk runs to the end of the image whatever the base block claims.
    builder = hivegen.HiveBuilder()
    for size in (0x1000, 0x2000, 0x1000):
        builder.start_bin(size)
    assert walk(tmp_path, builder.build(root=0x20, hive_bins_data_size=0x1000)) == THREE


@pytest.mark.parametrize("second_size, expected", [
    (8, [(0x0, 0x1000), (0x1000, 8)]),  # 8 bytes on there is no "hbin": the walk ends
    (0x3000, [(0x0, 0x1000), (0x1000, 0x3000)]),  # lands exactly on the end of the image
    (0x3001, [(0x0, 0x1000), (0x1000, 0x3001)]),  # overshoots the end
    # 0x1000 + 0xFFFFF000 wraps to 0 in 32 bits: a walk that wrapped would loop for ever.
    (0xFFFFF000, [(0x0, 0x1000), (0x1000, 0xFFFFF000)]),
    (0xFFFFFFFF, [(0x0, 0x1000), (0x1000, 0xFFFFFFFF)]),
])
def test_size_is_only_the_step(tmp_path, second_size, expected):
    image = three_bins()
    set_header_u32(image, 0x1000, 8, second_size)
    assert walk(tmp_path, image) == expected


@pytest.mark.parametrize("bin_offset, field, value, message", [
    (0x1000, 4, 0x2000, "Invalid format: Hbin offset mismatch: expected 0x1000, found 0x2000"),
    (0x0, 4, 0xFFFFFFFF, "Invalid format: Hbin offset mismatch: expected 0x0, found 0xffffffff"),
    (0x3000, 4, 0x0, "Invalid format: Hbin offset mismatch: expected 0x3000, found 0x0"),
    # A size of 0 would name the bin as its own successor.
    (0x1000, 8, 0, "Invalid format: Hbin at offset 0x1000 has size 0"),
    (0x0, 8, 0, "Invalid format: Hbin at offset 0x0 has size 0"),
])
def test_header_contradicting_the_chain(tmp_path, bin_offset, field, value, message):
    image = three_bins()
    set_header_u32(image, bin_offset, field, value)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        walk(tmp_path, image)


def test_offset_checked_after_signature(tmp_path):
    # A position without "hbin" ends the walk before its offset field is looked at.
    image = three_bins()
    image[BINS_START + 0x1000 : BINS_START + 0x1004] = b"HBIN"
    set_header_u32(image, 0x1000, 4, 0x1234)
    assert walk(tmp_path, image) == [(0x0, 0x1000)]


def test_failed_walk_leaves_hive_usable(tmp_path):
    image = three_bins() + bytes(8)
    path = tmp_path / "hive"
    path.write_bytes(bytes(image))
    hive = kelpa.Hive.open(str(path))
    for _ in range(2):
        with pytest.raises(ValueError, match="expected 32 bytes, got 8 bytes"):
            hive.hbins()
    assert hive.base_block().signature == "regf"


def test_replayed_hive_walks_owned_image(tmp_path):
    # A log page that appends a fourth bin: the walk sees the image after replay.
    image = three_bins()
    new_bin = bytearray(0x1000)
    struct.pack_into("<4sII", new_bin, 0, b"hbin", 0x4000, 0x1000)
    log = hivegen.transaction_log(1, [[(len(image), bytes(new_bin))]])
    (tmp_path / "hive").write_bytes(bytes(image))
    (tmp_path / "log").write_bytes(log)
    hive = kelpa.Hive.open_with_logs(str(tmp_path / "hive"), str(tmp_path / "log"))
    assert [(h.offset, h.size) for h in hive.hbins()] == THREE + [(0x4000, 0x1000)]


def test_headers_outlive_hive(tmp_path):
    path = tmp_path / "hive"
    path.write_bytes(bytes(three_bins()))
    hive = kelpa.Hive.open(str(path))
    headers = hive.hbins()
    del hive
    gc.collect()
    assert [(h.offset, h.size) for h in headers] == THREE


def test_header_object_is_read_only(tmp_path):
    path = tmp_path / "hive"
    path.write_bytes(bytes(three_bins()))
    header = kelpa.Hive.open(str(path)).hbins()[0]
    assert str(header) == repr(header)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        kelpa.HbinHeader()
    for name in ("signature", "offset", "size"):
        with pytest.raises(AttributeError):
            setattr(header, name, 1)
