// Tiles and seats: the game's vocabulary, with the tenhou.net/6 tile codes.
#pragma once

#include <array>
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

namespace detail {

// Bit c is set for each valid tenhou code c (0, 11-19, 21-29, 31-39, 41-47, 51-53).
inline constexpr std::uint64_t valid_codes = [] {
  std::uint64_t m = 1;
  for (int k = 1; k <= 3; ++k)
    for (int r = 1; r <= 9; ++r) m |= std::uint64_t{1} << (k * 10 + r);
  for (int c = 41; c <= 47; ++c) m |= std::uint64_t{1} << c;
  for (int c = 51; c <= 53; ++c) m |= std::uint64_t{1} << c;
  return m;
}();

// Code -> tile id, meaningful where valid_codes has the bit.
inline constexpr std::array<std::uint8_t, 54> code_table = [] {
  std::array<std::uint8_t, 54> t{};
  t[0] = 37;
  for (int k = 0; k < 3; ++k)
    for (int r = 1; r <= 9; ++r) t[(k + 1) * 10 + r] = static_cast<std::uint8_t>(k * 9 + r - 1);
  for (int r = 1; r <= 7; ++r) t[40 + r] = static_cast<std::uint8_t>(26 + r);
  t[51] = 34;
  t[52] = 35;
  t[53] = 36;
  return t;
}();

}  // namespace detail

// The tile a tenhou code stands for, or nothing when the code is not one of
// the 38 valid codes: one bit test and one table read.
inline std::optional<Tile> tile_from_code(std::uint64_t code) noexcept {
  if (code >= 54 || !((detail::valid_codes >> code) & 1)) return std::nullopt;
  return Tile{detail::code_table[code]};
}

// The tile of a code already known to be valid (the mjlog reader's own tables).
constexpr Tile tile_of_valid_code(std::uint8_t code) noexcept { return Tile{detail::code_table[code]}; }

// A tile's tenhou.net/6 code, by tile id (red fives 51-53; 0 for "?").
inline constexpr std::array<std::uint8_t, tile_count> tenhou_codes = [] {
  std::array<std::uint8_t, tile_count> t{};
  for (unsigned c = 0; c < detail::code_table.size(); ++c)
    if ((detail::valid_codes >> c) & 1) t[detail::code_table[c]] = static_cast<std::uint8_t>(c);
  return t;
}();

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
