// TLB windows: nr_tlb_alloc, nr_tlb_bind, nr_tlb_free.
#include <cstring>
#include <sys/mman.h>

#include "support.h"

namespace {

constexpr uint64_t kMb2 = 2u << 20;

class Tlb : public Sim {
protected:
  void SetUp() override {
    Sim::SetUp();
    uint32_t id = 0; // 0x401e
    ASSERT_EQ(nr_open(&id, &s, 0), 0);
    nrsim_clear_log();
  }
  void TearDown() override {
    nr_close(&s);
    Sim::TearDown();
  }

  static std::vector<nrsim_window> windows() {
    std::vector<nrsim_window> w(64);
    w.resize(nrsim_windows(0, w.data(), w.size()));
    return w;
  }
  static int count(uint32_t number) {
    int n = 0;
    for (const auto &r : requests(0)) n += r.number == number;
    return n;
  }
  // True while [p, p + len) is mapped in this process.  mincore rather than
  // msync: memcheck takes an msync of an unmapped range for a bug.
  static bool mapped(const void *p, size_t len = 4096) {
    std::vector<unsigned char> pages((len + 4095) / 4096);
    return mincore(const_cast<void *>(p), len, pages.data()) == 0;
  }

  nr_session s{};
};

const nr_tlb_config kTile12{0x20000, 1, 2, 0, 0, 0, 0, 0, 0};
const nr_tlb_config kTile34{0x40000, 3, 4, 0, 0, 1, 0, 1, 2};

} // namespace

TEST_F(Tlb, AllocatesBindsAndReachesTheTarget) {
  nr_tlb h;
  memset(&h, 0xee, sizeof h);
  ASSERT_EQ(nr_tlb_alloc(&s, kMb2, NR_TLB_WRITE_COMBINED, &h), 0);
  EXPECT_EQ(h.mapping, nullptr);
  EXPECT_EQ(h.size, kMb2);
  auto w = windows();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(h.id, w[0].id);
  EXPECT_EQ(h.mmap_offset, w[0].wc_mmap_offset);
  EXPECT_NE(w[0].uc_mmap_offset, w[0].wc_mmap_offset);

  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile12), 0);
  ASSERT_NE(h.mapping, nullptr);
  volatile uint32_t *words = reinterpret_cast<volatile uint32_t *>(h.mapping);
  words[0] = 0xcafef00d;
  words[kMb2 / 4 - 1] = 0x12345678;
  uint32_t got[2] = {};
  ASSERT_EQ(nrsim_mem_read(0, 1, 2, 0x20000, &got[0], 4), 0);
  ASSERT_EQ(nrsim_mem_read(0, 1, 2, 0x20000 + kMb2 - 4, &got[1], 4), 0);
  EXPECT_EQ(got[0], 0xcafef00du);
  EXPECT_EQ(got[1], 0x12345678u);

  uint32_t v = 0xa5a5a5a5;
  ASSERT_EQ(nrsim_mem_write(0, 1, 2, 0x20000 + 64, &v, 4), 0);
  EXPECT_EQ(words[16], 0xa5a5a5a5u);

  ASSERT_EQ(nr_tlb_free(&s, &h), 0);
  EXPECT_EQ(h.id, 0u);
  EXPECT_EQ(h.mapping, nullptr);
  EXPECT_TRUE(windows().empty());
  EXPECT_EQ(nrsim_mapping_count(), 0);
}

TEST_F(Tlb, RecordsAreSentAsWritten) {
  nr_tlb h;
  ASSERT_EQ(nr_tlb_alloc(&s, kMb2, NR_TLB_UNCACHED, &h), 0);
  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile34), 0);
  ASSERT_EQ(nr_tlb_free(&s, &h), 0);
  auto log = requests(0);
  ASSERT_EQ(log.size(), 3u);

  std::vector<uint8_t> alloc(48, 0);
  memcpy(alloc.data(), &kMb2, 8);
  EXPECT_EQ(log[0].number, 0xFA0Bu);
  EXPECT_EQ(log[0].bytes, alloc);

  uint32_t id = 0; // the window is freed by now: take its id from the free record
  ASSERT_EQ(log[2].number, 0xFA0Cu);
  ASSERT_EQ(log[2].bytes.size(), 4u);
  memcpy(&id, log[2].bytes.data(), 4);
  EXPECT_NE(id, 0u);

  std::vector<uint8_t> cfg(48, 0);
  memcpy(cfg.data(), &id, 4);
  memcpy(cfg.data() + 8, &kTile34.addr, 8);
  cfg[16] = 3; // x_end, two bytes wide
  cfg[18] = 4; // y_end
  cfg[24] = 1; // noc
  cfg[26] = 1; // mode
  cfg[27] = 1; // linked
  cfg[28] = 2; // static_vc
  EXPECT_EQ(log[1].number, 0xFA0Du);
  EXPECT_EQ(log[1].bytes, cfg);
}

TEST_F(Tlb, RebindMapsAnewAndRemovesTheOldMapping) {
  nr_tlb h;
  ASSERT_EQ(nr_tlb_alloc(&s, kMb2, NR_TLB_UNCACHED, &h), 0);
  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile12), 0);
  uint8_t *first = h.mapping;
  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile34), 0);
  EXPECT_NE(h.mapping, first);
  EXPECT_FALSE(mapped(first));
  EXPECT_EQ(nrsim_mapping_count(), 1);
  reinterpret_cast<volatile uint32_t *>(h.mapping)[1] = 77;
  uint32_t got = 0;
  ASSERT_EQ(nrsim_mem_read(0, 3, 4, 0x40004, &got, 4), 0);
  EXPECT_EQ(got, 77u);
  ASSERT_EQ(nr_tlb_free(&s, &h), 0);
}

TEST_F(Tlb, FailedBindLeavesTheHandleUnmapped) {
  nr_tlb h;
  ASSERT_EQ(nr_tlb_alloc(&s, kMb2, NR_TLB_UNCACHED, &h), 0);
  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile12), 0);
  uint8_t *before = h.mapping;
  ASSERT_EQ(nrsim_fail(0, 0xFA0D, EIO, 1), 0);
  EXPECT_FAILS(nr_tlb_bind(&s, &h, &kTile34), EIO);
  EXPECT_EQ(h.mapping, nullptr);
  EXPECT_FALSE(mapped(before));
  EXPECT_EQ(nrsim_mapping_count(), 0); // the new mapping went too
  EXPECT_EQ(windows().size(), 1u);     // still allocated

  // A configuration the driver refuses, on a handle that is not mapped.
  nr_tlb_config bad = kTile12;
  bad.x_end = 250;
  EXPECT_FAILS(nr_tlb_bind(&s, &h, &bad), EINVAL);
  EXPECT_EQ(h.mapping, nullptr);

  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile12), 0);
  EXPECT_NE(h.mapping, nullptr);
  ASSERT_EQ(nr_tlb_free(&s, &h), 0);
}

TEST_F(Tlb, BadCachingGivesTheWindowBack) {
  nr_tlb h{};
  EXPECT_FAILS(nr_tlb_alloc(&s, kMb2, 2, &h), EINVAL);
  EXPECT_EQ(count(0xFA0B), 1);
  EXPECT_EQ(count(0xFA0C), 1);
  EXPECT_TRUE(windows().empty());
}

TEST_F(Tlb, RefusedAllocationLeavesTheHandleUntouched) {
  nr_tlb h;
  memset(&h, 0xee, sizeof h);
  nr_tlb pristine = h;
  EXPECT_FAILS(nr_tlb_alloc(&s, 3u << 20, NR_TLB_UNCACHED, &h), EINVAL); // no 3 MiB windows
  EXPECT_FAILS(nr_tlb_alloc(&s, 4ull << 30, NR_TLB_UNCACHED, &h), EINVAL); // 4 GiB only on 0xb140
  EXPECT_EQ(memcmp(&h, &pristine, sizeof h), 0);
}

TEST_F(Tlb, FreeOfAnUnboundHandleOnlyReleases) {
  nr_tlb h;
  ASSERT_EQ(nr_tlb_alloc(&s, 1u << 20, NR_TLB_UNCACHED, &h), 0);
  nrsim_clear_log();
  ASSERT_EQ(nr_tlb_free(&s, &h), 0);
  auto log = requests(0);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].number, 0xFA0Cu);
  EXPECT_EQ(h.id, 0u);
}

TEST_F(Tlb, ClosedSessionChangesNothing) {
  nr_tlb h;
  ASSERT_EQ(nr_tlb_alloc(&s, kMb2, NR_TLB_UNCACHED, &h), 0);
  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile12), 0);
  ASSERT_EQ(nr_close(&s), 0);
  nrsim_clear_log();
  nr_tlb before = h;
  EXPECT_FAILS(nr_tlb_free(&s, &h), ENOTCONN);
  EXPECT_FAILS(nr_tlb_bind(&s, &h, &kTile34), ENOTCONN);
  nr_tlb other;
  EXPECT_FAILS(nr_tlb_alloc(&s, kMb2, 0, &other), ENOTCONN);
  EXPECT_EQ(memcmp(&h, &before, sizeof h), 0);
  EXPECT_TRUE(mapped(h.mapping)); // still in the process
  EXPECT_EQ(nrsim_request_count(0), 0);
  munmap(h.mapping, h.size);

  EXPECT_FAILS(nr_tlb_alloc(nullptr, kMb2, 0, &other), EINVAL);
  EXPECT_FAILS(nr_tlb_alloc(&s, kMb2, 0, nullptr), EINVAL);
  EXPECT_FAILS(nr_tlb_bind(&s, nullptr, &kTile12), EINVAL);
  EXPECT_FAILS(nr_tlb_bind(&s, &h, nullptr), EINVAL);
  EXPECT_FAILS(nr_tlb_bind(nullptr, &h, &kTile12), EINVAL);
  EXPECT_FAILS(nr_tlb_free(nullptr, &h), EINVAL);
  EXPECT_FAILS(nr_tlb_free(&s, nullptr), EINVAL);
}

TEST_F(Tlb, LostCardIsReportedAsConnectionReset) {
  nr_tlb h;
  ASSERT_EQ(nrsim_fail(0, 0xFA0B, ENODEV, 1), 0);
  EXPECT_FAILS(nr_tlb_alloc(&s, kMb2, NR_TLB_UNCACHED, &h), ECONNRESET);

  ASSERT_EQ(nr_tlb_alloc(&s, kMb2, NR_TLB_UNCACHED, &h), 0);
  ASSERT_EQ(nrsim_fail(0, 0xFA0D, ENODEV, 1), 0);
  EXPECT_FAILS(nr_tlb_bind(&s, &h, &kTile12), ECONNRESET);
  ASSERT_EQ(nrsim_fail(0, 0xFA0C, ENODEV, 1), 0);
  EXPECT_FAILS(nr_tlb_free(&s, &h), ECONNRESET);
  EXPECT_EQ(h.mapping, nullptr); // unmapped before the request
  EXPECT_NE(h.id, 0u);
  ASSERT_EQ(nr_tlb_free(&s, &h), 0);

  // The mmap of a bind on a severed descriptor.
  ASSERT_EQ(nr_tlb_alloc(&s, kMb2, NR_TLB_UNCACHED, &h), 0);
  ASSERT_EQ(nr_tlb_bind(&s, &h, &kTile12), 0);
  ASSERT_EQ(nrsim_sever(0), 0);
  EXPECT_FAILS(nr_tlb_bind(&s, &h, &kTile34), ECONNRESET);
  EXPECT_EQ(h.mapping, nullptr);
  EXPECT_EQ(nrsim_mapping_count(), 0);
}
