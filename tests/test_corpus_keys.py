"""Real hives from ../shared/hives: every one is opened and walked without a crash, and
where another parser walked it cleanly, the key count and the names digest agree.

The inventory (inventory.json, described in the folder's README.md) records what another
parser saw in a depth-first walk: ``hivex_walk`` with ``keys`` and ``names_sha256`` (every
key name, then its value names, then its subkeys, UTF-8, each followed by a zero byte;
the unnamed value as "(default)"), or ``error``. Each hive that is not compared says why
in its skip reason (shown by ``pytest -ra``).
"""

import functools
import hashlib

import pytest

import kelpa
from conftest import SHARED_HIVES, corpus_params, raises

MAX_KEYS = 500_000  # a corrupt hive whose subkeys lead back to an ancestor must not run forever
SUPPORTED_VERSIONS = {"1.3", "1.4", "1.5", "1.6"}
# Names that differ from the peer's by design but that no inventory field counts.
NAMES_DIFFER = {
    "regviewer__Security": "the 8-bit key name b'SAC\\0' keeps its NUL in the peer's walk; "
                           "trailing NULs are stripped here",
}
PARAMS = corpus_params()


def open_outcome(record):
    """What Hive.open must do with this file, from the inventory's base block facts."""
    if not record["checksum_ok"]:
        return f"Checksum mismatch: expected {record['checksum_stored']:#x}, " \
               f"calculated {record['checksum_calculated']:#x}"
    if record["version"] not in SUPPORTED_VERSIONS:
        return f"Unsupported hive version: {record['version']}"
    return None


@functools.cache
def tolerant_walk(file):
    """Walks every key it can reach; a failing subkeys() or values() is counted and the
    walk goes on with the next key. Returns (keys, subkeys() failures, values() failures,
    names digest or None)."""
    root = kelpa.Hive.open(str(SHARED_HIVES / file)).root_key()
    digest = hashlib.sha256()
    keys = subkey_failures = value_failures = 0
    stack = [root]
    while stack and keys < MAX_KEYS:
        key = stack.pop()
        keys += 1
        digest.update(key.name().encode() + b"\0")
        try:
            for value in key.values():
                digest.update((value.name() or "(default)").encode() + b"\0")
        except ValueError:
            value_failures += 1
        try:
            stack.extend(reversed(key.subkeys()))
        except ValueError:
            subkey_failures += 1
    complete = subkey_failures == value_failures == 0 and keys < MAX_KEYS
    return keys, subkey_failures, value_failures, digest.hexdigest() if complete else None


@pytest.mark.parametrize("record", PARAMS)
def test_open_and_walk(shared_hives, record):
    path = str(shared_hives / record["file"])
    expected_error = open_outcome(record)
    if expected_error is not None:
        with raises(ValueError, expected_error):
            kelpa.Hive.open(path)
        return
    hive = kelpa.Hive.open(path)
    bb = hive.base_block()
    assert bb.signature == "regf"
    assert (bb.root_cell_offset, bb.hive_bins_data_size) == (record["root_cell_offset"], record["hbins_data_size"])
    assert (bb.primary_sequence, bb.secondary_sequence) == (record["primary_sequence"], record["secondary_sequence"])
    try:
        hive.root_key()
    except ValueError:
        assert record["intentionally_corrupt"] or "error" in record["hivex_walk"]
        return
    keys, subkey_failures, value_failures, _ = tolerant_walk(record["file"])
    assert keys < MAX_KEYS
    if subkey_failures or value_failures:
        assert record["intentionally_corrupt"] or "error" in record["hivex_walk"]


def comparable(record):
    """The peer's walk, or a skip saying why this hive is not compared with it."""
    if open_outcome(record) is not None:
        pytest.skip(f"{record['file']}: not opened: {open_outcome(record)}")
    walk = record["hivex_walk"]
    if "error" in walk:
        pytest.skip(f"{record['file']}: the peer parser failed: {walk['error']}")
    if record["invalid_utf16_key_names"]:
        pytest.skip(f"{record['file']}: key names with invalid UTF-16 fail here by design")
    return walk


@pytest.mark.parametrize("record", PARAMS)
def test_key_count(shared_hives, record):
    walk = comparable(record)
    keys, subkey_failures, _, _ = tolerant_walk(record["file"])
    assert (keys, subkey_failures) == (walk["keys"], 0)


@pytest.mark.parametrize("record", PARAMS)
def test_names_digest(shared_hives, record):
    walk = comparable(record)
    differ = [f"{record[f]} {f}" for f in ("compressed_key_names_with_high_bytes",
                                           "compressed_value_names_with_high_bytes",
                                           "invalid_utf16_value_names") if record[f]]
    if record["file"] in NAMES_DIFFER:
        differ.append(NAMES_DIFFER[record["file"]])
    if differ:
        pytest.skip(f"{record['file']}: names decoded differently by design: " + ", ".join(differ))
    *_, digest = tolerant_walk(record["file"])
    assert digest == walk["names_sha256"]
