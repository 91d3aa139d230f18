"""What kind of hive a hive is (SYSTEM, NTUSER, ...), found from its keys, with its embedded and
given file names as hints only where the keys cannot tell."""

from __future__ import annotations

import os

import kelpa

# The hive types batch rules name, matched without regard to case. USER, USERCLASSES, SETTINGS
# and REGISTRY are the hives of Windows Store apps (User.dat, UserClasses.dat, settings.dat,
# Registry.dat); ELAM is the early-launch anti-malware hive; OTHER is none of them.
HIVE_TYPES = ("NTUSER", "SAM", "SECURITY", "SOFTWARE", "SYSTEM", "USRCLASS", "COMPONENTS", "DRIVERS",
              "AMCACHE", "SYSCACHE", "BCD", "DEFAULT", "USER", "USERCLASSES", "SETTINGS", "REGISTRY", "ELAM",
              "OTHER")

# File names (without folder, any letter case) that name a type where the keys cannot tell.
_BY_FILE_NAME = {"ntuser.dat": "NTUSER", "default": "DEFAULT", "user.dat": "USER", "userclasses.dat": "USERCLASSES",
                 "usrclass.dat": "USRCLASS", "settings.dat": "SETTINGS", "registry.dat": "REGISTRY", "elam": "ELAM",
                 "sam": "SAM", "security": "SECURITY", "software": "SOFTWARE", "system": "SYSTEM",
                 "components": "COMPONENTS", "drivers": "DRIVERS", "amcache.hve": "AMCACHE",
                 "syscache.hve": "SYSCACHE", "bcd": "BCD"}

# Keys at the root of a user profile hive (NTUSER.DAT, DEFAULT, a Store app's User.dat).
_PROFILE_KEYS = {"appevents", "console", "control panel", "environment", "eudc", "keyboard layout", "printers",
                 "software", "network", "identities", "unicode program groups"}


FILE_NAME_FIELD = slice(48, 112)  # the base block's 64-byte file name


def embedded_file_name(hive: kelpa.Hive, path: str | os.PathLike[str] | None = None) -> str:
    """The base block's file name. Windows stores it as UTF-16LE (its last 31 characters, NUL
    padded): read from the file at `path`, it shows as such when it decodes and some character has
    a zero high byte. Without the file, the library's reading of the field (a byte a character, a
    zero byte as a space) is turned back into UTF-16 text where every second character is that
    space. Any other field is shown as the library reads it."""
    shown = hive.base_block().file_name
    stored = b""
    if path is not None:
        try:
            with open(path, "rb") as f:
                stored = f.read(FILE_NAME_FIELD.stop)[FILE_NAME_FIELD].rstrip(b"\0")
        except OSError:
            pass
    elif len(shown) > 1 and set(shown[1::2]) == {" "}:
        return shown[0::2]
    stored += b"\0" * (len(stored) % 2)
    if 0 in stored[1::2]:
        try:
            text = stored.decode("utf-16-le")
        except UnicodeDecodeError:
            text = "\0"
        if "\0" not in text:
            return text
    return shown


def canonical(name: str) -> str | None:
    """The hive type a rule names (any letter case: NtUser, Software, UsrClass ...), or None."""
    upper = name.strip().upper()
    return upper if upper in HIVE_TYPES else None


def _has(key: kelpa.RegistryKey, path: str) -> bool:
    try:
        key.open_key(path)
        return True
    except ValueError:
        return False


def _by_name(*names: str | None) -> str | None:
    for name in filter(None, names):
        base = name.replace("\\", "/").rsplit("/", 1)[-1].lower()
        if base in _BY_FILE_NAME:
            return _BY_FILE_NAME[base]
    return None


def hive_type(hive: kelpa.Hive, path: str | os.PathLike[str] | None = None) -> str:
    """The type of `hive`, one of HIVE_TYPES. The keys at the root decide:
    - SYSTEM: a ControlSet key; SAM: SAM\\Domains; SECURITY: Policy with RXACT or Cache;
      AMCACHE: Root\\InventoryApplicationFile, Root\\File or Root\\Programs; SYSCACHE: DefaultObjectStore;
      BCD: Description and Objects; COMPONENTS: CanonicalData or DerivedData; DRIVERS: DriverDatabase
      without Select; SETTINGS: LocalState or RoamingState;
    - USRCLASS (or USERCLASSES by name): Local Settings, CLSID or file extensions (".txt") at the root;
    - a user profile (two or more of Software, Environment, Control Panel, Console, AppEvents, ...):
      DEFAULT or USER when the embedded or given file name says so, else NTUSER;
    - SOFTWARE: Microsoft at the root (and no Software key).
    Where the keys say nothing, the embedded file name (the base block's), then the given file
    name, can name the type (ELAM, REGISTRY, ...); else OTHER. Keys that cannot be read count as
    absent."""
    given = os.fspath(path) if path is not None else None
    named = _by_name(embedded_file_name(hive, path), given)
    try:
        root = hive.root_key()
        names = {k.name().lower() for k in root.subkeys()}
    except ValueError:
        return named or "OTHER"
    if any(n.startswith("controlset") for n in names):
        return "SYSTEM"
    if "sam" in names and _has(root, "SAM\\Domains"):
        return "SAM"
    if "policy" in names and ("rxact" in names or "cache" in names):
        return "SECURITY"
    if "root" in names and any(_has(root, p) for p in ("Root\\InventoryApplicationFile", "Root\\File", "Root\\Programs")):
        return "AMCACHE"
    if "defaultobjectstore" in names:
        return "SYSCACHE"
    if {"description", "objects"} <= names:
        return "BCD"
    if names & {"canonicaldata", "deriveddata"}:
        return "COMPONENTS"
    if "driverdatabase" in names:
        return "DRIVERS"
    if names & {"localstate", "roamingstate"}:
        return "SETTINGS"
    if "local settings" in names or "clsid" in names or any(n.startswith(".") for n in names):
        return "USERCLASSES" if named == "USERCLASSES" else "USRCLASS"
    if len(names & _PROFILE_KEYS) >= 2:
        return named if named in ("DEFAULT", "USER") else "NTUSER"
    if "microsoft" in names and "software" not in names:
        return "SOFTWARE"
    return named or "OTHER"
