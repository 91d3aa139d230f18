"""Writes the regression inputs of the fuzz targets: hostile files, one per bound or past failure.

Every input here is built in code from named fields (with tests/hivegen.py), never kept as
a binary file. Each targets one limit of the library, or reproduces an input that once
failed, and is replayed under AddressSanitizer and UndefinedBehaviorSanitizer by
``make test`` (the replay drivers of fuzz/replay_main.cpp); the fuzz targets themselves check
the promised bounds (fuzz/hive_walk.hpp). The same inputs also seed the fuzzer.

Inputs are grouped by what they are: "fuzz_hive" holds hive files, which every target reading
hives replays (fuzz_hive_strict, fuzz_hive_tolerant, fuzz_hive_walk, fuzz_tables, fuzz_deleted: the Makefile's
FUZZ_HIVE_TARGETS); "fuzz_log" holds logs (or hives and logs joined) for fuzz_log; "fuzz_names"
raw names and data for fuzz_names.

A file that makes ``make fuzz`` fail is written by the fuzzer into
fuzz/regressions/<target>/, where ``make test`` replays it too (a hive file may be moved to
fuzz/regressions/fuzz_hive/, which every hive target replays); once understood, it becomes
a function here and the raw file goes.

    python fuzz/make_regressions.py OUT    # writes OUT/<target>/<name>
"""

from __future__ import annotations

import pathlib
import random
import struct
import sys
from collections.abc import Callable

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

import hivegen  # noqa: E402
from hivegen import HiveBuilder  # noqa: E402

Case = Callable[[], bytes]
CASES: dict[str, dict[str, Case]] = {"fuzz_hive": {}, "fuzz_log": {}, "fuzz_names": {}, "fuzz_carve": {}}


def case(target: str) -> Callable[[Case], Case]:
    def register(build: Case) -> Case:
        CASES[target][build.__name__.replace("_", "-")] = build
        return build
    return register


def _root_over(builder: HiveBuilder, subkey_list: int, subkey_count: int = 1) -> bytes:
    """The hive whose root key has the given subkey list."""
    root = builder.nk("ROOT", root=True, subkey_count=subkey_count, subkey_list=subkey_list)
    return builder.build(root=root)


# --- hives ----------------------------------------------------------------------------


@case("fuzz_hive")
def ri_names_itself() -> bytes:
    """An "ri" list whose only element is its own offset: the walk recurses until the
    nesting bound (64) stops it with InvalidFormat."""
    b = HiveBuilder()
    ri = b.alloc(bytes(8))
    b.patch(ri, 0, hivegen.subkey_list_record("ri", [ri]))
    return _root_over(b, ri)


@case("fuzz_hive")
def ri_fans_out() -> bytes:
    """An "ri" list naming the same 1000-key leaf list 2000 times: two million offsets
    unless the element budget (image length / 4) ends the walk."""
    b = HiveBuilder()
    child = b.nk("Child")
    leaf = b.subkey_list("li", [child] * 1000)
    ri = b.subkey_list("ri", [leaf] * 2000)
    return _root_over(b, ri)


@case("fuzz_hive")
def ri_chain_deeper_than_bound() -> bytes:
    """100 distinct "ri" lists, each naming the next: a real nesting of 100 levels, past
    the bound of 64."""
    b = HiveBuilder()
    child = b.nk("Child")
    inner = b.subkey_list("li", [child])
    for _ in range(100):
        inner = b.subkey_list("ri", [inner])
    return _root_over(b, inner)


@case("fuzz_hive")
def ri_cycle_through_two_lists() -> bytes:
    """Two "ri" lists naming each other and a leaf: a cycle that is not a self-reference."""
    b = HiveBuilder()
    child = b.nk("Child")
    leaf = b.subkey_list("lh", [child])
    first = b.alloc(bytes(12))
    second = b.subkey_list("ri", [first, leaf])
    b.patch(first, 0, hivegen.subkey_list_record("ri", [leaf, second]))
    return _root_over(b, first)


@case("fuzz_hive")
def key_is_its_own_subkey() -> bytes:
    """A root whose "lf" list names the root itself: a cyclic key tree."""
    b = HiveBuilder()
    lf = b.alloc(bytes(12))
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=lf)
    b.patch(lf, 0, hivegen.subkey_list_record("lf", [root], hashes=[0]))
    return b.build(root=root)


@case("fuzz_hive")
def bin_of_size_zero() -> bytes:
    """A second bin whose size field is 0: the bin walk must fail, not stall."""
    b = HiveBuilder()
    root = b.nk("ROOT", root=True)
    second = b.start_bin()
    b.poke(second + 8, struct.pack("<I", 0))
    return b.build(root=root)


@case("fuzz_hive")
def bins_of_32_bytes() -> bytes:
    """A chain of 32-byte bins, each only a header: the most steps an image can make the
    bin walk take."""
    b = HiveBuilder()
    root = b.nk("ROOT", root=True)
    data = bytearray(b.build(root=root))
    start = len(data)
    data += bytes(16 * 4096)
    for position in range(start, len(data), 32):
        struct.pack_into("<4sII", data, position, b"hbin", position - 4096, 32)
    return bytes(data)


@case("fuzz_hive")
def big_data_repeats_one_segment() -> bytes:
    """A "db" record whose 64 segment entries all name the same 16344-byte segment, with a
    declared size of 1 MiB: the data is 64 copies of the segment, from an image of 24 KiB;
    the buffer reservation stays at the image length."""
    b = HiveBuilder()
    segment = b.alloc(bytes(range(256)) * 63 + bytes(range(216)))  # 16344 bytes
    db = b.db([segment] * 64)
    vk = b.vk("Big", hivegen.REG_BINARY, data_size=1 << 20, data_offset=db, data=b"")
    values = b.value_list([vk])
    root = b.nk("ROOT", root=True, value_count=1, value_list=values)
    return b.build(root=root)


@case("fuzz_hive")
def big_data_declares_two_gibibytes() -> bytes:
    """A declared size of 0x7FFFFFFF over one small segment: the reservation must follow
    the image length, not the declared size (the fuzz walk leaves such a size out, the
    Python layer does not)."""
    b = HiveBuilder()
    segment = b.alloc(b"\xAB" * 64)
    db = b.db([segment])
    vk = b.vk("Huge", hivegen.REG_BINARY, data_size=0x7FFFFFFF, data_offset=db, data=b"")
    values = b.value_list([vk])
    root = b.nk("ROOT", root=True, value_count=1, value_list=values)
    return b.build(root=root)


@case("fuzz_hive")
def value_list_repeats_a_long_name() -> bytes:
    """A value list naming one value key 4000 times, whose 8-bit name is 2000 bytes of 0xFF
    (each decodes to a 3-byte U+FFFD): 24 MB of names from a 24 KiB image. The library
    decodes every one (README, Limits); the fuzz walk sees the names add up to more than the
    image holds and leaves them out."""
    b = HiveBuilder()
    vk = b.vk(b"\xFF" * 2000, hivegen.REG_DWORD, hivegen.dword(1))
    values = b.value_list([vk] * 4000)
    root = b.nk("ROOT", root=True, value_count=4000, value_list=values)
    return b.build(root=root)


@case("fuzz_hive")
def counts_beyond_the_image() -> bytes:
    """A root claiming 0xFFFFFFFF values and a list count of 0xFFFF: both must be refused
    against the cell length before anything is reserved."""
    b = HiveBuilder()
    values = b.value_list([0x20] * 4)
    lf = b.subkey_list("lf", [0x20], count=0xFFFF)
    root = b.nk("ROOT", root=True, subkey_count=0xFFFFFFFF, subkey_list=lf,
                value_count=0xFFFFFFFF, value_list=values)
    return b.build(root=root)


@case("fuzz_hive")
def root_cell_of_size_int_min() -> bytes:
    """A root cell whose size field is -2147483648: its magnitude, 2^31, does not fit a
    signed 32-bit number."""
    b = HiveBuilder()
    root = b.nk("ROOT", root=True, cell_size=-0x80000000)
    return b.build(root=root)


@case("fuzz_hive")
def cells_too_small_for_their_records() -> bytes:
    """A value whose data cell has size 3, and a subkey whose name length (0xFFFF) runs
    past its cell."""
    b = HiveBuilder()
    small = b.alloc(b"\0" * 4, size=3)
    vk = b.vk("V", hivegen.REG_SZ, data_size=100, data_offset=small, data=b"")
    values = b.value_list([vk])
    sub = b.nk("Sub", name_length=0xFFFF)
    lf = b.subkey_list("lf", [sub])
    root = b.nk("ROOT", root=True, subkey_count=1, subkey_list=lf, value_count=1, value_list=values)
    return b.build(root=root)


@case("fuzz_hive")
def root_offset_past_32_bits() -> bytes:
    """Root cell offset 0xFFFFF000: adding the 4096-byte bias overflows 32 bits."""
    b = HiveBuilder()
    b.nk("ROOT", root=True)
    return b.build(root=0xFFFFF000)


# --- logs -----------------------------------------------------------------------------


@case("fuzz_log")
def page_ends_at_the_maximum_image_size() -> bytes:
    """A page ending exactly at 512 MiB, then one a byte further: both refused before the
    image grows (the first by the 16 MiB growth bound, the second by the maximum size)."""
    return hivegen.transaction_log(1, [[(0x1FFFF000, b"\1" * 0x1000), (0x1FFFF001, b"\1" * 0x1000)]])


@case("fuzz_log")
def page_grows_by_exactly_the_bound() -> bytes:
    """A page ending 16 MiB past the 8 KiB image: the largest growth a page may make."""
    return hivegen.transaction_log(1, [[(0x2000 + (16 << 20) - 1, b"\1")]])


@case("fuzz_log")
def eleven_thousand_pages() -> bytes:
    """Eleven dirty blocks of 1000 one-byte records: the page limit stops the scan at
    11000 pages, all of them writing the root key's name."""
    block = [(0x1000 + 0x20 + 4 + 76, b"X")] * 1000
    return hivegen.transaction_log(1, [block] * 12)


@case("fuzz_log")
def blocks_reread_the_same_bytes() -> bytes:
    """Twelve "DIRT" headers at consecutive 4096-byte boundaries, each followed by two
    records of 65536 bytes: the pages of each block cover the bytes of the blocks after it,
    so 1.5 MiB of pages come from a 180 KiB file. TransactionLog::parse copies them all;
    replay writes them straight from the file."""
    record = 8 + 65536
    log = bytearray(hivegen.transaction_log(1, []))
    log += bytes(12 * 4096 + 2 * record)
    for k in range(1, 13):
        block = k * 4096
        log[block : block + 16] = hivegen.dirt_block([], count=2)
        for at in (block + 16, block + 16 + record):
            struct.pack_into("<II", log, at, 0x1000, 65536)
    return bytes(log)


@case("fuzz_log")
def records_of_bad_sizes() -> bytes:
    """Records of size 0 and 65537 (stepped over by their 8-byte head), a count of 1001
    (block skipped) and a last record running past the end of the file."""
    good = (0x1000 + 0x20 + 4 + 76, b"Y")
    return hivegen.transaction_log(1, [
        [(0, 0, b""), (0, 65537, b""), good],
        hivegen.dirt_block([good], count=1001),
        hivegen.dirt_block([good, (0x1000, 5000, b"")], count=2),
    ])


@case("fuzz_log")
def page_replaces_the_base_block() -> bytes:
    """A page writing a base block of version 1.7 with a wrong checksum: the checksum is
    rewritten after replay, and the version check then refuses the image."""
    return hivegen.transaction_log(1, [[(0, hivegen.base_block(minor=7, checksum=0)[:512])]])


# --- names ----------------------------------------------------------------------------


@case("fuzz_names")
def high_surrogate_at_the_end() -> bytes:
    """UTF-16LE "A" then a lone high surrogate as the last unit."""
    return b"\x41\x00\x00\xD8"


@case("fuzz_names")
def utf8_mark_then_truncated_sequence() -> bytes:
    """The UTF-8 byte-order mark, then the first two bytes of a three-byte sequence and a
    letter (an even length, so the UTF-8 path is taken)."""
    return b"\xEF\xBB\xBF\xE2\x82\x41"


@case("fuzz_names")
def big_endian_mark_and_pair() -> bytes:
    """The UTF-16BE mark, a surrogate pair and a trailing NUL unit."""
    return b"\xFE\xFF\xD8\x3D\xDE\x00\x00\x00"


# --- sources to carve ------------------------------------------------------------------

SECTOR, PAGE = 512, 4096


def _carve_tree(name: str, keys: int) -> bytes:
    """A hive of `keys` keys with a subkey each and a value, over several 4 KiB bins."""
    return hivegen.build_tree(hivegen.Key(name, subkeys=[
        hivegen.Key(f"{name}{i}", subkeys=[hivegen.Key("Sub")],
                    values=[hivegen.Value("v", hivegen.REG_BINARY, bytes([i]) * (200 + 37 * i))])
        for i in range(keys)]), ri_threshold=8)


def _runs(hive: bytes, k: int) -> list[bytes]:
    """The hive cut into k runs at 4 KiB bin boundaries (the first holds the base block)."""
    pages = len(hive) // PAGE
    cuts = [0] + [PAGE * (1 + i * (pages - 1) // k) for i in range(1, k)] + [len(hive)]
    return [hive[a:b] for a, b in zip(cuts, cuts[1:])]


def _noise(seed: int, sectors: int) -> bytes:
    return random.Random(seed).randbytes(sectors * SECTOR)


@case("fuzz_carve")
def hives_among_data() -> bytes:
    """Two hives at odd sectors among random and zero bytes: both whole."""
    return _noise(1, 3) + _carve_tree("A", 20) + bytes(5 * SECTOR) + _carve_tree("B", 12) + _noise(2, 1)


@case("fuzz_carve")
def runs_out_of_order() -> bytes:
    """A hive cut into four runs, the last three in reverse order: reassembled."""
    r = _runs(_carve_tree("A", 30), 4)
    return r[0] + _noise(3, 2) + r[3] + bytes(SECTOR) + r[2] + _noise(4, 1) + r[1]


@case("fuzz_carve")
def two_hives_interleaved() -> bytes:
    """Two hives of the same shape (every stop at the same offsets), cut alike and interleaved:
    the runs at each stop compete."""
    a, b = _runs(_carve_tree("A", 20), 3), _runs(_carve_tree("B", 20), 3)
    return a[0] + b[0] + a[2] + b[1] + _noise(5, 1) + a[1] + b[2]


@case("fuzz_carve")
def pages_shuffled() -> bytes:
    """A hive's 4 KiB pages and random pages, shuffled: one bin per run."""
    hive = _carve_tree("A", 30)
    pages = [hive[i:i + PAGE] for i in range(0, len(hive), PAGE)] + [_noise(i, 8) for i in range(4)]
    random.Random(6).shuffle(pages)
    return b"".join(pages)


@case("fuzz_carve")
def fragments_without_base_block() -> bytes:
    """The middle and last runs of a hive, apart and out of order: one chained fragment."""
    r = _runs(_carve_tree("A", 30), 3)
    return _noise(7, 2) + r[2] + bytes(SECTOR) + r[1]


@case("fuzz_carve")
def hostile_signatures() -> bytes:
    """Every sector a bin header or a base block, with offsets and sizes at the limits (2 GiB
    of bins, 4 GiB bins, offsets past 2 GiB), and one bin of key nodes stating offset 0x7FFFF000."""
    rng = random.Random(8)
    out = bytearray(rng.randbytes(64 * SECTOR))
    for at in range(0, len(out), SECTOR):
        if at % (2 * SECTOR):
            struct.pack_into("<4sII", out, at, b"hbin", rng.choice([0, 0x1000, 0x7FFFF000, 0xFFFFF000]),
                             rng.choice([0x1000, 0x2000, 0x80000000, 0xFFFFF000]))
        else:
            size = rng.choice([0x1000, 0x7FFFF000, 0x80000000])
            out[at:at + SECTOR] = hivegen.base_block(hive_bins_data_size=size, root_cell_offset=size - 8)[:SECTOR]
    b = HiveBuilder()
    for i in range(30):
        b.nk(f"K{i}")
    bins = bytearray(b.build(root=0x20)[PAGE:])
    struct.pack_into("<I", bins, 4, 0x7FFFF000)
    return bytes(out) + bytes(bins[:PAGE])


@case("fuzz_carve")
def keys_name_each_other() -> bytes:
    """A fragment whose two keys list each other as subkeys: no key is left for the made root
    but the ring."""
    b = HiveBuilder()
    first = b.nk("One", subkey_count=1)
    second = b.nk("Two", subkey_count=1)
    b.patch(first, hivegen.NK_SUBKEY_LIST_OFFSET, struct.pack("<I", b.subkey_list("li", [second])))
    b.patch(second, hivegen.NK_SUBKEY_LIST_OFFSET, struct.pack("<I", b.subkey_list("li", [first])))
    return _noise(9, 1) + b.build(root=first)[PAGE:]


@case("fuzz_carve")
def more_keys_than_one_list_holds() -> bytes:
    """A fragment of 70000 unlisted key nodes: the made root lists them through an "ri" list."""
    b = HiveBuilder()
    for _ in range(70000):
        b.nk("")
    return b.build(root=0x20)[PAGE:]


def write(out: pathlib.Path) -> int:
    count = 0
    for target, cases in CASES.items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, build in cases.items():
            (folder / name).write_bytes(build())
            count += 1
    return count


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    print(f"{write(pathlib.Path(argv[0]))} regression inputs written to {argv[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
