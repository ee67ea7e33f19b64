#!/usr/bin/env python3
"""Soak test of nrhal on simulated cards.

Four worker threads -- telemetry, TLB windows, controller messages, power
requests -- work on persistent and plain sessions, some shared between the
threads and some private to one, while a chaos thread severs cards and
removes and re-adds them at random.  The run passes when:

- the process does not die;
- every exception raised is one the operation documents (an NRError errno,
  sole use of a shared session refused during another thread's controller
  call, an unmapped window), and every
  value read back is the one expected;
- afterwards nothing is left behind: no descriptor (/proc/self/fd), no
  window mapping (/proc/self/maps, nrsim.mapping_count()), no descriptor or
  window the simulator still answers for, no open card;
- the process's private memory did not grow by more than --rss-limit-mib
  between the end of the warm-up and the end of the run.

With --processes N it runs on the simulated host that processes share:
N worker processes each run the four workers (no chaos of their own), while
this process severs, removes and re-adds cards and kills workers outright
(SIGKILL), starting new ones in their place.  It passes when every worker
that was not killed passed its own checks, and afterwards no card is open,
holds a window, a power request or a waiting open, and the host still
answers.

Run it under the simulator's launcher (it relaunches itself under
sim/nrsim-run when the simulator is not loaded):

    sim/nrsim-run -- python3 tests/soak/soak.py --seconds 120 --seed 1
    sim/nrsim-run -- python3 tests/soak/soak.py --seconds 60 --processes 4

Exit status: 0 passed, 1 a check failed, 2 bad usage or environment, 3 a
thread hung.  A crash shows as death by a signal.
"""
import argparse
import collections
import errno
import faulthandler
import gc
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
PAGE = os.sysconf("SC_PAGE_SIZE")


def relaunch_under_simulator():
    launcher = os.path.join(HERE, os.pardir, os.pardir, "sim", "nrsim-run")
    if os.environ.get("NRSOAK_RELAUNCHED") or not os.access(launcher, os.X_OK):
        print("soak: the simulator is not loaded: run under sim/nrsim-run -- python3 tests/soak/soak.py ...",
              file=sys.stderr)
        sys.exit(2)
    os.environ["NRSOAK_RELAUNCHED"] = "1"
    os.execv(launcher, [launcher, "--", sys.executable, os.path.abspath(__file__)] + sys.argv[1:])


try:
    import nrsim
    LOADED = nrsim._lib is not None
except ImportError:
    LOADED = False
if not LOADED:
    if __name__ == "__main__":
        relaunch_under_simulator()
    raise ImportError("soak: the simulator is not loaded in this process")

import nrhal  # noqa: E402
from nrhal.power import Flag  # noqa: E402
from nrhal.smc import Message  # noqa: E402
from nrhal.telem import Tag  # noqa: E402
from nrhal.tlb import Caching, Config, Size  # noqa: E402

E = errno
# The borrow conflicts a shared session can show, each while another
# thread's call holds it with the interpreter lock released: sole use wanted
# during a controller call ("Already borrowed"), and any use during a
# persistent reopen, which holds the session solely ("Already mutably
# borrowed"; a window's use of its session then panics with that text).
BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"
NOT_MAPPED = "TLB window is not mapped"

# What a lost or missing card, or a session closed by a failed reopen, may
# answer any session operation.  No session here is nonblocking, so EAGAIN
# is never documented for them.
LOST = {E.ECONNRESET, E.ENODEV, E.ENOTCONN}
# The NRError errnos each operation may raise here, from its documentation.
ALLOWED = {
    "open": {E.ENODEV},
    "reopen": {E.ENODEV},
    "close": set(),
    "info": LOST,
    "telemetry": LOST | {E.EIO},
    "power": LOST,
    "alloc": LOST | {E.ENOSPC},
    "alloc-unoffered": LOST | {E.EINVAL},
    # A Tlb from before its session's reopen owns nothing on the new
    # descriptor: its bind is refused as the driver would refuse the id.
    # Windows are always let go of before their session is closed, so
    # neither a bind nor a free ever finds it closed (ENOTCONN): such a free
    # could not unmap.
    "bind": {E.ECONNRESET, E.EINVAL},
    "free": {E.ECONNRESET},
    "read": {E.ECONNRESET},
    "write": {E.ECONNRESET},
    "call": {E.ECONNRESET, E.ENOTCONN, E.ETIMEDOUT, E.EBUSY},
    "post": {E.ECONNRESET, E.ENOTCONN, E.EBUSY},
    # A handle follows its session's current descriptor: after a reopen the
    # driver has no message of it (ENOMSG).
    "poll": {E.ECONNRESET, E.ENOTCONN, E.ENOMSG},
    # The firmware attribute goes with its card (ENOENT to open, ENODEV to
    # read once the card left); no driver request is made, so no reopen.
    "fw.version": {E.ENOTCONN, E.EIO, E.ENOENT, E.ENODEV},
    # No card listed, or the one listed first went away meanwhile.
    "kmd.version": {E.ENODEV, E.ECONNRESET},
    "scan": set(),
    "from_path": {E.ENODEV},
    "from_bdf": {E.ENODEV},
}
# Operations whose RuntimeError "TLB window is not mapped" is documented: a
# window whose last bind failed.
UNMAPPED_OK = {"read", "write"}

ECHO_WORDS = 7
# What the simulator reports until told otherwise, as version objects print.
FW_VERSION = ".".join(nrsim.FW_VERSION.strip().split(".")[:3])
KMD_VERSION = ".".join(map(str, nrsim.KMD_VERSION))


Fault = collections.namedtuple("Fault", "errno label")


class Stats:
    """Outcome counts by operation, and the failures, shared by all threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.outcomes = collections.defaultdict(collections.Counter)
        self.failures = []
        self.failure_count = 0

    def count(self, op, outcome):
        with self.lock:
            self.outcomes[op][outcome] += 1

    def fail(self, op, text):
        with self.lock:
            self.failure_count += 1
            if len(self.failures) < 20:
                self.failures.append(f"{op}: {text}")

    def ops(self):
        with self.lock:
            return sum(sum(c.values()) for c in self.outcomes.values())


def label(exc):
    if isinstance(exc, nrhal.NRError):
        return f"NRError({errno.errorcode.get(exc.errno, exc.errno)})"
    return f"{type(exc).__name__}({exc})"


# A session and how it is used: shared ones are used by every worker, and
# any of them may try to recover one (reopen); private ones by one worker.
Holder = collections.namedtuple("Holder", "session persistent shared")


class Soak:
    def __init__(self, args):
        self.args = args
        self.stats = Stats()
        self.stop = threading.Event()
        self.cards = {}  # number -> (device_id, bdf)
        self.present = {}  # number -> bool, as the chaos thread last left it
        self.shared = {}  # number -> {persistent: Holder}
        self.chaos_events = collections.Counter()
        # Odd while a chaos event is under way: a check that must not race
        # one reads it before and after.  A worker process never knows: the
        # chaos is another process's.
        self.chaos_seq = 1 if getattr(args, "worker", False) else 0
        self.warm = threading.Event()
        self.rss_warm = None
        self.rss_peak = 0

    # ---- running one operation --------------------------------------------

    def attempt(self, op, fn, *, shared=False):
        """Runs fn(): (True, result), or (False, Fault) for any failure, an
        allowed one or not; one that is not allowed is recorded as a failure
        of the run.  The exception itself is not handed back: its traceback
        would tie the caller's frame, and the windows in it, into a cycle
        that the collector may then free on another thread."""
        try:
            return True, self._counted(op, fn())
        except nrhal.NRError as e:
            fault = Fault(e.errno, label(e))
            if e.errno in ALLOWED[op] and e.strerror == os.strerror(e.errno) and len(e.args) == 2:
                self.stats.count(op, fault.label)
                return False, fault
            detail = ""
        except RuntimeError as e:
            fault = Fault(None, label(e))
            if (shared and str(e) in (BORROWED, MUTABLY_BORROWED)) or (op in UNMAPPED_OK and str(e) == NOT_MAPPED):
                self.stats.count(op, fault.label)
                return False, fault
            detail = "\n" + traceback.format_exc()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # PanicException derives from BaseException
            fault = Fault(None, label(e))
            if shared and type(e).__name__ == "PanicException" and str(e) == MUTABLY_BORROWED:
                self.stats.count(op, fault.label)
                return False, fault
            detail = "\n" + traceback.format_exc()
        self.stats.count(op, "unexpected " + fault.label)
        self.stats.fail(op, f"unexpected {fault.label}{detail}")
        return False, fault

    def _counted(self, op, result):
        self.stats.count(op, "ok")
        return result

    def recover(self, holder, fault):
        """What a program does after a failed session operation: a plain
        session reopens after a lost connection, and any session reopens
        once a failed reopen has left it closed."""
        if fault.errno == E.ENOTCONN or (fault.errno == E.ECONNRESET and not holder.persistent) or \
                (fault.errno == E.ENODEV and holder.persistent):
            self.attempt("reopen", holder.session.reopen, shared=holder.shared)

    def session_op(self, holder, op, fn):
        ok, out = self.attempt(op, fn, shared=holder.shared)
        if not ok:
            self.recover(holder, out)
        return ok, out

    # ---- sessions ----------------------------------------------------------

    def open(self, n, persistent):
        ok, s = self.attempt("open", lambda: nrhal.Device.from_path(f"/dev/norvane/{n}").open(
            persistent=persistent))
        return s if ok else None

    def open_shared(self, n, persistent):
        # A worker process may start while the chaos has the card out.
        for _ in range(1000):
            try:
                return nrhal.Device.from_path(f"/dev/norvane/{n}").open(persistent=persistent)
            except nrhal.NRError as e:
                if not self.args.worker or e.errno != E.ENODEV:
                    raise
                time.sleep(0.005)
        raise RuntimeError(f"card {n} never came back")

    def pick(self, rng, own, before_close=None):
        """A session to work on: a shared one, or one of the worker's own
        (opened on demand, sometimes closed or replaced).  before_close(holder)
        lets go of what the worker still holds on a session it closes: a free
        after the close could no longer unmap a window."""
        n = rng.choice(list(self.cards))
        persistent = rng.random() < 0.5
        if rng.random() < 0.5:
            return n, self.shared[n][persistent]
        key = (n, persistent)
        holder = own.get(key)
        if holder is None or rng.random() < 0.02:
            if holder is not None:
                if before_close:
                    before_close(holder)
                self.attempt("close", holder.session.close)
            s = self.open(n, persistent)
            if s is None:
                own.pop(key, None)
                return n, None
            holder = own[key] = Holder(s, persistent, False)
        return n, holder

    def close_own(self, own):
        for holder in own.values():
            self.attempt("close", holder.session.close)
        own.clear()

    # ---- the workers -------------------------------------------------------

    def worker(self, name, body, index):
        rng = random.Random(self.args.seed * 1000 + index)
        own = {}
        state = {}
        rounds = 0
        try:
            while not self.stop.is_set():
                if self.args.iterations and rounds >= self.args.iterations:
                    break
                body(rng, own, state)
                rounds += 1
        except BaseException:  # a bug of the soak itself, or a panic out of place
            self.stats.fail(name, "worker died:\n" + traceback.format_exc())
        finally:
            try:
                cleanup = state.get("cleanup")
                if cleanup:
                    cleanup()
                self.close_own(own)
            except BaseException:
                self.stats.fail(name, "cleanup failed:\n" + traceback.format_exc())

    def telemetry_round(self, rng, own, state):
        n, holder = self.pick(rng, own)
        if holder is None:
            return
        device_id = self.cards[n][0]
        if rng.random() < 0.85:
            ok, t = self.session_op(holder, "telemetry", holder.session.telemetry)
            if ok:
                expected = nrsim.TELEM_DEFAULTS[device_id][1]
                if t[Tag.BoardIdHigh] != expected or t.get(Tag.AsicId) >> 16 != device_id:
                    self.stats.fail("telemetry", f"card {n}: BoardIdHigh {t[Tag.BoardIdHigh]:#x}, "
                                                 f"AsicId {t.get(Tag.AsicId):#x}")
        else:
            ok, info = self.session_op(holder, "info", holder.session.info)
            if ok and info.device_id != device_id:
                self.stats.fail("info", f"card {n}: device {info.device_id:#x}, not {device_id:#x}")
        if rng.random() < 0.03:
            ok, v = self.attempt("fw.version", lambda: nrhal.fw.version(holder.session), shared=holder.shared)
            if ok and str(v) != FW_VERSION:
                self.stats.fail("fw.version", f"card {n}: {v}, not {FW_VERSION}")
        if rng.random() < 0.02:
            ok, v = self.attempt("kmd.version", nrhal.kmd.version)
            if ok and str(v) != KMD_VERSION:
                self.stats.fail("kmd.version", f"{v}, not {KMD_VERSION}")
        if rng.random() < 0.05:
            ok, found = self.attempt("scan", nrhal.scan)
            if ok and not {d.id for d in found} <= set(self.cards):
                self.stats.fail("scan", f"listed {[d.id for d in found]}")
        if rng.random() < 0.02:
            n = rng.choice(list(self.cards))
            bdf = self.cards[n][1]
            ok, d = self.attempt("from_bdf", lambda: nrhal.Device.from_bdf(bdf))
            if ok and d.id != n:
                self.stats.fail("from_bdf", f"{bdf} gave card {d.id}, not {n}")

    def power_round(self, rng, own, state):
        n, holder = self.pick(rng, own)
        if holder is None:
            return
        flags = Flag.LO
        for f in (Flag.MaxAiClk, Flag.MriscPhyWakeup, Flag.VexelEnable, Flag.L2CpuEnable):
            if rng.random() < 0.5:
                flags = flags | f
        if rng.random() < 0.05:
            flags = Flag.HI
        seq = self.chaos_seq
        ok, _ = self.session_op(holder, "power", lambda: holder.session.power(flags))
        if ok and not holder.shared:
            # The card runs every feature any of its descriptors asks for,
            # so at least these -- unless a sever or removal since ended the
            # request.
            try:
                effective = nrsim.power(n)
            except OSError:  # removed meanwhile
                return
            if seq == self.chaos_seq and seq % 2 == 0 and effective & int(flags) != int(flags):
                self.stats.fail("power", f"card {n} runs {effective:#06x} after a request of {int(flags):#06x}")
        if rng.random() < 0.2:
            self.session_op(holder, "info", holder.session.info)

    def controller_round(self, rng, own, state):
        n, holder = self.pick(rng, own)
        if holder is None:
            return
        words = [nrsim.SMC_ECHO] + [rng.getrandbits(32) for _ in range(ECHO_WORDS)]
        if rng.random() < 0.7:
            timeout = rng.choice([None, 0.002, 0.05, 0.5])
            ok, reply = self.session_op(holder, "call", lambda: holder.session.call(Message(words), timeout))
            if ok:
                self.check_echo("call", words, reply)
            return
        ok, q = self.session_op(holder, "post", lambda: holder.session.post(Message(words)))
        if not ok:
            return
        how = rng.random()
        if how < 0.2:
            q.drop()
            return
        if how < 0.3:
            del q  # collected: dropped through the session
            return
        with q:
            for _ in range(200):
                ok, reply = self.attempt("poll", q.poll, shared=holder.shared)
                if not ok:
                    self.recover(holder, reply)
                    return
                if reply is not None:
                    self.check_echo("poll", words, reply)
                    return
                time.sleep(0.0005)

    def check_echo(self, op, words, reply):
        got = reply.message
        if got[0] != nrsim.SMC_OK or got[1:] != words[1:]:
            # The driver keeps one message per descriptor; a reply to another
            # message means an exchange got mixed up.
            self.stats.fail(op, f"echo of {words} came back as {got}")

    def window_round(self, rng, own, state):
        held = state.setdefault("held", [])
        state["cleanup"] = lambda: self.release_all(held, rng)
        # Windows kept from earlier rounds: their session may have been
        # reopened or their card severed since.
        for entry in list(held):
            if rng.random() < 0.3:
                self.exercise(rng, entry, 2)
            if rng.random() < 0.25:
                held.remove(entry)
                self.release(rng, entry)
        def before_close(closing):
            for entry in [e for e in held if e["holder"] is closing]:
                held.remove(entry)
                self.release(rng, entry)

        n, holder = self.pick(rng, own, before_close)
        if holder is None:
            return
        device_id = self.cards[n][0]
        pools = nrsim.WINDOW_POOLS[device_id]
        size_by_bytes = {1 << 20: Size.Mb1, 2 << 20: Size.Mb2, 16 << 20: Size.Mb16, 4 << 30: Size.Gb4}
        caching = rng.choice([Caching.Uncached, Caching.WriteCombined])
        if rng.random() < 0.05:
            lacking = [s for b, s in size_by_bytes.items() if b not in pools]
            ok, tlb = self.session_op(holder, "alloc-unoffered",
                                      lambda: holder.session.alloc(rng.choice(lacking), caching))
            if ok:
                self.stats.fail("alloc-unoffered", f"card {n} gave a window of a size it does not offer")
                tlb.free()
            return
        nbytes = rng.choice(sorted(pools))
        ok, tlb = self.session_op(holder, "alloc", lambda: holder.session.alloc(size_by_bytes[nbytes], caching))
        if not ok:
            return
        entry = {"tlb": tlb, "win": None, "bytes": nbytes, "card": n, "holder": holder}
        if not self.bind(rng, entry):
            self.release(rng, entry)
            return
        self.exercise(rng, entry, rng.randint(1, 8))
        if rng.random() < 0.2:
            self.bind(rng, entry)  # re-target: the same Window follows
            self.exercise(rng, entry, 2)
        if len(held) < 3 and rng.random() < 0.3:
            held.append(entry)
        else:
            self.release(rng, entry)

    def bind(self, rng, entry):
        n = entry["card"]
        columns, rows = nrsim.TILE_GRID[self.cards[n][0]]
        tele = nrsim.TELEM_TILE[self.cards[n][0]]
        while True:
            x, y = rng.randrange(columns), rng.randrange(rows)
            if (x, y) != tele:
                break
        # A few window-sized regions per tile, so that the device memory the
        # soak touches stays bounded.
        addr = entry["bytes"] * rng.randrange(1, 4)
        ok, win = self.attempt("bind", lambda: entry["tlb"].bind(Config(addr, x, y)))
        if ok:
            entry["win"] = win
        return ok

    def exercise(self, rng, entry, count):
        """Writes and reads back through the window; only this thread
        writes where its windows point."""
        win = entry["win"]
        if win is None:
            return
        size = entry["bytes"]
        for _ in range(count):
            kind = rng.randrange(4)
            # Near either end of the window, to keep the touched pages few.
            span = 1 << 16
            base = 0 if rng.random() < 0.5 else size - span
            if kind == 0:
                off, value = base + rng.randrange(0, span, 4), rng.getrandbits(32)
                write, read = (lambda: win.write_u32(off, value)), (lambda: win.read_u32(off))
            elif kind == 1:
                off, value = base + rng.randrange(0, span, 8), rng.getrandbits(64)
                write, read = (lambda: win.write_u64(off, value)), (lambda: win.read_u64(off))
            elif kind == 2:
                off, value = base + rng.randrange(span), rng.getrandbits(8)
                write, read = (lambda: win.write_u8(off, value)), (lambda: win.read_u8(off))
            else:
                length = rng.randrange(1, 300)
                off, value = base + rng.randrange(span - length), rng.randbytes(length)
                write, read = (lambda: win.write(off, value)), (lambda: win.read(off, len(value)))
            ok, _ = self.attempt("write", write)
            if not ok:
                return
            ok, got = self.attempt("read", read)
            if not ok:
                return
            if got != value:
                # A sever between the two accesses makes the read fault, not
                # return another value: the memory went with the mapping.
                self.stats.fail("read", f"card {entry['card']} offset {off:#x}: wrote {value!r}, "
                                          f"read {got!r}")
                return

    def release(self, rng, entry):
        tlb, entry["win"] = entry["tlb"], None
        how = rng.random()
        if how < 0.5:
            self.attempt("free", tlb.free)
            self.attempt("free", tlb.free)  # idempotent
        elif how < 0.75:
            def with_block():
                with tlb:
                    pass
            self.attempt("free", with_block)
        else:
            self.stats.count("free", "dropped")
        del entry["tlb"]

    def release_all(self, held, rng):
        while held:
            self.release(rng, held.pop())

    # ---- chaos ---------------------------------------------------------------

    def chaos(self):
        rng = random.Random(self.args.seed * 1000 + 99)
        try:
            while not self.stop.wait(rng.uniform(0.005, self.args.chaos_pause)):
                n = rng.choice(list(self.cards))
                what = rng.random()
                self.chaos_seq += 1
                if what < 0.55:
                    nrsim.sever(n)
                    self.chaos_events["sever"] += 1
                elif what < 0.8:
                    nrsim.remove(n)
                    self.present[n] = False
                    self.chaos_events["remove"] += 1
                    self.stop.wait(rng.uniform(0.002, self.args.chaos_pause))
                    self.add_back(n)
                elif what < 0.9:
                    nrsim.smc_delay(n, ms=rng.choice([0, 0, 1, 3, 20]))
                    self.chaos_events["smc_delay"] += 1
                else:
                    nrsim.telem_period(n, rng.choice([1, 5, 20, 100]))
                    self.chaos_events["telem_period"] += 1
                self.chaos_seq += 1
                if rng.random() < 0.05:
                    nrsim.clear_log()
        except BaseException:
            self.stats.fail("chaos", traceback.format_exc())
        finally:
            for n in self.cards:
                if not self.present[n]:
                    self.add_back(n)

    def add_back(self, n):
        device_id, bdf = self.cards[n]
        nrsim.add(device_id, bdf, number=n)
        self.present[n] = True
        self.chaos_events["add"] += 1

    # ---- the run -------------------------------------------------------------

    def sampler(self, start):
        while not self.stop.wait(0.5):
            now = time.monotonic() - start
            rss = private_rss()
            self.rss_peak = max(self.rss_peak, rss)
            if not self.warm.is_set() and self.warmed_up(now):
                self.rss_warm = rss
                self.warm.set()

    def warmed_up(self, now):
        if self.args.seconds:
            return now >= self.args.warmup
        return self.stats.ops() >= 5000

    def run(self):
        args = self.args
        nrsim.set_log_limit(64)  # the simulator's logs must not count as growth
        self.cards = launch_cards()
        self.present = {n: True for n in self.cards}
        if not self.cards:
            print("soak: no simulated card", file=sys.stderr)
            return 2
        unknown = [n for n, (d, _) in self.cards.items() if d not in nrsim.WINDOW_POOLS]
        if unknown:
            print(f"soak: cards {unknown} have a device ID without windows or telemetry", file=sys.stderr)
            return 2

        # An exception nobody could catch -- a Tlb or Window collected on
        # another thread, a failure in a destructor -- fails the run too.
        def unraisable(u):
            self.stats.fail("unraisable", f"{u.err_msg or 'Exception ignored in'}: {u.object!r}: "
                                          f"{type(u.exc_value).__name__}: {u.exc_value}")
        sys.unraisablehook = unraisable

        gc.collect()
        before = snapshot()
        rss_start, total_start = private_rss(), total_rss()
        for n in self.cards:
            self.shared[n] = {p: Holder(self.open_shared(n, p), p, True) for p in (False, True)}

        start = time.monotonic()
        bodies = [("telemetry", self.telemetry_round), ("windows", self.window_round),
                  ("controller", self.controller_round), ("power", self.power_round)]
        workers = [threading.Thread(target=self.worker, args=(name, body, i), name=name)
                   for i, (name, body) in enumerate(bodies)]
        chaos = threading.Thread(target=self.chaos if not args.worker else self.stop.wait, name="chaos")
        sampler = threading.Thread(target=self.sampler, args=(start,), name="sampler", daemon=True)
        for t in workers + [chaos, sampler]:
            t.start()
        deadline = start + args.seconds if args.seconds else None
        while any(t.is_alive() for t in workers):
            if deadline and time.monotonic() >= deadline:
                break
            time.sleep(0.05)
        self.stop.set()
        hung = []
        for t in workers + [chaos]:
            t.join(args.join_timeout)
            if t.is_alive():
                hung.append(t.name)
        elapsed = time.monotonic() - start
        if hung:
            print(f"soak: threads still running {args.join_timeout} s after the stop: {hung}", file=sys.stderr)
            faulthandler.dump_traceback(all_threads=True)
            sys.stderr.flush()
            os._exit(3)
        rss_run_end = private_rss()

        for n in self.cards:
            for holder in self.shared[n].values():
                self.attempt("close", holder.session.close)
        self.shared.clear()
        gc.collect()
        after = snapshot()
        rss_end, total_end = private_rss(), total_rss()

        leaks = compare(before, after, own_only=args.worker)
        for text in leaks:
            self.stats.fail("leak", text)
        growth = None
        if self.rss_warm is not None:
            growth = rss_end - self.rss_warm
            if args.rss_limit_mib is not None and growth > args.rss_limit_mib << 20:
                self.stats.fail("memory", f"private RSS grew by {growth / 2**20:.1f} MiB after the warm-up "
                                          f"(limit {args.rss_limit_mib} MiB)")

        report = {
            "seed": args.seed,
            "seconds": round(elapsed, 1),
            "operations": self.stats.ops(),
            "outcomes": {op: dict(sorted(c.items())) for op, c in sorted(self.stats.outcomes.items())},
            "chaos": dict(sorted(self.chaos_events.items())),
            "rss_kib": {"start": rss_start >> 10, "warm": None if self.rss_warm is None else self.rss_warm >> 10,
                        "run_end": rss_run_end >> 10, "peak": self.rss_peak >> 10, "end": rss_end >> 10,
                        "growth": None if growth is None else growth >> 10,
                        "total_start": total_start >> 10, "total_end": total_end >> 10},
            "left_behind": {"before": before, "after": after},
            "failures": self.stats.failures,
            "failure_count": self.stats.failure_count,
        }
        print_report(report, sys.stdout)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(report, f, indent=1)
        return 1 if self.stats.failure_count else 0


def total_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def private_rss():
    """Resident memory less its file and shared-memory pages: what a leak
    on the heap grows.  The simulated cards' memory is shared memory mapped
    only while a window is, so it is left out."""
    with open("/proc/self/statm") as f:
        fields = f.read().split()
    return (int(fields[1]) - int(fields[2])) * PAGE


def own_fds():
    """This process's descriptors, less the simulated cards' memory (the
    simulator's memfds), which comes and goes with the cards."""
    out = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except FileNotFoundError:  # the listing's own descriptor
            continue
        if not target.startswith("/memfd:nrsim"):
            out[fd] = target
    return out


def window_maps():
    """Mappings of the simulator's memory in /proc/self/maps: window
    mappings show as its memfds."""
    with open("/proc/self/maps") as f:
        return sum(1 for line in f if "memfd:nrsim" in line)


def per_card(fn):
    """fn(n) for each card, passing over a card that another process's chaos
    removes between the listing and the call."""
    out = {}
    for n in nrsim.devices():
        try:
            out[n] = fn(n)
        except OSError as e:
            if e.errno != E.ENODEV:
                raise
    return out


def snapshot():
    return {
        "fds": own_fds(),
        "window_maps": window_maps(),
        "sim_mappings": nrsim.mapping_count(),
        "sim_fds": nrsim.fd_count(),
        "windows": per_card(lambda n: len(nrsim.windows(n))),
        "open": per_card(nrsim.open_count),
    }


def compare(before, after, own_only=False):
    """What was left behind; with own_only, in this process alone (the
    cards' windows and open counts are every process's)."""
    leaks = []
    extra = {fd: t for fd, t in after["fds"].items() if before["fds"].get(fd) != t}
    if extra:
        leaks.append(f"descriptors left open: {extra}")
    for key in ("window_maps", "sim_mappings", "sim_fds"):
        if after[key] != before[key]:
            leaks.append(f"{key}: {before[key]} before, {after[key]} after")
    for key in () if own_only else ("windows", "open"):
        left = {n: c for n, c in after[key].items() if c}
        if left:
            leaks.append(f"{key} left on cards: {left}")
    return leaks


def print_report(r, out):
    w = out.write
    w(f"soak: seed {r['seed']}, {r['seconds']} s, {r['operations']} operations\n")
    for op, outcomes in r["outcomes"].items():
        total = sum(outcomes.values())
        parts = ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items(), key=lambda kv: -kv[1]))
        w(f"  {op:16} {total:8}  {parts}\n")
    w("  chaos: " + ", ".join(f"{k} {v}" for k, v in r["chaos"].items()) + "\n")
    rss = r["rss_kib"]
    w(f"  private RSS KiB: start {rss['start']}, after warm-up {rss['warm']}, peak {rss['peak']}, "
      f"end of run {rss['run_end']}, "
      f"after cleanup {rss['end']}, growth {rss['growth']}; total RSS KiB: start {rss['total_start']}, "
      f"end {rss['total_end']}\n")
    after = r["left_behind"]["after"]
    w(f"  afterwards: {len(after['fds'])} descriptors, {after['window_maps']} window maps, "
      f"{after['sim_mappings']} simulator mappings, {after['sim_fds']} simulator descriptors, "
      f"windows {after['windows']}, open {after['open']}\n")
    if r["failure_count"]:
        w(f"FAILED: {r['failure_count']} failures (first {len(r['failures'])}):\n")
        for f in r["failures"]:
            w("  - " + f.replace("\n", "\n    ") + "\n")
    else:
        w("passed\n")
    out.flush()


def launch_cards():
    """The cards to work on, {number: (device_id, bdf)}: as the launcher
    made them, or as a coordinating process hands them on (a worker may
    start while one of them is removed)."""
    if "NRSOAK_CARDS" in os.environ:
        return {int(n): tuple(v) for n, v in json.loads(os.environ["NRSOAK_CARDS"]).items()}
    cards = {}
    for n in nrsim.devices():
        ident = nrsim.identity(n)
        bus, dev, fn = ident.bus_dev_fn >> 8, ident.bus_dev_fn >> 3 & 0x1F, ident.bus_dev_fn & 7
        cards[n] = (ident.device_id, f"{ident.pci_domain:04x}:{bus:02x}:{dev:02x}.{fn:x}")
    return cards


class Processes:
    """The multi-process soak: workers in processes of their own on the
    shared host, and the chaos, kills included, from this one."""

    def __init__(self, args):
        self.args = args
        self.soak = Soak(args)  # for its chaos and its counts
        self.workers = []  # [Popen, report path, killed]
        self.kills = 0
        self.tmp = tempfile.mkdtemp(prefix="nrsoak-")

    def spawn(self, seconds):
        index = len(self.workers)
        report = os.path.join(self.tmp, f"worker-{index}.json")
        cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--seconds", f"{seconds:.1f}",
               "--seed", str(self.args.seed + index + 1), "--json", report, "--no-rss-check",
               "--join-timeout", str(self.args.join_timeout)]
        env = dict(os.environ, NRSOAK_CARDS=json.dumps(self.soak.cards))
        proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.workers.append([proc, report, False])

    def killer(self, deadline):
        rng = random.Random(self.args.seed * 1000 + 98)
        while not self.soak.stop.wait(rng.uniform(0.5, 2.0)):
            live = [w for w in self.workers if w[0].poll() is None and not w[2]]
            # Leave one alone to the end, for its own checks.
            live = live[1:]
            if not live:
                continue
            victim = rng.choice(live)
            victim[0].send_signal(signal.SIGKILL)
            victim[0].wait()
            victim[2] = True
            self.kills += 1
            left = deadline - time.monotonic()
            if left > 1.5:
                self.spawn(left)

    def run(self):
        args, soak = self.args, self.soak
        soak.cards = launch_cards()
        soak.present = {n: True for n in soak.cards}
        start = time.monotonic()
        deadline = start + args.seconds
        for _ in range(args.processes):
            self.spawn(args.seconds)
        chaos = threading.Thread(target=soak.chaos, name="chaos")
        killer = threading.Thread(target=self.killer, args=(deadline,), name="killer")
        chaos.start()
        killer.start()
        while time.monotonic() < deadline:
            time.sleep(0.05)
        soak.stop.set()
        chaos.join()
        killer.join()
        outcomes = collections.defaultdict(collections.Counter)
        for proc, report, killed in self.workers:
            try:
                _, err = proc.communicate(timeout=args.join_timeout + 30)
            except subprocess.TimeoutExpired:
                proc.kill()
                _, err = proc.communicate()
                soak.stats.fail("worker", f"process {proc.pid} did not stop")
                continue
            if killed:
                continue
            try:
                with open(report) as f:
                    r = json.load(f)
            except OSError:
                soak.stats.fail("worker", f"process {proc.pid} ended {proc.returncode} with no report: {err}")
                continue
            for op, counts in r["outcomes"].items():
                outcomes[op].update(counts)
            for text in r["failures"]:
                soak.stats.fail(f"worker {proc.pid}", text)
            if proc.returncode != 0 and not r["failures"]:
                soak.stats.fail("worker", f"process {proc.pid} ended {proc.returncode}: {err}")
        # What the killed left must be gone with them, and the host still
        # answers everyone.
        gc.collect()
        left = {n: {"open": nrsim.open_count(n), "windows": len(nrsim.windows(n)), "power": nrsim.power(n),
                    "waiting": nrsim.waiting(n)} for n in nrsim.devices()}
        for n, counts in left.items():
            if any(counts.values()):
                soak.stats.fail("leak", f"card {n} after the run: {counts}")
        if sorted(left) != sorted(soak.cards):
            soak.stats.fail("leak", f"cards after the run: {sorted(left)}, not {sorted(soak.cards)}")
        report = {
            "seed": args.seed,
            "seconds": round(time.monotonic() - start, 1),
            "processes": len(self.workers),
            "killed": self.kills,
            "operations": sum(sum(c.values()) for c in outcomes.values()),
            "outcomes": {op: dict(sorted(c.items())) for op, c in sorted(outcomes.items())},
            "chaos": dict(sorted(soak.chaos_events.items())),
            "cards_after": left,
            "failures": soak.stats.failures,
            "failure_count": soak.stats.failure_count,
        }
        w = sys.stdout.write
        w(f"soak: seed {args.seed}, {report['seconds']} s, {report['processes']} worker processes "
          f"({self.kills} killed), {report['operations']} operations by the others\n")
        w("  chaos: " + ", ".join(f"{k} {v}" for k, v in report["chaos"].items()) + "\n")
        w(f"  cards afterwards: {left}\n")
        if soak.stats.failure_count:
            w(f"FAILED: {soak.stats.failure_count} failures:\n")
            for f in soak.stats.failures:
                w("  - " + f.replace("\n", "\n    ") + "\n")
        else:
            w("passed\n")
        sys.stdout.flush()
        if args.json:
            with open(args.json, "w") as f:
                json.dump(report, f, indent=1)
        return 1 if soak.stats.failure_count else 0


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=None,
                   help="how long the workers run (default 10 without --iterations)")
    p.add_argument("--iterations", type=int, default=0,
                   help="rounds per worker thread (0: no bound)")
    p.add_argument("--seed", type=int, default=None, help="seed of the threads' random choices")
    p.add_argument("--warmup", type=float, default=None,
                   help="seconds before the private RSS baseline is taken (default a fifth of --seconds, "
                        "at most 20)")
    # A run of a couple of minutes makes over ten million operations, and
    # its private memory settles within 0.1 MiB after the warm-up: 8 MiB is
    # far above that noise, and below what one leaked small object (32
    # bytes) in every thirty operations adds up to.
    p.add_argument("--rss-limit-mib", type=int, default=8,
                   help="allowed growth of private RSS after the warm-up (default 8)")
    p.add_argument("--no-rss-check", dest="rss_limit_mib", action="store_const", const=None,
                   help="report memory but do not fail on it (short runs)")
    p.add_argument("--chaos-pause", type=float, default=0.08,
                   help="longest pause between the chaos thread's events, in seconds")
    p.add_argument("--join-timeout", type=float, default=30.0,
                   help="seconds the threads have to stop before the run counts as hung")
    p.add_argument("--json", metavar="FILE", help="also write the report as JSON")
    p.add_argument("--processes", type=int, default=0,
                   help="run the workers in this many processes, with chaos and kills from this one")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    # Before any window or telemetry read, as a program would with
    # -X faulthandler: a crash then shows every thread's stack, and bus
    # errors of severed cards must still be recovered with it in place.
    faulthandler.enable()
    if args.seconds is None and not args.iterations:
        args.seconds = 10.0
    if args.seed is None:
        args.seed = random.randrange(1 << 31)
    if args.warmup is None:
        args.warmup = min(20.0, (args.seconds or 0) / 5)
    if args.processes:
        if not args.seconds:
            p.error("--processes needs --seconds")
        return Processes(args).run()
    return Soak(args).run()


if __name__ == "__main__":
    sys.exit(main())
