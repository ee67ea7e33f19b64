"""Blocking waits: opens that wait let go of the interpreter lock, a signal
ends an open, reset or call as it ends the interpreter's own system calls,
and a fork while a call waits leaves the child nothing borrowed.  Waits
that could hang are bounded; the simulator's counts tell what happened."""
import os
import signal
import struct
import subprocess
import sys
import threading

import pytest

import nrhal
import nrsim
from conftest import TESTS, dev, open_fds, wait_for
from nrhal.smc import Message

pytestmark = pytest.mark.usefixtures("no_session_left_open")

SMC, RESET, POLL, DROP, BEGIN = 0xFA11, 0xFA06, 2, 4, 4


def ops(number):
    return [struct.unpack_from("<I", rec, 4)[0] for num, rec in nrsim.requests(0) if num == number]


# Each waits for card 0, held exclusively: (setup, wait) as Python source.
WAITERS = {"Device.open": ("", "dev().open()"), "Device.from_bdf": ("", "nrhal.Device.from_bdf('03:00.0')"),
           "kmd.version": ("", "nrhal.kmd.version()"), "Session.reopen": ("s = dev().open(); s.close()", "s.reopen()"),
           "persistent reopen": ("s = dev().open(persistent=True); nrsim.sever(0)", "s.info()")}


@pytest.mark.parametrize("name", WAITERS)
def test_open_waits_without_the_interpreter_lock(name):
    # The main thread closes the holder while another waits for the card: a
    # wait that kept the lock would deadlock the child for ever.
    setup, wait = WAITERS[name]
    code = (f"import threading, nrhal, nrsim\nfrom conftest import dev, wait_for\n{setup}\n"
            f"holder = dev().open(exclusive=True)\nt = threading.Thread(target=lambda: {wait})\nt.start()\n"
            "wait_for(lambda: nrsim.waiting(0) == 1)\nholder.close()\nt.join()\nprint('done')")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          cwd=TESTS)
    assert proc.stdout == "done\n", proc.stderr


def interrupt(ready, until, rescue, sig=signal.SIGINT):
    """Sends `sig` to the main thread once `ready()`; `settled` tells whether
    `until()` followed.  `rescue()` runs last whatever happened, ending the
    main thread's wait, so that a failure cannot hang the test."""
    settled = []

    def run():
        try:
            wait_for(ready)
            signal.pthread_kill(threading.main_thread().ident, sig)
            wait_for(until)
            settled.append(True)
        finally:
            rescue()
    t = threading.Thread(target=run)
    t.start()
    return t, settled


class TestSignals:
    @pytest.fixture(autouse=True)
    def interruptible(self):
        # A run started in the background inherits SIGINT ignored.
        old = signal.signal(signal.SIGINT, signal.default_int_handler)
        yield
        signal.signal(signal.SIGINT, old)

    @pytest.mark.parametrize("kind", ["open", "from_bdf", "reopen", "persistent"])
    def test_interrupted_open_leaves_nothing(self, kind):
        fds = open_fds()
        s = dev().open(persistent=kind == "persistent")
        s.close() if kind == "reopen" else nrsim.sever(0)
        holder = dev().open(exclusive=True)
        t, settled = interrupt(lambda: nrsim.waiting(0) == 1, lambda: nrsim.waiting(0) == 0, holder.close)
        with pytest.raises(KeyboardInterrupt):
            {"open": dev().open, "from_bdf": lambda: nrhal.Device.from_bdf("03:00.0"), "reopen": s.reopen,
             "persistent": s.info}[kind]()
        t.join()
        assert settled and (kind in ("open", "from_bdf") or repr(s) == "Session(closed)")  # as a failed reopen leaves it
        s.close()
        assert nrsim.open_count(0) == 0 and open_fds() == fds

    def test_open_goes_on_after_a_handler_that_returns(self):
        calls = []
        old = signal.signal(signal.SIGUSR1, lambda *_: calls.append(nrsim.waiting(0)))
        try:
            holder = dev().open(exclusive=True)
            # The handler runs once the wait ended, then the open waits again.
            t, settled = interrupt(lambda: nrsim.waiting(0) == 1, lambda: calls and nrsim.waiting(0) == 1,
                                   holder.close, signal.SIGUSR1)
            dev().open().close()
            t.join()
        finally:
            signal.signal(signal.SIGUSR1, old)
        assert settled and calls == [0]

    def test_interrupted_call_drops_its_message(self):
        nrsim.smc_hang(0)
        with dev().open() as s:
            t, settled = interrupt(lambda: POLL in ops(SMC), lambda: DROP in ops(SMC), lambda: None)
            with pytest.raises(KeyboardInterrupt):
                s.call(Message([nrsim.SMC_ECHO]), timeout=30)  # else ETIMEDOUT in 30 s
            t.join()
            assert settled and ops(SMC)[-1] == DROP
            nrsim.smc_hang(0, False)
            assert s.call(Message([nrsim.SMC_ECHO, 5])).message[1] == 5  # free to send again

    def test_reset_runs_to_its_end_then_the_handler(self):
        # A reset is never abandoned halfway: the handler runs once it ends.
        nrsim.reset_away(0, never=True)
        t, _ = interrupt(lambda: BEGIN in ops(RESET), lambda: True, lambda: nrsim.reset_away(0, 0))
        with pytest.raises(KeyboardInterrupt):
            dev().reset()
        t.join()
        assert nrsim.reset_count(0) == 1 and nrsim.open_count(0) == 0


def test_fork_while_a_call_waits_leaves_nothing_borrowed():
    nrsim.smc_hang(0)
    s = dev().open()
    caller = threading.Thread(target=lambda: s.call(Message([nrsim.SMC_ECHO]), timeout=30))
    caller.start()
    wait_for(lambda: POLL in ops(SMC))
    pid = os.fork()
    if pid == 0:  # the calling thread is not here: the session is free
        code = 1
        try:
            s.info(), s.close()
            code = 0
        finally:
            os._exit(code)
    nrsim.smc_hang(0, False)
    caller.join()
    s.close()
    codes = []

    def reaped():
        done, status = os.waitpid(pid, os.WNOHANG)
        codes.extend([os.waitstatus_to_exitcode(status)] if done else [])
        return done

    wait_for(reaped)
    assert codes == [0]
