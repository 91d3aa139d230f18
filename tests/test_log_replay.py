"""Hive.open_with_logs() and Hive.log_replay(): first the logs Windows writes (which are applied, how far, and
why not), then the layout of "HvLE"-headed dirty blocks, its page limits and the checks of the replayed image."""

import glob
import os
import pathlib
import struct
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES, corpus_params, error, outcome, replayed, tolerant_walk, under_sanitizer

ORIG = b"original"


def make_hive(primary=2, secondary=1, checksum=None):
    b = hivegen.HiveBuilder()
    vk = b.vk("Data", hivegen.REG_BINARY, ORIG, data_offset=b.alloc(ORIG))
    root = b.nk("ROOT", root=True, value_count=1, value_list=b.value_list([vk]))
    return b.build(root=root, primary_sequence=primary, secondary_sequence=secondary, last_written=10, checksum=checksum)


CLEAN, DIRTY, BROKEN = make_hive(1, 1), make_hive(), make_hive(checksum=5)  # BROKEN: an unusable hive base block
DATA, ROOT = CLEAN.index(ORIG, 4096) - 4096, struct.unpack_from("<I", CLEAN, 36)[0]


def text(seq):
    return b"e%07x" % (seq & 0xFFFFFFF)


def E(seq, **kw):  # one entry rewriting the bin
    bins = bytearray(CLEAN[4096:8192])
    bins[DATA : DATA + 8] = text(seq)
    return hivegen.log_entry(seq, [(0, bytes(bins))], **kw)


def N(seq, *entries, **kw):
    return hivegen.log_base_block(seq, root_cell_offset=ROOT, **kw) + b"".join(entries)


def O(seq, last_written, data=b"sector-1", **kw):
    at = DATA // hivegen.SECTOR * hivegen.SECTOR
    sector = bytearray(CLEAN[4096 + at : 4096 + at + hivegen.SECTOR])
    sector[DATA - at : DATA - at + 8] = data
    return hivegen.old_log(seq, {at // hivegen.SECTOR: bytes(sector)}, root_cell_offset=ROOT,
                          last_written=last_written, **kw)


def ok(layout, entries, pages, seq):  # one report: applied
    return (layout, True, entries, pages, seq, "")


def no(layout, reason):  # one report: not applied, and why
    return (layout, False, 0, 0, None, reason)


def refused(log, reason, layout="new"):  # the one log of a row, not applied to the dirty hive
    return DIRTY, [log], ORIG, (2, 1), [no(layout, reason)]


BLOCKS = hivegen.transaction_log(7, [[(4096 + DATA, b"blocks-1")], [(0, 0, b"")]])  # the second block: no page
ROWS = {  # hive, logs (None: no such file), the value and sequence numbers after, one report per log
    "new-one-entry": (DIRTY, [N(1, E(1))], text(1), (1, 1), [ok("new", 1, 1, 1)]),
    # the smallest entry: 512 bytes, its one page filling it to the end
    "new-entry-of-512-bytes": (DIRTY, [N(1, hivegen.log_entry(1, [(DATA, text(1) + CLEAN[4096 + DATA + 8:4096 + DATA + 464])]))],
                               text(1), (1, 1), [ok("new", 1, 1, 1)]),
    "new-sequence-gap-ends-log": (DIRTY, [N(1, E(1), E(2), E(4))], text(2), (2, 2), [ok("new", 2, 2, 2)]),
    "new-bad-hash-stops": (DIRTY, [N(1, E(1), E(2, bad_hash=True))], text(1), (1, 1),
                           [("new", True, 1, 1, 1, "entry 1 has a bad hash")]),
    "new-first-bad-hash": refused(N(1, E(1, bad_hash=True)), "entry 0 has a bad hash"),
    "new-stale-entry": refused(N(3, E(1)), "entry 0 has sequence 1, expected 3"),
    "new-bad-size": refused(N(1, E(1, size=1000)), "entry 0 has a bad size"),
    "new-size-past-file": refused(N(1, E(1, size=8192)), "entry 0 has a bad size"),
    "new-bad-bins-size": refused(N(1, E(1, hive_bins_data_size=0x1800)), "entry 0 has a bad hive bins data size"),
    "new-no-pages": refused(N(1, E(1, count=0)), "entry 0 has no pages"),
    "new-pages-outside": refused(N(1, E(1, count=600)), "entry 0 has pages outside it"),
    "new-past-limit": refused(N(1, hivegen.log_entry(1, [(0x1FFFF000, bytes(4096))])), "entry 0 writes past 512 MiB"),
    "new-no-entries": refused(N(1), "no log entries"),
    "new-wraps": (make_hive(0, 0xFFFFFFFF), [N(0xFFFFFFFF, E(0xFFFFFFFF), E(0))], text(0), (0, 0),
                  [ok("new", 2, 2, 0)]),
    "new-partial-reconcile": (DIRTY, [N(9, E(9))], text(9), (9, 9), [ok("new", 1, 1, 9)]),
    "new-earlier-log-first": (DIRTY, [N(3, E(3), E(4)), N(1, E(1), E(2))], text(4), (4, 4),
                              [ok("new", 2, 2, 4), ok("new", 2, 2, 2)]),
    "new-earlier-across-wrap": (make_hive(0, 0xFFFFFFFE), [N(0xFFFFFFFF, E(0xFFFFFFFF)), N(0, E(0))], text(0),
                                (0, 0), [ok("new", 1, 1, 0xFFFFFFFF), ok("new", 1, 1, 0)]),
    "new-second-must-follow": (DIRTY, [N(1, E(1)), N(5, E(5))], text(1), (1, 1),
                               [ok("new", 1, 1, 1), no("new", "sequence 5 does not follow 1")]),
    "new-older-than-hive": (make_hive(6, 5), [N(4, E(4)), N(5, E(5))], text(5), (5, 5),
                            [no("new", "the log is older than the hive"), ok("new", 1, 1, 5)]),
    "new-half-way-back": refused(N(0x80000002, E(0x80000002)), "the log is older than the hive"),  # 2^31 - 1 behind
    "new-clean-hive": (CLEAN, [N(1, E(1))], ORIG, (1, 1), [no("new", "the hive is clean")]),
    "new-log-checksum": refused(N(1, E(1), checksum=5), "base block checksum is wrong"),
    "new-log-sequences": refused(N(1, E(1), secondary=0), "base block sequence numbers differ"),
    "new-log-version": refused(N(1, E(1), minor=7), "unsupported version 1.7"),
    "new-log-format": refused(N(1, E(1), file_format=2), "unsupported base block format"),
    "new-log-bins-size": refused(N(1, E(1), hive_bins_data_size=0), "bad hive bins data size"),
    "unknown-file-type": refused(N(1, E(1), file_type=3), "unknown log file type 3", ""),
    "not-a-log-and-empty": (DIRTY, [b"junk" * 200, b""], ORIG, (2, 1),
                            [no("", "not a transaction log"), no("", "the file is empty")]),
    "missing-and-directory": (DIRTY, [None, "dir"], ORIG, (2, 1), [no("", "No such file or directory (os error 2)"),
                                                                     no("", "Is a directory (os error 21)")]),
    "unusable-hive-later-log": (BROKEN, [N(1, E(1)), N(2, E(2))], text(2), (2, 2),
                                [no("new", "the other log is newer"), ok("new", 1, 1, 2)]),
    "old-applied": (DIRTY, [O(3, 10)], b"sector-1", (3, 3), [ok("old", 1, 1, 3)]),
    "old-older-than-hive": refused(O(3, 9), "the log is older than the hive", "old"),
    "old-later-wins": (DIRTY, [O(3, 12), O(4, 11, b"sector-2")], b"sector-1", (3, 3),
                       [ok("old", 1, 1, 3), no("old", "the other log is newer")]),
    "old-tie-log1": (DIRTY, [O(3, 10), O(4, 10, b"sector-2", file_type=2)], b"sector-1", (3, 3),
                     [ok("old", 1, 1, 3), no("old", "the other log is newer")]),
    "old-vector-of-508-bytes": (DIRTY, [O(3, 10, hive_bins_data_size=508 * 4096)], b"sector-1", (3, 3),
                                [ok("old", 1, 1, 3)]),  # "DIRT" and the vector fill one sector: none is skipped
    "old-no-vector": refused(O(3, 10, signature=b"INVL"), "no dirty vector", "old"),
    "old-vector-cut": refused(O(3, 10)[:516], "dirty vector runs past the end of the file", "old"),
    "old-sectors-cut": refused(O(3, 10)[:-1], "dirty sectors run past the end of the file", "old"),
    "old-unusable-hive": (BROKEN, [O(3, 0)], b"sector-1", (3, 3), [ok("old", 1, 1, 3)]),
    "new-format-preferred": (DIRTY, [O(3, 10), N(1, E(1))], text(1), (1, 1),
                             [no("old", "the other log is in the new format"), ok("new", 1, 1, 1)]),
    "blocks-on-clean-hive": (CLEAN, [BLOCKS], b"blocks-1", (1, 1), [ok("blocks", 1, 1, 7)]),
    "blocks-no-pages": refused(hivegen.transaction_log(7, []), "no dirty pages", "blocks"),
    "blocks-too-small": refused(b"HvLE" + bytes(100), "Invalid format: Transaction log too small", "blocks"),
}


@pytest.mark.parametrize("hive, logs, value, sequences, reports", ROWS.values(), ids=ROWS.keys())
def test_replay_rules(tmp_path, hive, logs, value, sequences, reports):
    hive = replayed(tmp_path, hive, *logs)
    assert hive.root_key().value("Data").raw_data() == value
    bb = hive.base_block()
    assert (bb.primary_sequence, bb.secondary_sequence, bb.is_dirty) == (*sequences, sequences[0] != sequences[1])
    assert [(type(r), *r) for r in hive.log_replay()] == [
        (kelpa.LogReplay, str(tmp_path / f"log{i}"), *r) for i, r in enumerate(reports, 1)]


def test_grown_image_is_walked_and_saved_clean(tmp_path):
    """An entry that adds a bin: hbins() walks the replayed image, the bins size and the KTM flag come from the
    entry, and the saved file is a clean primary hive."""
    new_bin = struct.pack("<4sII20xi", b"hbin", 0x1000, 0x1000, 0x1000 - 32) + bytes(0x1000 - 36)
    hive = replayed(tmp_path, DIRTY, N(1, hivegen.log_entry(1, [(0x1000, new_bin)], hive_bins_data_size=0x2000, flags=1)))
    assert [(h.offset, h.size) for h in hive.hbins()] == [(0, 0x1000), (0x1000, 0x1000)]
    hive.save(str(tmp_path / "saved"))
    saved = (tmp_path / "saved").read_bytes()
    # the sequences, file type, bins size and flags; the checksum holds, so that it opens
    assert struct.unpack_from("<4xII16xI8xI100xI", saved) == (1, 1, 0, 0x2000, 1) and saved[len(DIRTY):] == new_bin
    assert len(kelpa.Hive.open(str(tmp_path / "saved")).hbins()) == 2
    assert kelpa.Hive.open(str(tmp_path / "hive")).log_replay() == []


@pytest.mark.parametrize("record", corpus_params("recovered.json", lambda r: True))
def test_corpus_recovery(record):
    """The walk after recovery is the other parser's (the walk on disk where it recovered
    nothing or refused the logs), and so are the logs used."""
    logs = [str(SHARED_HIVES / record["logs"][k]) for k in ("LOG1", "LOG2", "LOG") if k in record["logs"]]
    hive = kelpa.Hive.open_with_logs(str(SHARED_HIVES / record["file"]), *logs)
    expected = record["walk_after"] if record.get("recovered") else record["walk_before"]
    walk = tolerant_walk(hive)  # 8-bit names that are not UTF-8: Latin-1 in the record, U+FFFD here
    digests = {k: v for k, v in walk.digests.items() if k != "names_sha256" or not walk.replaced}
    assert (walk.failures, digests) == ((0, 0), {k: expected[k] for k in digests})
    applied = [pathlib.Path(r.path).name.split("__", 1)[1] for r in hive.log_replay() if r.applied]
    assert sorted(applied) == sorted(record.get("logs_used", []))


# The "HvLE"-headed layout. Most cases watch the 8 bytes at image offset 4 (the sequence numbers, harmless to
# overwrite) of an 8192-byte hive, which hold "original".
PROBE_AT, GROWTH_MAX = 4, 0x1000000
IMAGE = hivegen.build_tree(hivegen.Key("ROOT"), primary_sequence=0x6769726F, secondary_sequence=0x6C616E69)
END = len(IMAGE)


def replay(tmp_path, *logs, hive=IMAGE):
    """The probe of the hive replayed with these logs (a hive of None: no hive file)."""
    bb = replayed(tmp_path, hive, *logs).base_block()
    return struct.pack("<II", bb.primary_sequence, bb.secondary_sequence)


def log_of(*records, sequence=1):
    return hivegen.transaction_log(sequence, [list(records)])


def one_block(records, count=None, signature=b"DIRT"):
    return hivegen.transaction_log(1, [signature + hivegen.dirt_block(records, count=count)[4:]])


def block_in_page_data():
    """The second page's data holds a whole "DIRT" block at file offset 8192 writing "Y"."""
    head = hivegen.LOG_HEADER_SIZE + hivegen.DIRT_HEADER_SIZE + 8 + 1 + 8
    inner = hivegen.dirt_block([(PROBE_AT, b"Y")])
    return hivegen.transaction_log(1, [[(PROBE_AT, b"X"), (END, bytes(8192 - head) + inner + bytes(64))]])


def three_records(length):
    """The base block's first 500 bytes with "X" at the probe, "YY" ending at 4630, "Z" at 4639."""
    head = IMAGE[:PROBE_AT] + b"X" + IMAGE[PROBE_AT + 1:500]
    return log_of((0, head), (PROBE_AT + 2, b"YY"), (PROBE_AT + 4, b"Z"))[:length]


def twelve_blocks():
    """12 blocks of 1000 one-byte pages; block 11 ends with "K" at the probe, block 12 with "L"."""
    return hivegen.transaction_log(1, [
        [(200, b"\0")] * 999 + [{11: (PROBE_AT, b"K"), 12: (PROBE_AT + 1, b"L")}.get(i, (200, b"\0"))]
        for i in range(1, 13)])


def largest_page(size):
    return one_block([(PROBE_AT, size, b"X" + IMAGE[PROBE_AT + 1:].ljust(size - 1, b"\0"))])


STORED_CHECKSUM = struct.unpack_from("<I", IMAGE, 508)[0]
BAD_CHECKSUM = IMAGE[:508] + struct.pack("<I", STORED_CHECKSUM ^ 0x5A5A) + IMAGE[512:]
CHECKSUM_MESSAGE = f"Checksum mismatch: expected {STORED_CHECKSUM ^ 0x5A5A:#x}, calculated {STORED_CHECKSUM:#x}"
HEADER_77 = hivegen.base_block(root_cell_offset=struct.unpack_from("<I", IMAGE, 36)[0], primary_sequence=77,
                               checksum=0x1234)[:512]
TINY = bytes(100)
TOO_MUCH = "Invalid format: Dirty page {} would extend hive by too much: {} bytes (max: 16777216)"
PAST_MAX = "Invalid format: Dirty page {} would extend hive beyond maximum size: {:#x} > 0x20000000"


def two_logs(seq1, seq2):
    return log_of((PROBE_AT, b"1"), sequence=seq1), log_of((PROBE_AT, b"2"), sequence=seq2)


REPLAYS = {
    # name: the hive (None: no hive file), its logs, then the probe after the replay or the error
    # Dirty blocks: where they are found, their record counts and page sizes
    "4607-bytes": (IMAGE, [log_of((PROBE_AT, b"X"))[:4607]], b"original"),  # no block below 4096 + 512 bytes
    "4608-bytes": (IMAGE, [log_of((PROBE_AT, b"X"))[:4608]], b"Xriginal"),
    "DIRt": (IMAGE, [one_block([(PROBE_AT, b"X")], signature=b"DIRt")], b"original"),
    "misaligned": (IMAGE, [hivegen.transaction_log(1, [bytes(8) + hivegen.dirt_block([(PROBE_AT, b"X")])])],
                   b"original"),  # at 4104
    "count-0": (IMAGE, [one_block([(PROBE_AT, b"X")], count=0)], b"original"),
    "count-1001": (IMAGE, [one_block([(PROBE_AT, b"X")], count=1001)], b"original"),
    "count-1000": (IMAGE, [one_block([(PROBE_AT, b"X")], count=1000)], b"Xriginal"),  # the zeros after it: skipped
    "count-1": (IMAGE, [one_block([(PROBE_AT, b"X"), (PROBE_AT + 1, b"Y")], count=1)], b"Xriginal"),
    "in-order": (IMAGE, [one_block([(PROBE_AT, b"A"), (PROBE_AT, b"B")])], b"Briginal"),
    "page-0x10000": (IMAGE, [largest_page(0x10000)], b"Xriginal"),
    "page-0x10001": (IMAGE, [largest_page(0x10001)], b"original"),
    # a bad size skips the 8-byte head only, and uses up one of the count
    "size-0-skipped": (IMAGE, [one_block([(PROBE_AT, 0, b""), (PROBE_AT, b"X"), (PROBE_AT + 1, b"Y")], count=2)],
                       b"Xriginal"),
    "size-0x10001-skipped": (IMAGE, [one_block([(PROBE_AT, 0x10001, b""), (PROBE_AT + 1, b"Y")])], b"oYiginal"),
    # a record running past the end of the file ends its block; earlier pages stay
    "cut-4639": (IMAGE, [three_records(4639)], b"XrYYZnal"),
    "cut-4638": (IMAGE, [three_records(4638)], b"XrYYinal"),
    "block-in-page-data": (IMAGE, [block_in_page_data()], b"Yriginal"),  # a "DIRT" on a boundary inside page data
    "page-limit": (IMAGE, [twelve_blocks()], b"Kriginal"),  # scanning stops after the block passing 10000 pages
    # The replayed image. Pages applied: the checksum is recomputed, whatever it was
    "pages-fix-checksum": (BAD_CHECKSUM, [log_of((PROBE_AT, b"X"))], b"Xriginal"),
    "checksum-page": (BAD_CHECKSUM, [log_of((508, b"\0\0\0\0"))], b"original"),
    "new-header": (IMAGE, [log_of((0, HEADER_77))], struct.pack("<II", 77, 1)),
    # two logs apply in ascending sequence, compared unsigned; on a tie LOG1 first
    "order-7-5": (IMAGE, two_logs(7, 5), b"1riginal"),
    "order-tie": (IMAGE, two_logs(5, 5), b"2riginal"),
    "order-unsigned": (IMAGE, two_logs(1, 0xFFFFFFFF), b"2riginal"),
    # each page may grow the image by the limit from the length it finds
    "growth-per-page": (IMAGE, [log_of((END + GROWTH_MAX - 4, b"end1"), (END + 2 * GROWTH_MAX - 4, b"end2"))],
                        b"original"),
    # a log that reads but carries no pages leaves the image, checksum included, as it was
    "empty-log": (BAD_CHECKSUM, [hivegen.transaction_log(1, [])], error(CHECKSUM_MESSAGE)),
    "no-hive": (None, [log_of((PROBE_AT, b"X"))], error("No such file or directory (os error 2)", OSError)),
    # the replayed image goes through every check of an opened hive
    "signature": (IMAGE, [log_of((0, b"rege"))], error("Invalid signature: expected regf, found rege")),
    "version": (IMAGE, [log_of((24, struct.pack("<I", 2)))], error("Unsupported hive version: 1.2")),
    # too short for a base block: refused after the pages, before the checksum is stored
    "tiny-grown": (TINY, [log_of((4000, bytes(95)))], error("Hive too small: 4095 bytes (minimum: 4096 bytes)")),
    "tiny-100": (TINY, [log_of((0, b"regf"))], error("Hive too small: 100 bytes (minimum: 4096 bytes)")),
    "tiny-whole": (TINY, [log_of((0, IMAGE[:4096]))], b"original"),  # a log can supply the whole base block
    # limits of one page: the end, then the growth; the page index restarts in each log
    "past-max": (IMAGE, [log_of((0x1FFFF001, bytes(0x1000)))], error(PAST_MAX.format(0, 0x20000001))),
    "exactly-max": (IMAGE, [log_of((0x1FFFF000, bytes(0x1000)))], error(TOO_MUCH.format(0, 0x20000000 - END))),
    "no-32-bit-wrap": (IMAGE, [log_of((0xFFFFFFFF, b"ab"))], error(PAST_MAX.format(0, 0x100000001))),
    "fourth-page": (IMAGE, [log_of((PROBE_AT, b"a"), (PROBE_AT, b"b"), (END, b"c"), (0x20000000, bytes(0x1000)))],
                    error(PAST_MAX.format(3, 0x20001000))),
    "growth+1": (IMAGE, [log_of((END + GROWTH_MAX - 3, bytes(4)))], error(TOO_MUCH.format(0, GROWTH_MAX + 1))),
    "index-per-log": (IMAGE, [log_of((PROBE_AT, b"c"), (END + GROWTH_MAX + 1, b"d"), sequence=2),
                              log_of((PROBE_AT, b"a"))], error(TOO_MUCH.format(1, GROWTH_MAX + 2))),
}


@pytest.mark.parametrize("hive, logs, expected", REPLAYS.values(), ids=REPLAYS.keys())
def test_replay(tmp_path, hive, logs, expected):
    assert outcome(lambda: replay(tmp_path, *logs, hive=hive)) == expected


SHORT_REPLAYS = "import sys, kelpa\nfor hive in sys.argv[2:]:\n    try:\n        kelpa.Hive.open_with_logs(hive, sys.argv[1])\n" \
                "    except ValueError as e:\n        print(e)"


def test_short_image_is_not_written_past(tmp_path):
    # Under glibc's checked heap a byte stored past a short image aborts the child when it is freed;
    # the sanitizer build catches the same write in the "tiny" rows above.
    debug = sorted(glob.glob("/lib*/*/libc_malloc_debug.so.0") + glob.glob("/usr/lib*/*/libc_malloc_debug.so.0"))
    if not debug or under_sanitizer():
        pytest.skip("no checked heap here (glibc's libc_malloc_debug), or a sanitizer owns the heap")
    (tmp_path / "log").write_bytes(log_of((0, b"regf")))
    for n in (sizes := [4, 100, 497, 500, 503, 508, 511]):
        (tmp_path / str(n)).write_bytes(b"\x5a" * n)
    env = dict(os.environ, LD_PRELOAD=debug[0], GLIBC_TUNABLES="glibc.malloc.check=3")
    run = subprocess.run([sys.executable, "-c", SHORT_REPLAYS, str(tmp_path / "log"), *(str(tmp_path / str(n)) for n in sizes)],
                         capture_output=True, text=True, timeout=60, env=env)
    assert (run.returncode, run.stdout.splitlines()) == (0, [f"Hive too small: {n} bytes (minimum: 4096 bytes)" for n in sizes])
