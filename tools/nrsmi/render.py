"""The text views: the table of all cards and the detail view of one."""
from . import holders, tags
from .query import OK, UNSUPPORTED, Card, Report

DASH = "-"


def degree_sign(encoding: "str | None") -> str:
    """The degree-Celsius unit, spelled plainly where the output cannot encode it."""
    try:
        tags.DEG_C.encode(encoding or "ascii")
        return tags.DEG_C
    except (UnicodeEncodeError, LookupError):
        return "C"


def unknown(why: "str | None") -> str:
    return f"unknown ({why})" if why else "unknown"


def _driver_line(report: Report) -> str:
    return f"Norvane driver {report.driver_version or unknown(report.driver_error)}"


def _row(card: Card, deg: str) -> "list[str]":
    t = card.telemetry
    arch = card.architecture or DASH
    if card.status == UNSUPPORTED:
        arch += " (unsupported)"
    cells = [str(card.number), card.pci_address or DASH, arch, card.firmware_version or DASH]
    if t is None:
        return cells + [DASH] * 5
    return cells + [
        f"{t['AiClk']} MHz",
        f"{tags.fixed16(t['AsicTemperature']):.1f} {deg}",
        f"{t['InputPower']} / {t['BoardPowerLimit']} W",
        f"{t['FanSpeed']} %",
        str(t["TimerHeartbeat"]),
    ]


HEADER = ["Card", "PCI address", "Architecture", "Firmware", "AI clock", "ASIC temp",
          "Board power", "Fan", "Heartbeat"]
# Columns of numbers line up on the right.
RIGHT = {0, 4, 5, 6, 7, 8}


def table(report: Report, encoding: "str | None" = "utf-8") -> str:
    deg = degree_sign(encoding)
    rows = [HEADER] + [_row(c, deg) for c in report.cards]
    widths = [max(len(r[i]) for r in rows) for i in range(len(HEADER))]

    def line(cells: "list[str]") -> str:
        return "  ".join(c.rjust(w) if i in RIGHT else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    rule = "  ".join("-" * w for w in widths)
    out = [_driver_line(report), "", line(rows[0]), rule] + [line(r) for r in rows[1:]]
    notes = [c.message for c in report.cards if c.status != OK and c.message]
    notes += [f"card {c.number}: firmware version {unknown(c.firmware_error)}"
              for c in report.cards if c.firmware_error]
    if notes:
        out += [""] + [f"note: {m}" for m in notes]
    return "\n".join(out) + "\n"


def _field(label: str, value: str) -> str:
    return f"  {label:<22}{value}"


def detail(card: Card, report: Report, encoding: "str | None" = "utf-8") -> str:
    """What is known of the card; why the rest is missing is the caller's
    one-line message."""
    deg = degree_sign(encoding)
    out = [f"Card {card.number}  {card.path}"]
    if card.device_id is not None:
        out += [
            "PCI identity",
            _field("PCI address", card.pci_address or DASH),
            _field("Vendor ID", f"{card.vendor_id:#06x}"),
            _field("Device ID", f"{card.device_id:#06x}"),
            _field("Architecture", card.architecture or DASH),
            _field("Subsystem", f"{card.subsystem_vendor_id:#06x}:{card.subsystem_id:#06x}"),
            _field("Max DMA buffer", f"2^{card.max_dma_buf_size_log2} bytes"),
        ]
    out += [
        "Versions",
        _field("Kernel driver", report.driver_version or unknown(report.driver_error)),
        _field("Firmware bundle", card.firmware_version or unknown(card.firmware_error)),
    ]
    if card.telemetry is not None:
        out.append("Telemetry")
        out += [_field(name, tags.text(name, raw, deg)) for name, raw in card.telemetry.items()]
    if card.processes is not None:
        out.append("Processes")
        out += process_lines(card.processes) or ["  none"]
    return "\n".join(out) + "\n"


def process_lines(scan: "holders.Scan") -> "list[str]":
    """'  PID  MODE  COMMAND' per holder, and what could not be seen."""
    out = [f"  {h.pid:<7}  {h.mode or 'unknown':<9}  {h.command}" for h in scan.holders]
    if scan.hidden:
        n = scan.hidden
        out.append(f"  {n} process{'' if n == 1 else 'es'} could not be inspected (try as root)")
    return out


def processes(report: Report) -> str:
    """``nrsmi processes``: each card's holders, or a line saying there are none."""
    out = []
    for c in report.cards:
        scan = c.processes
        if scan is None or not (scan.holders or scan.hidden):
            continue
        name = f"Card {c.number}" + (f"  {c.pci_address}" if c.pci_address else "")
        out += [name] + process_lines(scan)
    if not out:
        return "No process holds a card.\n"
    return "\n".join(out) + "\n"
