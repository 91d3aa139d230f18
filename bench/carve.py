"""Carving speed: kelpa.carve over a source in the page cache, beside a plain read of the same file
and ``grep -c`` for one of the signatures, and the whole command (scan, placement, writing).

    python bench/carve.py [--size-mib N] [--runs N] [--keep PATH] [--json OUT]

The source is N MiB (default 2048) of random data with zero stretches, holding synthetic hives
(tests/hivegen.py) whole, split into runs out of order, and one cut into shuffled pages. It is written
once, read once to bring it into the page cache, then each contender runs --runs times (best
kept). Memory: the anonymous (private) memory the process gained during kelpa.carve, from
/proc/self/status; the source's pages are the page cache's, shared, not the process's.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import pathlib
import platform
import random
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

import hivegen  # noqa: E402
import kelpa  # noqa: E402
from kelpa_tools import carve as carving  # noqa: E402

MIB = 1 << 20


def synthetic(name: str, keys: int) -> bytes:
    """A hive of `keys` keys in groups of ten, each with a value of 100 to 900 random bytes."""
    rng = random.Random(name)
    return hivegen.build_tree(hivegen.Key(name, subkeys=[hivegen.Key(f"{name}-{g}", subkeys=[
        hivegen.Key(f"{name}-{g}-{i}", values=[hivegen.Value("v", hivegen.REG_BINARY, rng.randbytes(rng.randrange(100, 900)))])
        for i in range(10)]) for g in range(keys // 10)]))


def write_source(path: pathlib.Path, size: int) -> int:
    """Random 1 MiB blocks and zero ones, with a synthetic hive laid out every 64 MiB (whole,
    in runs out of order, or as shuffled pages); returns how many hives went in."""
    rng = random.Random(1)
    block = rng.randbytes(MIB)
    placed = 0
    with path.open("wb") as out:
        written, next_hive = 0, 0
        while written < size:
            if written >= next_hive:
                next_hive += 64 * MIB
                # Sizes differ, so that no two hives stop short at the same offsets.
                hive = synthetic(f"H{placed}", 150 + 37 * placed)
                pages = [hive[i:i + 4096] for i in range(0, len(hive), 4096)]
                if placed % 2 == 1:  # three runs, the last two swapped
                    third = len(pages) // 3
                    pages = [b"".join(pages[:third]), b"".join(pages[2 * third:]), b"".join(pages[third:2 * third])]
                elif placed == 2:  # one hive as shuffled pages
                    rng.shuffle(pages)
                chunk = b"".join(p + bytes(512 * (placed % 2)) for p in pages)
                placed += 1
            else:
                chunk = block if rng.random() < 0.8 else bytes(MIB)
            out.write(chunk)
            written += len(chunk)
    return placed


def private_kib() -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("RssAnon:"):
            return int(line.split()[1])
    return 0


def best(runs: int, work) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def plain_read(path: pathlib.Path) -> None:
    buffer = bytearray(8 * MIB)
    with path.open("rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=2048)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--keep", type=pathlib.Path, help="write the source here and keep it")
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or pathlib.Path(tmp) / "source.img"
        hives = write_source(path, args.size_mib * MIB)
        size = path.stat().st_size
        plain_read(path)  # into the page cache

        gained = [0]

        def carve() -> None:
            with path.open("rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
                before = private_kib()
                found = kelpa.carve(m)
                gained[0] = max(gained[0], private_kib() - before)
                assert len(found) == hives and all(h.kind != "fragment" and h.bytes_missing == 0 for h in found)

        results = {
            "plain read": best(args.runs, lambda: plain_read(path)),
            "grep -c hbin": best(args.runs, lambda: subprocess.run(["grep", "-c", "-a", "-F", "hbin", str(path)],
                                                                   capture_output=True, check=False)),
            "kelpa.carve": best(args.runs, carve),
        }

        def command() -> None:
            with tempfile.TemporaryDirectory(dir=tmp) as out:
                carving.carve_source(str(path), out)
        results["carve_source (writes the hives)"] = best(args.runs, command)
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                            cwd=pathlib.Path(__file__).parent).stdout.strip()
    print(f"source: {size / MIB:.0f} MiB with {hives} hives, in the page cache; best of {args.runs}")
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores; commit {commit}")
    for name, seconds in results.items():
        print(f"  {name:<34} {seconds:7.3f} s  {size / seconds / 1e9:6.2f} GB/s")
    print(f"  private memory gained during kelpa.carve: {gained[0]} KiB")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"size": size, "hives": hives, "commit": commit, "seconds": results,
                                         "private_kib_gained": gained[0]}, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
