"""JSON lines: one object per key, in walk order, with its values, built from the hive's keys and
values tables (Hive.table) a batch at a time."""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterator
from typing import IO

import kelpa

from . import export, hives, outputs

TYPE_NAMES = ("REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
              "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
              "REG_QWORD")
REG_MULTI_SZ, REG_QWORD = 7, 11


def type_name(type_id: int) -> str:
    return TYPE_NAMES[type_id] if type_id < len(TYPE_NAMES) else f"REG_UNKNOWN_0x{type_id:08x}"


def typed(row: dict) -> str | int | list[str]:
    """Strings as text, multi-strings as a list of text, DWORDs and QWORDs of exactly their width as
    numbers; everything else, and data that does not read as its type, as hex."""
    if not row["data"]:
        return ""  # no data, of any type
    if row["text"] is not None:
        if row["type_id"] == REG_MULTI_SZ:
            return row["text"].split("\0") if row["text"] else []
        return row["text"]
    if row["number"] is not None and len(row["data"]) == (8 if row["type_id"] == REG_QWORD else 4):
        return row["number"]
    return row["data"].hex()


def rows(reading: hives.Reading, table: object) -> Iterator[dict]:
    """The rows of a table, a batch at a time; a strict hive's error ends it, the rows before it kept."""
    import pyarrow as pa

    try:
        for batch in pa.RecordBatchReader.from_stream(table):
            yield from batch.to_pylist()
    except OSError as e:
        reading.problem(ValueError(str(e).removeprefix("IOError: ")))


class Sink:
    def __init__(self, out: IO[bytes], args: argparse.Namespace, header: bool = True) -> None:
        self.raw, self.out = out, outputs.text(out)

    def hive(self, reading: hives.Reading, hive: kelpa.Hive) -> None:
        listed = rows(reading, hive.table("values"))
        pending = next(listed, None)
        for key in rows(reading, hive.table("keys")):
            # A key's values follow one another, in the order of the walk that lists its keys.
            values = []
            while pending is not None and pending["key_id"] == key["key_id"] and len(values) < key["value_count"]:
                values.append({"name": pending["name"], "type": type_name(pending["type_id"]), "data": typed(pending)})
                pending = next(listed, None)
            written = key["last_written"]
            record = {"hive": reading.path, "path": key["path"],
                      "last_written": None if written is None else written.isoformat(timespec="microseconds"),
                      "class_name": key["class_name"], "values": values}
            self.out.write(json.dumps(record, ensure_ascii=False) + "\n")

    def part(self, part: str) -> None:
        self.out.flush()
        export.copy_part(part, self.raw)

    def close(self) -> None:
        self.out.detach()
