"""Real hives from ../shared/hives against inventory.json (see its README.md): each opens as its base block says
and is walked without a crash; where the peer walked it (``hivex_walk``), the keys (as walk() yields them too),
the names and data digests and the counts of values and of big values agree. Skips say why (``pytest -ra``)."""

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
    differ = [f"{record[f]} {f}" for f in ("compressed_key_names_with_high_bytes",
                                           "compressed_value_names_with_high_bytes", "invalid_utf16_value_names")
              if record[f]] + ([NAMES_DIFFER[record["file"]]] if record["file"] in NAMES_DIFFER else [])
    if differ:
        pytest.skip(f"{record['file']}: counts and data agree; names decoded differently by design: " + ", ".join(differ))
    assert walk.digests["names_sha256"] == peer["names_sha256"]
