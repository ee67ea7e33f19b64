// A process's side of the simulated host: its connection, the descriptors
// and mappings it holds, and the requests it forwards (client.cpp).
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "tree.h"
#include "wire.h"

namespace nrsim {

// A descriptor of this process that the host answers for.
struct Local {
  enum class Kind : uint8_t { Device, File, Path };
  Kind kind = Kind::Path;
  bool dir = false;  // a directory, for *at() calls relative to it
  std::string path;  // where it was opened
  long long offset = 0;
  // A file's bytes as the answer to its open gave them, good while the
  // host's tree count is content_tree (see wire.h).
  bool has_content = false;
  uint64_t content_tree = 0;
  std::string content;
};

// A mapping of a window in this process, tracked until it is unmapped.
struct Mapping {
  size_t len = 0;      // whole pages
  int prot = 0;
  uint64_t offset = 0; // into the window, of the mapping's first byte
  uint64_t serial = 0; // the window's
  bool mcast = false;  // its stores reach the tiles when it goes
};

struct Client {
  std::mutex mu; // guards everything below, and the main connection
  // The process this state is of.  A child made by vfork shares it until it
  // execs, and must leave it alone (its descriptor table is its own).
  pid_t pid = 0;
  int conn = -1;
  bool gone = false; // the host cannot be reached: requests answer ENODEV
  pid_t parent = 0;  // a fork's child, until its hello: its parent
  std::unordered_map<int, Local> fds;
  std::atomic<int> tracked{0}; // fds.size(), read without the lock
  std::map<uintptr_t, Mapping> mappings;
  std::unordered_map<uint64_t, std::unordered_set<uintptr_t>> by_window;
  std::atomic<int> mapped{0};
  std::unordered_set<const void *> listings; // handed out by opendir
  std::atomic<int> open_dirs{0};
  // The controller reply that came with the answer to descriptor fd's post
  // (see wire.h), until the next message to the host.
  struct Offer {
    int fd = -1;
    uint32_t reply[8];
    uint64_t epoch;
  } offer;
  // Path lookups, directory listings as (result, entries) and files' bytes,
  // whose answers hold while the host's tree count is steady_tree (see
  // wire.h).
  struct PathHash {
    using is_transparent = void; // found by string_view, without a copy
    size_t operator()(std::string_view p) const { return std::hash<std::string_view>{}(p); }
  };
  template <class T> using ByPath = std::unordered_map<std::string, T, PathHash, std::equal_to<>>;
  ByPath<Look> looks;
  ByPath<std::pair<int64_t, std::string>> listings_kept;
  ByPath<std::string> contents_kept;
  uint64_t steady_tree = UINT64_MAX;
};

// The process's client, made on first use.
Client &client();
// Is this the process the client state is of (not a vfork child)?
bool own_state(const Client &c);
// The client if it has been made, else null.  The wrappers' quick tests
// ("is this descriptor or mapping ours?") use it: until it exists nothing is
// ours, and a call that merely passes through must not make it.
Client *made_client();

// Leaves the caller's errno as it was: a call that succeeds does not touch it.
struct KeepErrno {
  int saved = errno;
  ~KeepErrno() { errno = saved; }
};

struct Reply {
  Answer head{};
  std::string payload;
  int fd = -1; // handed over with the answer; the caller closes it
};

// Forwards a request to the host over the main connection; returns its
// result (>= 0, or -errno: -ENODEV when the host is gone).  Lock not held.
int64_t ask(Op op, std::initializer_list<int64_t> args, const void *payload = nullptr, size_t len = 0,
            Reply *reply = nullptr);
// The same, with the lock held.
int64_t ask_locked(Client &c, Op op, std::initializer_list<int64_t> args, const void *payload, size_t len,
                   Reply *reply);
// A poll of descriptor fd's controller message with record `arg`, answered
// here from the reply offered with its post, if it still holds; false: ask
// the host.  Lock held.
bool poll_offered(Client &c, int fd, void *arg, int64_t *result);
// Sends a message that the host does not answer; false if the host is
// gone.  Lock held.
bool tell_locked(Client &c, Op op, std::initializer_list<int64_t> args, const void *payload, size_t len);
// Has the host taken no message since its epoch was `epoch`?
bool host_unchanged_since(uint64_t epoch);
// Is the host's tree count still `tree`?
bool tree_unchanged_since(uint64_t tree);
// Opens a file as fd with the bytes kept of it, if they still hold: the
// host is told without waiting.  False if there are none.
bool open_kept(Client &c, int fd, int flags, const std::string &path, Local *l);
// Keeps the bytes that came with the answer to a file's open.
void keep_content(Client &c, const std::string &path, const Answer &head, const std::string &bytes);
// What an absolute path names, as the host's last steady answer for it
// said, or as the host says now.  Lock not held.
Look cached_lookup(std::string_view abs);
// The host's List answer for a directory: its result, and its entries
// (type byte, name length byte, name) into *entries.
int64_t cached_listing(std::string_view abs, std::string *entries);
// Opens a card, waiting on a connection of its own if the card is busy: a
// signal handler that runs meanwhile ends the wait with -EINTR, unless the
// open was granted first.  Lock not held.
int64_t open_waiting(int fd, int flags, const std::string &path);

// Tracking of this process's descriptors and mappings.  Lock held.
void track_fd(Client &c, int fd, Local l);
void untrack_fd(Client &c, int fd); // tells the host
void track_mapping(Client &c, uintptr_t addr, Mapping m);
// [addr, addr + len) is no longer what was mapped there (unmapped, or
// mapped over): forgets the window mappings it held.
void untrack_mappings(Client &c, const void *addr, size_t len);
// Maps a window's new target over every mapping of it in this process.
int retarget(Client &c, uint64_t serial, int memfd, uint64_t base, bool mcast);

size_t page_size();

} // namespace nrsim
