// TLB windows (tlb.cpp).
#pragma once

#include <memory>

#include "memory.h"

namespace nrsim {

// Where a window points: the fields of its last configure request.
struct Target {
  uint64_t addr = 0;
  uint8_t x_end = 0, y_end = 0, x_start = 0, y_start = 0;
  uint8_t noc = 0, mcast = 0, linked = 0, static_vc = 0;
};

struct Window {
  uint32_t id = 0;
  uint64_t serial = 0; // names it to the processes that map it
  int fd = -1; // the descriptor that allocated it and owns it
  uint64_t size = 0;
  // Freed, or gone with its incarnation: its mappings stay where they are.
  bool released = false;
  bool configured = false;
  Target target;
  // Multicast: the buffer the window's mappings reach, and a copy of what
  // was last replicated from it to the tiles.
  std::shared_ptr<Memfd> bcast, sent;
};

// A window by serial, for the processes that map it.
struct WindowRef {
  std::weak_ptr<Window> window;
  std::weak_ptr<Incarnation> life;
};

// Where a window's mappings now reach: a memfd and the offset in it of the
// window's first byte.
struct Backing {
  std::shared_ptr<class Memfd> mem;
  uint64_t base = 0;
  uint64_t serial = 0;
  bool mcast = false;
};

int tlb_allocate(Call &c);
int tlb_free(Call &c);
int tlb_configure(Call &c);
// The mmap offset of window `id`: uncached, or write-combined if `wc`.
uint64_t window_offset(uint32_t id, bool wc);
// The descriptor's windows are released, as its close does.  Lock held.
void tlb_release_owner(Incarnation &life, int fd);
// The incarnation ends: its windows go with it.  Lock held.
void tlb_retire(Incarnation &life);
// A mapping of the window named by `serial` went (unmapped, or mapped
// over) in some process, the last one there if `last`: what its multicast
// stores changed lands.  Lock held.
void tlb_unmapped(Sim &s, uint64_t serial, bool last);
// Replicates what the incarnation's multicast windows stored since last time
// to their tiles; 0 or -errno.  Lock held.
int tlb_replicate_all(Incarnation &life);

// What a mapping of the open file at this offset reaches; 0 or an errno.
// Lock held.
int driver_mmap(Sim &s, Desc &d, int id, size_t len, int prot, int flags, long long off, Backing *out);

} // namespace nrsim
