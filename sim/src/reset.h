// Reset and the card's PCI presence (reset.cpp).
#pragma once

#include "config.h"

namespace nrsim {

// How the card goes through a reset (0xFA06).  The settings are the card's
// own and so outlive a sever; `away` and `since` say whether it is off the
// bus now (reset.cpp decides, from the clock, when it is back).
struct ResetState {
  int mode = NRSIM_RESET_VANISH;
  unsigned away_ms = DEFAULT_RESET_AWAY_MS;
  bool never = false;
  uint32_t begin_result = 0, finish_result = 0; // forced results; 0: none
  int count = 0; // resets completed
  bool away = false;
  Clock::time_point since{}; // the first step that took it off the bus
};

// Is the card's PCI directory gone (off the bus in vanish mode)?
bool pci_absent(const Card &c);
// Does its configuration space carry the mark of a card not back yet
// (off the bus in stay mode)?
bool pci_marked(const Card &c);

} // namespace nrsim
