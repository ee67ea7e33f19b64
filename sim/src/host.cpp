// The simulated host: one process that owns every card, and answers the
// processes under it over a Unix socket, as one kernel driver serves every
// process of a machine.
//
// One thread serves every connection, a request at a time, so the driver's
// rules hold across processes exactly as within one.  A blocked open holds
// no thread: it is parked, with the connection of its own it came on, until
// the card is free (or gone, or the opener gives up).  A process's main
// connection is its life here: when it closes (exit, exec, a kill), its
// descriptors are released as the kernel releases a dead process's files.
// Events of a batch are taken hang-ups first, so that a process that saw
// another exit (waitpid) never finds the dead one's descriptors still open.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <tuple>
#include <utility>

#include "host.h"
#include "real.h"
#include "sim.h"

namespace nrsim {

namespace ctl {
#define NRSIM_DECLARE(name) decltype(::nrsim_##name) nrsim_##name;
NRSIM_CONTROLS(NRSIM_DECLARE)
#undef NRSIM_DECLARE
int windows_serials(uint32_t n, uint64_t *out, size_t cap);
} // namespace ctl

namespace {

struct Conn {
  uint64_t session = 0; // 0 until its hello
  bool waiter = false;  // carries one blocked open of the session
  bool head_waits = false; // its next message, seen, waits for an answer
};

struct Parked {
  int conn;
  uint64_t session;
  int fd, flags;
  std::string path;
  Node node;
  std::shared_ptr<Card> card;
};

struct Reply {
  Answer head{};
  std::string payload;
  std::shared_ptr<Memfd> mem; // handed over with the answer
};

struct Host {
  int listener = -1, keep = -1, ep = -1;
  bool serve = false;
  std::unordered_map<int, Conn> conns;
  std::deque<Parked> parked;
  uint64_t next_session = 1;
  uint64_t seen_wakes = 0;
  bool answered = false; // since the host last waited
  // The counts that processes read (see wire.h).
  HostPage *page = nullptr;
  std::shared_ptr<Memfd> page_fd;
};

// Made on first use: the launcher's first program starts its host from a
// constructor, before this file's own globals would be made.
Host &state() {
  static Host *h = new Host;
  return *h;
}

// Is a card off the bus (a reset under way)?  Its return is a matter of time.
bool off_the_bus(const Sim &s) {
  for (const auto &[n, c] : s.cards)
    if (c->reset.away) return true;
  return false;
}

// A reset in progress keeps everyone else out, as an exclusive open does.
bool busy(const Incarnation &life, bool exclusive) {
  return life.exclusive > 0 || life.resetter >= 0 || (exclusive && life.holders > 0);
}

// Gives process p descriptor fd on a new open file.
int track(Sim &s, Session &p, int fd, Desc d) {
  s.close_fd(p, fd); // a number the process reuses was closed behind our back
  d.fd = fd;
  p.fds[fd] = s.add_desc(std::move(d));
  return 0;
}

int grant(Sim &s, Session &p, int fd, int flags, const std::string &path, const Node &node, Card &card,
          std::shared_ptr<Card> ref) {
  Desc d;
  d.kind = Desc::Kind::Device;
  d.flags = flags;
  d.exclusive = flags & O_EXCL;
  d.card = std::move(ref);
  d.life = card.life;
  d.node = node;
  d.path = path;
  ++card.life->holders;
  if (d.exclusive) ++card.life->exclusive;
  return track(s, p, fd, std::move(d));
}

// The driver's open: O_EXCL waits for sole access and then keeps everyone
// else out; O_NONBLOCK refuses with EAGAIN instead of waiting.  WOULD_BLOCK:
// the opener is to wait.
int64_t open_card(Sim &s, Session &p, int fd, int flags, const std::string &path, const Node &node,
                  int64_t stage) {
  uint32_t n = node.card;
  std::shared_ptr<Card> card = s.card(n);
  // Permissions are the filesystem's: a refused open never reaches the driver.
  if (card && card->denied) return -EACCES;
  if (stage == OPEN_TRY) {
    s.logs[n].opens.push(static_cast<uint32_t>(flags), s.log_limit);
    if (!card) return -ENOENT;
    if (int err = card->open_fault.take()) return -err;
  } else if (!card || s.driver == NRSIM_DRIVER_UNLOADED) {
    return -ENODEV;
  }
  if (busy(*card->life, flags & O_EXCL)) return flags & O_NONBLOCK ? -EAGAIN : WOULD_BLOCK;
  return grant(s, p, fd, flags, path, node, *card, card);
}

int64_t open_node(Sim &s, Session &p, int fd, int flags, const std::string &path, int64_t stage, Node *node_out) {
  Look look = lookup(s, path); // the tree may have changed since the walk
  if (look.what == Look::What::Error) return -look.err;
  if (look.what != Look::What::Found) return -ENOENT;
  const Node &node = look.node;
  *node_out = node;
  int access_mode = flags & O_ACCMODE;
  Desc d;
  d.flags = flags;
  d.node = node;
  d.path = path;
  if ((flags & O_CREAT) && (flags & O_EXCL)) return -EEXIST;
  if (flags & O_PATH) return track(s, p, fd, std::move(d));
  if ((flags & O_DIRECTORY) && !node.is_dir()) return -ENOTDIR;
  if (node.role == Node::Role::Card) return open_card(s, p, fd, flags, path, node, stage);
  if (node.role == Node::Role::Odd) return -ENXIO; // listed, but no driver behind it
  if (node.is_dir()) {
    if (access_mode != O_RDONLY) return -EISDIR;
    if (node.role == Node::Role::DevDir && s.driver == NRSIM_DRIVER_DENIED) return -EACCES;
    return track(s, p, fd, std::move(d));
  }
  // A sysfs attribute: read-only.
  if (access_mode != O_RDONLY || (flags & O_TRUNC)) return -EACCES;
  auto card = s.card(node.card);
  if (!card) return -ENOENT;
  d.kind = Desc::Kind::File;
  d.card = std::move(card);
  return track(s, p, fd, std::move(d));
}

// A read of an open file at `pos`: the bytes, or -errno.
int64_t read_desc(Desc &d, size_t n, long long pos, std::string *out) {
  switch (d.kind) {
  case Desc::Kind::Device: return -EINVAL; // the driver has no read method
  case Desc::Kind::Path: return d.node.is_dir() && !(d.flags & O_PATH) ? -EISDIR : -EBADF;
  case Desc::Kind::File: break;
  }
  if (!d.card || d.card->removed) return -ENODEV;
  std::string bytes;
  if (int r = file_bytes(*d.card, d.node.tree, d.node.name, &bytes); r < 0) return r;
  if (pos >= static_cast<long long>(bytes.size())) return 0;
  *out = bytes.substr(static_cast<size_t>(pos), std::min(n, bytes.size() - static_cast<size_t>(pos)));
  return static_cast<int64_t>(out->size());
}

int node_access(const Sim &s, const Node &n, int mode) {
  if (mode == F_OK) return 0;
  bool r = true, w = false, x = false;
  switch (n.role) {
  case Node::Role::DevDir: r = s.driver != NRSIM_DRIVER_DENIED; x = true; break;
  case Node::Role::Card: {
    auto card = s.card(n.card);
    r = w = !(card && card->denied);
    break;
  }
  case Node::Role::Odd: w = n.type != DT_DIR; x = n.type == DT_DIR; break;
  case Node::Role::File: break;
  default: x = true; break; // sysfs directories
  }
  if (((mode & R_OK) && !r) || ((mode & W_OK) && !w) || ((mode & X_OK) && !x)) return -EACCES;
  return 0;
}

int64_t list_dir(const Sim &s, const std::string &path, std::string *out) {
  Look now = lookup(s, path);
  if (now.what == Look::What::Error) return -now.err;
  if (now.what != Look::What::Found) return -ENOENT;
  const Node &n = now.node;
  if (!n.is_dir()) return -ENOTDIR;
  if (n.role == Node::Role::Odd) return -ENXIO;
  if (n.role == Node::Role::DevDir && s.driver == NRSIM_DRIVER_DENIED) return -EACCES;
  for (const auto &[name, child] : children(s, n)) {
    size_t len = std::min<size_t>(name.size(), 255);
    out->push_back(static_cast<char>(child.type));
    out->push_back(static_cast<char>(len));
    out->append(name, 0, len);
  }
  return 0;
}

Session *session_of(Sim &s, uint64_t id) {
  auto it = s.sessions.find(id);
  return it == s.sessions.end() ? nullptr : &it->second;
}

// The newest session of a process.
Session *session_by_pid(Sim &s, int64_t pid) {
  for (auto it = s.sessions.rbegin(); it != s.sessions.rend(); ++it)
    if (it->second.pid == pid) return &it->second;
  return nullptr;
}

void end_session(Sim &s, uint64_t id) {
  Session *p = session_of(s, id);
  if (!p) return;
  while (!p->fds.empty()) s.close_fd(*p, p->fds.begin()->first);
  s.sessions.erase(id);
}

bool answer(int conn, const Reply &r) {
  Answer head = r.head;
  head.len = static_cast<uint32_t>(r.payload.size());
  return send_message(conn, &head, sizeof head, r.payload.data(), r.payload.size(), r.mem ? r.mem->fd() : -1);
}

void unpark(Sim &s, std::deque<Parked>::iterator it) {
  if (--s.waiting[it->card->number] <= 0) s.waiting.erase(it->card->number);
  state().parked.erase(it);
}

// Blocked opens look again, first come first served.
void wake_parked(Sim &s) {
  for (auto it = state().parked.begin(); it != state().parked.end();) {
    Card &card = *it->card;
    int64_t r;
    Session *p = session_of(s, it->session);
    // A card that went away (or a driver that did) fails its waiters.
    if (card.removed || s.driver == NRSIM_DRIVER_UNLOADED || !p) r = -ENODEV;
    else if (busy(*card.life, it->flags & O_EXCL)) r = WOULD_BLOCK;
    else r = grant(s, *p, it->fd, it->flags, it->path, it->node, card, it->card);
    if (r == WOULD_BLOCK) {
      ++it;
      continue;
    }
    Reply reply;
    reply.head.ret = r;
    answer(it->conn, reply);
    unpark(s, it);
    it = state().parked.begin(); // a grant may change what the others see
  }
}

// ---- controls ---------------------------------------------------------------

template <typename R, typename... P, size_t... I>
int64_t invoke_with(R (*f)(P...), const int64_t *a, std::index_sequence<I...>) {
  return static_cast<int64_t>(f(static_cast<P>(a[I])...));
}

// Calls a control whose arguments are all numbers.
template <typename R, typename... P> int64_t invoke(R (*f)(P...), const int64_t *a) {
  static_assert(sizeof...(P) <= 6);
  return invoke_with(f, a, std::index_sequence_for<P...>{});
}

// The slice [a[0], a[0] + a[1]) of a list a control writes; returns its
// whole length.
template <typename T, typename F> int64_t slice(const int64_t *a, std::string *out, F fill) {
  int total = fill(static_cast<T *>(nullptr), size_t{0});
  if (total < 0) return total;
  std::vector<T> all(static_cast<size_t>(total) + 1);
  total = fill(all.data(), all.size());
  if (total < 0) return total;
  size_t from = static_cast<size_t>(std::max<int64_t>(a[0], 0));
  size_t count = static_cast<size_t>(std::max<int64_t>(a[1], 0));
  count = std::min({count, CHUNK / sizeof(T), static_cast<size_t>(total) > from ? total - from : 0});
  out->assign(reinterpret_cast<const char *>(all.data() + from), count * sizeof(T));
  return total;
}

const char *text_arg(const std::string &payload, int64_t present) {
  return present ? payload.c_str() : nullptr;
}

int64_t control(Op op, const int64_t *a, const std::string &in, Reply &r) {
  std::string &out = r.payload;
  switch (op) {
  case Op::C_devices: {
    int64_t sl[2] = {a[0], a[1]};
    return slice<uint32_t>(sl, &out, [](uint32_t *ids, size_t cap) { return ctl::nrsim_devices(ids, cap); });
  }
  case Op::C_add: return ctl::nrsim_add(static_cast<uint16_t>(a[0]), text_arg(in, a[1]));
  case Op::C_add_at:
    return ctl::nrsim_add_at(static_cast<uint32_t>(a[0]), static_cast<uint16_t>(a[1]), text_arg(in, a[2]));
  case Op::C_identity: {
    struct nrsim_identity id{};
    int64_t ret = ctl::nrsim_identity(static_cast<uint32_t>(a[0]), &id);
    out.assign(reinterpret_cast<const char *>(&id), sizeof id);
    return ret;
  }
  case Op::C_set_identity: {
    struct nrsim_identity id{};
    if (in.size() != sizeof id) return control_fail(EINVAL);
    memcpy(&id, in.data(), sizeof id);
    return ctl::nrsim_set_identity(static_cast<uint32_t>(a[0]), &id);
  }
  case Op::C_add_entry: return ctl::nrsim_add_entry(text_arg(in, a[1]), static_cast<int>(a[0]));
  case Op::C_remove_entry: return ctl::nrsim_remove_entry(text_arg(in, a[0]));
  case Op::C_opens: {
    auto n = static_cast<uint32_t>(a[0]);
    return slice<uint32_t>(a + 1, &out, [n](uint32_t *f, size_t cap) { return ctl::nrsim_opens(n, f, cap); });
  }
  case Op::C_request: {
    uint32_t number = 0;
    uint8_t bytes[MAX_RECORD];
    long size = ctl::nrsim_request(static_cast<uint32_t>(a[0]), static_cast<size_t>(a[1]), &number, bytes,
                                   sizeof bytes);
    if (size < 0) return size;
    out.assign(reinterpret_cast<const char *>(&number), sizeof number);
    out.append(reinterpret_cast<const char *>(bytes), static_cast<size_t>(size));
    return size;
  }
  case Op::C_requests: {
    size_t cap = std::min(static_cast<size_t>(std::max<int64_t>(a[2], 0)), CHUNK / sizeof(struct nrsim_request));
    std::vector<struct nrsim_request> got(cap);
    int total = ctl::nrsim_requests(static_cast<uint32_t>(a[0]), static_cast<size_t>(a[1]), got.data(), cap);
    if (total >= 0) {
      size_t first = static_cast<size_t>(a[1]), all = static_cast<size_t>(total);
      size_t n = std::min(cap, all > first ? all - first : size_t{0});
      out.assign(reinterpret_cast<const char *>(got.data()), n * sizeof(struct nrsim_request));
    }
    return total;
  }
  case Op::C_smc_set_reply: {
    uint32_t words[8];
    if (in.size() != sizeof words) return control_fail(EINVAL);
    memcpy(words, in.data(), sizeof words);
    return ctl::nrsim_smc_set_reply(static_cast<uint32_t>(a[0]), static_cast<uint8_t>(a[1]), words);
  }
  case Op::C_smc_messages: {
    auto n = static_cast<uint32_t>(a[0]);
    using Words = uint32_t[8];
    struct Msg {
      Words w;
    };
    return slice<Msg>(a + 1, &out, [n](Msg *m, size_t cap) {
      return ctl::nrsim_smc_messages(n, m ? reinterpret_cast<Words *>(m->w) : nullptr, cap);
    });
  }
  case Op::C_mem_read:
  case Op::C_mem_write: {
    // a: card, x, y, addr of this piece, first addr, whole length.
    auto n = static_cast<uint32_t>(a[0]);
    auto x = static_cast<uint8_t>(a[1]), y = static_cast<uint8_t>(a[2]);
    auto addr = static_cast<uint64_t>(a[3]);
    if (!noc_range_valid(static_cast<uint64_t>(a[4]), static_cast<uint64_t>(a[5]))) {
      // The whole range is checked once, so that no piece lands before a refusal.
      if (!sim().card(n)) return control_fail(ENODEV);
      return control_fail(EINVAL);
    }
    if (op == Op::C_mem_write) return ctl::nrsim_mem_write(n, x, y, addr, in.data(), in.size());
    size_t len = std::min(static_cast<size_t>(a[5]), CHUNK);
    out.resize(len);
    return ctl::nrsim_mem_read(n, x, y, addr, out.data(), len);
  }
  case Op::C_windows: {
    struct Entry {
      nrsim_window w;
      uint64_t serial;
    };
    auto n = static_cast<uint32_t>(a[0]);
    return slice<Entry>(a + 1, &out, [n](Entry *e, size_t cap) {
      std::vector<nrsim_window> w(cap);
      std::vector<uint64_t> serials(cap);
      int total = ctl::nrsim_windows(n, w.data(), cap);
      if (total < 0 || !e) return total;
      ctl::windows_serials(n, serials.data(), cap);
      for (size_t i = 0; i < cap && i < static_cast<size_t>(total); ++i) e[i] = {w[i], serials[i]};
      return total;
    });
  }
  case Op::C_telem_get: {
    uint32_t v = 0;
    int64_t ret = ctl::nrsim_telem_get(static_cast<uint32_t>(a[0]), static_cast<uint16_t>(a[1]), &v);
    out.assign(reinterpret_cast<const char *>(&v), sizeof v);
    return ret;
  }
  case Op::C_telem_table: {
    size_t count = in.size() / sizeof(nrsim_telem_entry);
    std::vector<nrsim_telem_entry> e(count);
    if (count) memcpy(e.data(), in.data(), count * sizeof(nrsim_telem_entry));
    return ctl::nrsim_telem_table(static_cast<uint32_t>(a[0]), count ? e.data() : nullptr, count,
                                  static_cast<uint32_t>(a[1]));
  }
  case Op::C_power: {
    uint16_t v = 0;
    int64_t ret = ctl::nrsim_power(static_cast<uint32_t>(a[0]), &v);
    out.assign(reinterpret_cast<const char *>(&v), sizeof v);
    return ret;
  }
  case Op::C_set_fw_version: return ctl::nrsim_set_fw_version(static_cast<uint32_t>(a[0]), text_arg(in, a[1]));
#define NRSIM_NUMBERS(name)                                                                                        \
  case Op::C_##name: return invoke(ctl::nrsim_##name, a);
    NRSIM_NUMBERS(remove) NRSIM_NUMBERS(sever) NRSIM_NUMBERS(reset) NRSIM_NUMBERS(open_count)
    NRSIM_NUMBERS(waiting) NRSIM_NUMBERS(set_driver) NRSIM_NUMBERS(fail) NRSIM_NUMBERS(deny)
    NRSIM_NUMBERS(fail_open) NRSIM_NUMBERS(set_log_limit) NRSIM_NUMBERS(request_count) NRSIM_NUMBERS(clear_log)
    NRSIM_NUMBERS(smc_delay_polls) NRSIM_NUMBERS(smc_delay_ms) NRSIM_NUMBERS(smc_hang)
    NRSIM_NUMBERS(smc_clear_replies) NRSIM_NUMBERS(smc_queued) NRSIM_NUMBERS(telem_period)
    NRSIM_NUMBERS(telem_set) NRSIM_NUMBERS(telem_pointers) NRSIM_NUMBERS(telem_restore)
    NRSIM_NUMBERS(reset_mode) NRSIM_NUMBERS(reset_away_ms) NRSIM_NUMBERS(reset_result)
    NRSIM_NUMBERS(reset_count) NRSIM_NUMBERS(set_kmd_version) NRSIM_NUMBERS(list_descending)
#undef NRSIM_NUMBERS
  default: return control_fail(ENOSYS);
  }
}

// ---- requests -----------------------------------------------------------------

// A driver request on the record a process sent (`in`), as its memory held
// it; what the driver wrote is in *rec.
int64_t run_request(Sim &s, int id, Desc &d, uint32_t request, const std::string &in, bool readable, bool writable,
                    Record *rec, Backing *moved) {
  rec->size = std::min(in.size(), sizeof rec->bytes);
  memcpy(rec->bytes, in.data(), rec->size);
  rec->readable = readable;
  rec->writable = writable;
  set_record(rec);
  int64_t ret = driver_request(s, id, d, request, rec->bytes, moved);
  set_record(nullptr);
  return ret;
}

// Answers one message; false: nothing to answer now (a parked open).
// Lock held; a control takes it itself.
bool serve(std::unique_lock<std::mutex> &lock, Sim &s, int cfd, Conn &c, const Ask &ask, const std::string &in,
           Reply &r) {
  const int64_t *a = ask.a;
  int64_t &ret = r.head.ret;
  if (ask.op == Op::Hello) {
    if (a[2] != 0) {
      c.session = static_cast<uint64_t>(a[2]);
      c.waiter = true;
      ret = session_of(s, c.session) ? 0 : -ENODEV;
      return true;
    }
    uint64_t id = state().next_session++;
    Session &p = s.sessions[id];
    p.pid = static_cast<pid_t>(a[0]);
    // A forked child shares its parent's open files, as the kernel's fork does.
    if (Session *parent = a[1] ? session_by_pid(s, a[1]) : nullptr) {
      for (size_t i = 0; i + sizeof(int32_t) <= in.size(); i += sizeof(int32_t)) {
        int32_t fd;
        memcpy(&fd, in.data() + i, sizeof fd);
        auto it = parent->fds.find(fd);
        if (it == parent->fds.end()) continue;
        p.fds[fd] = it->second;
        ++s.descs.at(it->second).refs;
      }
    }
    c.session = id;
    ret = static_cast<int64_t>(id);
    r.mem = state().page_fd;
    return true;
  }
  Session *p = session_of(s, c.session);
  if (!p) {
    ret = -ENODEV;
    return true;
  }
  auto desc = [&](int64_t fd) -> std::pair<int, Desc *> {
    auto it = p->fds.find(static_cast<int>(fd));
    if (it == p->fds.end()) return {-1, nullptr};
    auto d = s.descs.find(it->second);
    return {it->second, d == s.descs.end() ? nullptr : &d->second};
  };
  switch (ask.op) {
  case Op::Lookup: {
    Look l = lookup(s, in);
    if (l.what == Look::What::Error) {
      ret = -l.err;
    } else if (l.what == Look::What::Found) {
      ret = 1;
      r.head.b[0] = static_cast<int64_t>(l.node.role);
      r.head.b[1] = l.node.type;
      r.head.b[2] = l.node.card;
      r.head.b[3] = static_cast<int64_t>(l.node.tree);
      r.payload = l.node.name;
    }
    return true;
  }
  case Op::Open: {
    Node node;
    int flags = static_cast<int>(a[1]);
    ret = open_node(s, *p, static_cast<int>(a[0]), flags, in, a[2], &node);
    if (ret == WOULD_BLOCK && a[2] == OPEN_WAIT) {
      state().parked.push_back({cfd, c.session, static_cast<int>(a[0]), flags, in, node, s.card(node.card)});
      ++s.waiting[node.card];
      return false;
    }
    if (a[2] == OPEN_TOLD) {
      // Opened with bytes kept while the tree was as it was then: a file
      // that went since was opened before it went, and reads as one.
      if (ret < 0) track(s, *p, static_cast<int>(a[0]), Desc{.kind = Desc::Kind::File, .flags = flags, .path = in});
      return true;
    }
    // A file's bytes come with its open (take() says whether they hold).
    auto [id, d] = desc(a[0]);
    if (ret >= 0 && d && d->kind == Desc::Kind::File) {
      int64_t n = read_desc(*d, CONTENT_MAX + 1, 0, &r.payload);
      if (n >= 0 && n <= static_cast<int64_t>(CONTENT_MAX)) r.head.flags |= ANSWER_CONTENT;
      else r.payload.clear();
    }
    return true;
  }
  case Op::Cancel:
    for (auto it = state().parked.begin(); it != state().parked.end(); ++it) {
      if (it->conn == cfd) {
        unpark(s, it);
        ret = -EINTR;
        return true;
      }
    }
    return false; // answered already
  case Op::Close:
    for (size_t i = 0; i + sizeof(int32_t) <= in.size(); i += sizeof(int32_t)) {
      int32_t fd;
      memcpy(&fd, in.data() + i, sizeof fd);
      s.close_fd(*p, fd);
    }
    return true; // take() leaves a close told without waiting unanswered
  case Op::Ioctl: {
    auto [id, d] = desc(a[0]);
    if (!d) {
      ret = -ENODEV;
      return true;
    }
    Record rec;
    Backing moved;
    ret = run_request(s, id, *d, static_cast<uint32_t>(a[1]), in, a[2] != 0, a[3] != 0, &rec, &moved);
    if (a[1] == SMC_REQUEST && ret == 0 && smc_record_is(rec.bytes, SMC_POST) && smc_ready_alone(*d->card, *d)) {
      r.head.flags |= ANSWER_OFFER;
      std::copy(d->reply.begin(), d->reply.end(), r.head.reply);
      r.head.as_of = state().page->epoch.load(std::memory_order_relaxed);
    }
    if (rec.hi > rec.lo) {
      r.head.b[0] = static_cast<int64_t>(rec.lo);
      r.payload.assign(reinterpret_cast<const char *>(rec.bytes + rec.lo), rec.hi - rec.lo);
    }
    if (moved.mem) {
      r.mem = moved.mem;
      r.head.b[1] = static_cast<int64_t>(moved.base);
      r.head.b[2] = static_cast<int64_t>(moved.serial);
      r.head.b[3] = moved.mcast;
    }
    return true;
  }
  case Op::Mmap: {
    auto [id, d] = desc(a[0]);
    Backing b;
    int err = !d ? ENODEV
              : d->kind != Desc::Kind::Device
                  ? ENODEV
                  : driver_mmap(s, *d, id, static_cast<size_t>(a[1]), static_cast<int>(a[2]), static_cast<int>(a[3]),
                                a[4], &b);
    ret = -err;
    if (!err) {
      r.mem = b.mem;
      r.head.b[1] = static_cast<int64_t>(b.base);
      r.head.b[2] = static_cast<int64_t>(b.serial);
      r.head.b[3] = b.mcast;
    }
    return true;
  }
  case Op::Polled: {
    // The process answered it: the driver does the same, unanswered.
    auto [id, d] = desc(a[0]);
    Record rec;
    if (d && in.size() == SMC_RECORD) run_request(s, id, *d, SMC_REQUEST, in, true, true, &rec, nullptr);
    return true; // take() leaves it unanswered
  }
  case Op::Replicate: tlb_unmapped(s, static_cast<uint64_t>(a[0]), a[1] != 0); return true;
  case Op::Read: {
    auto [id, d] = desc(a[0]);
    ret = d ? read_desc(*d, std::min(static_cast<size_t>(a[1]), CHUNK), a[2], &r.payload) : -ENODEV;
    return true;
  }
  case Op::List: ret = list_dir(s, in, &r.payload); return true;
  case Op::Access: {
    Look l = lookup(s, in);
    ret = l.what == Look::What::Error ? -l.err
          : l.what != Look::What::Found ? -ENOENT
                                         : node_access(s, l.node, static_cast<int>(a[0]));
    return true;
  }
  case Op::FdPath: {
    ret = -ENOENT;
    if (Session *q = session_by_pid(s, a[0])) {
      auto it = q->fds.find(static_cast<int>(a[1]));
      if (it != q->fds.end()) {
        r.payload = s.descs.at(it->second).path;
        ret = 0;
      }
    }
    return true;
  }
  default: {
    lock.unlock();
    errno = 0;
    int64_t v = control(ask.op, a, in, r);
    ret = v < 0 ? -(errno ? errno : EIO) : v;
    lock.lock();
    return true;
  }
  }
}

void drop(Sim &s, int cfd) {
  auto it = state().conns.find(cfd);
  if (it == state().conns.end()) return;
  Conn c = it->second;
  state().conns.erase(it);
  state().page->epoch.fetch_add(1, std::memory_order_seq_cst);
  state().page->tree.fetch_add(1, std::memory_order_seq_cst); // a reset it began may end with it
  epoll_ctl(state().ep, EPOLL_CTL_DEL, cfd, nullptr);
  raw_close(cfd);
  if (c.waiter) {
    for (auto p = state().parked.begin(); p != state().parked.end(); ++p) {
      if (p->conn == cfd) {
        unpark(s, p);
        break;
      }
    }
  } else {
    end_session(s, c.session);
  }
}

void take_told(std::unique_lock<std::mutex> &lock, Sim &s, int except);

constexpr int64_t RESET_REQUEST = 0xFA06;

// A message that the process sent without waiting for its answer.
bool one_way(const Ask &ask) {
  return ask.op == Op::Polled || (ask.op == Op::Close && ask.a[0] == UNANSWERED) ||
         (ask.op == Op::Open && ask.a[2] == OPEN_TOLD);
}

// Answers the next message of a connection; false if there was none (or
// the connection ended).
bool take(std::unique_lock<std::mutex> &lock, Sim &s, int cfd) {
  static std::string buf(MAX_MESSAGE, '\0');
  int passed = -1;
  ssize_t n = recv_message(cfd, buf.data(), buf.size(), &passed);
  if (passed >= 0) raw_close(passed);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (n < static_cast<ssize_t>(sizeof(Ask))) {
    drop(s, cfd);
    return false;
  }
  Ask ask;
  memcpy(&ask, buf.data(), sizeof ask);
  state().conns[cfd].head_waits = false;
  std::string in(buf.data() + sizeof ask, static_cast<size_t>(n) - sizeof ask);
  bool unanswered = one_way(ask);
  // A poll that the process answered itself leaves the epoch as it was:
  // the process knows what it changed.
  if (ask.op != Op::Polled) state().page->epoch.fetch_add(1, std::memory_order_seq_cst);
  // Whatever this message does, and whatever it asks, comes after what
  // other processes sent without waiting before it was sent.
  if (!unanswered) take_told(lock, s, cfd);
  Reply r;
  Conn c = state().conns[cfd];
  bool unsteady = off_the_bus(s);
  bool now = serve(lock, s, cfd, c, ask, in, r) && !unanswered;
  if (unsteady || off_the_bus(s) || ask.op >= Op::C_devices || (ask.op == Op::Ioctl && ask.a[1] == RESET_REQUEST))
    state().page->tree.fetch_add(1, std::memory_order_seq_cst);
  else if (ask.op == Op::Lookup || ask.op == Op::List || (r.head.flags & ANSWER_CONTENT)) {
    r.head.flags |= ANSWER_STEADY;
    r.head.as_of = state().page->tree.load(std::memory_order_relaxed);
  }
  if (auto it = state().conns.find(cfd); it != state().conns.end()) it->second = c;
  if (now && !answer(cfd, r)) {
    drop(s, cfd);
    return false;
  }
  if (now || unanswered) state().answered = true; // more may follow at once
  return true;
}

// Takes the one-way messages waiting at the head of every connection but
// `except`.  A process that learnt of such a message (a close, a poll), by
// any means, learnt of it after it was sent: so it is in its connection
// now, behind nothing that waits for an answer.
void take_told(std::unique_lock<std::mutex> &lock, Sim &s, int except) {
  if (state().conns.size() < 2) return;
  auto drain = [&](int fd) {
    for (;;) {
      auto it = state().conns.find(fd);
      Ask head;
      if (fd == except || it == state().conns.end() || it->second.head_waits ||
          recv(fd, &head, sizeof head, MSG_PEEK | MSG_DONTWAIT) != sizeof head)
        return;
      if (!one_way(head)) {
        it->second.head_waits = true; // looked at once only, however long it waits
        return;
      }
      if (!take(lock, s, fd)) return;
    }
  };
  constexpr int MAX_EVENTS = 256;
  epoll_event events[MAX_EVENTS];
  int n = epoll_wait(state().ep, events, MAX_EVENTS, 0);
  if (n < MAX_EVENTS) {
    for (int i = 0; i < n; ++i) drain(events[i].data.fd);
    return;
  }
  std::vector<int> all; // more are ready than it says: look at every connection
  for (const auto &[fd, conn] : state().conns) all.push_back(fd);
  for (int fd : all) drain(fd);
}

// Waits a little for the next message from any process, without taking
// it: the main loop takes it, hang-ups first.  Longer than a process's
// spin (SPIN_NS): a program works between its requests (a tool formats
// what it read, a library maps a window), and a host that went to sleep
// meanwhile must be woken, which on a busy machine costs more than the
// request.
constexpr long LINGER_NS = 100000;
void linger() {
  long long until = now_ns() + LINGER_NS;
  epoll_event ev;
  while (now_ns() < until) {
    if (epoll_wait(state().ep, &ev, 1, 0) != 0) return;
    sched_yield(); // a process may be waiting for this CPU
  }
}

void add_conn(int fd) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.fd = fd;
  if (epoll_ctl(state().ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
    raw_close(fd);
    return;
  }
  state().conns[fd] = Conn{};
}

[[noreturn]] void run() {
  Sim &s = sim();
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = state().listener;
  epoll_ctl(state().ep, EPOLL_CTL_ADD, state().listener, &ev);
  if (state().keep >= 0) {
    ev.data.fd = state().keep;
    epoll_ctl(state().ep, EPOLL_CTL_ADD, state().keep, &ev);
  }
  {
    std::lock_guard lock(s.mu);
    telem_start(s);
  }
  constexpr int MAX_EVENTS = 256;
  epoll_event events[MAX_EVENTS];
  for (;;) {
    int n = epoll_wait(state().ep, events, MAX_EVENTS, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      _exit(1);
    }
    std::unique_lock lock(s.mu);
    // Hang-ups first: a process that saw another exit must find it gone.
    // What the dead one sent before it went is answered (into the void).
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == state().listener) continue;
      if (fd == state().keep) {
        if (events[i].events & (EPOLLHUP | EPOLLERR | EPOLLIN)) {
          epoll_ctl(state().ep, EPOLL_CTL_DEL, state().keep, nullptr);
          raw_close(state().keep);
          state().keep = -1;
        }
        continue;
      }
      if (events[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) {
        while (state().conns.count(fd) && take(lock, s, fd)) {
        }
        drop(s, fd);
      }
    }
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == state().listener) {
        for (;;) {
          int c = accept4(state().listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (c < 0) break;
          add_conn(c);
        }
        continue;
      }
      if (fd == state().keep || !state().conns.count(fd)) continue;
      if (events[i].events & EPOLLIN) take(lock, s, fd);
      if (events[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) drop(s, fd);
    }
    if (s.wakes != state().seen_wakes) {
      state().seen_wakes = s.wakes;
      wake_parked(s);
    }
    // The host ends with the process tree it was started for.
    if (!state().serve && state().keep < 0 && state().conns.empty()) _exit(0);
    if (std::exchange(state().answered, false)) {
      lock.unlock();
      linger();
    }
  }
}

// Names the host for ps and pgrep: its command line is its parent's until
// rewritten in place.
void rename(char **argv) {
  prctl(PR_SET_NAME, "nrsim-host", 0, 0, 0);
  if (!argv || !argv[0]) return;
  char *start = argv[0], *end = argv[0] + strlen(argv[0]);
  for (int i = 1; argv[i] && argv[i] == end + 1; ++i) end = argv[i] + strlen(argv[i]);
  size_t room = static_cast<size_t>(end - start);
  const char title[] = "nrsim-host";
  if (room < sizeof title - 1) return;
  memset(start, 0, room);
  memcpy(start, title, sizeof title - 1);
}

} // namespace

void host_main(int listener, int keep, bool serve, char **argv) {
  state().listener = listener;
  state().keep = keep;
  state().serve = serve;
  rename(argv);
  // A descriptor per connection and per piece of device memory: as many as
  // the system lets the host have.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // The host outlives interrupts meant for the programs at the terminal; it
  // ends with them (or, serving, when told to).
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  if (serve) signal(SIGHUP, SIG_IGN);
  // Only what the host uses stays open: a pipe the programs read to their
  // end must not be kept open by the state().
  int null = raw_open_null(O_RDWR);
  dup2(null, 0);
  dup2(null, 1);
  if (serve) dup2(null, 2);
  int keep_at = 3, listen_at = 4;
  if (keep >= 0) state().keep = fcntl(keep, F_DUPFD_CLOEXEC, 10);
  state().listener = fcntl(listener, F_DUPFD_CLOEXEC, 10);
  int high_keep = state().keep, high_listen = state().listener;
  if (high_keep >= 0) dup3(high_keep, keep_at, O_CLOEXEC);
  dup3(high_listen, listen_at, O_CLOEXEC);
  syscall(SYS_close_range, 5u, ~0u, 0);
  state().keep = high_keep >= 0 ? keep_at : -1;
  state().listener = listen_at;
  if (state().keep < 0) raw_close(keep_at);
  state().ep = epoll_create1(EPOLL_CLOEXEC);
  // Not named nrsim-...: tools count a process's window mappings by that name.
  int page = memfd_create("simulated host counts", MFD_CLOEXEC);
  void *at = page >= 0 && ftruncate(page, sizeof(HostPage)) == 0
                 ? real().mmap(nullptr, sizeof(HostPage), PROT_READ | PROT_WRITE, MAP_SHARED, page, 0)
                 : MAP_FAILED;
  if (at == MAP_FAILED) _exit(1);
  state().page = new (at) HostPage{};
  state().page_fd = std::make_shared<Memfd>(page);
  fcntl(state().listener, F_SETFL, O_NONBLOCK);
  run();
}

} // namespace nrsim
