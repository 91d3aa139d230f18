"""Hive.save(path). A target that a live Hive of this process maps is never truncated under
the mapping (reading the lost pages raises SIGBUS): it is replaced by a new file instead.
Every other target is truncated and rewritten in place."""

import errno
import os
import stat
import subprocess
import sys
import textwrap

import pytest

import hivegen
import kelpa
from conftest import raises

SAMPLE = hivegen.build_tree(hivegen.sample_tree())
# A different, shorter hive: saved over a file that holds SAMPLE.
SMALL = hivegen.build_tree(hivegen.Key("SMALL", values=[hivegen.Value("v", hivegen.REG_DWORD, hivegen.dword(5))]))
assert len(SMALL) < len(SAMPLE)


def snapshot(hive) -> list:
    """Every key name and value (name, raw bytes) of the tree."""
    out, stack = [], [hive.root_key()]
    while stack:
        key = stack.pop()
        out.append((key.name(), [(v.name(), v.raw_data()) for v in key.values()]))
        stack.extend(key.subkeys())
    return out


def write(path, data) -> str:
    path.write_bytes(data)
    return str(path)


def os_text(number: int) -> str:
    return f"{os.strerror(number)} (os error {number})"


def leftovers(directory, *expected) -> list[str]:
    """Names in `directory` besides `expected`: a temporary file that was not cleaned up."""
    return sorted(set(os.listdir(directory)) - set(expected))


# --- what is written --------------------------------------------------------------------


@pytest.mark.parametrize("opener", [kelpa.Hive.open, kelpa.Hive.open_with_logs], ids=["mapped", "owned-copy"])
@pytest.mark.parametrize("image", [SAMPLE, hivegen.base_block()], ids=["sample", "base-block-only"])
def test_round_trip_is_byte_for_byte(tmp_path, opener, image):
    hive = opener(write(tmp_path / "hive", image))
    write(tmp_path / "copy", b"\xff" * (3 * len(SAMPLE)))  # a longer file is truncated
    for _ in range(2):
        hive.save(str(tmp_path / "copy"))
        assert (tmp_path / "copy").read_bytes() == image


def test_new_file_mode_follows_umask(tmp_path):
    hive = kelpa.Hive.open(write(tmp_path / "hive", SMALL))
    old = os.umask(0o027)
    try:
        hive.save(str(tmp_path / "new"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new").st_mode) == 0o640


# --- failures ------------------------------------------------------------------------------


@pytest.mark.parametrize("target, message", [
    ("absent/out", os_text(errno.ENOENT)),
    (".", os_text(errno.EISDIR)),
    ("a\0b", "file name contained an unexpected NUL byte"),
    ("/dev/full", os_text(errno.ENOSPC)),  # the write fails, not the open
], ids=["missing-directory", "directory", "nul-byte", "device-full"])
def test_failure_is_os_error_and_hive_stays_usable(tmp_path, target, message):
    if target == "/dev/full" and not os.path.exists(target):
        pytest.skip("no /dev/full")
    target = str(tmp_path / target)  # an absolute target stays as it is
    hive = kelpa.Hive.open(write(tmp_path / "hive", SAMPLE))
    before = snapshot(hive)
    with raises(OSError, message):
        hive.save(target)
    assert not (tmp_path / "absent").exists()
    assert snapshot(hive) == before
    hive.save(str(tmp_path / "after"))
    assert (tmp_path / "after").read_bytes() == SAMPLE


@pytest.mark.skipif(os.geteuid() == 0, reason="permission bits do not stop root")
@pytest.mark.parametrize("mapped", [False, True], ids=["in-place", "mapped"])
def test_read_only_target_is_refused_either_way(tmp_path, mapped):
    target = tmp_path / "target"
    target.write_bytes(SAMPLE)
    target.chmod(0o444)
    keep = kelpa.Hive.open(str(target)) if mapped else None
    hive = kelpa.Hive.open(write(tmp_path / "hive", SMALL))
    with raises(OSError, os_text(errno.EACCES)):
        hive.save(str(target))
    assert target.read_bytes() == SAMPLE
    assert leftovers(tmp_path, "target", "hive") == []
    del keep


# --- a target that a live hive maps ----------------------------------------------------


def test_mapped_target_survives_shorter_image(tmp_path):
    # Run apart: a truncated mapping kills the whole process with SIGBUS.
    script = textwrap.dedent("""
        import sys, kelpa
        target, small, copy = sys.argv[1:]
        mapped = kelpa.Hive.open(target)
        key = mapped.root_key()
        kelpa.Hive.open(small).save(target)
        mapped.save(copy)  # reads every byte of the mapping
        print(len(key.subkeys()), key.subkeys()[0].name())
    """)
    target = write(tmp_path / "target", SAMPLE)
    small = write(tmp_path / "small", SMALL)
    result = subprocess.run([sys.executable, "-c", script, target, small, str(tmp_path / "copy")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["4", "ControlSet001"]
    assert (tmp_path / "target").read_bytes() == SMALL
    assert (tmp_path / "copy").read_bytes() == SAMPLE
    assert leftovers(tmp_path, "target", "small", "copy") == []


@pytest.mark.parametrize("form", ["own-file", "absolute", "relative", "dot-relative", "symlink"])
def test_mapped_target_path_forms(tmp_path, monkeypatch, form):
    target = tmp_path / "target"
    target.write_bytes(SAMPLE)
    mapped = kelpa.Hive.open(str(target))
    before = snapshot(mapped)
    monkeypatch.chdir(tmp_path)
    if form == "symlink":
        (tmp_path / "link").symlink_to("target")
    path = {"relative": "target", "dot-relative": "./target", "symlink": "link"}.get(form, str(target))
    source = mapped if form == "own-file" else kelpa.Hive.open(write(tmp_path / "small", SMALL))
    source.save(path)
    assert target.read_bytes() == (SAMPLE if form == "own-file" else SMALL)
    assert snapshot(mapped) == before
    if form == "symlink":
        assert (tmp_path / "link").is_symlink()  # the file behind the link was replaced
    assert leftovers(tmp_path, "target", "small", "link") == []


def dropped(path):
    kelpa.Hive.open(path)  # mapped, and unmapped again at once


@pytest.mark.parametrize("holder, in_place", [
    (lambda path: None, True),
    (kelpa.Hive.open, False),
    (lambda path: kelpa.Hive.open(path).root_key(), False),  # a key keeps the mapping alive
    (dropped, True),
    (kelpa.Hive.open_with_logs, True),  # holds a copy, not a mapping
], ids=["none", "hive", "key", "dropped", "replayed"])
def test_in_place_or_replaced(tmp_path, holder, in_place):
    # In place, every name of the file sees the new bytes; a mapped file is replaced, so other
    # names keep the old file (and the mapping keeps reading it). The permission bits stay.
    target = tmp_path / "target"
    target.write_bytes(SAMPLE)
    target.chmod(0o604)
    os.link(target, tmp_path / "other")
    keep = holder(str(target))
    kelpa.Hive.open(write(tmp_path / "small", SMALL)).save(str(target))
    assert target.read_bytes() == SMALL
    assert stat.S_IMODE(target.stat().st_mode) == 0o604
    assert (tmp_path / "other").read_bytes() == (SMALL if in_place else SAMPLE)
    if isinstance(keep, kelpa.RegistryKey):
        assert keep.subkeys()[0].name() == "ControlSet001"
