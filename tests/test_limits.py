"""What one call may read out of a hive is bounded by four times the image length.

Records of a sound hive are distinct cells, so no call reads more than the image holds. A damaged
or hostile hive can list one record again and again; these tests build such lists and check that
the result stays proportional to the file and that the failure is reported, not endured.
"""

import struct
import subprocess
import sys
import time

import pytest

import hivegen
from conftest import open_hive, raises, under_sanitizer, write_hive


def build(tmp_path, fill):
    """A hive whose root key's lists are written by ``fill(builder)``, which returns the nk
    keyword fields of the root."""
    b = hivegen.HiveBuilder()
    root_fields = fill(b)
    root = b.nk("ROOT", root=True, **root_fields)
    data = b.build(root=root)
    return open_hive(tmp_path, data), len(data)


def test_value_list_repeating_a_long_named_value_key(tmp_path):
    fields = {}

    def fill(b):
        vk = b.vk(b"\xff" * 60000, hivegen.REG_DWORD, hivegen.dword(1), flags=1)
        entries = [vk] * 16000
        fields.update(value_count=len(entries), value_list=b.value_list(entries))
        return fields

    hive, _ = build(tmp_path, fill)
    root = hive.root_key()
    started = time.monotonic()
    for call in (root.values, lambda: root.value("x")):
        with raises(ValueError, f"Invalid format: Value list at offset {fields['value_list']:#x} names more value "
                                "key data than the hive holds"):
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
    fields = {}

    def fill(b):
        child = b.nk(b"\xff" * 60000, flags=0x20)
        entries = [child] * 5000
        fields.update(subkey_count=len(entries), subkey_list=b.subkey_list("li", entries))
        return fields

    hive, _ = build(tmp_path, fill)
    with raises(ValueError, f"Invalid format: Subkey list at offset {fields['subkey_list']:#x} names more key data "
                            "than the hive holds"):
        hive.root_key().subkeys()


def test_big_data_repeating_one_segment(tmp_path):
    records = {}

    def fill(b):
        segment = b.alloc(b"\x07" * 16344)
        records["db"] = b.db([segment] * 60000)
        vk = b.vk("big", hivegen.REG_BINARY, data_size=0x7FFFFFF0, data_offset=records["db"])
        return {"value_count": 1, "value_list": b.value_list([vk])}

    hive, _ = build(tmp_path, fill)
    root = hive.root_key()
    with raises(ValueError, f"Invalid format: Big data at offset {records['db']:#x} joins more segment data than the "
                            "hive holds"):
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


# Key nodes nested in one another's names: every offset is a distinct, readable key whose name
# runs to the end of a 65000-byte cell, so a hive of 1.4 MB holds some 400 MB of names.
# Walking them all must not make the key cache hold them all.
NESTED_KEYS_WALK = """
import sys
import kelpa
name_chars = 0
for parent in kelpa.Hive.open(sys.argv[1]).root_key().subkeys():
    name_chars += sum(len(key.name()) for key in parent.subkeys())
# VmHWM, not ru_maxrss, which Linux carries over from the process that forked this one.
peak_kib = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(name_chars, peak_kib // 1024)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_key_nodes_nested_in_names_keep_memory_proportional(tmp_path):
    region_size, stride, per_parent = 65000, 104, 50
    b = hivegen.HiveBuilder()
    nested = []
    for _ in range(20):
        region = b.alloc(b"A" * region_size)
        for k in range(0, region_size - 1000, stride):
            rest = region_size - k  # the nested cell runs to the end of the region
            header = hivegen.nk_record(b"", flags=0x20, name_length=rest - 80)
            b.patch(region, k, struct.pack("<i", -rest) + header)
            nested.append(region + 4 + k)
    chunks = [nested[at:at + per_parent] for at in range(0, len(nested), per_parent)]
    parents = [b.nk(f"p{i}", subkey_count=len(chunk), subkey_list=b.subkey_list("li", chunk))
               for i, chunk in enumerate(chunks)]
    root = b.nk("ROOT", root=True, subkey_count=len(parents), subkey_list=b.subkey_list("li", parents))
    data = b.build(root=root)
    path = write_hive(tmp_path, data)

    run = subprocess.run([sys.executable, "-c", NESTED_KEYS_WALK, path], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    name_chars, peak_rss_mib = map(int, run.stdout.split())
    assert name_chars > 250 * len(data)  # every key was read, with its whole name
    if not under_sanitizer():
        assert peak_rss_mib < 150  # holding every name would take over 300 MiB
