"""Key nodes, the key cache as Python sees it, subkey lists, timestamps, reprs and the
lifetime of keys."""

import gc
import re
import struct
import time

import pytest

import hivegen
import kelpa
from conftest import open_hive, write_hive

NO_LIST = hivegen.NO_LIST


def raises_exactly(call, message, cls=ValueError):
    with pytest.raises(cls) as exc:
        call()
    assert type(exc.value) is cls
    assert exc.value.args == (message,)


def poke_file(path, position, data):
    """Overwrites bytes of a hive file in place. ``Hive.open`` maps the file shared, so an
    open hive sees the change: this is how the tests tell a cached key node from a
    re-read one."""
    with open(path, "r+b") as f:
        f.seek(position)
        f.write(data)


def payload_position(cell_offset, at=0):
    return 4096 + cell_offset + 4 + at


# --- key nodes ------------------------------------------------------------------------


NK_CASES = [
    # payload, cell size (None: fitted), name or error message
    (hivegen.nk_record("", signature=b"xx")[:75], -79,
     "Truncated data at offset 0x20: expected 76 bytes, got 75 bytes"),
    (hivegen.nk_record(""), -80, ""),  # exactly the fixed part
    (hivegen.nk_record("ROOTROOTRO"), -84, "Truncated data at offset 0x20: expected 86 bytes, got 80 bytes"),
    (hivegen.nk_record("A", name_length=0xFFFF), None,
     "Truncated data at offset 0x20: expected 65611 bytes, got 84 bytes"),
    (hivegen.nk_record("ABCD"), -84, "ABCD"),  # the name ends with the payload
    (hivegen.nk_record("ABCD", name_length=5), -84, "Truncated data at offset 0x20: expected 81 bytes, got 80 bytes"),
    (hivegen.nk_record("AB") + b"\xff" * 20, None, "AB"),  # bytes after the name are ignored
    (hivegen.nk_record("x", signature=b"nK"), None, "Invalid format: Expected 'nk' signature at offset 0x20"),
    (hivegen.nk_record("x", signature=b"kn"), None, "Invalid format: Expected 'nk' signature at offset 0x20"),
    (hivegen.nk_record("x", signature=b"NK"), None, "Invalid format: Expected 'nk' signature at offset 0x20"),
    (hivegen.nk_record("x", signature=b"\0\0"), None, "Invalid format: Expected 'nk' signature at offset 0x20"),
    # the signature is checked before the name length
    (hivegen.nk_record("x", signature=b"vk", name_length=0xFFFF), None,
     "Invalid format: Expected 'nk' signature at offset 0x20"),
    (hivegen.nk_record(b"ROOT", flags=0x0020), None, "ROOT"),
    (hivegen.nk_record(b"R\0O\0O\0T\0", flags=0), None, "ROOT"),
    (hivegen.nk_record(b"R\0O\0O", flags=0), None, "Invalid UTF-16 string at offset 0x20"),
    # only bit 0x0020 chooses the form
    (hivegen.nk_record(b"R\0O\0O\0T\0", flags=0xFFDF), None, "ROOT"),
    (hivegen.nk_record(b"ROOT", flags=0xFFFF), None, "ROOT"),
    (hivegen.nk_record(b"ROOT", flags=0x0020 | 0x0001 | 0x8000), None, "ROOT"),
]


@pytest.mark.parametrize("payload, size, outcome", NK_CASES,
                         ids=[f"{p[:2]!r}-{len(p)}-{o[:24]}" for p, _, o in NK_CASES])
def test_key_node(tmp_path, payload, size, outcome):
    builder = hivegen.HiveBuilder()
    root = builder.alloc(payload, size=size)
    hive = open_hive(tmp_path, builder.build(root=root))
    if outcome.startswith(("Truncated", "Invalid")):
        raises_exactly(hive.root_key, outcome)
    else:
        assert hive.root_key().name() == outcome


def test_fields_never_followed(tmp_path):
    # Volatile subkeys, class name and security descriptor point nowhere sensible.
    builder = hivegen.HiveBuilder()
    child = builder.nk("child", volatile_subkey_count=3, volatile_subkey_list=0x7FFFFFF0,
                       security=0xFFFFFFF0, class_name=0x7FFFFFF0, class_name_length=0xFFFF)
    root = builder.nk("ROOT", subkey_count=1, subkey_list=builder.subkey_list("li", [child]),
                      volatile_subkey_count=1, volatile_subkey_list=0x12345678,
                      parent=0xDEADBEEF, security=0x7FFFFFF0, class_name=1, class_name_length=8)
    root_key = open_hive(tmp_path, builder.build(root=root)).root_key()
    (sub,) = root_key.subkeys()
    assert (sub.name(), sub.subkeys()) == ("child", [])


# --- the key cache --------------------------------------------------------------------


def test_a_read_key_is_cached(tmp_path):
    builder = hivegen.HiveBuilder()
    child = builder.nk("CHILD", last_written=116444736010000000)
    root = builder.nk("ROOT", subkey_count=1, subkey_list=builder.subkey_list("li", [child]))
    path = write_hive(tmp_path, builder.build(root=root))
    hive = kelpa.Hive.open(path)
    root_key = hive.root_key()
    (child_key,) = root_key.subkeys()
    assert child_key.last_written_timestamp() == 1

    # Rename both keys, break the root's list and change the time on disk.
    poke_file(path, payload_position(root, 76), b"XXXX")
    poke_file(path, payload_position(child, 76), b"YYYYY")
    poke_file(path, payload_position(root, 28), struct.pack("<I", NO_LIST))
    poke_file(path, payload_position(child, 4), struct.pack("<Q", 0))
    assert kelpa.Hive.open(path).root_key().name() == "XXXX"  # the file did change

    assert hive.root_key().name() == "ROOT"
    assert [k.name() for k in root_key.subkeys()] == ["CHILD"]
    assert child_key.last_written_timestamp() == 1


@pytest.mark.parametrize("at, bad, good, message", [
    (0, b"nK", b"nk", "Invalid format: Expected 'nk' signature at offset 0x20"),
    (76, b"\x00\xd8", b"R\0", "Invalid UTF-16 string at offset 0x20"),
    (72, struct.pack("<H", 200), struct.pack("<H", 8),
     "Truncated data at offset 0x20: expected 276 bytes, got 84 bytes"),
])
def test_a_failed_key_is_not_cached(tmp_path, at, bad, good, message):
    builder = hivegen.HiveBuilder()
    root = builder.nk(b"R\0O\0O\0T\0", flags=0)
    path = write_hive(tmp_path, builder.build(root=root))
    poke_file(path, payload_position(root, at), bad)
    hive = kelpa.Hive.open(path)
    for _ in range(3):  # keeps failing, with the same error
        raises_exactly(hive.root_key, message)
    assert repr(hive) == "Hive(root_offset=0x20, hive_length=0x1000)"
    poke_file(path, payload_position(root, at), good)
    assert hive.root_key().name() == "ROOT"  # read afresh, nothing was left behind


def test_a_failed_subkey_is_not_cached(tmp_path):
    builder = hivegen.HiveBuilder()
    good = builder.nk("good")
    bad = builder.nk("bad", signature=b"nx")
    root = builder.nk("ROOT", subkey_count=2, subkey_list=builder.subkey_list("li", [good, bad]))
    path = write_hive(tmp_path, builder.build(root=root))
    root_key = kelpa.Hive.open(path).root_key()
    for _ in range(2):
        raises_exactly(root_key.subkeys, f"Invalid format: Expected 'nk' signature at offset {bad:#x}")
    poke_file(path, payload_position(bad), b"nk")
    assert [k.name() for k in root_key.subkeys()] == ["good", "bad"]


# --- subkey lists ---------------------------------------------------------------------


def keys_abcd(builder):
    return {name: builder.nk(name) for name in "abcd"}


def nested_ri(builder, k, depth):
    offset = builder.subkey_list("li", [k["a"]])
    for _ in range(depth):
        offset = builder.subkey_list("ri", [offset])
    return offset


LIST_SHAPES = {
    # name: (builder, keys) -> (subkey_count, list offset), expected names
    "lf-file-order": (lambda b, k: (2, b.subkey_list("lf", [k["b"], k["a"]])), ["b", "a"]),
    "lf-hashes-ignored": (lambda b, k: (2, b.subkey_list("lf", [k["b"], k["a"]], hashes=[1, 0xFFFFFFFF])),
                          ["b", "a"]),
    "lh": (lambda b, k: (3, b.subkey_list("lh", [k["c"], k["a"], k["b"]])), ["c", "a", "b"]),
    "li": (lambda b, k: (2, b.subkey_list("li", [k["d"], k["a"]])), ["d", "a"]),
    "ri-li-lh": (lambda b, k: (3, b.subkey_list("ri", [b.subkey_list("li", [k["a"], k["b"]]),
                                                       b.subkey_list("lh", [k["c"]])])), ["a", "b", "c"]),
    "ri-lf": (lambda b, k: (2, b.subkey_list("ri", [b.subkey_list("lf", [k["d"], k["c"]])])), ["d", "c"]),
    "ri-skips-no-list": (lambda b, k: (2, b.subkey_list("ri", [NO_LIST, b.subkey_list("li", [k["a"]]), 0,
                                                               b.subkey_list("lf", [k["b"]])])), ["a", "b"]),
    "ri-in-ri": (lambda b, k: (2, b.subkey_list("ri", [b.subkey_list("ri", [b.subkey_list("li", [k["a"]])]),
                                                       b.subkey_list("li", [k["b"]])])), ["a", "b"]),
    "ri-8-deep": (lambda b, k: (1, nested_ri(b, k, 8)), ["a"]),
    "ri-same-leaf-twice": (lambda b, k: (2, b.subkey_list("ri", [b.subkey_list("li", [k["a"]])] * 2)),
                           ["a", "a"]),
    "li-duplicates": (lambda b, k: (1, b.subkey_list("li", [k["c"]] * 3)), ["c", "c", "c"]),
    "lf-count-0": (lambda b, k: (1, b.subkey_list("lf", [k["a"]], count=0)), []),
    "lh-count-0": (lambda b, k: (1, b.subkey_list("lh", [], count=0)), []),
    "li-count-0": (lambda b, k: (1, b.subkey_list("li", [k["a"]], count=0)), []),
    "ri-count-0": (lambda b, k: (1, b.subkey_list("ri", [0x7FFFFFF0], count=0)), []),
    "ri-of-empty-leaf": (lambda b, k: (1, b.subkey_list("ri", [b.subkey_list("li", [])])), []),
    "li-count-below-elements": (lambda b, k: (1, b.subkey_list("li", [k["a"], k["b"]], count=1)), ["a"]),
    "subkey-count-0": (lambda b, k: (0, b.subkey_list("ab", [k["a"]])), []),  # the list is not read
    "subkey-count-0-bad-offset": (lambda b, k: (0, 0x7FFFFFF0), []),
    "subkey-count-above-list": (lambda b, k: (3, b.subkey_list("li", [k["a"], k["b"]])), ["a", "b"]),
    "subkey-count-below-list": (lambda b, k: (1, b.subkey_list("li", [k["a"], k["b"], k["c"]])), ["a", "b", "c"]),
    "no-list-ffffffff": (lambda b, k: (2, NO_LIST), []),
    "no-list-0": (lambda b, k: (2, 0), []),
}


@pytest.mark.parametrize("shape", LIST_SHAPES)
def test_subkey_list_shapes(tmp_path, shape):
    build, expected = LIST_SHAPES[shape]
    builder = hivegen.HiveBuilder()
    count, list_offset = build(builder, keys_abcd(builder))
    root = builder.nk("ROOT", subkey_count=count, subkey_list=list_offset)
    root_key = open_hive(tmp_path, builder.build(root=root)).root_key()
    assert [k.name() for k in root_key.subkeys()] == expected
    assert root_key.subkey_count() == count


def truncated(b, kind, offsets, cut, size):
    return b.alloc(hivegen.subkey_list_record(kind, offsets)[:cut], size=size)


def after_good_leaf(b, k, bad_list):
    """An "ri" over a sound leaf and then ``bad_list``: (ri offset, bad list offset)."""
    return b.subkey_list("ri", [b.subkey_list("li", [k["a"]]), bad_list]), bad_list


def leaf_naming(b, k, bad_key, *more):
    """An "li" naming key a, then ``bad_key``, then ``more``: (list offset, bad key offset)."""
    return b.subkey_list("li", [k["a"], bad_key, *more]), bad_key


LIST_ERRORS = {
    # name: (builder, keys) -> list offset or (list offset, offset L2 of the bad cell),
    # message ({L}: the list offset, {N}: the image length, {S}: the hive bins data length)
    "lf-19-of-20": (lambda b, k: truncated(b, "lf", [k["a"], k["b"]], 19, -23),
                    "Truncated data at offset {L}: expected 20 bytes, got 19 bytes"),
    "lh-count-ffff": (lambda b, k: b.subkey_list("lh", [k["a"]], count=0xFFFF),
                      "Truncated data at offset {L}: expected 524284 bytes, got 12 bytes"),
    "li-15-of-16": (lambda b, k: truncated(b, "li", [k["a"]] * 3, 15, -19),
                    "Truncated data at offset {L}: expected 16 bytes, got 15 bytes"),
    "ri-11-of-12": (lambda b, k: truncated(b, "ri", [0, 0], 11, -15),
                    "Truncated data at offset {L}: expected 12 bytes, got 11 bytes"),
    "cell-size-6": (lambda b, k: b.alloc(b"li", size=-6),
                    "Truncated data at offset {L}: expected 4 bytes, got 2 bytes"),
    "cell-size-4": (lambda b, k: b.alloc(b"", size=-4), "Truncated data at offset {L}: expected 4 bytes, got 0 bytes"),
    "cell-size-2": (lambda b, k: b.alloc(b"", size=-2), "Invalid cell size -2 at offset {L}"),
    "type-ab": (lambda b, k: b.subkey_list("ab", [k["a"]]), "Invalid subkey list type: [97, 98]"),
    "type-rx": (lambda b, k: b.subkey_list("rx", [k["a"]]), "Invalid subkey list type: [114, 120]"),
    "type-lx": (lambda b, k: b.subkey_list("lx", [k["a"]]), "Invalid subkey list type: [108, 120]"),
    "type-LF": (lambda b, k: b.subkey_list("LF", [k["a"]]), "Invalid subkey list type: [76, 70]"),
    "type-rf": (lambda b, k: b.subkey_list("rf", [k["a"]]), "Invalid subkey list type: [114, 102]"),
    "type-rh": (lambda b, k: b.subkey_list("rh", [k["a"]]), "Invalid subkey list type: [114, 104]"),
    "type-il": (lambda b, k: b.subkey_list("il", [k["a"]]), "Invalid subkey list type: [105, 108]"),
    "type-00": (lambda b, k: b.subkey_list(b"\0\0", [k["a"]]), "Invalid subkey list type: [0, 0]"),
    "type-ff": (lambda b, k: b.subkey_list(b"\xff\xfe", [k["a"]]), "Invalid subkey list type: [255, 254]"),
    "key-node-as-list": (lambda b, k: k["a"], "Invalid subkey list type: [110, 107]"),
    "list-offset-out": (lambda b, k: 0x7FFFFFF0, "Invalid offset 0x7ffffff0 (hive size: {N})"),
    # a nested list fails with its own error, carrying its own offset
    "ri-bad-type": (lambda b, k: b.subkey_list("ri", [b.subkey_list("li", [k["a"]]), k["b"]]),
                    "Invalid subkey list type: [110, 107]"),
    "ri-truncated-leaf": (lambda b, k: after_good_leaf(b, k, b.alloc(b"lf\x05\x00", size=-8)),
                          "Truncated data at offset {L2}: expected 44 bytes, got 4 bytes"),
    "ri-leaf-out": (lambda b, k: b.subkey_list("ri", [b.subkey_list("li", [k["a"]]), 0x7FFFFFF0]),
                    "Invalid offset 0x7ffffff0 (hive size: {N})"),
    # the keys named by a leaf: one bad key fails the whole call
    "leaf-names-0": (lambda b, k: b.subkey_list("li", [k["a"], 0]),
                     "Truncated data at offset 0x0: expected 1852400232 bytes, got {S} bytes"),  # "hbin" as a size
    "leaf-names-ffffffff": (lambda b, k: b.subkey_list("lf", [NO_LIST, k["a"]]),
                            "Invalid offset 0xffffffff (hive size: {N})"),
    "leaf-names-a-list": (lambda b, k: leaf_naming(b, k, b.subkey_list("li", [0] * 20), k["b"]),
                          "Invalid format: Expected 'nk' signature at offset {L2}"),
    "leaf-names-bad-utf16": (lambda b, k: leaf_naming(b, k, b.nk(b"\x00\xdc", flags=0)),
                             "Invalid UTF-16 string at offset {L2}"),
}


@pytest.mark.parametrize("case", LIST_ERRORS)
def test_subkey_list_errors(tmp_path, case):
    build, message = LIST_ERRORS[case]
    builder = hivegen.HiveBuilder()
    keys = keys_abcd(builder)
    built = build(builder, keys)
    list_offset, inner = built if isinstance(built, tuple) else (built, None)
    root = builder.nk("ROOT", subkey_count=1, subkey_list=list_offset)
    data = builder.build(root=root)
    root_key = open_hive(tmp_path, data).root_key()
    expected = message.format(L=hex(list_offset), L2=hex(inner or 0), N=hex(len(data)), S=len(data) - 4096)
    for _ in range(2):
        raises_exactly(root_key.subkeys, expected)
    assert root_key.name() == "ROOT"  # the key object stays usable


# --- hostile index roots --------------------------------------------------------------

# The two bounds of the walk: nesting depth, and more list elements read than the image holds.
DEPTH = r"nests index roots too deeply"
REPEAT = r"is reached more often than the hive can hold \(loop in index roots\)"


def run_hostile(tmp_path, builder, list_offset, allowed_offsets, text=f"(?:{DEPTH}|{REPEAT})"):
    root = builder.nk("ROOT", subkey_count=1, subkey_list=list_offset)
    root_key = open_hive(tmp_path, builder.build(root=root)).root_key()
    started = time.monotonic()
    with pytest.raises(ValueError) as exc:
        root_key.subkeys()
    assert time.monotonic() - started < 2
    match = re.fullmatch(rf"Invalid format: Subkey list at offset (0x[0-9a-f]+) {text}", exc.value.args[0])
    assert match, exc.value.args
    assert int(match[1], 16) in allowed_offsets


def test_ri_naming_itself(tmp_path):
    builder = hivegen.HiveBuilder()
    ri = builder.subkey_list("ri", [0])
    builder.patch(ri, 4, struct.pack("<I", ri))
    run_hostile(tmp_path, builder, ri, {ri})


def test_ri_naming_itself_many_times(tmp_path):
    builder = hivegen.HiveBuilder()
    ri = builder.subkey_list("ri", [0] * 1000)
    builder.patch(ri, 4, struct.pack("<1000I", *[ri] * 1000))
    run_hostile(tmp_path, builder, ri, {ri})


def test_cycle_through_two_ri(tmp_path):
    builder = hivegen.HiveBuilder()
    key = builder.nk("k")
    first = builder.subkey_list("ri", [builder.subkey_list("li", [key]), 0])
    second = builder.subkey_list("ri", [first])
    builder.patch(first, 8, struct.pack("<I", second))
    run_hostile(tmp_path, builder, first, {first, second})


@pytest.mark.parametrize("middle_kind", ["ri", "lh"])
def test_fan_out(tmp_path, middle_kind):
    """1000 elements all naming one list of 1000 elements: finite, but a million reads."""
    builder = hivegen.HiveBuilder(bin_size=16384)
    key = builder.nk("k")
    leaf = builder.subkey_list("li", [key])
    middle = builder.subkey_list(middle_kind, [leaf if middle_kind == "ri" else key] * 1000)
    top = builder.subkey_list("ri", [middle] * 1000)
    run_hostile(tmp_path, builder, top, {top, middle, leaf}, REPEAT)


def test_wide_index_root_within_bounds(tmp_path):
    # 5000 keys in an "ri" over five "lh" lists: real hives look like this.
    root = hivegen.Key("ROOT", subkeys=[hivegen.Key(f"k{i:04}") for i in range(5000)])
    hive = open_hive(tmp_path, hivegen.build_tree(root, ri_threshold=1000))
    assert [k.name() for k in hive.root_key().subkeys()] == [f"k{i:04}" for i in range(5000)]


# --- timestamps, reprs, lifetime ------------------------------------------------------


@pytest.mark.parametrize("filetime, expected", [
    (0, None),
    (116444736000000000, 0),
    (116444736009999999, 0),
    (116444736010000000, 1),
    (116444735999999999, -1),
    (116444735990000000, -1),
    (132000000000000000, 1555526400),
    (1, -11644473600),
    (9999999, -11644473600),
    (0x8000000000000000, 910692730085),  # unsigned division
    (0xFFFFFFFFFFFFFFFF, 1833029933770),
])
def test_last_written_timestamp(tmp_path, filetime, expected):
    builder = hivegen.HiveBuilder()
    root = builder.nk("ROOT", last_written=filetime)
    assert open_hive(tmp_path, builder.build(root=root)).root_key().last_written_timestamp() == expected


@pytest.mark.parametrize("name, subkeys, values, text", [
    ("a'b", 0, 0, "RegistryKey(name='a'b', subkeys=0, values=0)"),
    ("ROOT", 4294967295, 7, "RegistryKey(name='ROOT', subkeys=4294967295, values=7)"),
    ("Überwachung-監視", 2147483648, 4294967295,
     "RegistryKey(name='Überwachung-監視', subkeys=2147483648, values=4294967295)"),
    (b"a\\b\"c\0d", 1, 2, "RegistryKey(name='a\\b\"c\0d', subkeys=1, values=2)"),
    ("", 0, 0, "RegistryKey(name='', subkeys=0, values=0)"),
])
def test_key_repr_and_counts(tmp_path, name, subkeys, values, text):
    builder = hivegen.HiveBuilder()
    root = builder.nk(name, subkey_count=subkeys, value_count=values)
    key = open_hive(tmp_path, builder.build(root=root)).root_key()
    assert repr(key) == str(key) == text
    assert (key.subkey_count(), key.value_count()) == (subkeys, values)


def test_every_call_makes_new_objects(tmp_path):
    root = hivegen.Key("ROOT", subkeys=[hivegen.Key("a"), hivegen.Key("b")])
    hive = open_hive(tmp_path, hivegen.build_tree(root))
    assert hive.root_key() is not hive.root_key()
    key = hive.root_key()
    first, second = key.subkeys(), key.subkeys()
    assert first is not second
    assert all(a is not b for a, b in zip(first, second))
    assert [repr(k) for k in first] == [repr(k) for k in second] == [
        "RegistryKey(name='a', subkeys=0, values=0)", "RegistryKey(name='b', subkeys=0, values=0)"]


def test_keys_outlive_the_hive_object(tmp_path):
    tree = hivegen.Key("ROOT", subkeys=[hivegen.Key("a", subkeys=[hivegen.Key("a1", last_written=116444736010000000)]),
                                        hivegen.Key("b")])
    path = write_hive(tmp_path, hivegen.build_tree(tree))
    hive = kelpa.Hive.open(path)
    root = hive.root_key()
    del hive
    gc.collect()
    (tmp_path / "hive.dat").unlink()  # the mapping keeps the image
    a, b = root.subkeys()
    del root
    gc.collect()
    (a1,) = a.subkeys()
    assert (a1.name(), a1.last_written_timestamp(), b.name()) == ("a1", 1, "b")
