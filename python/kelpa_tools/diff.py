"""What changed between two hives: keys added, removed and written again, values added, removed
and changed.

Keys are matched by their path from the root key (the root keys match whatever their names), and
values by their name within the key, both without regard to letter case as Windows compares
names: character by character after the simple uppercase mapping (``str.upper()`` of each
character that stays one character; "ß" stays "ß", so "STRASSE" is not "straße"). The unnamed
value is matched by ``is_unnamed()``, not by the "(default)" that ``name()`` calls it, so a value
really named "(default)" is a value of its own. Where a damaged hive lists two keys of one path
(or a key two values of one name), the first is compared, as ``open_key`` would find it.

A key in both hives is "changed" when its last-write time (the exact FILETIME) differs; a value
in both is "changed" when its type or its raw data differs. The values of an added or removed
key are added or removed with it, and each key below it is listed on its own.
"""

from __future__ import annotations

import datetime
from collections.abc import Callable
from dataclasses import dataclass, field

import kelpa

OnError = Callable[[ValueError], object]


def fold(name: str) -> str:
    """The name as Windows compares it: each character's simple uppercase."""
    if name.isascii():
        return name.upper()
    return "".join(up if len(up := c.upper()) == 1 else c for c in name)


@dataclass(frozen=True, slots=True)
class Change:
    """One difference. ``change`` "added", "removed" or "changed"; ``kind`` "key" or "value";
    ``key_path`` as the newer hive names the key (the older one for a removed key);
    ``value_name`` None for a key, "" for the unnamed value. For a value, ``old_type`` /
    ``new_type`` are type names and ``old_data`` / ``new_data`` the raw bytes (None on the side
    without it), and ``old_value`` / ``new_value`` the values themselves for reading the data by
    its type; for a key, ``old_last_written`` / ``new_last_written`` (None on the side without
    it, or when the key has none or one past the year 9999)."""

    change: str
    kind: str
    key_path: str
    value_name: str | None = None
    old_type: str | None = None
    new_type: str | None = None
    old_data: bytes | None = None
    new_data: bytes | None = None
    old_last_written: datetime.datetime | None = None
    new_last_written: datetime.datetime | None = None
    old_value: kelpa.RegistryValue | None = field(default=None, compare=False, repr=False)
    new_value: kelpa.RegistryValue | None = field(default=None, compare=False, repr=False)


@dataclass(slots=True)
class KeyState:
    """One key as compared: its path, exact last-write FILETIME and time, and its values by
    folded name ("" for the unnamed one)."""

    path: str
    filetime: int
    last_written: datetime.datetime | None
    values: dict[str, kelpa.RegistryValue]


def _raise(error: ValueError) -> None:
    raise error


def snapshot(hive: kelpa.Hive, onerror: OnError | None = None) -> dict[str, KeyState]:
    """Every key of the hive by folded path (``path()``, as the other listings name keys), with
    its values read, in walk order. A subtree, path, value list or last-write time that cannot
    be read is a ValueError: without ``onerror`` it ends the reading; with it, onerror gets it
    and the reading goes on without that subtree or key (or with no values, or no time)."""
    report = onerror or _raise
    keys: dict[str, KeyState] = {}
    for key in hive.root_key().walk(onerror=onerror):
        try:
            path = key.path()
        except ValueError as e:
            report(e)
            continue
        if (folded := fold(path)) in keys:
            continue
        try:
            listed = key.values()
        except ValueError as e:
            report(e)
            listed = []
        values: dict[str, kelpa.RegistryValue] = {}
        for value in listed:
            values.setdefault("" if value.is_unnamed() else fold(value.name()), value)
        try:
            written = key.last_written()
        except ValueError as e:
            report(e)
            written = None
        keys[folded] = KeyState(path, key.last_written_filetime(), written, values)
    return keys


def _value_change(change: str, path: str, old: kelpa.RegistryValue | None,
                  new: kelpa.RegistryValue | None) -> Change:
    either = new if new is not None else old
    assert either is not None
    return Change(change, "value", path, "" if either.is_unnamed() else either.name(),
                  None if old is None else old.value_type().type_name(),
                  None if new is None else new.value_type().type_name(),
                  None if old is None else old.raw_data(), None if new is None else new.raw_data(),
                  old_value=old, new_value=new)


def compare(old: dict[str, KeyState], new: dict[str, KeyState]) -> list[Change]:
    """The changes from one snapshot to another, sorted by key path (component by component,
    folded), a key's own change before its values' and these by folded name."""
    changes: list[tuple[tuple[tuple[str, ...], str], Change]] = []

    def note(folded_path: str, folded_name: str | None, change: Change) -> None:
        order = (tuple(folded_path.split("\\")) if folded_path else (), "" if folded_name is None else "\\" + folded_name)
        changes.append((order, change))

    for folded, before in old.items():
        if folded not in new:
            note(folded, None, Change("removed", "key", before.path, old_last_written=before.last_written))
            for name, value in before.values.items():
                note(folded, name, _value_change("removed", before.path, value, None))
    for folded, after in new.items():
        before = old.get(folded)
        if before is None:
            note(folded, None, Change("added", "key", after.path, new_last_written=after.last_written))
            for name, value in after.values.items():
                note(folded, name, _value_change("added", after.path, None, value))
            continue
        if before.filetime != after.filetime:
            note(folded, None, Change("changed", "key", after.path, old_last_written=before.last_written,
                                      new_last_written=after.last_written))
        for name, value in before.values.items():
            if name not in after.values:
                note(folded, name, _value_change("removed", after.path, value, None))
        for name, value in after.values.items():
            was = before.values.get(name)
            if was is None:
                note(folded, name, _value_change("added", after.path, None, value))
            elif was.value_type() != value.value_type() or was.raw_data() != value.raw_data():
                note(folded, name, _value_change("changed", after.path, was, value))
    changes.sort(key=lambda pair: pair[0])
    return [change for _, change in changes]


def diff(old: kelpa.Hive, new: kelpa.Hive, *, onerror: OnError | None = None) -> list[Change]:
    """The changes from the hive ``old`` to the hive ``new`` (see the module's text); empty when
    they hold the same keys, last-write times and values. ``onerror`` as for ``snapshot``."""
    return compare(snapshot(old, onerror), snapshot(new, onerror))
