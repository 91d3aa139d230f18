"""Real hives from ../shared/hives against inventory.json (see the folder's README.md): every hive opens
as its base block says and is walked without a crash; where the peer parser walked it (``hivex_walk``),
the keys (also as walk() yields them, and as open_key() finds them by path), the names digest (each key
name, its value names, then its subkeys, UTF-8, each followed by a zero byte, the unnamed value as
"(default)"), the value count and the data digest (type id as 4 bytes LE, data length as 8 bytes LE,
data) agree. Skips say why (``pytest -ra``)."""

import functools
import hashlib
import struct

import pytest

import kelpa
from conftest import SHARED_HIVES, corpus_params, error, outcome

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
    """Every reachable key, depth first; a failing subkeys() or values() is counted and the walk goes on.
    Returns (key names, subkeys() failures, values() failures, names digest, values, data digest, big values)."""
    names, data_digest, stack = hashlib.sha256(), hashlib.sha256(), [kelpa.Hive.open(str(SHARED_HIVES / file)).root_key()]
    keys, subkey_failures = [], 0
    value_failures = values = big = 0
    while stack and len(keys) < MAX_KEYS:
        key = stack.pop()
        keys.append(key.name())
        names.update(key.name().encode() + b"\0")
        try:
            for value in key.values():
                data = value.raw_data()
                names.update((value.name() or "(default)").encode() + b"\0")
                data_digest.update(struct.pack("<IQ", value.value_type().type_id(), len(data)) + data)
                values, big = values + 1, big + (len(data) > 16344)
        except ValueError:
            value_failures += 1
        try:
            stack.extend(reversed(key.subkeys()))
        except ValueError:
            subkey_failures += 1
    return keys, subkey_failures, value_failures, names.hexdigest(), values, data_digest.hexdigest(), big


@pytest.mark.parametrize("record", PARAMS)
def test_open_and_walk(shared_hives, record):
    path = str(shared_hives / record["file"])
    if (expected_error := open_outcome(record)) is not None:
        assert outcome(lambda: kelpa.Hive.open(path)) == error(expected_error)
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
    keys, subkey_failures, value_failures, *_ = tolerant_walk(record["file"])
    assert len(keys) < MAX_KEYS and (corrupt or subkey_failures == value_failures == 0)


@pytest.mark.parametrize("record", PARAMS)
def test_walk_matches_peer(shared_hives, record):
    walk = record.get("hivex_walk") or {"error": "no reference walk recorded"}
    if open_outcome(record) is not None or "error" in walk:
        pytest.skip(f"{record['file']}: not opened, or not walked by the peer: {walk.get('error')}")
    if record["invalid_utf16_key_names"]:
        pytest.skip(f"{record['file']}: key names with invalid UTF-16 fail here by design")
    keys, subkey_failures, value_failures, names, values, data, big = tolerant_walk(record["file"])
    assert (len(keys), subkey_failures, value_failures, values, data) == (
        walk["keys"], 0, 0, walk["values"], walk["data_sha256"])
    hive = kelpa.Hive.open(str(shared_hives / record["file"]))
    walked = list(hive.root_key().walk())
    assert [k.name() for k in walked] == keys
    for key in walked[:: max(1, len(walked) // 500)]:
        if unique_path(key):
            found = hive.open_key(key.path())
            assert (repr(found), found.path(), found.last_written_timestamp()) == \
                (repr(key), key.path(), key.last_written_timestamp())
    # Big values come whole, from "db" records or, in 1.3 hives, from one cell; none is listed empty.
    assert big == record["big_data_values"] + record["large_values_in_single_cell"]
    differ = [f"{record[f]} {f}" for f in ("compressed_key_names_with_high_bytes",
                                           "compressed_value_names_with_high_bytes", "invalid_utf16_value_names")
              if record[f]] + ([NAMES_DIFFER[record["file"]]] if record["file"] in NAMES_DIFFER else [])
    if differ:
        pytest.skip(f"{record['file']}: counts and data agree; names decoded differently by design: " + ", ".join(differ))
    assert names == walk["names_sha256"]


def unique_path(key):  # no key on the way from the root has a sibling of the same name
    while (parent := key.parent()) is not None:
        if [n.name().upper() for n in parent.subkeys()].count(key.name().upper()) != 1:
            return False
        key = parent
    return True


def find_key(hive, path):
    key = hive.root_key()
    for part in path.split("\\"):
        key = next(s for s in key.subkeys() if s.name() == part)
    return key


def test_big_data_and_version_1_3_single_cell(shared_hives):
    # Two "db" values whose segments are 16348-byte payloads of which 16344 bytes are data.
    key = find_key(kelpa.Hive.open(str(shared_hives / "yarp__BigDataHive")), "key_with_bigdata")
    assert [(v.name(), v.raw_data()) for v in key.values()] == [("(default)", b"1" * 16345), ("v", b"2" * 81725)]
    assert key.value("V").raw_data() == b"2" * 81725
    # 73315 bytes kept in a single cell of a version 1.3 hive, with no "db" record.
    path = shared_hives / "regipy__NTUSER.DAT"
    assert struct.unpack_from("<II", path.read_bytes(), 20) == (1, 3)
    value = find_key(kelpa.Hive.open(str(path)), r"Software\Microsoft\Windows\CurrentVersion\Explorer\StartPage2").value(
        "ProgramsCache")
    assert (value.value_type().type_name(), value.data_size()) == ("REG_BINARY", 73315)
    assert hashlib.sha256(value.raw_data()).hexdigest() == "e8c0cfda2e7f39a9168bede5b9e1f3d650e441fc3f613ab19ac50b8323f07f06"
