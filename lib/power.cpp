// Power requests.
#include "driver.h"
#include "internal.h"
#include "nrhal.h"

extern "C" int nr_power(const nr_session *session, uint16_t power_flags) {
  if (!nr::ready(session)) return -1;
  nr::drv::power_state rec{};
  rec.argsz = sizeof rec;
  rec.flag_count = nr::drv::POWER_FLAG_COUNT;
  rec.power_flags = power_flags; // unmasked: the driver decides about other bits
  return nr::ioctl_req(session->fd, nr::drv::NR_IOCTL_SET_POWER_STATE, &rec);
}
