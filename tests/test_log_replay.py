"""Hive.open_with_logs() with the logs Windows writes, and Hive.log_replay(): which logs were
applied, how far, and why not. The test hive holds a value "Data" of b"original"; each log
rewrites its bin (new format) or its sector (old format) with other 8 bytes there."""

import pathlib
import struct

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES, corpus_params, replayed, tolerant_walk

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
    return hivegen.new_log(seq, list(entries), root_cell_offset=ROOT, **kw)


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
    assert [tuple(r) for r in hive.log_replay()] == [(str(tmp_path / f"log{i}"), *r) for i, r in enumerate(reports, 1)]
    assert all(isinstance(r, kelpa.LogReplay) for r in hive.log_replay())


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
