"""Hives with deleted records for the deleted-record scan. Windows deletes a record by making its
cell's size positive; a freed cell then merges with the free cells beside it, so that one free
cell's payload holds the old records of several cells, each behind its old (positive) size field."""

import struct

import hivegen

FILETIME = 0x01D3_0000_0000_0000
SCRAP = 0x1000  # the bin that receives old cells by hand; its body is one free cell


def old_cell(b: hivegen.HiveBuilder, offset: int, payload: bytes, size: int | None = None) -> None:
    """An old record inside a free cell: its positive size field (the payload rounded up to 8
    unless given) and its payload."""
    b.poke(offset, struct.pack("<i", size if size is not None else -(-(len(payload) + 4) // 8) * 8) + payload)


def scene(drop_last_bin: bool = False) -> tuple[bytes, list[str], list[tuple[str, bytes]]]:
    """A hive, the deleted key names and the deleted (value name, data) pairs it holds, in image
    order. With ``drop_last_bin`` the base block's bins data size ends before the scrap bin, whose
    cells are then part of the space after the last bin: its records count whatever their
    cells' sign, and no bin end cuts them short."""
    b, nk, vk = hivegen.HiveBuilder(), hivegen.nk_record, hivegen.vk_record
    # Deleted in place: a key with a value and a subkey, every cell freed one by one.
    data = b.alloc(hivegen.sz("old data"))
    value = b.vk("Gone", hivegen.REG_SZ, data_size=18, data_offset=data)
    sub = b.nk("Child", last_written=FILETIME)
    lf, vl = b.subkey_list("lf", [sub]), b.value_list([value])
    gone = b.nk("Deleted", last_written=FILETIME, subkey_count=1, subkey_list=lf, value_count=1, value_list=vl)
    for offset in (data, value, sub, lf, vl, gone):
        b.poke(offset, struct.pack("<i", -struct.unpack_from("<i", b._data, offset)[0]))
    # A live key whose cell is larger than its record: the slack holds an old value key.
    live = b.alloc(nk("Live") + bytes(60))
    old_cell(b, live + 88, vk("Slack", hivegen.REG_BINARY, data_size=0x80000002, data_offset=0x4241))
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=b.subkey_list("lf", [live]))
    b.patch(live, 16, struct.pack("<I", root))  # its parent
    b.start_bin()  # SCRAP: one free cell of 4064 bytes from 0x1020
    # One coalesced free cell holding three old records; the first is the free cell's own.
    b.poke(SCRAP + 0x24, nk("First", last_written=FILETIME))
    old_cell(b, SCRAP + 0x80, nk("Second key"))  # a space is no control character
    old_cell(b, SCRAP + 0xE0, vk("Old", hivegen.REG_DWORD, data_size=0x80000004, data_offset=7))
    # Data of up to 4 bytes is read from the offset field, inline bit or not, so any offset passes.
    old_cell(b, SCRAP + 0x310, vk("Four", hivegen.REG_DWORD, data_size=4, data_offset=0x04030201))
    # Plausible-looking garbage, each whole inside the free cell: a control character in the name,
    # a backslash, a list offset that is no cell position, inline data of 8 bytes, a key that
    # does not start at a cell position, a name that is not UTF-16.
    old_cell(b, SCRAP + 0x100, nk("Bad\x01"))
    old_cell(b, SCRAP + 0x160, nk("a\\b"))
    old_cell(b, SCRAP + 0x1C0, nk("Odd", value_count=1, value_list=0x1234))
    old_cell(b, SCRAP + 0x220, vk("Wide", 4, data_size=0x80000008, data_offset=0))
    old_cell(b, SCRAP + 0x244, nk("Unaligned"))
    old_cell(b, SCRAP + 0x2B0, nk(b"\x00\xd8", flags=0))
    # An old cell cut short: its size runs past the end of the bin, into the next one.
    old_cell(b, SCRAP + 0xFA0, nk("Cut"), size=0x100)
    b.start_bin()
    if drop_last_bin:  # cells of a dropped bin still read as allocated
        b.poke(SCRAP + 0x20, struct.pack("<i", -0xFE0))
    image = b.build(root=root, **({"hive_bins_data_size": SCRAP} if drop_last_bin else {}))
    keys = ["Child", "Deleted", "First", "Second key"] + (["Cut"] if drop_last_bin else [])
    values = [("Gone", hivegen.sz("old data")), ("Slack", b"AB"), ("Old", b"\x07\x00\x00\x00"), ("Four", b"\x01\x02\x03\x04")]
    return image, keys, values
