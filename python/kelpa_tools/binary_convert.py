"""The conversions a batch rule asks for with BinaryConvert: a value's raw bytes, read from offset
0, as a time, an IPv4 address or a SID. Each returns the text or raises ConversionError saying why
the bytes do not convert."""

from __future__ import annotations

import datetime
import struct
from collections.abc import Callable

EPOCH_1601 = datetime.datetime(1601, 1, 1)
TICKS_PER_SECOND = 10_000_000  # FILETIME and .NET ticks: 100 ns


class ConversionError(ValueError):
    pass


def _need(data: bytes, size: int, name: str) -> None:
    if len(data) < size:
        raise ConversionError(f"{name} needs {size} bytes, got {len(data)}")


def time_text(moment: datetime.datetime, ticks: int = 0) -> str:
    """yyyy-MM-dd HH:mm:ss.fffffff: seconds, then 100 ns ticks in seven digits."""
    return (f"{moment.year:04d}-{moment.month:02d}-{moment.day:02d} "
            f"{moment.hour:02d}:{moment.minute:02d}:{moment.second:02d}.{ticks:07d}")


def filetime_text(filetime: int) -> str:
    """A FILETIME (100 ns since 1601-01-01 UTC) as yyyy-MM-dd HH:mm:ss.fffffff, all seven digits."""
    seconds, ticks = divmod(filetime, TICKS_PER_SECOND)
    try:
        return time_text(EPOCH_1601 + datetime.timedelta(seconds=seconds), ticks)
    except OverflowError:
        raise ConversionError(f"FILETIME {filetime} is past the year 9999") from None


def filetime(data: bytes) -> str:
    _need(data, 8, "FILETIME")
    return filetime_text(struct.unpack_from("<Q", data)[0])


def epoch(data: bytes) -> str:
    _need(data, 4, "EPOCH")
    return time_text(datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=struct.unpack_from("<I", data)[0]))


def ip(data: bytes) -> str:
    _need(data, 4, "IP")
    return ".".join(str(b) for b in data[:4])


def sid(data: bytes) -> str:
    """Revision, sub-authority count, 48-bit big-endian authority, then the little-endian sub-authorities."""
    _need(data, 8, "SID")
    count = data[1]
    _need(data, 8 + 4 * count, "SID")
    authority = int.from_bytes(data[2:8], "big")
    subs = struct.unpack_from(f"<{count}I", data, 8)
    return "-".join(["S", str(data[0]), str(authority), *map(str, subs)])


def systemtime(data: bytes) -> str:
    """Year, month, day of week, day, hour, minute, second, milliseconds: eight u16."""
    _need(data, 16, "SYSTEMTIME")
    year, month, _, day, hour, minute, second, ms = struct.unpack_from("<8H", data)
    try:
        return time_text(datetime.datetime(year, month, day, hour, minute, second), ms * 10_000)
    except ValueError as e:
        raise ConversionError(f"SYSTEMTIME is not a date: {e}") from None


def date_time_ticks(data: bytes) -> str:
    """.NET DateTime ticks: 100 ns since 0001-01-01, in the low 62 bits (the top two give the kind)."""
    _need(data, 8, "DateTimeTicks")
    ticks = struct.unpack_from("<Q", data)[0] & ((1 << 62) - 1)
    seconds, rest = divmod(ticks, TICKS_PER_SECOND)
    try:
        return time_text(datetime.datetime(1, 1, 1) + datetime.timedelta(seconds=seconds), rest)
    except OverflowError:
        raise ConversionError(f"DateTimeTicks {ticks} is past the year 9999") from None


def ole(data: bytes) -> str:
    """An OLE automation date: a double, days since 1899-12-30 (the fraction is the time of day)."""
    _need(data, 8, "OLE")
    days = struct.unpack_from("<d", data)[0]
    try:
        moment = datetime.datetime(1899, 12, 30) + datetime.timedelta(days=days)
    except (OverflowError, ValueError):
        raise ConversionError(f"OLE date {days!r} is out of range") from None
    return time_text(moment.replace(microsecond=0), moment.microsecond * 10)


CONVERSIONS: dict[str, Callable[[bytes], str]] = {
    "FILETIME": filetime, "EPOCH": epoch, "IP": ip, "SID": sid, "SYSTEMTIME": systemtime,
    "DATETIMETICKS": date_time_ticks, "OLE": ole,
}


def canonical(name: str) -> str | None:
    """The conversion a rule names (any letter case), or None."""
    upper = name.strip().upper()
    return upper if upper in CONVERSIONS else None


def convert(name: str, data: bytes) -> str:
    return CONVERSIONS[name](data)
