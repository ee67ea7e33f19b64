// Launch configuration and the identity a card starts with (config.cpp).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "base.h"

namespace nrsim {

// Identity of a card nobody configured otherwise.  The vendor ID is our own
// invention; subsystem fields repeat it, and 28 (256 MiB) is the DMA limit.
constexpr uint16_t DEFAULT_VENDOR_ID = 0x1F7A;
constexpr uint16_t DEFAULT_SUBSYSTEM_ID = 0x0001;
constexpr uint16_t DEFAULT_MAX_DMA_LOG2 = 28;
constexpr const char *DEFAULT_FW_BUNDLE = "18.7.0.0\n";
constexpr uint8_t DEFAULT_PCI_COMMAND = 0x06; // memory space + bus master
constexpr unsigned DEFAULT_RESET_AWAY_MS = 200;
// The driver version 0xFA05 reports until a control sets another.
constexpr std::array<uint8_t, 3> DEFAULT_KMD_VERSION = {2, 4, 1};

struct LaunchCard {
  uint16_t device_id;
  Identity identity;
};

bool parse_bdf(std::string_view text, uint16_t *domain, uint16_t *bus_dev_fn);
Identity default_identity(uint16_t device_id, uint16_t domain, uint16_t bus_dev_fn);
// Parses a card list (NRSIM_DEVICES: "0x401e@0000:03:00.0,..."); false if
// malformed, with the offending item in *bad if one is to blame.
bool parse_devices(std::string_view list, std::vector<LaunchCard> *out, std::string *bad = nullptr);
std::string pci_config(const Identity &id);
void apply_identity(Card &c);

} // namespace nrsim
