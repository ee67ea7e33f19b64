// The telemetry firmware (telem.cpp).
#pragma once

#include <vector>

#include "base.h"

namespace nrsim {

// The telemetry firmware of one incarnation (telem.cpp).
struct Telemetry {
  bool present = false;   // the card's architecture has a telemetry tile
  bool own_table = true;  // the firmware's table, not one a control put there
  uint16_t device_id = 0; // the architecture it booted with
  std::vector<nrsim_telem_entry> table; // what the published table lists
  uint32_t table_words = 0; // entry words written so far, cleared on a shorter table
  uint64_t ticks = 0;
  Clock::time_point due{};
};

// Publishes the telemetry of c's fresh incarnation, if its architecture has
// any.  Lock held.
void telem_boot(Sim &s, Card &c);
// Starts the firmware thread if a card needs it and it is not running.
// Lock held.
void telem_start(Sim &s);

} // namespace nrsim
