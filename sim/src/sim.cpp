// The simulator's state and the card life cycle.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "real.h"
#include "sim.h"

namespace nrsim {

namespace {

// fork() copies the lock in whatever state another thread left it; hold it
// across the fork so that both sides start from a consistent table.
void before_fork() { sim().mu.lock(); }
void after_fork_parent() { sim().mu.unlock(); }
void after_fork_child() {
  Sim &s = sim();
  // The child has no waiters, so the condition variable starts afresh too.
  new (&s.mu) std::mutex;
  s.waiting.clear();
  telem_after_fork_child(s);
}

// The incarnation's descriptors go stale; what it ran and held dies with it.
void retire(Incarnation &life) {
  life.retired = true;
  life.smc = Controller{};
  tlb_retire(life);
}

std::atomic<Sim *> made{nullptr};

} // namespace

Sim &sim() {
  // Never destroyed: descriptors may be closed by other libraries' exit code.
  static Sim *s = [] {
    Sim *p = new Sim();
    made.store(p, std::memory_order_release);
    return p;
  }();
  return *s;
}

Sim *made_sim() { return made.load(std::memory_order_acquire); }

Sim::Sim() {
  const char *cards = getenv("NRSIM_DEVICES");
  if (!cards) {
    parse_devices("0x401e@0000:03:00.0,0xb140@0000:04:00.0", &launch);
  } else if (!parse_devices(cards, &launch)) {
    raw_warn("nrsim: NRSIM_DEVICES is malformed (want DEVICEID@BDF,...); starting with no cards\n");
  }
  for (size_t i = 0; i < launch.size(); ++i) add_card(static_cast<uint32_t>(i), launch[i].identity);
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

std::shared_ptr<Card> Sim::card(uint32_t n) const {
  auto it = cards.find(n);
  return it == cards.end() ? nullptr : it->second;
}

bool Sim::name_taken(std::string_view name) const {
  for (const Entry &e : entries)
    if (e.name == name) return true;
  for (const auto &[n, c] : cards)
    if (std::to_string(n) == name) return true;
  return false;
}

long Sim::add_card(uint32_t number, const Identity &id) {
  if (name_taken(std::to_string(number))) return -EEXIST;
  auto c = std::make_shared<Card>();
  c->number = number;
  c->identity = id;
  c->life = std::make_shared<Incarnation>();
  c->life->number = number;
  c->tree(Tree::Class)["nr_fw_bundle_ver"] = DEFAULT_FW_BUNDLE;
  c->tree(Tree::Pci)["config"] = pci_config(id);
  telem_boot(*this, *c);
  cards[number] = std::move(c);
  return number;
}

void Sim::remove_card(uint32_t n) {
  auto it = cards.find(n);
  if (it == cards.end()) return;
  Card &c = *it->second;
  retire(*c.life);
  c.removed = true;
  cards.erase(it);
  wake_openers();
}

void Sim::sever_card(Card &c, int keep) {
  retire(*c.life);
  std::shared_ptr<Incarnation> old = c.life;
  c.life = std::make_shared<Incarnation>();
  c.life->number = c.number;
  if (auto it = descs.find(keep); it != descs.end() && it->second.kind == Desc::Kind::Device && it->second.life == old) {
    // What the descriptor had ran on the old card: retire() ended its
    // message and windows, and its power request goes too.
    Desc &d = it->second;
    d.life = c.life;
    d.smc = Desc::Smc::Idle;
    d.reply = {};
    d.power = 0;
    ++c.life->holders;
    if (d.exclusive) ++c.life->exclusive;
  }
  telem_boot(*this, c);
  wake_openers();
}

void Sim::reset() {
  while (!cards.empty()) remove_card(cards.begin()->first);
  entries.clear();
  logs.clear();
  log_limit = NRSIM_LOG_LIMIT;
  driver = NRSIM_DRIVER_LOADED;
  kmd_version = DEFAULT_KMD_VERSION;
  list_descending = false;
  for (size_t i = 0; i < launch.size(); ++i) add_card(static_cast<uint32_t>(i), launch[i].identity);
}

void Sim::forget(int fd) {
  auto it = descs.find(fd);
  if (it == descs.end()) return;
  Desc &d = it->second;
  if (d.kind == Desc::Kind::Device && !d.life->retired) {
    smc_abandon(*this, *d.card, d, fd);
    tlb_release_owner(*d.life, fd);
    --d.life->holders;
    if (d.exclusive) --d.life->exclusive;
    if (d.life->resetter == fd) d.life->resetter = -1; // its reset is abandoned
    wake_openers();
  }
  descs.erase(it);
  tracked.store(static_cast<int>(descs.size()), std::memory_order_relaxed);
}

void Sim::wake_openers() {
  released.fetch_add(1, std::memory_order_relaxed);
  syscall(SYS_futex, &released, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

int Sim::wait_for_openers(std::unique_lock<std::mutex> &lock) {
  // Read under the lock: a wake after the unlock changes the word, and the
  // futex then returns at once.
  uint32_t seen = released.load(std::memory_order_relaxed);
  lock.unlock();
  long r = syscall(SYS_futex, &released, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
  int err = r < 0 ? errno : 0;
  lock.lock();
  return err == EINTR ? EINTR : 0;
}

} // namespace nrsim
