// The _kifuzan extension module: registration, the exception types, and the
// two entry points that run the core pipeline and map its failures onto
// Python exceptions. Written directly against the CPython 3.12 C API.
//
// Every entry point holds the GIL from start to finish. C++ exceptions never
// cross into the interpreter: std::bad_alloc becomes MemoryError, anything
// else _kifuzan.InternalError (a direct BaseException subclass).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "kifuzan/conv/input.h"
#include "kifuzan/conv/pipeline.h"
#include "lib/binding.h"
#include "lib/fileio.h"
#include "lib/messages.h"

#ifndef KIFUZAN_VERSION
#error "KIFUZAN_VERSION comes from the build (pyproject.toml)"
#endif

namespace {

using kifuzan::conv::PaddedText;
using kifuzan::conv::Stage;
using namespace kifuzan::py;

// ---------------------------------------------------------------------------
// Process-wide state. Filled at most once, never torn down: the module is
// single-phase and bound to the first interpreter that imports it.

ModuleOnce g_once;
PyObject* g_error_types[error_kind_count] = {};

// Borrowed reference to the type, created on first use; nullptr with an
// exception set if creation fails.
PyObject* error_type(ErrorKind kind) {
  if (g_error_types[kind] == nullptr) {
    const ErrorInfo& info = k_errors[kind];
    PyObject* base = info.internal ? PyExc_BaseException : PyExc_ValueError;
    PyObject* type = PyErr_NewExceptionWithDoc(info.qualname, nullptr, base, nullptr);
    if (type == nullptr) {
      return nullptr;
    }
    // Creating the type can run arbitrary code (GC); keep whichever came first.
    if (g_error_types[kind] == nullptr) {
      g_error_types[kind] = type;
    } else {
      Py_DECREF(type);
    }
  }
  return g_error_types[kind];
}

PyObject* internal_error_type() { return error_type(internal_error); }

void raise_stage_error(Stage stage) {
  const StageError e = stage_error(stage);
  if (PyObject* type = error_type(e.kind)) {
    PyErr_SetString(type, e.message);
  }
}

// ---------------------------------------------------------------------------
// Entry points.

constexpr const char* k_text_params[] = {"data"};
constexpr Signature k_text_signature = {"tenhou_to_mjai", k_text_params, 1, 1};

PyObject* py_tenhou_to_mjai(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    std::string_view data;
    if (bind_str_argument(k_text_signature, args, nargs, kwnames, data) == nullptr) {
      return nullptr;
    }
    return convert_to_list(PaddedText(data), raise_stage_error);
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

constexpr const char* k_file_params[] = {"filename", "mjai_out"};
constexpr Signature k_file_signature = {"tenhou_file_to_mjai", k_file_params, 1, 2};

PyObject* py_tenhou_file_to_mjai(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* in_path = nullptr;
  PyObject* out_path = nullptr;
  PyObject* list = nullptr;
  PyObject* ret = nullptr;
  try {
    PyObject* bound[2];  // borrowed
    if (bind_arguments(k_file_signature, args, nargs, kwnames, bound) < 0) {
      goto bail;
    }
    if ((in_path = fs_path_bytes("filename", bound[0])) == nullptr) {
      goto bail;
    }
    if (bound[1] != nullptr && bound[1] != Py_None &&
        (out_path = fs_path_bytes("mjai_out", bound[1])) == nullptr) {
      goto bail;
    }

    PaddedText input;
    if (read_file(bytes_view(in_path), k_open_log_failed, input) < 0) {
      goto bail;
    }
    if (!kifuzan::base::is_valid_utf8(input.view())) {
      PyErr_SetString(PyExc_OSError, k_not_utf8);
      goto bail;
    }

    auto lines = kifuzan::conv::tenhou_to_mjai_lines(input);
    if (!lines) {
      raise_stage_error(lines.error());
      goto bail;
    }
    // The list is made before anything is written, so running out of memory
    // cannot leave a half-written output.
    if ((list = lines_to_list(lines.value())) == nullptr) {
      goto bail;
    }
    if (out_path != nullptr &&
        write_lines_to(bytes_view(out_path), lines.value(), k_create_out_failed, k_write_out_failed) < 0) {
      goto bail;
    }
    ret = list;
    list = nullptr;
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    Py_CLEAR(ret);
  }
bail:
  Py_XDECREF(in_path);
  Py_XDECREF(out_path);
  Py_XDECREF(list);
  return ret;
}

// ---------------------------------------------------------------------------
// Module.

// Must outlive every function object made from them.
PyMethodDef g_file_method = {"tenhou_file_to_mjai", as_cfunction(py_tenhou_file_to_mjai),
                             METH_FASTCALL | METH_KEYWORDS, "tenhou_file_to_mjai(filename, mjai_out=None)\n--\n\n"};
PyMethodDef g_text_method = {"tenhou_to_mjai", as_cfunction(py_tenhou_to_mjai), METH_FASTCALL | METH_KEYWORDS,
                             "tenhou_to_mjai(data)\n--\n\n"};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_kifuzan",
    "",  // __doc__ is an empty str, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// PEP 440 spelling of the version: "-alpha" becomes "a", "-beta" "b".
std::string version_text() {
  const std::string_view v = KIFUZAN_VERSION;
  std::string out;
  for (std::size_t i = 0; i < v.size();) {
    if (v.substr(i, 6) == "-alpha") {
      out += 'a';
      i += 6;
    } else if (v.substr(i, 5) == "-beta") {
      out += 'b';
      i += 5;
    } else {
      out += v[i++];
    }
  }
  return out;
}

int add_version(PyObject* module, const char* attribute, const std::string& text) {
  PyObject* value = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (value == nullptr) {
    return -1;
  }
  const int rc = add_public(module, attribute, value);
  Py_DECREF(value);
  return rc;
}

int init_module(PyObject* module) {
  for (const ErrorKind kind :
       {tenhou_log_parsing_error, tenhou_to_mjai_error, json_serialization_error, json_parsing_error}) {
    PyObject* type = error_type(kind);
    if (type == nullptr || add_public(module, k_errors[kind].attribute, type) < 0) {
      return -1;
    }
  }
  // Not an attribute, but kifuzan._native raises the same class.
  PyObject* internal = error_type(internal_error);
  if (internal == nullptr || share_type(k_errors[internal_error].qualname, internal) < 0) {
    return -1;
  }
  if (add_function(module, &g_file_method) < 0 || add_function(module, &g_text_method) < 0) {
    return -1;
  }
  const std::string version = version_text();
  // Two distinct str objects with equal text.
  if (add_version(module, "__version__", version) < 0 || add_version(module, "VERSION", version) < 0) {
    return -1;
  }
  return 0;
}

PyObject* create_module() { return create_module_once(g_once, g_module_def, init_module); }

}  // namespace

PyMODINIT_FUNC PyInit__kifuzan() {
  try {
    return create_module();
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}
