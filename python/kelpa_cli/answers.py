"""search and diff: keys, values and data matching patterns in many hives, and what changed from
one hive to another. The answers come from kelpa_tools; this module reads the hives as evidence
and writes the rows."""

from __future__ import annotations

import argparse
import contextlib
import io
import json
from collections.abc import Iterator

from kelpa_tools import diff as diffing
from kelpa_tools.search import Query

from . import hives, outputs, values

SEARCH_COLUMNS = ("hive", "key_path", "value_name", "value_type", "matched", "excerpt", "last_written")
DIFF_COLUMNS = ("change", "kind", "key_path", "value_name", "old_type", "new_type", "old_data", "new_data",
                "old_last_written", "new_last_written")

DIFF_EXIT_STATUS = """\
exit status (as diff's):
  0  the hives hold the same keys, last-write times and values, and both were read whole
  1  they differ, and both were read whole
  2  a usage error or an output refused, and nothing was read; or a hive that could not be read
     whole (as for the other commands' status 1: a damaged hive, a missing or refused log that
     was named, a dirty hive left dirty): what was read of both is compared and written, with the
     problems on standard error, unless a hive could not be opened at all"""


def byte_count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a number of bytes: {text!r}")
    return int(text)


@contextlib.contextmanager
def written(output: str | None) -> Iterator[io.TextIOWrapper]:
    """outputs.text_written, with an output that cannot be written (its folder missing, no
    permission) a usage error naming it, exit status 2."""
    try:
        with outputs.text_written(output) as out:
            yield out
    except BrokenPipeError:  # standard output's reader went away: the command line's own case
        raise
    except OSError as e:
        raise hives.Usage(f"{output}: {e.strerror or e}") from None


def matches_of(reading: hives.Reading) -> list[tuple[str, ...]]:
    args = reading.args
    return [(reading.path, m.key_path, m.value_name or "", m.value_type or "",
             f"deleted {m.matched}" if m.deleted else m.matched, m.excerpt, hives.iso(m.last_written) or "")
            for m in args.query.matches(reading.open(), deleted=args.deleted, onerror=reading.problem)]


def search(args: argparse.Namespace) -> int:
    if args.key is None and args.value is None and args.data is None and args.min_size is None:
        raise hives.Usage("nothing to search for: give --key, --value, --data or --min-size")
    try:
        args.query = Query(key=args.key, value=args.value, data=args.data, literal=args.literal,
                           case_sensitive=args.case_sensitive, min_size=args.min_size)
    except ValueError as e:
        raise hives.Usage(str(e)) from None
    paths = hives.find_hives(args.hives)
    outputs.check(args.output, hives.inputs_of(paths, args), args.force)
    with written(args.output) as out:
        csv_out = outputs.CsvWriter(out)
        csv_out.writerow(SEARCH_COLUMNS)
        _, failed = hives.run_many(paths, matches_of, args, each=lambda _, rows: csv_out.writerows(rows))
    return 1 if failed else 0


def snapshot_of(reading: hives.Reading) -> dict[str, diffing.KeyState]:
    return diffing.snapshot(reading.open(), reading.problem)


def data_forms(change: diffing.Change) -> tuple[values.Typed | None, values.Typed | None]:
    """Each side's data as the exports show it (text, number, list of text, or hex); both as hex
    when those would read the same although the bytes differ."""
    old, new = (None if v is None else values.typed(v) for v in (change.old_value, change.new_value))
    if old is not None and old == new and change.old_data != change.new_data:
        return change.old_data.hex(), change.new_data.hex()  # type: ignore[union-attr]
    return old, new


def sides(args: argparse.Namespace) -> list[tuple[str, argparse.Namespace]]:
    """The two hives compared, each with the arguments it is read with: OLD and NEW; or, for one
    hive, the file as it lies and the file with the logs beside it."""
    try:
        paths = [hives.one_hive(args.old)] + ([] if args.new is None else [hives.one_hive(args.new)])
    except hives.Failure as e:
        raise hives.Usage(str(e)) from None
    if len(paths) == 2:
        return [(path, args) for path in paths]
    if args.logs == "none":
        raise hives.Usage("diff of one hive compares it with its logs: --logs none leaves nothing to compare")
    if not any(hives.logs_for(paths[0], args).pair):
        raise hives.Usage(f"{paths[0]}: no transaction logs beside it (HIVE.LOG1, HIVE.LOG2, HIVE.LOG) to compare "
                          "it with")
    return [(paths[0], argparse.Namespace(**{**vars(args), "logs": "none", "as_lies": True})), (paths[0], args)]


def diff(args: argparse.Namespace) -> int:
    compared = sides(args)
    outputs.check(args.output, hives.inputs_of([path for path, _ in compared], args), args.force)
    snapshots, failed = [], False
    for path, side_args in compared:
        snapshot, notes, hive_failed = hives.run_one(snapshot_of, path, side_args)
        for note in notes:
            hives.say(note)
        snapshots.append(snapshot)
        failed |= hive_failed
    if None in snapshots:
        return 2
    changes = diffing.compare(*snapshots)
    with written(args.output) as out:
        if args.format == "csv":
            csv_out = outputs.CsvWriter(out)
            csv_out.writerow(DIFF_COLUMNS)
        for change in changes:
            old, new = data_forms(change)
            name = None if change.value_name == "" else change.value_name
            row = (change.change, change.kind, change.key_path, name, change.old_type, change.new_type, old, new,
                   hives.iso(change.old_last_written), hives.iso(change.new_last_written))
            if args.format == "csv":
                csv_out.writerow("" if v is None else values.as_text(v) for v in row)
            else:
                out.write(json.dumps(dict(zip(DIFF_COLUMNS, row)), ensure_ascii=False) + "\n")
    return 2 if failed else 1 if changes else 0
