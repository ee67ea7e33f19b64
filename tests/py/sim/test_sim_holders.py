"""What a process's own view shows of its simulated descriptors: their
/proc/self/fd links, and a node whose permissions refuse the process."""
import ctypes
import errno
import os

import pytest

import nrsim

libc = ctypes.CDLL(None, use_errno=True)


def test_device_descriptors_read_back_as_their_node():
    fd = os.open("/dev/norvane/1", os.O_RDWR)
    try:
        for link in (f"/proc/self/fd/{fd}", f"/proc/{os.getpid()}/fd/{fd}", f"/proc/thread-self/fd/{fd}"):
            assert os.readlink(link) == "/dev/norvane/1"
        # readlinkat with an absolute path, and a short buffer cut as readlink(2) does.
        buf = ctypes.create_string_buffer(8)
        n = libc.readlinkat(-100, f"/proc/self/fd/{fd}".encode(), buf, 8)
        assert n == 8 and buf.raw == b"/dev/nor"
    finally:
        os.close(fd)
    # Closed: the link belongs to the real filesystem again.
    with pytest.raises(FileNotFoundError):
        os.readlink(f"/proc/self/fd/{fd}")


def test_other_links_pass_through(tmp_path):
    os.symlink("/somewhere/else", tmp_path / "link")
    assert os.readlink(tmp_path / "link") == "/somewhere/else"
    r, w = os.pipe()
    try:
        assert os.readlink(f"/proc/self/fd/{r}").startswith("pipe:")
    finally:
        os.close(r)
        os.close(w)


def test_denied_node_refuses_access_and_open_before_the_driver():
    nrsim.clear_log()
    nrsim.deny(0)
    assert os.access("/dev/norvane/0", os.F_OK)
    assert not os.access("/dev/norvane/0", os.R_OK | os.W_OK)
    with pytest.raises(PermissionError):
        os.open("/dev/norvane/0", os.O_RDWR)
    assert nrsim.opens(0) == []
    assert os.access("/dev/norvane/1", os.R_OK | os.W_OK)
    nrsim.deny(0, False)
    os.close(os.open("/dev/norvane/0", os.O_RDWR))
    nrsim.deny(0)
    nrsim.reset()
    assert os.access("/dev/norvane/0", os.R_OK | os.W_OK)
    with pytest.raises(OSError) as e:
        nrsim.deny(7)
    assert e.value.errno == errno.ENODEV
