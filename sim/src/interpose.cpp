// The C library entry points the native library uses, answered by the
// simulator for simulated paths and descriptors and passed on otherwise.
//
// Built without _FILE_OFFSET_BITS=64, so that each name below is exported as
// itself (an LFS build would rename open to open64 and the like).
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "real.h"
#include "sim.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

// Fortified variants, declared here since this file is built unfortified.
extern "C" {
int __open_2(const char *, int);
int __open64_2(const char *, int);
int __openat_2(int, const char *, int);
int __openat64_2(int, const char *, int);
char *__realpath_chk(const char *, char *, size_t) noexcept;
ssize_t __read_chk(int, void *, size_t, size_t);
ssize_t __pread_chk(int, void *, size_t, off_t, size_t);
ssize_t __pread64_chk(int, void *, size_t, off64_t, size_t);
}

using namespace nrsim;

// readdir and readdir64 hand out the same entries.
static_assert(sizeof(struct dirent) == sizeof(struct dirent64));
static_assert(offsetof(struct dirent, d_name) == offsetof(struct dirent64, d_name));
static_assert(offsetof(struct dirent, d_type) == offsetof(struct dirent64, d_type));

namespace {

bool needs_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

bool maybe_tracked(int fd) {
  const Sim *s = made_sim();
  return fd >= 0 && s && s->tracked.load(std::memory_order_relaxed) > 0;
}

// Are there window mappings to keep track of?
Sim *with_mappings() {
  Sim *s = made_sim();
  return s && s->mapped.load(std::memory_order_relaxed) > 0 ? s : nullptr;
}

template <typename T> T fail(int err, T value) {
  errno = err;
  return value;
}

// A descriptor number the kernel just gave out cannot still be ours: it was
// closed behind our back (by a raw system call, say).
void drop_stale(int fd) {
  if (!maybe_tracked(fd)) return;
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  s.forget(fd);
}

// ---- open ------------------------------------------------------------------

enum class Via { Open, Open64, Openat, Openat64, Open2, Open64_2, Openat2, Openat64_2 };

int pass_open(Via via, int dirfd, const char *path, int flags, mode_t mode) {
  const Real &r = real();
  auto missing = [] { return fail(ENOSYS, -1); };
  int fd;
  switch (via) {
  case Via::Open: fd = r.open ? r.open(path, flags, mode) : missing(); break;
  case Via::Open64: fd = r.open64 ? r.open64(path, flags, mode) : missing(); break;
  case Via::Openat: fd = r.openat ? r.openat(dirfd, path, flags, mode) : missing(); break;
  case Via::Openat64: fd = r.openat64 ? r.openat64(dirfd, path, flags, mode) : missing(); break;
  case Via::Open2: fd = r.open_2 ? r.open_2(path, flags) : missing(); break;
  case Via::Open64_2: fd = r.open64_2 ? r.open64_2(path, flags) : missing(); break;
  case Via::Openat2: fd = r.openat_2 ? r.openat_2(dirfd, path, flags) : missing(); break;
  case Via::Openat64_2: fd = r.openat64_2 ? r.openat64_2(dirfd, path, flags) : missing(); break;
  default: fd = missing(); break;
  }
  if (fd >= 0) drop_stale(fd);
  return fd;
}

// Registers a simulated descriptor; returns it or -errno.  Lock held.
int track(Sim &s, Desc d, int real_flags) {
  int fd = raw_open_null(real_flags);
  if (fd < 0) return -errno;
  s.forget(fd);
  s.descs[fd] = std::move(d);
  s.tracked.store(static_cast<int>(s.descs.size()), std::memory_order_relaxed);
  return fd;
}

// A reset in progress keeps everyone else out, as an exclusive open does.
bool busy(const Incarnation &life, bool exclusive) {
  return life.exclusive > 0 || life.resetter >= 0 || (exclusive && life.holders > 0);
}

// The driver's open: O_EXCL waits for sole access and then keeps everyone
// else out; O_NONBLOCK refuses with EAGAIN instead of waiting.
int open_card(std::unique_lock<std::mutex> &lock, Sim &s, const Resolved &res, int flags) {
  uint32_t n = res.node.card;
  std::shared_ptr<Card> card = s.card(n);
  // Permissions are the filesystem's: a refused open never reaches the driver.
  if (card && card->denied) return -EACCES;
  s.logs[n].opens.push(static_cast<uint32_t>(flags), s.log_limit);
  if (!card) return -ENOENT;
  if (int err = card->open_fault.take()) return -err;
  bool exclusive = flags & O_EXCL;
  while (busy(*card->life, exclusive)) {
    if (flags & O_NONBLOCK) return -EAGAIN;
    ++s.waiting[n];
    int err = s.wait_for_openers(lock);
    if (--s.waiting[n] == 0) s.waiting.erase(n);
    // A signal ends the wait as it ends the kernel's: nothing was taken.
    if (err) return -err;
    // A card that went away (or a driver that did) fails its waiters.
    if (card->removed || s.driver == NRSIM_DRIVER_UNLOADED) return -ENODEV;
  }
  Desc d;
  d.kind = Desc::Kind::Device;
  d.flags = flags;
  d.exclusive = exclusive;
  d.card = card;
  d.life = card->life;
  d.node = res.node;
  d.path = res.path;
  int fd = track(s, std::move(d), (flags & O_ACCMODE) | (flags & O_CLOEXEC));
  if (fd >= 0) {
    ++card->life->holders;
    if (exclusive) ++card->life->exclusive;
  }
  return fd;
}

int open_node(const Resolved &res, int flags) {
  Sim &s = sim();
  std::unique_lock lock(s.mu);
  const Node &node = res.node;
  int access_mode = flags & O_ACCMODE;
  int result;
  Desc d;
  d.flags = flags;
  d.node = node;
  d.path = res.path;
  if ((flags & O_CREAT) && (flags & O_EXCL)) {
    result = -EEXIST;
  } else if (flags & O_PATH) {
    result = track(s, std::move(d), O_PATH | (flags & O_CLOEXEC));
  } else if ((flags & O_DIRECTORY) && !node.is_dir()) {
    result = -ENOTDIR;
  } else if (node.role == Node::Role::Card) {
    result = open_card(lock, s, res, flags);
  } else if (node.role == Node::Role::Odd) {
    result = -ENXIO; // listed, but no driver behind it
  } else if (node.is_dir()) {
    if (access_mode != O_RDONLY) result = -EISDIR;
    else if (node.role == Node::Role::DevDir && s.driver == NRSIM_DRIVER_DENIED) result = -EACCES;
    else result = track(s, std::move(d), O_RDONLY | (flags & O_CLOEXEC));
  } else {
    // A sysfs attribute: read-only.
    if (access_mode != O_RDONLY || (flags & O_TRUNC)) {
      result = -EACCES;
    } else if (auto card = s.card(node.card)) {
      d.kind = Desc::Kind::File;
      d.card = std::move(card);
      result = track(s, std::move(d), O_RDONLY | (flags & O_CLOEXEC));
    } else {
      result = -ENOENT;
    }
  }
  return result < 0 ? fail(-result, -1) : result;
}

int do_open(Via via, int dirfd, const char *path, int flags, mode_t mode) {
  bool follow = !(flags & O_NOFOLLOW) && !((flags & O_CREAT) && (flags & O_EXCL));
  Resolved res = resolve(dirfd, path, follow);
  switch (res.what) {
  case Resolved::What::Outside: return pass_open(via, dirfd, path, flags, mode);
  case Resolved::What::Error: return fail(res.err, -1);
  case Resolved::What::Rewritten: {
    int fd = real().openat(AT_FDCWD, res.path.c_str(), flags, mode);
    if (fd >= 0) drop_stale(fd);
    return fd;
  }
  case Resolved::What::Found: break;
  }
  return open_node(res, flags);
}

int fortified_open(Via via, int dirfd, const char *path, int flags) {
  // Without a mode argument O_CREAT is a caller's bug; the C library's own
  // check reports it.
  if (needs_mode(flags)) return pass_open(via, dirfd, path, flags, 0);
  return do_open(via, dirfd, path, flags, 0);
}

// ---- read --------------------------------------------------------------------

// Reads a simulated descriptor at `at`, or at its offset when `at` is -1.
// Returns a byte count or -errno.  Lock held.
ssize_t read_desc(Desc &d, void *buf, size_t n, long long at) {
  switch (d.kind) {
  case Desc::Kind::Device: return -EINVAL; // the driver has no read method
  case Desc::Kind::Path: return d.node.is_dir() && !(d.flags & O_PATH) ? -EISDIR : -EBADF;
  case Desc::Kind::File: break;
  }
  if (d.card->removed) return -ENODEV;
  std::string bytes;
  if (int r = file_bytes(*d.card, d.node.tree, d.node.name, &bytes); r < 0) return r;
  long long pos = at < 0 ? d.offset : at;
  if (pos >= static_cast<long long>(bytes.size())) return 0;
  size_t count = std::min(n, bytes.size() - static_cast<size_t>(pos));
  if (!copy_out(buf, bytes.data() + pos, count)) return -EFAULT;
  if (at < 0) d.offset += static_cast<long long>(count);
  return static_cast<ssize_t>(count);
}

// Answers a read of a simulated descriptor; false if fd is not one.
bool sim_read(int fd, void *buf, size_t n, long long at, ssize_t *out) {
  if (!maybe_tracked(fd)) return false;
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  auto it = s.descs.find(fd);
  if (it == s.descs.end()) return false;
  ssize_t r = read_desc(it->second, buf, n, at);
  *out = r < 0 ? fail(static_cast<int>(-r), -1) : r;
  return true;
}

// ---- paths ---------------------------------------------------------------------

int node_access(const Sim &s, const Node &n, int mode) {
  if (mode == F_OK) return 0;
  bool r = true, w = false, x = false;
  switch (n.role) {
  case Node::Role::DevDir: r = s.driver != NRSIM_DRIVER_DENIED; x = true; break;
  case Node::Role::Card: {
    auto card = s.card(n.card);
    r = w = !(card && card->denied);
    break;
  }
  case Node::Role::Odd: w = n.type != DT_DIR; x = n.type == DT_DIR; break;
  case Node::Role::File: break;
  default: x = true; break; // sysfs directories
  }
  if (((mode & R_OK) && !r) || ((mode & W_OK) && !w) || ((mode & X_OK) && !x)) return -EACCES;
  return 0;
}

// realpath of a simulated place; `fallback` handles everything else.
template <typename F> char *resolve_path(const char *path, char *resolved, F fallback) {
  if (!path) return fallback(path);
  Resolved res = resolve(AT_FDCWD, path, true);
  switch (res.what) {
  case Resolved::What::Outside: return fallback(path);
  case Resolved::What::Rewritten: return fallback(res.path.c_str());
  case Resolved::What::Error: return fail(res.err, static_cast<char *>(nullptr));
  case Resolved::What::Found: break;
  }
  if (res.path.size() >= PATH_MAX) return fail(ENAMETOOLONG, static_cast<char *>(nullptr));
  if (!resolved) {
    resolved = static_cast<char *>(malloc(res.path.size() + 1));
    if (!resolved) return fail(ENOMEM, static_cast<char *>(nullptr));
  }
  memcpy(resolved, res.path.c_str(), res.path.size() + 1);
  return resolved;
}

// ---- directory listings ------------------------------------------------------

struct Listing {
  std::vector<struct dirent64> entries;
  size_t next = 0;
};

// Listings handed out by opendir; guarded by the simulator's lock.
std::unordered_set<const void *> &listings() {
  static auto *set = new std::unordered_set<const void *>;
  return *set;
}

void add_entry(Listing &l, const std::string &name, unsigned char type) {
  struct dirent64 e{};
  e.d_ino = 0x4e560000u + l.entries.size() + 1;
  e.d_off = static_cast<off64_t>(l.entries.size() + 1);
  size_t len = std::min(name.size(), sizeof e.d_name - 1);
  memcpy(e.d_name, name.data(), len);
  e.d_reclen = static_cast<unsigned short>((offsetof(struct dirent64, d_name) + len + 1 + 7) & ~size_t{7});
  e.d_type = type;
  l.entries.push_back(e);
}

DIR *open_listing(const Resolved &res) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  Look now = lookup(s, res.path); // the tree may have changed since the walk
  if (now.what == Look::What::Error) return fail(now.err, static_cast<DIR *>(nullptr));
  if (now.what != Look::What::Found) return fail(ENOENT, static_cast<DIR *>(nullptr));
  const Node &n = now.node;
  if (!n.is_dir()) return fail(ENOTDIR, static_cast<DIR *>(nullptr));
  if (n.role == Node::Role::Odd) return fail(ENXIO, static_cast<DIR *>(nullptr));
  if (n.role == Node::Role::DevDir && s.driver == NRSIM_DRIVER_DENIED) return fail(EACCES, static_cast<DIR *>(nullptr));
  auto *l = new Listing;
  add_entry(*l, ".", DT_DIR);
  add_entry(*l, "..", DT_DIR);
  for (const auto &[name, child] : children(s, n)) add_entry(*l, name, child.type);
  listings().insert(l);
  s.open_dirs.store(static_cast<int>(listings().size()), std::memory_order_relaxed);
  return reinterpret_cast<DIR *>(l);
}

// Next entry of a simulated listing; false if dir is not one of ours.
bool next_entry(DIR *dir, struct dirent64 **out) {
  Sim *s = made_sim();
  if (!dir || !s || s->open_dirs.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard lock(s->mu);
  if (!listings().count(dir)) return false;
  auto *l = reinterpret_cast<Listing *>(dir);
  *out = l->next < l->entries.size() ? &l->entries[l->next++] : nullptr;
  return true;
}

} // namespace

// ---- exported entry points ---------------------------------------------------

#define MODE_ARG(flags)                                                                                                \
  mode_t mode = 0;                                                                                                     \
  if (needs_mode(flags)) {                                                                                             \
    va_list ap;                                                                                                        \
    va_start(ap, flags);                                                                                               \
    mode = static_cast<mode_t>(va_arg(ap, int));                                                                       \
    va_end(ap);                                                                                                        \
  }

NRSIM_EXPORT int open(const char *path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(Via::Open, AT_FDCWD, path, flags, mode);
}

NRSIM_EXPORT int open64(const char *path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(Via::Open64, AT_FDCWD, path, flags, mode);
}

NRSIM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(Via::Openat, dirfd, path, flags, mode);
}

NRSIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  MODE_ARG(flags);
  return do_open(Via::Openat64, dirfd, path, flags, mode);
}

NRSIM_EXPORT int __open_2(const char *path, int flags) { return fortified_open(Via::Open2, AT_FDCWD, path, flags); }
NRSIM_EXPORT int __open64_2(const char *path, int flags) { return fortified_open(Via::Open64_2, AT_FDCWD, path, flags); }
NRSIM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  return fortified_open(Via::Openat2, dirfd, path, flags);
}
NRSIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  return fortified_open(Via::Openat64_2, dirfd, path, flags);
}

NRSIM_EXPORT int close(int fd) {
  if (maybe_tracked(fd)) {
    Sim &s = sim();
    std::unique_lock lock(s.mu);
    if (s.descs.count(fd)) {
      s.forget(fd);
      lock.unlock();
      return raw_close(fd);
    }
  }
  return real().close(fd);
}

NRSIM_EXPORT int close_range(unsigned first, unsigned last, int flags) noexcept {
  if (!(flags & CLOSE_RANGE_CLOEXEC) && maybe_tracked(0)) {
    Sim &s = sim();
    std::lock_guard lock(s.mu);
    std::vector<int> gone;
    for (const auto &[fd, d] : s.descs)
      if (static_cast<unsigned>(fd) >= first && static_cast<unsigned>(fd) <= last) gone.push_back(fd);
    for (int fd : gone) s.forget(fd);
  }
  if (real().close_range) return real().close_range(first, last, flags);
  return static_cast<int>(syscall(SYS_close_range, first, last, flags));
}

NRSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (maybe_tracked(fd)) {
    Sim &s = sim();
    std::unique_lock lock(s.mu);
    auto it = s.descs.find(fd);
    if (it != s.descs.end()) {
      // Request numbers are 32 bits wide, whatever the caller widened them to.
      int r = driver_request(s, fd, it->second, static_cast<uint32_t>(request), arg);
      return r < 0 ? fail(-r, -1) : r;
    }
  }
  return real().ioctl(fd, request, arg);
}

namespace {
void *sim_mmap(void *addr, size_t len, int prot, int flags, int fd, long long off, bool *ours) {
  *ours = false;
  if ((flags & MAP_ANONYMOUS) || !maybe_tracked(fd)) return MAP_FAILED;
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  auto it = s.descs.find(fd);
  if (it == s.descs.end()) return MAP_FAILED;
  *ours = true;
  int err = ENODEV;
  void *p = MAP_FAILED;
  if (it->second.kind == Desc::Kind::Device) p = driver_mmap(s, it->second, fd, addr, len, prot, flags, off, &err);
  return p == MAP_FAILED ? fail(err, MAP_FAILED) : p;
}

// A mapping made elsewhere replaced whatever window mapping was in its place
// (MAP_FIXED), or one that was unmapped behind our back.
void *mapped_over(void *p, size_t len) {
  Sim *s = with_mappings();
  if (p != MAP_FAILED && s) {
    int saved = errno;
    std::lock_guard lock(s->mu);
    tlb_untrack(*s, p, len);
    errno = saved;
  }
  return p;
}
} // namespace

NRSIM_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept {
  bool ours;
  void *p = sim_mmap(addr, len, prot, flags, fd, off, &ours);
  return ours ? p : mapped_over(real().mmap(addr, len, prot, flags, fd, off), len);
}

NRSIM_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) noexcept {
  bool ours;
  void *p = sim_mmap(addr, len, prot, flags, fd, off, &ours);
  return ours ? p : mapped_over(real().mmap64(addr, len, prot, flags, fd, off), len);
}

// Window mappings are tracked until they are unmapped, in part or whole.
NRSIM_EXPORT int munmap(void *addr, size_t len) noexcept {
  Sim *s = with_mappings();
  if (!s) return real().munmap(addr, len);
  std::lock_guard lock(s->mu);
  int r = real().munmap(addr, len);
  if (r == 0) {
    int saved = errno;
    tlb_untrack(*s, addr, len);
    errno = saved;
  }
  return r;
}

// A window mapping that moves or changes size is no longer tracked: the
// simulator would otherwise re-target what is now at its old place.
NRSIM_EXPORT void *mremap(void *old, size_t old_len, size_t new_len, int flags, ...) noexcept {
  void *where = nullptr;
  if (flags & MREMAP_FIXED) {
    va_list ap;
    va_start(ap, flags);
    where = va_arg(ap, void *);
    va_end(ap);
  }
  void *p = real().mremap(old, old_len, new_len, flags, where);
  Sim *s = with_mappings();
  if (p != MAP_FAILED && s) {
    int saved = errno;
    std::lock_guard lock(s->mu);
    tlb_untrack(*s, old, old_len);
    tlb_untrack(*s, p, new_len);
    errno = saved;
  }
  return p;
}

NRSIM_EXPORT DIR *opendir(const char *path) {
  Resolved res = resolve(AT_FDCWD, path, true);
  switch (res.what) {
  case Resolved::What::Outside: return real().opendir(path);
  case Resolved::What::Rewritten: return real().opendir(res.path.c_str());
  case Resolved::What::Error: return fail(res.err, static_cast<DIR *>(nullptr));
  case Resolved::What::Found: break;
  }
  return open_listing(res);
}

NRSIM_EXPORT struct dirent *readdir(DIR *dir) {
  struct dirent64 *e;
  if (next_entry(dir, &e)) return reinterpret_cast<struct dirent *>(e);
  return real().readdir(dir);
}

NRSIM_EXPORT struct dirent64 *readdir64(DIR *dir) {
  struct dirent64 *e;
  if (next_entry(dir, &e)) return e;
  return real().readdir64(dir);
}

NRSIM_EXPORT int closedir(DIR *dir) {
  Sim *s = made_sim();
  if (s && s->open_dirs.load(std::memory_order_relaxed) > 0) {
    std::unique_lock lock(s->mu);
    if (listings().erase(dir)) {
      s->open_dirs.store(static_cast<int>(listings().size()), std::memory_order_relaxed);
      lock.unlock();
      delete reinterpret_cast<Listing *>(dir);
      return 0;
    }
  }
  return real().closedir(dir);
}

NRSIM_EXPORT char *realpath(const char *path, char *resolved) noexcept {
  return resolve_path(path, resolved, [&](const char *p) { return real().realpath(p, resolved); });
}

NRSIM_EXPORT char *__realpath_chk(const char *path, char *resolved, size_t resolved_len) noexcept {
  // A buffer shorter than PATH_MAX is the caller's bug; the library's check
  // reports it before anything else happens.
  if (resolved && resolved_len < PATH_MAX) return real().realpath_chk(path, resolved, resolved_len);
  return resolve_path(path, resolved, [&](const char *p) { return real().realpath_chk(p, resolved, resolved_len); });
}

// "/proc/self/fd/N" (or thread-self, or this process's own pid) naming a
// descriptor the simulator tracks: reads back as the path it was opened by,
// as a real device node's descriptor would (tools find a card's holders so).
bool own_fd_link(const char *path, int *fd) {
  const char *rest = nullptr;
  if (strncmp(path, "/proc/self/fd/", 14) == 0) rest = path + 14;
  else if (strncmp(path, "/proc/thread-self/fd/", 21) == 0) rest = path + 21;
  else {
    char own[40];
    int len = snprintf(own, sizeof own, "/proc/%d/fd/", static_cast<int>(getpid()));
    if (strncmp(path, own, static_cast<size_t>(len)) == 0) rest = path + len;
  }
  if (!rest || *rest < '0' || *rest > '9') return false;
  char *end;
  long v = strtol(rest, &end, 10);
  if (*end != '\0' || v > INT_MAX) return false;
  *fd = static_cast<int>(v);
  return true;
}

bool sim_readlink(const char *path, char *buf, size_t n, ssize_t *out) {
  int fd;
  if (!path || !maybe_tracked(0) || !own_fd_link(path, &fd)) return false;
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  auto it = s.descs.find(fd);
  if (it == s.descs.end()) return false;
  const std::string &target = it->second.path;
  size_t len = target.size() < n ? target.size() : n;
  memcpy(buf, target.data(), len);
  *out = static_cast<ssize_t>(len);
  return true;
}

NRSIM_EXPORT ssize_t readlink(const char *path, char *buf, size_t n) noexcept {
  ssize_t out;
  if (sim_readlink(path, buf, n, &out)) return out;
  return real().readlink(path, buf, n);
}

NRSIM_EXPORT ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t n) noexcept {
  ssize_t out;
  if (sim_readlink(path, buf, n, &out)) return out; // only absolute /proc paths match
  return real().readlinkat(dirfd, path, buf, n);
}

NRSIM_EXPORT int access(const char *path, int mode) noexcept {
  Resolved res = resolve(AT_FDCWD, path, true);
  switch (res.what) {
  case Resolved::What::Outside: return real().access(path, mode);
  case Resolved::What::Rewritten: return real().access(res.path.c_str(), mode);
  case Resolved::What::Error: return fail(res.err, -1);
  case Resolved::What::Found: break;
  }
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  int r = node_access(s, res.node, mode);
  return r < 0 ? fail(-r, -1) : 0;
}

NRSIM_EXPORT ssize_t read(int fd, void *buf, size_t n) {
  ssize_t r;
  if (sim_read(fd, buf, n, -1, &r)) return r;
  return real().read(fd, buf, n);
}

NRSIM_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buf_len) {
  ssize_t r;
  if (n <= buf_len && sim_read(fd, buf, n, -1, &r)) return r;
  return real().read_chk(fd, buf, n, buf_len);
}

NRSIM_EXPORT ssize_t pread(int fd, void *buf, size_t n, off_t off) {
  ssize_t r;
  if (off < 0 && maybe_tracked(fd)) return fail(EINVAL, -1);
  if (sim_read(fd, buf, n, off, &r)) return r;
  return real().pread(fd, buf, n, off);
}

NRSIM_EXPORT ssize_t pread64(int fd, void *buf, size_t n, off64_t off) {
  ssize_t r;
  if (off < 0 && maybe_tracked(fd)) return fail(EINVAL, -1);
  if (sim_read(fd, buf, n, off, &r)) return r;
  return real().pread64(fd, buf, n, off);
}

NRSIM_EXPORT ssize_t __pread_chk(int fd, void *buf, size_t n, off_t off, size_t buf_len) {
  ssize_t r;
  if (n <= buf_len && off >= 0 && sim_read(fd, buf, n, off, &r)) return r;
  return real().pread_chk(fd, buf, n, off, buf_len);
}

NRSIM_EXPORT ssize_t __pread64_chk(int fd, void *buf, size_t n, off64_t off, size_t buf_len) {
  ssize_t r;
  if (n <= buf_len && off >= 0 && sim_read(fd, buf, n, off, &r)) return r;
  return real().pread64_chk(fd, buf, n, off, buf_len);
}
