#include "kifuzan/conv/diagnose.h"

#include <simdjson.h>

#include "kifuzan/conv/pipeline.h"

namespace kifuzan::conv {
namespace {

// Whether a document that the reader refused is a three-player record:
// such records break the four-seat shape before their rule is ever read.
// Tenhou marks them in the rule text or the rating class ("PF3"); exports
// leave the fourth seat's name and starting hand empty.
bool looks_three_player(const PaddedText& input) {
  simdjson::dom::parser parser;
  simdjson::dom::element root, rule, name, log;
  if (parser.parse(input.data(), input.size(), false).get(root)) return false;
  const bool object = root.is_object();
  std::string_view disp, ratingc, fourth;
  if (!(object ? root["rule"].get(rule) : root.at(2).get(rule)) &&
      !(rule.is_object() ? rule["disp"].get(disp) : rule.at(0).get(disp)) &&
      (disp.find("\xE4\xB8\x89") != disp.npos || disp.find("3-Player") != disp.npos))  // 三
    return true;
  if (!(object ? root["ratingc"].get(ratingc) : root.at(3).get(ratingc)) && ratingc == "PF3") return true;
  simdjson::dom::array hand;
  return !(object ? root["name"].get(name) : root.at(1).get(name)) && !name.at(3).get(fourth) && fourth.empty() &&
         !(object ? root["log"].get(log) : root.at(0).get(log)) && !log.at(0).at(13).get(hand) && hand.size() == 0;
}

}  // namespace

std::string_view stage_name(Stage stage) noexcept {
  switch (stage) {
    case Stage::parse: return "parse";
    case Stage::normalise: return "normalise";
    case Stage::convert: return "convert";
    case Stage::serialize: break;
  }
  return "serialize";
}

Diagnosis diagnosis_of(const Error& e, const PaddedText& input, bool any_players) {
  Diagnosis d;
  d.kind = e.kind;
  d.stage = stage_of(e.kind);
  // JSON text has no byte-order mark, and the reader refuses one as the
  // syntax error at byte 0; editors on Windows add it unasked, so name it.
  if (e.kind == ErrorKind::json && e.offset == 0 && input.view().starts_with("\xEF\xBB\xBF"))
    d.reason = "JSON syntax error at byte 0: the text starts with a byte-order mark (bytes EF BB BF), which "
               "JSON text must not have; save it as UTF-8 without one";
  else
    d.reason = describe(e);
  if (!any_players && d.stage == Stage::parse && e.kind != ErrorKind::json && e.kind != ErrorKind::mjlog &&
      looks_three_player(input))
    d.reason = "three-player records are not supported (the reader refused it first: " + d.reason + ")";
  if (e.kyoku) d.kyoku = static_cast<int>(*e.kyoku);
  if (e.seat) d.seat = *e.seat;
  d.offset = e.offset;
  return d;
}

std::optional<Diagnosis> diagnose(const PaddedText& input) {
  auto r = convert_text(input);
  if (r) return std::nullopt;
  return diagnosis_of(r.error(), input, false);
}

}  // namespace kifuzan::conv
