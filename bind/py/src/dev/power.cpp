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
// through int().  A Flag is an EnumObject whose value is the mask (and
// whose name is unused).
using FlagObject = py::EnumObject;

constexpr py::EnumMember FLAGS[] = {
    {"MaxAiClk", 0x0001}, {"MriscPhyWakeup", 0x0002}, {"VexelEnable", 0x0004}, {"L2CpuEnable", 0x0008}, {"HI", 0xFFFF},
    {"LO", 0x0000},
};

uint16_t mask_of(PyObject *flag) { return static_cast<uint16_t>(py::cast<FlagObject>(flag)->value); }

PyObject *flag_int(PyObject *self) { return PyLong_FromLong(mask_of(self)); }

PyObject *flag_repr(PyObject *self) {
  char text[16];
  std::snprintf(text, sizeof text, "Flag(0x%04x)", mask_of(self));
  return PyUnicode_FromString(text);
}

// Both operands must be Flags: a plain int is never taken for a mask.
PyObject *flag_or(PyObject *a, PyObject *b) {
  PyTypeObject *type = flag_type();
  if (!type) return nullptr;
  if (Py_TYPE(a) != type || Py_TYPE(b) != type) Py_RETURN_NOTIMPLEMENTED;
  py::Ref<FlagObject> f = py::make<FlagObject>(type);
  if (f) f->value = mask_of(a) | mask_of(b);
  return f.release();
}

// The named flags are made once, with the class, so each access gives the
// same object.
py::Class flag_class{"builtins.Flag",
                     "Power feature flag.\n"
                     "\n"
                     "A single controllable power feature on the device. Combine flags with `|`\n"
                     "and pass to `Session.power()` to request the desired power state.",
                     py::CLASS_FLAGS,
                     {
                         py::slot(Py_tp_repr, flag_repr),
                         py::slot(Py_nb_int, flag_int),
                         py::slot(Py_nb_or, flag_or),
                     },
                     py::named(FLAGS)};

// ---- Session.power -----------------------------------------------------------

PyObject *session_power(py::SoleUse<SessionObject> s, py::Exact<FlagObject, flag_type> flags) {
  uint16_t mask = static_cast<uint16_t>(flags->value); // bits above the defined four go as they are
  // A persistent session that reopens sends the request again: the old
  // descriptor's request went with it.
  if (!perform(s.obj, [mask](nr_session *rec) { return nr_power(rec, mask); })) return nullptr;
  Py_RETURN_NONE;
}

} // namespace

PyMethodDef session_methods[] = {
    NR_METHOD("Session", "power", session_power, "$self, flags",
              "Requests a set of power features for this device.\n"
              "\n"
              "The `flags` argument describes the complete desired state. Any flag\n"
              "absent from `flags` is explicitly disabled. The kernel driver aggregates\n"
              "requests across all open sessions: a feature is enabled if any client\n"
              "requests it, so the effective state may differ from what any single\n"
              "client requests. Each client's contribution is removed when its session\n"
              "is closed.\n"
              "\n" NR_DOC_RAISES NR_DOC_CLOSED NR_DOC_SEVERED NR_DOC_OTHER_ERRNOS),
    NR_METHODS_END,
};

PyTypeObject *flag_type() { return flag_class.get(); }

bool fill(PyObject *module) { return py::add(module, "Flag", flag_type()); }

} // namespace nrhal::dev::power
