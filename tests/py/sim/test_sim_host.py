"""One simulated host shared by every process under the launcher: the
driver's rules across processes, release when a process dies, control from
another process, and the host's own life (serve, join, its end)."""
import errno
import os
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import nrhal
import nrsim
from conftest import dev, raises_errno, wait_for
from nrhal.power import Flag
from nrhal.smc import Message
from nrhal.tlb import Caching, Config, Size
from test_sim_support import device_info

REPO = Path(__file__).resolve().parents[3]
LAUNCHER = REPO / "sim" / "nrsim-run"

PRELUDE = """\
import os, sys, nrhal, nrsim
from nrhal.power import Flag
from nrhal.smc import Message
from nrhal.tlb import Caching, Config, Size
def step(what):
    print(what, flush=True)
    sys.stdin.readline()
"""


class Child:
    """A Python process under this test's host, run a step at a time: it
    prints a line at each step and waits for a line to go on."""

    def __init__(self, script, env=None):
        self.p = subprocess.Popen([sys.executable, "-c", PRELUDE + script], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True, env=env)

    def expect(self, line):
        assert self.p.stdout.readline().strip() == line

    def go(self):
        self.p.stdin.write("\n")
        self.p.stdin.flush()

    def finish(self):
        out, _ = self.p.communicate(timeout=60)
        assert self.p.returncode == 0, out
        return out


def nrsim_command(*args, env=None):
    return subprocess.run([sys.executable, "-m", "nrsim", *args], capture_output=True, text=True, timeout=60,
                          env=env)


def test_blocking_exclusive_open_wakes_when_another_process_closes():
    holder = Child("s = nrhal.scan()[0].open(exclusive=True)\nstep('held')\ns.close()\n")
    holder.expect("held")
    waiter = Child("s = nrhal.scan()[0].open(exclusive=True)\nprint('opened', flush=True)\ns.close()\n")
    wait_for(lambda: nrsim.waiting(0) == 1)
    assert waiter.p.poll() is None
    holder.go()
    holder.finish()
    assert waiter.finish() == "opened\n"
    assert (nrsim.waiting(0), nrsim.open_count(0)) == (0, 0)


def test_reset_is_refused_while_another_process_holds_the_card():
    nrsim.reset_away(1, 0)
    holder = Child("s = nrhal.scan()[1].open()\nstep('held')\n")
    holder.expect("held")
    raises_errno(errno.EAGAIN, dev(1).reset)
    holder.go()
    holder.finish()
    dev(1).reset()
    assert nrsim.reset_count(1) == 1


def test_window_stores_of_one_process_are_loads_of_another():
    writer = Child("s = nrhal.scan()[0].open()\n"
                   "t = s.alloc(Size.Mb2, Caching.Uncached)\n"
                   "t.bind(Config(addr=0x10000000, x_end=1, y_end=2)).write(0x40, b'across')\n"
                   "step('written')\n")
    writer.expect("written")
    with dev(0).open() as sess, sess.alloc(Size.Mb2, Caching.Uncached) as tlb:
        assert tlb.bind(Config(addr=0x10000000, x_end=1, y_end=2)).read(0x40, 6) == b"across"
    writer.go()
    writer.finish()


def test_sever_from_a_third_process():
    with dev(0).open(persistent=True) as sess, sess.alloc(Size.Mb2, Caching.Uncached) as tlb:
        win = tlb.bind(Config(addr=0x10000000, x_end=1, y_end=2))
        win.write_u32(0, 7)
        r = nrsim_command("sever", "0")
        assert r.returncode == 0, r.stderr
        raises_errno(errno.ECONNRESET, win.read_u32, 0)
        assert sess.info().device_id == 0x401E  # the persistent session came back


def test_paths_and_listings_follow_cards_removed_and_added_by_another_process():
    # Each answer about a path or a directory is kept until the tree may have changed.
    paths = ("/dev/norvane/1", "/sys/class/norvane/norvane!1/nr_fw_bundle_ver")
    assert [d.id for d in nrhal.scan()] == [0, 1]
    other = Child("nrsim.remove(1)\nstep('removed')\nnrsim.add(0x401e, '0000:05:00.0')\nstep('added')\n")
    other.expect("removed")
    for path in paths:
        with pytest.raises(FileNotFoundError):
            os.open(path, os.O_RDONLY)
    assert [d.id for d in nrhal.scan()] == [0]
    other.go()
    other.expect("added")
    for path in paths:
        os.close(os.open(path, os.O_RDONLY))
    assert [d.id for d in nrhal.scan()] == [0, 1]
    other.go()
    other.finish()


def test_a_card_that_another_process_closed_is_free_at_once():
    # The close is not waited for, but is taken before anything sent after it.
    closer = Child("for _ in range(20):\n    nrhal.scan()[1].open().close()\n    step('closed')\n")
    for _ in range(20):
        closer.expect("closed")
        with dev(1).open(exclusive=True, nonblocking=True):
            assert nrsim.open_count(1) == 1
        closer.go()
    closer.finish()


def test_an_open_attribute_reads_what_another_process_set_since():
    fd = os.open("/sys/class/norvane/norvane!0/nr_fw_bundle_ver", os.O_RDONLY)
    try:
        assert nrsim_command("set_fw_version", "0", "9.8.7.6").returncode == 0
        assert os.read(fd, 64) == b"9.8.7.6"
    finally:
        os.close(fd)


def test_a_file_opened_again_from_kept_bytes_is_known_to_other_processes():
    path = "/sys/class/norvane/norvane!0/nr_fw_bundle_ver"
    os.close(os.open(path, os.O_RDONLY))
    fd = os.open(path, os.O_RDONLY)  # from the bytes kept: the host is told without waiting
    try:
        other = Child(f"print(os.readlink('/proc/{os.getpid()}/fd/{fd}'), flush=True)\n")
        assert other.finish() == path + "\n"
    finally:
        os.close(fd)


def test_a_killed_holder_releases_its_descriptors_power_and_windows():
    holder = Child("s = nrhal.scan()[1].open()\n"
                   "s.power(Flag.MaxAiClk)\n"
                   "t = s.alloc(Size.Mb2, Caching.Uncached)\n"
                   "t.bind(Config(addr=0, x_end=1, y_end=1))\n"
                   "step('ready')\n")
    holder.expect("ready")
    assert (nrsim.open_count(1), nrsim.power(1), len(nrsim.windows(1))) == (1, int(Flag.MaxAiClk), 1)
    holder.p.kill()
    holder.p.wait()
    # Released by the time its parent has reaped it, as the kernel does.
    assert (nrsim.open_count(1), nrsim.power(1), nrsim.windows(1)) == (0, 0, [])


def test_a_forked_child_shares_its_parents_open_file():
    fd = os.open("/dev/norvane/0", os.O_RDWR | os.O_EXCL)
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.read(r, 1)  # the parent has closed its descriptor
            code = 0 if device_info(fd)["device_id"] == 0x401E else 1
        finally:
            os._exit(code)
    os.close(fd)
    assert nrsim.open_count(0) == 1  # the child's descriptor still holds the file
    os.write(w, b"x")
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0 and nrsim.open_count(0) == 0
    os.close(r)
    os.close(w)


def test_nrsmi_names_a_holder_in_another_process():
    holder = Child("s = nrhal.scan()[1].open()\nstep('held')\n")
    holder.expect("held")
    env = dict(os.environ, PYTHONPATH=f"{REPO / 'tools'}:{os.environ.get('PYTHONPATH', '')}")
    r = subprocess.run([sys.executable, "-m", "nrsmi", "reset", "1", "--yes"], capture_output=True, text=True,
                       timeout=60, env=env)
    assert r.returncode != 0 and f"{holder.p.pid} (python3)" in r.stdout + r.stderr
    holder.go()
    holder.finish()


def test_driver_version_waits_behind_another_process_exclusive_hold():
    holder = Child("s = nrhal.scan()[0].open(exclusive=True)\nstep('held')\ns.close()\n")
    holder.expect("held")
    asker = Child("print(nrhal.kmd.version(), flush=True)\n")
    wait_for(lambda: nrsim.waiting(0) == 1)
    assert asker.p.poll() is None
    holder.go()
    holder.finish()
    assert asker.finish() == "2.4.1\n"


def test_one_controller_queue_per_card_across_processes():
    nrsim.smc_hang(0)
    poster = Child("s = nrhal.scan()[0].open()\np = s.post(Message([0x01, 1]))\nstep('posted')\n")
    poster.expect("posted")
    with dev(0).open() as sess:
        pending = sess.post(Message([0x01, 2]))
        assert nrsim.smc_queued(0) == 1 and [m[1] for m in nrsim.smc_messages(0)] == [1]
        nrsim.smc_hang(0, False)
        poster.go()
        poster.finish()
        while (reply := pending.poll()) is None:
            pass
        assert reply.message[1] == 2


@pytest.fixture
def served():
    """A host started to serve, and the environment that joins it."""
    r = subprocess.run([str(LAUNCHER), "--serve"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    env = dict(os.environ)
    for line in r.stdout.splitlines():
        if line.startswith("export "):
            name, _, value = line[len("export "):].partition("=")
            env[name] = value
    pid = int(r.stdout.rsplit("kill ", 1)[1])
    yield env, pid
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def test_joined_processes_share_a_served_host_and_see_it_die(served):
    env, pid = served
    r = nrsim_command("remove", "1", env=env)
    assert r.returncode == 0, r.stderr
    joined = Child("s = nrhal.scan()[0].open()\n"
                   "print(nrsim.devices(), flush=True)\n"
                   "step('open')\n"
                   "for call in (s.info, nrsim.devices):\n"
                   "    try:\n"
                   "        call()\n"
                   "    except OSError as e:\n"
                   "        print(e.errno, flush=True)\n", env=env)
    joined.expect("[0]")
    joined.expect("open")
    os.kill(pid, signal.SIGKILL)
    joined.go()
    # As on a removed card: the session's request is refused (ENODEV, which
    # the library reports as ECONNRESET), and so is every control.
    assert joined.finish() == f"{errno.ECONNRESET}\n{errno.ENODEV}\n"


def test_the_host_ends_with_the_programs_it_was_started_for():
    r = subprocess.run([str(LAUNCHER), "--", sys.executable, "-c", "import os; print(os.environ['NRSIM_HOST'])"],
                       capture_output=True, text=True, timeout=60)
    address = "\0" + r.stdout.strip()[1:]

    def gone():
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
            return s.connect_ex(address) != 0

    wait_for(gone)
