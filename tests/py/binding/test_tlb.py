"""TLB windows: the Size and Caching enumerations, Config, Session.alloc,
Tlb (bind, free, lifetime) and Window (accessors, bulk copies, bounds), the
binding of Tlb and Window to their thread, what they leave behind, accesses
to a card reset out of band (beside the interpreter's faulthandler), and
Tlbs left over from before a reopen."""
import array
import errno
import gc
import inspect
import json
import operator
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy
import pytest

import nrhal
import nrsim
from nrhal.tlb import Caching, Config, Size, Tlb, Window

ALLOC, FREE, CONFIGURE = 0xFA0B, 0xFA0C, 0xFA0D
MIB = 1 << 20
BYTES = [MIB, 2 * MIB, 16 * MIB, 4 << 30]  # by int(Size); members are unhashable
# (card, size): every size that each simulated card offers.
OFFERED = [(0, Size.Mb1), (0, Size.Mb2), (0, Size.Mb16), (1, Size.Mb2), (1, Size.Gb4)]
WIDTHS = {1: ("read_u8", "write_u8"), 4: ("read_u32", "write_u32"), 8: ("read_u64", "write_u64")}
U64_MAX = 2**64 - 1
NOT_MAPPED = "^TLB window is not mapped$"


def own_fds():
    """Descriptors of this process, less the simulator's device memory (its
    memfds, made as tiles are first touched and kept until nrsim.reset)."""
    fds = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            if not os.readlink(f"/proc/self/fd/{name}").startswith("/memfd:nrsim"):
                fds.add(name)
        except OSError:
            continue  # the listing's own descriptor, gone by now
    return fds


def window_maps():
    """The memfd mappings in /proc/self/maps, as the simulator's device
    memory shows there."""
    with open("/proc/self/maps") as f:
        return sorted(line for line in f if "memfd:" in line)


@pytest.fixture(autouse=True)
def nothing_left_behind():
    """Every test gives back what it takes: once dropped objects are
    collected, no window is allocated or mapped and no descriptor is open."""
    fds, maps, mapped = own_fds(), window_maps(), nrsim.mapping_count()
    yield
    gc.collect()
    assert [nrsim.windows(n) for n in nrsim.devices()] == [[], []]
    assert nrsim.mapping_count() == mapped
    assert window_maps() == maps
    assert {n: nrsim.open_count(n) for n in nrsim.devices() if nrsim.open_count(n)} == {}
    assert own_fds() == fds


def requests(n=0, numbers=(ALLOC, FREE, CONFIGURE)):
    return [number for number, _ in nrsim.requests(n) if number in numbers]


def in_thread(fn, *args):
    """Runs fn(*args) in a new thread: ("ok", result) or ("raised", exception)."""
    out = []

    def run():
        try:
            out.append(("ok", fn(*args)))
        except BaseException as e:  # PanicException is not an Exception
            out.append(("raised", e))

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return out[0]


def run_python(code):
    """Runs code in a fresh interpreter on the simulator; returns its JSON output.
    For cases that keep a mapping for the rest of the process by design."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


class TestEnumerations:
    @pytest.mark.parametrize("cls,members", [
        (Size, ["Mb1", "Mb2", "Mb16", "Gb4"]), (Caching, ["Uncached", "WriteCombined"]),
    ])
    def test_members(self, cls, members):
        for value, name in enumerate(members):
            m = getattr(cls, name)
            assert type(m) is cls and m is getattr(cls, name)  # one shared instance
            assert int(m) == value and repr(m) == f"{cls.__name__}.{name}"
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls.Extra = 1

    def test_equality_within_one_enumeration_only(self):
        assert Size.Mb1 == Size.Mb1 and not Size.Mb1 != Size.Mb1
        assert Size.Mb1 != Size.Mb2 and not Size.Mb1 == Size.Mb2
        assert Size.Mb1 != Caching.Uncached  # both are value 0
        assert not Size.Mb1 == 0 and Size.Mb1 != 0
        assert Size.Mb1.__eq__(0) is NotImplemented

    @pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge, lambda a, b: hash(a),
                                    lambda a, b: operator.index(a), lambda a, b: [0, 1][a]])
    def test_no_ordering_hash_or_index(self, op):
        # int() converts, but a member never passes for an int by accident.
        with pytest.raises(TypeError):
            op(Size.Mb1, Size.Mb2)


class TestConfig:
    def test_fields_and_repr(self):
        c = Config(0x10000000, 8, 0)
        assert (c.addr, c.x_end, c.y_end, c.x_start, c.y_start, c.noc, c.mcast, c.linked, c.static_vc) == (
            0x10000000, 8, 0, 0, 0, 0, False, False, 0)
        assert repr(c) == "Config(addr=0x0000000010000000, x_end=8, y_end=0, noc=0)"
        c = Config(static_vc=251, linked=True, mcast=True, noc=1, y_start=252, x_start=253, y_end=254, x_end=255,
                   addr=numpy.uint64(U64_MAX))
        assert (c.addr, c.x_end, c.y_end, c.x_start, c.y_start, c.noc, c.mcast, c.linked, c.static_vc) == (
            U64_MAX, 255, 254, 253, 252, 1, True, True, 251)
        assert repr(c) == "Config(addr=0xffffffffffffffff, x_end=255, y_end=254, noc=1)"
        with pytest.raises(AttributeError):
            c.addr = 5
        assert c != Config(0, 1, 1) and c == c  # compared by identity

    @pytest.mark.parametrize("args,kwargs,exc,name", [
        ((0, 1, 1), {"mcast": 1}, TypeError, "mcast"),  # an int is not a bool
        ((0, 1, 1), {"linked": None}, TypeError, "linked"),
        ((0, 1, 1), {"mcast": numpy.bool_(True)}, TypeError, "mcast"),  # only Device.open takes these
        ((0, 256, 0), {}, OverflowError, None),
        ((0, 0, 0), {"static_vc": -1}, OverflowError, None),
        ((2**64, 0, 0), {}, OverflowError, None),
        ((1.0, 0, 0), {}, TypeError, "addr"),
        # The first argument in signature order decides.
        ((-1, "x", 0), {}, OverflowError, None),
        ((0, "x", 256), {}, TypeError, "x_end"),
        ((0, 0, 0, 0, 0, 256), {"mcast": 1}, OverflowError, None),
        ((0, 0, 0), {"mcast": 1, "static_vc": 256}, TypeError, "mcast"),
        ((0, 1), {}, TypeError, "y_end"),
        ((0, 1, 1), {"color": 1}, TypeError, "color"),
    ])
    def test_refused(self, args, kwargs, exc, name):
        with pytest.raises(exc) as info:
            Config(*args, **kwargs)
        if name:
            assert f"'{name}'" in str(info.value)


def test_declarations():
    assert nrhal.tlb.__all__ == ["Size", "Caching", "Config", "Tlb", "Window"]
    for cls in (Tlb, Window):
        with pytest.raises(TypeError):
            cls()
    signatures = {
        Config: "(addr, x_end, y_end, x_start=0, y_start=0, noc=0, mcast=False, linked=False, static_vc=0)",
        Tlb.bind: "(self, /, cfg)", Tlb.free: "(self, /)", Tlb.__exit__: "(self, /, _exc_type, _exc_val, _exc_tb)",
        Window.read_u8: "(self, /, offset)", Window.write_u64: "(self, /, offset, value)",
        Window.read: "(self, /, offset, size)", Window.write: "(self, /, offset, data)",
    }
    assert {fn: str(inspect.signature(fn)) for fn in signatures} == signatures


class TestAlloc:
    @pytest.mark.parametrize("card,size", OFFERED)
    def test_every_offered_size(self, card, size):
        with nrhal.Device.from_path(f"/dev/norvane/{card}").open() as s:
            tlb = s.alloc(size, Caching.Uncached)
            (win,) = nrsim.windows(card)
            assert win.size == BYTES[int(size)] and not win.configured and win.mappings == 0
            assert repr(tlb) == f"Tlb(id={win.id})"
            tlb.free()

    @pytest.mark.parametrize("card,size", [(0, Size.Gb4), (1, Size.Mb1), (1, Size.Mb16)])
    def test_size_the_card_lacks(self, card, size):
        with nrhal.Device.from_path(f"/dev/norvane/{card}").open() as s:
            with pytest.raises(nrhal.NRError) as info:
                s.alloc(size, Caching.WriteCombined)
            assert info.value.errno == errno.EINVAL

    def test_arguments(self, sess):
        for args, name in [((1, Caching.Uncached), "size"), ((Caching.Uncached, Caching.Uncached), "size"),
                           ((Size.Mb1, 0), "caching"), ((Size.Mb1, Size.Mb1), "caching")]:
            with pytest.raises(TypeError, match=f"'{name}'"):
                sess.alloc(*args)
        assert requests() == []
        sess.alloc(caching=Caching.WriteCombined, size=Size.Mb1).free()
        assert requests() == [ALLOC, FREE]
        sess.close()
        with pytest.raises(nrhal.NRError) as info:
            sess.alloc(Size.Mb1, Caching.Uncached)
        assert info.value.errno == errno.ENOTCONN

    @pytest.mark.parametrize("persistent", [False, True])
    def test_lost_connection(self, persistent):
        # Only a persistent session reopens and allocates again.
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=persistent) as s:
            nrsim.fail(0, ALLOC, errno.ENODEV)  # the driver's word for a reset card
            if persistent:
                s.alloc(Size.Mb2, Caching.Uncached).free()
            else:
                with pytest.raises(nrhal.NRError) as info:
                    s.alloc(Size.Mb2, Caching.Uncached)
                assert info.value.errno == errno.ECONNRESET
        assert requests() == [ALLOC, ALLOC, FREE][:3 if persistent else 1]
        assert len(nrsim.opens(0)) == 1 + persistent

    def test_needs_sole_use_of_the_session(self, sess):
        # Session.call holds the session shared while it waits, lock released.
        nrsim.smc_hang(0)
        t = threading.Thread(target=lambda: sess.call(nrhal.smc.Message([nrsim.SMC_ECHO]), timeout=60))
        t.start()
        try:
            for _ in range(30000):  # until the call waits for its reply
                if len(requests(0, [0xFA11])) >= 2:
                    break
                time.sleep(0.001)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                sess.alloc(Size.Mb1, Caching.Uncached)
        finally:
            nrsim.smc_hang(0, False)
            t.join()
        assert requests() == []

    def test_tlb_keeps_its_session(self):
        tlb = nrhal.Device.from_path("/dev/norvane/0").open().alloc(Size.Mb1, Caching.Uncached)
        gc.collect()
        assert nrsim.open_count(0) == 1
        del tlb  # frees the window, then lets go of the session
        assert requests() == [ALLOC, FREE] and nrsim.open_count(0) == 0


def bound(sess, size=Size.Mb2, caching=Caching.Uncached, cfg=None):
    tlb = sess.alloc(size, caching)
    return tlb, tlb.bind(cfg or Config(0x10000, 1, 1))


class TestBind:
    def test_config_reaches_the_driver_unchanged(self, sess):
        tlb, _ = bound(sess, cfg=Config(0x2000_0000, 3, 4, 1, 2, 1, True, True, 7))
        (w,) = nrsim.windows(0)
        assert w.configured and w.mappings == 1
        assert (w.addr, w.x_end, w.y_end, w.x_start, w.y_start, w.noc, w.mcast, w.linked, w.static_vc) == (
            0x2000_0000, 3, 4, 1, 2, 1, 1, 1, 7)
        tlb.free()

    def test_second_bind_moves_existing_windows(self, sess):
        nrsim.mem_write(0, 1, 1, 0x10000, b"\x11" * 8)
        nrsim.mem_write(0, 5, 7, 0x40000, b"\x22" * 8)
        tlb, first = bound(sess, cfg=Config(0x10000, 1, 1))
        assert first.read_u64(0) == 0x1111111111111111
        second = tlb.bind(Config(0x40000, 5, 7))
        assert first.read_u64(0) == second.read_u64(0) == 0x2222222222222222
        first.write_u32(4, 0xDEADBEEF)
        assert nrsim.mem_read(0, 5, 7, 0x40000, 8) == b"\x22" * 4 + bytes.fromhex("efbeadde")
        assert nrsim.mem_read(0, 1, 1, 0x10000, 8) == b"\x11" * 8
        assert nrsim.windows(0)[0].mappings == 1  # the old mapping went
        tlb.free()

    def test_failed_bind_unmaps_and_is_not_retried(self):
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=True) as s:
            tlb, win = bound(s)
            nrsim.fail(0, CONFIGURE, errno.ENODEV)
            with pytest.raises(nrhal.NRError) as info:
                tlb.bind(Config(0x20000, 2, 2))
            assert info.value.errno == errno.ECONNRESET and len(nrsim.opens(0)) == 1
            assert nrsim.windows(0)[0].mappings == 0
            with pytest.raises(RuntimeError, match=NOT_MAPPED):
                win.read_u32(0)
            assert repr(tlb).startswith("Tlb(id=")  # still allocated, not freed
            tlb.bind(Config(0x20000, 2, 2))
            win.write_u8(3, 0x5A)  # the old Window follows the new mapping
            assert nrsim.mem_read(0, 2, 2, 0x20003, 1) == b"\x5a"
            tlb.free()

    def test_after_free(self, sess):
        tlb = sess.alloc(Size.Mb1, Caching.Uncached)
        tlb.free()
        for bad in [None, (0, 1, 1), Size.Mb1]:  # the argument is converted first
            with pytest.raises(TypeError, match="'cfg'"):
                tlb.bind(bad)
        with pytest.raises(RuntimeError, match="^TLB has been freed$"):
            tlb.bind(cfg=Config(0, 1, 1))
        assert requests() == [ALLOC, FREE]


class TestFree:
    def test_free_once(self, sess):
        tlb, win = bound(sess)
        tlb.free()
        assert repr(tlb) == "Tlb(freed)"
        assert tlb.free() is None
        assert requests() == [ALLOC, CONFIGURE, FREE] and nrsim.windows(0) == []
        with pytest.raises(RuntimeError, match=NOT_MAPPED):
            win.write_u32(0, 1)

    def test_unbound_after_close_is_not_retried(self, sess):
        tlb = sess.alloc(Size.Mb1, Caching.Uncached)
        sess.close()
        assert nrsim.windows(0) == []  # the driver let go with the descriptor
        with pytest.raises(nrhal.NRError) as info:
            tlb.free()
        assert info.value.errno == errno.ENOTCONN
        tlb.free()
        assert repr(tlb) == "Tlb(freed)"

    def test_failed_request_still_frees(self, sess):
        tlb = sess.alloc(Size.Mb1, Caching.Uncached)
        nrsim.fail(0, FREE, errno.EIO)
        with pytest.raises(nrhal.NRError) as info:
            tlb.free()
        assert info.value.errno == errno.EIO
        tlb.free()
        assert requests() == [ALLOC, FREE]
        sess.close()  # the window goes with the descriptor

    def test_with_block_frees_propagates_and_discards_the_free_error(self, sess):
        with pytest.raises(KeyError):
            with sess.alloc(Size.Mb1, Caching.Uncached) as tlb:
                assert type(tlb) is Tlb
                sess.close()  # so the free fails: ENOTCONN
                raise KeyError
        assert repr(tlb) == "Tlb(freed)"

    def test_drop_frees_and_window_keeps_tlb(self, sess):
        tlb, win = bound(sess)
        del tlb
        gc.collect()
        win.write_u32(0, 7)  # the Window holds its Tlb
        assert win.read_u32(0) == 7 and requests() == [ALLOC, CONFIGURE]
        with win as same:
            assert same is win
        assert win.read_u32(0) == 7  # leaving the block released nothing
        del win, same
        assert requests() == [ALLOC, CONFIGURE, FREE] and nrsim.mapping_count() == 0

    def test_session_close_releases_windows(self):
        # The driver's count drops with the descriptor, and the free after it
        # lets go of the bound window's mapping while it reports the close.
        result = run_python("""
            import json, nrhal, nrsim
            from nrhal.tlb import Caching, Config, Size
            s = nrhal.Device.from_path("/dev/norvane/0").open()
            tlbs = [s.alloc(Size.Mb1, Caching.Uncached) for _ in range(3)]
            win = tlbs[0].bind(Config(0, 1, 1))
            before = len(nrsim.windows(0))
            s.close()
            after = len(nrsim.windows(0))
            errors = []
            for t in tlbs:
                try:
                    t.free()
                except nrhal.NRError as e:
                    errors.append(e.errno)
            print(json.dumps([before, after, errors, repr(tlbs[0]), nrsim.mapping_count()]))
        """)
        assert result == [3, 0, [errno.ENOTCONN] * 3, "Tlb(freed)", 0]


    def test_drop_after_close_unmaps(self):
        # open, alloc, bind, close, drop: each round once kept its mapping.
        maps, mapped = window_maps(), nrsim.mapping_count()
        for _ in range(3):
            s = nrhal.Device.from_path("/dev/norvane/0").open()
            _, win = bound(s)
            s.close()
            del win, _
            gc.collect()
        assert nrsim.mapping_count() == mapped and window_maps() == maps


def fill_pattern(n, seed=1):
    return bytes((seed + i * 7) % 251 for i in range(n))


class TestAccessors:
    @pytest.mark.parametrize("card,size", OFFERED)
    @pytest.mark.parametrize("width", [1, 4, 8])
    def test_round_trip_at_both_ends(self, card, size, width):
        read, write = WIDTHS[width]
        top = (1 << (8 * width)) - 1
        with nrhal.Device.from_path(f"/dev/norvane/{card}").open() as s:
            tlb, win = bound(s, size, Caching.WriteCombined, Config(0x100000, 2, 3))
            assert win.size == BYTES[int(size)]
            for offset, value in [(0, top), (BYTES[int(size)] - width, 0x0123456789ABCDEF & top)]:
                getattr(win, write)(offset, value)
                assert getattr(win, read)(offset) == value
                assert nrsim.mem_read(card, 2, 3, 0x100000 + offset, width) == value.to_bytes(width, "little")
                nrsim.mem_write(card, 2, 3, 0x100000 + offset, (top - value).to_bytes(width, "little"))
                assert getattr(win, read)(offset) == top - value
            tlb.free()

    def test_tiles_are_separate(self, sess):
        tlb = sess.alloc(Size.Mb1, Caching.Uncached)
        tiles = [(0, 0), (1, 0), (0, 1), (9, 11)]
        for i, (x, y) in enumerate(tiles):
            tlb.bind(Config(0x8000, x, y)).write_u64(8, 0x1000 + i)
        for i, (x, y) in enumerate(tiles):
            assert nrsim.mem_read(0, x, y, 0x8008, 8) == (0x1000 + i).to_bytes(8, "little")
            assert tlb.bind(Config(0x8000, x, y)).read_u64(8) == 0x1000 + i
        tlb.free()

    def test_values(self, sess):
        tlb, win = bound(sess)
        win.write_u64(8, U64_MAX)
        win.write_u32(offset=8, value=numpy.uint8(9))  # keywords, and objects with __index__
        assert (win.read_u32(offset=numpy.int64(8)), win.read_u32(12), win.read_u8(15)) == (9, 2**32 - 1, 255)
        win.write_u8(8, True)
        assert win.read_u64(8) == 0xFFFFFFFF_00000001
        tlb.free()

    @pytest.mark.parametrize("width", [1, 4, 8])
    def test_bounds(self, sess, width):
        read, write = WIDTHS[width]
        tlb, win = bound(sess)
        size = win.size
        assert getattr(win, read)(size - width) == 0
        if width == 1:
            beyond = [size - width + 1, size, U64_MAX]
        else:
            with pytest.raises(ValueError):  # size-w+1 is not aligned: that test comes first
                getattr(win, read)(size - width + 1)
            beyond = [size, size + width, U64_MAX + 1 - width]  # the largest aligned offset never wraps
        for offset in beyond:
            for call in (lambda: getattr(win, read)(offset), lambda: getattr(win, write)(offset, 1)):
                with pytest.raises(IndexError, match="^offset out of bounds$"):
                    call()
        for call in (lambda: getattr(win, read)(2**64), lambda: getattr(win, write)(2**64, 0)):
            with pytest.raises(OverflowError):
                call()
        tlb.free()

    @pytest.mark.parametrize("call,exc,text", [
        (lambda w: w.write_u8(0, 256), OverflowError, None),
        (lambda w: w.write_u32(0, 2**32), OverflowError, None),
        (lambda w: w.read_u32(-4), OverflowError, None),
        (lambda w: w.read_u8(1.0), TypeError, "'offset'"),
        # In order: offset, value, alignment, bounds.
        (lambda w: w.write_u32("x", "y"), TypeError, "'offset'"),
        (lambda w: w.write_u32(3, -1), OverflowError, None),
        (lambda w: w.write_u64(U64_MAX - 3, 1.5), TypeError, "'value'"),
        (lambda w: w.write_u32(U64_MAX, 0), ValueError, "^offset must be 4-byte aligned$"),
        (lambda w: w.read_u64(4), ValueError, "^offset must be 8-byte aligned$"),
        (lambda w: w.read_u8(0, 1), TypeError, None),
        (lambda w: w.write_u8(index=0, value=1), TypeError, None),
    ])
    def test_refused_calls_touch_nothing(self, sess, call, exc, text):
        tlb, win = bound(sess)
        nrsim.mem_write(0, 1, 1, 0x10000, fill_pattern(16))
        with pytest.raises(exc, match=text):
            call(win)
        assert nrsim.mem_read(0, 1, 1, 0x10000, 16) == fill_pattern(16)
        tlb.free()

    def test_unmapped_checks_come_last(self, sess):
        tlb, win = bound(sess)
        tlb.free()
        assert win.size == 2 * MIB  # the handle keeps its size
        with pytest.raises(ValueError):
            win.read_u32(2)
        with pytest.raises(IndexError):
            win.write_u64(win.size, 0)
        for call in (lambda: win.read_u8(0), lambda: win.write_u64(8, 1), lambda: win.read(0, 0),
                     lambda: win.write(win.size, b"")):
            with pytest.raises(RuntimeError, match=NOT_MAPPED):
                call()
        assert repr(win) == "Window"


class TestBulk:
    def test_round_trip_at_any_alignment(self, sess):
        tlb, win = bound(sess, Size.Mb1)
        for offset in range(9):
            for length in [0, 1, 2, 3, 7, 8, 9, 15, 17, 40]:
                nrsim.mem_write(0, 1, 1, 0x10000, b"\xee" * 64)
                data = fill_pattern(length, seed=offset)
                assert win.write(offset, data) is None
                expected = b"\xee" * offset + data + b"\xee" * (64 - offset - length)
                assert nrsim.mem_read(0, 1, 1, 0x10000, 64) == expected, (offset, length)
                assert win.read(offset, length) == data and win.read(0, 64) == expected
        tlb.free()

    def test_whole_window_and_its_end(self, sess):
        tlb, win = bound(sess, Size.Mb1)
        data = os.urandom(MIB)
        win.write(0, data)
        assert win.read(0, MIB) == data
        assert nrsim.mem_read(0, 1, 1, 0x10000, MIB) == data
        win.write(MIB - 5, b"tail!")
        assert win.read(MIB - 8, 8) == data[-8:-5] + b"tail!"
        assert win.read_u8(MIB - 1) == ord("!")
        tlb.free()

    @pytest.mark.parametrize("data", [
        bytearray(b"abcdefgh"), memoryview(b"xxabcdefgh")[2:], array.array("I", [0x64636261, 0x68676665]),
        numpy.frombuffer(b"abcdefgh", dtype=numpy.uint8),
    ])
    def test_any_bytes_like_object(self, sess, data):
        tlb, win = bound(sess)
        win.write(3, data)
        assert win.read(3, 8) == b"abcdefgh"
        tlb.free()

    def test_refused(self, sess):
        tlb, win = bound(sess)
        size = win.size
        for offset, length in [(size - 7, 8), (size + 1, 0), (U64_MAX, 2), (1, U64_MAX), (8, size)]:
            with pytest.raises(IndexError, match="^offset out of bounds$"):
                win.read(offset, length)
        assert win.read(size, 0) == b"" and win.read(size - 8, 8) == bytes(8)
        for bad in ["text", 5, None, [1, 2]]:
            with pytest.raises(TypeError, match="'data'"):
                win.write(0, bad)
        with pytest.raises(BufferError):  # not contiguous
            win.write(0, memoryview(b"abcdef")[::2])
        with pytest.raises(OverflowError):
            win.read(0, -1)
        tlb.free()

    def test_buffer_released_on_every_path(self, sess):
        tlb, win = bound(sess)
        buf = bytearray(b"12345678")
        win.write(0, buf)
        with pytest.raises(IndexError):
            win.write(win.size - 4, buf)
        tlb.free()
        with pytest.raises(RuntimeError):
            win.write(0, buf)
        buf.extend(b"9")  # refused while any export of it were still held
        assert buf == b"123456789"


TLB_OPS = {
    "bind": lambda t: t.bind(Config(0, 1, 1)), "free": lambda t: t.free(), "repr": repr,
    "__enter__": lambda t: t.__enter__(), "__exit__": lambda t: t.__exit__(None, None, None),
}
WINDOW_OPS = {
    "read_u8": lambda w: w.read_u8(0), "read_u32": lambda w: w.read_u32(0), "read_u64": lambda w: w.read_u64(0),
    "write_u8": lambda w: w.write_u8(0, 1), "write_u32": lambda w: w.write_u32(0, 1),
    "write_u64": lambda w: w.write_u64(0, 1), "read": lambda w: w.read(0, 8), "write": lambda w: w.write(0, b"1"),
    "size": lambda w: w.size, "repr": repr, "__enter__": lambda w: w.__enter__(),
    "__exit__": lambda w: w.__exit__(None, None, None),
    "bad arguments": lambda w: w.write_u32("x", -1),  # the thread is checked first
}
OPS = [("Tlb", name, fn) for name, fn in TLB_OPS.items()] + [("Window", name, fn) for name, fn in WINDOW_OPS.items()]


def unsendable(name):
    return f"^nrhal::dev::tlb::{name} is unsendable, but sent to another thread$"


class TestThreads:
    @pytest.mark.parametrize("kind,name,fn", OPS, ids=[f"{k}.{n}" for k, n, _ in OPS])
    def test_other_thread_panics_and_touches_nothing(self, sess, kind, name, fn):
        tlb, win = bound(sess)
        nrsim.clear_log()
        outcome, e = in_thread(fn, tlb if kind == "Tlb" else win)
        assert outcome == "raised"
        assert type(e).__name__ == "PanicException" and not isinstance(e, Exception)
        assert str(e) == f"nrhal::dev::tlb::{kind} is unsendable, but sent to another thread"
        assert nrsim.requests(0) == [] and nrsim.mem_read(0, 1, 1, 0x10000, 8) == bytes(8)
        assert repr(tlb).startswith("Tlb(id=") and win.read_u64(0) == 0  # still whole, and usable here
        tlb.free()

    def test_bound_to_the_creating_thread(self, sess):
        # Made in a worker: usable there, not here, and dropped there.
        made, ready, done, seen = [], threading.Event(), threading.Event(), []

        def worker():
            tlb, win = bound(sess)
            win.write_u32(0, 5)
            made.extend([tlb, win])
            ready.set()
            done.wait(30)
            seen.append(win.read_u32(0))
            tlb.free()

        t = threading.Thread(target=worker)
        t.start()
        assert ready.wait(30)
        tlb, win = made
        made.clear()
        with pytest.raises(BaseException, match=unsendable("Window")):
            win.read_u32(0)
        with pytest.raises(BaseException, match=unsendable("Tlb")):
            tlb.bind(Config(0, 1, 1))
        del tlb, win
        done.set()
        t.join()
        assert seen == [5] and requests() == [ALLOC, CONFIGURE, FREE]

    @pytest.mark.parametrize("garbage", ["window", "both"])
    def test_collected_on_another_thread(self, sess, monkeypatch, garbage):
        # Reachable only from a reference cycle (a traceback is enough), they
        # go on the collector's thread, which releases everything.
        seen, refs, mapped = [], sys.getrefcount(sess), nrsim.mapping_count()
        monkeypatch.setattr(sys, "unraisablehook", seen.append)
        tlb, win = bound(sess)
        cycle = [win]
        cycle.append(cycle)
        if garbage == "both":
            cycle.append(tlb)
            del tlb
        del win, cycle
        gc.disable()  # so that the other thread's collection is the one
        try:
            t = threading.Thread(target=gc.collect)
            t.start()
            t.join()
        finally:
            gc.enable()
        if garbage == "window":
            assert sys.getrefcount(tlb) == 2  # the Window let go of it
            tlb.free()
            del tlb
        assert seen == [] and nrsim.windows(0) == [] and nrsim.mapping_count() == mapped
        assert sys.getrefcount(sess) == refs  # and the Tlb of its session


class TestNothingLeft:
    def test_full_cycle(self):
        # The autouse check compares descriptors, /proc/self/maps and the
        # simulator's counts; here they are also seen while in use.
        maps = window_maps()
        with nrhal.Device.from_path("/dev/norvane/1").open() as s:
            with s.alloc(Size.Gb4, Caching.WriteCombined) as tlb:
                for x in range(3):
                    win = tlb.bind(Config(x << 32, x, 0))
                    win.write_u64(win.size - 8, x)
                assert len(window_maps()) == len(maps) + 1 and nrsim.mapping_count() == 1
                assert win.read_u64(win.size - 8) == 2
        assert window_maps() == maps


# Every access a Window offers, with arguments that reach the device.
ACCESSES = [("read_u8", (1,)), ("read_u32", (4,)), ("read_u64", (8,)), ("write_u8", (1, 1)),
            ("write_u32", (4, 1)), ("write_u64", (8, 1)), ("read", (3, 100)), ("write", (3, b"x" * 100))]


class TestFaultSafety:
    """A card reset out of band turns accesses through old mappings into bus
    errors: they raise NRError(ECONNRESET) and the process goes on."""

    @pytest.mark.parametrize("name,args", ACCESSES)
    def test_every_access_raises(self, name, args):
        with nrhal.Device.from_path("/dev/norvane/0").open() as s, s.alloc(Size.Mb2, Caching.Uncached) as tlb:
            win = tlb.bind(Config(0x10000, 1, 1))
            win.write_u64(0, 1)
            nrsim.sever(0)
            for _ in range(2):  # SIGBUS is not left blocked: the second fault is caught too
                with pytest.raises(nrhal.NRError) as info:
                    getattr(win, name)(*args)
                assert info.value.errno == errno.ECONNRESET
                assert info.value.strerror == os.strerror(errno.ECONNRESET)
            assert signal.SIGBUS not in signal.pthread_sigmask(signal.SIG_BLOCK, [])
            # Checks before the access still come first.
            with pytest.raises(IndexError):
                win.read_u32(win.size)
            assert win.read(win.size, 0) == b""

    def test_healthy_cards_work_after_a_fault(self):
        with nrhal.Device.from_path("/dev/norvane/0").open() as s0, \
                nrhal.Device.from_path("/dev/norvane/1").open() as s1:
            tlb0, win0 = bound(s0)
            tlb1, win1 = bound(s1)
            nrsim.sever(0)
            with pytest.raises(nrhal.NRError):
                win0.read_u64(0)
            win1.write_u64(16, 0x0123456789ABCDEF)
            assert win1.read_u64(16) == 0x0123456789ABCDEF
            assert nrsim.mem_read(1, 1, 1, 0x10010, 8) == bytes.fromhex("efcdab8967452301")
            # The reset card itself, through a fresh session and window.
            s0.reopen()
            tlb2, win2 = bound(s0)
            win2.write(0, b"after")
            assert win2.read(0, 5) == b"after"
            for t in (tlb0, tlb1, tlb2):
                t.__exit__(None, None, None)


FAULT_SCRIPT = """
    import errno, faulthandler, nrhal, nrsim
    from nrhal.tlb import Caching, Config, Size
    assert not faulthandler.is_enabled()  # the test chooses when

    def session():
        return nrhal.Device.from_path("/dev/norvane/0").open()

    def bind(tlb):
        return tlb.bind(Config(0x10000, 1, 1))

    def severed_read(win):
        nrsim.sever(0)
        print("reading", flush=True)
        try:
            win.read_u32(0)
        except nrhal.NRError as e:
            print("raised", errno.errorcode[e.errno], flush=True)
"""


def run_faulting(code):
    """Runs FAULT_SCRIPT then code in a fresh interpreter on the simulator,
    without faulthandler unless the code enables it."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONFAULTHANDLER"}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(FAULT_SCRIPT) + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60, env=env)


class TestFaultHandler:
    """faulthandler installs a SIGBUS handler of its own.  The trap's handler
    must be on top of it for a window access to raise, and it is put back
    there at every bind and every telemetry read."""

    def test_enabled_before_the_module(self):
        # Then a fault that is no device access still reaches faulthandler.
        proc = run_faulting("""
            faulthandler.enable()
            s = session()
            tlb = s.alloc(Size.Mb2, Caching.Uncached)
            severed_read(bind(tlb))
            import mmap, os, tempfile
            with tempfile.TemporaryFile() as f:
                f.truncate(4096)
                m = mmap.mmap(f.fileno(), 4096)
                os.ftruncate(f.fileno(), 0)
                print("host fault", flush=True)
                m[0]
        """)
        assert proc.stdout == "reading\nraised ECONNRESET\nhost fault\n"
        assert proc.returncode == -signal.SIGBUS and "Fatal Python error: Bus error" in proc.stderr

    @pytest.mark.parametrize("claim", ["tlb.bind(Config(0x20000, 2, 2))", "s.telemetry()"])
    def test_enabled_after_a_bind_then_claimed_back(self, claim):
        proc = run_faulting(f"""
            s = session()
            tlb = s.alloc(Size.Mb2, Caching.Uncached)
            win = bind(tlb)
            faulthandler.enable()
            {claim}
            severed_read(win)
            print("alive", faulthandler.is_enabled())
        """)
        assert (proc.returncode, proc.stdout) == (0, "reading\nraised ECONNRESET\nalive True\n"), proc.stderr

    def test_enabled_after_the_last_bind(self):
        # The window of exposure: faulthandler is on top, reports the fault as
        # fatal and re-raises it, and the process dies by SIGBUS, as it would
        # without the module.  The trap only takes SIGBUS back at the next
        # bind or telemetry read.
        proc = run_faulting("""
            s = session()
            tlb = s.alloc(Size.Mb2, Caching.Uncached)
            win = bind(tlb)
            faulthandler.enable()
            severed_read(win)
            print("alive")
        """)
        assert (proc.returncode, proc.stdout) == (-signal.SIGBUS, "reading\n")
        assert "Fatal Python error: Bus error" in proc.stderr


class TestStaleAfterReopen:
    """Windows belong to the descriptor.  A Tlb allocated before its session
    was reopened owns nothing on the new one: it sends no request, and only
    lets go of its own mapping."""

    def test_explicit_reopen(self, sess):
        tlb, win = bound(sess)
        sess.reopen()
        nrsim.clear_log()
        mapped = nrsim.mapping_count()
        with pytest.raises(nrhal.NRError) as info:
            tlb.bind(Config(0x20000, 2, 2))
        assert info.value.errno == errno.EINVAL
        assert nrsim.mapping_count() == mapped - 1  # unmapped, as by any failed bind
        with pytest.raises(RuntimeError, match=NOT_MAPPED):
            win.read_u32(0)
        assert repr(tlb).startswith("Tlb(id=")
        assert tlb.free() is None and repr(tlb) == "Tlb(freed)"
        assert requests() == []

    def test_reused_window_id_is_left_alone(self):
        # A sever makes the card number windows afresh, so the persistent
        # session's next Tlb gets the old one's id on the new descriptor.
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=True) as s:
            old, old_win = bound(s)
            nrsim.sever(0)
            new, new_win = bound(s, cfg=Config(0x30000, 3, 3))  # alloc reopens
            (w,) = nrsim.windows(0)
            assert repr(old) == repr(new) == f"Tlb(id={w.id})"
            nrsim.clear_log()
            mapped = nrsim.mapping_count()
            with pytest.raises(nrhal.NRError) as info:
                old.bind(Config(0x40000, 4, 4))
            assert info.value.errno == errno.EINVAL
            assert old.free() is None
            assert nrsim.mapping_count() == mapped - 1
            assert requests() == [] and nrsim.windows(0) == [w]  # untouched
            new_win.write_u32(0, 0xC0FFEE)
            assert nrsim.mem_read(0, 3, 3, 0x30000, 4) == (0xC0FFEE).to_bytes(4, "little")
            new.free()

    @pytest.mark.parametrize("let_go", ["drop", "with"])
    def test_drop_and_with_block(self, let_go):
        with nrhal.Device.from_path("/dev/norvane/0").open(persistent=True) as s:
            old, old_win = bound(s)
            nrsim.sever(0)
            new, _ = bound(s)
            nrsim.clear_log()
            mapped = nrsim.mapping_count()
            if let_go == "with":
                with old:
                    pass
                assert repr(old) == "Tlb(freed)"
            del old, old_win
            gc.collect()
            assert nrsim.mapping_count() == mapped - 1
            assert requests() == [] and len(nrsim.windows(0)) == 1
            new.free()

    def test_failed_reopen_counts_too(self, sess):
        # The reopen closed the old descriptor before it failed: the Tlb is
        # stale, so its free asks nothing of the closed session.
        tlb, _ = bound(sess)
        nrsim.fail_open(0, errno.ENODEV)
        with pytest.raises(nrhal.NRError):
            sess.reopen()
        mapped = nrsim.mapping_count()
        assert tlb.free() is None
        assert nrsim.mapping_count() == mapped - 1
