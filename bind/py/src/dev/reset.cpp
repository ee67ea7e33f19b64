// Card reset.  The native sequence waits seconds for the card to come back
// on the bus, so both methods release the interpreter lock around it; the
// exclusive open inside it keeps every other client out, this process's
// other sessions included.  A reset is never retried, persistent or not.
#include "reset.h"

#include <cerrno>

#include "../dev.h"
#include "../err.h"

namespace nrhal::dev::reset {

namespace {

// Shared: the descriptor stays usable from other threads meanwhile.
PyObject *device_reset(py::SharedUse<DeviceObject> d) {
  uint32_t id = d->id;
  if (!blocking([&id] { return nr_reset(&id); })) return nullptr;
  Py_RETURN_NONE;
}

// Sole use for the whole wait: no other thread may touch the record while
// the native sequence closes its descriptor.
PyObject *session_reset(py::SoleUse<SessionObject> s) {
  nr_session rec = s->rec;
  // An earlier close(2) failed: the kernel has released that number, and it
  // may name another file by now.  The close is done, so reset by number,
  // as a reset that a signal interrupted is made again.
  bool closed = s->fd_released && rec.fd >= 0;
  if (closed) rec.fd = -1;
  bool ok = blocking([&] {
    if (closed) return nr_reset(&rec.id);
    closed = true;
    return nr_reset_with(&rec);
  });
  // Closed on every path past the closed-session check.
  s->rec = rec;
  s->fd_released = false;
  if (!ok) return nullptr;
  return new_device(rec.id);
}

} // namespace

PyMethodDef device_methods[] = {
    NR_METHOD("Device", "reset", device_reset, "$self",
              "Resets the device.\n"
              "\n"
              "Acquires exclusive access, issues the full reset sequence, and releases\n"
              "it. No session is required, and the reset is refused while any client\n"
              "(including this process) has the device open. The reset sequence takes\n"
              "seconds, so the interpreter lock is released while it runs.\n"
              "\n" NR_DOC_RAISES "- `ENODEV` if the device does not exist.\n"
              "- `EAGAIN` if any client (including this process) has the device open.\n" NR_DOC_RESET_FAILED
                  NR_DOC_OTHER_ERRNOS),
    NR_METHODS_END,
};

PyMethodDef session_methods[] = {
    NR_METHOD("Session", "reset", session_reset, "$self",
              "Resets the device.\n"
              "\n"
              "Closes this session, then resets the underlying device as\n"
              "`Device.reset()` does. The session is closed on all paths, success or\n"
              "failure, even when it was opened with `persistent`. The device number\n"
              "does not change, so the returned `Device` descriptor can be reopened\n"
              "directly (or this session reopened with `reopen()`). The reset sequence\n"
              "takes seconds, so the interpreter lock is released while it runs.\n"
              "\n" NR_DOC_RAISES "- `ENOTCONN` if the session has already been closed.\n"
              "- `ENODEV` if the device does not exist.\n"
              "- `EAGAIN` if another client opened the device before exclusive access\n"
              "  could be acquired.\n" NR_DOC_RESET_FAILED NR_DOC_OTHER_ERRNOS),
    NR_METHODS_END,
};

} // namespace nrhal::dev::reset
