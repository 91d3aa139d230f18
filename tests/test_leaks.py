"""One leak loop per object kind: every method, the failing calls included, run thousands of times
after a warm-up. Allocated blocks, objects tracked by the collector and (outside a sanitizer, whose
quarantine keeps freed memory) resident memory must not grow with the loop."""

import gc
import os
import pathlib
import struct
import sys
import types

import pytest

import hivegen
import kelpa
from conftest import under_sanitizer

WARMUP, ITERATIONS = 300, 2000
ALLOWANCE = ITERATIONS // 10  # a leak of one object per call shows as ITERATIONS
RSS_ALLOWANCE = 4 << 20  # a lost copy of the 40000-byte value per call would be 80 MB


@pytest.fixture(scope="module")
def f(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("leaks")
    sample = hivegen.write_tree(tmp / "sample", hivegen.sample_tree())
    # Both logs rename the root key (LOG2 first: its sequence is lower); LOG2 also grows the image.
    name_at = 0x1000 + struct.unpack_from("<I", sample.read_bytes(), 36)[0] + 4 + hivegen.NK_FIXED_SIZE
    (tmp / "log1").write_bytes(hivegen.transaction_log(2, [[(name_at, b"LOG1")]]))
    (tmp / "log2").write_bytes(hivegen.transaction_log(1, [[(name_at, b"LOG2"), (0x100000, b"\1")]]))
    # Every read can fail: an unknown subkey list type, odd string data, big data without "db", a bin of size 0.
    b = hivegen.HiveBuilder()
    bad_list = b.alloc(b"zz\x01\x00\x20\x00\x00\x00")
    values = b.value_list([b.vk("odd", hivegen.REG_SZ, b"abc"),
                           b.vk("bigbad", hivegen.REG_BINARY, b"", data_size=20000, data_offset=bad_list)])
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=bad_list, value_count=2, value_list=values)
    b.poke(b.start_bin() + 8, struct.pack("<I", 0))
    hostile = b.write(tmp / "hostile", root=root)
    return types.SimpleNamespace(sample=str(sample), log1=str(tmp / "log1"), log2=str(tmp / "log2"),
                                 hostile=str(hostile), missing=str(tmp / "missing"), saved=str(tmp / "saved"),
                                 unwritable=str(tmp / "no-such-folder" / "saved"))


def fails(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


def public(obj):
    return [getattr(obj, name) for name in dir(obj) if not name.startswith("_")]


def hive_calls(f):
    hive, hostile = kelpa.Hive.open(f.sample), kelpa.Hive.open(f.hostile)
    yield lambda: (repr(hive), hive.base_block(), hive.root_key(), hive.hbins(), hive.save(f.saved))
    yield lambda: kelpa.Hive.open_with_logs(f.sample, f.log1, f.log2).root_key().name()
    yield lambda: kelpa.Hive.open_with_logs(hive_path=f.sample, log2_path=f.missing).log_replay()
    for error, call, *args in [(OSError, kelpa.Hive.open, f.missing), (ValueError, kelpa.Hive.open, f.log1),
                               (OSError, kelpa.Hive.open_with_logs, f.missing, f.log1), (OSError, hive.save, f.unwritable),
                               (ValueError, hostile.hbins), (TypeError, kelpa.Hive.open, 1),
                               (TypeError, kelpa.Hive.open_with_logs, "x", 2), (TypeError, kelpa.Hive)]:
        yield lambda error=error, call=call, args=args: fails(error, call, *args)
    yield lambda: fails(TypeError, kelpa.Hive.open, f.sample, path=f.sample)


def registry_key_calls(f):
    hostile = kelpa.Hive.open(f.hostile).root_key()

    def sample():  # the keys keep the hive alive on their own
        for key in (keys := list(kelpa.Hive.open(f.sample).root_key().walk())):
            key.name(), key.subkey_count(), key.value_count(), key.last_written_timestamp(), repr(key), key.values()
        tcpip = next(k for k in keys if k.name() == "Tcpip")
        tcpip.value("Blob"), tcpip.value(name="start")
        fails(ValueError, tcpip.value, "no such value")
        fails(TypeError, tcpip.value, 1)
    yield from (sample, lambda: fails(ValueError, hostile.subkeys), lambda: fails(ValueError, hostile.value, "bigbad"),
                hostile.values)


def value_calls(f):
    values = [v for k in kelpa.Hive.open(f.sample).root_key().walk() for v in k.values()]
    odd = kelpa.Hive.open(f.hostile).root_key().value("odd")
    yield lambda: [(v.name(), v.value_type(), v.data(), v.raw_data(), v.data_size(), repr(v)) for v in values]
    yield lambda: fails(ValueError, odd.data)
    data, kinds = [v.data() for v in values], [v.value_type() for v in values]
    yield lambda: [str(d) for d in data] + [(t.type_name(), t.type_id(), repr(t)) for t in kinds]

    def accessors():  # is_* and as_*, the accessors of other variants raising ValueError
        for method in (m for d in data for m in public(d)):
            try:
                method()
            except ValueError:
                pass
    yield accessors


def header_calls(f):
    hive = kelpa.Hive.open(f.sample)
    yield lambda: [repr(b := hive.base_block()), *public(b)]
    yield lambda: [(h.signature, h.offset, h.size, repr(h)) for h in hive.hbins()]


def measure():
    gc.collect()
    resident = int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return sys.getallocatedblocks(), len(gc.get_objects()), resident


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("calls", [hive_calls, registry_key_calls, value_calls, header_calls],
                         ids=["hive", "registry-key", "value-data-type", "base-block-hbin-header"])
def test_memory_stops_growing(f, calls):
    steps = list(calls(f))
    for _ in range(WARMUP):
        for step in steps:
            step()
    before = measure()
    for _ in range(ITERATIONS):
        for step in steps:
            step()
    after = measure()
    assert after[0] - before[0] < ALLOWANCE and after[1] - before[1] < ALLOWANCE
    if not under_sanitizer():
        assert after[2] - before[2] < RSS_ALLOWANCE
