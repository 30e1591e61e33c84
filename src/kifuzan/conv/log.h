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

// A kyoku as the converter reads it: the entry's play and its result reduced.
struct Kyoku : KyokuPlay {
  RoundResult result;
};

// How a three-player game is written in mjai. No mjai standard covers three
// players; tools use these three forms, which differ in nothing else.
enum class ThreePlayerForm : std::uint8_t {
  nukidora,   // three seats; a kita is {"type":"nukidora",...}
  kita,       // three seats; a kita is {"type":"kita",...}
  nukidora4,  // four seats, seat 3 padded (name "", score 0, hand of "?", delta 0)
};

// What a conversion accepts. The default is _kifuzan's: four players only,
// and any three-character discard text is a riichi.
struct Options {
  // Three-player records too (told by the rule text, or by an unnamed
  // fourth seat without a hand); "f" and a code in a discard list is a kita.
  bool any_players = false;
  ThreePlayerForm form = ThreePlayerForm::nukidora;
};

struct Log {
  std::array<std::string, 4> names;
  std::vector<Kyoku> kyokus;
  bool aka_flag = false;
  std::uint8_t kyoku_first = 0;
  std::uint8_t players = 4;  // 3: seat 3 is absent, its name, scores and deltas zero
  bool kita_texts = false;   // Options::any_players
  ThreePlayerForm form = ThreePlayerForm::nukidora;

  // The seats the mjai events list: three unless padded to four.
  std::uint8_t shown_seats() const noexcept {
    return players == 3 && form != ThreePlayerForm::nukidora4 ? 3 : 4;
  }
};

// Consumes the document. Fails for a three-player rule text
// (ErrorKind::three_player, with the text) and for a win whose detail list
// lacks the winner and source numbers (ErrorKind::malformed_win, with its
// kyoku and the list's place in the result list).
kifuzan::base::result<Log, Error> normalise(RawLog&& raw);

// The same with `options`. With any_players, a record is three-player when
// its rule text says so (三, 3-Player), or when it names no fourth player and
// its first kyoku has no hand for seat 3; then every kyoku must leave seat 3
// out (hand_for_absent_seat, absent_seat) and give seats 0-2 hands; a
// four-player record must give every seat a hand (missing_hand).
kifuzan::base::result<Log, Error> normalise(RawLog&& raw, const Options& options);

}  // namespace kifuzan::conv
