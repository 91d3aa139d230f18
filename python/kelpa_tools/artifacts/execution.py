"""Program execution: what ran, when and how often.

UserAssist (NTUSER), the application compatibility cache or ShimCache and the Background Activity
Moderator (SYSTEM), Amcache's files and programs (AMCACHE) and the Run dialog's MRU list (NTUSER).
Each binary layout is one `struct.Struct`, named after the Windows version that wrote it."""

from __future__ import annotations

import codecs
import datetime
import struct
from collections.abc import Iterator
from typing import Any, NamedTuple

import kelpa

from . import times
from .base import REG_SZ, Context, as_number, as_text, as_texts, decoder, utf16
from .mru import mru_list

UTC = datetime.UTC
U16 = struct.Struct("<H")
U32 = struct.Struct("<I")
U64 = struct.Struct("<Q")


def _by_name(ctx: Context, key: kelpa.RegistryKey | None) -> dict[str, kelpa.RegistryValue]:
    """A key's values by name, read in one go. The names are looked up as the one program that
    writes these keys spells them (Windows would match them in any case)."""
    return {v.name(): v for v in ctx.values(key)}


def _text(values: dict[str, kelpa.RegistryValue], name: str) -> str | None:
    value = values.get(name)
    if value is None:
        return None
    type_id = value.value_type().type_id()
    return utf16(value.raw_data()) if type_id == REG_SZ else as_text(type_id, value.raw_data())


def _number(values: dict[str, kelpa.RegistryValue], name: str) -> int | None:
    value = values.get(name)
    return None if value is None else as_number(value.value_type().type_id(), value.raw_data())


def _first_text(values: dict[str, kelpa.RegistryValue], name: str) -> str | None:
    value = values.get(name)
    if value is None:
        return None
    strings = as_texts(value.value_type().type_id(), value.raw_data())
    return strings[0] if strings else None


def _raw(values: dict[str, kelpa.RegistryValue], name: str) -> bytes | None:
    value = values.get(name)
    return None if value is None else value.raw_data()


# --- UserAssist -------------------------------------------------------------------------------

USERASSIST = r"Software\Microsoft\Windows\CurrentVersion\Explorer\UserAssist"

# Version 3 (Windows 2000 to Vista): session, run count (stored from 5 up), last run.
USERASSIST_XP = struct.Struct("<IIQ")
XP_FIRST_COUNT = 5
# Version 5 (Windows 7 and later), 72 bytes: session, run count, focus count, focus time in
# milliseconds, ten floats and a -1, last run at 60, a zero DWORD.
USERASSIST_WIN7 = struct.Struct("<IIII40xIQI")
USERASSIST_LAYOUTS = {USERASSIST_XP.size: "xp", USERASSIST_WIN7.size: "win7"}
# Values of the Count key that are no program: the session record.
USERASSIST_SESSION = "UEME_CTLSESSION"

# Known folders (KNOWNFOLDERID) that UserAssist names start with, by their identifier, as the
# folder's default path with the environment variable Windows sets for its root.
KNOWN_FOLDERS = {
    "{1AC14E77-02E7-4E5D-B744-2EB1AE5198B7}": r"%windir%\System32",
    "{D65231B0-B2F1-4857-A4CE-A8E7C6EA7D27}": r"%windir%\SysWOW64",
    "{F38BF404-1D43-42F2-9305-67DE0B28FC23}": r"%windir%",
    "{FD228CB7-AE11-4AE3-864C-16F3910AB8FE}": r"%windir%\Fonts",
    "{8AD10C31-2ADB-4296-A8F7-E4701232C972}": r"%windir%\Resources",
    "{905E63B6-C1BF-494E-B29C-65B732D3D21A}": r"%ProgramFiles%",
    "{6D809377-6AF0-444B-8957-A3773F02200E}": r"%ProgramFiles%",
    "{7C5A40EF-A0FB-4BFC-874A-C0F2E0B9FA8E}": r"%ProgramFiles(x86)%",
    "{F7F1ED05-9F6D-47A2-AAAE-29D317C6F066}": r"%ProgramFiles%\Common Files",
    "{6365D5A7-0F0D-45E5-87F6-0DA56B6A4F7D}": r"%ProgramFiles%\Common Files",
    "{DE974D24-D9C6-4D3E-BF91-F4455120B917}": r"%ProgramFiles(x86)%\Common Files",
    "{62AB5D82-FDC1-4DC3-A9DD-070D1D495D97}": r"%ProgramData%",
    "{0139D44E-6AFE-49F2-8690-3DAFCAE6FFB8}": r"%ProgramData%\Microsoft\Windows\Start Menu\Programs",
    "{A4115719-D62E-491D-AA7C-E74B8BE3B067}": r"%ProgramData%\Microsoft\Windows\Start Menu",
    "{82A5EA35-D9CD-47C5-9629-E15D2F714E6E}": r"%ProgramData%\Microsoft\Windows\Start Menu\Programs\StartUp",
    "{D0384E7D-BAC3-4797-8F14-CBA229B392B5}":
        r"%ProgramData%\Microsoft\Windows\Start Menu\Programs\Administrative Tools",
    "{B94237E7-57AC-4347-9151-B08C6C32D1F7}": r"%ProgramData%\Microsoft\Windows\Templates",
    "{DFDF76A2-C82A-4D63-906A-5644AC457385}": r"%PUBLIC%",
    "{C4AA340D-F20F-4863-AFEF-F87EF2E6BA25}": r"%PUBLIC%\Desktop",
    "{ED4824AF-DCE4-45A8-81E2-FC7965083634}": r"%PUBLIC%\Documents",
    "{5E6C858F-0E22-4760-9AFE-EA3317B67173}": r"%USERPROFILE%",
    "{B4BFCC3A-DB2C-424C-B029-7FE99A87C641}": r"%USERPROFILE%\Desktop",
    "{FDD39AD0-238F-46AF-ADB4-6C85480369C7}": r"%USERPROFILE%\Documents",
    "{374DE290-123F-4565-9164-39C4925E467B}": r"%USERPROFILE%\Downloads",
    "{33E28130-4E1E-4676-835A-98395C3BC3BB}": r"%USERPROFILE%\Pictures",
    "{4BD8D571-6D19-48D3-BE97-422220080E43}": r"%USERPROFILE%\Music",
    "{18989B1D-99B5-455B-841C-AB7C74E4DDFC}": r"%USERPROFILE%\Videos",
    "{1777F761-68AD-4D8A-87BD-30B759FA33DD}": r"%USERPROFILE%\Favorites",
    "{BFB9D5E0-C6A9-404C-B2B2-AE6DB6AF4968}": r"%USERPROFILE%\Links",
    "{4C5C32FF-BB9D-43B0-B5B4-2D72E54EAAA4}": r"%USERPROFILE%\Saved Games",
    "{56784854-C6CB-462B-8169-88E350ACB882}": r"%USERPROFILE%\Contacts",
    "{A520A1A4-1780-4FF6-BD18-167343C5AF16}": r"%USERPROFILE%\AppData\LocalLow",
    "{F1B32785-6FBA-4FCF-9D55-7B8E7F157091}": r"%LOCALAPPDATA%",
    "{5CD7AEE2-2219-4A67-B85D-6C9CE15660CB}": r"%LOCALAPPDATA%\Programs",
    "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}": r"%APPDATA%",
    "{625B53C3-AB48-4EC1-BA1F-A1EF4146FC19}": r"%APPDATA%\Microsoft\Windows\Start Menu",
    "{A77F5D77-2E2B-44C3-A6A2-ABA601054A51}": r"%APPDATA%\Microsoft\Windows\Start Menu\Programs",
    "{B97D20BB-F46A-4C97-BA10-5E3608430854}": r"%APPDATA%\Microsoft\Windows\Start Menu\Programs\StartUp",
    "{724EF170-A42D-4FEF-9F26-B60E846FBA4F}":
        r"%APPDATA%\Microsoft\Windows\Start Menu\Programs\Administrative Tools",
    "{52A4F021-7B75-48A9-9F6B-4B87A210BC8F}": r"%APPDATA%\Microsoft\Internet Explorer\Quick Launch",
    "{9E3995AB-1F9C-4F13-B827-48B24B6C7174}": r"%APPDATA%\Microsoft\Internet Explorer\Quick Launch\User Pinned",
    "{BCB5256F-79F6-4CEE-B725-DC34E402FD46}":
        r"%APPDATA%\Microsoft\Internet Explorer\Quick Launch\User Pinned\ImplicitAppShortcuts",
    "{8983036C-27C0-404B-8F08-102D10DCFD74}": r"%APPDATA%\Microsoft\Windows\SendTo",
    "{AE50C081-EBD2-438A-8655-8A092E34987A}": r"%APPDATA%\Microsoft\Windows\Recent",
    "{A63293E8-664E-48DB-A079-DF759E0509F7}": r"%APPDATA%\Microsoft\Windows\Templates",
}
_GUID_LENGTH = 38  # "{8-4-4-4-12}"


def resolve_known_folder(name: str) -> str:
    """`name` with a leading known-folder identifier ("{GUID}\\rest") replaced by its folder."""
    if len(name) > _GUID_LENGTH and name[0] == "{" and name[_GUID_LENGTH] == "\\":
        folder = KNOWN_FOLDERS.get(name[:_GUID_LENGTH].upper())
        if folder is not None:
            return folder + name[_GUID_LENGTH:]
    return name


@decoder("userassist", hive_types=("NTUSER",),
         description="Programs and shortcuts a user started from Explorer: run and focus counts, last run.",
         keys=(USERASSIST + r"\*\Count",),
         fields=(("guid", "text"), ("name", "text"), ("resolved", "text"), ("run_count", "int"),
                 ("focus_count", "int"), ("focus_time_ms", "int"), ("last_run", "time"), ("layout", "text"),
                 ("session", "int")),
         events={"last_run": "program run"}, summary="resolved")
def userassist(ctx: Context) -> Iterator[dict[str, Any]]:
    for guid_key in ctx.subkeys(ctx.key(USERASSIST)):
        count_key = ctx.key("Count", guid_key)
        for value in ctx.values(count_key):
            name = codecs.decode(value.name(), "rot13")
            if name == USERASSIST_SESSION:
                continue
            raw = value.raw_data()
            layout = USERASSIST_LAYOUTS.get(len(raw))
            if layout is None:
                ctx.problem(count_key,
                            f"UserAssist value {name!r} holds {len(raw)} bytes, not the 16 or 72 of an entry")
                continue
            if layout == "xp":
                session, stored, last_run = USERASSIST_XP.unpack(raw)
                run_count = stored - XP_FIRST_COUNT if stored >= XP_FIRST_COUNT else None
                focus_count = focus_time = None
            else:
                session, run_count, focus_count, focus_time, _, last_run, _ = USERASSIST_WIN7.unpack(raw)
            yield ctx.row(count_key, guid=guid_key.name(), name=name, resolved=resolve_known_folder(name),
                          run_count=run_count, focus_count=focus_count, focus_time_ms=focus_time,
                          last_run=times.filetime(last_run), layout=layout, session=session)


# --- AppCompatCache (ShimCache) ---------------------------------------------------------------

SESSION_MANAGER = r"Control\Session Manager"
# Windows 2003 and later keep the cache in AppCompatCache; XP in AppCompatibility.
APPCOMPAT_KEYS = ("AppCompatCache", "AppCompatibility")
APPCOMPAT_VALUE = "AppCompatCache"

# Windows XP 32-bit: a 400-byte header (signature, entries, LRU entries, unknown, then the LRU
# array of entry indices), then 552-byte entries: a 528-byte NUL-terminated path, last modified,
# file size, last updated.
XP_SIGNATURE = 0xDEADBEEF
XP_HEADER = struct.Struct("<IIII")
XP_HEADER_SIZE, XP_LRU_AT = 400, 16
XP_ENTRY_SIZE, XP_PATH_SIZE = 552, 528
XP_ENTRY_TAIL = struct.Struct("<QQQ")
# Windows 2003, XP 64-bit and Vista: an 8-byte header (signature, entries), then entries holding a
# UNICODE_STRING (size, maximum size, offset from the start of the data) and the last modified
# time, then the file size (2003) or the insertion and shim flags (Vista).
NT52_SIGNATURE = 0xBADC0FFE
NT52_HEADER_SIZE = 8
NT52_ENTRY_32 = struct.Struct("<HHIQII")
NT52_ENTRY_64 = struct.Struct("<HH4xQQII")
# Windows 7 and 2008 R2: a 128-byte header, then entries as Vista's with the data size and offset.
NT61_SIGNATURE = 0xBADC0FEE
NT61_HEADER_SIZE = 128
NT61_ENTRY_32 = struct.Struct("<HHIQIIII")
NT61_ENTRY_64 = struct.Struct("<HH4xQQIIQQ")
# Windows 8.0, 8.1, 10 and 11: a header (128 bytes on 8.x; on 10 its size, 0x30, or 0x34 from the
# Creators Update on and on 11, is its first DWORD), then entries each led by a signature, a
# checksum and the size of the rest: path size and path, then on 8.1 a package name, then on 8.x
# insertion and shim flags, the last modified time, data size and data.
ENTRY_HEAD = struct.Struct("<4sII")
WIN8_HEADER_SIZE = 128
WIN10_HEADER_SIZES = {0x30: "10", 0x34: "10_creators"}
WIN8_FLAGS_TIME = struct.Struct("<IIQ")
EXECUTED_FLAG = 0x2  # the insertion flag CSRSS sets when it ran the program


class CacheEntry(NamedTuple):
    path: str
    last_modified: datetime.datetime | None
    executed: bool | None
    file_size: int | None = None
    last_updated: datetime.datetime | None = None
    insert_flags: int | None = None


class ShimCache(NamedTuple):
    layout: str | None
    entries: list[CacheEntry]
    problems: list[str]


def _path_at(data: bytes, offset: int, size: int) -> str | None:
    return None if offset + size > len(data) else utf16(data[offset : offset + size])


def _xp(data: bytes, problems: list[str]) -> list[CacheEntry]:
    if len(data) < XP_HEADER_SIZE:
        problems.append(f"the XP header needs {XP_HEADER_SIZE} bytes, the data holds {len(data)}")
        return []
    _, count, lru_count, _ = XP_HEADER.unpack_from(data)
    lru_room = (XP_HEADER_SIZE - XP_LRU_AT) // 4
    lru = [U32.unpack_from(data, XP_LRU_AT + 4 * i)[0] for i in range(min(lru_count, lru_room))]
    listed = dict.fromkeys(i for i in lru if i < count)  # most recent first
    order = [*listed, *(i for i in range(min(count, lru_room)) if i not in listed)]
    entries = []
    for index in order:
        at = XP_HEADER_SIZE + index * XP_ENTRY_SIZE
        if at + XP_ENTRY_SIZE > len(data):
            problems.append(f"entry {index} runs past the data ({len(data)} bytes)")
            break
        path = utf16(data[at : at + XP_PATH_SIZE])
        if not path:
            continue
        modified, size, updated = XP_ENTRY_TAIL.unpack_from(data, at + XP_PATH_SIZE)
        entries.append(CacheEntry(path, times.filetime(modified), None, size, times.filetime(updated)))
    return entries


def _array(data: bytes, signature: int, problems: list[str]) -> tuple[str, list[CacheEntry]]:
    """The entries of the layouts that keep an array of fixed-size entries (2003 to 7)."""
    header = NT52_HEADER_SIZE if signature == NT52_SIGNATURE else NT61_HEADER_SIZE
    if len(data) < header:
        problems.append(f"the header needs {header} bytes, the data holds {len(data)}")
        return "", []
    count = U32.unpack_from(data, 4)[0]
    # A 64-bit entry pads its UNICODE_STRING to 8 bytes: where a 32-bit entry has its path offset
    # (never 0, the path follows the array), a 64-bit one has zero.
    wide = len(data) >= header + 8 and U32.unpack_from(data, header + 4)[0] == 0
    if signature == NT52_SIGNATURE:
        entry = NT52_ENTRY_64 if wide else NT52_ENTRY_32
    else:
        entry = NT61_ENTRY_64 if wide else NT61_ENTRY_32
    bits = "64" if wide else "32"
    rows = []
    for index in range(count):
        at = header + index * entry.size
        if at + entry.size > len(data):
            problems.append(f"entry {index} of {count} runs past the data ({len(data)} bytes)")
            break
        path_size, _, path_offset, modified, flags, second = entry.unpack_from(data, at)[:6]
        if path_offset < header + count * entry.size:  # the paths follow the array
            problems.append(f"the path of entry {index} lies inside the header or the entry array")
            break
        path = _path_at(data, path_offset, path_size)
        if path is None:
            problems.append(f"the path of entry {index} runs past the data ({len(data)} bytes)")
            break
        rows.append((path, modified, flags, second))
    if signature == NT61_SIGNATURE:
        return f"7_{bits}", [CacheEntry(p, times.filetime(m), bool(f & EXECUTED_FLAG), insert_flags=f)
                             for p, m, f, _ in rows]
    # Vista keeps insertion flags (a few low bits) where 2003 keeps the file size.
    if any(f > 3 for _, _, f, _ in rows):
        return f"2003_{bits}", [CacheEntry(p, times.filetime(m), None, f | (s << 32)) for p, m, f, s in rows]
    return f"vista_{bits}", [CacheEntry(p, times.filetime(m), bool(f & EXECUTED_FLAG), insert_flags=f)
                             for p, m, f, _ in rows]


def _tagged(data: bytes, start: int, layout: str, problems: list[str]) -> list[CacheEntry]:
    """The entries of Windows 8.0 to 11, each led by its signature and size."""
    signature = b"00ts" if layout == "8.0" else b"10ts"
    entries = []
    at, index = start, 0
    while at < len(data):
        if at + ENTRY_HEAD.size > len(data):
            problems.append(f"entry {index} runs past the data ({len(data)} bytes)")
            break
        tag, _, size = ENTRY_HEAD.unpack_from(data, at)
        if tag != signature:
            problems.append(f"entry {index} has the signature {tag!r}, not {signature!r}")
            break
        body, end = at + ENTRY_HEAD.size, at + ENTRY_HEAD.size + size
        if end > len(data):
            problems.append(f"entry {index} runs past the data ({len(data)} bytes)")
            break
        entry = _tagged_body(data[body:end], layout)
        if entry is None:
            problems.append(f"entry {index}: its fields run past its size ({size} bytes)")
            break
        entries.append(entry)
        at, index = end, index + 1
    return entries


def _tagged_body(body: bytes, layout: str) -> CacheEntry | None:
    if len(body) < 2:
        return None
    path_size = U16.unpack_from(body)[0]
    path = _path_at(body, 2, path_size)
    at = 2 + path_size
    if path is None:
        return None
    if layout == "8.1":
        if at + 2 > len(body):
            return None
        at += 2 + U16.unpack_from(body, at)[0]  # the package name
    if layout in ("8.0", "8.1"):
        if at + WIN8_FLAGS_TIME.size > len(body):
            return None
        flags, _, modified = WIN8_FLAGS_TIME.unpack_from(body, at)
        return CacheEntry(path, times.filetime(modified), bool(flags & EXECUTED_FLAG), insert_flags=flags)
    if at + 8 > len(body):
        return None
    return CacheEntry(path, times.filetime(U64.unpack_from(body, at)[0]), None)


def parse_appcompatcache(data: bytes) -> ShimCache:
    """The entries of an AppCompatCache value, most recent first, in whichever layout wrote it.
    Entries that run past the data stop the reading with a problem; an unknown signature gives
    no entries and a problem."""
    problems: list[str] = []
    if len(data) < 4:
        return ShimCache(None, [], [f"the data holds {len(data)} bytes, too few for a header"])
    signature = U32.unpack_from(data)[0]
    if signature == XP_SIGNATURE:
        return ShimCache("xp_32", _xp(data, problems), problems)
    if signature in (NT52_SIGNATURE, NT61_SIGNATURE):
        layout, entries = _array(data, signature, problems)
        return ShimCache(layout or None, entries, problems)
    if signature in WIN10_HEADER_SIZES and (data[signature : signature + 4] == b"10ts" or len(data) == signature):
        layout = WIN10_HEADER_SIZES[signature]
        return ShimCache(layout, _tagged(data, signature, layout, problems), problems)
    if signature == WIN8_HEADER_SIZE and len(data) == WIN8_HEADER_SIZE:
        return ShimCache("8", [], [])  # an empty cache of 8.0 or 8.1: only the header
    tag = data[WIN8_HEADER_SIZE : WIN8_HEADER_SIZE + 4]
    if tag in (b"00ts", b"10ts"):
        layout = "8.0" if tag == b"00ts" else "8.1"
        return ShimCache(layout, _tagged(data, WIN8_HEADER_SIZE, layout, problems), problems)
    return ShimCache(None, [], [f"unknown signature 0x{signature:08x}"])


@decoder("appcompatcache", hive_types=("SYSTEM",),
         description="The application compatibility cache (ShimCache): programs Windows checked, most recent first.",
         keys=tuple(rf"CurrentControlSet\{SESSION_MANAGER}\{k}" for k in APPCOMPAT_KEYS),
         fields=(("control_set", "text"), ("position", "int"), ("path", "text"), ("last_modified", "time"),
                 ("executed", "bool"), ("layout", "text"), ("file_size", "int"), ("last_updated", "time"),
                 ("insert_flags", "int")),
         events={"last_modified": "file modified"}, summary="path")
def appcompatcache(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, session_manager in ctx.each_control_set(SESSION_MANAGER):
        for name in APPCOMPAT_KEYS:
            key = ctx.key(name, session_manager)
            data = ctx.raw(key, APPCOMPAT_VALUE)
            if key is None or data is None:
                continue
            cache = parse_appcompatcache(data)
            for message in cache.problems:
                ctx.problem(key, f"AppCompatCache: {message}")
            for position, entry in enumerate(cache.entries):
                yield ctx.row(key, control_set=control_set, position=position, path=entry.path,
                              last_modified=entry.last_modified, executed=entry.executed, layout=cache.layout,
                              file_size=entry.file_size, last_updated=entry.last_updated,
                              insert_flags=entry.insert_flags)


# --- Background Activity Moderator -----------------------------------------------------------

# Each SID's key holds a value per program, 24 bytes: its last run (FILETIME) first, then unknown
# fields.
BAM_SERVICES = ("bam", "dam")
BAM_LOCATIONS = ("UserSettings", r"State\UserSettings")
BAM_NOT_ENTRIES = {"version", "sequencenumber"}
BAM_ENTRY_SIZE = 24


@decoder("bam", hive_types=("SYSTEM",),
         description="Programs the Background (and Desktop) Activity Moderator saw run, by user.",
         keys=tuple(rf"CurrentControlSet\Services\{s}\{p}" for s in BAM_SERVICES for p in BAM_LOCATIONS),
         fields=(("control_set", "text"), ("source", "text"), ("sid", "text"), ("path", "text"),
                 ("last_run", "time")),
         events={"last_run": "program run"}, summary="path")
def bam(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, services in ctx.each_control_set("Services"):
        for source in BAM_SERVICES:
            for location in BAM_LOCATIONS:
                for sid_key in ctx.subkeys(ctx.key(rf"{source}\{location}", services)):
                    for value in ctx.values(sid_key):
                        path = value.name()
                        if path.lower() in BAM_NOT_ENTRIES:
                            continue
                        raw = value.raw_data()
                        if not 8 <= len(raw) <= BAM_ENTRY_SIZE:
                            ctx.problem(sid_key, f"BAM value {path!r} holds {len(raw)} bytes, not an entry's 24")
                            continue
                        yield ctx.row(sid_key, control_set=control_set, source=source, sid=sid_key.name(),
                                      path=path, last_run=times.filetime(U64.unpack_from(raw)[0]))


# --- Amcache ----------------------------------------------------------------------------------

AMCACHE_DATE = "%m/%d/%Y %H:%M:%S"  # LinkDate and InstallDate, as Windows 10 writes them (UTC)
SHA1_PREFIX = "0000"


def _amcache_date(text: str | None) -> datetime.datetime | None:
    if not text:
        return None
    try:
        return datetime.datetime.strptime(text.strip(), AMCACHE_DATE).replace(tzinfo=UTC)
    except ValueError:
        return None


def _sha1(text: str | None) -> str | None:
    """40 hex digits from a FileId ("0000" and the SHA-1); None for anything else."""
    if text is None:
        return None
    if len(text) == 44 and text.startswith(SHA1_PREFIX):
        text = text[4:]
    if len(text) != 40 or not text.isascii():
        return None
    try:
        bytes.fromhex(text)  # hex digits only (fromhex would also take spaces, which isalnum turns away)
    except ValueError:
        return None
    return text.lower() if text.isalnum() else None


def _size(value: kelpa.RegistryValue | None) -> int | None:
    """Size: a QWORD or DWORD, or text in hex ("0x7fac0") or decimal."""
    if value is None:
        return None
    type_id, raw = value.value_type().type_id(), value.raw_data()
    text = as_text(type_id, raw)
    if text is None:
        return None
    text = text.strip().lower()
    try:
        return int(text, 16) if text.startswith("0x") else int(text)
    except ValueError:
        return None


def _base_name(path: str | None) -> str | None:
    return None if path is None else path.rsplit("\\", 1)[-1]


# The older layout (Windows 8 to early 10): Root\File\{volume GUID}\{file reference}, values named
# by hexadecimal numbers. The file's times are FILETIMEs; 17, often the only one, is the last
# modification time as the store recorded it.
AMCACHE_FILE_VALUES = {"product_name": "0", "publisher": "1", "version": "5", "size": "6", "link_date": "f",
                       "last_modified": "11", "created": "12", "path": "15", "last_modified_store": "17",
                       "program_id": "100", "sha1": "101"}


def _file_rows(ctx: Context) -> Iterator[dict[str, Any]]:
    n = AMCACHE_FILE_VALUES
    for volume in ctx.subkeys(ctx.key(r"Root\File")):
        for key in ctx.subkeys(volume):
            v = _by_name(ctx, key)
            path = _text(v, n["path"])
            link = _number(v, n["link_date"])
            yield ctx.row(key, path=path, name=_base_name(path), sha1=_sha1(_text(v, n["sha1"])),
                          size=_number(v, n["size"]), link_date=times.unix(link), version=_text(v, n["version"]),
                          product_name=_text(v, n["product_name"]), publisher=_text(v, n["publisher"]),
                          program_id=_text(v, n["program_id"]), binary_type=None, source="File",
                          last_modified=times.filetime(_number(v, n["last_modified"])),
                          created=times.filetime(_number(v, n["created"])),
                          last_modified_store=times.filetime(_number(v, n["last_modified_store"])))


def _inventory_file_rows(ctx: Context) -> Iterator[dict[str, Any]]:
    for key in ctx.subkeys(ctx.key(r"Root\InventoryApplicationFile")):
        v = _by_name(ctx, key)
        path = _text(v, "LowerCaseLongPath")
        yield ctx.row(key, path=path, name=_text(v, "Name") or _base_name(path), sha1=_sha1(_text(v, "FileId")),
                      size=_size(v.get("Size")), link_date=_amcache_date(_text(v, "LinkDate")),
                      version=_text(v, "Version"), product_name=_text(v, "ProductName"),
                      publisher=_text(v, "Publisher"), program_id=_text(v, "ProgramId"),
                      binary_type=_text(v, "BinaryType"), source="InventoryApplicationFile",
                      last_modified=None, created=None, last_modified_store=None)


@decoder("amcache_file", hive_types=("AMCACHE",),
         description="Files Amcache inventoried (run, installed or scanned): path, SHA-1, size, version.",
         keys=(r"Root\InventoryApplicationFile", r"Root\File"),
         fields=(("path", "text"), ("name", "text"), ("sha1", "text"), ("size", "int"), ("link_date", "time"),
                 ("version", "text"), ("product_name", "text"), ("publisher", "text"), ("program_id", "text"),
                 ("binary_type", "text"), ("source", "text"), ("last_modified", "time"), ("created", "time"),
                 ("last_modified_store", "time")),
         events={"last_modified": "file modified", "created": "file created",
                 "last_modified_store": "file modified"}, summary="path")
def amcache_file(ctx: Context) -> Iterator[dict[str, Any]]:
    yield from _inventory_file_rows(ctx)
    yield from _file_rows(ctx)


# The older layout: Root\Programs\{program id}, values named by hexadecimal numbers; the install
# date is a Unix time in the low half of a QWORD.
AMCACHE_PROGRAM_VALUES = {"name": "0", "version": "1", "publisher": "2", "install_source": "6",
                          "uninstall_key": "7", "install_date": "a", "directories": "d"}


@decoder("amcache_program", hive_types=("AMCACHE",),
         description="Programs Amcache found installed: name, version, publisher, install date.",
         keys=(r"Root\InventoryApplication", r"Root\Programs"),
         fields=(("program_id", "text"), ("name", "text"), ("version", "text"), ("publisher", "text"),
                 ("install_date", "time"), ("root_dir_path", "text"), ("uninstall_string", "text"),
                 ("source", "text"), ("install_source", "text"), ("uninstall_key", "text")),
         events={"install_date": "program installed"}, summary="name")
def amcache_program(ctx: Context) -> Iterator[dict[str, Any]]:
    for key in ctx.subkeys(ctx.key(r"Root\InventoryApplication")):
        v = _by_name(ctx, key)
        yield ctx.row(key, program_id=_text(v, "ProgramId") or key.name(), name=_text(v, "Name"),
                      version=_text(v, "Version"), publisher=_text(v, "Publisher"),
                      install_date=_amcache_date(_text(v, "InstallDate")), root_dir_path=_text(v, "RootDirPath"),
                      uninstall_string=_text(v, "UninstallString"), source="InventoryApplication",
                      install_source=_text(v, "Source"), uninstall_key=_text(v, "RegistryKeyPath") or None)
    n = AMCACHE_PROGRAM_VALUES
    for key in ctx.subkeys(ctx.key(r"Root\Programs")):
        v = _by_name(ctx, key)
        installed = _number(v, n["install_date"])
        yield ctx.row(key, program_id=key.name(), name=_text(v, n["name"]), version=_text(v, n["version"]),
                      publisher=_text(v, n["publisher"]),
                      install_date=None if installed is None else times.unix(installed & 0xFFFFFFFF),
                      root_dir_path=_first_text(v, n["directories"]), uninstall_string=None, source="Programs",
                      install_source=_text(v, n["install_source"]), uninstall_key=_first_text(v, n["uninstall_key"]))


# --- RunMRU -----------------------------------------------------------------------------------

RUN_MRU = r"Software\Microsoft\Windows\CurrentVersion\Explorer\RunMRU"
RUN_MRU_END = "\\1"  # the Run dialog ends every command it stores with these two characters


@decoder("run_mru", hive_types=("NTUSER",), description="Commands typed into the Run dialog, most recent first.",
         keys=(RUN_MRU,), fields=(("order", "int"), ("entry", "text"), ("command", "text")), summary="command")
def run_mru(ctx: Context) -> Iterator[dict[str, Any]]:
    key = ctx.key(RUN_MRU)
    if key is None:
        return
    values = _by_name(ctx, key)
    listed = mru_list(key)
    unlisted = sorted(n for n in values if n != "MRUList" and n not in listed)
    for order, entry in [*enumerate(listed), *((None, n) for n in unlisted)]:
        command = _text(values, entry)
        if command is not None:
            yield ctx.row(key, order=order, entry=entry, command=command.removesuffix(RUN_MRU_END))
