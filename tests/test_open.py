"""Hive.open: operating-system failures, the base block checks and their order, and the
BaseBlock and Hive objects made from an accepted base block."""

import errno
import os
import struct
import threading

import pytest

import hivegen
import kelpa
from conftest import open_hive, write_hive

CHECKSUMMED_END = 508  # the checksum covers bytes 0..507; the stored word is at 508


def assert_error(exc_info, cls, message):
    assert type(exc_info.value) is cls
    assert exc_info.value.args == (message,)


def with_xor(block: bytes, xor: int, stored: int | None = None) -> bytes:
    """``block`` with an uninterpreted word (offset 500) set so that the checksummed
    words XOR to ``xor``, and ``stored`` (default: ``xor``) in the checksum field."""
    out = bytearray(block)
    struct.pack_into("<I", out, 500, 0)
    struct.pack_into("<I", out, 500, hivegen.checksum(out) ^ xor)
    struct.pack_into("<I", out, CHECKSUMMED_END, xor if stored is None else stored)
    return bytes(out)


# --- operating-system failures --------------------------------------------------------


def test_missing_file_is_a_plain_oserror(tmp_path):
    with pytest.raises(OSError) as exc:
        kelpa.Hive.open(str(tmp_path / "missing.dat"))
    assert_error(exc, OSError, f"{os.strerror(errno.ENOENT)} (os error 2)")
    assert not isinstance(exc.value, FileNotFoundError)
    assert (exc.value.errno, exc.value.strerror, exc.value.filename) == (None, None, None)


def test_relative_path_is_resolved_against_the_working_directory(tmp_path, monkeypatch):
    write_hive(tmp_path, hivegen.base_block(root_cell_offset=0x40), "rel.dat")
    monkeypatch.chdir(tmp_path)
    assert kelpa.Hive.open("rel.dat").base_block().root_cell_offset == 0x40


@pytest.mark.parametrize("suffix", ["\0", "\0b", "\0" + "x" * 10])
def test_nul_byte_in_path(tmp_path, suffix):
    # The file before the NUL exists and is a valid hive: it must not be opened.
    path = write_hive(tmp_path, hivegen.base_block())
    with pytest.raises(OSError) as exc:
        kelpa.Hive.open(path + suffix)
    assert_error(exc, OSError, "file name contained an unexpected NUL byte")


def test_directory(tmp_path):
    # A directory opens read-only on Linux; its size then decides: too small for a hive,
    # or refused by mmap.
    size = os.stat(tmp_path).st_size
    with pytest.raises((OSError, ValueError)) as exc:
        kelpa.Hive.open(str(tmp_path))
    if size < 4096:
        assert_error(exc, ValueError, f"Hive too small: {size} bytes (minimum: 4096 bytes)")
    else:
        assert_error(exc, OSError, f"{os.strerror(errno.ENODEV)} (os error 19)")


def test_fifo_does_not_block(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    outcome = []

    def run():
        try:
            kelpa.Hive.open(str(fifo))
        except Exception as e:  # noqa: BLE001 - handed to the main thread
            outcome.append(e)

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(5)
    if worker.is_alive():  # release the blocked open() before failing
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        worker.join(5)
        pytest.fail("Hive.open blocked on a FIFO without a writer")
    assert len(outcome) == 1
    assert type(outcome[0]) is ValueError
    assert outcome[0].args == ("Hive too small: 0 bytes (minimum: 4096 bytes)",)


def test_unreadable_file(tmp_path):
    path = write_hive(tmp_path, hivegen.base_block())
    os.chmod(path, 0)
    if os.access(path, os.R_OK):
        pytest.skip("this user can read a file with mode 000 (root)")
    with pytest.raises(OSError) as exc:
        kelpa.Hive.open(path)
    assert_error(exc, OSError, f"{os.strerror(errno.EACCES)} (os error 13)")


# --- base block checks ----------------------------------------------------------------


@pytest.mark.parametrize("data", [
    b"",
    b"r",
    hivegen.base_block()[:4095],  # a good header, one byte short: the length comes first
    b"\xff" * 4095,
], ids=["empty", "1", "4095-valid-prefix", "4095-garbage"])
def test_too_small(tmp_path, data):
    with pytest.raises(ValueError) as exc:
        open_hive(tmp_path, data)
    assert_error(exc, ValueError, f"Hive too small: {len(data)} bytes (minimum: 4096 bytes)")


@pytest.mark.parametrize("signature, found", [
    (b"rege", "rege"),
    (b"REGF", "REGF"),
    (b"hbin", "hbin"),
    (b"\0\0\0\0", "\0\0\0\0"),
    (b"\xffegf", "\ufffdegf"),
    (b"\xc3\xa9gf", "\u00e9gf"),
    # one U+FFFD per maximal ill-formed subpart
    (b"\xe2\x82rf", "\ufffdrf"),
    (b"re\xf0\x9f", "re\ufffd"),
    (b"\xed\xa0\x80f", "\ufffd\ufffd\ufffdf"),
    (b"\x80\x80\x80\x80", "\ufffd" * 4),
])
def test_bad_signature(tmp_path, signature, found):
    with pytest.raises(ValueError) as exc:
        open_hive(tmp_path, hivegen.base_block(signature=signature))
    assert_error(exc, ValueError, f"Invalid signature: expected regf, found {found}")


@pytest.mark.parametrize("fields, message", [
    # every check fails: the signature is reported
    (dict(signature=b"regx", checksum=1, major=2), "Invalid signature: expected regf, found regx"),
    # checksum and version fail: the checksum is reported
    (dict(checksum=0x1234, major=1, minor=2), "Checksum mismatch: expected 0x1234, calculated {calculated}"),
    (dict(checksum=0x1234, major=7, minor=7), "Checksum mismatch: expected 0x1234, calculated {calculated}"),
    # only the version fails
    (dict(major=1, minor=2), "Unsupported hive version: 1.2"),
])
def test_check_order(tmp_path, fields, message):
    block = hivegen.base_block(**fields)
    with pytest.raises(ValueError) as exc:
        open_hive(tmp_path, block)
    calculated = hex(hivegen.checksum(block))
    assert_error(exc, ValueError, message.format(calculated=calculated))


@pytest.mark.parametrize("xor, stored", [
    (0xABCD, 0x1234),
    (0, 1),  # a writer that maps 0 to 1 is not followed
    (0xFFFFFFFF, 0xFFFFFFFE),  # nor one that maps 0xFFFFFFFF to 0xFFFFFFFE
    (1, 0),
    (0x80000000, 0),
])
def test_checksum_mismatch(tmp_path, xor, stored):
    with pytest.raises(ValueError) as exc:
        open_hive(tmp_path, with_xor(hivegen.base_block(), xor, stored))
    assert_error(exc, ValueError, f"Checksum mismatch: expected {stored:#x}, calculated {xor:#x}")


@pytest.mark.parametrize("xor", [0, 0xFFFFFFFF, 0x1234])
def test_checksum_used_as_computed(tmp_path, xor):
    hive = open_hive(tmp_path, with_xor(hivegen.base_block(), xor))
    assert hive.base_block().signature == "regf"


@pytest.mark.parametrize("position, opens", [
    (504, False),  # the last checksummed word
    (507, False),
    (512, True),  # bytes after the checksum are not read at all
    (4095, True),
    (112, False),  # uninterpreted, but checksummed
])
def test_checksum_range(tmp_path, position, opens):
    block = bytearray(hivegen.base_block())
    block[position] ^= 0x5A
    if opens:
        open_hive(tmp_path, bytes(block))
    else:
        with pytest.raises(ValueError, match=r"^Checksum mismatch: "):
            open_hive(tmp_path, bytes(block))


@pytest.mark.parametrize("major, minor", [(1, 3), (1, 4), (1, 5), (1, 6)])
def test_supported_versions(tmp_path, major, minor):
    open_hive(tmp_path, hivegen.base_block(major=major, minor=minor))


@pytest.mark.parametrize("major, minor", [
    (1, 2), (1, 7), (2, 5), (0, 3), (1, 0), (2, 3), (0xFFFFFFFF, 3), (1, 0xFFFFFFFF), (0x80000001, 5),
])
def test_unsupported_versions(tmp_path, major, minor):
    with pytest.raises(ValueError) as exc:
        open_hive(tmp_path, hivegen.base_block(major=major, minor=minor))
    assert_error(exc, ValueError, f"Unsupported hive version: {major}.{minor}")


def test_fields_not_checked_at_open(tmp_path):
    # Sequences differ, the root and the bins size point far past the 4096-byte image:
    # opening looks at none of it.
    block = hivegen.base_block(primary_sequence=7, secondary_sequence=3, root_cell_offset=0x7FFFFFF8,
                               hive_bins_data_size=0x10000000, file_type=9, file_format=9,
                               clustering_factor=0, last_written=0xFFFFFFFFFFFFFFFF)
    bb = open_hive(tmp_path, block).base_block()
    assert (bb.primary_sequence, bb.secondary_sequence) == (7, 3)
    assert (bb.root_cell_offset, bb.hive_length) == (0x7FFFFFF8, 0x10000000)


def test_error_args_and_hive_stays_usable(tmp_path):
    hive = open_hive(tmp_path, hivegen.base_block(root_cell_offset=0x20))
    for _ in range(2):
        with pytest.raises(ValueError) as exc:
            hive.root_key()
        assert_error(exc, ValueError, "Invalid offset 0x20 (hive size: 0x1000)")
    assert repr(hive) == "Hive(root_offset=0x20, hive_length=0x1000)"
    assert hive.base_block().signature == "regf"


# --- BaseBlock ------------------------------------------------------------------------

WHITE_SPACE = bytes([0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0])


@pytest.mark.parametrize("raw, text", [
    (b"", ""),
    (b"a\0b\0", "a b"),
    ("SYSTEM".encode("utf-16-le"), "S Y S T E M"),
    ("\\??\\C:\\x".encode("utf-16-le"), "\\ ? ? \\ C : \\ x"),
    (b"\xe9A", "\u00e9A"),
    (b"\x80\xff", "\u0080\u00ff"),
    (b"\0\0ab", "ab"),
    (b"a\0\0b", "a  b"),
    (WHITE_SPACE + b"x y" + WHITE_SPACE, "x y"),
    (b"a\x85\xa0\tb", "a\u0085\u00a0\tb"),  # only the ends are trimmed
    (b"\x1cab\x1f", "\x1cab\x1f"),  # U+001C..U+001F are not White_Space
    (b"\x01z\x7f", "\x01z\x7f"),
    (b"A" * 64, "A" * 64),
    (b" " * 63 + b"Z", "Z"),
], ids=lambda v: repr(v)[:30] if isinstance(v, bytes) else None)
def test_file_name(tmp_path, raw, text):
    # Bytes just outside the 64-byte field (clustering factor before it, reserved after it)
    # are set so that a field read one byte too wide shows.
    block = bytearray(hivegen.base_block(file_name=raw, clustering_factor=0x4B000000))
    block[112] = ord("Q")
    hive = open_hive(tmp_path, with_xor(bytes(block), 0x5555))
    assert hive.base_block().file_name == text


def test_base_block_properties(tmp_path):
    block = hivegen.base_block(primary_sequence=0x80000000, secondary_sequence=0xFFFFFFFF,
                               root_cell_offset=0x80000020, hive_bins_data_size=0xFFFFF000,
                               file_name=b"N\0T\0")
    hive = open_hive(tmp_path, block)
    bb = hive.base_block()
    assert bb.signature == "regf"
    assert bb.primary_sequence == 2147483648
    assert bb.secondary_sequence == 4294967295
    assert bb.root_cell_offset == 0x80000020
    assert bb.hive_length == bb.hive_bins_data_size == 0xFFFFF000
    assert bb.file_name == "N T"
    assert repr(bb) == "BaseBlock(signature=regf, root_offset=0x80000020, hive_length=0xfffff000)"
    assert repr(hive) == "Hive(root_offset=0x80000020, hive_length=0xfffff000)"


def test_base_block_is_a_detached_copy(tmp_path):
    hive = open_hive(tmp_path, hivegen.base_block(root_cell_offset=0x1234, file_name=b"abc"))
    first, second = hive.base_block(), hive.base_block()
    assert first is not second
    del hive
    assert (first.root_cell_offset, first.file_name) == (second.root_cell_offset, second.file_name) == (0x1234, "abc")
    assert repr(first) == "BaseBlock(signature=regf, root_offset=0x1234, hive_length=0x1000)"


PROPERTY_NAMES = ["signature", "primary_sequence", "secondary_sequence", "root_cell_offset", "hive_length",
                  "file_name", "hive_bins_data_size"]


@pytest.mark.parametrize("name", PROPERTY_NAMES)
def test_base_block_properties_are_read_only(tmp_path, name):
    bb = open_hive(tmp_path, hivegen.base_block()).base_block()
    before = getattr(bb, name)
    with pytest.raises(AttributeError):
        setattr(bb, name, 5)
    with pytest.raises(AttributeError):
        delattr(bb, name)
    with pytest.raises(AttributeError):
        bb.new_attribute = 1
    assert getattr(bb, name) == before


@pytest.mark.parametrize("root, size, text", [
    (0x20, 0x1000, "root_offset=0x20, hive_length=0x1000"),
    (0, 0, "root_offset=0x0, hive_length=0x0"),
    (0xFFFFFFFF, 0xABCDEF, "root_offset=0xffffffff, hive_length=0xabcdef"),
])
def test_reprs(tmp_path, root, size, text):
    hive = open_hive(tmp_path, hivegen.base_block(root_cell_offset=root, hive_bins_data_size=size))
    assert repr(hive) == f"Hive({text})"
    assert repr(hive.base_block()) == f"BaseBlock(signature=regf, {text})"
    assert str(hive) == repr(hive)
