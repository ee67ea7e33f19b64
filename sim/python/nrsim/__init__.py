"""Control of the simulated Norvane kernel driver.

The simulator is a library preloaded into the process by ``nrsim-run``; it
answers for ``/dev/norvane``, the cards' sysfs files and the driver's
requests in place of a real driver.  Every process started under one
launcher shares one simulated host, as the processes of a machine share its
driver: the cards, their descriptors, memory, telemetry, logs and faults.  This module drives it from Python: add,
remove and sever cards, change what they report, inject failures, set how
their management controllers answer messages, read and write their device
memory and look at their TLB windows, drive their telemetry firmware, read
their power state, set how they go through a reset, set the versions the
driver and the cards report, and read back what the program asked of the
driver.

Every function acts on the host's cards, from whichever process calls it
(``fd_count`` and ``mapping_count`` count the caller's own descriptors and
mappings).  A failure raises ``OSError`` with the errno the simulator
reported; a card number that is not present gives ``ENODEV``, and so does
every call once the host is gone.  The ``nrsim`` command calls these from a
shell: ``nrsim sever 0``.

Example::

    $ nrsim-run --devices 0x401e@0000:03:00.0 -- python3 -c \\
        'import nrsim; print(nrsim.devices())'
    [0]
"""
import collections
import ctypes
import errno as _errno
import os

__all__ = [
    "Identity", "devices", "add", "remove", "sever", "reset", "identity",
    "set_identity", "open_count", "fd_count", "waiting", "set_driver",
    "add_entry", "remove_entry", "fail", "fail_open", "deny", "OpenFlags", "opens", "requests",
    "clear_log", "LOG_LIMIT", "set_log_limit",
    "SMC_ECHO", "SMC_STATUS", "SMC_OK", "SMC_UNKNOWN", "smc_delay", "smc_hang",
    "smc_reply", "smc_clear_replies", "smc_messages", "smc_queued",
    "NOC_SPACE", "TILE_GRID", "SIZE_1M", "SIZE_2M", "SIZE_16M", "SIZE_4G", "WINDOW_POOLS",
    "Window", "mem_read", "mem_write", "windows", "mapping_count",
    "TELEM_PERIOD_MS", "TELEM_TAGS", "TELEM_HEARTBEAT", "TELEM_TILE", "TELEM_REGISTERS",
    "TELEM_TABLE_ADDR", "TELEM_DATA_ADDR", "TELEM_VERSION", "TELEM_TABLE_MAX", "TELEM_NAMES",
    "TELEM_DEFAULTS", "telem_period", "telem_set", "telem_get", "telem_table", "telem_pointers",
    "telem_restore",
    "power",
    "RESET_AWAY_MS", "RESET_NOT_BACK", "RESET_NOT_BEGUN", "reset_mode", "reset_away", "reset_result",
    "reset_count",
    "KMD_VERSION", "DRIVER_INTERFACE", "FW_VERSION", "set_kmd_version", "set_fw_version",
    "list_descending",
]

#: Each log (opens, requests, controller messages) keeps at most this many
#: entries per card number, dropping the oldest; see set_log_limit().
LOG_LIMIT = 100000

#: Message codes the simulated controller firmware answers (low byte of word 0).
SMC_ECHO = 0x01
SMC_STATUS = 0x02
#: Firmware status in word 0 of a reply: accepted, or an unknown code.
SMC_OK = 0
SMC_UNKNOWN = 0xFF

#: Each NOC tile's memory spans addresses 0 to NOC_SPACE (2**40).
NOC_SPACE = 1 << 40
#: Window sizes in bytes.
SIZE_1M = 1 << 20
SIZE_2M = 2 << 20
SIZE_16M = 16 << 20
SIZE_4G = 4 << 30

#: The period each card's telemetry firmware starts with, in milliseconds.
TELEM_PERIOD_MS = 100
#: Tags run from 1 to TELEM_TAGS; the heartbeat is tag TELEM_HEARTBEAT.
TELEM_TAGS = 68
TELEM_HEARTBEAT = 32
#: Where the firmware puts its table and its data array (both architectures).
TELEM_TABLE_ADDR = 0x10000400
TELEM_DATA_ADDR = 0x10002000
#: The table's first word.
TELEM_VERSION = 0x00020001
#: The most entries telem_table() takes: the table ends where the data begins.
TELEM_TABLE_MAX = 1790

#: How long a card stays off the bus after the first step of a reset, in
#: milliseconds, until reset_away() says otherwise.
RESET_AWAY_MS = 200
#: Results the driver gives a second reset step it cannot perform: the card
#: is not back on the bus yet; no reset of that descriptor is under way.
RESET_NOT_BACK = 1
RESET_NOT_BEGUN = 2

#: The driver version request 0xFA05 reports until set_kmd_version().
KMD_VERSION = (2, 4, 1)
#: The interface version the same request reports beside it.
DRIVER_INTERFACE = 1
#: What each card's firmware bundle attribute holds until set_fw_version().
FW_VERSION = "18.7.0.0\n"

_lib = ctypes.CDLL(None, use_errno=True)
if not hasattr(_lib, "nrsim_reset"):
    _lib = None


class _Arch(ctypes.Structure):
    _fields_ = [("device_id", ctypes.c_uint16), ("columns", ctypes.c_uint8), ("rows", ctypes.c_uint8),
                ("telem_x", ctypes.c_uint8), ("telem_y", ctypes.c_uint8), ("table_reg", ctypes.c_uint32),
                ("data_reg", ctypes.c_uint32), ("window_size", ctypes.c_uint64 * 3),
                ("window_count", ctypes.c_uint32 * 3)]


def _tables_library():
    """The simulator's library, for its fixed tables: this process's, else
    the file itself (installed beside this package, or a checkout's plain
    build: a sanitized one cannot load into a process without its runtime),
    loaded without taking over anything; None if there is none."""
    if _lib is not None:
        return _lib
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(here, "libnrsim.so"),
                 os.path.join(here, os.pardir, os.pardir, os.pardir, "build", "sim", "libnrsim.so")):
        if path and os.path.isfile(path):
            try:
                return ctypes.CDLL(path)
            except OSError:
                pass
    return None


def _architectures():
    """The architectures' tables, as the simulator defines them once."""
    lib = _tables_library()
    if lib is None or not hasattr(lib, "nrsim_archs"):
        return [], {}
    lib.nrsim_archs.restype = ctypes.c_int
    lib.nrsim_archs.argtypes = [ctypes.POINTER(_Arch), ctypes.c_size_t]
    archs = (_Arch * 16)()
    count = min(lib.nrsim_archs(archs, 16), 16)
    lib.nrsim_telem_default.restype = ctypes.c_int
    lib.nrsim_telem_default.argtypes = [ctypes.c_uint16, ctypes.c_uint16, ctypes.POINTER(ctypes.c_uint32),
                                        ctypes.POINTER(ctypes.c_char_p)]
    defaults = {}
    for a in archs[:count]:
        for tag in range(1, TELEM_TAGS + 1):
            value, name = ctypes.c_uint32(), ctypes.c_char_p()
            if lib.nrsim_telem_default(a.device_id, tag, ctypes.byref(value), ctypes.byref(name)) == 0:
                defaults.setdefault(a.device_id, {})[tag] = (value.value, name.value)
    return list(archs[:count]), defaults


_ARCHS, _TELEM = _architectures()

#: The NOC grid by PCI device ID: (columns, rows), tiles (x, y) with
#: x < columns and y < rows.  Cards of other device IDs have no tiles.
TILE_GRID = {a.device_id: (a.columns, a.rows) for a in _ARCHS}
#: The windows a card offers by PCI device ID: {size: windows of that size}.
#: Allocating a size once all its windows are taken fails with ENOSPC; a size
#: not listed fails with EINVAL.
WINDOW_POOLS = {a.device_id: {a.window_size[i]: a.window_count[i] for i in range(3) if a.window_size[i]}
                for a in _ARCHS}
#: The telemetry tile (x, y) by PCI device ID; cards of other device IDs
#: have no telemetry.
TELEM_TILE = {a.device_id: (a.telem_x, a.telem_y) for a in _ARCHS if a.device_id in _TELEM}
#: NOC addresses of the pointer registers in the telemetry tile, by PCI
#: device ID: (table pointer, data pointer).  On 0xB140 the data pointer
#: is the lower address.
TELEM_REGISTERS = {a.device_id: (a.table_reg, a.data_reg) for a in _ARCHS if a.device_id in _TELEM}
#: The tags' names; tag 33 is reserved and has none.
TELEM_NAMES = {tag: name.decode() for tags in list(_TELEM.values())[:1] for tag, (_, name) in tags.items()
               if name}
#: The values the firmware publishes at boot, by PCI device ID, then tag
#: (1 to 68; the reserved tag 33 reads 0).  Each tick moves the live ones
#: within bounds: AiClk (AiClkArbMax - 40 to AiClkArbMax), AsicTemperature
#: (within 1.5 degrees), Tdp (4 W), Tdc (5 A), InputPower (Tdp plus a fixed
#: overhead), InputCurrent (InputPower at 12 V), FanSpeed (2 percent),
#: FanRpm (FanSpeed * 60), UpdateTelemSpeed (the period in force) and the
#: heartbeat (one more per tick).  Encodings: clocks in MHz, voltages in mV,
#: power in W, currents in A (InputCurrent in mA at 12 V), AsicTemperature
#: in 16.16 fixed point degrees C and the other temperatures in plain
#: degrees, pairs of GDDR chips with the even chip in bits 0..15, firmware
#: versions one byte each of major.minor.patch.build, FwBuildDate as
#: YYYYMMDD in hexadecimal digits, Enabled* and EthLiveStatus masks of blocks.
#: These tables are the simulator library's own, read from it; they are
#: empty where no library can be found.
TELEM_DEFAULTS = {device_id: {tag: value for tag, (value, _) in tags.items()} for device_id, tags in _TELEM.items()}

#: What a control says when the simulator is not loaded in this process.
_NOT_LOADED = ("nrsim: the Norvane simulator is not loaded in this process; "
               "run the program under it: nrsim-run -- CMD (or python3 -m nrsim run -- CMD)")


class _Identity(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint16) for name in (
        "vendor_id", "device_id", "subsystem_vendor_id", "subsystem_id",
        "bus_dev_fn", "max_dma_buf_size_log2", "pci_domain")]


Identity = collections.namedtuple("Identity", [f for f, _ in _Identity._fields_])
Identity.__doc__ = """A card's PCI identity, as the device-information request reports it.

bus_dev_fn packs the PCI address as bus << 8 | device << 3 | function."""

_u32, _u16, _int, _long, _size = (ctypes.c_uint32, ctypes.c_uint16, ctypes.c_int,
                                  ctypes.c_long, ctypes.c_size_t)


def _not_loaded(*args):
    raise RuntimeError(_NOT_LOADED)


def _declare(name, restype, *argtypes):
    if _lib is None:  # importable for its documentation; every call says how to start it
        return _not_loaded
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


_devices = _declare("nrsim_devices", _int, ctypes.POINTER(_u32), _size)
_add = _declare("nrsim_add", _long, _u16, ctypes.c_char_p)
_add_at = _declare("nrsim_add_at", _long, _u32, _u16, ctypes.c_char_p)
_remove = _declare("nrsim_remove", _int, _u32)
_sever = _declare("nrsim_sever", _int, _u32)
_reset = _declare("nrsim_reset", _int)
_identity = _declare("nrsim_identity", _int, _u32, ctypes.POINTER(_Identity))
_set_identity = _declare("nrsim_set_identity", _int, _u32, ctypes.POINTER(_Identity))
_open_count = _declare("nrsim_open_count", _int, _u32)
_fd_count = _declare("nrsim_fd_count", _int)
_waiting = _declare("nrsim_waiting", _int, _u32)
_set_driver = _declare("nrsim_set_driver", _int, _int)
_add_entry = _declare("nrsim_add_entry", _int, ctypes.c_char_p, _int)
_remove_entry = _declare("nrsim_remove_entry", _int, ctypes.c_char_p)
_fail = _declare("nrsim_fail", _int, _u32, _u32, _int, ctypes.c_uint)
_fail_open = _declare("nrsim_fail_open", _int, _u32, _int, ctypes.c_uint)
_deny = _declare("nrsim_deny", _int, _u32, _int)
_opens = _declare("nrsim_opens", _int, _u32, ctypes.POINTER(_u32), _size)


class _Request(ctypes.Structure):
    _fields_ = [("number", _u32), ("size", _u32), ("bytes", ctypes.c_uint8 * 48)]


_requests = _declare("nrsim_requests", _int, _u32, _size, ctypes.POINTER(_Request), _size)
_clear_log = _declare("nrsim_clear_log", _int)
_set_log_limit = _declare("nrsim_set_log_limit", _int, _size)
_Words = _u32 * 8
_smc_delay_polls = _declare("nrsim_smc_delay_polls", _int, _u32, ctypes.c_uint)
_smc_delay_ms = _declare("nrsim_smc_delay_ms", _int, _u32, ctypes.c_uint)
_smc_hang = _declare("nrsim_smc_hang", _int, _u32, _int)
_smc_set_reply = _declare("nrsim_smc_set_reply", _int, _u32, ctypes.c_uint8, ctypes.POINTER(_u32))
_smc_clear_replies = _declare("nrsim_smc_clear_replies", _int, _u32)
_smc_messages = _declare("nrsim_smc_messages", _int, _u32, ctypes.POINTER(_Words), _size)
_smc_queued = _declare("nrsim_smc_queued", _int, _u32)


class _Window(ctypes.Structure):
    _fields_ = [("id", _u32), ("fd", ctypes.c_int32), ("size", ctypes.c_uint64),
                ("uc_mmap_offset", ctypes.c_uint64), ("wc_mmap_offset", ctypes.c_uint64),
                ("configured", _int), ("addr", ctypes.c_uint64)] + [
        (name, ctypes.c_uint8) for name in (
            "x_end", "y_end", "x_start", "y_start", "noc", "mcast", "linked", "static_vc")] + [
        ("mappings", _u32)]


_u8, _u64 = ctypes.c_uint8, ctypes.c_uint64
_mem_read = _declare("nrsim_mem_read", _int, _u32, _u8, _u8, _u64, ctypes.c_void_p, _size)
_mem_write = _declare("nrsim_mem_write", _int, _u32, _u8, _u8, _u64, ctypes.c_char_p, _size)
_windows = _declare("nrsim_windows", _int, _u32, ctypes.POINTER(_Window), _size)
_mapping_count = _declare("nrsim_mapping_count", _int)


class _TelemEntry(ctypes.Structure):
    _fields_ = [("tag", _u16), ("index", _u16)]


_telem_period = _declare("nrsim_telem_period", _int, _u32, ctypes.c_uint)
_telem_set = _declare("nrsim_telem_set", _int, _u32, _u16, _u32)
_telem_get = _declare("nrsim_telem_get", _int, _u32, _u16, ctypes.POINTER(_u32))
_telem_table = _declare("nrsim_telem_table", _int, _u32, ctypes.POINTER(_TelemEntry), _size, _u32)
_telem_pointers = _declare("nrsim_telem_pointers", _int, _u32, _u32, _u32)
_telem_restore = _declare("nrsim_telem_restore", _int, _u32)
_power = _declare("nrsim_power", _int, _u32, ctypes.POINTER(_u16))
_reset_mode = _declare("nrsim_reset_mode", _int, _u32, _int)
_reset_away_ms = _declare("nrsim_reset_away_ms", _int, _u32, ctypes.c_uint, _int)
_reset_result = _declare("nrsim_reset_result", _int, _u32, _u32, _u32)
_reset_count = _declare("nrsim_reset_count", _int, _u32)
_set_kmd_version = _declare("nrsim_set_kmd_version", _int, _u8, _u8, _u8)
_set_fw_version = _declare("nrsim_set_fw_version", _int, _u32, ctypes.c_char_p)
_list_descending = _declare("nrsim_list_descending", _int, _int)

Window = collections.namedtuple("Window", [f for f, _ in _Window._fields_])
Window.__doc__ = """A TLB window allocated on a card, as the driver sees it.

fd is the descriptor that owns it; configured is False until its first
configure request, and addr up to static_vc then hold that request's fields
(the last one); mappings counts its live mappings in this process."""

_DRIVER_STATES = {"loaded": 0, "unloaded": 1, "denied": 2}
_RESET_MODES = {"vanish": 0, "stay": 1}
_ENTRY_KINDS = {"chr": 0, "reg": 1, "dir": 2, "unknown": 3}


def _check(result):
    if result < 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))
    return result


def _number(n):
    if not isinstance(n, int) or isinstance(n, bool):
        raise TypeError(f"a card number is an int, not {type(n).__name__}")
    if not 0 <= n <= 0xFFFFFFFF:
        raise ValueError(f"card number {n} is outside 0..2**32-1")
    return n


def _unsigned(name, v, bits):
    if not isinstance(v, int) or isinstance(v, bool):
        raise TypeError(f"{name} is an int, not {type(v).__name__}")
    if not 0 <= v < 1 << bits:
        raise ValueError(f"{name} {v} is outside 0..2**{bits}-1")
    return v


def _u16_value(name, v):
    if not isinstance(v, int) or isinstance(v, bool):
        raise TypeError(f"{name} is an int, not {type(v).__name__}")
    if not 0 <= v <= 0xFFFF:
        raise ValueError(f"{name} {v:#x} does not fit in 16 bits")
    return v


def devices():
    """devices() -> list[int]

    The numbers of the cards present, in ascending order."""
    while True:
        count = _check(_devices(None, 0))
        ids = (_u32 * max(count, 1))()
        again = _check(_devices(ids, count))
        if again <= count:
            return list(ids[:again])


def add(device_id, bdf, number=None):
    """add(device_id, bdf, number=None) -> int

    Adds a card with PCI device ID `device_id` at the PCI address `bdf`
    ("0000:05:00.0" or "05:00.0") and returns its number: `number` if given
    (EEXIST if taken), else the lowest number not in use.  The card starts
    with the default identity for that address."""
    device_id = _u16_value("device_id", device_id)
    raw = bdf.encode() if isinstance(bdf, str) else bdf
    if number is None:
        return _check(_add(device_id, raw))
    return _check(_add_at(_number(number), device_id, raw))


def remove(n):
    """remove(n)

    Removes card n: its node disappears, its descriptors answer ENODEV and
    opens waiting for it fail with ENODEV."""
    _check(_remove(_number(n)))


def sever(n):
    """sever(n)

    Resets card n out of band: every descriptor opened before answers ENODEV
    from then on, while new opens work; opens waiting for it are woken.  Its
    windows end and its memory is made anew: loads and stores through
    mappings made before raise SIGBUS."""
    _check(_sever(_number(n)))


def reset():
    """reset()

    Returns to the launch configuration: every card removed and the launch
    cards added afresh (with default controller settings), odd entries
    removed, faults and logs cleared, the log bound back to LOG_LIMIT, the
    driver loaded, the driver version back to KMD_VERSION and /dev/norvane
    listed in ascending order.  The cards come back with every setting at
    its default: controller, telemetry period, reset behaviour and firmware
    bundle text.  Descriptors still open stay open, severed."""
    _check(_reset())


def identity(n):
    """identity(n) -> Identity

    Card n's PCI identity, as the device-information request reports it."""
    out = _Identity()
    _check(_identity(_number(n), ctypes.byref(out)))
    return Identity(*(getattr(out, f) for f in Identity._fields))


def set_identity(n, **fields):
    """set_identity(n, **fields)

    Changes fields of card n's identity (those of Identity); the fields not
    given keep their values.  The card's PCI directory follows its address
    (pci_domain, bus_dev_fn)."""
    unknown = set(fields) - set(Identity._fields)
    if unknown:
        raise TypeError(f"set_identity() got unknown fields: {', '.join(sorted(unknown))}")
    current = identity(n)._asdict()
    for name, value in fields.items():
        current[name] = _u16_value(name, value)
    _check(_set_identity(n, ctypes.byref(_Identity(**current))))


def open_count(n):
    """open_count(n) -> int

    Live (not severed) descriptors open on card n."""
    return _check(_open_count(_number(n)))


def fd_count():
    """fd_count() -> int

    Descriptors of this process that the simulator answers for, over all
    cards and files (severed ones included, until closed)."""
    return _check(_fd_count())


def waiting(n):
    """waiting(n) -> int

    Opens of card n now blocked, waiting for the card to be free."""
    return _check(_waiting(_number(n)))


def set_driver(state):
    """set_driver(state)

    'loaded': /dev/norvane lists the cards (the default); 'unloaded': there
    is no /dev/norvane (nor /sys/class/norvane); 'denied': /dev/norvane
    exists but listing it fails with EACCES."""
    if state not in _DRIVER_STATES:
        raise ValueError(f"driver state must be one of {', '.join(_DRIVER_STATES)}, not {state!r}")
    _check(_set_driver(_DRIVER_STATES[state]))


def add_entry(name, kind="chr"):
    """add_entry(name, kind='chr')

    Adds an entry to /dev/norvane that is no card ("0x1", "1a", "007", ...):
    kind 'chr', 'reg', 'dir' or 'unknown' (listed as DT_UNKNOWN).  It is
    listed and resolves by path, but opening it fails with ENXIO."""
    if kind not in _ENTRY_KINDS:
        raise ValueError(f"entry kind must be one of {', '.join(_ENTRY_KINDS)}, not {kind!r}")
    _check(_add_entry(name.encode(), _ENTRY_KINDS[kind]))


def remove_entry(name):
    """remove_entry(name)

    Removes an entry added with add_entry (ENOENT if there is none)."""
    _check(_remove_entry(name.encode()))


def fail(n, request, errno, times=1):
    """fail(n, request, errno, times=1)

    The next `times` driver requests numbered `request` on card n fail with
    `errno`, before the driver looks at the record (they are still logged).
    Arming again replaces the count; times=0 disarms."""
    _check(_fail(_number(n), request & 0xFFFFFFFF, errno, times))


def deny(n, on=True):
    """deny(n, on=True)

    Makes /dev/norvane/n refuse every process as file permissions would:
    access() for reading or writing and every open fail with EACCES, before
    the driver sees the open (so they are not logged).  deny(n, False) lets
    it in again; reset() does too."""
    _check(_deny(_number(n), 1 if on else 0))


def fail_open(n, errno, times=1):
    """fail_open(n, errno, times=1)

    The next `times` opens of card n fail with `errno` (they are still
    logged)."""
    _check(_fail_open(_number(n), errno, times))


# Flags made of several bits come before the bits they contain.
_OPEN_FLAGS = [(name, getattr(os, name)) for name in (
    "O_TMPFILE", "O_SYNC", "O_CREAT", "O_EXCL", "O_NOCTTY", "O_TRUNC", "O_APPEND", "O_NONBLOCK",
    "O_DSYNC", "O_ASYNC", "O_DIRECT", "O_LARGEFILE", "O_DIRECTORY", "O_NOFOLLOW", "O_NOATIME",
    "O_CLOEXEC", "O_PATH") if getattr(os, name, 0)]
_ACCESS_MODES = {os.O_RDONLY: "O_RDONLY", os.O_WRONLY: "O_WRONLY", os.O_RDWR: "O_RDWR", 3: "O_ACCMODE"}


class OpenFlags(int):
    """An open's flag word: an int that shows itself as the O_ flags it
    holds, such as O_RDWR|O_APPEND|O_CLOEXEC (bits of no known flag in
    hexadecimal at the end)."""

    __slots__ = ()

    def __repr__(self):
        rest = int(self)
        names = [_ACCESS_MODES[rest & 3]]
        rest &= ~3
        for name, bits in _OPEN_FLAGS:
            if rest & bits == bits:
                names.append(name)
                rest &= ~bits
        if rest:
            names.append(hex(rest))
        return "|".join(names)

    __str__ = __repr__


def opens(n):
    """opens(n) -> list[OpenFlags]

    The flag word of every open of /dev/norvane/n, oldest first, whether it
    succeeded or not, each an int that shows its flags by name.  Kept across removal of the card; [] if none.  Only
    the newest LOG_LIMIT are kept (see set_log_limit)."""
    n = _number(n)
    while True:
        count = _check(_opens(n, None, 0))
        flags = (_u32 * max(count, 1))()
        again = _check(_opens(n, flags, count))
        if again <= count:
            return [OpenFlags(f) for f in flags[:again]]


def requests(n):
    """requests(n) -> list[tuple[int, bytes]]

    Every driver request made on card n's descriptors, oldest first: its
    number and the record's bytes as passed in (empty for an unknown number
    or an unreadable record).  Kept across removal of the card; only the
    newest LOG_LIMIT are kept (see set_log_limit)."""
    n = _number(n)
    out = []
    while True:
        room = 4096
        buf = (_Request * room)()
        total = _check(_requests(n, len(out), buf, room))
        got = min(room, max(total - len(out), 0))
        out.extend((r.number, bytes(r.bytes[:r.size])) for r in buf[:got])
        if got < room or len(out) >= total:
            return out


def clear_log():
    """clear_log()

    Forgets every logged open, request and controller message."""
    _check(_clear_log())


def set_log_limit(entries):
    """set_log_limit(entries)

    Keeps at most `entries` (at least 1) in each log of each card number:
    opens, requests and controller messages.  Once a log is full, each new
    entry drops the oldest; logs already longer are cut to their newest
    entries at once.  The bound keeps long runs (soak tests, benchmarks)
    from growing without limit; reset() restores LOG_LIMIT."""
    _check(_set_log_limit(_unsigned("entries", entries, 31)))


# ---- the management controller -------------------------------------------
#
# Each card's controller serves the messages posted on all its descriptors
# (request 0xFA11) one at a time, oldest first; a post on an idle controller
# is taken before it returns.  The settings below are the card's firmware
# behaviour: they outlive a sever, and reset() or removing the card restores
# the defaults (replies at once, the firmware's own answers).  Each message
# is run under the settings in force when the controller takes it.


def smc_delay(n, polls=None, ms=None):
    """smc_delay(n, polls=None, ms=None)

    How long card n's controller takes over each message once it has taken
    it; give exactly one of:

    polls: the reply is ready after that many polls by the posting
        descriptor have answered EAGAIN (0, the default: ready at its first
        poll).  A message whose descriptor dropped it or closed completes at
        once, since nobody will poll for it.
    ms: the reply is ready that many milliseconds after the controller took
        the message (monotonic clock); the next message is taken then."""
    n = _number(n)
    if (polls is None) == (ms is None):
        raise TypeError("smc_delay() takes exactly one of polls and ms")
    if polls is not None:
        _check(_smc_delay_polls(n, _unsigned("polls", polls, 32)))
    else:
        _check(_smc_delay_ms(n, _unsigned("ms", ms, 32)))


def smc_hang(n, on=True):
    """smc_hang(n, on=True)

    With `on`, card n's controller takes messages and never replies to them:
    polls answer EAGAIN for ever, and messages posted later wait behind the
    one it holds.  Turning it off completes the message it holds at once,
    and the queue moves on."""
    _check(_smc_hang(_number(n), 1 if on else 0))


def smc_reply(n, code, words):
    """smc_reply(n, code, words)

    Card n's controller answers every message it takes from now on whose
    code (low byte of word 0) is `code` with `words` (0 to 8 unsigned 32-bit
    words, padded with zeros to 8) verbatim, word 0 included, instead of the
    firmware's own reply.  Setting a code again replaces its reply."""
    n = _number(n)
    code = _unsigned("code", code, 8)
    words = list(words)
    if len(words) > 8:
        raise ValueError(f"a reply has at most 8 words, not {len(words)}")
    values = [_unsigned(f"word {i}", w, 32) for i, w in enumerate(words)]
    _check(_smc_set_reply(n, code, _Words(*values)))


def smc_clear_replies(n):
    """smc_clear_replies(n)

    Forgets every reply set with smc_reply on card n: the firmware's own
    replies apply again to messages taken from now on."""
    _check(_smc_clear_replies(_number(n)))


def smc_messages(n):
    """smc_messages(n) -> list[tuple[int, ...]]

    Every message card n's controller has taken, oldest first, as a tuple of
    its eight request words.  A message dropped while still queued never
    reaches the controller and is not listed; one dropped after it was taken
    is.  Kept across removal of the card and cleared with the other logs;
    only the newest LOG_LIMIT are kept."""
    n = _number(n)
    while True:
        count = _check(_smc_messages(n, None, 0))
        buf = (_Words * max(count, 1))()
        again = _check(_smc_messages(n, buf, count))
        if again <= count:
            return [tuple(buf[i]) for i in range(again)]


def smc_queued(n):
    """smc_queued(n) -> int

    Messages waiting in card n's queue that the controller has not taken
    yet."""
    return _check(_smc_queued(_number(n)))


# ---- device memory and TLB windows -----------------------------------------
#
# Each NOC tile of a card has sparse memory of its own, addressed by NOC
# address, made anew (zeroed) for each incarnation of the card: a sever or a
# removal discards it, and every mapping of a window made before then raises
# SIGBUS on access.  Windows (requests 0xFA0B, 0xFA0C, 0xFA0D and mmap) reach
# that memory; nrsim.h describes what the driver accepts and refuses.


def _tile(n, x, y, addr):
    return _number(n), _unsigned("x", x, 8), _unsigned("y", y, 8), _unsigned("addr", addr, 64)


def mem_read(n, x, y, addr, size):
    """mem_read(n, x, y, addr, size) -> bytes

    `size` bytes of the memory of tile (x, y) of card n from NOC address
    `addr`; memory never written reads as zeros.  What multicast windows
    stored so far reaches the tiles first.  EINVAL for a tile outside the
    card's grid or a range past NOC_SPACE."""
    n, x, y, addr = _tile(n, x, y, addr)
    size = _unsigned("size", size, 64)
    buf = ctypes.create_string_buffer(size)
    _check(_mem_read(n, x, y, addr, buf, size))
    return buf.raw


def mem_write(n, x, y, addr, data):
    """mem_write(n, x, y, addr, data)

    Writes `data` (any bytes-like object) to the memory of tile (x, y) of
    card n at NOC address `addr`, as the card's own agents would: mappings
    of windows onto it see it at once.  What multicast windows stored before
    lands first, so this write wins.  EINVAL for a tile outside the card's
    grid or a range past NOC_SPACE."""
    n, x, y, addr = _tile(n, x, y, addr)
    raw = memoryview(data).tobytes()
    _check(_mem_write(n, x, y, addr, raw, len(raw)))


def windows(n):
    """windows(n) -> list[Window]

    The windows allocated on card n (its current incarnation), by ascending
    id."""
    n = _number(n)
    while True:
        count = _check(_windows(n, None, 0))
        buf = (_Window * max(count, 1))()
        again = _check(_windows(n, buf, count))
        if again <= count:
            return [Window(*(bool(getattr(w, f)) if f == "configured" else getattr(w, f)
                             for f in Window._fields)) for w in buf[:again]]


def mapping_count():
    """mapping_count() -> int

    Live mappings of windows in this process, over all cards: each counts
    until it is unmapped (a partial munmap may split it in two), whether its
    window was freed or its card severed meanwhile."""
    return _check(_mapping_count())


# ---- the telemetry firmware -------------------------------------------------
#
# Cards of device ID 0x401E and 0xB140 run a telemetry firmware.  At each
# incarnation (the card's creation, and every sever) it publishes in the
# memory of its telemetry tile (TELEM_TILE) a table at TELEM_TABLE_ADDR --
# TELEM_VERSION, the entry count, then one word per entry, tag in bits 0..15
# and index in bits 16..31, little-endian -- the data array at
# TELEM_DATA_ADDR, one word per index, and the two pointer registers
# (TELEM_REGISTERS) holding these two addresses.  It lists tags 1 to 68 once
# each with the values of TELEM_DEFAULTS; no tag sits at the index of its own
# number.  A firmware thread then ticks every card at its period: it moves
# the live values and, last, adds one to the heartbeat (tag 32).
#
# Every function below fails with ENOTSUP on a card without telemetry (of
# another device ID when its incarnation began).


def telem_period(n, ms):
    """telem_period(n, ms)

    Card n's firmware ticks every `ms` milliseconds (TELEM_PERIOD_MS at
    first).  0 freezes it: it then writes nothing at all to the card's
    memory, so a test may write the telemetry tile itself.  The period is
    the card's: a sever keeps it, reset() restores TELEM_PERIOD_MS."""
    _check(_telem_period(_number(n), _unsigned("ms", ms, 32)))


def telem_set(n, tag, value):
    """telem_set(n, tag, value)

    Writes `value` (32 bits) as tag `tag`'s value: into the data word at
    TELEM_DATA_ADDR that the table last published (the firmware's, or the
    one telem_table() wrote) gives the tag, into every such word if it lists
    the tag more than once.  EINVAL for a tag outside 1..TELEM_TAGS or one
    the table does not list.  The
    firmware overwrites a live value at its next tick; freeze it first
    (telem_period(n, 0)) to keep one."""
    _check(_telem_set(_number(n), _u16_value("tag", tag), _unsigned("value", value, 32)))


def telem_get(n, tag):
    """telem_get(n, tag) -> int

    Tag `tag`'s value: the data word at TELEM_DATA_ADDR that the table last
    published gives the tag (its first entry for it).  EINVAL for a tag
    outside 1..TELEM_TAGS or one the table does not list."""
    out = _u32()
    _check(_telem_get(_number(n), _u16_value("tag", tag), ctypes.byref(out)))
    return out.value


def telem_table(n, entries, count=None):
    """telem_table(n, entries, count=None)

    Replaces card n's table: `entries` is a sequence of (tag, index) pairs of
    16-bit numbers, written as they are (tags may repeat, be 0 or above 68,
    indexes point anywhere), and `count` the entry count word (32 bits;
    len(entries) by default), which may claim more or fewer entries than
    there are.  What is left of a longer table before it reads 0.  The
    version word and the pointer registers stay as they are.  From then on
    the firmware moves only the heartbeat, through the first entry of tag
    32, or nothing if there is none; telem_restore() puts its own table
    back.  More than TELEM_TABLE_MAX entries: EINVAL."""
    pairs = [(_u16_value("tag", t), _u16_value("index", i)) for t, i in entries]
    count = len(pairs) if count is None else _unsigned("count", count, 32)
    buf = (_TelemEntry * max(len(pairs), 1))(*pairs)
    _check(_telem_table(_number(n), buf, len(pairs), count))


def telem_pointers(n, table, data):
    """telem_pointers(n, table, data)

    Writes the table-pointer and data-pointer registers of card n's
    telemetry tile (any 32-bit values).  The firmware does not look at them:
    its table and data stay where they are, and telem_set() and telem_get()
    still reach them."""
    _check(_telem_pointers(_number(n), _unsigned("table", table, 32), _unsigned("data", data, 32)))


def telem_restore(n):
    """telem_restore(n)

    Puts card n's firmware back as it booted: the pointer registers, its own
    table, and the values of TELEM_DEFAULTS -- except the heartbeat, which
    keeps its count.  The period is left as it is."""
    _check(_telem_restore(_number(n)))


# ---- power requests (0xFA0F) -------------------------------------------------
#
# Each descriptor of a card holds one power request, the last it made; the
# card runs a feature while any of its live descriptors asks for it.  A
# request whose flag_count is not 4, or with non-zero flags or reserved
# bytes, or whose argsz is not 40, is refused with EINVAL.


def power(n):
    """power(n) -> int

    Card n's effective power features: the OR of the power_flags of the
    last request of each of its live descriptors, all 16 bits as sent (the
    card acts on bits 0 to 3).  A request ends when its descriptor closes
    or is severed, and a reset ends the resetting descriptor's own."""
    out = _u16()
    _check(_power(_number(n), ctypes.byref(out)))
    return out.value


# ---- reset (0xFA06) and the card's PCI presence -----------------------------
#
# The first step (flags 4), from any descriptor of the card, severs the card
# as sever() does -- every other descriptor answers ENODEV, windows and
# memory end, the telemetry is published anew -- but keeps the resetting
# descriptor, now on the fresh card, which holds the card as an exclusive
# open would until its reset is finished or it closes.  The card then stays
# off the bus for its away time, counted from the first step (see
# reset_mode() for what that looks like).  The second step (flags 6) is
# accepted, result 0, once the card is back; before that its result is
# RESET_NOT_BACK, and from a descriptor with no reset under way
# RESET_NOT_BEGUN.  The driver writes 8 and the result at offsets 8 and 12
# of the record.  The settings below are the card's: sever() keeps them and
# reset() restores the defaults ('vanish', RESET_AWAY_MS, no forced result).


def reset_mode(n, mode):
    """reset_mode(n, mode)

    How card n shows that it is off the bus during a reset.  'vanish' (the
    default): its directory /sys/bus/pci/devices/<bdf> is absent, and files
    opened in it before read ENODEV, until the card is back.  'stay': the
    directory stays, and byte 4 of its config file (the low byte of the
    PCI Command register) reads with bit 6 (0x40) set until the card is
    back, clear otherwise.  The mode in force when the card is looked at
    applies, during a reset too."""
    if mode not in _RESET_MODES:
        raise ValueError(f"reset mode must be one of {', '.join(_RESET_MODES)}, not {mode!r}")
    _check(_reset_mode(_number(n), _RESET_MODES[mode]))


def reset_away(n, ms=RESET_AWAY_MS, never=False):
    """reset_away(n, ms=RESET_AWAY_MS, never=False)

    Card n is back on the bus `ms` milliseconds after the first step of a
    reset (monotonic clock; 0: at once).  With `never` it stays away until
    a later reset_away() without it.  The card looks at the setting in
    force whenever it is asked, so calling this during a reset moves the
    card's return: reset_away(n, 0) brings it back at once."""
    _check(_reset_away_ms(_number(n), _unsigned("ms", ms, 32), 1 if never else 0))


def reset_result(n, begin=0, finish=0):
    """reset_result(n, begin=0, finish=0)

    Forces the result word the driver answers each step of a reset on card
    n with (0: no forcing).  A forced non-zero result is all the step does:
    a first step answered so leaves the card alone (no sever, not away), a
    second step does not complete the reset.  The setting lasts until
    changed."""
    _check(_reset_result(_number(n), _unsigned("begin", begin, 32), _unsigned("finish", finish, 32)))


def reset_count(n):
    """reset_count(n) -> int

    Resets of card n completed: both steps accepted (result 0).  Kept
    across severs, back to 0 with reset()."""
    return _check(_reset_count(_number(n)))


# ---- versions (0xFA05, the firmware attribute) and listing order -----------


def set_kmd_version(major, minor, patch):
    """set_kmd_version(major, minor, patch)

    The driver version that request 0xFA05 reports on every card, one byte
    each (0 to 255), at offsets 12, 13 and 14 of the record; KMD_VERSION
    until set, and again after reset().  The driver also writes 12 and
    DRIVER_INTERFACE as the words at offsets 4 and 8, and a zero byte at 15;
    a record whose output_size_bytes is below 12 is refused with EINVAL."""
    _check(_set_kmd_version(_unsigned("major", major, 8), _unsigned("minor", minor, 8),
                            _unsigned("patch", patch, 8)))


def set_fw_version(n, text):
    """set_fw_version(n, text)

    What /sys/class/norvane/norvane!N/nr_fw_bundle_ver of card n holds:
    `text` (str, encoded as UTF-8, or bytes) verbatim, however malformed or
    long; "" leaves it empty.  None removes the attribute: opening it fails
    with ENOENT and descriptors already open on it read ENODEV, until text
    is set again.  FW_VERSION at first; the text is the card's, so a sever
    or a reset of the card keeps it, and reset() restores FW_VERSION."""
    n = _number(n)
    if text is None:
        raw = None
    else:
        if isinstance(text, str):
            raw = text.encode()
        elif isinstance(text, (bytes, bytearray)):
            raw = bytes(text)
        else:
            raise TypeError(f"firmware version text is str, bytes or None, not {type(text).__name__}")
        if b"\0" in raw:
            raise ValueError("firmware version text cannot hold a NUL byte")
    _check(_set_fw_version(n, raw))


def list_descending(on=True):
    """list_descending(on=True)

    With `on`, /dev/norvane lists its cards highest number first (odd
    entries still after them); off, lowest first, the default and what
    reset() restores.  A driver-version query opens the first card listed.
    devices() and /sys/class/norvane stay in ascending order."""
    _check(_list_descending(1 if on else 0))
