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

}  // namespace

std::string_view tile_name(Tile t) noexcept {
  return t.id < tile_count ? names[t.id] : std::string_view("?");
}

std::string invalid_tile_code_message(unsigned code) {
  std::string m = "invalid value: " + std::to_string(code) + ", expected one of: ";
  bool first = true;
  for (unsigned c = 0; c < 54; ++c) {
    if (!((detail::valid_codes >> c) & 1)) continue;
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
  return tile_from_code(v);
}

}  // namespace mjai
