"""export: a hive's keys and values as a .reg file, JSON lines or a Parquet table."""

from __future__ import annotations

import argparse
import importlib
import os
import shutil
import sys
import tempfile
from typing import Any

from . import hives

FORMATS = {"reg": "reg_format", "jsonl": "jsonl_format", "parquet": "parquet_format"}


def writer(name: str) -> Any:
    return importlib.import_module(f"{__package__}.{FORMATS[name]}")


def part_of(path: str, args: argparse.Namespace, report: hives.Report) -> str:
    """Writes one hive's export into a file of its own in args.parts; returns its name."""
    hive = hives.open_hive(path, args)
    handle, part = tempfile.mkstemp(dir=str(args.parts))
    os.close(handle)
    writer(args.format).write(hive, path, args, part, report)
    return part


def export(args: argparse.Namespace) -> int:
    fmt = writer(args.format)  # a missing optional library is reported before any work
    paths = hives.find_hives(args.hives)
    beside = os.path.dirname(os.path.abspath(args.output)) if args.output else None
    with tempfile.TemporaryDirectory(prefix=".kelpa-export-", dir=beside) as parts:
        args.parts = parts
        done, failed = hives.run_many(paths, part_of, args)
        fmt.combine([part for _, part in done], args.output)
    return 1 if failed else 0


def concatenate(parts: list[str], output: str | None, head: bytes = b"") -> None:
    """The parts one after the other, after `head`, into `output` (standard output if None)."""
    with open(output, "wb") if output else open(sys.stdout.fileno(), "wb", closefd=False) as out:
        out.write(head)
        for part in parts:
            with open(part, "rb") as f:
                shutil.copyfileobj(f, out, 1 << 20)
