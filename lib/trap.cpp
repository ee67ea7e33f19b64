// The bus-fault trap: a process-wide SIGBUS handler, installed once, that
// recovers faults of the calling thread's armed range (by siglongjmp) and of
// the nr_devmem_* routines (by moving the program counter), and passes every
// other signal on to the disposition that was in force before it.
//
// A process may hold several copies of this library (the extension links it
// statically, and libnrhal.so may be loaded beside it).  The copies find each
// other through an ELF note and elect one of them to be the process's trap;
// the others hand it their recovery routines, so one handler recovers every
// copy's faults and no two copies chain to each other.
//
// Passing a signal on ends in exactly one handling: a handler chained to that
// calls its predecessor (us) back, or puts us back and raises again, is not
// called a second time; the signal then goes where it would have gone had we
// never been installed.
#include "trap.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include <link.h>
#include <pthread.h>
#include <ucontext.h>

// Each fault-safe routine makes one device access.  `nr_devmem` emits the
// routine and, beside it, the routine's entry in the fixup table: the address
// of its access instruction and where a fault of that instruction resumes
// (nr_devmem_fault, which returns 1: nothing was pushed before the access,
// so the stack is as the routine found it).  Entries are offsets from
// themselves, so the table needs no relocation.
asm(R"asm(
    .pushsection .text
    .macro nr_devmem name, access, save=
    .p2align 4
    .globl \name
    .hidden \name
    .type \name, @function
\name:
1:  \access
    \save
    xorl %eax, %eax
    ret
    .size \name, .-\name
    .pushsection .rodata.nr_devmem_fixup, "a"
    .long 1b - ., nr_devmem_fault - .
    .popsection
    .endm

    .pushsection .rodata.nr_devmem_fixup, "a"
    .p2align 2
    .globl nr_devmem_fixup
    .hidden nr_devmem_fixup
nr_devmem_fixup:
    .popsection

    nr_devmem nr_devmem_load8, "movzbl (%rdi), %eax", "movb %al, (%rsi)"
    nr_devmem nr_devmem_load16, "movzwl (%rdi), %eax", "movw %ax, (%rsi)"
    nr_devmem nr_devmem_load32, "movl (%rdi), %eax", "movl %eax, (%rsi)"
    nr_devmem nr_devmem_load64, "movq (%rdi), %rax", "movq %rax, (%rsi)"
    nr_devmem nr_devmem_store8, "movb %sil, (%rdi)"
    nr_devmem nr_devmem_store16, "movw %si, (%rdi)"
    nr_devmem nr_devmem_store32, "movl %esi, (%rdi)"
    nr_devmem nr_devmem_store64, "movq %rsi, (%rdi)"

    .pushsection .rodata.nr_devmem_fixup, "a"
    .globl nr_devmem_fixup_end
    .hidden nr_devmem_fixup_end
nr_devmem_fixup_end:
    .popsection

    .type nr_devmem_fault, @function
nr_devmem_fault:
    movl $1, %eax
    ret
    .size nr_devmem_fault, .-nr_devmem_fault
    .purgem nr_devmem
    .popsection
)asm");

namespace nr {

// Trap records of other copies are read by this one: fixed layout, and a
// version that changes with it.  Copies of another version are not peers.
struct Peer {
  uint32_t magic;
  uint32_t version;
  // Recovers a fault of this copy: 1 done (return from the handler); jumps
  // away itself for an armed range; 0 not this copy's.
  int (*recover)(const siginfo_t *info, void *ucontext);
  // Puts the process's trap on top of SIGBUS.
  void (*claim)(void);
  // In the record that holds the election: the copy that was elected.
  std::atomic<const Peer *> elected;
  // In the elected copy's record: the other copies' recover routines.
  std::atomic<int (*)(const siginfo_t *, void *)> peers[8];
};
static_assert(std::atomic<const Peer *>::is_always_lock_free);
constexpr uint32_t PEER_MAGIC = 0x7074726e; // "nrtp"
constexpr uint32_t PEER_VERSION = 1;
constexpr uint32_t NOTE_TYPE = 0x6e72;

struct Fixup {
  int32_t insn, resume; // offsets from the field itself
};

} // namespace nr

extern "C" {
extern const nr::Fixup nr_devmem_fixup[], nr_devmem_fixup_end[];
extern nr::Peer nr_trap_peer;

thread_local sigjmp_buf nr_trap_jmp __attribute__((tls_model("initial-exec")));
}

// The note that lets other copies find nr_trap_peer: "nrhal", NOTE_TYPE, and
// the record's offset from the descriptor (resolved when linking).
asm(R"(
    .pushsection .note.nrhal, "aR", @note
    .p2align 2
    .long 6, 8, 0x6e72
    .asciz "nrhal"
    .p2align 2
    .quad nr_trap_peer - .
    .popsection
)");

namespace {

using nr::Fixup;
using nr::Peer;

pthread_once_t once = PTHREAD_ONCE_INIT;
const Peer *trap; // the elected copy; written once, under `once`

// A disposition as one word, so that the handler reads a whole one while
// nr_trap_claim replaces it: the handler's address, with bit 63 set for a
// three-argument handler (user-space addresses never have it).
constexpr uint64_t SIGINFO_BIT = uint64_t{1} << 63;
std::atomic<uint64_t> prev{0}; // where a signal that is not ours goes
std::atomic<uint64_t> root{0}; // what was in force before the trap came
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// The armed range.  volatile: the handler reads it asynchronously, so the
// compiler must neither drop nor reorder the stores that arm and disarm.
// initial-exec: reading it in the handler must not allocate.
thread_local volatile uintptr_t armed_ptr __attribute__((tls_model("initial-exec")));
thread_local volatile uintptr_t armed_len __attribute__((tls_model("initial-exec")));

// The signal this thread is passing on: its context, the frame passing it,
// the disposition it went to, and how far it went (1: to prev, 2: to root).
// The handler reached again with the same context, from deeper in the
// stack, was called back by the handler it passed the signal to.  A jump
// out of a chained handler leaves a stale record, which no later signal
// matches: a later signal's frame is not deeper than it.
struct Passing {
  const void *uc;
  uintptr_t frame;
  uint64_t to;
  int stage;
};
thread_local Passing passing __attribute__((tls_model("initial-exec")));

void handler(int signo, siginfo_t *info, void *ucontext);

uint64_t encode(const struct sigaction &sa) {
  return reinterpret_cast<uintptr_t>(sa.sa_handler) | (sa.sa_flags & SA_SIGINFO ? SIGINFO_BIT : 0);
}

bool is_trap(const struct sigaction &sa) { return (sa.sa_flags & SA_SIGINFO) && sa.sa_sigaction == handler; }

void die_by_default(int signo) {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signo, &dfl, nullptr);
  raise(signo); // pending until the handler returns, then fatal
}

// Whether the handler we passed a signal to handed it back: it left it
// pending (it is blocked in here) with us still in force, so that on our
// return it would reach us and go to that handler again.  The pending copy
// is taken: we pass the signal on ourselves.
bool handed_back(int signo) {
  sigset_t pending;
  struct sigaction cur;
  if (sigpending(&pending) != 0 || !sigismember(&pending, signo)) return false;
  if (sigaction(signo, nullptr, &cur) != 0 || !is_trap(cur)) return false;
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  const timespec now = {0, 0};
  sigtimedwait(&only, nullptr, &now);
  return true;
}

// Gives the signal to disposition d.  Returns whether a handler ran (which
// may have handed the signal back).
bool deliver(uint64_t d, int signo, siginfo_t *info, void *ucontext, bool fault) {
  if (d & SIGINFO_BIT) {
    reinterpret_cast<void (*)(int, siginfo_t *, void *)>(d & ~SIGINFO_BIT)(signo, info, ucontext);
    return true;
  }
  auto fn = reinterpret_cast<void (*)(int)>(d);
  if (fn == SIG_IGN) {
    // Returning from a fault of an access would run it again for ever.
    if (fault) die_by_default(signo);
    return false;
  }
  if (fn == SIG_DFL) {
    die_by_default(signo);
    return false;
  }
  fn(signo);
  return true;
}

// Passes a signal that is no copy's own to the disposition before us, once.
// Should that handler give it back to us, by calling us or by raising it
// again with us in force, it goes where it would have gone had the trap
// never come (root); if it comes back from there too, or root is the very
// handler that gave it back, the default action ends the process.
void pass_on(int signo, siginfo_t *info, void *ucontext) {
  const bool fault = info->si_code > 0;
  const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const Passing outer = passing;
  const bool again = outer.stage != 0 && outer.uc == ucontext && frame < outer.frame;
  const uint64_t first = root.load(std::memory_order_acquire);
  uint64_t to = again ? first : prev.load(std::memory_order_acquire);
  if (again && (outer.stage == 2 || to == outer.to)) {
    die_by_default(signo);
    return;
  }
  passing = {ucontext, frame, to, again ? 2 : 1};
  if (deliver(to, signo, info, ucontext, fault) && handed_back(signo)) {
    if (again || to == first) {
      die_by_default(signo);
    } else {
      passing.to = to = first;
      passing.stage = 2;
      if (deliver(to, signo, info, ucontext, fault) && handed_back(signo)) die_by_default(signo);
    }
  }
  passing = outer;
}

// This copy's own faults: 1 when recovered by moving the program counter;
// a fault of the armed range does not return.
int recover(const siginfo_t *info, void *ucontext) {
  if (info->si_code <= 0) return 0; // sent, not raised by an access
  auto *uc = static_cast<ucontext_t *>(ucontext);
  const auto pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  for (const Fixup *f = nr_devmem_fixup; f != nr_devmem_fixup_end; ++f) {
    if (pc == reinterpret_cast<uintptr_t>(&f->insn) + f->insn) {
      uc->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(&f->resume) + f->resume);
      return 1;
    }
  }
  const uintptr_t base = armed_ptr;
  const auto fault_addr = reinterpret_cast<uintptr_t>(info->si_addr);
  if (base != 0 && fault_addr >= base && fault_addr - base < armed_len) {
    armed_ptr = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    siglongjmp(nr_trap_jmp, 1);
  }
  return 0;
}

void handler(int signo, siginfo_t *info, void *ucontext) {
  if (recover(info, ucontext)) return;
  for (auto &p : nr_trap_peer.peers)
    if (auto other = p.load(std::memory_order_acquire); other && other(info, ucontext)) return;
  pass_on(signo, info, ucontext);
}

// Puts the handler on top of SIGBUS, passing to what was there.  `prev` is
// published before the handler goes on top, so it never passes to a stale one.
void put_on_top(bool first) {
  struct sigaction cur;
  if (sigaction(SIGBUS, nullptr, &cur) != 0 || is_trap(cur)) return;
  if (first) root.store(encode(cur), std::memory_order_release);
  prev.store(encode(cur), std::memory_order_release);
  struct sigaction act = {}, old;
  act.sa_sigaction = handler;
  sigemptyset(&act.sa_mask);
  act.sa_flags = SA_SIGINFO;
  if (sigaction(SIGBUS, &act, &old) != 0 || is_trap(old) || encode(old) == encode(cur)) return;
  if (first) root.store(encode(old), std::memory_order_release); // changed meanwhile
  prev.store(encode(old), std::memory_order_release);
}

void install();

// The elected copy's nr_trap_claim, which the other copies call too.
void claim_here() {
  pthread_once(&once, install);
  put_on_top(false);
}

// The compatible trap records of the objects loaded.
struct Found {
  Peer *peers[16];
  int count;
};

void scan_notes(const dl_phdr_info *info, Found *found) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const uintptr_t align = ph.p_align == 8 ? 8 : 4;
    auto up = [align](uintptr_t v) { return (v + align - 1) & ~(align - 1); };
    uintptr_t p = info->dlpi_addr + ph.p_vaddr;
    const uintptr_t end = p + ph.p_memsz;
    while (p + sizeof(ElfW(Nhdr)) <= end) {
      const auto *n = reinterpret_cast<const ElfW(Nhdr) *>(p);
      const uintptr_t name = p + sizeof *n, desc = name + up(n->n_namesz);
      if (n->n_type == nr::NOTE_TYPE && n->n_namesz == 6 && n->n_descsz == 8 && desc + 8 <= end &&
          memcmp(reinterpret_cast<const void *>(name), "nrhal", 6) == 0 && found->count < 16) {
        int64_t offset;
        memcpy(&offset, reinterpret_cast<const void *>(desc), sizeof offset);
        auto *peer = reinterpret_cast<Peer *>(desc + offset);
        if (peer->magic == nr::PEER_MAGIC && peer->version == nr::PEER_VERSION) found->peers[found->count++] = peer;
      }
      p = desc + up(n->n_descsz);
    }
  }
}

// A copy elected before wins; otherwise the record at the lowest address
// holds the election, and the first copy to write itself there wins.
const Peer *elect() {
  Found found{};
  dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *data) {
        scan_notes(info, static_cast<Found *>(data));
        return 0;
      },
      &found);
  Peer *holder = &nr_trap_peer;
  for (int i = 0; i < found.count; ++i) {
    if (const Peer *e = found.peers[i]->elected.load(std::memory_order_acquire)) return e;
    if (reinterpret_cast<uintptr_t>(found.peers[i]) < reinterpret_cast<uintptr_t>(holder)) holder = found.peers[i];
  }
  const Peer *none = nullptr;
  holder->elected.compare_exchange_strong(none, &nr_trap_peer, std::memory_order_acq_rel);
  return holder->elected.load(std::memory_order_acquire);
}

void install() {
  trap = elect();
  if (trap == &nr_trap_peer) {
    put_on_top(true);
    return;
  }
  // Another copy is the process's trap: it recovers our faults too.
  for (auto &slot : const_cast<Peer *>(trap)->peers) {
    int (*none)(const siginfo_t *, void *) = nullptr;
    if (slot.compare_exchange_strong(none, recover, std::memory_order_acq_rel) || none == recover) break;
  }
  trap->claim(); // installs it, if it was elected but never used
}

} // namespace

extern "C" {

nr::Peer nr_trap_peer = {nr::PEER_MAGIC, nr::PEER_VERSION, recover, claim_here, {}, {}};

void nr_trap_arm(const void *base, size_t len) {
  pthread_once(&once, install);
  armed_ptr = reinterpret_cast<uintptr_t>(base);
  armed_len = len;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void nr_trap_disarm(void) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  armed_ptr = 0;
}

void nr_trap_claim(void) {
  pthread_once(&once, install);
  trap->claim();
}

} // extern "C"
