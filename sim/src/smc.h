// The management controller (smc.cpp).
#pragma once

#include <array>
#include <deque>
#include <map>

#include "base.h"

namespace nrsim {

using SmcWords = std::array<uint32_t, 8>;

// How the card's controller firmware treats messages.  It belongs to the card
// and so outlives a sever; each message takes the behaviour in force when the
// controller takes it.
struct SmcConfig {
  enum class Delay : uint8_t { Polls, Ms };
  Delay delay = Delay::Polls;
  unsigned amount = 0; // polls or milliseconds
  bool hang = false;
  std::map<uint8_t, SmcWords> replies; // overrides, by message code
};

// The controller of one incarnation: the message it runs and those queued
// behind it, from every descriptor of the card, first come first served.
// Invariant: the queue is empty whenever the controller is idle.
struct Controller {
  struct Queued {
    int fd;
    SmcWords words;
  };
  enum class Until : uint8_t { Polls, Time, Never };

  std::deque<Queued> queue;
  bool busy = false;
  int owner = -1;     // descriptor awaiting the running message; -1 once it gave up
  SmcWords words{};   // the running message
  SmcWords reply{};   // and what it will answer
  uint32_t index = 0; // messages taken before it
  Until until = Until::Polls;
  unsigned polls_left = 0;
  Clock::time_point due{};
  uint32_t taken_count = 0;
};

int smc_message(Call &c);
// Brings card c's controller up to date: completes what is due and takes
// what is queued.  Lock held.
void smc_settle(Sim &s, Card &c);
// The descriptor gives up its message, as a drop does.  Lock held; d is a
// live descriptor of c's current incarnation.
void smc_abandon(Sim &s, Card &c, Desc &d, int fd);

} // namespace nrsim
