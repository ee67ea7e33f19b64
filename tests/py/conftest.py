"""Every Python test runs on the simulator (sim/nrsim-run), from a fresh
launch configuration: two cards, 0x401e at 0000:03:00.0 and 0xb140 at
0000:04:00.0, with empty logs and no faults armed."""
import os

import pytest

import nrsim


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
