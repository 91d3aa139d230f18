"""Writes synthetic registry hives and transaction logs for tests, demos and benchmarks.

Every fixture of the test suite is made here from named fields, so a test shows the
bytes that matter to it and nothing else is left to chance. Nothing in this module
reads a hive: it only writes, and it writes exactly what it is told, broken or not.

Two levels:

* ``HiveBuilder`` appends cells one by one and returns their cell offsets. Each record
  helper (``nk``, ``vk``, ``subkey_list``, ``value_list``, ``db``) has a module-level
  twin ending in ``_record`` that only returns the payload bytes, for tests that want
  to cut or bend a record before storing it with ``alloc``.
* ``build_tree`` writes a whole tree described by ``Key`` and ``Value`` objects, laid
  out the way Windows lays out a hive.

Transaction logs use the "HvLE" header and "DIRT" blocks: ``transaction_log`` and
``dirt_block``.

Layout facts used throughout (all integers little-endian):

* The base block is the first 4096 bytes of the file; the hive bins data follows it,
  and a cell offset counts from the start of the bins data (file offset 4096).
* A bin starts with a 32-byte "hbin" header; its size is a multiple of 4096.
* A cell is a signed 32-bit size followed by its payload. The size counts the size
  field itself, is a multiple of 8, and is negative for an allocated cell and
  positive for a free one.

Run ``python tests/hivegen.py sample OUT`` to write the sample hive to OUT.
"""

from __future__ import annotations

import argparse
import datetime
import pathlib
import struct
import sys
from dataclasses import dataclass, field

# --- constants of the file format --------------------------------------------------

BASE_BLOCK_SIZE = 4096  # the base block; the hive bins data starts right after it
HBIN_HEADER_SIZE = 32
HBIN_ALIGNMENT = 4096  # bins are whole multiples of this
CELL_ALIGNMENT = 8
NO_LIST = 0xFFFFFFFF  # "no list / no cell" in a key node's offset fields

# Data larger than this goes through a "db" record (minor version 4 and later). It is
# also the number of data bytes Windows puts in every big-data segment but the last:
# such a segment lives in a 16352-byte cell (16348 payload bytes, the last 4 unused),
# which together with a bin header fills exactly four 4096-byte pages.
BIG_DATA_THRESHOLD = 16344
BIG_DATA_SEGMENT_CELL_SIZE = 16352

# Key node flags.
KEY_HIVE_ENTRY = 0x0004  # the root key
KEY_NO_DELETE = 0x0008
KEY_COMP_NAME = 0x0020  # the name is stored in the 8-bit form
# Value key flags.
VALUE_COMP_NAME = 0x0001  # the name is stored in the 8-bit form

# Value types.
REG_NONE = 0
REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_DWORD_BIG_ENDIAN = 5
REG_LINK = 6
REG_MULTI_SZ = 7
REG_RESOURCE_LIST = 8
REG_FULL_RESOURCE_DESCRIPTOR = 9
REG_RESOURCE_REQUIREMENTS_LIST = 10
REG_QWORD = 11

# Transaction logs.
LOG_HEADER_SIZE = 4096
LOG_BLOCK_ALIGNMENT = 4096
DIRT_HEADER_SIZE = 16

# Base block field layout: name -> (offset, struct format).
_BASE_BLOCK_FIELDS = {
    "signature": (0, "4s"),
    "primary_sequence": (4, "<I"),
    "secondary_sequence": (8, "<I"),
    "last_written": (12, "<Q"),
    "major": (20, "<I"),
    "minor": (24, "<I"),
    "file_type": (28, "<I"),
    "file_format": (32, "<I"),
    "root_cell_offset": (36, "<I"),
    "hive_bins_data_size": (40, "<I"),
    "clustering_factor": (44, "<I"),
}
FILE_NAME_OFFSET = 48
FILE_NAME_SIZE = 64
CHECKSUM_OFFSET = 508

# Key node: the 76-byte fixed part, then the name.
_NK_FIXED = struct.Struct("<2sHQ15IHH")
NK_FIXED_SIZE = _NK_FIXED.size  # 76
# Payload positions of the fields that build_tree fills in after the fact.
NK_SUBKEY_LIST_OFFSET = 28
NK_VALUE_LIST_OFFSET = 40

# Value key: the 20-byte fixed part, then the name.
_VK_FIXED = struct.Struct("<2sHIIIHH")
VK_FIXED_SIZE = _VK_FIXED.size  # 20

_U32 = struct.Struct("<I")
_I32 = struct.Struct("<i")
_HBIN_HEADER = struct.Struct("<4sIIQQI")


def _round_up(n: int, alignment: int) -> int:
    return (n + alignment - 1) // alignment * alignment


def _two_bytes(signature: str | bytes) -> bytes:
    raw = signature.encode("latin-1") if isinstance(signature, str) else bytes(signature)
    if len(raw) != 2:
        raise ValueError(f"a record signature is two bytes, got {raw!r}")
    return raw


# --- base block ---------------------------------------------------------------------


def checksum(base_block: bytes) -> int:
    """XOR of the 127 little-endian u32 words at offsets 0..504 (bytes 0..507).

    Windows also maps a result of 0 to 1 and 0xFFFFFFFF to 0xFFFFFFFE; this is the
    plain XOR, which is what the reader compares with the stored word at 508.
    """
    words = struct.unpack_from("<127I", base_block, 0)
    result = 0
    for word in words:
        result ^= word
    return result


_checksum = checksum  # base_block's field of the same name hides the function


def base_block(
    *,
    signature: bytes = b"regf",
    primary_sequence: int = 1,
    secondary_sequence: int = 1,
    last_written: int = 0,
    major: int = 1,
    minor: int = 5,
    file_type: int = 0,
    file_format: int = 1,
    root_cell_offset: int = 0x20,
    hive_bins_data_size: int = 0x1000,
    clustering_factor: int = 1,
    file_name: bytes = b"",
    checksum: int | None = None,
) -> bytes:
    """The 4096-byte file header.

    ``file_name`` is stored raw in the 64-byte field at offset 48 (Windows writes the
    tail of the hive's path there in UTF-16LE; pass ``"...".encode("utf-16-le")`` for
    that). ``checksum=None`` stores the correct checksum, an int is stored as given.
    """
    if len(file_name) > FILE_NAME_SIZE:
        raise ValueError(f"file_name holds at most {FILE_NAME_SIZE} bytes")
    block = bytearray(BASE_BLOCK_SIZE)
    values = {
        "signature": signature,
        "primary_sequence": primary_sequence,
        "secondary_sequence": secondary_sequence,
        "last_written": last_written,
        "major": major,
        "minor": minor,
        "file_type": file_type,
        "file_format": file_format,
        "root_cell_offset": root_cell_offset,
        "hive_bins_data_size": hive_bins_data_size,
        "clustering_factor": clustering_factor,
    }
    for name, (offset, fmt) in _BASE_BLOCK_FIELDS.items():
        struct.pack_into(fmt, block, offset, values[name])
    block[FILE_NAME_OFFSET : FILE_NAME_OFFSET + len(file_name)] = file_name
    stored = _checksum(block) if checksum is None else checksum
    _U32.pack_into(block, CHECKSUM_OFFSET, stored)
    return bytes(block)


def filetime(when: datetime.datetime) -> int:
    """A Windows FILETIME: 100-nanosecond intervals since 1601-01-01 UTC."""
    if when.tzinfo is None:
        when = when.replace(tzinfo=datetime.timezone.utc)
    delta = when - datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)
    return (delta.days * 86_400 + delta.seconds) * 10_000_000 + delta.microseconds * 10


# --- names and hashes -----------------------------------------------------------------


def _encode_name(name: str | bytes, flags: int | None, compressed_bit: int) -> tuple[bytes, int]:
    """Stored name bytes and flags for a key or value name.

    A str name with ``flags=None`` is stored in the 8-bit form when it is plain ASCII,
    else in UTF-16LE. Windows also uses the 8-bit form for Latin-1 names, but readers
    differ on how they decode 8-bit bytes above 0x7F, so those names go to UTF-16LE
    where every reader agrees; pass bytes to store anything else. With explicit flags
    the name is encoded as the compressed bit says (Latin-1 or UTF-16LE; lone
    surrogates pass through, to write malformed UTF-16). A bytes name is stored as it
    is, with the compressed bit set when ``flags`` is None.
    """
    if isinstance(name, (bytes, bytearray)):
        return bytes(name), compressed_bit if flags is None else flags
    if flags is None:
        if name.isascii():
            return name.encode("ascii"), compressed_bit
        return name.encode("utf-16-le", "surrogatepass"), 0
    if flags & compressed_bit:
        return name.encode("latin-1"), flags
    return name.encode("utf-16-le", "surrogatepass"), flags


def lf_hash(name: str) -> int:
    """The "lf" hint: the first four characters of the name, one byte each."""
    hint = bytes(ord(c) & 0xFF for c in name[:4]).ljust(4, b"\0")
    return _U32.unpack(hint)[0]


def lh_hash(name: str) -> int:
    """The "lh" hash: h = h * 37 + upcase(unit) over the name's UTF-16 code units."""
    raw = name.encode("utf-16-le", "surrogatepass")
    h = 0
    for unit in struct.unpack(f"<{len(raw) // 2}H", raw):
        upper = chr(unit).upper()
        if len(upper) == 1 and ord(upper) <= 0xFFFF:  # "ß" -> "SS" keeps "ß"
            unit = ord(upper)
        h = (h * 37 + unit) & 0xFFFFFFFF
    return h


# --- record payloads ------------------------------------------------------------------


def nk_record(
    name: str | bytes,
    *,
    flags: int | None = None,
    last_written: int = 0,
    parent: int = 0,
    subkey_count: int = 0,
    subkey_list: int = NO_LIST,
    value_count: int = 0,
    value_list: int = NO_LIST,
    name_length: int | None = None,
    signature: str | bytes = b"nk",
    root: bool = False,
    access_bits: int = 0,
    volatile_subkey_count: int = 0,
    volatile_subkey_list: int = NO_LIST,
    security: int = NO_LIST,
    class_name: int = NO_LIST,
    max_subkey_name_length: int = 0,
    max_subkey_class_length: int = 0,
    max_value_name_length: int = 0,
    max_value_data_size: int = 0,
    work_var: int = 0,
    class_name_length: int = 0,
) -> bytes:
    """A key node payload: the 76-byte fixed part and the stored name.

    ``root=True`` adds the flags Windows gives a hive's root key (hive entry, no
    delete) when ``flags`` is None. ``name_length`` overrides the stored length only;
    the name bytes written stay the encoded name.
    """
    stored, stored_flags = _encode_name(name, flags, KEY_COMP_NAME)
    if root and flags is None:
        stored_flags |= KEY_HIVE_ENTRY | KEY_NO_DELETE
    fixed = _NK_FIXED.pack(
        _two_bytes(signature), stored_flags, last_written,
        access_bits, parent, subkey_count, volatile_subkey_count,
        subkey_list, volatile_subkey_list, value_count, value_list,
        security, class_name, max_subkey_name_length, max_subkey_class_length,
        max_value_name_length, max_value_data_size, work_var,
        len(stored) if name_length is None else name_length, class_name_length,
    )
    return fixed + stored


def subkey_list_record(
    kind: str | bytes,
    offsets: list[int],
    *,
    count: int | None = None,
    hashes: list[int] | None = None,
) -> bytes:
    """A subkey list payload: signature, u16 count, elements.

    "lf" and "lh" elements are (key offset, hash) pairs, "li" and "ri" elements are
    bare offsets ("ri" naming further lists). Any other two-byte signature is written
    with bare offsets, or with pairs when ``hashes`` is given. Missing hashes are 0.
    """
    sig = _two_bytes(kind)
    stored_count = len(offsets) if count is None else count
    if sig in (b"lf", b"lh") or hashes is not None:
        hashes = list(hashes or [])
        hashes += [0] * (len(offsets) - len(hashes))
        elements = [v for pair in zip(offsets, hashes) for v in pair]
    else:
        elements = list(offsets)
    return sig + struct.pack(f"<H{len(elements)}I", stored_count, *elements)


def value_list_record(offsets: list[int]) -> bytes:
    """A value list payload: one u32 value key offset per value, no header."""
    return struct.pack(f"<{len(offsets)}I", *offsets)


def vk_record(
    name: str | bytes,
    type_id: int,
    *,
    data_size: int,
    data_offset: int,
    flags: int | None = None,
    name_length: int | None = None,
    signature: str | bytes = b"vk",
    spare: int = 0,
) -> bytes:
    """A value key payload: the 20-byte fixed part and the stored name.

    The empty name is the key's default value (stored name length 0). ``data_size``
    and ``data_offset`` are stored exactly as given; ``HiveBuilder.vk`` works them out
    from the data.
    """
    stored, stored_flags = _encode_name(name, flags, VALUE_COMP_NAME)
    fixed = _VK_FIXED.pack(
        _two_bytes(signature), len(stored) if name_length is None else name_length,
        data_size, data_offset, type_id, stored_flags, spare,
    )
    return fixed + stored


def db_record(count: int, segment_list: int) -> bytes:
    """A big-data record payload: "db", u16 segment count, u32 segment list offset."""
    return struct.pack("<2sHI", b"db", count, segment_list)


# --- value data helpers ---------------------------------------------------------------


def sz(text: str) -> bytes:
    """REG_SZ / REG_EXPAND_SZ data: UTF-16LE with its NUL terminator."""
    return (text + "\0").encode("utf-16-le", "surrogatepass")


def multi_sz(items: list[str]) -> bytes:
    """REG_MULTI_SZ data: each string NUL-terminated, then one more NUL."""
    return "".join(item + "\0" for item in items).encode("utf-16-le", "surrogatepass") + b"\0\0"


def dword(n: int) -> bytes:
    return struct.pack("<I", n & 0xFFFFFFFF)


def qword(n: int) -> bytes:
    return struct.pack("<Q", n & 0xFFFFFFFFFFFFFFFF)


# --- the cell writer ------------------------------------------------------------------


class HiveBuilder:
    """Appends cells into hive bins and assembles the hive file.

    Cells are packed in the order they are allocated, 8-aligned, into bins of
    ``bin_size`` bytes. A cell that does not fit in what is left of the current bin
    opens a new bin, of ``bin_size`` or of the smallest multiple of 4096 that holds
    the header and the cell; the rest of the old bin stays one free cell, as Windows
    leaves it. The first cell therefore sits at offset 0x20, right after the first
    bin header.
    """

    def __init__(self, *, minor: int = 5, bin_size: int = 4096) -> None:
        if bin_size <= 0 or bin_size % HBIN_ALIGNMENT:
            raise ValueError("bin_size must be a positive multiple of 4096")
        self.minor = minor
        self.bin_size = bin_size
        self._data = bytearray()  # the hive bins data, always whole bins
        self._bin_end = 0  # end of the current bin
        self._pos = 0  # next free position in the current bin
        self._names: dict[int, str] = {}  # key node offset -> name, for list hashes
        self.bins: list[tuple[int, int]] = []  # (offset, size) of every bin

    # -- raw cells --

    @property
    def size(self) -> int:
        """Length of the hive bins data written so far."""
        return len(self._data)

    def start_bin(self, size: int | None = None) -> int:
        """Closes the current bin and opens a new one; returns its offset."""
        size = self.bin_size if size is None else size
        if size < HBIN_HEADER_SIZE or size % HBIN_ALIGNMENT:
            raise ValueError("a bin is a positive multiple of 4096 bytes")
        offset = len(self._data)
        self._data += bytes(size)
        _HBIN_HEADER.pack_into(self._data, offset, b"hbin", offset, size, 0, 0, 0)
        self.bins.append((offset, size))
        self._pos = offset + HBIN_HEADER_SIZE
        self._bin_end = offset + size
        self._mark_free_remainder()
        return offset

    def _mark_free_remainder(self) -> None:
        # The unused tail of the bin is one free cell (positive size).
        if self._pos < self._bin_end:
            _I32.pack_into(self._data, self._pos, self._bin_end - self._pos)

    def alloc(self, payload: bytes, *, size: int | None = None, free: bool = False) -> int:
        """Appends a cell holding ``payload`` and returns its cell offset.

        The cell takes len(payload) + 4 bytes rounded up to 8, zero-padded. Its size
        field is minus that length (plus that length with ``free=True``), or exactly
        ``size`` when given: a ``size`` that disagrees with the space taken writes a
        cell that overlaps its neighbours or ends early, on purpose.
        """
        length = _round_up(len(payload) + 4, CELL_ALIGNMENT)
        if not self.bins or self._pos + length > self._bin_end:
            self.start_bin(max(self.bin_size, _round_up(HBIN_HEADER_SIZE + length, HBIN_ALIGNMENT)))
        offset = self._pos
        if size is None:
            size = length if free else -length
        _I32.pack_into(self._data, offset, size)
        self._data[offset + 4 : offset + 4 + len(payload)] = payload
        self._pos += length
        self._mark_free_remainder()
        return offset

    def reserve(self, nbytes: int) -> int:
        """Allocates a zero-filled cell of ``nbytes`` payload to fill in with ``patch``."""
        return self.alloc(bytes(nbytes))

    def patch(self, offset: int, payload_pos: int, data: bytes) -> None:
        """Overwrites bytes inside the payload of the cell at ``offset``."""
        self.poke(offset + 4 + payload_pos, data)

    def poke(self, position: int, data: bytes) -> None:
        """Overwrites raw bytes of the hive bins data (bin headers and cell sizes too)."""
        if position < 0 or position + len(data) > len(self._data):
            raise ValueError(f"0x{position:x}+{len(data)} lies outside the hive bins data")
        self._data[position : position + len(data)] = data

    # -- records --

    def nk(self, name: str | bytes, *, cell_size: int | None = None, **fields) -> int:
        """Allocates a key node; the keywords are those of ``nk_record``."""
        offset = self.alloc(nk_record(name, **fields), size=cell_size)
        if isinstance(name, str):
            self._names[offset] = name
        return offset

    def subkey_list(
        self,
        kind: str | bytes,
        offsets: list[int],
        *,
        count: int | None = None,
        hashes: list[int] | None = None,
        cell_size: int | None = None,
    ) -> int:
        """Allocates a subkey list. For "lf" and "lh" the hashes default to the right
        ones for keys written by this builder with str names (0 for the others)."""
        sig = _two_bytes(kind)
        if hashes is None and sig in (b"lf", b"lh"):
            hash_of = lf_hash if sig == b"lf" else lh_hash
            names = self._names
            hashes = [hash_of(names[o]) if o in names else 0 for o in offsets]
        return self.alloc(subkey_list_record(sig, offsets, count=count, hashes=hashes), size=cell_size)

    def value_list(self, offsets: list[int], *, cell_size: int | None = None) -> int:
        return self.alloc(value_list_record(offsets), size=cell_size)

    def db(self, segments: list[int], *, count: int | None = None,
           segment_list: int | None = None) -> int:
        """Allocates a segment list naming ``segments`` and the "db" record pointing to
        it; returns the "db" cell. ``segment_list`` points the record elsewhere instead
        (no list is written); ``count`` overrides the stored segment count."""
        if segment_list is None:
            segment_list = self.alloc(value_list_record(segments))
        return self.alloc(db_record(len(segments) if count is None else count, segment_list))

    def big_data(self, data: bytes) -> int:
        """Writes ``data`` as Windows does above 16344 bytes and returns the "db" cell.

        Every segment but the last holds 16344 data bytes in a 16352-byte cell (4
        unused bytes at its end); the last holds the remainder in a cell just big
        enough. The segments come first, then the segment list, then the "db" record.
        """
        # 16344 data bytes plus the size field round up to exactly the 16352-byte cell.
        segments = [self.alloc(data[start : start + BIG_DATA_THRESHOLD])
                    for start in range(0, len(data), BIG_DATA_THRESHOLD)]
        return self.db(segments)

    def data_fields(self, data: bytes) -> tuple[int, int]:
        """Stores value data and returns the (data size, data offset) fields for it.

        Up to 4 bytes are held in the offset field itself (size with bit 31 set);
        up to 16344 bytes in one cell; more through "db" from minor version 4 on, and
        in one cell in hives of minor version 3, which predate big-data records.
        """
        n = len(data)
        if n <= 4:
            return n | 0x80000000, _U32.unpack(data.ljust(4, b"\0"))[0]
        if n <= BIG_DATA_THRESHOLD or self.minor <= 3:
            return n, self.alloc(data)
        return n, self.big_data(data)

    def vk(
        self,
        name: str | bytes,
        type_id: int,
        data: bytes | None = None,
        *,
        data_size: int | None = None,
        data_offset: int | None = None,
        flags: int | None = None,
        name_length: int | None = None,
        signature: str | bytes = b"vk",
        cell_size: int | None = None,
    ) -> int:
        """Allocates a value key, storing ``data`` first (see ``data_fields``).

        ``data_size`` and ``data_offset`` override the stored fields raw. When
        ``data_offset`` is given, ``data`` is not stored anywhere; it then only
        supplies the default size. ``data=None`` means size 0 and offset 0xFFFFFFFF.
        """
        if data is None:
            size, offset = 0, NO_LIST
        elif data_offset is not None:
            size, offset = len(data), data_offset
        else:
            size, offset = self.data_fields(data)
        record = vk_record(
            name, type_id,
            data_size=size if data_size is None else data_size,
            data_offset=offset if data_offset is None else data_offset,
            flags=flags, name_length=name_length, signature=signature,
        )
        return self.alloc(record, size=cell_size)

    # -- the file --

    def build(self, *, root: int, **base_block_overrides) -> bytes:
        """The whole hive file: a base block (root cell ``root``, this builder's minor
        version, hive bins data size = the bins written, correct checksum unless
        overridden) followed by the bins."""
        fields = {"root_cell_offset": root, "minor": self.minor,
                  "hive_bins_data_size": len(self._data)}
        fields.update(base_block_overrides)
        return base_block(**fields) + self._data

    def write(self, path: str | pathlib.Path, *, root: int, **base_block_overrides) -> pathlib.Path:
        path = pathlib.Path(path)
        path.write_bytes(self.build(root=root, **base_block_overrides))
        return path


# --- whole trees ----------------------------------------------------------------------


@dataclass
class Value:
    name: str  # "" is the key's default value
    type_id: int
    data: bytes


@dataclass
class Key:
    name: str
    subkeys: list[Key] = field(default_factory=list)
    values: list[Value] = field(default_factory=list)
    last_written: int = 0
    list_kind: str = "lf"  # "lf", "lh", "li", or "ri" for an index root over "lh" lists


def _utf16_length(name: str) -> int:
    # Windows keeps the longest-name fields in UTF-16 bytes whatever the stored form.
    return len(name.encode("utf-16-le", "surrogatepass"))


def _write_tree(builder: HiveBuilder, root: Key, ri_threshold: int) -> int:
    if ri_threshold < 1:
        raise ValueError("ri_threshold must be at least 1")
    # Pass 1, depth first in list order: each key's values, its value list, then its
    # node. A node is written before its subkeys, which need its offset as parent, so
    # its subkey list is left to pass 2. Each node records its children's offsets in a
    # list of its own, so a Key object used twice in a tree is written twice.
    written: list[tuple[Key, int, list[int]]] = []
    root_slot = [0]
    stack: list[tuple[Key, int, list[int], int]] = [(root, 0, root_slot, 0)]
    while stack:
        key, parent, slots, index = stack.pop()
        value_offsets = [builder.vk(v.name, v.type_id, v.data) for v in key.values]
        value_list = builder.value_list(value_offsets) if value_offsets else NO_LIST
        offset = builder.nk(
            key.name,
            root=slots is root_slot,
            last_written=key.last_written,
            parent=parent,
            subkey_count=len(key.subkeys),
            value_count=len(key.values),
            value_list=value_list,
            max_subkey_name_length=max((_utf16_length(k.name) for k in key.subkeys), default=0),
            max_value_name_length=max((_utf16_length(v.name) for v in key.values), default=0),
            max_value_data_size=max((len(v.data) for v in key.values), default=0),
        )
        slots[index] = offset
        children = [0] * len(key.subkeys)
        written.append((key, offset, children))
        stack.extend((key.subkeys[i], offset, children, i) for i in reversed(range(len(children))))

    # Pass 2: the subkey lists, now that every node offset is known.
    for key, offset, children in written:
        if not children:
            continue
        kind = key.list_kind
        if kind == "ri" or len(children) > ri_threshold:
            leaf_kind = "lh" if kind == "ri" else kind
            leaves = [builder.subkey_list(leaf_kind, children[i : i + ri_threshold])
                      for i in range(0, len(children), ri_threshold)]
            list_offset = builder.subkey_list("ri", leaves)
        else:
            list_offset = builder.subkey_list(kind, children)
        builder.patch(offset, NK_SUBKEY_LIST_OFFSET, _U32.pack(list_offset))
    return root_slot[0]


def build_tree(root: Key, *, minor: int = 5, ri_threshold: int = 1000, bin_size: int = 4096,
               **base_block_overrides) -> bytes:
    """The hive file of the tree under ``root``, subkeys and values in list order.

    Counts and list offsets in every key node match what is written. A key with more
    than ``ri_threshold`` subkeys gets an "ri" index root over leaf lists of its
    ``list_kind`` holding at most ``ri_threshold`` entries each; a key with no values
    or no subkeys stores 0xFFFFFFFF for that list.
    """
    builder = HiveBuilder(minor=minor, bin_size=bin_size)
    root_offset = _write_tree(builder, root, ri_threshold)
    return builder.build(root=root_offset, **base_block_overrides)


def write_tree(path: str | pathlib.Path, root: Key, **kw) -> pathlib.Path:
    path = pathlib.Path(path)
    path.write_bytes(build_tree(root, **kw))
    return path


def sample_tree() -> Key:
    """A small hive shaped like a SYSTEM hive, with a value of every type.

    Holds: keys four levels deep; values of types 0 to 11 plus two unknown ones; a
    default value; inline (<= 4 bytes), single-cell and big (three "db" segments)
    data; a key and a value whose names need UTF-16; an empty key; an "lh" and an
    "li" subkey list.
    """
    t = filetime(datetime.datetime(2024, 3, 1, 12, 30, 15))
    later = filetime(datetime.datetime(2024, 3, 2, 8, 0, 0, 123456))

    # 40000 bytes: segments of 16344, 16344 and 7312 bytes; the pattern makes a
    # misplaced or dropped byte show.
    big = bytes((i * 7 + i // 251) & 0xFF for i in range(40_000))
    resource = bytes.fromhex("01000000 0f000000 00000000 01000100 03050000 00000000".replace(" ", ""))

    tcpip = Key("Tcpip", last_written=later, subkeys=[
        Key("Parameters", last_written=later, values=[
            Value("Hostname", REG_SZ, sz("kelpa-demo")),
            Value("Domain", REG_SZ, sz("")),
            Value("EnableDHCP", REG_DWORD, dword(1)),
            Value("SearchList", REG_MULTI_SZ, multi_sz(["corp.example", "example.org"])),
            Value("DhcpTimestamp", REG_QWORD, qword(t)),
        ]),
    ], values=[
        Value("DisplayName", REG_SZ, sz("TCP/IP Protocol Driver")),
        Value("ImagePath", REG_EXPAND_SZ, sz(r"\SystemRoot\System32\drivers\tcpip.sys")),
        Value("Start", REG_DWORD, dword(0)),
        Value("Type", REG_DWORD, dword(1)),
        Value("ErrorControl", REG_DWORD_BIG_ENDIAN, struct.pack(">I", 3)),
        Value("Blob", REG_BINARY, big),
    ])
    services = Key("Services", last_written=t, list_kind="lh", subkeys=[
        Key("EventLog", last_written=t, subkeys=[Key("System", last_written=t, values=[
            Value("MaxSize", REG_DWORD, dword(20_971_520)),
            Value("File", REG_EXPAND_SZ, sz(r"%SystemRoot%\System32\Winevt\Logs\System.evtx")),
        ])]),
        tcpip,
        Key("Überwachung-監視", last_written=t, values=[
            Value("Größe", REG_DWORD, dword(0xDEADBEEF)),
            Value("Описание", REG_SZ, sz("Überwachungsdienst – 監視サービス")),
        ]),
    ])
    control = Key("Control", last_written=t, subkeys=[
        Key("ComputerName", last_written=t, subkeys=[
            Key("ComputerName", last_written=t, values=[
                Value("", REG_SZ, sz("mnmsrvc")),
                Value("ComputerName", REG_SZ, sz("KELPA-DEMO")),
            ]),
        ]),
        Key("Hardware", last_written=t, values=[
            Value("Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, resource),
            Value("Resources", REG_RESOURCE_LIST, b"\x01\x00\x00\x00" + resource),
            Value("Requirements", REG_RESOURCE_REQUIREMENTS_LIST, resource + bytes(8)),
            Value("Empty", REG_NONE, b""),
            Value("Marker", REG_NONE, b"\x2a"),
        ]),
        Key("Session Manager", last_written=t, subkeys=[
            Key("Environment", last_written=t, values=[
                Value("Path", REG_EXPAND_SZ, sz(r"%SystemRoot%\system32;%SystemRoot%")),
                Value("NUMBER_OF_PROCESSORS", REG_SZ, sz("2")),
            ]),
        ]),
    ])
    control_set = Key("ControlSet001", last_written=t, subkeys=[control, services])
    return Key("ROOT", last_written=later, list_kind="li", subkeys=[
        control_set,
        Key("CurrentControlSet", last_written=t, values=[
            Value("SymbolicLinkValue", REG_LINK,
                  r"\Registry\Machine\System\ControlSet001".encode("utf-16-le")),
        ]),
        Key("MountedDevices", last_written=t),
        Key("Select", last_written=t, values=[
            Value("Current", REG_DWORD, dword(1)),
            Value("Default", REG_DWORD, dword(1)),
            Value("Failed", REG_DWORD, dword(0)),
            Value("LastKnownGood", REG_DWORD, dword(1)),
            Value("Custom", 0x20, b"\x00\x01\x02\x03\x04\x05"),
            Value("DeviceProperty", 0xFFFF0011, b"\x01"),
        ]),
    ])


# --- transaction logs -----------------------------------------------------------------

Record = tuple[int, bytes] | tuple[int, int, bytes]


def _log_records(records: list[Record]) -> bytes:
    out = bytearray()
    for record in records:
        if len(record) == 2:
            target, data = record
            size = len(data)
        else:
            target, size, data = record
        out += struct.pack("<II", target, size) + data
    return bytes(out)


def dirt_block(records: list[Record] | bytes, *, count: int | None = None) -> bytes:
    """A dirty block: "DIRT", 4 unused bytes, u32 record count, 4 unused bytes, then
    the packed records (u32 target offset in the hive file, u32 size, the bytes).

    A record is (target, data), or (target, size, data) to store a size that is not
    len(data). ``records`` may also be the raw bytes of the record area, with
    ``count`` then required. Not padded: ``transaction_log`` places blocks.
    """
    if isinstance(records, (bytes, bytearray)):
        if count is None:
            raise TypeError("count is required with a raw record area")
        body = bytes(records)
    else:
        body = _log_records(records)
        count = len(records) if count is None else count
    return struct.pack("<4sIII", b"DIRT", 0, count, 0) + body


def transaction_log(sequence: int, blocks: list[list[Record] | bytes],
                    *, signature: bytes = b"HvLE") -> bytes:
    """A whole log file.

    The first 4096 bytes are the header: the signature, the u32 sequence at offset 4,
    zeros. Each block (a record list, or a ready-made ``dirt_block``) starts at the
    first 4096-byte boundary at or after the end of the previous block's records, so a
    block whose records run past its 4096 bytes pushes the next one further on. The
    file is padded with zeros to a multiple of 4096, as the log's pages are written
    whole; slice the result to cut a log short.
    """
    out = bytearray(LOG_HEADER_SIZE)
    struct.pack_into("<4sI", out, 0, signature, sequence)
    for block in blocks:
        out += bytes(_round_up(len(out), LOG_BLOCK_ALIGNMENT) - len(out))
        out += block if isinstance(block, (bytes, bytearray)) else dirt_block(block)
    out += bytes(_round_up(len(out), LOG_BLOCK_ALIGNMENT) - len(out))
    return bytes(out)


# --- command line ---------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="hivegen", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    sample = commands.add_parser("sample", help="write the sample hive")
    sample.add_argument("out", type=pathlib.Path)
    args = parser.parse_args(argv)
    if args.command == "sample":
        write_tree(args.out, sample_tree(), file_name="SYSTEM".encode("utf-16-le"))
        print(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
