// The simulated driver's state: cards, their incarnations, the descriptor
// table and the logs.  Everything here is guarded by Sim::mu.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nrsim.h"
#include "wire.h"

#define NRSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace nrsim {

using Identity = struct nrsim_identity;

constexpr const char *DEV_DIR = "/dev/norvane";
constexpr const char *CLASS_DIR = "/sys/class/norvane";
constexpr const char *PCI_DIR = "/sys/bus/pci/devices";

// Identity of a card nobody configured otherwise.  The vendor ID is our own
// invention; subsystem fields repeat it, and 28 (256 MiB) is the DMA limit.
constexpr uint16_t DEFAULT_VENDOR_ID = 0x1F7A;
constexpr uint16_t DEFAULT_SUBSYSTEM_ID = 0x0001;
constexpr uint16_t DEFAULT_MAX_DMA_LOG2 = 28;
constexpr const char *DEFAULT_FW_BUNDLE = "18.7.0.0\n";
constexpr uint8_t DEFAULT_PCI_COMMAND = 0x06; // memory space + bus master
constexpr unsigned DEFAULT_RESET_AWAY_MS = 200;
// The driver version 0xFA05 reports until a control sets another.
constexpr std::array<uint8_t, 3> DEFAULT_KMD_VERSION = {2, 4, 1};

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

using SmcWords = std::array<uint32_t, 8>;
using Clock = std::chrono::steady_clock;

// How the card's controller firmware treats messages.  It belongs to the card
// and so outlives a sever; each message takes the behaviour in force when the
// controller takes it.
struct SmcConfig {
  enum class Delay : uint8_t { Polls, Ms };
  Delay delay = Delay::Polls;
  unsigned amount = 0; // polls or milliseconds
  bool hang = false;
  std::map<uint8_t, SmcWords> replies; // overrides, by message code
};

// The controller of one incarnation: the message it runs and those queued
// behind it, from every descriptor of the card, first come first served.
// Invariant: the queue is empty whenever the controller is idle.
struct Controller {
  struct Queued {
    int fd;
    SmcWords words;
  };
  enum class Until : uint8_t { Polls, Time, Never };

  std::deque<Queued> queue;
  bool busy = false;
  int owner = -1;     // descriptor awaiting the running message; -1 once it gave up
  SmcWords words{};   // the running message
  SmcWords reply{};   // and what it will answer
  uint32_t index = 0; // messages taken before it
  Until until = Until::Polls;
  unsigned polls_left = 0;
  Clock::time_point due{};
  uint32_t taken_count = 0;
};

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

// The telemetry firmware of one incarnation (telem.cpp).
struct Telemetry {
  bool present = false;   // the card's architecture has a telemetry tile
  bool own_table = true;  // the firmware's table, not one a control put there
  uint16_t device_id = 0; // the architecture it booted with
  std::vector<nrsim_telem_entry> table; // what the published table lists
  uint32_t table_words = 0; // entry words written so far, cleared on a shorter table
  uint64_t ticks = 0;
  Clock::time_point due{};
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

// The two sysfs trees the driver and the PCI core publish per card.
enum class Tree : uint8_t { Class, Pci };

// How the card goes through a reset (0xFA06).  The settings are the card's
// own and so outlive a sever; `away` and `since` say whether it is off the
// bus now (reset.cpp decides, from the clock, when it is back).
struct ResetState {
  int mode = NRSIM_RESET_VANISH;
  unsigned away_ms = DEFAULT_RESET_AWAY_MS;
  bool never = false;
  uint32_t begin_result = 0, finish_result = 0; // forced results; 0: none
  int count = 0; // resets completed
  bool away = false;
  Clock::time_point since{}; // the first step that took it off the bus
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

// Odd entries of the device directory.
struct Entry {
  std::string name;
  int kind = NRSIM_ENTRY_CHR;
};

// A place in the simulated trees.
struct Node {
  enum class Role : uint8_t { DevDir, Card, Odd, ClassDir, ClassCard, PciDir, File };
  Role role = Role::DevDir;
  unsigned char type = 0; // DT_DIR, DT_CHR, DT_REG or DT_UNKNOWN
  uint32_t card = 0;
  Tree tree = Tree::Class;
  std::string name; // Odd: entry name; File: file name

  bool is_dir() const;
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

// The largest record of any request, so that a log entry has a fixed size.
constexpr size_t MAX_RECORD = 48;

struct Request {
  uint32_t number = 0;
  uint32_t size = 0;
  std::array<uint8_t, MAX_RECORD> bytes{};
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

struct LaunchCard {
  uint16_t device_id;
  Identity identity;
};

// A process of the host, from its first request until it exits or execs:
// its descriptors by number, each an open file of the table.
struct Session {
  pid_t pid = 0;
  std::map<int, int> fds;
};

// A window by serial, for the processes that map it.
struct WindowRef {
  std::weak_ptr<Window> window;
  std::weak_ptr<Incarnation> life;
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

// ---- configuration (config.cpp) ------------------------------------------

bool parse_bdf(std::string_view text, uint16_t *domain, uint16_t *bus_dev_fn);
Identity default_identity(uint16_t device_id, uint16_t domain, uint16_t bus_dev_fn);
// Parses a card list (NRSIM_DEVICES: "0x401e@0000:03:00.0,..."); false if
// malformed, with the offending item in *bad if one is to blame.
bool parse_devices(std::string_view list, std::vector<LaunchCard> *out, std::string *bad = nullptr);
std::string pci_config(const Identity &id);
void apply_identity(Card &c);

// ---- the simulated trees (tree.cpp) --------------------------------------

// What a canonical absolute path names.
struct Look {
  enum class What : uint8_t { Outside, Found, Error };
  What what = What::Outside;
  int err = 0;
  Node node;
};
// Lock held.
Look lookup(const Sim &s, std::string_view abs);
// The bytes a read of file `name` of tree t of card c sees now; -ENODEV if
// the file or its directory is gone.  Lock held.
int file_bytes(const Card &c, Tree t, const std::string &name, std::string *out);
// A directory's entries in listing order, "." and ".." excluded.  Lock held.
std::vector<std::pair<std::string, Node>> children(const Sim &s, const Node &dir);
// Could this path lie in a simulated tree?  A cheap test, no lock needed.
bool maybe_simulated(std::string_view abs);
// Directories leading to the simulated trees; they count as present.
bool is_scaffold(std::string_view abs);

// ---- path resolution (path.cpp) ------------------------------------------

struct Resolved {
  enum class What : uint8_t {
    Outside,   // not ours: pass the call on with its own arguments
    Rewritten, // not ours, but the walk passed through a simulated place
    Found,     // a simulated node
    Error,     // fails with err, without touching the real filesystem
  };
  What what = What::Outside;
  int err = 0;
  Node node;
  std::string path; // Found: canonical path; Rewritten: path to pass on
};
Resolved resolve(int dirfd, const char *path, bool follow_last);

// ---- user memory (dispatch.cpp) ------------------------------------------

// Copies to or from the caller's memory without faulting on bad pointers,
// as the kernel's copy_{from,to}_user do.  In a process of the host.
bool user_copy_in(void *dst, const void *src, size_t n);
bool user_copy_out(void *dst, const void *src, size_t n);
// A write to memory known to be readable: whole, or (at a bad page) not all.
bool user_write(void *dst, const void *src, size_t n);
// This process's id, without a system call once the client is made.
pid_t own_pid();
// The host's side: a request's record, as the process could read and write
// it.  Handlers reach it through copy_in and copy_out.
bool copy_in(void *dst, const void *src, size_t n);
bool copy_out(void *dst, const void *src, size_t n);
// The record copy_in and copy_out reach until the next call; null: none.
void set_record(Record *r);

// ---- driver requests (dispatch.cpp and one file per area) ----------------

// Where a window's mappings now reach: a memfd and the offset in it of the
// window's first byte.
struct Backing {
  std::shared_ptr<class Memfd> mem;
  uint64_t base = 0;
  uint64_t serial = 0;
  bool mcast = false;
};

struct Call {
  Sim &sim;
  Card &card;
  Incarnation &life;
  Desc &desc;
  int fd; // the open file's id
  uint32_t request;
  void *arg;
  const uint8_t *record; // the record's bytes as read in; null if unreadable
  Backing *retarget;     // set by a configure: the processes move their mappings
};
// Returns the ioctl's result (>= 0) or -errno.
using Handler = int (*)(Call &);

uint32_t record_size(uint32_t request);
// Lock held; id names an open file.
int driver_request(Sim &s, int id, Desc &d, uint32_t request, void *arg, Backing *retarget);
// What a mapping of the open file at this offset reaches; 0 or an errno.
// Lock held.
int driver_mmap(Sim &s, Desc &d, int id, size_t len, int prot, int flags, long long off, Backing *out);

int device_info(Call &c); // devinfo.cpp
int driver_info(Call &c); // version.cpp
int power_request(Call &c); // power.cpp
int reset_request(Call &c); // reset.cpp

// ---- power requests (power.cpp) -------------------------------------------

// The OR of the requests of the live descriptors of c.  Lock held.
uint16_t power_effective(const Sim &s, const Card &c);

// ---- reset and PCI presence (reset.cpp) -----------------------------------

// Is the card's PCI directory gone (off the bus in vanish mode)?
bool pci_absent(const Card &c);
// Does its configuration space carry the mark of a card not back yet
// (off the bus in stay mode)?
bool pci_marked(const Card &c);

// ---- the management controller (smc.cpp) ---------------------------------

int smc_message(Call &c);
// Brings card c's controller up to date: completes what is due and takes
// what is queued.  Lock held.
void smc_settle(Sim &s, Card &c);
// The descriptor gives up its message, as a drop does.  Lock held; d is a
// live descriptor of c's current incarnation.
void smc_abandon(Sim &s, Card &c, Desc &d, int fd);

// ---- device memory (memory.cpp) -----------------------------------------

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

// ---- TLB windows (tlb.cpp) ------------------------------------------------

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

// ---- the telemetry firmware (telem.cpp) ---------------------------------

// Publishes the telemetry of c's fresh incarnation, if its architecture has
// any.  Lock held.
void telem_boot(Sim &s, Card &c);
// Starts the firmware thread if a card needs it and it is not running.
// Lock held.
void telem_start(Sim &s);

// ---- control calls (nrsim.h) ----------------------------------------------

// A control's failure: errno set, -1 returned.
inline int control_fail(int err) {
  errno = err;
  return -1;
}

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
