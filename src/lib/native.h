// What the files of kifuzan._native share: the exception types it raises,
// the guards of the GIL and of buffers, and one record's conversion as plain
// data, so that each file holds one concern (records, files, mjlog).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kifuzan/conv/diagnose.h"
#include "kifuzan/conv/input.h"
#include "kifuzan/conv/log.h"
#include "kifuzan/conv/pipeline.h"
#include "kifuzan/record/format.h"
#include "lib/binding.h"
#include "lib/messages.h"

namespace kifuzan::native {

using conv::PaddedText;
using conv::Stage;
using record::Format;

// The classes it raises, by py::ErrorKind: _kifuzan's own, so that callers
// catch the same classes from either module (InternalError too, though
// _kifuzan does not export it), and kifuzan.MjlogError. Strong references,
// kept for the process's life; filled once at import.
extern PyObject* g_types[py::error_kind_count];

PyObject* internal_error_type();
// Raises what the core's error `e` raises from the public functions: its
// class with its fixed message (for MjlogError, the reader's sentence).
void raise_error(const conv::Error& e);
// The same class with the diagnosis's reason as the message.
void raise_reason(const conv::Diagnosis& d);

PyObject* py_text(std::string_view s);

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

// What converting one record gave, as plain data while the lock is released.
struct RecordOutcome {
  enum class Kind : std::uint8_t { done, mjai, not_utf8, refused } kind = Kind::done;
  // done: the bytes to write, the converter's own lines where it made them
  // (not copied), or a document
  std::optional<conv::Lines> lines;
  std::string document;
  std::optional<conv::Diagnosis> why;  // refused: the error, in words

  std::string_view output() const noexcept { return lines ? lines->view().text : std::string_view(document); }
};

// Why the record does not convert, read as convert_record reads it for mjai
// output (an mjai text as tenhou.net/6).
std::optional<conv::Diagnosis> diagnose_record(const PaddedText& input,
                                               std::optional<conv::ThreePlayerForm> three_player);
// (error, stage, reason, kyoku, seat, offset) of a refused record.
PyObject* diagnosis_tuple(const conv::Diagnosis& d);

// One record, told by its content, to mjai lines or (to_tenhou6) a document;
// run with the GIL released.
// three_player: read three-player records too, written in that form.
RecordOutcome convert_record(const PaddedText& input, bool to_tenhou6, std::optional<std::string_view> ref,
                             std::optional<conv::ThreePlayerForm> three_player);
// The three_player= argument: None (four players only) or a form's name;
// -1 with TypeError or ValueError set.
int three_player_argument(PyObject* arg, std::optional<conv::ThreePlayerForm>& out);
// (error class name, message, why) of a refused record.
PyObject* refusal_tuple(const RecordOutcome& o);
// The to= argument: 0 for "mjai", 1 for "tenhou6", -1 with ValueError set.
int to_tenhou6_argument(PyObject* to);

// Each file's functions, and what it makes once at import.
extern PyMethodDef g_record_methods[];
extern PyMethodDef g_file_methods[];
extern PyMethodDef g_mjlog_methods[];
int init_records(PyObject* module);
int init_files(PyObject* module);

}  // namespace kifuzan::native
