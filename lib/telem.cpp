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

// One call's state.  Set before each landing point and read after a jump
// only as it was set then: a jump leaves the session and the window handle
// as they were when the trap was armed.
struct Reader {
  const nr_session *session;
  uint32_t *values;
  const Arch *arch;
  nr_tlb handle;
  nr_tlb_config cfg;
  uint32_t table_ptr, data_ptr; // the firmware's, as read from the registers
  uint16_t slot[NR_TELEMETRY_SLOTS]; // tag -> data word, or UNREPORTED
};

const Arch *arch_of(uint16_t device_id) {
  for (const Arch &a : archs)
    if (a.device_id == device_id) return &a;
  return nullptr;
}

// Points the window at `addr` on the telemetry tile; 0 or the errno.
int bind(Reader &r, uint64_t addr) {
  r.cfg.addr = addr;
  return nr_tlb_bind(r.session, &r.handle, &r.cfg) == 0 ? 0 : errno;
}

bool in_table_area(uint32_t ptr) { return ptr >= MEM_BASE && ptr <= PTR_LAST; }

// The steps below run under the trap, and return 0 or the errno.

int read_pointers(Reader &r) {
  r.table_ptr = load(r.handle.mapping + (r.arch->table_reg - REG_BASE));
  r.data_ptr = load(r.handle.mapping + (r.arch->data_reg - REG_BASE));
  return in_table_area(r.table_ptr) && in_table_area(r.data_ptr) ? 0 : EIO;
}

int map_slots(Reader &r, const volatile uint8_t *table) {
  for (uint16_t &s : r.slot) s = UNREPORTED;
  uint32_t n = load(table + 4);
  if (n > MAX_ENTRIES) n = MAX_ENTRIES;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t entry = load(table + 8 + 4 * i);
    uint16_t tag = entry & 0xFFFF;
    if (tag < 1 || tag >= NR_TELEMETRY_SLOTS) continue;
    if (r.slot[tag] != UNREPORTED) return EIO; // listed twice
    r.slot[tag] = entry >> 16;
  }
  return 0;
}

// Copies until the heartbeat is the same after a copy as before it.
int copy_values(Reader &r, const volatile uint8_t *data) {
  const uint16_t h = r.slot[HEARTBEAT];
  uint32_t before = h == UNREPORTED ? 0 : load(data + 4u * h);
  for (int copy = 1;; ++copy) {
    for (unsigned tag = 1; tag < NR_TELEMETRY_SLOTS; ++tag)
      if (r.slot[tag] != UNREPORTED) r.values[tag] = load(data + 4u * r.slot[tag]);
    if (h == UNREPORTED || load(data + 4u * h) == before) return 0;
    memset(r.values, 0, NR_TELEMETRY_SLOTS * sizeof *r.values);
    if (copy == COPIES) return EIO; // the firmware kept updating it
    before = load(data + 4u * h);
  }
}

int read_table(Reader &r) {
  const volatile uint8_t *table = r.handle.mapping + (r.table_ptr - MEM_BASE);
  const volatile uint8_t *data = r.handle.mapping + (r.data_ptr - MEM_BASE);
  int err = map_slots(r, table);
  return err ? err : copy_values(r, data); // a table refused is read no further
}

// Runs `step` with the trap armed over the window: its result, or
// ECONNRESET if a load faulted.  Out of line, so that the landing point's
// frame holds nothing that the step changes.
__attribute__((noinline)) int under_trap(Reader &r, int (*step)(Reader &)) {
  nr_trap_arm(r.handle.mapping, WINDOW);
  if (sigsetjmp(nr_trap_jmp, 1) != 0) return ECONNRESET; // disarmed by the trap
  int err = step(r);
  nr_trap_disarm();
  return err;
}

} // namespace

extern "C" int nr_telemetry(const nr_session *session, uint32_t *values) {
  if (!nr::ready(session, values)) return -1;
  nr_info info;
  if (nr_dev_info(session, &info) != 0) return -1;
  const Arch *arch = arch_of(info.device_id);
  if (!arch) return nr::fail(ENOTSUP);

  memset(values, 0, NR_TELEMETRY_SLOTS * sizeof *values);
  Reader r{};
  r.session = session;
  r.values = values;
  r.arch = arch;
  if (nr_tlb_alloc(session, WINDOW, NR_TLB_UNCACHED, &r.handle) != 0) return -1;
  r.cfg.x_end = arch->x;
  r.cfg.y_end = arch->y;
  int err = bind(r, REG_BASE);
  if (!err) err = under_trap(r, read_pointers);
  if (!err) err = bind(r, MEM_BASE);
  if (!err) err = under_trap(r, read_table);
  nr_tlb_free(session, &r.handle);
  return err ? nr::fail(err) : 0;
}
