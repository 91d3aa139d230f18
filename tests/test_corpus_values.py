"""Every value of the real hives in ../shared/hives, checked against another parser's walk.

inventory.json records, per hive, what a different parser saw walking the whole tree
depth-first (a key's values, then its subkeys, all in file order): the number of values
and a SHA-256 over each value's type id (4 bytes LE), data length (8 bytes LE) and data.
The folder is test data beside the repository; without it these tests skip.
"""

import hashlib
import json
import pathlib
import struct

import pytest

import kelpa

# Read at collection time to make one test per hive; the files are opened through the
# shared_hives fixture.
HIVES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "hives"
BIG_DATA_THRESHOLD = 16344
MAX_DEPTH = 512  # far deeper than any real hive; stops a key loop from recursing forever


def load_inventory():
    try:
        return json.loads((HIVES / "inventory.json").read_text())
    except FileNotFoundError:
        return None


INVENTORY = load_inventory()


def corpus_params():
    if INVENTORY is None:
        return [pytest.param(None, id="no-corpus", marks=pytest.mark.skip(reason=f"{HIVES} is absent"))]
    params = []
    for record in INVENTORY:
        walk = record.get("hivex_walk")
        if not walk:
            reason = "no reference walk recorded"
        elif "error" in walk:
            reason = f"the reference parser could not walk it ({walk['error']})"
        else:
            reason = None
        marks = [pytest.mark.skip(reason=f"{record['file']}: {reason}")] if reason else []
        params.append(pytest.param(record, id=record["file"], marks=marks))
    return params


def walk_values(key, depth=0):
    """Yields every value under ``key``, depth-first: the key's values, then each subkey's."""
    if depth > MAX_DEPTH:
        raise RecursionError(f"key tree deeper than {MAX_DEPTH} levels: a loop?")
    yield from key.values()
    for subkey in key.subkeys():
        yield from walk_values(subkey, depth + 1)


def find_key(hive, path):
    key = hive.root_key()
    for part in path.split("\\"):
        key = next(s for s in key.subkeys() if s.name() == part)
    return key


@pytest.mark.parametrize("record", corpus_params())
def test_values_match_reference_walk(shared_hives, record):
    walk = record["hivex_walk"]
    hive = kelpa.Hive.open(str(shared_hives / record["file"]))
    digest = hashlib.sha256()
    count = 0
    big = 0
    for value in walk_values(hive.root_key()):
        data = value.raw_data()
        digest.update(struct.pack("<IQ", value.value_type().type_id(), len(data)))
        digest.update(data)
        count += 1
        big += len(data) > BIG_DATA_THRESHOLD
    assert count == walk["values"]
    assert digest.hexdigest() == walk["data_sha256"]
    # Values above the threshold come through whole, whether stored in "db" records or,
    # in version 1.3 hives, in one ordinary cell; none is listed empty for a data error.
    assert big == record["big_data_values"] + record["large_values_in_single_cell"]


def test_big_data_hive(shared_hives):
    # Two "db" values whose segments are 16348-byte payloads of which 16344 bytes are data.
    key = find_key(kelpa.Hive.open(str(shared_hives / "yarp__BigDataHive")), "key_with_bigdata")
    assert [(v.name(), v.raw_data()) for v in key.values()] == [("(default)", b"1" * 16345), ("v", b"2" * 81725)]
    assert key.value("(default)").raw_data() == b"1" * 16345
    assert key.value("V").raw_data() == b"2" * 81725


def test_version_1_3_value_in_one_cell(shared_hives):
    # 73315 bytes kept in a single cell, with no "db" record; size and digest as another
    # parser reads them.
    path = shared_hives / "regipy__NTUSER.DAT"
    assert struct.unpack_from("<II", path.read_bytes(), 20) == (1, 3)  # the base block's version
    hive = kelpa.Hive.open(str(path))
    key = find_key(hive, r"Software\Microsoft\Windows\CurrentVersion\Explorer\StartPage2")
    value = key.value("ProgramsCache")
    assert value.value_type().type_name() == "REG_BINARY"
    assert value.data_size() == 73315
    assert hashlib.sha256(value.raw_data()).hexdigest() == (
        "e8c0cfda2e7f39a9168bede5b9e1f3d650e441fc3f613ab19ac50b8323f07f06")
