"""Searching one hive for keys, values and data by pattern.

What is matched against what:

- a key pattern against each key's name (the root key's too);
- a value pattern against each value's stored name: "" for the key's unnamed value (which
  ``RegistryValue.name()`` calls "(default)"), so ``^$`` finds unnamed values and "default"
  only values really named so;
- a data pattern against each value's data in every form it can be read as text, in this order,
  the first form that matches giving the hit:
  string types (REG_SZ, REG_EXPAND_SZ, REG_LINK, REG_MULTI_SZ): the data decoded as UTF-16LE,
  all of it (text after a terminating NUL too), trailing NULs dropped and every other NUL a line
  break (so multi-strings are one per line, as the command line shows them);
  everything else: a DWORD, big-endian DWORD or QWORD of its exact width as its decimal number,
  then the bytes decoded as UTF-16LE from an even and from an odd offset, then the ASCII text
  they hold (every byte that is not printable ASCII a line break, so each run of text is a line
  of its own), then the bytes as lowercase hex, where a match must start on a byte (an even
  position);
- a minimum size against the length of the raw data.

Patterns are regular expressions (Python's ``re``), or text as it is with ``literal``, matched
without regard to letter case (``re.IGNORECASE``) unless ``case_sensitive``. A pattern may match
anywhere in a name or form (``re.search``); ``^`` and ``$`` anchor it to the start and end of
one.

Data is read a batch of keys at a time. When every alternative of the data pattern holds a
text that each of its matches must hold (``required_texts``; with ``literal`` the whole text) of
at least PROBE_LENGTH printable ASCII characters, the bytes of the batch's values are searched
for these first, as ASCII, UTF-16LE, hex and numbers, and only the values holding one are read
as text; otherwise every value's forms are, which costs several times as much.
"""

from __future__ import annotations

import bisect
import datetime
import itertools
import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import kelpa

# Characters of an excerpt: up to this many around the match, or from the start of the data.
EXCERPT = 80
BATCH = 2048  # keys whose values are read and probed together
PROBE_LENGTH = 3  # a shorter text is found in too many values to be worth probing for

STRING_TYPES = frozenset({1, 2, 6, 7})  # REG_SZ, REG_EXPAND_SZ, REG_LINK, REG_MULTI_SZ
NUMBER_TYPES = {4: (4, "little"), 5: (4, "big"), 11: (8, "little")}  # type id: width, byte order

# Characters that re.IGNORECASE also matches to an ASCII letter (beside its other case).
OTHER_CASES = {"i": "\u0130\u0131", "k": "\u212a", "s": "\u017f"}

# Bytes as the ASCII text they hold: each byte that is not printable ASCII a line break.
_ASCII_TEXT = bytes(c if 0x20 <= c <= 0x7E else 0x0A for c in range(256))

OnError = Callable[[ValueError], object]
Where = tuple[str, datetime.datetime | None]
Hits = tuple[str, str, list[tuple[str, str]]]  # value name, type name, (matched, excerpt) each


@dataclass(frozen=True, slots=True)
class Match:
    """One hit. ``value_name`` is None for a key's own name, "" for the key's unnamed value;
    ``value_type`` the value's type name (None for a key); ``matched`` "key", "value", "data" or
    "size". ``excerpt``: for a data hit, up to EXCERPT characters of the form that matched,
    holding the match with as much before it as after it (from its start when it is longer);
    for a value or size hit, the start of the data as text (strings), a number, or hex; "" for a
    key. Nothing marks where an excerpt was cut, and control characters stay as they are.
    ``last_written`` is the key's (for a value, its key's); None when the key has none, for a
    deleted value, or past the year 9999. ``deleted``: found in the hive's free space; a deleted
    value's ``key_path`` is "" (its key is not known)."""

    key_path: str
    value_name: str | None
    value_type: str | None
    matched: str
    excerpt: str
    last_written: datetime.datetime | None
    deleted: bool = False


def _raise(error: ValueError) -> None:
    raise error


def _compile(what: str, text: str | None, literal: bool, flags: int) -> re.Pattern[str] | None:
    if text is None:
        return None
    try:
        return re.compile(re.escape(text) if literal else text, flags)
    except re.error as e:
        raise ValueError(f"{what} pattern {text!r} is not a regular expression: {e}") from None


def _string(raw: bytes) -> str:
    text = raw.decode("utf-16-le", "replace").rstrip("\0")
    return text.replace("\0", "\n") if "\0" in text else text


def _number(type_id: int, raw: bytes) -> str | None:
    width_order = NUMBER_TYPES.get(type_id)
    if width_order is None or len(raw) != width_order[0]:
        return None
    return str(int.from_bytes(raw, width_order[1]))  # type: ignore[arg-type]


def shown(type_id: int, raw: bytes) -> str:
    """The data as the excerpt of a value or size hit starts it: text for the string types, a
    number of its exact width in decimal, anything else as lowercase hex."""
    if type_id in STRING_TYPES:
        return _string(raw)
    number = _number(type_id, raw)
    return raw.hex() if number is None else number


def _forms(type_id: int, raw: bytes) -> Iterator[tuple[str, int]]:
    """Each text form of data of a type other than the string types, in the order searched,
    with the step a match must start on."""
    if (number := _number(type_id, raw)) is not None:
        yield number, 1
    if len(raw) > 1:
        yield raw.decode("utf-16-le", "replace"), 1
        yield raw[1:].decode("utf-16-le", "replace"), 1
    yield raw.translate(_ASCII_TEXT).decode("ascii"), 1
    yield raw.hex(), 2


def _search(pattern: re.Pattern[str], text: str, step: int) -> re.Match[str] | None:
    """The first match starting on a multiple of step (hex: on a byte)."""
    at = 0
    while (found := pattern.search(text, at)) is not None and found.start() % step:
        at = found.start() + 1
    return found


def excerpt(text: str, start: int = 0, end: int = 0, step: int = 1) -> str:
    """Up to EXCERPT characters of text holding text[start:end] (from start when that is longer)
    with as much before it as after it, as far as the text goes, starting on a multiple of step."""
    if len(text) <= EXCERPT:
        return text
    room = max(EXCERPT - (end - start), 0)
    at = max(min(start - room // 2, len(text) - EXCERPT), 0)
    at -= at % step
    return text[at : at + EXCERPT]


def _class_end(pattern: str, at: int) -> int:
    """The position after the character class that starts at pattern[at] ("[")."""
    at += 1
    at += pattern.startswith("^", at)
    at += pattern.startswith("]", at)  # a "]" first is one of the class's characters
    while at < len(pattern) and pattern[at] != "]":
        at += 2 if pattern[at] == "\\" else 1
    return at + 1


def required_texts(pattern: str) -> list[str]:
    """For each alternative of the regular expression (split at each | outside groups), the
    longest run of characters that every match of it holds, one after the other (letter case
    aside); "" where none can be told. Counted are characters outside groups and classes, not
    made optional by ?, * or {m,n}, and not escapes of a letter or digit (\\d, \\b, \\x41,
    \\1, ...); a pattern starting with global flags ((?x) changes what a space is) has none.
    Leaving a character out only makes a text shorter, which every match still holds."""
    if re.match(r"\(\?[a-zA-Z]", pattern):
        return [""]
    texts, runs, run, depth, at = [], [""], [], 0, 0
    while at < len(pattern):
        char, step = pattern[at], 1
        if char == "\\":
            escaped = pattern[at + 1 : at + 2]
            if escaped and depth == 0 and not (escaped.isascii() and escaped.isalnum()):
                run.append(escaped)
                at += 2
                continue
            step = re.match(r"\\(?:x..|u.{4}|U.{8}|N\{[^}]*\}|\d{1,3}|.?)", pattern[at:], re.S).end()
        elif char == "[":
            step = _class_end(pattern, at) - at
        elif char in "?*" or (char == "{" and (quantifier := re.match(r"\{\d*,?\d*\}", pattern[at:]))):
            if char == "{":
                step = quantifier.end()
            if run:  # the character before is optional
                run.pop()
        elif char not in "()+.^${|" and depth == 0:
            run.append(char)
            at += 1
            continue
        depth += (char == "(") - (char == ")")
        runs.append("".join(run))
        run.clear()
        if char == "|" and depth == 0:
            texts.append(max(runs, key=len))
            runs = [""]
        at += step
    runs.append("".join(run))
    return [*texts, max(runs, key=len)]


def _find_all(haystack: bytes | str, needle: bytes | str) -> Iterator[int]:
    at = haystack.find(needle)  # type: ignore[arg-type]
    while at >= 0:
        yield at
        at = haystack.find(needle, at + 1)  # type: ignore[arg-type]


class _Probe:
    """Texts one of which every match of the data pattern holds, looked for in the bytes of a
    batch of values at once: as ASCII, as UTF-16LE, as hex (those that are hex digits: no other
    can match hex) and in decimal numbers (those that are digits), all in lowercase. A value
    whose bytes hold none of them cannot match; the others are read as text one by one."""

    def __init__(self, texts: list[str]) -> None:
        lowers = [text.lower() for text in texts]
        self.ascii = [lower.encode("ascii") for lower in lowers]
        self.hex = [lower for lower in lowers if re.fullmatch("[0-9a-f]+", lower)]
        self.digits = [lower for lower in lowers if lower.isdigit()]
        # In UTF-16 an i, k or s may also stand as one of its OTHER_CASES. The longest part of
        # a text without those letters is looked for when it is long enough; else the other
        # cases are replaced by their letter in the bytes searched (the UTF-16 of printable
        # ASCII holds neither byte of such a unit, so no replacement takes a byte of a match).
        self.utf16, cases = [], set()
        for lower in lowers:
            plain = max(re.split("[iks]", lower), key=len)
            if len(plain) >= PROBE_LENGTH:
                self.utf16.append(plain.encode("utf-16-le"))
                continue
            self.utf16.append(lower.encode("utf-16-le"))
            cases.update((case.encode("utf-16-le"), letter.encode("utf-16-le"))
                         for letter, others in OTHER_CASES.items() if letter in lower for case in others)
        self.other_cases = sorted(cases)

    def candidates(self, raws: list[bytes], type_ids: Callable[[], list[int]]) -> list[int]:
        """The indices of the values that may match, in order."""
        blob = b"".join(raws)
        # ASCII letters only: bytes of the UTF-16 units of other characters may change too,
        # which can make a value a candidate but never loses one.
        lowered = blob.lower()
        starts = [at for needle in self.ascii for at in _find_all(lowered, needle)]
        for case, letter in self.other_cases:
            lowered = lowered.replace(case, letter)
        starts.extend(at for needle in self.utf16 for at in _find_all(lowered, needle))
        if self.hex:
            text = blob.hex()
            starts.extend(at // 2 for needle in self.hex for at in _find_all(text, needle))
        ends = list(itertools.accumulate(map(len, raws)))
        found = {bisect.bisect_right(ends, at) for at in starts}
        if self.digits:
            found.update(i for i, (type_id, raw) in enumerate(zip(type_ids(), raws))
                         if (number := _number(type_id, raw)) is not None and any(d in number for d in self.digits))
        return sorted(found)


def _written(key: kelpa.RegistryKey, report: OnError) -> datetime.datetime | None:
    try:
        return key.last_written()
    except ValueError as e:
        report(e)
        return None


def _where(key: kelpa.RegistryKey, report: OnError) -> Where:
    """The key's path (its name when that cannot be read) and last-write time."""
    try:
        path = key.path()
    except ValueError as e:
        report(e)
        path = key.name()
    return path, _written(key, report)


def _located(key: kelpa.RegistryKey) -> str:
    """A deleted key's path as far as its parents still hold; its name when they do not."""
    try:
        return key.path()
    except ValueError:
        return key.name()


class Query:
    """What to look for, checked and compiled once; ``matches(hive)`` runs it over one hive.

    ``key``, ``value`` and ``data`` are patterns (see the module's text). Each gives hits of its
    own: a key whose name matches, a value whose name matches, a value whose data matches (a
    value matching both gives two). ``min_size`` (bytes) leaves the values with less data out of
    the value and data hits; given with neither pattern, every value with at least that much is
    a hit ("size"). ValueError: nothing to look for, a pattern that does not compile, a
    negative size."""

    def __init__(self, *, key: str | None = None, value: str | None = None, data: str | None = None,
                 literal: bool = False, case_sensitive: bool = False, min_size: int | None = None) -> None:
        flags = 0 if case_sensitive else re.IGNORECASE
        self.key = _compile("key", key, literal, flags)
        self.value = _compile("value", value, literal, flags)
        self.data = _compile("data", data, literal, flags)
        if min_size is not None and min_size < 0:
            raise ValueError(f"a minimum size is a number of bytes, not {min_size}")
        if key is None and value is None and data is None and min_size is None:
            raise ValueError("nothing to search for: give a key, value or data pattern or a minimum size")
        self.min_size = min_size
        self.reads_values = value is not None or data is not None or min_size is not None
        self.probe = None
        if data is not None:
            texts = [max(re.findall("[\x20-\x7e]+", text), key=len, default="")
                     for text in ([data] if literal else required_texts(data))]
            self.probe = _Probe(texts) if min(map(len, texts)) >= PROBE_LENGTH else None

    def _value_hits(self, value: kelpa.RegistryValue, raw: bytes, data: bool = True) -> Hits | None:
        """The value's name, type name and (matched, excerpt) of each of its hits, in the order
        value, data, size; None without any. The data pattern is tried only when ``data``."""
        if self.min_size is not None and len(raw) < self.min_size:
            return None
        hits = []
        value_type = value.value_type()
        type_id = value_type.type_id()
        if self.value is not None:
            name = value.name()
            if name == "(default)" and value.is_unnamed():
                name = ""
            if self.value.search(name):
                hits.append(("value", excerpt(shown(type_id, raw))))
        if self.data is not None:
            if data and type_id in STRING_TYPES:  # one form: no generator, no steps
                if (found := self.data.search(text := _string(raw))) is not None:
                    hits.append(("data", excerpt(text, found.start(), found.end())))
            elif data:
                for text, step in _forms(type_id, raw):
                    if (found := _search(self.data, text, step)) is not None:
                        hits.append(("data", excerpt(text, found.start(), found.end(), step)))
                        break
        elif self.value is None and self.min_size is not None:
            hits.append(("size", excerpt(shown(type_id, raw))))
        if not hits:
            return None
        return "" if value.is_unnamed() else value.name(), value_type.type_name(), hits

    def _rows(self, keys: list[kelpa.RegistryKey], lists: list[list[kelpa.RegistryValue]],
              report: OnError) -> list[Match]:
        """The hits of some keys (each with its values), in order."""
        rows: list[Match] = []
        listed = [value for values in lists for value in values]
        raws = [value.raw_data() for value in listed]
        probed = None
        if self.probe is not None:
            probed = self.probe.candidates(raws, lambda: [v.value_type().type_id() for v in listed])
            if self.key is None and self.value is None:  # only the candidates can be hits
                ends = list(itertools.accumulate(map(len, lists)))
                where_of, where = -1, ("", None)
                for index in probed:
                    if (found := self._value_hits(listed[index], raws[index])) is None:
                        continue
                    if (owner := bisect.bisect_right(ends, index)) != where_of:
                        where_of, where = owner, _where(keys[owner], report)
                    name, type_name, hits = found
                    rows.extend(Match(where[0], name, type_name, matched, text, where[1]) for matched, text in hits)
                return rows
        candidates = None if probed is None else set(probed)
        index = 0
        for key, values in zip(keys, lists):
            where = None
            if self.key is not None and self.key.search(key.name()):
                where = _where(key, report)
                rows.append(Match(where[0], None, None, "key", "", where[1]))
            for value in values:
                found = self._value_hits(value, raws[index], candidates is None or index in candidates)
                index += 1
                if found is None:
                    continue
                if where is None:  # paths and times only for keys with hits
                    where = _where(key, report)
                name, type_name, hits = found
                rows.extend(Match(where[0], name, type_name, matched, text, where[1]) for matched, text in hits)
        return rows

    def _batch(self, keys: list[kelpa.RegistryKey], report: OnError) -> Iterator[Match]:
        """The hits of a batch of keys, and in their place the value lists that cannot be read
        (the key's own name is still searched)."""
        if not self.reads_values:
            yield from self._rows(keys, [[]] * len(keys), report)
            return
        try:
            lists, failures = [key.values() for key in keys], []
        except ValueError:
            lists, failures = [], []
            for at, key in enumerate(keys):
                try:
                    lists.append(key.values())
                except ValueError as e:
                    lists.append([])
                    failures.append((at, e))
        start = 0
        for at, error in [*failures, (len(keys), None)]:
            yield from self._rows(keys[start : at + 1], lists[start : at + 1], report)
            if error is not None:
                report(error)
            start = at + 1

    def matches(self, hive: kelpa.Hive, *, deleted: bool = False, onerror: OnError | None = None) -> Iterator[Match]:
        """The hits in the hive, in walk order (a key's own, then its values' in value order);
        with ``deleted``, then those of the deleted keys (by name only: their values' cells were
        freed with them) and of the deleted values, in image order. A subtree, value list, path
        or last-write time that cannot be read is a ValueError in its place among the hits:
        without ``onerror`` it ends the search; with it, onerror gets it and the search goes on
        without that part (a key whose path cannot be read is shown by its name)."""
        report = onerror or _raise
        batch: list[kelpa.RegistryKey] = []
        errors: list[ValueError] = []
        for key in hive.root_key().walk(onerror=errors.append):
            if errors:  # met before this key
                yield from self._batch(batch, report)
                batch = []
                for error in errors:
                    report(error)
                errors.clear()
            batch.append(key)
            if len(batch) >= BATCH:
                yield from self._batch(batch, report)
                batch = []
        yield from self._batch(batch, report)
        for error in errors:
            report(error)
        if not deleted:
            return
        for key in hive.deleted_keys():
            if self.key is not None and self.key.search(key.name()):
                yield Match(_located(key), None, None, "key", "", _written(key, report), True)
        for value in hive.deleted_values():
            if (found := self._value_hits(value, value.raw_data())) is not None:
                name, type_name, hits = found
                yield from (Match("", name, type_name, matched, text, None, True) for matched, text in hits)


def search(hive: kelpa.Hive, *, key: str | None = None, value: str | None = None, data: str | None = None,
           literal: bool = False, case_sensitive: bool = False, min_size: int | None = None,
           deleted: bool = False, onerror: OnError | None = None) -> Iterator[Match]:
    """``Query(...).matches(hive, ...)``: the query is checked at once (ValueError), the hive
    searched as the iterator is consumed."""
    query = Query(key=key, value=value, data=data, literal=literal, case_sensitive=case_sensitive,
                  min_size=min_size)
    return query.matches(hive, deleted=deleted, onerror=onerror)
