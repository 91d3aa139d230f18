"""JSON lines: one object per key, in walk order, with its values, built from the hive's keys and
values tables (Hive.table) a batch at a time."""

from __future__ import annotations

import argparse
import json
import os
from collections.abc import Iterator
from typing import IO

import kelpa
from kelpa_tools import strings

from . import export, hives, outputs, values

def typed(row: dict) -> str | int | list[str]:
    """Strings as text, multi-strings as a list of text, DWORDs and QWORDs of exactly their width as
    numbers; everything else, and data that does not read as its type, as hex."""
    if not row["data"]:
        return ""  # no data, of any type
    if row["text"] is not None:
        if row["type_id"] == values.REG_MULTI_SZ:
            return row["text"].split("\0") if row["text"] else []
        return strings.shown(row["text"])
    if row["number"] is not None and len(row["data"]) == (8 if row["type_id"] == values.REG_QWORD else 4):
        return row["number"]
    return row["data"].hex()


def value_of(row: dict) -> dict:
    """A value's object: name, type and data; and, for a string with data after its terminating NUL
    (which the text leaves out, as Windows shows it), those bytes in hex as data_after_nul."""
    value = {"name": row["name"], "type": values.type_name(row["type_id"]), "data": typed(row)}
    if row["text"] is not None and row["type_id"] != values.REG_MULTI_SZ and (rest := strings.after_terminator(row["data"])):
        value["data_after_nul"] = rest.hex()
    return value


def bytes_of(path: str) -> dict[str, str]:
    """{"hive_bytes": the name's bytes in hex} for a file name that is not UTF-8 (whose "hive"
    shows each such byte as U+FFFD), else nothing."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return {"hive_bytes": os.fsencode(path).hex()}
    return {}


def rows(reading: hives.Reading, table: object) -> Iterator[dict]:
    for batch in export.table_batches(reading, table):
        yield from batch.to_pylist()


class Sink:
    def __init__(self, out: IO[bytes], args: argparse.Namespace, header: bool = True) -> None:
        self.raw, self.out = out, outputs.text(out)

    def hive(self, reading: hives.Reading, hive: kelpa.Hive) -> None:
        name_bytes = bytes_of(reading.path)
        listed = rows(reading, hive.table("values"))
        pending = next(listed, None)
        for key in rows(reading, hive.table("keys")):
            # A key's values follow one another, in the order of the walk that lists its keys.
            of_key = []
            while pending is not None and pending["key_id"] == key["key_id"] and len(of_key) < key["value_count"]:
                of_key.append(value_of(pending))
                pending = next(listed, None)
            written = key["last_written"]
            record = {"hive": reading.path, **name_bytes, "path": key["path"],
                      "last_written": None if written is None else written.isoformat(timespec="microseconds"),
                      "class_name": key["class_name"], "values": of_key}
            self.out.write(json.dumps(record, ensure_ascii=False) + "\n")

    def part(self, part: str) -> None:
        self.out.flush()
        export.copy_part(part, self.raw)

    def close(self) -> None:
        self.out.detach()
