// The binding's small toolkit: owned references, per-object borrow state,
// FASTCALL argument parsing, typed argument conversion, method declarations
// with text signatures, and process-wide type objects.  Every wrapper goes
// through these so that no method repeats reference counting or parsing.
//
// Error convention: a helper that fails sets the Python error indicator and
// returns Raised (or false); the caller passes the failure straight up.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <type_traits>

namespace nrhal::py {

// ---- failure values ------------------------------------------------------

// "An exception is set": converts to the failure value of whatever the
// calling slot returns (nullptr, false, -1).
struct Raised {
  template <class T> constexpr operator T *() const noexcept { return nullptr; }
  constexpr operator bool() const noexcept { return false; }
  constexpr operator int() const noexcept { return -1; }
};
inline constexpr Raised raised{};

// ---- owned reference -----------------------------------------------------

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (possibly null: the call that made it failed).
  static Ref steal(PyObject *o) noexcept { return Ref(o); }
  static Ref borrow(PyObject *o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref &&o) noexcept {
    PyObject *old = p_;
    p_ = o.p_;
    o.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject *get() const noexcept { return p_; }
  // Hands the reference to the caller (a slot's return value).
  PyObject *release() noexcept {
    PyObject *o = p_;
    p_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject *o) noexcept : p_(o) {}
  PyObject *p_ = nullptr;
};

// ---- borrow state --------------------------------------------------------

// How the calls running on one object use it: 0 free, n > 0 shared by n
// calls, -1 held by one call alone.  Lives inside the object's C struct,
// which the allocator zeroes, so it must stay a trivial type.  Conflicts
// only arise while some call has released the interpreter lock, and they
// fail at once instead of waiting.
//
// A fork copies the state into the child, which has none of the threads
// that held it: a state from before the last fork counts as free.
struct Borrow {
  int state;
  unsigned forks; // `forks` when the state was last set
};
static_assert(std::is_trivial_v<Borrow>);

// Forks this process has been made by so far: 0 in the original, one more
// in each child (counted by a pthread_atfork hook of the toolkit).
inline std::atomic<unsigned> forks{0};

// Tag for a guard that fails without setting an exception: for cleanup
// paths (deallocation, best-effort releases) that must not raise or disturb
// an exception already pending.
struct Quiet {};
inline constexpr Quiet quiet{};

// The guards' common part: the borrow, seen from this side of any fork,
// and the generation the guard took it in.  A guard whose use a fork has
// since wiped (this thread forked inside it) gives back nothing.
class Guard {
 protected:
  explicit Guard(Borrow &b) noexcept : b_(&b), forks_(forks.load(std::memory_order_relaxed)) {
    if (b.forks != forks_) {
      b.state = 0;
      b.forks = forks_;
    }
  }
  bool current() const noexcept { return b_ && b_->forks == forks_; }
  Borrow *b_;
  unsigned forks_;
};

// Shared use for the guard's scope.  Test it right after construction:
// false means RuntimeError "Already mutably borrowed" is set (or, for a
// quiet guard, only that the use was refused).
class [[nodiscard]] Shared : Guard {
 public:
  explicit Shared(Borrow &b) noexcept : Shared(b, quiet) {
    if (!b_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  Shared(Borrow &b, Quiet) noexcept : Guard(b) {
    if (b.state < 0)
      b_ = nullptr;
    else
      ++b.state;
  }
  ~Shared() {
    if (current()) --b_->state;
  }
  Shared(const Shared &) = delete;
  Shared &operator=(const Shared &) = delete;
  explicit operator bool() const noexcept { return b_ != nullptr; }
};

// Sole use for the guard's scope; false means RuntimeError "Already
// borrowed" is set.
class [[nodiscard]] Sole : Guard {
 public:
  explicit Sole(Borrow &b) noexcept : Guard(b) {
    if (b.state != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      b_ = nullptr;
    } else {
      b.state = -1;
    }
  }
  ~Sole() {
    if (current()) b_->state = 0;
  }
  Sole(const Sole &) = delete;
  Sole &operator=(const Sole &) = delete;
  explicit operator bool() const noexcept { return b_ != nullptr; }
};

// ---- argument parsing ----------------------------------------------------

struct Param {
  const char *name;
  bool required;
  bool keyword_only;
};
// Positional-or-keyword, no default.
constexpr Param required(const char *name) { return {name, true, false}; }
// Positional-or-keyword with a default.
constexpr Param optional(const char *name) { return {name, false, false}; }
// Keyword-only with a default.
constexpr Param keyword(const char *name) { return {name, false, true}; }
// Keyword-only, no default.
constexpr Param keyword_required(const char *name) { return {name, true, true}; }

// A function's parameters, in order; positional-or-keyword ones come first.
// `function` is the name that error messages give ("Device.open").
template <size_t N> struct Signature {
  template <class... P>
  constexpr Signature(const char *fn, P... p) : function(fn), params{p...} {
    for (size_t i = 0; i < N; ++i) {
      if (!params[i].keyword_only) positional = static_cast<Py_ssize_t>(i) + 1;
      if (params[i].required)
        min_positional = params[i].keyword_only ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(i) + 1;
    }
  }
  const char *function;
  std::array<Param, N> params;
  Py_ssize_t positional = 0; // how many may be given by position
  // How many positional arguments alone satisfy every required parameter
  // (PY_SSIZE_T_MAX when one is keyword-only).
  Py_ssize_t min_positional = 0;
};
template <class... P> Signature(const char *, P...) -> Signature<sizeof...(P)>;

// One parsed argument: a borrowed reference, null when not given.
struct Arg {
  const char *function;
  const char *name;
  PyObject *value;
  bool given() const noexcept { return value != nullptr; }
};

// The slow path: keywords, errors.  Fills out[0..n) with borrowed values.
bool parse_args(const char *function, const Param *params, size_t n, Py_ssize_t positional,
                PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

// The same for a tuple and an optional dict of keywords (tp_new's form).
bool parse_tuple_args(const char *function, const Param *params, size_t n, Py_ssize_t positional,
                      PyObject *args, PyObject *kwargs, PyObject **out);

template <size_t N> class Args {
 public:
  // Parses a METH_FASTCALL | METH_KEYWORDS call.  False: TypeError set.
  [[nodiscard]] bool parse(const Signature<N> &sig, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    sig_ = &sig;
    // Plain positional calls (the accessors' case) skip the general parser.
    if (!kwnames && nargs <= sig.positional && nargs >= sig.min_positional) {
      for (size_t i = 0; i < N; ++i) v_[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
      return true;
    }
    return parse_args(sig.function, sig.params.data(), N, sig.positional, args, nargs, kwnames, v_);
  }
  // Parses a call given as a tuple and a dict of keywords (or null), as a
  // constructor receives it.
  [[nodiscard]] bool parse(const Signature<N> &sig, PyObject *args, PyObject *kwargs) {
    sig_ = &sig;
    return parse_tuple_args(sig.function, sig.params.data(), N, sig.positional, args, kwargs, v_);
  }
  Arg operator[](size_t i) const noexcept { return {sig_->function, sig_->params[i].name, v_[i]}; }

 private:
  const Signature<N> *sig_ = nullptr;
  PyObject *v_[N ? N : 1];
};

// ---- argument conversion -------------------------------------------------
// Each converter leaves `out` alone when the argument was not given, so the
// caller's initial value is the default.  False: an exception is set.

// TypeError "<function>() argument '<name>' must be <expected>, not <type>".
Raised wrong_type(const Arg &a, const char *expected);

// A str's UTF-8 bytes; `data` is NUL-terminated and lives as long as the str.
struct Utf8 {
  const char *data;
  Py_ssize_t size;
  bool has_nul() const noexcept { return std::memchr(data, '\0', static_cast<size_t>(size)) != nullptr; }
};
bool to_str(const Arg &a, Utf8 &out);

// True or False; nothing else (no ints).
bool to_bool(const Arg &a, bool &out);

// Tag for the flags that take a NumPy boolean scalar as well (the open flags).
struct NumpyToo {};
inline constexpr NumpyToo numpy_too{};
// True or False, or a NumPy boolean scalar; nothing else.
bool to_bool(const Arg &a, bool &out, NumpyToo);

// OverflowError with the conversion messages for unsigned fields.
Raised too_large();
Raised too_small();

// An int (or an object with __index__) that fits T.  Negative values and
// values above T's maximum raise OverflowError.
template <class T> bool to_uint(const Arg &a, T &out) {
  static_assert(std::is_unsigned_v<T> && sizeof(T) <= sizeof(unsigned long long));
  if (!a.value) return true;
  Ref index;
  PyObject *o = a.value;
  if (!PyLong_Check(o)) {
    if (!PyIndex_Check(o)) return wrong_type(a, "int");
    index = Ref::steal(PyNumber_Index(o));
    if (!index) return raised;
    o = index.get();
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return raised;
  if (overflow < 0 || (overflow == 0 && v < 0)) return too_small();
  if (overflow > 0) {
    if constexpr (sizeof(T) < sizeof(unsigned long long)) {
      return too_large();
    } else {
      unsigned long long u = PyLong_AsUnsignedLongLong(o);
      if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return raised;
        PyErr_Clear();
        return too_large();
      }
      out = static_cast<T>(u);
      return true;
    }
  }
  if (static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) return too_large();
  out = static_cast<T>(v);
  return true;
}

// An instance of exactly `type` (no subclasses), as its C struct.
template <class O> bool to_exact(const Arg &a, PyTypeObject *type, O *&out) {
  if (!a.value) return true;
  if (Py_TYPE(a.value) != type) {
    const char *dot = std::strrchr(type->tp_name, '.');
    return wrong_type(a, dot ? dot + 1 : type->tp_name);
  }
  out = reinterpret_cast<O *>(a.value);
  return true;
}

// Rewrites the pending TypeError (or an exception of class `also`) as a
// TypeError about the argument: "<function>() argument '<name>': <original
// text>", the original as its cause.  Any other pending exception is left
// as it is.
Raised argument_error(const Arg &a, PyObject *also = nullptr);

// A float, or anything the interpreter turns into one (int, __float__,
// __index__).  A value it cannot convert, an int too large for a double
// included, raises TypeError about the argument.
bool to_double(const Arg &a, double &out);

// A timeout in seconds (None: not given) as whole milliseconds: value x
// 1000 rounded half away from zero, capped at UINT32_MAX.  NaN, infinities
// and negative values raise ValueError "<name> must be a non-negative
// number of seconds"; -0.0 is zero.
bool to_timeout_ms(const Arg &a, uint32_t &out);

// A sequence of ints each fitting 32 unsigned bits: list, tuple, range,
// array and the like, but not a str.  At most `cap` elements are stored in
// out[] and `count` is set to how many there are; a sequence longer than
// `cap` is reported as count `cap` + 1 and left there, so that the caller
// refuses it at once however long it is (by its length when it has one,
// before any element is converted).  A str raises TypeError "Can't extract
// `str` to `Vec`", a non-sequence or non-int element TypeError (both about
// the argument), an element out of range OverflowError (too_large/too_small).
bool to_u32_seq(const Arg &a, uint32_t *out, size_t cap, size_t &count);

// A bytes-like argument's contiguous bytes, held for the guard's lifetime
// and released on every path out of the caller.
class [[nodiscard]] Bytes {
 public:
  Bytes() noexcept = default;
  ~Bytes() {
    if (held_) PyBuffer_Release(&view_);
  }
  Bytes(const Bytes &) = delete;
  Bytes &operator=(const Bytes &) = delete;
  const uint8_t *data() const noexcept { return static_cast<const uint8_t *>(view_.buf); }
  size_t size() const noexcept { return static_cast<size_t>(view_.len); }

 private:
  friend bool to_bytes(const Arg &a, Bytes &out);
  Py_buffer view_{};
  bool held_ = false;
};
// bytes, bytearray, memoryview, array and any other object that exports a
// contiguous buffer; anything else raises TypeError about the argument.
bool to_bytes(const Arg &a, Bytes &out);

// ---- enumerations ----------------------------------------------------------

// A member of an enumeration class.  The members are the only instances:
// made once with the class and stored among its attributes, so every access
// to Size.Mb16 gives the same object.  They convert with int() but have no
// __index__, so a member is never taken for an int by accident (as a count,
// an offset or a sequence index).  == and != hold within one enumeration;
// any other comparison is NotImplemented, and members are unhashable.
struct EnumObject {
  PyObject_HEAD
  long value;
  const char *name; // static storage: the member table's
};

struct EnumMember {
  const char *name;
  long value;
};

// The class "builtins.<Name>" with the given members, or null with the
// error set.  `name`, the table and the names in it must live for good.
PyTypeObject *make_enum(const char *name, const char *doc, const EnumMember *members, size_t n);
template <size_t N>
PyTypeObject *make_enum(const char *name, const char *doc, const EnumMember (&members)[N]) {
  return make_enum(name, doc, members, N);
}

// The value of a member of exactly `type` (null: the type could not be
// made, and that error is pending).  Anything else raises TypeError naming
// the argument.
bool to_enum(const Arg &a, PyTypeObject *type, long &out);

// ---- method declarations -------------------------------------------------

using Fastcall = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
inline PyCFunction as_cfunction(Fastcall f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A docstring in the interpreter's text-signature layout, so that
// inspect.signature works: "name(sig)\n--\n\ntext".
#define NR_DOC(name, sig, text) name "(" sig ")\n--\n\n" text

// Every function and method takes METH_FASTCALL | METH_KEYWORDS and parses
// with Args, so all of them report bad calls the same way.
#define NR_METHOD(name, fn, sig, text)                                                                     \
  PyMethodDef { name, ::nrhal::py::as_cfunction(fn), METH_FASTCALL | METH_KEYWORDS, NR_DOC(name, sig, text) }
#define NR_STATIC(name, fn, sig, text)                                                                     \
  PyMethodDef {                                                                                            \
    name, ::nrhal::py::as_cfunction(fn), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, NR_DOC(name, sig, text) \
  }
#define NR_METHODS_END                                                                                     \
  PyMethodDef { nullptr, nullptr, 0, nullptr }

// ---- process-wide objects ------------------------------------------------

// A type (or other object) made once per process on first use and kept for
// good, so that a module initialised again reuses it.  A thread that finds
// another one making it waits with the interpreter lock released, in case
// the maker runs Python code that lets go of the lock.
class Once {
 public:
  template <class Make> PyObject *get(Make make) {
    if (PyObject *o = obj_.load(std::memory_order_acquire)) return o;
    if (!mu_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS
      mu_.lock();
      Py_END_ALLOW_THREADS
    }
    std::lock_guard<std::mutex> held(mu_, std::adopt_lock);
    if (PyObject *o = obj_.load(std::memory_order_relaxed)) return o;
    PyObject *o = make(); // new reference, kept for good; null: error set
    if (o) obj_.store(o, std::memory_order_release);
    return o;
  }

 private:
  std::atomic<PyObject *> obj_{nullptr};
  std::mutex mu_;
};

// A class from its type description, or null with the error set.  Names are
// "builtins.<Name>": no class names a module of its own.
PyTypeObject *make_type(PyType_Spec *type_spec, PyObject *base = nullptr);

// ---- registration --------------------------------------------------------

// Appends `name` to the module's __all__ (creating the list when missing),
// then sets the attribute.  `value` is borrowed; null means the code that
// made it failed, and the failure is passed on.
bool add(PyObject *module, const char *name, PyObject *value);

// A module-level function bound to `module`, registered under its name.
// `def` must live for good.
bool add_function(PyObject *module, PyMethodDef *def);

} // namespace nrhal::py
