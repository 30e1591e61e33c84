// Helpers shared by the package's extension modules: argument binding in the
// interpreter's own wording, path arguments, results as Python objects,
// registration, and turning C++ exceptions into Python ones.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kifuzan/conv/pipeline.h"

namespace kifuzan::py {

struct Signature {
  const char* function;
  const char* const* names;
  Py_ssize_t required;  // the first `required` parameters have no default
  Py_ssize_t total;
};

// Fills out[0..total) with borrowed references, nullptr for an omitted
// optional parameter. Returns -1 with TypeError set on failure.
int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// TypeError "argument 'NAME': 'T' object cannot be converted to 'PyString'",
// T being the qualified name of the object's type.
void raise_not_a_string(const char* argument, PyObject* obj);

// Converts a path-like argument into its file-system bytes (a new bytes
// object), or nullptr with an exception set.
PyObject* fs_path_bytes(const char* argument, PyObject* obj);

inline std::string_view bytes_view(PyObject* bytes) {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// The UTF-8 text of a str argument, or nullptr with TypeError (not a str) or
// UnicodeEncodeError (lone surrogates) set.
const char* str_argument(const char* argument, PyObject* obj, Py_ssize_t* size);

// An optional str argument (omitted or None: nothing); -1 with an exception
// set, as str_argument sets it.
int optional_str_argument(const char* argument, PyObject* obj, std::optional<std::string_view>& out);

// Binds the one str argument of `sig` (its only parameter) and returns its
// UTF-8 text, or nullptr with an exception set.
const char* bind_str_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              std::string_view& text);

// New list with one str per line, or nullptr with an exception set.
PyObject* lines_to_list(conv::LinesView lines);

// Appends each line of each block to a list; stops at the first failure,
// leaving its Python exception set.
class ListSink final : public conv::LineSink {
 public:
  explicit ListSink(PyObject* list) : list_(list) {}
  bool block(const conv::LinesView& lines) override;

 private:
  PyObject* list_;
};

// Runs the pipeline on `input`, making the list's str objects block by block
// as the output comes, so the whole text never exists beside the list. A new
// list, or nullptr with an exception set: the pipeline's failure is passed
// to `raise_stage` (with no Python error pending).
PyObject* convert_to_list(const conv::PaddedText& input, void (*raise_stage)(conv::Stage));

// Called from a catch block: turns the in-flight C++ exception into a Python
// one, replacing whatever Python error might already be set. Anything but
// std::bad_alloc becomes `internal_type()` (which may itself fail).
void raise_from_cpp_exception(PyObject* (*internal_type)()) noexcept;

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A single-phase module made once a process, bound to the first interpreter
// that imports it: the module's globals hold its objects, so another
// interpreter is refused (ImportError) rather than handed them.
struct ModuleOnce {
  std::atomic<std::int64_t> interpreter{-1};
  PyObject* module = nullptr;  // kept for the process's life
};

// The module of `once`, made from `def` and filled by `init` on first use.
PyObject* create_module_once(ModuleOnce& once, PyModuleDef& def, int (*init)(PyObject*));

// A class one module makes and another raises, though no module attribute
// holds it: kept in the interpreter's dict for extension modules under `key`.
// shared_type gives a new reference, or nullptr with an exception set.
int share_type(const char* key, PyObject* type);
PyObject* shared_type(const char* key);

// Appends `name` to __all__ (creating the list on first use), then sets the
// attribute. `value` is borrowed.
int add_public(PyObject* module, PyObject* name, PyObject* value);
int add_public(PyObject* module, const char* name, PyObject* value);

// Makes a function bound to the module from `def` (which must outlive it) and
// adds it as public under its __name__.
int add_function(PyObject* module, PyMethodDef* def);

}  // namespace kifuzan::py
