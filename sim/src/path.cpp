// Path resolution as the kernel does it (cwd or directory descriptor, ".",
// "..", symbolic links), only to find out whether a path reaches a simulated
// place.  The real parts of a path are looked at with lstat and readlink,
// which this library does not wrap.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>

#include "client.h"
#include "real.h"
#include "sim.h"

namespace nrsim {

namespace {

constexpr int MAX_LINKS = 40; // as the kernel's ELOOP limit

void push_components(std::deque<std::string> &todo, std::string_view path, bool front) {
  std::deque<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) parts.emplace_back(path.substr(i, j - i));
    i = j + 1;
  }
  // A trailing slash asks for a directory, as a final "." does.
  if (!path.empty() && path.back() == '/' && !parts.empty()) parts.emplace_back(".");
  if (front) todo.insert(todo.begin(), parts.begin(), parts.end());
  else todo.insert(todo.end(), parts.begin(), parts.end());
}

std::string join(const std::string &dir, std::string_view name) {
  std::string p = dir;
  if (p.size() > 1) p += '/';
  p += name;
  return p;
}

std::string parent(const std::string &p) {
  size_t slash = p.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : p.substr(0, slash);
}

Resolved error(int err) {
  Resolved r;
  r.what = Resolved::What::Error;
  r.err = err;
  return r;
}

// The directory a relative path starts from; false if it cannot be known,
// in which case the call is left to the C library.
bool start_dir(int dirfd, std::string *cur, int *err) {
  if (dirfd == AT_FDCWD) {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf) || buf[0] != '/') return false;
    *cur = buf;
    return true;
  }
  if (Client *c = made_client(); c && c->tracked.load(std::memory_order_relaxed) > 0) {
    std::lock_guard lock(c->mu);
    auto it = c->fds.find(dirfd);
    if (it != c->fds.end()) {
      if (!it->second.dir) {
        *err = ENOTDIR;
        return false;
      }
      *cur = it->second.path;
      return true;
    }
  }
  char link[32], buf[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
  ssize_t n = raw_readlink(link, buf, sizeof buf - 1);
  if (n <= 0 || buf[0] != '/') return false;
  cur->assign(buf, static_cast<size_t>(n));
  return true;
}

} // namespace

Resolved resolve(int dirfd, const char *path, bool follow_last) {
  Resolved out; // Outside
  if (!path || !*path) return out;

  std::string cur = "/";
  if (path[0] != '/') {
    int err = 0;
    if (!start_dir(dirfd, &cur, &err)) return err ? error(err) : out;
  }
  Look here; // where cur is: Outside means a real directory
  if (maybe_simulated(cur)) {
    here = cached_lookup(cur);
    if (here.what == Look::What::Error) return error(here.err);
  }
  bool via = here.what == Look::What::Found; // passed through a simulated place

  std::deque<std::string> todo;
  push_components(todo, path, false);
  int links = 0;

  auto rest_from = [&](const std::string &p) {
    std::string r = p;
    for (const std::string &c : todo) r = join(r, c);
    return r;
  };
  auto give_up = [&](const std::string &p) {
    if (!via) return Resolved{};
    Resolved r;
    r.what = Resolved::What::Rewritten;
    r.path = rest_from(p);
    return r;
  };

  while (!todo.empty()) {
    std::string c = std::move(todo.front());
    todo.pop_front();
    bool last = todo.empty();
    bool virt = here.what == Look::What::Found;
    if (virt && !here.node.is_dir()) return error(ENOTDIR);
    if (c == ".") continue;
    if (c == "..") {
      cur = parent(cur);
      here = maybe_simulated(cur) ? cached_lookup(cur) : Look{};
      if (here.what == Look::What::Error) return error(here.err);
      continue;
    }
    std::string next = join(cur, c);
    if (maybe_simulated(next)) {
      Look l = cached_lookup(next);
      if (l.what == Look::What::Error) return error(l.err);
      if (l.what == Look::What::Found) {
        cur = std::move(next);
        here = std::move(l);
        via = true;
        continue;
      }
    }
    if (virt) return error(ENOENT); // every child of a simulated directory is simulated

    struct stat st;
    if (lstat(next.c_str(), &st) != 0) {
      if (is_scaffold(next) && !last) {
        cur = std::move(next);
        continue;
      }
      return give_up(next);
    }
    if (S_ISLNK(st.st_mode) && (!last || follow_last)) {
      char target[PATH_MAX];
      ssize_t n = raw_readlink(next.c_str(), target, sizeof target - 1);
      if (n <= 0) return give_up(next);
      if (++links > MAX_LINKS) return via ? error(ELOOP) : out;
      std::string_view t(target, static_cast<size_t>(n));
      push_components(todo, t, true);
      if (t[0] == '/') cur = "/";
      continue;
    }
    if (!S_ISDIR(st.st_mode) && !last) return give_up(next);
    cur = std::move(next);
  }

  if (here.what == Look::What::Found) {
    out.what = Resolved::What::Found;
    out.node = std::move(here.node);
    out.path = std::move(cur);
    return out;
  }
  if (via) {
    out.what = Resolved::What::Rewritten;
    out.path = std::move(cur);
  }
  return out;
}

} // namespace nrsim
