"""timeline, deleted and recover: when keys were written, what was deleted, and the hive as its
logs leave it."""

from __future__ import annotations

import argparse
import csv
import datetime
import sys

import kelpa

from . import hives, values

Row = tuple[datetime.datetime | None, str, str]


def moment(text: str) -> datetime.datetime:
    """An ISO 8601 date or time for --since/--until; without a zone it is UTC."""
    try:
        parsed = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 date or time: {text!r}") from None
    return parsed if parsed.tzinfo else parsed.replace(tzinfo=datetime.UTC)


def times_of(path: str, args: argparse.Namespace, report: hives.Report) -> list[Row]:
    hive = hives.open_hive(path, args)
    rows = []
    for key_path, key in hives.walk(hive.root_key(), report):
        written = hives.when(key, report)
        if (args.since or args.until) and written is None:
            continue
        if (args.since and written < args.since) or (args.until and written > args.until):
            continue
        rows.append((written, path, key_path))
    return rows


def timeline(args: argparse.Namespace) -> int:
    done, failed = hives.run_many(hives.find_hives(args.hives), times_of, args)
    rows = [row for _, part in done for row in part]
    never = datetime.datetime.min.replace(tzinfo=datetime.UTC)
    rows.sort(key=lambda r: r[0] or never, reverse=True)
    out = csv.writer(sys.stdout, lineterminator="\n")
    out.writerow(("last_written", "hive", "key_path"))
    out.writerows((hives.iso(written) or "", hive, key) for written, hive, key in rows)
    return 1 if failed else 0


DELETED_COLUMNS = ("kind", "hive", "last_written", "key", "value_name", "value_type", "data")


def located(key: kelpa.RegistryKey) -> str:
    """A deleted key's path as far as its parents still hold; its name alone when they do not."""
    try:
        return key.path()
    except ValueError:
        return key.name()


def deleted_of(path: str, args: argparse.Namespace, report: hives.Report) -> list[tuple[str, ...]]:
    hive = hives.open_hive(path, args)
    rows: list[tuple[str, ...]] = [("key", path, hives.iso(hives.when(key, report)) or "",
                                    located(key), "", "", "") for key in hive.deleted_keys()]
    rows.extend(("value", path, "", "", value.name(), value.value_type().type_name(),
                 values.as_text(values.typed(value))) for value in hive.deleted_values())
    return rows


def deleted(args: argparse.Namespace) -> int:
    done, failed = hives.run_many(hives.find_hives(args.hives), deleted_of, args)
    out = csv.writer(sys.stdout, lineterminator="\n")
    out.writerow(DELETED_COLUMNS)
    out.writerows(row for _, rows in done for row in rows)
    return 1 if failed else 0


def recover(args: argparse.Namespace) -> int:
    found = hives.logs_beside(args.hive)
    log1, log2 = (args.log1, args.log2) if args.log1 or args.log2 else found
    hive = kelpa.Hive.open_with_logs(args.hive, log1, log2)  # the hive file's own errors first
    if not (log1 or log2):
        raise hives.Failure(args.hive, "no transaction logs beside it (HIVE.LOG1, HIVE.LOG2, "
                                       "HIVE.LOG); name them with --log1/--log2")
    try:
        bb = kelpa.Hive.open(args.hive).base_block()
        state = f"{'dirty' if bb.is_dirty else 'clean'}, sequences {bb.primary_sequence} / " \
                f"{bb.secondary_sequence}"
    except ValueError as e:  # a base block that the logs may replace
        state = str(e)
    after = hive.base_block()
    print(f"{args.hive}: {state}")
    for line in hives.replay_report(hive):
        print("  " + line)
    print(f"  recovered: sequences {after.primary_sequence} / {after.secondary_sequence}, "
          f"{after.hive_bins_data_size} bytes of bins")
    out = args.output or args.hive + ".recovered"
    hive.save(out)
    print(f"  written to {out}")
    return 0
