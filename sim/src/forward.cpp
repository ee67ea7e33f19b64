// The control interface (nrsim.h) in every process under a host: each call
// goes to the host, which answers it on the shared state (host.cpp); lists
// and memory travel in pieces.  What concerns this process alone (its
// descriptors and mappings) is answered here.
#include <cerrno>
#include <cstring>
#include <vector>

#include "client.h"
#include "sim.h"

using namespace nrsim;

namespace {

template <typename R> R result(int64_t r) {
  if (r < 0) {
    errno = static_cast<int>(-r);
    return -1;
  }
  return static_cast<R>(r);
}

// A control whose arguments are all numbers.
template <typename R = int, typename... A> R numbers(Op op, A... args) {
  return result<R>(ask(op, {static_cast<int64_t>(args)...}));
}

template <typename R = int> R with_text(Op op, std::initializer_list<int64_t> args, const char *text) {
  std::vector<int64_t> a(args);
  a.push_back(text != nullptr);
  size_t len = text ? strlen(text) : 0;
  int64_t v[6] = {};
  for (size_t i = 0; i < a.size() && i < 6; ++i) v[i] = a[i];
  return result<R>(ask(op, {v[0], v[1], v[2], v[3], v[4], v[5]}, text, len));
}

// A list the host writes in pieces: fills out[0, cap) and returns the length.
template <typename T> int list(Op op, std::initializer_list<int64_t> head, T *out, size_t cap) {
  std::vector<int64_t> a(head);
  size_t at = a.size();
  a.resize(at + 2);
  int64_t total = 0;
  size_t got = 0;
  do {
    a[at] = static_cast<int64_t>(got);
    a[at + 1] = static_cast<int64_t>(out ? cap - got : 0);
    Reply reply;
    int64_t v[6] = {};
    for (size_t i = 0; i < a.size(); ++i) v[i] = a[i];
    total = ask(op, {v[0], v[1], v[2], v[3], v[4], v[5]}, nullptr, 0, &reply);
    if (total < 0) return result<int>(total);
    size_t n = reply.payload.size() / sizeof(T);
    if (out && n) memcpy(static_cast<void *>(out + got), reply.payload.data(), n * sizeof(T));
    got += n;
    if (n == 0) break;
  } while (out && got < cap && got < static_cast<size_t>(total));
  return static_cast<int>(total);
}

} // namespace

NRSIM_EXPORT int nrsim_devices(uint32_t *ids, size_t cap) { return list(Op::C_devices, {}, ids, cap); }

NRSIM_EXPORT long nrsim_add(uint16_t device_id, const char *bdf) {
  return with_text<long>(Op::C_add, {device_id}, bdf);
}

NRSIM_EXPORT long nrsim_add_at(uint32_t number, uint16_t device_id, const char *bdf) {
  return with_text<long>(Op::C_add_at, {number, device_id}, bdf);
}

NRSIM_EXPORT int nrsim_remove(uint32_t n) { return numbers(Op::C_remove, n); }
NRSIM_EXPORT int nrsim_sever(uint32_t n) { return numbers(Op::C_sever, n); }
NRSIM_EXPORT int nrsim_reset(void) { return numbers(Op::C_reset); }

NRSIM_EXPORT int nrsim_identity(uint32_t n, struct nrsim_identity *out) {
  if (!out) return control_fail(EINVAL);
  Reply reply;
  int r = result<int>(ask(Op::C_identity, {n}, nullptr, 0, &reply));
  if (r >= 0 && reply.payload.size() == sizeof *out) memcpy(out, reply.payload.data(), sizeof *out);
  return r;
}

NRSIM_EXPORT int nrsim_set_identity(uint32_t n, const struct nrsim_identity *id) {
  if (!id) return control_fail(EINVAL);
  return result<int>(ask(Op::C_set_identity, {n}, id, sizeof *id));
}

NRSIM_EXPORT int nrsim_open_count(uint32_t n) { return numbers(Op::C_open_count, n); }

NRSIM_EXPORT int nrsim_fd_count(void) {
  Client &c = client();
  std::lock_guard lock(c.mu);
  return static_cast<int>(c.fds.size());
}

NRSIM_EXPORT int nrsim_waiting(uint32_t n) { return numbers(Op::C_waiting, n); }
NRSIM_EXPORT int nrsim_set_driver(int state) { return numbers(Op::C_set_driver, state); }

NRSIM_EXPORT int nrsim_add_entry(const char *name, int kind) { return with_text(Op::C_add_entry, {kind}, name); }
NRSIM_EXPORT int nrsim_remove_entry(const char *name) { return with_text(Op::C_remove_entry, {}, name); }

NRSIM_EXPORT int nrsim_fail(uint32_t n, uint32_t request, int err, unsigned times) {
  return numbers(Op::C_fail, n, request, err, times);
}
NRSIM_EXPORT int nrsim_deny(uint32_t n, int on) { return numbers(Op::C_deny, n, on); }
NRSIM_EXPORT int nrsim_fail_open(uint32_t n, int err, unsigned times) {
  return numbers(Op::C_fail_open, n, err, times);
}

NRSIM_EXPORT int nrsim_set_log_limit(size_t entries) {
  // Counts are returned as int.
  if (entries == 0 || entries > static_cast<size_t>(INT32_MAX)) return control_fail(EINVAL);
  return numbers(Op::C_set_log_limit, entries);
}

NRSIM_EXPORT int nrsim_opens(uint32_t n, uint32_t *flags, size_t cap) {
  return list(Op::C_opens, {n}, flags, cap);
}

NRSIM_EXPORT int nrsim_request_count(uint32_t n) { return numbers(Op::C_request_count, n); }

NRSIM_EXPORT long nrsim_request(uint32_t n, size_t i, uint32_t *number, uint8_t *bytes, size_t cap) {
  Reply reply;
  long r = result<long>(ask(Op::C_request, {n, static_cast<int64_t>(i)}, nullptr, 0, &reply));
  if (r < 0 || reply.payload.size() < sizeof(uint32_t)) return r;
  if (number) memcpy(number, reply.payload.data(), sizeof *number);
  if (bytes) memcpy(bytes, reply.payload.data() + sizeof(uint32_t), std::min<size_t>(cap, static_cast<size_t>(r)));
  return r;
}

NRSIM_EXPORT int nrsim_requests(uint32_t n, size_t first, struct nrsim_request *out, size_t cap) {
  int64_t total = 0;
  size_t got = 0;
  do {
    Reply reply;
    total = ask(Op::C_requests, {n, static_cast<int64_t>(first + got), static_cast<int64_t>(out ? cap - got : 0)},
                nullptr, 0, &reply);
    if (total < 0) return result<int>(total);
    size_t k = reply.payload.size() / sizeof *out;
    if (out && k) memcpy(static_cast<void *>(out + got), reply.payload.data(), k * sizeof *out);
    got += k;
    if (k == 0) break;
  } while (out && got < cap);
  return static_cast<int>(total);
}

NRSIM_EXPORT int nrsim_clear_log(void) { return numbers(Op::C_clear_log); }

NRSIM_EXPORT int nrsim_smc_delay_polls(uint32_t n, unsigned polls) { return numbers(Op::C_smc_delay_polls, n, polls); }
NRSIM_EXPORT int nrsim_smc_delay_ms(uint32_t n, unsigned ms) { return numbers(Op::C_smc_delay_ms, n, ms); }
NRSIM_EXPORT int nrsim_smc_hang(uint32_t n, int on) { return numbers(Op::C_smc_hang, n, on); }

NRSIM_EXPORT int nrsim_smc_set_reply(uint32_t n, uint8_t code, const uint32_t words[8]) {
  if (!words) return control_fail(EINVAL);
  return result<int>(ask(Op::C_smc_set_reply, {n, code}, words, 8 * sizeof(uint32_t)));
}

NRSIM_EXPORT int nrsim_smc_clear_replies(uint32_t n) { return numbers(Op::C_smc_clear_replies, n); }

NRSIM_EXPORT int nrsim_smc_messages(uint32_t n, uint32_t (*words)[8], size_t cap) {
  struct Msg {
    uint32_t w[8];
  };
  static_assert(sizeof(Msg) == sizeof *words);
  return list(Op::C_smc_messages, {n}, reinterpret_cast<Msg *>(words), cap);
}

NRSIM_EXPORT int nrsim_smc_queued(uint32_t n) { return numbers(Op::C_smc_queued, n); }

NRSIM_EXPORT int nrsim_mem_read(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, void *buf, size_t len) {
  if (!buf && len) return control_fail(EINVAL);
  auto *out = static_cast<char *>(buf);
  size_t done = 0;
  do {
    size_t piece = std::min(len - done, CHUNK);
    Reply reply;
    int64_t r = ask(Op::C_mem_read,
                    {n, x, y, static_cast<int64_t>(addr + done), static_cast<int64_t>(addr), static_cast<int64_t>(len)},
                    nullptr, 0, &reply);
    if (r < 0) return result<int>(r);
    if (piece) memcpy(out + done, reply.payload.data(), std::min(piece, reply.payload.size()));
    done += piece;
  } while (done < len);
  return 0;
}

NRSIM_EXPORT int nrsim_mem_write(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, const void *buf, size_t len) {
  if (!buf && len) return control_fail(EINVAL);
  const auto *in = static_cast<const char *>(buf);
  size_t done = 0;
  do {
    size_t piece = std::min(len - done, CHUNK);
    int64_t r = ask(Op::C_mem_write,
                    {n, x, y, static_cast<int64_t>(addr + done), static_cast<int64_t>(addr), static_cast<int64_t>(len)},
                    in ? in + done : nullptr, piece);
    if (r < 0) return result<int>(r);
    done += piece;
  } while (done < len);
  return 0;
}

NRSIM_EXPORT int nrsim_windows(uint32_t n, struct nrsim_window *out, size_t cap) {
  struct Entry {
    nrsim_window w;
    uint64_t serial;
  };
  std::vector<Entry> got(out ? cap : 0);
  int total = list(Op::C_windows, {n}, out ? got.data() : nullptr, got.size());
  if (total < 0 || !out) return total;
  // Mappings are each process's own.
  Client &c = client();
  std::lock_guard lock(c.mu);
  for (size_t i = 0; i < cap && i < static_cast<size_t>(total); ++i) {
    out[i] = got[i].w;
    auto it = c.by_window.find(got[i].serial);
    out[i].mappings = it == c.by_window.end() ? 0 : static_cast<uint32_t>(it->second.size());
  }
  return total;
}

NRSIM_EXPORT int nrsim_mapping_count(void) {
  Client &c = client();
  std::lock_guard lock(c.mu);
  return static_cast<int>(c.mappings.size());
}

NRSIM_EXPORT int nrsim_telem_period(uint32_t n, unsigned ms) { return numbers(Op::C_telem_period, n, ms); }
NRSIM_EXPORT int nrsim_telem_set(uint32_t n, uint16_t tag, uint32_t value) {
  return numbers(Op::C_telem_set, n, tag, value);
}

NRSIM_EXPORT int nrsim_telem_get(uint32_t n, uint16_t tag, uint32_t *value) {
  if (!value) return control_fail(EINVAL);
  Reply reply;
  int r = result<int>(ask(Op::C_telem_get, {n, tag}, nullptr, 0, &reply));
  if (r >= 0 && reply.payload.size() == sizeof *value) memcpy(value, reply.payload.data(), sizeof *value);
  return r;
}

NRSIM_EXPORT int nrsim_telem_table(uint32_t n, const struct nrsim_telem_entry *entries, size_t count,
                                   uint32_t count_word) {
  if ((!entries && count) || count > NRSIM_TELEM_TABLE_MAX) return control_fail(EINVAL);
  return result<int>(ask(Op::C_telem_table, {n, count_word}, entries, count * sizeof *entries));
}

NRSIM_EXPORT int nrsim_telem_pointers(uint32_t n, uint32_t table, uint32_t data) {
  return numbers(Op::C_telem_pointers, n, table, data);
}
NRSIM_EXPORT int nrsim_telem_restore(uint32_t n) { return numbers(Op::C_telem_restore, n); }

NRSIM_EXPORT int nrsim_power(uint32_t n, uint16_t *effective) {
  if (!effective) return control_fail(EINVAL);
  Reply reply;
  int r = result<int>(ask(Op::C_power, {n}, nullptr, 0, &reply));
  if (r >= 0 && reply.payload.size() == sizeof *effective) memcpy(effective, reply.payload.data(), sizeof *effective);
  return r;
}

NRSIM_EXPORT int nrsim_reset_mode(uint32_t n, int mode) { return numbers(Op::C_reset_mode, n, mode); }
NRSIM_EXPORT int nrsim_reset_away_ms(uint32_t n, unsigned ms, int never) {
  return numbers(Op::C_reset_away_ms, n, ms, never);
}
NRSIM_EXPORT int nrsim_reset_result(uint32_t n, uint32_t begin, uint32_t finish) {
  return numbers(Op::C_reset_result, n, begin, finish);
}
NRSIM_EXPORT int nrsim_reset_count(uint32_t n) { return numbers(Op::C_reset_count, n); }

NRSIM_EXPORT int nrsim_set_kmd_version(uint8_t major, uint8_t minor, uint8_t patch) {
  return numbers(Op::C_set_kmd_version, major, minor, patch);
}

NRSIM_EXPORT int nrsim_set_fw_version(uint32_t n, const char *text) {
  return with_text(Op::C_set_fw_version, {n}, text);
}

NRSIM_EXPORT int nrsim_list_descending(int on) { return numbers(Op::C_list_descending, on); }
