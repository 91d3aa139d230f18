"""batch: the rows a batch rule file gives over many hives, as CSV."""

from __future__ import annotations

import argparse

from kelpa_tools import rules

from . import artifacts, hives, outputs


def rows_of(reading: hives.Reading) -> list[tuple[int, str]]:
    """(rule position, CSV line) for every row the rules give for one hive. The lines are made
    where the hive is read, so that with many processes the parent only orders and writes them."""
    args = reading.args
    lines = outputs.CsvLines()
    return [(row.rule.position, lines.line(row.fields()))
            for row in rules.apply(args.batch, reading.open(), reading.path, deleted=args.deleted)]


def batch(args: argparse.Namespace) -> int:
    try:
        args.batch = rules.load_batch(args.rules)
    except rules.RuleFileError as e:
        raise hives.Usage(str(e)) from None
    except (OSError, UnicodeDecodeError) as e:
        raise hives.Usage(f"{args.rules}: {e}") from None
    paths = hives.find_hives(args.hives)
    inputs = [*hives.inputs_of(paths, args), args.rules]
    outputs.check(args.output, inputs, args.force)
    if args.artifacts:  # each decoder of a rule's key writes its rows to OUTDIR/NAME.csv
        artifacts.batch_details(args, [*inputs, args.output])
        done, failed = hives.run_many(paths, artifacts.batch_rows_of, args)
        artifacts.write_details(args, [(path, decoded) for path, (_, decoded) in done])
        done = [(path, rows) for path, (rows, _) in done]
    else:
        done, failed = hives.run_many(paths, rows_of, args)
    # Rule order, then hive order: the same bytes whatever the number of processes.
    ordered = sorted(((position, index, line) for index, (_, lines) in enumerate(done) for position, line in lines),
                     key=lambda item: (item[0], item[1]))
    with outputs.text_written(args.output) as out:
        out.write(outputs.CsvLines().line(rules.COLUMNS))
        out.writelines(line for _, _, line in ordered)
    return 1 if failed else 0
