"""What a decoder is: a declaration (its name, the hive types it reads, the keys it reads, its
fields with their types, the times that are events) and one function from a `Context` to rows.
The registry in this module lists every decoder once; `decode`, the command, the timeline and
batch all go through it."""

from __future__ import annotations

import codecs
import dataclasses
import re
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, NamedTuple

import kelpa

# The types a field can have, and what a row holds for each (None is always allowed):
# text: str; int: int; bool: bool; time: aware UTC datetime; local_time: naive datetime, as the
# hive stores it; bytes: bytes; texts: list of str; float: float.
FIELD_TYPES = ("text", "int", "bool", "time", "local_time", "bytes", "texts", "float")

# Every row also carries the key it was read from.
ROW_FIELDS = (("key_path", "text"), ("key_last_written", "time"))

_CONTROL_SET = re.compile(r"ControlSet\d{3}", re.IGNORECASE)


class Field(NamedTuple):
    name: str
    type: str  # one of FIELD_TYPES


class ArtifactProblem(NamedTuple):
    """What a decoder could not read: the artifact, the key path where it met it, and why."""
    artifact: str
    key_path: str
    message: str


@dataclasses.dataclass(frozen=True)
class Decoder:
    name: str
    hive_types: tuple[str, ...]
    description: str
    keys: tuple[str, ...]  # the key paths it reads; CurrentControlSet stands for every control set
    fields: tuple[Field, ...]
    run: Callable[[Context], Iterable[dict[str, Any]]]
    # Time fields that are events for the timeline, each with what happened ("program run"), and
    # the field whose text says what the event is about.
    events: Mapping[str, str] = dataclasses.field(default_factory=dict)
    summary: str | None = None

    @property
    def columns(self) -> tuple[Field, ...]:
        """The fields of a row in order: the decoder's own, then the key's."""
        return self.fields + tuple(Field(*f) for f in ROW_FIELDS)


_REGISTRY: dict[str, Decoder] = {}


def decoder(name: str, *, hive_types: tuple[str, ...], description: str, keys: tuple[str, ...],
            fields: Iterable[tuple[str, str]], events: Mapping[str, str] | None = None,
            summary: str | None = None) -> Callable[[Callable[[Context], Iterable[dict[str, Any]]]], Decoder]:
    """Declares and registers a decoder; the function it decorates gives the rows."""
    declared = tuple(Field(*f) for f in fields)
    for f in declared:
        if f.type not in FIELD_TYPES:
            raise TypeError(f"{name}: field {f.name} has unknown type {f.type!r}")
    names = {f.name for f in declared}
    for f in [*(events or {}), *([summary] if summary else [])]:
        if f not in names:
            raise TypeError(f"{name}: {f} is not a field")

    def register(run: Callable[[Context], Iterable[dict[str, Any]]]) -> Decoder:
        if name in _REGISTRY:
            raise TypeError(f"decoder {name} is declared twice")
        made = Decoder(name, hive_types, description, keys, declared, run, dict(events or {}), summary)
        _REGISTRY[name] = made
        return made

    return register


def registered() -> dict[str, Decoder]:
    return _REGISTRY


class Context:
    """What a decoder reads a hive through: keys and values that are None where absent or
    unreadable (an unreadable one is a problem, an absent one is not), the control sets, and
    `row`, which adds the key's path and last-write time to a row."""

    def __init__(self, hive: kelpa.Hive, artifact: str, problems: list[ArtifactProblem]) -> None:
        self.hive = hive
        self.artifact = artifact
        self._problems = problems
        self._root: kelpa.RegistryKey | None = None

    # --- problems ---------------------------------------------------------------------------
    def problem(self, where: kelpa.RegistryKey | str, message: str) -> None:
        path = where if isinstance(where, str) else self.path_of(where)
        self._problems.append(ArtifactProblem(self.artifact, path, message))

    @staticmethod
    def path_of(key: kelpa.RegistryKey) -> str:
        try:
            return key.path()
        except ValueError:
            return key.name()

    # --- keys -------------------------------------------------------------------------------
    def root(self) -> kelpa.RegistryKey | None:
        if self._root is None:
            try:
                self._root = self.hive.root_key()
            except ValueError as e:
                self.problem("", str(e))
                return None
        return self._root

    def key(self, path: str, under: kelpa.RegistryKey | None = None) -> kelpa.RegistryKey | None:
        """The key at `path` (from the root key, or below `under`); None when it is absent."""
        base = under if under is not None else self.root()
        if base is None:
            return None
        if not path:
            return base
        try:
            return base.open_key(path)
        except ValueError as e:
            if not str(e).startswith("Not found"):
                self.problem(f"{self.path_of(base)}\\{path}".lstrip("\\"), str(e))
            return None

    def subkeys(self, key: kelpa.RegistryKey | None) -> list[kelpa.RegistryKey]:
        return self._listing(key, kelpa.RegistryKey.subkeys)

    def values(self, key: kelpa.RegistryKey | None) -> list[kelpa.RegistryValue]:
        return self._listing(key, kelpa.RegistryKey.values)

    def _listing(self, key, list_of):
        """`list_of(key)`, or [] with the problem noted when the key's list cannot be read."""
        if key is None:
            return []
        try:
            return list_of(key)
        except ValueError as e:
            self.problem(key, str(e))
            return []

    def control_sets(self) -> list[kelpa.RegistryKey]:
        """Every ControlSetNNN key at the root, in file order (a SYSTEM hive's CurrentControlSet
        is one of them)."""
        return [k for k in self.subkeys(self.root()) if _CONTROL_SET.fullmatch(k.name())]

    def each_control_set(self, path: str) -> Iterator[tuple[str, kelpa.RegistryKey]]:
        """(control set name, key at `path` below it) for every control set that has the key."""
        for control_set in self.control_sets():
            if (key := self.key(path, control_set)) is not None:
                yield control_set.name(), key

    # --- values -----------------------------------------------------------------------------
    def value(self, key: kelpa.RegistryKey | None, name: str) -> kelpa.RegistryValue | None:
        """The value `name` ("" for the default value); None when absent or unreadable."""
        if key is None:
            return None
        try:
            return key.value(name or "(default)")
        except ValueError as e:
            if not str(e).startswith("Not found"):
                self.problem(key, str(e))
            return None

    def raw(self, key: kelpa.RegistryKey | None, name: str) -> bytes | None:
        """The raw data of the value `name`; None when absent."""
        value = self.value(key, name)
        return None if value is None else value.raw_data()

    def text(self, key: kelpa.RegistryKey | None, name: str) -> str | None:
        """A value's data as text, as Windows shows it: a string up to its first NUL (a
        multi-string's first string); a DWORD or QWORD in decimal; None when absent or neither."""
        value = self.value(key, name)
        return None if value is None else as_text(value.value_type().type_id(), value.raw_data())

    def number(self, key: kelpa.RegistryKey | None, name: str) -> int | None:
        """A value's data as a number: a DWORD or QWORD (the first 4 or 8 bytes, little-endian; a
        big-endian DWORD converted), or a string of decimal digits; None otherwise."""
        value = self.value(key, name)
        return None if value is None else as_number(value.value_type().type_id(), value.raw_data())

    def texts(self, key: kelpa.RegistryKey | None, name: str) -> list[str] | None:
        """A multi-string's strings (empty ones left out); a single string as a list of one."""
        value = self.value(key, name)
        return None if value is None else as_texts(value.value_type().type_id(), value.raw_data())

    def row(self, key: kelpa.RegistryKey, **fields: Any) -> dict[str, Any]:
        fields["key_path"] = self.path_of(key)
        try:
            fields["key_last_written"] = key.last_written()
        except ValueError:
            fields["key_last_written"] = None
        return fields


REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_LINK, REG_MULTI_SZ, REG_QWORD = 1, 2, 4, 5, 6, 7, 11


# The codec's own function: bytes.decode("utf-16-le") looks the codec up by name on every call,
# which costs several times the decoding of a short string.
_UTF16_LE = codecs.utf_16_le_decode


def utf16(raw: bytes) -> str:
    """UTF-16LE text up to its first NUL; a bad unit becomes U+FFFD, a last odd byte is dropped."""
    text = _UTF16_LE(raw[:-1] if len(raw) & 1 else raw, "replace", True)[0]
    return text.split("\0", 1)[0]


def as_text(type_id: int, raw: bytes) -> str | None:
    if type_id in (REG_SZ, REG_EXPAND_SZ, REG_LINK):
        return utf16(raw)
    if type_id == REG_MULTI_SZ:
        strings = as_texts(type_id, raw)
        return strings[0] if strings else ""
    number = as_number(type_id, raw)
    return None if number is None else str(number)


def as_number(type_id: int, raw: bytes) -> int | None:
    if type_id == REG_DWORD and len(raw) >= 4:
        return int.from_bytes(raw[:4], "little")
    if type_id == REG_DWORD_BIG_ENDIAN and len(raw) >= 4:
        return int.from_bytes(raw[:4], "big")
    if type_id == REG_QWORD and len(raw) >= 8:
        return int.from_bytes(raw[:8], "little")
    if type_id in (REG_SZ, REG_EXPAND_SZ):
        text = utf16(raw).strip()
        return int(text) if text.isascii() and text.isdigit() else None
    return None


def as_texts(type_id: int, raw: bytes) -> list[str] | None:
    if type_id == REG_MULTI_SZ:
        text = _UTF16_LE(raw[:-1] if len(raw) & 1 else raw, "replace", True)[0]
        return [s for s in text.split("\0") if s]
    if type_id in (REG_SZ, REG_EXPAND_SZ):
        return [utf16(raw)]
    return None
