// Version queries: the kernel driver's, and a card's firmware bundle's.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "driver.h"
#include "internal.h"
#include "nrhal.h"

static_assert(sizeof(nr_version) == 88);
static_assert(offsetof(nr_version, major) == 0);
static_assert(offsetof(nr_version, minor) == 8);
static_assert(offsetof(nr_version, patch) == 16);
static_assert(offsetof(nr_version, pre) == 24);
static_assert(offsetof(nr_version, build) == 56);

extern "C" {

int nr_kmd_version(nr_version *out) {
  if (!out) return nr::fail(EINVAL);
  uint32_t dev;
  ssize_t n = nr_dev_scan(1, &dev); // the first card listed
  if (n < 0) return -1;
  if (n == 0) return nr::fail(ENODEV);
  nr_session s;
  if (nr_open(&dev, &s, 0) != 0) return -1;
  nr::drv::get_driver_info rec{};
  rec.in_output_size_bytes = 12;
  int rc = nr::ioctl_req(s.fd, nr::drv::NR_IOCTL_GET_DRIVER_INFO, &rec);
  int err = errno;
  nr_close(&s);
  if (rc != 0) return nr::fail(err);
  memset(out, 0, sizeof *out);
  out->major = rec.major;
  out->minor = rec.minor;
  out->patch = rec.patch;
  return 0;
}

int nr_fw_version(const nr_session *session, nr_version *out) {
  if (!nr::ready(session, out)) return -1;
  char path[64];
  snprintf(path, sizeof path, "/sys/class/norvane/norvane!%u/nr_fw_bundle_ver", session->id);
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  char text[32];
  ssize_t n = read(fd, text, sizeof text - 1);
  int err = errno;
  close(fd);
  if (n < 0) return nr::fail(err);
  if (n == 0) return nr::fail(EIO);
  text[n] = '\0';
  unsigned long w, x, y, z;
  if (sscanf(text, "%lu.%lu.%lu.%lu", &w, &x, &y, &z) != 4) return nr::fail(EIO);
  memset(out, 0, sizeof *out);
  out->major = w;
  out->minor = x;
  out->patch = y;
  if (z != 0) snprintf(out->pre, sizeof out->pre, "rc.%lu", z);
  return 0;
}

} // extern "C"
