// _nrhal_probe: a test-only module that exposes the toolkit's parsing,
// conversion and borrow guards directly, so that the tests can reach the
// paths that no public method exercises yet (keyword-only required
// parameters, unsigned ranges, borrow conflicts) and results that no public
// method shows (a timeout's milliseconds).  Never installed.
#include "err.h"
#include "toolkit.h"

namespace nrhal::probe {

namespace {

// args(a, b=None, *, c=None, d): a dict of the arguments that were given.
constexpr py::Signature args_sig{"args", py::required("a"), py::optional("b"), py::keyword("c"),
                                 py::keyword_required("d")};

PyObject *args(PyObject *, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<4> a;
  if (!a.parse(args_sig, argv, nargs, kwnames)) return nullptr;
  py::Ref given = py::Ref::steal(PyDict_New());
  if (!given) return nullptr;
  for (size_t i = 0; i < 4; ++i)
    if (a[i].given() && PyDict_SetItemString(given.get(), a[i].name, a[i].value) < 0) return nullptr;
  return given.release();
}

template <class T> PyObject *to_uint(PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  static constexpr py::Signature sig{"uint", py::required("value")};
  py::Args<1> a;
  if (!a.parse(sig, argv, nargs, kwnames)) return nullptr;
  T v = 0;
  if (!py::to_uint(a[0], v)) return nullptr;
  return PyLong_FromUnsignedLongLong(v);
}

PyObject *u8(PyObject *, PyObject *const *argv, Py_ssize_t n, PyObject *kw) { return to_uint<uint8_t>(argv, n, kw); }
PyObject *u32(PyObject *, PyObject *const *argv, Py_ssize_t n, PyObject *kw) { return to_uint<uint32_t>(argv, n, kw); }
PyObject *u64(PyObject *, PyObject *const *argv, Py_ssize_t n, PyObject *kw) { return to_uint<uint64_t>(argv, n, kw); }

constexpr py::Signature timeout_sig{"timeout_ms", py::required("timeout")};

// Session.call's timeout conversion, whose result no call shows.
PyObject *timeout_ms(PyObject *, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(timeout_sig, argv, nargs, kwnames)) return nullptr;
  uint32_t ms = 0;
  if (!py::to_timeout_ms(a[0], ms)) return nullptr;
  return PyLong_FromUnsignedLong(ms);
}

constexpr py::Signature boolean_sig{"boolean", py::required("value")};

PyObject *boolean(PyObject *, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(boolean_sig, argv, nargs, kwnames)) return nullptr;
  bool v = false;
  if (!py::to_bool(a[0], v, py::numpy_too)) return nullptr;
  return PyBool_FromLong(v);
}

constexpr py::Signature text_sig{"text", py::required("value")};

// (UTF-8 bytes, whether they hold a NUL)
PyObject *text(PyObject *, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(text_sig, argv, nargs, kwnames)) return nullptr;
  py::Utf8 s{};
  if (!py::to_str(a[0], s)) return nullptr;
  return Py_BuildValue("(y#O)", s.data, s.size, s.has_nul() ? Py_True : Py_False);
}

constexpr py::Signature panic_sig{"panic", py::required("message")};

PyObject *panic(PyObject *, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(panic_sig, argv, nargs, kwnames)) return nullptr;
  py::Utf8 s{};
  if (!py::to_str(a[0], s)) return nullptr;
  return nrhal::panic(s.data);
}

// Cell: an object with a borrow state.  shared(fn) and sole(fn) call fn()
// while holding that use, so a test can nest uses the way another thread
// would meet them while a call has released the interpreter lock.
struct CellObject {
  PyObject_HEAD
  py::Borrow use;
};

CellObject *as_cell(PyObject *o) { return reinterpret_cast<CellObject *>(o); }

constexpr py::Signature shared_sig{"Cell.shared", py::required("fn")};
constexpr py::Signature sole_sig{"Cell.sole", py::required("fn")};

PyObject *cell_shared(PyObject *self, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(shared_sig, argv, nargs, kwnames)) return nullptr;
  py::Shared use(as_cell(self)->use);
  if (!use) return nullptr;
  return PyObject_CallNoArgs(a[0].value);
}

PyObject *cell_sole(PyObject *self, PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(sole_sig, argv, nargs, kwnames)) return nullptr;
  py::Sole use(as_cell(self)->use);
  if (!use) return nullptr;
  return PyObject_CallNoArgs(a[0].value);
}

PyObject *cell_state(PyObject *self, void *) { return PyLong_FromLong(as_cell(self)->use.state); }

PyMethodDef cell_methods[] = {
    NR_METHOD("shared", cell_shared, "$self, fn", "Calls fn() with shared use of the cell."),
    NR_METHOD("sole", cell_sole, "$self, fn", "Calls fn() with sole use of the cell."),
    NR_METHODS_END,
};

PyGetSetDef cell_getset[] = {
    {"state", cell_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cell_slots[] = {
    {Py_tp_methods, cell_methods},
    {Py_tp_getset, cell_getset},
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec cell_spec = {"_nrhal_probe.Cell", sizeof(CellObject), 0, Py_TPFLAGS_DEFAULT, cell_slots};

PyMethodDef functions[] = {
    NR_METHOD("args", args, "a, b=None, *, c=None, d", "The arguments given, by name."),
    NR_METHOD("u8", u8, "value", "Converts to an unsigned 8-bit value."),
    NR_METHOD("u32", u32, "value", "Converts to an unsigned 32-bit value."),
    NR_METHOD("u64", u64, "value", "Converts to an unsigned 64-bit value."),
    NR_METHOD("timeout_ms", timeout_ms, "timeout", "Converts a timeout in seconds to milliseconds."),
    NR_METHOD("boolean", boolean, "value", "Converts to a bool as the open flags do."),
    NR_METHOD("text", text, "value", "Converts a str to UTF-8."),
    NR_METHOD("panic", panic, "message", "Raises PanicException."),
    NR_METHODS_END,
};

int exec_module(PyObject *m) {
  for (PyMethodDef *f = functions; f->ml_name; ++f)
    if (!py::add_function(m, f)) return -1;
  py::Ref cell = py::Ref::steal(reinterpret_cast<PyObject *>(py::make_type(&cell_spec)));
  return py::add(m, "Cell", cell.get()) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_nrhal_probe", "", 0, nullptr, slots, nullptr, nullptr, nullptr};

} // namespace

} // namespace nrhal::probe

PyMODINIT_FUNC PyInit__nrhal_probe(void) { return PyModuleDef_Init(&nrhal::probe::module_def); }
