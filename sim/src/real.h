// The C library's own entry points behind the ones this library interposes,
// and the raw system calls the simulator uses for itself (never a wrapped
// function, so that it cannot recurse into its own wrappers).
#pragma once

#include <dirent.h>
#include <sys/types.h>

namespace nrsim {

struct Real {
  int (*open)(const char *, int, ...);
  int (*open64)(const char *, int, ...);
  int (*openat)(int, const char *, int, ...);
  int (*openat64)(int, const char *, int, ...);
  int (*open_2)(const char *, int);
  int (*open64_2)(const char *, int);
  int (*openat_2)(int, const char *, int);
  int (*openat64_2)(int, const char *, int);
  int (*close)(int);
  int (*close_range)(unsigned, unsigned, int);
  int (*ioctl)(int, unsigned long, ...);
  void *(*mmap)(void *, size_t, int, int, int, off_t);
  void *(*mmap64)(void *, size_t, int, int, int, off64_t);
  int (*munmap)(void *, size_t);
  void *(*mremap)(void *, size_t, size_t, int, ...);
  DIR *(*opendir)(const char *);
  struct dirent *(*readdir)(DIR *);
  struct dirent64 *(*readdir64)(DIR *);
  int (*closedir)(DIR *);
  char *(*realpath)(const char *, char *);
  char *(*realpath_chk)(const char *, char *, size_t);
  int (*access)(const char *, int);
  ssize_t (*readlink)(const char *, char *, size_t);
  ssize_t (*readlinkat)(int, const char *, char *, size_t);
  ssize_t (*read)(int, void *, size_t);
  ssize_t (*read_chk)(int, void *, size_t, size_t);
  ssize_t (*pread)(int, void *, size_t, off_t);
  ssize_t (*pread64)(int, void *, size_t, off64_t);
  ssize_t (*pread_chk)(int, void *, size_t, off_t, size_t);
  ssize_t (*pread64_chk)(int, void *, size_t, off64_t, size_t);
};

const Real &real();

// A fresh descriptor on /dev/null to stand for a simulated file.
int raw_open_null(int flags);
int raw_close(int fd);
// pread(2), which this library wraps.
ssize_t raw_pread(int fd, void *buf, size_t n, off_t off);
// readlink(2), which this library wraps.
ssize_t raw_readlink(const char *path, char *buf, size_t n);
// Writes a message to standard error.
void raw_warn(const char *msg);

} // namespace nrsim
