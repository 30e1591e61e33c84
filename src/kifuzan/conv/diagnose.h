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

// "parse", "normalise", "convert" or "serialize".
std::string_view stage_name(Stage stage) noexcept;

struct Diagnosis {
  ErrorKind kind;  // which exception a binding raises follows from it
  Stage stage;
  std::string reason;  // one sentence naming what and where
  // 0-based, as in the record: the kyoku's place in "log", the seat.
  std::optional<int> kyoku, seat;
  std::optional<std::size_t> offset;  // byte in the input text
};

// Nothing exactly when tenhou_to_mjai_lines succeeds on the same text;
// otherwise the stage it fails at, and why. A three-player record that the
// reader refuses for its shape is still said to be three-player.
std::optional<Diagnosis> diagnose(const PaddedText& input);

// The diagnosis of an error the pipeline returned for `input` (or the mjlog
// reader for that text): no second run. With any_players, a three-player
// record is not called unsupported.
Diagnosis diagnosis_of(const Error& e, const PaddedText& input, bool any_players);

}  // namespace kifuzan::conv
