// Placeholder: filled in by the version work.
#include "fw.h"

namespace nrhal::fw {

bool fill(PyObject *) { return true; }

} // namespace nrhal::fw
