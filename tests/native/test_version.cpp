// Version queries: nr_kmd_version, nr_fw_version.
#include <cstring>

#include "support.h"

using Version = Sim;

namespace {
nr_version poisoned() {
  nr_version v;
  memset(&v, 0xee, sizeof v);
  return v;
}
} // namespace

TEST_F(Version, DriverVersionFromTheFirstCardListed) {
  ASSERT_EQ(nrsim_set_kmd_version(2, 7, 255), 0);
  ASSERT_EQ(nrsim_list_descending(1), 0);
  nr_version v = poisoned();
  ASSERT_EQ(nr_kmd_version(&v), 0);
  EXPECT_EQ(v.major, 2u);
  EXPECT_EQ(v.minor, 7u);
  EXPECT_EQ(v.patch, 255u);
  EXPECT_EQ(v.pre[0], '\0');
  EXPECT_EQ(v.build[31], '\0'); // cleared whole
  // Card 1 is listed first: only it was opened and asked.
  EXPECT_TRUE(opens(0).empty());
  auto log = requests(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].number, 0xFA05u);
  std::vector<uint8_t> rec(16, 0);
  rec[0] = 12;
  EXPECT_EQ(log[0].bytes, rec);
  EXPECT_EQ(nrsim_open_count(1), 0);
}

TEST_F(Version, DriverVersionFailures) {
  nr_version v = poisoned(), pristine = v;
  EXPECT_FAILS(nr_kmd_version(nullptr), EINVAL);
  ASSERT_EQ(nrsim_fail(0, 0xFA05, ENODEV, 1), 0);
  EXPECT_FAILS(nr_kmd_version(&v), ECONNRESET);
  EXPECT_EQ(nrsim_open_count(0), 0);
  ASSERT_EQ(nrsim_remove(0), 0);
  ASSERT_EQ(nrsim_remove(1), 0);
  EXPECT_FAILS(nr_kmd_version(&v), ENODEV); // empty directory
  ASSERT_EQ(nrsim_set_driver(NRSIM_DRIVER_UNLOADED), 0);
  EXPECT_FAILS(nr_kmd_version(&v), ENODEV);
  ASSERT_EQ(nrsim_set_driver(NRSIM_DRIVER_DENIED), 0);
  EXPECT_FAILS(nr_kmd_version(&v), EACCES);
  EXPECT_EQ(memcmp(&v, &pristine, sizeof v), 0);
}

TEST_F(Version, FirmwareAttributeIsParsed) {
  uint32_t id = 0;
  nr_session s{};
  ASSERT_EQ(nr_open(&id, &s, 0), 0);
  struct Case {
    const char *text;
    uint64_t major, minor, patch;
    const char *pre;
  };
  for (Case c : {Case{"1.2.3.0\n", 1, 2, 3, ""}, Case{"1.2.3.4", 1, 2, 3, "rc.4"}, Case{" 18. 7.0.3 trailing", 18, 7, 0, "rc.3"},
                 // Only the first 31 bytes are read: the fourth number is cut short.
                 Case{"1000000000.2000000000.3.123456789", 1000000000, 2000000000, 3, "rc.1234567"}}) {
    ASSERT_EQ(nrsim_set_fw_version(0, c.text), 0);
    nr_version v = poisoned();
    ASSERT_EQ(nr_fw_version(&s, &v), 0) << c.text;
    EXPECT_EQ(v.major, c.major) << c.text;
    EXPECT_EQ(v.minor, c.minor) << c.text;
    EXPECT_EQ(v.patch, c.patch) << c.text;
    EXPECT_STREQ(v.pre, c.pre) << c.text;
    EXPECT_EQ(v.build[0], '\0');
  }
  nr_close(&s);
}

TEST_F(Version, FirmwareAttributeFailures) {
  uint32_t id = 0;
  nr_session s{};
  ASSERT_EQ(nr_open(&id, &s, 0), 0);
  nr_version v = poisoned(), pristine = v;
  for (const char *bad : {"1.2.3", "", "x1.2.3.4", "1.2.3.", "1-2-3-4"}) {
    ASSERT_EQ(nrsim_set_fw_version(0, bad), 0);
    EXPECT_FAILS(nr_fw_version(&s, &v), EIO);
  }
  ASSERT_EQ(nrsim_set_fw_version(0, nullptr), 0);
  EXPECT_FAILS(nr_fw_version(&s, &v), ENOENT);
  EXPECT_FAILS(nr_fw_version(nullptr, &v), EINVAL);
  EXPECT_FAILS(nr_fw_version(&s, nullptr), EINVAL);
  ASSERT_EQ(nrsim_set_fw_version(0, "1.2.3.4"), 0);
  ASSERT_EQ(nr_close(&s), 0);
  EXPECT_FAILS(nr_fw_version(&s, &v), ENOTCONN); // though the attribute is readable
  EXPECT_EQ(memcmp(&v, &pristine, sizeof v), 0);
  EXPECT_EQ(nrsim_fd_count(), 0); // the attribute file was closed every time
}
