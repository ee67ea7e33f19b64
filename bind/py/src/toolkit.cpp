// The out-of-line half of the toolkit: the general argument parser, the
// converters' error paths, type creation and registration.
#include "toolkit.h"

namespace nrhal::py {

namespace {

bool name_is(PyObject *key, const char *name) { return PyUnicode_CompareWithASCIIString(key, name) == 0; }

} // namespace

bool parse_args(const char *function, const Param *params, size_t n, Py_ssize_t positional,
                PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
  if (nargs > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function, positional,
                 positional == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;

  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    size_t i = 0;
    while (i < n && !name_is(key, params[i].name)) ++i;
    if (i == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, params[i].name);
      return false;
    }
    out[i] = args[nargs + k];
  }

  for (size_t i = 0; i < n; ++i) {
    if (params[i].required && !out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required %sargument '%s'", function,
                   params[i].keyword_only ? "keyword-only " : "", params[i].name);
      return false;
    }
  }
  return true;
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
  if (a.value == Py_True || a.value == Py_False) {
    out = a.value == Py_True;
    return true;
  }
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

Raised too_large() {
  PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
  return raised;
}

Raised too_small() {
  PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
  return raised;
}

PyTypeObject *make_type(PyType_Spec *spec, PyObject *base) {
  return reinterpret_cast<PyTypeObject *>(PyType_FromSpecWithBases(spec, base));
}

bool add(PyObject *module, const char *name, PyObject *value) {
  if (!value) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

bool add_function(PyObject *module, PyMethodDef *def) {
  Ref modname = Ref::steal(PyModule_GetNameObject(module));
  if (!modname) return false;
  Ref fn = Ref::steal(PyCFunction_NewEx(def, module, modname.get()));
  return add(module, def->ml_name, fn.get());
}

} // namespace nrhal::py
