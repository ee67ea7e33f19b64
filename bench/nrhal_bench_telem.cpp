// The native telemetry figure, timed inside the benchmark's own process:
// bench/bench_py.py loads this object with ctypes and sets the figure beside
// Session.telemetry()'s, so that both are taken in one process, beside the
// same simulator, on the same session state.
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "nrhal.h"

// Seconds that `calls` nr_telemetry reads of card `card` take, on one
// session opened beforehand; minus the errno if one fails.
extern "C" __attribute__((visibility("default"))) double nr_bench_telemetry(uint32_t card, int calls) {
  nr_session s;
  if (nr_open(&card, &s, 0) != 0) return -errno;
  uint32_t values[NR_TELEMETRY_SLOTS];
  double result = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < calls && result == 0; ++i)
    if (nr_telemetry(&s, values) != 0) result = -errno;
  if (result == 0) result = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  nr_close(&s);
  return result;
}
