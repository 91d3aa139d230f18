"""User activity: what a user typed, searched for and connected to, and the files Office opened.

- TypedURLs and TypedPaths hold values url1, url2, ... (url1 the most recent), each a string;
  TypedURLsTime holds, under the same value names, an 8-byte FILETIME of when each was typed.
- WordWheelQuery (Explorer's search box) holds values 0, 1, ... of NUL-terminated UTF-16LE
  text, ordered by MRUListEx.
- Terminal Server Client\\Servers has a key per server connected to, with the user name last
  given (UsernameHint); Terminal Server Client\\Default lists the servers most recent first
  (MRU0, MRU1, ...).
- Office (2010 on) keeps, per version and application, File MRU and Place MRU keys (and, per
  signed-in account, User MRU\\<account>\\File MRU and Place MRU) with values Item 1, Item 2, ...
  (Item 1 the most recent) of the form "[F00000000][T01D65A7B4C94EE2][O00000000]*C:\\path": the
  T field is a FILETIME in hex, of when the item was last opened."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import kelpa

from . import mru, times
from .base import Context, decoder, utf16

EXPLORER = r"Software\Microsoft\Windows\CurrentVersion\Explorer"
TYPED_URLS = r"Software\Microsoft\Internet Explorer\TypedURLs"
TYPED_URLS_TIME = r"Software\Microsoft\Internet Explorer\TypedURLsTime"
TYPED_PATHS = EXPLORER + r"\TypedPaths"
WORD_WHEEL_QUERY = EXPLORER + r"\WordWheelQuery"
TERMINAL_SERVER_CLIENT = r"Software\Microsoft\Terminal Server Client"
OFFICE = r"Software\Microsoft\Office"
OFFICE_LISTS = ("File MRU", "Place MRU")
OFFICE_TIME_DIGITS = 16


def _numbered(ctx: Context, key: kelpa.RegistryKey | None, prefix: str) -> list[tuple[int, kelpa.RegistryValue]]:
    """(number, value) of the values named `prefix` and a number from 1 (any letter case), in
    number order."""
    found = []
    for value in ctx.values(key):
        name = value.name()
        if name[: len(prefix)].lower() == prefix.lower() and name[len(prefix) :].isdigit() \
                and name[len(prefix) :].isascii():
            found.append((int(name[len(prefix) :]), value))
    return sorted(found, key=lambda item: item[0])


def _text(ctx: Context, key: kelpa.RegistryKey, value: kelpa.RegistryValue) -> str | None:
    """A value's data as UTF-16LE text up to its first NUL, whatever its type; None when its data
    cannot be read (a problem)."""
    try:
        return utf16(value.raw_data())
    except ValueError as e:
        ctx.problem(key, f"{value.name()}: {e}")
        return None


@decoder("typed_url", hive_types=("NTUSER",), description="Addresses typed in Internet Explorer's address bar, "
         "with when each was typed (Windows 8 on).",
         keys=(TYPED_URLS, TYPED_URLS_TIME),
         fields=(("order", "int"), ("entry", "text"), ("url", "text"), ("time", "time")),
         events={"time": "URL typed"}, summary="url")
def typed_url(ctx: Context) -> Iterator[dict[str, Any]]:
    key = ctx.key(TYPED_URLS)
    if key is None:
        return
    timed = ctx.key(TYPED_URLS_TIME)
    for number, value in _numbered(ctx, key, "url"):
        when = None
        if (raw := ctx.raw(timed, value.name())) is not None:
            if len(raw) != 8:
                ctx.problem(timed, f"{value.name()} holds {len(raw)} bytes, not a FILETIME's 8")
            else:
                when = times.filetime_at(raw, 0)
        yield ctx.row(key, order=number - 1, entry=value.name(), url=_text(ctx, key, value), time=when)


@decoder("typed_path", hive_types=("NTUSER",), description="Paths typed in Explorer's address bar.",
         keys=(TYPED_PATHS,), fields=(("order", "int"), ("entry", "text"), ("path", "text")), summary="path")
def typed_path(ctx: Context) -> Iterator[dict[str, Any]]:
    key = ctx.key(TYPED_PATHS)
    for number, value in _numbered(ctx, key, "url"):
        yield ctx.row(key, order=number - 1, entry=value.name(), path=_text(ctx, key, value))


@decoder("word_wheel_query", hive_types=("NTUSER",), description="Searches typed in Explorer's search box, most "
         "recent first; entries the MRU list does not name come last, without an order.",
         keys=(WORD_WHEEL_QUERY,), fields=(("order", "int"), ("entry", "int"), ("term", "text")), summary="term")
def word_wheel_query(ctx: Context) -> Iterator[dict[str, Any]]:
    key = ctx.key(WORD_WHEEL_QUERY)
    if key is None:
        return
    entries = {int(v.name()): v for v in ctx.values(key) if v.name().isdigit() and v.name().isascii()}
    ordered = [n for n in mru.mru_list_ex(key) if n in entries]
    listed = set(ordered)
    for order, number in enumerate([*ordered, *sorted(n for n in entries if n not in listed)]):
        yield ctx.row(key, order=order if number in listed else None, entry=number,
                      term=_text(ctx, key, entries[number]))


@decoder("rdp_server", hive_types=("NTUSER",), description="Servers the Remote Desktop client connected to, with the "
         "user name last given; order from the client's most-recent list where it names the server.",
         keys=(TERMINAL_SERVER_CLIENT + r"\Servers", TERMINAL_SERVER_CLIENT + r"\Servers\*",
               TERMINAL_SERVER_CLIENT + r"\Default"),
         fields=(("server", "text"), ("username_hint", "text"), ("order", "int")), summary="server")
def rdp_server(ctx: Context) -> Iterator[dict[str, Any]]:
    default = ctx.key(TERMINAL_SERVER_CLIENT + r"\Default")
    recent: dict[str, int] = {}
    for number, value in _numbered(ctx, default, "MRU"):
        if (server := _text(ctx, default, value)) and server.lower() not in recent:
            recent[server.lower()] = number
    seen = set()
    for key in ctx.subkeys(ctx.key(TERMINAL_SERVER_CLIENT + r"\Servers")):
        server = key.name()
        seen.add(server.lower())
        yield ctx.row(key, server=server, username_hint=ctx.text(key, "UsernameHint"),
                      order=recent.get(server.lower()))
    for number, value in _numbered(ctx, default, "MRU"):
        server = _text(ctx, default, value)
        if server and server.lower() not in seen and recent.get(server.lower()) == number:
            yield ctx.row(default, server=server, username_hint=None, order=number)


def _office_item(text: str) -> tuple[str, int | None]:
    """(path, FILETIME or None) of an Office MRU item: "[F..][T<16 hex digits>][O..]*path", or a
    path alone."""
    if not text.startswith("[") or "*" not in text:
        return text, None
    head, _, path = text.partition("*")
    for field in head.strip("[]").split("]["):
        digits = field[1:]
        if field[:1] == "T" and len(digits) == OFFICE_TIME_DIGITS and digits.isascii() and digits.isalnum():
            try:
                return path, int(digits, 16)
            except ValueError:
                return path, None
    return path, None


def _office_lists(ctx: Context) -> Iterator[tuple[str, str, str, str | None, kelpa.RegistryKey]]:
    """(version, application, list, account, key) of every File MRU and Place MRU key."""
    for version in ctx.subkeys(ctx.key(OFFICE)):
        for application in ctx.subkeys(version):
            below = {k.name().lower(): k for k in ctx.subkeys(application)}
            for name in OFFICE_LISTS:
                if (key := below.get(name.lower())) is not None:
                    yield version.name(), application.name(), name, None, key
            for account in ctx.subkeys(below.get("user mru")):
                lists = {k.name().lower(): k for k in ctx.subkeys(account)}
                for name in OFFICE_LISTS:
                    if (key := lists.get(name.lower())) is not None:
                        yield version.name(), application.name(), name, account.name(), key


@decoder("office_mru", hive_types=("NTUSER",), description="Files and folders Microsoft Office applications "
         "opened, most recent first, with when each was last opened.",
         keys=tuple(OFFICE + rf"\*\*\{suffix}" for suffix in
                    (*OFFICE_LISTS, *(rf"User MRU\*\{name}" for name in OFFICE_LISTS))),
         fields=(("application", "text"), ("version", "text"), ("list", "text"), ("account", "text"),
                 ("order", "int"), ("entry", "text"), ("path", "text"), ("last_opened", "time")),
         events={"last_opened": "opened in Office"}, summary="path")
def office_mru(ctx: Context) -> Iterator[dict[str, Any]]:
    for version, application, name, account, key in _office_lists(ctx):
        for number, value in _numbered(ctx, key, "Item "):
            text = _text(ctx, key, value)
            if text is None:
                continue
            path, filetime = _office_item(text)
            if filetime is None and text.startswith("["):
                ctx.problem(key, f"{value.name()} has no [T...] time field: {text[:40]!r}")
            yield ctx.row(key, application=application, version=version, list=name, account=account,
                          order=number - 1, entry=value.name(), path=path, last_opened=times.filetime(filetime))
