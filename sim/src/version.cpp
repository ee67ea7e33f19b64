// Versions: the driver's own (0xFA05), the firmware bundle attribute of each
// card, and the order /dev/norvane lists its cards in (which decides the card
// a driver-version query picks).
#include <cerrno>
#include <cstring>

#include "sim.h"

namespace nrsim {

namespace {
constexpr uint32_t OUTPUT_SIZE = 12; // output half: two words, three version bytes, one reserved
constexpr size_t OUTPUT_AT = 4;
} // namespace

int driver_info(Call &c) {
  uint32_t in_size;
  if (!copy_in(&in_size, c.arg, sizeof in_size)) return -EFAULT;
  if (in_size < OUTPUT_SIZE) return -EINVAL;

  unsigned char out[OUTPUT_SIZE] = {};
  const uint32_t words[2] = {OUTPUT_SIZE, NRSIM_DRIVER_INTERFACE};
  memcpy(out, words, sizeof words);
  memcpy(out + 8, c.sim.kmd_version.data(), c.sim.kmd_version.size());
  if (!copy_out(static_cast<char *>(c.arg) + OUTPUT_AT, out, sizeof out)) return -EFAULT;
  return 0;
}

} // namespace nrsim

using namespace nrsim;

namespace nrsim::ctl {

int nrsim_set_kmd_version(uint8_t major, uint8_t minor, uint8_t patch) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.kmd_version = {major, minor, patch};
  return 0;
}

int nrsim_set_fw_version(uint32_t n, const char *text) {
  return with_card(n, [text](Sim &, Card &c) {
    auto &files = c.tree(Tree::Class);
    // Descriptors already open on the attribute see the new text, or ENODEV
    // once it is gone, as sysfs readers of a changed attribute do.
    if (text) files["nr_fw_bundle_ver"] = text;
    else files.erase("nr_fw_bundle_ver");
    return 0;
  });
}

int nrsim_list_descending(int on) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.list_descending = on != 0;
  return 0;
}

} // namespace nrsim::ctl
