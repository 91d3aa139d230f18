"""JSON lines: one object per key, in walk order, with its values."""

from __future__ import annotations

import argparse
import json

import kelpa

from . import export, hives, values


def write(hive: kelpa.Hive, path: str, args: argparse.Namespace, out: str,
          report: hives.Report) -> None:
    with open(out, "w", encoding="utf-8") as f:
        for key_path, key in hives.walk(hive.root_key(), report):
            try:
                listed = [{"name": v.name(), "type": v.value_type().type_name(),
                           "data": values.typed(v)} for v in key.values()]
            except ValueError as e:
                report(e)
                listed = []
            record = {"hive": path, "path": key_path, "last_written": hives.iso(hives.when(key, report)),
                      "values": listed}
            f.write(json.dumps(record, ensure_ascii=False) + "\n")


def combine(parts: list[str], output: str | None) -> None:
    export.concatenate(parts, output)
