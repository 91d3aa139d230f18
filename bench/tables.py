"""Hive.table against the peers' walks, the Parquet export, streaming memory and a Dask fleet, side by side in one run.

    .venv/bin/python bench/tables.py [--rounds N] [--only tables,layouts,export,stream,dask] [--[no-]instructions] [--json OUT]

- tables: on the SYSTEM hive of Windows 10 1709, the values table read whole
  (`pyarrow.RecordBatchReader.from_stream(Hive.from_path(p).table("values")).read_all()`, open
  included; `pyarrow.table`, which imports pandas, for reference) against hivex's full walk
  (bench/walkers.py), regipy-rs's native recursive walk with values
  (`regipy.registry_rs.RegistryHive(p)._hive.recurse(fetch_values=True)`, the Rust iterator that
  regipy's own `recurse_subkeys` wraps in dataclasses; that wrapper is timed too, for reference)
  and the C++ core walk (bench/out/core_walk); the keys table (all columns, and without
  class_name) against hivex's key-only walk; both tables in the default layout (large strings and
  binary) and in the view layout. Each measurement is a process of its own, timing
  only the open and the read inside it, with its CPU time; the configurations take turns, round
  after round. With --instructions (the default), each configuration also runs once under
  valgrind's callgrind: a Python job's instructions less those of the same process doing only its
  imports, the core walk's whole process; counts that a loaded machine does not move.
- layouts: the values table read by pyarrow (`RecordBatchReader.from_stream`), Polars
  (`polars.DataFrame`) and DuckDB (a query over every column of `FROM table`), in the view layout
  and in the large one, each read a process of its own.
- export: `kelpa export -f parquet -j 1` over the folder of shared hives, the whole command as a
  user starts it, in ms per MB of hive read (10^6 bytes, the hive files' sizes; the logs beside
  them are read too but not counted); its fixed start-up is the same command over the smallest
  shared hive alone, and the per-MB figure beyond it is (all - smallest) / (MB all - MB smallest)
  round by round; beside them, in turns, both tables of every hive read with
  `pyarrow.table` in one process (opened as the export opens them: logs beside, not strict),
  and the command's imports alone.
- stream: the values table of the synthetic large hive (bench/make_large_hive.py) read batch by
  batch through `pyarrow.RecordBatchReader.from_stream`, each batch dropped: the peak resident
  set (VmHWM, reset through /proc/self/clear_refs once the keys have been walked) minus the
  resident set after opening the hive and walking its keys once; the same for the table read
  whole, for reference.
- dask: `kelpa_tools.datasets.read_hives(shared hives, "values").compute()` on a
  `distributed.LocalCluster` of 1 and of 2 worker processes (one thread each), a fresh cluster
  per measurement: the compute's wall time (the cluster's start and the workers' first imports
  left out) and CPU time (driver and workers); the rows of each, sorted, compared.

Figures are medians with the spread (min to max) over the rounds; ratios are taken between the
medians, with the spread of the same-round ratios. Prints the report as JSON (and writes it with
--json) and a summary with the targets on stderr.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
OUT = HERE / "out"
SHARED_HIVES = REPO.parent / "shared" / "hives"
SYSTEM_HIVE = SHARED_HIVES / "regipy__SYSTEM_WIN_10_1709"
sys.path.insert(0, str(HERE))

import walkers  # noqa: E402  (standard library only: the children under every interpreter import it)

# --- what runs in the child processes ---------------------------------------------------------


def read_table(path: str, kind: str, columns: list[str] | None = None, layout: str = "large") -> dict:
    import kelpa
    import pyarrow as pa

    table = kelpa.Hive.from_path(path).table(kind, columns=columns, layout=layout)
    return {"rows": pa.RecordBatchReader.from_stream(table).read_all().num_rows}


def consume(path: str, reader: str, layout: str) -> dict:
    """The values table read by `reader` (pyarrow, polars, duckdb) in `layout` (view, large)."""
    import kelpa

    table = kelpa.Hive.from_path(path).table("values", layout=layout)
    if reader == "pyarrow":
        import pyarrow as pa

        return {"rows": pa.RecordBatchReader.from_stream(table).read_all().num_rows}
    if reader == "polars":
        import polars

        return {"rows": polars.DataFrame(table).height}
    import duckdb

    # Every column of every row through DuckDB's scan of the stream (found by its variable's name).
    values_table = table  # noqa: F841
    rows = duckdb.connect().sql("select count(*), sum(octet_length(data)), count(key_path), count(name), "
                                "sum(length(text)) from values_table").fetchall()[0]
    return {"rows": rows[0]}


def read_table_pandas_way(path: str, kind: str) -> dict:
    import kelpa
    import pyarrow as pa

    return {"rows": pa.table(kelpa.Hive.from_path(path).table(kind)).num_rows}


def regipy_rs_recurse(path: str) -> dict:
    from regipy.registry_rs import RegistryHive

    keys = values = 0
    for _name, _path, _stamp, _count, listed, _error, _is_root in RegistryHive(path)._hive.recurse(fetch_values=True):
        keys += 1
        values += len(listed)
    return {"keys": keys, "values": values}


def regipy_rs_recurse_subkeys(path: str) -> dict:
    from regipy.registry_rs import RegistryHive

    keys = values = 0
    for subkey in RegistryHive(path).recurse_subkeys():
        keys += 1
        values += len(subkey.values)
    return {"keys": keys, "values": values}


def walker(name: str):
    def run(path: str) -> dict:
        keys, values, data_bytes = walkers.WALKS[name](path)
        return {"keys": keys, "values": values, "data_bytes": data_bytes if data_bytes >= 0 else None}

    return run


def read_all(paths: list[str]) -> dict:
    import pyarrow as pa
    from kelpa_tools.evidence import open_hive

    rows = {"keys": 0, "values": 0}
    for path in paths:
        hive = open_hive(path, logs="auto", strict=False)
        for kind in rows:
            rows[kind] += pa.table(hive.table(kind)).num_rows
    return {"key_rows": rows["keys"], "value_rows": rows["values"]}


# Each job: the modules imported before the clock starts, and the work, given the hive paths.
# The tables are read whole with RecordBatchReader.from_stream(...).read_all(). pyarrow.table
# imports pandas the first time it is called (to ask whether its argument is a DataFrame): 0.2 s
# and 50 MiB that are an import, not a read; the "pyarrow.table" job imports pandas before the clock.
KEY_COLUMNS_WITHOUT_CLASS = ["key_id", "parent_id", "path", "name", "last_written", "last_written_filetime", "flags",
                             "subkey_count", "value_count", "deleted"]
JOBS = {
    "table-values": (("kelpa", "pyarrow"), lambda paths: read_table(paths[0], "values")),
    "table-values-pa-table": (("kelpa", "pyarrow", "pandas"), lambda paths: read_table_pandas_way(paths[0], "values")),
    "table-values-view": (("kelpa", "pyarrow"), lambda paths: read_table(paths[0], "values", layout="view")),
    "table-keys-view": (("kelpa", "pyarrow"), lambda paths: read_table(paths[0], "keys", layout="view")),
    **{f"consume-{reader}-{layout}": (("kelpa", "pyarrow", reader),
                                      lambda paths, reader=reader, layout=layout: consume(paths[0], reader, layout))
       for reader in ("pyarrow", "polars", "duckdb") for layout in ("view", "large")},
    "table-keys": (("kelpa", "pyarrow"), lambda paths: read_table(paths[0], "keys")),
    "table-keys-no-class": (("kelpa", "pyarrow"), lambda paths: read_table(paths[0], "keys", KEY_COLUMNS_WITHOUT_CLASS)),
    "hivex": (("hivex",), lambda paths: walker("hivex")(paths[0])),
    "hivex-keys": (("hivex",), lambda paths: walker("hivex-keys")(paths[0])),
    "regipy-rs-recurse": (("regipy.registry_rs",), lambda paths: regipy_rs_recurse(paths[0])),
    "regipy-rs-recurse_subkeys": (("regipy.registry_rs",), lambda paths: regipy_rs_recurse_subkeys(paths[0])),
    "read-all": (("kelpa", "pyarrow", "pandas", "kelpa_tools.evidence"), read_all),
}


def status_kib() -> dict[str, int]:
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM", "RssAnon", "RssFile"):
                fields[name] = int(rest.split()[0])
    return fields


def reset_peak() -> bool:
    """Sets VmHWM back to the current resident set (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return True


def stream_memory(path: str, whole: bool) -> dict:
    import kelpa
    import pandas  # noqa: F401  (pyarrow.table would import it during the read: see JOBS)
    import pyarrow as pa

    hive = kelpa.Hive.from_path(path)
    keys = sum(1 for _ in hive.root_key().walk())
    after_keys = status_kib()
    reset = reset_peak()
    started, cpu = time.perf_counter(), time.process_time()
    rows = batches = largest = 0
    if whole:
        table = pa.table(hive.table("values"))
        rows, batches, largest = table.num_rows, len(table.to_batches()), table.nbytes
        del table
    else:
        for batch in pa.RecordBatchReader.from_stream(hive.table("values")):
            rows += batch.num_rows
            batches += 1
            largest = max(largest, batch.nbytes)
            del batch
    seconds, cpu_seconds = time.perf_counter() - started, time.process_time() - cpu
    end = status_kib()
    return {"keys": keys, "rows": rows, "batches": batches, "largest_batch_bytes": largest, "seconds": seconds,
            "cpu_seconds": cpu_seconds, "peak_reset": reset, "after_keys_kib": after_keys, "end_kib": end,
            "growth_kib": end["VmHWM"] - after_keys["VmRSS"]}


def dask_compute(paths: list[str], workers: int, keep: str) -> dict:
    import logging
    import resource

    import pyarrow as pa
    from distributed import Client, LocalCluster

    from kelpa_tools import datasets

    def usage() -> float:
        used = resource.getrusage(resource.RUSAGE_SELF)
        return used.ru_utime + used.ru_stime

    def first_imports() -> None:
        import kelpa  # noqa: F401
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401

        import kelpa_tools.datasets  # noqa: F401

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.wait_for_workers(workers)
        client.run(first_imports)
        frame = datasets.read_hives(paths, "values")
        before_workers, before = client.run(usage), usage()
        started = time.perf_counter()
        result = frame.compute()
        seconds = time.perf_counter() - started
        driver_cpu = usage() - before
        after_workers = client.run(usage)
        # Once more on the same workers, for what each worker pays only on its first hives.
        started = time.perf_counter()
        again = len(frame.compute())
        second = time.perf_counter() - started
        # As a fleet is read in practice: the workers write a partitioned dataset, nothing gathered.
        with tempfile.TemporaryDirectory(prefix="tables-dask-parquet-") as written:
            started = time.perf_counter()
            frame.to_parquet(written, write_index=False)
            to_parquet = time.perf_counter() - started
    worker_cpu = sum(after_workers[w] - before_workers[w] for w in after_workers)
    out = {"seconds": seconds, "cpu_seconds": driver_cpu + worker_cpu, "driver_cpu_seconds": driver_cpu,
           "worker_cpu_seconds": worker_cpu, "rows": len(result), "second_seconds": second, "second_rows": again,
           "to_parquet_seconds": to_parquet}
    if keep != "-":
        table = pa.Table.from_pandas(result, preserve_index=False).replace_schema_metadata(None)
        table = table.sort_by([(name, "ascending") for name in table.column_names]).combine_chunks()
        with pa.OSFile(keep, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
    return out


def cmd_child(job: str, paths: list[str], workers: int, keep: str, no_work: bool = False) -> dict:
    if no_work:  # the imports alone, for the instruction counts of the work (see section_instructions)
        for module in JOBS[job][0]:
            __import__(module)
        return {}
    if job == "stream" or job == "whole":
        result = stream_memory(paths[0], whole=job == "whole")
    elif job == "dask":
        result = dask_compute(paths, workers, keep)
    else:
        modules, work = JOBS[job]
        for module in modules:
            __import__(module)
        if job.startswith("regipy"):
            import logging

            logging.disable(logging.CRITICAL)  # regipy logs a line for every value it cannot decode
        started, cpu = time.perf_counter(), time.process_time()
        result = work(paths)
        result = {"seconds": time.perf_counter() - started, "cpu_seconds": time.process_time() - cpu, **result}
    result["peak_rss_kib"] = walkers.peak_rss_kib()
    return result


# --- running them -------------------------------------------------------------------------------


def load() -> list[float]:
    return [round(x, 2) for x in os.getloadavg()]


def run(argv: list[str], log: pathlib.Path) -> dict:
    """Runs one child; its JSON line (if any) with the process's wall and CPU time (wait4)."""
    with open(log, "ab") as err:
        started = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=err)
        output = child.stdout.read()  # type: ignore[union-attr]
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - started
        child.stdout.close()  # type: ignore[union-attr]
    code = os.waitstatus_to_exitcode(status)
    lines = output.decode(errors="replace").strip().splitlines()
    result = json.loads(lines[-1]) if lines and lines[-1].startswith("{") else {}
    if code != 0:
        tail = " | ".join(log.read_text(errors="replace").strip().splitlines()[-3:])
        raise RuntimeError(f"{' '.join(argv[:4])}: exit {code}: {tail}")
    return {**result, "process_wall_s": wall, "process_cpu_s": usage.ru_utime + usage.ru_stime}


def rounds(configs: dict[str, list[str]], count: int, log: pathlib.Path, section: str) -> dict[str, list[dict]]:
    """Every configuration once per round, the starting one moving on by one each round."""
    names = list(configs)
    runs: dict[str, list[dict]] = {name: [] for name in names}
    for r in range(count):
        print(f"  {section}: round {r + 1} of {count}", file=sys.stderr, flush=True)
        for name in names[r % len(names):] + names[:r % len(names)]:
            runs[name].append(run(configs[name], log))
    return runs


def spread(samples: list[float]) -> dict:
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples),
            "samples": [round(s, 6) for s in samples]}


def ratio(runs: dict[str, list[dict]], slower: str, faster: str, key: str = "seconds") -> dict:
    """The ratio of the medians, and the spread of the same-round ratios."""
    a, b = [r[key] for r in runs[slower]], [r[key] for r in runs[faster]]
    per_round = [x / y for x, y in zip(a, b)]
    return {"ratio": statistics.median(a) / statistics.median(b), "min": min(per_round), "max": max(per_round)}


def child(python: str, job: str, *paths: str, extra: tuple[str, ...] = ()) -> list[str]:
    return [python, str(pathlib.Path(__file__).resolve()), "child", job, *paths, *extra]


def shared_hives() -> list[str]:
    listed = json.loads((SHARED_HIVES / "inventory.json").read_text())
    return [str(SHARED_HIVES / r["file"]) for r in listed if r.get("role", "hive") == "hive"]


def section_tables(args: argparse.Namespace, log: pathlib.Path, report: dict) -> list[dict]:
    import compare

    hive = str(SYSTEM_HIVE)
    compare.warm_page_cache(SYSTEM_HIVE)
    kpy, spy, vpy = args.kelpa_python, str(compare.SYSTEM_PYTHON), str(compare.peer_python())
    missing = {"hivex": compare.probe(spy, "hivex"), "core": compare.build_core_walk(),
               "regipy-rs": compare.setup_peer_venv(sys._base_executable) or compare.probe(vpy, "regipy-rust")}  # type: ignore[attr-defined]
    configs = {"values table": child(kpy, "table-values", hive), "keys table": child(kpy, "table-keys", hive),
               "values table, view layout": child(kpy, "table-values-view", hive),
               "keys table, view layout": child(kpy, "table-keys-view", hive),
               "keys table without class_name": child(kpy, "table-keys-no-class", hive),
               "values table, pyarrow.table": child(kpy, "table-values-pa-table", hive)}
    if not missing["hivex"]:
        configs["hivex"] = child(spy, "hivex", hive)
        configs["hivex keys"] = child(spy, "hivex-keys", hive)
    if not missing["regipy-rs"]:
        configs["regipy-rs recurse"] = child(vpy, "regipy-rs-recurse", hive)
        configs["regipy-rs recurse_subkeys"] = child(vpy, "regipy-rs-recurse_subkeys", hive)
    if not missing["core"]:
        configs["core walk"] = [str(compare.CORE_WALK), hive]
        configs["core walk --minimal"] = [str(compare.CORE_WALK), "--minimal", hive]
    versions = {"hivex": compare.version_of(spy, "hivex", "python3-hivex"),
                "regipy": compare.version_of(vpy, "regipy"), "regipy-rs": compare.version_of(vpy, "regipy-rs"),
                "kelpa": compare.version_of(kpy, "kelpa"), "pyarrow": compare.version_of(kpy, "pyarrow"),
                "kelpa python": compare.python_version(kpy), "hivex python": compare.python_version(spy),
                "peers python": compare.python_version(vpy)}
    before = load()
    runs = rounds(configs, args.rounds, log, "tables")
    out = {"hive": hive, "size": SYSTEM_HIVE.stat().st_size, "rounds": args.rounds, "versions": versions,
           "missing": {k: v for k, v in missing.items() if v}, "load_before": before, "load_after": load(),
           "configs": {}}
    for name, done in runs.items():
        last = done[-1]
        out["configs"][name] = {
            "argv": configs[name][1:], "seconds": spread([r["seconds"] for r in done]),
            "cpu_seconds": spread([r.get("cpu_seconds", r["process_cpu_s"]) for r in done]),
            "cpu_of": "the work" if "cpu_seconds" in last else "the whole process",
            "peak_rss_kib": max(r["peak_rss_kib"] for r in done),
            **{k: last[k] for k in ("rows", "keys", "values", "data_bytes") if k in last}}
    ratios, checks = {}, []

    def target(text: str, slower: str, faster: str, goal: float, at_most: bool = False) -> None:
        if slower not in runs or faster not in runs:
            checks.append({"target": text, "ok": None, "figure": "not run"})
            return
        r = ratio(runs, slower, faster)
        cpu = ratio(runs, slower, faster, "cpu_seconds") if all(
            "cpu_seconds" in x for x in runs[slower] + runs[faster]) else None
        ratios[f"{slower} / {faster}"] = {**r, "cpu_ratio": cpu and cpu["ratio"]}
        ok = r["ratio"] <= goal if at_most else r["ratio"] >= goal
        checks.append({"target": text, "ok": ok, "figure": f"{r['ratio']:.2f}x (rounds {r['min']:.2f}-{r['max']:.2f})"
                       + (f", CPU {cpu['ratio']:.2f}x" if cpu else "")})

    target("values table at least 3x faster than hivex's full walk", "hivex", "values table", 3)
    target("values table at least 3x faster than regipy-rs's native recurse", "regipy-rs recurse", "values table", 3)
    target("values table within 1.5x of the core walk", "values table", "core walk", 1.5, at_most=True)
    target("keys table at least 3x faster than hivex's key-only walk", "hivex keys", "keys table", 3)
    target("keys table without class_name at least 3x faster than hivex's key-only walk", "hivex keys",
           "keys table without class_name", 3)
    for slower, faster in (("regipy-rs recurse_subkeys", "values table"), ("values table", "core walk --minimal"),
                           ("keys table", "core walk --minimal")):
        if slower in runs and faster in runs:
            ratios[f"{slower} / {faster}"] = ratio(runs, slower, faster)
    out["ratios"] = ratios
    report["tables"] = out
    if args.instructions:
        checks += instruction_counts(configs, args, log, out)
    return checks


def callgrind(argv: list[str], log: pathlib.Path) -> int:
    """The instructions a process executes (valgrind's callgrind), start to exit."""
    with tempfile.NamedTemporaryFile(prefix="tables-callgrind-") as out:
        done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}", *argv],
                              capture_output=True, text=True)
    with open(log, "a") as err:
        err.write(done.stderr)
    collected = [line for line in done.stderr.splitlines() if "Collected :" in line]
    if done.returncode != 0 or not collected:
        raise RuntimeError(f"callgrind {' '.join(argv[:4])}: exit {done.returncode}")
    return int(collected[-1].split(":")[-1])


def instruction_counts(configs: dict[str, list[str]], args: argparse.Namespace, log: pathlib.Path,
                       out: dict) -> list[dict]:
    """Each configuration once under callgrind: a Python job's instructions minus those of the same
    process doing only its imports (the work, open and read, as the clock times it); the core walk's
    whole process. Deterministic, so repeatable on a loaded machine, where the wall times are not."""
    counts = {}
    for name, argv in configs.items():
        if name == "values table, pyarrow.table":
            continue
        print(f"  instructions: {name}", file=sys.stderr, flush=True)
        whole = callgrind(argv, log)
        counts[name] = whole - (callgrind([*argv, "--no-work"], log) if "child" in argv else 0)
    out["instructions"] = counts
    checks = []
    for text, slower, faster, goal, at_most in (
            ("instructions: values table at least 3x fewer than hivex's full walk", "hivex", "values table", 3, False),
            ("instructions: values table at least 3x fewer than regipy-rs's native recurse", "regipy-rs recurse",
             "values table", 3, False),
            ("instructions: values table within 1.5x of the core walk", "values table", "core walk", 1.5, True),
            ("instructions: keys table at least 3x fewer than hivex's key-only walk", "hivex keys", "keys table", 3,
             False)):
        if slower in counts and faster in counts:
            r = counts[slower] / counts[faster]
            checks.append({"target": text, "ok": r <= goal if at_most else r >= goal,
                           "figure": f"{r:.2f}x ({counts[slower] / 1e6:.0f} M / {counts[faster] / 1e6:.0f} M)"})
    return checks


def section_export(args: argparse.Namespace, log: pathlib.Path, report: dict) -> list[dict]:
    paths = shared_hives()
    mb = sum(os.path.getsize(p) for p in paths) / 1e6
    for p in paths:
        with open(p, "rb") as f:
            f.read()
    kelpa_command = str(pathlib.Path(args.kelpa_python).with_name("kelpa"))
    smallest = min(paths, key=os.path.getsize)
    small_mb = os.path.getsize(smallest) / 1e6
    with tempfile.TemporaryDirectory(prefix="tables-export-") as scratch:
        written = os.path.join(scratch, "out.parquet")
        one = os.path.join(scratch, "one")
        os.mkdir(one)
        os.symlink(smallest, os.path.join(one, os.path.basename(smallest)))
        # A fresh output each time, removed before the command starts; the command exits with 1
        # when it reports problems, as it does for the damaged hives among the shared ones.
        configs = {
            "export": ["/bin/sh", "-c", 'rm -f "$1"; "$2" export -f parquet -j 1 -o "$1" "$3"; [ $? -le 1 ]', "sh",
                       written, kelpa_command, str(SHARED_HIVES)],
            # The fixed start-up: the same command over the smallest shared hive alone.
            "export of one small hive": ["/bin/sh", "-c", 'rm -f "$1"; "$2" export -f parquet -j 1 -o "$1" "$3"; [ $? -le 1 ]',
                                         "sh", written + ".one", kelpa_command, one],
            "read both tables": child(args.kelpa_python, "read-all", *paths),
            "imports of the command": [args.kelpa_python, "-c",
                                       "import kelpa_cli.__main__, kelpa_cli.export, kelpa_cli.parquet_format"],
        }
        before = load()
        runs = rounds(configs, args.export_rounds, log, "export")
        import pyarrow.parquet as pq

        output_rows = pq.read_metadata(written).num_rows
        output_bytes = os.path.getsize(written)
    export_wall = [r["process_wall_s"] for r in runs["export"]]
    start_wall = [r["process_wall_s"] for r in runs["export of one small hive"]]
    beyond = [1000 * (w - s) / (mb - small_mb) for w, s in zip(export_wall, start_wall)]
    read = runs["read both tables"]
    out = {
        "hives": len(paths), "mb": mb, "rounds": args.export_rounds, "load_before": before, "load_after": load(),
        "export": {"wall_s": spread(export_wall), "cpu_s": spread([r["process_cpu_s"] for r in runs["export"]]),
                   "ms_per_mb": spread([1000 * s / mb for s in export_wall]), "output_rows": output_rows,
                   "output_bytes": output_bytes},
        "read both tables": {"seconds": spread([r["seconds"] for r in read]),
                             "cpu_seconds": spread([r["cpu_seconds"] for r in read]),
                             "ms_per_mb": spread([1000 * r["seconds"] / mb for r in read]),
                             "process_wall_s": spread([r["process_wall_s"] for r in read]),
                             "key_rows": read[-1]["key_rows"], "value_rows": read[-1]["value_rows"]},
        "fixed start-up (export of the smallest hive)": {
            "hive": smallest, "mb": small_mb, "wall_s": spread(start_wall),
            "cpu_s": spread([r["process_cpu_s"] for r in runs["export of one small hive"]])},
        "ms_per_mb_beyond_start_up": spread(beyond),
        "imports of the command": {"wall_s": spread([r["process_wall_s"] for r in runs["imports of the command"]]),
                                   "cpu_s": spread([r["process_cpu_s"] for r in runs["imports of the command"]])},
    }
    report["export"] = out
    figure = out["export"]["ms_per_mb"]
    per_mb = out["ms_per_mb_beyond_start_up"]
    start = out["fixed start-up (export of the smallest hive)"]["wall_s"]
    return [{"target": "Parquet export of all shared hives (-j 1) at most 10 ms per MB beyond its fixed start-up",
             "ok": per_mb["median"] <= 10,
             "figure": f"{per_mb['median']:.1f} ms/MB (rounds {per_mb['min']:.1f}-{per_mb['max']:.1f}) beyond a start-up of "
                       f"{start['median']:.2f} s; whole: {figure['median']:.1f} ms/MB, "
                       f"{out['export']['wall_s']['median']:.2f} s for {mb:.1f} MB"}]


def section_stream(args: argparse.Namespace, log: pathlib.Path, report: dict) -> list[dict]:
    import make_large_hive

    large = make_large_hive.make()
    with open(large, "rb") as f:
        while f.read(1 << 24):
            pass
    configs = {"stream": child(args.kelpa_python, "stream", str(large)),
               "whole": child(args.kelpa_python, "whole", str(large))}
    before = load()
    runs = rounds(configs, args.stream_rounds, log, "stream")
    out = {"hive": str(large), "size": large.stat().st_size, "rounds": args.stream_rounds, "load_before": before,
           "load_after": load()}
    for name, done in runs.items():
        last = done[-1]
        out[name] = {"growth_mib": spread([r["growth_kib"] / 1024 for r in done]),
                     "seconds": spread([r["seconds"] for r in done]),
                     "cpu_seconds": spread([r["cpu_seconds"] for r in done]),
                     "peak_reset": all(r["peak_reset"] for r in done),
                     **{k: last[k] for k in ("keys", "rows", "batches", "largest_batch_bytes", "after_keys_kib",
                                             "end_kib")}}
    report["stream"] = out
    growth = out["stream"]["growth_mib"]
    return [{"target": "values of the large hive streamed: peak RSS growth at most 64 MiB", "ok": growth["max"] <= 64,
             "figure": f"{growth['median']:.1f} MiB (rounds {growth['min']:.1f}-{growth['max']:.1f})"}]


def section_dask(args: argparse.Namespace, log: pathlib.Path, report: dict) -> list[dict]:
    paths = shared_hives()
    with tempfile.TemporaryDirectory(prefix="tables-dask-") as scratch:
        kept = {n: os.path.join(scratch, f"{n}.arrow") for n in (1, 2)}
        configs = {f"{n} worker{'s' if n > 1 else ''}": child(args.kelpa_python, "dask", *paths,
                                                                extra=("--workers", str(n), "--keep", kept[n]))
                   for n in (1, 2)}
        before = load()
        runs: dict[str, list[dict]] = {name: [] for name in configs}
        for r in range(args.dask_rounds):
            print(f"  dask: round {r + 1} of {args.dask_rounds}", file=sys.stderr, flush=True)
            for name in list(configs)[r % 2:] + list(configs)[:r % 2]:
                argv = configs[name] if r == 0 else [a if a not in kept.values() else "-" for a in configs[name]]
                runs[name].append(run(argv, log))
        import pyarrow as pa

        first, second = (pa.ipc.open_file(kept[n]).read_all() for n in (1, 2))
        same_rows = first.equals(second)
    rows = {name: sorted({r["rows"] for r in done} | {r["second_rows"] for r in done}) for name, done in runs.items()}
    out = {"hives": len(paths), "rounds": args.dask_rounds, "load_before": before, "load_after": load(),
           "rows": rows, "same_rows_sorted": same_rows,
           "ratio_1_to_2": ratio(runs, "1 worker", "2 workers"),
           "cpu_ratio_1_to_2": ratio(runs, "1 worker", "2 workers", "cpu_seconds"),
           "second_compute_ratio_1_to_2": ratio(runs, "1 worker", "2 workers", "second_seconds"),
           "to_parquet_ratio_1_to_2": ratio(runs, "1 worker", "2 workers", "to_parquet_seconds")}
    for name, done in runs.items():
        out[name] = {"seconds": spread([r["seconds"] for r in done]), "cpu_seconds": spread([r["cpu_seconds"] for r in done]),
                     "worker_cpu_seconds": spread([r["worker_cpu_seconds"] for r in done]),
                     "driver_cpu_seconds": spread([r["driver_cpu_seconds"] for r in done]),
                     "second_compute_seconds": spread([r["second_seconds"] for r in done]),
                     "to_parquet_seconds": spread([r["to_parquet_seconds"] for r in done]),
                     "peak_rss_kib_driver": max(r["peak_rss_kib"] for r in done)}
    report["dask"] = out
    r = out["ratio_1_to_2"]
    counts_agree = len({c for counts in rows.values() for c in counts}) == 1
    return [{"target": "Dask: 2 worker processes faster than 1", "ok": r["ratio"] > 1,
             "figure": f"{r['ratio']:.2f}x (rounds {r['min']:.2f}-{r['max']:.2f}); "
                       f"{out['1 worker']['seconds']['median']:.2f} s vs {out['2 workers']['seconds']['median']:.2f} s"},
            {"target": "Dask: 2 worker processes faster than 1, writing Parquet on the workers (nothing gathered)",
             "ok": out["to_parquet_ratio_1_to_2"]["ratio"] > 1,
             "figure": f"{out['to_parquet_ratio_1_to_2']['ratio']:.2f}x (rounds {out['to_parquet_ratio_1_to_2']['min']:.2f}-"
                       f"{out['to_parquet_ratio_1_to_2']['max']:.2f}); {out['1 worker']['to_parquet_seconds']['median']:.2f} s "
                       f"vs {out['2 workers']['to_parquet_seconds']['median']:.2f} s"},
            {"target": "Dask: 1 and 2 workers give the same rows", "ok": counts_agree and same_rows,
             "figure": f"rows {rows}, sorted rows equal: {same_rows}"}]


def section_layouts(args: argparse.Namespace, log: pathlib.Path, report: dict) -> list[dict]:
    """The values table of the SYSTEM hive read by pyarrow, Polars and DuckDB in each layout, each read a
    process of its own (open and read timed inside it, imports before the clock): what the default
    layout is chosen by."""
    hive = str(SYSTEM_HIVE)
    configs = {f"{reader} {layout}": child(args.kelpa_python, f"consume-{reader}-{layout}", hive)
               for reader in ("pyarrow", "polars", "duckdb") for layout in ("view", "large")}
    before = load()
    runs = rounds(configs, args.rounds, log, "layouts")
    out = {"hive": hive, "rounds": args.rounds, "load_before": before, "load_after": load(),
           "versions": {m: compare_version(args.kelpa_python, m) for m in ("pyarrow", "polars", "duckdb")}, "configs": {}}
    for name, done in runs.items():
        out["configs"][name] = {"seconds": spread([r["seconds"] for r in done]),
                                "cpu_seconds": spread([r["cpu_seconds"] for r in done]), "rows": done[-1]["rows"]}
    out["ratios"] = {reader: {"seconds": ratio(runs, f"{reader} large", f"{reader} view"),
                              "cpu_seconds": ratio(runs, f"{reader} large", f"{reader} view", "cpu_seconds")}
                     for reader in ("pyarrow", "polars", "duckdb")}
    report["layouts"] = out
    return [{"target": f"{reader}: views at least as fast as the large layout", "ok": r["seconds"]["ratio"] >= 1,
             "figure": f"large / views {r['seconds']['ratio']:.2f}x (rounds {r['seconds']['min']:.2f}-{r['seconds']['max']:.2f}),"
                       f" CPU {r['cpu_seconds']['ratio']:.2f}x"} for reader, r in out["ratios"].items()]


def compare_version(python: str, module: str) -> str:
    return subprocess.run([python, "-c", f"import {module}; print({module}.__version__)"], capture_output=True,
                          text=True).stdout.strip()


SECTIONS = {"tables": section_tables, "layouts": section_layouts, "export": section_export, "stream": section_stream, "dask": section_dask}


def summary(report: dict) -> list[str]:
    lines = []
    t = report.get("tables")
    if t:
        lines.append(f"tables on {pathlib.Path(t['hive']).name}, {t['rounds']} rounds (median, min-max; CPU median):")
        for name, c in t["configs"].items():
            s, cpu = c["seconds"], c["cpu_seconds"]
            lines.append(f"  {name:26} {s['median']:.4f} s ({s['min']:.4f}-{s['max']:.4f})  CPU {cpu['median']:.4f} s"
                         f" ({c['cpu_of']})  peak RSS {c['peak_rss_kib'] / 1024:.0f} MiB")
        for name, r in t["ratios"].items():
            lines.append(f"  {name:48} {r['ratio']:.2f}x ({r['min']:.2f}-{r['max']:.2f})")
        for name, n in t.get("instructions", {}).items():
            lines.append(f"  instructions: {name:36} {n / 1e6:8.1f} M")
    lay = report.get("layouts")
    if lay:
        lines.append(f"layouts, values table of {pathlib.Path(lay['hive']).name}, {lay['rounds']} rounds, {lay['versions']}:")
        for name, c in lay["configs"].items():
            s, cpu = c["seconds"], c["cpu_seconds"]
            lines.append(f"  {name:16} {s['median']:.4f} s ({s['min']:.4f}-{s['max']:.4f})  CPU {cpu['median']:.4f} s")
    e = report.get("export")
    if e:
        x, rd, imp = e["export"], e["read both tables"], e["imports of the command"]
        st = e["fixed start-up (export of the smallest hive)"]["wall_s"]
        lines.append(f"export start-up (smallest hive) {st['median']:.2f} s; beyond it "
                     f"{e['ms_per_mb_beyond_start_up']['median']:.1f} ms/MB")
        lines.append(f"export of {e['hives']} hives, {e['mb']:.1f} MB, {e['rounds']} rounds: "
                     f"{x['wall_s']['median']:.2f} s ({x['wall_s']['min']:.2f}-{x['wall_s']['max']:.2f}), "
                     f"{x['ms_per_mb']['median']:.1f} ms/MB, CPU {x['cpu_s']['median']:.2f} s; both tables read in one "
                     f"process {rd['seconds']['median']:.2f} s ({rd['ms_per_mb']['median']:.1f} ms/MB), "
                     f"the command's imports {imp['wall_s']['median']:.2f} s")
    s = report.get("stream")
    if s:
        for name in ("stream", "whole"):
            g = s[name]["growth_mib"]
            lines.append(f"{name} values of the large hive: peak growth {g['median']:.1f} MiB ({g['min']:.1f}-{g['max']:.1f}),"
                         f" {s[name]['seconds']['median']:.2f} s, {s[name]['batches']} batches")
    d = report.get("dask")
    if d:
        lines.append(f"dask, {d['rounds']} rounds: 1 worker {d['1 worker']['seconds']['median']:.2f} s, 2 workers "
                     f"{d['2 workers']['seconds']['median']:.2f} s, ratio {d['ratio_1_to_2']['ratio']:.2f}x "
                     f"({d['ratio_1_to_2']['min']:.2f}-{d['ratio_1_to_2']['max']:.2f}), CPU ratio "
                     f"{d['cpu_ratio_1_to_2']['ratio']:.2f}x; a second compute on the same workers "
                     f"{d['1 worker']['second_compute_seconds']['median']:.2f} s vs "
                     f"{d['2 workers']['second_compute_seconds']['median']:.2f} s; rows {d['rows']}")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command")
    kid = sub.add_parser("child", help="one measurement (run by the benchmark itself)")
    kid.add_argument("job")
    kid.add_argument("paths", nargs="+")
    kid.add_argument("--workers", type=int, default=1)
    kid.add_argument("--keep", default="-")
    kid.add_argument("--no-work", action="store_true", help="the job's imports only")
    parser.add_argument("--rounds", type=int, default=11, help="rounds of the tables against the peers")
    parser.add_argument("--export-rounds", type=int, default=5)
    parser.add_argument("--stream-rounds", type=int, default=5)
    parser.add_argument("--dask-rounds", type=int, default=5)
    parser.add_argument("--only", default=",".join(SECTIONS), help="comma-separated: " + ", ".join(SECTIONS))
    parser.add_argument("--instructions", action=argparse.BooleanOptionalAction, default=True,
                        help="also count each table configuration's instructions under callgrind (tables section)")
    parser.add_argument("--kelpa-python", default=sys.executable, help="interpreter with kelpa installed")
    parser.add_argument("--json", type=pathlib.Path, help="also write the report here")
    args = parser.parse_args(argv)
    if args.command == "child":
        print(json.dumps(cmd_child(args.job, args.paths, args.workers, args.keep, args.no_work)), flush=True)
        return 0

    OUT.mkdir(parents=True, exist_ok=True)
    log = OUT / "tables.stderr.log"
    log.write_text("")
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=REPO, capture_output=True,
                            text=True).stdout.strip()
    report: dict = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
                    "commit": commit, "machine": {"cpus": os.cpu_count(), "platform": platform.platform()},
                    "load_start": load()}
    # Other developers install new builds into the same venv: a run that spans one is flagged.
    module = subprocess.run([args.kelpa_python, "-c", "import kelpa; print(kelpa.__file__)"], capture_output=True,
                            text=True).stdout.strip()
    built = os.stat(module).st_mtime
    checks = []
    for name in args.only.split(","):
        checks += SECTIONS[name.strip()](args, log, report)
    report["load_end"] = load()
    report["kelpa_module"] = {"path": module, "installed": datetime.datetime.fromtimestamp(
        built, datetime.timezone.utc).isoformat(timespec="seconds"), "reinstalled_during_run": os.stat(module).st_mtime != built}
    if report["kelpa_module"]["reinstalled_during_run"]:
        print(f"warning: {module} was replaced during the run: the figures mix two builds", file=sys.stderr)
    report["targets"] = checks
    print(json.dumps(report, indent=1))
    for line in summary(report):
        print(line, file=sys.stderr)
    print("targets:", file=sys.stderr)
    for c in checks:
        mark = {True: "MET   ", False: "MISSED", None: "NOT RUN"}[c["ok"]]
        print(f"  {mark} {c['target']}: {c['figure']}", file=sys.stderr)
    print(f"load average {report['load_start']} at the start, {report['load_end']} at the end; "
          f"{os.cpu_count()} CPUs", file=sys.stderr)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=1) + "\n")
        print(f"wrote {args.json}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
