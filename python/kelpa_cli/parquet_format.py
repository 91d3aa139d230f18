"""A Parquet table: one row per value, and one per key without values (its value columns null,
value_type among them); the unnamed value's value_name is null. Rows go out a row group at a
time."""

from __future__ import annotations

import argparse
import os
from typing import IO

import kelpa

from . import export, hives, values

try:
    import pyarrow as pa
    import pyarrow.compute as pc
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
TYPE_NAMES = pa.array(values.TYPE_NAMES)


def read(reading: hives.Reading, table: object) -> pa.Table:
    """A whole table of the hive (see export.table_batches)."""
    schema = pa.schema(table)
    return pa.Table.from_batches(list(export.table_batches(reading, table)), schema)


def rows_of(reading: hives.Reading, hive: kelpa.Hive) -> pa.Table:
    """The hive's rows under SCHEMA, in walk order, from its keys and values tables: each key's
    values, or, for a key without any (readable), one row of its own."""
    keys, listed = read(reading, hive.table("keys")), read(reading, hive.table("values"))
    # Each value's key is the first key of the walk with its key id (a key the walk met twice, in a
    # damaged hive, keeps its first place).
    key_ids = keys.column("key_id").combine_chunks()
    ordinal = pc.index_in(listed.column("key_id"), value_set=key_ids)
    bare = pc.invert(pc.is_in(key_ids, value_set=listed.column("key_id").combine_chunks()))
    type_ids = listed.column("type_id").combine_chunks()
    unknown = pc.greater_equal(type_ids, len(TYPE_NAMES))
    names = pc.take(TYPE_NAMES, pc.if_else(unknown, 0, type_ids))
    if pc.any(unknown).as_py():
        names = pc.replace_with_mask(names, unknown, pa.array(
            [values.type_name(t) for t in pc.filter(type_ids, unknown).to_pylist()], pa.string()))
    value_rows = pa.table({
        "key_path": listed.column("key_path"), "key_last_written": pc.take(keys.column("last_written"), ordinal),
        "key_class_name": pc.take(keys.column("class_name"), ordinal), "value_name": listed.column("name"),
        "value_type": names, "value_type_id": type_ids, "data": listed.column("data"), "data_text": data_text(listed),
        "ordinal": pc.cast(ordinal, pa.int64()), "row": pa.array(range(listed.num_rows), pa.int64())})
    key_rows = keys.filter(bare)
    key_rows = pa.table({
        "key_path": key_rows.column("path"), "key_last_written": key_rows.column("last_written"),
        "key_class_name": key_rows.column("class_name"),
        "ordinal": pc.indices_nonzero(bare).cast(pa.int64()), "row": pa.nulls(key_rows.num_rows, pa.int64())})
    # A name that is not UTF-8 cannot be a Parquet string: its undecodable bytes show as U+FFFD.
    path = reading.path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    rows = pa.concat_tables([value_rows, key_rows], promote_options="permissive").sort_by(
        [("ordinal", "ascending"), ("row", "ascending")])
    rows = rows.drop_columns(["ordinal", "row"]).add_column(0, "hive", pa.array([path] * rows.num_rows, pa.string()))
    return rows.cast(SCHEMA)


def data_text(listed: pa.Table) -> pa.Array:
    """As the JSON lines show data: the text of strings (multi-strings one per line), the number
    of a DWORD or QWORD of exactly its width, hex otherwise."""
    text, number, data, type_ids = (listed.column(c).combine_chunks() for c in ("text", "number", "data", "type_id"))
    width = pc.if_else(pc.equal(type_ids, values.REG_QWORD), 8, 4)
    exact = pc.and_(pc.is_valid(number), pc.equal(pc.binary_length(data), width))
    # A multi-string's strings (joined by U+0000 in the table), one per line.
    lines = pc.if_else(pc.equal(type_ids, values.REG_MULTI_SZ), pc.replace_substring(text, "\0", "\n"), text)
    shown = pc.if_else(pc.is_valid(text), lines, pc.if_else(exact, pc.cast(number, pa.large_string()), None))
    missing = pc.is_null(shown)
    if not pc.any(missing).as_py():
        return shown
    hexed = pa.array([d.hex() for d in pc.filter(data, missing).to_pylist()], pa.large_string())
    return pc.replace_with_mask(shown, missing, hexed)


class Sink:
    def __init__(self, out: IO[bytes], args: argparse.Namespace, header: bool = True) -> None:
        self.writer = pq.ParquetWriter(out, SCHEMA)

    def hive(self, reading: hives.Reading, hive: kelpa.Hive) -> None:
        for batch in rows_of(reading, hive).to_batches(ROWS_PER_GROUP):
            self.writer.write_batch(batch)

    def part(self, part: str) -> None:
        self.writer.write_table(pq.read_table(part))
        os.unlink(part)

    def close(self) -> None:
        self.writer.close()
