// One seat's take and discard entries into events.
#include <array>
#include <string_view>

#include "kifuzan/conv/convert.h"

namespace kifuzan::conv {
namespace {

using mjai::Ankan;
using mjai::Chi;
using mjai::Dahai;
using mjai::Daiminkan;
using mjai::Kakan;
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

class decoder {
 public:
  decoder(Seat s, ConvertError& err) : seat_(s), err_(err) {}

  bool take(const ActionItem& item, std::vector<Event>& out) {
    switch (item.kind) {
      case ActionItem::Kind::tile: out.emplace_back(Tsumo{seat_, item.tile()}); return true;
      case ActionItem::Kind::number: return fail(ConvertErrorKind::number_in_take_list, {});
      case ActionItem::Kind::text: break;
    }
    const CallText t(item.text);
    if (t.has('c')) {
      if (t.n != 7) return invalid(t);
      Chi e{seat_, mjai::prev_seat(seat_), {}, {}};
      if (!tile(t, 1, e.pai) || !tile(t, 3, e.consumed[0]) || !tile(t, 5, e.consumed[1])) return false;
      out.emplace_back(e);
      return true;
    }
    if (t.has('p')) {
      if (t.n != 7) return invalid(t);
      // Marker position -> (target, pai, consumed...) positions.
      Pon e{seat_, 0, {}, {}};
      int p, c0, c1;
      switch (t.first('p')) {
        case 0: e.target = mjai::prev_seat(seat_), p = 1, c0 = 3, c1 = 5; break;
        case 2: e.target = mjai::opposite_seat(seat_), p = 3, c0 = 0, c1 = 5; break;
        case 4: e.target = mjai::next_seat(seat_), p = 5, c0 = 0, c1 = 2; break;
        default: return invalid(t);
      }
      if (!tile(t, p, e.pai) || !tile(t, c0, e.consumed[0]) || !tile(t, c1, e.consumed[1])) return false;
      out.emplace_back(e);
      return true;
    }
    if (t.has('m')) {
      if (t.n != 9) return invalid(t);
      Daiminkan e{seat_, 0, {}, {}};
      int p, c0, c1, c2;
      switch (t.first('m')) {
        case 0: e.target = mjai::prev_seat(seat_), p = 1, c0 = 3, c1 = 5, c2 = 7; break;
        case 2: e.target = mjai::opposite_seat(seat_), p = 3, c0 = 0, c1 = 5, c2 = 7; break;
        case 6: e.target = mjai::next_seat(seat_), p = 7, c0 = 0, c1 = 2, c2 = 4; break;
        default: return invalid(t);
      }
      if (!tile(t, p, e.pai) || !tile(t, c0, e.consumed[0]) || !tile(t, c1, e.consumed[1]) ||
          !tile(t, c2, e.consumed[2]))
        return false;
      out.emplace_back(e);
      return true;
    }
    return invalid(t);
  }

  bool discard(const ActionItem& item, std::vector<Event>& out) {
    switch (item.kind) {
      case ActionItem::Kind::tile: out.emplace_back(Dahai{seat_, item.tile(), false}); return true;
      case ActionItem::Kind::number: out.emplace_back(Dahai{seat_, mjai::unknown_tile, true}); return true;
      case ActionItem::Kind::text: break;
    }
    const CallText t(item.text);
    if (t.has('k')) {
      if (t.n != 9) return invalid(t);
      Kakan e{seat_, {}, {}};
      int p, c0, c1, c2;
      switch (t.first('k')) {
        case 0: p = 1, c0 = 3, c1 = 5, c2 = 7; break;
        case 2: p = 3, c0 = 0, c1 = 5, c2 = 7; break;
        case 4: p = 5, c0 = 0, c1 = 2, c2 = 7; break;
        default: return invalid(t);
      }
      if (!tile(t, p, e.pai) || !tile(t, c0, e.consumed[0]) || !tile(t, c1, e.consumed[1]) ||
          !tile(t, c2, e.consumed[2]))
        return false;
      out.emplace_back(e);
      return true;
    }
    if (t.has('a')) {
      if (t.n != 9) return invalid(t);
      Ankan e{seat_, {}};
      if (!tile(t, 0, e.consumed[0]) || !tile(t, 2, e.consumed[1]) || !tile(t, 4, e.consumed[2]) ||
          !tile(t, 7, e.consumed[3]))
        return false;
      out.emplace_back(e);
      return true;
    }
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
  bool fail(ConvertErrorKind kind, std::string_view text) {
    err_ = ConvertError{kind, std::string(text)};
    return false;
  }
  bool invalid(const CallText& t) { return fail(ConvertErrorKind::invalid_action_item, t.raw); }
  bool tile(const CallText& t, int pos, Tile& out) {
    const auto tile = mjai::tile_from_chars(t.c[pos], t.c[pos + 1]);
    if (!tile) return fail(ConvertErrorKind::invalid_tile_text, std::string_view(&t.c[pos], 2));
    out = *tile;
    return true;
  }

  Seat seat_;
  ConvertError& err_;
};

// Pairs takes with discard slots (a Reach shares its Dahai's slot): a
// tsumogiri discard gets its draw's tile, and a hand-discarded "?" is dropped.
void fill_in(const std::vector<Event>& takes, std::vector<Event>& discards) {
  const std::size_t n = discards.size();
  std::size_t r = 0, w = 0;  // read and write positions; w < r once something was dropped
  auto keep = [&](std::size_t k) {
    if (w != k) discards[w] = std::move(discards[k]);
    ++w;
  };
  for (std::size_t i = 0; i < takes.size() && r < n; ++i) {
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
  if (w == r) return;  // nothing dropped
  for (; r < n; ++r) keep(r);
  discards.resize(w);
}

}  // namespace

bool decode_seat_into(const Kyoku& kyoku, Seat s, SeatEvents& out, ConvertError& err) {
  const SeatActions& seat = kyoku.seats[s];
  out.takes.clear();
  out.discards.clear();
  out.takes.reserve(seat.takes.size());
  out.discards.reserve(seat.discards.size() + 1);
  decoder d(s, err);
  for (const ActionItem& item : seat.takes)
    if (!d.take(item, out.takes)) return false;
  for (const ActionItem& item : seat.discards)
    if (!d.discard(item, out.discards)) return false;
  if (!out.takes.empty()) fill_in(out.takes, out.discards);
  return true;
}

mjai::result<SeatEvents, ConvertError> decode_seat(const Kyoku& kyoku, Seat s) {
  SeatEvents out;
  ConvertError err{};
  if (!decode_seat_into(kyoku, s, out, err)) return mjai::failure{std::move(err)};
  return out;
}

}  // namespace kifuzan::conv
