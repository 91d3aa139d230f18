"""info, ls and get: what a hive holds, shown for a reader (control characters escaped, one record
per line)."""

from __future__ import annotations

import argparse
import os

import kelpa

from kelpa_tools import hive_types, strings
from kelpa_tools.evidence import key_path_in, log_files

from . import hives, outputs, values
from .text import safe

HIVE_MIN_SIZE = 4096  # the base block; the bins follow it


def info_of(reading: hives.Reading) -> str:
    hive = reading.open()
    bb = hive.base_block()
    found = [os.path.basename(p) for p in log_files(reading.path)]
    try:
        bins = f"{len(hive.hbins())}, {bb.hive_bins_data_size} bytes"
    except ValueError as e:  # shown, not counted as a failure: the keys may all be readable
        bins = f"{bb.hive_bins_data_size} bytes; {e}"
    if not any(log.applied for log in hive.log_replay()):  # else the image is the replayed one
        held = os.path.getsize(reading.path) - HIVE_MIN_SIZE
        if held < bb.hive_bins_data_size:
            bins += f"; cut short: the file holds {max(held, 0)} bytes of them"
    keys: set[kelpa.RegistryKey] = set()  # a key listed twice (a damaged hive) counts once
    counted = 0
    for _, key in hives.walk(hive.root_key(), reading.problem):
        if key in keys:
            continue
        keys.add(key)
        try:
            counted += len(key.values())
        except ValueError as e:
            reading.problem(e)
    rows = [
        ("file name", hive_types.embedded_file_name(hive, reading.path)),
        ("hive type", hive_types.hive_type(hive, reading.path)),
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
    ]
    if not (reading.args.strict and reading.unread):  # a strict reading that failed counts nothing
        rows += [("keys", str(len(keys))), ("values", str(counted)), ("problems", str(len(hive.problems())))]
    return safe(reading.path) + "\n" + "".join(f"  {name:<15} {safe(text)}\n" for name, text in rows)


def info(args: argparse.Namespace) -> int:
    paths = hives.find_hives(args.hives)
    outputs.check(args.output, hives.inputs_of(paths, args), args.force)
    with outputs.text_written(args.output) as out:
        first = [True]
        def each(_: str, text: str) -> None:
            out.write(("" if first[0] else "\n") + text)
            first[0] = False
        _, failed = hives.run_many(paths, info_of, args, each=each)
    return 1 if failed else 0


def listing(path: str | None, key: kelpa.RegistryKey, reading: hives.Reading, long: bool) -> list[str]:
    lines = [f"{safe(path or '(root)')}:"] if path is not None else []
    for sub in key.subkeys():
        extra = ""
        if long and (class_name := values.class_name(sub, reading)) is not None:
            extra = f"  (class {safe(class_name)})"
        lines.append(f"  {hives.iso(hives.when(sub, reading)) or '-':<32} {safe(sub.name())}\\{extra}")
    for value in key.values():
        lines.append(f"  {value.value_type().type_name():<32} {safe(value.name())} = {values.shown(value)}")
    return lines


def single(args: argparse.Namespace, work: hives.Work) -> int:
    """A single-hive command: its output checked against the hive and its logs before anything
    is read, then `work`; what the hive met goes to standard error."""
    path = hives.one_hive(args.hive)
    outputs.check(args.output, hives.inputs_of([path], args), args.force)
    _, notes, failed = hives.run_one(work, path, args)
    for note in notes:
        hives.say(note)
    return 1 if failed else 0


def ls_of(reading: hives.Reading) -> None:
    args = reading.args
    hive = reading.open()
    top = hive.open_key(key_path_in(hive, args.key_path))
    tree = hives.walk(top, reading.problem) if args.recursive else [(None, top)]
    with outputs.text_written(args.output) as out:
        for path, key in tree:
            try:
                lines = listing(path, key, reading, args.long)
            except ValueError as e:
                reading.problem(e)
                continue
            if lines:
                out.write("\n".join(lines) + "\n")


def get_of(reading: hives.Reading) -> None:
    args = reading.args
    hive = reading.open()
    value = hive.open_key(key_path_in(hive, args.key_path)).value(args.value)
    with outputs.written(args.output) as out:
        if args.raw:
            out.write(value.raw_data())
        else:
            data = values.typed(value)
            lines = data if isinstance(data, list) else [data]
            out.write(("\n".join(safe(str(line)) for line in lines) + "\n").encode())
            if isinstance(data, str) and value.data().is_string() and \
                    (note := strings.after_terminator_note(value.raw_data())):
                reading.note(f"value {value.name()}: {note} (--raw writes the data whole)", failed=False)


def ls(args: argparse.Namespace) -> int:
    return single(args, ls_of)


def get(args: argparse.Namespace) -> int:
    return single(args, get_of)
