"""What one call may read out of a hive is bounded by four times the image length: a hostile hive
that lists one record again and again gets an error (or, for listed values, empty data), quickly
and in memory proportional to the file."""

import struct
import subprocess
import sys
import time

import pytest

import hivegen
from conftest import error, open_hive, outcome, under_sanitizer, write_hive


def root_of(tmp_path, b, **fields):
    data = b.build(root=b.nk("ROOT", root=True, **fields))
    return open_hive(tmp_path, data).root_key(), len(data)


def test_repeated_records(tmp_path):
    b = hivegen.HiveBuilder()
    long_vk = b.vk(b"\xff" * 60000, hivegen.REG_DWORD, hivegen.dword(1), flags=1)
    values = b.value_list([long_vk] * 16000)
    subkeys = b.subkey_list("li", [b.nk(b"\xff" * 60000, flags=0x20)] * 5000)
    segment = b.alloc(b"\x07" * 16344)
    db = b.db([segment] * 60000)
    big = b.vk("big", hivegen.REG_BINARY, data_size=0x7FFFFFF0, data_offset=db)
    root, _ = root_of(tmp_path, b, value_count=16000, value_list=values, subkey_count=5000, subkey_list=subkeys)
    started = time.monotonic()
    too_much = error(f"Invalid format: Value list at offset {values:#x} names more value key data than the hive holds")
    assert [outcome(root.values), outcome(lambda: root.value("x")), outcome(root.subkeys)] == [too_much, too_much, error(
        f"Invalid format: Subkey list at offset {subkeys:#x} names more key data than the hive holds")]
    assert time.monotonic() - started < 2
    root, _ = root_of(tmp_path, b, value_count=1, value_list=b.value_list([big]))
    assert outcome(lambda: root.value("big")) == error(
        f"Invalid format: Big data at offset {db:#x} joins more segment data than the hive holds")
    assert [v.data_size() for v in root.values()] == [0]


def test_repeated_data_within_the_limit(tmp_path):
    b = hivegen.HiveBuilder()
    data = bytes(range(256)) * 60  # 15360 bytes in one data cell
    vk = b.vk("v", hivegen.REG_BINARY, data)
    big = b.vk("big", hivegen.REG_BINARY, data_size=20000, data_offset=b.db([b.alloc(b"ab" * 102)] * 100))
    root, length = root_of(tmp_path, b, value_count=2001, value_list=b.value_list([big] + [vk] * 2000))
    assert root.value("big").raw_data() == b"ab" * 10000  # 20000 bytes from one 208-byte cell
    sizes = [v.data_size() for v in root.values()]
    # whole values up to the limit, then listed with empty data
    full = sizes.index(0)
    assert sizes[0] == 20000 and set(sizes[1:full]) == {len(data)} and set(sizes[full:]) == {0}
    assert 20000 + (full - 1) * len(data) <= 4 * length < 20000 + full * len(data)
    assert root.value("v").raw_data() == data


# Key nodes nested in one another's names: each offset is a readable key whose name runs to the end
# of a 65000-byte cell, so 1.4 MB hold some 400 MB of names. Walking them must not cache them all.
NESTED_KEYS_WALK = """
import sys, kelpa
chars = sum(len(k.name()) for p in kelpa.Hive.open(sys.argv[1]).root_key().subkeys() for k in p.subkeys())
# VmHWM, not ru_maxrss, which Linux carries over from the process that forked this one.
print(chars, next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:")) // 1024)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_key_nodes_nested_in_names_keep_memory_proportional(tmp_path):
    b = hivegen.HiveBuilder()
    nested = []
    for _ in range(20):
        region = b.alloc(b"A" * 65000)
        for k in range(0, 64000, 104):
            b.patch(region, k, struct.pack("<i", k - 65000) + hivegen.nk_record(b"", flags=0x20, name_length=64920 - k))
            nested.append(region + 4 + k)
    parents = [b.nk(f"p{i}", subkey_count=50, subkey_list=b.subkey_list("li", nested[i * 50:i * 50 + 50]))
               for i in range(len(nested) // 50)]
    data = b.build(root=b.nk("ROOT", subkey_count=len(parents), subkey_list=b.subkey_list("li", parents)))
    run = subprocess.run([sys.executable, "-c", NESTED_KEYS_WALK, write_hive(tmp_path, data)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    chars, peak_mib = map(int, run.stdout.split())
    assert chars > 250 * len(data)  # every key was read, with its whole name
    assert under_sanitizer() or peak_mib < 150  # holding every name would take over 300 MiB
