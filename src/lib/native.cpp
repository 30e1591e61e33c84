// kifuzan._native: the package's own extension module, for what goes beyond
// _kifuzan's fixed surface. It shares the core and the binding, file and
// message helpers with _kifuzan, and raises _kifuzan's own exception types
// for the pipeline's failures.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
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
#include "kifuzan/record/format.h"
#include "lib/binding.h"
#include "lib/fileio.h"
#include "lib/messages.h"
#include "lib/outputs.h"
#include "lib/posix_io.h"

namespace {

using kifuzan::conv::Lines;
using kifuzan::conv::PaddedText;
using kifuzan::conv::Stage;
using kifuzan::record::Format;
namespace io = kifuzan::io;
using namespace kifuzan::py;

// ---------------------------------------------------------------------------
// Process-wide state, filled once at import (single-phase, like _kifuzan).

PyObject* g_module = nullptr;
// _kifuzan's exception types, so that callers catch the same classes from
// either module. Strong references, kept for the process's life.
PyObject* g_stage_types[error_kind_count] = {};
PyObject* g_internal_error = nullptr;

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

// Why a record gave no lines: what diagnose says, and the stage, or an mjlog
// reader's message.
struct RecordFailure {
  std::variant<Stage, kifuzan::mjlog::MjlogError> what;
};

// A tenhou.net/6 or mjlog record, told by its content, to mjai lines.
mjai::result<Lines, RecordFailure> record_to_lines(const PaddedText& input, Format format) {
  if (format == Format::mjlog) {
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

// The diagnosis of a record: for mjlog, the reader's refusal, or what the
// converter says of the document it read (no byte offset: it would be one of
// the document's text, not of the XML).
struct Why {
  kifuzan::conv::Diagnosis diagnosis;
  bool mjlog_error = false;  // the reader refused the text: MjlogError
};

std::optional<Why> diagnose_record(const PaddedText& input) {
  if (kifuzan::record::detect_format(input.view()) != Format::mjlog) {
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

// ---------------------------------------------------------------------------
// record_format(data) -> str

PyObject* g_format_names[3] = {};  // "tenhou6", "mjlog", "mjai", interned

// Holds a bytes-like object's buffer for one scope: released however the
// scope ends, so an exception cannot leave a bytearray locked.
class BufferView {
 public:
  int get(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
      return -1;
    }
    held_ = true;
    return 0;
  }
  ~BufferView() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }
  std::string_view view() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

constexpr const char* k_format_params[] = {"data"};
constexpr Signature k_format_signature = {"record_format", k_format_params, 1, 1};

PyObject* py_record_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* data;
    if (bind_arguments(k_format_signature, args, nargs, kwnames, &data) < 0) {
      return nullptr;
    }
    BufferView buffer;
    if (buffer.get(data) < 0) {
      return nullptr;
    }
    return Py_NewRef(g_format_names[static_cast<int>(kifuzan::record::detect_format(buffer.view()))]);
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// convert_record(data, to="mjai", ref=None) -> bytes | tuple | None

// The interpreter lock released for one scope, taken back however it ends.
// A daemon thread that takes it back after the interpreter has finalized is
// ended there by a forced unwind, which must pass: hence noexcept(false).
class GilReleased {
 public:
  GilReleased() : saved_(PyEval_SaveThread()) {}
  ~GilReleased() noexcept(false) { PyEval_RestoreThread(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  // For taking the lock back a moment (signal handlers): see CheckSignalsReleased.
  PyThreadState** state() noexcept { return &saved_; }

 private:
  PyThreadState* saved_;
};

// What converting one record gave, as plain data while the lock is released.
struct RecordOutcome {
  enum class Kind : std::uint8_t { done, mjai, not_utf8, refused } kind = Kind::done;
  std::string output;                // done: the bytes to write
  std::optional<RecordFailure> failure;  // refused
  std::optional<Why> why;
};

RecordOutcome convert_record(const PaddedText& input, bool to_tenhou6, std::optional<std::string_view> ref) {
  RecordOutcome o;
  if (!kifuzan::conv::is_valid_utf8(input.view())) {
    o.kind = RecordOutcome::Kind::not_utf8;
    return o;
  }
  const Format format = kifuzan::record::detect_format(input.view());
  if (format == Format::mjai) {
    o.kind = RecordOutcome::Kind::mjai;
    return o;
  }
  if (to_tenhou6 && format == Format::mjlog) {
    auto doc = kifuzan::mjlog::read_mjlog(input.view());
    if (doc) {
      o.output = kifuzan::mjlog::write_tenhou6(doc.value(), ref);
      return o;
    }
    o.failure = RecordFailure{doc.error()};
  } else {
    auto lines = record_to_lines(input, format);
    if (lines) {
      // A document stays as it is once it is known to convert.
      o.output = to_tenhou6 ? std::string(input.view()) : std::move(lines.value().text);
      return o;
    }
    o.failure = std::move(lines.error());
  }
  o.kind = RecordOutcome::Kind::refused;
  // Refusals are rare: running the stages again to say why costs little.
  o.why = diagnose_record(input);
  return o;
}

// (error class name, message, why) of a refused record: what converting it
// through the public functions raises, and what diagnose says.
PyObject* refusal_tuple(const RecordOutcome& o) {
  PyObject* type;
  PyObject* message;
  if (o.kind == RecordOutcome::Kind::not_utf8) {
    type = PyExc_OSError;
    message = PyUnicode_FromString(k_not_utf8);
  } else if (const auto* m = std::get_if<kifuzan::mjlog::MjlogError>(&o.failure->what)) {
    type = g_mjlog_error;
    message = py_text(m->message);
  } else {
    const StageError e = stage_error(std::get<Stage>(o.failure->what));
    type = g_stage_types[e.kind] != nullptr ? g_stage_types[e.kind] : g_internal_error;
    message = PyUnicode_FromString(e.message);
  }
  if (message == nullptr) {
    return nullptr;
  }
  PyObject* why = o.why ? diagnosis_tuple(*o.why) : Py_NewRef(Py_None);
  PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type));
  PyObject* t = name == nullptr || why == nullptr ? nullptr : PyTuple_Pack(3, name, message, why);
  Py_XDECREF(name);
  Py_XDECREF(why);
  Py_DECREF(message);
  return t;
}

constexpr const char* k_record_params[] = {"data", "to", "ref"};
constexpr Signature k_record_signature = {"convert_record", k_record_params, 1, 3};

PyObject* py_convert_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[3];
    if (bind_arguments(k_record_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    bool to_tenhou6 = false;
    if (bound[1] != nullptr) {
      Py_ssize_t size;
      const char* to = str_argument("to", bound[1], &size);
      if (to == nullptr) {
        return nullptr;
      }
      const std::string_view t(to, static_cast<std::size_t>(size));
      if (t != "mjai" && t != "tenhou6") {
        PyErr_Format(PyExc_ValueError, "argument 'to': expected 'mjai' or 'tenhou6', not %R", bound[1]);
        return nullptr;
      }
      to_tenhou6 = t == "tenhou6";
    }
    std::optional<std::string_view> ref;
    if (bound[2] != nullptr && bound[2] != Py_None) {
      Py_ssize_t size;
      const char* r = str_argument("ref", bound[2], &size);
      if (r == nullptr) {
        return nullptr;
      }
      ref = std::string_view(r, static_cast<std::size_t>(size));
    }
    PaddedText input;
    {
      BufferView buffer;
      if (buffer.get(bound[0]) < 0) {
        return nullptr;
      }
      input = PaddedText(buffer.view());
    }
    RecordOutcome o;
    {
      GilReleased released;
      o = convert_record(input, to_tenhou6, ref);
    }
    switch (o.kind) {
      case RecordOutcome::Kind::done:
        return PyBytes_FromStringAndSize(o.output.data(), static_cast<Py_ssize_t>(o.output.size()));
      case RecordOutcome::Kind::mjai:
        Py_RETURN_NONE;
      case RecordOutcome::Kind::not_utf8:
      case RecordOutcome::Kind::refused:
        break;
    }
    return refusal_tuple(o);
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended (see GilReleased)
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}


// ---------------------------------------------------------------------------
// The batch path: records converted and written file to file in chunks, with
// the GIL released. The file rules themselves are in lib/outputs.h.

PyObject* g_status[4] = {};  // "converted", "skipped", "failed", "deferred"
enum class Status : std::uint8_t { converted, skipped, failed, deferred };

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

// What went wrong with one record's file work.
enum class FileFailure : std::uint8_t { none, open, read, folder, create, write, rename, interrupted, internal };

struct Item {
  std::string src;   // a path; empty when the record came as bytes
  std::string out;
  std::string ref;
  PaddedText data;   // the record, when it came as bytes
  bool from_bytes = false;
};

struct ItemOutcome {
  Status status = Status::converted;
  FileFailure failure = FileFailure::none;
  int error = 0;
  std::string where;  // the path an OS error is about
  RecordOutcome record;  // refused, or the bytes read (deferred)
};

template <class OnEintr>
ItemOutcome convert_item(Item& item, bool to_tenhou6, bool force, OnEintr on_eintr,
                         std::unordered_set<std::string>& made) {
  ItemOutcome o;
  o.status = Status::failed;
  if (!item.from_bytes) {
    if (!force && io::up_to_date(item.src.c_str(), item.out.c_str())) {
      o.status = Status::skipped;
      return o;
    }
    io::Status s = io::Status::ok;
    io::FileDescriptor in(item.src.find('\0') == std::string::npos
                              ? io::open_file(item.src.c_str(), O_RDONLY | O_CLOEXEC, 0, on_eintr, s, o.error)
                              : -1);
    struct stat st;
    if (s == io::Status::interrupted) {
      o.failure = FileFailure::interrupted;
      return o;
    }
    if (!in.valid() || ::fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
      o.failure = FileFailure::open;
      o.where = item.src;
      if (o.error == 0) {
        o.error = in.valid() ? EISDIR : ENOENT;
      }
      return o;
    }
    const std::size_t hint = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    s = io::read_whole(in.get(), hint, item.data, on_eintr, o.error);
    if (s != io::Status::ok) {
      o.failure = s == io::Status::interrupted ? FileFailure::interrupted : FileFailure::read;
      o.where = item.src;
      return o;
    }
    if (kifuzan::record::detect_compression(item.data.view()) != kifuzan::record::Compression::none) {
      o.status = Status::deferred;  // unpacked by the caller
      return o;
    }
  }
  o.record = convert_record(item.data, to_tenhou6, item.ref);
  if (o.record.kind == RecordOutcome::Kind::mjai) {
    o.status = Status::deferred;  // scored by the caller
    return o;
  }
  if (o.record.kind != RecordOutcome::Kind::done) {
    return o;
  }
  if (const std::size_t slash = item.out.find_last_of('/'); slash != std::string::npos && slash > 0) {
    if (const int err = io::make_folders(item.out.substr(0, slash), made)) {
      o.failure = FileFailure::folder;
      o.error = err;
      o.where = item.out.substr(0, slash);
      return o;
    }
  }
  const std::string& text = o.record.output;
  auto failed = io::write_atomic(
      item.out, [&](int fd, int& error) { return io::write_all(fd, text.data(), text.size(), on_eintr, error); },
      on_eintr);
  if (failed) {
    o.failure = failed->step == io::WriteFailure::Step::interrupted ? FileFailure::interrupted
                : failed->step == io::WriteFailure::Step::create  ? FileFailure::create
                : failed->step == io::WriteFailure::Step::write   ? FileFailure::write
                                                                  : FileFailure::rename;
    o.error = failed->error;
    o.where = failed->step == io::WriteFailure::Step::rename ? item.out : failed->tmp;
    return o;
  }
  o.status = Status::converted;
  return o;
}

PyObject* fs_text(const std::string& s) {
  return PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// (error, message, None) of a file failure: the OSError Python's own calls
// raise, "[Errno N] text: 'path'", so a row says which file and why.
PyObject* file_failure_tuple(int error, const std::string& where, const char* doing) {
  char buf[256];
  const char* text = error_text(error, buf, sizeof buf);
  PyObject* path = fs_text(where);
  if (path == nullptr) {
    return nullptr;
  }
  PyObject* message = PyUnicode_FromFormat("[Errno %d] %s%s: %R", error, doing, text, path);
  Py_DECREF(path);
  if (message == nullptr) {
    return nullptr;
  }
  PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(os_error_type(error)));
  PyObject* t = name == nullptr ? nullptr : PyTuple_Pack(3, name, message, Py_None);
  Py_XDECREF(name);
  Py_DECREF(message);
  return t;
}

PyObject* item_result(const Item& item, ItemOutcome& o) {
  PyObject* detail = nullptr;
  switch (o.status) {
    case Status::converted:
    case Status::skipped:
      detail = Py_NewRef(Py_None);
      break;
    case Status::deferred: {
      const std::string_view d = item.data.view();
      detail = PyBytes_FromStringAndSize(d.data(), static_cast<Py_ssize_t>(d.size()));
      break;
    }
    case Status::failed:
      switch (o.failure) {
        case FileFailure::none:
          detail = refusal_tuple(o.record);
          break;
        case FileFailure::open:
        case FileFailure::read:
          detail = file_failure_tuple(o.error, o.where, "");
          break;
        case FileFailure::folder:
          detail = file_failure_tuple(o.error, o.where, "cannot make the folder: ");
          break;
        case FileFailure::create:
        case FileFailure::write:
          detail = file_failure_tuple(o.error, o.where, "");
          break;
        case FileFailure::rename:
          detail = file_failure_tuple(o.error, o.where, "cannot rename into place: ");
          break;
        case FileFailure::internal:
          detail = Py_BuildValue("(sNO)", o.error ? "MemoryError" : "InternalError", py_text(o.where), Py_None);
          break;
        case FileFailure::interrupted:
          PyErr_SetString(PyExc_SystemError, "no failure to describe");
          return nullptr;
      }
      break;
  }
  if (detail == nullptr) {
    return nullptr;
  }
  PyObject* t = PyTuple_Pack(2, g_status[static_cast<int>(o.status)], detail);
  Py_DECREF(detail);
  return t;
}

// The to= argument: false for "mjai", true for "tenhou6", -1 with ValueError.
int to_tenhou6_argument(PyObject* to) {
  if (to == nullptr) {
    return 0;
  }
  Py_ssize_t size;
  const char* t = str_argument("to", to, &size);
  if (t == nullptr) {
    return -1;
  }
  const std::string_view v(t, static_cast<std::size_t>(size));
  if (v != "mjai" && v != "tenhou6") {
    PyErr_Format(PyExc_ValueError, "argument 'to': expected 'mjai' or 'tenhou6', not %R", to);
    return -1;
  }
  return v == "tenhou6";
}

constexpr const char* k_files_params[] = {"items", "to", "force"};
constexpr Signature k_files_signature = {"convert_files", k_files_params, 1, 3};
constexpr char k_items_type[] = "argument 'items': expected a sequence of (source, output, ref) tuples";

PyObject* py_convert_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[3];
    if (bind_arguments(k_files_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    const int to_tenhou6 = to_tenhou6_argument(bound[1]);
    const int force = bound[2] != nullptr ? PyObject_IsTrue(bound[2]) : 0;
    if (to_tenhou6 < 0 || force < 0) {
      return nullptr;
    }
    // A tuple of our own: the caller's list cannot change under us.
    PyObject* seq = PySequence_Tuple(bound[0]);
    if (seq == nullptr) {
      return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(seq);
    std::vector<Item> items(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* t = PyTuple_GET_ITEM(seq, i);
      Item& item = items[static_cast<std::size_t>(i)];
      if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 3) {
        PyErr_SetString(PyExc_TypeError, k_items_type);
        Py_DECREF(seq);
        return nullptr;
      }
      PyObject* source = PyTuple_GET_ITEM(t, 0);
      PyObject* out = fs_path_bytes("items", PyTuple_GET_ITEM(t, 1));
      Py_ssize_t ref_size = 0;
      const char* ref = out == nullptr ? nullptr : str_argument("items", PyTuple_GET_ITEM(t, 2), &ref_size);
      if (ref == nullptr) {
        Py_XDECREF(out);
        Py_DECREF(seq);
        return nullptr;
      }
      item.out = std::string(bytes_view(out));
      item.ref = std::string(ref, static_cast<std::size_t>(ref_size));
      Py_DECREF(out);
      if (PyObject_CheckBuffer(source)) {
        BufferView buffer;
        if (buffer.get(source) < 0) {
          Py_DECREF(seq);
          return nullptr;
        }
        item.data = PaddedText(buffer.view());
        item.from_bytes = true;
      } else {
        PyObject* src = fs_path_bytes("items", source);
        if (src == nullptr) {
          Py_DECREF(seq);
          return nullptr;
        }
        item.src = std::string(bytes_view(src));
        Py_DECREF(src);
      }
    }
    Py_DECREF(seq);

    std::vector<ItemOutcome> outcomes;
    outcomes.reserve(items.size());
    std::unordered_set<std::string> made;
    bool interrupted = false;
    {
      GilReleased released;
      const CheckSignalsReleased on_eintr{released.state()};
      for (Item& item : items) {
        // A C++ exception costs its record only; the next may well convert.
        try {
          outcomes.push_back(convert_item(item, to_tenhou6 != 0, force != 0, on_eintr, made));
        } catch (abi::__forced_unwind&) {
          throw;
        } catch (const std::exception& e) {
          ItemOutcome& o = outcomes.emplace_back();
          o.status = Status::failed;
          o.failure = FileFailure::internal;
          o.error = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
          o.where = e.what();
        }
        if (outcomes.back().failure == FileFailure::interrupted) {
          interrupted = true;
          break;
        }
      }
    }
    if (interrupted) {
      return nullptr;  // the signal handler's exception is set
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(outcomes.size()));
    if (list == nullptr) {
      return nullptr;
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      PyObject* r = item_result(items[i], outcomes[i]);
      if (r == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), r);
    }
    return list;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// write_file(path, data), up_to_date(src, out), remove_stale_temporaries(dir),
// compression(data): the same file rules for the caller's own outputs.

constexpr const char* k_write_params[] = {"path", "data", "folders"};
constexpr Signature k_write_signature = {"write_file", k_write_params, 2, 3};

PyObject* py_write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[3];
    if (bind_arguments(k_write_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    const int folders = bound[2] != nullptr ? PyObject_IsTrue(bound[2]) : 0;
    PyObject* path = folders < 0 ? nullptr : fs_path_bytes("path", bound[0]);
    if (path == nullptr) {
      return nullptr;
    }
    const std::string out(bytes_view(path));
    Py_DECREF(path);
    BufferView buffer;
    if (buffer.get(bound[1]) < 0) {
      return nullptr;
    }
    const std::string_view data = buffer.view();
    std::optional<io::WriteFailure> failed;
    if (out.find('\0') != std::string::npos) {
      failed = io::WriteFailure{io::WriteFailure::Step::create, ENOENT, out};
    } else {
      GilReleased released;
      std::unordered_set<std::string> made;
      const std::size_t slash = out.find_last_of('/');
      if (folders && slash != std::string::npos && slash > 0) {
        if (const int err = io::make_folders(out.substr(0, slash), made)) {
          failed = io::WriteFailure{io::WriteFailure::Step::create, err, out.substr(0, slash)};
        }
      }
      if (!failed) {
        const CheckSignalsReleased on_eintr{released.state()};
        failed = io::write_output(
            out.c_str(),
            [&](int fd, int& error) { return io::write_all(fd, data.data(), data.size(), on_eintr, error); },
            on_eintr);
      }
    }
    if (!failed) {
      Py_RETURN_NONE;
    }
    if (failed->step == io::WriteFailure::Step::interrupted) {
      return nullptr;  // the signal handler's exception is set
    }
    // The errno's OSError naming the file: the output, or for a failed
    // create the temporary file or folder that could not be made.
    const int err = failed->error;
    char buf[256];
    PyObject* where = fs_text(failed->step == io::WriteFailure::Step::create ? failed->tmp : out);
    PyObject* value = where == nullptr ? nullptr : Py_BuildValue("(isN)", err, error_text(err, buf, sizeof buf), where);
    if (value != nullptr) {
      PyErr_SetObject(os_error_type(err), value);
      Py_DECREF(value);
    }
    return nullptr;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

constexpr const char* k_fresh_params[] = {"src", "out"};
constexpr Signature k_fresh_signature = {"up_to_date", k_fresh_params, 2, 2};

PyObject* py_up_to_date(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (bind_arguments(k_fresh_signature, args, nargs, kwnames, bound) < 0) {
    return nullptr;
  }
  PyObject* src = fs_path_bytes("src", bound[0]);
  PyObject* out = src == nullptr ? nullptr : fs_path_bytes("out", bound[1]);
  if (out == nullptr) {
    Py_XDECREF(src);
    return nullptr;
  }
  const bool fresh = io::up_to_date(PyBytes_AS_STRING(src), PyBytes_AS_STRING(out));
  Py_DECREF(src);
  Py_DECREF(out);
  return PyBool_FromLong(fresh);
}

constexpr const char* k_stale_params[] = {"folder"};
constexpr Signature k_stale_signature = {"remove_stale_temporaries", k_stale_params, 1, 1};

PyObject* py_remove_stale_temporaries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* arg;
    if (bind_arguments(k_stale_signature, args, nargs, kwnames, &arg) < 0) {
      return nullptr;
    }
    PyObject* folder = fs_path_bytes("folder", arg);
    if (folder == nullptr) {
      return nullptr;
    }
    const std::string dir(bytes_view(folder));
    Py_DECREF(folder);
    std::size_t removed;
    {
      GilReleased released;
      removed = io::remove_stale_temporaries(dir);
    }
    return PyLong_FromSize_t(removed);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

constexpr const char* k_compression_params[] = {"data"};
constexpr Signature k_compression_signature = {"compression", k_compression_params, 1, 1};

PyObject* py_compression(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* data;
  if (bind_arguments(k_compression_signature, args, nargs, kwnames, &data) < 0) {
    return nullptr;
  }
  BufferView buffer;
  if (buffer.get(data) < 0) {
    return nullptr;
  }
  const char* name = kifuzan::record::compression_name(kifuzan::record::detect_compression(buffer.view()));
  return name == nullptr ? Py_NewRef(Py_None) : PyUnicode_InternFromString(name);
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
    {"convert_record", as_cfunction(py_convert_record), METH_FASTCALL | METH_KEYWORDS,
     "convert_record(data, to='mjai', ref=None)\n--\n\n"
     "Converts one record given as bytes (not compressed), told by its\n"
     "content, with the GIL released: a tenhou.net/6 or mjlog record into\n"
     "mjai lines (each ended by a line feed: the bytes tenhou_file_to_mjai\n"
     "writes), or with to='tenhou6' into a tenhou.net/6 document (a\n"
     "document as it is, once it is known to convert; an mjlog record with\n"
     "ref as its \"ref\"). Returns the bytes; None for an mjai record (the\n"
     "caller's to convert); or for a refused record (error, message, why):\n"
     "the class name and message of the exception the public functions\n"
     "raise, and what diagnose says (or None)."},
    {"convert_files", as_cfunction(py_convert_files), METH_FASTCALL | METH_KEYWORDS,
     "convert_files(items, to='mjai', force=False)\n--\n\n"
     "Converts records and writes their outputs, with the GIL released.\n\n"
     "items is a sequence of (source, output, ref): source a path of a\n"
     "record file or the record's bytes (not compressed); ref the ref of a\n"
     "document made from mjlog. Each output is written to a temporary file\n"
     "beside it and renamed into place, so it appears whole or not at all;\n"
     "missing folders are made. Unless force is true, a record file whose\n"
     "output is at least as new as it is skipped. Returns one (status,\n"
     "detail) pair per item: ('converted' or 'skipped', None); ('failed',\n"
     "(error, message, why)) as convert_record gives for a refused record,\n"
     "or the OSError's class name and text for a file; ('deferred', data)\n"
     "with the bytes read, for a compressed record or an mjai record to\n"
     "become a document: the caller's to unpack or score."},
    {"write_file", as_cfunction(py_write_file), METH_FASTCALL | METH_KEYWORDS,
     "write_file(path, data, folders=False)\n--\n\n"
     "Writes data to path whole or not at all, with the GIL released: a\n"
     "regular file (or a new name) through a temporary file beside it,\n"
     "renamed into place (through a link, the file it names, keeping its\n"
     "permissions); a FIFO, a device or a name under /dev or /proc in place.\n"
     "With folders, missing folders are made first. Raises the errno's\n"
     "OSError naming the file."},
    {"up_to_date", as_cfunction(py_up_to_date), METH_FASTCALL | METH_KEYWORDS,
     "up_to_date(src, out)\n--\n\n"
     "Whether out exists and is at least as new as src."},
    {"remove_stale_temporaries", as_cfunction(py_remove_stale_temporaries), METH_FASTCALL | METH_KEYWORDS,
     "remove_stale_temporaries(folder)\n--\n\n"
     "Removes the temporary files that killed runs left below folder (ours\n"
     "whose writing process is gone, and this process's own that it is not\n"
     "writing now); returns how many."},
    {"compression", as_cfunction(py_compression), METH_FASTCALL | METH_KEYWORDS,
     "compression(data)\n--\n\n"
     "'gzip' or 'bz2' when data starts as such a stream, else None."},
    {"record_format", as_cfunction(py_record_format), METH_FASTCALL | METH_KEYWORDS,
     "record_format(data)\n--\n\n"
     "'mjlog', 'mjai' or 'tenhou6': what the record in data (bytes, not\n"
     "compressed) is, told by its first bytes."},
    {"diagnose", as_cfunction(py_diagnose), METH_FASTCALL | METH_KEYWORDS,
     "diagnose(data)\n--\n\n"
     "None when the record converts; otherwise (error, stage, reason, kyoku,\n"
     "seat, offset): the exception's class name, the stage that refused it,\n"
     "why in one sentence, and where (0-based kyoku and seat, byte offset in\n"
     "the UTF-8 text; None where unknown)."},
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
  for (const Format f : {Format::tenhou6, Format::mjlog, Format::mjai}) {
    PyObject*& name = g_format_names[static_cast<int>(f)];
    if (name == nullptr && (name = PyUnicode_InternFromString(kifuzan::record::format_name(f))) == nullptr) {
      return -1;
    }
  }
  const char* statuses[4] = {"converted", "skipped", "failed", "deferred"};
  const char* attributes[4] = {"CONVERTED", "SKIPPED", "FAILED", "DEFERRED"};
  for (int i = 0; i < 4; ++i) {
    if (g_status[i] == nullptr && (g_status[i] = PyUnicode_InternFromString(statuses[i])) == nullptr) {
      return -1;
    }
    if (PyModule_AddObjectRef(module, attributes[i], g_status[i]) < 0) {
      return -1;
    }
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
  return 0;
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
