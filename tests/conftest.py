"""Shared helpers: writing and opening hive images, exact-error checks, and the shared real hives."""

import hashlib
import json
import pathlib
import struct
import sys
import types

import pytest

import hivegen
import kelpa

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))  # sample_hive, walk_hive

# Real hive files gathered from other projects; never copied into the repository.
SHARED_HIVES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "hives"


def under_sanitizer() -> bool:
    """True under AddressSanitizer or ThreadSanitizer, whose memory figures say nothing of ours."""
    maps = pathlib.Path("/proc/self/maps")
    return maps.exists() and any(name in maps.read_text() for name in ("libasan", "libtsan"))


def write_hive(tmp_path: pathlib.Path, data: bytes, name: str = "hive.dat") -> str:
    (path := tmp_path / name).write_bytes(data)
    return str(path)


def open_hive(tmp_path: pathlib.Path, data: bytes, name: str = "hive.dat") -> kelpa.Hive:
    return kelpa.Hive.open(write_hive(tmp_path, data, name))


def image(bins: bytes | bytearray, **base_block_fields) -> bytes:
    """A base block followed by ``bins`` as they are (no bin header: cell offset 0 is bins[0])."""
    base_block_fields.setdefault("hive_bins_data_size", len(bins))
    return hivegen.base_block(**base_block_fields) + bytes(bins)


def replayed(tmp_path: pathlib.Path, hive: bytes | None, *logs: bytes | str | None) -> kelpa.Hive:
    """Hive.open_with_logs of "hive" (not written when None) and "log1".. written from ``logs`` (None: no such
    file; "dir": a folder)."""
    if hive is not None:
        (tmp_path / "hive").write_bytes(hive)
    paths = [tmp_path / f"log{i}" for i in range(1, len(logs) + 1)]
    for path, log in zip(paths, logs):
        if log == "dir":
            path.mkdir()
        elif log is not None:
            path.write_bytes(log)
    return kelpa.Hive.open_with_logs(str(tmp_path / "hive"), *map(str, paths))


def put_cell(bins: bytearray, offset: int, size: int, payload: bytes = b"") -> None:
    struct.pack_into("<i", bins, offset, size)
    bins[offset + 4 : offset + 4 + len(payload)] = payload


def outcome(call):
    """What ``call()`` returns, or (exception class, args) when it raises: one comparison then checks a
    result or the exact error (see ``error``)."""
    try:
        return call()
    except Exception as e:  # noqa: BLE001 - the class is part of what is compared
        return type(e), e.args


def error(message: str, cls: type[BaseException] = ValueError) -> tuple:
    return cls, (message,)


def tolerant_walk(hive: kelpa.Hive, max_keys: int = 500_000) -> types.SimpleNamespace:
    """Every reachable key, depth first, up to ``max_keys``, counting a failing subkeys() or values() and going
    on: ``digests`` as inventory.json records a walk (names: each key name, its value names, "(default)" for the
    unnamed one, each UTF-8 and zero-terminated, then its subkeys; data: u32 type, u64 length, bytes), the key
    names, the failures (subkeys, values), the values over 16344 bytes and whether a name holds U+FFFD."""
    names, data, stack = hashlib.sha256(), hashlib.sha256(), [hive.root_key()]
    walk = types.SimpleNamespace(keys=[], failures=[0, 0], values=0, big=0, replaced=False)
    while stack and len(walk.keys) < max_keys:
        key = stack.pop()
        walk.keys.append(key.name())
        listed = [key.name()]
        try:
            for value in key.values():
                raw = value.raw_data()
                listed.append(value.name() or "(default)")
                data.update(struct.pack("<IQ", value.value_type().type_id(), len(raw)) + raw)
                walk.values, walk.big = walk.values + 1, walk.big + (len(raw) > 16344)
        except ValueError:
            walk.failures[1] += 1
        names.update(b"".join(n.encode() + b"\0" for n in listed))
        walk.replaced |= any("\ufffd" in n for n in listed)
        try:
            stack.extend(reversed(key.subkeys()))
        except ValueError:
            walk.failures[0] += 1
    walk.failures = tuple(walk.failures)
    walk.digests = {"keys": len(walk.keys), "values": walk.values, "names_sha256": names.hexdigest(),
                    "data_sha256": data.hexdigest()}
    return walk


def corpus_params(listing: str = "inventory.json", keep=lambda record: record.get("role", "hive") == "hive") -> list:
    """One param per record of a listing of the shared hives that ``keep`` keeps, or one skipped param without them."""
    if not (path := SHARED_HIVES / listing).is_file():
        return [pytest.param(None, id="no-shared-hives",
                             marks=pytest.mark.skip(reason=f"no shared hives at {SHARED_HIVES}"))]
    return [pytest.param(r, id=r["file"]) for r in json.loads(path.read_text()) if keep(r)]
