// Shared by the fuzz targets: a failed property prints what broke and the
// input's size, then aborts, which both libFuzzer and the replay driver
// report as a crash with the offending input.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "nrhal.h"
#include "nrsim.h"

namespace fuzz {

[[noreturn]] inline void fail(const char *what, ...) {
  va_list ap;
  va_start(ap, what);
  fputs("fuzz property failed: ", stderr);
  vfprintf(stderr, what, ap);
  fputc('\n', stderr);
  va_end(ap);
  abort();
}

#define FUZZ_CHECK(cond, ...)                                                                                          \
  do {                                                                                                                 \
    if (!(cond)) ::fuzz::fail(__VA_ARGS__);                                                                            \
  } while (0)

// Reads the input front to back; past its end every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  // Each read is its own statement: the operands of | (and a call's
  // arguments) are evaluated in no fixed order.
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() {
    uint16_t low = u8();
    return static_cast<uint16_t>(low | u8() << 8);
  }
  uint32_t u32() {
    uint32_t low = u16();
    return low | static_cast<uint32_t>(u16()) << 16;
  }
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t *take(size_t n) {
    if (n > left()) n = left();
    const uint8_t *at = p_;
    p_ += n;
    return at;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

// The lowest free descriptor number: a descriptor left open by a call under
// test shows as a change of it (or of the simulator's own count).
inline int lowest_free_fd() {
  int fd = fcntl(0, F_DUPFD, 0);
  if (fd < 0) fail("F_DUPFD failed");
  close(fd);
  return fd;
}

// Descriptors and mappings as they were, to compare with after each call.
struct Leaks {
  int sim_fds = nrsim_fd_count();
  int free_fd = lowest_free_fd();
  int mappings = nrsim_mapping_count();

  void check(const char *call) const {
    FUZZ_CHECK(nrsim_fd_count() == sim_fds, "%s left a simulator descriptor open (%d, was %d)", call,
               nrsim_fd_count(), sim_fds);
    FUZZ_CHECK(lowest_free_fd() == free_fd, "%s left a descriptor open (lowest free %d, was %d)", call,
               lowest_free_fd(), free_fd);
    FUZZ_CHECK(nrsim_mapping_count() == mappings, "%s left a mapping (%d, was %d)", call, nrsim_mapping_count(),
               mappings);
  }
};

// The simulator must be the one answering the library (its preload in
// front of the C library, and of the sanitizer's interceptors, which pass
// calls on to the next definition): a binary run without it would test
// nothing while passing.
inline void require_simulator() {
  uint32_t sim_ids[4], lib_ids[4];
  int cards = nrsim_devices(sim_ids, 4);
  ssize_t seen = nr_dev_scan(4, lib_ids);
  if (cards != 2 || seen != 2 || lib_ids[0] != 0 || lib_ids[1] != 1) {
    fprintf(stderr, "fuzz: the library sees %zd cards, the simulator has %d; want its two launch cards: run under "
                    "sim/nrsim-run\n", seen, cards);
    exit(2);
  }
}

} // namespace fuzz
