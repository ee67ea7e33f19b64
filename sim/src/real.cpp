#include "real.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace nrsim {

namespace {

template <typename F> void bind(F &slot, const char *name) {
  slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

Real load() {
  Real r{};
  bind(r.open, "open");
  bind(r.open64, "open64");
  bind(r.openat, "openat");
  bind(r.openat64, "openat64");
  bind(r.open_2, "__open_2");
  bind(r.open64_2, "__open64_2");
  bind(r.openat_2, "__openat_2");
  bind(r.openat64_2, "__openat64_2");
  bind(r.close, "close");
  bind(r.close_range, "close_range");
  bind(r.ioctl, "ioctl");
  bind(r.mmap, "mmap");
  bind(r.mmap64, "mmap64");
  bind(r.munmap, "munmap");
  bind(r.mremap, "mremap");
  bind(r.opendir, "opendir");
  bind(r.readdir, "readdir");
  bind(r.readdir64, "readdir64");
  bind(r.closedir, "closedir");
  bind(r.realpath, "realpath");
  bind(r.realpath_chk, "__realpath_chk");
  bind(r.access, "access");
  bind(r.readlink, "readlink");
  bind(r.readlinkat, "readlinkat");
  bind(r.read, "read");
  bind(r.read_chk, "__read_chk");
  bind(r.pread, "pread");
  bind(r.pread64, "pread64");
  bind(r.pread_chk, "__pread_chk");
  bind(r.pread64_chk, "__pread64_chk");
  return r;
}

} // namespace

const Real &real() {
  static const Real r = load();
  return r;
}

int raw_open_null(int flags) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", flags));
}

int raw_close(int fd) { return static_cast<int>(syscall(SYS_close, fd)); }

ssize_t raw_pread(int fd, void *buf, size_t n, off_t off) { return syscall(SYS_pread64, fd, buf, n, off); }

ssize_t raw_readlink(const char *path, char *buf, size_t n) { return syscall(SYS_readlinkat, AT_FDCWD, path, buf, n); }

void raw_warn(const char *msg) {
  size_t n = strlen(msg);
  while (n > 0) {
    ssize_t w = syscall(SYS_write, 2, msg, n);
    if (w <= 0) return;
    msg += w;
    n -= static_cast<size_t>(w);
  }
}

} // namespace nrsim
