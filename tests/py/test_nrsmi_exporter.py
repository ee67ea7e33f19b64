"""nrsmi's Prometheus exporter: its metrics scraped in this process, the
command serving them over HTTP, and Debian's prometheus server scraping
it while another process removes a card."""
import gzip
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request

import pytest
from prometheus_client import generate_latest
from prometheus_client.openmetrics import exposition as openmetrics
from prometheus_client.parser import text_string_to_metric_families

import nrhal
import nrsim
from test_nrsmi import TAG, frozen_firmware, hold, tool_environment, unsupported_card  # noqa: F401
from test_nrsmi_query import needs_shared_host

from nrsmi import exporter, tags  # noqa: E402  (tools/ is on sys.path through test_nrsmi)


def scrape(collector):
    """{(sample name, card): value} of one scrape as served, and {card:
    labels} of every sample but the exporter's own."""
    values, labels = {}, {}
    for family in text_string_to_metric_families(collector.exposition().decode()):
        for s in family.samples:
            values[s.name, s.labels.get("card")] = s.value
            if not s.name.startswith("nrhal_exporter_"):
                labels.setdefault(s.labels["card"], set()).add(tuple(sorted(s.labels.items())))
    return values, labels


class Families:
    """prometheus_client's view of one scrape's families."""

    def __init__(self, state):
        self.collect = lambda: exporter.families(state)


class TestMetrics:
    def test_each_card_in_base_units(self):
        nrsim.telem_set(0, TAG["AsicTemperature"], int(61.75 * 65536))
        nrsim.telem_set(0, TAG["AiClk"], 987)
        nrsim.telem_set(0, TAG["Gddr67Temp"], 71 << 16 | 70)
        nrsim.telem_set(1, TAG["TimerHeartbeat"], 4242)
        nrsim.set_kmd_version(3, 1, 4)
        values, labels = scrape(exporter.Collector())
        assert labels["0"] == {(("card", "0"), ("pci_address", "0000:03:00.0")), (
            ("card", "0"), ("driver_version", "3.1.4"), ("firmware_version", "18.7.0"), ("pci_address", "0000:03:00.0"))}
        assert {card: values["nrhal_card_up", card] for card in "01"} == {"0": 1, "1": 1}
        assert values["nrhal_asic_temperature_celsius", "0"] == 61.75
        assert values["nrhal_asic_temperature_celsius", "1"] == 52.5
        assert values["nrhal_ai_clock_hertz", "0"] == 987e6
        assert values["nrhal_core_voltage_volts", "0"] == 0.825
        assert values["nrhal_fan_speed_ratio", "1"] == 0.42
        assert (values["nrhal_gddr6_temperature_celsius", "0"], values["nrhal_gddr7_temperature_celsius", "0"]) == (70, 71)
        assert values["nrhal_heartbeat_total", "1"] == 4242
        assert (values["nrhal_versions_info", "1"], values["nrhal_exporter_scrape_errors_total", None]) == (1, 0)

    def test_every_numeric_tag_has_a_metric(self):
        numeric = {name for name, (kind, _) in tags.TAGS.items()
                   if kind in (tags.NUMBER, tags.FIXED16, tags.PAIR, tags.RANGE)}
        assert {tag for _, _, tag, _, _ in exporter.METRICS} == numeric

    def test_cards_held_lost_gone_and_back(self):
        collector = exporter.Collector()
        with hold(1, exclusive=True):
            values, _ = scrape(collector)
        assert (values["nrhal_card_up", "1"], values["nrhal_exporter_scrape_errors_total", None]) == (0, 0)
        assert ("nrhal_asic_temperature_celsius", "1") not in values
        nrsim.fail(0, 0xFA00, 19, times=10)  # lost while being read
        nrsim.remove(1)
        values, _ = scrape(collector)
        assert (values["nrhal_card_up", "0"], values["nrhal_card_up", "1"]) == (0, 0)  # 1 is remembered
        assert values["nrhal_exporter_scrape_errors_total", None] == 1
        nrsim.fail(0, 0xFA00, 19, times=0)
        nrsim.add(0xB140, "0000:04:00.0", number=1)
        n = nrsim.add(0x401E, "0000:06:00.0")
        values, _ = scrape(collector)
        assert [values["nrhal_card_up", str(c)] for c in (0, 1, n)] == [1, 1, 1]

    def test_served_bytes_are_the_clients_own(self):
        collector = exporter.Collector()
        unsupported_card()  # answers, with no telemetry
        nrsim.set_fw_version(0, "19.2.0.7")
        nrsim.telem_set(0, TAG["AiClk"], 1234)  # millions: Go's exponent form
        collector.exposition()  # the text it keeps from scrape to scrape
        nrsim.remove(1)
        nrsim.fail(0, 0xFA00, 5)  # an error to count, card 0 not read
        states = [collector.read()]
        nrsim.telem_set(0, TAG["AsicTemperature"], 70 << 16)  # one word changed since
        states.append(collector.read())
        for state in states:
            client = exporter.registry(Families(state))
            assert collector.encode(state) == generate_latest(client)
            assert collector.encode(state, openmetrics=True) == openmetrics.generate_latest(client)
        assert b'nrhal_card_up{card="1",pci_address="0000:04:00.0"} 0.0' in collector.encode(state)

    def test_sessions_only_during_a_scrape(self):
        collector = exporter.Collector()
        scrape(collector)
        assert (nrsim.open_count(0), nrsim.open_count(1)) == (0, 0)
        nrhal.Device.from_path("/dev/norvane/0").reset()  # another tool, between scrapes
        values, _ = scrape(collector)
        assert (nrsim.reset_count(0), values["nrhal_card_up", "0"]) == (1, 1)


def start_exporter():
    """`nrsmi exporter --listen 127.0.0.1:0` as its own process; its port."""
    child = subprocess.Popen([sys.executable, "-m", "nrsmi", "exporter", "--listen", "127.0.0.1:0"],
                             env=tool_environment(), stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
    line = child.stderr.readline()
    assert line.startswith("nrsmi exporter: serving http://127.0.0.1:"), line
    return child, int(line.rsplit(":", 1)[1].split("/")[0])


def stop(child):
    child.send_signal(signal.SIGTERM)
    try:
        return child.wait(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


def test_command_serves_until_terminated():
    child, port = start_exporter()
    url = f"http://127.0.0.1:{port}/metrics"
    as_prometheus = urllib.request.Request(url, headers={  # what a Prometheus server sends
        "Accept": "application/openmetrics-text;version=1.0.0,text/plain;version=0.0.4;q=0.5",
        "Accept-Encoding": "gzip"})
    try:
        with urllib.request.urlopen(url, timeout=60) as reply:
            content_type, text = reply.headers["Content-Type"], reply.read().decode()
        with urllib.request.urlopen(as_prometheus, timeout=60) as reply:
            om_type, encoding, om = reply.headers["Content-Type"], reply.headers["Content-Encoding"], reply.read()
    finally:
        assert stop(child) == 0
    assert content_type.startswith("text/plain; version=0.0.4")
    assert 'nrhal_card_up{card="1",pci_address="0000:04:00.0"} 1.0' in text
    assert (om_type.startswith("application/openmetrics-text"), encoding) == (True, "gzip")
    assert gzip.decompress(om).decode().endswith("nrhal_exporter_scrape_errors_total 0.0\n# EOF\n")


def until(fetch, done):
    """fetch() until done(result): at most 600 times, 0.1 s apart."""
    for _ in range(600):
        result = fetch()
        if done(result):
            return result
        time.sleep(0.1)
    pytest.fail(f"never reached; last: {result}")


@pytest.mark.skipif(shutil.which("prometheus") is None,
                    reason="the prometheus server is not installed (Debian package prometheus)")
@needs_shared_host
def test_prometheus_scrapes_the_exporter(tmp_path):
    for n, celsius in ((0, 61.25), (1, 48.5)):
        nrsim.telem_set(n, TAG["AsicTemperature"], int(celsius * 65536))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        web = s.getsockname()[1]
    child, port = start_exporter()
    config = tmp_path / "prometheus.yml"
    config.write_text(f"global: {{scrape_interval: 1s, evaluation_interval: 1s}}\nscrape_configs:\n"
                      f"  - {{job_name: nrsmi, static_configs: [{{targets: ['127.0.0.1:{port}']}}]}}\n")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    server = subprocess.Popen(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'data'}",
                               f"--web.listen-address=127.0.0.1:{web}", "--log.level=warn"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)

    def query(expression):
        url = f"http://127.0.0.1:{web}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
        try:
            with urllib.request.urlopen(url, timeout=10) as reply:
                return {r["metric"]["card"]: float(r["value"][1]) for r in json.load(reply)["data"]["result"]}
        except OSError:
            return {}  # not listening yet

    try:
        assert until(lambda: query("nrhal_card_up"), lambda r: len(r) == 2) == {"0": 1, "1": 1}
        assert query("nrhal_asic_temperature_celsius") == {
            str(n): nrsim.telem_get(n, TAG["AsicTemperature"]) / 65536 for n in (0, 1)}
        subprocess.run([sys.executable, "-m", "nrsim", "remove", "1"], env=tool_environment(), check=True, timeout=60)
        assert until(lambda: query("nrhal_card_up"), lambda r: r.get("1") == 0) == {"0": 1, "1": 0}
    finally:
        stop(server)
        stop(child)
