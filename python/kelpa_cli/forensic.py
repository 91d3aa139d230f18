"""timeline, deleted and recover: when keys were written, what was deleted, and the hive as its
logs leave it."""

from __future__ import annotations

import argparse
import datetime

import kelpa
from kelpa_tools.deleted import deleted_records

from . import artifacts, hives, outputs, values
from .text import safe

Row = tuple[datetime.datetime | None, str, str]


def moment(text: str) -> datetime.datetime:
    """An ISO 8601 date or time for --since/--until; without a zone it is UTC."""
    try:
        parsed = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 date or time: {text!r}") from None
    return parsed if parsed.tzinfo else parsed.replace(tzinfo=datetime.UTC)


def times_of(reading: hives.Reading) -> list[Row]:
    args = reading.args
    rows: list = []
    hive = reading.open()
    for key_path, key in hives.walk(hive.root_key(), reading.problem):
        written = hives.when(key, reading)
        if (args.since or args.until) and written is None:
            continue
        if (args.since and written < args.since) or (args.until and written > args.until):
            continue
        rows.append((written, reading.path, key_path))
    if args.artifacts:
        rows.extend(artifacts.events_of(reading, hive))
    return rows


def timeline(args: argparse.Namespace) -> int:
    paths = hives.find_hives(args.hives)
    outputs.check(args.output, hives.inputs_of(paths, args), args.force)
    with outputs.text_written(args.output) as out:
        done, failed = hives.run_many(paths, times_of, args)
        rows = [row for _, part in done for row in part]
        if args.artifacts:  # the decoders' event times among the keys', with two more columns
            csv_out = outputs.CsvWriter(out)
            csv_out.writerow(artifacts.TIMELINE_COLUMNS)
            csv_out.writerows(artifacts.timeline_rows(rows))
            return 1 if failed else 0
        never = datetime.datetime.min.replace(tzinfo=datetime.UTC)
        rows.sort(key=lambda r: r[0] or never, reverse=True)
        csv_out = outputs.CsvWriter(out)
        csv_out.writerow(("last_written", "hive", "key_path"))
        csv_out.writerows((hives.iso(written) or "", hive, key) for written, hive, key in rows)
    return 1 if failed else 0


DELETED_COLUMNS = ("kind", "hive", "found", "cell_offset", "last_written", "key", "value_name", "value_type", "data")


def deleted_of(reading: hives.Reading) -> list[tuple[str, ...]]:
    """The hive's deleted records, from the file as it lies and, when logs applied, from the
    recovered image too (found: file, recovered or both)."""
    hive, path = reading.open(), reading.path
    as_lies = hive
    if any(log.applied for log in hive.log_replay()):
        try:
            as_lies = kelpa.Hive.from_path(path, strict=getattr(reading.args, "strict", False))
        except ValueError as e:  # a base block only the logs make readable: the recovered image alone
            reading.note(f"the file as it lies cannot be scanned for deleted records: {e}")
            as_lies = None
    keys, found_values = deleted_records(as_lies, hive)
    rows: list[tuple[str, ...]] = [("key", path, k.found, f"{k.cell_offset:#x}",
                                    hives.iso(hives.when(k.key, reading)) or "", k.path, "", "", "") for k in keys]
    rows.extend(("value", path, v.found, f"{v.cell_offset:#x}", "", v.key_path or "", v.value.name(),
                 v.value.value_type().type_name(), values.as_text(values.typed(v.value))) for v in found_values)
    return rows


def deleted(args: argparse.Namespace) -> int:
    paths = hives.find_hives(args.hives)
    outputs.check(args.output, hives.inputs_of(paths, args), args.force)
    with outputs.text_written(args.output) as out:
        csv_out = outputs.CsvWriter(out)
        csv_out.writerow(DELETED_COLUMNS)
        _, failed = hives.run_many(paths, deleted_of, args, each=lambda _, rows: csv_out.writerows(rows))
    return 1 if failed else 0


def recover_of(reading: hives.Reading) -> None:
    args = reading.args
    hives.check_input(reading.path)
    if not any(hives.logs_for(reading.path, args).pair):
        kelpa.Hive.from_path(reading.path, strict=False)  # what is wrong with the file, if anything
        raise hives.Failure(f"{reading.path}: no transaction logs beside it (HIVE.LOG1, HIVE.LOG2, "
                            "HIVE.LOG); name them with --log1/--log2")
    try:
        bb = kelpa.Hive.from_path(reading.path, strict=False).base_block()
        state = f"{'dirty' if bb.is_dirty else 'clean'}, sequences {bb.primary_sequence} / " \
                f"{bb.secondary_sequence}"
    except ValueError as e:  # a base block that the logs may replace
        state = str(e)
    hive = reading.open()
    after = hive.base_block()
    print(safe(f"{reading.path}: {state}"))
    for line in hives.replay_report(hive):
        print(safe(f"  {line}"))
    print(f"  recovered: sequences {after.primary_sequence} / {after.secondary_sequence}, "
          f"{after.hive_bins_data_size} bytes of bins")
    with outputs.staged(args.output) as staged:
        hive.save(staged)
    print(safe(f"  written to {args.output}"))


def recover(args: argparse.Namespace) -> int:
    args.output = args.output or args.hive + ".recovered"
    outputs.check(args.output, hives.inputs_of([args.hive], args), args.force)
    _, notes, failed = hives.run_one(recover_of, args.hive, args)
    for note in notes:
        hives.say(note)
    return 1 if failed else 0
