// Device information (0xFA00): the card's PCI identity.
#include <cerrno>
#include <cstring>

#include "sim.h"

namespace nrsim {

namespace {
constexpr uint32_t OUTPUT_SIZE = 20; // output half: size word and seven u16
constexpr size_t OUTPUT_AT = 4;
constexpr size_t WRITTEN = 18; // the reserved tail is left alone
} // namespace

int device_info(Call &c) {
  uint32_t in_size;
  if (!copy_in(&in_size, c.arg, sizeof in_size)) return -EFAULT;
  if (in_size < OUTPUT_SIZE) return -EINVAL;

  const Identity &id = c.card.identity;
  const uint16_t fields[7] = {id.vendor_id,  id.device_id,  id.subsystem_vendor_id,  id.subsystem_id,
                              id.bus_dev_fn, id.max_dma_buf_size_log2, id.pci_domain};
  unsigned char out[WRITTEN];
  memcpy(out, &OUTPUT_SIZE, 4);
  memcpy(out + 4, fields, sizeof fields);
  static_assert(4 + sizeof fields == WRITTEN);
  if (!copy_out(static_cast<char *>(c.arg) + OUTPUT_AT, out, WRITTEN)) return -EFAULT;
  return 0;
}

} // namespace nrsim
