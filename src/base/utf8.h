// Checks every layer needs and none owns.
#pragma once

#include <string_view>

namespace kifuzan::base {

// Whether the bytes are well-formed UTF-8 (simdjson's validator).
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace kifuzan::base
