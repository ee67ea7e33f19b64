// nr_dev_from_bdf on arbitrary text, against the two simulated cards at
// addresses the input may choose.
//
// Input: one mode byte; if its bit 0 is set, two (domain, bus_dev_fn) pairs
// of 16-bit little-endian words follow and become the cards' PCI addresses
// (else they keep 0000:03:00.0 and 0000:04:00.0); the rest is the address
// text, up to its first NUL.
//
// Properties: the call returns 0 with the number of a card whose address
// equals the text's, and the first such card in listing order; or -1 with
// EINVAL exactly when neither address form parses, else ENODEV.  The
// expected answer comes from a scanner of our own that reads each field to
// its true value (sign and all digits), checked on every input against the
// C library's sscanf for the fields' count and 32-bit values.  No card is
// left open and no descriptor leaks.
#include <cstring>
#include <memory>

#include "fuzz.h"

namespace {

constexpr uint32_t CARDS = 2;
struct nrsim_identity launch[CARDS]; // the cards' identities as the simulator started them
fuzz::Leaks *baseline;

// One %x conversion as the C library's scanf reads it: white space, a sign,
// a 0x prefix, hex digits.  The value is kept whole: `over` when it needs
// more than 64 bits.
struct Field {
  bool negative = false;
  bool over = false;
  uint64_t magnitude = 0;

  // The unsigned int sscanf stores: strtoul's result, cut to 32 bits.
  uint32_t as_scanf() const {
    uint64_t v = over ? UINT64_MAX : negative ? 0 - magnitude : magnitude;
    return static_cast<uint32_t>(v);
  }
  // Whether the field names a value a card's address could hold at all.
  bool fits() const { return !over && magnitude <= UINT32_MAX && (!negative || magnitude == 0); }
};

bool c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Null on a matching failure.
const char *scan_hex(const char *s, Field &f) {
  f = Field{};
  while (c_space(*s)) ++s;
  if (*s == '+' || *s == '-') f.negative = *s++ == '-';
  bool any = false;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) { // "0x" alone reads as 0
    s += 2;
    any = true;
  }
  for (int d; (d = hex_digit(*s)) >= 0; ++s) {
    any = true;
    if (f.magnitude >> 60) f.over = true;
    f.magnitude = f.magnitude << 4 | static_cast<uint64_t>(d);
  }
  return any ? s : nullptr;
}

// Fields read before the first failure, for a format of %x conversions
// separated by the given literal characters ("::." or ":.").
int scan(const char *s, const char *separators, Field *out) {
  int n = 0;
  for (;;) {
    s = scan_hex(s, out[n]);
    if (!s) return n;
    ++n;
    if (!*separators) return n;
    if (*s != *separators) return n;
    ++s;
    ++separators;
  }
}

void check_against_scanf(const char *text, const Field *f, int n, int want) {
  unsigned v[4] = {};
  int r = want == 4 ? sscanf(text, "%x:%x:%x.%x", &v[0], &v[1], &v[2], &v[3])
                    : sscanf(text, "%x:%x.%x", &v[0], &v[1], &v[2]);
  FUZZ_CHECK((r == want) == (n == want), "reference scanner: %d fields of %d, sscanf %d, text \"%s\"", n, want, r,
             text);
  if (n != want) return;
  for (int i = 0; i < want; ++i)
    FUZZ_CHECK(f[i].as_scanf() == v[i], "reference scanner: field %d is %#x, sscanf %#x, text \"%s\"", i,
               f[i].as_scanf(), v[i], text);
}

void canonical(char (&buf)[20], uint32_t domain, uint32_t bus, uint32_t dev, uint32_t fn) {
  snprintf(buf, sizeof buf, "%04x:%02x:%02x.%x", domain, bus, dev, fn);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::require_simulator();
  for (uint32_t n = 0; n < CARDS; ++n)
    if (nrsim_identity(n, &launch[n]) != 0) fuzz::fail("no identity for card %u", n);
  baseline = new fuzz::Leaks;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in(data, size);
  struct nrsim_identity ids[CARDS];
  memcpy(ids, launch, sizeof ids);
  if (in.u8() & 1) {
    for (struct nrsim_identity &id : ids) {
      id.pci_domain = in.u16();
      id.bus_dev_fn = in.u16();
    }
  }
  for (uint32_t n = 0; n < CARDS; ++n)
    if (nrsim_set_identity(n, &ids[n]) != 0) fuzz::fail("cannot set card %u's identity", n);

  size_t len = in.left();
  std::unique_ptr<char[]> text(new char[len + 1]);
  memcpy(text.get(), in.take(len), len);
  text[len] = '\0';

  // The answer the library owes.
  Field f[4];
  int n4 = scan(text.get(), "::.", f);
  check_against_scanf(text.get(), f, n4, 4);
  int want_err = 0;
  uint32_t want_id = UINT32_MAX;
  if (n4 != 4) {
    f[0] = Field{};
    int n3 = scan(text.get(), ":.", f + 1);
    check_against_scanf(text.get(), f + 1, n3, 3);
    if (n3 != 3) want_err = EINVAL;
  }
  if (!want_err) {
    want_err = ENODEV;
    if (f[0].fits() && f[1].fits() && f[2].fits() && f[3].fits()) {
      char wanted[20];
      canonical(wanted, static_cast<uint32_t>(f[0].magnitude), static_cast<uint32_t>(f[1].magnitude),
                static_cast<uint32_t>(f[2].magnitude), static_cast<uint32_t>(f[3].magnitude));
      for (uint32_t n = 0; n < CARDS; ++n) { // listed in ascending order
        char have[20];
        canonical(have, ids[n].pci_domain, ids[n].bus_dev_fn >> 8, (ids[n].bus_dev_fn >> 3) & 0x1f,
                  ids[n].bus_dev_fn & 7);
        if (strcmp(have, wanted) == 0) {
          want_err = 0;
          want_id = n;
          break;
        }
      }
    }
  }

  uint32_t id = 0xDEADBEEF;
  errno = 0;
  int rc = nr_dev_from_bdf(text.get(), &id);
  int err = errno;
  if (want_err) {
    FUZZ_CHECK(rc == -1 && err == want_err, "\"%s\": returned %d errno %d (id %u), want -1 errno %d", text.get(), rc,
               err, id, want_err);
    FUZZ_CHECK(id == 0xDEADBEEF, "\"%s\": failed but wrote the id", text.get());
  } else {
    FUZZ_CHECK(rc == 0 && id == want_id, "\"%s\": returned %d errno %d id %u, want card %u", text.get(), rc, err, id,
               want_id);
  }
  for (uint32_t n = 0; n < CARDS; ++n)
    FUZZ_CHECK(nrsim_open_count(n) == 0, "\"%s\": card %u left open", text.get(), n);
  baseline->check("nr_dev_from_bdf");
  return 0;
}
