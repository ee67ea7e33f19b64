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

InfoObject *as_info(PyObject *o) { return reinterpret_cast<InfoObject *>(o); }

// A class's method table put together from the tables of the files that
// contribute methods to it, each ended by NR_METHODS_END.  Built once, when
// the class is made, and kept for good: the class refers to it.
PyMethodDef *gather(std::vector<PyMethodDef> &into, std::initializer_list<const PyMethodDef *> tables) {
  for (const PyMethodDef *t : tables)
    for (; t->ml_name; ++t) into.push_back(*t);
  into.push_back(NR_METHODS_END);
  return into.data();
}

PyObject *alloc(PyTypeObject *type) {
  return type ? type->tp_alloc(type, 0) : nullptr;
}

// ---- scan ------------------------------------------------------------------

constexpr py::Signature scan_sig{"scan"};

PyObject *scan(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(scan_sig, args, nargs, kwnames)) return nullptr;
  std::vector<uint32_t> ids(32);
  ssize_t n;
  // The count can exceed the room given; grow and ask again.
  while ((n = nr_dev_scan(ids.size(), ids.data())) > static_cast<ssize_t>(ids.size()))
    ids.resize(2 * static_cast<size_t>(n));
  if (n < 0) return fail(errno);
  py::Ref list = py::Ref::steal(PyList_New(n));
  if (!list) return nullptr;
  for (ssize_t i = 0; i < n; ++i) {
    PyObject *d = new_device(ids[i]);
    if (!d) return nullptr;
    PyList_SET_ITEM(list.get(), i, d);
  }
  return list.release();
}

// ---- Device ----------------------------------------------------------------

constexpr py::Signature from_path_sig{"Device.from_path", py::required("path")};

PyObject *device_from_path(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(from_path_sig, args, nargs, kwnames)) return nullptr;
  py::Utf8 path{};
  if (!py::to_str(a[0], path)) return nullptr;
  if (path.has_nul()) return fail(EINVAL, "invalid path");
  uint32_t id = 0;
  if (nr_dev_from_path(path.data, &id) != 0) return fail(errno);
  return new_device(id);
}

constexpr py::Signature from_bdf_sig{"Device.from_bdf", py::required("addr")};

PyObject *device_from_bdf(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(from_bdf_sig, args, nargs, kwnames)) return nullptr;
  py::Utf8 addr{};
  if (!py::to_str(a[0], addr)) return nullptr;
  if (addr.has_nul()) return fail(EINVAL, "invalid address");
  // Each card is opened in turn, and the open waits while another client
  // holds one exclusively: that client may be another thread of ours.
  std::string copy(addr.data, static_cast<size_t>(addr.size));
  uint32_t id = 0;
  if (!blocking([&] { return nr_dev_from_bdf(copy.c_str(), &id); })) return nullptr;
  return new_device(id);
}

constexpr py::Signature open_sig{"Device.open", py::keyword("exclusive"), py::keyword("nonblocking"),
                                 py::keyword("persistent")};

PyObject *device_open(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<3> a;
  if (!a.parse(open_sig, args, nargs, kwnames)) return nullptr;
  bool exclusive = false, nonblocking = false, persistent = false;
  if (!py::to_bool(a[0], exclusive, py::numpy_too) || !py::to_bool(a[1], nonblocking, py::numpy_too) ||
      !py::to_bool(a[2], persistent, py::numpy_too))
    return nullptr;
  py::Shared use(as_device(self)->use);
  if (!use) return nullptr;

  uint32_t id = as_device(self)->id;
  uint16_t flags = (exclusive ? NR_OPEN_EXCLUSIVE : 0) | (nonblocking ? NR_OPEN_NONBLOCKING : 0);
  nr_session rec{};
  // A blocking open waits for as long as another client holds the card.
  if (!blocking([&] { return nr_open(&id, &rec, flags); })) return nullptr;

  PyObject *s = new_session(rec, persistent);
  if (!s) nr_close(&rec); // no Session owns it: do not leak the descriptor
  return s;
}

PyObject *device_id(PyObject *self, void *) { return PyLong_FromUnsignedLong(as_device(self)->id); }

PyObject *device_repr(PyObject *self) {
  return PyUnicode_FromFormat("Device(id=%lu)", static_cast<unsigned long>(as_device(self)->id));
}

PyMethodDef device_core_methods[] = {
    NR_STATIC("from_path", device_from_path, "path",
              "Creates a device descriptor from a `/dev/norvane/N` path.\n"
              "\n"
              "`path` must be a `str`; any path that resolves to a device node is\n"
              "accepted.\n"
              "\n"
              "Raises `NRError` with:\n"
              "\n"
              "- `EINVAL` if `path` contains a NUL character (\"invalid path\"), or\n"
              "  does not name a node of the device directory.\n"
              "- `ENODEV` if the path does not exist.\n"
              "\n"
              "Raises `TypeError` if `path` is not a `str`."),
    NR_STATIC("from_bdf", device_from_bdf, "addr",
              "Creates a device descriptor from a PCIe bus/device/function (BDF)\n"
              "address (e.g., `\"0000:03:00.0\"`).\n"
              "\n"
              "The short form without the domain (`\"03:00.0\"`) is accepted too. Each\n"
              "device is opened briefly to read its address, so this waits while\n"
              "another client holds one exclusively, with the interpreter lock\n"
              "released.\n"
              "\n"
              "Raises `NRError` with:\n"
              "\n"
              "- `EINVAL` if `addr` contains a NUL character (\"invalid address\"), or\n"
              "  is malformed.\n"
              "- `ENODEV` if no connected device has that address.\n"
              "\n"
              "Raises `TypeError` if `addr` is not a `str`."),
    NR_METHOD("open", device_open, "$self, *, exclusive=False, nonblocking=False, persistent=False",
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
              "\n"
              "Raises `NRError` with:\n"
              "\n"
              "- `ENODEV` if the device cannot be opened.\n"
              "- `EAGAIN` if `nonblocking` is set and another client holds the device\n"
              "  incompatibly."),
    NR_METHODS_END,
};

PyGetSetDef device_getset[] = {
    {"id", device_id, nullptr, "Returns the device identifier.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Session ---------------------------------------------------------------

constexpr py::Signature enter_sig{"Session.__enter__"};

PyObject *session_enter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(enter_sig, args, nargs, kwnames)) return nullptr;
  py::Shared use(as_session(self)->use);
  if (!use) return nullptr;
  return Py_NewRef(self);
}

constexpr py::Signature exit_sig{"Session.__exit__", py::required("_exc_type"), py::required("_exc_val"),
                                 py::required("_exc_tb")};

PyObject *session_exit(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<3> a;
  if (!a.parse(exit_sig, args, nargs, kwnames)) return nullptr;
  py::Sole use(as_session(self)->use);
  if (!use) return nullptr;
  close_session(as_session(self)); // a failed close is not reported here
  Py_RETURN_FALSE;
}

constexpr py::Signature close_sig{"Session.close"};

PyObject *session_close(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(close_sig, args, nargs, kwnames)) return nullptr;
  py::Sole use(as_session(self)->use);
  if (!use) return nullptr;
  if (!check(close_session(as_session(self)))) return nullptr;
  Py_RETURN_NONE;
}

constexpr py::Signature reopen_sig{"Session.reopen"};

PyObject *session_reopen(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(reopen_sig, args, nargs, kwnames)) return nullptr;
  py::Sole use(as_session(self)->use);
  if (!use) return nullptr;
  if (!reopen_session(as_session(self))) return nullptr;
  Py_RETURN_NONE;
}

constexpr py::Signature dev_sig{"Session.dev"};

PyObject *session_dev(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(dev_sig, args, nargs, kwnames)) return nullptr;
  py::Shared use(as_session(self)->use);
  if (!use) return nullptr;
  return new_device(as_session(self)->rec.id);
}

constexpr py::Signature info_sig{"Session.info"};

PyObject *session_info(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(info_sig, args, nargs, kwnames)) return nullptr;
  SessionObject *s = as_session(self);
  py::Sole use(s->use);
  if (!use) return nullptr;
  nr_info info;
  bool ok = perform(s, [&info](nr_session *rec) {
    info = nr_info{};
    info.output_size_bytes = 20; // the size of the driver's output part
    return nr_dev_info(rec, &info);
  });
  if (!ok) return nullptr;
  return new_info(info);
}

PyObject *session_repr(PyObject *self) {
  SessionObject *s = as_session(self);
  py::Shared use(s->use);
  if (!use) return nullptr;
  if (s->rec.fd < 0) return PyUnicode_FromString("Session(closed)");
  return PyUnicode_FromFormat("Session(id=%lu)", static_cast<unsigned long>(s->rec.id));
}

void session_dealloc(PyObject *self) {
  SessionObject *s = as_session(self);
  int saved = errno;
  close_session(s); // silently: nothing is raised or printed
  errno = saved;
  PyTypeObject *type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef session_core_methods[] = {
    NR_METHOD("__enter__", session_enter, "$self", ""),
    NR_METHOD("__exit__", session_exit, "$self, _exc_type, _exc_val, _exc_tb", ""),
    NR_METHOD("close", session_close, "$self",
              "Closes the session explicitly.\n"
              "\n"
              "Idempotent: closing an already-closed session is a no-op.\n"
              "\n"
              "Raises `NRError` carrying the `errno` of a failing `close(2)`."),
    NR_METHOD("reopen", session_reopen, "$self",
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
              "\n"
              "Raises `NRError` with:\n"
              "\n"
              "- `ENODEV` if the device cannot be reopened.\n"
              "- `EAGAIN` if the session was opened with `nonblocking` and another\n"
              "  client holds the device incompatibly."),
    NR_METHOD("dev", session_dev, "$self",
              "Returns the underlying device descriptor.\n"
              "\n"
              "Works on a closed session too."),
    NR_METHOD("info", session_info, "$self",
              "Returns static information about the device.\n"
              "\n"
              "Raises `NRError` with:\n"
              "\n"
              "- `ENOTCONN` if the session has been closed.\n"
              "- `ECONNRESET` if the session was severed by an out-of-band device\n"
              "  reset or removal (a persistent session reopens and retries instead).\n"
              "- `ENODEV` (persistent session) if the reopen found no device, or the\n"
              "  connection kept resetting.\n"
              "- `EAGAIN` (persistent session opened with `nonblocking`) if the reopen\n"
              "  found the device held incompatibly by another client.\n"
              "\n"
              "Other `errno` values propagate from the failing system call."),
    NR_METHODS_END,
};

// ---- Info ------------------------------------------------------------------

template <uint16_t nr_info::*Field> PyObject *info_get(PyObject *self, void *) {
  return PyLong_FromLong(as_info(self)->info.*Field);
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
  const nr_info &i = as_info(self)->info;
  char text[48];
  std::snprintf(text, sizeof text, "Info(vendor=0x%04x, device=0x%04x)", i.vendor_id, i.device_id);
  return PyUnicode_FromString(text);
}

// No class can be made from Python; immutable, so that a class shared by
// every initialisation of the module cannot be changed through one of them.
constexpr unsigned long CLASS_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

} // namespace

PyMethodDef scan_def = NR_METHOD("scan", scan, "",
                                 "Discovers all connected Norvane devices.\n"
                                 "\n"
                                 "Returns one `Device` per device node, in the order the device directory\n"
                                 "lists them. A missing device directory means the kernel driver is not\n"
                                 "loaded, so it scans as zero devices rather than failing.\n"
                                 "\n"
                                 "Raises `NRError` carrying the `errno` of a failing directory scan (for\n"
                                 "example `EACCES` if the directory cannot be opened).");

PyTypeObject *device_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static std::vector<PyMethodDef> methods;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("Device descriptor.\n"
                                       "\n"
                                       "A lightweight, copyable descriptor that holds no open resources. Use\n"
                                       "`open()` to obtain a `Session` handle for performing operations on the\n"
                                       "device.")},
        // Files that add Device methods list their tables here.
        {Py_tp_methods, gather(methods, {device_core_methods, reset::device_methods})},
        {Py_tp_getset, device_getset},
        {Py_tp_repr, reinterpret_cast<void *>(device_repr)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Device", sizeof(DeviceObject), 0, CLASS_FLAGS, slots};
    return reinterpret_cast<PyObject *>(py::make_type(&type_spec));
  }));
}

PyTypeObject *session_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static std::vector<PyMethodDef> methods;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("Open session handle.\n"
                                       "\n"
                                       "An owned handle for performing operations on a device. It holds an\n"
                                       "open file descriptor for the duration of the session, is obtained with\n"
                                       "`Device.open()`, and is closed automatically when dropped. Usable as a\n"
                                       "context manager that closes the session on block exit.")},
        // Files that add Session methods list their tables here.
        {Py_tp_methods, gather(methods, {session_core_methods, reset::session_methods, power::session_methods,
                                                smc::session_methods, tlb::session_methods, telem::session_methods})},
        {Py_tp_repr, reinterpret_cast<void *>(session_repr)},
        {Py_tp_dealloc, reinterpret_cast<void *>(session_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Session", sizeof(SessionObject), 0, CLASS_FLAGS, slots};
    return reinterpret_cast<PyObject *>(py::make_type(&type_spec));
  }));
}

PyTypeObject *info_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("Static device information.")},
        {Py_tp_getset, info_getset},
        {Py_tp_repr, reinterpret_cast<void *>(info_repr)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Info", sizeof(InfoObject), 0, CLASS_FLAGS, slots};
    return reinterpret_cast<PyObject *>(py::make_type(&type_spec));
  }));
}

PyObject *new_device(uint32_t id) {
  PyObject *o = alloc(device_type());
  if (o) as_device(o)->id = id;
  return o;
}

PyObject *new_session(const nr_session &rec, bool persistent) {
  PyObject *o = alloc(session_type());
  if (o) {
    as_session(o)->rec = rec;
    as_session(o)->persistent = persistent;
  }
  return o;
}

PyObject *new_info(const nr_info &info) {
  PyObject *o = alloc(info_type());
  if (o) as_info(o)->info = info;
  return o;
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
