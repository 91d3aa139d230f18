"""The small sample hive that `make demo` walks when no hive is given; run as a script it writes it:

    python examples/sample_hive.py PATH
"""

import datetime
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from hivegen import (  # noqa: E402
    REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_EXPAND_SZ, REG_FULL_RESOURCE_DESCRIPTOR, REG_LINK, REG_MULTI_SZ,
    REG_NONE, REG_QWORD, REG_RESOURCE_LIST, REG_RESOURCE_REQUIREMENTS_LIST, REG_SZ, Key, Value, dword, filetime, multi_sz,
    build_tree, qword, sz,
)


def sample_tree() -> Key:
    """A small SYSTEM-like hive: keys four deep, values of types 0 to 11 and two unknown ones, a
    default value, inline, one-cell and three-segment big data, UTF-16 names, "lh" and "li" lists."""
    t = filetime(datetime.datetime(2024, 3, 1, 12, 30, 15))
    later = filetime(datetime.datetime(2024, 3, 2, 8, 0, 0, 123456))
    big = bytes((i * 7 + i // 251) & 0xFF for i in range(40_000))
    resource = bytes.fromhex("010000000f000000000000000100010003050000" "00000000")
    K, V = Key, Value
    tcpip = K("Tcpip", last_written=later, subkeys=[K("Parameters", last_written=later, values=[
        V("Hostname", REG_SZ, sz("kelpa-demo")), V("Domain", REG_SZ, sz("")), V("EnableDHCP", REG_DWORD, dword(1)),
        V("SearchList", REG_MULTI_SZ, multi_sz(["corp.example", "example.org"])),
        V("DhcpTimestamp", REG_QWORD, qword(t))])], values=[
        V("DisplayName", REG_SZ, sz("TCP/IP Protocol Driver")),
        V("ImagePath", REG_EXPAND_SZ, sz(r"\SystemRoot\System32\drivers\tcpip.sys")),
        V("Start", REG_DWORD, dword(0)), V("Type", REG_DWORD, dword(1)),
        V("ErrorControl", REG_DWORD_BIG_ENDIAN, struct.pack(">I", 3)), V("Blob", REG_BINARY, big)])
    services = K("Services", last_written=t, list_kind="lh", subkeys=[
        K("EventLog", last_written=t, subkeys=[K("System", last_written=t, values=[
            V("MaxSize", REG_DWORD, dword(20_971_520)),
            V("File", REG_EXPAND_SZ, sz(r"%SystemRoot%\System32\Winevt\Logs\System.evtx"))])]),
        tcpip,
        K("Überwachung-監視", last_written=t, values=[
            V("Größe", REG_DWORD, dword(0xDEADBEEF)), V("Описание", REG_SZ, sz("Überwachungsdienst – 監視サービス"))])])
    control = K("Control", last_written=t, subkeys=[
        K("ComputerName", last_written=t, subkeys=[K("ComputerName", last_written=t, values=[
            V("", REG_SZ, sz("mnmsrvc")), V("ComputerName", REG_SZ, sz("KELPA-DEMO"))])]),
        K("Hardware", last_written=t, values=[
            V("Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, resource),
            V("Resources", REG_RESOURCE_LIST, b"\x01\x00\x00\x00" + resource),
            V("Requirements", REG_RESOURCE_REQUIREMENTS_LIST, resource + bytes(8)),
            V("Empty", REG_NONE, b""), V("Marker", REG_NONE, b"\x2a")]),
        K("Session Manager", last_written=t, subkeys=[K("Environment", last_written=t, values=[
            V("Path", REG_EXPAND_SZ, sz(r"%SystemRoot%\system32;%SystemRoot%")),
            V("NUMBER_OF_PROCESSORS", REG_SZ, sz("2"))])])])
    return K("ROOT", last_written=later, list_kind="li", subkeys=[
        K("ControlSet001", last_written=t, subkeys=[control, services]),
        K("CurrentControlSet", last_written=t, values=[
            V("SymbolicLinkValue", REG_LINK, r"\Registry\Machine\System\ControlSet001".encode("utf-16-le"))]),
        K("MountedDevices", last_written=t),
        K("Select", last_written=t, values=[
            V("Current", REG_DWORD, dword(1)), V("Default", REG_DWORD, dword(1)), V("Failed", REG_DWORD, dword(0)),
            V("LastKnownGood", REG_DWORD, dword(1)), V("Custom", 0x20, b"\x00\x01\x02\x03\x04\x05"),
            V("DeviceProperty", 0xFFFF0011, b"\x01")])])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pathlib.Path(sys.argv[1]).write_bytes(build_tree(sample_tree(), file_name=b"SYSTEM"))
