#include "lib/binding.h"

#include <cstring>
#include <exception>
#include <new>

namespace kifuzan::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
std::string quoted_list(const char* const* names, Py_ssize_t count) {
  std::string out;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i > 0) {
      out += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  if (nargs > sig.total) {
    if (sig.required == sig.total) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", sig.function,
                   sig.total, nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
                   sig.function, sig.required, sig.total, nargs);
    }
    return -1;
  }
  for (Py_ssize_t i = 0; i < sig.total; ++i) {
    out[i] = i < nargs ? args[i] : nullptr;
  }
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
      return -1;
    }
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < sig.total; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
      return -1;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                   sig.names[slot]);
      return -1;
    }
    out[slot] = args[nargs + k];
  }
  const char* missing[4];
  Py_ssize_t nmissing = 0;
  for (Py_ssize_t i = 0; i < sig.required && nmissing < 4; ++i) {
    if (out[i] == nullptr) {
      missing[nmissing++] = sig.names[i];
    }
  }
  if (nmissing > 0) {
    const std::string list = quoted_list(missing, nmissing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", sig.function, nmissing,
                 nmissing == 1 ? "" : "s", list.c_str());
    return -1;
  }
  return 0;
}

void raise_not_a_string(const char* argument, PyObject* obj) {
  PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
  if (qualname == nullptr) {
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'", argument,
               qualname);
  Py_DECREF(qualname);
}

PyObject* fs_path_bytes(const char* argument, PyObject* obj) {
  PyObject* path = PyOS_FSPath(obj);
  if (path == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
      return nullptr;
    }
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* text = PyObject_Str(exc);
    Py_DECREF(exc);
    if (text != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument '%s': %U", argument, text);
      Py_DECREF(text);
    }
    return nullptr;
  }
  if (!PyUnicode_Check(path)) {
    raise_not_a_string(argument, path);
    Py_DECREF(path);
    return nullptr;
  }
  PyObject* bytes = PyUnicode_EncodeFSDefault(path);
  Py_DECREF(path);
  return bytes;
}

const char* str_argument(const char* argument, PyObject* obj, Py_ssize_t* size) {
  if (!PyUnicode_Check(obj)) {
    raise_not_a_string(argument, obj);
    return nullptr;
  }
  return PyUnicode_AsUTF8AndSize(obj, size);
}

int optional_str_argument(const char* argument, PyObject* obj, std::optional<std::string_view>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) {
    return 0;
  }
  Py_ssize_t size;
  const char* text = str_argument(argument, obj, &size);
  if (text == nullptr) {
    return -1;
  }
  out = std::string_view(text, static_cast<std::size_t>(size));
  return 0;
}

const char* bind_str_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              std::string_view& text) {
  PyObject* obj;  // borrowed
  if (bind_arguments(sig, args, nargs, kwnames, &obj) < 0) {
    return nullptr;
  }
  Py_ssize_t size;
  const char* utf8 = str_argument(sig.names[0], obj, &size);
  if (utf8 != nullptr) {
    text = std::string_view(utf8, static_cast<std::size_t>(size));
  }
  return utf8;
}

namespace {

// Makes one str per line and hands it to put(i, str), which takes the
// reference; stops with false at the first failure, its exception set. A line
// known to be ASCII is copied straight in, without the decoder.
template <class Put>
bool make_strs(conv::LinesView lines, Put put) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines.line(i);
    const auto len = static_cast<Py_ssize_t>(line.size());
    PyObject* item;
    if (lines.ascii(i)) {
      item = PyUnicode_New(len, 127);
      if (item != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(item), line.data(), line.size());
      }
    } else {
      item = PyUnicode_DecodeUTF8(line.data(), len, "strict");
    }
    if (item == nullptr || !put(i, item)) {
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* lines_to_list(conv::LinesView lines) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(lines.size()));
  if (list == nullptr) {
    return nullptr;
  }
  const bool made = make_strs(lines, [list](std::size_t i, PyObject* item) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);  // steals item
    return true;
  });
  if (!made) {
    Py_DECREF(list);
    return nullptr;
  }
  return list;
}

bool ListSink::block(const conv::LinesView& lines) {
  return make_strs(lines, [this](std::size_t, PyObject* item) {
    const int rc = PyList_Append(list_, item);
    Py_DECREF(item);
    return rc == 0;
  });
}

PyObject* convert_to_list(const conv::PaddedText& input, void (*raise_stage)(conv::Stage)) {
  PyObject* list = PyList_New(0);
  if (list == nullptr) {
    return nullptr;
  }
  ListSink sink(list);
  kifuzan::base::result<std::size_t, conv::Stage> done = kifuzan::base::failure(conv::Stage::serialize);
  try {
    done = conv::tenhou_to_mjai_blocks(input, sink);
  } catch (...) {
    Py_DECREF(list);
    throw;
  }
  if (!done) {
    // The sink stops only on a Python error, which then stands; otherwise a
    // stage refused the record, perhaps after some kyoku were made.
    if (!PyErr_Occurred()) {
      raise_stage(done.error());
    }
    Py_DECREF(list);
    return nullptr;
  }
  return list;
}

void raise_from_cpp_exception(PyObject* (*internal_type)()) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Clear();
    PyObject* type = internal_type();
    if (type == nullptr) {
      return;
    }
    const char* what = e.what();
    PyObject* message = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace");
    if (message != nullptr) {
      PyErr_SetObject(type, message);
      Py_DECREF(message);
    }
  } catch (...) {
    PyErr_Clear();
    if (PyObject* type = internal_type()) {
      PyErr_SetString(type, "unknown C++ exception");
    }
  }
}

int add_public(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all_key = PyUnicode_InternFromString("__all__");
  if (all_key == nullptr) {
    return -1;
  }
  PyObject* all = PyDict_GetItemWithError(dict, all_key);  // borrowed
  Py_DECREF(all_key);
  if (all == nullptr) {
    if (PyErr_Occurred()) {
      return -1;
    }
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) {
      return -1;
    }
    const int rc = PyModule_AddObjectRef(module, "__all__", fresh);
    Py_DECREF(fresh);
    if (rc < 0) {
      return -1;
    }
    all = fresh;  // now owned by the module dict
  }
  if (PyList_Append(all, name) < 0) {
    return -1;
  }
  return PyObject_SetAttr(module, name, value);
}

int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* key = PyUnicode_InternFromString(name);
  if (key == nullptr) {
    return -1;
  }
  const int rc = add_public(module, key, value);
  Py_DECREF(key);
  return rc;
}

int add_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) {
    return -1;
  }
  PyObject* func = PyCMethod_New(def, module, module_name, nullptr);
  Py_DECREF(module_name);
  if (func == nullptr) {
    return -1;
  }
  PyObject* name = PyObject_GetAttrString(func, "__name__");
  int rc = -1;
  if (name != nullptr) {
    rc = add_public(module, name, func);
    Py_DECREF(name);
  }
  Py_DECREF(func);
  return rc;
}

PyObject* create_module_once(ModuleOnce& once, PyModuleDef& def, int (*init)(PyObject*)) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!once.interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it is already loaded in another interpreter of this process",
                 def.m_name);
    return nullptr;
  }
  if (once.module != nullptr) {
    return Py_NewRef(once.module);
  }
  PyObject* module = PyModule_Create2(&def, 1013);
  if (module == nullptr) {
    return nullptr;
  }
  if (init(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  once.module = module;
  return Py_NewRef(module);
}

namespace {

// Borrowed; nullptr with ImportError set.
PyObject* interpreter_dict() {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, "this interpreter keeps no state for extension modules");
  }
  return dict;
}

}  // namespace

int share_type(const char* key, PyObject* type) {
  PyObject* dict = interpreter_dict();
  return dict == nullptr ? -1 : PyDict_SetItemString(dict, key, type);
}

PyObject* shared_type(const char* key) {
  PyObject* dict = interpreter_dict();
  if (dict == nullptr) {
    return nullptr;
  }
  PyObject* type = PyDict_GetItemString(dict, key);  // borrowed
  if (type == nullptr || !PyExceptionClass_Check(type)) {
    PyErr_Format(PyExc_ImportError, "%s is not shared in this interpreter", key);
    return nullptr;
  }
  return Py_NewRef(type);
}

}  // namespace kifuzan::py
