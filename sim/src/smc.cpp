// The management controller (0xFA11).  Each card incarnation has one; it
// serves the messages of all the card's descriptors in the order they were
// posted, one at a time, and holds each reply until its descriptor fetches it.
//
// Time does not run by itself here: every request and control call first
// settles the controller, completing what is due by then and taking what
// waits, so a millisecond delay is seen as soon as anyone looks.
#include <cerrno>
#include <cstring>

#include "sim.h"

namespace nrsim {

namespace {

constexpr uint32_t RECORD_SIZE = SMC_RECORD;
constexpr uint32_t POST = SMC_POST, POLL = SMC_POLL, DROP = SMC_DROP;
constexpr size_t RESERVED_AT = SMC_RESERVED_AT, RESERVED_SIZE = SMC_RESERVED_SIZE, MESSAGE_AT = SMC_MESSAGE_AT;

Desc *desc_at(Sim &s, int fd) {
  auto it = s.descs.find(fd);
  return it == s.descs.end() ? nullptr : &it->second;
}

// The firmware's reply to message m, the index-th this incarnation took.
SmcWords answer(const Card &c, const SmcWords &m, uint32_t index) {
  uint8_t code = m[0] & 0xFF;
  if (auto it = c.smc.replies.find(code); it != c.smc.replies.end()) return it->second;
  SmcWords r{};
  switch (code) {
  case NRSIM_SMC_ECHO:
    r = m;
    r[0] = NRSIM_SMC_OK;
    break;
  case NRSIM_SMC_STATUS:
    r[0] = NRSIM_SMC_OK;
    r[1] = 1;
    r[2] = index;
    r[3] = c.number;
    break;
  default:
    r[0] = NRSIM_SMC_UNKNOWN;
    break;
  }
  return r;
}

// The controller takes message m at time `at`, under the card's settings of
// the moment.  The reply is fixed now: later changes of the card's replies
// concern later messages.
void take(Sim &s, Card &c, const Controller::Queued &m, Clock::time_point at) {
  Controller &ctl = c.life->smc;
  ctl.busy = true;
  ctl.owner = m.fd;
  ctl.words = m.words;
  ctl.index = ctl.taken_count++;
  ctl.reply = answer(c, m.words, ctl.index);
  if (Desc *d = desc_at(s, m.fd)) d->smc = Desc::Smc::Running;
  s.logs[c.number].smc.push(m.words, s.log_limit);

  const SmcConfig &cfg = c.smc;
  if (cfg.hang) {
    ctl.until = Controller::Until::Never;
  } else if (cfg.delay == SmcConfig::Delay::Polls) {
    ctl.until = Controller::Until::Polls;
    ctl.polls_left = cfg.amount;
  } else {
    ctl.until = Controller::Until::Time;
    ctl.due = at + std::chrono::milliseconds(cfg.amount);
  }
}

// Ends the running message: its reply waits for its descriptor, or is
// thrown away if that gave up on it.
void complete(Sim &s, Controller &ctl) {
  if (ctl.owner >= 0) {
    if (Desc *d = desc_at(s, ctl.owner)) {
      d->reply = ctl.reply;
      d->smc = Desc::Smc::Ready;
    }
  }
  ctl.busy = false;
  ctl.owner = -1;
}

bool reserved_zero(const uint8_t *record) {
  for (size_t i = 0; i < RESERVED_SIZE; ++i)
    if (record[RESERVED_AT + i]) return false;
  return true;
}

} // namespace

bool smc_record_is(const uint8_t *record, uint32_t flags) {
  uint32_t argsz, f;
  memcpy(&argsz, record, sizeof argsz);
  memcpy(&f, record + sizeof argsz, sizeof f);
  return argsz == RECORD_SIZE && f == flags && reserved_zero(record);
}

bool smc_ready_alone(const Card &c, const Desc &d) {
  auto fault = c.faults.find(SMC_REQUEST);
  return d.smc == Desc::Smc::Ready && d.refs == 1 && !c.removed && d.life == c.life && !d.life->retired &&
         (fault == c.faults.end() || fault->second.times == 0);
}

void smc_settle(Sim &s, Card &c) {
  Controller &ctl = c.life->smc;
  while (ctl.busy) {
    // When the message ended: the next one is taken at that moment, so its
    // own delay runs from there however late we look.
    Clock::time_point ended{};
    bool done = false;
    switch (ctl.until) {
    case Controller::Until::Polls:
      // Nobody polls for a message its descriptor gave up on.
      done = ctl.polls_left == 0 || ctl.owner < 0;
      if (done) ended = Clock::now();
      break;
    case Controller::Until::Time:
      ended = ctl.due;
      done = Clock::now() >= ctl.due;
      break;
    case Controller::Until::Never:
      done = !c.smc.hang;
      if (done) ended = Clock::now();
      break;
    }
    if (!done) return;
    complete(s, ctl);
    if (ctl.queue.empty()) return;
    Controller::Queued next = ctl.queue.front();
    ctl.queue.pop_front();
    take(s, c, next, ended);
  }
}

void smc_abandon(Sim &s, Card &c, Desc &d, int fd) {
  Controller &ctl = c.life->smc;
  if (d.smc == Desc::Smc::Queued) {
    for (auto it = ctl.queue.begin(); it != ctl.queue.end(); ++it) {
      if (it->fd == fd) {
        ctl.queue.erase(it);
        break;
      }
    }
  } else if (d.smc == Desc::Smc::Running && ctl.owner == fd) {
    ctl.owner = -1; // it runs on; its reply has nowhere to go
  }
  d.smc = Desc::Smc::Idle;
  smc_settle(s, c);
}

int smc_message(Call &c) {
  const uint8_t *rec = c.record;
  if (!rec) return -EFAULT;
  uint32_t flags;
  memcpy(&flags, rec + sizeof(uint32_t), sizeof flags);
  if (!smc_record_is(rec, flags) || (flags != POST && flags != POLL && flags != DROP)) return -EINVAL;

  smc_settle(c.sim, c.card);
  Controller &ctl = c.life.smc;
  Desc &d = c.desc;

  if (flags == DROP) {
    smc_abandon(c.sim, c.card, d, c.fd);
    return 0;
  }

  if (flags == POST) {
    if (d.smc != Desc::Smc::Idle) return -EBUSY;
    Controller::Queued m{c.fd, {}};
    memcpy(m.words.data(), rec + MESSAGE_AT, sizeof m.words);
    if (ctl.busy) {
      ctl.queue.push_back(m);
      d.smc = Desc::Smc::Queued;
    } else {
      // An idle controller takes it before the post returns.
      take(c.sim, c.card, m, Clock::now());
      smc_settle(c.sim, c.card);
    }
    return 0;
  }

  // A poll.
  switch (d.smc) {
  case Desc::Smc::Idle:
    return -ENOMSG;
  case Desc::Smc::Queued:
    return -EAGAIN;
  case Desc::Smc::Running:
    // A poll delay counts this descriptor's pending polls; the last of them
    // still answers EAGAIN, and the reply is there for the next.
    if (ctl.until == Controller::Until::Polls && ctl.owner == c.fd && ctl.polls_left > 0 &&
        --ctl.polls_left == 0)
      smc_settle(c.sim, c.card);
    return -EAGAIN;
  case Desc::Smc::Ready:
    break;
  }
  // A reply that cannot be written out stays to be fetched again.
  if (!copy_out(static_cast<char *>(c.arg) + MESSAGE_AT, d.reply.data(), sizeof d.reply)) return -EFAULT;
  d.smc = Desc::Smc::Idle;
  return 0;
}

} // namespace nrsim

namespace nrsim::ctl {

namespace {
int set_delay(uint32_t n, SmcConfig::Delay delay, unsigned amount) {
  return with_card(n, [delay, amount](Sim &s, Card &c) {
    smc_settle(s, c); // what was due under the old setting
    c.smc.delay = delay;
    c.smc.amount = amount;
    return 0;
  });
}
} // namespace

int nrsim_smc_delay_polls(uint32_t n, unsigned polls) { return set_delay(n, SmcConfig::Delay::Polls, polls); }

int nrsim_smc_delay_ms(uint32_t n, unsigned ms) { return set_delay(n, SmcConfig::Delay::Ms, ms); }

int nrsim_smc_hang(uint32_t n, int on) {
  return with_card(n, [on](Sim &s, Card &c) {
    smc_settle(s, c);
    c.smc.hang = on != 0;
    smc_settle(s, c); // turned off: the message it held completes now
    return 0;
  });
}

int nrsim_smc_set_reply(uint32_t n, uint8_t code, const uint32_t words[8]) {
  if (!words) return control_fail(EINVAL);
  return with_card(n, [code, words](Sim &s, Card &c) {
    smc_settle(s, c);
    SmcWords &r = c.smc.replies[code];
    std::copy(words, words + r.size(), r.begin());
    return 0;
  });
}

int nrsim_smc_clear_replies(uint32_t n) {
  return with_card(n, [](Sim &s, Card &c) {
    smc_settle(s, c);
    c.smc.replies.clear();
    return 0;
  });
}

int nrsim_smc_messages(uint32_t n, uint32_t (*words)[8], size_t cap) {
  Sim &s = sim();
  std::lock_guard lock(s.mu);
  // The log outlives the card; a card still present first takes what is due.
  if (auto card = s.card(n)) smc_settle(s, *card);
  auto it = s.logs.find(n);
  if (it == s.logs.end()) return 0;
  const Log *log = &it->second;
  for (size_t i = 0; i < log->smc.size() && i < cap && words; ++i) {
    const SmcWords &m = log->smc[i];
    std::copy(m.begin(), m.end(), words[i]);
  }
  return static_cast<int>(log->smc.size());
}

int nrsim_smc_queued(uint32_t n) {
  return with_card(n, [](Sim &s, Card &c) {
    smc_settle(s, c);
    return static_cast<int>(c.life->smc.queue.size());
  });
}

} // namespace nrsim::ctl
