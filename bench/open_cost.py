"""Shows that Hive.open costs the same for a 1 GiB file as for a 4 KiB one.

    python bench/open_cost.py [--iterations N] [--size-gib N]

Hive.open maps the file and checks only the base block, so nothing is read past the first
4 KiB: the cost does not grow with the file. Both files get the same valid base block; the
large one then has a sparse tail (a hole made with truncate, no disk blocks), so the test
needs no disk space and cannot be helped by reading ahead. Prints the median and minimum
time of each, their ratio, and the process's peak RSS, which stays far below the large size.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import hivegen  # noqa: E402
import kelpa  # noqa: E402

OUT = HERE / "out" / "open-cost"


def write_files(size_gib: int) -> tuple[pathlib.Path, pathlib.Path]:
    OUT.mkdir(parents=True, exist_ok=True)
    block = hivegen.base_block()
    small, large = OUT / "4KiB.hive", OUT / f"{size_gib}GiB.hive"
    small.write_bytes(block)
    large.write_bytes(block)
    os.truncate(large, hivegen.BASE_BLOCK_SIZE + size_gib * 2**30)
    return small, large


def time_open(path: pathlib.Path, iterations: int) -> list[float]:
    samples = []
    name = str(path)
    for _ in range(iterations):
        started = time.perf_counter_ns()
        hive = kelpa.Hive.open(name)
        samples.append((time.perf_counter_ns() - started) / 1000)
        del hive
    return samples


def peak_rss_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=5000)
    parser.add_argument("--size-gib", type=int, default=1)
    args = parser.parse_args(argv)

    small, large = write_files(args.size_gib)
    time_open(small, 200)  # warm up both paths
    time_open(large, 200)
    # Interleaved rounds, so that load from elsewhere on the machine hits both files alike.
    s_samples: list[float] = []
    l_samples: list[float] = []
    for _ in range(10):
        s_samples += time_open(small, args.iterations // 10)
        l_samples += time_open(large, args.iterations // 10)
    s_med, l_med = statistics.median(s_samples), statistics.median(l_samples)
    st = large.stat()
    print(f"{'file':<14} {'size':>15} {'on disk':>10} {'median us':>10} {'min us':>8}")
    print(f"{small.name:<14} {small.stat().st_size:>15,} {small.stat().st_blocks * 512:>10,} {s_med:>10.2f} "
          f"{min(s_samples):>8.2f}")
    print(f"{large.name:<14} {st.st_size:>15,} {st.st_blocks * 512:>10,} {l_med:>10.2f} {min(l_samples):>8.2f}")
    print(f"ratio (large / small, medians): {l_med / s_med:.2f}; {len(s_samples)} opens of each; "
          f"peak RSS of this process: {peak_rss_mib():.0f} MiB")
    hive = kelpa.Hive.open(str(large))
    print(f"the large hive opens as {hive!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
