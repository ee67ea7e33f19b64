// Device reset: nr_reset, nr_reset_with.
#include <cstring>

#include "support.h"

using Reset = Sim;

namespace {
// The records of the reset requests made on card n, as passed in.
template <class Log> std::vector<std::vector<uint8_t>> reset_records(const Log &log) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto &r : log)
    if (r.number == 0xFA06) out.push_back(r.bytes);
  return out;
}
std::vector<uint8_t> record(uint32_t flags) {
  std::vector<uint8_t> r(16, 0);
  r[0] = 8;
  r[4] = flags;
  return r;
}
} // namespace

TEST_F(Reset, ResetsACardThatVanishesOrStays) {
  for (int mode : {NRSIM_RESET_VANISH, NRSIM_RESET_STAY}) {
    ASSERT_EQ(nrsim_reset_mode(0, mode), 0);
    ASSERT_EQ(nrsim_reset_away_ms(0, 150, 0), 0);
    nrsim_clear_log();
    uint32_t id = 0;
    int before = nrsim_reset_count(0);
    ASSERT_EQ(nr_reset(&id), 0) << strerror(errno);
    EXPECT_EQ(nrsim_reset_count(0), before + 1);
    EXPECT_EQ(opens(0), std::vector<uint32_t>{0x80C82}); // exclusive, non-blocking
    auto recs = reset_records(requests(0));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0], record(4));
    // One record for both steps: only the step changes; the output half
    // keeps what the driver wrote, and its result was 0.
    const auto finish = record(6);
    EXPECT_EQ(std::vector<uint8_t>(recs[1].begin(), recs[1].begin() + 8),
              std::vector<uint8_t>(finish.begin(), finish.begin() + 8));
    EXPECT_EQ(std::vector<uint8_t>(recs[1].begin() + 12, recs[1].end()), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(nrsim_open_count(0), 0);
  }
}

TEST_F(Reset, ACardAlreadyBackIsFinishedAtOnce) {
  ASSERT_EQ(nrsim_reset_mode(0, NRSIM_RESET_STAY), 0);
  ASSERT_EQ(nrsim_reset_away_ms(0, 0, 0), 0);
  uint32_t id = 0;
  ASSERT_EQ(nr_reset(&id), 0);
  EXPECT_EQ(nrsim_reset_count(0), 1);
}

TEST_F(Reset, RefusedWhileThisProcessHoldsTheCard) {
  uint32_t id = 0;
  nr_session s{};
  ASSERT_EQ(nr_open(&id, &s, 0), 0);
  EXPECT_FAILS(nr_reset(&id), EAGAIN);
  EXPECT_EQ(nrsim_reset_count(0), 0);
  EXPECT_TRUE(reset_records(requests(0)).empty());
  nr_info info;
  EXPECT_EQ(nr_dev_info(&s, &info), 0); // the session is untouched

  ASSERT_EQ(nr_reset_with(&s), 0); // closes it first
  EXPECT_EQ(s.fd, -1);
  EXPECT_EQ(s.id, 0u);
  EXPECT_EQ(nrsim_reset_count(0), 1);
  EXPECT_EQ(nrsim_open_count(0), 0);
}

TEST_F(Reset, ArgumentAndDeviceFailures) {
  uint32_t missing = 7;
  EXPECT_FAILS(nr_reset(nullptr), EINVAL);
  EXPECT_FAILS(nr_reset(&missing), ENODEV);
  EXPECT_FAILS(nr_reset_with(nullptr), EINVAL);
  nr_session closed{1, -1, 3};
  EXPECT_FAILS(nr_reset_with(&closed), ENOTCONN);
  EXPECT_EQ(closed.id, 1u);
  EXPECT_EQ(closed.flags, 3);

  uint32_t id = 1;
  nr_session s{};
  ASSERT_EQ(nr_open(&id, &s, 0), 0);
  ASSERT_EQ(nrsim_remove(1), 0);
  EXPECT_FAILS(nr_reset_with(&s), ENODEV); // closed on the way, whatever happens
  EXPECT_EQ(s.fd, -1);
}

TEST_F(Reset, DriverRefusalsCloseTheDescriptor) {
  uint32_t id = 0;
  ASSERT_EQ(nrsim_reset_result(0, 1, 0), 0);
  EXPECT_FAILS(nr_reset(&id), EIO);
  EXPECT_EQ(reset_records(requests(0)).size(), 1u); // no wait, no second step
  EXPECT_EQ(nrsim_open_count(0), 0);

  ASSERT_EQ(nrsim_reset_result(0, 0, 5), 0);
  ASSERT_EQ(nrsim_reset_away_ms(0, 0, 0), 0);
  nrsim_clear_log();
  EXPECT_FAILS(nr_reset(&id), EIO);
  EXPECT_EQ(reset_records(requests(0)).size(), 2u);
  EXPECT_EQ(nrsim_open_count(0), 0);

  ASSERT_EQ(nrsim_reset_result(0, 0, 0), 0);
  ASSERT_EQ(nrsim_fail(0, 0xFA06, ENODEV, 1), 0);
  EXPECT_FAILS(nr_reset(&id), ECONNRESET);
  ASSERT_EQ(nrsim_fail(0, 0xFA00, EIO, 1), 0);
  EXPECT_FAILS(nr_reset(&id), EIO); // the information request failed: no reset asked
  EXPECT_EQ(nrsim_open_count(0), 0);
}

// Waits out the real 4 to 5 second deadline: the only native test that does.
TEST_F(Reset, ACardThatNeverComesBackTimesOut) {
  ASSERT_EQ(nrsim_reset_mode(1, NRSIM_RESET_VANISH), 0);
  ASSERT_EQ(nrsim_reset_away_ms(1, 0, 1), 0);
  uint32_t id = 1;
  EXPECT_FAILS(nr_reset(&id), ETIMEDOUT);
  EXPECT_EQ(reset_records(requests(1)), std::vector<std::vector<uint8_t>>{record(4)});
  EXPECT_EQ(nrsim_open_count(1), 0);
}
