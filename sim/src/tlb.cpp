// TLB windows: allocate (0xFA0B), free (0xFA0C) and configure (0xFA0D), and
// the mappings of windows that mmap hands out.
//
// Windows come from a pool per size and architecture, shared by the card's
// descriptors (ENOSPC once a pool is empty), and belong to the descriptor
// that allocated them: only it can map, configure or free them, and its close
// frees them.  Ids count from 1 in each incarnation and are not reused within
// it (until they would reach ID_LIMIT and wrap), so a stale id is refused
// rather than reaching a window allocated since.
//
// A window's mmap offsets are id << 36 (uncached) and id << 36 | 1 << 35
// (write-combined); both reach the same memory.  A mapping reaches
//  - before the window's first configure: the incarnation's scratch memory,
//    which every unconfigured window shares and no tile sees;
//  - for a unicast target: the memory of tile (x_end, y_end) from addr on;
//  - for a multicast target: the window's broadcast buffer (below).
// Every process tracks its mappings of each window by the window's serial;
// a configure hands the new target back, and the process maps it over each
// of them in place (MAP_FIXED), as the driver rewrites a window's TLB entry
// under mappings that stay put.  A freed window's mappings stay on their
// last target and are no longer moved.
//
// Multicast.  The mappings of a multicast window reach a buffer of its own,
// from which loads read back what was stored (zeros after each configure:
// cards define no multicast loads).  Stores reach the tiles of the rectangle
// at replication points: when the window is re-targeted, unmapped in part or
// whole, freed or closed with its descriptor, and before nrsim_mem_read or
// nrsim_mem_write touches the card's memory.  A replication writes, at the
// same NOC addresses on every tile of the rectangle, each byte of the buffer
// that differs from what the previous replication saw (a copy kept in a
// second memfd).  So a narrow store never clobbers the bytes around it, and a
// unicast write made since the last replication survives the next one; the
// price is that a store that leaves a byte as it was (a zero into a fresh
// buffer, say) does not reach the tiles.  Only the buffer's data extents are
// compared, so a large window costs what was written through it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "real.h"
#include "sim.h"

namespace nrsim {

namespace {

constexpr int ID_SHIFT = 36;
constexpr uint32_t ID_LIMIT = 1u << 27; // offsets stay below 2^63
constexpr uint64_t WC_BIT = uint64_t{1} << 35;
constexpr uint64_t OFFSET_MASK = (uint64_t{1} << ID_SHIFT) - 1;
constexpr uint8_t MODE = 1;

// Record layouts.
constexpr size_t ALLOC_SIZE = 0, ALLOC_RESERVED = 8, ALLOC_OUT = 16, ALLOC_OUT_SIZE = 24;
constexpr size_t CFG_ID = 0, CFG_RESERVED0 = 4, CFG_ADDR = 8, CFG_X_END = 16, CFG_Y_END = 18, CFG_X_START = 20,
                 CFG_Y_START = 22, CFG_NOC = 24, CFG_MCAST = 25, CFG_MODE = 26, CFG_LINKED = 27,
                 CFG_STATIC_VC = 28, CFG_RESERVED1 = 29, CFG_SIZE = 48;

template <typename T> T field(const uint8_t *rec, size_t at) {
  T v;
  memcpy(&v, rec + at, sizeof v);
  return v;
}

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

const WindowPool *pool_of(const Arch &a, uint64_t size) {
  for (const WindowPool &p : a.pools)
    if (p.size != 0 && p.size == size) return &p;
  return nullptr;
}

Window *owned(Incarnation &life, int fd, uint32_t id) {
  auto it = life.windows.find(id);
  return it == life.windows.end() || it->second->fd != fd ? nullptr : it->second.get();
}

// The id the next allocation takes.
uint32_t fresh_id(const Incarnation &life) {
  uint32_t id = life.next_window;
  while (life.windows.count(id)) id = id + 1 < ID_LIMIT ? id + 1 : 1;
  return id;
}

// Backing of the window as it stands; scratch and tile memory are made now
// if need be.  0 or an errno.
int backing_of(Incarnation &life, const Window &w, Backing *out) {
  int err = 0;
  if (!w.configured) {
    Memory &m = life.memory;
    if (!m.scratch) {
      char name[40];
      snprintf(name, sizeof name, "nrsim card %u scratch", life.number);
      m.scratch = make_memfd(life, name, largest_window(), &err);
    }
    *out = {m.scratch, 0};
  } else if (w.target.mcast) {
    *out = {w.bcast, 0};
  } else {
    *out = {tile_memory(life, w.target.x_end, w.target.y_end, true, &err), w.target.addr};
  }
  out->serial = w.serial;
  out->mcast = w.configured && w.target.mcast;
  return out->mem ? 0 : err;
}

bool read_all(int fd, unsigned char *buf, size_t n, uint64_t at) {
  for (size_t done = 0; done < n;) {
    ssize_t r = raw_pread(fd, buf + done, n - done, static_cast<off_t>(at + done));
    if (r <= 0) {
      if (r == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

bool write_all(int fd, const unsigned char *buf, size_t n, uint64_t at) {
  for (size_t done = 0; done < n;) {
    ssize_t r = pwrite(fd, buf + done, n - done, static_cast<off_t>(at + done));
    if (r < 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// Sends what w's stores changed in its broadcast buffer since the last time
// to every tile of its rectangle; 0 or -errno.
int replicate(Incarnation &life, Window &w) {
  if (life.retired || !w.configured || !w.target.mcast || !w.bcast || !w.sent) return 0;
  const Target &t = w.target;
  const int from = w.bcast->fd(), seen = w.sent->fd();
  constexpr size_t CHUNK = 64 * 1024;
  std::vector<unsigned char> buf;
  std::vector<std::shared_ptr<Memfd>> tiles; // made at the first change
  off_t pos = 0;
  for (;;) {
    off_t data = lseek(from, pos, SEEK_DATA);
    if (data < 0) return errno == ENXIO ? 0 : -errno; // ENXIO: no data from pos on
    off_t hole = lseek(from, data, SEEK_HOLE);
    if (hole < 0) return -errno;
    if (buf.empty()) buf.resize(2 * CHUNK);
    unsigned char *now = buf.data(), *before = now + CHUNK;
    for (off_t at = data; at < hole; at += static_cast<off_t>(CHUNK)) {
      size_t n = std::min(CHUNK, static_cast<size_t>(hole - at));
      if (!read_all(from, now, n, at) || !read_all(seen, before, n, at)) return -errno;
      for (size_t i = 0; i < n;) {
        if (now[i] == before[i]) {
          ++i;
          continue;
        }
        size_t j = i + 1;
        while (j < n && now[j] != before[j]) ++j;
        if (tiles.empty()) {
          for (unsigned x = t.x_start; x <= t.x_end; ++x) {
            for (unsigned y = t.y_start; y <= t.y_end; ++y) {
              int err = 0;
              auto m = tile_memory(life, x, y, true, &err);
              if (!m) return -err;
              tiles.push_back(std::move(m));
            }
          }
        }
        uint64_t off = static_cast<uint64_t>(at) + i;
        for (const auto &tile : tiles)
          if (!write_all(tile->fd(), now + i, j - i, t.addr + off)) return -errno;
        if (!write_all(seen, now + i, j - i, off)) return -errno;
        i = j;
      }
    }
    pos = hole;
  }
}

void release(Incarnation &life, Window &w) {
  replicate(life, w); // nobody could see the error
  w.released = true;
  w.sent.reset();
  // The buffer stays while mappings may reach it, and ends with the card.
  if (w.bcast) life.memory.kept[w.serial] = std::move(w.bcast);
}

} // namespace

uint64_t window_offset(uint32_t id, bool wc) { return uint64_t{id} << ID_SHIFT | (wc ? WC_BIT : 0); }

int tlb_allocate(Call &c) {
  const uint8_t *rec = c.record;
  if (!rec) return -EFAULT;
  uint64_t size = field<uint64_t>(rec, ALLOC_SIZE);
  if (field<uint64_t>(rec, ALLOC_RESERVED) != 0) return -EINVAL;
  const Arch *a = arch_of(c.card);
  const WindowPool *pool = a ? pool_of(*a, size) : nullptr;
  if (!pool) return -EINVAL;
  unsigned used = 0;
  for (const auto &[id, w] : c.life.windows) used += w->size == size;
  if (used >= pool->count) return -ENOSPC;

  uint32_t id = fresh_id(c.life);
  // id, a zero reserved word, then the two offsets.
  uint8_t out[ALLOC_OUT_SIZE] = {};
  uint64_t uc = window_offset(id, false), wc = window_offset(id, true);
  memcpy(out, &id, sizeof id);
  memcpy(out + 8, &uc, sizeof uc);
  memcpy(out + 16, &wc, sizeof wc);
  if (!copy_out(static_cast<uint8_t *>(c.arg) + ALLOC_OUT, out, sizeof out)) return -EFAULT;

  auto w = std::make_shared<Window>();
  w->id = id;
  w->serial = c.sim.next_serial++;
  w->fd = c.fd;
  w->size = size;
  auto &serials = c.sim.serials;
  if (serials.size() >= 1024 && (w->serial & 1023) == 0)
    std::erase_if(serials, [](const auto &e) { return e.second.window.expired(); });
  serials[w->serial] = WindowRef{w, c.card.life};
  c.life.windows[id] = std::move(w);
  c.life.next_window = id + 1 < ID_LIMIT ? id + 1 : 1;
  return 0;
}

int tlb_free(Call &c) {
  if (!c.record) return -EFAULT;
  uint32_t id = field<uint32_t>(c.record, 0);
  if (!owned(c.life, c.fd, id)) return -EINVAL;
  auto it = c.life.windows.find(id);
  release(c.life, *it->second);
  c.life.windows.erase(it);
  return 0;
}

int tlb_configure(Call &c) {
  const uint8_t *rec = c.record;
  if (!rec) return -EFAULT;
  Window *w = owned(c.life, c.fd, field<uint32_t>(rec, CFG_ID));
  if (!w) return -EINVAL;
  if (field<uint32_t>(rec, CFG_RESERVED0) != 0) return -EINVAL;
  for (size_t i = CFG_RESERVED1; i < CFG_SIZE; ++i)
    if (rec[i]) return -EINVAL;
  Target t;
  t.addr = field<uint64_t>(rec, CFG_ADDR);
  uint16_t x_end = field<uint16_t>(rec, CFG_X_END), y_end = field<uint16_t>(rec, CFG_Y_END);
  uint16_t x_start = field<uint16_t>(rec, CFG_X_START), y_start = field<uint16_t>(rec, CFG_Y_START);
  t.noc = rec[CFG_NOC];
  t.mcast = rec[CFG_MCAST];
  t.linked = rec[CFG_LINKED];
  t.static_vc = rec[CFG_STATIC_VC];
  if (rec[CFG_MODE] != MODE || t.noc > 1 || t.mcast > 1 || t.linked > 1) return -EINVAL;
  const Arch *a = arch_of(c.card);
  if (!a || !tile_valid(*a, x_end, y_end) || !tile_valid(*a, x_start, y_start)) return -EINVAL;
  if (t.mcast && (x_start > x_end || y_start > y_end)) return -EINVAL;
  if (t.addr % page_size() != 0 || !noc_range_valid(t.addr, w->size)) return -EINVAL;
  t.x_end = static_cast<uint8_t>(x_end);
  t.y_end = static_cast<uint8_t>(y_end);
  t.x_start = static_cast<uint8_t>(x_start);
  t.y_start = static_cast<uint8_t>(y_start);

  // What was stored through the old multicast target lands there first.
  if (int err = replicate(c.life, *w)) return err;

  Window next = *w;
  next.target = t;
  next.configured = true;
  next.bcast.reset();
  next.sent.reset();
  int err = 0;
  if (t.mcast) {
    char name[48];
    snprintf(name, sizeof name, "nrsim card %u window %u", c.life.number, w->id);
    next.bcast = make_memfd(c.life, name, w->size, &err);
    if (next.bcast) next.sent = make_memfd(c.life, name, w->size, &err);
    if (!next.sent) return -err;
  }
  Backing b;
  if ((err = backing_of(c.life, next, &b)) != 0) return -err;
  *w = std::move(next);
  if (c.retarget) *c.retarget = std::move(b);
  return 0;
}

int driver_mmap(Sim &, Desc &d, int id, size_t len, int prot, int flags, long long off, Backing *out) {
  int type = flags & MAP_TYPE;
  bool shared = type == MAP_SHARED || type == MAP_SHARED_VALIDATE;
  if (len == 0 || off < 0 || static_cast<uint64_t>(off) % page_size() != 0) return EINVAL;
  // The kernel's checks of the descriptor's mode come before the driver's.
  int mode = d.flags & O_ACCMODE;
  if (mode == O_WRONLY || (shared && (prot & PROT_WRITE) && mode != O_RDWR)) return EACCES;
  if (d.life->retired) return ENODEV;
  if (!shared) return EINVAL;

  uint64_t u = static_cast<uint64_t>(off);
  uint64_t low = u & OFFSET_MASK;
  Window *w = low == 0 || low == WC_BIT ? owned(*d.life, id, static_cast<uint32_t>(u >> ID_SHIFT)) : nullptr;
  if (!w || len > w->size) return EINVAL;
  return backing_of(*d.life, *w, out);
}

void tlb_unmapped(Sim &s, uint64_t serial, bool last) {
  auto it = s.serials.find(serial);
  if (it == s.serials.end()) return;
  auto w = it->second.window.lock();
  auto life = it->second.life.lock();
  if (life && last) life->memory.kept.erase(serial); // nothing reaches it any more
  if (!w || !life) {
    if (!life || !life->memory.kept.count(serial)) s.serials.erase(it);
    return;
  }
  if (!w->released) replicate(*life, *w);
}

void tlb_release_owner(Incarnation &life, int fd) {
  for (auto it = life.windows.begin(); it != life.windows.end();) {
    if (it->second->fd == fd) {
      release(life, *it->second);
      it = life.windows.erase(it);
    } else {
      ++it;
    }
  }
}

void tlb_retire(Incarnation &life) {
  memory_discard(life); // first: the windows' own buffers are among it
  for (auto &[id, w] : life.windows) w->released = true;
  life.windows.clear();
}

int tlb_replicate_all(Incarnation &life) {
  for (auto &[id, w] : life.windows)
    if (int err = replicate(life, *w)) return err;
  return 0;
}

} // namespace nrsim
