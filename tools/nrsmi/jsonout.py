"""The JSON document of ``nrsmi --json``, schema "nrsmi/1".

One JSON object per report (one per line with ``--watch``)::

    {
      "schema": "nrsmi/1",
      "timestamp": 1767225600.25,        # seconds since the epoch (number)
      "nrhal_version": "0.1.1",
      "driver_version": "2.1.0" | null,  # null: the driver could not be asked
      "driver_version_error": null | "why driver_version is null",
      "units": {"AiClk": "MHz", ...},    # unit of each telemetry value that has one
      "cards": [card, ...]               # by card number; one card with -d
    }

Each card::

    {
      "number": 0,
      "path": "/dev/norvane/0",
      "status": "ok" | "unsupported" | "held" | "vanished" | "lost" | "denied" | "error",
      "message": null | "one line saying what went wrong",
      "pci_address": "0000:03:00.0",
      "vendor_id": 8058, "device_id": 16414,
      "subsystem_vendor_id": 8058, "subsystem_id": 1,
      "max_dma_buf_size_log2": 28,
      "architecture": "Norvane N1" | "Norvane N2" | "unknown (0x1234)",
      "firmware_version": "18.7.0",
      "firmware_version_error": null | "why firmware_version is null",
      "telemetry": {"BoardIdHigh": 16777265, ..., "EnabledMaxArb": 61},
      "processes": [{"pid": 1234, "command": "python3", "mode": "shared"}, ...],
      "processes_hidden": 0              # processes whose descriptors could not be read
    }

Status "vanished": the card's node was gone when the tool came to open it;
"lost": the card went away (removed, or reset by someone else) while it
was being read.  A process's "mode" is "shared" or "exclusive", or null
when it cannot be known (the card is held exclusively and several
processes have it open).

Values: every number is a JSON number, never a string.  A value the tool
could not obtain is null: the identity fields of a card it could not open,
the firmware version when the card publishes none, and every telemetry
value when no snapshot could be read (status "unsupported", or a failure).
The telemetry object always lists every tag the library knows, in snapshot
order.  The firmware cannot say that it does not report a tag: such a tag
reads 0, and so does it here.

Telemetry values are in the unit that "units" gives: clocks MHz, voltages
mV, powers W, currents A (InputCurrent mA), temperatures degrees C
(AsicTemperature decoded from fixed point to a fractional number),
percentages, milliseconds.  Tags without a unit are counts or packed
words, given as the raw unsigned 32-bit value: firmware versions
(major << 24 | minor << 16 | patch << 8 | build), FwBuildDate (YYYYMMDD as
hexadecimal digits), masks and identifiers, and pairs of 16-bit halves
(GddrNNTemp and GddrNNCorrErrs: even chip in bits 0..15, odd chip in
16..31; VddLimits: min mV in 0..15, max mV in 16..31).

A later schema that only adds fields keeps the name "nrsmi/1"; any other
change gets a new one.
"""
import dataclasses
import json

import nrhal

from . import tags
from .query import Card, Report, tag_members

SCHEMA = "nrsmi/1"

_IDENTITY = ("vendor_id", "device_id", "subsystem_vendor_id", "subsystem_id",
             "max_dma_buf_size_log2")


def card_object(card: Card) -> dict:
    obj: dict = {
        "number": card.number,
        "path": card.path,
        "status": card.status,
        "message": card.message,
        "pci_address": card.pci_address,
    }
    obj.update((field, getattr(card, field)) for field in _IDENTITY)
    obj["architecture"] = card.architecture
    obj["firmware_version"] = card.firmware_version
    obj["firmware_version_error"] = card.firmware_error
    t = card.telemetry
    obj["telemetry"] = {name: None if t is None or name not in t else tags.json_value(name, t[name])
                        for name, _ in tag_members()}
    scan = card.processes
    obj["processes"] = None if scan is None else [dataclasses.asdict(h) for h in scan.holders]
    obj["processes_hidden"] = None if scan is None else scan.hidden
    return obj


def document(report: Report) -> dict:
    return {
        "schema": SCHEMA,
        "timestamp": report.timestamp,
        "nrhal_version": nrhal.__version__,
        "driver_version": report.driver_version,
        "driver_version_error": report.driver_error,
        "units": {name: u for name, _ in tag_members() if (u := tags.json_unit(name))},
        "cards": [card_object(c) for c in report.cards],
    }


def dumps(report: Report, compact: bool = False) -> str:
    if compact:
        return json.dumps(document(report), separators=(",", ":"))
    return json.dumps(document(report), indent=2)
