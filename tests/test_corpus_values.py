"""Every value of the real hives in ../shared/hives against another parser's walk: inventory.json
records, per hive, the number of values in a depth-first walk (a key's values, then its subkeys, in
file order) and a SHA-256 over each value's type id (4 bytes LE), data length (8 bytes LE) and data."""

import hashlib
import struct

import pytest

import kelpa
from conftest import corpus_params


def no_reference_walk(record):
    walk = record.get("hivex_walk")
    if not walk:
        return "no reference walk recorded"
    return f"the reference parser could not walk it ({walk['error']})" if "error" in walk else None


def find_key(hive, path):
    key = hive.root_key()
    for part in path.split("\\"):
        key = next(s for s in key.subkeys() if s.name() == part)
    return key


@pytest.mark.parametrize("record", corpus_params(no_reference_walk))
def test_values_match_reference_walk(shared_hives, record):
    digest, count, big, keys = hashlib.sha256(), 0, 0, 0
    stack = [kelpa.Hive.open(str(shared_hives / record["file"])).root_key()]
    while stack and keys < 500_000:  # a key loop must not run forever
        key, keys = stack.pop(), keys + 1
        for value in key.values():
            data = value.raw_data()
            digest.update(struct.pack("<IQ", value.value_type().type_id(), len(data)) + data)
            count, big = count + 1, big + (len(data) > 16344)
        stack.extend(reversed(key.subkeys()))
    assert (count, digest.hexdigest()) == (record["hivex_walk"]["values"], record["hivex_walk"]["data_sha256"])
    # Big values come whole, from "db" records or, in 1.3 hives, from one cell; none is listed empty.
    assert big == record["big_data_values"] + record["large_values_in_single_cell"]


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
