"""Instruction profile of the full walk, from Python and through the core alone (callgrind).

    python bench/profile.py [HIVE] [--top N]          (default: the large synthetic hive)

Builds the module with debug information and without stripping into bench/out/prof-site (the
.venv install is left alone) and core_walk against a kelpa_core built the same way, then runs
valgrind --tool=callgrind on: the Python walk of bench/walkers.py, the interpreter start alone
(import kelpa, no walk: subtracted, so the percentages are of the walk), and core_walk in both
modes. For each it prints the functions with the most instructions, self and inclusive, with
the costs of inlined parts summed per function. Instruction counts do not move with the load
on the machine, so two builds can be compared run against run; the .cg files stay in
bench/out/profile for callgrind_annotate or kcachegrind.
"""

from __future__ import annotations

import argparse
import collections
import os
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
OUT = HERE / "out"
SITE = OUT / "prof-site"
CORE = OUT / "prof-core"
PROFILES = OUT / "profile"

sys.path.insert(0, str(HERE))


def build() -> pathlib.Path:
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                    "--upgrade", "--target", str(SITE), "-C", f"build-dir={OUT / 'prof-build'}",
                    "-C", "install.strip=false", "-C", "cmake.define.CMAKE_CXX_FLAGS=-g", str(REPO)], check=True)
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(CORE), "-DKELPA_BUILD_MODULE=OFF",
                    "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-g"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(CORE), "--target", "kelpa_core", "-j2"], check=True, capture_output=True)
    walker = CORE / "core_walk"
    subprocess.run([os.environ.get("CXX", "g++"), "-std=c++23", "-O3", "-DNDEBUG", "-g", f"-I{REPO / 'src'}",
                    str(HERE / "core_walk.cpp"), str(CORE / "libkelpa_core.a"), "-o", str(walker)], check=True)
    return walker


def callgrind(name: str, argv: list[str], env: dict[str, str] | None = None) -> pathlib.Path:
    out = PROFILES / f"{name}.cg"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    return out


def _function(where: str) -> str:
    function = where.split(":", 1)[1] if ":" in where else where
    function = re.sub(r" \[[^\]]*\]$", "", function)
    function = re.sub(r" \([\d,]+x\)$", "", function)
    return re.sub(r"'\d+$", "", function)  # recursion depth


def self_costs(path: pathlib.Path) -> tuple[int, collections.Counter[str]]:
    """Instructions per function, self only; the parts inlined from other files are summed."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", str(path)],
                          capture_output=True, text=True, check=True).stdout
    total, per_function = 0, collections.Counter()
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$", line)
        if not m:
            continue
        if m.group(2).startswith("PROGRAM TOTALS"):
            total = int(m.group(1).replace(",", ""))
        else:
            per_function[_function(m.group(2))] += int(m.group(1).replace(",", ""))
    return total, per_function


def inclusive_costs(path: pathlib.Path) -> collections.Counter[str]:
    """Instructions per function with everything it calls: the self cost of each of its parts
    (callgrind splits a function by the file of each inlined line) plus their calls to other
    functions. Calls a function makes to itself are left out, so only recursive ones (the
    interpreter's) come out too high; show() drops those."""
    text = subprocess.run(["callgrind_annotate", "--tree=calling", "--threshold=100", "--auto=no", str(path)],
                          capture_output=True, text=True, check=True).stdout
    per_function: collections.Counter[str] = collections.Counter()
    current = ""
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+([>*])\s+(.*)$", line)
        if not m:
            continue
        n, kind, function = int(m.group(1).replace(",", "")), m.group(2), _function(m.group(3))
        if kind == "*":
            current = function
            per_function[current] += n
        elif function != current:
            per_function[current] += n
    return per_function


SKIP = re.compile(r"^(main|\(below main\)|__libc_start|Py_BytesMain|Py_RunMain|pymain_|_PyRun_|run_mod|run_eval_code_obj"
                  r"|PyEval_EvalCode|builtin_exec|0x0)")


def show(title: str, path: pathlib.Path, baseline: int, top: int) -> None:
    total, own = self_costs(path)
    inclusive = inclusive_costs(path)
    walk = total - baseline
    print(f"\n== {title}: {total:,} instructions" + (f", {walk:,} without the interpreter start" if baseline else ""))
    print("   self:")
    for function, n in own.most_common(top):
        print(f"   {n:>14,} {100 * n / walk:6.2f}%  {function[:140]}")
    print("   inclusive:")
    shown = 0
    for function, n in inclusive.most_common():
        if SKIP.match(function) or n > walk:
            continue
        print(f"   {n:>14,} {100 * n / walk:6.2f}%  {function[:140]}")
        shown += 1
        if shown == top:
            break


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("hive", nargs="?", type=pathlib.Path)
    parser.add_argument("--top", type=int, default=30)
    args = parser.parse_args(argv)
    if args.hive is None:
        import make_large_hive

        args.hive = make_large_hive.make()
    hive = str(args.hive.resolve())
    PROFILES.mkdir(parents=True, exist_ok=True)
    walker = build()
    env = dict(os.environ, PYTHONPATH=str(SITE))
    walkers = str(HERE / "walkers.py")
    stem = args.hive.name
    start = callgrind("python-start", [sys.executable, walkers, "has", "kelpa"], env)
    python_walk = callgrind(f"python-{stem}", [sys.executable, walkers, "walk", "kelpa", hive], env)
    core_walk = callgrind(f"core-{stem}", [str(walker), hive])
    core_minimal = callgrind(f"core-minimal-{stem}", [str(walker), "--minimal", hive])
    baseline, _ = self_costs(start)
    show("Python walk", python_walk, baseline, args.top)
    show("core walk, the binding's calls", core_walk, 0, args.top)
    show("core walk, one lookup per key", core_minimal, 0, args.top)
    return 0


if __name__ == "__main__":
    sys.exit(main())
