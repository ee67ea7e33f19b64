// The management controller (smc.cpp).
#pragma once

#include <array>
#include <deque>
#include <map>

#include "base.h"

namespace nrsim {

using SmcWords = std::array<uint32_t, 8>;

// The request and its record, as the host and the processes both read them.
constexpr uint32_t SMC_REQUEST = 0xFA11, SMC_RECORD = 48;
constexpr uint32_t SMC_POST = 1, SMC_POLL = 2, SMC_DROP = 4;
constexpr size_t SMC_RESERVED_AT = 8, SMC_RESERVED_SIZE = 8, SMC_MESSAGE_AT = 16;
static_assert(SMC_MESSAGE_AT + sizeof(SmcWords) == SMC_RECORD);
// Whether a record is a well-formed poll (or, flags = SMC_POST, post).
bool smc_record_is(const uint8_t *record, uint32_t flags);

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
// Whether descriptor d's next poll is sure to fetch the reply it holds,
// whatever else happens first, as long as no other request or control
// does: the post's answer may then hand the reply over with it.
bool smc_ready_alone(const Card &c, const Desc &d);
// Brings card c's controller up to date: completes what is due and takes
// what is queued.  Lock held.
void smc_settle(Sim &s, Card &c);
// The descriptor gives up its message, as a drop does.  Lock held; d is a
// live descriptor of c's current incarnation.
void smc_abandon(Sim &s, Card &c, Desc &d, int fd);

} // namespace nrsim
