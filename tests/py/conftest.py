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
    """Descriptors this process holds, for leak checks."""
    return set(os.listdir("/proc/self/fd"))
