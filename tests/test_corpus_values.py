"""Every value of the real hives in ../shared/hives, checked against another parser's walk.

inventory.json records, per hive, what a different parser saw walking the whole tree
depth-first (a key's values, then its subkeys, all in file order): the number of values
and a SHA-256 over each value's type id (4 bytes LE), data length (8 bytes LE) and data.
"""

import hashlib
import struct

import pytest

import kelpa
from conftest import corpus_params

BIG_DATA_THRESHOLD = 16344
MAX_DEPTH = 512  # far deeper than any real hive; stops a key loop from recursing forever


def no_reference_walk(record):
    walk = record.get("hivex_walk")
    if not walk:
        return "no reference walk recorded"
    if "error" in walk:
        return f"the reference parser could not walk it ({walk['error']})"
    return None


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


@pytest.mark.parametrize("record", corpus_params(no_reference_walk))
def test_values_match_reference_walk(shared_hives, record):
    hive = kelpa.Hive.open(str(shared_hives / record["file"]))
    digest = hashlib.sha256()
    count = big = 0
    for value in walk_values(hive.root_key()):
        data = value.raw_data()
        digest.update(struct.pack("<IQ", value.value_type().type_id(), len(data)) + data)
        count += 1
        big += len(data) > BIG_DATA_THRESHOLD
    assert (count, digest.hexdigest()) == (record["hivex_walk"]["values"], record["hivex_walk"]["data_sha256"])
    # Big values come through whole, from "db" records or, in version 1.3 hives, from one
    # ordinary cell; none is listed empty for a data error.
    assert big == record["big_data_values"] + record["large_values_in_single_cell"]


def test_big_data_hive(shared_hives):
    # Two "db" values whose segments are 16348-byte payloads of which 16344 bytes are data.
    key = find_key(kelpa.Hive.open(str(shared_hives / "yarp__BigDataHive")), "key_with_bigdata")
    assert [(v.name(), v.raw_data()) for v in key.values()] == [("(default)", b"1" * 16345), ("v", b"2" * 81725)]
    assert key.value("V").raw_data() == b"2" * 81725


def test_version_1_3_value_in_one_cell(shared_hives):
    # 73315 bytes kept in a single cell, with no "db" record, as another parser reads them.
    path = shared_hives / "regipy__NTUSER.DAT"
    assert struct.unpack_from("<II", path.read_bytes(), 20) == (1, 3)  # the base block's version
    key = find_key(kelpa.Hive.open(str(path)), r"Software\Microsoft\Windows\CurrentVersion\Explorer\StartPage2")
    value = key.value("ProgramsCache")
    assert (value.value_type().type_name(), value.data_size()) == ("REG_BINARY", 73315)
    assert hashlib.sha256(value.raw_data()).hexdigest() == (
        "e8c0cfda2e7f39a9168bede5b9e1f3d650e441fc3f613ab19ac50b8323f07f06")
