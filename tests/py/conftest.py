"""Every Python test runs on the simulator (sim/nrsim-run), from a fresh
launch configuration: two cards, 0x401e at 0000:03:00.0 and 0xb140 at
0000:04:00.0, with empty logs and no faults armed."""
import gc
import os
import sys
import time
from pathlib import Path

import pytest

import nrhal
import nrsim

# This folder: child interpreters that import conftest run here.
TESTS = os.path.dirname(os.path.abspath(__file__))

# The flag word of every session open: O_RDWR | O_APPEND | O_CLOEXEC.
SESSION = os.O_RDWR | os.O_APPEND | os.O_CLOEXEC

# The test-only module _nrhal_probe is built with the tests (tests/probe), in
# the build tree the imported nrhal comes from.
sys.path.append(str(Path(nrhal.__file__).resolve().parents[2] / "tests" / "probe"))


@pytest.fixture(autouse=True)
def fresh_sim():
    nrsim.reset()
    yield
    nrsim.reset()


def open_fds():
    """Descriptors this process holds, for leak checks.  The simulated cards'
    own memory (memfds named nrsim-...) comes and goes with the cards, as a
    card's memory would, and is not the process's to leak."""
    fds = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except FileNotFoundError:  # the listing's own descriptor
            continue
        if not target.startswith("/memfd:nrsim"):
            fds.add(fd)
    return fds


@pytest.fixture
def no_session_left_open():
    """Every test closes what it opens, and the binding leaks nothing:
    once dropped objects are collected, no card has a descriptor open."""
    yield
    gc.collect()
    assert {n: nrsim.open_count(n) for n in nrsim.devices() if nrsim.open_count(n)} == {}


def dev(n=0):
    return nrhal.Device.from_path(f"/dev/norvane/{n}")


def raises_errno(err, fn, *args, **kwargs):
    """Runs fn, which must raise NRError with errno `err` and its text."""
    with pytest.raises(nrhal.NRError) as info:
        fn(*args, **kwargs)
    assert info.value.errno == err, info.value
    assert info.value.strerror == os.strerror(err)
    return info.value


def wait_for(cond):
    """Waits (bounded) for another thread to reach a state the simulator shows."""
    for _ in range(5000):
        if cond():
            return
        time.sleep(0.001)
    pytest.fail("the other thread never got there")


def live_fds():
    """Descriptors of this process, once dropped objects are collected.  The
    listing's own descriptor is gone by the time fstat runs."""
    gc.collect()
    fds = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            os.fstat(int(name))
        except OSError:
            continue
        fds.add(int(name))
    return fds


def clean_env(**extra):
    """The environment without this test run's simulator and paths."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONPATH", "NRSIM_LIB", "NRSIM_DEVICES", "NRSIM_HOST", "MYPYPATH")}
    env.update(extra)
    return env


def loaded_library():
    """The simulator library this run preloads."""
    for entry in os.environ.get("LD_PRELOAD", "").replace(" ", ":").split(":"):
        if os.path.basename(entry) == "libnrsim.so":
            return Path(entry)
    pytest.fail("libnrsim.so is not in LD_PRELOAD")


def open_card(n, extra=0):
    """A descriptor on card n with a session's flags (and `extra`)."""
    return os.open(f"/dev/norvane/{n}", SESSION | extra)


@pytest.fixture
def sess():
    """A session on card 0 with an empty request log; closed after the test,
    once what the test dropped (windows, Tlbs) is collected."""
    s = dev().open()
    nrsim.clear_log()
    yield s
    gc.collect()
    s.close()


@pytest.fixture
def fds():
    """Opens descriptors on a card on demand (a session's flags, or `flags`);
    closes those still open."""
    opened = []

    def make(n=0, extra=0, flags=None):
        opened.append(open_card(n, extra) if flags is None else os.open(f"/dev/norvane/{n}", flags))
        return opened[-1]

    yield make
    for fd in opened:
        try:
            os.close(fd)
        except OSError:
            pass  # closed by the test


@pytest.fixture
def card0():
    fd = open_card(0)
    yield fd
    os.close(fd)


@pytest.fixture
def frozen_firmware():
    """Firmware that writes nothing unless told, for exact values; and no
    window, mapping or descriptor left behind by any test."""
    for n in nrsim.devices():
        nrsim.telem_period(n, 0)
        nrsim.telem_restore(n)
    mapped = nrsim.mapping_count()
    yield
    gc.collect()
    assert {n: nrsim.windows(n) for n in nrsim.devices() if nrsim.windows(n)} == {}
    assert nrsim.mapping_count() == mapped
    assert {n: nrsim.open_count(n) for n in nrsim.devices() if nrsim.open_count(n)} == {}
