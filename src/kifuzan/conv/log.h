// The normalised game that the converter reads.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "kifuzan/conv/document.h"

namespace kifuzan::conv {

struct HoraEntry {
  Deltas deltas{};
  std::uint8_t winner = 0;
  std::uint8_t source = 0;
};

// The hora form (one entry per win, possibly none) or the deltas form.
using RoundResult = std::variant<std::vector<HoraEntry>, Deltas>;

struct Kyoku {
  std::uint8_t kyoku = 0, honba = 0, kyotaku = 0;
  std::array<std::int32_t, 4> scores{};
  std::vector<Tile> dora_indicators;
  std::vector<Tile> ura_indicators;
  mjai::Hands haipai{};
  std::array<SeatActions, 4> seats;
  RoundResult result;
};

struct Log {
  std::array<std::string, 4> names;
  std::vector<Kyoku> kyokus;
  bool aka_flag = false;
  std::uint8_t kyoku_first = 0;
};

// Consumes the document. Fails for a three-player rule text
// (ErrorKind::three_player, with the text) and for a win whose detail list
// lacks the winner and source numbers (ErrorKind::malformed_win, with its
// kyoku and the list's place in the result list).
mjai::result<Log, Error> normalise(RawLog&& raw);

}  // namespace kifuzan::conv
