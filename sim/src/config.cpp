// Launch configuration and the identity a card starts with.
#include <cstdio>
#include <cstring>

#include "sim.h"

namespace nrsim {

namespace {

// A run of hexadecimal digits (no sign, prefix or blanks) no greater than max.
bool parse_hex(std::string_view s, unsigned max, unsigned *out) {
  if (s.empty() || s.size() > 8) return false;
  unsigned v = 0;
  for (char ch : s) {
    unsigned d;
    if (ch >= '0' && ch <= '9') d = ch - '0';
    else if (ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
    else return false;
    v = v * 16 + d;
  }
  if (v > max) return false;
  *out = v;
  return true;
}

void put16(std::string &b, size_t off, uint16_t v) {
  b[off] = static_cast<char>(v & 0xff);
  b[off + 1] = static_cast<char>(v >> 8);
}

} // namespace

// "DDDD:BB:DD.F" or "BB:DD.F", each field hexadecimal within its PCI width.
bool parse_bdf(std::string_view text, uint16_t *domain, uint16_t *bus_dev_fn) {
  size_t dot = text.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view head = text.substr(0, dot), fn_s = text.substr(dot + 1);
  size_t c2 = head.rfind(':');
  if (c2 == std::string_view::npos) return false;
  std::string_view dev_s = head.substr(c2 + 1), rest = head.substr(0, c2);
  std::string_view bus_s = rest, dom_s = "0";
  if (size_t c1 = rest.rfind(':'); c1 != std::string_view::npos) {
    dom_s = rest.substr(0, c1);
    bus_s = rest.substr(c1 + 1);
  }
  unsigned dom, bus, dev, fn;
  if (!parse_hex(dom_s, 0xffff, &dom) || !parse_hex(bus_s, 0xff, &bus) || !parse_hex(dev_s, 0x1f, &dev) ||
      !parse_hex(fn_s, 7, &fn))
    return false;
  *domain = static_cast<uint16_t>(dom);
  *bus_dev_fn = static_cast<uint16_t>(bus << 8 | dev << 3 | fn);
  return true;
}

Identity default_identity(uint16_t device_id, uint16_t domain, uint16_t bus_dev_fn) {
  Identity id{};
  id.vendor_id = DEFAULT_VENDOR_ID;
  id.device_id = device_id;
  id.subsystem_vendor_id = DEFAULT_VENDOR_ID;
  id.subsystem_id = DEFAULT_SUBSYSTEM_ID;
  id.bus_dev_fn = bus_dev_fn;
  id.max_dma_buf_size_log2 = DEFAULT_MAX_DMA_LOG2;
  id.pci_domain = domain;
  return id;
}

bool parse_devices(std::string_view list, std::vector<LaunchCard> *out, std::string *bad) {
  std::vector<LaunchCard> parsed;
  if (list.empty()) {
    *out = {};
    return true;
  }
  // Every item is a card: no empty one, before, between or after the commas.
  for (;;) {
    size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    size_t at = item.find('@');
    std::string_view id_s = item.substr(0, at);
    if (id_s.size() > 2 && id_s[0] == '0' && (id_s[1] == 'x' || id_s[1] == 'X')) id_s.remove_prefix(2);
    unsigned device_id;
    uint16_t domain, bdf;
    if (at == std::string_view::npos || !parse_hex(id_s, 0xffff, &device_id) ||
        !parse_bdf(item.substr(at + 1), &domain, &bdf)) {
      if (bad) *bad = item;
      return false;
    }
    parsed.push_back({static_cast<uint16_t>(device_id),
                      default_identity(static_cast<uint16_t>(device_id), domain, bdf)});
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  *out = std::move(parsed);
  return true;
}

// Type-0 configuration header of a processing accelerator (class 0x12).
std::string pci_config(const Identity &id) {
  std::string b(256, '\0');
  put16(b, 0x00, id.vendor_id);
  put16(b, 0x02, id.device_id);
  put16(b, 0x04, DEFAULT_PCI_COMMAND);
  put16(b, 0x06, 0x0010); // status: capabilities list
  b[0x0b] = 0x12;         // class: processing accelerator
  put16(b, 0x2c, id.subsystem_vendor_id);
  put16(b, 0x2e, id.subsystem_id);
  return b;
}

// Keeps the configuration space's ID fields in step with the identity.
void apply_identity(Card &c) {
  std::string &cfg = c.tree(Tree::Pci)["config"];
  if (cfg.size() < 0x30) {
    cfg = pci_config(c.identity);
    return;
  }
  put16(cfg, 0x00, c.identity.vendor_id);
  put16(cfg, 0x02, c.identity.device_id);
  put16(cfg, 0x2c, c.identity.subsystem_vendor_id);
  put16(cfg, 0x2e, c.identity.subsystem_id);
}

std::string Card::bdf() const {
  char buf[20];
  snprintf(buf, sizeof buf, "%04x:%02x:%02x.%x", identity.pci_domain, identity.bus_dev_fn >> 8,
           (identity.bus_dev_fn >> 3) & 0x1f, identity.bus_dev_fn & 7);
  return buf;
}

} // namespace nrsim
