"""Batch rule files, as investigators write them: a YAML file of key-path rules, each naming a hive
type, a key (exact, with * wildcards, or the root), optionally one value, and how to show binary
data. load_batch reads and checks a file whole; apply gives the rows of one hive, in rule order."""

from __future__ import annotations

import dataclasses
import os
import re
from collections.abc import Iterator
from typing import Any, NamedTuple

import yaml

import kelpa

from . import binary_convert, hive_types, strings
from .evidence import key_path_in

# The CSV header of the rows, as the batch tool's own output has it, so that the same viewers load it.
COLUMNS = ("HivePath", "HiveType", "Description", "Category", "KeyPath", "ValueName", "ValueType", "ValueData",
           "ValueData2", "ValueData3", "Comment", "Recursive", "Deleted", "LastWriteTimestamp", "PluginDetailFile")

_FILE_FIELDS = {"Description": str, "Author": str, "Version": str, "Id": str, "Keys": list}
_RULE_REQUIRED = ("Description", "HiveType", "Category", "KeyPath")
_RULE_OPTIONAL = {"ValueName": str, "Recursive": bool, "IncludeBinary": bool, "BinaryConvert": str, "Comment": str,
                  "DisablePlugin": bool}
BINARY = "(Binary data)"
_STRING_TYPES = {"REG_SZ", "REG_EXPAND_SZ"}


class RuleFileError(ValueError):
    """A batch file that is refused whole; the message is one line naming the file, the rule (its
    position from 1 and its Description) and the problem."""


@dataclasses.dataclass(frozen=True)
class Rule:
    position: int  # from 1, in file order
    description: str
    hive_type: str  # one of hive_types.HIVE_TYPES
    category: str
    key_path: str
    value_name: str | None = None
    recursive: bool = False
    include_binary: bool = False
    binary_convert: str | None = None  # a key of binary_convert.CONVERSIONS
    comment: str = ""
    disable_plugin: bool = False  # read and kept; it changes nothing here


@dataclasses.dataclass(frozen=True)
class Batch:
    description: str
    author: str
    version: str
    id: str
    rules: tuple[Rule, ...]


def _scalar(value: Any, kind: type, where: str, field: str) -> Any:
    """A field's value as `kind`: YAML gives numbers for texts like 1 or 2.21, which are kept as
    written; a flag must be true or false."""
    if kind is bool:
        if not isinstance(value, bool):
            raise RuleFileError(f"{where}: {field} must be true or false, not {value!r}")
        return value
    if kind is str:
        if value is None or isinstance(value, (list, dict)):
            raise RuleFileError(f"{where}: {field} must be text, not {value!r}")
        return str(value)
    return value


_FAST_LOADER = getattr(yaml, "CSafeLoader", None)


def _load_yaml(text: str) -> Any:
    """The YAML document in `text`, read by libyaml where PyYAML has it: a large rule file parses
    ten times faster. libyaml takes some tabs that PyYAML's own parser refuses, so text holding a
    tab, and text libyaml refuses, is read by PyYAML's parser: what is accepted, and the message of
    what is not, do not depend on how PyYAML was built."""
    if _FAST_LOADER is not None and "\t" not in text:
        try:
            return yaml.load(text, Loader=_FAST_LOADER)
        except (yaml.YAMLError, UnicodeError):
            pass
    return yaml.safe_load(text)


def parse_batch(text: str, name: str = "<batch>") -> Batch:
    """A batch file's text, checked whole: RuleFileError for text that is not YAML, a missing or
    unknown field (of the file or of a rule), a field of the wrong kind, no rules, an unknown hive
    type or an unknown conversion."""
    try:
        document = _load_yaml(text)
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        where = f" at line {mark.line + 1}" if mark is not None else ""
        raise RuleFileError(f"{name}: not a YAML batch file{where}: {getattr(e, 'problem', None) or e}") from None
    if not isinstance(document, dict):
        raise RuleFileError(f"{name}: not a batch file: expected the fields {', '.join(_FILE_FIELDS)}")
    for field in document:
        if field not in _FILE_FIELDS:
            raise RuleFileError(f"{name}: unknown field {field!r}")
    for field in _FILE_FIELDS:
        if field not in document:
            raise RuleFileError(f"{name}: missing field {field!r}")
    head = {f: _scalar(document[f], kind, name, f) for f, kind in _FILE_FIELDS.items() if kind is str}
    keys = document["Keys"]
    if not isinstance(keys, list) or not keys:
        raise RuleFileError(f"{name}: Keys must list at least one rule")
    return Batch(head["Description"], head["Author"], head["Version"], head["Id"],
                 tuple(_rule(entry, position, name) for position, entry in enumerate(keys, 1)))


def _rule(entry: Any, position: int, name: str) -> Rule:
    described = entry.get("Description") if isinstance(entry, dict) else None
    where = f"{name}: rule {position}" + (f" ({described!r})" if described is not None else "")
    if not isinstance(entry, dict):
        raise RuleFileError(f"{where}: not a rule: expected the fields {', '.join(_RULE_REQUIRED)}")
    for field in entry:
        if field not in _RULE_REQUIRED and field not in _RULE_OPTIONAL:
            raise RuleFileError(f"{where}: unknown field {field!r}")
    for field in _RULE_REQUIRED:
        if field not in entry:
            raise RuleFileError(f"{where}: missing field {field!r}")
    fields = {f: _scalar(entry[f], str, where, f) for f in _RULE_REQUIRED}
    fields |= {f: _scalar(entry[f], kind, where, f) for f, kind in _RULE_OPTIONAL.items()
               if f in entry and entry[f] is not None}
    hive_type = hive_types.canonical(fields["HiveType"])
    if hive_type is None:
        raise RuleFileError(f"{where}: unknown hive type {fields['HiveType']!r}")
    convert = fields.get("BinaryConvert")
    if convert is not None and binary_convert.canonical(convert) is None:
        raise RuleFileError(f"{where}: unknown conversion {convert!r}")
    return Rule(position, fields["Description"], hive_type, fields["Category"], fields["KeyPath"],
                fields.get("ValueName"), fields.get("Recursive", False), fields.get("IncludeBinary", False),
                binary_convert.canonical(convert) if convert is not None else None, fields.get("Comment", ""),
                fields.get("DisablePlugin", False))


def load_batch(path: str | os.PathLike[str]) -> Batch:
    """The batch file at `path` (UTF-8, a byte order mark allowed); OSError when it cannot be read."""
    with open(path, encoding="utf-8-sig") as f:
        text = f.read()
    return parse_batch(text, os.path.basename(os.fsdecode(path)))


# --- applying rules --------------------------------------------------------------------------


class Row(NamedTuple):
    """One row of a batch's output: the rule, the key, and one of its values (or none)."""
    rule: Rule
    hive_path: str
    hive_type: str
    key_path: str
    value_name: str = ""
    value_type: str = ""
    value_data: str = ""
    value_data2: str = ""
    value_data3: str = ""
    deleted: bool = False
    last_written: str = ""
    plugin_detail_file: str = ""  # the file a decoder of the rule's key wrote its rows to

    def fields(self) -> tuple[str, ...]:
        """The row under COLUMNS."""
        return (self.hive_path, self.hive_type, self.rule.description, self.rule.category, self.key_path,
                self.value_name, self.value_type, self.value_data, self.value_data2, self.value_data3,
                self.rule.comment, str(self.rule.recursive), str(self.deleted), self.last_written,
                self.plugin_detail_file)


def _pattern(component: str) -> re.Pattern[str]:
    """A key path component with * for one or more characters of a name, without regard to case."""
    return re.compile(".+".join(map(re.escape, component.split("*"))), re.IGNORECASE | re.DOTALL)


def matching_keys(hive: kelpa.Hive, key_path: str) -> Iterator[kelpa.RegistryKey]:
    """The keys a rule's KeyPath names: * alone is the root key; a path with * in a component is
    followed level by level, each such component matched against the names of the subkeys there
    (the others looked up as open_key does); any other path is looked up as open_key does. Keys
    come in subkey order; a path that leads nowhere gives none."""
    path = key_path_in(hive, key_path.strip())
    if path == "*":
        yield hive.root_key()
        return
    if "*" not in path:
        try:
            yield hive.open_key(path)
        except ValueError:
            pass
        return
    level = [hive.root_key()]
    for component in filter(None, path.split("\\")):
        if "*" in component:
            pattern = _pattern(component)
            level = [sub for key in level for sub in key.subkeys() if pattern.fullmatch(sub.name())]
        else:
            found = []
            for key in level:
                try:
                    found.append(key.open_key(component))
                except ValueError:
                    pass
            level = found
    yield from level


def _matches_path(rule: Rule, hive: kelpa.Hive, path: str) -> bool:
    """Whether a key at `path` (a deleted key's, as far as its parents hold) falls under the rule."""
    wanted = key_path_in(hive, rule.key_path.strip())
    if wanted == "*":
        return path == "" or rule.recursive
    components = [c for c in wanted.split("\\") if c]
    parts = path.split("\\") if path else []
    if len(parts) < len(components) or (len(parts) > len(components) and not rule.recursive):
        return False
    return all(_pattern(c).fullmatch(p) for c, p in zip(components, parts))


def _control_set(component: str) -> str:
    """CurrentControlSet and ControlSetNNN as one name, so that either matches the other."""
    lowered = component.lower()
    if lowered == "currentcontrolset" or (lowered.startswith("controlset") and lowered[10:].isdigit()):
        return "currentcontrolset"
    return component


def covers(rule: Rule, key_pattern: str) -> bool:
    """Whether the keys a rule names meet the keys `key_pattern` names (a path with * for any one
    component, CurrentControlSet for any control set, as decoders declare the keys they read): the
    same depth, each component equal (without regard to case) or matched by a * of either side; or,
    for a recursive rule, the rule's path leading to the pattern's. A pattern's * stands for any
    name a rule's path without wildcards gives, but not for a name beside a rule's own wildcards
    (Software\\Microsoft\\*\\*\\Recent is not a key of Terminal Server Client\\Servers\\*).
    The root rule (*) covers every key when recursive."""
    wanted = rule.key_path.strip().strip("\\")
    if wanted == "*":
        return rule.recursive
    ours = [_control_set(c) for c in wanted.split("\\") if c]
    theirs = [_control_set(c) for c in key_pattern.split("\\") if c]
    if len(ours) > len(theirs) or (len(ours) < len(theirs) and not rule.recursive):
        return False
    literal = "*" not in wanted
    return all(o.lower() == t.lower() or (t == "*" and (literal or "*" in o)) or ("*" in o and _pattern(o).fullmatch(t))
               for o, t in zip(ours, theirs))


def _hex(raw: bytes) -> str:
    return raw.hex("-").upper()


def value_text(rule: Rule, value: kelpa.RegistryValue) -> tuple[str, str, str]:
    """ValueData, ValueData2 and ValueData3 of a value:
    - strings (REG_SZ, REG_EXPAND_SZ, REG_LINK): the text up to the first NUL, as Windows shows it,
      with "N bytes after the terminating NUL" in ValueData3 when data follows it; multi-strings:
      the strings joined by ", ";
    - DWORD, big-endian DWORD and QWORD: the number in decimal;
    - everything else (binary, REG_NONE, the resource lists, unknown types): "(Binary data)";
    - with IncludeBinary, binary data as hex bytes (0A-11-AB-09), or, with BinaryConvert, the
      conversion of the raw bytes from offset 0, which applies to the numbers too; ValueData2 then
      holds the data as it would show without the conversion;
    - data that does not read as its type, or does not convert, shows as hex bytes, with the reason
      in ValueData3."""
    kind, raw = value.value_type().type_name(), value.raw_data()
    try:
        data = value.data()
    except ValueError as e:
        return _hex(raw), "", str(e)
    if data.is_multi_string():
        return ", ".join(data.as_multi_string()), "", ""
    if kind == "REG_LINK":
        try:
            return strings.shown(raw.decode("utf-16-le")), "", strings.after_terminator_note(raw)
        except UnicodeDecodeError as e:
            return _hex(raw), "", f"not UTF-16 text: {e.reason}"
    if kind in _STRING_TYPES:
        if not data.is_string():
            return "", "", ""  # no data: the empty text
        return strings.shown(data.as_string()), "", strings.after_terminator_note(raw)
    shown = str(data.as_dword()) if data.is_dword() else str(data.as_qword()) if data.is_qword() else None
    if shown is None:
        if not rule.include_binary:
            return BINARY, "", ""
        shown = _hex(raw)
    if not rule.include_binary or rule.binary_convert is None:
        return shown, "", ""
    try:
        return binary_convert.convert(rule.binary_convert, raw), shown, ""
    except binary_convert.ConversionError as e:
        return shown, "", str(e)


def _last_written(key: kelpa.RegistryKey) -> str:
    filetime = key.last_written_filetime()
    if filetime == 0:
        return ""
    try:
        return binary_convert.filetime_text(filetime)
    except binary_convert.ConversionError:
        return ""


def _rows_of_key(rule: Rule, key: kelpa.RegistryKey, path: str, hive_path: str, hive_type: str,
                 deleted: bool) -> Iterator[Row]:
    listed = key.values()
    if rule.value_name is not None:
        wanted = rule.value_name.casefold()
        listed = [v for v in listed if v.name().casefold() == wanted][:1]
        if not listed:
            return
    written = _last_written(key)
    if not listed:
        yield Row(rule, hive_path, hive_type, path, "", "", "", "", "", deleted, written)
        return
    for value in listed:
        data, data2, data3 = value_text(rule, value)
        yield Row(rule, hive_path, hive_type, path, "" if value.is_unnamed() else value.name(),
                  value.value_type().type_name(), data, data2, data3, deleted, written)


def _path(key: kelpa.RegistryKey) -> str | None:
    try:
        return key.path()
    except ValueError:
        return None


def apply(batch: Batch, hive: kelpa.Hive, hive_path: str, hive_type: str | None = None, *,
          deleted: bool = False) -> Iterator[Row]:
    """The rows of `hive` for the rules of its type (found from its keys unless given), rule after
    rule: the keys each rule names, with every key below them for a recursive rule, in walk order.
    With `deleted`, then the deleted keys each rule names (by their path as far as their parents
    hold, or their name alone), marked Deleted."""
    kind = hive_type or hive_types.hive_type(hive, hive_path)
    found_deleted = None
    for rule in batch.rules:
        if rule.hive_type != kind:
            continue
        for key in matching_keys(hive, rule.key_path):
            subtree = key.walk() if rule.recursive else [key]
            for sub in subtree:
                path = _path(sub)
                if path is not None:
                    yield from _rows_of_key(rule, sub, path, hive_path, kind, False)
        if deleted:
            if found_deleted is None:
                found_deleted = [(k, _path(k) or k.name()) for k in hive.deleted_keys()]
            for key, path in found_deleted:
                if _matches_path(rule, hive, path):
                    yield from _rows_of_key(rule, key, path, hive_path, kind, True)
