// Version records as Python semantic-version objects, shared by nrhal.kmd
// and nrhal.fw.
#pragma once

#include "nrhal.h"
#include "toolkit.h"

namespace nrhal::ver {

// "major.minor.patch[-pre][+build]" handed to the `parse` class method of
// semver's version class: a new reference, or null with the error of the
// import, the lookup or the parse left as it came.  semver is imported anew
// on every call, so the module loads without it.
PyObject *raw_to_semver(const nr_version &v);

} // namespace nrhal::ver
