// The bus-fault trap.  Every case that can end the process, or that needs
// the handler installed over a particular disposition, runs in a fresh child
// process (death tests in the threadsafe style re-run the binary), since the
// handler is installed once per process.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <thread>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include "nrhal.h"
#include "trap.h"

namespace {

// A page whose every access raises SIGBUS: a shared mapping of an empty file.
struct DeadPage {
  DeadPage() {
    int fd = memfd_create("nrhal-trap-test", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 2 * 4096) != 0) abort();
    p = static_cast<uint8_t *>(mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (p == MAP_FAILED || ftruncate(fd, 0) != 0) abort();
    close(fd);
  }
  ~DeadPage() { munmap(p, 2 * 4096); }
  uint8_t *p;
};

// Reads base[offset] under the trap armed over [base, base + len): 1 when the
// trap caught the fault, 0 when the read went through.
int armed_read(const uint8_t *base, size_t len, size_t offset) {
  nr_trap_arm(base, len);
  if (sigsetjmp(nr_trap_jmp, 1) != 0) return 1;
  (void)*reinterpret_cast<const volatile uint8_t *>(base + offset);
  nr_trap_disarm();
  return 0;
}

class Trap : public ::testing::Test {
protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

volatile sig_atomic_t host_calls;
void *host_addr;
void host_siginfo(int signo, siginfo_t *info, void *uc) {
  // Same signal, same fault address, a context: then leave, since returning
  // would run the faulting load again.
  _exit(signo == SIGBUS && info->si_addr == host_addr && uc ? 42 : 43);
}
void host_plain(int signo) { _exit(signo == SIGBUS ? 44 : 45); }
void host_counting(int) { host_calls = host_calls + 1; }

void install(int flags, void (*plain)(int), void (*info)(int, siginfo_t *, void *)) {
  struct sigaction act = {};
  sigemptyset(&act.sa_mask);
  act.sa_flags = flags;
  if (info) act.sa_sigaction = info;
  else act.sa_handler = plain;
  sigaction(SIGBUS, &act, nullptr);
}

} // namespace

TEST_F(Trap, CatchesAFaultInTheArmedRangeAndStaysUsable) {
  DeadPage dead;
  EXPECT_EQ(armed_read(dead.p, 4096, 0), 1);
  // SIGBUS is unblocked again, and the thread disarmed: a second catch works.
  EXPECT_EQ(armed_read(dead.p, 4096, 4095), 1);
  sigset_t mask;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
  EXPECT_FALSE(sigismember(&mask, SIGBUS));
  nr_trap_disarm();
  nr_trap_disarm(); // harmless
}

TEST_F(Trap, RangeIsHalfOpen) {
  EXPECT_EXIT(
      {
        DeadPage dead;
        if (armed_read(dead.p, 4096, 0) != 1) _exit(1); // at the base: caught
        armed_read(dead.p, 4096, 4096);                  // at base + len: not ours
        _exit(2);
      },
      ::testing::KilledBySignal(SIGBUS), "");
}

TEST_F(Trap, AFaultAfterACatchIsPassedOnUntilRearmed) {
  EXPECT_EXIT(
      {
        DeadPage dead;
        if (armed_read(dead.p, 4096, 0) != 1) _exit(1);
        (void)*reinterpret_cast<volatile uint8_t *>(dead.p); // disarmed now
        _exit(2);
      },
      ::testing::KilledBySignal(SIGBUS), "");
}

TEST_F(Trap, ArmingAgainReplacesTheRange) {
  EXPECT_EXIT(
      {
        DeadPage dead;
        nr_trap_arm(dead.p, 4096);
        nr_trap_arm(dead.p + 4096, 4096);
        if (sigsetjmp(nr_trap_jmp, 1) != 0) _exit(1);
        (void)*reinterpret_cast<volatile uint8_t *>(dead.p);
        _exit(2);
      },
      ::testing::KilledBySignal(SIGBUS), "");
}

TEST_F(Trap, OtherThreadsFaultsArePassedOn) {
  EXPECT_EXIT(
      {
        DeadPage dead;
        nr_trap_arm(dead.p, 2 * 4096); // this thread is armed over the page
        std::thread([&] { (void)*reinterpret_cast<volatile uint8_t *>(dead.p); }).join();
        _exit(2);
      },
      ::testing::KilledBySignal(SIGBUS), "");
}

TEST_F(Trap, HostHandlersAreReachedWithTheSameArguments) {
  EXPECT_EXIT(
      {
        DeadPage dead;
        install(SA_SIGINFO, nullptr, host_siginfo);
        if (armed_read(dead.p, 4096, 0) != 1) _exit(1);
        host_addr = dead.p + 4096;
        armed_read(dead.p, 4096, 4096);
        _exit(2);
      },
      ::testing::ExitedWithCode(42), "");
  EXPECT_EXIT(
      {
        DeadPage dead;
        install(0, host_plain, nullptr);
        if (armed_read(dead.p, 4096, 0) != 1) _exit(1);
        armed_read(dead.p, 4096, 4096);
        _exit(2);
      },
      ::testing::ExitedWithCode(44), "");
}

TEST_F(Trap, IgnoredSigbusStillEndsAFaultingAccess) {
  // Sent by someone: ignored, as before.  Raised by our own access: the
  // access cannot be run again for ever, so the default action applies.
  EXPECT_EXIT(
      {
        DeadPage dead;
        install(0, SIG_IGN, nullptr);
        if (armed_read(dead.p, 4096, 0) != 1) _exit(1);
        raise(SIGBUS);
        kill(getpid(), SIGBUS);
        (void)*reinterpret_cast<volatile uint8_t *>(dead.p + 4096);
        _exit(2);
      },
      ::testing::KilledBySignal(SIGBUS), "");
}

TEST_F(Trap, SentSignalsReachAHostHandlerThatReturns) {
  EXPECT_EXIT(
      {
        install(0, host_counting, nullptr);
        nr_trap_arm(nullptr, 0);
        nr_trap_disarm();
        raise(SIGBUS);
        raise(SIGBUS);
        _exit(host_calls == 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Trap, DeviceAccessRoutinesRecoverWithoutArming) {
  nr_trap_claim();
  DeadPage dead;
  uint8_t b = 7;
  uint16_t h = 7;
  uint32_t w = 7;
  uint64_t d = 7;
  EXPECT_EQ(nr_devmem_load8(dead.p + 1, &b), 1);
  EXPECT_EQ(nr_devmem_load16(dead.p + 2, &h), 1);
  EXPECT_EQ(nr_devmem_load32(dead.p + 4, &w), 1);
  EXPECT_EQ(nr_devmem_load64(dead.p + 8, &d), 1);
  EXPECT_EQ(b + h + w + d, 28u); // outputs untouched
  EXPECT_EQ(nr_devmem_store8(dead.p, 1), 1);
  EXPECT_EQ(nr_devmem_store16(dead.p, 1), 1);
  EXPECT_EQ(nr_devmem_store32(dead.p, 1), 1);
  EXPECT_EQ(nr_devmem_store64(dead.p, 1), 1);

  alignas(8) uint8_t ram[16] = {};
  EXPECT_EQ(nr_devmem_store64(ram, 0x0102030405060708), 0);
  EXPECT_EQ(nr_devmem_store32(ram + 8, 0xa0b0c0d0), 0);
  EXPECT_EQ(nr_devmem_store16(ram + 12, 0xbeef), 0);
  EXPECT_EQ(nr_devmem_store8(ram + 14, 0x5a), 0);
  EXPECT_EQ(nr_devmem_load64(ram, &d), 0);
  EXPECT_EQ(nr_devmem_load32(ram + 8, &w), 0);
  EXPECT_EQ(nr_devmem_load16(ram + 12, &h), 0);
  EXPECT_EQ(nr_devmem_load8(ram + 14, &b), 0);
  EXPECT_EQ(d, 0x0102030405060708u);
  EXPECT_EQ(w, 0xa0b0c0d0u);
  EXPECT_EQ(h, 0xbeef);
  EXPECT_EQ(b, 0x5a);
  sigset_t mask;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
  EXPECT_FALSE(sigismember(&mask, SIGBUS));
}

// A handler installed over ours that, like crash reporters, puts its
// predecessor back and raises: after nr_trap_claim we are on top again and
// recover device accesses; other faults reach it once and end the process
// instead of bouncing between the two handlers for ever.
struct sigaction reporter_prev;
volatile sig_atomic_t reporter_calls;
void reporter(int signo) {
  reporter_calls = reporter_calls + 1;
  if (reporter_calls > 1) _exit(3); // reached twice: it would loop
  sigaction(signo, &reporter_prev, nullptr);
  raise(signo);
}

TEST_F(Trap, ClaimPutsTheTrapBackOnTopOfALaterHandler) {
  EXPECT_EXIT(
      {
        DeadPage dead;
        nr_trap_claim();
        struct sigaction act = {};
        act.sa_handler = reporter;
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_NODEFER;
        sigaction(SIGBUS, &act, &reporter_prev);
        nr_trap_claim();
        uint32_t w;
        if (nr_devmem_load32(dead.p, &w) != 1) _exit(1);
        if (reporter_calls != 0) _exit(4);
        (void)*reinterpret_cast<volatile uint8_t *>(dead.p);
        _exit(2);
      },
      ::testing::KilledBySignal(SIGBUS), "");
}

// The trap among handlers installed after it, which pass a signal on to
// their predecessor by calling it or by putting it back and raising again.
// Each must see a signal that is nobody's once, and the process must end by
// SIGBUS, whether the signal was raised by an access or sent with kill().
struct sigaction later_prev;
volatile sig_atomic_t later_calls;
void count_call() {
  later_calls = later_calls + 1;
  if (later_calls > 1) _exit(3); // reached twice: it would loop
}
void calls_back(int signo, siginfo_t *info, void *uc) {
  count_call();
  if (later_prev.sa_flags & SA_SIGINFO) later_prev.sa_sigaction(signo, info, uc);
}
void reraises(int signo, siginfo_t *, void *) {
  count_call();
  sigaction(signo, &later_prev, nullptr);
  raise(signo);
}
void newcomer(int) { _exit(42); }
void installs_another(int signo, siginfo_t *, void *) {
  count_call();
  install(0, newcomer, nullptr);
  raise(signo);
}

// Trap, then `later` over it, then the trap claimed back on top; then a
// signal that is nobody's: a fault, or one sent with kill().
void nobodys_signal_after(void (*later)(int, siginfo_t *, void *), bool sent) {
  DeadPage dead;
  nr_trap_claim();
  struct sigaction act = {};
  act.sa_sigaction = later;
  sigemptyset(&act.sa_mask);
  act.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigaction(SIGBUS, &act, &later_prev);
  nr_trap_claim();
  uint32_t w;
  if (nr_devmem_load32(dead.p, &w) != 1 || later_calls != 0) _exit(1); // ours: recovered first
  if (sent) kill(getpid(), SIGBUS);
  else (void)*reinterpret_cast<volatile uint8_t *>(dead.p);
  _exit(2);
}

TEST_F(Trap, LaterHandlersSeeANobodysSignalOnceAndTheProcessDiesBySigbus) {
  for (bool sent : {false, true}) {
    EXPECT_EXIT(nobodys_signal_after(calls_back, sent), ::testing::KilledBySignal(SIGBUS), "") << sent;
    EXPECT_EXIT(nobodys_signal_after(reraises, sent), ::testing::KilledBySignal(SIGBUS), "") << sent;
  }
}

TEST_F(Trap, AHandlerInstalledByTheOneChainedToTakesItsRaise) {
  for (bool sent : {false, true})
    EXPECT_EXIT(nobodys_signal_after(installs_another, sent), ::testing::ExitedWithCode(42), "") << sent;
}

// libnrhal.so loaded beside this program's static copy: the copies elect
// one trap, which recovers both copies' faults and passes a nobody's fault
// on once.  `so_first`: the shared copy comes first (its telemetry reader
// arms, and so installs, its trap).
void two_copies(bool so_first) {
  void *so = dlopen(NRHAL_SHARED, RTLD_NOW | RTLD_LOCAL);
  if (!so) _exit(10);
  using open_fn = int (*)(const uint32_t *, nr_session *, uint16_t);
  using telemetry_fn = int (*)(const nr_session *, uint32_t *);
  auto so_open = reinterpret_cast<open_fn>(dlsym(so, "nr_open"));
  auto so_telemetry = reinterpret_cast<telemetry_fn>(dlsym(so, "nr_telemetry"));
  if (!so_open || !so_telemetry) _exit(11);
  uint32_t card = 0, values[NR_TELEMETRY_SLOTS];
  nr_session s;
  if (so_open(&card, &s, 0) != 0) _exit(12);
  DeadPage dead;
  if (!so_first) nr_trap_claim();
  if (so_telemetry(&s, values) != 0) _exit(13);
  nr_trap_claim(); // two traps that chain to each other, were there two
  uint32_t w;
  if (nr_devmem_load32(dead.p, &w) != 1) _exit(14);
  if (so_telemetry(&s, values) != 0) _exit(15);
  (void)*reinterpret_cast<volatile uint8_t *>(dead.p);
  _exit(2);
}

TEST_F(Trap, TwoCopiesInOneProcessActAsOne) {
  for (bool so_first : {false, true})
    EXPECT_EXIT(two_copies(so_first), ::testing::KilledBySignal(SIGBUS), "") << so_first;
}
