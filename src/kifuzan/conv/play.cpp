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
using mjai::Pon;
using mjai::Reach;
using mjai::ReachAccepted;
using mjai::Tsumo;

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

class kyoku_player {
 public:
  // `err` is made only on failure.
  kyoku_player(const Kyoku& k, const std::array<SeatEvents, 4>& seats, std::vector<Event>& out,
               std::optional<Error>& err)
      : kyoku_(k), seats_(seats), out_(out), err_(err) {
    for (std::size_t s = 0; s < 4; ++s)
      for (const Event& e : seats[s].discards)
        if (const auto* d = std::get_if<Dahai>(&e)) ++remaining_[s][d->pai.id];
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
        case step::over: finish_kyoku(out_, kyoku_); return true;
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
  // The actor's current take (the one just read) failed.
  [[gnu::cold, gnu::noinline]] bool fail_at_take(ErrorKind kind) {
    fail(kind, Field::takes, take_[actor_] - 1);
    return false;
  }
  // The actor's current discard (the one just read) failed.
  [[gnu::cold, gnu::noinline]] bool fail_at_discard(ErrorKind kind) {
    fail(kind, Field::discards, discard_entry(kyoku_, actor_, discard_[actor_] - 1));
    return false;
  }
  // The missing one is named: the entry just past the list's end.
  [[gnu::cold, gnu::noinline]] bool missing_take() {
    fail(ErrorKind::missing_take, Field::takes, seats_[actor_].takes.size());
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool call_mismatch() {
    Error& e = fail(ErrorKind::call_mismatch, Field::takes, take_[actor_] - 1);
    // Decoded lists made by hand have no record behind them.
    const auto& raw = kyoku_.seats[actor_].takes;
    if (take_[actor_] - 1 < raw.size()) e.text = raw[take_[actor_] - 1].text;
    e.last_tile = last_tile_;
    if (discard_seen_) e.last_discarder = last_discarder_;
    return false;
  }

  bool reveal_dora() {
    if (dora_cursor_ >= kyoku_.dora_indicators.size()) return false;
    out_.emplace_back(mjai::Dora{kyoku_.dora_indicators[dora_cursor_++]});
    return true;
  }

  void discarded(const Dahai& d) {
    last_tile_ = d.pai;
    --remaining_[actor_][d.pai.id];
  }

  bool take_step() {
    const auto& takes = seats_[actor_].takes;
    if (take_[actor_] >= takes.size()) return missing_take();
    const Event& t = takes[take_[actor_]++];
    CallView call;
    if (as_call(t, call)) {
      if (!(call.pai == last_tile_) ||
          (discard_seen_ && (call.target != last_discarder_ || last_discarder_ == actor_)))
        return call_mismatch();
    }
    if (reach_pending_) {
      out_.emplace_back(ReachAccepted{reach_declarer_});
      reach_pending_ = false;
    }
    if (std::holds_alternative<Daiminkan>(t)) {
      if (dora_pending_ && !reveal_dora()) return fail_at_take(ErrorKind::missing_dora_marker);
      out_.push_back(t);
      dora_pending_ = true;
      again_ = true;
      return true;
    }
    if (dora_at_next_draw_ && std::holds_alternative<Tsumo>(t)) {
      if (!reveal_dora()) return fail_at_take(ErrorKind::missing_dora_marker);
      dora_at_next_draw_ = false;
    }
    out_.push_back(t);
    return true;
  }

  step discard_step() {
    const auto& discards = seats_[actor_].discards;
    std::size_t& cursor = discard_[actor_];
    if (cursor >= discards.size()) return step::over;
    const Event& d = discards[cursor++];
    const bool is_ankan = std::holds_alternative<Ankan>(d);
    const bool is_kakan = std::holds_alternative<Kakan>(d);
    const auto* dahai = std::get_if<Dahai>(&d);
    if (dahai) discarded(*dahai);
    if (dora_pending_) {
      if (dahai || is_ankan) {
        if (!reveal_dora()) {
          fail_at_discard(ErrorKind::missing_dora_marker);
          return step::fail;
        }
        dora_pending_ = false;
      } else if (is_kakan) {
        dora_at_next_draw_ = true;
      }
    }
    out_.push_back(d);
    if (std::holds_alternative<Reach>(d)) {
      if (cursor >= discards.size()) {
        fail_at_discard(ErrorKind::reach_without_discard);
        return step::fail;
      }
      const Event& d2 = discards[cursor++];
      if (const auto* x = std::get_if<Dahai>(&d2)) discarded(*x);
      out_.push_back(d2);
      reach_pending_ = true;
      reach_declarer_ = actor_;
    }
    if (no_takes_left()) return step::over;
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
      if (take_[s] < seats_[s].takes.size()) return false;
    return true;
  }

  Seat next_actor() {
    const Seat a = actor_;
    const Tile x = last_tile_;
    int winner = -1, best = 0;
    for (Seat s = 0; s < 4; ++s) {
      if (s == a || take_[s] >= seats_[s].takes.size()) continue;
      CallView call;
      if (!as_call(seats_[s].takes[take_[s]], call) || call.target != a || !(call.pai == x)) continue;
      if (winner < 0 || call.rank >= best) winner = s, best = call.rank;
    }
    const Seat next = mjai::next_seat(a);
    if (winner < 0) return next;
    // The call may belong to a later discard of the same tile by the same
    // seat; successive such discards resolve as call, no call, no call, ...
    if (discard_[a] < seats_[a].discards.size() && remaining_[a][x.id] > 0) {
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
  std::vector<Event>& out_;
  std::optional<Error>& err_;

  Seat actor_ = 0;
  std::array<std::size_t, 4> take_{};
  std::array<std::size_t, 4> discard_{};
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
};

}  // namespace

void finish_kyoku(std::vector<Event>& events, const Kyoku& kyoku) {
  if (const auto* d = std::get_if<Deltas>(&kyoku.result)) {
    events.emplace_back(mjai::Ryukyoku{*d});
  } else {
    for (const HoraEntry& h : std::get<std::vector<HoraEntry>>(kyoku.result))
      events.emplace_back(mjai::Hora{h.winner, h.source, h.deltas, kyoku.ura_indicators});
  }
  events.emplace_back(mjai::EndKyoku{});
}

status<Error> play_kyoku(const Kyoku& kyoku, const std::array<SeatEvents, 4>& seats, Seat oya,
                         std::vector<Event>& events) {
  std::optional<Error> err;
  if (!kyoku_player(kyoku, seats, events, err).run(oya)) return mjai::failure{std::move(*err)};
  return success;
}

}  // namespace kifuzan::conv
