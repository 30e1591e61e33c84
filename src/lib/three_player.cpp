// tenhou6_to_mjai(data, three_player="nukidora"): any tenhou.net/6 record,
// three-player ones included, to mjai lines. _kifuzan keeps refusing
// three-player records; this is the package's way to them.

#include "lib/three_player.h"

#include <optional>
#include <string>
#include <string_view>

#include "kifuzan/conv/log.h"
#include "kifuzan/conv/pipeline.h"
#include "lib/binding.h"
#include "lib/native.h"

namespace kifuzan::py {
namespace {

using conv::ThreePlayerForm;

PyObject* (*g_internal_type)() = nullptr;
// _kifuzan's exception for each stage's failure, by conv::Stage.
PyObject* g_stage_types[4] = {};

constexpr const char* k_stage_attributes[4] = {"JsonParsingError", "TenhouLogParsingError", "TenhouToMjaiError",
                                               "JsonSerializationError"};

int form_argument(PyObject* obj, ThreePlayerForm& out) {
  std::optional<ThreePlayerForm> form;
  if (native::three_player_argument(obj, form) < 0) {
    return -1;
  }
  out = form.value_or(ThreePlayerForm::nukidora);
  return 0;
}

// The stage's exception, with the reason (what and where) as its message.
void raise_error(const conv::Error& e) {
  const std::string reason = conv::describe(e);
  PyObject* message = PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace");
  if (message != nullptr) {
    PyErr_SetObject(g_stage_types[static_cast<int>(conv::stage_of(e.kind))], message);
    Py_DECREF(message);
  }
}

constexpr const char* k_params[] = {"data", "three_player"};
constexpr Signature k_signature = {"tenhou6_to_mjai", k_params, 1, 2};

PyObject* py_tenhou6_to_mjai(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* bound[2];
    if (bind_arguments(k_signature, args, nargs, kwnames, bound) < 0) {
      return nullptr;
    }
    Py_ssize_t size;
    const char* data = str_argument("data", bound[0], &size);
    if (data == nullptr) {
      return nullptr;
    }
    conv::Options options;
    options.any_players = true;
    if (form_argument(bound[1], options.form) < 0) {
      return nullptr;
    }
    PyObject* list = PyList_New(0);
    if (list == nullptr) {
      return nullptr;
    }
    ListSink sink(list);
    mjai::result<std::size_t, std::optional<conv::Error>> done = mjai::failure(std::optional<conv::Error>());
    try {
      done = conv::convert_text_blocks(conv::PaddedText(std::string_view(data, static_cast<std::size_t>(size))),
                                       options, sink);
    } catch (...) {
      Py_DECREF(list);
      throw;
    }
    if (!done) {
      // Without an error the sink stopped, and its Python error stands.
      if (done.error()) {
        raise_error(*done.error());
      }
      Py_DECREF(list);
      return nullptr;
    }
    return list;
  } catch (...) {
    raise_from_cpp_exception(g_internal_type);
    return nullptr;
  }
}

// Must outlive the function object.
PyMethodDef g_method = {
    "tenhou6_to_mjai", as_cfunction(py_tenhou6_to_mjai), METH_FASTCALL | METH_KEYWORDS,
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
    "ValueError for an unknown form."};

}  // namespace

int add_three_player_functions(PyObject* module, PyObject* (*internal_type)()) {
  g_internal_type = internal_type;
  PyObject* base = PyImport_ImportModule("_kifuzan");
  if (base == nullptr) {
    return -1;
  }
  for (int i = 0; i < 4; ++i) {
    if (g_stage_types[i] == nullptr && (g_stage_types[i] = PyObject_GetAttrString(base, k_stage_attributes[i])) == nullptr) {
      Py_DECREF(base);
      return -1;
    }
  }
  Py_DECREF(base);
  return add_function(module, &g_method);
}

}  // namespace kifuzan::py
