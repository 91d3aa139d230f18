"""Persistence: what starts by itself (Run keys, services, scheduled tasks)."""

from __future__ import annotations

import struct
import uuid
from collections.abc import Iterator
from typing import Any

from . import times
from .base import REG_EXPAND_SZ, REG_MULTI_SZ, REG_SZ, Context, as_number, as_text, as_texts, decoder, utf16

# The keys below are the same below a SOFTWARE hive's root and below an NTUSER hive's Software key;
# each has its 32-bit twin below Wow6432Node.
ROOTS = ("", "Software\\")
TWINS = ("", "Wow6432Node\\")
CURRENT_VERSION = r"Microsoft\Windows\CurrentVersion"
NT_CURRENT_VERSION = r"Microsoft\Windows NT\CurrentVersion"
# (location, key path): every string value of the key is a command.
RUN_KEYS = (("Run", rf"{CURRENT_VERSION}\Run"), ("RunOnce", rf"{CURRENT_VERSION}\RunOnce"),
            ("RunOnce\\Setup", rf"{CURRENT_VERSION}\RunOnce\Setup"),
            ("RunServices", rf"{CURRENT_VERSION}\RunServices"),
            ("RunServicesOnce", rf"{CURRENT_VERSION}\RunServicesOnce"),
            ("Policies\\Explorer\\Run", rf"{CURRENT_VERSION}\Policies\Explorer\Run"))
# RunOnceEx keeps its commands in numbered subkeys ("0001"), each value one command.
RUN_ONCE_EX = rf"{CURRENT_VERSION}\RunOnceEx"
# (location, key path, value names): the named values are commands.
NAMED_VALUES = (("Winlogon", rf"{NT_CURRENT_VERSION}\Winlogon", ("Shell", "Userinit", "Taskman")),
                ("Windows", rf"{NT_CURRENT_VERSION}\Windows", ("Load", "Run", "AppInit_DLLs")))
WINLOGON_NOTIFY = rf"{NT_CURRENT_VERSION}\Winlogon\Notify"
IFEO = rf"{NT_CURRENT_VERSION}\Image File Execution Options"
_STRINGS = (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)


class Values:
    """A key's values read once, by name in any letter case: cheaper than a look-up per name where a
    decoder reads many values of many keys (services, devices, programs)."""

    def __init__(self, ctx: Context, key: Any) -> None:
        self.by_name = {value.name().lower(): value for value in ctx.values(key)}

    def _typed(self, name: str) -> tuple[int, bytes] | None:
        value = self.by_name.get(name.lower())
        return None if value is None else (value.value_type().type_id(), value.raw_data())

    def text(self, name: str) -> str | None:
        typed = self._typed(name)
        return None if typed is None else as_text(*typed)

    def number(self, name: str) -> int | None:
        typed = self._typed(name)
        return None if typed is None else as_number(*typed)


def _paths(path: str) -> Iterator[tuple[str, str]]:
    """(twin prefix, key path) of `path` and its Wow6432Node twin below either hive's root."""
    for root in ROOTS:
        for twin in TWINS:
            yield twin, root + twin + path


def _command(value: Any) -> str | None:
    """A string value's text (a multi-string's strings joined by spaces); None for other types and
    for empty text."""
    type_id = value.value_type().type_id()
    if type_id not in _STRINGS:
        return None
    text = " ".join(as_texts(type_id, value.raw_data()) or []) if type_id == REG_MULTI_SZ else utf16(value.raw_data())
    return text if text.strip() else None


@decoder("autorun", hive_types=("NTUSER", "SOFTWARE"),
         description="Commands Windows starts by itself: Run keys, Winlogon, the Windows Load and Run values and "
                     "Image File Execution Options debuggers, with their 32-bit twins.",
         keys=tuple(root + twin + path for root in ROOTS for twin in TWINS
                    for path in (*(p for _, p in RUN_KEYS), RUN_ONCE_EX, *(p for _, p, _ in NAMED_VALUES),
                                 WINLOGON_NOTIFY, IFEO)),
         fields=(("location", "text"), ("name", "text"), ("command", "text")), summary="command")
def autorun(ctx: Context) -> Iterator[dict[str, Any]]:
    for location, path in RUN_KEYS:
        for twin, full in _paths(path):
            key = ctx.key(full)
            for value in ctx.values(key):
                if (command := _command(value)) is not None:
                    yield ctx.row(key, location=twin + location, name=value.name(), command=command)
    for twin, full in _paths(RUN_ONCE_EX):
        for key in ctx.subkeys(ctx.key(full)):
            for value in ctx.values(key):
                if (command := _command(value)) is not None:
                    yield ctx.row(key, location=twin + "RunOnceEx", name=f"{key.name()}\\{value.name()}",
                                  command=command)
    for location, path, names in NAMED_VALUES:
        for twin, full in _paths(path):
            key = ctx.key(full)
            for name in names if key is not None else ():
                value = ctx.value(key, name)
                if value is not None and (command := _command(value)) is not None:
                    yield ctx.row(key, location=twin + location, name=value.name(), command=command)
    for twin, full in _paths(WINLOGON_NOTIFY):
        for key in ctx.subkeys(ctx.key(full)):
            value = ctx.value(key, "DllName")
            if value is not None and (command := _command(value)) is not None:
                yield ctx.row(key, location=twin + "Winlogon\\Notify", name=key.name(), command=command)
    for twin, full in _paths(IFEO):
        for key in ctx.subkeys(ctx.key(full)):
            value = ctx.value(key, "Debugger")
            if value is not None and (command := _command(value)) is not None:
                yield ctx.row(key, location=twin + "Image File Execution Options", name=key.name(), command=command)


# --- Services --------------------------------------------------------------------------------

START_NAMES = {0: "boot", 1: "system", 2: "auto", 3: "demand", 4: "disabled"}
TYPE_NAMES = ((0x1, "kernel_driver"), (0x2, "file_system_driver"), (0x4, "adapter"), (0x8, "recognizer_driver"),
              (0x10, "own_process"), (0x20, "share_process"), (0x40, "user_service"),
              (0x80, "user_service_instance"), (0x100, "interactive_process"), (0x200, "package_service"))


@decoder("service", hive_types=("SYSTEM",),
         description="Services and drivers in each control set: what they run, how they start and as whom.",
         keys=(r"CurrentControlSet\Services",),
         fields=(("control_set", "text"), ("name", "text"), ("display_name", "text"), ("description", "text"),
                 ("image_path", "text"), ("service_dll", "text"), ("start", "int"), ("start_name", "text"),
                 ("delayed_auto_start", "bool"), ("type", "int"), ("type_names", "texts"), ("account", "text"),
                 ("group", "text")),
         summary="image_path")
def service(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, services in ctx.each_control_set("Services"):
        for key in ctx.subkeys(services):
            values = Values(ctx, key)
            start, type_, image_path = values.number("Start"), values.number("Type"), values.text("ImagePath")
            if start is None and type_ is None and image_path is None:
                continue  # a key of settings below Services, not a service
            delayed = values.number("DelayedAutostart")
            # ServiceDll is read from Parameters (Windows XP and later) or, before, the service key.
            dll = ctx.text(ctx.key("Parameters", key), "ServiceDll") if key.subkey_count() else None
            yield ctx.row(key, control_set=control_set, name=key.name(), display_name=values.text("DisplayName"),
                          description=values.text("Description"), image_path=image_path,
                          service_dll=dll or values.text("ServiceDll"), start=start,
                          start_name=None if start is None else START_NAMES.get(start),
                          delayed_auto_start=None if delayed is None else bool(delayed), type=type_,
                          type_names=None if type_ is None else [n for bit, n in TYPE_NAMES if type_ & bit],
                          account=values.text("ObjectName"), group=values.text("Group"))


# --- Scheduled tasks -------------------------------------------------------------------------

TASK_CACHE = r"Microsoft\Windows NT\CurrentVersion\Schedule\TaskCache"
TREE_DEPTH = 64
# DynamicInfo: a version (3), then the task's creation, last run, state, last result and (from
# Windows 8) last successful run.
DYNAMIC_INFO_VISTA = struct.Struct("<IQQII")  # Vista and 7: 28 bytes
DYNAMIC_INFO_8 = struct.Struct("<IQQIIQ")  # 8 and later: 36 bytes
DYNAMIC_INFO_VERSION = 3
# Actions: a version (u16); from version 2 the principal the actions run as (a counted string); then
# the actions, each a u16 type, a counted string id and the type's fields. A counted string is a u32
# byte count and that many bytes of UTF-16 text. Version 3 adds a u16 of flags to an exec action.
ACTION_VERSIONS = (1, 2, 3)
EXEC, COM_HANDLER, SEND_EMAIL, SHOW_MESSAGE = 0x6666, 0x7777, 0x8888, 0x9999
U16, U32 = struct.Struct("<H"), struct.Struct("<I")


@decoder("scheduled_task", hive_types=("SOFTWARE",),
         description="Scheduled tasks from the task cache: path, what they run, and when they were created, last "
                     "run and last succeeded.",
         keys=(rf"{TASK_CACHE}\Tasks", rf"{TASK_CACHE}\Tree"),
         fields=(("path", "text"), ("id", "text"), ("actions", "texts"), ("run_as", "text"), ("author", "text"),
                 ("description", "text"), ("created", "time"), ("last_run", "time"), ("last_success", "time"),
                 ("last_result", "int")),
         events={"created": "task created", "last_run": "task run", "last_success": "task succeeded"},
         summary="path")
def scheduled_task(ctx: Context) -> Iterator[dict[str, Any]]:
    tasks = ctx.key(rf"{TASK_CACHE}\Tasks")
    if tasks is None:
        return
    tree = _task_tree(ctx, ctx.key(rf"{TASK_CACHE}\Tree"))
    for key in ctx.subkeys(tasks):
        task_id = key.name()
        run_as, actions = None, None
        if (raw := ctx.raw(key, "Actions")) is not None:
            run_as, actions, problem = task_actions(raw)
            if problem:
                ctx.problem(key, f"Actions: {problem}")
        created, last_run, last_success, last_result = _dynamic_info(ctx, key)
        yield ctx.row(key, path=ctx.text(key, "Path") or tree.get(task_id.upper()), id=task_id, actions=actions,
                      run_as=run_as, author=ctx.text(key, "Author"), description=ctx.text(key, "Description"),
                      created=created, last_run=last_run, last_success=last_success, last_result=last_result)


def _task_tree(ctx: Context, tree: Any) -> dict[str, str]:
    """Each task's path in the Tree key ("\\Microsoft\\Windows\\Defrag\\ScheduledDefrag") by its Id
    in capitals."""
    paths: dict[str, str] = {}
    stack = [(key, "\\" + key.name(), 1) for key in ctx.subkeys(tree)]
    while stack:
        key, path, depth = stack.pop()
        if (task_id := ctx.text(key, "Id")) is not None:
            paths.setdefault(task_id.upper(), path)
        if depth < TREE_DEPTH and key.subkey_count():
            stack.extend((sub, f"{path}\\{sub.name()}", depth + 1) for sub in ctx.subkeys(key))
    return paths


def _dynamic_info(ctx: Context, key: Any) -> tuple[Any, Any, Any, int | None]:
    raw = ctx.raw(key, "DynamicInfo")
    if raw is None:
        return None, None, None, None
    if len(raw) == DYNAMIC_INFO_8.size:
        version, created, last_run, _state, result, success = DYNAMIC_INFO_8.unpack(raw)
    elif len(raw) == DYNAMIC_INFO_VISTA.size:
        (version, created, last_run, _state, result), success = DYNAMIC_INFO_VISTA.unpack(raw), 0
    else:
        ctx.problem(key, f"DynamicInfo holds {len(raw)} bytes, not 28 or 36")
        return None, None, None, None
    if version != DYNAMIC_INFO_VERSION:
        ctx.problem(key, f"DynamicInfo has the unknown version {version}")
        return None, None, None, None
    return times.filetime(created), times.filetime(last_run), times.filetime(success), result


class _Truncated(Exception):
    pass


class _Reader:
    """Reads a blob front to back; reading past its end raises _Truncated."""

    def __init__(self, data: bytes) -> None:
        self.data, self.at = data, 0

    def unpack(self, layout: struct.Struct) -> int:
        if self.at + layout.size > len(self.data):
            raise _Truncated
        (number,) = layout.unpack_from(self.data, self.at)
        self.at += layout.size
        return number

    def take(self, size: int) -> bytes:
        if self.at + size > len(self.data):
            raise _Truncated
        self.at += size
        return self.data[self.at - size : self.at]

    def text(self) -> str:
        size = self.unpack(U32)
        if size & 1:
            raise _Truncated  # UTF-16 text has an even number of bytes
        return utf16(self.take(size))

    def done(self) -> bool:
        return self.at >= len(self.data)


def task_actions(raw: bytes) -> tuple[str | None, list[str] | None, str | None]:
    """(principal, actions, problem) of an Actions blob: each exec action as its command and
    arguments, a COM handler as "ComHandler {CLSID} data", an e-mail as "SendEmail to", a message
    as "ShowMessage caption". What cannot be read ends the list and names the problem."""
    reader = _Reader(raw)
    try:
        version = reader.unpack(U16)
    except _Truncated:
        return None, None, f"{len(raw)} bytes are too few for a version"
    if version not in ACTION_VERSIONS:
        return None, None, f"the unknown version {version}"
    actions: list[str] = []
    run_as = None
    try:
        run_as = (reader.text() or None) if version >= 2 else None
        while not reader.done():
            start = reader.at
            kind = reader.unpack(U16)
            reader.text()  # the action's id
            if kind == EXEC:
                command, arguments, _directory = reader.text(), reader.text(), reader.text()
                if version >= 3:
                    reader.unpack(U16)
                actions.append(f"{command} {arguments}" if arguments else command)
            elif kind == COM_HANDLER:
                clsid = "{" + str(uuid.UUID(bytes_le=reader.take(16))).upper() + "}"
                data = reader.text()
                actions.append(f"ComHandler {clsid} {data}" if data else f"ComHandler {clsid}")
            elif kind == SEND_EMAIL:
                _from, to, *_rest = (reader.text() for _ in range(8))
                for _ in range(reader.unpack(U32)):  # attachments
                    reader.text()
                for _ in range(reader.unpack(U32)):  # headers: name and value
                    reader.text(), reader.text()
                actions.append(f"SendEmail {to}")
            elif kind == SHOW_MESSAGE:
                caption, _content = reader.text(), reader.text()
                actions.append(f"ShowMessage {caption}")
            else:
                return run_as, actions or None, f"the unknown action type 0x{kind:04X} at offset {start}"
    except _Truncated:
        return run_as, actions or None, f"an action runs past the end of the {len(raw)} bytes"
    return run_as, actions or None, None
