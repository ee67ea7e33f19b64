// Device descriptors, sessions and device information.
#include "dev.h"

#include "dev/power.h"
#include "dev/reset.h"
#include "dev/smc.h"
#include "dev/telem.h"
#include "dev/tlb.h"

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace nrhal::dev {

namespace {

// A class's method table put together from the tables of the files that
// contribute methods to it, each ended by NR_METHODS_END.  Built once, when
// the class is made (the tables of other files are not ready before), and
// kept for good: the class refers to it.
PyMethodDef *gather(std::vector<PyMethodDef> &into, std::initializer_list<const PyMethodDef *> tables) {
  for (const PyMethodDef *t : tables)
    for (; t->ml_name; ++t) into.push_back(*t);
  into.push_back(NR_METHODS_END);
  return into.data();
}

// ---- scan ------------------------------------------------------------------

PyObject *scan() {
  std::vector<uint32_t> ids(32);
  ssize_t n;
  // The count can exceed the room given; grow and ask again.
  while ((n = nr_dev_scan(ids.size(), ids.data())) > static_cast<ssize_t>(ids.size()))
    ids.resize(2 * static_cast<size_t>(n));
  if (n < 0) return fail(errno);
  py::Ref<> list = py::Ref<>::steal(PyList_New(n));
  if (!list) return nullptr;
  for (ssize_t i = 0; i < n; ++i) {
    PyObject *d = new_device(ids[i]);
    if (!d) return nullptr;
    PyList_SET_ITEM(list.obj(), i, d);
  }
  return list.release();
}

// ---- Device ----------------------------------------------------------------

PyObject *device_from_path(py::Utf8 path) {
  if (path.has_nul()) return fail(EINVAL, "invalid path");
  uint32_t id = 0;
  if (nr_dev_from_path(path.data, &id) != 0) return fail(errno);
  return new_device(id);
}

PyObject *device_from_bdf(py::Utf8 addr) {
  if (addr.has_nul()) return fail(EINVAL, "invalid address");
  // Each card is opened in turn, and the open waits while another client
  // holds one exclusively: that client may be another thread of ours.
  std::string copy(addr.data, static_cast<size_t>(addr.size));
  uint32_t id = 0;
  if (!blocking([&] { return nr_dev_from_bdf(copy.c_str(), &id); })) return nullptr;
  return new_device(id);
}

PyObject *device_open(py::SharedUse<DeviceObject> d, py::NumpyBool exclusive, py::NumpyBool nonblocking,
                      py::NumpyBool persistent) {
  uint32_t id = d->id;
  uint16_t flags = (exclusive.value ? NR_OPEN_EXCLUSIVE : 0) | (nonblocking.value ? NR_OPEN_NONBLOCKING : 0);
  nr_session rec{};
  // A blocking open waits for as long as another client holds the card.
  if (!blocking([&] { return nr_open(&id, &rec, flags); })) return nullptr;

  PyObject *s = new_session(rec, persistent.value);
  if (!s) nr_close(&rec); // no Session owns it: do not leak the descriptor
  return s;
}

PyObject *device_id(PyObject *self, void *) { return PyLong_FromUnsignedLong(py::cast<DeviceObject>(self)->id); }

PyObject *device_repr(PyObject *self) {
  return PyUnicode_FromFormat("Device(id=%lu)", static_cast<unsigned long>(py::cast<DeviceObject>(self)->id));
}

PyMethodDef device_core_methods[] = {
    NR_STATIC("Device", "from_path", device_from_path, "path",
              "Creates a device descriptor from a `/dev/norvane/N` path.\n"
              "\n"
              "`path` must be a `str`; any path that resolves to a device node is\n"
              "accepted.\n"
              "\n" NR_DOC_RAISES "- `EINVAL` if `path` contains a NUL character (\"invalid path\"), or\n"
              "  does not name a node of the device directory.\n"
              "- `ENODEV` if the path does not exist.\n"
              "\n"
              "Raises `TypeError` if `path` is not a `str`."),
    NR_STATIC("Device", "from_bdf", device_from_bdf, "addr",
              "Creates a device descriptor from a PCIe bus/device/function (BDF)\n"
              "address (e.g., `\"0000:03:00.0\"`).\n"
              "\n"
              "The short form without the domain (`\"03:00.0\"`) is accepted too. Each\n"
              "device is opened briefly to read its address, so this waits while\n"
              "another client holds one exclusively, with the interpreter lock\n"
              "released.\n"
              "\n" NR_DOC_RAISES "- `EINVAL` if `addr` contains a NUL character (\"invalid address\"), or\n"
              "  is malformed.\n"
              "- `ENODEV` if no connected device has that address.\n"
              "\n"
              "Raises `TypeError` if `addr` is not a `str`."),
    NR_METHOD("Device", "open", device_open, "$self, *, exclusive=False, nonblocking=False, persistent=False",
              "Opens the device and returns a `Session` that owns the handle.\n"
              "\n"
              "The open blocks while another client holds the device exclusively,\n"
              "unless `nonblocking` is set. Setting `exclusive` waits for sole access,\n"
              "then blocks other opens for the session's lifetime. Setting\n"
              "`persistent` makes the session reopen itself and retry a failing\n"
              "operation when the device connection is lost to an out-of-band reset\n"
              "or removal; a device that is truly gone surfaces as the reopen's\n"
              "`ENODEV`, never as `ECONNRESET`, and a connection that keeps resetting\n"
              "is retried a bounded number of times (3) before reporting `ENODEV` as\n"
              "well. A blocking open waits for as long as the other client holds the\n"
              "device, so the interpreter lock is released while it waits.\n"
              "\n"
              "The arguments are keyword-only and must be `bool`.\n"
              "\n" NR_DOC_RAISES "- `ENODEV` if the device cannot be opened.\n"
              "- `EAGAIN` if `nonblocking` is set and another client holds the device\n"
              "  incompatibly."),
    NR_METHODS_END,
};

PyGetSetDef device_getset[] = {
    {"id", device_id, nullptr, "Returns the device identifier.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Session ---------------------------------------------------------------

PyObject *session_enter(py::SharedUse<SessionObject> s) { return Py_NewRef(s.obj); }

PyObject *session_exit(py::SoleUse<SessionObject> s, PyObject *, PyObject *, PyObject *) {
  close_session(s.obj); // a failed close is not reported here
  Py_RETURN_FALSE;
}

PyObject *session_close(py::SoleUse<SessionObject> s) {
  if (!check(close_session(s.obj))) return nullptr;
  Py_RETURN_NONE;
}

PyObject *session_reopen(py::SoleUse<SessionObject> s) {
  if (!reopen_session(s.obj)) return nullptr;
  Py_RETURN_NONE;
}

PyObject *session_dev(py::SharedUse<SessionObject> s) { return new_device(s->rec.id); }

PyObject *session_info(py::SoleUse<SessionObject> s) {
  nr_info info;
  bool ok = perform(s.obj, [&info](nr_session *rec) {
    info = nr_info{};
    info.output_size_bytes = 20; // the size of the driver's output part
    return nr_dev_info(rec, &info);
  });
  if (!ok) return nullptr;
  return new_info(info);
}

PyObject *session_repr(PyObject *self) {
  SessionObject *s = py::cast<SessionObject>(self);
  py::Shared use(s->use);
  if (!use) return nullptr;
  if (s->rec.fd < 0) return PyUnicode_FromString("Session(closed)");
  return PyUnicode_FromFormat("Session(id=%lu)", static_cast<unsigned long>(s->rec.id));
}

void session_dealloc(PyObject *self) {
  {
    py::Preserved kept;
    close_session(py::cast<SessionObject>(self)); // silently: nothing is raised or printed
  }
  py::free_object(self);
}

PyMethodDef session_core_methods[] = {
    NR_METHOD("Session", "__enter__", session_enter, "$self", ""),
    NR_METHOD("Session", "__exit__", session_exit, NR_EXIT_SIG, ""),
    NR_METHOD("Session", "close", session_close, "$self",
              "Closes the session explicitly.\n"
              "\n"
              "Idempotent: closing an already-closed session is a no-op.\n"
              "\n"
              "Raises `NRError` carrying the `errno` of a failing `close(2)`."),
    NR_METHOD("Session", "reopen", session_reopen, "$self",
              "Reopens the session in place with its original flags.\n"
              "\n"
              "Use it to recover a session severed by an out-of-band reset: the\n"
              "reopen succeeds after a reset and raises `ENODEV` after a removal. The\n"
              "reopen restores only the session handle: TLB allocations do not\n"
              "survive it, and any requested power state is dropped with the old\n"
              "descriptor. A persistent session reopens on its own, so calling this\n"
              "is only necessary for a session opened without `persistent`. A\n"
              "blocking reopen, like a persistent session's own, waits with the\n"
              "interpreter lock released.\n"
              "\n" NR_DOC_RAISES "- `ENODEV` if the device cannot be reopened.\n"
              "- `EAGAIN` if the session was opened with `nonblocking` and another\n"
              "  client holds the device incompatibly."),
    NR_METHOD("Session", "dev", session_dev, "$self",
              "Returns the underlying device descriptor.\n"
              "\n"
              "Works on a closed session too."),
    NR_METHOD("Session", "info", session_info, "$self",
              "Returns static information about the device.\n"
              "\n" NR_DOC_RAISES NR_DOC_CLOSED "- `ECONNRESET` if the session was severed by an out-of-band device\n"
              "  reset or removal (a persistent session reopens and retries instead).\n"
              "- `ENODEV` (persistent session) if the reopen found no device, or the\n"
              "  connection kept resetting.\n"
              "- `EAGAIN` (persistent session opened with `nonblocking`) if the reopen\n"
              "  found the device held incompatibly by another client.\n" NR_DOC_OTHER_ERRNOS),
    NR_METHODS_END,
};

// ---- Info ------------------------------------------------------------------

template <uint16_t nr_info::*Field> PyObject *info_get(PyObject *self, void *) {
  return PyLong_FromLong(py::cast<InfoObject>(self)->info.*Field);
}

PyGetSetDef info_getset[] = {
    {"vendor_id", info_get<&nr_info::vendor_id>, nullptr, nullptr, nullptr},
    {"device_id", info_get<&nr_info::device_id>, nullptr, nullptr, nullptr},
    {"subsystem_vendor_id", info_get<&nr_info::subsystem_vendor_id>, nullptr, nullptr, nullptr},
    {"subsystem_id", info_get<&nr_info::subsystem_id>, nullptr, nullptr, nullptr},
    {"bus_dev_fn", info_get<&nr_info::bus_dev_fn>, nullptr, nullptr, nullptr},
    {"pci_domain", info_get<&nr_info::pci_domain>, nullptr, nullptr, nullptr},
    {"max_dma_buf_size_log2", info_get<&nr_info::max_dma_buf_size_log2>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *info_repr(PyObject *self) {
  const nr_info &i = py::cast<InfoObject>(self)->info;
  char text[48];
  std::snprintf(text, sizeof text, "Info(vendor=0x%04x, device=0x%04x)", i.vendor_id, i.device_id);
  return PyUnicode_FromString(text);
}

// Files that add Device or Session methods list their tables here.
PyMethodDef *device_methods() {
  static std::vector<PyMethodDef> table;
  return gather(table, {device_core_methods, reset::device_methods});
}

PyMethodDef *session_methods() {
  static std::vector<PyMethodDef> table;
  return gather(table, {session_core_methods, reset::session_methods, power::session_methods, smc::session_methods,
                        tlb::session_methods, telem::session_methods});
}

py::Class device_class{"builtins.Device",
                       "Device descriptor.\n"
                       "\n"
                       "A lightweight, copyable descriptor that holds no open resources. Use\n"
                       "`open()` to obtain a `Session` handle for performing operations on the\n"
                       "device.",
                       sizeof(DeviceObject),
                       py::CLASS_FLAGS,
                       {
                           py::slot(Py_tp_getset, device_getset),
                           py::slot(Py_tp_repr, device_repr),
                       },
                       device_methods};

py::Class session_class{"builtins.Session",
                        "Open session handle.\n"
                        "\n"
                        "An owned handle for performing operations on a device. It holds an\n"
                        "open file descriptor for the duration of the session, is obtained with\n"
                        "`Device.open()`, and is closed automatically when dropped. Usable as a\n"
                        "context manager that closes the session on block exit.",
                        sizeof(SessionObject),
                        py::CLASS_FLAGS,
                        {
                            py::slot(Py_tp_repr, session_repr),
                            py::slot(Py_tp_dealloc, session_dealloc),
                        },
                        session_methods};

py::Class info_class{"builtins.Info",
                     "Static device information.",
                     sizeof(InfoObject),
                     py::CLASS_FLAGS,
                     {
                         py::slot(Py_tp_getset, info_getset),
                         py::slot(Py_tp_repr, info_repr),
                     }};

} // namespace

PyMethodDef scan_def = NR_FUNCTION("scan", "scan", scan, "",
                                   "Discovers all connected Norvane devices.\n"
                                   "\n"
                                   "Returns one `Device` per device node, in the order the device directory\n"
                                   "lists them. A missing device directory means the kernel driver is not\n"
                                   "loaded, so it scans as zero devices rather than failing.\n"
                                   "\n"
                                   "Raises `NRError` carrying the `errno` of a failing directory scan (for\n"
                                   "example `EACCES` if the directory cannot be opened).");

PyTypeObject *device_type() { return device_class.get(); }
PyTypeObject *session_type() { return session_class.get(); }
PyTypeObject *info_type() { return info_class.get(); }

PyObject *new_device(uint32_t id) {
  py::Ref<DeviceObject> d = py::make<DeviceObject>(device_type());
  if (d) d->id = id;
  return d.release();
}

PyObject *new_session(const nr_session &rec, bool persistent) {
  py::Ref<SessionObject> s = py::make<SessionObject>(session_type());
  if (s) {
    s->rec = rec;
    s->persistent = persistent;
  }
  return s.release();
}

PyObject *new_info(const nr_info &info) {
  py::Ref<InfoObject> i = py::make<InfoObject>(info_type());
  if (i) i->info = info;
  return i.release();
}

int close_session(SessionObject *s) {
  if (s->rec.fd < 0) return 0;
  if (s->fd_released) {
    s->rec.fd = -1;
    s->fd_released = false;
    return 0;
  }
  if (nr_close(&s->rec) == 0) return 0;
  s->fd_released = true;
  return -1;
}

bool reopen_session(SessionObject *s) {
  // Even a failed reopen has closed the old descriptor and its windows.
  ++s->generation;
  if (s->fd_released) {
    s->rec.fd = -1;
    s->fd_released = false;
  }
  // The open may wait for another client, which may be another thread of
  // ours that needs the interpreter to let go.  Sole use keeps the record
  // ours meanwhile; once closed, a retried reopen just opens.
  nr_session rec = s->rec;
  bool ok = blocking([&rec] { return nr_reopen(&rec); });
  s->rec = rec;
  return ok;
}

} // namespace nrhal::dev
