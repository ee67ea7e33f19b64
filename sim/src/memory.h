// Device memory (memory.cpp).
#pragma once

#include <array>
#include <map>
#include <memory>
#include <vector>

#include "base.h"

namespace nrsim {

// Backing store of device memory: a sparse memfd.  discard() truncates it to
// nothing before closing it, so that every mapping of it that is left raises
// SIGBUS on access, as a mapping of a card that was reset or pulled does.
class Memfd {
public:
  explicit Memfd(int fd) : fd_(fd) {}
  Memfd(const Memfd &) = delete;
  Memfd &operator=(const Memfd &) = delete;
  ~Memfd();
  int fd() const { return fd_; }
  void discard();

private:
  int fd_;
};

// The memory of one incarnation: a memfd per NOC tile touched so far, and the
// scratch memory that windows reach before their first configure.
struct Memory {
  std::map<uint16_t, std::shared_ptr<Memfd>> tiles; // by x << 8 | y
  std::shared_ptr<Memfd> scratch;
  // Every memfd made for the incarnation, window buffers included, so that
  // its end can discard them all.
  std::vector<std::weak_ptr<Memfd>> made;
  // Buffers of freed multicast windows, by serial, while mappings may
  // still reach them.
  std::map<uint64_t, std::shared_ptr<Memfd>> kept;
};

// Every tile's memory spans NOC addresses [0, NOC_SPACE).
constexpr uint64_t NOC_SPACE = uint64_t{1} << 40;

struct WindowPool {
  uint64_t size;  // window size in bytes
  unsigned count; // windows of that size per card
};

// What differs between the architectures: the NOC grid and the windows.
struct Arch {
  uint16_t device_id;
  uint8_t columns, rows; // tiles (x, y) with x < columns, y < rows
  std::array<WindowPool, 3> pools; // unused slots have size 0
};

// Null for a device ID of no known architecture: such a card has no tiles
// and no windows.
const Arch *arch_of(const Card &c);
// Every known architecture.
const Arch *archs(size_t *count);
bool tile_valid(const Arch &a, unsigned x, unsigned y);
// Is [addr, addr + len) inside the NOC address space?
bool noc_range_valid(uint64_t addr, uint64_t len);
// The largest window of any architecture: scratch memory spans it.
uint64_t largest_window();

// A memfd of `size` bytes owned by the incarnation; null with *err set if
// none can be made.  Lock held.
std::shared_ptr<Memfd> make_memfd(Incarnation &life, const char *name, uint64_t size, int *err);
// Tile (x, y)'s memory, made now if `make`; null if not made (or on error,
// with *err set).  Lock held.
std::shared_ptr<Memfd> tile_memory(Incarnation &life, unsigned x, unsigned y, bool make, int *err);
// Copies between tile memory and a buffer; 0 or -errno.  Lock held.
int tile_read(Incarnation &life, unsigned x, unsigned y, uint64_t addr, void *buf, size_t len);
int tile_write(Incarnation &life, unsigned x, unsigned y, uint64_t addr, const void *buf, size_t len);
// The incarnation's memory ends: every memfd it made is discarded.
void memory_discard(Incarnation &life);

} // namespace nrsim
