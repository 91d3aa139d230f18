"""The kelpa command, run as a user runs it: each subcommand's output and exit status, one-line
errors for bad files, evidence never written over, text from hives made safe for a terminal, the export
forms, and on the shared hives the counts of info, the default use of logs and .reg exports against
hivexregedit."""

import csv
import datetime
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

import hivegen
import sample_hive
from conftest import SHARED_HIVES, corpus_params

KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))  # installed beside the interpreter
PARAMETERS = r"ControlSet001\Services\Tcpip\Parameters"


def run(*args: str, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([KELPA, *args], capture_output=True, cwd=cwd, timeout=300)


@pytest.fixture(scope="module")
def folder(tmp_path_factory) -> pathlib.Path:
    """SYSTEM (the sample hive), a log and a text file beside it, bad hives in bad/, and in more/ a
    small TINY and DELETED, which holds deleted records."""
    top = tmp_path_factory.mktemp("cli")
    (top / "SYSTEM").write_bytes(image := hivegen.build_tree(sample_hive.sample_tree()))
    (top / "SYSTEM.LOG1").write_bytes(hivegen.base_block(file_type=1))  # "regf", but a log
    (top / "notes.txt").write_text("regf is not the first word here")
    (top / "bad").mkdir(), (top / "empty").mkdir(), (top / "more").mkdir()
    (top / "more" / "DELETED").write_bytes(hivegen.deleted_scene()[0])
    (top / "more" / "TINY").write_bytes(hivegen.build_tree(hivegen.Key("ROOT", values=TINY_VALUES, subkeys=[
        hivegen.Key("Sub", last_written=116444736000000010, class_name="boot")])))
    for name, data in (("short", image[:2000]), ("cut", image[:6000]), ("text", b"# kelpa" * 1000),
                       ("sum", image[:100] + bytes([image[100] ^ 1]) + image[101:])):
        (top / "bad" / name).write_bytes(data)
    return top


TINY_VALUES = [hivegen.Value("\u00e9", hivegen.REG_SZ, hivegen.sz("x")), hivegen.Value("n", hivegen.REG_DWORD, hivegen.dword(7)),
               hivegen.Value("", hivegen.REG_SZ, hivegen.sz("unnamed")),
               hivegen.Value("(default)", hivegen.REG_SZ, hivegen.sz("named"))]
DELETED_HEAD = b"kind,hive,found,cell_offset,last_written,key,value_name,value_type,data\n"
DELETED_ROWS = """\
key,{},file,0x58,2017-07-18T19:56:52.387635+00:00,Child,,,
key,{},file,0xc8,2017-07-18T19:56:52.387635+00:00,Deleted,,,
key,{},file,0x1020,2017-07-18T19:56:52.387635+00:00,First,,,
key,{},file,0x1080,,Second key,,,
value,{},file,0x38,,Deleted,Gone,REG_SZ,old data
value,{},file,0x178,,,Slack,REG_BINARY,4142
value,{},file,0x10e0,,,Old,REG_DWORD,7
value,{},file,0x1310,,,Four,REG_DWORD,67305985
"""
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
  hive type       SYSTEM
  last written    never
  version         1.5, file type 0, format 1, clustering factor 1
  checksum        0x6667a556
  sequences       1 / 1 (clean)
  root cell       0x20
  bins            5, 49152 bytes
  logs beside it  SYSTEM.LOG1
  replayed        SYSTEM.LOG1: not applied: no dirty vector
  keys            17
  values          31
  problems        0
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
    (["export", "-f", "jsonl", "more/TINY"], '{"hive": "more/TINY", "path": "", "last_written": null, "class_name": '
     'null, "values": [{"name": "\u00e9", "type": "REG_SZ", "data": "x"}, {"name": "n", "type": "REG_DWORD", "data": 7}, '
     '{"name": null, "type": "REG_SZ", "data": "unnamed"}, {"name": "(default)", "type": "REG_SZ", "data": "named"}]}\n'
     '{"hive": "more/TINY", "path": "Sub", "last_written": "1970-01-01T00:00:00.000001+00:00", "class_name": "boot", '
     '"values": []}\n'.encode()),
    # CurrentControlSet is the control set Select\Current names, in any letter case
    (["get", "SYSTEM", r"currentcontrolset\Control\ComputerName\ComputerName", "ComputerName"], b"KELPA-DEMO\n"),
    (["ls", "-l", "more/TINY"], b"  1970-01-01T00:00:00.000001+00:00 Sub\\  (class boot)\n  REG_SZ"
     + b" " * 27 + "\u00e9 = x\n  REG_DWORD".encode() + b" " * 24 + b"n = 7 (0x00000007)\n  REG_SZ" + b" " * 27
     + b"(default) = unnamed\n  REG_SZ" + b" " * 27 + b"(default) = named\n"),
    # the scene's deleted records: three keys written at one time, one never; three values
    (["deleted", "more/DELETED"], DELETED_HEAD + DELETED_ROWS.replace("{}", "more/DELETED").encode()),
], ids=["sz", "multi-sz-any-case", "qword", "default-value", "raw", "unknown-type-hex", "ls",
        "ls-r", "ls-empty", "info", "timeline-since", "jsonl", "current-control-set", "ls-l", "deleted"])
def test_output(folder, args, out):
    done = run(*args, cwd=folder)
    assert (done.returncode, done.stderr, done.stdout) == (0, b"", out)


@pytest.mark.parametrize("args, status, err", [
    (["info", "missing"], 1, "kelpa: missing: No such file or directory (os error 2)"),
    (["ls", "bad/text"], 1, "kelpa: bad/text: Invalid signature: expected regf, found # ke"),
    (["ls", "SYSTEM", r"ControlSet001\Nope"], 1, r"kelpa: SYSTEM: Not found: Key 'ControlSet001\Nope'"),
    (["get", "SYSTEM", "Select", "Nope"], 1, "kelpa: SYSTEM: Not found: Value 'Nope'"),
    (["recover", "bad/cut"], 1, "kelpa: bad/cut: no transaction logs beside it (HIVE.LOG1, "
                                "HIVE.LOG2, HIVE.LOG); name them with --log1/--log2"),
    # what is wrong with the input comes before any word of its logs
    (["recover", "missing"], 1, "kelpa: missing: No such file or directory (os error 2)"),
    (["recover", "empty"], 1, "kelpa: empty: is a folder, not a hive file"),
    (["recover", "bad/text"], 1, "kelpa: bad/text: Invalid signature: expected regf, found # ke"),
    (["recover", "bad/short"], 1, "kelpa: bad/short: Hive too small: 2000 bytes (minimum: 4096 bytes)"),
    (["timeline", "empty"], 1, "kelpa: no hive files found in empty"),
    (["ls", "empty"], 1, "kelpa: no hive files found in empty"),
    (["export", "-f", "parquet", "SYSTEM"], 2, "kelpa export: error: --format parquet needs -o OUT"),
    (["info", "-j", "0", "SYSTEM"], 2, "kelpa info: error: argument -j/--jobs: not a number of processes: '0'"),
], ids=["missing", "not-a-hive", "bad-key-path", "bad-value", "no-logs", "recover-missing", "recover-folder",
        "recover-text", "recover-short", "folder-without-hives", "empty-folder-as-hive",
        "parquet-without-o", "jobs"])  # the other bad files' lines: in the folder test below
def test_errors(folder, args, status, err):
    done = run(*args, cwd=folder)
    assert (done.returncode, done.stderr.decode().splitlines()[-1]) == (status, err)


def test_folder_of_hives_in_parallel(folder):
    """Folders searched by content; bad hives reported, the others shown as on their own."""
    done = run("info", "-j", "2", ".", cwd=folder)
    assert done.returncode == 1
    assert sorted(done.stderr.decode().splitlines()) == [
        f"kelpa: ./bad/cut: 2 problems reading the hive, the first at offset 0x770: {CUT_SHORT} (--problems lists them "
        "all)",
        "kelpa: ./bad/short: Hive too small: 2000 bytes (minimum: 4096 bytes)",
        "kelpa: ./bad/sum: 1 problem reading the hive, the first in the base block: Checksum mismatch: expected "
        "0x6667a556, calculated 0x6667a557 (--problems lists them all)"]
    alone = run("info", "SYSTEM", cwd=folder).stdout.decode().replace(" SYSTEM.LOG1: not", " ./SYSTEM.LOG1: not")
    assert done.stdout.decode().startswith(f"./{alone}\n./bad/cut\n")


def test_parquet_rows(folder, tmp_path):
    """One row per value and one per key without values; the parts of two hives in input order."""
    import pyarrow.parquet as pq
    done = run("export", "-f", "parquet", "more/TINY", "more/TINY", "-o", str(tmp_path / "x.parquet"), cwd=folder)
    sub = ("more/TINY", "Sub", datetime.datetime(1970, 1, 1, 0, 0, 0, 1, tzinfo=datetime.UTC), "boot", *[None] * 5)
    rows = [("more/TINY", "", None, None, "\u00e9", "REG_SZ", 1, hivegen.sz("x"), "x"),
            ("more/TINY", "", None, None, "n", "REG_DWORD", 4, hivegen.dword(7), "7"),
            ("more/TINY", "", None, None, None, "REG_SZ", 1, hivegen.sz("unnamed"), "unnamed"),  # the unnamed value
            ("more/TINY", "", None, None, "(default)", "REG_SZ", 1, hivegen.sz("named"), "named"), sub]
    assert (done.returncode, [tuple(r.values()) for r in pq.read_table(tmp_path / "x.parquet").to_pylist()]) == (0, rows * 2)


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


def is_utf8(line: bytes) -> bool:
    try:
        return any(ord(c) > 0xFF for c in line.decode("utf-8"))
    except UnicodeDecodeError:
        return False


@pytest.mark.skipif(not shutil.which("hivexregedit"), reason="hivexregedit not installed")
@pytest.mark.parametrize("record", corpus_params())
def test_reg_export_matches_hivexregedit(tmp_path, record):
    if record["file"] == "yarp__BogusKeyNamesHive":
        pytest.skip("key names with line breaks, which a .reg file cannot hold")
    path = str(SHARED_HIVES / record["file"])
    peer_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer in the peer
    peer = subprocess.Popen(["hivexregedit", "--export", path, "\\"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=peer_env)  # runs beside kelpa's export
    done = run("export", "-f", "reg", "--logs", "none", "--prefix", "P", path, "-o", str(tmp_path / "x.reg"))
    peer_out, peer_err = peer.communicate(timeout=300)
    if peer.returncode:
        pytest.skip(f"hivexregedit cannot read it: {peer_err.decode()[:80]}")
    # read as the file lies, as the peer reads it: a dirty hive's logs are left out, and said to be
    assert all(line.endswith(b"recent changes may be missing") for line in done.stderr.splitlines())
    assert done.returncode == (1 if done.stderr else 0)
    ours = (tmp_path / "x.reg").read_bytes()
    assert ours.startswith(b"\xff\xfe")  # UTF-16LE with a byte order mark, as the editor imports
    root = "P\\" + record["file"].split(".")[0]
    # hivexregedit writes text with characters past U+00FF as UTF-8 and other text as Latin-1 bytes.
    peer_text = "\n".join(line.decode("utf-8") if line.isascii() or is_utf8(line) else line.decode("latin-1")
                          for line in peer_out.split(b"\n"))
    assert parse_reg(ours.decode("utf-16"), root) == parse_reg(peer_text, "\\")


@pytest.mark.parametrize("name, kind, data, line", [
    ('a"b\\c', hivegen.REG_SZ, hivegen.sz('x"y\\z'), '"a\\"b\\\\c"="x\\"y\\\\z"'),
    ("", hivegen.REG_SZ, hivegen.sz("a\r\nb"), "@=hex(1):61,00,0d,00,0a,00,62,00,00,00"),
    ("odd", hivegen.REG_SZ, b"a\0b", '"odd"=hex(1):61,00,62'),
    ("d", hivegen.REG_DWORD, bytes(8), '"d"=hex(4):00,00,00,00,00,00,00,00'),
    ("d", hivegen.REG_DWORD, hivegen.dword(0xDEADBEEF), '"d"=dword:deadbeef'),
    ("b", hivegen.REG_BINARY, bytes(30), '"b"=hex:' + "00," * 23 + "\\\r\n  " + "00," * 6 + "00"),
    ("(default)", hivegen.REG_SZ, hivegen.sz("x"), '"(default)"="x"'),  # a name, not the unnamed value
], ids=["escapes", "line-break-as-hex", "no-terminator", "dword-8-bytes", "dword", "wrapped", "named-default"])
def test_reg_forms(tmp_path, name, kind, data, line):
    (tmp_path / "H.dat").write_bytes(hivegen.build_tree(hivegen.Key("ROOT", values=[hivegen.Value(name, kind, data)],
                                                                     subkeys=[hivegen.Key("S")])))
    assert run("export", "-f", "reg", str(tmp_path / "H.dat")).stdout.decode("utf-16") == "Windows Registry Editor " \
        f"Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\H]\r\n{line}\r\n\r\n[HKEY_LOCAL_MACHINE\\H\\S]\r\n\r\n"


def test_recover_and_logs(tmp_path):
    import walk_hive
    hive, log = walk_hive.sample_with_log(tmp_path)
    log.rename(tmp_path / "sample.log1")  # found in any letter case
    host = ["get", str(hive), PARAMETERS, "Hostname"]
    assert [run(*host).stdout, run(*host, "--logs", "auto").stdout, run(*host, "--logs", "none").stdout] == [
        b"kelpa-log1\n", b"kelpa-log1\n", b"kelpa-demo\n"]
    done = run("recover", str(hive))
    assert (done.returncode, done.stderr, done.stdout.decode().splitlines()[-1]) == (
        0, b"", f"  written to {hive}.recovered")
    assert run("get", f"{hive}.recovered", PARAMETERS, "Hostname").stdout == b"kelpa-log1\n"


def log_layouts():
    from test_log_replay import CLEAN, DIRTY, E, N, O, ORIG, text
    old, new1, new5 = O(3, 20, b"old-data"), N(1, E(1)), N(5, E(5))
    aside = "kelpa: H: {} set aside for {}"
    return {  # files beside H, the value read, the lines on standard error
        "xp-log": ({"H": DIRTY, "H.LOG": old}, b"old-data", []),
        "lower-case": ({"H": DIRTY, "h.log1": new1}, text(1), []),
        "log-newer-than-pair": ({"H": DIRTY, "H.LOG": old, "H.LOG1": new1}, b"old-data", [
            aside.format("H.LOG1", "H.LOG: it replays to the later sequence number (3, against 1)")]),
        "pair-newer-than-log": ({"H": DIRTY, "H.LOG": old, "H.LOG1": new5, "H.LOG2": b""}, text(5), [
            aside.format("H.LOG", "H.LOG1, H.LOG2: they replay to the later sequence number (5, against 3)")]),
        "stray-log-beside-pair": ({"H": DIRTY, "H.log": b"notes", "H.LOG1": new1}, text(1), [
            aside.format("H.log", "H.LOG1: not a transaction log")]),
        "stray-case-variant": ({"H": DIRTY, "H.LOG2": new1, "H.log2": b"not a log"}, text(1), [
            aside.format("H.log2", "H.LOG2 as its LOG2: not a transaction log")]),
        "two-logs-one-role": ({"H": DIRTY, "H.LOG1": new1, "H.Log1": N(2, E(2))}, text(2), [
            aside.format("H.LOG1", "H.Log1 as its LOG1: another log is later")]),
        "clean-hive": ({"H": CLEAN, "H.LOG": old, "H.LOG1": new1}, ORIG, []),
    }


@pytest.mark.parametrize("name", log_layouts())
def test_logs_found_as_windows_names_them(tmp_path, name):
    """Every file named as a log is listed by info and is never an output; where two compete for a
    role, the one that reads as a log is used (the later one, where both do), and the choice is said."""
    files, data, err = log_layouts()[name]
    for file, content in files.items():
        (tmp_path / file).write_bytes(content)
    done = run("get", "--raw", "H", "", "Data", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr.decode().splitlines()) == (0, data, err)
    logs = sorted(set(files) - {"H"})
    info = run("info", "H", cwd=tmp_path).stdout.decode()
    assert f"  logs beside it  {', '.join(logs)}\n" in info
    assert [run("timeline", "H", "-o", log, "--force", cwd=tmp_path).returncode for log in logs] == [2] * len(logs)


@pytest.fixture(scope="module")
def evidence(tmp_path_factory) -> pathlib.Path:
    """HIVE (clean, a log beside it that it does not need, and a HIVE.LOG), DIRTY (no logs), CUT (cut
    short), OUT (an earlier output) and DS/keys/SAM (a hive in a folder); each test adds a hard link
    HARD and a symbolic link SOFT to HIVE."""
    top = tmp_path_factory.mktemp("evidence")
    image = hivegen.build_tree(sample_hive.sample_tree())
    (top / "HIVE").write_bytes(image)
    (top / "HIVE.LOG1").write_bytes(hivegen.base_block(file_type=1))
    (top / "HIVE.LOG").write_bytes(b"an old log, or a stray file")
    (top / "DS" / "keys").mkdir(parents=True)
    (top / "DS" / "keys" / "SAM").write_bytes(image)
    (top / "DIRTY").write_bytes(hivegen.base_block(primary_sequence=2, hive_bins_data_size=len(image) - 4096) + image[4096:])
    (top / "CUT").write_bytes(image[:6000])
    (top / "OUT").write_text("an earlier output")
    return top


DIRTY = "kelpa: DIRTY: the hive is dirty and its logs were {}: recent changes may be missing"
CUT = "Invalid offset 0xb338 (hive size: 0x1770)"
CUT_SHORT = "Invalid format: Hive bins data size 0xc000 runs past the end of the file: 0x770 bytes of bins"
REFUSED = "kelpa: {}: is the input {}; refusing to write over evidence"
SCHEDULER = "tcp://127.0.0.1:9"  # never reached: the output is refused first


@pytest.mark.parametrize("args, status, err", [
    (["ls", "DIRTY", "Select"], 1, [DIRTY.format("not found")]),
    (["ls", "--logs", "none", "DIRTY", "Select"], 1, [DIRTY.format("not read (--logs none)")]),
    (["ls", "CUT"], 1, [f"kelpa: CUT: 2 problems reading the hive, the first at offset 0x770: {CUT_SHORT} (--problems "
                        "lists them all)"]),
    (["info", "--problems", "CUT"], 1, [f"kelpa: CUT: at offset 0x770: {CUT_SHORT}", f"kelpa: CUT: at offset 0xb338: {CUT}"]),
    (["ls", "--strict", "CUT"], 1, [f"kelpa: CUT: {CUT}"]),
    (["recover", "HIVE", "-o", "NEW"], 0, []),  # clean, its log not needed: nothing to apply, nothing refused
    (["recover", "DIRTY", "--log1", "/nonexistent", "-o", "NEW"], 1, [
        "kelpa: DIRTY: the log /nonexistent was refused: No such file or directory (os error 2)", DIRTY.format("not applied")]),
    (["recover", "DIRTY", "--log2", "HIVE", "-o", "NEW"], 1, [
        "kelpa: DIRTY: the log HIVE was refused: unknown log file type 0", DIRTY.format("not applied")]),
    # outputs that are inputs, or exist: refused before anything is read
    (["recover", "HIVE", "-o", "HIVE"], 2, [REFUSED.format("HIVE", "HIVE")]),
    (["recover", "HIVE", "-o", "HIVE.LOG1"], 2, [REFUSED.format("HIVE.LOG1", "HIVE.LOG1")]),
    (["recover", "DIRTY", "--log1", "HIVE", "-o", "HARD"], 2, [REFUSED.format("HARD", "HIVE")]),
    (["export", "-f", "jsonl", "HIVE", "-o", "SOFT"], 2, [REFUSED.format("SOFT", "HIVE")]),
    (["timeline", ".", "-o", "./CUT"], 2, [REFUSED.format("./CUT", "./CUT")]),
    (["deleted", "HIVE", "-o", "OUT"], 2, ["kelpa: OUT: exists; use --force to replace it"]),
    (["ls", "HIVE", "-o", "no/OUT"], 2, ["kelpa: no/OUT: its folder does not exist"]),
    (["recover", "DIRTY", "--log1", "HIVE", "-o", "HIVE", "--force"], 2, [REFUSED.format("HIVE", "HIVE")]),
    (["timeline", "HIVE", "-o", "HIVE.LOG", "--force"], 2, [REFUSED.format("HIVE.LOG", "HIVE.LOG")]),  # not a log, yet evidence
    (["timeline", "HIVE", "-o", "hive.log2"], 2, ["kelpa: hive.log2: would be taken for a log of the input HIVE; name another file"]),
    (["info", "--logs", "none", "HIVE", "-o", "HIVE.LOG1", "--force"], 2, [REFUSED.format("HIVE.LOG1", "HIVE.LOG1")]),
    # folders: an output holding an input, inside an input folder, or removing what it did not write
    (["export", "-f", "parquet", "--scheduler", SCHEDULER, "-o", "DS", "--force", "DS/keys/SAM"], 2,
     ["kelpa: DS: holds the input DS/keys/SAM; refusing to write over evidence"]),
    (["export", "-f", "parquet", "--scheduler", SCHEDULER, "-o", ".", "--force", "DS"], 2,
     ["kelpa: .: holds the input DS; refusing to write over evidence"]),
    (["export", "-f", "parquet", "--scheduler", SCHEDULER, "-o", "DS", "--force", "HIVE"], 2,
     ["kelpa: DS: holds DS/keys, which a dataset export does not write; refusing to remove it"]),
    (["timeline", "DS", "-o", "DS/keys/t.csv"], 2,
     ["kelpa: DS/keys/t.csv: lies inside the input folder DS; refusing to write into evidence"]),
    (["export", "-f", "parquet", "-o", "DS", "HIVE"], 2, ["kelpa: DS: is a folder; name a file"]),
], ids=["dirty-no-logs", "dirty-logs-none", "damaged", "problems", "strict", "recover-clean", "recover-missing-log",
        "recover-hive-as-log", "same-path", "log", "hard-link", "symbolic-link", "found-in-folder", "exists",
        "no-folder", "force-is-no-licence", "log-not-read", "named-as-a-log", "log-with-logs-none", "dataset-holds-input",
        "dataset-holds-folder", "dataset-force-removes-only-its-own", "inside-input-folder", "folder-as-file"])
def test_evidence(evidence, tmp_path, args, status, err):
    work = tmp_path / "work"
    shutil.copytree(evidence, work)
    os.link(work / "HIVE", work / "HARD")
    os.symlink("HIVE", work / "SOFT")
    before = {str(p.relative_to(work)): p.read_bytes() for p in work.rglob("*") if p.is_file()}
    done = run(*args, cwd=work)
    assert (done.returncode, done.stderr.decode().splitlines()) == (status, err)
    after = {str(p.relative_to(work)): p.read_bytes() for p in work.rglob("*") if p.is_file()}
    assert {name: data for name, data in after.items() if name != "NEW"} == before  # no input, nothing else touched
    if status == 2:
        assert done.stdout == b"" and "NEW" not in after


def test_info_of_a_hive_cut_short(evidence):
    """info says the bins run past the file's end; --strict, failing, counts nothing."""
    tolerant, strict = (run("info", *args, "CUT", cwd=evidence) for args in ([], ["--strict"]))
    bins = "  bins            1, 49152 bytes; cut short: the file holds 1904 bytes of them"
    assert (tolerant.returncode, bins in tolerant.stdout.decode().splitlines(), "  keys            1\n" in tolerant.stdout.decode()) == (1, True, True)
    assert (strict.returncode, strict.stdout.decode().splitlines()[-2:]) == (1, [bins, "  logs beside it  none"])


def test_force_replaces_an_output_whole(evidence, tmp_path):
    out = tmp_path / "out.csv"
    out.write_text("old")
    done = run("timeline", "--force", "-o", str(out), str(evidence / "HIVE"))
    assert (done.returncode, out.read_text().splitlines()[0], sorted(p.name for p in tmp_path.iterdir())) == (
        0, "last_written,hive,key_path", ["out.csv"])
    umask = os.umask(0)
    os.umask(umask)
    assert (out.stat().st_mode & 0o777) == 0o666 & ~umask


@pytest.fixture(scope="module")
def large(tmp_path_factory) -> pathlib.Path:
    """A hive of 60000 keys: long enough to export that the command can be watched while it writes."""
    path = tmp_path_factory.mktemp("large") / "LARGE"
    keys = [hivegen.Key(f"k{i}", values=[hivegen.Value("v", hivegen.REG_SZ, hivegen.sz("x" * 40))]) for i in range(60000)]
    path.write_bytes(hivegen.build_tree(hivegen.Key("ROOT", subkeys=keys), bin_size=1 << 20))
    return path


def test_rows_go_out_as_read_and_an_interrupted_export_leaves_nothing(large, tmp_path):
    streaming = subprocess.Popen([KELPA, "export", "-f", "jsonl", str(large)], stdout=subprocess.PIPE)
    first = json.loads(streaming.stdout.readline())
    still_running = streaming.poll() is None
    streaming.kill(), streaming.communicate()
    assert (first["path"], still_running) == ("", True)
    out = tmp_path / "out" / "export.jsonl"
    out.parent.mkdir()
    stopped = subprocess.Popen([KELPA, "export", "-f", "jsonl", str(large), "-o", str(out)])
    while not any(out.parent.iterdir()) and stopped.poll() is None:
        time.sleep(0.001)
    stopped.send_signal(signal.SIGTERM)
    assert (stopped.wait(60), list(out.parent.iterdir())) == (130, [])


def test_text_from_evidence_is_safe_on_a_terminal(tmp_path):
    name = os.fsdecode(b"h\xff\x1b")  # a file name that is not UTF-8, with an escape in it
    (tmp_path / name).write_bytes(hivegen.build_tree(hivegen.Key("ROOT", subkeys=[
        hivegen.Key("a\x1b]0;title\x07b"), hivegen.Key("line\nbreak", values=[
            hivegen.Value("v\x9b", hivegen.REG_SZ, hivegen.sz("red \x1b[31m")),
            hivegen.Value("m", hivegen.REG_MULTI_SZ, hivegen.multi_sz(["one\x1b", "two"]))])])))
    ls = run("ls", "-r", name, cwd=tmp_path)
    assert (ls.returncode, ls.stdout.decode().splitlines()) == (0, [
        "(root):", "  -                                a\\x1b]0;title\\x07b\\", "  -                                "
        "line\\x0abreak\\", "a\\x1b]0;title\\x07b:", "line\\x0abreak:",
        "  REG_SZ                           v\\x9b = red \\x1b[31m", "  REG_MULTI_SZ                     m = one\\x1b, two"])
    get = run("get", name, "line\nbreak", "m", cwd=tmp_path)
    assert get.stdout == b"one\\x1b\ntwo\n"
    info = run("info", name, "nope", cwd=tmp_path)  # the error line names both files safely
    assert (info.stdout.split(b"\n")[0], info.stderr) == (
        b"h\\xff\\x1b", b"kelpa: nope: No such file or directory (os error 2)\n")
    # Machine formats are valid UTF-8 for every reader: a file name byte that is not UTF-8 and a NUL
    # in a CSV field are written as U+FFFD; JSON lines carry the exact text, and the name's bytes.
    (tmp_path / "hidden").mkdir()
    (tmp_path / "hidden" / name).write_bytes(hivegen.build_tree(hivegen.Key("ROOT", subkeys=[hivegen.Key("nul\0key")])))
    timeline = run("timeline", name, f"hidden/{name}", cwd=tmp_path).stdout.decode()
    assert list(csv.reader(timeline.splitlines(keepends=True)))[1:] == [
        ["", "h\ufffd\x1b", ""], ["", "h\ufffd\x1b", "a\x1b]0;title\x07b"], ["", "h\ufffd\x1b", "line\nbreak"],
        ["", "hidden/h\ufffd\x1b", ""], ["", "hidden/h\ufffd\x1b", "nul\ufffdkey"]]
    (tmp_path / "out.jsonl").write_bytes(run("export", "-f", "jsonl", name, cwd=tmp_path).stdout)
    jsonl = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert (jsonl[0]["hive"], bytes.fromhex(jsonl[0]["hive_bytes"]), [r["path"] for r in jsonl][1:]) == (
        "h\ufffd\x1b", b"h\xff\x1b", ["a\x1b]0;title\x07b", "line\nbreak"])
    assert [(v["name"], v["data"]) for v in jsonl[2]["values"]] == [("v\x9b", "red \x1b[31m"), ("m", ["one\x1b", "two"])]
    duckdb = pytest.importorskip("duckdb")
    read = duckdb.sql(f"select hive, hive_bytes, path from read_json('{tmp_path / 'out.jsonl'}', sample_size=-1)")
    assert read.fetchall() == [(r["hive"], r["hive_bytes"], r["path"]) for r in jsonl]


def test_deleted_records_of_both_states(tmp_path):
    """A dirty hive whose log renames a deleted key in place: the file's record and the recovered
    image's are both listed, the rest once, found in both."""
    image = bytearray(hivegen.deleted_scene()[0])
    page = bytearray(image[4096:8192])
    page[page.index(b"Child") + 4] = ord("x")
    image[4:8] = (2).to_bytes(4, "little")  # dirty
    image[508:512] = hivegen.checksum(bytes(image[:508])).to_bytes(4, "little")
    size, root = len(image) - 4096, int.from_bytes(image[36:40], "little")
    (tmp_path / "H").write_bytes(image)
    (tmp_path / "H.LOG1").write_bytes(hivegen.log_base_block(1, root_cell_offset=root, hive_bins_data_size=size)
                                      + hivegen.log_entry(1, [(0, bytes(page))], hive_bins_data_size=size))
    done = run("deleted", "H", cwd=tmp_path)
    child = "key,H,{},0x58,2017-07-18T19:56:52.387635+00:00,{},,,\n"
    expected = DELETED_ROWS.replace("{}", "H").replace(",file,", ",both,").replace(
        child.format("both", "Child"), child.format("file", "Child") + child.format("recovered", "Chilx"))
    assert (done.returncode, done.stderr, done.stdout.decode()) == (0, b"", DELETED_HEAD.decode() + expected)
    diffed = run("diff", "H", cwd=tmp_path)  # only free space changed: the hive reads the same
    assert (diffed.returncode, diffed.stderr) == (0, b"")


def test_a_string_shows_as_windows_shows_it_and_what_follows_is_said(tmp_path):
    data = hivegen.sz("www.hotmail,com\0LS\\Software")
    (tmp_path / "H").write_bytes(hivegen.build_tree(hivegen.Key("ROOT", values=[hivegen.Value("v", hivegen.REG_SZ, data)])))
    shown, raw = run("get", "H", "", "v", cwd=tmp_path), run("get", "--raw", "H", "", "v", cwd=tmp_path)
    assert (shown.returncode, shown.stdout, shown.stderr, raw.stdout) == (0, b"www.hotmail,com\n", b"kelpa: H: value v: 24 "
                                                                           b"bytes after the terminating NUL (--raw writes the data whole)\n", data)
    (record,) = [json.loads(line) for line in run("export", "-f", "jsonl", "H", cwd=tmp_path).stdout.splitlines()]
    assert record["values"] == [{"name": "v", "type": "REG_SZ", "data": "www.hotmail,com", "data_after_nul": data[32:].hex()}]


def test_version():
    assert run("--version").stdout == b"kelpa 0.1.0\n"


@pytest.mark.parametrize("record", corpus_params(keep=lambda r: r["role"] == "hive" and r["intentionally_corrupt"]))
def test_info_counts_damaged_hives(record):
    done = run("info", "--logs", "none", str(SHARED_HIVES / record["file"]))
    counts = dict(re.findall(r"^  (keys|values) +(\d+)$", done.stdout.decode(), re.M))
    assert (int(counts["keys"]), int(counts["values"])) == (record["keys"], record["values"])


@pytest.mark.parametrize("record", corpus_params("recovered.json", lambda r: r.get("recovered")))
def test_timeline_reads_dirty_hives_with_their_logs(record):
    """By default the logs beside a dirty hive are read: the timeline is that of the replayed hive."""
    import kelpa
    path = str(SHARED_HIVES / record["file"])
    hive = kelpa.Hive.from_path(path, *(p for p in (f"{path}.LOG1", f"{path}.LOG2") if os.path.exists(p)), strict=False)
    expected = sorted([k.last_written().isoformat(timespec="microseconds") if k.last_written() else "", path, k.path()]
                      for k in hive.root_key().walk())
    done = run("timeline", path)
    assert (done.returncode, sorted(csv.reader(done.stdout.decode().splitlines()[1:]))) == (0, expected)
