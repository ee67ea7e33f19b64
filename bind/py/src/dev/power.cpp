// Placeholder: filled in by the power work.
#include "power.h"

namespace nrhal::dev::power {

PyMethodDef session_methods[] = {NR_METHODS_END};

bool fill(PyObject *) { return true; }

} // namespace nrhal::dev::power
