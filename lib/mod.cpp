// Discovery, sessions and device information.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "driver.h"
#include "internal.h"
#include "nrhal.h"

static_assert(sizeof(nr_session) == 12);
static_assert(offsetof(nr_session, id) == 0);
static_assert(offsetof(nr_session, fd) == 4);
static_assert(offsetof(nr_session, flags) == 8);

// nr_info is the output half of the device-information record.
static_assert(offsetof(nr_info, output_size_bytes) == 0);
static_assert(offsetof(nr_info, vendor_id) == 4);
static_assert(offsetof(nr_info, pci_domain) == 16);
static_assert(offsetof(nr::drv::get_device_info, pci_domain) - offsetof(nr::drv::get_device_info, output_size_bytes) ==
              offsetof(nr_info, pci_domain));

namespace {

using nr::drv::get_device_info;
// The record's output half, from its size word to its last field.
constexpr size_t INFO_FROM = offsetof(get_device_info, output_size_bytes);
constexpr size_t INFO_COPY = offsetof(get_device_info, pci_domain) + sizeof(get_device_info::pci_domain) - INFO_FROM;
static_assert(INFO_COPY == 18 && INFO_COPY <= sizeof(nr_info));

// A device number as written in a node name: decimal digits only, below 2^32.
// Signs and blanks, which strtoul would take, are refused too, so that no
// name can alias another card's number.
bool parse_number(const char *s, uint32_t *out) {
  if (*s < '0' || *s > '9') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long v = strtoul(s, &end, 10);
  if (*end != '\0' || errno == ERANGE || v > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// Whether the field that sscanf's %x read from s[from, to) holds its true
// value.  %x keeps only the low 32 bits of what it reads, after negating a
// signed field, so "100000003" and "-fffffffd" would both read as 3 and
// name the card at 3; such a field names no card.  The text is what %x
// consumed: blanks, a sign, a 0x prefix, hex digits.
bool field_fits(const char *s, int from, int to) {
  const char *p = s + from, *end = s + to;
  while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  while (p < end && *p == '0') ++p;
  return end - p <= (negative ? 0 : 8); // 8 hex digits: 32 bits
}

} // namespace

void nr::format_bdf(Bdf &out, unsigned domain, unsigned bus, unsigned dev, unsigned fn) {
  int n = snprintf(out, sizeof out, "%04x:%02x:%02x.%x", domain, bus, dev, fn);
  (void)n;
}

void nr::format_bdf(Bdf &out, const nr_info &info) {
  format_bdf(out, info.pci_domain, info.bus_dev_fn >> 8, (info.bus_dev_fn >> 3) & 0x1f, info.bus_dev_fn & 7);
}

extern "C" {

ssize_t nr_dev_scan(size_t count, uint32_t *ids) {
  DIR *dir = opendir(NR_DEV_DIR);
  if (!dir) return errno == ENOENT ? 0 : -1;
  ssize_t found = 0;
  while (const struct dirent *e = readdir(dir)) {
    if (e->d_type != DT_CHR) continue;
    uint32_t id;
    if (!parse_number(e->d_name, &id)) continue;
    if (static_cast<size_t>(found) < count) ids[found] = id;
    ++found;
  }
  int saved = errno;
  closedir(dir);
  errno = saved;
  return found;
}

int nr_dev_from_path(const char *path, uint32_t *id) {
  if (!path || !id) return nr::fail(EINVAL);
  char resolved[PATH_MAX];
  if (!realpath(path, resolved)) return nr::fail(ENODEV);
  constexpr char prefix[] = NR_DEV_DIR "/";
  if (strncmp(resolved, prefix, sizeof prefix - 1) != 0) return nr::fail(EINVAL);
  uint32_t value;
  if (!parse_number(resolved + sizeof prefix - 1, &value)) return nr::fail(EINVAL);
  *id = value;
  return 0;
}

int nr_dev_from_bdf(const char *addr, uint32_t *id) {
  if (!addr || !id) return nr::fail(EINVAL);
  unsigned domain = 0, bus = 0, dev = 0, fn = 0;
  int at[8]; // where each field starts and ends
  int fields = 4;
  if (sscanf(addr, "%n%x%n:%n%x%n:%n%x%n.%n%x%n", &at[0], &domain, &at[1], &at[2], &bus, &at[3], &at[4], &dev, &at[5],
             &at[6], &fn, &at[7]) != 4) {
    domain = 0;
    fields = 3;
    if (sscanf(addr, "%n%x%n:%n%x%n.%n%x%n", &at[0], &bus, &at[1], &at[2], &dev, &at[3], &at[4], &fn, &at[5]) != 3)
      return nr::fail(EINVAL);
  }
  for (int i = 0; i < fields; ++i)
    if (!field_fits(addr, at[2 * i], at[2 * i + 1])) return nr::fail(ENODEV);
  nr::Bdf wanted;
  nr::format_bdf(wanted, domain, bus, dev, fn);

  uint32_t list[NR_BDF_SCAN_MAX];
  ssize_t n = nr_dev_scan(NR_BDF_SCAN_MAX, list);
  if (n <= 0) return nr::fail(ENODEV);
  if (n > NR_BDF_SCAN_MAX) n = NR_BDF_SCAN_MAX;

  for (ssize_t i = 0; i < n; ++i) {
    nr_session s;
    if (nr_open(&list[i], &s, 0) != 0) {
      // A signal ended the wait: the caller decides, not the next card.
      if (errno == EINTR) return -1;
      continue;
    }
    nr_info info;
    int rc = nr_dev_info(&s, &info);
    nr_close(&s);
    if (rc != 0) continue;
    nr::Bdf have;
    nr::format_bdf(have, info);
    if (strcmp(have, wanted) == 0) {
      *id = list[i];
      return 0;
    }
  }
  return nr::fail(ENODEV);
}

int nr_open(const uint32_t *dev, nr_session *out, uint16_t flags) {
  if (!dev || !out || flags > (NR_OPEN_EXCLUSIVE | NR_OPEN_NONBLOCKING)) return nr::fail(EINVAL);
  char path[4096];
  snprintf(path, sizeof path, NR_DEV_DIR "/%u", *dev);
  int oflags = O_RDWR | O_APPEND | O_CLOEXEC;
  if (flags & NR_OPEN_EXCLUSIVE) oflags |= O_EXCL;
  if (flags & NR_OPEN_NONBLOCKING) oflags |= O_NONBLOCK;
  int fd = open(path, oflags);
  // EINTR too: a signal ended a blocking wait, which is not a missing card.
  if (fd < 0) return nr::fail(errno == EAGAIN || errno == EINTR ? errno : ENODEV);
  uint32_t number = *dev; // read before `out` is written: `dev` may point into it
  out->flags = flags;
  out->fd = fd;
  out->id = number;
  return 0;
}

int nr_close(nr_session *session) {
  if (!session) return nr::fail(EINVAL);
  if (session->fd < 0) return 0;
  if (close(session->fd) != 0) return -1;
  session->fd = -1;
  return 0;
}

int nr_reopen(nr_session *session) {
  if (!session) return nr::fail(EINVAL);
  nr_close(session);
  // Linux releases a descriptor even when close(2) fails, so never close
  // that number again: it may already belong to someone else.
  session->fd = -1;
  return nr_open(&session->id, session, session->flags);
}

int nr_dev_info(const nr_session *session, nr_info *out) {
  if (!nr::ready(session, out)) return -1;
  nr::drv::get_device_info rec{};
  rec.in_output_size_bytes = nr::drv::DEVICE_INFO_OUT_SIZE;
  if (nr::ioctl_req(session->fd, nr::drv::NR_IOCTL_GET_DEVICE_INFO, &rec) != 0) return -1;
  memcpy(out, reinterpret_cast<const unsigned char *>(&rec) + INFO_FROM, INFO_COPY);
  return 0;
}

} // extern "C"
