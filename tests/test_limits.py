"""What one call may read out of a hive is bounded by four times the image length.

Records of a sound hive are distinct cells, so no call reads more than the image holds. A damaged
or hostile hive can list one record again and again; these tests build such lists and check that
the result stays proportional to the file and that the failure is reported, not endured.
"""

import re
import time

import pytest

import hivegen
from conftest import open_hive


def build(tmp_path, fill):
    """A hive whose root key's lists are written by ``fill(builder)``, which returns the nk
    keyword fields of the root."""
    b = hivegen.HiveBuilder()
    root_fields = fill(b)
    root = b.nk("ROOT", root=True, **root_fields)
    data = b.build(root=root)
    return open_hive(tmp_path, data), len(data)


def test_value_list_repeating_a_long_named_value_key(tmp_path):
    def fill(b):
        vk = b.vk(b"\xff" * 60000, hivegen.REG_DWORD, hivegen.dword(1), flags=1)
        entries = [vk] * 16000
        return {"value_count": len(entries), "value_list": b.value_list(entries)}

    hive, _ = build(tmp_path, fill)
    root = hive.root_key()
    started = time.monotonic()
    for call in (root.values, lambda: root.value("x")):
        with pytest.raises(ValueError, match=r"^Invalid format: Value list at offset 0x[0-9a-f]+ names more value "
                                             r"key data than the hive holds$"):
            call()
    assert time.monotonic() - started < 2


def test_value_list_repeating_one_data_cell_keeps_data_proportional(tmp_path):
    data = bytes(range(256)) * 60  # 15360 bytes in one data cell

    def fill(b):
        vk = b.vk("v", hivegen.REG_BINARY, data)
        entries = [vk] * 2000
        return {"value_count": len(entries), "value_list": b.value_list(entries)}

    hive, image_length = build(tmp_path, fill)
    values = hive.root_key().values()
    assert len(values) == 2000
    sizes = [v.data_size() for v in values]
    full = sizes.index(0)
    # Whole values up to the limit, then the values are listed with empty data.
    assert set(sizes[:full]) == {len(data)} and set(sizes[full:]) == {0}
    assert full * len(data) <= 4 * image_length < (full + 1) * len(data)
    assert values[0].raw_data() == data
    assert hive.root_key().value("v").raw_data() == data


def test_subkey_list_repeating_a_long_named_key(tmp_path):
    def fill(b):
        child = b.nk(b"\xff" * 60000, flags=0x20)
        entries = [child] * 5000
        return {"subkey_count": len(entries), "subkey_list": b.subkey_list("li", entries)}

    hive, _ = build(tmp_path, fill)
    with pytest.raises(ValueError, match=r"^Invalid format: Subkey list at offset 0x[0-9a-f]+ names more key data "
                                         r"than the hive holds$"):
        hive.root_key().subkeys()


def test_big_data_repeating_one_segment(tmp_path):
    def fill(b):
        segment = b.alloc(b"\x07" * 16344)
        db = b.db([segment] * 60000)
        vk = b.vk("big", hivegen.REG_BINARY, data_size=0x7FFFFFF0, data_offset=db)
        return {"value_count": 1, "value_list": b.value_list([vk])}

    hive, _ = build(tmp_path, fill)
    root = hive.root_key()
    message = re.compile(r"^Invalid format: Big data at offset 0x[0-9a-f]+ joins more segment data than the hive holds$")
    with pytest.raises(ValueError, match=message):
        root.value("big")
    [listed] = root.values()
    assert listed.data_size() == 0


def test_repeated_segments_within_the_limit_are_joined(tmp_path):
    def fill(b):
        segment = b.alloc(b"ab" * 102)  # a 208-byte cell: its payload is exactly these bytes
        db = b.db([segment] * 100)  # 20000 bytes from one cell: within 4 x the image
        vk = b.vk("big", hivegen.REG_BINARY, data_size=20000, data_offset=db)
        return {"value_count": 1, "value_list": b.value_list([vk])}

    hive, image_length = build(tmp_path, fill)
    assert 20000 <= 4 * image_length
    assert hive.root_key().value("big").raw_data() == b"ab" * 10000
