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
constexpr auto TAG_MEMBERS = [] {
  std::array<py::EnumMember, TAGS> members{};
  for (size_t v = 0; v < TAGS; ++v) members[v] = {TAG_NAMES[v], static_cast<long>(v)};
  return members;
}();

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

long tag_value(PyObject *tag) { return py::cast<py::EnumObject>(tag)->value; }

// ---- Tag -------------------------------------------------------------------

// Unlike the other enumerations, a Tag also equals the plain integer of its
// value (not of its slot), so that a stored int(tag) still matches it.  Only
// Tag has this comparison, and the interpreter passes the comparison's owner
// first: `a` is a Tag.
PyObject *tag_compare(PyObject *a, PyObject *b, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long long other;
  if (Py_TYPE(b) == Py_TYPE(a)) {
    other = tag_value(b);
  } else if (PyIndex_Check(b)) {
    py::Ref<> index = py::Ref<>::steal(PyNumber_Index(b));
    if (!index) return nullptr;
    int overflow = 0;
    other = PyLong_AsLongLongAndOverflow(index.obj(), &overflow);
    if (other == -1 && PyErr_Occurred()) return nullptr;
    if (overflow) Py_RETURN_NOTIMPLEMENTED; // beyond 64 signed bits: no member's value
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  bool equal = tag_value(a) == other;
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// The enumerations' slots but for the comparison.
py::Class tag_class{"builtins.Tag",
                    "Telemetry tag for indexing a `Telemetry` snapshot.",
                    py::CLASS_FLAGS,
                    {
                        py::slot(Py_tp_richcompare, tag_compare),
                    },
                    py::enumeration(TAG_MEMBERS)};

// ---- Telemetry -------------------------------------------------------------

// A `tag` argument: the snapshot slot of the Tag it names.
struct Slot {
  Py_ssize_t slot;
  static bool from(const py::Arg &a, Slot &out) {
    long value = 0;
    if (!a.value) return true;
    if (!py::to_enum(a, tag_type(), value)) return false;
    out.slot = TAG_SLOTS[static_cast<size_t>(value)];
    return true;
  }
};

PyObject *telemetry_get(TelemetryObject *t, Slot tag) {
  if (tag.slot >= t->count) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(t->values[tag.slot]);
}

PyObject *telemetry_subscript(PyObject *self, PyObject *key) {
  Slot tag{};
  if (!Slot::from(py::Arg{"Telemetry.__getitem__", "tag", key}, tag)) return nullptr;
  TelemetryObject *t = py::cast<TelemetryObject>(self);
  if (tag.slot >= t->count) {
    PyErr_SetString(PyExc_IndexError, "telemetry tag out of range");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(t->values[tag.slot]);
}

PyObject *telemetry_repr(PyObject *self) {
  return PyUnicode_FromFormat("Telemetry([%zd entries])", py::cast<TelemetryObject>(self)->count);
}

PyMethodDef telemetry_methods[] = {
    NR_METHOD("Telemetry", "get", telemetry_get, "$self, tag",
              "Returns the value for `tag`, or `None` if the tag is out of range."),
    NR_METHODS_END,
};

// ---- Session.telemetry -----------------------------------------------------

py::Class telemetry_class{"builtins.Telemetry",
                          "A snapshot of device telemetry values, indexed by `Tag`.",
                          sizeof(TelemetryObject),
                          py::CLASS_FLAGS,
                          {
                              py::slot(Py_tp_methods, telemetry_methods),
                              py::slot(Py_mp_subscript, telemetry_subscript),
                              py::slot(Py_tp_repr, telemetry_repr),
                          }};

// ---- Session.telemetry -----------------------------------------------------

PyObject *session_telemetry(py::SoleUse<SessionObject> s) {
  // The snapshot is read straight into the new object's values, which the
  // failure paths discard with it.
  py::Ref<TelemetryObject> snapshot = py::make<TelemetryObject>(telemetry_type());
  if (!snapshot) return nullptr;
  TelemetryObject *t = snapshot.get();
  // The reader recovers bus faults through the trap, which only works with
  // its handler on top of SIGBUS: take it back from any handler installed
  // since (the interpreter's faulthandler, for one).
  nr_trap_claim();
  bool ok = perform(s.obj, [t](nr_session *rec) {
    std::memset(t->values, 0, sizeof t->values); // each retry starts afresh
    return nr_telemetry(rec, t->values);
  });
  if (!ok) return nullptr;
  t->count = NR_TELEMETRY_SLOTS;
  return snapshot.release();
}

} // namespace

PyMethodDef session_methods[] = {
    NR_METHOD("Session", "telemetry", session_telemetry, "$self",
              "Reads a complete telemetry snapshot.\n"
              "\n"
              "Tags the firmware does not report read as zero.\n"
              "\n" NR_DOC_RAISES NR_DOC_CLOSED NR_DOC_SEVERED
              "- `EIO` if the telemetry data is malformed or cannot be read.\n"
              "- `ENOTSUP` if the device architecture is unsupported.\n" NR_DOC_OTHER_ERRNOS),
    NR_METHODS_END,
};

PyTypeObject *tag_type() { return tag_class.get(); }
PyTypeObject *telemetry_type() { return telemetry_class.get(); }

bool fill(PyObject *module) {
  return py::add(module, "Tag", tag_type()) && py::add(module, "Telemetry", telemetry_type());
}

} // namespace nrhal::dev::telem
