"""Power features: Flag's members and operators, and Session.power with the
record it sends, the driver's OR across sessions and the persistent resend.
Session.power's sole use of the session is tested with the reset."""
import errno
import operator
import struct

import pytest

import nrhal
import nrsim
from nrhal.power import Flag
from conftest import dev, raises_errno

pytestmark = pytest.mark.usefixtures("no_session_left_open")

POWER = 0xFA0F  # the power request
SHARED_FLAGS = 0x80402

MEMBERS = {"MaxAiClk": 0x0001, "MriscPhyWakeup": 0x0002, "VexelEnable": 0x0004,
           "L2CpuEnable": 0x0008, "HI": 0xFFFF, "LO": 0x0000}


def record(mask):
    """The 40-byte request: argsz, flags, reserved0, flag_count 4, the mask."""
    return struct.pack("<IIBBH28x", 40, 0, 0, 4, mask)


def sent(n=0):
    return [rec for number, rec in nrsim.requests(n) if number == POWER]


class TestFlag:
    @pytest.mark.parametrize("name", MEMBERS)
    def test_members(self, name):
        f = getattr(Flag, name)
        assert type(f) is Flag
        assert int(f) == MEMBERS[name]
        assert repr(f) == f"Flag(0x{MEMBERS[name]:04x})"  # lowercase: Flag(0xffff)
        assert getattr(Flag, name) is f  # made once, with the class

    def test_or_makes_a_new_flag(self):
        a, b = Flag.MaxAiClk, Flag.L2CpuEnable
        c = a | b
        assert type(c) is Flag
        assert (int(c), repr(c)) == (9, "Flag(0x0009)")
        assert (int(a), int(b)) == (1, 8)  # operands unchanged
        assert c is not (a | b)
        assert int(Flag.HI | Flag.MaxAiClk) == 0xFFFF

    @pytest.mark.parametrize("other", [1, 0, True, None, "x", nrhal.tlb.Size.Mb1])
    def test_or_with_anything_else_is_refused(self, other):
        with pytest.raises(TypeError):
            Flag.MaxAiClk | other
        with pytest.raises(TypeError):
            other | Flag.MaxAiClk

    def test_equality_and_hash_are_identity(self):
        assert Flag.VexelEnable == Flag.VexelEnable
        assert (Flag.VexelEnable | Flag.LO) != Flag.VexelEnable
        assert int(Flag.VexelEnable | Flag.LO) == int(Flag.VexelEnable)
        assert Flag.LO != 0
        assert len({Flag.MaxAiClk | Flag.LO, Flag.MaxAiClk | Flag.LO}) == 2

    def test_every_flag_is_true(self):
        assert bool(Flag.LO) is True
        assert bool(int(Flag.LO)) is False

    @pytest.mark.parametrize("use", [
        lambda f: f & f, lambda f: f ^ f, lambda f: ~f, lambda f: f < f,
        operator.index, hex, lambda f: [0, 1, 2][f],
    ])
    def test_nothing_else(self, use):
        with pytest.raises(TypeError):
            use(Flag.MaxAiClk)

    def test_cannot_be_made_or_changed(self):
        with pytest.raises(TypeError):
            Flag()
        with pytest.raises(TypeError):
            Flag.MaxAiClk = Flag.HI
        with pytest.raises(AttributeError):
            Flag.MaxAiClk.mask = 3
        assert int(Flag.MaxAiClk) == 1

    def test_class(self):
        assert nrhal.power.__all__ == ["Flag"]
        assert (Flag.__module__, Flag.__qualname__) == ("builtins", "Flag")
        assert Flag.__doc__ == (
            "Power feature flag.\n\nA single controllable power feature on the device. Combine flags with `|`\n"
            "and pass to `Session.power()` to request the desired power state.")


class TestRequest:
    @pytest.mark.parametrize("flags,mask", [
        (Flag.MaxAiClk, 0x1), (Flag.MriscPhyWakeup | Flag.L2CpuEnable, 0xA),
        (Flag.LO, 0x0), (Flag.HI, 0xFFFF),
    ])
    def test_record(self, sess, flags, mask):
        assert sess.power(flags) is None
        assert sent() == [record(mask)]
        assert nrsim.power(0) == mask

    def test_each_request_replaces_the_last(self, sess):
        sess.power(Flag.HI)
        sess.power(flags=Flag.MaxAiClk)
        assert nrsim.power(0) == 1
        sess.power(Flag.LO)
        assert nrsim.power(0) == 0
        assert sent() == [record(0xFFFF), record(1), record(0)]

    @pytest.mark.parametrize("value", [0, 1, None, nrhal.tlb.Caching.Uncached])
    def test_only_a_flag(self, sess, value):
        with pytest.raises(TypeError, match=r"power\(\) argument 'flags' must be Flag"):
            sess.power(value)
        with pytest.raises(TypeError):
            sess.power(mask=Flag.HI)
        assert sent() == []

    def test_closed_session(self):
        s = dev().open(persistent=True)
        s.close()
        nrsim.clear_log()
        raises_errno(errno.ENOTCONN, s.power, Flag.HI)
        assert sent() == []
        assert nrsim.opens(0) == []  # closed is closed, persistent or not

    def test_driver_error_passes_through(self, sess):
        nrsim.fail(0, POWER, errno.EPERM)
        raises_errno(errno.EPERM, sess.power, Flag.HI)
        sess.power(Flag.MaxAiClk)
        assert nrsim.power(0) == 1


class TestAcrossSessions:
    def test_the_driver_ors_open_sessions(self):
        a, b, other = dev().open(), dev().open(), dev(1).open()
        try:
            a.power(Flag.MaxAiClk)
            b.power(Flag.VexelEnable | Flag.MaxAiClk)
            other.power(Flag.L2CpuEnable)
            assert (nrsim.power(0), nrsim.power(1)) == (0x5, 0x8)
            b.power(Flag.LO)  # only b's own part goes
            assert nrsim.power(0) == 0x1
            b.power(Flag.VexelEnable)
            a.close()  # a's part ends with its descriptor
            assert nrsim.power(0) == 0x4
        finally:
            for s in (a, b, other):
                s.close()
        assert nrsim.power(0) == 0

    def test_reopen_drops_the_request(self, sess):
        sess.power(Flag.HI)
        sess.reopen()
        assert nrsim.power(0) == 0


class TestAfterReset:
    def test_persistent_session_sends_again(self):
        s = dev().open(persistent=True)
        nrsim.clear_log()
        nrsim.sever(0)
        s.power(Flag.MaxAiClk | Flag.VexelEnable)
        assert nrsim.opens(0) == [SHARED_FLAGS]  # one reopen
        assert sent() == [record(5), record(5)]  # the lost one, then again
        assert nrsim.power(0) == 5
        s.close()

    def test_another_operation_does_not_restore_it(self):
        s = dev().open(persistent=True)
        s.power(Flag.HI)
        nrsim.sever(0)
        s.info()  # reopens
        assert nrsim.power(0) == 0
        s.close()

    def test_without_persistent(self, sess):
        sess.power(Flag.HI)
        nrsim.sever(0)
        raises_errno(errno.ECONNRESET, sess.power, Flag.HI)
        assert nrsim.opens(0) == []
        sess.reopen()
        sess.power(Flag.L2CpuEnable)
        assert nrsim.power(0) == 8
