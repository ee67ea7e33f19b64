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
constexpr py::EnumMember CACHING_MEMBERS[] = {{"Uncached", NR_TLB_UNCACHED}, {"WriteCombined", NR_TLB_WRITE_COMBINED}};

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
  SessionObject *session; // strong; the Session that allocated the window
  uint64_t generation;    // the session's generation at the allocation
  pthread_t thread;       // the allocating thread, the only one that may use it
  bool freed;             // a free has been attempted: never again
};

struct WindowObject {
  PyObject_HEAD
  TlbObject *tlb;   // strong
  pthread_t thread; // the binding thread
};

inline bool on_thread(pthread_t owner) noexcept { return pthread_equal(owner, pthread_self()) != 0; }

// A Tlb method's object, reached only from the thread that allocated it.
struct OwnTlb {
  TlbObject *obj;
  TlbObject *operator->() const noexcept { return obj; }
  explicit operator bool() const noexcept { return obj != nullptr; }
  static OwnTlb enter(PyObject *self) {
    TlbObject *t = py::cast<TlbObject>(self);
    if (!on_thread(t->thread)) [[unlikely]] {
      unsendable(TLB_NAME);
      return {nullptr};
    }
    return {t};
  }
};

// A Window method's object: the Window's Tlb, reached only when the Window
// and its Tlb both belong to this thread.
struct OwnWindow {
  TlbObject *obj;
  WindowObject *window;
  TlbObject *operator->() const noexcept { return obj; }
  explicit operator bool() const noexcept { return obj != nullptr; }
  static OwnWindow enter(PyObject *self) {
    WindowObject *w = py::cast<WindowObject>(self);
    pthread_t me = pthread_self();
    if (!pthread_equal(w->thread, me)) [[unlikely]] {
      unsendable(WINDOW_NAME);
      return {nullptr, w};
    }
    if (!pthread_equal(w->tlb->thread, me)) [[unlikely]] {
      unsendable(TLB_NAME);
      return {nullptr, w};
    }
    return {w->tlb, w};
  }
};

// Shared use of the Tlb's session for bind and free.  A conflict is a bug of
// the program (sole use elsewhere while this thread uses the window), so it
// panics rather than raising an ordinary error.
class SessionUse {
 public:
  explicit SessionUse(TlbObject *t) : s_(t->session), use_(s_->use, py::quiet) {
    if (!use_) panic("Already mutably borrowed");
  }
  explicit operator bool() const noexcept { return static_cast<bool>(use_); }
  nr_session *rec() const noexcept { return &s_->rec; }

 private:
  SessionObject *s_;
  py::Shared use_;
};

PyObject *new_tlb(SessionObject *session, const nr_tlb &handle) {
  py::Ref<TlbObject> t = py::make<TlbObject>(tlb_type());
  if (t) {
    t->handle = handle;
    t->session = session;
    Py_INCREF(session);
    t->generation = session->generation;
    t->thread = pthread_self();
  }
  return t.release();
}

PyObject *new_window(TlbObject *t) {
  py::Ref<WindowObject> w = py::make<WindowObject>(window_type());
  if (w) {
    w->tlb = t;
    Py_INCREF(t);
    w->thread = pthread_self();
  }
  return w.release();
}

// The session has been reopened since the window was allocated.
bool stale(const TlbObject *t) { return t->generation != t->session->generation; }

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
  const SessionObject *s = t->session;
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

PyObject *config_new(PyTypeObject *type, uint64_t addr, uint8_t x_end, uint8_t y_end, uint8_t x_start, uint8_t y_start,
                     uint8_t noc, bool mcast, bool linked, uint8_t static_vc) {
  py::Ref<ConfigObject> c = py::make<ConfigObject>(type);
  if (c) c->cfg = {addr, x_end, y_end, x_start, y_start, noc, mcast, linked, static_vc};
  return c.release();
}

template <auto Field> PyObject *config_get(PyObject *self, void *) {
  return PyLong_FromUnsignedLongLong(py::cast<ConfigObject>(self)->cfg.*Field);
}

template <auto Field> PyObject *config_flag(PyObject *self, void *) {
  return PyBool_FromLong(py::cast<ConfigObject>(self)->cfg.*Field);
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
  const nr_tlb_config &c = py::cast<ConfigObject>(self)->cfg;
  char text[96];
  std::snprintf(text, sizeof text, "Config(addr=0x%016llx, x_end=%u, y_end=%u, noc=%u)",
                static_cast<unsigned long long>(c.addr), c.x_end, c.y_end, c.noc);
  return PyUnicode_FromString(text);
}

// ---- Session.alloc ---------------------------------------------------------

PyObject *session_alloc(py::SoleUse<SessionObject> s, py::Member<size_type> size, py::Member<caching_type> caching) {
  uint64_t bytes = SIZE_BYTES[size.value];
  nr_tlb handle{};
  bool ok = perform(
      s.obj, [&](nr_session *rec) { return nr_tlb_alloc(rec, bytes, static_cast<int>(caching.value), &handle); });
  if (!ok) return nullptr;
  PyObject *t = new_tlb(s.obj, handle);
  if (!t) {
    // Nothing owns the window: give it back, keeping the creation error.
    int saved = errno;
    nr_tlb_free(&s->rec, &handle);
    errno = saved;
  }
  return t;
}

// ---- Tlb -------------------------------------------------------------------

using ConfigArg = py::Exact<ConfigObject, config_type>;

PyObject *tlb_bind(OwnTlb t, ConfigArg cfg) {
  if (t->freed) {
    PyErr_SetString(PyExc_RuntimeError, "TLB has been freed");
    return nullptr;
  }
  if (stale(t.obj)) {
    // What the driver answers for a window id it does not know; like any
    // failed bind this leaves the handle unmapped.
    if (!unmap(t.obj)) PyErr_Clear();
    return fail(EINVAL);
  }
  SessionUse use(t.obj);
  if (!use) return nullptr;
  // The Window's accessors rely on the trap's handler being on top of
  // SIGBUS; claiming here, once per bind, also takes it back from a handler
  // installed since (the interpreter's faulthandler, for one).
  nr_trap_claim();
  // Never retried: a reopened descriptor would not own this window.
  if (!check(nr_tlb_bind(use.rec(), &t->handle, &cfg->cfg))) return nullptr;
  return new_window(t.obj);
}

PyObject *tlb_free(OwnTlb t) {
  if (!release(t.obj)) return nullptr;
  Py_RETURN_NONE;
}

PyObject *tlb_enter(OwnTlb t) { return Py_NewRef(t.obj); }

// The driver's answer is not reported; a borrow conflict, a bug of the
// program, still is.
PyObject *tlb_exit(OwnTlb t, PyObject *, PyObject *, PyObject *) {
  if (!release(t.obj)) {
    PyTypeObject *nr_error = nr_error_type();
    if (!nr_error || !PyErr_ExceptionMatches(py::object(nr_error))) return nullptr;
    PyErr_Clear();
  }
  Py_RETURN_FALSE; // an exception of the block propagates
}

PyObject *tlb_repr(PyObject *self) {
  OwnTlb t = OwnTlb::enter(self);
  if (!t) return nullptr;
  if (t->freed) return PyUnicode_FromString("Tlb(freed)");
  return PyUnicode_FromFormat("Tlb(id=%lu)", static_cast<unsigned long>(t->handle.id));
}

// Wherever the last reference goes, the garbage collector's thread
// included: nothing else refers to the object, so the drop cannot race with
// a use of the mapping.
void tlb_dealloc(PyObject *self) {
  TlbObject *t = py::cast<TlbObject>(self);
  // Free as free() would, silently, but only while the interpreter runs: at
  // finalisation the session's own close releases the window anyway.
  // Whatever exception or errno the code that let go had pending survives.
  if (!t->freed && t->session && Py_IsInitialized()) {
    py::Preserved kept;
    if (!release(t)) {
      PyTypeObject *nr_error = nr_error_type();
      if (nr_error && PyErr_ExceptionMatches(py::object(nr_error)))
        PyErr_Clear();
      else
        PyErr_WriteUnraisable(py::object(Py_TYPE(self)));
    }
  }
  Py_CLEAR(t->session);
  py::free_object(self);
}

PyMethodDef tlb_methods[] = {
    NR_METHOD("Tlb", "bind", tlb_bind, "$self, cfg",
              "Maps the TLB to the given NOC address and coordinates, returning a\n"
              "`Window` for memory access.\n"
              "\n"
              "Safe to call again after the previous `Window` has been dropped.\n"
              "\n"
              "Raises `RuntimeError` if the TLB has already been freed. Otherwise\n"
              "raises `NRError` with:\n"
              "\n" NR_TLB_ERRNOS),
    NR_METHOD("Tlb", "free", tlb_free, "$self",
              "Frees the TLB window explicitly.\n"
              "\n"
              "Idempotent, so freeing an already-freed TLB is a no-op.\n"
              "\n" NR_TLB_ERRORS),
    NR_METHOD("Tlb", "__enter__", tlb_enter, "$self", ""),
    NR_METHOD("Tlb", "__exit__", tlb_exit, NR_EXIT_SIG, ""),
    NR_METHODS_END,
};

// ---- Window ----------------------------------------------------------------

// The checks of an access after its arguments are converted: alignment,
// bounds (written so that no offset wraps into range), then a mapping to
// reach.  The address to access, or null with the error set.
template <size_t W> [[gnu::always_inline]] inline uint8_t *locate(const TlbObject *t, uint64_t offset) {
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

template <class T> PyObject *as_int(T v) {
  if constexpr (sizeof(T) <= sizeof(unsigned long))
    return PyLong_FromUnsignedLong(v);
  else
    return PyLong_FromUnsignedLongLong(v);
}

template <class T> PyObject *window_read(OwnWindow t, uint64_t offset) {
  uint8_t *p = locate<sizeof(T)>(t.obj, offset);
  if (!p) return nullptr;
  T v;
  if (!devmem::load(p, v)) [[unlikely]]
    return fail(ECONNRESET);
  return as_int(v);
}

template <class T> PyObject *window_write(OwnWindow t, uint64_t offset, T value) {
  uint8_t *p = locate<sizeof(T)>(t.obj, offset);
  if (!p) return nullptr;
  if (!devmem::store(p, value)) [[unlikely]]
    return fail(ECONNRESET);
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

PyObject *window_read_bytes(OwnWindow t, uint64_t offset, uint64_t size) {
  uint8_t *p = locate_range(t.obj, offset, size);
  if (!p) return nullptr;
  // A window is at most 4 GiB, so the size fits a bytes object's length.
  py::Ref<> out = py::Ref<>::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return nullptr;
  auto *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out.obj()));
  if (!devmem::read_bytes(dst, p, static_cast<size_t>(size))) return fail(ECONNRESET);
  return out.release();
}

PyObject *window_write_bytes(OwnWindow t, uint64_t offset, const py::Bytes &data) {
  uint8_t *p = locate_range(t.obj, offset, data.size());
  if (!p) return nullptr;
  if (!devmem::write_bytes(p, data.data(), data.size())) return fail(ECONNRESET);
  Py_RETURN_NONE;
}

PyObject *window_size(PyObject *self, void *) {
  OwnWindow t = OwnWindow::enter(self);
  if (!t) return nullptr;
  return PyLong_FromUnsignedLongLong(t->handle.size);
}

PyObject *window_enter(OwnWindow t) { return Py_NewRef(t.window); }

PyObject *window_exit(OwnWindow, PyObject *, PyObject *, PyObject *) {
  Py_RETURN_FALSE; // the mapping belongs to the Tlb: nothing to release
}

PyObject *window_repr(PyObject *self) {
  if (!OwnWindow::enter(self)) return nullptr;
  return PyUnicode_FromString("Window");
}

// On any thread, as a Tlb's drop.
void window_dealloc(PyObject *self) {
  Py_CLEAR(py::cast<WindowObject>(self)->tlb);
  py::free_object(self);
}

#define NR_BOUNDS_ERROR "Raises `IndexError` if `offset` is out of bounds."
#define NR_ALIGNED_ERROR(n)                   \
  "Raises `ValueError` if `offset` is not " n \
  "-byte aligned, or `IndexError`\n"          \
  "if it is out of bounds."

PyMethodDef window_methods[] = {
    NR_METHOD("Window", "read_u8", window_read<uint8_t>, "$self, offset",
              "Reads a u8 at the given byte offset.\n\n" NR_BOUNDS_ERROR),
    NR_METHOD("Window", "read_u32", window_read<uint32_t>, "$self, offset",
              "Reads a u32 at the given byte offset (must be 4-byte aligned).\n\n" NR_ALIGNED_ERROR("4")),
    NR_METHOD("Window", "read_u64", window_read<uint64_t>, "$self, offset",
              "Reads a u64 at the given byte offset (must be 8-byte aligned).\n\n" NR_ALIGNED_ERROR("8")),
    NR_METHOD("Window", "write_u8", window_write<uint8_t>, "$self, offset, value",
              "Writes a u8 at the given byte offset.\n\n" NR_BOUNDS_ERROR),
    NR_METHOD("Window", "write_u32", window_write<uint32_t>, "$self, offset, value",
              "Writes a u32 at the given byte offset (must be 4-byte aligned).\n\n" NR_ALIGNED_ERROR("4")),
    NR_METHOD("Window", "write_u64", window_write<uint64_t>, "$self, offset, value",
              "Writes a u64 at the given byte offset (must be 8-byte aligned).\n\n" NR_ALIGNED_ERROR("8")),
    NR_METHOD("Window", "read", window_read_bytes, "$self, offset, size",
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
    NR_METHOD("Window", "write", window_write_bytes, "$self, offset, data",
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
    NR_METHOD("Window", "__enter__", window_enter, "$self", ""),
    NR_METHOD("Window", "__exit__", window_exit, NR_EXIT_SIG, ""),
    NR_METHODS_END,
};

PyGetSetDef window_getset[] = {
    {"size", window_size, nullptr, "Returns the window size in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define NR_CONFIG_SIG "addr, x_end, y_end, x_start=0, y_start=0, noc=0, mcast=False, linked=False, static_vc=0"

py::Class config_class{"builtins.Config",
                       nullptr,
                       sizeof(ConfigObject),
                       py::NEW_CLASS_FLAGS,
                       {
                           NR_CONSTRUCTOR("Config", config_new, NR_CONFIG_SIG, "TLB window configuration."),
                           py::slot(Py_tp_getset, config_getset),
                           py::slot(Py_tp_repr, config_repr),
                       }};

py::Class tlb_class{"builtins.Tlb",
                    "An allocated TLB window bound to a `Session`.\n"
                    "\n"
                    "The TLB is freed automatically when dropped. The window is not mapped until\n"
                    "`Tlb.bind()` is called. Usable as a context manager, freeing the TLB on\n"
                    "block exit.",
                    sizeof(TlbObject),
                    py::CLASS_FLAGS,
                    {
                        py::slot(Py_tp_methods, tlb_methods),
                        py::slot(Py_tp_repr, tlb_repr),
                        py::slot(Py_tp_dealloc, tlb_dealloc),
                    }};

py::Class window_class{"builtins.Window",
                       "A mapped TLB window bound to a `Tlb`.\n"
                       "\n"
                       "Provides volatile read/write access to device memory. Usable as a context\n"
                       "manager, though the mapping is released when the owning `Tlb` is freed,\n"
                       "not on block exit.",
                       sizeof(WindowObject),
                       py::CLASS_FLAGS,
                       {
                           py::slot(Py_tp_methods, window_methods),
                           py::slot(Py_tp_getset, window_getset),
                           py::slot(Py_tp_repr, window_repr),
                           py::slot(Py_tp_dealloc, window_dealloc),
                       }};

py::Class size_class{"builtins.Size",
                     "TLB window size.\n"
                     "\n"
                     "Not all sizes are available on all architectures. The kernel rejects\n"
                     "unsupported sizes at allocation time.",
                     py::CLASS_FLAGS,
                     {},
                     py::enumeration(SIZE_MEMBERS)};
py::Class caching_class{"builtins.Caching", "TLB cache mode.", py::CLASS_FLAGS, {}, py::enumeration(CACHING_MEMBERS)};

} // namespace

PyMethodDef session_methods[] = {
    NR_METHOD("Session", "alloc", session_alloc, "$self, size, caching",
              "Allocates a TLB window of the given size and cache mode.\n"
              "\n"
              "The window is not mapped until `Tlb.bind()` is called.\n"
              "\n" NR_TLB_ERRORS),
    NR_METHODS_END,
};

PyTypeObject *size_type() { return size_class.get(); }
PyTypeObject *caching_type() { return caching_class.get(); }
PyTypeObject *config_type() { return config_class.get(); }
PyTypeObject *tlb_type() { return tlb_class.get(); }
PyTypeObject *window_type() { return window_class.get(); }

bool fill(PyObject *module) {
  return py::add(module, "Size", size_type()) && py::add(module, "Caching", caching_type()) &&
         py::add(module, "Config", config_type()) && py::add(module, "Tlb", tlb_type()) &&
         py::add(module, "Window", window_type());
}

} // namespace nrhal::dev::tlb
