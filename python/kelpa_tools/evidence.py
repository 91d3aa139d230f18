"""Hives opened as evidence is read: with the transaction logs found beside them."""

from __future__ import annotations

import os

import kelpa


def logs_beside(path: str | os.PathLike[str]) -> tuple[str | None, str | None]:
    """The transaction logs next to a hive, found by name in any letter case: (HIVE.LOG1, or
    HIVE.LOG when there is no LOG1; HIVE.LOG2)."""
    folder, base = os.path.split(os.fspath(path))
    try:
        names = {n.lower(): n for n in os.listdir(folder or ".")}
    except OSError:
        return None, None

    def beside(suffix: str) -> str | None:
        name = names.get(base.lower() + suffix)
        return os.path.join(folder, name) if name else None

    return beside(".log1") or beside(".log"), beside(".log2")


def open_hive(path: str | os.PathLike[str], *, logs: str = "auto", strict: bool = False) -> kelpa.Hive:
    """The hive at `path`, with the logs beside it (logs="auto") or as the file lies ("none")."""
    if logs not in ("auto", "none"):
        raise ValueError(f"logs must be 'auto' or 'none', not {logs!r}")
    found = logs_beside(path) if logs == "auto" else (None, None)
    return kelpa.Hive.from_path(path, *found, strict=strict)


def key_path_in(hive: kelpa.Hive, path: str) -> str:
    """`path` with a first component CurrentControlSet (any letter case) replaced by the control
    set that Select\\Current names (ControlSet001 for 1); unchanged where the hive has none."""
    first, sep, rest = path.lstrip("\\").partition("\\")
    if first.lower() != "currentcontrolset":
        return path
    try:
        current = hive.open_key("Select").value("Current").data().as_dword()
    except ValueError:
        return path
    return f"ControlSet{current:03d}{sep}{rest}"
