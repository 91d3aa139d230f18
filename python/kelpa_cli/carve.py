"""carve: hives and hive fragments found in disk images, unallocated space and memory dumps,
written into a folder with a manifest."""

from __future__ import annotations

import argparse
import os
import sys

from kelpa_tools import carve as carving

from . import answers, hives, outputs
from .text import safe


def add_parser(commands: argparse._SubParsersAction, jobs: type) -> None:
    sub = commands.add_parser("carve", help="Find hives in disk images and memory dumps and write them to a folder.",
                              description="Find hives and hive fragments in disk images, unallocated space and "
                                          "memory dumps (at 512-byte boundaries), reassemble those whose bins lie "
                                          "apart, and write each into OUT with OUT/manifest.csv listing them.",
                              epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.set_defaults(run=carve)
    sub.add_argument("sources", nargs="+", metavar="SOURCE", help="image, dump or device to search (read only)")
    sub.add_argument("-o", "--output", required=True, metavar="OUT",
                     help="folder for the hives and the manifest (made if missing; its parent must exist)")
    sub.add_argument("--min-size", type=answers.byte_count, default=0, metavar="N",
                     help="leave out hives and fragments with fewer than N bytes of bins found")
    sub.add_argument("-j", "--jobs", type=jobs, default=os.process_cpu_count() or 1, metavar="N",
                     help="sources searched at once, in parallel processes (default: the number of cores)")
    sub.add_argument("--json", action="store_true", help="write OUT/manifest.json too (the same rows as objects)")


EPILOG = """\
Each hive is written as SOURCE-OFFSET-KIND (OFFSET in hexadecimal): KIND is hive (every bin behind
its base block), reassembled (bins placed from elsewhere in the source, or missing: zeros where
they are) or fragment (bins without a base block, behind one made for them). No file is written
over. Every command reads the folder: kelpa timeline OUT, kelpa batch -r RULES OUT.

exit status:
  0  every source was read
  1  a source could not be read
  2  a usage error (the folder is a source, or already holds a manifest); nothing was read"""


class BytesProgress:
    """A progress bar of bytes scanned on stderr when it is a terminal; messages go above it."""

    def __init__(self, total: int) -> None:
        self.bar = None
        if sys.stderr.isatty() and total > 0:
            from tqdm import tqdm
            self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr)

    def step(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def say(self, text: str) -> None:
        if self.bar is None:
            hives.say(text)
        else:
            self.bar.write(f"kelpa: {safe(text)}", file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def check(args: argparse.Namespace) -> str:
    """The folder, made if missing, once it is known to be no source and to hold no manifest."""
    folder = args.output
    for source in args.sources:
        if outputs._same_file(folder, source):
            raise hives.Usage(f"{folder}: is the input {source}; refusing to write over evidence")
        if os.path.isdir(folder) and outputs._within(source, folder):
            raise hives.Usage(f"{folder}: holds the input {source}; refusing to write over evidence")
        if not os.path.exists(source):
            raise hives.Usage(f"{source}: no such file")
        if os.path.isdir(source):
            raise hives.Usage(f"{source}: is a folder; carve reads image, dump and device files")
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise hives.Usage(f"{folder}: exists and is not a folder")
    for manifest in ("manifest.csv", "manifest.json"):
        if os.path.lexists(path := os.path.join(folder, manifest)):
            raise hives.Usage(f"{path}: exists; carve into a new folder")
    if not os.path.isdir(os.path.dirname(os.path.abspath(folder))):
        raise hives.Usage(f"{folder}: its folder does not exist")
    os.makedirs(folder, exist_ok=True)
    return folder


def carve(args: argparse.Namespace) -> int:
    folder = check(args)
    total = 0
    for source in args.sources:
        try:
            with open(source, "rb") as f:
                total += f.seek(0, os.SEEK_END)
        except OSError:
            pass
    progress = BytesProgress(total)
    carved: list[carving.Carved] = []
    failed = skipped = 0
    try:
        for source, outcome in carving.carve_sources(args.sources, folder, min_size=args.min_size,
                                                     jobs=args.jobs, progress=progress.step):
            if isinstance(outcome, OSError):
                progress.say(f"{source}: {outcome}")
                failed += 1
                continue
            carved.extend(outcome.carved)
            skipped += outcome.skipped
    finally:
        progress.close()
        manifest = carving.write_manifest(folder, carved)
        if args.json:
            carving.write_manifest(folder, carved, as_json=True)
    kinds = {kind: sum(c.kind == kind for c in carved) for kind in ("hive", "reassembled", "fragment")}
    left_out = f"; {skipped} below --min-size left out" if skipped else ""
    print(safe(f"{kinds['hive']} hives, {kinds['reassembled']} reassembled, {kinds['fragment']} fragments "
               f"written to {folder}{left_out}; manifest {manifest}"))
    return 1 if failed else 0
