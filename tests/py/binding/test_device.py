"""Discovery and device descriptors: scan, Device.from_path/from_bdf, the
Device object, and Device.open's arguments, flags and blocking rules."""
import errno
import gc
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy
import pytest

import nrhal
import nrsim
from conftest import open_fds

pytestmark = pytest.mark.usefixtures("no_session_left_open")

OPEN_FLAGS = {  # (exclusive, nonblocking) -> the open(2) flag word
    (False, False): 0x80402,
    (True, False): 0x80482,
    (False, True): 0x80C02,
    (True, True): 0x80C82,
}



def run_python(code, env=None, timeout=60):
    """Runs code in a fresh interpreter; returns its stdout.  A child that
    hangs (an open that kept the interpreter lock) fails the test here."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def dev0():
    return nrhal.Device.from_path("/dev/norvane/0")


class TestScan:
    def test_launch_cards(self):
        devices = nrhal.scan()
        assert type(devices) is list
        assert all(type(d) is nrhal.Device for d in devices)
        assert sorted(d.id for d in devices) == [0, 1]

    def test_more_than_32_nodes(self):
        added = {nrsim.add(0x401e, f"0000:{bus:02x}:00.0") for bus in range(0x10, 0x10 + 70)}
        ids = [d.id for d in nrhal.scan()]
        assert len(ids) == 72 == len(set(ids))
        assert set(ids) == added | {0, 1}

    def test_driver_not_loaded(self):
        nrsim.set_driver("unloaded")
        assert nrhal.scan() == []

    def test_directory_denied(self):
        nrsim.set_driver("denied")
        with pytest.raises(nrhal.NRError) as info:
            nrhal.scan()
        assert info.value.errno == errno.EACCES
        assert info.value.strerror == os.strerror(errno.EACCES)

    def test_new_objects_each_time(self):
        a, b = nrhal.scan(), nrhal.scan()
        assert all(x is not y for x, y in zip(a, b))

    def test_without_the_simulator(self):
        # A machine without the kernel driver: no /dev/norvane at all.
        # (A sanitizer runtime preloaded ahead of the simulator stays.)
        env = {k: v for k, v in os.environ.items() if not k.startswith("NRSIM")}
        env["LD_PRELOAD"] = ":".join(p for p in env.get("LD_PRELOAD", "").split(":")
                                     if p and os.path.basename(p) != "libnrsim.so")
        out = run_python("""
            import os, nrhal
            print(os.path.exists("/dev/norvane"), nrhal.scan())
        """, env=env)
        assert out.split() == ["False", "[]"]


class TestFromPath:
    def test_node(self):
        d = nrhal.Device.from_path("/dev/norvane/1")
        assert type(d) is nrhal.Device
        assert d.id == 1
        assert repr(d) == "Device(id=1)"

    def test_added_card(self):
        n = nrsim.add(0x401e, "0000:07:00.0", number=2)
        assert n == 2
        d = nrhal.Device.from_path("/dev/norvane/2")
        assert (d.id, repr(d)) == (2, "Device(id=2)")

    def test_embedded_nul(self):
        with pytest.raises(nrhal.NRError) as info:
            nrhal.Device.from_path("/dev/norvane/0\0junk")
        assert info.value.errno == 22
        assert info.value.strerror == "invalid path"
        assert info.value.args == (22, "invalid path")

    @pytest.mark.parametrize("path,err", [
        ("/dev/null", errno.EINVAL),
        ("/dev/norvane", errno.EINVAL),
        ("/dev/norvane/7", errno.ENODEV),
        ("", errno.ENODEV),
    ])
    def test_native_errors(self, path, err):
        with pytest.raises(nrhal.NRError) as info:
            nrhal.Device.from_path(path)
        assert info.value.errno == err
        assert info.value.strerror == os.strerror(err)

    @pytest.mark.parametrize("path", [5, None, b"/dev/norvane/0", pathlib.Path("/dev/norvane/0")])
    def test_only_str(self, path):
        with pytest.raises(TypeError, match=r"from_path\(\) argument 'path' must be str"):
            nrhal.Device.from_path(path)


class TestFromBdf:
    @pytest.mark.parametrize("addr", ["0000:03:00.0", "3:0.0", "03:00.0", "0:3:0.0", "0000:03:00.0 "])
    def test_forms_of_one_address(self, addr):
        assert nrhal.Device.from_bdf(addr).id == 0

    def test_second_card(self):
        assert nrhal.Device.from_bdf("0000:04:00.0").id == 1

    def test_embedded_nul(self):
        with pytest.raises(nrhal.NRError) as info:
            nrhal.Device.from_bdf("0000:03:00.0\0")
        assert info.value.args == (22, "invalid address")

    @pytest.mark.parametrize("addr,err", [
        ("03-00-0", errno.EINVAL),
        ("", errno.EINVAL),
        ("0000:03:20.0", errno.ENODEV),
        ("0000:09:00.0", errno.ENODEV),
    ])
    def test_native_errors(self, addr, err):
        with pytest.raises(nrhal.NRError) as info:
            nrhal.Device.from_bdf(addr)
        assert info.value.errno == err

    @pytest.mark.parametrize("addr", [3, b"0000:03:00.0", pathlib.Path("0000:03:00.0")])
    def test_only_str(self, addr):
        with pytest.raises(TypeError, match=r"from_bdf\(\) argument 'addr' must be str"):
            nrhal.Device.from_bdf(addr)

    def test_probing_leaves_nothing_open(self):
        gc.collect()  # sessions left by earlier tests
        before = open_fds()
        nrhal.Device.from_bdf("0000:04:00.0")
        assert nrsim.open_count(0) == nrsim.open_count(1) == 0
        assert open_fds() == before


class TestDeviceObject:
    def test_identity_semantics(self):
        a, b = dev0(), dev0()
        assert a is not b
        assert a != b
        assert a == a
        assert a.id == b.id == 0
        assert hash(a) != hash(b)

    def test_id_is_read_only(self):
        d = dev0()
        with pytest.raises(AttributeError):
            d.id = 1
        assert d.id == 0

    def test_large_number(self):
        n = nrsim.add(0x401e, "0000:06:00.0", number=4294967295)
        assert n == 4294967295
        d = nrhal.Device.from_path("/dev/norvane/4294967295")
        assert d.id == 4294967295
        assert repr(d) == "Device(id=4294967295)"

    def test_holds_nothing_open(self):
        nrhal.scan()
        dev0()
        assert nrsim.opens(0) == []
        assert nrsim.open_count(0) == 0


class TestOpenArguments:
    @pytest.mark.parametrize("kwargs", [
        {"exclusive": 1}, {"nonblocking": 0}, {"persistent": None},
        {"exclusive": "yes"}, {"persistent": numpy.int8(1)}, {"nonblocking": 1.0},
    ])
    def test_only_bools(self, kwargs):
        (name,) = kwargs
        with pytest.raises(TypeError, match=rf"open\(\) argument '{name}' must be bool"):
            dev0().open(**kwargs)
        assert nrsim.opens(0) == []

    def test_keyword_only(self):
        with pytest.raises(TypeError, match=r"open\(\) takes 0 positional arguments but 1 was given"):
            dev0().open(True)
        with pytest.raises(TypeError, match=r"open\(\) got an unexpected keyword argument 'shared'"):
            dev0().open(shared=True)
        assert nrsim.opens(0) == []

    @pytest.mark.parametrize("exclusive", [False, True])
    @pytest.mark.parametrize("nonblocking", [False, True])
    @pytest.mark.parametrize("persistent", [False, True])
    def test_flags_reach_the_driver(self, exclusive, nonblocking, persistent):
        s = dev0().open(exclusive=exclusive, nonblocking=nonblocking, persistent=persistent)
        assert nrsim.opens(0) == [OPEN_FLAGS[exclusive, nonblocking]]
        assert type(s) is nrhal.Session
        s.close()

    def test_numpy_bools(self):
        s = dev0().open(exclusive=numpy.True_, nonblocking=numpy.bool_(False), persistent=numpy.True_)
        assert nrsim.opens(0) == [OPEN_FLAGS[True, False]]
        s.close()

    def test_defaults(self):
        with dev0().open():
            assert nrsim.open_count(0) == 1
        assert nrsim.opens(0) == [OPEN_FLAGS[False, False]]


class TestOpenErrors:
    def test_missing_device(self):
        d = nrhal.Device.from_path("/dev/norvane/1")
        nrsim.remove(1)
        with pytest.raises(nrhal.NRError) as info:
            d.open()
        assert info.value.errno == errno.ENODEV

    def test_driver_refusal_is_enodev(self):
        nrsim.fail_open(0, errno.EACCES)
        with pytest.raises(nrhal.NRError) as info:
            dev0().open()
        assert info.value.errno == errno.ENODEV
        assert len(nrsim.opens(0)) == 1

    def test_nonblocking_against_exclusive_holder(self):
        gc.collect()  # sessions left by earlier tests
        before = open_fds()
        holder = dev0().open(exclusive=True)
        for kwargs in ({"nonblocking": True}, {"nonblocking": True, "exclusive": True}):
            with pytest.raises(nrhal.NRError) as info:
                dev0().open(**kwargs)
            assert info.value.errno == errno.EAGAIN
            assert info.value.strerror == os.strerror(errno.EAGAIN)
        assert nrsim.open_count(0) == 1
        holder.close()
        assert open_fds() == before

    def test_nonblocking_exclusive_against_shared_holder(self):
        holder = dev0().open()
        with pytest.raises(nrhal.NRError) as info:
            dev0().open(exclusive=True, nonblocking=True)
        assert info.value.errno == errno.EAGAIN
        # A shared nonblocking open is compatible with a shared holder.
        dev0().open(nonblocking=True).close()
        holder.close()
        dev0().open(exclusive=True, nonblocking=True).close()

# Runs in a fresh interpreter so that an open that kept the interpreter lock
# shows as a timeout rather than hanging the test run.
BLOCKED_OPEN = """
import json, threading, time
import nrhal, nrsim

dev = nrhal.Device.from_path("/dev/norvane/0")
holder = dev.open(exclusive={holder_exclusive})
out = []

def worker():
    try:
        out.append(dev.open(exclusive={waiter_exclusive}))
    except BaseException as e:
        out.append(e)

t = threading.Thread(target=worker)
t.start()
# Wait until the worker's open waits in the driver.  Getting here at all
# needs the worker to have let go of the interpreter lock.
for _ in range(100000):
    if nrsim.waiting(0) or out:
        break
    time.sleep(0.0005)
blocked = nrsim.waiting(0) == 1 and t.is_alive() and not out
holder.close()
t.join(30)
s = out[0]
print(json.dumps({{
    "blocked": blocked,
    "finished": not t.is_alive(),
    "result": repr(s),
    "open_count": nrsim.open_count(0),
    "opens": nrsim.opens(0),
}}))
"""


class TestBlockingOpen:
    @pytest.mark.parametrize("holder_exclusive,waiter_exclusive", [(True, False), (False, True), (True, True)])
    def test_waits_for_holder_without_the_interpreter_lock(self, holder_exclusive, waiter_exclusive):
        code = BLOCKED_OPEN.format(holder_exclusive=holder_exclusive, waiter_exclusive=waiter_exclusive)
        result = json.loads(run_python(code))
        assert result["blocked"], "the open did not wait for the holder"
        assert result["finished"]
        assert result["result"] == "Session(id=0)"
        assert result["open_count"] == 1  # the holder closed, the waiter's session is open
        assert result["opens"] == [OPEN_FLAGS[holder_exclusive, False], OPEN_FLAGS[waiter_exclusive, False]]
