// Tenhou's own game record (mjlog XML, <mjloggm ver="2.3">) read into the
// tenhou.net/6 document that tenhou's service gives for the same game.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kifuzan/conv/document.h"
#include "base/result.h"
#include "mjai/tile.h"

namespace kifuzan::mjlog {

using mjai::Deltas;  // seat by seat, as in the events

// One entry of a seat's take or discard list, in the converter's own form
// so that it passes to the converter as it is: a tile (red fives are their
// own tiles; the discard slot of a daiminkan is code 0, the unknown tile),
// the number 60 (a discard of the tile just drawn), or a call or riichi
// text ("c375336", "1551p15", "r21", "r60").
using Action = conv::ActionItem;

struct Win {
  Deltas deltas{};
  std::uint8_t who = 0, from_who = 0, pao_who = 0;  // pao_who is who without pao
  std::string points;              // "30符4飜7700点", "満貫2000-4000点", "役満48000点∀"
  std::vector<std::string> yaku;   // "立直(1飜)", "大三元(役満)", in record order

  friend bool operator==(const Win&, const Win&) = default;
};

// The kyoku's last element: "和了" with its wins, or one of the draws.
struct Result {
  enum class Kind : std::uint8_t {
    none,       // the record stops before the kyoku's result: an empty list
    win,        // 和了, one Win per AGARI (several for a multiple ron)
    draw,       // 流局 with deltas
    all_tenpai, // 全員聴牌
    all_noten,  // 全員不聴
    nine_kinds, // 九種九牌
    four_riichi,  // 四家立直
    triple_ron,   // 三家和了
    four_kans,    // 四槓散了
    four_winds,   // 四風連打
    nagashi,      // 流し満貫 with deltas
  };
  Kind kind = Kind::none;
  std::vector<Win> wins;  // win only
  Deltas deltas{};        // draw and nagashi only

  friend bool operator==(const Result&, const Result&) = default;
};

// The word that opens a result list ("和了", "流局", ...).
std::string_view result_word(Result::Kind kind) noexcept;
// Whether the result list carries deltas after its word.
constexpr bool has_deltas(Result::Kind k) noexcept {
  return k == Result::Kind::draw || k == Result::Kind::nagashi;
}

// Its hands sorted, red fives after plain fives (a three-player record's
// seat 3 has none); its result typed.
struct Kyoku : conv::KyokuPlay {
  Result result;

  friend bool operator==(const Kyoku&, const Kyoku&) = default;
};

// A disconnection (BYE, what 0) or a reconnection (a later UN, what 1).
struct Connection {
  std::uint8_t what = 0;
  std::int32_t log = -1;  // kyoku index; -1 before the first INIT
  std::uint8_t who = 0;
  std::uint32_t step = 0; // draw, discard and call elements since that kyoku's INIT

  friend bool operator==(const Connection&, const Connection&) = default;
};

// The tenhou.net/6 document. Written in this member order; connection only
// when not empty, lobby only when the record has one.
struct Document {
  double ver = 2.3;
  std::string ref;  // SHUFFLE's ref attribute (empty in every known record)
  std::vector<Kyoku> log;
  std::vector<Connection> connection;
  std::string ratingc = "PF4";
  // Red fives until GO says otherwise. Written as tenhou writes it: disp,
  // aka53, aka52, aka51, and no "aka" (which stays 0).
  conv::Rule rule{.disp = {}, .aka = 0, .aka51 = 1, .aka52 = 1, .aka53 = 1};
  std::optional<std::int32_t> lobby;
  std::vector<std::string> dan;  // empty when the record has gold instead
  std::vector<double> rate;
  std::vector<std::string> sx;
  std::vector<double> sc;  // per seat: final score, final result with uma; empty without owari
  std::array<std::string, 4> name;
  // 3: a three-player game (GO type 0x10); seat 3 has no hand, score or play.
  std::uint8_t players = 4;

  friend bool operator==(const Document&, const Document&) = default;
};

// The message for a record of a three-player game.
inline constexpr std::string_view three_player_message = "three-player records are not supported";

// Reads one whole record. Never reads a DTD, expands only XML's predefined
// entities and character references, and refuses any DOCTYPE. A record of a
// three-player game is refused (three_player_message) unless `any_players`.
// A refusal is the converter's Error of kind mjlog: what is wrong, and where.
kifuzan::base::result<Document, conv::Error> read_mjlog(std::string_view xml, bool any_players = false);

}  // namespace kifuzan::mjlog
