"""The simulated management controller behind request 0xFA11: replies,
the one-message-per-descriptor rule, delays and hangs, the card's queue,
drops, closes and lost cards, malformed records, and the bounded logs."""
import ctypes
import errno
import mmap as pymmap
import os
import subprocess
import sys
import threading

import pytest

import nrsim
from test_sim_support import errno_of, ioctl, libc, open_card, wait_until

SMC = 0xFA11
POST, POLL, DROP = 1, 2, 4
OK, UNKNOWN = nrsim.SMC_OK, nrsim.SMC_UNKNOWN


class Record(ctypes.Structure):
    _fields_ = [("argsz", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("reserved", ctypes.c_uint8 * 8), ("message", ctypes.c_uint32 * 8)]


assert ctypes.sizeof(Record) == 48


def record(flags, words=(), argsz=48):
    rec = Record(argsz=argsz, flags=flags)
    for i, w in enumerate(words):
        rec.message[i] = w
    return rec


def post(fd, *words):
    ioctl(fd, SMC, record(POST, words))


def poll(fd):
    rec = record(POLL)
    ioctl(fd, SMC, rec)
    return tuple(rec.message)


def drop(fd):
    ioctl(fd, SMC, record(DROP))


def pending_polls(fd, limit=1000):
    """Polls until the reply comes: (EAGAIN answers before it, the reply)."""
    for pending in range(limit):
        try:
            return pending, poll(fd)
        except OSError as e:
            assert e.errno == errno.EAGAIN
    raise AssertionError(f"no reply after {limit} polls")


def echo(*words):
    return (nrsim.SMC_ECHO, *words)


def echoed(*words):
    """The firmware's reply to echo(*words)."""
    return (OK, *words) + (0,) * (7 - len(words))


def padded(*words):
    return tuple(words) + (0,) * (8 - len(words))


class TestFirmware:
    def test_echo_returns_the_arguments(self, fds):
        fd = fds()
        post(fd, *echo(1, 0xFFFFFFFF, 3, 4, 5, 6, 0x80000000))
        assert poll(fd) == (OK, 1, 0xFFFFFFFF, 3, 4, 5, 6, 0x80000000)
        post(fd, 0xABCDEF00 | nrsim.SMC_ECHO, 9)  # the code is the header's low byte
        assert poll(fd) == echoed(9)

    def test_status_counts_messages_per_incarnation(self, fds):
        fd = fds(1)
        for handled in range(3):
            post(fd, nrsim.SMC_STATUS)
            assert poll(fd) == padded(OK, 1, handled, 1)
        post(fd, 0x55)  # any message counts, known or not
        poll(fd)
        post(fd, nrsim.SMC_STATUS)
        assert poll(fd)[2] == 4
        nrsim.sever(1)
        fresh = fds(1)
        post(fresh, nrsim.SMC_STATUS)
        assert poll(fresh) == padded(OK, 1, 0, 1)

    @pytest.mark.parametrize("code", [0x00, 0x03, 0x7E, 0xFF])
    def test_unknown_code(self, fds, code):
        fd = fds()
        post(fd, 0x100 | code, 1, 2, 3, 4, 5, 6, 7)
        assert poll(fd) == padded(UNKNOWN)

    def test_set_reply_overrides_one_code_verbatim(self, fds):
        fd = fds()
        nrsim.smc_reply(0, nrsim.SMC_ECHO, [0xDEAD, 2, 3])
        nrsim.smc_reply(0, 0x42, [7] * 8)
        post(fd, *echo(9, 9))
        assert poll(fd) == padded(0xDEAD, 2, 3)
        post(fd, 0x42)
        assert poll(fd) == (7,) * 8
        post(fd, nrsim.SMC_STATUS)
        assert poll(fd) == padded(OK, 1, 2, 0)
        nrsim.smc_reply(0, 0x42, [])  # setting again replaces
        post(fd, 0x42)
        assert poll(fd) == padded()
        nrsim.smc_clear_replies(0)
        post(fd, *echo(9, 9))
        assert poll(fd) == echoed(9, 9)

    def test_reply_arguments(self):
        with pytest.raises(ValueError):
            nrsim.smc_reply(0, 1, [0] * 9)
        with pytest.raises(ValueError):
            nrsim.smc_reply(0, 0x100, [])
        with pytest.raises(ValueError):
            nrsim.smc_reply(0, 1, [1 << 32])
        with pytest.raises(TypeError):
            nrsim.smc_reply(0, 1, ["1"])
        assert errno_of(nrsim.smc_reply, 7, 1, []) == errno.ENODEV


class TestOutstanding:
    def test_second_post_is_busy_until_the_reply_is_fetched(self, fds):
        fd = fds()
        post(fd, *echo(1))
        assert errno_of(post, fd, *echo(2)) == errno.EBUSY  # reply ready, not fetched
        assert poll(fd) == echoed(1)
        post(fd, *echo(3))
        assert poll(fd) == echoed(3)
        assert nrsim.smc_messages(0) == [padded(*echo(1)), padded(*echo(3))]

    def test_busy_while_queued_or_running(self, fds):
        nrsim.smc_hang(0)
        a, b = fds(), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        assert errno_of(post, a, *echo(3)) == errno.EBUSY
        assert errno_of(post, b, *echo(4)) == errno.EBUSY
        assert nrsim.smc_queued(0) == 1

    def test_poll_with_nothing_outstanding(self, fds):
        fd = fds()
        assert errno_of(poll, fd) == errno.ENOMSG
        post(fd, *echo(1))
        poll(fd)
        assert errno_of(poll, fd) == errno.ENOMSG

    def test_drop_is_idempotent_and_frees_at_once(self, fds):
        fd = fds()
        drop(fd)
        post(fd, *echo(1))
        drop(fd)  # reply ready: thrown away
        drop(fd)
        assert errno_of(poll, fd) == errno.ENOMSG
        post(fd, *echo(2))
        assert poll(fd) == echoed(2)

    def test_post_in_one_thread_poll_in_another(self, fds):
        nrsim.smc_delay(0, polls=3)
        fd = fds()
        posted = threading.Event()

        def poster():
            post(fd, *echo(8))
            posted.set()

        worker = threading.Thread(target=poster)
        worker.start()
        worker.join()
        assert posted.is_set()
        assert pending_polls(fd) == (3, echoed(8))


class TestDelay:
    @pytest.mark.parametrize("k", [0, 1, 5])
    def test_poll_delay_gives_exactly_k_pending_polls(self, fds, k):
        nrsim.smc_delay(0, polls=k)
        fd = fds()
        post(fd, *echo(k))
        assert pending_polls(fd) == (k, echoed(k))

    def test_poll_delay_starts_when_the_message_is_taken(self, fds):
        nrsim.smc_delay(0, polls=2)
        a, b = fds(), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        for _ in range(5):  # queued: these polls do not count
            assert errno_of(poll, b) == errno.EAGAIN
        assert nrsim.smc_queued(0) == 1
        assert pending_polls(a) == (2, echoed(1))
        assert nrsim.smc_queued(0) == 0  # taken when the first completed
        assert pending_polls(b) == (2, echoed(2))

    def test_only_the_poster_polls_count(self, fds):
        nrsim.smc_delay(0, polls=2)
        a, b = fds(), fds()
        post(a, *echo(1))
        for _ in range(4):
            assert errno_of(poll, b) == errno.ENOMSG
        assert pending_polls(a) == (2, echoed(1))

    def test_millisecond_delay_becomes_ready(self, fds):
        nrsim.smc_delay(0, ms=20)
        a, b = fds(), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        replies = {}

        def fetch(fd):
            if fd in replies:
                return True
            try:
                replies[fd] = poll(fd)
            except OSError as e:
                assert e.errno == errno.EAGAIN
            return fd in replies

        assert wait_until(lambda: fetch(a) and fetch(b))
        assert replies == {a: echoed(1), b: echoed(2)}
        assert nrsim.smc_messages(0) == [padded(*echo(1)), padded(*echo(2))]

    def test_settings_apply_as_the_controller_takes_a_message(self, fds):
        nrsim.smc_delay(0, ms=3_600_000)
        a, b = fds(), fds()
        post(a, *echo(1))
        nrsim.smc_delay(0, polls=0)
        nrsim.smc_reply(0, nrsim.SMC_ECHO, [5])
        assert errno_of(poll, a) == errno.EAGAIN  # still under its hour
        post(b, *echo(2))
        assert nrsim.smc_queued(0) == 1
        drop(a)
        assert nrsim.smc_queued(0) == 1  # a taken message runs its time
        assert errno_of(poll, b) == errno.EAGAIN

    def test_reply_is_fixed_when_the_message_is_taken(self, fds):
        nrsim.smc_hang(0)
        a, b = fds(), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        nrsim.smc_reply(0, nrsim.SMC_ECHO, [5])
        nrsim.smc_hang(0, on=False)
        assert poll(a) == echoed(1)
        assert poll(b) == padded(5)

    def test_delay_arguments(self):
        with pytest.raises(TypeError):
            nrsim.smc_delay(0)
        with pytest.raises(TypeError):
            nrsim.smc_delay(0, polls=1, ms=1)
        with pytest.raises(ValueError):
            nrsim.smc_delay(0, polls=-1)
        assert errno_of(nrsim.smc_delay, 9, ms=1) == errno.ENODEV
        assert errno_of(nrsim.smc_hang, 9) == errno.ENODEV

    def test_hang_never_replies_until_released(self, fds):
        nrsim.smc_hang(0)
        a, b = fds(), fds()
        post(a, *echo(1))
        assert nrsim.smc_messages(0) == [padded(*echo(1))]  # taken before the post returned
        for _ in range(200):
            assert errno_of(poll, a) == errno.EAGAIN
        post(b, *echo(2))
        assert nrsim.smc_queued(0) == 1
        nrsim.smc_hang(0, on=False)
        assert nrsim.smc_queued(0) == 0
        assert poll(a) == echoed(1)
        assert poll(b) == echoed(2)

    def test_settings_are_per_card(self, fds):
        nrsim.smc_hang(1)
        nrsim.smc_reply(1, nrsim.SMC_ECHO, [1])
        a, b = fds(0), fds(1)
        post(b, *echo(1))
        post(a, *echo(2))
        assert poll(a) == echoed(2)
        assert errno_of(poll, b) == errno.EAGAIN
        nrsim.smc_hang(1, on=False)
        assert poll(b) == padded(1)


class TestQueue:
    def test_messages_are_served_first_come_first_served(self, fds):
        nrsim.smc_hang(0)
        a, b, c = fds(), fds(), fds()
        post(a, nrsim.SMC_STATUS, 0xA)
        post(c, nrsim.SMC_STATUS, 0xC)
        post(b, nrsim.SMC_STATUS, 0xB)
        assert nrsim.smc_queued(0) == 2
        assert errno_of(poll, c) == errno.EAGAIN
        nrsim.smc_hang(0, on=False)
        assert [poll(fd)[2] for fd in (a, b, c)] == [0, 2, 1]
        assert [m[1] for m in nrsim.smc_messages(0)] == [0xA, 0xC, 0xB]

    def test_one_at_a_time_under_a_poll_delay(self, fds):
        nrsim.smc_delay(0, polls=1)
        a, b, c = fds(), fds(), fds()
        for i, fd in enumerate((a, b, c)):
            post(fd, *echo(i))
        assert len(nrsim.smc_messages(0)) == 1
        assert errno_of(poll, a) == errno.EAGAIN  # completes a; b is taken
        assert len(nrsim.smc_messages(0)) == 2
        assert nrsim.smc_queued(0) == 1
        assert errno_of(poll, b) == errno.EAGAIN
        assert pending_polls(c) == (1, echoed(2))
        assert poll(a) == echoed(0) and poll(b) == echoed(1)


class TestDrop:
    @pytest.mark.parametrize("ahead", ["hang", "delay"])
    def test_queued_message_never_reaches_the_controller(self, fds, ahead):
        if ahead == "hang":
            nrsim.smc_hang(0)
        else:
            nrsim.smc_delay(0, polls=3)
        a, b = fds(), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        drop(b)
        assert nrsim.smc_queued(0) == 0
        assert errno_of(poll, b) == errno.ENOMSG
        post(b, *echo(3))  # free again at once
        nrsim.smc_hang(0, on=False)
        nrsim.smc_delay(0, polls=0)
        pending_polls(a)
        assert pending_polls(b)[1] == echoed(3)
        assert nrsim.smc_messages(0) == [padded(*echo(1)), padded(*echo(3))]

    def test_taken_message_runs_and_its_reply_is_lost(self, fds):
        nrsim.smc_hang(0)
        fd = fds()
        post(fd, *echo(1))
        drop(fd)
        nrsim.smc_hang(0, on=False)
        assert errno_of(poll, fd) == errno.ENOMSG
        post(fd, *echo(2))
        assert poll(fd) == echoed(2)  # not the dropped message's reply
        assert nrsim.smc_messages(0) == [padded(*echo(1)), padded(*echo(2))]

    def test_dropped_message_under_a_poll_delay_frees_the_controller(self, fds):
        nrsim.smc_delay(0, polls=3)
        a, b = fds(), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        drop(a)  # nobody polls for it any more
        assert nrsim.smc_queued(0) == 0
        assert pending_polls(b) == (3, echoed(2))


class TestClose:
    def test_closing_a_queued_message_removes_it(self, fds):
        nrsim.smc_hang(0)
        a, b, c = fds(), open_card(0), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        post(c, *echo(3))
        os.close(b)
        assert nrsim.smc_queued(0) == 1
        nrsim.smc_hang(0, on=False)
        assert nrsim.smc_queued(0) == 0
        assert poll(c) == echoed(3)
        assert nrsim.smc_messages(0) == [padded(*echo(1)), padded(*echo(3))]

    def test_closing_a_running_message_lets_the_next_proceed(self, fds):
        nrsim.smc_delay(0, polls=2)
        a, b = open_card(0), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        os.close(a)
        assert nrsim.smc_queued(0) == 0
        assert pending_polls(b) == (2, echoed(2))

    @pytest.mark.parametrize("hang", [True, False])
    def test_a_new_descriptor_inherits_nothing(self, fds, hang):
        nrsim.smc_hang(0, on=hang)
        a = open_card(0)
        post(a, *echo(1))  # left running, or answered
        os.close(a)
        nrsim.smc_hang(0, on=False)  # the orphan completes; its reply goes nowhere
        again = fds()  # most likely the same number
        assert errno_of(poll, again) == errno.ENOMSG
        post(again, *echo(2))
        assert poll(again) == echoed(2)


class TestLostCard:
    def test_sever_ends_the_queue_but_keeps_the_settings(self, fds):
        nrsim.smc_delay(0, polls=2)
        nrsim.smc_reply(0, 0x42, [0x42])
        a, b = fds(), fds()
        post(a, *echo(1))
        post(b, *echo(2))
        nrsim.sever(0)
        for fd in (a, b):
            assert errno_of(poll, fd) == errno.ENODEV
            assert errno_of(post, fd, *echo(3)) == errno.ENODEV
            assert errno_of(drop, fd) == errno.ENODEV
        assert nrsim.smc_queued(0) == 0
        fresh = fds()
        post(fresh, 0x42)
        assert pending_polls(fresh) == (2, padded(0x42))
        assert nrsim.smc_messages(0) == [padded(*echo(1)), padded(0x42)]

    def test_removal(self, fds):
        nrsim.smc_hang(1)
        fd = fds(1)
        post(fd, *echo(1))
        nrsim.remove(1)
        assert errno_of(poll, fd) == errno.ENODEV
        assert errno_of(nrsim.smc_queued, 1) == errno.ENODEV
        assert nrsim.smc_messages(1) == [padded(*echo(1))]  # the log outlives the card
        nrsim.add(0x401e, "0000:05:00.0", number=1)
        fresh = fds(1)
        post(fresh, *echo(2))
        assert poll(fresh) == echoed(2)  # a new card: default settings

    def test_reset_restores_the_defaults(self, fds):
        nrsim.smc_hang(0)
        nrsim.smc_reply(0, nrsim.SMC_ECHO, [1])
        post(fds(), *echo(1))
        nrsim.reset()
        assert nrsim.smc_messages(0) == []
        fd = fds()
        post(fd, *echo(2))
        assert poll(fd) == echoed(2)

    def test_injected_fault_comes_first(self, fds):
        fd = fds()
        nrsim.fail(0, SMC, errno.EIO)
        assert errno_of(post, fd, *echo(1)) == errno.EIO
        assert errno_of(poll, fd) == errno.ENOMSG  # nothing was posted
        assert nrsim.smc_messages(0) == []


class TestReadyAtPost:
    """A reply that is ready when its post is answered comes back with that
    answer, and the poll that fetches it is answered in the process: what
    other processes do in between must still reach that poll."""

    @pytest.mark.parametrize("control, err", [(["fail", "0", "0xFA11", "EIO"], errno.EIO),
                                              (["sever", "0"], errno.ENODEV)])
    def test_a_control_from_another_process_reaches_the_poll(self, fds, control, err):
        fd = fds()
        post(fd, *echo(1))
        subprocess.run([sys.executable, "-m", "nrsim", *control], check=True, timeout=60)
        assert errno_of(poll, fd) == err

    def test_a_forked_child_that_fetches_the_reply_leaves_none_to_its_parent(self, fds):
        fd = fds()
        post(fd, *echo(7))
        pid = os.fork()
        if pid == 0:
            os._exit(0 if poll(fd) == echoed(7) else 1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        assert errno_of(poll, fd) == errno.ENOMSG


class TestMalformed:
    @pytest.mark.parametrize("argsz", [0, 32, 47, 49, 0x30000000])
    def test_wrong_size(self, fds, argsz):
        fd = fds()
        assert errno_of(ioctl, fd, SMC, record(POST, echo(1), argsz=argsz)) == errno.EINVAL

    @pytest.mark.parametrize("flags", [0, 3, 5, 6, 7, 8, 0x101, 0x80000001])
    def test_not_exactly_one_operation(self, fds, flags):
        fd = fds()
        assert errno_of(ioctl, fd, SMC, record(flags, echo(1))) == errno.EINVAL

    @pytest.mark.parametrize("at", [0, 3, 7])
    @pytest.mark.parametrize("flags", [POST, POLL, DROP])
    def test_reserved_bytes_must_be_zero(self, fds, flags, at):
        fd = fds()
        rec = record(flags, echo(1))
        rec.reserved[at] = 1
        assert errno_of(ioctl, fd, SMC, rec) == errno.EINVAL

    def test_malformed_records_change_nothing(self, fds):
        fd = fds()
        assert errno_of(ioctl, fd, SMC, record(POST | POLL, echo(1))) == errno.EINVAL
        assert errno_of(poll, fd) == errno.ENOMSG
        post(fd, *echo(2))
        bad = record(POLL)
        bad.reserved[0] = 1
        assert errno_of(ioctl, fd, SMC, bad) == errno.EINVAL
        assert bad.message[0] == 0
        assert poll(fd) == echoed(2)
        assert nrsim.smc_messages(0) == [padded(*echo(2))]

    def test_unreadable_record(self, fds):
        assert errno_of(ioctl, fds(), SMC, None) == errno.EFAULT

    def test_reply_kept_when_it_cannot_be_written(self, fds):
        fd = fds()
        post(fd, *echo(4))
        page = pymmap.PAGESIZE
        base = libc.mmap(None, page, 3, 0x22, -1, 0)  # PROT_RW, MAP_PRIVATE|MAP_ANONYMOUS
        try:
            rec = record(POLL)
            ctypes.memmove(base, ctypes.addressof(rec), 48)
            assert libc.mprotect(ctypes.c_void_p(base), page, 1) == 0  # PROT_READ
            assert errno_of(ioctl, fd, SMC, base) == errno.EFAULT
        finally:
            libc.munmap(base, page)
        assert poll(fd) == echoed(4)


class TestLogs:
    def test_messages_log_is_per_card_and_cleared_with_the_others(self, fds):
        a, b = fds(0), fds(1)
        post(a, *echo(1))
        post(b, *echo(2))
        assert nrsim.smc_messages(0) == [padded(*echo(1))]
        assert nrsim.smc_messages(1) == [padded(*echo(2))]
        assert nrsim.smc_messages(42) == []
        nrsim.clear_log()
        assert nrsim.smc_messages(0) == [] and nrsim.requests(0) == []

    def test_bound_drops_the_oldest(self, fds):
        fd = fds()
        nrsim.clear_log()
        nrsim.set_log_limit(5)
        rec = Record()
        for i in range(8):
            errno_of(ioctl, fd, 0xFA40 + i, rec)
        assert [n for n, _ in nrsim.requests(0)] == [0xFA40 + i for i in range(3, 8)]
        nrsim.set_log_limit(7)  # room again after wrapping: order kept
        for i in range(8, 10):
            errno_of(ioctl, fd, 0xFA40 + i, rec)
        assert [n for n, _ in nrsim.requests(0)] == [0xFA40 + i for i in range(3, 10)]
        nrsim.set_log_limit(3)  # cut to the newest at once
        assert [n for n, _ in nrsim.requests(0)] == [0xFA47, 0xFA48, 0xFA49]

    def test_bound_covers_messages_and_opens(self, fds):
        nrsim.set_log_limit(2)
        fd = fds()
        for i in range(4):
            post(fd, *echo(i))
            poll(fd)
        assert nrsim.smc_messages(0) == [padded(*echo(2)), padded(*echo(3))]
        for _ in range(3):
            os.close(open_card(0, os.O_NONBLOCK))
        assert nrsim.opens(0) == [os.O_RDWR | os.O_APPEND | os.O_CLOEXEC | os.O_NONBLOCK] * 2

    def test_default_bound(self, fds):
        nrsim.set_log_limit(1)
        nrsim.reset()  # back to LOG_LIMIT
        fd = fds()
        rec = ctypes.addressof(Record())
        libc.ioctl(fd, 0xFA41, rec)
        for _ in range(nrsim.LOG_LIMIT):
            libc.ioctl(fd, 0xFA40, rec)
        log = nrsim.requests(0)
        assert len(log) == nrsim.LOG_LIMIT
        assert {number for number, _ in log} == {0xFA40}  # the first one dropped

    def test_bound_arguments(self):
        assert errno_of(nrsim.set_log_limit, 0) == errno.EINVAL
        with pytest.raises(ValueError):
            nrsim.set_log_limit(-1)
