"""Hive.save(path): writing the image with a recomputed checksum.

A target that a live Hive of this process has mapped is never truncated under the
mapping (reading the lost pages would kill the process with SIGBUS); it is replaced
by a new file instead. Every other target is truncated and rewritten in place.
"""

import errno
import os
import re
import stat
import subprocess
import sys
import textwrap

import pytest

import hivegen
import kelpa

SAMPLE = hivegen.build_tree(hivegen.sample_tree())
# A different, shorter hive: saved over a file that holds SAMPLE.
SMALL = hivegen.build_tree(hivegen.Key("SMALL", values=[hivegen.Value("v", hivegen.REG_DWORD, hivegen.dword(5))]))
assert len(SMALL) < len(SAMPLE)


def snapshot(hive) -> list:
    """Every key name and value (name, raw bytes) of the tree, depth first."""
    out = []
    stack = [hive.root_key()]
    while stack:
        key = stack.pop()
        out.append((key.name(), [(v.name(), v.raw_data()) for v in key.values()]))
        stack.extend(reversed(key.subkeys()))
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


@pytest.mark.parametrize("image", [SAMPLE, hivegen.base_block()], ids=["sample", "base-block-only"])
def test_round_trip_is_byte_for_byte(tmp_path, image):
    hive = kelpa.Hive.open(write(tmp_path / "hive", image))
    hive.save(str(tmp_path / "copy"))
    assert (tmp_path / "copy").read_bytes() == image


def test_replayed_image_is_saved_with_valid_checksum(tmp_path):
    # The log rewrites the base block with a wrong checksum and a new sequence number;
    # the saved file is the replayed image with its checksum recomputed.
    header = bytearray(SAMPLE[:512])
    header[4:8] = (99).to_bytes(4, "little")
    header[508:512] = b"\xde\xad\xbe\xef"
    log = hivegen.transaction_log(1, [[(0, bytes(header))]])
    hive = kelpa.Hive.open_with_logs(write(tmp_path / "hive", SAMPLE), write(tmp_path / "log", log))
    hive.save(str(tmp_path / "saved"))
    expected = bytearray(header) + SAMPLE[512:]
    expected[508:512] = hivegen.checksum(expected).to_bytes(4, "little")
    assert (tmp_path / "saved").read_bytes() == expected
    reopened = kelpa.Hive.open(str(tmp_path / "saved"))
    assert reopened.base_block().primary_sequence == 99
    assert snapshot(reopened) == snapshot(hive)


def test_existing_longer_file_is_truncated(tmp_path):
    target = tmp_path / "target"
    target.write_bytes(b"\xff" * (3 * len(SMALL)))
    kelpa.Hive.open(write(tmp_path / "hive", SMALL)).save(str(target))
    assert target.read_bytes() == SMALL


def test_saving_twice_gives_same_bytes(tmp_path):
    hive = kelpa.Hive.open(write(tmp_path / "hive", SAMPLE))
    before = snapshot(hive)
    hive.save(str(tmp_path / "out"))
    first = (tmp_path / "out").read_bytes()
    hive.save(str(tmp_path / "out"))
    assert (tmp_path / "out").read_bytes() == first == SAMPLE
    assert snapshot(hive) == before


def test_new_file_mode_follows_umask(tmp_path):
    hive = kelpa.Hive.open(write(tmp_path / "hive", SMALL))
    old = os.umask(0o027)
    try:
        hive.save(str(tmp_path / "new"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new").st_mode) == 0o640


# --- failures ------------------------------------------------------------------------------


@pytest.fixture
def read_only_dir(tmp_path):
    """A directory in which this process cannot create files."""
    if os.geteuid() != 0:
        directory = tmp_path / "ro"
        directory.mkdir()
        directory.chmod(0o555)
        yield directory
        directory.chmod(0o755)
        return
    # Permission bits do not stop root; sysfs refuses new files to everyone.
    try:
        os.close(os.open("/sys/kelpa-probe", os.O_WRONLY | os.O_CREAT, 0o666))
    except OSError:
        yield "/sys"
        return
    os.unlink("/sys/kelpa-probe")
    pytest.skip("no directory here refuses new files")


def failure_cases(tmp_path, read_only_dir):
    return {
        "missing-directory": (str(tmp_path / "absent" / "out"), os_text(errno.ENOENT)),
        "directory": (str(tmp_path), os_text(errno.EISDIR)),
        "nul-byte": (str(tmp_path / "a\0b"), "file name contained an unexpected NUL byte"),
        "read-only-directory": (os.path.join(read_only_dir, "out"), None),
        "device-full": ("/dev/full", os_text(errno.ENOSPC)),
    }


@pytest.mark.parametrize("case", ["missing-directory", "directory", "nul-byte", "read-only-directory", "device-full"])
def test_failure_is_os_error_and_hive_stays_usable(tmp_path, read_only_dir, case):
    if case == "device-full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    target, message = failure_cases(tmp_path, read_only_dir)[case]
    if message is None:  # whatever the system says about creating a file there
        with pytest.raises(OSError) as expected:
            os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        message = os_text(expected.value.errno)
    hive = kelpa.Hive.open(write(tmp_path / "hive", SAMPLE))
    before = snapshot(hive)
    with pytest.raises(OSError) as caught:
        hive.save(target)
    assert type(caught.value) is OSError
    assert caught.value.args == (message,)
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
    with pytest.raises(OSError, match=f"^{re.escape(os_text(errno.EACCES))}$"):
        hive.save(str(target))
    assert target.read_bytes() == SAMPLE
    assert leftovers(tmp_path, "target", "hive") == []
    del keep


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    ((), {"path": b"out"}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
])
def test_path_must_be_str(tmp_path, args, kwargs, message):
    hive = kelpa.Hive.open(write(tmp_path / "hive", SMALL))
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        hive.save(*args, **kwargs)


# --- a target that a live hive maps ----------------------------------------------------


def test_saving_over_own_file(tmp_path):
    path = write(tmp_path / "hive", SAMPLE)
    hive = kelpa.Hive.open(path)
    before = snapshot(hive)
    hive.save(path)
    assert (tmp_path / "hive").read_bytes() == SAMPLE
    assert snapshot(hive) == before
    assert leftovers(tmp_path, "hive") == []


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


@pytest.mark.parametrize("form", ["absolute", "relative", "dot-relative", "symlink"])
def test_mapped_target_path_forms(tmp_path, monkeypatch, form):
    target = tmp_path / "target"
    target.write_bytes(SAMPLE)
    mapped = kelpa.Hive.open(str(target))
    before = snapshot(mapped)
    monkeypatch.chdir(tmp_path)
    if form == "symlink":
        (tmp_path / "link").symlink_to("target")
    path = {"absolute": str(target), "relative": "target", "dot-relative": "./target", "symlink": "link"}[form]
    kelpa.Hive.open(write(tmp_path / "small", SMALL)).save(path)
    assert target.read_bytes() == SMALL
    assert snapshot(mapped) == before
    if form == "symlink":
        assert (tmp_path / "link").is_symlink()  # the file behind the link was replaced
    assert leftovers(tmp_path, "target", "small", "link") == []


@pytest.mark.parametrize("holder", ["none", "hive", "key", "dropped"])
def test_hard_link_sees_save_only_when_written_in_place(tmp_path, holder):
    # In place, every name of the file sees the new bytes; a mapped file is replaced, so
    # other names keep the old file (and the mapping keeps reading it).
    target = tmp_path / "target"
    target.write_bytes(SAMPLE)
    os.link(target, tmp_path / "other")
    keep = None
    if holder != "none":
        hive = kelpa.Hive.open(str(target))
        keep = hive.root_key() if holder == "key" else hive
        del hive
        if holder == "dropped":
            keep = None
    kelpa.Hive.open(write(tmp_path / "small", SMALL)).save(str(target))
    assert target.read_bytes() == SMALL
    in_place = holder in ("none", "dropped")
    assert (tmp_path / "other").read_bytes() == (SMALL if in_place else SAMPLE)
    if holder == "key":
        assert keep.name() == "ROOT"
        assert [k.name() for k in keep.subkeys()][0] == "ControlSet001"


@pytest.mark.parametrize("mapped", [False, True], ids=["in-place", "mapped"])
def test_target_permission_bits_are_kept(tmp_path, mapped):
    target = tmp_path / "target"
    target.write_bytes(SAMPLE)
    target.chmod(0o604)
    keep = kelpa.Hive.open(str(target)) if mapped else None
    kelpa.Hive.open(write(tmp_path / "small", SMALL)).save(str(target))
    assert target.read_bytes() == SMALL
    assert stat.S_IMODE(target.stat().st_mode) == 0o604
    del keep


def test_replayed_hive_saves_over_its_own_file_in_place(tmp_path):
    # open_with_logs holds a copy, not a mapping: its own file is rewritten in place.
    path = write(tmp_path / "hive", SAMPLE)
    os.link(path, tmp_path / "other")
    hive = kelpa.Hive.open_with_logs(path)
    hive.save(path)
    assert os.stat(path).st_ino == os.stat(tmp_path / "other").st_ino
    assert (tmp_path / "other").read_bytes() == SAMPLE
