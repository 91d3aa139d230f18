"""Property-based fuzzing of the artifact decoders: each decoder reads small hives whose keys are
the ones it declares, holding the values it asks for with random and mutated data of random
types. The promises: no exception escapes decode() and none is caught by it either (Decoding.rows
turns one into a problem "TypeName: message", a fault of ours); a row holds the declared columns
only; a hive whose keys are elsewhere gives no row and no problem.

`make test` runs a few dozen derandomized examples; the fuzz campaign runs many more
(KELPA_HYPOTHESIS_PROFILE=campaign)."""

from __future__ import annotations

import builtins
import functools
import os
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hivegen
import kelpa
from kelpa_tools import artifacts
from kelpa_tools.artifacts import base

settings.register_profile("test", max_examples=60, deadline=None, derandomize=True, database=None,
                          suppress_health_check=list(HealthCheck))
settings.register_profile("campaign", max_examples=int(os.environ.get("KELPA_HYPOTHESIS_EXAMPLES", "20000")), deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("KELPA_HYPOTHESIS_PROFILE", "test"))

DECODERS = artifacts.decoders()
# Names the decoders read through MRU orders and blobs before any value says so.
COMMON_NAMES = ["", "MRUListEx", "MRUList", "0", "1", "2", "a", "b", "NodeSlot", "F", "V", "C"]
EXCEPTIONS = {name for name, obj in vars(builtins).items() if isinstance(obj, type) and issubclass(obj, BaseException)}


def key_paths(decoder: base.Decoder) -> list[str]:
    """The decoder's keys made concrete (a control set, a name for each wildcard), each with a
    subkey and a subkey of that, for decoders that read every subkey."""
    paths = []
    for declared in decoder.keys:
        path = declared.replace("CurrentControlSet", "ControlSet001").replace("*", "16.0")
        paths += [path, path + "\\Item", path + "\\Item\\0"]
    return list(dict.fromkeys(paths))


@functools.cache
def names_read(name: str) -> dict[str, list[str]]:
    """The value names the decoder asks for under each key of its empty key tree."""
    decoder = base.registered()[name]
    asked: dict[str, set[str]] = {}
    original = base.Context.value

    def recording(self, key, name):
        if key is not None:
            asked.setdefault(base.Context.path_of(key).lower(), set()).add(name)
        return original(self, key, name)

    hive = kelpa.Hive.from_bytes(hivegen.hive_of({p: {} for p in key_paths(decoder)}), strict=False)
    base.Context.value = recording
    try:
        list(artifacts.decode(hive, [decoder.name], hive_type=decoder.hive_types[0]))
    finally:
        base.Context.value = original
    return {path: sorted(names | set(COMMON_NAMES)) for path, names in asked.items()}


TYPES = [0, hivegen.REG_SZ, hivegen.REG_EXPAND_SZ, hivegen.REG_BINARY, hivegen.REG_DWORD, 5, 6, hivegen.REG_MULTI_SZ,
         hivegen.REG_QWORD]


@st.composite
def value_data(draw) -> bytes:
    """Well-formed data of some type, cut, grown or with bytes changed; or random bytes."""
    form = draw(st.sampled_from(["sz", "multi", "dword", "qword", "blob", "random"]))
    if form == "sz":
        data = hivegen.sz(draw(st.text(max_size=40)).replace("\0", ""))
    elif form == "multi":
        data = hivegen.multi_sz([t.replace("\0", "") or "x" for t in draw(st.lists(st.text(max_size=12), max_size=4))])
    elif form == "dword":
        data = struct.pack("<I", draw(st.integers(0, 0xFFFFFFFF)))
    elif form == "qword":
        data = struct.pack("<Q", draw(st.integers(0, 2**64 - 1)))
    elif form == "blob":
        data = draw(st.binary(min_size=16, max_size=600))
    else:
        return draw(st.binary(max_size=64))
    cut = draw(st.integers(0, len(data)))
    if draw(st.booleans()):
        data = data[:cut]
    changes = draw(st.lists(st.tuples(st.integers(0, 599), st.integers(0, 255)), max_size=4))
    buffer = bytearray(data)
    for at, byte in changes:
        if at < len(buffer):
            buffer[at] = byte
    return bytes(buffer)


@st.composite
def values(draw, names: list[str]) -> dict[str, tuple[int, bytes]]:
    chosen = draw(st.lists(st.sampled_from(names), unique=True, max_size=len(names))) if names else []
    chosen += draw(st.lists(st.text(min_size=1, max_size=8).filter(lambda t: "\0" not in t), max_size=2))
    return {name: (draw(st.sampled_from(TYPES) | st.integers(0, 0xFFFF)), draw(value_data())) for name in chosen}


def check(decoder: base.Decoder, hive: kelpa.Hive, hive_type: str) -> list[dict]:
    decoding = artifacts.decode(hive, [decoder.name], hive_type=hive_type)
    rows = [row for _, row in decoding]
    caught = [p for p in decoding.problems() if p.message.split(":", 1)[0] in EXCEPTIONS]
    assert not caught, caught
    columns = {f.name for f in decoder.columns}
    for row in rows:
        assert set(row) <= columns, set(row) - columns
    return rows


@st.composite
def decoder_and_keys(draw) -> tuple[base.Decoder, dict[str, dict[str, tuple[int, bytes]]]]:
    """A decoder and a few of its keys (made concrete), with values of the names it reads."""
    decoder = draw(st.sampled_from(DECODERS))
    read = names_read(decoder.name)
    paths = draw(st.lists(st.sampled_from(key_paths(decoder)), min_size=1, max_size=4, unique=True))
    return decoder, {path: draw(values(read.get(path.lower(), COMMON_NAMES))) for path in paths}


@given(decoder_and_keys())
def test_decoders_read_random_values(drawn):
    decoder, keys = drawn
    hive = kelpa.Hive.from_bytes(hivegen.hive_of(keys), strict=False)
    for hive_type in decoder.hive_types:
        check(decoder, hive, hive_type)


@settings(max_examples=max(10, settings.default.max_examples // 20))
@given(st.dictionaries(st.sampled_from(["Garbage", "Garbage\\Inner", "Other\\Place"]),
                       values(COMMON_NAMES), max_size=3))
def test_keys_elsewhere_give_no_rows(keys):
    hive = kelpa.Hive.from_bytes(hivegen.hive_of(keys), strict=False)
    for decoder in DECODERS:
        for hive_type in decoder.hive_types:
            decoding = artifacts.decode(hive, [decoder.name], hive_type=hive_type)
            assert list(decoding) == [] and decoding.problems() == [], decoder.name
