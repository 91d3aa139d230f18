"""Value data in the forms the listings and exports show."""

from __future__ import annotations

import kelpa

from .text import safe

Typed = str | int | list[str]


def typed(value: kelpa.RegistryValue) -> Typed:
    """Strings as text, DWORDs and QWORDs (of exactly their width) as numbers, multi-strings as
    a list of text; everything else, and data that does not parse by its type, as hex."""
    raw = value.raw_data()
    try:
        data = value.data()
    except ValueError:
        return raw.hex()
    if data.is_string():
        return data.as_string()
    if data.is_multi_string():
        return data.as_multi_string()
    if data.is_dword() and len(raw) == 4:
        return data.as_dword()
    if data.is_qword() and len(raw) == 8:
        return data.as_qword()
    return raw.hex()


def as_text(data: Typed) -> str:
    """One string for any typed form: multi-strings one per line, numbers in decimal."""
    return "\n".join(data) if isinstance(data, list) else str(data)


def shown(value: kelpa.RegistryValue, width: int = 100) -> str:
    """A short display form on one line, as the library prints data, control characters escaped;
    damaged data as its error and bytes."""
    try:
        text = str(value.data())
    except ValueError as e:
        text = f"<{e}> {value.raw_data()[:32].hex()}"
    text = text if len(text) <= width else text[: width - 3] + "..."
    return safe(text)


def class_name(key: kelpa.RegistryKey, reading) -> str | None:
    """The key's class name; one that cannot be read is noted as a problem of the reading and
    shown as none."""
    try:
        return key.class_name()
    except ValueError as e:
        reading.problem(e)
        return None
