// Controller (SMC) messages.  Messaging never goes through the persistent
// reopen-and-retry rule: a reopen would discard the outstanding message, so
// a lost connection (ECONNRESET) is raised as it is.
#include "smc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "../dev.h"
#include "../err.h"

namespace nrhal::dev::smc {

namespace {

constexpr size_t WORDS = sizeof(nr_smc_msg::words) / sizeof(uint32_t);

struct MessageObject {
  PyObject_HEAD
  nr_smc_msg msg;
  py::Borrow use;
};

// No cyclic GC for either class: a Message refers to nothing, and a Queued
// only to its Session, which refers to no Python object, so neither can be
// part of a reference cycle.
//
// A handle only ever touches its own message: once it is done, or its
// session has been reopened since the post (the message went with the old
// descriptor), the driver is not asked again, since what it has outstanding
// belongs to another handle.
struct QueuedObject {
  PyObject_HEAD
  SessionObject *session; // strong; the Session that posted the message
  uint64_t generation;    // the session's generation at the post
  bool done;              // finished with the message: reply taken, failed or dropped
  py::Borrow use;
};

// The longest the lock stays released in a call's wait: how soon a signal
// handler runs.
constexpr uint32_t WAIT_SLICE_MS = 50;

uint64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000 + static_cast<uint64_t>(t.tv_nsec);
}

PyObject *new_message(const nr_smc_msg &msg) {
  py::Ref<MessageObject> m = py::make<MessageObject>(message_type());
  if (m) m->msg = msg;
  return m.release();
}

PyObject *new_queued(SessionObject *session) {
  py::Ref<QueuedObject> q = py::make<QueuedObject>(queued_type());
  if (q) {
    q->session = session;
    Py_INCREF(session);
    q->generation = session->generation;
  }
  return q.release();
}

// The message the handle posted is no longer on the session's descriptor.
bool stale(const QueuedObject *q) { return q->generation != q->session->generation; }

// The given words, then zeros; None (or nothing) is eight zeros.  `out` is
// written only on success, so a refused value changes nothing.
bool to_words(const py::Arg &a, nr_smc_msg &out) {
  nr_smc_msg words{};
  if (!a.value || a.value == Py_None) {
    out = words;
    return true;
  }
  size_t n = 0;
  if (!py::to_u32_seq(a, words.words, WORDS, n)) return false;
  if (n > WORDS) {
    PyErr_SetString(PyExc_ValueError, "message must have at most 8 elements");
    return false;
  }
  out = words;
  return true;
}

PyObject *words_list(const nr_smc_msg &msg) {
  py::Ref<> list = py::Ref<>::steal(PyList_New(WORDS));
  if (!list) return nullptr;
  for (size_t i = 0; i < WORDS; ++i) {
    PyObject *w = PyLong_FromUnsignedLong(msg.words[i]);
    if (!w) return nullptr;
    PyList_SET_ITEM(list.obj(), static_cast<Py_ssize_t>(i), w);
  }
  return list.release();
}

// A `message` argument: its words.
struct Words {
  nr_smc_msg msg;
  static bool from(const py::Arg &a, Words &out) { return to_words(a, out.msg); }
};

// A `req` argument, which must be a Message: a copy of its words.
struct Request {
  nr_smc_msg msg;
  static bool from(const py::Arg &a, Request &out) {
    MessageObject *m = nullptr;
    if (!py::to_exact(a, message_type(), m)) return false;
    if (!m) return true;
    py::Shared use(m->use);
    if (!use) return false;
    out.msg = m->msg;
    return true;
  }
};

// ---- Message ---------------------------------------------------------------

#define NR_MESSAGE_SIG "message=None"

PyObject *message_new(PyTypeObject *type, Words message) {
  py::Ref<MessageObject> m = py::make<MessageObject>(type);
  if (m) m->msg = message.msg;
  return m.release();
}

using MessageNew = py::decl::Constructor<"Message", NR_MESSAGE_SIG, message_new>;

PyObject *message_get(PyObject *self, void *) {
  MessageObject *m = py::cast<MessageObject>(self);
  py::Shared use(m->use);
  if (!use) return nullptr;
  return words_list(m->msg);
}

int message_set(PyObject *self, PyObject *value, void *) {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete the message words");
    return -1;
  }
  // Errors read as the constructor's: the same conversion of the same argument.
  nr_smc_msg msg;
  if (!to_words(MessageNew::D::arg(0, value), msg)) return -1;
  MessageObject *m = py::cast<MessageObject>(self);
  py::Sole use(m->use);
  if (!use) return -1;
  m->msg = msg;
  return 0;
}

PyObject *message_repr(PyObject *self) {
  py::Ref<> words = py::Ref<>::steal(message_get(self, nullptr));
  if (!words) return nullptr;
  return PyUnicode_FromFormat("Message(message=%R)", words.obj());
}

PyGetSetDef message_getset[] = {
    {"message", message_get, message_set,
     "Sets the message words.\n"
     "\n"
     "Raises `ValueError` if `message` has more than 8 elements.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Session.post and Session.call -------------------------------------------

PyObject *session_post(py::SharedUse<SessionObject> s, Request req) {
  if (nr_smc_post(&s->rec, &req.msg) != 0) return fail(errno);
  PyObject *q = new_queued(s.obj);
  if (!q) nr_smc_drop(&s->rec); // nothing would ever drop it otherwise
  return q;
}

// Shared use is held through the wait: sole users (close, reopen, ...) in
// other threads are refused while the lock is released, so the descriptor
// stays ours.  A timeout of 0 is the native default wait.
PyObject *session_call(py::SharedUse<SessionObject> s, Request req, py::Timeout timeout) {
  // The native wait sleeps through signals, so it waits in slices; between
  // two, with the lock held, the signal handlers run, and what they raise
  // ends the call (the message dropped) as a failed wait does.
  nr_session rec = s->rec;
  nr_smc_msg reply{};
  const uint64_t limit = timeout.ms ? timeout.ms : NR_SMC_WAIT_DEFAULT_MS;
  const uint64_t start = now_ns();
  uint64_t left = limit;
  bool posted = false;
  int rc, err;
  for (;;) {
    uint32_t slice = static_cast<uint32_t>(std::min<uint64_t>(left, WAIT_SLICE_MS));
    Py_BEGIN_ALLOW_THREADS
    rc = posted ? 0 : nr_smc_post(&rec, &req.msg);
    if (rc == 0) {
      posted = true;
      rc = nr_smc_wait(&rec, &reply, slice);
    }
    err = errno;
    Py_END_ALLOW_THREADS
    if (rc == 0) return new_message(reply);
    if (!posted || err != ETIMEDOUT) break;
    // Measured from before the post: never shorter than the native waits.
    uint64_t waited_ns = now_ns() - start;
    if (waited_ns >= limit * 1000000) break;
    left = limit - waited_ns / 1000000;
    if (PyErr_CheckSignals() < 0) {
      err = 0; // the handlers' exception is the call's
      break;
    }
  }
  if (posted) nr_smc_drop(&rec); // the session is free to send again
  if (err) return fail(err);
  return nullptr;
}

// ---- Queued ----------------------------------------------------------------

// drop() behind every way of letting go of the handle.  A session in sole
// use elsewhere cannot be touched: the handle is finished all the same, and
// nothing is raised, whatever the driver answers.
void finish(QueuedObject *q) {
  if (q->done) return;
  q->done = true;
  if (stale(q)) return;
  SessionObject *s = q->session;
  py::Shared use(s->use, py::quiet);
  if (use) nr_smc_drop(&s->rec);
}

PyObject *queued_poll(py::SoleUse<QueuedObject> q) {
  // No message of its own: answered as the driver answers a descriptor with
  // nothing outstanding.
  if (q->done || stale(q.obj)) {
    q->done = true;
    return fail(ENOMSG);
  }
  SessionObject *s = q->session;
  py::Shared session_use(s->use);
  if (!session_use) return nullptr;
  nr_smc_msg reply;
  if (nr_smc_poll(&s->rec, &reply) != 0) {
    if (errno == EAGAIN) Py_RETURN_NONE;
    q->done = true;
    return fail(errno);
  }
  q->done = true;
  return new_message(reply);
}

PyObject *queued_drop(py::SoleUse<QueuedObject> q) {
  finish(q.obj);
  Py_RETURN_NONE;
}

PyObject *queued_enter(py::SharedUse<QueuedObject> q) { return Py_NewRef(q.obj); }

PyObject *queued_exit(py::SoleUse<QueuedObject> q, PyObject *, PyObject *, PyObject *) {
  finish(q.obj);
  Py_RETURN_FALSE; // an exception from the block propagates
}

PyObject *queued_repr(PyObject *self) {
  QueuedObject *q = py::cast<QueuedObject>(self);
  py::Shared use(q->use);
  if (!use) return nullptr;
  return PyUnicode_FromString(q->done ? "Queued(done=true)" : "Queued(done=false)");
}

void queued_dealloc(PyObject *self) {
  QueuedObject *q = py::cast<QueuedObject>(self);
  // The collector drops the message as drop() would, but only while the
  // interpreter is initialised; at finalisation the session's own close
  // releases the message anyway.  Whatever exception or errno the code that
  // let go of the handle had pending survives.
  if (q->session && Py_IsInitialized()) {
    py::Preserved kept;
    finish(q);
  }
  Py_CLEAR(q->session);
  py::free_object(self);
}

PyMethodDef queued_methods[] = {
    NR_METHOD("Queued", "poll", queued_poll, "$self",
              "Checks for the reply without blocking.\n"
              "\n"
              "Returns `None` while the reply is pending, and the reply as a new\n"
              "`Message` once it has come. A reply means that the exchange completed,\n"
              "not that the firmware accepted the message: `message[0]` of the reply\n"
              "is the firmware status.\n"
              "\n"
              "Raises `NRError` carrying the `errno` of a failed exchange (`ENOTCONN`\n"
              "if the session has been closed). A handle that is done (its reply\n"
              "taken, a poll failed, or the message dropped), or whose session has\n"
              "been reopened since the post, has no message of its own: it raises\n"
              "`ENOMSG` without asking the driver, whose outstanding message would\n"
              "belong to another handle."),
    NR_METHOD("Queued", "drop", queued_drop, "$self",
              "Discards the message.\n"
              "\n"
              "Idempotent, and a no-op once the reply has been taken. This does not\n"
              "reliably stop the message: it is discarded outright only while it is\n"
              "still queued behind another client's message; once it reaches the\n"
              "controller, which is usually before `post()` returns, the message runs\n"
              "and only its reply is thrown away. Treat a dropped message as one that\n"
              "may have run."),
    NR_METHOD("Queued", "__enter__", queued_enter, "$self", ""),
    NR_METHOD("Queued", "__exit__", queued_exit, NR_EXIT_SIG, ""),
    NR_METHODS_END,
};

py::Class message_class{"builtins.Message",
                        nullptr,
                        sizeof(MessageObject),
                        py::NEW_CLASS_FLAGS,
                        {
                            NR_CONSTRUCTOR("Message", message_new, NR_MESSAGE_SIG,
                                           "An SMC controller message.\n"
                                           "\n"
                                           "Eight unsigned 32-bit words. Word 0 is the header: the message code\n"
                                           "in the low byte plus any per-message packed fields, or the firmware\n"
                                           "status on a reply. Words 1 to 7 are request arguments or response\n"
                                           "data. A shorter list of words is padded with zeros.\n"
                                           "\n"
                                           "`Session.call()` returns the reply as a new `Message`."),
                            py::slot(Py_tp_getset, message_getset),
                            py::slot(Py_tp_repr, message_repr),
                        }};

py::Class queued_class{"builtins.Queued",
                       "A posted SMC message awaiting its reply.\n"
                       "\n"
                       "Returned by `Session.post()`. Use it as a context manager so that the\n"
                       "message is dropped on block exit:\n"
                       "\n"
                       "    with sess.post(req) as pending:\n"
                       "        rsp = pending.poll()\n"
                       "\n"
                       "The message is also dropped when the handle is garbage collected, but\n"
                       "relying on that leaves it outstanding for an unpredictable length of\n"
                       "time.",
                       sizeof(QueuedObject),
                       py::CLASS_FLAGS,
                       {
                           py::slot(Py_tp_methods, queued_methods),
                           py::slot(Py_tp_repr, queued_repr),
                           py::slot(Py_tp_dealloc, queued_dealloc),
                       }};

} // namespace

PyMethodDef session_methods[] = {
    NR_METHOD("Session", "post", session_post, "$self, req",
              "Posts a message to the SMC controller without waiting.\n"
              "\n"
              "Returns a `Queued` handle through which the reply is polled or the\n"
              "message dropped. A session holds at most one message outstanding at a\n"
              "time, so a second post before the first is finished is refused by the\n"
              "driver.\n"
              "\n" NR_DOC_RAISES NR_DOC_CLOSED "- `EBUSY` or `ENOTSUP` per the underlying call.\n"
              "\n"
              "Raises `TypeError` if `req` is not a `Message`."),
    NR_METHOD("Session", "call", session_call, "$self, req, timeout=None",
              "Calls the SMC controller with a message and returns the reply.\n"
              "\n"
              "`timeout` is in seconds, rounded to whole milliseconds; `None`, 0 or a\n"
              "value below half a millisecond waits the default of one second. The\n"
              "interpreter lock is released while waiting. A reply means that the\n"
              "exchange completed, not that the firmware accepted the message:\n"
              "`message[0]` of the reply is the firmware status. A wait that fails\n"
              "drops the message, so the session is free to send again.\n"
              "\n" NR_DOC_RAISES NR_DOC_CLOSED "- `ETIMEDOUT`, `EBUSY`, or `ENOTSUP` per the underlying call.\n"
              "\n"
              "Raises `ValueError` if `timeout` is negative, NaN or infinite, and\n"
              "`TypeError` if `req` is not a `Message` or `timeout` is not a number."),
    NR_METHODS_END,
};

PyTypeObject *message_type() { return message_class.get(); }
PyTypeObject *queued_type() { return queued_class.get(); }

bool fill(PyObject *module) {
  return py::add(module, "Message", message_type()) && py::add(module, "Queued", queued_type());
}

} // namespace nrhal::dev::smc
