// Controller (SMC) message exchange.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "driver.h"
#include "internal.h"
#include "nrhal.h"

static_assert(sizeof(nr_smc_msg) == 32);
static_assert(sizeof(nr_smc_msg) == sizeof(nr::drv::smc_message::message));

namespace {

int smc_request(const nr_session *s, uint32_t op, const nr_smc_msg *in, nr_smc_msg *out) {
  nr::drv::smc_message rec{};
  rec.argsz = sizeof rec;
  rec.flags = op;
  if (in) memcpy(rec.message, in, sizeof rec.message);
  if (nr::ioctl_req(s->fd, nr::drv::NR_IOCTL_SMC_MESSAGE, &rec) != 0) return -1;
  if (out) memcpy(out, rec.message, sizeof rec.message);
  return 0;
}

} // namespace

extern "C" {

int nr_smc_post(const nr_session *session, const nr_smc_msg *request) {
  if (!nr::ready(session, request)) return -1;
  return smc_request(session, nr::drv::NR_SMC_MESSAGE_POST, request, nullptr);
}

int nr_smc_poll(const nr_session *session, nr_smc_msg *reply) {
  if (!nr::ready(session, reply)) return -1;
  return smc_request(session, nr::drv::NR_SMC_MESSAGE_POLL, nullptr, reply);
}

int nr_smc_drop(const nr_session *session) {
  if (!nr::ready(session)) return -1;
  return smc_request(session, nr::drv::NR_SMC_MESSAGE_DROP, nullptr, nullptr);
}

int nr_smc_wait(const nr_session *session, nr_smc_msg *reply, uint32_t timeout_ms) {
  if (!nr::ready(session, reply)) return -1;
  const int64_t limit = timeout_ms ? timeout_ms : NR_SMC_WAIT_DEFAULT_MS;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (unsigned pending = 0;; ++pending) {
    if (nr_smc_poll(session, reply) == 0) return 0;
    if (errno != EAGAIN) return -1;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t elapsed_ms =
        ((int64_t)(now.tv_sec - start.tv_sec) * 1000000000 + (now.tv_nsec - start.tv_nsec)) / 1000000;
    if (elapsed_ms >= limit) return nr::fail(ETIMEDOUT);
    if (pending >= NR_SMC_WAIT_SPIN_POLLS) usleep(1000);
  }
}

int nr_smc_call(const nr_session *session, const nr_smc_msg *request, nr_smc_msg *reply, uint32_t timeout_ms) {
  if (!reply) return nr::fail(EINVAL);
  if (nr_smc_post(session, request) != 0) return -1;
  if (nr_smc_wait(session, reply, timeout_ms) == 0) return 0;
  int saved = errno;
  nr_smc_drop(session);
  errno = saved;
  return -1;
}

} // extern "C"
