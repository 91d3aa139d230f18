"""JSON lines: one object per key, in walk order, with its values."""

from __future__ import annotations

import argparse
import json
from typing import IO

import kelpa

from . import export, hives, outputs, values


class Sink:
    def __init__(self, out: IO[bytes], args: argparse.Namespace, header: bool = True) -> None:
        self.raw, self.out = out, outputs.text(out)

    def hive(self, reading: hives.Reading, hive: kelpa.Hive) -> None:
        for key_path, key in hives.walk(hive.root_key(), reading.problem):
            try:
                listed = [{"name": None if v.is_unnamed() else v.name(), "type": v.value_type().type_name(),
                           "data": values.typed(v)} for v in key.values()]
            except ValueError as e:
                reading.problem(e)
                listed = []
            record = {"hive": reading.path, "path": key_path, "last_written": hives.iso(hives.when(key, reading)),
                      "class_name": values.class_name(key, reading), "values": listed}
            self.out.write(json.dumps(record, ensure_ascii=False) + "\n")

    def part(self, part: str) -> None:
        self.out.flush()
        export.copy_part(part, self.raw)

    def close(self) -> None:
        self.out.flush()
        self.out.detach()
