"""Where a command writes: standard output, or a file that is never an input, never replaced
without --force, and never left half written."""

from __future__ import annotations

import contextlib
import io
import os
import sys
import tempfile
from collections.abc import Iterable, Iterator
from typing import IO

from .hives import Usage


def _same_file(a: str, b: str) -> bool:
    """The same path (once links are resolved) or the same file (device and inode)."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check(output: str | None, inputs: Iterable[str | None], force: bool) -> None:
    """Refuses, before anything is read, an output in a folder that does not exist, one that is
    one of the inputs (a hive or a log: the same path, a link to it, or another name of the same
    file) and, without --force, one that exists."""
    if output is None:
        return
    if not os.path.isdir(os.path.dirname(os.path.abspath(output))):
        raise Usage(f"{output}: its folder does not exist")
    for given in filter(None, inputs):
        if _same_file(output, given):
            raise Usage(f"{output}: is the input {given}; refusing to write over evidence")
    if os.path.lexists(output) and not force:
        raise Usage(f"{output}: exists; use --force to replace it")


@contextlib.contextmanager
def staged(output: str) -> Iterator[str]:
    """A temporary file beside `output` for the command to write; it becomes `output` (with the
    permissions a new file gets) only when the command completes, and on any failure or
    interruption it is removed."""
    handle, temporary = tempfile.mkstemp(prefix=".kelpa-", dir=os.path.dirname(os.path.abspath(output)))
    os.close(handle)
    try:
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


def text(stream: IO[bytes], encoding: str = "utf-8", newline: str = "\n") -> io.TextIOWrapper:
    """A text view of a binary output stream (detach it when done, to leave the stream open). File
    name bytes that are not UTF-8 pass through as they are (surrogate escapes), so that machine
    formats carry names exactly."""
    return io.TextIOWrapper(stream, encoding=encoding, errors="surrogateescape", newline=newline)


@contextlib.contextmanager
def text_written(output: str | None) -> Iterator[io.TextIOWrapper]:
    """written() as UTF-8 text."""
    with written(output) as raw:
        out = text(raw)
        try:
            yield out
        finally:
            out.detach()  # flushes first
