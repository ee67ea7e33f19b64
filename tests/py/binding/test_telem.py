"""Telemetry: the Tag enumeration (values, slots, comparisons), Telemetry
snapshots (lookup, errors, independence from the session) and
Session.telemetry (the simulator's firmware, failures, the persistent rule,
sole use of the session)."""
import errno
import gc
import inspect
import operator
import struct
import threading

import numpy
import pytest

import nrhal
import nrsim
from nrhal.smc import Message
from nrhal.telem import Tag, Telemetry
from conftest import raises_errno, wait_for

ALLOC = 0xFA0B
SMC, POLL = 0xFA11, 2
DEVICE_IDS = {0: 0x401E, 1: 0xB140}
# Tag number -> name from the simulator's firmware, which lists tag 33 under
# no name: an independent account of which value sits in which slot.
NAMES = nrsim.TELEM_NAMES

pytestmark = pytest.mark.usefixtures("frozen_firmware")


def members():
    """Tag's members in declaration order."""
    return [(name, m) for name, m in vars(Tag).items() if type(m) is Tag]


def numbered(n):
    """Gives every tag 1..68 of card n a value that names it."""
    for tag in range(1, 69):
        nrsim.telem_set(n, tag, 0xA5000000 | tag)


class TestTag:
    def test_members_follow_the_firmware_names_skipping_tag_33(self):
        expected = [NAMES[tag] for tag in sorted(NAMES)]
        assert len(expected) == 67 and 33 not in NAMES
        assert [name for name, _ in members()] == expected
        for value, (name, m) in enumerate(members()):
            assert int(m) == value and repr(m) == f"Tag.{name}"
            assert getattr(Tag, name) is m  # one shared instance

    def test_no_construction_or_change(self):
        for args in ((), (0,)):
            with pytest.raises(TypeError):
                Tag(*args)
        with pytest.raises(TypeError):
            Tag.Extra = 1
        with pytest.raises(TypeError):
            Tag.AiClk = Tag.Tdc

    @pytest.mark.parametrize("other,equal", [
        (Tag.Tdc, True), (Tag.Tdp, False),
        (7, True), (6, False), (-7, False),
        (numpy.uint8(7), True), (numpy.int64(8), False),
        (2**63 - 1, False), (-2**63, False),
        (2**64 + 7, False),  # outside 64 signed bits: not an integer to compare
        (7.0, False), ("Tdc", False), (None, False), (nrhal.tlb.Size.Mb1, False),
    ])
    def test_equality(self, other, equal):
        assert (Tag.Tdc == other) is equal and (Tag.Tdc != other) is (not equal)
        # Reflected: NumPy scalars answer with NumPy booleans.
        assert bool(other == Tag.Tdc) is equal and bool(other != Tag.Tdc) is (not equal)

    def test_bools_and_index_objects_are_integers(self):
        class Index:
            def __init__(self, v):
                self.v = v

            def __index__(self):
                return self.v

        assert Tag.BoardIdLow == True and Tag.BoardIdHigh == False  # noqa: E712
        assert Tag.BoardIdHigh != True  # noqa: E712
        assert Tag.AiClk == Index(13) and Tag.AiClk != Index(14)
        assert Tag.AiClk != Index(2**64)
        assert Tag.AiClk.__eq__(2**64) is NotImplemented
        assert Tag.AiClk.__eq__(7.0) is NotImplemented

    def test_a_failing_index_is_not_swallowed(self):
        class Broken:
            def __index__(self):
                raise ValueError("broken index")

        with pytest.raises(ValueError, match="broken index"):
            Tag.AiClk == Broken()  # noqa: B015

    @pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
    @pytest.mark.parametrize("other", [Tag.Tdp, 6, 6.5])
    def test_no_ordering(self, op, other):
        with pytest.raises(TypeError):
            op(Tag.Tdc, other)
        assert getattr(Tag.Tdc, f"__{op.__name__}__")(other) is NotImplemented

    @pytest.mark.parametrize("use", [hash, lambda m: {m}, lambda m: {m: 1}, operator.index,
                                     lambda m: list(range(40))[m]])
    def test_unhashable_and_no_index(self, use):
        with pytest.raises(TypeError):
            use(Tag.AiClk)


class TestSnapshot:
    @pytest.mark.parametrize("card", [0, 1])
    def test_every_member_reads_its_own_slot(self, card):
        numbered(card)
        with nrhal.Device.from_path(f"/dev/norvane/{card}").open() as s:
            t = s.telemetry()
        for tag, name in NAMES.items():
            m = getattr(Tag, name)
            assert t[m] == t.get(m) == 0xA5000000 | tag, name
        assert all(t[m] != 0xA5000000 | 33 for _, m in members())  # no member reads slot 33

    @pytest.mark.parametrize("card", [0, 1])
    def test_firmware_defaults(self, card):
        with nrhal.Device.from_path(f"/dev/norvane/{card}").open() as s:
            t = s.telemetry()
        defaults = nrsim.TELEM_DEFAULTS[DEVICE_IDS[card]]
        assert {name: t[getattr(Tag, name)] for tag, name in NAMES.items() if tag != nrsim.TELEM_HEARTBEAT} == {
            name: defaults[tag] for tag, name in NAMES.items() if tag != nrsim.TELEM_HEARTBEAT}

    def test_values_are_unsigned_32_bit(self, sess):
        nrsim.telem_set(0, 14, 0xFFFFFFFF)
        nrsim.telem_set(0, 15, 0x80000000)
        t = sess.telemetry()
        assert t[Tag.AiClk] == 0xFFFFFFFF and t[Tag.AxiClk] == 0x80000000
        assert type(t[Tag.AiClk]) is int

    def test_unreported_tags_read_zero(self, sess):
        nrsim.telem_table(0, [(1, 1), (14, 14), (40, 40)])
        for tag in (1, 14, 40):
            nrsim.telem_set(0, tag, 1000 + tag)
        t = sess.telemetry()
        reported = {"BoardIdHigh": 1001, "AiClk": 1014, "NocTranslation": 1040}  # members are unhashable
        for name, m in members():
            assert t[m] == t.get(m) == reported.get(name, 0), name

    def test_the_snapshot_is_a_copy(self, sess):
        nrsim.telem_set(0, nrsim.TELEM_HEARTBEAT, 5)
        first = sess.telemetry()
        nrsim.telem_set(0, nrsim.TELEM_HEARTBEAT, 6)
        nrsim.telem_set(0, 14, 1)
        second = sess.telemetry()
        assert (first[Tag.TimerHeartbeat], second[Tag.TimerHeartbeat]) == (5, 6)
        assert first[Tag.AiClk] != 1 and second[Tag.AiClk] == 1

    def test_outlives_its_session_and_card(self):
        numbered(0)
        s = nrhal.Device.from_path("/dev/norvane/0").open()
        t = s.telemetry()
        s.close()
        nrsim.sever(0)
        del s
        gc.collect()
        assert t[Tag.AiClk] == 0xA5000000 | 14 and repr(t) == "Telemetry([69 entries])"

    def test_lookup_arguments(self, sess):
        t = sess.telemetry()
        assert t.get(tag=Tag.Vcore) == t[Tag.Vcore]
        for bad in (5, numpy.int64(5), True, "AiClk", None, 5.0, nrhal.tlb.Size.Mb1):
            with pytest.raises(TypeError, match=r"'tag'.*must be Tag"):
                t[bad]
            with pytest.raises(TypeError, match=r"^Telemetry\.get\(\) argument 'tag' must be Tag"):
                t.get(bad)
        with pytest.raises(TypeError, match="'tag'"):
            t.get()
        with pytest.raises(TypeError, match="'slot'"):
            t.get(slot=Tag.AiClk)
        with pytest.raises(TypeError):
            t.get(Tag.AiClk, Tag.Tdc)

    def test_read_only(self, sess):
        t = sess.telemetry()
        with pytest.raises(TypeError):
            t[Tag.AiClk] = 1
        with pytest.raises(AttributeError):
            t.values = []
        with pytest.raises(TypeError):
            Telemetry()
        with pytest.raises(TypeError):
            Telemetry.__new__(Telemetry)

    def test_running_firmware(self):
        # Ticking at its own pace: every snapshot succeeds (a copy that saw a
        # tick is made again) and the values the firmware never moves hold.
        nrsim.telem_period(0, nrsim.TELEM_PERIOD_MS)
        with nrhal.Device.from_path("/dev/norvane/0").open() as s:
            snaps = [s.telemetry() for _ in range(20)]
        defaults = nrsim.TELEM_DEFAULTS[0x401E]
        assert all(t[Tag.BoardIdHigh] == defaults[1] and t[Tag.AsicId] == defaults[3] for t in snaps)


class TestSessionTelemetry:
    def test_closed(self, sess):
        sess.close()
        nrsim.clear_log()
        raises_errno(errno.ENOTCONN, sess.telemetry)
        assert nrsim.requests(0) == []

    @pytest.mark.parametrize("persistent", [False, True])
    def test_unsupported_card(self, persistent):
        nrsim.set_identity(0, device_id=0x1234)
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=persistent) as s:
            opens = len(nrsim.opens(0))
            raises_errno(errno.ENOTSUP, s.telemetry)
            assert len(nrsim.opens(0)) == opens  # never reopened
            assert repr(s) == "Session(id=0)"

    def test_severed(self, sess):
        nrsim.sever(0)
        raises_errno(errno.ECONNRESET, sess.telemetry)

    def test_severed_persistent_reopens_and_retries(self):
        numbered(0)
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=True) as s:
            opens = len(nrsim.opens(0))
            nrsim.sever(0)  # the new incarnation publishes the defaults again
            t = s.telemetry()
            assert len(nrsim.opens(0)) == opens + 1
            assert t[Tag.AiClk] == nrsim.TELEM_DEFAULTS[0x401E][14]

    def test_persistent_keeps_other_errors(self):
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=True) as s:
            opens = len(nrsim.opens(0))
            nrsim.fail(0, ALLOC, errno.EBUSY)
            raises_errno(errno.EBUSY, s.telemetry)
            assert len(nrsim.opens(0)) == opens

    @pytest.mark.parametrize("table,pointers", [
        ([(1, 1), (14, 14), (1, 2)], None),  # tag 1 listed twice
        (None, (0x0FFFFFFF, nrsim.TELEM_DATA_ADDR)),
        (None, (nrsim.TELEM_TABLE_ADDR, 0x10080000)),
    ])
    def test_malformed(self, sess, table, pointers):
        if table:
            nrsim.telem_table(0, table)
        if pointers:
            nrsim.telem_pointers(0, *pointers)
        raises_errno(errno.EIO, sess.telemetry)
        nrsim.telem_restore(0)
        assert sess.telemetry()[Tag.BoardIdHigh] == nrsim.TELEM_DEFAULTS[0x401E][1]

    def test_sole_use_of_the_session(self, sess):
        # A call waiting in another thread holds the session shared.
        nrsim.smc_hang(0)
        result = []
        t = threading.Thread(target=lambda: result.append(sess.call(Message([nrsim.SMC_ECHO]), timeout=60)))
        t.start()
        try:
            wait_for(lambda: any(number == SMC and struct.unpack_from("<I", rec, 4)[0] == POLL
                                 for number, rec in nrsim.requests(0)))
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                sess.telemetry()
        finally:
            nrsim.smc_hang(0, False)
            t.join()
        assert len(result) == 1
        assert sess.telemetry()[Tag.BoardIdHigh] == nrsim.TELEM_DEFAULTS[0x401E][1]


def test_declarations():
    assert nrhal.telem.__all__ == ["Tag", "Telemetry"]
    for cls in (Tag, Telemetry):
        assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    assert Tag.__doc__ == "Telemetry tag for indexing a `Telemetry` snapshot."
    assert Telemetry.__doc__ == "A snapshot of device telemetry values, indexed by `Tag`."
    assert str(inspect.signature(nrhal.Session.telemetry)) == "(self, /)"
    assert str(inspect.signature(Telemetry.get)) == "(self, /, tag)"
    assert Telemetry.get.__doc__ == "Returns the value for `tag`, or `None` if the tag is out of range."
    doc = nrhal.Session.telemetry.__doc__
    assert doc.startswith("Reads a complete telemetry snapshot.\n\nTags the firmware does not report read as zero.\n")
    for err in ("ENOTCONN", "ECONNRESET", "EIO", "ENOTSUP"):
        assert f"- `{err}` if " in doc
