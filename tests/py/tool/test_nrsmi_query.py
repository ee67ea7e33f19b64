"""nrsmi's field queries (--query, --format, --help-query), the processes
that hold each card, and monitor mode; main() runs in this process, on
simulated cards that the tests arrange."""
import csv
import importlib.util
import io
import json
import os
import subprocess
import sys

import pytest

import nrhal
import nrsim
from test_nrsmi import (TAG, detail_fields, hold, own_command,
                        run, unsupported_card)

from nrsmi import fields  # noqa: E402  (tools/ is on sys.path through test_nrsmi)

pytestmark = pytest.mark.usefixtures("frozen_firmware")

#: The simulator serves every process of one launch as one host (the nrsim
#: command line comes with it); until then each process has cards of its own.
SHARED_HOST = importlib.util.find_spec("nrsim.__main__") is not None
needs_shared_host = pytest.mark.skipif(not SHARED_HOST, reason="needs the simulator's shared host")


def rows(out):
    return list(csv.reader(io.StringIO(out)))


class TestQuery:
    def test_csv_of_chosen_fields_exact_with_units(self, capsys):
        nrsim.telem_set(0, TAG["AsicTemperature"], 47 * 65536 + 1)
        nrsim.telem_set(0, TAG["VddLimits"], 912 << 16 | 701)
        nrsim.telem_set(0, TAG["Gddr01Temp"], 58 << 16 | 57)
        code, out, err = run(capsys, "--query", "pci.address,temperature.asic,voltage.vdd.min,voltage.vdd.max,"
                             "temperature.gddr1,firmware.eth,enabled.gddr,firmware.build_date,pci.device_id")
        assert (code, err) == (0, "")
        assert rows(out) == [
            ["pci.address", "temperature.asic [\u00b0C]", "voltage.vdd.min [mV]", "voltage.vdd.max [mV]",
             "temperature.gddr1 [\u00b0C]", "firmware.eth", "enabled.gddr", "firmware.build_date", "pci.device_id"],
            ["0000:03:00.0", "47.0000152587890625 \u00b0C", "701 mV", "912 mV", "58 \u00b0C", "6.14.0.0",
             "0x000000ff", "2025-03-14", "0x401e"],
            ["0000:04:00.0", "52.5 \u00b0C", "680 mV", "920 mV", "51 \u00b0C", "7.1.0.0", "0x0000003f",
             "2025-06-11", "0xb140"]]
        _, out, _ = run(capsys, "--query", "pci.address,clocks.ai", "--format", "csv,noheader,nounits")
        assert out == "0000:03:00.0,1000\n0000:04:00.0,1350\n"

    def test_unobtained_values_empty_in_csv_and_null_in_json(self, capsys):
        n = unsupported_card()
        nrsim.set_fw_version(0, None)
        query = "index,status,pci.address,firmware.version,clocks.ai"
        with hold(1, exclusive=True):
            _, out, _ = run(capsys, "--query", query, "--format", "csv,noheader")
            code, doc, _ = run(capsys, "--query", query, "--json")
        assert rows(out) == [["0", "ok", "0000:03:00.0", "", "1000 MHz"], ["1", "held", "", "", ""],
                             [str(n), "unsupported", "0000:05:00.0", "18.7.0", ""]]
        doc = json.loads(doc)
        assert code == 0 and doc["schema"] == "nrsmi-query/1" and doc["units"] == {"clocks.ai": "MHz"}
        assert [list(c) for c in doc["cards"]] == [query.split(",")] * 3
        assert [list(c.values()) for c in doc["cards"]] == [[0, "ok", "0000:03:00.0", None, 1000],
                                                            [1, "held", None, None, None],
                                                            [n, "unsupported", "0000:05:00.0", "18.7.0", None]]

    def test_combines_with_device_and_watch(self, capsys, monkeypatch):
        import nrsmi.cli

        beats = iter(range(7, 100))
        monkeypatch.setattr(nrsmi.cli.time, "sleep",
                            lambda s: nrsim.telem_set(1, TAG["TimerHeartbeat"], next(beats)))
        code, out, _ = run(capsys, "--query", "index,heartbeat", "-d", "04:00.0", "--watch", "5", "--count", "3")
        assert (code, rows(out)) == (0, [["index", "heartbeat"], ["1", "0"], ["1", "7"], ["1", "8"]])

    def test_help_lists_every_field_and_every_tag_has_one(self, capsys):
        _, out, _ = run(capsys, "--help-query")
        lines = {line.split()[0]: line for line in out.splitlines() if line.startswith("  ")}
        assert set(lines) == set(fields.FIELDS)
        assert "[\u00b0C]" in lines["temperature.asic"] and "[MHz]" in lines["clocks.ai"]
        assert {line.rsplit("(", 1)[1].rstrip(")") for line in lines.values() if line.endswith(")")} == {
            name for name, tag in vars(nrhal.telem.Tag).items() if type(tag) is nrhal.telem.Tag}

    @pytest.mark.parametrize("argv, message", [
        (["--query", "clocks.ai,gpu.temp"], "unknown field 'gpu.temp'"),
        (["--query", "clocks.ai", "--format", "tsv"], "bad --format 'tsv'"),
        (["--format", "csv"], "--format needs --query")])
    def test_bad_query(self, capsys, argv, message):
        code, out, err = run(capsys, *argv)
        assert (code, out) == (2, "") and message in err


class TestProcesses:
    def test_each_holder_and_its_mode_in_every_view(self, capsys):
        assert run(capsys, "processes") == (0, "No process holds a card.\n", "")
        me, command = os.getpid(), own_command()
        with hold(0), hold(1, exclusive=True):
            _, detail, _ = run(capsys, "-d", "0")
            _, doc, _ = run(capsys, "--json")
            _, table, _ = run(capsys, "processes")
        assert detail_fields(detail)[str(me)] == f"shared     {command}"
        assert [c["processes"] for c in json.loads(doc)["cards"]] == [
            [{"pid": me, "command": command, "mode": "shared"}], [{"pid": me, "command": command, "mode": "exclusive"}]]
        assert table == f"Card 0  0000:03:00.0\n  {me:<7}  shared     {command}\nCard 1\n  {me:<7}  exclusive  {command}\n"
        with hold(1):
            _, doc, _ = run(capsys, "processes", "--json", "-d", "1")
        assert json.loads(doc)["cards"][0]["processes"] == [{"pid": me, "command": command, "mode": "shared"}]

    @needs_shared_host
    def test_holder_in_another_process(self, capsys):
        child = subprocess.Popen(
            [sys.executable, "-c", "import nrhal, sys; s = nrhal.Device.from_path('/dev/norvane/0')"
             ".open(exclusive=True); print('open', flush=True); sys.stdin.read()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "open\n"
            code, out, _ = run(capsys, "processes", "-d", "0")
        finally:
            child.stdin.close()
            child.wait(timeout=60)
        assert code == 0
        assert out.splitlines()[1].split() == [str(child.pid), "exclusive", "python3"]


class TestMonitor:
    def test_one_line_per_card_per_sample_and_a_header_every_screenful(self, capsys, monkeypatch):
        nrsim.telem_set(1, TAG["AsicTemperature"], int(61.75 * 65536))
        nrsim.telem_set(1, TAG["TimerHeartbeat"], 4242)
        monkeypatch.setenv("LINES", "5")  # two lines of header, three of data
        code, out, _ = run(capsys, "monitor", "-c", "3", "-i", "0.01")
        lines = out.splitlines()
        header = [["#", "card", "temp", "power", "aiclk", "axiclk", "fan", "heartbeat"], ["#", "C", "W", "MHz", "MHz", "%"]]
        cards = [["0", "47.25", "69", "1000", "900", "35", "0"], ["1", "61.75", "132", "1350", "960", "42", "4242"]]
        assert code == 0 and [line.split() for line in lines] == header + cards + cards[:1] + header + cards[1:] + cards
        assert len({len(line) for line in lines if not line.startswith("#")}) == 1  # fixed width

    def test_card_that_vanishes_shows_so_and_comes_back(self, capsys, monkeypatch):
        import nrsmi.monitor

        def back():
            nrsim.add(0xB140, "0000:04:00.0", number=1)
            nrsim.telem_period(1, 0)

        steps = iter([lambda: nrsim.remove(1), back])
        monkeypatch.setattr(nrsmi.monitor.time, "sleep", lambda s: next(steps)())
        monkeypatch.setenv("LINES", "50")  # one header
        code, out, _ = run(capsys, "monitor", "-c", "3")
        assert code == 0
        assert [line.split()[:2] for line in out.splitlines()[2:]] == [
            ["0", "47.25"], ["1", "52.50"], ["0", "47.25"], ["1", "vanished"], ["0", "47.25"], ["1", "52.50"]]

