"""Reading the cards through nrhal into plain records that the text and
JSON views share.

Sessions are opened non-blocking, so a card that another client holds
exclusively is reported as held instead of hanging the tool, and
persistent, so a card reset out of band while it is read is simply read
again.

The library reports a missing driver, a node the user may not open and an
unknown card all as ENODEV; the tool looks at the file system to tell them
apart, and tells a card that is not there from one that went away while it
was being read.
"""
import dataclasses
import errno
import functools
import os
import re
import sys
import time

import nrhal
from nrhal.telem import Tag

from . import holders, tags
from .codes import Exit, ToolError

DEV_DIR = "/dev/norvane"

# Card states, as the JSON "status" field names them, with the exit code a
# single-card command ends with.
OK = "ok"
UNSUPPORTED = "unsupported"
HELD = "held"
VANISHED = "vanished"  # its node was gone when the tool came to open it
LOST = "lost"          # it went away while the tool was reading it
DENIED = "denied"
FAILED = "error"
STATUS_EXIT = {OK: Exit.OK, UNSUPPORTED: Exit.UNSUPPORTED, HELD: Exit.HELD,
               VANISHED: Exit.NO_SUCH_CARD, LOST: Exit.LOST, DENIED: Exit.DENIED,
               FAILED: Exit.ERROR}
NO_DRIVER_TEXT = f"no Norvane driver loaded ({DEV_DIR} is missing)"


def node(number: int) -> str:
    return f"{DEV_DIR}/{number}"


@functools.lru_cache(maxsize=None)
def tag_members() -> "tuple[tuple[str, Tag], ...]":
    """Every telemetry tag the library knows, in snapshot order."""
    members = [(name, m) for name, m in vars(Tag).items() if type(m) is Tag]
    return tuple(sorted(members, key=lambda item: int(item[1])))


def pci_address(domain: int, bus_dev_fn: int) -> str:
    return f"{domain:04x}:{bus_dev_fn >> 8:02x}:{bus_dev_fn >> 3 & 0x1F:02x}.{bus_dev_fn & 7:x}"


_BDF = re.compile(r"^(?:([0-9a-fA-F]{1,4}):)?([0-9a-fA-F]{1,2}):([0-9a-fA-F]{1,2})\.([0-7])$")


def parse_bdf(text: str) -> "tuple[int, int] | None":
    """(domain, bus_dev_fn) of a PCI address, full or short form."""
    m = _BDF.match(text)
    if not m:
        return None
    domain, bus, dev, fn = (int(g, 16) if g else 0 for g in m.groups())
    if dev > 0x1F:
        return None
    return domain, bus << 8 | dev << 3 | fn


@dataclasses.dataclass
class Card:
    number: int
    status: str = OK
    message: "str | None" = None
    vendor_id: "int | None" = None
    device_id: "int | None" = None
    subsystem_vendor_id: "int | None" = None
    subsystem_id: "int | None" = None
    pci_domain: "int | None" = None
    bus_dev_fn: "int | None" = None
    max_dma_buf_size_log2: "int | None" = None
    firmware_version: "str | None" = None
    #: why firmware_version is None, when the card could be asked
    firmware_error: "str | None" = None
    #: tag name -> raw 32-bit value, in snapshot order; None when no
    #: snapshot could be read.
    telemetry: "dict[str, int] | None" = None
    #: the processes holding the card, when asked for
    processes: "holders.Scan | None" = None

    @property
    def path(self) -> str:
        return node(self.number)

    @property
    def pci_address(self) -> "str | None":
        if self.pci_domain is None or self.bus_dev_fn is None:
            return None
        return pci_address(self.pci_domain, self.bus_dev_fn)

    @property
    def architecture(self) -> "str | None":
        return None if self.device_id is None else tags.architecture(self.device_id)

    def fail(self, status: str, message: str) -> "Card":
        self.status, self.message = status, message
        return self


@dataclasses.dataclass
class Report:
    cards: "list[Card]"
    driver_version: "str | None"
    timestamp: float
    #: why driver_version is None
    driver_error: "str | None" = None


def driver_present() -> bool:
    # access() rather than stat(): the simulator answers for access().
    return os.access(DEV_DIR, os.F_OK)


def scan() -> "list[nrhal.Device]":
    """Every card the driver lists, in directory order; the conditions that
    leave nothing to show are raised."""
    try:
        devices = nrhal.scan()
    except nrhal.NRError as e:
        if e.errno in (errno.EACCES, errno.EPERM):
            raise ToolError(Exit.DENIED, f"permission denied: cannot list {DEV_DIR}") from None
        raise ToolError(Exit.ERROR, f"cannot list {DEV_DIR}: {e.strerror}") from None
    if not devices:
        if not driver_present():
            raise ToolError(Exit.NO_DRIVER, NO_DRIVER_TEXT)
        raise ToolError(Exit.NO_CARDS, "no Norvane cards found")
    return devices


def failed(card: Card, e: "nrhal.NRError", what: str) -> Card:
    """The card's state after `what` failed with `e`, once it was open."""
    if e.errno == errno.EAGAIN:
        return card.fail(HELD, f"card {card.number} is held exclusively by another process")
    if e.errno in (errno.ENODEV, errno.ECONNRESET):
        if os.access(card.path, os.F_OK) and not os.access(card.path, os.R_OK | os.W_OK):
            return card.fail(DENIED, f"permission denied: cannot open {card.path}")
        return card.fail(LOST, f"card {card.number} was lost during the query: "
                         f"{what} failed ({e.strerror})")
    if e.errno in (errno.EACCES, errno.EPERM):
        return card.fail(DENIED, f"permission denied: {what} on {card.path}")
    return card.fail(FAILED, f"card {card.number}: {what} failed: {e.strerror}")


def open_card(number: int) -> "tuple[Card, nrhal.Session | None]":
    """A session on the card, or None and the card's state saying why.
    Raises ToolError when the driver itself is gone."""
    card = Card(number)
    try:
        sess = nrhal.Device.from_path(node(number)).open(nonblocking=True, persistent=True)
    except nrhal.NRError as e:
        if e.errno == errno.EAGAIN:
            return failed(card, e, "open"), None
        if not driver_present():
            raise ToolError(Exit.NO_DRIVER, NO_DRIVER_TEXT) from None
        if e.errno == errno.ENODEV and not os.access(card.path, os.F_OK):
            return card.fail(VANISHED, f"no card {number}"), None
        return failed(card, e, "open"), None
    return card, sess


def read_card(number: int) -> Card:
    card, sess = open_card(number)
    if sess is None:
        return card
    with sess:
        try:
            info = sess.info()
        except nrhal.NRError as e:
            return failed(card, e, "reading its identity")
        for field in ("vendor_id", "device_id", "subsystem_vendor_id", "subsystem_id",
                      "pci_domain", "bus_dev_fn", "max_dma_buf_size_log2"):
            setattr(card, field, getattr(info, field))
        try:
            card.firmware_version = str(nrhal.fw.version(sess))
        except nrhal.NRError as e:
            if e.errno in (errno.ECONNRESET, errno.ENODEV, errno.ENOTCONN):
                return failed(card, e, "reading its firmware version")
            # No attribute, or one that does not parse: the version is unknown.
            card.firmware_error = f"the card publishes no readable firmware version ({e.strerror})"
        except Exception as e:
            card.firmware_error = version_error(e)
        try:
            snap = sess.telemetry()
        except nrhal.NRError as e:
            if e.errno == errno.ENOTSUP:
                return card.fail(UNSUPPORTED, f"card {number}: unsupported architecture "
                                 f"(device ID {card.device_id:#06x}): no telemetry")
            return failed(card, e, "reading its telemetry")
        card.telemetry = {name: snap[tag] for name, tag in tag_members()}
    return card


def version_error(e: Exception) -> str:
    """Why a version query that reached the card gave no version."""
    if isinstance(e, ImportError):
        return f"semver cannot be imported by {sys.executable} ({e})"
    return f"the version was not understood ({type(e).__name__}: {e})"


def driver_version(first: "Card | None") -> "tuple[str | None, str | None]":
    """(the driver's version, None) or (None, why it is not known).

    The library asks through a blocking open of the first card listed, so
    the tool does not ask while that card is held exclusively: the query
    would wait for as long as the holder keeps it."""
    if first is None:
        return None, "no card to ask through"
    if first.status == HELD:
        return None, f"card {first.number}, which it is asked through, is held exclusively"
    try:
        return str(nrhal.kmd.version()), None
    except nrhal.NRError as e:
        return None, f"the query failed ({e.strerror})"
    except Exception as e:
        return None, version_error(e)


def find_processes(cards: "list[Card]") -> None:
    """Fills each card's processes, in one pass over /proc."""
    found = holders.scan_all([c.path for c in cards])
    for c in cards:
        c.processes = holders.with_modes(found[c.path], c.status == HELD)


def report(numbers: "list[int] | None" = None, processes: bool = False) -> Report:
    """Every card (or just `numbers`), and the driver's version; with
    `processes`, the processes holding each card (found once every session
    of the tool's own is closed)."""
    if numbers is None:
        listed = scan()
        numbers = sorted(d.id for d in listed)
    else:
        try:
            listed = nrhal.scan()
        except nrhal.NRError:
            listed = []
    cards = [read_card(n) for n in numbers]
    head = None
    if listed:
        # The driver query opens the first card in directory order.
        first = listed[0].id
        head = next((c for c in cards if c.number == first), None) or probe(first)
    if processes:
        find_processes(cards)
    version, why = driver_version(head)
    return Report(cards, version, time.time(), why)


def probe(number: int) -> Card:
    """The card's state as far as opening it tells (held or not), without reading it."""
    card, sess = open_card(number)
    if sess is not None:
        sess.close()
    return card


def resolve(target: str) -> int:
    """The card number that `target` names: a number, or a PCI address."""
    if re.fullmatch(r"[0-9]+", target):
        number = int(target)
        if number > 0xFFFFFFFF:
            raise ToolError(Exit.USAGE, f"card number {target} is out of range")
        if not driver_present():
            raise ToolError(Exit.NO_DRIVER, NO_DRIVER_TEXT)
        if not os.access(node(number), os.F_OK):
            raise ToolError(Exit.NO_SUCH_CARD, f"no card {number}")
        return number
    address = parse_bdf(target)
    if address is None:
        raise ToolError(Exit.USAGE, f"'{target}' is neither a card number nor a PCI address")
    held = []
    # Device.from_bdf would open every card blocking; look for it without waiting.
    for dev in scan():
        card, sess = open_card(dev.id)
        if sess is None:
            if card.status == HELD:
                held.append(card)
            continue
        with sess:
            try:
                info = sess.info()
            except nrhal.NRError:
                continue
        if (info.pci_domain, info.bus_dev_fn) == address:
            return dev.id
    wanted = pci_address(*address)
    if held:
        raise ToolError(Exit.HELD, f"no free card at {wanted}; held exclusively: "
                        + ", ".join(f"card {c.number}" for c in held))
    raise ToolError(Exit.NO_SUCH_CARD, f"no card at PCI address {wanted}")
