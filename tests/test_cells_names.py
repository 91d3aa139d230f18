"""Cell access at the edges of the image, reached both ways a key is (the base block's root
offset, an offset in a subkey list), and the decoding of key names."""

import itertools
import random
import struct

import pytest

import hivegen
import kelpa
from conftest import error, image, open_hive, outcome, put_cell

BINS = 0x2000  # hive bins data length; the image is 0x3000 bytes
TARGET_ROOT, TARGET_LIST = 0x20, 0x100  # where the "subkey" route keeps its root and list


def reach(tmp_path, bins: bytearray, offset: int, via: str):
    """The key at ``offset``: as the root key, or as the only subkey of a sound root."""
    if via == "root":
        return open_hive(tmp_path, image(bins, root_cell_offset=offset)).root_key()
    put_cell(bins, TARGET_ROOT, -88, hivegen.nk_record("R", subkey_count=1, subkey_list=TARGET_LIST))
    put_cell(bins, TARGET_LIST, -16, hivegen.subkey_list_record("li", [offset]))
    root = open_hive(tmp_path, image(bins, root_cell_offset=TARGET_ROOT)).root_key()
    assert root.name() == "R"
    (key,) = root.subkeys()
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
CELLS_OF_KEY_LAST = [
    (BINS - 84, -84, "LAST"),  # the cell's last byte is the image's last byte
    (BINS - 84, -85, "Truncated data at offset 0x1fac: expected 85 bytes, got 84 bytes"),
    (BINS - 84, 84, "LAST"),  # a free cell is read like an allocated one
    (0x0FF8, -88, "LAST"),  # runs across a 4096-byte bin boundary
    (0x1001, -0x7F8, "LAST"),  # unaligned offset and size
]


@pytest.mark.parametrize("via", ["root", "subkey"])
@pytest.mark.parametrize("offset, size, payload, expected", [(o, s, b"", m) for o, s, m in CELLS] + [
    (o, s, hivegen.nk_record("LAST"), m) for o, s, m in CELLS_OF_KEY_LAST])
def test_cell_bounds(tmp_path, via, offset, size, payload, expected):
    bins = bytearray(BINS)
    if size is not None:
        put_cell(bins, offset, size, payload)
    assert outcome(lambda: reach(tmp_path, bins, offset, via).name()) == (
        expected if expected == "LAST" else error(expected))


def test_offsets_near_4_gib(tmp_path):
    """In an image larger than 4 GiB a cell straddling 4 GiB is read, and offset
    0xFFFFF000 is still invalid (offset + 4096 does not fit in 32 bits)."""
    path = tmp_path / "big.dat"
    length = 0x1_0000_2000
    far = 0xFFFFEFF0  # image position 0xFFFFFFF0: the cell runs across 4 GiB
    try:
        with open(path, "wb") as f:
            f.truncate(length)  # sparse: only the pages written take space
            f.write(hivegen.base_block(root_cell_offset=far, hive_bins_data_size=0xFFFFF000))
            f.seek(4096 + far)
            f.write(struct.pack("<i", -88) + hivegen.nk_record("FAR"))
        assert kelpa.Hive.open(str(path)).root_key().name() == "FAR"
        with open(path, "r+b") as f:
            f.write(hivegen.base_block(root_cell_offset=0xFFFFF000, hive_bins_data_size=0xFFFFF000))
        assert outcome(kelpa.Hive.open(str(path)).root_key) == error("Invalid offset 0xfffff000 (hive size: 0x100002000)")
    finally:
        path.unlink(missing_ok=True)


def key_name(tmp_path, stored: bytes, flags: int, name_length: int | None = None):
    builder = hivegen.HiveBuilder()
    builder.alloc(b"filler")  # keeps the key off 0x20, so the offset in errors is its own
    root = builder.nk(stored, flags=flags, name_length=name_length)
    return open_hive(tmp_path, builder.build(root=root)).root_key().name()


def test_8bit_names_decode_as_python_does(tmp_path):
    """One U+FFFD per maximal ill-formed subpart, as Python's decoder: every 3-byte string over the
    bytes where UTF-8 changes its mind, random longer ones, and a few fixed ones."""
    edges = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1,
             0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF]
    rng = random.Random(1601)
    names = [b"Software\0\0", b"Caf\xe9", b"\xef\xbb\xbfA"]  # no mark is sniffed in 8-bit names
    names += [bytes(t) for t in itertools.product(edges, repeat=3)]
    names += [bytes(rng.choice(edges) for _ in range(rng.randint(4, 9))) for _ in range(5000)]
    builder = hivegen.HiveBuilder(bin_size=1 << 20)
    offsets = [builder.nk(n, flags=hivegen.KEY_COMP_NAME) for n in names]
    leaves = [builder.subkey_list("li", offsets[i : i + 0xFFFF]) for i in range(0, len(offsets), 0xFFFF)]
    root = builder.nk("ROOT", subkey_count=len(names), subkey_list=builder.subkey_list("ri", leaves))
    keys = open_hive(tmp_path, builder.build(root=root)).root_key().subkeys()
    expected = [n.decode("utf-8", "replace").rstrip("\0") for n in names]
    assert len(keys) == len(names)
    assert [(n, k.name(), e) for n, k, e in zip(names, keys, expected) if k.name() != e][:10] == []


UTF16_NAMES = [
    (b"A\0B\0", "AB"),
    (b"A\0\0\0", "A"),
    (b"\0\0A\0", "\0A"),
    # every boundary of the UTF-8 encoder
    ("\x7f\x80\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff".encode("utf-16-le"),
     "\x7f\x80\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff"),
    (b"\x3d\xd8\x00\xde", "\U0001f600"),
    (b"\x00\xd8\x00\xdc", "\U00010000"),
    (b"\xff\xdb\xff\xdf", "\U0010ffff"),
    (b"\xef\xbb", "\ubbef"),  # two bytes cannot hold the three-byte mark
    # byte-order marks, sniffed at the start only, both bytes of a mark needed
    (b"\xff\xfeA\0", "A"),
    (b"\xef\xbb\xbf\xc3\xa9A", "\u00e9A"),
    (b"\xff\xfe", ""),
    (b"\xfe\xff", ""),
    (b"\xff\xfe\xff\xfe", "\ufeff"),
    (b"\xfe\xff\xd8\x3d\xde\x00", "\U0001f600"),
    (b"A\0\xff\xfe", "A\ufeff"),
    (b"\xff\x00A\0", "\xffA"),
    (b"\x00\xfeA\0", "\ufe00A"),
    (b"\xfe\x00A\0", "\xfeA"),
    (b"\x21\xffA\0", "\uff21A"),
    (b"\xef\x00A\0", "\xefA"),
    (b"\x00\xbb\xbf\x00", "\ubb00\xbf"),
    (b"\xef\xbbA\0", "\ubbefA"),
    # malformed: odd length, unpaired surrogates, bad UTF-8 after its mark
    (b"A\0B", None),
    (b"\xef\xbb\xbf", None),
    (b"\x00\xd8", None),
    (b"\xff\xdf", None),
    (b"\x00\xd8A\0", None),
    (b"\x00\xd8\xff\xdb", None),
    (b"\x00\xd8\x00\xe0", None),
    (b"\x00\xdc\x00\xd8", None),
    (b"\x00\xdc\x00\xdc", None),
    (b"\xfe\xff\xdc\x00", None),
    (b"\xef\xbb\xbf\xff", None),
    (b"\xef\xbb\xbf\xed\xa0\x80", None),
    (b"\xef\xbb\xbfA\xe2\x82", None),
    (b"\xef\xbb\xbf\xc3A", None),  # a lead byte cut short by an ASCII one
    ((b"\x00\xd8\x00\xdc", 2), None),  # a pair is not completed past the name
]


@pytest.mark.parametrize("stored, text", UTF16_NAMES, ids=[repr(s)[2:-1] for s, _ in UTF16_NAMES])
def test_utf16_names(tmp_path, stored, text):
    stored, length = stored if isinstance(stored, tuple) else (stored, None)  # (bytes, stored name length)
    assert outcome(lambda: key_name(tmp_path, stored, 0, length)) == (
        text if text is not None else error("Invalid UTF-16 string at offset 0x30"))
