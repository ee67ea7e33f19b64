// nrhal.fw: the firmware bundle version of a session's card.
#pragma once

#include "toolkit.h"

namespace nrhal::fw {

// Fills the submodule nrhal.fw: version.
bool fill(PyObject *module);

} // namespace nrhal::fw
