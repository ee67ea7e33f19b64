// Discovery and addressing: nr_dev_scan, nr_dev_from_path, nr_dev_from_bdf.
#include <filesystem>
#include <string>
#include <unistd.h>

#include "support.h"

using Discovery = Sim;

TEST_F(Discovery, ScanListsCardsAndCountsThoseThatDidNotFit) {
  uint32_t ids[8] = {};
  ASSERT_EQ(nr_dev_scan(8, ids), 2);
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(ids[1], 1u);

  ASSERT_EQ(nrsim_add(0x401e, "0000:05:00.0"), 2);
  uint32_t two[2] = {99, 99};
  uint32_t guard = 0xdeadbeef;
  EXPECT_EQ(nr_dev_scan(2, two), 3);
  EXPECT_EQ(two[0], 0u);
  EXPECT_EQ(two[1], 1u);
  EXPECT_EQ(guard, 0xdeadbeef);

  EXPECT_EQ(nr_dev_scan(0, nullptr), 3);
}

TEST_F(Discovery, ScanSkipsEntriesThatAreNotCardNodes) {
  ASSERT_EQ(nrsim_add_entry("0x1", NRSIM_ENTRY_CHR), 0);
  ASSERT_EQ(nrsim_add_entry("1a", NRSIM_ENTRY_CHR), 0);
  ASSERT_EQ(nrsim_add_entry("7", NRSIM_ENTRY_REG), 0);
  ASSERT_EQ(nrsim_add_entry("8", NRSIM_ENTRY_DIR), 0);
  ASSERT_EQ(nrsim_add_entry("9", NRSIM_ENTRY_UNKNOWN), 0);
  // Would alias card 0 if stored truncated to 32 bits.
  ASSERT_EQ(nrsim_add_entry("4294967296", NRSIM_ENTRY_CHR), 0);
  ASSERT_EQ(nrsim_add_entry("99999999999999999999999", NRSIM_ENTRY_CHR), 0);
  // strtoul would read these as 0 and 1.
  ASSERT_EQ(nrsim_add_entry("-0", NRSIM_ENTRY_CHR), 0);
  ASSERT_EQ(nrsim_add_entry("+1", NRSIM_ENTRY_CHR), 0);
  ASSERT_EQ(nrsim_add_entry("4294967295", NRSIM_ENTRY_CHR), 0); // largest valid number

  uint32_t ids[16] = {};
  ASSERT_EQ(nr_dev_scan(16, ids), 3);
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(ids[1], 1u);
  EXPECT_EQ(ids[2], 4294967295u);
}

TEST_F(Discovery, ScanWithoutDriverIsEmptyAndUnreadableDirectoryFails) {
  ASSERT_EQ(nrsim_set_driver(NRSIM_DRIVER_UNLOADED), 0);
  uint32_t ids[4];
  EXPECT_EQ(nr_dev_scan(4, ids), 0);
  uint32_t id = 7;
  EXPECT_FAILS(nr_dev_from_bdf("0000:03:00.0", &id), ENODEV);
  EXPECT_EQ(id, 7u);

  ASSERT_EQ(nrsim_set_driver(NRSIM_DRIVER_DENIED), 0);
  EXPECT_FAILS(nr_dev_scan(4, ids), EACCES);
  EXPECT_FAILS(nr_dev_from_bdf("0000:03:00.0", &id), ENODEV); // the scan's errno is not passed on
}

TEST_F(Discovery, FromPathResolvesToANodeNumber) {
  uint32_t id = 99;
  ASSERT_EQ(nr_dev_from_path("/dev/norvane/1", &id), 0);
  EXPECT_EQ(id, 1u);
  ASSERT_EQ(nr_dev_from_path("/dev/norvane/../norvane/0", &id), 0);
  EXPECT_EQ(id, 0u);

  // A symbolic link elsewhere that points at a node.
  auto dir = std::filesystem::temp_directory_path() / ("nrhal-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::create_symlink("/dev/norvane/1", dir / "card");
  id = 99;
  int rc = nr_dev_from_path((dir / "card").c_str(), &id);
  std::filesystem::remove_all(dir);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(id, 1u);
}

TEST_F(Discovery, FromPathRejectsWhatIsNotANode) {
  uint32_t id = 99;
  EXPECT_FAILS(nr_dev_from_path("/dev/norvane/5", &id), ENODEV);
  EXPECT_FAILS(nr_dev_from_path("/no/such/path", &id), ENODEV);
  EXPECT_FAILS(nr_dev_from_path("/dev/null", &id), EINVAL);
  EXPECT_FAILS(nr_dev_from_path("/dev/norvane", &id), EINVAL);
  ASSERT_EQ(nrsim_add_entry("4294967296", NRSIM_ENTRY_CHR), 0);
  EXPECT_FAILS(nr_dev_from_path("/dev/norvane/4294967296", &id), EINVAL);
  ASSERT_EQ(nrsim_add_entry("1a", NRSIM_ENTRY_CHR), 0);
  EXPECT_FAILS(nr_dev_from_path("/dev/norvane/1a", &id), EINVAL);
  ASSERT_EQ(nrsim_add_entry("+1", NRSIM_ENTRY_CHR), 0);
  EXPECT_FAILS(nr_dev_from_path("/dev/norvane/+1", &id), EINVAL);
  EXPECT_EQ(id, 99u);

  // Not opened, not type-checked: a numbered regular file resolves too.
  ASSERT_EQ(nrsim_add_entry("7", NRSIM_ENTRY_REG), 0);
  ASSERT_EQ(nr_dev_from_path("/dev/norvane/7", &id), 0);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(nrsim_request_count(0) + static_cast<int>(opens(0).size()), 0);

  EXPECT_FAILS(nr_dev_from_path(nullptr, &id), EINVAL);
  EXPECT_FAILS(nr_dev_from_path("/dev/norvane/0", nullptr), EINVAL);
}

TEST_F(Discovery, FromBdfMatchesByValueInBothForms) {
  for (const char *addr : {"03:00.0", "0000:03:00.0", "3:0.0", "0:3:0.0", "0000:03:00.0 ", "0000:03:00.0junk"}) {
    uint32_t id = 99;
    EXPECT_EQ(nr_dev_from_bdf(addr, &id), 0) << addr;
    EXPECT_EQ(id, 0u) << addr;
  }
  uint32_t id = 99;
  ASSERT_EQ(nr_dev_from_bdf("0000:04:00.0", &id), 0);
  EXPECT_EQ(id, 1u);
  // Temporary sessions are closed again, and were blocking, shared opens.
  EXPECT_EQ(nrsim_open_count(0), 0);
  EXPECT_EQ(nrsim_open_count(1), 0);
  EXPECT_EQ(opens(1), std::vector<uint32_t>{0x80402});
}

TEST_F(Discovery, FromBdfRefusesMalformedAndUnknownAddresses) {
  uint32_t id = 99;
  EXPECT_FAILS(nr_dev_from_bdf("03-00-0", &id), EINVAL);
  EXPECT_FAILS(nr_dev_from_bdf("", &id), EINVAL);
  EXPECT_FAILS(nr_dev_from_bdf("0000:03:20.0", &id), ENODEV); // device above 0x1f
  EXPECT_FAILS(nr_dev_from_bdf("0000:03:00.8", &id), ENODEV); // function above 7
  EXPECT_FAILS(nr_dev_from_bdf("1:0000:03:00.0", &id), EINVAL); // neither form parses
  EXPECT_FAILS(nr_dev_from_bdf("ffffffff:ffffffff:ffffffff.ffffffff", &id), ENODEV); // cut at 19 characters
  EXPECT_EQ(id, 99u);
  EXPECT_FAILS(nr_dev_from_bdf(nullptr, &id), EINVAL);
  EXPECT_FAILS(nr_dev_from_bdf("03:00.0", nullptr), EINVAL);
}

// A field is taken at its true value: one that needs more than 32 bits, or
// a negative one, names no card, however its low 32 bits read.
TEST_F(Discovery, FromBdfFieldsBeyond32BitsNameNoCard) {
  uint32_t id = 99;
  for (const char *addr : {"100000000:03:00.0", "0000:103:00.0", "0000:04:10000000000.0", "0:3:0.100000000",
                           "0:-fffffffd:0.0", "-ffffffff00000000:3:0.0", "103:00.0", "03:00.-ffffffff00000000",
                           "ffffffffffffffffffffffff:3:0.0", "0x100000003:0.0"}) {
    EXPECT_FAILS(nr_dev_from_bdf(addr, &id), ENODEV);
    EXPECT_EQ(id, 99u) << addr;
  }
  EXPECT_EQ(nrsim_open_count(0), 0);
  // Leading zeros, a sign of zero, a 0x prefix and eight digits all fit.
  for (const char *addr : {"000000000000:03:00.0", "-0:3:0.0", "+0x0:0x03:0.0", "0000:00000003:00000000.00000000",
                           " 0:\t+3:0X0.0", "0:3:0x.0"}) {
    id = 99;
    EXPECT_EQ(nr_dev_from_bdf(addr, &id), 0) << addr;
    EXPECT_EQ(id, 0u) << addr;
  }
}

TEST_F(Discovery, FromBdfPassesOverCardsItCannotQuery) {
  ASSERT_EQ(nrsim_fail_open(0, EACCES, 1), 0);
  ASSERT_EQ(nrsim_fail(1, 0xFA00, EIO, 1), 0);
  uint32_t id = 99;
  EXPECT_FAILS(nr_dev_from_bdf("0000:04:00.0", &id), ENODEV);
  EXPECT_EQ(nrsim_open_count(1), 0);
  ASSERT_EQ(nr_dev_from_bdf("0000:04:00.0", &id), 0);
  EXPECT_EQ(id, 1u);
}

TEST_F(Discovery, FromBdfExaminesOnlyTheFirst64Numbers) {
  char bdf[20];
  for (int bus = 5; bus < 5 + 70; ++bus) {
    snprintf(bdf, sizeof bdf, "0000:%02x:00.0", bus);
    ASSERT_GE(nrsim_add(0x401e, bdf), 0);
  }
  uint32_t ids[128];
  ASSERT_EQ(nr_dev_scan(128, ids), 72);
  uint32_t id = 99;
  // Card 63 is the 64th listed; card 64 is never looked at.
  snprintf(bdf, sizeof bdf, "0000:%02x:00.0", 5 + 61);
  ASSERT_EQ(nr_dev_from_bdf(bdf, &id), 0);
  EXPECT_EQ(id, 63u);
  snprintf(bdf, sizeof bdf, "0000:%02x:00.0", 5 + 62);
  EXPECT_FAILS(nr_dev_from_bdf(bdf, &id), ENODEV);
  EXPECT_TRUE(opens(64).empty());
  EXPECT_EQ(opens(63).size(), 2u);
}
