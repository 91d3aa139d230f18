"""The README's table of artifact decoders, made from the registry: name, hive types and fields
(with their types). Prints it, or with --write README.md replaces the table between its two
marker lines, so that it follows the decoders as families are added.

    python examples/artifacts_table.py --write README.md
"""

from __future__ import annotations

import argparse
import pathlib
import sys

from kelpa_tools import artifacts

BEGIN, END = "<!-- artifact decoders: made by examples/artifacts_table.py -->", "<!-- end of artifact decoders -->"


def table() -> str:
    lines = ["| decoder | hive types | fields |", "|---|---|---|"]
    for d in artifacts.decoders():
        fields = ", ".join(f"`{f.name}`" + ("" if f.type == "text" else f" ({f.type})") for f in d.fields)
        lines.append(f"| `{d.name}` | {', '.join(d.hive_types)} | {fields} |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", metavar="README", help="replace the table between the markers in this file")
    args = parser.parse_args()
    if args.write is None:
        sys.stdout.write(table())
        return 0
    path = pathlib.Path(args.write)
    text = path.read_text(encoding="utf-8")
    if BEGIN not in text or END not in text:
        print(f"{path}: no lines {BEGIN!r} and {END!r} to put the table between", file=sys.stderr)
        return 1
    head, rest = text.split(BEGIN, 1)
    path.write_text(f"{head}{BEGIN}\n{table()}{END}{rest.split(END, 1)[1]}", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
