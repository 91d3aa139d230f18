"""Transaction logs as Windows writes them: a 512-byte "regf" log base block, then either "HvLE"
entries hashed with Marvin32 (new format, file type 6) or a "DIRT" dirty vector and the sectors it
marks (old format, file type 1 or 2)."""

from __future__ import annotations

import struct

import hivegen

ENTRY_SEED = 0x82EF4D887A4E55C5
SECTOR = 512
_M = 0xFFFFFFFF


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
    return hivegen.base_block(primary_sequence=sequence, file_type=file_type,
                              secondary_sequence=sequence if secondary is None else secondary, **fields)[:SECTOR]


def entry(sequence: int, pages: list[tuple[int, bytes]], *, hive_bins_data_size: int = 0x1000, flags: int = 0,
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


def new_log(sequence: int, entries: list[bytes], **fields) -> bytes:
    return log_base_block(sequence, **fields) + b"".join(entries)


def old_log(sequence: int, sectors: dict[int, bytes], *, hive_bins_data_size: int = 0x1000, file_type: int = 1,
            signature: bytes = b"DIRT", **fields) -> bytes:
    """An old-format log marking the 512-byte sector i (file offset 4096 + 512 i) of each item."""
    vector = bytearray(hive_bins_data_size // 4096)
    for i in sectors:
        vector[i // 8] |= 1 << (i % 8)
    head = signature + bytes(vector)
    return (log_base_block(sequence, file_type=file_type, hive_bins_data_size=hive_bins_data_size, **fields)
            + head + bytes(-len(head) % SECTOR) + b"".join(sectors[i] for i in sorted(sectors)))
