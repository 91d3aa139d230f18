"""The orders of most-recently-used lists: `MRUList`, a string of value names one letter each
("cab": c is the most recent), and `MRUListEx`, little-endian 32-bit entry numbers ending at
0xFFFFFFFF. Either way the first entry is the most recent: its order is 0."""

from __future__ import annotations

import kelpa

MRU_LIST_EX_END = 0xFFFFFFFF


def mru_list(key: kelpa.RegistryKey) -> list[str]:
    """The value names `MRUList` orders, most recent first; [] when the key has none or it does
    not read as a string. A letter named twice is listed once."""
    try:
        data = key.value("MRUList").data()
    except ValueError:
        return []
    if not data.is_string():
        return []
    order = data.as_string().split("\0", 1)[0]
    return list(dict.fromkeys(order))


def mru_list_ex(key: kelpa.RegistryKey) -> list[int]:
    """The entry numbers `MRUListEx` orders, most recent first, up to its end marker; [] when the
    key has none. A number named twice is listed once; a last partial number is left out."""
    try:
        raw = key.value("MRUListEx").raw_data()
    except ValueError:
        return []
    entries: dict[int, None] = {}
    for at in range(0, len(raw) - 3, 4):
        entry = int.from_bytes(raw[at : at + 4], "little")
        if entry == MRU_LIST_EX_END:
            break
        entries[entry] = None
    return list(entries)
