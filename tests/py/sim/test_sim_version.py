"""Versions on the simulated driver: the driver-information request (0xFA05)
and its process-wide version, the firmware bundle attribute's text per card,
and the order /dev/norvane lists the cards in."""
import ctypes
import errno
import os
import struct

import pytest

import nrsim
from test_sim_support import DT_CHR, access, errno_of, ioctl, listing, open_card

DRIVER_INFO = 0xFA05
CLASS0 = "/sys/class/norvane/norvane!0"
FW0 = CLASS0 + "/nr_fw_bundle_ver"


def info_record(in_size=12, fill=0):
    rec = (ctypes.c_uint8 * 16)(*([fill] * 16))
    struct.pack_into("<I", rec, 0, in_size)
    return rec


def driver_info(fd, in_size=12):
    """The output half: (size word, interface word, (major, minor, patch), reserved byte)."""
    rec = info_record(in_size, fill=0xEE)
    ioctl(fd, DRIVER_INFO, rec)
    size, interface, major, minor, patch, reserved = struct.unpack_from("<II4B", rec, 4)
    return size, interface, (major, minor, patch), reserved


def version(fd):
    return driver_info(fd)[2]


def read_attribute(path=FW0):
    fd = os.open(path, os.O_RDONLY)
    try:
        return os.read(fd, 4096)
    finally:
        os.close(fd)


class TestDriverInformation:
    def test_default_output(self, card0):
        assert driver_info(card0) == (12, nrsim.DRIVER_INTERFACE, nrsim.KMD_VERSION, 0)

    def test_writes_bytes_4_to_15_only(self, card0):
        buf = (ctypes.c_uint8 * 24)(*([0x77] * 24))
        struct.pack_into("<I", buf, 0, 16)
        ioctl(card0, DRIVER_INFO, buf)
        raw = bytes(buf)
        assert struct.unpack_from("<I", raw, 0)[0] == 16
        assert raw[4:16] == struct.pack("<II4B", 12, nrsim.DRIVER_INTERFACE, *nrsim.KMD_VERSION, 0)
        assert raw[16:] == b"\x77" * 8

    @pytest.mark.parametrize("in_size", [0, 4, 11])
    def test_short_output_size_is_invalid(self, card0, in_size):
        rec = info_record(in_size, fill=0x5A)
        before = bytes(rec)
        assert errno_of(ioctl, card0, DRIVER_INFO, rec) == errno.EINVAL
        assert bytes(rec) == before

    def test_unreadable_record(self, card0):
        assert errno_of(ioctl, card0, DRIVER_INFO, None) == errno.EFAULT

    def test_set_version_holds_for_every_card(self, card0):
        nrsim.set_kmd_version(255, 0, 128)
        fd1 = open_card(1)
        try:
            assert version(card0) == version(fd1) == (255, 0, 128)
        finally:
            os.close(fd1)
        nrsim.set_kmd_version(0, 0, 0)
        assert version(card0) == (0, 0, 0)

    def test_kept_across_a_sever_and_restored_by_reset(self):
        nrsim.set_kmd_version(3, 1, 4)
        nrsim.sever(0)
        fd = open_card(0)
        assert version(fd) == (3, 1, 4)
        os.close(fd)
        nrsim.reset()
        fd = open_card(0)
        assert version(fd) == nrsim.KMD_VERSION
        os.close(fd)

    def test_severed_descriptor(self, card0):
        nrsim.sever(0)
        assert errno_of(driver_info, card0) == errno.ENODEV

    def test_argument_checks(self):
        for bad in [(256, 0, 0), (0, -1, 0), (0, 0, 1 << 8)]:
            with pytest.raises(ValueError):
                nrsim.set_kmd_version(*bad)
        with pytest.raises(TypeError):
            nrsim.set_kmd_version("2", 4, 1)


class TestFirmwareAttribute:
    def test_default_text(self):
        assert nrsim.FW_VERSION == "18.7.0.0\n"
        assert read_attribute() == nrsim.FW_VERSION.encode()

    @pytest.mark.parametrize("text,raw", [
        ("19.2.0.7\n", b"19.2.0.7\n"),
        ("1.2.3", b"1.2.3"),
        ("v1.2.3.4 and then some", b"v1.2.3.4 and then some"),
        ("1000000000.2000000000.3.123456789\n", b"1000000000.2000000000.3.123456789\n"),  # over 31 bytes
        ("", b""),
        (b"\xff\xfe1.2.3.4", b"\xff\xfe1.2.3.4"),
        ("\u00e9.1.2.3", "\u00e9.1.2.3".encode()),
    ])
    def test_text_verbatim(self, text, raw):
        nrsim.set_fw_version(0, text)
        assert read_attribute() == raw
        assert read_attribute(FW0.replace("!0", "!1")) == nrsim.FW_VERSION.encode()  # the other card's own

    def test_removed_and_restored(self):
        early = os.open(FW0, os.O_RDONLY)
        try:
            nrsim.set_fw_version(0, None)
            assert errno_of(os.open, FW0, os.O_RDONLY) == errno.ENOENT
            assert errno_of(access, FW0) == errno.ENOENT
            assert "nr_fw_bundle_ver" not in os.listdir(CLASS0)
            assert errno_of(os.read, early, 8) == errno.ENODEV
            access(CLASS0)  # the card's directory stays
            nrsim.set_fw_version(0, "2.0.0.0\n")
            assert read_attribute() == b"2.0.0.0\n"
            assert os.pread(early, 8, 0) == b"2.0.0.0\n"
        finally:
            os.close(early)

    def test_kept_across_sever_and_card_reset(self):
        nrsim.set_fw_version(0, "7.7.7.7\n")
        nrsim.sever(0)
        nrsim.reset_away(0, ms=0)
        fd = open_card(0)
        rec = (ctypes.c_uint8 * 16)()
        for flags in (4, 6):  # both steps of a reset
            struct.pack_into("<II", rec, 0, 8, flags)
            ioctl(fd, 0xFA06, rec)
        os.close(fd)
        assert nrsim.reset_count(0) == 1
        assert read_attribute() == b"7.7.7.7\n"

    def test_restored_by_reset(self):
        nrsim.set_fw_version(0, None)
        nrsim.set_fw_version(1, "x")
        nrsim.reset()
        assert read_attribute() == read_attribute(FW0.replace("!0", "!1")) == nrsim.FW_VERSION.encode()

    def test_argument_checks(self):
        with pytest.raises(ValueError):
            nrsim.set_fw_version(0, "1.2\x003.4")
        with pytest.raises(TypeError):
            nrsim.set_fw_version(0, 1.2)
        assert errno_of(nrsim.set_fw_version, 9, "1.2.3.4") == errno.ENODEV
        assert read_attribute() == nrsim.FW_VERSION.encode()


class TestListingOrder:
    def test_ascending_by_default(self):
        nrsim.add(0x401e, "0000:05:00.0", number=10)
        assert os.listdir("/dev/norvane") == ["0", "1", "10"]

    def test_descending(self):
        nrsim.add(0x401e, "0000:05:00.0", number=10)
        nrsim.add_entry("junk")
        nrsim.list_descending()
        assert listing("/dev/norvane") == [(".", 4), ("..", 4), ("10", DT_CHR), ("1", DT_CHR), ("0", DT_CHR),
                                           ("junk", DT_CHR)]
        # Only the device directory: the rest keeps ascending order.
        assert nrsim.devices() == [0, 1, 10]
        assert os.listdir("/sys/class/norvane") == ["norvane!0", "norvane!1", "norvane!10"]
        nrsim.list_descending(False)
        assert os.listdir("/dev/norvane") == ["0", "1", "10", "junk"]

    def test_restored_by_reset(self):
        nrsim.list_descending(True)
        nrsim.reset()
        assert os.listdir("/dev/norvane") == ["0", "1"]
