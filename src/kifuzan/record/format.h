// What a record is, told from its text alone, whatever its file is called.
// The one place that decides it: the package's Python side asks here too.
#pragma once

#include <cstdint>
#include <string_view>

namespace kifuzan::record {

enum class Format : std::uint8_t { tenhou6, mjlog, mjai };
enum class Compression : std::uint8_t { none, gzip, bz2 };

// gzip by its magic bytes; bz2 by "BZh", a block size and a block's (or the
// end of stream's) magic.
Compression detect_compression(std::string_view data) noexcept;
const char* compression_name(Compression c) noexcept;  // nullptr for none

// Decides from the first bytes only (after a byte order mark and white space):
// markup is mjlog (the mjlog reader says why when it is not a game record, a
// DOCTYPE included); a JSON object, or an array whose first element is one,
// whose first key that tells is "type" is mjai (an event line, or an array of
// events); anything else is handed to the tenhou.net/6 reader, which says why
// it is not a document.
Format detect_format(std::string_view text) noexcept;

const char* format_name(Format f) noexcept;

}  // namespace kifuzan::record
