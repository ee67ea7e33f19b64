/* nrhal: native access to Norvane PCIe accelerator cards through their
 * kernel driver.
 *
 * Every function returns 0 (or a count) on success and -1 with errno on
 * failure.  Null pointers give EINVAL first, a closed session (fd < 0) gives
 * ENOTCONN next, and only then is a system call made.  A driver request that
 * fails with ENODEV (the descriptor was severed by an out-of-band reset or
 * removal) is reported as ECONNRESET.  Output records are written only on
 * success.  Nothing is allocated; the caller owns every record. */
#ifndef NRHAL_H
#define NRHAL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#if defined(__GNUC__)
#define NR_API __attribute__((visibility("default")))
#else
#define NR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- discovery and addressing ------------------------------------------ */

#define NR_DEV_DIR "/dev/norvane"
/* How many device numbers nr_dev_from_bdf collects and examines. */
#define NR_BDF_SCAN_MAX 64

/* Lists the device numbers in /dev/norvane, in directory order.  Stores at
 * most `count` of them and returns how many nodes there are, which may be
 * more than `count`.  A missing directory (driver not loaded) is 0 nodes. */
NR_API ssize_t nr_dev_scan(size_t count, uint32_t *ids);

/* Device number of a node path, or of anything that resolves to one.
 * ENODEV: the path does not resolve; EINVAL: it is not a device node path. */
NR_API int nr_dev_from_path(const char *path, uint32_t *id);

/* Device number of the card at a PCI address, "0000:03:00.0" or "03:00.0".
 * EINVAL: neither form parses; EINTR: a signal ended the wait for a card
 * another client holds exclusively; ENODEV: no card has that address. */
NR_API int nr_dev_from_bdf(const char *addr, uint32_t *id);

/* ---- sessions and device information ----------------------------------- */

#define NR_OPEN_EXCLUSIVE 1   /* O_EXCL: wait for sole access, keep others out */
#define NR_OPEN_NONBLOCKING 2 /* O_NONBLOCK: EAGAIN instead of waiting */

typedef struct nr_session {
  uint32_t id;    /* device number N of /dev/norvane/N */
  int32_t fd;     /* open descriptor, -1 when closed */
  uint16_t flags; /* NR_OPEN_* flags, kept for reopening */
} nr_session;

typedef struct nr_info {
  uint32_t output_size_bytes; /* as the driver wrote it; not otherwise used */
  uint16_t vendor_id;
  uint16_t device_id;
  uint16_t subsystem_vendor_id;
  uint16_t subsystem_id;
  uint16_t bus_dev_fn; /* bus << 8 | device << 3 | function */
  uint16_t max_dma_buf_size_log2;
  uint16_t pci_domain;
} nr_info;

/* Opens /dev/norvane/<*dev>.  `dev` may point into `out` (nr_reopen does).
 * EINVAL: flags above 3; EAGAIN: nonblocking and held; EINTR: a signal
 * interrupted the wait for the card; ENODEV: otherwise. */
NR_API int nr_open(const uint32_t *dev, nr_session *out, uint16_t flags);

/* Closes the session; a closed session is success. */
NR_API int nr_close(nr_session *session);

/* Closes and opens the same device again with the recorded flags.  A failed
 * reopen leaves the session closed. */
NR_API int nr_reopen(nr_session *session);

/* Reads the card's PCI identity. */
NR_API int nr_dev_info(const nr_session *session, nr_info *out);

/* ---- reset -------------------------------------------------------------- */

/* Seconds (of time()) after which a reset gives up waiting for the card. */
#define NR_RESET_DEADLINE_S 4
/* Pause between checks for the card's return, in microseconds. */
#define NR_RESET_POLL_US 100000

/* Resets the card: opens it exclusively without waiting (EAGAIN while any
 * client, this process included, has it open), asks the driver to reset it,
 * waits for it to come back on the PCI bus (ETIMEDOUT after 4 to 5 s), and
 * asks the driver to finish.  EIO: the driver refused a step.  `dev` points
 * to the device number (an nr_session serves). */
NR_API int nr_reset(const uint32_t *dev);

/* Closes the session (on every path past the argument checks), then resets
 * its card. */
NR_API int nr_reset_with(nr_session *session);

/* ---- power -------------------------------------------------------------- */

/* Requests the card's power features: the complete wanted set, one bit per
 * feature (bits 0 to 3 defined), sent unmasked.  The driver combines the
 * requests of all open descriptors and drops one when its descriptor closes. */
NR_API int nr_power(const nr_session *session, uint16_t power_flags);

/* ---- controller (SMC) messages ----------------------------------------- */

/* Eight words; word 0 is the header: the message code in the low byte, the
 * firmware status on a reply.  The library never interprets them. */
typedef struct nr_smc_msg {
  uint32_t words[8];
} nr_smc_msg;

/* Wait used by nr_smc_wait when given a timeout of 0. */
#define NR_SMC_WAIT_DEFAULT_MS 1000
/* Pending polls retried at once before the wait starts sleeping 1 ms. */
#define NR_SMC_WAIT_SPIN_POLLS 32

/* Posts a message; the driver holds one outstanding message per descriptor
 * and refuses a second (EBUSY). */
NR_API int nr_smc_post(const nr_session *session, const nr_smc_msg *request);

/* Fetches the reply: 0 with the reply, or EAGAIN while it is pending.  The
 * reply record is written only on success. */
NR_API int nr_smc_poll(const nr_session *session, nr_smc_msg *reply);

/* Polls until the reply comes or `timeout_ms` (0: 1000 ms) has passed
 * (ETIMEDOUT).  The message is not dropped on failure. */
NR_API int nr_smc_wait(const nr_session *session, nr_smc_msg *reply, uint32_t timeout_ms);

/* Abandons the outstanding message.  One that has reached the controller
 * still runs; only its reply is thrown away. */
NR_API int nr_smc_drop(const nr_session *session);

/* Post, wait, and drop again if the wait failed (keeping the wait's errno). */
NR_API int nr_smc_call(const nr_session *session, const nr_smc_msg *request, nr_smc_msg *reply,
                       uint32_t timeout_ms);

/* ---- TLB windows onto device memory ------------------------------------ */

/* A window handle.  Between a successful bind and the next bind or the free,
 * loads and stores through mapping[0 .. size) reach the configured target. */
typedef struct nr_tlb {
  uint32_t id;          /* the driver's window id; 0 after nr_tlb_free */
  uint8_t *mapping;     /* null until bound, after a failed bind, after free */
  uint64_t size;        /* bytes, as allocated; the length of every mapping */
  uint64_t mmap_offset; /* mmap offset on the session's descriptor */
} nr_tlb;

/* The NOC target of a window. */
typedef struct nr_tlb_config {
  uint64_t addr;     /* NOC address the start of the window reaches */
  uint8_t x_end;     /* target x (end of the rectangle for a multicast) */
  uint8_t y_end;     /* target y (end of the rectangle for a multicast) */
  uint8_t x_start;   /* start of a multicast rectangle */
  uint8_t y_start;
  uint8_t noc;       /* which NOC carries the traffic */
  uint8_t mcast;     /* 0 or 1 */
  uint8_t linked;    /* 0 or 1 */
  uint8_t static_vc;
} nr_tlb_config;

#define NR_TLB_UNCACHED 0
#define NR_TLB_WRITE_COMBINED 1

/* Allocates a window of `size` bytes.  `caching` is NR_TLB_UNCACHED or
 * NR_TLB_WRITE_COMBINED; any other value frees the window again (EINVAL). */
NR_API int nr_tlb_alloc(const nr_session *session, uint64_t size, int caching, nr_tlb *handle);

/* Maps the window anew and points it at `config`; the old mapping goes only
 * once the new one is configured.  A failed bind leaves the handle unmapped. */
NR_API int nr_tlb_bind(const nr_session *session, nr_tlb *handle, const nr_tlb_config *config);

/* Unmaps the window, then gives it back to the driver.  Free a handle once. */
NR_API int nr_tlb_free(const nr_session *session, nr_tlb *handle);

/* ---- telemetry --------------------------------------------------------- */

/* Slots of a telemetry snapshot, indexed by tag number; slot 0 is unused. */
#define NR_TELEMETRY_SLOTS 69

/* Reads one consistent snapshot of the card's telemetry table into
 * values[0 .. NR_TELEMETRY_SLOTS); a tag the firmware does not report reads
 * 0.  ENOTSUP: unknown card architecture; EIO: malformed table, or the
 * firmware kept updating it; ECONNRESET: the card went away mid-read.
 * After a failure the contents of `values` carry no meaning. */
NR_API int nr_telemetry(const nr_session *session, uint32_t *values);

/* ---- versions ---------------------------------------------------------- */

typedef struct nr_version {
  uint64_t major;
  uint64_t minor;
  uint64_t patch;
  char pre[32];   /* pre-release label, NUL-terminated, "" when none */
  char build[32]; /* build label, NUL-terminated; never set by these queries */
} nr_version;

/* The kernel driver's version, asked through the first card listed (opened
 * briefly, shared and blocking).  ENODEV: no card. */
NR_API int nr_kmd_version(nr_version *out);

/* The firmware bundle version of the session's card, from its sysfs
 * attribute "W.X.Y.Z": W.X.Y, with "rc.Z" in `pre` when Z is not 0.
 * EIO: the attribute is empty or malformed. */
NR_API int nr_fw_version(const nr_session *session, nr_version *out);

#ifdef __cplusplus
}
#endif

#endif /* NRHAL_H */
