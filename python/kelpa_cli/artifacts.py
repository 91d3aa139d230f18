"""artifacts: the decoded artifacts of many hives, as JSON lines or as a CSV or Parquet file per
decoder; and what the timeline (event rows) and batch (detail files) take from the same decoding.

Text outputs write times as the batch CSV does (yyyy-MM-dd HH:mm:ss.fffffff, UTC; a local time
as written, without a zone), lists of text joined with ", " (CSV only) and bytes as hex."""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import math
import os
from collections.abc import Iterable, Iterator
from typing import IO, Any, NamedTuple

import kelpa
from kelpa_tools import artifacts, hive_types, rules
from kelpa_tools.artifacts import ArtifactProblem, Decoder
from kelpa_tools.binary_convert import time_text

from . import hives, jsonl_format, outputs

FORMATS = ("jsonl", "csv", "parquet")
UTC = datetime.UTC


def chosen(text: str | None) -> list[str] | None:
    """The decoders -a names (comma-separated), checked before anything is read; None for all."""
    if text is None:
        return None
    names = [n.strip() for n in text.split(",") if n.strip()]
    known = {d.name for d in artifacts.decoders()}
    for name in names:
        if name not in known:
            raise hives.Usage(f"no artifact decoder named {name!r} (--list names them)")
    return names


def listing(out: IO[str]) -> None:
    """--list: each decoder's name, hive types and description, one a line."""
    listed = artifacts.decoders()
    width = max((len(d.name) for d in listed), default=0)
    types = max((len(", ".join(d.hive_types)) for d in listed), default=0)
    for d in listed:
        out.write(f"{d.name:<{width}}  {', '.join(d.hive_types):<{types}}  {d.description}\n")


# --- values as text -----------------------------------------------------------------------


def clean(text: str) -> str:
    """Text that encodes as UTF-8: a file name byte that did not decode (a surrogate escape), and
    any other lone surrogate, as U+FFFD, as every output shows them (JSON lines also carry the
    name's exact bytes in `hive_bytes`)."""
    if text.isascii():
        return text
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in text)


def moment_text(moment: datetime.datetime) -> str:
    """A time as the batch CSV writes it: UTC (or, for a local time, as written), seven digits of
    fractions."""
    if moment.tzinfo is not None:
        moment = moment.astimezone(UTC)
    return time_text(moment, moment.microsecond * 10)


def json_value(kind: str, value: Any) -> Any:
    if value is None:
        return None
    if kind in ("time", "local_time"):
        return moment_text(value)
    if kind == "text":
        return clean(value)
    if kind == "texts":
        return [clean(v) for v in value]
    if kind == "bytes":
        return value.hex()
    if kind == "float" and not math.isfinite(value):
        return None
    return value


def csv_value(kind: str, value: Any) -> str:
    if value is None:
        return ""
    if kind == "texts":
        return ", ".join(clean(v) for v in value)
    shown = json_value(kind, value)
    return "" if shown is None else str(shown)


def csv_header(decoder: Decoder) -> list[str]:
    return ["hive", *(f.name for f in decoder.columns)]


def csv_row(decoder: Decoder, hive: str, row: dict[str, Any]) -> list[str]:
    return [clean(hive), *(csv_value(f.type, row.get(f.name)) for f in decoder.columns)]


# --- decoding one hive ----------------------------------------------------------------------


def note_problems(reading: hives.Reading, problems: list[ArtifactProblem]) -> None:
    """What the decoders could not read makes the exit status 1, as a hive's problems do: one line
    with the count and the first, or (with --problems) one line each."""
    def where(p: ArtifactProblem) -> str:
        return f"{p.artifact} at {p.key_path or 'the root key'}: {p.message}"

    if not problems:
        return
    if getattr(reading.args, "problems", False):
        for problem in problems:
            reading.note(f"decoding {where(problem)}")
    else:
        count = f"{len(problems)} problem{'s' if len(problems) > 1 else ''}"
        reading.note(f"{count} decoding artifacts, the first in {where(problems[0])} (--problems lists them all)")


class Decoded(NamedTuple):
    """One hive's decoding: the decoders that applied to its type and their rows."""
    applied: list[str]
    rows: list[tuple[str, dict[str, Any]]]


def decoded_of(reading: hives.Reading) -> Decoded:
    decoding = artifacts.decode(reading.open(), reading.args.names, path=reading.path)
    rows = list(decoding)
    note_problems(reading, decoding.problems())
    return Decoded([d.name for d in decoding.decoders()], rows)


# --- the command ----------------------------------------------------------------------------


def _schema(decoder: Decoder) -> Any:
    import pyarrow as pa
    kinds = {"text": pa.string(), "int": pa.int64(), "bool": pa.bool_(), "time": pa.timestamp("us", tz="UTC"),
             "local_time": pa.timestamp("us"), "bytes": pa.binary(), "texts": pa.list_(pa.string()),
             "float": pa.float64()}
    return pa.schema([("hive", pa.string()), *((f.name, kinds[f.type]) for f in decoder.columns)])


def _parquet_row(decoder: Decoder, hive: str, row: dict[str, Any]) -> dict[str, Any]:
    record: dict[str, Any] = {"hive": clean(hive)}
    for f in decoder.columns:
        value = row.get(f.name)
        record[f.name] = clean(value) if f.type == "text" and value is not None else \
            [clean(v) for v in value] if f.type == "texts" and value is not None else value
    return record


class Folder:
    """A file per decoder in a folder (made if missing), each staged and put in place only when
    the command completes; made as the first hive a decoder applies to comes in."""

    def __init__(self, folder: str, extension: str, stack: contextlib.ExitStack) -> None:
        self.folder, self.extension, self.stack = folder, extension, stack
        self.writers: dict[str, Any] = {}

    def hive(self, path: str, decoded: Decoded) -> None:
        """One hive's rows, a decoder at a time (a decoder that applied but gave no rows still
        gets its file)."""
        by_name: dict[str, list[dict[str, Any]]] = {name: [] for name in decoded.applied}
        for name, row in decoded.rows:
            by_name[name].append(row)
        registry = artifacts.base.registered()
        for name, rows in by_name.items():
            self.add(registry[name], path, rows)

    def path(self, name: str) -> str:
        return os.path.join(self.folder, f"{name}.{self.extension}")

    def add(self, decoder: Decoder, hive: str, rows: list[dict[str, Any]]) -> None:
        writer = self.writers.get(decoder.name)
        if writer is None:
            os.makedirs(self.folder, exist_ok=True)
            staged = self.stack.enter_context(outputs.staged(self.path(decoder.name)))
            if self.extension == "csv":
                out = self.stack.enter_context(open(staged, "w", encoding="utf-8", newline=""))
                writer = outputs.CsvWriter(out)
                writer.writerow(csv_header(decoder))
            else:
                import pyarrow.parquet as pq
                writer = pq.ParquetWriter(staged, _schema(decoder))
                self.stack.callback(writer.close)  # before the staged file is put in place
            self.writers[decoder.name] = writer
        if self.extension == "csv":
            writer.writerows(csv_row(decoder, hive, row) for row in rows)
        elif rows:
            import pyarrow as pa
            writer.write_table(pa.Table.from_pylist([_parquet_row(decoder, hive, r) for r in rows],
                                                    schema=writer.schema))


def folder_outputs(folder: str, names: Iterable[str], extension: str, inputs: list[str | None],
                   force: bool) -> None:
    """Refuses, before anything is read, a folder that is a file or whose parent does not exist,
    and any of its files that is an input or exists (without --force)."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise hives.Usage(f"{folder}: is not a folder")
    if not os.path.isdir(os.path.dirname(os.path.abspath(folder))):
        raise hives.Usage(f"{folder}: its folder does not exist")
    if not os.path.isdir(folder):
        return  # made when the first file is written: nothing in it yet to refuse
    for name in names:
        outputs.check(os.path.join(folder, f"{name}.{extension}"), inputs, force)


@contextlib.contextmanager
def folder_written(folder: str, extension: str) -> Iterator[Folder]:
    """A Folder whose files are all put in place when the block completes, or all removed (with
    the folder, when made here and left empty) when it does not."""
    made = not os.path.isdir(folder)
    try:
        with contextlib.ExitStack() as stack:
            yield Folder(folder, extension, stack)
    except BaseException:
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        raise


def command(args: argparse.Namespace) -> int:
    if args.list:
        with outputs.text_written(None) as out:
            listing(out)
        return 0
    if not args.hives:
        raise hives.Usage("artifacts: name at least one HIVE (or --list)")
    args.names = chosen(args.artifacts)
    paths = hives.find_hives(args.hives)
    inputs = hives.inputs_of(paths, args)
    registry = {d.name: d for d in artifacts.decoders()}
    if args.format == "jsonl":
        outputs.check(args.output, inputs, args.force)
        with outputs.text_written(args.output) as out:
            def each(path: str, decoded: Decoded) -> None:
                for name, row in decoded.rows:
                    columns = registry[name].columns
                    record = {"artifact": name, "hive": clean(path), **jsonl_format.bytes_of(path),
                              **{f.name: json_value(f.type, row.get(f.name)) for f in columns}}
                    out.write(json.dumps(record, ensure_ascii=False) + "\n")
            _, failed = hives.run_many(paths, decoded_of, args, each=each)
        return 1 if failed else 0
    if args.output is None:
        raise hives.Usage(f"--format {args.format} writes a file per decoder: name their folder with -o OUT")
    if args.format == "parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise hives.Usage("--format parquet needs pyarrow: pip install 'kelpa[parquet]'") from None
    folder_outputs(args.output, args.names or registry, args.format, inputs, args.force)
    with folder_written(args.output, args.format) as folder:
        _, failed = hives.run_many(paths, decoded_of, args, each=folder.hive)
    return 1 if failed else 0


# --- timeline --------------------------------------------------------------------------------

TIMELINE_COLUMNS = ("time", "hive", "key_path", "artifact", "event")


def events_of(reading: hives.Reading, hive: kelpa.Hive) -> list[tuple[Any, ...]]:
    """(time, hive, key path, artifact, what happened) for every event time the decoders give
    within --since/--until: "program run: C:\\...\\cmd.exe" (what happened, then the row's main
    text where the decoder names one). A local time is compared as if it were UTC."""
    args = reading.args
    decoding = artifacts.decode(hive, path=reading.path)
    found = []
    for decoder in decoding.decoders():
        if not decoder.events:
            continue
        for row in decoding.rows(decoder):
            about = row.get(decoder.summary) if decoder.summary else None
            for field, what in decoder.events.items():
                moment = row.get(field)
                if not isinstance(moment, datetime.datetime):
                    continue
                compared = moment if moment.tzinfo else moment.replace(tzinfo=UTC)
                if (args.since and compared < args.since) or (args.until and compared > args.until):
                    continue
                text = what if about in (None, "", []) else \
                    f"{what}: {', '.join(about) if isinstance(about, list) else about}"
                found.append((moment, reading.path, row.get("key_path", ""), decoder.name, text))
    note_problems(reading, decoding.problems())
    return found


def timeline_rows(rows: list[tuple[Any, ...]]) -> Iterator[tuple[str, ...]]:
    """Key rows (time, hive, key path) and event rows together, newest first, under
    TIMELINE_COLUMNS; a key row's artifact and event are empty."""
    never = datetime.datetime.min.replace(tzinfo=UTC)

    def when(row: tuple[Any, ...]) -> datetime.datetime:
        moment = row[0]
        return never if moment is None else moment if moment.tzinfo else moment.replace(tzinfo=UTC)

    for row in sorted(rows, key=when, reverse=True):
        yield (hives.iso(row[0]) or "", *row[1:3], *(row[3:] or ("", "")))


# --- batch -----------------------------------------------------------------------------------


def rule_decoders(batch: rules.Batch) -> dict[int, list[str]]:
    """Rule position -> the decoders that read the rule's key in a hive of the rule's type."""
    found = {}
    for rule in batch.rules:
        names = [d.name for d in artifacts.decoders()
                 if rule.hive_type in d.hive_types and any(rules.covers(rule, key) for key in d.keys)]
        if names:
            found[rule.position] = names
    return found


def detail_file(folder: str, name: str) -> str:
    return os.path.join(folder, f"{name}.csv")


def batch_rows_of(reading: hives.Reading) -> tuple[list[tuple[int, str]], Decoded]:
    """The batch's rows of one hive, each rule's naming its decoders' files, and those decoders'
    rows."""
    args = reading.args
    hive = reading.open()
    kind = hive_types.hive_type(hive, reading.path)
    wanted = args.rule_decoders
    rows, lines = [], outputs.CsvLines()
    for row in rules.apply(args.batch, hive, reading.path, kind, deleted=args.deleted):
        names = wanted.get(row.rule.position, [])
        detail = ", ".join(detail_file(args.artifacts, n) for n in names)
        rows.append((row.rule.position, lines.line(row._replace(plugin_detail_file=detail).fields())))
    names = sorted({n for rule in args.batch.rules if rule.hive_type == kind for n in wanted.get(rule.position, [])})
    decoded = Decoded([], [])
    if names:
        decoding = artifacts.decode(hive, names, hive_type=kind)
        decoded = Decoded([d.name for d in decoding.decoders()], list(decoding))
        note_problems(reading, decoding.problems())
    return rows, decoded


def batch_details(args: argparse.Namespace, inputs: list[str | None]) -> None:
    """--artifacts OUTDIR: the decoders the rules name, their files checked before anything is read."""
    args.rule_decoders = rule_decoders(args.batch)
    names = sorted({n for names in args.rule_decoders.values() for n in names})
    folder_outputs(args.artifacts, names, "csv", inputs, args.force)


def write_details(args: argparse.Namespace, done: list[tuple[str, Decoded]]) -> None:
    """Each decoder's rows over every hive, in hive order, to OUTDIR/NAME.csv."""
    with folder_written(args.artifacts, "csv") as folder:
        for path, decoded in done:
            folder.hive(path, decoded)
