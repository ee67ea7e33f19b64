"""``nrsmi --query FIELD,...``: chosen fields of each card, as CSV or JSON.

Every field has a name a user can guess (``pci.address``,
``temperature.asic``, ``power.board``), a unit or none, and a value that is
exact: telemetry quantities in the unit the firmware gives (the ASIC
temperature decoded from its 16.16 fixed point with every digit kept),
packed words split into their parts (``temperature.gddr0`` .. ``gddr7``,
``voltage.vdd.min``/``max``), versions as text, masks in hexadecimal (JSON:
numbers).  A field the tool could not obtain for a card (a card held
exclusively, lost, unsupported, a firmware version it does not publish) is
empty in CSV and null in JSON.

The JSON form is one document per report (one per line with --watch)::

    {"schema": "nrsmi-query/1", "timestamp": 1767225600.25,
     "units": {"temperature.asic": "°C", ...},     # the chosen fields that have one
     "cards": [{"pci.address": "0000:03:00.0", "temperature.asic": 47.25, ...}]}
"""
import csv
import dataclasses
import decimal
import io
import json
import typing

import nrhal

from . import tags
from .codes import Exit, ToolError
from .query import Card, Report

SCHEMA = "nrsmi-query/1"

# How a value is written.
INT = "int"          # a whole number
FIXED = "fixed"      # 16.16 fixed point, decoded
HEX = "hex"          # an identifier or mask: 0x... in CSV, a number in JSON
TEXT = "text"        # a string as it is
VERSION = "version"  # a packed firmware version: "major.minor.patch.build"
DATE = "date"        # a packed YYYYMMDD date: "YYYY-MM-DD"
STAMP = "stamp"      # seconds since the epoch


@dataclasses.dataclass(frozen=True)
class Field:
    name: str
    unit: "str | None"
    help: str
    kind: str
    #: the raw value for a card (None: not obtained)
    get: "typing.Callable[[Card, Report], typing.Any]"


def _attr(name: str):
    return lambda card, report: getattr(card, name)


def _tag(tag: str, part: "str | None" = None):
    def get(card: Card, report: Report) -> "int | None":
        t = card.telemetry
        if t is None or tag not in t:
            return None
        raw = t[tag]
        if part == "low":
            return raw & 0xFFFF
        if part == "high":
            return raw >> 16
        return raw
    return get


_GENERAL = [
    Field("timestamp", "s", "time of the report, in seconds since the epoch", STAMP,
          lambda card, report: report.timestamp),
    Field("index", None, "card number: N of /dev/norvane/N", INT, lambda card, report: card.number),
    Field("path", None, "device node of the card", TEXT, lambda card, report: card.path),
    Field("status", None, "ok, unsupported, held, vanished, lost, denied or error", TEXT,
          lambda card, report: card.status),
    Field("pci.address", None, "PCI address, domain:bus:device.function", TEXT, _attr("pci_address")),
    Field("pci.vendor_id", None, "PCI vendor ID", HEX, _attr("vendor_id")),
    Field("pci.device_id", None, "PCI device ID", HEX, _attr("device_id")),
    Field("pci.subsystem_vendor_id", None, "PCI subsystem vendor ID", HEX, _attr("subsystem_vendor_id")),
    Field("pci.subsystem_id", None, "PCI subsystem ID", HEX, _attr("subsystem_id")),
    Field("architecture", None, "architecture, from the PCI device ID", TEXT, _attr("architecture")),
    Field("dma.max_buffer_size", "B", "largest DMA buffer the card takes", INT,
          lambda card, report: None if card.max_dma_buf_size_log2 is None
          else 1 << card.max_dma_buf_size_log2),
    Field("driver.version", None, "kernel driver version", TEXT,
          lambda card, report: report.driver_version),
    Field("firmware.version", None, "firmware bundle version", TEXT, _attr("firmware_version")),
    Field("nrhal.version", None, "version of the nrhal module nrsmi runs on", TEXT,
          lambda card, report: nrhal.__version__),
]

# tag -> [(field name, description, part of the word)], in snapshot order.
_TAG_FIELDS = {
    "BoardIdHigh": [("board.id.high", "board ID, high word", None)],
    "BoardIdLow": [("board.id.low", "board ID, low word", None)],
    "AsicId": [("asic.id", "ASIC ID", None)],
    "HarvestingState": [("asic.harvesting", "harvesting state", None)],
    "UpdateTelemSpeed": [("telemetry.interval", "telemetry update interval", None)],
    "Vcore": [("voltage.core", "core voltage", None)],
    "Tdp": [("power.tdp", "TDP power", None)],
    "Tdc": [("current.tdc", "TDC current", None)],
    "VddLimits": [("voltage.vdd.min", "lowest VDD voltage", "low"),
                  ("voltage.vdd.max", "highest VDD voltage", "high")],
    "ThmLimitShutdown": [("temperature.limit.shutdown", "shutdown temperature", None)],
    "AsicTemperature": [("temperature.asic", "ASIC temperature", None)],
    "VregTemperature": [("temperature.vreg", "voltage regulator temperature", None)],
    "BoardTemperature": [("temperature.board", "board temperature", None)],
    "AiClk": [("clocks.ai", "AI clock", None)],
    "AxiClk": [("clocks.axi", "AXI clock", None)],
    "SmcClk": [("clocks.smc", "SMC clock", None)],
    "L2CpuClk0": [("clocks.l2cpu0", "L2CPU 0 clock", None)],
    "L2CpuClk1": [("clocks.l2cpu1", "L2CPU 1 clock", None)],
    "L2CpuClk2": [("clocks.l2cpu2", "L2CPU 2 clock", None)],
    "L2CpuClk3": [("clocks.l2cpu3", "L2CPU 3 clock", None)],
    "EthLiveStatus": [("eth.live_status", "Ethernet live status", None)],
    "GddrStatus": [("gddr.status", "GDDR status", None)],
    "GddrSpeed": [("gddr.speed", "GDDR data rate", None)],
    "EthFwVersion": [("firmware.eth", "Ethernet firmware version", None)],
    "GddrFwVersion": [("firmware.gddr", "GDDR firmware version", None)],
    "DmAppFwVersion": [("firmware.dm_app", "device manager application firmware version", None)],
    "DmBlFwVersion": [("firmware.dm_bootloader", "device manager bootloader version", None)],
    "FlashBundleVersion": [("firmware.flash_bundle", "flash bundle version", None)],
    "CmFwVersion": [("firmware.cm", "chip management firmware version", None)],
    "L2CpuFwVersion": [("firmware.l2cpu", "L2CPU firmware version", None)],
    "FanSpeed": [("fan.speed", "fan speed", None)],
    "TimerHeartbeat": [("heartbeat", "firmware heartbeat counter", None)],
    "EnabledVexelCol": [("enabled.vexel_columns", "mask of enabled Vexel columns", None)],
    "EnabledEth": [("enabled.eth", "mask of enabled Ethernet ports", None)],
    "EnabledGddr": [("enabled.gddr", "mask of enabled GDDR channels", None)],
    "EnabledL2Cpu": [("enabled.l2cpu", "mask of enabled L2CPUs", None)],
    "PcieUsage": [("pcie.usage", "PCIe usage", None)],
    "InputCurrent": [("current.input", "input current", None)],
    "NocTranslation": [("noc.translation", "NOC translation enabled (1) or not (0)", None)],
    "FanRpm": [("fan.rpm", "fan speed", None)],
    "Gddr01Temp": [("temperature.gddr0", "GDDR chip 0 temperature", "low"),
                   ("temperature.gddr1", "GDDR chip 1 temperature", "high")],
    "Gddr23Temp": [("temperature.gddr2", "GDDR chip 2 temperature", "low"),
                   ("temperature.gddr3", "GDDR chip 3 temperature", "high")],
    "Gddr45Temp": [("temperature.gddr4", "GDDR chip 4 temperature", "low"),
                   ("temperature.gddr5", "GDDR chip 5 temperature", "high")],
    "Gddr67Temp": [("temperature.gddr6", "GDDR chip 6 temperature", "low"),
                   ("temperature.gddr7", "GDDR chip 7 temperature", "high")],
    "Gddr01CorrErrs": [("errors.corrected.gddr0", "corrected errors of GDDR chip 0", "low"),
                       ("errors.corrected.gddr1", "corrected errors of GDDR chip 1", "high")],
    "Gddr23CorrErrs": [("errors.corrected.gddr2", "corrected errors of GDDR chip 2", "low"),
                       ("errors.corrected.gddr3", "corrected errors of GDDR chip 3", "high")],
    "Gddr45CorrErrs": [("errors.corrected.gddr4", "corrected errors of GDDR chip 4", "low"),
                       ("errors.corrected.gddr5", "corrected errors of GDDR chip 5", "high")],
    "Gddr67CorrErrs": [("errors.corrected.gddr6", "corrected errors of GDDR chip 6", "low"),
                       ("errors.corrected.gddr7", "corrected errors of GDDR chip 7", "high")],
    "GddrUncorrErrs": [("errors.uncorrected.gddr", "uncorrected GDDR errors", None)],
    "MaxGddrTemp": [("temperature.gddr.max", "hottest GDDR chip temperature", None)],
    "AsicLocation": [("asic.location", "ASIC location", None)],
    "BoardPowerLimit": [("power.limit", "board power limit", None)],
    "InputPower": [("power.board", "board input power", None)],
    "TdcLimitMax": [("current.tdc.limit", "TDC current limit", None)],
    "ThmLimitThrottle": [("temperature.limit.throttle", "throttling temperature", None)],
    "FwBuildDate": [("firmware.build_date", "firmware build date", None)],
    "NrFlashVersion": [("firmware.nr_flash", "flash tool version", None)],
    "EnabledVexelRow": [("enabled.vexel_rows", "mask of enabled Vexel rows", None)],
    "ThermTripCount": [("thermal.trip_count", "thermal trips", None)],
    "AsicIdHigh": [("asic.id.high", "ASIC ID, high word", None)],
    "AsicIdLow": [("asic.id.low", "ASIC ID, low word", None)],
    "AiClkLimitMax": [("clocks.ai.limit", "AI clock limit", None)],
    "TdpLimitMax": [("power.tdp.limit", "TDP power limit", None)],
    "AiClkArbMin": [("clocks.ai.arbiter_min", "AI clock arbiter minimum", None)],
    "AiClkArbMax": [("clocks.ai.arbiter_max", "AI clock arbiter maximum", None)],
    "EnabledMinArb": [("enabled.arbiter_min", "mask of enabled minimum arbiters", None)],
    "EnabledMaxArb": [("enabled.arbiter_max", "mask of enabled maximum arbiters", None)],
}

_KINDS = {tags.NUMBER: INT, tags.FIXED16: FIXED, tags.PAIR: INT, tags.RANGE: INT,
          tags.VERSION: VERSION, tags.DATE: DATE, tags.HEX: HEX}


def _telemetry_fields() -> "list[Field]":
    from .query import tag_members

    out = []
    for tag, _ in tag_members():
        # A tag added to the library after this table was written still has a field.
        for name, text, part in _TAG_FIELDS.get(tag, [(f"tag.{tag}", "", None)]):
            unit = tags.unit(tag)
            if unit == tags.DEG_C:
                unit = "C"
            out.append(Field(name, unit, f"{text} ({tag})".lstrip(), _KINDS[tags.kind(tag)],
                             _tag(tag, part)))
    return out


FIELDS: "dict[str, Field]" = {f.name: f for f in _GENERAL + _telemetry_fields()}


def select(text: str) -> "list[Field]":
    names = [n.strip() for n in text.split(",")]
    unknown = [n for n in names if n not in FIELDS]
    if unknown or not names:
        raise ToolError(Exit.USAGE, f"unknown field{'s' if len(unknown) > 1 else ''} "
                        f"{', '.join(repr(n) for n in unknown)} (nrsmi --help-query lists them)")
    return [FIELDS[n] for n in names]


FORMAT_OPTIONS = ("noheader", "nounits")


def parse_format(text: "str | None") -> "set[str]":
    """The options of `--format csv[,noheader][,nounits]`."""
    words = [w.strip() for w in (text or "csv").split(",")]
    if words[0] != "csv" or any(w not in FORMAT_OPTIONS for w in words[1:]):
        raise ToolError(Exit.USAGE, f"bad --format '{text}': want csv[,noheader][,nounits]")
    return set(words[1:])


def json_value(field: Field, raw: typing.Any) -> typing.Any:
    if raw is None:
        return None
    if field.kind == FIXED:
        return tags.fixed16(raw)  # exact: a 32-bit word over 2**16 fits a double
    if field.kind == VERSION:
        return tags.version_text(raw)
    if field.kind == DATE:
        return tags.date_text(raw)
    return raw


def text_value(field: Field, raw: typing.Any) -> str:
    if raw is None:
        return ""
    if field.kind == FIXED:
        # Every digit of raw / 2**16: at most 16 after the point.
        exact = decimal.Decimal(raw) / 65536
        return format(exact.normalize(), "f")
    if field.kind == HEX:
        return f"{raw:#06x}" if field.name.startswith("pci.") else f"{raw:#010x}"
    if field.kind == STAMP:
        return repr(raw)
    if field.kind == INT:
        return str(raw)
    return str(json_value(field, raw))


def _unit(field: Field, deg: str) -> "str | None":
    return deg if field.unit == "C" else field.unit


def csv_text(report: Report, chosen: "list[Field]", options: "set[str]", header: bool,
             deg: str = tags.DEG_C) -> str:
    units = "nounits" not in options
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    if header and "noheader" not in options:
        writer.writerow(f"{f.name} [{_unit(f, deg)}]" if units and f.unit else f.name for f in chosen)
    for card in report.cards:
        row = []
        for f in chosen:
            value = text_value(f, f.get(card, report))
            if units and f.unit and value:
                value += f" {_unit(f, deg)}"
            row.append(value)
        writer.writerow(row)
    return out.getvalue()


def json_text(report: Report, chosen: "list[Field]", compact: bool) -> str:
    doc = {
        "schema": SCHEMA,
        "timestamp": report.timestamp,
        "units": {f.name: _unit(f, tags.DEG_C) for f in chosen if f.unit},
        "cards": [{f.name: json_value(f, f.get(card, report)) for f in chosen}
                  for card in report.cards],
    }
    if compact:
        return json.dumps(doc, separators=(",", ":")) + "\n"
    return json.dumps(doc, indent=2) + "\n"


def help_text(deg: str = tags.DEG_C) -> str:
    width = max(len(name) for name in FIELDS)
    lines = ["Fields of nrsmi --query FIELD[,FIELD...], with their units.  A value the card",
             "does not report is empty in CSV (--format csv[,noheader][,nounits]) and null",
             "in JSON (--json).", ""]
    for f in FIELDS.values():
        unit = f"[{_unit(f, deg)}]" if f.unit else ""
        lines.append(f"  {f.name:<{width}}  {unit:<6}  {f.help}")
    return "\n".join(lines) + "\n"
