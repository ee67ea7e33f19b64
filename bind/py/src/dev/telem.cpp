// Telemetry snapshots.  A Telemetry holds the values nr_telemetry wrote, by
// tag number, and nothing else: no session, so it stays readable after a
// close or a reset.  A Tag names a value by its position in the list of
// names, which is not its tag number: there is no name for tag 33, so the
// members from 32 on sit two slots up.
#include "telem.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "../dev.h"
#include "../err.h"
#include "trap.h"

namespace nrhal::dev::telem {

namespace {

// Member names by value.
constexpr const char *TAG_NAMES[] = {
    "BoardIdHigh",     "BoardIdLow",      "AsicId",           "HarvestingState", "UpdateTelemSpeed",
    "Vcore",           "Tdp",             "Tdc",              "VddLimits",       "ThmLimitShutdown",
    "AsicTemperature", "VregTemperature", "BoardTemperature", "AiClk",           "AxiClk",
    "SmcClk",          "L2CpuClk0",       "L2CpuClk1",        "L2CpuClk2",       "L2CpuClk3",
    "EthLiveStatus",   "GddrStatus",      "GddrSpeed",        "EthFwVersion",    "GddrFwVersion",
    "DmAppFwVersion",  "DmBlFwVersion",   "FlashBundleVersion", "CmFwVersion",   "L2CpuFwVersion",
    "FanSpeed",        "TimerHeartbeat",  "EnabledVexelCol",  "EnabledEth",      "EnabledGddr",
    "EnabledL2Cpu",    "PcieUsage",       "InputCurrent",     "NocTranslation",  "FanRpm",
    "Gddr01Temp",      "Gddr23Temp",      "Gddr45Temp",       "Gddr67Temp",      "Gddr01CorrErrs",
    "Gddr23CorrErrs",  "Gddr45CorrErrs",  "Gddr67CorrErrs",   "GddrUncorrErrs",  "MaxGddrTemp",
    "AsicLocation",    "BoardPowerLimit", "InputPower",       "TdcLimitMax",     "ThmLimitThrottle",
    "FwBuildDate",     "NrFlashVersion",  "EnabledVexelRow",  "ThermTripCount",  "AsicIdHigh",
    "AsicIdLow",       "AiClkLimitMax",   "TdpLimitMax",      "AiClkArbMin",     "AiClkArbMax",
    "EnabledMinArb",   "EnabledMaxArb",
};
constexpr size_t TAGS = std::size(TAG_NAMES);

// Members below the unnamed tag 33: values 0 (BoardIdHigh) to 31
// (TimerHeartbeat), in slots 1 to 32.
constexpr size_t BELOW_GAP = 32;

// The snapshot slot of each member, by value.
constexpr std::array<uint8_t, TAGS> TAG_SLOTS = [] {
  std::array<uint8_t, TAGS> slots{};
  for (size_t v = 0; v < TAGS; ++v) slots[v] = static_cast<uint8_t>(v < BELOW_GAP ? v + 1 : v + 2);
  return slots;
}();
static_assert(TAGS == 67);
static_assert(TAG_SLOTS[31] == 32, "TimerHeartbeat is the reader's heartbeat tag");
static_assert(TAG_SLOTS[32] == 34 && TAG_SLOTS[TAGS - 1] == NR_TELEMETRY_SLOTS - 1);

struct TelemetryObject {
  PyObject_HEAD
  Py_ssize_t count; // values stored; lookups past it miss
  uint32_t values[NR_TELEMETRY_SLOTS];
};

TelemetryObject *as_telemetry(PyObject *o) { return reinterpret_cast<TelemetryObject *>(o); }
py::EnumObject *as_tag(PyObject *o) { return reinterpret_cast<py::EnumObject *>(o); }

// ---- Tag -------------------------------------------------------------------

PyObject *tag_repr(PyObject *self) { return PyUnicode_FromFormat("Tag.%s", as_tag(self)->name); }

PyObject *tag_int(PyObject *self) { return PyLong_FromLong(as_tag(self)->value); }

// Unlike the other enumerations, a Tag also equals the plain integer of its
// value (not of its slot), so that a stored int(tag) still matches it.  Only
// Tag has this comparison, and the interpreter passes the comparison's owner
// first: `a` is a Tag.
PyObject *tag_compare(PyObject *a, PyObject *b, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long long other;
  if (Py_TYPE(b) == Py_TYPE(a)) {
    other = as_tag(b)->value;
  } else if (PyIndex_Check(b)) {
    py::Ref index = py::Ref::steal(PyNumber_Index(b));
    if (!index) return nullptr;
    int overflow = 0;
    other = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (other == -1 && PyErr_Occurred()) return nullptr;
    if (overflow) Py_RETURN_NOTIMPLEMENTED; // beyond 64 signed bits: no member's value
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  bool equal = as_tag(a)->value == other;
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// ---- Telemetry -------------------------------------------------------------

// The slot that a `tag` argument names.  False: TypeError about the argument.
bool to_slot(const py::Arg &a, Py_ssize_t &slot) {
  long value = 0;
  if (!py::to_enum(a, tag_type(), value)) return false;
  slot = TAG_SLOTS[static_cast<size_t>(value)];
  return true;
}

constexpr py::Signature get_sig{"Telemetry.get", py::required("tag")};

PyObject *telemetry_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<1> a;
  if (!a.parse(get_sig, args, nargs, kwnames)) return nullptr;
  Py_ssize_t slot = 0;
  if (!to_slot(a[0], slot)) return nullptr;
  TelemetryObject *t = as_telemetry(self);
  if (slot >= t->count) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(t->values[slot]);
}

PyObject *telemetry_subscript(PyObject *self, PyObject *key) {
  Py_ssize_t slot = 0;
  if (!to_slot(py::Arg{"Telemetry.__getitem__", "tag", key}, slot)) return nullptr;
  TelemetryObject *t = as_telemetry(self);
  if (slot >= t->count) {
    PyErr_SetString(PyExc_IndexError, "telemetry tag out of range");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(t->values[slot]);
}

PyObject *telemetry_repr(PyObject *self) {
  return PyUnicode_FromFormat("Telemetry([%zd entries])", as_telemetry(self)->count);
}

PyMethodDef telemetry_methods[] = {
    NR_METHOD("get", telemetry_get, "$self, tag", "Returns the value for `tag`, or `None` if the tag is out of range."),
    NR_METHODS_END,
};

// ---- Session.telemetry -----------------------------------------------------

constexpr py::Signature telemetry_sig{"Session.telemetry"};

PyObject *session_telemetry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  py::Args<0> a;
  if (!a.parse(telemetry_sig, args, nargs, kwnames)) return nullptr;
  SessionObject *s = as_session(self);
  py::Sole use(s->use);
  if (!use) return nullptr;
  PyTypeObject *type = telemetry_type();
  if (!type) return nullptr;
  // The snapshot is read straight into the new object's values, which the
  // failure paths discard with it.
  py::Ref snapshot = py::Ref::steal(type->tp_alloc(type, 0));
  if (!snapshot) return nullptr;
  TelemetryObject *t = as_telemetry(snapshot.get());
  // The reader recovers bus faults through the trap, which only works with
  // its handler on top of SIGBUS: take it back from any handler installed
  // since (the interpreter's faulthandler, for one).
  nr_trap_claim();
  bool ok = perform(s, [t](nr_session *rec) {
    std::memset(t->values, 0, sizeof t->values); // each retry starts afresh
    return nr_telemetry(rec, t->values);
  });
  if (!ok) return nullptr;
  t->count = NR_TELEMETRY_SLOTS;
  return snapshot.release();
}

} // namespace

PyMethodDef session_methods[] = {
    NR_METHOD("telemetry", session_telemetry, "$self",
              "Reads a complete telemetry snapshot.\n"
              "\n"
              "Tags the firmware does not report read as zero.\n"
              "\n"
              NR_DOC_RAISES NR_DOC_CLOSED NR_DOC_SEVERED
              "- `EIO` if the telemetry data is malformed or cannot be read.\n"
              "- `ENOTSUP` if the device architecture is unsupported.\n" NR_DOC_OTHER_ERRNOS),
    NR_METHODS_END,
};

PyTypeObject *tag_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("Telemetry tag for indexing a `Telemetry` snapshot.")},
        {Py_tp_repr, reinterpret_cast<void *>(tag_repr)},
        {Py_tp_richcompare, reinterpret_cast<void *>(tag_compare)},
        {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
        {Py_nb_int, reinterpret_cast<void *>(tag_int)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Tag", sizeof(py::EnumObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    py::Ref type = py::Ref::steal(reinterpret_cast<PyObject *>(py::make_type(&type_spec)));
    if (!type) return nullptr;
    PyTypeObject *t = reinterpret_cast<PyTypeObject *>(type.get());
    // The members are the only instances, made here once; an immutable class
    // refuses setattr, so they go straight into its dictionary.
    for (size_t v = 0; v < TAGS; ++v) {
      py::Ref member = py::Ref::steal(t->tp_alloc(t, 0));
      if (!member) return nullptr;
      as_tag(member.get())->value = static_cast<long>(v);
      as_tag(member.get())->name = TAG_NAMES[v];
      if (PyDict_SetItemString(t->tp_dict, TAG_NAMES[v], member.get()) < 0) return nullptr;
    }
    PyType_Modified(t);
    return type.release();
  }));
}

PyTypeObject *telemetry_type() {
  static py::Once once;
  return reinterpret_cast<PyTypeObject *>(once.get([]() -> PyObject * {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("A snapshot of device telemetry values, indexed by `Tag`.")},
        {Py_tp_methods, telemetry_methods},
        {Py_mp_subscript, reinterpret_cast<void *>(telemetry_subscript)},
        {Py_tp_repr, reinterpret_cast<void *>(telemetry_repr)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Telemetry", sizeof(TelemetryObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    return reinterpret_cast<PyObject *>(py::make_type(&type_spec));
  }));
}

bool fill(PyObject *module) {
  return py::add(module, "Tag", reinterpret_cast<PyObject *>(tag_type())) &&
         py::add(module, "Telemetry", reinterpret_cast<PyObject *>(telemetry_type()));
}

} // namespace nrhal::dev::telem
