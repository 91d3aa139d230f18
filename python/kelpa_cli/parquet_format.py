"""A Parquet table: one row per value, and one per key without values (its value columns null)."""

from __future__ import annotations

import argparse

import kelpa

from . import hives, values

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:
    raise hives.Failure("--format parquet", "needs pyarrow: pip install 'kelpa[parquet]'") from None

SCHEMA = pa.schema([
    ("hive", pa.string()),
    ("key_path", pa.string()),
    ("key_last_written", pa.timestamp("us", tz="UTC")),
    ("value_name", pa.string()),
    ("value_type", pa.string()),
    ("value_type_id", pa.uint32()),
    ("data", pa.binary()),
    ("data_text", pa.string()),
])


def write(hive: kelpa.Hive, path: str, args: argparse.Namespace, out: str,
          report: hives.Report) -> None:
    columns: dict[str, list[object]] = {name: [] for name in SCHEMA.names}
    rows = columns.values()
    for key_path, key in hives.walk(hive.root_key(), report):
        written = hives.when(key, report)
        try:
            listed = key.values()
        except ValueError as e:
            report(e)
            listed = []
        for value in listed:
            kind = value.value_type()
            for column, item in zip(rows, (path, key_path, written, value.name(), kind.type_name(),
                                           kind.type_id(), value.raw_data(),
                                           values.as_text(values.typed(value)))):
                column.append(item)
        if not listed:
            for column, item in zip(rows, (path, key_path, written, None, None, None, None, None)):
                column.append(item)
    pq.write_table(pa.Table.from_pydict(columns, schema=SCHEMA), out)


def combine(parts: list[str], output: str | None) -> None:
    assert output is not None  # the command line asks for -o with this format
    with pq.ParquetWriter(output, SCHEMA) as out:
        for part in parts:
            out.write_table(pq.read_table(part))
