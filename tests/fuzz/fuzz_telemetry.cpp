// nr_telemetry over arbitrary telemetry tile contents: pointer registers,
// table and data array, with the simulated firmware frozen so that only the
// input decides what the tile holds.
//
// Input, little-endian:
//   u8   mode: bit 0 the card (0: 0x401E, card 0; 1: 0xB140, card 1); bits 1
//        and 2 take the table and data pointers as given, else folded into
//        the valid range 0x10000000..0x1007FFFF
//   u32  table pointer, u32 data pointer (the two registers' words)
//   u8   p % 9 load changes, then p of (u16 load number, u32 xor mask): the
//        load with that number, counted from 0 over the whole call, reads
//        its word xor the mask, as if the firmware were writing meanwhile
//   u16  table length % 1025, then that many bytes, written at the table
//        pointer (when it is in range)
//   the rest: data bytes, written at the data pointer (when in range)
// Everything the previous input wrote is zeroed first.
//
// Properties: the result is what a model of the reader computes from the
// same bytes: 0 with the model's 69 slots, or -1 with EIO (never ENOTSUP or
// anything else); the reader loads the same words in the same order as the
// model; and no window, mapping or descriptor is left.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "fuzz.h"

extern "C" uint32_t (*nr_telemetry_seam)(const volatile uint32_t *p, uint32_t v);

namespace {

constexpr uint32_t MEM_BASE = 0x10000000;
constexpr uint32_t PTR_LAST = 0x1007FFFF;
// Loads reach at most 0x1007FFFF + 4 * 0xFFFE + 3 and 0x1007FFFF + 8 + 4 * 127 + 3.
constexpr uint32_t MEM_END = 0x100C0000;
constexpr uint32_t MAX_ENTRIES = 128;
constexpr uint16_t NONE = 0xFFFF;
constexpr unsigned HEARTBEAT = 32;
constexpr size_t MAX_LOADS = 2 + 1 + MAX_ENTRIES + 1 + 3 * (68 + 2);

struct Card {
  uint32_t number;
  uint16_t device_id;
  uint8_t x, y;
  uint32_t table_reg, data_reg;
  nr_session session;
  std::vector<uint8_t> mem;                          // the model: MEM_BASE..MEM_END
  std::vector<std::pair<uint32_t, size_t>> written;  // zeroed before the next input
};
Card cards[] = {
    {0, 0x401E, 0, 2, 0x800301D0, 0x800301D4, {}, {}, {}},
    {1, 0xB140, 8, 0, 0x80030434, 0x80030430, {}, {}, {}},
};
fuzz::Leaks *baseline;

void device_write(const Card &c, uint32_t addr, const void *buf, size_t len) {
  if (nrsim_mem_write(c.number, c.x, c.y, addr, buf, len) != 0) fuzz::fail("cannot write card %u at %#x", c.number, addr);
}

void put(Card &c, uint32_t addr, const uint8_t *buf, size_t len) {
  if (addr < MEM_BASE || addr >= MEM_END) return;
  if (len > MEM_END - addr) len = MEM_END - addr;
  if (!len) return;
  device_write(c, addr, buf, len);
  memcpy(&c.mem[addr - MEM_BASE], buf, len);
  c.written.emplace_back(addr, len);
}

// Load changes of this input, and the loads seen, in order.
struct Change {
  uint16_t load;
  uint32_t mask;
};
std::vector<Change> changes;
std::vector<uint32_t> seen;

uint32_t mask_of(size_t load) {
  uint32_t m = 0;
  for (const Change &c : changes)
    if (c.load == load) m ^= c.mask;
  return m;
}

uint32_t seam(const volatile uint32_t *, uint32_t v) {
  size_t k = seen.size();
  seen.push_back(v);
  return v ^ mask_of(k);
}

// The reader as the interface describes it, over the model's memory.
struct Model {
  const Card &card;
  uint32_t reg_t, reg_d;
  std::vector<uint32_t> loads;

  uint32_t word(uint32_t addr) const {
    uint32_t v;
    memcpy(&v, &card.mem[addr - MEM_BASE], 4);
    return v;
  }
  uint32_t load(uint32_t raw) {
    size_t k = loads.size();
    loads.push_back(raw);
    return raw ^ mask_of(k);
  }
  uint32_t mem(uint32_t addr) { return load(word(addr)); }

  // 0 or EIO; `out` filled on 0.
  int run(uint32_t (&out)[NR_TELEMETRY_SLOTS]) {
    memset(out, 0, sizeof out);
    uint32_t t = load(reg_t), d = load(reg_d);
    if (t < MEM_BASE || t > PTR_LAST || d < MEM_BASE || d > PTR_LAST) return EIO;
    uint16_t slot[NR_TELEMETRY_SLOTS];
    for (uint16_t &s : slot) s = NONE;
    uint32_t n = mem(t + 4);
    if (n > MAX_ENTRIES) n = MAX_ENTRIES;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t e = mem(t + 8 + 4 * i);
      uint32_t tag = e & 0xFFFF;
      if (tag < 1 || tag > 68) continue;
      if (slot[tag] != NONE) return EIO;
      slot[tag] = static_cast<uint16_t>(e >> 16);
    }
    uint16_t h = slot[HEARTBEAT];
    uint32_t before = h == NONE ? 0 : mem(d + 4 * h);
    for (int copy = 0;; ++copy) {
      for (unsigned tag = 1; tag < NR_TELEMETRY_SLOTS; ++tag)
        if (slot[tag] != NONE) out[tag] = mem(d + 4 * slot[tag]);
      if (h == NONE || mem(d + 4 * h) == before) return 0;
      memset(out, 0, sizeof out);
      if (copy == 2) return EIO;
      before = mem(d + 4 * h);
    }
  }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::require_simulator();
  std::vector<uint8_t> zeros(MEM_END - MEM_BASE);
  for (Card &c : cards) {
    struct nrsim_identity id;
    if (nrsim_identity(c.number, &id) != 0 || id.device_id != c.device_id)
      fuzz::fail("card %u is not the launch card %#x", c.number, c.device_id);
    // Frozen, the firmware writes nothing: the tile holds what we write.
    if (nrsim_telem_period(c.number, 0) != 0) fuzz::fail("cannot freeze card %u's firmware", c.number);
    device_write(c, MEM_BASE, zeros.data(), zeros.size());
    c.mem.assign(zeros.size(), 0);
    if (nr_open(&c.number, &c.session, 0) != 0) fuzz::fail("cannot open card %u", c.number);
  }
  // A first read per card, before counting descriptors: the simulator
  // makes each card's scratch memory (a memfd it keeps) the first time a
  // window is mapped before its configure.
  for (Card &c : cards) {
    uint32_t values[NR_TELEMETRY_SLOTS];
    nr_telemetry(&c.session, values);
  }
  nr_telemetry_seam = seam;
  seen.reserve(4 * MAX_LOADS);
  baseline = new fuzz::Leaks;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in(data, size);
  uint8_t mode = in.u8();
  Card &card = cards[mode & 1];
  uint32_t t = in.u32(), d = in.u32();
  if (!(mode & 2)) t = MEM_BASE + t % (PTR_LAST - MEM_BASE + 1);
  if (!(mode & 4)) d = MEM_BASE + d % (PTR_LAST - MEM_BASE + 1);
  changes.clear();
  for (unsigned p = in.u8() % 9; p > 0; --p) {
    uint16_t load = in.u16();
    changes.push_back({load, in.u32()});
  }
  size_t table_len = in.u16() % 1025;
  table_len = std::min(table_len, in.left());
  const uint8_t *table = in.take(table_len);
  size_t data_len = in.left();
  const uint8_t *array = in.take(data_len);

  for (const auto &[addr, len] : card.written) {
    std::vector<uint8_t> zeros(len);
    device_write(card, addr, zeros.data(), len);
    memset(&card.mem[addr - MEM_BASE], 0, len);
  }
  card.written.clear();
  device_write(card, card.table_reg, &t, 4);
  device_write(card, card.data_reg, &d, 4);
  put(card, t, table, table_len);
  put(card, d, array, data_len); // the data array wins where the two overlap

  Model model{card, t, d, {}};
  uint32_t want[NR_TELEMETRY_SLOTS];
  int want_err = model.run(want);

  uint32_t got[NR_TELEMETRY_SLOTS];
  memset(got, 0xA5, sizeof got);
  seen.clear();
  errno = 0;
  int rc = nr_telemetry(&card.session, got);
  int err = errno;

  if (want_err) {
    FUZZ_CHECK(rc == -1 && err == want_err, "card %u, t %#x d %#x: returned %d errno %d, want errno %d", card.number,
               t, d, rc, err, want_err);
  } else {
    FUZZ_CHECK(rc == 0, "card %u, t %#x d %#x: returned %d errno %d, want success", card.number, t, d, rc, err);
    for (unsigned i = 0; i < NR_TELEMETRY_SLOTS; ++i)
      FUZZ_CHECK(got[i] == want[i], "card %u, t %#x d %#x: slot %u is %#x, want %#x", card.number, t, d, i, got[i],
                 want[i]);
  }
  FUZZ_CHECK(seen.size() == model.loads.size(), "card %u, t %#x d %#x: %zu loads, want %zu", card.number, t, d,
             seen.size(), model.loads.size());
  for (size_t k = 0; k < seen.size(); ++k)
    FUZZ_CHECK(seen[k] == model.loads[k], "card %u, t %#x d %#x: load %zu read %#x, want %#x", card.number, t, d, k,
               seen[k], model.loads[k]);
  FUZZ_CHECK(nrsim_windows(card.number, nullptr, 0) == 0, "card %u: a window outlived the call", card.number);
  baseline->check("nr_telemetry");
  return 0;
}
