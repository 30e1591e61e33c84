// The _kifuzan extension module: registration, the exception types, and the
// two entry points that run the core pipeline and map its failures onto
// Python exceptions. Written directly against the CPython 3.12 C API.
//
// Every entry point holds the GIL from start to finish. C++ exceptions never
// cross into the interpreter: std::bad_alloc becomes MemoryError, anything
// else _kifuzan.InternalError (a direct BaseException subclass).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "kifuzan/conv/input.h"
#include "kifuzan/conv/pipeline.h"

#ifndef KIFUZAN_VERSION
#define KIFUZAN_VERSION "0.3.0"
#endif

namespace {

using kifuzan::conv::Lines;
using kifuzan::conv::PaddedText;
using kifuzan::conv::Stage;

// ---------------------------------------------------------------------------
// Process-wide state. Filled at most once, never torn down: the module is
// single-phase and bound to the first interpreter that imports it.

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

enum ErrorKind : int {
  tenhou_log_parsing_error,
  tenhou_to_mjai_error,
  json_serialization_error,
  json_parsing_error,
  internal_error,
  error_kind_count,
};

struct ErrorInfo {
  const char* qualname;
  const char* attribute;  // nullptr: not exported
  bool internal;          // derives from BaseException instead of ValueError
};

constexpr ErrorInfo k_errors[error_kind_count] = {
    {"_kifuzan.TenhouLogParsingError", "TenhouLogParsingError", false},
    {"_kifuzan.TenhouToMjaiError", "TenhouToMjaiError", false},
    {"_kifuzan.JsonSerializationError", "JsonSerializationError", false},
    {"_kifuzan.JsonParsingError", "JsonParsingError", false},
    // Not a module attribute: nothing should catch it by name, it means a
    // broken invariant in the core.
    {"_kifuzan.InternalError", nullptr, true},
};

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

void raise_error(ErrorKind kind, const char* message) {
  if (PyObject* type = error_type(kind)) {
    PyErr_SetString(type, message);
  }
}

void raise_stage_error(Stage stage) {
  switch (stage) {
    case Stage::parse:
      raise_error(json_parsing_error, "failed to parse tenhou.net/6 log");
      return;
    case Stage::normalise:
      raise_error(tenhou_log_parsing_error, "invalid log");
      return;
    case Stage::convert:
      raise_error(tenhou_to_mjai_error, "failed to convert tenhou.net/6 log to mjai");
      return;
    case Stage::serialize:
      raise_error(json_serialization_error, "failed to serialize");
      return;
  }
  raise_error(internal_error, "unknown pipeline stage");
}

// Called from a catch block: turns the in-flight C++ exception into a Python
// one, replacing whatever Python error might already be set.
void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Clear();
    PyObject* type = error_type(internal_error);
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
    raise_error(internal_error, "unknown C++ exception");
  }
}

// ---------------------------------------------------------------------------
// Argument binding with the interpreter's own wording.

struct Signature {
  const char* function;
  const char* const* names;
  Py_ssize_t required;  // the first `required` parameters have no default
  Py_ssize_t total;
};

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

// Fills out[0..total) with borrowed references, nullptr for an omitted
// optional parameter. Returns -1 with TypeError set on failure.
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

// TypeError "argument 'NAME': 'T' object cannot be converted to 'PyString'",
// T being the qualified name of the object's type.
void raise_not_a_string(const char* argument, PyObject* obj) {
  PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
  if (qualname == nullptr) {
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'", argument,
               qualname);
  Py_DECREF(qualname);
}

// ---------------------------------------------------------------------------
// Results.

// New list with one str per line, or nullptr with an exception set.
PyObject* lines_to_list(const Lines& lines) {
  const std::size_t n = lines.size();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) {
    return nullptr;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view line = lines.line(i);
    const auto len = static_cast<Py_ssize_t>(line.size());
    PyObject* item;
    if (i < lines.ascii.size() && lines.ascii[i]) {
      // Known ASCII: skip the decoder and copy the bytes straight in.
      item = PyUnicode_New(len, 127);
      if (item != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(item), line.data(), line.size());
      }
    } else {
      item = PyUnicode_DecodeUTF8(line.data(), len, "strict");
    }
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

// ---------------------------------------------------------------------------
// Paths.

// Converts a path-like argument into its file-system bytes (a new bytes
// object), or nullptr with an exception set.
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

std::string_view bytes_view(PyObject* bytes) {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// Length of the well-formed UTF-8 sequence at s[0], storing its code point,
// or 0 if the bytes there are not one.
std::size_t decode_utf8(std::string_view s, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, min = 0x80, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, min = 0x800, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() < len) {
    return 0;
  }
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

// The path quoted and escaped for an error message: \\ \" \' \t \r \n,
// other non-printable characters as \u{hex}, undecodable bytes as \xHH.
std::string debug_form(std::string_view path) {
  static constexpr char hex_lower[] = "0123456789abcdef";
  static constexpr char hex_upper[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < path.size()) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(path.substr(i), cp);
    if (len == 0) {
      const auto b = static_cast<unsigned char>(path[i]);
      out += "\\x";
      out += hex_upper[b >> 4];
      out += hex_upper[b & 0xF];
      ++i;
      continue;
    }
    switch (cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
          out.append(path.substr(i, len));
        } else {
          char digits[8];
          int n = 0;
          do {
            digits[n++] = hex_lower[cp & 0xF];
            cp >>= 4;
          } while (cp != 0);
          out += "\\u{";
          while (n > 0) {
            out += digits[--n];
          }
          out += '}';
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

// Whether the path, compared component-wise, is "-": redundant separators and
// non-leading "." components do not count, a leading "./" or "/" does.
bool is_stdout_path(std::string_view path) {
  if (path.empty() || path[0] != '-') {
    return false;
  }
  for (std::size_t i = 1; i < path.size();) {
    if (path[i] == '/') {
      ++i;
    } else if (path[i] == '.' && (i + 1 == path.size() || path[i + 1] == '/') && path[i - 1] == '/') {
      ++i;
    } else {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// File input and output.

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Close errors are not reported: every byte was handed to the kernel by a
  // successful write already.
  void close() noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  int fd_;
};

[[maybe_unused]] const char* pick_strerror(int rc, const char* buf) { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* pick_strerror(const char* text, const char*) { return text; }

// Raises the OSError subclass for errno `err` with the sole argument
// "<system text> (os error N)".
void raise_os_error(int err) {
  PyObject* type;
  switch (err) {
    case ENOENT: type = PyExc_FileNotFoundError; break;
    case EACCES:
    case EPERM: type = PyExc_PermissionError; break;
    case ECONNREFUSED: type = PyExc_ConnectionRefusedError; break;
    case ECONNRESET: type = PyExc_ConnectionResetError; break;
    case ECONNABORTED: type = PyExc_ConnectionAbortedError; break;
    case EPIPE: type = PyExc_BrokenPipeError; break;
    case EEXIST: type = PyExc_FileExistsError; break;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN: type = PyExc_BlockingIOError; break;
    case ETIMEDOUT: type = PyExc_TimeoutError; break;
    case EINTR: type = PyExc_InterruptedError; break;
    default: type = PyExc_OSError; break;
  }
  char buf[256];
  const char* text = pick_strerror(strerror_r(err, buf, sizeof buf), buf);
  PyObject* message = PyUnicode_FromFormat("%s (os error %d)", text, err);
  if (message != nullptr) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
}

// read(2), retried when a signal interrupts it.
ssize_t read_retrying(int fd, void* p, std::size_t n) noexcept {
  ssize_t r;
  do {
    r = ::read(fd, p, n);
  } while (r < 0 && errno == EINTR);
  return r;
}

// Reads the whole file into `out`. Returns -1 with an exception set on a read
// error; the file's reported size only pre-sizes the buffer, so files that
// report 0 (/proc, pipes) or change while being read come out whole.
int read_whole(int fd, std::size_t size_hint, PaddedText& out) {
  std::size_t capacity = size_hint > 0 ? size_hint : 8192;
  PaddedText buf(capacity);
  std::size_t len = 0;
  for (;;) {
    if (len == capacity) {
      // Full: probe for end of file before growing, so that a file whose size
      // was reported correctly is never copied.
      char probe[8192];
      const ssize_t r = read_retrying(fd, probe, sizeof probe);
      if (r < 0) {
        raise_os_error(errno);
        return -1;
      }
      if (r == 0) {
        break;
      }
      const auto got = static_cast<std::size_t>(r);
      capacity = std::max(capacity * 2, len + got);
      PaddedText grown(capacity);
      std::memcpy(grown.data(), buf.data(), len);
      std::memcpy(grown.data() + len, probe, got);
      len += got;
      buf = std::move(grown);
      continue;
    }
    const ssize_t r = read_retrying(fd, buf.data() + len, capacity - len);
    if (r < 0) {
      raise_os_error(errno);
      return -1;
    }
    if (r == 0) {
      break;
    }
    len += static_cast<std::size_t>(r);
  }
  buf.truncate(len);
  out = std::move(buf);
  return 0;
}

// Writes all bytes, retrying on EINTR and continuing after short writes.
bool write_all(int fd, const char* p, std::size_t n) noexcept {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (w == 0) {
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Writes every line in chunks of whole lines of up to 64 KiB each; a single
// longer line goes in one chunk of its own.
bool write_lines(int fd, const Lines& lines) noexcept {
  constexpr std::size_t chunk = 64 * 1024;
  const std::size_t n = lines.size();
  std::size_t i = 0;
  std::size_t begin = 0;
  while (i < n) {
    // Last line k >= i whose '\n' still fits in [begin, begin + chunk).
    auto it = std::upper_bound(lines.end.begin() + static_cast<std::ptrdiff_t>(i), lines.end.end(),
                               begin + chunk - 1);
    std::size_t k = static_cast<std::size_t>(it - lines.end.begin());
    k = k > i ? k - 1 : i;
    const std::size_t stop = lines.end[k] + 1;
    if (!write_all(fd, lines.text.data() + begin, stop - begin)) {
      return false;
    }
    begin = stop;
    i = k + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Entry points.

constexpr const char* k_text_params[] = {"data"};
constexpr Signature k_text_signature = {"tenhou_to_mjai", k_text_params, 1, 1};

PyObject* py_tenhou_to_mjai(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* ret = nullptr;
  try {
    PyObject* data;  // borrowed
    if (bind_arguments(k_text_signature, args, nargs, kwnames, &data) < 0) {
      goto bail;
    }
    if (!PyUnicode_Check(data)) {
      raise_not_a_string("data", data);
      goto bail;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
    if (utf8 == nullptr) {
      goto bail;
    }
    const PaddedText input(std::string_view(utf8, static_cast<std::size_t>(size)));
    auto lines = kifuzan::conv::tenhou_to_mjai_lines(input);
    if (!lines) {
      raise_stage_error(lines.error());
      goto bail;
    }
    ret = lines_to_list(lines.value());
  } catch (...) {
    raise_from_cpp_exception();
    Py_CLEAR(ret);
  }
bail:
  return ret;
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
    {
      // An embedded NUL makes the name invalid; open() would see a shorter one.
      const std::string_view name = bytes_view(in_path);
      FileDescriptor in(name.find('\0') == std::string_view::npos
                            ? ::open(PyBytes_AS_STRING(in_path), O_RDONLY | O_CLOEXEC)
                            : -1);
      struct stat st;
      // Opening a directory for reading succeeds on POSIX; refuse it here so
      // that every unusable name fails the same way.
      if (!in.valid() || ::fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        const std::string message = "failed to open tenhou.net/6 log file " + debug_form(name);
        PyErr_SetString(PyExc_FileNotFoundError, message.c_str());
        goto bail;
      }
      const std::size_t hint = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
      if (read_whole(in.get(), hint, input) < 0) {
        goto bail;
      }
    }
    if (!kifuzan::conv::is_valid_utf8(input.view())) {
      PyErr_SetString(PyExc_OSError, "stream did not contain valid UTF-8");
      goto bail;
    }

    auto lines = kifuzan::conv::tenhou_to_mjai_lines(input);
    if (!lines) {
      raise_stage_error(lines.error());
      goto bail;
    }
    if ((list = lines_to_list(lines.value())) == nullptr) {
      goto bail;
    }

    if (out_path != nullptr) {
      const std::string_view name = bytes_view(out_path);
      if (is_stdout_path(name)) {
        // The process's own stream, bypassing sys.stdout; fd 1 stays open.
        if (!write_lines(STDOUT_FILENO, lines.value())) {
          PyErr_SetString(PyExc_OSError, "failed to write to mjai out file");
          goto bail;
        }
      } else {
        FileDescriptor out(name.find('\0') == std::string_view::npos
                               ? ::open(PyBytes_AS_STRING(out_path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                               : -1);
        if (!out.valid()) {
          PyObject* display = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
          if (display != nullptr) {
            PyObject* message = PyUnicode_FromFormat("failed to create mjai out file %U", display);
            Py_DECREF(display);
            if (message != nullptr) {
              PyErr_SetObject(PyExc_OSError, message);
              Py_DECREF(message);
            }
          }
          goto bail;
        }
        if (!write_lines(out.get(), lines.value())) {
          out.close();
          PyErr_SetString(PyExc_OSError, "failed to write to mjai out file");
          goto bail;
        }
      }
    }
    ret = list;
    list = nullptr;
  } catch (...) {
    raise_from_cpp_exception();
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

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

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

// Appends `name` to __all__ (creating the list on first use), then sets the
// attribute. `value` is borrowed.
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

std::string version_text() {
  std::string v = KIFUZAN_VERSION;
  const auto replace_all = [&v](std::string_view from, std::string_view to) {
    for (std::size_t at = v.find(from); at != std::string::npos; at = v.find(from, at + to.size())) {
      v.replace(at, from.size(), to);
    }
  };
  replace_all("-alpha", "a");
  replace_all("-beta", "b");
  return v;
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

PyObject* create_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_kifuzan does not support sub-interpreters: it is already loaded in another interpreter "
                    "of this process");
    return nullptr;
  }
  if (g_module != nullptr) {
    return Py_NewRef(g_module);
  }
  PyObject* module = PyModule_Create2(&g_module_def, 1013);
  if (module == nullptr) {
    return nullptr;
  }
  if (init_module(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = module;  // the slot keeps this reference for the process's life
  } else {
    Py_DECREF(module);
  }
  return Py_NewRef(g_module);
}

}  // namespace

PyMODINIT_FUNC PyInit__kifuzan() {
  try {
    return create_module();
  } catch (...) {
    raise_from_cpp_exception();
    return nullptr;
  }
}
