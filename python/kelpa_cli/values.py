"""Value data in the forms the listings and exports show."""

from __future__ import annotations

import kelpa

from kelpa_tools import strings

from .text import safe

Typed = str | int | list[str]

# The names of the known value types by type id, as ValueType.type_name() gives them.
TYPE_NAMES = ("REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
              "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
              "REG_QWORD")
REG_MULTI_SZ, REG_QWORD = 7, 11


def type_name(type_id: int) -> str:
    return TYPE_NAMES[type_id] if type_id < len(TYPE_NAMES) else f"REG_UNKNOWN_0x{type_id:08x}"


def typed(value: kelpa.RegistryValue) -> Typed:
    """Strings as text (up to the first NUL, as Windows shows them), DWORDs and QWORDs (of exactly their width) as numbers, multi-strings as
    a list of text; everything else, and data that does not parse by its type, as hex."""
    raw = value.raw_data()
    try:
        data = value.data()
    except ValueError:
        return raw.hex()
    if data.is_string():
        return strings.shown(data.as_string())
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
