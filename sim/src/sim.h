// The simulated driver's state: cards, their incarnations, the descriptor
// table and the logs.  Everything here is guarded by Sim::mu.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base.h"
#include "config.h"
#include "driver.h"
#include "memory.h"
#include "reset.h"
#include "smc.h"
#include "telem.h"
#include "tlb.h"
#include "tree.h"

namespace nrsim {

struct Fault {
  int err = 0;
  unsigned times = 0;
  // Consumes one shot; returns the errno to fail with, or 0.
  int take() {
    if (times == 0) return 0;
    --times;
    return err;
  }
};

// One life of a card.  A sever or a removal retires it: descriptors opened
// on it go stale and everything tied to it (its controller and queue, its
// device memory and TLB windows) goes with it, while the card lives on in a
// fresh one.
struct Incarnation {
  uint32_t number = 0;
  bool retired = false;
  int holders = 0;   // open descriptors
  int exclusive = 0; // of which opened with O_EXCL
  Controller smc;
  Memory memory;
  std::map<uint32_t, std::shared_ptr<Window>> windows; // by id
  uint32_t next_window = 1;
  Telemetry telem;
  // The descriptor whose reset began this incarnation, until the reset is
  // finished or the descriptor closes: meanwhile the card is held as if
  // opened exclusively.  -1: none.
  int resetter = -1;
};

struct Card {
  uint32_t number = 0;
  Identity identity{};
  std::shared_ptr<Incarnation> life;
  bool removed = false;
  bool denied = false; // its node refuses this process (EACCES)
  Fault open_fault;
  std::map<uint32_t, Fault> faults; // by request number
  SmcConfig smc;
  unsigned telem_period = NRSIM_TELEM_PERIOD_MS; // 0: frozen; outlives a sever
  ResetState reset;
  // Virtual sysfs files, by name, per tree; their bytes are what a read sees.
  std::map<std::string, std::string> files[2];

  std::string bdf() const;
  std::map<std::string, std::string> &tree(Tree t) { return files[static_cast<int>(t)]; }
};

// An open file the simulator answers for.  Each process's descriptor of it
// is a real descriptor (on /dev/null) in that process, so that its number is
// the kernel's and never collides; a fork shares it, as it shares a file.
struct Desc {
  enum class Kind : uint8_t {
    Device, // a card node opened through the driver
    File,   // a sysfs file
    Path,   // a directory, or anything opened with O_PATH
  };
  Kind kind = Kind::Path;
  int flags = 0;
  bool exclusive = false;
  std::shared_ptr<Card> card;        // Device, File
  std::shared_ptr<Incarnation> life; // Device
  Node node;
  std::string path; // where it was opened
  int fd = -1;      // its number in the process that opened it
  int refs = 0;     // processes' descriptors of it
  // Its controller message: none, waiting in the queue, being run, or
  // answered with `reply` not yet fetched.
  enum class Smc : uint8_t { Idle, Queued, Running, Ready };
  Smc smc = Smc::Idle;
  SmcWords reply{};
  uint16_t power = 0; // its power request (0xFA0F); 0 until it makes one
};

// A log that keeps the newest `limit` entries.  Once full it overwrites in
// place, so a long run logs without allocating.
template <typename T> class Ring {
public:
  size_t size() const { return slots_.size(); }
  // Entry i, oldest first.
  const T &operator[](size_t i) const { return slots_[(head_ + i) % slots_.size()]; }
  void push(const T &v, size_t limit) {
    if (slots_.size() < limit) {
      straighten();
      slots_.push_back(v);
    } else {
      trim(limit);
      slots_[head_] = v;
      head_ = (head_ + 1) % slots_.size();
    }
  }
  // Keeps the newest `limit` entries (limit > 0).
  void trim(size_t limit) {
    if (slots_.size() <= limit) return;
    straighten();
    slots_.erase(slots_.begin(), slots_.end() - static_cast<std::ptrdiff_t>(limit));
  }

private:
  void straighten() {
    std::rotate(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(head_), slots_.end());
    head_ = 0;
  }
  std::vector<T> slots_;
  size_t head_ = 0; // the oldest entry
};

struct Log {
  Ring<uint32_t> opens;
  Ring<Request> requests;
  Ring<SmcWords> smc; // messages the controller took
};

// A process of the host, from its first request until it exits or execs:
// its descriptors by number, each an open file of the table.
struct Session {
  pid_t pid = 0;
  std::map<int, int> fds;
};

struct Sim {
  std::mutex mu;
  // Counts the moments a blocked open may go on (a device released, a card
  // severed or removed, the driver unloaded): the host then looks again.
  uint64_t wakes = 0;

  int driver = NRSIM_DRIVER_LOADED;
  std::map<uint32_t, std::shared_ptr<Card>> cards;
  std::vector<Entry> entries;
  std::vector<LaunchCard> launch;
  std::map<uint32_t, Log> logs;         // by card number; outlive the card
  size_t log_limit = NRSIM_LOG_LIMIT;   // entries per log
  std::map<uint32_t, int> waiting;      // blocked opens, by card number
  std::unordered_map<int, Desc> descs;  // open files, by id
  int next_desc = 0;
  std::map<uint64_t, Session> sessions; // by id
  std::unordered_map<uint64_t, WindowRef> serials;
  uint64_t next_serial = 1;
  std::condition_variable telem_cv;     // wakes the telemetry thread: a period or a boot changed
  bool telem_thread = false;            // the telemetry thread runs in this process
  std::array<uint8_t, 3> kmd_version = DEFAULT_KMD_VERSION; // major, minor, patch
  bool list_descending = false;         // /dev/norvane lists its cards highest first

  Sim();

  std::shared_ptr<Card> card(uint32_t n) const;
  bool name_taken(std::string_view name) const;
  long add_card(uint32_t number, const Identity &id);
  void remove_card(uint32_t n);
  // Retires c's incarnation and starts a fresh one.  Descriptor `keep`, if
  // it is one of c's live descriptors, moves to the fresh incarnation with
  // nothing of the old one (no message, windows or power request).
  void sever_card(Card &c, int keep = -1);
  void reset();
  // Registers an open file; returns its id.
  int add_desc(Desc d);
  // A process's descriptor fd goes; its file is released with its last one.
  void close_fd(Session &p, int fd);
  // Releases an open file: what it held goes, its id is forgotten.
  void forget(int id);
  // Blocked opens look again.  Lock held.
  void wake_openers() { ++wakes; }
};

// The host's simulator, made on first use.
Sim &sim();

// Runs f(sim, card) on card n under the lock; ENODEV if there is no such
// card.  The telemetry firmware starts with the first call that concerns a
// card.
template <typename F> int with_card(uint32_t n, F f) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  auto card = s.card(n);
  if (!card) return control_fail(ENODEV);
  int r = f(s, *card);
  telem_start(s);
  return r;
}

} // namespace nrsim
