// The control interface (nrsim.h) that tests and the nrsim module use.
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

int nrsim_clear_log(void) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.logs.clear();
  return 0;
}

// ---- the management controller -------------------------------------------

int nrsim_smc_delay_polls(uint32_t n, unsigned polls) {
  return with_card(n, [polls](Sim &s, Card &c) {
    smc_settle(s, c); // what was due under the old setting
    c.smc.delay = SmcConfig::Delay::Polls;
    c.smc.amount = polls;
    return 0;
  });
}

int nrsim_smc_delay_ms(uint32_t n, unsigned ms) {
  return with_card(n, [ms](Sim &s, Card &c) {
    smc_settle(s, c);
    c.smc.delay = SmcConfig::Delay::Ms;
    c.smc.amount = ms;
    return 0;
  });
}

int nrsim_smc_hang(uint32_t n, int on) {
  return with_card(n, [on](Sim &s, Card &c) {
    smc_settle(s, c);
    c.smc.hang = on != 0;
    smc_settle(s, c); // turned off: the message it held completes now
    return 0;
  });
}

int nrsim_smc_set_reply(uint32_t n, uint8_t code, const uint32_t words[8]) {
  if (!words) return fail(EINVAL);
  return with_card(n, [code, words](Sim &s, Card &c) {
    smc_settle(s, c);
    SmcWords &r = c.smc.replies[code];
    std::copy(words, words + r.size(), r.begin());
    return 0;
  });
}

int nrsim_smc_clear_replies(uint32_t n) {
  return with_card(n, [](Sim &s, Card &c) {
    smc_settle(s, c);
    c.smc.replies.clear();
    return 0;
  });
}

int nrsim_smc_messages(uint32_t n, uint32_t (*words)[8], size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  // The log outlives the card; a card still present first takes what is due.
  if (auto card = s.card(n)) smc_settle(s, *card);
  const Log *log = find_log(s, n);
  if (!log) return 0;
  for (size_t i = 0; i < log->smc.size() && i < cap && words; ++i) {
    const SmcWords &m = log->smc[i];
    std::copy(m.begin(), m.end(), words[i]);
  }
  return static_cast<int>(log->smc.size());
}

int nrsim_smc_queued(uint32_t n) {
  return with_card(n, [](Sim &s, Card &c) {
    smc_settle(s, c);
    return static_cast<int>(c.life->smc.queue.size());
  });
}

// ---- device memory and TLB windows ---------------------------------------

namespace {

// Runs f on card n's tile memory once the range is checked; multicast
// stores made so far reach the tiles first.
template <typename F> int with_tile(uint32_t n, unsigned x, unsigned y, uint64_t addr, const void *buf, size_t len,
                                    F f) {
  return with_card(n, [&](Sim &, Card &c) {
    const Arch *a = arch_of(c);
    if ((!buf && len) || !a || !tile_valid(*a, x, y) || !noc_range_valid(addr, len)) return fail(EINVAL);
    int r = tlb_replicate_all(*c.life);
    if (r == 0) r = f(*c.life);
    return r < 0 ? fail(-r) : 0;
  });
}

} // namespace

int nrsim_mem_read(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, void *buf, size_t len) {
  return with_tile(n, x, y, addr, buf, len, [&](Incarnation &life) { return tile_read(life, x, y, addr, buf, len); });
}

int nrsim_mem_write(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, const void *buf, size_t len) {
  return with_tile(n, x, y, addr, buf, len, [&](Incarnation &life) { return tile_write(life, x, y, addr, buf, len); });
}

int nrsim_windows(uint32_t n, struct nrsim_window *out, size_t cap) {
  return with_card(n, [&](Sim &s, Card &c) {
    size_t i = 0;
    for (const auto &[id, w] : c.life->windows) {
      if (out && i < cap) {
        auto d = s.descs.find(w->fd);
        nrsim_window &o = out[i];
        const Target &t = w->target;
        o = nrsim_window{};
        o.id = id;
        o.fd = d == s.descs.end() ? -1 : d->second.fd;
        o.size = w->size;
        o.uc_mmap_offset = window_offset(id, false);
        o.wc_mmap_offset = window_offset(id, true);
        o.configured = w->configured;
        o.addr = t.addr;
        o.x_end = t.x_end;
        o.y_end = t.y_end;
        o.x_start = t.x_start;
        o.y_start = t.y_start;
        o.noc = t.noc;
        o.mcast = t.mcast;
        o.linked = t.linked;
        o.static_vc = t.static_vc;
        o.mappings = 0; // the processes' own to count
      }
      ++i;
    }
    return static_cast<int>(i);
  });
}

int windows_serials(uint32_t n, uint64_t *out, size_t cap) {
  return with_card(n, [&](Sim &, Card &c) {
    size_t i = 0;
    for (const auto &[id, w] : c.life->windows) {
      if (out && i < cap) out[i] = w->serial;
      ++i;
    }
    return static_cast<int>(i);
  });
}

} // namespace nrsim::ctl
