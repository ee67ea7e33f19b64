// Helpers shared by the library's sources.
#pragma once

#include <cerrno>
#include <sys/ioctl.h>

namespace nr {

inline int fail(int e) {
  errno = e;
  return -1;
}

// One driver request; ENODEV (the descriptor was severed) becomes ECONNRESET.
inline int ioctl_req(int fd, unsigned long request, void *record) {
  if (ioctl(fd, request, record) == 0) return 0;
  if (errno == ENODEV) errno = ECONNRESET;
  return -1;
}

} // namespace nr
