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
#include <cerrno>
#include <climits>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

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

// ---- objects and owned references ---------------------------------------

// A C struct that begins with PyObject_HEAD seen as its object and back:
// the one place where the two views of an object meet.
template <class T> T *cast(PyObject *o) noexcept { return reinterpret_cast<T *>(o); }
template <class T> PyObject *object(T *o) noexcept { return reinterpret_cast<PyObject *>(o); }

// An owned reference to an object seen as T (PyObject, a type, or the C
// struct of one of the module's classes).
template <class T = PyObject> class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (possibly null: the call that made it failed).
  static Ref steal(PyObject *o) noexcept { return Ref(o); }
  static Ref steal(T *o) noexcept requires(!std::is_same_v<T, PyObject>) { return Ref(object(o)); }
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

  T *get() const noexcept { return cast<T>(p_); }
  T *operator->() const noexcept { return get(); }
  PyObject *obj() const noexcept { return p_; }
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

// A new, zeroed instance of `type` (null: the type could not be made, and
// that error is pending), seen as T.
template <class T> Ref<T> make(PyTypeObject *type) { return Ref<T>::steal(type ? type->tp_alloc(type, 0) : nullptr); }

// Frees an instance of one of the module's classes (heap types, which
// their instances hold a reference to): the end of every tp_dealloc.
inline void free_object(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// For the scope of a cleanup that the code letting go of an object did not
// ask for (a drop's release): the exception and errno that code had pending
// are kept aside and put back.
class [[nodiscard]] Preserved {
 public:
  Preserved() noexcept : errno_(errno) { PyErr_Fetch(&type_, &value_, &tb_); }
  ~Preserved() {
    errno = errno_;
    PyErr_Restore(type_, value_, tb_);
  }
  Preserved(const Preserved &) = delete;
  Preserved &operator=(const Preserved &) = delete;

 private:
  int errno_;
  PyObject *type_, *value_, *tb_;
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

// A function's parameters as the parser sees them; positional-or-keyword
// ones come first.  `function` is the name that error messages give
// ("Device.open").  `interned` holds each name as an interned str, made on
// the first call that passes keywords: the names a call passes are
// normally interned too, so they match by pointer.
struct Params {
  const char *function;
  const Param *params;
  size_t count;
  Py_ssize_t positional;     // how many may be given by position
  Py_ssize_t min_positional; // how many positional arguments alone satisfy
                             // every required one (PY_SSIZE_T_MAX: one is
                             // keyword-only)
  PyObject **interned;
};

// One parsed argument: a borrowed reference, null when not given.
struct Arg {
  const char *function;
  const char *name;
  PyObject *value;
  bool given() const noexcept { return value != nullptr; }
};

// The general parser: keywords, errors.  Fills out[0..count) with borrowed
// values.  False: TypeError set.
bool parse_args(const Params &p, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

// The same for a tuple and an optional dict of keywords (tp_new's form).
bool parse_tuple_args(const Params &p, PyObject *args, PyObject *kwargs, PyObject **out);

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

// The value of an int of at most two digits (below 2**60 in magnitude), read
// from the object as the interpreter's own fast paths read it; false for
// anything else, which takes the general conversion.  The accessors'
// offsets and values come this way.
[[gnu::always_inline]] inline bool small_int(PyObject *o, long long &v) noexcept {
  if (!PyLong_CheckExact(o)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  PyLongObject *l = cast<PyLongObject>(o);
  if (!PyUnstable_Long_IsCompact(l)) return false;
  v = PyUnstable_Long_CompactValue(l);
  return true;
#else
  const digit *d = cast<PyLongObject>(o)->ob_digit;
  switch (Py_SIZE(o)) {
    case 0:
      v = 0;
      return true;
    case 1:
      v = d[0];
      return true;
    case -1:
      v = -static_cast<long long>(d[0]);
      return true;
    case 2:
      v = static_cast<long long>(d[0]) | static_cast<long long>(d[1]) << PyLong_SHIFT;
      return true;
    case -2:
      v = -(static_cast<long long>(d[0]) | static_cast<long long>(d[1]) << PyLong_SHIFT);
      return true;
    default:
      return false;
  }
#endif
}

// An int (or an object with __index__) that fits T.  Negative values and
// values above T's maximum raise OverflowError.  The general conversion,
// out of line; to_uint below tries small ints first.
template <class T> [[gnu::noinline]] bool to_uint_slow(const Arg &a, T &out) {
  static_assert(std::is_unsigned_v<T> && sizeof(T) <= sizeof(unsigned long long));
  if (!a.value) return true;
  Ref<> index;
  PyObject *o = a.value;
  if (!PyLong_Check(o)) {
    if (!PyIndex_Check(o)) return wrong_type(a, "int");
    index = Ref<>::steal(PyNumber_Index(o));
    if (!index) return raised;
    o = index.obj();
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

// A small int in range (the accessors' offsets and values), converted in
// line; false for anything else.
template <class T> [[gnu::always_inline]] inline bool to_uint_fast(PyObject *value, T &out) noexcept {
  long long v;
  if (value && small_int(value, v) && v >= 0 && static_cast<unsigned long long>(v) <= std::numeric_limits<T>::max())
      [[likely]] {
    out = static_cast<T>(v);
    return true;
  }
  return false;
}

template <class T> [[gnu::always_inline]] inline bool to_uint(const Arg &a, T &out) {
  return to_uint_fast(a.value, out) || to_uint_slow(a, out);
}

// An instance of exactly `type` (no subclasses), as its C struct.
template <class O> bool to_exact(const Arg &a, PyTypeObject *type, O *&out) {
  if (!a.value) return true;
  if (Py_TYPE(a.value) != type) {
    const char *dot = std::strrchr(type->tp_name, '.');
    return wrong_type(a, dot ? dot + 1 : type->tp_name);
  }
  out = cast<O>(a.value);
  return true;
}

// An argument that must be an instance of exactly the class `Type()` makes,
// seen as its C struct.
template <class O, PyTypeObject *(*Type)()> struct Exact {
  O *obj;
  O *operator->() const noexcept { return obj; }
  static bool from(const Arg &a, Exact &out) { return to_exact(a, Type(), out.obj); }
};

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

// Argument types for the converters above that need a type of their own.
struct Timeout { // to_timeout_ms: 0, the default wait, when not given or None
  uint32_t ms;
  static bool from(const Arg &a, Timeout &out) { return to_timeout_ms(a, out.ms); }
};
struct NumpyBool { // to_bool, NumPy's boolean scalars too
  bool value;
  static bool from(const Arg &a, NumpyBool &out) { return to_bool(a, out.value, numpy_too); }
};

// The converter of each argument type: the type's own `from`, or one of
// the above.  Each leaves `out` alone when the argument was not given, so a
// parameter with a default receives its value-initialised type.
template <class T>
  requires requires(const Arg &a, T &t) {
    { T::from(a, t) } -> std::same_as<bool>;
  }
bool convert(const Arg &a, T &out) {
  return T::from(a, out);
}
template <std::unsigned_integral T>
  requires(!std::is_same_v<T, bool>)
bool convert(const Arg &a, T &out) {
  return to_uint_slow(a, out);
}
inline bool convert(const Arg &a, bool &out) { return to_bool(a, out); }
inline bool convert(const Arg &a, Utf8 &out) { return to_str(a, out); }
inline bool convert(const Arg &a, Bytes &out) { return to_bytes(a, out); }
// Any object, borrowed; null when not given.
inline bool convert(const Arg &a, PyObject *&out) {
  out = a.value;
  return true;
}
// What converts in line, before the argument is described for the
// converters above: small ints.  False: the converter decides.
template <class T> inline bool convert_fast(PyObject *, T &) noexcept { return false; }
template <std::unsigned_integral T>
  requires(!std::is_same_v<T, bool>)
[[gnu::always_inline]] inline bool convert_fast(PyObject *value, T &out) noexcept {
  return to_uint_fast(value, out);
}

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

// Makes the members of a class whose instances are EnumObjects and stores
// them among its attributes.  False: an error is set.
bool add_members(PyTypeObject *type, const EnumMember *members, size_t n);

// An enumeration's slots (repr "<Name>.<member>", int(), the comparison
// above, no hash), for a class made with its own slots in front of them.
extern const PyType_Slot enum_slots[];

// The value of a member of exactly `type` (null: the type could not be
// made, and that error is pending).  Anything else raises TypeError naming
// the argument.
bool to_enum(const Arg &a, PyTypeObject *type, long &out);

// An argument that must be a member of the enumeration `Type()` makes.
template <PyTypeObject *(*Type)()> struct Member {
  long value;
  static bool from(const Arg &a, Member &out) { return to_enum(a, Type(), out.value); }
};

// ---- declarations ----------------------------------------------------------
//
// Every function and method is declared once, in the manner of a text
// signature: NR_METHOD("Session", "call", session_call, "$self, req,
// timeout=None", "doc").  The signature is the docstring's first line (so
// that inspect.signature works) and, read at compile time, the parser's
// parameter list: its names in order, `*` before the keyword-only ones, and
// `=` after those that may be left out.  The body receives the arguments
// converted to the types of its own parameters, in the same order:
//
//   PyObject *session_call(py::SharedUse<SessionObject> s, Request req, py::Timeout timeout);
//
// Its first parameter, for a method, says how it uses the object:
//   O *            no guard;
//   SharedUse<O>   shared use of O's borrow state (O::use) around the body;
//   SoleUse<O>     sole use of it;
//   any S with `static S enter(PyObject *self)` (false: error set), checked
//                  before the arguments are parsed (the owning-thread checks).
// The guards are taken after every argument has been converted, so that no
// conversion (which may run Python code) runs under them.  Every function
// takes METH_FASTCALL | METH_KEYWORDS, so all of them report bad calls the
// same way.

template <size_t N> struct Text {
  char s[N]{};
  constexpr Text(const char (&v)[N]) {
    for (size_t i = 0; i < N; ++i) s[i] = v[i];
  }
  constexpr size_t size() const { return N - 1; }
};

template <class O> struct SharedUse {
  using Object = O;
  O *obj;
  O *operator->() const noexcept { return obj; }
  using Guard = Shared;
};
template <class O> struct SoleUse {
  using Object = O;
  O *obj;
  O *operator->() const noexcept { return obj; }
  using Guard = Sole;
};

namespace decl {

// One parameter of a signature: where its name lies in the text.
struct Span {
  size_t begin, end;
  bool required, keyword_only;
};

// Calls each(span) for the parameters of `sig`, in order; "$self" and "*"
// are not parameters.  The count of them.
template <size_t N, class Each> constexpr size_t scan(const Text<N> &sig, Each each) {
  size_t count = 0, i = 0, n = sig.size();
  bool keyword_only = false;
  while (i < n) {
    while (i < n && sig.s[i] == ' ') ++i;
    size_t begin = i, eq = n, end;
    while (i < n && sig.s[i] != ',') {
      if (sig.s[i] == '=' && eq == n) eq = i;
      ++i;
    }
    end = eq < i ? eq : i;
    size_t len = end - begin;
    if (len == 1 && sig.s[begin] == '*') {
      keyword_only = true;
    } else if (!(len == 5 && sig.s[begin] == '$') && len > 0) {
      each(Span{begin, end, eq == n, keyword_only});
      ++count;
    }
    ++i; // the comma
  }
  return count;
}

template <Text Sig> inline constexpr size_t count = scan(Sig, [](Span) {});

// The signature's text with a NUL after each name, for the names to point
// into.
template <Text Sig> inline constexpr auto names = [] {
  std::array<char, Sig.size() + 1> buf{};
  for (size_t i = 0; i < Sig.size(); ++i) buf[i] = Sig.s[i];
  scan(Sig, [&](Span p) { buf[p.end] = '\0'; });
  return buf;
}();

template <Text Sig> inline constexpr auto params = [] {
  std::array<Param, count<Sig> ? count<Sig> : 1> out{};
  size_t k = 0;
  scan(Sig, [&](Span p) { out[k++] = {names<Sig>.data() + p.begin, p.required, p.keyword_only}; });
  return out;
}();

template <Text Sig> constexpr Py_ssize_t positional() {
  Py_ssize_t n = 0;
  for (size_t i = 0; i < count<Sig>; ++i)
    if (!params<Sig>[i].keyword_only) n = static_cast<Py_ssize_t>(i) + 1;
  return n;
}

template <Text Sig> constexpr Py_ssize_t min_positional() {
  Py_ssize_t n = 0;
  for (size_t i = 0; i < count<Sig>; ++i)
    if (params<Sig>[i].required) n = params<Sig>[i].keyword_only ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(i) + 1;
  return n;
}

template <Text Sig> inline PyObject *interned[count<Sig> ? count<Sig> : 1];

template <class S>
concept Entered = requires(PyObject *self) {
  { S::enter(self) } -> std::same_as<S>;
};
template <class S>
concept Guarded = requires(S s) {
  typename S::Guard;
  s.obj->use;
};

// The parser and converters of one declaration whose body takes P...
template <Text Qual, Text Sig, class... P> struct Decl {
  static constexpr size_t N = count<Sig>;
  static_assert(N == sizeof...(P), "the signature names as many parameters as the body takes");
  static constexpr Py_ssize_t POSITIONAL = positional<Sig>();
  static constexpr Py_ssize_t MIN_POSITIONAL = min_positional<Sig>();
  static Params parser() noexcept { return {Qual.s, params<Sig>.data(), N, POSITIONAL, MIN_POSITIONAL, interned<Sig>}; }

  // Parses a FASTCALL call into raw[].  Plain positional calls (the
  // accessors' case) skip the general parser.
  static bool parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **raw) {
    if (!kwnames && nargs <= POSITIONAL && nargs >= MIN_POSITIONAL) [[likely]] {
      for (size_t i = 0; i < N; ++i) raw[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
      return true;
    }
    return parse_args(parser(), args, nargs, kwnames, raw);
  }

  // Argument i as the converters and the error messages see it.
  static Arg arg(size_t i, PyObject *value) noexcept { return {Qual.s, params<Sig>[i].name, value}; }

  // Converts raw[] in order (the first that fails raises), then returns
  // run(converted...).
  template <class Run> static PyObject *convert_then(PyObject **raw, Run run) {
    return [&]<size_t... I>(std::index_sequence<I...>)->PyObject * {
      std::tuple<std::remove_cvref_t<P>...> v;
      if (!((convert_fast(raw[I], std::get<I>(v)) || convert(arg(I, raw[I]), std::get<I>(v))) && ...)) return nullptr;
      return run(std::get<I>(v)...);
    }
    (std::index_sequence_for<P...>{});
  }
};

// A function without an object: module-level or static.
template <Text Qual, Text Sig, auto Body, class F = decltype(Body)> struct Function;

template <Text Qual, Text Sig, auto Body, class... P> struct Function<Qual, Sig, Body, PyObject *(*)(P...)> {
  using D = Decl<Qual, Sig, P...>;
  static PyObject *call(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *raw[D::N ? D::N : 1];
    if (!D::parse(args, nargs, kwnames, raw)) return nullptr;
    return D::convert_then(raw, [](auto &...v) { return Body(v...); });
  }
};

// A method: the body's first parameter is the object.
template <Text Qual, Text Sig, auto Body, class F = decltype(Body)> struct Method;

template <Text Qual, Text Sig, auto Body, class S, class... P> struct Method<Qual, Sig, Body, PyObject *(*)(S, P...)> {
  using D = Decl<Qual, Sig, P...>;

  static PyObject *call(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *raw[D::N ? D::N : 1];
    if constexpr (Entered<S>) {
      S s = S::enter(self);
      if (!s) [[unlikely]]
        return nullptr;
      if (!D::parse(args, nargs, kwnames, raw)) [[unlikely]]
        return nullptr;
      return D::convert_then(raw, [&](auto &...v) { return Body(s, v...); });
    } else if constexpr (Guarded<S>) {
      if (!D::parse(args, nargs, kwnames, raw)) return nullptr;
      return D::convert_then(raw, [&](auto &...v) -> PyObject * {
        S s{cast<typename S::Object>(self)};
        typename S::Guard use(s.obj->use);
        if (!use) return nullptr;
        return Body(s, v...);
      });
    } else {
      static_assert(std::is_pointer_v<S>, "a method's first parameter is its object");
      if (!D::parse(args, nargs, kwnames, raw)) return nullptr;
      return D::convert_then(raw, [&](auto &...v) { return Body(cast<std::remove_pointer_t<S>>(self), v...); });
    }
  }
};

// A constructor: the body takes the class, then the arguments.
template <Text Qual, Text Sig, auto Body, class F = decltype(Body)> struct Constructor;

template <Text Qual, Text Sig, auto Body, class... P>
struct Constructor<Qual, Sig, Body, PyObject *(*)(PyTypeObject *, P...)> {
  using D = Decl<Qual, Sig, P...>;
  static PyObject *call(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *raw[D::N ? D::N : 1];
    if (!parse_tuple_args(D::parser(), args, kwargs, raw)) return nullptr;
    return D::convert_then(raw, [&](auto &...v) { return Body(type, v...); });
  }
};

} // namespace decl

using Fastcall = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
inline PyCFunction as_cfunction(Fastcall f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A function (or a table) as the untyped pointer that type and module slots
// hold.
template <class F> void *pointer(F *fn) noexcept { return reinterpret_cast<void *>(fn); }
template <class F> PyType_Slot slot(int id, F *fn) noexcept { return {id, pointer(fn)}; }
inline PyType_Slot slot(int id, const char *doc) noexcept { return {id, const_cast<char *>(doc)}; }
inline PyType_Slot slot(int id, void *data) noexcept { return {id, data}; }

// A docstring in the interpreter's text-signature layout, so that
// inspect.signature works: "name(sig)\n--\n\ntext".
#define NR_DOC(name, sig, text) name "(" sig ")\n--\n\n" text

// A method of class `cls`; its errors name "<cls>.<name>".
#define NR_METHOD(cls, name, body, sig, text)                                                   \
  PyMethodDef {                                                                                 \
    name, ::nrhal::py::as_cfunction(&::nrhal::py::decl::Method<cls "." name, sig, body>::call), \
        METH_FASTCALL | METH_KEYWORDS, NR_DOC(name, sig, text)                                  \
  }
// A static method of class `cls`.
#define NR_STATIC(cls, name, body, sig, text)                                                     \
  PyMethodDef {                                                                                   \
    name, ::nrhal::py::as_cfunction(&::nrhal::py::decl::Function<cls "." name, sig, body>::call), \
        METH_FASTCALL | METH_KEYWORDS | METH_STATIC, NR_DOC(name, sig, text)                      \
  }
// A module-level function whose errors name `qual` ("fw.version").
#define NR_FUNCTION(qual, name, body, sig, text)                                          \
  PyMethodDef {                                                                           \
    name, ::nrhal::py::as_cfunction(&::nrhal::py::decl::Function<qual, sig, body>::call), \
        METH_FASTCALL | METH_KEYWORDS, NR_DOC(name, sig, text)                            \
  }
// __exit__ of the context managers, whose arguments are not used.
#define NR_EXIT_SIG "$self, _exc_type, _exc_val, _exc_tb"
#define NR_METHODS_END \
  PyMethodDef { nullptr, nullptr, 0, nullptr }
// The constructor of class `cls` and the class's docstring, as two type slots.
#define NR_CONSTRUCTOR(cls, body, sig, text)                                           \
  ::nrhal::py::slot(Py_tp_new, &::nrhal::py::decl::Constructor<cls, sig, body>::call), \
      ::nrhal::py::slot(Py_tp_doc, NR_DOC(cls, sig, text))

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

// The members a class is made with, EnumObjects all: an enumeration's, or
// a set of named flags'.  `shared`: slots the class takes unless its own
// slots hold the same ones (enum_slots), or null.
struct Members {
  const EnumMember *table;
  size_t n;
  const PyType_Slot *shared;
};
template <size_t M> Members enumeration(const EnumMember (&table)[M]) noexcept { return {table, M, enum_slots}; }
template <size_t M> Members enumeration(const std::array<EnumMember, M> &table) noexcept {
  return {table.data(), M, enum_slots};
}
template <size_t M> Members named(const EnumMember (&table)[M]) noexcept { return {table, M, nullptr}; }

// A class made once per process from its description, and kept for good.
// Names are "builtins.<Name>": no class names a module of its own.  The
// docstring (null: the slots hold it) and the members come with the class.
class Class {
 public:
  using Slots = std::initializer_list<PyType_Slot>;
  // `methods`: makes the method table when the class is made (a table
  // gathered from other files' tables, which are not ready before).
  Class(const char *name, const char *doc, int size, unsigned long flags, Slots slots,
        PyMethodDef *(*methods)() = nullptr)
      : name_(name),
        doc_(doc),
        size_(size),
        flags_(flags),
        slots_(slots),
        members_{nullptr, 0, nullptr},
        methods_(methods) {}
  Class(const char *name, const char *doc, unsigned long flags, Slots slots, Members members)
      : name_(name), doc_(doc), size_(sizeof(EnumObject)), flags_(flags), slots_(slots), members_(members) {}
  // The class; null with the error set.
  PyTypeObject *get() {
    return cast<PyTypeObject>(once_.get([this] { return make(); }));
  }

 private:
  PyObject *make();
  const char *name_;
  const char *doc_;
  int size_;
  unsigned long flags_;
  std::vector<PyType_Slot> slots_;
  Members members_;
  PyMethodDef *(*methods_)() = nullptr;
  Once once_;
};

// No class can be made from Python (unless it has Py_tp_new); immutable, so
// that a class shared by every initialisation of the module cannot be
// changed through one of them.
constexpr unsigned long CLASS_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
constexpr unsigned long NEW_CLASS_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// An exception class made once per process.
class Exception {
 public:
  Exception(const char *name, PyObject *base) noexcept : name_(name), base_(base) {}
  PyTypeObject *get() {
    return cast<PyTypeObject>(once_.get([this] { return PyErr_NewException(name_, base_, nullptr); }));
  }

 private:
  const char *name_;
  PyObject *base_;
  Once once_;
};

// ---- registration --------------------------------------------------------

// Appends `name` to the module's __all__ (creating the list when missing),
// then sets the attribute.  `value` is borrowed; null means the code that
// made it failed, and the failure is passed on.
bool add(PyObject *module, const char *name, PyObject *value);
inline bool add(PyObject *module, const char *name, PyTypeObject *type) { return add(module, name, object(type)); }

// A module-level function bound to `module`, registered under its name.
// `def` must live for good.
bool add_function(PyObject *module, PyMethodDef *def);

} // namespace nrhal::py
