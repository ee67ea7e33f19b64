"""``nrsmi exporter``: the cards' state for Prometheus to scrape.

Serves the Prometheus text format at /metrics through the
prometheus_client package (a custom collector on a registry of its own),
with the standard library's WSGI server.  Every metric is named
``nrhal_...`` with its base unit, and labelled with ``card`` (the card
number) and ``pci_address`` (empty for a card that has been held
exclusively by another process since the exporter started: only a session
on the card tells its address):

- ``nrhal_card_up``: 1 while the card answers, 0 while it is lost, gone or
  held exclusively by another process.  A card seen once keeps its series
  (at 0) after it goes away, so that an alert can see it go.
- ``nrhal_versions_info``: the kernel driver's and the card's firmware
  bundle versions, as labels ``driver_version`` and ``firmware_version``
  ("" when unknown).
- one metric per numeric telemetry value (see METRICS), absent while the
  card has no telemetry to give.
- ``nrhal_exporter_scrape_errors_total``: cards or listings the exporter
  failed to read, for reasons other than the card being held or of an
  architecture without telemetry.

Sessions are opened during a scrape only, so another tool can reset a card
between scrapes.
"""
import ipaddress
import signal
import socket
import socketserver
import sys
import threading
import wsgiref.simple_server

from prometheus_client import CollectorRegistry, make_wsgi_app
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, InfoMetricFamily

from . import query, tags
from .codes import Exit, ToolError

LABELS = ["card", "pci_address"]

# From the firmware's units to base units: value * numerator / denominator,
# one rounding only (825 mV is 0.825 V, not 0.8250000000000001).
_SCALE = {"MHz": (1_000_000, 1), "mV": (1, 1000), "mA": (1, 1000), "ms": (1, 1000), "%": (1, 100),
          "Mbps": (125_000, 1)}

# (metric name, help, tag, part of the word or None, gauge or counter).
# Counters are named without _total, which the client library appends.
GAUGE, COUNTER = "gauge", "counter"
METRICS = [
    ("nrhal_telemetry_update_interval_seconds", "Telemetry update interval", "UpdateTelemSpeed", None, GAUGE),
    ("nrhal_core_voltage_volts", "Core voltage", "Vcore", None, GAUGE),
    ("nrhal_tdp_watts", "TDP power", "Tdp", None, GAUGE),
    ("nrhal_tdc_amperes", "TDC current", "Tdc", None, GAUGE),
    ("nrhal_vdd_min_volts", "Lowest VDD voltage", "VddLimits", "low", GAUGE),
    ("nrhal_vdd_max_volts", "Highest VDD voltage", "VddLimits", "high", GAUGE),
    ("nrhal_shutdown_temperature_celsius", "Shutdown temperature", "ThmLimitShutdown", None, GAUGE),
    ("nrhal_asic_temperature_celsius", "ASIC temperature", "AsicTemperature", None, GAUGE),
    ("nrhal_vreg_temperature_celsius", "Voltage regulator temperature", "VregTemperature", None, GAUGE),
    ("nrhal_board_temperature_celsius", "Board temperature", "BoardTemperature", None, GAUGE),
    ("nrhal_ai_clock_hertz", "AI clock", "AiClk", None, GAUGE),
    ("nrhal_axi_clock_hertz", "AXI clock", "AxiClk", None, GAUGE),
    ("nrhal_smc_clock_hertz", "SMC clock", "SmcClk", None, GAUGE),
    ("nrhal_l2cpu0_clock_hertz", "L2CPU 0 clock", "L2CpuClk0", None, GAUGE),
    ("nrhal_l2cpu1_clock_hertz", "L2CPU 1 clock", "L2CpuClk1", None, GAUGE),
    ("nrhal_l2cpu2_clock_hertz", "L2CPU 2 clock", "L2CpuClk2", None, GAUGE),
    ("nrhal_l2cpu3_clock_hertz", "L2CPU 3 clock", "L2CpuClk3", None, GAUGE),
    ("nrhal_gddr_data_rate_bytes_per_second", "GDDR data rate per pin", "GddrSpeed", None, GAUGE),
    ("nrhal_fan_speed_ratio", "Fan speed, 0 to 1", "FanSpeed", None, GAUGE),
    ("nrhal_heartbeat", "Firmware heartbeat counter", "TimerHeartbeat", None, COUNTER),
    ("nrhal_pcie_usage_ratio", "PCIe usage, 0 to 1", "PcieUsage", None, GAUGE),
    ("nrhal_input_current_amperes", "Input current", "InputCurrent", None, GAUGE),
    ("nrhal_noc_translation_enabled", "NOC translation enabled (1) or not (0)", "NocTranslation", None, GAUGE),
    ("nrhal_fan_rpm", "Fan speed in revolutions per minute", "FanRpm", None, GAUGE),
    *[(f"nrhal_gddr{chip}_temperature_celsius", f"GDDR chip {chip} temperature",
       f"Gddr{chip & ~1}{chip | 1}Temp", "high" if chip & 1 else "low", GAUGE) for chip in range(8)],
    *[(f"nrhal_gddr{chip}_corrected_errors", f"Corrected errors of GDDR chip {chip}",
       f"Gddr{chip & ~1}{chip | 1}CorrErrs", "high" if chip & 1 else "low", COUNTER) for chip in range(8)],
    ("nrhal_gddr_uncorrected_errors", "Uncorrected GDDR errors", "GddrUncorrErrs", None, COUNTER),
    ("nrhal_gddr_max_temperature_celsius", "Hottest GDDR chip temperature", "MaxGddrTemp", None, GAUGE),
    ("nrhal_asic_location", "ASIC location", "AsicLocation", None, GAUGE),
    ("nrhal_board_power_limit_watts", "Board power limit", "BoardPowerLimit", None, GAUGE),
    ("nrhal_board_power_watts", "Board input power", "InputPower", None, GAUGE),
    ("nrhal_tdc_limit_amperes", "TDC current limit", "TdcLimitMax", None, GAUGE),
    ("nrhal_throttle_temperature_celsius", "Throttling temperature", "ThmLimitThrottle", None, GAUGE),
    ("nrhal_thermal_trips", "Thermal trips", "ThermTripCount", None, COUNTER),
    ("nrhal_ai_clock_limit_hertz", "AI clock limit", "AiClkLimitMax", None, GAUGE),
    ("nrhal_tdp_limit_watts", "TDP power limit", "TdpLimitMax", None, GAUGE),
    ("nrhal_ai_clock_arbiter_min_hertz", "AI clock arbiter minimum", "AiClkArbMin", None, GAUGE),
    ("nrhal_ai_clock_arbiter_max_hertz", "AI clock arbiter maximum", "AiClkArbMax", None, GAUGE),
]

#: Card states that are the card's own, not a failure of the exporter.
_NOT_ERRORS = {query.OK, query.UNSUPPORTED, query.HELD, query.VANISHED}


def _conversion(tag: str, part: "str | None") -> "tuple[int, int, int, int]":
    """(shift, mask, numerator, denominator): the value is
    (raw >> shift & mask) * numerator / denominator."""
    shift, mask = {None: (0, 0xFFFFFFFF), "low": (0, 0xFFFF), "high": (16, 0xFFFF)}[part]
    if tags.kind(tag) == tags.FIXED16:
        return shift, mask, 1, 1 << 16
    return (shift, mask, *_SCALE.get(tags.unit(tag), (1, 1)))


# Worked out once: a scrape converts about fifty values per card.
_PLAN = [(tag, *_conversion(tag, part)) for _, _, tag, part, _ in METRICS]


class Collector:
    """Reads every card at each scrape and yields its metrics."""

    def __init__(self):
        #: card number -> PCI address of every card seen (None: never read)
        self.known: "dict[int, str | None]" = {}
        self.errors = 0
        self.lock = threading.Lock()

    def describe(self):
        return []  # the metrics depend on the cards: nothing to check up front

    def _read(self) -> "tuple[list[query.Card], str | None]":
        try:
            listed = [d.id for d in query.scan()]
        except ToolError as e:
            if e.code not in (Exit.NO_DRIVER, Exit.NO_CARDS):
                self.errors += 1
            return [], None
        cards = []
        for n in sorted(listed):
            try:
                card = query.read_card(n)
            except ToolError:  # the driver went away meanwhile
                card = query.Card(n).fail(query.VANISHED, "driver gone")
            if card.status not in _NOT_ERRORS:
                self.errors += 1
            cards.append(card)
        # The driver is asked through the first card listed (see query.driver_version).
        head = next(c for c in cards if c.number == listed[0])
        version, _ = query.driver_version(None if head.status == query.VANISHED else head)
        return cards, version

    def collect(self):
        with self.lock:
            cards, driver = self._read()
            present = {c.number for c in cards}
            for c in cards:
                if c.pci_address is not None or c.number not in self.known:
                    self.known[c.number] = c.pci_address or self.known.get(c.number)
            gone = {n: address for n, address in self.known.items() if n not in present}
            errors = self.errors

        up = GaugeMetricFamily("nrhal_card_up", "1 while the card answers, 0 while it is lost, "
                               "gone or held exclusively", labels=LABELS)
        info = InfoMetricFamily("nrhal_versions", "Kernel driver and firmware bundle versions",
                                labels=LABELS)
        families = [(GaugeMetricFamily if kind == GAUGE else CounterMetricFamily)(name, text, labels=LABELS)
                    for name, text, _, _, kind in METRICS]
        for c in cards:
            labels = [str(c.number), c.pci_address or self.known.get(c.number) or ""]
            answers = c.status in (query.OK, query.UNSUPPORTED)
            up.add_metric(labels, 1 if answers else 0)
            if answers:
                info.add_metric(labels, {"driver_version": driver or "",
                                         "firmware_version": c.firmware_version or ""})
            t = c.telemetry
            if t is None:
                continue
            for family, (tag, shift, mask, numerator, denominator) in zip(families, _PLAN):
                if tag in t:
                    family.add_metric(labels, (t[tag] >> shift & mask) * numerator / denominator)
        for n, address in sorted(gone.items()):
            up.add_metric([str(n), address or ""], 0)
        yield up
        yield info
        yield from families
        scrape_errors = CounterMetricFamily("nrhal_exporter_scrape_errors",
                                            "Cards or listings the exporter failed to read")
        scrape_errors.add_metric([], errors)
        yield scrape_errors


def registry() -> CollectorRegistry:
    reg = CollectorRegistry(auto_describe=False)
    reg.register(Collector())
    return reg


def parse_listen(text: str) -> "tuple[str, int]":
    """HOST:PORT, [IPV6]:PORT or :PORT (every interface)."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise ToolError(Exit.USAGE, f"bad --listen '{text}': want HOST:PORT, such as 127.0.0.1:9400")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host or "0.0.0.0", int(port)


class _Server(socketserver.ThreadingMixIn, wsgiref.simple_server.WSGIServer):
    daemon_threads = True


class _QuietHandler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, format, *args):
        pass  # a scrape every few seconds would flood the log


def run(listen: str) -> int:
    host, port = parse_listen(listen)
    server_class = _Server
    try:
        if ipaddress.ip_address(host).version == 6:
            server_class = type("_Server6", (_Server,), {"address_family": socket.AF_INET6})
    except ValueError:
        pass  # a host name
    try:
        httpd = wsgiref.simple_server.make_server(host, port, make_wsgi_app(registry()),
                                                  server_class, handler_class=_QuietHandler)
    except OSError as e:
        raise ToolError(Exit.ERROR, f"cannot listen on {listen}: {e.strerror or e}") from None
    shown = f"[{host}]" if ":" in host else host
    print(f"nrsmi exporter: serving http://{shown}:{httpd.server_port}/metrics", file=sys.stderr,
          flush=True)
    signal.signal(signal.SIGTERM, _stop)
    try:
        httpd.serve_forever()
    except (KeyboardInterrupt, _Stopped):
        pass  # the usual ways to stop it: ^C, or SIGTERM from a service manager
    finally:
        httpd.server_close()
    return Exit.OK


class _Stopped(Exception):
    pass


def _stop(signum, frame):
    raise _Stopped
