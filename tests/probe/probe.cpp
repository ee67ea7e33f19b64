// _nrhal_probe: a test-only module that exposes the toolkit's parsing,
// conversion and borrow guards directly, so that the tests can reach the
// paths that no public method exercises yet (keyword-only required
// parameters, unsigned ranges, borrow conflicts) and results that no public
// method shows (a timeout's milliseconds).  Never installed.
#include "err.h"
#include "toolkit.h"

#include <utility>

namespace nrhal::probe {

namespace {

// args(a, b=None, *, c=None, d): a dict of the arguments that were given.
PyObject *args(PyObject *a, PyObject *b, PyObject *c, PyObject *d) {
  py::Ref<> given = py::Ref<>::steal(PyDict_New());
  if (!given) return nullptr;
  const std::pair<const char *, PyObject *> all[] = {{"a", a}, {"b", b}, {"c", c}, {"d", d}};
  for (const auto &[name, value] : all)
    if (value && PyDict_SetItemString(given.obj(), name, value) < 0) return nullptr;
  return given.release();
}

template <class T> PyObject *to_uint(T value) { return PyLong_FromUnsignedLongLong(value); }

// Session.call's timeout conversion, whose result no call shows.
PyObject *timeout_ms(py::Timeout timeout) { return PyLong_FromUnsignedLong(timeout.ms); }

PyObject *boolean(py::NumpyBool value) { return PyBool_FromLong(value.value); }

// (UTF-8 bytes, whether they hold a NUL)
PyObject *text(py::Utf8 value) {
  return Py_BuildValue("(y#O)", value.data, value.size, value.has_nul() ? Py_True : Py_False);
}

PyObject *panic(py::Utf8 message) { return nrhal::panic(message.data); }

// Cell: an object with a borrow state.  shared(fn) and sole(fn) call fn()
// while holding that use, so a test can nest uses the way another thread
// would meet them while a call has released the interpreter lock.
struct CellObject {
  PyObject_HEAD
  py::Borrow use;
};

PyObject *cell_shared(py::SharedUse<CellObject>, PyObject *fn) { return PyObject_CallNoArgs(fn); }

PyObject *cell_sole(py::SoleUse<CellObject>, PyObject *fn) { return PyObject_CallNoArgs(fn); }

PyObject *cell_state(PyObject *self, void *) { return PyLong_FromLong(py::cast<CellObject>(self)->use.state); }

PyMethodDef cell_methods[] = {
    NR_METHOD("Cell", "shared", cell_shared, "$self, fn", "Calls fn() with shared use of the cell."),
    NR_METHOD("Cell", "sole", cell_sole, "$self, fn", "Calls fn() with sole use of the cell."),
    NR_METHODS_END,
};

PyGetSetDef cell_getset[] = {
    {"state", cell_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

py::Class cell_class{"_nrhal_probe.Cell",
                     nullptr,
                     sizeof(CellObject),
                     Py_TPFLAGS_DEFAULT,
                     {
                         py::slot(Py_tp_methods, cell_methods),
                         py::slot(Py_tp_getset, cell_getset),
                         py::slot(Py_tp_new, PyType_GenericNew),
                     }};

PyMethodDef functions[] = {
    NR_FUNCTION("args", "args", args, "a, b=None, *, c=None, d", "The arguments given, by name."),
    NR_FUNCTION("uint", "u8", to_uint<uint8_t>, "value", "Converts to an unsigned 8-bit value."),
    NR_FUNCTION("uint", "u32", to_uint<uint32_t>, "value", "Converts to an unsigned 32-bit value."),
    NR_FUNCTION("uint", "u64", to_uint<uint64_t>, "value", "Converts to an unsigned 64-bit value."),
    NR_FUNCTION("timeout_ms", "timeout_ms", timeout_ms, "timeout", "Converts a timeout in seconds to milliseconds."),
    NR_FUNCTION("boolean", "boolean", boolean, "value", "Converts to a bool as the open flags do."),
    NR_FUNCTION("text", "text", text, "value", "Converts a str to UTF-8."),
    NR_FUNCTION("panic", "panic", panic, "message", "Raises PanicException."),
    NR_METHODS_END,
};

int exec_module(PyObject *m) {
  for (PyMethodDef *f = functions; f->ml_name; ++f)
    if (!py::add_function(m, f)) return -1;
  return py::add(m, "Cell", cell_class.get()) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, py::pointer(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_nrhal_probe", "", 0, nullptr, slots, nullptr, nullptr, nullptr};

} // namespace

} // namespace nrhal::probe

PyMODINIT_FUNC PyInit__nrhal_probe(void) { return PyModuleDef_Init(&nrhal::probe::module_def); }
