"""Full-walk benchmark of kelpa against every peer parser installable here, and its floor in C++.

    python bench/compare.py [HIVE ...] [--large] [--runs N] [--json FILE]

For each hive, each parser walks the whole tree (every key's name; every value's name, type and
data; see bench/walkers.py) in a process of its own, several times. The table gives the median
wall time of the walk (open included, interpreter start and imports not), the ratio to kelpa's
median, and the child's peak resident set (ru_maxrss from wait4, interpreter included). Then,
for kelpa: Hive.open on this hive and on a 4 KiB hive (median of many), and two threads walking
two hives at once against one thread walking both in turn. The key-only walk (each key's name and
its subkeys, no values) runs with kelpa and hivex, its ratio taken against kelpa's key-only walk.
Last, the project's targets, each with the figure measured.

Peers and where they come from (each runs under the interpreter that has it):
- python-registry, regipy and its Rust backend, libregf-python: PyPI, pinned below, in a venv
  of their own under bench/out (made on first use, or with --setup-peers);
- hivex and libregf: Debian's python3-hivex and python3-libregf, for /usr/bin/python3
  (`make bench` installs them when it runs as root).
A parser that is missing is listed with the reason and left out of the figures.

--large adds the synthetic large hive of bench/make_large_hive.py (made once, then reused).
Slow peers get fewer runs: runs stop once a parser has spent --budget seconds on a hive, and a
run longer than --timeout seconds is stopped and shown as a lower bound (">").
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
OUT = HERE / "out"
WALKERS = HERE / "walkers.py"
PEER_VENV = OUT / "venv"
PEER_PACKAGES = ("python-registry==1.3.1", "regipy==6.5.0", "regipy-rs==0.1.0a3", "libregf-python==20260526")
SYSTEM_PYTHON = pathlib.Path("/usr/bin/python3")
CORE_BUILD = OUT / "core-build"
CORE_WALK = OUT / "core_walk"

sys.path.insert(0, str(REPO / "tests"))
sys.path.insert(0, str(HERE))


# --- parsers ----------------------------------------------------------------------------


@dataclass
class Walker:
    label: str
    argv: list[str]  # the command; the hive path is appended
    kind: str  # "kelpa", "core" or "peer"; "kelpa-keys" or "peer-keys" for the key-only walk
    family: str = ""  # for the targets: "python-registry", "regipy", ...
    missing: str = ""  # why it cannot run here


def peer_python() -> pathlib.Path:
    return PEER_VENV / "bin" / "python"


def setup_peer_venv(base_python: str) -> str:
    """Creates the peers' venv with the pinned packages; returns an error text or ""."""
    if peer_python().exists():
        return ""
    print(f"setting up {PEER_VENV} with {', '.join(PEER_PACKAGES)}", file=sys.stderr)
    try:
        subprocess.run([base_python, "-m", "venv", str(PEER_VENV)], check=True)
        subprocess.run([str(peer_python()), "-m", "pip", "install", "--quiet", *PEER_PACKAGES], check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        shutil.rmtree(PEER_VENV, ignore_errors=True)
        return f"could not set up the peers' venv: {e}"
    return ""


def probe(python: pathlib.Path | str, parser: str) -> str:
    """"" when `python` can import the parser, else the reason."""
    if not pathlib.Path(python).exists():
        return f"{python} not found"
    done = subprocess.run([str(python), str(WALKERS), "has", parser], capture_output=True, text=True)
    if done.returncode != 0:
        return done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit {done.returncode}"
    answer = json.loads(done.stdout)
    return "" if answer["ok"] else answer["why"]


def version_of(python: pathlib.Path | str, dist: str, deb: str | None = None) -> str:
    code = f"import importlib.metadata as m\ntry: print(m.version({dist!r}))\nexcept Exception: print('')"
    try:
        found = subprocess.run([str(python), "-c", code], capture_output=True, text=True).stdout.strip()
    except OSError:
        found = ""
    if not found and deb:
        try:
            found = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", deb], capture_output=True,
                                   text=True).stdout.strip()
        except OSError:
            found = ""
    return found or "?"


def python_version(python: pathlib.Path | str) -> str:
    try:
        return subprocess.run([str(python), "-c", "import platform; print(platform.python_version())"],
                              capture_output=True, text=True).stdout.strip() or "?"
    except OSError:
        return "?"


# The walks are Python loops as much as parser calls, and the parsers run under different
# interpreters, so the report says how fast each interpreter runs the same pure-Python loop: a
# walk-shaped one (method calls, len, sums) that touches no parser.
INTERPRETER_LOOP = """
import time
class Value:
    def __init__(self, name): self._name = name
    def name(self): return self._name
    def data(self): return b"data"
def loop():
    total = 0
    stack = [[Value("a"), Value("b"), Value("c")]] * 100000
    while stack:
        for value in stack.pop():
            value.name()
            total += len(value.data())
    return total
times = []
for _ in range(5):
    started = time.perf_counter()
    loop()
    times.append(time.perf_counter() - started)
print(min(times))
"""


def interpreter_speed(python: pathlib.Path | str) -> dict:
    """How long `python` takes for INTERPRETER_LOOP (best of 5); seconds None when it could not run."""
    try:
        seconds: float | None = float(subprocess.run([str(python), "-c", INTERPRETER_LOOP], capture_output=True,
                                                     text=True, timeout=120).stdout)
    except (OSError, subprocess.SubprocessError, ValueError):
        seconds = None
    return {"python": str(python), "version": python_version(python), "seconds": seconds}


def build_core_walk() -> str:
    """Builds the core library (Release, no module) and links core_walk.cpp against it."""
    try:
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(CORE_BUILD), "-DKELPA_BUILD_MODULE=OFF",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True, text=True)
        subprocess.run(["cmake", "--build", str(CORE_BUILD), "--target", "kelpa_core", "-j2"], check=True,
                       capture_output=True, text=True)
        library = CORE_BUILD / "libkelpa_core.a"
        source = HERE / "core_walk.cpp"
        if (not CORE_WALK.exists() or CORE_WALK.stat().st_mtime < max(library.stat().st_mtime,
                                                                      source.stat().st_mtime)):
            compiler = os.environ.get("CXX", "g++")
            subprocess.run([compiler, "-std=c++23", "-O3", "-DNDEBUG", "-Wall", "-Wextra", f"-I{REPO / 'src'}",
                            str(source), str(library), "-o", str(CORE_WALK)], check=True, capture_output=True,
                           text=True)
    except (OSError, subprocess.CalledProcessError) as e:
        detail = getattr(e, "stderr", "") or str(e)
        return f"core_walk build failed: {detail.strip()[-300:]}"
    return ""


def walkers(kelpa_python: str, setup_peers: bool) -> list[Walker]:
    walk = [str(WALKERS), "walk"]
    kelpa_version = version_of(kelpa_python, "kelpa")
    out = [Walker(f"kelpa {kelpa_version} (CPython {python_version(kelpa_python)})",
                  [kelpa_python, *walk, "kelpa"], "kelpa", "kelpa", probe(kelpa_python, "kelpa"))]
    out.append(Walker(f"kelpa {kelpa_version}, key names only", [kelpa_python, *walk, "kelpa-keys"], "kelpa-keys",
                      "kelpa", out[0].missing))
    core_missing = build_core_walk()
    out.append(Walker("kelpa core alone, C++ (the binding's calls)", [str(CORE_WALK)], "core", "core", core_missing))
    out.append(Walker("kelpa core alone, C++ (one lookup per key)", [str(CORE_WALK), "--minimal"], "core",
                      "core-minimal", core_missing))

    venv_missing = setup_peer_venv(sys._base_executable) if setup_peers else ""  # type: ignore[attr-defined]
    vpy = str(peer_python())
    vver = python_version(vpy) if not venv_missing else "?"
    spy = str(SYSTEM_PYTHON)
    sver = python_version(spy)
    for label, python, parser, dist, deb, family in (
        ("hivex {v} (Debian, CPython {p})", spy, "hivex", "hivex", "python3-hivex", "hivex"),
        ("libregf {v} (Debian, CPython {p})", spy, "libregf", "libregf-python", "python3-libregf", "libregf"),
        ("libregf-python {v} (PyPI, CPython {p})", vpy, "libregf", "libregf-python", None, "libregf"),
        ("python-registry {v} (CPython {p})", vpy, "python-registry", "python-registry", None, "python-registry"),
        ("regipy {v} (CPython {p})", vpy, "regipy", "regipy", None, "regipy"),
        ("regipy {v}, Rust backend (CPython {p})", vpy, "regipy-rust", "regipy", None, "regipy"),
    ):
        missing = venv_missing if python == vpy and venv_missing else probe(python, parser)
        version = version_of(python, dist, deb) if not missing else "?"
        label = label.format(v=version, p=vver if python == vpy else sver)
        if parser == "regipy-rust" and not missing:
            label = label.replace("Rust backend", f"Rust backend regipy-rs {version_of(python, 'regipy-rs')}")
        out.append(Walker(label, [python, *walk, parser], "peer", family, missing))
        if parser == "hivex":
            out.append(Walker(f"hivex {version}, key names only", [python, *walk, "hivex-keys"], "peer-keys",
                              family, missing))
    return out


# --- running ------------------------------------------------------------------------------


@dataclass
class Run:
    seconds: float | None  # None: stopped at the timeout
    rss_kib: int
    result: dict = field(default_factory=dict)


def run_child(argv: list[str], timeout: float, log: pathlib.Path) -> Run:
    """Runs one child and reads the JSON line it prints, with its peak RSS. A child that passes
    `timeout` gets SIGTERM (the walkers then print their peak so far), then SIGKILL."""
    with open(log, "ab") as err:
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=err)
        timed_out = threading.Event()

        def stop() -> None:
            timed_out.set()
            child.terminate()
            time.sleep(5)
            if child.returncode is None:
                child.kill()

        timer = threading.Timer(timeout, stop)
        timer.daemon = True
        timer.start()
        started = time.perf_counter()
        output = child.stdout.read()  # type: ignore[union-attr]
        # wait4 for this child's own rusage; ru_maxrss is only a fallback (see walkers.peak_rss_kib).
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - started
        timer.cancel()
        child.returncode = os.waitstatus_to_exitcode(status)
        child.stdout.close()  # type: ignore[union-attr]
    lines = output.decode(errors="replace").strip().splitlines()
    result = json.loads(lines[-1]) if lines and lines[-1].startswith("{") else {}
    rss = result.get("peak_rss_kib") or usage.ru_maxrss
    if timed_out.is_set():
        return Run(None, rss, {"lower_bound_seconds": elapsed})
    if child.returncode != 0:
        tail = log.read_text(errors="replace").strip().splitlines()[-3:]
        raise RuntimeError(f"exit {child.returncode}: {' | '.join(tail)}")
    return Run(result.get("seconds"), rss, result)


def warm_page_cache(path: pathlib.Path) -> None:
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def measure_walker(w: Walker, hive: pathlib.Path, args: argparse.Namespace, log: pathlib.Path) -> dict:
    runs: list[Run] = []
    spent = 0.0
    error = ""
    repeat = args.runs if w.kind != "peer" else max(1, args.runs)
    for _ in range(repeat):
        try:
            run = run_child([*w.argv, str(hive)], args.timeout, log)
        except RuntimeError as e:
            error = str(e)
            break
        runs.append(run)
        if run.seconds is None:
            break
        spent += run.seconds
        if w.kind == "peer" and spent >= args.budget:
            break
    done = [r.seconds for r in runs if r.seconds is not None]
    last = runs[-1].result if runs else {}
    out = {
        "label": w.label, "kind": w.kind, "family": w.family, "runs": len(runs), "seconds": done,
        "median_s": statistics.median(done) if done else None, "min_s": min(done) if done else None,
        "timed_out": bool(runs) and runs[-1].seconds is None,
        "lower_bound_s": last.get("lower_bound_seconds"),
        "peak_rss_kib": max((r.rss_kib for r in runs), default=None),
        "rss_before_kib": last.get("rss_before_kib"),
        "keys": last.get("keys"), "values": last.get("values"), "data_bytes": last.get("data_bytes"),
    }
    if error:
        out["error"] = error
    return out


def kelpa_extras(kelpa_python: str, hive: pathlib.Path, small: pathlib.Path, args: argparse.Namespace,
                 log: pathlib.Path) -> dict:
    opened = run_child([kelpa_python, str(WALKERS), "open", str(args.open_iterations), str(small), str(hive)],
                       args.timeout, log).result
    copies = OUT / "copies"
    copies.mkdir(parents=True, exist_ok=True)
    twin = copies / (hive.name + ".copy")
    if not twin.exists() or twin.stat().st_size != hive.stat().st_size:
        shutil.copyfile(hive, twin)
    warm_page_cache(twin)
    threads = run_child([kelpa_python, str(WALKERS), "threads", str(args.thread_runs), str(hive), str(twin)],
                        args.timeout * 4, log).result
    seq, thr = statistics.median(threads["sequential"]), statistics.median(threads["threaded"])
    return {
        "open_small_us": opened[str(small)]["median_us"], "open_small_min_us": opened[str(small)]["min_us"],
        "open_hive_us": opened[str(hive)]["median_us"], "open_hive_min_us": opened[str(hive)]["min_us"],
        "open_iterations": args.open_iterations,
        "threads_sequential_s": seq, "threads_two_s": thr, "threads_speedup": seq / thr,
        "threads_runs": args.thread_runs,
    }


def small_hive() -> pathlib.Path:
    import hivegen

    path = OUT / "base-block-only.hive"
    if not path.exists():
        OUT.mkdir(parents=True, exist_ok=True)
        path.write_bytes(hivegen.base_block())
    return path


# --- report -------------------------------------------------------------------------------


def mib(kib: int | None) -> str:
    return "-" if kib is None else f"{kib / 1024:.0f}"


def seconds_text(row: dict) -> str:
    if row["median_s"] is not None:
        return f"{row['median_s']:.3f}"
    if row["timed_out"]:
        return f"> {row['lower_bound_s']:.0f}"
    return "-"


def ratio_text(row: dict, base: float | None) -> str:
    if base is None:
        return "-"
    if row["median_s"] is not None:
        return f"{row['median_s'] / base:.2f}x"
    if row["timed_out"]:
        return f"> {row['lower_bound_s'] / base:.0f}x"
    return "-"


def print_hive(report: dict) -> None:
    print(f"\n{report['hive']}  ({report['size'] / 1e6:.1f} MB)")
    base = next((r["median_s"] for r in report["rows"] if r["kind"] == "kelpa"), None)
    keys_base = next((r["median_s"] for r in report["rows"] if r["kind"] == "kelpa-keys"), None)
    header = f"  {'parser':<64} {'runs':>4} {'median s':>9} {'vs kelpa':>9} {'peak RSS MiB':>13} " \
             f"{'keys':>7} {'values':>8} {'data bytes':>11}"
    print(header)
    print("  " + "-" * (len(header) - 2))
    for row in report["rows"]:
        if row.get("missing"):
            print(f"  {row['label']:<64} not run: {row['missing']}")
            continue
        if row.get("error"):
            print(f"  {row['label']:<64} failed: {row['error'][:120]}")
            continue
        data = "-" if row["data_bytes"] is None else str(row["data_bytes"])
        row_base = keys_base if row["kind"].endswith("-keys") else base
        print(f"  {row['label']:<64} {row['runs']:>4} {seconds_text(row):>9} {ratio_text(row, row_base):>9} "
              f"{mib(row['peak_rss_kib']):>13} {row['keys'] or '-':>7} {row['values'] or '-':>8} {data:>11}")
    x = report.get("kelpa")
    if x:
        print(f"  Hive.open: {x['open_small_us']:.1f} us on a 4 KiB hive, {x['open_hive_us']:.1f} us on this hive "
              f"(median of {x['open_iterations']})")
        print(f"  two hives: one thread walks both in {x['threads_sequential_s']:.3f} s, two threads in "
              f"{x['threads_two_s']:.3f} s: {x['threads_speedup']:.2f}x (median of {x['threads_runs']})")


def targets(reports: list[dict], large: pathlib.Path | None) -> list[dict]:
    checks: list[dict] = []

    def check(name: str, ok: bool | None, figure: str) -> None:
        checks.append({"target": name, "ok": ok, "figure": figure})

    for report in reports:
        rows = [r for r in report["rows"] if not r.get("missing") and not r.get("error")]
        kelpa = next((r for r in rows if r["kind"] == "kelpa"), None)
        if kelpa is None or kelpa["median_s"] is None:
            continue
        k = kelpa["median_s"]
        name = report["name"]
        peers = [r for r in rows if r["kind"] == "peer"]
        timed = [r for r in peers if r["median_s"] is not None]
        if timed:
            fastest = min(timed, key=lambda r: r["median_s"])
            ratio = fastest["median_s"] / k
            check(f"{name}: walk >= 1.5x faster than the fastest peer", ratio >= 1.5,
                  f"{ratio:.2f}x ({fastest['label']})")
        for family in ("python-registry", "regipy"):
            for r in (r for r in peers if r["family"] == family):
                if r["median_s"] is not None:
                    ratio, shown = r["median_s"] / k, f"{r['median_s'] / k:.0f}x"
                elif r["timed_out"]:
                    ratio, shown = r["lower_bound_s"] / k, f"> {r['lower_bound_s'] / k:.0f}x (stopped)"
                else:
                    continue
                check(f"{name}: walk >= 10x faster than {r['label']}", ratio >= 10, shown)
        for r in rows:
            if r["kind"] == "core" and r["median_s"]:
                ratio = k / r["median_s"]
                check(f"{name}: Python walk within 4x of {r['label']}", ratio <= 4, f"{ratio:.2f}x")
        kelpa_keys = next((r for r in rows if r["kind"] == "kelpa-keys" and r["median_s"]), None)
        for r in (r for r in rows if r["kind"] == "peer-keys" and r["median_s"]):
            if kelpa_keys:
                ratio = r["median_s"] / kelpa_keys["median_s"]
                check(f"{name}: key-only walk faster than {r['label']}", ratio > 1, f"{ratio:.2f}x")
        x = report.get("kelpa")
        if x:
            check(f"{name}: Hive.open < 1 ms", x["open_hive_us"] < 1000, f"{x['open_hive_us']:.1f} us")
            check(f"{name}: Hive.open of a 4 KiB hive < 1 ms", x["open_small_us"] < 1000,
                  f"{x['open_small_us']:.1f} us")
            check(f"{name}: two threads on two hives faster than one thread on both", x["threads_speedup"] > 1,
                  f"{x['threads_speedup']:.2f}x")
        rss = kelpa["peak_rss_kib"] * 1024
        if large is not None and report["hive"] == str(large):
            limit = report["size"] * 1.4
            check(f"{name}: kelpa peak RSS <= hive size + 40%", rss <= limit,
                  f"{rss / 2**20:.0f} MiB for a {report['size'] / 2**20:.0f} MiB hive (limit {limit / 2**20:.0f})")
        for r in peers:
            if r["family"] in ("python-registry", "regipy") and r["peak_rss_kib"]:
                bound = " (run stopped early: at least this)" if r["timed_out"] else ""
                check(f"{name}: kelpa peak RSS below {r['label']}", rss < r["peak_rss_kib"] * 1024,
                      f"{rss / 2**20:.0f} MiB vs {r['peak_rss_kib'] / 1024:.0f} MiB{bound}")
    return checks


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("hives", nargs="*", type=pathlib.Path)
    parser.add_argument("--large", action="store_true", help="add the synthetic large hive")
    parser.add_argument("--runs", type=int, default=5, help="runs per parser and hive (default 5)")
    parser.add_argument("--budget", type=float, default=60.0,
                        help="a peer stops repeating once its runs on a hive add up to this (seconds)")
    parser.add_argument("--timeout", type=float, default=300.0, help="a longer run is stopped (seconds)")
    parser.add_argument("--open-iterations", type=int, default=2000)
    parser.add_argument("--thread-runs", type=int, default=5)
    parser.add_argument("--only", help="comma-separated substrings of the parser labels to run")
    parser.add_argument("--kelpa-python", default=sys.executable, help="interpreter with kelpa installed")
    parser.add_argument("--no-setup-peers", dest="setup_peers", action="store_false",
                        help="do not create the peers' venv when it is missing")
    parser.add_argument("--json", type=pathlib.Path, help="also write the results here")
    args = parser.parse_args(argv)

    hives = [h.resolve() for h in args.hives]
    large = None
    if args.large:
        import make_large_hive

        large = make_large_hive.make()
        hives.append(large)
    if not hives:
        parser.error("give a hive, or --large")
    OUT.mkdir(parents=True, exist_ok=True)
    small = small_hive()
    log = OUT / "compare.stderr.log"
    log.write_text("")

    ws = walkers(args.kelpa_python, args.setup_peers)
    if args.only:
        wanted = [s.strip() for s in args.only.split(",")]
        ws = [w for w in ws if w.kind.startswith("kelpa") or any(s in w.label for s in wanted)]

    reports = []
    for hive in hives:
        warm_page_cache(hive)
        report: dict = {"hive": str(hive), "name": hive.name, "size": hive.stat().st_size, "rows": []}
        for w in ws:
            if w.missing:
                report["rows"].append({"label": w.label, "kind": w.kind, "family": w.family, "missing": w.missing})
                continue
            print(f"  {hive.name}: {w.label} ...", file=sys.stderr, flush=True)
            report["rows"].append(measure_walker(w, hive, args, log))
        kelpa_row = report["rows"][0]
        if not kelpa_row.get("missing") and not kelpa_row.get("error"):
            print(f"  {hive.name}: Hive.open and threads ...", file=sys.stderr, flush=True)
            report["kelpa"] = kelpa_extras(args.kelpa_python, hive, small, args, log)
        reports.append(report)
        print_hive(report)

    checks = targets(reports, large)
    interpreters = [interpreter_speed(args.kelpa_python)]
    if SYSTEM_PYTHON.exists() and any(w.argv[0] == str(SYSTEM_PYTHON) and not w.missing for w in ws):
        interpreters.append(interpreter_speed(SYSTEM_PYTHON))
    print("\nThe same pure-Python loop (walk-shaped, no parser; best of 5) on the interpreters of the walks:")
    for x in interpreters:
        figure = "could not run" if x["seconds"] is None else f"{x['seconds']:.3f} s"
        if x["seconds"] and interpreters[0]["seconds"] and x is not interpreters[0]:
            figure += f" ({interpreters[0]['seconds'] / x['seconds']:.2f}x as fast as kelpa's)"
        print(f"  {x['python']} (CPython {x['version']}): {figure}")
    print("\nTargets")
    for c in checks:
        mark = "PASS" if c["ok"] else "FAIL"
        print(f"  {mark}  {c['target']}: {c['figure']}")
    print(f"\nmachine: {platform.machine()}, {os.cpu_count()} CPUs, load average "
          f"{', '.join(f'{x:.2f}' for x in os.getloadavg())} at the end; runs per parser: up to {args.runs}")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"reports": reports, "targets": checks, "interpreters": interpreters,
                                         "machine": {
            "cpus": os.cpu_count(), "load_average_end": os.getloadavg(), "platform": platform.platform()}},
            indent=2) + "\n")
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
