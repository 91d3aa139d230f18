"""The kelpa command, run as a user runs it: each subcommand's output and exit status, one-line
errors for bad files, and the exports read back and checked against the library's own walk and,
for .reg files, against hivexregedit."""

from __future__ import annotations

import csv
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES, corpus_params

KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))  # installed beside the interpreter
PARAMETERS = r"ControlSet001\Services\Tcpip\Parameters"


def run(*args: str, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([KELPA, *args], capture_output=True, cwd=cwd, timeout=300)


@pytest.fixture(scope="module")
def folder(tmp_path_factory) -> pathlib.Path:
    """SYSTEM (the sample hive), a log and a text file beside it, and bad hives in bad/."""
    top = tmp_path_factory.mktemp("cli")
    image = hivegen.write_tree(top / "SYSTEM", hivegen.sample_tree()).read_bytes()
    (top / "SYSTEM.LOG1").write_bytes(hivegen.base_block(file_type=1))  # "regf", but a log
    (top / "notes.txt").write_text("regf is not the first word here")
    (top / "bad").mkdir(), (top / "empty").mkdir()
    for name, data in (("short", image[:2000]), ("cut", image[:6000]), ("text", b"# kelpa" * 1000),
                       ("sum", image[:100] + bytes([image[100] ^ 1]) + image[101:])):
        (top / "bad" / name).write_bytes(data)
    return top


LS_R = """\
ControlSet001\\Services\\EventLog:
  2024-03-01T12:30:15.000000+00:00 System\\
ControlSet001\\Services\\EventLog\\System:
  REG_DWORD                        MaxSize = 20971520 (0x01400000)
  REG_EXPAND_SZ                    File = %SystemRoot%\\System32\\Winevt\\Logs\\System.evtx
"""
INFO = """\
SYSTEM
  file name       
  last written    never
  version         1.5, file type 0, format 1, clustering factor 1
  checksum        0x6667a556
  sequences       1 / 1 (clean)
  root cell       0x20
  bins            5, 49152 bytes
  logs beside it  SYSTEM.LOG1
  keys            17
  values          31
"""


@pytest.mark.parametrize("args, out", [
    (["get", "SYSTEM", PARAMETERS, "Hostname"], b"kelpa-demo\n"),
    (["get", "SYSTEM", PARAMETERS.upper(), "searchlist"], b"corp.example\nexample.org\n"),
    (["get", "SYSTEM", PARAMETERS, "DhcpTimestamp"], b"133537698150000000\n"),  # 2024-03-01 12:30:15
    (["get", "SYSTEM", r"\ControlSet001\Control\ComputerName\ComputerName"], b"mnmsrvc\n"),
    (["get", "--raw", "SYSTEM", PARAMETERS, "Hostname"], hivegen.sz("kelpa-demo")),
    (["get", "SYSTEM", "Select", "DeviceProperty"], b"01\n"),
    (["ls", "SYSTEM", r"controlset001\services\EVENTLOG"], LS_R.encode().split(b"\n")[1] + b"\n"),
    (["ls", "-r", "SYSTEM", r"ControlSet001\Services\EventLog"], LS_R.encode()),
    (["ls", "SYSTEM", "MountedDevices"], b""),
    (["info", "SYSTEM"], INFO.encode()),
    (["timeline", "SYSTEM", "--since", "2024-03-02"], b"last_written,hive,key_path\n"
     b"2024-03-02T08:00:00.123456+00:00,SYSTEM,\n"
     b"2024-03-02T08:00:00.123456+00:00,SYSTEM,ControlSet001\\Services\\Tcpip\n"
     b"2024-03-02T08:00:00.123456+00:00,SYSTEM,ControlSet001\\Services\\Tcpip\\Parameters\n"),
], ids=["sz", "multi-sz-any-case", "qword", "default-value", "raw", "unknown-type-hex", "ls",
        "ls-r", "ls-empty", "info", "timeline-since"])
def test_output(folder, args, out):
    done = run(*args, cwd=folder)
    assert (done.returncode, done.stderr, done.stdout) == (0, b"", out)


@pytest.mark.parametrize("args, status, err", [
    (["info", "missing"], 1, "kelpa: missing: No such file or directory (os error 2)"),
    (["ls", "bad/text"], 1, "kelpa: bad/text: Invalid signature: expected regf, found # ke"),
    (["info", "bad/short"], 1, "kelpa: bad/short: Hive too small: 2000 bytes (minimum: 4096 bytes)"),
    (["export", "-f", "jsonl", "bad/cut"], 1, "kelpa: bad/cut: Invalid offset 0xb338 (hive size: 0x1770)"),
    (["get", "bad/sum", "Select"], 1, "kelpa: bad/sum: Checksum mismatch: expected 0x6667a556, "
                                      "calculated 0x6667a557"),
    (["ls", "SYSTEM", r"ControlSet001\Nope"], 1, r"kelpa: SYSTEM: Not found: Key 'ControlSet001\Nope'"),
    (["get", "SYSTEM", "Select", "Nope"], 1, "kelpa: SYSTEM: Not found: Value 'Nope'"),
    (["recover", "bad/cut"], 1, "kelpa: bad/cut: no transaction logs beside it (HIVE.LOG1, "
                                "HIVE.LOG2, HIVE.LOG); name them with --log1/--log2"),
    (["timeline", "empty"], 1, "kelpa: empty: no hive files found in this folder"),
    (["export", "-f", "parquet", "SYSTEM"], 2, "kelpa export: error: --format parquet needs -o OUT"),
    (["info", "-j", "0", "SYSTEM"], 2, "kelpa info: error: argument -j/--jobs: not a number of processes: '0'"),
], ids=["missing", "not-a-hive", "too-small", "truncated", "checksum", "bad-key-path", "bad-value",
        "no-logs", "folder-without-hives", "parquet-without-o", "jobs"])
def test_errors(folder, args, status, err):
    done = run(*args, cwd=folder)
    assert (done.returncode, done.stderr.decode().splitlines()[-1]) == (status, err)


def test_folder_of_hives_in_parallel(folder):
    """Folders searched by content; bad hives reported, the others shown as on their own."""
    done = run("info", "-j", "2", ".", cwd=folder)
    assert done.returncode == 1
    assert sorted(done.stderr.decode().splitlines()) == [
        "kelpa: ./bad/cut: Invalid offset 0xb338 (hive size: 0x1770)",
        "kelpa: ./bad/short: Hive too small: 2000 bytes (minimum: 4096 bytes)",
        "kelpa: ./bad/sum: Checksum mismatch: expected 0x6667a556, calculated 0x6667a557"]
    alone = run("info", "SYSTEM", cwd=folder).stdout.decode()
    assert done.stdout.decode().startswith(f"./{alone}\n./bad/cut\n")


# Shared hives whose values hold strings, numbers and binary data, 8-bit and UTF-16 names.
READ_BACK = ["benni371__SAM", "nthive__testhive", "regipy__NTUSER.DAT"]


def shared(name: str) -> str:
    if not (SHARED_HIVES / name).is_file():
        pytest.skip(f"no shared hives at {SHARED_HIVES}")
    return str(SHARED_HIVES / name)


def typed(value: kelpa.RegistryValue):
    data, raw = value.data(), value.raw_data()
    return (data.as_string() if data.is_string() else data.as_multi_string() if data.is_multi_string()
            else data.as_dword() if data.is_dword() and len(raw) == 4
            else data.as_qword() if data.is_qword() and len(raw) == 8 else raw.hex())


@pytest.mark.parametrize("name", ["SYSTEM", *READ_BACK])
def test_jsonl_and_parquet_read_back(folder, tmp_path, name):
    import duckdb
    import pyarrow.parquet as pq
    path = str(folder / name) if name == "SYSTEM" else shared(name)
    walk = [(k.path(), k) for k in kelpa.Hive.open(path).root_key().walk()]
    done = run("export", "-f", "jsonl", path)
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert (done.returncode, done.stderr, records) == (0, b"", [{"hive": path, "path": p, "last_written": w and w.isoformat(timespec="microseconds"),
                        "values": [{"name": v.name(), "type": v.value_type().type_name(), "data": typed(v)}
                                   for v in k.values()]} for p, k in walk for w in [k.last_written()]])

    assert run("export", "-f", "parquet", path, "-o", str(tmp_path / "x.parquet")).returncode == 0
    rows = pq.read_table(tmp_path / "x.parquet").to_pylist()
    columns = ("hive", "key_path", "key_last_written", "value_name", "value_type", "value_type_id", "data")
    assert [tuple(r[c] for c in columns) for r in rows] == [(path, p, k.last_written(), *(
        (v.name(), v.value_type().type_name(), v.value_type().type_id(), v.raw_data()) if v else (None,) * 4))
        for p, k in walk for v in (k.values() or [None])]
    texts = [r["data_text"] for r in rows if r["value_name"] is not None]
    assert texts == ["\n".join(d) if isinstance(d, list) else str(d)
                     for d in (v["data"] for rec in records for v in rec["values"])]
    counted = duckdb.sql(f"select count(*), count(value_name), sum(octet_length(data)) "
                         f"from '{tmp_path / 'x.parquet'}'").fetchall()[0]
    assert counted == (len(rows), len(texts), sum(len(r["data"] or b"") for r in rows) or None)


@pytest.mark.parametrize("name", ["yarp__DeletedTreeHive", "ezregistry__UsrClassDeletedBags.dat"])
def test_deleted(name):
    path = shared(name)
    hive, done = kelpa.Hive.open(path), run("deleted", path)
    assert (done.returncode, done.stderr) == (0, b"")
    assert [row[:6] for row in csv.reader(io.StringIO(done.stdout.decode()))] == [
        ["kind", "hive", "last_written", "key", "value_name", "value_type"]] + [
        ["key", path, k.last_written().isoformat(timespec="microseconds"), k.path(), "", ""]
        for k in hive.deleted_keys()] + [
        ["value", path, "", "", v.name(), v.value_type().type_name()] for v in hive.deleted_values()]


def test_parallel_matches_one_process(folder, tmp_path):
    for name in READ_BACK + ["SYSTEM"]:
        (tmp_path / name).symlink_to(folder / name if name == "SYSTEM" else shared(name))
    one, two = run("export", "-f", "jsonl", "-j", "1", str(tmp_path)), run("export", "-f", "jsonl", str(tmp_path))
    assert (one.returncode, two.returncode, one.stdout) == (0, 0, two.stdout)


def parse_reg(text: str, prefix: str) -> list[tuple[str, str, int, bytes]]:
    """(key path below prefix, "", -1, b"") per key and (key path, name, type, data) per value."""
    lines = text.replace("\r\n", "\n").replace("\\\n  ", "").split("\n")
    assert lines[0] == "Windows Registry Editor Version 5.00"
    items, unescape = [], lambda s: re.sub(r"\\(.)", r"\1", s)
    for line in filter(None, lines[1:]):
        if line.startswith("["):  # kelpa drops trailing U+0000 of names, hivexregedit keeps them
            key = re.sub(r"\0+(\\|$)", r"\1", line[1:-1].removeprefix(prefix).strip("\\"))
            items.append((key, "", -1, b""))
            continue
        name, data = re.fullmatch(r'(@|"(?:[^"\\]|\\.)*")=(.*)', line).groups()
        string, dword, number, digits = re.fullmatch(r'"(.*)"|dword:(\w+)|hex(?:\((\w+)\))?:(.*)', data).groups()
        kind, raw = ((1, (unescape(string) + "\0").encode("utf-16-le")) if string is not None
                     else (4, int(dword, 16).to_bytes(4, "little")) if dword
                     else (int(number or "3", 16), bytes.fromhex(digits.replace(",", ""))))
        items.append((key, "(default)" if name == "@" else unescape(name[1:-1]), kind, raw))
    return sorted(items)


@pytest.mark.skipif(not shutil.which("hivexregedit"), reason="hivexregedit not installed")
@pytest.mark.parametrize("record", corpus_params(lambda r: "key names with line breaks, which a .reg file "
                                                  "cannot hold" if r["file"] == "yarp__BogusKeyNamesHive" else None))
def test_reg_export_matches_hivexregedit(tmp_path, record):
    path = shared(record["file"])
    peer_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer in the peer
    peer = subprocess.Popen(["hivexregedit", "--export", path, "\\"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=peer_env)  # runs beside kelpa's export
    done = run("export", "-f", "reg", "--prefix", "P", path, "-o", str(tmp_path / "x.reg"))
    peer_out, peer_err = peer.communicate(timeout=300)
    if peer.returncode:
        pytest.skip(f"hivexregedit cannot read it: {peer_err.decode()[:80]}")
    assert (done.returncode, done.stderr) == (0, b"")
    ours = (tmp_path / "x.reg").read_bytes()
    assert ours.startswith(b"\xff\xfe")  # UTF-16LE with a byte order mark, as the editor imports
    root = "P\\" + record["file"].split(".")[0]
    # hivexregedit writes text with characters past U+00FF as UTF-8 and other text as Latin-1
    # bytes; kelpa reads 8-bit names as UTF-8, each ill-formed part becoming U+FFFD.
    peer_text = "\n".join(line.decode("utf-8", "replace") for line in peer_out.split(b"\n"))
    assert parse_reg(ours.decode("utf-16"), root) == parse_reg(peer_text, "\\")


@pytest.mark.parametrize("name, kind, data, line", [
    ('a"b\\c', hivegen.REG_SZ, hivegen.sz('x"y\\z'), '"a\\"b\\\\c"="x\\"y\\\\z"'),
    ("", hivegen.REG_SZ, hivegen.sz("a\r\nb"), "@=hex(1):61,00,0d,00,0a,00,62,00,00,00"),
    ("odd", hivegen.REG_SZ, b"a\0b", '"odd"=hex(1):61,00,62'),
    ("d", hivegen.REG_DWORD, bytes(8), '"d"=hex(4):00,00,00,00,00,00,00,00'),
    ("d", hivegen.REG_DWORD, hivegen.dword(0xDEADBEEF), '"d"=dword:deadbeef'),
    ("b", hivegen.REG_BINARY, bytes(30), '"b"=hex:' + "00," * 23 + "\\\r\n  " + "00," * 6 + "00"),
], ids=["escapes", "line-break-as-hex", "no-terminator", "dword-8-bytes", "dword", "wrapped"])
def test_reg_forms(tmp_path, name, kind, data, line):
    hivegen.write_tree(tmp_path / "H.dat", hivegen.Key("ROOT", values=[hivegen.Value(name, kind, data)]))
    assert run("export", "-f", "reg", str(tmp_path / "H.dat")).stdout.decode("utf-16") == \
        f"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\H]\r\n{line}\r\n\r\n"


def test_recover_and_logs_auto(tmp_path):
    sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "examples"))
    import walk_hive
    hive, log = walk_hive.sample_with_log(tmp_path)
    log.rename(tmp_path / "sample.log1")  # found in any letter case
    host = ["get", str(hive), PARAMETERS, "Hostname"]
    assert [run(*host).stdout, run(*host, "--logs", "auto").stdout] == [b"kelpa-demo\n", b"kelpa-log1\n"]
    done = run("recover", str(hive))
    assert (done.returncode, done.stderr, done.stdout.decode().splitlines()[-1]) == (
        0, b"", f"  written to {hive}.recovered")
    assert run("get", f"{hive}.recovered", PARAMETERS, "Hostname").stdout == b"kelpa-log1\n"
    real = shared("regipy__transactions_NTUSER.DAT")  # 2,590 keys on disk, 3,105 once replayed
    assert [re.findall(r"keys +(\d+)", run("info", "--logs", logs, real).stdout.decode())
            for logs in ("none", "auto")] == [["2590"], ["3105"]]
