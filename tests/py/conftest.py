"""Every Python test runs on the simulator (sim/nrsim-run), from a fresh
launch configuration: two cards, 0x401e at 0000:03:00.0 and 0xb140 at
0000:04:00.0, with empty logs and no faults armed."""
import gc
import os
import pathlib
import sys
import time

import pytest

import nrhal
import nrsim

# The test-only module _nrhal_probe is built with the tests (tests/probe), in
# the build tree the imported nrhal comes from.
sys.path.append(str(pathlib.Path(nrhal.__file__).resolve().parents[2] / "tests" / "probe"))


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
