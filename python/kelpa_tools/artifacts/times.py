"""The time stamps artifacts store, as datetimes: FILETIME, Unix time, SYSTEMTIME and DOS date and
time. Times stored as UTC come back aware (UTC); times stored as local time come back naive, as
written, and the fields that hold them say so in their names (`created_local`). Zero, absent and
impossible times are None: a decoder never makes a time up from garbage."""

from __future__ import annotations

import datetime
import struct

UTC = datetime.UTC
_EPOCH_1601 = datetime.datetime(1601, 1, 1, tzinfo=UTC)
_FILETIME_PER_SECOND = 10_000_000
# The last FILETIME a datetime can hold (9999-12-31 23:59:59.999999).
_FILETIME_MAX = (datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC) - _EPOCH_1601) // \
    datetime.timedelta(microseconds=1) * 10 + 9
SYSTEMTIME = struct.Struct("<8H")  # year, month, day of week, day, hour, minute, second, milliseconds


def filetime(value: int | None) -> datetime.datetime | None:
    """A FILETIME (100 ns ticks since 1601-01-01 UTC): None for 0, for all bits set and for ticks
    past the year 9999. The last digit of the ticks (below a microsecond) is dropped."""
    if not value or value > _FILETIME_MAX:
        return None
    return _EPOCH_1601 + datetime.timedelta(microseconds=value // 10)


def filetime_at(data: bytes, offset: int) -> datetime.datetime | None:
    """The FILETIME stored little-endian at `offset` of `data`; None where the data is too short."""
    if offset < 0 or len(data) < offset + 8:
        return None
    return filetime(int.from_bytes(data[offset : offset + 8], "little"))


def unix(seconds: int | None) -> datetime.datetime | None:
    """Seconds since 1970-01-01 UTC; None for 0 and for values outside the years 1970 to 9999."""
    if not seconds or seconds < 0:
        return None
    try:
        return datetime.datetime.fromtimestamp(seconds, UTC)
    except (OverflowError, OSError, ValueError):
        return None


def _systemtime_fields(data: bytes, offset: int) -> datetime.datetime | None:
    if offset < 0 or len(data) < offset + SYSTEMTIME.size:
        return None
    year, month, _weekday, day, hour, minute, second, millis = SYSTEMTIME.unpack_from(data, offset)
    if year == 0 and month == 0:
        return None
    try:
        return datetime.datetime(year, month, day, hour, minute, second, millis * 1000)
    except ValueError:
        return None


def systemtime(data: bytes, offset: int = 0) -> datetime.datetime | None:
    """A 16-byte SYSTEMTIME stored as UTC; None when zero, too short or not a date."""
    moment = _systemtime_fields(data, offset)
    return None if moment is None else moment.replace(tzinfo=UTC)


def systemtime_local(data: bytes, offset: int = 0) -> datetime.datetime | None:
    """A 16-byte SYSTEMTIME stored as local time: naive, as written."""
    return _systemtime_fields(data, offset)


def dos(date: int, time: int) -> datetime.datetime | None:
    """A DOS date and time (local time, two-second steps): naive, as written; None when zero or
    not a date."""
    if date == 0 and time == 0:
        return None
    try:
        return datetime.datetime(1980 + (date >> 9), (date >> 5) & 0xF, date & 0x1F,
                                 time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2)
    except ValueError:
        return None
