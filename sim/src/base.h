// What every part of the simulator shares: the control interface, the
// clock, and the names of its parts.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "nrsim.h"
#include "wire.h"

#define NRSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace nrsim {

using Identity = struct nrsim_identity;
using Clock = std::chrono::steady_clock;

struct Sim;
struct Card;
struct Incarnation;
struct Desc;
struct Call;

// A control's failure: errno set, -1 returned.
inline int control_fail(int err) {
  errno = err;
  return -1;
}

} // namespace nrsim
