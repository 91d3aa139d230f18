"""Writes synthetic registry hives and transaction logs (all three layouts) for tests, fuzz seeds, demos and
benchmarks: exactly what it is told, broken or not. ``HiveBuilder`` appends cells and returns their cell offsets
(the ``*_record`` functions give bare payloads to cut or bend first); ``build_tree`` lays out a ``Key``/``Value``
tree as Windows does. A cell offset counts from the end of the 4096-byte base block; a bin starts with a 32-byte
"hbin" header; a cell is a signed size (negative: allocated, a multiple of 8, counting itself), then its payload."""

from __future__ import annotations

import datetime
import functools
import operator
import struct
from dataclasses import dataclass, field

BASE_BLOCK_SIZE, HBIN_HEADER_SIZE, HBIN_ALIGNMENT, CELL_ALIGNMENT, NO_LIST = 4096, 32, 4096, 8, 0xFFFFFFFF
BIG_DATA_THRESHOLD = 16344  # data above this goes through "db" (minor 4 on), in segments of this many bytes
KEY_HIVE_ENTRY, KEY_NO_DELETE, KEY_COMP_NAME = 0x0004, 0x0008, 0x0020
VALUE_COMP_NAME = 0x0001
(REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_LINK, REG_MULTI_SZ,
 REG_RESOURCE_LIST, REG_FULL_RESOURCE_DESCRIPTOR, REG_RESOURCE_REQUIREMENTS_LIST, REG_QWORD) = range(12)
LOG_HEADER_SIZE = LOG_BLOCK_ALIGNMENT = 4096
DIRT_HEADER_SIZE, FILE_NAME_OFFSET, CHECKSUM_OFFSET = 16, 48, 508
_BASE_BLOCK = struct.Struct("<4sIIQ7I")  # signature .. clustering factor, offsets 0..47
_NK_FIXED = struct.Struct("<2sHQ15IHH")
NK_SUBKEY_LIST_OFFSET = 28  # a payload position
_VK_FIXED = struct.Struct("<2sHIIIHH")
_U32, _I32 = struct.Struct("<I"), struct.Struct("<i")


def _round_up(n: int, alignment: int) -> int:
    return (n + alignment - 1) // alignment * alignment


def checksum(base_block: bytes) -> int:
    """The plain XOR of the 127 words at 0..507 (without Windows' 0 -> 1, ~0 -> ~1 mapping)."""
    return functools.reduce(operator.xor, struct.unpack_from("<127I", base_block))


_checksum = checksum  # base_block's parameter of the same name hides the function


def base_block(*, signature: bytes = b"regf", primary_sequence: int = 1, secondary_sequence: int = 1,
               last_written: int = 0, major: int = 1, minor: int = 5, file_type: int = 0, file_format: int = 1,
               root_cell_offset: int = 0x20, hive_bins_data_size: int = 0x1000, clustering_factor: int = 1,
               file_name: bytes = b"", checksum: int | None = None) -> bytes:
    """The 4096-byte file header; ``file_name`` (at most 64 bytes) is stored raw; ``checksum=None`` stores the right one."""
    block = bytearray(BASE_BLOCK_SIZE)
    _BASE_BLOCK.pack_into(block, 0, signature, primary_sequence, secondary_sequence, last_written, major, minor,
                          file_type, file_format, root_cell_offset, hive_bins_data_size, clustering_factor)
    block[FILE_NAME_OFFSET : FILE_NAME_OFFSET + len(file_name)] = file_name
    _U32.pack_into(block, CHECKSUM_OFFSET, _checksum(block) if checksum is None else checksum)
    return bytes(block)


def filetime(when: datetime.datetime) -> int:
    """A Windows FILETIME (100-nanosecond intervals since 1601-01-01 UTC); a naive ``when`` is UTC."""
    since = when.replace(tzinfo=when.tzinfo or datetime.UTC) - datetime.datetime(1601, 1, 1, tzinfo=datetime.UTC)
    return since // datetime.timedelta(microseconds=1) * 10


def _encode_name(name: str | bytes, flags: int | None, compressed_bit: int) -> tuple[bytes, int]:
    """Stored bytes and flags. bytes: as given (8-bit form unless ``flags``); str with flags=None:
    8-bit when ASCII, else UTF-16LE; str with flags: as the compressed bit says (surrogates pass)."""
    if isinstance(name, (bytes, bytearray)):
        return bytes(name), compressed_bit if flags is None else flags
    if flags is None:
        return (name.encode("ascii"), compressed_bit) if name.isascii() else (name.encode("utf-16-le", "surrogatepass"), 0)
    return name.encode("latin-1" if flags & compressed_bit else "utf-16-le", "surrogatepass"), flags


def nk_record(name: str | bytes, *, flags: int | None = None, last_written: int = 0, parent: int = 0,
              subkey_count: int = 0, subkey_list: int = NO_LIST, value_count: int = 0, value_list: int = NO_LIST,
              name_length: int | None = None, signature: bytes = b"nk", root: bool = False,
              volatile_subkey_count: int = 0, security: int = NO_LIST, class_name: int = NO_LIST,
              class_name_length: int = 0) -> bytes:
    """A key node payload (the fields not named here are 0, the volatile subkey list none). ``root`` adds
    the root key's flags when ``flags`` is None; ``name_length`` overrides the stored length only."""
    stored, stored_flags = _encode_name(name, flags, KEY_COMP_NAME)
    if root and flags is None:
        stored_flags |= KEY_HIVE_ENTRY | KEY_NO_DELETE
    return _NK_FIXED.pack(signature, stored_flags, last_written, 0, parent, subkey_count,
                          volatile_subkey_count, subkey_list, NO_LIST, value_count, value_list, security, class_name,
                          0, 0, 0, 0, 0, len(stored) if name_length is None else name_length, class_name_length) + stored


def subkey_list_record(kind: str | bytes, offsets: list[int], *, count: int | None = None,
                       hashes: list[int] | None = None) -> bytes:
    """Signature, u16 count, elements: (offset, hash) pairs for "lf"/"lh" or when ``hashes`` is
    given (the hashes default to 0: nothing reads them), else bare offsets."""
    sig = kind.encode("latin-1") if isinstance(kind, str) else bytes(kind)
    elements = list(offsets)
    if sig in (b"lf", b"lh") or hashes is not None:
        elements = [v for pair in zip(offsets, hashes or [0] * len(offsets)) for v in pair]
    return sig + struct.pack(f"<H{len(elements)}I", len(offsets) if count is None else count, *elements)


def vk_record(name: str | bytes, type_id: int, *, data_size: int, data_offset: int, flags: int | None = None,
              name_length: int | None = None, signature: bytes = b"vk") -> bytes:
    """A value key payload; the data fields are stored as given."""
    stored, stored_flags = _encode_name(name, flags, VALUE_COMP_NAME)
    return _VK_FIXED.pack(signature, len(stored) if name_length is None else name_length,
                          data_size, data_offset, type_id, stored_flags, 0) + stored


def db_record(count: int, segment_list: int) -> bytes:
    return struct.pack("<2sHI", b"db", count, segment_list)


def sz(text: str) -> bytes:
    return (text + "\0").encode("utf-16-le", "surrogatepass")


def multi_sz(items: list[str]) -> bytes:
    return "".join(item + "\0" for item in items).encode("utf-16-le", "surrogatepass") + b"\0\0"


def dword(n: int) -> bytes:
    return struct.pack("<I", n & 0xFFFFFFFF)


def qword(n: int) -> bytes:
    return struct.pack("<Q", n & 0xFFFFFFFFFFFFFFFF)


class HiveBuilder:
    """Packs cells, 8-aligned and in order, into bins of ``bin_size`` bytes (the first cell is at
    0x20). A cell that does not fit opens a new bin just big enough; the old bin's rest stays one
    free cell."""

    def __init__(self, *, minor: int = 5, bin_size: int = 4096) -> None:
        self.minor, self.bin_size = minor, bin_size
        self._data = bytearray()
        self._pos = self._bin_end = 0

    def start_bin(self, size: int | None = None) -> int:
        """Closes the current bin and opens a new one; returns its offset."""
        size = self.bin_size if size is None else size
        offset = len(self._data)
        self._data += struct.pack("<4sIIQQI", b"hbin", offset, size, 0, 0, 0).ljust(size, b"\0")
        self._pos, self._bin_end = offset + HBIN_HEADER_SIZE, offset + size
        self._mark_free_remainder()
        return offset

    def _mark_free_remainder(self) -> None:
        if self._pos < self._bin_end:
            _I32.pack_into(self._data, self._pos, self._bin_end - self._pos)

    def alloc(self, payload: bytes, *, size: int | None = None, free: bool = False) -> int:
        """Appends a cell of len(payload) + 4 bytes rounded up to 8; its size field is minus that
        (plus with ``free``), or exactly ``size``, which may disagree on purpose."""
        length = _round_up(len(payload) + 4, CELL_ALIGNMENT)
        if self._pos + length > self._bin_end:  # also before the first bin
            self.start_bin(max(self.bin_size, _round_up(HBIN_HEADER_SIZE + length, HBIN_ALIGNMENT)))
        offset = self._pos
        _I32.pack_into(self._data, offset, (length if free else -length) if size is None else size)
        self._data[offset + 4 : offset + 4 + len(payload)] = payload
        self._pos += length
        self._mark_free_remainder()
        return offset

    def patch(self, offset: int, payload_pos: int, data: bytes) -> None:
        """Overwrites bytes inside the payload of the cell at ``offset``."""
        self.poke(offset + 4 + payload_pos, data)

    def poke(self, position: int, data: bytes) -> None:
        """Overwrites raw bytes of the hive bins data."""
        self._data[position : position + len(data)] = data

    def nk(self, name: str | bytes, *, cell_size: int | None = None, **fields) -> int:
        return self.alloc(nk_record(name, **fields), size=cell_size)

    def subkey_list(self, kind: str | bytes, offsets: list[int], **fields) -> int:
        return self.alloc(subkey_list_record(kind, offsets, **fields))

    def value_list(self, offsets: list[int], *, cell_size: int | None = None) -> int:
        return self.alloc(struct.pack(f"<{len(offsets)}I", *offsets), size=cell_size)

    def db(self, segments: list[int]) -> int:
        """A segment list naming ``segments``, then the "db" record."""
        return self.alloc(db_record(len(segments), self.value_list(segments)))

    def big_data(self, data: bytes) -> int:
        """``data`` as Windows writes it: 16344-byte segments, the list, then the "db" record."""
        return self.db([self.alloc(data[at : at + BIG_DATA_THRESHOLD])
                        for at in range(0, len(data), BIG_DATA_THRESHOLD)])

    def vk(self, name: str | bytes, type_id: int, data: bytes | None = None, *, data_size: int | None = None,
           data_offset: int | None = None, **fields) -> int:
        """A value key, its data stored first; with ``data_offset`` the data is not stored (it only
        gives the default size); ``data=None`` is size 0, offset 0xFFFFFFFF."""
        n = len(data or b"")
        if data is None or data_offset is not None:
            size, offset = n, NO_LIST
        elif n <= 4:  # inline
            size, offset = n | 0x80000000, _U32.unpack(data.ljust(4, b"\0"))[0]
        else:  # one cell up to 16344 bytes (of any size below minor 4), else "db"
            size, offset = n, self.alloc(data) if n <= BIG_DATA_THRESHOLD or self.minor <= 3 else self.big_data(data)
        return self.alloc(vk_record(name, type_id, data_size=size if data_size is None else data_size,
                                    data_offset=offset if data_offset is None else data_offset, **fields))

    def build(self, *, root: int, **base_block_overrides) -> bytes:
        """Base block (this root, minor, bins size, right checksum unless overridden) + the bins."""
        fields = {"root_cell_offset": root, "minor": self.minor, "hive_bins_data_size": len(self._data)}
        return base_block(**fields | base_block_overrides) + self._data


@dataclass
class Value:
    name: str  # "" is the default value
    type_id: int
    data: bytes


@dataclass
class Key:
    name: str
    subkeys: list[Key] = field(default_factory=list)
    values: list[Value] = field(default_factory=list)
    last_written: int = 0
    list_kind: str = "lf"  # "lf", "lh", "li", or "ri" for an index root over "lh" lists
    class_name: str | None = None  # UTF-16LE in a cell of its own


def build_tree(root: Key, *, minor: int = 5, ri_threshold: int = 1000, bin_size: int = 4096,
               **base_block_overrides) -> bytes:
    """The hive of the tree under ``root``, in list order, counts and lists matching. A key with more
    than ``ri_threshold`` subkeys gets an "ri" over leaves of its ``list_kind``."""
    builder = HiveBuilder(minor=minor, bin_size=bin_size)
    # Depth first: values, value list, node; the subkey lists follow once every node offset is known.
    written, root_slot = [], [0]  # (key, node offset, its children's offsets); the root's offset
    stack: list[tuple[Key, int, list[int], int]] = [(root, 0, root_slot, 0)]
    while stack:
        key, parent, slots, index = stack.pop()
        vks = [builder.vk(v.name, v.type_id, v.data) for v in key.values]
        class_name = None if key.class_name is None else key.class_name.encode("utf-16-le")
        offset = builder.nk(key.name, root=slots is root_slot, last_written=key.last_written, parent=parent,
                            subkey_count=len(key.subkeys), value_count=len(vks),
                            value_list=builder.value_list(vks) if vks else NO_LIST,
                            class_name=NO_LIST if class_name is None else builder.alloc(class_name),
                            class_name_length=len(class_name or b""))
        slots[index] = offset
        children = [0] * len(key.subkeys)
        written.append((key, offset, children))
        stack.extend((key.subkeys[i], offset, children, i) for i in reversed(range(len(children))))
    for key, offset, children in filter(lambda w: w[2], written):  # keys with subkeys
        if key.list_kind == "ri" or len(children) > ri_threshold:
            leaf = "lh" if key.list_kind == "ri" else key.list_kind
            list_offset = builder.subkey_list("ri", [builder.subkey_list(leaf, children[i : i + ri_threshold])
                                                     for i in range(0, len(children), ri_threshold)])
        else:
            list_offset = builder.subkey_list(key.list_kind, children)
        builder.patch(offset, NK_SUBKEY_LIST_OFFSET, _U32.pack(list_offset))
    return builder.build(root=root_slot[0], **base_block_overrides)


# Hives with deleted records for the deleted-record scan. Windows deletes a record by making its cell's size
# positive; a freed cell then merges with the free cells beside it, so that one free cell's payload holds the old
# records of several cells, each behind its old (positive) size field.
DELETED_FILETIME = 0x01D3_0000_0000_0000
_SCRAP = 0x1000  # the bin that receives old cells by hand; its body is one free cell


def _old_cell(b: HiveBuilder, offset: int, payload: bytes, size: int | None = None) -> None:
    """An old record inside a free cell: its positive size field (the payload rounded up to 8
    unless given) and its payload."""
    b.poke(offset, struct.pack("<i", _round_up(len(payload) + 4, CELL_ALIGNMENT) if size is None else size) + payload)


def deleted_scene(drop_last_bin: bool = False) -> tuple[bytes, list[str], list[tuple[str, bytes]]]:
    """A hive, the deleted key names and the deleted (value name, data) pairs it holds, in image
    order. With ``drop_last_bin`` the base block's bins data size ends before the scrap bin, whose
    cells are then part of the space after the last bin: its records count whatever their
    cells' sign, and no bin end cuts them short."""
    b, nk, vk = HiveBuilder(), nk_record, vk_record
    # Deleted in place: a key with a value and a subkey, every cell freed one by one.
    data = b.alloc(sz("old data"))
    value = b.vk("Gone", REG_SZ, data_size=18, data_offset=data)
    sub = b.nk("Child", last_written=DELETED_FILETIME)
    lf, vl = b.subkey_list("lf", [sub]), b.value_list([value])
    gone = b.nk("Deleted", last_written=DELETED_FILETIME, subkey_count=1, subkey_list=lf, value_count=1, value_list=vl)
    for offset in (data, value, sub, lf, vl, gone):
        b.poke(offset, struct.pack("<i", -struct.unpack_from("<i", b._data, offset)[0]))
    # A live key whose cell is larger than its record: the slack holds an old value key.
    live = b.alloc(nk("Live") + bytes(60))
    _old_cell(b, live + 88, vk("Slack", REG_BINARY, data_size=0x80000002, data_offset=0x4241))
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=b.subkey_list("lf", [live]))
    b.patch(live, 16, struct.pack("<I", root))  # its parent
    b.start_bin()  # the scrap bin: one free cell of 4064 bytes from 0x1020
    # One coalesced free cell holding three old records; the first is the free cell's own.
    b.poke(_SCRAP + 0x24, nk("First", last_written=DELETED_FILETIME))
    _old_cell(b, _SCRAP + 0x80, nk("Second key"))  # a space is no control character
    _old_cell(b, _SCRAP + 0xE0, vk("Old", REG_DWORD, data_size=0x80000004, data_offset=7))
    # Data of up to 4 bytes is read from the offset field, inline bit or not, so any offset passes.
    _old_cell(b, _SCRAP + 0x310, vk("Four", REG_DWORD, data_size=4, data_offset=0x04030201))
    # Plausible-looking garbage, each whole inside the free cell: a control character in the name,
    # a backslash, a list offset that is no cell position, inline data of 8 bytes, a key that
    # does not start at a cell position, a name that is not UTF-16.
    _old_cell(b, _SCRAP + 0x100, nk("Bad\x01"))
    _old_cell(b, _SCRAP + 0x160, nk("a\\b"))
    _old_cell(b, _SCRAP + 0x1C0, nk("Odd", value_count=1, value_list=0x1234))
    _old_cell(b, _SCRAP + 0x220, vk("Wide", 4, data_size=0x80000008, data_offset=0))
    _old_cell(b, _SCRAP + 0x244, nk("Unaligned"))
    _old_cell(b, _SCRAP + 0x2B0, nk(b"\x00\xd8", flags=0))
    # An old cell cut short: its size runs past the end of the bin, into the next one.
    _old_cell(b, _SCRAP + 0xFA0, nk("Cut"), size=0x100)
    b.start_bin()
    if drop_last_bin:  # cells of a dropped bin still read as allocated
        b.poke(_SCRAP + 0x20, struct.pack("<i", -0xFE0))
    image = b.build(root=root, **({"hive_bins_data_size": _SCRAP} if drop_last_bin else {}))
    keys = ["Child", "Deleted", "First", "Second key"] + (["Cut"] if drop_last_bin else [])
    values = [("Gone", sz("old data")), ("Slack", b"AB"), ("Old", b"\x07\x00\x00\x00"), ("Four", b"\x01\x02\x03\x04")]
    return image, keys, values


# A hive for tolerant reading: one of each record a listing must read around.
def damaged_scene() -> tuple[bytes, list[tuple[int, str]]]:
    """ROOT lists, through an "ri", a sound "lf" (A, a zeroed cell, B with half a surrogate pair in its name),
    a list of unknown type and an "li" whose count (4) runs past its cell (C and D fit). A has four values: a
    sound one, a list entry naming a key node, one whose data cell lies past the image, and an odd-length
    UTF-16 name; C claims three values, but its list holds one (the sound one). Returns the image and the
    expected problems (offset, message) in reading order."""
    b = HiveBuilder()
    good = b.vk("good", REG_DWORD, dword(7))
    lost_data = b.vk("lost", REG_SZ, b"", data_size=12, data_offset=0x7FF0)
    odd_name = b.vk(b"o\0d", REG_DWORD, dword(1), flags=0)
    not_vk = b.nk("notvk")
    a = b.nk("A", value_count=4, value_list=b.value_list([good, not_vk, lost_data, odd_name]))
    zeroed = b.alloc(bytes(80), size=0)
    bad_name = b.nk("B\ud800".encode("utf-16-le", "surrogatepass"), flags=0)
    short_list = b.value_list([good])
    c, d = b.nk("C", value_count=3, value_list=short_list), b.nk("D")
    leaf = b.subkey_list("lf", [a, zeroed, bad_name])
    unknown = b.subkey_list("zz", [c])
    truncated = b.alloc(subkey_list_record("li", [c, d], count=4))
    root = b.nk("ROOT", root=True, subkey_count=7, subkey_list=b.subkey_list("ri", [leaf, unknown, truncated]))
    problems = [
        (unknown, "Invalid subkey list type: [122, 122]"),
        (truncated, f"Truncated data at offset {truncated:#x}: expected 20 bytes, got 12 bytes"),
        (zeroed, f"Invalid cell size 0 at offset {zeroed:#x}"),
        (bad_name, f"Invalid UTF-16 string at offset {bad_name:#x}"),
        (not_vk, f"Invalid format: Expected 'vk' signature at offset {not_vk:#x}"),
        (0x7FF0, f"Invalid offset 0x7ff0 (hive size: {len(b.build(root=root)):#x})"),
        (odd_name, f"Invalid UTF-16 string at offset {odd_name:#x}"),
        (short_list, f"Truncated data at offset {short_list:#x}: expected 12 bytes, got 4 bytes"),
    ]
    return b.build(root=root), problems


Record = tuple[int, bytes] | tuple[int, int, bytes]  # (target, data) or (target, stored size, data)


def dirt_block(records: list[Record], *, count: int | None = None) -> bytes:
    """"DIRT", 4 unused bytes, u32 count, 4 unused bytes, then the records (u32 target offset in the
    hive file, u32 size, the bytes)."""
    body = b"".join(struct.pack("<II", r[0], len(r[1]) if len(r) == 2 else r[1]) + r[-1] for r in records)
    return struct.pack("<4sIII", b"DIRT", 0, len(records) if count is None else count, 0) + body


def transaction_log(sequence: int, blocks: list[list[Record] | bytes]) -> bytes:
    """A 4096-byte header (signature, u32 sequence at 4), then each block (records or a ready
    ``dirt_block``) at the first 4096-byte boundary after the previous one's end; zero-padded to 4096."""
    out = bytearray(struct.pack("<4sI", b"HvLE", sequence).ljust(LOG_HEADER_SIZE, b"\0"))
    for block in blocks:
        out += bytes(-len(out) % LOG_BLOCK_ALIGNMENT)
        out += block if isinstance(block, (bytes, bytearray)) else dirt_block(block)
    return bytes(out + bytes(-len(out) % LOG_BLOCK_ALIGNMENT))


# Transaction logs as Windows writes them: a 512-byte "regf" log base block, then either "HvLE" entries
# hashed with Marvin32 (new format, file type 6) or a "DIRT" dirty vector and the sectors it marks (old
# format, file type 1 or 2).
ENTRY_SEED, SECTOR, _M = 0x82EF4D887A4E55C5, 512, 0xFFFFFFFF


def marvin32(data: bytes, seed: int = ENTRY_SEED) -> int:
    def rotl(x: int, n: int) -> int:
        return ((x << n) | (x >> (32 - n))) & _M

    def mix(lo: int, hi: int) -> tuple[int, int]:
        hi ^= lo
        lo = (rotl(lo, 20) + hi) & _M
        hi = rotl(hi, 9) ^ lo
        lo = (rotl(lo, 27) + hi) & _M
        return lo, rotl(hi, 19)

    lo, hi, whole = seed & _M, seed >> 32, len(data) // 4 * 4
    for (word,) in struct.iter_unpack("<I", data[:whole]):
        lo, hi = mix((lo + word) & _M, hi)
    last = int.from_bytes(data[whole:] + b"\x80", "little")
    lo, hi = mix(*mix((lo + last) & _M, hi))
    return (hi << 32) | lo


def log_base_block(sequence: int, *, file_type: int = 6, secondary: int | None = None, **fields) -> bytes:
    """The first 512 bytes of a log: a hive base block with the log's file type."""
    fields.setdefault("hive_bins_data_size", 0x1000)
    return base_block(primary_sequence=sequence, secondary_sequence=sequence if secondary is None else secondary,
                      file_type=file_type, **fields)[:SECTOR]


def log_entry(sequence: int, pages: list[tuple[int, bytes]], *, hive_bins_data_size: int = 0x1000, flags: int = 0,
              size: int | None = None, count: int | None = None, bad_hash: bool = False) -> bytes:
    """One new-format entry writing each (offset in the bins, bytes); ``size`` and ``count`` store
    other values than the true ones, ``bad_hash`` spoils the header hash."""
    body = b"".join(struct.pack("<II", at, len(data)) for at, data in pages) + b"".join(d for _, d in pages)
    true_size = -(-(40 + len(body)) // SECTOR) * SECTOR
    out = bytearray(struct.pack("<4s5I16x", b"HvLE", true_size if size is None else size, flags, sequence,
                                hive_bins_data_size, len(pages) if count is None else count) + body)
    out += bytes(true_size - len(out))
    struct.pack_into("<Q", out, 24, marvin32(bytes(out[40:])))  # the header hash covers this one
    struct.pack_into("<Q", out, 32, marvin32(bytes(out[:32])) ^ bad_hash)
    return bytes(out)


def old_log(sequence: int, sectors: dict[int, bytes], *, hive_bins_data_size: int = 0x1000, file_type: int = 1,
            signature: bytes = b"DIRT", **fields) -> bytes:
    """An old-format log marking the 512-byte sector i (file offset 4096 + 512 i) of each item."""
    vector = bytearray(hive_bins_data_size // 4096)
    for i in sectors:
        vector[i // 8] |= 1 << (i % 8)
    head = signature + bytes(vector)
    return (log_base_block(sequence, file_type=file_type, hive_bins_data_size=hive_bins_data_size, **fields)
            + head + bytes(-len(head) % SECTOR) + b"".join(sectors[i] for i in sorted(sectors)))


def hive_of(keys: dict[str, dict[str, tuple[int, bytes]]], *, last_written: int = 0, **base_block_overrides) -> bytes:
    """A hive holding each key path of ``keys`` (backslash-separated, below the root; "" is the root) with its
    values, name -> (type id, data), in the order given; keys named only as parents get no values."""
    root = Key("ROOT", last_written=last_written)
    for path, values in keys.items():
        key = root
        for name in filter(None, path.split("\\")):
            key = next((k for k in key.subkeys if k.name == name), None) or \
                key.subkeys.append(Key(name, last_written=last_written)) or key.subkeys[-1]
        key.values.extend(Value(name, type_id, data) for name, (type_id, data) in values.items())
    return build_tree(root, **base_block_overrides)
