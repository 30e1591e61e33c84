#include "kifuzan/conv/log.h"

#include <optional>
#include <string_view>
#include <utility>

namespace kifuzan::conv {
namespace {

constexpr std::string_view win_word = "\xE5\x92\x8C\xE4\xBA\x86";  // 和了

bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

// A seat number from a win detail: a non-negative integer keeps its low
// byte, any other number (negative or fractional) is seat 0.
std::uint8_t seat_number(const JsonItem& j) {
  switch (j.kind) {
    case JsonItem::Kind::int64: return j.i >= 0 ? static_cast<std::uint8_t>(j.i) : 0;
    case JsonItem::Kind::uint64: return static_cast<std::uint8_t>(j.u);
    default: return 0;
  }
}

// On failure `bad` is the position of the offending detail list.
bool reduce_result(const std::vector<ResultItem>& items, RoundResult& out, std::size_t& bad) {
  const std::string* first = items.empty() ? nullptr : std::get_if<std::string>(&items[0]);
  if (first && *first == win_word) {
    auto& wins = out.emplace<std::vector<HoraEntry>>();
    for (std::size_t i = 1; i + 1 < items.size(); i += 2) {
      const Deltas* d = std::get_if<Deltas>(&items[i]);
      const auto* detail = std::get_if<std::vector<JsonItem>>(&items[i + 1]);
      if (!d || !detail) continue;
      if (detail->size() < 2 || !(*detail)[0].is_number() || !(*detail)[1].is_number()) {
        bad = i + 1;
        return false;
      }
      wins.push_back(HoraEntry{*d, seat_number((*detail)[0]), seat_number((*detail)[1])});
    }
    return true;
  }
  const Deltas* d = items.size() >= 2 ? std::get_if<Deltas>(&items[1]) : nullptr;
  out = d ? *d : Deltas{};
  return true;
}

[[gnu::cold]] Error three_player(std::string_view disp) {
  Error e;
  e.kind = ErrorKind::three_player;
  e.field = Field::rule;
  e.text = disp;
  return e;
}

[[gnu::cold]] Error malformed_win(std::size_t kyoku, const KyokuEntry& k, std::size_t entry) {
  Error e;
  e.kind = ErrorKind::malformed_win;
  e.field = Field::results;
  e.kyoku = kyoku;
  e.round = k.round;
  e.honba = k.honba;
  e.entry = entry;
  return e;
}

[[gnu::cold]] Error in_kyoku(ErrorKind kind, std::size_t kyoku, const KyokuEntry& k, Field field,
                            std::optional<Seat> seat = {}, std::optional<std::size_t> entry = {}) {
  Error e;
  e.kind = kind;
  e.field = field;
  e.kyoku = kyoku;
  e.round = k.round;
  e.honba = k.honba;
  e.seat = seat;
  e.entry = entry;
  return e;
}

// Whether the record is a three-player one: its rule text says so, or it
// names no fourth player and deals seat 3 no hand (Mahjong Soul's exports
// give a room's name as the rule text).
bool is_three_player(const RawLog& raw, bool rule_says) {
  return rule_says || (raw.name[3].empty() && !raw.log.empty() && (raw.log.front().no_hand & 8));
}

// Why a kyoku does not fit the record's number of players, if it does not.
std::optional<Error> misfit(const KyokuEntry& k, std::size_t i, bool three) {
  const unsigned playing = three ? 7u : 15u;
  if (const unsigned missing = k.no_hand & playing) {
    const Seat s = static_cast<Seat>(__builtin_ctz(missing));
    return in_kyoku(ErrorKind::missing_hand, i, k, Field::haipai, s);
  }
  if (!three) return std::nullopt;
  if (!(k.no_hand & 8)) return in_kyoku(ErrorKind::hand_for_absent_seat, i, k, Field::haipai, Seat{3});
  if (k.round % 4 == 3) return in_kyoku(ErrorKind::absent_seat, i, k, Field::round, std::nullopt, 0);
  if (!k.seats[3].takes.empty()) return in_kyoku(ErrorKind::absent_seat, i, k, Field::takes, Seat{3}, 0);
  if (!k.seats[3].discards.empty()) return in_kyoku(ErrorKind::absent_seat, i, k, Field::discards, Seat{3}, 0);
  return std::nullopt;
}

// Seat 3 is padded: no name, no score, no score change.
[[gnu::cold]] std::optional<Error> pad_absent_seat(Log& log) {
  log.names[3].clear();
  for (std::size_t i = 0; i < log.kyokus.size(); ++i) {
    Kyoku& k = log.kyokus[i];
    k.scores[3] = 0;
    if (auto* d = std::get_if<Deltas>(&k.result)) {
      (*d)[3] = 0;
      continue;
    }
    for (HoraEntry& h : std::get<std::vector<HoraEntry>>(k.result)) {
      if (h.winner >= 3 || h.source >= 3) {
        Error e;
        e.kind = ErrorKind::absent_seat;
        e.field = Field::results;
        e.kyoku = i;
        e.round = k.round;
        e.honba = k.honba;
        return e;
      }
      h.deltas[3] = 0;
    }
  }
  return std::nullopt;
}

}  // namespace

kifuzan::base::result<Log, Error> normalise(RawLog&& raw) { return normalise(std::move(raw), Options{}); }

kifuzan::base::result<Log, Error> normalise(RawLog&& raw, const Options& options) {
  const std::string_view disp = raw.rule.disp;
  const bool rule_says_three = contains(disp, "\xE4\xB8\x89") || contains(disp, "3-Player");  // 三
  if (rule_says_three && !options.any_players) return kifuzan::base::failure{three_player(disp)};

  Log log;
  if (options.any_players) {
    const bool three = is_three_player(raw, rule_says_three);
    for (std::size_t i = 0; i < raw.log.size(); ++i)
      if (auto e = misfit(raw.log[i], i, three)) return kifuzan::base::failure{std::move(*e)};
    log.players = three ? 3 : 4;
    log.kita_texts = true;
    log.form = options.form;
  }
  log.kyoku_first = contains(disp, "\xE6\x9D\xB1") || contains(disp, "East") ? 4 : 0;  // 東
  const Rule& r = raw.rule;
  log.aka_flag = static_cast<std::uint8_t>(r.aka + r.aka51 + r.aka52 + r.aka53) != 0;

  log.kyokus.reserve(raw.log.size());
  for (KyokuEntry& e : raw.log) {
    Kyoku& k = log.kyokus.emplace_back();
    std::size_t bad = 0;
    if (!reduce_result(e.results, k.result, bad))
      return kifuzan::base::failure{malformed_win(log.kyokus.size() - 1, e, bad)};
    static_cast<KyokuPlay&>(k) = std::move(e);
  }
  log.names = std::move(raw.name);
  if (log.players == 3)
    if (auto e = pad_absent_seat(log)) return kifuzan::base::failure{std::move(*e)};
  return log;
}

}  // namespace kifuzan::conv
