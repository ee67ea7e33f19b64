// Helpers shared by the library's sources.
#pragma once

#include <cerrno>
#include <sys/ioctl.h>

#include "nrhal.h"

namespace nr {

inline int fail(int e) {
  errno = e;
  return -1;
}

// The prologue of a session operation: a null session or record gives
// EINVAL, then a closed session ENOTCONN.  False with errno set: fail.
template <class... Records> inline bool ready(const nr_session *session, const Records *...records) {
  if (!session || (... || !records)) return fail(EINVAL), false;
  if (session->fd < 0) return fail(ENOTCONN), false;
  return true;
}

// One driver request; ENODEV (the descriptor was severed) becomes ECONNRESET.
inline int ioctl_req(int fd, unsigned long request, void *record) {
  if (ioctl(fd, request, record) == 0) return 0;
  if (errno == ENODEV) errno = ECONNRESET;
  return -1;
}

// A PCI address as sysfs names it, dddd:bb:dd.f.  Longer output is cut; it
// then names no card.
using Bdf = char[20];
void format_bdf(Bdf &out, unsigned domain, unsigned bus, unsigned dev, unsigned fn);
void format_bdf(Bdf &out, const nr_info &info);

} // namespace nr
