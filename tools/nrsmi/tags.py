"""What the tool knows about the cards' data: architecture names and, for
each telemetry tag, its unit and how the firmware encodes it.

The firmware's encodings: clocks in MHz, voltages in mV, powers in W,
currents in A (InputCurrent in mA), AsicTemperature in 16.16 fixed-point
degrees C and the other temperatures in plain degrees C, percentages,
firmware versions packed one byte each as major.minor.patch.build,
FwBuildDate as the hexadecimal digits YYYYMMDD, masks of blocks, and pairs
of 16-bit halves (GDDR chips: even chip low, odd chip high; VddLimits:
min low, max high).
"""

#: PCI device ID -> architecture name.  Neutral names for the two
#: generations; anything else is "unknown (0x....)".
ARCHITECTURES = {
    0x401E: "Norvane N1",
    0xB140: "Norvane N2",
}


def architecture(device_id: int) -> str:
    return ARCHITECTURES.get(device_id, f"unknown ({device_id:#06x})")


# Kinds of encoding.
NUMBER = "number"    # a plain quantity in its unit
FIXED16 = "fixed16"  # 16.16 fixed point, in its unit
PAIR = "pair"        # two 16-bit values (even chip low, odd chip high)
RANGE = "range"      # min in the low 16 bits, max in the high 16 bits
VERSION = "version"  # major.minor.patch.build, one byte each
DATE = "date"        # YYYYMMDD as hexadecimal digits
HEX = "hex"          # masks and identifiers

DEG_C = "\u00b0C"

#: tag name -> (kind, unit or None)
TAGS = {
    "BoardIdHigh": (HEX, None),
    "BoardIdLow": (HEX, None),
    "AsicId": (HEX, None),
    "HarvestingState": (HEX, None),
    "UpdateTelemSpeed": (NUMBER, "ms"),
    "Vcore": (NUMBER, "mV"),
    "Tdp": (NUMBER, "W"),
    "Tdc": (NUMBER, "A"),
    "VddLimits": (RANGE, "mV"),
    "ThmLimitShutdown": (NUMBER, DEG_C),
    "AsicTemperature": (FIXED16, DEG_C),
    "VregTemperature": (NUMBER, DEG_C),
    "BoardTemperature": (NUMBER, DEG_C),
    "AiClk": (NUMBER, "MHz"),
    "AxiClk": (NUMBER, "MHz"),
    "SmcClk": (NUMBER, "MHz"),
    "L2CpuClk0": (NUMBER, "MHz"),
    "L2CpuClk1": (NUMBER, "MHz"),
    "L2CpuClk2": (NUMBER, "MHz"),
    "L2CpuClk3": (NUMBER, "MHz"),
    "EthLiveStatus": (HEX, None),
    "GddrStatus": (HEX, None),
    "GddrSpeed": (NUMBER, "Mbps"),
    "EthFwVersion": (VERSION, None),
    "GddrFwVersion": (VERSION, None),
    "DmAppFwVersion": (VERSION, None),
    "DmBlFwVersion": (VERSION, None),
    "FlashBundleVersion": (VERSION, None),
    "CmFwVersion": (VERSION, None),
    "L2CpuFwVersion": (VERSION, None),
    "FanSpeed": (NUMBER, "%"),
    "TimerHeartbeat": (NUMBER, None),
    "EnabledVexelCol": (HEX, None),
    "EnabledEth": (HEX, None),
    "EnabledGddr": (HEX, None),
    "EnabledL2Cpu": (HEX, None),
    "PcieUsage": (NUMBER, "%"),
    "InputCurrent": (NUMBER, "mA"),
    "NocTranslation": (NUMBER, None),
    "FanRpm": (NUMBER, "RPM"),
    "Gddr01Temp": (PAIR, DEG_C),
    "Gddr23Temp": (PAIR, DEG_C),
    "Gddr45Temp": (PAIR, DEG_C),
    "Gddr67Temp": (PAIR, DEG_C),
    "Gddr01CorrErrs": (PAIR, None),
    "Gddr23CorrErrs": (PAIR, None),
    "Gddr45CorrErrs": (PAIR, None),
    "Gddr67CorrErrs": (PAIR, None),
    "GddrUncorrErrs": (NUMBER, None),
    "MaxGddrTemp": (NUMBER, DEG_C),
    "AsicLocation": (NUMBER, None),
    "BoardPowerLimit": (NUMBER, "W"),
    "InputPower": (NUMBER, "W"),
    "TdcLimitMax": (NUMBER, "A"),
    "ThmLimitThrottle": (NUMBER, DEG_C),
    "FwBuildDate": (DATE, None),
    "NrFlashVersion": (VERSION, None),
    "EnabledVexelRow": (HEX, None),
    "ThermTripCount": (NUMBER, None),
    "AsicIdHigh": (HEX, None),
    "AsicIdLow": (HEX, None),
    "AiClkLimitMax": (NUMBER, "MHz"),
    "TdpLimitMax": (NUMBER, "W"),
    "AiClkArbMin": (NUMBER, "MHz"),
    "AiClkArbMax": (NUMBER, "MHz"),
    "EnabledMinArb": (HEX, None),
    "EnabledMaxArb": (HEX, None),
}


def kind(name: str) -> str:
    # A tag added to the library after this table was written still shows,
    # as a plain number.
    return TAGS.get(name, (NUMBER, None))[0]


def unit(name: str) -> "str | None":
    return TAGS.get(name, (NUMBER, None))[1]


def json_unit(name: str) -> "str | None":
    """The unit of the tag's JSON value; packed values have none."""
    k, u = TAGS.get(name, (NUMBER, None))
    return u if k in (NUMBER, FIXED16) else None


def fixed16(raw: int) -> float:
    return raw / 65536.0


def json_value(name: str, raw: int) -> "int | float":
    """The JSON number for a raw value: quantities in their unit, packed
    values (versions, pairs, masks, dates) as the raw 32-bit word."""
    return fixed16(raw) if kind(name) == FIXED16 else raw


def version_text(raw: int) -> str:
    return f"{raw >> 24}.{raw >> 16 & 0xFF}.{raw >> 8 & 0xFF}.{raw & 0xFF}"


def date_text(raw: int) -> str:
    digits = f"{raw:08x}"
    if digits.isdigit():
        return f"{digits[:4]}-{digits[4:6]}-{digits[6:]}"
    return f"{raw:#010x}"


def text(name: str, raw: int, deg: str = DEG_C) -> str:
    """The value as the detail view shows it, with its unit.  `deg` stands
    in for the degree sign on terminals that cannot print it."""
    k, u = TAGS.get(name, (NUMBER, None))
    if u == DEG_C:
        u = deg
    suffix = f" {u}" if u else ""
    if k == NUMBER:
        return f"{raw}{suffix}"
    if k == FIXED16:
        return f"{fixed16(raw):.2f}{suffix}"
    if k == PAIR:
        return f"{raw & 0xFFFF} / {raw >> 16}{suffix}"
    if k == RANGE:
        return f"{raw & 0xFFFF}..{raw >> 16}{suffix}"
    if k == VERSION:
        return version_text(raw)
    if k == DATE:
        return date_text(raw)
    return f"{raw:#010x}"
