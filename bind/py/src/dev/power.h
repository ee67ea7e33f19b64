// Power features: the Flag class and Session.power.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::power {

PyTypeObject *flag_type();

// Session.power, ended by NR_METHODS_END; gathered into the Session class.
extern PyMethodDef session_methods[];

// Fills the submodule nrhal.power: Flag.
bool fill(PyObject *module);

} // namespace nrhal::dev::power
