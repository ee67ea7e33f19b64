// Placeholder: filled in by the version work.
#pragma once

#include "toolkit.h"

namespace nrhal::kmd {

// Fills the submodule nrhal.kmd.
bool fill(PyObject *module);

} // namespace nrhal::kmd
