"""Finding hives and their logs, reading each as evidence (with the logs beside it, past what
cannot be read, saying what was left out), walking their keys, and running work over many hives
in parallel processes."""

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
from kelpa_tools.evidence import FoundLogs, find_logs, log_files

from .text import safe

# Windows transaction logs start with "regf" too; their base block's file type (offset 28) is
# 1, 2 or 6, a primary hive file's is 0.
FILE_TYPE_OFFSET = 28

# Why the library leaves a sound log unapplied (its own texts): the hive does not need it, or the
# other log serves. Any other reason is a fault of the log file itself.
LOG_NOT_NEEDED = {"the hive is clean", "the other log is newer", "the log is older than the hive",
                  "the other log is in the new format", "no log entries", "no dirty pages"}


class Failure(Exception):
    """A problem with one input: reported as "kelpa: message", and the exit status is 1."""


class Usage(Exception):
    """A call refused before anything is read: reported as "kelpa: message", exit status 2."""


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
            raise Failure(f"no hive files found in {given}")
    return found


def one_hive(given: str) -> str:
    """The hive a single-hive command reads: a file as given, or the one hive in a folder."""
    found = find_hives([given])
    if len(found) > 1:
        raise Usage(f"{given} holds {len(found)} hive files; name one of them")
    return found[0]


def named_logs(args: argparse.Namespace) -> tuple[str | None, str | None]:
    return getattr(args, "log1", None), getattr(args, "log2", None)


def logs_for(path: str, args: argparse.Namespace) -> FoundLogs:
    """The logs a command reads a hive with: those named, else (unless --logs none) those beside it."""
    if any(named := named_logs(args)):
        return FoundLogs(*named)
    return find_logs(path) if getattr(args, "logs", "auto") == "auto" else FoundLogs(None, None)


def inputs_of(paths: list[str], args: argparse.Namespace) -> list[str | None]:
    """Every file that is evidence to a command: the hives and folders given, every file beside each
    hive named as one of its logs (whether read or not), and the logs named."""
    given = [*getattr(args, "hives", []), *(getattr(args, name, None) for name in ("hive", "old", "new"))]
    listings: dict[str, list[str]] = {}  # a folder of many hives is listed once

    def listing(path: str) -> list[str]:
        folder = os.path.dirname(path) or "."
        if folder not in listings:
            try:
                listings[folder] = os.listdir(folder)
            except OSError:
                listings[folder] = []
        return listings[folder]

    return [*given, *named_logs(args), *(f for path in paths for f in (path, *log_files(path, listing(path))))]


def check_input(path: str) -> None:
    """Refuses, before its logs are looked for, a hive that cannot be opened or is a folder, with
    what is wrong with it."""
    try:
        with open(path, "rb"):
            pass
    except IsADirectoryError:
        raise Failure(f"{path}: is a folder, not a hive file") from None
    except OSError as e:
        raise Failure(f"{path}: {e.strerror} (os error {e.errno})") from None


def replay_report(hive: kelpa.Hive) -> list[str]:
    """One line per log read with the hive: what replaying it did."""
    lines = []
    for log in hive.log_replay():
        if log.applied:
            lines.append(f"{log.path}: applied ({log.layout} layout), {log.entries} entries, "
                         f"{log.pages} pages, up to sequence {log.sequence}")
        else:
            lines.append(f"{log.path}: not applied: {log.reason}")
    return lines


def describe(problem: kelpa.Problem) -> str:
    where = "in the base block" if problem.offset is None else f"at offset {problem.offset:#x}"
    return f"{where}: {problem.message}"


class Reading:
    """One hive read by a command as evidence is read: with its logs (named, or found beside it
    unless --logs none), tolerantly unless --strict. Gathers the lines for standard error (each
    naming the hive) and whether anything could not be read or applied, which makes the exit
    status 1: a problem met, a named log that could not be read or was refused, a hive left dirty."""

    def __init__(self, path: str, args: argparse.Namespace) -> None:
        self.path, self.args = path, args
        self.notes: list[str] = []
        self.failed = False
        self.unread = False  # something of the hive could not be read
        self.hive: kelpa.Hive | None = None

    def note(self, text: str, *, failed: bool = True) -> None:
        self.notes.append(f"{self.path}: {text}")
        self.failed |= failed

    def problem(self, error: Exception) -> None:
        """Something a strict read (or a last-write time past the year 9999) could not read."""
        self.note(error_text(error, self.path))
        self.unread = True

    def open(self) -> kelpa.Hive:
        check_input(self.path)
        found = logs_for(self.path, self.args)
        for text in found.notes:
            self.note(text, failed=False)
        log1, log2 = found.pair
        strict = getattr(self.args, "strict", False)
        hive = kelpa.Hive.from_path(self.path, log1, log2, strict=strict)
        self.hive = hive
        named = [p for p in named_logs(self.args) if p]
        for log in hive.log_replay():
            if log.path in named and not log.applied and log.reason not in LOG_NOT_NEEDED:
                self.note(f"the log {log.path} was refused: {log.reason}")
        if hive.base_block().is_dirty and not getattr(self.args, "as_lies", False):  # as_lies: on purpose
            why = ("not read (--logs none)" if getattr(self.args, "logs", "auto") == "none"
                   else "not applied" if log1 or log2 else "not found")
            self.note(f"the hive is dirty and its logs were {why}: recent changes may be missing")
        return hive

    def finish(self) -> None:
        """Notes the problems the hive met: one line with the count and the first, or (with
        --problems) one line each."""
        problems = self.hive.problems() if self.hive is not None else []
        if not problems:
            return
        if getattr(self.args, "problems", False):
            for problem in problems:
                self.note(describe(problem))
        else:
            count = f"{len(problems)} problem{'s' if len(problems) > 1 else ''}"
            self.note(f"{count} reading the hive, the first {describe(problems[0])} (--problems lists them all)")


def when(key: kelpa.RegistryKey, reading: Reading) -> datetime.datetime | None:
    """The key's last-write time; one past the year 9999 is noted and shown as none."""
    try:
        return key.last_written()
    except ValueError as e:
        reading.problem(e)
        return None


def iso(moment: datetime.datetime | None) -> str | None:
    return None if moment is None else moment.isoformat(timespec="microseconds")


def walk(key: kelpa.RegistryKey, onerror: Callable[[Exception], None]) -> Iterator[tuple[str, kelpa.RegistryKey]]:
    """(path from the root key, key) for `key` and every key below it, depth first, in subkey
    order. A subtree that cannot be read (strict reading), or a key whose path cannot be found,
    goes to onerror and is left out; the walk goes on."""
    for sub in key.walk(onerror=onerror):
        try:
            path = sub.path()
        except ValueError as e:
            onerror(e)
            continue
        yield path, sub


# --- many hives ------------------------------------------------------------------------------

Work = Callable[[Reading], Any]


def run_one(work: Work, path: str, args: argparse.Namespace) -> tuple[Any, list[str], bool]:
    """work's result (None when the hive could not be read at all), the lines for standard
    error, and whether anything failed."""
    reading = Reading(path, args)
    value = None
    try:
        value = work(reading)
    except (OSError, ValueError) as e:
        reading.problem(e)
    except Failure as e:
        reading.notes.append(str(e))
        reading.failed = True
    reading.finish()
    return value, reading.notes, reading.failed


# The work and the parsed arguments (a rule file's rules among them) of the run_many under way: set
# before its workers are forked, so that they inherit them rather than unpickle them for every chunk.
_forked_work: tuple[Work, argparse.Namespace] | None = None


@contextlib.contextmanager
def _inherited_by_workers(work: Work, args: argparse.Namespace) -> Iterator[None]:
    global _forked_work
    _forked_work = (work, args)
    try:
        yield
    finally:
        _forked_work = None


def run_chunk(chunk: list[tuple[int, str]]) -> list[tuple[int, tuple[Any, list[str], bool]]]:
    """run_one for each (index, path) of a chunk, in a worker process."""
    assert _forked_work is not None
    work, args = _forked_work
    return [(index, run_one(work, path, args)) for index, path in chunk]


def error_text(error: Exception, path: str | None) -> str:
    """An error's message. The library's OSError for the hive at ``path`` (which names it and its number)
    reads as the plain form does, "No such file or directory (os error 2)"; any other error as str() gives it."""
    if isinstance(error, OSError) and error.errno is not None and path is not None and error.filename == path:
        return f"{error.strerror} (os error {error.errno})"
    return str(error)


def say(text: str) -> None:
    print(f"kelpa: {safe(text)}", file=sys.stderr)


class Progress:
    """A progress bar on stderr when it is a terminal; messages go above it."""

    def __init__(self, total: int) -> None:
        self.bar = None
        if sys.stderr.isatty() and total > 1:
            from tqdm import tqdm  # imported only here: it takes a good part of the start-up time
            self.bar = tqdm(total=total, unit="hive", file=sys.stderr)

    def say(self, text: str) -> None:
        if self.bar is None:
            say(text)
        else:
            self.bar.write(f"kelpa: {safe(text)}", file=sys.stderr)

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run_many(paths: list[str], work: Work, args: argparse.Namespace,
             each: Callable[[str, Any], None] | None = None) -> tuple[list[tuple[str, Any]], int]:
    """work(reading) for every hive, in up to args.jobs processes, with a progress bar on stderr
    when it is a terminal. What each hive met is written to stderr as it comes in; `each(path,
    result)` gets the results in input order as soon as each is in (one process: as each hive is
    done). Returns the results of the hives that gave one, in input order, and the number of
    hives that failed."""
    outcomes: dict[int, Any] = {}
    failed, next_in_order = 0, 0
    jobs = min(getattr(args, "jobs", 1), len(paths))
    with contextlib.ExitStack() as stack:
        done: Iterator[tuple[int, tuple[Any, list[str], bool]]]
        if jobs <= 1:
            done = ((i, run_one(work, path, args)) for i, path in enumerate(paths))
        else:
            # Forked workers are this process's children, so their time shows in its usage. All
            # are forked at the first submit, before the progress bar starts a thread of its own.
            # Hives go out a few at a time: a task per hive costs more than a small hive's work.
            stack.enter_context(_inherited_by_workers(work, args))
            pool = stack.enter_context(concurrent.futures.ProcessPoolExecutor(
                jobs, mp_context=multiprocessing.get_context("fork")))
            size = max(1, min(8, len(paths) // (4 * jobs)))
            futures = [pool.submit(run_chunk, list(enumerate(paths))[at:at + size])
                       for at in range(0, len(paths), size)]
            done = (outcome for f in concurrent.futures.as_completed(futures) for outcome in f.result())
        progress = Progress(len(paths))
        for index, (value, notes, hive_failed) in done:
            outcomes[index] = value
            for note in notes:
                progress.say(note)
            failed += hive_failed
            progress.step()
            while next_in_order in outcomes:
                if each is not None and outcomes[next_in_order] is not None:
                    each(paths[next_in_order], outcomes[next_in_order])
                next_in_order += 1
        progress.close()
    return [(paths[i], outcomes[i]) for i in sorted(outcomes) if outcomes[i] is not None], failed
