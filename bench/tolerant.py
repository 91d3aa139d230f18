"""Strict and tolerant reading side by side: the per-call full walk of sound hives (each key's name, subkeys
and values; each value's name, type id and raw data) with

- this build, strict (Hive.open, as before tolerant reading existed);
- this build, tolerant (Hive.from_path(path, strict=False));
- a baseline build (make bench-tolerant builds the commit before tolerant reading), strict, when given.

    python bench/tolerant.py [--baseline SITE_DIR] [--rounds N] [--json OUT] [HIVE ...]

Each measurement is a fresh process (the interpreter of this script, PYTHONPATH set to the baseline's
folder for the baseline) that walks the hive at least three times and for at least half a second, and
reports the fastest walk; the configurations take
turns, round after round, so that load from elsewhere falls on all of them alike, and the medians are
compared. Targets: tolerant within 10 % of strict; this build's strict walk no slower than the baseline's
(within 2 %, what the medians move by from run to run).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_HIVES = [REPO.parent / "shared" / "hives" / name
                 for name in ("regipy__SYSTEM_WIN_10_1709", "regipy__amcache.hve", "plaso__NTUSER.DAT")]

WALK = r"""
import sys, time
sys.path.insert(0, sys.argv[3])
from walkers import walk_kelpa
path, mode = sys.argv[1], sys.argv[2]
def walk():
    return walk_kelpa(path, strict=mode == "strict")
best, spent, runs = None, 0.0, 0
while runs < 3 or spent < 0.5:  # small hives are walked more often: their best time is the steadier
    start = time.perf_counter()
    counts = walk()
    elapsed = time.perf_counter() - start
    best, spent, runs = elapsed if best is None else min(best, elapsed), spent + elapsed, runs + 1
print(best, *counts)
"""


def measure(hive: pathlib.Path, mode: str, site: str | None) -> tuple[float, tuple[int, ...]]:
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if site:
        env["PYTHONPATH"] = site
    argv = [sys.executable, "-c", WALK, str(hive), mode, str(pathlib.Path(__file__).parent)]
    out = subprocess.run(argv, env=env, capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), tuple(map(int, out[1:]))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("hives", nargs="*", type=pathlib.Path)
    parser.add_argument("--baseline", help="a folder holding the baseline build's kelpa module")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args(argv)
    hives = [h for h in (args.hives or DEFAULT_HIVES) if h.is_file()]
    if not hives:
        print("no hives to walk (the shared hives are not beside the repository)", file=sys.stderr)
        return 1
    configs = {"strict": ("strict", None), "tolerant": ("tolerant", None)}
    if args.baseline:
        configs["baseline strict"] = ("strict", args.baseline)
    report, failed = [], False
    for hive in hives:
        times: dict[str, list[float]] = {name: [] for name in configs}
        counts = set()
        for _ in range(args.rounds):
            for name, (mode, site) in configs.items():
                seconds, walked = measure(hive, mode, site)
                times[name].append(seconds)
                counts.add(walked)
        medians = {name: statistics.median(t) for name, t in times.items()}
        row = {"hive": hive.name, "keys_values_bytes": sorted(counts), **{f"{n} s": round(m, 4) for n, m in medians.items()},
               "tolerant / strict": round(medians["tolerant"] / medians["strict"], 3)}
        failed |= row["tolerant / strict"] > 1.10 or len(counts) != 1
        if args.baseline:
            row["strict / baseline strict"] = round(medians["strict"] / medians["baseline strict"], 3)
            failed |= row["strict / baseline strict"] > 1.02  # medians of alternating runs move by about 2 %
        report.append(row)
        print(json.dumps(row))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=1) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
