"""Artifact decoders: each layout a table of synthetic hives, damaged data of each kind, and the
decoders on the shared hives."""

import datetime

import pytest

import hivegen
import kelpa
from hivegen import REG_BINARY, REG_DWORD, REG_SZ
from kelpa_tools import artifacts
from kelpa_tools.artifacts import times

UTC = datetime.UTC


def decoded(keys: dict, names=None, hive_type=None):
    """(rows by decoder name, problems) of a hive holding `keys` (see hivegen.hive_of)."""
    hive = kelpa.Hive.from_bytes(hivegen.hive_of(keys, last_written=hivegen.filetime(
        datetime.datetime(2024, 5, 1, tzinfo=UTC))), strict=False)
    decoding = artifacts.decode(hive, names, hive_type=hive_type)
    rows: dict[str, list] = {}
    for name, row in decoding:
        rows.setdefault(name, []).append(row)
    return rows, decoding.problems()


@pytest.mark.parametrize("convert, args, expected", [
    (times.filetime, (0,), None),
    (times.filetime, (0xFFFFFFFFFFFFFFFF,), None),
    (times.filetime, (132_000_000_000_000_000,), datetime.datetime(2019, 4, 17, 18, 40, tzinfo=UTC)),
    (times.filetime, (116_444_736_000_000_019,), datetime.datetime(1970, 1, 1, 0, 0, 0, 1, tzinfo=UTC)),
    (times.unix, (0,), None),
    (times.unix, (1_600_000_000,), datetime.datetime(2020, 9, 13, 12, 26, 40, tzinfo=UTC)),
    (times.unix, (10**15,), None),
    (times.systemtime, (bytes(16),), None),
    (times.systemtime, (b"\xe4\x07\x02\x00\x06\x00\x1d\x00\x17\x00\x3b\x00\x3b\x00\xe7\x03",),
     datetime.datetime(2020, 2, 29, 23, 59, 59, 999000, tzinfo=UTC)),
    (times.systemtime_local, (b"\xe4\x07\x0d\x00\x06\x00\x1d\x00" + bytes(8),), None),  # month 13
    (times.systemtime_local, (b"\xe4\x07\x02\x00",), None),  # too short
    (times.dos, (0, 0), None),
    (times.dos, ((44 << 9) | (5 << 5) | 17, (13 << 11) | (7 << 5) | 21), datetime.datetime(2024, 5, 17, 13, 7, 42)),
    (times.dos, ((44 << 9) | (2 << 5) | 30, 0), None),  # 30 February
])
def test_times(convert, args, expected):
    assert convert(*args) == expected


@pytest.mark.parametrize("values, mru_list, mru_list_ex", [
    ({"MRUList": (REG_SZ, hivegen.sz("cab"))}, ["c", "a", "b"], []),
    ({"MRUList": (REG_SZ, hivegen.sz("caca"))}, ["c", "a"], []),
    ({"MRUList": (REG_DWORD, hivegen.dword(7))}, [], []),
    ({"MRUListEx": (REG_BINARY, bytes.fromhex("02000000 00000000 ffffffff 01000000"))}, [], [2, 0]),
    ({"MRUListEx": (REG_BINARY, bytes.fromhex("02000000 0000"))}, [], [2]),  # a last partial number
    ({}, [], []),
])
def test_mru_orders(values, mru_list, mru_list_ex):
    from kelpa_tools.artifacts import mru
    key = kelpa.Hive.from_bytes(hivegen.hive_of({"K": values})).open_key("K")
    assert (mru.mru_list(key), mru.mru_list_ex(key)) == (mru_list, mru_list_ex)


def test_registry_and_unknown_name():
    listed = artifacts.decoders()
    assert len({d.name for d in listed}) == len(listed)
    for d in listed:
        assert all(f.type in artifacts.base.FIELD_TYPES for f in d.columns), d.name
    with pytest.raises(ValueError, match="no artifact decoder named 'nope'"):
        artifacts.decode(kelpa.Hive.from_bytes(hivegen.hive_of({})), ["nope"])


CS = r"ControlSet001\Control"


@pytest.mark.parametrize("keys, rows, problems", [
    ({rf"{CS}\ComputerName\ComputerName": {"ComputerName": (REG_SZ, hivegen.sz("HOST\0hidden"))},
      r"ControlSet002\Control\ComputerName\ComputerName": {"ComputerName": (REG_SZ, hivegen.sz("OLD"))}},
     {"computer_name": [("ControlSet001", "HOST"), ("ControlSet002", "OLD")]}, []),
    ({rf"{CS}\TimeZoneInformation": {"TimeZoneKeyName": (REG_SZ, hivegen.sz("W. Europe Standard Time")),
                                     "Bias": (REG_DWORD, hivegen.dword(0xFFFFFFC4)),
                                     "ActiveTimeBias": (REG_DWORD, hivegen.dword(0xFFFFFF88))}},
     {"timezone": [("ControlSet001", "W. Europe Standard Time", None, -60, -120)]}, []),
    ({rf"{CS}\Windows": {"ShutdownTime": (REG_BINARY, hivegen.qword(132_000_000_000_000_000))}},
     {"shutdown": [("ControlSet001", datetime.datetime(2019, 4, 17, 18, 40, tzinfo=UTC))]}, []),
    ({rf"{CS}\Windows": {"ShutdownTime": (REG_BINARY, b"\x01\x02")}},
     {}, [("shutdown", rf"{CS}\Windows", "ShutdownTime holds 2 bytes, not a FILETIME's 8")]),
])
def test_system_decoders(keys, rows, problems):
    got, met = decoded({"Select": {}, **keys}, ["computer_name", "timezone", "shutdown"])
    fields = {name: [f.name for f in d.fields] for d in artifacts.decoders() for name in [d.name]}
    assert {n: [tuple(r[f] for f in fields[n]) for r in rs] for n, rs in got.items()} == rows
    assert [tuple(p) for p in met] == problems
