"""Sessions: closing, reopening, the context manager, repr, dev(), info(),
the persistent reopen-and-retry rule, and descriptor ownership."""
import errno
import gc
import os
import sys

import pytest

import nrhal
import nrsim
from conftest import dev, live_fds, open_fds, raises_errno

pytestmark = pytest.mark.usefixtures("no_session_left_open")

INFO = 0xFA00  # the device-information request
SHARED_FLAGS = 0x80402



def info_requests(n=0):
    return [rec for number, rec in nrsim.requests(n) if number == INFO]


class TestLifecycle:
    def test_open_and_close(self):
        s = dev().open()
        assert repr(s) == "Session(id=0)"
        assert nrsim.open_count(0) == 1
        assert s.close() is None
        assert repr(s) == "Session(closed)"
        assert nrsim.open_count(0) == 0

    def test_close_twice(self):
        s = dev().open()
        s.close()
        assert s.close() is None
        assert repr(s) == "Session(closed)"

    def test_with_block(self):
        d = dev(1)
        with d.open() as s:
            assert type(s) is nrhal.Session
            assert repr(s) == "Session(id=1)"
            assert nrsim.open_count(1) == 1
        assert repr(s) == "Session(closed)"
        assert nrsim.open_count(1) == 0
        raises_errno(errno.ENOTCONN, s.info)

    def test_enter_returns_the_session(self):
        s = dev().open()
        with s as entered:
            assert entered is s
        assert repr(s) == "Session(closed)"

    def test_with_block_lets_exceptions_through(self):
        with pytest.raises(KeyError):
            with dev().open() as s:
                raise KeyError("inside")
        assert repr(s) == "Session(closed)"
        assert nrsim.open_count(0) == 0

    def test_exit_returns_false_and_needs_its_arguments(self):
        s = dev().open()
        with pytest.raises(TypeError, match=r"__exit__\(\).*'_exc_type'"):
            s.__exit__()
        assert repr(s) == "Session(id=0)"
        assert s.__exit__(None, None, None) is False
        assert s.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None) is False
        assert repr(s) == "Session(closed)"

    def test_methods_take_no_arguments(self):
        s = dev().open()
        for name in ("close", "reopen", "dev", "info", "__enter__"):
            with pytest.raises(TypeError, match=rf"{name}\(\) takes 0 positional arguments"):
                getattr(s, name)(1)
            with pytest.raises(TypeError, match=rf"{name}\(\) got an unexpected keyword argument 'x'"):
                getattr(s, name)(x=1)
        assert repr(s) == "Session(id=0)"
        s.close()

    def test_reopen_after_close(self):
        s = dev().open(exclusive=True)
        s.close()
        assert s.reopen() is None
        assert repr(s) == "Session(id=0)"
        assert nrsim.open_count(0) == 1
        # The original flags are used again.
        assert nrsim.opens(0) == [0x80482, 0x80482]
        assert s.info().device_id == 0x401e
        s.close()

    def test_reopen_replaces_an_open_descriptor(self):
        before = live_fds()
        s = dev().open(nonblocking=True)
        s.reopen()
        assert nrsim.open_count(0) == 1
        assert nrsim.opens(0) == [0x80C02, 0x80C02]
        assert len(live_fds() - before) == 1
        s.close()
        assert live_fds() == before

    def test_reopen_after_removal(self):
        s = dev(1).open()
        nrsim.remove(1)
        raises_errno(errno.ENODEV, s.reopen)
        assert repr(s) == "Session(closed)"
        raises_errno(errno.ENOTCONN, s.info)

    def test_nonblocking_reopen_while_held(self):
        s = dev().open(nonblocking=True)
        s.close()
        holder = dev().open(exclusive=True)
        raises_errno(errno.EAGAIN, s.reopen)
        assert repr(s) == "Session(closed)"
        holder.close()
        s.reopen()
        assert repr(s) == "Session(id=0)"

    def test_dev(self):
        d = dev(1)
        s = d.open()
        a, b = s.dev(), s.dev()
        assert type(a) is nrhal.Device
        assert a.id == b.id == 1
        assert a is not d and a is not b
        s.close()
        assert s.dev().id == 1

    def test_dropping_a_session_closes_it(self):
        gc.collect()
        before = open_fds()
        s = dev().open()
        assert nrsim.open_count(0) == 1
        del s
        gc.collect()
        assert nrsim.open_count(0) == 0
        assert open_fds() == before

class TestCloseFailure:
    """close(2) failing: the session's descriptor closed behind its back."""

    def _open_with_fd(self):
        before = live_fds()
        s = dev().open()
        (fd,) = live_fds() - before
        return s, fd

    def test_close_raises_and_then_forgets_the_number(self):
        s, fd = self._open_with_fd()
        os.close(fd)
        raises_errno(errno.EBADF, s.close)
        assert repr(s) == "Session(id=0)"  # the record keeps its number
        # The kernel has released that number; it may be reused meanwhile,
        # and a later close must not close the new file.
        r, w = os.pipe()
        try:
            assert s.close() is None
            assert repr(s) == "Session(closed)"
            os.fstat(r)
            os.fstat(w)
        finally:
            os.close(r)
            os.close(w)

    def test_exit_swallows_the_failure(self):
        s, fd = self._open_with_fd()
        os.close(fd)
        assert s.__exit__(None, None, None) is False
        assert repr(s) == "Session(id=0)"
        s.close()
        assert repr(s) == "Session(closed)"

    def test_reopen_does_not_close_the_number_again(self):
        s, fd = self._open_with_fd()
        os.close(fd)
        raises_errno(errno.EBADF, s.close)
        r, w = os.pipe()
        try:
            s.reopen()
            os.fstat(r)
            os.fstat(w)
            assert s.info().device_id == 0x401e
        finally:
            s.close()
            os.close(r)
            os.close(w)


class TestInfo:
    @pytest.mark.parametrize("n", [0, 1])
    def test_properties_match_the_card(self, n):
        want = nrsim.identity(n)
        with dev(n).open() as s:
            info = s.info()
        assert type(info) is nrhal.Info
        for field in want._fields:
            value = getattr(info, field)
            assert type(value) is int
            assert value == getattr(want, field), field

    def test_every_field_is_passed_through(self):
        nrsim.set_identity(0, vendor_id=0xabcd, device_id=0x12, subsystem_vendor_id=0xfffe,
                           subsystem_id=0x8001, bus_dev_fn=0xff07, max_dma_buf_size_log2=0xffff,
                           pci_domain=0x10)
        with dev().open() as s:
            i = s.info()
        assert (i.vendor_id, i.device_id, i.subsystem_vendor_id, i.subsystem_id,
                i.bus_dev_fn, i.max_dma_buf_size_log2, i.pci_domain) == (
            0xabcd, 0x12, 0xfffe, 0x8001, 0xff07, 0xffff, 0x10)
        assert repr(i) == "Info(vendor=0xabcd, device=0x0012)"

    @pytest.mark.parametrize("vendor,device,text", [
        (0x1234, 0x5, "Info(vendor=0x1234, device=0x0005)"),
        (0, 0xffff, "Info(vendor=0x0000, device=0xffff)"),
        (0x1f, 0, "Info(vendor=0x001f, device=0x0000)"),
    ])
    def test_repr(self, vendor, device, text):
        nrsim.set_identity(0, vendor_id=vendor, device_id=device)
        with dev().open() as s:
            assert repr(s.info()) == text

    def test_read_only(self):
        with dev().open() as s:
            info = s.info()
        with pytest.raises(AttributeError):
            info.vendor_id = 1
        with pytest.raises(AttributeError):
            info.output_size_bytes
        assert info.device_id == 0x401e

    def test_request_record(self):
        with dev().open() as s:
            s.info()
        (rec,) = info_requests()
        assert rec == (20).to_bytes(4, "little") + bytes(20)

    def test_closed_session(self):
        s = dev().open(persistent=True)
        s.close()
        nrsim.clear_log()
        raises_errno(errno.ENOTCONN, s.info)
        assert nrsim.opens(0) == []  # no reopen: a closed session stays closed
        assert nrsim.requests(0) == []

    def test_driver_error_passes_through(self):
        nrsim.fail(0, INFO, errno.EIO)
        with dev().open() as s:
            raises_errno(errno.EIO, s.info)
            assert s.info().device_id == 0x401e


class TestPersistentRetry:
    def test_after_a_reset(self):
        s = dev().open(persistent=True)
        nrsim.clear_log()
        nrsim.sever(0)
        assert s.info().device_id == 0x401e
        assert nrsim.opens(0) == [SHARED_FLAGS]  # one reopen, with the same flags
        assert len(info_requests()) == 2
        assert nrsim.open_count(0) == 1
        assert repr(s) == "Session(id=0)"
        s.close()

    def test_after_a_removal(self):
        s = dev(1).open(persistent=True)
        nrsim.clear_log()
        nrsim.remove(1)
        raises_errno(errno.ENODEV, s.info)
        assert len(info_requests(1)) == 1  # no retry after the failed reopen
        assert repr(s) == "Session(closed)"
        raises_errno(errno.ENOTCONN, s.info)

    @pytest.mark.parametrize("failures", [1, 2, 3])
    def test_recovers_within_three_reopens(self, failures):
        s = dev().open(persistent=True)
        nrsim.clear_log()
        nrsim.fail(0, INFO, errno.ENODEV, times=failures)
        assert s.info().device_id == 0x401e
        assert len(nrsim.opens(0)) == failures
        assert len(info_requests()) == failures + 1
        s.close()

    def test_gives_up_after_three_reopens(self):
        s = dev().open(persistent=True)
        nrsim.clear_log()
        nrsim.fail(0, INFO, errno.ENODEV, times=4)
        raises_errno(errno.ENODEV, s.info)
        assert len(nrsim.opens(0)) == 3
        assert len(info_requests()) == 4
        # The session stays open on its last descriptor; the next call works.
        assert repr(s) == "Session(id=0)"
        assert s.info().device_id == 0x401e
        assert nrsim.open_count(0) == 1
        s.close()

    def test_other_errors_are_not_retried(self):
        s = dev().open(persistent=True)
        nrsim.clear_log()
        nrsim.fail(0, INFO, errno.EPERM)
        raises_errno(errno.EPERM, s.info)
        assert nrsim.opens(0) == []
        s.close()

    def test_reopen_refused_by_the_driver(self):
        s = dev().open(persistent=True)
        nrsim.sever(0)
        nrsim.fail_open(0, errno.EACCES)
        raises_errno(errno.ENODEV, s.info)  # a failed open is ENODEV
        assert repr(s) == "Session(closed)"

    def test_nonblocking_reopen_against_a_holder(self):
        s = dev().open(nonblocking=True, persistent=True)
        nrsim.sever(0)
        holder = dev().open(exclusive=True)
        raises_errno(errno.EAGAIN, s.info)
        assert repr(s) == "Session(closed)"
        holder.close()
        s.reopen()
        assert s.info().device_id == 0x401e
        s.close()

    def test_without_persistent(self):
        s = dev().open()
        nrsim.clear_log()
        nrsim.sever(0)
        e = raises_errno(errno.ECONNRESET, s.info)
        assert e.errno == 104
        assert nrsim.opens(0) == []
        assert repr(s) == "Session(id=0)"  # still open as far as the session knows
        s.reopen()
        assert s.info().device_id == 0x401e
        s.close()

class TestNoLeaks:
    def test_objects_give_back_their_class(self):
        # Each instance holds a reference to its class; a dealloc that does
        # not drop it shows as a growing count.
        classes = (nrhal.Device, nrhal.Session, nrhal.Info)
        gc.collect()
        counts = [sys.getrefcount(c) for c in classes]
        for _ in range(50):
            with dev().open() as s:
                s.info()
                s.dev()
            del s
        gc.collect()
        assert [sys.getrefcount(c) for c in classes] == counts

    def test_descriptors_are_given_back(self):
        gc.collect()
        before, tracked = open_fds(), nrsim.fd_count()
        holder = dev().open(exclusive=True)
        for _ in range(3):
            with pytest.raises(nrhal.NRError):
                dev().open(nonblocking=True)
        holder.close()

        nrsim.fail_open(0, errno.EIO)
        with pytest.raises(nrhal.NRError):
            dev().open()
        with pytest.raises(TypeError):
            dev().open(exclusive=1)

        s = dev().open(persistent=True)
        nrsim.sever(0)
        s.info()
        nrsim.fail(0, INFO, errno.ENODEV, times=4)
        with pytest.raises(nrhal.NRError):
            s.info()
        t = dev(1).open(persistent=True)
        nrsim.remove(1)
        with pytest.raises(nrhal.NRError):
            t.info()
        del s, t
        gc.collect()

        for _ in range(5):
            with dev().open() as u:
                u.reopen()
                u.info()
        nrhal.Device.from_bdf("0000:03:00.0")
        nrhal.scan()

        assert open_fds() == before
        assert nrsim.fd_count() == tracked
        assert nrsim.open_count(0) == 0
