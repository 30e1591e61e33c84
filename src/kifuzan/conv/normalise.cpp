#include "kifuzan/conv/log.h"

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
  e.round = k.kyoku;
  e.honba = k.honba;
  e.entry = entry;
  return e;
}

}  // namespace

mjai::result<Log, Error> normalise(RawLog&& raw) {
  const std::string_view disp = raw.rule.disp;
  if (contains(disp, "\xE4\xB8\x89") || contains(disp, "3-Player"))  // 三
    return mjai::failure{three_player(disp)};

  Log log;
  log.kyoku_first = contains(disp, "\xE6\x9D\xB1") || contains(disp, "East") ? 4 : 0;  // 東
  const Rule& r = raw.rule;
  log.aka_flag = static_cast<std::uint8_t>(r.aka + r.aka51 + r.aka52 + r.aka53) != 0;

  log.kyokus.reserve(raw.log.size());
  for (KyokuEntry& e : raw.log) {
    Kyoku& k = log.kyokus.emplace_back();
    std::size_t bad = 0;
    if (!reduce_result(e.results, k.result, bad))
      return mjai::failure{malformed_win(log.kyokus.size() - 1, e, bad)};
    k.kyoku = e.kyoku;
    k.honba = e.honba;
    k.kyotaku = e.kyotaku;
    k.scores = e.scores;
    k.dora_indicators = std::move(e.dora_indicators);
    k.ura_indicators = std::move(e.ura_indicators);
    k.haipai = e.haipai;
    k.seats = std::move(e.seats);
  }
  log.names = std::move(raw.name);
  return log;
}

}  // namespace kifuzan::conv
