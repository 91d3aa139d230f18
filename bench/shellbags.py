"""ShellBags side by side: kelpa's `shellbag` decoder against regipy's shellbag plugins (which read
shell items through libfwsi's Python binding) on the largest shared NTUSER.DAT and UsrClass.dat.

    python bench/shellbags.py [--json OUT] [HIVE ...]

For each hive and each reader, the best of several runs (at least three and half a second): open
the hive and produce every ShellBag row. Beside them, the shell item readers alone over the same
BagMRU values (already read from the hive): kelpa_tools.artifacts.shell_items.read and
pyfwsi.item_list. Target: kelpa at least 10x faster than regipy.
"""

from __future__ import annotations

import argparse
import json
import logging
import pathlib
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))

import kelpa  # noqa: E402

from kelpa_tools import artifacts, hive_types  # noqa: E402
from kelpa_tools.artifacts import shell, shell_items  # noqa: E402

DEFAULT_HIVES = [REPO.parent / "shared" / "hives" / name
                 for name in ("regipy__NTUSER_BAGMRU.DAT", "velociraptor__UsrClass.dat")]


def best_of(work, minimum_runs: int = 3, minimum_time: float = 0.5) -> tuple[float, object]:
    best, spent, runs, result = None, 0.0, 0, None
    while runs < minimum_runs or spent < minimum_time:
        start = time.perf_counter()
        result = work()
        elapsed = time.perf_counter() - start
        best, spent, runs = elapsed if best is None else min(best, elapsed), spent + elapsed, runs + 1
    return best, result


def kelpa_rows(path: pathlib.Path, kind: str) -> int:
    hive = kelpa.Hive.from_path(str(path), strict=False)
    return sum(1 for _ in artifacts.decode(hive, ["shellbag"], hive_type=kind))


def regipy_rows(path: pathlib.Path, kind: str) -> int:
    from regipy.plugins.ntuser.shellbags_ntuser import ShellBagNtuserPlugin
    from regipy.plugins.usrclass.shellbags_usrclass import ShellBagUsrclassPlugin
    from regipy.registry import RegistryHive
    plugin = (ShellBagNtuserPlugin if kind == "NTUSER" else ShellBagUsrclassPlugin)(RegistryHive(str(path)),
                                                                                   as_json=False)
    plugin.run()
    return len(plugin.entries)


def bag_values(path: pathlib.Path) -> list[bytes]:
    """The data of every numbered BagMRU value of the hive."""
    root = kelpa.Hive.from_path(str(path), strict=False).root_key()
    found, stack = [], []
    for location in shell.NTUSER_BAGS + shell.USRCLASS_BAGS:
        try:
            stack.append(root.open_key(location))
        except ValueError:
            pass
    while stack:
        key = stack.pop()
        found += [v.raw_data() for v in key.values() if v.name().isdigit()]
        stack += key.subkeys()
    return found


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("hives", nargs="*", type=pathlib.Path, default=DEFAULT_HIVES)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args(argv)
    logging.disable(logging.CRITICAL)
    try:
        import pyfwsi
    except ImportError:
        pyfwsi = None
    results = []
    for path in args.hives:
        kind = hive_types.hive_type(kelpa.Hive.from_path(str(path), strict=False), path)
        ours, our_rows = best_of(lambda: kelpa_rows(path, kind))
        try:
            theirs, their_rows = best_of(lambda: regipy_rows(path, kind), minimum_runs=2)
        except (ImportError, OSError) as e:
            theirs, their_rows = None, f"{type(e).__name__}: {str(e)[:80]}"
        values = bag_values(path)
        reader, _ = best_of(lambda: [shell_items.read(v) for v in values])
        libfwsi = None
        if pyfwsi is not None:
            def parse_all():
                for v in values:
                    items = pyfwsi.item_list()
                    items.copy_from_byte_stream(v, ascii_codepage="cp1252")
                    _ = [item.class_type for item in items.items]
            try:
                libfwsi, _ = best_of(parse_all)
            except OSError:  # libfwsi refuses a whole list for one item it cannot read
                libfwsi = None
        record = {"hive": path.name, "type": kind, "size": path.stat().st_size, "kelpa_s": ours,
                  "kelpa_rows": our_rows, "regipy_s": theirs, "regipy_rows": their_rows,
                  "speedup": theirs / ours if theirs else None, "bag_values": len(values),
                  "reader_s": reader, "libfwsi_s": libfwsi}
        results.append(record)
        speedup = f"{record['speedup']:.0f}x" if record["speedup"] else "-"
        regipy_text = f"{theirs * 1000:9.1f} ms ({their_rows} rows)" if theirs else f"failed: {their_rows}"
        fwsi_text = f"{libfwsi * 1000:.2f} ms" if libfwsi else "refused"
        print(f"{path.name:32} {kind:8} kelpa {ours * 1000:8.1f} ms ({our_rows} rows)  "
              f"regipy {regipy_text}  {speedup}  | "
              f"{len(values)} item lists: shell_items.read {reader * 1000:.2f} ms, libfwsi {fwsi_text}")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
