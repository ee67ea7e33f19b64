// Native window-access figures that bench/bench_py.py sets the Python ones
// beside (the telemetry figure comes from nrhal_bench_telem.cpp).  Runs
// on card 0 under the simulator (sim/nrsim-run) and prints one line per
// figure, "<name> <nanoseconds>", each the best of REPEATS runs:
//
//   load32     one plain volatile 32-bit load through a 2 MiB window
//   devmem32   one fault-safe load (nr_devmem_load32) of the same words
//   store32    one plain volatile 32-bit store
//   devstore32 one fault-safe store (nr_devmem_store32)
//
// The window loops visit the offsets that the Python accessor benchmark
// visits, in the same order, so the difference between a plain and a
// fault-safe figure is what the fault-safe routine adds to one access.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "nrhal.h"
#include "nrsim.h"
#include "trap.h"

namespace {

constexpr int REPEATS = 7;
constexpr uint64_t WINDOW = 2u << 20;
constexpr size_t ACCESSES = 100000;

volatile uint32_t sink; // keeps the loads' results alive

[[noreturn]] void die(const char *what) {
  std::perror(what);
  std::exit(1);
}

// Best-of-REPEATS nanoseconds per item of run(), which handles `items`.
template <class Run> double best_ns(size_t items, Run run) {
  double best = std::numeric_limits<double>::infinity();
  for (int r = 0; r < REPEATS; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - t0;
    best = std::min(best, took.count() / static_cast<double>(items));
    nrsim_clear_log(); // the simulator's request log would grow across runs
  }
  return best;
}

void print(const char *name, double ns) { std::printf("%s %.3f\n", name, ns); }

} // namespace

int main() {
  uint32_t id = 0;
  nr_session s;
  if (nr_open(&id, &s, 0) != 0) die("nr_open");

  nr_tlb tlb;
  if (nr_tlb_alloc(&s, WINDOW, NR_TLB_UNCACHED, &tlb) != 0) die("nr_tlb_alloc");
  nr_tlb_config cfg{};
  cfg.addr = 0x100000;
  cfg.x_end = 1;
  cfg.y_end = 1;
  if (nr_tlb_bind(&s, &tlb, &cfg) != 0) die("nr_tlb_bind");
  nr_trap_claim();
  uint8_t *base = tlb.mapping;
  std::memset(base, 0x5A, WINDOW); // touches every page before the timing

  std::vector<uint32_t> offsets(ACCESSES);
  for (size_t i = 0; i < ACCESSES; ++i) offsets[i] = static_cast<uint32_t>((i * 7919 * 4) % WINDOW);

  print("load32", best_ns(ACCESSES, [&] {
          uint32_t sum = 0;
          for (uint32_t off : offsets) sum += *reinterpret_cast<const volatile uint32_t *>(base + off);
          sink = sum;
        }));
  print("devmem32", best_ns(ACCESSES, [&] {
          uint32_t sum = 0;
          for (uint32_t off : offsets) {
            uint32_t v;
            if (nr_devmem_load32(base + off, &v) != 0) die("nr_devmem_load32");
            sum += v;
          }
          sink = sum;
        }));
  print("store32", best_ns(ACCESSES, [&] {
          for (uint32_t off : offsets) *reinterpret_cast<volatile uint32_t *>(base + off) = off;
        }));
  print("devstore32", best_ns(ACCESSES, [&] {
          for (uint32_t off : offsets)
            if (nr_devmem_store32(base + off, off) != 0) die("nr_devmem_store32");
        }));

  if (nr_tlb_free(&s, &tlb) != 0) die("nr_tlb_free");
  nr_close(&s);
  return 0;
}
