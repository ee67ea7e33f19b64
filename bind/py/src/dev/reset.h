// Card reset: Device.reset and Session.reset.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::reset {

// Session.reset, ended by NR_METHODS_END; gathered into the Session class.
extern PyMethodDef session_methods[];

// Device.reset, ended by NR_METHODS_END; gathered into the Device class.
extern PyMethodDef device_methods[];

} // namespace nrhal::dev::reset
