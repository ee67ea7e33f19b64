// A process's side of the simulated host.
//
// Every process under a launcher shares one host (host.cpp): the first one
// the launcher starts (NRSIM_LAUNCH set) starts it before its main, and
// hands its address on in NRSIM_HOST to everything started after it.  A
// process given no host starts one of its own the first time it touches a
// simulated place.  The host lives while any process holds a copy of the
// keep-alive pipe made with it, or a connection to it.
//
// Each process talks to the host over one connection, a request at a time;
// a blocked open waits on a connection of its own, so that the others' work
// goes on and a signal can end the wait.  If the host cannot be reached,
// every request fails with ENODEV, as on a card that was pulled.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "client.h"
#include "host.h"
#include "real.h"
#include "sim.h"

namespace nrsim {

namespace {

std::atomic<Client *> made{nullptr};
char **saved_argv = nullptr;
// Set while this process forks a host: the fork handlers leave the client
// alone (its lock may be held by the very thread that forks).
std::atomic<bool> starting{false};
std::string *host_address = nullptr; // of a host this process started for itself

// Keeps the process's own descriptors out of the way of the program's: the
// lowest free number from here up.
int high_fd(int fd, bool cloexec) {
  rlimit lim{};
  int base = 100;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur >= 64)
    base = static_cast<int>(std::min<rlim_t>(lim.rlim_cur / 2, 900));
  int moved = fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, base);
  if (moved < 0) return fd;
  raw_close(fd);
  return moved;
}

sockaddr_un address_of(const std::string &name, socklen_t *len) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  // "@name" is abstract: nothing in the filesystem to clean up.
  std::string path = name;
  if (!path.empty() && path[0] == '@') path[0] = '\0';
  size_t n = std::min(path.size(), sizeof a.sun_path);
  memcpy(a.sun_path, path.data(), n);
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  return a;
}

// Starts a host; returns its address ("" on failure).  With `inherit`, the
// keep-alive pipe's write end is left to the programs started from here
// (the launcher's case); `*host_pid` gets the host's process id.
std::string start_host(bool serve, bool inherit, pid_t *host_pid) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  char name[64];
  snprintf(name, sizeof name, "@nrsim-%d-%lx", static_cast<int>(getpid()),
           static_cast<unsigned long>(now.tv_nsec ^ now.tv_sec << 20));
  socklen_t len;
  sockaddr_un a = address_of(name, &len);
  int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listener < 0) return "";
  int keep[2] = {-1, -1};
  int report[2] = {-1, -1};
  if (bind(listener, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(listener, 128) != 0 ||
      pipe2(keep, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    raw_close(listener);
    return "";
  }
  // Twice forked, so that the host is no child the program has to reap.
  starting.store(true);
  pid_t first = fork();
  if (first == 0) {
    pid_t second = fork();
    if (second == 0) {
      raw_close(keep[1]);
      raw_close(report[0]);
      pid_t self = getpid();
      ssize_t w = write(report[1], &self, sizeof self);
      (void)w;
      raw_close(report[1]);
      if (serve) setsid();
      host_main(listener, serve ? -1 : keep[0], serve, saved_argv);
    }
    _exit(second < 0 ? 1 : 0);
  }
  starting.store(false);
  raw_close(listener);
  raw_close(keep[0]);
  raw_close(report[1]);
  pid_t host = -1;
  if (first > 0) {
    int status;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    if (real().read(report[0], &host, sizeof host) != sizeof host) host = -1;
  }
  raw_close(report[0]);
  if (host <= 0) {
    raw_close(keep[1]);
    return "";
  }
  if (host_pid) *host_pid = host;
  if (serve) raw_close(keep[1]);
  else high_fd(keep[1], !inherit); // held for the life of this process (and, inherited, its children)
  return name;
}

// The host's page, mapped once for the life of the process.
const HostPage *page = nullptr;

// Hello to the host on a fresh connection; the connection, or -1.
int connect_host(const std::string &where, int64_t wait_session, pid_t parent, const std::vector<int32_t> &fds,
                 int64_t *session) {
  socklen_t len;
  sockaddr_un a = address_of(where, &len);
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  if (connect(s, reinterpret_cast<sockaddr *>(&a), len) != 0) {
    raw_close(s);
    return -1;
  }
  s = high_fd(s, true);
  Ask ask{};
  ask.op = Op::Hello;
  ask.a[0] = getpid();
  ask.a[1] = parent;
  ask.a[2] = wait_session;
  ask.len = static_cast<uint32_t>(fds.size() * sizeof(int32_t));
  char buf[sizeof(Answer) + 64];
  int passed = -1;
  ssize_t n;
  if (!send_message(s, &ask, sizeof ask, fds.data(), ask.len, -1)) n = -1;
  else
    while ((n = recv_message(s, buf, sizeof buf, &passed)) < 0 && errno == EINTR) {
    }
  Answer head{};
  if (n >= static_cast<ssize_t>(sizeof head)) memcpy(&head, buf, sizeof head);
  if (passed >= 0) {
    if (!page) {
      void *at = real().mmap(nullptr, sizeof(HostPage), PROT_READ, MAP_SHARED, passed, 0);
      if (at != MAP_FAILED) page = static_cast<const HostPage *>(at);
    }
    raw_close(passed);
  }
  if (n < static_cast<ssize_t>(sizeof head) || head.ret < 0) {
    raw_close(s);
    return -1;
  }
  if (session) *session = head.ret;
  return s;
}

// Where this process's host is; starts one of its own if it has none.
std::string host_of() {
  if (const char *env = getenv("NRSIM_HOST"); env && *env) return env;
  if (!host_address) host_address = new std::string(start_host(false, false, nullptr));
  return *host_address;
}

int64_t session_id = 0;

bool ensure_connected(Client &c) {
  if (c.conn >= 0) return true;
  if (c.gone) return false;
  std::vector<int32_t> inherited;
  if (c.parent)
    for (const auto &[fd, l] : c.fds) inherited.push_back(fd);
  c.conn = connect_host(host_of(), 0, c.parent, inherited, &session_id);
  c.parent = 0;
  if (c.conn < 0) c.gone = true;
  return c.conn >= 0;
}

bool exchange(int sock, const Ask &ask, const void *payload, Reply *reply) {
  static thread_local std::string buf;
  buf.resize(MAX_MESSAGE);
  if (!send_message(sock, &ask, sizeof ask, payload, ask.len, -1)) return false;
  ssize_t n;
  int passed;
  long long until = now_ns() + SPIN_NS;
  while ((n = recv_message(sock, buf.data(), buf.size(), &passed, MSG_DONTWAIT)) < 0 && errno == EAGAIN &&
         now_ns() < until) {
    sched_yield(); // the host may be waiting for this CPU
  }
  if (n < 0 && errno == EAGAIN)
    while ((n = recv_message(sock, buf.data(), buf.size(), &passed)) < 0 && errno == EINTR) {
    }
  if (n < static_cast<ssize_t>(sizeof(Answer))) {
    if (passed >= 0) raw_close(passed);
    return false;
  }
  memcpy(&reply->head, buf.data(), sizeof reply->head);
  reply->payload.assign(buf.data() + sizeof(Answer), static_cast<size_t>(n) - sizeof(Answer));
  reply->fd = passed;
  return true;
}

Ask make_ask(Op op, std::initializer_list<int64_t> args, size_t len) {
  Ask ask{};
  ask.op = op;
  ask.len = static_cast<uint32_t>(len);
  size_t i = 0;
  for (int64_t v : args) ask.a[i++] = v;
  return ask;
}

// A fork's child must hold its parent's descriptors before the parent can
// close them: the child says hello from its fork handler, and the parent's
// fork returns only once it has (or the child is gone).  A process holding
// nothing forks without the wait.
int fork_pipe[2] = {-1, -1};

void before_fork() {
  if (starting.load()) return;
  Client &c = client();
  c.mu.lock();
  if (c.conn < 0 || c.fds.empty() || syscall(SYS_pipe2, fork_pipe, O_CLOEXEC) != 0) fork_pipe[0] = fork_pipe[1] = -1;
}
void after_fork_parent() {
  if (starting.load()) return;
  if (fork_pipe[0] >= 0) {
    raw_close(fork_pipe[1]);
    char done;
    // Past the wrappers: the lock they may take is held here.
    while (syscall(SYS_read, fork_pipe[0], &done, 1) < 0 && errno == EINTR) {
    }
    raw_close(fork_pipe[0]);
  }
  client().mu.unlock();
}
void after_fork_child() {
  if (starting.load()) return;
  Client &c = client();
  pid_t parent = c.pid;
  c.pid = getpid();
  new (&c.mu) std::mutex;
  c.offer.fd = -1;
  // The parent's connection is the parent's: the child says hello on its
  // own, and shares its parent's open files as a fork does.
  if (c.conn >= 0) {
    raw_close(c.conn);
    c.conn = -1;
    c.parent = parent;
  }
  if (fork_pipe[0] >= 0) {
    raw_close(fork_pipe[0]);
    KeepErrno keep;
    ensure_connected(c);
    raw_close(fork_pipe[1]); // the parent reads the end of the pipe
  }
}

} // namespace

Client &client() {
  // Never destroyed: descriptors may be closed by other libraries' exit code.
  static Client *c = [] {
    auto *p = new Client();
    p->pid = getpid();
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    made.store(p, std::memory_order_release);
    return p;
  }();
  return *c;
}

Client *made_client() { return made.load(std::memory_order_acquire); }

pid_t own_pid() {
  Client *c = made_client();
  return c ? c->pid : getpid();
}

bool own_state(const Client &c) { return static_cast<pid_t>(syscall(SYS_getpid)) == c.pid; }

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

namespace {
// The host is gone: its cards with it.
void lost_host(Client &c) {
  raw_close(c.conn);
  c.conn = -1;
  c.gone = true;
}
} // namespace

int64_t ask_locked(Client &c, Op op, std::initializer_list<int64_t> args, const void *payload, size_t len,
                   Reply *reply) {
  KeepErrno keep; // the answer says how the request went
  if (len > MAX_MESSAGE - sizeof(Ask)) return -E2BIG;
  Reply own;
  Reply *r = reply ? reply : &own;
  c.offer.fd = -1; // the host ends it with this message
  if (!ensure_connected(c)) return -ENODEV;
  Ask ask = make_ask(op, args, len);
  if (!exchange(c.conn, ask, payload, r)) {
    lost_host(c);
    return -ENODEV;
  }
  if (!reply && r->fd >= 0) raw_close(r->fd);
  return r->head.ret;
}

bool tell_locked(Client &c, Op op, std::initializer_list<int64_t> args, const void *payload, size_t len) {
  c.offer.fd = -1; // as with any message
  if (!ensure_connected(c)) return false;
  Ask ask = make_ask(op, args, len);
  if (send_message(c.conn, &ask, sizeof ask, payload, len, -1)) return true;
  lost_host(c);
  return false;
}

bool host_unchanged_since(uint64_t epoch) { return page && page->epoch.load(std::memory_order_acquire) == epoch; }

bool tree_unchanged_since(uint64_t tree) { return page && page->tree.load(std::memory_order_acquire) == tree; }

bool poll_offered(Client &c, int fd, void *arg, int64_t *result) {
  Client::Offer o = std::exchange(c.offer, Client::Offer{}); // one poll takes it, or none
  uint8_t rec[SMC_RECORD];
  if (o.fd != fd || c.conn < 0 || !user_copy_in(rec, arg, sizeof rec) ||
      !smc_record_is(rec, SMC_POLL) || !host_unchanged_since(o.epoch) ||
      !user_write(static_cast<char *>(arg) + SMC_MESSAGE_AT, o.reply, sizeof o.reply))
    return false;
  *result = tell_locked(c, Op::Polled, {fd}, rec, sizeof rec) ? 0 : -ENODEV;
  return true;
}

namespace {
// The answer kept for `abs` in `kept`, if the tree is as it was then.
template <class T> const T *kept_answer(const Client &c, const Client::ByPath<T> &kept, std::string_view abs) {
  if (!tree_unchanged_since(c.steady_tree)) return nullptr;
  auto it = kept.find(abs);
  return it == kept.end() ? nullptr : &it->second;
}

// Keeps a steady answer, for as long as the tree count it came with.
template <class T> void keep_answer(Client &c, Client::ByPath<T> &kept, std::string_view abs, const Answer &head, T v) {
  if (!(head.flags & ANSWER_STEADY)) return;
  if (c.steady_tree != head.as_of || c.looks.size() + c.listings_kept.size() + c.contents_kept.size() >= 1024) {
    c.looks.clear();
    c.listings_kept.clear();
    c.contents_kept.clear();
  }
  c.steady_tree = head.as_of;
  kept.emplace(std::string(abs), std::move(v));
}
} // namespace

Look cached_lookup(std::string_view abs) {
  Client &c = client();
  std::lock_guard lock(c.mu);
  if (const Look *kept = kept_answer(c, c.looks, abs)) return *kept;
  Reply reply;
  int64_t r = ask_locked(c, Op::Lookup, {}, abs.data(), abs.size(), &reply);
  Look l;
  if (r < 0) {
    l.what = Look::What::Error;
    l.err = static_cast<int>(-r);
  } else if (r == 1) {
    l.what = Look::What::Found;
    l.node.role = static_cast<Node::Role>(reply.head.b[0]);
    l.node.type = static_cast<unsigned char>(reply.head.b[1]);
    l.node.card = static_cast<uint32_t>(reply.head.b[2]);
    l.node.tree = static_cast<Tree>(reply.head.b[3]);
    l.node.name = std::move(reply.payload);
  }
  keep_answer(c, c.looks, abs, reply.head, l);
  return l;
}

void keep_content(Client &c, const std::string &path, const Answer &head, const std::string &bytes) {
  keep_answer(c, c.contents_kept, path, head, bytes);
}

bool open_kept(Client &c, int fd, int flags, const std::string &path, Local *l) {
  const std::string *bytes = kept_answer(c, c.contents_kept, path);
  if (!bytes || !tell_locked(c, Op::Open, {fd, flags, OPEN_TOLD}, path.data(), path.size())) return false;
  l->has_content = true;
  l->content_tree = c.steady_tree;
  l->content = *bytes;
  return true;
}

int64_t cached_listing(std::string_view abs, std::string *entries) {
  Client &c = client();
  std::lock_guard lock(c.mu);
  if (const auto *kept = kept_answer(c, c.listings_kept, abs)) {
    *entries = kept->second;
    return kept->first;
  }
  Reply reply;
  int64_t r = ask_locked(c, Op::List, {}, abs.data(), abs.size(), &reply);
  keep_answer(c, c.listings_kept, abs, reply.head, std::pair{r, reply.payload});
  *entries = std::move(reply.payload);
  return r;
}

int64_t ask(Op op, std::initializer_list<int64_t> args, const void *payload, size_t len, Reply *reply) {
  Client &c = client();
  std::lock_guard lock(c.mu);
  return ask_locked(c, op, args, payload, len, reply);
}

int64_t open_waiting(int fd, int flags, const std::string &path) {
  KeepErrno keep;
  Client &c = client();
  int64_t session;
  {
    std::lock_guard lock(c.mu);
    if (!ensure_connected(c)) return -ENODEV;
    session = session_id;
  }
  int s = connect_host(host_of(), session, 0, {}, nullptr);
  if (s < 0) return -ENODEV;
  Ask ask = make_ask(Op::Open, {fd, flags, OPEN_WAIT}, path.size());
  char buf[sizeof(Answer) + 16];
  int passed;
  int64_t result = -ENODEV;
  if (send_message(s, &ask, sizeof ask, path.data(), path.size(), -1)) {
    // The kernel's interruptible wait: a handler installed with SA_RESTART
    // lets the C library restart the receive; any other ends it.
    ssize_t n = recv_message(s, buf, sizeof buf, &passed);
    if (n < 0 && errno == EINTR) {
      Ask cancel = make_ask(Op::Cancel, {}, 0);
      if (send_message(s, &cancel, sizeof cancel, nullptr, 0, -1))
        while ((n = recv_message(s, buf, sizeof buf, &passed)) < 0 && errno == EINTR) {
        }
    }
    if (n >= static_cast<ssize_t>(sizeof(Answer))) {
      Answer head;
      memcpy(&head, buf, sizeof head);
      result = head.ret;
    }
  }
  raw_close(s);
  return result;
}

void track_fd(Client &c, int fd, Local l) {
  c.fds[fd] = std::move(l);
  c.tracked.store(static_cast<int>(c.fds.size()), std::memory_order_relaxed);
}

void untrack_fd(Client &c, int fd) {
  auto it = c.fds.find(fd);
  if (it == c.fds.end()) return;
  // Closing a card node lands the stores of its windows where they
  // replicate, which this process may then read without asking: while it
  // maps a window it waits for its close.
  bool waits = it->second.kind == Local::Kind::Device && !c.mappings.empty();
  c.fds.erase(it);
  c.tracked.store(static_cast<int>(c.fds.size()), std::memory_order_relaxed);
  int32_t n = fd;
  if (waits) ask_locked(c, Op::Close, {}, &n, sizeof n, nullptr);
  else tell_locked(c, Op::Close, {UNANSWERED}, &n, sizeof n);
}

void track_mapping(Client &c, uintptr_t addr, Mapping m) {
  c.by_window[m.serial].insert(addr);
  c.mappings[addr] = m;
  c.mapped.store(static_cast<int>(c.mappings.size()), std::memory_order_relaxed);
}

void untrack_mappings(Client &c, const void *addr, size_t len) {
  if (c.mappings.empty() || len == 0) return;
  size_t whole = (len + page_size() - 1) & ~(page_size() - 1);
  uintptr_t a = reinterpret_cast<uintptr_t>(addr);
  uintptr_t b = a + std::min(whole, UINTPTR_MAX - a);
  std::vector<std::pair<uint64_t, bool>> cut;
  auto it = c.mappings.lower_bound(a);
  if (it != c.mappings.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second.len > a) it = prev;
  }
  while (it != c.mappings.end() && it->first < b) {
    uintptr_t start = it->first, end = start + it->second.len;
    Mapping m = it->second;
    auto &index = c.by_window[m.serial];
    index.erase(start);
    it = c.mappings.erase(it);
    // The parts outside [a, b) stay mapped, each at its own place in the window.
    if (start < a) {
      Mapping left = m;
      left.len = a - start;
      c.mappings.emplace(start, left);
      index.insert(start);
    }
    if (end > b) {
      Mapping right = m;
      right.len = end - b;
      right.offset += b - start;
      it = c.mappings.emplace(b, right).first;
      index.insert(b);
      ++it;
    }
    bool last = index.empty();
    if (last) c.by_window.erase(m.serial);
    if (m.mcast) cut.emplace_back(m.serial, last);
  }
  c.mapped.store(static_cast<int>(c.mappings.size()), std::memory_order_relaxed);
  for (auto [serial, last] : cut)
    ask_locked(c, Op::Replicate, {static_cast<int64_t>(serial), last}, nullptr, 0, nullptr);
}

int retarget(Client &c, uint64_t serial, int memfd, uint64_t base, bool mcast) {
  auto it = c.by_window.find(serial);
  if (it == c.by_window.end()) return 0;
  int err = 0;
  for (uintptr_t addr : it->second) {
    Mapping &m = c.mappings.at(addr);
    m.mcast = mcast;
    void *p = real().mmap(reinterpret_cast<void *>(addr), m.len, m.prot, MAP_SHARED | MAP_FIXED, memfd,
                          static_cast<off_t>(base + m.offset));
    if (p == MAP_FAILED) err = errno;
  }
  return -err;
}

// Before main: the launcher's first program starts the host that everything
// started from it shares.  glibc hands constructors the program's arguments.
__attribute__((constructor)) void start_under_launcher(int, char **argv, char **) {
  saved_argv = argv;
  const char *launch = getenv("NRSIM_LAUNCH");
  if (!launch || !*launch) return;
  std::string mode = launch;
  unsetenv("NRSIM_LAUNCH");
  const char *as = getenv("NRSIM_RUN_AS"); // the launcher's name, as the user ran it
  std::string prog = as && *as ? as : "nrsim-run";
  unsetenv("NRSIM_RUN_AS");
  // The card list is checked here, once, by the code that reads it.
  if (const char *cards = getenv("NRSIM_DEVICES")) {
    std::vector<LaunchCard> parsed;
    std::string bad;
    if (!parse_devices(cards, &parsed, &bad)) {
      std::string msg = prog + ": bad --devices '" + std::string(cards) + "'" +
                        (bad.empty() ? "" : " (at '" + bad + "')") +
                        ": want DEVICEID@BDF,... such as 0x401e@0000:03:00.0\nTry '" + prog + " --help'.\n";
      raw_warn(msg.c_str());
      _exit(2);
    }
  }
  if (mode == "check") _exit(0);
  bool serve = mode == "serve";
  pid_t host = 0;
  std::string where = start_host(serve, !serve, &host);
  if (where.empty()) {
    raw_warn("nrsim: cannot start the simulated host\n");
    _exit(2);
  }
  setenv("NRSIM_HOST", where.c_str(), 1);
  if (serve) {
    char pid[24];
    snprintf(pid, sizeof pid, "%d", static_cast<int>(host));
    setenv("NRSIM_HOST_PID", pid, 1);
  }
}

} // namespace nrsim
