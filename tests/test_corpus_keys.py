"""Real hives from ../shared/hives: every one opens as its base block says and is walked without a
crash; where another parser walked it cleanly, the key count and the names digest agree.

inventory.json (see the folder's README.md) records the peer's depth-first walk: ``hivex_walk`` with
``keys`` and ``names_sha256`` (each key name, its value names, then its subkeys, UTF-8, each followed
by a zero byte, the unnamed value as "(default)"), or ``error``. Skips say why (``pytest -ra``)."""

import functools
import hashlib

import pytest

import kelpa
from conftest import SHARED_HIVES, corpus_params, raises

MAX_KEYS = 500_000  # a corrupt hive whose subkeys lead back to an ancestor must not run forever
NAMES_DIFFER = {"regviewer__Security": "the 8-bit key name b'SAC\\0' keeps its NUL in the peer's walk; "
                                       "trailing NULs are stripped here"}
PARAMS = corpus_params()


def open_outcome(record):
    if not record["checksum_ok"]:
        return f"Checksum mismatch: expected {record['checksum_stored']:#x}, calculated {record['checksum_calculated']:#x}"
    if record["version"] not in {"1.3", "1.4", "1.5", "1.6"}:
        return f"Unsupported hive version: {record['version']}"
    return None


@functools.cache
def tolerant_walk(file):
    """Every reachable key; a failing subkeys() or values() is counted and the walk goes on.
    Returns (keys, subkeys() failures, values() failures, names digest or None)."""
    digest, stack = hashlib.sha256(), [kelpa.Hive.open(str(SHARED_HIVES / file)).root_key()]
    keys = subkey_failures = value_failures = 0
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
    if (expected_error := open_outcome(record)) is not None:
        with raises(ValueError, expected_error):
            kelpa.Hive.open(path)
        return
    hive = kelpa.Hive.open(path)
    bb = hive.base_block()
    assert (bb.signature, bb.root_cell_offset, bb.hive_bins_data_size, bb.primary_sequence, bb.secondary_sequence) == (
        "regf", record["root_cell_offset"], record["hbins_data_size"], record["primary_sequence"],
        record["secondary_sequence"])
    corrupt = record["intentionally_corrupt"] or "error" in record["hivex_walk"]
    try:
        hive.root_key()
    except ValueError:
        assert corrupt
        return
    keys, subkey_failures, value_failures, _ = tolerant_walk(record["file"])
    assert keys < MAX_KEYS and (corrupt or subkey_failures == value_failures == 0)


@pytest.mark.parametrize("record", PARAMS)
def test_key_count_and_names_digest(shared_hives, record):
    if open_outcome(record) is not None:
        pytest.skip(f"{record['file']}: not opened: {open_outcome(record)}")
    walk = record["hivex_walk"]
    if "error" in walk:
        pytest.skip(f"{record['file']}: the peer parser failed: {walk['error']}")
    if record["invalid_utf16_key_names"]:
        pytest.skip(f"{record['file']}: key names with invalid UTF-16 fail here by design")
    keys, subkey_failures, _, digest = tolerant_walk(record["file"])
    assert (keys, subkey_failures) == (walk["keys"], 0)
    differ = [f"{record[f]} {f}" for f in ("compressed_key_names_with_high_bytes",
                                           "compressed_value_names_with_high_bytes", "invalid_utf16_value_names")
              if record[f]] + ([NAMES_DIFFER[record["file"]]] if record["file"] in NAMES_DIFFER else [])
    if differ:
        pytest.skip(f"{record['file']}: key count agrees; names decoded differently by design: " + ", ".join(differ))
    assert digest == walk["names_sha256"]
