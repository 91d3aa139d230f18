"""The installed stubs describe the API well enough for a type checker."""

import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent


def mypy(source, tmp_path):
    pytest.importorskip("mypy")
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
                           str(tmp_path / "cache"), str(source)], capture_output=True, text=True, cwd=tmp_path)


def test_typed_usage_passes_and_misuse_is_caught(tmp_path):
    result = mypy(HERE / "typed_usage.py", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    bad = tmp_path / "bad.py"
    bad.write_text("import kelpa\nkelpa.Hive.open(b'x')\nn: str = kelpa.Hive.open('x').root_key().value_count()\n")
    result = mypy(bad, tmp_path)
    assert result.returncode == 1
    assert 'Argument 1 to "open" of "Hive" has incompatible type "bytes"' in result.stdout
    assert "Incompatible types in assignment" in result.stdout
