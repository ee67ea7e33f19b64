"""The bus-fault trap beside the interpreter's faulthandler and beside a
second copy of the native library (libnrhal.so through ctypes): a SIGBUS
that is nobody's, sent with kill() or raised by an access, gets one
faulthandler report and ends the process by SIGBUS; a window access to a
severed card still raises.  Each case runs in a fresh interpreter."""
import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

import nrhal

LIBNRHAL = pathlib.Path(nrhal.__file__).resolve().parents[2] / "lib" / "libnrhal.so"

PRELUDE = f"""
import ctypes, errno, faulthandler, mmap, os, signal, subprocess, sys, tempfile
import nrhal, nrsim
from nrhal.tlb import Caching, Config, Size

s = nrhal.Device.from_path("/dev/norvane/0").open()
tlb = s.alloc(Size.Mb2, Caching.Uncached)

def bind(x=1):
    return tlb.bind(Config(0x10000, x, x))

def send_sigbus():
    # From another process: si_code SI_USER.
    print("sending", flush=True)
    subprocess.run([sys.executable, "-c", f"import os; os.kill({{os.getpid()}}, 7)"])
    signal.pause()

def host_fault():
    # A fault of no device window: a mapping of a file cut short.
    f = tempfile.TemporaryFile()
    f.truncate(4096)
    m = mmap.mmap(f.fileno(), 4096)
    os.ftruncate(f.fileno(), 0)
    print("faulting", flush=True)
    m[0]

class Rec(ctypes.Structure):
    _fields_ = [("id", ctypes.c_uint32), ("fd", ctypes.c_int32), ("flags", ctypes.c_uint16)]

def shared_copy_reads_telemetry():
    # The second copy's telemetry reader arms, and so brings in, its trap.
    lib = ctypes.CDLL("{LIBNRHAL}")
    rec, card = Rec(), ctypes.c_uint32(0)
    values = (ctypes.c_uint32 * 69)()
    assert lib.nr_open(ctypes.byref(card), ctypes.byref(rec), 0) == 0
    assert lib.nr_telemetry(ctypes.byref(rec), values) == 0

def severed_read(win):
    nrsim.sever(0)
    try:
        win.read_u32(0)
    except nrhal.NRError as e:
        print("raised", errno.errorcode[e.errno], flush=True)
"""


def run(code):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONFAULTHANDLER"}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(PRELUDE) + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60, env=env)


def assert_reports_then_sigbus(proc, stdout, reports=1):
    assert (proc.returncode, proc.stdout) == (-signal.SIGBUS, stdout), proc.stderr[-2000:]
    assert proc.stderr.count("Fatal Python error: Bus error") == reports, proc.stderr[-2000:]


# faulthandler enabled before the first bind, or after it and claimed back
# by a later bind or telemetry read.
ORDERS = {
    "before": "faulthandler.enable(); win = bind()",
    "after, bind": "win = bind(); faulthandler.enable(); win = bind(2)",
    "after, telemetry": "win = bind(); faulthandler.enable(); s.telemetry()",
}


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("signal_from", ["send_sigbus", "host_fault"])
def test_nobodys_sigbus_reaches_faulthandler_once(order, signal_from):
    proc = run(f"{ORDERS[order]}\n{signal_from}()\n")
    assert_reports_then_sigbus(proc, "sending\n" if signal_from == "send_sigbus" else "faulting\n")


@pytest.mark.parametrize("shared_first", [True, False])
@pytest.mark.parametrize("with_faulthandler", [True, False])
def test_two_copies_of_the_library_act_as_one(shared_first, with_faulthandler):
    first, second = "shared_copy_reads_telemetry()", "win = bind()"
    if not shared_first:
        first, second = second, first
    proc = run(f"""
        {first}
        {second}
        if {with_faulthandler}:
            faulthandler.enable()
        s.telemetry()  # the extension's trap claimed back on top
        severed_read(win)
        host_fault()
    """)
    assert_reports_then_sigbus(proc, "raised ECONNRESET\nfaulting\n", int(with_faulthandler))
