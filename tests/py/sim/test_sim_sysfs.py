"""The cards' sysfs files: PCI configuration space and the firmware bundle
attribute, read through read, pread and their fortified variants."""
import ctypes
import errno
import os

import pytest

import nrsim
from test_sim_support import access, errno_of, libc

CONFIG = "/sys/bus/pci/devices/0000:03:00.0/config"
FW = "/sys/class/norvane/norvane!1/nr_fw_bundle_ver"

_pread = libc.pread
_pread.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_long]
_pread_chk = libc.__pread_chk
_pread_chk.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_long, ctypes.c_size_t]
_read_chk = libc.__read_chk
_read_chk.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
for _fn in (_pread, _pread_chk, _read_chk):
    _fn.restype = ctypes.c_ssize_t


@pytest.fixture
def config_fd():
    fd = os.open(CONFIG, os.O_RDONLY)
    yield fd
    os.close(fd)


class TestConfigSpace:
    def test_whole_space(self, config_fd):
        data = os.read(config_fd, 4096)
        assert len(data) == 256
        assert data[0:4] == bytes.fromhex("7a1f1e40")  # vendor, device (little-endian)
        assert data[4] == 0x06                         # Command: memory space, bus master
        assert os.read(config_fd, 1) == b""

    def test_command_byte_by_pread(self, config_fd):
        assert os.pread(config_fd, 1, 4) == b"\x06"
        buf = ctypes.create_string_buffer(2)
        assert _pread(config_fd, buf, 1, 4) == 1 and buf.raw[0] == 0x06
        assert _pread_chk(config_fd, buf, 2, 3, 2) == 2 and buf.raw == b"\x40\x06"
        assert os.pread(config_fd, 8, 255) == b"\x00"
        assert os.pread(config_fd, 8, 256) == b""
        assert os.read(config_fd, 2) == b"\x7a\x1f"  # pread left the offset alone

    def test_negative_offset(self, config_fd):
        buf = ctypes.create_string_buffer(1)
        assert _pread(config_fd, buf, 1, -1) == -1 and ctypes.get_errno() == errno.EINVAL

    def test_follows_identity(self):
        nrsim.set_identity(1, device_id=0xabcd, bus_dev_fn=0x0900)
        assert errno_of(access, "/sys/bus/pci/devices/0000:04:00.0") == errno.ENOENT
        fd = os.open("/sys/bus/pci/devices/0000:09:00.0/config", os.O_RDONLY)
        assert os.pread(fd, 2, 2) == b"\xcd\xab"
        os.close(fd)

    def test_directory_present_with_its_card(self):
        access("/sys/bus/pci/devices/0000:03:00.0")
        nrsim.remove(0)
        assert errno_of(access, "/sys/bus/pci/devices/0000:03:00.0") == errno.ENOENT


class TestFirmwareBundle:
    def test_text(self):
        with open(FW) as f:
            assert f.read() == "18.7.0.0\n"

    def test_reads_advance(self):
        fd = os.open(FW, os.O_RDONLY)
        buf = ctypes.create_string_buffer(8)
        assert _read_chk(fd, buf, 5, 8) == 5 and buf.raw[:5] == b"18.7."
        assert os.read(fd, 100) == b"0.0\n"
        assert os.read(fd, 100) == b""
        os.close(fd)


class TestFiles:
    def test_read_only(self):
        for flags in (os.O_WRONLY, os.O_RDWR, os.O_RDONLY | os.O_TRUNC):
            assert errno_of(os.open, FW, flags) == errno.EACCES
        assert nrsim.fd_count() == 0

    def test_tracked_and_released(self, config_fd):
        other = os.open(FW, os.O_RDONLY)
        assert nrsim.fd_count() == 2
        assert nrsim.open_count(1) == 0  # sysfs files are no sessions
        os.close(other)
        assert nrsim.fd_count() == 1

    def test_card_removed_under_an_open_file(self, config_fd):
        nrsim.remove(0)
        assert errno_of(os.read, config_fd, 1) == errno.ENODEV

    def test_severed_card_keeps_its_files(self, config_fd):
        nrsim.sever(0)
        assert os.pread(config_fd, 1, 4) == b"\x06"

    def test_device_descriptors_cannot_be_read(self):
        fd = os.open("/dev/norvane/0", os.O_RDWR)
        assert errno_of(os.read, fd, 4) == errno.EINVAL
        os.close(fd)

    def test_directories(self):
        fd = os.open("/sys/class/norvane/norvane!0", os.O_RDONLY | os.O_DIRECTORY)
        assert errno_of(os.read, fd, 4) == errno.EISDIR
        inner = os.open("nr_fw_bundle_ver", os.O_RDONLY, dir_fd=fd)
        assert os.read(inner, 2) == b"18"
        os.close(inner)
        os.close(fd)
        assert errno_of(os.open, "/sys/class/norvane", os.O_RDWR) == errno.EISDIR
        assert errno_of(os.listdir, FW) == errno.ENOTDIR
        access("/sys/class/norvane/norvane!0", os.X_OK)

    def test_class_directory_follows_the_driver(self):
        nrsim.set_driver("unloaded")
        assert errno_of(os.open, FW, os.O_RDONLY) == errno.ENOENT
