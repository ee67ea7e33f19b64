// Controller (SMC) messages: Message, Queued, and Session.post/call.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::smc {

PyTypeObject *message_type();
PyTypeObject *queued_type();

// Session's post and call, ended by NR_METHODS_END; gathered into the
// Session class.
extern PyMethodDef session_methods[];

// Fills the submodule nrhal.smc: Message, then Queued.
bool fill(PyObject *module);

} // namespace nrhal::dev::smc
