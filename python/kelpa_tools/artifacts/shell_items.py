"""Windows shell items: the binary item ID lists (PIDLs) in which Explorer and the common dialogs
remember folders and files, one item per path component. `read(data)` turns a list into typed
`ShellItem`s; every decoder that meets shell items (ShellBags, the ComDlg32 MRU lists, RecentDocs)
goes through it.

An item ID list is a run of items, each a 16-bit size (counting itself) and that many bytes, ended
by a size of 0. Byte 2 of an item, its class type, tells most kinds apart (0x1f root folder,
0x2X volume, 0x3X file entry, 0x4X network location, 0x61 URI, 0x71 control panel item); others
are told by a signature (control panel categories, MTP devices, users' property views, delegate
items) or by their parent (the contents of a ZIP file). File entries of Windows XP and later carry
extension blocks, each a 16-bit size, a version and a 0xbeefXXXX signature; block 0xbeef0004 holds
the long name, creation and access times and the NTFS file reference.

Nothing here raises on what the data holds: an item of a kind not known comes back as type
"unknown" with its class type and bytes, a field that cannot be read is None, and a list cut short
gives the items before the cut with the reason in `ItemList.problem`.

The DOS dates and times of file entries (two-second steps) are stored in UTC: Windows converts the
file system's UTC times without applying the time zone, and on real hives the access time of a
folder opened once lies minutes, not a time zone's hours, before the BagMRU key's last write.
They come back as aware UTC datetimes."""

from __future__ import annotations

import dataclasses
import datetime
import struct
import uuid

from . import times

_U16, _U32, _U64 = struct.Struct("<H"), struct.Struct("<I"), struct.Struct("<Q")
_DOS = struct.Struct("<HH")  # date, time

# Item kinds (ShellItem.type).
ROOT_FOLDER, VOLUME, DIRECTORY, FILE, FILE_ENTRY = "root_folder", "volume", "directory", "file", "file_entry"
NETWORK_LOCATION, URI, CONTROL_PANEL_CATEGORY, CONTROL_PANEL_ITEM = ("network_location", "uri",
                                                                      "control_panel_category", "control_panel_item")
CONTROL_PANEL_CPL, USERS_PROPERTY_VIEW, DELEGATE, ZIP_CONTENT = ("control_panel_cpl", "users_property_view",
                                                                 "delegate", "zip_content")
MTP_VOLUME, MTP_FILE_ENTRY, ACRONIS_TIB, GAME_FOLDER, UNKNOWN = ("mtp_volume", "mtp_file_entry", "acronis_tib",
                                                                 "game_folder", "unknown")

# Signatures of the items told by a signature.
CONTROL_PANEL_CATEGORY_SIGNATURE = 0x39DE2184  # at 4
CPL_SIGNATURES = frozenset({0x00000000, 0xFFFFEE79, 0xFFFFF444, 0xFFFFFF36, 0xFFFFFF37, 0xFFFFFF38, 0xFFFFFF9A,
                            0xFFFFFF9C, 0xFFFFFFFF})  # at 4, with class type 0
MTP_VOLUME_SIGNATURE, MTP_FILE_ENTRY_SIGNATURE = 0x10312005, 0x07192006  # at 6
ACRONIS_TIB_SIGNATURE = 0xACB16752  # at 2
GAME_FOLDER_SIGNATURE = b"GFSI"  # at 4
# Users' property view data (at 4: data size, signature, property store size, identifier size).
PROPERTY_VIEW_SIGNATURES = frozenset({0x10141981, 0x23A3DFD5, 0x23FEBBEE, 0x3B93AFBB, 0x49505241, 0xBEEBEE00})
KNOWN_FOLDER_VIEW_SIGNATURE = 0x23FEBBEE  # its identifier is a known folder GUID
DELEGATE_CLASS = uuid.UUID("5e591a74-df96-48d3-8d67-1733bcee28ba").bytes_le
# Delegate folders whose inner data is another item: "CFSF" + a file entry, 0xf5a6b710 + a volume.
DELEGATE_FILE_ENTRY, DELEGATE_VOLUME = b"CFSF", 0xF5A6B710
SEARCH_FOLDER = "04731b67-d933-450a-90e6-4acd2e9408fe"  # a delegate folder whose inner data is a search

# Extension block signatures.
FILE_ENTRY_EXTENSION = 0xBEEF0004

CONTROL_PANEL_CATEGORIES = ("All Control Panel Items", "Appearance and Personalization", "Hardware and Sound",
                            "Network and Internet", "Sounds, Speech, and Audio Devices", "System and Security",
                            "Clock, Language, and Region", "Ease of Access", "Programs", "User Accounts",
                            "Security Center", "Mobile PC")

# Names Explorer shows for shell folder and known folder identifiers met in item ID lists.
KNOWN_FOLDERS = {
    "20d04fe0-3aea-1069-a2d8-08002b30309d": "My Computer",
    "0ac0837c-bbf8-452a-850d-79d08e667ca7": "My Computer",
    "208d2c60-3aea-1069-a2d7-08002b30309d": "My Network Places",
    "f02c1a0d-be21-4350-88b0-7367fc96ef3c": "Network",
    "d20beec4-5ca8-4905-ae3b-bf251ea09b53": "Network",
    "450d8fba-ad25-11d0-98a8-0800361b1103": "My Documents",
    "645ff040-5081-101b-9f08-00aa002f954e": "Recycle Bin",
    "21ec2020-3aea-1069-a2dd-08002b30309d": "Control Panel",
    "26ee0668-a00a-44d7-9371-beb064c98683": "Control Panel",
    "2227a280-3aea-1069-a2de-08002b30309d": "Printers",
    "871c5380-42a0-1069-a2ea-08002b30309d": "Internet Explorer",
    "59031a47-3f72-44a7-89c5-5595fe6b30ee": "Users Files",
    "031e4825-7b94-4dc3-b131-e946b44c8dd5": "Libraries",
    "1b3ea5dc-b587-4786-b4ef-bd1dc332aeae": "Libraries",
    "679f85cb-0220-4080-b29b-5540cc05aab6": "Quick access",
    "f874310e-b6b7-47dc-bc84-b9e6b38f5903": "Home",
    "9343812e-1c37-4a49-a12e-4b2d810d956b": "Search Home",
    "04731b67-d933-450a-90e6-4acd2e9408fe": "Search Folder",
    "b4bfcc3a-db2c-424c-b029-7fe99a87c641": "Desktop",
    "fdd39ad0-238f-46af-adb4-6c85480369c7": "Documents",
    "d3162b92-9365-467a-956b-92703aca08af": "Documents",
    "a8cdff1c-4878-43be-b5fd-f8091c1c60d0": "Documents",
    "374de290-123f-4565-9164-39c4925e467b": "Downloads",
    "088e3905-0323-4b02-9826-5d99428e115f": "Downloads",
    "4bd8d571-6d19-48d3-be97-422220080e43": "Music",
    "3dfdf296-dbec-4fb4-81d1-6a3438bcf4de": "Music",
    "1cf1260c-4dd0-4ebb-811f-33c572699fde": "Music",
    "33e28130-4e1e-4676-835a-98395c3bc3bb": "Pictures",
    "24ad3ad4-a569-4530-98e1-ab02f9417aa8": "Pictures",
    "3add1653-eb32-4cb0-bbd7-dfa0abb5acca": "Pictures",
    "18989b1d-99b5-455b-841c-ab7c74e4ddfc": "Videos",
    "f86fa3ab-70d2-4fc7-9c99-fcbf05467f3a": "Videos",
    "a0953c92-50dc-43bf-be83-3742fed03c9c": "Videos",
    "0db7e03f-fc29-4dc6-9020-ff41b59e513a": "3D Objects",
    "1777f761-68ad-4d8a-87bd-30b759fa33dd": "Favorites",
    "323ca680-c24d-4099-b94d-446dd2d7249e": "Favorites",
    "bfb9d5e0-c6a9-404c-b2b2-ae6db6af4968": "Links",
    "4c5c32ff-bb9d-43b0-b5b4-2d72e54eaaa4": "Saved Games",
    "56784854-c6cb-462b-8169-88e350acb882": "Contacts",
    "7d1d3a04-debb-4115-95cf-2f29da2920da": "Searches",
    "5e6c858f-0e22-4760-9afe-ea3317b67173": "User Profile",
    "0762d272-c50a-4bb0-a382-697dcd729b80": "Users",
    "ed228fdf-9ea8-4870-83b1-96b02cfe0d52": "My Games",
    "22877a6d-37a1-461a-91b0-dbda5aaebc99": "Recent Places",
    "ae50c081-ebd2-438a-8655-8a092e34987a": "Recent Items",
    "3134ef9c-6b18-4996-ad04-ed5912e00eb5": "Recent Files",
    "3936e9e4-d92c-4eee-a85a-bc16d5ea0819": "Frequent Places",
    "7007acc7-3202-11d1-aad2-00805fc1270e": "Network Connections",
    "992cffa0-f557-101a-88ec-00dd010ccc48": "Network Connections",
    "b28aa736-876b-46da-b3a8-84c5e30ba492": "Web Sites",
    "35786d3c-b075-49b9-88dd-029876e11c01": "Portable Devices",
    "640167b4-59b0-47a6-b335-a6b3c0695aea": "Portable Media Devices",
    "f5fb2c77-0e2f-4a16-a381-3e560c68bc83": "Removable Drives",
    "dffacdc5-679f-4156-8947-c5c76bc0b67f": "Users Files",
    "9113a02d-00a3-46b9-bc5f-9c04daddd5d7": "Enhanced Storage Data Source",
    "289af617-1cc3-42a6-926c-e6a863f0e3ba": "DLNA Media Servers Data Source",
    "b155bdf8-02f0-451e-9a26-ae317cfd7779": "Nethood",
    "9db7a13c-f208-4981-8353-73cc61ae2783": "Previous Versions",
    "4234d49b-0245-4df3-b780-3893943456e1": "Applications",
    "4336a54d-038b-4685-ab02-99bb52d3fb8b": "Public",
    "905e63b6-c1bf-494e-b29c-65b732d3d21a": "Program Files",
    "6d809377-6af0-444b-8957-a3773f02200e": "Program Files",
    "f38bf404-1d43-42f2-9305-67de0b28fc23": "Windows",
    "1ac14e77-02e7-4e5d-b744-2eb1ae5198b7": "System32",
    "62ab5d82-fdc1-4dc3-a9dd-070d1d495d97": "ProgramData",
    "3eb685db-65f9-4cf6-a03a-e3ef65729f3d": "AppData Roaming",
    "f1b32785-6fba-4fcf-9d55-7b8e7f157091": "AppData Local",
    "a520a1a4-1780-4ff6-bd18-167343c5af16": "AppData LocalLow",
    "a63293e8-664e-48db-a079-df759e0509f7": "Templates",
    "625b53c3-ab48-4ec1-ba1f-a1ef4146fc19": "Start Menu",
    "a77f5d77-2e2b-44c3-a6a2-aba601054a51": "Programs",
    "b97d20bb-f46a-4c97-ba10-5e3608430854": "Startup",
    "8983036c-27c0-404b-8f08-102d10dcfd74": "SendTo",
    "7b0db17d-9cd2-4a93-9733-46cc89022e7c": "Documents Library",
    "2112ab0a-c86a-4ffe-a368-0de96e47012e": "Music Library",
    "a990ae9f-a03b-4e80-94bc-9912d7504104": "Pictures Library",
    "491e922f-5643-4af4-a7eb-4e7a138d8174": "Videos Library",
    "018d5c66-4533-4307-9b53-224de2ed1fe6": "OneDrive",
    "a52bba46-e9e1-435f-b3d9-28daa648c0f6": "OneDrive",
    "e17d4fc0-5564-11d1-83f2-00a0c90dc849": "Search Results",
    "9e52ab10-f80d-49df-acb8-4330f5687855": "CD Burning",
    "2559a1f3-21d7-11d4-bdaf-00c04f60b9f0": "Help and Support",
    "2559a1f4-21d7-11d4-bdaf-00c04f60b9f0": "Run",
    "00020d75-0000-0000-c000-000000000046": "Microsoft Outlook",
    "c4aa340d-f20f-4863-afef-f87ef2e6ba25": "Public Desktop",
    "ed4824af-dce4-45a8-81e2-fc7965083634": "Public Documents",
}

# Control panel items (class type 0x71), by the GUID at 14.
CONTROL_PANEL_ITEMS = {
    "60632754-c523-4b62-b45c-4172da012619": "User Accounts",
    "7007acc7-3202-11d1-aad2-00805fc1270e": "Network Connections",
    "bb06c0e4-d293-4f75-8a90-cb05b6477eee": "System",
    "025a5937-a6be-4686-a844-36fe4bec8b6d": "Power Options",
    "36eef7db-88ad-4e81-ad49-0e313f0c35f8": "Windows Update",
    "d20ea4e1-3957-11d2-a40b-0c5020524153": "Administrative Tools",
    "d6277990-4c6a-11cf-8d87-00aa0060f5bf": "Scheduled Tasks",
    "7b81be6a-ce2b-4676-a29e-eb907a5126c5": "Programs and Features",
    "8e908fc9-becc-40f6-915b-f4ca0e70d03d": "Network and Sharing Center",
    "4026492f-2f69-46b8-b9bf-5654fc07e423": "Windows Firewall",
    "17cd9488-1228-4b2f-88ce-4298e93e0966": "Default Programs",
    "74246bfc-4c96-11d0-abef-0020af6b0b7a": "Device Manager",
    "a8a91a66-3a7d-4424-8d24-04e180695c7a": "Devices and Printers",
    "9c60de1e-e5fc-40f4-a487-460851a8d915": "AutoPlay",
    "bb64f8a7-bee7-4e1a-ab8d-7d8273f7fdb6": "Action Center",
    "9fe63afd-59cf-4419-9775-abcc3849f861": "Recovery",
    "6dfd7c5c-2451-11d3-a299-00c04f8ef6af": "Folder Options",
    "93412589-74d4-4e4e-ad0e-e0cb621440fd": "Fonts",
    "ed834ed6-4b5a-4bfe-8f11-a626dcb6a921": "Personalization",
    "c555438b-3c23-4769-a71f-b6d3d9b6053a": "Display",
    "f2ddfc82-8f12-4cdd-b7dc-d4fe1425aa4d": "Sound",
    "62d8ed13-c9d0-4ce8-a914-47dd628fb1b0": "Region and Language",
    "9c73f5e5-7ae7-4e32-a8e8-8d23b85255bf": "Sync Center",
    "e2e7934b-dce5-43c4-9576-7fe4f75e7480": "Date and Time",
    "87d66a43-7b11-4a28-9811-c86ee395acf7": "Indexing Options",
    "d555645e-d4f8-4c29-a827-d93c859c4f2a": "Ease of Access Center",
    "725be8f7-668e-4c7b-8f90-46bdb0936430": "Keyboard",
    "6c8eec18-8d75-41b2-a177-8831d59d2d50": "Mouse",
    "0df44eaa-ff21-4412-828e-260a8728e7f1": "Taskbar and Start Menu",
    "d9ef8727-cac2-4e60-809e-86f80a666c91": "BitLocker Drive Encryption",
    "b98a2bea-7d42-4558-8bd1-832f41bac6fd": "Backup and Restore",
}


@dataclasses.dataclass(slots=True)
class ShellItem:
    """One item of an item ID list. `type` is one of the kinds above; `name` is the component
    Explorer shows for it (a folder's long name, a drive letter, a GUID's known name or the GUID in
    braces); the other fields are set where the kind holds them."""
    type: str
    class_type: int
    name: str | None = None
    guid: str | None = None  # root folder, volume without name, control panel item, delegate folder, known folder
    file_size: int | None = None
    modified: datetime.datetime | None = None  # UTC, from a DOS time (file entries) or a FILETIME (MTP)
    created: datetime.datetime | None = None
    accessed: datetime.datetime | None = None
    short_name: str | None = None
    long_name: str | None = None
    mft_entry: int | None = None
    mft_sequence: int | None = None
    extension_version: int | None = None  # of block 0xbeef0004
    location: str | None = None  # network location: UNC path or network name
    description: str | None = None
    comments: str | None = None
    parsing_path: str | None = None  # users' property view: the path the property store names
    inner: ShellItem | None = None  # delegate item, users' property view: the item it carries
    data: bytes = b""  # the item's bytes, size field included
    problem: str | None = None  # what could not be read of this item

    @property
    def is_filesystem_root(self) -> bool:
        """A component from which Explorer shows a file system path: a drive ("C:\\") or a UNC path."""
        name = self.name or ""
        return (self.type == VOLUME and name[1:3] == ":\\") or \
            (self.type == NETWORK_LOCATION and name.startswith("\\\\"))


@dataclasses.dataclass(slots=True)
class ItemList:
    items: list[ShellItem]
    problem: str | None = None  # why the list ended before its terminator, if it did
    end: int = 0  # the offset after the terminator (or where reading stopped)


# --- small readers -------------------------------------------------------------------------------

def _u16(d: bytes, at: int) -> int | None:
    return _U16.unpack_from(d, at)[0] if 0 <= at and at + 2 <= len(d) else None


def _u32(d: bytes, at: int) -> int | None:
    return _U32.unpack_from(d, at)[0] if 0 <= at and at + 4 <= len(d) else None


def guid_at(d: bytes, at: int) -> str | None:
    if at < 0 or at + 16 > len(d):
        return None
    return str(uuid.UUID(bytes_le=bytes(d[at : at + 16])))


def known_name(guid: str | None) -> str | None:
    if guid is None:
        return None
    return KNOWN_FOLDERS.get(guid, "{" + guid + "}")


def _dos_at(d: bytes, at: int) -> datetime.datetime | None:
    """A DOS date and time stored in UTC, as an aware datetime."""
    if at < 0 or at + 4 > len(d):
        return None
    moment = times.dos(*_DOS.unpack_from(d, at))
    return None if moment is None else moment.replace(tzinfo=datetime.UTC)


def _ascii_at(d: bytes, at: int, end: int, codepage: str) -> tuple[str | None, int]:
    """An 8-bit string ending at its NUL (or `end`), and the offset after the NUL."""
    end = min(end, len(d))
    if at >= end:
        return None, at
    stop = d.find(b"\0", at, end)
    stop = end if stop < 0 else stop
    return d[at:stop].decode(codepage, "replace"), stop + 1


def _utf16_at(d: bytes, at: int, end: int) -> tuple[str | None, int]:
    """A UTF-16LE string ending at its NUL unit (or `end`), and the offset after the NUL. Unpaired
    surrogates, which file names may hold, become U+FFFD."""
    end = min(end, len(d))
    if at + 2 > end:
        return None, at
    stop = at
    while stop + 2 <= end and (d[stop] or d[stop + 1]):
        stop += 2
    return d[at:stop].decode("utf-16-le", "replace"), stop + 2


# --- property stores (users' property views) --------------------------------------------------------

_NAMED_PROPERTIES = uuid.UUID("d5cdd505-2e9c-101b-9397-08002b2cf9ae").bytes_le
PKEY_ITEM_NAME_DISPLAY = (uuid.UUID("b725f130-47ef-101a-a5f1-02608c9eebac").bytes_le, 10)
PKEY_PARSING_PATH = (uuid.UUID("28636aa6-953d-11d2-b5d6-00c04fd918d0").bytes_le, 30)
VT_BSTR, VT_LPSTR, VT_LPWSTR, VT_CLSID = 0x08, 0x1E, 0x1F, 0x48
MAX_PROPERTIES = 4096


class Storage:  # a serialized property storage: size, "1SPS", format identifier, values
    SIZE, VERSION, FORMAT_ID, VALUES = 0, 4, 8, 24


class StoredValue:  # size, property id (or name size, for named properties), reserved byte, typed value
    SIZE, ID, TYPED = 0, 4, 9


class Typed:  # a typed value: the variant type, two reserved bytes, the data
    TYPE, DATA = 0, 4
    TEXT = 8  # strings: a count at DATA, the text after it


def property_strings(d: bytes, at: int, end: int) -> dict[tuple[bytes, int], str]:
    """The string and GUID properties of a serialized property store at d[at:end], by (format
    identifier as stored, property id); named properties are left out. Reading stops at the first
    storage or value whose size does not fit."""
    found: dict[tuple[bytes, int], str] = {}
    count = 0
    while at + Storage.VALUES <= end and count < MAX_PROPERTIES:
        size = _U32.unpack_from(d, at + Storage.SIZE)[0]
        if size < Storage.VALUES or at + size > end or d[at + Storage.VERSION : at + Storage.FORMAT_ID] != b"1SPS":
            break
        fmtid = bytes(d[at + Storage.FORMAT_ID : at + Storage.VALUES])
        pos, stop = at + Storage.VALUES, at + size
        while pos + StoredValue.TYPED <= stop and count < MAX_PROPERTIES:
            count += 1
            value_size = _U32.unpack_from(d, pos + StoredValue.SIZE)[0]
            if value_size < StoredValue.TYPED or pos + value_size > stop:
                break
            if fmtid != _NAMED_PROPERTIES:
                value = _typed_string(d, pos + StoredValue.TYPED, pos + value_size)
                if value is not None:
                    found.setdefault((fmtid, _U32.unpack_from(d, pos + StoredValue.ID)[0]), value)
            pos += value_size
        at += size
    return found


def _typed_string(d: bytes, at: int, end: int) -> str | None:
    vt = _u16(d, at + Typed.TYPE)
    if vt in (VT_LPWSTR, VT_BSTR, VT_LPSTR):
        count = _u32(d, at + Typed.DATA)
        if count is None:
            return None
        text = at + Typed.TEXT
        if vt == VT_LPWSTR:  # characters, NUL included
            return _utf16_at(d, text, min(end, text + 2 * count))[0] or None
        if vt == VT_BSTR:  # bytes
            return _utf16_at(d, text, min(end, text + count))[0] or None
        return _ascii_at(d, text, min(end, text + count), "cp1252")[0] or None
    if vt == VT_CLSID:
        return guid_at(d, at + Typed.DATA) if at + Typed.DATA + 16 <= end else None
    return None


# --- layouts: field offsets from the start of the item (or block), by kind --------------------------

class Item:  # every item
    SIZE, CLASS_TYPE, FIRST_FIELD = 0, 2, 3


class Root:  # 0x1f root folder
    SORT_INDEX, GUID = 3, 4


class Volume:  # 0x2X: with flag 0x01 an 8-bit drive name (20 bytes), else a GUID
    HAS_NAME = 0x01
    NAME, NAME_END, GUID_AFTER_NAME, GUID = 3, 23, 25, 4


class FileEntry:  # 0x3X, before and after Windows XP
    IS_DIRECTORY, IS_FILE, HAS_UNICODE_NAME = 0x01, 0x02, 0x04
    FILE_SIZE, MODIFIED, ATTRIBUTES, NAME = 4, 8, 12, 14
    LAST_FIELD = 2  # an item with extension blocks ends with the first block's offset


class Block:  # every extension block
    SIZE, VERSION, SIGNATURE, DATA = 0, 2, 4, 8
    LAST_FIELD = 2  # the first extension block's offset


class Beef0004:  # file entry extension; its versions: 3 XP/2003, 7 Vista, 8 7/8.0, 9 8.1/10/11
    CREATED, ACCESSED, AFTER_TIMES = 8, 12, 18
    REFERENCE = 2  # from AFTER_TIMES, version 7 on: MFT entry (48 bits), sequence (16 bits)
    AFTER_REFERENCE = 18  # from AFTER_TIMES: 2 unknown, 8 file reference, 8 unknown
    VERSION_REFERENCE, VERSION_LONG_NAME, VERSION_8, VERSION_9 = 7, 3, 8, 9


class Network:  # 0x4X
    FLAGS, LOCATION = 4, 5
    HAS_DESCRIPTION, HAS_COMMENTS = 0x80, 0x40


class Uri:  # 0x61
    FLAGS, DATA_SIZE, DATA = 3, 4, 6
    UNICODE = 0x80


class ControlPanelItem:  # 0x71
    GUID, MIN_SIZE = 14, 30


class ControlPanelCategory:  # signature 0x39de2184
    SIGNATURE, CATEGORY, MIN_SIZE = 4, 8, 12


class ControlPanelCpl:  # class type 0, signature at 4
    SIGNATURE, PATH, MIN_SIZE = 4, 24, 26


class Delegate:  # any class type: inner data, then the delegate class and folder GUIDs
    INNER_SIZE, INNER = 4, 6
    FOLDER = 16  # from the end of the inner data
    IDENTIFIERS = 32
    WRAPPED_SIZE, WRAPPED = 4, 6  # in inner data holding a whole item: its size (not counting itself)


class PropertyView:  # users' property view data, from its start (item offset 4)
    DATA_SIZE, SIGNATURE, STORE_SIZE, IDENTIFIER_SIZE, IDENTIFIER = 0, 2, 6, 8, 10
    AT = 4  # in an item


class Mtp:  # class type 0, signature at 6
    SIGNATURE = 6
    VOLUME_COUNTS, VOLUME_STRINGS = (38, 42, 46), 54  # name, device identifier, file system
    FILE_MODIFIED, FILE_CREATED = 26, 34
    FILE_COUNTS, FILE_STRINGS = (62, 66, 70), 74  # name, name, object identifier


class AcronisTib:  # signature at 2
    SIGNATURE, STRINGS = 2, 46  # three (character count, UTF-16 string) pairs


class GameFolder:  # class type 0, "GFSI" at 4
    SIGNATURE, GUID, MIN_SIZE = 4, 8, 24


class ZipContent:  # below a ZIP file: the name's character count, a second count, the name
    NAME_COUNT_XP, NAME_COUNT_10 = 60, 84
    NAME = 8  # from the count


# --- extension blocks ---------------------------------------------------------------------------

MAX_BLOCKS = 64


def _extension_blocks(item: ShellItem, d: bytes, at: int, end: int) -> None:
    """Reads the extension blocks at d[at:end] into `item`; a block that does not fit ends the
    reading with a problem."""
    for _ in range(MAX_BLOCKS):
        if at + Block.DATA > end:
            return
        size = _U16.unpack_from(d, at + Block.SIZE)[0]
        signature = _U32.unpack_from(d, at + Block.SIGNATURE)[0]
        if size == 0 or signature >> 16 != 0xBEEF:
            return
        if size < Block.DATA or at + size > end:
            item.problem = f"extension block 0x{signature:08x} at offset {at} claims {size} bytes, {end - at} remain"
            return
        if signature == FILE_ENTRY_EXTENSION:
            _file_entry_extension(item, d, at, at + size)
        at += size


def _file_entry_extension(item: ShellItem, d: bytes, at: int, end: int) -> None:
    """Block 0xbeef0004: creation and access times, the NTFS file reference (version 7 and later),
    the long name (version 3 and later)."""
    version = _U16.unpack_from(d, at + Block.VERSION)[0]
    item.extension_version = version
    if end - at < Beef0004.AFTER_TIMES:
        item.problem = f"extension block 0xbeef0004 holds {end - at} bytes, too few for its times"
        return
    item.created = _dos_at(d, at + Beef0004.CREATED)
    item.accessed = _dos_at(d, at + Beef0004.ACCESSED)
    pos = at + Beef0004.AFTER_TIMES
    if version >= Beef0004.VERSION_REFERENCE:
        if pos + Beef0004.AFTER_REFERENCE > end:
            item.problem = "extension block 0xbeef0004 ends before its file reference"
            return
        reference = _U64.unpack_from(d, pos + Beef0004.REFERENCE)[0]
        if reference:
            item.mft_entry, item.mft_sequence = reference & 0xFFFFFFFFFFFF, reference >> 48
        pos += Beef0004.AFTER_REFERENCE
    if version >= Beef0004.VERSION_LONG_NAME:
        pos += 2  # the long string size
        if version >= Beef0004.VERSION_9:
            pos += 4
        if version >= Beef0004.VERSION_8:
            pos += 4
        long_name, _ = _utf16_at(d, pos, end - Block.LAST_FIELD)
        if long_name is None:
            item.problem = "extension block 0xbeef0004 ends before its long name"
        elif long_name:
            item.long_name = item.name = long_name


# --- the kinds ------------------------------------------------------------------------------------

def _root_folder(d: bytes, size: int) -> ShellItem:
    guid = guid_at(d, Root.GUID)
    item = ShellItem(ROOT_FOLDER, d[Item.CLASS_TYPE], name=known_name(guid), guid=guid)
    if guid is None:
        item.problem = f"root folder item holds {size} bytes, too few for its GUID"
    return item


def _volume(d: bytes, size: int, codepage: str) -> ShellItem:
    class_type = d[Item.CLASS_TYPE]
    if class_type & Volume.HAS_NAME:  # the drive ("C:\")
        name, _ = _ascii_at(d, Volume.NAME, min(size, Volume.NAME_END), codepage)
        item = ShellItem(VOLUME, class_type, name=name)
        if size >= Volume.GUID_AFTER_NAME + 16:
            item.guid = guid_at(d, Volume.GUID_AFTER_NAME)
        return item
    guid = guid_at(d, Volume.GUID)
    item = ShellItem(VOLUME, class_type, name=known_name(guid), guid=guid)
    if guid is None:
        item.problem = f"volume item holds {size} bytes, too few for its GUID"
    return item


def _file_entry(d: bytes, size: int, codepage: str) -> ShellItem:
    class_type = d[Item.CLASS_TYPE]
    kind = DIRECTORY if class_type & FileEntry.IS_DIRECTORY else FILE if class_type & FileEntry.IS_FILE else \
        FILE_ENTRY
    item = ShellItem(kind, class_type)
    if size < FileEntry.NAME:
        item.problem = f"file entry item holds {size} bytes, too few for its fixed fields"
        return item
    item.file_size = _U32.unpack_from(d, FileEntry.FILE_SIZE)[0]
    item.modified = _dos_at(d, FileEntry.MODIFIED)
    # Windows XP and later end the item with the offset of its first extension block; earlier
    # versions put the short name there.
    first_block = _U16.unpack_from(d, size - FileEntry.LAST_FIELD)[0]
    has_blocks = FileEntry.NAME < first_block <= size - Block.DATA - Block.LAST_FIELD and \
        _u32(d, first_block + Block.SIGNATURE) == FILE_ENTRY_EXTENSION
    end = first_block if has_blocks else size
    unicode = class_type & FileEntry.HAS_UNICODE_NAME
    if unicode:
        name, pos = _utf16_at(d, FileEntry.NAME, end)
    else:
        name, pos = _ascii_at(d, FileEntry.NAME, end, codepage)
        pos += pos & 1  # 8-bit names are padded to an even offset
    item.short_name = item.name = name
    if has_blocks:
        _extension_blocks(item, d, first_block, size)
    elif not unicode and pos < size:
        secondary, _ = _ascii_at(d, pos, size, codepage)
        if secondary:
            item.short_name = secondary
    if name is None:
        item.problem = "file entry item ends before its name"
    return item


def _network_location(d: bytes, size: int, codepage: str) -> ShellItem:
    item = ShellItem(NETWORK_LOCATION, d[Item.CLASS_TYPE])
    if size <= Network.LOCATION:
        item.problem = f"network location item holds {size} bytes, too few for its location"
        return item
    flags = d[Network.FLAGS]
    item.location, pos = _ascii_at(d, Network.LOCATION, size, codepage)
    item.name = item.location
    if flags & Network.HAS_DESCRIPTION:
        item.description, pos = _ascii_at(d, pos, size, codepage)
    if flags & Network.HAS_COMMENTS:
        item.comments, pos = _ascii_at(d, pos, size, codepage)
    return item


def _uri(d: bytes, size: int, codepage: str) -> ShellItem:
    item = ShellItem(URI, d[Item.CLASS_TYPE])
    data_size = _u16(d, Uri.DATA_SIZE)
    if data_size is None:
        item.problem = f"URI item holds {size} bytes, too few for its data size"
        return item
    at = Uri.DATA + data_size  # the URI follows the data (FTP: host, user name, password)
    if at > size:
        item.problem = f"URI item's data claims {data_size} bytes, {size - Uri.DATA} remain"
        return item
    if d[Uri.FLAGS] & Uri.UNICODE:
        item.name, _ = _utf16_at(d, at, size)
    else:
        item.name, _ = _ascii_at(d, at, size, codepage)
    return item


def _control_panel_item(d: bytes, size: int) -> ShellItem:
    guid = guid_at(d, ControlPanelItem.GUID) if size >= ControlPanelItem.MIN_SIZE else None
    name = CONTROL_PANEL_ITEMS.get(guid or "") or known_name(guid)
    item = ShellItem(CONTROL_PANEL_ITEM, d[Item.CLASS_TYPE], name=name, guid=guid)
    if guid is None:
        item.problem = f"control panel item holds {size} bytes, too few for its GUID"
    return item


def _control_panel_category(d: bytes) -> ShellItem:
    category = _U32.unpack_from(d, ControlPanelCategory.CATEGORY)[0]
    name = CONTROL_PANEL_CATEGORIES[category] if category < len(CONTROL_PANEL_CATEGORIES) else f"Category {category}"
    return ShellItem(CONTROL_PANEL_CATEGORY, d[Item.CLASS_TYPE], name=name)


def _control_panel_cpl(d: bytes, size: int) -> ShellItem:
    item = ShellItem(CONTROL_PANEL_CPL, d[Item.CLASS_TYPE])
    path, pos = _utf16_at(d, ControlPanelCpl.PATH, size)
    display, _ = _utf16_at(d, pos, size)
    item.location, item.name = path, display or path
    return item


def _property_view(d: bytes, at: int, end: int, class_type: int) -> ShellItem:
    """Users' property view data at d[at:end]."""
    item = ShellItem(USERS_PROPERTY_VIEW, class_type)
    signature = _u32(d, at + PropertyView.SIGNATURE)
    store_size, id_size = _u16(d, at + PropertyView.STORE_SIZE), _u16(d, at + PropertyView.IDENTIFIER_SIZE)
    if store_size is None or id_size is None:
        item.problem = "users property view ends before its sizes"
        return item
    id_at = at + PropertyView.IDENTIFIER
    store_at = id_at + id_size
    if store_at + store_size > end:
        remain = max(end - store_at, 0)
        item.problem = f"users property view's property store claims {store_size} bytes, {remain} remain"
        store_size = remain
    if signature == KNOWN_FOLDER_VIEW_SIGNATURE and id_size == 16:
        item.guid = guid_at(d, id_at)
    strings = property_strings(d, store_at, store_at + store_size) if store_size else {}
    item.parsing_path = strings.get(PKEY_PARSING_PATH)
    item.name = strings.get(PKEY_ITEM_NAME_DISPLAY) or (known_name(item.guid) if item.guid else None)
    if item.name is None and item.parsing_path:
        item.name = item.parsing_path.rstrip("\\").rsplit("\\", 1)[-1] or item.parsing_path
    return item


def _is_property_view(d: bytes, size: int) -> bool:
    at = PropertyView.AT
    data_size = _u16(d, at + PropertyView.DATA_SIZE)
    return data_size is not None and PropertyView.IDENTIFIER <= data_size <= size - at and \
        _u32(d, at + PropertyView.SIGNATURE) in PROPERTY_VIEW_SIGNATURES


def _delegate(d: bytes, size: int, inner_size: int, codepage: str) -> ShellItem:
    """A delegate item: inner data, the delegate class identifier, the delegate folder's GUID and,
    for some folders, extension blocks."""
    at = Delegate.INNER + inner_size
    folder = guid_at(d, at + Delegate.FOLDER)
    item = ShellItem(DELEGATE, d[Item.CLASS_TYPE], guid=folder)
    inner = d[Delegate.INNER : at]
    wraps_file_entry = inner[:4] == DELEGATE_FILE_ENTRY
    if wraps_file_entry or _u32(inner, 0) == DELEGATE_VOLUME:
        wrapped_size = _u16(inner, Delegate.WRAPPED_SIZE)
        if wrapped_size is not None:
            body = bytes(inner[Delegate.WRAPPED : Delegate.WRAPPED + wrapped_size])
            if wraps_file_entry:  # the file entry's extension blocks follow the delegate identifiers
                body += bytes(d[at + Delegate.IDENTIFIERS : size])
            wrapped = _U16.pack(min(len(body) + 2, 0xFFFF)) + body
            item.inner = _item(wrapped, len(wrapped), codepage, None)
    elif _is_property_view(d, size):
        item.inner = _property_view(d, PropertyView.AT, at, d[Item.CLASS_TYPE])
    if folder == SEARCH_FOLDER:  # its inner data describes the search, not a name
        item.name = known_name(folder)
    else:
        item.name = (item.inner.name if item.inner is not None else None) or known_name(folder)
    return item


def _mtp(d: bytes, size: int, signature: int) -> ShellItem:
    if signature == MTP_VOLUME_SIGNATURE:
        item = ShellItem(MTP_VOLUME, d[Item.CLASS_TYPE])
        count_at, at, location = Mtp.VOLUME_COUNTS, Mtp.VOLUME_STRINGS, 1  # the device's identifier
    else:
        item = ShellItem(MTP_FILE_ENTRY, d[Item.CLASS_TYPE])
        item.modified, item.created = times.filetime_at(d, Mtp.FILE_MODIFIED), times.filetime_at(d, Mtp.FILE_CREATED)
        count_at, at, location = Mtp.FILE_COUNTS, Mtp.FILE_STRINGS, 2  # the object's identifier
    counts = [_u32(d, offset) for offset in count_at]
    if None in counts:
        item.problem = f"MTP item holds {size} bytes, too few for its string sizes"
        return item
    strings = []
    for count in counts:
        strings.append(_utf16_at(d, at, min(size, at + 2 * count))[0])
        at += 2 * count
    item.name, item.location = strings[0], strings[location]
    if at > size:
        item.problem = f"MTP item's strings run past its {size} bytes"
    return item


def _acronis_tib(d: bytes, size: int) -> ShellItem:
    """A folder inside an Acronis True Image backup: its name, a second string, its full path."""
    item = ShellItem(ACRONIS_TIB, d[Item.CLASS_TYPE])
    at, strings = AcronisTib.STRINGS, []
    for _ in range(3):
        count = _u32(d, at)
        if count is None or at + 4 + 2 * count > size:
            item.problem = f"Acronis TIB item's string at offset {at} runs past its {size} bytes"
            break
        strings.append(_utf16_at(d, at + 4, at + 4 + 2 * count)[0])
        at += 4 + 2 * count
    item.name = strings[0] if strings else None
    if len(strings) == 3:
        item.location = strings[2]
    return item


def _zip_content(d: bytes, size: int) -> ShellItem:
    """An item below a ZIP file: the name's length sits at one offset in Windows XP's layout and at
    another in Windows 10's; the one whose name has that length wins."""
    item = ShellItem(ZIP_CONTENT, d[Item.CLASS_TYPE])
    for count_at in (ZipContent.NAME_COUNT_10, ZipContent.NAME_COUNT_XP):
        count = _u32(d, count_at)
        name_at = count_at + ZipContent.NAME
        if not count or name_at + 2 * count > size:
            continue
        name, _ = _utf16_at(d, name_at, name_at + 2 * count + 2)
        if name and len(name) == count:
            item.name = name
            break
    if item.name is None:
        item.problem = "ZIP content item without a readable name"
    return item


def _is_zip_parent(parent: ShellItem | None) -> bool:
    return parent is not None and (parent.type == ZIP_CONTENT or (
        parent.type in (FILE, DIRECTORY, FILE_ENTRY) and (parent.name or "").lower().endswith(".zip")))


def _is_delegate(d: bytes, size: int) -> bool:
    inner_size = _u16(d, Delegate.INNER_SIZE)
    if inner_size is None:
        return False
    at = Delegate.INNER + inner_size
    return at + Delegate.IDENTIFIERS <= size and d[at : at + 16] == DELEGATE_CLASS


def _item(d: bytes, size: int, codepage: str, parent: ShellItem | None) -> ShellItem:
    """One item, d[0:size] (size field included, at least 3 bytes)."""
    class_type = d[Item.CLASS_TYPE]
    if _is_zip_parent(parent) and class_type & 0x70 != 0x30:
        item = _zip_content(d, size)
    elif _u32(d, AcronisTib.SIGNATURE) == ACRONIS_TIB_SIGNATURE:
        item = _acronis_tib(d, size)
    elif _is_delegate(d, size):
        item = _delegate(d, size, _u16(d, Delegate.INNER_SIZE) or 0, codepage)
    elif class_type == 0x1F:
        item = _property_view(d, PropertyView.AT, size, class_type) if _is_property_view(d, size) else \
            _root_folder(d, size)
    elif class_type & 0x70 == 0x20:
        item = _volume(d, size, codepage)
    elif class_type & 0x70 == 0x30:
        item = _file_entry(d, size, codepage)
    elif class_type & 0x70 == 0x40:
        item = _network_location(d, size, codepage)
    elif class_type == 0x61:
        item = _uri(d, size, codepage)
    elif class_type == 0x71:
        item = _control_panel_item(d, size)
    elif size >= ControlPanelCategory.MIN_SIZE and \
            _u32(d, ControlPanelCategory.SIGNATURE) == CONTROL_PANEL_CATEGORY_SIGNATURE:
        item = _control_panel_category(d)
    elif (signature := _u32(d, Mtp.SIGNATURE)) in (MTP_VOLUME_SIGNATURE, MTP_FILE_ENTRY_SIGNATURE):
        item = _mtp(d, size, signature or 0)
    elif class_type == 0 and _is_property_view(d, size):
        item = _property_view(d, PropertyView.AT, size, class_type)
    elif class_type == 0 and size >= GameFolder.MIN_SIZE and \
            d[GameFolder.SIGNATURE : GameFolder.SIGNATURE + 4] == GAME_FOLDER_SIGNATURE:
        guid = guid_at(d, GameFolder.GUID)
        item = ShellItem(GAME_FOLDER, class_type, name=known_name(guid), guid=guid)
    elif class_type == 0 and size >= ControlPanelCpl.MIN_SIZE and _u32(d, ControlPanelCpl.SIGNATURE) in CPL_SIGNATURES:
        item = _control_panel_cpl(d, size)
    else:
        item = ShellItem(UNKNOWN, class_type)
    item.data = bytes(d[:size])
    return item


def read(data: bytes, *, codepage: str = "cp1252", parent: ShellItem | None = None, at: int = 0,
         limit: int = 4096) -> ItemList:
    """The items of the item ID list at data[at:], up to its terminator (a size of 0) or the end of
    the data; at most `limit` items. `parent` is the item the list continues (a BagMRU value's
    parent key holds it): items below a ZIP file are told by it. 8-bit strings are decoded with
    `codepage`. An item whose size runs past the data ends the list with a problem."""
    view = memoryview(data)
    items: list[ShellItem] = []
    end = len(data)
    problem = None
    while True:
        if at + 2 > end:
            if at < end:
                problem = f"item ID list ends inside an item size at offset {at}"
            break
        size = _U16.unpack_from(data, at)[0]
        if size == 0:
            at += 2
            break
        if size < 3 or at + size > end:
            problem = f"shell item at offset {at} claims {size} bytes, {end - at} remain"
            break
        if len(items) >= limit:
            problem = f"item ID list holds more than {limit} items"
            break
        item = _item(bytes(view[at : at + size]), size, codepage, parent)
        items.append(item)
        parent = item
        at += size
    return ItemList(items, problem, at)


def join_path(items: list[ShellItem], base: str = "") -> str:
    """The path Explorer shows for `items` below `base`: components joined by single
    backslashes, each shown once; a drive or UNC path starts the path afresh, as Explorer's address
    bar shows a file system folder by its file system path."""
    path = base
    for item in items:
        path = append(path, item)
    return path


def append(path: str, item: ShellItem) -> str:
    """`path` with one more component."""
    name = component(item)
    if item.is_filesystem_root:
        return name
    if not path:
        return name
    return path.rstrip("\\") + "\\" + name.lstrip("\\")


def component(item: ShellItem) -> str:
    """The item's path component: its name, or for an item without one its type and class type
    ("<unknown 0x52>")."""
    if item.name:
        return item.name
    if item.guid:
        return "{" + item.guid + "}"
    return f"<{item.type} 0x{item.class_type & 0xFF:02x}>"
