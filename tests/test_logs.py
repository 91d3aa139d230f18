"""Hive.open_with_logs(): reading "HvLE" logs and replaying their dirty pages.

Most cases watch the 8 bytes at image offset 4 (the primary and secondary sequence
numbers, harmless to overwrite since the checksum is recomputed): the test hive holds
the text "original" there, so the BaseBlock shows which log pages landed.
"""

import pathlib
import re
import struct

import pytest

import hivegen
import kelpa

PROBE_AT = 4
PROBE = b"original"
LOG_HEADER = hivegen.LOG_HEADER_SIZE
FIRST_RECORD = LOG_HEADER + hivegen.DIRT_HEADER_SIZE  # of the block at 4096


def probe_image() -> tuple[bytes, int]:
    """An 8192-byte hive with PROBE at offset 4 and a value "Data" holding b"valuedat".

    Returns the image and the image position of the value's data bytes."""
    builder = hivegen.HiveBuilder()
    data_cell = builder.alloc(b"valuedat")
    vk = builder.vk("Data", hivegen.REG_BINARY, b"valuedat", data_offset=data_cell)
    root = builder.nk("ROOT", root=True, value_count=1, value_list=builder.value_list([vk]))
    primary, secondary = struct.unpack("<II", PROBE)
    image = builder.build(root=root, primary_sequence=primary, secondary_sequence=secondary)
    return image, hivegen.BASE_BLOCK_SIZE + data_cell + 4


IMAGE, DATA_AT = probe_image()
END = len(IMAGE)


def probe(hive) -> bytes:
    bb = hive.base_block()
    return struct.pack("<II", bb.primary_sequence, bb.secondary_sequence)


def value_data(hive) -> bytes:
    return hive.root_key().value("Data").raw_data()


def with_probe(text: bytes) -> bytes:
    """IMAGE with `text` at the probe (its checksum is no longer right)."""
    return IMAGE[:PROBE_AT] + text + IMAGE[PROBE_AT + len(text):]


@pytest.fixture
def files(tmp_path):
    """files(hive=IMAGE, *logs) writes the hive and the logs; returns their paths."""
    def write(*logs, hive=IMAGE):
        (tmp_path / "hive").write_bytes(hive)
        paths = []
        for i, log in enumerate(logs):
            path = tmp_path / f"log{i + 1}"
            if log is not None:
                path.write_bytes(log)
            paths.append(str(path))
        return str(tmp_path / "hive"), paths
    return write


def replay(files, *logs, hive=IMAGE):
    hive_path, log_paths = files(*logs, hive=hive)
    return kelpa.Hive.open_with_logs(hive_path, *log_paths)


def log_of(*records, sequence=1):
    return hivegen.transaction_log(sequence, [list(records)])


def raises_exactly(cls, message):
    return pytest.raises(cls, match=f"^{re.escape(message)}$")


# --- reading a log --------------------------------------------------------------------


def one_block(records, count=None, signature=b"DIRT"):
    block = hivegen.dirt_block(records, count=count)
    return hivegen.transaction_log(1, [signature + block[4:]])


def block_running_over_8192():
    """A block at 4096 whose second page's data holds a whole "DIRT" block exactly at
    file offset 8192; that block writes "Y" over the "X" of the first."""
    inner = hivegen.dirt_block([(PROBE_AT, b"Y")])
    head = FIRST_RECORD + 8 + 1 + 8  # the first record, then the second one's head
    filler = bytes(8192 - head) + inner + bytes(64)
    return hivegen.transaction_log(1, [[(PROBE_AT, b"X"), (END, filler)]])


def three_records(length):
    """Three records cut to `length` bytes: the first rewrites the base block's first
    500 bytes with an "X" at the probe, the second ("YY") ends at 4630, the third
    ("Z") at 4639."""
    first = with_probe(b"X")[:500]
    log = log_of((0, first), (PROBE_AT + 2, b"YY"), (PROBE_AT + 4, b"Z"))
    assert log[4620:4639] == struct.pack("<II", PROBE_AT + 2, 2) + b"YY" + struct.pack("<II", PROBE_AT + 4, 1) + b"Z"
    return log[:length]


def many_blocks(n):
    """n blocks of 1000 one-byte pages each; the last page of block 11 writes "K" and
    the last page of block 12 writes "L"."""
    blocks = []
    for i in range(1, n + 1):
        records = [(200, b"\0")] * 999
        records.append({11: (PROBE_AT, b"K"), 12: (PROBE_AT + 1, b"L")}.get(i, (200, b"\0")))
        blocks.append(records)
    return hivegen.transaction_log(1, blocks)


@pytest.mark.parametrize("log, expected", [
    # No block is examined until the file reaches 4096 + 512 bytes.
    (log_of((PROBE_AT, b"X"))[:4096], b"original"),
    (log_of((PROBE_AT, b"X"))[:4607], b"original"),
    (log_of((PROBE_AT, b"X"))[:4608], b"Xriginal"),
    (one_block([(PROBE_AT, b"X")], signature=b"DIRt"), b"original"),
    # Record counts: 1 to 1000.
    (one_block([(PROBE_AT, b"X")], count=0), b"original"),
    (one_block([(PROBE_AT, b"X")], count=1001), b"original"),
    (one_block([(PROBE_AT, b"X")], count=1000), b"Xriginal"),  # the zeros after it are skipped records
    (one_block([(PROBE_AT, b"X"), (PROBE_AT + 1, b"Y")], count=1), b"Xriginal"),
    # Records of one block apply in order.
    (one_block([(PROBE_AT, b"A"), (PROBE_AT, b"B")]), b"Briginal"),
    # A bad size skips the 8-byte head only, and uses up one of the count.
    (one_block([(PROBE_AT, 0, b""), (PROBE_AT, b"X"), (PROBE_AT + 1, b"Y")], count=2), b"Xriginal"),
    (one_block([(PROBE_AT, 0x10001, b""), (PROBE_AT + 1, b"Y")]), b"oYiginal"),
    (one_block([(PROBE_AT, 0xFFFFFFFF, b""), (PROBE_AT + 1, b"Y")]), b"oYiginal"),
    # A record running past the end of the file ends its block; earlier pages stay.
    (three_records(4639), b"XrYYZnal"),
    (three_records(4638), b"XrYYinal"),  # the third record's data runs 1 byte past the end
    (three_records(4637), b"XrYYinal"),  # no room for the third record's head
    (three_records(4630), b"XrYYinal"),
    (three_records(4629), b"Xriginal"),  # the second runs 1 byte past: the first stays
    # A "DIRT" on a 4096-byte boundary inside an earlier block's page data is a block.
    (block_running_over_8192(), b"Yriginal"),
    # Scanning stops after the block that takes the log past 10000 pages.
    (many_blocks(11), b"Kriginal"),
    (many_blocks(12), b"Kriginal"),
], ids=[
    "header-only", "4607-bytes", "4608-bytes", "no-DIRT",
    "count-0", "count-1001", "count-1000", "count-limits-records",
    "record-order",
    "size-0-uses-count", "size-65537-skips-head", "size-max-skips-head",
    "all-three", "third-1-byte-short", "third-head-short", "second-ends-file", "second-1-byte-short",
    "DIRT-inside-page-data",
    "11-blocks", "12-blocks",
])
def test_log_layout(files, log, expected):
    assert probe(replay(files, log)) == expected


@pytest.mark.parametrize("size, bins", [(0x10000, 2), (0x10001, 1)])
def test_largest_page(files, size, bins):
    new_bin = bytearray(size)
    struct.pack_into("<4sII", new_bin, 0, b"hbin", END - hivegen.BASE_BLOCK_SIZE, 0x10000)
    hive = replay(files, one_block([(END, size, bytes(new_bin))]))
    assert len(hive.hbins()) == bins


def test_misaligned_DIRT_is_not_a_block(files):
    log = bytearray(hivegen.transaction_log(1, [[(PROBE_AT, b"X")]]))
    log[LOG_HEADER : LOG_HEADER + 8] = bytes(8)
    log += bytes(8) + hivegen.dirt_block([(PROBE_AT, b"X")])
    log += bytes(-len(log) % 4096)
    assert probe(replay(files, bytes(log))) == b"original"


# --- which logs are used --------------------------------------------------------------

GOOD = log_of((PROBE_AT, b"G"))


@pytest.mark.parametrize("bad", [
    None,  # the path does not exist
    bytes(100),
    GOOD[:4095],
    b"regf" + GOOD[4:],
    b"hvle" + GOOD[4:],
    b"",
], ids=["missing", "100-bytes", "4095-bytes", "regf", "lowercase-signature", "empty"])
@pytest.mark.parametrize("bad_slot", [0, 1])
def test_unusable_log_is_left_out(files, bad, bad_slot):
    logs = [GOOD, GOOD]
    logs[bad_slot] = bad
    hive_path, paths = files(*logs)
    assert probe(kelpa.Hive.open_with_logs(hive_path, *paths)) == b"Griginal"
    alone = {("log1_path", "log2_path")[bad_slot]: paths[bad_slot]}
    assert probe(kelpa.Hive.open_with_logs(hive_path, **alone)) == b"original"


def test_directory_as_log_is_left_out(files, tmp_path):
    hive_path, _ = files()
    assert probe(kelpa.Hive.open_with_logs(hive_path, str(tmp_path), None)) == b"original"


def test_no_logs_reads_an_owned_copy(files):
    hive_path, _ = files()
    hive = kelpa.Hive.open_with_logs(hive_path)
    mapped = kelpa.Hive.open(hive_path)
    assert value_data(hive) == value_data(mapped) == b"valuedat"
    # Rewriting the file in place changes what a mapping sees, not the replayed copy.
    with open(hive_path, "r+b") as f:
        f.seek(DATA_AT)
        f.write(b"VALUEDAT")
    assert value_data(hive) == b"valuedat"


# --- replay ---------------------------------------------------------------------------


@pytest.mark.parametrize("seq1, seq2, winner", [
    (7, 5, b"LOG1"),
    (5, 7, b"LOG2"),
    (5, 5, b"LOG2"),  # equal: LOG1 first, so LOG2 wins
    (0xFFFFFFFF, 1, b"LOG1"),  # compared unsigned
    (1, 0xFFFFFFFF, b"LOG2"),
])
def test_logs_apply_in_sequence_order(files, seq1, seq2, winner):
    log1 = log_of((DATA_AT, b"LOG1"), (PROBE_AT, b"1"), sequence=seq1)
    log2 = log_of((DATA_AT, b"LOG2"), (PROBE_AT + 1, b"2"), sequence=seq2)
    hive_path, paths = files(log1, log2)
    before = [pathlib.Path(p).read_bytes() for p in [hive_path, *paths]]
    hive = kelpa.Hive.open_with_logs(hive_path, *paths)
    assert value_data(hive) == winner + b"edat"
    assert probe(hive) == b"12iginal"  # both logs applied
    after = [pathlib.Path(p).read_bytes() for p in [hive_path, *paths]]
    assert after == before  # nothing is written back


GROWTH_MAX = 0x1000000


@pytest.mark.parametrize("records, message", [
    ([(0x1FFFF001, bytes(0x1000))],
     "Dirty page 0 would extend hive beyond maximum size: 0x20000001 > 0x20000000"),
    # Ending exactly at the maximum passes that check; the growth check then decides.
    ([(0x1FFFF000, bytes(0x1000))],
     f"Dirty page 0 would extend hive by too much: {0x20000000 - END} bytes (max: 16777216)"),
    # The end is computed without wrapping at 32 bits.
    ([(0xFFFFFFFF, b"ab")],
     "Dirty page 0 would extend hive beyond maximum size: 0x100000001 > 0x20000000"),
    ([(PROBE_AT, b"a"), (PROBE_AT, b"b"), (END, b"c"), (0x20000000, bytes(0x1000))],
     "Dirty page 3 would extend hive beyond maximum size: 0x20001000 > 0x20000000"),
    ([(END + GROWTH_MAX - 3, bytes(4))],
     "Dirty page 0 would extend hive by too much: 16777217 bytes (max: 16777216)"),
    ([(END + 0x1000000, bytes(0x1000))],
     "Dirty page 0 would extend hive by too much: 16781312 bytes (max: 16777216)"),
])
def test_page_limits(files, records, message):
    with raises_exactly(ValueError, "Invalid format: " + message):
        replay(files, log_of(*records))


def test_page_index_restarts_in_second_log(files):
    # The first log applies cleanly; the failing page of the second fails the call.
    log1 = log_of((PROBE_AT, b"a"), (PROBE_AT, b"b"), sequence=1)
    log2 = log_of((PROBE_AT, b"c"), (END + GROWTH_MAX + 1, b"d"), sequence=2)
    with raises_exactly(ValueError, "Invalid format: Dirty page 1 would extend hive by too much: "
                                    "16777218 bytes (max: 16777216)"):
        replay(files, log2, log1)


@pytest.mark.parametrize("offset, data, length", [
    (END, b"Z", END + 1),
    (END - 1, b"YZ", END + 1),
    (END - 2, b"YZ", END),  # ends at the end: no growth
    (END + 4095, b"Z", END + 4096),
])
def test_image_grows_to_page_end(files, tmp_path, offset, data, length):
    hive = replay(files, log_of((offset, data)))
    hive.save(str(tmp_path / "saved"))
    saved = (tmp_path / "saved").read_bytes()
    assert len(saved) == length
    assert saved[offset : offset + len(data)] == data
    assert saved[END - 2 : offset].strip(b"\0") == b""


def test_growth_limit_is_per_page(files, tmp_path):
    # Each page may grow the image by the limit, measured from the length it finds.
    # The gap up to a page is zero-filled.
    first_end = END + GROWTH_MAX
    hive = replay(files, log_of((first_end - 4, b"end1"), (first_end + GROWTH_MAX - 4, b"end2")))
    assert probe(hive) == b"original"
    out = tmp_path / "saved"
    hive.save(str(out))
    saved = out.read_bytes()
    assert len(saved) == END + 2 * GROWTH_MAX
    assert saved[END - 8 : END + 8] == IMAGE[-8:] + bytes(8)
    assert saved[first_end - 4 : first_end + 4] == b"end1" + bytes(4)
    assert saved[-8:] == bytes(4) + b"end2"
    assert saved[END : first_end - 4].count(0) == GROWTH_MAX - 4


def test_pages_land_in_the_key_tree(files, tmp_path):
    hive = replay(files, log_of((DATA_AT, b"VALUE")))
    assert value_data(hive) == b"VALUEdat"
    out = tmp_path / "saved"
    hive.save(str(out))
    assert value_data(kelpa.Hive.open(str(out))) == b"VALUEdat"


# --- the image after replay and its checksum ---------------------------------------------

BAD_CHECKSUM = IMAGE[:508] + struct.pack("<I", hivegen.checksum(IMAGE) ^ 0x5A5A) + IMAGE[512:]
TINY = bytes(100)
CHECKSUM_MESSAGE = (f"Checksum mismatch: expected 0x{hivegen.checksum(IMAGE) ^ 0x5A5A:x}, "
                    f"calculated 0x{hivegen.checksum(IMAGE):x}")


def header_with(**fields):
    return hivegen.base_block(**{
        "root_cell_offset": struct.unpack_from("<I", IMAGE, 36)[0],
        "hive_bins_data_size": 0x1000,
        **fields,
    })[:512]


@pytest.mark.parametrize("hive, logs, outcome", [
    # Pages applied: the checksum is recomputed, whatever it was.
    (BAD_CHECKSUM, [log_of((PROBE_AT, b"X"))], b"Xriginal"),
    (BAD_CHECKSUM, [log_of((508, b"\0\0\0\0"))], b"original"),
    (IMAGE, [log_of((0, header_with(primary_sequence=77, checksum=0x1234)))], struct.pack("<II", 77, 1)),
    # A log that reads but carries no pages leaves the image, checksum included, as it was.
    (BAD_CHECKSUM, [hivegen.transaction_log(1, [])], CHECKSUM_MESSAGE),
    (BAD_CHECKSUM, [one_block([(PROBE_AT, b"X")], count=0)], CHECKSUM_MESSAGE),
    (BAD_CHECKSUM, [], CHECKSUM_MESSAGE),
    # The replayed image goes through every check of an opened hive.
    (IMAGE, [log_of((0, b"rege"))], "Invalid signature: expected regf, found rege"),
    (IMAGE, [log_of((24, struct.pack("<I", 2)))], "Unsupported hive version: 1.2"),
    # Too short for a base block: refused before the checksum, after the pages.
    (TINY, [log_of((0, b"regf"))], "Hive too small: 100 bytes (minimum: 4096 bytes)"),
    (TINY, [log_of((4000, bytes(95)))], "Hive too small: 4095 bytes (minimum: 4096 bytes)"),
    (TINY, [], "Hive too small: 100 bytes (minimum: 4096 bytes)"),
    (b"", [], "Hive too small: 0 bytes (minimum: 4096 bytes)"),
    # A log can supply the whole base block of a hive file too short to open.
    (TINY, [log_of((0, IMAGE[:4096]))], b"original"),
], ids=[
    "bad-checksum-repaired", "checksum-field-overwritten", "header-page-with-bad-checksum",
    "no-pages-exact-message", "no-pages-bad-count", "no-logs",
    "signature", "version",
    "tiny-short", "tiny-4095", "tiny-no-logs", "empty-no-logs",
    "tiny-gets-base-block",
])
def test_replayed_image(files, hive, logs, outcome):
    """`outcome`: the probe bytes of the opened hive, or the ValueError message."""
    if isinstance(outcome, bytes):
        assert probe(replay(files, *logs, hive=hive)) == outcome
        return
    with pytest.raises(ValueError) as caught:
        replay(files, *logs, hive=hive)
    assert type(caught.value) is ValueError
    assert caught.value.args == (outcome,)


def test_missing_hive_is_os_error(files, tmp_path):
    _, paths = files(GOOD)
    with pytest.raises(OSError) as caught:
        kelpa.Hive.open_with_logs(str(tmp_path / "absent"), *paths)
    assert type(caught.value) is OSError
    assert str(caught.value) == "No such file or directory (os error 2)"


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "argument 'hive_path': 'int' object cannot be converted to 'PyString'"),
    (("h", 1), {}, "argument 'log1_path': 'int' object cannot be converted to 'PyString'"),
    (("h",), {"log2_path": b"l"}, "argument 'log2_path': 'bytes' object cannot be converted to 'PyString'"),
])
def test_path_arguments_must_be_str(args, kwargs, message):
    with raises_exactly(TypeError, message):
        kelpa.Hive.open_with_logs(*args, **kwargs)
