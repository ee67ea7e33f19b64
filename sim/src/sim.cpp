// The simulator's state and the card life cycle.

#include <cerrno>
#include <cstdlib>

#include "real.h"
#include "sim.h"

namespace nrsim {

namespace {

// The incarnation's descriptors go stale; what it ran and held dies with it.
void retire(Incarnation &life) {
  life.retired = true;
  life.smc = Controller{};
  tlb_retire(life);
}

} // namespace

Sim &sim() {
  // Never destroyed: the telemetry thread runs until the host exits.
  static Sim *s = new Sim();
  return *s;
}

Sim::Sim() {
  const char *cards = getenv("NRSIM_DEVICES");
  if (!cards) {
    parse_devices("0x401e@0000:03:00.0,0xb140@0000:04:00.0", &launch);
  } else if (!parse_devices(cards, &launch)) {
    raw_warn("nrsim: NRSIM_DEVICES is malformed (want DEVICEID@BDF,...); starting with no cards\n");
  }
  for (size_t i = 0; i < launch.size(); ++i) add_card(static_cast<uint32_t>(i), launch[i].identity);
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

int Sim::add_desc(Desc d) {
  do next_desc = next_desc == INT32_MAX ? 0 : next_desc + 1;
  while (descs.count(next_desc));
  d.refs = 1;
  descs[next_desc] = std::move(d);
  return next_desc;
}

void Sim::close_fd(Session &p, int fd) {
  auto it = p.fds.find(fd);
  if (it == p.fds.end()) return;
  int id = it->second;
  p.fds.erase(it);
  auto d = descs.find(id);
  if (d != descs.end() && --d->second.refs == 0) forget(id);
}

void Sim::forget(int id) {
  auto it = descs.find(id);
  if (it == descs.end()) return;
  Desc &d = it->second;
  if (d.kind == Desc::Kind::Device && !d.life->retired) {
    smc_abandon(*this, *d.card, d, id);
    tlb_release_owner(*d.life, id);
    --d.life->holders;
    if (d.exclusive) --d.life->exclusive;
    if (d.life->resetter == id) d.life->resetter = -1; // its reset is abandoned
    wake_openers();
  }
  descs.erase(it);
}

} // namespace nrsim
