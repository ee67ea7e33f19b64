/* nrsim: control of the simulated Norvane kernel driver.
 *
 * The simulator lives in libnrsim.so, preloaded into a process by
 * sim/nrsim-run, and in the simulated host that every process under one
 * launcher shares.  These functions act on the host's cards, from any of
 * those processes; once the host is gone they fail with ENODEV.
 * Each returns 0 (or a count or number) on success and -1 with errno on
 * failure; a card number that is not present gives ENODEV. */
#ifndef NRSIM_H
#define NRSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- cards ------------------------------------------------------------- */

/* Writes the present card numbers in ascending order (at most `cap`) and
 * returns how many cards are present. */
int nrsim_devices(uint32_t *ids, size_t cap);

/* Adds a card with a PCI device ID at a PCI address ("0000:05:00.0") under
 * the lowest unused number, which it returns. */
long nrsim_add(uint16_t device_id, const char *bdf);

/* Adds a card under a chosen number; EEXIST if that number is taken. */
long nrsim_add_at(uint32_t number, uint16_t device_id, const char *bdf);

/* Removes a card: its node disappears, its descriptors answer ENODEV and
 * opens waiting for it fail with ENODEV. */
int nrsim_remove(uint32_t n);

/* Out-of-band reset: every descriptor opened before it answers ENODEV from
 * then on; new opens work.  The card's memory is made anew. */
int nrsim_sever(uint32_t n);

/* Back to the launch configuration: every card removed and the launch cards
 * added afresh (controller settings at their defaults), odd entries removed,
 * faults and logs cleared, the log bound at NRSIM_LOG_LIMIT, driver loaded.
 * Descriptors still open stay open, severed. */
int nrsim_reset(void);

/* The card's PCI identity as the device-information request reports it. */
struct nrsim_identity {
  uint16_t vendor_id;
  uint16_t device_id;
  uint16_t subsystem_vendor_id;
  uint16_t subsystem_id;
  uint16_t bus_dev_fn;
  uint16_t max_dma_buf_size_log2;
  uint16_t pci_domain;
};
int nrsim_identity(uint32_t n, struct nrsim_identity *out);
int nrsim_set_identity(uint32_t n, const struct nrsim_identity *id);

/* Live (not severed) open files of the card, over every process (a forked
 * child's inherited descriptor shares its parent's). */
int nrsim_open_count(uint32_t n);

/* Live descriptors of this process that the simulator answers for, over
 * all cards and files: every one not yet closed, severed ones included. */
int nrsim_fd_count(void);

/* Opens of card n now blocked, waiting for the card to be free. */
int nrsim_waiting(uint32_t n);

/* ---- the device directory ---------------------------------------------- */

enum nrsim_driver_state {
  NRSIM_DRIVER_LOADED = 0,   /* /dev/norvane lists the cards */
  NRSIM_DRIVER_UNLOADED = 1, /* /dev/norvane does not exist */
  NRSIM_DRIVER_DENIED = 2,   /* /dev/norvane exists but cannot be listed */
};
int nrsim_set_driver(int state);

enum nrsim_entry_kind {
  NRSIM_ENTRY_CHR = 0,     /* a character device that is no card */
  NRSIM_ENTRY_REG = 1,     /* a regular file */
  NRSIM_ENTRY_DIR = 2,     /* a directory */
  NRSIM_ENTRY_UNKNOWN = 3, /* listed with DT_UNKNOWN */
};
/* Adds an odd entry to /dev/norvane ("0x1", "1a", "7", "4294967296", ...).
 * It is listed and resolves by path, but opening it fails (ENXIO). */
int nrsim_add_entry(const char *name, int kind);
int nrsim_remove_entry(const char *name);

/* ---- faults ------------------------------------------------------------ */

/* The next `times` driver requests numbered `request` on card n fail with
 * `err` (before the driver looks at the record). */
int nrsim_fail(uint32_t n, uint32_t request, int err, unsigned times);

/* Makes card n's node refuse every process, as file permissions would:
 * access() for reading or writing and every open fail with EACCES (before
 * the driver sees the open).  on = 0 lets it in again. */
int nrsim_deny(uint32_t n, int on);

/* The next `times` opens of card n fail with `err`. */
int nrsim_fail_open(uint32_t n, int err, unsigned times);

/* ---- log --------------------------------------------------------------- */

/* Each log below (opens, requests, controller messages) keeps at most this
 * many entries per card number, dropping the oldest, so that long runs do
 * not grow without limit.  Indexes count from the oldest entry still kept. */
#define NRSIM_LOG_LIMIT 100000

/* Changes that bound (at least 1), trimming logs that are over it;
 * nrsim_reset restores NRSIM_LOG_LIMIT. */
int nrsim_set_log_limit(size_t entries);

/* Open flag words of every open of card n, oldest first (at most `cap`
 * written); returns how many there are.  Every open that reaches the card's
 * node is logged, refused or not; logs outlive the card. */
int nrsim_opens(uint32_t n, uint32_t *flags, size_t cap);

/* Number of driver requests logged for card n. */
int nrsim_request_count(uint32_t n);

/* Request i of card n: its number, and the record's bytes as passed in (at
 * most `cap` copied).  Returns the record's size in bytes: 0 for an unknown
 * number or a record that could not be read; ERANGE if there is no request i. */
long nrsim_request(uint32_t n, size_t i, uint32_t *number, uint8_t *bytes, size_t cap);

/* Requests first, first + 1, ... of card n, at most `cap` of them; returns
 * how many the log holds in all (a simulated host answers this in one go
 * where nrsim_request takes a round trip per request). */
struct nrsim_request {
  uint32_t number;
  uint32_t size;      /* bytes of the record in `bytes` */
  uint8_t bytes[48];
};
int nrsim_requests(uint32_t n, size_t first, struct nrsim_request *out, size_t cap);

/* Forgets every logged open, request and controller message. */
int nrsim_clear_log(void);

/* ---- the management controller (request 0xFA11) ------------------------ */

/* Message codes the simulated firmware answers (low byte of word 0).  A reply
 * carries the firmware status in word 0: NRSIM_SMC_OK, or NRSIM_SMC_UNKNOWN
 * for a code it does not know (words 1 to 7 then 0). */
enum nrsim_smc_code {
  NRSIM_SMC_ECHO = 0x01,   /* reply words 1..7 = request words 1..7 */
  NRSIM_SMC_STATUS = 0x02, /* word 1: 1 (running), word 2: messages handled
                              before this one, word 3: the card's number */
};
enum nrsim_smc_status {
  NRSIM_SMC_OK = 0,
  NRSIM_SMC_UNKNOWN = 0xFF,
};

/* How long the controller takes over each message once it has taken it:
 * `polls` pending polls by the posting descriptor (0: ready at its first
 * poll), or `ms` milliseconds; the last call of the two wins. */
int nrsim_smc_delay_polls(uint32_t n, unsigned polls);
int nrsim_smc_delay_ms(uint32_t n, unsigned ms);

/* A controller that takes messages and never replies (for timeouts). */
int nrsim_smc_hang(uint32_t n, int on);

/* Answers every later message with this code with these eight words instead
 * of the firmware's own reply; nrsim_smc_clear_replies forgets them all. */
int nrsim_smc_set_reply(uint32_t n, uint8_t code, const uint32_t words[8]);
int nrsim_smc_clear_replies(uint32_t n);

/* Messages the controller has taken, oldest first: writes at most `cap` of
 * them (8 words each) and returns how many there are.  Kept per card number
 * like the request log and cleared with it. */
int nrsim_smc_messages(uint32_t n, uint32_t (*words)[8], size_t cap);

/* Messages waiting in the card's queue, not yet taken by the controller. */
int nrsim_smc_queued(uint32_t n);

/* The driver's side of request 0xFA11, for reference:
 *  - a record whose argsz is not 48, whose flags are not exactly one of post
 *    (1), poll (2) or drop (4), or whose reserved bytes are not zero: EINVAL;
 *    the message words of a poll or drop are not read;
 *  - a post while the descriptor has a message outstanding (queued, running
 *    or answered but not fetched): EBUSY;
 *  - a poll: EAGAIN while the message is queued or running, the reply once
 *    it is answered; ENOMSG if the descriptor has nothing outstanding;
 *  - a drop: frees the descriptor at once, and succeeds with nothing
 *    outstanding too.  A message still queued is discarded unseen; one the
 *    controller took runs on and only its reply is thrown away.  Closing the
 *    descriptor drops its message.
 * A sever or a removal ends the controller and its queue with the card's
 * incarnation.  The delay, hang and reply settings are the card's own: a
 * sever keeps them, nrsim_reset restores the defaults (no delay, no hang,
 * the firmware's replies), and each message runs under the settings in force
 * when the controller takes it.  A message given up while the controller
 * runs it under a poll delay completes at once, since nobody will poll for
 * it; under a millisecond delay it runs its time; under a hang it holds the
 * controller until the hang is turned off, which completes it at once. */

/* ---- device memory and TLB windows (0xFA0B, 0xFA0C, 0xFA0D, mmap) ------ */

/* Reads or writes `len` bytes of the memory of NOC tile (x, y) of card n at
 * NOC address `addr`.  Each tile has sparse memory of its own, made anew for
 * every incarnation of the card (a sever or removal discards it). */
int nrsim_mem_read(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, void *buf, size_t len);
int nrsim_mem_write(uint32_t n, uint8_t x, uint8_t y, uint64_t addr, const void *buf, size_t len);

/* One allocated window of a card, as the driver sees it. */
struct nrsim_window {
  uint32_t id;
  int32_t fd;          /* the descriptor that owns it */
  uint64_t size;
  uint64_t uc_mmap_offset;
  uint64_t wc_mmap_offset;
  int configured;      /* 0 until the first configure request */
  uint64_t addr;       /* the target of the last configure request */
  uint8_t x_end, y_end, x_start, y_start, noc, mcast, linked, static_vc;
  uint32_t mappings;   /* live mappings of the window in this process */
};
/* Writes at most `cap` windows of card n (ascending id) and returns how many
 * the card has allocated. */
int nrsim_windows(uint32_t n, struct nrsim_window *out, size_t cap);

/* Live mappings of windows, over all cards, in this process. */
int nrsim_mapping_count(void);

/* The driver's side of the windows, for reference:
 *  - the NOC grid: tiles (x, y) with x < 10 and y < 12 on 0x401E, x < 17 and
 *    y < 12 on 0xB140; each tile's memory spans NOC addresses 0 to 2^40.  A
 *    card of any other device ID has no tiles and no windows.
 *  - 0xFA0B allocate: a non-zero reserved0, or a size the architecture does
 *    not offer: EINVAL.  Sizes, with the windows each card has of them:
 *    0x401E 1 MiB x 64, 2 MiB x 32, 16 MiB x 8; 0xB140 2 MiB x 64,
 *    4 GiB x 4.  A size whose windows are all allocated: ENOSPC.  Writes
 *    bytes 16 to 39 only: the id (from 1 in each incarnation of the card,
 *    not reused in it), a zero word, and the offsets id << 36 (uncached)
 *    and id << 36 | 1 << 35 (write-combined).
 *  - 0xFA0C free, 0xFA0D configure: an id that is not one of the
 *    descriptor's windows: EINVAL.  Configure also refuses (EINVAL) non-zero
 *    reserved bytes, a mode other than 1, a noc above 1, an mcast or linked
 *    other than 0 or 1, a coordinate outside the grid, a multicast rectangle
 *    whose start lies past its end, and an addr that is not page aligned or
 *    leaves the window past 2^40.  static_vc is taken as it is.
 *  - mmap(NULL, len, prot, MAP_SHARED, fd, offset): the offset of one of the
 *    descriptor's windows and a length up to its size; anything else
 *    (MAP_PRIVATE included) fails with EINVAL, a severed descriptor with
 *    ENODEV.  The mapping reaches the window's target and follows it at
 *    every configure: before the first, scratch memory that all unconfigured
 *    windows share and no tile sees; unicast, tile (x_end, y_end) from addr
 *    on.  Once the window is freed its mappings stay on their last target.
 *  - multicast: the window's mappings reach a buffer of its own, from which
 *    loads read back what was stored (zeros after each configure).  Stores
 *    reach every tile of the rectangle (x_start..x_end, y_start..y_end), at
 *    the same NOC addresses, when the window is re-targeted, unmapped, freed
 *    or closed, and before nrsim_mem_read or nrsim_mem_write: each byte that
 *    changed since the previous replication, and no other, is written.  A
 *    store that leaves a byte of the buffer as it was is not seen.
 *  - windows belong to the descriptor that allocated them and are freed when
 *    it closes.  A sever or removal ends them and all the card's memory:
 *    loads and stores through any mapping made before raise SIGBUS.
 *    nrsim_mapping_count counts a mapping until it is unmapped (or moved
 *    with mremap, after which it is no longer followed), whatever became of
 *    its window or card. */

/* ---- the telemetry firmware -------------------------------------------- */

/* Every card runs a telemetry firmware: it publishes a table of its 68 tags
 * in the memory of its telemetry tile and points the tile's two pointer
 * registers at the table and at the data array.  A firmware thread advances
 * the heartbeat (tag 32) every `ms` milliseconds and updates a few live
 * values with it; 0 freezes it, and a frozen firmware writes nothing at all
 * (so a test may write the tile's memory itself).  The firmware publishes
 * its table anew for every incarnation of the card. */
int nrsim_telem_period(uint32_t n, unsigned ms);

/* The period each card starts with; a sever keeps a card's period, and
 * nrsim_reset restores this one. */
#define NRSIM_TELEM_PERIOD_MS 100

/* A tag's value in the data array (tags 1 to 68).  Setting writes the data
 * word the table points to for that tag. */
int nrsim_telem_set(uint32_t n, uint16_t tag, uint32_t value);
int nrsim_telem_get(uint32_t n, uint16_t tag, uint32_t *value);

/* Replaces the table: its entries as given (tags may repeat, be 0 or above
 * 68, point anywhere), and its entry count word, which may differ from the
 * number of entries. */
struct nrsim_telem_entry {
  uint16_t tag;
  uint16_t index;
};
int nrsim_telem_table(uint32_t n, const struct nrsim_telem_entry *entries, size_t count, uint32_t count_word);

/* Sets the table-pointer and data-pointer registers to anything. */
int nrsim_telem_pointers(uint32_t n, uint32_t table, uint32_t data);

/* The firmware's own table, values and pointers back. */
int nrsim_telem_restore(uint32_t n);

/* The firmware's side, for reference:
 *  - the telemetry tile is (0, 2) on 0x401E and (8, 0) on 0xB140; a card of
 *    any other device ID (at the start of its incarnation) has none, and
 *    every telemetry control on it fails with ENOTSUP.
 *  - registers in the tile's memory: the table pointer at NOC 0x800301D0 and
 *    the data pointer at 0x800301D4 on 0x401E; on 0xB140 the data pointer at
 *    0x80030430 and the table pointer at 0x80030434.  They hold 0x10000400
 *    (the table) and 0x10002000 (the data array).
 *  - the table, little-endian words: NRSIM_TELEM_VERSION, the entry count,
 *    then one word per entry, tag in bits 0..15 and index in bits 16..31.
 *    The firmware lists tags 1 to 68 once each, in data-array order, none at
 *    the index equal to its tag.  The data array holds a word per index.
 *  - each tick writes the live values (clocks, temperature, power, fans, the
 *    period in force as tag 5), then the heartbeat: its data word plus one.
 *    Behind a replaced table only the heartbeat moves, at the index of the
 *    table's first tag-32 entry; with no such entry nothing moves.
 *  - nrsim_telem_set and nrsim_telem_get go through the table as last
 *    published (the firmware's or nrsim_telem_table's) to the data array at
 *    0x10002000, whatever the pointer registers hold: set writes every entry
 *    the tag has, get reads the first.  EINVAL for a tag outside 1..68 or
 *    one the table does not list.  A live value set while the firmware runs
 *    lasts until its next tick.
 *  - nrsim_telem_table keeps the version word, writes the count word and the
 *    entries and zeroes what is left of a longer table before it; at most
 *    NRSIM_TELEM_TABLE_MAX entries (EINVAL), so that the table stays clear
 *    of the data array.
 *  - nrsim_telem_restore puts back the pointers, the firmware's table and its
 *    default values, except the heartbeat, which keeps its count.
 *  - the firmware of an incarnation runs in the process that booted it: a
 *    forked child sees its ticks in the memory it shares with its parent,
 *    and runs firmware of its own for the incarnations it boots. */
#define NRSIM_TELEM_VERSION 0x00020001u
#define NRSIM_TELEM_TABLE_MAX 1790

/* ---- power requests (0xFA0F) --------------------------------------------- */

/* The card's effective power features: the OR of the requests of its open
 * descriptors (a descriptor's request ends when it closes). */
int nrsim_power(uint32_t n, uint16_t *effective);

/* The driver's side of request 0xFA0F, for reference:
 *  - a record whose argsz is not 40, whose flags or reserved bytes are not
 *    zero, or whose flag_count is not 4 (the features this driver knows,
 *    bits 0 to 3): EINVAL, and the descriptor's request stays as it was;
 *  - otherwise power_flags becomes the descriptor's request, replacing its
 *    last one.  All 16 bits are kept as sent (the card acts on bits 0 to 3
 *    only) and show in nrsim_power;
 *  - a request ends when its descriptor closes or is severed; a reset ends
 *    the resetting descriptor's request too, since the card starts afresh. */

/* ---- reset (0xFA06) and the card's PCI presence ---------------------------- */

enum nrsim_reset_mode {
  /* The card's PCI directory vanishes during the reset and reappears. */
  NRSIM_RESET_VANISH = 0,
  /* The directory stays; its config space reads with bit 6 of the Command
   * register (byte 4) set until the card is back. */
  NRSIM_RESET_STAY = 1,
};
int nrsim_reset_mode(uint32_t n, int mode);

/* How long the card stays off the bus after the first step (default 200 ms);
 * never: it does not come back until a later nrsim_reset_away_ms call lets
 * it.  The away time counts from the first step, under the setting in force
 * when someone looks: a card away with `never` comes back at once when it is
 * set to a time that has already passed. */
int nrsim_reset_away_ms(uint32_t n, unsigned ms, int never);

/* The `result` words the driver answers the two steps with (0: accepted). */
int nrsim_reset_result(uint32_t n, uint32_t begin, uint32_t finish);

/* Resets of the card completed (both steps accepted). */
int nrsim_reset_count(uint32_t n);

/* Results the driver gives a second step it cannot perform. */
enum nrsim_reset_refusal {
  NRSIM_RESET_NOT_BACK = 1,  /* the card is not back on the bus yet */
  NRSIM_RESET_NOT_BEGUN = 2, /* no reset of this descriptor is under way */
};

/* The driver's side of request 0xFA06, for reference:
 *  - a record whose output_size_bytes (offset 0) is below 8 or whose flags
 *    are neither 4 (begin) nor 6 (finish): EINVAL.  Otherwise, with the
 *    ioctl returning 0, the driver writes the output half: 8 at offset 8 and
 *    the step's result at offset 12.  A record it could not write is refused
 *    with EFAULT before anything happens.
 *  - any descriptor of the card may begin, exclusive or not (the native
 *    library always opens exclusive and non-blocking).  A begin retires the
 *    card's incarnation as nrsim_sever does: every other descriptor answers
 *    ENODEV from then on, all windows and device memory end (mappings raise
 *    SIGBUS), the controller's queue is lost, and the firmware publishes its
 *    telemetry anew.  The resetting descriptor moves to the fresh
 *    incarnation without its windows, message or power request, and holds
 *    the card as an exclusive open does until its reset is finished or it
 *    closes: other opens wait, or fail with EAGAIN if non-blocking.  The card
 *    leaves the bus for its away time.
 *  - while the card is away: in NRSIM_RESET_VANISH mode its directory
 *    /sys/bus/pci/devices/<bdf> and everything in it are absent (ENOENT, and
 *    ENODEV for files opened before); in NRSIM_RESET_STAY mode the directory
 *    stays and byte 4 of its config file (the Command register's low byte)
 *    reads with bit 6 (0x40) set.  The mode in force when it is looked at
 *    applies.  Nothing else notices: the device node, the class directory
 *    and requests on the resetting descriptor work as usual.
 *  - a finish is accepted (result 0) when the descriptor began the card's
 *    current reset and the card is back: the reset counts as completed and
 *    the hold ends.  Before the card is back the result is
 *    NRSIM_RESET_NOT_BACK; from a descriptor with no reset under way,
 *    NRSIM_RESET_NOT_BEGUN.  Refused finishes leave the reset under way.
 *  - a non-zero forced result (nrsim_reset_result) is answered as it is, and
 *    the step does nothing else: a begin does not touch the card, a finish
 *    does not complete the reset.
 *  - a descriptor that closes mid-reset abandons it: the hold ends, and the
 *    card comes back when its away time is over, uncounted.  nrsim_sever
 *    mid-reset severs the resetting descriptor too, and does not bring the
 *    card back any sooner.
 * The mode, away time and forced results are the card's own: a sever keeps
 * them, and nrsim_reset restores vanish, 200 ms and no forced results. */

/* ---- versions (0xFA05 and the firmware attribute) ------------------------- */

/* The driver's version, as 0xFA05 reports it (three bytes); 2.4.1 at first
 * and after nrsim_reset.  It is the host's, not a card's. */
int nrsim_set_kmd_version(uint8_t major, uint8_t minor, uint8_t patch);

/* The text of /sys/class/norvane/norvane!N/nr_fw_bundle_ver; NULL removes
 * the attribute; "" makes it empty. */
int nrsim_set_fw_version(uint32_t n, const char *text);

/* Lists /dev/norvane in descending rather than ascending number order. */
int nrsim_list_descending(int on);

/* The interface version 0xFA05 reports beside the driver's version. */
#define NRSIM_DRIVER_INTERFACE 1u

/* The driver's side, for reference:
 *  - 0xFA05: a record whose output_size_bytes (offset 0) is below 12: EINVAL.
 *    Otherwise the driver writes bytes 4 to 15 and nothing else: the word 12
 *    (the output's size), the word NRSIM_DRIVER_INTERFACE, the major, minor
 *    and patch bytes, and a zero byte.  Any descriptor may ask, whatever the
 *    card's state, but a severed one answers ENODEV as for every request.
 *  - the firmware attribute holds "18.7.0.0\n" at first (as the telemetry's
 *    FlashBundleVersion says).  nrsim_set_fw_version stores any text
 *    verbatim, malformed or longer than a reader's buffer included; NULL
 *    removes it (opens fail with ENOENT, descriptors opened before read
 *    ENODEV) until text is set again.  The text is the card's: a sever or a
 *    reset of the card keeps it, nrsim_reset restores the default.
 *  - /dev/norvane lists its cards in ascending number order, or descending
 *    after nrsim_list_descending(1), odd entries after them either way;
 *    nrsim_devices and /sys/class/norvane keep ascending order.
 *    nrsim_reset restores ascending order. */

/* ---- the architectures' fixed tables ------------------------------------ */

/* What a card of a known architecture offers: its NOC grid, its windows and
 * where its telemetry lives.  These two calls need no host: they answer
 * wherever the library is loaded. */
struct nrsim_arch {
  uint16_t device_id;
  uint8_t columns, rows;        /* tiles (x, y) with x < columns, y < rows */
  uint8_t telem_x, telem_y;     /* the telemetry tile */
  uint32_t table_reg, data_reg; /* NOC addresses of the pointer registers */
  uint64_t window_size[3];      /* the window pools (unused ones 0) */
  uint32_t window_count[3];     /* and the windows of each */
};
/* Writes at most `cap` architectures and returns how many there are. */
int nrsim_archs(struct nrsim_arch *out, size_t cap);

/* Tag `tag`'s name (NULL for the reserved tag) and the value the firmware
 * of architecture `device_id` publishes for it at boot.  EINVAL for a tag
 * outside 1..68; ENODEV for a device ID without telemetry. */
int nrsim_telem_default(uint16_t device_id, uint16_t tag, uint32_t *value, const char **name);

#ifdef __cplusplus
}
#endif

#endif /* NRSIM_H */
