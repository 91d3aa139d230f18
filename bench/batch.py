"""A batch rule file over many hives against a plain full walk of the same hives, side by side:

- walk: every hive opened (tolerantly, with the logs beside it, as the command opens it) and walked
  with walk(), in one process;
- rules: the same hives opened the same way and the rule file applied with kelpa_tools.rules, in one
  process (what `kelpa batch -j 1` does, without writing the CSV);
- batch -j 1 and batch -j 2: the whole command, as a user starts it, writing its CSV to a file.

    python bench/batch.py [--rules FILE] [--rounds N] [--json OUT] [FOLDER]

Each measurement is a fresh process; the configurations take turns, round after round, and the
medians are compared. Targets: rules at most 2x walk; batch -j 2 faster than batch -j 1.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
SHARED = REPO.parent / "shared"
KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))

IN_PROCESS = r"""
import os, sys, time
from kelpa_tools import rules
from kelpa_tools.evidence import open_hive
mode, rules_path, paths = sys.argv[1], sys.argv[2], sys.argv[3:]
batch = rules.load_batch(rules_path)
start = time.perf_counter()
count = 0
for path in paths:
    hive = open_hive(path, logs="auto", strict=False)
    if mode == "walk":
        count += sum(1 for _ in hive.root_key().walk())
    else:
        count += sum(1 for _ in rules.apply(batch, hive, path))
print(time.perf_counter() - start, count)
"""


def timed(argv: list[str]) -> tuple[float, int]:
    start = time.perf_counter()
    done = subprocess.run(argv, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise SystemExit(f"{argv[:3]} failed: {done.stderr[-400:]}")
    fields = done.stdout.split()
    return (float(fields[0]), int(fields[1])) if argv[1] == "-c" else (elapsed, 0)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?", type=pathlib.Path, default=SHARED / "hives")
    parser.add_argument("--rules", type=pathlib.Path, default=SHARED / "rules" / "DFIRBatch.reb")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args(argv)
    inventory = args.folder / "inventory.json"
    if not inventory.is_file() or not args.rules.is_file():
        print(f"needs {inventory} and {args.rules}", file=sys.stderr)
        return 1
    paths = [str(args.folder / r["file"]) for r in json.loads(inventory.read_text()) if r.get("role", "hive") == "hive"]
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "rows.csv")
        configs = {
            "walk": [sys.executable, "-c", IN_PROCESS, "walk", str(args.rules), *paths],
            "rules": [sys.executable, "-c", IN_PROCESS, "rules", str(args.rules), *paths],
            "batch -j 1": [KELPA, "batch", "-r", str(args.rules), "-j", "1", "--force", "-o", out, str(args.folder)],
            "batch -j 2": [KELPA, "batch", "-r", str(args.rules), "-j", "2", "--force", "-o", out, str(args.folder)],
        }
        times: dict[str, list[float]] = {name: [] for name in configs}
        counts: dict[str, int] = {}
        for _ in range(args.rounds):
            for name, command in configs.items():
                seconds, count = timed(command)
                times[name].append(seconds)
                counts[name] = count
    medians = {name: statistics.median(t) for name, t in times.items()}
    report = {"hives": len(paths), "keys walked": counts["walk"], "rows": counts["rules"],
              **{f"{name} s": round(m, 3) for name, m in medians.items()},
              "rules / walk": round(medians["rules"] / medians["walk"], 2),
              "batch -j 2 / batch -j 1": round(medians["batch -j 2"] / medians["batch -j 1"], 2)}
    print(json.dumps(report, indent=1))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=1) + "\n")
    return 0 if report["rules / walk"] <= 2 and report["batch -j 2 / batch -j 1"] < 1 else 1


if __name__ == "__main__":
    sys.exit(main())
