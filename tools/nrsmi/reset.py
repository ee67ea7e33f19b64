"""``nrsmi reset N``: confirm, reset, show progress while the card is away."""
import errno
import signal
import sys
import threading
import time

import nrhal

from . import holders, query
from .codes import Exit, ToolError

SPINNER = "|/-\\"
TICK = 0.1  # seconds between progress frames on a terminal


def busy(number: int) -> ToolError:
    who = holders.describe(holders.scan(query.node(number)))
    return ToolError(Exit.HELD, f"card {number} is busy: held open by {who}")


def confirm(question: str) -> bool:
    out = sys.stdout
    out.write(question)
    out.flush()
    try:
        answer = sys.stdin.readline()
    except KeyboardInterrupt:
        answer = ""
    if not answer.endswith("\n"):
        out.write("\n")  # end the prompt's line on EOF or ^C
    return answer.strip().lower() in ("y", "yes")


def _identify(number: int) -> str:
    """The card's PCI address, which the prompt names; refuses a card that
    cannot be reset as it stands."""
    card, sess = query.open_card(number)
    if sess is None:
        if card.status == query.HELD:
            raise busy(number)
        raise ToolError(query.STATUS_EXIT[card.status], card.message or f"card {number}: cannot open")
    with sess:
        try:
            info = sess.info()
        except nrhal.NRError as e:
            card = query.failed(card, e, "reading its identity")
            raise ToolError(query.STATUS_EXIT[card.status], card.message or "") from None
    return query.pci_address(info.pci_domain, info.bus_dev_fn)


def _reset_in_background(number: int, label: str) -> "tuple[BaseException | None, bool]":
    """Runs Device.reset on a thread (it releases the interpreter lock) and
    shows progress until it ends: (its error or None, whether ^C was
    pressed meanwhile).  A reset cannot be called off half-way, so ^C only
    says so.

    While the reset runs, SIGINT is taken by a handler that notes it rather
    than raising KeyboardInterrupt, which could land anywhere in the loop
    below (and, inside Thread.join(timeout), leaves a running thread looking
    ended); the wait is on an event that the thread sets."""
    outcome: "list[BaseException | None]" = []
    finished = threading.Event()

    def work() -> None:
        # ^C is for the main thread, which says why it does not stop.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            nrhal.Device.from_path(query.node(number)).reset()
            outcome.append(None)
        except BaseException as e:  # handed to the main thread
            outcome.append(e)
        finally:
            finished.set()

    out = sys.stdout
    tty = out.isatty()
    out.write(f"Resetting {label}..." if tty else f"Resetting {label}...\n")
    out.flush()
    interrupts = []

    def note(signum, frame) -> None:
        if not interrupts:
            sys.stderr.write("\nnrsmi: a reset cannot be interrupted; waiting for the card to come back\n")
            sys.stderr.flush()
        interrupts.append(signum)

    previous = signal.signal(signal.SIGINT, note)
    try:
        threading.Thread(target=work, name="nrsmi-reset", daemon=True).start()
        started, frame = time.monotonic(), 0
        while not finished.wait(TICK):
            if tty:
                elapsed = time.monotonic() - started
                out.write(f"\rResetting {label}... {SPINNER[frame % len(SPINNER)]} {elapsed:.0f}s")
                out.flush()
                frame += 1
    finally:
        signal.signal(signal.SIGINT, previous)
    if tty:
        out.write(f"\r\x1b[KResetting {label}... ")
    return outcome[0], bool(interrupts)


_FAILURES = {
    errno.ENODEV: (Exit.LOST, "card {n} was lost during the reset"),
    errno.ECONNRESET: (Exit.LOST, "card {n} was reset or removed by someone else meanwhile"),
    errno.EACCES: (Exit.DENIED, "permission denied: resetting card {n} needs write access to {path}"),
    errno.EPERM: (Exit.DENIED, "permission denied: resetting card {n} needs write access to {path}"),
    errno.ETIMEDOUT: (Exit.ERROR, "card {n} did not come back in time"),
    errno.EIO: (Exit.ERROR, "the reset of card {n} failed"),
}


def run(target: str, yes: bool) -> int:
    number = query.resolve(target)
    address = _identify(number)
    # Fail before asking if someone plainly has it open: the reset would be refused.
    seen = holders.scan(query.node(number))
    if seen.holders:
        raise ToolError(Exit.HELD, f"card {number} is busy: held open by {holders.describe(seen)}")
    label = f"card {number} ({address})"
    if not yes and not confirm(f"Reset {label}? [y/N] "):
        raise ToolError(Exit.DECLINED, "reset cancelled")
    error, interrupted = _reset_in_background(number, label)
    print("done" if error is None else "failed")
    try:
        _check(number, error)
    except ToolError as e:
        if not interrupted:
            raise
        print(f"nrsmi: {e.message}", file=sys.stderr)
    # Whatever the reset's outcome, ^C asked the command to end as interrupted.
    return Exit.INTERRUPTED if interrupted else Exit.OK


def _check(number: int, error: "BaseException | None") -> None:
    """Raises the reset's failure as the tool reports it."""
    if error is None:
        return
    if isinstance(error, nrhal.NRError):
        if error.errno == errno.EAGAIN:
            raise busy(number)
        if error.errno in _FAILURES:
            code, text = _FAILURES[error.errno]
            raise ToolError(code, text.format(n=number, path=query.node(number)))
        raise ToolError(Exit.ERROR, f"the reset of card {number} failed: {error.strerror}")
    raise error
