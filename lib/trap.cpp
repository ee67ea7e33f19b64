// The bus-fault trap: a process-wide SIGBUS handler, installed once, that
// recovers faults of the calling thread's armed range (by siglongjmp) and of
// the nr_devmem_* routines (by moving the program counter), and passes every
// other fault on to the disposition that was in force before it.
#include "trap.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <ucontext.h>

// One instruction per routine touches the device; each is labelled so the
// handler can tell its faults from any other.  A fault there resumes at
// nr_devmem_fault, which returns 1 from the routine: nothing was pushed
// before the access, so the stack is as the routine found it.
asm(R"(
    .text
    .p2align 4
    .globl nr_devmem_load8, nr_devmem_load16, nr_devmem_load32, nr_devmem_load64
    .globl nr_devmem_store8, nr_devmem_store16, nr_devmem_store32, nr_devmem_store64
    .globl nr_devmem_insn_ld8, nr_devmem_insn_ld16, nr_devmem_insn_ld32, nr_devmem_insn_ld64
    .globl nr_devmem_insn_st8, nr_devmem_insn_st16, nr_devmem_insn_st32, nr_devmem_insn_st64
    .globl nr_devmem_fault
    .hidden nr_devmem_load8, nr_devmem_load16, nr_devmem_load32, nr_devmem_load64
    .hidden nr_devmem_store8, nr_devmem_store16, nr_devmem_store32, nr_devmem_store64
    .hidden nr_devmem_insn_ld8, nr_devmem_insn_ld16, nr_devmem_insn_ld32, nr_devmem_insn_ld64
    .hidden nr_devmem_insn_st8, nr_devmem_insn_st16, nr_devmem_insn_st32, nr_devmem_insn_st64
    .hidden nr_devmem_fault

    .type nr_devmem_load8, @function
nr_devmem_load8:
nr_devmem_insn_ld8:
    movzbl (%rdi), %eax
    movb %al, (%rsi)
    xorl %eax, %eax
    ret
    .size nr_devmem_load8, .-nr_devmem_load8

    .type nr_devmem_load16, @function
nr_devmem_load16:
nr_devmem_insn_ld16:
    movzwl (%rdi), %eax
    movw %ax, (%rsi)
    xorl %eax, %eax
    ret
    .size nr_devmem_load16, .-nr_devmem_load16

    .type nr_devmem_load32, @function
nr_devmem_load32:
nr_devmem_insn_ld32:
    movl (%rdi), %eax
    movl %eax, (%rsi)
    xorl %eax, %eax
    ret
    .size nr_devmem_load32, .-nr_devmem_load32

    .type nr_devmem_load64, @function
nr_devmem_load64:
nr_devmem_insn_ld64:
    movq (%rdi), %rax
    movq %rax, (%rsi)
    xorl %eax, %eax
    ret
    .size nr_devmem_load64, .-nr_devmem_load64

    .type nr_devmem_store8, @function
nr_devmem_store8:
nr_devmem_insn_st8:
    movb %sil, (%rdi)
    xorl %eax, %eax
    ret
    .size nr_devmem_store8, .-nr_devmem_store8

    .type nr_devmem_store16, @function
nr_devmem_store16:
nr_devmem_insn_st16:
    movw %si, (%rdi)
    xorl %eax, %eax
    ret
    .size nr_devmem_store16, .-nr_devmem_store16

    .type nr_devmem_store32, @function
nr_devmem_store32:
nr_devmem_insn_st32:
    movl %esi, (%rdi)
    xorl %eax, %eax
    ret
    .size nr_devmem_store32, .-nr_devmem_store32

    .type nr_devmem_store64, @function
nr_devmem_store64:
nr_devmem_insn_st64:
    movq %rsi, (%rdi)
    xorl %eax, %eax
    ret
    .size nr_devmem_store64, .-nr_devmem_store64

    .type nr_devmem_fault, @function
nr_devmem_fault:
    movl $1, %eax
    ret
    .size nr_devmem_fault, .-nr_devmem_fault
)");

extern "C" {
extern const char nr_devmem_insn_ld8[], nr_devmem_insn_ld16[], nr_devmem_insn_ld32[], nr_devmem_insn_ld64[];
extern const char nr_devmem_insn_st8[], nr_devmem_insn_st16[], nr_devmem_insn_st32[], nr_devmem_insn_st64[];
extern const char nr_devmem_fault[];

thread_local sigjmp_buf nr_trap_jmp __attribute__((tls_model("initial-exec")));
}

namespace {

const char *const devmem_insns[] = {
    nr_devmem_insn_ld8, nr_devmem_insn_ld16, nr_devmem_insn_ld32, nr_devmem_insn_ld64,
    nr_devmem_insn_st8, nr_devmem_insn_st16, nr_devmem_insn_st32, nr_devmem_insn_st64,
};

pthread_once_t once = PTHREAD_ONCE_INIT;
struct sigaction prev;

// The armed range.  volatile: the handler reads it asynchronously, so the
// compiler must neither drop nor reorder the stores that arm and disarm.
// initial-exec: reading it in the handler must not allocate.
thread_local volatile uintptr_t armed_ptr __attribute__((tls_model("initial-exec")));
thread_local volatile uintptr_t armed_len __attribute__((tls_model("initial-exec")));

void die_by_default(int signo) {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signo, &dfl, nullptr);
  raise(signo); // pending until the handler returns, then fatal
}

// A handler we chained to for a fault of our own access may end by putting
// its predecessor back and raising the signal, meaning "terminate" (crash
// reporters do).  If its predecessor is us (it was installed after us and we
// went back on top), that raise would reach us and chain to it again, for
// ever.  So a raise left pending by the chained handler is made fatal here.
void settle_reraise(int signo) {
  sigset_t pending;
  if (sigpending(&pending) == 0 && sigismember(&pending, signo)) die_by_default(signo);
}

void handler(int signo, siginfo_t *info, void *ucontext) {
  auto *uc = static_cast<ucontext_t *>(ucontext);
  const bool kernel = info->si_code > 0; // raised by this thread's own access
  const uintptr_t fault_addr = reinterpret_cast<uintptr_t>(info->si_addr);

  if (kernel) {
    const char *pc = reinterpret_cast<const char *>(uc->uc_mcontext.gregs[REG_RIP]);
    for (const char *insn : devmem_insns) {
      if (pc == insn) {
        uc->uc_mcontext.gregs[REG_RIP] = reinterpret_cast<greg_t>(nr_devmem_fault);
        return;
      }
    }
  }

  const uintptr_t base = armed_ptr;
  if (base != 0 && fault_addr >= base && fault_addr - base < armed_len) {
    armed_ptr = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    siglongjmp(nr_trap_jmp, 1);
  }

  if (prev.sa_flags & SA_SIGINFO) {
    prev.sa_sigaction(signo, info, ucontext);
    if (kernel) settle_reraise(signo);
    return;
  }
  if (prev.sa_handler == SIG_IGN) {
    // Returning from a fault of our own access would run it again forever.
    if (kernel) die_by_default(signo);
    return;
  }
  if (prev.sa_handler != SIG_DFL) {
    prev.sa_handler(signo);
    if (kernel) settle_reraise(signo);
    return;
  }
  sigaction(SIGBUS, &prev, nullptr);
  raise(SIGBUS);
}

void install() {
  struct sigaction act = {};
  act.sa_sigaction = handler;
  sigemptyset(&act.sa_mask);
  act.sa_flags = SA_SIGINFO;
  sigaction(SIGBUS, &act, &prev);
}

} // namespace

extern "C" {

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
  struct sigaction cur;
  if (sigaction(SIGBUS, nullptr, &cur) != 0) return;
  if ((cur.sa_flags & SA_SIGINFO) && cur.sa_sigaction == handler) return;
  // Someone installed a handler over ours: go back on top and chain to it.
  struct sigaction act = {};
  act.sa_sigaction = handler;
  sigemptyset(&act.sa_mask);
  act.sa_flags = SA_SIGINFO;
  sigaction(SIGBUS, &act, &prev);
}

} // extern "C"
