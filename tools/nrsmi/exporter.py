"""``nrsmi exporter``: the cards' state for Prometheus to scrape.

Serves the Prometheus text format (or OpenMetrics, to a scraper that asks
for it) at /metrics with prometheus_client's WSGI server.  The collector
also feeds a prometheus_client registry, but a scrape's body is written by
Collector.encode: the same bytes as the client's encoders, at a fraction
of their cost, since each sample's name and labels are worked out once per
card and only the values are formatted at each scrape.  Every metric is named
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
import errno
import gzip
import ipaddress
import itertools
import signal
import socket
import sys
import threading
import typing
import wsgiref.simple_server
from urllib.parse import parse_qs

from prometheus_client import CollectorRegistry, generate_latest, make_wsgi_app
from prometheus_client.exposition import ThreadingWSGIServer, choose_encoder, gzip_accepted
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, InfoMetricFamily
from prometheus_client.utils import floatToGoString

import nrhal
from nrhal.telem import Tag, Telemetry

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
#: Card states in which it answers.
_ANSWERS = {query.OK, query.UNSUPPORTED}


def _conversion(tag: str, part: "str | None") -> "tuple[int, int, int, int]":
    """(shift, mask, numerator, denominator): the value is
    (raw >> shift & mask) * numerator / denominator."""
    shift, mask = {None: (0, 0xFFFFFFFF), "low": (0, 0xFFFF), "high": (16, 0xFFFF)}[part]
    if tags.kind(tag) == tags.FIXED16:
        return shift, mask, 1, 1 << 16
    return (shift, mask, *_SCALE.get(tags.unit(tag), (1, 1)))


# Worked out once: a scrape converts about fifty values per card.
_PLAN = [(getattr(Tag, tag), *_conversion(tag, part)) for _, _, tag, part, _ in METRICS]
_TAGS = [tag for tag, *_ in _PLAN]
_CONVERSIONS = [conversion for _, *conversion in _PLAN]


def _read_card(device: nrhal.Device) -> "tuple[query.Card, Telemetry | None]":
    """The card's state as query.read_card tells it, with only what the
    metrics show: its PCI address, its firmware version and its telemetry
    snapshot as the library gives it."""
    try:
        sess = device.open(nonblocking=True, persistent=True)
        card = query.Card(device.id)
    except nrhal.NRError:
        card, sess = query.open_card(device.id)  # which tells why (or finds the card back)
        if sess is None:
            return card, None
    with sess:
        try:
            info = sess.info()
        except nrhal.NRError as e:
            return query.failed(card, e, "reading its identity"), None
        card.pci_domain, card.bus_dev_fn = info.pci_domain, info.bus_dev_fn
        try:
            card.firmware_version = str(nrhal.fw.version(sess))
        except nrhal.NRError as e:
            if e.errno in (errno.ECONNRESET, errno.ENODEV, errno.ENOTCONN):
                return query.failed(card, e, "reading its firmware version"), None
        except Exception:
            pass  # the card publishes no version that can be read: shown as ""
        try:
            return card, sess.telemetry()
        except nrhal.NRError as e:
            if e.errno == errno.ENOTSUP:
                return card.fail(query.UNSUPPORTED, f"card {device.id}: no telemetry"), None
            return query.failed(card, e, "reading its telemetry"), None


class Scrape(typing.NamedTuple):
    """What one scrape read: the cards listed, as (labels, answers, firmware
    version, telemetry), the cards seen before and gone now (labels), the
    driver's version and the scrape errors counted so far."""
    cards: "list[tuple[tuple[str, str], bool, str, Telemetry | None]]"
    gone: "list[tuple[str, str]]"
    driver: str
    errors: int


_UP_HELP = "1 while the card answers, 0 while it is lost, gone or held exclusively"
_INFO_HELP = "Kernel driver and firmware bundle versions"
_ERRORS_HELP = "Cards or listings the exporter failed to read"


def families(scrape: Scrape):
    """The scrape as prometheus_client metric families."""
    up = GaugeMetricFamily("nrhal_card_up", _UP_HELP, labels=LABELS)
    info = InfoMetricFamily("nrhal_versions", _INFO_HELP, labels=LABELS)
    metrics = [(GaugeMetricFamily if kind == GAUGE else CounterMetricFamily)(name, text, labels=LABELS)
               for name, text, _, _, kind in METRICS]
    for labels, answers, firmware, t in scrape.cards:
        up.add_metric(labels, 1 if answers else 0)
        if answers:
            info.add_metric(labels, {"driver_version": scrape.driver, "firmware_version": firmware})
        if t is None:
            continue
        for family, (tag, shift, mask, numerator, denominator) in zip(metrics, _PLAN):
            raw = t.get(tag)
            if raw is not None:
                family.add_metric(labels, (raw >> shift & mask) * numerator / denominator)
    for labels in scrape.gone:
        up.add_metric(labels, 0)
    errors = CounterMetricFamily("nrhal_exporter_scrape_errors", _ERRORS_HELP)
    errors.add_metric([], scrape.errors)
    return [up, info, *metrics, errors]


def _label_value(text: str) -> str:
    return text.replace("\\", r"\\").replace("\n", r"\n").replace('"', r'\"')


def _labels(pairs) -> str:
    return "{" + ",".join(f'{k}="{_label_value(v)}"' for k, v in sorted(pairs)) + "}"


def _heads(openmetrics: bool) -> "list[str]":
    """The HELP and TYPE lines of every family, in the order of families()."""
    def head(name, text, kind):
        if openmetrics:
            text = _label_value(text)
        else:  # the older format names a family by its samples, and has no info type
            text = text.replace("\\", r"\\").replace("\n", r"\n")
            name, kind = {COUNTER: (name + "_total", kind), "info": (name + "_info", GAUGE)}.get(kind, (name, kind))
        return f"# HELP {name} {text}\n# TYPE {name} {kind}\n"
    return [head("nrhal_card_up", _UP_HELP, GAUGE), head("nrhal_versions", _INFO_HELP, "info"),
            *[head(name, text, kind) for name, text, _, _, kind in METRICS],
            head("nrhal_exporter_scrape_errors", _ERRORS_HELP, COUNTER)]


_HEADS = {False: _heads(False), True: _heads(True)}
_SAMPLE_NAMES = [name + "_total" if kind == COUNTER else name for name, _, _, _, kind in METRICS]


class _CardText:
    """The text of one card's samples, worked out once per card and
    address: each sample's name and labels, and its line for the raw
    telemetry word last seen, made again only when the word changes."""

    def __init__(self, labels: "tuple[str, str]"):
        self.labels = list(zip(LABELS, labels))
        text = _labels(self.labels)
        self.up = {True: f"nrhal_card_up{text} 1.0\n", False: f"nrhal_card_up{text} 0.0\n"}
        self.prefixes = [f"{name}{text} " for name in _SAMPLE_NAMES]
        self.info: "tuple[tuple[str, str], str] | None" = None
        #: (raw words, lines) of the last snapshot, "" for a word not given
        self.last: "tuple[list[int | None], list[str]]" = ([None] * len(_PLAN), [""] * len(_PLAN))

    def info_line(self, driver: str, firmware: str) -> str:
        info = self.info
        if info is None or info[0] != (driver, firmware):
            pairs = [*self.labels, ("driver_version", driver), ("firmware_version", firmware)]
            info = self.info = (driver, firmware), f"nrhal_versions_info{_labels(pairs)} 1.0\n"
        return info[1]

    def lines(self, snapshot: Telemetry) -> "list[str]":
        raws = list(map(snapshot.get, _TAGS))
        seen, lines = self.last  # one read: scrapes may run in several threads
        if raws != seen:
            lines = lines.copy()
            for i, raw in enumerate(raws):
                if raw != seen[i]:
                    if raw is None:
                        lines[i] = ""
                    else:
                        shift, mask, numerator, denominator = _CONVERSIONS[i]
                        value = (raw >> shift & mask) * numerator / denominator
                        # Values are finite and not negative: below a million
                        # Go's form is Python's repr.
                        text = repr(value) if value < 1e6 else floatToGoString(value)
                        lines[i] = f"{self.prefixes[i]}{text}\n"
            self.last = raws, lines
        return lines


class Collector:
    """Reads every card at each scrape and yields its metrics."""

    def __init__(self):
        #: card number -> PCI address of every card seen (None: never read)
        self.known: "dict[int, str | None]" = {}
        self.errors = 0
        self.lock = threading.Lock()
        self.texts: "dict[tuple[str, str], _CardText]" = {}

    def describe(self):
        return []  # the metrics depend on the cards: nothing to check up front

    def read(self) -> Scrape:
        with self.lock:
            try:
                listed = query.scan()
            except ToolError as e:
                if e.code not in (Exit.NO_DRIVER, Exit.NO_CARDS):
                    self.errors += 1
                listed = []
            known = self.known
            rows = []
            head = None  # the card the driver is asked through (see query.driver_version)
            for device in sorted(listed, key=lambda d: d.id):
                n = device.id
                try:
                    card, snapshot = _read_card(device)
                except ToolError:  # the driver went away meanwhile
                    card, snapshot = query.Card(n).fail(query.VANISHED, "driver gone"), None
                status = card.status
                if status not in _NOT_ERRORS:
                    self.errors += 1
                if device is listed[0]:
                    head = card
                address = card.pci_address
                if address is not None:
                    known[n] = address
                else:
                    address = known.setdefault(n, None)
                rows.append(((str(n), address or ""), status in _ANSWERS, card.firmware_version or "", snapshot))
            driver = None
            if listed:
                driver, _ = query.driver_version(None if head.status == query.VANISHED else head)
            present = {device.id for device in listed}
            gone = [(str(n), address or "") for n, address in sorted(known.items()) if n not in present]
            return Scrape(rows, gone, driver or "", self.errors)

    def collect(self):
        yield from families(self.read())

    def exposition(self, openmetrics: bool = False) -> bytes:
        """One scrape in the text format, or in OpenMetrics: what
        prometheus_client makes of collect(), byte for byte."""
        return self.encode(self.read(), openmetrics)

    def encode(self, scrape: Scrape, openmetrics: bool = False) -> bytes:
        heads = _HEADS[openmetrics]
        cards = [(self._text(labels), answers, firmware, t) for labels, answers, firmware, t in scrape.cards]
        out = [heads[0]]
        out += [text.up[answers] for text, answers, _, _ in cards]
        out += [self._text(labels).up[False] for labels in scrape.gone]
        out.append(heads[1])
        out += [text.info_line(scrape.driver, firmware) for text, answers, firmware, _ in cards if answers]
        # Family by family, each card's line in turn.
        lines = [text.lines(t) for text, _, _, t in cards if t is not None]
        out += itertools.chain.from_iterable(zip(heads[2:-1], *lines))
        out.append(heads[-1])
        out.append(f"nrhal_exporter_scrape_errors_total {floatToGoString(scrape.errors)}\n")
        if openmetrics:
            out.append("# EOF\n")
        return "".join(out).encode()

    def _text(self, labels: "tuple[str, str]") -> _CardText:
        text = self.texts.get(labels)
        if text is None:
            if len(self.texts) > 256:  # cards come and go: keep it bounded
                self.texts.clear()
            text = self.texts[labels] = _CardText(labels)
        return text


def registry(collector: "Collector | None" = None) -> CollectorRegistry:
    reg = CollectorRegistry(auto_describe=False)
    reg.register(collector or Collector())
    return reg


def make_app(collector: Collector):
    """prometheus_client's WSGI app for the collector, with the body of a
    scrape made by Collector.exposition instead of the client's generic
    encoders; the rare requests for some metrics only go the client's way."""
    generic = make_wsgi_app(registry(collector))

    def app(environ, start_response):
        if environ["PATH_INFO"] == "/favicon.ico" or "name[]" in parse_qs(environ.get("QUERY_STRING", "")):
            return generic(environ, start_response)
        encoder, content_type = choose_encoder(environ.get("HTTP_ACCEPT"))
        output = collector.exposition(openmetrics=encoder is not generate_latest)
        headers = [("Content-Type", content_type)]
        if gzip_accepted(environ.get("HTTP_ACCEPT_ENCODING")):
            # The fastest level: the text repeats itself so much that it
            # still shrinks about sixfold, at under half the cost of level 9.
            output = gzip.compress(output, compresslevel=1)
            headers.append(("Content-Encoding", "gzip"))
        start_response("200 OK", headers)
        return [output]

    return app


def parse_listen(text: str) -> "tuple[str, int]":
    """HOST:PORT, [IPV6]:PORT or :PORT (every interface)."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise ToolError(Exit.USAGE, f"bad --listen '{text}': want HOST:PORT, such as 127.0.0.1:9400")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host or "0.0.0.0", int(port)


class _QuietHandler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, format, *args):
        pass  # a scrape every few seconds would flood the log


def run(listen: str) -> int:
    host, port = parse_listen(listen)
    server_class = ThreadingWSGIServer
    try:
        if ipaddress.ip_address(host).version == 6:
            server_class = type("_Server6", (ThreadingWSGIServer,), {"address_family": socket.AF_INET6})
    except ValueError:
        pass  # a host name
    try:
        httpd = wsgiref.simple_server.make_server(host, port, make_app(Collector()),
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
