#include "kmd.h"

#include <cerrno>

#include "dev.h"
#include "err.h"
#include "ver.h"

namespace nrhal::kmd {

namespace {

// The open waits while another client holds the first card exclusively,
// which may be another thread of ours: the interpreter lock is released.
PyObject *version() {
  nr_version v;
  if (!blocking([&v] { return nr_kmd_version(&v); })) return nullptr;
  return ver::raw_to_semver(v);
}

PyMethodDef version_def =
    NR_FUNCTION("kmd.version", "version", version, "",
                "Returns kernel driver version.\n"
                "\n"
                "Discovers and briefly opens an available device to issue the query.\n"
                "The open waits while another client holds the device exclusively,\n"
                "with the interpreter lock released.\n"
                "The result is made by `semver.Version.parse` (`semver.VersionInfo` in\n"
                "semver 2), and `semver` is imported on every call.\n"
                "\n" NR_DOC_RAISES
                "- `ENODEV` if no device is available.\n"
                "- `ECONNRESET` if the device was reset or removed while querying.\n" NR_DOC_OTHER_ERRNOS);

} // namespace

bool fill(PyObject *module) { return py::add_function(module, &version_def); }

} // namespace nrhal::kmd
