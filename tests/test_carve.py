"""Carving: sources laid out here from synthetic hives (and a few shared ones) among random and zero
data, carved into a folder and read back: whole and reassembled hives byte for byte, fragments key
by key."""

import csv
import json
import os
import random
import struct
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES, corpus_params
from kelpa_tools import carve as carving

SECTOR, PAGE = 512, 4096


def synthetic(name: str, keys: int, seed: int, big: bool = True) -> bytes:
    """A hive of `keys` keys with a value of 100 to 900 random bytes each, over several bins; with
    `big`, one value of 6000 bytes that takes a bin of 8 KiB."""
    rng = random.Random(seed)
    root = hivegen.Key(name, subkeys=[
        hivegen.Key(f"{name}{i}", values=[hivegen.Value("v", hivegen.REG_BINARY, rng.randbytes(rng.randrange(100, 900)))])
        for i in range(keys)])
    if big:
        root.subkeys[3].values.append(hivegen.Value("big", hivegen.REG_BINARY, rng.randbytes(6000)))
    return hivegen.build_tree(root)


def image_of(hive: bytes) -> bytes:
    """The base block and the bins the base block counts."""
    return hive[:PAGE + struct.unpack_from("<I", hive, 40)[0]]


def bin_starts(hive: bytes) -> list[int]:
    starts, at, end = [], PAGE, len(image_of(hive))
    while at < end:
        starts.append(at)
        at += struct.unpack_from("<I", hive, at + 8)[0]
    return starts


def runs(hive: bytes, k: int) -> list[bytes]:
    """The image cut at bin boundaries into k runs (the first holds the base block)."""
    starts = bin_starts(hive)
    cuts = [0] + [starts[i * len(starts) // k] for i in range(1, k)] + [len(image_of(hive))]
    return [hive[a:b] for a, b in zip(cuts, cuts[1:])]


def noise(rng: random.Random, sectors: int) -> bytes:
    return rng.choice([rng.randbytes, bytes])(sectors * SECTOR)


def scattered(rng: random.Random, pieces: list[bytes]) -> bytes:
    return b"".join(noise(rng, rng.randrange(1, 9)) + p for p in pieces) + noise(rng, 3)


# Each layout: (rng, hive A, hive B) -> (source, [(kind, expected image or None for a fragment)]).
def among_data(rng, a, b):
    return scattered(rng, [a, b]), [("hive", image_of(a)), ("hive", image_of(b))]


def split(k):
    def layout(rng, a, b):
        parts = runs(a, k)
        rest = parts[1:]
        rest.reverse()  # out of order
        return scattered(rng, [parts[0], *rest]), [("reassembled", image_of(a))]
    return layout


def cut_short(rng, a, b):
    first = runs(a, 2)[0]
    return scattered(rng, [first]), [("reassembled", first)]


def interleaved(rng, a, b):
    ra, rb = runs(a, 3), runs(b, 4)
    return scattered(rng, [ra[0], rb[0], ra[2], rb[3], rb[1], ra[1], rb[2]]), \
        [("reassembled", image_of(a)), ("reassembled", image_of(b))]


def shuffled_pages(rng, a, b):
    pages = [a[i:i + PAGE] for i in range(0, len(image_of(a)), PAGE)] + [rng.randbytes(PAGE) for _ in range(6)]
    rng.shuffle(pages)
    return b"".join(pages), [("reassembled", image_of(a))]


def without_base_block(rng, a, b):
    parts = runs(a, 3)
    return scattered(rng, [parts[2], parts[1]]), [("fragment", None)]


LAYOUTS = [among_data, split(2), split(5), cut_short, interleaved, shuffled_pages, without_base_block]


def values_by_key(hive: kelpa.Hive) -> dict[str, list[list[tuple]]]:
    """Each key name (below the root) with the values of every key of that name."""
    keys: dict[str, list[list[tuple]]] = {}
    for key in hive.root_key().walk():
        if key != hive.root_key():
            keys.setdefault(key.name(), []).append(
                [(v.name(), v.value_type().type_id(), v.raw_data()) for v in key.values()])
    return keys


def agrees(values: list[tuple], original: list[tuple]) -> bool:
    """Every value read from a fragment is one of the original key's, its data the same or, where
    it lies in a bin that is missing, empty."""
    return all(any(v[:2] == o[:2] and v[2] in (o[2], b"") for o in original) for v in values)


def check_carved(tmp_path, source: bytes, expected: list, originals: list[bytes]) -> list[carving.Carved]:
    (tmp_path / "source").write_bytes(source)
    out = tmp_path / "out"
    out.mkdir()
    result = carving.carve_source(str(tmp_path / "source"), str(out))
    carved = sorted(result.carved, key=lambda c: c.offset)
    assert sorted(c.kind for c in carved) == sorted(kind for kind, _ in expected)
    images = {image for kind, image in expected if image is not None}
    known: dict[str, list[list[tuple]]] = {}
    for original in originals:
        for name, lists in values_by_key(kelpa.Hive.from_bytes(original)).items():
            known.setdefault(name, []).extend(lists)
    for c in carved:
        written = (out / c.output).read_bytes()
        if c.kind == "fragment":  # every key it holds is the original's, with its values or none
            hive = kelpa.Hive.from_path(str(out / c.output), strict=False)
            keys = values_by_key(hive)
            assert all(key.path() for key in hive.root_key().walk() if key != hive.root_key())  # parents stand in
            assert len(keys) > 10 and all(any(agrees(values, original) for original in known[name])
                                          for name, lists in keys.items() for values in lists)
        else:
            assert written in images
            images.discard(written)
            assert c.bytes_missing == struct.unpack_from("<I", written, 40)[0] + PAGE - len(written)
    return carved


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__qualname__.split(".")[0])
def test_layouts_of_synthetic_hives(tmp_path, layout):
    a, b = synthetic("Alpha", 40, 1, big=layout is not shuffled_pages), synthetic("Beta", 70, 2)
    source, expected = layout(random.Random(7), a, b)
    check_carved(tmp_path, source, expected, [a, b])


SHARED = ("nthive__testhive", "regipy__NTUSER-WSL.DAT", "aiowinreg__win2008_32_sam.reg")


@pytest.mark.parametrize("record", corpus_params(keep=lambda r: r["file"] in SHARED))
@pytest.mark.parametrize("layout", [split(4), interleaved, shuffled_pages], ids=["split", "interleaved", "pages"])
def test_layouts_of_shared_hives(tmp_path, record, layout):
    a = (SHARED_HIVES / record["file"]).read_bytes()
    b = synthetic("Beta", 70, 2)
    if layout is shuffled_pages and record["hbin_sizes"].keys() != {"4096"}:
        pytest.skip("pages hold whole bins only when every bin is 4 KiB")
    source, expected = layout(random.Random(3), a, b)
    carved = check_carved(tmp_path, source, expected, [a, b])
    assert any(c.file_name == record["embedded_file_name"] for c in carved)


def test_hostile_sources_stay_within_what_was_found():
    rng = random.Random(5)
    hostile = bytearray(rng.randbytes(2 << 20))
    for at in range(0, len(hostile), SECTOR):
        if rng.random() < 0.5:
            struct.pack_into("<4sII", hostile, at, b"hbin", rng.choice([0, 0x1000, rng.randrange(1 << 32)]) & ~0xFFF,
                             rng.choice([0x1000, 0x2000, 0x7FFFF000, 0xFFFFF000]))
        else:
            block = hivegen.base_block(hive_bins_data_size=rng.choice([0x1000, 0x7FFFF000]))
            hostile[at:at + SECTOR] = block[:SECTOR]
    whole = synthetic("Alpha", 10, 1)
    hostile[0x10000:0x10000 + len(whole)] = whole  # found all the same
    for source in (rng.randbytes(1 << 20), bytes(hostile)):
        found = kelpa.carve(source)
        assert sum(h.bytes_found for h in found) <= len(source)
        for h in found:  # bins placed from elsewhere tile with cells, which random ones do not
            assert h.kind != "fragment" and h.size == PAGE + h.bytes_found and len(h.pieces) == 2
    size = len(image_of(whole)) - PAGE
    assert ("hive", [(0, 0x10000, PAGE), (PAGE, 0x10000 + PAGE, size)]) in [(h.kind, h.pieces) for h in found]


def test_progress_and_argument_errors():
    seen = []
    assert kelpa.carve(bytes(3 * SECTOR), progress=seen.append) == [] and seen == [3 * SECTOR]
    with pytest.raises(ZeroDivisionError):
        kelpa.carve(bytes(SECTOR), progress=lambda n: 1 / 0)
    with pytest.raises(TypeError, match="argument 'data': a bytes-like object is required, not 'str'"):
        kelpa.carve("source")


def kelpa_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "kelpa_cli", *args], capture_output=True, text=True)


def test_command_writes_hives_and_manifest_once(tmp_path):
    a = synthetic("Alpha", 40, 1)
    source, _ = split(3)(random.Random(1), a, None)
    (src := tmp_path / "disk.img").write_bytes(source + a)
    out = tmp_path / "out"
    done = kelpa_cli("carve", str(src), "-o", str(out), "-j", "1", "--json")
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader((out / "manifest.csv").read_text().splitlines()))
    assert [{k: str(v) for k, v in r.items()} for r in json.loads((out / "manifest.json").read_text())] == rows
    assert [(r["kind"], r["bins_found"], r["bytes_missing"], r["hive_type"]) for r in rows] == \
        [("reassembled", str(len(bin_starts(a))), "0", "OTHER"), ("hive", str(len(bin_starts(a))), "0", "OTHER")]
    assert sorted(os.listdir(out)) == sorted(["manifest.csv", "manifest.json", *(r["output"] for r in rows)])
    assert kelpa_cli("timeline", str(out)).stdout.count(",Alpha3\n") == 2
    small = kelpa_cli("carve", str(src), "-o", str(tmp_path / "none"), "--min-size", str(len(a)))
    assert (small.stdout, os.listdir(tmp_path / "none")) == (
        f"0 hives, 0 reassembled, 0 fragments written to {tmp_path / 'none'}; 2 below --min-size left out; "
        f"manifest {tmp_path / 'none' / 'manifest.csv'}\n", ["manifest.csv"])
    refused = [kelpa_cli("carve", str(src), "-o", str(out)), kelpa_cli("carve", str(src), "-o", str(src)),
               kelpa_cli("carve", str(out), "-o", str(tmp_path / "new")), kelpa_cli("carve", str(src), "-o", str(tmp_path))]
    assert [(r.returncode, r.stderr) for r in refused] == [
        (2, f"kelpa: {out / 'manifest.csv'}: exists; carve into a new folder\n"),
        (2, f"kelpa: {src}: is the input {src}; refusing to write over evidence\n"),
        (2, f"kelpa: {out}: is a folder; carve reads image, dump and device files\n"),
        (2, f"kelpa: {tmp_path}: holds the input {src}; refusing to write over evidence\n")]
