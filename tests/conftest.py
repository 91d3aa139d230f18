"""Shared helpers: writing and opening hive images, exact-error checks, and the shared real hives."""

from __future__ import annotations

import contextlib
import json
import pathlib
import struct
import sys

import pytest

import hivegen
import kelpa

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))  # sample_hive, walk_hive

# Real hive files gathered from other projects; never copied into the repository.
SHARED_HIVES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "hives"
BAD = 0x7FFFFFF0  # a cell offset far past the end of every hive the tests write


def under_sanitizer() -> bool:
    """True under AddressSanitizer or ThreadSanitizer, whose memory figures say nothing of ours."""
    maps = pathlib.Path("/proc/self/maps")
    return maps.exists() and any(name in maps.read_text() for name in ("libasan", "libtsan"))


def write_hive(tmp_path: pathlib.Path, data: bytes, name: str = "hive.dat") -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def open_hive(tmp_path: pathlib.Path, data: bytes, name: str = "hive.dat") -> kelpa.Hive:
    return kelpa.Hive.open(write_hive(tmp_path, data, name))


def image(bins: bytes | bytearray, **base_block_fields) -> bytes:
    """A base block followed by ``bins`` as they are (no bin header: cell offset 0 is bins[0])."""
    base_block_fields.setdefault("hive_bins_data_size", len(bins))
    return hivegen.base_block(**base_block_fields) + bytes(bins)


def put_cell(bins: bytearray, offset: int, size: int, payload: bytes = b"") -> None:
    struct.pack_into("<i", bins, offset, size)
    bins[offset + 4 : offset + 4 + len(payload)] = payload


def poke_file(path, position: int, data: bytes) -> None:
    """Overwrites bytes of a file in place; a hive that maps the file sees the change."""
    with open(path, "r+b") as f:
        f.seek(position)
        f.write(data)


def pattern(n: int, seed: int = 0) -> bytes:
    """n bytes in which a dropped, doubled or shifted byte shows."""
    return bytes((i * 7 + i // 251 + seed) & 0xFF for i in range(n))


@contextlib.contextmanager
def raises(cls: type[BaseException], message: str):
    """Like pytest.raises, but the class must be exactly ``cls`` and args exactly (message,)."""
    with pytest.raises(cls) as caught:
        yield caught
    assert type(caught.value) is cls
    assert caught.value.args == (message,)


def outcome(call):
    """What ``call()`` returns, or (exception class, args) when it raises: one comparison then checks a
    result or the exact error (see ``error``)."""
    try:
        return call()
    except Exception as e:  # noqa: BLE001 - the class is part of what is compared
        return type(e), e.args


def error(message: str, cls: type[BaseException] = ValueError) -> tuple:
    return cls, (message,)


def root_with_values(tmp_path: pathlib.Path, build, *, minor: int = 5):
    """``build(builder)`` returns value key offsets, or (them, extra); writes them under a root key.
    Returns (root key, image length, extra)."""
    b = hivegen.HiveBuilder(minor=minor)
    built = build(b)
    vks, extra = built if isinstance(built, tuple) else (built, None)
    root = b.nk("ROOT", root=True, value_count=len(vks), value_list=b.value_list(vks))
    path = b.write(tmp_path / "values.hiv", root=root)
    return kelpa.Hive.open(str(path)).root_key(), path.stat().st_size, extra


def corpus_params(skip_reason=lambda record: None) -> list:
    """One param per hive of the shared inventory, skipped with ``skip_reason(record)`` when that is not None."""
    path = SHARED_HIVES / "inventory.json"
    if not path.is_file():
        return [pytest.param(None, id="no-shared-hives",
                             marks=pytest.mark.skip(reason=f"no shared hives at {SHARED_HIVES}"))]
    return [pytest.param(r, id=r["file"], marks=[pytest.mark.skip(reason=f"{r['file']}: {reason}")]
                         if (reason := skip_reason(r)) else []) for r in json.loads(path.read_text())
            if r.get("role", "hive") == "hive"]


@pytest.fixture
def shared_hives() -> pathlib.Path:
    if not (SHARED_HIVES / "inventory.json").is_file():
        pytest.skip(f"no shared hives at {SHARED_HIVES}")
    return SHARED_HIVES
