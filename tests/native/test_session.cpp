// Sessions and device information: nr_open, nr_close, nr_reopen, nr_dev_info.
#include <atomic>
#include <cstring>
#include <thread>

#include "support.h"

using Sessions = Sim;

namespace {
constexpr uint32_t kFlagWords[4] = {0x80402, 0x80482, 0x80C02, 0x80C82};

nr_session open_or_die(uint32_t id, uint16_t flags = 0) {
  nr_session s{};
  EXPECT_EQ(nr_open(&id, &s, flags), 0) << strerror(errno);
  return s;
}
} // namespace

TEST_F(Sessions, OpenPassesTheDriverFlagWords) {
  for (uint16_t flags = 0; flags < 4; ++flags) {
    uint32_t id = 1;
    nr_session s{};
    ASSERT_EQ(nr_open(&id, &s, flags), 0);
    EXPECT_EQ(s.id, 1u);
    EXPECT_GE(s.fd, 0);
    EXPECT_EQ(s.flags, flags);
    EXPECT_EQ(nr_close(&s), 0);
  }
  EXPECT_EQ(opens(1), std::vector<uint32_t>(std::begin(kFlagWords), std::end(kFlagWords)));
}

TEST_F(Sessions, OpenRefusesBadArgumentsWithoutASystemCall) {
  uint32_t id = 0;
  nr_session s{77, 88, 99};
  EXPECT_FAILS(nr_open(&id, &s, 4), EINVAL);
  EXPECT_FAILS(nr_open(&id, &s, 0xFFFF), EINVAL);
  EXPECT_FAILS(nr_open(nullptr, &s, 0), EINVAL);
  EXPECT_FAILS(nr_open(&id, nullptr, 0), EINVAL);
  EXPECT_TRUE(opens(0).empty());
  EXPECT_EQ(s.id, 77u);
  EXPECT_EQ(s.fd, 88);
}

TEST_F(Sessions, OpenFailuresMapToEagainOrEnodev) {
  nr_session s{77, 88, 99};
  uint32_t missing = 5;
  EXPECT_FAILS(nr_open(&missing, &s, 0), ENODEV); // ENOENT from the filesystem
  uint32_t id = 0;
  ASSERT_EQ(nrsim_fail_open(0, EACCES, 1), 0);
  EXPECT_FAILS(nr_open(&id, &s, 0), ENODEV);
  ASSERT_EQ(nrsim_fail_open(0, EAGAIN, 1), 0);
  EXPECT_FAILS(nr_open(&id, &s, 0), EAGAIN);
  EXPECT_EQ(s.fd, 88); // untouched on failure

  nr_session holder = open_or_die(0, NR_OPEN_EXCLUSIVE);
  EXPECT_FAILS(nr_open(&id, &s, NR_OPEN_NONBLOCKING), EAGAIN);
  EXPECT_FAILS(nr_open(&id, &s, NR_OPEN_NONBLOCKING | NR_OPEN_EXCLUSIVE), EAGAIN);
  ASSERT_EQ(nr_close(&holder), 0);
}

TEST_F(Sessions, BlockingOpenWaitsForTheExclusiveHolder) {
  nr_session holder = open_or_die(0, NR_OPEN_EXCLUSIVE);
  std::atomic<int> rc{1};
  nr_session waiter{};
  std::thread t([&] {
    uint32_t id = 0;
    rc = nr_open(&id, &waiter, 0);
  });
  // The waiter's open is logged before it blocks.
  while (opens(0).size() < 2) std::this_thread::yield();
  EXPECT_EQ(rc.load(), 1);
  ASSERT_EQ(nr_close(&holder), 0);
  t.join();
  EXPECT_EQ(rc.load(), 0);
  EXPECT_EQ(nrsim_open_count(0), 1);
  EXPECT_EQ(nr_close(&waiter), 0);
}

TEST_F(Sessions, OpenMayReadTheNumberFromItsOwnOutput) {
  nr_session s{1, -1, 0};
  ASSERT_EQ(nr_open(&s.id, &s, NR_OPEN_EXCLUSIVE), 0);
  EXPECT_EQ(s.id, 1u);
  EXPECT_EQ(s.flags, NR_OPEN_EXCLUSIVE);
  EXPECT_EQ(nr_close(&s), 0);
}

TEST_F(Sessions, CloseIsIdempotent) {
  nr_session s = open_or_die(0);
  int before = nrsim_fd_count();
  ASSERT_EQ(nr_close(&s), 0);
  EXPECT_EQ(s.fd, -1);
  EXPECT_EQ(nrsim_fd_count(), before - 1);
  ASSERT_EQ(nr_close(&s), 0);
  EXPECT_EQ(nrsim_fd_count(), before - 1);
  EXPECT_EQ(s.id, 0u);
  EXPECT_FAILS(nr_close(nullptr), EINVAL);
}

TEST_F(Sessions, ReopenKeepsTheRecordedFlags) {
  nr_session s = open_or_die(1, NR_OPEN_NONBLOCKING);
  ASSERT_EQ(nr_close(&s), 0);
  ASSERT_EQ(nr_reopen(&s), 0);
  EXPECT_GE(s.fd, 0);
  ASSERT_EQ(nr_reopen(&s), 0); // an open record is closed first
  EXPECT_EQ(nrsim_open_count(1), 1);
  EXPECT_EQ(opens(1), (std::vector<uint32_t>{0x80C02, 0x80C02, 0x80C02}));
  EXPECT_EQ(nr_close(&s), 0);
  EXPECT_FAILS(nr_reopen(nullptr), EINVAL);
}

TEST_F(Sessions, ReopenAfterRemovalLeavesTheSessionClosed) {
  nr_session s = open_or_die(1);
  ASSERT_EQ(nrsim_remove(1), 0);
  EXPECT_FAILS(nr_reopen(&s), ENODEV);
  EXPECT_EQ(s.fd, -1);
  EXPECT_EQ(s.id, 1u);
  EXPECT_EQ(nrsim_fd_count(), 0);
}

TEST_F(Sessions, InfoReportsTheCardsIdentity) {
  struct nrsim_identity want{};
  ASSERT_EQ(nrsim_identity(1, &want), 0);
  want.vendor_id = 0x1234;
  want.subsystem_vendor_id = 0xabcd;
  want.subsystem_id = 0x0042;
  want.max_dma_buf_size_log2 = 31;
  ASSERT_EQ(nrsim_set_identity(1, &want), 0);

  nr_session s = open_or_die(1);
  nr_info info;
  memset(&info, 0xee, sizeof info);
  ASSERT_EQ(nr_dev_info(&s, &info), 0);
  EXPECT_EQ(info.output_size_bytes, 20u);
  EXPECT_EQ(info.vendor_id, 0x1234);
  EXPECT_EQ(info.device_id, 0xb140);
  EXPECT_EQ(info.subsystem_vendor_id, 0xabcd);
  EXPECT_EQ(info.subsystem_id, 0x0042);
  EXPECT_EQ(info.bus_dev_fn, 0x0400); // 04:00.0
  EXPECT_EQ(info.max_dma_buf_size_log2, 31);
  EXPECT_EQ(info.pci_domain, 0);

  // The record as it left the library: 24 bytes, the size word, then zeros.
  auto log = requests(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].number, 0xFA00u);
  std::vector<uint8_t> expected(24, 0);
  expected[0] = 20;
  EXPECT_EQ(log[0].bytes, expected);
  EXPECT_EQ(nr_close(&s), 0);
}

TEST_F(Sessions, InfoErrorsLeaveTheOutputUntouched) {
  nr_info info;
  memset(&info, 0xee, sizeof info);
  nr_info pristine = info;
  nr_session s = open_or_die(0);

  EXPECT_FAILS(nr_dev_info(nullptr, &info), EINVAL);
  EXPECT_FAILS(nr_dev_info(&s, nullptr), EINVAL);
  ASSERT_EQ(nrsim_fail(0, 0xFA00, EIO, 1), 0);
  EXPECT_FAILS(nr_dev_info(&s, &info), EIO);
  ASSERT_EQ(nrsim_fail(0, 0xFA00, ENODEV, 1), 0);
  EXPECT_FAILS(nr_dev_info(&s, &info), ECONNRESET);
  EXPECT_EQ(memcmp(&info, &pristine, sizeof info), 0);

  ASSERT_EQ(nr_close(&s), 0);
  int logged = nrsim_request_count(0);
  EXPECT_FAILS(nr_dev_info(&s, &info), ENOTCONN);
  EXPECT_EQ(nrsim_request_count(0), logged); // no request made
  EXPECT_EQ(memcmp(&info, &pristine, sizeof info), 0);
}

TEST_F(Sessions, SeveredSessionsRecoverByReopening) {
  nr_session s = open_or_die(0);
  nr_info info;
  ASSERT_EQ(nr_dev_info(&s, &info), 0);
  ASSERT_EQ(nrsim_sever(0), 0);
  EXPECT_FAILS(nr_dev_info(&s, &info), ECONNRESET);
  ASSERT_EQ(nr_reopen(&s), 0);
  ASSERT_EQ(nr_dev_info(&s, &info), 0);
  EXPECT_EQ(info.device_id, 0x401e);
  EXPECT_EQ(nr_close(&s), 0);
}
