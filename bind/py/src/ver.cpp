#include "ver.h"

#include <cstring>

namespace nrhal::ver {

namespace {

// A label field as text: the bytes up to its NUL, invalid UTF-8 replaced.
// A field with no NUL at all is taken as no label.
py::Ref<> label(const char (&field)[32]) {
  const void *nul = std::memchr(field, '\0', sizeof field);
  Py_ssize_t n = nul ? static_cast<const char *>(nul) - field : 0;
  return py::Ref<>::steal(PyUnicode_DecodeUTF8(field, n, "replace"));
}

// `text` followed by `sep` and `part` when `part` is not empty.
bool append(py::Ref<> &text, const char *sep, const py::Ref<> &part) {
  if (!part) return false;
  if (PyUnicode_GET_LENGTH(part.obj()) == 0) return true;
  text = py::Ref<>::steal(PyUnicode_FromFormat("%U%s%U", text.obj(), sep, part.obj()));
  return static_cast<bool>(text);
}

// semver 3 calls the class Version; semver 2 (still what Debian 12 ships)
// calls it VersionInfo.  Lacking both, the error about Version stands.
py::Ref<> version_class(PyObject *semver) {
  py::Ref<> cls = py::Ref<>::steal(PyObject_GetAttrString(semver, "Version"));
  if (cls || !PyErr_ExceptionMatches(PyExc_AttributeError)) return cls;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  cls = py::Ref<>::steal(PyObject_GetAttrString(semver, "VersionInfo"));
  if (!cls && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return cls;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return cls;
}

} // namespace

PyObject *raw_to_semver(const nr_version &v) {
  py::Ref<> text = py::Ref<>::steal(PyUnicode_FromFormat("%llu.%llu.%llu", static_cast<unsigned long long>(v.major),
                                                         static_cast<unsigned long long>(v.minor),
                                                         static_cast<unsigned long long>(v.patch)));
  if (!text || !append(text, "-", label(v.pre)) || !append(text, "+", label(v.build))) return nullptr;

  // Through the import machinery, so that sys.modules and import hooks have
  // their say, as they would for `import semver`.
  py::Ref<> name = py::Ref<>::steal(PyUnicode_FromString("semver"));
  if (!name) return nullptr;
  py::Ref<> semver = py::Ref<>::steal(PyImport_Import(name.obj()));
  if (!semver) return nullptr;
  py::Ref<> cls = version_class(semver.obj());
  if (!cls) return nullptr;
  py::Ref<> parse = py::Ref<>::steal(PyUnicode_FromString("parse"));
  if (!parse) return nullptr;
  return PyObject_CallMethodOneArg(cls.obj(), parse.obj(), text.obj());
}

} // namespace nrhal::ver
