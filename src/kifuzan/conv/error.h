// Why a stage refused its input, and where: one error shape for every stage.
// Errors are built only on failure; nothing here costs a successful run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/result.h"
#include "mjai/tile.h"

namespace kifuzan::conv {

enum class Stage : std::uint8_t { parse, normalise, convert, serialize };

enum class ErrorKind : std::uint8_t {
  // parse: the JSON text itself
  json,               // the JSON library refused the text; json_code says why
  mjlog,              // the text is no mjlog record the reader takes; `text` says
                      // what and where, in the reader's own sentence
  // parse: the document's shape
  invalid_type,       // found the JSON type `found` where `expected` belongs
  invalid_length,     // `count` elements where `expected` says how many
  trailing_elements,  // `count` elements, more than `expected` allows
  out_of_range,       // the integer `text` does not fit `expected` ("u8", "i32")
  invalid_tile_code,  // the integer `count` is no tile code
  no_variant,         // fits no form of `expected` ("ActionItem", "ResultItem"): the
                      // number `text`, or a value of the JSON type `found`
  duplicate_field,    // the key `text` again
  missing_field,      // the required key `text` is absent
  missing_hand,       // the seat's starting hand is [] where the game has it play
  // normalise
  three_player,   // the rule text `text` names a three-player game
  malformed_win,  // a win's detail list lacks the winner and source numbers
  hand_for_absent_seat,  // a three-player record holds a starting hand for seat 3
  absent_seat,           // seat 3 of a three-player record plays, deals or wins
  // convert
  invalid_action_item,    // the text `text` fits no call, kan or riichi form
  invalid_tile_text,      // the characters `text` of the entry `item` are no tile code
  number_in_take_list,    // the number `text` among the takes
  missing_dora_marker,    // a dora is due and no indicator is left (or none at all)
  missing_take,           // the seat due to take has nothing left
  call_mismatch,          // the call `text` does not fit the last discard
  reach_without_discard,  // a riichi declaration ends its discard list
  kita_not_north,         // the kita `text` sets aside a tile other than North
  kita_without_north,     // a kita by a seat that holds no North
  kita_in_four_player,    // the kita `text` in a four-player record
  absent_tile,            // the tile `text` (2m-8m) in a three-player record
};

Stage stage_of(ErrorKind kind) noexcept;

// The part of the record a location points into.
enum class Field : std::uint8_t {
  none, log, name, rule, ratingc, lobby, dan, rate, sx,                 // document keys
  round, scores, dora, ura, haipai, takes, discards, results            // kyoku elements
};

// Every location is a 0-based index into the record as written: kyoku 0 is
// the first element of "log", take 0 the first entry of a take list.
struct Error {
  ErrorKind kind = ErrorKind::json;
  Field field = Field::none;
  std::uint8_t json_code = 0;  // simdjson::error_code, for json
  std::string_view expected;   // a literal
  std::string_view found;      // a literal: the JSON type found
  std::uint64_t count = 0;
  std::optional<std::size_t> offset;  // byte in the input text
  std::optional<std::size_t> kyoku;   // index in the log list
  std::optional<mjai::Seat> seat;
  std::optional<std::size_t> entry;  // index in `field`'s list
  // The kyoku's round index and honba, once read; for naming it.
  std::optional<std::uint8_t> round, honba;
  std::string text;  // the offending text
  std::string item;  // the whole entry `text` is part of, where it is one
  // The last discard before a mismatching call; unknown before any.
  mjai::Tile last_tile = mjai::unknown_tile;
  std::optional<mjai::Seat> last_discarder;
};

// For stages that make nothing but can fail.
template <class E>
using status = kifuzan::base::result<std::monostate, E>;
inline constexpr std::monostate success{};

// An mjlog reader's refusal: the sentence it words.
Error mjlog_error(std::string sentence);

// One plain sentence that names what went wrong and where, e.g.
// `kyoku 5 (South 1, 2 honba), seat 2, take 7 at byte 1234: call text "p2424p24" fits no call`.
std::string describe(const Error& e);

// A kyoku as every message names it: `kyoku 5 (South 1, 2 honba)`, from its
// 0-based place in the log and its round index; without a round, `kyoku 5`.
std::string kyoku_name(std::size_t kyoku, std::optional<std::uint8_t> round, std::uint64_t honba);

}  // namespace kifuzan::conv
