// Placeholder: filled in by the telem work.
#include "telem.h"

namespace nrhal::dev::telem {

PyMethodDef session_methods[] = {NR_METHODS_END};

bool fill(PyObject *) { return true; }

} // namespace nrhal::dev::telem
