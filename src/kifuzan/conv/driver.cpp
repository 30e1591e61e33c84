// The game: StartGame, each kyoku's start, play and result, EndGame.
#include <array>

#include "kifuzan/conv/convert.h"

namespace kifuzan::conv {
namespace {

Tile bakaze(std::uint8_t i) {
  constexpr std::uint8_t east = 27;  // "E"; the k-th wind is east + k
  return Tile{static_cast<std::uint8_t>(east + (i < 12 ? i / 4 : 3))};
}

}  // namespace

mjai::result<std::vector<Event>, ConvertError> convert_game(const Log& log) {
  std::vector<Event> events;
  std::size_t estimate = 2;
  for (const Kyoku& k : log.kyokus) {
    estimate += 8;
    for (const SeatActions& s : k.seats) estimate += s.takes.size() + s.discards.size();
  }
  events.reserve(estimate);
  events.emplace_back(mjai::StartGame{log.names, log.kyoku_first, log.aka_flag});

  std::array<SeatEvents, 4> seats;
  ConvertError err{};
  for (const Kyoku& k : log.kyokus) {
    for (Seat s = 0; s < 4; ++s)
      if (!decode_seat_into(k, s, seats[s], err)) return mjai::failure{std::move(err)};
    if (k.dora_indicators.empty())
      return mjai::failure{ConvertError{ConvertErrorKind::missing_dora_marker, {}}};
    const Seat oya = k.kyoku % 4;
    mjai::StartKyoku start;
    start.bakaze = bakaze(k.kyoku);
    start.dora_marker = k.dora_indicators.front();
    start.kyoku = static_cast<std::uint8_t>(oya + 1);
    start.honba = k.honba;
    start.kyotaku = k.kyotaku;
    start.oya = oya;
    start.scores = k.scores;
    for (std::size_t s = 0; s < 4; ++s) start.tehais[s] = k.seats[s].haipai;
    events.emplace_back(std::move(start));
    // A failure discards the whole game, so the kyoku's events go straight
    // into the game list.
    if (!play_kyoku(k, seats, oya, events, err)) return mjai::failure{std::move(err)};
  }
  events.emplace_back(mjai::EndGame{});
  return events;
}

}  // namespace kifuzan::conv
