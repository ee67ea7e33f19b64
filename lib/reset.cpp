// Device reset: exclusive hold, first step, wait for the card's return on
// the PCI bus, second step.
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "driver.h"
#include "internal.h"
#include "nrhal.h"

namespace {

// Closes the descriptor and fails with `err`.
int close_and_fail(nr_session *s, int err) {
  nr_close(s);
  return nr::fail(err);
}

// One reset step; 0, or the errno to fail with.
int step(const nr_session *s, nr::drv::reset_device *rec, uint32_t which) {
  rec->flags = which;
  if (nr::ioctl_req(s->fd, nr::drv::NR_IOCTL_RESET_DEVICE, rec) != 0) return errno;
  return rec->result != 0 ? EIO : 0;
}

// The device counts as back when its directory reappeared after vanishing,
// or, if it never vanished, when bit 6 of its Command register reads clear.
bool is_back(const char *dir, const char *config, bool *vanished) {
  if (access(dir, F_OK) != 0) {
    *vanished = true;
    return false;
  }
  if (*vanished) return true;
  int fd = open(config, O_RDONLY);
  if (fd < 0) return false;
  unsigned char command;
  ssize_t n = pread(fd, &command, 1, 4);
  close(fd);
  return n == 1 && !(command & 0x40);
}

} // namespace

extern "C" {

int nr_reset(const uint32_t *dev) {
  if (!dev) return nr::fail(EINVAL);
  nr_session s;
  if (nr_open(dev, &s, NR_OPEN_EXCLUSIVE | NR_OPEN_NONBLOCKING) != 0) return -1;
  nr_info info;
  if (nr_dev_info(&s, &info) != 0) return close_and_fail(&s, errno);

  nr::Bdf bdf;
  nr::format_bdf(bdf, info);
  char dir[64], config[80];
  snprintf(dir, sizeof dir, "/sys/bus/pci/devices/%s", bdf);
  snprintf(config, sizeof config, "%s/config", dir);

  nr::drv::reset_device rec{};
  rec.in_output_size_bytes = 8;
  if (int err = step(&s, &rec, nr::drv::NR_RESET_BEGIN)) return close_and_fail(&s, err);

  const time_t start = time(nullptr);
  bool vanished = false;
  for (;;) { // the first check comes at once, without a pause
    if (time(nullptr) - start > NR_RESET_DEADLINE_S) return close_and_fail(&s, ETIMEDOUT);
    if (is_back(dir, config, &vanished)) break;
    usleep(NR_RESET_POLL_US);
  }
  if (int err = step(&s, &rec, nr::drv::NR_RESET_FINISH)) return close_and_fail(&s, err);
  return nr_close(&s);
}

int nr_reset_with(nr_session *session) {
  if (!nr::ready(session)) return -1;
  if (nr_close(session) != 0) {
    session->fd = -1; // Linux released the descriptor anyway
    return -1;
  }
  return nr_reset(&session->id);
}

} // extern "C"
