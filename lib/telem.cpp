// Telemetry reader: finds the firmware's table through the telemetry tile's
// two pointer registers and copies one consistent snapshot, every device
// load under the bus-fault trap.
#include <cerrno>
#include <csetjmp>
#include <cstring>

#include "internal.h"
#include "nrhal.h"
#include "trap.h"

namespace {

struct Arch {
  uint16_t device_id;
  uint8_t x, y; // the telemetry tile
  uint32_t table_reg, data_reg;
};
constexpr Arch archs[] = {
    {0x401E, 0, 2, 0x800301D0, 0x800301D4},
    {0xB140, 8, 0, 0x80030434, 0x80030430}, // data pointer first on this one
};

constexpr uint64_t WINDOW = 0x200000;
constexpr uint64_t REG_BASE = 0x80000000;
constexpr uint64_t MEM_BASE = 0x10000000;
constexpr uint32_t PTR_LAST = 0x1007FFFF;
constexpr uint32_t MAX_ENTRIES = 128;
constexpr uint16_t UNREPORTED = 0xFFFF;
constexpr unsigned HEARTBEAT = 32;
constexpr int COPIES = 3;

// The firmware's pointers lie anywhere in the table area, word aligned or
// not: a word read through a type aligned to 1 is defined wherever it lands,
// and is still one 32-bit load where the processor allows that.
typedef uint32_t any_u32 __attribute__((aligned(1)));

#ifdef NR_TELEMETRY_SEAM
} // namespace
// Test builds only: lets a test see and change every device load.
extern "C" {
uint32_t (*nr_telemetry_seam)(const volatile uint32_t *p, uint32_t v) = nullptr;
}
namespace {
inline uint32_t load(const volatile uint8_t *p) {
  uint32_t v = *reinterpret_cast<const volatile any_u32 *>(p);
  return nr_telemetry_seam ? nr_telemetry_seam(reinterpret_cast<const volatile uint32_t *>(p), v) : v;
}
#else
inline uint32_t load(const volatile uint8_t *p) { return *reinterpret_cast<const volatile any_u32 *>(p); }
#endif

} // namespace

extern "C" int nr_telemetry(const nr_session *session, uint32_t *values) {
  if (!session || !values) return nr::fail(EINVAL);
  if (session->fd < 0) return nr::fail(ENOTCONN);
  nr_info info;
  if (nr_dev_info(session, &info) != 0) return -1;
  const Arch *arch = nullptr;
  for (const Arch &a : archs)
    if (a.device_id == info.device_id) arch = &a;
  if (!arch) return nr::fail(ENOTSUP);

  memset(values, 0, NR_TELEMETRY_SLOTS * sizeof *values);
  nr_tlb handle;
  if (nr_tlb_alloc(session, WINDOW, NR_TLB_UNCACHED, &handle) != 0) return -1;

  // Read again after a jump back from the trap, so kept out of registers.
  const nr_session *volatile sess = session;
  uint32_t *volatile out = values;
  const volatile uint8_t *volatile table = nullptr;
  const volatile uint8_t *volatile data = nullptr;
  volatile int err = 0;

  nr_tlb_config cfg{};
  cfg.x_end = arch->x;
  cfg.y_end = arch->y;
  cfg.addr = REG_BASE;
  if (nr_tlb_bind(sess, &handle, &cfg) != 0) {
    err = errno;
  } else {
    nr_trap_arm(handle.mapping, WINDOW);
    if (sigsetjmp(nr_trap_jmp, 1) != 0) {
      err = ECONNRESET;
    } else {
      uint32_t t = load(handle.mapping + (arch->table_reg - REG_BASE));
      uint32_t d = load(handle.mapping + (arch->data_reg - REG_BASE));
      nr_trap_disarm();
      if (t < MEM_BASE || t > PTR_LAST || d < MEM_BASE || d > PTR_LAST) {
        err = EIO;
      } else {
        cfg.addr = MEM_BASE;
        if (nr_tlb_bind(sess, &handle, &cfg) != 0) {
          err = errno;
        } else {
          table = handle.mapping + (t - MEM_BASE);
          data = handle.mapping + (d - MEM_BASE);
          nr_trap_arm(handle.mapping, WINDOW);
          if (sigsetjmp(nr_trap_jmp, 1) != 0) {
            err = ECONNRESET;
          } else {
            uint16_t slot[NR_TELEMETRY_SLOTS];
            for (uint16_t &s : slot) s = UNREPORTED;
            uint32_t n = load(table + 4);
            if (n > MAX_ENTRIES) n = MAX_ENTRIES;
            for (uint32_t i = 0; i < n && !err; ++i) {
              uint32_t entry = load(table + 8 + 4 * i);
              uint16_t tag = entry & 0xFFFF;
              if (tag < 1 || tag >= NR_TELEMETRY_SLOTS) continue;
              if (slot[tag] != UNREPORTED) err = EIO; // listed twice
              else slot[tag] = entry >> 16;
            }
            const uint16_t h = slot[HEARTBEAT];
            // A table already refused is not read any further.
            uint32_t before = h == UNREPORTED || err ? 0 : load(data + 4u * h);
            for (int copy = 0; !err; ++copy) {
              for (unsigned tag = 1; tag < NR_TELEMETRY_SLOTS; ++tag)
                if (slot[tag] != UNREPORTED) out[tag] = load(data + 4u * slot[tag]);
              if (h == UNREPORTED || load(data + 4u * h) == before) break;
              memset(out, 0, NR_TELEMETRY_SLOTS * sizeof *out);
              if (copy + 1 == COPIES) err = EIO; // the firmware kept updating it
              else before = load(data + 4u * h);
            }
          }
        }
      }
    }
  }
  nr_trap_disarm();
  nr_tlb_free(sess, &handle);
  if (err) return nr::fail(err);
  return 0;
}
