"""export: a hive's keys and values as a .reg file, JSON lines or a Parquet table, written as they
are read."""

from __future__ import annotations

import argparse
import importlib
import os
import shutil
import tempfile
from collections.abc import Iterator
from typing import IO, Any

from . import hives, outputs

FORMATS = {"reg": "reg_format", "jsonl": "jsonl_format", "parquet": "parquet_format"}


def writer(name: str) -> Any:
    return importlib.import_module(f"{__package__}.{FORMATS[name]}")


def part_of(reading: hives.Reading) -> str:
    """One hive's rows, written by a worker process into a file of its own in args.parts (no
    header); returns its name."""
    hive = reading.open()
    handle, part = tempfile.mkstemp(dir=str(reading.args.parts))
    with open(handle, "wb") as out:
        sink = writer(reading.args.format).Sink(out, reading.args, header=False)
        sink.hive(reading, hive)
        sink.close()
    return part


def export_dataset(paths: list[str], args: argparse.Namespace) -> int:
    """The keys and values of every hive as a partitioned Parquet dataset (OUT/keys, OUT/values,
    a file per hive), computed by the Dask cluster at args.scheduler, each worker reading its hives."""
    try:
        from distributed import Client

        from kelpa_tools import datasets
    except ImportError:
        raise hives.Usage("--scheduler needs Dask: pip install 'kelpa[dask]'") from None
    with Client(args.scheduler):  # OUT was checked as every output is
        for kind in datasets.KINDS:
            frame = datasets.read_hives(paths, kind, logs=args.logs, strict=args.strict)
            frame.to_parquet(os.path.join(args.output, kind), write_index=False, overwrite=args.force)
    return 0


def export(args: argparse.Namespace) -> int:
    fmt = writer(args.format)  # a missing optional library is reported before any work
    paths = hives.find_hives(args.hives)
    outputs.check(args.output, hives.inputs_of(paths, args), args.force)
    if args.scheduler:
        return export_dataset(paths, args)
    with outputs.written(args.output) as out:
        sink = fmt.Sink(out, args)
        if min(args.jobs, len(paths)) <= 1:  # one process: every row goes out as it is read
            _, failed = hives.run_many(paths, lambda reading: sink.hive(reading, reading.open()) or True, args)
        else:
            beside = os.path.dirname(os.path.abspath(args.output)) if args.output else None
            with tempfile.TemporaryDirectory(prefix=".kelpa-export-", dir=beside) as parts:
                args.parts = parts
                _, failed = hives.run_many(paths, part_of, args, each=lambda _, part: sink.part(part))
        sink.close()
    return 1 if failed else 0


def table_batches(reading: hives.Reading, table: object) -> Iterator[Any]:
    """The record batches of one of the hive's tables (Hive.table), read as they come; a strict
    hive's error ends them and is noted as a problem of the reading, the rows before it kept."""
    import pyarrow as pa

    try:
        yield from pa.RecordBatchReader.from_stream(table)
    except OSError as e:
        reading.problem(ValueError(str(e).removeprefix("IOError: ")))


def copy_part(part: str, out: IO[bytes]) -> None:
    with open(part, "rb") as f:
        shutil.copyfileobj(f, out, 1 << 20)
    os.unlink(part)
