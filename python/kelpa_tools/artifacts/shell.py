"""Shell items: ShellBags and the MRU lists that remember folders and files. Every item ID list is
read by `shell_items.read`; a shell item's times are the folder's or file's own (as the file
system had them when Explorer stored the item), not when the user opened it."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import kelpa

from . import mru, shell_items
from .base import Context, decoder, utf16
from .shell_items import ItemList, ShellItem

# Where Explorer keeps ShellBags: NTUSER.DAT up to Windows Vista, UsrClass.dat from Windows 7 on.
NTUSER_BAGS = (r"Software\Microsoft\Windows\Shell\BagMRU", r"Software\Microsoft\Windows\ShellNoRoam\BagMRU",
               r"Software\Wow6432Node\Microsoft\Windows\Shell\BagMRU",
               r"Software\Wow6432Node\Microsoft\Windows\ShellNoRoam\BagMRU")
USRCLASS_BAGS = (r"Local Settings\Software\Microsoft\Windows\Shell\BagMRU",
                 r"Local Settings\Software\Microsoft\Windows\ShellNoRoam\BagMRU",
                 r"Wow6432Node\Local Settings\Software\Microsoft\Windows\Shell\BagMRU",
                 r"Wow6432Node\Local Settings\Software\Microsoft\Windows\ShellNoRoam\BagMRU")
MAX_BAG_DEPTH = 256  # deeper BagMRU trees are not walked further (a problem says so)
EXPLORER = r"Software\Microsoft\Windows\CurrentVersion\Explorer"
COMDLG32 = EXPLORER + r"\ComDlg32"
RECENT_DOCS = EXPLORER + r"\RecentDocs"

_ITEM_FIELDS = (("item_type", "text"), ("name", "text"), ("created", "time"), ("modified", "time"),
                ("accessed", "time"), ("mft_entry", "int"), ("mft_sequence", "int"))


def _numbered(ctx: Context, key: kelpa.RegistryKey) -> dict[int, kelpa.RegistryValue]:
    """The values of `key` named by a decimal number, by that number."""
    found = {}
    for value in ctx.values(key):
        name = value.name()
        if name.isascii() and name.isdigit():
            found[int(name)] = value
    return found


def _item_fields(item: ShellItem | None) -> dict[str, Any]:
    if item is None:
        return {name: None for name, _ in _ITEM_FIELDS}
    return {"item_type": item.type, "name": shell_items.component(item), "created": item.created,
            "modified": item.modified, "accessed": item.accessed, "mft_entry": item.mft_entry,
            "mft_sequence": item.mft_sequence}


def _noted(ctx: Context, key: kelpa.RegistryKey, name: str, items: ItemList) -> None:
    """Problems of an item list and its items, as problems of the key."""
    if items.problem:
        ctx.problem(key, f"value {name}: {items.problem}")
    for item in items.items:
        if item.problem:
            ctx.problem(key, f"value {name}: {item.type} item: {item.problem}")


@decoder("shellbag", hive_types=("NTUSER", "USRCLASS"),
         description="Folders Explorer showed (ShellBags): one row per BagMRU slot, with the folder's path and "
                     "the shell item's own times.",
         keys=NTUSER_BAGS + USRCLASS_BAGS,
         fields=(("path", "text"), *_ITEM_FIELDS, ("bag_key", "text"), ("slot", "int"), ("node_slot", "int"),
                 ("mru_position", "int"), ("first_interacted", "time"), ("last_interacted", "time"),
                 ("class_type", "int"), ("short_name", "text"), ("file_size", "int"), ("item_hex", "text")),
         events={"last_interacted": "folder opened", "first_interacted": "folder first opened"}, summary="path")
def shellbag(ctx: Context) -> Iterator[dict[str, Any]]:
    for location in NTUSER_BAGS + USRCLASS_BAGS:
        if (bag_mru := ctx.key(location)) is not None:
            yield from _bags(ctx, bag_mru)


def _bags(ctx: Context, top: kelpa.RegistryKey) -> Iterator[dict[str, Any]]:
    # Depth first, without recursion: (key, its path, the path so far, the item it stands for, depth).
    stack: list[tuple[kelpa.RegistryKey, str, str, ShellItem | None, int]] = [(top, ctx.path_of(top), "", None, 0)]
    while stack:
        key, key_path, path, parent, depth = stack.pop()
        if depth > MAX_BAG_DEPTH:
            ctx.problem(key_path, f"BagMRU deeper than {MAX_BAG_DEPTH} keys is not read")
            continue
        values = _numbered(ctx, key)
        order = {entry: position for position, entry in enumerate(mru.mru_list_ex(key))}
        subkeys = {int(k.name()): k for k in ctx.subkeys(key) if k.name().isascii() and k.name().isdigit()}
        try:
            written = key.last_written()
        except ValueError:
            written = None
        below = []
        for slot in sorted(values.keys() | subkeys.keys()):
            value, sub = values.get(slot), subkeys.get(slot)
            if value is None:  # a bag key whose item is gone: walk on below a placeholder
                ctx.problem(key, f"subkey {slot} has no value {slot}")
                below.append((sub, f"{key_path}\\{slot}", _placeholder(path, slot), None, depth + 1))
                continue
            items = shell_items.read(value.raw_data(), parent=parent)
            _noted(ctx, key, str(slot), items)
            item = items.items[-1] if items.items else None
            item_path = shell_items.join_path(items.items, path) if items.items else None
            position = order.get(slot)
            first = None
            node_slot = None
            if sub is not None:
                node_slot = ctx.number(sub, "NodeSlot")
                if not _numbered(ctx, sub):
                    try:
                        first = sub.last_written()
                    except ValueError:
                        first = None
                below.append((sub, f"{key_path}\\{slot}", item_path or _placeholder(path, slot), item, depth + 1))
            row = ctx.row(key, path=item_path, **_item_fields(item), bag_key=key_path, slot=slot,
                          node_slot=node_slot, mru_position=position, first_interacted=first,
                          last_interacted=written if position == 0 else None,
                          class_type=item.class_type if item else None, short_name=item.short_name if item else None,
                          file_size=item.file_size if item else None,
                          item_hex=item.data.hex() if item is not None and item.type == shell_items.UNKNOWN else None)
            yield row
        stack.extend(reversed(below))


def _placeholder(path: str, slot: int) -> str:
    """The path below a slot whose item is missing or unreadable: "<slot N>" stands for it."""
    return shell_items.append(path, ShellItem(shell_items.UNKNOWN, -1, name=f"<slot {slot}>"))


# --- the common dialogs' MRU lists ----------------------------------------------------------------

def _split_text(raw: bytes) -> tuple[str, int]:
    """A UTF-16LE string at the start of `raw` and the offset after its NUL (or the end)."""
    at = 0
    while at + 1 < len(raw) and (raw[at] or raw[at + 1]):
        at += 2
    return raw[:at].decode("utf-16-le", "replace"), min(at + 2, len(raw))


def _mru_entries(ctx: Context, key: kelpa.RegistryKey) -> Iterator[tuple[int | None, int, bytes]]:
    """(order, entry number, data) of an MRUListEx key's numbered values, in MRU order, then
    those the list does not name (order None)."""
    values = _numbered(ctx, key)
    listed = [entry for entry in mru.mru_list_ex(key) if entry in values]
    for order, entry in enumerate(listed):
        yield order, entry, values[entry].raw_data()
    for entry in sorted(values.keys() - set(listed)):
        yield None, entry, values[entry].raw_data()


def _letter_entries(ctx: Context, key: kelpa.RegistryKey) -> Iterator[tuple[int | None, str, bytes]]:
    """(order, letter, data) of an MRUList key's letter-named values, in MRU order."""
    values = {v.name(): v for v in ctx.values(key) if len(v.name()) == 1 and v.name().isalpha()}
    listed = [letter for letter in mru.mru_list(key) if letter in values]
    for order, letter in enumerate(listed):
        yield order, letter, values[letter].raw_data()
    for letter in sorted(values.keys() - set(listed)):
        yield None, letter, values[letter].raw_data()


def _pidl_path(ctx: Context, key: kelpa.RegistryKey, entry: int | str, raw: bytes, at: int = 0) -> str | None:
    items = shell_items.read(raw, at=at)
    _noted(ctx, key, str(entry), items)
    return shell_items.join_path(items.items) if items.items else None


@decoder("open_save_mru", hive_types=("NTUSER",),
         description="Files opened or saved through the common file dialog, by extension (OpenSavePidlMRU; "
                     "OpenSaveMRU of Windows XP).",
         keys=(COMDLG32 + r"\OpenSavePidlMRU", COMDLG32 + r"\OpenSaveMRU"),
         fields=(("extension", "text"), ("order", "int"), ("entry", "text"), ("path", "text")), summary="path")
def open_save_mru(ctx: Context) -> Iterator[dict[str, Any]]:
    if (top := ctx.key(COMDLG32 + r"\OpenSavePidlMRU")) is not None:
        for key in ctx.subkeys(top):
            for order, entry, raw in _mru_entries(ctx, key):
                yield ctx.row(key, extension=key.name(), order=order, entry=str(entry),
                              path=_pidl_path(ctx, key, entry, raw))
    if (top := ctx.key(COMDLG32 + r"\OpenSaveMRU")) is not None:
        for key in [top, *ctx.subkeys(top)]:
            for order, letter, raw in _letter_entries(ctx, key):
                yield ctx.row(key, extension=None if key is top else key.name(), order=order, entry=letter,
                              path=utf16(raw))


@decoder("last_visited_mru", hive_types=("NTUSER",),
         description="The folder each program last used in the common file dialog (LastVisitedPidlMRU, "
                     "LastVisitedPidlMRULegacy; LastVisitedMRU of Windows XP).",
         keys=(COMDLG32 + r"\LastVisitedPidlMRU", COMDLG32 + r"\LastVisitedPidlMRULegacy",
               COMDLG32 + r"\LastVisitedMRU"),
         fields=(("order", "int"), ("entry", "text"), ("executable", "text"), ("path", "text")), summary="path")
def last_visited_mru(ctx: Context) -> Iterator[dict[str, Any]]:
    for name in ("LastVisitedPidlMRU", "LastVisitedPidlMRULegacy"):
        if (key := ctx.key(f"{COMDLG32}\\{name}")) is not None:
            for order, entry, raw in _mru_entries(ctx, key):
                executable, at = _split_text(raw)
                yield ctx.row(key, order=order, entry=str(entry), executable=executable,
                              path=_pidl_path(ctx, key, entry, raw, at))
    if (key := ctx.key(COMDLG32 + r"\LastVisitedMRU")) is not None:
        for order, letter, raw in _letter_entries(ctx, key):
            executable, at = _split_text(raw)
            yield ctx.row(key, order=order, entry=letter, executable=executable, path=_split_text(raw[at:])[0] or None)


@decoder("cid_size_mru", hive_types=("NTUSER",),
         description="Programs that showed the common file dialog (CIDSizeMRU).",
         keys=(COMDLG32 + r"\CIDSizeMRU",), fields=(("order", "int"), ("entry", "text"), ("executable", "text")),
         summary="executable")
def cid_size_mru(ctx: Context) -> Iterator[dict[str, Any]]:
    if (key := ctx.key(COMDLG32 + r"\CIDSizeMRU")) is not None:
        for order, entry, raw in _mru_entries(ctx, key):
            yield ctx.row(key, order=order, entry=str(entry), executable=_split_text(raw)[0])


@decoder("first_folder", hive_types=("NTUSER",),
         description="The folder each program's common file dialog first showed (FirstFolder).",
         keys=(COMDLG32 + r"\FirstFolder",),
         fields=(("order", "int"), ("entry", "text"), ("executable", "text"), ("path", "text")), summary="path")
def first_folder(ctx: Context) -> Iterator[dict[str, Any]]:
    if (key := ctx.key(COMDLG32 + r"\FirstFolder")) is not None:
        for order, entry, raw in _mru_entries(ctx, key):
            executable, at = _split_text(raw)
            yield ctx.row(key, order=order, entry=str(entry), executable=executable,
                          path=_split_text(raw[at:])[0] or None)


@decoder("recent_docs", hive_types=("NTUSER",),
         description="Files and folders the user opened recently, by extension (RecentDocs): the name and the "
                     "shell item of the shortcut Windows made for it.",
         keys=(RECENT_DOCS,),
         fields=(("extension", "text"), ("order", "int"), ("entry", "text"), ("name", "text"), ("target", "text")),
         summary="name")
def recent_docs(ctx: Context) -> Iterator[dict[str, Any]]:
    if (top := ctx.key(RECENT_DOCS)) is None:
        return
    for key in [top, *ctx.subkeys(top)]:
        for order, entry, raw in _mru_entries(ctx, key):
            name, at = _split_text(raw)
            target = None
            if at < len(raw):
                items = shell_items.read(raw, at=at)
                _noted(ctx, key, str(entry), items)
                target = shell_items.join_path(items.items) if items.items else None
            yield ctx.row(key, extension=None if key is top else key.name(), order=order, entry=str(entry),
                          name=name, target=target)
