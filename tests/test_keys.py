"""Key nodes, the key cache as Python sees it, subkey lists, hostile index roots, timestamps and reprs."""

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
    path = write_hive(tmp_path, builder.build(root=root))
    hive = kelpa.Hive.open(path)
    child_at = 4096 + child + 4
    for at, bad, message in [(0, b"nK", "Invalid format: Expected 'nk' signature at offset {:#x}"),
                             (76, b"\x00\xd8", "Invalid UTF-16 string at offset {:#x}"),
                             (72, struct.pack("<H", 200), "Truncated data at offset {:#x}: expected 276 bytes, got 92 bytes")]:
        good = pathlib.Path(path).read_bytes()[child_at + at:child_at + at + len(bad)]
        poke_file(path, child_at + at, bad)
        for _ in range(2):
            assert outcome(lambda: hive.root_key().subkeys()) == error(message.format(child))
        poke_file(path, child_at + at, good)  # read afresh: nothing was left behind
    root_key = hive.root_key()
    (child_key,) = root_key.subkeys()
    for cell, at, data in [(root, 76, b"XXXX"), (child, 76, b"Y\0"), (root, 28, struct.pack("<I", NO_LIST)),
                           (child, 4, bytes(8))]:
        poke_file(path, 4096 + cell + 4 + at, data)
    assert kelpa.Hive.open(path).root_key().name() == "XXXX"  # the file did change
    assert (hive.root_key().name(), [k.name() for k in root_key.subkeys()]) == ("ROOT", ["CHILD"])
    assert child_key.last_written_timestamp() == 1


# --- subkey lists ---------------------------------------------------------------------


def nested_ri(b, offset, depth):
    """The list at `offset` under `depth` index roots, each naming the next."""
    for _ in range(depth):
        offset = b.subkey_list("ri", [offset])
    return offset


def truncated(b, kind, offsets, cut, size):
    return b.alloc(hivegen.subkey_list_record(kind, offsets)[:cut], size=size)


def list_type(b, k, kind):
    return 1, b.subkey_list(kind, [k.a])


SUBKEY_LISTS = {
    # name: (builder, keys a..d) -> (subkey count, list offset[, offset L2 of a bad cell]),
    # then the names listed or the error ({L}: list offset, {N}: image length, {S}: bins data length)
    "lf-file-order": (lambda b, k: (2, b.subkey_list("lf", [k.b, k.a])), ["b", "a"]),
    "lf-hashes-ignored": (lambda b, k: (2, b.subkey_list("lf", [k.b, k.a], hashes=[1, 0xFFFFFFFF])), ["b", "a"]),
    "lh": (lambda b, k: (3, b.subkey_list("lh", [k.c, k.a, k.b])), ["c", "a", "b"]),
    "li": (lambda b, k: (2, b.subkey_list("li", [k.d, k.a])), ["d", "a"]),
    "ri-li-lh": (lambda b, k: (3, b.subkey_list("ri", [b.subkey_list("li", [k.a, k.b]), b.subkey_list("lh", [k.c])])),
                 ["a", "b", "c"]),
    "ri-skips-no-list": (lambda b, k: (2, b.subkey_list("ri", [NO_LIST, b.subkey_list("li", [k.a]), 0,
                                                               b.subkey_list("lf", [k.b])])), ["a", "b"]),
    "ri-64-deep": (lambda b, k: (1, nested_ri(b, b.subkey_list("li", [k.a]), 64)), ["a"]),  # the deepest read
    "lf-count-0": (lambda b, k: (1, b.subkey_list("lf", [k.a], count=0)), []),
    "ri-count-0": (lambda b, k: (1, b.subkey_list("ri", [0x7FFFFFF0], count=0)), []),
    "li-count-below-elements": (lambda b, k: (1, b.subkey_list("li", [k.a, k.b], count=1)), ["a"]),
    "subkey-count-0": (lambda b, k: (0, b.subkey_list("ab", [k.a])), []),  # the list is not read
    "subkey-count-above-list": (lambda b, k: (3, b.subkey_list("li", [k.a, k.b])), ["a", "b"]),
    "subkey-count-below-list": (lambda b, k: (1, b.subkey_list("li", [k.a, k.b, k.c])), ["a", "b", "c"]),
    "no-list-ffffffff": (lambda b, k: (2, NO_LIST), []),
    "no-list-0": (lambda b, k: (2, 0), []),
    "lf-19-of-20": (lambda b, k: (1, truncated(b, "lf", [k.a, k.b], 19, -23)),
                    "Truncated data at offset {L}: expected 20 bytes, got 19 bytes"),
    "ri-11-of-12": (lambda b, k: (1, truncated(b, "ri", [0, 0], 11, -15)),
                    "Truncated data at offset {L}: expected 12 bytes, got 11 bytes"),
    "lh-count-ffff": (lambda b, k: (1, b.subkey_list("lh", [k.a], count=0xFFFF)),
                      "Truncated data at offset {L}: expected 524284 bytes, got 12 bytes"),
    "cell-size-6": (lambda b, k: (1, b.alloc(b"li", size=-6)),
                    "Truncated data at offset {L}: expected 4 bytes, got 2 bytes"),
    "type-ab": (lambda b, k: list_type(b, k, "ab"), "Invalid subkey list type: [97, 98]"),
    "type-LF": (lambda b, k: list_type(b, k, "LF"), "Invalid subkey list type: [76, 70]"),
    "type-rf": (lambda b, k: list_type(b, k, "rf"), "Invalid subkey list type: [114, 102]"),
    "type-ff": (lambda b, k: list_type(b, k, b"\xff\xfe"), "Invalid subkey list type: [255, 254]"),
    "list-offset-out": (lambda b, k: (1, 0x7FFFFFF0), "Invalid offset 0x7ffffff0 (hive size: {N})"),
    # a nested list fails with its own error, carrying its own offset
    "ri-bad-type": (lambda b, k: (1, b.subkey_list("ri", [b.subkey_list("li", [k.a]), k.b])),
                    "Invalid subkey list type: [110, 107]"),
    "ri-truncated-leaf": (lambda b, k: (1, b.subkey_list("ri", [b.subkey_list("li", [k.a]), bad := b.alloc(
        b"lf\x05\x00", size=-8)]), bad),
                          "Truncated data at offset {L2}: expected 44 bytes, got 4 bytes"),
    # the keys named by a leaf: one bad key fails the whole call
    "leaf-names-0": (lambda b, k: (1, b.subkey_list("li", [k.a, 0])),
                     "Truncated data at offset 0x0: expected 1852400232 bytes, got {S} bytes"),  # "hbin" as a size
    "leaf-names-ffffffff": (lambda b, k: (1, b.subkey_list("lf", [NO_LIST, k.a])),
                            "Invalid offset 0xffffffff (hive size: {N})"),
    "leaf-names-a-list": (lambda b, k: (1, b.subkey_list("li", [k.a, bad := b.subkey_list("li", [0] * 20), k.b]), bad),
                          "Invalid format: Expected 'nk' signature at offset {L2}"),
}


@pytest.mark.parametrize("case", SUBKEY_LISTS)
def test_subkey_lists(tmp_path, case):
    build, expected = SUBKEY_LISTS[case]
    builder = hivegen.HiveBuilder()
    count, list_offset, *bad = build(builder, types.SimpleNamespace(**{n: builder.nk(n) for n in "abcd"}))
    root = builder.nk("ROOT", subkey_count=count, subkey_list=list_offset)
    data = builder.build(root=root)
    root_key = open_hive(tmp_path, data).root_key()
    assert root_key.subkey_count() == count
    if not isinstance(expected, list):
        expected = error(expected.format(L=hex(list_offset), L2=hex(bad[0] if bad else 0), N=hex(len(data)),
                                                S=len(data) - 4096))
    for _ in range(2):
        assert outcome(lambda: [k.name() for k in root_key.subkeys()]) == expected
    assert root_key.name() == "ROOT"  # the key object stays usable


# --- hostile index roots --------------------------------------------------------------
# The two bounds of the walk: a nesting depth of 64, and more list elements read than the image
# holds. Each builder returns the root's list and the list the message names.
DEPTH = "nests index roots too deeply"
REPEAT = "is reached more often than the hive can hold (loop in index roots)"


def ri_naming_itself(b, times=1000):
    ri = b.subkey_list("ri", [0] * times)
    b.patch(ri, 4, struct.pack(f"<{times}I", *[ri] * times))
    return ri, ri, REPEAT


def cycle_through_two_ri(b):
    first = b.subkey_list("ri", [b.subkey_list("li", [b.nk("k")]), 0])
    second = b.subkey_list("ri", [first])
    b.patch(first, 8, struct.pack("<I", second))
    return first, first, DEPTH  # first sits at every even depth, 64 included


def fan_out(b, middle_kind):
    """1000 elements all naming one list of 1000 elements: finite, but a million reads."""
    key = b.nk("k")
    leaf = b.subkey_list("li", [key])
    middle = b.subkey_list(middle_kind, [leaf if middle_kind == "ri" else key] * 1000)
    top = b.subkey_list("ri", [middle] * 1000)
    return top, middle, REPEAT


def ri_65_deep(b):
    innermost = nested_ri(b, b.subkey_list("li", [b.nk("a")]), 1)
    return nested_ri(b, innermost, 64), innermost, DEPTH


@pytest.mark.parametrize("build", [
    ri_naming_itself, cycle_through_two_ri, lambda b: fan_out(b, "ri"), lambda b: fan_out(b, "lh"),
    ri_65_deep,
], ids=["self-1000-times", "two-ri-cycle", "fan-out-ri", "fan-out-lh", "65-ri-deep"])
def test_hostile_index_roots(tmp_path, build):
    builder = hivegen.HiveBuilder(bin_size=16384)
    list_offset, named, text = build(builder)
    root = builder.nk("ROOT", subkey_count=1, subkey_list=list_offset)
    root_key = open_hive(tmp_path, builder.build(root=root)).root_key()
    started = time.monotonic()
    assert outcome(lambda: root_key.subkeys()) == error(f"Invalid format: Subkey list at offset {named:#x} {text}")
    assert time.monotonic() - started < 2


# --- timestamps, reprs, lifetime ------------------------------------------------------

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
