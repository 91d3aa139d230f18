import datetime
import os
from collections.abc import Buffer, Callable, Iterator, Sequence
from typing import Literal, NamedTuple, final

__all__ = ["Hive", "RegistryKey", "RegistryValue", "ValueData", "ValueType", "BaseBlock", "HbinHeader", "LogReplay",
           "Problem", "CarvedHive", "carve", "__version__"]

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

__version__: str

@final
class Hive:
    """Python wrapper for Hive"""

    @staticmethod
    def open(path: str) -> Hive:
        """Open a registry hive file"""
    @staticmethod
    def open_with_logs(hive_path: str, log1_path: str | None = None, log2_path: str | None = None) -> Hive:
        """Open a registry hive with transaction logs applied"""
    @staticmethod
    def from_path(path: _Path, log1: _Path | None = None, log2: _Path | None = None, *, strict: bool = True) -> Hive:
        """Open a hive file, replaying the given transaction logs"""
    @staticmethod
    def from_bytes(data: Buffer, log1: Buffer | None = None, log2: Buffer | None = None, *, strict: bool = True) -> Hive:
        """Open a hive held in memory, replaying the given transaction logs"""
    def problems(self) -> list[Problem]:
        """Get the problems met while reading the hive"""
    def table(self, kind: Literal["keys", "values"], *, path: str = '', deleted: bool = False,
              columns: Sequence[str] | None = None, layout: Literal["large", "view"] = 'large') -> HiveTable:
        """Get the keys or the values below a key as an Arrow stream; each read starts a new stream over the hive"""
    def base_block(self) -> BaseBlock:
        """Get the base block (header) information"""
    def root_key(self) -> RegistryKey:
        """Get the root key of the hive"""
    def hbins(self) -> list[HbinHeader]:
        """Get all hbin headers"""
    def save(self, path: str) -> None:
        """Save the hive to a file"""
    def log_replay(self) -> list[LogReplay]:
        """Get what replaying the transaction logs did"""
    def deleted_keys(self) -> list[RegistryKey]:
        """Get the key nodes found in unallocated space, in image order"""
    def deleted_values(self) -> list[RegistryValue]:
        """Get the value keys found in unallocated space, in image order, with whatever data can still be read"""
    def open_key(self, path: str) -> RegistryKey:
        """Open a key by its path from the root key"""

@final
class BaseBlock:
    """Python wrapper for BaseBlock"""

    @property
    def signature(self) -> str:
        """Get the signature (should be "regf")"""
    @property
    def primary_sequence(self) -> int:
        """Get the primary sequence number"""
    @property
    def secondary_sequence(self) -> int:
        """Get the secondary sequence number"""
    @property
    def root_cell_offset(self) -> int:
        """Get the root cell offset"""
    @property
    def hive_length(self) -> int:
        """Get the hive length (size of hive data in bytes)"""
    @property
    def file_name(self) -> str:
        """Get the file name"""
    @property
    def hive_bins_data_size(self) -> int:
        """Get the hive bins data size (same as hive_length)"""
    @property
    def is_dirty(self) -> bool:
        """Whether the sequence numbers differ (changes not yet written to the hive file)"""
    @property
    def last_written(self) -> datetime.datetime | None:
        """Get the last write time as a timezone-aware datetime in UTC (None when not set)"""
    @property
    def major_version(self) -> int:
        """Get the major version"""
    @property
    def minor_version(self) -> int:
        """Get the minor version"""
    @property
    def file_type(self) -> int:
        """Get the file type"""
    @property
    def file_format(self) -> int:
        """Get the file format"""
    @property
    def clustering_factor(self) -> int:
        """Get the clustering factor"""
    @property
    def checksum(self) -> int:
        """Get the stored checksum"""

@final
class RegistryKey:
    """Python wrapper for RegistryKey

    Stores Arc<Hive> and offset to avoid lifetime issues with PyO3."""

    def name(self) -> str:
        """Get the key name"""
    def subkey_count(self) -> int:
        """Get the number of subkeys"""
    def value_count(self) -> int:
        """Get the number of values"""
    def subkeys(self) -> list[RegistryKey]:
        """Get all subkeys"""
    def last_written_timestamp(self) -> int | None:
        """Get the last write timestamp as Unix timestamp (seconds since epoch)"""
    def value(self, name: str) -> RegistryValue:
        """Get a specific value by name"""
    def values(self) -> list[RegistryValue]:
        """Get all values"""
    def last_written(self) -> datetime.datetime | None:
        """Get the last write time as a timezone-aware datetime in UTC (None when not set)"""
    def last_written_filetime(self) -> int:
        """Get the last written time as a FILETIME: 100 ns intervals since 1601-01-01 UTC"""
    def class_name(self) -> str | None:
        """Get the class name (None when the key has none)"""
    def security_descriptor(self) -> bytes | None:
        """Get the security descriptor as stored, as bytes (None when the key has none)"""
    def flags(self) -> int:
        """Get the key node flags"""
    def cell_offset(self) -> int:
        """Get the cell offset of the key node"""
    def is_deleted(self) -> bool:
        """Check whether the key node's cell is free (the key was deleted)"""
    def open_key(self, sub_key: str) -> RegistryKey:
        """Open a subkey by its path relative to this key"""
    def parent(self) -> RegistryKey | None:
        """Get the parent key, or None for the root key"""
    def path(self) -> str:
        """Get the path of the key from the root key"""
    def walk(self, onerror: Callable[[ValueError], object] | None = None) -> Iterator[RegistryKey]:
        """Iterate over this key and all keys below it, depth first"""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class RegistryValue:
    """Python wrapper for RegistryValue

    Stores owned data to avoid lifetime issues with PyO3."""

    def name(self) -> str:
        """Get the value name"""
    def value_type(self) -> ValueType:
        """Get the value type"""
    def data(self) -> ValueData:
        """Get the parsed value data"""
    def raw_data(self) -> bytes:
        """Get the raw value data as bytes"""
    def data_size(self) -> int:
        """Get the data size in bytes"""
    def is_unnamed(self) -> bool:
        """Check whether this is the key's unnamed value (the one name() calls "(default)")"""
    def cell_offset(self) -> int:
        """Get the cell offset of the value key"""
    def key_offset(self) -> int | None:
        """Get the cell offset of the key node whose value list lists this value (None when no key is known)"""

@final
class ValueData:
    """Python wrapper for ValueData"""

    def is_none(self) -> bool:
        """Check if this is a None value"""
    def is_string(self) -> bool:
        """Check if this is a String value"""
    def is_binary(self) -> bool:
        """Check if this is a Binary value"""
    def is_dword(self) -> bool:
        """Check if this is a DWORD value"""
    def is_qword(self) -> bool:
        """Check if this is a QWORD value"""
    def is_multi_string(self) -> bool:
        """Check if this is a MultiString value"""
    def as_string(self) -> str:
        """Get as string (if applicable)"""
    def as_binary(self) -> bytes:
        """Get as binary data (if applicable)"""
    def as_dword(self) -> int:
        """Get as DWORD (if applicable)"""
    def as_qword(self) -> int:
        """Get as QWORD (if applicable)"""
    def as_multi_string(self) -> list[str]:
        """Get as multi-string (if applicable)"""

@final
class ValueType:
    """Python wrapper for ValueType"""

    def type_name(self) -> str:
        """Get the type name as string (e.g., "REG_SZ", "REG_DWORD")"""
    def type_id(self) -> int:
        """Get the numeric type ID"""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __int__(self) -> int: ...

@final
class HbinHeader:
    """Python wrapper for HbinHeader"""

    @property
    def signature(self) -> str:
        """Get the signature (should be "hbin")"""
    @property
    def offset(self) -> int:
        """Get the offset from the start of the hive bins data"""
    @property
    def size(self) -> int:
        """Get the size of this hbin"""

@final
class LogReplay(NamedTuple):
    """What replaying one transaction log did"""

    path: str
    layout: str
    applied: bool
    entries: int
    pages: int
    sequence: int | None
    reason: str

@final
class Problem(NamedTuple):
    """A problem met while reading a hive"""

    offset: int | None
    message: str

class CarvedHive(NamedTuple):
    """One hive found in a source, to write"""

    kind: Literal["hive", "reassembled", "fragment"]
    offset: int
    size: int
    pieces: list[tuple[int, int, int]]
    made: list[tuple[int, bytes]]
    bins_found: int
    bins_expected: int
    bytes_found: int
    bytes_missing: int

def carve(data: Buffer, *, progress: Callable[[int], object] | None = None) -> list[CarvedHive]:
    """Find hives and hive fragments in a source (a read-only buffer: a writable one is copied first) and place their bins"""

@final
class HiveTable:
    """A hive's keys or values as an Arrow stream; each read starts a new stream over the hive"""

    def __arrow_c_schema__(self) -> object:
        """Export the schema as an Arrow PyCapsule"""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """Export the rows as an Arrow stream PyCapsule, a new stream over the hive on each call"""
