"""Tolerant reading (strict=False): what cannot be read is left out and listed in problems(), exactly once
and in the order met; the base block problems a forensic reader must read past; and hives from paths of any
kind and from memory, which read exactly as Hive.open and Hive.open_with_logs read."""

import mmap
import os

import pytest

import hivegen
import kelpa
from conftest import error, outcome, write_hive
from hivegen import HiveBuilder


def test_damaged_lists_read_around_what_is_lost():
    image, expected = hivegen.damaged_scene()
    strict = kelpa.Hive.from_bytes(image)
    assert outcome(strict.root_key().subkeys) == error(expected[0][1]) and strict.problems() == []
    hive = kelpa.Hive.from_bytes(image, strict=False)
    keys = list(hive.root_key().walk())
    assert [k.name() for k in keys] == ["ROOT", "A", "B\ufffd", "C", "D"]
    values = keys[1].values() + keys[3].values()
    assert [(v.name(), v.raw_data()) for v in values] == [("good", hivegen.dword(7)), ("lost", b""), ("o\ufffd", b"\1\0\0\0"),
                                                          ("good", hivegen.dword(7))]
    assert hive.problems() == expected and all(type(p) is kelpa.Problem for p in hive.problems())
    # Each problem once: reading again (and by path, and by name) adds nothing.
    assert hive.open_key("b\ufffd").name() == "B\ufffd" and keys[1].value("LOST").raw_data() == b""
    assert [k.name() for k in hive.root_key().subkeys()] == ["A", "B\ufffd", "C", "D"]
    assert hive.problems() == expected


def base_block_image(**fields):
    b = HiveBuilder()
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=b.subkey_list("lf", [b.nk("child")]))
    return b.build(root=root, **fields)


MISMATCH = "Checksum mismatch: expected {stored}, calculated {sum}"
BASE_BLOCKS = [  # base block fields, the strict error, the tolerant problems or (a str) its error
    ({"checksum": 0x1234}, MISMATCH, [MISMATCH]),
    ({"minor": 2}, "Unsupported hive version: 1.2", ["Unsupported hive version: 1.2"]),
    ({"minor": 7, "checksum": 1}, MISMATCH, [MISMATCH, "Unsupported hive version: 1.7"]),
    ({"major": 2, "minor": 5}, "Unsupported hive version: 2.5", "Unsupported hive version: 2.5"),
    ({"major": 0, "checksum": 1}, MISMATCH, "Unsupported hive version: 0.5"),  # no layout to read
    ({"signature": b"rege"}, "Invalid signature: expected regf, found rege", "Invalid signature: expected regf, found rege"),
    # Past the end of the file (dirty or not): read as it is, a problem at the file's end.
    ({"hive_bins_data_size": 0xa1000, "primary_sequence": 3}, None,
     [(0x1000, "Invalid format: Hive bins data size 0xa1000 runs past the end of the file: 0x1000 bytes of bins")]),
    ({"hive_bins_data_size": 0x1000, "primary_sequence": 3}, None, []),
]


@pytest.mark.parametrize("fields, strict_error, tolerant", BASE_BLOCKS)
def test_base_block_problems(fields, strict_error, tolerant):
    image = base_block_image(**fields)
    texts = {"stored": f"{fields.get('checksum', 0):#x}", "sum": f"{hivegen.checksum(image[:512]):#x}"}
    got = {strict: outcome(lambda: kelpa.Hive.from_bytes(image, strict=strict)) for strict in (True, False)}
    if strict_error is not None:
        assert got[True] == error(strict_error.format(**texts))
    if isinstance(tolerant, str):
        assert got[False] == error(tolerant)
        return
    assert got[False].problems() == [p if isinstance(p, tuple) else (None, p.format(**texts)) for p in tolerant]
    assert strict_error is not None or got[True].problems() == []
    assert [k.name() for k in got[False].root_key().walk()] == ["ROOT", "child"]


def test_short_file_is_refused_in_both_modes(tmp_path):
    for strict in (True, False):
        assert outcome(lambda: kelpa.Hive.from_bytes(base_block_image()[:4095], strict=strict)) == error(
            "Hive too small: 4095 bytes (minimum: 4096 bytes)")


def test_problems_stop_at_ten_thousand():
    b = HiveBuilder(bin_size=0x10000)
    bad = [0x100000 + 8 * i for i in range(10_005)]  # past the image, each at its own offset
    root = b.nk("ROOT", root=True, subkey_count=len(bad), subkey_list=b.subkey_list("li", bad))
    hive = kelpa.Hive.from_bytes(b.build(root=root), strict=False)
    assert hive.root_key().subkeys() == [] and hive.root_key().subkeys() == []
    problems = hive.problems()
    assert len(problems) == 10_001 and problems[9_999] == (bad[9_999], f"Invalid offset {bad[9_999]:#x} (hive size: 0x11000)")
    assert problems[-1] == (None, "More problems were met; only the first 10000 are listed")


def test_memory_buffers(tmp_path):
    image, _ = hivegen.damaged_scene()
    data = bytearray(image)
    copied = kelpa.Hive.from_bytes(data, strict=False)
    data[:] = bytes(len(data))  # a writable buffer was copied once
    assert [k.name() for k in copied.root_key().walk()][:2] == ["ROOT", "A"]
    view = memoryview(image)
    borrowed = kelpa.Hive.from_bytes(view, strict=False)
    with pytest.raises(BufferError):  # a read-only buffer stays exported while the hive holds it
        view.release()
    del borrowed
    view.release()
    with open(write_hive(tmp_path, image), "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        hive = kelpa.Hive.from_bytes(m, strict=False)
        assert hive.save(str(tmp_path / "saved")) is None and (tmp_path / "saved").read_bytes() == image
        del hive


def test_paths_of_any_kind_and_logs_in_memory(tmp_path):
    image = base_block_image(primary_sequence=2)
    log = hivegen.transaction_log(2, [[(4096, image[4096:4112])]])  # a page that writes what is there
    name = os.fsdecode(b"hive-\xff")  # not UTF-8: a surrogate escape in the str
    write_hive(tmp_path, image, name)
    (tmp_path / "hive.LOG1").write_bytes(log)
    paths = [str(tmp_path / name), os.fsencode(tmp_path / name), tmp_path / name]
    hives = [kelpa.Hive.from_path(p) for p in paths] + [kelpa.Hive.from_bytes(image)]
    assert {tuple(k.name() for k in h.root_key().walk()) for h in hives} == {("ROOT", "child")}
    log_path = tmp_path / "hive.LOG1"
    replays = [kelpa.Hive.from_path(paths[1], None, os.fsencode(log_path)), kelpa.Hive.from_bytes(image, log)]
    assert [[(r.path, r.layout, r.applied) for r in h.log_replay()] for h in replays] == [
        [(str(log_path), "blocks", True)], [("<log1>", "blocks", True)]]
    assert outcome(lambda: kelpa.Hive.from_path(str(tmp_path / "a\0b"))) == error(
        "file name contained an unexpected NUL byte", OSError)


def test_key_identity_filetime_and_value_type_equality():
    b = HiveBuilder()
    v = b.vk("v", 0x20, b"abc")
    root = b.nk("ROOT", root=True, last_written=132000000000000001, value_count=1, value_list=b.value_list([v]))
    image = b.build(root=root)
    one, two = kelpa.Hive.from_bytes(image), kelpa.Hive.from_bytes(image)
    assert one.root_key() == one.root_key() and hash(one.root_key()) == hash(one.root_key())
    assert one.root_key() != two.root_key() and one.root_key() != "ROOT"
    assert one.root_key().last_written_filetime() == 132000000000000001
    a, c = one.root_key().values()[0].value_type(), two.root_key().values()[0].value_type()
    assert (a == c, a != c, hash(a), int(a), a == 0x20) == (True, False, hash(0x20), 0x20, False)
