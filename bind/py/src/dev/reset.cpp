// Placeholder: filled in by the reset work.
#include "reset.h"

namespace nrhal::dev::reset {

PyMethodDef session_methods[] = {NR_METHODS_END};
PyMethodDef device_methods[] = {NR_METHODS_END};

} // namespace nrhal::dev::reset
