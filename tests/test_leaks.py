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

import delgen
import hivegen
import sample_hive
import kelpa
from conftest import under_sanitizer

WARMUP, ITERATIONS = 300, 2000
ALLOWANCE = ITERATIONS // 10  # a leak of one object per call shows as ITERATIONS
RSS_ALLOWANCE = 4 << 20  # a lost copy of the 40000-byte value per call would be 80 MB


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("leaks")
    sample = hivegen.write_tree(tmp / "sample", sample_hive.sample_tree())
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
    b.write(tmp / "hostile", root=root)
    (tmp / "deleted").write_bytes(delgen.scene()[0])
    return types.SimpleNamespace(**{n: str(tmp / n) for n in ("sample", "log1", "log2", "hostile", "deleted", "missing",
                                                              "saved")}, unwritable=str(tmp / "no-such-folder" / "saved"))


def fails(error, call, *args):
    with pytest.raises(error):
        call(*args)


def touch(obj):
    """Its repr and every public member: properties read, methods called without arguments (those
    that need some raise TypeError; accessors of another variant and damaged records ValueError)."""
    out = [repr(obj)]
    for name in (n for n in dir(obj) if not n.startswith("_")):
        try:
            member = getattr(obj, name)
            out.append(list(member()) if name == "walk" else member() if callable(member) else member)
        except (TypeError, ValueError):
            pass
    return out


def hive_calls(f):
    hive = kelpa.Hive.open(f.sample)
    yield lambda: [touch(h) for h in (hive, kelpa.Hive.open(f.hostile), kelpa.Hive.open(f.deleted),
                                      kelpa.Hive.open_with_logs(f.sample, f.log1, f.log2),
                                      kelpa.Hive.open_with_logs(hive_path=f.sample, log2_path=f.missing))]
    yield lambda: hive.save(f.saved)
    for error, call, *args in [(OSError, kelpa.Hive.open, f.missing), (ValueError, kelpa.Hive.open, f.log1),
                               (OSError, kelpa.Hive.open_with_logs, f.missing, f.log1), (OSError, hive.save, f.unwritable),
                               (TypeError, kelpa.Hive.open, 1), (TypeError, kelpa.Hive.open_with_logs, "x", 2),
                               (TypeError, kelpa.Hive)]:
        yield lambda error=error, call=call, args=args: fails(error, call, *args)


def key_and_value_calls(f):
    hostile = kelpa.Hive.open(f.hostile).root_key()
    others = [hostile, *kelpa.Hive.open(f.deleted).deleted_keys()]
    values = [v for k in kelpa.Hive.open(f.sample).root_key().walk() for v in k.values()]
    values += kelpa.Hive.open(f.deleted).deleted_values()

    def sample():  # the keys keep the hive alive on their own
        keys = list(kelpa.Hive.open(f.sample).root_key().walk())
        [touch(key) for key in keys]
        tcpip = next(k for k in keys if k.name() == "Tcpip")
        tcpip.value("Blob"), tcpip.value(name="start"), keys[0].open_key(r"ControlSet001\Services")
        fails(ValueError, tcpip.value, "no such value")
        fails(TypeError, tcpip.value, 1)
    yield from (sample, lambda: [touch(k) for k in others], lambda: fails(ValueError, hostile.value, "bigbad"))
    yield lambda: [(touch(v), touch(v.data()), str(v.data()), touch(v.value_type())) for v in values]
    yield lambda: fails(ValueError, hostile.value("odd").data)


def header_calls(f):
    hive, replayed = kelpa.Hive.open(f.sample), kelpa.Hive.open_with_logs(f.sample, f.log1, f.missing)
    yield lambda: [touch(x) for x in (hive.base_block(), *hive.hbins(), *replayed.log_replay())]


def measure():
    gc.collect()
    resident = int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return sys.getallocatedblocks(), len(gc.get_objects()), resident


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("calls", [hive_calls, key_and_value_calls, header_calls],
                         ids=["hive", "key-value-data-type", "base-block-hbin-header-log-replay"])
def test_memory_stops_growing(files, calls):
    steps = list(calls(files))
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
