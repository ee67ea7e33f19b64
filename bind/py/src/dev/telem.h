// Telemetry: the Tag enumeration, Telemetry snapshots and Session.telemetry.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::telem {

PyTypeObject *tag_type();
PyTypeObject *telemetry_type();

// Session's telemetry, ended by NR_METHODS_END; gathered into the Session
// class.
extern PyMethodDef session_methods[];

// Fills the submodule nrhal.telem: Tag, then Telemetry.
bool fill(PyObject *module);

} // namespace nrhal::dev::telem
