// The tenhou.net/6 game record as read from its JSON text, checked for shape
// but not yet for meaning.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kifuzan/conv/error.h"
#include "kifuzan/conv/input.h"
#include "mjai/event.h"
#include "base/result.h"
#include "mjai/tile.h"

namespace kifuzan::conv {

using mjai::Deltas;
using mjai::Seat;
using mjai::Tile;

// One entry of a seat's take or discard list.
struct ActionItem {
  enum class Kind : std::uint8_t { tile, number, text };
  Kind kind = Kind::number;
  std::uint8_t value = 0;  // the tile id for tile, the number for number
  std::string text;        // call or riichi notation, for text

  Tile tile() const noexcept { return Tile{value}; }

  friend bool operator==(const ActionItem&, const ActionItem&) = default;
};

// An element of a result-list array that is not a four-integer deltas array.
// Only numbers are ever looked at, so nested values keep just their kind.
struct JsonItem {
  enum class Kind : std::uint8_t { null, boolean, int64, uint64, float64, string, array, object };
  Kind kind = Kind::null;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double f = 0;

  bool is_number() const noexcept {
    return kind == Kind::int64 || kind == Kind::uint64 || kind == Kind::float64;
  }

  friend bool operator==(const JsonItem&, const JsonItem&) = default;
};

// One entry of a kyoku's result list: a text, four deltas, or another array.
using ResultItem = std::variant<std::string, Deltas, std::vector<JsonItem>>;

struct SeatActions {
  std::vector<ActionItem> takes;
  std::vector<ActionItem> discards;

  friend bool operator==(const SeatActions&, const SeatActions&) = default;
};

// What every form of a kyoku holds but its result: the JSON document's
// entry, the mjlog document's kyoku and the converter's normalised one
// derive from it, so that one passes to the next by a move.
struct KyokuPlay {
  std::uint8_t round = 0, honba = 0, kyotaku = 0;  // round 0 = E1, 4 = S1, ...
  std::array<std::int32_t, 4> scores{};
  std::vector<Tile> dora_indicators;
  std::vector<Tile> ura_indicators;
  // Side by side, as start_kyoku shows them: in the record's order from
  // JSON, sorted (red fives after plain fives) from mjlog.
  mjai::Hands haipai{};
  std::array<SeatActions, 4> seats;

  friend bool operator==(const KyokuPlay&, const KyokuPlay&) = default;
};

// One 17-element kyoku array, with the per-seat elements grouped.
struct KyokuEntry : KyokuPlay {
  std::vector<ResultItem> results;
  // Bit s: seat s's starting hand is [] (its haipai stays "?"), as seat 3's
  // is in a three-player record. Only a parse that allows it sets bits.
  std::uint8_t no_hand = 0;

  friend bool operator==(const KyokuEntry&, const KyokuEntry&) = default;
};

// The document's "rule": its text and its red-five numbers, whose sum in
// eight bits decides aka_flag.
struct Rule {
  std::string disp;  // "般南喰赤", "三鳳南喰赤"
  std::uint8_t aka = 0, aka51 = 0, aka52 = 0, aka53 = 0;

  friend bool operator==(const Rule&, const Rule&) = default;
};

struct RawLog {
  std::vector<KyokuEntry> log;
  std::array<std::string, 4> name;
  Rule rule;
  std::optional<std::string> ratingc;
  std::optional<std::int32_t> lobby;
  std::optional<std::vector<std::string>> dan;
  std::optional<std::vector<double>> rate;
  std::optional<std::vector<std::string>> sx;

  friend bool operator==(const RawLog&, const RawLog&) = default;
};

// Reads one whole document. Fails on malformed JSON (ErrorKind::json, with
// the byte where it can be found), on any value of the wrong type, range or
// length, on a repeated known key, on nesting deeper than 128 levels, and on
// anything but whitespace after the document. A refused value carries its
// byte offset and, inside "log", its kyoku, seat and entry.
kifuzan::base::result<RawLog, Error> parse(const PaddedText& text);

// The same, but a starting hand may also be [] (marked in no_hand): three-
// player records leave the absent seat's empty. Normalising decides whether
// the record may.
kifuzan::base::result<RawLog, Error> parse_any_players(const PaddedText& text);

}  // namespace kifuzan::conv
