#include "err.h"

#include <cerrno>
#include <cstring>

namespace nrhal {

namespace {

py::Exception nr_error_class{"nrhal.NRError", PyExc_OSError};
py::Exception panic_class{"nrhal.PanicException", PyExc_BaseException};

// Builds and sets `type(err, text)`.  Memory exhaustion here leaves the
// interpreter's MemoryError set instead.
py::Raised set_error(PyTypeObject *type, int err, py::Ref<> text) {
  if (!type || !text) return py::raised;
  py::Ref<> args = py::Ref<>::steal(Py_BuildValue("(iO)", err, text.obj()));
  if (!args) return py::raised;
  py::Ref<> exc = py::Ref<>::steal(PyObject_Call(py::object(type), args.obj(), nullptr));
  if (!exc) return py::raised;
  PyErr_SetObject(py::object(type), exc.obj());
  return py::raised;
}

} // namespace

PyTypeObject *nr_error_type() { return nr_error_class.get(); }

PyTypeObject *panic_type() { return panic_class.get(); }

py::Raised fail(int err) {
  int saved = errno;
  char buf[256];
  const char *text = strerror_r(err, buf, sizeof buf); // GNU form: may return a static string
  set_error(nr_error_type(), err,
            py::Ref<>::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace")));
  errno = saved;
  return py::raised;
}

py::Raised fail(int err, const char *message) {
  int saved = errno;
  set_error(nr_error_type(), err, py::Ref<>::steal(PyUnicode_FromString(message)));
  errno = saved;
  return py::raised;
}

bool lost() noexcept { return errno == ECONNRESET; }

bool check(int rc) {
  if (rc == 0) return true;
  return fail(errno);
}

py::Raised panic(const char *message) {
  if (PyTypeObject *type = panic_type()) PyErr_SetString(py::object(type), message);
  return py::raised;
}

py::Raised unsendable(const char *type) {
  if (PyTypeObject *t = panic_type()) PyErr_Format(py::object(t), "%s is unsendable, but sent to another thread", type);
  return py::raised;
}

} // namespace nrhal
