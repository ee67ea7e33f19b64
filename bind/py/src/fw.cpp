#include "fw.h"

#include "dev.h"
#include "err.h"
#include "ver.h"

namespace nrhal::fw {

namespace {

PyObject *version(dev::SessionArg sess) {
  dev::SessionObject *s = sess.obj;
  nr_version v;
  {
    py::Sole use(s->use);
    if (!use) return nullptr;
    // A sysfs read: no driver request, so only a failing open or read of the
    // attribute itself could make a persistent session reopen.
    if (!dev::perform(s, [&v](nr_session *rec) { return nr_fw_version(rec, &v); })) return nullptr;
  }
  // Not under the session's use: the conversion runs Python code (the import
  // and semver's parse), during which other threads may run and must not
  // find the session taken.
  return ver::raw_to_semver(v);
}

PyMethodDef version_def =
    NR_FUNCTION("fw.version", "version", version, "sess",
                "Returns firmware bundle version.\n"
                "\n"
                "Reads the version of the firmware bundle flashed on the card of the\n"
                "open session `sess`. A bundle W.X.Y.Z reads as W.X.Y when Z is 0, and\n"
                "as the pre-release W.X.Y-rc.Z otherwise. The result is made by\n"
                "`semver.Version.parse` (`semver.VersionInfo` in semver 2), and\n"
                "`semver` is imported on every call.\n"
                "\n" NR_DOC_RAISES NR_DOC_CLOSED
                "- `EIO` if the firmware version string is empty or malformed.\n" NR_DOC_OTHER_ERRNOS
                "\n"
                "\n"
                "Raises `TypeError` if `sess` is not a `Session`.");

} // namespace

bool fill(PyObject *module) { return py::add_function(module, &version_def); }

} // namespace nrhal::fw
