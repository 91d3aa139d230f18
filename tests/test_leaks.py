"""Leak loops, one per object kind: every method, the failing calls included, thousands of times.

After a warm-up the loop runs again, and three measures must not grow with it: the allocated
blocks (a lost reference), the objects the garbage collector tracks (lost lists), and the
resident memory (C++ buffers never freed). The last is left out under a sanitizer, whose
quarantine keeps freed memory; LeakSanitizer checks the C++ side at exit there instead.
"""

from __future__ import annotations

import gc
import os
import pathlib
import struct
import sys
import types
from collections.abc import Callable

import pytest

import hivegen
import kelpa
from conftest import under_sanitizer

WARMUP = 300
ITERATIONS = 2000
# A leak of one object per call shows as ITERATIONS; the allowance covers the noise of
# freelists and the interpreter's own caches.
BLOCK_ALLOWANCE = ITERATIONS // 10
RSS_ALLOWANCE = 4 << 20  # a lost copy of the 40000-byte value per call would be 80 MB


def resident_bytes() -> int:
    return int(pathlib.Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect(error: type[BaseException], call: Callable, *args, **kwargs) -> None:
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> types.SimpleNamespace:
    tmp = tmp_path_factory.mktemp("leaks")
    sample = hivegen.write_tree(tmp / "sample", hivegen.sample_tree())
    # Both logs rename the root key (LOG2 first: its sequence is lower); LOG2 also grows the
    # image to 1 MiB.
    root = struct.unpack_from("<I", sample.read_bytes(), 36)[0]
    name_at = 0x1000 + root + 4 + hivegen.NK_FIXED_SIZE
    (tmp / "log1").write_bytes(hivegen.transaction_log(2, [[(name_at, b"LOG1")]]))
    (tmp / "log2").write_bytes(hivegen.transaction_log(1, [[(name_at, b"LOG2"), (0x100000, b"\1")]]))

    # A hive whose every read can fail: the subkey list has an unknown type, one value's
    # string data is of odd length, another's big data names a cell without "db".
    b = hivegen.HiveBuilder()
    bad_list = b.alloc(b"zz\x01\x00\x20\x00\x00\x00")
    odd = b.vk("odd", hivegen.REG_SZ, b"abc")
    not_db = b.vk("bigbad", hivegen.REG_BINARY, data_size=20000, data_offset=bad_list, data=b"")
    values = b.value_list([odd, not_db])
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=bad_list, value_count=2, value_list=values)
    hostile = b.write(tmp / "hostile", root=root)

    b = hivegen.HiveBuilder()
    root = b.nk("ROOT", root=True)
    b.poke(b.start_bin() + 8, struct.pack("<I", 0))
    zero_bin = b.write(tmp / "zero-bin", root=root)

    return types.SimpleNamespace(
        sample=str(sample), log1=str(tmp / "log1"), log2=str(tmp / "log2"), hostile=str(hostile),
        zero_bin=str(zero_bin), missing=str(tmp / "missing"), saved=str(tmp / "saved"),
        unwritable=str(tmp / "no-such-folder" / "saved"))


def walk(key: kelpa.RegistryKey) -> list[kelpa.RegistryKey]:
    keys, pending = [], [key]
    while pending:
        key = pending.pop()
        keys.append(key)
        pending.extend(key.subkeys())
    return keys


def sample_values(files) -> list[kelpa.RegistryValue]:
    return [v for k in walk(kelpa.Hive.open(files.sample).root_key()) for v in k.values()]


def hive_calls(files) -> Callable[[], None]:
    zero_bin = kelpa.Hive.open(files.zero_bin)

    def run() -> None:
        hive = kelpa.Hive.open(files.sample)
        repr(hive), hive.base_block(), hive.root_key(), hive.hbins(), hive.save(files.saved)
        kelpa.Hive.open_with_logs(files.sample, files.log1, files.log2).root_key().name()
        kelpa.Hive.open_with_logs(hive_path=files.sample, log2_path=files.missing).log_replay()
        expect(OSError, kelpa.Hive.open, files.missing)
        expect(OSError, kelpa.Hive.open_with_logs, files.missing, files.log1)
        expect(ValueError, kelpa.Hive.open, files.log1)
        expect(OSError, hive.save, files.unwritable)
        expect(ValueError, zero_bin.hbins)
        expect(TypeError, kelpa.Hive.open, 1)
        expect(TypeError, kelpa.Hive.open, files.sample, path=files.sample)
        expect(TypeError, kelpa.Hive.open_with_logs, files.sample, 2)
        expect(TypeError, kelpa.Hive)

    return run


def base_block_calls(files) -> Callable[[], object]:
    hive = kelpa.Hive.open(files.sample)
    names = ("signature", "primary_sequence", "secondary_sequence", "root_cell_offset", "hive_length", "file_name",
             "hive_bins_data_size", "is_dirty")
    return lambda: [repr(b := hive.base_block()), *(getattr(b, n) for n in names)]


def registry_key_calls(files) -> Callable[[], None]:
    hostile = kelpa.Hive.open(files.hostile).root_key()

    def run() -> None:
        # The hive object goes at once: the keys keep the hive alive on their own.
        keys = walk(kelpa.Hive.open(files.sample).root_key())
        for key in keys:
            key.name(), key.subkey_count(), key.value_count(), key.last_written_timestamp(), repr(key), key.values()
        tcpip = next(k for k in keys if k.name() == "Tcpip")
        tcpip.value("Blob"), tcpip.value(name="start")
        expect(ValueError, tcpip.value, "no such value")
        expect(TypeError, tcpip.value, 1)
        expect(ValueError, hostile.subkeys)
        expect(ValueError, hostile.value, "bigbad")
        hostile.values()

    return run


def registry_value_calls(files) -> Callable[[], None]:
    values = sample_values(files)
    odd = kelpa.Hive.open(files.hostile).root_key().value("odd")

    def run() -> None:
        for value in values:
            value.name(), value.value_type(), value.data(), value.raw_data(), value.data_size(), repr(value)
        expect(ValueError, odd.data)

    return run


def value_data_calls(files) -> Callable[[], None]:
    data = [v.data() for v in sample_values(files)]
    methods = ("is_none", "is_string", "is_binary", "is_dword", "is_qword", "is_multi_string",
               "as_string", "as_binary", "as_dword", "as_qword", "as_multi_string")

    def run() -> None:
        for d in data:
            str(d)
            for method in methods:
                try:
                    getattr(d, method)()
                except ValueError:  # the accessor of another variant
                    pass

    return run


def value_type_calls(files) -> Callable[[], object]:
    types_ = [v.value_type() for v in sample_values(files)]
    return lambda: [(t.type_name(), t.type_id(), repr(t)) for t in types_]


def hbin_header_calls(files) -> Callable[[], object]:
    hive = kelpa.Hive.open(files.sample)
    return lambda: [(h.signature, h.offset, h.size, repr(h)) for h in hive.hbins()]


def measure() -> tuple[int, int, int]:
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects()), resident_bytes()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("calls", [
    hive_calls, base_block_calls, registry_key_calls, registry_value_calls, value_data_calls,
    value_type_calls, hbin_header_calls,
], ids=lambda calls: calls.__name__.removesuffix("_calls"))
def test_memory_stops_growing(files, calls):
    run = calls(files)
    for _ in range(WARMUP):
        run()
    blocks, objects, resident = measure()
    for _ in range(ITERATIONS):
        run()
    blocks_after, objects_after, resident_after = measure()
    assert blocks_after - blocks < BLOCK_ALLOWANCE
    assert objects_after - objects < BLOCK_ALLOWANCE
    if not under_sanitizer():
        assert resident_after - resident < RSS_ALLOWANCE
