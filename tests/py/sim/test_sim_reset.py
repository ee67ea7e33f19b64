"""Reset (0xFA06) on the simulated driver: the record, the first step's sever
and hold, the card's absence from the PCI bus in both modes and its return
after the away time, the second step, forced results, the count, and the
settings' life across severs and nrsim.reset."""
import ctypes
import errno
import os
import struct

import pytest

import nrsim
from test_sim_open import start_waiting
from test_sim_power import request as power_request
from test_sim_smc import poll, post
from test_sim_support import access, device_info, errno_of, ioctl, libc, open_card, wait_until
from test_sim_tlb import alloc

RESET = 0xFA06
BEGIN, FINISH = 4, 6
PCI0 = "/sys/bus/pci/devices/0000:03:00.0"
CONFIG0 = PCI0 + "/config"
COMMAND = 0x06  # memory space, bus master
MARK = 0x40     # Parity Error Response: not back yet
MiB = 1 << 20

_mprotect = libc.mprotect
_mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]


def reset_record(in_size=8, flags=BEGIN, out=0):
    rec = (ctypes.c_uint8 * 16)()
    struct.pack_into("<IIII", rec, 0, in_size, flags, out, out)
    return rec


def step(fd, flags, rec=None):
    """Sends one step; returns the output half: (output size, result)."""
    rec = rec if rec is not None else reset_record()
    struct.pack_into("<I", rec, 4, flags)
    ioctl(fd, RESET, rec)
    return struct.unpack_from("<II", rec, 8)


def result(fd, flags):
    return step(fd, flags)[1]


def present(path=PCI0):
    try:
        access(path)
        return True
    except OSError as e:
        assert e.errno == errno.ENOENT
        return False


def config_space():
    fd = os.open(CONFIG0, os.O_RDONLY)
    try:
        return os.pread(fd, 256, 0)
    finally:
        os.close(fd)


@pytest.fixture
def away():
    """Card 0 stays off the bus after a first step until the test lets it back."""
    nrsim.reset_away(0, never=True)


class TestRecord:
    def test_output_half_written_on_each_step(self, fds):
        fd = fds()
        nrsim.reset_away(0, ms=0)
        buf = (ctypes.c_uint8 * 20)(*([0x55] * 20))
        struct.pack_into("<II", buf, 0, 8, BEGIN)
        struct.pack_into("<II", buf, 8, 0xAAAAAAAA, 0xAAAAAAAA)
        ioctl(fd, RESET, buf)
        assert bytes(buf)[:16] == struct.pack("<IIII", 8, BEGIN, 8, 0)
        assert bytes(buf)[16:] == b"\x55" * 4
        struct.pack_into("<I", buf, 4, FINISH)
        ioctl(fd, RESET, buf)
        assert bytes(buf)[:16] == struct.pack("<IIII", 8, FINISH, 8, 0)

    def test_larger_output_size_is_accepted(self, fds):
        nrsim.reset_away(0, ms=0)
        fd = fds()
        assert step(fd, BEGIN, reset_record(in_size=16)) == (8, 0)

    @pytest.mark.parametrize("in_size,flags", [(0, BEGIN), (7, BEGIN), (4, FINISH), (8, 0), (8, 1),
                                               (8, 5), (8, 7), (8, 0x104)])
    def test_refused_records_touch_nothing(self, fds, in_size, flags):
        fd, other = fds(), fds()
        rec = reset_record(in_size, flags, out=0xA5A5A5A5)
        before = bytes(rec)
        assert errno_of(ioctl, fd, RESET, rec) == errno.EINVAL
        assert bytes(rec) == before
        assert device_info(other)["device_id"] == 0x401e
        assert present()
        assert nrsim.open_count(0) == 2

    def test_unreadable_record(self, fds):
        fd = fds()
        assert errno_of(ioctl, fd, RESET, None) == errno.EFAULT

    def test_unwritable_record_is_refused_before_the_card_is_touched(self, fds, away):
        fd, other = fds(), fds()
        page = libc.mmap(None, 4096, 3, 0x22, -1, 0)  # read-write, private anonymous
        try:
            ctypes.memmove(page, bytes(reset_record()), 16)
            assert _mprotect(page, 4096, 1) == 0  # read-only
            assert errno_of(ioctl, fd, RESET, page) == errno.EFAULT
        finally:
            libc.munmap(page, 4096)
        assert device_info(other)["device_id"] == 0x401e
        assert present()


class TestBegin:
    def test_severs_every_other_descriptor_of_the_card(self, fds):
        resetter, b, c, elsewhere = fds(), fds(), fds(), fds(1)
        assert result(resetter, BEGIN) == 0
        assert errno_of(device_info, b) == errno.ENODEV
        assert errno_of(device_info, c) == errno.ENODEV
        assert device_info(resetter)["device_id"] == 0x401e  # still on the card
        assert device_info(elsewhere)["device_id"] == 0xb140
        assert nrsim.open_count(0) == 1  # the fresh card counts the resetter alone
        os.close(b)
        assert nrsim.open_count(0) == 1

    def test_windows_and_memory_of_the_old_card_end(self, fds):
        resetter, other = fds(), fds()
        alloc(resetter, MiB)
        alloc(other, MiB)
        nrsim.mem_write(0, 1, 1, 0x1000, b"old")
        result(resetter, BEGIN)
        assert nrsim.windows(0) == []
        assert nrsim.mem_read(0, 1, 1, 0x1000, 3) == bytes(3)
        assert alloc(resetter, MiB).id == 1  # ids start again on the fresh card

    def test_the_resetter_keeps_nothing_of_the_old_card(self, fds):
        fd = fds()
        power_request(fd, 0x5)
        nrsim.smc_hang(0)
        post(fd, nrsim.SMC_ECHO, 1)
        result(fd, BEGIN)
        assert nrsim.power(0) == 0
        assert errno_of(poll, fd) == errno.ENOMSG  # its message went with the old card
        nrsim.smc_hang(0, False)
        post(fd, nrsim.SMC_ECHO, 2)
        assert poll(fd)[:2] == (nrsim.SMC_OK, 2)  # the fresh controller answers it

    def test_telemetry_published_anew(self, fds):
        fd = fds()
        nrsim.telem_period(0, 0)
        nrsim.telem_set(0, 1, 0x1234)
        result(fd, BEGIN)
        assert nrsim.telem_get(0, 1) == nrsim.TELEM_DEFAULTS[0x401e][1]

    def test_holds_the_card_until_finished(self, fds, away):
        resetter = fds()  # shared: the reset holds the card all the same
        assert result(resetter, BEGIN) == 0
        for extra in (os.O_NONBLOCK, os.O_NONBLOCK | os.O_EXCL):
            assert errno_of(open_card, 0, extra) == errno.EAGAIN
        waiter = start_waiting(0)
        nrsim.reset_away(0, ms=0)
        assert result(resetter, FINISH) == 0
        waiter.finish()
        assert waiter.err is None
        os.close(waiter.fd)

    def test_closing_mid_reset_abandons_it(self, fds, away):
        resetter = fds()
        result(resetter, BEGIN)
        waiter = start_waiting(0)
        os.close(resetter)
        waiter.finish()
        assert waiter.err is None
        os.close(waiter.fd)
        assert not present()  # off the bus all the same, until its time is over
        assert nrsim.reset_count(0) == 0
        nrsim.reset_away(0, ms=0)
        assert present()

    def test_sever_mid_reset(self, fds, away):
        resetter = fds()
        result(resetter, BEGIN)
        nrsim.sever(0)
        assert errno_of(step, resetter, FINISH) == errno.ENODEV
        fds(0, os.O_NONBLOCK)  # the hold went with the resetter
        assert not present()
        assert nrsim.reset_count(0) == 0


class TestPresence:
    def test_vanish(self, fds, away):
        early = os.open(CONFIG0, os.O_RDONLY)
        try:
            fd = fds()
            result(fd, BEGIN)
            assert not present()
            assert not present(CONFIG0)
            assert errno_of(os.open, CONFIG0, os.O_RDONLY) == errno.ENOENT
            assert errno_of(os.pread, early, 1, 4) == errno.ENODEV
            # The driver's side of the card does not leave with the bus.
            assert "0" in os.listdir("/dev/norvane")
            with open("/sys/class/norvane/norvane!0/nr_fw_bundle_ver") as f:
                assert f.read() == nrsim.FW_VERSION
            assert present("/sys/bus/pci/devices/0000:04:00.0")
            nrsim.reset_away(0, ms=0)
            assert present()
            assert config_space()[4] == COMMAND
        finally:
            os.close(early)

    def test_stay(self, fds, away):
        nrsim.reset_mode(0, "stay")
        before = config_space()
        fd = fds()
        result(fd, BEGIN)
        assert present() and present(CONFIG0)
        during = config_space()
        assert during[4] == COMMAND | MARK
        assert during[:4] + during[5:] == before[:4] + before[5:]
        nrsim.reset_away(0, ms=0)
        assert config_space() == before

    def test_mode_in_force_when_looked_at(self, fds, away):
        result(fds(), BEGIN)
        assert not present()
        nrsim.reset_mode(0, "stay")
        assert present() and config_space()[4] == COMMAND | MARK
        nrsim.reset_mode(0, "vanish")
        assert not present()

    def test_back_by_itself_after_the_away_time(self, fds):
        nrsim.reset_away(0, ms=50)
        nrsim.reset_mode(0, "stay")
        fd = fds()
        result(fd, BEGIN)
        assert wait_until(lambda: config_space()[4] == COMMAND)
        assert result(fd, FINISH) == 0

    def test_away_time_counts_from_the_first_step(self, fds, away):
        fd = fds()
        result(fd, BEGIN)
        nrsim.reset_away(0, ms=3_600_000)
        assert not present()
        nrsim.reset_away(0, ms=0)  # long over
        assert present()

    @pytest.mark.parametrize("finished", [True, False])
    def test_settings_once_back_do_not_send_it_away(self, fds, finished):
        nrsim.reset_away(0, ms=0)
        fd = fds()
        result(fd, BEGIN)
        if finished:
            assert result(fd, FINISH) == 0
        else:
            os.close(fd)  # abandoned, but back all the same
        nrsim.reset_away(0, never=True)
        nrsim.reset_mode(0, "stay")
        assert present() and config_space()[4] == COMMAND


class TestFinish:
    def test_refused_until_back(self, fds, away):
        fd = fds()
        result(fd, BEGIN)
        assert step(fd, FINISH) == (8, nrsim.RESET_NOT_BACK)
        assert step(fd, FINISH) == (8, nrsim.RESET_NOT_BACK)
        assert nrsim.reset_count(0) == 0
        assert errno_of(open_card, 0, os.O_NONBLOCK) == errno.EAGAIN  # still under way
        nrsim.reset_away(0, ms=0)
        assert step(fd, FINISH) == (8, 0)
        assert nrsim.reset_count(0) == 1
        fds(0, os.O_NONBLOCK)  # the hold is over

    def test_nothing_to_finish(self, fds):
        nrsim.reset_away(0, ms=0)
        fd = fds()
        assert result(fd, FINISH) == nrsim.RESET_NOT_BEGUN
        result(fd, BEGIN)
        assert result(fd, FINISH) == 0
        assert result(fd, FINISH) == nrsim.RESET_NOT_BEGUN
        assert nrsim.reset_count(0) == 1

    def test_the_resetting_descriptor_works_on(self, fds):
        nrsim.reset_away(0, ms=0)
        fd = fds()
        result(fd, BEGIN)
        result(fd, FINISH)
        assert device_info(fd)["device_id"] == 0x401e
        assert alloc(fd, MiB).id == 1


class TestForcedResults:
    def test_refused_begin_leaves_the_card_alone(self, fds):
        nrsim.reset_result(0, begin=9)
        fd, other = fds(), fds()
        alloc(other, MiB)
        assert step(fd, BEGIN) == (8, 9)
        assert device_info(other)["device_id"] == 0x401e
        assert len(nrsim.windows(0)) == 1
        assert present()
        fds(0, os.O_NONBLOCK)  # no hold
        assert result(fd, FINISH) == nrsim.RESET_NOT_BEGUN

    def test_refused_finish_leaves_the_reset_under_way(self, fds):
        nrsim.reset_away(0, ms=0)
        nrsim.reset_result(0, finish=7)
        fd = fds()
        assert result(fd, BEGIN) == 0
        assert step(fd, FINISH) == (8, 7)
        assert nrsim.reset_count(0) == 0
        assert errno_of(open_card, 0, os.O_NONBLOCK) == errno.EAGAIN
        nrsim.reset_result(0)
        assert result(fd, FINISH) == 0
        assert nrsim.reset_count(0) == 1

    def test_forced_finish_answers_whatever_the_state(self, fds):
        nrsim.reset_result(0, finish=0xFFFFFFFF)
        assert step(fds(), FINISH) == (8, 0xFFFFFFFF)


class TestCountAndSettings:
    def full_reset(self, n, fds):
        fd = fds(n)
        assert result(fd, BEGIN) == 0
        assert result(fd, FINISH) == 0
        os.close(fd)

    def test_count_per_card_across_severs(self, fds):
        nrsim.reset_away(0, ms=0)
        nrsim.reset_away(1, ms=0)
        self.full_reset(0, fds)
        self.full_reset(0, fds)
        self.full_reset(1, fds)
        nrsim.sever(0)
        assert (nrsim.reset_count(0), nrsim.reset_count(1)) == (2, 1)
        nrsim.reset()
        assert (nrsim.reset_count(0), nrsim.reset_count(1)) == (0, 0)

    def test_sever_keeps_the_settings(self, fds):
        nrsim.reset_mode(0, "stay")
        nrsim.reset_away(0, never=True)
        nrsim.reset_result(0, finish=3)
        nrsim.sever(0)
        fd = fds()
        result(fd, BEGIN)
        assert config_space()[4] == COMMAND | MARK
        assert result(fd, FINISH) == 3

    def test_reset_restores_the_defaults(self, fds):
        nrsim.reset_mode(0, "stay")
        nrsim.reset_away(0, never=True)
        nrsim.reset_result(0, begin=1, finish=2)
        nrsim.reset()
        fd = fds()
        assert result(fd, BEGIN) == 0
        assert wait_until(present)  # back by itself: not kept away for ever
        assert result(fd, FINISH) == 0
        nrsim.reset_away(0, never=True)
        result(fd, BEGIN)
        assert not present()  # vanish again

    def test_argument_checks(self):
        with pytest.raises(ValueError):
            nrsim.reset_mode(0, "gone")
        with pytest.raises(ValueError):
            nrsim.reset_away(0, ms=-1)
        with pytest.raises(ValueError):
            nrsim.reset_result(0, begin=1 << 32)
        with pytest.raises(TypeError):
            nrsim.reset_count("0")

    @pytest.mark.parametrize("call", [lambda: nrsim.reset_mode(5, "stay"), lambda: nrsim.reset_away(5),
                                      lambda: nrsim.reset_result(5), lambda: nrsim.reset_count(5)])
    def test_missing_card(self, call):
        assert errno_of(call) == errno.ENODEV
