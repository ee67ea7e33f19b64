// The module's exceptions and the three error functions through which every
// failed native call (-1 and errno) reaches Python.
#pragma once

#include <cerrno>

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

// Makes one native call, `call()` (0, or -1 with errno), with the
// interpreter lock released.  The call works on plain copies the caller
// made and touches no Python object; errno is read before the lock is taken
// back, and left as the call set it.  A call that a signal interrupted
// (EINTR) runs the signal handlers, as the interpreter's own system calls
// do: what they raise is passed on, otherwise the call is made again.  True
// on success; false with NRError from the call's errno, or the handlers'
// exception, set.
template <class Call> bool blocking(Call &&call) {
  for (;;) {
    int rc, err;
    Py_BEGIN_ALLOW_THREADS
    rc = call();
    err = errno;
    Py_END_ALLOW_THREADS
    errno = err;
    if (rc == 0) return true;
    if (err != EINTR) return fail(err);
    bool raised = PyErr_CheckSignals() < 0;
    errno = err;
    if (raised) return false;
  }
}

// Sets PanicException(message).
py::Raised panic(const char *message);

// Objects bound to the thread that made them (`type` is the name the
// messages give, e.g. "nrhal::dev::tlb::Tlb").  Used from another thread:
// PanicException "<type> is unsendable, but sent to another thread".
py::Raised unsendable(const char *type);

} // namespace nrhal
