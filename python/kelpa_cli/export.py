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


def dataset_part(index: int, path: str, args: argparse.Namespace, folder: str) -> tuple[list[str], bool]:
    """In a Dask worker: one hive's rows, as the Parquet export writes them, in folder/part.N.parquet
    (none for a hive that could not be read); the lines for standard error and whether anything
    failed, as for a hive read in this process."""
    def work(reading: hives.Reading) -> bool:
        import pyarrow.parquet as pq

        from . import parquet_format

        pq.write_table(parquet_format.rows_of(reading, reading.open()), os.path.join(folder, f"part.{index:06d}.parquet"))
        return True

    _, notes, failed = hives.run_one(work, path, args)
    return notes, failed


def export_dataset(paths: list[str], args: argparse.Namespace) -> int:
    """The rows of every hive, as the Parquet export writes them, as a dataset: OUT/part.N.parquet,
    a file per hive in input order, each written by a worker of the Dask cluster at
    args.scheduler (into a folder beside OUT that becomes OUT when all are done). What each hive
    met goes to standard error, in input order; a hive that cannot be read is left out."""
    try:
        from distributed import Client
    except ImportError:
        raise hives.Usage("--scheduler needs Dask: pip install 'kelpa[dask]'") from None
    beside = os.path.dirname(os.path.abspath(args.output))
    with Client(args.scheduler) as client:  # OUT was checked as every output is
        staging = tempfile.mkdtemp(prefix=".kelpa-dataset-", dir=beside)
        try:
            futures = [client.submit(dataset_part, index, path, args, staging, pure=False)
                       for index, path in enumerate(paths)]
            failed = 0
            for path, future in zip(paths, futures):
                try:
                    notes, hive_failed = future.result()
                except Exception as e:  # noqa: BLE001 - the worker's failure is this hive's
                    notes, hive_failed = [f"{path}: {e}"], True
                for note in notes:
                    hives.say(note)
                failed += hive_failed
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(staging, 0o777 & ~umask)
            if os.path.lexists(args.output):  # --force, and it holds only a dataset's files (checked)
                shutil.rmtree(args.output)
            os.replace(staging, args.output)
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            raise
    return 1 if failed else 0


def export(args: argparse.Namespace) -> int:
    fmt = writer(args.format)  # a missing optional library is reported before any work
    paths = hives.find_hives(args.hives)
    outputs.check(args.output, hives.inputs_of(paths, args), args.force, folder=bool(args.scheduler))
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
