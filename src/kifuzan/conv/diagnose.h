// Why a record does not convert, in words: the explanation behind the fixed
// messages that _kifuzan raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kifuzan/conv/error.h"
#include "kifuzan/conv/input.h"

namespace kifuzan::conv {

// The exception _kifuzan raises for a failure at each stage.
enum class Exception : std::uint8_t {
  json_parsing_error,        // parse
  tenhou_log_parsing_error,  // normalise
  tenhou_to_mjai_error,      // convert
  json_serialization_error,  // serialize
};

Exception exception_of(Stage stage) noexcept;
// The exception's Python name, e.g. "TenhouToMjaiError".
std::string_view exception_name(Exception e) noexcept;
// "parse", "normalise", "convert" or "serialize".
std::string_view stage_name(Stage stage) noexcept;

struct Diagnosis {
  Stage stage;
  Exception error;
  std::string reason;  // one sentence naming what and where
  // 0-based, as in the record: the kyoku's place in "log", the seat.
  std::optional<int> kyoku, seat;
  std::optional<std::size_t> offset;  // byte in the input text
};

// Nothing exactly when tenhou_to_mjai_lines succeeds on the same text;
// otherwise the stage it fails at, and why. A three-player record that the
// reader refuses for its shape is still said to be three-player.
std::optional<Diagnosis> diagnose(const PaddedText& input);

// The diagnosis of an error the pipeline returned for `input`: no second
// run. With any_players, a three-player record is not called unsupported.
Diagnosis diagnosis_of(const Error& e, const PaddedText& input, bool any_players);

}  // namespace kifuzan::conv
