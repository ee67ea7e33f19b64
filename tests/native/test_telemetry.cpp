// The telemetry reader, on tables written straight into the simulated
// telemetry tile's memory.  The library is built here with a seam on the
// reader's device loads, through which a test plays a firmware that updates
// the table at an exact point of the copy.
#include <cstring>
#include <functional>
#include <map>

#include "support.h"

extern "C" uint32_t (*nr_telemetry_seam)(const volatile uint32_t *p, uint32_t v);

namespace {

constexpr uint32_t kHeartbeat = 0x4ea47bea; // a value no other slot holds
constexpr uint32_t kTable = 0x10000100, kData = 0x10004000;

std::function<uint32_t(uint32_t)> seam_fn;
uint32_t seam(const volatile uint32_t *, uint32_t v) { return seam_fn ? seam_fn(v) : v; }

class Telemetry : public Sim {
protected:
  void SetUp() override {
    Sim::SetUp();
    nrsim_telem_period(0, 0); // no firmware thread: the test writes the table
    nrsim_telem_period(1, 0);
    uint32_t id = 0;
    ASSERT_EQ(nr_open(&id, &s, 0), 0);
    nr_telemetry_seam = seam;
    seam_fn = nullptr;
  }
  void TearDown() override {
    nr_telemetry_seam = nullptr;
    seam_fn = nullptr;
    // Nothing outlives a call: no window, no mapping.
    int windows = nrsim_windows(0, nullptr, 0);
    EXPECT_TRUE(windows == 0 || (windows == -1 && errno == ENODEV)) << windows; // ENODEV: card removed
    EXPECT_EQ(nrsim_mapping_count(), 0);
    nr_close(&s);
    Sim::TearDown();
  }

  static void put(uint32_t card, uint32_t addr, uint32_t v) {
    bool b140 = card == 1;
    ASSERT_EQ(nrsim_mem_write(card, b140 ? 8 : 0, b140 ? 0 : 2, addr, &v, 4), 0);
  }
  // Pointer registers, then the table: count and entries (tag | index << 16).
  static void table(const std::vector<uint32_t> &entries, uint32_t card = 0, uint32_t count = UINT32_MAX,
                    uint32_t t = kTable, uint32_t d = kData) {
    put(card, card == 1 ? 0x80030434 : 0x800301D0, t);
    put(card, card == 1 ? 0x80030430 : 0x800301D4, d);
    put(card, t + 4, count == UINT32_MAX ? entries.size() : count);
    for (size_t i = 0; i < entries.size(); ++i) put(card, t + 8 + 4 * i, entries[i]);
  }
  static uint32_t entry(uint16_t tag, uint16_t index) { return tag | uint32_t(index) << 16; }
  // Every tag reported, value tag * 1000 at index tag + 10; heartbeat kHeartbeat.
  static void full_table(uint32_t card = 0) {
    std::vector<uint32_t> e;
    for (uint16_t tag = 1; tag <= 68; ++tag) {
      e.push_back(entry(tag, tag + 10));
      put(card, kData + 4 * (tag + 10), tag == 32 ? kHeartbeat : tag * 1000);
    }
    table(e, card);
  }

  nr_session s{};
  uint32_t v[NR_TELEMETRY_SLOTS];
};

} // namespace

TEST_F(Telemetry, ReadsEveryTagBySlot) {
  full_table();
  memset(v, 0xee, sizeof v);
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  EXPECT_EQ(v[0], 0u);
  EXPECT_EQ(v[1], 1000u);
  EXPECT_EQ(v[32], kHeartbeat);
  EXPECT_EQ(v[68], 68000u);
}

TEST_F(Telemetry, SecondArchitectureHasItsRegistersTheOtherWayRound) {
  nr_session b{};
  uint32_t id = 1;
  ASSERT_EQ(nr_open(&id, &b, 0), 0);
  full_table(1);
  ASSERT_EQ(nr_telemetry(&b, v), 0);
  EXPECT_EQ(v[7], 7000u);
  EXPECT_EQ(nrsim_windows(1, nullptr, 0), 0);
  nr_close(&b);
}

TEST_F(Telemetry, TableShapes) {
  // No entries: success, all zero, one pass.
  table({});
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  for (uint32_t x : v) EXPECT_EQ(x, 0u);

  // Tag 0 and tags above 68 are skipped, even twice; an index of 0xFFFF
  // leaves the tag unreported, and a later entry for it is taken.
  put(0, kData + 4 * 3, 333);
  put(0, kData + 4 * 4, 444);
  table({entry(0, 3), entry(69, 3), entry(69, 4), entry(0xFFFF, 3), entry(5, 0xFFFF), entry(5, 4), entry(6, 3)});
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  EXPECT_EQ(v[0], 0u);
  EXPECT_EQ(v[5], 444u);
  EXPECT_EQ(v[6], 333u);
  EXPECT_EQ(v[7], 0u);

  // Only the first 128 entries count: a duplicate after them is never seen.
  std::vector<uint32_t> many(128, entry(0, 0));
  many[0] = entry(9, 3);
  many.push_back(entry(9, 4));
  table(many);
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  EXPECT_EQ(v[9], 333u);
}

TEST_F(Telemetry, DuplicateTagsAreMalformed) {
  table({entry(9, 3), entry(1, 1), entry(9, 4)});
  EXPECT_FAILS(nr_telemetry(&s, v), EIO);
  table({entry(68, 3), entry(68, 3)});
  EXPECT_FAILS(nr_telemetry(&s, v), EIO);
}

// A refused table is read no further: the registers, the count and the
// entries up to the duplicate, and not the heartbeat's data word after.
TEST_F(Telemetry, DuplicateTagEndsTheReadAtOnce) {
  put(0, kData + 4 * 4, kHeartbeat);
  table({entry(32, 4), entry(9, 3), entry(9, 5), entry(1, 1)});
  int loads = 0, heartbeat_loads = 0;
  seam_fn = [&](uint32_t x) {
    ++loads;
    heartbeat_loads += x == kHeartbeat;
    return x;
  };
  EXPECT_FAILS(nr_telemetry(&s, v), EIO);
  EXPECT_EQ(loads, 2 + 1 + 3);
  EXPECT_EQ(heartbeat_loads, 0);
}

TEST_F(Telemetry, PointersMustLieInTheTableArea) {
  struct Case {
    uint32_t t, d;
    int err;
  };
  for (Case c : {Case{0x10000000, 0x1007FFFF, 0}, Case{0x1007FFFF, 0x10000000, 0}, Case{0x0FFFFFFF, kData, EIO},
                 Case{0x10080000, kData, EIO}, Case{kTable, 0x0FFFFFFF, EIO}, Case{kTable, 0x10080000, EIO}}) {
    put(0, 0x800301D0, c.t);
    put(0, 0x800301D4, c.d);
    errno = 0;
    EXPECT_EQ(nr_telemetry(&s, v), c.err ? -1 : 0) << std::hex << c.t << " " << c.d;
    EXPECT_EQ(errno, c.err) << std::hex << c.t << " " << c.d;
  }
}

// A table or data pointer need not be word aligned: every word is read
// from where it lies.
TEST_F(Telemetry, UnalignedPointersReadTheWordsWhereTheyLie) {
  constexpr uint32_t t = kTable + 1, d = kData + 2;
  put(0, d + 4 * 3, 0x11223344);
  put(0, d + 4 * 4, kHeartbeat);
  table({entry(7, 3), entry(32, 4)}, 0, UINT32_MAX, t, d);
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  EXPECT_EQ(v[7], 0x11223344u);
  EXPECT_EQ(v[32], kHeartbeat);

  // At the very end of the table area.
  constexpr uint32_t last = 0x1007FFFF;
  put(0, kData + 4 * 5, 555);
  table({entry(9, 5)}, 0, UINT32_MAX, last, kData);
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  EXPECT_EQ(v[9], 555u);
  EXPECT_EQ(v[7], 0u);
}

// The firmware updates the heartbeat while the reader copies.  Heartbeat
// loads come per copy as: before, its own slot, after.
TEST_F(Telemetry, HeartbeatChangeDuringOneCopyIsRetried) {
  full_table();
  int hb = 0, copy = 0;
  seam_fn = [&](uint32_t x) -> uint32_t {
    if (x == kHeartbeat) {
      copy = hb / 3;
      ++hb;
      return kHeartbeat + (hb == 3 ? 1 : 0) + (hb > 3 ? 1 : 0); // moves during copy 1
    }
    return x == 7000 ? 7000 + copy : x; // tag 7 shows which copy it came from
  };
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  EXPECT_EQ(hb, 6);
  EXPECT_EQ(v[7], 7001u);
  EXPECT_EQ(v[32], kHeartbeat + 1);
}

TEST_F(Telemetry, HeartbeatThatNeverSettlesIsAnError) {
  full_table();
  int hb = 0;
  seam_fn = [&](uint32_t x) { return x == kHeartbeat ? kHeartbeat + hb++ : x; };
  EXPECT_FAILS(nr_telemetry(&s, v), EIO);
  EXPECT_EQ(hb, 9); // three copies, no more
}

TEST_F(Telemetry, NoHeartbeatMeansOneCopy) {
  put(0, kData + 4 * 3, 333);
  table({entry(1, 3), entry(2, 3)});
  int loads_of_333 = 0;
  seam_fn = [&](uint32_t x) {
    loads_of_333 += x == 333;
    return x;
  };
  ASSERT_EQ(nr_telemetry(&s, v), 0);
  EXPECT_EQ(loads_of_333, 2);
}

TEST_F(Telemetry, RefusesWithoutTouchingTheOutput) {
  full_table();
  uint32_t pristine[NR_TELEMETRY_SLOTS];
  memset(v, 0xee, sizeof v);
  memcpy(pristine, v, sizeof v);

  struct nrsim_identity ident;
  ASSERT_EQ(nrsim_identity(0, &ident), 0);
  ident.device_id = 0x1234;
  ASSERT_EQ(nrsim_set_identity(0, &ident), 0);
  EXPECT_FAILS(nr_telemetry(&s, v), ENOTSUP);
  EXPECT_EQ(memcmp(v, pristine, sizeof v), 0);

  EXPECT_FAILS(nr_telemetry(nullptr, v), EINVAL);
  EXPECT_FAILS(nr_telemetry(&s, nullptr), EINVAL);
  ASSERT_EQ(nr_close(&s), 0);
  EXPECT_FAILS(nr_telemetry(&s, v), ENOTCONN);
  EXPECT_EQ(memcmp(v, pristine, sizeof v), 0);
}

TEST_F(Telemetry, CardLostMidReadIsAConnectionReset) {
  full_table();
  // Severed during the copy: the next load faults, and the trap turns it
  // into ECONNRESET.
  int loads = 0;
  seam_fn = [&](uint32_t x) {
    if (++loads == 10) nrsim_sever(0);
    return x;
  };
  EXPECT_FAILS(nr_telemetry(&s, v), ECONNRESET);
  EXPECT_EQ(loads, 10); // the 11th load faulted

  // Removed between the two bindings: the second bind fails on its own.
  ASSERT_EQ(nr_reopen(&s), 0);
  full_table();
  loads = 0;
  seam_fn = [&](uint32_t x) {
    if (++loads == 2) nrsim_remove(0);
    return x;
  };
  EXPECT_FAILS(nr_telemetry(&s, v), ECONNRESET);
  EXPECT_EQ(loads, 2);
}

TEST_F(Telemetry, DriverFailuresPassThrough) {
  full_table();
  ASSERT_EQ(nrsim_fail(0, 0xFA0B, ENOSPC, 1), 0);
  EXPECT_FAILS(nr_telemetry(&s, v), ENOSPC);
  ASSERT_EQ(nrsim_fail(0, 0xFA0D, EIO, 1), 0);
  EXPECT_FAILS(nr_telemetry(&s, v), EIO);
  ASSERT_EQ(nrsim_fail(0, 0xFA00, ENODEV, 1), 0);
  EXPECT_FAILS(nr_telemetry(&s, v), ECONNRESET);
}
