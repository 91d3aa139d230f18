"""Registry strings as Windows shows them: the text before the first NUL. Data stored after the
terminating NUL (a known way of hiding data in a value) is not part of the text; it is told, by
its size, so that it is not lost from sight."""

from __future__ import annotations


def shown(text: str) -> str:
    """The text of a string value as regedit and the system show it: up to its first U+0000."""
    return text.partition("\0")[0]


def after_terminator(raw: bytes) -> bytes:
    """The bytes of UTF-16LE string data after its terminating NUL, when any of them is not zero
    (zero padding after the terminator is not data); b"" otherwise, and for data without a
    terminating NUL."""
    at = raw.find(b"\0\0")
    while at != -1 and at % 2:
        at = raw.find(b"\0\0", at + 1)
    if at == -1:
        return b""
    rest = raw[at + 2:]
    return rest if rest.strip(b"\0") else b""


def after_terminator_note(raw: bytes) -> str:
    """"N bytes after the terminating NUL", or "" when nothing but padding follows it."""
    count = len(after_terminator(raw))
    return f"{count} bytes after the terminating NUL" if count else ""
