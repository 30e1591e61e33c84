// Compact JSON text of mjai events, appended to a caller-owned buffer.
#pragma once

#include <string>

#include "mjai/event.h"

namespace mjai {

// Appends the event's JSON object, without a line break. Cannot fail for any
// value an Event can hold.
void write_event(std::string& out, const Event& e);

// Appends s as a JSON string literal: '"' and '\\' escaped, control
// characters as short escapes or \u00XX, everything else passed through.
void write_json_string(std::string& out, std::string_view s);

}  // namespace mjai
