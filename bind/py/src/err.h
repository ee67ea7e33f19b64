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

// Objects bound to the thread that made them (`type` is the name the
// messages give, e.g. "nrhal::dev::tlb::Tlb").  Used from another thread:
// PanicException "<type> is unsendable, but sent to another thread".
py::Raised unsendable(const char *type);

// Dropped on another thread: reports RuntimeError "<type> is unsendable, but
// is being dropped on another thread" to the unraisable hook, in the name of
// `context` (a live object, such as the class: never the dying one).  An
// exception already pending is kept.
void dropped_elsewhere(const char *type, PyObject *context);

} // namespace nrhal
