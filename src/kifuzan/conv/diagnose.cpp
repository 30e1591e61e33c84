#include "kifuzan/conv/diagnose.h"

#include <simdjson.h>

#include "kifuzan/conv/pipeline.h"

namespace kifuzan::conv {
namespace {

// Whether a document that the reader refused has a three-player rule text:
// such records often break the four-seat shape before the rule is read.
bool three_player_rule(const PaddedText& input) {
  simdjson::dom::parser parser;
  simdjson::dom::element root, rule;
  if (parser.parse(input.data(), input.size(), false).get(root)) return false;
  if (root.is_object() ? root["rule"].get(rule) : root.at(2).get(rule)) return false;
  std::string_view disp;
  if (rule.is_object() ? rule["disp"].get(disp) : rule.at(0).get(disp)) return false;
  return disp.find("\xE4\xB8\x89") != disp.npos || disp.find("3-Player") != disp.npos;  // 三
}

}  // namespace

Exception exception_of(Stage stage) noexcept {
  switch (stage) {
    case Stage::parse: return Exception::json_parsing_error;
    case Stage::normalise: return Exception::tenhou_log_parsing_error;
    case Stage::convert: return Exception::tenhou_to_mjai_error;
    case Stage::serialize: break;
  }
  return Exception::json_serialization_error;
}

std::string_view exception_name(Exception e) noexcept {
  switch (e) {
    case Exception::json_parsing_error: return "JsonParsingError";
    case Exception::tenhou_log_parsing_error: return "TenhouLogParsingError";
    case Exception::tenhou_to_mjai_error: return "TenhouToMjaiError";
    case Exception::json_serialization_error: break;
  }
  return "JsonSerializationError";
}

std::string_view stage_name(Stage stage) noexcept {
  switch (stage) {
    case Stage::parse: return "parse";
    case Stage::normalise: return "normalise";
    case Stage::convert: return "convert";
    case Stage::serialize: break;
  }
  return "serialize";
}

std::optional<Diagnosis> diagnose(const PaddedText& input) {
  auto r = convert_text(input);
  if (r) return std::nullopt;
  const Error& e = r.error();
  Diagnosis d;
  d.stage = stage_of(e.kind);
  d.error = exception_of(d.stage);
  d.reason = describe(e);
  if (d.stage == Stage::parse && e.kind != ErrorKind::json && three_player_rule(input))
    d.reason = "three-player records are not supported (the reader refused it first: " + d.reason + ")";
  if (e.kyoku) d.kyoku = static_cast<int>(*e.kyoku);
  if (e.seat) d.seat = *e.seat;
  d.offset = e.offset;
  return d;
}

}  // namespace kifuzan::conv
