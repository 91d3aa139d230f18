"""Hive.open: operating-system failures, the base block checks and their order, and the
BaseBlock and Hive objects made from an accepted base block."""

import errno
import os
import struct
import threading

import pytest

import hivegen
import kelpa
from conftest import open_hive, raises, write_hive


def with_xor(block: bytes, xor: int, stored: int | None = None) -> bytes:
    """``block`` with an uninterpreted word (offset 500) set so that the checksummed words
    XOR to ``xor``, and ``stored`` (default: ``xor``) in the checksum field."""
    out = bytearray(block)
    struct.pack_into("<I", out, 500, 0)
    struct.pack_into("<I", out, 500, hivegen.checksum(out) ^ xor)
    struct.pack_into("<I", out, 508, xor if stored is None else stored)
    return bytes(out)


# --- operating-system failures --------------------------------------------------------


def test_missing_file_is_a_plain_oserror(tmp_path):
    with raises(OSError, f"{os.strerror(errno.ENOENT)} (os error 2)") as exc:
        kelpa.Hive.open(str(tmp_path / "missing.dat"))
    assert (exc.value.errno, exc.value.strerror, exc.value.filename) == (None, None, None)


@pytest.mark.parametrize("suffix", ["\0", "\0b"])
def test_nul_byte_in_path(tmp_path, suffix):
    path = write_hive(tmp_path, hivegen.base_block())  # valid: it must not be opened
    with raises(OSError, "file name contained an unexpected NUL byte"):
        kelpa.Hive.open(path + suffix)


def test_directory(tmp_path):
    # A directory opens read-only on Linux; its size then decides: too small, or refused by mmap.
    size = os.stat(tmp_path).st_size
    if size < 4096:
        expected = (ValueError, f"Hive too small: {size} bytes (minimum: 4096 bytes)")
    else:
        expected = (OSError, f"{os.strerror(errno.ENODEV)} (os error 19)")
    with raises(*expected):
        kelpa.Hive.open(str(tmp_path))


@pytest.mark.parametrize("opener", [kelpa.Hive.open, kelpa.Hive.open_with_logs])
def test_fifo_without_writer_does_not_block(tmp_path, opener):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    outcome = []

    def run():
        try:
            opener(str(fifo))
        except Exception as e:  # noqa: BLE001 - handed to the main thread
            outcome.append(e)

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(5)
    if worker.is_alive():  # release the blocked open() before failing
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        worker.join(5)
        pytest.fail("opening blocked on a FIFO without a writer")
    assert [(type(e), e.args) for e in outcome] == [(ValueError, ("Hive too small: 0 bytes (minimum: 4096 bytes)",))]


def test_unreadable_file(tmp_path):
    path = write_hive(tmp_path, hivegen.base_block())
    os.chmod(path, 0)
    if os.access(path, os.R_OK):
        pytest.skip("this user can read a file with mode 000 (root)")
    with raises(OSError, f"{os.strerror(errno.EACCES)} (os error 13)"):
        kelpa.Hive.open(path)


# --- base block checks ----------------------------------------------------------------

GOOD = hivegen.base_block()

BASE_BLOCK_ERRORS = [
    (b"", "Hive too small: 0 bytes (minimum: 4096 bytes)"),
    (GOOD[:4095], "Hive too small: 4095 bytes (minimum: 4096 bytes)"),  # the length comes first
    (hivegen.base_block(signature=b"rege"), "Invalid signature: expected regf, found rege"),
    (hivegen.base_block(signature=b"\xc3\xa9gf"), "Invalid signature: expected regf, found \u00e9gf"),
    # one U+FFFD per maximal ill-formed subpart
    (hivegen.base_block(signature=b"\xffegf"), "Invalid signature: expected regf, found \ufffdegf"),
    (hivegen.base_block(signature=b"\xed\xa0\x80f"), "Invalid signature: expected regf, found \ufffd\ufffd\ufffdf"),
    # check order: signature, then checksum, then version
    (hivegen.base_block(signature=b"regx", checksum=1, major=2), "Invalid signature: expected regf, found regx"),
    (with_xor(hivegen.base_block(major=7, minor=7), 0xABCD, 0x1234), "Checksum mismatch: expected 0x1234, calculated 0xabcd"),
    (with_xor(GOOD, 0, 0xFFFFFFFE), "Checksum mismatch: expected 0xfffffffe, calculated 0x0"),
    (with_xor(GOOD, 0xABCD, 0x1234), "Checksum mismatch: expected 0x1234, calculated 0xabcd"),
    *[(hivegen.base_block(major=major, minor=minor), f"Unsupported hive version: {major}.{minor}")
      for major, minor in [(1, 2), (1, 7), (2, 5), (0xFFFFFFFF, 3)]],
]


@pytest.mark.parametrize("data, message", BASE_BLOCK_ERRORS, ids=lambda v: v[:40] if isinstance(v, str) else None)
def test_base_block_errors(tmp_path, data, message):
    with raises(ValueError, message):
        open_hive(tmp_path, data)


@pytest.mark.parametrize("data", [
    with_xor(GOOD, 0), with_xor(GOOD, 0xFFFFFFFF),  # the plain XOR, and Windows' form of it:
    with_xor(GOOD, 0, 1), with_xor(GOOD, 0xFFFFFFFF, 0xFFFFFFFE),
    hivegen.base_block(minor=3), hivegen.base_block(minor=6),
])
def test_base_block_accepted(tmp_path, data):
    assert open_hive(tmp_path, data).base_block().signature == "regf"


GOOD_CHECKSUM = struct.unpack_from("<I", GOOD, 508)[0]  # right: GOOD opens


@pytest.mark.parametrize("position, stored, calculated", [
    (507, GOOD_CHECKSUM, GOOD_CHECKSUM ^ 0x5A000000),  # the last checksummed byte
    (112, GOOD_CHECKSUM, GOOD_CHECKSUM ^ 0x5A),  # uninterpreted, but checksummed
    (508, GOOD_CHECKSUM ^ 0x5A, GOOD_CHECKSUM),  # the checksum field itself
    (512, None, None),  # bytes after the checksum are not read at all
])
def test_checksum_range(tmp_path, position, stored, calculated):
    block = bytearray(GOOD)
    block[position] ^= 0x5A
    if stored is None:
        open_hive(tmp_path, bytes(block))
    else:
        with raises(ValueError, f"Checksum mismatch: expected {stored:#x}, calculated {calculated:#x}"):
            open_hive(tmp_path, bytes(block))


# --- BaseBlock ------------------------------------------------------------------------

WHITE_SPACE = bytes([0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0])


@pytest.mark.parametrize("raw, text", [
    (b"", ""),
    ("SYSTEM".encode("utf-16-le"), "S Y S T E M"),
    (b"\x80\xff", "\u0080\u00ff"),  # one byte, one character
    (b"\0\0ab", "ab"),
    (b"a\0\0b", "a  b"),
    (WHITE_SPACE + b"x y" + WHITE_SPACE, "x y"),
    (b"a\x85\xa0\tb", "a\u0085\u00a0\tb"),  # only the ends are trimmed
    (b"\x1cab\x1f", "\x1cab\x1f"),  # U+001C..U+001F are not White_Space
    (b"A" * 64, "A" * 64),
], ids=lambda v: repr(v)[:30] if isinstance(v, bytes) else None)
def test_file_name(tmp_path, raw, text):
    # The bytes just outside the 64-byte field are set, so a field read one byte too wide shows.
    block = bytearray(hivegen.base_block(file_name=raw, clustering_factor=0x4B000000))
    block[112] = ord("Q")
    assert open_hive(tmp_path, with_xor(bytes(block), 0x5555)).base_block().file_name == text


@pytest.mark.parametrize("root, size, text", [
    (0, 0, "root_offset=0x0, hive_length=0x0"),
    # the root and the bins size point far past the 4096-byte image: open does not look
    (0xFFFFFFFF, 0xFFFFF000, "root_offset=0xffffffff, hive_length=0xfffff000"),
])
def test_base_block_properties(tmp_path, root, size, text):
    block = hivegen.base_block(primary_sequence=0x80000000, secondary_sequence=0xFFFFFFFF,
                               root_cell_offset=root, hive_bins_data_size=size, file_name=b"N\0T\0")
    hive = open_hive(tmp_path, block)
    assert repr(hive) == str(hive) == f"Hive({text})"
    bb = hive.base_block()
    assert bb is not hive.base_block()
    del hive  # a detached copy
    assert repr(bb) == f"BaseBlock(signature=regf, {text})"
    assert (bb.signature, bb.primary_sequence, bb.secondary_sequence, bb.root_cell_offset, bb.file_name) == (
        "regf", 2147483648, 4294967295, root, "N T")
    assert bb.hive_length == bb.hive_bins_data_size == size
    for name in ("signature", "primary_sequence", "secondary_sequence", "root_cell_offset", "hive_length",
                 "file_name", "hive_bins_data_size"):
        with pytest.raises(AttributeError):
            setattr(bb, name, 5)
        with pytest.raises(AttributeError):
            delattr(bb, name)
    with pytest.raises(AttributeError):
        bb.new_attribute = 1
