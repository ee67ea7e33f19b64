// Device, Session and Info, the scan function, and the persistent
// reopen-and-retry rule that session operations run under.
#pragma once

#include <cerrno>

#include "err.h"
#include "nrhal.h"
#include "toolkit.h"

// The words the docstrings share for their errors: every error block is
// made of these and of lines of its own.
#define NR_DOC_RAISES "Raises `NRError` with:\n\n"
#define NR_DOC_CLOSED "- `ENOTCONN` if the session has been closed.\n"
#define NR_DOC_SEVERED                                                   \
  "- `ECONNRESET` if the session was severed by an out-of-band device\n" \
  "  reset or removal.\n"
#define NR_DOC_RESET_FAILED                                          \
  "- `ECONNRESET` if the device was reset or removed out-of-band.\n" \
  "- `EIO` if the reset sequence failed.\n"                          \
  "- `ETIMEDOUT` if the reset did not complete in time.\n"
#define NR_DOC_OTHER_ERRNOS "\nOther `errno` values propagate from the failing system call."

namespace nrhal::dev {

// Reopen-and-retry rounds of a persistent session before giving up.
constexpr int NR_PERSISTENT_RETRIES = 3;

struct DeviceObject {
  PyObject_HEAD
  uint32_t id;
  py::Borrow use;
};

struct SessionObject {
  PyObject_HEAD
  nr_session rec;
  bool persistent;
  // close(2) failed on rec.fd.  Linux releases a descriptor even then, so
  // that number is never closed again (it may belong to another file by
  // now); the next close or reopen just forgets it.
  bool fd_released;
  // Reopens so far, failed ones included.  The driver ties windows to the
  // descriptor, so a Tlb made under another generation owns nothing on the
  // current one (and its window id may have been handed out again).
  uint64_t generation;
  py::Borrow use;
};

struct InfoObject {
  PyObject_HEAD
  nr_info info;
};

PyTypeObject *device_type();
PyTypeObject *session_type();
PyTypeObject *info_type();

// nrhal.scan, registered by the module's initialisation.
extern PyMethodDef scan_def;

// New objects; null with the error set.
PyObject *new_device(uint32_t id);
PyObject *new_session(const nr_session &rec, bool persistent);

// The argument of a function that takes a Session (fw.version).
using SessionArg = py::Exact<SessionObject, session_type>;
PyObject *new_info(const nr_info &info);

// Closes the session's descriptor, if any: 0, or -1 with errno from close(2).
int close_session(SessionObject *s);

// nr_reopen on the session's record, starting a new generation whatever the
// outcome, with the interpreter lock released around the open.  The caller
// holds sole use of the session.  False: NRError (the session is closed), or
// a signal handler's exception, set.
bool reopen_session(SessionObject *s);

// Runs `op(nr_session *)`, a native call returning 0 or -1 with errno, under
// the persistent rule.  The caller holds sole use of the session.  A session
// opened with persistent=True answers a lost connection (ECONNRESET) by
// reopening and running `op` again from scratch, at most
// NR_PERSISTENT_RETRIES times; a failed reopen raises its own errno and
// leaves the session closed, and a connection that keeps resetting ends in
// ENODEV.  True on success; false with NRError set.
template <class Op> bool perform(SessionObject *s, Op &&op) {
  if (op(&s->rec) == 0) return true;
  if (!s->persistent || !lost()) return fail(errno);
  for (int round = 0; round < NR_PERSISTENT_RETRIES; ++round) {
    if (!reopen_session(s)) return false;
    if (op(&s->rec) == 0) return true;
    if (!lost()) return fail(errno);
  }
  return fail(ENODEV);
}

} // namespace nrhal::dev
