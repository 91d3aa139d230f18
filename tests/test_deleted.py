"""Deleted keys and values: the scan, its plausibility limits, and its results on the shared hives."""

import hashlib
import struct
from collections import Counter

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES, corpus_params, open_hive

@pytest.mark.parametrize("drop_last_bin", [False, True], ids=["free-cells", "after-last-bin"])
def test_scan_finds_old_records_and_passes_over_garbage(tmp_path, drop_last_bin):
    image, keys, values = hivegen.deleted_scene(drop_last_bin)
    hive = open_hive(tmp_path, image)
    found = hive.deleted_keys()
    assert [k.name() for k in found] == keys
    assert [(v.name(), v.raw_data()) for v in hive.deleted_values()] == values
    # The own record of the scrap bin's free cell reads as allocated once that bin is dropped.
    assert [k.is_deleted() for k in found] == [True, True, not drop_last_bin, True] + [True] * drop_last_bin
    assert hive.root_key().is_deleted() is False
    # A deleted value knows its cell and the deleted key whose value list still lists it.
    deleted = hive.deleted_values()
    assert [v.key_offset() for v in deleted] == [found[1].cell_offset(), None, None, None]
    assert [k.cell_offset() for k in found] == sorted({k.cell_offset() for k in found})  # image order, once each
    # A deleted key is an ordinary RegistryKey: its freed lists and value keys are followed.
    del hive
    assert [k.name() for k in found[1].subkeys()] == ["Child"]
    listed = found[1].values()
    assert [(v.name(), v.data().as_string()) for v in listed] == [("Gone", "old data")]
    assert (listed[0].cell_offset(), listed[0].key_offset()) == (deleted[0].cell_offset(), found[1].cell_offset())


def test_deleted_values_are_matched_with_the_key_that_lists_them():
    """Older lists b; Live\\Gone, after it and written later, lists a and b; Short claims four values, but
    its list cell holds three (it names c and d); Lost lists e, and its parent is no key."""
    b = hivegen.HiveBuilder(bin_size=0x2000)
    a, bb, c, d, e = (b.vk(n, hivegen.REG_DWORD, hivegen.dword(i)) for i, n in enumerate("abcde"))
    older = b.nk("Older", last_written=10, value_count=1, value_list=b.value_list([bb]))
    gone = b.nk("Gone", last_written=20, value_count=2, value_list=b.value_list([a, bb]))
    short = b.nk("Short", value_count=4, value_list=b.value_list([c, d]))  # a 16-byte cell: room for 3
    lost = b.nk("Lost", parent=0x1FF8, value_count=1, value_list=b.value_list([e]))
    live = b.nk("Live", subkey_count=1, subkey_list=b.subkey_list("lf", [gone]))
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=b.subkey_list("lf", [live]))
    b.patch(live, 16, struct.pack("<I", root))
    b.patch(gone, 16, struct.pack("<I", live))
    for cell in (a, bb, c, d, e, gone, older, short, lost):
        b.poke(cell, struct.pack("<i", -struct.unpack_from("<i", b._data, cell)[0]))
    hive = kelpa.Hive.from_bytes(b.build(root=root))
    assert [(v.name(), v.cell_offset(), v.key_offset()) for v in hive.deleted_values()] == [
        ("a", a, gone), ("b", bb, gone), ("c", c, None), ("d", d, None), ("e", e, lost)]
    pa = pytest.importorskip("pyarrow")
    rows = pa.table(hive.table("values", deleted=True)).to_pylist()
    assert [(r["name"], r["key_id"], r["key_path"]) for r in rows if r["deleted"]] == [
        ("a", gone, "Live\\Gone"), ("b", gone, "Live\\Gone"), ("c", None, None), ("d", None, None), ("e", lost, "Lost")]


# What the other parser lists beyond this scan's reach, as (keys, values) missed: records in the
# slack of value lists and data cells (which do not say how much of their cell they use), and
# allocated key nodes of dirty hives that no key references.
MISSED = {"yarp__BadLogHive3_BadLogHive": (4, 0), "yarp__NewDirtyHive1_NewDirtyHive": (4, 0),
          "yarp__NewDirtyHive1_RecoveredHive_Windows10": (8, 0), "yarp__NewDirtyHive2_NewDirtyHive": (4, 0),
          "nthive2__NewDirtyHive1_NewDirtyHive.clean1": (8, 0), "yarp__RemnantsHive": (0, 1),
          "regipy__NTUSER_BAGMRU.DAT": (1, 3), "regipy__NTUSER_with_winscp.DAT": (2, 2),
          "regipy__SYSTEM_2": (2, 0), "regipy__SYSTEM_WIN_10_1709": (1, 8), "regipy__amcache.hve": (0, 1),
          "ezregistry__SECURITY": (1, 0), "ezregistry__UsrClassDeletedBags.dat": (0, 1), "mfputctf__NTUSER.DAT": (0, 1)}


@pytest.mark.parametrize("record", corpus_params("deleted.json", lambda r: "error" not in r))
def test_corpus_recovers_every_listed_record(record):
    hive = kelpa.Hive.from_path(SHARED_HIVES / record["file"], strict=False)  # bad checksums too
    keys = Counter((k.name(), 0 if k.last_written() is None else hivegen.filetime(k.last_written()))
                   for k in hive.deleted_keys())
    missed_keys = Counter((n, t // 10 * 10) for n, t in record["keys"]) - keys  # to the microsecond
    values = Counter((v.name(), v.value_type().type_id(), hashlib.sha256(v.raw_data()).hexdigest()[:16])
                     for v in hive.deleted_values())
    listed = Counter((n or "(default)", t, d) for n, t, d in record["values"] if not d.startswith("<"))
    # A value whose data the other parser could not read is matched by name and type.
    names = Counter((n, t) for n, t, _ in (values - listed).elements())
    unread = Counter((n or "(default)", t) for n, t, d in record["values"] if d.startswith("<"))
    missed = (missed_keys.total(), (listed - values).total() + (unread - names).total())
    assert missed == MISSED.get(record["file"], (0, 0))


ELEMENTS = 0xA000 // 4  # list elements a 40960-byte image can hold
NK, VK = hivegen.nk_record, hivegen.vk_record


@pytest.mark.parametrize("record, found", [
    (NK("k" * 510), True), (NK("k" * 511), False),  # 255 UTF-16 characters at most
    (NK("k", subkey_count=ELEMENTS), True), (NK("k", subkey_count=ELEMENTS + 1), False),
    (NK("k", volatile_subkey_count=ELEMENTS), True), (NK("k", volatile_subkey_count=ELEMENTS + 1), False),
    (NK("k", value_count=ELEMENTS), True), (NK("k", value_count=ELEMENTS + 1), False), (NK("k", parent=0x1234), False),
    (VK("v" * 32766, 4, data_size=0x80000004, data_offset=0), True),  # 16383 characters at most
    (VK("v" * 32767, 4, data_size=0x80000004, data_offset=0), False),
], ids=["name-510", "name-511", "subkeys", "subkeys+1", "volatile", "volatile+1", "values", "values+1",
        "parent-unaligned", "value-name-32766", "value-name-32767"])
def test_plausibility_limits(tmp_path, record, found):
    b = hivegen.HiveBuilder(bin_size=0x9000)
    root = b.nk("ROOT", root=True)
    b.alloc(record, free=True)
    hive = open_hive(tmp_path, b.build(root=root))
    assert len(hive.deleted_keys()) + len(hive.deleted_values()) == found


def test_deleted_data_up_to_the_read_limit(tmp_path):
    # Eight deleted values share one 8192-byte data cell: 65536 bytes, exactly four times the 16384-byte image.
    b = hivegen.HiveBuilder(bin_size=0x3000)
    root, data = b.nk("ROOT", root=True), b.alloc(bytes(range(256)) * 32)
    for i in range(8):
        b.alloc(VK(f"v{i}", 3, data_size=8192, data_offset=data), free=True)
    assert [len(v.raw_data()) for v in open_hive(tmp_path, b.build(root=root)).deleted_values()] == [8192] * 8
