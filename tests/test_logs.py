"""Hive.open_with_logs(): reading "HvLE" logs and replaying their dirty pages. Most cases watch the
8 bytes at image offset 4 (the sequence numbers, harmless to overwrite), which hold "original"."""

import glob
import os
import pathlib
import struct
import subprocess
import sys
import threading
import time

import pytest

import hivegen
import kelpa
from conftest import raises, under_sanitizer

PROBE_AT = 4
FIRST_RECORD = hivegen.LOG_HEADER_SIZE + hivegen.DIRT_HEADER_SIZE  # of the block at 4096
GROWTH_MAX = 0x1000000


def probe_image():
    """An 8192-byte hive with "original" at the probe and a value "Data" of b"valuedat"."""
    b = hivegen.HiveBuilder()
    cell = b.alloc(b"valuedat")
    vk = b.vk("Data", hivegen.REG_BINARY, b"valuedat", data_offset=cell)
    root = b.nk("ROOT", root=True, value_count=1, value_list=b.value_list([vk]))
    return b.build(root=root, primary_sequence=0x6769726F, secondary_sequence=0x6C616E69), 4096 + cell + 4


IMAGE, DATA_AT = probe_image()
END = len(IMAGE)


def probe(hive) -> bytes:
    bb = hive.base_block()
    return struct.pack("<II", bb.primary_sequence, bb.secondary_sequence)


def value_data(hive) -> bytes:
    return hive.root_key().value("Data").raw_data()


def with_probe(text: bytes) -> bytes:
    return IMAGE[:PROBE_AT] + text + IMAGE[PROBE_AT + len(text):]


@pytest.fixture
def files(tmp_path):
    """files(*logs, hive=IMAGE) writes the hive and the logs (None: no file); returns the paths."""
    def write(*logs, hive=IMAGE):
        (tmp_path / "hive").write_bytes(hive)
        for i, log in enumerate(logs):
            if log is not None:
                (tmp_path / f"log{i + 1}").write_bytes(log)
        return str(tmp_path / "hive"), [str(tmp_path / f"log{i + 1}") for i in range(len(logs))]
    return write


def replay(files, *logs, hive=IMAGE):
    hive_path, log_paths = files(*logs, hive=hive)
    return kelpa.Hive.open_with_logs(hive_path, *log_paths)


def log_of(*records, sequence=1):
    return hivegen.transaction_log(sequence, [list(records)])


def one_block(records, count=None, signature=b"DIRT"):
    return hivegen.transaction_log(1, [signature + hivegen.dirt_block(records, count=count)[4:]])


def block_running_over_8192():
    """The second page's data holds a whole "DIRT" block at file offset 8192 writing "Y"."""
    head = FIRST_RECORD + 8 + 1 + 8
    inner = hivegen.dirt_block([(PROBE_AT, b"Y")])
    return hivegen.transaction_log(1, [[(PROBE_AT, b"X"), (END, bytes(8192 - head) + inner + bytes(64))]])


def misaligned_block():
    log = bytearray(log_of((PROBE_AT, b"X")))
    log[4096:4104] = bytes(8)
    log += bytes(8) + hivegen.dirt_block([(PROBE_AT, b"X")])
    return bytes(log + bytes(-len(log) % 4096))


def three_records(length):
    """The base block's first 500 bytes with "X" at the probe, "YY" ending at 4630, "Z" at 4639."""
    return log_of((0, with_probe(b"X")[:500]), (PROBE_AT + 2, b"YY"), (PROBE_AT + 4, b"Z"))[:length]


def many_blocks(n):
    """n blocks of 1000 one-byte pages; block 11 ends with "K" at the probe, block 12 with "L"."""
    return hivegen.transaction_log(1, [
        [(200, b"\0")] * 999 + [{11: (PROBE_AT, b"K"), 12: (PROBE_AT + 1, b"L")}.get(i, (200, b"\0"))]
        for i in range(1, n + 1)])


def largest_page(size):
    return one_block([(PROBE_AT, size, with_probe(b"X")[PROBE_AT:].ljust(size, b"\0"))])


@pytest.mark.parametrize("log, expected", [
    (log_of((PROBE_AT, b"X"))[:4607], b"original"),  # no block is examined below 4096 + 512 bytes
    (log_of((PROBE_AT, b"X"))[:4608], b"Xriginal"),
    (one_block([(PROBE_AT, b"X")], signature=b"DIRt"), b"original"),
    (misaligned_block(), b"original"),
    (one_block([(PROBE_AT, b"X")], count=0), b"original"),
    (one_block([(PROBE_AT, b"X")], count=1001), b"original"),
    (one_block([(PROBE_AT, b"X")], count=1000), b"Xriginal"),  # the zeros after it are skipped records
    (one_block([(PROBE_AT, b"X"), (PROBE_AT + 1, b"Y")], count=1), b"Xriginal"),
    (one_block([(PROBE_AT, b"A"), (PROBE_AT, b"B")]), b"Briginal"),  # records apply in order
    (largest_page(0x10000), b"Xriginal"),
    (largest_page(0x10001), b"original"),
    # a bad size skips the 8-byte head only, and uses up one of the count
    (one_block([(PROBE_AT, 0, b""), (PROBE_AT, b"X"), (PROBE_AT + 1, b"Y")], count=2), b"Xriginal"),
    (one_block([(PROBE_AT, 0x10001, b""), (PROBE_AT + 1, b"Y")]), b"oYiginal"),
    # a record running past the end of the file ends its block; earlier pages stay
    (three_records(4639), b"XrYYZnal"),
    (three_records(4638), b"XrYYinal"),
    (three_records(4630), b"XrYYinal"),
    (three_records(4629), b"Xriginal"),
    (block_running_over_8192(), b"Yriginal"),  # a "DIRT" on a boundary inside page data is a block
    (many_blocks(11), b"Kriginal"),  # scanning stops after the block that passes 10000 pages
    (many_blocks(12), b"Kriginal"),
], ids=["4607-bytes", "4608-bytes", "DIRt", "misaligned", "count-0", "count-1001", "count-1000", "count-1",
        "in-order", "page-0x10000", "page-0x10001", "size-0-skipped", "size-0x10001-skipped", "cut-4639", "cut-4638",
        "cut-4630", "cut-4629", "block-in-page-data", "11-blocks", "12-blocks"])
def test_log_layout(files, log, expected):
    assert probe(replay(files, log)) == expected


GOOD = log_of((PROBE_AT, b"G"))


@pytest.mark.parametrize("bad", [None, "directory", GOOD[:4095], b"hvle" + GOOD[4:]],
                         ids=["missing", "directory", "4095-bytes", "lowercase-signature"])
@pytest.mark.parametrize("bad_slot", [0, 1])
def test_unusable_log_is_left_out(files, bad, bad_slot):
    logs = [GOOD, GOOD]
    logs[bad_slot] = None if bad == "directory" else bad
    hive_path, paths = files(*logs)
    if bad == "directory":
        os.mkdir(paths[bad_slot])
    assert probe(kelpa.Hive.open_with_logs(hive_path, *paths)) == b"Griginal"
    alone = {("log1_path", "log2_path")[bad_slot]: paths[bad_slot]}
    assert probe(kelpa.Hive.open_with_logs(hive_path, **alone)) == b"original"


def test_no_logs_reads_an_owned_copy_and_a_missing_hive_fails(files, tmp_path):
    hive_path, paths = files(GOOD)
    hive, mapped = kelpa.Hive.open_with_logs(hive_path), kelpa.Hive.open(hive_path)
    with open(hive_path, "r+b") as f:  # a mapping sees the change, the replayed copy does not
        f.seek(DATA_AT)
        f.write(b"VALUEDAT")
    assert (value_data(hive), value_data(mapped)) == (b"valuedat", b"VALUEDAT")
    with raises(OSError, "No such file or directory (os error 2)"):
        kelpa.Hive.open_with_logs(str(tmp_path / "absent"), *paths)


def test_hive_and_log_read_from_named_pipes(tmp_path):
    def feed(path, data):  # a piece at a time, so that reads come back short
        os.mkfifo(path)

        def write():
            with open(path, "wb", buffering=0) as pipe:  # waits for the reader
                for at in range(0, len(data), 1000):
                    pipe.write(data[at:at + 1000])
                    time.sleep(0.001)
        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        return writer
    writers = [feed(tmp_path / "hive", IMAGE), feed(tmp_path / "log", GOOD)]
    hive = kelpa.Hive.open_with_logs(str(tmp_path / "hive"), str(tmp_path / "log"))
    for writer in writers:
        writer.join(5)
    assert (probe(hive), value_data(hive)) == (b"Griginal", b"valuedat")


@pytest.mark.parametrize("seq1, seq2, winner", [
    (7, 5, b"LOG1"), (5, 7, b"LOG2"), (5, 5, b"LOG2"),  # equal: LOG1 first, so LOG2 wins
    (0xFFFFFFFF, 1, b"LOG1"), (1, 0xFFFFFFFF, b"LOG2"),  # compared unsigned
])
def test_logs_apply_in_sequence_order(files, seq1, seq2, winner):
    log1 = log_of((DATA_AT, b"LOG1"), (PROBE_AT, b"1"), sequence=seq1)
    log2 = log_of((DATA_AT, b"LOG2"), (PROBE_AT + 1, b"2"), sequence=seq2)
    hive_path, paths = files(log1, log2)
    hive = kelpa.Hive.open_with_logs(hive_path, *paths)
    assert (value_data(hive), probe(hive)) == (winner + b"edat", b"12iginal")  # both logs applied
    assert pathlib.Path(hive_path).read_bytes() == IMAGE  # nothing written back


@pytest.mark.parametrize("logs, message", [
    ([log_of((0x1FFFF001, bytes(0x1000)))], "Dirty page 0 would extend hive beyond maximum size: 0x20000001 > 0x20000000"),
    # ending exactly at the maximum passes that check; the growth check then decides
    ([log_of((0x1FFFF000, bytes(0x1000)))],
     f"Dirty page 0 would extend hive by too much: {0x20000000 - END} bytes (max: 16777216)"),
    ([log_of((0xFFFFFFFF, b"ab"))], "Dirty page 0 would extend hive beyond maximum size: 0x100000001 > 0x20000000"),
    ([log_of((PROBE_AT, b"a"), (PROBE_AT, b"b"), (END, b"c"), (0x20000000, bytes(0x1000)))],
     "Dirty page 3 would extend hive beyond maximum size: 0x20001000 > 0x20000000"),
    ([log_of((END + GROWTH_MAX - 3, bytes(4)))], "Dirty page 0 would extend hive by too much: 16777217 bytes (max: 16777216)"),
    # the page index restarts in the second log (in sequence order)
    ([log_of((PROBE_AT, b"c"), (END + GROWTH_MAX + 1, b"d"), sequence=2), log_of((PROBE_AT, b"a"), (PROBE_AT, b"b"))],
     "Dirty page 1 would extend hive by too much: 16777218 bytes (max: 16777216)"),
], ids=["past-max", "exactly-max", "no-32-bit-wrap", "fourth-page", "growth+1", "index-per-log"])
def test_page_limits(files, logs, message):
    with raises(ValueError, "Invalid format: " + message):
        replay(files, *logs)


def test_growth_limit_is_per_page(files, tmp_path):
    # Each page may grow the image by the limit from the length it finds; the gap is zero-filled.
    first_end = END + GROWTH_MAX
    replay(files, log_of((first_end - 4, b"end1"), (first_end + GROWTH_MAX - 4, b"end2"))).save(str(tmp_path / "out"))
    saved = (tmp_path / "out").read_bytes()
    assert saved == IMAGE + bytes(GROWTH_MAX - 4) + b"end1" + bytes(GROWTH_MAX - 4) + b"end2"


STORED_CHECKSUM = struct.unpack_from("<I", IMAGE, 508)[0]
BAD_CHECKSUM = IMAGE[:508] + struct.pack("<I", STORED_CHECKSUM ^ 0x5A5A) + IMAGE[512:]
CHECKSUM_MESSAGE = f"Checksum mismatch: expected {STORED_CHECKSUM ^ 0x5A5A:#x}, calculated {STORED_CHECKSUM:#x}"
HEADER_77 = hivegen.base_block(root_cell_offset=struct.unpack_from("<I", IMAGE, 36)[0], primary_sequence=77,
                               checksum=0x1234)[:512]
TINY = bytes(100)
SHORT = b"\x5a" * 500  # ends 8 bytes before the checksum field would


@pytest.mark.parametrize("hive, logs, outcome", [
    # pages applied: the checksum is recomputed, whatever it was
    (BAD_CHECKSUM, [log_of((PROBE_AT, b"X"))], b"Xriginal"),
    (BAD_CHECKSUM, [log_of((508, b"\0\0\0\0"))], b"original"),
    (IMAGE, [log_of((0, HEADER_77))], struct.pack("<II", 77, 1)),
    # a log that reads but carries no pages leaves the image, checksum included, as it was
    (BAD_CHECKSUM, [hivegen.transaction_log(1, [])], CHECKSUM_MESSAGE),
    (BAD_CHECKSUM, [one_block([(PROBE_AT, b"X")], count=0)], CHECKSUM_MESSAGE),
    (BAD_CHECKSUM, [], CHECKSUM_MESSAGE),
    # the replayed image goes through every check of an opened hive
    (IMAGE, [log_of((0, b"rege"))], "Invalid signature: expected regf, found rege"),
    (IMAGE, [log_of((24, struct.pack("<I", 2)))], "Unsupported hive version: 1.2"),
    # too short for a base block: refused after the pages, before the checksum is stored
    (TINY, [log_of((4000, bytes(95)))], "Hive too small: 4095 bytes (minimum: 4096 bytes)"),
    (TINY, [log_of((0, b"regf"))], "Hive too small: 100 bytes (minimum: 4096 bytes)"),
    (SHORT, [log_of((0, b"regf"))], "Hive too small: 500 bytes (minimum: 4096 bytes)"),
    (TINY, [], "Hive too small: 100 bytes (minimum: 4096 bytes)"),
    (TINY, [log_of((0, IMAGE[:4096]))], b"original"),  # a log can supply the whole base block
], ids=["pages-fix-checksum", "checksum-page", "new-header", "empty-log", "count-0", "no-log", "signature",
        "version", "tiny-grown", "tiny-100", "short-500", "tiny-no-log", "tiny-whole"])
def test_replayed_image(files, hive, logs, outcome):
    if isinstance(outcome, bytes):
        assert probe(replay(files, *logs, hive=hive)) == outcome
        return
    with raises(ValueError, outcome):
        replay(files, *logs, hive=hive)


SHORT_REPLAYS = """
import sys, kelpa
for hive in sys.argv[2:]:
    try:
        kelpa.Hive.open_with_logs(hive, sys.argv[1])
    except ValueError as e:
        print(e)
"""


def test_short_image_is_not_written_past(tmp_path):
    # Under glibc's checked heap a byte stored past a short image aborts the child when it is freed;
    # the sanitizer build catches the same write in the rows above.
    debug = sorted(glob.glob("/lib*/*/libc_malloc_debug.so.0") + glob.glob("/usr/lib*/*/libc_malloc_debug.so.0"))
    if not debug or under_sanitizer():
        pytest.skip("no checked heap here (glibc's libc_malloc_debug), or a sanitizer owns the heap")
    (tmp_path / "log").write_bytes(log_of((0, b"regf")))
    sizes = [4, 100, 497, 500, 503, 508, 511]
    for n in sizes:
        (tmp_path / str(n)).write_bytes(b"\x5a" * n)
    env = dict(os.environ, LD_PRELOAD=debug[0], GLIBC_TUNABLES="glibc.malloc.check=3")
    run = subprocess.run([sys.executable, "-c", SHORT_REPLAYS, str(tmp_path / "log"), *(str(tmp_path / str(n)) for n in sizes)],
                         capture_output=True, text=True, timeout=60, env=env)
    assert (run.returncode, run.stdout.splitlines()) == (0, [f"Hive too small: {n} bytes (minimum: 4096 bytes)" for n in sizes])
