// Conversion of a normalised game into mjai events.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kifuzan/conv/error.h"
#include "kifuzan/conv/log.h"
#include "mjai/event.h"

namespace kifuzan::conv {

using mjai::Event;

// One block of the game's events: StartGame alone, one kyoku, or EndGame
// alone. Each event is built once, where it stays: `events` holds them in
// the order they were made (for a kyoku, the four seats' decoded lists
// first, then what play adds), `order` their positions in the order of play.
struct Block {
  std::vector<Event> events;
  std::vector<std::uint32_t> order;

  std::size_t size() const noexcept { return order.size(); }
  // The i-th event in the order of play.
  const Event& operator[](std::size_t i) const noexcept { return events[order[i]]; }

  // Builds an event at the end of the order of play.
  template <class E>
  void add(E&& e) {
    order.push_back(static_cast<std::uint32_t>(events.size()));
    events.emplace_back(std::forward<E>(e));
  }
  // Puts the already built events[i] at the end of the order of play.
  void play(std::uint32_t i) { order.push_back(i); }
  void clear() noexcept {
    events.clear();
    order.clear();
  }
};

// A seat's decoded take and discard lists: ranges of Block::events.
struct SeatEvents {
  std::uint32_t takes = 0, takes_end = 0;
  std::uint32_t discards = 0, discards_end = 0;
};

// What decoding and play need of the game around a kyoku. The default is
// _kifuzan's four-player game.
struct Table {
  // 3: the turn passes from seat 2 to seat 0, and 2m-8m (and the red 5m)
  // are refused.
  std::uint8_t players = 4;
  std::uint8_t shown_seats = 4;  // in the closing events' deltas
  // "f" and a code in a discard list is a kita, not a riichi: a kita event
  // of this name in a three-player game, refused in a four-player one.
  bool kita_texts = false;
  mjai::Kita::Name kita_name = mjai::Kita::Name::nukidora;
};
Table table_of(const Log& log) noexcept;

// Decodes seat s's take and discard lists into events appended to `events`
// (not yet in the order of play), fills drawn tiles into tsumogiri discards,
// and sets `out` to their ranges. Fails with invalid_action_item,
// invalid_tile_text or number_in_take_list, naming the seat, the list and
// the entry; by `table`, also with kita_not_north, kita_in_four_player and
// absent_tile.
status<Error> decode_seat_into(const Kyoku& kyoku, Seat s, std::vector<Event>& events, SeatEvents& out,
                               const Table& table = {});

// The same seat's lists on their own, for inspection.
struct SeatLists {
  std::vector<Event> takes;
  std::vector<Event> discards;
};
kifuzan::base::result<SeatLists, Error> decode_seat(const Kyoku& kyoku, Seat s);

// The entry of seat s's discard list that made its `event`-th decoded
// discard event (the list's length past the end). For error reports only:
// it decodes the list again.
std::size_t discard_entry(const Kyoku& kyoku, Seat s, std::size_t event, const Table& table = {});

// Adds one Hora per win or one Ryukyoku, then EndKyoku, their deltas
// showing `seats` seats. They point into `kyoku`.
void finish_kyoku(Block& block, const Kyoku& kyoku, std::uint8_t seats = 4);

// Puts the four seats' decoded lists (ranges of block.events) into the order
// of play after what `block` already holds in it (the StartKyoku), adding
// riichi acceptances and kan dora, and closes the kyoku. Kans reveal the
// kyoku's dora indicators from the second on, in order; a kita is followed
// by the same seat's replacement draw. Fails with missing_take,
// call_mismatch, missing_dora_marker, reach_without_discard or
// kita_without_north, naming the seat and the entry.
status<Error> play_kyoku(const Kyoku& kyoku, const std::array<SeatEvents, 4>& seats, Seat oya,
                         Block& block, const Table& table = {});

// Receives the game's events a block at a time, in order: StartGame, each
// kyoku from StartKyoku to EndKyoku, EndGame. Each block is built in
// block(), which is empty at first and after each done(), and handed over by
// done() once it is complete and sound. The events point into the Log.
class EventSink {
 public:
  virtual Block& block() = 0;
  virtual void done() = 0;

 protected:
  ~EventSink() = default;
};

// The whole game in the order of play (StartGame, every kyoku, EndGame),
// handed to `sink` block by block. The events point into `log`; an error
// names its kyoku. On failure the blocks already handed over are the
// caller's to discard.
status<Error> convert_game_to(const Log& log, EventSink& sink);

// The number of events the game will have, about: for reserving.
std::size_t estimated_event_count(const Log& log) noexcept;

}  // namespace kifuzan::conv
