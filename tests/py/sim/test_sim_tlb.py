"""Device memory and TLB windows on the simulated driver: allocation and the
window pools, configure and its refusals, mappings and where they reach,
re-targeting, tracking through munmap, release on free, close, sever and
removal (SIGBUS through old mappings), multicast, and the memory controls."""
import array
import ctypes
import errno
import mmap as pymmap
import os
import resource
import signal
import subprocess
import sys
import threading

import pytest

import nrsim
from test_sim_launcher import LAUNCHER, clean_env
from test_sim_support import errno_of, ioctl, libc

ALLOC, FREE, CONFIGURE = 0xFA0B, 0xFA0C, 0xFA0D
MiB, GiB, PAGE = 1 << 20, 1 << 30, pymmap.PAGESIZE
NOC_SPACE = 1 << 40
PROT_READ, PROT_RW = 1, 3
MAP_SHARED, MAP_PRIVATE, MAP_FIXED, MAP_ANONYMOUS = 0x01, 0x02, 0x10, 0x20
MAP_FAILED = ctypes.c_void_p(-1).value
u8, u16, u32, u64 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint64


class AllocRecord(ctypes.Structure):
    _fields_ = [("size", u64), ("reserved0", u64), ("id", u32), ("reserved1", u32), ("uc", u64), ("wc", u64),
                ("reserved2", u64)]


class ConfigRecord(ctypes.Structure):
    _fields_ = ([("id", u32), ("reserved0", u32), ("addr", u64)]
                + [(f, u16) for f in ("x_end", "y_end", "x_start", "y_start")]
                + [(f, u8) for f in ("noc", "mcast", "mode", "linked", "static_vc")] + [("reserved1", u8 * 19)])


assert ctypes.sizeof(AllocRecord) == ctypes.sizeof(ConfigRecord) == 48 and ConfigRecord.mode.offset == 26


def alloc(fd, size):
    rec = AllocRecord(size=size)
    ioctl(fd, ALLOC, rec)
    return rec


def free(fd, wid):
    ioctl(fd, FREE, u32(wid))


def configure(fd, wid, addr, x, y, **fields):
    ioctl(fd, CONFIGURE, ConfigRecord(id=wid, addr=addr, x_end=x, y_end=y, mode=1, **fields))


def multicast(fd, wid, addr, start, end):
    configure(fd, wid, addr, *end, x_start=start[0], y_start=start[1], mcast=1)


def raw_mmap(fd, length, offset, prot=PROT_RW, flags=MAP_SHARED):
    p = libc.mmap(None, length, prot, flags, fd, offset)
    if p == MAP_FAILED:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))
    return p


def peek(p, n):
    return ctypes.string_at(p, n)


def poke(p, data):
    ctypes.memmove(p, data, len(data))


def window(n, wid):
    return next(w for w in nrsim.windows(n) if w.id == wid)


@pytest.fixture
def maps():
    """Maps windows on demand (maps(fd, offset, length)); unmaps what is left."""
    live = {}

    def make(fd, offset, length):
        p = raw_mmap(fd, length, offset)
        live[p] = length
        return p

    make.live = live
    yield make
    for p, length in live.items():
        libc.munmap(p, length)


class TestAllocate:
    @pytest.mark.parametrize("card,size,ok", [
        (0, MiB, True), (0, 2 * MiB, True), (0, 16 * MiB, True), (0, 4 * GiB, False), (0, 4 * MiB, False),
        (0, PAGE, False), (0, 0, False), (1, 2 * MiB, True), (1, 4 * GiB, True), (1, MiB, False),
        (1, 16 * MiB, False), (1, 2 * MiB + PAGE, False)])
    def test_sizes_per_architecture(self, fds, card, size, ok):
        fd = fds(card)
        if not ok:
            assert errno_of(alloc, fd, size) == errno.EINVAL
            assert nrsim.windows(card) == []
            return
        w = alloc(fd, size)
        assert nrsim.windows(card) == [nrsim.Window(
            id=w.id, fd=fd, size=size, uc_mmap_offset=w.uc, wc_mmap_offset=w.wc, configured=False, addr=0,
            x_end=0, y_end=0, x_start=0, y_start=0, noc=0, mcast=0, linked=0, static_vc=0, mappings=0)]

    @pytest.mark.parametrize("card,size,count", [
        (0, MiB, 64), (0, 2 * MiB, 32), (0, 16 * MiB, 8), (1, 2 * MiB, 64), (1, 4 * GiB, 4)])
    def test_pool_exhaustion(self, fds, card, size, count):
        assert nrsim.WINDOW_POOLS[nrsim.identity(card).device_id][size] == count
        a, b = fds(card), fds(card)
        ids = [alloc(a if i % 2 else b, size).id for i in range(count)]
        # The pool is the card's, shared by its descriptors; other sizes and
        # the other card keep theirs.
        assert errno_of(alloc, a, size) == errno.ENOSPC
        assert errno_of(alloc, b, size) == errno.ENOSPC
        alloc(a, 2 * MiB if size != 2 * MiB else (MiB if card == 0 else 4 * GiB))
        alloc(fds(1 - card), 2 * MiB)
        free(b, ids[0])
        alloc(a, size)
        assert errno_of(alloc, a, size) == errno.ENOSPC

    def test_ids_and_offsets(self, fds):
        a, b = fds(), fds()
        recs = [alloc(a, MiB), alloc(b, 2 * MiB), alloc(a, 16 * MiB)]
        assert [r.id for r in recs] == [1, 2, 3]
        free(b, 2)
        assert alloc(a, MiB).id == 4  # a freed id is not given out again
        offsets = [o for r in recs for o in (r.uc, r.wc)]
        assert len(set(offsets)) == len(offsets) and all(o % PAGE == 0 for o in offsets)
        assert [(r.uc, r.wc) for r in recs] == [(i << 36, i << 36 | 1 << 35) for i in (1, 2, 3)]
        nrsim.sever(0)
        assert alloc(fds(), MiB).id == 1  # ids start again with each incarnation

    def test_record_checks_and_reply(self, fds):
        fd = fds()
        assert errno_of(ioctl, fd, ALLOC, AllocRecord(size=MiB, reserved0=1)) == errno.EINVAL
        assert errno_of(ioctl, fd, ALLOC, None) == errno.EFAULT
        nrsim.fail(0, ALLOC, errno.EIO)
        assert errno_of(alloc, fd, MiB) == errno.EIO
        assert errno_of(alloc, fds(nrsim.add(0x1234, "05:00.0")), 2 * MiB) == errno.EINVAL
        assert nrsim.windows(0) == []
        rec = AllocRecord(size=MiB, reserved1=0xEEEEEEEE, reserved2=0xEEEEEEEEEEEEEEEE)
        ioctl(fd, ALLOC, rec)  # writes bytes 16 to 39 only
        assert (rec.id, rec.size, rec.reserved0, rec.reserved1, rec.reserved2) == (1, MiB, 0, 0, 0xEEEEEEEEEEEEEEEE)


class TestConfigure:
    @pytest.mark.parametrize("card,fields", [
        (0, dict(mode=0)), (0, dict(mode=2)), (0, dict(reserved0=1)), (0, dict(noc=2)), (0, dict(mcast=2)),
        (0, dict(linked=2)), (0, dict(x_end=10)), (0, dict(y_end=12)), (0, dict(x_start=10)),
        (0, dict(y_start=0x100)), (1, dict(x_end=17)), (1, dict(y_end=12)),
        (0, dict(x_end=0x109)),  # two bytes wide: not cut down to 9
        (0, dict(addr=0x1234)), (0, dict(addr=NOC_SPACE - MiB + PAGE)), (0, dict(addr=1 << 63)),
        (0, dict(mcast=1, x_start=3, x_end=2)), (0, dict(mcast=1, y_start=5, y_end=4)), (0, dict(id=99)),
        (0, dict(reserved1=(u8 * 19)(1))), (0, dict(reserved1=(u8 * 19)(*[0] * 18, 0x80)))])
    def test_refused(self, fds, card, fields):
        fd = fds(card)
        wid = alloc(fd, 2 * MiB).id
        rec = ConfigRecord(id=wid, x_end=1, y_end=1, mode=1)
        for k, v in fields.items():
            setattr(rec, k, v)
        assert errno_of(ioctl, fd, CONFIGURE, rec) == errno.EINVAL
        assert window(card, wid).configured is False

    def test_only_the_owner_configures_and_frees(self, fds):
        a, b = fds(), fds()
        wid = alloc(a, MiB).id
        assert errno_of(configure, b, wid, 0, 1, 1) == errno.EINVAL
        assert errno_of(free, b, wid) == errno.EINVAL
        assert errno_of(free, a, wid + 1) == errno.EINVAL
        assert errno_of(ioctl, a, CONFIGURE, None) == errno.EFAULT
        assert errno_of(ioctl, a, FREE, None) == errno.EFAULT
        free(a, wid)
        assert nrsim.windows(0) == []
        assert errno_of(free, a, wid) == errno.EINVAL

    def test_accepted_limits_are_reported(self, fds):
        a, b = fds(0), fds(1)
        w0, w1 = alloc(a, MiB).id, alloc(b, 2 * MiB).id
        configure(a, w0, NOC_SPACE - MiB, 9, 11, x_start=9, y_start=11, noc=1, linked=1, static_vc=0xFF)
        configure(b, w1, 0, 16, 0, mcast=1, x_start=8, y_start=0)
        got = window(0, w0)
        assert got.configured is True and got[6:] == (NOC_SPACE - MiB, 9, 11, 9, 11, 1, 0, 1, 0xFF, 0)
        assert window(1, w1)[6:15] == (0, 16, 0, 8, 0, 0, 1, 0, 0)

    def test_injected_fault_keeps_the_target(self, fds, maps):
        fd = fds()
        w = alloc(fd, MiB)
        configure(fd, w.id, 0x10000, 1, 1)
        p = maps(fd, w.uc, MiB)
        nrsim.fail(0, CONFIGURE, errno.EIO)
        assert errno_of(configure, fd, w.id, 0x20000, 2, 2) == errno.EIO
        assert window(0, w.id)[6:9] == (0x10000, 1, 1)
        poke(p, b"still")
        assert nrsim.mem_read(0, 1, 1, 0x10000, 5) == b"still"


class TestMapping:
    @pytest.mark.parametrize("card,size,tile", [
        (0, 2 * MiB, (0, 2)), (0, MiB, (9, 11)), (1, 2 * MiB, (8, 0)), (1, 2 * MiB, (16, 11))])
    @pytest.mark.parametrize("mode", ["uc", "wc"])
    def test_reaches_the_configured_tile(self, fds, maps, card, size, tile, mode):
        fd = fds(card)
        w = alloc(fd, size)
        configure(fd, w.id, 0x10000000, *tile)
        p = maps(fd, getattr(w, mode), size)
        poke(p, b"first")
        poke(p + size - 4, b"last")
        assert nrsim.mem_read(card, *tile, 0x10000000, 5) == b"first"
        assert nrsim.mem_read(card, *tile, 0x10000000 + size - 4, 4) == b"last"
        nrsim.mem_write(card, *tile, 0x100301D0, b"\x01\x02\x03\x04")
        assert peek(p + 0x301D0, 4) == b"\x01\x02\x03\x04"

    def test_memory_is_per_tile_and_shared_by_windows(self, fds, maps):
        a, b = fds(), fds()
        wa, wb = alloc(a, 2 * MiB), alloc(b, MiB)
        configure(a, wa.id, 0x200000, 3, 4)
        configure(b, wb.id, 0x300000, 3, 4)
        pa, pb = maps(a, wa.uc, 2 * MiB), maps(b, wb.wc, MiB)
        poke(pa + MiB + 8, b"shared")
        assert peek(pb + 8, 6) == b"shared"
        assert nrsim.mem_read(0, 4, 3, 0x300008, 6) == bytes(6)
        assert nrsim.mem_read(1, 3, 4, 0x300008, 6) == bytes(6)

    def test_four_gib_window(self, fds, maps):
        fd = fds(1)
        w = alloc(fd, 4 * GiB)
        base = NOC_SPACE - 4 * GiB  # the top of the NOC address space
        configure(fd, w.id, base, 8, 0)
        p = maps(fd, w.uc, 4 * GiB)
        poke(p + 4 * GiB - 8, b"top word")
        assert nrsim.mem_read(1, 8, 0, NOC_SPACE - 8, 8) == b"top word"
        nrsim.mem_write(1, 8, 0, base, b"bottom")
        assert peek(p, 6) == b"bottom"
        multicast(fd, w.id, 0, (0, 0), (16, 11))
        poke(p + 3 * GiB, b"far")
        assert nrsim.mem_read(1, 16, 11, 3 * GiB, 3) == b"far"

    def test_python_mmap_object_and_mmap64(self, fds):
        fd = fds(1)
        w = alloc(fd, 2 * MiB)
        configure(fd, w.id, 0x400000, 2, 3)
        with pymmap.mmap(fd, 2 * MiB, offset=w.wc) as m:
            m[16:21] = b"hello"
            assert nrsim.mapping_count() == 1
        assert nrsim.mapping_count() == 0
        assert nrsim.mem_read(1, 2, 3, 0x400010, 5) == b"hello"
        mmap64 = libc.mmap64
        mmap64.restype = ctypes.c_void_p
        mmap64.argtypes = [ctypes.c_void_p, ctypes.c_size_t] + [ctypes.c_int] * 3 + [ctypes.c_int64]
        p = mmap64(None, PAGE, PROT_RW, MAP_SHARED, fd, w.uc)
        assert peek(p + 16, 5) == b"hello" and nrsim.mapping_count() == 1
        assert libc.munmap(p, PAGE) == 0 and nrsim.mapping_count() == 0

    def test_retarget_moves_every_existing_mapping(self, fds, maps):
        fd = fds()
        w = alloc(fd, MiB)
        p = maps(fd, w.uc, MiB)
        poke(p, b"scratch")  # before the first configure: no tile sees it
        assert all(nrsim.mem_read(0, x, y, 0, 7) == bytes(7) for x in range(10) for y in range(12))
        configure(fd, w.id, 0x100000, 1, 1)
        q = maps(fd, w.wc, MiB // 2)
        assert peek(p, 7) == bytes(7)
        poke(p, b"on A")
        nrsim.mem_write(0, 7, 8, 0x500000, b"on B")
        configure(fd, w.id, 0x500000, 7, 8)
        assert peek(p, 4) == peek(q, 4) == b"on B"
        poke(q + 4, b"!")
        assert nrsim.mem_read(0, 7, 8, 0x500000, 5) == b"on B!"
        assert nrsim.mem_read(0, 1, 1, 0x100000, 5) == b"on A\0"

    @pytest.mark.parametrize("case", ["no window", "inside a window", "unallocated id", "too long",
                                      "foreign", "freed", "private", "severed", "read-only"])
    def test_refused(self, fds, case):
        fd = fds(flags=os.O_RDONLY) if case == "read-only" else fds()
        w = alloc(fd, MiB)
        offset, length, flags, err = w.uc, MiB, MAP_SHARED, errno.EINVAL
        if case == "no window":
            offset = 0
        elif case == "inside a window":
            offset += PAGE
        elif case == "unallocated id":
            offset += 1 << 36
        elif case == "too long":
            length += PAGE
        elif case == "foreign":
            fd = fds()
        elif case == "freed":
            free(fd, w.id)
        elif case == "private":
            flags = MAP_PRIVATE
        elif case == "severed":
            nrsim.sever(0)
            err = errno.ENODEV
        else:
            err = errno.EACCES  # a read-only descriptor maps for reading only
            libc.munmap(raw_mmap(fd, length, offset, prot=PROT_READ), length)
        assert errno_of(raw_mmap, fd, length, offset, flags=flags) == err
        assert nrsim.mapping_count() == 0


class TestTracking:
    def test_counts_and_partial_unmaps(self, fds, maps):
        fd = fds()
        w1, w2 = alloc(fd, MiB), alloc(fd, 2 * MiB)
        configure(fd, w1.id, 0, 1, 1)
        p = maps(fd, w1.uc, 4 * PAGE)
        maps(fd, w1.wc, PAGE)
        maps(fd, w2.uc, 2 * MiB)
        assert nrsim.mapping_count() == 3
        assert [w.mappings for w in nrsim.windows(0)] == [2, 1]
        assert libc.munmap(p + PAGE, PAGE) == 0  # splits it in two
        assert libc.munmap(p + 3 * PAGE, PAGE) == 0  # the tail of the second piece
        assert nrsim.mapping_count() == 4
        configure(fd, w1.id, 0x80000, 2, 2)  # each piece moves to its own place
        poke(p, b"a")
        poke(p + 2 * PAGE, b"c")
        assert nrsim.mem_read(0, 2, 2, 0x80000, 2 * PAGE + 1)[::2 * PAGE] == b"ac"
        assert libc.munmap(p, 4 * PAGE) == 0  # over the holes too
        del maps.live[p]
        assert nrsim.mapping_count() == 2
        assert [w.mappings for w in nrsim.windows(0)] == [1, 1]

    def test_mapped_over_or_moved_is_no_longer_tracked(self, fds, maps):
        fd = fds()
        w = alloc(fd, MiB)
        configure(fd, w.id, 0, 1, 1)
        p, q = maps(fd, w.uc, 2 * PAGE), maps(fd, w.wc, 2 * PAGE)
        anon = libc.mmap(p + PAGE, PAGE, PROT_RW, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0)
        assert anon == p + PAGE and nrsim.mapping_count() == 2
        mremap = libc.mremap
        mremap.restype = ctypes.c_void_p
        mremap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_int]
        assert mremap(q, 2 * PAGE, PAGE, 0) == q  # shrunk in place
        assert nrsim.mapping_count() == 1
        poke(anon, b"mine")
        poke(q, b"kept")
        configure(fd, w.id, 0, 2, 2)  # must leave both alone
        assert peek(anon, 4) == b"mine" and peek(q, 4) == b"kept"
        maps.live[q] = PAGE

    def test_freed_window_mappings_stay_on_their_target(self, fds, maps):
        fd = fds()
        w = alloc(fd, MiB)
        configure(fd, w.id, 0x40000, 6, 6)
        p = maps(fd, w.uc, MiB)
        free(fd, w.id)
        assert nrsim.windows(0) == [] and nrsim.mapping_count() == 1
        configure(fd, alloc(fd, MiB).id, 0x40000, 7, 7)
        poke(p, b"kept")
        assert nrsim.mem_read(0, 6, 6, 0x40000, 4) == b"kept"
        assert nrsim.mem_read(0, 7, 7, 0x40000, 4) == bytes(4)


class TestLifetime:
    def test_close_releases_the_descriptors_windows(self, fds, maps):
        a, b = fds(), fds()
        wa = alloc(a, 16 * MiB)
        configure(a, wa.id, 0, 3, 3)
        p = maps(a, wa.uc, PAGE)
        for _ in range(7):
            alloc(a, 16 * MiB)
        wb = alloc(b, MiB)
        os.close(a)
        assert [w.id for w in nrsim.windows(0)] == [wb.id]
        for _ in range(8):
            alloc(b, 16 * MiB)  # the pool is whole again
        poke(p, b"after close")  # the mapping stays on its last target
        assert nrsim.mem_read(0, 3, 3, 0, 11) == b"after close"

    def test_sever_ends_windows_and_memory(self, fds, maps):
        fd = fds()
        w = alloc(fd, MiB)
        configure(fd, w.id, 0, 1, 1)
        maps(fd, w.uc, MiB)
        nrsim.mem_write(0, 1, 1, 0x1000, b"old")
        nrsim.sever(0)
        assert nrsim.windows(0) == []
        assert nrsim.mapping_count() == 1  # still in the process, until unmapped
        assert nrsim.mem_read(0, 1, 1, 0x1000, 3) == bytes(3)
        assert errno_of(alloc, fd, MiB) == errno.ENODEV
        assert errno_of(free, fd, w.id) == errno.ENODEV

    SCRIPT = """
import ctypes, mmap, os, struct, sys, nrsim
kind, event = sys.argv[1:]
libc = ctypes.CDLL(None)
fd = os.open("/dev/norvane/0", os.O_RDWR)
rec = (ctypes.c_uint8 * 48)()
struct.pack_into("<Q", rec, 0, 1 << 20)
assert libc.ioctl(fd, 0xFA0B, rec) == 0
wid, _, uc, wc = struct.unpack_from("<IIQQ", rec, 16)
m = mmap.mmap(fd, 1 << 20, offset=uc)
if kind != "unconfigured":
    cfg = (ctypes.c_uint8 * 48)()
    struct.pack_into("<IIQHHHHBBB", cfg, 0, wid, 0, 0x10000, 1, 1, 0, 0, 0, kind == "multicast", 1)
    assert libc.ioctl(fd, 0xFA0D, cfg) == 0
if kind == "freed":
    assert libc.ioctl(fd, 0xFA0C, ctypes.byref(ctypes.c_uint32(wid))) == 0
m[8:12] = b"live"
assert m[8:12] == b"live"
getattr(nrsim, event)(0)
print("gone", flush=True)
m[8:12]
print("survived", flush=True)
"""

    @pytest.mark.parametrize("kind,event", [("unicast", "sever"), ("unconfigured", "sever"),
                                            ("multicast", "remove"), ("freed", "sever")])
    def test_old_mappings_fault_once_the_card_is_gone(self, kind, event):
        r = subprocess.run([str(LAUNCHER), "--", sys.executable, "-c", self.SCRIPT, kind, event],
                           env=clean_env(), capture_output=True, text=True, timeout=60,
                           preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
        assert r.returncode == -signal.SIGBUS, r.stderr
        assert r.stdout == "gone\n"


class TestMulticast:
    RECT = [(x, y) for x in range(2, 5) for y in range(3, 6)]

    @pytest.fixture
    def mcast(self, fds, maps):
        """A 1 MiB window multicasting to RECT at NOC address 0x100000, mapped."""
        fd = fds()
        w = alloc(fd, MiB)
        multicast(fd, w.id, 0x100000, (2, 3), (4, 5))
        return fd, w, maps(fd, w.uc, MiB)

    def test_stores_reach_every_tile_of_the_rectangle(self, mcast):
        _, _, p = mcast
        assert peek(p + 0x40, 8) == bytes(8)
        poke(p + 0x40, b"to all")
        assert peek(p + 0x40, 6) == b"to all"  # loads read back the stores
        for tile in self.RECT:
            assert nrsim.mem_read(0, *tile, 0x100040, 6) == b"to all", tile
        for tile in [(1, 3), (5, 5), (2, 6), (2, 2)]:
            assert nrsim.mem_read(0, *tile, 0x100040, 6) == bytes(6), tile

    def test_replicates_only_bytes_that_changed(self, mcast):
        _, _, p = mcast
        for tile in self.RECT:
            nrsim.mem_write(0, *tile, 0x100000, b"\xaa" * 16)
        poke(p + 4, b"\x01\x02")
        assert nrsim.mem_read(0, 3, 4, 0x100000, 8) == b"\xaa" * 4 + b"\x01\x02" + b"\xaa" * 2
        nrsim.mem_write(0, 3, 4, 0x100004, b"uu")  # a unicast write since survives
        poke(p + 8, b"\x03")
        assert nrsim.mem_read(0, 3, 4, 0x100000, 10) == b"\xaa" * 4 + b"uu\xaa\xaa\x03\xaa"
        assert nrsim.mem_read(0, 2, 3, 0x100000, 10) == b"\xaa" * 4 + b"\x01\x02\xaa\xaa\x03\xaa"

    @pytest.mark.parametrize("event", ["munmap", "free", "close", "retarget"])
    def test_stores_land_at_each_replication_point(self, fds, maps, mcast, event):
        fd, w, p = mcast
        viewer = fds()
        u = alloc(viewer, MiB)
        configure(viewer, u.id, 0x100000, 4, 5)
        q = maps(viewer, u.uc, MiB)
        poke(p + 16, b"event")
        if event == "munmap":
            assert libc.munmap(p, MiB) == 0
            del maps.live[p]
        elif event == "free":
            free(fd, w.id)
        elif event == "close":
            os.close(fd)
        else:
            multicast(fd, w.id, 0x200000, (0, 0), (0, 0))
        assert peek(q + 16, 5) == b"event"

    def test_retarget_starts_afresh(self, mcast):
        fd, w, p = mcast
        poke(p, b"old")
        multicast(fd, w.id, 0x100000, (6, 6), (7, 6))
        assert peek(p, 3) == bytes(3)
        poke(p + 3, b"new")
        assert nrsim.mem_read(0, 2, 3, 0x100000, 6) == b"old\0\0\0"
        assert nrsim.mem_read(0, 7, 6, 0x100000, 6) == b"\0\0\0new"
        assert nrsim.mem_read(0, 8, 6, 0x100000, 6) == bytes(6)


class TestMemoryControls:
    def test_write_then_read_anywhere(self):
        assert nrsim.mem_read(0, 0, 0, NOC_SPACE - 16, 16) == bytes(16)
        assert nrsim.mem_read(1, 16, 11, 0, 0) == b""
        nrsim.mem_write(0, 9, 11, NOC_SPACE - 4, b"end!")
        nrsim.mem_write(0, 9, 11, 0x123456789, bytearray(b"mid"))
        nrsim.mem_write(0, 1, 1, 0, memoryview(b"aXbXc")[::2])
        nrsim.mem_write(0, 1, 1, 3, array.array("H", [0x6564]))
        assert nrsim.mem_read(0, 9, 11, NOC_SPACE - 4, 4) == b"end!"
        assert nrsim.mem_read(0, 9, 11, 0x123456788, 5) == b"\0mid\0"
        assert nrsim.mem_read(0, 1, 1, 0, 5) == b"abcde"

    @pytest.mark.parametrize("card,x,y,addr,size", [
        (0, 10, 0, 0, 4), (0, 0, 12, 0, 4), (1, 17, 0, 0, 4), (1, 0, 12, 0, 4),
        (0, 0, 0, NOC_SPACE - 3, 4), (0, 0, 0, NOC_SPACE, 1), (0, 0, 0, (1 << 64) - 1, 2)])
    def test_refused(self, card, x, y, addr, size):
        assert errno_of(nrsim.mem_read, card, x, y, addr, size) == errno.EINVAL
        assert errno_of(nrsim.mem_write, card, x, y, addr, bytes(size)) == errno.EINVAL

    def test_cards_without_tiles_and_argument_checks(self):
        assert errno_of(nrsim.mem_read, nrsim.add(0x1234, "05:00.0"), 0, 0, 0, 4) == errno.EINVAL
        nrsim.remove(1)
        assert errno_of(nrsim.mem_read, 1, 0, 0, 0, 4) == errno.ENODEV
        assert errno_of(nrsim.mem_write, 1, 0, 0, 0, b"x") == errno.ENODEV
        assert errno_of(nrsim.windows, 1) == errno.ENODEV
        for bad, exc in [((0, 256, 0, 0, 1), ValueError), ((0, 0, 0, -1, 1), ValueError),
                         ((0, 0.0, 0, 0, 1), TypeError)]:
            with pytest.raises(exc):
                nrsim.mem_read(*bad)
        with pytest.raises(TypeError):
            nrsim.mem_write(0, 0, 0, 0, 5)


def test_threads_map_and_retarget_at_once(fds):
    """Each thread works its own descriptor and tile; nothing is lost or left."""
    rounds, errors = 40, []

    def work(fd, x):
        try:
            for i in range(rounds):
                w = alloc(fd, MiB)
                configure(fd, w.id, 0, x, 0)
                p = raw_mmap(fd, MiB, w.wc)
                configure(fd, w.id, PAGE * (i + 1), x, 1)
                poke(p, bytes([i]))
                assert libc.munmap(p, MiB) == 0
                free(fd, w.id)
        except Exception as e:  # reported below, on the test's thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(fds(), x)) for x in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert nrsim.windows(0) == [] and nrsim.mapping_count() == 0
    for x in range(4):
        assert nrsim.mem_read(0, x, 1, PAGE * rounds, 1) == bytes([rounds - 1])
