// Messages on the host's sockets.
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "wire.h"

namespace nrsim {

bool send_message(int sock, const void *head, size_t head_len, const void *payload, size_t len, int fd) {
  iovec iov[2] = {{const_cast<void *>(head), head_len}, {const_cast<void *>(payload), len}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = len ? 2 : 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (fd >= 0) {
    memset(control, 0, sizeof control);
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
  }
  for (;;) {
    ssize_t n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno != EINTR) return false;
  }
}

ssize_t recv_message(int sock, void *buf, size_t cap, int *fd, int flags) {
  iovec iov{buf, cap};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  *fd = -1;
  ssize_t n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC | flags);
  if (n < 0) return -1;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) memcpy(fd, CMSG_DATA(c), sizeof *fd);
  return n;
}

long long now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

} // namespace nrsim
