// The game: StartGame, each kyoku's start, play and result, EndGame.
#include <array>
#include <optional>

#include "kifuzan/conv/convert.h"

namespace kifuzan::conv {
namespace {

Tile bakaze(std::uint8_t i) {
  constexpr std::uint8_t east = 27;  // "E"; the k-th wind is east + k
  return Tile{static_cast<std::uint8_t>(east + (i < 12 ? i / 4 : 3))};
}

}  // namespace

std::size_t estimated_event_count(const Log& log) noexcept {
  std::size_t n = 2;
  for (const Kyoku& k : log.kyokus) {
    n += 8;
    for (const SeatActions& s : k.seats) n += s.takes.size() + s.discards.size();
  }
  return n;
}

namespace {

[[gnu::cold]] Error in_kyoku(Error&& e, const Log& log, const Kyoku& k) {
  e.kyoku = static_cast<std::size_t>(&k - log.kyokus.data());
  e.round = k.round;
  e.honba = k.honba;
  return std::move(e);
}

// Bit t: tile id t is not in a three-player set (2m-8m and the red 5m).
constexpr std::uint64_t three_player_absent = 0xFEull | (std::uint64_t{1} << 34);

[[gnu::cold]] Error absent_tile(Tile t, Field field, std::optional<Seat> seat, std::size_t entry) {
  Error e;
  e.kind = ErrorKind::absent_tile;
  e.field = field;
  e.seat = seat;
  e.entry = entry;
  e.text = mjai::tile_name(t);
  return e;
}

// The first tile of a three-player kyoku's hands and indicators that a
// three-player set does not have. The take and discard lists are the
// decoder's.
std::optional<Error> absent_tile_in(const Kyoku& k) {
  for (Seat s = 0; s < 3; ++s)
    for (std::size_t i = 0; i < 13; ++i)
      if ((three_player_absent >> k.haipai[s][i].id) & 1) return absent_tile(k.haipai[s][i], Field::haipai, s, i);
  for (const auto* list : {&k.dora_indicators, &k.ura_indicators})
    for (std::size_t i = 0; i < list->size(); ++i)
      if ((three_player_absent >> (*list)[i].id) & 1)
        return absent_tile((*list)[i], list == &k.dora_indicators ? Field::dora : Field::ura, std::nullopt, i);
  return std::nullopt;
}

}  // namespace

status<Error> convert_game_to(const Log& log, EventSink& sink) {
  const Table table = table_of(log);
  sink.block().add(mjai::StartGame{&log.names, log.kyoku_first, log.aka_flag, table.shown_seats});
  sink.done();

  std::array<SeatEvents, 4> seats;
  for (const Kyoku& k : log.kyokus) {
    Block& block = sink.block();
    std::size_t room = 8 + k.dora_indicators.size();  // start, results, end, dora
    if (const auto* wins = std::get_if<std::vector<HoraEntry>>(&k.result)) room += wins->size();
    for (const SeatActions& s : k.seats) room += s.takes.size() + 3 * s.discards.size();
    block.events.reserve(room);
    block.order.reserve(room);
    if (log.players == 3)
      if (auto e = absent_tile_in(k)) return kifuzan::base::failure{in_kyoku(std::move(*e), log, k)};
    for (Seat s = 0; s < 4; ++s)
      if (auto r = decode_seat_into(k, s, block.events, seats[s], table); !r)
        return kifuzan::base::failure{in_kyoku(std::move(r).error(), log, k)};
    if (k.dora_indicators.empty()) {
      Error e;
      e.kind = ErrorKind::missing_dora_marker;
      e.field = Field::dora;
      return kifuzan::base::failure{in_kyoku(std::move(e), log, k)};
    }
    const Seat oya = k.round % 4;
    mjai::StartKyoku start;
    start.bakaze = bakaze(k.round);
    start.dora_marker = k.dora_indicators.front();
    start.kyoku = static_cast<std::uint8_t>(oya + 1);
    start.honba = k.honba;
    start.kyotaku = k.kyotaku;
    start.oya = oya;
    start.scores = &k.scores;
    start.tehais = &k.haipai;
    start.seats = table.shown_seats;
    block.add(start);
    if (auto r = play_kyoku(k, seats, oya, block, table); !r)
      return kifuzan::base::failure{in_kyoku(std::move(r).error(), log, k)};
    sink.done();
  }
  sink.block().add(mjai::EndGame{});
  sink.done();
  return success;
}

}  // namespace kifuzan::conv
