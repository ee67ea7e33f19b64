"""The simulated telemetry firmware: what it publishes in the telemetry tile
per architecture, the heartbeat and the live values, the period and its
freeze, the controls (set/get, a replaced table, the pointer registers,
restore), a fresh firmware per incarnation, reading through a real TLB
window, and the firmware thread across exit and fork."""
import ctypes
import errno
import os
import struct
import subprocess
import sys
import time

import pytest

import nrsim
from test_sim_launcher import LAUNCHER, clean_env
from test_sim_support import errno_of, ioctl, libc, open_card, wait_until
from test_sim_tlb import ALLOC, CONFIGURE, FREE, AllocRecord, ConfigRecord, peek, raw_mmap

CARDS = (0, 1)  # 0x401E and 0xB140 at launch
D = nrsim.TELEM_DATA_ADDR
T = nrsim.TELEM_TABLE_ADDR
HB = nrsim.TELEM_HEARTBEAT
TAG = {name: tag for tag, name in nrsim.TELEM_NAMES.items()}


def device_id(n):
    return nrsim.identity(n).device_id


def words(n, addr, count=1):
    x, y = nrsim.TELEM_TILE[device_id(n)]
    return list(struct.unpack(f"<{count}I", nrsim.mem_read(n, x, y, addr, 4 * count)))


def registers(n):
    table_reg, data_reg = nrsim.TELEM_REGISTERS[device_id(n)]
    return words(n, table_reg)[0], words(n, data_reg)[0]


def read_table(n):
    """What a reader finds: (version, count, [(tag, index), ...], {tag: value})."""
    t, d = registers(n)
    version, count = words(n, t, 2)
    entries = [(w & 0xFFFF, w >> 16) for w in words(n, t + 8, min(count, 128))]
    return version, count, entries, {tag: words(n, d + 4 * index)[0] for tag, index in entries}


def image(n):
    """Every byte the firmware may write: registers, table and data array."""
    x, y = nrsim.TELEM_TILE[device_id(n)]
    low = min(nrsim.TELEM_REGISTERS[device_id(n)])
    return nrsim.mem_read(n, x, y, low, 8) + nrsim.mem_read(n, x, y, T, D - T + 4 * 1024)


def heartbeat(n):
    return nrsim.telem_get(n, HB)


def boot_frozen(n):
    """A fresh incarnation whose firmware never ticks: exactly its boot state."""
    nrsim.telem_period(n, 0)
    nrsim.sever(n)


def advances(read, by=3):
    start = read()
    return wait_until(lambda: (read() - start) & 0xFFFFFFFF >= by)


class TestLayout:
    @pytest.mark.parametrize("n", CARDS)
    def test_boot_state(self, n):
        boot_frozen(n)
        did = device_id(n)
        assert registers(n) == (T, D)
        version, count, entries, values = read_table(n)
        assert (version, count) == (nrsim.TELEM_VERSION, 68)
        assert sorted(tag for tag, _ in entries) == list(range(1, 69))
        indexes = [index for _, index in entries]
        assert len(set(indexes)) == 68 and all(index != tag for tag, index in entries)
        assert indexes == sorted(indexes) != [tag for tag, _ in entries]  # data order, not tag order
        assert values == nrsim.TELEM_DEFAULTS[did]
        assert {tag: nrsim.telem_get(n, tag) for tag in range(1, 69)} == values

    @pytest.mark.parametrize("n", CARDS)
    def test_only_the_telemetry_tile_of_the_card_is_written(self, n):
        boot_frozen(n)
        mine = nrsim.TELEM_TILE[device_id(n)]
        other_id = nrsim.identity(1 - n).device_id
        for x, y in nrsim.TELEM_TILE.values():
            if (x, y) != mine:
                assert nrsim.mem_read(n, x, y, T, 8) == bytes(8)
                for reg in nrsim.TELEM_REGISTERS[device_id(n)]:
                    assert nrsim.mem_read(n, x, y, reg, 4) == bytes(4)
        # Not at the other architecture's register addresses either.
        for reg in nrsim.TELEM_REGISTERS[other_id]:
            assert reg in nrsim.TELEM_REGISTERS[device_id(n)] or words(n, reg) == [0]

    @pytest.mark.parametrize("did", nrsim.TELEM_DEFAULTS)
    def test_defaults_hang_together(self, did):
        v = {name: nrsim.TELEM_DEFAULTS[did][tag] for name, tag in TAG.items()}
        assert v["AsicId"] >> 16 == did
        assert v["AiClkArbMin"] <= v["AiClk"] <= v["AiClkArbMax"] <= v["AiClkLimitMax"]
        assert v["AsicTemperature"] / 65536 < v["ThmLimitThrottle"] < v["ThmLimitShutdown"]
        assert v["Tdp"] <= v["BoardPowerLimit"] <= v["TdpLimitMax"] and v["Tdc"] <= v["TdcLimitMax"]
        assert v["VddLimits"] & 0xFFFF <= v["Vcore"] <= v["VddLimits"] >> 16
        assert v["FanRpm"] == 60 * v["FanSpeed"] and v["InputCurrent"] == v["InputPower"] * 1000 // 12
        temps = [v[f"Gddr{p}Temp"] >> s & 0xFFFF for p in ("01", "23", "45", "67") for s in (0, 16)]
        assert v["MaxGddrTemp"] == max(temps)
        assert v["EthLiveStatus"] & ~v["EnabledEth"] == 0 and v["EnabledVexelRow"] & v["HarvestingState"] == 0
        assert v["UpdateTelemSpeed"] == nrsim.TELEM_PERIOD_MS and v["TimerHeartbeat"] == 0
        assert nrsim.TELEM_DEFAULTS[did][33] == 0  # reserved, no name

    def test_bundle_version_matches_sysfs(self):
        with open("/sys/class/norvane/norvane!0/nr_fw_bundle_ver") as f:
            parts = [int(p) for p in f.read().split(".")]
        packed = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]
        assert nrsim.telem_get(0, TAG["FlashBundleVersion"]) == packed


class TestFirmware:
    @pytest.mark.parametrize("n", CARDS)
    def test_heartbeat_and_live_values_move_within_bounds(self, n):
        defaults = nrsim.TELEM_DEFAULTS[device_id(n)]
        live = {TAG[k] for k in ("UpdateTelemSpeed", "Tdp", "Tdc", "AsicTemperature", "AiClk", "FanSpeed",
                                 "InputCurrent", "FanRpm", "InputPower", "TimerHeartbeat")}
        seen = set()
        for _ in range(5):
            nrsim.telem_period(n, 1)
            assert advances(lambda: heartbeat(n))
            nrsim.telem_period(n, 0)  # a stable snapshot: nothing moves while frozen
            _, _, _, v = read_table(n)
            assert {t: v[t] for t in v if t not in live} == {t: defaults[t] for t in defaults if t not in live}
            g = {name: v[tag] for name, tag in TAG.items()}
            assert g["UpdateTelemSpeed"] == 1
            assert g["AiClkArbMax"] - 40 <= g["AiClk"] <= g["AiClkArbMax"]
            assert abs(g["AsicTemperature"] - defaults[TAG["AsicTemperature"]]) <= 0x18000
            assert abs(g["Tdp"] - defaults[TAG["Tdp"]]) <= 4 and abs(g["Tdc"] - defaults[TAG["Tdc"]]) <= 5
            assert g["InputPower"] - g["Tdp"] == defaults[TAG["InputPower"]] - defaults[TAG["Tdp"]]
            assert g["InputCurrent"] == g["InputPower"] * 1000 // 12 and g["FanRpm"] == 60 * g["FanSpeed"]
            seen.add((g["AiClk"], g["AsicTemperature"], g["Tdp"]))
        assert len(seen) > 1  # they do move

    def test_frozen_firmware_writes_nothing(self):
        nrsim.telem_period(0, 1)
        assert advances(lambda: heartbeat(0))
        nrsim.telem_period(0, 0)
        before = image(0)
        time.sleep(0.05)  # fifty periods of the old setting
        assert image(0) == before

    def test_period_is_per_card_kept_by_sever_and_reset_by_reset(self):
        nrsim.telem_period(0, 0)
        nrsim.telem_period(1, 1)
        frozen = image(0)
        assert advances(lambda: heartbeat(1))
        assert image(0) == frozen
        nrsim.sever(0)
        nrsim.sever(1)
        assert advances(lambda: heartbeat(1))
        assert heartbeat(0) == 0 and nrsim.telem_get(1, TAG["UpdateTelemSpeed"]) == 1
        nrsim.reset()
        assert advances(lambda: heartbeat(0), by=1)  # unfrozen again, at the default period
        assert nrsim.telem_get(0, TAG["UpdateTelemSpeed"]) == nrsim.TELEM_PERIOD_MS

    def test_heartbeat_counts_on_from_its_word(self):
        nrsim.telem_period(0, 0)
        nrsim.telem_set(0, HB, 0xFFFFFFF0)
        nrsim.telem_period(0, 1)
        assert wait_until(lambda: heartbeat(0) < 0xFFFFFFF0)  # wrapped past 2**32 - 1
        assert heartbeat(0) < 1000


class TestControls:
    @pytest.mark.parametrize("n", CARDS)
    def test_set_writes_the_tags_data_word(self, n):
        boot_frozen(n)
        _, _, entries, _ = read_table(n)
        index = dict(entries)[TAG["AiClk"]]
        before = image(n)
        nrsim.telem_set(n, TAG["AiClk"], 0x12345678)
        assert nrsim.telem_get(n, TAG["AiClk"]) == 0x12345678
        assert words(n, D + 4 * index) == [0x12345678]
        after = image(n)
        changed = [i for i in range(len(before)) if before[i] != after[i]]
        at = 8 + D - T + 4 * index  # that word in image()
        assert changed and all(at <= i < at + 4 for i in changed)

    def test_errors(self):
        for tag in (0, 69, 0xFFFF):
            assert errno_of(nrsim.telem_get, 0, tag) == errno.EINVAL
            assert errno_of(nrsim.telem_set, 0, tag, 1) == errno.EINVAL
        calls = [lambda n: nrsim.telem_period(n, 5), lambda n: nrsim.telem_set(n, 1, 2),
                 lambda n: nrsim.telem_get(n, 1), lambda n: nrsim.telem_table(n, [(1, 1)]),
                 lambda n: nrsim.telem_pointers(n, T, D), lambda n: nrsim.telem_restore(n)]
        nrsim.remove(1)
        other = nrsim.add(0x1234, "0000:07:00.0", number=7)
        for call in calls:
            assert errno_of(call, 1) == errno.ENODEV
            assert errno_of(call, other) == errno.ENOTSUP
        assert errno_of(nrsim.telem_table, 0, [(1, 1)] * (nrsim.TELEM_TABLE_MAX + 1)) == errno.EINVAL

    @pytest.mark.parametrize("n", CARDS)
    def test_replaced_table_as_written(self, n):
        boot_frozen(n)
        entries = [(14, 700), (0, 3), (99, 4), (14, 701), (32, 900), (14, 14)]
        nrsim.telem_table(n, entries, count=9)
        assert registers(n) == (T, D)
        assert words(n, T, 2) == [nrsim.TELEM_VERSION, 9]
        listed = words(n, T + 8, 68)
        assert listed[:6] == [tag | index << 16 for tag, index in entries] and listed[6:] == [0] * 62
        nrsim.telem_set(n, 14, 0xABCD)
        assert [words(n, D + 4 * i)[0] for i in (700, 701, 14)] == [0xABCD] * 3
        nrsim.telem_set(n, 14, 5)
        assert nrsim.telem_get(n, 14) == 5
        assert errno_of(nrsim.telem_get, n, 1) == errno.EINVAL  # no longer listed
        assert errno_of(nrsim.telem_set, n, 1, 0) == errno.EINVAL
        nrsim.telem_table(n, [], count=0)
        assert words(n, T + 4, 7) == [0] * 7
        assert errno_of(nrsim.telem_get, n, HB) == errno.EINVAL

    def test_largest_table_stays_clear_of_the_data(self):
        boot_frozen(0)
        data = nrsim.mem_read(0, 0, 2, D, 4 * 128)
        nrsim.telem_table(0, [(7, 7)] * nrsim.TELEM_TABLE_MAX)
        assert words(0, D - 4) == [7 | 7 << 16]
        assert nrsim.mem_read(0, 0, 2, D, 4 * 128) == data

    def test_replaced_table_moves_only_its_first_heartbeat(self):
        nrsim.telem_period(0, 0)
        nrsim.telem_table(0, [(HB, 900), (1, 2), (HB, 901)])
        before = image(0)
        nrsim.telem_period(0, 1)
        assert advances(lambda: words(0, D + 4 * 900)[0])
        nrsim.telem_period(0, 0)
        after = image(0)
        at = 8 + D - T + 4 * 900
        assert after[:at] + after[at + 4:] == before[:at] + before[at + 4:]
        # Without a heartbeat entry nothing moves.
        nrsim.telem_table(0, [(1, 2)])
        nrsim.telem_period(0, 1)
        before = image(0)
        time.sleep(0.03)
        assert image(0) == before

    @pytest.mark.parametrize("n", CARDS)
    def test_pointers_as_written(self, n):
        boot_frozen(n)
        nrsim.telem_pointers(n, 0x0FFFFFFF, 0x10080000)
        assert registers(n) == (0x0FFFFFFF, 0x10080000)
        nrsim.telem_pointers(n, 0, 0xFFFFFFFF)
        table_reg, data_reg = nrsim.TELEM_REGISTERS[device_id(n)]
        assert (words(n, table_reg), words(n, data_reg)) == ([0], [0xFFFFFFFF])
        # The firmware's data stays reachable by tag.
        assert nrsim.telem_get(n, 1) == nrsim.TELEM_DEFAULTS[device_id(n)][1]

    @pytest.mark.parametrize("n", CARDS)
    def test_restore(self, n):
        boot_frozen(n)
        pristine = image(n)
        nrsim.telem_set(n, HB, 777)
        nrsim.telem_set(n, TAG["Tdp"], 1)
        nrsim.telem_table(n, [(HB, 5), (3, 3)], count=200)
        nrsim.telem_pointers(n, 1, 2)
        nrsim.telem_restore(n)
        _, _, _, values = read_table(n)
        assert values == {**nrsim.TELEM_DEFAULTS[device_id(n)], HB: 777}
        nrsim.telem_set(n, HB, 0)
        assert image(n) == pristine


class TestIncarnations:
    @pytest.mark.parametrize("n", CARDS)
    def test_sever_republishes(self, n):
        nrsim.telem_period(n, 0)
        nrsim.telem_table(n, [(1, 1)], count=1000)
        nrsim.telem_pointers(n, 0, 0)
        nrsim.telem_set(n, 1, 99)
        nrsim.sever(n)
        assert registers(n) == (T, D)
        _, count, _, values = read_table(n)
        assert count == 68 and values == nrsim.TELEM_DEFAULTS[device_id(n)]

    def test_firmware_follows_the_device_id_of_each_incarnation(self):
        nrsim.telem_period(0, 0)
        nrsim.set_identity(0, device_id=0x1234)
        assert nrsim.telem_get(0, 1) == nrsim.TELEM_DEFAULTS[0x401E][1]  # until the next incarnation
        nrsim.sever(0)
        assert errno_of(nrsim.telem_get, 0, 1) == errno.ENOTSUP
        nrsim.set_identity(0, device_id=0xB140)
        nrsim.sever(0)
        assert registers(0) == (T, D) and words(0, T + 4) == [68]
        assert nrsim.mem_read(0, 0, 2, 0x800301D0, 8) == bytes(8)
        assert nrsim.telem_get(0, 1) == nrsim.TELEM_DEFAULTS[0xB140][1]

    def test_unknown_device_has_no_telemetry(self):
        n = nrsim.add(0x1234, "0000:07:00.0")
        assert errno_of(nrsim.telem_get, n, HB) == errno.ENOTSUP
        assert errno_of(nrsim.mem_read, n, 0, 2, 0x800301D0, 4) == errno.EINVAL  # no tiles at all

    def test_removed_card(self):
        nrsim.remove(0)
        assert errno_of(nrsim.telem_get, 0, HB) == errno.ENODEV
        assert advances(lambda: heartbeat(1), by=1)  # the firmware serves the others


def window_config(wid, n, addr):
    x, y = nrsim.TELEM_TILE[device_id(n)]
    return ConfigRecord(id=wid, addr=addr, x_end=x, y_end=y, mode=1)


class TestThroughWindow:
    @pytest.mark.parametrize("n", CARDS)
    def test_window_sees_what_mem_read_sees(self, n):
        size = 2 << 20
        fd = open_card(n)
        p = None
        try:
            rec = AllocRecord(size=size)
            ioctl(fd, ALLOC, rec)
            ioctl(fd, CONFIGURE, window_config(rec.id, n, 0x80000000))
            p = raw_mmap(fd, size, rec.uc)
            x, y = nrsim.TELEM_TILE[device_id(n)]
            reg = min(nrsim.TELEM_REGISTERS[device_id(n)])
            assert peek(p + reg - 0x80000000, 8) == nrsim.mem_read(n, x, y, reg, 8)
            table_reg, data_reg = nrsim.TELEM_REGISTERS[device_id(n)]
            assert struct.unpack("<I", peek(p + table_reg - 0x80000000, 4))[0] == T
            ioctl(fd, CONFIGURE, window_config(rec.id, n, 0x10000000))
            nrsim.telem_period(n, 0)
            span = D - T + 4 * 128
            assert peek(p + T - 0x10000000, span) == nrsim.mem_read(n, x, y, T, span)
            # The firmware's ticks show through the mapping as they happen.
            at = p + D - 0x10000000 + 4 * dict(read_table(n)[2])[HB]
            nrsim.telem_period(n, 1)
            assert advances(lambda: struct.unpack("<I", peek(at, 4))[0])
            ioctl(fd, FREE, ctypes.c_uint32(rec.id))
        finally:
            if p is not None:
                libc.munmap(ctypes.c_void_p(p), size)
            os.close(fd)


def run(script):
    return subprocess.run([str(LAUNCHER), "--", sys.executable, "-c", script], env=clean_env(),
                          capture_output=True, text=True, timeout=60)


class TestThread:
    def test_the_firmware_runs_in_the_host_not_in_the_program(self):
        r = run("import os, nrsim\n"
                "beat = nrsim.telem_get(0, 32)\n"
                "while nrsim.telem_get(0, 32) == beat: pass\n"
                "print(len(os.listdir('/proc/self/task')))\n")
        assert (r.returncode, r.stdout) == (0, "1\n"), r.stderr

    def test_process_exits_cleanly_while_it_ticks(self):
        script = ("import os, time, nrsim\n"
                  "fd = os.open('/dev/norvane/1', os.O_RDWR)\n"
                  "for n in nrsim.devices(): nrsim.telem_period(n, 1)\n"
                  "time.sleep(0.02)\n")
        for _ in range(3):
            r = run(script)
            assert (r.returncode, r.stderr) == (0, "")

    def test_forked_child_shares_the_hosts_firmware(self):
        nrsim.telem_period(1, 1)
        pid = os.fork()
        if pid == 0:
            ok = False
            try:
                import signal
                signal.alarm(20)  # a deadlocked child dies rather than hangs the run
                n = nrsim.add(0x401E, "0000:09:00.0")
                nrsim.telem_period(n, 1)
                ok = advances(lambda: heartbeat(1)) and advances(lambda: heartbeat(n))
            finally:
                os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert advances(lambda: heartbeat(2))  # the child's card is the host's, and ticks on
