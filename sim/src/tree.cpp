// The simulated trees: /dev/norvane, /sys/class/norvane and the cards'
// directories under /sys/bus/pci/devices.  Paths here are canonical.
#include <dirent.h>

#include <cerrno>
#include <string>

#include "sim.h"

namespace nrsim {

namespace {

bool starts_with_dir(std::string_view abs, std::string_view dir) {
  return abs.size() > dir.size() && abs.substr(0, dir.size()) == dir && abs[dir.size()] == '/';
}

unsigned char entry_type(int kind) {
  switch (kind) {
  case NRSIM_ENTRY_CHR: return DT_CHR;
  case NRSIM_ENTRY_REG: return DT_REG;
  case NRSIM_ENTRY_DIR: return DT_DIR;
  default: return DT_UNKNOWN;
  }
}

Look found(Node n) {
  Look l;
  l.what = Look::What::Found;
  l.node = std::move(n);
  return l;
}

Look error(int err) {
  Look l;
  l.what = Look::What::Error;
  l.err = err;
  return l;
}

// The card that owns a PCI address (the lowest-numbered one at it).
const Card *card_at(const Sim &s, std::string_view bdf) {
  for (const auto &[n, c] : s.cards)
    if (c->bdf() == bdf) return c.get();
  return nullptr;
}

} // namespace

bool Node::is_dir() const { return type == DT_DIR; }

bool maybe_simulated(std::string_view abs) {
  return abs == DEV_DIR || starts_with_dir(abs, DEV_DIR) || abs == CLASS_DIR || starts_with_dir(abs, CLASS_DIR) ||
         starts_with_dir(abs, PCI_DIR);
}

bool is_scaffold(std::string_view abs) {
  return abs == "/dev" || abs == "/sys" || abs == "/sys/class" || abs == "/sys/bus" || abs == "/sys/bus/pci" ||
         abs == PCI_DIR;
}

std::vector<std::pair<std::string, Node>> children(const Sim &s, const Node &dir) {
  std::vector<std::pair<std::string, Node>> out;
  Node n;
  switch (dir.role) {
  case Node::Role::DevDir: {
    auto add = [&](uint32_t number) {
      n.role = Node::Role::Card;
      n.type = DT_CHR;
      n.card = number;
      out.emplace_back(std::to_string(number), n);
    };
    // A real directory's order is the filesystem's: programs must not rely
    // on it being ascending.
    if (s.list_descending)
      for (auto it = s.cards.rbegin(); it != s.cards.rend(); ++it) add(it->first);
    else
      for (const auto &[number, c] : s.cards) add(number);
    for (const Entry &e : s.entries) {
      n.role = Node::Role::Odd;
      n.type = entry_type(e.kind);
      n.name = e.name;
      out.emplace_back(e.name, n);
    }
    break;
  }
  case Node::Role::ClassDir:
    for (const auto &[number, c] : s.cards) {
      n.role = Node::Role::ClassCard;
      n.type = DT_DIR;
      n.card = number;
      out.emplace_back("norvane!" + std::to_string(number), n);
    }
    break;
  case Node::Role::ClassCard:
  case Node::Role::PciDir: {
    auto it = s.cards.find(dir.card);
    if (it == s.cards.end()) break;
    Tree t = dir.role == Node::Role::PciDir ? Tree::Pci : Tree::Class;
    for (const auto &[name, bytes] : it->second->files[static_cast<int>(t)]) {
      n.role = Node::Role::File;
      n.type = DT_REG;
      n.card = dir.card;
      n.tree = t;
      n.name = name;
      out.emplace_back(name, n);
    }
    break;
  }
  default: break; // odd directories are empty
  }
  return out;
}

Look lookup(const Sim &s, std::string_view abs) {
  bool loaded = s.driver != NRSIM_DRIVER_UNLOADED;
  if (abs == DEV_DIR || abs == CLASS_DIR) {
    if (!loaded) return error(ENOENT);
    Node n;
    n.role = abs == DEV_DIR ? Node::Role::DevDir : Node::Role::ClassDir;
    n.type = DT_DIR;
    return found(n);
  }
  bool under = starts_with_dir(abs, DEV_DIR) || starts_with_dir(abs, CLASS_DIR);
  if (!under && starts_with_dir(abs, PCI_DIR)) {
    std::string_view rest = abs.substr(std::string_view(PCI_DIR).size() + 1);
    size_t slash = rest.find('/');
    const Card *c = card_at(s, rest.substr(0, slash));
    if (!c) return {}; // a real device, or nothing: the real tree's business
    // Off the bus: gone, and not to be confused with a real device there.
    if (pci_absent(*c)) return error(ENOENT);
    if (slash == std::string_view::npos) {
      Node n;
      n.role = Node::Role::PciDir;
      n.type = DT_DIR;
      n.card = c->number;
      return found(n);
    }
    under = true;
  }
  if (!under) return {};

  size_t slash = abs.rfind('/');
  std::string_view name = abs.substr(slash + 1);
  Look parent = lookup(s, abs.substr(0, slash));
  if (parent.what != Look::What::Found) return parent;
  if (!parent.node.is_dir()) return error(ENOTDIR);
  for (auto &[child, node] : children(s, parent.node))
    if (child == name) return found(std::move(node));
  return error(ENOENT);
}

int file_bytes(const Card &c, Tree t, const std::string &name, std::string *out) {
  if (t == Tree::Pci && pci_absent(c)) return -ENODEV; // opened before the card left the bus
  const auto &files = c.files[static_cast<int>(t)];
  auto it = files.find(name);
  if (it == files.end()) return -ENODEV;
  *out = it->second;
  // Parity Error Response (Command bit 6) reads set while a reset is under
  // way: how a card that stays on the bus shows it is not back yet.
  if (t == Tree::Pci && name == "config" && out->size() > 4 && pci_marked(c)) (*out)[4] |= 0x40;
  return 0;
}

} // namespace nrsim
