// Power requests.  A request states the whole desired set and lasts as long
// as the descriptor that sent it; the driver ORs the requests of all open
// descriptors, so nothing is read back here.
#include "power.h"

#include <cstdio>

#include "../dev.h"
#include "../err.h"

namespace nrhal::dev::power {

namespace {

// A mask, not an enumeration: `|` makes new values, so Flag has none of
// the enumerations' value equality.  Comparison and hashing are by
// identity, and every Flag, LO included, is true; programs test masks
// through int().
struct FlagObject {
  PyObject_HEAD
  uint16_t mask;
};

FlagObject *as_flag(PyObject *o) { return reinterpret_cast<FlagObject *>(o); }

struct Named {
  const char *name;
  uint16_t mask;
};
constexpr Named FLAGS[] = {
    {"MaxAiClk", 0x0001}, {"MriscPhyWakeup", 0x0002}, {"VexelEnable", 0x0004},
    {"L2CpuEnable", 0x0008}, {"HI", 0xFFFF},          {"LO", 0x0000},
};

PyObject *new_flag(PyTypeObject *type, uint16_t mask) {
  PyObject *o = type->tp_alloc(type, 0);
  if (o) as_flag(o)->mask = mask;
  return o;
}

PyObject *flag_int(PyObject *self) { return PyLong_FromLong(as_flag(self)->mask); }

PyObject *flag_repr(PyObject *self) {
  char text[16];
  std::snprintf(text, sizeof text, "Flag(0x%04x)", as_flag(self)->mask);
  return PyUnicode_FromString(text);
}

// Both operands must be Flags: a plain int is never taken for a mask.
PyObject *flag_or(PyObject *a, PyObject *b) {
  PyTypeObject *type = flag_type();
  if (!type) return nullptr;
  if (Py_TYPE(a) != type || Py_TYPE(b) != type) Py_RETURN_NOTIMPLEMENTED;
  return new_flag(type, static_cast<uint16_t>(as_flag(a)->mask | as_flag(b)->mask));
}

// ---- Session.power -----------------------------------------------------------

constexpr py::Signature power_sig{"Session.power", py::required("flags")};

PyObject *session_power(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(power_sig, args, nargs, kwnames)) return nullptr;
  SessionObject *s = as_session(self);
  py::Sole use(s->use);
  if (!use) return nullptr;
  FlagObject *flags = nullptr;
  if (!py::to_exact(a[0], flag_type(), flags)) return nullptr;
  uint16_t mask = flags->mask; // bits above the defined four go as they are
  // A persistent session that reopens sends the request again: the old
  // descriptor's request went with it.
  if (!perform(s, [mask](nr_session *rec) { return nr_power(rec, mask); })) return nullptr;
  Py_RETURN_NONE;
}

} // namespace

PyMethodDef session_methods[] = {
    NR_METHOD("power", session_power, "$self, flags",
              "Requests a set of power features for this device.\n"
              "\n"
              "The `flags` argument describes the complete desired state. Any flag\n"
              "absent from `flags` is explicitly disabled. The kernel driver aggregates\n"
              "requests across all open sessions: a feature is enabled if any client\n"
              "requests it, so the effective state may differ from what any single\n"
              "client requests. Each client's contribution is removed when its session\n"
              "is closed.\n"
              "\n"
              NR_DOC_RAISES NR_DOC_CLOSED NR_DOC_SEVERED NR_DOC_OTHER_ERRNOS),
    NR_METHODS_END,
};

PyTypeObject *flag_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("Power feature flag.\n"
                                       "\n"
                                       "A single controllable power feature on the device. Combine flags with `|`\n"
                                       "and pass to `Session.power()` to request the desired power state.")},
        {Py_tp_repr, reinterpret_cast<void *>(flag_repr)},
        {Py_nb_int, reinterpret_cast<void *>(flag_int)},
        {Py_nb_or, reinterpret_cast<void *>(flag_or)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Flag", sizeof(FlagObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    py::Ref type = py::Ref::steal(reinterpret_cast<PyObject *>(py::make_type(&type_spec)));
    if (!type) return nullptr;
    PyTypeObject *t = reinterpret_cast<PyTypeObject *>(type.get());
    // The named flags are made once, here, so each access gives the same
    // object.  An immutable class refuses setattr: straight into its dict.
    for (const Named &f : FLAGS) {
      py::Ref member = py::Ref::steal(new_flag(t, f.mask));
      if (!member || PyDict_SetItemString(t->tp_dict, f.name, member.get()) < 0) return nullptr;
    }
    PyType_Modified(t);
    return type.release();
  }));
}

bool fill(PyObject *module) { return py::add(module, "Flag", reinterpret_cast<PyObject *>(flag_type())); }

} // namespace nrhal::dev::power
