"""Hive.save(path). A target that a live Hive of this process maps is never truncated under the mapping
(reading the lost pages raises SIGBUS): a new file replaces it. Other targets are rewritten in place."""

import errno
import pathlib
import os
import stat

import pytest

import hivegen
import sample_hive
import kelpa
from conftest import error, outcome, write_hive

SAMPLE = hivegen.build_tree(sample_hive.sample_tree())
SMALL = hivegen.build_tree(hivegen.Key("SMALL", values=[hivegen.Value("v", hivegen.REG_DWORD, hivegen.dword(5))]))


def snapshot(hive) -> list:
    return [(k.name(), [(v.name(), v.raw_data()) for v in k.values()]) for k in hive.root_key().walk()]


@pytest.mark.parametrize("opener", [kelpa.Hive.open, kelpa.Hive.open_with_logs], ids=["mapped", "owned-copy"])
@pytest.mark.parametrize("image", [SAMPLE, hivegen.base_block()], ids=["sample", "base-block-only"])
def test_round_trip_is_byte_for_byte(tmp_path, opener, image):
    hive = opener(write_hive(tmp_path, image, "hive"))
    write_hive(tmp_path, b"\xff" * (3 * len(SAMPLE)), "copy")  # a longer file is truncated
    old = os.umask(0o027)
    try:
        for _ in range(2):
            hive.save(str(tmp_path / "copy"))
            assert (tmp_path / "copy").read_bytes() == image
        hive.save(str(tmp_path / "new"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new").st_mode) == 0o640


@pytest.mark.parametrize("target, message", [
    ("absent/out", f"{os.strerror(errno.ENOENT)} (os error 2)"),
    (".", f"{os.strerror(errno.EISDIR)} (os error 21)"),
    ("a\0b", "file name contained an unexpected NUL byte"),
    ("/dev/full", f"{os.strerror(errno.ENOSPC)} (os error 28)"),  # the write fails, not the open
], ids=["missing-directory", "directory", "nul-byte", "device-full"])
def test_failure_is_os_error_and_hive_stays_usable(tmp_path, target, message):
    if target == "/dev/full" and not os.path.exists(target):
        pytest.skip("no /dev/full")
    hive = kelpa.Hive.open(write_hive(tmp_path, SAMPLE, "hive"))
    before = snapshot(hive)
    assert outcome(lambda: hive.save(str(tmp_path / target))) == error(message, OSError)  # absolute: kept as it is
    assert not (tmp_path / "absent").exists() and snapshot(hive) == before
    hive.save(str(tmp_path / "after"))
    assert (tmp_path / "after").read_bytes() == SAMPLE


@pytest.mark.parametrize("holder, form, in_place", [
    (lambda path: None, "absolute", True),
    (kelpa.Hive.open, "absolute", False),
    (lambda path: kelpa.Hive.open(path).root_key(), "absolute", False),  # a key keeps the mapping alive
    (lambda path: kelpa.Hive.open(path) and None, "absolute", True),  # mapped, and unmapped again at once
    (kelpa.Hive.open_with_logs, "absolute", True),  # holds a copy, not a mapping
    *[(kelpa.Hive.open, form, False) for form in ("own-file", "relative", "symlink", "mount-point")],
], ids=["none", "hive", "key", "dropped", "replayed", "own-file", "relative", "symlink", "mount-point"])
def test_in_place_or_replaced(tmp_path, monkeypatch, holder, form, in_place):
    # In place, every name of the file sees the new bytes; a mapped file is replaced, so other names
    # keep the old file (and the mapping keeps reading it). The permission bits stay. At the top of a
    # mount point the new file must be made inside it, or the rename crosses devices.
    folder = tmp_path
    if form == "mount-point":
        if not (os.path.ismount("/dev/shm") and os.access("/dev/shm", os.W_OK)):
            pytest.skip("no writable mount point /dev/shm")
        folder = pathlib.Path("/dev/shm")
    target = folder / f"kelpa-target-{os.getpid()}"
    target.write_bytes(SAMPLE)
    target.chmod(0o604)
    try:
        os.link(target, folder / "other")
        keep = holder(str(target))
        before = snapshot(keep) if isinstance(keep, kelpa.Hive) else None
        monkeypatch.chdir(folder)
        if form == "symlink":
            (folder / "link").symlink_to(target.name)
        path = {"relative": "./" + target.name, "symlink": "link"}.get(form, str(target))
        (keep if form == "own-file" else kelpa.Hive.open(write_hive(tmp_path, SMALL, "small"))).save(path)
        new = SAMPLE if form == "own-file" else SMALL
        assert (target.read_bytes(), stat.S_IMODE(target.stat().st_mode)) == (new, 0o604)
        assert (folder / "other").read_bytes() == (new if in_place else SAMPLE)
        assert before is None or snapshot(keep) == before
        assert not isinstance(keep, kelpa.RegistryKey) or keep.subkeys()[0].name() == "ControlSet001"
        assert form != "symlink" or (folder / "link").is_symlink()  # the file behind the link was replaced
        assert set(os.listdir(folder)) <= {target.name, "small", "link", "other"}  # no temporary file left
    finally:
        if form == "mount-point":
            target.unlink()
            (folder / "other").unlink()
