"""``nrsmi reset N``: confirm, reset, show progress while the card is away."""
import errno
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


def _reset_in_background(number: int, label: str) -> "BaseException | None":
    """Runs Device.reset on a thread (it releases the interpreter lock) and
    shows progress until it ends.  A reset cannot be called off half-way, so
    ^C only says so."""
    outcome: "list[BaseException | None]" = []

    def work() -> None:
        try:
            nrhal.Device.from_path(query.node(number)).reset()
            outcome.append(None)
        except BaseException as e:  # handed to the main thread
            outcome.append(e)

    out = sys.stdout
    tty = out.isatty()
    out.write(f"Resetting {label}..." if tty else f"Resetting {label}...\n")
    out.flush()
    worker = threading.Thread(target=work, name="nrsmi-reset")
    worker.start()
    started, frame = time.monotonic(), 0
    while worker.is_alive():
        try:
            worker.join(TICK)
        except KeyboardInterrupt:
            print("\nnrsmi: a reset cannot be interrupted; waiting for the card to come back",
                  file=sys.stderr)
            continue
        if tty and worker.is_alive():
            elapsed = time.monotonic() - started
            out.write(f"\rResetting {label}... {SPINNER[frame % len(SPINNER)]} {elapsed:.0f}s")
            out.flush()
            frame += 1
    if tty:
        out.write(f"\r\x1b[KResetting {label}... ")
    return outcome[0] if outcome else RuntimeError("the reset thread ended without a result")


_FAILURES = {
    errno.ENODEV: (Exit.VANISHED, "card {n} vanished during the reset"),
    errno.ECONNRESET: (Exit.VANISHED, "card {n} was reset or removed by someone else meanwhile"),
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
    error = _reset_in_background(number, label)
    if error is None:
        print("done")
        return Exit.OK
    print("failed")
    if isinstance(error, nrhal.NRError):
        if error.errno == errno.EAGAIN:
            raise busy(number)
        if error.errno in _FAILURES:
            code, text = _FAILURES[error.errno]
            raise ToolError(code, text.format(n=number, path=query.node(number)))
        raise ToolError(Exit.ERROR, f"the reset of card {number} failed: {error.strerror}")
    raise error
