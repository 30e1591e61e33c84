// Byte offsets for error reports, found in the input text after a failure:
// the DOM the reader walks keeps no positions, so these read the text again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kifuzan/conv/input.h"

namespace kifuzan::conv {

// One step down from a value: the member named `key` of an object (the
// first such), or else the `index`-th element of an array or member of an
// object.
struct PathStep {
  std::uint32_t index = 0;
  std::string_view key;
};

// Where the value at the end of `path` starts, or nothing when the text does
// not hold it.
std::optional<std::size_t> value_offset(const PaddedText& text, std::span<const PathStep> path);

// Where a second, on-demand reading of the text stops, for a refusal with
// the given simdjson error code (an int, so that this header needs no
// simdjson): the first token it cannot take (for a truncated text, the
// last token, or the end), the first byte that is not UTF-8, or the bracket
// past the nesting limit. Nothing when the place cannot be told: an unclosed
// string, a control character in a string, or a refusal that only the
// first reading makes.
std::optional<std::size_t> json_error_offset(const PaddedText& text, int code);

}  // namespace kifuzan::conv
