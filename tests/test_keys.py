"""Key nodes: cells at the image's edges, reached as the root and as a subkey; key names; the key cache as
Python sees it; subkey lists, hostile index roots too; the fields a key reports (reprs, times, class, security);
then keys by path (open_key), parent() and path(), and walk() (on the shared hives: test_corpus.py)."""

import datetime
import os
import struct
import time
import types

import pytest

import hivegen
import kelpa
from conftest import error, image, open_hive, outcome, put_cell, write_hive
from hivegen import NO_LIST, Key, nk_record as NK


BINS = 0x2000  # hive bins data length; the image is 0x3000 bytes
TARGET_ROOT, TARGET_LIST = 0x20, 0x100  # where the "subkey" route keeps its root and list


def reach(tmp_path, bins: bytearray, offset: int, via: str):
    """The key at ``offset``: as the root key, or as the only subkey of a sound root."""
    if via == "root":
        return open_hive(tmp_path, image(bins, root_cell_offset=offset)).root_key()
    put_cell(bins, TARGET_ROOT, -88, hivegen.nk_record("R", subkey_count=1, subkey_list=TARGET_LIST))
    put_cell(bins, TARGET_LIST, -16, hivegen.subkey_list_record("li", [offset]))
    (key,) = open_hive(tmp_path, image(bins, root_cell_offset=TARGET_ROOT)).root_key().subkeys()
    return key


CELLS = [
    # offset, cell size written there (None: nothing), error
    (0xFFFFF020, None, "Invalid offset 0xfffff020 (hive size: 0x3000)"),  # + 4096 wraps to 0x20 in 32 bits
    (BINS, None, "Invalid offset 0x2000 (hive size: 0x3000)"),  # position == image length
    (BINS - 1, None, "Truncated data at offset 0x1fff: expected 4 bytes, got 1 bytes"),
    # a 4-byte cell that is the last 4 bytes of the image: read, with an empty payload
    (BINS - 4, -4, "Truncated data at offset 0x1ffc: expected 76 bytes, got 0 bytes"),
    (BINS - 4, -5, "Truncated data at offset 0x1ffc: expected 5 bytes, got 4 bytes"),
    (0x1000, 0, "Invalid cell size 0 at offset 0x1000"),
    (0x1000, -3, "Invalid cell size -3 at offset 0x1000"),
    (0x1000, -2147483648, "Truncated data at offset 0x1000: expected 2147483648 bytes, got 4096 bytes"),
    (0x1000, -8, "Truncated data at offset 0x1000: expected 76 bytes, got 4 bytes"),
    (0x1000, -4097, "Truncated data at offset 0x1000: expected 4097 bytes, got 4096 bytes"),
    (0x1000, -4096, "Invalid format: Expected 'nk' signature at offset 0x1000"),  # runs to the image end
    (0x1004, 4092, "Invalid format: Expected 'nk' signature at offset 0x1004"),  # unaligned, free
]
KEY_NODES = [
    # offset, cell size (None: fitted), payload, name or error
    (BINS - 84, -84, NK("LAST"), "LAST"),  # the cell's last byte is the image's last byte
    (BINS - 84, -85, NK("LAST"), "Truncated data at offset 0x1fac: expected 85 bytes, got 84 bytes"),
    (BINS - 84, 84, NK("LAST"), "LAST"),  # a free cell is read like an allocated one
    (0x0FF8, -88, NK("LAST"), "LAST"),  # runs across a 4096-byte bin boundary
    (0x1001, -0x7F8, NK("LAST"), "LAST"),  # unaligned offset and size
    (0x1000, -79, NK("", signature=b"xx")[:75], "Truncated data at offset 0x1000: expected 76 bytes, got 75 bytes"),
    (0x1000, -80, NK(""), ""),  # exactly the fixed part
    (0x1000, -84, NK("ROOTROOTRO"), "Truncated data at offset 0x1000: expected 86 bytes, got 80 bytes"),
    (0x1000, -84, NK("ABCD"), "ABCD"),  # the name ends with the payload
    (0x1000, -84, NK("ABCD", name_length=5), "Truncated data at offset 0x1000: expected 81 bytes, got 80 bytes"),
    (0x1000, None, NK("A", name_length=0xFFFF), "Truncated data at offset 0x1000: expected 65611 bytes, got 84 bytes"),
    (0x1000, None, NK("x", signature=b"nK"), "Invalid format: Expected 'nk' signature at offset 0x1000"),
    # the signature is checked before the name length
    (0x1000, None, NK("x", signature=b"vk", name_length=0xFFFF),
     "Invalid format: Expected 'nk' signature at offset 0x1000"),
    (0x1000, None, NK(b"R\0O\0O", flags=0), "Invalid UTF-16 string at offset 0x1000"),
    # only bit 0x0020 chooses the form
    (0x1000, None, NK(b"R\0O\0O\0T\0", flags=0xFFDF), "ROOT"),
    (0x1000, None, NK(b"ROOT", flags=0xFFFF), "ROOT"),
]


@pytest.mark.parametrize("via", ["root", "subkey"])
@pytest.mark.parametrize("offset, size, payload, expected", [(o, s, b"", m) for o, s, m in CELLS] + KEY_NODES)
def test_cell_bounds_and_key_nodes(tmp_path, via, offset, size, payload, expected):
    bins = bytearray(BINS)
    if size is not None or payload:
        put_cell(bins, offset, -((len(payload) + 11) // 8 * 8) if size is None else size, payload)
    assert outcome(lambda: reach(tmp_path, bins, offset, via).name()) == (
        error(expected) if expected.startswith(("Truncated", "Invalid")) else expected)


def test_8bit_names_are_latin1(tmp_path):
    """Each byte of an 8-bit name is one Latin-1 character (the low byte of a UTF-16 code unit); trailing NULs
    go, inner ones stay, and no byte-order mark is sniffed."""
    names = [b"Software\0\0", b"Caf\xe9", b"\xef\xbb\xbfA", b"a\0b", bytes(range(1, 256))]
    tree = Key("ROOT", subkeys=[Key(n) for n in names])  # bytes: stored as they are, in the 8-bit form
    got = [k.name() for k in open_hive(tmp_path, hivegen.build_tree(tree)).root_key().subkeys()]
    assert got == [n.decode("latin-1").rstrip("\0") for n in names]


UTF16_NAMES = [
    (b"A\0B\0", "AB"), (b"A\0\0\0", "A"), (b"\0\0A\0", "\0A"),
    # every boundary of the UTF-8 encoder
    ("\x7f\x80\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff".encode("utf-16-le"),
     "\x7f\x80\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff"),
    (b"\x3d\xd8\x00\xde", "\U0001f600"), (b"\x00\xd8\x00\xdc", "\U00010000"), (b"\xff\xdb\xff\xdf", "\U0010ffff"),
    (b"\xef\xbb", "\ubbef"),  # two bytes cannot hold the three-byte mark
    # byte-order marks, sniffed at the start only, both bytes of a mark needed
    (b"\xff\xfeA\0", "A"), (b"\xef\xbb\xbf\xc3\xa9A", "\u00e9A"), (b"\xff\xfe", ""), (b"\xfe\xff", ""),
    (b"\xff\xfe\xff\xfe", "\ufeff"), (b"\xfe\xff\xd8\x3d\xde\x00", "\U0001f600"), (b"A\0\xff\xfe", "A\ufeff"),
    (b"\xff\x00A\0", "\xffA"), (b"\x00\xfeA\0", "\ufe00A"), (b"\xfe\x00A\0", "\xfeA"), (b"\x21\xffA\0", "\uff21A"),
    (b"\xef\x00A\0", "\xefA"), (b"\x00\xbb\xbf\x00", "\ubb00\xbf"), (b"\xef\xbbA\0", "\ubbefA"),
    # malformed: odd length, unpaired surrogates, bad UTF-8 after its mark, a lead byte cut short by an ASCII one,
    # a pair not completed past the name (its stored length: 2)
    *[(stored, None) for stored in [
        b"A\0B", b"\xef\xbb\xbf", b"\x00\xd8", b"\xff\xdf", b"\x00\xd8A\0", b"\x00\xd8\xff\xdb", b"\x00\xd8\x00\xe0",
        b"\x00\xdc\x00\xd8", b"\x00\xdc\x00\xdc", b"\xfe\xff\xdc\x00", b"\xef\xbb\xbf\xff", b"\xef\xbb\xbf\xed\xa0\x80",
        b"\xef\xbb\xbfA\xe2\x82", b"\xef\xbb\xbf\xc3A", (b"\x00\xd8\x00\xdc", 2)]],
]


@pytest.mark.parametrize("stored, text", UTF16_NAMES, ids=[repr(s)[2:-1] for s, _ in UTF16_NAMES])
def test_utf16_names(tmp_path, stored, text):
    stored, length = stored if isinstance(stored, tuple) else (stored, None)  # (bytes, stored name length)
    b = hivegen.HiveBuilder()
    b.alloc(b"filler")  # keeps the key off 0x20, so the offset in errors is its own
    root = b.nk(stored, flags=0, name_length=length)
    assert outcome(lambda: open_hive(tmp_path, b.build(root=root)).root_key().name()) == (
        text if text is not None else error("Invalid UTF-16 string at offset 0x30"))


def test_a_failed_key_is_not_cached_and_a_read_one_is(tmp_path):
    # Hive.open maps the file shared, so an open hive sees a change made on disk: a cached key does not.
    b = hivegen.HiveBuilder()
    child = b.nk(b"C\0H\0I\0L\0D\0", flags=0, last_written=116444736010000000)
    root = b.nk("ROOT", subkey_count=1, subkey_list=b.subkey_list("li", [child]))
    hive = kelpa.Hive.open(path := write_hive(tmp_path, b.build(root=root)))
    file = os.open(path, os.O_WRONLY)
    poke = lambda cell, field, data: os.pwrite(file, data, 4096 + cell + 4 + field)  # noqa: E731
    for field, bad, good, message in [(0, b"nK", b"nk", "Invalid format: Expected 'nk' signature at offset {:#x}"),
                                      (76, b"\x00\xd8", b"C\0", "Invalid UTF-16 string at offset {:#x}"),
                                      (72, b"\xc8\0", b"\x0a\0",
                                       "Truncated data at offset {:#x}: expected 276 bytes, got 92 bytes")]:
        poke(child, field, bad)
        assert [outcome(hive.root_key().subkeys) for _ in range(2)] == [error(message.format(child))] * 2
        poke(child, field, good)  # read afresh: nothing was left behind
    (child_key,) = (root_key := hive.root_key()).subkeys()
    for cell, field, data in [(root, 76, b"XXXX"), (child, 76, b"Y\0"), (root, 28, struct.pack("<I", NO_LIST)),
                              (child, 4, bytes(8))]:
        poke(cell, field, data)
    os.close(file)
    assert kelpa.Hive.open(path).root_key().name() == "XXXX"  # the file did change
    assert (hive.root_key().name(), [k.name() for k in root_key.subkeys()], child_key.last_written_timestamp()) == (
        "ROOT", ["CHILD"], 1)


def nested_ri(b, offset, depth):
    """The list at `offset` under `depth` index roots, each naming the next."""
    for _ in range(depth):
        offset = b.subkey_list("ri", [offset])
    return offset


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
    "lf-19-of-20": (1, lambda b, k: b.alloc(hivegen.subkey_list_record("lf", [k.a, k.b])[:19], size=-23),
                    "Truncated data at offset {L}: expected 20 bytes, got 19 bytes"),
    "ri-11-of-12": (1, lambda b, k: b.alloc(hivegen.subkey_list_record("ri", [0, 0])[:11], size=-15),
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


MAX_FILETIME = 2_650_467_743_999_999_999  # 9999-12-31 23:59:59.9999999
SK = b"sk" + bytes(14)  # signature, reserved, links and reference count before the size
UTF16 = "Classy".encode("utf-16-le")  # its cell holds exactly these 12 bytes


KEY_FIELDS = {
    # name: the root key's fields (a bytes class name or security offset: a cell holding them), the method
    # ("repr": repr, str and the two counts), its result
    "repr-quote": (dict(name="a'b"), "repr", ("RegistryKey(name='a'b', subkeys=0, values=0)",) * 2 + (0, 0)),
    "repr-counts": (dict(name="Überwachung-監視", subkey_count=2147483648, value_count=4294967295), "repr",
                    ("RegistryKey(name='Überwachung-監視', subkeys=2147483648, values=4294967295)",) * 2
                    + (2147483648, 4294967295)),
    "repr-escapes": (dict(name=b"a\\b\"c\0d", subkey_count=1, value_count=2), "repr",
                     ("RegistryKey(name='a\\b\"c\0d', subkeys=1, values=2)",) * 2 + (1, 2)),
    "flags": (dict(flags=0xA024), "flags", 0xA024),
    # last_written_timestamp(): seconds since 1970, floored, from an unsigned count of ticks
    **{f"stamp-{ticks:#x}": (dict(last_written=ticks), "last_written_timestamp", seconds) for ticks, seconds in [
        (0, None), (116444736000000000, 0), (116444736009999999, 0), (116444736010000000, 1), (116444735999999999, -1),
        (1, -11644473600), (0x8000000000000000, 910692730085), (0xFFFFFFFFFFFFFFFF, 1833029933770)]},
    # last_written(): datetimes, ticks below a microsecond dropped
    "written-none": (dict(last_written=0), "last_written", None),
    "written-first-tick": (dict(last_written=1), "last_written", datetime.datetime(1601, 1, 1, tzinfo=datetime.UTC)),
    "written-micro": (dict(last_written=116_444_736_000_000_019), "last_written",
                      datetime.datetime(1970, 1, 1, 0, 0, 0, 1, tzinfo=datetime.UTC)),
    "written-last": (dict(last_written=MAX_FILETIME), "last_written", datetime.datetime.max.replace(tzinfo=datetime.UTC)),
    "written-past-9999": (dict(last_written=MAX_FILETIME + 1), "last_written",
                          error("Invalid format: Last written time of key at offset 0x20 is past 9999-12-31")),
    "class-no-offset": (dict(), "class_name", None),
    "class": (dict(class_name=UTF16, class_name_length=12), "class_name", "Classy"),
    "class-no-length": (dict(class_name=UTF16), "class_name", None),
    "class-prefix": (dict(class_name=UTF16, class_name_length=6), "class_name", "Cla"),
    "class-short-cell": (dict(class_name=b"Cl", class_name_length=10), "class_name",
                         error("Truncated data at offset 0x20: expected 10 bytes, got 4 bytes")),
    "class-bad-utf16": (dict(class_name=b"\x00\xd8", class_name_length=2), "class_name",
                        error("Invalid UTF-16 string at offset 0x20")),
    "class-offset-out": (dict(class_name=0x7FFFFFF0, class_name_length=2), "class_name",
                         error("Invalid offset 0x7ffffff0 (hive size: 0x2000)")),
    "no-security": (dict(), "security_descriptor", None),
    "descriptor": (dict(security=SK + (8).to_bytes(4, "little") + b"\x01\x00\x04\x80tail"), "security_descriptor",
                   b"\x01\x00\x04\x80tail"),  # fills its cell
    "descriptor-empty": (dict(security=SK + (0).to_bytes(4, "little")), "security_descriptor", b""),
    "descriptor-short": (dict(security=SK + (16).to_bytes(4, "little") + b"abcd"), "security_descriptor",
                         error("Truncated data at offset 0x20: expected 36 bytes, got 28 bytes")),
    "security-short-record": (dict(security=SK[:12]), "security_descriptor",
                              error("Truncated data at offset 0x20: expected 20 bytes, got 12 bytes")),
    "security-signature": (dict(security=b"nk" + SK[2:] + bytes(4)), "security_descriptor",
                           error("Invalid format: Expected 'sk' signature at offset 0x20")),
    "security-offset-out": (dict(security=0x7FFFFFF0), "security_descriptor",
                            error("Invalid offset 0x7ffffff0 (hive size: 0x2000)")),
}


@pytest.mark.parametrize("fields, method, expected", KEY_FIELDS.values(), ids=KEY_FIELDS.keys())
def test_key_fields(tmp_path, fields, method, expected):
    b = hivegen.HiveBuilder()
    fields = {n: b.alloc(v) if n in ("class_name", "security") and isinstance(v, bytes) else v
              for n, v in fields.items()}
    key = open_hive(tmp_path, b.build(root=b.nk(fields.pop("name", "R"), **fields))).root_key()
    counts = lambda: (repr(key), str(key), key.subkey_count(), key.value_count())  # noqa: E731
    assert outcome(counts if method == "repr" else getattr(key, method)) == expected


def walked(key, onerror=None):
    """Names the walk yields, and the error that ended it (None when it ran to its end)."""
    out = []
    try:
        out.extend(k.name() for k in key.walk(onerror))
    except ValueError as e:
        return out, str(e)
    return out, None


def graph(tmp_path, nodes, lists, *, root="R", patches=()):
    """Keys (root first), then their subkey lists {name: (kind, elements)}, an element being a key's name, a
    raw offset or a nested (kind, elements); last the ``patches`` (key, payload position, format, key name or
    value). Returns (hive, {name: hex offset})."""
    b = hivegen.HiveBuilder()
    off = {n: b.nk(n, root=n == root, subkey_count=len(lists.get(n, ("", [0]))[1])) for n in nodes}

    def write(kind, elements):
        return b.subkey_list(kind, [write(*e) if isinstance(e, tuple) else off.get(e, e) for e in elements])

    for n, at, fmt, value in [(n, hivegen.NK_SUBKEY_LIST_OFFSET, "<I", write(*e)) for n, e in lists.items()] + [*patches]:
        b.patch(off[n], at, struct.pack(fmt, off.get(value, value)))
    hive = open_hive(tmp_path, b.build(root=off[root]))
    return hive, {n: hex(o) for n, o in off.items()}


def named_tree():
    tcpip = Key("Tcpip", subkeys=[Key("Parameters", subkeys=[Key("Interfaces")])])
    return Key("ROOT", subkeys=[
        Key("Services", subkeys=[Key("Dhcp"), tcpip]), Key("äpfel", list_kind="li"), Key("straße"),
        Key("ǆemal"), Key("x\U00010428"), Key("dup", subkeys=[Key("first")]), Key("DUP", subkeys=[Key("second")]),
        Key(b"\xe4rger"), Key("bad", list_kind="lx", subkeys=[Key("x")])])  # an 8-bit name; an unknown list


@pytest.mark.parametrize("path, found", [
    ("services", "Services"), ("SERVICES\\TCPIP\\parameters", "Services\\Tcpip\\Parameters"),
    ("\\\\Services\\\\\\Tcpip\\", "Services\\Tcpip"), ("", ""), ("\\", ""), ("ÄPFEL", "äpfel"),
    ("ǄEMAL", "ǆemal"), ("ǅemal", "ǆemal"), ("X\U00010400", "x\U00010428"), ("Dup\\first", "dup\\first"),
    ("ÄRGER", "ärger"), ("STRASSE", None), ("Servic", None), ("Services\\Tcpip\\nope", None), ("äpfel ", None),
    ("bad\\x", "Invalid subkey list type: [108, 120]"),
], ids=repr)
def test_open_key(tmp_path, path, found):
    hive = kelpa.Hive.open(write_hive(tmp_path, hivegen.build_tree(named_tree())))
    if found is None or found.startswith("Invalid"):
        assert outcome(lambda: hive.open_key(path)) == error(found or f"Not found: Key '{path}'")
        return
    key = hive.open_key(path)
    assert key.path() == found and repr(hive.root_key().open_key(path)) == repr(key)
    assert key.parent() is None if found == "" else key.parent().path() == found.rpartition("\\")[0]


@pytest.mark.parametrize("patches, message", [
    ([("A", 16, "<I", "A")], "Invalid format: Parent chain of the key at offset {A} loops"),
    ([("A", 16, "<I", "B"), ("B", 16, "<I", "A")], "Invalid format: Parent chain of the key at offset {A} loops"),
    ([("A", 16, "<I", 0x7FFFFFF0)], "Invalid offset 0x7ffffff0 (hive size: 0x2000)"),
    ([("A", 2, "<H", hivegen.KEY_COMP_NAME | hivegen.KEY_HIVE_ENTRY)], None),
], ids=["self", "mutual", "bad-offset", "hive-entry"])
def test_parent_errors(tmp_path, patches, message):
    hive, off = graph(tmp_path, ["R", "A", "B"], {"R": ("li", ["A"])}, patches=patches)
    key = hive.root_key().subkeys()[0]
    if message is None:
        assert key.parent() is None and key.path() == ""
    else:
        assert outcome(lambda: key.path()) == error(message.format(**off))


CYCLE = "Invalid format: Key at offset {} lists a key on its own path: offset {}"


@pytest.mark.parametrize("lists, plain, tolerant, message", [
    ({"R": ("ri", [("ri", [("li", ["A", "B"])]), ("lh", ["C"])]), "A": ("lf", ["D"])}, "RADBC", "RADBC", None),
    ({"R": ("li", ["A"]), "A": ("lh", ["A", "B"])}, "RA", "RAB", CYCLE.format("{A}", "{A}")),
    ({"R": ("li", ["A"]), "A": ("li", ["B"]), "B": ("lf", ["A", "C"])}, "RAB", "RABC", CYCLE.format("{B}", "{A}")),
    ({"R": ("lf", ["A", "B", "C"]), "B": ("lx", [0x20]), "C": ("li", ["D"])}, "RAB", "RABCD",
     "Invalid subkey list type: [108, 120]"),
    ({"R": ("li", ["A"] * 200)}, "R", "R",
     "Invalid format: Key at offset {R} lists more keys than the hive holds (keys listed over and over)"),
], ids=["nested-ri", "self-loop", "mutual-loop", "damaged-list", "listed-over-and-over"])
def test_walk(tmp_path, lists, plain, tolerant, message):
    hive, off = graph(tmp_path, ["R", "A", "B", "C", "D"], lists)
    root, errors = hive.root_key(), []
    message = message and message.format(**off)
    assert walked(root) == (list(plain), message)
    assert walked(root, errors.append) == (list(tolerant), None)
    assert [(type(e), str(e)) for e in errors] == ([(ValueError, message)] if message else [])


def test_deep_chain(tmp_path):
    levels = [f"L{i}" for i in range(600)]
    hive, off = graph(tmp_path, levels, {a: ("li", [b]) for a, b in zip(levels, levels[1:])}, root="L0",
                      patches=[(b, 16, "<I", a) for a, b in zip(levels, levels[1:])])
    keys, message = walked(hive.root_key())
    assert (keys, message) == (levels[:513], f"Invalid format: Key at offset {off['L512']} has subkeys more than 512 "
                                             "levels below the start of the walk")
    deepest = hive.open_key("\\".join(levels[1:513]))
    assert [k.name() for k in deepest.subkeys()[0].walk()] == levels[513:]
    assert outcome(deepest.subkeys()[0].path) == error(
        f"Invalid format: Parent chain of the key at offset {off['L513']} is deeper than 512 keys")
