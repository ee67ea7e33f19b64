"""The soak (tests/soak/soak.py): a short run of it in a process of its own, so a
crash fails the test instead of ending pytest, and its checks, which must
turn an undocumented error, a wrong value or anything left behind into a
failed run."""
import argparse
import errno
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import nrhal
from conftest import dev
from nrhal.tlb import Caching, Config, Size

REPO = Path(__file__).resolve().parents[2]
SOAK = REPO / "tests" / "soak" / "soak.py"
if str(SOAK.parent) not in sys.path:
    sys.path.insert(0, str(SOAK.parent))

import soak  # noqa: E402

pytestmark = pytest.mark.usefixtures("no_session_left_open")


def run_soak(*args, prelude=""):
    """Runs the soak on the simulator in a fresh interpreter (this one's
    environment carries the simulator): its exit status, output and report."""
    report = Path(os.environ.get("TMPDIR", "/tmp")) / f"soak-report-{os.getpid()}.json"
    code = prelude + f"import soak, sys; sys.exit(soak.main({list(args) + ['--json', str(report)]!r}))"
    try:
        proc = subprocess.run([sys.executable, "-c", code], cwd=SOAK.parent, capture_output=True, text=True,
                              timeout=120)
        data = json.loads(report.read_text()) if report.exists() else None
    finally:
        report.unlink(missing_ok=True)
    return proc, data


def test_short_run():
    proc, report = run_soak("--seconds", "4", "--seed", "7", "--no-rss-check")
    # A crash is a death by signal (a negative status), never a pass.
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.splitlines()[-1] == "passed"
    assert report["failure_count"] == 0 and report["failures"] == []
    outcomes = report["outcomes"]
    for op in ("telemetry", "info", "power", "call", "post", "poll", "alloc", "bind", "read", "write", "free",
               "reopen", "fw.version", "kmd.version"):
        assert outcomes[op].get("ok", 0) > 0, (op, outcomes.get(op))
    # The chaos happened, and the sessions went through it.
    assert {"sever", "remove", "add"} <= set(report["chaos"])
    assert outcomes["telemetry"].get("NRError(ENOTCONN)", 0) + outcomes["telemetry"].get(
        "NRError(ECONNRESET)", 0) + outcomes["telemetry"].get("NRError(ENODEV)", 0) > 0
    before, after = report["left_behind"]["before"], report["left_behind"]["after"]
    assert after == before
    assert after["window_maps"] == after["sim_mappings"] == 0 and after["sim_fds"] == 0


def test_short_run_of_worker_processes_with_kills():
    proc, report = run_soak("--seconds", "5", "--seed", "7", "--processes", "3")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert report["failure_count"] == 0 and report["killed"] > 0
    assert report["outcomes"]["info"].get("ok", 0) > 0  # the worker left alone did its work
    assert {"sever", "remove", "add"} <= set(report["chaos"])
    assert all(not any(c.values()) for c in report["cards_after"].values())


def test_a_wrong_value_fails_the_run():
    # The card reports 18.7.0; a soak told to expect another version must
    # say so in its report and its exit status.
    proc, report = run_soak("--iterations", "3000", "--seed", "7", "--no-rss-check",
                            prelude="import soak; soak.FW_VERSION = '1.2.3'\n")
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert "FAILED" in proc.stdout
    assert report["failure_count"] > 0
    assert all(f.startswith("fw.version: card ") and f.endswith("not 1.2.3") for f in report["failures"])


def test_usage_error():
    proc = subprocess.run([sys.executable, str(SOAK), "--seconds", "x"], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 2 and "--seconds" in proc.stderr


@pytest.fixture
def checker():
    return soak.Soak(argparse.Namespace(seed=1, iterations=0, seconds=1))


def nr_error(err):
    return nrhal.NRError(err, os.strerror(err))


class TestClassification:
    def raise_(self, exc):
        def fn():
            raise exc
        return fn

    def test_documented_errno_is_counted_not_failed(self, checker):
        ok, fault = checker.attempt("telemetry", self.raise_(nr_error(errno.ECONNRESET)))
        assert (ok, fault.errno) == (False, errno.ECONNRESET)
        assert checker.stats.failure_count == 0
        assert checker.stats.outcomes["telemetry"] == {"NRError(ECONNRESET)": 1}

    @pytest.mark.parametrize("op,err", [("telemetry", errno.EINVAL), ("call", errno.EIO),
                                        ("read", errno.ENOTCONN), ("bind", errno.ENOSPC)])
    def test_undocumented_errno_fails(self, checker, op, err):
        ok, fault = checker.attempt(op, self.raise_(nr_error(err)))
        assert not ok and fault.errno == err
        assert checker.stats.failure_count == 1
        assert checker.stats.failures[0].startswith(f"{op}: unexpected NRError({errno.errorcode[err]})")

    def test_wrong_text_fails(self, checker):
        checker.attempt("telemetry", self.raise_(nrhal.NRError(errno.ECONNRESET, "something else")))
        assert checker.stats.failure_count == 1

    def test_borrowed_only_on_shared_sessions(self, checker):
        checker.attempt("power", self.raise_(RuntimeError("Already borrowed")), shared=True)
        assert checker.stats.failure_count == 0
        checker.attempt("power", self.raise_(RuntimeError("Already borrowed")))
        assert checker.stats.failure_count == 1

    def test_mutably_borrowed_only_on_shared_sessions(self, checker):
        # A persistent reopen holds its session solely with the lock released.
        panic = type("PanicException", (BaseException,), {})
        checker.attempt("call", self.raise_(RuntimeError("Already mutably borrowed")), shared=True)
        checker.attempt("bind", self.raise_(panic("Already mutably borrowed")), shared=True)
        assert checker.stats.failure_count == 0
        checker.attempt("bind", self.raise_(panic("Already mutably borrowed")))
        assert checker.stats.failure_count == 1

    def test_unmapped_window_only_for_accesses(self, checker):
        checker.attempt("write", self.raise_(RuntimeError("TLB window is not mapped")))
        assert checker.stats.failure_count == 0
        checker.attempt("free", self.raise_(RuntimeError("TLB window is not mapped")), shared=True)
        assert checker.stats.failure_count == 1

    @pytest.mark.parametrize("exc", [TypeError("x"), SystemError("x"), ValueError("x"), KeyError(1)])
    def test_other_exceptions_fail(self, checker, exc):
        checker.attempt("info", self.raise_(exc), shared=True)
        assert checker.stats.failure_count == 1

    def test_panic_fails(self, checker):
        # A Tlb used from a thread other than its own panics.
        with dev().open() as s:
            tlb = s.alloc(Size.Mb1, Caching.Uncached)
            t = threading.Thread(target=checker.attempt, args=("free", tlb.free), kwargs={"shared": True})
            t.start()
            t.join()
            assert checker.stats.failure_count == 1
            assert "unexpected PanicException" in checker.stats.failures[0]
            tlb.free()

    def test_no_exception_is_handed_back(self, checker):
        # The fault is plain data: no traceback keeps the caller's frame (and
        # the windows in it) alive in a cycle.
        ok, fault = checker.attempt("telemetry", self.raise_(nr_error(errno.EIO)))
        assert not isinstance(fault, BaseException) and fault == (errno.EIO, "NRError(EIO)")


class TestLeftBehind:
    def test_nothing(self):
        assert soak.compare(soak.snapshot(), soak.snapshot()) == []

    def test_open_session(self):
        before = soak.snapshot()
        with dev(1).open():
            leaks = soak.compare(before, soak.snapshot())
        assert any(text.startswith("descriptors left open: ") for text in leaks)
        assert "open left on cards: {1: 1}" in leaks
        assert any(text.startswith("sim_fds: ") for text in leaks)

    def test_window_and_mapping(self):
        with dev().open() as s:
            before = soak.snapshot()
            with s.alloc(Size.Mb2, Caching.Uncached) as tlb:
                tlb.bind(Config(0x10000, 1, 1))
                leaks = soak.compare(before, soak.snapshot())
        assert "windows left on cards: {0: 1}" in leaks
        assert f"window_maps: {before['window_maps']} before, {before['window_maps'] + 1} after" in leaks
        assert f"sim_mappings: {before['sim_mappings']} before, {before['sim_mappings'] + 1} after" in leaks


def test_private_rss_is_the_heap():
    # The measure follows private memory (the heap), not the simulator's
    # shared memory mapped through windows.
    before = soak.private_rss()
    block = bytearray(32 << 20)
    for i in range(0, len(block), 4096):
        block[i] = 1
    grown = soak.private_rss() - before
    del block
    assert grown >= 30 << 20
