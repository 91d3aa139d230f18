"""Replays each fuzz target's corpus with the coverage build and reports what of the core it reaches.

The replay drivers of a build made with -DKELPA_FUZZ_COVERAGE=ON (Clang's source-based coverage)
run over each target's corpus folders and regression inputs; the profiles are merged and
llvm-cov prints the line and branch coverage of every file of src/ (the binding layer,
src/python/, is left out: no fuzz target reaches it), then lists the lines no target reached.

    python fuzz/coverage.py BUILD LLVM_SUFFIX [--inputs TARGET=DIR ...] [--unreached FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]


def replay(build: pathlib.Path, target: str, folders: list[pathlib.Path], profiles: pathlib.Path) -> pathlib.Path:
    profile = profiles / f"{target}.profraw"
    existing = [str(f) for f in folders if f.exists()]
    env = dict(os.environ, LLVM_PROFILE_FILE=str(profile))
    subprocess.run([str(build / "fuzz" / f"{target}_replay"), *existing], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return profile


def core_files() -> list[str]:
    return sorted(str(p) for p in (ROOT / "src").glob("*.[ch]pp"))


def unreached_lines(llvm_cov: str, binaries: list[str], profdata: pathlib.Path) -> dict[str, list[int]]:
    """The lines of each core file that hold code no replay ran, from llvm-cov's export."""
    exported = subprocess.run([llvm_cov, "export", "-format=text", f"-instr-profile={profdata}", binaries[0],
                               *[f"-object={b}" for b in binaries[1:]], *core_files()],
                              check=True, capture_output=True, text=True).stdout
    unreached: dict[str, list[int]] = {}
    for entry in json.loads(exported)["data"][0]["files"]:
        # Segments: [line, column, count, has_count, is_region_entry, is_gap]. A line is
        # unreached when a counted region starts on it with count 0 and none with a count.
        counts: dict[int, int] = {}
        for line, _col, count, has_count, is_entry, is_gap in entry["segments"]:
            if has_count and is_entry and not is_gap:
                counts[line] = max(counts.get(line, 0), count)
        lines = sorted(line for line, count in counts.items() if count == 0)
        if lines:
            unreached[os.path.relpath(entry["filename"], ROOT)] = lines
    return unreached


def ranges(lines: list[int]) -> str:
    out, start = [], None
    for i, line in enumerate(lines):
        if start is None:
            start = line
        if i + 1 == len(lines) or lines[i + 1] != line + 1:
            out.append(str(start) if start == line else f"{start}-{line}")
            start = None
    return ", ".join(out)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("llvm_suffix", help="e.g. -19 for llvm-cov-19")
    parser.add_argument("--inputs", action="append", default=[], metavar="TARGET=DIR",
                        help="a folder of inputs for a target (repeatable)")
    parser.add_argument("--unreached", type=pathlib.Path, help="write the unreached lines here too")
    args = parser.parse_args(argv)

    folders: dict[str, list[pathlib.Path]] = {}
    for item in args.inputs:
        target, _, folder = item.partition("=")
        folders.setdefault(target, []).append(pathlib.Path(folder))
    profiles = args.build / "profiles"
    profiles.mkdir(parents=True, exist_ok=True)
    raw, binaries = [], []
    for target, dirs in folders.items():
        print(f"replaying {target}: {', '.join(str(d) for d in dirs if d.exists())}", flush=True)
        raw.append(str(replay(args.build, target, dirs, profiles)))
        binaries.append(str(args.build / "fuzz" / f"{target}_replay"))
    profdata = profiles / "merged.profdata"
    subprocess.run([f"llvm-profdata{args.llvm_suffix}", "merge", "-sparse", *raw, "-o", str(profdata)], check=True)
    llvm_cov = f"llvm-cov{args.llvm_suffix}"
    subprocess.run([llvm_cov, "report", f"-instr-profile={profdata}", binaries[0],
                    *[f"-object={b}" for b in binaries[1:]], "-show-region-summary=false",
                    "-show-instantiation-summary=false", "-show-functions=false", *core_files()], check=True)
    unreached = unreached_lines(llvm_cov, binaries, profdata)
    text = "".join(f"{name}: {ranges(lines)}\n" for name, lines in sorted(unreached.items()))
    print("\nLines no target reached:\n" + text, end="")
    if args.unreached:
        args.unreached.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
