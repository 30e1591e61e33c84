// kifuzan._native's record kernel: one record's bytes to the bytes written
// for it, told by content, with the GIL released; and why a record failed.

#include <new>
#include <utility>

#include "base/utf8.h"
#include "kifuzan/conv/error.h"
#include "kifuzan/mjlog/pipeline.h"
#include "lib/native.h"

namespace kifuzan::native {

using conv::Lines;
using namespace kifuzan::py;

PyObject* g_format_names[3] = {};  // "tenhou6", "mjlog", "mjai", interned

// A tenhou.net/6 or mjlog record to mjai lines, or why not: the error the
// pipeline returned, made into words once, with no second run.
kifuzan::base::result<Lines, conv::Diagnosis> record_to_lines(const PaddedText& input, Format format,
                                                         std::optional<conv::ThreePlayerForm> three_player) {
  conv::Options options;
  if (three_player) {
    options.any_players = true;
    options.form = *three_player;
  }
  auto lines = format == Format::mjlog ? mjlog::mjlog_to_mjai_lines(input.view(), options)
                                      : conv::convert_text(input, options);
  if (!lines) {
    return kifuzan::base::failure(conv::diagnosis_of(lines.error(), input, format == Format::mjlog || three_player));
  }
  return std::move(lines).value();
}

std::optional<conv::Diagnosis> diagnose_record(const PaddedText& input,
                                               std::optional<conv::ThreePlayerForm> three_player) {
  const Format format = record::detect_format(input.view());
  auto lines = record_to_lines(input, format == Format::mjlog ? format : Format::tenhou6, three_player);
  if (lines) {
    return std::nullopt;
  }
  return std::move(lines).error();
}

PyObject* optional_int(const std::optional<int>& v) { return v ? PyLong_FromLong(*v) : Py_NewRef(Py_None); }
PyObject* optional_size(const std::optional<std::size_t>& v) {
  return v ? PyLong_FromSize_t(*v) : Py_NewRef(Py_None);
}

PyObject* py_text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// (error, stage, reason, kyoku, seat, offset) of a refused record.
PyObject* diagnosis_tuple(const conv::Diagnosis& d) {
  return Py_BuildValue("(NNNNNN)", py_text(k_errors[exception_of(d.kind)].attribute),
                       py_text(kifuzan::conv::stage_name(d.stage)), py_text(d.reason), optional_int(d.kyoku),
                       optional_int(d.seat), optional_size(d.offset));
}

// ---------------------------------------------------------------------------
// record_format(data) -> str

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

int three_player_argument(PyObject* arg, std::optional<conv::ThreePlayerForm>& out) {
  static constexpr std::pair<std::string_view, conv::ThreePlayerForm> forms[] = {
      {"nukidora", conv::ThreePlayerForm::nukidora},
      {"kita", conv::ThreePlayerForm::kita},
      {"nukidora-4", conv::ThreePlayerForm::nukidora4},
  };
  out.reset();
  if (arg == nullptr || arg == Py_None) {
    return 0;
  }
  if (!PyUnicode_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "argument 'three_player': expected str or None, not %.200s", Py_TYPE(arg)->tp_name);
    return -1;
  }
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
  if (text == nullptr) {
    return -1;
  }
  for (const auto& [name, form] : forms) {
    if (name == std::string_view(text, static_cast<std::size_t>(size))) {
      out = form;
      return 0;
    }
  }
  PyErr_Format(PyExc_ValueError, "argument 'three_player': expected 'nukidora', 'kita' or 'nukidora-4', not %R", arg);
  return -1;
}

// ---------------------------------------------------------------------------
// convert_record(data, to="mjai", ref=None) -> bytes | tuple | None

RecordOutcome convert_record(const PaddedText& input, bool to_tenhou6, std::optional<std::string_view> ref,
                             std::optional<conv::ThreePlayerForm> three_player) {
  RecordOutcome o;
  if (!kifuzan::base::is_valid_utf8(input.view())) {
    o.kind = RecordOutcome::Kind::not_utf8;
    return o;
  }
  const Format format = kifuzan::record::detect_format(input.view());
  if (format == Format::mjai) {
    o.kind = RecordOutcome::Kind::mjai;
    return o;
  }
  if (to_tenhou6 && format == Format::mjlog) {
    // The document of any game: tenhou's own shape for three players.
    auto doc = kifuzan::mjlog::read_mjlog(input.view(), true);
    if (doc) {
      o.document = kifuzan::mjlog::write_tenhou6(doc.value(), ref);
      return o;
    }
    o.kind = RecordOutcome::Kind::refused;
    o.why = conv::diagnosis_of(doc.error(), input, true);
    return o;
  }
  auto lines = record_to_lines(input, format, three_player);
  if (lines) {
    // A document stays as it is once it is known to convert.
    if (to_tenhou6) {
      o.document = std::string(input.view());
    } else {
      o.lines = std::move(lines).value();
    }
    return o;
  }
  o.kind = RecordOutcome::Kind::refused;
  o.why = std::move(lines).error();
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
  } else {
    type = g_types[exception_of(o.why->kind)];
    const char* fixed = fixed_message(o.why->kind);
    message = fixed != nullptr ? PyUnicode_FromString(fixed) : py_text(o.why->reason);
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

constexpr const char* k_record_params[] = {"data", "to", "ref", "three_player"};
constexpr Signature k_record_signature = {"convert_record", k_record_params, 1, 4};

PyObject* py_convert_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[4];
    if (bind_arguments(k_record_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    std::optional<conv::ThreePlayerForm> three_player;
    if (three_player_argument(bound[3], three_player) < 0) {
      return nullptr;
    }
    const int to_tenhou6 = to_tenhou6_argument(bound[1]);
    if (to_tenhou6 < 0) {
      return nullptr;
    }
    std::optional<std::string_view> ref;
    if (optional_str_argument("ref", bound[2], ref) < 0) {
      return nullptr;
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
      o = convert_record(input, to_tenhou6 != 0, ref, three_player);
    }
    switch (o.kind) {
      case RecordOutcome::Kind::done:
        return PyBytes_FromStringAndSize(o.output().data(), static_cast<Py_ssize_t>(o.output().size()));
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
// diagnose(data: str, three_player=None) -> tuple | None

constexpr const char* k_diagnose_params[] = {"data", "three_player"};
constexpr Signature k_diagnose_signature = {"diagnose", k_diagnose_params, 1, 2};

PyObject* py_diagnose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[2];
    if (bind_arguments(k_diagnose_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    Py_ssize_t size;
    const char* data = str_argument("data", bound[0], &size);
    std::optional<conv::ThreePlayerForm> three_player;
    if (data == nullptr || three_player_argument(bound[1], three_player) < 0) {
      return nullptr;
    }
    const PaddedText input(std::string_view(data, static_cast<std::size_t>(size)));
    const auto why = diagnose_record(input, three_player);
    return why ? diagnosis_tuple(*why) : Py_NewRef(Py_None);
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

// kyoku_name(kyoku, round, honba): the forward direction's name of a kyoku,
// so that mjai_to_tenhou6 words its places alike.
PyObject* py_kyoku_name(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "kyoku_name() takes 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  std::size_t v[3];
  for (int i = 0; i < 3; ++i) {
    v[i] = PyLong_AsSize_t(args[i]);
    if (v[i] == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
      return nullptr;
    }
  }
  if (v[1] > 255) {
    PyErr_SetString(PyExc_ValueError, "kyoku_name(): round must be below 256");
    return nullptr;
  }
  try {
    const std::string name = conv::kyoku_name(v[0], static_cast<std::uint8_t>(v[1]), v[2]);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

constexpr const char* k_tenhou6_params[] = {"data", "three_player"};
constexpr Signature k_tenhou6_signature = {"tenhou6_to_mjai", k_tenhou6_params, 1, 2};

PyObject* py_tenhou6_to_mjai(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[2];
    if (bind_arguments(k_tenhou6_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    Py_ssize_t size;
    const char* data = str_argument("data", bound[0], &size);
    if (data == nullptr) {
      return nullptr;
    }
    std::optional<conv::ThreePlayerForm> form;
    if (three_player_argument(bound[1], form) < 0) {
      return nullptr;
    }
    conv::Options options;
    options.any_players = true;
    options.form = form.value_or(conv::ThreePlayerForm::nukidora);
    PyObject* list = PyList_New(0);
    if (list == nullptr) {
      return nullptr;
    }
    ListSink sink(list);
    kifuzan::base::result<std::size_t, std::optional<conv::Error>> done = kifuzan::base::failure(std::optional<conv::Error>());
    const conv::PaddedText input(std::string_view(data, static_cast<std::size_t>(size)));
    try {
      done = conv::convert_text_blocks(input, options, sink);
    } catch (...) {
      Py_DECREF(list);
      throw;
    }
    if (!done) {
      // Without an error the sink stopped, and its Python error stands.
      if (done.error()) {
        raise_reason(conv::diagnosis_of(*done.error(), input, true));
      }
      Py_DECREF(list);
      return nullptr;
    }
    return list;
  } catch (...) {
    raise_from_cpp_exception(internal_error_type);
    return nullptr;
  }
}

PyMethodDef g_record_methods[] = {
    {"tenhou6_to_mjai", as_cfunction(py_tenhou6_to_mjai), METH_FASTCALL | METH_KEYWORDS,
    "tenhou6_to_mjai(data, three_player='nukidora')\n--\n\n"
    "The mjai events of a tenhou.net/6 record of four or three players.\n\n"
    "A four-player record gives exactly what _kifuzan.tenhou_to_mjai gives\n"
    "(but a kita entry, \"f\" and a tile code, is refused in one, where\n"
    "tenhou_to_mjai reads any three-character discard text as a riichi).\n"
    "A record is three-player when its rule text says so (\"三\", \"3-Player\")\n"
    "or when it names no fourth player and deals seat 3 no hand (Mahjong\n"
    "Soul's exports). No mjai standard covers three players; three_player\n"
    "picks one of the forms tools use, alike but for these:\n\n"
    "- 'nukidora' (the default): three seats in start_game, start_kyoku and\n"
    "  the deltas; a North set aside (\"f44\" in the record) is\n"
    "  {\"type\":\"nukidora\",\"actor\":a,\"pai\":\"N\"}, followed by the same\n"
    "  seat's replacement draw. gimite's mjai server, where the protocol\n"
    "  began, writes it, and it invents no fourth seat.\n"
    "- 'kita': the same with \"type\":\"kita\" (the RiichiEnv engine).\n"
    "- 'nukidora-4': four seats, the fourth padded (name \"\", score 0, a\n"
    "  hand of 13 \"?\", delta 0), for four-seat models; seat 3 never acts.\n\n"
    "Raises _kifuzan's exception for the stage that refused the record, with\n"
    "the reason (what, in which kyoku and entry) as its message: besides\n"
    "tenhou_to_mjai's refusals, a record whose hands do not fit its number\n"
    "of players, a kita of a tile other than North, by a seat holding none,\n"
    "or in a four-player record, and 2m-8m in a three-player record.\n"
    "ValueError for an unknown form."},
    {"kyoku_name", as_cfunction(py_kyoku_name), METH_FASTCALL,
     "kyoku_name(kyoku, round, honba)\n--\n\n"
     "How messages name a kyoku: 'kyoku 3 (East 4, 0 honba)' for the 0-based\n"
     "place 3 in the log, round index 3 and no honba."},
    {"convert_record", as_cfunction(py_convert_record), METH_FASTCALL | METH_KEYWORDS,
     "convert_record(data, to='mjai', ref=None, three_player=None)\n--\n\n"
     "Converts one record given as bytes (not compressed), told by its\n"
     "content, with the GIL released: a tenhou.net/6 or mjlog record into\n"
     "mjai lines (each ended by a line feed: the bytes tenhou_file_to_mjai\n"
     "writes), or with to='tenhou6' into a tenhou.net/6 document (a\n"
     "document as it is, once it is known to convert; an mjlog record with\n"
     "ref as its \"ref\"). three_player, a form's name ('nukidora', 'kita',\n"
     "'nukidora-4'), reads three-player records (tenhou.net/6 or mjlog) too.\n"
     "Returns the bytes; None for an mjai record (the\n"
     "caller's to convert); or for a refused record (error, message, why):\n"
     "the class name and message of the exception the public functions\n"
     "raise, and what diagnose says (or None)."},
    {"record_format", as_cfunction(py_record_format), METH_FASTCALL | METH_KEYWORDS,
     "record_format(data)\n--\n\n"
     "'mjlog', 'mjai' or 'tenhou6': what the record in data (bytes, not\n"
     "compressed) is, told by its first bytes."},
    {"compression", as_cfunction(py_compression), METH_FASTCALL | METH_KEYWORDS,
     "compression(data)\n--\n\n"
     "'gzip' or 'bz2' when data starts as such a stream, else None."},
    {"diagnose", as_cfunction(py_diagnose), METH_FASTCALL | METH_KEYWORDS,
     "diagnose(data, three_player=None)\n--\n\n"
     "None when the record converts (with three_player, a three-player record\n"
     "too, in that form); otherwise (error, stage, reason, kyoku,\n"
     "seat, offset): the exception's class name, the stage that refused it,\n"
     "why in one sentence, and where (0-based kyoku and seat, byte offset in\n"
     "the UTF-8 text; None where unknown)."},
    {nullptr, nullptr, 0, nullptr},
};

int init_records(PyObject*) {
  for (const Format f : {Format::tenhou6, Format::mjlog, Format::mjai}) {
    PyObject*& name = g_format_names[static_cast<int>(f)];
    if (name == nullptr && (name = PyUnicode_InternFromString(record::format_name(f))) == nullptr) {
      return -1;
    }
  }
  return 0;
}

}  // namespace kifuzan::native
