"""info, ls and get: what a hive holds, shown for a reader."""

from __future__ import annotations

import argparse
import os
import sys

import kelpa

from . import hives, values


def info_of(path: str, args: argparse.Namespace, report: hives.Report) -> str:
    hive = hives.open_hive(path, args)
    bb = hive.base_block()
    log1, log2 = hives.logs_beside(path)
    found = [os.path.basename(p) for p in (log1, log2) if p]
    try:
        bins = f"{len(hive.hbins())}, {bb.hive_bins_data_size} bytes"
    except ValueError as e:  # shown, not counted as a failure: the keys may all be readable
        bins = f"{bb.hive_bins_data_size} bytes; {e}"
    keys = counted = 0
    for _, key in hives.walk(hive.root_key(), report):
        keys += 1
        counted += key.value_count()
    rows = [
        ("file name", bb.file_name),
        ("last written", hives.iso(bb.last_written) or "never"),
        ("version", f"{bb.major_version}.{bb.minor_version}, file type {bb.file_type}, "
                    f"format {bb.file_format}, clustering factor {bb.clustering_factor}"),
        ("checksum", f"0x{bb.checksum:08x}"),
        ("sequences", f"{bb.primary_sequence} / {bb.secondary_sequence} "
                      f"({'dirty' if bb.is_dirty else 'clean'})"),
        ("root cell", f"0x{bb.root_cell_offset:x}"),
        ("bins", bins),
        ("logs beside it", ", ".join(found) or "none"),
        *(("replayed", line) for line in hives.replay_report(hive)),
        ("keys", str(keys)),
        ("values", str(counted)),
    ]
    return path + "\n" + "".join(f"  {name:<15} {text}\n" for name, text in rows)


def info(args: argparse.Namespace) -> int:
    done, failed = hives.run_many(hives.find_hives(args.hives), info_of, args)
    sys.stdout.write("\n".join(text for _, text in done))
    return 1 if failed else 0


def listing(path: str | None, key: kelpa.RegistryKey, report: hives.Report) -> list[str]:
    lines = [f"{path or '(root)'}:"] if path is not None else []
    for sub in key.subkeys():
        lines.append(f"  {hives.iso(hives.when(sub, report)) or '-':<32} {sub.name()}\\")
    for value in key.values():
        lines.append(f"  {value.value_type().type_name():<32} {value.name()} = "
                     f"{values.shown(value)}")
    return lines


def ls(args: argparse.Namespace) -> int:
    hive = hives.open_hive(args.hive, args)
    top = hive.open_key(args.key_path)
    failed = 0
    def report(e: ValueError) -> None:
        nonlocal failed
        failed += 1
        print(f"kelpa: {args.hive}: {e}", file=sys.stderr)
    tree = hives.walk(top, report) if args.recursive else [(None, top)]
    for path, key in tree:
        try:
            lines = listing(path, key, report)
        except ValueError as e:
            report(e)
            continue
        if lines:
            print("\n".join(lines))
    return 1 if failed else 0


def get(args: argparse.Namespace) -> int:
    hive = hives.open_hive(args.hive, args)
    value = hive.open_key(args.key_path).value(args.value)
    if args.raw:
        sys.stdout.buffer.write(value.raw_data())
    else:
        print(values.as_text(values.typed(value)))
    return 0
