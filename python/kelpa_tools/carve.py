"""Hives carved out of disk images, unallocated space and memory dumps.

The extension's ``kelpa.carve`` finds the base blocks and bins in a source and places the bins at
the offsets they state; this module maps each source, writes every hive it found into a folder
(never over an existing file) and lists them in a manifest."""

from __future__ import annotations

import concurrent.futures
import csv
import dataclasses
import datetime
import hashlib
import json
import mmap
import multiprocessing
import os
from collections.abc import Callable, Iterable, Iterator

import kelpa

from . import hive_types

MANIFEST_COLUMNS = ("source", "offset", "kind", "file_name", "last_written", "hive_type", "bins_found",
                    "bins_expected", "bytes_missing", "sha256", "output")
COPY_CHUNK = 8 << 20
_ZEROS = bytes(COPY_CHUNK)


@dataclasses.dataclass(frozen=True)
class Carved:
    """One written hive, as the manifest lists it. ``offset`` is the source position of the base
    block (of the first bin, for a fragment); ``output`` the written file's name in the folder."""
    source: str
    offset: int
    kind: str
    file_name: str
    last_written: datetime.datetime | None
    hive_type: str
    bins_found: int
    bins_expected: int
    bytes_missing: int
    sha256: str
    output: str

    def row(self) -> dict[str, object]:
        fields = dataclasses.asdict(self)
        fields["last_written"] = self.last_written.isoformat(timespec="microseconds") if self.last_written else ""
        return fields


@dataclasses.dataclass
class SourceResult:
    """What carving one source gave: the hives written, and the hives found but left out for
    holding fewer than ``min_size`` bytes of bins."""
    source: str
    carved: list[Carved]
    skipped: int = 0


def _map(path: str) -> tuple[mmap.mmap | None, int]:
    """A read-only mapping of the whole source (a file or a block device), or None when it is
    empty."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        size = os.lseek(fd, 0, os.SEEK_END)
        if size == 0:
            return None, 0
        mapped = mmap.mmap(fd, size, access=mmap.ACCESS_READ)
    finally:
        os.close(fd)
    if hasattr(mapped, "madvise") and hasattr(mmap, "MADV_SEQUENTIAL"):
        mapped.madvise(mmap.MADV_SEQUENTIAL)
    return mapped, size


def _create(folder: str, name: str) -> tuple[str, int]:
    """A new file in `folder` named `name`, or `name` with "-1", "-2" ... appended when that name
    is taken: created exclusively, so that nothing is ever written over."""
    for n in range(1_000_000):
        candidate = name if n == 0 else f"{name}-{n}"
        try:
            return candidate, os.open(os.path.join(folder, candidate), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
    raise FileExistsError(f"{os.path.join(folder, name)}: no free name")


def write_image(source: mmap.mmap | bytes, hive: kelpa.CarvedHive, out: int) -> str:
    """Writes the image of `hive` to the file descriptor `out` (pieces copied from `source`, the
    made blocks, zeros between them left as holes) and returns its sha256."""
    digest = hashlib.sha256()
    blocks = sorted([(at, length, (src, None)) for at, src, length in hive.pieces] +
                    [(at, len(data), (0, data)) for at, data in hive.made])
    position = 0

    def zeros(n: int) -> None:
        while n > 0:
            digest.update(_ZEROS[:min(n, COPY_CHUNK)])
            n -= COPY_CHUNK

    with memoryview(source) as view, open(out, "wb", closefd=False) as f:
        for at, length, (src, data) in blocks:
            zeros(at - position)
            f.seek(at)
            if data is not None:
                f.write(data)
                digest.update(data)
            else:
                for start in range(src, src + length, COPY_CHUNK):
                    with view[start:min(start + COPY_CHUNK, src + length)] as chunk:
                        f.write(chunk)
                        digest.update(chunk)
            position = at + length
        zeros(hive.size - position)
        f.truncate(hive.size)
    return digest.hexdigest()


def _describe(path: str) -> tuple[str, datetime.datetime | None, str]:
    """The embedded file name, last written time and hive type of a written hive, as `kelpa info`
    shows them; a base block the library cannot read at all leaves them empty."""
    try:
        hive = kelpa.Hive.from_path(path, strict=False)
        return (hive_types.embedded_file_name(hive, path), hive.base_block().last_written,
                hive_types.hive_type(hive, path))
    except (OSError, ValueError):
        return "", None, ""


def carve_source(source: str, folder: str, *, min_size: int = 0,
                 progress: Callable[[int], None] | None = None) -> SourceResult:
    """Carves one source into `folder` (which exists): every hive and fragment found with at
    least `min_size` bytes of bins is written as SOURCENAME-OFFSET-KIND (OFFSET in hexadecimal;
    "-1", "-2" ... added to a name already taken). `progress(bytes_scanned)` is called as the scan
    goes on. OSError when the source cannot be read."""
    mapped, _ = _map(source)
    result = SourceResult(source, [])
    if mapped is None:
        return result
    found: list[kelpa.CarvedHive] = []
    try:
        found = kelpa.carve(mapped, progress=progress)
        base = os.path.basename(os.path.normpath(source)) or "source"
        for hive in found:
            if hive.bytes_found < min_size:
                result.skipped += 1
                continue
            name, fd = _create(folder, f"{base}-{hive.offset:#x}-{hive.kind}")
            path = os.path.join(folder, name)
            try:
                sha = write_image(mapped, hive, fd)
            except BaseException:
                os.close(fd)
                os.unlink(path)
                raise
            os.close(fd)
            file_name, written, hive_type = _describe(path)
            result.carved.append(Carved(source, hive.offset, hive.kind, file_name, written, hive_type,
                                        hive.bins_found, hive.bins_expected, hive.bytes_missing, sha, name))
    finally:
        del found
        mapped.close()
    return result


def _carve_in_worker(source: str, folder: str, min_size: int) -> SourceResult | OSError:
    try:
        return carve_source(source, folder, min_size=min_size)
    except OSError as e:
        return e


def carve_sources(sources: Iterable[str], folder: str, *, min_size: int = 0, jobs: int = 1,
                  progress: Callable[[int], None] | None = None) -> Iterator[tuple[str, SourceResult | OSError]]:
    """carve_source for each source, in up to `jobs` processes; yields (source, result or the
    OSError that stopped it) in the order given. `progress(n)` gets the bytes scanned since its
    last call (with several processes: each source's size once it is done)."""
    sources = list(sources)
    if jobs <= 1 or len(sources) <= 1:
        for source in sources:
            last = [0]

            def step(done: int) -> None:
                if progress is not None:
                    progress(done - last[0])
                last[0] = done
            try:
                yield source, carve_source(source, folder, min_size=min_size, progress=step)
            except OSError as e:
                yield source, e
        return
    with concurrent.futures.ProcessPoolExecutor(min(jobs, len(sources)),
                                                mp_context=multiprocessing.get_context("fork")) as pool:
        futures = [pool.submit(_carve_in_worker, s, folder, min_size) for s in sources]
        for source, future in zip(sources, futures):
            outcome = future.result()
            if progress is not None:
                try:
                    progress(os.path.getsize(source))
                except OSError:
                    pass
            yield source, outcome


def write_manifest(folder: str, carved: list[Carved], *, as_json: bool = False) -> str:
    """Writes FOLDER/manifest.csv (manifest.json with `as_json`) whole, or not at all, and never
    over an existing file (FileExistsError). Returns its path."""
    path = os.path.join(folder, "manifest.json" if as_json else "manifest.csv")
    temporary, fd = _create(folder, f".{os.path.basename(path)}.partial")
    temporary = os.path.join(folder, temporary)
    try:
        with open(fd, "w", encoding="utf-8", errors="surrogateescape", newline="") as out:
            if as_json:
                json.dump([c.row() for c in carved], out, indent=1)
                out.write("\n")
            else:
                writer = csv.DictWriter(out, MANIFEST_COLUMNS, lineterminator="\n")
                writer.writeheader()
                writer.writerows(c.row() for c in carved)
        os.link(temporary, path)  # fails when the manifest exists: nothing is replaced
    finally:
        os.unlink(temporary)
    return path
