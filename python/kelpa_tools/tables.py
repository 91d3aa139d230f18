"""Hive.table in the large layout. A table's string and binary columns come as Arrow's string and
binary views unless the reader asks for another layout; pyarrow's compute functions (take, index_in,
most string kernels) and pandas' Arrow-backed types want large strings and large binary, which the
table gives when asked through the requested schema: no cast, no copy of a batch."""

from __future__ import annotations

import pyarrow as pa

_LARGE = {pa.string_view(): pa.large_string(), pa.binary_view(): pa.large_binary()}


def large_schema(table: object) -> pa.Schema:
    """The schema of a Hive.table with its view columns as large strings and large binary."""
    schema = pa.schema(table)
    return pa.schema([field.with_type(_LARGE.get(field.type, field.type)) for field in schema])


def large_batches(table: object) -> pa.RecordBatchReader:
    """The table's batches, read as they come, in the large layout."""
    return pa.RecordBatchReader.from_stream(table, schema=large_schema(table))


def read_large(table: object) -> pa.Table:
    """The whole table in the large layout."""
    return large_batches(table).read_all()
