"""Driver requests on device descriptors: device information, malformed
records, unknown numbers, the request log, injected faults, severed and
removed descriptors, and mmap."""
import ctypes
import errno
import mmap as pymmap
import os
import struct

import pytest

import nrsim
from test_sim_support import (DEVICE_INFO, device_info, errno_of, info_record, ioctl, libc, mmap,
                              open_card, parse_info)

RECORD_SIZES = {0xFA00: 24, 0xFA05: 16, 0xFA06: 16, 0xFA0B: 48, 0xFA0C: 4,
                0xFA0D: 48, 0xFA0F: 40, 0xFA11: 48}


class TestDeviceInformation:
    def test_launch_cards_report_their_identity(self):
        a, b = open_card(0), open_card(1)
        assert device_info(a) == dict(
            output_size_bytes=20, vendor_id=0x1F7A, device_id=0x401e, subsystem_vendor_id=0x1F7A,
            subsystem_id=1, bus_dev_fn=0x0300, max_dma_buf_size_log2=28, pci_domain=0)
        assert device_info(b)["device_id"] == 0xb140
        assert device_info(b)["bus_dev_fn"] == 0x0400
        os.close(a)
        os.close(b)

    def test_address_packing(self):
        n = nrsim.add(0x401e, "00a1:3f:1d.6")
        fd = open_card(n)
        info = device_info(fd)
        assert info["bus_dev_fn"] == 0x3f << 8 | 0x1d << 3 | 6
        assert info["pci_domain"] == 0xa1
        os.close(fd)

    def test_writes_offsets_4_to_21_only(self, card0):
        rec = info_record(in_size=24, fill=0xAA)
        ioctl(card0, DEVICE_INFO, rec)
        raw = bytes(rec)
        assert struct.unpack_from("<I", raw, 0)[0] == 24  # input size left as passed
        assert raw[22:] == b"\xaa\xaa"                    # reserved tail untouched
        assert parse_info(rec)["vendor_id"] == 0x1F7A

    def test_identity_changes_are_reported(self, card0):
        nrsim.set_identity(0, subsystem_id=0x1234, max_dma_buf_size_log2=12)
        info = device_info(card0)
        assert (info["subsystem_id"], info["max_dma_buf_size_log2"], info["device_id"]) == (0x1234, 12, 0x401e)

    @pytest.mark.parametrize("in_size", [0, 4, 19])
    def test_short_output_size_is_invalid(self, card0, in_size):
        rec = info_record(in_size=in_size, fill=0x55)
        before = bytes(rec)
        assert errno_of(ioctl, card0, DEVICE_INFO, rec) == errno.EINVAL
        assert bytes(rec) == before

    def test_bad_record_pointers_fault(self, card0):
        assert errno_of(ioctl, card0, DEVICE_INFO, None) == errno.EFAULT
        assert errno_of(ioctl, card0, DEVICE_INFO, 8) == errno.EFAULT
        # A record whose input word is readable but which runs into an
        # unmapped page: nothing may be written, and nothing crashes.
        page = pymmap.PAGESIZE
        base = libc.mmap(None, 2 * page, 3, 0x22, -1, 0)  # PROT_RW, MAP_PRIVATE|MAP_ANONYMOUS
        assert libc.munmap(base + page, page) == 0
        try:
            rec = base + page - 8
            ctypes.memmove(rec, struct.pack("<II", 20, 0x5A5A5A5A), 8)
            assert errno_of(ioctl, card0, DEVICE_INFO, rec) == errno.EFAULT
            assert ctypes.string_at(rec, 8) == struct.pack("<II", 20, 0x5A5A5A5A)
        finally:
            libc.munmap(base, page)

    def test_request_number_compared_as_32_bits(self, card0):
        rec = info_record()
        ioctl(card0, 0xFFFFFFFF_0000FA00, rec)
        assert parse_info(rec)["device_id"] == 0x401e
        assert nrsim.requests(0)[-1][0] == DEVICE_INFO


class TestUnanswered:
    @pytest.mark.parametrize("number", [0xFA01, 0xFA02, 0xFA10, 0xFB00, 0x5401])
    def test_enotty(self, card0, number):
        rec = (ctypes.c_uint8 * 64)()
        assert errno_of(ioctl, card0, number, rec) == errno.ENOTTY

    def test_sysfs_descriptors_have_no_requests(self):
        fd = os.open("/sys/class/norvane/norvane!0/nr_fw_bundle_ver", os.O_RDONLY)
        assert errno_of(ioctl, fd, DEVICE_INFO, info_record()) == errno.ENOTTY
        assert not os.isatty(fd)
        os.close(fd)
        assert nrsim.requests(0) == []

    def test_real_descriptors_pass_through(self):
        r, w = os.pipe()
        os.write(w, b"abc")
        n = ctypes.c_int()
        ioctl(r, 0x541B, n)  # FIONREAD
        assert n.value == 3
        os.close(r)
        os.close(w)


class TestLog:
    @pytest.mark.parametrize("number,size", sorted(RECORD_SIZES.items()))
    def test_record_logged_as_passed_in(self, card0, number, size):
        rec = (ctypes.c_uint8 * 64)(*range(1, 65))
        try:
            ioctl(card0, number, rec)
        except OSError:
            pass
        assert nrsim.requests(0) == [(number, bytes(range(1, size + 1)))]

    def test_logged_before_the_driver_answers(self, card0):
        rec = info_record()
        ioctl(card0, DEVICE_INFO, rec)
        assert nrsim.requests(0) == [(DEVICE_INFO, struct.pack("<I", 20) + bytes(20))]

    def test_unknown_and_unreadable_records_log_no_bytes(self, card0):
        rec = (ctypes.c_uint8 * 8)(1, 2, 3)
        errno_of(ioctl, card0, 0xFA42, rec)
        errno_of(ioctl, card0, DEVICE_INFO, None)
        assert nrsim.requests(0) == [(0xFA42, b""), (DEVICE_INFO, b"")]

    def test_log_is_per_card_and_survives_removal(self, card0):
        fd1 = open_card(1)
        device_info(card0)
        for _ in range(2):
            device_info(fd1)
        nrsim.remove(1)
        errno_of(device_info, fd1)
        os.close(fd1)
        assert len(nrsim.requests(0)) == 1
        assert [number for number, _ in nrsim.requests(1)] == [DEVICE_INFO] * 3
        assert nrsim.requests(42) == [] and nrsim.opens(42) == []
        nrsim.clear_log()
        assert nrsim.requests(0) == [] and nrsim.requests(1) == []


class TestFaults:
    def test_next_n_requests_fail_then_work(self, card0):
        nrsim.fail(0, DEVICE_INFO, errno.EIO, times=2)
        assert errno_of(device_info, card0) == errno.EIO
        assert errno_of(device_info, card0) == errno.EIO
        assert device_info(card0)["device_id"] == 0x401e
        assert len(nrsim.requests(0)) == 3

    def test_fault_precedes_record_checks(self, card0):
        nrsim.fail(0, DEVICE_INFO, errno.EBUSY)
        assert errno_of(ioctl, card0, DEVICE_INFO, None) == errno.EBUSY
        assert errno_of(ioctl, card0, DEVICE_INFO, None) == errno.EFAULT

    def test_only_that_card_and_number(self, card0):
        nrsim.fail(0, 0xFA11, errno.EIO)
        fd1 = open_card(1)
        nrsim.fail(1, DEVICE_INFO, errno.EIO)
        device_info(card0)
        assert errno_of(ioctl, card0, 0xFA11, (ctypes.c_uint8 * 48)()) == errno.EIO
        assert errno_of(device_info, fd1) == errno.EIO
        os.close(fd1)

    def test_fault_precedes_stale_descriptor(self, card0):
        nrsim.fail(0, DEVICE_INFO, errno.EPERM)
        nrsim.sever(0)
        assert errno_of(device_info, card0) == errno.EPERM
        assert errno_of(device_info, card0) == errno.ENODEV

    def test_rearm_and_disarm(self, card0):
        nrsim.fail(0, DEVICE_INFO, errno.EIO, times=5)
        nrsim.fail(0, DEVICE_INFO, errno.EIO, times=0)
        device_info(card0)

    def test_bad_arguments(self):
        assert errno_of(nrsim.fail, 9, DEVICE_INFO, errno.EIO) == errno.ENODEV
        assert errno_of(nrsim.fail, 0, DEVICE_INFO, 0) == errno.EINVAL


class TestSeverAndRemove:
    def test_sever_stales_only_older_descriptors(self, card0):
        nrsim.sever(0)
        assert errno_of(device_info, card0) == errno.ENODEV
        fresh = open_card(0)
        assert device_info(fresh)["device_id"] == 0x401e
        nrsim.sever(0)
        assert errno_of(device_info, fresh) == errno.ENODEV
        os.close(fresh)

    def test_removed_card_answers_enodev(self):
        fd = open_card(1)
        nrsim.remove(1)
        assert errno_of(device_info, fd) == errno.ENODEV
        assert errno_of(ioctl, fd, 0xFA77, None) == errno.ENODEV
        os.close(fd)

    def test_other_cards_unaffected(self, card0):
        fd1 = open_card(1)
        nrsim.sever(1)
        assert device_info(card0)["device_id"] == 0x401e
        os.close(fd1)


class TestMmap:
    def test_offset_of_no_window_is_refused(self, card0):
        assert errno_of(mmap, card0) == errno.EINVAL
        with pytest.raises(OSError) as e:
            pymmap.mmap(card0, 4096)
        assert e.value.errno == errno.EINVAL

    def test_severed_descriptor_cannot_map(self, card0):
        nrsim.sever(0)
        assert errno_of(mmap, card0) == errno.ENODEV

    def test_ordinary_mappings_pass_through(self, tmp_path):
        p = tmp_path / "m"
        p.write_bytes(b"mapped!")
        with open(p, "rb") as f, pymmap.mmap(f.fileno(), 0, access=pymmap.ACCESS_READ) as m:
            assert m[:7] == b"mapped!"
