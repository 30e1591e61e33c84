// Conversion of a normalised game into mjai events.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kifuzan/conv/log.h"
#include "mjai/event.h"

namespace kifuzan::conv {

using mjai::Event;

enum class ConvertErrorKind : std::uint8_t {
  invalid_action_item,   // a text that fits no call, kan or riichi form
  invalid_tile_text,     // two characters of a call text that are not a tile code
  number_in_take_list,   // a non-tile number among the takes
  missing_dora_marker,   // a dora is due and no indicator is left
  missing_take,          // the seat due to take has nothing left
  call_mismatch,         // a call that does not fit the last discard
  reach_without_discard  // a riichi declaration that ends its discard list
};

struct ConvertError {
  ConvertErrorKind kind;
  std::string text;  // the offending text, where there is one
};

struct SeatEvents {
  std::vector<Event> takes;
  std::vector<Event> discards;
};

// Decodes seat s's take and discard lists into events, and fills drawn tiles
// into tsumogiri discards.
mjai::result<SeatEvents, ConvertError> decode_seat(const Kyoku& kyoku, Seat s);

// Same, reusing the vectors of `out` (cleared first). Returns false and sets
// `err` on failure.
bool decode_seat_into(const Kyoku& kyoku, Seat s, SeatEvents& out, ConvertError& err);

// Appends one Hora per win or one Ryukyoku, then EndKyoku.
void finish_kyoku(std::vector<Event>& events, const Kyoku& kyoku);

// Merges the four seats' decoded lists into the order of play, appending to
// `events` (which already holds the StartKyoku), and closes the kyoku. Kans
// reveal the kyoku's dora indicators from the second on, in order.
bool play_kyoku(const Kyoku& kyoku, const std::array<SeatEvents, 4>& seats, Seat oya,
                std::vector<Event>& events, ConvertError& err);

// The whole game: StartGame, every kyoku, EndGame; nothing on failure.
mjai::result<std::vector<Event>, ConvertError> convert_game(const Log& log);

// Receives the game's events a block at a time, in order: StartGame, each
// kyoku from StartKyoku to EndKyoku, EndGame. Each block is appended to
// block() and handed over by done() once it is complete and sound.
class EventSink {
 public:
  virtual std::vector<Event>& block() = 0;
  virtual void done() = 0;

 protected:
  ~EventSink() = default;
};

// convert_game's work, with the events going to `sink`. On failure the
// blocks already handed over are the caller's to discard.
bool convert_game_to(const Log& log, EventSink& sink, ConvertError& err);

// The number of events the game will have, about: for reserving.
std::size_t estimated_event_count(const Log& log) noexcept;

}  // namespace kifuzan::conv
