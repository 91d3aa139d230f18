"""Times the recovery of the largest dirty shared hive that has logs beside it.

    python bench/log_replay.py [--iterations N] [--peer-iterations N] [--json PATH]

Side by side in one run: Hive.open_with_logs(hive, LOG1, LOG2); reading the three files
whole (the floor for any recovery that looks at every byte); and regipy's pure-Python
recovery (regipy.recovery.apply_transaction_logs, which writes the recovered hive to a
temporary file), when regipy is installed (pip install regipy==6.5.0). Prints the median
and minimum of each and the two ratios; the goals are at most 3x the reading and at least
20x faster than the pure-Python recovery.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import sys
import tempfile
import time

import kelpa

HERE = pathlib.Path(__file__).resolve().parent
SHARED_HIVES = HERE.parents[1] / "shared" / "hives"


def largest_dirty_hive() -> tuple[pathlib.Path, list[pathlib.Path]]:
    records = [r for r in json.loads((SHARED_HIVES / "recovered.json").read_text())
               if r.get("recovered") and {"LOG1", "LOG2"} <= r["logs"].keys()]
    paths = [[SHARED_HIVES / r["file"], SHARED_HIVES / r["logs"]["LOG1"], SHARED_HIVES / r["logs"]["LOG2"]]
             for r in records]
    best = max(paths, key=lambda p: (p[0].stat().st_size, sum(f.stat().st_size for f in p)))
    return best[0], best[1:]


def timed(work, iterations: int) -> list[float]:
    times = []
    for _ in range(iterations):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return times


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=200)
    parser.add_argument("--peer-iterations", type=int, default=5)
    parser.add_argument("--json", type=pathlib.Path, default=HERE / "out" / "log_replay.json")
    args = parser.parse_args(argv)
    if not (SHARED_HIVES / "recovered.json").is_file():
        print(f"no shared hives at {SHARED_HIVES}")
        return 1
    hive, logs = largest_dirty_hive()
    names = [str(hive), *map(str, logs)]
    size = sum(pathlib.Path(n).stat().st_size for n in names)
    print(f"{hive.name} with {', '.join(p.suffix for p in logs)}: {size / 2**20:.2f} MiB in three files")
    report = kelpa.Hive.open_with_logs(*names).log_replay()
    for r in report:
        print(f"  {r.layout} log: applied={r.applied} entries={r.entries} pages={r.pages} sequence={r.sequence}")

    results = {
        "open_with_logs": timed(lambda: kelpa.Hive.open_with_logs(*names), args.iterations),
        "read three files": timed(lambda: [pathlib.Path(n).read_bytes() for n in names], args.iterations),
    }
    try:
        from regipy.recovery import apply_transaction_logs
    except ImportError:
        print("regipy is not installed (pip install regipy==6.5.0): its recovery is left out")
    else:
        with tempfile.TemporaryDirectory() as tmp:
            out = str(pathlib.Path(tmp) / "restored")
            results["regipy apply_transaction_logs"] = timed(
                lambda: apply_transaction_logs(names[0], names[1], names[2], restored_hive_path=out),
                args.peer_iterations)

    medians = {name: statistics.median(t) for name, t in results.items()}
    for name, t in results.items():
        print(f"  {name:32} median {medians[name] * 1e3:9.3f} ms   min {min(t) * 1e3:9.3f} ms   ({len(t)} runs)")
    ratios = {"open_with_logs / reading": medians["open_with_logs"] / medians["read three files"]}
    if "regipy apply_transaction_logs" in medians:
        ratios["regipy / open_with_logs"] = medians["regipy apply_transaction_logs"] / medians["open_with_logs"]
    for name, ratio in ratios.items():
        print(f"  {name}: {ratio:.1f}x")
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({"hive": hive.name, "bytes": size, "seconds": results, "ratios": ratios}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
