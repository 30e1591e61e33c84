// kifuzan._native's batch path: records converted and written file to file
// a chunk at a time with the GIL released, and the same file rules (from
// lib/outputs.h) for the outputs Python writes itself.

#include <fcntl.h>
#include <sys/stat.h>

#include <exception>
#include <new>
#include <unordered_set>
#include <vector>

#include "lib/fileio.h"
#include "lib/native.h"
#include "lib/outputs.h"
#include "lib/posix_io.h"

namespace kifuzan::native {

using conv::Lines;
namespace io = kifuzan::io;
using namespace kifuzan::py;

namespace {

PyObject* g_status[4] = {};  // "converted", "skipped", "failed", "deferred"
enum class ItemStatus : std::uint8_t { converted, skipped, failed, deferred };

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
  ItemStatus status = ItemStatus::converted;
  FileFailure failure = FileFailure::none;
  int error = 0;
  std::string where;  // the path an OS error is about
  RecordOutcome record;  // refused: why (a converted record's output is let go once written)
};

template <class OnEintr>
ItemOutcome convert_item(Item& item, bool to_tenhou6, std::optional<conv::ThreePlayerForm> three_player, bool force,
                         OnEintr on_eintr, std::unordered_set<std::string>& made) {
  ItemOutcome o;
  o.status = ItemStatus::failed;
  if (!item.from_bytes) {
    if (!force && io::up_to_date(item.src.c_str(), item.out.c_str())) {
      o.status = ItemStatus::skipped;
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
      o.status = ItemStatus::deferred;  // unpacked by the caller
      return o;
    }
  }
  o.record = convert_record(item.data, to_tenhou6, item.ref, three_player);
  if (o.record.kind == RecordOutcome::Kind::mjai) {
    o.status = ItemStatus::deferred;  // scored by the caller
    return o;
  }
  if (o.record.kind != RecordOutcome::Kind::done) {
    return o;
  }
  if (const int err = io::make_folder_of(item.out, made, o.where)) {
    o.failure = FileFailure::folder;
    o.error = err;
    return o;
  }
  const std::string_view text = o.record.output();
  auto failed = io::write_atomic(
      item.out, [&](int fd, int& error) { return io::write_all(fd, text.data(), text.size(), on_eintr, error); },
      on_eintr);
  // Written or not, it is not needed again: a chunk holds only its statuses.
  o.record.lines.reset();
  std::string().swap(o.record.document);
  if (failed) {
    o.failure = failed->step == io::WriteFailure::Step::interrupted ? FileFailure::interrupted
                : failed->step == io::WriteFailure::Step::create  ? FileFailure::create
                : failed->step == io::WriteFailure::Step::write   ? FileFailure::write
                                                                  : FileFailure::rename;
    o.error = failed->error;
    o.where = failed->step == io::WriteFailure::Step::rename ? item.out : failed->tmp;
    return o;
  }
  o.status = ItemStatus::converted;
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
    case ItemStatus::converted:
    case ItemStatus::skipped:
      detail = Py_NewRef(Py_None);
      break;
    case ItemStatus::deferred: {
      const std::string_view d = item.data.view();
      detail = PyBytes_FromStringAndSize(d.data(), static_cast<Py_ssize_t>(d.size()));
      break;
    }
    case ItemStatus::failed:
      switch (o.failure) {
        case FileFailure::none:
          detail = refusal_tuple(o.record);
          break;
        case FileFailure::open:
        case FileFailure::read:
        case FileFailure::create:
        case FileFailure::write:
          detail = file_failure_tuple(o.error, o.where, "");
          break;
        case FileFailure::folder:
          detail = file_failure_tuple(o.error, o.where, "cannot make the folder: ");
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

constexpr const char* k_files_params[] = {"items", "to", "force", "three_player"};
constexpr Signature k_files_signature = {"convert_files", k_files_params, 1, 4};
constexpr char k_items_type[] = "argument 'items': expected a sequence of (source, output, ref) tuples";

PyObject* py_convert_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[4];
    if (bind_arguments(k_files_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    std::optional<conv::ThreePlayerForm> three_player;
    if (three_player_argument(bound[3], three_player) < 0) {
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
          outcomes.push_back(convert_item(item, to_tenhou6 != 0, three_player, force != 0, on_eintr, made));
        } catch (abi::__forced_unwind&) {
          throw;
        } catch (const std::exception& e) {
          ItemOutcome& o = outcomes.emplace_back();
          o.status = ItemStatus::failed;
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
      std::string folder;
      if (folders) {
        if (const int err = io::make_folder_of(out, made, folder)) {
          failed = io::WriteFailure{io::WriteFailure::Step::create, err, std::move(folder)};
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

}  // namespace

PyMethodDef g_file_methods[] = {
    {"convert_files", as_cfunction(py_convert_files), METH_FASTCALL | METH_KEYWORDS,
     "convert_files(items, to='mjai', force=False, three_player=None)\n--\n\n"
     "Converts records and writes their outputs, with the GIL released.\n\n"
     "items is a sequence of (source, output, ref): source a path of a\n"
     "record file or the record's bytes (not compressed); ref the ref of a\n"
     "document made from mjlog. Each output is written to a temporary file\n"
     "beside it and renamed into place, so it appears whole or not at all;\n"
     "missing folders are made. Unless force is true, a record file whose\n"
     "output is at least as new as it is skipped. three_player as for\n"
     "convert_record. Returns one (status,\n"
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
    {nullptr, nullptr, 0, nullptr},
};

int init_files(PyObject* module) {
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
  return 0;
}

}  // namespace kifuzan::native
