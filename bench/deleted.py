"""The deleted-record scan: speed on one hive, and recovery against another parser's list.

    python bench/deleted.py [HIVE] [--runs N]   # deleted_keys() + deleted_values(), median of N
    python bench/deleted.py --recovery          # per shared hive: found / missed / extra

No parser on PyPI recovers deleted records (python-registry, regipy and libregf-python walk
the live tree only), so the speed run times kelpa beside ``python_scan`` below: the same
search written in plain Python (free cells, slack of key nodes and value keys, the space after
the last bin; a record tried at every multiple of 8), which is what the recovering parsers are
made of. It reads value data from one cell only, so it does a little less work than kelpa.

``--recovery`` compares with ``../shared/hives/deleted.json``: keys by (name, FILETIME to the
microsecond), values by (name, type, first 16 hex digits of the SHA-256 of the data); a value
whose data the other parser could not read is matched by name and type.
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import pathlib
import statistics
import struct
import sys
import time
from collections import Counter

import kelpa

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared" / "hives"


def python_scan(path: str) -> tuple[int, int]:
    image = pathlib.Path(path).read_bytes()
    bins = memoryview(image)[4096:]
    live_end = min(struct.unpack_from("<I", image, 40)[0], len(bins))
    stretches, pos = [], 0
    while pos < live_end and bytes(bins[pos:pos + 4]) == b"hbin" and struct.unpack_from("<I", bins, pos + 4)[0] == pos:
        size = struct.unpack_from("<I", bins, pos + 8)[0]
        if size < 32:
            break
        end, cell = min(pos + size, len(bins)), pos + 32
        while end - cell >= 8:
            raw = struct.unpack_from("<i", bins, cell)[0]
            if abs(raw) < 8 or abs(raw) > end - cell:
                break
            if raw > 0:
                stretches.append((cell, cell + raw))
            elif bins[cell + 4:cell + 6] in (b"nk", b"vk"):
                used = 76 + struct.unpack_from("<H", bins, cell + 76)[0] if bins[cell + 4] == 0x6E else \
                    20 + struct.unpack_from("<H", bins, cell + 6)[0]
                if (start := cell + (4 + used + 7) // 8 * 8) < cell - raw:
                    stretches.append((start, cell - raw))
            cell += abs(raw)
        pos += size
    stretches.append((pos, len(bins)))
    keys = values = 0
    for start, end in stretches:
        at = start
        while at + 6 <= end:
            sig, size = bytes(bins[at + 4:at + 6]), abs(struct.unpack_from("<i", bins, at)[0])
            step = 8
            if sig in (b"nk", b"vk") and 8 <= size <= end - at:
                p = bins[at + 4:at + size]
                if sig == b"nk" and len(p) >= 76:
                    n = struct.unpack_from("<H", p, 72)[0]
                    name = bytes(p[76:76 + n])
                    if 0 < n <= 510 and len(name) == n:
                        try:
                            text = name.decode("latin-1") if p[2] & 0x20 else name.decode("utf-16-le")
                        except UnicodeDecodeError:
                            text = ""
                        if text and not any(c < " " or c == "\\" for c in text):
                            keys, step = keys + 1, (80 + n + 7) // 8 * 8
                elif sig == b"vk" and len(p) >= 20:
                    n, dsize, doff = struct.unpack_from("<HII", p, 2)
                    name = bytes(p[20:20 + n])
                    if len(name) == n:
                        if 4 < dsize < 0x80000000 and doff + 4100 <= len(image):
                            cell_size = abs(struct.unpack_from("<i", image, doff + 4096)[0])
                            _ = image[doff + 4100:doff + 4096 + min(cell_size, dsize + 4)]
                        values, step = values + 1, (24 + n + 7) // 8 * 8
            at += step
    return keys, values


def timed(fn, runs: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def speed(path: str, runs: int) -> None:
    def kelpa_scan():
        hive = kelpa.Hive.open(path)
        return len(hive.deleted_keys()), len(hive.deleted_values())

    k, (kk, kv) = timed(kelpa_scan, runs)
    p, (pk, pv) = timed(lambda: python_scan(path), max(1, runs // 4))
    print(f"{pathlib.Path(path).name} ({pathlib.Path(path).stat().st_size / 1e6:.1f} MB)")
    print(f"  kelpa deleted_keys() + deleted_values(): {k * 1e3:.2f} ms ({kk} keys, {kv} values)")
    print(f"  the same search in plain Python:          {p * 1e3:.1f} ms ({pk} keys, {pv} values)"
          f" -> kelpa {p / k:.0f}x faster")


def microseconds_since_1601(when: datetime.datetime | None) -> int:
    if when is None:
        return 0
    delta = when - datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def recovery() -> None:
    print(f"{'hive':58} {'keys found/missed/extra':>24} {'values found/missed/extra':>26}")
    for record in json.loads((SHARED / "deleted.json").read_text()):
        name = record["file"]
        try:
            hive = kelpa.Hive.open(str(SHARED / name))
        except ValueError as e:
            print(f"{name:58} not opened: {e}")
            continue
        got_k = Counter((k.name(), microseconds_since_1601(k.last_written())) for k in hive.deleted_keys())
        want_k = Counter((n, t // 10) for n, t in record.get("keys", []))
        got_v = Counter((v.name(), v.value_type().type_id(), hashlib.sha256(v.raw_data()).hexdigest()[:16])
                        for v in hive.deleted_values())
        listed = [(n or "(default)", t, d) for n, t, d in record.get("values", [])]
        exact = Counter(x for x in listed if not x[2].startswith("<"))
        found_exact = exact & got_v
        rest = Counter((n, t) for n, t, _ in (got_v - found_exact).elements())
        found_loose = Counter((n, t) for n, t, d in listed if d.startswith("<")) & rest
        fv = found_exact.total() + found_loose.total()
        fk = (want_k & got_k).total()
        note = f"  (other parser: {record['error'][:40]})" if "error" in record else ""
        print(f"{name:58} {fk:>8} {want_k.total() - fk:>6} {got_k.total() - fk:>7}"
              f" {fv:>9} {len(listed) - fv:>6} {got_v.total() - fv:>8}{note}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("hive", nargs="?", default=str(SHARED / "regipy__SYSTEM_WIN_10_1709"))
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--recovery", action="store_true")
    args = parser.parse_args()
    if args.recovery:
        recovery()
    else:
        speed(args.hive, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
