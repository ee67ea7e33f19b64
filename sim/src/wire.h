// What the processes of a simulated host and the host itself say to each
// other over their Unix sockets (SOCK_SEQPACKET: one message per request and
// per answer, a descriptor attached where the answer hands one over).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace nrsim {

// The controls of nrsim.h that the host answers; client.cpp forwards each
// and host.cpp dispatches it.
#define NRSIM_CONTROLS(X)                                                                                         \
  X(devices) X(add) X(add_at) X(remove) X(sever) X(reset) X(identity) X(set_identity) X(open_count) X(waiting)      \
  X(set_driver) X(add_entry) X(remove_entry) X(fail) X(deny) X(fail_open) X(set_log_limit) X(opens)                \
  X(request_count) X(request) X(requests) X(clear_log) X(smc_delay_polls) X(smc_delay_ms) X(smc_hang) X(smc_set_reply)         \
  X(smc_clear_replies) X(smc_messages) X(smc_queued) X(mem_read) X(mem_write) X(windows) X(telem_period)         \
  X(telem_set) X(telem_get) X(telem_table) X(telem_pointers) X(telem_restore) X(power) X(reset_mode)              \
  X(reset_away_ms) X(reset_result) X(reset_count) X(set_kmd_version) X(set_fw_version) X(list_descending)

enum class Op : uint32_t {
  Hello,     // a: pid, parent pid (a fork's child), session to wait for; payload: inherited fds
  Lookup,    // payload: canonical path
  Open,      // a: fd, flags, stage; payload: canonical path
  Cancel,    // a blocked open gives up
  Close,     // a: UNANSWERED, or 0 for an answer; payload: fds
  Ioctl,     // a: fd, request, readable, writable; payload: the record
  Mmap,      // a: fd, len, prot, flags, offset
  Replicate, // a: window serial
  Read,      // a: fd, count, position
  List,      // payload: canonical path
  Access,    // a: mode; payload: canonical path
  FdPath,    // a: pid, fd
  Polled,    // a: fd; payload: the record.  A poll that the process answered
             // itself with the reply offered with its post: not answered
#define NRSIM_OP(name) C_##name,
  NRSIM_CONTROLS(NRSIM_OP)
#undef NRSIM_OP
};

// Open stages: a first try that logs and answers WOULD_BLOCK instead of
// waiting, and the wait on a connection of its own.  A file that the
// process opened itself, with the bytes it kept (see below), is told to the
// host without waiting (OPEN_TOLD).
constexpr int64_t OPEN_TRY = 0, OPEN_WAIT = 1, OPEN_TOLD = 2;
constexpr int64_t WOULD_BLOCK = 1 << 30;
// A close needs no answer (but a close_range's, and a card node's while the
// process maps a window): the host takes it before any other process's
// next message, so no other process can see it late.
constexpr int64_t UNANSWERED = 1;

struct Ask {
  Op op;
  uint32_t len; // payload bytes after the header
  int64_t a[6];
};

struct Answer {
  int64_t ret; // >= 0, or -errno
  uint32_t len;
  uint32_t flags; // ANSWER_*
  int64_t b[4];
  uint32_t reply[8]; // ANSWER_OFFER: the reply
  uint64_t as_of;    // ANSWER_OFFER: the epoch; ANSWER_STEADY: the tree count
};

// What a process may keep of an answer.  Each holds only while one of the
// host's counts, on a page that every process maps, is what the answer says.
//
// A controller reply that is ready when its post is answered comes with the
// answer (OFFER), so that the poll which fetches it need not wait for the
// host: the process answers that poll itself and tells the host without
// waiting.  That holds while nothing else happened in the host since: the
// epoch counts every message the host takes.
//
// A path lookup's or a directory listing's answer (STEADY) holds until the
// simulated tree may change: the tree count counts controls and resets.
// So do a file's bytes (CONTENT), sent with the answer to its open, as only
// controls change them: the process reads them, and opens the file again,
// without asking while the tree count is as then.  While a card is off the
// bus nothing is steady, as its return is a matter of time.
constexpr uint32_t ANSWER_OFFER = 1, ANSWER_STEADY = 2, ANSWER_CONTENT = 4;
constexpr size_t CONTENT_MAX = 4096;
struct HostPage {
  std::atomic<uint64_t> epoch;
  std::atomic<uint64_t> tree;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// The largest message either side sends; bulk data goes in pieces of
// CHUNK bytes.
constexpr size_t MAX_MESSAGE = 96 * 1024;
constexpr size_t CHUNK = 64 * 1024;

// Sends header + payload (+ fd if >= 0); false on failure (errno set).
bool send_message(int sock, const void *head, size_t head_len, const void *payload, size_t len, int fd);
// Receives one message into buf; returns its length, 0 at end of stream,
// -1 with errno.  A descriptor that came with it lands in *fd (else -1).
ssize_t recv_message(int sock, void *buf, size_t cap, int *fd, int flags = 0);

// A request and its answer cross between two processes, each woken by the
// other: on a busy machine each wake-up costs more than the work.  The side
// that just sent looks for what comes back for this long before it sleeps,
// so that a program's tight loop of requests (polls of a controller) runs
// at the speed of the work.
constexpr long SPIN_NS = 40000;
// Nanoseconds on the monotonic clock.
long long now_ns();

// The record of a driver request as the host sees it: the caller's bytes,
// whether they could be read and written, and what the driver wrote.
struct Record {
  uint8_t bytes[64];
  size_t size = 0;
  bool readable = false, writable = false;
  size_t lo = SIZE_MAX, hi = 0; // written range
};

} // namespace nrsim
