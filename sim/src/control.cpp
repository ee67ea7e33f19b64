// The host's side of the control interface (nrsim.h) for cards, the device
// directory, faults and the logs; each area answers its own controls.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "sim.h"

using namespace nrsim;

namespace {

int fail(int err) { return control_fail(err); }

bool valid_entry_name(const char *name) {
  if (!name || !*name || strchr(name, '/')) return false;
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strlen(name) < 256;
}

const Log *find_log(const Sim &s, uint32_t n) {
  auto it = s.logs.find(n);
  return it == s.logs.end() ? nullptr : &it->second;
}

} // namespace

namespace nrsim::ctl {

int nrsim_devices(uint32_t *ids, size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  size_t i = 0;
  for (const auto &[n, c] : s.cards) {
    if (i < cap && ids) ids[i] = n;
    ++i;
  }
  return static_cast<int>(i);
}

long nrsim_add(uint16_t device_id, const char *bdf) {
  uint16_t domain, bus_dev_fn;
  if (!bdf || !parse_bdf(bdf, &domain, &bus_dev_fn)) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  uint32_t n = 0;
  while (s.name_taken(std::to_string(n))) {
    if (n == UINT32_MAX) return fail(ENOSPC);
    ++n;
  }
  long r = s.add_card(n, default_identity(device_id, domain, bus_dev_fn));
  telem_start(s);
  return r;
}

long nrsim_add_at(uint32_t number, uint16_t device_id, const char *bdf) {
  uint16_t domain, bus_dev_fn;
  if (!bdf || !parse_bdf(bdf, &domain, &bus_dev_fn)) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  long r = s.add_card(number, default_identity(device_id, domain, bus_dev_fn));
  telem_start(s);
  return r < 0 ? fail(static_cast<int>(-r)) : r;
}

int nrsim_remove(uint32_t n) {
  return with_card(n, [n](Sim &s, Card &) {
    s.remove_card(n);
    return 0;
  });
}

int nrsim_sever(uint32_t n) {
  return with_card(n, [](Sim &s, Card &c) {
    s.sever_card(c);
    return 0;
  });
}

int nrsim_reset(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.reset();
  telem_start(s);
  return 0;
}

int nrsim_identity(uint32_t n, struct nrsim_identity *out) {
  if (!out) return fail(EINVAL);
  return with_card(n, [out](Sim &, Card &c) {
    *out = c.identity;
    return 0;
  });
}

int nrsim_set_identity(uint32_t n, const struct nrsim_identity *id) {
  if (!id) return fail(EINVAL);
  return with_card(n, [id](Sim &, Card &c) {
    c.identity = *id;
    apply_identity(c);
    return 0;
  });
}

int nrsim_open_count(uint32_t n) {
  return with_card(n, [](Sim &, Card &c) { return c.life->holders; });
}

int nrsim_waiting(uint32_t n) {
  return with_card(n, [n](Sim &s, Card &) {
    auto it = s.waiting.find(n);
    return it == s.waiting.end() ? 0 : it->second;
  });
}

int nrsim_set_driver(int state) {
  if (state != NRSIM_DRIVER_LOADED && state != NRSIM_DRIVER_UNLOADED && state != NRSIM_DRIVER_DENIED)
    return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.driver = state;
  s.wake_openers(); // an unloaded driver fails its waiters
  return 0;
}

int nrsim_add_entry(const char *name, int kind) {
  if (!valid_entry_name(name) || kind < NRSIM_ENTRY_CHR || kind > NRSIM_ENTRY_UNKNOWN) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  if (s.name_taken(name)) return fail(EEXIST);
  s.entries.push_back({name, kind});
  return 0;
}

int nrsim_remove_entry(const char *name) {
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

int nrsim_fail(uint32_t n, uint32_t request, int err, unsigned times) {
  if (err <= 0) return fail(EINVAL);
  return with_card(n, [&](Sim &, Card &c) {
    c.faults[request] = Fault{err, times};
    return 0;
  });
}

int nrsim_fail_open(uint32_t n, int err, unsigned times) {
  if (err <= 0) return fail(EINVAL);
  return with_card(n, [&](Sim &, Card &c) {
    c.open_fault = Fault{err, times};
    return 0;
  });
}

int nrsim_deny(uint32_t n, int on) {
  return with_card(n, [&](Sim &, Card &c) {
    c.denied = on != 0;
    return 0;
  });
}

int nrsim_set_log_limit(size_t entries) {
  // Counts are returned as int.
  if (entries == 0 || entries > static_cast<size_t>(INT_MAX)) return fail(EINVAL);
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.log_limit = entries;
  for (auto &[n, log] : s.logs) {
    log.opens.trim(entries);
    log.requests.trim(entries);
    log.smc.trim(entries);
  }
  return 0;
}

int nrsim_opens(uint32_t n, uint32_t *flags, size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  const Log *log = find_log(s, n);
  if (!log) return 0;
  for (size_t i = 0; i < log->opens.size() && i < cap && flags; ++i) flags[i] = log->opens[i];
  return static_cast<int>(log->opens.size());
}

int nrsim_request_count(uint32_t n) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  const Log *log = find_log(s, n);
  return log ? static_cast<int>(log->requests.size()) : 0;
}

long nrsim_request(uint32_t n, size_t i, uint32_t *number, uint8_t *bytes, size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  const Log *log = find_log(s, n);
  if (!log || i >= log->requests.size()) return fail(ERANGE);
  const Request &r = log->requests[i];
  if (number) *number = r.number;
  if (bytes) memcpy(bytes, r.bytes.data(), std::min<size_t>(cap, r.size));
  return static_cast<long>(r.size);
}

static_assert(sizeof(nrsim_request::bytes) == MAX_RECORD, "a logged record fits whole");

int nrsim_requests(uint32_t n, size_t first, struct nrsim_request *out, size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  const Log *log = find_log(s, n);
  if (!log) return 0;
  for (size_t i = 0; i < cap && out && first + i < log->requests.size(); ++i) {
    const Request &r = log->requests[first + i];
    struct nrsim_request &o = out[i];
    o = {};
    o.number = r.number;
    o.size = r.size;
    memcpy(o.bytes, r.bytes.data(), std::min<size_t>(sizeof o.bytes, r.size));
  }
  return static_cast<int>(log->requests.size());
}

int nrsim_clear_log(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.logs.clear();
  return 0;
}

} // namespace nrsim::ctl
