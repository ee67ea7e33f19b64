// Shared fixture for native tests: every test starts from the simulator's
// launch configuration (card 0: 0x401e at 0000:03:00.0, card 1: 0xb140 at
// 0000:04:00.0).
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "nrhal.h"
#include "nrsim.h"

class Sim : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(nrsim_reset(), 0); }
  void TearDown() override { nrsim_reset(); }

  static std::vector<uint32_t> opens(uint32_t n) {
    std::vector<uint32_t> flags(nrsim_opens(n, nullptr, 0));
    nrsim_opens(n, flags.data(), flags.size());
    return flags;
  }

  struct Request {
    uint32_t number;
    std::vector<uint8_t> bytes;
  };
  static std::vector<Request> requests(uint32_t n) {
    std::vector<Request> out;
    int count = nrsim_request_count(n);
    for (int i = 0; i < count; ++i) {
      Request r{};
      long size = nrsim_request(n, i, &r.number, nullptr, 0);
      r.bytes.resize(size);
      nrsim_request(n, i, &r.number, r.bytes.data(), r.bytes.size());
      out.push_back(r);
    }
    return out;
  }
};

// Expects a -1 return with the given errno.
#define EXPECT_FAILS(call, err)                                                                                        \
  do {                                                                                                                 \
    errno = 0;                                                                                                         \
    EXPECT_EQ((call), -1);                                                                                             \
    EXPECT_EQ(errno, (err));                                                                                           \
  } while (0)
