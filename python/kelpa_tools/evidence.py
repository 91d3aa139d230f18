"""Hives opened as evidence is read: with the transaction logs found beside them.

Windows names a hive's logs after the hive: ``HIVE.LOG1`` and ``HIVE.LOG2`` (Vista and later),
``HIVE.LOG`` (XP and 2003, and left over beside the newer pair on systems upgraded since). They
are found by name in any letter case; a copy made on a case-sensitive file system may hold two
names for one role (``SYSTEM.LOG2`` and ``SYSTEM.log2``). Of those, the one that reads as a
transaction log is used, the latest by its sequence number where several do, and the choice is
reported. Where ``HIVE.LOG`` stands beside ``HIVE.LOG1``/``HIVE.LOG2`` and the hive is dirty, both
are replayed and the one that brings the hive to the later sequence number is used (the pair
when equal); a clean hive needs neither, and the pair is given.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass

import kelpa

# The log suffixes by role, in the order the logs are given to the library.
ROLES = (".log1", ".log2", ".log")
FILE_TYPE_OFFSET, SEQUENCE_OFFSET, FILE_NAME_OFFSET, CHECKSUM_OFFSET = 28, 4, 48, 508
LOG_FILE_TYPES = (1, 2, 6)  # the old layout's LOG1 (and XP's LOG) and LOG2, the new layout


@dataclass(frozen=True, slots=True)
class FoundLogs:
    """The logs a hive is read with (``log1``, ``log2``: paths or None), every file named as one
    of its logs (``candidates``, in name order; each one is evidence too), and a line for each
    choice made between candidates (``notes``, naming the files)."""

    log1: str | None
    log2: str | None
    candidates: tuple[str, ...] = ()
    notes: tuple[str, ...] = ()

    @property
    def pair(self) -> tuple[str | None, str | None]:
        return self.log1, self.log2


def log_candidates(path: str | os.PathLike[str], listing: list[str] | None = None) -> dict[str, list[str]]:
    """The files beside a hive named as its logs, in any letter case, by role (".log1", ".log2",
    ".log"), each list in name order. Reads the folder only (or takes its `listing`, the names
    os.listdir gives), never a file."""
    folder, base = os.path.split(os.fspath(path))
    found: dict[str, list[str]] = {role: [] for role in ROLES}
    if listing is None:
        try:
            listing = os.listdir(folder or ".")
        except OSError:
            return found
    wanted = {base.lower() + role: role for role in ROLES}
    for name in sorted(listing):
        if (role := wanted.get(name.lower())) is not None:
            found[role].append(os.path.join(folder, name))
    return found


def log_files(path: str | os.PathLike[str], listing: list[str] | None = None) -> list[str]:
    """Every file beside a hive named as one of its logs (log_candidates), in name order."""
    return sorted(name for names in log_candidates(path, listing).values() for name in names)


def not_a_log(path: str) -> str | None:
    """Why the file does not read as a transaction log, or None when it does: "HvLE", or "regf"
    with a log's file type and a base block whose checksum holds."""
    try:
        with open(path, "rb") as f:
            head = f.read(512)
    except OSError as e:
        return f"{e.strerror} (os error {e.errno})"
    if not head:
        return "the file is empty"
    if head[:4] == b"HvLE":
        return None
    if len(head) < 512 or head[:4] != b"regf":
        return "not a transaction log"
    file_type = struct.unpack_from("<I", head, FILE_TYPE_OFFSET)[0]
    if file_type not in LOG_FILE_TYPES:
        return f"not a transaction log (file type {file_type})"
    checksum = 0
    for (word,) in struct.iter_unpack("<I", head[:CHECKSUM_OFFSET]):
        checksum ^= word
    if checksum != struct.unpack_from("<I", head, CHECKSUM_OFFSET)[0]:
        return "not a transaction log (its base block checksum is wrong)"
    return None


def _head(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(512)
    except OSError:
        return b""


def _rank(path: str, hive_name: bytes) -> tuple[bool, int]:
    """How well a log (that reads as one) fits: its file name field the hive's, then its sequence."""
    head = _head(path)
    if head[:4] != b"regf" or len(head) < 512:
        return False, 0
    return (head[FILE_NAME_OFFSET:FILE_NAME_OFFSET + 64] == hive_name,
            struct.unpack_from("<I", head, SEQUENCE_OFFSET)[0])


def _one_per_role(names: list[str], role: str, hive_name: bytes, notes: list[str]) -> str | None:
    if len(names) <= 1:
        return names[0] if names else None
    why = {name: not_a_log(name) for name in names}
    logs = [name for name in names if why[name] is None]
    chosen = max(logs, key=lambda name: _rank(name, hive_name)) if logs else None
    for name in names:
        if name == chosen:
            continue
        reason = why[name] or "another log is later"
        shown = os.path.basename(chosen) if chosen else "none of them"
        notes.append(f"{os.path.basename(name)} set aside for {shown} as its {role[1:].upper()}: {reason}")
    return chosen


def _replayed_sequence(path: str, logs: tuple[str | None, ...]) -> int | None:
    """The primary sequence number the hive reaches with `logs` replayed, None when none applies."""
    try:
        hive = kelpa.Hive.from_path(path, *logs, strict=False)
        if not any(log.applied for log in hive.log_replay()):
            return None
        return hive.base_block().primary_sequence
    except (OSError, ValueError):
        return None


def _clean(head: bytes) -> bool:
    return len(head) >= 512 and head[:4] == b"regf" and head[4:8] == head[8:12]


def find_logs(path: str | os.PathLike[str]) -> FoundLogs:
    """The logs to read the hive at `path` with, chosen among the files beside it (see the module's
    text); the notes say which candidates were set aside and why."""
    path = os.fspath(path)
    by_role = log_candidates(path)
    candidates = tuple(sorted(name for names in by_role.values() for name in names))
    head = _head(path)
    hive_name = head[FILE_NAME_OFFSET:FILE_NAME_OFFSET + 64]
    notes: list[str] = []
    log1, log2, old = (_one_per_role(by_role[role], role, hive_name, notes) for role in ROLES)
    if old is None:
        return FoundLogs(log1, log2, candidates, tuple(notes))
    if log1 is None and log2 is None:
        return FoundLogs(old, None, candidates, tuple(notes))
    pair = [os.path.basename(p) for p in (log1, log2) if p]
    if _clean(head):
        return FoundLogs(log1, log2, candidates, tuple(notes))
    newer, older = _replayed_sequence(path, (log1, log2)), _replayed_sequence(path, (old,))
    if older is not None and (newer is None or older > newer):
        notes.append(f"{', '.join(pair)} set aside for {os.path.basename(old)}: it replays to the later sequence "
                     f"number ({older}, against {'none applied' if newer is None else newer})")
        return FoundLogs(old, None, candidates, tuple(notes))
    if older is not None or not_a_log(old) is None:
        against = "none applied" if older is None else str(older)
        notes.append(f"{os.path.basename(old)} set aside for {', '.join(pair)}: they replay to the later sequence "
                     f"number ({'none applied' if newer is None else newer}, against {against})")
    else:
        notes.append(f"{os.path.basename(old)} set aside for {', '.join(pair)}: {not_a_log(old)}")
    return FoundLogs(log1, log2, candidates, tuple(notes))


def logs_beside(path: str | os.PathLike[str]) -> tuple[str | None, str | None]:
    """The transaction logs a hive is read with, found beside it (find_logs): (log1, log2)."""
    return find_logs(path).pair


def open_hive(path: str | os.PathLike[str], *, logs: str = "auto", strict: bool = False) -> kelpa.Hive:
    """The hive at `path`, with the logs beside it (logs="auto", chosen by find_logs) or as the
    file lies ("none")."""
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
