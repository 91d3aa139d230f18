"""Text from evidence made safe for a terminal: control characters and undecodable file name
bytes shown as escapes, so that nothing a hive holds can move the cursor, recolour or retitle the
terminal, or split a line."""

from __future__ import annotations

import re

# C0 controls, DEL, C1 controls, and the lone surrogates that stand for bytes of a file name that
# do not decode (os.fsdecode's surrogate escapes) or any other lone surrogate.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    if 0xDC80 <= code <= 0xDCFF:  # a file name byte that is not UTF-8
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def safe(text: str) -> str:
    """`text` with every control character (C0, DEL, C1) as \\xNN and every undecodable file name
    byte as the \\xNN of that byte; the rest unchanged."""
    return _UNSAFE.sub(_escape, text)
