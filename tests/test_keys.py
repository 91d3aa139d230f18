"""Key nodes, the key cache as Python sees it, subkey lists (hostile index roots too), timestamps and reprs."""

import pathlib
import struct
import time
import types

import pytest

import hivegen
import kelpa
from conftest import error, open_hive, outcome, poke_file, write_hive

NO_LIST = hivegen.NO_LIST
NK = hivegen.nk_record


@pytest.mark.parametrize("payload, size, expected", [
    # payload, cell size (None: fitted), name or error message
    (NK("", signature=b"xx")[:75], -79, "Truncated data at offset 0x20: expected 76 bytes, got 75 bytes"),
    (NK(""), -80, ""),  # exactly the fixed part
    (NK("ROOTROOTRO"), -84, "Truncated data at offset 0x20: expected 86 bytes, got 80 bytes"),
    (NK("ABCD"), -84, "ABCD"),  # the name ends with the payload
    (NK("ABCD", name_length=5), -84, "Truncated data at offset 0x20: expected 81 bytes, got 80 bytes"),
    (NK("A", name_length=0xFFFF), None, "Truncated data at offset 0x20: expected 65611 bytes, got 84 bytes"),
    (NK("x", signature=b"nK"), None, "Invalid format: Expected 'nk' signature at offset 0x20"),
    # the signature is checked before the name length
    (NK("x", signature=b"vk", name_length=0xFFFF), None, "Invalid format: Expected 'nk' signature at offset 0x20"),
    (NK(b"R\0O\0O", flags=0), None, "Invalid UTF-16 string at offset 0x20"),
    # only bit 0x0020 chooses the form
    (NK(b"R\0O\0O\0T\0", flags=0xFFDF), None, "ROOT"),
    (NK(b"ROOT", flags=0xFFFF), None, "ROOT"),
])
def test_key_node(tmp_path, payload, size, expected):
    builder = hivegen.HiveBuilder()
    hive = open_hive(tmp_path, builder.build(root=builder.alloc(payload, size=size)))
    assert outcome(lambda: hive.root_key().name()) == (
        error(expected) if expected.startswith(("Truncated", "Invalid")) else expected)


def test_a_failed_key_is_not_cached_and_a_read_one_is(tmp_path):
    # Hive.open maps the file shared, so an open hive sees a change made on disk: a cached key does not.
    builder = hivegen.HiveBuilder()
    child = builder.nk(b"C\0H\0I\0L\0D\0", flags=0, last_written=116444736010000000)
    root = builder.nk("ROOT", subkey_count=1, subkey_list=builder.subkey_list("li", [child]))
    hive = kelpa.Hive.open(path := write_hive(tmp_path, builder.build(root=root)))
    at = 4096 + child + 4
    for field, bad, message in [(0, b"nK", "Invalid format: Expected 'nk' signature at offset {:#x}"),
                                (76, b"\x00\xd8", "Invalid UTF-16 string at offset {:#x}"),
                                (72, b"\xc8\0", "Truncated data at offset {:#x}: expected 276 bytes, got 92 bytes")]:
        good = pathlib.Path(path).read_bytes()[at + field:at + field + len(bad)]
        poke_file(path, at + field, bad)
        assert [outcome(hive.root_key().subkeys) for _ in range(2)] == [error(message.format(child))] * 2
        poke_file(path, at + field, good)  # read afresh: nothing was left behind
    (child_key,) = (root_key := hive.root_key()).subkeys()
    for cell, field, data in [(root, 76, b"XXXX"), (child, 76, b"Y\0"), (root, 28, struct.pack("<I", NO_LIST)),
                              (child, 4, bytes(8))]:
        poke_file(path, 4096 + cell + 4 + field, data)
    assert kelpa.Hive.open(path).root_key().name() == "XXXX"  # the file did change
    assert (hive.root_key().name(), [k.name() for k in root_key.subkeys()], child_key.last_written_timestamp()) == (
        "ROOT", ["CHILD"], 1)


def nested_ri(b, offset, depth):
    """The list at `offset` under `depth` index roots, each naming the next."""
    for _ in range(depth):
        offset = b.subkey_list("ri", [offset])
    return offset


def truncated(b, kind, offsets, cut, size):
    return b.alloc(hivegen.subkey_list_record(kind, offsets)[:cut], size=size)


def named(k, offset):
    """Marks the cell that the row's message names ({B})."""
    k.bad = offset
    return offset


# Hostile index roots meet the walk's two bounds: a nesting depth of 64, and more list elements read
# than the image holds.
DEPTH = "Invalid format: Subkey list at offset {B} nests index roots too deeply"
REPEAT = "Invalid format: Subkey list at offset {B} is reached more often than the hive can hold (loop in index roots)"


def ri_naming_itself(b, k, times=1000):
    ri = named(k, b.subkey_list("ri", [0] * times))
    b.patch(ri, 4, struct.pack(f"<{times}I", *[ri] * times))
    return ri


def cycle_through_two_ri(b, k):
    first = named(k, b.subkey_list("ri", [b.subkey_list("li", [k.a]), 0]))  # at every even depth, 64 included
    b.patch(first, 8, struct.pack("<I", b.subkey_list("ri", [first])))
    return first


def fan_out(b, k, middle_kind):
    """1000 elements all naming one list of 1000 elements: finite, but a million reads."""
    leaf = b.subkey_list("li", [k.a])
    middle = named(k, b.subkey_list(middle_kind, [leaf if middle_kind == "ri" else k.a] * 1000))
    return b.subkey_list("ri", [middle] * 1000)


SUBKEY_LISTS = {
    # name: subkey count, (builder, keys a..d) -> list offset, then the names listed or the error
    # ({L}: list offset, {B}: the cell marked by named(), {N}: image length, {S}: bins data length)
    "lf-file-order": (2, lambda b, k: b.subkey_list("lf", [k.b, k.a]), ["b", "a"]),
    "lf-hashes-ignored": (2, lambda b, k: b.subkey_list("lf", [k.b, k.a], hashes=[1, 0xFFFFFFFF]), ["b", "a"]),
    "lh": (3, lambda b, k: b.subkey_list("lh", [k.c, k.a, k.b]), ["c", "a", "b"]),
    "li": (2, lambda b, k: b.subkey_list("li", [k.d, k.a]), ["d", "a"]),
    "ri-li-lh": (3, lambda b, k: b.subkey_list("ri", [b.subkey_list("li", [k.a, k.b]), b.subkey_list("lh", [k.c])]),
                 ["a", "b", "c"]),
    "ri-skips-no-list": (2, lambda b, k: b.subkey_list("ri", [NO_LIST, b.subkey_list("li", [k.a]), 0,
                                                              b.subkey_list("lf", [k.b])]), ["a", "b"]),
    "ri-64-deep": (1, lambda b, k: nested_ri(b, b.subkey_list("li", [k.a]), 64), ["a"]),  # the deepest read
    "lf-count-0": (1, lambda b, k: b.subkey_list("lf", [k.a], count=0), []),
    "ri-count-0": (1, lambda b, k: b.subkey_list("ri", [0x7FFFFFF0], count=0), []),
    "li-count-below-elements": (1, lambda b, k: b.subkey_list("li", [k.a, k.b], count=1), ["a"]),
    "subkey-count-0": (0, lambda b, k: b.subkey_list("ab", [k.a]), []),  # the list is not read
    "subkey-count-above-list": (3, lambda b, k: b.subkey_list("li", [k.a, k.b]), ["a", "b"]),
    "subkey-count-below-list": (1, lambda b, k: b.subkey_list("li", [k.a, k.b, k.c]), ["a", "b", "c"]),
    "no-list-ffffffff": (2, lambda b, k: NO_LIST, []),
    "no-list-0": (2, lambda b, k: 0, []),
    "lf-19-of-20": (1, lambda b, k: truncated(b, "lf", [k.a, k.b], 19, -23),
                    "Truncated data at offset {L}: expected 20 bytes, got 19 bytes"),
    "ri-11-of-12": (1, lambda b, k: truncated(b, "ri", [0, 0], 11, -15),
                    "Truncated data at offset {L}: expected 12 bytes, got 11 bytes"),
    "lh-count-ffff": (1, lambda b, k: b.subkey_list("lh", [k.a], count=0xFFFF),
                      "Truncated data at offset {L}: expected 524284 bytes, got 12 bytes"),
    "cell-size-6": (1, lambda b, k: b.alloc(b"li", size=-6),
                    "Truncated data at offset {L}: expected 4 bytes, got 2 bytes"),
    "type-LF": (1, lambda b, k: b.subkey_list("LF", [k.a]), "Invalid subkey list type: [76, 70]"),
    "type-rf": (1, lambda b, k: b.subkey_list("rf", [k.a]), "Invalid subkey list type: [114, 102]"),
    "type-ff": (1, lambda b, k: b.subkey_list(b"\xff\xfe", [k.a]), "Invalid subkey list type: [255, 254]"),
    "list-offset-out": (1, lambda b, k: 0x7FFFFFF0, "Invalid offset 0x7ffffff0 (hive size: {N})"),
    # a nested list fails with its own error, carrying its own offset
    "ri-bad-type": (1, lambda b, k: b.subkey_list("ri", [b.subkey_list("li", [k.a]), k.b]),
                    "Invalid subkey list type: [110, 107]"),
    "ri-truncated-leaf": (1, lambda b, k: b.subkey_list("ri", [b.subkey_list("li", [k.a]), named(k, b.alloc(
        b"lf\x05\x00", size=-8))]), "Truncated data at offset {B}: expected 44 bytes, got 4 bytes"),
    # the keys named by a leaf: one bad key fails the whole call
    "leaf-names-0": (1, lambda b, k: b.subkey_list("li", [k.a, 0]),
                     "Truncated data at offset 0x0: expected 1852400232 bytes, got {S} bytes"),  # "hbin" as a size
    "leaf-names-ffffffff": (1, lambda b, k: b.subkey_list("lf", [NO_LIST, k.a]),
                            "Invalid offset 0xffffffff (hive size: {N})"),
    "leaf-names-a-list": (1, lambda b, k: b.subkey_list("li", [k.a, named(k, b.subkey_list("li", [0] * 20)), k.b]),
                          "Invalid format: Expected 'nk' signature at offset {B}"),
    "ri-self-1000-times": (1, ri_naming_itself, REPEAT),
    "ri-two-cycle": (1, cycle_through_two_ri, DEPTH),
    "ri-fan-out-ri": (1, lambda b, k: fan_out(b, k, "ri"), REPEAT),
    "ri-fan-out-lh": (1, lambda b, k: fan_out(b, k, "lh"), REPEAT),
    "ri-65-deep": (1, lambda b, k: nested_ri(b, named(k, nested_ri(b, b.subkey_list("li", [k.a]), 1)), 64), DEPTH),
}


@pytest.mark.parametrize("case", SUBKEY_LISTS)
def test_subkey_lists(tmp_path, case):
    count, build, expected = SUBKEY_LISTS[case]
    builder = hivegen.HiveBuilder()
    keys = types.SimpleNamespace(bad=0, **{n: builder.nk(n) for n in "abcd"})
    list_offset = build(builder, keys)
    data = builder.build(root=builder.nk("ROOT", subkey_count=count, subkey_list=list_offset))
    root_key = open_hive(tmp_path, data).root_key()
    assert root_key.subkey_count() == count
    if not isinstance(expected, list):
        expected = error(expected.format(L=hex(list_offset), B=hex(keys.bad), N=hex(len(data)), S=len(data) - 4096))
    started = time.monotonic()
    assert [outcome(lambda: [k.name() for k in root_key.subkeys()]) for _ in range(2)] == [expected] * 2
    assert time.monotonic() - started < 2 and root_key.name() == "ROOT"  # the key object stays usable


FILETIMES = {
    0: None, 116444736000000000: 0, 116444736009999999: 0, 116444736010000000: 1,
    116444735999999999: -1,  # floored, not truncated towards zero
    1: -11644473600, 0x8000000000000000: 910692730085, 0xFFFFFFFFFFFFFFFF: 1833029933770,  # unsigned division
}


def test_last_written_timestamp(tmp_path):
    b = hivegen.HiveBuilder()
    keys = [b.nk(f"k{i}", last_written=t) for i, t in enumerate(FILETIMES)]
    root = open_hive(tmp_path, b.build(root=b.nk("R", subkey_count=len(keys), subkey_list=b.subkey_list("li", keys))))
    assert [k.last_written_timestamp() for k in root.root_key().subkeys()] == list(FILETIMES.values())


@pytest.mark.parametrize("name, subkeys, values, text", [
    ("a'b", 0, 0, "RegistryKey(name='a'b', subkeys=0, values=0)"),
    ("Überwachung-監視", 2147483648, 4294967295, "RegistryKey(name='Überwachung-監視', subkeys=2147483648, values=4294967295)"),
    (b"a\\b\"c\0d", 1, 2, "RegistryKey(name='a\\b\"c\0d', subkeys=1, values=2)"),
])
def test_key_repr_and_counts(tmp_path, name, subkeys, values, text):
    builder = hivegen.HiveBuilder()
    key = open_hive(tmp_path, builder.build(root=builder.nk(name, subkey_count=subkeys, value_count=values))).root_key()
    assert (repr(key), str(key), key.subkey_count(), key.value_count()) == (text, text, subkeys, values)
