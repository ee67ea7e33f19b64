"""Power requests (0xFA0F) on the simulated driver: the record's checks, one
request per descriptor, the OR across a card's live descriptors, and the end
of a request with its descriptor's close or sever."""
import ctypes
import errno
import os
import struct

import pytest

import nrsim
from test_sim_support import errno_of, ioctl

POWER = 0xFA0F


def record(mask, argsz=40, flags=0, reserved0=0, flag_count=4, reserved1=bytes(28)):
    rec = (ctypes.c_uint8 * 40)()
    struct.pack_into("<IIBBH28s", rec, 0, argsz, flags, reserved0, flag_count, mask, reserved1)
    return rec


def request(fd, mask, **fields):
    ioctl(fd, POWER, record(mask, **fields))


class TestRecord:
    @pytest.mark.parametrize("fields", [
        dict(argsz=0), dict(argsz=39), dict(argsz=41), dict(argsz=48),
        dict(flags=1), dict(flags=0x80000000),
        dict(reserved0=1),
        dict(flag_count=0), dict(flag_count=3), dict(flag_count=5), dict(flag_count=16),
        dict(reserved1=b"\x01" + bytes(27)), dict(reserved1=bytes(27) + b"\x80"),
    ])
    def test_refused_records_leave_the_request(self, fds, fields):
        fd = fds()
        request(fd, 0x3)
        rec = record(0x8, **fields)
        before = bytes(rec)
        assert errno_of(ioctl, fd, POWER, rec) == errno.EINVAL
        assert nrsim.power(0) == 0x3
        assert bytes(rec) == before  # nothing is written back

    def test_unreadable_record(self, fds):
        fd = fds()
        assert errno_of(ioctl, fd, POWER, None) == errno.EFAULT
        assert nrsim.power(0) == 0

    def test_all_sixteen_bits_are_kept(self, fds):
        fd = fds()
        request(fd, 0xFFFF)
        assert nrsim.power(0) == 0xFFFF
        request(fd, 0x8010)
        assert nrsim.power(0) == 0x8010

    def test_injected_fault_leaves_the_request(self, fds):
        fd = fds()
        request(fd, 0x2)
        nrsim.fail(0, POWER, errno.EPERM)
        assert errno_of(request, fd, 0x4) == errno.EPERM
        assert nrsim.power(0) == 0x2


class TestCombination:
    def test_or_of_the_last_request_of_each_descriptor(self, fds):
        a, b, c = fds(), fds(), fds()
        assert nrsim.power(0) == 0
        request(a, 0x1)
        request(b, 0x8)
        assert nrsim.power(0) == 0x9
        request(a, 0x4)  # replaces a's 0x1
        assert nrsim.power(0) == 0xC
        request(b, 0x0)  # all off is a request too
        request(c, 0x4)
        assert nrsim.power(0) == 0x4
        request(a, 0x0)
        assert nrsim.power(0) == 0x4  # c still asks

    def test_cards_are_independent(self, fds):
        request(fds(0), 0x1)
        request(fds(1), 0x6)
        assert (nrsim.power(0), nrsim.power(1)) == (0x1, 0x6)

    def test_exclusive_descriptor_counts(self, fds):
        request(fds(0, os.O_EXCL), 0x5)
        assert nrsim.power(0) == 0x5

    def test_close_ends_the_request(self, fds):
        a, b = fds(), fds()
        request(a, 0x3)
        request(b, 0x4)
        os.close(a)
        assert nrsim.power(0) == 0x4
        os.close(b)
        assert nrsim.power(0) == 0
        c = fds()
        assert nrsim.power(0) == 0  # a new descriptor asks for nothing until it does
        request(c, 0x1)
        assert nrsim.power(0) == 0x1

    def test_sever_ends_every_request(self, fds):
        a, b = fds(), fds()
        request(a, 0x3)
        request(b, 0x4)
        nrsim.sever(0)
        assert nrsim.power(0) == 0
        assert errno_of(request, a, 0xF) == errno.ENODEV
        assert nrsim.power(0) == 0
        fresh = fds()
        request(fresh, 0x8)
        assert nrsim.power(0) == 0x8
        os.close(a)  # a severed descriptor's close takes nothing from the fresh card
        assert nrsim.power(0) == 0x8

    def test_reset_starts_from_nothing(self, fds):
        request(fds(), 0xF)
        nrsim.reset()
        assert nrsim.power(0) == 0


class TestControl:
    def test_missing_card(self):
        assert errno_of(nrsim.power, 7) == errno.ENODEV

    def test_removed_card(self, fds):
        request(fds(1), 0x1)
        nrsim.remove(1)
        assert errno_of(nrsim.power, 1) == errno.ENODEV

    def test_argument_types(self):
        with pytest.raises(TypeError):
            nrsim.power("0")
        with pytest.raises(ValueError):
            nrsim.power(-1)
