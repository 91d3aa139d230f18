"""System and persistence decoders: each layout a table of synthetic hives, the same hives with each
value damaged, and regipy's plugins on the shared hives."""

import datetime
import random
import struct
import uuid

import pytest

import conftest
import hivegen
import kelpa
from hivegen import REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD, REG_SZ
from kelpa_tools import artifacts

UTC = datetime.UTC
FT, FT_TIME = 132_000_000_000_000_000, datetime.datetime(2019, 4, 17, 18, 40, tzinfo=UTC)
SECOND = datetime.timedelta(seconds=1)
DEVPROP_FILETIME = 0xFFFF0010  # a device property's FILETIME, as Windows 8 and later store it


def decoded(keys: dict, names: list[str], hive_type: str):
    decoding = artifacts.decode(kelpa.Hive.from_bytes(hivegen.hive_of(keys), strict=False), names, hive_type=hive_type)
    return list(decoding), [tuple(p) for p in decoding.problems()]


# The value kinds, short for the tables.
def S(text): return REG_SZ, hivegen.sz(text)  # noqa: E704,N802
def D(n): return REG_DWORD, hivegen.dword(n)  # noqa: E704,N802
def B(data): return REG_BINARY, data  # noqa: E704,N802
def M(*texts): return REG_MULTI_SZ, hivegen.multi_sz(list(texts))  # noqa: E704,N802


def counted(text: str) -> bytes:
    return struct.pack("<I", len(text) * 2) + text.encode("utf-16-le")


def systemtime(*fields) -> bytes:
    return struct.pack("<8H", *fields, *[0] * (8 - len(fields)))


def exec_action(command, arguments="", flags=b"\0\0") -> bytes:
    return b"\x66\x66" + counted("") + counted(command) + counted(arguments) + counted("") + flags


CLSID = uuid.UUID("0DA5F46D-21E2-4FBA-B8A2-5D8E3A9A6A6E")
ACTIONS_10 = b"\3\0" + counted("Author") + exec_action(r"C:\x\run.exe", "/q") + b"\x77\x77" + counted("") + \
    CLSID.bytes_le + counted("go")
ACTIONS_1 = b"\1\0" + exec_action("%windir%\\a.exe", flags=b"")  # version 1: no principal, no flags
TASKS = r"Microsoft\Windows NT\CurrentVersion\Schedule\TaskCache"
TASK = "{11111111-2222-3333-4444-555555555555}"
USBSTOR = r"ControlSet001\Enum\USBSTOR\Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20\2006087670&0"
TIMES = rf"{USBSTOR}\Properties\{{83da6326-97a6-4088-9453-a1923f573b29}}"
USB_PATH = r"\??\USBSTOR#Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20#2006087670&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
IFACE = r"ControlSet001\Services\Tcpip\Parameters\Interfaces\{AB}"
NETWORKS = r"Microsoft\Windows NT\CurrentVersion\NetworkList"
GUID = "{5E3F0D1A-0000-4000-8000-000000000001}"
CV = r"Microsoft\Windows NT\CurrentVersion"
RUN = r"Microsoft\Windows\CurrentVersion"
UNINSTALL = rf"{RUN}\Uninstall"
UNIX_TIME = datetime.datetime(2020, 9, 13, 12, 26, 40, tzinfo=UTC)  # 1 600 000 000

# name: (decoder, hive type, keys, expected rows (the fields named, or a tuple of the first fields), problems)
CASES = {
    "os_version 10": ("os_version", "SOFTWARE", {CV: {
        "ProductName": S("Windows 10 Pro"), "EditionID": S("Professional"), "DisplayVersion": S("22H2"),
        "ReleaseId": S("2009"), "CurrentBuildNumber": S("19045"), "UBR": D(3803), "CurrentMajorVersionNumber": D(10),
        "CurrentMinorVersionNumber": D(0), "InstallDate": D(1_600_000_000),
        "InstallTime": (REG_QWORD, hivegen.qword(FT)),
        "RegisteredOwner": S("tony"), "ProductId": S("00330-80000")}},
        [dict(product_name="Windows 10 Pro", edition="Professional", display_version="22H2", build="19045", ubr=3803,
              version="10.0", installed=FT_TIME, registered_owner="tony", registered_organization=None,
              product_id="00330-80000")], []),
    "os_version 7": ("os_version", "SOFTWARE", {CV: {
        "ProductName": S("Windows 7"), "CurrentVersion": S("6.1"), "CurrentBuild": S("7601"),
        "InstallDate": D(1_600_000_000), "RegisteredOrganization": S("")}, rf"{CV}\Winlogon": {}},
        [dict(display_version=None, build="7601", version="6.1", installed=UNIX_TIME, registered_organization="")], []),
    "os_version without values": ("os_version", "SOFTWARE", {rf"{CV}\Winlogon": {}}, [], []),
    "network_interface": ("network_interface", "SYSTEM", {
        IFACE: {"EnableDHCP": D(0), "IPAddress": M("10.1.1.5", "10.1.1.6"), "SubnetMask": M("255.0.0.0"),
                "DefaultGateway": M(""), "NameServer": S("8.8.8.8,1.1.1.1")},
        IFACE + r"\4a4b": {"EnableDHCP": D(1), "DhcpIPAddress": S("192.168.1.9"), "DhcpServer": S("192.168.1.1"),
                           "DhcpDefaultGateway": M("192.168.1.1"), "LeaseObtainedTime": D(1_600_000_000),
                           "LeaseTerminatesTime": D(1_600_000_001), "DhcpDomain": S("home"),
                           "DhcpNameServer": S("192.168.1.1 9.9.9.9")},
        r"ControlSet001\Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}\{AB}\Connection": {"Name": S("Eth")}},
        [dict(control_set="ControlSet001", interface="{AB}", network=None, connection_name="Eth", dhcp_enabled=False,
              ip_addresses=["10.1.1.5", "10.1.1.6"], subnet_masks=["255.0.0.0"], gateways=None,
              name_servers=["8.8.8.8", "1.1.1.1"], lease_obtained=None),
         dict(network="4a4b", connection_name="Eth", dhcp_enabled=True, dhcp_ip_address="192.168.1.9",
              dhcp_gateways=["192.168.1.1"], dhcp_server="192.168.1.1", lease_obtained=UNIX_TIME,
              lease_expires=UNIX_TIME + SECOND, domain="home", name_servers=["192.168.1.1", "9.9.9.9"])], []),
    "network_profile": ("network_profile", "SOFTWARE", {
        rf"{NETWORKS}\Profiles\{GUID}": {
            "ProfileName": S("Cafe"), "Category": D(0), "NameType": D(0x47), "Managed": D(0),
            "DateCreated": B(systemtime(2023, 4, 3, 12, 9, 30, 5, 250)),
            "DateLastConnected": B(systemtime(2023, 4, 0, 13))},
        rf"{NETWORKS}\Profiles\{{2}}": {"ProfileName": S("Office"), "Category": D(2), "NameType": D(0x99),
                                        "DateCreated": B(systemtime(2023, 4, 3)[:12])},
        rf"{NETWORKS}\Signatures\Unmanaged\0103": {"ProfileGuid": S(GUID.lower()), "DnsSuffix": S("<none>"),
                                                   "DefaultGatewayMac": B(bytes.fromhex("00155d01020a"))}},
        [dict(guid=GUID, name="Cafe", category="public", type="wireless", managed=False,
              created_local=datetime.datetime(2023, 4, 12, 9, 30, 5, 250000),
              last_connected_local=datetime.datetime(2023, 4, 13), gateway_mac="00:15:5D:01:02:0A",
              dns_suffix="<none>", signature="unmanaged"),
         dict(name="Office", category="domain", type="153", created_local=None, gateway_mac=None, signature=None)],
        [("network_profile", rf"{NETWORKS}\Profiles\{{2}}", "DateCreated holds 12 bytes, not a SYSTEMTIME's 16")]),
    "mounted_device": ("mounted_device", "SYSTEM", {"MountedDevices": {
        r"\DosDevices\C:": B(struct.pack("<IQ", 0xDF4546AE, 1_048_576)),
        r"\??\Volume{a08efec2-a076-11e5-824f-806e6f6e6963}": B(b"DMIO:ID:" + CLSID.bytes_le),
        r"\DosDevices\E:": B(USB_PATH.encode("utf-16-le")), "#{5aae7822}": B(bytes(range(16)))}},
        [dict(kind="drive_letter", mount_point="C:", disk_signature="DF4546AE", partition_offset=1_048_576,
              partition_guid=None, device=None),
         dict(kind="volume", mount_point="{a08efec2-a076-11e5-824f-806e6f6e6963}", disk_signature=None,
              partition_guid=f"{{{CLSID}}}".upper()),
         dict(mount_point="E:", device=USB_PATH, partition_guid=None),
         dict(name="#{5aae7822}", kind=None, mount_point=None, disk_signature=None, device=None)], []),
    "usb_device 8 and later": ("usb_device", "SYSTEM", {
        USBSTOR: {"FriendlyName": S("Cruzer"), "DeviceDesc": S("@disk.inf,%d%;Disk drive"), "ContainerID": S("{b3}")},
        **{rf"{TIMES}\{n}": {"": (DEVPROP_FILETIME, hivegen.qword(FT + i * 10_000_000))}
           for i, n in enumerate(("0065", "0064", "0066", "0067"))},
        r"ControlSet001\Enum\USB\VID_0781&PID_5567\2006087670": {"ContainerID": S("{b3}")},
        "MountedDevices": {r"\DosDevices\E:": B(USB_PATH.encode("utf-16-le")),
                           r"\??\Volume{a08e}": B(USB_PATH.upper().encode("utf-16-le"))}},
        [dict(control_set="ControlSet001", bus="USBSTOR", vendor="SanDisk", product="Cruzer", revision="1.20",
              serial="2006087670&0", friendly_name="Cruzer", description="Disk drive", container_id="{b3}",
              first_installed=FT_TIME, last_installed=FT_TIME + SECOND, last_connected=FT_TIME + 2 * SECOND,
              last_removed=FT_TIME + 3 * SECOND, drive_letter="E:", volume_guid="{a08e}"),
         dict(bus="USB", vendor="0781", product="5567", revision=None, serial="2006087670", first_installed=None,
              drive_letter=None)], []),
    "usb_device 7": ("usb_device", "SYSTEM", {
        rf"{TIMES}\0065\00000000": {"Type": D(0x10), "Data": B(hivegen.qword(FT))},
        rf"{TIMES}\0064": {"": (DEVPROP_FILETIME, hivegen.qword(FT) + bytes(4))}},
        [dict(bus="USBSTOR", first_installed=FT_TIME, last_installed=None, last_connected=None)],
        [("usb_device", rf"{TIMES}\0064", "device property 0064 holds 12 bytes, not a FILETIME's 8")]),
    "portable_device": ("portable_device", "SOFTWARE", {
        r"Microsoft\Windows Portable Devices\Devices\WPDBUSENUMROOT#UMB#2&37C186B&1&STORAGE#VOLUME#_??_USBSTOR#"
        r"DISK&VEN_SANDISK&PROD_CRUZER&REV_1.20#2006087670&0#": {"FriendlyName": S("KINGS")},
        r"Microsoft\Windows Portable Devices\Devices\SWD#WPDBUSENUM#{6AC27878}": {"FriendlyName": S("Phone")}},
        [dict(bus="USBSTOR", vendor="SANDISK", product="CRUZER", revision="1.20", serial="2006087670&0",
              friendly_name="KINGS"), dict(bus=None, vendor=None, serial=None, friendly_name="Phone")], []),
    "profile": ("profile", "SOFTWARE", {
        rf"{CV}\ProfileList\S-1-5-21-1": {
            "ProfileImagePath": (REG_EXPAND_SZ, hivegen.sz(r"C:\Users\tony")), "Flags": D(0), "State": D(256),
            "LocalProfileLoadTimeHigh": D(FT >> 32), "LocalProfileLoadTimeLow": D(FT & 0xFFFFFFFF),
            "LocalProfileUnloadTimeHigh": D(FT >> 32), "LocalProfileUnloadTimeLow": D(0)},
        rf"{CV}\ProfileList\S-1-5-18": {"ProfileLoadTimeHigh": D(FT >> 32), "ProfileLoadTimeLow": D(FT & 0xFFFFFFFF)}},
        [dict(sid="S-1-5-21-1", path=r"C:\Users\tony", flags=0, state=256, load_time=FT_TIME,  # the low half 0:
              unload_time=datetime.datetime(2019, 4, 17, 18, 33, 6, 690662, tzinfo=UTC)),
         dict(sid="S-1-5-18", path=None, load_time=FT_TIME, unload_time=None)], []),
    "installed_program": ("installed_program", "SOFTWARE", {
        rf"{UNINSTALL}\7-Zip": {"DisplayName": S("7-Zip"), "DisplayVersion": S("23.01"), "Publisher": S("Igor"),
                                "InstallDate": S("20240131"), "InstallLocation": S("C:\\7-Zip\\"),
                                "UninstallString": S('"C:\\7-Zip\\Uninstall.exe"'), "EstimatedSize": D(5570)},
        rf"Wow6432Node\{UNINSTALL}\{{GUID}}": {"DisplayName": S("Old"), "InstallDate": S("20241301")}},
        [dict(key_name="7-Zip", name="7-Zip", version="23.01", publisher="Igor", install_location="C:\\7-Zip\\",
              install_date=datetime.datetime(2024, 1, 31), uninstall_string='"C:\\7-Zip\\Uninstall.exe"',
              size_kb=5570, wow64=False), dict(key_name="{GUID}", name="Old", install_date=None, wow64=True)], []),
    "autorun SOFTWARE": ("autorun", "SOFTWARE", {
        rf"{RUN}\Run": {"OneDrive": S("o.exe /background"), "Empty": S(""), "Number": D(1)},
        rf"Wow6432Node\{RUN}\RunOnce": {"x": (REG_EXPAND_SZ, hivegen.sz("%TEMP%\\x.exe"))},
        rf"{RUN}\RunOnceEx\0001": {"Line1": S("||setup.dll|Go")},
        rf"{CV}\Winlogon": {"Shell": S("explorer.exe"), "Userinit": S("u.exe,"), "AutoAdminLogon": S("0")},
        rf"{CV}\Winlogon\Notify\evil": {"DllName": S("evil.dll")},
        rf"{CV}\Image File Execution Options\sethc.exe": {"Debugger": S("cmd.exe")},
        rf"{CV}\Image File Execution Options\notepad.exe": {"GlobalFlag": D(2)}},
        [("Run", "OneDrive", "o.exe /background"), ("Wow6432Node\\RunOnce", "x", "%TEMP%\\x.exe"),
         ("RunOnceEx", "0001\\Line1", "||setup.dll|Go"), ("Winlogon", "Shell", "explorer.exe"),
         ("Winlogon", "Userinit", "u.exe,"), ("Winlogon\\Notify", "evil", "evil.dll"),
         ("Image File Execution Options", "sethc.exe", "cmd.exe")], []),
    "autorun NTUSER": ("autorun", "NTUSER", {
        rf"Software\{RUN}\Policies\Explorer\Run": {"1": S("p.exe")},
        rf"Software\{CV}\Windows": {"Load": S("l.exe"), "Device": S("printer")}},
        [("Policies\\Explorer\\Run", "1", "p.exe"), ("Windows", "Load", "l.exe")], []),
    "service": ("service", "SYSTEM", {
        r"ControlSet001\Services\Svc": {"Start": D(2), "Type": D(0x20), "ObjectName": S("LocalSystem"),
                                        "ImagePath": S(r"svchost.exe -k x"), "DelayedAutostart": D(1)},
        r"ControlSet001\Services\Svc\Parameters": {"ServiceDll": (REG_EXPAND_SZ, hivegen.sz(r"C:\evil.dll"))},
        r"ControlSet002\Services\Drv": {"Start": D(0), "Type": D(0x110)},
        r"ControlSet002\Services\Settings": {"Value": D(1)}},
        [dict(control_set="ControlSet001", name="Svc", image_path="svchost.exe -k x", service_dll=r"C:\evil.dll",
              start=2, start_name="auto", delayed_auto_start=True, type=0x20, type_names=["share_process"],
              account="LocalSystem"),
         dict(control_set="ControlSet002", name="Drv", start_name="boot", service_dll=None, account=None,
              type_names=["own_process", "interactive_process"])], []),
    "scheduled_task 10": ("scheduled_task", "SOFTWARE", {
        rf"{TASKS}\Tree\Microsoft\Defrag\Scheduled": {"Id": S(TASK.lower())},
        rf"{TASKS}\Tasks\{TASK}": {"Path": S("\\Defrag"), "Actions": B(ACTIONS_10), "Author": S("Microsoft"),
                                   "DynamicInfo": B(struct.pack("<IQQIIQ", 3, FT, FT + 10**7, 0, 7, FT + 2 * 10**7))}},
        [dict(path="\\Defrag", id=TASK, actions=[r"C:\x\run.exe /q", f"ComHandler {{{str(CLSID).upper()}}} go"],
              run_as="Author", author="Microsoft", created=FT_TIME, last_run=FT_TIME + SECOND,
              last_success=FT_TIME + 2 * SECOND, last_result=7)], []),
    "scheduled_task 7 (DynamicInfo), Actions version 1": ("scheduled_task", "SOFTWARE", {
        rf"{TASKS}\Tree\Folder\Job": {"Id": S(TASK)},
        rf"{TASKS}\Tasks\{TASK}": {"Actions": B(ACTIONS_1), "DynamicInfo": B(struct.pack("<IQQII", 3, FT, 0, 0, 0))}},
        [dict(path="\\Folder\\Job", actions=["%windir%\\a.exe"], run_as=None, created=FT_TIME, last_run=None,
              last_success=None)], []),
    "scheduled_task damaged": ("scheduled_task", "SOFTWARE", {
        rf"{TASKS}\Tasks\{{A}}": {"Actions": B(ACTIONS_10[:-3]),
                                  "DynamicInfo": B(struct.pack("<IQQIIQ", 4, FT, FT, 0, 0, FT))},
        rf"{TASKS}\Tasks\{{B}}": {"Actions": B(ACTIONS_10[:2] + counted("x") + b"\x11\x11" + counted("")),
                                  "DynamicInfo": B(bytes(30))},
        rf"{TASKS}\Tasks\{{C}}": {"Actions": B(b"\x07\x00")}},
        [dict(id="{A}", actions=[r"C:\x\run.exe /q"], created=None), dict(id="{B}", actions=None, run_as="x"),
         dict(id="{C}", actions=None, run_as=None)],
        [("scheduled_task", rf"{TASKS}\Tasks\{{A}}", "Actions: an action runs past the end of the 93 bytes"),
         ("scheduled_task", rf"{TASKS}\Tasks\{{A}}", "DynamicInfo has the unknown version 4"),
         ("scheduled_task", rf"{TASKS}\Tasks\{{B}}", "Actions: the unknown action type 0x1111 at offset 8"),
         ("scheduled_task", rf"{TASKS}\Tasks\{{B}}", "DynamicInfo holds 30 bytes, not 28 or 36"),
         ("scheduled_task", rf"{TASKS}\Tasks\{{C}}", "Actions: the unknown version 7")]),
}


@pytest.mark.parametrize("name", CASES)
def test_layouts(name):
    decoder, hive_type, keys, expected, problems = CASES[name]
    rows, met = decoded(keys, [decoder], hive_type)
    got = [tuple(row.values())[: len(want)] if isinstance(want, tuple) else {f: row[f] for f in want}
           for (_, row), want in zip(rows, expected)]
    assert (got, len(rows), met) == (expected, len(expected), problems)


BLOBS = (REG_BINARY, DEVPROP_FILETIME)
DAMAGES = {
    "empty": lambda data, rng: b"",
    "truncated": lambda data, rng: data[: len(data) // 2],
    "wrong length": lambda data, rng: data + b"\x01",
    "zeroed": lambda data, rng: bytes(len(data)),
    "random 4 KB": lambda data, rng: rng.randbytes(4096),
}
TYPE_CHECKS = {
    "text": lambda v: isinstance(v, str), "int": lambda v: type(v) is int, "bool": lambda v: type(v) is bool,
    "time": lambda v: isinstance(v, datetime.datetime) and v.tzinfo is UTC,
    "local_time": lambda v: isinstance(v, datetime.datetime) and v.tzinfo is None,
    "texts": lambda v: isinstance(v, list) and all(isinstance(t, str) for t in v),
}


def _damaged(keys: dict):
    """(what, keys) for each value of `keys` damaged in each way, and given as binary data."""
    rng = random.Random(31)
    for path, values in keys.items():
        for name, (type_id, data) in values.items():
            for damage, make in DAMAGES.items():
                yield (name, type_id, damage), {**keys, path: {**values, name: (type_id, make(data, rng))}}
            if type_id not in BLOBS:
                yield (name, type_id, "as binary"), {**keys, path: {**values, name: (REG_BINARY, data)}}


@pytest.mark.parametrize("name", CASES)
def test_damaged_values(name):
    """Damaged value data never raises, every field keeps its type, and damage to a blob only takes
    what it held away (a field becomes null, a list shorter): nothing is made up from garbage."""
    decoder, hive_type, keys, _expected, _problems = CASES[name]
    types = {f.name: f.type for f in artifacts.base.registered()[decoder].columns}
    intact, _ = decoded(keys, [decoder], hive_type)
    for (value, type_id, damage), damaged_keys in _damaged(keys):
        rows, met = decoded(damaged_keys, [decoder], hive_type)
        assert all(path for _, path, _ in met), (value, damage, met)  # a problem without a path is an exception
        for _, row in rows:
            for field, got in row.items():
                assert got is None or TYPE_CHECKS[types[field]](got), (value, damage, field, got)
        if type_id in BLOBS and damage != "zeroed":
            assert len(rows) == len(intact), (value, damage)
            for (_, row), (_, before) in zip(rows, intact):
                for field, got in row.items():
                    assert got in (None, before[field]) or isinstance(got, list) and got == before[field][: len(got)], \
                        (value, damage, field, got, before[field])


# --- regipy's plugins on the shared hives: (hive, decoder, plugin, what regipy gives, what we give) ---------

def _interfaces(entries):
    """regipy's interfaces and their networks as rows: it reads the static settings only where DHCP is
    off and the DHCP ones only where it is on, and gives a missing EnableDHCP as off."""
    for path, found in entries.items():
        for entry in found["interfaces"]:
            for network, e in [(None, entry)] + [(s["interface_name"], s) for s in entry.get("sub_interface", [])]:
                yield _interface(path.split("\\")[1], entry["interface_name"], network, e["dhcp_enabled"],
                                 e.get("dhcp_ip_address"), e.get("dhcp_server"), e.get("dhcp_lease_obtained_time"),
                                 e.get("ip_address") or None, e.get("default_gateway") or None)


def _interface(control_set, interface, network, dhcp, address, server, obtained, addresses, gateways):
    return (control_set, interface, network, dhcp) + ((address, server, obtained) if dhcp else (addresses, gateways))


def _near(time):
    """regipy rounds a FILETIME to the microsecond where we drop the last digit: compare milliseconds."""
    return time and time.replace(microsecond=time.microsecond // 1000 * 1000)


def _services(entries):
    """regipy lists every key below Services; one with neither Start, Type nor ImagePath holds a
    driver's settings and gives no row here."""
    for path, found in entries.items():
        for entry in found["services"]:
            v = {value["name"]: value["value"] for value in entry["values"] or []}
            if {"Start", "Type", "ImagePath"} & v.keys():
                yield path.split("\\")[1], entry["name"], v.get("Start"), v.get("Type"), v.get("ImagePath"), \
                    v.get("ObjectName")


WIN10, PARTIAL = "regipy__SYSTEM_WIN_10_1709", "regipy__ntuser_software_partial"
WINSCP = "regipy__NTUSER_with_winscp.DAT"
USB_TIMES = ("first_installed", "last_installed", "last_connected", "last_removed")
PROGRAM = ("DisplayName", "DisplayVersion", "Publisher", "InstallLocation", "UninstallString")
PROGRAMS = (lambda e: [(x["service_name"], *map(x.get, PROGRAM)) for x in e],
            lambda r: [(x["key_name"], x["name"], x["version"], x["publisher"], x["install_location"],
                        x["uninstall_string"]) for x in r])
# regipy also lists empty values (no command); in a SOFTWARE hive it looks for Winlogon\Notify below
# a Software key that such a hive does not have.
AUTORUNS = (lambda e: {(p.lstrip("\\").lower(), v.name, v.value) for p, f in e.items() for v in f["values"]
                       if isinstance(v.value, str) and v.value.strip()},
            lambda r: {(x["key_path"].lower(), x["name"], x["command"]) for x in r})
REGIPY = {
    # regipy keeps the Ven_/Prod_/Rev_ tags and reads the device name property Windows fills from FriendlyName.
    "usbstor": (WIN10, "usb_device", "system.usbstor.USBSTORPlugin",
                lambda e: {(x["key_path"].split("\\")[1], x["serial_number"], x["manufacturer"], x["title"],
                            x["version"], x["device_name"], *(_near(x[t]) for t in USB_TIMES)) for x in e},
                lambda r: {(x["control_set"], x["serial"], f"Ven_{x['vendor']}", f"Prod_{x['product']}",
                            f"Rev_{x['revision']}", x["friendly_name"], *(_near(x[t]) for t in USB_TIMES))
                           for x in r if x["bus"] == "USBSTOR"}),
    "usb_devices": (WIN10, "usb_device", "system.usb_devices.USBDevicesPlugin",
                    lambda e: {(x["key_path"].split("\\")[1], x["vid_pid"], x["instance_id"], x["vid"], x["pid"],
                                x.get("container_id")) for x in e},
                    lambda r: {(x["control_set"], x["device"], x["serial"], x["vendor"], x["product"],
                                x["container_id"]) for x in r if x["bus"] == "USB"}),
    # regipy gets the data as a hex string and so decodes none of it (no disk signature, partition
    # offset, GPT GUID or device path); the names and kinds agree.
    **{f"mounted_devices {file}": (file, "mounted_device", "system.mountdev.MountedDevicesPlugin",
                                   lambda e: [(x["value_name"], {"drive_letter": "drive_letter", "volume": "volume"}
                                               .get(x["mount_type"])) for x in e],
                                   lambda r: [(x["name"], x["kind"]) for x in r])
       for file in (WIN10, "regipy__SYSTEM_2")},
    **{f"network_data {file}": (file, "network_interface", "system.network_data.NetworkDataPlugin",
                                lambda e: sorted(_interfaces(e), key=str),
                                lambda r: sorted((_interface(
                                    x["control_set"], x["interface"], x["network"], x["dhcp_enabled"] is True,
                                    x["dhcp_ip_address"], x["dhcp_server"],
                                    x["lease_obtained"] and x["lease_obtained"].strftime("%Y-%m-%d %H:%M:%S"),
                                    x["ip_addresses"], x["gateways"]) for x in r), key=str))
       for file in (WIN10, "regipy__corrupted_system_hive")},
    "services": ("yarp__System_Delta", "service", "system.services.ServicesPlugin", lambda e: set(_services(e)),
                 lambda r: {(x["control_set"], x["name"], x["start"], x["type"], x["image_path"], x["account"])
                            for x in r}),
    # regipy reads ControlSet001 and ControlSet002 only (these hives have no other), the shutdown time to the second.
    "computer_name": (WIN10, "computer_name", "system.computer_name.ComputerNamePlugin",
                      lambda e: [x["name"] for x in e], lambda r: [x["name"] for x in r]),
    "timezone": (WIN10, "timezone", "system.timezone_data2.TimezoneDataPlugin2",
                 lambda e: [(x["TimeZoneKeyName"], x["Bias"]) for x in e.values()],
                 lambda r: [(x["key_name"], x["bias_minutes"]) for x in r]),
    "shutdown": (WIN10, "shutdown", "system.shutdown.ShutdownPlugin", lambda e: [x["date"] for x in e.values()],
                 lambda r: [x["time"].strftime("%Y-%m-%d %H:%M:%S") for x in r]),
    "software persistence": (PARTIAL, "autorun", "software.persistence.SoftwarePersistencePlugin", *AUTORUNS),
    **{f"ntuser persistence {file}": (file, "autorun", "ntuser.persistence.NTUserPersistencePlugin", *AUTORUNS)
       for file in (WINSCP, "plaso__NTUSER-RunTests.DAT")},
    "installed programs": (PARTIAL, "installed_program",
                           "software.installed_programs.InstalledProgramsSoftwarePlugin", *PROGRAMS),
    "installed programs ntuser": (WINSCP, "installed_program",
                                  "ntuser.installed_programs_ntuser.InstalledProgramsNTUserPlugin", *PROGRAMS),
}
_OPENED: dict = {}


@pytest.mark.parametrize("name", REGIPY)
def test_regipy(name):
    file, decoder, plugin, theirs, ours = REGIPY[name]
    if not (path := conftest.SHARED_HIVES / file).is_file():
        pytest.skip(f"no shared hive {path}")
    registry = pytest.importorskip("regipy.registry")
    if file not in _OPENED:  # each hive opened once
        _OPENED[file] = kelpa.Hive.from_path(str(path), strict=False), registry.RegistryHive(str(path))
    hive, their_hive = _OPENED[file]
    module, _, cls = plugin.rpartition(".")
    run = getattr(__import__(f"regipy.plugins.{module}", fromlist=[cls]), cls)(their_hive, as_json=False)
    run.run()
    expected = theirs(run.entries)
    assert expected and expected == ours([row for _, row in artifacts.decode(hive, [decoder], path=path)])
