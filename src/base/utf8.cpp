#include "base/utf8.h"

#include <simdjson.h>

namespace kifuzan::base {

bool is_valid_utf8(std::string_view bytes) noexcept { return simdjson::validate_utf8(bytes.data(), bytes.size()); }

}  // namespace kifuzan::base
