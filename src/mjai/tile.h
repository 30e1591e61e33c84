// Tiles and seats: the game's vocabulary, with the tenhou.net/6 tile codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mjai {

// One of 38 tile identifiers: 0-8 "1m".."9m", 9-17 pins, 18-26 sous,
// 27-33 honours "E".."C", 34-36 red fives, 37 the unknown tile "?".
struct Tile {
  std::uint8_t id = 37;

  friend constexpr bool operator==(Tile, Tile) = default;
};

inline constexpr int tile_count = 38;
inline constexpr Tile unknown_tile{37};

// The mjai text of a tile, without quotes.
std::string_view tile_name(Tile t) noexcept;

// The tile a tenhou code stands for, or nothing when the code is not one of
// the 38 valid codes.
std::optional<Tile> tile_from_code(std::uint8_t code) noexcept;

// "invalid value: N, expected one of: 0, 11, ..." for a rejected code.
std::string invalid_tile_code_message(unsigned code);

// The tile spelt by two characters of a call text ("25", "+5" reads as 5),
// or nothing when they are not a valid code.
std::optional<Tile> tile_from_chars(char a, char b) noexcept;

using Seat = std::uint8_t;

constexpr Seat prev_seat(Seat s) noexcept { return static_cast<Seat>((s - 1) & 3); }
constexpr Seat opposite_seat(Seat s) noexcept { return static_cast<Seat>((s & 3) ^ 2); }
constexpr Seat next_seat(Seat s) noexcept { return static_cast<Seat>((s + 1) & 3); }

}  // namespace mjai
