"""Walk a registry hive and print everything kelpa shows: the base block, the bins and the whole
key tree with typed values.

    python examples/walk_hive.py [HIVE [--log1 LOG1] [--log2 LOG2]]

For a hive given, it ends by saying whether the hive file is dirty and what each log did.

With no hive given, it writes a small sample hive (and a transaction log that changes one of its
values) into a temporary folder, prints the sample, then the value before and after replaying the
log.
"""

from __future__ import annotations

import argparse
import datetime
import pathlib
import sys
import tempfile

import kelpa

HERE = pathlib.Path(__file__).resolve().parent


def when(key: kelpa.RegistryKey) -> str:
    seconds = key.last_written_timestamp()
    if seconds is None:
        return "never written"
    try:
        return datetime.datetime.fromtimestamp(seconds, datetime.UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
    except (OverflowError, OSError, ValueError):
        return f"{seconds} s since 1970"


def printable(value: kelpa.RegistryValue) -> str:
    try:
        text = str(value.data())
    except ValueError as e:  # data that does not parse by its type: show the raw bytes
        text = f"<{e}> {value.raw_data()[:32].hex()}"
    return text if len(text) <= 100 else text[:97] + "..."


# Real hives nest a few dozen keys deep; a damaged one can list a key as its own subkey, so the
# walk stops descending here instead of going round for ever.
MAX_DEPTH = 512


def print_tree(root: kelpa.RegistryKey) -> None:
    stack: list[tuple[kelpa.RegistryKey, int]] = [(root, 0)]
    while stack:
        key, depth = stack.pop()
        pad = "  " * depth
        print(f"{pad}{key.name() or '(root)'}  [{key.subkey_count()} subkeys, {key.value_count()} values, {when(key)}]")
        if depth == MAX_DEPTH:
            print(f"{pad}  ! deeper than {MAX_DEPTH} keys: not descending further (a key may list itself)")
            continue
        try:
            for value in key.values():
                print(f"{pad}  - {value.name()} ({value.value_type()}, {value.data_size()} bytes): {printable(value)}")
            subkeys = key.subkeys()
        except ValueError as e:
            print(f"{pad}  ! {e}")
            continue
        stack.extend((sub, depth + 1) for sub in reversed(subkeys))


def show(hive: kelpa.Hive) -> None:
    print(hive)
    bb = hive.base_block()
    print(bb)
    print(f"  file name: {bb.file_name!r}, sequences: {bb.primary_sequence}/{bb.secondary_sequence}")
    try:
        bins = hive.hbins()
        print(f"  {len(bins)} bins: " + ", ".join(repr(b) for b in bins[:4]) + (" ..." if len(bins) > 4 else ""))
    except ValueError as e:
        print(f"  bins: {e}")
    try:
        print_tree(hive.root_key())
    except ValueError as e:
        print(f"root key: {e}")


PARAMETERS = "ControlSet001\\Services\\Tcpip\\Parameters"


def sample_with_log(folder: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    """The sample hive, and a log whose page rewrites the sample's host name."""
    sys.path.insert(0, str(HERE.parent / "tests"))
    import hivegen
    import sample_hive

    image = bytearray(hivegen.build_tree(sample_hive.sample_tree(), file_name=b"SAMPLE"))
    (hive_path := folder / "SAMPLE").write_bytes(image)
    old = kelpa.Hive.open(str(hive_path)).open_key(PARAMETERS).value("Hostname").raw_data()
    at = image.index(old)
    new = hivegen.sz("kelpa-log1")
    assert len(new) == len(old)
    page_start = at - at % 4096
    image[at:at + len(new)] = new
    log = hivegen.transaction_log(1, [[(page_start, bytes(image[page_start:page_start + 4096]))]])
    log_path = folder / "SAMPLE.LOG1"
    log_path.write_bytes(log)
    return hive_path, log_path


def report_replay(path: str, replayed: list[kelpa.LogReplay]) -> None:
    """Whether the hive file is dirty, and what each log did."""
    try:
        on_disk = kelpa.Hive.open(path).base_block()
        state = "dirty" if on_disk.is_dirty else "clean"
        print(f"The hive file is {state} (sequence numbers {on_disk.primary_sequence} and {on_disk.secondary_sequence}).")
    except ValueError as e:  # a base block that only a log can replace
        print(f"The hive file does not open as it lies on disk: {e}.")
    else:
        if on_disk.is_dirty and not replayed:
            print("Its latest changes are in its transaction logs: give them as LOG1=... LOG2=... to replay them.")
    for r in replayed:
        done = f"applied (entries: {r.entries}, pages: {r.pages}, last sequence: {r.sequence})" if r.applied else "not applied"
        print(f"  {r.path} [{r.layout or 'unknown layout'}]: {done}" + (f" ({r.reason})" if r.reason else ""))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("hive", nargs="?", help="hive file (default: a generated sample)")
    parser.add_argument("--log1")
    parser.add_argument("--log2")
    args = parser.parse_args()

    if args.hive:
        if args.log1 or args.log2:
            hive = kelpa.Hive.open_with_logs(args.hive, args.log1, args.log2)
        else:
            hive = kelpa.Hive.open(args.hive)
        show(hive)
        print()
        report_replay(args.hive, hive.log_replay())
        return 0

    with tempfile.TemporaryDirectory() as tmp:
        hive_path, log_path = sample_with_log(pathlib.Path(tmp))
        show(kelpa.Hive.open(str(hive_path)))
        print()
        print("Replaying a generated transaction log onto the sample:")
        for label, hive in (("before", kelpa.Hive.open(str(hive_path))),
                            ("after ", kelpa.Hive.open_with_logs(str(hive_path), str(log_path)))):
            host = hive.open_key(PARAMETERS).value("Hostname").data()
            print(f"  {label}: {PARAMETERS}\\Hostname = {host}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
