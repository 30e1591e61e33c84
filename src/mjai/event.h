// The mjai event record. The alternatives of Event are in mjai order, and
// each struct's fields are in the order of its JSON keys. The large values
// (names, scores, hands, deltas, ura markers) are pointers to what the game
// record already holds, so an event is a small trivially copyable value,
// valid while the record it points into lives.
//
// A three-player game is written with three seats or, padded, with four:
// `seats` says how many entries the per-seat lists show (the record always
// holds four, the absent seat 3 last).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "mjai/tile.h"

namespace mjai {

using Deltas = std::array<std::int32_t, 4>;
using Names = std::array<std::string, 4>;
using Hand = std::array<Tile, 13>;
using Hands = std::array<Hand, 4>;

struct None {};
struct StartGame {
  const Names* names = nullptr;  // never null in a written event
  std::uint8_t kyoku_first = 0;
  bool aka_flag = false;
  std::uint8_t seats = 4;
};
struct StartKyoku {
  Tile bakaze;
  Tile dora_marker;
  std::uint8_t kyoku = 0;
  std::uint8_t honba = 0;
  std::uint8_t kyotaku = 0;
  Seat oya = 0;
  std::uint8_t seats = 4;
  const Deltas* scores = nullptr;  // never null in a written event
  const Hands* tehais = nullptr;   // never null in a written event
};
struct Tsumo {
  Seat actor = 0;
  Tile pai;
};
struct Dahai {
  Seat actor = 0;
  Tile pai;
  bool tsumogiri = false;
};
struct Chi {
  Seat actor = 0;
  Seat target = 0;
  Tile pai;
  std::array<Tile, 2> consumed;
};
struct Pon {
  Seat actor = 0;
  Seat target = 0;
  Tile pai;
  std::array<Tile, 2> consumed;
};
struct Daiminkan {
  Seat actor = 0;
  Seat target = 0;
  Tile pai;
  std::array<Tile, 3> consumed;
};
struct Kakan {
  Seat actor = 0;
  Tile pai;
  std::array<Tile, 3> consumed;
};
struct Ankan {
  Seat actor = 0;
  std::array<Tile, 4> consumed;
};
struct Dora {
  Tile dora_marker;
};
struct Reach {
  Seat actor = 0;
};
struct ReachAccepted {
  Seat actor = 0;
};
// Null pointers stand for absent keys.
struct Hora {
  Seat actor = 0;
  Seat target = 0;
  std::uint8_t seats = 4;  // deltas shown
  const Deltas* deltas = nullptr;
  const std::vector<Tile>* ura_markers = nullptr;
};
struct Ryukyoku {
  const Deltas* deltas = nullptr;
  std::uint8_t seats = 4;  // deltas shown
};
struct EndKyoku {};
struct EndGame {};
// A North set aside in a three-player game (nukidora). No mjai standard
// names it: tools write "nukidora" or "kita", with the same fields.
struct Kita {
  enum class Name : std::uint8_t { nukidora, kita };
  Seat actor = 0;
  Tile pai;
  Name name = Name::nukidora;
};

using Event = std::variant<None, StartGame, StartKyoku, Tsumo, Dahai, Chi, Pon, Daiminkan, Kakan,
                           Ankan, Dora, Reach, ReachAccepted, Hora, Ryukyoku, EndKyoku, EndGame, Kita>;

namespace detail {
template <class T, class V>
struct index_of;
template <class T, class... Ts>
struct index_of<T, std::variant<Ts...>> {
  static constexpr std::size_t value = [] {
    std::size_t i = 0;
    (void)((std::is_same_v<T, Ts> ? false : (++i, true)) && ...);
    return i;
  }();
};
}  // namespace detail

// The index of alternative T in Event, for cheap kind tests on e.index().
template <class T>
inline constexpr std::size_t variant_index = detail::index_of<T, Event>::value;

static_assert(variant_index<None> == 0 && variant_index<Tsumo> == 3 && variant_index<EndGame> == 16 &&
              variant_index<Kita> == 17);
// Events are built by the hundred per kyoku: keep them small and free to
// copy and destroy.
static_assert(sizeof(Event) <= 32);
static_assert(std::is_trivially_copyable_v<Event> && std::is_trivially_destructible_v<Event>);

}  // namespace mjai
