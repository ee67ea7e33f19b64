// The out-of-line half of the toolkit: the general argument parser, the
// converters' error paths, type creation and registration.
#include "toolkit.h"

#include <pthread.h>

#include <cmath>
#include <vector>

namespace nrhal::py {

namespace {

// Registered when the module is loaded, before any object can be borrowed.
void count_fork() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int fork_hook = pthread_atfork(nullptr, nullptr, count_fork);

} // namespace

namespace {

// The parameter a keyword names: by pointer among the interned names first,
// then by comparison (a name made at run time, or before the names were
// interned).  n when none.
size_t find_keyword(const Params &p, PyObject *key) {
  for (size_t i = 0; i < p.count; ++i)
    if (p.interned[i] == key) return i;
  for (size_t i = 0; i < p.count; ++i)
    if (PyUnicode_CompareWithASCIIString(key, p.params[i].name) == 0) return i;
  return p.count;
}

// Interns the names once; a name that cannot be made now is only matched by
// comparison.
void intern_names(const Params &p) {
  for (size_t i = 0; i < p.count; ++i) {
    if (p.interned[i]) continue;
    p.interned[i] = PyUnicode_InternFromString(p.params[i].name); // kept for good
    if (!p.interned[i]) PyErr_Clear();
  }
}

} // namespace

bool parse_args(const Params &p, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
  if (nargs > p.positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", p.function, p.positional,
                 p.positional == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (size_t i = 0; i < p.count; ++i) out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;

  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw) intern_names(p);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    size_t i = find_keyword(p, key);
    if (i == p.count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.function, key);
      return false;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.function, p.params[i].name);
      return false;
    }
    out[i] = args[nargs + k];
  }

  for (size_t i = 0; i < p.count; ++i) {
    if (p.params[i].required && !out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required %sargument '%s'", p.function,
                   p.params[i].keyword_only ? "keyword-only " : "", p.params[i].name);
      return false;
    }
  }
  return true;
}

bool parse_tuple_args(const Params &p, PyObject *args, PyObject *kwargs, PyObject **out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return parse_args(p, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);

  // Lay the call out the FASTCALL way: positional values, then the keyword
  // values in the order of a tuple of their names.  The values stay owned
  // by the tuple and the dict, which outlive the parse.
  Ref<> kwnames = Ref<>::steal(PyTuple_New(nkw));
  if (!kwnames) return false;
  std::vector<PyObject *> values(static_cast<size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", p.function);
      return false;
    }
    PyTuple_SET_ITEM(kwnames.obj(), k, Py_NewRef(key));
    values[static_cast<size_t>(nargs + k)] = value;
    ++k;
  }
  return parse_args(p, values.data(), nargs, kwnames.obj(), out);
}

Raised wrong_type(const Arg &a, const char *expected) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", a.function, a.name, expected,
               Py_TYPE(a.value)->tp_name);
  return raised;
}

bool to_str(const Arg &a, Utf8 &out) {
  if (!a.value) return true;
  if (!PyUnicode_Check(a.value)) return wrong_type(a, "str");
  Py_ssize_t size = 0;
  const char *data = PyUnicode_AsUTF8AndSize(a.value, &size);
  if (!data) return raised; // lone surrogates: no UTF-8 form
  out = {data, size};
  return true;
}

bool to_bool(const Arg &a, bool &out) {
  if (!a.value) return true;
  if (a.value != Py_True && a.value != Py_False) return wrong_type(a, "bool");
  out = a.value == Py_True;
  return true;
}

bool to_bool(const Arg &a, bool &out, NumpyToo) {
  if (!a.value || a.value == Py_True || a.value == Py_False) return to_bool(a, out);
  // NumPy's boolean scalar, recognised by its type's name so that numpy
  // need not be imported ("numpy.bool_" before NumPy 2, "numpy.bool" since).
  const char *tn = Py_TYPE(a.value)->tp_name;
  if (std::strcmp(tn, "numpy.bool_") == 0 || std::strcmp(tn, "numpy.bool") == 0) {
    int truth = PyObject_IsTrue(a.value);
    if (truth < 0) return raised;
    out = truth != 0;
    return true;
  }
  return wrong_type(a, "bool");
}

Raised argument_error(const Arg &a, PyObject *also) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !(also && PyErr_ExceptionMatches(also))) return raised;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Ref<> cause = Ref<>::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyErr_Format(PyExc_TypeError, "%s() argument '%s': %S", a.function, a.name, cause.get());
  PyObject *type2, *value2, *tb2;
  PyErr_Fetch(&type2, &value2, &tb2);
  PyErr_NormalizeException(&type2, &value2, &tb2);
  if (value2 && cause) PyException_SetCause(value2, cause.release()); // steals
  PyErr_Restore(type2, value2, tb2);
  return raised;
}

bool to_double(const Arg &a, double &out) {
  if (!a.value) return true;
  PyObject *o = a.value;
  if (PyFloat_Check(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
  if (!nb || (!nb->nb_float && !nb->nb_index)) return wrong_type(a, "float");
  double v = PyFloat_AsDouble(o);
  // __float__ returning a str, or an int beyond a double's range (10**400)
  if (v == -1.0 && PyErr_Occurred()) return argument_error(a, PyExc_OverflowError);
  out = v;
  return true;
}

bool to_timeout_ms(const Arg &a, uint32_t &out) {
  if (!a.value || a.value == Py_None) return true;
  double seconds = 0;
  if (!to_double(a, seconds)) return raised;
  // !(x >= 0) also catches NaN; -0.0 >= 0 holds, so negative zero passes.
  if (!(seconds >= 0) || std::isinf(seconds)) {
    PyErr_Format(PyExc_ValueError, "%s must be a non-negative number of seconds", a.name);
    return raised;
  }
  double ms = std::round(seconds * 1000.0); // halves away from zero
  constexpr double top = std::numeric_limits<uint32_t>::max();
  out = ms >= top ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(ms);
  return true;
}

bool to_u32_seq(const Arg &a, uint32_t *out, size_t cap, size_t &count) {
  if (!a.value) return true;
  if (PyUnicode_Check(a.value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return argument_error(a);
  }
  if (!PySequence_Check(a.value)) return wrong_type(a, "a sequence of int");
  // A length is refused before a single element is converted: range(2**40)
  // would otherwise take hours.  Too large even for a length is too long.
  Py_ssize_t len = PyObject_Size(a.value);
  if (len < 0) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      len = PY_SSIZE_T_MAX;
    } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear(); // no length: the elements tell
    } else {
      return raised;
    }
  }
  if (len >= 0 && static_cast<size_t>(len) > cap) {
    count = cap + 1;
    return true;
  }
  Ref<> it = Ref<>::steal(PyObject_GetIter(a.value));
  if (!it) return argument_error(a);
  size_t n = 0;
  // One element past `cap` settles it, even for an endless sequence.
  while (n <= cap) {
    Ref<> item = Ref<>::steal(PyIter_Next(it.get()));
    if (!item) break;
    if (!PyLong_Check(item.get()) && !PyIndex_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s': element %zu must be int, not %s", a.function, a.name, n,
                   Py_TYPE(item.get())->tp_name);
      return raised;
    }
    uint32_t v = 0;
    if (!to_uint(Arg{a.function, a.name, item.get()}, v)) return raised;
    if (n < cap) out[n] = v;
    ++n;
  }
  if (PyErr_Occurred()) return raised; // the iteration itself failed
  count = n;
  return true;
}

bool to_bytes(const Arg &a, Bytes &out) {
  if (!a.value) return true;
  if (!PyObject_CheckBuffer(a.value)) return wrong_type(a, "a bytes-like object");
  // PyBUF_SIMPLE asks for one contiguous run of bytes; a strided view is
  // refused by its exporter with BufferError.
  if (PyObject_GetBuffer(a.value, &out.view_, PyBUF_SIMPLE) < 0) return raised;
  out.held_ = true;
  return true;
}

namespace {

const char *short_name(PyTypeObject *type) {
  const char *dot = std::strrchr(type->tp_name, '.');
  return dot ? dot + 1 : type->tp_name;
}

PyObject *enum_repr(PyObject *self) {
  return PyUnicode_FromFormat("%s.%s", short_name(Py_TYPE(self)), cast<EnumObject>(self)->name);
}

PyObject *enum_int(PyObject *self) { return PyLong_FromLong(cast<EnumObject>(self)->value); }

PyObject *enum_compare(PyObject *a, PyObject *b, int op) {
  // Every enumeration shares this slot: members of two different ones are
  // not comparable, whatever their values.
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  bool equal = cast<EnumObject>(a)->value == cast<EnumObject>(b)->value;
  return PyBool_FromLong(equal == (op == Py_EQ));
}

} // namespace

const PyType_Slot enum_slots[] = {
    slot(Py_tp_repr, enum_repr),
    slot(Py_tp_richcompare, enum_compare),
    slot(Py_tp_hash, PyObject_HashNotImplemented),
    slot(Py_nb_int, enum_int),
    {0, nullptr},
};

bool add_members(PyTypeObject *type, const EnumMember *members, size_t n) {
  // An immutable class refuses setattr, so the members go straight into its
  // dictionary, and the attribute cache is told.
  for (size_t i = 0; i < n; ++i) {
    Ref<EnumObject> member = make<EnumObject>(type);
    if (!member) return false;
    member->value = members[i].value;
    member->name = members[i].name;
    if (PyDict_SetItemString(type->tp_dict, members[i].name, member.obj()) < 0) return false;
  }
  PyType_Modified(type);
  return true;
}

PyObject *Class::make() {
  std::vector<PyType_Slot> slots;
  if (doc_) slots.push_back(slot(Py_tp_doc, doc_));
  if (methods_) slots.push_back(slot(Py_tp_methods, methods_()));
  slots.insert(slots.end(), slots_.begin(), slots_.end());
  for (const PyType_Slot *s = members_.shared; s && s->slot; ++s) {
    bool own = false;
    for (const PyType_Slot &o : slots_) own |= o.slot == s->slot;
    if (!own) slots.push_back(*s);
  }
  slots.push_back({0, nullptr});
  PyType_Spec shape = {name_, size_, 0, static_cast<unsigned int>(flags_), slots.data()};
  Ref<PyTypeObject> type = Ref<PyTypeObject>::steal(PyType_FromSpec(&shape));
  if (!type || (members_.table && !add_members(type.get(), members_.table, members_.n))) return nullptr;
  return type.release();
}

bool to_enum(const Arg &a, PyTypeObject *type, long &out) {
  if (!a.value) return true;
  if (!type) return raised;
  if (Py_TYPE(a.value) != type) return wrong_type(a, short_name(type));
  out = cast<EnumObject>(a.value)->value;
  return true;
}

Raised too_large() {
  PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
  return raised;
}

Raised too_small() {
  PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
  return raised;
}

bool add(PyObject *module, const char *name, PyObject *value) {
  if (!value) return false;
  Ref<> all = Ref<>::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref<>::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  Ref<> key = Ref<>::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

bool add_function(PyObject *module, PyMethodDef *def) {
  Ref<> modname = Ref<>::steal(PyModule_GetNameObject(module));
  if (!modname) return false;
  Ref<> fn = Ref<>::steal(PyCFunction_NewEx(def, module, modname.get()));
  return add(module, def->ml_name, fn.get());
}

} // namespace nrhal::py
