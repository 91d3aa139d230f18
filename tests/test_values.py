"""Value lists and value keys: what RegistryKey.values() lists and what value(name) finds.

Each hive here is a root key whose value list is written cell by cell, so the table rows
show the stored fields that matter: counts, list offsets, vk lengths, names and flags.
"""

import gc
import re

import pytest

import hivegen
import kelpa
from hivegen import REG_BINARY, REG_DWORD, REG_SZ, VALUE_COMP_NAME, dword

BAD = 0x7FFFFFF0  # a cell offset far past the end of every hive written here


def open_root(tmp_path, b, *, value_count, value_list):
    """Writes the builder's cells under a root key; returns (root key, image length)."""
    root = b.nk("ROOT", root=True, value_count=value_count, value_list=value_list)
    path = b.write(tmp_path / "values.hiv", root=root)
    return kelpa.Hive.open(str(path)).root_key(), path.stat().st_size


def root_with_values(tmp_path, vks):
    """A root key listing the value keys that each ``vks`` entry (builder -> offset) writes."""
    b = hivegen.HiveBuilder()
    offsets = [make(b) for make in vks]
    return open_root(tmp_path, b, value_count=len(offsets), value_list=b.value_list(offsets))


def raises_value_error(message):
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


def summary(values):
    return [(v.name(), v.value_type().type_id(), v.raw_data()) for v in values]


# --- the value list ----------------------------------------------------------------------


@pytest.mark.parametrize("value_count, value_list", [
    (0, BAD),          # the count is tested first: the offset is never followed
    (0, 0),
    (3, 0xFFFFFFFF),
    (3, 0),            # 0 would be the first bin header if it were read
])
def test_no_value_list_lists_nothing(tmp_path, value_count, value_list):
    key, _ = open_root(tmp_path, hivegen.HiveBuilder(), value_count=value_count, value_list=value_list)
    assert key.values() == []
    with raises_value_error("Not found: Value 'x'"):
        key.value("x")


@pytest.mark.parametrize("value_count, list_at, message", [
    (4, None, "Truncated data at offset {off:#x}: expected 16 bytes, got 12 bytes"),
    # 4 x count is computed in 64 bits: in 32 bits it would wrap to 4 and pass
    (0x40000001, None, "Truncated data at offset {off:#x}: expected 4294967300 bytes, got 12 bytes"),
    (1, BAD, "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (1, 0xFFFFF000, "Invalid offset 0xfffff000 (hive size: {size:#x})"),
])
def test_value_list_errors(tmp_path, value_count, list_at, message):
    b = hivegen.HiveBuilder()
    vk = b.vk("A", REG_DWORD, dword(1))
    three = b.value_list([vk, vk, vk])  # 12-byte payload in a 16-byte cell
    key, size = open_root(tmp_path, b, value_count=value_count, value_list=three if list_at is None else list_at)
    message = message.format(off=three, size=size)
    with raises_value_error(message):
        key.values()
    with raises_value_error(message):
        key.value("A")


@pytest.mark.parametrize("entries, value_count, names", [
    # a 12-byte list holds exactly 3 entries; a key named twice is listed twice
    (["Second", "First", "Second"], 3, ["Second", "First", "Second"]),
    # entries past the count are never read, even when they name no cell
    (["First", BAD], 1, ["First"]),
])
def test_list_entries_read_in_order_up_to_the_count(tmp_path, entries, value_count, names):
    b = hivegen.HiveBuilder()
    first = b.vk("First", REG_DWORD, dword(1))
    second = b.vk("Second", REG_DWORD, dword(2))
    offsets = {"First": first, "Second": second}
    value_list = b.value_list([offsets.get(e, e) for e in entries])
    key, _ = open_root(tmp_path, b, value_count=value_count, value_list=value_list)
    assert summary(key.values()) == [(n, REG_DWORD, dword(1 if n == "First" else 2)) for n in names]


# --- value keys --------------------------------------------------------------------------


def test_value_key_fields(tmp_path):
    key, _ = root_with_values(tmp_path, [
        lambda b: b.vk("Name", 0xFFFF0011, data_size=0x80000004, data_offset=0x12345678),
    ])
    [value] = key.values()
    assert value.name() == "Name"
    assert value.value_type().type_id() == 0xFFFF0011
    assert value.raw_data() == b"\x78\x56\x34\x12"
    assert value.data_size() == 4


def vk_cut(b, keep, signature=b"vk"):
    """A value key cut to ``keep`` payload bytes (the cell is padded to 8 with zeros)."""
    return b.alloc(hivegen.vk_record("", REG_DWORD, data_size=0, data_offset=0, signature=signature)[:keep])


@pytest.mark.parametrize("make, message", [
    (lambda b: vk_cut(b, 12), "Truncated data at offset {off:#x}: expected 20 bytes, got 12 bytes"),
    # the length is checked before the signature
    (lambda b: vk_cut(b, 12, b"nk"), "Truncated data at offset {off:#x}: expected 20 bytes, got 12 bytes"),
    (lambda b: b.alloc(b"", size=-4), "Truncated data at offset {off:#x}: expected 20 bytes, got 0 bytes"),
    (lambda b: b.alloc(b"", size=2), "Invalid cell size 2 at offset {off:#x}"),
    (lambda b: b.vk("A", REG_DWORD, dword(1), signature=b"nk"),
     "Invalid format: Expected 'vk' signature at offset {off:#x}"),
    (lambda b: b.vk("A", REG_DWORD, dword(1), signature=b"VK"),
     "Invalid format: Expected 'vk' signature at offset {off:#x}"),
    # exactly 20 bytes of payload: a one-byte name runs past it; a huge one is not cut to 16 bits
    (lambda b: b.vk(b"", REG_DWORD, dword(1), name_length=1),
     "Truncated data at offset {off:#x}: expected 21 bytes, got 20 bytes"),
    (lambda b: b.vk(b"", REG_DWORD, dword(1), name_length=0xFFFF),
     "Truncated data at offset {off:#x}: expected 65555 bytes, got 20 bytes"),
    (lambda b: b.vk(b"A\x00B", REG_DWORD, dword(1), flags=0), "Invalid UTF-16 string at offset {off:#x}"),
    (lambda b: b.vk(b"\x00\xd8A\x00", REG_DWORD, dword(1), flags=0), "Invalid UTF-16 string at offset {off:#x}"),
    (lambda b: b.vk(b"A\x00\x00\xdc", REG_DWORD, dword(1), flags=0), "Invalid UTF-16 string at offset {off:#x}"),
])
def test_value_key_errors(tmp_path, make, message):
    b = hivegen.HiveBuilder()
    good = b.vk("Good", REG_DWORD, dword(1))
    bad = make(b)
    key, _ = open_root(tmp_path, b, value_count=2, value_list=b.value_list([good, bad]))
    message = message.format(off=bad)
    # The good first value is not returned on its own: the whole call fails.
    with raises_value_error(message):
        key.values()
    with raises_value_error(message):
        key.value("Good")
    with raises_value_error(message):  # and the same again: nothing was left half-read
        key.values()


def test_value_key_of_exactly_20_bytes(tmp_path):
    key, _ = root_with_values(tmp_path, [lambda b: b.vk(b"", REG_DWORD, dword(7), cell_size=-24)])
    assert summary(key.values()) == [("(default)", REG_DWORD, dword(7))]


@pytest.mark.parametrize("stored, flags, name_length, name", [
    (b"", 0, None, "(default)"),
    (b"ab", VALUE_COMP_NAME, 0, "(default)"),           # length 0 wins over bytes and flags
    (b"(default)", VALUE_COMP_NAME, None, "(default)"),  # indistinguishable from the unnamed value
    (b"A\x00\x00\x00", 0, None, "A"),
    (b"\x00\x00\x00\x00", 0, None, ""),                  # empty, not "(default)"
    ("Größe".encode("utf-16-le"), 0, None, "Größe"),
    (b"\x3d\xd8\x00\xde", 0, None, "\U0001F600"),
    (b"\xff\xfeA\x00", 0, None, "A"),
    (b"\xfe\xff\x00A", 0, None, "A"),
    (b"Ab", 0xFFFF, None, "Ab"),                          # only bit 0 chooses the form
    ("Ab".encode("utf-16-le"), 0xFFFE, None, "Ab"),
    (b"Caf\xc3\xa9", VALUE_COMP_NAME, None, "Café"),
    (b"Caf\xe9", VALUE_COMP_NAME, None, "Caf\ufffd"),
    (b"a\x00b\x00\x00", VALUE_COMP_NAME, None, "a\x00b"),
])
def test_value_names(tmp_path, stored, flags, name_length, name):
    key, _ = root_with_values(tmp_path, [
        lambda b: b.vk(stored, REG_DWORD, dword(1), flags=flags, name_length=name_length),
    ])
    [value] = key.values()
    assert value.name() == name
    assert repr(value) == f"RegistryValue(name='{name}')"


def test_repr_does_not_escape_quotes(tmp_path):
    key, _ = root_with_values(tmp_path, [lambda b: b.vk("it's", REG_SZ, hivegen.sz("x"))])
    assert repr(key.values()[0]) == "RegistryValue(name='it's')"


def test_data_size_top_bit_is_cleared(tmp_path):
    cell = []

    def eight_bytes_in_a_cell(b):
        cell.append(b.alloc(bytes(range(1, 13))))
        return b.vk("InCell", REG_BINARY, data_size=0x80000008, data_offset=cell[0])

    key, _ = root_with_values(tmp_path, [
        eight_bytes_in_a_cell,  # the flag bit does not make it inline: the size alone decides
        lambda b: b.vk("Zero", REG_BINARY, data_size=0x80000000, data_offset=0x12345678),
        lambda b: b.vk("Two", REG_BINARY, data_size=0x80000002, data_offset=0x12345678),
    ])
    assert [(v.name(), v.raw_data()) for v in key.values()] == [
        ("InCell", bytes(range(1, 9))),
        ("Zero", b""),
        ("Two", b"\x78\x56"),
    ]


# --- value(name) -------------------------------------------------------------------------

LOOKUP_VALUES = [("Path", 1), ("", 2), ("path", 3), ("Ärger", 4), ("a[", 5), ("@x", 6), ("Größe", 7)]


@pytest.fixture(scope="module")
def lookup_key(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("lookup")
    key, _ = root_with_values(tmp, [
        (lambda b, n=name, d=data: b.vk(n, REG_DWORD, dword(d))) for name, data in LOOKUP_VALUES
    ])
    return key


@pytest.mark.parametrize("query, name, data", [
    ("Path", "Path", 1),
    ("PATH", "Path", 1),          # the stored name comes back, not the argument
    ("path", "Path", 1),          # the first match wins over a later exact one
    ("(default)", "(default)", 2),
    ("(DEFAULT)", "(default)", 2),
    ("(Default)", "(default)", 2),
    ("ÄRGER", "Ärger", 4),        # the ASCII letters fold, the Ä matches as it is
    ("A[", "a[", 5),
    ("@X", "@x", 6),
    ("GRößE", "Größe", 7),
])
def test_value_found(lookup_key, query, name, data):
    value = lookup_key.value(query)
    assert (value.name(), value.raw_data()) == (name, dword(data))
    assert lookup_key.value(name=query).name() == name


@pytest.mark.parametrize("query", [
    "ärger",       # U+00E4 against U+00C4: non-ASCII letters do not fold
    "a{",          # 0x7B is 0x5B | 0x20 but neither is a letter
    "`x",          # likewise 0x60 and 0x40
    "GRÖßE",
    "Path ", " Path", "Pat", "Path\x00", "",
    "default",
])
def test_value_not_found(lookup_key, query):
    with raises_value_error(f"Not found: Value '{query}'"):
        lookup_key.value(query)


# --- values whose data cannot be read ----------------------------------------------------


def data_past_the_image(b):
    return b.vk("Bad", REG_SZ, data_size=16, data_offset=BAD), "Invalid offset 0x7ffffff0 (hive size: {size:#x})"


def big_data_without_db(b):
    cell = b.alloc(b"vk" + bytes(30))
    vk = b.vk("Bad", REG_SZ, data_size=20000, data_offset=cell)
    return vk, f"Invalid format: Expected 'db' signature at offset {cell:#x}, found [118, 107]"


@pytest.mark.parametrize("make", [data_past_the_image, big_data_without_db])
def test_unreadable_data_listed_empty_but_raised_by_name(tmp_path, make):
    b = hivegen.HiveBuilder()
    before = b.vk("Before", REG_DWORD, dword(1))
    bad, message = make(b)
    after = b.vk("After", REG_SZ, hivegen.sz("still here"))
    key, size = open_root(tmp_path, b, value_count=3, value_list=b.value_list([before, bad, after]))

    listed = key.values()
    assert [(v.name(), v.data_size(), v.raw_data()) for v in listed] == [
        ("Before", 4, dword(1)), ("Bad", 0, b""), ("After", 22, hivegen.sz("still here")),
    ]
    assert listed[1].value_type().type_name() == "REG_SZ"
    assert listed[1].data().is_none()
    with raises_value_error(message.format(size=size)):
        key.value("bad")
    # The failure leaves the key and its hive usable.
    assert key.value("AFTER").data().as_string() == "still here"
    assert [v.name() for v in key.values()] == ["Before", "Bad", "After"]


def test_values_are_detached_from_the_hive(tmp_path):
    key, _ = root_with_values(tmp_path, [lambda b: b.vk("Name", REG_SZ, hivegen.sz("text"))])
    values = key.values()
    found = key.value("name")
    del key
    gc.collect()
    for value in (values[0], found):
        assert (value.name(), value.data().as_string(), value.value_type().type_name()) == ("Name", "text", "REG_SZ")
