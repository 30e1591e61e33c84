// kifuzan._native: the package's own extension module, for what goes beyond
// _kifuzan's fixed surface. It shares the core and the binding, file and
// message helpers with _kifuzan, and raises _kifuzan's own exception types
// for the pipeline's failures.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lib/native.h"

namespace kifuzan::native {

using namespace kifuzan::py;

PyObject* g_types[error_kind_count] = {};

PyObject* internal_error_type() { return g_types[internal_error]; }

namespace {

void raise_text(ErrorKind kind, std::string_view text) {
  if (PyObject* message = py_text(text)) {
    PyErr_SetObject(g_types[kind], message);
    Py_DECREF(message);
  }
}

}  // namespace

void raise_error(const conv::Error& e) {
  if (const char* fixed = fixed_message(e.kind)) {
    PyErr_SetString(g_types[exception_of(e.kind)], fixed);
  } else {
    raise_text(exception_of(e.kind), e.text);
  }
}

void raise_reason(const conv::Diagnosis& d) { raise_text(exception_of(d.kind), d.reason); }

}  // namespace kifuzan::native

namespace {

using namespace kifuzan::native;
using namespace kifuzan::py;

ModuleOnce g_once;  // single-phase, like _kifuzan: made once a process, for one interpreter

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "kifuzan._native", "kifuzan's own native functions.", 0, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};

int init_module(PyObject* module) {
  // _kifuzan makes the classes; importing it shares InternalError too.
  PyObject* base = PyImport_ImportModule("_kifuzan");
  if (base == nullptr) {
    return -1;
  }
  for (const ErrorKind kind :
       {tenhou_log_parsing_error, tenhou_to_mjai_error, json_serialization_error, json_parsing_error}) {
    if (g_types[kind] == nullptr && (g_types[kind] = PyObject_GetAttrString(base, k_errors[kind].attribute)) == nullptr) {
      Py_DECREF(base);
      return -1;
    }
  }
  Py_DECREF(base);
  if (g_types[internal_error] == nullptr && (g_types[internal_error] = shared_type(k_errors[internal_error].qualname)) == nullptr) {
    return -1;
  }
  if (init_records(module) < 0 || init_files(module) < 0) {
    return -1;
  }
  const ErrorInfo& mjlog = k_errors[mjlog_error];
  if (g_types[mjlog_error] == nullptr &&
      (g_types[mjlog_error] = PyErr_NewExceptionWithDoc(mjlog.qualname, mjlog.doc, PyExc_ValueError, nullptr)) ==
          nullptr) {
    return -1;
  }
  if (add_public(module, mjlog.attribute, g_types[mjlog_error]) < 0) {
    return -1;
  }
  for (PyMethodDef* table : {g_record_methods, g_file_methods, g_mjlog_methods}) {
    for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
      if (add_function(module, def) < 0) {
        return -1;
      }
    }
  }
  return 0;
}

PyObject* create_module() { return create_module_once(g_once, g_module_def, init_module); }

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  try {
    return create_module();
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}
