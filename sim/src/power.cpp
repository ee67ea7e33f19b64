// Power requests (0xFA0F).  Each descriptor holds one request, the last it
// made; the card runs a feature while any of its live descriptors asks for
// it.  Requests live in the descriptors themselves, so a close or a sever
// ends one without any bookkeeping here.
#include <cerrno>
#include <cstring>

#include "sim.h"

namespace nrsim {

namespace {
constexpr uint32_t RECORD_SIZE = 40;
// The features this driver knows: bits 0 to 3 of power_flags.  A request
// must say it was made for exactly these.
constexpr uint8_t FLAG_COUNT = 4;

struct PowerRecord {
  uint32_t argsz;
  uint32_t flags;
  uint8_t reserved0;
  uint8_t flag_count;
  uint16_t power_flags;
  uint8_t reserved1[28];
};
static_assert(sizeof(PowerRecord) == RECORD_SIZE);
} // namespace

int power_request(Call &c) {
  if (!c.record) return -EFAULT;
  PowerRecord r;
  memcpy(&r, c.record, sizeof r);
  if (r.argsz != RECORD_SIZE || r.flags != 0 || r.reserved0 != 0 || r.flag_count != FLAG_COUNT) return -EINVAL;
  for (uint8_t b : r.reserved1)
    if (b != 0) return -EINVAL;
  // Bits above the known features are kept as asked: the card ignores them,
  // but the readback shows what the program sent.
  c.desc.power = r.power_flags;
  return 0;
}

uint16_t power_effective(const Sim &s, const Card &c) {
  uint16_t on = 0;
  for (const auto &[fd, d] : s.descs)
    if (d.kind == Desc::Kind::Device && d.life == c.life) on |= d.power;
  return on;
}

} // namespace nrsim

using namespace nrsim;

namespace nrsim::ctl {

int nrsim_power(uint32_t n, uint16_t *effective) {
  if (!effective) return control_fail(EINVAL);
  return with_card(n, [effective](Sim &s, Card &c) {
    *effective = power_effective(s, c);
    return 0;
  });
}

} // namespace nrsim::ctl
