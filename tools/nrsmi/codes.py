"""Exit codes, one per condition a script may want to tell apart.

Each failure prints a single line ``nrsmi: <message>`` on standard error
and exits with its own code.
"""
import enum


class Exit(enum.IntEnum):
    OK = 0
    ERROR = 1           # anything not listed below
    USAGE = 2           # bad command line (argparse uses 2 as well)
    NO_DRIVER = 3       # /dev/norvane is missing: the kernel driver is not loaded
    NO_CARDS = 4        # the driver is loaded but lists no card
    HELD = 5            # the card is held by another client (exclusively, or open during a reset)
    NO_SUCH_CARD = 6    # no card by that number or address (not there when looked for)
    UNSUPPORTED = 7     # the card's architecture has no telemetry this library can read
    DENIED = 8          # permission denied on /dev/norvane or the card's node
    DECLINED = 9        # reset not confirmed, or the prompt was interrupted
    LOST = 10           # the card went away while it was being read or reset
    INTERRUPTED = 130   # ^C anywhere else (a --watch ended with ^C exits 0)


# (code, meaning) in order, for --help and the documentation.
TABLE = [
    (Exit.OK, "success"),
    (Exit.ERROR, "any other error"),
    (Exit.USAGE, "bad command line"),
    (Exit.NO_DRIVER, "no kernel driver loaded (/dev/norvane is missing)"),
    (Exit.NO_CARDS, "the driver lists no card"),
    (Exit.HELD, "the card is held by another process (exclusively, or open during a reset)"),
    (Exit.NO_SUCH_CARD, "no such card"),
    (Exit.UNSUPPORTED, "unsupported architecture: no telemetry for the card"),
    (Exit.DENIED, "permission denied on /dev/norvane or the card's node"),
    (Exit.DECLINED, "reset declined or interrupted at the prompt"),
    (Exit.LOST, "the card was lost during the query (removed, or reset by someone else)"),
    (Exit.INTERRUPTED, "interrupted (^C) outside --watch, monitor, exporter and the reset prompt"),
]


class ToolError(Exception):
    """A failure that ends the command: its one-line message and exit code."""

    def __init__(self, code: Exit, message: str):
        super().__init__(message)
        self.code = code
        self.message = message
