// Placeholder: filled in by the version work.
#pragma once

#include "toolkit.h"

namespace nrhal::fw {

// Fills the submodule nrhal.fw.
bool fill(PyObject *module);

} // namespace nrhal::fw
