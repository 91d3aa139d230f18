"""The registry editor's text format ("Windows Registry Editor Version 5.00"): UTF-16LE with a
byte order mark and CRLF line ends, as the editor writes and imports it. Strings are written
literally only when the literal gives back exactly the stored bytes; DWORDs likewise; every other
value is written as hex(N) of its raw data, so an import stores every byte as it was."""

from __future__ import annotations

import argparse
import os
from typing import IO

import kelpa

from . import export, hives, outputs

HEADER = "\ufeffWindows Registry Editor Version 5.00\r\n\r\n"
REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4
WIDTH = 77  # hex lines end with a backslash at column 78 at most, as the editor writes them


def quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def literal(raw: bytes) -> str | None:
    """The text of a NUL-terminated UTF-16LE string that a literal stores back byte for byte."""
    if len(raw) < 2 or len(raw) % 2 or raw[-2:] != b"\0\0":
        return None
    try:
        text = raw[:-2].decode("utf-16-le")
    except UnicodeDecodeError:
        return None
    return None if any(c in text for c in "\0\r\n") else text


def hex_form(head: str, raw: bytes) -> str:
    text = raw.hex(",")
    first = max(1, (WIDTH - len(head)) // 3) * 3
    chunks = [text[:first]] + [text[i:i + WIDTH - 2] for i in range(first, len(text), WIDTH - 2)]
    return head + "\\\r\n  ".join(chunks)


def entry(value: kelpa.RegistryValue) -> str:
    head = ("@" if value.is_unnamed() else quoted(value.name())) + "="
    kind, raw = value.value_type().type_id(), value.raw_data()
    if kind == REG_SZ and (text := literal(raw)) is not None:
        return head + quoted(text)
    if kind == REG_DWORD and len(raw) == 4:
        return head + f"dword:{int.from_bytes(raw, 'little'):08x}"
    return hex_form(head + ("hex:" if kind == REG_BINARY else f"hex({kind:x}):"), raw)


def root_name(path: str, args: argparse.Namespace) -> str:
    return str(args.prefix) + "\\" + os.path.basename(path).split(".")[0]


class Sink:
    def __init__(self, out: IO[bytes], args: argparse.Namespace, header: bool = True) -> None:
        self.raw, self.args = out, args
        self.out = outputs.text(out, encoding="utf-16-le", newline="")
        if header:
            self.out.write(HEADER)

    def hive(self, reading: hives.Reading, hive: kelpa.Hive) -> None:
        root = root_name(reading.path, self.args)
        for key_path, key in hives.walk(hive.root_key(), reading.problem):
            try:
                lines = [entry(v) for v in key.values()]
            except ValueError as e:
                reading.problem(e)
                lines = []
            name = root + "\\" + key_path if key_path else root
            self.out.write(f"[{name}]\r\n" + "".join(line + "\r\n" for line in lines) + "\r\n")

    def part(self, part: str) -> None:
        self.out.flush()
        export.copy_part(part, self.raw)

    def close(self) -> None:
        self.out.detach()
