// kifuzan._native: the package's own extension module, for what goes beyond
// _kifuzan's fixed surface. It shares the core and the binding, file and
// message helpers with _kifuzan, and raises _kifuzan's own exception types
// for the pipeline's failures.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "kifuzan/conv/diagnose.h"
#include "kifuzan/conv/input.h"
#include "kifuzan/conv/pipeline.h"
#include "kifuzan/mjlog/document.h"
#include "kifuzan/mjlog/pipeline.h"
#include "lib/binding.h"
#include "lib/fileio.h"
#include "lib/messages.h"
#include "lib/posix_io.h"
#include "lib/three_player.h"

namespace {

using kifuzan::conv::Lines;
using kifuzan::conv::PaddedText;
using kifuzan::conv::Stage;
using namespace kifuzan::py;
namespace io = kifuzan::io;

// ---------------------------------------------------------------------------
// Process-wide state, filled once at import (single-phase, like _kifuzan).

PyObject* g_module = nullptr;
// _kifuzan's exception types, so that callers catch the same classes from
// either module. Strong references, kept for the process's life.
PyObject* g_stage_types[error_kind_count] = {};
PyObject* g_internal_error = nullptr;
PyObject* g_status[4] = {};  // "converted", "skipped", "failed", "deferred"
PyObject* g_empty = nullptr;

PyObject* internal_error_type() { return g_internal_error; }

void raise_stage_error(Stage stage) {
  const StageError e = stage_error(stage);
  PyErr_SetString(g_stage_types[e.kind] != nullptr ? g_stage_types[e.kind] : g_internal_error, e.message);
}

// ---------------------------------------------------------------------------
// mjlog records

PyObject* g_mjlog_error = nullptr;  // kifuzan.MjlogError, a ValueError

void raise_mjlog_error(const kifuzan::mjlog::MjlogError& e) {
  PyObject* message = PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace");
  if (message != nullptr) {
    PyErr_SetObject(g_mjlog_error, message);
    Py_DECREF(message);
  }
}

constexpr const char* k_mjlog_doc_params[] = {"xml", "ref"};
constexpr Signature k_mjlog_doc_signature = {"mjlog_to_tenhou6", k_mjlog_doc_params, 1, 2};

PyObject* py_mjlog_to_tenhou6(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[2];
    if (bind_arguments(k_mjlog_doc_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    Py_ssize_t size;
    const char* xml = str_argument("xml", bound[0], &size);
    if (xml == nullptr) {
      return nullptr;
    }
    std::optional<std::string_view> ref;
    if (bound[1] != nullptr && bound[1] != Py_None) {
      Py_ssize_t ref_size;
      const char* r = str_argument("ref", bound[1], &ref_size);
      if (r == nullptr) {
        return nullptr;
      }
      ref = std::string_view(r, static_cast<std::size_t>(ref_size));
    }
    auto doc = kifuzan::mjlog::read_mjlog(std::string_view(xml, static_cast<std::size_t>(size)));
    if (!doc) {
      raise_mjlog_error(doc.error());
      return nullptr;
    }
    const std::string text = kifuzan::mjlog::write_tenhou6(doc.value(), ref);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// Raises for a failed mjlog_to_mjai_lines: MjlogError, or the exception the
// same document's JSON text raises from tenhou_to_mjai.
void raise_mjlog_to_mjai_error(const kifuzan::mjlog::MjlogToMjaiError& e) {
  if (const auto* m = std::get_if<kifuzan::mjlog::MjlogError>(&e)) {
    raise_mjlog_error(*m);
  } else {
    raise_stage_error(kifuzan::conv::stage_of(std::get<kifuzan::conv::Error>(e).kind));
  }
}

constexpr const char* k_mjlog_params[] = {"xml"};
constexpr Signature k_mjlog_signature = {"mjlog_to_mjai", k_mjlog_params, 1, 1};

PyObject* py_mjlog_to_mjai(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    std::string_view xml;
    if (bind_str_argument(k_mjlog_signature, args, nargs, kwnames, xml) == nullptr) {
      return nullptr;
    }
    auto lines = kifuzan::mjlog::mjlog_to_mjai_lines(xml);
    if (!lines) {
      raise_mjlog_to_mjai_error(lines.error());
      return nullptr;
    }
    return lines_to_list(lines.value());
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// Whether the text is an mjlog record: an optional byte order mark, white
// space, an XML declaration and comments, then the <mjloggm root.
bool is_mjlog(std::string_view t) {
  if (t.substr(0, 3) == "\xEF\xBB\xBF") {
    t.remove_prefix(3);
  }
  for (;;) {
    const std::size_t start = t.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) {
      return false;
    }
    t.remove_prefix(start);
    if (t.substr(0, 4) == "<!--" || t.substr(0, 5) == "<?xml") {
      const std::string_view close = t[1] == '!' ? "-->" : "?>";
      const std::size_t end = t.find(close, 4);
      if (end == std::string_view::npos) {
        return false;
      }
      t.remove_prefix(end + close.size());
      continue;
    }
    return t.substr(0, 8) == "<mjloggm" && (t.size() == 8 || std::string_view(" \t\r\n>/").find(t[8]) != std::string_view::npos);
  }
}

// Why a record gave no lines: what diagnose says, and the stage, or an mjlog
// reader's message.
struct RecordFailure {
  std::variant<Stage, kifuzan::mjlog::MjlogError> what;
};

// A tenhou.net/6 or mjlog record, told by its content, to mjai lines.
mjai::result<Lines, RecordFailure> record_to_lines(const PaddedText& input) {
  if (is_mjlog(input.view())) {
    auto lines = kifuzan::mjlog::mjlog_to_mjai_lines(input.view());
    if (lines) {
      return std::move(lines).value();
    }
    if (const auto* m = std::get_if<kifuzan::mjlog::MjlogError>(&lines.error())) {
      return mjai::failure(RecordFailure{*m});
    }
    return mjai::failure(RecordFailure{kifuzan::conv::stage_of(std::get<kifuzan::conv::Error>(lines.error()).kind)});
  }
  auto lines = kifuzan::conv::tenhou_to_mjai_lines(input);
  if (!lines) {
    return mjai::failure(RecordFailure{lines.error()});
  }
  return std::move(lines).value();
}

void raise_record_failure(const RecordFailure& f) {
  if (const auto* m = std::get_if<kifuzan::mjlog::MjlogError>(&f.what)) {
    raise_mjlog_error(*m);
  } else {
    raise_stage_error(std::get<Stage>(f.what));
  }
}

// The diagnosis of a record: for mjlog, the reader's refusal, or what the
// converter says of the document it read (no byte offset: it would be one of
// the document's text, not of the XML).
struct Why {
  kifuzan::conv::Diagnosis diagnosis;
  bool mjlog_error = false;  // the reader refused the text: MjlogError
};

std::optional<Why> diagnose_record(const PaddedText& input) {
  if (!is_mjlog(input.view())) {
    if (auto why = kifuzan::conv::diagnose(input)) {
      return Why{std::move(*why)};
    }
    return std::nullopt;
  }
  auto doc = kifuzan::mjlog::read_mjlog(input.view());
  if (!doc) {
    return Why{{Stage::parse, kifuzan::conv::Exception::json_parsing_error, doc.error().message, std::nullopt,
                std::nullopt, std::nullopt},
               true};
  }
  auto why = kifuzan::conv::diagnose(PaddedText(kifuzan::mjlog::write_tenhou6(doc.value())));
  if (!why) {
    return std::nullopt;
  }
  why->offset.reset();
  return Why{std::move(*why)};
}

// ---------------------------------------------------------------------------
// record_bytes_to_mjai(data: bytes) -> bytes

constexpr const char* k_bytes_params[] = {"data"};
constexpr Signature k_bytes_signature = {"record_bytes_to_mjai", k_bytes_params, 1, 1};

PyObject* py_record_bytes_to_mjai(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* data;
    if (bind_arguments(k_bytes_signature, args, nargs, kwnames, &data) < 0) {
      return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
      return nullptr;
    }
    const PaddedText input(std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
    PyBuffer_Release(&view);
    if (!kifuzan::conv::is_valid_utf8(input.view())) {
      PyErr_SetString(PyExc_OSError, k_not_utf8);
      return nullptr;
    }
    auto lines = record_to_lines(input);
    if (!lines) {
      raise_record_failure(lines.error());
      return nullptr;
    }
    const std::string_view text = lines.value().text;  // every line ends with '\n'
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// convert_files(jobs, force=False) -> list[tuple[str, str, str]]

// deferred: gzip-compressed, left to the caller (zlib is Python's).
enum class Status : std::uint8_t { converted, skipped, failed, deferred };

// What went wrong with one record, kept as plain data while the GIL is
// released and made into texts afterwards.
enum class Failure : std::uint8_t { none, open, read, not_utf8, stage, mjlog, create, write, rename, interrupted };

struct Outcome {
  Status status = Status::converted;
  Failure failure = Failure::none;
  Stage stage = Stage::parse;
  int error = 0;       // errno, where one applies
  std::string where;   // the path an OS error is about
  std::string target;  // for a failed rename: the final name
  std::optional<Why> why;  // for a refused record
};

struct Job {
  std::string src, out;
};

// While the GIL is released, a signal that interrupts a system call is
// handled by taking the GIL back for a moment: the handlers run only then.
struct CheckSignalsReleased {
  PyThreadState** saved;
  bool operator()() const {
    PyEval_RestoreThread(*saved);
    const bool retry = PyErr_CheckSignals() == 0;
    *saved = PyEval_SaveThread();
    return retry;
  }
};

bool newer_or_same(const struct stat& a, const struct stat& b) {
  return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                              : a.st_mtim.tv_nsec >= b.st_mtim.tv_nsec;
}

// mkdir -p; 0 or an errno. `made` remembers folders made or seen during this
// call only, so a tree deleted between calls is made again.
int make_folders(const std::string& folder, std::unordered_set<std::string>& made) {
  if (folder.empty() || made.count(folder)) {
    return 0;
  }
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      return EEXIST;
    }
    made.insert(folder);
    return 0;
  }
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (const int err = make_folders(folder.substr(0, slash), made)) {
      return err;
    }
  }
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    return errno;
  }
  made.insert(folder);
  return 0;
}

// 8 lowercase hex digits, different for every temporary name of a process.
std::uint32_t next_tmp_tag() {
  static std::atomic<std::uint64_t> state{static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()) ^ (static_cast<std::uint64_t>(::getpid()) << 32)};
  std::uint64_t x = state.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<std::uint32_t>(x);
}

// ".<name>.<pid>.<8 hex>.tmp" beside `out`: the pid lets a later run tell a
// dead run's leftovers from a live one's files.
std::string temporary_beside(const std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  const std::size_t slash = out.find_last_of('/');
  const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  std::string tmp = out.substr(0, name_at);
  tmp += '.';
  tmp.append(out, name_at, std::string::npos);
  tmp += '.';
  char pid[24];
  tmp.append(pid, std::to_chars(pid, pid + sizeof pid, static_cast<long>(::getpid())).ptr);
  tmp += '.';
  const std::uint32_t tag = next_tmp_tag();
  for (int shift = 28; shift >= 0; shift -= 4) {
    tmp += hex[(tag >> shift) & 0xF];
  }
  tmp += ".tmp";
  return tmp;
}

// One record, file to file: nothing is created before the record has
// converted, and the output appears whole or not at all.
template <class OnEintr>
Outcome convert_file(const Job& job, bool force, OnEintr on_eintr, std::unordered_set<std::string>& made) {
  Outcome o;
  o.status = Status::failed;
  struct stat src_st;
  if (!force) {
    struct stat out_st;
    if (::stat(job.out.c_str(), &out_st) == 0 && ::stat(job.src.c_str(), &src_st) == 0 &&
        newer_or_same(out_st, src_st)) {
      o.status = Status::skipped;
      return o;
    }
  }
  PaddedText input;
  {
    io::Status s = io::Status::ok;
    io::FileDescriptor in(job.src.find('\0') == std::string::npos
                              ? io::open_file(job.src.c_str(), O_RDONLY | O_CLOEXEC, 0, on_eintr, s, o.error)
                              : -1);
    if (s == io::Status::interrupted) {
      o.failure = Failure::interrupted;
      return o;
    }
    if (!in.valid() || ::fstat(in.get(), &src_st) != 0 || S_ISDIR(src_st.st_mode)) {
      o.failure = Failure::open;
      return o;
    }
    const std::size_t hint =
        S_ISREG(src_st.st_mode) && src_st.st_size > 0 ? static_cast<std::size_t>(src_st.st_size) : 0;
    s = io::read_whole(in.get(), hint, input, on_eintr, o.error);
    if (s != io::Status::ok) {
      o.failure = s == io::Status::interrupted ? Failure::interrupted : Failure::read;
      return o;
    }
  }
  if (input.view().substr(0, 2) == "\x1f\x8b") {
    o.status = Status::deferred;
    return o;
  }
  if (!kifuzan::conv::is_valid_utf8(input.view())) {
    o.failure = Failure::not_utf8;
    return o;
  }
  auto lines = record_to_lines(input);
  if (!lines) {
    if (const auto* m = std::get_if<kifuzan::mjlog::MjlogError>(&lines.error().what)) {
      o.failure = Failure::mjlog;
      o.where = m->message;
    } else {
      o.failure = Failure::stage;
      o.stage = std::get<Stage>(lines.error().what);
    }
    // Refusals are rare: running the stages again to say why costs little.
    o.why = diagnose_record(input);
    return o;
  }
  // A folder that cannot be made fails the record when its file is created.
  if (const std::size_t slash = job.out.find_last_of('/'); slash != std::string::npos && slash > 0) {
    make_folders(job.out.substr(0, slash), made);
  }
  std::string tmp;
  io::FileDescriptor fd;
  for (;;) {
    tmp = temporary_beside(job.out);
    io::Status s = io::Status::ok;
    // 0666: the umask decides, as for any file the user creates.
    fd.reset(io::open_file(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666, on_eintr, s, o.error));
    if (s == io::Status::ok) {
      break;
    }
    if (s == io::Status::interrupted) {
      o.failure = Failure::interrupted;
      return o;
    }
    if (o.error != EEXIST) {
      o.failure = Failure::create;
      o.where = tmp;
      return o;
    }
  }
  const io::Status s = io::write_lines(fd.get(), lines.value(), on_eintr, o.error);
  fd.close();
  if (s != io::Status::ok) {
    ::unlink(tmp.c_str());
    o.failure = s == io::Status::interrupted ? Failure::interrupted : Failure::write;
    return o;
  }
  if (::rename(tmp.c_str(), job.out.c_str()) != 0) {
    o.error = errno;
    ::unlink(tmp.c_str());
    o.failure = Failure::rename;
    o.where = std::move(tmp);
    o.target = job.out;
    return o;
  }
  o.status = Status::converted;
  return o;
}

PyObject* optional_int(const std::optional<int>& v) { return v ? PyLong_FromLong(*v) : Py_NewRef(Py_None); }
PyObject* optional_size(const std::optional<std::size_t>& v) {
  return v ? PyLong_FromSize_t(*v) : Py_NewRef(Py_None);
}

PyObject* py_text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// (error, stage, reason, kyoku, seat, offset) of a refused record.
PyObject* diagnosis_tuple(const Why& why) {
  const kifuzan::conv::Diagnosis& d = why.diagnosis;
  return Py_BuildValue("(NNNNNN)", py_text(why.mjlog_error ? "MjlogError" : kifuzan::conv::exception_name(d.error)),
                       py_text(kifuzan::conv::stage_name(d.stage)), py_text(d.reason), optional_int(d.kyoku),
                       optional_int(d.seat), optional_size(d.offset));
}

// os.replace's own wording: "[Errno N] text: 'from' -> 'to'".
PyObject* errno_path_message(int err, const std::string& from, const std::string& to) {
  PyObject* f = PyUnicode_DecodeFSDefaultAndSize(from.data(), static_cast<Py_ssize_t>(from.size()));
  PyObject* t = PyUnicode_DecodeFSDefaultAndSize(to.data(), static_cast<Py_ssize_t>(to.size()));
  char buf[256];
  const char* text = error_text(err, buf, sizeof buf);
  PyObject* message = f != nullptr && t != nullptr ? PyUnicode_FromFormat("[Errno %d] %s: %R -> %R", err, text, f, t) : nullptr;
  Py_XDECREF(f);
  Py_XDECREF(t);
  return message;
}

// (error class name, message) for a failed record: the same as converting
// it with tenhou_file_to_mjai(src, tmp) and replacing tmp with os.replace.
PyObject* failure_tuple(const Job& job, const Outcome& o) {
  PyObject* type = PyExc_OSError;
  PyObject* message = nullptr;
  switch (o.failure) {
    case Failure::open: {
      type = PyExc_FileNotFoundError;
      const std::string text = k_open_log_failed + debug_form(job.src);
      message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
      break;
    }
    case Failure::read:
      type = os_error_type(o.error);
      message = os_error_message(o.error);
      break;
    case Failure::not_utf8:
      message = PyUnicode_FromString(k_not_utf8);
      break;
    case Failure::mjlog:
      type = g_mjlog_error;
      message = py_text(o.where);
      break;
    case Failure::stage: {
      const StageError e = stage_error(o.stage);
      type = g_stage_types[e.kind] != nullptr ? g_stage_types[e.kind] : g_internal_error;
      message = PyUnicode_FromString(e.message);
      break;
    }
    case Failure::rename:
      type = os_error_type(o.error);
      message = errno_path_message(o.error, o.where, o.target);
      break;
    case Failure::create:
      message = PyUnicode_FromFormat("%s%s", k_create_out_failed, o.where.c_str());
      break;
    case Failure::write:
      message = PyUnicode_FromString(k_write_out_failed);
      break;
    case Failure::none:
    case Failure::interrupted:
      PyErr_SetString(PyExc_SystemError, "no failure to describe");
      return nullptr;
  }
  if (message == nullptr) {
    return nullptr;
  }
  PyObject* why = o.why ? diagnosis_tuple(*o.why) : Py_NewRef(Py_None);
  PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type));
  PyObject* t = name == nullptr || why == nullptr ? nullptr : PyTuple_Pack(4, g_status[2], name, message, why);
  Py_XDECREF(name);
  Py_XDECREF(why);
  Py_DECREF(message);
  return t;
}

constexpr const char* k_files_params[] = {"jobs", "force"};
constexpr Signature k_files_signature = {"convert_files", k_files_params, 1, 2};

PyObject* py_convert_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[2];
    if (bind_arguments(k_files_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    const int force = bound[1] != nullptr ? PyObject_IsTrue(bound[1]) : 0;
    if (force < 0) {
      return nullptr;
    }
    PyObject* seq = PySequence_Fast(bound[0], "argument 'jobs': expected a sequence of (source, output) pairs");
    if (seq == nullptr) {
      return nullptr;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    std::vector<Job> jobs(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* pair = PySequence_Fast_GET_ITEM(seq, i);
      PyObject *src, *out;
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_TypeError, "argument 'jobs': expected a sequence of (source, output) pairs");
        Py_DECREF(seq);
        return nullptr;
      }
      if ((src = fs_path_bytes("jobs", PyTuple_GET_ITEM(pair, 0))) == nullptr) {
        Py_DECREF(seq);
        return nullptr;
      }
      if ((out = fs_path_bytes("jobs", PyTuple_GET_ITEM(pair, 1))) == nullptr) {
        Py_DECREF(src);
        Py_DECREF(seq);
        return nullptr;
      }
      jobs[static_cast<std::size_t>(i)] = {std::string(bytes_view(src)), std::string(bytes_view(out))};
      Py_DECREF(src);
      Py_DECREF(out);
    }
    Py_DECREF(seq);

    std::vector<Outcome> outcomes;
    outcomes.reserve(jobs.size());
    std::unordered_set<std::string> made;
    bool interrupted = false;
    PyThreadState* saved = PyEval_SaveThread();
    try {
      for (const Job& job : jobs) {
        outcomes.push_back(convert_file(job, force != 0, CheckSignalsReleased{&saved}, made));
        if (outcomes.back().failure == Failure::interrupted) {
          interrupted = true;
          break;
        }
      }
    } catch (...) {
      PyEval_RestoreThread(saved);
      throw;
    }
    PyEval_RestoreThread(saved);
    if (interrupted) {
      return nullptr;  // the signal handler's exception is set
    }

    PyObject* list = PyList_New(static_cast<Py_ssize_t>(outcomes.size()));
    if (list == nullptr) {
      return nullptr;
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      const Outcome& o = outcomes[i];
      PyObject* item = o.status == Status::failed
                           ? failure_tuple(jobs[i], o)
                           : PyTuple_Pack(4, g_status[static_cast<int>(o.status)], g_empty, g_empty, Py_None);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// diagnose(data: str) -> tuple | None

constexpr const char* k_diagnose_params[] = {"data"};
constexpr Signature k_diagnose_signature = {"diagnose", k_diagnose_params, 1, 1};

PyObject* py_diagnose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    std::string_view data;
    if (bind_str_argument(k_diagnose_signature, args, nargs, kwnames, data) == nullptr) {
      return nullptr;
    }
    const PaddedText input(data);
    const auto why = diagnose_record(input);
    return why ? diagnosis_tuple(*why) : Py_NewRef(Py_None);
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Module.

PyMethodDef g_methods[] = {
    {"convert_files", as_cfunction(py_convert_files), METH_FASTCALL | METH_KEYWORDS,
     "convert_files(jobs, force=False)\n--\n\n"
     "Converts tenhou.net/6 and mjlog records (told by their content) file\n"
     "to file into mjai lines, with the GIL released.\n\n"
     "jobs is a sequence of (source, output) path pairs. Each output is\n"
     "written to a temporary file beside it and renamed into place, so it\n"
     "appears whole or not at all; missing folders are made. Unless force is\n"
     "true, a record whose output is at least as new as it is skipped.\n"
     "Returns one (status, error, message, why) tuple per job, status being\n"
     "'converted', 'skipped', 'failed' or 'deferred' (a gzip-compressed\n"
     "record, left to the caller); error and message are what\n"
     "tenhou_file_to_mjai would raise ('' unless failed), why what diagnose\n"
     "says of a record the converter refused (else None)."},
    {"diagnose", as_cfunction(py_diagnose), METH_FASTCALL | METH_KEYWORDS,
     "diagnose(data)\n--\n\n"
     "None when the record converts; otherwise (error, stage, reason, kyoku,\n"
     "seat, offset): the exception's class name, the stage that refused it,\n"
     "why in one sentence, and where (0-based kyoku and seat, byte offset in\n"
     "the UTF-8 text; None where unknown)."},
    {"record_bytes_to_mjai", as_cfunction(py_record_bytes_to_mjai), METH_FASTCALL | METH_KEYWORDS,
     "record_bytes_to_mjai(data)\n--\n\n"
     "Converts a tenhou.net/6 or mjlog record (told by its content) given as\n"
     "UTF-8 bytes into the mjai lines as bytes, each ended by a line feed:\n"
     "the bytes tenhou_file_to_mjai writes. Raises what tenhou_to_mjai or\n"
     "mjlog_to_mjai raises, and OSError for bytes that are not UTF-8."},
    {"mjlog_to_tenhou6", as_cfunction(py_mjlog_to_tenhou6), METH_FASTCALL | METH_KEYWORDS,
     "mjlog_to_tenhou6(xml, ref=None)\n--\n\n"
     "The tenhou.net/6 JSON text of an mjlog XML record, as tenhou's own\n"
     "service gives it. ref goes into \"ref\" (otherwise the record's own,\n"
     "which is empty). Raises MjlogError for a text that is not a four-player\n"
     "mjlog record."},
    {"mjlog_to_mjai", as_cfunction(py_mjlog_to_mjai), METH_FASTCALL | METH_KEYWORDS,
     "mjlog_to_mjai(xml)\n--\n\n"
     "The mjai events of an mjlog XML record: equal to\n"
     "tenhou_to_mjai(mjlog_to_tenhou6(xml)), raising the same exception when\n"
     "the converter refuses the document, and MjlogError for a text that is\n"
     "not a four-player mjlog record."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "kifuzan._native", "kifuzan's own native functions.", 0, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};

int init_module(PyObject* module) {
  PyObject* base = PyImport_ImportModule("_kifuzan");
  if (base == nullptr) {
    return -1;
  }
  for (const ErrorKind kind :
       {tenhou_log_parsing_error, tenhou_to_mjai_error, json_serialization_error, json_parsing_error}) {
    if (g_stage_types[kind] == nullptr &&
        (g_stage_types[kind] = PyObject_GetAttrString(base, k_errors[kind].attribute)) == nullptr) {
      Py_DECREF(base);
      return -1;
    }
  }
  Py_DECREF(base);
  if (g_internal_error == nullptr &&
      (g_internal_error = PyErr_NewExceptionWithDoc("kifuzan._native.InternalError", nullptr, PyExc_BaseException,
                                                    nullptr)) == nullptr) {
    return -1;
  }
  const char* statuses[4] = {"converted", "skipped", "failed", "deferred"};
  for (int i = 0; i < 4; ++i) {
    if (g_status[i] == nullptr && (g_status[i] = PyUnicode_InternFromString(statuses[i])) == nullptr) {
      return -1;
    }
  }
  if (g_empty == nullptr && (g_empty = PyUnicode_FromStringAndSize("", 0)) == nullptr) {
    return -1;
  }
  if (g_mjlog_error == nullptr &&
      (g_mjlog_error = PyErr_NewExceptionWithDoc(
           "kifuzan.MjlogError",
           "The text is not a well-formed four-player mjlog record; the message says what is wrong and where.",
           PyExc_ValueError, nullptr)) == nullptr) {
    return -1;
  }
  if (add_public(module, "MjlogError", g_mjlog_error) < 0) {
    return -1;
  }
  for (PyMethodDef* def = g_methods; def->ml_name != nullptr; ++def) {
    if (add_function(module, def) < 0) {
      return -1;
    }
  }
  return add_three_player_functions(module, internal_error_type);
}

PyObject* create_module() {
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
  g_module = module;  // kept for the process's life
  return Py_NewRef(g_module);
}

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  try {
    return create_module();
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}
