// Driver requests: logging, injected faults, stale descriptors, and the
// route of each request number to the area that answers it.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim.h"

// Memcheck takes process_vm_writev for a write into another process, and so
// would call what the simulator answers (a read's bytes, a record's output)
// uninitialised: the client request tells it, at no cost outside valgrind.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define NRSIM_WRITTEN(p, n) VALGRIND_MAKE_MEM_DEFINED(p, n)
#else
#define NRSIM_WRITTEN(p, n) ((void)0)
#endif

namespace nrsim {

namespace {

struct Route {
  uint32_t number;
  uint32_t record_size; // bytes logged from the argument
  Handler handler;      // null: not answered yet (ENOTTY)
};

// One line per request the native library makes; each area answers its own.
constexpr Route ROUTES[] = {
    {0xFA00, 24, device_info},   // device information
    {0xFA05, 16, driver_info},   // driver information
    {0xFA06, 16, reset_request}, // reset
    {0xFA0B, 48, tlb_allocate},  // TLB allocate
    {0xFA0C, 4, tlb_free},       // TLB free
    {0xFA0D, 48, tlb_configure}, // TLB configure
    {0xFA0F, 40, power_request}, // power
    {0xFA11, 48, smc_message},   // SMC message
};

constexpr bool records_fit_log() {
  for (const Route &r : ROUTES)
    if (r.record_size > MAX_RECORD) return false;
  return true;
}
static_assert(records_fit_log(), "a record does not fit a log entry");

const Route *route(uint32_t request) {
  for (const Route &r : ROUTES)
    if (r.number == request) return &r;
  return nullptr;
}

// process_vm_{readv,writev} on ourselves report a bad address as EFAULT
// instead of faulting.  Where they are not allowed, fall back to memcpy.
bool copy_self(void *dst, const void *src, size_t n, bool out) {
  if (n == 0) return true;
  if (!src || !dst) return false;
  int saved = errno;
  iovec here{out ? const_cast<void *>(src) : dst, n};
  iovec there{out ? dst : const_cast<void *>(src), n};
  pid_t self = own_pid();
  ssize_t r = out ? process_vm_writev(self, &here, 1, &there, 1, 0)
                  : process_vm_readv(self, &here, 1, &there, 1, 0);
  bool unavailable = r < 0 && (errno == ENOSYS || errno == EPERM);
  errno = saved;
  if (unavailable) {
    memcpy(dst, src, n);
    return true;
  }
  if (r != static_cast<ssize_t>(n)) return false;
  if (out) NRSIM_WRITTEN(dst, n);
  return true;
}

} // namespace

bool user_copy_in(void *dst, const void *src, size_t n) { return copy_self(dst, src, n, false); }
bool user_write(void *dst, const void *src, size_t n) { return copy_self(dst, src, n, true); }
bool user_copy_out(void *dst, const void *src, size_t n) {
  // Probe the whole destination first, so that a record running into an
  // unmapped page is left as it was rather than half written.  Records are
  // small: probe through a buffer on the stack, not the heap.
  unsigned char probe[256];
  for (size_t done = 0; done < n; done += sizeof probe)
    if (!copy_self(probe, static_cast<const char *>(dst) + done, std::min(sizeof probe, n - done), false))
      return false;
  return copy_self(dst, src, n, true);
}

namespace {
// The record of the request the host is answering (its one thread does).
Record *current = nullptr;

bool within(const void *p, size_t n) {
  auto *at = static_cast<const uint8_t *>(p);
  return current && at >= current->bytes && n <= current->size && at - current->bytes <= static_cast<ptrdiff_t>(current->size - n);
}
} // namespace

void set_record(Record *r) { current = r; }

bool copy_in(void *dst, const void *src, size_t n) {
  if (!within(src, n) || !current->readable) return false;
  memcpy(dst, src, n);
  return true;
}

bool copy_out(void *dst, const void *src, size_t n) {
  if (!within(dst, n) || !current->writable) return false;
  size_t at = static_cast<size_t>(static_cast<uint8_t *>(dst) - current->bytes);
  memcpy(dst, src, n);
  current->lo = std::min(current->lo, at);
  current->hi = std::max(current->hi, at + n);
  return true;
}

uint32_t record_size(uint32_t request) {
  const Route *r = route(request);
  return r ? r->record_size : 0;
}

int driver_request(Sim &s, int fd, Desc &d, uint32_t request, void *arg, Backing *retarget) {
  if (d.kind != Desc::Kind::Device) return -ENOTTY;
  Card &card = *d.card;
  telem_start(s); // a program that talks to a card sees its firmware run

  // The log shows the record as the caller passed it, before any answer.
  const Route *r = route(request);
  Request logged;
  logged.number = request;
  logged.size = r ? r->record_size : 0;
  bool readable = copy_in(logged.bytes.data(), arg, logged.size);
  static_assert(sizeof(Record::bytes) >= MAX_RECORD);
  if (!readable) logged.size = 0;
  s.logs[card.number].requests.push(logged, s.log_limit);

  if (auto it = card.faults.find(request); it != card.faults.end())
    if (int err = it->second.take()) return -err;
  if (d.life->retired) return -ENODEV;

  if (!r || !r->handler) return -ENOTTY;
  Call call{s, card, *d.life, d, fd, request, arg, readable ? logged.bytes.data() : nullptr, retarget};
  return r->handler(call);
}

} // namespace nrsim
