"""kelpa_tools.search over many hives against a full walk that reads every value's data, side by side in
one process:

- walk: each hive opened (Hive.from_path(path, strict=False)) and walked, every value's raw data read
  (for key in root.walk(): for value in key.values(): value.raw_data());
- search: the same hives opened the same way and searched with kelpa_tools.search.search(hive, data=P)
  for each pattern P, every hit consumed.

    python bench/search.py [--data PATTERN ...] [--rounds N] [--json OUT] [FOLDER]

The hives are the files of FOLDER/inventory.json with role "hive" (default: the shared hives). The
configurations take turns, round after round, so that load from elsewhere falls on all of them alike;
the medians are compared. Target: the search for each pattern within 3x the walk. A pattern with no
text that every match must hold (see kelpa_tools.search.required_texts) reads every value as text
and is reported beside the others, outside the target.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import sys
import time

import kelpa
from kelpa_tools import search

REPO = pathlib.Path(__file__).resolve().parents[1]
PATTERNS = ["mimikatz", "microsoft", r"\\system32\\[a-z]+\.exe", "[0-9]{5}"]
TARGET = 3.0


def opened(paths: list[str]) -> list[kelpa.Hive]:
    hives = []
    for path in paths:
        try:
            hives.append(kelpa.Hive.from_path(path, strict=False))
        except ValueError:  # a base block past reading: the same for both sides
            continue
    return hives


def walk(paths: list[str]) -> int:
    count = 0
    for hive in opened(paths):
        for key in hive.root_key().walk():
            for value in key.values():
                value.raw_data()
                count += 1
    return count


def searched(paths: list[str], pattern: str) -> int:
    return sum(1 for hive in opened(paths) for _ in search.search(hive, data=pattern))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?", type=pathlib.Path, default=REPO.parent / "shared" / "hives")
    parser.add_argument("--data", action="append", metavar="PATTERN",
                        help=f"a data pattern (repeatable; default: {' '.join(PATTERNS)})")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args(argv)
    inventory = args.folder / "inventory.json"
    if not inventory.is_file():
        print(f"needs {inventory}", file=sys.stderr)
        return 1
    paths = [str(args.folder / r["file"]) for r in json.loads(inventory.read_text()) if r.get("role", "hive") == "hive"]
    patterns = args.data or PATTERNS
    configs = {"walk": lambda: walk(paths), **{p: (lambda p=p: searched(paths, p)) for p in patterns}}
    times: dict[str, list[float]] = {name: [] for name in configs}
    counts: dict[str, int] = {}
    for _ in range(args.rounds):
        for name, work in configs.items():
            start = time.perf_counter()
            counts[name] = work()
            times[name].append(time.perf_counter() - start)
    walk_s = statistics.median(times["walk"])
    rows = [{"pattern": p, "probed": search.Query(data=p).probe is not None, "hits": counts[p],
             "median s": round(statistics.median(times[p]), 3),
             "range s": [round(min(times[p]), 3), round(max(times[p]), 3)],
             "vs walk": round(statistics.median(times[p]) / walk_s, 2)} for p in patterns]
    report = {"hives": len(paths), "values": counts["walk"], "rounds": args.rounds, "walk median s": round(walk_s, 3),
              "walk range s": [round(min(times["walk"]), 3), round(max(times["walk"]), 3)], "search": rows}
    print(json.dumps(report, indent=1))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=1) + "\n")
    return 0 if all(row["vs walk"] <= TARGET for row in rows if row["probed"]) else 1


if __name__ == "__main__":
    sys.exit(main())
