"""Value lists and value keys: what RegistryKey.values() lists and what value(name) finds; and the bound on
what one call may read out of a hive, four times the image length: a hostile hive that lists one record again
and again gets an error (or, for listed values, empty data), quickly and in memory proportional to the file."""

import struct
import subprocess
import sys
import time

import pytest

import hivegen
from conftest import BAD, error, open_hive, outcome, root_with_values, under_sanitizer, write_hive
from hivegen import REG_DWORD, VALUE_COMP_NAME, dword


def summary(values):
    return [(v.name(), v.value_type().type_id(), v.raw_data()) for v in values]


@pytest.mark.parametrize("value_count, entries, expected", [
    (0, BAD, []),  # the count is tested first: the offset is never followed
    (3, 0xFFFFFFFF, []),
    (3, 0, []),  # 0 would be the first bin header if it were read
    (3, ["Second", "First", "Second"], ["Second", "First", "Second"]),  # a 12-byte list holds exactly 3
    (1, ["First", BAD], ["First"]),  # entries past the count are never read
    (4, ["First"] * 3, "Truncated data at offset {list:#x}: expected 16 bytes, got 12 bytes"),
    # 4 x count in 64 bits: in 32 bits it would wrap to 4 and pass
    (0x40000001, ["First"] * 3, "Truncated data at offset {list:#x}: expected 4294967300 bytes, got 12 bytes"),
    (1, BAD, "Invalid offset 0x7ffffff0 (hive size: {size:#x})"),
    (1, 0xFFFFF000, "Invalid offset 0xfffff000 (hive size: {size:#x})"),
])
def test_value_list(tmp_path, value_count, entries, expected):
    def build(b):
        named = {"First": b.vk("First", REG_DWORD, dword(1)), "Second": b.vk("Second", REG_DWORD, dword(2))}
        return b.value_list([named.get(e, e) for e in entries]) if isinstance(entries, list) else entries
    key, size, value_list = root_with_values(tmp_path, build, value_count=value_count)
    if isinstance(expected, list):
        assert summary(key.values()) == [(n, REG_DWORD, dword(1 if n == "First" else 2)) for n in expected]
        assert outcome(lambda: key.value("x")) == error("Not found: Value 'x'")
        return
    for call in (key.values, lambda: key.value("First")):
        assert outcome(call) == error(expected.format(list=value_list, size=size))


@pytest.mark.parametrize("make, message", [
    # the length is checked before the signature
    (lambda b: b.alloc(hivegen.vk_record("", 4, data_size=0, data_offset=0, signature=b"nk")[:12]),
     "Truncated data at offset {off:#x}: expected 20 bytes, got 12 bytes"),
    (lambda b: b.alloc(b"", size=-4), "Truncated data at offset {off:#x}: expected 20 bytes, got 0 bytes"),
    (lambda b: b.alloc(b"", size=2), "Invalid cell size 2 at offset {off:#x}"),
    (lambda b: b.vk("A", REG_DWORD, dword(1), signature=b"nk"), "Invalid format: Expected 'vk' signature at offset {off:#x}"),
    # exactly 20 bytes of payload: a one-byte name runs past it; a huge one is not cut to 16 bits
    (lambda b: b.vk(b"", REG_DWORD, dword(1), name_length=1), "Truncated data at offset {off:#x}: expected 21 bytes, got 20 bytes"),
    (lambda b: b.vk(b"", REG_DWORD, dword(1), name_length=0xFFFF),
     "Truncated data at offset {off:#x}: expected 65555 bytes, got 20 bytes"),
    (lambda b: b.vk(b"A\x00B", REG_DWORD, dword(1), flags=0), "Invalid UTF-16 string at offset {off:#x}"),
])
def test_value_key_errors(tmp_path, make, message):
    key, _, bad = root_with_values(tmp_path, lambda b: ([b.vk("Good", REG_DWORD, dword(1)), bad := make(b)], bad))
    for call in (key.values, lambda: key.value("Good"), key.values):  # the whole call fails, and again
        assert outcome(lambda: call()) == error(message.format(off=bad))


@pytest.mark.parametrize("stored, flags, name_length, name", [
    (b"", 0, None, "(default)"),
    (b"ab", VALUE_COMP_NAME, 0, "(default)"),  # length 0 wins over bytes and flags
    (b"\x00\x00\x00\x00", 0, None, ""),  # empty, not "(default)"
    ("Größe".encode("utf-16-le"), 0, None, "Größe"),
    (b"Ab", 0xFFFF, None, "Ab"),  # only bit 0 chooses the form
    ("Ab".encode("utf-16-le"), 0xFFFE, None, "Ab"),
    (b"C\xe9\x00b\x00\x00", VALUE_COMP_NAME, None, "C\ufffd\x00b"),  # trailing NULs dropped, inner ones kept
    (b"it's", VALUE_COMP_NAME, None, "it's"),  # the repr does not escape quotes
])
def test_value_names(tmp_path, stored, flags, name_length, name):
    key, _, _ = root_with_values(tmp_path, lambda b: [b.vk(stored, REG_DWORD, dword(1), flags=flags,
                                                           name_length=name_length)])
    [value] = key.values()
    assert (value.name(), repr(value)) == (name, f"RegistryValue(name='{name}')")


LOOKUP_VALUES = [("Path", 1), ("", 2), ("path", 3), ("Ärger", 4), ("a[", 5), ("@x", 6), ("Größe", 7), ("Zz", 8)]


@pytest.fixture(scope="module")
def lookup_key(tmp_path_factory):
    key, _, _ = root_with_values(tmp_path_factory.mktemp("lookup"), lambda b: [
        b.vk(name, REG_DWORD, dword(data)) for name, data in LOOKUP_VALUES])
    return key


@pytest.mark.parametrize("query, name, data", [
    ("PATH", "Path", 1),  # the stored name comes back, not the argument
    ("path", "Path", 1),  # the first match wins over a later exact one
    ("(DEFAULT)", "(default)", 2),
    ("ÄRGER", "Ärger", 4),  # the ASCII letters fold, the Ä matches as it is
    ("A[", "a[", 5),
    ("GRößE", "Größe", 7),
    ("zZ", "Zz", 8),
    # not found: U+00E4 against U+00C4 (non-ASCII letters do not fold); 0x7B is 0x5B | 0x20 and 0x60 is 0x40 | 0x20,
    # but neither pair is a letter
    *[(query, None, None) for query in ("ärger", "a{", "`x", "Path\x00", "Pat", "", "default")],
])
def test_value_lookup(lookup_key, query, name, data):
    assert outcome(lambda: (lambda v: (v.name(), v.raw_data()))(lookup_key.value(name=query))) == (
        error(f"Not found: Value '{query}'") if name is None else (name, dword(data)))


def root_of(tmp_path, b, **fields):
    data = b.build(root=b.nk("ROOT", root=True, **fields))
    return open_hive(tmp_path, data).root_key(), len(data)


def test_repeated_records(tmp_path):
    b = hivegen.HiveBuilder()
    long_vk = b.vk(b"\xff" * 60000, hivegen.REG_DWORD, hivegen.dword(1), flags=1)
    values = b.value_list([long_vk] * 16000)
    subkeys = b.subkey_list("li", [b.nk(b"\xff" * 60000, flags=0x20)] * 5000)
    segment = b.alloc(b"\x07" * 16344)
    db = b.db([segment] * 60000)
    big = b.vk("big", hivegen.REG_BINARY, data_size=0x7FFFFFF0, data_offset=db)
    root, _ = root_of(tmp_path, b, value_count=16000, value_list=values, subkey_count=5000, subkey_list=subkeys)
    started = time.monotonic()
    too_much = error(f"Invalid format: Value list at offset {values:#x} names more value key data than the hive holds")
    assert [outcome(root.values), outcome(lambda: root.value("x")), outcome(root.subkeys)] == [too_much, too_much, error(
        f"Invalid format: Subkey list at offset {subkeys:#x} names more key data than the hive holds")]
    assert time.monotonic() - started < 2
    root, _ = root_of(tmp_path, b, value_count=1, value_list=b.value_list([big]))
    assert outcome(lambda: root.value("big")) == error(
        f"Invalid format: Big data at offset {db:#x} joins more segment data than the hive holds")
    assert [v.data_size() for v in root.values()] == [0]
    # one record again and again, up to the limit and no further
    data = bytes(range(256)) * 60  # 15360 bytes in one data cell
    vk = b.vk("v", hivegen.REG_BINARY, data)
    big = b.vk("big", hivegen.REG_BINARY, data_size=20000, data_offset=b.db([b.alloc(b"ab" * 102)] * 100))
    root, length = root_of(tmp_path, b, value_count=2001, value_list=b.value_list([big] + [vk] * 2000))
    assert root.value("big").raw_data() == b"ab" * 10000  # 20000 bytes from one 208-byte cell
    sizes = [v.data_size() for v in root.values()]
    # whole values up to the limit, then listed with empty data
    full = sizes.index(0)
    assert sizes[0] == 20000 and set(sizes[1:full]) == {len(data)} and set(sizes[full:]) == {0}
    assert 20000 + (full - 1) * len(data) <= 4 * length < 20000 + full * len(data)
    assert root.value("v").raw_data() == data


# Run apart under a limit on the address space that leaves half a GiB: big data declaring 0x7FFFFFF0 bytes in a few
# KiB (reserving the declared size would fail), then key nodes nested in one another's names, each a readable key
# whose name runs to the end of a 65000-byte cell, so that 1.4 MB hold some 400 MB of names: a walk must not cache
# them all. VmHWM, not ru_maxrss, which Linux carries over from the process that forked this one.
MEMORY_BOUNDS = """
import resource, sys, kelpa
status = lambda field: next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith(field))
resource.setrlimit(resource.RLIMIT_AS, ((status("VmSize:") + 512 * 1024) * 1024,) * 2)
key = kelpa.Hive.open(sys.argv[1]).root_key()
print(len(key.value("big").raw_data()), len(key.values()[0].raw_data()))
print(sum(len(k.name()) for p in kelpa.Hive.open(sys.argv[2]).root_key().subkeys() for k in p.subkeys()))
print(status("VmHWM:") // 1024)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or under_sanitizer(),
                    reason="reads /proc and sets RLIMIT_AS, which a sanitizer's reservations exceed")
def test_memory_stays_proportional_to_the_file(tmp_path):
    b = hivegen.HiveBuilder()
    db = b.db([b.alloc(bytes(3000), size=-3004), b.alloc(bytes(500), size=-504)])
    big, _ = root_of(tmp_path, b, value_count=1, value_list=b.value_list([b.vk("big", REG_DWORD, data_size=0x7FFFFFF0,
                                                                                data_offset=db)]))
    b, nested = hivegen.HiveBuilder(), []
    for _ in range(20):
        region = b.alloc(b"A" * 65000)
        for k in range(0, 64000, 104):
            b.patch(region, k, struct.pack("<i", k - 65000) + hivegen.nk_record(b"", flags=0x20, name_length=64920 - k))
            nested.append(region + 4 + k)
    parents = [b.nk(f"p{i}", subkey_count=50, subkey_list=b.subkey_list("li", nested[i * 50:i * 50 + 50]))
               for i in range(len(nested) // 50)]
    data = b.build(root=b.nk("ROOT", subkey_count=len(parents), subkey_list=b.subkey_list("li", parents)))
    run = subprocess.run([sys.executable, "-c", MEMORY_BOUNDS, tmp_path / "hive.dat", write_hive(tmp_path, data, "nested")],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    (lengths, chars, peak_mib) = run.stdout.splitlines()
    assert lengths == "3500 3500" and int(chars) > 250 * len(data)  # every key read, with its whole name
    assert int(peak_mib) < 150  # holding every name would take over 300 MiB
