"""kelpa HIVE commands: the argument parser and the one place where failures become messages."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable

from . import browse, export, forensic, hives


def jobs(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a number of processes: {text!r}")
    return int(text)


def parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    top = argparse.ArgumentParser(prog="kelpa", description="Read Windows registry hive files.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], text: str, *,
                many: bool = False, logs: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=text, description=text)
        sub.set_defaults(run=run)
        if many:
            sub.add_argument("hives", nargs="+", metavar="HIVE",
                             help="hive file, or a folder searched for hive files by content")
            sub.add_argument("-j", "--jobs", type=jobs, default=os.process_cpu_count() or 1,
                             metavar="N", help="hives read at once, in parallel processes "
                                               "(default: the number of cores)")
        else:
            sub.add_argument("hive", metavar="HIVE", help="hive file")
        if logs:
            sub.add_argument("--logs", choices=("auto", "none"), default="none",
                             help="auto: read the hive with the transaction logs beside it "
                                  "(HIVE.LOG1, HIVE.LOG2, HIVE.LOG, any letter case)")
        return sub

    command("info", browse.info, "Show base block fields, logs, bins, key and value counts.",
            many=True)
    ls = command("ls", browse.ls, "List a key's subkeys (with last-write time) and values.")
    ls.add_argument("key_path", nargs="?", default="", metavar="KEY_PATH",
                    help="backslash-separated path from the root key (default: the root key)")
    ls.add_argument("-r", "--recursive", action="store_true", help="list the whole subtree")
    get = command("get", browse.get, "Print one value's data by its type.")
    get.add_argument("key_path", metavar="KEY_PATH")
    get.add_argument("value", nargs="?", default="(default)", metavar="VALUE",
                     help="value name (default: the key's default value)")
    get.add_argument("--raw", action="store_true", help="write the raw data bytes to stdout")
    ex = command("export", export.export, "Export keys and values as .reg, JSON lines or Parquet.",
                 many=True)
    ex.add_argument("-f", "--format", choices=tuple(export.FORMATS), required=True)
    ex.add_argument("-o", "--output", metavar="OUT", help="output file (default: standard output)")
    ex.add_argument("--prefix", default="HKEY_LOCAL_MACHINE",
                    help="reg: key under which each hive's keys are written, as a folder named "
                         "after the hive file (default: HKEY_LOCAL_MACHINE)")
    command("deleted", forensic.deleted, "Deleted keys and values found in the hive's free space, "
            "as CSV.", many=True)
    rec = command("recover", forensic.recover, "Replay the logs beside a hive and write the "
                  "recovered hive.", logs=False)
    rec.add_argument("-o", "--output", metavar="OUT", help="recovered hive (default: HIVE.recovered)")
    rec.add_argument("--log1", help="first log (default: found beside the hive by name)")
    rec.add_argument("--log2", help="second log")
    tl = command("timeline", forensic.timeline, "Every key's last-write time, newest first, as CSV.",
                 many=True)
    tl.add_argument("--since", type=forensic.moment, help="only keys written at or after this "
                                                          "ISO 8601 date or time (UTC if no zone)")
    tl.add_argument("--until", type=forensic.moment, help="only keys written at or before it")
    return top, commands.choices


def main(argv: list[str] | None = None) -> int:
    top, commands = parser()
    args = top.parse_args(argv)
    if args.command == "export" and args.format == "parquet" and not args.output:
        commands["export"].error("--format parquet needs -o OUT")
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except hives.Failure as e:
        print(f"kelpa: {e}", file=sys.stderr)
    except (OSError, ValueError) as e:  # from the one hive a single-hive command reads
        print(f"kelpa: {getattr(args, 'hive', '')}: {e}", file=sys.stderr)
    except KeyboardInterrupt:
        return 130
    return 1


if __name__ == "__main__":
    sys.exit(main())
