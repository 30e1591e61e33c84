// Turn reconstruction: the four seats' decoded lists merged into the order
// of play, with riichi acceptance and kan dora inserted, and the kyoku's
// closing events.
#include <array>
#include <cstdint>
#include <optional>

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
using mjai::ReachAccepted;
using mjai::Tsumo;
using mjai::variant_index;

// The fields of a Chi, Pon or Daiminkan that the turn order depends on.
struct CallView {
  Seat target;
  Tile pai;
  int rank;  // pon beats chi beats daiminkan
};

bool as_call(const Event& e, CallView& out) {
  if (const auto* c = std::get_if<Chi>(&e)) {
    out = {c->target, c->pai, 0};
  } else if (const auto* p = std::get_if<Pon>(&e)) {
    out = {p->target, p->pai, 1};
  } else if (const auto* k = std::get_if<Daiminkan>(&e)) {
    out = {k->target, k->pai, -1};
  } else {
    return false;
  }
  return true;
}

constexpr Tile north{30};

template <std::size_t N>
int norths(const std::array<Tile, N>& tiles) {
  int n = 0;
  for (Tile t : tiles) n += t == north;
  return n;
}

// Three: a three-player game, where the turn passes from seat 2 to seat 0
// and a seat must hold a North to set one aside. Four-player play is
// compiled without either.
template <bool Three>
class kyoku_player {
 public:
  // `err` is made only on failure.
  kyoku_player(const Kyoku& k, const std::array<SeatEvents, 4>& seats, Block& out, const Table& table,
               std::optional<Error>& err)
      : kyoku_(k), seats_(seats), out_(out), table_(table), err_(err) {
    for (std::size_t s = 0; s < 4; ++s) {
      take_[s] = seats[s].takes;
      discard_[s] = seats[s].discards;
      for (std::uint32_t i = seats[s].discards; i < seats[s].discards_end; ++i)
        if (const auto* d = std::get_if<Dahai>(&out.events[i])) ++remaining_[s][d->pai.id];
      if constexpr (Three) north_[s] = norths(k.haipai[s]);
    }
  }

  bool run(Seat oya) {
    actor_ = oya;
    for (;;) {
      if (!take_step()) return false;
      if (again_) {  // daiminkan: the replacement draw follows at once
        again_ = false;
        continue;
      }
      switch (discard_step()) {
        case step::fail: return false;
        case step::over: finish_kyoku(out_, kyoku_, table_.shown_seats); return true;
        case step::go_on: break;
      }
    }
  }

 private:
  enum class step { go_on, over, fail };
  // An ambiguity mark: none yet, or the value it holds.
  enum class mark : std::uint8_t { none, yes, no };

  [[gnu::cold, gnu::noinline]] Error& fail(ErrorKind kind, Field field, std::size_t entry) {
    Error& e = err_.emplace();
    e.kind = kind;
    e.seat = actor_;
    e.field = field;
    e.entry = entry;
    return e;
  }
  // The actor's current take (the one just read) within its list.
  std::size_t current_take() const { return take_[actor_] - 1 - seats_[actor_].takes; }
  // The actor's current take (the one just read) failed.
  [[gnu::cold, gnu::noinline]] bool fail_at_take(ErrorKind kind) {
    fail(kind, Field::takes, current_take());
    return false;
  }
  // The actor's current discard (the one just read) failed.
  [[gnu::cold, gnu::noinline]] bool fail_at_discard(ErrorKind kind) {
    fail(kind, Field::discards,
         discard_entry(kyoku_, actor_, discard_[actor_] - 1 - seats_[actor_].discards, table_));
    return false;
  }
  // The missing one is named: the entry just past the list's end.
  [[gnu::cold, gnu::noinline]] bool missing_take() {
    fail(ErrorKind::missing_take, Field::takes, seats_[actor_].takes_end - seats_[actor_].takes);
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool call_mismatch() {
    Error& e = fail(ErrorKind::call_mismatch, Field::takes, current_take());
    // Decoded lists made by hand have no record behind them.
    const auto& raw = kyoku_.seats[actor_].takes;
    if (current_take() < raw.size()) e.text = raw[current_take()].text;
    e.last_tile = last_tile_;
    if (discard_seen_) e.last_discarder = last_discarder_;
    return false;
  }

  bool reveal_dora() {
    if (dora_cursor_ >= kyoku_.dora_indicators.size()) return false;
    out_.add(mjai::Dora{kyoku_.dora_indicators[dora_cursor_++]});
    return true;
  }

  void discarded(const Dahai& d) {
    last_tile_ = d.pai;
    --remaining_[actor_][d.pai.id];
  }

  // The Norths in the actor's hand, after it took or gave up e.
  void took(const Event& e) {
    if (const auto* t = std::get_if<Tsumo>(&e)) {
      north_[actor_] += t->pai == north;
    } else if (const auto* p = std::get_if<Pon>(&e)) {
      north_[actor_] -= norths(p->consumed);
    } else if (const auto* c = std::get_if<Chi>(&e)) {
      north_[actor_] -= norths(c->consumed);
    } else if (const auto* k = std::get_if<Daiminkan>(&e)) {
      north_[actor_] -= norths(k->consumed);
    }
  }
  void gave(const Event& e) {
    if (const auto* d = std::get_if<Dahai>(&e)) {
      north_[actor_] -= d->pai == north;
    } else if (const auto* k = std::get_if<Kakan>(&e)) {
      north_[actor_] -= k->pai == north;
    } else if (const auto* a = std::get_if<Ankan>(&e)) {
      north_[actor_] -= norths(a->consumed);
    }
  }

  bool take_step() {
    if (take_[actor_] >= seats_[actor_].takes_end) return missing_take();
    const std::uint32_t at = take_[actor_]++;
    // Only its kind is kept: adding events below may move the list.
    const std::size_t kind = out_.events[at].index();
    CallView call;
    if (as_call(out_.events[at], call)) {
      if (!(call.pai == last_tile_) ||
          (discard_seen_ && (call.target != last_discarder_ || last_discarder_ == actor_)))
        return call_mismatch();
    }
    if constexpr (Three) took(out_.events[at]);
    if (reach_pending_) {
      out_.add(ReachAccepted{reach_declarer_});
      reach_pending_ = false;
    }
    if (kind == variant_index<Daiminkan>) {
      if (dora_pending_ && !reveal_dora()) return fail_at_take(ErrorKind::missing_dora_marker);
      out_.play(at);
      dora_pending_ = true;
      again_ = true;
      return true;
    }
    if (dora_at_next_draw_ && kind == variant_index<Tsumo>) {
      if (!reveal_dora()) return fail_at_take(ErrorKind::missing_dora_marker);
      dora_at_next_draw_ = false;
    }
    out_.play(at);
    return true;
  }

  step discard_step() {
    const std::uint32_t end = seats_[actor_].discards_end;
    std::uint32_t& cursor = discard_[actor_];
    if (cursor >= end) return step::over;
    const std::uint32_t at = cursor++;
    const std::size_t kind = out_.events[at].index();  // as in take_step
    const bool is_ankan = kind == variant_index<Ankan>;
    const bool is_kakan = kind == variant_index<Kakan>;
    const bool is_dahai = kind == variant_index<Dahai>;
    const bool is_kita = Three && kind == variant_index<Kita>;
    if (is_dahai) discarded(*std::get_if<Dahai>(&out_.events[at]));
    if constexpr (Three) {
      if (is_kita) {
        if (north_[actor_] <= 0) {
          fail_at_discard(ErrorKind::kita_without_north);
          return step::fail;
        }
        --north_[actor_];
      } else {
        gave(out_.events[at]);
      }
    }
    if (dora_pending_) {
      // A kita after a kan's replacement draw comes after the kan's dora:
      // mjlog records show <DORA> right after that draw, whatever follows.
      if (is_dahai || is_ankan || is_kita) {
        if (!reveal_dora()) {
          fail_at_discard(ErrorKind::missing_dora_marker);
          return step::fail;
        }
        dora_pending_ = false;
      } else if (is_kakan) {
        dora_at_next_draw_ = true;
      }
    }
    out_.play(at);
    if (kind == variant_index<Reach>) {
      if (cursor >= end) {
        fail_at_discard(ErrorKind::reach_without_discard);
        return step::fail;
      }
      const std::uint32_t at2 = cursor++;
      if (const auto* x = std::get_if<Dahai>(&out_.events[at2])) discarded(*x);
      if constexpr (Three) gave(out_.events[at2]);
      out_.play(at2);
      reach_pending_ = true;
      reach_declarer_ = actor_;
    }
    if (no_takes_left()) return step::over;
    if (is_kita) return step::go_on;  // the replacement draw, by the same seat
    if (is_kakan) {
      dora_pending_ = true;
      return step::go_on;
    }
    if (is_ankan) {
      if (reveal_dora()) return step::go_on;
      fail_at_discard(ErrorKind::missing_dora_marker);
      return step::fail;
    }
    const Seat next = next_actor();
    last_discarder_ = actor_;
    discard_seen_ = true;
    actor_ = next;
    return step::go_on;
  }

  bool no_takes_left() const {
    for (std::size_t s = 0; s < 4; ++s)
      if (take_[s] < seats_[s].takes_end) return false;
    return true;
  }

  Seat next_actor() {
    const Seat a = actor_;
    const Tile x = last_tile_;
    int winner = -1, best = 0;
    for (Seat s = 0; s < 4; ++s) {
      if (s == a || take_[s] >= seats_[s].takes_end) continue;
      CallView call;
      if (!as_call(out_.events[take_[s]], call) || call.target != a || !(call.pai == x)) continue;
      if (winner < 0 || call.rank >= best) winner = s, best = call.rank;
    }
    const Seat next = Three ? static_cast<Seat>(a == 2 ? 0 : a + 1) : mjai::next_seat(a);
    if (winner < 0) return next;
    // The call may belong to a later discard of the same tile by the same
    // seat; successive such discards resolve as call, no call, no call, ...
    if (discard_[a] < seats_[a].discards_end && remaining_[a][x.id] > 0) {
      mark& m = marks_[x.id];
      switch (m) {
        case mark::none: m = mark::yes; return static_cast<Seat>(winner);
        case mark::yes: m = mark::no; return next;
        case mark::no: m = mark::none; return next;
      }
    }
    return static_cast<Seat>(winner);
  }

  const Kyoku& kyoku_;
  const std::array<SeatEvents, 4>& seats_;
  Block& out_;
  const Table& table_;
  std::optional<Error>& err_;

  Seat actor_ = 0;
  // Each seat's next take and discard: positions in out_.events.
  std::array<std::uint32_t, 4> take_{};
  std::array<std::uint32_t, 4> discard_{};
  Tile last_tile_ = mjai::unknown_tile;
  Seat last_discarder_ = 0;
  bool discard_seen_ = false;
  bool reach_pending_ = false;
  Seat reach_declarer_ = 0;
  bool dora_pending_ = false;
  bool dora_at_next_draw_ = false;
  bool again_ = false;
  std::size_t dora_cursor_ = 1;
  std::array<std::array<std::int32_t, mjai::tile_count>, 4> remaining_{};
  std::array<mark, mjai::tile_count> marks_{};
  std::array<int, 4> north_{};  // Three only
};

}  // namespace

void finish_kyoku(Block& block, const Kyoku& kyoku, std::uint8_t seats) {
  if (const auto* d = std::get_if<Deltas>(&kyoku.result)) {
    block.add(mjai::Ryukyoku{d, seats});
  } else {
    for (const HoraEntry& h : std::get<std::vector<HoraEntry>>(kyoku.result))
      block.add(mjai::Hora{h.winner, h.source, seats, &h.deltas, &kyoku.ura_indicators});
  }
  block.add(mjai::EndKyoku{});
}

status<Error> play_kyoku(const Kyoku& kyoku, const std::array<SeatEvents, 4>& seats, Seat oya,
                         Block& block, const Table& table) {
  std::optional<Error> err;
  const bool ok = table.players == 3 ? kyoku_player<true>(kyoku, seats, block, table, err).run(oya)
                                     : kyoku_player<false>(kyoku, seats, block, table, err).run(oya);
  if (!ok) return kifuzan::base::failure{std::move(*err)};
  return success;
}

}  // namespace kifuzan::conv
