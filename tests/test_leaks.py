"""A leak loop: every method of every class, the failing calls included, run thousands of times after a
warm-up. Allocated blocks, objects tracked by the collector and (outside a sanitizer, whose quarantine keeps
freed memory) resident memory must not grow with the loop."""

import gc
import os
import pathlib
import struct
import sys

import pytest

import hivegen
import kelpa
import walk_hive
from conftest import under_sanitizer

WARMUP, ITERATIONS = 300, 2000
ALLOWANCE = ITERATIONS // 10  # a leak of one object per call shows as ITERATIONS
RSS_ALLOWANCE = 4 << 20  # a lost copy of the 40000-byte value per call would be 80 MB


def hostile_hive(path):
    """Every read fails: an unknown subkey list type, odd string data, big data without "db", a bin of size 0."""
    b = hivegen.HiveBuilder()
    bad_list = b.alloc(b"zz\x01\x00\x20\x00\x00\x00")
    values = b.value_list([b.vk("odd", hivegen.REG_SZ, b"abc"),
                           b.vk("bigbad", hivegen.REG_BINARY, b"", data_size=20000, data_offset=bad_list)])
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=bad_list, value_count=2, value_list=values)
    b.poke(b.start_bin() + 8, struct.pack("<I", 0))
    return str(b.write(path, root=root))


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


def steps(tmp):
    sample, log = map(str, walk_hive.sample_with_log(tmp))
    hostile, deleted, missing = hostile_hive(tmp / "hostile"), str(tmp / "deleted"), str(tmp / "missing")
    (tmp / "deleted").write_bytes(hivegen.deleted_scene()[0])
    hive = kelpa.Hive.open(sample)
    yield lambda: [touch(h) for h in (hive, kelpa.Hive.open(hostile), kelpa.Hive.open(deleted),
                                      kelpa.Hive.open_with_logs(hive_path=sample, log1_path=log, log2_path=missing))]
    yield lambda: [touch(x) for x in (hive.base_block(), *hive.hbins(), *kelpa.Hive.open_with_logs(
        sample, log, missing).log_replay())]
    yield lambda: hive.save(str(tmp / "saved"))

    def keys_and_values():  # the keys keep the hive alive on their own
        keys = list(kelpa.Hive.open(sample).root_key().walk())
        values = [v for k in keys for v in k.values()] + kelpa.Hive.open(deleted).deleted_values()
        [(touch(k), k.open_key("")) for k in keys + [kelpa.Hive.open(hostile).root_key(),
                                                     *kelpa.Hive.open(deleted).deleted_keys()]]
        [(touch(v), touch(v.data()), str(v.data()), touch(v.value_type())) for v in values]
        keys[0].open_key(walk_hive.PARAMETERS).value(name="hostname")
    yield keys_and_values
    def hostile_root():
        return kelpa.Hive.open(hostile).root_key()
    for error, call in [  # each call makes its objects afresh, so that one leaked per call shows
            (OSError, lambda: kelpa.Hive.open(missing)), (ValueError, lambda: kelpa.Hive.open(log)),
            (OSError, lambda: kelpa.Hive.open_with_logs(missing, log)),
            (OSError, lambda: hive.save(str(tmp / "no-such" / "saved"))), (TypeError, lambda: kelpa.Hive.open(1)),
            (TypeError, lambda: kelpa.Hive.open_with_logs("x", 2)), (TypeError, kelpa.Hive),
            (ValueError, lambda: hive.root_key().value("no such value")), (TypeError, lambda: hive.root_key().value(1)),
            (ValueError, lambda: hive.open_key("no\\such\\key")), (ValueError, lambda: hostile_root().subkeys()),
            (ValueError, lambda: hostile_root().value("bigbad")), (ValueError, lambda: hostile_root().value("odd").data())]:
        yield lambda error=error, call=call: pytest.raises(error, call)


def measure():
    gc.collect()
    resident = int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return sys.getallocatedblocks(), len(gc.get_objects()), resident


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_memory_stops_growing(tmp_path):
    loop = list(steps(tmp_path))
    for _ in range(WARMUP):
        for step in loop:
            step()
    before = measure()
    for _ in range(ITERATIONS):
        for step in loop:
            step()
    after = measure()
    assert after[0] - before[0] < ALLOWANCE and after[1] - before[1] < ALLOWANCE
    if not under_sanitizer():
        assert after[2] - before[2] < RSS_ALLOWANCE
