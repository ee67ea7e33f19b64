"""Opening card nodes by the driver's rules (shared, exclusive, nonblocking,
blocking across threads), the open log, injected open failures, sever and
removal, and the tracking of descriptors."""
import errno
import fcntl
import os
import signal
import threading

import pytest

import nrsim
from conftest import open_fds
from test_sim_support import (OPEN_ENTRIES, SESSION, c_open, device_info, errno_of, libc,
                              open_card, raw_close, wait_until)

EXCL, NONBLOCK = os.O_EXCL, os.O_NONBLOCK


class Opener(threading.Thread):
    """Opens a card on a thread of its own; holds the descriptor or errno."""

    def __init__(self, n, extra=0):
        super().__init__(daemon=True)
        self.n, self.extra = n, extra
        self.fd = self.err = None
        self.done = threading.Event()

    def run(self):
        try:
            self.fd = open_card(self.n, self.extra)
        except OSError as e:
            self.err = e.errno
        self.done.set()

    def finish(self):
        assert self.done.wait(5), "the open never returned"
        self.join(5)
        return self


def start_waiting(n, extra=0, waiters=1):
    """Starts an open that must block, and waits until the simulator has it
    queued."""
    t = Opener(n, extra)
    t.start()
    assert wait_until(lambda: nrsim.waiting(n) == waiters or t.done.is_set())
    assert not t.done.is_set(), f"open returned at once: fd={t.fd} errno={t.err}"
    return t


class TestFlagsLogged:
    def test_each_open_logs_its_flag_word(self):
        for extra in (0, EXCL, NONBLOCK, EXCL | NONBLOCK):
            os.close(open_card(0, extra))
        assert nrsim.opens(0) == [0x80402, 0x80482, 0x80C02, 0x80C82]
        assert nrsim.opens(1) == []

    def test_flag_words_show_their_flags(self):
        os.close(open_card(0, NONBLOCK))
        assert repr(nrsim.opens(0)) == "[O_RDWR|O_APPEND|O_NONBLOCK|O_CLOEXEC]"
        assert repr(nrsim.OpenFlags(os.O_WRONLY | os.O_TMPFILE | 1 << 30)) == "O_WRONLY|O_TMPFILE|0x40000000"

    def test_failed_opens_are_logged_too(self):
        fd = open_card(0, EXCL)
        assert errno_of(open_card, 0, NONBLOCK) == errno.EAGAIN
        os.close(fd)
        assert nrsim.opens(0) == [0x80482, 0x80C02]

    @pytest.mark.parametrize("entry", OPEN_ENTRIES)
    def test_every_entry_point_reaches_the_driver(self, entry):
        fd = c_open("/dev/norvane/1", SESSION | NONBLOCK, entry)
        assert nrsim.open_count(1) == 1
        assert device_info(fd)["device_id"] == 0xb140
        os.close(fd)
        assert nrsim.open_count(1) == 0
        assert nrsim.opens(1) == [SESSION | NONBLOCK]

    def test_clear_log(self):
        os.close(open_card(0))
        nrsim.clear_log()
        assert nrsim.opens(0) == []


class TestDriverRules:
    def test_shared_opens_coexist(self):
        a, b = open_card(0), open_card(0, NONBLOCK)
        assert nrsim.open_count(0) == 2
        os.close(a)
        os.close(b)
        assert nrsim.open_count(0) == 0

    def test_exclusive_keeps_every_other_open_out(self):
        held = open_card(0, EXCL)
        for extra in (NONBLOCK, EXCL | NONBLOCK):
            assert errno_of(open_card, 0, extra) == errno.EAGAIN
        other = open_card(1, EXCL | NONBLOCK)  # other cards are not affected
        os.close(other)
        os.close(held)
        os.close(open_card(0, EXCL | NONBLOCK))

    def test_exclusive_needs_sole_access(self):
        shared = open_card(0)
        assert errno_of(open_card, 0, EXCL | NONBLOCK) == errno.EAGAIN
        os.close(shared)
        os.close(open_card(0, EXCL | NONBLOCK))

    def test_vfs_checks_come_first(self):
        assert errno_of(os.open, "/dev/norvane/0", SESSION | os.O_CREAT | EXCL, 0o600) == errno.EEXIST
        assert errno_of(os.open, "/dev/norvane/0", SESSION | os.O_DIRECTORY) == errno.ENOTDIR
        assert nrsim.fd_count() == 0

    def test_cloexec_as_asked(self):
        with_flag = open_card(0)
        without = c_open("/dev/norvane/0", os.O_RDWR)  # os.open always adds O_CLOEXEC
        assert fcntl.fcntl(with_flag, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
        assert not fcntl.fcntl(without, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
        os.close(with_flag)
        os.close(without)


class TestBlockingOpen:
    def test_shared_open_waits_for_the_exclusive_holder(self):
        held = open_card(0, EXCL)
        t = start_waiting(0)
        assert nrsim.open_count(0) == 1
        os.close(held)
        t.finish()
        assert t.err is None and nrsim.open_count(0) == 1
        assert nrsim.waiting(0) == 0
        os.close(t.fd)

    def test_exclusive_open_waits_for_every_holder(self):
        a, b = open_card(0), open_card(0)
        t = start_waiting(0, EXCL)
        os.close(a)
        assert wait_until(lambda: nrsim.waiting(0) == 1)
        assert errno_of(open_card, 0, EXCL | NONBLOCK) == errno.EAGAIN
        assert not t.done.is_set()
        os.close(b)
        t.finish()
        assert t.err is None
        # Now it is the holder.
        assert errno_of(open_card, 0, NONBLOCK) == errno.EAGAIN
        os.close(t.fd)

    def test_other_threads_keep_working_while_one_waits(self):
        held = open_card(0, EXCL)
        t = start_waiting(0)
        fd = open_card(1)
        assert device_info(fd)["device_id"] == 0xb140
        assert device_info(held)["device_id"] == 0x401e
        os.close(fd)
        os.close(held)
        os.close(t.finish().fd)

    def test_removal_fails_the_waiters(self):
        held = open_card(0, EXCL)
        waiters = [start_waiting(0), start_waiting(0, EXCL, waiters=2)]
        nrsim.remove(0)
        for t in waiters:
            assert t.finish().err == errno.ENODEV
        os.close(held)

    def test_reset_fails_the_waiters(self):
        held = open_card(1, EXCL)
        t = start_waiting(1)
        nrsim.reset()
        assert t.finish().err == errno.ENODEV
        os.close(held)

    def test_sever_lets_waiters_through(self):
        held = open_card(0, EXCL)
        t = start_waiting(0)
        nrsim.sever(0)
        t.finish()
        assert t.err is None and nrsim.open_count(0) == 1
        assert errno_of(device_info, held) == errno.ENODEV
        assert device_info(t.fd)["device_id"] == 0x401e
        os.close(held)
        os.close(t.fd)


    def test_a_signal_ends_the_wait_and_takes_nothing(self):
        held = open_card(0, EXCL)
        returned, gave_up = threading.Event(), threading.Event()

        class Interrupted(Exception):
            pass

        def interrupter(main):
            assert wait_until(lambda: nrsim.waiting(0) == 1)
            signal.pthread_kill(main, signal.SIGUSR1)
            if not returned.wait(5):  # the wait ignored the signal: end it anyway
                gave_up.set()
                nrsim.sever(0)

        def handler(signum, frame):
            raise Interrupted

        old = signal.signal(signal.SIGUSR1, handler)
        try:
            t = threading.Thread(target=interrupter, args=(threading.get_ident(),))
            t.start()
            with pytest.raises(Interrupted):  # os.open saw EINTR and ran the handler
                open_card(0)
            returned.set()
            t.join()
        finally:
            signal.signal(signal.SIGUSR1, old)
        assert not gave_up.is_set(), "the signal did not end the wait"
        assert (nrsim.waiting(0), nrsim.open_count(0), nrsim.fd_count()) == (0, 1, 1)
        os.close(held)


class TestSeverAndRemove:
    def test_severed_descriptors_hold_nothing(self):
        held = open_card(0, EXCL)
        nrsim.sever(0)
        assert nrsim.open_count(0) == 0
        fresh = open_card(0, EXCL | NONBLOCK)
        assert nrsim.open_count(0) == 1
        os.close(held)  # closing a stale descriptor releases nothing of the new life
        assert nrsim.open_count(0) == 1
        assert errno_of(open_card, 0, NONBLOCK) == errno.EAGAIN
        os.close(fresh)

    def test_removed_card_cannot_be_opened(self):
        fd = open_card(1)
        nrsim.remove(1)
        assert errno_of(open_card, 1) == errno.ENOENT
        assert errno_of(device_info, fd) == errno.ENODEV
        os.close(fd)
        assert nrsim.fd_count() == 0

    def test_card_added_back_is_a_new_life(self):
        old = open_card(1)
        nrsim.remove(1)
        assert nrsim.add(0xb140, "0000:04:00.0") == 1
        assert errno_of(device_info, old) == errno.ENODEV
        new = open_card(1, EXCL | NONBLOCK)
        os.close(old)
        os.close(new)


class TestInjectedOpenFailures:
    def test_next_opens_fail_then_work(self):
        nrsim.fail_open(0, errno.EIO, times=2)
        assert errno_of(open_card, 0) == errno.EIO
        assert errno_of(open_card, 0) == errno.EIO
        os.close(open_card(0))
        assert nrsim.opens(0) == [SESSION] * 3
        assert nrsim.fd_count() == 0

    def test_only_that_card(self):
        nrsim.fail_open(1, errno.EPERM)
        os.close(open_card(0))
        assert errno_of(open_card, 1) == errno.EPERM

    def test_missing_card(self):
        assert errno_of(nrsim.fail_open, 7, errno.EIO) == errno.ENODEV


class TestDescriptors:
    def test_tracked_while_open(self):
        before = open_fds()
        fds = [open_card(0), open_card(1), os.open("/sys/bus/pci/devices/0000:03:00.0/config", os.O_RDONLY)]
        assert nrsim.fd_count() == 3
        assert set(map(str, fds)) <= open_fds()
        assert len(set(fds)) == 3
        for fd in fds:
            os.close(fd)
        assert nrsim.fd_count() == 0
        assert open_fds() == before

    def test_close_range_drops_tracked_descriptors(self):
        fds = sorted(open_card(0) for _ in range(3))
        assert libc.close_range(fds[0], fds[-1], 4) == 0  # CLOSE_RANGE_CLOEXEC: no close
        assert nrsim.fd_count() == 3
        os.closerange(fds[0], fds[-1] + 1)
        assert nrsim.fd_count() == 0 and nrsim.open_count(0) == 0
        for fd in fds:
            assert errno_of(fcntl.fcntl, fd, fcntl.F_GETFD) == errno.EBADF

    def test_descriptor_closed_behind_our_back_is_forgotten(self, tmp_path):
        fd = open_card(0, EXCL)
        assert raw_close(fd) == 0
        (tmp_path / "f").write_bytes(b"x")
        again = os.open(tmp_path / "f", os.O_RDONLY)
        try:
            if again != fd:
                pytest.skip("the kernel handed out another number")
            assert nrsim.fd_count() == 0 and nrsim.open_count(0) == 0
            assert os.read(again, 1) == b"x"
        finally:
            os.close(again)

    def test_close_of_an_unknown_descriptor_is_the_kernels(self):
        assert errno_of(os.close, 12345) == errno.EBADF

    def test_forked_child_works_with_its_own_copy(self):
        held = open_card(0)
        pid = os.fork()
        if pid == 0:  # child: must neither deadlock nor see a broken table
            try:
                ok = nrsim.open_count(0) == 1 and device_info(open_card(1))["device_id"] == 0xb140
                os._exit(0 if ok else 1)
            except BaseException:
                os._exit(2)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert nrsim.open_count(1) == 0  # the child's open was its own
        os.close(held)
