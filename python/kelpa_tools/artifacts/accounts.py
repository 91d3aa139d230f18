"""Accounts: the local users and groups of a SAM hive.

A user is the key SAM\\Domains\\Account\\Users\\<RID> (the RID as eight hex digits) with two
binary values: F, a fixed record of times and counters, and V, a table of (offset, length)
entries followed by the data they point at (names, paths, and the encrypted password hashes, of
which only the presence is read here: nothing is extracted or decrypted); from Windows 8 on, the
password hint a user set is UserPasswordHint, UTF-16LE text in a binary value. The key
Users\\Names\\<user name> is made when the account is, and not written again: its last-write
time is the account's creation time. A group (an alias) is Builtin\\Aliases\\<RID> or
Account\\Aliases\\<RID> with one binary value, C: a header of (offset, size) fields followed by
a security descriptor, the name, the comment and the members' SIDs."""

from __future__ import annotations

import struct
from collections.abc import Iterator
from typing import Any

import kelpa

from . import times
from .base import Context, decoder, utf16

USERS = r"SAM\Domains\Account\Users"
ALIASES = (("Builtin", r"SAM\Domains\Builtin\Aliases"), ("Account", r"SAM\Domains\Account\Aliases"))

# A user's F value (80 bytes from Windows NT 4 to 11; the fields below are the first 68): format
# version, then the times, the RID, the account control flags and the counters.
USER_F = struct.Struct("<HH4x QQQQQ I4x H2x HH HH")
(F_MAJOR, F_MINOR, F_LAST_LOGIN, F_LAST_LOGOFF, F_PASSWORD_LAST_SET, F_ACCOUNT_EXPIRES, F_LAST_FAILED_LOGIN,
 F_RID, F_FLAGS, F_COUNTRY_CODE, F_CODE_PAGE, F_FAILED_LOGIN_COUNT, F_LOGIN_COUNT) = range(13)

# A user's V value: 17 entries of (offset from the end of the entries, length, unknown), then the data.
V_ENTRY = struct.Struct("<II4x")
V_HEADER_SIZE = 17 * 12
# Entry numbers of what is read (the others: the security descriptor 0, unknown 5 and 12, the
# logon hours 11, the password histories 15 and 16).
V_TEXTS = (("username", 1), ("full_name", 2), ("comment", 3), ("user_comment", 4), ("home_dir", 6),
           ("home_dir_drive", 7), ("logon_script", 8), ("profile_path", 9), ("workstations", 10))
V_LM_HASH, V_NT_HASH = 13, 14
# A stored hash starts with a header: a 16-bit key id and a 16-bit revision, then, for revision 1
# (RC4, up to Windows 10 1511) the 16 bytes of the hash itself, for revision 2 (AES, Windows 10
# 1607 on) a 32-bit data length and a 16-byte salt before the encrypted hash. A header alone
# (4 or 24 bytes) means no hash is set.
HASH_HEADER = struct.Struct("<HH")
HASH_HEADER_SIZE = {1: 4, 2: 24}

# The account control bits of the F value's flags field (USER_ACCOUNT_CONTROL's low 16 bits as
# the SAM stores them).
ACCOUNT_FLAGS = ("disabled", "home_dir_required", "password_not_required", "temp_duplicate_account",
                 "normal_account", "mns_logon_account", "interdomain_trust_account", "workstation_trust_account",
                 "server_trust_account", "password_never_expires", "auto_locked", "encrypted_text_password_allowed",
                 "smartcard_required", "trusted_for_delegation", "not_delegated", "use_des_key_only")

# An alias's C value: RID, unknown, security descriptor size, format version, then (offset, size,
# unknown) of the name and the comment and (offset, size, count) of the members, each offset from
# the end of this header.
ALIAS_C = struct.Struct("<I4xI4x II4x II4x III")
(C_RID, C_DESCRIPTOR_SIZE, C_NAME_OFFSET, C_NAME_SIZE, C_COMMENT_OFFSET, C_COMMENT_SIZE, C_MEMBERS_OFFSET,
 C_MEMBERS_SIZE, C_MEMBER_COUNT) = range(9)
SID_HEAD = struct.Struct("<BB6s")  # revision, sub-authority count, 48-bit big-endian authority
SID_MAX_SUB_AUTHORITIES = 15


def _rid(name: str) -> int | None:
    """The RID a key is named after (eight hex digits), or None for another name."""
    if len(name) != 8:
        return None
    try:
        return int(name, 16)
    except ValueError:
        return None


def _names(ctx: Context) -> dict[int, tuple[str, kelpa.RegistryKey]]:
    """RID -> (user name, its Names key): the RID is the type of the key's unnamed value."""
    found: dict[int, tuple[str, kelpa.RegistryKey]] = {}
    for key in ctx.subkeys(ctx.key(USERS + r"\Names")):
        for value in ctx.values(key):
            if value.is_unnamed():
                found[value.value_type().type_id()] = (key.name(), key)
                break
    return found


def _v_text(ctx: Context, key: kelpa.RegistryKey, v: bytes, field: str, entry: int) -> str | None:
    offset, length = V_ENTRY.unpack_from(v, entry * 12)
    if length == 0:
        return None
    start = V_HEADER_SIZE + offset
    if start + length > len(v):
        ctx.problem(key, f"V's {field} ({length} bytes at {offset:#x}) runs past its {len(v)} bytes")
        return None
    return utf16(v[start : start + length])


def _has_hash(ctx: Context, key: kelpa.RegistryKey, v: bytes, field: str, entry: int) -> bool | None:
    offset, length = V_ENTRY.unpack_from(v, entry * 12)
    if length == 0:
        return False
    start = V_HEADER_SIZE + offset
    if length < HASH_HEADER.size or start + length > len(v):
        ctx.problem(key, f"V's {field} ({length} bytes at {offset:#x}) is not a hash record within its {len(v)} bytes")
        return None
    revision = HASH_HEADER.unpack_from(v, start)[1]
    if revision not in HASH_HEADER_SIZE:
        ctx.problem(key, f"V's {field} has an unknown revision {revision}")
        return None
    return length > HASH_HEADER_SIZE[revision]


_USER_FIELDS = (
    ("rid", "int"), ("username", "text"), ("full_name", "text"), ("comment", "text"), ("user_comment", "text"),
    ("home_dir", "text"), ("home_dir_drive", "text"), ("logon_script", "text"), ("profile_path", "text"),
    ("workstations", "text"), ("created", "time"), ("last_login", "time"), ("password_last_set", "time"),
    ("account_expires", "time"), ("last_failed_login", "time"), ("login_count", "int"),
    ("failed_login_count", "int"), ("flags", "int"), ("flag_names", "texts"), ("country_code", "int"),
    ("code_page", "int"), ("has_lm_hash", "bool"), ("has_nt_hash", "bool"), ("password_hint", "text"))


@decoder("sam_user", hive_types=("SAM",), description="Local user accounts: names, logon times and counts, flags "
         "and whether password hashes are set (no hash is read).",
         keys=(USERS, USERS + r"\*", USERS + r"\Names\*"), fields=_USER_FIELDS,
         events={"created": "account created", "last_login": "logged on", "password_last_set": "password set",
                 "last_failed_login": "logon failed"}, summary="username")
def sam_user(ctx: Context) -> Iterator[dict[str, Any]]:
    names = _names(ctx)
    for key in ctx.subkeys(ctx.key(USERS)):
        rid = _rid(key.name())
        if rid is None:
            continue  # Names
        row: dict[str, Any] = dict.fromkeys(name for name, _ in _USER_FIELDS)
        row["rid"] = rid
        if (named := names.get(rid)) is not None:
            row["username"] = named[0]
            try:
                row["created"] = named[1].last_written()
            except ValueError:
                pass
        f = ctx.raw(key, "F")
        if f is not None and len(f) < USER_F.size:
            ctx.problem(key, f"F holds {len(f)} bytes, fewer than the {USER_F.size} of a user record")
        elif f is not None:
            fields = USER_F.unpack_from(f)
            flags = fields[F_FLAGS]
            row.update(last_login=times.filetime(fields[F_LAST_LOGIN]),
                       password_last_set=times.filetime(fields[F_PASSWORD_LAST_SET]),
                       account_expires=times.filetime(fields[F_ACCOUNT_EXPIRES]),
                       last_failed_login=times.filetime(fields[F_LAST_FAILED_LOGIN]),
                       login_count=fields[F_LOGIN_COUNT], failed_login_count=fields[F_FAILED_LOGIN_COUNT],
                       flags=flags, flag_names=[n for bit, n in enumerate(ACCOUNT_FLAGS) if flags >> bit & 1],
                       country_code=fields[F_COUNTRY_CODE], code_page=fields[F_CODE_PAGE])
            if fields[F_RID] != rid:
                ctx.problem(key, f"F names RID {fields[F_RID]}, the key RID {rid}")
        v = ctx.raw(key, "V")
        if v is not None and len(v) < V_HEADER_SIZE:
            ctx.problem(key, f"V holds {len(v)} bytes, fewer than the {V_HEADER_SIZE} of its entries")
        elif v is not None:
            for field, entry in V_TEXTS:
                text = _v_text(ctx, key, v, field, entry)
                if text is not None or field != "username":
                    row[field] = text
            row["has_lm_hash"] = _has_hash(ctx, key, v, "LM hash", V_LM_HASH)
            row["has_nt_hash"] = _has_hash(ctx, key, v, "NT hash", V_NT_HASH)
        if (hint := ctx.raw(key, "UserPasswordHint")) is not None:
            row["password_hint"] = utf16(hint)
        yield ctx.row(key, **row)


def _sids(ctx: Context, key: kelpa.RegistryKey, data: bytes, count: int) -> list[str]:
    """`count` SIDs one after another in `data`; those that do not fit are a problem."""
    sids, at = [], 0
    for _ in range(count):
        if at + SID_HEAD.size > len(data):
            break
        revision, subs, authority = SID_HEAD.unpack_from(data, at)
        end = at + SID_HEAD.size + 4 * subs
        if subs > SID_MAX_SUB_AUTHORITIES or end > len(data):
            break
        parts = struct.unpack_from(f"<{subs}I", data, at + SID_HEAD.size)
        sids.append("-".join(["S", str(revision), str(int.from_bytes(authority, "big")), *map(str, parts)]))
        at = end
    if len(sids) < count:
        ctx.problem(key, f"C lists {count} members, of which {len(sids)} read as SIDs within its data")
    return sids


@decoder("sam_group", hive_types=("SAM",), description="Local groups (built-in and the machine's own): names, "
         "comments and members' SIDs.",
         keys=tuple(path + suffix for _, path in ALIASES for suffix in ("", r"\*")),
         fields=(("domain", "text"), ("rid", "int"), ("name", "text"), ("comment", "text"), ("members", "texts")),
         summary="name")
def sam_group(ctx: Context) -> Iterator[dict[str, Any]]:
    for domain, path in ALIASES:
        for key in ctx.subkeys(ctx.key(path)):
            rid = _rid(key.name())
            c = None if rid is None else ctx.raw(key, "C")
            if c is None:
                continue  # Members, Names
            if len(c) < ALIAS_C.size:
                ctx.problem(key, f"C holds {len(c)} bytes, fewer than the {ALIAS_C.size} of its header")
                continue
            fields = ALIAS_C.unpack_from(c)
            body = c[ALIAS_C.size :]

            def text(offset: int, size: int, what: str) -> str | None:
                if size == 0:
                    return None
                if offset + size > len(body):
                    ctx.problem(key, f"C's {what} ({size} bytes at {offset:#x}) runs past its {len(body)} bytes")
                    return None
                return utf16(body[offset : offset + size])

            start, size = fields[C_MEMBERS_OFFSET], fields[C_MEMBERS_SIZE]
            members: list[str] = []
            if fields[C_MEMBER_COUNT]:
                if start > len(body):
                    ctx.problem(key, f"C's members start at {start:#x}, past its {len(body)} bytes")
                else:
                    members = _sids(ctx, key, body[start : start + size], fields[C_MEMBER_COUNT])
            yield ctx.row(key, domain=domain, rid=rid, name=text(fields[C_NAME_OFFSET], fields[C_NAME_SIZE], "name"),
                          comment=text(fields[C_COMMENT_OFFSET], fields[C_COMMENT_SIZE], "comment"), members=members)
