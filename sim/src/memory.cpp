// Device memory.  Each NOC tile of a card has memory of its own, addressed
// by NOC address from 0 to NOC_SPACE and backed by a sparse memfd that is
// made the first time anything needs it: untouched memory costs nothing, and
// a window of any size can be mapped straight onto it.  The memfds belong to
// the card's incarnation.  When it ends they are discarded (truncated, then
// closed), so that every mapping of them left in the process raises SIGBUS
// on access, and the next incarnation starts from fresh, zeroed memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "real.h"
#include "sim.h"

namespace nrsim {

namespace {

// The tile grids include the tiles that carry telemetry: (0, 2) and (8, 0).
constexpr Arch ARCHS[] = {
    {0x401E, 10, 12, {{{1 << 20, 64}, {2 << 20, 32}, {16 << 20, 8}}}},
    {0xB140, 17, 12, {{{2 << 20, 64}, {uint64_t{4} << 30, 4}, {0, 0}}}},
};

constexpr uint64_t find_largest() {
  uint64_t m = 0;
  for (const Arch &a : ARCHS)
    for (const WindowPool &p : a.pools) m = p.size > m ? p.size : m;
  return m;
}

uint16_t tile_key(unsigned x, unsigned y) { return static_cast<uint16_t>(x << 8 | y); }

} // namespace

Memfd::~Memfd() {
  if (fd_ >= 0) raw_close(fd_);
}

void Memfd::discard() {
  if (fd_ < 0) return;
  if (ftruncate(fd_, 0) != 0) raw_warn("nrsim: cannot discard device memory\n");
  raw_close(fd_);
  fd_ = -1;
}

const Arch *arch_of(const Card &c) {
  for (const Arch &a : ARCHS)
    if (a.device_id == c.identity.device_id) return &a;
  return nullptr;
}

const Arch *archs(size_t *count) {
  *count = sizeof ARCHS / sizeof ARCHS[0];
  return ARCHS;
}

bool tile_valid(const Arch &a, unsigned x, unsigned y) { return x < a.columns && y < a.rows; }

bool noc_range_valid(uint64_t addr, uint64_t len) { return addr <= NOC_SPACE && len <= NOC_SPACE - addr; }

uint64_t largest_window() { return find_largest(); }

std::shared_ptr<Memfd> make_memfd(Incarnation &life, const char *name, uint64_t size, int *err) {
  int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  auto m = std::make_shared<Memfd>(fd);
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    *err = errno;
    return nullptr;
  }
  std::erase_if(life.memory.made, [](const std::weak_ptr<Memfd> &w) { return w.expired(); });
  life.memory.made.push_back(m);
  return m;
}

std::shared_ptr<Memfd> tile_memory(Incarnation &life, unsigned x, unsigned y, bool make, int *err) {
  auto &tiles = life.memory.tiles;
  if (auto it = tiles.find(tile_key(x, y)); it != tiles.end()) return it->second;
  if (!make) return nullptr;
  char name[48];
  snprintf(name, sizeof name, "nrsim card %u tile %u,%u", life.number, x, y);
  auto m = make_memfd(life, name, NOC_SPACE, err);
  if (m) tiles[tile_key(x, y)] = m;
  return m;
}

int tile_read(Incarnation &life, unsigned x, unsigned y, uint64_t addr, void *buf, size_t len) {
  int err = 0;
  auto m = tile_memory(life, x, y, false, &err);
  auto *out = static_cast<char *>(buf);
  if (!m) {
    // Memory nobody touched reads as zeros, and stays unmade.
    std::fill(out, out + len, 0);
    return 0;
  }
  for (size_t done = 0; done < len;) {
    ssize_t r = raw_pread(m->fd(), out + done, len - done, static_cast<off_t>(addr + done));
    if (r < 0) return -errno;
    if (r == 0) return -EIO;
    done += static_cast<size_t>(r);
  }
  return 0;
}

int tile_write(Incarnation &life, unsigned x, unsigned y, uint64_t addr, const void *buf, size_t len) {
  if (len == 0) return 0;
  int err = 0;
  auto m = tile_memory(life, x, y, true, &err);
  if (!m) return -err;
  const auto *in = static_cast<const char *>(buf);
  for (size_t done = 0; done < len;) {
    ssize_t r = pwrite(m->fd(), in + done, len - done, static_cast<off_t>(addr + done));
    if (r < 0) return -errno;
    done += static_cast<size_t>(r);
  }
  return 0;
}

void memory_discard(Incarnation &life) {
  for (auto &w : life.memory.made)
    if (auto m = w.lock()) m->discard();
  life.memory = Memory{};
}

} // namespace nrsim

namespace nrsim::ctl {

namespace {

// Runs f on card n's tile memory once the range is checked; multicast
// stores made so far reach the tiles first.
template <typename F> int with_tile(uint32_t n, unsigned x, unsigned y, uint64_t addr, const void *buf, size_t len,
                                    F f) {
  return with_card(n, [&](Sim &, Card &c) {
    const Arch *a = arch_of(c);
    if ((!buf && len) || !a || !tile_valid(*a, x, y) || !noc_range_valid(addr, len)) return control_fail(EINVAL);
    int r = tlb_replicate_all(*c.life);
    if (r == 0) r = f(*c.life);
    return r < 0 ? control_fail(-r) : 0;
  });
}

} // namespace

int nrsim_mem_read(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, void *buf, size_t len) {
  return with_tile(n, x, y, addr, buf, len, [&](Incarnation &life) { return tile_read(life, x, y, addr, buf, len); });
}

int nrsim_mem_write(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, const void *buf, size_t len) {
  return with_tile(n, x, y, addr, buf, len, [&](Incarnation &life) { return tile_write(life, x, y, addr, buf, len); });
}

} // namespace nrsim::ctl
