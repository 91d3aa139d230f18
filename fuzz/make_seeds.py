"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/ (not kept in git).

Seeds come from tests/hivegen.py (the sample hive in every version, trees with each kind
of subkey list, values of every type and size class, logs of every block shape and Windows'
two log layouts), from the regression inputs of fuzz/make_regressions.py, and, when ../shared/hives exists, from the
real hives and logs there, cut to the fuzzer's maximum input length. Existing files are overwritten;
inputs the fuzzer added to the corpus are left alone.

    python fuzz/make_seeds.py [--max-len N] [OUT]    # OUT defaults to fuzz/corpus
"""

from __future__ import annotations

import argparse
import hashlib
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))

import hivegen  # noqa: E402
import make_regressions  # noqa: E402
import sample_hive  # noqa: E402
from hivegen import Key, Value  # noqa: E402

SHARED_HIVES = HERE.parents[1] / "shared" / "hives"
DEFAULT_MAX_LEN = 65536
SEPARATOR = b"=kelpa-log="  # fuzz/fuzz_log.cpp's LOG_SEPARATOR


def hive_seeds() -> dict[str, bytes]:
    seeds = {}
    sample = sample_hive.sample_tree()
    for minor in (3, 4, 5, 6):
        seeds[f"sample-1.{minor}"] = hivegen.build_tree(sample, minor=minor)
    seeds["sample-ri"] = hivegen.build_tree(sample, ri_threshold=2)

    many = Key("ROOT", list_kind="lh", subkeys=[
        Key(f"Key{i:03}", list_kind=kind, subkeys=[Key(f"Sub{j}") for j in range(3)],
            values=[Value(f"V{i}", hivegen.REG_DWORD, hivegen.dword(i))])
        for i, kind in zip(range(40), ["lf", "lh", "li", "ri"] * 10)
    ])
    seeds["forty-keys"] = hivegen.build_tree(many, ri_threshold=8)

    edge_sizes = [0, 1, 2, 3, 4, 5, 8, 16344, 16345, 16348, 16349]
    values = [Value(f"size{n}", hivegen.REG_BINARY, bytes(range(256)) * (n // 256) + bytes(n % 256))
              for n in edge_sizes]
    values += [
        Value("", hivegen.REG_SZ, hivegen.sz("default")),
        Value("multi", hivegen.REG_MULTI_SZ, hivegen.multi_sz(["a", "", "b\u00e9", "\U0001F600"])),
        Value("bom", hivegen.REG_SZ, b"\xFF\xFEA\x00"),
        Value("utf8", hivegen.REG_EXPAND_SZ, b"\xEF\xBB\xBFab\x00\x00"),
        Value("be", hivegen.REG_DWORD_BIG_ENDIAN, b"\x00\x00\x01\x00"),
        Value("short-qword", hivegen.REG_QWORD, b"\x01\x02\x03"),
        Value("odd-sz", hivegen.REG_SZ, b"abc"),
        Value("unknown", 0x7FFF, b"\x01\x02\x03\x04\x05"),
    ]
    sizes = Key("ROOT", values=values, subkeys=[Key("\u00dcber-\u76e3\u8996"), Key("\ud800bad")])
    for minor in (3, 5):
        seeds[f"value-sizes-1.{minor}"] = hivegen.build_tree(sizes, minor=minor)

    classes = Key("ROOT", class_name="Root class", subkeys=[
        Key("Lsa", subkeys=[Key(name, class_name=text) for name, text in
                            [("JD", "4f2a"), ("Skew1", "9b01"), ("GBG", "\u00e9\U0001F600"), ("Data", "")]])])
    seeds["class-names"] = hivegen.build_tree(classes)

    b = hivegen.HiveBuilder()
    latin = b.nk(b"Caf\xe9")  # an 8-bit name that is not UTF-8
    free = b.alloc(hivegen.nk_record("Free"), free=True)
    vk = b.vk(b"na\xefve", hivegen.REG_SZ, hivegen.sz("x"))
    values_list = b.value_list([vk])
    li = b.subkey_list("li", [latin, free, 0, 0xFFFFFFFF])
    root = b.nk("ROOT", root=True, subkey_count=4, subkey_list=li, value_count=1, value_list=values_list)
    seeds["odd-cells"] = b.build(root=root)
    # Deleted records: freed in place, coalesced, in slack, cut short, garbage, after the last bin.
    for drop in (False, True):
        seeds[f"deleted-{drop}"] = hivegen.deleted_scene(drop)[0]
    return seeds


def log_seeds() -> dict[str, bytes]:
    # Pages for fuzz_log's small image (8 KiB; the root key's cell at image position 0x1020).
    root_name = 0x1000 + 0x20 + 4 + 76
    sample = hivegen.build_tree(sample_hive.sample_tree())
    whole = [(at, sample[at : at + 4096]) for at in range(0, len(sample), 4096)]
    return {
        "empty": hivegen.transaction_log(1, []),
        "rename-root": hivegen.transaction_log(2, [[(root_name, b"RooT")]]),
        "sample-image": hivegen.transaction_log(3, [whole]),
        "grow": hivegen.transaction_log(4, [[(0x2000, b"hbin" + struct.pack("<II", 0x1000, 0x1000))],
                                            [(0x3000, bytes(4096))]]),
        "two-blocks-one-boundary": hivegen.transaction_log(5, [[(root_name, b"x" * 5000)], [(0, b"regf")]]),
        "zeroed-signature": hivegen.transaction_log(6, [[(0, bytes(100))]]),
        # Windows' layouts, for fuzz_log's dirty image (sequence numbers 2 and 1).
        "new-two-entries": hivegen.log_base_block(1) + hivegen.log_entry(1, [(0x20 + 4 + 76, b"RooT")])
                           + hivegen.log_entry(2, [(0x1000, sample[0x1000:0x2000])], flags=1, hive_bins_data_size=0x2000),
        "new-wrapping": hivegen.log_base_block(0xFFFFFFFF) + hivegen.log_entry(0xFFFFFFFF, [(0, b"x" * 512)])
                        + hivegen.log_entry(0, [(512, b"y" * 512)]),
        "old-two-sectors": hivegen.old_log(3, {0: sample[4096:4608], 9: bytes(512)}, hive_bins_data_size=0x2000),
        # A hive and its logs in one input (fuzz_log's LOG_SEPARATOR between them).
        "hive-and-log": sample + SEPARATOR + hivegen.transaction_log(1, [[(root_name, b"RooT")]]),
        "dirty-hive-and-two-logs": hivegen.build_tree(sample_hive.sample_tree(), primary_sequence=3, secondary_sequence=2)
                                   + SEPARATOR + hivegen.log_base_block(3) + hivegen.log_entry(3, [(0x20 + 4 + 76, b"RooT")])
                                   + SEPARATOR + hivegen.old_log(3, {0: sample[4096:4608]}),
    }


def name_seeds() -> dict[str, bytes]:
    texts = ["Software", "ROOT", "\u00dcberwachung-\u76e3\u8996", "\U0001F600", "(default)", ""]
    seeds = {}
    for i, text in enumerate(texts):
        seeds[f"utf16-{i}"] = text.encode("utf-16-le") + b"\0\0"
        seeds[f"utf8-{i}"] = text.encode("utf-8") + b"\0"
    seeds.update({
        "bom-le": b"\xFF\xFEA\x00",
        "bom-be": b"\xFE\xFF\x00A",
        "bom-utf8": b"\xEF\xBB\xBFAB\x00",
        "latin1": b"Caf\xe9",
        "overlong": b"\xC0\x80\xE0\x80\x80",
        "surrogate-utf8": b"\xED\xA0\x80",
        "lone-low": b"\x00\xDC",
        "nul-inside": b"a\x00b\x00\x00\x00",
    })
    return seeds


def shared_hives(max_len: int) -> dict[str, bytes]:
    if not SHARED_HIVES.is_dir():
        return {}
    seeds = {}
    for path in sorted(SHARED_HIVES.iterdir()):
        # Real logs start with a base block, not the "HvLE" layout read here: hives only.
        if not path.is_file() or path.suffix.upper() in (".LOG", ".LOG1", ".LOG2", ".MD", ".JSON"):
            continue
        data = path.read_bytes()[:max_len]
        if data[:4] == b"regf":
            seeds[f"shared-{hashlib.sha256(data).hexdigest()[:16]}"] = data
    return seeds


def shared_logs(max_len: int) -> dict[str, bytes]:
    """The real logs beside the shared hives (both Windows layouts)."""
    if not SHARED_HIVES.is_dir():
        return {}
    return {f"shared-{path.name}": data[:max_len] for path in sorted(SHARED_HIVES.iterdir())
            if path.suffix.upper() in (".LOG", ".LOG1", ".LOG2") and (data := path.read_bytes())}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", type=pathlib.Path, default=HERE / "corpus")
    parser.add_argument("--max-len", type=int, default=DEFAULT_MAX_LEN)
    args = parser.parse_args(argv)
    corpora = {
        "fuzz_hive": hive_seeds() | shared_hives(args.max_len),
        "fuzz_log": log_seeds() | shared_logs(args.max_len),
        "fuzz_names": name_seeds(),
        "fuzz_carve": {},  # the regression inputs below: sources laid out from synthetic hives
    }
    for target, cases in make_regressions.CASES.items():
        corpora[target] |= {f"regression-{name}": build() for name, build in cases.items()}
    for target, seeds in corpora.items():
        folder = args.out / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / f"seed-{name}").write_bytes(data[: args.max_len])
        print(f"{target}: {len(seeds)} seeds in {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
