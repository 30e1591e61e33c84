#include "mjai/tile.h"

#include <array>

namespace mjai {
namespace {

constexpr std::array<std::string_view, tile_count> names = {
    "1m", "2m", "3m", "4m", "5m", "6m", "7m", "8m", "9m",
    "1p", "2p", "3p", "4p", "5p", "6p", "7p", "8p", "9p",
    "1s", "2s", "3s", "4s", "5s", "6s", "7s", "8s", "9s",
    "E",  "S",  "W",  "N",  "P",  "F",  "C",
    "5mr", "5pr", "5sr", "?"};

// Code -> tile id for codes 0..53; meaningful only where valid_codes has the bit.
constexpr std::array<std::uint8_t, 54> code_table = [] {
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

constexpr std::uint64_t valid_codes = [] {
  std::uint64_t m = 1;  // code 0
  for (int k = 1; k <= 3; ++k)
    for (int r = 1; r <= 9; ++r) m |= std::uint64_t{1} << (k * 10 + r);
  for (int r = 41; r <= 47; ++r) m |= std::uint64_t{1} << r;
  for (int r = 51; r <= 53; ++r) m |= std::uint64_t{1} << r;
  return m;
}();

}  // namespace

std::string_view tile_name(Tile t) noexcept {
  return t.id < tile_count ? names[t.id] : std::string_view("?");
}

std::optional<Tile> tile_from_code(std::uint8_t code) noexcept {
  if (code >= 54 || !((valid_codes >> code) & 1)) return std::nullopt;
  return Tile{code_table[code]};
}

std::string invalid_tile_code_message(unsigned code) {
  std::string m = "invalid value: " + std::to_string(code) + ", expected one of: ";
  bool first = true;
  for (unsigned c = 0; c < 54; ++c) {
    if (!((valid_codes >> c) & 1)) continue;
    if (!first) m += ", ";
    first = false;
    m += std::to_string(c);
  }
  return m;
}

std::optional<Tile> tile_from_chars(char a, char b) noexcept {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!digit(b)) return std::nullopt;
  unsigned v;
  if (a == '+')
    v = static_cast<unsigned>(b - '0');
  else if (digit(a))
    v = static_cast<unsigned>(a - '0') * 10 + static_cast<unsigned>(b - '0');
  else
    return std::nullopt;
  return tile_from_code(static_cast<std::uint8_t>(v));
}

}  // namespace mjai
