"""Time `kelpa export` over a folder of hives, in one process against several.

    .venv/bin/python bench/cli_export.py [FOLDER] [--jobs 1,2] [--runs 3] [--formats jsonl,parquet]

Each run is the whole command as a user starts it (interpreter start and imports included), over
every hive the command finds in FOLDER (default: the shared hives), written to a file in a
temporary folder. Prints the median wall time of each format and process count, the hive bytes
read per second, the time per MB of hive, the speed-up of each process count over one, and the
CPU time of the command's processes (which a busy machine changes less than the wall time).
"""

from __future__ import annotations

import argparse
import os
import resource
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

from kelpa_cli import hives

HERE = pathlib.Path(__file__).resolve().parent
KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))


def cpu() -> float:
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def timed(args: list[str]) -> tuple[float, float, int]:
    """Wall seconds, CPU seconds of the command and its processes, and the number of problems
    it reported."""
    start, start_cpu = time.perf_counter(), cpu()
    done = subprocess.run([KELPA, *args], capture_output=True, text=True)
    seconds, cpu_seconds = time.perf_counter() - start, cpu() - start_cpu
    if done.returncode not in (0, 1):
        sys.exit(f"kelpa {' '.join(args)} failed: {done.stderr}")
    return seconds, cpu_seconds, len(done.stderr.splitlines())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default=str(HERE.parents[1] / "shared" / "hives"))
    parser.add_argument("--jobs", default="1,2")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--formats", default="jsonl,parquet")
    args = parser.parse_args()

    found = hives.find_hives([args.folder])
    mb = sum(os.path.getsize(p) for p in found) / 1e6
    print(f"{len(found)} hives, {mb:.1f} MB, in {args.folder}; median of {args.runs} runs, "
          f"{os.process_cpu_count()} cores")
    print(f"{'format':<8} {'-j':>3} {'seconds':>8} {'MB/s':>6} {'ms/MB':>6} {'speed-up':>8} "
          f"{'CPU s':>6} {'output MB':>9} {'problems':>8}")
    with tempfile.TemporaryDirectory() as tmp:
        for fmt in args.formats.split(","):
            base = None
            for jobs in args.jobs.split(","):
                out = os.path.join(tmp, f"out.{fmt}")
                runs = [timed(["export", "-f", fmt, "-j", jobs, "-o", out, args.folder])
                        for _ in range(args.runs)]
                seconds = statistics.median(s for s, _, _ in runs)
                base = base or seconds
                print(f"{fmt:<8} {jobs:>3} {seconds:>8.2f} {mb / seconds:>6.1f} "
                      f"{1000 * seconds / mb:>6.0f} {base / seconds:>7.2f}x "
                      f"{statistics.median(c for _, c, _ in runs):>6.2f} "
                      f"{os.path.getsize(out) / 1e6:>9.1f} {runs[0][2]:>8}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
