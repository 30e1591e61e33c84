// The texts and exception kinds that the extension modules raise for the
// pipeline's failures and for file problems. _kifuzan's are fixed: callers
// match on them.
#pragma once

#include "kifuzan/conv/pipeline.h"

namespace kifuzan::py {

enum ErrorKind : int {
  tenhou_log_parsing_error,
  tenhou_to_mjai_error,
  json_serialization_error,
  json_parsing_error,
  internal_error,
  mjlog_error,  // kifuzan._native's own
  error_kind_count,
};

struct ErrorInfo {
  const char* qualname;
  const char* attribute;  // nullptr: not exported
  bool internal;          // derives from BaseException instead of ValueError
  const char* doc = nullptr;
};

inline constexpr ErrorInfo k_errors[error_kind_count] = {
    {"_kifuzan.TenhouLogParsingError", "TenhouLogParsingError", false},
    {"_kifuzan.TenhouToMjaiError", "TenhouToMjaiError", false},
    {"_kifuzan.JsonSerializationError", "JsonSerializationError", false},
    {"_kifuzan.JsonParsingError", "JsonParsingError", false},
    // Not a module attribute: nothing should catch it by name, it means a
    // broken invariant in the core.
    {"_kifuzan.InternalError", nullptr, true},
    {"kifuzan.MjlogError", "MjlogError", false,
     "The text is not a well-formed four-player mjlog record; the message says what is wrong and where."},
};

// The exception each stage's failure raises, and its one message.
struct StageError {
  ErrorKind kind;
  const char* message;
};

constexpr StageError stage_error(conv::Stage stage) noexcept {
  switch (stage) {
    case conv::Stage::parse: return {json_parsing_error, "failed to parse tenhou.net/6 log"};
    case conv::Stage::normalise: return {tenhou_log_parsing_error, "invalid log"};
    case conv::Stage::convert: return {tenhou_to_mjai_error, "failed to convert tenhou.net/6 log to mjai"};
    case conv::Stage::serialize: return {json_serialization_error, "failed to serialize"};
  }
  return {internal_error, "unknown pipeline stage"};
}

// The exception an error of the core raises, whatever called the core: its
// stage's, or MjlogError for a text the mjlog reader refused.
inline ErrorKind exception_of(conv::ErrorKind kind) noexcept {
  return kind == conv::ErrorKind::mjlog ? mjlog_error : stage_error(conv::stage_of(kind)).kind;
}

// Its fixed message; nullptr where the error's own sentence is the message
// (MjlogError).
inline const char* fixed_message(conv::ErrorKind kind) noexcept {
  return kind == conv::ErrorKind::mjlog ? nullptr : stage_error(conv::stage_of(kind)).message;
}

inline constexpr const char k_open_log_failed[] = "failed to open tenhou.net/6 log file ";  // + debug form
inline constexpr const char k_not_utf8[] = "stream did not contain valid UTF-8";
inline constexpr const char k_create_out_failed[] = "failed to create mjai out file ";  // + name
inline constexpr const char k_write_out_failed[] = "failed to write to mjai out file";

}  // namespace kifuzan::py
