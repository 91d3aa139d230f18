"""Finding hives and their logs, opening them, walking their keys, and running work over many
hives in parallel processes."""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import datetime
import multiprocessing
import os
import struct
import sys
from collections.abc import Callable, Iterator
from typing import Any

import kelpa

# Windows transaction logs start with "regf" too; their base block's file type (offset 28) is
# 1, 2 or 6, a primary hive file's is 0.
FILE_TYPE_OFFSET = 28

Report = Callable[[ValueError], None]  # takes a problem met while reading a hive


class Failure(Exception):
    """A problem with one input, reported as "kelpa: NAME: message" and counted in the exit status."""

    def __init__(self, name: str, message: str) -> None:
        super().__init__(f"{name}: {message}")


def is_hive_file(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            head = f.read(FILE_TYPE_OFFSET + 4)
    except OSError:
        return False
    return head[:4] == b"regf" and len(head) == FILE_TYPE_OFFSET + 4 and \
        struct.unpack_from("<I", head, FILE_TYPE_OFFSET)[0] == 0


def find_hives(inputs: list[str]) -> list[str]:
    """Files as given; folders searched (in name order, linked folders not entered) for primary
    hive files by their content. A folder holding none is a Failure."""
    found: list[str] = []
    for given in inputs:
        if not os.path.isdir(given):
            found.append(given)
            continue
        before = len(found)
        for folder, subfolders, files in os.walk(given):
            subfolders.sort()
            found.extend(p for p in (os.path.join(folder, f) for f in sorted(files))
                         if os.path.isfile(p) and is_hive_file(p))
        if len(found) == before:
            raise Failure(given, "no hive files found in this folder")
    return found


def logs_beside(path: str) -> tuple[str | None, str | None]:
    """The transaction logs next to a hive, found by name in any letter case: (HIVE.LOG1, or
    HIVE.LOG when there is no LOG1; HIVE.LOG2)."""
    folder, base = os.path.split(path)
    try:
        names = {n.lower(): n for n in os.listdir(folder or ".")}
    except OSError:
        return None, None
    def beside(suffix: str) -> str | None:
        name = names.get(base.lower() + suffix)
        return os.path.join(folder, name) if name else None
    return beside(".log1") or beside(".log"), beside(".log2")


def open_hive(path: str, args: argparse.Namespace) -> kelpa.Hive:
    log1, log2 = logs_beside(path) if getattr(args, "logs", "none") == "auto" else (None, None)
    if log1 or log2:
        return kelpa.Hive.open_with_logs(path, log1, log2)
    return kelpa.Hive.open(path)


def replay_report(hive: kelpa.Hive) -> list[str]:
    """One line per log given to open_with_logs: what replaying it did."""
    lines = []
    for log in hive.log_replay():
        if log.applied:
            lines.append(f"{log.path}: applied ({log.layout} layout), {log.entries} entries, "
                         f"{log.pages} pages, up to sequence {log.sequence}")
        else:
            lines.append(f"{log.path}: not applied: {log.reason}")
    return lines


def when(key: kelpa.RegistryKey, report: Report) -> datetime.datetime | None:
    """The key's last-write time; one past the year 9999 is reported and shown as none."""
    try:
        return key.last_written()
    except ValueError as e:
        report(e)
        return None


def iso(moment: datetime.datetime | None) -> str | None:
    return None if moment is None else moment.isoformat(timespec="microseconds")


def walk(key: kelpa.RegistryKey, onerror: Report) -> Iterator[tuple[str, kelpa.RegistryKey]]:
    """(path from the root key, key) for `key` and every key below it, depth first, in subkey
    order. A subtree that cannot be read, or a key whose path cannot be found, goes to onerror
    and is left out; the walk goes on."""
    for sub in key.walk(onerror=onerror):
        try:
            path = sub.path()
        except ValueError as e:
            onerror(e)
            continue
        yield path, sub


# --- many hives ------------------------------------------------------------------------------

Work = Callable[[str, argparse.Namespace, Report], Any]


def _guarded(work: Work, path: str, args: argparse.Namespace) -> tuple[Any, list[str]]:
    """work's result (None when the hive failed) and the problems met, each naming the hive."""
    problems: list[str] = []
    try:
        return work(path, args, lambda e: problems.append(f"{path}: {e}")), problems
    except (OSError, ValueError) as e:
        return None, problems + [f"{path}: {e}"]
    except Failure as e:
        return None, problems + [str(e)]


class Progress:
    """A progress bar on stderr when it is a terminal; messages go above it."""

    def __init__(self, total: int) -> None:
        self.bar = None
        if sys.stderr.isatty():
            from tqdm import tqdm  # imported only here: it takes a good part of the start-up time
            self.bar = tqdm(total=total, unit="hive", file=sys.stderr)

    def say(self, text: str) -> None:
        if self.bar is None:
            print(text, file=sys.stderr)
        else:
            self.bar.write(text, file=sys.stderr)

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run_many(paths: list[str], work: Work, args: argparse.Namespace) -> tuple[list[tuple[str, Any]], int]:
    """work(path, args, report) for every hive, in up to args.jobs processes, with a progress bar
    on stderr when it is a terminal. A hive that raises is left out; what it or `report` met is
    written to stderr as it comes in. Returns the results of the hives that gave one, in input
    order, and the number of hives with problems."""
    outcomes: dict[int, tuple[Any, list[str]]] = {}
    failed = 0
    jobs = min(args.jobs, len(paths))
    with contextlib.ExitStack() as stack:
        done: Iterator[tuple[int, tuple[Any, list[str]]]]
        if jobs <= 1:
            done = ((i, _guarded(work, path, args)) for i, path in enumerate(paths))
        else:
            # Forked workers are this process's children, so their time shows in its usage. All
            # are forked at the first submit, before the progress bar starts a thread of its own.
            pool = stack.enter_context(concurrent.futures.ProcessPoolExecutor(
                jobs, mp_context=multiprocessing.get_context("fork")))
            futures = {pool.submit(_guarded, work, p, args): i for i, p in enumerate(paths)}
            done = ((futures[f], f.result()) for f in concurrent.futures.as_completed(futures))
        progress = Progress(len(paths))
        for index, (value, problems) in done:
            outcomes[index] = (value, problems)
            for problem in problems:
                progress.say(f"kelpa: {problem}")
            failed += bool(problems)
            progress.step()
        progress.close()
    return [(paths[i], outcomes[i][0]) for i in sorted(outcomes) if outcomes[i][0] is not None], failed
