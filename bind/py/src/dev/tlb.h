// TLB windows onto device memory: Size, Caching, Config, Tlb, Window and
// Session.alloc.
#pragma once

#include "../toolkit.h"

namespace nrhal::dev::tlb {

PyTypeObject *size_type();
PyTypeObject *caching_type();
PyTypeObject *config_type();
PyTypeObject *tlb_type();
PyTypeObject *window_type();

// Session's alloc, ended by NR_METHODS_END; gathered into the Session class.
extern PyMethodDef session_methods[];

// Fills the submodule nrhal.tlb: Size, Caching, Config, Tlb, then Window.
bool fill(PyObject *module);

} // namespace nrhal::dev::tlb
