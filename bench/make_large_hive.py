"""Writes a large synthetic hive for the benchmarks, shaped like a SOFTWARE hive.

    python bench/make_large_hive.py [--keys N] [--values N] [--big N] [--seed N] [--out DIR]

Prints the path of the hive. The same parameters always give the same bytes (every choice is
drawn from one seeded generator), and a hive already written with the same parameters is reused:
its file name holds them, and a side file with the tree's statistics is written last, so a run
that was cut short is redone.

The shape, with the defaults (300 000 keys, 1 000 000 values, about 150 MB):
- keys down to depth 15 or so; most keys have no or few subkeys, a few have hundreds, and
  a handful of collections (like CLSID or Interface) have 1 200 to 9 000 subkeys, which the
  writer puts under an "ri" index root over "lh" lists of at most 1 000 entries; every other
  list is an "lh" list;
- values of every type, the mix and sizes of a real SOFTWARE hive: short and path-like strings,
  inline DWORDs, small and medium binaries, multi-strings, QWORDs, resource lists, REG_LINK,
  two unknown ids, and `--big` values above 16 344 bytes stored as big data ("db");
- names: mostly ASCII (stored in the 8-bit form), about 3 % of key names and 2 % of value names
  non-ASCII (stored as UTF-16), a default (unnamed) value on about 8 % of keys.

The root key has no values, so its key node is the first cell of the first bin, where some
readers look for it instead of following the base block's root offset.
"""

from __future__ import annotations

import argparse
import collections
import json
import math
import pathlib
import random
import struct
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import hivegen  # noqa: E402
from hivegen import Key, Value  # noqa: E402

# Bump when the generator's output changes for the same parameters: cached files are then remade.
GENERATOR_VERSION = 1

DEFAULT_OUT = HERE / "out"

WORDS = (
    "Microsoft Windows CurrentVersion Explorer Shell Extensions Approved Policies System Services "
    "Parameters Control Class Enum Setup Installer Components Features Products UserData Software "
    "Classes Interface TypeLib AppID Wow6432Node Internet Settings Zones Cache Security Network "
    "Provider Drivers Display Audio Video Print Spooler Fonts Keyboard Layout Input Locale Time "
    "Zone Update Defender Edge Office Common Options Recent Files History Profile Config Debug "
    "Trace Log Event Channels Publishers Diagnostics Performance Counters Memory Storage Disk "
    "Volume Mount Devices Bluetooth Wireless Ethernet Adapter Protocol Tcpip Dns Dhcp Firewall "
    "Rules Catalog Handlers Associations Verbs Open Command DefaultIcon InprocServer32 "
    "LocalServer32 ProgID VersionIndependentProgID Implemented Categories ThreadingModel"
).split()

VALUE_NAMES = (
    "DisplayName ImagePath Start Type ErrorControl Description ObjectName Group DependOnService "
    "Version InstallDate Publisher UninstallString InstallLocation DisplayVersion EstimatedSize "
    "Path Enabled Flags Options Count Timeout Language Data Default LastUpdate Size Order Tag "
    "ThreadingModel Assembly Class RuntimeVersion CodeBase FriendlyName HardwareID CompatibleIDs "
    "Mfg Service ConfigFlags Capabilities Address UINumber LocationInformation DriverVersion "
    "ProviderName InfPath InfSection MatchingDeviceId Priority Revision Checksum Hash Policy"
).split()

NON_ASCII_WORDS = ("Überwachung", "Größe", "Настройки", "監視サービス", "Ñandú", "Ελληνικά", "café", "Zürich",
                   "Résumé", "東京", "Łódź", "Ångström")

# (type id, weight): the value type mix. The unknown ids are a private type (0x20) and a device
# property type (0xFFFF0011), both seen in real hives.
TYPE_WEIGHTS = (
    (hivegen.REG_SZ, 440), (hivegen.REG_DWORD, 260), (hivegen.REG_BINARY, 110),
    (hivegen.REG_EXPAND_SZ, 50), (hivegen.REG_MULTI_SZ, 40), (hivegen.REG_QWORD, 40),
    (hivegen.REG_NONE, 20), (hivegen.REG_DWORD_BIG_ENDIAN, 5), (hivegen.REG_LINK, 3),
    (hivegen.REG_RESOURCE_LIST, 8), (hivegen.REG_FULL_RESOURCE_DESCRIPTOR, 8),
    (hivegen.REG_RESOURCE_REQUIREMENTS_LIST, 6), (0x20, 5), (0xFFFF0011, 5),
)

# Fan-outs of the collections: each gets an "ri" index root.
COLLECTIONS = (9000, 4200, 2600, 1800, 1200)
ROOT_NAME = "ROOT"


class Generator:
    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)
        self.serial = 0
        self.when = hivegen.filetime(__import__("datetime").datetime(2024, 1, 1))

    # -- names --

    def word(self) -> str:
        return self.rng.choice(WORDS)

    def key_name(self) -> str:
        self.serial += 1
        r = self.rng.random()
        if r < 0.03:
            return f"{self.rng.choice(NON_ASCII_WORDS)}-{self.serial}"
        if r < 0.20:
            return self.guid()
        if r < 0.60:
            return f"{self.word()}{self.word()}{self.serial % 1000}"
        return f"{self.word()}.{self.serial}"

    def guid(self) -> str:
        h = self.rng.getrandbits(128).to_bytes(16, "little").hex().upper()
        return "{" + f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}" + "}"

    def value_name(self, index: int) -> str:
        r = self.rng.random()
        if r < 0.02:
            return f"{self.rng.choice(NON_ASCII_WORDS)}{index}"
        if r < 0.70:
            name = self.rng.choice(VALUE_NAMES)
            return name if index < 8 else f"{name}{index}"
        return f"{self.rng.choice(VALUE_NAMES)}{self.word()}{index}"

    def last_written(self) -> int:
        return self.when + self.rng.randrange(0, 3 * 365 * 86_400) * 10_000_000

    # -- data --

    def text(self, mean_chars: float, cap: int) -> str:
        n = max(1, min(cap, int(self.rng.lognormvariate(math.log(mean_chars), 0.8))))
        out: list[str] = []
        size = 0
        while size < n:
            w = self.word()
            out.append(w)
            size += len(w) + 1
        return " ".join(out)[:n]

    def path(self) -> str:
        parts = [self.word() for _ in range(self.rng.randint(1, 5))]
        root = self.rng.choice((r"%SystemRoot%\System32", r"C:\Program Files", r"%ProgramFiles(x86)%", r"%windir%"))
        return root + "\\" + "\\".join(parts) + self.rng.choice((".dll", ".exe", ".sys", ""))

    def binary_size(self) -> int:
        r = self.rng.random()
        if r < 0.50:
            return self.rng.randint(1, 16)
        if r < 0.90:
            return self.rng.randint(17, 256)
        if r < 0.99:
            return self.rng.randint(257, 1024)
        return self.rng.randint(1025, 8192)

    def data(self, type_id: int) -> bytes:
        rng = self.rng
        if type_id == hivegen.REG_SZ:
            if rng.random() < 0.005:
                return hivegen.sz(self.text(1000, 7000))
            return hivegen.sz(self.path() if rng.random() < 0.25 else self.text(18, 400))
        if type_id == hivegen.REG_EXPAND_SZ:
            return hivegen.sz(self.path())
        if type_id == hivegen.REG_DWORD:
            return hivegen.dword(rng.choice((0, 1, 2, 3, 4, 0xFFFFFFFF, rng.getrandbits(32), rng.randrange(1000))))
        if type_id == hivegen.REG_DWORD_BIG_ENDIAN:
            return struct.pack(">I", rng.getrandbits(32))
        if type_id == hivegen.REG_QWORD:
            return hivegen.qword(self.last_written())
        if type_id == hivegen.REG_MULTI_SZ:
            return hivegen.multi_sz([self.text(12, 80) for _ in range(rng.randint(1, 6))])
        if type_id == hivegen.REG_NONE:
            return rng.randbytes(rng.choice((0, 0, 0, 1, 4, 8)))
        if type_id == hivegen.REG_LINK:
            return ("\\Registry\\Machine\\" + "\\".join(self.word() for _ in range(4))).encode("utf-16-le")
        if type_id in (hivegen.REG_RESOURCE_LIST, hivegen.REG_FULL_RESOURCE_DESCRIPTOR,
                       hivegen.REG_RESOURCE_REQUIREMENTS_LIST):
            return rng.randbytes(rng.randint(20, 400))
        if type_id == 0xFFFF0011:
            return rng.randbytes(rng.choice((1, 4, 16, 40)))
        return rng.randbytes(self.binary_size())  # REG_BINARY and the private type

    def big_data(self) -> tuple[int, bytes]:
        # Log-uniform from just above the big-data threshold to 512 KiB; a fifth are strings.
        size = int(math.exp(self.rng.uniform(math.log(hivegen.BIG_DATA_THRESHOLD + 1), math.log(512 * 1024))))
        if self.rng.random() < 0.2:
            text = self.text(size // 2, size // 2)
            return hivegen.REG_SZ, hivegen.sz((text * (size // 2 // max(1, len(text)) + 1))[: size // 2])
        return hivegen.REG_BINARY, self.rng.randbytes(size)

    # -- shape --

    def fan_out(self) -> int:
        """Subkeys of a key that has descendants to place: few in most keys, hundreds in some."""
        r = self.rng.random()
        if r < 0.15:
            return 1
        if r < 0.40:
            return self.rng.randint(2, 3)
        if r < 0.78:
            return self.rng.randint(4, 10)
        if r < 0.97:
            return self.rng.randint(11, 60)
        return self.rng.randint(61, 400)

    def split(self, total: int, parts: int) -> list[int]:
        """`total` descendants shared by `parts` subtrees, unevenly (heavy-tailed weights), as
        real hives put most keys under a few branches and leave most keys without subkeys."""
        weights = [self.rng.lognormvariate(0, 1.5) for _ in range(parts)]
        scale = total / sum(weights)
        shares = [int(w * scale) for w in weights]
        for i in self.rng.sample(range(parts), total - sum(shares)):
            shares[i] += 1
        return shares

    def value_count(self) -> int:
        r = self.rng.random()
        if r < 0.30:
            return 0
        if r < 0.50:
            return 1
        if r < 0.75:
            return self.rng.randint(2, 4)
        if r < 0.93:
            return self.rng.randint(5, 10)
        if r < 0.995:
            return self.rng.randint(11, 40)
        return self.rng.randint(41, 200)


def build(keys: int, values: int, big: int, seed: int) -> tuple[Key, dict]:
    g = Generator(seed)
    root = Key(ROOT_NAME, last_written=g.last_written(), list_kind="lh")
    all_keys: list[Key] = []
    depth_of: list[int] = []

    def add(parent: Key, depth: int, name: str | None = None) -> Key:
        child = Key(name or g.key_name(), last_written=g.last_written(), list_kind="lh")
        parent.subkeys.append(child)
        all_keys.append(child)
        depth_of.append(depth)
        return child

    top = [add(root, 1, name) for name in ("Classes", "Clients", "Microsoft", "Policies", "RegisteredApplications",
                                          "Wow6432Node", "ODBC", "Intel", "Partner", "Setup", "Drivers", "Vendors")]
    # The collections sit at depth 2 and hold GUID-named keys at depth 3, each with up to three
    # subkeys of its own (as CLSID entries have InprocServer32, ProgID and the like).
    owners = [top[0], top[0], top[2], top[5], top[2]]
    for size, owner in zip(COLLECTIONS, owners):
        holder = add(owner, 2, f"{g.word()}Collection")
        for _ in range(size):
            member = add(holder, 3, g.guid())
            for _ in range(g.rng.choices((0, 1, 2, 3), (30, 40, 20, 10))[0]):
                add(member, 4)
    budget = keys - 1 - len(all_keys)
    if budget < 0:
        raise SystemExit(f"--keys must be at least {len(all_keys) + 1}")
    # Everything else: each top-level key gets a share, and each key places its share of
    # descendants under a drawn number of subkeys, split unevenly again below them.
    stack = list(zip(top, [1] * len(top), g.split(budget, len(top))))
    while stack:
        key, depth, share = stack.pop()
        if share == 0:
            continue
        children = [add(key, depth + 1) for _ in range(min(share, g.fan_out()))]
        stack.extend(zip(children, [depth + 1] * len(children), g.split(share - len(children), len(children))))
    assert len(all_keys) == keys - 1

    # Values: counts drawn per key, then evened out at random keys to hit the total exactly.
    counts = [g.value_count() for _ in all_keys]
    diff = values - sum(counts)
    while diff != 0:
        i = g.rng.randrange(len(counts))
        if diff > 0:
            counts[i] += 1
            diff -= 1
        elif counts[i] > 0:
            counts[i] -= 1
            diff += 1
    big_at = set(g.rng.sample(range(values), big))
    type_ids = [t for t, _ in TYPE_WEIGHTS]
    weights = [w for _, w in TYPE_WEIGHTS]
    per_type: collections.Counter[str] = collections.Counter()
    data_bytes = 0
    n = 0
    for key, count in zip(all_keys, counts):
        default = count > 0 and g.rng.random() < 0.08
        for i in range(count):
            if n in big_at:
                type_id, data = g.big_data()
            else:
                type_id = g.rng.choices(type_ids, weights)[0]
                data = g.data(type_id)
            name = "" if default and i == 0 else g.value_name(i)
            key.values.append(Value(name, type_id, data))
            per_type[f"0x{type_id:x}"] += 1
            data_bytes += len(data)
            n += 1

    fan_outs = [len(k.subkeys) for k in all_keys]
    stats = {
        "keys": keys, "values": values, "big_values": big, "seed": seed, "generator_version": GENERATOR_VERSION,
        "max_depth": max(depth_of), "mean_depth": round(sum(depth_of) / len(depth_of), 2),
        "max_fan_out": max(fan_outs), "keys_with_ri": sum(1 for f in fan_outs if f > 1000),
        "data_bytes": data_bytes, "values_by_type": dict(sorted(per_type.items())),
    }
    return root, stats


def target(out: pathlib.Path, keys: int, values: int, big: int, seed: int) -> pathlib.Path:
    return out / f"large-k{keys}-v{values}-b{big}-s{seed}-g{GENERATOR_VERSION}.hive"


def make(keys: int = 300_000, values: int = 1_000_000, big: int = 80, seed: int = 1,
         out: pathlib.Path = DEFAULT_OUT, quiet: bool = False) -> pathlib.Path:
    path = target(out, keys, values, big, seed)
    stats_path = path.with_suffix(".json")
    if path.exists() and stats_path.exists():
        return path
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    root, stats = build(keys, values, big, seed)
    image = hivegen.build_tree(root, ri_threshold=1000, file_name="SOFTWARE".encode("utf-16-le"))
    stats["file_size"] = len(image)
    tmp = path.with_suffix(".tmp")
    tmp.write_bytes(image)
    tmp.replace(path)
    stats_path.write_text(json.dumps(stats, indent=2) + "\n")
    if not quiet:
        print(f"wrote {path} ({len(image) / 1e6:.1f} MB) in {time.perf_counter() - started:.0f} s", file=sys.stderr)
    return path


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=300_000)
    parser.add_argument("--values", type=int, default=1_000_000)
    parser.add_argument("--big", type=int, default=80, help="values stored as big data")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT)
    args = parser.parse_args(argv)
    print(make(args.keys, args.values, args.big, args.seed, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
