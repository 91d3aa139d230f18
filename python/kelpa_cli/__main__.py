"""kelpa HIVE commands: the argument parser and the one place where failures become messages and
exit statuses."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Callable

import kelpa

from . import answers, artifacts, batch, browse, carve, export, forensic, hives

EXIT_STATUS = """\
exit status:
  0  every hive was read whole (and, for recover, every named log was read, the written hive is
     clean and it was written whole)
  1  something could not be read or applied: a damaged hive (its problems are on standard
     error), a missing or refused log that was named, a dirty hive left dirty
  2  a usage error, or an output refused (an input hive, folder or log, a folder holding one,
     a file inside an input folder or named as a log beside an input hive, or an existing file
     without --force); nothing was read"""


def jobs(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a number of processes: {text!r}")
    return int(text)


def parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    top = argparse.ArgumentParser(prog="kelpa", description="Read Windows registry hive files.",
                                  epilog=EXIT_STATUS, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"kelpa {kelpa.__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], text: str, *,
                many: bool | None = False, logs: bool = True, output: str = "output file") -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=text, description=text, epilog=EXIT_STATUS,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        if many:
            sub.add_argument("hives", nargs="+", metavar="HIVE",
                             help="hive file, or a folder searched for hive files by content")
            sub.add_argument("-j", "--jobs", type=jobs, default=os.process_cpu_count() or 1,
                             metavar="N", help="hives read at once, in parallel processes "
                                               "(default: the number of cores)")
        elif many is not None:  # None: the command adds its own positional arguments
            sub.add_argument("hive", metavar="HIVE", help="hive file (or a folder holding one)")
        if logs:
            sub.add_argument("--logs", choices=("auto", "none"), default="auto",
                             help="auto (the default): read each hive with the transaction logs beside "
                                  "it (HIVE.LOG1, HIVE.LOG2, HIVE.LOG, any letter case); none: read the "
                                  "file as it lies")
        sub.add_argument("-o", "--output", metavar="OUT",
                         help=f"{output} (default: standard output); written whole or not at all")
        sub.add_argument("--force", action="store_true", help="replace OUT if it exists (never an input)")
        sub.add_argument("--strict", action="store_true",
                         help="refuse what cannot be read (default: read past it, leaving it out)")
        sub.add_argument("--problems", action="store_true",
                         help="list every problem met on standard error (default: the count and the first)")
        return sub

    command("info", browse.info, "Show base block fields, logs, bins, key, value and problem counts.",
            many=True)
    ls = command("ls", browse.ls, "List a key's subkeys (with last-write time) and values.")
    ls.add_argument("key_path", nargs="?", default="", metavar="KEY_PATH",
                    help="backslash-separated path from the root key (default: the root key); "
                         "CurrentControlSet stands for the control set Select\\Current names")
    ls.add_argument("-r", "--recursive", action="store_true", help="list the whole subtree")
    ls.add_argument("-l", "--long", action="store_true", help="show each subkey's class name")
    get = command("get", browse.get, "Print one value's data by its type.")
    get.add_argument("key_path", metavar="KEY_PATH", help="as for ls")
    get.add_argument("value", nargs="?", default="(default)", metavar="VALUE",
                     help="value name (default: the key's default value)")
    get.add_argument("--raw", action="store_true", help="write the raw data bytes")
    ex = command("export", export.export, "Export keys and values as .reg, JSON lines or Parquet.",
                 many=True)
    ex.add_argument("-f", "--format", choices=tuple(export.FORMATS), required=True)
    ex.add_argument("--scheduler", metavar="ADDRESS",
                    help="parquet: write OUT as a dataset (OUT/part.N.parquet, a file per hive, the columns "
                         "of the single file), each file by a worker of the Dask cluster at ADDRESS (e.g. "
                         "tcp://10.0.0.5:8786); the workers must see the hives and OUT at the same paths")
    ex.add_argument("--prefix", default="HKEY_LOCAL_MACHINE",
                    help="reg: key under which each hive's keys are written, as a folder named "
                         "after the hive file (default: HKEY_LOCAL_MACHINE)")
    command("deleted", forensic.deleted, "Deleted keys and values found in the hive's free space, "
            "as CSV.", many=True)
    bt = command("batch", batch.batch, "Apply a batch rule file (YAML key-path rules by hive type) and write "
                 "its rows as CSV.", many=True)
    bt.add_argument("-r", "--rules", required=True, metavar="RULES.reb", help="the batch rule file")
    bt.add_argument("--deleted", action="store_true", help="apply the rules to deleted keys too")
    bt.add_argument("--artifacts", metavar="OUTDIR", help="for each rule whose key an artifact decoder reads, "
                    "write that decoder's rows to OUTDIR/NAME.csv and name the file in PluginDetailFile")
    rec = command("recover", forensic.recover, "Replay the logs beside a hive and write the "
                  "recovered hive.", logs=False, output="recovered hive (default: HIVE.recovered)")
    rec.add_argument("--log1", help="first log (default: found beside the hive by name)")
    rec.add_argument("--log2", help="second log")
    se = command("search", answers.search, "Keys, values and data matching patterns, as CSV.", many=True)
    se.add_argument("--key", metavar="RE", help="keys whose name matches")
    se.add_argument("--value", metavar="RE", help="values whose name matches (the unnamed value's is empty)")
    se.add_argument("--data", metavar="RE", help="values whose data matches: strings as text, numbers in "
                                                 "decimal, other data as the UTF-16LE and ASCII text it "
                                                 "holds and as hex")
    se.add_argument("--literal", action="store_true", help="the patterns are text, not regular expressions")
    se.add_argument("--case-sensitive", action="store_true", help="letter case must match (default: any case)")
    se.add_argument("--min-size", type=answers.byte_count, metavar="N",
                    help="only values of at least N bytes of data (alone: every such value)")
    se.add_argument("--deleted", action="store_true",
                    help="also the deleted keys and values found in the hive's free space")
    df = command("diff", answers.diff, "Keys and values added, removed and changed from OLD to NEW (or from "
                 "OLD as its file lies to OLD with its logs), as CSV or JSON lines.", many=None)
    df.add_argument("old", metavar="OLD", help="the older hive file (or a folder holding one)")
    df.add_argument("new", metavar="NEW", nargs="?",
                    help="the newer hive file (or a folder holding one); without it, OLD as its file lies "
                         "against OLD recovered with the logs beside it: what the logs change")
    df.add_argument("-f", "--format", choices=("csv", "jsonl"), default="csv")
    df.epilog = answers.DIFF_EXIT_STATUS
    tl = command("timeline", forensic.timeline, "Every key's last-write time, newest first, as CSV.",
                 many=True)
    tl.add_argument("--since", type=forensic.moment, help="only keys written at or after this "
                                                          "ISO 8601 date or time (UTC if no zone)")
    tl.add_argument("--until", type=forensic.moment, help="only keys written at or before it")
    tl.add_argument("--artifacts", action="store_true", help="add the decoded artifacts' event times as rows "
                    "(columns time, hive, key_path, artifact, event)")
    art = command("artifacts", artifacts.command, "Decoded artifacts (user accounts, program runs, devices, "
                  "recent files ...) as JSON lines, or a CSV or Parquet file per decoder.", many=None,
                  output="output file (jsonl) or folder (csv, parquet: OUT/NAME.csv ...)")
    art.add_argument("hives", nargs="*", metavar="HIVE",
                     help="hive file, or a folder searched for hive files by content")
    art.add_argument("-j", "--jobs", type=jobs, default=os.process_cpu_count() or 1, metavar="N",
                     help="hives read at once, in parallel processes (default: the number of cores)")
    art.add_argument("-a", "--artifacts", metavar="NAME[,NAME...]", help="only these decoders (default: all)")
    art.add_argument("-f", "--format", choices=artifacts.FORMATS, default="jsonl",
                     help="jsonl (the default): one object per row, with artifact and hive; csv, parquet: "
                          "a file per decoder in the folder OUT")
    art.add_argument("--list", action="store_true", help="list the decoders and the hive types they read")
    carve.add_parser(commands, jobs)
    return top, commands.choices


def stop(signum: int, frame: object) -> None:
    raise KeyboardInterrupt  # unwinds, so that a half-written output is removed


def main(argv: list[str] | None = None) -> int:
    top, commands = parser()
    args = top.parse_args(argv)
    if args.command == "export" and args.format == "parquet" and not args.output:
        commands["export"].error("--format parquet needs -o OUT")
    if args.command == "export" and args.scheduler and args.format != "parquet":
        commands["export"].error("--scheduler writes --format parquet only")
    signal.signal(signal.SIGTERM, stop)
    sys.stdout.reconfigure(errors="surrogateescape")  # file names of any bytes, as they are
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except hives.Usage as e:
        hives.say(str(e))
        return 2
    except hives.Failure as e:
        hives.say(str(e))
    except (OSError, ValueError) as e:  # a single-hive command's own files, or the output's
        hive = getattr(args, "hive", None)
        hives.say(f"{hive}: {hives.error_text(e, hive)}" if hive else str(e))
    except KeyboardInterrupt:
        return 130
    return 1


if __name__ == "__main__":
    sys.exit(main())
