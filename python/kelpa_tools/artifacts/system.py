"""System: what a SYSTEM or SOFTWARE hive says about the machine itself."""

from __future__ import annotations

import datetime
import struct
import uuid
from collections.abc import Iterator
from typing import Any

from . import times
from .base import Context, decoder, utf16
from .persistence import Values


@decoder("computer_name", hive_types=("SYSTEM",), description="The computer's name in each control set.",
         keys=(r"CurrentControlSet\Control\ComputerName\ComputerName",),
         fields=(("control_set", "text"), ("name", "text")), summary="name")
def computer_name(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, key in ctx.each_control_set(r"Control\ComputerName\ComputerName"):
        if (name := ctx.text(key, "ComputerName")) is not None:
            yield ctx.row(key, control_set=control_set, name=name)


@decoder("timezone", hive_types=("SYSTEM",), description="The time zone set in each control set.",
         keys=(r"CurrentControlSet\Control\TimeZoneInformation",),
         fields=(("control_set", "text"), ("key_name", "text"), ("standard_name", "text"),
                 ("bias_minutes", "int"), ("active_bias_minutes", "int")), summary="key_name")
def timezone(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, key in ctx.each_control_set(r"Control\TimeZoneInformation"):
        yield ctx.row(key, control_set=control_set, key_name=ctx.text(key, "TimeZoneKeyName"),
                      standard_name=ctx.text(key, "StandardName"), bias_minutes=_signed(ctx.number(key, "Bias")),
                      active_bias_minutes=_signed(ctx.number(key, "ActiveTimeBias")))


def _signed(number: int | None) -> int | None:
    """A bias is a signed 32-bit number of minutes stored as a DWORD (UTC = local + bias)."""
    return None if number is None else number - (1 << 32) if number >= 1 << 31 else number


@decoder("shutdown", hive_types=("SYSTEM",), description="When Windows last shut down, in each control set.",
         keys=(r"CurrentControlSet\Control\Windows",),
         fields=(("control_set", "text"), ("time", "time")), events={"time": "shut down"})
def shutdown(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, key in ctx.each_control_set(r"Control\Windows"):
        raw = ctx.raw(key, "ShutdownTime")
        if raw is None:
            continue
        if len(raw) != 8:
            ctx.problem(key, f"ShutdownTime holds {len(raw)} bytes, not a FILETIME's 8")
            continue
        yield ctx.row(key, control_set=control_set, time=times.filetime_at(raw, 0))


# --- Windows version -------------------------------------------------------------------------

CURRENT_VERSION = r"Microsoft\Windows NT\CurrentVersion"


@decoder("os_version", hive_types=("SOFTWARE",), description="The Windows version, edition and installation.",
         keys=(CURRENT_VERSION,),
         fields=(("product_name", "text"), ("edition", "text"), ("display_version", "text"), ("build", "text"),
                 ("ubr", "int"), ("version", "text"), ("build_lab", "text"), ("installation_type", "text"),
                 ("installed", "time"), ("registered_owner", "text"), ("registered_organization", "text"),
                 ("product_id", "text")),
         events={"installed": "Windows installed"}, summary="product_name")
def os_version(ctx: Context) -> Iterator[dict[str, Any]]:
    key = ctx.key(CURRENT_VERSION)
    if key is None:
        return
    # InstallTime (a FILETIME, Windows 10 and later) is exact; InstallDate (Unix seconds) is older.
    installed = times.filetime(ctx.number(key, "InstallTime")) or times.unix(ctx.number(key, "InstallDate"))
    major, minor = ctx.number(key, "CurrentMajorVersionNumber"), ctx.number(key, "CurrentMinorVersionNumber")
    row = dict(product_name=ctx.text(key, "ProductName"), edition=ctx.text(key, "EditionID"),
               display_version=ctx.text(key, "DisplayVersion") or ctx.text(key, "ReleaseId"),
               build=ctx.text(key, "CurrentBuildNumber") or ctx.text(key, "CurrentBuild"), ubr=ctx.number(key, "UBR"),
               version=f"{major}.{minor}" if major is not None and minor is not None else ctx.text(key, "CurrentVersion"),
               build_lab=ctx.text(key, "BuildLabEx") or ctx.text(key, "BuildLab"),
               installation_type=ctx.text(key, "InstallationType"), installed=installed,
               registered_owner=ctx.text(key, "RegisteredOwner"),
               registered_organization=ctx.text(key, "RegisteredOrganization"), product_id=ctx.text(key, "ProductId"))
    if any(v is not None for v in row.values()):
        yield ctx.row(key, **row)


# --- Network interfaces ----------------------------------------------------------------------

INTERFACES = r"Services\Tcpip\Parameters\Interfaces"
# The network adapters' class key: each adapter's connection name ("Ethernet0") by interface GUID.
ADAPTERS = r"Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}"


@decoder("network_interface", hive_types=("SYSTEM",),
         description="TCP/IP settings of each network interface (and of each network it met), static and DHCP.",
         keys=(rf"CurrentControlSet\{INTERFACES}", rf"CurrentControlSet\{ADAPTERS}"),
         fields=(("control_set", "text"), ("interface", "text"), ("network", "text"), ("connection_name", "text"),
                 ("dhcp_enabled", "bool"), ("ip_addresses", "texts"), ("subnet_masks", "texts"),
                 ("gateways", "texts"), ("dhcp_ip_address", "text"), ("dhcp_subnet_mask", "text"),
                 ("dhcp_gateways", "texts"), ("dhcp_server", "text"), ("lease_obtained", "time"),
                 ("lease_expires", "time"), ("domain", "text"), ("name_servers", "texts")),
         events={"lease_obtained": "DHCP lease obtained"}, summary="interface")
def network_interface(ctx: Context) -> Iterator[dict[str, Any]]:
    for control_set, interfaces in ctx.each_control_set(INTERFACES):
        adapters = ctx.key(ADAPTERS, ctx.key(control_set))
        for interface in ctx.subkeys(interfaces):
            name = interface.name()
            connection = ctx.text(ctx.key(rf"{name}\Connection", adapters), "Name") if adapters else None
            # Windows 10 keeps, below an interface, a key per network it was attached to.
            for network, key in [(None, interface), *((k.name(), k) for k in ctx.subkeys(interface))]:
                yield ctx.row(key, control_set=control_set, interface=name, network=network,
                              connection_name=connection, **_interface(ctx, key))


def _interface(ctx: Context, key: Any) -> dict[str, Any]:
    dhcp = ctx.number(key, "EnableDHCP")
    return dict(dhcp_enabled=None if dhcp is None else bool(dhcp), ip_addresses=_nonempty(ctx.texts(key, "IPAddress")),
               subnet_masks=_nonempty(ctx.texts(key, "SubnetMask")),
               gateways=_nonempty(ctx.texts(key, "DefaultGateway")),
               dhcp_ip_address=ctx.text(key, "DhcpIPAddress") or None,
               dhcp_subnet_mask=ctx.text(key, "DhcpSubnetMask") or None,
               dhcp_gateways=_nonempty(ctx.texts(key, "DhcpDefaultGateway")),
               dhcp_server=ctx.text(key, "DhcpServer") or None,
               lease_obtained=times.unix(ctx.number(key, "LeaseObtainedTime")),
               lease_expires=times.unix(ctx.number(key, "LeaseTerminatesTime")),
               domain=ctx.text(key, "Domain") or ctx.text(key, "DhcpDomain") or None,
               name_servers=_addresses(ctx.text(key, "NameServer")) or _addresses(ctx.text(key, "DhcpNameServer")))


def _nonempty(texts: list[str] | None) -> list[str] | None:
    return [t for t in texts if t.strip()] or None if texts is not None else None


def _addresses(text: str | None) -> list[str] | None:
    """A name server list as stored: addresses separated by commas or spaces."""
    return text.replace(",", " ").split() or None if text else None


# --- Network profiles ------------------------------------------------------------------------

NETWORK_LIST = r"Microsoft\Windows NT\CurrentVersion\NetworkList"
CATEGORIES = {0: "public", 1: "private", 2: "domain"}
NAME_TYPES = {0x06: "wired", 0x17: "broadband", 0x47: "wireless"}


@decoder("network_profile", hive_types=("SOFTWARE",),
         description="The networks the machine connected to, with their gateway from the network signatures.",
         keys=(rf"{NETWORK_LIST}\Profiles", rf"{NETWORK_LIST}\Signatures\Managed",
               rf"{NETWORK_LIST}\Signatures\Unmanaged"),
         fields=(("guid", "text"), ("name", "text"), ("description", "text"), ("category", "text"),
                 ("type", "text"), ("managed", "bool"), ("created_local", "local_time"),
                 ("last_connected_local", "local_time"), ("gateway_mac", "text"), ("dns_suffix", "text"),
                 ("first_network", "text"), ("signature", "text")),
         events={"created_local": "network first connected", "last_connected_local": "network connected"},
         summary="name")
def network_profile(ctx: Context) -> Iterator[dict[str, Any]]:
    profiles = ctx.key(rf"{NETWORK_LIST}\Profiles")
    if profiles is None:
        return
    signatures: dict[str, tuple[str, Any]] = {}
    for kind in ("Managed", "Unmanaged"):
        for signature in ctx.subkeys(ctx.key(rf"{NETWORK_LIST}\Signatures\{kind}")):
            guid = ctx.text(signature, "ProfileGuid")
            if guid:
                signatures.setdefault(guid.upper(), (kind.lower(), signature))
    for profile in ctx.subkeys(profiles):
        guid = profile.name()
        kind, signature = signatures.get(guid.upper(), (None, None))
        category, name_type, managed = (ctx.number(profile, n) for n in ("Category", "NameType", "Managed"))
        mac = ctx.raw(signature, "DefaultGatewayMac")
        yield ctx.row(profile, guid=guid, name=ctx.text(profile, "ProfileName"),
                      description=ctx.text(profile, "Description"),
                      category=None if category is None else CATEGORIES.get(category, str(category)),
                      type=None if name_type is None else NAME_TYPES.get(name_type, str(name_type)),
                      managed=None if managed is None else bool(managed),
                      created_local=_local_systemtime(ctx, profile, "DateCreated"),
                      last_connected_local=_local_systemtime(ctx, profile, "DateLastConnected"),
                      gateway_mac=":".join(f"{b:02X}" for b in mac) if mac and len(mac) == 6 else None,
                      dns_suffix=ctx.text(signature, "DnsSuffix"), first_network=ctx.text(signature, "FirstNetwork"),
                      signature=kind)


def _local_systemtime(ctx: Context, key: Any, name: str) -> Any:
    raw = ctx.raw(key, name)
    if raw is None:
        return None
    if len(raw) != times.SYSTEMTIME.size:
        ctx.problem(key, f"{name} holds {len(raw)} bytes, not a SYSTEMTIME's 16")
        return None
    return times.systemtime_local(raw)


# --- Mounted devices -------------------------------------------------------------------------

MBR_VOLUME = struct.Struct("<IQ")  # disk signature, partition offset in bytes
GPT_PREFIX = b"DMIO:ID:"  # followed by the partition's GUID (24 bytes in all)
DEVICE_PREFIXES = ("\\??\\", "_??_", "\\\\?\\")


@decoder("mounted_device", hive_types=("SYSTEM",),
         description="The mount manager's drive letters and volumes, with the disk, partition or device of each.",
         keys=("MountedDevices",),
         fields=(("name", "text"), ("kind", "text"), ("mount_point", "text"), ("disk_signature", "text"),
                 ("partition_offset", "int"), ("partition_guid", "text"), ("device", "text")),
         summary="mount_point")
def mounted_device(ctx: Context) -> Iterator[dict[str, Any]]:
    key = ctx.key("MountedDevices")
    for value in ctx.values(key):
        name = value.name()
        if name.upper().startswith("\\DOSDEVICES\\"):
            kind, mount_point = "drive_letter", name[len("\\DosDevices\\"):]
        elif name.upper().startswith("\\??\\VOLUME"):
            kind, mount_point = "volume", name[len("\\??\\Volume"):]
        else:
            kind, mount_point = None, None
        yield ctx.row(key, name=name, kind=kind, mount_point=mount_point, **mounted_data(value.raw_data()))


def mounted_data(raw: bytes) -> dict[str, Any]:
    """What a MountedDevices value's data names: an MBR partition (disk signature and offset, 12
    bytes), a GPT partition ("DMIO:ID:" and its GUID, 24 bytes) or a device path (UTF-16 text)."""
    row: dict[str, Any] = dict(disk_signature=None, partition_offset=None, partition_guid=None, device=None)
    if len(raw) == MBR_VOLUME.size and not raw.startswith(GPT_PREFIX):
        signature, offset = MBR_VOLUME.unpack(raw)
        row.update(disk_signature=f"{signature:08X}", partition_offset=offset)
    elif len(raw) == len(GPT_PREFIX) + 16 and raw.startswith(GPT_PREFIX):
        row.update(partition_guid="{" + str(uuid.UUID(bytes_le=raw[len(GPT_PREFIX):])).upper() + "}")
    elif len(raw) >= 8 and not len(raw) & 1:
        text = utf16(raw)
        if text.startswith(DEVICE_PREFIXES) and text.isprintable():
            row.update(device=text)
    return row


# --- USB devices -----------------------------------------------------------------------------

USB_BUSES = ("USBSTOR", "USB", "SCSI")
# Device properties of Windows 7 and later: install, first install, last arrival, last removal.
DEVICE_TIMES = r"Properties\{83da6326-97a6-4088-9453-a1923f573b29}"
DEVICE_TIME_IDS = (("first_installed", "0065"), ("last_installed", "0064"), ("last_connected", "0066"),
                   ("last_removed", "0067"))
_DEVICE_NAME_PARTS = {"VEN": "vendor", "VID": "vendor", "PROD": "product", "PID": "product", "REV": "revision"}


@decoder("usb_device", hive_types=("SYSTEM",),
         description="Devices enumerated on the USB buses (and SCSI), with their serial numbers, connection "
                     "times and the drive letter and volume MountedDevices gives them.",
         keys=tuple(rf"CurrentControlSet\Enum\{bus}" for bus in USB_BUSES) + ("MountedDevices",),
         fields=(("control_set", "text"), ("bus", "text"), ("device", "text"), ("vendor", "text"),
                 ("product", "text"), ("revision", "text"), ("serial", "text"), ("friendly_name", "text"),
                 ("description", "text"), ("container_id", "text"), ("first_installed", "time"),
                 ("last_installed", "time"), ("last_connected", "time"), ("last_removed", "time"),
                 ("drive_letter", "text"), ("volume_guid", "text")),
         events={"first_installed": "device first installed", "last_installed": "device installed",
                 "last_connected": "device connected", "last_removed": "device removed"},
         summary="friendly_name")
def usb_device(ctx: Context) -> Iterator[dict[str, Any]]:
    mounts: dict[str, dict[str, str]] | None = None
    for control_set in ctx.control_sets():
        for bus in USB_BUSES:
            devices = ctx.key(rf"Enum\{bus}", control_set)
            if devices is None:
                continue
            if mounts is None:
                mounts = _device_mounts(ctx)
            for device in ctx.subkeys(devices):
                parts = device_name_parts(device.name())
                for instance in ctx.subkeys(device):
                    values = Values(ctx, instance)
                    description = values.text("DeviceDesc")
                    mount = mounts.get(f"{bus}#{device.name()}#{instance.name()}".upper(), {})
                    yield ctx.row(instance, control_set=control_set.name(), bus=bus, device=device.name(), **parts,
                                  serial=instance.name(), friendly_name=values.text("FriendlyName"),
                                  description=description.rsplit(";", 1)[-1] if description else description,
                                  container_id=values.text("ContainerID"),
                                  **_device_times(ctx, instance), drive_letter=mount.get("drive_letter"),
                                  volume_guid=mount.get("volume_guid"))


def device_name_parts(name: str) -> dict[str, str | None]:
    """Vendor, product and revision from a device key's name: "Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20"
    (storage) or "VID_0781&PID_5567" (USB)."""
    parts: dict[str, str | None] = dict(vendor=None, product=None, revision=None)
    for piece in name.split("&"):
        tag, _, text = piece.partition("_")
        if (field := _DEVICE_NAME_PARTS.get(tag.upper())) is not None and parts[field] is None:
            parts[field] = text
    return parts


def _device_times(ctx: Context, instance: Any) -> dict[str, Any]:
    found: dict[str, Any] = {field: None for field, _ in DEVICE_TIME_IDS}
    properties = ctx.key(DEVICE_TIMES, instance)
    if properties is None:
        return found
    for field, number in DEVICE_TIME_IDS:
        key = ctx.key(number, properties)
        if key is None:
            continue
        # Windows 8 and later keep the FILETIME as the property key's default value; Windows 7 as
        # the value Data of its subkey 00000000.
        raw = ctx.raw(key, "")
        if raw is None and (old := ctx.key("00000000", key)) is not None:
            key, raw = old, ctx.raw(old, "Data")
        if raw is None:
            continue
        if len(raw) != 8:
            ctx.problem(key, f"device property {number} holds {len(raw)} bytes, not a FILETIME's 8")
            continue
        found[field] = times.filetime_at(raw, 0)
    return found


def _device_mounts(ctx: Context) -> dict[str, dict[str, str]]:
    """The drive letter and volume GUID MountedDevices names for each device, by "BUS#DEVICE#INSTANCE"
    in capitals, from the device paths its values hold."""
    mounts: dict[str, dict[str, str]] = {}
    for value in ctx.values(ctx.key("MountedDevices")):
        name, device = value.name(), mounted_data(value.raw_data())["device"]
        if device is None:
            continue
        parts = device[4:].split("#")
        if len(parts) < 3:
            continue
        mount = mounts.setdefault("#".join(parts[:3]).upper(), {})
        if name.upper().startswith("\\DOSDEVICES\\"):
            mount.setdefault("drive_letter", name[len("\\DosDevices\\"):])
        elif name.upper().startswith("\\??\\VOLUME"):
            mount.setdefault("volume_guid", name[len("\\??\\Volume"):])
    return mounts


# --- Portable devices ------------------------------------------------------------------------

PORTABLE_DEVICES = r"Microsoft\Windows Portable Devices\Devices"


@decoder("portable_device", hive_types=("SOFTWARE",),
         description="Windows Portable Devices: the volume name a device was shown with; its bus, vendor, "
                     "product and serial join it to the SYSTEM hive's usb_device rows.",
         keys=(PORTABLE_DEVICES,),
         fields=(("bus", "text"), ("device", "text"), ("vendor", "text"), ("product", "text"), ("revision", "text"),
                 ("serial", "text"), ("friendly_name", "text")),
         summary="friendly_name")
def portable_device(ctx: Context) -> Iterator[dict[str, Any]]:
    for key in ctx.subkeys(ctx.key(PORTABLE_DEVICES)):
        # "WPDBUSENUMROOT#UMB#2&37C186B&1&STORAGE#VOLUME#_??_USBSTOR#DISK&VEN_X&PROD_Y&REV_1.0#SERIAL&0#"
        name = key.name()
        at = max(name.upper().find(prefix.upper()) for prefix in DEVICE_PREFIXES)
        parts = name[at + 4:].split("#") if at >= 0 else []
        bus, device, serial = (parts[:3] if len(parts) >= 3 else (None, None, None))
        yield ctx.row(key, bus=bus, device=device, **(device_name_parts(device) if device else
                                                      dict(vendor=None, product=None, revision=None)),
                      serial=serial, friendly_name=ctx.text(key, "FriendlyName"))


# --- Profiles --------------------------------------------------------------------------------

PROFILE_LIST = r"Microsoft\Windows NT\CurrentVersion\ProfileList"


@decoder("profile", hive_types=("SOFTWARE",), description="The user profiles: SID, folder and load times.",
         keys=(PROFILE_LIST,),
         fields=(("sid", "text"), ("path", "text"), ("flags", "int"), ("state", "int"), ("full_profile", "int"),
                 ("guid", "text"), ("load_time", "time"), ("unload_time", "time")),
         events={"load_time": "profile loaded", "unload_time": "profile unloaded"}, summary="path")
def profile(ctx: Context) -> Iterator[dict[str, Any]]:
    for key in ctx.subkeys(ctx.key(PROFILE_LIST)):
        yield ctx.row(key, sid=key.name(), path=ctx.text(key, "ProfileImagePath"), flags=ctx.number(key, "Flags"),
                      state=ctx.number(key, "State"), full_profile=ctx.number(key, "FullProfile"),
                      guid=ctx.text(key, "Guid"),
                      # Windows 7 and later: LocalProfile...; Vista and older: Profile...
                      load_time=_split_filetime(ctx, key, "LocalProfileLoadTime")
                      or _split_filetime(ctx, key, "ProfileLoadTime"),
                      unload_time=_split_filetime(ctx, key, "LocalProfileUnloadTime"))


def _split_filetime(ctx: Context, key: Any, name: str) -> Any:
    """A FILETIME stored as two DWORDs, NameHigh and NameLow."""
    high, low = ctx.number(key, name + "High"), ctx.number(key, name + "Low")
    if high is None or low is None:
        return None
    return times.filetime(((high & 0xFFFFFFFF) << 32) | (low & 0xFFFFFFFF))


# --- Installed programs ----------------------------------------------------------------------

UNINSTALL = r"Microsoft\Windows\CurrentVersion\Uninstall"


@decoder("installed_program", hive_types=("SOFTWARE", "NTUSER"),
         description="Programs listed for uninstalling, machine-wide (64- and 32-bit) or for one user.",
         keys=(UNINSTALL, rf"Wow6432Node\{UNINSTALL}", rf"Software\{UNINSTALL}", rf"Software\Wow6432Node\{UNINSTALL}"),
         fields=(("key_name", "text"), ("name", "text"), ("version", "text"), ("publisher", "text"),
                 ("install_date", "local_time"), ("install_location", "text"), ("install_source", "text"),
                 ("uninstall_string", "text"), ("size_kb", "int"), ("wow64", "bool")),
         events={"install_date": "program installed"}, summary="name")
def installed_program(ctx: Context) -> Iterator[dict[str, Any]]:
    # The paths are the same below a SOFTWARE hive's root and below an NTUSER hive's Software key.
    for prefix, wow64, path in ((p, w, u) for p in ("", "Software\\")
                                for w, u in ((False, UNINSTALL), (True, rf"Wow6432Node\{UNINSTALL}"))):
        for key in ctx.subkeys(ctx.key(prefix + path)):
            values = Values(ctx, key)
            yield ctx.row(key, key_name=key.name(), name=values.text("DisplayName"),
                          version=values.text("DisplayVersion"), publisher=values.text("Publisher"),
                          install_date=_yyyymmdd(values.text("InstallDate")),
                          install_location=values.text("InstallLocation"), install_source=values.text("InstallSource"),
                          uninstall_string=values.text("UninstallString"), size_kb=values.number("EstimatedSize"),
                          wow64=wow64)


def _yyyymmdd(text: str | None) -> datetime.datetime | None:
    """An install date as Windows Installer writes it, "20240131" (local date); None otherwise."""
    if not text or len(text) != 8 or not text.isascii() or not text.isdigit():
        return None
    try:
        return datetime.datetime(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        return None
