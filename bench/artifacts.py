"""Artifact decoders side by side: on the largest shared SYSTEM, NTUSER and Amcache hives (or the
hives given), the time of

- kelpa: every decoder registered for the hive's type (`kelpa_tools.artifacts.decode`);
- regipy: `run_relevant_plugins` on the same hive (its defaults: the validated plugins);
- walk: a plain full walk with kelpa (`root_key().walk()`, reading each key's values: name, type
  and data),

each from opening the file to the last row. The three take turns, round after round, so that load
from elsewhere falls on all alike; the medians of wall-clock and CPU time are compared. Goals: kelpa at least 20x faster than
regipy and at most 2x the walk.

    python bench/artifacts.py [--rounds N] [--json OUT] [--shared DIR] [HIVE ...]

Writes bench/out/artifacts.json by default.
"""

from __future__ import annotations

import argparse
import json
import logging
import pathlib
import platform
import statistics
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
SHARED = REPO.parent / "shared" / "hives"
TYPES = ("SYSTEM", "NTUSER", "AMCACHE")


def hive_type(path: pathlib.Path) -> str | None:
    import kelpa
    from kelpa_tools import hive_types
    try:
        return hive_types.hive_type(kelpa.Hive.from_path(str(path), strict=False), str(path))
    except ValueError:
        return None


def largest_shared(folder: pathlib.Path) -> list[pathlib.Path]:
    """The largest hive of each type in TYPES in `folder` (log files left out)."""
    best: dict[str, pathlib.Path] = {}
    for path in sorted(folder.iterdir()) if folder.is_dir() else []:
        if ".log" in path.name.lower() or path.suffix in (".json", ".md", ".reg"):
            continue
        kind = hive_type(path)
        if kind in TYPES and (kind not in best or path.stat().st_size > best[kind].stat().st_size):
            best[kind] = path
    return [best[k] for k in TYPES if k in best]


def run_kelpa(path: str) -> int:
    import kelpa
    from kelpa_tools import artifacts
    hive = kelpa.Hive.from_path(path, strict=False)
    return sum(1 for _ in artifacts.decode(hive, path=path))


def run_regipy(path: str) -> int:
    from regipy.plugins.utils import run_relevant_plugins
    from regipy.registry import RegistryHive
    results = run_relevant_plugins(RegistryHive(path), as_json=False)
    return sum(len(v) if isinstance(v, list) else 1 for v in results.values())


def run_walk(path: str) -> int:
    import kelpa
    values = 0
    for key in kelpa.Hive.from_path(path, strict=False).root_key().walk():
        for value in key.values():
            value.name()
            value.value_type().type_id()
            value.raw_data()
            values += 1
    return values


RUNS = {"kelpa": run_kelpa, "regipy": run_regipy, "walk": run_walk}


def timed(run, path: str) -> tuple[float, float, int]:
    """Wall-clock and CPU seconds of one run (the CPU time is the steadier where other work shares
    the machine), and what it counted."""
    start, start_cpu = time.perf_counter(), time.process_time()
    count = run(path)
    return time.perf_counter() - start, time.process_time() - start_cpu, count


def commit() -> str:
    try:
        return subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("hives", nargs="*", type=pathlib.Path)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", type=pathlib.Path, default=REPO / "bench" / "out" / "artifacts.json")
    parser.add_argument("--shared", type=pathlib.Path, default=SHARED, help="the shared hives' folder")
    args = parser.parse_args(argv)
    hives = args.hives or largest_shared(args.shared)
    if not hives:
        print(f"no hives given and none shared at {args.shared}", file=sys.stderr)
        return 2
    logging.disable(logging.CRITICAL)  # regipy logs every key a plugin misses
    from kelpa_tools import artifacts
    decoders = [d.name for d in artifacts.decoders()]
    results = []
    for path in hives:
        kind = hive_type(path)
        for run in RUNS.values():  # imports and first-use costs stay out of the figures
            run(str(path))
        times: dict[str, list[float]] = {name: [] for name in RUNS}
        cpu: dict[str, list[float]] = {name: [] for name in RUNS}
        counts: dict[str, int] = {}
        for _ in range(args.rounds):
            for name, run in RUNS.items():
                elapsed, used, counts[name] = timed(run, str(path))
                times[name].append(elapsed)
                cpu[name].append(used)
        medians = {name: statistics.median(t) for name, t in times.items()}
        cpu_medians = {name: statistics.median(t) for name, t in cpu.items()}
        results.append({"hive": path.name, "type": kind, "size": path.stat().st_size,
                        "median_seconds": medians, "median_cpu_seconds": cpu_medians, "seconds": times,
                        "cpu_seconds": cpu,
                        "rows": {"kelpa": counts["kelpa"], "regipy": counts["regipy"], "walk_values": counts["walk"]},
                        "regipy_over_kelpa": medians["regipy"] / medians["kelpa"],
                        "kelpa_over_walk": medians["kelpa"] / medians["walk"],
                        "cpu_regipy_over_kelpa": cpu_medians["regipy"] / cpu_medians["kelpa"],
                        "cpu_kelpa_over_walk": cpu_medians["kelpa"] / cpu_medians["walk"]})

    print(f"{'hive':30} {'type':8} {'MB':>5} {'':5} {'kelpa s':>8} {'rows':>5} {'regipy s':>9} {'entries':>7} "
          f"{'walk s':>7} {'regipy/kelpa':>12} {'kelpa/walk':>10}")
    for r in results:
        for clock, m, prefix in (("wall", r["median_seconds"], ""), ("cpu", r["median_cpu_seconds"], "cpu_")):
            print(f"{r['hive'][:30]:30} {r['type']:8} {r['size'] / 2**20:5.1f} {clock:5} {m['kelpa']:8.3f} "
                  f"{r['rows']['kelpa']:5d} {m['regipy']:9.3f} {r['rows']['regipy']:7d} {m['walk']:7.3f} "
                  f"{r[prefix + 'regipy_over_kelpa']:11.1f}x {r[prefix + 'kelpa_over_walk']:9.2f}x")
    report = {"commit": commit(), "machine": platform.machine(), "processor": platform.processor(),
              "python": platform.python_version(), "rounds": args.rounds, "decoders": decoders, "hives": results}
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(report, indent=2))
    print(f"written {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
