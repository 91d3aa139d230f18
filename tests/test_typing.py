"""The installed stubs describe the API well enough for a type checker."""

import subprocess
import sys

import pytest

TYPED_USAGE = """
import kelpa
def summarise(path: str) -> list[str]:
    hive = kelpa.Hive.open_with_logs(path, path + ".LOG1")
    replayed: list[kelpa.LogReplay] = hive.log_replay()
    lines = [f"{r.path} {r.layout} {r.applied} {r.entries + r.pages} {r.sequence} {r.reason}" for r in replayed]
    block: kelpa.BaseBlock = hive.base_block()
    lines += [str(block.is_dirty), block.file_name, hex(block.root_cell_offset + block.hive_length)]
    lines += [f"{b.signature} {b.offset + b.size}" for b in hive.hbins()]
    for key in hive.open_key("").walk(lambda e: lines.append(str(e))):
        stamp: int | None = key.last_written_timestamp()
        parent: kelpa.RegistryKey | None = key.parent()
        lines.append(f"{key.path()} {parent} {key.subkey_count() + key.value_count()} {stamp} {key.subkeys()}")
        for value in key.values():
            kind: kelpa.ValueType = value.value_type()
            data: kelpa.ValueData = value.data()
            raw: bytes = value.raw_data()
            number: int = data.as_dword() if data.is_dword() else kind.type_id()
            items: list[str] = data.as_multi_string() if data.is_multi_string() else [kind.type_name()]
            lines.append(f"{value.name()} {number} {items} {len(raw)}")
    hive.save(path + ".copy")
    return lines
"""


def mypy(source, tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "usage.py").write_text(source)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
                           str(tmp_path / "cache"), "usage.py"], capture_output=True, text=True, cwd=tmp_path)


def test_typed_usage_passes_and_misuse_is_caught(tmp_path):
    result = mypy(TYPED_USAGE, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    result = mypy("import kelpa\nkelpa.Hive.open(b'x')\nn: str = kelpa.Hive.open('x').root_key().value_count()\n",
                  tmp_path)
    assert result.returncode == 1
    assert 'Argument 1 to "open" of "Hive" has incompatible type "bytes"' in result.stdout
    assert "Incompatible types in assignment" in result.stdout
