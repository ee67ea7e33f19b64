"""nrsmi, the card status tool: the table, the detail view, the JSON
document, --watch, reset with its prompt and its holders, --sim, and each
failure's one-line message and exit code.  Most tests call main() in this
process, whose simulated cards the tests arrange; a few run the tool as a
command."""
import errno
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import nrhal
import nrsim
from conftest import loaded_library

REPO = Path(__file__).resolve().parents[3]
TOOLS = REPO / "tools"
if str(TOOLS) not in sys.path:
    sys.path.insert(0, str(TOOLS))

from nrsmi import holders, simrun  # noqa: E402
from nrsmi.__main__ import main  # noqa: E402

INFO, RESET = 0xFA00, 0xFA06
TAG = {name: tag for tag, name in nrsim.TELEM_NAMES.items()}
CLEAR = "\x1b[H\x1b[2J"

# Exact values, and no descriptor left open by the tool.
pytestmark = pytest.mark.usefixtures("frozen_firmware")


def run(capsys, *argv, stdin=None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def hold(n, **flags):
    return nrhal.Device.from_path(f"/dev/norvane/{n}").open(**flags)


def unsupported_card():
    return nrsim.add(0x1234, "0000:05:00.0")


def resets(n):
    return [rec for number, rec in nrsim.requests(n) if number == RESET]


def table_rows(out):
    """Card number -> cells of its row (split on runs of two spaces)."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("----"))
    rows = {}
    for line in lines[start + 1:]:
        if not line.strip():
            break
        cells = [c.strip() for c in line.split("  ") if c.strip()]
        rows[int(cells[0])] = cells[1:]
    return rows


def detail_fields(out):
    """Label -> value of every indented line of the detail view."""
    return dict(re.split(r"\s{2,}", line.strip(), maxsplit=1)
                for line in out.splitlines() if re.match(r"  \S.*?\s{2,}\S", line))


def own_command():
    with open("/proc/self/comm") as f:
        return f.read().strip()


class TestTable:
    def test_one_row_per_card_from_its_telemetry(self, capsys):
        nrsim.telem_set(0, TAG["AiClk"], 987)
        nrsim.telem_set(0, TAG["AsicTemperature"], int(61.75 * 65536))
        nrsim.telem_set(0, TAG["InputPower"], 58)
        nrsim.telem_set(0, TAG["FanSpeed"], 27)
        nrsim.telem_set(0, TAG["TimerHeartbeat"], 4242)
        nrsim.telem_set(1, TAG["AiClk"], 1234)
        code, out, err = run(capsys)
        assert (code, err) == (0, "")
        rows = table_rows(out)
        assert rows[0] == ["0000:03:00.0", "Norvane N1", "18.7.0", "987 MHz", "61.8 \u00b0C",
                           "58 / 75 W", "27 %", "4242"]
        assert rows[1][:4] == ["0000:04:00.0", "Norvane N2", "18.7.0", "1234 MHz"]
        assert out.startswith("Norvane driver ")

    def test_unsupported_card_keeps_its_other_columns(self, capsys):
        n = unsupported_card()
        code, out, _ = run(capsys)
        assert code == 0
        row = table_rows(out)[n]
        assert row[:3] == ["0000:05:00.0", "unknown (0x1234) (unsupported)", "18.7.0"]
        assert row[3:] == ["-"] * 5
        assert f"card {n}: unsupported architecture (device ID 0x1234)" in out
        assert set(table_rows(out)) == {0, 1, n}

    def test_card_held_exclusively_is_marked_not_waited_for(self, capsys):
        with hold(1, exclusive=True):
            code, out, _ = run(capsys)
        assert code == 0
        rows = table_rows(out)
        assert rows[1] == ["-"] * 8
        assert rows[0][0] == "0000:03:00.0"
        assert "card 1 is held exclusively" in out

    def test_versions_of_the_driver_and_of_each_card(self, capsys):
        nrsim.set_kmd_version(3, 1, 4)
        nrsim.set_fw_version(1, "19.2.0.7\n")
        nrsim.set_fw_version(0, None)
        code, out, _ = run(capsys)
        assert code == 0
        assert out.startswith("Norvane driver 3.1.4\n")
        rows = table_rows(out)
        assert (rows[0][2], rows[1][2]) == ("-", "19.2.0-rc.7")

    def test_versions_that_cannot_be_read_say_why(self, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "semver", None)  # not importable
        nrsim.set_fw_version(1, None)
        _, table, _ = run(capsys)
        _, doc, _ = run(capsys, "--json")
        why = f"semver cannot be imported by {sys.executable} (import of semver halted; None in sys.modules)"
        assert table.startswith(f"Norvane driver unknown ({why})\n")
        assert f"note: card 0: firmware version unknown ({why})" in table
        doc = json.loads(doc)
        assert (doc["driver_version"], doc["driver_version_error"]) == (None, why)
        assert [c["firmware_version_error"] for c in doc["cards"]] == [
            why, "the card publishes no readable firmware version (No such file or directory)"]

    def test_ascii_terminal_gets_a_plain_degree_unit(self, monkeypatch):
        raw = io.BytesIO()
        monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(raw, encoding="ascii"))
        assert main([]) == 0
        sys.stdout.flush()
        assert table_rows(raw.getvalue().decode("ascii"))[0][4] == "47.2 C"


class TestDetail:
    def test_identity_versions_and_every_tag_with_its_unit(self, capsys):
        nrsim.set_kmd_version(2, 7, 1)
        code, out, err = run(capsys, "-d", "0")
        assert (code, err) == (0, "")
        f = detail_fields(out)
        assert f["Kernel driver"] == "2.7.1"
        assert f["PCI address"] == "0000:03:00.0"
        ident = nrsim.identity(0)
        assert f["Vendor ID"] == f"{ident.vendor_id:#06x}"
        assert f["Device ID"] == "0x401e"
        assert f["Architecture"] == "Norvane N1"
        assert f["Firmware bundle"] == "18.7.0"
        assert set(nrsim.TELEM_NAMES.values()) <= set(f)
        assert {name: f[name] for name in (
            "AiClk", "Vcore", "Tdp", "Tdc", "InputCurrent", "AsicTemperature", "VregTemperature",
            "VddLimits", "Gddr01Temp", "Gddr67CorrErrs", "EthFwVersion", "DmAppFwVersion",
            "FwBuildDate", "EnabledGddr", "FanSpeed", "FanRpm", "UpdateTelemSpeed", "GddrSpeed",
            "ThermTripCount")} == {
            "AiClk": "1000 MHz", "Vcore": "825 mV", "Tdp": "62 W", "Tdc": "71 A",
            "InputCurrent": "5750 mA", "AsicTemperature": "47.25 \u00b0C",
            "VregTemperature": "43 \u00b0C", "VddLimits": "700..900 mV",
            "Gddr01Temp": "44 / 45 \u00b0C", "Gddr67CorrErrs": "3 / 1",
            "EthFwVersion": "6.14.0.0", "DmAppFwVersion": "5.11.0.3", "FwBuildDate": "2025-03-14",
            "EnabledGddr": "0x000000ff", "FanSpeed": "35 %", "FanRpm": "2100 RPM",
            "UpdateTelemSpeed": "100 ms", "GddrSpeed": "12000 Mbps", "ThermTripCount": "0"}

    def test_tags_in_snapshot_order(self, capsys):
        _, out, _ = run(capsys, "-d", "1")
        shown = [line.split()[0] for line in out.splitlines()
                 if line.startswith("  ") and line.split()[0] in TAG]
        assert shown == [nrsim.TELEM_NAMES[t] for t in sorted(nrsim.TELEM_NAMES)]

    @pytest.mark.parametrize("address", ["0000:04:00.0", "04:00.0"])
    def test_card_named_by_pci_address(self, capsys, address):
        code, out, _ = run(capsys, "-d", address)
        assert code == 0
        assert out.startswith("Card 1 ")
        assert detail_fields(out)["Device ID"] == "0xb140"

    def test_unsupported_card_shows_what_it_can_then_fails(self, capsys):
        n = unsupported_card()
        code, out, err = run(capsys, "-d", str(n))
        assert code == 7
        f = detail_fields(out)
        assert f["Architecture"] == "unknown (0x1234)"
        assert f["Firmware bundle"] == "18.7.0"
        assert "AiClk" not in f
        assert err == f"nrsmi: card {n}: unsupported architecture (device ID 0x1234): no telemetry\n"


class TestJson:
    CARD_KEYS = ["number", "path", "status", "message", "pci_address", "vendor_id", "device_id",
                 "subsystem_vendor_id", "subsystem_id", "max_dma_buf_size_log2", "architecture",
                 "firmware_version", "firmware_version_error", "telemetry", "processes",
                 "processes_hidden"]

    def test_document_of_all_cards(self, capsys):
        nrsim.telem_set(1, TAG["AsicTemperature"], int(49.5 * 65536))
        code, out, _ = run(capsys, "--json")
        assert code == 0
        doc = json.loads(out)
        assert doc["schema"] == "nrsmi/1"
        assert isinstance(doc["timestamp"], float)
        assert doc["nrhal_version"] == nrhal.__version__
        assert doc["units"]["AiClk"] == "MHz" and doc["units"]["AsicTemperature"] == "\u00b0C"
        assert "EthFwVersion" not in doc["units"]
        assert [c["number"] for c in doc["cards"]] == [0, 1]
        card = doc["cards"][1]
        assert list(card) == self.CARD_KEYS
        assert {k: card[k] for k in self.CARD_KEYS[:-4]} == {
            "number": 1, "path": "/dev/norvane/1", "status": "ok", "message": None,
            "pci_address": "0000:04:00.0", "vendor_id": nrsim.identity(1).vendor_id,
            "device_id": 0xB140, "subsystem_vendor_id": nrsim.identity(1).subsystem_vendor_id,
            "subsystem_id": nrsim.identity(1).subsystem_id,
            "max_dma_buf_size_log2": nrsim.identity(1).max_dma_buf_size_log2,
            "architecture": "Norvane N2", "firmware_version": "18.7.0"}

    def test_each_tag_carries_its_own_value(self, capsys):
        _, out, _ = run(capsys, "--json", "-d", "0")
        telemetry = json.loads(out)["cards"][0]["telemetry"]
        assert list(telemetry) == [nrsim.TELEM_NAMES[t] for t in sorted(nrsim.TELEM_NAMES)]
        expected = {name: nrsim.telem_get(0, TAG[name]) for name in telemetry}
        expected["AsicTemperature"] /= 65536
        assert telemetry == expected
        assert telemetry["AsicTemperature"] == 47.25
        assert all(type(v) is int for k, v in telemetry.items() if k != "AsicTemperature")

    def test_unavailable_values_are_null_never_strings(self, capsys):
        n = unsupported_card()
        with hold(1, exclusive=True):
            code, out, _ = run(capsys, "--json")
        assert code == 0
        cards = {c["number"]: c for c in json.loads(out)["cards"]}
        assert cards[n]["status"] == "unsupported"
        assert cards[n]["pci_address"] == "0000:05:00.0"
        assert cards[n]["telemetry"] == dict.fromkeys(cards[0]["telemetry"])
        held = cards[1]
        assert held["status"] == "held"
        assert "held exclusively" in held["message"]
        assert [k for k, v in held.items() if v is not None] == [
            "number", "path", "status", "message", "telemetry", "processes", "processes_hidden"]
        assert held["processes"] == [{"pid": os.getpid(), "command": own_command(), "mode": "exclusive"}]
        assert set(held["telemetry"].values()) == {None}
        assert all(v is not None for v in cards[0]["telemetry"].values())

    def test_versions(self, capsys):
        nrsim.set_kmd_version(2, 0, 9)
        nrsim.set_fw_version(0, "garbage")
        _, out, _ = run(capsys, "--json")
        doc = json.loads(out)
        assert doc["driver_version"] == "2.0.9"
        assert [c["firmware_version"] for c in doc["cards"]] == [None, "18.7.0"]

    def test_single_unsupported_card_document_then_its_exit_code(self, capsys):
        n = unsupported_card()
        code, out, err = run(capsys, "--json", "-d", str(n))
        assert code == 7
        (card,) = json.loads(out)["cards"]
        assert card["number"] == n and card["status"] == "unsupported"
        assert "unsupported architecture" in err


class TestWatch:
    def test_json_prints_one_document_per_line(self, capsys):
        code, out, _ = run(capsys, "--json", "--watch", "0.01", "--count", "3")
        assert code == 0
        lines = out.splitlines()
        assert len(lines) == 3
        docs = [json.loads(line) for line in lines]
        assert all(d["schema"] == "nrsmi/1" and len(d["cards"]) == 2 for d in docs)
        assert CLEAR not in out

    def test_follows_the_cards_between_refreshes(self, capsys, monkeypatch):
        import nrsmi.cli

        beats = iter(range(100, 200))
        monkeypatch.setattr(nrsmi.cli.time, "sleep",
                            lambda s: nrsim.telem_set(0, TAG["TimerHeartbeat"], next(beats)))
        _, out, _ = run(capsys, "--json", "--watch", "5", "--count", "3")
        assert [json.loads(line)["cards"][0]["telemetry"]["TimerHeartbeat"]
                for line in out.splitlines()] == [0, 100, 101]

    def test_text_on_a_pipe_appends_frames(self, capsys):
        code, out, _ = run(capsys, "--watch", "0.01", "--count", "2")
        assert code == 0
        assert out.count("Card  PCI address") == 2
        assert CLEAR not in out

    def test_text_on_a_terminal_redraws_in_place(self, monkeypatch):
        class Terminal(io.StringIO):
            def isatty(self):
                return True

        screen = Terminal()
        monkeypatch.setattr(sys, "stdout", screen)
        assert main(["-d", "0", "--watch", "0.01", "--count", "3"]) == 0
        frames = screen.getvalue().split(CLEAR)
        assert frames[0] == "" and len(frames) == 4
        assert all("Card 0  /dev/norvane/0" in f for f in frames[1:])

    def test_single_card_watch_stops_at_its_first_failure(self, capsys):
        n = unsupported_card()
        code, out, _ = run(capsys, "-d", str(n), "--json", "--watch", "0.01", "--count", "5")
        assert code == 7
        assert len(out.splitlines()) == 1


class TestFailures:
    @pytest.mark.parametrize("argv", [[], ["-d", "0"], ["--json"], ["reset", "0", "--yes"]])
    def test_no_driver(self, capsys, argv):
        nrsim.set_driver("unloaded")
        code, out, err = run(capsys, *argv)
        assert (code, out, err) == (3, "", "nrsmi: no Norvane driver loaded (/dev/norvane is missing)\n")

    def test_no_cards(self, capsys):
        for n in nrsim.devices():
            nrsim.remove(n)
        assert run(capsys) == (4, "", "nrsmi: no Norvane cards found\n")

    def test_device_directory_not_readable(self, capsys):
        nrsim.set_driver("denied")
        assert run(capsys) == (8, "", "nrsmi: permission denied: cannot list /dev/norvane\n")

    def test_card_held_exclusively(self, capsys):
        with hold(0, exclusive=True):
            code, out, err = run(capsys, "-d", "0")
        assert (code, out) == (5, "")
        assert err == "nrsmi: card 0 is held exclusively by another process\n"

    @pytest.mark.parametrize("target, message", [
        ("7", "no card 7"), ("0000:09:00.0", "no card at PCI address 0000:09:00.0")])
    def test_no_such_card(self, capsys, target, message):
        assert run(capsys, "-d", target) == (6, "", f"nrsmi: {message}\n")

    def test_card_vanishing_mid_query(self, capsys):
        # Every identity request answers as a severed card would, through all retries.
        nrsim.fail(0, INFO, errno.ENODEV, times=10)
        code, out, err = run(capsys, "-d", "0")
        assert (code, out) == (10, "")
        assert err.startswith("nrsmi: card 0 was lost during the query") and err.count("\n") == 1

    def test_card_removed_mid_watch(self, capsys, monkeypatch):
        import nrsmi.cli

        monkeypatch.setattr(nrsmi.cli.time, "sleep", lambda s: nrsim.remove(0))
        code, out, err = run(capsys, "-d", "0", "--watch", "1", "--count", "3")
        assert code == 6
        assert out.count("Card 0 ") == 1
        assert err == "nrsmi: no card 0\n"

    def test_card_node_not_accessible(self, capsys):
        nrsim.deny(0, True)
        code, out, err = run(capsys, "-d", "0")
        assert (code, out) == (8, "")
        assert err == "nrsmi: permission denied: cannot open /dev/norvane/0\n"

    @pytest.mark.parametrize("argv", [
        ["--watch", "0"], ["--watch", "soon"], ["--watch", "1", "--count", "0"], ["--count", "2"],
        ["-d", "card0"], ["-d", "99999999999"], ["reset"], ["--bogus"]])
    def test_usage(self, capsys, argv):
        code, out, err = run(capsys, *argv)
        assert (code, out) == (2, "")
        assert "usage: nrsmi" in err or err.startswith("nrsmi: ")


class TestReset:
    def test_yes_skips_the_prompt(self, capsys):
        code, out, err = run(capsys, "reset", "0", "--yes")
        assert (code, err) == (0, "")
        assert out == "Resetting card 0 (0000:03:00.0)...\ndone\n"
        assert (nrsim.reset_count(0), nrsim.reset_count(1)) == (1, 0)

    def test_progress_on_a_terminal_while_the_card_is_away(self, monkeypatch):
        class Terminal(io.StringIO):
            def isatty(self):
                return True

            def write(self, text):
                if text.startswith("\r") and "|" in text:
                    nrsim.reset_away(0, 0)  # a spinner frame is up: bring the card back
                return super().write(text)

        nrsim.reset_away(0, never=True)
        screen = Terminal()
        monkeypatch.setattr(sys, "stdout", screen)
        assert main(["reset", "0", "-y"]) == 0
        out = screen.getvalue()
        assert out.startswith("Resetting card 0 (0000:03:00.0)...\rResetting card 0 (0000:03:00.0)... | ")
        assert out.endswith("\r\x1b[KResetting card 0 (0000:03:00.0)... done\n")
        assert out.count("\n") == 1
        assert nrsim.reset_count(0) == 1

    def test_failed_reset(self, capsys):
        nrsim.reset_result(0, begin=3)
        code, out, err = run(capsys, "reset", "0", "--yes")
        assert (code, err) == (1, "nrsmi: the reset of card 0 failed\n")
        assert out.endswith("failed\n")

    def test_confirmed_at_the_prompt(self, capsys, monkeypatch):
        code, out, _ = run(capsys, "reset", "04:00.0", stdin="y\n", monkeypatch=monkeypatch)
        assert code == 0
        assert out.startswith("Reset card 1 (0000:04:00.0)? [y/N] Resetting card 1")
        assert (nrsim.reset_count(0), nrsim.reset_count(1)) == (0, 1)

    @pytest.mark.parametrize("answer", ["n\n", "\n", "maybe\n", ""])
    def test_declined(self, capsys, monkeypatch, answer):
        code, out, err = run(capsys, "reset", "0", stdin=answer, monkeypatch=monkeypatch)
        assert (code, err) == (9, "nrsmi: reset cancelled\n")
        assert out.startswith("Reset card 0 (0000:03:00.0)? [y/N] ")
        assert resets(0) == []

    def test_busy_card_is_refused_with_its_exit_code(self, capsys):
        with hold(0):
            code, out, err = run(capsys, "reset", "0", "--yes")
        assert code == 5
        assert err.startswith("nrsmi: card 0 is busy: held open by ") and err.count("\n") == 1
        assert resets(0) == []

    def test_busy_card_names_the_process_holding_it(self, capsys, monkeypatch):
        with hold(0):
            code, out, err = run(capsys, "reset", "0", stdin="y\n", monkeypatch=monkeypatch)
        assert (code, out) == (5, "")  # refused before asking
        assert err == f"nrsmi: card 0 is busy: held open by {os.getpid()} ({own_command()})\n"

    def test_card_opened_after_the_prompt_refuses_the_reset(self, capsys, monkeypatch):
        import nrsmi.reset

        scans = []
        real_scan = holders.scan

        def scan(path):
            # Nobody holds it when first looked at: the session comes later.
            scans.append(path)
            return holders.Scan([]) if len(scans) == 1 else real_scan(path)

        monkeypatch.setattr(nrsmi.reset.holders, "scan", scan)
        with hold(0):
            code, out, err = run(capsys, "reset", "0", "--yes")
        assert code == 5
        assert out == "Resetting card 0 (0000:03:00.0)...\nfailed\n"
        assert err == f"nrsmi: card 0 is busy: held open by {os.getpid()} ({own_command()})\n"
        assert scans == ["/dev/norvane/0"] * 2
        assert nrsim.reset_count(0) == 0

    def test_missing_card(self, capsys):
        assert run(capsys, "reset", "3", "--yes") == (6, "", "nrsmi: no card 3\n")

    def test_interrupt_waits_for_the_reset_then_exits_130(self):
        # The child interrupts itself once the reset's first step is logged
        # (the card is then away, for good until the tool says it waits).
        script = """if True:
            import io, os, signal, sys, threading, time, nrsim
            from nrsmi.__main__ import main
            class Stderr(io.StringIO):
                def write(self, text):
                    if "cannot be interrupted" in text:
                        nrsim.reset_away(0, 0)
                    return sys.__stderr__.write(text)
            def interrupt():
                while not any(number == 0xFA06 for number, _ in nrsim.requests(0)):
                    time.sleep(0.001)
                os.kill(os.getpid(), signal.SIGINT)
            nrsim.reset_away(0, never=True)
            sys.stderr = Stderr()
            threading.Thread(target=interrupt, daemon=True).start()
            code = main(["reset", "0", "--yes"])
            print("resets", nrsim.reset_count(0), "open", nrsim.open_count(0))
            sys.exit(code)
        """
        done = command_line(sys.executable, "-c", script)
        assert done.returncode == 130, done.stderr
        assert done.stdout == "Resetting card 0 (0000:03:00.0)...\ndone\nresets 1 open 0\n"
        assert done.stderr == "\nnrsmi: a reset cannot be interrupted; waiting for the card to come back\n"

    def test_held_exclusively(self, capsys):
        with hold(1, exclusive=True):
            code, _, err = run(capsys, "reset", "1", "--yes")
        assert code == 5 and err.startswith("nrsmi: card 1 is busy")


class TestHolders:
    def test_finds_processes_with_the_node_open(self, tmp_path):
        def process(pid, comm, *targets):
            fd = tmp_path / str(pid) / "fd"
            fd.mkdir(parents=True)
            (tmp_path / str(pid) / "comm").write_text(comm + "\n")
            for i, target in enumerate(targets):
                (fd / str(i + 3)).symlink_to(target)

        process(40, "trainer", "/dev/null", "/dev/norvane/0", "/dev/norvane/0")
        process(7, "monitor", "/dev/norvane/1")
        process(123, "old", "/dev/norvane/0 (deleted)")
        process(5, "other", "/dev/norvane/00", "/dev/norvane/01")
        (tmp_path / "99").mkdir()  # ended: no fd directory left
        (tmp_path / "self").mkdir()
        found = holders.scan("/dev/norvane/0", proc=str(tmp_path))
        assert found.holders == [holders.Holder(40, "trainer"), holders.Holder(123, "old")]
        assert holders.describe(found) == "40 (trainer), 123 (old)"

    def test_describes_what_it_could_not_see(self):
        assert holders.describe(holders.Scan([], hidden=2)) == (
            "a process that could not be identified; 2 processes could not be inspected (try as root)")


@pytest.mark.parametrize("argv, expected", [
    (["--sim"], (True, None, [])),
    (["--sim", "-d", "0"], (True, None, ["-d", "0"])),
    (["--sim", "reset", "0"], (True, None, ["reset", "0"])),
    (["reset", "0", "--sim", "0x401e@03:00.0"], (True, "0x401e@03:00.0", ["reset", "0"])),
    (["--sim", "", "--json"], (True, "", ["--json"])),
    (["--sim=0xb140@04:00.0"], (True, "0xb140@04:00.0", [])),
    (["-d", "0"], (False, None, ["-d", "0"])),
])
def test_sim_option_takes_only_a_device_list(argv, expected):
    assert simrun.split(argv) == expected


def command(*argv, simulated=True, timeout=120):
    """Runs `python3 -m nrsmi ARGV` as its own process: on this process's
    simulator, or without one (simulated=False), as a user would."""
    return command_line(sys.executable, "-m", "nrsmi", *argv, simulated=simulated, timeout=timeout)


def tool_environment(simulated=True):
    env = dict(os.environ)
    paths = [str(TOOLS)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env.update(PYTHONPATH=os.pathsep.join(paths), NRSIM_LIB=str(loaded_library()))
    env.pop(simrun.MARKER, None)
    if not simulated:
        for name in ("LD_PRELOAD", "NRSIM_DEVICES"):
            env.pop(name, None)
    return env


def command_line(*argv, simulated=True, timeout=120):
    return subprocess.run(argv, env=tool_environment(simulated), capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


class TestCommand:
    def test_runs_as_a_module(self):
        done = command()
        assert (done.returncode, done.stderr) == (0, "")
        assert set(table_rows(done.stdout)) == {0, 1}

    def test_sim_reruns_itself_on_the_simulator(self):
        done = command("--sim", "--json", simulated=False)
        assert done.returncode == 0, done.stderr
        doc = json.loads(done.stdout)
        assert [(c["pci_address"], c["architecture"]) for c in doc["cards"]] == [
            ("0000:03:00.0", "Norvane N1"), ("0000:04:00.0", "Norvane N2")]

    def test_sim_with_its_own_cards(self):
        done = command("-d", "0", "--sim", "0xb140@0000:07:00.0", simulated=False)
        assert done.returncode == 0, done.stderr
        assert detail_fields(done.stdout)["PCI address"] == "0000:07:00.0"
        assert detail_fields(done.stdout)["Architecture"] == "Norvane N2"

    def test_sim_without_cards(self):
        done = command("--sim", "", simulated=False)
        assert (done.returncode, done.stdout, done.stderr) == (4, "", "nrsmi: no Norvane cards found\n")

    def test_sim_rejects_a_bad_command_line_itself(self):
        done = command("--sim", "--watch", "never", simulated=False)
        assert done.returncode == 2 and "--watch" in done.stderr
        done = command("--sim", "bad@list", simulated=False)
        assert (done.returncode, done.stdout) == (2, "")
        assert done.stderr == ("nrsmi: bad --sim card list 'bad@list' (at 'bad@list'): want DEVICEID@BDF,... "
                               "such as 0x401e@0000:03:00.0\nTry 'nrsmi --help'.\n")

    def test_closed_pipe_ends_it_quietly(self):
        # nrsmi --json --watch 1 | head -1
        child = subprocess.Popen([sys.executable, "-m", "nrsmi", "--json", "--watch", "0.01"],
                                 env=tool_environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL)
        assert json.loads(child.stdout.readline())["schema"] == "nrsmi/1"
        child.stdout.close()
        assert child.wait(timeout=60) == 0
        assert child.stderr.read() == b""

    def test_never_waits_for_a_card_held_exclusively(self):
        # The driver's version is asked through a blocking open of the first
        # card: with that card held, asking would wait for ever.
        script = ("import nrhal, sys; from nrsmi.__main__ import main; "
                  "s = nrhal.Device.from_path('/dev/norvane/0').open(exclusive=True); "
                  "sys.exit(main([]))")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TOOLS), os.environ.get("PYTHONPATH", "")]))
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                              timeout=60, stdin=subprocess.DEVNULL)
        assert done.returncode == 0, done.stderr
        assert "Norvane driver unknown" in done.stdout
        assert table_rows(done.stdout)[0] == ["-"] * 8
