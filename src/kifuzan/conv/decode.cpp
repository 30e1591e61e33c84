// One seat's take and discard entries into events.
#include <array>
#include <charconv>
#include <optional>
#include <string_view>

#include "kifuzan/conv/convert.h"

namespace kifuzan::conv {
namespace {

using mjai::Ankan;
using mjai::Chi;
using mjai::Dahai;
using mjai::Daiminkan;
using mjai::Kakan;
using mjai::Kita;
using mjai::Pon;
using mjai::Reach;
using mjai::Tsumo;
using mjai::variant_index;

// A call text seen as characters (code points), as its positions count
// them. Only ASCII characters can be part of a tile, so every other
// character is kept as a byte that no check accepts.
struct CallText {
  static constexpr std::size_t max = 9;  // the longest form; longer texts fit none
  std::string_view raw;
  std::array<char, max + 1> c{};
  std::size_t n = 0;  // characters, counted up to max + 1

  explicit CallText(std::string_view s) : raw(s) {
    for (unsigned char b : s) {
      if ((b & 0xC0) == 0x80) continue;  // UTF-8 continuation byte
      if (n == max + 1) break;
      c[n++] = b < 0x80 ? static_cast<char>(b) : '\x80';
    }
  }
  bool has(char ch) const { return raw.find(ch) != std::string_view::npos; }
  std::size_t first(char ch) const {
    for (std::size_t i = 0; i < n; ++i)
      if (c[i] == ch) return i;
    return n;
  }
};

// Where a call text keeps its tiles, for one position of its marker: the
// seat called from, the pai's position, then each consumed tile's.
struct Layout {
  std::size_t marker;  // any_position: the marker's place is not examined
  Seat (*target)(Seat);
  std::array<int, 4> pos;
};
constexpr std::size_t any_position = ~std::size_t{0};

constexpr Layout chi_layouts[] = {{any_position, mjai::prev_seat, {1, 3, 5}}};
constexpr Layout pon_layouts[] = {
    {0, mjai::prev_seat, {1, 3, 5}}, {2, mjai::opposite_seat, {3, 0, 5}}, {4, mjai::next_seat, {5, 0, 2}}};
constexpr Layout daiminkan_layouts[] = {
    {0, mjai::prev_seat, {1, 3, 5, 7}}, {2, mjai::opposite_seat, {3, 0, 5, 7}}, {6, mjai::next_seat, {7, 0, 2, 4}}};
constexpr Layout kakan_layouts[] = {{0, nullptr, {1, 3, 5, 7}}, {2, nullptr, {3, 0, 5, 7}}, {4, nullptr, {5, 0, 2, 7}}};

constexpr Tile north{30};

// Bit t: tile id t is not in a three-player set (2m-8m and the red 5m).
constexpr std::uint64_t three_player_absent = 0xFEull | (std::uint64_t{1} << 34);

// Three: a three-player game, whose tiles are checked against its set.
// Four-player decoding is compiled without the check.
template <bool Three>
class decoder {
 public:
  // `err` is made only on failure.
  decoder(Seat s, const Table& table, std::optional<Error>& err) : seat_(s), table_(table), err_(err) {}

  bool take(const ActionItem& item, std::vector<Event>& out) {
    switch (item.kind) {
      case ActionItem::Kind::tile:
        if (absent(item.tile())) return absent_tile(item.tile(), {});
        out.emplace_back(Tsumo{seat_, item.tile()});
        return true;
      case ActionItem::Kind::number: return number_in_takes(item.value);
      case ActionItem::Kind::text: break;
    }
    // The forms are tried in this order: a text holding both "c" and "p" is a chi.
    const CallText t(item.text);
    if (t.has('c')) return call<Chi>(t, 'c', 7, chi_layouts, out);
    if (t.has('p')) return call<Pon>(t, 'p', 7, pon_layouts, out);
    if (t.has('m')) return call<Daiminkan>(t, 'm', 9, daiminkan_layouts, out);
    return invalid(t);
  }

  bool discard(const ActionItem& item, std::vector<Event>& out) {
    switch (item.kind) {
      case ActionItem::Kind::tile:
        if (absent(item.tile())) return absent_tile(item.tile(), {});
        out.emplace_back(Dahai{seat_, item.tile(), false});
        return true;
      case ActionItem::Kind::number: out.emplace_back(Dahai{seat_, mjai::unknown_tile, true}); return true;
      case ActionItem::Kind::text: break;
    }
    const CallText t(item.text);
    if (t.has('k')) return call<Kakan>(t, 'k', 9, kakan_layouts, out);
    if (t.has('a')) {  // the log puts the "a" at position 6, which is not read
      if (t.n != 9) return invalid(t);
      Ankan e{seat_, {}};
      constexpr int pos[] = {0, 2, 4, 7};
      for (std::size_t i = 0; i < 4; ++i)
        if (!tile(t, pos[i], e.consumed[i])) return false;
      out.emplace_back(e);
      return true;
    }
    if (t.n == 3 && table_.kita_texts && t.c[0] == 'f') return kita(t, out);
    if (t.n == 3) {  // riichi: a marker (not examined) and the discarded tile's code
      Dahai d{seat_, mjai::unknown_tile, true};
      if (!(t.c[1] == '6' && t.c[2] == '0')) {
        if (!tile(t, 1, d.pai)) return false;
        d.tsumogiri = d.pai == mjai::unknown_tile;
      }
      out.emplace_back(Reach{seat_});
      out.emplace_back(d);
      return true;
    }
    return invalid(t);
  }

 private:
  // A call or added kan: the text's length, then its marker's position picks
  // the layout; tiles are read pai first, then consumed left to right.
  template <class E, std::size_t N>
  bool call(const CallText& t, char marker, std::size_t length, const Layout (&layouts)[N],
            std::vector<Event>& out) {
    if (t.n != length) return invalid(t);
    const std::size_t at = t.first(marker);
    for (const Layout& l : layouts) {
      if (l.marker != any_position && l.marker != at) continue;
      E e{};
      e.actor = seat_;
      if constexpr (requires { e.target; }) e.target = l.target(seat_);
      if (!tile(t, l.pos[0], e.pai)) return false;
      for (std::size_t i = 0; i < e.consumed.size(); ++i)
        if (!tile(t, l.pos[i + 1], e.consumed[i])) return false;
      out.emplace_back(e);
      return true;
    }
    return invalid(t);
  }

  // "f44": North set aside; the next take is its replacement draw.
  bool kita(const CallText& t, std::vector<Event>& out) {
    if (!Three) return fail(ErrorKind::kita_in_four_player, t.raw);
    const auto tile = mjai::tile_from_chars(t.c[1], t.c[2]);
    if (!tile) return invalid_tile(t, 1);
    if (*tile != north) return fail(ErrorKind::kita_not_north, t.raw);
    out.emplace_back(Kita{seat_, north, table_.kita_name});
    return true;
  }

  static bool absent(Tile t) { return Three && ((three_player_absent >> t.id) & 1); }

  [[gnu::cold, gnu::noinline]] bool fail(ErrorKind kind, std::string_view text, std::string_view item = {}) {
    Error& e = err_.emplace();
    e.kind = kind;
    e.text = text;
    e.item = item;
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool number_in_takes(std::uint8_t v) {
    char buf[4];
    return fail(ErrorKind::number_in_take_list, std::string_view(buf, std::to_chars(buf, buf + 4, v).ptr - buf));
  }
  [[gnu::cold, gnu::noinline]] bool invalid(const CallText& t) { return fail(ErrorKind::invalid_action_item, t.raw); }
  [[gnu::cold, gnu::noinline]] bool invalid_tile(const CallText& t, int pos) {
    return fail(ErrorKind::invalid_tile_text, std::string_view(&t.c[pos], 2), t.raw);
  }
  [[gnu::cold, gnu::noinline]] bool absent_tile(Tile t, std::string_view item) {
    return fail(ErrorKind::absent_tile, mjai::tile_name(t), item);
  }
  bool tile(const CallText& t, int pos, Tile& out) {
    const auto tile = mjai::tile_from_chars(t.c[pos], t.c[pos + 1]);
    if (!tile) return invalid_tile(t, pos);
    if (absent(*tile)) return absent_tile(*tile, t.raw);
    out = *tile;
    return true;
  }

  Seat seat_;
  const Table& table_;
  std::optional<Error>& err_;
};

// Pairs takes with discard slots (a Reach shares its Dahai's slot): a
// tsumogiri discard gets its draw's tile, and a hand-discarded "?" is dropped.
// Returns the discards' new size.
[[gnu::always_inline]] inline std::size_t fill_in(const Event* takes, std::size_t take_count, Event* discards, std::size_t n) {
  std::size_t r = 0, w = 0;  // read and write positions; w < r once something was dropped
  auto keep = [&](std::size_t k) {
    if (w != k) discards[w] = discards[k];
    ++w;
  };
  for (std::size_t i = 0; i < take_count && r < n; ++i) {
    std::size_t k = r;
    if (discards[k].index() == variant_index<Reach>) ++k;
    if (k >= n) break;
    for (; r < k; ++r) keep(r);
    r = k + 1;
    if (auto* d = std::get_if<Dahai>(&discards[k])) {
      if (d->tsumogiri) {
        if (const auto* t = std::get_if<Tsumo>(&takes[i])) d->pai = t->pai;
      } else if (d->pai == mjai::unknown_tile) {
        continue;  // dropped
      }
    }
    keep(k);
  }
  if (w == r) return n;  // nothing dropped
  for (; r < n; ++r) keep(r);
  return w;
}

[[gnu::cold]] Error at_entry(Error&& e, Seat s, Field field, std::ptrdiff_t entry) {
  e.seat = s;
  e.field = field;
  e.entry = static_cast<std::size_t>(entry);
  return std::move(e);
}

}  // namespace

Table table_of(const Log& log) noexcept {
  Table t;
  t.players = log.players;
  t.shown_seats = log.shown_seats();
  t.kita_texts = log.kita_texts;
  t.kita_name = log.form == ThreePlayerForm::kita ? Kita::Name::kita : Kita::Name::nukidora;
  return t;
}

namespace {

template <bool Three>
status<Error> decode_seat_with(const Kyoku& kyoku, Seat s, std::vector<Event>& events, SeatEvents& out,
                               const Table& table) {
  const SeatActions& seat = kyoku.seats[s];
  std::optional<Error> err;
  decoder<Three> d(s, table, err);
  out.takes = static_cast<std::uint32_t>(events.size());
  for (const ActionItem& item : seat.takes)
    if (!d.take(item, events))
      return kifuzan::base::failure{at_entry(std::move(*err), s, Field::takes, &item - seat.takes.data())};
  out.takes_end = out.discards = static_cast<std::uint32_t>(events.size());
  for (const ActionItem& item : seat.discards)
    if (!d.discard(item, events))
      return kifuzan::base::failure{at_entry(std::move(*err), s, Field::discards, &item - seat.discards.data())};
  std::size_t n = events.size() - out.discards;
  if (out.takes_end > out.takes)
    n = fill_in(events.data() + out.takes, out.takes_end - out.takes, events.data() + out.discards, n);
  events.resize(out.discards + n);
  out.discards_end = static_cast<std::uint32_t>(events.size());
  return success;
}

}  // namespace

status<Error> decode_seat_into(const Kyoku& kyoku, Seat s, std::vector<Event>& events, SeatEvents& out,
                               const Table& table) {
  return table.players == 3 ? decode_seat_with<true>(kyoku, s, events, out, table)
                            : decode_seat_with<false>(kyoku, s, events, out, table);
}

kifuzan::base::result<SeatLists, Error> decode_seat(const Kyoku& kyoku, Seat s) {
  std::vector<Event> events;
  SeatEvents at;
  if (auto r = decode_seat_into(kyoku, s, events, at); !r) return kifuzan::base::failure{std::move(r).error()};
  SeatLists out;
  out.takes.assign(events.begin() + at.takes, events.begin() + at.takes_end);
  out.discards.assign(events.begin() + at.discards, events.begin() + at.discards_end);
  return out;
}

std::size_t discard_entry(const Kyoku& kyoku, Seat s, std::size_t event, const Table& table) {
  // The fill-in pass treats a prefix of the list as it treats the whole, so
  // the entry is the first whose prefix yields more than `event` events.
  // The prefixes go through decode_seat_into itself, which keeps the
  // decoder inlined in its one caller.
  const SeatActions& seat = kyoku.seats[s];
  Kyoku prefix;
  prefix.seats[s].takes = seat.takes;
  std::vector<Event> events;
  SeatEvents out;
  for (std::size_t i = 0; i < seat.discards.size(); ++i) {
    prefix.seats[s].discards.push_back(seat.discards[i]);
    events.clear();
    if (!decode_seat_into(prefix, s, events, out, table)) break;
    if (out.discards_end - out.discards > event) return i;
  }
  return seat.discards.size();
}

}  // namespace kifuzan::conv
