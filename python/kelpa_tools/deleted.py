"""Deleted keys and values from both states of a dirty hive: the file as it lies and the image its
transaction logs recover. Replaying the logs writes their pages over the file's, so most records
left in the free space of the file as it lies are gone from the recovered image, and the logs
bring free space of their own; a reader of evidence wants both.

A record found in both states is one record when it lies at the same cell offset and reads the
same in both (a key: name, last-write FILETIME, flags, counts; a value: name, type and data);
otherwise each state's record is listed on its own.
"""

from __future__ import annotations

from dataclasses import dataclass

import kelpa

FILE, RECOVERED, BOTH = "file", "recovered", "both"


@dataclass(frozen=True, slots=True)
class DeletedKey:
    """A deleted key node: where it was found (``found``: "file", "recovered" or "both"), its cell
    offset, the key (read from the recovered image where it is there) and its path as far as its
    parents still hold (else its name)."""

    found: str
    cell_offset: int
    key: kelpa.RegistryKey
    path: str


@dataclass(frozen=True, slots=True)
class DeletedValue:
    """A deleted value key: where it was found, its cell offset, the value, and the path of the
    deleted key whose value list still lists it (None where the scan knows none)."""

    found: str
    cell_offset: int
    value: kelpa.RegistryValue
    key_path: str | None


def located(key: kelpa.RegistryKey) -> str:
    """A deleted key's path as far as its parents still hold; its name alone when they do not."""
    try:
        return key.path()
    except ValueError:
        return key.name()


def _key_content(key: kelpa.RegistryKey) -> tuple:
    return key.name(), key.last_written_filetime(), key.flags(), key.subkey_count(), key.value_count()


def _value_content(value: kelpa.RegistryValue) -> tuple:
    return value.name(), value.value_type().type_id(), value.raw_data()


def _keys_of(hive: kelpa.Hive) -> dict[tuple, kelpa.RegistryKey]:
    return {(key.cell_offset(), _key_content(key)): key for key in hive.deleted_keys()}


def _values_of(hive: kelpa.Hive, paths: dict[int, str]) -> dict[tuple, tuple[kelpa.RegistryValue, str | None]]:
    found = {}
    for value in hive.deleted_values():
        key = value.key_offset()
        found[(value.cell_offset(), _value_content(value))] = (value, None if key is None else paths.get(key))
    return found


def _paired(file: dict, recovered: dict) -> list[tuple[str, int, object, object]]:
    """(found, cell offset, the file's item, the recovered image's item) for every record, in cell
    offset order, the file's first at one offset."""
    rows = [(BOTH if ident in recovered else FILE, ident, item, recovered.get(ident)) for ident, item in file.items()]
    rows += [(RECOVERED, ident, None, item) for ident, item in recovered.items() if ident not in file]
    rows.sort(key=lambda row: (row[1][0], row[0] == RECOVERED))
    return [(found, ident[0], in_file, in_recovered) for found, ident, in_file, in_recovered in rows]


def deleted_records(as_lies: kelpa.Hive | None, recovered: kelpa.Hive | None = None) -> tuple[list[DeletedKey], list[DeletedValue]]:
    """The deleted keys and values of a hive in both its states: `as_lies` (opened without logs)
    and `recovered` (opened with its logs; None or the same object when no log applied, and then
    every record is "file"; `as_lies` None when only the recovered image can be read). Each
    record once, in cell offset order; a record found in both is read from the recovered image
    (its key path from the file where only the file knows it)."""
    states = (as_lies, None if recovered is as_lies else recovered)
    keys = [{} if hive is None else _keys_of(hive) for hive in states]
    paths = [{offset: located(key) for (offset, _), key in found.items()} for found in keys]
    values = [{} if hive is None else _values_of(hive, known) for hive, known in zip(states, paths)]
    deleted_keys = [DeletedKey(found, offset, key := (in_recovered or in_file), located(key))
                    for found, offset, in_file, in_recovered in _paired(*keys)]
    deleted_values = []
    for found, offset, in_file, in_recovered in _paired(*values):
        value, key_path = in_recovered or in_file
        if key_path is None and in_file is not None:
            key_path = in_file[1]
        deleted_values.append(DeletedValue(found, offset, value, key_path))
    return deleted_keys, deleted_values
