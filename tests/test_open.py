"""The hive file: Hive.open (operating-system failures, the base block checks and their order, the BaseBlock
and Hive objects made from an accepted base block, Hive.hbins()) and Hive.save(path). A target that a live Hive
of this process maps is never truncated under the mapping (reading the lost pages raises SIGBUS): a new file
replaces it. Other targets are rewritten in place."""

import datetime
import errno
import os
import pathlib
import stat
import struct
import threading
import time

import pytest

import hivegen
import kelpa
import sample_hive
from conftest import error, open_hive, outcome, write_hive

GOOD = hivegen.base_block()
GOOD_CHECKSUM = struct.unpack_from("<I", GOOD, 508)[0]


def with_xor(block: bytes, xor: int, stored: int | None = None) -> bytes:
    """``block`` with the unread word at 500 set so that the words XOR to ``xor``, and ``stored`` (default: ``xor``)."""
    out = bytearray(block)
    struct.pack_into("<I", out, 500, 0)
    struct.pack_into("<I", out, 500, hivegen.checksum(out) ^ xor)
    struct.pack_into("<I", out, 508, xor if stored is None else stored)
    return bytes(out)


def test_os_failures(tmp_path):
    with pytest.raises(OSError) as exc:
        kelpa.Hive.open(str(tmp_path / "missing.dat"))
    assert (type(exc.value), exc.value.args, exc.value.errno, exc.value.strerror, exc.value.filename) == (
        OSError, (f"{os.strerror(errno.ENOENT)} (os error 2)",), None, None, None)
    path = write_hive(tmp_path, GOOD)  # valid: it must not be opened
    # A directory opens read-only on Linux (then mmap fails with ENODEV): refused as read() refuses it.
    assert [outcome(lambda p=p: kelpa.Hive.open(p)) for p in (path + "\0", path + "\0b", str(tmp_path))] == [
        error("file name contained an unexpected NUL byte", OSError)] * 2 + [
        error(f"{os.strerror(errno.EISDIR)} (os error 21)", OSError)]
    os.chmod(path, 0)
    if not os.access(path, os.R_OK):  # root reads it all the same
        assert outcome(lambda: kelpa.Hive.open(path)) == error(f"{os.strerror(errno.EACCES)} (os error 13)", OSError)


def os_error(call) -> tuple:
    try:
        call()
    except OSError as e:
        return type(e), e.args, e.errno, e.strerror, e.filename
    raise AssertionError("no OSError")


@pytest.mark.parametrize("target", ["missing", "folder", "unreadable"])
def test_new_factories_raise_os_errors_as_open_does(tmp_path, target):
    """from_path (alone and with logs) raises what Python's own open() raises for the same path; open,
    open_with_logs and save keep the plain OSError with the one message argument."""
    path = tmp_path / target
    if target == "folder":
        path.mkdir()
    elif target == "unreadable":
        path.write_bytes(GOOD)
        path.chmod(0)
        if os.access(path, os.R_OK):
            pytest.skip("root reads it all the same")
    expected = os_error(lambda: open(str(path), "rb"))
    assert expected[0] is not OSError
    log = write_hive(tmp_path, b"", "log")
    assert os_error(lambda: kelpa.Hive.from_path(str(path))) == expected
    assert os_error(lambda: kelpa.Hive.from_path(str(path), log, strict=False)) == expected
    plain = (OSError, (f"{expected[3]} (os error {expected[2]})",), None, None, None)
    assert os_error(lambda: kelpa.Hive.open(str(path))) == plain
    assert os_error(lambda: kelpa.Hive.open_with_logs(str(path), log)) == plain


def feed(path, data: bytes) -> str:
    """A FIFO and a thread writing ``data`` to it a piece at a time, so that reads come back short."""
    os.mkfifo(path)

    def write():
        with open(path, "wb", buffering=0) as pipe:  # waits for the reader
            for at in range(0, len(data), 1000):
                pipe.write(data[at:at + 1000])
                time.sleep(0.001)
    threading.Thread(target=write, daemon=True).start()
    return str(path)


@pytest.mark.parametrize("opener", [kelpa.Hive.open, kelpa.Hive.open_with_logs])
def test_fifos(tmp_path, opener):
    """Without a writer opening does not block; with one, a hive and a log are read whole (a pipe
    left non-blocking fails on the first short read)."""
    os.mkfifo(fifo := tmp_path / "fifo")
    got = []
    (worker := threading.Thread(target=lambda: got.append(outcome(lambda: opener(str(fifo)))), daemon=True)).start()
    worker.join(5)
    if worker.is_alive():  # release the blocked open() before failing
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        pytest.fail("opening blocked on a FIFO without a writer")
    assert got == [error("Hive too small: 0 bytes (minimum: 4096 bytes)")]
    if opener is kelpa.Hive.open_with_logs:  # Hive.open maps a file, and a FIFO has no length to map
        log = hivegen.transaction_log(1, [[(4, b"G")]])
        hive = opener(feed(tmp_path / "hive", GOOD), feed(tmp_path / "log", log))
        assert hive.base_block().primary_sequence == ord("G")


@pytest.mark.parametrize("data, message", [
    (b"", "Hive too small: 0 bytes (minimum: 4096 bytes)"),
    (GOOD[:4095], "Hive too small: 4095 bytes (minimum: 4096 bytes)"),  # the length comes first
    (hivegen.base_block(signature=b"rege"), "Invalid signature: expected regf, found rege"),
    (hivegen.base_block(signature=b"\xc3\xa9gf"), "Invalid signature: expected regf, found \u00e9gf"),
    (hivegen.base_block(signature=b"\xffegf"), "Invalid signature: expected regf, found \ufffdegf"),
    (hivegen.base_block(signature=b"\xed\xa0\x80f"), "Invalid signature: expected regf, found \ufffd\ufffd\ufffdf"),
    # check order: signature, then checksum, then version
    (hivegen.base_block(signature=b"regx", checksum=1, major=2), "Invalid signature: expected regf, found regx"),
    (with_xor(hivegen.base_block(major=7, minor=7), 0xABCD, 0x1234), "Checksum mismatch: expected 0x1234, calculated 0xabcd"),
    (with_xor(GOOD, 0, 0xFFFFFFFE), "Checksum mismatch: expected 0xfffffffe, calculated 0x0"),
    # the checksum covers bytes 0..507, the uninterpreted ones too, and no further
    (GOOD[:507] + bytes([GOOD[507] ^ 0x5A]) + GOOD[508:],
     f"Checksum mismatch: expected {GOOD_CHECKSUM:#x}, calculated {GOOD_CHECKSUM ^ 0x5A000000:#x}"),
    (GOOD[:112] + b"\x5a" + GOOD[113:], f"Checksum mismatch: expected {GOOD_CHECKSUM:#x}, calculated {GOOD_CHECKSUM ^ 0x5A:#x}"),
    (GOOD[:508] + bytes([GOOD[508] ^ 0x5A]) + GOOD[509:],
     f"Checksum mismatch: expected {GOOD_CHECKSUM ^ 0x5A:#x}, calculated {GOOD_CHECKSUM:#x}"),
    *[(hivegen.base_block(major=major, minor=minor), f"Unsupported hive version: {major}.{minor}")
      for major, minor in [(1, 2), (1, 7), (2, 5), (0xFFFFFFFF, 3), (0, 5)]],
    # accepted
    (with_xor(GOOD, 0), None), (with_xor(GOOD, 0xFFFFFFFF), None), (GOOD[:512] + b"\xff" * 3584, None),
    (with_xor(GOOD, 0, 1), None), (with_xor(GOOD, 0xFFFFFFFF, 0xFFFFFFFE), None),  # Windows' form of the XOR
    (hivegen.base_block(minor=3), None), (hivegen.base_block(minor=6), None),
], ids=lambda v: v[:40] if isinstance(v, str) else None)
def test_base_block_checks(tmp_path, data, message):
    assert outcome(lambda: open_hive(tmp_path, data).base_block().signature) == (
        "regf" if message is None else error(message))


WHITE_SPACE = bytes([0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0])


@pytest.mark.parametrize("raw, text", [
    (b"", ""),
    ("SYSTEM".encode("utf-16-le"), "S Y S T E M"),
    (b"\x80\xff", "\u0080\u00ff"),  # one byte, one character
    (b"\0\0ab", "ab"),
    (b"a\0\0b", "a  b"),
    (WHITE_SPACE + b"x y" + WHITE_SPACE, "x y"),
    (b"a\x85\xa0\tb", "a\u0085\u00a0\tb"),  # only the ends are trimmed
    (b"\x08\x0e\x1cab\x1f\x84\x86\x9f\xa1", "\x08\x0e\x1cab\x1f\x84\x86\x9f\xa1"),  # not White_Space
    (b"A" * 64, "A" * 64),
], ids=lambda v: repr(v)[:30] if isinstance(v, bytes) else None)
def test_file_name(tmp_path, raw, text):
    # The bytes just outside the 64-byte field are set, so a field read one byte too wide shows.
    block = bytearray(hivegen.base_block(file_name=raw, clustering_factor=0x4B000000))
    block[112] = ord("Q")
    assert open_hive(tmp_path, with_xor(bytes(block), 0x5555)).base_block().file_name == text


def test_base_block_fields(tmp_path):
    # the root and the bins size point far past the 4096-byte image: open does not look
    image = hivegen.base_block(primary_sequence=0x80000000, secondary_sequence=0xFFFFFFFF, root_cell_offset=0xFFFFFFFF,
                               hive_bins_data_size=0xFFFFF000, file_name=b"N\0T\0", minor=6, file_type=2, file_format=3,
                               clustering_factor=4, last_written=132_274_943_999_999_999)
    text = "root_offset=0xffffffff, hive_length=0xfffff000"
    hive = open_hive(tmp_path, image)
    assert repr(hive) == str(hive) == f"Hive({text})"
    bb = hive.base_block()
    assert bb is not hive.base_block()
    del hive  # a detached copy
    assert (repr(bb), bb.signature, bb.primary_sequence, bb.secondary_sequence, bb.root_cell_offset, bb.file_name,
            bb.hive_length, bb.hive_bins_data_size, bb.major_version, bb.minor_version, bb.file_type, bb.file_format,
            bb.clustering_factor, bb.checksum, bb.last_written) == (
        f"BaseBlock(signature=regf, {text})", "regf", 2147483648, 4294967295, 0xFFFFFFFF, "N T", 0xFFFFF000,
        0xFFFFF000, 1, 6, 2, 3, 4, int.from_bytes(image[508:512], "little"),
        datetime.datetime(2020, 2, 29, 23, 59, 59, 999_999, tzinfo=datetime.UTC))  # leap day; below a microsecond
    assert [outcome(lambda n=n: setattr(bb, n, 5))[0] for n in ("signature", "hive_length", "new_attribute")] == [
        AttributeError] * 3
    times = [outcome(lambda: open_hive(tmp_path, hivegen.base_block(last_written=t)).base_block().last_written)
             for t in (0, 2**64 - 1)]
    assert times == [None, error("Invalid format: Last written time of the base block is past 9999-12-31")]


THREE = [(0x0, 0x1000), (0x1000, 0x2000), (0x3000, 0x1000)]


def three_bins(*fields, **base_block_overrides) -> bytes:
    """Bins of 0x1000, 0x2000 and 0x1000 bytes covering the hive; ``fields``: (bin, field, u32) to set."""
    builder = hivegen.HiveBuilder()
    for _, size in THREE:
        builder.start_bin(size)
    for bin_offset, at, value in fields:
        builder.poke(bin_offset + at, struct.pack("<I", value))
    return builder.build(root=0x20, **base_block_overrides)


@pytest.mark.parametrize("image, expected", [
    (three_bins(), THREE),
    (three_bins() + bytes(4096), THREE),  # slack after the last bin ends the walk
    (three_bins() + b"hbix" + bytes(28), THREE),  # a whole header's room without "hbin"
    (three_bins(hive_bins_data_size=0x1000), THREE),  # the walk runs to the end of the image
    (hivegen.base_block(), []),
    # a header's size is only the step to the next one
    (three_bins((0x1000, 8, 8)), [(0x0, 0x1000), (0x1000, 8)]),
    (three_bins((0x1000, 8, 0x3000)), [(0x0, 0x1000), (0x1000, 0x3000)]),  # to the image end
    (three_bins((0x1000, 8, 0x3001)), [(0x0, 0x1000), (0x1000, 0x3001)]),  # past it
    (three_bins((0x1000, 8, 0xFFFFF000)), [(0x0, 0x1000), (0x1000, 0xFFFFF000)]),  # no wrap to 0 in 32 bits
    # without "hbin" the walk ends before the offset field is looked at
    (three_bins((0x1000, 0, int.from_bytes(b"HBIN", "little")), (0x1000, 4, 0x1234)), [(0x0, 0x1000)]),
    (three_bins() + b"h", "Truncated data at offset 0x4000: expected 32 bytes, got 1 bytes"),
    (three_bins() + b"h" * 31, "Truncated data at offset 0x4000: expected 32 bytes, got 31 bytes"),
    (three_bins((0x1000, 4, 0x2000)), "Invalid format: Hbin offset mismatch: expected 0x1000, found 0x2000"),
    (three_bins((0, 4, 0xFFFFFFFF)), "Invalid format: Hbin offset mismatch: expected 0x0, found 0xffffffff"),
    (three_bins((0x1000, 8, 0)), "Invalid format: Hbin at offset 0x1000 has size 0"),  # its own successor
    (three_bins((0, 8, 0)), "Invalid format: Hbin at offset 0x0 has size 0"),
])
def test_hbins_walk(tmp_path, image, expected):
    hive = open_hive(tmp_path, image)
    for _ in range(2):
        assert outcome(lambda: [(h.signature, h.offset, h.size, str(h), repr(h)) for h in hive.hbins()]) == (
            [("hbin", o, s, *[f"HbinHeader(offset={o:#x}, size={s:#x})"] * 2) for o, s in expected]
            if isinstance(expected, list) else error(expected))
    assert hive.base_block().signature == "regf"  # the hive stays usable
    headers = open_hive(tmp_path, image).hbins() if isinstance(expected, list) else []  # read-only copies, detached
    for name in ("signature", "offset", "size") if headers else ():
        assert outcome(lambda: setattr(headers[0], name, 1))[0] is AttributeError and headers[0].signature == "hbin"


SAMPLE = hivegen.build_tree(sample_hive.sample_tree())
SMALL = hivegen.build_tree(hivegen.Key("SMALL", values=[hivegen.Value("v", hivegen.REG_DWORD, hivegen.dword(5))]))


def snapshot(hive) -> list:
    return [(k.name(), [(v.name(), v.raw_data()) for v in k.values()]) for k in hive.root_key().walk()]


@pytest.mark.parametrize("target, message", [
    ("absent/out", f"{os.strerror(errno.ENOENT)} (os error 2)"),
    (".", f"{os.strerror(errno.EISDIR)} (os error 21)"),
    ("a\0b", "file name contained an unexpected NUL byte"),
    ("/dev/full", f"{os.strerror(errno.ENOSPC)} (os error 28)"),  # the write fails, not the open
], ids=["missing-directory", "directory", "nul-byte", "device-full"])
def test_failure_is_os_error_and_hive_stays_usable(tmp_path, target, message):
    if target == "/dev/full" and not os.path.exists(target):
        pytest.skip("no /dev/full")
    hive = kelpa.Hive.open(write_hive(tmp_path, SAMPLE, "hive"))
    before = snapshot(hive)
    assert outcome(lambda: hive.save(str(tmp_path / target))) == error(message, OSError)  # absolute: kept as it is
    assert not (tmp_path / "absent").exists() and snapshot(hive) == before
    old = os.umask(0o027)
    try:
        hive.save(str(tmp_path / "after"))  # a new file, byte for byte, its mode as the umask says
    finally:
        os.umask(old)
    assert ((tmp_path / "after").read_bytes(), stat.S_IMODE(os.stat(tmp_path / "after").st_mode)) == (SAMPLE, 0o640)


@pytest.mark.parametrize("holder, form, in_place", [
    (lambda path: None, "absolute", True),
    (kelpa.Hive.open, "absolute", False),
    (lambda path: kelpa.Hive.open(path).root_key(), "absolute", False),  # a key keeps the mapping alive
    (lambda path: kelpa.Hive.open(path) and None, "absolute", True),  # mapped, and unmapped again at once
    (kelpa.Hive.open_with_logs, "absolute", True),  # holds a copy, not a mapping
    *[(kelpa.Hive.open, form, False) for form in ("own-file", "relative", "symlink", "mount-point")],
], ids=["none", "hive", "key", "dropped", "replayed", "own-file", "relative", "symlink", "mount-point"])
def test_in_place_or_replaced(tmp_path, monkeypatch, holder, form, in_place):
    # In place, every name of the file sees the new bytes; a mapped file is replaced, so other names
    # keep the old file (and the mapping keeps reading it). The permission bits stay. At the top of a
    # mount point the new file must be made inside it, or the rename crosses devices.
    folder = tmp_path
    if form == "mount-point":
        if not (os.path.ismount("/dev/shm") and os.access("/dev/shm", os.W_OK)):
            pytest.skip("no writable mount point /dev/shm")
        folder = pathlib.Path("/dev/shm")
    # In a shared folder (the mount point) every name is this process's own, and only this
    # process's temporary files are looked for.
    target, other, link = (folder / f"kelpa-{name}-{os.getpid()}" for name in ("target", "other", "link"))
    target.write_bytes(SAMPLE)
    target.chmod(0o604)
    try:
        os.link(target, other)
        keep = holder(str(target))
        before = snapshot(keep) if isinstance(keep, kelpa.Hive) else None
        monkeypatch.chdir(folder)
        if form == "symlink":
            link.symlink_to(target.name)
        path = {"relative": "./" + target.name, "symlink": link.name}.get(form, str(target))
        (keep if form == "own-file" else kelpa.Hive.open(write_hive(tmp_path, SMALL, "small"))).save(path)
        new = SAMPLE if form == "own-file" else SMALL
        assert (target.read_bytes(), stat.S_IMODE(target.stat().st_mode)) == (new, 0o604)
        assert other.read_bytes() == (new if in_place else SAMPLE)
        assert before is None or snapshot(keep) == before
        assert not isinstance(keep, kelpa.RegistryKey) or keep.subkeys()[0].name() == "ControlSet001"
        assert form != "symlink" or link.is_symlink()  # the file behind the link was replaced
        assert not [n for n in os.listdir(folder) if n.startswith(f".kelpa-save-{os.getpid()}-")]  # no temporary file left
    finally:
        if form == "mount-point":
            for name in (target, other, link):
                name.unlink(missing_ok=True)
