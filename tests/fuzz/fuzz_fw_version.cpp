// nr_fw_version on an arbitrary firmware bundle attribute.
//
// Input: the attribute's text, up to its first NUL (the simulator keeps the
// text as a C string).
//
// Properties: the call returns 0 with the version that a reader of our own
// finds in the first 31 bytes (four %lu numbers separated by dots, scanf's
// way: white space and a sign before each number, a value too large for 64
// bits read as the largest), the label "rc.Z" exactly when Z is not 0, and
// every other byte of the record cleared; or -1 with EIO when the text is
// empty or has fewer than four such numbers, the record untouched.  The
// attribute's descriptor is closed again every time.
#include <climits>
#include <cstring>
#include <memory>

#include "fuzz.h"

namespace {

nr_session session;
fuzz::Leaks *baseline;

bool c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One %lu conversion: null on a matching failure.
const char *scan_dec(const char *s, unsigned long &out) {
  while (c_space(*s)) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  if (*s < '0' || *s > '9') return nullptr;
  unsigned long v = 0;
  bool over = false;
  for (; *s >= '0' && *s <= '9'; ++s) {
    unsigned d = static_cast<unsigned>(*s - '0');
    if (v > (ULONG_MAX - d) / 10) over = true;
    v = v * 10 + d;
  }
  out = over ? ULONG_MAX : negative ? 0 - v : v; // strtoul's answers
  return s;
}

int scan(const char *s, unsigned long (&v)[4]) {
  for (int n = 0; n < 4; ++n) {
    s = scan_dec(s, v[n]);
    if (!s) return n;
    if (n < 3 && *s++ != '.') return n + 1;
  }
  return 4;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::require_simulator();
  uint32_t card = 0;
  if (nr_open(&card, &session, 0) != 0) fuzz::fail("cannot open card 0");
  baseline = new fuzz::Leaks;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  memcpy(text.get(), data, size);
  text[size] = '\0';
  if (nrsim_set_fw_version(0, text.get()) != 0) fuzz::fail("cannot set the attribute");

  // The reader sees at most the first 31 bytes.
  char head[32] = {};
  strncpy(head, text.get(), 31);
  unsigned long v[4] = {};
  bool ok = head[0] != '\0' && scan(head, v) == 4;

  nr_version out, pristine;
  memset(&out, 0xA5, sizeof out);
  pristine = out;
  errno = 0;
  int rc = nr_fw_version(&session, &out);
  int err = errno;

  if (!ok) {
    FUZZ_CHECK(rc == -1 && err == EIO, "\"%s\": returned %d errno %d, want EIO", head, rc, err);
    FUZZ_CHECK(memcmp(&out, &pristine, sizeof out) == 0, "\"%s\": failed but wrote the record", head);
  } else {
    FUZZ_CHECK(rc == 0, "\"%s\": returned %d errno %d, want %lu.%lu.%lu.%lu", head, rc, err, v[0], v[1], v[2], v[3]);
    nr_version want;
    memset(&want, 0, sizeof want);
    want.major = v[0];
    want.minor = v[1];
    want.patch = v[2];
    if (v[3] != 0) snprintf(want.pre, sizeof want.pre, "rc.%lu", v[3]);
    FUZZ_CHECK(memcmp(&out, &want, sizeof out) == 0,
               "\"%s\": read %llu.%llu.%llu pre \"%.32s\", want %lu.%lu.%lu pre \"%s\" (or stray bytes)", head,
               static_cast<unsigned long long>(out.major), static_cast<unsigned long long>(out.minor),
               static_cast<unsigned long long>(out.patch), out.pre, v[0], v[1], v[2], want.pre);
  }
  baseline->check("nr_fw_version");
  return 0;
}
