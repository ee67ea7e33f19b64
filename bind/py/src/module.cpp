// The module's entry point and its one initialisation step.
#include "dev.h"
#include "dev/power.h"
#include "dev/smc.h"
#include "dev/telem.h"
#include "dev/tlb.h"
#include "err.h"
#include "fw.h"
#include "kmd.h"
#include "toolkit.h"

#ifndef NRHAL_VERSION
#error "NRHAL_VERSION must be set by the build"
#endif

namespace nrhal {

namespace {

// Submodules in registration order.  `fill` adds a submodule's functions and
// classes; the areas that define them plug in here.
struct Submodule {
  const char *name;
  bool (*fill)(PyObject *module);
};
constexpr Submodule submodules[] = {
    {"kmd", kmd::fill},          {"fw", fw::fill},        {"tlb", dev::tlb::fill},
    {"power", dev::power::fill}, {"smc", dev::smc::fill}, {"telem", dev::telem::fill},
};

bool add_submodule(PyObject *parent, const Submodule &sm) {
  py::Ref<> module = py::Ref<>::steal(PyModule_New(sm.name));
  if (!module) return false;
  // Every submodule has an __all__, even before anything is registered in it.
  py::Ref<> all = py::Ref<>::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.obj(), "__all__", all.obj()) < 0) return false;
  if (sm.fill && !sm.fill(module.obj())) return false;
  if (!py::add(parent, sm.name, module.obj())) return false;

  // Makes `import nrhal.tlb` and `from nrhal.smc import ...` work.
  py::Ref<> sys = py::Ref<>::steal(PyImport_ImportModule("sys"));
  if (!sys) return false;
  py::Ref<> modules = py::Ref<>::steal(PyObject_GetAttrString(sys.obj(), "modules"));
  if (!modules) return false;
  py::Ref<> dotted = py::Ref<>::steal(PyUnicode_FromFormat("nrhal.%s", sm.name));
  return dotted && PyObject_SetItem(modules.obj(), dotted.obj(), module.obj()) == 0;
}

int exec_module(PyObject *m) {
  if (!py::add(m, "NRError", nr_error_type())) return -1;
  if (!py::add_function(m, &dev::scan_def)) return -1;
  if (!py::add(m, "Device", dev::device_type())) return -1;
  if (!py::add(m, "Session", dev::session_type())) return -1;
  if (!py::add(m, "Info", dev::info_type())) return -1;
  py::Ref<> version = py::Ref<>::steal(PyUnicode_FromString(NRHAL_VERSION));
  if (!py::add(m, "__version__", version.obj())) return -1;
  for (const Submodule &sm : submodules)
    if (!add_submodule(m, sm)) return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, py::pointer(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "nrhal", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

} // namespace

} // namespace nrhal

PyMODINIT_FUNC PyInit_nrhal(void) { return PyModuleDef_Init(&nrhal::module_def); }
