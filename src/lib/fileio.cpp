#include "lib/fileio.h"

#include "lib/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kifuzan::py {

namespace {

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

[[maybe_unused]] const char* pick_strerror(int rc, const char* buf) { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* pick_strerror(const char* text, const char*) { return text; }

}  // namespace

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

PyObject* os_error_type(int err) {
  switch (err) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case EEXIST: return PyExc_FileExistsError;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN: return PyExc_BlockingIOError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EINTR: return PyExc_InterruptedError;
    default: return PyExc_OSError;
  }
}

const char* error_text(int err, char* buf, std::size_t size) {
  return pick_strerror(strerror_r(err, buf, size), buf);
}

PyObject* os_error_message(int err) {
  char buf[256];
  return PyUnicode_FromFormat("%s (os error %d)", error_text(err, buf, sizeof buf), err);
}

void raise_os_error(int err) {
  PyObject* type = os_error_type(err);
  PyObject* message = os_error_message(err);
  if (message != nullptr) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
}

int read_file(std::string_view path, const char* open_failed, conv::PaddedText& out) {
  io::Status status = io::Status::ok;
  int error = 0;
  // An embedded NUL makes the name invalid; open() would see a shorter one.
  // `path` is the payload of a bytes object, so it is NUL-terminated.
  io::FileDescriptor in(path.find('\0') == std::string_view::npos
                            ? io::open_file(path.data(), O_RDONLY | O_CLOEXEC, 0, CheckSignals{}, status, error)
                            : -1);
  if (status == io::Status::interrupted) {
    return -1;
  }
  struct stat st;
  // Opening a directory for reading succeeds on POSIX; refuse it here so
  // that every unusable name fails the same way.
  if (!in.valid() || ::fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
    const std::string message = open_failed + debug_form(path);
    PyErr_SetString(PyExc_FileNotFoundError, message.c_str());
    return -1;
  }
  const std::size_t hint = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  status = io::read_whole(in.get(), hint, out, CheckSignals{}, error);
  if (status == io::Status::error) {
    raise_os_error(error);
  }
  return status == io::Status::ok ? 0 : -1;
}

int write_lines_to(std::string_view path, conv::LinesView lines, const char* create_failed,
                   const char* write_failed) {
  io::Status status = io::Status::ok;
  int error = 0;
  if (is_stdout_path(path)) {
    // The process's own stream, bypassing sys.stdout; fd 1 stays open.
    status = io::write_lines(STDOUT_FILENO, lines.text, lines.end, CheckSignals{}, error);
  } else {
    // A regular file is written to a temporary file beside it and renamed
    // into place, so that a failed write leaves the old file (or none); the
    // rest, or where no temporary file can be made, is written in place.
    if (path.find('\0') != std::string_view::npos) {
      error = ENOENT;
    }
    const std::string name(path);
    const auto failed =
        error != 0 ? std::optional<io::WriteFailure>(io::WriteFailure{io::WriteFailure::Step::create, error, name})
                   : io::write_output(
                         name.c_str(),
                         [&](int fd, int& err) { return io::write_lines(fd, lines.text, lines.end, CheckSignals{}, err); },
                         CheckSignals{});
    if (failed && failed->step == io::WriteFailure::Step::interrupted) {
      return -1;
    }
    if (failed && failed->step == io::WriteFailure::Step::create) {
      PyObject* display = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
      if (display != nullptr) {
        PyObject* message = PyUnicode_FromFormat("%s%U", create_failed, display);
        Py_DECREF(display);
        if (message != nullptr) {
          PyErr_SetObject(PyExc_OSError, message);
          Py_DECREF(message);
        }
      }
      return -1;
    }
    if (failed) {
      status = io::Status::error;
    }
  }
  if (status == io::Status::error) {
    PyErr_SetString(PyExc_OSError, write_failed);
  }
  return status == io::Status::ok ? 0 : -1;
}

}  // namespace kifuzan::py
