"""Where a command writes: standard output, or a file that is never an input, never replaced
without --force, and never left half written."""

from __future__ import annotations

import codecs
import contextlib
import csv
import io
import os
import re
import signal
import sys
import tempfile
from collections.abc import Iterable, Iterator
from typing import IO

from kelpa_tools.evidence import ROLES

from .hives import Usage


INTERRUPTIONS = {signal.SIGINT, signal.SIGTERM}


def _same_file(a: str, b: str) -> bool:
    """The same path (once links are resolved) or the same file (device and inode)."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _identity(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _within(path: str, folder: str) -> bool:
    """`path` (once links are resolved) lies somewhere below the folder `folder` (device and inode)."""
    target = _identity(folder)
    if target is None:
        return False
    up = os.path.realpath(path)
    while (parent := os.path.dirname(up)) != up:
        if _identity(parent) == target:
            return True
        up = parent
    return False


def _not_of_a_dataset(folder: str) -> str | None:
    """The first entry of `folder` that a dataset export does not write (OUT/part.N.parquet), or
    None: only such files are removed by --force."""
    for entry in sorted(os.scandir(folder), key=lambda e: e.name):
        if not (entry.is_file(follow_symlinks=False) and re.fullmatch(r"part\.\d+\.parquet", entry.name)):
            return entry.path
    return None


def log_names(name: str) -> tuple[str, ...]:
    """The names (in lower case) of a hive's logs, which an output must not take."""
    return tuple(name.lower() + role for role in ROLES)


def check(output: str | None, inputs: Iterable[str | None], force: bool, *, folder: bool = False) -> None:
    """Refuses, before anything is read, an output in a folder that does not exist; one that is one
    of the inputs (a hive, a log, any file named as a log of a hive, or a folder given: the same
    path, a link to it, or another name of the same file), that holds one (a folder output), or
    that lies inside a folder given as input, or that is named as a log of an input (any letter
    case, beside it); and, without --force, one that exists. `folder`: the
    output is a folder the command fills (a dataset), which --force replaces only when it holds
    nothing but what a dataset export writes."""
    if output is None:
        return
    if not os.path.isdir(os.path.dirname(os.path.abspath(output))):
        raise Usage(f"{output}: its folder does not exist")
    given = list(dict.fromkeys(filter(None, inputs)))
    for each in given:
        if _same_file(output, each):
            raise Usage(f"{output}: is the input {each}; refusing to write over evidence")
    folder_of_output = os.path.dirname(os.path.abspath(output))
    for each in given:
        if os.path.basename(output).lower() in log_names(os.path.basename(each)) and \
                _same_file(folder_of_output, os.path.dirname(os.path.abspath(each))):
            raise Usage(f"{output}: would be taken for a log of the input {each}; name another file")
        if os.path.isdir(output) and _within(each, output):
            raise Usage(f"{output}: holds the input {each}; refusing to write over evidence")
        if os.path.isdir(each) and _within(output, each):
            raise Usage(f"{output}: lies inside the input folder {each}; refusing to write into evidence")
    if os.path.isdir(output) and not folder:
        raise Usage(f"{output}: is a folder; name a file")
    if os.path.lexists(output) and not force:
        raise Usage(f"{output}: exists; use --force to replace it")
    if folder and os.path.lexists(output):
        if not os.path.isdir(output) or os.path.islink(output):
            raise Usage(f"{output}: is not a folder; name a folder for the dataset")
        if (stray := _not_of_a_dataset(output)) is not None:
            raise Usage(f"{output}: holds {stray}, which a dataset export does not write; refusing to remove it")


@contextlib.contextmanager
def staged(output: str) -> Iterator[str]:
    """A temporary file beside `output` for the command to write; it becomes `output` (with the
    permissions a new file gets) only when the command completes, and on any failure or
    interruption it is removed."""
    # An interruption (SIGINT, SIGTERM) waits until the file exists and its removal is armed.
    unblocked = signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTIONS)
    try:
        handle, temporary = tempfile.mkstemp(prefix=".kelpa-", dir=os.path.dirname(os.path.abspath(output)))
    except BaseException:
        signal.pthread_sigmask(signal.SIG_SETMASK, unblocked)
        raise
    try:
        signal.pthread_sigmask(signal.SIG_SETMASK, unblocked)
        os.close(handle)
        yield temporary
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, output)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def written(output: str | None) -> Iterator[IO[bytes]]:
    """A binary stream for the command's output: standard output when `output` is None, else a
    staged file."""
    if output is None:
        sys.stdout.flush()
        with open(sys.stdout.fileno(), "wb", closefd=False) as out:
            yield out
        return
    with staged(output) as temporary, open(temporary, "wb") as out:
        yield out


def _replace(error: UnicodeError) -> tuple[bytes, int]:
    if not isinstance(error, UnicodeEncodeError):
        raise error
    # As bytes: the UTF-8 encoder takes a replacement string only when it is ASCII.
    return "\ufffd".encode(error.encoding) * (error.end - error.start), error.end


# A lone surrogate (a file name byte that is not UTF-8, held as a surrogate escape) is written as
# U+FFFD: no reader of UTF-8 (or UTF-16) text accepts it.
codecs.register_error("kelpa-replace", _replace)


def text(stream: IO[bytes], encoding: str = "utf-8", newline: str = "\n") -> io.TextIOWrapper:
    """A text view of a binary output stream (detach it when done, to leave the stream open). Each
    byte of a file name that is not UTF-8 is written as U+FFFD, so that every output is valid
    text (a JSON-lines record carries the name's exact bytes as well: jsonl_format)."""
    return io.TextIOWrapper(stream, encoding=encoding, errors="kelpa-replace", newline=newline)


def _cell(field: object) -> object:
    if isinstance(field, str) and "\0" in field:
        return field.replace("\0", "\ufffd")
    return field


class CsvWriter:
    """csv.writer with every NUL of a field written as U+FFFD: CSV readers refuse NUL bytes."""

    def __init__(self, out: IO[str]) -> None:
        self.writer = csv.writer(out, lineterminator="\n")

    def writerow(self, row: Iterable[object]) -> None:
        self.writer.writerow([_cell(field) for field in row])

    def writerows(self, rows: Iterable[Iterable[object]]) -> None:
        for row in rows:
            self.writerow(row)


class CsvLines:
    """Rows as CsvWriter writes them, each a line of text: rows formatted in a worker process go
    back to the parent as one string each."""

    def __init__(self) -> None:
        self.buffer = io.StringIO()
        self.writer = CsvWriter(self.buffer)

    def line(self, row: Iterable[object]) -> str:
        self.buffer.seek(0)
        self.buffer.truncate()
        self.writer.writerow(row)
        return self.buffer.getvalue()


@contextlib.contextmanager
def text_written(output: str | None) -> Iterator[io.TextIOWrapper]:
    """written() as UTF-8 text."""
    with written(output) as raw:
        out = text(raw)
        try:
            yield out
        finally:
            out.detach()  # flushes first
