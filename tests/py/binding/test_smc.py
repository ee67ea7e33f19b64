"""Controller messages: Message conversion, Session.post and Session.call,
the Queued handle's lifecycle, the timeout, and the session's borrow rules
while a call waits in another thread.  Waits are measured by counting the
polls the simulator logged, never by the clock."""
import array
import errno
import gc
import inspect
import struct
import threading

import numpy
import pytest

import nrhal
import nrsim
from nrhal.smc import Message, Queued
from conftest import raises_errno, wait_for

pytestmark = pytest.mark.usefixtures("no_session_left_open")

SMC = 0xFA11  # the controller-message request
POST, POLL, DROP = 1, 2, 4
SPIN = 33  # polls the native wait makes back to back before it sleeps
ECHO = [nrsim.SMC_ECHO, 1, 2, 3, 4, 5, 6, 0xFFFFFFFF]


def ops(n=0):
    """The operation of each controller request on card n, oldest first."""
    return [struct.unpack_from("<I", rec, 4)[0] for number, rec in nrsim.requests(n) if number == SMC]


class TestMessage:
    def test_defaults_and_padding(self):
        zeros = [0] * 8
        assert Message().message == zeros
        assert Message(None).message == zeros
        assert Message(message=None).message == zeros
        assert Message([1, 2]).message == [1, 2, 0, 0, 0, 0, 0, 0]
        assert Message(list(range(8))).message == list(range(8))
        assert Message([0, 2**32 - 1]).message == [0, 2**32 - 1] + [0] * 6

    @pytest.mark.parametrize("seq", [
        (5, 6), range(5, 7), array.array("I", [5, 6]), numpy.array([5, 6], dtype=numpy.uint32),
        [numpy.uint32(5), numpy.int64(6)],
    ])
    def test_any_sequence_of_ints(self, seq):
        assert Message(seq).message == [5, 6, 0, 0, 0, 0, 0, 0]

    @pytest.mark.parametrize("seq", [list(range(9)), range(9), (0,) * 9, range(100)])
    def test_more_than_eight(self, seq):
        with pytest.raises(ValueError, match="^message must have at most 8 elements$"):
            Message(seq)

    @pytest.mark.parametrize("value,text", [
        (2**32, "too large"), (2**63 - 1, "too large"),
        (-1, "too small"), (-(2**63), "too small"),
    ])
    def test_out_of_range(self, value, text):
        with pytest.raises(OverflowError, match=f"^number {text} to fit in target type$"):
            Message([0, value])

    @pytest.mark.parametrize("value", [2**64, 2**200, -(2**64)])
    def test_beyond_64_bits(self, value):
        with pytest.raises(OverflowError):
            Message([value])

    @pytest.mark.parametrize("text", ["", "abc"])
    def test_str_refused(self, text):
        with pytest.raises(TypeError, match="Can't extract `str` to `Vec`") as info:
            Message(text)
        assert "'message'" in str(info.value)

    @pytest.mark.parametrize("value", [5, 1.5, {1, 2}, {0: 1}, iter([1]), object()])
    def test_non_sequence_refused(self, value):
        with pytest.raises(TypeError, match="'message'"):
            Message(value)

    @pytest.mark.parametrize("element", [1.0, "1", None, b"x", numpy.float64(1)])
    def test_non_int_element_refused(self, element):
        with pytest.raises(TypeError, match="'message'"):
            Message([1, element])

    def test_bad_calls(self):
        with pytest.raises(TypeError):
            Message([1], [2])
        with pytest.raises(TypeError):
            Message(words=[1])

    def test_setter_clears_then_stores(self):
        m = Message(range(1, 9))
        m.message = [7]
        assert m.message == [7, 0, 0, 0, 0, 0, 0, 0]
        m.message = (1, 2, 3)
        assert m.message == [1, 2, 3, 0, 0, 0, 0, 0]
        m.message = None  # as the constructor takes it
        assert m.message == [0] * 8

    @pytest.mark.parametrize("length", [2**40, 2**100, None])  # 2**100: len() itself overflows
    def test_long_sequence_refused_before_its_elements(self, length):
        # By its length when it has one, else one element past eight.
        class Seq:
            reads = []
            __getitem__ = lambda self, i: self.reads.append(i) or i
            if length:
                __len__ = lambda self: length

        m = Message([5])
        for refuse in (Message, lambda v: setattr(m, "message", v)):
            with pytest.raises(ValueError, match="^message must have at most 8 elements$"):
                refuse(Seq())
        assert Seq.reads == ([] if length else list(range(9)) * 2) and m.message[0] == 5

    @pytest.mark.parametrize("value,exc", [
        (list(range(9)), ValueError), ("ab", TypeError), ([1, 2**32], OverflowError),
        ([1, -1], OverflowError), ([1, "x"], TypeError),
    ])
    def test_refused_setter_changes_nothing(self, value, exc):
        m = Message(range(1, 9))
        with pytest.raises(exc):
            m.message = value
        assert m.message == list(range(1, 9))

    def test_cannot_delete_words(self):
        m = Message([1])
        with pytest.raises(AttributeError):
            del m.message
        assert m.message[0] == 1

    def test_getter_returns_a_new_list(self):
        m = Message([1])
        words = m.message
        words[0] = 5
        words.append(9)
        assert m.message == [1, 0, 0, 0, 0, 0, 0, 0]
        assert m.message is not m.message

    def test_repr(self):
        assert repr(Message()) == "Message(message=[0, 0, 0, 0, 0, 0, 0, 0])"
        assert repr(Message([1])) == "Message(message=[1, 0, 0, 0, 0, 0, 0, 0])"
        assert repr(Message([4294967295])) == "Message(message=[4294967295, 0, 0, 0, 0, 0, 0, 0])"

    def test_usable_from_another_thread(self):
        made = []
        t = threading.Thread(target=lambda: made.append(Message([3])))
        t.start()
        t.join()
        made[0].message = [4]
        assert made[0].message[0] == 4


class TestDeclarations:
    def test_submodule(self):
        assert nrhal.smc.__all__ == ["Message", "Queued"]
        assert repr(Message) == "<class 'builtins.Message'>"
        assert repr(Queued) == "<class 'builtins.Queued'>"

    def test_docs_and_signatures(self):
        assert str(inspect.signature(Message)) == "(message=None)"
        assert Message.__doc__.startswith("An SMC controller message.\n")
        assert Message.message.__doc__ == (
            "Sets the message words.\n\nRaises `ValueError` if `message` has more than 8 elements.")
        assert Queued.__doc__.startswith("A posted SMC message awaiting its reply.\n")
        assert "with sess.post(req) as pending:" in Queued.__doc__
        expected = {  # Session.post and Session.call: with the other Session methods
            Queued.poll: ("(self, /)", "Checks for the reply without blocking."),
            Queued.drop: ("(self, /)", "Discards the message."),
            Queued.__exit__: ("(self, /, _exc_type, _exc_val, _exc_tb)", ""),
        }
        for fn, (sig, summary) in expected.items():
            assert str(inspect.signature(fn)) == sig
            assert (fn.__doc__ or "").split("\n")[0] == summary
        assert "does not\nreliably stop the message" in Queued.drop.__doc__

    def test_queued_cannot_be_made(self):
        with pytest.raises(TypeError):
            Queued()


class TestCall:
    def test_echo_round_trip(self, sess):
        req = Message(ECHO)
        reply = sess.call(req)
        assert reply.message == [nrsim.SMC_OK] + ECHO[1:]
        assert reply is not req and req.message == ECHO
        assert nrsim.smc_messages(0) == [tuple(ECHO)]
        assert ops() == [POST, POLL]

    def test_reply_reaches_the_sessions_card(self):
        with nrhal.Device.from_path("/dev/norvane/1").open() as s:
            assert s.call(Message([nrsim.SMC_STATUS])).message[3] == 1
        assert nrsim.smc_messages(0) == []

    def test_firmware_status_is_not_inspected(self, sess):
        assert sess.call(Message([0x77, 1])).message == [nrsim.SMC_UNKNOWN] + [0] * 7
        nrsim.smc_reply(0, 0x10, [0xDEAD, 0xFFFFFFFF])
        assert sess.call(Message([0x10])).message == [0xDEAD, 0xFFFFFFFF] + [0] * 6

    def test_arguments(self, sess):
        assert sess.call(req=Message([1, 5]), timeout=0.5).message[1] == 5
        with pytest.raises(TypeError, match="'req'"):
            sess.call([1, 5])
        with pytest.raises(TypeError, match="'req'"):
            sess.post(None)
        with pytest.raises(TypeError, match="'timeout'"):
            sess.call(Message([1]), "1")
        with pytest.raises(TypeError, match="^Session.call\\(\\) argument 'timeout': int too large to convert"):
            sess.call(Message([1]), timeout=10**400)
        with pytest.raises(TypeError):
            sess.call()
        assert ops() == [POST, POLL]  # only the first call reached the driver

    @pytest.mark.parametrize("timeout", [float("nan"), float("inf"), float("-inf"), -1, -1e-9])
    def test_bad_timeout_sends_nothing(self, sess, timeout):
        with pytest.raises(ValueError, match="^timeout must be a non-negative number of seconds$"):
            sess.call(Message(ECHO), timeout=timeout)
        assert nrsim.requests(0) == []

    @pytest.mark.parametrize("timeout", [-0.0, 0, 0.0, 2**40, 1e300, numpy.float32(0.5)])
    def test_accepted_timeouts(self, sess, timeout):
        assert sess.call(Message(ECHO), timeout=timeout).message[1] == 1

    @pytest.mark.parametrize("polls", [0, 1, 5, 32, 40])
    def test_reply_at_the_poll_it_is_ready(self, sess, polls):
        nrsim.smc_delay(0, polls=polls)
        assert sess.call(Message(ECHO), timeout=1).message[1] == 1
        assert ops() == [POST] + [POLL] * (polls + 1)

    @pytest.mark.parametrize("timeout", [0.001, 0.0005, 0.00149])  # 1 ms each
    def test_timeout_in_whole_milliseconds(self, sess, timeout):
        # A 1 ms wait times out at the first pending poll after its first
        # sleep: the spin, one sleep, one poll.  A 0 ms (default) wait would
        # go on polling for a second.
        nrsim.smc_hang(0)
        raises_errno(errno.ETIMEDOUT, sess.call, Message(ECHO), timeout=timeout)
        polls = ops()[1:-1]
        assert 1 <= len(polls) <= SPIN + 1 and set(polls) == {POLL}
        assert ops()[-1] == DROP

    def test_spin_then_one_poll_per_millisecond(self, sess):
        nrsim.smc_hang(0)
        # 33 back to back, then at most one per sleep of at least 1 ms.  The
        # wait is long enough for the 33 on a busy machine, and within one
        # of the binding's 50 ms slices (each native wait spins afresh).
        raises_errno(errno.ETIMEDOUT, sess.call, Message(ECHO), timeout=0.045)
        assert SPIN <= ops().count(POLL) <= SPIN + 46

    @pytest.mark.parametrize("timeout", [None, 0.00049])  # both 0 ms: the default second
    def test_zero_means_the_default_wait(self, sess, timeout):
        nrsim.smc_hang(0)
        raises_errno(errno.ETIMEDOUT, sess.call, Message(ECHO), timeout=timeout)
        assert ops().count(POLL) > SPIN + 1

    def test_timed_out_message_was_dropped(self, sess):
        nrsim.smc_hang(0)
        raises_errno(errno.ETIMEDOUT, sess.call, Message(ECHO), timeout=0.001)
        assert ops()[-1] == DROP
        nrsim.smc_hang(0, False)
        sess.post(Message(ECHO)).drop()  # the session is free again
        assert ops()[-2:] == [POST, DROP]

    def test_busy_call_drops_nothing(self, sess):
        nrsim.smc_hang(0)
        with sess.post(Message(ECHO)) as pending:
            raises_errno(errno.EBUSY, sess.call, Message(ECHO), timeout=1)
            assert ops() == [POST, POST]  # the first one is still outstanding
            assert repr(pending) == "Queued(done=false)"

    def test_closed_session(self, sess):
        q = sess.post(Message(ECHO))
        sess.close()
        nrsim.clear_log()
        raises_errno(errno.ENOTCONN, sess.post, Message(ECHO))
        raises_errno(errno.ENOTCONN, sess.call, Message(ECHO))
        raises_errno(errno.ENOTCONN, q.poll)
        assert repr(q) == "Queued(done=true)"
        q.drop()
        assert nrsim.requests(0) == []

    def test_lost_connection_is_not_retried(self):
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=True) as s:
            q = s.post(Message(ECHO))
            opened = len(nrsim.opens(0))
            nrsim.sever(0)
            raises_errno(errno.ECONNRESET, s.call, Message(ECHO))
            raises_errno(errno.ECONNRESET, s.post, Message(ECHO))
            raises_errno(errno.ECONNRESET, q.poll)
            assert repr(q) == "Queued(done=true)"
            assert len(nrsim.opens(0)) == opened
            assert repr(s) == "Session(id=0)"


class TestQueued:
    def test_poll_until_the_reply(self, sess):
        nrsim.smc_delay(0, polls=2)
        q = sess.post(Message(ECHO))
        assert repr(q) == "Queued(done=false)"
        assert q.poll() is None and q.poll() is None
        assert repr(q) == "Queued(done=false)"
        assert q.poll().message == [0] + ECHO[1:]
        assert repr(q) == "Queued(done=true)"
        q.drop()  # no-op after the reply
        assert ops() == [POST, POLL, POLL, POLL]

    @pytest.mark.parametrize("let_go", ["reply", "reopen", "reopen-drop", "reopen-collect"])
    def test_handle_never_touches_a_message_not_its_own(self, sess, let_go):
        # Done, or from before a reopen: answered without asking the driver.
        nrsim.smc_hang(0, let_go != "reply")
        old = sess.post(Message(ECHO))
        if let_go == "reply":
            assert old.poll() is not None
        else:
            sess.reopen()  # the old message went with the old descriptor
            nrsim.smc_hang(0, False)
        new = sess.post(Message([nrsim.SMC_ECHO, 7]))
        nrsim.clear_log()
        if let_go.endswith("drop"):
            old.drop()
        elif let_go.endswith("collect"):
            del old
            gc.collect()
        else:
            raises_errno(errno.ENOMSG, old.poll)
        assert ops() == [] and new.poll().message[1] == 7

    def test_drop_once(self, sess):
        nrsim.smc_hang(0)
        q = sess.post(Message(ECHO))
        assert q.drop() is None
        assert repr(q) == "Queued(done=true)"
        q.drop()
        q.__exit__(None, None, None)
        del q
        gc.collect()
        assert ops() == [POST, DROP]

    def test_busy_while_outstanding(self, sess):
        nrsim.smc_hang(0)
        q = sess.post(Message(ECHO))
        raises_errno(errno.EBUSY, sess.post, Message(ECHO))
        q.drop()
        sess.post(Message(ECHO)).drop()

    def test_with_block_left_by_an_exception(self, sess):
        nrsim.smc_hang(0)
        with pytest.raises(KeyError):
            with sess.post(Message(ECHO)) as pending:
                assert isinstance(pending, Queued)
                raise KeyError("out")
        assert repr(pending) == "Queued(done=true)"
        assert ops() == [POST, DROP]

    def test_with_block_after_the_reply(self, sess):
        with sess.post(Message(ECHO)) as pending:
            assert pending.poll().message[1] == 1
        assert pending.__exit__(None, None, None) is False
        assert ops() == [POST, POLL]

    def test_collected_handle_drops(self, sess):
        nrsim.smc_hang(0)
        sess.post(Message(ECHO))  # the handle dies at once
        assert ops() == [POST, DROP]
        q = sess.post(Message(ECHO))
        del q
        assert ops() == [POST, DROP, POST, DROP]

    def test_collection_after_close_raises_nothing(self, sess):
        q = sess.post(Message(ECHO))
        sess.close()
        nrsim.clear_log()
        del q
        gc.collect()
        assert nrsim.requests(0) == []

    def test_handle_keeps_its_session(self):
        nrsim.smc_delay(0, polls=1)
        q = nrhal.Device.from_path("/dev/norvane/0").open().post(Message(ECHO))
        gc.collect()
        assert nrsim.open_count(0) == 1
        assert q.poll() is None
        assert q.poll().message[7] == 0xFFFFFFFF
        del q
        assert nrsim.open_count(0) == 0


class TestWaitingCall:
    """While Session.call waits in one thread it holds the session shared,
    with the interpreter lock released."""

    def test_borrow_rules(self, sess):
        earlier = sess.post(Message(ECHO))
        assert earlier.poll() is not None
        nrsim.smc_hang(0)
        nrsim.clear_log()  # so that the poll awaited below is the call's own
        req, result = Message(ECHO), []
        t = threading.Thread(target=lambda: result.append(sess.call(req, timeout=60)))
        t.start()
        try:
            wait_for(lambda: POLL in ops())
            for fn in (sess.close, sess.info, sess.reopen, lambda: sess.__exit__(None, None, None)):
                with pytest.raises(RuntimeError, match="^Already borrowed$"):
                    fn()
            raises_errno(errno.EBUSY, sess.post, Message(ECHO))
            raises_errno(errno.EBUSY, sess.call, Message(ECHO))
            raises_errno(errno.ENOMSG, earlier.poll)  # done: the call's message is not its own
            assert sess.dev().id == 0
            assert repr(sess) == "Session(id=0)"
            req.message = [9]  # its words were copied: the wait does not hold it
        finally:
            nrsim.smc_hang(0, False)  # completes the held message
            t.join()
        assert result[0].message == [0] + ECHO[1:]
        sess.reopen()  # free again
        assert ops().count(DROP) == 0
