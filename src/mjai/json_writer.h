// Compact JSON text of mjai events.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mjai/event.h"

namespace mjai {

namespace detail {
std::size_t max_large_event_size(const Event& e) noexcept;
// Room enough for any event but a StartGame, StartKyoku or Hora (the longest
// is a daiminkan, about 95 bytes), with slack for 8-byte copies past the end.
inline constexpr std::size_t max_small_event_size = 128 + 16;
}  // namespace detail

// An upper bound on the bytes write_event writes for e. Inline, as it is
// asked once per event.
inline std::size_t max_event_size(const Event& e) noexcept {
  switch (e.index()) {
    case variant_index<StartGame>:
    case variant_index<StartKyoku>:
    case variant_index<Hora>: return detail::max_large_event_size(e);
    default: return detail::max_small_event_size;
  }
}

// Writes the event's JSON object, without a line break, at p, which must
// have max_event_size(e) bytes of room; returns the end of what was written.
// Cannot fail for any value an Event can hold.
char* write_event(char* p, const Event& e) noexcept;

// The same, appended to a string.
void write_event(std::string& out, const Event& e);

// Appends s as a JSON string literal: '"' and '\\' escaped, control
// characters as short escapes or \u00XX, everything else passed through.
void write_json_string(std::string& out, std::string_view s);

}  // namespace mjai
