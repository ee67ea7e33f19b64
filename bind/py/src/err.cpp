#include "err.h"

#include <cerrno>
#include <cstring>

namespace nrhal {

namespace {

PyObject *make_exception(const char *name, PyObject *base) {
  return PyErr_NewException(name, base, nullptr);
}

// Builds and sets `type(err, text)`.  Memory exhaustion here leaves the
// interpreter's MemoryError set instead.
py::Raised set_error(PyObject *type, int err, py::Ref text) {
  if (!text) return py::raised;
  py::Ref args = py::Ref::steal(Py_BuildValue("(iO)", err, text.get()));
  if (!args) return py::raised;
  py::Ref exc = py::Ref::steal(PyObject_Call(type, args.get(), nullptr));
  if (!exc) return py::raised;
  PyErr_SetObject(type, exc.get());
  return py::raised;
}

} // namespace

PyTypeObject *nr_error_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([] { return make_exception("nrhal.NRError", PyExc_OSError); }));
}

PyTypeObject *panic_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(
      once.get([] { return make_exception("nrhal.PanicException", PyExc_BaseException); }));
}

py::Raised fail(int err) {
  int saved = errno;
  char buf[256];
  const char *text = strerror_r(err, buf, sizeof buf); // GNU form: may return a static string
  PyObject *type = reinterpret_cast<PyObject *>(nr_error_type());
  if (type) set_error(type, err, py::Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace")));
  errno = saved;
  return py::raised;
}

py::Raised fail(int err, const char *message) {
  int saved = errno;
  PyObject *type = reinterpret_cast<PyObject *>(nr_error_type());
  if (type) set_error(type, err, py::Ref::steal(PyUnicode_FromString(message)));
  errno = saved;
  return py::raised;
}

bool lost() noexcept { return errno == ECONNRESET; }

bool check(int rc) {
  if (rc == 0) return true;
  return fail(errno);
}

py::Raised panic(const char *message) {
  if (PyObject *type = reinterpret_cast<PyObject *>(panic_type())) PyErr_SetString(type, message);
  return py::raised;
}

py::Raised unsendable(const char *type) {
  if (PyObject *t = reinterpret_cast<PyObject *>(panic_type()))
    PyErr_Format(t, "%s is unsendable, but sent to another thread", type);
  return py::raised;
}

} // namespace nrhal
