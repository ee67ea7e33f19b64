// nrhal.kmd: the kernel driver's version.
#pragma once

#include "toolkit.h"

namespace nrhal::kmd {

// Fills the submodule nrhal.kmd: version.
bool fill(PyObject *module);

} // namespace nrhal::kmd
