// Reset (0xFA06) and the card's presence on the PCI bus.
//
// The first step takes the card off the bus at once: it is severed as by
// nrsim_sever, except that the resetting descriptor moves to the fresh
// incarnation, so that it can send the second step, and holds the card as an
// exclusive open does until then.  The card is back once its away time has
// passed since that step; nothing runs to bring it back: everything that
// cares (PCI lookups, reads of its config space, the second step) asks the
// clock when it looks.
#include <cerrno>
#include <cstring>

#include "sim.h"

namespace nrsim {

namespace {

constexpr uint32_t OUTPUT_SIZE = 8; // output half: size word and result
constexpr size_t OUTPUT_AT = 8;
constexpr uint32_t BEGIN = 4, FINISH = 6;

// Off the bus at `now`, under the settings in force.
bool away_at(const ResetState &r, Clock::time_point now) {
  return r.away && (r.never || now - r.since < std::chrono::milliseconds(r.away_ms));
}

bool away(const Card &c) { return c.reset.away && away_at(c.reset, Clock::now()); }

// Records that a card that was away is back, so that settings changed later
// cannot send it away again.
void settle(ResetState &r) {
  if (r.away && !away_at(r, Clock::now())) r.away = false;
}

uint32_t begin(Call &c) {
  ResetState &r = c.card.reset;
  if (r.begin_result) return r.begin_result;
  c.sim.sever_card(c.card, c.fd);
  c.card.life->resetter = c.fd;
  r.away = true;
  r.since = Clock::now();
  return 0;
}

uint32_t finish(Call &c) {
  ResetState &r = c.card.reset;
  if (r.finish_result) return r.finish_result;
  if (c.life.resetter != c.fd) return NRSIM_RESET_NOT_BEGUN;
  if (away(c.card)) return NRSIM_RESET_NOT_BACK;
  r.away = false;
  ++r.count;
  c.life.resetter = -1;
  c.sim.wake_openers(); // opens waiting for the card
  return 0;
}

// Runs f on card n's reset settings, starting from where the old settings
// left the card.
template <typename F> int with_reset(uint32_t n, F f) {
  return with_card(n, [&](Sim &, Card &c) {
    settle(c.reset);
    return f(c.reset);
  });
}

} // namespace

bool pci_absent(const Card &c) { return c.reset.mode == NRSIM_RESET_VANISH && away(c); }
bool pci_marked(const Card &c) { return c.reset.mode == NRSIM_RESET_STAY && away(c); }

int reset_request(Call &c) {
  uint32_t in[2];
  if (!copy_in(in, c.arg, sizeof in)) return -EFAULT;
  if (in[0] < OUTPUT_SIZE || (in[1] != BEGIN && in[1] != FINISH)) return -EINVAL;
  // A record the answer cannot be written to is refused before the card is
  // touched: write its output half back as it is first.
  char *out = static_cast<char *>(c.arg) + OUTPUT_AT;
  uint32_t was[2];
  if (!copy_in(was, out, sizeof was) || !copy_out(out, was, sizeof was)) return -EFAULT;

  // `c` is about the descriptor's incarnation, which a begin retires: only
  // the card and the descriptor number are used after it.
  uint32_t result = in[1] == BEGIN ? begin(c) : finish(c);
  const uint32_t answer[2] = {OUTPUT_SIZE, result};
  if (!copy_out(out, answer, sizeof answer)) return -EFAULT;
  return 0;
}

} // namespace nrsim

using namespace nrsim;

namespace nrsim::ctl {

int nrsim_reset_mode(uint32_t n, int mode) {
  if (mode != NRSIM_RESET_VANISH && mode != NRSIM_RESET_STAY) return control_fail(EINVAL);
  return with_reset(n, [mode](ResetState &r) {
    r.mode = mode;
    return 0;
  });
}

int nrsim_reset_away_ms(uint32_t n, unsigned ms, int never) {
  return with_reset(n, [ms, never](ResetState &r) {
    r.away_ms = ms;
    r.never = never != 0;
    return 0;
  });
}

int nrsim_reset_result(uint32_t n, uint32_t begin, uint32_t finish) {
  return with_reset(n, [begin, finish](ResetState &r) {
    r.begin_result = begin;
    r.finish_result = finish;
    return 0;
  });
}

int nrsim_reset_count(uint32_t n) {
  return with_card(n, [](Sim &, Card &c) { return c.reset.count; });
}

} // namespace nrsim::ctl
