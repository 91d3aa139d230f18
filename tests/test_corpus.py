"""Real hives from ../shared/hives against inventory.json (see its README.md): each opens as its base block says
and is walked without a crash; where the peer walked it (``hivex_walk``), the keys (as walk() yields them too),
the names and data digests and the counts of values and of big values agree; read tolerantly, each gives at
least the keys and values a reader that skips only unreadable records finds; and every way in (paths of each
kind, buffers of each kind, with and without the logs) reads what Hive.open and Hive.open_with_logs read.
Skips say why (``pytest -ra``)."""

import hashlib
import mmap
import os

import pytest

import kelpa
from conftest import SHARED_HIVES, corpus_params, error, outcome, tolerant_walk

MAX_KEYS = 500_000  # a corrupt hive whose subkeys lead back to an ancestor must not run forever
COUNTED = ("keys", "values", "data_sha256")
NAMES_DIFFER = {"regviewer__Security": "the 8-bit key name b'SAC\\0' keeps its NUL in the peer's walk; "
                                       "trailing NULs are stripped here"}


def open_outcome(record):
    if not record["checksum_ok"]:
        return f"Checksum mismatch: expected {record['checksum_stored']:#x}, calculated {record['checksum_calculated']:#x}"
    if record["version"] not in {"1.3", "1.4", "1.5", "1.6"}:
        return f"Unsupported hive version: {record['version']}"
    return None


@pytest.mark.parametrize("record", corpus_params())
def test_open_and_walk(record):
    path = str(SHARED_HIVES / record["file"])
    if (expected_error := open_outcome(record)) is not None:
        assert outcome(lambda: kelpa.Hive.open(path)) == error(expected_error)
        return
    hive = kelpa.Hive.open(path)
    bb = hive.base_block()
    assert (bb.signature, bb.root_cell_offset, bb.hive_bins_data_size, bb.primary_sequence, bb.secondary_sequence) == (
        "regf", record["root_cell_offset"], record["hbins_data_size"], record["primary_sequence"],
        record["secondary_sequence"])
    peer = record.get("hivex_walk") or {"error": "no reference walk recorded"}
    corrupt = record["intentionally_corrupt"] or "error" in peer
    if isinstance(root := outcome(hive.root_key), tuple):
        assert corrupt and root[0] is ValueError
        return
    walk = tolerant_walk(hive, MAX_KEYS)
    assert len(walk.keys) < MAX_KEYS and (corrupt or walk.failures == (0, 0))
    if "error" in peer or record["invalid_utf16_key_names"]:
        pytest.skip(f"{record['file']}: not walked by the peer ({peer.get('error')}), or key names with invalid "
                    "UTF-16, which fail here by design")
    assert (walk.failures, *map(walk.digests.get, COUNTED)) == ((0, 0), *map(peer.get, COUNTED))
    assert [k.name() for k in hive.root_key().walk()] == walk.keys
    # Big values come whole, from "db" records or, in 1.3 hives, from one cell; none is listed empty.
    assert walk.big == record["big_data_values"] + record["large_values_in_single_cell"]
    differ = [f"{record[f]} {f}" for f in ("invalid_utf16_value_names",)
              if record[f]] + ([NAMES_DIFFER[record["file"]]] if record["file"] in NAMES_DIFFER else [])
    if differ:
        pytest.skip(f"{record['file']}: counts and data agree; names decoded differently by design: " + ", ".join(differ))
    assert walk.digests["names_sha256"] == peer["names_sha256"]


@pytest.mark.parametrize("record", corpus_params())
def test_tolerant_reads_what_can_be_read(record):
    hive = kelpa.Hive.from_path(SHARED_HIVES / record["file"], strict=False)
    keys = list(hive.root_key().walk())
    assert (len(keys), sum(len(k.values()) for k in keys)) >= (record["keys"], record["values"])
    sound = not record["intentionally_corrupt"] and record["checksum_ok"] and "error" not in record["hivex_walk"]
    assert not sound or hive.problems() == []


def digest(open_hive):
    """The walk (names, value names and data, and each error in its place) of a hive, or its opening error."""
    try:
        hive = open_hive()
    except (OSError, ValueError) as e:
        return type(e), str(e)
    h, errors = hashlib.sha256(), []
    for key in hive.root_key().walk(onerror=lambda e: errors.append(str(e))):
        h.update(key.name().encode() + b"\0")
        try:
            for value in key.values():
                h.update(value.name().encode() + b"\0" + value.raw_data())
        except ValueError as e:
            errors.append(str(e))
    return h.hexdigest(), errors, [tuple(r) for r in hive.log_replay()]


@pytest.mark.parametrize("record", corpus_params())
def test_every_way_in_reads_the_same(record):
    path = SHARED_HIVES / record["file"]
    logs = sorted(SHARED_HIVES / log["file"] for log in record["logs"])[:2]
    for log_paths in ([], logs) if logs else ([],):
        expected = digest(lambda: kelpa.Hive.open_with_logs(str(path), *map(str, log_paths)) if log_paths
                          else kelpa.Hive.open(str(path)))
        by_path = [digest(lambda p=p: kelpa.Hive.from_path(p, *log_paths)) for p in (str(path), os.fsencode(path), path)]
        assert by_path == [expected] * 3
        data, log_data = path.read_bytes(), [p.read_bytes() for p in log_paths]
        in_memory = expected if len(expected) == 2 else (  # logs in memory are named by their place
            *expected[:2], [(f"<log{i}>", *r[1:]) for i, r in enumerate(expected[2], 1)])
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            buffers = [data, bytearray(data), memoryview(data), m]
            assert [digest(lambda b=b: kelpa.Hive.from_bytes(b, *log_data)) for b in buffers] == [in_memory] * 4
