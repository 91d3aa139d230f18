"""walk() and open_key() against the peers, side by side in one run.

    python bench/paths.py [HIVE ...] [--large] [--runs N] [--json FILE]

For each hive, in alternating rounds (one process per measurement, so no run finds another's
warm cache; the file itself is in the page cache for all of them):
- the full walk through walk() (each key's name; each value's name, type id and raw data) and
  the key-only walk through walk() (each key's name), against hivex's full and key-only walks
  (bench/walkers.py), and against kelpa's own subkeys()/values() walks for reference;
- two threads each walking a different hive with walk() (the hive and a copy of it) against one
  thread walking both in turn, in one kelpa process;
- Hive.open_key of a five-component path against hivex's child-by-name lookups from the root and
  python-registry's open(), each on an opened hive, median per call over many calls; and, for
  kelpa, how many subkeys lie along the path, which is what its cost grows with.
Figures are medians over the rounds, with the spread (min to max) as the machine's noise.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
OUT = HERE / "out"
SYSTEM_PYTHON = "/usr/bin/python3"
KELPA_PYTHON = str(REPO / ".venv" / "bin" / "python")
sys.path.insert(0, str(HERE))

# A five-component path that exists in each benchmark hive (the first that opens is used).
PATHS = [
    "ControlSet001\\Services\\Tcpip\\Parameters\\Interfaces",
    "ControlSet001\\Control\\Session Manager\\Memory Management\\PrefetchParameters",
]


# --- what runs in the child processes ---------------------------------------------------------


def walk_kelpa_iter(path: str, with_values: bool = True) -> tuple[int, int, int]:
    import kelpa

    keys = values = data_bytes = 0
    for key in kelpa.Hive.open(path).root_key().walk():
        key.name()
        keys += 1
        if with_values:
            for value in key.values():
                value.name()
                value.value_type().type_id()
                data_bytes += len(value.raw_data())
                values += 1
    return keys, values, data_bytes


def five_component_path(path: str) -> str:
    import kelpa

    hive = kelpa.Hive.open(path)
    for candidate in PATHS:
        try:
            hive.open_key(candidate)
            return candidate
        except ValueError:
            pass
    # The large synthetic hive: the first path five keys deep, always taking the widest subkey.
    key, parts = hive.root_key(), []
    while len(parts) < 5:
        subs = [s for s in key.subkeys() if s.subkey_count() or len(parts) == 4]
        key = max(subs, key=lambda s: s.subkey_count())
        parts.append(key.name())
    return "\\".join(parts)


def time_calls(call, iterations: int, batches: int = 15) -> float:
    """Median microseconds per call over batches of calls."""
    call()  # warm: the first lookup reads the keys once for every parser
    samples = []
    for _ in range(batches):
        started = time.perf_counter()
        for _ in range(iterations):
            call()
        samples.append((time.perf_counter() - started) / iterations * 1e6)
    return statistics.median(samples)


def child(job: str, hive: str, extra: str) -> dict:
    import walkers

    # The parser's import is not part of any figure.
    __import__("hivex" if "hivex" in job else "Registry" if "registry" in job else "kelpa")
    if job in ("walk", "walk-keys"):
        started = time.perf_counter()
        counts = walk_kelpa_iter(hive, job == "walk")
        return {"seconds": time.perf_counter() - started, "keys": counts[0], "peak_rss_kib": walkers.peak_rss_kib()}
    if job in ("subkeys", "subkeys-keys", "hivex", "hivex-keys"):
        walk = {"subkeys": walkers.walk_kelpa, "hivex": walkers.walk_hivex}[job.split("-")[0]]
        started = time.perf_counter()
        counts = walk(hive, not job.endswith("-keys"))
        return {"seconds": time.perf_counter() - started, "keys": counts[0], "peak_rss_kib": walkers.peak_rss_kib()}
    if job == "threads":
        sequential_started = time.perf_counter()
        walk_kelpa_iter(hive)
        walk_kelpa_iter(extra)
        sequential = time.perf_counter() - sequential_started
        workers = [threading.Thread(target=walk_kelpa_iter, args=(p,)) for p in (hive, extra)]
        threaded_started = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return {"sequential": sequential, "threaded": time.perf_counter() - threaded_started}
    parts = extra.split("\\")
    if job == "open-kelpa":
        import kelpa

        h = kelpa.Hive.open(hive)
        key, along = h.root_key(), 0
        for part in parts:
            along += key.subkey_count()
            key = key.open_key(part)
        return {"us": time_calls(lambda: h.open_key(extra), 2000), "subkeys_along": along}
    if job == "open-hivex":
        import hivex

        h = hivex.Hivex(hive)

        def lookup():
            node = h.root()
            for part in parts:
                node = h.node_get_child(node, part)
            return node

        assert lookup() is not None
        return {"us": time_calls(lookup, 2000)}
    if job == "open-python-registry":
        from Registry import Registry

        reg = Registry.Registry(hive)
        return {"us": time_calls(lambda: reg.open(extra), 5, 5)}
    raise SystemExit(f"unknown job {job}")


# --- the driver ----------------------------------------------------------------------------------


def run(python: str, job: str, hive: str, extra: str = "") -> dict:
    done = subprocess.run([python, __file__, "--child", job, hive, extra], capture_output=True, text=True)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or [f"exit {done.returncode}"])[-1]}
    return json.loads(done.stdout)


def spread(samples: list[float]) -> str:
    return f"{statistics.median(samples):.3f} ({min(samples):.3f}-{max(samples):.3f})"


def bench_hive(hive: str, runs: int) -> dict:
    copy = OUT / (pathlib.Path(hive).name + ".copy")
    if not copy.exists() or copy.stat().st_size != pathlib.Path(hive).stat().st_size:
        OUT.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(hive, copy)
    five = subprocess.run([KELPA_PYTHON, "-c", f"import sys; sys.path.insert(0, {str(HERE)!r}); import paths; "
                           f"print(paths.five_component_path({hive!r}))"], capture_output=True, text=True,
                          check=True).stdout.strip()
    jobs = [("walk", KELPA_PYTHON), ("hivex", SYSTEM_PYTHON), ("subkeys", KELPA_PYTHON),
            ("walk-keys", KELPA_PYTHON), ("hivex-keys", SYSTEM_PYTHON), ("subkeys-keys", KELPA_PYTHON)]
    opens = [("open-kelpa", KELPA_PYTHON), ("open-hivex", SYSTEM_PYTHON), ("open-python-registry", KELPA_PYTHON)]
    results: dict[str, list[dict]] = {}
    for _ in range(runs):  # alternate: every round runs each job once
        for job, python in jobs:
            results.setdefault(job, []).append(run(python, job, hive))
        results.setdefault("threads", []).append(run(KELPA_PYTHON, "threads", hive, str(copy)))
        for job, python in opens:
            results.setdefault(job, []).append(run(python, job, hive, five))
    report = {"hive": hive, "path": five, "raw": results, "lines": []}
    lines = report["lines"]
    medians = {}
    for job, _ in jobs:
        ok = [r for r in results[job] if "error" not in r]
        if not ok:
            lines.append(f"{job:14} {results[job][0]['error']}")
            continue
        secs = [r["seconds"] for r in ok]
        medians[job] = statistics.median(secs)
        lines.append(f"{job:14} {spread(secs)} s  keys {ok[0]['keys']}  peak RSS {ok[0]['peak_rss_kib'] // 1024} MiB")
    for ours, theirs in (("walk", "hivex"), ("walk-keys", "hivex-keys"), ("subkeys", "hivex"),
                         ("subkeys-keys", "hivex-keys")):
        if ours in medians and theirs in medians:
            ratios = [t["seconds"] / o["seconds"] for o, t in zip(results[ours], results[theirs])]
            lines.append(f"{ours} vs {theirs}: {medians[theirs] / medians[ours]:.2f}x faster "
                         f"(per round {min(ratios):.2f}-{max(ratios):.2f})")
    threads = [r for r in results["threads"] if "error" not in r]
    if threads:
        ratios = [r["sequential"] / r["threaded"] for r in threads]
        lines.append(f"two threads two hives: sequential {spread([r['sequential'] for r in threads])} s, "
                     f"threaded {spread([r['threaded'] for r in threads])} s, "
                     f"speed-up {statistics.median(ratios):.2f}x ({min(ratios):.2f}-{max(ratios):.2f})")
    for job, _ in opens:
        ok = [r for r in results[job] if "error" not in r]
        text = spread([r["us"] for r in ok]) + " us" if ok else results[job][0]["error"]
        along = f"  ({ok[0]['subkeys_along']} subkeys along the path)" if ok and "subkeys_along" in ok[0] else ""
        lines.append(f"{job:22} {text}{along}")
    return report


def main(argv: list[str]) -> int:
    if argv[:1] == ["--child"]:
        print(json.dumps(child(*argv[1:4])))
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("hives", nargs="*")
    parser.add_argument("--large", action="store_true", help="add the synthetic large hive")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args(argv)
    hives = list(args.hives)
    if args.large:
        import make_large_hive

        hives.append(str(make_large_hive.make()))
    reports = []
    for hive in hives:
        report = bench_hive(hive, args.runs)
        print(f"== {hive}  (path {report['path']})")
        print("\n".join(report["lines"]), flush=True)
        reports.append(report)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(reports, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
