#include "kmd.h"

#include <cerrno>

#include "err.h"
#include "ver.h"

namespace nrhal::kmd {

namespace {

constexpr py::Signature version_sig{"kmd.version"};

// The open waits while another client holds the first card exclusively,
// which may be another thread of ours: the interpreter lock is released.
PyObject *version(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(version_sig, args, nargs, kwnames)) return nullptr;
  nr_version v;
  if (!blocking([&v] { return nr_kmd_version(&v); })) return nullptr;
  return ver::raw_to_semver(v);
}

PyMethodDef version_def = NR_METHOD("version", version, "",
                                    "Returns kernel driver version.\n"
                                    "\n"
                                    "Discovers and briefly opens an available device to issue the query.\n"
                                    "The open waits while another client holds the device exclusively,\n"
                                    "with the interpreter lock released.\n"
                                    "The result is made by `semver.Version.parse` (`semver.VersionInfo` in\n"
                                    "semver 2), and `semver` is imported on every call.\n"
                                    "\n"
                                    "Raises `NRError` with:\n"
                                    "\n"
                                    "- `ENODEV` if no device is available.\n"
                                    "- `ECONNRESET` if the device was reset or removed while querying.\n"
                                    "\n"
                                    "Other `errno` values propagate from the failing system call.");

} // namespace

bool fill(PyObject *module) { return py::add_function(module, &version_def); }

} // namespace nrhal::kmd
