// The control interface (nrsim.h) that tests and the nrsim module use.
#include <cerrno>
#include <cstring>

#include "sim.h"

using namespace nrsim;

namespace {

int fail(int err) {
  errno = err;
  return -1;
}

// Runs f on card n under the lock; ENODEV if there is no such card.
template <typename F> int with_card(uint32_t n, F f) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  auto card = s.card(n);
  if (!card) return fail(ENODEV);
  return f(s, *card);
}

bool valid_entry_name(const char *name) {
  if (!name || !*name || strchr(name, '/')) return false;
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strlen(name) < 256;
}

const Log *find_log(const Sim &s, uint32_t n) {
  auto it = s.logs.find(n);
  return it == s.logs.end() ? nullptr : &it->second;
}

} // namespace

NRSIM_EXPORT int nrsim_devices(uint32_t *ids, size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  size_t i = 0;
  for (const auto &[n, c] : s.cards) {
    if (i < cap && ids) ids[i] = n;
    ++i;
  }
  return static_cast<int>(i);
}

NRSIM_EXPORT long nrsim_add(uint16_t device_id, const char *bdf) {
  uint16_t domain, bus_dev_fn;
  if (!bdf || !parse_bdf(bdf, &domain, &bus_dev_fn)) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  uint32_t n = 0;
  while (s.name_taken(std::to_string(n))) {
    if (n == UINT32_MAX) return fail(ENOSPC);
    ++n;
  }
  return s.add_card(n, default_identity(device_id, domain, bus_dev_fn));
}

NRSIM_EXPORT long nrsim_add_at(uint32_t number, uint16_t device_id, const char *bdf) {
  uint16_t domain, bus_dev_fn;
  if (!bdf || !parse_bdf(bdf, &domain, &bus_dev_fn)) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  long r = s.add_card(number, default_identity(device_id, domain, bus_dev_fn));
  return r < 0 ? fail(static_cast<int>(-r)) : r;
}

NRSIM_EXPORT int nrsim_remove(uint32_t n) {
  return with_card(n, [n](Sim &s, Card &) {
    s.remove_card(n);
    return 0;
  });
}

NRSIM_EXPORT int nrsim_sever(uint32_t n) {
  return with_card(n, [](Sim &s, Card &c) {
    s.sever_card(c);
    return 0;
  });
}

NRSIM_EXPORT int nrsim_reset(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.reset();
  return 0;
}

NRSIM_EXPORT int nrsim_identity(uint32_t n, struct nrsim_identity *out) {
  if (!out) return fail(EINVAL);
  return with_card(n, [out](Sim &, Card &c) {
    *out = c.identity;
    return 0;
  });
}

NRSIM_EXPORT int nrsim_set_identity(uint32_t n, const struct nrsim_identity *id) {
  if (!id) return fail(EINVAL);
  return with_card(n, [id](Sim &, Card &c) {
    c.identity = *id;
    apply_identity(c);
    return 0;
  });
}

NRSIM_EXPORT int nrsim_open_count(uint32_t n) {
  return with_card(n, [](Sim &, Card &c) { return c.life->holders; });
}

NRSIM_EXPORT int nrsim_fd_count(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  return static_cast<int>(s.descs.size());
}

NRSIM_EXPORT int nrsim_waiting(uint32_t n) {
  return with_card(n, [n](Sim &s, Card &) {
    auto it = s.waiting.find(n);
    return it == s.waiting.end() ? 0 : it->second;
  });
}

NRSIM_EXPORT int nrsim_set_driver(int state) {
  if (state != NRSIM_DRIVER_LOADED && state != NRSIM_DRIVER_UNLOADED && state != NRSIM_DRIVER_DENIED)
    return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.driver = state;
  s.cv.notify_all(); // an unloaded driver fails its waiters
  return 0;
}

NRSIM_EXPORT int nrsim_add_entry(const char *name, int kind) {
  if (!valid_entry_name(name) || kind < NRSIM_ENTRY_CHR || kind > NRSIM_ENTRY_UNKNOWN) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (s.name_taken(name)) return fail(EEXIST);
  s.entries.push_back({name, kind});
  return 0;
}

NRSIM_EXPORT int nrsim_remove_entry(const char *name) {
  if (!name) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
    if (it->name == name) {
      s.entries.erase(it);
      return 0;
    }
  }
  return fail(ENOENT);
}

NRSIM_EXPORT int nrsim_fail(uint32_t n, uint32_t request, int err, unsigned times) {
  if (err <= 0) return fail(EINVAL);
  return with_card(n, [&](Sim &, Card &c) {
    c.faults[request] = Fault{err, times};
    return 0;
  });
}

NRSIM_EXPORT int nrsim_fail_open(uint32_t n, int err, unsigned times) {
  if (err <= 0) return fail(EINVAL);
  return with_card(n, [&](Sim &, Card &c) {
    c.open_fault = Fault{err, times};
    return 0;
  });
}

NRSIM_EXPORT int nrsim_opens(uint32_t n, uint32_t *flags, size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  const Log *log = find_log(s, n);
  if (!log) return 0;
  for (size_t i = 0; i < log->opens.size() && i < cap && flags; ++i) flags[i] = log->opens[i];
  return static_cast<int>(log->opens.size());
}

NRSIM_EXPORT int nrsim_request_count(uint32_t n) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  const Log *log = find_log(s, n);
  return log ? static_cast<int>(log->requests.size()) : 0;
}

NRSIM_EXPORT long nrsim_request(uint32_t n, size_t i, uint32_t *number, uint8_t *bytes, size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  const Log *log = find_log(s, n);
  if (!log || i >= log->requests.size()) return fail(ERANGE);
  const Request &r = log->requests[i];
  if (number) *number = r.number;
  if (bytes) memcpy(bytes, r.bytes.data(), std::min(cap, r.bytes.size()));
  return static_cast<long>(r.bytes.size());
}

NRSIM_EXPORT int nrsim_clear_log(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.logs.clear();
  return 0;
}
