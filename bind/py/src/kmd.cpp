// Placeholder: filled in by the version work.
#include "kmd.h"

namespace nrhal::kmd {

bool fill(PyObject *) { return true; }

} // namespace nrhal::kmd
