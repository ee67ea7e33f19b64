// The simulated trees and the resolution of paths into them (tree.cpp,
// path.cpp).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base.h"

namespace nrsim {

constexpr const char *DEV_DIR = "/dev/norvane";
constexpr const char *CLASS_DIR = "/sys/class/norvane";
constexpr const char *PCI_DIR = "/sys/bus/pci/devices";

// The two sysfs trees the driver and the PCI core publish per card.
enum class Tree : uint8_t { Class, Pci };

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

} // namespace nrsim
