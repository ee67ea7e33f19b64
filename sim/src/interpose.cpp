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
#include <vector>

#include "client.h"
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
  const Client *c = made_client();
  return fd >= 0 && c && c->tracked.load(std::memory_order_relaxed) > 0;
}

// Are there window mappings to keep track of?
Client *with_mappings() {
  Client *c = made_client();
  return c && c->mapped.load(std::memory_order_relaxed) > 0 ? c : nullptr;
}

template <typename T> T fail(int err, T value) {
  errno = err;
  return value;
}

// A descriptor number the kernel just gave out cannot still be ours: it was
// closed behind our back (by a raw system call, say).
void drop_stale(int fd) {
  if (!maybe_tracked(fd)) return;
  Client &c = client();
  int saved = errno;
  std::lock_guard lock(c.mu);
  untrack_fd(c, fd);
  errno = saved;
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

// Opens a simulated node through the host.  The descriptor is a real one on
// /dev/null, made first so that the host knows it by its number.
int open_node(const Resolved &res, int flags) {
  const Node &node = res.node;
  Local l;
  l.path = res.path;
  l.dir = node.is_dir();
  int real_flags = O_RDONLY;
  if (flags & O_PATH) {
    real_flags = O_PATH;
  } else if (node.role == Node::Role::Card) {
    l.kind = Local::Kind::Device;
    real_flags = flags & O_ACCMODE;
  } else if (node.role == Node::Role::File) {
    l.kind = Local::Kind::File;
  }
  int fd = raw_open_null(real_flags | (flags & O_CLOEXEC));
  if (fd < 0) return -1;
  Client &c = client();
  int64_t r;
  {
    std::lock_guard lock(c.mu);
    // A plain read-only open of a file whose bytes are kept cannot fail.
    bool plain = (flags & (O_ACCMODE | O_CREAT | O_TRUNC | O_PATH | O_DIRECTORY)) == 0;
    if (l.kind == Local::Kind::File && plain && open_kept(c, fd, flags, res.path, &l)) {
      track_fd(c, fd, std::move(l));
      return fd;
    }
    Reply reply;
    r = ask_locked(c, Op::Open, {fd, flags, OPEN_TRY}, res.path.data(), res.path.size(), &reply);
    constexpr uint32_t kept = ANSWER_CONTENT | ANSWER_STEADY;
    if (r >= 0 && (reply.head.flags & kept) == kept) {
      if (plain) keep_content(c, res.path, reply.head, reply.payload);
      l.has_content = true;
      l.content_tree = reply.head.as_of;
      l.content = std::move(reply.payload);
    }
  }
  if (r == WOULD_BLOCK) r = open_waiting(fd, flags, res.path);
  if (r < 0) {
    raw_close(fd);
    return fail(static_cast<int>(-r), -1);
  }
  std::lock_guard lock(c.mu);
  track_fd(c, fd, std::move(l));
  return fd;
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

// Answers a read of a simulated descriptor at `at`, or at its offset when
// `at` is -1; false if fd is not one.
bool sim_read(int fd, void *buf, size_t n, long long at, ssize_t *out) {
  if (!maybe_tracked(fd)) return false;
  Client &c = client();
  std::lock_guard lock(c.mu);
  auto it = c.fds.find(fd);
  if (it == c.fds.end()) return false;
  Local &l = it->second;
  long long pos = at < 0 ? l.offset : at;
  Reply reply;
  int64_t r;
  if (l.has_content && pos >= 0 && tree_unchanged_since(l.content_tree)) {
    // What the host would answer: nothing changed the file since.
    size_t from = std::min(l.content.size(), static_cast<size_t>(pos));
    reply.payload = l.content.substr(from, std::min(n, CHUNK));
    r = static_cast<int64_t>(reply.payload.size());
  } else {
    l.has_content = false;
    r = ask_locked(c, Op::Read, {fd, static_cast<int64_t>(n), pos}, nullptr, 0, &reply);
  }
  if (r > 0) {
    size_t count = std::min(reply.payload.size(), n);
    if (!user_copy_out(buf, reply.payload.data(), count)) {
      r = -EFAULT;
    } else {
      r = static_cast<int64_t>(count);
      if (at < 0) l.offset += static_cast<long long>(count);
    }
  }
  *out = r < 0 ? fail(static_cast<int>(-r), -1) : r;
  return true;
}

// ---- paths ---------------------------------------------------------------------

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

void add_entry(Listing &l, std::string_view name, unsigned char type) {
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
  std::string p;
  int64_t r = cached_listing(res.path, &p);
  if (r < 0) return fail(static_cast<int>(-r), static_cast<DIR *>(nullptr));
  auto *l = new Listing;
  add_entry(*l, ".", DT_DIR);
  add_entry(*l, "..", DT_DIR);
  for (size_t i = 0; i + 2 <= p.size();) {
    auto type = static_cast<unsigned char>(p[i]);
    size_t len = static_cast<unsigned char>(p[i + 1]);
    add_entry(*l, std::string_view(p).substr(i + 2, len), type);
    i += 2 + len;
  }
  Client &c = client();
  std::lock_guard lock(c.mu);
  c.listings.insert(l);
  c.open_dirs.store(static_cast<int>(c.listings.size()), std::memory_order_relaxed);
  return reinterpret_cast<DIR *>(l);
}

// Next entry of a simulated listing; false if dir is not one of ours.
bool next_entry(DIR *dir, struct dirent64 **out) {
  Client *c = made_client();
  if (!dir || !c || c->open_dirs.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard lock(c->mu);
  if (!c->listings.count(dir)) return false;
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
  if (maybe_tracked(fd) && own_state(client())) {
    Client &c = client();
    std::unique_lock lock(c.mu);
    if (c.fds.count(fd)) {
      // The host forgets the number before the kernel can hand it out again.
      untrack_fd(c, fd);
      lock.unlock();
      return raw_close(fd);
    }
  }
  return real().close(fd);
}

NRSIM_EXPORT int close_range(unsigned first, unsigned last, int flags) noexcept {
  Client *c = made_client();
  if (!(flags & CLOSE_RANGE_CLOEXEC) && c && own_state(*c)) {
    std::lock_guard lock(c->mu);
    std::vector<int32_t> gone;
    for (const auto &[fd, l] : c->fds)
      if (static_cast<unsigned>(fd) >= first && static_cast<unsigned>(fd) <= last) gone.push_back(fd);
    for (int fd : gone) c->fds.erase(fd);
    c->tracked.store(static_cast<int>(c->fds.size()), std::memory_order_relaxed);
    if (!gone.empty()) ask_locked(*c, Op::Close, {}, gone.data(), gone.size() * sizeof(int32_t), nullptr);
  }
  if (real().close_range) return real().close_range(first, last, flags);
  return static_cast<int>(syscall(SYS_close_range, first, last, flags));
}

namespace {
// A driver request: the record goes to the host as the caller's memory
// holds it, with whether it could be read and written, and what the driver
// writes comes back into it.
int sim_ioctl(Client &c, int fd, uint32_t request, void *arg) {
  if (int64_t r; request == SMC_REQUEST && poll_offered(c, fd, arg, &r)) return static_cast<int>(r);
  Record rec;
  rec.size = record_size(request);
  rec.readable = user_copy_in(rec.bytes, arg, rec.size);
  if (!rec.readable) rec.size = 0;
  // A record that cannot be written back is told apart before the driver
  // acts: writing its own bytes back changes nothing.
  rec.writable = rec.readable && user_write(arg, rec.bytes, rec.size);
  Reply reply;
  int64_t r = ask_locked(c, Op::Ioctl, {fd, request, rec.readable, rec.writable}, rec.bytes,
                         rec.readable ? rec.size : 0, &reply);
  if (reply.head.flags & ANSWER_OFFER) {
    c.offer.fd = fd;
    c.offer.epoch = reply.head.as_of;
    memcpy(c.offer.reply, reply.head.reply, sizeof c.offer.reply);
  }
  if (!reply.payload.empty() &&
      !user_write(static_cast<char *>(arg) + reply.head.b[0], reply.payload.data(), reply.payload.size()) &&
      r >= 0)
    r = -EFAULT;
  if (reply.fd >= 0) {
    int err = retarget(c, static_cast<uint64_t>(reply.head.b[2]), reply.fd, static_cast<uint64_t>(reply.head.b[1]),
                       reply.head.b[3] != 0);
    raw_close(reply.fd);
    if (r >= 0 && err) r = err;
  }
  return static_cast<int>(r);
}
} // namespace

NRSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (maybe_tracked(fd)) {
    Client &c = client();
    std::unique_lock lock(c.mu);
    if (c.fds.count(fd)) {
      // Request numbers are 32 bits wide, whatever the caller widened them to.
      int r = sim_ioctl(c, fd, static_cast<uint32_t>(request), arg);
      return r < 0 ? fail(-r, -1) : r;
    }
  }
  return real().ioctl(fd, request, arg);
}

namespace {
void *sim_mmap(void *addr, size_t len, int prot, int flags, int fd, long long off, bool *ours) {
  *ours = false;
  if ((flags & MAP_ANONYMOUS) || !maybe_tracked(fd)) return MAP_FAILED;
  Client &c = client();
  std::lock_guard lock(c.mu);
  auto it = c.fds.find(fd);
  if (it == c.fds.end()) return MAP_FAILED;
  *ours = true;
  if (it->second.kind != Local::Kind::Device) return fail(ENODEV, MAP_FAILED);
  Reply reply;
  int64_t r = ask_locked(c, Op::Mmap, {fd, static_cast<int64_t>(len), prot, flags, off}, nullptr, 0, &reply);
  if (r < 0 || reply.fd < 0) {
    if (reply.fd >= 0) raw_close(reply.fd);
    return fail(r < 0 ? static_cast<int>(-r) : ENODEV, MAP_FAILED);
  }
  void *p = real().mmap(addr, len, prot, flags, reply.fd, static_cast<off_t>(reply.head.b[1]));
  int err = errno;
  raw_close(reply.fd);
  if (p == MAP_FAILED) return fail(err, MAP_FAILED);
  size_t whole = (len + page_size() - 1) & ~(page_size() - 1);
  untrack_mappings(c, p, whole); // a MAP_FIXED mapping replaces what was there
  track_mapping(c, reinterpret_cast<uintptr_t>(p),
                Mapping{whole, prot, 0, static_cast<uint64_t>(reply.head.b[2]), reply.head.b[3] != 0});
  return p;
}

// A mapping made elsewhere replaced whatever window mapping was in its place
// (MAP_FIXED), or one that was unmapped behind our back.
void *mapped_over(void *p, size_t len) {
  Client *c = with_mappings();
  if (p != MAP_FAILED && c) {
    int saved = errno;
    std::lock_guard lock(c->mu);
    untrack_mappings(*c, p, len);
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
  Client *c = with_mappings();
  if (!c) return real().munmap(addr, len);
  std::lock_guard lock(c->mu);
  int r = real().munmap(addr, len);
  if (r == 0) {
    int saved = errno;
    untrack_mappings(*c, addr, len);
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
  Client *c = with_mappings();
  if (p != MAP_FAILED && c) {
    int saved = errno;
    std::lock_guard lock(c->mu);
    untrack_mappings(*c, old, old_len);
    untrack_mappings(*c, p, new_len);
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
  Client *c = made_client();
  if (c && c->open_dirs.load(std::memory_order_relaxed) > 0) {
    std::unique_lock lock(c->mu);
    if (c->listings.erase(dir)) {
      c->open_dirs.store(static_cast<int>(c->listings.size()), std::memory_order_relaxed);
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

// "/proc/PID/fd/N" naming a descriptor the host answers for, in this
// process or another one under it: reads back as the path it was opened by,
// as a real device node's descriptor would (tools find a card's holders so).
bool fd_link(const char *path, pid_t *pid, int *fd) {
  const char *rest = nullptr;
  *pid = getpid();
  if (strncmp(path, "/proc/self/fd/", 14) == 0) {
    rest = path + 14;
  } else if (strncmp(path, "/proc/thread-self/fd/", 21) == 0) {
    rest = path + 21;
  } else if (strncmp(path, "/proc/", 6) == 0 && path[6] >= '0' && path[6] <= '9') {
    char *end;
    long p = strtol(path + 6, &end, 10);
    if (strncmp(end, "/fd/", 4) != 0 || p > INT_MAX) return false;
    *pid = static_cast<pid_t>(p);
    rest = end + 4;
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
  pid_t pid;
  if (!path || !fd_link(path, &pid, &fd)) return false;
  std::string target;
  if (pid == getpid()) {
    if (!maybe_tracked(0)) return false;
    Client &c = client();
    std::lock_guard lock(c.mu);
    auto it = c.fds.find(fd);
    if (it == c.fds.end()) return false;
    target = it->second.path;
  } else {
    // Another process's: only a stand-in on /dev/null can be one, and only
    // a process under a host has anyone to ask.
    Client *c = made_client();
    if (!getenv("NRSIM_HOST") && !(c && c->conn >= 0)) return false;
    char real_target[16];
    ssize_t len = real().readlink(path, real_target, sizeof real_target);
    if (len != 9 || memcmp(real_target, "/dev/null", 9) != 0) return false;
    Reply reply;
    if (ask(Op::FdPath, {pid, fd}, nullptr, 0, &reply) < 0) return false;
    target = reply.payload;
  }
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
  int64_t r = ask(Op::Access, {mode}, res.path.data(), res.path.size());
  return r < 0 ? fail(static_cast<int>(-r), -1) : 0;
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
