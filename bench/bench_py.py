"""Benchmarks of the Python module on the simulator (run by `make bench`).

Each figure is printed with the figure it is measured against, from the same
run, so that machine speed cancels out of the comparison."""
import sys
import time

import nrhal
import nrsim
from nrhal.smc import Message

REPEATS = 7


def per_call(fn, n):
    """Best-of-REPEATS time of one call of fn, in microseconds."""
    best = float("inf")
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, time.perf_counter() - t0)
        nrsim.clear_log()  # keep the simulator's log from growing across runs
    return best / n * 1e6


def main() -> int:
    failures = 0
    with nrhal.scan()[0].open() as sess:
        req = Message([nrsim.SMC_ECHO, 1, 2, 3])
        sess.call(req)  # warm up
        n = 20000
        info_us = per_call(sess.info, n)
        call_us = per_call(lambda: sess.call(req), n)
    ratio = call_us / info_us
    ok = ratio <= 3.0
    failures += not ok
    print(f"Session.info()              {info_us:8.3f} us/call   (one driver request)")
    print(f"Session.call(), echo        {call_us:8.3f} us/call   "
          f"{ratio:5.2f} x info   goal <= 3.00 x   {'ok' if ok else 'MISSED'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
