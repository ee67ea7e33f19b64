// The telemetry firmware.  Each incarnation of a card of a known architecture
// publishes, in the memory of its telemetry tile, a table of its 68 tags, the
// data array the table indexes, and the two pointer registers that say where
// both are.  One thread of the host then plays the firmware's timer for every
// card: at each card's period it moves the live values and the heartbeat.
//
// The thread holds the simulator's lock for each round of updates, and finds
// the cards afresh every round, so a card severed or removed meanwhile is
// simply no longer there: nothing outlives the lock.  It waits on a condition
// variable of its own with that lock, so it never holds it while asleep.  It
// is detached and only ever touches the simulator, which is never destroyed,
// so it can neither keep the host alive nor outlive what it uses.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "real.h"
#include "sim.h"

namespace nrsim {

namespace {

constexpr uint32_t TABLE_ADDR = 0x10000400;
constexpr uint32_t DATA_ADDR = 0x10002000;
constexpr unsigned TAGS = 68;
constexpr uint16_t HEARTBEAT = 32;
static_assert(TABLE_ADDR + 8 + 4 * NRSIM_TELEM_TABLE_MAX == DATA_ADDR);

struct TelemArch {
  uint16_t device_id;
  uint8_t x, y;                   // the telemetry tile
  uint32_t table_reg, data_reg;   // NOC addresses of the pointer registers
  unsigned column;                // of the value table below
};

constexpr TelemArch TELEM_ARCHS[] = {
    {0x401E, 0, 2, 0x800301D0, 0x800301D4, 0},
    {0xB140, 8, 0, 0x80030434, 0x80030430, 1},
};

// The data array's layout: tag t at word 5 + 23t mod 71.  No tag sits at
// its own number, so a reader that takes the tag for the index reads the
// wrong word.
constexpr uint16_t index_of(unsigned tag) { return static_cast<uint16_t>(5 + 23 * tag % 71); }

constexpr bool layout_sound() {
  bool used[80] = {};
  for (unsigned t = 1; t <= TAGS; ++t) {
    unsigned i = index_of(t);
    if (i == t || i >= 80 || used[i]) return false;
    used[i] = true;
  }
  return true;
}
static_assert(layout_sound());

// Default values, per architecture (0x401E, 0xB140).  Encodings:
//   clocks MHz; voltages mV; power W; current A (InputCurrent mA at 12 V);
//   AsicTemperature 16.16 fixed point degrees C, other temperatures plain C;
//   GddrNNTemp and GddrNNCorrErrs pack the even chip in bits 0..15 and the
//   odd one in 16..31; VddLimits packs min in 0..15 and max in 16..31 (mV);
//   firmware versions major << 24 | minor << 16 | patch << 8 | build;
//   FwBuildDate reads as YYYYMMDD in hex; Enabled* and EthLiveStatus are
//   masks of blocks; GddrStatus 2 bits per channel, 1 = trained;
//   HarvestingState masks the vexel rows fused off; UpdateTelemSpeed is the
//   period in ms; FanSpeed percent; PcieUsage percent of link bandwidth.
// The "live" ones move at each tick (see tick()).
struct TagInfo {
  const char *name;
  uint32_t value[2];
};

constexpr TagInfo TAG_INFO[TAGS + 1] = {
    {"", {0, 0}},
    {"BoardIdHigh", {0x01000031, 0x01000047}},
    {"BoardIdLow", {0x18C20A35, 0x2A510C07}},
    {"AsicId", {0x401E0002, 0xB1400001}}, // device ID << 16 | stepping
    {"HarvestingState", {0x048, 0x200}},
    {"UpdateTelemSpeed", {NRSIM_TELEM_PERIOD_MS, NRSIM_TELEM_PERIOD_MS}}, // live
    {"Vcore", {825, 780}},
    {"Tdp", {62, 118}}, // live
    {"Tdc", {71, 139}}, // live
    {"VddLimits", {700 | 900 << 16, 680 | 920 << 16}},
    {"ThmLimitShutdown", {105, 110}},
    {"AsicTemperature", {0x002F4000, 0x00348000}}, // 47.25, 52.5; live
    {"VregTemperature", {43, 49}},
    {"BoardTemperature", {36, 38}},
    {"AiClk", {1000, 1350}}, // live
    {"AxiClk", {900, 960}},
    {"SmcClk", {540, 600}},
    {"L2CpuClk0", {1750, 1800}},
    {"L2CpuClk1", {1700, 1780}},
    {"L2CpuClk2", {1650, 1760}},
    {"L2CpuClk3", {1600, 1740}},
    {"EthLiveStatus", {0x0F0F, 0x0333}},
    {"GddrStatus", {0x5555, 0x0555}},
    {"GddrSpeed", {12000, 16000}}, // Mbps
    {"EthFwVersion", {0x060E0000, 0x07010000}},
    {"GddrFwVersion", {0x02090100, 0x020B0000}},
    {"DmAppFwVersion", {0x050B0003, 0x050D0001}},
    {"DmBlFwVersion", {0x01030000, 0x01030000}},
    {"FlashBundleVersion", {0x12070000, 0x12070000}}, // 18.7.0.0, as sysfs says
    {"CmFwVersion", {0x00210200, 0x00220000}},
    {"L2CpuFwVersion", {0x00040100, 0x00040100}},
    {"FanSpeed", {35, 42}},   // live
    {"TimerHeartbeat", {0, 0}}, // counts ticks
    {"", {0, 0}},             // reserved
    {"EnabledVexelCol", {0x00FF, 0x3FFF}},
    {"EnabledEth", {0x0FFF, 0x3FFF}},
    {"EnabledGddr", {0xFF, 0x3F}},
    {"EnabledL2Cpu", {0xF, 0xF}},
    {"PcieUsage", {4, 7}},
    {"InputCurrent", {5750, 11000}}, // live
    {"NocTranslation", {0, 1}},
    {"FanRpm", {2100, 2520}}, // live: FanSpeed * 60
    {"Gddr01Temp", {44 | 45 << 16, 50 | 51 << 16}},
    {"Gddr23Temp", {46 | 44 << 16, 49 | 52 << 16}},
    {"Gddr45Temp", {43 | 47 << 16, 51 | 50 << 16}},
    {"Gddr67Temp", {45 | 46 << 16, 0}},
    {"Gddr01CorrErrs", {2, 0}},
    {"Gddr23CorrErrs", {1 << 16, 1}},
    {"Gddr45CorrErrs", {0, 0}},
    {"Gddr67CorrErrs", {3 | 1 << 16, 0}},
    {"GddrUncorrErrs", {0, 0}},
    {"MaxGddrTemp", {47, 52}},
    {"AsicLocation", {0, 0}},
    {"BoardPowerLimit", {75, 150}},
    {"InputPower", {69, 132}}, // live: Tdp + 7 or + 14
    {"TdcLimitMax", {100, 180}},
    {"ThmLimitThrottle", {90, 95}},
    {"FwBuildDate", {0x20250314, 0x20250611}},
    {"NrFlashVersion", {0x03020000, 0x03020000}},
    {"EnabledVexelRow", {0x3B7, 0x1FF}},
    {"ThermTripCount", {0, 0}},
    {"AsicIdHigh", {0x3C5A10F2, 0x5D0E2291}},
    {"AsicIdLow", {0x9E4177D0, 0x07B3C4A8}},
    {"AiClkLimitMax", {1200, 1500}},
    {"TdpLimitMax", {90, 180}},
    {"AiClkArbMin", {500, 800}},
    {"AiClkArbMax", {1000, 1350}},
    {"EnabledMinArb", {0x03, 0x05}},
    {"EnabledMaxArb", {0x3D, 0x7D}},
};

enum : uint16_t {
  UPDATE_SPEED = 5, TDP = 7, TDC = 8, ASIC_TEMP = 11, AICLK = 14, FAN_SPEED = 31, INPUT_CURRENT = 39,
  FAN_RPM = 41, INPUT_POWER = 54, AICLK_ARB_MAX = 66,
};

const TelemArch *telem_arch(uint16_t device_id) {
  for (const TelemArch &a : TELEM_ARCHS)
    if (a.device_id == device_id) return &a;
  return nullptr;
}

// The architecture the incarnation booted with: an identity changed since
// does not move its firmware.
const TelemArch &arch_of(const Telemetry &t) { return *telem_arch(t.device_id); }

uint32_t default_value(const Telemetry &t, unsigned tag) { return TAG_INFO[tag].value[arch_of(t).column]; }

int put(Incarnation &life, uint64_t addr, uint32_t v) {
  const TelemArch &a = arch_of(life.telem);
  return tile_write(life, a.x, a.y, addr, &v, sizeof v); // little-endian host
}

int get(Incarnation &life, uint64_t addr, uint32_t *v) {
  const TelemArch &a = arch_of(life.telem);
  return tile_read(life, a.x, a.y, addr, v, sizeof *v);
}

uint64_t data_word(uint16_t index) { return DATA_ADDR + 4 * uint64_t{index}; }

// Writes the table's entries, and zeros over what a longer table before it
// left behind.
int write_entries(Incarnation &life, const std::vector<nrsim_telem_entry> &entries) {
  Telemetry &t = life.telem;
  const TelemArch &a = arch_of(t);
  std::vector<uint32_t> words(std::max<size_t>(entries.size(), t.table_words), 0);
  for (size_t i = 0; i < entries.size(); ++i) words[i] = entries[i].tag | uint32_t{entries[i].index} << 16;
  int r = tile_write(life, a.x, a.y, TABLE_ADDR + 8, words.data(), words.size() * sizeof(uint32_t));
  if (r == 0) t.table_words = static_cast<uint32_t>(entries.size());
  return r;
}

// The firmware's own table, pointers and values; the heartbeat only at boot,
// since it never counts backwards.
int publish(Incarnation &life, bool boot) {
  Telemetry &t = life.telem;
  const TelemArch &a = arch_of(t);
  std::vector<nrsim_telem_entry> table;
  for (unsigned tag = 1; tag <= TAGS; ++tag) table.push_back({static_cast<uint16_t>(tag), index_of(tag)});
  std::sort(table.begin(), table.end(),
            [](const nrsim_telem_entry &p, const nrsim_telem_entry &q) { return p.index < q.index; });
  int r = 0;
  for (unsigned tag = 1; tag <= TAGS && r == 0; ++tag)
    if (boot || tag != HEARTBEAT) r = put(life, data_word(index_of(tag)), default_value(t, tag));
  if (r == 0) r = put(life, TABLE_ADDR, NRSIM_TELEM_VERSION);
  if (r == 0) r = put(life, TABLE_ADDR + 4, TAGS);
  if (r == 0) r = write_entries(life, table);
  if (r == 0) r = put(life, a.table_reg, TABLE_ADDR);
  if (r == 0) r = put(life, a.data_reg, DATA_ADDR);
  if (r == 0) {
    t.table = std::move(table);
    t.own_table = true;
  }
  return r;
}

// A small deterministic scatter of (card, tick, tag).
uint32_t jitter(uint32_t card, uint64_t tick, unsigned tag) {
  uint64_t z = (uint64_t{card} << 40 ^ tick << 8 ^ tag) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(z ^ (z >> 31));
}

// One firmware tick: the live values first, the heartbeat last, so that a
// reader whose copy straddles the values sees the heartbeat move.  Each
// value stays within its limits: AiClk in [AiClkArbMax - 40, AiClkArbMax],
// the temperature within 1.5 C of its default, power within 4 W, current
// within 5 A, fan within 2 percent.
void tick(Card &c) {
  Incarnation &life = *c.life;
  Telemetry &t = life.telem;
  ++t.ticks;
  const uint32_t n = c.number;
  const uint64_t k = t.ticks;
  auto live = [&](unsigned tag, uint32_t v) { put(life, data_word(index_of(tag)), v); };
  auto base = [&](unsigned tag) { return default_value(t, tag); };
  auto around = [&](unsigned tag, uint32_t spread) {
    return base(tag) + jitter(n, k, tag) % (2 * spread + 1) - spread;
  };
  if (t.own_table) {
    uint32_t tdp = around(TDP, 4), fan = around(FAN_SPEED, 2);
    uint32_t input = tdp + base(INPUT_POWER) - base(TDP);
    live(UPDATE_SPEED, c.telem_period);
    live(AICLK, base(AICLK_ARB_MAX) - 5 * (jitter(n, k, AICLK) % 9));
    live(ASIC_TEMP, base(ASIC_TEMP) + (jitter(n, k, ASIC_TEMP) % 97) * 0x800 - 48 * 0x800);
    live(TDP, tdp);
    live(TDC, around(TDC, 5));
    live(INPUT_POWER, input);
    live(INPUT_CURRENT, input * 1000 / 12);
    live(FAN_SPEED, fan);
    live(FAN_RPM, fan * 60);
  }
  for (const nrsim_telem_entry &e : t.table) {
    if (e.tag != HEARTBEAT) continue;
    uint32_t beat = 0;
    if (get(life, data_word(e.index), &beat) == 0) put(life, data_word(e.index), beat + 1);
    break;
  }
}

bool ticking(const Card &c) {
  const Telemetry &t = c.life->telem;
  return t.present && c.telem_period > 0;
}

void *firmware(void *) {
  Sim &s = sim();
  std::unique_lock lock(s.mu);
  for (;;) {
    Clock::time_point now = Clock::now(), next = Clock::time_point::max();
    for (auto &[n, c] : s.cards) {
      if (!ticking(*c)) continue;
      Telemetry &t = c->life->telem;
      if (now >= t.due) {
        tick(*c);
        auto period = std::chrono::milliseconds(c->telem_period);
        // Late (a stopped process, say): no burst of ticks to catch up.
        t.due += period;
        if (t.due <= now) t.due = now + period;
      }
      next = std::min(next, t.due);
    }
    if (next == Clock::time_point::max())
      s.telem_cv.wait(lock);
    else
      s.telem_cv.wait_until(lock, next);
  }
  return nullptr;
}

int fail(int err) {
  errno = err;
  return -1;
}

// Runs f on card n's firmware under the lock: ENODEV without the card,
// ENOTSUP if it runs no telemetry.  Multicast stores land first, as they do
// for the memory controls.
template <typename F> int with_telem(uint32_t n, F f) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  auto card = s.card(n);
  if (!card) return fail(ENODEV);
  telem_start(s);
  if (!card->life->telem.present) return fail(ENOTSUP);
  int r = tlb_replicate_all(*card->life);
  if (r == 0) r = f(s, *card, *card->life);
  return r < 0 ? fail(-r) : r;
}

} // namespace

void telem_boot(Sim &s, Card &c) {
  const TelemArch *a = telem_arch(c.identity.device_id);
  if (!a) return;
  Incarnation &life = *c.life;
  Telemetry &t = life.telem;
  t.present = true;
  t.device_id = a->device_id;
  t.due = Clock::now() + std::chrono::milliseconds(c.telem_period);
  if (publish(life, true) != 0) raw_warn("nrsim: cannot publish a card's telemetry\n");
  s.telem_cv.notify_all();
}

void telem_start(Sim &s) {
  if (s.telem_thread) return;
  bool wanted = false;
  for (const auto &[n, c] : s.cards) wanted = wanted || c->life->telem.present;
  if (!wanted) return;
  // Signals are for the program's threads, not the firmware's.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int err = pthread_create(&thread, &attr, firmware, nullptr);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (err != 0) {
    raw_warn("nrsim: cannot start the telemetry firmware thread\n");
    return;
  }
  pthread_setname_np(thread, "nrsim-telem");
  s.telem_thread = true;
}

} // namespace nrsim

using namespace nrsim;

namespace nrsim::ctl {

int nrsim_telem_period(uint32_t n, unsigned ms) {
  return with_telem(n, [ms](Sim &s, Card &c, Incarnation &life) {
    c.telem_period = ms;
    life.telem.due = Clock::now() + std::chrono::milliseconds(ms);
    s.telem_cv.notify_all();
    return 0;
  });
}

int nrsim_telem_set(uint32_t n, uint16_t tag, uint32_t value) {
  return with_telem(n, [tag, value](Sim &, Card &, Incarnation &life) {
    if (tag < 1 || tag > TAGS) return -EINVAL;
    int r = -EINVAL; // until an entry lists the tag
    for (const nrsim_telem_entry &e : life.telem.table) {
      if (e.tag != tag) continue;
      if ((r = put(life, data_word(e.index), value)) != 0) break;
    }
    return r;
  });
}

int nrsim_telem_get(uint32_t n, uint16_t tag, uint32_t *value) {
  if (!value) return fail(EINVAL);
  return with_telem(n, [tag, value](Sim &, Card &, Incarnation &life) {
    if (tag < 1 || tag > TAGS) return -EINVAL;
    for (const nrsim_telem_entry &e : life.telem.table)
      if (e.tag == tag) return get(life, data_word(e.index), value);
    return -EINVAL;
  });
}

int nrsim_telem_table(uint32_t n, const struct nrsim_telem_entry *entries, size_t count,
                                   uint32_t count_word) {
  if ((!entries && count) || count > NRSIM_TELEM_TABLE_MAX) return fail(EINVAL);
  return with_telem(n, [&](Sim &, Card &, Incarnation &life) {
    std::vector<nrsim_telem_entry> table(entries, entries + count);
    int r = put(life, TABLE_ADDR + 4, count_word);
    if (r == 0) r = write_entries(life, table);
    if (r == 0) {
      life.telem.table = std::move(table);
      life.telem.own_table = false;
    }
    return r;
  });
}

int nrsim_telem_pointers(uint32_t n, uint32_t table, uint32_t data) {
  return with_telem(n, [table, data](Sim &, Card &, Incarnation &life) {
    const TelemArch &a = arch_of(life.telem);
    int r = put(life, a.table_reg, table);
    return r != 0 ? r : put(life, a.data_reg, data);
  });
}

int nrsim_telem_restore(uint32_t n) {
  return with_telem(n, [](Sim &, Card &, Incarnation &life) { return publish(life, false); });
}

} // namespace nrsim::ctl
