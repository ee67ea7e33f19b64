// Placeholder: filled in by the reset work.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::reset {

// Session methods of this area, ended by NR_METHODS_END.
extern PyMethodDef session_methods[];

// Device methods of this area, ended by NR_METHODS_END.
extern PyMethodDef device_methods[];

} // namespace nrhal::dev::reset
