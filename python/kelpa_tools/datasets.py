"""Fleets of hives as one Dask DataFrame: a partition per hive, each opened and read by the worker
that computes it, on whatever scheduler is active (the threads of one process, or a distributed
cluster of many machines). Needs the dask extra: pip install 'kelpa[dask]'."""

from __future__ import annotations

import os
from collections.abc import Sequence

import pyarrow as pa

from .evidence import open_hive

KINDS = ("keys", "values")


def hive_table(path: str, kind: str, logs: str = "auto", strict: bool = False) -> pa.Table:
    """One hive's keys or values (Hive.table) with a first column `hive`: the path as given."""
    table = pa.table(open_hive(path, logs=logs, strict=strict).table(kind))
    return table.add_column(0, "hive", pa.array([os.fsdecode(path)] * table.num_rows, pa.large_string()))


def _partition(path: str, kind: str, logs: str, strict: bool):
    import pandas as pd

    return hive_table(path, kind, logs, strict).to_pandas(types_mapper=pd.ArrowDtype)


def read_hives(paths: Sequence[str | os.PathLike[str]], kind: str, *, logs: str = "auto", strict: bool = False):
    """A Dask DataFrame of the `kind` table ("keys" or "values") of every hive in `paths`, one
    partition per hive, in order, built with dask.dataframe.from_map: nothing is read until it is
    computed, and then each hive by the worker that computes its partition. The columns are those
    of Hive.table, after `hive`, as pandas' Arrow-backed types (nulls kept)."""
    import dask.dataframe as dd
    import pandas as pd

    if kind not in KINDS:
        raise ValueError(f"kind must be 'keys' or 'values', not {kind!r}")
    paths = [os.fsdecode(p) for p in paths]
    if not paths:
        raise ValueError("no hives to read")
    # The columns without reading a hive: the schema of an empty table of this kind.
    import kelpa

    schema = pa.schema(kelpa.Hive.from_bytes(_EMPTY_HIVE).table(kind))
    schema = schema.insert(0, pa.field("hive", pa.large_string()))
    meta = schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    return dd.from_map(_partition, paths, kind=kind, logs=logs, strict=strict, meta=meta,
                       divisions=[None] * (len(paths) + 1), label=f"kelpa-{kind}", enforce_metadata=False)


def _empty_hive() -> bytes:
    """The smallest hive: a base block and one bin holding a root key without subkeys or values."""
    import struct

    bins = bytearray(4096)
    struct.pack_into("<4sIIQQI", bins, 0, b"hbin", 0, 4096, 0, 0, 0)
    key = struct.pack("<2sHQ15IHH", b"nk", 0x2C, 0, 0, 0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0xFFFFFFFF,
                      0xFFFFFFFF, 0, 0, 0, 0, 0, 4, 0) + b"ROOT"
    struct.pack_into("<i", bins, 32, -88)
    bins[36:36 + len(key)] = key
    struct.pack_into("<i", bins, 120, 4096 - 120)
    block = bytearray(4096)
    struct.pack_into("<4sIIQIIIIII", block, 0, b"regf", 1, 1, 0, 1, 5, 0, 1, 32, 4096)
    struct.pack_into("<I", block, 44, 1)
    checksum = 0
    for (word,) in struct.iter_unpack("<I", bytes(block[:508])):
        checksum ^= word
    struct.pack_into("<I", block, 508, checksum)
    return bytes(block + bins)


_EMPTY_HIVE = _empty_hive()
