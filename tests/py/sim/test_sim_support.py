"""Helpers shared by the simulator tests: the C library's entry points as the
native library calls them, through ctypes.  (No tests of its own.)"""
import ctypes
import os
import struct
import time

from conftest import SESSION, open_card  # noqa: F401 (the simulator tests import them from here)

libc = ctypes.CDLL(None, use_errno=True)

DEVICE_INFO = 0xFA00

DT_UNKNOWN, DT_CHR, DT_DIR, DT_REG = 0, 2, 4, 8

_c_str = ctypes.c_char_p


def _declare(name, restype, *argtypes):
    fn = getattr(libc, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


class Dirent(ctypes.Structure):
    _fields_ = [("d_ino", ctypes.c_uint64), ("d_off", ctypes.c_int64),
                ("d_reclen", ctypes.c_ushort), ("d_type", ctypes.c_ubyte),
                ("d_name", ctypes.c_char * 256)]


_opendir = _declare("opendir", ctypes.c_void_p, _c_str)
_readdir = _declare("readdir", ctypes.POINTER(Dirent), ctypes.c_void_p)
_readdir64 = _declare("readdir64", ctypes.POINTER(Dirent), ctypes.c_void_p)
_closedir = _declare("closedir", ctypes.c_int, ctypes.c_void_p)
_realpath = _declare("realpath", ctypes.c_void_p, _c_str, ctypes.c_char_p)
_realpath_chk = _declare("__realpath_chk", ctypes.c_void_p, _c_str, ctypes.c_char_p, ctypes.c_size_t)
_free = _declare("free", None, ctypes.c_void_p)
_access = _declare("access", ctypes.c_int, _c_str, ctypes.c_int)
_ioctl = _declare("ioctl", ctypes.c_int, ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p)
_mmap = _declare("mmap", ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                 ctypes.c_int, ctypes.c_int, ctypes.c_long)
_declare("munmap", ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t)
_syscall = _declare("syscall", ctypes.c_long, ctypes.c_long, ctypes.c_long)

# Every way into open that the library interposes, called as the C library
# would be: name -> (function, takes a directory descriptor, takes a mode).
_OPENS = {}
for _name, _at, _mode in [("open", False, True), ("open64", False, True),
                          ("openat", True, True), ("openat64", True, True),
                          ("__open_2", False, False), ("__open64_2", False, False),
                          ("__openat_2", True, False), ("__openat64_2", True, False)]:
    _args = ([ctypes.c_int] if _at else []) + [_c_str, ctypes.c_int] + ([ctypes.c_int] if _mode else [])
    _OPENS[_name] = (_declare(_name, ctypes.c_int, *_args), _at, _mode)
OPEN_ENTRIES = sorted(_OPENS)

AT_FDCWD = -100
MAP_FAILED = ctypes.c_void_p(-1).value


def raise_errno():
    err = ctypes.get_errno()
    raise OSError(err, os.strerror(err))


def c_open(path, flags, entry="open", dirfd=AT_FDCWD):
    """Opens through one of the C library's open entry points."""
    fn, at, mode = _OPENS[entry]
    args = ([dirfd] if at else []) + [path.encode(), flags] + ([0] if mode else [])
    fd = fn(*args)
    if fd < 0:
        raise_errno()
    return fd


def listing(path, entry="readdir"):
    """[(name, d_type)] as opendir/readdir yield them, "." and ".." included."""
    read = _readdir if entry == "readdir" else _readdir64
    d = _opendir(path.encode())
    if not d:
        raise_errno()
    out = []
    try:
        while True:
            e = read(d)
            if not e:
                break
            out.append((e.contents.d_name.decode(), e.contents.d_type))
    finally:
        assert _closedir(d) == 0
    return out


def realpath(path):
    p = _realpath(path.encode(), None)
    if not p:
        raise_errno()
    try:
        return ctypes.string_at(p).decode()
    finally:
        _free(p)


def realpath_chk(path):
    """realpath into a PATH_MAX buffer through the fortified entry point."""
    buf = ctypes.create_string_buffer(4096)
    if not _realpath_chk(path.encode(), buf, len(buf)):
        raise_errno()
    return buf.value.decode()


def access(path, mode=os.F_OK):
    if _access(path.encode(), mode) != 0:
        raise_errno()


def ioctl(fd, request, record):
    """Issues a request; returns 0 or raises OSError.  `record` is a ctypes
    object (passed by pointer), an int address, or None."""
    if record is None:
        arg = None
    elif isinstance(record, int):
        arg = record
    else:
        arg = ctypes.addressof(record)
    if _ioctl(fd, request, arg) != 0:
        raise_errno()
    return 0


def mmap(fd, length=4096, offset=0):
    PROT_RW, MAP_SHARED = 3, 1
    p = _mmap(None, length, PROT_RW, MAP_SHARED, fd, offset)
    if p == MAP_FAILED:
        raise_errno()
    return p


def raw_close(fd):
    """close(2) behind the C library's back."""
    SYS_close = 3
    return _syscall(SYS_close, fd)


def info_record(in_size=20, fill=0):
    """A device-information record: the input size word, then `fill` bytes."""
    rec = (ctypes.c_uint8 * 24)(*([fill] * 24))
    struct.pack_into("<I", rec, 0, in_size)
    return rec


INFO_FIELDS = ("output_size_bytes", "vendor_id", "device_id", "subsystem_vendor_id",
               "subsystem_id", "bus_dev_fn", "max_dma_buf_size_log2", "pci_domain")


def parse_info(rec):
    """The output half of a device-information record, as a dict."""
    return dict(zip(INFO_FIELDS, struct.unpack_from("<I7H", bytes(rec), 4)))


def device_info(fd):
    rec = info_record()
    ioctl(fd, DEVICE_INFO, rec)
    return parse_info(rec)


def wait_until(predicate, timeout=5.0):
    """Polls a condition of the simulator; True once it holds, False on timeout.
    Used only to let another thread reach a state, never to measure time."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


def errno_of(fn, *args, **kwargs):
    """The errno that fn raises (an AssertionError if it succeeds)."""
    try:
        fn(*args, **kwargs)
    except OSError as e:
        return e.errno
    raise AssertionError(f"{getattr(fn, '__name__', fn)}{args} succeeded")

