// TLB windows.  A Tlb owns one window of the driver through its nr_tlb
// handle; a Window is only a typed view through that handle's current
// mapping, so every Window of a Tlb follows its latest bind.  Both are bound
// to the thread that made them: the mapping is never used from two threads.
// Their drop is not: once the last reference is gone nothing can use them,
// so they release everything on whichever thread lets go (the garbage
// collector's, for one).
//
// A window belongs to the descriptor that allocated it.  Once its session
// has been reopened the Tlb owns nothing on the new descriptor, whose window
// ids the driver may hand out again: such a stale Tlb never sends a request,
// it only lets go of its own mapping.
#include "tlb.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <iterator>

#include "../dev.h"
#include "../err.h"
#include "devmem.h"
#include "trap.h"

namespace nrhal::dev::tlb {

namespace {

constexpr const char *TLB_NAME = "nrhal::dev::tlb::Tlb";
constexpr const char *WINDOW_NAME = "nrhal::dev::tlb::Window";

// Window bytes by Size value.
constexpr uint64_t SIZE_BYTES[] = {uint64_t{1} << 20, uint64_t{1} << 21, uint64_t{1} << 24, uint64_t{1} << 32};

constexpr py::EnumMember SIZE_MEMBERS[] = {{"Mb1", 0}, {"Mb2", 1}, {"Mb16", 2}, {"Gb4", 3}};
static_assert(std::size(SIZE_MEMBERS) == std::size(SIZE_BYTES));

// The values are the native cache modes.
constexpr py::EnumMember CACHING_MEMBERS[] = {{"Uncached", NR_TLB_UNCACHED},
                                              {"WriteCombined", NR_TLB_WRITE_COMBINED}};

struct ConfigObject {
  PyObject_HEAD
  nr_tlb_config cfg;
};

// No cyclic GC for Tlb or Window: a Window refers only to its Tlb and a Tlb
// only to its Session, which refers to no Python object, so neither can be
// part of a reference cycle.
struct TlbObject {
  PyObject_HEAD
  nr_tlb handle;
  PyObject *session;   // strong; the Session that allocated the window
  uint64_t generation; // the session's generation at the allocation
  pthread_t thread;    // the allocating thread, the only one that may use it
  bool freed;          // a free has been attempted: never again
};

struct WindowObject {
  PyObject_HEAD
  TlbObject *tlb;   // strong
  pthread_t thread; // the binding thread
};

ConfigObject *as_config(PyObject *o) { return reinterpret_cast<ConfigObject *>(o); }
TlbObject *as_tlb(PyObject *o) { return reinterpret_cast<TlbObject *>(o); }
WindowObject *as_window(PyObject *o) { return reinterpret_cast<WindowObject *>(o); }

inline bool on_thread(pthread_t owner) noexcept { return pthread_equal(owner, pthread_self()) != 0; }

// Shared use of the Tlb's session for bind and free.  A conflict is a bug of
// the program (sole use elsewhere while this thread uses the window), so it
// panics rather than raising an ordinary error.
class SessionUse {
 public:
  explicit SessionUse(TlbObject *t) : s_(as_session(t->session)), use_(s_->use, py::quiet) {
    if (!use_) panic("Already mutably borrowed");
  }
  explicit operator bool() const noexcept { return static_cast<bool>(use_); }
  nr_session *rec() const noexcept { return &s_->rec; }

 private:
  SessionObject *s_;
  py::Shared use_;
};

PyObject *new_tlb(PyObject *session, const nr_tlb &handle) {
  PyTypeObject *type = tlb_type();
  PyObject *o = type ? type->tp_alloc(type, 0) : nullptr;
  if (o) {
    TlbObject *t = as_tlb(o);
    t->handle = handle;
    t->session = Py_NewRef(session);
    t->generation = as_session(session)->generation;
    t->thread = pthread_self();
  }
  return o;
}

PyObject *new_window(TlbObject *t) {
  PyTypeObject *type = window_type();
  PyObject *o = type ? type->tp_alloc(type, 0) : nullptr;
  if (o) {
    WindowObject *w = as_window(o);
    w->tlb = t;
    Py_INCREF(t);
    w->thread = pthread_self();
  }
  return o;
}

// The session has been reopened since the window was allocated.
bool stale(const TlbObject *t) { return t->generation != as_session(t->session)->generation; }

// Unmaps the handle's mapping, if any, as a failed bind or a free would.
// False: NRError set from munmap(2), the mapping kept.
bool unmap(TlbObject *t) {
  if (!t->handle.mapping) return true;
  if (munmap(t->handle.mapping, t->handle.size) != 0) return fail(errno);
  t->handle.mapping = nullptr;
  return true;
}

// The free behind free(), __exit__ and the drop.  Marks the Tlb freed
// before anything else, so the window is given back at most once whatever
// the outcome.  False: NRError or PanicException set.
bool release(TlbObject *t) {
  if (t->freed) return true;
  t->freed = true;
  // The old descriptor took the window with it; a free request now would
  // be refused, or free a window the new descriptor gave another Tlb.
  if (stale(t)) return unmap(t);
  // So did a closed one, but the mapping stays until it is unmapped: the
  // free reports the closed session once the mapping is gone.
  const SessionObject *s = as_session(t->session);
  if (s->rec.fd < 0 || s->fd_released) {
    if (!unmap(t)) return false;
    return fail(ENOTCONN);
  }
  SessionUse use(t);
  if (!use) return false;
  return check(nr_tlb_free(use.rec(), &t->handle));
}

// ---- error block of the docstrings ----------------------------------------

#define NR_TLB_ERRNOS NR_DOC_CLOSED NR_DOC_SEVERED NR_DOC_OTHER_ERRNOS
#define NR_TLB_ERRORS NR_DOC_RAISES NR_TLB_ERRNOS

// ---- Config ----------------------------------------------------------------

constexpr py::Signature config_sig{"Config",
                                   py::required("addr"),
                                   py::required("x_end"),
                                   py::required("y_end"),
                                   py::optional("x_start"),
                                   py::optional("y_start"),
                                   py::optional("noc"),
                                   py::optional("mcast"),
                                   py::optional("linked"),
                                   py::optional("static_vc")};

PyObject *config_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  py::Args<9> a;
  if (!a.parse(config_sig, args, kwargs)) return nullptr;
  nr_tlb_config cfg{};
  bool mcast = false, linked = false;
  // In the order of the signature: the first argument that fails raises.
  if (!py::to_uint(a[0], cfg.addr) || !py::to_uint(a[1], cfg.x_end) || !py::to_uint(a[2], cfg.y_end) ||
      !py::to_uint(a[3], cfg.x_start) || !py::to_uint(a[4], cfg.y_start) || !py::to_uint(a[5], cfg.noc) ||
      !py::to_bool(a[6], mcast) || !py::to_bool(a[7], linked) || !py::to_uint(a[8], cfg.static_vc))
    return nullptr;
  cfg.mcast = mcast;
  cfg.linked = linked;
  PyObject *o = type->tp_alloc(type, 0);
  if (o) as_config(o)->cfg = cfg;
  return o;
}

template <auto Field> PyObject *config_get(PyObject *self, void *) {
  return PyLong_FromUnsignedLongLong(as_config(self)->cfg.*Field);
}

template <auto Field> PyObject *config_flag(PyObject *self, void *) {
  return PyBool_FromLong(as_config(self)->cfg.*Field);
}

PyGetSetDef config_getset[] = {
    {"addr", config_get<&nr_tlb_config::addr>, nullptr, nullptr, nullptr},
    {"x_end", config_get<&nr_tlb_config::x_end>, nullptr, nullptr, nullptr},
    {"y_end", config_get<&nr_tlb_config::y_end>, nullptr, nullptr, nullptr},
    {"x_start", config_get<&nr_tlb_config::x_start>, nullptr, nullptr, nullptr},
    {"y_start", config_get<&nr_tlb_config::y_start>, nullptr, nullptr, nullptr},
    {"noc", config_get<&nr_tlb_config::noc>, nullptr, nullptr, nullptr},
    {"mcast", config_flag<&nr_tlb_config::mcast>, nullptr, nullptr, nullptr},
    {"linked", config_flag<&nr_tlb_config::linked>, nullptr, nullptr, nullptr},
    {"static_vc", config_get<&nr_tlb_config::static_vc>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *config_repr(PyObject *self) {
  const nr_tlb_config &c = as_config(self)->cfg;
  char text[96];
  std::snprintf(text, sizeof text, "Config(addr=0x%016llx, x_end=%u, y_end=%u, noc=%u)",
                static_cast<unsigned long long>(c.addr), c.x_end, c.y_end, c.noc);
  return PyUnicode_FromString(text);
}

// ---- Session.alloc ---------------------------------------------------------

constexpr py::Signature alloc_sig{"Session.alloc", py::required("size"), py::required("caching")};

PyObject *session_alloc(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<2> a;
  if (!a.parse(alloc_sig, args, nargs, kwnames)) return nullptr;
  SessionObject *s = as_session(self);
  py::Sole use(s->use);
  if (!use) return nullptr;
  long size = 0, caching = 0;
  if (!py::to_enum(a[0], size_type(), size) || !py::to_enum(a[1], caching_type(), caching)) return nullptr;

  uint64_t bytes = SIZE_BYTES[size];
  nr_tlb handle{};
  bool ok = perform(s, [&](nr_session *rec) { return nr_tlb_alloc(rec, bytes, static_cast<int>(caching), &handle); });
  if (!ok) return nullptr;
  PyObject *t = new_tlb(self, handle);
  if (!t) {
    // Nothing owns the window: give it back, keeping the creation error.
    int saved = errno;
    nr_tlb_free(&s->rec, &handle);
    errno = saved;
  }
  return t;
}

// ---- Tlb -------------------------------------------------------------------

constexpr py::Signature bind_sig{"Tlb.bind", py::required("cfg")};

PyObject *tlb_bind(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  TlbObject *t = as_tlb(self);
  if (!on_thread(t->thread)) return unsendable(TLB_NAME);
  py::Args<1> a;
  if (!a.parse(bind_sig, args, nargs, kwnames)) return nullptr;
  ConfigObject *c = nullptr;
  if (!py::to_exact(a[0], config_type(), c)) return nullptr;
  if (t->freed) {
    PyErr_SetString(PyExc_RuntimeError, "TLB has been freed");
    return nullptr;
  }
  if (stale(t)) {
    // What the driver answers for a window id it does not know; like any
    // failed bind this leaves the handle unmapped.
    if (!unmap(t)) PyErr_Clear();
    return fail(EINVAL);
  }
  SessionUse use(t);
  if (!use) return nullptr;
  // The Window's accessors rely on the trap's handler being on top of
  // SIGBUS; claiming here, once per bind, also takes it back from a handler
  // installed since (the interpreter's faulthandler, for one).
  nr_trap_claim();
  // Never retried: a reopened descriptor would not own this window.
  if (!check(nr_tlb_bind(use.rec(), &t->handle, &c->cfg))) return nullptr;
  return new_window(t);
}

constexpr py::Signature free_sig{"Tlb.free"};

PyObject *tlb_free(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  TlbObject *t = as_tlb(self);
  if (!on_thread(t->thread)) return unsendable(TLB_NAME);
  py::Args<0> a;
  if (!a.parse(free_sig, args, nargs, kwnames)) return nullptr;
  if (!release(t)) return nullptr;
  Py_RETURN_NONE;
}

constexpr py::Signature tlb_enter_sig{"Tlb.__enter__"};

PyObject *tlb_enter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (!on_thread(as_tlb(self)->thread)) return unsendable(TLB_NAME);
  py::Args<0> a;
  if (!a.parse(tlb_enter_sig, args, nargs, kwnames)) return nullptr;
  return Py_NewRef(self);
}

constexpr py::Signature tlb_exit_sig{"Tlb.__exit__", py::required("_exc_type"), py::required("_exc_val"),
                                     py::required("_exc_tb")};

PyObject *tlb_exit(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  TlbObject *t = as_tlb(self);
  if (!on_thread(t->thread)) return unsendable(TLB_NAME);
  py::Args<3> a;
  if (!a.parse(tlb_exit_sig, args, nargs, kwnames)) return nullptr;
  // The driver's answer is not reported; a borrow conflict, a bug of the
  // program, still is.
  if (!release(t)) {
    PyTypeObject *nr_error = nr_error_type();
    if (!nr_error || !PyErr_ExceptionMatches(reinterpret_cast<PyObject *>(nr_error))) return nullptr;
    PyErr_Clear();
  }
  Py_RETURN_FALSE; // an exception of the block propagates
}

PyObject *tlb_repr(PyObject *self) {
  TlbObject *t = as_tlb(self);
  if (!on_thread(t->thread)) return unsendable(TLB_NAME);
  if (t->freed) return PyUnicode_FromString("Tlb(freed)");
  return PyUnicode_FromFormat("Tlb(id=%lu)", static_cast<unsigned long>(t->handle.id));
}

// Wherever the last reference goes, the garbage collector's thread
// included: nothing else refers to the object, so the drop cannot race with
// a use of the mapping.
void tlb_dealloc(PyObject *self) {
  TlbObject *t = as_tlb(self);
  PyTypeObject *type = Py_TYPE(self);
  // Free as free() would, silently, but only while the interpreter runs: at
  // finalisation the session's own close releases the window anyway.
  // Whatever exception or errno the code that let go had pending survives.
  if (!t->freed && t->session && Py_IsInitialized()) {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    int saved = errno;
    if (!release(t)) {
      PyTypeObject *nr_error = nr_error_type();
      if (nr_error && PyErr_ExceptionMatches(reinterpret_cast<PyObject *>(nr_error)))
        PyErr_Clear();
      else
        PyErr_WriteUnraisable(reinterpret_cast<PyObject *>(type));
    }
    errno = saved;
    PyErr_Restore(et, ev, tb);
  }
  Py_CLEAR(t->session);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef tlb_methods[] = {
    NR_METHOD("bind", tlb_bind, "$self, cfg",
              "Maps the TLB to the given NOC address and coordinates, returning a\n"
              "`Window` for memory access.\n"
              "\n"
              "Safe to call again after the previous `Window` has been dropped.\n"
              "\n"
              "Raises `RuntimeError` if the TLB has already been freed. Otherwise\n"
              "raises `NRError` with:\n"
              "\n" NR_TLB_ERRNOS),
    NR_METHOD("free", tlb_free, "$self",
              "Frees the TLB window explicitly.\n"
              "\n"
              "Idempotent, so freeing an already-freed TLB is a no-op.\n"
              "\n" NR_TLB_ERRORS),
    NR_METHOD("__enter__", tlb_enter, "$self", ""),
    NR_METHOD("__exit__", tlb_exit, "$self, _exc_type, _exc_val, _exc_tb", ""),
    NR_METHODS_END,
};

// ---- Window ----------------------------------------------------------------

// The checks of an access after its arguments are converted: alignment,
// bounds (written so that no offset wraps into range), then a mapping to
// reach.  The address to access, or null with the error set.
template <size_t W> uint8_t *locate(const TlbObject *t, uint64_t offset) {
  if constexpr (W > 1) {
    if (offset % W != 0) [[unlikely]] {
      PyErr_SetString(PyExc_ValueError, W == 4 ? "offset must be 4-byte aligned" : "offset must be 8-byte aligned");
      return nullptr;
    }
  }
  uint64_t size = t->handle.size;
  if (offset > size || size - offset < W) [[unlikely]] {
    PyErr_SetString(PyExc_IndexError, "offset out of bounds");
    return nullptr;
  }
  uint8_t *base = t->handle.mapping;
  if (!base) [[unlikely]] {
    PyErr_SetString(PyExc_RuntimeError, "TLB window is not mapped");
    return nullptr;
  }
  return base + offset;
}

// The Window and its Tlb both belong to this thread.  The Tlb, or null
// with PanicException set.
inline TlbObject *owned(PyObject *self) {
  WindowObject *w = as_window(self);
  pthread_t me = pthread_self();
  if (!pthread_equal(w->thread, me)) [[unlikely]] {
    unsendable(WINDOW_NAME);
    return nullptr;
  }
  if (!pthread_equal(w->tlb->thread, me)) [[unlikely]] {
    unsendable(TLB_NAME);
    return nullptr;
  }
  return w->tlb;
}

template <class T> PyObject *as_int(T v) {
  if constexpr (sizeof(T) <= sizeof(unsigned long))
    return PyLong_FromUnsignedLong(v);
  else
    return PyLong_FromUnsignedLongLong(v);
}

template <class T> struct Read;
template <> struct Read<uint8_t> {
  static constexpr py::Signature sig{"Window.read_u8", py::required("offset")};
};
template <> struct Read<uint32_t> {
  static constexpr py::Signature sig{"Window.read_u32", py::required("offset")};
};
template <> struct Read<uint64_t> {
  static constexpr py::Signature sig{"Window.read_u64", py::required("offset")};
};

template <class T> struct Write;
template <> struct Write<uint8_t> {
  static constexpr py::Signature sig{"Window.write_u8", py::required("offset"), py::required("value")};
};
template <> struct Write<uint32_t> {
  static constexpr py::Signature sig{"Window.write_u32", py::required("offset"), py::required("value")};
};
template <> struct Write<uint64_t> {
  static constexpr py::Signature sig{"Window.write_u64", py::required("offset"), py::required("value")};
};

template <class T> PyObject *window_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  TlbObject *t = owned(self);
  if (!t) return nullptr;
  py::Args<1> a;
  if (!a.parse(Read<T>::sig, args, nargs, kwnames)) return nullptr;
  uint64_t offset = 0;
  if (!py::to_uint(a[0], offset)) return nullptr;
  uint8_t *p = locate<sizeof(T)>(t, offset);
  if (!p) return nullptr;
  T v;
  if (!devmem::load(p, v)) [[unlikely]] return fail(ECONNRESET);
  return as_int(v);
}

template <class T>
PyObject *window_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  TlbObject *t = owned(self);
  if (!t) return nullptr;
  py::Args<2> a;
  if (!a.parse(Write<T>::sig, args, nargs, kwnames)) return nullptr;
  uint64_t offset = 0;
  T value = 0;
  if (!py::to_uint(a[0], offset) || !py::to_uint(a[1], value)) return nullptr;
  uint8_t *p = locate<sizeof(T)>(t, offset);
  if (!p) return nullptr;
  if (!devmem::store(p, value)) [[unlikely]] return fail(ECONNRESET);
  Py_RETURN_NONE;
}

// The byte range [offset, offset + n) of the window, checked as the
// accessors check theirs (without alignment); null with the error set.
uint8_t *locate_range(const TlbObject *t, uint64_t offset, uint64_t n) {
  uint64_t size = t->handle.size;
  if (offset > size || size - offset < n) {
    PyErr_SetString(PyExc_IndexError, "offset out of bounds");
    return nullptr;
  }
  if (!t->handle.mapping) {
    PyErr_SetString(PyExc_RuntimeError, "TLB window is not mapped");
    return nullptr;
  }
  return t->handle.mapping + offset;
}

constexpr py::Signature read_sig{"Window.read", py::required("offset"), py::required("size")};

PyObject *window_read_bytes(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  TlbObject *t = owned(self);
  if (!t) return nullptr;
  py::Args<2> a;
  if (!a.parse(read_sig, args, nargs, kwnames)) return nullptr;
  uint64_t offset = 0, n = 0;
  if (!py::to_uint(a[0], offset) || !py::to_uint(a[1], n)) return nullptr;
  uint8_t *p = locate_range(t, offset, n);
  if (!p) return nullptr;
  // A window is at most 4 GiB, so n fits a bytes object's length.
  py::Ref out = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  auto *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out.get()));
  if (!devmem::read_bytes(dst, p, static_cast<size_t>(n))) return fail(ECONNRESET);
  return out.release();
}

constexpr py::Signature write_sig{"Window.write", py::required("offset"), py::required("data")};

PyObject *window_write_bytes(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  TlbObject *t = owned(self);
  if (!t) return nullptr;
  py::Args<2> a;
  if (!a.parse(write_sig, args, nargs, kwnames)) return nullptr;
  uint64_t offset = 0;
  if (!py::to_uint(a[0], offset)) return nullptr;
  py::Bytes data;
  if (!py::to_bytes(a[1], data)) return nullptr;
  uint8_t *p = locate_range(t, offset, data.size());
  if (!p) return nullptr;
  if (!devmem::write_bytes(p, data.data(), data.size())) return fail(ECONNRESET);
  Py_RETURN_NONE;
}

PyObject *window_size(PyObject *self, void *) {
  TlbObject *t = owned(self);
  if (!t) return nullptr;
  return PyLong_FromUnsignedLongLong(t->handle.size);
}

constexpr py::Signature window_enter_sig{"Window.__enter__"};

PyObject *window_enter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (!owned(self)) return nullptr;
  py::Args<0> a;
  if (!a.parse(window_enter_sig, args, nargs, kwnames)) return nullptr;
  return Py_NewRef(self);
}

constexpr py::Signature window_exit_sig{"Window.__exit__", py::required("_exc_type"), py::required("_exc_val"),
                                        py::required("_exc_tb")};

PyObject *window_exit(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (!owned(self)) return nullptr;
  py::Args<3> a;
  if (!a.parse(window_exit_sig, args, nargs, kwnames)) return nullptr;
  Py_RETURN_FALSE; // the mapping belongs to the Tlb: nothing to release
}

PyObject *window_repr(PyObject *self) {
  if (!owned(self)) return nullptr;
  return PyUnicode_FromString("Window");
}

// On any thread, as a Tlb's drop.
void window_dealloc(PyObject *self) {
  WindowObject *w = as_window(self);
  PyTypeObject *type = Py_TYPE(self);
  Py_CLEAR(w->tlb);
  type->tp_free(self);
  Py_DECREF(type);
}

#define NR_BOUNDS_ERROR "Raises `IndexError` if `offset` is out of bounds."
#define NR_ALIGNED_ERROR(n)                                                  \
  "Raises `ValueError` if `offset` is not " n "-byte aligned, or `IndexError`\n" \
  "if it is out of bounds."

PyMethodDef window_methods[] = {
    NR_METHOD("read_u8", window_read<uint8_t>, "$self, offset",
              "Reads a u8 at the given byte offset.\n\n" NR_BOUNDS_ERROR),
    NR_METHOD("read_u32", window_read<uint32_t>, "$self, offset",
              "Reads a u32 at the given byte offset (must be 4-byte aligned).\n\n" NR_ALIGNED_ERROR("4")),
    NR_METHOD("read_u64", window_read<uint64_t>, "$self, offset",
              "Reads a u64 at the given byte offset (must be 8-byte aligned).\n\n" NR_ALIGNED_ERROR("8")),
    NR_METHOD("write_u8", window_write<uint8_t>, "$self, offset, value",
              "Writes a u8 at the given byte offset.\n\n" NR_BOUNDS_ERROR),
    NR_METHOD("write_u32", window_write<uint32_t>, "$self, offset, value",
              "Writes a u32 at the given byte offset (must be 4-byte aligned).\n\n" NR_ALIGNED_ERROR("4")),
    NR_METHOD("write_u64", window_write<uint64_t>, "$self, offset, value",
              "Writes a u64 at the given byte offset (must be 8-byte aligned).\n\n" NR_ALIGNED_ERROR("8")),
    NR_METHOD("read", window_read_bytes, "$self, offset, size",
              "Reads `size` bytes at the given byte offset and returns them as\n"
              "`bytes`.\n"
              "\n"
              "For moving more than a word. No alignment is needed: the copy is\n"
              "made of naturally aligned accesses of at most 8 bytes, in ascending\n"
              "address order, with 1-, 2- and 4-byte accesses only at an unaligned\n"
              "start and at the end. A zero-length read is allowed at any offset up\n"
              "to the window size.\n"
              "\n"
              "Raises `IndexError` (\"offset out of bounds\") if the range leaves the\n"
              "window, and `RuntimeError` (\"TLB window is not mapped\") if the TLB\n"
              "holds no mapping: after `Tlb.free()`, or after a failed `Tlb.bind()`.\n"
              "Raises `NRError` with `ECONNRESET` if the card was reset or removed\n"
              "out of band; the copy stops at the first access that fails."),
    NR_METHOD("write", window_write_bytes, "$self, offset, data",
              "Writes the bytes of `data` at the given byte offset.\n"
              "\n"
              "`data` is any bytes-like object (`bytes`, `bytearray`, `memoryview`,\n"
              "`array`, ...) with contiguous contents. No alignment is needed: the\n"
              "copy is made of naturally aligned accesses of at most 8 bytes, in\n"
              "ascending address order, with 1-, 2- and 4-byte accesses only at an\n"
              "unaligned start and at the end. An empty `data` is allowed at any\n"
              "offset up to the window size.\n"
              "\n"
              "Raises `IndexError` (\"offset out of bounds\") if the range leaves the\n"
              "window, and `RuntimeError` (\"TLB window is not mapped\") if the TLB\n"
              "holds no mapping: after `Tlb.free()`, or after a failed `Tlb.bind()`.\n"
              "Raises `NRError` with `ECONNRESET` if the card was reset or removed\n"
              "out of band; the copy stops at the first access that fails."),
    NR_METHOD("__enter__", window_enter, "$self", ""),
    NR_METHOD("__exit__", window_exit, "$self, _exc_type, _exc_val, _exc_tb", ""),
    NR_METHODS_END,
};

PyGetSetDef window_getset[] = {
    {"size", window_size, nullptr, "Returns the window size in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr unsigned long HANDLE_FLAGS =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

} // namespace

PyMethodDef session_methods[] = {
    NR_METHOD("alloc", session_alloc, "$self, size, caching",
              "Allocates a TLB window of the given size and cache mode.\n"
              "\n"
              "The window is not mapped until `Tlb.bind()` is called.\n"
              "\n" NR_TLB_ERRORS),
    NR_METHODS_END,
};

PyTypeObject *size_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    return reinterpret_cast<PyObject *>(
        py::make_enum("builtins.Size",
                      "TLB window size.\n"
                      "\n"
                      "Not all sizes are available on all architectures. The kernel rejects\n"
                      "unsupported sizes at allocation time.",
                      SIZE_MEMBERS));
  }));
}

PyTypeObject *caching_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    return reinterpret_cast<PyObject *>(py::make_enum("builtins.Caching", "TLB cache mode.", CACHING_MEMBERS));
  }));
}

PyTypeObject *config_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>(NR_DOC("Config",
                                              "addr, x_end, y_end, x_start=0, y_start=0, noc=0, mcast=False, "
                                              "linked=False, static_vc=0",
                                              "TLB window configuration."))},
        {Py_tp_new, reinterpret_cast<void *>(config_new)},
        {Py_tp_getset, config_getset},
        {Py_tp_repr, reinterpret_cast<void *>(config_repr)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Config", sizeof(ConfigObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return reinterpret_cast<PyObject *>(py::make_type(&type_spec));
  }));
}

PyTypeObject *tlb_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("An allocated TLB window bound to a `Session`.\n"
                                       "\n"
                                       "The TLB is freed automatically when dropped. The window is not mapped until\n"
                                       "`Tlb.bind()` is called. Usable as a context manager, freeing the TLB on\n"
                                       "block exit.")},
        {Py_tp_methods, tlb_methods},
        {Py_tp_repr, reinterpret_cast<void *>(tlb_repr)},
        {Py_tp_dealloc, reinterpret_cast<void *>(tlb_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Tlb", sizeof(TlbObject), 0, HANDLE_FLAGS, slots};
    return reinterpret_cast<PyObject *>(py::make_type(&type_spec));
  }));
}

PyTypeObject *window_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("A mapped TLB window bound to a `Tlb`.\n"
                                       "\n"
                                       "Provides volatile read/write access to device memory. Usable as a context\n"
                                       "manager, though the mapping is released when the owning `Tlb` is freed,\n"
                                       "not on block exit.")},
        {Py_tp_methods, window_methods},
        {Py_tp_getset, window_getset},
        {Py_tp_repr, reinterpret_cast<void *>(window_repr)},
        {Py_tp_dealloc, reinterpret_cast<void *>(window_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Window", sizeof(WindowObject), 0, HANDLE_FLAGS, slots};
    return reinterpret_cast<PyObject *>(py::make_type(&type_spec));
  }));
}

bool fill(PyObject *module) {
  return py::add(module, "Size", reinterpret_cast<PyObject *>(size_type())) &&
         py::add(module, "Caching", reinterpret_cast<PyObject *>(caching_type())) &&
         py::add(module, "Config", reinterpret_cast<PyObject *>(config_type())) &&
         py::add(module, "Tlb", reinterpret_cast<PyObject *>(tlb_type())) &&
         py::add(module, "Window", reinterpret_cast<PyObject *>(window_type()));
}

} // namespace nrhal::dev::tlb
