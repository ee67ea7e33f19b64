// Placeholder: filled in by the power work.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::power {

// Session methods of this area, ended by NR_METHODS_END.
extern PyMethodDef session_methods[];

// Fills the submodule nrhal.power.
bool fill(PyObject *module);

} // namespace nrhal::dev::power
