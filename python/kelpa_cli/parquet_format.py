"""A Parquet table: one row per value, and one per key without values (its value columns null,
value_type among them); the unnamed value's value_name is null. Rows go out a row group at a
time."""

from __future__ import annotations

import argparse
import os
from typing import IO

import kelpa

from . import hives, values

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:
    raise hives.Usage("--format parquet needs pyarrow: pip install 'kelpa[parquet]'") from None

SCHEMA = pa.schema([
    ("hive", pa.string()),
    ("key_path", pa.string()),
    ("key_last_written", pa.timestamp("us", tz="UTC")),
    ("key_class_name", pa.string()),
    ("value_name", pa.string()),
    ("value_type", pa.string()),
    ("value_type_id", pa.uint32()),
    ("data", pa.binary()),
    ("data_text", pa.string()),
])


ROWS_PER_GROUP = 65536  # a row group is written as soon as it is full


class Sink:
    def __init__(self, out: IO[bytes], args: argparse.Namespace, header: bool = True) -> None:
        self.writer = pq.ParquetWriter(out, SCHEMA)
        self.columns: dict[str, list[object]] = {name: [] for name in SCHEMA.names}

    def flush(self) -> None:
        if self.columns["hive"]:
            self.writer.write_table(pa.Table.from_pydict(self.columns, schema=SCHEMA))
            for column in self.columns.values():
                column.clear()

    def hive(self, reading: hives.Reading, hive: kelpa.Hive) -> None:
        rows = self.columns.values()
        # A name that is not UTF-8 cannot be a Parquet string: its undecodable bytes show as U+FFFD.
        path = reading.path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
        for key_path, key in hives.walk(hive.root_key(), reading.problem):
            written, class_name = hives.when(key, reading), values.class_name(key, reading)
            try:
                listed = key.values()
            except ValueError as e:
                reading.problem(e)
                listed = []
            for value in listed:
                kind = value.value_type()
                for column, item in zip(rows, (path, key_path, written, class_name,
                                               None if value.is_unnamed() else value.name(), kind.type_name(),
                                               kind.type_id(), value.raw_data(), values.as_text(values.typed(value)))):
                    column.append(item)
            if not listed:
                for column, item in zip(rows, (path, key_path, written, class_name, None, None, None, None, None)):
                    column.append(item)
            if len(self.columns["hive"]) >= ROWS_PER_GROUP:
                self.flush()
        self.flush()

    def part(self, part: str) -> None:
        self.writer.write_table(pq.read_table(part))
        os.unlink(part)

    def close(self) -> None:
        self.flush()
        self.writer.close()
