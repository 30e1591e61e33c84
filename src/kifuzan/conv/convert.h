// Conversion of a normalised game into mjai events.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kifuzan/conv/error.h"
#include "kifuzan/conv/log.h"
#include "mjai/event.h"

namespace kifuzan::conv {

using mjai::Event;

struct SeatEvents {
  std::vector<Event> takes;
  std::vector<Event> discards;
};

// Decodes seat s's take and discard lists into events, and fills drawn tiles
// into tsumogiri discards. Fails with invalid_action_item, invalid_tile_text
// or number_in_take_list, naming the seat, the list and the entry.
mjai::result<SeatEvents, Error> decode_seat(const Kyoku& kyoku, Seat s);

// Same, reusing the vectors of `out` (cleared first).
status<Error> decode_seat_into(const Kyoku& kyoku, Seat s, SeatEvents& out);

// The entry of seat s's discard list that made its `event`-th decoded
// discard event (the list's length past the end). For error reports only:
// it decodes the list again.
std::size_t discard_entry(const Kyoku& kyoku, Seat s, std::size_t event);

// Appends one Hora per win or one Ryukyoku, then EndKyoku.
void finish_kyoku(std::vector<Event>& events, const Kyoku& kyoku);

// Merges the four seats' decoded lists into the order of play, appending to
// `events` (which already holds the StartKyoku), and closes the kyoku. Kans
// reveal the kyoku's dora indicators from the second on, in order. Fails
// with missing_take, call_mismatch, missing_dora_marker or
// reach_without_discard, naming the seat and the entry.
status<Error> play_kyoku(const Kyoku& kyoku, const std::array<SeatEvents, 4>& seats, Seat oya,
                         std::vector<Event>& events);

// The whole game: StartGame, every kyoku, EndGame; nothing on failure. An
// error names its kyoku.
mjai::result<std::vector<Event>, Error> convert_game(const Log& log);

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
status<Error> convert_game_to(const Log& log, EventSink& sink);

// The number of events the game will have, about: for reserving.
std::size_t estimated_event_count(const Log& log) noexcept;

}  // namespace kifuzan::conv
