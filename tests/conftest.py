"""Shared fixtures: writing a hive image to a file and opening it, and the shared real hives."""

from __future__ import annotations

import pathlib
import struct

import pytest

import hivegen
import kelpa

# Real hive files gathered from other projects; never copied into the repository.
SHARED_HIVES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "hives"


def write_hive(tmp_path: pathlib.Path, data: bytes, name: str = "hive.dat") -> str:
    """Writes ``data`` to a file under ``tmp_path`` and returns its path as the str
    ``Hive.open`` takes."""
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def open_hive(tmp_path: pathlib.Path, data: bytes, name: str = "hive.dat") -> kelpa.Hive:
    return kelpa.Hive.open(write_hive(tmp_path, data, name))


def image(bins: bytes | bytearray, **base_block_fields) -> bytes:
    """A base block (hive bins data size = len(bins) unless given) followed by ``bins``
    as they are: no bin header is added, so cell offset 0 is bins[0]."""
    base_block_fields.setdefault("hive_bins_data_size", len(bins))
    return hivegen.base_block(**base_block_fields) + bytes(bins)


def put_cell(bins: bytearray, offset: int, size: int, payload: bytes = b"") -> None:
    """Writes a cell's size field and payload at cell offset ``offset`` of ``bins``."""
    struct.pack_into("<i", bins, offset, size)
    bins[offset + 4 : offset + 4 + len(payload)] = payload


@pytest.fixture
def shared_hives() -> pathlib.Path:
    """The folder of real hives, or a skip when it is absent (as on a user's machine)."""
    if not (SHARED_HIVES / "inventory.json").is_file():
        pytest.skip(f"no shared hives at {SHARED_HIVES}")
    return SHARED_HIVES
