// Driver requests: their records, the caller's memory, and the route of
// each request to the area that answers it (dispatch.cpp).
#pragma once

#include <sys/types.h>

#include <array>

#include "tlb.h"

namespace nrsim {

// The largest record of any request, so that a log entry has a fixed size.
constexpr size_t MAX_RECORD = 48;

struct Request {
  uint32_t number = 0;
  uint32_t size = 0;
  std::array<uint8_t, MAX_RECORD> bytes{};
};

// Copies to or from the caller's memory without faulting on bad pointers,
// as the kernel's copy_{from,to}_user do.  The processes' side.
bool user_copy_in(void *dst, const void *src, size_t n);
bool user_copy_out(void *dst, const void *src, size_t n);
// A write to memory known to be readable: whole, or (at a bad page) not all.
bool user_write(void *dst, const void *src, size_t n);
// This process's id, without a system call once the client is made.
pid_t own_pid();
// The host's side: a request's record, as the process could read and write
// it.  Handlers reach it through copy_in and copy_out.
bool copy_in(void *dst, const void *src, size_t n);
bool copy_out(void *dst, const void *src, size_t n);
// The record copy_in and copy_out reach until the next call; null: none.
void set_record(Record *r);

struct Call {
  Sim &sim;
  Card &card;
  Incarnation &life;
  Desc &desc;
  int fd; // the open file's id
  uint32_t request;
  void *arg;
  const uint8_t *record; // the record's bytes as read in; null if unreadable
  Backing *retarget;     // set by a configure: the processes move their mappings
};
// Returns the ioctl's result (>= 0) or -errno.
using Handler = int (*)(Call &);

uint32_t record_size(uint32_t request);
// Lock held; id names an open file.
int driver_request(Sim &s, int id, Desc &d, uint32_t request, void *arg, Backing *retarget);

int device_info(Call &c); // devinfo.cpp
int driver_info(Call &c); // version.cpp
int power_request(Call &c); // power.cpp
int reset_request(Call &c); // reset.cpp

// The OR of the requests of the live descriptors of c.  Lock held.
uint16_t power_effective(const Sim &s, const Card &c);

} // namespace nrsim
