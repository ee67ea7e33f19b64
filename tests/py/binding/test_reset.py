"""Card reset: Device.reset and Session.reset, the session left closed on
every path, and the borrows each holds while the sequence waits with the
interpreter lock released.  The simulator counts resets and logs their
requests; only one test waits out the real deadline."""
import errno
import os
import struct
import threading

import pytest

import nrhal
import nrsim
from nrhal.power import Flag
from nrhal.smc import Message
from conftest import dev, live_fds, raises_errno, wait_for

pytestmark = pytest.mark.usefixtures("no_session_left_open")

RESET = 0xFA06  # the reset request
SMC = 0xFA11
POLL = 2
BEGIN, FINISH = 4, 6
RESET_OPEN_FLAGS = 0x80C82  # exclusive and non-blocking


def steps(n=0):
    """The step of each reset request made on card n, oldest first."""
    return [struct.unpack_from("<I", rec, 4)[0] for number, rec in nrsim.requests(n) if number == RESET]


class Background(threading.Thread):
    """Runs fn in a thread; join() gives its result or raises its error."""

    def __init__(self, fn):
        super().__init__()
        self.fn, self.result, self.error = fn, None, None
        self.start()

    def run(self):
        try:
            self.result = self.fn()
        except BaseException as e:  # handed to the test
            self.error = e

    def join(self):
        super().join()
        if self.error:
            raise self.error
        return self.result


class TestDeviceReset:
    def test_resets_the_card(self):
        d = dev()
        nrsim.clear_log()
        assert d.reset() is None
        assert nrsim.reset_count(0) == 1
        assert steps() == [BEGIN, FINISH]
        assert nrsim.opens(0) == [RESET_OPEN_FLAGS]
        assert nrsim.reset_count(1) == 0
        with d.open() as s:
            assert s.info().device_id == 0x401e

    def test_refused_while_this_process_has_it_open(self):
        d = dev()
        with d.open() as s:
            s.power(Flag.VexelEnable)
            nrsim.clear_log()
            raises_errno(errno.EAGAIN, d.reset)
            assert nrsim.reset_count(0) == 0
            assert steps() == []
            # Nothing was severed: the session goes on as before.
            assert repr(s) == "Session(id=0)"
            assert s.info().device_id == 0x401e
            assert nrsim.power(0) == 4
            s.power(Flag.LO)
            assert nrsim.power(0) == 0

    def test_no_such_device(self):
        d = dev(1)
        nrsim.remove(1)
        raises_errno(errno.ENODEV, d.reset)

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError):
            dev().reset(1)
        with pytest.raises(TypeError):
            dev().reset(force=True)
        assert steps() == []


class TestSessionReset:
    def test_returns_a_new_device_and_leaves_the_session_closed(self):
        d = dev()
        s = d.open()
        nrsim.clear_log()
        new = s.reset()
        assert type(new) is nrhal.Device
        assert new.id == 0
        assert new is not d
        assert nrsim.reset_count(0) == 1
        assert steps() == [BEGIN, FINISH]
        assert nrsim.opens(0) == [RESET_OPEN_FLAGS]
        assert repr(s) == "Session(closed)"
        raises_errno(errno.ENOTCONN, s.info)
        with new.open() as again:
            assert again.info().device_id == 0x401e

    def test_persistent_session_stays_closed(self):
        s = dev(1).open(persistent=True)
        nrsim.clear_log()
        assert s.reset().id == 1
        raises_errno(errno.ENOTCONN, s.info)
        assert nrsim.opens(1) == [RESET_OPEN_FLAGS]  # no reopen of its own
        s.reopen()  # in place, as the docstring offers
        assert s.info().device_id == 0xb140
        s.close()

    def test_closed_session(self):
        s = dev().open()
        s.close()
        nrsim.clear_log()
        raises_errno(errno.ENOTCONN, s.reset)
        assert nrsim.opens(0) == []
        assert steps() == []
        assert repr(s) == "Session(closed)"

    @pytest.mark.parametrize("arm,raised,sent", [
        (lambda: nrsim.reset_result(0, begin=3), errno.EIO, [BEGIN]),
        (lambda: nrsim.reset_result(0, finish=3), errno.EIO, [BEGIN, FINISH]),
        (lambda: nrsim.fail(0, RESET, errno.ENODEV), errno.ECONNRESET, [BEGIN]),
    ])
    def test_failure_leaves_it_closed(self, arm, raised, sent):
        s = dev().open(persistent=True)
        arm()
        nrsim.clear_log()
        raises_errno(raised, s.reset)
        assert steps() == sent
        assert nrsim.reset_count(0) == 0
        assert repr(s) == "Session(closed)"
        assert nrsim.open_count(0) == 0

    def test_another_session_makes_it_fail_closed(self):
        s, other = dev().open(), dev().open()
        nrsim.clear_log()
        raises_errno(errno.EAGAIN, s.reset)
        assert steps() == []
        assert repr(s) == "Session(closed)"
        assert other.info().device_id == 0x401e
        other.close()

    def test_timeout_leaves_it_closed(self):
        # Waits the real deadline (4 to 5 seconds).
        nrsim.reset_away(0, never=True)
        s = dev().open()
        nrsim.clear_log()
        raises_errno(errno.ETIMEDOUT, s.reset)
        assert steps() == [BEGIN]  # the second step is never sent
        assert repr(s) == "Session(closed)"
        assert nrsim.open_count(0) == 0

    def test_released_descriptor_number_is_not_closed_again(self):
        before = live_fds()
        s = dev().open()
        (fd,) = live_fds() - before
        os.close(fd)  # behind the session's back
        raises_errno(errno.EBADF, s.close)
        r, w = os.pipe()  # likely takes the released number
        try:
            assert s.reset().id == 0
            os.fstat(r)
            os.fstat(w)
        finally:
            os.close(r)
            os.close(w)
        assert nrsim.reset_count(0) == 1
        assert repr(s) == "Session(closed)"

    def test_queued_handle_finds_the_session_closed(self):
        s = dev().open()
        q = s.post(Message([nrsim.SMC_ECHO]))
        s.reset()
        raises_errno(errno.ENOTCONN, q.poll)

    def test_takes_no_arguments(self):
        with dev().open() as s:
            with pytest.raises(TypeError):
                s.reset(True)
            assert repr(s) == "Session(id=0)"


def reset_begun(n=0):
    return lambda: BEGIN in steps(n)


class TestWhileResetting:
    """The sequence runs with the interpreter lock released; the card stays
    away until the test lets it back."""

    def test_session_reset_holds_the_session_alone(self):
        nrsim.reset_away(0, never=True)
        s = dev().open()
        nrsim.clear_log()
        job = Background(s.reset)
        try:
            wait_for(reset_begun())
            for shared in (s.dev, lambda: repr(s), s.__enter__):
                with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                    shared()
            for sole in (s.info, s.close, s.reopen, lambda: s.power(Flag.HI),
                         lambda: nrhal.fw.version(s), s.reset):
                with pytest.raises(RuntimeError, match="^Already borrowed$"):
                    sole()
        finally:
            nrsim.reset_away(0, ms=0)
            new = job.join()
        assert new.id == 0
        assert repr(s) == "Session(closed)"
        assert s.dev().id == 0
        assert nrsim.reset_count(0) == 1

    def test_device_stays_usable_during_its_reset(self):
        nrsim.reset_away(0, never=True)
        d = dev()
        nrsim.clear_log()
        job = Background(d.reset)
        try:
            wait_for(reset_begun())
            assert d.id == 0
            assert repr(d) == "Device(id=0)"
            # Shared use again: the card refuses, not the binding.
            raises_errno(errno.EAGAIN, d.reset)
            raises_errno(errno.EAGAIN, lambda: d.open(nonblocking=True))
        finally:
            nrsim.reset_away(0, ms=0)
            assert job.join() is None
        assert nrsim.reset_count(0) == 1
        assert steps() == [BEGIN, FINISH]

    def test_refused_while_a_call_waits(self):
        s = dev().open()
        nrsim.smc_hang(0)
        job = Background(lambda: s.call(Message([nrsim.SMC_ECHO]), timeout=60))
        try:
            wait_for(lambda: any(number == SMC and struct.unpack_from("<I", rec, 4)[0] == POLL
                                 for number, rec in nrsim.requests(0)))
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                s.reset()
            assert steps() == []
            assert repr(s) == "Session(id=0)"
        finally:
            nrsim.smc_hang(0, False)
            job.join()
        s.close()
