// Power requests: nr_power.
#include <cstring>

#include "support.h"

using Power = Sim;

TEST_F(Power, RequestRecordAndCombination) {
  uint32_t id = 0;
  nr_session a{}, b{};
  ASSERT_EQ(nr_open(&id, &a, 0), 0);
  ASSERT_EQ(nr_open(&id, &b, 0), 0);
  nrsim_clear_log();

  ASSERT_EQ(nr_power(&a, 0x1), 0);
  ASSERT_EQ(nr_power(&b, 0x8), 0);
  uint16_t effective = 0;
  ASSERT_EQ(nrsim_power(0, &effective), 0);
  EXPECT_EQ(effective, 0x9); // any session asking turns a feature on

  ASSERT_EQ(nr_power(&a, 0xFFFF), 0); // sent unmasked
  auto log = requests(0);
  ASSERT_EQ(log.size(), 3u);
  std::vector<uint8_t> rec(40, 0);
  rec[0] = 40;
  rec[9] = 4; // flag_count
  rec[10] = rec[11] = 0xFF;
  EXPECT_EQ(log[2].number, 0xFA0Fu);
  EXPECT_EQ(log[2].bytes, rec);

  ASSERT_EQ(nr_power(&a, 0), 0); // all off is a request too
  EXPECT_EQ(requests(0).size(), 4u);
  ASSERT_EQ(nr_close(&b), 0); // its request ends with it
  ASSERT_EQ(nrsim_power(0, &effective), 0);
  EXPECT_EQ(effective, 0);
  ASSERT_EQ(nr_close(&a), 0);
}

TEST_F(Power, Failures) {
  uint32_t id = 1;
  nr_session s{};
  ASSERT_EQ(nr_open(&id, &s, 0), 0);
  EXPECT_FAILS(nr_power(nullptr, 1), EINVAL);
  ASSERT_EQ(nrsim_fail(1, 0xFA0F, ENODEV, 1), 0);
  EXPECT_FAILS(nr_power(&s, 1), ECONNRESET);
  ASSERT_EQ(nrsim_fail(1, 0xFA0F, EPERM, 1), 0);
  EXPECT_FAILS(nr_power(&s, 1), EPERM);
  ASSERT_EQ(nr_close(&s), 0);
  nrsim_clear_log();
  EXPECT_FAILS(nr_power(&s, 1), ENOTCONN);
  EXPECT_EQ(nrsim_request_count(1), 0);
}
