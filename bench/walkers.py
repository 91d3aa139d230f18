"""The full walk of a hive with kelpa and with each peer parser, one parser per process.

    python bench/walkers.py walk PARSER HIVE
    python bench/walkers.py open ITERATIONS HIVE [HIVE ...]        (kelpa)
    python bench/walkers.py threads RUNS HIVE_A HIVE_B             (kelpa)

bench/compare.py starts this file under the interpreter that has each parser (the project's
venv for kelpa, the bench venv for the PyPI peers, the system Python for Debian's bindings) and
reads the one JSON line it prints. It runs on Python 3.11 and later.

Every walk touches the same data: each key's name, and each value's name, type and data,
depth first. Each parser is called the way its documentation shows for that job:
- kelpa: Hive.open, root_key, subkeys, values; name, value_type().type_id, raw_data.
- python-registry: Registry.Registry, root, subkeys, values; name, value_type, raw_data.
- regipy and its Rust backend: RegistryHive, root, iter_subkeys, iter_values(trim_values=False);
  name, value_type, value. regipy has no raw-data call: it decodes every value by its type,
  which is the only way it reads data, so its data byte count is not reported. Its logging is
  switched off, since it logs a line for every string it cannot decode.
- hivex: Hivex, root, node_children, node_values; node_name, value_key, value_value.
- libregf: file.open, get_root_key, get_sub_key(i), get_value(i); name, type, data.
The key-only walks (kelpa-keys, hivex-keys) read each key's name and its subkeys, nothing else.
The data byte count lets the reader check that the walks read the same bytes.
"""

from __future__ import annotations

import functools
import json
import os
import resource
import signal
import statistics
import sys
import threading
import time


def walk_kelpa(path: str, with_values: bool = True, strict: bool = True) -> tuple[int, int, int]:
    """Hive.open, or with strict=False Hive.from_path(path, strict=False): tolerant reading."""
    import kelpa

    keys = values = data_bytes = 0
    hive = kelpa.Hive.open(path) if strict else kelpa.Hive.from_path(path, strict=False)
    stack = [hive.root_key()]
    while stack:
        key = stack.pop()
        key.name()
        keys += 1
        if with_values:
            for value in key.values():
                value.name()
                value.value_type().type_id()
                data_bytes += len(value.raw_data())
                values += 1
        stack.extend(key.subkeys())
    return keys, values, data_bytes if with_values else -1


def walk_python_registry(path: str) -> tuple[int, int, int]:
    from Registry import Registry

    keys = values = data_bytes = 0
    stack = [Registry.Registry(path).root()]
    while stack:
        key = stack.pop()
        key.name()
        keys += 1
        for value in key.values():
            value.name()
            value.value_type()
            data_bytes += len(value.raw_data())
            values += 1
        stack.extend(key.subkeys())
    return keys, values, data_bytes


def _walk_regipy(hive_class, path: str) -> tuple[int, int, int]:
    import logging

    logging.disable(logging.CRITICAL)
    keys = values = 0
    stack = [hive_class(path).root]
    while stack:
        key = stack.pop()
        key.name
        keys += 1
        for value in key.iter_values(trim_values=False):
            value.name
            value.value_type
            value.value
            values += 1
        stack.extend(key.iter_subkeys())
    return keys, values, -1


def walk_regipy(path: str) -> tuple[int, int, int]:
    from regipy.registry import RegistryHive

    return _walk_regipy(RegistryHive, path)


def walk_regipy_rust(path: str) -> tuple[int, int, int]:
    from regipy.registry_rs import RegistryHive

    return _walk_regipy(RegistryHive, path)


def walk_hivex(path: str, with_values: bool = True) -> tuple[int, int, int]:
    import hivex

    keys = values = data_bytes = 0
    h = hivex.Hivex(path)
    stack = [h.root()]
    while stack:
        node = stack.pop()
        h.node_name(node)
        keys += 1
        if with_values:
            for value in h.node_values(node):
                h.value_key(value)
                _type, data = h.value_value(value)
                data_bytes += len(data)
                values += 1
        stack.extend(h.node_children(node))
    return keys, values, data_bytes if with_values else -1


def walk_libregf(path: str) -> tuple[int, int, int]:
    import pyregf

    keys = values = data_bytes = 0
    f = pyregf.file()
    f.open(path)
    stack = [f.get_root_key()]
    while stack:
        key = stack.pop()
        key.name
        keys += 1
        for i in range(key.number_of_values):
            value = key.get_value(i)
            value.name
            value.type
            data = value.data
            data_bytes += len(data) if data else 0
            values += 1
        stack.extend(key.get_sub_key(i) for i in range(key.number_of_sub_keys))
    f.close()
    return keys, values, data_bytes


WALKS = {
    "kelpa": walk_kelpa,
    "kelpa-keys": functools.partial(walk_kelpa, with_values=False),
    "python-registry": walk_python_registry,
    "regipy": walk_regipy,
    "regipy-rust": walk_regipy_rust,
    "hivex": walk_hivex,
    "hivex-keys": functools.partial(walk_hivex, with_values=False),
    "libregf": walk_libregf,
}

# The module each walk needs, to tell "not installed" from a failed walk.
MODULES = {"kelpa": "kelpa", "kelpa-keys": "kelpa", "python-registry": "Registry", "regipy": "regipy",
           "regipy-rust": "regipy_rs", "hivex": "hivex", "hivex-keys": "hivex", "libregf": "pyregf"}


def peak_rss_kib() -> int:
    """This process's peak resident set (VmHWM). ru_maxrss is not used: Linux carries the RSS of
    the process before exec (the forked parent, here the benchmark driver) over into it."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def report_when_stopped(signum, frame) -> None:
    # The driver stops a run that passes its time limit with SIGTERM: report the peak so far.
    print(json.dumps({"stopped": True, "peak_rss_kib": peak_rss_kib()}), flush=True)
    os._exit(3)


def cmd_walk(parser: str, path: str) -> dict:
    __import__(MODULES[parser])
    signal.signal(signal.SIGTERM, report_when_stopped)
    rss_before = peak_rss_kib()
    started = time.perf_counter()
    keys, values, data_bytes = WALKS[parser](path)
    seconds = time.perf_counter() - started
    return {"seconds": seconds, "keys": keys, "values": values,
            "data_bytes": None if data_bytes < 0 else data_bytes, "rss_before_kib": rss_before,
            "peak_rss_kib": peak_rss_kib()}


def cmd_open(iterations: int, paths: list[str]) -> dict:
    import kelpa

    out = {}
    for path in paths:
        samples = []
        for _ in range(iterations):
            started = time.perf_counter_ns()
            hive = kelpa.Hive.open(path)
            samples.append(time.perf_counter_ns() - started)
            del hive
        out[path] = {"median_us": statistics.median(samples) / 1000, "min_us": min(samples) / 1000}
    return out


def cmd_threads(runs: int, path_a: str, path_b: str) -> dict:
    # Each measurement opens both hives afresh, so no run finds a warm key cache.
    sequential, threaded = [], []
    for _ in range(runs):
        started = time.perf_counter()
        walk_kelpa(path_a)
        walk_kelpa(path_b)
        sequential.append(time.perf_counter() - started)

        workers = [threading.Thread(target=walk_kelpa, args=(p,)) for p in (path_a, path_b)]
        started = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        threaded.append(time.perf_counter() - started)
    return {"sequential": sequential, "threaded": threaded}


def main(argv: list[str]) -> int:
    command, *rest = argv
    if command == "walk":
        result = cmd_walk(rest[0], rest[1])
    elif command == "open":
        result = cmd_open(int(rest[0]), rest[1:])
    elif command == "threads":
        result = cmd_threads(int(rest[0]), rest[1], rest[2])
    elif command == "has":
        try:
            __import__(MODULES[rest[0]])
        except ImportError as e:
            result = {"ok": False, "why": str(e)}
        else:
            result = {"ok": True}
    else:
        raise SystemExit(f"unknown command {command!r}")
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
