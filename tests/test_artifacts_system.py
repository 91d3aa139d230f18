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
FT = 132_000_000_000_000_000  # 2019-04-17 18:40 UTC
FT_TIME = datetime.datetime(2019, 4, 17, 18, 40, tzinfo=UTC)
DEVPROP_FILETIME = 0xFFFF0010  # a device property's FILETIME, as Windows 8 and later store it


def decoded(keys: dict, names: list[str], hive_type: str):
    hive = kelpa.Hive.from_bytes(hivegen.hive_of(keys), strict=False)
    decoding = artifacts.decode(hive, names, hive_type=hive_type)
    rows = list(decoding)
    return rows, [tuple(p) for p in decoding.problems()]


def sz(text):
    return REG_SZ, hivegen.sz(text)


def dword(n):
    return REG_DWORD, hivegen.dword(n)


def counted(text: str) -> bytes:
    data = text.encode("utf-16-le")
    return struct.pack("<I", len(data)) + data


def systemtime(*fields) -> bytes:
    return struct.pack("<8H", *fields, *[0] * (8 - len(fields)))


def exec_action(command, arguments="", flags: bool = True) -> bytes:
    return (struct.pack("<H", 0x6666) + counted("") + counted(command) + counted(arguments) + counted("")
            + (b"\0\0" if flags else b""))


COM_CLSID = uuid.UUID("0DA5F46D-21E2-4FBA-B8A2-5D8E3A9A6A6E")
ACTIONS_10 = (struct.pack("<H", 3) + counted("Author") + exec_action(r"C:\x\run.exe", "/q")
              + struct.pack("<H", 0x7777) + counted("") + COM_CLSID.bytes_le + counted("go"))
ACTIONS_7 = struct.pack("<H", 1) + counted("LocalSystem") + exec_action("%windir%\\a.exe", flags=False)
TASKS = r"Microsoft\Windows NT\CurrentVersion\Schedule\TaskCache"
TASK_ID = "{11111111-2222-3333-4444-555555555555}"
USBSTOR = r"ControlSet001\Enum\USBSTOR\Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20\2006087670&0"
DEVICE_TIMES = r"Properties\{83da6326-97a6-4088-9453-a1923f573b29}"
USB_PATH = r"\??\USBSTOR#Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20#2006087670&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
IFACE = r"ControlSet001\Services\Tcpip\Parameters\Interfaces\{AB}"
NETWORK = r"Microsoft\Windows NT\CurrentVersion\NetworkList"
PROFILE_GUID = "{5E3F0D1A-0000-4000-8000-000000000001}"

# (decoder, hive type, keys, expected rows (only the fields named are compared), problems)
CASES = {
    "os_version 10": ("os_version", "SOFTWARE", {r"Microsoft\Windows NT\CurrentVersion": {
        "ProductName": sz("Windows 10 Pro"), "EditionID": sz("Professional"), "DisplayVersion": sz("22H2"),
        "ReleaseId": sz("2009"), "CurrentBuildNumber": sz("19045"), "UBR": dword(3803),
        "CurrentMajorVersionNumber": dword(10), "CurrentMinorVersionNumber": dword(0),
        "InstallDate": dword(1_600_000_000), "InstallTime": (REG_QWORD, hivegen.qword(FT)),
        "RegisteredOwner": sz("tony"), "ProductId": sz("00330-80000-00000-AA123")}},
        [dict(product_name="Windows 10 Pro", edition="Professional", display_version="22H2", build="19045",
              ubr=3803, version="10.0", installed=FT_TIME, registered_owner="tony", registered_organization=None,
              product_id="00330-80000-00000-AA123")], []),
    "os_version 7": ("os_version", "SOFTWARE", {r"Microsoft\Windows NT\CurrentVersion": {
        "ProductName": sz("Windows 7 Ultimate"), "CurrentVersion": sz("6.1"), "CurrentBuild": sz("7601"),
        "InstallDate": dword(1_600_000_000), "RegisteredOrganization": sz("")}},
        [dict(product_name="Windows 7 Ultimate", display_version=None, build="7601", ubr=None, version="6.1",
              installed=datetime.datetime(2020, 9, 13, 12, 26, 40, tzinfo=UTC), registered_organization="")], []),
    "os_version without values": ("os_version", "SOFTWARE", {r"Microsoft\Windows NT\CurrentVersion\Winlogon": {}},
                                  [], []),
    "network_interface": ("network_interface", "SYSTEM", {
        IFACE: {"EnableDHCP": dword(0), "IPAddress": (REG_MULTI_SZ, hivegen.multi_sz(["10.1.1.5", "10.1.1.6"])),
                "SubnetMask": (REG_MULTI_SZ, hivegen.multi_sz(["255.0.0.0"])),
                "DefaultGateway": (REG_MULTI_SZ, hivegen.multi_sz([""])), "NameServer": sz("8.8.8.8,1.1.1.1")},
        IFACE + r"\4a4b": {"EnableDHCP": dword(1), "DhcpIPAddress": sz("192.168.1.9"),
                           "DhcpDefaultGateway": (REG_MULTI_SZ, hivegen.multi_sz(["192.168.1.1"])),
                           "DhcpServer": sz("192.168.1.1"), "LeaseObtainedTime": dword(1_600_000_000),
                           "LeaseTerminatesTime": dword(1_600_086_400), "DhcpDomain": sz("home"),
                           "DhcpNameServer": sz("192.168.1.1 9.9.9.9")},
        r"ControlSet001\Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}\{AB}\Connection":
            {"Name": sz("Ethernet0")}},
        [dict(control_set="ControlSet001", interface="{AB}", network=None, connection_name="Ethernet0",
              dhcp_enabled=False, ip_addresses=["10.1.1.5", "10.1.1.6"], subnet_masks=["255.0.0.0"], gateways=None,
              name_servers=["8.8.8.8", "1.1.1.1"], lease_obtained=None),
         dict(interface="{AB}", network="4a4b", connection_name="Ethernet0", dhcp_enabled=True,
              dhcp_ip_address="192.168.1.9", dhcp_gateways=["192.168.1.1"], dhcp_server="192.168.1.1",
              lease_obtained=datetime.datetime(2020, 9, 13, 12, 26, 40, tzinfo=UTC),
              lease_expires=datetime.datetime(2020, 9, 14, 12, 26, 40, tzinfo=UTC), domain="home",
              name_servers=["192.168.1.1", "9.9.9.9"])], []),
    "network_profile": ("network_profile", "SOFTWARE", {
        rf"{NETWORK}\Profiles\{PROFILE_GUID}": {
            "ProfileName": sz("CoffeeShop"), "Description": sz("CoffeeShop"), "Category": dword(0),
            "NameType": dword(0x47), "Managed": dword(0),
            "DateCreated": (REG_BINARY, systemtime(2023, 4, 3, 12, 9, 30, 5, 250)),
            "DateLastConnected": (REG_BINARY, systemtime(2023, 4, 3, 12, 9, 30))},
        rf"{NETWORK}\Profiles\{{00000000-0000-0000-0000-000000000002}}": {
            "ProfileName": sz("Office"), "Category": dword(2), "NameType": dword(0x99),
            "DateCreated": (REG_BINARY, systemtime(2023, 4, 3)[:12])},
        rf"{NETWORK}\Signatures\Unmanaged\0103": {
            "ProfileGuid": sz(PROFILE_GUID.lower()), "DnsSuffix": sz("<none>"),
            "DefaultGatewayMac": (REG_BINARY, bytes.fromhex("00155d01020a")), "FirstNetwork": sz("CoffeeShop")}},
        [dict(guid=PROFILE_GUID, name="CoffeeShop", category="public", type="wireless", managed=False,
              created_local=datetime.datetime(2023, 4, 12, 9, 30, 5, 250000),
              last_connected_local=datetime.datetime(2023, 4, 12, 9, 30), gateway_mac="00:15:5D:01:02:0A", dns_suffix="<none>",
              signature="unmanaged"),
         dict(name="Office", category="domain", type="153", created_local=None, gateway_mac=None, signature=None)],
        [("network_profile", rf"{NETWORK}\Profiles\{{00000000-0000-0000-0000-000000000002}}",
          "DateCreated holds 12 bytes, not a SYSTEMTIME's 16")]),
    "mounted_device": ("mounted_device", "SYSTEM", {"MountedDevices": {
        r"\DosDevices\C:": (REG_BINARY, struct.pack("<IQ", 0xDF4546AE, 1_048_576)),
        r"\??\Volume{a08efec2-a076-11e5-824f-806e6f6e6963}": (REG_BINARY, b"DMIO:ID:" + COM_CLSID.bytes_le),
        r"\DosDevices\E:": (REG_BINARY, USB_PATH.encode("utf-16-le")),
        "#{5aae7822-77cb-11e9-bcf1-784f439fa657}": (REG_BINARY, bytes(range(16)))}},
        [dict(name=r"\DosDevices\C:", kind="drive_letter", mount_point="C:", disk_signature="DF4546AE",
              partition_offset=1_048_576, partition_guid=None, device=None),
         dict(kind="volume", mount_point="{a08efec2-a076-11e5-824f-806e6f6e6963}", disk_signature=None,
              partition_guid="{0DA5F46D-21E2-4FBA-B8A2-5D8E3A9A6A6E}"),
         dict(kind="drive_letter", mount_point="E:", device=USB_PATH, partition_guid=None),
         dict(kind=None, mount_point=None, disk_signature=None, partition_guid=None, device=None)], []),
    "usb_device 8 and later": ("usb_device", "SYSTEM", {
        USBSTOR: {"FriendlyName": sz("SanDisk Cruzer USB Device"), "DeviceDesc": sz("@disk.inf,%disk_devdesc%;Disk drive"),
                  "ContainerID": sz("{b3de1805-dd31-527c-b2e7-845dd3712470}")},
        **{rf"{USBSTOR}\{DEVICE_TIMES}\{n}": {"": (DEVPROP_FILETIME, hivegen.qword(FT + i * 10_000_000))}
           for i, n in enumerate(("0065", "0064", "0066", "0067"))},
        r"ControlSet001\Enum\USB\VID_0781&PID_5567\2006087670": {"ContainerID": sz("{b3de}")},
        "MountedDevices": {r"\DosDevices\E:": (REG_BINARY, USB_PATH.encode("utf-16-le")),
                           r"\??\Volume{a08efec7-a076-11e5-824f-806e6f6e6963}": (REG_BINARY, USB_PATH.upper().encode("utf-16-le"))}},
        [dict(control_set="ControlSet001", bus="USBSTOR", vendor="SanDisk", product="Cruzer", revision="1.20",
              serial="2006087670&0", friendly_name="SanDisk Cruzer USB Device", description="Disk drive",
              container_id="{b3de1805-dd31-527c-b2e7-845dd3712470}", first_installed=FT_TIME,
              last_installed=FT_TIME + datetime.timedelta(seconds=1),
              last_connected=FT_TIME + datetime.timedelta(seconds=2),
              last_removed=FT_TIME + datetime.timedelta(seconds=3), drive_letter="E:",
              volume_guid="{a08efec7-a076-11e5-824f-806e6f6e6963}"),
         dict(bus="USB", vendor="0781", product="5567", revision=None, serial="2006087670", container_id="{b3de}",
              first_installed=None, drive_letter=None)], []),
    "usb_device 7": ("usb_device", "SYSTEM", {
        rf"{USBSTOR}\{DEVICE_TIMES}\0065\00000000": {"Type": dword(0x10), "Data": (REG_BINARY, hivegen.qword(FT))},
        rf"{USBSTOR}\{DEVICE_TIMES}\0064": {"": (DEVPROP_FILETIME, hivegen.qword(FT) + bytes(4))}},
        [dict(bus="USBSTOR", first_installed=FT_TIME, last_installed=None, last_connected=None)],
        [("usb_device", rf"{USBSTOR}\{DEVICE_TIMES}\0064", "device property 0064 holds 12 bytes, not a FILETIME's 8")]),
    "portable_device": ("portable_device", "SOFTWARE", {
        r"Microsoft\Windows Portable Devices\Devices\WPDBUSENUMROOT#UMB#2&37C186B&1&STORAGE#VOLUME#_??_USBSTOR#"
        r"DISK&VEN_SANDISK&PROD_CRUZER&REV_1.20#2006087670&0#": {"FriendlyName": sz("KINGS")},
        r"Microsoft\Windows Portable Devices\Devices\SWD#WPDBUSENUM#{6AC27878}": {"FriendlyName": sz("Phone")}},
        [dict(bus="USBSTOR", vendor="SANDISK", product="CRUZER", revision="1.20", serial="2006087670&0",
              friendly_name="KINGS"),
         dict(bus=None, vendor=None, serial=None, friendly_name="Phone")], []),
    "profile": ("profile", "SOFTWARE", {
        r"Microsoft\Windows NT\CurrentVersion\ProfileList\S-1-5-21-1-2-3-1001": {
            "ProfileImagePath": (REG_EXPAND_SZ, hivegen.sz(r"C:\Users\tony")), "Flags": dword(0), "State": dword(256),
            "LocalProfileLoadTimeHigh": dword(FT >> 32), "LocalProfileLoadTimeLow": dword(FT & 0xFFFFFFFF),
            "LocalProfileUnloadTimeHigh": dword(FT >> 32), "LocalProfileUnloadTimeLow": dword(0)},
        r"Microsoft\Windows NT\CurrentVersion\ProfileList\S-1-5-18": {
            "ProfileLoadTimeHigh": dword(FT >> 32), "ProfileLoadTimeLow": dword(FT & 0xFFFFFFFF)}},
        [dict(sid="S-1-5-21-1-2-3-1001", path=r"C:\Users\tony", flags=0, state=256, load_time=FT_TIME,
              unload_time=datetime.datetime(2019, 4, 17, 18, 33, 6, 690662, tzinfo=UTC)),  # the low half 0
         dict(sid="S-1-5-18", path=None, load_time=FT_TIME, unload_time=None)], []),
    "installed_program": ("installed_program", "SOFTWARE", {
        r"Microsoft\Windows\CurrentVersion\Uninstall\7-Zip": {
            "DisplayName": sz("7-Zip 23.01 (x64)"), "DisplayVersion": sz("23.01"), "Publisher": sz("Igor Pavlov"),
            "InstallDate": sz("20240131"), "InstallLocation": sz("C:\\Program Files\\7-Zip\\"),
            "UninstallString": sz('"C:\\Program Files\\7-Zip\\Uninstall.exe"'), "EstimatedSize": dword(5570)},
        r"Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\{GUID}": {
            "DisplayName": sz("Old"), "InstallDate": sz("20241301")}},
        [dict(key_name="7-Zip", name="7-Zip 23.01 (x64)", version="23.01", publisher="Igor Pavlov",
              install_date=datetime.datetime(2024, 1, 31), install_location="C:\\Program Files\\7-Zip\\",
              uninstall_string='"C:\\Program Files\\7-Zip\\Uninstall.exe"', size_kb=5570, wow64=False),
         dict(key_name="{GUID}", name="Old", install_date=None, wow64=True)], []),
    "installed_program NTUSER": ("installed_program", "NTUSER", {
        r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Zoom": {"DisplayName": sz("Zoom")}},
        [dict(key_name="Zoom", name="Zoom", wow64=False)], []),
    "autorun SOFTWARE": ("autorun", "SOFTWARE", {
        r"Microsoft\Windows\CurrentVersion\Run": {"OneDrive": sz("o.exe /background"), "Empty": sz(""),
                                                  "Number": dword(1)},
        r"Wow6432Node\Microsoft\Windows\CurrentVersion\RunOnce": {"x": (REG_EXPAND_SZ, hivegen.sz("%TEMP%\\x.exe"))},
        r"Microsoft\Windows\CurrentVersion\RunOnceEx\0001": {"Line1": sz("||setup.dll|Go")},
        r"Microsoft\Windows NT\CurrentVersion\Winlogon": {"Shell": sz("explorer.exe"), "Userinit": sz("u.exe,"),
                                                           "AutoAdminLogon": sz("0")},
        r"Microsoft\Windows NT\CurrentVersion\Winlogon\Notify\evil": {"DllName": sz("evil.dll")},
        r"Microsoft\Windows NT\CurrentVersion\Image File Execution Options\sethc.exe": {"Debugger": sz("cmd.exe")},
        r"Microsoft\Windows NT\CurrentVersion\Image File Execution Options\notepad.exe": {"GlobalFlag": dword(2)}},
        [dict(location="Run", name="OneDrive", command="o.exe /background"),
         dict(location="Wow6432Node\\RunOnce", name="x", command="%TEMP%\\x.exe"),
         dict(location="RunOnceEx", name="0001\\Line1", command="||setup.dll|Go"),
         dict(location="Winlogon", name="Shell", command="explorer.exe"),
         dict(location="Winlogon", name="Userinit", command="u.exe,"),
         dict(location="Winlogon\\Notify", name="evil", command="evil.dll"),
         dict(location="Image File Execution Options", name="sethc.exe", command="cmd.exe")], []),
    "autorun NTUSER": ("autorun", "NTUSER", {
        r"Software\Microsoft\Windows\CurrentVersion\Policies\Explorer\Run": {"1": sz("p.exe")},
        r"Software\Microsoft\Windows NT\CurrentVersion\Windows": {"Load": sz("l.exe"), "Device": sz("printer")}},
        [dict(location="Policies\\Explorer\\Run", name="1", command="p.exe"),
         dict(location="Windows", name="Load", command="l.exe")], []),
    "service": ("service", "SYSTEM", {
        r"ControlSet001\Services\Svc": {"Start": dword(2), "Type": dword(0x20), "ObjectName": sz("LocalSystem"),
                                        "ImagePath": (REG_EXPAND_SZ, hivegen.sz(r"%SystemRoot%\system32\svchost.exe -k x")),
                                        "DelayedAutostart": dword(1)},
        r"ControlSet001\Services\Svc\Parameters": {"ServiceDll": (REG_EXPAND_SZ, hivegen.sz(r"C:\evil.dll"))},
        r"ControlSet002\Services\Drv": {"Start": dword(0), "Type": dword(0x110)},
        r"ControlSet002\Services\Settings": {"Value": dword(1)}},
        [dict(control_set="ControlSet001", name="Svc", image_path=r"%SystemRoot%\system32\svchost.exe -k x",
              service_dll=r"C:\evil.dll", start=2, start_name="auto", delayed_auto_start=True, type=0x20,
              type_names=["share_process"], account="LocalSystem"),
         dict(control_set="ControlSet002", name="Drv", start_name="boot",
              type_names=["own_process", "interactive_process"], service_dll=None, account=None)], []),
    "scheduled_task 10": ("scheduled_task", "SOFTWARE", {
        rf"{TASKS}\Tree\Microsoft\Windows\Defrag\Scheduled": {"Id": sz(TASK_ID.lower())},
        rf"{TASKS}\Tasks\{TASK_ID}": {
            "Path": sz("\\Microsoft\\Windows\\Defrag\\ScheduledDefrag"), "Actions": (REG_BINARY, ACTIONS_10),
            "Author": sz("Microsoft"),
            "DynamicInfo": (REG_BINARY, struct.pack("<IQQIIQ", 3, FT, FT + 10_000_000, 0, 0x41303, FT + 20_000_000))}},
        [dict(path="\\Microsoft\\Windows\\Defrag\\ScheduledDefrag", id=TASK_ID,
              actions=[r"C:\x\run.exe /q", "ComHandler {0DA5F46D-21E2-4FBA-B8A2-5D8E3A9A6A6E} go"], run_as="Author",
              author="Microsoft", created=FT_TIME, last_run=FT_TIME + datetime.timedelta(seconds=1),
              last_success=FT_TIME + datetime.timedelta(seconds=2), last_result=0x41303)], []),
    "scheduled_task 7": ("scheduled_task", "SOFTWARE", {
        rf"{TASKS}\Tree\Folder\Job": {"Id": sz(TASK_ID)},
        rf"{TASKS}\Tasks\{TASK_ID}": {"Actions": (REG_BINARY, ACTIONS_7),
                                      "DynamicInfo": (REG_BINARY, struct.pack("<IQQII", 3, FT, 0, 0, 0))}},
        [dict(path="\\Folder\\Job", actions=["%windir%\\a.exe"], run_as="LocalSystem", created=FT_TIME,
              last_run=None, last_success=None)], []),
    "scheduled_task damaged": ("scheduled_task", "SOFTWARE", {
        rf"{TASKS}\Tasks\{{A}}": {"Actions": (REG_BINARY, ACTIONS_10[:-3]),
                                  "DynamicInfo": (REG_BINARY, struct.pack("<IQQIIQ", 4, FT, FT, 0, 0, FT))},
        rf"{TASKS}\Tasks\{{B}}": {"Actions": (REG_BINARY, ACTIONS_7[:2] + counted("x") + b"\x11\x11" + counted("")),
                                  "DynamicInfo": (REG_BINARY, bytes(30))},
        rf"{TASKS}\Tasks\{{C}}": {"Actions": (REG_BINARY, b"\x07\x00")}},
        [dict(id="{A}", actions=[r"C:\x\run.exe /q"], created=None),
         dict(id="{B}", actions=None, run_as="x", created=None),
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
    assert [{f: row[f] for f in want} for (_, row), want in zip(rows, expected)] == expected
    assert (len(rows), met) == (len(expected), problems)


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


# --- regipy's plugins on the shared hives --------------------------------------------------------

_OPENED: dict = {}


def _ours_and_regipy(file: str, decoder: str):
    """(our rows of `decoder`, regipy's RegistryHive) for a shared hive, each hive opened once."""
    path = conftest.SHARED_HIVES / file
    if not path.is_file():
        pytest.skip(f"no shared hive {path}")
    registry = pytest.importorskip("regipy.registry")
    if file not in _OPENED:
        _OPENED[file] = (kelpa.Hive.from_path(str(path), strict=False), registry.RegistryHive(str(path)))
    hive, theirs = _OPENED[file]
    return [row for _, row in artifacts.decode(hive, [decoder], path=path)], theirs


def _run(plugin, hive):
    instance = plugin(hive, as_json=False)
    instance.run()
    return instance.entries


def _plugin(module: str, name: str):
    return getattr(__import__(f"regipy.plugins.{module}", fromlist=[name]), name)


def _near(a, b):
    """regipy rounds a FILETIME to the microsecond, we drop the last digit."""
    return a is None and b is None or abs(a - b) <= datetime.timedelta(microseconds=1)


def usbstor(ours, hive):
    theirs = _run(_plugin("system.usbstor", "USBSTORPlugin"), hive)
    mine = {(r["key_path"].split("\\")[0], r["serial"]): r for r in ours if r["bus"] == "USBSTOR"}
    assert len(theirs) == len(mine) > 0
    for entry in theirs:
        row = mine[(entry["key_path"].split("\\")[1], entry["serial_number"])]
        # regipy keeps the Ven_/Prod_/Rev_ tags and reads the device name property, which Windows
        # fills with the FriendlyName.
        assert (f"Ven_{row['vendor']}", f"Prod_{row['product']}", f"Rev_{row['revision']}", row["friendly_name"]) == \
            (entry["manufacturer"], entry["title"], entry["version"], entry["device_name"])
        for field in ("first_installed", "last_installed", "last_connected", "last_removed"):
            assert _near(row[field], entry[field]), field


def usb_devices(ours, hive):
    theirs = {(e["key_path"].split("\\")[1], e["vid_pid"], e["instance_id"], e["vid"], e["pid"], e.get("container_id"))
              for e in _run(_plugin("system.usb_devices", "USBDevicesPlugin"), hive)}
    assert theirs and theirs == {(r["control_set"], r["device"], r["serial"], r["vendor"], r["product"],
                                  r["container_id"]) for r in ours if r["bus"] == "USB"}


def mounted_devices(ours, hive):
    # regipy's plugin gets binary data as a hex string and so decodes none of it (no disk
    # signature, partition offset, GPT GUID or device path); the names and kinds agree.
    kinds = {"drive_letter": "drive_letter", "volume": "volume"}
    assert [(e["value_name"], kinds.get(e["mount_type"])) for e in
            _run(_plugin("system.mountdev", "MountedDevicesPlugin"), hive)] == [(r["name"], r["kind"]) for r in ours]
    assert any(r["disk_signature"] for r in ours) and any(r["device"] for r in ours)


def network_data(ours, hive):
    # regipy reads the static settings only where DHCP is off and the DHCP ones only where it is on.
    mine = {(r["control_set"], r["interface"], r["network"]): r for r in ours}
    seen = 0
    for path, found in _run(_plugin("system.network_data", "NetworkDataPlugin"), hive).items():
        control_set = path.split("\\")[1]
        for interface in found["interfaces"]:
            networks = [(None, interface)] + [(s["interface_name"], s) for s in interface.get("sub_interface", [])]
            for network, entry in networks:
                row = mine[(control_set, interface["interface_name"], network)]
                seen += 1
                assert entry["dhcp_enabled"] == (row["dhcp_enabled"] is True)
                if entry["dhcp_enabled"]:
                    assert (entry["dhcp_ip_address"], entry["dhcp_server"], entry["dhcp_subnet_mask"]) == \
                        (row["dhcp_ip_address"], row["dhcp_server"], row["dhcp_subnet_mask"])
                    obtained = entry.get("dhcp_lease_obtained_time")
                    assert obtained == (row["lease_obtained"] and row["lease_obtained"].strftime("%Y-%m-%d %H:%M:%S"))
                else:
                    assert (entry["ip_address"] or None, entry["default_gateway"] or None) == \
                        (row["ip_addresses"], row["gateways"])
    assert seen == len(mine) > 0


def services(ours, hive):
    # regipy lists every key below Services; a key with neither Start, Type nor ImagePath is a
    # driver's settings, not a service, and gives no row here.
    theirs = {}
    for path, found in _run(_plugin("system.services", "ServicesPlugin"), hive).items():
        for entry in found["services"]:
            values = {v["name"]: v["value"] for v in entry["values"] or []}
            if {"Start", "Type", "ImagePath"} & values.keys():
                theirs[(path.split("\\")[1], entry["name"])] = (values.get("Start"), values.get("Type"),
                                                                values.get("ImagePath"), values.get("ObjectName"))
    assert theirs and theirs == {(r["control_set"], r["name"]): (r["start"], r["type"], r["image_path"], r["account"])
                                 for r in ours}


def current_control_set(module, plugin, field):
    """regipy reads the current control set only."""
    def compare(ours, hive):
        entries = _run(_plugin(f"system.{module}", plugin), hive)
        mine = [r for r in ours if r["control_set"] == "ControlSet001"]
        if field == "name":
            assert [e["name"] for e in entries] == [r["name"] for r in mine]
        elif field == "key_name":
            assert [(e.get("TimeZoneKeyName"), e.get("Bias")) for e in entries.values()] == \
                [(r["key_name"], r["bias_minutes"]) for r in mine]
        else:  # regipy gives the shutdown time to the second
            assert [e["date"] for e in entries.values()] == [r["time"].strftime("%Y-%m-%d %H:%M:%S") for r in mine]
    return compare


def persistence(module, plugin):
    """regipy also lists empty values (no command); it looks for SOFTWARE's Winlogon\\Notify below a
    Software key that a SOFTWARE hive does not have."""
    def compare(ours, hive):
        entries = _run(_plugin(f"{module}.persistence", plugin), hive)
        theirs = {(path.lstrip("\\").lower(), v.name, v.value) for path, found in entries.items()
                  for v in found["values"] if isinstance(v.value, str) and v.value.strip()}
        assert theirs and theirs == {(r["key_path"].lower(), r["name"], r["command"]) for r in ours}
    return compare


def installed_programs(module, plugin):
    def compare(ours, hive):
        entries = _run(_plugin(module, plugin), hive)
        fields = ("DisplayName", "DisplayVersion", "Publisher", "InstallLocation", "UninstallString")
        assert entries and [(e["service_name"], *(e.get(f) for f in fields)) for e in entries] == \
            [(r["key_name"], r["name"], r["version"], r["publisher"], r["install_location"], r["uninstall_string"])
             for r in ours]
    return compare


WIN10 = "regipy__SYSTEM_WIN_10_1709"
REGIPY = {
    "usbstor": (WIN10, "usb_device", usbstor),
    "usb_devices": (WIN10, "usb_device", usb_devices),
    "mounted_devices": (WIN10, "mounted_device", mounted_devices),
    "mounted_devices 7": ("regipy__SYSTEM_2", "mounted_device", mounted_devices),
    "network_data": (WIN10, "network_interface", network_data),
    "network_data XP": ("regipy__corrupted_system_hive", "network_interface", network_data),
    "services": ("yarp__System_Delta", "service", services),
    "computer_name": (WIN10, "computer_name", current_control_set("computer_name", "ComputerNamePlugin", "name")),
    "timezone": (WIN10, "timezone", current_control_set("timezone_data2", "TimezoneDataPlugin2", "key_name")),
    "shutdown": (WIN10, "shutdown", current_control_set("shutdown", "ShutdownPlugin", "time")),
    "software persistence": ("regipy__ntuser_software_partial", "autorun",
                             persistence("software", "SoftwarePersistencePlugin")),
    "ntuser persistence": ("regipy__NTUSER_with_winscp.DAT", "autorun", persistence("ntuser", "NTUserPersistencePlugin")),
    "ntuser persistence RunOnce": ("plaso__NTUSER-RunTests.DAT", "autorun",
                                   persistence("ntuser", "NTUserPersistencePlugin")),
    "installed programs": ("regipy__ntuser_software_partial", "installed_program",
                           installed_programs("software.installed_programs", "InstalledProgramsSoftwarePlugin")),
    "installed programs ntuser": ("regipy__NTUSER_with_winscp.DAT", "installed_program",
                                  installed_programs("ntuser.installed_programs_ntuser",
                                                     "InstalledProgramsNTUserPlugin")),
}


@pytest.mark.parametrize("name", REGIPY)
def test_regipy(name):
    file, decoder, compare = REGIPY[name]
    compare(*_ours_and_regipy(file, decoder))
