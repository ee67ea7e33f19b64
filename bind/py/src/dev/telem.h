// Placeholder: filled in by the telem work.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::telem {

// Session methods of this area, ended by NR_METHODS_END.
extern PyMethodDef session_methods[];

// Fills the submodule nrhal.telem.
bool fill(PyObject *module);

} // namespace nrhal::dev::telem
