// The module's exceptions and the three error functions through which every
// failed native call (-1 and errno) reaches Python.
#pragma once

#include "toolkit.h"

namespace nrhal {

// nrhal.NRError, a subclass of OSError; made once per process.
PyTypeObject *nr_error_type();

// nrhal.PanicException, derived from BaseException and not registered in
// the module: internal failures of the binding that callers are not meant
// to catch as ordinary errors.
PyTypeObject *panic_type();

// Sets NRError(err, strerror(err)).  Leaves errno as it was, so lost() still
// sees the failed call's errno afterwards.
py::Raised fail(int err);

// Sets NRError(err, message) with a fixed message.
py::Raised fail(int err, const char *message);

// The failed native call lost its connection: an out-of-band reset or
// removal severed the descriptor (errno ECONNRESET).
bool lost() noexcept;

// True when rc is 0; otherwise sets fail(errno) and returns false.
bool check(int rc);

// Sets PanicException(message).
py::Raised panic(const char *message);

} // namespace nrhal
